// A step whose answers are refused poll after poll cannot stop the cycle, and a round that went
// on without a group's analog answer does not stamp that group's units fresh.
#include <string>

#include "power_fixture.h"

namespace rec {
namespace {

using Strings = std::vector<std::string>;

const char* const kSkipped = "PMBusPower:ProcotolError {} answer {} refused {} times in a row, going on without it";

std::string request_of(std::int32_t step) {
    const pmbus_power::Command* command = RecPower::command_for(step);
    char text[8];
    std::snprintf(text, sizeof text, "%02X/%02X", command->cid1, command->cid2);
    return text;
}

struct ProgressTest : PowerTest {
    void SetUp() override {
        PowerTest::SetUp();
        configure({11}, {21});
        pass_model_check();
    }

    // An answer of another group: refused at every step.
    bool refused_answer(std::uint8_t stepCid1) { return answer(stepCid1 == 0x40 ? 0x41 : 0x40, {0x00, 0x01}); }
};

struct Skip {
    std::int32_t step;
    std::uint8_t cid1;
    const char* name;
    Strings next;  // sent after the third refusal; empty: the round ends
};

// Every step of a round goes on to the request that follows it when nothing says otherwise.
TEST_F(ProgressTest, TheThirdRefusalInARowGoesOnWithTheNextStepOfTheRound) {
    const Skip skips[] = {
        {0, 0x40, "40_41", {"40/43"}}, {1, 0x40, "40_43", {"40/44"}}, {2, 0x40, "40_44", {"41/41"}},
        {4, 0x41, "41_41", {"41/43"}}, {5, 0x41, "41_43", {"41/44"}}, {6, 0x41, "41_44", {"42/41"}},
        {7, 0x42, "42_41", {"42/44"}}, {8, 0x42, "42_44", {"40/46"}}, {3, 0x40, "40_46", {"42/46"}},
        {9, 0x42, "42_46", {}},
    };
    for (const Skip& skip : skips) {
        SCOPED_TRACE(skip.name);
        go_to_step(skip.step);
        for (int refusal = 1; refusal < 3; ++refusal) {
            refused_answer(skip.cid1);
            EXPECT_EQ(script->count(), 0u) << "refusal " << refusal << " sends nothing";
            EXPECT_TRUE(logs().empty());
            dev->Reset();
            ASSERT_TRUE(poll());
            EXPECT_EQ(sent(), Strings{request_of(skip.step)});
            script->clear();
        }
        const bool goesOn = refused_answer(skip.cid1);
        EXPECT_EQ(sent(), skip.next);
        EXPECT_EQ(goesOn, !skip.next.empty()) << "the last step ends the round";
        ASSERT_EQ(logs().size(), 1u);
        EXPECT_EQ(logs()[0].format, kSkipped);
        EXPECT_EQ(logs()[0].arg_texts(), (Strings{std::to_string(kDeviceId), skip.name, "3"}));
    }
}

// Refusals count by poll: answers refused before the step is asked again (late answers to
// earlier requests) add nothing, and an answer taken or a poll left unanswered starts the count again.
TEST_F(ProgressTest, RefusalsCountOncePerPollAndAnAnswerTakenStartsAgain) {
    go_to_step(5);
    auto refused_after_poll = [this](int answers) {
        dev->Reset();
        ASSERT_TRUE(poll());
        for (int k = 0; k < answers; ++k) refused_answer(0x41);
    };
    for (int k = 0; k < 4; ++k) refused_answer(0x41);
    refused_after_poll(3);
    EXPECT_TRUE(logs().empty()) << "two polls so far";
    ASSERT_TRUE(answer(0x41, {0x00, 0x00}));  // taken: 41/44 follows
    refused_after_poll(1);
    refused_after_poll(1);
    dev->Reset();
    ASSERT_TRUE(poll());  // no answer at all: a slow line, not a refusal
    refused_after_poll(1);
    refused_after_poll(1);
    EXPECT_TRUE(logs().empty());
    EXPECT_EQ(sent(), (Strings{"41/43", "41/44", "41/44", "41/44", "41/44", "41/44", "41/44"}));
    refused_after_poll(1);
    EXPECT_EQ(logs().size(), 1u);
    EXPECT_EQ(sent().back(), "42/41");
}

// The rectifier analog answer refused three times: the rest of the round is asked for and taken,
// and at its end only the rectifier group is told its round brought nothing new.
TEST_F(ProgressTest, AtRoundEndOnlyTheGroupsWhoseAnalogAnswerWasNotTakenAreStale) {
    script->clear();
    ASSERT_TRUE(answer(0x40, {0x00, 0x01, 0xAA}));  // 40/41 taken
    ASSERT_TRUE(answer(0x40, {0x00, 0x01, 0xAA}));  // 40/43
    ASSERT_TRUE(answer(0x40, {0x00, 0x01, 0xAA}));  // 40/44
    for (int refusal = 0; refusal < 3; ++refusal) {
        journal().script(kDeviceId, "41_41", {-1});
        answer(0x41, {0x00, 0x01});
        if (refusal < 2) {
            dev->Reset();
            ASSERT_TRUE(poll());
        }
    }
    ASSERT_TRUE(answer(0x41, {0x00, 0x01}));        // 41/43
    ASSERT_TRUE(answer(0x41, {0x00, 0x01}));        // 41/44
    ASSERT_TRUE(answer(0x42, {0x00, 0x01, 0xBB}));  // 42/41
    ASSERT_TRUE(answer(0x42, {0x00, 0x01, 0xBB}));  // 42/44
    ASSERT_TRUE(answer(0x40, {0x00}));              // 40/46
    EXPECT_FALSE(answer(0x42, {0x00}));             // 42/46: the round ends
    EXPECT_EQ(sent(), (Strings{"40/43", "40/44", "41/41", "41/41", "41/41", "41/43", "41/44", "42/41", "42/44",
                               "40/46", "42/46"}));
    EXPECT_EQ(journal().stale, (std::vector<unsigned>{kDeviceId}));
    EXPECT_EQ(journal().of("RoundDone").size(), 3u) << "every unit still completes its round";

    // The next round takes every analog answer: nobody is stale.
    journal().stale.clear();
    EXPECT_EQ(run_round([](const line::Request& request) {
                  return std::vector<std::uint8_t>{0x00, 0x01, request.cid1};
              }).size(), 10u);
    EXPECT_TRUE(journal().stale.empty());
}

}  // namespace
}  // namespace rec

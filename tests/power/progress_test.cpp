// A step that is not taken poll after poll cannot stop the cycle, whether its answers are refused,
// never come, or come with an error code the host keeps to itself: the round goes on without it,
// and a step the firmware lacks costs almost nothing once it rests. A silent line completes no
// round, and a round that went on without a group's analog answer does not stamp that group's
// units fresh.
#include <string>

#include "power_fixture.h"

namespace rec {
namespace {

using Strings = std::vector<std::string>;

const char* const kSkipped = "PMBusPower:ProcotolError {} answer {} {} on {} polls in a row, going on without it";
const char* const kRests =
    "PMBusPower:ProcotolError {} answer {} skipped in {} rounds in a row, asked every {}th round until it is answered";
const char* const kRestingSkipped = "PMBusPower:ProcotolError {} answer {} {} again, going on without it for {} rounds";

std::string request_of(std::int32_t step) {
    const pmbus_power::Command* command = RecPower::command_for(step);
    char text[8];
    std::snprintf(text, sizeof text, "%02X/%02X", command->cid1, command->cid2);
    return text;
}

std::vector<std::uint8_t> plain_answer(const line::Request& request) { return {0x00, 0x01, request.cid1}; }

struct ProgressTest : PowerTest {
    void SetUp() override {
        PowerTest::SetUp();
        configure({11}, {21});
        pass_model_check();
    }

    // An answer of another group: refused at every step.
    bool refused_answer(std::uint8_t stepCid1) { return answer(stepCid1 == 0x40 ? 0x41 : 0x40, {0x00, 0x01}); }

    // The host gives up on the outstanding request (reply timeout, or an answer with an error
    // code, which it does not hand on) and polls again.
    bool silent_poll() {
        dev->Reset();
        return poll();
    }

    std::size_t rounds_done() const { return journal().of("RoundDone").size() / 3; }

    // One round in which the request `mute` is never answered and every other one is answered
    // as it comes. Returns how often `mute` was sent.
    int round_muting(const std::string& mute) {
        const std::size_t before = rounds_done();
        int asked = 0;
        if (!link->awaiting()) poll();
        for (int i = 0; i < 64 && rounds_done() == before; ++i) {
            const line::Request request = script->last();
            if (name_of(request) == mute) {
                ++asked;
                silent_poll();
            } else {
                answer(request.cid1, plain_answer(request));
            }
        }
        EXPECT_EQ(rounds_done(), before + 1) << "the round ends";
        return asked;
    }
};

struct Skip {
    std::int32_t step;
    std::uint8_t cid1;
    const char* name;
    Strings next;  // sent at the fourth poll
};

// Every step of a round goes on to the request that follows it when nothing says otherwise. The
// last step has nothing after it; as no answer at all was taken in that round, the round does not
// complete and starts again.
const Skip kSkips[] = {
    {0, 0x40, "40_41", {"40/43"}}, {1, 0x40, "40_43", {"40/44"}}, {2, 0x40, "40_44", {"41/41"}},
    {4, 0x41, "41_41", {"41/43"}}, {5, 0x41, "41_43", {"41/44"}}, {6, 0x41, "41_44", {"42/41"}},
    {7, 0x42, "42_41", {"42/44"}}, {8, 0x42, "42_44", {"40/46"}}, {3, 0x40, "40_46", {"42/46"}},
    {9, 0x42, "42_46", {"40/41"}},
};

TEST_F(ProgressTest, ThreePollsWhoseAnswersAreRefusedAndTheFourthGoesOnWithTheNextStep) {
    for (const Skip& skip : kSkips) {
        SCOPED_TRACE(skip.name);
        go_to_step(skip.step);
        for (int refusal = 1; refusal <= 3; ++refusal) {
            refused_answer(skip.cid1);
            EXPECT_EQ(script->count(), 0u) << "a refused answer sends nothing";
            EXPECT_TRUE(logs().empty());
            ASSERT_TRUE(silent_poll());
            EXPECT_EQ(sent(), refusal < 3 ? Strings{request_of(skip.step)} : skip.next);
            script->clear();
        }
        ASSERT_EQ(logs().size(), 1u);
        EXPECT_EQ(logs()[0].format, kSkipped);
        EXPECT_EQ(logs()[0].arg_texts(), (Strings{std::to_string(kDeviceId), skip.name, "refused", "3"}));
    }
}

TEST_F(ProgressTest, ThreePollsLeftWithoutAnAnswerAndTheFourthGoesOnWithTheNextStep) {
    for (const Skip& skip : kSkips) {
        SCOPED_TRACE(skip.name);
        go_to_step(skip.step);
        for (int poll = 1; poll <= 2; ++poll) {
            ASSERT_TRUE(silent_poll());
            EXPECT_EQ(sent(), Strings{request_of(skip.step)});
            script->clear();
        }
        EXPECT_TRUE(logs().empty());
        ASSERT_TRUE(silent_poll());
        EXPECT_EQ(sent(), skip.next);
        ASSERT_EQ(logs().size(), 1u);
        EXPECT_EQ(logs()[0].arg_texts(), (Strings{std::to_string(kDeviceId), skip.name, "not answered", "3"}));
        EXPECT_TRUE(journal().of("RoundDone").empty()) << "no round took an answer";
    }
}

TEST_F(ProgressTest, TheLogLineSaysWhetherThePollsWereRefusedOrNotAnswered) {
    go_to_step(5);
    refused_answer(0x41);
    silent_poll();
    silent_poll();  // no answer
    refused_answer(0x41);
    silent_poll();
    EXPECT_EQ(sent(), (Strings{"41/43", "41/43", "41/44"}));
    ASSERT_EQ(logs().size(), 1u);
    EXPECT_EQ(logs()[0].arg_texts(), (Strings{std::to_string(kDeviceId), "41_43", "refused or not answered", "3"}));
}

// Polls count, not answers: answers refused before the step is asked again (late answers to
// earlier requests) add nothing, and an answer taken starts the count again.
TEST_F(ProgressTest, PollsCountOnceWhateverTheyBroughtAndAnAnswerTakenStartsAgain) {
    go_to_step(5);
    for (int k = 0; k < 4; ++k) refused_answer(0x41);
    silent_poll();
    for (int k = 0; k < 3; ++k) refused_answer(0x41);
    EXPECT_TRUE(logs().empty()) << "two polls so far";
    ASSERT_TRUE(answer(0x41, {0x00, 0x00}));  // taken: 41/44 follows
    silent_poll();
    refused_answer(0x41);
    silent_poll();
    EXPECT_TRUE(logs().empty());
    EXPECT_EQ(sent(), (Strings{"41/43", "41/44", "41/44", "41/44"}));
    silent_poll();
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
        silent_poll();
    }
    ASSERT_TRUE(answer(0x41, {0x00, 0x01}));        // 41/43
    ASSERT_TRUE(answer(0x41, {0x00, 0x01}));        // 41/44
    ASSERT_TRUE(answer(0x42, {0x00, 0x01, 0xBB}));  // 42/41
    ASSERT_TRUE(answer(0x42, {0x00, 0x01, 0xBB}));  // 42/44
    ASSERT_TRUE(answer(0x40, {0x00}));              // 40/46
    EXPECT_FALSE(answer(0x42, {0x00}));             // 42/46: the round ends
    EXPECT_EQ(sent(), (Strings{"40/43", "40/44", "41/41", "41/41", "41/41", "41/43", "41/44", "42/41", "42/44", "40/46",
                               "42/46"}));
    EXPECT_EQ(journal().stale, (std::vector<unsigned>{kDeviceId}));
    EXPECT_EQ(journal().of("RoundDone").size(), 3u) << "every unit still completes its round";

    // The next round takes every analog answer: nobody is stale.
    journal().stale.clear();
    EXPECT_EQ(run_round(plain_answer).size(), 10u);
    EXPECT_TRUE(journal().stale.empty());
}

// The last step of the round is never answered: the fourth poll ends the round, sends nothing,
// and the host counts the round.
TEST_F(ProgressTest, ALastStepNeverAnsweredEndsTheRoundInAPoll) {
    EXPECT_EQ(round_muting("42/46"), 3);
    EXPECT_EQ(VRTHostAccess::step(*dev), 0);
    EXPECT_FALSE(link->awaiting());
    EXPECT_EQ(link->rounds(), 0u) << "this test polls the device itself";

    // Polled through the host's link, the round ending in a poll is counted.
    script->clear();
    ASSERT_TRUE(poll());
    for (int k = 0; k < 16 && name_of(script->last()) != "42/46"; ++k)
        answer(script->last().cid1, plain_answer(script->last()));
    for (int k = 0; k < 3; ++k) {
        dev->Reset();
        ASSERT_TRUE(link->poll(*dev));
    }
    EXPECT_EQ(link->rounds(), 1u);
    EXPECT_EQ(rounds_done(), 2u);
}

// A line where nothing answers completes no round and stamps nothing: the device goes through the
// steps of a round, giving each up in turn, and starts the round again. No step counts as skipped
// in a round: once the line answers, the next round asks for everything.
TEST_F(ProgressTest, ASilentLineCompletesNoRoundAndStampsNothing) {
    script->clear();
    for (int poll = 0; poll < 2 * 10 * 3; ++poll) ASSERT_TRUE(silent_poll());
    const Strings requests = sent();
    ASSERT_EQ(requests.size(), 60u);
    const Strings round = {"40/41", "40/43", "40/44", "41/41", "41/43", "41/44", "42/41", "42/44", "40/46", "42/46"};
    for (std::size_t k = 0; k < requests.size(); ++k) EXPECT_EQ(requests[k], round[((k + 1) / 3) % 10]) << k;
    EXPECT_TRUE(journal().of("RoundDone").empty());
    EXPECT_TRUE(journal().stale.empty());
    EXPECT_EQ(logs().size(), 20u);

    for (int k = 0; k < 5; ++k) EXPECT_EQ(names_of(run_round(plain_answer)), round);
    EXPECT_EQ(rounds_done(), 5u);
}

// A request the firmware never answers: skipped in three rounds, it then rests and is asked with a
// single poll in every tenth round, until it is answered.
TEST_F(ProgressTest, AStepSkippedInThreeRoundsRestsAndIsAskedInEveryTenthRound) {
    std::vector<int> asked;
    for (int round = 1; round <= 23; ++round) asked.push_back(round_muting("42/44"));
    const std::vector<int> expected = {3, 3, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    EXPECT_EQ(asked, expected);
    std::vector<std::string> formats;
    for (const site::Event& log : logs()) formats.push_back(log.format);
    const Strings expectedFormats = {kSkipped, kSkipped, kSkipped, kRests, kRestingSkipped, kRestingSkipped};
    EXPECT_EQ(formats, expectedFormats);
    EXPECT_EQ(logs()[3].arg_texts(), (Strings{std::to_string(kDeviceId), "42_44", "3", "10"}));
    EXPECT_EQ(logs()[4].arg_texts(), (Strings{std::to_string(kDeviceId), "42_44", "not answered", "10"}));

    // Answered at last: from then on it is asked in every round again.
    for (int round = 24; round < 33; ++round) EXPECT_EQ(round_muting("42/44"), 0) << round;
    EXPECT_EQ(run_round(plain_answer).size(), 10u);
    EXPECT_EQ(run_round(plain_answer).size(), 10u);
    EXPECT_EQ(round_muting("42/44"), 3);
}

// The model check is not a step of the round: however often its answer is refused or missing, it
// is asked again at the next poll, and no round starts before it has been answered and checked.
TEST_F(PowerTest, TheModelCheckIsAskedUntilItIsAnswered) {
    configure({11}, {21});
    for (int k = 0; k < 5; ++k) {
        ASSERT_TRUE(poll());
        EXPECT_EQ(sent().back(), "40/51");
        EXPECT_TRUE(answer(0x41, model_info("KTR-40")));  // another group's CID1
        ASSERT_TRUE(poll());
        EXPECT_EQ(sent().back(), "40/51");
        dev->Reset();  // no answer at all
    }
    EXPECT_EQ(sent(), Strings(10, "40/51"));
    EXPECT_TRUE(logs().empty());
    ASSERT_TRUE(poll());
    ASSERT_TRUE(answer(0x40, model_info("KTR-40")));
    EXPECT_EQ(sent().back(), "40/41");
}

// A refused AC analog answer ends the exchange (Reset): that callback sends nothing, also on the
// third poll; the fourth poll goes on without it.
TEST_F(ProgressTest, AResetEndsTheCallbackAndTheNextPollSends) {
    go_to_step(0);
    for (int poll = 1; poll <= 3; ++poll) {
        EXPECT_FALSE(answer(0x40, {0x00, 0x02, 0xAA}));  // two AC units announced, one configured
        EXPECT_EQ(script->count(), 0u) << "poll " << poll;
        EXPECT_FALSE(link->awaiting());
        ASSERT_TRUE(this->poll());
        EXPECT_EQ(sent(), Strings{poll < 3 ? "40/41" : "40/43"});
        script->clear();
    }
}

// A refused answer puts back the records of every unit it was fed to; a taken one, of none.
TEST_F(PowerTest, ARefusedAnswerPutsBackEveryUnitItWasFedTo) {
    configure({11, 12}, {21, 22});
    pass_model_check();
    journal().script(12, "40_41", {-1});
    answer(0x40, {0x00, 0x02, 0xAA, 0xBB});
    EXPECT_EQ(journal().rolledBack, (std::vector<unsigned>{11, 12}));
    journal().rolledBack.clear();
    ASSERT_TRUE(answer(0x40, {0x00, 0x02, 0xAA, 0xBB}));
    EXPECT_TRUE(journal().rolledBack.empty());
    journal().script(11, "40_43", {5});  // more than the answer holds
    answer(0x40, {0x00, 0x02, 0xAA});
    EXPECT_EQ(journal().rolledBack, (std::vector<unsigned>{11, 12}));
}

}  // namespace
}  // namespace rec

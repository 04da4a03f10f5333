// The counts read from a KTR-40's answers, as the simulator gives them and cut or padded.
#include <gtest/gtest.h>

#include "sim/device.h"
#include "site/discover/answers.h"

namespace {

std::vector<std::uint8_t> bytes_of(const std::string& hex) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

// The INFO of the simulated system's answer to (cid1, cid2).
std::vector<std::uint8_t> info_of(const sim::SiteState& state, std::uint8_t cid1, std::uint8_t cid2) {
    sim::DeviceModel model(state, sim::DataFlagMode::Never, 0, 0, std::chrono::seconds(60));
    return bytes_of(*model.answer(cid1, cid2, 0));
}

sim::SiteState ac_units(const std::vector<std::size_t>& channels, std::size_t userValues) {
    sim::SiteState state;
    state.ac.assign(channels.size(), sim::AcUnit{});
    for (std::size_t i = 0; i < channels.size(); ++i) {
        state.ac[i].channels.assign(channels[i], sim::AcChannel{});
        for (sim::AcChannel& channel : state.ac[i].channels) channel.user.assign(userValues, sim::Analog(1.0f));
    }
    return state;
}

sim::SiteState rectifiers(std::size_t modules, std::size_t userValues) {
    sim::SiteState state;
    state.rectifiers.modules.assign(modules, sim::RectifierModule{});
    for (sim::RectifierModule& module : state.rectifiers.modules) module.user.assign(userValues, sim::Analog(0.5f));
    return state;
}

TEST(Answers, AcChannelsOfEveryUnitUserValuesIncluded) {
    const struct {
        std::vector<std::size_t> channels;
        std::size_t userValues;
    } cases[] = {{{}, 0}, {{1}, 0}, {{2, 1, 3}, 0}, {{2, 0}, 2}, {{4}, 5}};
    for (const auto& c : cases) {
        const std::vector<std::uint8_t> info = info_of(ac_units(c.channels, c.userValues), 0x40, 0x41);
        const std::vector<unsigned> expected(c.channels.begin(), c.channels.end());
        EXPECT_EQ(discover::ac_channels(info), expected) << info.size();
    }
}

TEST(Answers, RectifierModulesUserValuesIncluded) {
    for (const std::size_t modules : {0u, 1u, 4u, 30u}) {
        for (const std::size_t userValues : {0u, 1u, 3u})
            EXPECT_EQ(discover::rectifier_modules(info_of(rectifiers(modules, userValues), 0x41, 0x41)), modules);
    }
}

TEST(Answers, DcUnitsAsTheCountSays) {
    sim::SiteState state;
    for (const std::size_t units : {0u, 1u, 2u, 5u}) {
        state.dc.assign(units, sim::DcUnit{});
        EXPECT_EQ(discover::dc_units(info_of(state, 0x42, 0x41)), units);
    }
    EXPECT_EQ(discover::dc_units({0x00}), std::nullopt);
}

// A byte short or a byte over: the driver would refuse the answer every round.
TEST(Answers, AnInfoThatDoesNotHoldItsCountsGivesNoCount) {
    using Info = std::vector<std::uint8_t>;
    const auto cut = [](Info info) {
        info.pop_back();
        return info;
    };
    const auto padded = [](Info info) {
        info.push_back(0);
        return info;
    };
    const Info ac = info_of(ac_units({2, 1}, 1), 0x40, 0x41);
    const Info rc = info_of(rectifiers(3, 1), 0x41, 0x41);
    for (const Info& info : std::vector<Info>{cut(ac), padded(ac), {}, {0x00}})
        EXPECT_EQ(discover::ac_channels(info), std::nullopt) << info.size();
    for (const Info& info : std::vector<Info>{cut(rc), padded(rc), {}, {0x00}})
        EXPECT_EQ(discover::rectifier_modules(info), std::nullopt) << info.size();
}

TEST(Answers, ModelTextWithoutItsPadding) {
    const struct {
        std::string info;
        const char* model;
    } cases[] = {
        {"KTR-40" + std::string(14, ' '), "KTR-40"},
        {"KTR-40" + std::string(14, '\0'), "KTR-40"},
        {"KTR 40 A", "KTR 40 A"},
        {std::string("KTR-40\0 \0", 9), "KTR-40"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZ", "ABCDEFGHIJKLMNOPQRST"},  // the text is 20 bytes, then other fields
        {"", ""},
        {std::string(20, ' '), ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(discover::model_text(std::vector<std::uint8_t>(c.info.begin(), c.info.end())), c.model) << c.info;
}

}  // namespace

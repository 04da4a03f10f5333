// Scanning a line: which addresses and protocol versions are asked, what a system that answers
// is asked, and what is made of the answers.
#include <gtest/gtest.h>

#include "sim_asker.h"
#include "site/discover/survey.h"

namespace {

using discover::AddressResult;
using discover::Reply;
using discover_test::answer_with;
using discover_test::SimAsker;
using discover_test::system_at;

constexpr std::uint8_t kCommandInvalid = 0x04;
constexpr std::uint8_t kVersionError = 0x01;

discover::ScanOptions options_for(std::vector<std::uint8_t> addresses) {
    discover::ScanOptions options;
    options.addresses = std::move(addresses);
    return options;
}

std::vector<std::uint8_t> found_addresses(const discover::ScanResult& scan) {
    std::vector<std::uint8_t> found;
    for (const AddressResult& result : scan.results)
        if (result.kind == AddressResult::Kind::Found) found.push_back(result.address);
    return found;
}

// The driver reads; it never sets. Every request of a scan is one the driver makes every round.
void expect_read_requests_only(const SimAsker& asker) {
    for (const line::Request& request : asker.asked) {
        const std::uint16_t command = static_cast<std::uint16_t>(request.cid1 << 8 | request.cid2);
        const bool read = command == 0x4051 || command == 0x4041 || command == 0x4043 || command == 0x4044 ||
                          command == 0x4046 || command == 0x4141 || command == 0x4143 || command == 0x4144 ||
                          command == 0x4241 || command == 0x4244 || command == 0x4246;
        EXPECT_TRUE(read) << std::hex << command;
    }
}

TEST(Scan, TwoSystemsOnOneBusAreFoundWithTheirCountsAndSilentAddressesAskedWithBothVersions) {
    sim::Simulator first(system_at(1, {1, 3}, 2, 4));
    sim::Simulator third(system_at(3, {2}, 1, 6));
    SimAsker asker;
    asker.bus = {{1, &first}, {3, &third}};
    const discover::ScanResult scan = discover::scan(asker, options_for({1, 2, 3, 4}));

    ASSERT_EQ(found_addresses(scan), (std::vector<std::uint8_t>{1, 3}));
    const discover::Survey& one = scan.results[0].survey;
    EXPECT_EQ(one.model, "KTR-40");
    EXPECT_EQ(one.version, discover::kProtocol20);
    EXPECT_EQ(one.acChannels.value, (std::vector<unsigned>{1, 3}));
    EXPECT_EQ(one.dcUnits.value, 2u);
    EXPECT_EQ(one.modules.value, 4u);
    const discover::Survey& three = scan.results[2].survey;
    EXPECT_EQ(three.acChannels.value, (std::vector<unsigned>{2}));
    EXPECT_EQ(three.dcUnits.value, 1u);
    EXPECT_EQ(three.modules.value, 6u);
    ASSERT_EQ(three.optional.size(), 7u);
    for (const discover::Asked& asked : three.optional) EXPECT_TRUE(asked.reply.answered()) << int(asked.cid2);
    for (const std::uint8_t silent : {std::uint8_t{2}, std::uint8_t{4}}) {
        EXPECT_EQ(scan.results[silent - 1].kind, AddressResult::Kind::Silent);
        const std::vector<line::Request> asked = asker.asked_of(silent);
        ASSERT_EQ(asked.size(), 2u);
        EXPECT_EQ(asked[0].ver, 0x20);
        EXPECT_EQ(asked[1].ver, 0x21);
        EXPECT_EQ(asked[0].cid2, 0x51);
    }
    // The model query, three counts, seven optional requests: each once on a clean line.
    EXPECT_EQ(asker.asked_of(1).size(), 11u);
    expect_read_requests_only(asker);
}

// A device on a line of its own answers every other address with an address error: one
// question each, no second protocol version.
TEST(Scan, AnAddressErrorIsNotAskedAgain) {
    sim::Simulator system(system_at(5));
    SimAsker asker;
    for (std::uint8_t address = 1; address <= 8; ++address) asker.bus[address] = &system;
    const discover::ScanResult scan = discover::scan(asker, options_for({1, 2, 3, 4, 5, 6, 7, 8}));

    EXPECT_EQ(found_addresses(scan), (std::vector<std::uint8_t>{5}));
    for (const AddressResult& result : scan.results) {
        if (result.address == 5) continue;
        EXPECT_EQ(result.kind, AddressResult::Kind::Refused);
        EXPECT_EQ(result.reply.answer.rtn, 0x90);
        EXPECT_EQ(asker.asked_of(result.address).size(), 1u);
    }
}

struct VersionCase {
    const char* name;
    Reply::Kind to20;  // how the device takes a 0x20 request: Answer is an RTN 0x01
    std::vector<std::uint8_t> versions;
    AddressResult::Kind kind;
    std::uint8_t version;  // when found
};

class Versions : public ::testing::TestWithParam<VersionCase> {};

// The device at 2 speaks 0x21 only; how it refuses 0x20 and which versions are tried decide
// whether it is found.
TEST_P(Versions, AreTriedInTurn) {
    const VersionCase& c = GetParam();
    sim::Simulator system(system_at(2));
    SimAsker asker;
    asker.bus[2] = &system;
    asker.quirk = [&c](const line::Request& request) -> std::optional<Reply> {
        if (request.ver != 0x20) return std::nullopt;
        if (c.to20 == Reply::Kind::Answer) return answer_with(request, kVersionError);
        return Reply{c.to20, {}, "CHKSUM"};
    };
    discover::ScanOptions options = options_for({2});
    options.versions = c.versions;
    const discover::ScanResult scan = discover::scan(asker, options);

    ASSERT_EQ(scan.results.size(), 1u);
    EXPECT_EQ(scan.results[0].kind, c.kind);
    if (c.kind == AddressResult::Kind::Found) {
        EXPECT_EQ(scan.results[0].survey.version, c.version);
    }
    // Under 0x21 the DC requests name the whole group, as the AC requests always do.
    for (const line::Request& request : asker.asked) {
        const bool group = request.cid1 == 0x40 ? request.cid2 != 0x51 && request.cid2 != 0x46
                                                : request.cid1 == 0x42 && request.cid2 != 0x46 && request.ver == 0x21;
        EXPECT_EQ(request.info, group ? std::vector<std::uint8_t>{0xFF} : std::vector<std::uint8_t>{})
            << std::hex << int(request.cid1) << "/" << int(request.cid2);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Scan, Versions,
    ::testing::Values(
        VersionCase{"VersionErrorThen21", Reply::Kind::Answer, {0x20, 0x21}, AddressResult::Kind::Found, 0x21},
        VersionCase{"SilentThen21", Reply::Kind::Silent, {0x20, 0x21}, AddressResult::Kind::Found, 0x21},
        VersionCase{"GarbledThen21", Reply::Kind::Garbled, {0x20, 0x21}, AddressResult::Kind::Found, 0x21},
        VersionCase{"Only20VersionError", Reply::Kind::Answer, {0x20}, AddressResult::Kind::Refused, 0},
        VersionCase{"Only20Silent", Reply::Kind::Silent, {0x20}, AddressResult::Kind::Silent, 0},
        VersionCase{"Only21", Reply::Kind::Silent, {0x21}, AddressResult::Kind::Found, 0x21}),
    [](const ::testing::TestParamInfo<VersionCase>& param) { return param.param.name; });

// A system without AC distribution refuses the AC requests: no AC units, and the refused
// optional requests are named; a garbled answer is asked for again.
TEST(Scan, RefusedRequestsAndAGarbledAnswer) {
    sim::Simulator system(system_at(9, {}, 1, 2));
    SimAsker asker;
    asker.bus[9] = &system;
    bool garbled = false;
    asker.quirk = [&garbled](const line::Request& request) -> std::optional<Reply> {
        if (request.cid1 == 0x40 && request.cid2 != 0x51) return answer_with(request, kCommandInvalid);
        if (request.cid1 == 0x41 && request.cid2 == 0x41 && !garbled) {
            garbled = true;
            return Reply{Reply::Kind::Garbled, {}, "CHKSUM"};
        }
        return std::nullopt;
    };
    const discover::ScanResult scan = discover::scan(asker, options_for({9}));

    ASSERT_EQ(found_addresses(scan), (std::vector<std::uint8_t>{9}));
    const discover::Survey& survey = scan.results[0].survey;
    EXPECT_EQ(survey.acChannels.value, std::vector<unsigned>());
    EXPECT_EQ(survey.acChannels.note, "40/41 refused (RTN 0x04): taken as no AC units");
    EXPECT_EQ(survey.modules.value, 2u);
    EXPECT_EQ(survey.modules.note, "");
    std::vector<std::string> refused;
    for (const discover::Asked& asked : survey.optional)
        if (!asked.reply.answered()) refused.push_back(discover::command_text(asked.cid1, asked.cid2));
    EXPECT_EQ(refused, (std::vector<std::string>{"40/43", "40/44", "40/46"}));
}

// A system that answers its model but none of the questions: counts not known, each asked twice.
TEST(Scan, QuestionsLeftUnansweredAreAskedTwiceAndLeaveTheCountsUnknown) {
    sim::Simulator system(system_at(4));
    SimAsker asker;
    asker.bus[4] = &system;
    asker.quirk = [](const line::Request& request) -> std::optional<Reply> {
        if (request.cid2 == 0x51) return std::nullopt;
        return Reply();
    };
    const discover::ScanResult scan = discover::scan(asker, options_for({4}));

    ASSERT_EQ(found_addresses(scan), (std::vector<std::uint8_t>{4}));
    const discover::Survey& survey = scan.results[0].survey;
    EXPECT_EQ(survey.acChannels.value, std::nullopt);
    EXPECT_EQ(survey.dcUnits.value, std::nullopt);
    EXPECT_EQ(survey.modules.value, std::nullopt);
    EXPECT_EQ(survey.modules.note, "41/41: no answer; rectifier modules not known");
    EXPECT_EQ(asker.asked_of(4).size(), 1u + 2 * 10);
}

TEST(Scan, StopsWhenAskedAndWhenTheLineFails) {
    sim::Simulator system(system_at(1));
    SimAsker asker;
    asker.bus[1] = &system;
    discover::ScanObserver observer;
    std::vector<std::uint8_t> announced;
    observer.asking = [&announced](std::uint8_t address, std::size_t, std::size_t) { announced.push_back(address); };
    observer.stopRequested = [&announced] { return announced.size() == 2; };
    const discover::ScanResult stopped = discover::scan(asker, options_for({1, 2, 3}), observer);
    EXPECT_TRUE(stopped.stopped);
    EXPECT_EQ(found_addresses(stopped), (std::vector<std::uint8_t>{1}));
    EXPECT_EQ(stopped.results.size(), 2u);

    asker.quirk = [](const line::Request& request) -> std::optional<Reply> {
        if (request.adr == 1) return std::nullopt;
        return Reply{Reply::Kind::LineFailed, {}, "/dev/ttyUSB0: write: Input/output error"};
    };
    asker.asked.clear();
    const discover::ScanResult failed = discover::scan(asker, options_for({1, 2, 3}));
    EXPECT_EQ(failed.lineError, "/dev/ttyUSB0: write: Input/output error");
    EXPECT_EQ(found_addresses(failed), (std::vector<std::uint8_t>{1}));
    EXPECT_TRUE(asker.asked_of(3).empty());
}

}  // namespace

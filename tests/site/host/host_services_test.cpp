// The stand-in host's services as the plug-in relies on them.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include <boost/date_time/gregorian/gregorian_types.hpp>
#include <cstring>

#include "host/pmbus_protocol.h"
#include "host/ttime.h"
#include "site/host/controller.h"
#include "site/host/host_access.h"
#include "site/host/link.h"
#include "site/store/history_writer.h"

namespace {

using namespace std::chrono_literals;

TEST(LogRendering, FillsBracesAndPrintfConversionsInOrderWithBytesAsNumbers) {
    const unsigned char p = 7;
    const VRTLogArg args[] = {VRTLogArg(42u), VRTLogArg(p), VRTLogArg(-3), VRTLogArg("x")};
    const struct {
        const char* format;
        unsigned count;
        const char* rendered;
    } cases[] = {
        {"A:ProcotolError {} p is {} not {} {}{}", 4, "A:ProcotolError 42 p is 7 not -3 x{}"},
        {"{} {} {}", 1, "42 {} {}"},
        {"ProcotolError %u read 40_43 m is %d max %d", 3, "ProcotolError 42 read 40_43 m is 7 max -3"},
        {"%s|%5u|%-3d|%lu|%x|%X", 4, "42|7|-3|x|%x|%X"},
        {"%x %X %02x %lx", 4, "2a 7 fffffffd x"},
        {"100%% of {} and %u%%", 2, "100% of 42 and 7%"},
        {"mixed {} then %d", 2, "mixed 42 then 7"},
        {"cut at the end %", 1, "cut at the end %"},
        {"cut %l", 1, "cut %l"},
    };
    for (const auto& c : cases) EXPECT_EQ(site::render_log(c.format, args, c.count), c.rendered) << c.format;
    EXPECT_EQ(site::render_log(nullptr, args, 0), "");
}

TEST(AlarmBook, ReportsOnlyTransitionsPerDeviceKeyCodeAndText) {
    site::AlarmBook book;
    using C = site::AlarmBook::Change;
    EXPECT_EQ(book.check(1, "AC_0", "06015", "交流屏1", 0), C::None);
    EXPECT_EQ(book.check(1, "AC_0", "06015", "交流屏1", 1), C::Raised);
    EXPECT_EQ(book.check(1, "AC_0", "06015", "交流屏1", 1), C::None);
    EXPECT_EQ(book.check(1, "AC_0", "06015", "交流屏2", 1), C::Raised);  // same key, other text
    EXPECT_EQ(book.check(2, "AC_0", "06015", "交流屏1", 1), C::Raised);  // other device
    EXPECT_EQ(book.active_count(), 3u);
    EXPECT_EQ(book.check(1, "AC_0", "06015", "交流屏1", 2), C::None);  // state change, still active
    EXPECT_EQ(book.check(1, "AC_0", "06015", "交流屏1", 0), C::Cleared);
    EXPECT_EQ(book.active_count(), 2u);
}

TEST(WorkQueue, RunsInOrderOnAnotherThreadReportsThrowsAndDrainsOnShutdown) {
    std::vector<int> order;
    std::vector<std::string> errors;
    std::atomic<bool> otherThread{true};
    const auto caller = std::this_thread::get_id();
    {
        site::WorkQueue queue([&](const std::string& what) { errors.push_back(what); });
        queue.post([&] {
            std::this_thread::sleep_for(20ms);
            order.push_back(1);
        });
        queue.post([&] { throw std::runtime_error("boom"); });
        for (int i = 2; i <= 50; ++i)
            queue.post([&, i] {
                if (std::this_thread::get_id() == caller) otherThread = false;
                order.push_back(i);
            });
    }  // destruction runs everything still queued
    ASSERT_EQ(order.size(), 50u);
    for (int i = 0; i < 50; ++i) EXPECT_EQ(order[i], i + 1);
    EXPECT_TRUE(otherThread);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "boom");
}

TEST(HostTime, IsSevenBytesYearLittleEndianThenFields) {
    const auto t =
        boost::posix_time::ptime(boost::gregorian::date(2026, 12, 7), boost::posix_time::time_duration(21, 5, 9));
    const tele_c_time stamp = get_ttime(t);
    unsigned char bytes[7];
    std::memcpy(bytes, &stamp, 7);
    const unsigned char expected[7] = {0xEA, 0x07, 12, 7, 21, 5, 9};
    EXPECT_EQ(0, std::memcmp(bytes, expected, 7));
}

// A protocol device that keeps what the host handed it.
class EchoDevice : public PMBusProtocol {
public:
    bool LoadFromCache(const unsigned char*, int) override { return true; }
    bool process_payload() override {
        seen.assign(payload_, payload_ + 6 + (payload_[4] | payload_[5] << 8) / 2);
        if (reply) write_pmbus_cmd(0x41, 0x41);
        return true;
    }
    std::vector<unsigned char> seen;
    bool reply = false;
};

struct LinkFixture : ::testing::Test {
    std::shared_ptr<site::Recorder> recorder = std::make_shared<site::Recorder>();
    std::shared_ptr<site::Controller> controller = std::make_shared<site::Controller>(recorder, site::WorkMode::Inline);
    std::shared_ptr<line::ScriptedTransport> script = std::make_shared<line::ScriptedTransport>();
    std::shared_ptr<HostLink> link = std::make_shared<HostLink>(script, 50ms);
    std::shared_ptr<EchoDevice> device = std::make_shared<EchoDevice>();

    void SetUp() override {
        device->Init(controller, 77, Json::Value());
        HostLink::attach(*device, link);
    }
};

TEST_F(LinkFixture, OneRequestOutstandingUntilAnswerResetOrTimeout) {
    ASSERT_TRUE(device->RefreshStatus());
    const unsigned char group = 0xFF;
    device->write_pmbus_cmd(0x40, 0x41, &group, 1);
    EXPECT_FALSE(device->RefreshStatus());
    device->Reset();
    EXPECT_TRUE(device->RefreshStatus());

    device->write_pmbus_cmd(0x40, 0x51);
    EXPECT_FALSE(device->RefreshStatus());
    std::this_thread::sleep_for(60ms);
    EXPECT_TRUE(device->RefreshStatus());
    EXPECT_EQ(link->timeouts(), 1u);

    device->write_pmbus_cmd(0x40, 0x51);
    link->deliver(*device, line::Answer{0x20, 1, 0x40, 0, {1}});
    EXPECT_TRUE(device->RefreshStatus());

    const auto sent = script->requests();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].cid1, 0x40);
    EXPECT_EQ(sent[0].cid2, 0x41);
    EXPECT_EQ(sent[0].info, std::vector<std::uint8_t>{0xFF});
    EXPECT_EQ(sent[1].info.size(), 0u);
    EXPECT_EQ(sent[0].ver, 0x20);
    EXPECT_EQ(recorder->count(site::EventKind::Reset), 1u);
    EXPECT_EQ(recorder->count(site::EventKind::Timeout), 1u);
}

TEST_F(LinkFixture, AnswerReachesTheDeviceInTheHostPayloadLayout) {
    device->reply = true;
    EXPECT_TRUE(link->deliver(*device, line::Answer{0x21, 3, 0x42, 0, {0x10, 0x02, 0xAB}}));
    const std::vector<unsigned char> expected = {0x21, 3, 0x42, 0, 6, 0, 0x10, 0x02, 0xAB};
    EXPECT_EQ(device->seen, expected);
    EXPECT_FALSE(device->RefreshStatus());  // the device's own follow-up request is outstanding
    EXPECT_EQ(script->last().cid1, 0x41);
}

TEST_F(LinkFixture, AnswerWithErrorCodeIsReportedNotHandedOn) {
    EXPECT_FALSE(link->deliver(*device, line::Answer{0x20, 1, 0x40, 0x02, {1, 2}}));
    EXPECT_TRUE(device->seen.empty());
    ASSERT_EQ(recorder->count(site::EventKind::Rejected), 1u);
    EXPECT_EQ(recorder->of(site::EventKind::Rejected)[0].rtn, 0x02);
}

// A device that asks at step 3 and goes back to its first step without a further request: after
// the answer, or in the poll that finds its request not taken.
class RoundDevice : public PMBusProtocol {
public:
    bool LoadFromCache(const unsigned char*, int) override { return true; }
    bool RefreshStatus() override {
        if (!PMBusProtocol::RefreshStatus()) return false;
        if (step_ == 3 && endInPoll) {
            step_ = 0;
            return true;
        }
        step_ = 3;
        write_pmbus_cmd(0x40, 0x41);
        return true;
    }
    bool process_payload() override {
        step_ = 0;
        Reset();
        return false;
    }
    bool endInPoll = false;
};

TEST_F(LinkFixture, ARoundEndedInAPollCountsLikeOneEndedByAnAnswer) {
    auto rounds = std::make_shared<RoundDevice>();
    rounds->Init(controller, 78, Json::Value());
    HostLink::attach(*rounds, link);
    ASSERT_TRUE(link->poll(*rounds));
    link->deliver(*rounds, line::Answer{0x20, 1, 0x40, 0, {}});
    EXPECT_EQ(link->rounds(), 1u);
    ASSERT_TRUE(link->poll(*rounds));
    rounds->Reset();  // no answer came
    rounds->endInPoll = true;
    ASSERT_TRUE(link->poll(*rounds));
    EXPECT_EQ(link->rounds(), 2u);
    EXPECT_EQ(script->count(), 2u) << "the poll that ended the round sent nothing";
    ASSERT_TRUE(link->poll(*rounds));  // between rounds: a new request, no round
    EXPECT_EQ(link->rounds(), 2u);
}

// An answer with an error code ends the exchange at once: the device may ask again without a
// reply timeout.
TEST_F(LinkFixture, AnAnswerWithAnErrorCodeEndsTheExchange) {
    device->write_pmbus_cmd(0x42, 0x46);
    EXPECT_FALSE(device->RefreshStatus());
    EXPECT_FALSE(link->deliver(*device, line::Answer{0x20, 1, 0x42, 0x04, {}}));
    EXPECT_FALSE(link->awaiting());
    EXPECT_TRUE(device->RefreshStatus());
    EXPECT_EQ(link->timeouts(), 0u);
}

TEST_F(LinkFixture, SettingsChooseAddressVersionAndBaud) {
    Json::Value settings;
    settings["address"] = 5;
    settings["protocol_version"] = 33;
    settings["baud"] = 19200;
    ASSERT_TRUE(device->InitSetting(settings));
    device->write_pmbus_cmd(0x42, 0x41);
    EXPECT_EQ(script->last().adr, 5);
    EXPECT_EQ(script->last().ver, 0x21);
    EXPECT_EQ(VRTHostAccess::baud_rate(*device), 19200);
    settings["address"] = 300;
    EXPECT_FALSE(device->InitSetting(settings));
    settings["address"] = "one";
    EXPECT_FALSE(device->InitSetting(settings));
}

TEST_F(LinkFixture, AlarmChecksLeaveRulesAndBatchTellsChange) {
    device->CheckThresholdBool(3, "K", "0001", "name", "text", false, 1);
    device->CheckThresholdBool(3, "K", "0001", "name", "text", true, 2);
    std::map<std::uint8_t, std::string> texts = {{0, "正常"}};
    device->CheckAlertMap(0, 2, "M", "0002", "n", "t", texts, 3);
    auto& rules = VRTHostAccess::rules(*device);
    ASSERT_EQ(rules.size(), 3u);
    EXPECT_TRUE(device->DoBatchCheckThreshold(rules));
    EXPECT_FALSE(device->DoBatchCheckThreshold({rules[0], rules[2]}));
    EXPECT_EQ(recorder->count(site::EventKind::Raised), 1u);
    const auto maps = recorder->of(site::EventKind::AlertMap);
    ASSERT_EQ(maps.size(), 1u);
    EXPECT_EQ(maps[0].stateTexts, texts);
    EXPECT_EQ(maps[0].seq, 3);
}

// A protocol device whose answer says where its cycle goes: INFO[0] is the next step, INFO[1]
// whether that step is asked for at once. Back at step 0 from another step without asking, it
// publishes and queues the save of its image, as the units do at the end of a round.
class CycleDevice : public PMBusProtocol {
public:
    bool LoadFromCache(const unsigned char*, int) override { return true; }
    bool process_payload() override {
        const bool ends = step_ != 0 && payload_[6] == 0 && payload_[7] == 0;
        step_ = payload_[6];
        if (payload_[7] != 0) {
            write_pmbus_cmd(0x40, 0x41);
            return true;
        }
        if (ends) {
            SendSP(5155, image.data(), static_cast<unsigned int>(image.size()), false);
            CheckThresholdWork([this] { SaveDeviceHistory(image.data(), static_cast<unsigned int>(image.size())); });
        }
        Reset();
        return false;
    }
    std::vector<unsigned char> image = {0x10, 0x20, 0x30};
};

// A device of power system 9 on a scripted line, with no observer on the host at all.
struct UnwatchedSystem {
    std::shared_ptr<site::Controller> controller = std::make_shared<site::Controller>(nullptr, site::WorkMode::Inline);
    std::shared_ptr<HostLink> link = std::make_shared<HostLink>(std::make_shared<line::ScriptedTransport>());
    std::shared_ptr<CycleDevice> device = std::make_shared<CycleDevice>();

    UnwatchedSystem() {
        device->Init(controller, 9, Json::Value());
        HostLink::attach(*device, link);
    }
    void answer(std::int32_t from, std::uint8_t to, bool ask) {
        VRTHostAccess::step(*device) = from;
        link->deliver(*device, line::Answer{0x20, 1, 0x40, 0, {to, static_cast<std::uint8_t>(ask ? 1 : 0)}});
    }
};

TEST(RoundEnd, IsTheReturnToTheFirstStepWithoutAFurtherRequest) {
    const struct {
        std::int32_t from;
        std::uint8_t to;
        bool ask;
        std::uint64_t rounds;
    } cases[] = {
        {9, 0, false, 1},  // the round's last answer
        {6, 0, false, 1},  // a round without DC units ends after the rectifier answers
        {0, 1, true, 0},   // an answer that moves the cycle on
        {0, 0, false, 0},  // an answer refused at the first step
        {14, 0, true, 0},  // the model answer starts the first round
        {9, 9, true, 0},   // the same step asked again
        {3, 4, false, 0},  // another step without a request
    };
    for (const auto& c : cases) {
        UnwatchedSystem system;
        system.answer(c.from, c.to, c.ask);
        EXPECT_EQ(system.link->rounds(), c.rounds) << c.from << " -> " << int{c.to};
    }
}

// What the host services hand to the round sink, in order, with the history images passed on.
struct RoundLog : site::RoundSink {
    explicit RoundLog(std::shared_ptr<site::HistorySink> to) : history(std::move(to)) {}
    void published(unsigned device, int record, const unsigned char*, std::size_t size) override {
        log.push_back("publish " + std::to_string(device) + " " + std::to_string(record) + " " + std::to_string(size));
    }
    void alarm_checked(const site::AlarmCheck& check) override {
        log.push_back("check " + std::to_string(check.device) + " " + check.key + " " + std::to_string(check.state) +
                      (check.multiState ? " map" : "") +
                      (check.change == site::AlarmCheck::Change::Raised    ? " raised"
                       : check.change == site::AlarmCheck::Change::Cleared ? " cleared"
                                                                           : ""));
    }
    void logged(unsigned device, const char* format) override {
        log.push_back("log " + std::to_string(device) + " " + format);
    }
    void round_ended(unsigned system) override { log.push_back("end " + std::to_string(system)); }
    void save_image(unsigned device, int record, const unsigned char* image, std::size_t size) override {
        log.push_back("history " + std::to_string(device) + " " + std::to_string(record));
        if (history) history->save_image(device, record, image, size);
    }
    std::shared_ptr<site::HistorySink> history;
    std::vector<std::string> log;
};

TEST(RoundSink, TakesChecksWithTheirChangeAndLogLinesWhetherOrNotAnybodyObserves) {
    for (const bool observed : {false, true}) {
        auto recorder = std::make_shared<site::Recorder>();
        auto controller = std::make_shared<site::Controller>(observed ? recorder : nullptr, site::WorkMode::Inline);
        auto sink = std::make_shared<RoundLog>(nullptr);
        controller->set_sink(sink);
        CycleDevice device;
        device.Init(controller, 4, Json::Value());
        device.CheckThresholdBool(3, "K", "0001", "name", "text", true, 1);
        device.CheckThresholdBool(3, "K", "0001", "name", "text", true, 2);
        device.CheckAlertMap(2, 2, "M", "0002", "n", "t", {{0, "ok"}, {2, "low"}}, 3);
        device.CheckThresholdBool(3, "K", "0001", "name", "text", false, 4);
        const VRTLogArg args[] = {VRTLogArg(4u)};
        controller->log("ProcotolError {}", args, 1);
        EXPECT_EQ(sink->log, (std::vector<std::string>{"check 4 K 1 raised", "check 4 K 1", "check 4 M 2 map raised",
                                                       "check 4 K 0 cleared", "log 4 ProcotolError {}"}))
            << "observed " << observed;
        EXPECT_EQ(recorder->count(site::EventKind::Alarm), observed ? 3u : 0u);
    }
}

TEST(RoundEnd, HistoryIsSavedThroughTheHostServicesWithNothingObserving) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("host_history_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    {
        auto store = std::shared_ptr<site::HistoryStore>(site::HistoryStore::open((dir / "h.db").string()));
        auto writer = std::make_shared<site::HistoryWriter>(store, nullptr);
        writer->add_system(9, {9});
        UnwatchedSystem system;
        auto sink = std::make_shared<RoundLog>(writer);
        system.controller->set_sink(sink);
        system.answer(0, 5, true);
        system.answer(5, 0, false);
        ASSERT_EQ(system.link->rounds(), 1u);
        // The image published, its history saved by the round's work item, then the round's end.
        EXPECT_EQ(sink->log, (std::vector<std::string>{"publish 9 5155 3", "history 9 5155", "end 9"}));
        const std::int64_t savedAt = site::now_ms();  // recent: older images are pruned
        writer->end_round(9, savedAt);
        ASSERT_TRUE(writer->flush(std::chrono::seconds(30)));
        const auto newest = store->newest(9);
        ASSERT_TRUE(newest);
        EXPECT_EQ(store->count(), 1u);
        EXPECT_EQ(newest->record, 5155);
        EXPECT_EQ(newest->savedAtMs, savedAt);
        EXPECT_EQ(newest->image, (std::vector<std::uint8_t>{0x10, 0x20, 0x30}));
    }
    std::filesystem::remove_all(dir);
}

}  // namespace

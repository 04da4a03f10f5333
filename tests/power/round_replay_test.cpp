// A recorded run of the KTR-40 device with its real units, replayed and compared line by line
// with the run recorded in data/round_replay.txt: every request, every host service call (images,
// alarm reports, log lines, history), every line printed on standard output, value queries and
// cache restores, over rounds whose answers are bent at random (fixed seed). A change in how
// the units or the cycle are built must leave this text exactly as it is.
//
// After a deliberate change of behaviour, write the file anew with
//   KTR40E_REWRITE_REPLAY=1 ./power_tests --gtest_filter='RoundReplay*'
// and review the difference before committing it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "power/ktr40e.h"
#include "power_fixture.h"
#include "site/host/controller.h"
#include "site/host/json_text.h"
#include "site/trace/event_log.h"
#include "site/host/events.h"
#include "site/host/host_access.h"
#include "site/host/link.h"
#include "tests/shared/stdout_capture.h"
#include "tests/shared/wire_sample.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Answer {
    std::uint8_t cid1;
    std::uint8_t cid2;
    Bytes info;
};

// One round's answers of the plant, as a KTR-40 sends them: AC unit 1 with two channels (one
// voltage low, a frequency high, an air switch open), AC unit 2 without phase A current; DC unit
// 1 with low voltage and a blown fuse, DC unit 2 without load current; four rectifier modules, one
// faulty, one not reachable, one without current.
std::vector<Answer> plant_round() {
    return {
        {0x40, 0x51, info_from_hex("4B54522D34302020202020202020202020202020")},
        {0x40, 0x41,
         info_from_hex("1102020000BE430000BE430000BE4300004842000000BE430000BE430000BE4300004842000000A0"
                       "410000A0410000A041010000BE430000BE43202020200000484200202020200000A0410000A041")},
        {0x40, 0x43, info_from_hex("11020400010002000300000000")},
        {0x40, 0x44,
         info_from_hex("11020200000002000600000000000001000000000600000100000000000001000000000006000000"
                       "000000000200")},
        {0x41, 0x41,
         info_from_hex("11000056420400007041010000000000007041010000000000007041010000000020202020010000"
                       "0000")},
        {0x41, 0x43, info_from_hex("1104010001020000000000020000000000020000000000020000")},
        {0x41, 0x44, info_from_hex("11040001000101000001E2000100")},
        {0x42, 0x41,
         info_from_hex("11020000564200003442020000A0400000A0400400004041000020410000004100007041020000C0"
                       "3F2020202000005642202020200100000040040000404100002041000000410000704100")},
        {0x42, 0x44,
         info_from_hex("11020103000300110000000100000000000000000000000000000200001100000000000000000000"
                       "02000000000000")},
        {0x40, 0x46, info_from_hex("0000E6430000964300000000000000000000000000")},
        {0x42, 0x46, info_from_hex("666666420000344203000000000000000000000000")},
    };
}

const Answer* answer_for(const std::vector<Answer>& answers, std::uint8_t cid1, std::uint8_t cid2) {
    for (const Answer& answer : answers) {
        if (answer.cid1 == cid1 && answer.cid2 == cid2) return &answer;
    }
    return nullptr;
}

// Bends one answer: a byte changed, a byte dropped or added, or the answer cut short.
void bend(Bytes& info, std::mt19937& random) {
    if (info.empty()) return;
    const std::size_t at = random() % info.size();
    switch (random() % 6) {
        case 0: info[at] = static_cast<std::uint8_t>(random()); break;
        case 1: info[at] = static_cast<std::uint8_t>(info[at] + 1); break;
        case 2: info[at] = static_cast<std::uint8_t>(info[at] - 1); break;
        case 3: info.erase(info.begin() + static_cast<std::ptrdiff_t>(at)); break;
        case 4: info.insert(info.begin() + static_cast<std::ptrdiff_t>(at), static_cast<std::uint8_t>(random())); break;
        default: info.resize(at); break;
    }
}

// The offset of update_time in each published record: the time of the run is not part of it.
std::size_t update_time_offset(int record) {
    switch (record) {
        case 5153: return 30;
        case 5154: return 183;
        default: return 50;
    }
}

void mask_time(site::Event& event) {
    if (event.kind != site::EventKind::Publish && event.kind != site::EventKind::History) return;
    const std::size_t at = update_time_offset(event.record);
    for (std::size_t k = at; k < at + 7 && k < event.bytes.size(); ++k) event.bytes[k] = 0xEE;
}

std::string hex(const Bytes& bytes) { return site::hex_text(bytes); }

class Replay {
public:
    Replay() {
        dev_->Init(controller_, 1000, Json::Value());
        if (!dev_->InitSetting(rec::settings_for({11, 12}, {21, 22}))) throw std::runtime_error("settings refused");
        HostLink::attach(*dev_, link_);
    }

    // Polls and answers until the round in progress ends, handing `bent` answers on first asking
    // and the plain ones when a step is asked again.
    void round(const std::vector<Answer>& plain, const std::vector<Answer>& bent) {
        out_ << "round\n";
        std::uint64_t lastAsked = 0;
        for (int delivery = 0; delivery < 64; ++delivery) {
            if (!link_->awaiting()) {
                out_ << " poll " << dev_->RefreshStatus() << "\n";
                flush_events();
            }
            const line::Request request = link_->last_request();
            const bool again = link_->sent() == lastAsked;
            lastAsked = link_->sent();
            const Answer* answer = answer_for(again ? plain : bent, request.cid1, request.cid2);
            const Bytes info = answer != nullptr ? answer->info : Bytes();
            const std::int32_t stepBefore = VRTHostAccess::step(*dev_);
            bool taken = false;
            const std::string printed = printed_by([&] {
                taken = link_->deliver(*dev_, line::Answer{0x20, 1, request.cid1, 0, info});
            });
            out_ << " answer " << int(request.cid1) << "/" << int(request.cid2) << " " << hex(info) << " -> " << taken
                 << "\n";
            print_stdout(printed);
            flush_events();
            if (link_->sent() == lastAsked) link_->end_exchange(*dev_);
            if (stepBefore != 0 && VRTHostAccess::step(*dev_) == 0) return;
        }
        out_ << " round did not end\n";
    }

    void queries() {
        static const char* const names[] = {"v",           "i",           "channel_0_a", "channel_1_b",
                                            "channel_0_c", "channel_2_a", "channel_0_f", "x"};
        for (const std::shared_ptr<VRTVDevice>& child : dev_->GetAllChildVDevices()) {
            if (!child) continue;
            out_ << " query " << child->DataId() << " " << child->DeviceType() << ":";
            for (const char* name : names) {
                try {
                    const float value = child->Get_Value(0, name);
                    out_ << " " << name << "=" << value;
                } catch (const std::out_of_range& e) {
                    out_ << " " << name << "!" << e.what();
                }
            }
            out_ << "\n";
        }
    }

    // Restores the images of the last round, whole and bent, into a fresh unit of its kind.
    void restores(std::mt19937& random) {
        const std::size_t lastRound = images_.size() > 5 ? images_.size() - 5 : 0;
        const std::vector<std::pair<int, Bytes>> published(images_.begin() + static_cast<std::ptrdiff_t>(lastRound),
                                                           images_.end());
        for (const auto& [record, image] : published) {
            for (int variant = 0; variant < 6; ++variant) {
                Bytes bytes = image;
                if (variant > 0) bend(bytes, random);
                std::shared_ptr<VRTVDevice> unit = fresh_unit(record);
                bool restored = false;
                const std::string printed =
                    printed_by([&] { restored = unit->LoadFromCache(bytes.data(), static_cast<int>(bytes.size())); });
                out_ << "restore " << record << " " << hex(bytes) << " -> " << restored << "\n";
                print_stdout(printed);
                print_stdout(printed_by([&] { unit->RoundDone(); }));
                flush_events();
            }
        }
    }

    std::string text() const { return out_.str(); }

private:
    std::shared_ptr<VRTVDevice> fresh_unit(int record) {
        std::shared_ptr<VRTVDevice> unit;
        if (record == 5153) unit = std::make_shared<Ktr40eAC>();
        if (record == 5154) unit = std::make_shared<Ktr40eDC>();
        if (record == 5155) unit = std::make_shared<Ktr40eRC>();
        unit->Init(controller_, 0, Json::Value());
        unit->InitV(dev_.get(), 77, unit_settings());
        return unit;
    }

    static Json::Value unit_settings() {
        Json::Value settings(Json::objectValue);
        settings["data_id"] = 77;
        settings["appSetting"]["diff_v"] = "0.5";
        settings["appSetting"]["diff_i"] = 3;
        return settings;
    }

    void print_stdout(const std::string& printed) {
        std::istringstream lines(printed);
        for (std::string line; std::getline(lines, line);) out_ << " stdout " << line << "\n";
    }

    void flush_events() {
        for (site::Event event : recorder_->events()) {
            mask_time(event);
            if (event.kind == site::EventKind::Publish) images_.emplace_back(event.record, event.bytes);
            out_ << " " << site::to_string(event.kind) << " " << event.device;
            if (std::optional<std::string> line = site::event_line(event, *writer_)) out_ << " " << *line;
            if (event.kind == site::EventKind::Raised || event.kind == site::EventKind::Cleared)
                out_ << " " << event.key << " " << event.code << " " << event.text << " " << int(event.state);
            out_ << "\n";
        }
        recorder_->clear();
    }

    std::shared_ptr<site::Recorder> recorder_ = std::make_shared<site::Recorder>();
    std::shared_ptr<site::Controller> controller_ =
        std::make_shared<site::Controller>(recorder_, site::WorkMode::Inline);
    std::shared_ptr<line::ScriptedTransport> script_ = std::make_shared<line::ScriptedTransport>();
    std::shared_ptr<HostLink> link_ = std::make_shared<HostLink>(script_);
    std::shared_ptr<Ktr40e> dev_ = std::make_shared<Ktr40e>(std::chrono::microseconds(0));
    std::unique_ptr<Json::StreamWriter> writer_ = site::make_line_writer();
    std::vector<std::pair<int, Bytes>> images_;
    std::ostringstream out_;
};

std::string recorded_path() { return std::string(KTR40E_SOURCE_DIR) + "/tests/power/data/round_replay.txt"; }

std::string read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(RoundReplayTest, RoundsQueriesAndRestoresMatchTheRecordedRun) {
    std::mt19937 random(18);
    Replay replay;
    const std::vector<Answer> plain = plant_round();
    replay.round(plain, plain);
    replay.queries();
    for (int round = 0; round < 12; ++round) {
        std::vector<Answer> bent = plain;
        for (int k = 1 + static_cast<int>(random() % 3); k > 0; --k) bend(bent[random() % bent.size()].info, random);
        replay.round(plain, bent);
        replay.queries();
    }
    replay.restores(random);

    const std::string path = recorded_path();
    if (std::getenv("KTR40E_REWRITE_REPLAY") != nullptr) {
        std::ofstream(path, std::ios::binary) << replay.text();
        GTEST_SKIP() << "wrote " << path;
    }
    const std::string recorded = read_all(path);
    ASSERT_FALSE(recorded.empty()) << path;
    std::istringstream expected(recorded);
    std::istringstream actual(replay.text());
    int number = 1;
    for (std::string want, got; std::getline(expected, want); ++number) {
        ASSERT_TRUE(std::getline(actual, got)) << "the run ends early, before line " << number;
        ASSERT_EQ(got, want) << "line " << number;
    }
    std::string extra;
    EXPECT_FALSE(std::getline(actual, extra)) << "the run goes on past line " << number << ": " << extra;
}

}  // namespace

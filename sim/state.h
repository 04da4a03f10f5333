#pragma once
#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <json/value.h>

// The simulated KTR-40 power system: what it measures, its alarm states, and how it talks.
namespace sim {

// An analog value; empty when the system does not provide it (sent as blanks).
using Analog = std::optional<float>;

struct AcChannel {
    Analog a = 380.0f;  // line voltage AB (or phase voltage A)
    Analog b = 380.0f;
    Analog c = 380.0f;
    Analog f = 50.0f;          // frequency
    std::vector<Analog> user;  // user-defined analog values (the driver expects none)
    std::uint8_t aAlert = 0;   // 1 too low, 2 too high, 3 phase missing
    std::uint8_t bAlert = 0;
    std::uint8_t cAlert = 0;
    std::uint8_t fAlert = 0;
    std::vector<std::uint8_t> extraStates;                      // further alarm states (the driver expects none)
    std::vector<std::uint8_t> userAlarms = {0, 0, 0, 0, 0, 0};  // user-defined alarm bytes
};

struct AcUnit {
    std::vector<AcChannel> channels = std::vector<AcChannel>(1);
    Analog ia = 20.0f;  // phase currents
    Analog ib = 20.0f;
    Analog ic = 20.0f;
    std::uint8_t iaAlert = 0;  // 1 below the lower limit, 2 above the upper limit, 3 missing
    std::uint8_t ibAlert = 0;
    std::uint8_t icAlert = 0;
    std::vector<std::uint8_t> airSwitches = {0, 0, 0};  // air-switch states
    std::vector<std::uint8_t> userStatus;               // user-defined status bytes (the driver expects none)
};

struct DcUnit {
    Analog voltage = 53.5f;
    Analog current = 45.0f;                                        // total load current
    std::vector<Analog> batteries = {Analog(5.0f), Analog(5.0f)};  // battery group currents
    std::vector<Analog> branches = {Analog(12.0f), Analog(10.0f), Analog(8.0f), Analog(15.0f)};  // load branches
    std::vector<Analog> user;                                                 // user-defined analog values
    std::uint8_t voltageState = 0;                                            // 1 low, 2 high
    std::vector<std::uint8_t> fuses = {0, 0};                                 // battery fuse states, 3 = fault
    std::vector<std::uint8_t> userAlarms = std::vector<std::uint8_t>(17, 0);  // user-defined alarm states
};

struct RectifierModule {
    Analog current = 15.0f;                     // output current
    std::vector<Analog> user = {Analog(0.0f)};  // user-defined analog values
    std::array<std::uint8_t, 3> status{};       // status bytes
    std::vector<std::uint8_t> userStatus = {0, 0};
    std::uint8_t fault = 0;                      // 1 module fault
    std::vector<std::uint8_t> userAlarms = {0};  // 0xE2 module communication interrupted
};

struct Rectifiers {
    Analog outputVoltage = 53.5f;
    std::vector<RectifierModule> modules = std::vector<RectifierModule>(3);
};

// The answers to the two parameter requests (40/46 and 42/46).
struct Parameters {
    std::vector<Analog> ac = {Analog(460.0f), Analog(300.0f), Analog(0.0f), Analog(0.0f), Analog(0.0f)};
    std::vector<Analog> acUser;
    std::vector<Analog> dc = {Analog(57.6f), Analog(45.0f)};
    std::vector<Analog> dcUser = {Analog(0.0f), Analog(0.0f), Analog(0.0f)};
};

struct SiteState {
    std::string model = "KTR-40";
    bool padWithNul = false;  // model text padded with NUL bytes instead of blanks
    std::vector<AcUnit> ac = std::vector<AcUnit>(1);
    std::vector<DcUnit> dc = std::vector<DcUnit>(1);
    Rectifiers rectifiers;
    Parameters parameters;
};

// How the first INFO byte of the group answers (DATAFLAG) is set.
enum class DataFlagMode {
    Changes,  // 0x10 when the status answer changed since it was last sent, 0x01 the same for alarms
    Always,   // always 0x11
    Never,    // always 0x00: a device that does not tell
    Fixed,    // always `fixedDataFlag`
};

// Faults put on the line; each share is a probability per answer.
struct Faults {
    double drop = 0;        // no answer at all
    double corrupt = 0;     // CHKSUM off by one
    double wrongCid1 = 0;   // the CID1 of another group
    double wrongCount = 0;  // a unit count one too high (40/41, 40/43, 40/44, 42/41, 42/44)
    double slow = 0;        // answer only after `delay`
    std::chrono::milliseconds delay{0};
    std::uint64_t lateEvery = 0;  // every Nth answer only after `delay` (0: none); repeated requests are answered too
    std::size_t noise = 0;        // bytes of noise before every answer (never SOI or EOI)
    double truncate = 0;          // INFO cut short after a random number of whole bytes; LENGTH and CHKSUM fit the cut
    double overcount = 0;       // one count of the answer the driver cannot keep or does not expect (sim/overcounts.h)
    std::string overcountKind;  // only the overcount of that name; empty: any that fits the answer
    double hangUp = 0;          // the line hangs up instead of answering and comes back after `away` (needs a link)
    std::chrono::milliseconds away{500};
    bool echo = false;              // every request is heard back on the line before the answer (two-wire RS-485)
    std::uint16_t refuse = 0;       // (CID1 << 8) | CID2: every answer to that command comes with an empty INFO
    std::uint16_t neverAnswer = 0;  // (CID1 << 8) | CID2: that command is never answered (older firmware)
    std::uint16_t rtnCommand = 0;   // (CID1 << 8) | CID2: that command is always answered with `rtn`, no INFO
    std::uint8_t rtn = 0;
};

struct SimConfig {
    SiteState state;
    std::uint8_t address = 1;
    int baud = 9600;      // pacing of the answers; 0 answers at once
    double drift = 0.01;  // relative amplitude of the slow drift of analog values; 0 keeps them fixed
    std::chrono::seconds driftPeriod{120};
    DataFlagMode dataFlag = DataFlagMode::Changes;
    std::uint8_t fixedDataFlag = 0;
    Faults faults;
    std::uint32_t seed = 0;  // 0: a random seed
};

// Reads a configuration; missing members keep the defaults above. Throws std::runtime_error
// naming the member that is wrong.
SimConfig config_from_json(const Json::Value& root);
SimConfig load_config_file(const std::string& path);

// A command written as "CID1/CID2" in hex ("42/41") as (CID1 << 8) | CID2, or nothing.
std::optional<std::uint16_t> command_in(const std::string& text);
// A command and a return code written as "CID1/CID2:RTN" in hex ("42/46:04"), or nothing.
std::optional<std::pair<std::uint16_t, std::uint8_t>> command_rtn_in(const std::string& text);
Faults faults_from_json(const Json::Value& faults, Faults defaults = Faults());

}  // namespace sim

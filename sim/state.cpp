#include "sim/state.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <stdexcept>

#include <json/reader.h>

#include "cmdline/unknown_name.h"
#include "sim/overcounts.h"

// Configuration file, every member optional:
// {
//   "model": "KTR-40", "model_padding": "blank" | "nul",
//   "address": 1, "baud": 9600, "drift": 0.01, "drift_period": 120, "seed": 0,
//   "dataflag": "changes" | "always" | "never" | <byte>,
//   "ac": <count> | [{"ia", "ib", "ic", "ia_alert", "ib_alert", "ic_alert", "air_switches", "user_status",
//                     "channels": <count> | [{"a", "b", "c", "f", "user", "a_alert", "b_alert", "c_alert",
//                                            "f_alert", "extra_states", "user_alarms"}]}],
//   "dc": <count> | [{"voltage", "current", "batteries", "branches", "user", "voltage_state", "fuses",
//                     "user_alarms"}],
//   "rectifiers": {"output_voltage", "modules": <count> | [{"current", "user", "status", "user_status",
//                                                          "fault", "user_alarms"}]},
//   "parameters": {"ac", "ac_user", "dc", "dc_user"},
//   "faults": {"drop", "corrupt", "wrong_cid1", "wrong_count", "slow", "delay_ms", "noise", "truncate",
//              "overcount", "overcount_kind", "hang_up", "away_ms", "late_every", "echo", "refuse",
//              "never_answer": "CID1/CID2", "rtn": "CID1/CID2:RTN"}
// }
// An analog value is a number, or null when the system does not provide it. A list may be
// given as a count instead; it then holds that many default entries.
namespace sim {
namespace {

constexpr off_t kMaxConfigBytes = 4 << 20;

[[noreturn]] void fail(const std::string& where, const char* what) {
    throw std::runtime_error("simulator configuration: " + where + ": " + what);
}

std::string at(const std::string& where, const char* key) { return where.empty() ? key : where + "." + key; }
std::string at(const std::string& where, Json::ArrayIndex i) { return where + "[" + std::to_string(i) + "]"; }

void require_object(const Json::Value& v, const std::string& where) {
    if (!v.isObject()) fail(where, "expected an object");
}

// An object whose every member is one of `known`: a misspelt key is refused, not ignored.
void require_members(const Json::Value& v, std::vector<std::string> known, const std::string& where) {
    require_object(v, where);
    for (const std::string& name : v.getMemberNames())
        if (std::find(known.begin(), known.end(), name) == known.end())
            fail(where, cmdline::unknown_key_text(name, known).c_str());
}

unsigned read_count(const Json::Value& v, const std::string& where) {
    if (!v.isUInt() || v.asUInt() > 255) fail(where, "expected a count from 0 to 255");
    return v.asUInt();
}

Analog analog_of(const Json::Value& v, const std::string& where) {
    if (v.isNull()) return std::nullopt;
    if (!v.isNumeric()) fail(where, "expected a number or null");
    return v.asFloat();
}

std::uint8_t byte_of(const Json::Value& v, const std::string& where) {
    return static_cast<std::uint8_t>(read_count(v, where));
}

void read(const Json::Value& obj, const char* key, Analog& out, const std::string& where) {
    if (obj.isMember(key)) out = analog_of(obj[key], at(where, key));
}

void read(const Json::Value& obj, const char* key, std::uint8_t& out, const std::string& where) {
    if (obj.isMember(key)) out = byte_of(obj[key], at(where, key));
}

// A list given element by element, or as a count of default elements.
template <class T, class ReadOne>
void read_list(const Json::Value& obj, const char* key, std::vector<T>& out, const std::string& where,
               const T& fallback, ReadOne readOne) {
    if (!obj.isMember(key)) return;
    const Json::Value& v = obj[key];
    const std::string here = at(where, key);
    if (!v.isArray()) {
        out.assign(read_count(v, here), fallback);
        return;
    }
    if (v.size() > 255) fail(here, "more than 255 entries");
    out.assign(v.size(), fallback);
    for (Json::ArrayIndex i = 0; i < v.size(); ++i) readOne(v[i], out[i], at(here, i));
}

void read(const Json::Value& obj, const char* key, std::vector<Analog>& out, const std::string& where) {
    const Analog fallback = out.empty() ? Analog(0.0f) : out.front();
    read_list(obj, key, out, where, fallback,
              [](const Json::Value& v, Analog& a, const std::string& w) { a = analog_of(v, w); });
}

void read(const Json::Value& obj, const char* key, std::vector<std::uint8_t>& out, const std::string& where) {
    read_list(obj, key, out, where, std::uint8_t{0},
              [](const Json::Value& v, std::uint8_t& b, const std::string& w) { b = byte_of(v, w); });
}

// Reads a list of objects with `readOne(object, item, where)`.
template <class T, class ReadOne>
void read_objects(const Json::Value& obj, const char* key, std::vector<T>& out, const std::string& where,
                  ReadOne readOne) {
    read_list(obj, key, out, where, T{}, [&](const Json::Value& v, T& item, const std::string& w) {
        require_object(v, w);
        readOne(v, item, w);
    });
}

void read_channel(const Json::Value& v, AcChannel& ch, const std::string& w) {
    require_members(
        v, {"a", "b", "c", "f", "user", "a_alert", "b_alert", "c_alert", "f_alert", "extra_states", "user_alarms"}, w);
    read(v, "a", ch.a, w);
    read(v, "b", ch.b, w);
    read(v, "c", ch.c, w);
    read(v, "f", ch.f, w);
    read(v, "user", ch.user, w);
    read(v, "a_alert", ch.aAlert, w);
    read(v, "b_alert", ch.bAlert, w);
    read(v, "c_alert", ch.cAlert, w);
    read(v, "f_alert", ch.fAlert, w);
    read(v, "extra_states", ch.extraStates, w);
    read(v, "user_alarms", ch.userAlarms, w);
}

void read_ac(const Json::Value& v, AcUnit& unit, const std::string& w) {
    require_members(
        v, {"channels", "ia", "ib", "ic", "ia_alert", "ib_alert", "ic_alert", "air_switches", "user_status"}, w);
    read_objects(v, "channels", unit.channels, w, read_channel);
    read(v, "ia", unit.ia, w);
    read(v, "ib", unit.ib, w);
    read(v, "ic", unit.ic, w);
    read(v, "ia_alert", unit.iaAlert, w);
    read(v, "ib_alert", unit.ibAlert, w);
    read(v, "ic_alert", unit.icAlert, w);
    read(v, "air_switches", unit.airSwitches, w);
    read(v, "user_status", unit.userStatus, w);
}

void read_dc(const Json::Value& v, DcUnit& unit, const std::string& w) {
    require_members(v, {"voltage", "current", "batteries", "branches", "user", "voltage_state", "fuses", "user_alarms"},
                    w);
    read(v, "voltage", unit.voltage, w);
    read(v, "current", unit.current, w);
    read(v, "batteries", unit.batteries, w);
    read(v, "branches", unit.branches, w);
    read(v, "user", unit.user, w);
    read(v, "voltage_state", unit.voltageState, w);
    read(v, "fuses", unit.fuses, w);
    read(v, "user_alarms", unit.userAlarms, w);
}

void read_module(const Json::Value& v, RectifierModule& module, const std::string& w) {
    require_members(v, {"current", "user", "status", "user_status", "fault", "user_alarms"}, w);
    read(v, "current", module.current, w);
    read(v, "user", module.user, w);
    if (v.isMember("status")) {
        std::vector<std::uint8_t> status;
        read(v, "status", status, w);
        if (status.size() != module.status.size()) fail(at(w, "status"), "expected three status bytes");
        std::copy(status.begin(), status.end(), module.status.begin());
    }
    read(v, "user_status", module.userStatus, w);
    read(v, "fault", module.fault, w);
    read(v, "user_alarms", module.userAlarms, w);
}

void read_rectifiers(const Json::Value& v, Rectifiers& rc, const std::string& w) {
    require_members(v, {"output_voltage", "modules"}, w);
    read(v, "output_voltage", rc.outputVoltage, w);
    read_objects(v, "modules", rc.modules, w, read_module);
}

void read_parameters(const Json::Value& v, Parameters& p, const std::string& w) {
    require_members(v, {"ac", "ac_user", "dc", "dc_user"}, w);
    read(v, "ac", p.ac, w);
    read(v, "ac_user", p.acUser, w);
    read(v, "dc", p.dc, w);
    read(v, "dc_user", p.dcUser, w);
    if (p.ac.size() != 5) fail(at(w, "ac"), "expected five values");
    if (p.dc.size() != 2) fail(at(w, "dc"), "expected two values");
}

double share_of(const Json::Value& obj, const char* key, double fallback, const std::string& where) {
    if (!obj.isMember(key)) return fallback;
    const Json::Value& v = obj[key];
    if (!v.isNumeric() || v.asDouble() < 0 || v.asDouble() > 1) fail(at(where, key), "expected a share from 0 to 1");
    return v.asDouble();
}

unsigned unsigned_of(const Json::Value& obj, const char* key, unsigned fallback, const std::string& where) {
    if (!obj.isMember(key)) return fallback;
    if (!obj[key].isUInt()) fail(at(where, key), "expected a whole number");
    return obj[key].asUInt();
}

void read_dataflag(const Json::Value& v, SimConfig& config) {
    if (v.isUInt()) {
        config.dataFlag = DataFlagMode::Fixed;
        config.fixedDataFlag = byte_of(v, "dataflag");
        return;
    }
    const std::string mode = v.isString() ? v.asString() : std::string();
    if (mode == "changes") {
        config.dataFlag = DataFlagMode::Changes;
    } else if (mode == "always") {
        config.dataFlag = DataFlagMode::Always;
    } else if (mode == "never") {
        config.dataFlag = DataFlagMode::Never;
    } else {
        fail("dataflag", "expected \"changes\", \"always\", \"never\" or a byte");
    }
}

}  // namespace

Faults faults_from_json(const Json::Value& v, Faults faults) {
    const std::string w = "faults";
    require_members(
        v,
        {"drop", "corrupt", "wrong_cid1", "wrong_count", "slow", "delay_ms", "noise", "truncate", "overcount",
         "overcount_kind", "hang_up", "away_ms", "late_every", "echo", "refuse", "never_answer", "rtn"},
        w);
    faults.drop = share_of(v, "drop", faults.drop, w);
    faults.corrupt = share_of(v, "corrupt", faults.corrupt, w);
    faults.wrongCid1 = share_of(v, "wrong_cid1", faults.wrongCid1, w);
    faults.wrongCount = share_of(v, "wrong_count", faults.wrongCount, w);
    faults.delay =
        std::chrono::milliseconds(unsigned_of(v, "delay_ms", static_cast<unsigned>(faults.delay.count()), w));
    // A delay alone slows every answer.
    const double slowFallback = v.isMember("delay_ms") && !v.isMember("slow") ? 1.0 : faults.slow;
    faults.slow = share_of(v, "slow", slowFallback, w);
    faults.noise = unsigned_of(v, "noise", static_cast<unsigned>(faults.noise), w);
    faults.truncate = share_of(v, "truncate", faults.truncate, w);
    faults.overcount = share_of(v, "overcount", faults.overcount, w);
    if (v.isMember("overcount_kind")) {
        const Json::Value& kind = v["overcount_kind"];
        if (!kind.isString() || (!kind.asString().empty() && find_overcount(kind.asString()) == nullptr))
            fail(at(w, "overcount_kind"), "expected the name of an overcount");
        faults.overcountKind = kind.asString();
    }
    faults.hangUp = share_of(v, "hang_up", faults.hangUp, w);
    faults.away = std::chrono::milliseconds(unsigned_of(v, "away_ms", static_cast<unsigned>(faults.away.count()), w));
    faults.lateEvery = unsigned_of(v, "late_every", static_cast<unsigned>(faults.lateEvery), w);
    if (v.isMember("echo")) {
        if (!v["echo"].isBool()) fail(at(w, "echo"), "expected true or false");
        faults.echo = v["echo"].asBool();
    }
    if (v.isMember("refuse")) {
        const Json::Value& refuse = v["refuse"];
        const std::optional<std::uint16_t> command =
            refuse.isString() ? command_in(refuse.asString()) : std::optional<std::uint16_t>();
        if (!command) fail(at(w, "refuse"), "expected a command such as \"42/41\"");
        faults.refuse = *command;
    }
    if (v.isMember("never_answer")) {
        const Json::Value& silent = v["never_answer"];
        const std::optional<std::uint16_t> command =
            silent.isString() ? command_in(silent.asString()) : std::optional<std::uint16_t>();
        if (!command) fail(at(w, "never_answer"), "expected a command such as \"42/44\"");
        faults.neverAnswer = *command;
    }
    if (v.isMember("rtn")) {
        const Json::Value& rtn = v["rtn"];
        const auto answer =
            rtn.isString() ? command_rtn_in(rtn.asString()) : std::optional<std::pair<std::uint16_t, std::uint8_t>>();
        if (!answer) fail(at(w, "rtn"), "expected a command and a return code such as \"42/46:04\"");
        faults.rtnCommand = answer->first;
        faults.rtn = answer->second;
    }
    return faults;
}

SimConfig config_from_json(const Json::Value& root) {
    SimConfig config;
    require_members(root,
                    {"model", "model_padding", "address", "baud", "drift", "drift_period", "seed", "dataflag", "ac",
                     "dc", "rectifiers", "parameters", "faults"},
                    "top level");
    SiteState& s = config.state;
    if (root.isMember("model")) {
        if (!root["model"].isString()) fail("model", "expected a text");
        s.model = root["model"].asString();
        if (s.model.size() > 20) fail("model", "longer than 20 characters");
    }
    if (root.isMember("model_padding")) {
        const std::string pad = root["model_padding"].isString() ? root["model_padding"].asString() : "";
        if (pad != "blank" && pad != "nul") fail("model_padding", "expected \"blank\" or \"nul\"");
        s.padWithNul = pad == "nul";
    }
    read(root, "address", config.address, "");
    if (root.isMember("baud")) {
        config.baud = static_cast<int>(unsigned_of(root, "baud", 0, ""));
    }
    if (root.isMember("drift")) {
        if (!root["drift"].isNumeric() || root["drift"].asDouble() < 0) fail("drift", "expected a share");
        config.drift = root["drift"].asDouble();
    }
    config.driftPeriod = std::chrono::seconds(
        std::max(1u, unsigned_of(root, "drift_period", static_cast<unsigned>(config.driftPeriod.count()), "")));
    config.seed = unsigned_of(root, "seed", 0, "");
    if (root.isMember("dataflag")) read_dataflag(root["dataflag"], config);
    read_objects(root, "ac", s.ac, "", read_ac);
    read_objects(root, "dc", s.dc, "", read_dc);
    if (root.isMember("rectifiers")) read_rectifiers(root["rectifiers"], s.rectifiers, "rectifiers");
    if (root.isMember("parameters")) read_parameters(root["parameters"], s.parameters, "parameters");
    if (root.isMember("faults")) config.faults = faults_from_json(root["faults"]);
    return config;
}

std::optional<std::uint16_t> command_in(const std::string& text) {
    unsigned cid1 = 0;
    unsigned cid2 = 0;
    int used = 0;
    if (std::sscanf(text.c_str(), "%2x/%2x%n", &cid1, &cid2, &used) != 2 || used != static_cast<int>(text.size()))
        return std::nullopt;
    return static_cast<std::uint16_t>(cid1 << 8 | cid2);
}

std::optional<std::pair<std::uint16_t, std::uint8_t>> command_rtn_in(const std::string& text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos) return std::nullopt;
    const std::optional<std::uint16_t> command = command_in(text.substr(0, colon));
    unsigned rtn = 0;
    int used = 0;
    const std::string code = text.substr(colon + 1);
    if (!command || std::sscanf(code.c_str(), "%2x%n", &rtn, &used) != 1 || used != static_cast<int>(code.size()))
        return std::nullopt;
    return std::make_pair(*command, static_cast<std::uint8_t>(rtn));
}

SimConfig load_config_file(const std::string& path) {
    // Only a regular file: a FIFO would wait for a writer, a device never end.
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) throw std::runtime_error(path + ": cannot be read: " + std::strerror(errno));
    if (!S_ISREG(info.st_mode)) throw std::runtime_error(path + ": not a regular file");
    if (info.st_size > kMaxConfigBytes) throw std::runtime_error(path + ": larger than 4 MiB");
    std::ifstream in(path);
    if (!in) throw std::runtime_error(path + ": cannot be read: " + std::strerror(errno));
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    Json::Value root;
    std::string errors;
    if (!Json::parseFromStream(builder, in, &root, &errors)) throw std::runtime_error(path + ": " + errors);
    try {
        return config_from_json(root);
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(path + ": " + e.what());
    }
}

}  // namespace sim

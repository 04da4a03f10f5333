#include "site/site_config.h"

#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

#include "site/serial.h"

namespace site {
namespace {

[[noreturn]] void fail(const std::string& where, const std::string& what) {
    throw std::runtime_error(where + ": " + what);
}

unsigned read_data_id(const Json::Value& value, const std::string& where) {
    if (!value.isIntegral() || value.asInt64() < 0 || value.asUInt64() > 0xFFFFFFFFull)
        fail(where, "\"data_id\" must be a whole number from 0 to 4294967295");
    return value.asUInt();
}

double read_seconds(const Json::Value& system, const char* key, double fallback, const std::string& where) {
    const Json::Value& value = system[key];
    if (value.isNull()) return fallback;
    if (!value.isNumeric() || value.asDouble() < 0 || value.asDouble() > 86400)
        fail(where, std::string("\"") + key + "\" must be a number of seconds from 0 to 86400");
    return value.asDouble();
}

// Every unit keeps its history under its data id: two units with one id would mix them.
void check_unique_ids(const SiteConfig& site) {
    std::set<unsigned> seen;
    auto claim = [&](unsigned id, const std::string& what) {
        if (!seen.insert(id).second) fail(what, "data id " + std::to_string(id) + " is used twice in the site");
    };
    for (const SystemConfig& system : site.systems) {
        claim(system.dataId, "system " + std::to_string(system.dataId));
        for (const char* key : {"acSetting", "dcSetting"}) {
            const Json::Value& units = system.settings[key];
            if (!units.isArray()) continue;
            for (Json::ArrayIndex i = 0; i < units.size(); ++i) {
                const std::string where = "system " + std::to_string(system.dataId) + " " + key + "[" +
                                          std::to_string(i) + "]";
                claim(read_data_id(units[i]["data_id"], where), where);
            }
        }
    }
}

void read_port(const Json::Value& port, SystemConfig& system, const std::string& where) {
    if (!port.isNull() && !port.isString()) fail(where, "\"port\" must be a device path or tcp://HOST:PORT");
    system.port = port.asString();
    if (!is_tcp_port(system.port)) return;
    const auto colon = system.port.rfind(':');
    const std::string number = system.port.substr(colon + 1);
    const bool numeric = !number.empty() && number.size() <= 5 && number.find_first_not_of("0123456789") == std::string::npos;
    if (colon < 7 || !numeric || std::stoul(number) == 0 || std::stoul(number) > 65535)
        fail(where, "\"port\" " + system.port + " must be tcp://HOST:PORT with a port from 1 to 65535");
}

void read_line_format(const Json::Value& object, SystemConfig& system, const std::string& where) {
    const Json::Value& parity = object["parity"];
    if (!parity.isNull()) {
        const std::string text = parity.isString() ? parity.asString() : std::string();
        if (text == "none") {
            system.format.parity = Parity::None;
        } else if (text == "even") {
            system.format.parity = Parity::Even;
        } else if (text == "odd") {
            system.format.parity = Parity::Odd;
        } else {
            fail(where, "\"parity\" must be \"none\", \"even\" or \"odd\"");
        }
    }
    const Json::Value& stopBits = object["stop_bits"];
    if (!stopBits.isNull()) {
        if (!stopBits.isIntegral() || (stopBits.asInt64() != 1 && stopBits.asInt64() != 2))
            fail(where, "\"stop_bits\" must be 1 or 2");
        system.format.stopBits = stopBits.asInt();
    }
}

void read_echo(const Json::Value& echo, SystemConfig& system, const std::string& where) {
    if (echo.isNull()) return;
    if (echo.isBool()) {
        system.echo = echo.asBool() ? EchoMode::Required : EchoMode::Off;
    } else if (!echo.isString() || echo.asString() != "auto") {
        fail(where, "\"echo\" must be \"auto\", true or false");
    }
}

Json::Value read_simulator(const Json::Value& value, const std::string& folder, const std::string& where) {
    if (value.isNull() || value.isObject()) return value;
    if (value.isString()) return read_json_file(resolve_path(folder, value.asString()));
    fail(where, "\"simulator\" must be an object or the name of a JSON file");
}

SystemConfig parse_system(const Json::Value& object, const std::string& folder, const std::string& where) {
    if (!object.isObject()) fail(where, "a power system must be a JSON object");
    SystemConfig system;
    system.settings = object;
    system.dataId = read_data_id(object["data_id"], where);
    const std::string named = where + " (data id " + std::to_string(system.dataId) + ")";
    read_port(object["port"], system, named);
    read_line_format(object, system, named);
    read_echo(object["echo"], system, named);
    const Json::Value& baud = object["baud"];
    if (!baud.isNull()) {
        if (!baud.isIntegral() || !supported_baud(baud.asInt()))
            fail(named, "\"baud\" must be one of 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400");
        system.baud = baud.asInt();
    }
    const Json::Value& version = object["protocol_version"];
    if (!version.isNull() && (!version.isIntegral() || version.asInt64() < 0 || version.asInt64() > 255))
        fail(named, "\"protocol_version\" must be a number from 0 to 255 (32 for 0x20, 33 for 0x21)");
    const Json::Value& address = object["address"];
    if (!address.isNull() && (!address.isIntegral() || address.asInt64() < 0 || address.asInt64() > 255))
        fail(named, "\"address\" must be a number from 0 to 255");
    system.pollInterval = read_seconds(object, "poll_interval", 0, named);
    system.minRoundGap = read_seconds(object, "min_round_gap", 2, named);
    if (system.minRoundGap > 0 && system.minRoundGap < 2)
        fail(named, "\"min_round_gap\" must be 0 or at least 2: the device itself waits 2 s after a round");
    const Json::Value& trust = object["trust_dataflag"];
    if (!trust.isNull() && !trust.isBool()) fail(named, "\"trust_dataflag\" must be true or false");
    system.trustDataflag = trust.asBool();
    const Json::Value& timeout = object["reply_timeout_ms"];
    if (!timeout.isNull()) {
        if (!timeout.isIntegral() || timeout.asInt64() < 10 || timeout.asInt64() > 60000)
            fail(named, "\"reply_timeout_ms\" must be a whole number from 10 to 60000");
        system.replyTimeout = std::chrono::milliseconds(timeout.asInt64());
    }
    const Json::Value& settle = object["settle_ms"];
    if (!settle.isNull()) {
        if (!settle.isIntegral() || settle.asInt64() < 0 || settle.asInt64() > 60000)
            fail(named, "\"settle_ms\" must be a whole number from 0 to 60000");
        system.settle = std::chrono::milliseconds(settle.asInt64());
    }
    system.giveUp = read_seconds(object, "give_up_s", 60, named);
    system.simulator = read_simulator(object["simulator"], folder, named);
    return system;
}

}  // namespace

void check_port(const std::string& port) {
    SystemConfig system;
    read_port(Json::Value(port), system, "--port");
}

std::string folder_of(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string resolve_path(const std::string& folder, const std::string& name) {
    if (folder.empty() || name.empty() || name.front() == '/') return name;
    return folder + (folder.back() == '/' ? "" : "/") + name;
}

Json::Value read_json_file(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error(path + ": cannot be read");
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    Json::Value root;
    std::string errors;
    if (!Json::parseFromStream(builder, in, &root, &errors)) throw std::runtime_error(path + ": " + errors);
    return root;
}

SiteConfig parse_site(const Json::Value& root, const std::string& folder) {
    if (!root.isObject()) throw std::runtime_error("site: must be a JSON object");
    SiteConfig site;
    const Json::Value& db = root["db"];
    if (!db.isNull() && !db.isString()) throw std::runtime_error("site: \"db\" must be a file name");
    site.db = resolve_path(folder, db.asString());
    const Json::Value& keepDays = root["history_keep_days"];
    if (!keepDays.isNull()) {
        if (!keepDays.isUInt() || keepDays.asUInt() > 36500)
            throw std::runtime_error("site: \"history_keep_days\" must be a whole number of days from 0 to 36500 "
                                     "(0 keeps all history)");
        site.historyKeepDays = keepDays.asUInt();
    }
    const Json::Value& systems = root["systems"];
    if (systems.isNull()) {
        site.systems.push_back(parse_system(root, folder, "site"));
    } else {
        if (!systems.isArray() || systems.empty())
            throw std::runtime_error("site: \"systems\" must be a non-empty array of power systems");
        for (Json::ArrayIndex i = 0; i < systems.size(); ++i)
            site.systems.push_back(parse_system(systems[i], folder, "systems[" + std::to_string(i) + "]"));
    }
    check_unique_ids(site);
    return site;
}

SiteConfig load_site_file(const std::string& path) {
    return parse_site(read_json_file(path), folder_of(path));
}

}  // namespace site

#include "site/config/site_keys.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <type_traits>

#include "cmdline/unknown_name.h"
#include "line/serial.h"
#include "site/config/usage_error.h"

namespace site {
namespace {

const char kDash[] = "\u2013";
// A power system counts its AC and DC units in one byte.
constexpr Json::ArrayIndex kMostUnits = 255;
// More power systems than one host could poll in a round.
constexpr Json::ArrayIndex kManyObjects = 10000;

[[noreturn]] void refuse(const std::string& at, const std::string& what) { throw SiteKeyError{at, what}; }

std::string member_path(const std::string& at, const std::string& name) { return at.empty() ? name : at + "." + name; }

std::string number_text(double value) {
    const auto whole = static_cast<long long>(value);
    return static_cast<double>(whole) == value ? std::to_string(whole) : std::to_string(value);
}

ValueCheck integer(double low, double high) {
    return [low, high](const Json::Value& value, const std::string& at) {
        if (!value.isIntegral() || value.asDouble() < low || value.asDouble() > high)
            refuse(at, "must be an integer " + number_text(low) + kDash + number_text(high));
    };
}

ValueCheck number(double low, double high) {
    return [low, high](const Json::Value& value, const std::string& at) {
        if (!value.isNumeric() || value.asDouble() < low || value.asDouble() > high)
            refuse(at, "must be a number " + number_text(low) + kDash + number_text(high));
    };
}

ValueCheck one_of(std::vector<int> allowed, std::string words) {
    return [allowed = std::move(allowed), words = std::move(words)](const Json::Value& value, const std::string& at) {
        if (!value.isIntegral() || std::find(allowed.begin(), allowed.end(), value.asDouble()) == allowed.end())
            refuse(at, "must be " + words);
    };
}

void boolean(const Json::Value& value, const std::string& at) {
    if (!value.isBool()) refuse(at, "must be true or false");
}

void text(const Json::Value& value, const std::string& at) {
    if (!value.isString()) refuse(at, "must be a text");
}

void baud(const Json::Value& value, const std::string& at) {
    if (!value.isIntegral() || value.asDouble() > 1e7 || !line::supported_baud(value.asInt()))
        refuse(at, "must be one of 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400");
}

// The device reads these as text, so a number and a text holding one both do.
void amount(const Json::Value& value, const std::string& at) {
    if (value.isNumeric() && value.asDouble() >= 0) return;
    if (value.isString()) {
        try {
            std::size_t used = 0;
            if (std::stod(value.asString(), &used) >= 0 && used == value.asString().size()) return;
        } catch (const std::exception&) {
        }
    }
    refuse(at, "must be a number 0 or more (or a text holding one)");
}

// A device path, or a serial device server as tcp://HOST:PORT.
void port(const Json::Value& value, const std::string& at) {
    text(value, at);
    const std::string port = value.asString();
    if (!line::is_tcp_port(port)) return;
    const auto colon = port.rfind(':');
    const std::string number = port.substr(colon + 1);
    const bool numeric =
        !number.empty() && number.size() <= 5 && number.find_first_not_of("0123456789") == std::string::npos;
    if (colon < 7 || !numeric || std::stoul(number) == 0 || std::stoul(number) > 65535)
        refuse(at, port + " must be tcp://HOST:PORT with a port from 1 to 65535");
}

ValueCheck word_of(std::vector<std::string> allowed, std::string words) {
    return [allowed = std::move(allowed), words = std::move(words)](const Json::Value& value, const std::string& at) {
        if (!value.isString() || std::find(allowed.begin(), allowed.end(), value.asString()) == allowed.end())
            refuse(at, "must be " + words);
    };
}

void echo(const Json::Value& value, const std::string& at) {
    if (!value.isBool() && value != "auto") refuse(at, "must be \"auto\", true or false");
}

void nonempty_text(const Json::Value& value, const std::string& at) {
    if (!value.isString() || value.asString().empty()) refuse(at, "must be a non-empty text");
}

// An MQTT topic level to put other levels under: no wildcards.
void topic_prefix(const Json::Value& value, const std::string& at) {
    nonempty_text(value, at);
    if (value.asString().find_first_of("+#") != std::string::npos) refuse(at, "must not hold the wildcards + or #");
}

// false turns Home Assistant discovery off.
void discovery_prefix(const Json::Value& value, const std::string& at) {
    if (value.isBool() && !value.asBool()) return;
    topic_prefix(value, at);
}

void object_or_file(const Json::Value& value, const std::string& at) {
    if (!value.isObject() && !value.isString()) refuse(at, "must be an object or the name of a JSON file");
}

// The device itself waits 2 s after a round: a shorter gap would only be waited for there.
void round_gap(const Json::Value& value, const std::string& at) {
    number(0, 86400)(value, at);
    if (value.asDouble() > 0 && value.asDouble() < 2)
        refuse(at, "must be 0 or at least 2: the device itself waits 2 s after a round");
}

void check_object(const Json::Value& value, const std::vector<SiteKey>& keys, const std::string& at);

ValueCheck object_of(const std::vector<SiteKey>* keys) {
    return [keys](const Json::Value& value, const std::string& at) { check_object(value, *keys, at); };
}

ValueCheck array_of(const std::vector<SiteKey>* keys, bool mayBeEmpty, Json::ArrayIndex most = kManyObjects) {
    return [keys, mayBeEmpty, most](const Json::Value& value, const std::string& at) {
        if (!value.isArray()) refuse(at, "must be an array of objects");
        if (!mayBeEmpty && value.empty()) refuse(at, "must hold at least one object");
        if (value.size() > most) refuse(at, "must hold at most " + std::to_string(most) + " objects");
        for (Json::ArrayIndex i = 0; i < value.size(); ++i)
            check_object(value[i], *keys, at + "[" + std::to_string(i) + "]");
    };
}

// ---- reading a checked value into its member ----

void read_object(const Json::Value& value, const std::vector<SiteKey>& keys, SiteReading& into, const std::string& at);

[[noreturn]] void refuse_reading(const SiteReading& into, const std::string& at, const std::string& what) {
    throw UsageError(into.source + ": " + at + ": " + what);
}

template <typename T>
T value_as(const Json::Value& value) {
    if constexpr (std::is_same_v<T, bool>) return value.asBool();
    if constexpr (std::is_same_v<T, int>) return value.asInt();
    if constexpr (std::is_same_v<T, unsigned>) return value.asUInt();
    if constexpr (std::is_same_v<T, std::size_t>) return static_cast<std::size_t>(value.asUInt64());
    if constexpr (std::is_same_v<T, double>) return value.asDouble();
    if constexpr (std::is_same_v<T, std::string>) return value.asString();
    if constexpr (std::is_same_v<T, std::chrono::milliseconds>) return std::chrono::milliseconds(value.asInt64());
}

// The configuration struct a key of each object level fills.
SiteConfig& owner(SiteReading& into, SiteConfig*) { return into.site; }
SystemConfig& owner(SiteReading& into, SystemConfig*) { return *into.system; }
MqttConfig& owner(SiteReading& into, MqttConfig*) { return into.site.mqtt; }

template <typename Class, typename T>
constexpr Class* owner_tag(T Class::*) {
    return nullptr;
}

// The plain keys: the value as the member's type.
template <auto Member>
void to_member(const Json::Value& value, SiteReading& into, const std::string&) {
    auto& member = owner(into, owner_tag(Member)).*Member;
    member = value_as<std::remove_reference_t<decltype(member)>>(value);
}

// A file the site file names, taken relative to the site file's folder.
template <auto Member>
void to_site_path(const Json::Value& value, SiteReading& into, const std::string&) {
    into.site.*Member = resolve_path(into.folder, value.asString());
}

void parity(const Json::Value& value, SiteReading& into, const std::string&) {
    into.system->format.parity = value == "even"  ? line::Parity::Even
                                 : value == "odd" ? line::Parity::Odd
                                                  : line::Parity::None;
}

void stop_bits(const Json::Value& value, SiteReading& into, const std::string&) {
    into.system->format.stopBits = value.asInt();
}

void echo_mode(const Json::Value& value, SiteReading& into, const std::string&) {
    if (value.isBool()) into.system->echo = value.asBool() ? EchoMode::Required : EchoMode::Off;
}

// An object, or the name of a JSON file holding it.
void simulator(const Json::Value& value, SiteReading& into, const std::string&) {
    if (!value.isString()) {
        into.system->simulator = value;
        return;
    }
    into.system->simulatorFile = resolve_path(into.folder, value.asString());
    into.system->simulator = read_json_file(into.system->simulatorFile);
}

// The first line of a file that holds a secret.
void password_file(const Json::Value& value, SiteReading& into, const std::string& at) {
    MqttConfig& mqtt = into.site.mqtt;
    mqtt.passwordFile = resolve_path(into.folder, value.asString());
    std::ifstream in(mqtt.passwordFile);
    if (!in) refuse_reading(into, at, mqtt.passwordFile + ": cannot be read: " + std::strerror(errno));
    if (!std::getline(in, mqtt.password)) refuse_reading(into, at, mqtt.passwordFile + ": empty");
    if (!mqtt.password.empty() && mqtt.password.back() == '\r') mqtt.password.pop_back();
}

// A file the run reads later (a TLS file), opened now so that a wrong one stops the start.
template <std::string MqttConfig::*Member>
void readable_file(const Json::Value& value, SiteReading& into, const std::string& at) {
    const std::string path = resolve_path(into.folder, value.asString());
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !std::ifstream(path))
        refuse_reading(into, at, path + ": cannot be read: " + std::strerror(errno));
    if (!S_ISREG(info.st_mode)) refuse_reading(into, at, path + ": not a regular file");
    into.site.mqtt.*Member = path;
}

// false turns Home Assistant discovery off.
void discovery(const Json::Value& value, SiteReading& into, const std::string&) {
    into.site.mqtt.discoveryPrefix = value.isBool() ? std::string() : value.asString();
}

template <const std::vector<SiteKey>* Keys>
void fields(const Json::Value& value, SiteReading& into, const std::string& at) {
    read_object(value, *Keys, into, at);
}

void mqtt(const Json::Value& value, SiteReading& into, const std::string& at);
void systems(const Json::Value& value, SiteReading& into, const std::string& at);

// ---- the known keys ----

const std::vector<SiteKey> kChangeLimitKeys = {
    {"diff_v", amount},
    {"diff_i", amount},
};

const std::vector<SiteKey> kUnitKeys = {
    {"data_id", integer(1, 4294967295.0), nullptr, true},
    {"appSetting", object_of(&kChangeLimitKeys)},
};

// "channels" and "modules": the counts commissioning found, which `discover --check` compares
// with the system's answers; the driver itself follows whatever counts the system reports.
const std::vector<SiteKey> kAcUnitKeys = {
    {"data_id", integer(1, 4294967295.0), nullptr, true},
    {"appSetting", object_of(&kChangeLimitKeys)},
    {"channels", integer(0, 255)},
};

const std::vector<SiteKey> kGroupKeys = {
    {"appSetting", object_of(&kChangeLimitKeys)},
    {"modules", integer(0, 255)},
};

const std::vector<SiteKey> kSystemKeys = {
    {"data_id", integer(1, 4294967295.0), to_member<&SystemConfig::dataId>, true},
    {"port", port, to_member<&SystemConfig::port>},
    {"baud", baud, to_member<&SystemConfig::baud>},
    {"address", integer(1, 254)},
    {"protocol_version", one_of({32, 33}, "32 (0x20) or 33 (0x21)")},
    {"acSetting", array_of(&kAcUnitKeys, true, kMostUnits)},
    {"dcSetting", array_of(&kUnitKeys, true, kMostUnits)},
    {"rcSetting", object_of(&kGroupKeys), nullptr, true},
    {"poll_interval", number(0, 86400), to_member<&SystemConfig::pollInterval>},
    {"min_round_gap", round_gap, to_member<&SystemConfig::minRoundGap>},
    {"trust_dataflag", boolean, to_member<&SystemConfig::trustDataflag>},
    {"reply_timeout_ms", integer(10, 60000), to_member<&SystemConfig::replyTimeout>},
    {"reply_timeout_adaptive", boolean, to_member<&SystemConfig::replyTimeoutAdaptive>},
    {"settle_ms", integer(0, 60000), to_member<&SystemConfig::settle>},
    {"echo", echo, echo_mode},
    {"parity", word_of({"none", "even", "odd"}, "\"none\", \"even\" or \"odd\""), parity},
    {"stop_bits", one_of({1, 2}, "1 or 2"), stop_bits},
    {"give_up_s", number(0, 86400), to_member<&SystemConfig::giveUp>},
    {"simulator", object_or_file, simulator},
};

const std::vector<SiteKey> kTlsKeys = {
    {"ca_file", nonempty_text, readable_file<&MqttConfig::caFile>, true},
    {"cert_file", nonempty_text, readable_file<&MqttConfig::certFile>},
    {"key_file", nonempty_text, readable_file<&MqttConfig::keyFile>},
};

const std::vector<SiteKey> kMqttKeys = {
    {"host", nonempty_text, to_member<&MqttConfig::host>, true},
    {"port", integer(1, 65535), to_member<&MqttConfig::port>},
    {"client_id", nonempty_text, to_member<&MqttConfig::clientId>},
    {"username", nonempty_text, to_member<&MqttConfig::username>},
    {"password", text, to_member<&MqttConfig::password>},
    {"password_file", nonempty_text, password_file},
    {"tls", object_of(&kTlsKeys), fields<&kTlsKeys>},
    {"topic_prefix", topic_prefix, to_member<&MqttConfig::topicPrefix>},
    {"discovery_prefix", discovery_prefix, discovery},
    {"qos", integer(0, 2), to_member<&MqttConfig::qos>},
    {"queue_limit", integer(1, 10000000), to_member<&MqttConfig::queueLimit>},
};

// Keys of the whole site, beside "systems" or beside the keys of its one power system.
const std::vector<SiteKey> kSiteKeys = {
    {"db", text, to_site_path<&SiteConfig::db>},
    {"history_keep_days", integer(0, 36500), to_member<&SiteConfig::historyKeepDays>},
    {"mqtt", object_of(&kMqttKeys), mqtt},
    {"metrics_file", nonempty_text, to_site_path<&SiteConfig::metricsFile>},
};

const std::vector<SiteKey> kSystemsList = {
    {"systems", array_of(&kSystemKeys, false), systems, true},
};

// What the key table cannot check alone: keys that go together.
void mqtt(const Json::Value& value, SiteReading& into, const std::string& at) {
    if (value.isMember("password") && value.isMember("password_file"))
        refuse_reading(into, at, "give \"password\" or \"password_file\", not both");
    if (value["tls"].isMember("cert_file") != value["tls"].isMember("key_file"))
        refuse_reading(into, at + ".tls", "\"cert_file\" and \"key_file\" go together");
    read_object(value, kMqttKeys, into, at);
    if (!into.site.mqtt.password.empty() && into.site.mqtt.username.empty())
        refuse_reading(into, at, "a password needs a \"username\"");
}

// The whole object goes to the device too, as its settings.
void read_system(const Json::Value& object, SiteReading& into, const std::string& at) {
    into.system = &into.site.systems.emplace_back();
    into.system->settings = object;
    read_object(object, kSystemKeys, into, at);
}

void systems(const Json::Value& value, SiteReading& into, const std::string& at) {
    for (Json::ArrayIndex i = 0; i < value.size(); ++i) read_system(value[i], into, at + "[" + std::to_string(i) + "]");
}

void read_object(const Json::Value& value, const std::vector<SiteKey>& keys, SiteReading& into, const std::string& at) {
    for (const SiteKey& key : keys)
        if (key.read != nullptr && value.isMember(key.name)) key.read(value[key.name], into, member_path(at, key.name));
}

std::vector<std::string> names_of(const std::vector<SiteKey>& keys) {
    std::vector<std::string> names;
    for (const SiteKey& key : keys) names.emplace_back(key.name);
    return names;
}

void check_object(const Json::Value& value, const std::vector<SiteKey>& keys, const std::string& at) {
    if (!value.isObject()) refuse(at, "must be an object");
    for (const std::string& name : value.getMemberNames()) {
        const auto key = std::find_if(keys.begin(), keys.end(), [&](const SiteKey& k) { return name == k.name; });
        if (key == keys.end()) refuse(at, cmdline::unknown_key_text(name, names_of(keys)));
        key->check(value[name], member_path(at, name));
    }
    for (const SiteKey& key : keys)
        if (key.required && !value.isMember(key.name)) refuse(member_path(at, key.name), "is missing");
}

}  // namespace

void check_port(const std::string& value) {
    try {
        port(Json::Value(value), "--port");
    } catch (const SiteKeyError& error) {
        throw UsageError(error.at + ": " + error.what);
    }
}

void read_site_keys(const Json::Value& root, const std::string& folder, const std::string& source, SiteConfig& site) {
    SiteReading into{site, nullptr, folder, source};
    read_object(root, kSiteKeys, into, "");
    if (root.isMember("systems"))
        read_object(root, kSystemsList, into, "");
    else
        read_system(root, into, "");
}

void check_site_keys(const Json::Value& root, const std::string& source) {
    try {
        if (!root.isObject()) refuse("", "must be a JSON object");
        std::vector<SiteKey> keys = kSiteKeys;
        const std::vector<SiteKey>& rest = root.isMember("systems") ? kSystemsList : kSystemKeys;
        keys.insert(keys.end(), rest.begin(), rest.end());
        check_object(root, keys, "");
    } catch (const SiteKeyError& error) {
        throw UsageError(source + ": " + (error.at.empty() ? "" : error.at + ": ") + error.what);
    }
}

}  // namespace site

#include "site/config/site_keys.h"

#include <algorithm>

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

// ---- the known keys ----

const std::vector<SiteKey> kChangeLimitKeys = {
    {"diff_v", amount},
    {"diff_i", amount},
};

const std::vector<SiteKey> kUnitKeys = {
    {"data_id", integer(1, 4294967295.0), true},
    {"appSetting", object_of(&kChangeLimitKeys)},
};

// "channels" and "modules": the counts commissioning found, which `discover --check` compares
// with the system's answers; the driver itself follows whatever counts the system reports.
const std::vector<SiteKey> kAcUnitKeys = {
    {"data_id", integer(1, 4294967295.0), true},
    {"appSetting", object_of(&kChangeLimitKeys)},
    {"channels", integer(0, 255)},
};

const std::vector<SiteKey> kGroupKeys = {
    {"appSetting", object_of(&kChangeLimitKeys)},
    {"modules", integer(0, 255)},
};

const std::vector<SiteKey> kSystemKeys = {
    {"data_id", integer(1, 4294967295.0), true},
    {"port", port},
    {"baud", baud},
    {"address", integer(1, 254)},
    {"protocol_version", one_of({32, 33}, "32 (0x20) or 33 (0x21)")},
    {"acSetting", array_of(&kAcUnitKeys, true, kMostUnits)},
    {"dcSetting", array_of(&kUnitKeys, true, kMostUnits)},
    {"rcSetting", object_of(&kGroupKeys), true},
    {"poll_interval", number(0, 86400)},
    {"min_round_gap", round_gap},
    {"trust_dataflag", boolean},
    {"reply_timeout_ms", integer(10, 60000)},
    {"reply_timeout_adaptive", boolean},
    {"settle_ms", integer(0, 60000)},
    {"echo", echo},
    {"parity", word_of({"none", "even", "odd"}, "\"none\", \"even\" or \"odd\"")},
    {"stop_bits", one_of({1, 2}, "1 or 2")},
    {"give_up_s", number(0, 86400)},
    {"simulator", object_or_file},
};

const std::vector<SiteKey> kTlsKeys = {
    {"ca_file", nonempty_text, true},
    {"cert_file", nonempty_text},
    {"key_file", nonempty_text},
};

const std::vector<SiteKey> kMqttKeys = {
    {"host", nonempty_text, true},
    {"port", integer(1, 65535)},
    {"client_id", nonempty_text},
    {"username", nonempty_text},
    {"password", text},
    {"password_file", nonempty_text},
    {"tls", object_of(&kTlsKeys)},
    {"topic_prefix", topic_prefix},
    {"discovery_prefix", discovery_prefix},
    {"qos", integer(0, 2)},
    {"queue_limit", integer(1, 10000000)},
};

// Keys of the whole site, beside "systems" or beside the keys of its one power system.
const std::vector<SiteKey> kSiteKeys = {
    {"db", text},
    {"history_keep_days", integer(0, 36500)},
    {"mqtt", object_of(&kMqttKeys)},
    {"metrics_file", nonempty_text},
};

const std::vector<SiteKey> kSystemsList = {
    {"systems", array_of(&kSystemKeys, false), true},
};

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

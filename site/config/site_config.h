#pragma once
#include <chrono>
#include <string>
#include <vector>

#include "host/json.h"
#include "line/serial.h"

namespace site {

// How the host treats a frame identical to the request it just sent (a two-wire RS-485
// adapter hears itself): skip it when it comes, insist on it, or take no notice.
enum class EchoMode { Auto, Required, Off };

// One power system of the site: its line, how the host polls it, and the settings the
// host hands the power system device (Init and InitSetting get the whole object).
struct SystemConfig {
    unsigned dataId = 0;
    std::string port;  // a device path or tcp://HOST:PORT; empty: the host starts its built-in simulator
    int baud = 9600;
    line::LineFormat format;
    EchoMode echo = EchoMode::Auto;
    // After a reply timeout, how long the line must stay quiet before the request is repeated:
    // an answer that comes late is dropped then, and never taken for the next request's.
    std::chrono::milliseconds settle{300};
    // With a round limit: seconds without a complete round after which the host gives up; 0: never.
    double giveUp = 60;
    // Seconds from the start of one round to the start of the next; 0 polls as often as allowed.
    double pollInterval = 0;
    // Seconds from the end of a round to the start of the next. The host stamps the device's
    // last update at every round end (the device itself then waits 2 s); 0 leaves the stamp
    // out, so rounds run back to back (for tests).
    double minRoundGap = 2;
    // Sets the device's data-valid flag after the first complete round, so that DATAFLAG
    // may spare status and alarm requests.
    bool trustDataflag = false;
    // The longest wait for an answer. Adaptive: each request kind is waited for as long as its
    // answers have taken (see line::AnswerTimer), from a quarter of this to twice this; a kind
    // not answered yet is waited for this long. Not adaptive: every request waits this long.
    std::chrono::milliseconds replyTimeout{1500};
    bool replyTimeoutAdaptive = true;
    Json::Value settings;
    // The built-in simulator's configuration: an object, or null for its defaults.
    Json::Value simulator;
    std::string simulatorFile;  // the file it was read from (resolved), or empty
};

// Where the host publishes every round over MQTT (the site file's "mqtt" object).
struct MqttConfig {
    std::string host;  // empty: no MQTT output
    int port = 1883;
    std::string clientId;  // empty: "sitehost-<host name>"
    std::string username;
    std::string password;                   // given, or read from "password_file"
    std::string passwordFile;               // that file (resolved), or empty
    std::string caFile, certFile, keyFile;  // "tls": {"ca_file", "cert_file", "key_file"}
    std::string topicPrefix = "ktr40e";
    std::string discoveryPrefix = "homeassistant";  // empty: no Home Assistant discovery
    int qos = 1;
    // Messages kept while the broker is away; the oldest go first.
    std::size_t queueLimit = 10000;
};

struct SiteConfig {
    std::vector<SystemConfig> systems;
    std::string db;  // history database named by the site file (resolved), or empty
    // Saved images and readings older than this many days are pruned; 0 keeps everything.
    unsigned historyKeepDays = 90;
    MqttConfig mqtt;
    std::string metricsFile;  // Prometheus text file rewritten after every round (resolved), or empty
};

// Reads a site: either one system object or {"systems": [...]}, every key checked against
// the known ones (site_keys.h). File names inside the site file are taken relative to
// `folder`. Throws UsageError naming `source` (the file) and the key path of what is wrong.
SiteConfig parse_site(const Json::Value& root, const std::string& folder, const std::string& source = "site");
SiteConfig load_site_file(const std::string& path);

// Whether two ports name one line: the same tcp://HOST:PORT, or one device by any spelling.
bool same_port(const std::string& a, const std::string& b);

// Reads a JSON file strictly (a regular file of at most 4 MiB, no comments, no number with a
// leading zero, no trailing garbage, no key given twice, nested at most 64 deep); throws
// UsageError naming the file and why.
Json::Value read_json_file(const std::string& path);

// `name` as seen from `folder` (unchanged when absolute or when folder is empty).
std::string resolve_path(const std::string& folder, const std::string& name);
std::string folder_of(const std::string& path);

}  // namespace site

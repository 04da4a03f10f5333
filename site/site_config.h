#pragma once
#include <chrono>
#include <string>
#include <vector>

#include "host/json.h"

namespace site {

// One power system of the site: its line, how the host polls it, and the settings the
// host hands the power system device (Init and InitSetting get the whole object).
struct SystemConfig {
    unsigned dataId = 0;
    std::string port;  // empty: no line configured (the host starts its built-in simulator)
    int baud = 9600;
    // Seconds from the start of one round to the start of the next; 0 polls as often as allowed.
    double pollInterval = 0;
    // Seconds from the end of a round to the start of the next. The host stamps the device's
    // last update at every round end (the device itself then waits 2 s); 0 leaves the stamp
    // out, so rounds run back to back (for tests).
    double minRoundGap = 2;
    // Sets the device's data-valid flag after the first complete round, so that DATAFLAG
    // may spare status and alarm requests.
    bool trustDataflag = false;
    std::chrono::milliseconds replyTimeout{1500};
    Json::Value settings;
    // The built-in simulator's configuration: an object, or null for its defaults.
    Json::Value simulator;
};

// Where the host publishes every round over MQTT (the site file's "mqtt" object).
struct MqttConfig {
    std::string host;  // empty: no MQTT output
    int port = 1883;
    std::string clientId;  // empty: "sitehost-<host name>"
    std::string username;
    std::string password;  // given, or read from "password_file"
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
    MqttConfig mqtt;
    std::string metricsFile;  // Prometheus text file rewritten after every round (resolved), or empty
};

// Reads a site: either one system object or {"systems": [...]}. File names inside the site
// file are taken relative to `folder`. Throws std::runtime_error naming what is wrong.
SiteConfig parse_site(const Json::Value& root, const std::string& folder);
SiteConfig load_site_file(const std::string& path);

// Reads a JSON file; throws std::runtime_error with the parser's message.
Json::Value read_json_file(const std::string& path);

// `name` as seen from `folder` (unchanged when absolute or when folder is empty).
std::string resolve_path(const std::string& folder, const std::string& name);
std::string folder_of(const std::string& path);

}  // namespace site

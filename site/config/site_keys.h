#pragma once
#include <functional>
#include <string>
#include <vector>

#include "host/json.h"
#include "site/config/site_config.h"

namespace site {

// Checks one value of the site file; `at` is its key path ("systems[0].acSetting[1].data_id").
// Throws SiteKeyError.
using ValueCheck = std::function<void(const Json::Value& value, const std::string& at)>;

struct SiteKeyError {
    std::string at;
    std::string what;
};

// Where the values of a checked site file go while it is read.
struct SiteReading {
    SiteConfig& site;
    SystemConfig* system;       // the power system whose object is being read
    const std::string& folder;  // file names in the site file are taken relative to this
    const std::string& source;  // the site file, for what reading refuses
};

// Fills the configuration member of one key from its checked value; `at` is its key path
// ("mqtt.password_file") for what reading can still refuse (a file it names that cannot be
// read). An absent key leaves the member at its initial value in site_config.h: the default.
using ValueRead = void (*)(const Json::Value& value, SiteReading& into, const std::string& at);

// One key the site file may hold: its check, and the member it fills (none for the keys only
// the device reads, from SystemConfig::settings). The tables of known keys are in
// site_keys.cpp: a new key is one line there.
struct SiteKey {
    const char* name;
    ValueCheck check;
    ValueRead read = nullptr;
    bool required = false;
};

// Checks the whole site file against the known keys: every value's type and range, every key
// known (an unknown one is refused with the nearest known key suggested), every required key
// there. Throws UsageError naming `source` and the key path:
//   site.json: systems[0].acSetting[1].data_id: must be an integer 1–4294967295
void check_site_keys(const Json::Value& root, const std::string& source);

// Reads a site file that check_site_keys() has passed into `site`, key by key through the same
// tables; throws UsageError naming `source` for a file it names that cannot be read.
void read_site_keys(const Json::Value& root, const std::string& folder, const std::string& source, SiteConfig& site);

// Checks a port named on the command line as the site file's are checked; throws UsageError
// naming what is wrong (a tcp:// port without HOST:PORT, say).
void check_port(const std::string& port);

}  // namespace site

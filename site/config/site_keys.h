#pragma once
#include <functional>
#include <string>
#include <vector>

#include "host/json.h"

namespace site {

// Checks one value of the site file; `at` is its key path ("systems[0].acSetting[1].data_id").
// Throws SiteKeyError.
using ValueCheck = std::function<void(const Json::Value& value, const std::string& at)>;

struct SiteKeyError {
    std::string at;
    std::string what;
};

// One key the site file may hold. The tables of known keys are in site_keys.cpp: a new key
// is one line there.
struct SiteKey {
    const char* name;
    ValueCheck check;
    bool required = false;
};

// Checks the whole site file against the known keys: every value's type and range, every key
// known (an unknown one is refused with the nearest known key suggested), every required key
// there. Throws UsageError naming `source` and the key path:
//   site.json: systems[0].acSetting[1].data_id: must be an integer 1–4294967295
void check_site_keys(const Json::Value& root, const std::string& source);

// Checks a port named on the command line as the site file's are checked; throws UsageError
// naming what is wrong (a tcp:// port without HOST:PORT, say).
void check_port(const std::string& port);

}  // namespace site

#pragma once
#include <cstdint>
#include <string>
#include <utility>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "host/json.h"
#include "host/ttime.h"

// Whole seconds from `since` to now (local time); negative when `since` lies ahead.
std::int64_t age_seconds(const boost::posix_time::ptime& since);

// Throws std::out_of_range "数据未就绪" before any valid data and "数据已超时" from 61 s of age on.
void ensure_fresh(bool dataValid, const boost::posix_time::ptime& lastUpdate);

// Reads "appSetting": {"diff_v", "diff_i"} of a unit's settings into the change limits.
// Numbers and numeric texts read alike (text that is no number gives 0); a missing key, or a
// value with no text form, keeps the limit as it was.
void read_change_limits(const Json::Value& setting, float& diffV, float& diffI);

// A text built once and never destroyed, for a function-local static: a host thread still
// inside a round when the process exits can go on using it.
inline const std::string& lasting_text(const char* text) { return *new std::string(text); }

// The host's time stamp of the current local time.
tele_c_time current_ttime();


// Whether the round now ending brought a unit's analog values. A round that did not keeps the
// unit's time stamp and data age, so values nobody renewed age out instead of looking new.
class RoundFreshness {
public:
    void mark_stale() { stale_ = true; }
    // For the round now ending; the next one counts as fresh until marked.
    bool take() { return !std::exchange(stale_, false); }

private:
    bool stale_ = false;
};

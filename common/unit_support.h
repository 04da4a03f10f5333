#pragma once
#include <cstdint>

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

// The host's time stamp of the current local time.
tele_c_time current_ttime();


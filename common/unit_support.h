#pragma once
#include <cstdint>
#include <string>
#include <utility>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "bytes/byte_reader.h"
#include "host/ttime.h"
#include "host/vrt_vdevice.h"

// Whole seconds from `since` to now (local time); negative when `since` lies ahead.
std::int64_t age_seconds(const boost::posix_time::ptime& since);

// Throws std::out_of_range "数据未就绪" before any valid data and "数据已超时" from 61 s of age on.
void ensure_fresh(bool dataValid, const boost::posix_time::ptime& lastUpdate);

// A portion that ends before the field being read: logs `format` with the unit's data id, the
// bytes the field needed and the portion's length, and refuses the portion (-1).
inline int refuse_overrun(const VRTVDevice& unit, const char* format, int needed, int len) {
    unit.InfoLog(format, unit.DataId(), needed, len);
    return -1;
}

// What a parser returns at its end: the bytes it used, or -1, logged as above, when items it
// skipped unread ran past the end of the portion.
inline int used_or_overrun(const VRTVDevice& unit, const char* format, const ByteReader& in, int len) {
    if (in.position() > len) return refuse_overrun(unit, format, in.position(), len);
    return in.position();
}

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

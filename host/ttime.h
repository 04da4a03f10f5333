#pragma once
#include <cstdint>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "host/api.h"

#pragma pack(push, 1)
// The host's 7-byte time stamp: year (little-endian), month, day, hour, minute, second.
struct tele_c_time {
    std::uint16_t year;
    std::uint8_t month;
    std::uint8_t day;
    std::uint8_t hour;
    std::uint8_t minute;
    std::uint8_t second;
};
#pragma pack(pop)
static_assert(sizeof(tele_c_time) == 7, "host time stamp is 7 bytes");

VRT_HOST_API tele_c_time get_ttime(boost::posix_time::ptime time);

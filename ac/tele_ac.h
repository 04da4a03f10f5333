#pragma once
#include <cstddef>
#include <cstdint>

#include "host/ttime.h"

#pragma pack(push, 1)
// Unit record of an AC distribution unit: the head of the published image, the device
// history image and the cache image. Little-endian; analog values are IEEE 754 floats kept
// byte for byte as the device sent them. Each capacity is also a static function of the same
// name (the template parameters cannot share those names with members).
template <std::uint8_t AIRLOCK_CAP, std::uint8_t P40_43_CAP>
struct tele_c_pmbuspower_ac {
    // The stored layout has no room for user-defined 40/43 bytes; a model that sends them
    // needs a layout of its own.
    static_assert(P40_43_CAP == 0, "the AC unit record keeps no user-defined 40/43 bytes");

    static constexpr std::uint8_t AIRLOCK_MAX() { return AIRLOCK_CAP; }
    static constexpr std::uint8_t P40_43_SIZE() { return P40_43_CAP; }

    std::uint32_t device_id;
    float ia;  // -0.1 when the device does not provide it
    float ib;
    float ic;
    std::uint8_t channel_count;  // channel records that follow in the history image
    std::uint8_t airlock_count;  // as received; may exceed AIRLOCK_MAX()
    std::uint8_t airlock[AIRLOCK_CAP];
    std::uint8_t p40_43;
    std::uint8_t ia_alert;  // 1 below the lower limit, 2 above the upper limit, 3 missing
    std::uint8_t ib_alert;
    std::uint8_t ic_alert;
    tele_c_time update_time;
};

// One AC input channel; follows the unit record in the history image.
template <std::uint8_t P40_41_CAP, std::uint8_t P40_44_CAP>
struct tele_c_pmbuspower_ac_channel {
    // The stored layout has no room for user-defined 40/41 values.
    static_assert(P40_41_CAP == 0, "the AC channel record keeps no user-defined 40/41 values");

    static constexpr std::uint8_t P40_41_SIZE() { return P40_41_CAP; }
    static constexpr std::uint8_t P40_44_SIZE() { return P40_44_CAP; }

    float a;  // line/phase voltage AB (or A); 0 when not provided
    float b;  // BC (or B)
    float c;  // CA (or C)
    float f;  // frequency
    std::uint8_t p40_41;
    std::uint8_t a_alert;  // 1 too low, 2 too high, 3 phase missing
    std::uint8_t b_alert;
    std::uint8_t c_alert;
    std::uint8_t f_alert;  // 1 too low, 2 too high
    std::uint8_t p40_44;   // as received
    std::uint8_t p40_44_value[P40_44_CAP];
};
#pragma pack(pop)

using tele_c_ktr40e_ac = tele_c_pmbuspower_ac<8, 0>;
using tele_c_ktr40e_ac_channel = tele_c_pmbuspower_ac_channel<0, 6>;

// Both records are a stored format: these offsets must never move.
static_assert(sizeof(tele_c_ktr40e_ac) == 37, "AC unit record is 37 bytes");
static_assert(offsetof(tele_c_ktr40e_ac, device_id) == 0, "device_id at 0");
static_assert(offsetof(tele_c_ktr40e_ac, ia) == 4, "ia at 4");
static_assert(offsetof(tele_c_ktr40e_ac, ib) == 8, "ib at 8");
static_assert(offsetof(tele_c_ktr40e_ac, ic) == 12, "ic at 12");
static_assert(offsetof(tele_c_ktr40e_ac, channel_count) == 16, "channel_count at 16");
static_assert(offsetof(tele_c_ktr40e_ac, airlock_count) == 17, "airlock_count at 17");
static_assert(offsetof(tele_c_ktr40e_ac, airlock) == 18, "airlock at 18");
static_assert(offsetof(tele_c_ktr40e_ac, p40_43) == 26, "p40_43 at 26");
static_assert(offsetof(tele_c_ktr40e_ac, ia_alert) == 27, "ia_alert at 27");
static_assert(offsetof(tele_c_ktr40e_ac, ib_alert) == 28, "ib_alert at 28");
static_assert(offsetof(tele_c_ktr40e_ac, ic_alert) == 29, "ic_alert at 29");
static_assert(offsetof(tele_c_ktr40e_ac, update_time) == 30, "update_time at 30");

static_assert(sizeof(tele_c_ktr40e_ac_channel) == 28, "AC channel record is 28 bytes");
static_assert(offsetof(tele_c_ktr40e_ac_channel, a) == 0, "a at 0");
static_assert(offsetof(tele_c_ktr40e_ac_channel, b) == 4, "b at 4");
static_assert(offsetof(tele_c_ktr40e_ac_channel, c) == 8, "c at 8");
static_assert(offsetof(tele_c_ktr40e_ac_channel, f) == 12, "f at 12");
static_assert(offsetof(tele_c_ktr40e_ac_channel, p40_41) == 16, "p40_41 at 16");
static_assert(offsetof(tele_c_ktr40e_ac_channel, a_alert) == 17, "a_alert at 17");
static_assert(offsetof(tele_c_ktr40e_ac_channel, b_alert) == 18, "b_alert at 18");
static_assert(offsetof(tele_c_ktr40e_ac_channel, c_alert) == 19, "c_alert at 19");
static_assert(offsetof(tele_c_ktr40e_ac_channel, f_alert) == 20, "f_alert at 20");
static_assert(offsetof(tele_c_ktr40e_ac_channel, p40_44) == 21, "p40_44 at 21");
static_assert(offsetof(tele_c_ktr40e_ac_channel, p40_44_value) == 22, "p40_44_value at 22");

#pragma once
#include <cstddef>
#include <cstdint>

#include "host/ttime.h"

#pragma pack(push, 1)
// Telemetry record of a DC distribution unit: the published image, the device history
// image and the cache image. Little-endian; analog values are IEEE 754 floats kept byte
// for byte as the device sent them. Each capacity is also a static function of the same
// name (the template parameters cannot share those names with members).
template <std::uint8_t M_CAP, std::uint8_t N_CAP, std::uint8_t P_CAP, std::uint8_t ALERT_M_CAP,
          std::uint8_t ALERT_P_CAP>
struct tele_c_pmbuspower_dc {
    static constexpr std::uint8_t M_SIZE() { return M_CAP; }
    static constexpr std::uint8_t N_SIZE() { return N_CAP; }
    static constexpr std::uint8_t P_SIZE() { return P_CAP; }
    static constexpr std::uint8_t ALERT_M_SIZE() { return ALERT_M_CAP; }
    static constexpr std::uint8_t ALERT_P_SIZE() { return ALERT_P_CAP; }

    std::uint32_t device_id;
    float voltage;
    float current;
    std::uint8_t dc_m;  // as received; may exceed M_SIZE()
    float m_value[M_CAP];
    std::uint8_t dc_n;  // as received; may exceed N_SIZE()
    float n_value[N_CAP];
    std::uint8_t p_count;  // as received; may exceed P_SIZE()
    float user_p[P_CAP];
    std::uint8_t voltage_state;  // 1 low, 2 high
    std::uint8_t alert_m_count;
    std::uint8_t alert_m[ALERT_M_CAP];  // 3 = fuse fault
    std::uint8_t alert_p_count;
    std::uint8_t alert_p[ALERT_P_CAP];
    tele_c_time update_time;
};
#pragma pack(pop)

using tele_c_ktr40e_dc = tele_c_pmbuspower_dc<4, 9, 8, 64, 17>;

// The record is a stored format: these offsets must never move.
static_assert(sizeof(tele_c_ktr40e_dc) == 190, "DC record is 190 bytes");
static_assert(offsetof(tele_c_ktr40e_dc, device_id) == 0, "device_id at 0");
static_assert(offsetof(tele_c_ktr40e_dc, voltage) == 4, "voltage at 4");
static_assert(offsetof(tele_c_ktr40e_dc, current) == 8, "current at 8");
static_assert(offsetof(tele_c_ktr40e_dc, dc_m) == 12, "dc_m at 12");
static_assert(offsetof(tele_c_ktr40e_dc, m_value) == 13, "m_value at 13");
static_assert(offsetof(tele_c_ktr40e_dc, dc_n) == 29, "dc_n at 29");
static_assert(offsetof(tele_c_ktr40e_dc, n_value) == 30, "n_value at 30");
static_assert(offsetof(tele_c_ktr40e_dc, p_count) == 66, "p_count at 66");
static_assert(offsetof(tele_c_ktr40e_dc, user_p) == 67, "user_p at 67");
static_assert(offsetof(tele_c_ktr40e_dc, voltage_state) == 99, "voltage_state at 99");
static_assert(offsetof(tele_c_ktr40e_dc, alert_m_count) == 100, "alert_m_count at 100");
static_assert(offsetof(tele_c_ktr40e_dc, alert_m) == 101, "alert_m at 101");
static_assert(offsetof(tele_c_ktr40e_dc, alert_p_count) == 165, "alert_p_count at 165");
static_assert(offsetof(tele_c_ktr40e_dc, alert_p) == 166, "alert_p at 166");
static_assert(offsetof(tele_c_ktr40e_dc, update_time) == 183, "update_time at 183");

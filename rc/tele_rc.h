#pragma once
#include <cstddef>
#include <cstdint>

#include "host/ttime.h"

// Capacities of a rectifier group record: the user-defined DC parameters kept from a
// 0x42/0x46 answer (their count and their bytes).
template <std::uint8_t P42_46_NUMBER_CAP, std::uint8_t P42_46_SIZE_CAP>
struct tele_c_pmbuspower_rc {
    static constexpr std::uint8_t P42_46_NUMBER() { return P42_46_NUMBER_CAP; }
    static constexpr std::uint8_t P42_46_SIZE() { return P42_46_SIZE_CAP; }
};

// Capacities of a rectifier module record: the user-defined items expected per module in
// the 0x41/0x41 (4-byte values), 0x41/0x43 and 0x41/0x44 (bytes) answers.
template <std::uint8_t P41_41_CAP, std::uint8_t P41_43_CAP, std::uint8_t P41_44_CAP>
struct tele_c_pmbuspower_rc_channel {
    static constexpr std::uint8_t P41_41_SIZE() { return P41_41_CAP; }
    static constexpr std::uint8_t P41_43_SIZE() { return P41_43_CAP; }
    static constexpr std::uint8_t P41_44_SIZE() { return P41_44_CAP; }
};

// The group and module records are the stored history format: packed, little-endian,
// floats kept byte for byte as the power system sent them.
#pragma pack(push, 1)

struct tele_c_ktr40e_rc : tele_c_pmbuspower_rc<3, 12> {
    std::uint32_t device_id;
    float ac_param[5];
    float dc_param[2];
    std::uint8_t p42_46;
    std::uint8_t p42_46_value[P42_46_SIZE()];
    float output_voltage;
    std::uint8_t module_count;
    tele_c_time update_time;
};

struct tele_c_ktr40e_rc_channel : tele_c_pmbuspower_rc_channel<1, 2, 1> {
    float output_current;
    std::uint8_t p41_41;
    float p41_41_value[P41_41_SIZE()];
    std::uint8_t status[3];
    std::uint8_t p41_43;
    std::uint8_t p41_43_value[P41_43_SIZE()];
    std::uint8_t fault;
    std::uint8_t p41_44;
    std::uint8_t p41_44_value[P41_44_SIZE()];
};

#pragma pack(pop)

static_assert(sizeof(tele_c_ktr40e_rc) == 57, "rectifier group record is 57 bytes");
static_assert(offsetof(tele_c_ktr40e_rc, device_id) == 0, "device_id");
static_assert(offsetof(tele_c_ktr40e_rc, ac_param) == 4, "ac_param");
static_assert(offsetof(tele_c_ktr40e_rc, dc_param) == 24, "dc_param");
static_assert(offsetof(tele_c_ktr40e_rc, p42_46) == 32, "p42_46");
static_assert(offsetof(tele_c_ktr40e_rc, p42_46_value) == 33, "p42_46_value");
static_assert(offsetof(tele_c_ktr40e_rc, output_voltage) == 45, "output_voltage");
static_assert(offsetof(tele_c_ktr40e_rc, module_count) == 49, "module_count");
static_assert(offsetof(tele_c_ktr40e_rc, update_time) == 50, "update_time");

static_assert(sizeof(tele_c_ktr40e_rc_channel) == 18, "rectifier module record is 18 bytes");
static_assert(offsetof(tele_c_ktr40e_rc_channel, output_current) == 0, "output_current");
static_assert(offsetof(tele_c_ktr40e_rc_channel, p41_41) == 4, "p41_41");
static_assert(offsetof(tele_c_ktr40e_rc_channel, p41_41_value) == 5, "p41_41_value");
static_assert(offsetof(tele_c_ktr40e_rc_channel, status) == 9, "status");
static_assert(offsetof(tele_c_ktr40e_rc_channel, p41_43) == 12, "p41_43");
static_assert(offsetof(tele_c_ktr40e_rc_channel, p41_43_value) == 13, "p41_43_value");
static_assert(offsetof(tele_c_ktr40e_rc_channel, fault) == 15, "fault");
static_assert(offsetof(tele_c_ktr40e_rc_channel, p41_44) == 16, "p41_44");
static_assert(offsetof(tele_c_ktr40e_rc_channel, p41_44_value) == 17, "p41_44_value");

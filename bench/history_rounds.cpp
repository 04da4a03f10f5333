#include "history_rounds.h"

#include <cstdint>
#include <cstring>

#include "bench_site.h"
#include "site/host/image_layouts.h"

namespace bench {
namespace {

using Bytes = std::vector<std::uint8_t>;

template <std::size_t N>
void put_u8(Bytes& image, std::size_t base, const site::FieldSpec (&fields)[N], const char* name, int value) {
    image[base + static_cast<std::size_t>(site::field_offset(fields, name))] = static_cast<std::uint8_t>(value);
}

// `count` floats from `name` on, each `value` plus a small wobble that differs by round.
template <std::size_t N>
void put_floats(Bytes& image, std::size_t base, const site::FieldSpec (&fields)[N], const char* name, int count,
                float value, std::size_t n) {
    for (int k = 0; k < count; ++k) {
        const float moved = value + static_cast<float>((n * 7 + static_cast<std::size_t>(k) * 3) % 11) / 10.0f;
        std::memcpy(image.data() + base + static_cast<std::size_t>(site::field_offset(fields, name)) + 4u * k, &moved,
                    4);
    }
}

site::UnitImage ac_unit(unsigned device, std::size_t n) {
    using namespace site;
    Bytes image(layout_size(kAcUnitFields) + kChannelsPerAcUnit * layout_size(kAcChannelFields), 0);
    put_floats(image, 0, kAcUnitFields, "ia", 3, 12.0f, n);
    put_u8(image, 0, kAcUnitFields, "channel_count", kChannelsPerAcUnit);
    put_u8(image, 0, kAcUnitFields, "airlock_count", 3);
    for (std::size_t c = 0; c < kChannelsPerAcUnit; ++c) {
        const std::size_t base = layout_size(kAcUnitFields) + c * layout_size(kAcChannelFields);
        put_floats(image, base, kAcChannelFields, "a", 3, 229.0f, n + c);
        put_floats(image, base, kAcChannelFields, "f", 1, 50.0f, n);
        put_u8(image, base, kAcChannelFields, "p40_44", 6);
    }
    return {device, kAcRecord, image};
}

site::UnitImage dc_unit(unsigned device, std::size_t n) {
    using namespace site;
    Bytes image(layout_size(kDcFields), 0);
    put_floats(image, 0, kDcFields, "voltage", 1, 53.5f, n);
    put_floats(image, 0, kDcFields, "current", 1, 41.0f, n);
    put_u8(image, 0, kDcFields, "dc_m", 2);
    put_floats(image, 0, kDcFields, "m_value", 2, 3.0f, n);
    put_u8(image, 0, kDcFields, "dc_n", 4);
    put_floats(image, 0, kDcFields, "n_value", 4, 9.0f, n);
    put_u8(image, 0, kDcFields, "alert_m_count", 8);
    put_u8(image, 0, kDcFields, "alert_p_count", 17);
    // A fuse alarm that comes and goes every 200 rounds (10 minutes at 3 s).
    image[static_cast<std::size_t>(field_offset(kDcFields, "alert_m"))] = n % 200 < 20 ? 1 : 0;
    return {device, kDcRecord, image};
}

site::UnitImage rectifier_group(unsigned device, std::size_t n) {
    using namespace site;
    Bytes image(layout_size(kRcGroupFields) + kModules * layout_size(kRcModuleFields), 0);
    put_floats(image, 0, kRcGroupFields, "ac_param", 5, 230.0f, n);
    put_floats(image, 0, kRcGroupFields, "dc_param", 2, 53.5f, n);
    put_u8(image, 0, kRcGroupFields, "p42_46", 3);
    put_floats(image, 0, kRcGroupFields, "output_voltage", 1, 53.5f, n);
    put_u8(image, 0, kRcGroupFields, "module_count", kModules);
    for (std::size_t m = 0; m < kModules; ++m) {
        const std::size_t base = layout_size(kRcGroupFields) + m * layout_size(kRcModuleFields);
        put_floats(image, base, kRcModuleFields, "output_current", 1, 7.0f, n + m);
        put_u8(image, base, kRcModuleFields, "p41_43", 2);
    }
    return {device, kRcRecord, image};
}

}  // namespace

std::vector<site::UnitImage> history_round(std::size_t n) {
    std::vector<site::UnitImage> images;
    for (unsigned i = 0; i < kAcUnits; ++i) images.push_back(ac_unit(11 + i, n));
    for (unsigned i = 0; i < kDcUnits; ++i) images.push_back(dc_unit(21 + i, n));
    images.push_back(rectifier_group(1, n));
    return images;
}

}  // namespace bench

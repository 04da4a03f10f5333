#include "tests/ac/ac_test_support.h"

Portion analog_portion(const std::vector<ChannelAnalog>& channels, const std::vector<std::uint8_t>& ia,
                       const std::vector<std::uint8_t>& ib, const std::vector<std::uint8_t>& ic) {
    Portion portion;
    portion.u8(static_cast<std::uint8_t>(channels.size()));
    for (const ChannelAnalog& channel : channels) {
        portion.append(channel.a).append(channel.b).append(channel.c).append(channel.f).u8(0);
    }
    return portion.append(ia).append(ib).append(ic);
}

Portion alarm_portion(const std::vector<ChannelAlarms>& channels, std::uint8_t ia, std::uint8_t ib, std::uint8_t ic) {
    Portion portion;
    portion.u8(static_cast<std::uint8_t>(channels.size()));
    for (const ChannelAlarms& channel : channels) {
        portion.u8(channel.a).u8(channel.b).u8(channel.c).u8(channel.f).u8(0).u8(6).append(channel.user);
    }
    return portion.u8(ia).u8(ib).u8(ic);
}

Portion two_channel_analog() {
    const std::vector<std::uint8_t> blanks(4, 0x20), ones(4, 0xFF), zeros(4, 0x00);
    return analog_portion({{float_bytes(220.5f), float_bytes(221.0f), float_bytes(219.75f), float_bytes(50.0f)},
                           {blanks, float_bytes(380.0f), zeros, float_bytes(49.9f)}},
                          float_bytes(12.5f), ones, zeros);
}

std::shared_ptr<ProbeAC> AcUnitTest::make_unit(const Json::Value& setting) {
    auto unit = std::make_shared<ProbeAC>();
    unit->Init(controller_, kDataId, Json::Value());
    EXPECT_TRUE(unit->InitV(nullptr, kDataId, setting));
    return unit;
}

int AcUnitTest::feed(ProbeAC& unit, Parse parse, const std::vector<std::uint8_t>& bytes, std::size_t len) {
    const std::unique_ptr<unsigned char[]> exact(new unsigned char[len]);
    if (len > 0) std::memcpy(exact.get(), bytes.data(), len);
    return (unit.*parse)(exact.get(), static_cast<int>(len));
}

int AcUnitTest::feed_quietly(ProbeAC& unit, const std::vector<std::uint8_t>& bytes, std::size_t len) {
    int result = 0;
    printed_by([&] { result = feed(unit, &ProbeAC::parse40_41, bytes, len); });
    return result;
}

void expect_query_error(const ProbeAC& unit, const std::string& name, const std::string& text) {
    try {
        const float value = unit.Get_Value(0, name);
        ADD_FAILURE() << "query \"" << name << "\" answered " << value << ", expected \"" << text << "\"";
    } catch (const std::out_of_range& error) {
        EXPECT_EQ(error.what(), text) << "query \"" << name << "\"";
    }
}

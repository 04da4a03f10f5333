#pragma once
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ac/ktr40e_ac.h"
#include "site/host/controller.h"
#include "site/host/events.h"
#include "tests/shared/stdout_capture.h"
#include "tests/shared/unit_probe.h"

using ProbeAC = UnitProbe<Ktr40eAC>;

// Raw bytes of a record, to compare stored values byte for byte.
template <class Record>
std::vector<std::uint8_t> raw(const Record& record, std::size_t offset, std::size_t size) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&record);
    return std::vector<std::uint8_t>(bytes + offset, bytes + offset + size);
}

inline std::vector<std::uint8_t> float_bytes(float value) {
    std::vector<std::uint8_t> bytes(4);
    std::memcpy(bytes.data(), &value, 4);
    return bytes;
}

// Builds one unit's portion of an answer.
class Portion {
public:
    Portion& u8(std::uint8_t value) {
        bytes_.push_back(value);
        return *this;
    }
    Portion& f32(float value) { return append(float_bytes(value)); }
    Portion& repeat(std::uint8_t value, std::size_t count) { return append(std::vector<std::uint8_t>(count, value)); }
    Portion& append(const std::vector<std::uint8_t>& more) {
        bytes_.insert(bytes_.end(), more.begin(), more.end());
        return *this;
    }
    const std::vector<std::uint8_t>& bytes() const { return bytes_; }
    int size() const { return static_cast<int>(bytes_.size()); }

private:
    std::vector<std::uint8_t> bytes_;
};

// A 40/41 portion: per channel a, b, c, f (raw 4 bytes each) and P = 0, then ia, ib, ic.
struct ChannelAnalog {
    std::vector<std::uint8_t> a, b, c, f;
};
Portion analog_portion(const std::vector<ChannelAnalog>& channels, const std::vector<std::uint8_t>& ia,
                       const std::vector<std::uint8_t>& ib, const std::vector<std::uint8_t>& ic);

// A 40/44 portion: per channel four states, m = 0, P = 6 and six bytes, then the three current states.
struct ChannelAlarms {
    std::uint8_t a = 0, b = 0, c = 0, f = 0;
    std::vector<std::uint8_t> user = std::vector<std::uint8_t>(6, 0);
};
Portion alarm_portion(const std::vector<ChannelAlarms>& channels, std::uint8_t ia, std::uint8_t ib, std::uint8_t ic);

// The two-channel 40/41 portion used across the suite (47 bytes):
// channel 0: 220.5, 221, 219.75, 50; channel 1: blanks (not provided), 380, zeros, 49.9;
// ia 12.5, ib FF FF FF FF (not provided), ic zeros.
Portion two_channel_analog();

// A unit attached to a recording controller whose work items run at once.
class AcUnitTest : public ::testing::Test {
protected:
    static constexpr unsigned kDataId = 4001;

    std::shared_ptr<ProbeAC> make_unit(const Json::Value& setting = Json::Value());
    std::vector<site::Event> events(site::EventKind kind) const { return recorder_->of(kind); }
    // Feeds a parser from an exactly sized heap copy, so a read past the end is caught under ASan.
    using Parse = int (ProbeAC::*)(const unsigned char*, int);
    static int feed(ProbeAC& unit, Parse parse, const std::vector<std::uint8_t>& bytes, std::size_t len);
    static int feed(ProbeAC& unit, Parse parse, const Portion& portion) {
        return feed(unit, parse, portion.bytes(), portion.bytes().size());
    }
    // Runs parse40_41 with the trace lines kept off the test output.
    static int feed_quietly(ProbeAC& unit, const std::vector<std::uint8_t>& bytes, std::size_t len);

    std::shared_ptr<site::Recorder> recorder_ = std::make_shared<site::Recorder>();
    std::shared_ptr<site::Controller> controller_ =
        std::make_shared<site::Controller>(recorder_, site::WorkMode::Inline);
};

// Asserts that the query throws std::out_of_range with exactly this text.
void expect_query_error(const ProbeAC& unit, const std::string& name, const std::string& text);

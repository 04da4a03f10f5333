#pragma once
// What the fuzz targets and the seed generator share: the input format, exactly sized copies,
// a host that watches what the units publish, and probes that open the units' records.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "ac/ktr40e_ac.h"
#include "dc/ktr40e_dc.h"
#include "rc/ktr40e_rc.h"
#include "site/host/controller.h"
#include "site/host/events.h"
#include "tests/shared/unit_probe.h"

// A broken invariant ends the run; libFuzzer keeps the input as a crash.
#define FUZZ_CHECK(condition)                                                                       \
    do {                                                                                            \
        if (!(condition)) {                                                                         \
            std::fprintf(stderr, "invariant broken: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            std::abort();                                                                           \
        }                                                                                           \
    } while (0)

namespace fuzz {

using Bytes = std::vector<std::uint8_t>;

// Reads an input front to back: single bytes, and chunks that carry a two-byte little-endian
// length before their bytes. What is missing at the end reads as zeros or a shorter chunk.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return at_ == size_; }
    std::uint8_t byte();
    Bytes chunk();
    Bytes rest();

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// Writes inputs in the format Input reads (the seed generator).
class InputWriter {
public:
    InputWriter& byte(std::uint8_t value);
    InputWriter& chunk(const Bytes& bytes);
    InputWriter& raw(const Bytes& bytes);
    const Bytes& bytes() const { return bytes_; }

private:
    Bytes bytes_;
};

// A copy in a heap block of exactly its size: a read one byte past it is an ASan report.
// With negativeLength the unit is handed -(size + 1) over an empty block: it may read nothing.
class ExactCopy {
public:
    explicit ExactCopy(const Bytes& bytes, bool negativeLength = false);
    const unsigned char* data() const { return block_.get(); }
    int length() const { return length_; }

private:
    std::unique_ptr<unsigned char[]> block_;
    int length_;
};

// Whether an image published under `record` has the size its own count byte implies.
bool image_consistent(int record, const Bytes& image);

// The bytes of the 7-byte update_time set to zero; everything else as it is.
Bytes without_time(Bytes image, std::size_t timeAt);

// Sees what the devices hand the stand-in host: every image they publish must have a consistent
// size, and every history they save must be the image they published last.
class HostWatch : public site::Observer {
public:
    void on_event(const site::Event& event) override;

    std::size_t published() const { return published_; }

private:
    std::size_t published_ = 0;
    Bytes lastImage_;
    int lastRecord_ = 0;
};

// A host for a unit on its own, without the stand-in's alarm book: alarm reports and log lines
// go nowhere and round work runs at once, so a round of 255 channels costs a few milliseconds
// instead of tens. The probes below see what the unit publishes.
class QuietController : public VRTController {};

struct UnitHost {
    std::shared_ptr<VRTController> controller = std::make_shared<QuietController>();

    template <class Unit>
    std::shared_ptr<Unit> attach(unsigned dataId) {
        auto unit = std::make_shared<Unit>();
        unit->Init(controller, dataId, Json::Value());
        unit->InitV(nullptr, dataId, Json::Value());
        return unit;
    }
};

// Keeps the image a unit publishes last.
template <class Unit>
class Publishing : public Unit {
public:
    void SendSP(int record, const unsigned char* image, unsigned int len, bool immediate) override {
        ++published_;
        lastRecord_ = record;
        lastImage_.assign(image, image + len);
        Unit::SendSP(record, image, len, immediate);
    }

    std::size_t published() const { return published_; }
    int last_record() const { return lastRecord_; }
    const Bytes& last_image() const { return lastImage_; }

private:
    std::size_t published_ = 0;
    int lastRecord_ = 0;
    Bytes lastImage_;
};

// Each probe opens a unit kind's records as the image RoundDone must publish: the unit record
// followed by the channel (module) records.
class ProbeAC : public Publishing<UnitProbe<Ktr40eAC>> {
public:
    static constexpr int kRecord = 5153;
    static constexpr std::size_t kTimeAt = 30;
    bool counts_agree() const { return items().size() == record().channel_count; }
};

class ProbeDC : public Publishing<UnitProbe<Ktr40eDC>> {
public:
    static constexpr int kRecord = 5154;
    static constexpr std::size_t kTimeAt = 183;
    bool counts_agree() const { return true; }
};

class ProbeRC : public Publishing<UnitProbe<Ktr40eRC>> {
public:
    static constexpr int kRecord = 5155;
    static constexpr std::size_t kTimeAt = 50;
    bool counts_agree() const { return items().size() == record().module_count; }
};

// Rounds are costly with many channels (every channel reports all its alarms): an input asks
// for at most this many; the parse targets add one at its end.
constexpr int kRoundsAsked = 2;

// Completes a round and checks what it published: the unit's own records, under the unit's
// record id, of the size its count byte implies. Returns the image.
template <class Probe>
Bytes complete_round(Probe& unit) {
    const std::size_t published = unit.published();
    unit.RoundDone();
    FUZZ_CHECK(unit.published() == published + 1);
    FUZZ_CHECK(unit.last_record() == Probe::kRecord);
    FUZZ_CHECK(image_consistent(unit.last_record(), unit.last_image()));
    FUZZ_CHECK(unit.last_image() == unit.records());
    return unit.last_image();
}

}  // namespace fuzz

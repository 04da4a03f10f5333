#include "fuzz/fuzz_support.h"

#include <algorithm>

namespace fuzz {

std::uint8_t Input::byte() { return empty() ? 0 : data_[at_++]; }

Bytes Input::chunk() {
    const std::size_t wanted = byte() | static_cast<std::size_t>(byte()) << 8;
    const std::size_t taken = std::min(wanted, size_ - at_);
    Bytes out(data_ + at_, data_ + at_ + taken);
    at_ += taken;
    return out;
}

Bytes Input::rest() {
    Bytes out(data_ + at_, data_ + size_);
    at_ = size_;
    return out;
}

InputWriter& InputWriter::byte(std::uint8_t value) {
    bytes_.push_back(value);
    return *this;
}

InputWriter& InputWriter::chunk(const Bytes& bytes) {
    byte(static_cast<std::uint8_t>(bytes.size() & 0xFF));
    byte(static_cast<std::uint8_t>(bytes.size() >> 8));
    return raw(bytes);
}

InputWriter& InputWriter::raw(const Bytes& bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return *this;
}

ExactCopy::ExactCopy(const Bytes& bytes, bool negativeLength)
    : block_(new unsigned char[negativeLength ? 0 : bytes.size()]),
      length_(negativeLength ? -static_cast<int>(bytes.size()) - 1 : static_cast<int>(bytes.size())) {
    if (!negativeLength && !bytes.empty()) std::memcpy(block_.get(), bytes.data(), bytes.size());
}

namespace {

// Record and channel sizes of each published image, and where its count byte lies.
struct ImageLayout {
    int record;
    std::size_t head;
    std::size_t channel;
    std::size_t countAt;  // 0: fixed size, no channels
};

constexpr ImageLayout kLayouts[] = {
    {ProbeAC::kRecord, sizeof(tele_c_ktr40e_ac), sizeof(tele_c_ktr40e_ac_channel), 16},
    {ProbeDC::kRecord, sizeof(tele_c_ktr40e_dc), 0, 0},
    {ProbeRC::kRecord, sizeof(tele_c_ktr40e_rc), sizeof(tele_c_ktr40e_rc_channel), 49},
};

}  // namespace

bool image_consistent(int record, const Bytes& image) {
    for (const ImageLayout& layout : kLayouts) {
        if (layout.record != record) continue;
        if (layout.channel == 0) return image.size() == layout.head;
        return image.size() >= layout.head && image.size() == layout.head + layout.channel * image[layout.countAt];
    }
    return false;
}

Bytes without_time(Bytes image, std::size_t timeAt) {
    if (image.size() >= timeAt + sizeof(tele_c_time)) {
        std::fill(image.begin() + static_cast<long>(timeAt),
                  image.begin() + static_cast<long>(timeAt + sizeof(tele_c_time)), 0);
    }
    return image;
}

void HostWatch::on_event(const site::Event& event) {
    if (event.kind == site::EventKind::Publish) {
        FUZZ_CHECK(image_consistent(event.record, event.bytes));
        ++published_;
        lastImage_ = event.bytes;
        lastRecord_ = event.record;
    } else if (event.kind == site::EventKind::History) {
        FUZZ_CHECK(event.record == lastRecord_ && event.bytes == lastImage_);
    }
}

}  // namespace fuzz

// The units print trace lines on standard output; a run of millions of inputs keeps them off
// the terminal (libFuzzer reports on standard error).
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    return 0;
}

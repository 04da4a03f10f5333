#include "line/frame.h"

#include <algorithm>
#include <stdexcept>

namespace line {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
// Where the LENGTH field starts among a frame's characters after SOI.
constexpr std::size_t kLengthAt = 8;

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool hex_byte(std::string_view text, std::size_t at, std::uint8_t& out) {
    const int high = hex_value(text[at]);
    const int low = hex_value(text[at + 1]);
    if (high < 0 || low < 0) return false;
    out = static_cast<std::uint8_t>(high << 4 | low);
    return true;
}

// An INFO byte: two hex digits, or two blanks for a value the device does not provide.
bool info_byte(std::string_view text, std::size_t at, std::uint8_t& out) {
    if (text[at] == ' ' && text[at + 1] == ' ') {
        out = 0x20;
        return true;
    }
    return hex_byte(text, at, out);
}

void require_lenid_fits(std::size_t infoChars) {
    if (infoChars > kMaxInfoChars) throw std::length_error("INFO longer than LENID can tell");
}

void append_hex16(std::string& out, std::uint16_t value) {
    append_hex(out, static_cast<std::uint8_t>(value >> 8));
    append_hex(out, static_cast<std::uint8_t>(value & 0xFF));
}

}  // namespace

const char* to_string(FrameError error) {
    switch (error) {
        case FrameError::None: return "no error";
        case FrameError::MissingSoi: return "EOI without SOI";
        case FrameError::Interrupted: return "SOI before EOI";
        case FrameError::TooShort: return "frame too short";
        case FrameError::Overlong: return "frame too long";
        case FrameError::BadCharacter: return "character not upper-case hex";
        case FrameError::BadLengthChecksum: return "LCHKSUM error";
        case FrameError::LengthMismatch: return "LENID does not match INFO";
        case FrameError::BadChecksum: return "CHKSUM error";
    }
    return "unknown frame error";
}

std::uint8_t length_checksum(std::uint16_t lenid) {
    const unsigned sum = (lenid >> 8 & 0xFu) + (lenid >> 4 & 0xFu) + (lenid & 0xFu);
    return static_cast<std::uint8_t>((0u - sum) & 0xFu);
}

std::uint16_t length_field(std::uint16_t lenid) {
    const auto id = static_cast<std::uint16_t>(lenid & 0x0FFF);
    return static_cast<std::uint16_t>(length_checksum(id) << 12 | id);
}

namespace {

// The LENID of the LENGTH field at `at` (hex characters), or -1 when they are no hex or the
// field's checksum nibble is wrong.
int checked_lenid(std::string_view text, std::size_t at) {
    std::uint8_t high = 0;
    std::uint8_t low = 0;
    if (!hex_byte(text, at, high) || !hex_byte(text, at + 2, low)) return -1;
    const auto field = static_cast<std::uint16_t>(high << 8 | low);
    const auto lenid = static_cast<std::uint16_t>(field & 0x0FFF);
    return field >> 12 == length_checksum(lenid) ? lenid : -1;
}

}  // namespace

std::uint16_t frame_checksum(std::string_view chars) {
    unsigned sum = 0;
    for (const char c : chars) sum += static_cast<unsigned char>(c);
    return static_cast<std::uint16_t>((0u - sum) & 0xFFFFu);
}

void append_hex(std::string& out, std::uint8_t byte) {
    out += kHexDigits[byte >> 4];
    out += kHexDigits[byte & 0x0F];
}

std::string printable(std::string_view bytes) {
    std::string out;
    for (const char c : bytes) {
        const auto byte = static_cast<std::uint8_t>(c);
        if (byte >= 0x20 && byte < 0x7F) {
            out += c;
        } else {
            out += "\\x";
            append_hex(out, byte);
        }
    }
    return out;
}

void encode_frame_text(const FrameHeader& header, std::string_view infoText, std::string& out) {
    require_lenid_fits(infoText.size());
    out.clear();
    out.reserve(kHeaderChars + infoText.size() + kChecksumChars + 2);
    out += kSoi;
    append_hex(out, header.ver);
    append_hex(out, header.adr);
    append_hex(out, header.cid1);
    append_hex(out, header.code);
    append_hex16(out, length_field(static_cast<std::uint16_t>(infoText.size())));
    out += infoText;
    append_hex16(out, frame_checksum(std::string_view(out).substr(1)));
    out += kEoi;
}

void encode_frame(const FrameHeader& header, const std::uint8_t* info, std::size_t size, std::string& out) {
    require_lenid_fits(size * 2);
    std::string text;
    text.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) append_hex(text, info[i]);
    encode_frame_text(header, text, out);
}

std::string encode(const Frame& frame) {
    std::string out;
    encode_frame(frame.header, frame.info.data(), frame.info.size(), out);
    return out;
}

std::string encode(const Request& request) {
    return encode(Frame{{request.ver, request.adr, request.cid1, request.cid2}, request.info});
}

std::string encode(const Answer& answer) {
    return encode(Frame{{answer.ver, answer.adr, answer.cid1, answer.rtn}, answer.info});
}

Answer to_answer(const Frame& frame) {
    const FrameHeader& h = frame.header;
    return Answer{h.ver, h.adr, h.cid1, h.code, frame.info};
}

FrameDecoder::FrameDecoder(std::size_t maxInfoBytes)
    : chars_(kHeaderChars + kChecksumChars + 2 * std::min(maxInfoBytes, kMaxInfoBytes)) {
    result_.frame.info.reserve(std::min(maxInfoBytes, kMaxInfoBytes));
}

std::size_t FrameDecoder::feed(const std::uint8_t* data, std::size_t size) {
    ready_ = false;
    for (std::size_t i = 0; i < size; ++i) {
        if (step(data[i])) return i + 1;
    }
    return size;
}

void FrameDecoder::reset() {
    state_ = State::Hunting;
    length_ = 0;
    noiseRun_ = 0;
    ready_ = false;
}

std::size_t FrameDecoder::awaited() const {
    if (state_ != State::InFrame || length_ < kHeaderChars) return 0;
    const int lenid = checked_lenid(std::string_view(chars_.data(), length_), kLengthAt);
    if (lenid < 0) return 0;
    const std::size_t whole = kHeaderChars + static_cast<std::size_t>(lenid) + kChecksumChars + 1;  // and EOI
    return whole > length_ ? whole - length_ : 1;
}

bool FrameDecoder::step(std::uint8_t byte) {
    const char c = static_cast<char>(byte);
    switch (state_) {
        case State::Hunting:
            if (c == kSoi) {
                start_frame();
                return false;
            }
            if (c == kEoi && noiseRun_ > 0) return reject(FrameError::MissingSoi);
            if (c != kEoi) ++noiseRun_;
            ++discarded_;
            return false;
        case State::InFrame:
            if (c == kSoi) {
                reject(FrameError::Interrupted);
                start_frame();
                return true;
            }
            if (c == kEoi) return finish_frame();
            if (length_ == chars_.size()) {
                state_ = State::Discarding;
                return reject(FrameError::Overlong);
            }
            chars_[length_++] = c;
            return false;
        case State::Discarding:
            if (c == kSoi) {
                start_frame();
            } else {
                if (c == kEoi) state_ = State::Hunting;
                ++discarded_;
            }
            return false;
    }
    return false;
}

void FrameDecoder::start_frame() {
    state_ = State::InFrame;
    length_ = 0;
    noiseRun_ = 0;
}

bool FrameDecoder::reject(FrameError error) {
    result_.error = error;
    result_.headerRead = false;
    result_.frame.info.clear();
    noiseRun_ = 0;
    ready_ = true;
    return true;
}

bool FrameDecoder::finish_frame() {
    state_ = State::Hunting;
    result_.headerRead = false;
    result_.frame.info.clear();
    result_.error = check_frame();
    if (!result_.ok()) result_.frame.info.clear();
    ready_ = true;
    return true;
}

FrameError FrameDecoder::check_frame() {
    if (length_ < kHeaderChars + kChecksumChars) return FrameError::TooShort;
    const std::string_view text(chars_.data(), length_);

    std::uint8_t head[6];
    for (std::size_t i = 0; i < 6; ++i) {
        if (!hex_byte(text, 2 * i, head[i])) return FrameError::BadCharacter;
    }
    result_.frame.header = FrameHeader{head[0], head[1], head[2], head[3]};
    result_.headerRead = true;

    const std::size_t checksumAt = length_ - kChecksumChars;
    std::uint8_t sumHigh = 0;
    std::uint8_t sumLow = 0;
    if (!hex_byte(text, checksumAt, sumHigh) || !hex_byte(text, checksumAt + 2, sumLow)) {
        return FrameError::BadCharacter;
    }

    const int lenid = checked_lenid(text, kLengthAt);
    if (lenid < 0) return FrameError::BadLengthChecksum;
    const std::size_t infoChars = checksumAt - kHeaderChars;
    if (static_cast<std::size_t>(lenid) != infoChars || lenid % 2 != 0) return FrameError::LengthMismatch;

    std::vector<std::uint8_t>& info = result_.frame.info;
    info.resize(infoChars / 2);
    for (std::size_t i = 0; i < info.size(); ++i) {
        if (!info_byte(text, kHeaderChars + 2 * i, info[i])) return FrameError::BadCharacter;
    }

    const auto checksum = static_cast<std::uint16_t>(sumHigh << 8 | sumLow);
    if (frame_checksum(text.substr(0, checksumAt)) != checksum) return FrameError::BadChecksum;
    return FrameError::None;
}

}  // namespace line

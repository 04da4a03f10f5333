#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "line/transport.h"

// YD/T 1363.3 framing: `~` VER ADR CID1 CID2 LENGTH INFO CHKSUM CR, every field between
// SOI and EOI in upper-case ASCII hex. In an answer the CID2 position carries RTN.
namespace line {

constexpr char kSoi = '~';
constexpr char kEoi = '\r';
// LENID has 12 bits; INFO holds two characters per byte.
constexpr std::size_t kMaxInfoChars = 0x0FFF;
constexpr std::size_t kMaxInfoBytes = kMaxInfoChars / 2;
// VER, ADR, CID1, CID2 and LENGTH, then CHKSUM.
constexpr std::size_t kHeaderChars = 12;
constexpr std::size_t kChecksumChars = 4;

struct FrameHeader {
    std::uint8_t ver = 0x20;
    std::uint8_t adr = 1;
    std::uint8_t cid1 = 0;
    std::uint8_t code = 0;  // CID2 in a request, RTN in an answer
};

struct Frame {
    FrameHeader header;
    std::vector<std::uint8_t> info;
};

// Why the decoder refused a frame.
enum class FrameError : std::uint8_t {
    None,
    MissingSoi,         // bytes ended by EOI without an SOI in front
    Interrupted,        // a new SOI before the EOI of the frame
    TooShort,           // fewer characters than header and CHKSUM need
    Overlong,           // more characters than the decoder keeps
    BadCharacter,       // not upper-case hex (nor a pair of blanks in INFO)
    BadLengthChecksum,  // LCHKSUM does not fit LENID
    LengthMismatch,     // LENID differs from the INFO's character count, or is odd
    BadChecksum,        // CHKSUM does not fit the characters
};

const char* to_string(FrameError error);

// LCHKSUM: the two's complement of the sum of LENID's three nibbles, modulo 16.
std::uint8_t length_checksum(std::uint16_t lenid);
// LCHKSUM in the top nibble, LENID in the low 12 bits.
std::uint16_t length_field(std::uint16_t lenid);
// The two's complement of the sum of the characters, modulo 65536.
std::uint16_t frame_checksum(std::string_view chars);

// Appends a byte as two upper-case hex digits.
void append_hex(std::string& out, std::uint8_t byte);

// Bytes of the line as people read them: printable ASCII as it is, anything else as \xNN.
std::string printable(std::string_view bytes);

// Writes a whole frame (SOI to EOI) into `out`, reusing its capacity. `infoText` is the INFO
// as it goes on the line: hex pairs, or blanks for values a device does not provide.
// Throws std::length_error when the INFO is longer than LENID can tell.
void encode_frame_text(const FrameHeader& header, std::string_view infoText, std::string& out);
void encode_frame(const FrameHeader& header, const std::uint8_t* info, std::size_t size, std::string& out);

std::string encode(const Frame& frame);
std::string encode(const Request& request);
std::string encode(const Answer& answer);

Answer to_answer(const Frame& frame);

// What the decoder made of one frame: a decoded frame or the reason it was refused.
struct DecodeResult {
    FrameError error = FrameError::None;
    // The header fields could be read (they may still be wrong when `error` is set).
    bool headerRead = false;
    Frame frame;

    bool ok() const { return error == FrameError::None; }
};

// Streaming decoder: takes bytes in chunks of any size, discards what lies outside a frame,
// resynchronises on every SOI and checks a frame only once its EOI has arrived. A pair of
// blanks in INFO decodes to the byte 0x20. It keeps one frame's characters in a buffer
// sized at construction and never allocates afterwards.
class FrameDecoder {
public:
    explicit FrameDecoder(std::size_t maxInfoBytes = kMaxInfoBytes);

    // Consumes bytes up to and including the one that completes a frame or a rejection, and
    // returns how many it consumed. When ready() is true afterwards, result() holds the outcome
    // until the next call.
    std::size_t feed(const std::uint8_t* data, std::size_t size);
    bool ready() const { return ready_; }
    const DecodeResult& result() const { return result_; }

    // Feeds all bytes and calls sink(const DecodeResult&) for each outcome.
    template <class Sink>
    void feed_all(const std::uint8_t* data, std::size_t size, Sink&& sink) {
        while (size > 0) {
            const std::size_t used = feed(data, size);
            data += used;
            size -= used;
            if (ready_) sink(result_);
        }
    }

    // Drops a partly received frame.
    void reset();
    // Characters still to come before the frame being received is complete, once its LENGTH
    // field has arrived and reads right; 0 when no frame is under way or its length is unknown.
    std::size_t awaited() const;
    // Bytes skipped outside frames (line noise) since construction.
    std::uint64_t discarded() const { return discarded_; }

private:
    enum class State { Hunting, InFrame, Discarding };

    bool step(std::uint8_t byte);
    void start_frame();
    bool reject(FrameError error);
    bool finish_frame();
    FrameError check_frame();

    std::vector<char> chars_;  // fixed capacity: header, INFO and CHKSUM of the longest frame
    std::size_t length_ = 0;
    State state_ = State::Hunting;
    std::size_t noiseRun_ = 0;
    std::uint64_t discarded_ = 0;
    bool ready_ = false;
    DecodeResult result_;
};

}  // namespace line

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "line/frame.h"
#include "line/line_support.h"

namespace {

using line::FrameError;
using line::bytes_of;
using line::decode_all;

struct Vector {
    const char* text;
    line::FrameHeader header;
    std::vector<std::uint8_t> info;
};

const std::vector<Vector>& vectors() {
    static const std::vector<Vector> all = {
        {"~20024642E00202FD33\r", {0x20, 0x02, 0x46, 0x42}, {0x02}},
        {"~20014043E00200FD3B\r", {0x20, 0x01, 0x40, 0x43}, {0x00}},
        {"~21012A500000FDA4\r", {0x21, 0x01, 0x2A, 0x50}, {}},
        {"~21012A000000FDA9\r", {0x21, 0x01, 0x2A, 0x00}, {}},
        {"~20024600B014026EF05AA0022BFDD5C0F915\r",
         {0x20, 0x02, 0x46, 0x00},
         {0x02, 0x6E, 0xF0, 0x5A, 0xA0, 0x02, 0x2B, 0xFD, 0xD5, 0xC0}},
    };
    return all;
}

void expect_frame(const line::DecodeResult& r, const Vector& v) {
    ASSERT_TRUE(r.ok()) << line::to_string(r.error) << " in " << v.text;
    EXPECT_EQ(r.frame.header.ver, v.header.ver);
    EXPECT_EQ(r.frame.header.adr, v.header.adr);
    EXPECT_EQ(r.frame.header.cid1, v.header.cid1);
    EXPECT_EQ(r.frame.header.code, v.header.code);
    EXPECT_EQ(r.frame.info, v.info);
}

TEST(FrameCodec, DecodesAndEncodesTheKnownFrames) {
    for (const Vector& v : vectors()) {
        const auto results = decode_all(v.text);
        ASSERT_EQ(results.size(), 1u) << v.text;
        expect_frame(results[0], v);
        EXPECT_EQ(line::encode(line::Frame{v.header, v.info}), v.text);
    }
    EXPECT_EQ(line::encode(line::Request{0x20, 0x01, 0x40, 0x43, {0x00}}), "~20014043E00200FD3B\r");
    EXPECT_EQ(line::encode(line::Answer{0x21, 0x01, 0x2A, 0x00, {}}), "~21012A000000FDA9\r");
}

TEST(FrameCodec, LengthChecksumWrapsModulo16) {
    EXPECT_EQ(line::length_field(0), 0x0000);
    EXPECT_EQ(line::length_field(2), 0xE002);
    EXPECT_EQ(line::length_field(0x014), 0xB014);
    // Nibble sums that are multiples of 16 give LCHKSUM 0, not 16.
    EXPECT_EQ(line::length_field(0x0F1), 0x00F1);
    EXPECT_EQ(line::length_field(0x888), 0x8888);
    EXPECT_EQ(line::length_field(0xFFE), 0x4FFE);
}

TEST(FrameCodec, RoundTripsEveryInfoLength) {
    std::mt19937 rng(7);
    line::FrameDecoder decoder;
    std::string text;
    for (std::size_t size : {0u, 1u, 2u, 7u, 100u, 1000u, 2047u}) {
        line::Frame frame{{0x21, static_cast<std::uint8_t>(size), 0x42, 0x46}, std::vector<std::uint8_t>(size)};
        for (auto& b : frame.info) b = static_cast<std::uint8_t>(rng());
        line::encode_frame(frame.header, frame.info.data(), frame.info.size(), text);
        const auto results = decode_all(decoder, text);
        ASSERT_EQ(results.size(), 1u);
        ASSERT_TRUE(results[0].ok()) << line::to_string(results[0].error);
        EXPECT_EQ(results[0].frame.info, frame.info);
        EXPECT_EQ(results[0].frame.header.adr, frame.header.adr);
    }
    EXPECT_THROW(line::encode_frame(line::FrameHeader{}, nullptr, 2048, text), std::length_error);
}

// Every single-character change of a known frame, SOI and EOI included, is refused with a
// reason, and the good frame after it still comes through.
TEST(FrameCodec, RefusesEverySingleCharacterCorruption) {
    const std::string follower = "~20014043E00200FD3B\r";
    for (const Vector& v : vectors()) {
        const std::string good = v.text;
        for (std::size_t at = 0; at < good.size(); ++at) {
            for (int c = 0; c < 256; ++c) {
                if (c == static_cast<unsigned char>(good[at])) continue;
                std::string bad = good;
                bad[at] = static_cast<char>(c);
                const auto results = decode_all(bad + follower);
                ASSERT_GE(results.size(), 2u) << "position " << at << " byte " << c << " in " << good;
                for (std::size_t i = 0; i + 1 < results.size(); ++i) {
                    ASSERT_FALSE(results[i].ok()) << "position " << at << " byte " << c << " in " << good;
                }
                ASSERT_TRUE(results.back().ok()) << "position " << at << " byte " << c << " in " << good;
            }
        }
    }
}

TEST(FrameCodec, NamesEachReason) {
    struct Case {
        std::string text;
        FrameError error;
    };
    const std::vector<Case> cases = {
        {"20014043E00200FD3B\r", FrameError::MissingSoi},
        {"~2001404~20014043E00200FD3B\r", FrameError::Interrupted},
        {"~20014043E00\r", FrameError::TooShort},
        {"~20014043e00200FD3B\r", FrameError::BadCharacter},
        {"~20014043F00200FD3A\r", FrameError::BadLengthChecksum},
        {"~20014043D00300FD3C\r", FrameError::LengthMismatch},
        {"~20014043E00200FD3C\r", FrameError::BadChecksum},
    };
    for (const Case& c : cases) {
        const auto results = decode_all(c.text);
        ASSERT_FALSE(results.empty()) << c.text;
        EXPECT_EQ(results[0].error, c.error) << c.text << ": " << line::to_string(results[0].error);
        EXPECT_STRNE(line::to_string(c.error), line::to_string(FrameError::None));
    }
}

TEST(FrameCodec, PairsOfBlanksInInfoDecodeTo0x20) {
    std::string text;
    line::encode_frame_text({0x20, 0x01, 0x42, 0x00}, "01        02", text);
    auto results = decode_all(text);
    ASSERT_EQ(results.size(), 1u);
    ASSERT_TRUE(results[0].ok()) << line::to_string(results[0].error);
    EXPECT_EQ(results[0].frame.info, bytes_of({0x01, 0x20, 0x20, 0x20, 0x20, 0x02}));

    // A lone blank, blanks astride a byte, or blanks outside INFO are not hex.
    const std::vector<std::pair<const char*, FrameError>> broken = {
        {"0 ", FrameError::BadCharacter},
        {"1  2", FrameError::BadCharacter},
        {" 1", FrameError::BadCharacter},
        {"   ", FrameError::LengthMismatch},
    };
    for (const auto& [info, error] : broken) {
        line::encode_frame_text({0x20, 0x01, 0x42, 0x00}, info, text);
        results = decode_all(text);
        ASSERT_EQ(results.size(), 1u);
        EXPECT_EQ(results[0].error, error) << '"' << info << '"';
    }
    line::encode_frame_text({0x20, 0x01, 0x42, 0x00}, "", text);
    text[1] = ' ';
    text[2] = ' ';
    EXPECT_EQ(decode_all(text)[0].error, FrameError::BadCharacter);
}

TEST(FrameCodec, ChunkedNoisyStreamGivesTheSameFrames) {
    const std::string stream = std::string("\x00\xFF junk", 7) + vectors()[0].text + "\n\n" + vectors()[4].text +
                               "~2001" /* cut off by the next SOI */ + vectors()[2].text + "garbage\r" +
                               vectors()[1].text;
    const auto whole = decode_all(stream);
    ASSERT_EQ(whole.size(), 6u);
    expect_frame(whole[0], vectors()[0]);
    expect_frame(whole[1], vectors()[4]);
    EXPECT_EQ(whole[2].error, FrameError::Interrupted);
    expect_frame(whole[3], vectors()[2]);
    EXPECT_EQ(whole[4].error, FrameError::MissingSoi);
    expect_frame(whole[5], vectors()[1]);

    for (std::size_t chunk = 1; chunk <= 9; ++chunk) {
        line::FrameDecoder decoder;
        std::vector<line::DecodeResult> pieces;
        for (std::size_t at = 0; at < stream.size(); at += chunk) {
            const std::string part = stream.substr(at, chunk);
            decoder.feed_all(reinterpret_cast<const std::uint8_t*>(part.data()), part.size(),
                             [&](const line::DecodeResult& r) { pieces.push_back(r); });
        }
        ASSERT_EQ(pieces.size(), whole.size()) << "chunk " << chunk;
        for (std::size_t i = 0; i < whole.size(); ++i) {
            EXPECT_EQ(pieces[i].error, whole[i].error);
            EXPECT_EQ(pieces[i].frame.info, whole[i].frame.info);
        }
    }
}

// The host leaves the line alone while the rest of an answer is on its way; a count too low
// costs a wakeup, one too high a late answer.
TEST(FrameCodec, CountsTheCharactersStillToComeOnceLengthHasArrived) {
    const std::string text = vectors()[4].text;
    line::FrameDecoder decoder;
    EXPECT_EQ(decoder.awaited(), 0u);
    for (std::size_t fed = 1; fed < text.size(); ++fed) {
        decoder.feed(reinterpret_cast<const std::uint8_t*>(&text[fed - 1]), 1);
        const std::size_t expected = fed < 1 + line::kHeaderChars ? 0 : text.size() - fed;
        EXPECT_EQ(decoder.awaited(), expected) << "after " << fed << " characters";
    }
    decoder.feed(reinterpret_cast<const std::uint8_t*>(&text.back()), 1);
    ASSERT_TRUE(decoder.ready());
    EXPECT_EQ(decoder.awaited(), 0u);

    // A LENGTH that fails its checksum or is no hex tells nothing; neither does noise.
    for (const std::string bad : {"~200246001014", "~20024600B0G4", "junk"}) {
        line::FrameDecoder fresh;
        fresh.feed(reinterpret_cast<const std::uint8_t*>(bad.data()), bad.size());
        EXPECT_EQ(fresh.awaited(), 0u) << bad;
    }
}

TEST(FrameCodec, OverlongFramesAreRefusedWithinABoundedBuffer) {
    line::FrameDecoder decoder(4);  // INFO of at most 4 bytes
    std::string fits;
    std::string tooLong;
    const std::vector<std::uint8_t> four(4, 0xAB);
    const std::vector<std::uint8_t> five(5, 0xAB);
    line::encode_frame({0x20, 1, 0x40, 0x41}, four.data(), four.size(), fits);
    line::encode_frame({0x20, 1, 0x40, 0x41}, five.data(), five.size(), tooLong);

    auto results = decode_all(decoder, tooLong + fits);
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0].error, FrameError::Overlong);
    EXPECT_TRUE(results[1].ok());

    // A megabyte of hex without EOI: one refusal, no allocation, and the line recovers.
    const std::string flood(1 << 20, 'A');
    const auto before = line::allocations_so_far();
    std::size_t refusals = 0;
    std::size_t frames = 0;
    const auto count = [&](const line::DecodeResult& r) { r.ok() ? ++frames : ++refusals; };
    decoder.feed_all(reinterpret_cast<const std::uint8_t*>("~"), 1, count);
    decoder.feed_all(reinterpret_cast<const std::uint8_t*>(flood.data()), flood.size(), count);
    for (int i = 0; i < 100; ++i) {
        decoder.feed_all(reinterpret_cast<const std::uint8_t*>(fits.data()), fits.size(), count);
    }
    EXPECT_EQ(line::allocations_so_far(), before);
    EXPECT_EQ(refusals, 1u);
    EXPECT_EQ(frames, 100u);
    EXPECT_GE(decoder.discarded(), flood.size() - 32);
}

}  // namespace

// The bounds-checked reader the answers are read through: nothing past the length is read,
// an overrun is recorded wherever it happens, and typed reads keep the bytes as sent.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "bytes/byte_reader.h"

namespace {

using Bytes = std::vector<unsigned char>;

#pragma pack(push, 1)
struct PackedRecord {
    std::uint8_t lead;
    float value;
    float values[2];
    std::uint8_t code[3];
};
#pragma pack(pop)
static_assert(sizeof(PackedRecord) == 16, "packed record size");

// Each read from a reader already `at` bytes into an answer of `len`: whether it fits, and what
// needed() then says.
struct Case {
    const char* name;
    int len;
    int at;
    std::function<bool(ByteReader&)> read;
    bool fits;
    int needed;  // checked when the read does not fit
};

TEST(ByteReaderTest, ReadsFitInsideTheLengthOrFailAndRecordTheOverrun) {
    const Bytes data(16, 0x5A);
    float f = 0;
    int n = 0;
    std::uint8_t block[4] = {};
    std::array<float, 2> floats{};
    const Case cases[] = {
        {"u8 at the end", 3, 3,
         [](ByteReader& r) {
             std::uint8_t v;
             return r.u8(v);
         },
         false, 4},
        {"u8 last byte", 3, 2,
         [](ByteReader& r) {
             std::uint8_t v;
             return r.u8(v);
         },
         true, 0},
        {"f32 exactly fits", 6, 2, [&](ByteReader& r) { return r.f32(&f); }, true, 0},
        {"f32 one byte short", 5, 2, [&](ByteReader& r) { return r.f32(&f); }, false, 6},
        {"count at the end", 2, 2, [&](ByteReader& r) { return r.count(n); }, false, 3},
        {"byte block fits", 4, 0, [&](ByteReader& r) { return r.array(&block); }, true, 0},
        {"byte block short", 5, 2, [&](ByteReader& r) { return r.array(&block); }, false, 6},
        {"float block fits", 9, 1, [&](ByteReader& r) { return r.array(&floats); }, true, 0},
        {"float block short", 8, 1, [&](ByteReader& r) { return r.array(&floats); }, false, 9},
        {"negative length", 4, 0, [&](ByteReader& r) { return r.bytes(block, -1); }, false, 0},
        {"analog short", 3, 0, [&](ByteReader& r) { return r.analog(&f, 1.0f); }, false, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ByteReader reader(data.data(), c.len);
        reader.skip(c.at);
        ASSERT_FALSE(reader.overran());
        EXPECT_EQ(c.read(reader), c.fits);
        EXPECT_EQ(reader.overran(), !c.fits);
        if (c.fits) continue;
        EXPECT_EQ(reader.needed(), c.needed);
        EXPECT_EQ(reader.position(), c.at) << "a failed read consumes nothing";
    }
}

TEST(ByteReaderTest, SkipRecordsAnOverrunAndTheNextReadFails) {
    const Bytes data = {1, 2, 3, 4};
    const struct {
        int skip;
        bool overran;
    } cases[] = {{0, false}, {3, false}, {4, false}, {5, true}, {300, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.skip);
        ByteReader reader(data.data(), 4);
        reader.skip(c.skip);
        EXPECT_EQ(reader.overran(), c.overran);
        EXPECT_EQ(reader.position(), c.skip);
        if (c.overran) {
            EXPECT_EQ(reader.needed(), c.skip);
        }
        std::uint8_t v = 0xEE;
        EXPECT_EQ(reader.u8(v), c.skip < 4);
        if (c.skip >= 4) {
            EXPECT_EQ(v, 0xEE) << "a failed read leaves its destination untouched";
        }
    }
    // A count byte past the end stops skip_counted; a counted block past the end is recorded.
    ByteReader counted(data.data(), 4);
    EXPECT_TRUE(counted.skip_counted(1, 4));
    EXPECT_TRUE(counted.overran());
    EXPECT_EQ(counted.position(), 2 + 2 * 4);
}

TEST(ByteReaderTest, TypedReadsKeepTheBytesInOrderAndFillPackedFields) {
    Bytes data = {7};
    const float first = 53.5f;
    const float pair[2] = {-48.25f, 1.0e6f};
    unsigned char raw[12];
    std::memcpy(raw, &first, 4);
    std::memcpy(raw + 4, pair, 8);
    data.insert(data.end(), raw, raw + 12);
    data.insert(data.end(), {0xA1, 0xB2, 0xC3, 0xFF});

    PackedRecord record{};
    int count = 0;
    ByteReader reader(data.data(), static_cast<int>(data.size()));
    ASSERT_TRUE(reader.count(count));
    ASSERT_TRUE(reader.f32(&record.value));
    ASSERT_TRUE(reader.array(&record.values));
    ASSERT_TRUE(reader.array(&record.code));
    EXPECT_EQ(count, 7);
    EXPECT_EQ(std::memcmp(reinterpret_cast<const unsigned char*>(&record) + 1, data.data() + 1, 15), 0);
    EXPECT_EQ(reader.position(), 16);
    EXPECT_FALSE(reader.overran());

    // The count byte is unsigned: 0xFF is 255, not -1.
    ASSERT_TRUE(reader.count(count));
    EXPECT_EQ(count, 255);
    EXPECT_FALSE(reader.count(count));
    EXPECT_EQ(count, 255);
    EXPECT_TRUE(reader.overran());
}

// A group of fields read one after the other and checked once: the first field that does not fit
// is the shortfall kept, and nothing after it is read, though a later, smaller field would fit.
TEST(ByteReaderTest, TheFirstShortfallIsKeptAndEveryReadAfterItFails) {
    const Bytes data = {1, 2, 3, 4, 5, 6};
    ByteReader reader(data.data(), 6);
    float value = 0;
    std::uint8_t a = 0, b = 0, c = 0xEE;
    reader.u8(a);
    reader.u8(b);
    reader.f32(&value);  // needs bytes 3 to 6 of 6: fits
    EXPECT_FALSE(reader.overran());
    ByteReader group(data.data(), 4);
    group.u8(a);
    group.f32(&value);  // bytes 1 to 4: 5 in all, one more than there are
    group.u8(c);        // would fit at position 1, but the group has failed
    EXPECT_TRUE(group.overran());
    EXPECT_EQ(group.needed(), 5);
    EXPECT_EQ(c, 0xEE);
    EXPECT_EQ(group.position(), 1);

    // A skip past the end is the first shortfall too: a read after it does not move it.
    ByteReader skipped(data.data(), 6);
    skipped.skip(7);
    skipped.f32(&value);
    EXPECT_EQ(skipped.needed(), 7);
}

}  // namespace

#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

// Reads an answer front to back and never past the length it was given.
// A failed read leaves the destination untouched and records in needed() how many
// bytes the answer would have had to hold for that field to fit; overran() then stays true,
// as it does once skip() has moved past the end. The first shortfall is the one kept: every
// read after it fails too, so a parser can read a group of fields and check once.
class ByteReader {
public:
    ByteReader(const unsigned char* data, int len) noexcept : data_(data), len_(len > 0 ? len : 0) {}

    // Bytes consumed so far; after skip() this may pass the length.
    int position() const noexcept { return pos_; }
    int length() const noexcept { return len_; }
    int needed() const noexcept { return needed_; }
    bool overran() const noexcept { return overran_; }

    bool u8(std::uint8_t& out) noexcept {
        const unsigned char* at = take(1);
        if (at == nullptr) return false;
        out = *at;
        return true;
    }

    bool bytes(void* out, int n) noexcept {
        const unsigned char* at = take(n);
        if (at == nullptr) return false;
        if (n > 0) std::memcpy(out, at, static_cast<std::size_t>(n));
        return true;
    }

    // A count byte, widened so that it can size what follows without narrowing.
    bool count(int& out) noexcept {
        std::uint8_t value = 0;
        if (!u8(value)) return false;
        out = value;
        return true;
    }

    // Typed reads take their destination by pointer, so that a field of a packed record can be
    // one: a reference to a misaligned float is not allowed.

    // A 4-byte float, kept byte for byte as the device sent it.
    bool f32(float* out) noexcept { return bytes(out, 4); }

    // A block of N bytes or N floats, kept byte for byte.
    template <class T, std::size_t N>
    bool array(T (*out)[N]) noexcept {
        return block(*out, N);
    }

    template <class T, std::size_t N>
    bool array(std::array<T, N>* out) noexcept {
        return block(out->data(), N);
    }

    // A 4-byte analog value. Four equal bytes other than zeros mean "not provided"
    // (devices send blanks or FF); the substitute is stored instead.
    bool analog(void* out, float substitute) noexcept {
        const unsigned char* at = take(4);
        if (at == nullptr) return false;
        if (at[0] != 0 && at[1] == at[0] && at[2] == at[0] && at[3] == at[0]) {
            std::memcpy(out, &substitute, 4);
        } else {
            std::memcpy(out, at, 4);
        }
        return true;
    }

    // Moves on without reading; past the end it records the overrun, and the next read fails.
    void skip(int n) noexcept {
        pos_ += n;
        if (pos_ > len_) record_overrun(pos_);
    }

    // Moves over `fixed` bytes, a count byte and that many items of `itemSize` bytes without
    // keeping them; false when the count byte lies past the end.
    bool skip_counted(int fixed, int itemSize) noexcept {
        skip(fixed);
        std::uint8_t count = 0;
        if (!u8(count)) return false;
        skip(count * itemSize);
        return true;
    }

private:
    template <class T>
    bool block(T* out, std::size_t n) noexcept {
        static_assert(std::is_same_v<T, std::uint8_t> || std::is_same_v<T, char> || std::is_same_v<T, float>,
                      "a block holds bytes or 4-byte floats");
        return bytes(out, static_cast<int>(sizeof(T) * n));
    }

    const unsigned char* take(int n) noexcept {
        if (overran_ || n < 0 || pos_ > len_ || n > len_ - pos_) {
            record_overrun(pos_ + (n > 0 ? n : 0));
            return nullptr;
        }
        const unsigned char* at = data_ + pos_;
        pos_ += n;
        return at;
    }

    void record_overrun(int needed) noexcept {
        if (overran_) return;
        needed_ = needed;
        overran_ = true;
    }

    const unsigned char* data_;
    int len_;
    int pos_ = 0;
    int needed_ = 0;
    bool overran_ = false;
};

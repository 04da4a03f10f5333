#pragma once
#include <cstdint>
#include <cstring>

// Reads an answer front to back and never past the length it was given.
// A failed read leaves the destination untouched and records in needed() how many
// bytes the answer would have had to hold for that field to fit.
class ByteReader {
public:
    ByteReader(const unsigned char* data, int len) noexcept : data_(data), len_(len > 0 ? len : 0) {}

    // Bytes consumed so far; after skip() this may pass the length.
    int position() const noexcept { return pos_; }
    int length() const noexcept { return len_; }
    int needed() const noexcept { return needed_; }

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

    // Moves on without reading; the next read fails if this passed the end.
    void skip(int n) noexcept { pos_ += n; }

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
    const unsigned char* take(int n) noexcept {
        if (n < 0 || pos_ > len_ || n > len_ - pos_) {
            needed_ = pos_ + (n > 0 ? n : 0);
            return nullptr;
        }
        const unsigned char* at = data_ + pos_;
        pos_ += n;
        return at;
    }

    const unsigned char* data_;
    int len_;
    int pos_ = 0;
    int needed_ = 0;
};

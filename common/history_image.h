#pragma once
#include <cstddef>
#include <cstring>
#include <memory>
#include <vector>

#include "bytes/byte_reader.h"

// The item type of a unit whose image is its record alone.
struct NoItem {};

// A unit's history image: its record followed by one record per channel or module. The
// buffer is reused round after round and is allocated again, zeroed, only when the list
// it must cover has changed size, so no byte is ever written past its end.
class HistoryImage {
public:
    template <class Record, class Item>
    static constexpr std::size_t size_for(std::size_t items) {
        return sizeof(Record) + sizeof(Item) * items;
    }

    template <class Record, class Item>
    void write(const Record& record, const std::vector<Item>& items) {
        fit(static_cast<unsigned int>(size_for<Record, Item>(items.size())));
        std::memcpy(bytes_.get(), &record, sizeof record);
        if (!items.empty()) std::memcpy(bytes_.get() + sizeof record, items.data(), sizeof(Item) * items.size());
    }

    // Reads an image that write() made back into `record` and `items`. `count_of` tells how many
    // items the image's own record announces; an image of any other length is refused and
    // changes nothing.
    template <class Record, class Item, class CountOf>
    static bool read(const unsigned char* data, int len, Record& record, std::vector<Item>& items, CountOf count_of) {
        ByteReader in(data, len);
        Record cached{};
        if (!in.bytes(&cached, sizeof cached)) return false;
        const std::size_t count = count_of(cached);
        if (static_cast<std::size_t>(len) != size_for<Record, Item>(count)) return false;
        record = cached;
        items.resize(count);
        in.bytes(items.data(), static_cast<int>(sizeof(Item) * count));
        return true;
    }

    const unsigned char* data() const { return bytes_.get(); }
    unsigned int size() const { return size_; }

private:
    void fit(unsigned int size) {
        if (bytes_ && size_ == size) return;
        bytes_ = std::make_unique<unsigned char[]>(size);
        size_ = size;
    }

    std::unique_ptr<unsigned char[]> bytes_;
    unsigned int size_ = 0;
};

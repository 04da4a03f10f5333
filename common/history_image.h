#pragma once
#include <cstring>
#include <memory>
#include <vector>

// A unit's history image: its record followed by one record per channel or module. The
// buffer is reused round after round and is allocated again, zeroed, only when the list
// it must cover has changed size, so no byte is ever written past its end.
class HistoryImage {
public:
    // Makes the buffer `size` bytes long; true when it was allocated anew.
    bool fit(unsigned int size) {
        if (bytes_ && size_ == size) return false;
        bytes_ = std::make_unique<unsigned char[]>(size);
        size_ = size;
        return true;
    }

    template <class Record, class Item>
    static unsigned int size_for(const std::vector<Item>& items) {
        return static_cast<unsigned int>(sizeof(Record) + sizeof(Item) * items.size());
    }

    template <class Record, class Item>
    void write(const Record& record, const std::vector<Item>& items) {
        fit(size_for<Record>(items));
        std::memcpy(bytes_.get(), &record, sizeof record);
        if (!items.empty()) std::memcpy(bytes_.get() + sizeof record, items.data(), sizeof(Item) * items.size());
    }

    const unsigned char* data() const { return bytes_.get(); }
    unsigned int size() const { return size_; }

private:
    std::unique_ptr<unsigned char[]> bytes_;
    unsigned int size_ = 0;
};

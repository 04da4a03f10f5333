#pragma once
#include <cstdint>
#include <vector>

// Opens a unit's records to the tests and fuzz targets: the unit record and the channel or
// module records behind it, and the image RoundDone publishes of them.
template <class Unit>
class UnitProbe : public Unit {
public:
    using Unit::Unit;

    const auto& record() const { return this->core_.record; }
    const auto& items() const { return this->core_.items; }
    int history_size() const { return static_cast<int>(this->core_.history().size()); }

    // The unit record followed by its items, as one image. Sized up front: the cache fuzz
    // targets take this twice per input, over up to 255 channels.
    std::vector<std::uint8_t> records() const {
        std::vector<std::uint8_t> out;
        out.reserve(sizeof record() + items().size() * sizeof items().front());
        append(out, record());
        for (const auto& item : items()) append(out, item);
        return out;
    }

private:
    template <class Record>
    static void append(std::vector<std::uint8_t>& out, const Record& record) {
        const auto* at = reinterpret_cast<const std::uint8_t*>(&record);
        out.insert(out.end(), at, at + sizeof record);
    }
};

#pragma once
#include <cstdint>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "common/history_image.h"
#include "common/round_work.h"
#include "common/unit_support.h"
#include "host/json.h"
#include "host/rule_value.h"
#include "host/vrt_vdevice.h"

// The members the host's base class keeps for a unit and its core keeps up to date.
struct UnitState {
    bool& dataValid;
    boost::posix_time::ptime& lastUpdate;
    std::uint16_t& alarmSeq;
    std::vector<rule_value>& rules;
    bool& thresholdResult;
};

// What every unit kind does alike, held by the unit: the unit record and the channel or module
// records behind it, their history image, settings, cache restore, the end of a round and the
// round's work. The unit keeps its record layout, its parsers and its alarm rules.
template <class Unit, class Record, class Item = NoItem>
class UnitCore {
public:
    UnitCore(Unit& unit, UnitState state) : unit_(unit), state_(state) {}

    // Filled by the unit's parsers. Zero until an answer fills a field: a round publishes the
    // records whole, also before every field has arrived.
    Record record{};
    std::vector<Item> items;

    // The data id goes into the record; the rest of the settings is the host's.
    bool init(VRTVDevice* parent, unsigned int dataId, const Json::Value& setting) {
        record.device_id = dataId;
        return unit_.VRTVDevice::InitV(parent, dataId, setting);
    }

    // Restores the records from a history image; `count_of` reads the item count of its record.
    template <class CountOf>
    bool restore(const unsigned char* data, int len, CountOf count_of) {
        if (!HistoryImage::read(data, len, record, items, count_of)) return false;
        state_.dataValid = true;
        state_.lastUpdate = boost::posix_time::second_clock::local_time();
        return true;
    }

    // The device now announces `count` items: the list follows it, new items zero-filled, removed
    // ones dropped. `format` logs the data id, the old count and the new one.
    void follow_count(std::uint8_t Record::*countField, std::uint8_t count, const char* format) {
        unit_.InfoLog(format, unit_.DataId(), static_cast<unsigned int>(record.*countField),
                      static_cast<unsigned int>(count));
        record.*countField = count;
        items.resize(count);
    }

    // The round now ending did not take the unit's analog answer.
    void mark_round_stale() { freshness_.mark_stale(); }

    // Keeps the records as they are before an answer is fed to the unit, so that a refused answer
    // can be undone. The copy reuses its buffer: once it has held as many items, no allocation.
    void snapshot() {
        saved_.record = record;
        saved_.items.assign(items.begin(), items.end());
    }

    // Puts the records back as the last snapshot() found them.
    void roll_back() {
        record = saved_.record;
        items.assign(saved_.items.begin(), saved_.items.end());
    }

    // Ends a round: stamps a round that brought analog values, publishes the image under
    // `recordId`, numbers the round's alarm reports from 1 (the unit's rules, then its model's),
    // and queues the threshold batch and the history save.
    template <class ReportRules>
    void complete_round(int recordId, ReportRules report_rules) {
        if (freshness_.take()) {
            state_.dataValid = true;
            state_.lastUpdate = boost::posix_time::second_clock::local_time();
            record.update_time = current_ttime();
        }
        history_.write(record, items);
        unit_.SendSP(recordId, history_.data(), history_.size(), false);
        state_.alarmSeq = 1;
        report_rules();
        unit_.DoImpCheckAlert();
        work_.queue(unit_, state_.rules, state_.thresholdResult, history_.data(), history_.size());
    }

    const HistoryImage& history() const { return history_; }

private:
    struct Saved {
        Record record{};
        std::vector<Item> items;
    };

    Unit& unit_;
    UnitState state_;
    Saved saved_;
    HistoryImage history_;
    RoundWork work_;
    RoundFreshness freshness_;
};

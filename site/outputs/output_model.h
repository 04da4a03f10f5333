#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/json.h"
#include "site/round/completed_round.h"
#include "site/round/unit_values.h"

// What the round outputs (MQTT, the metrics file) know of the site.
namespace site {

struct HistoryCounts {
    std::uint64_t saved = 0;
    std::uint64_t failed = 0;
};

// The latest published image of one unit, as its round decoded it.
struct UnitState {
    unsigned system = 0;
    unsigned unit = 0;
    int record = 0;
    std::string kind;  // "ac", "dc", "rc"
    std::uint64_t round = 0;
    std::string time;  // of the round, ISO 8601 with the local offset
    bool ok = false;
    // The round that published it, kept while it is the latest, and the image in it.
    std::shared_ptr<const CompletedRound> from;
    const RoundUnit* image = nullptr;
    // The metrics file's sample lines of the provided values by family, made once per round.
    std::array<std::string, kValueMetricCount> valueLines;

    const Json::Value& fields() const { return image->decoded.fields; }
    const std::vector<UnitValue>& values() const { return image->values; }
};

// The latest check of one alarm. A check about one input channel, fuse or module carries its
// number, so that its identity does not depend on how many of them the unit has.
struct AlarmState {
    unsigned system = 0;
    unsigned unit = 0;
    std::string key;
    int number = -1;  // the channel, fuse or module number its text names (from 1); -1: about the unit
    std::string code, name, text;
    int level = 0;
    bool multiState = false;  // a state value rather than active/inactive
    std::uint8_t state = 0;
    bool gone = false;    // no longer checked: its entity, topics and series go away
    std::string changed;  // when it last changed, ISO 8601 with the local offset
    bool active() const { return state != 0; }
};

}  // namespace site

#pragma once
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host/json.h"
#include "line/answer_timer.h"
#include "site/run/unit_values.h"

// What the round outputs (MQTT, the metrics file) know of the site.
namespace site {

// The host's counters of one power system, taken at the end of each round on its polling thread.
struct SystemCounts {
    std::uint64_t rounds = 0;
    std::uint64_t replyTimeouts = 0;
    std::uint64_t lateAnswers = 0;
    std::map<std::string, std::uint64_t> refusedByReason;
    std::vector<line::AnswerTimer::Learned> answerTimes;  // empty with a fixed reply timeout
};

struct HistoryCounts {
    std::uint64_t saved = 0;
    std::uint64_t failed = 0;
};

// The latest published image of one unit, decoded.
struct UnitState {
    unsigned system = 0;
    unsigned unit = 0;
    int record = 0;
    std::string kind;  // "ac", "dc", "rc"
    std::uint64_t round = 0;
    std::string time;  // of the round, ISO 8601 with the local offset
    bool ok = false;
    std::string error;  // why the image did not decode
    Json::Value fields;
    std::vector<UnitValue> values;
    // The metrics file's sample lines of the provided values, made once per round.
    std::string valueLines;
};

// The latest check of one alarm. A key that a unit checks several times in a round (one per
// channel, fuse or module) is told apart by its position among them.
struct AlarmState {
    unsigned system = 0;
    unsigned unit = 0;
    std::string key;
    int index = -1;  // -1: the unit checks this key once per round
    std::string code, name, text;
    int level = 0;
    bool multiState = false;  // a state value rather than active/inactive
    std::uint8_t state = 0;
    std::string changed;  // when it last changed, ISO 8601 with the local offset
    bool active() const { return state != 0; }
};

// "2026-12-08T13:01:02+01:00"
std::string iso_local_time(std::chrono::system_clock::time_point time);

}  // namespace site

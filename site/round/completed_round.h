#pragma once
#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "line/answer_timer.h"
#include "site/host/events.h"
#include "site/host/image_layouts.h"
#include "site/host/round_sink.h"
#include "site/round/unit_values.h"

namespace site {

// The host's counters of one power system, taken when a round is closed.
struct SystemCounts {
    std::uint64_t rounds = 0;
    std::uint64_t replyTimeouts = 0;
    std::uint64_t unsent = 0;
    std::uint64_t lateAnswers = 0;
    std::map<std::string, std::uint64_t> refusedByReason;
    std::vector<line::AnswerTimer::Learned> answerTimes;  // empty with a fixed reply timeout
};

// One unit's published image of the round, decoded once for everything that shows it.
struct RoundUnit {
    unsigned unit = 0;
    int record = 0;
    std::vector<std::uint8_t> image;
    DecodedImage decoded;
    std::vector<UnitValue> values;  // the analog values; empty when the image did not decode
};

// Decodes the image and finds its analog values.
void decode_unit(RoundUnit& unit);

// One alarm check of the round.
struct RoundAlarm {
    unsigned unit = 0;
    int level = 0;
    std::string key, code, name, text;
    std::uint8_t state = 0;
    bool multiState = false;
    AlarmCheck::Change change = AlarmCheck::Change::None;
};

// Everything one round of one power system brought, closed by its runner. The console
// summary, MQTT and the metrics file all show this one value.
struct CompletedRound {
    unsigned system = 0;
    std::uint64_t number = 0;
    std::chrono::steady_clock::duration took{};
    std::chrono::steady_clock::time_point done{};
    std::chrono::system_clock::time_point endedAt{};
    // Without a further complete round for this long the system counts as offline.
    std::chrono::steady_clock::duration staleAfter{};
    std::vector<RoundUnit> units;         // in the order of publishing
    std::vector<RoundAlarm> checks;       // every check in order, when the runner keeps them
    std::vector<RoundAlarm> transitions;  // the checks that raised or cleared an alarm
    std::vector<Event> queries;           // answers to the queries asked after the round
    SystemCounts counts;
};

}  // namespace site

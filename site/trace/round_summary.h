#pragma once
#include <string>

#include "site/host/events.h"
#include "site/round/completed_round.h"

namespace site {

// The terminal's account of a round: the values of every published image, each alarm
// raised or cleared with its code, name and text, and the query answers.
std::string round_summary(const CompletedRound& round);

// "query NAME@ID = VALUE" or "query NAME@ID: exception text".
std::string query_line(const Event& query);

}  // namespace site

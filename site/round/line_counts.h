#pragma once
#include <cstdint>
#include <map>
#include <string>

namespace site {

// What went wrong on one power system's line, by class. Other outputs (metrics files, the
// end-of-run summary) read a copy of it from SystemRunner::line_counts().
struct LineCounts {
    std::uint64_t replyTimeouts = 0;  // requests that got no answer in time
    std::uint64_t unsent = 0;         // requests the line could not take (port not open, write failed)
    std::uint64_t lateAnswers = 0;    // settle times in which input arrived and was dropped
    std::uint64_t discardedBytes =
        0;                            // bytes dropped unread: late answers, and whatever the line held before a request
    std::uint64_t echoesSkipped = 0;  // the line's echo of a request, at most one per request
    // Answers not handed to the device, by reason: "CHKSUM", "LCHKSUM", "length", "frame",
    // "wrong address", "wrong CID1", "RTN 0x02" (one key per return code), "no echo", "unexpected".
    std::map<std::string, std::uint64_t> refused;
    // The plug-in's protocol-error log lines, by their format text.
    std::map<std::string, std::uint64_t> protocolErrors;

    std::uint64_t refused_total() const;
    // "12 reply timeouts, 3 answers refused (CHKSUM 2, RTN 0x02 1)", then the other classes
    // (requests the line could not take are told as such, never as reply timeouts)
    // that occurred; `full`: every class, zero or not, and the plug-in's log lines by text.
    std::string text(bool full = false) const;
};

// Counts since `since`: every class that grew, by how much.
LineCounts operator-(const LineCounts& now, const LineCounts& since);

}  // namespace site

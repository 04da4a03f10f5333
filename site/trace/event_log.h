#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/json.h"
#include "site/host/events.h"
#include "site/trace/trace_file.h"

namespace site {

// The JSON object (one line, "event" first) of one host service call, or nothing for events
// that are not one (the host's own Rejected, Timeout, Round ... and the alarm transitions).
// `writer` comes from make_line_writer().
std::optional<std::string> event_line(const Event& event, Json::StreamWriter& writer);

// Appends one JSON object per line for every host service call to a file or a FIFO. The
// lines go through a bounded queue to a thread of its own, so a slow or stalled reader never
// holds up polling: when the queue is full, events are dropped and counted, and the count is
// written as {"event":"dropped","count":N} once the writer has caught up. A failed write is
// told on the console once and tried again; reopen_trace_files() (SIGHUP, after logrotate
// moved the file) makes the writer open the path again. Thread-safe; see TraceFile.
class EventLog : public Observer {
public:
    static constexpr std::size_t kDefaultCapacity = 8192;

    // Throws std::runtime_error when the path cannot be opened for appending. A FIFO nobody
    // reads yet is no error: the writer opens it once a reader comes.
    explicit EventLog(const std::string& path, std::size_t capacity = kDefaultCapacity);
    void on_event(const Event& event) override;
    // Lines taken into the queue, and events dropped because it was full.
    std::uint64_t lines() const { return lines_; }
    std::uint64_t dropped() const { return file_.dropped(); }

private:
    std::atomic<std::uint64_t> lines_{0};
    TraceFile file_;
};

}  // namespace site

#pragma once
#include <cstdint>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/json.h"
#include "site/events.h"

namespace site {

// Upper-case hex, two characters per byte, nothing between.
std::string hex_text(const std::vector<std::uint8_t>& bytes);

// A JSON writer that puts a value on one line: no indentation, UTF-8 kept as it is, and
// numbers with enough digits for every float the plug-in reports.
std::unique_ptr<Json::StreamWriter> make_line_writer();

// The JSON object (one line, "event" first) of one host service call, or nothing for events
// that are not one (the host's own Rejected, Timeout, Round ... and the alarm transitions).
// `writer` comes from make_line_writer().
std::optional<std::string> event_line(const Event& event, Json::StreamWriter& writer);

// Writes one JSON object per line for every host service call, each line flushed as the
// call happens, so that the file is complete whenever the host stops. Thread-safe.
class EventLog : public Observer {
public:
    // Throws std::runtime_error when the file cannot be opened.
    explicit EventLog(const std::string& path);
    void on_event(const Event& event) override;
    std::uint64_t lines() const;

private:
    mutable std::mutex mutex_;
    std::ofstream out_;
    std::unique_ptr<Json::StreamWriter> writer_;
    std::uint64_t lines_ = 0;
};

}  // namespace site

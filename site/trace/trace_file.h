#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace site {

// A file or FIFO that lines are appended to by a thread of its own through a bounded queue:
// whoever appends never waits for the disk or for a reader. When the queue is full the line
// is dropped and counted; once the writer has caught up it writes `dropped_line(count)`.
// A failed write or open is told on the console once and tried again every second;
// reopen_trace_files() makes the writer close and open the path again. A regular file holds
// whole lines only, whatever write fails; lines still queued at the end are counted on the console.
class TraceFile {
public:
    // Throws std::runtime_error when the path cannot be opened for appending; a FIFO that
    // nobody reads yet is no error (it is opened once a reader comes).
    TraceFile(std::string path, std::size_t capacity, std::string (*dropped_line)(std::uint64_t count));
    // Writes what is queued, giving a stalled reader or a failing disk about a second.
    ~TraceFile();
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    // Queues one line (without its newline); false when the queue was full and it was dropped.
    bool append(std::string line);
    std::uint64_t dropped() const;

private:
    void run();
    // Moves queued lines into pending_, or the drop count once everything is written.
    bool take_lines();
    // Writes pending_ until it is empty (true) or writing fails or must stop (false).
    bool write_pending();
    bool ensure_open();
    void close_file();
    // Drops from pending_ the whole lines among `written` more bytes (true when there were
    // any); a part of a line stays.
    bool keep_whole_lines(std::size_t written);
    void take_back_torn_line();
    void report_failure(const std::string& what);
    void report_working();
    bool giving_up() const;

    const std::string path_;
    const std::size_t capacity_;
    std::string (*const droppedLine_)(std::uint64_t);

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::string> queue_;
    std::uint64_t dropped_ = 0;
    std::uint64_t unreported_ = 0;  // dropped since the last drop line
    std::atomic<bool> stopping_{false};
    std::chrono::steady_clock::time_point giveUpAt_{};

    // The writer thread's own.
    int fd_ = -1;
    unsigned reopenSeen_ = 0;
    std::string pending_;
    std::size_t torn_ = 0;  // bytes of pending_'s first line already written
    std::string failure_;   // told on the console; empty while writing works
    std::thread thread_;
};

// Asks every trace file to open its path again; safe in a signal handler (SIGHUP).
void reopen_trace_files() noexcept;

}  // namespace site

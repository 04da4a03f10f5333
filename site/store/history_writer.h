#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "site/host/history_sink.h"
#include "site/store/history_store.h"

namespace site {

// How long each kind of row is kept, in days; 0 keeps it for ever.
struct HistoryWriterOptions {
    unsigned keepDays = 0;    // trends, changes and alarms; nothing is kept longer than this
    unsigned imageDays = 2;   // whole images of every round
    unsigned sampleDays = 7;  // analog values of every round
    std::size_t maxWaitingBytes = std::size_t{64} << 20;
    std::chrono::milliseconds retryPause{250};
};

// Writes the images it is handed into the store, one transaction per round, on its own thread so
// that a busy or slow database never holds up polling or alarms. A round that cannot be
// written (another process holds the database, the disk is full) is kept and retried, oldest
// first, until it can; it is only given up when the rounds waiting exceed `maxWaitingBytes`
// or when flush() runs out of time. Both count as failed and are reported through `report`.
// Before each round it checks that the database file is still the one it opened.
class HistoryWriter : public HistorySink {
public:
    HistoryWriter(std::shared_ptr<HistoryStore> store, std::function<void(const std::string&)> report,
                  HistoryWriterOptions options = {});
    ~HistoryWriter() override;
    HistoryWriter(const HistoryWriter&) = delete;
    HistoryWriter& operator=(const HistoryWriter&) = delete;

    // The units whose images make up one round of power system `system`. The images of a
    // unit of no system are each written as a round of their own.
    void add_system(unsigned system, const std::vector<unsigned>& units);
    void save_image(unsigned device, int record, const unsigned char* image, std::size_t size) override;
    // The system's images since its last round end are one round, saved at `savedAtMs` with
    // the alarm changes of the round.
    void end_round(unsigned system, std::int64_t savedAtMs, std::vector<AlarmChange> alarms = {});
    // Waits up to `limit` for every round handed over to be written; what is still waiting
    // then is given up. True when nothing was given up.
    bool flush(std::chrono::milliseconds limit);

    std::uint64_t saved() const;
    std::uint64_t failed() const;

private:
    struct Round {
        unsigned system = 0;
        std::int64_t savedAtMs = 0;
        std::vector<UnitImage> images;
        std::vector<AlarmChange> alarms;
        std::size_t bytes = 0;
    };

    void queue_round(Round round);
    void give_up(const Round& round, const std::string& why);
    void run();
    // Empty when the round was written, else why not.
    std::string write(const Round& round);
    void prune();

    std::shared_ptr<HistoryStore> store_;
    std::function<void(const std::string&)> report_;
    HistoryWriterOptions options_;
    std::unordered_map<unsigned, unsigned> systemOf_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::unordered_map<unsigned, Round> open_;  // by system: images of the round under way
    std::deque<Round> waiting_;
    std::size_t waitingBytes_ = 0;
    bool writing_ = false;
    bool stopping_ = false;
    bool givingUp_ = false;
    std::string failure_;  // why the oldest waiting round could not be written; empty while saving works
    std::chrono::steady_clock::time_point failingSince_{};
    bool pruneFailing_ = false;
    std::uint64_t saved_ = 0;
    std::uint64_t failed_ = 0;
    std::thread thread_;
};

}  // namespace site

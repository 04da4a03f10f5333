#pragma once
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "site/host/events.h"
#include "site/outputs/mqtt_output.h"
#include "site/outputs/output_model.h"
#include "site/config/site_config.h"

namespace site {

// The number of the input channel, fuse or module an alarm text is about: the digits between
// two words of the device's own language ("交流屏2输入…" is input 2). -1 when it names none.
int alarm_item_number(const std::string& text);

// Hands every completed round to MQTT and the metrics file on a thread of its own, so that
// polling never waits for either. Rounds that pile up beyond a bound are dropped, oldest first.
class SiteOutputs {
public:
    struct Setup {
        MqttConfig mqtt;          // no host: no MQTT
        std::string metricsFile;  // empty: no metrics file
        std::vector<SystemUnits> systems;
        std::function<HistoryCounts()> history;
        // A system's counters as they stand, read every second whatever the line does; without
        // it, the counts that came with the system's last round.
        std::function<SystemCounts(unsigned system)> counts;
        MqttOutput::Report report;  // console and trace
    };
    using Clock = std::chrono::steady_clock;

    explicit SiteOutputs(Setup setup);
    // Publishes what is still pending, writes the metrics file once more and marks the
    // systems offline.
    ~SiteOutputs();
    SiteOutputs(const SiteOutputs&) = delete;
    SiteOutputs& operator=(const SiteOutputs&) = delete;

    // From a polling thread at the end of a round: notes the alarms that changed and returns.
    void on_round(const std::shared_ptr<const CompletedRound>& round);

private:
    struct Round {
        std::shared_ptr<const CompletedRound> round;
        std::string time;  // when it ended, as the messages tell it
        std::vector<AlarmState> changedAlarms;
    };
    struct SystemState {
        SystemCounts counts;
        bool online = false;
        bool wentStale = false;  // has been offline for want of rounds
        Clock::time_point lastRound;
        Clock::duration staleAfter{};
        std::map<unsigned, UnitState> units;
    };
    void run();
    void process(Round& round);
    using AlarmId = std::tuple<unsigned, std::string, int>;  // unit, key, number
    struct BookedAlarm {
        AlarmState state;
        std::uint64_t checkedIn = 0;  // the book's round that last checked it
    };
    // The alarms of one system, kept on its polling thread: only changes go to the outputs' thread.
    struct AlarmBook {
        std::map<AlarmId, BookedAlarm> alarms;
        std::uint64_t round = 0;
        std::vector<unsigned> checkedUnits;  // scratch, kept for its capacity
    };
    static std::vector<AlarmState> changed_alarms(AlarmBook& book, unsigned system,
                                                  const std::vector<RoundAlarm>& checks, const std::string& time);
    void update_unit(UnitState& unit, const Round& round, const RoundUnit& image) const;
    void check_availability(Clock::time_point now);
    void write_metrics(Clock::time_point now);

    Setup setup_;
    const Clock::time_point started_ = Clock::now();
    std::unique_ptr<MqttOutput> mqtt_;
    std::map<unsigned, SystemState> systems_;     // worker thread only
    std::map<AlarmId, AlarmState> activeAlarms_;  // worker thread only
    std::string metricsError_;                    // the failure last reported; empty while it works
    std::map<unsigned, AlarmBook> alarmBooks_;    // one per system, on that system's polling thread

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Round> pending_;
    bool stopping_ = false;
    bool droppingRounds_ = false;
    std::thread worker_;
};

}  // namespace site

#include "site/outputs/site_outputs.h"

#include <algorithm>
#include <ctime>

#include "site/host/image_layouts.h"
#include "site/host/time_text.h"
#include "site/outputs/metrics_file.h"

namespace site {
namespace {

constexpr std::chrono::seconds kTick(1);
// Rounds waiting for the output thread; far more than it ever falls behind.
constexpr std::size_t kPendingLimit = 1000;

double seconds_of(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

bool plain_ascii(char c) { return static_cast<unsigned char>(c) < 0x80; }

}  // namespace

int alarm_item_number(const std::string& text) {
    for (std::size_t start = 0; start < text.size(); ++start) {
        if (text[start] < '0' || text[start] > '9') continue;
        std::size_t end = start;
        while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
        const bool between_words = start > 0 && !plain_ascii(text[start - 1]) && end < text.size() &&
                                   !plain_ascii(text[end]) && end - start <= 6;
        if (between_words) return std::stoi(text.substr(start, end - start));
        start = end;
    }
    return -1;
}

SiteOutputs::SiteOutputs(Setup setup) : setup_(std::move(setup)) {
    for (const SystemUnits& system : setup_.systems) {
        systems_[system.system].lastRound = started_;
        alarmBooks_[system.system];
    }
    if (!setup_.mqtt.host.empty()) mqtt_ = std::make_unique<MqttOutput>(setup_.mqtt, setup_.systems, setup_.report);
    worker_ = std::thread([this] { run(); });
}

SiteOutputs::~SiteOutputs() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    worker_.join();
}

void SiteOutputs::on_round(const std::shared_ptr<const CompletedRound>& completed) {
    const auto book = alarmBooks_.find(completed->system);
    if (book == alarmBooks_.end()) return;
    Round round;
    round.round = completed;
    round.time = iso_local_time(completed->endedAt);
    round.changedAlarms = changed_alarms(book->second, completed->system, completed->checks, round.time);
    bool startedDropping = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (pending_.size() >= kPendingLimit) {
            pending_.pop_front();
            startedDropping = !droppingRounds_;
            droppingRounds_ = true;
        }
        pending_.push_back(std::move(round));
    }
    wake_.notify_one();
    if (startedDropping && setup_.report)
        setup_.report(Level::Warn, "outputs: " + std::to_string(kPendingLimit) +
                                       " rounds waiting for MQTT and the metrics file: dropping the oldest");
}

void SiteOutputs::run() {
    Clock::time_point tick = Clock::now();
    for (;;) {
        std::deque<Round> batch;
        bool stop = false;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait_until(lock, tick, [this] { return stopping_ || !pending_.empty(); });
            batch.swap(pending_);
            droppingRounds_ = false;
            stop = stopping_;
        }
        for (Round& round : batch) process(round);
        const Clock::time_point now = Clock::now();
        check_availability(now);
        if (now >= tick || stop) {
            write_metrics(now);
            tick = now + kTick;
        }
        if (stop) break;
    }
    mqtt_.reset();  // marks the systems offline
}

void SiteOutputs::update_unit(UnitState& unit, const Round& round, const RoundUnit& image) const {
    unit.system = round.round->system;
    unit.unit = image.unit;
    unit.record = image.record;
    unit.kind = record_kind(image.record);
    unit.round = round.round->number;
    unit.time = round.time;
    unit.ok = image.decoded.ok;
    unit.from = round.round;
    unit.image = &image;
    if (!setup_.metricsFile.empty()) unit.valueLines = metric_value_lines(unit);
}

void SiteOutputs::process(Round& round) {
    const CompletedRound& completed = *round.round;
    const auto found = systems_.find(completed.system);
    if (found == systems_.end()) return;
    SystemState& system = found->second;
    system.counts = completed.counts;
    system.lastRound = completed.done;
    system.staleAfter = completed.staleAfter;
    for (const RoundUnit& image : completed.units) {
        UnitState& unit = system.units[image.unit];
        update_unit(unit, round, image);
        if (mqtt_) mqtt_->publish_unit(unit);
    }
    for (AlarmState& alarm : round.changedAlarms) {
        if (mqtt_) alarm.gone ? mqtt_->remove_alarm(alarm) : mqtt_->publish_alarm(alarm);
        AlarmId id{alarm.unit, alarm.key, alarm.number};
        if (alarm.active() && !alarm.gone) {
            activeAlarms_[std::move(id)] = std::move(alarm);
        } else {
            activeAlarms_.erase(id);
        }
    }
    if (mqtt_) mqtt_->end_round(completed.system);
    if (system.online) return;
    system.online = true;
    if (mqtt_) mqtt_->set_available(completed.system, true);
    if (system.wentStale && setup_.report)
        setup_.report(Level::Info,
                      "power system " + std::to_string(completed.system) + ": rounds complete again: online");
}

// A check is known by its unit, key and the number its text names. Once a unit's round no
// longer checks one that has cleared (an input, fuse or module the unit lost), it is gone. One
// still active stays as it stands: the device may skip a check for a round.
std::vector<AlarmState> SiteOutputs::changed_alarms(AlarmBook& book, unsigned system,
                                                    const std::vector<RoundAlarm>& checks, const std::string& time) {
    std::vector<AlarmState> changes;
    const std::uint64_t round = ++book.round;
    std::vector<unsigned>& units = book.checkedUnits;
    units.clear();
    for (const RoundAlarm& check : checks) {
        if (units.empty() || units.back() != check.unit) units.push_back(check.unit);
        auto [it, added] = book.alarms.try_emplace(AlarmId{check.unit, check.key, alarm_item_number(check.text)});
        it->second.checkedIn = round;
        AlarmState& alarm = it->second.state;
        const bool changed = added || alarm.state != check.state || alarm.text != check.text ||
                             alarm.code != check.code || alarm.level != check.level;
        if (!changed) continue;
        alarm.system = system;
        alarm.unit = check.unit;
        alarm.number = std::get<2>(it->first);
        copy_alarm_facts(check, alarm);
        alarm.multiState = check.multiState;
        alarm.changed = time;
        changes.push_back(alarm);
    }
    for (auto it = book.alarms.begin(); it != book.alarms.end();) {
        const BookedAlarm& booked = it->second;
        const bool unitChecked = std::find(units.begin(), units.end(), booked.state.unit) != units.end();
        if (booked.checkedIn == round || !unitChecked || booked.state.active()) {
            ++it;
            continue;
        }
        AlarmState& gone = changes.emplace_back(booked.state);
        gone.gone = true;
        gone.changed = time;
        it = book.alarms.erase(it);
    }
    return changes;
}

void SiteOutputs::check_availability(Clock::time_point now) {
    for (auto& [id, system] : systems_) {
        if (!system.online || now - system.lastRound <= system.staleAfter) continue;
        system.online = false;
        system.wentStale = true;
        if (mqtt_) mqtt_->set_available(id, false);
        if (setup_.report)
            setup_.report(Level::Warn, "power system " + std::to_string(id) + ": no complete round for " +
                                           std::to_string(static_cast<long long>(seconds_of(now - system.lastRound))) +
                                           " s: offline");
    }
}

void SiteOutputs::write_metrics(Clock::time_point now) {
    if (setup_.metricsFile.empty()) return;
    MetricsView view;
    for (auto& [id, system] : systems_) {
        if (setup_.counts) system.counts = setup_.counts(id);
        MetricsView::System& entry = view.systems.emplace_back();
        entry.system = id;
        entry.counts = &system.counts;
        entry.secondsSinceRound = seconds_of(now - system.lastRound);
        entry.up = system.online;
        if (!system.online) continue;  // an offline system's values are no readings any more
        for (const auto& [unitId, unit] : system.units)
            if (unit.ok) entry.units.push_back(&unit);
    }
    for (const auto& [id, alarm] : activeAlarms_) view.activeAlarms.push_back(&alarm);
    if (setup_.history) view.history = setup_.history();
    if (mqtt_) view.mqttDropped = mqtt_->dropped();
    std::string error;
    try {
        write_file_atomically(setup_.metricsFile, metrics_text(view));
    } catch (const std::exception& e) {
        error = e.what();
    }
    if (error == metricsError_) return;
    metricsError_ = error;
    if (setup_.report)
        setup_.report(error.empty() ? Level::Info : Level::Warn,
                      error.empty() ? "metrics: " + setup_.metricsFile + " written again" : "metrics: " + error);
}

}  // namespace site

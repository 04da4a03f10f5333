#include "site/store/history_writer.h"

#include <algorithm>
#include <utility>

namespace site {
namespace {

// Old rows pruned after each round written: far more than a round adds, so pruning catches
// up, yet each batch holds the database only briefly.
constexpr std::size_t kPruneBatch = 20;
constexpr std::int64_t kDayMs = 86'400'000;

// Milliseconds before `now` where rows kept `days` days start to be old, no longer ago than
// `limit` days when that is set; 0 when they are kept for ever.
std::int64_t cut_at(std::int64_t now, unsigned days, unsigned limit) {
    const unsigned kept = limit == 0 ? days : days == 0 ? limit : std::min(days, limit);
    return kept == 0 ? 0 : now - std::int64_t{kept} * kDayMs;
}

std::string round_title(unsigned system, std::int64_t savedAtMs, std::size_t images) {
    return "the round of " + local_time_text(savedAtMs) + " of power system " + std::to_string(system) + " (" +
           std::to_string(images) + " images)";
}

}  // namespace

HistoryWriter::HistoryWriter(std::shared_ptr<HistoryStore> store, std::function<void(const std::string&)> report,
                             HistoryWriterOptions options)
    : store_(std::move(store)),
      report_(report ? std::move(report) : [](const std::string&) {}),
      options_(options),
      thread_([this] { run(); }) {}

HistoryWriter::~HistoryWriter() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void HistoryWriter::add_system(unsigned system, const std::vector<unsigned>& units) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const unsigned unit : units) systemOf_[unit] = system;
}

void HistoryWriter::save_image(unsigned device, int record, const unsigned char* image, std::size_t size) {
    const auto append = [&](Round& round, unsigned system) {
        round.system = system;
        round.bytes += size;
        round.images.push_back(UnitImage{device, record, std::vector<std::uint8_t>(image, image + size)});
    };
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = systemOf_.find(device);
    if (found != systemOf_.end()) {
        append(open_[found->second], found->second);
        return;
    }
    Round single;
    append(single, device);
    single.savedAtMs = now_ms();
    queue_round(std::move(single));
}

void HistoryWriter::end_round(unsigned system, std::int64_t savedAtMs, std::vector<AlarmChange> alarms) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = open_.find(system);
    if (found == open_.end()) return;
    Round round = std::move(found->second);
    open_.erase(found);
    round.savedAtMs = savedAtMs;
    round.alarms = std::move(alarms);
    queue_round(std::move(round));
}

// Called with the mutex held.
void HistoryWriter::queue_round(Round round) {
    waitingBytes_ += round.bytes;
    waiting_.push_back(std::move(round));
    while (waitingBytes_ > options_.maxWaitingBytes && waiting_.size() > 1) {
        const Round oldest = std::move(waiting_.front());
        waiting_.pop_front();
        waitingBytes_ -= oldest.bytes;
        give_up(oldest, "the rounds waiting to be saved exceed " + std::to_string(options_.maxWaitingBytes >> 20) +
                            " MiB (" + failure_ + ")");
    }
    wake_.notify_all();
}

// Called with the mutex held.
void HistoryWriter::give_up(const Round& round, const std::string& why) {
    failed_ += round.images.size();
    report_(round_title(round.system, round.savedAtMs, round.images.size()) + " is lost: " + why);
}

void HistoryWriter::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
        if (stopping_) break;
        Round round = std::move(waiting_.front());
        waiting_.pop_front();
        waitingBytes_ -= round.bytes;
        writing_ = true;
        lock.unlock();
        const std::string error = write(round);
        if (error.empty()) prune();
        lock.lock();
        writing_ = false;
        if (error.empty()) {
            saved_ += round.images.size();
            if (!failure_.empty()) {
                const auto waited = std::chrono::steady_clock::now() - failingSince_;
                report_("saving again after " +
                        std::to_string(std::chrono::duration_cast<std::chrono::seconds>(waited).count()) +
                        " s; the rounds kept meanwhile are saved");
                failure_.clear();
            }
        } else if (givingUp_) {
            give_up(round, error);
        } else {
            if (failure_.empty()) {
                report_("cannot save " + round_title(round.system, round.savedAtMs, round.images.size()) + " yet (" +
                        error + "); keeping the rounds and retrying");
                failingSince_ = std::chrono::steady_clock::now();
            }
            failure_ = error;
            waitingBytes_ += round.bytes;
            waiting_.push_front(std::move(round));
            wake_.wait_for(lock, options_.retryPause, [this] { return stopping_ || givingUp_; });
        }
        idle_.notify_all();
    }
    for (const Round& round : waiting_) failed_ += round.images.size();
    waiting_.clear();
    idle_.notify_all();
}

std::string HistoryWriter::write(const Round& round) {
    try {
        const std::string reopened = store_->reopen_if_gone();
        if (!reopened.empty()) report_(reopened);
        store_->save_round(round.images, round.savedAtMs, round.alarms);
        return {};
    } catch (const std::exception& e) {
        return e.what();
    }
}

// On the writer's thread only.
void HistoryWriter::prune() {
    const std::int64_t now = now_ms();
    RetentionCut cut;
    cut.imagesBeforeMs = cut_at(now, options_.keepDays, options_.imageDays);
    cut.samplesBeforeMs = cut_at(now, options_.keepDays, options_.sampleDays);
    cut.longTermBeforeMs = cut_at(now, options_.keepDays, 0);
    try {
        store_->prune(cut, kPruneBatch);
        pruneFailing_ = false;
    } catch (const std::exception& e) {
        if (!pruneFailing_) report_(std::string("pruning old history failed: ") + e.what());
        pruneFailing_ = true;
    }
}

bool HistoryWriter::flush(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    // Images of a round whose end never came (none in a normal run) are not left behind.
    for (auto& entry : open_) {
        entry.second.savedAtMs = now_ms();
        queue_round(std::move(entry.second));
    }
    open_.clear();
    const auto done = [this] { return waiting_.empty() && !writing_; };
    if (idle_.wait_for(lock, limit, done)) return true;
    givingUp_ = true;
    const std::string why = "not saved by the time the host stopped" + (failure_.empty() ? "" : " (" + failure_ + ")");
    for (const Round& round : waiting_) give_up(round, why);
    waiting_.clear();
    waitingBytes_ = 0;
    wake_.notify_all();
    idle_.wait(lock, done);
    givingUp_ = false;
    return false;
}

std::uint64_t HistoryWriter::saved() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return saved_;
}

std::uint64_t HistoryWriter::failed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return failed_;
}

}  // namespace site

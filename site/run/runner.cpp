#include "site/run/runner.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "site/host/host_access.h"
#include "site/host/image_layouts.h"
#include "site/host/link.h"
#include "site/host/plugin_loader.h"
#include "site/round/staleness.h"
#include "site/store/history_store.h"

namespace site {
namespace {

using Clock = std::chrono::steady_clock;

// How soon to ask again when the device declined to poll (it keeps its own spacing).
constexpr std::chrono::milliseconds kDeclinedRetry(100);
// How soon to look again when another power system on the same line holds it.
constexpr std::chrono::milliseconds kLineBusyRetry(10);

std::chrono::steady_clock::duration seconds(double s) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(s));
}

RoundAlarm alarm_of(const AlarmCheck& check) {
    RoundAlarm alarm;
    alarm.unit = check.device;
    copy_alarm_facts(check, alarm);
    alarm.multiState = check.multiState;
    alarm.change = check.change;
    return alarm;
}

std::string unit_title(const VRTVDevice& unit) { return unit.DeviceType() + " " + std::to_string(unit.DataId()); }

std::string hex_byte(std::uint8_t value) {
    std::string text = "0x";
    line::append_hex(text, value);
    return text;
}

// The class a refused frame is counted under.
const char* refusal_kind(line::FrameError error) {
    switch (error) {
        case line::FrameError::BadChecksum: return "CHKSUM";
        case line::FrameError::BadLengthChecksum: return "LCHKSUM";
        case line::FrameError::LengthMismatch:
        case line::FrameError::TooShort:
        case line::FrameError::Overlong: return "length";
        default: return "frame";
    }
}

std::string seconds_text(Clock::duration d) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", std::chrono::duration<double>(d).count());
    return text;
}

// The answer takes at least the wait that ran out. A kind answered before is waited for longer
// at once (each repeat at least half as long again, up to the ceiling), so that a late answer
// meets a repeat of its own request rather than the next kind's request. A kind never answered
// keeps the reply timeout.
void learn_timeout(line::AnswerTimer& timer, line::RequestKind kind, Clock::duration waited) {
    const std::vector<line::AnswerTimer::Learned> learned = timer.learned();
    if (std::none_of(learned.begin(), learned.end(), [kind](const auto& l) { return l.kind == kind; })) return;
    timer.late(kind, std::chrono::duration_cast<line::AnswerTimer::Duration>(waited));
}

}  // namespace

PowerSystem create_power_system(const PluginLibrary& plugin, const std::shared_ptr<Controller>& controller,
                                const SystemConfig& config) {
    PowerSystem system;
    system.device = plugin.create();
    system.protocol = dynamic_cast<PMBusProtocol*>(system.device.get());
    const std::string title = "power system " + std::to_string(config.dataId);
    if (system.protocol == nullptr) throw std::runtime_error(title + ": the plug-in's device is no protocol device");
    system.device->Init(controller, config.dataId, config.settings);
    if (!system.device->InitSetting(config.settings))
        throw std::runtime_error(title +
                                 ": the device refused its settings (check baud, address, "
                                 "protocol_version and rcSetting)");
    system.units = system.device->GetAllChildVDevices();
    if (system.units.empty() || !system.units.back())
        throw std::runtime_error(title + ": the device made no rectifier group");
    return system;
}

QuerySpec parse_query(const std::string& text) {
    const auto at = text.rfind('@');
    if (at == std::string::npos || at == 0 || at + 1 == text.size())
        throw std::invalid_argument("query \"" + text + "\" is not NAME@DATAID");
    const std::string id = text.substr(at + 1);
    if (id.find_first_not_of("0123456789") != std::string::npos || id.size() > 10 || std::stoull(id) > 0xFFFFFFFFull)
        throw std::invalid_argument("query \"" + text + "\": the data id must be a whole number");
    return QuerySpec{text.substr(0, at), static_cast<unsigned>(std::stoul(id))};
}

SystemRunner::SystemRunner(SystemConfig config, PowerSystem system, std::shared_ptr<Controller> controller,
                           std::shared_ptr<line::SerialTransport> line, Options options)
    : config_(std::move(config)),
      system_(std::move(system)),
      controller_(std::move(controller)),
      line_(std::move(line)),
      link_(std::make_shared<HostLink>(line_, config_.replyTimeout)),
      options_(std::move(options)) {
    HostLink::attach(*system_.protocol, link_);
    open_ = std::make_shared<CompletedRound>();
    if (config_.replyTimeoutAdaptive) {
        answerTimer_.emplace(line::AnswerTimer::limits_for(config_.replyTimeout));
        link_->wait_by(&*answerTimer_);
    }
    if (!options_.say)
        options_.say = [](Level level, const std::string& text, const std::string&) { console(level, text); };
    lastRoundEnd_ = Clock::now();
}

std::string SystemRunner::line_settings() const {
    PMBusProtocol& device = *system_.protocol;
    std::string text = "port " + config_.port;
    if (!line_->port().is_socket())
        text += " " + std::to_string(VRTHostAccess::baud_rate(device)) + " " + line::format_text(config_.format);
    text += ", address " + std::to_string(VRTHostAccess::address(device)) + ", reply timeout " +
            seconds_text(config_.replyTimeout);
    if (!answerTimer_) return text;
    const line::AnswerTimer::Limits limits = line::AnswerTimer::limits_for(config_.replyTimeout);
    return text + " until learned per request, then " + seconds_text(limits.floor) + " to " +
           seconds_text(limits.ceiling);
}

std::vector<line::AnswerTimer::Learned> SystemRunner::answer_times() const {
    return answerTimer_ ? answerTimer_->learned() : std::vector<line::AnswerTimer::Learned>();
}

std::string SystemRunner::answer_times_text() const {
    std::string text;
    for (const line::AnswerTimer::Learned& learned : answer_times()) {
        text += text.empty() ? "answer times " : ", ";
        text += line::kind_text(learned.kind) + " " + seconds_text(learned.answer) + " (wait " +
                seconds_text(learned.wait) + ")";
    }
    return text;
}

LineCounts SystemRunner::line_counts() const {
    std::lock_guard<std::mutex> lock(countsMutex_);
    return counts_;
}

void SystemRunner::say(Level level, const std::string& text, const std::string& kind) const {
    const std::string system = "power system " + std::to_string(config_.dataId) + ": ";
    options_.say(level, system + text, kind.empty() ? kind : system + kind);
}

std::vector<unsigned> SystemRunner::data_ids() const {
    std::vector<unsigned> ids{config_.dataId};
    for (const auto& unit : system_.units)
        if (unit && unit->DataId() != config_.dataId) ids.push_back(unit->DataId());
    return ids;
}

VRTVDevice* SystemRunner::find(unsigned dataId) const {
    for (const auto& unit : system_.units)
        if (unit && unit->DataId() == dataId) return unit.get();
    return dataId == config_.dataId ? system_.device.get() : nullptr;
}

std::vector<std::string> SystemRunner::restore(const HistoryStore& store) {
    std::vector<std::string> lines;
    for (const auto& unit : system_.units) {
        if (!unit) continue;
        const std::string title = unit_title(*unit);
        try {
            const auto stored = store.newest(unit->DataId());
            if (!stored) {
                lines.push_back(title + ": no saved image");
                continue;
            }
            const bool loaded = unit->LoadFromCache(stored->image.data(), static_cast<int>(stored->image.size()));
            lines.push_back(title + (loaded ? ": restored from " : ": refused ") + "the image of " +
                            local_time_text(stored->savedAtMs) + " (record " + std::to_string(stored->record) + ", " +
                            std::to_string(stored->image.size()) + " bytes)");
        } catch (const std::exception& e) {
            lines.push_back(title + ": history unreadable: " + e.what());
        }
    }
    return lines;
}

std::vector<Event> SystemRunner::ask_queries() {
    std::vector<Event> answers;
    for (const QuerySpec& query : options_.queries) {
        const VRTVDevice* unit = find(query.dataId);
        if (unit == nullptr) continue;
        Event event;
        event.kind = EventKind::Query;
        event.device = query.dataId;
        event.key = query.name;
        try {
            event.value = unit->Get_Value(query.dataId, query.name);
            event.text = float_text(event.value);
        } catch (const std::exception& e) {
            event.failed = true;
            event.text = e.what();
        }
        controller_->emit(event);
        answers.push_back(std::move(event));
    }
    return answers;
}

int SystemRunner::poll_fd() const {
    if (finished_ || lineDown_ || restDue_ || !line_is_ours()) return -1;
    return line_->port().fd();
}

SystemRunner::Clock::time_point SystemRunner::wake_at() const {
    if (finished_) return Clock::time_point::max();
    if (settling_) return settleUntil_;
    const Clock::time_point due = link_->awaiting() ? link_->deadline() : nextPoll_;
    return restDue_ ? std::min(due, *restDue_) : due;
}

std::uint64_t SystemRunner::timeouts() const { return link_->timeouts(); }

void SystemRunner::step(Clock::time_point now, short revents) {
    bool reading = false;
    if (settling_) {
        settle(now, revents);
    } else {
        // The hold ends when the rest is due, or at the reply deadline: what came by then counts.
        const bool restDue = restDue_ && now >= wake_at();
        if (restDue) restDue_.reset();
        reading = revents != 0 || restDue;
        if (reading) read_answers();
    }
    // A hang-up with nothing to read: leave the line alone until the next request.
    if ((revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 && (revents & POLLIN) == 0) lineDown_ = true;
    // A connection closed while reading is told now, not at the next request.
    if (revents != 0 && !line_->port().is_open()) report_line(line_->last_error());
    if (roundEnded_) finish_round(now);
    expire_request(now);
    poll_device(now);
    if (reading) hold_for_rest_of_frame(now);
    watch_progress(now);
    release_line();
}

// An answer may still come after the reply timeout. Asking again at once would pair it with
// the new request, so the line has to stay quiet for the settle time first.
void SystemRunner::expire_request(Clock::time_point now) {
    // A held answer has answered the request.
    if (heldAnswer_ || !link_->expire(*system_.protocol, now)) return;
    // Nothing is sent while the request waits, so the last send was this request's.
    const bool unsent = !line_->last_send_ok();
    afterTimeout_ = link_->sent() + 1;
    timedOutKind_ = link_->last_kind();
    timedOutSentAt_ = link_->sent_at();
    if (answerTimer_ && !unsent) learn_timeout(*answerTimer_, *timedOutKind_, link_->deadline() - timedOutSentAt_);
    {
        std::lock_guard<std::mutex> lock(countsMutex_);
        ++(unsent ? counts_.unsent : counts_.replyTimeouts);
    }
    restDue_.reset();
    settling_ = true;
    settleUntil_ = now + config_.settle;
    settleBytes_ = 0;
}

void SystemRunner::settle(Clock::time_point now, short revents) {
    if ((revents & POLLIN) != 0) {
        const std::size_t bytes = line_->discard_input();
        if (bytes > 0) {
            settleBytes_ += bytes;
            settleUntil_ = now + config_.settle;
            if (!heldAnswer_) lateAnswerAt_ = now;
        }
    }
    if (now < settleUntil_) return;
    const std::size_t last = line_->discard_input();
    if (last > 0 && !heldAnswer_) lateAnswerAt_ = now;
    settleBytes_ += last;
    settling_ = false;
    if (settleBytes_ > 0) note_discard(settleBytes_, "late answer");
    learn_late_answer();
    if (!heldAnswer_) return;
    const line::Answer answer = std::move(*heldAnswer_);
    heldAnswer_.reset();
    hand_on(answer);
}

// At the end of a settle time: the request that timed out was answered late when input came
// in the settle time that followed it, or when its repeat brought two answers (the first then
// answered the request that timed out). Its kind is waited for longer from then on, up to the
// ceiling. One answer to the repeat tells nothing: the first answer may have been lost.
void SystemRunner::learn_late_answer() {
    if (!timedOutKind_) return;
    // A quiet settle time after the timeout: the repeat's answers are still to tell.
    if (!heldAnswer_ && settleBytes_ == 0) return;
    const bool late = settleBytes_ > 0 && (!heldAnswer_ || link_->last_kind() == *timedOutKind_);
    if (late && answerTimer_)
        answerTimer_->late(*timedOutKind_,
                           std::chrono::duration_cast<line::AnswerTimer::Duration>(lateAnswerAt_ - timedOutSentAt_));
    timedOutKind_.reset();
}

void SystemRunner::learn_answer_time() {
    if (!answerTimer_) return;
    answerTimer_->answered(link_->last_kind(),
                           std::chrono::duration_cast<line::AnswerTimer::Duration>(Clock::now() - link_->sent_at()));
}

void SystemRunner::note_discard(std::size_t bytes, const char* reason) {
    if (bytes == 0) return;
    {
        std::lock_guard<std::mutex> lock(countsMutex_);
        counts_.discardedBytes += bytes;
        if (std::string(reason) == "late answer") ++counts_.lateAnswers;
    }
    Event event;
    event.kind = EventKind::Discard;
    event.device = config_.dataId;
    event.text = reason;
    event.count = bytes;
    controller_->emit(event);
}

void SystemRunner::hold_for_rest_of_frame(Clock::time_point now) {
    // A new request drops the partial frame, so this looks at what is left after poll_device().
    const auto rest = line_->rest_of_frame();
    // A held answer waits for the line to fall quiet: what arrives meanwhile is counted, not awaited.
    if (link_->awaiting() && !heldAnswer_ && rest.count() > 0) {
        restDue_ = now + rest;
    } else {
        restDue_.reset();
    }
}

void SystemRunner::read_answers() {
    const std::vector<line::Received> batch = line_->receive(std::chrono::milliseconds(0));
    for (std::size_t i = 0; i < batch.size(); ++i) {
        // An answer that made the device send its next request: whatever came in with it was
        // on the line before that request and cannot answer it.
        if (handle(batch[i]) && link_->awaiting()) {
            for (++i; i < batch.size(); ++i)
                reject(batch[i], "arrived before the request it would answer", "unexpected");
        }
    }
    note_discard(line_->take_discarded(), "unread input");
}

bool SystemRunner::handle(const line::Received& received) {
    // Read with the answer now held: more of what the line brings while it must fall quiet.
    if (heldAnswer_) {
        settleBytes_ += received.ok() ? line::encode(received.answer).size() : 1;
        return false;
    }
    if (!received.ok()) return reject(received, to_string(received.error), refusal_kind(received.error));
    if (!link_->awaiting()) return reject(received, "no request outstanding", "unexpected");
    const line::Answer& answer = received.answer;
    if (skip_echo(answer)) return false;
    if (config_.echo == EchoMode::Required && echoFor_ != link_->sent())
        return reject(received, "answer before the line's echo of the request", "no echo");
    const std::uint8_t address = VRTHostAccess::address(*system_.protocol);
    if (answer.adr != address)
        return reject(received, "answer from address " + std::to_string(answer.adr), "wrong address");
    const std::uint8_t asked = link_->last_request().cid1;
    if (answer.cid1 != asked)
        return reject(received, "answer for CID1 " + hex_byte(answer.cid1) + " to a request for " + hex_byte(asked),
                      "wrong CID1");
    // An error code ends the exchange at once: counted by its code, reported and not handed on
    // (HostLink::deliver); the next poll asks again without waiting out the reply timeout. A line
    // that echoes requests unannounced brings the request back with its CID2 as RTN: that is left.
    if (answer.rtn != 0) {
        if (is_echo_of(answer, link_->last_request()))
            return reject(received, "return code not normal", "RTN " + hex_byte(answer.rtn));
        ++rejected_;
        count_refusal("RTN " + hex_byte(answer.rtn));
        link_->deliver(*system_.protocol, answer);
        return false;
    }
    if (link_->sent() == afterTimeout_) {
        hold_answer(answer);
        return false;
    }
    learn_answer_time();
    hand_on(answer);
    return true;
}

void SystemRunner::hand_on(const line::Answer& answer) {
    const std::uint64_t roundsBefore = link_->rounds();
    link_->deliver(*system_.protocol, answer);
    if (link_->rounds() != roundsBefore) roundEnded_ = true;
}

// The answer to the request sent after a reply timeout. The device may answer the request before
// it late and this one too, or this one twice; handed on at once, the next request would be taken
// for answered by what follows. So the next request waits: the answer is handed on once the line
// has been quiet for the settle time, and what comes meanwhile is a late answer, dropped.
void SystemRunner::hold_answer(const line::Answer& answer) {
    heldAnswer_ = answer;
    lateAnswerAt_ = Clock::now();
    afterTimeout_ = 0;
    restDue_.reset();
    settling_ = true;
    settleUntil_ = Clock::now() + config_.settle;
    settleBytes_ = 0;
}

bool SystemRunner::skip_echo(const line::Answer& answer) {
    if (config_.echo == EchoMode::Off || echoFor_ == link_->sent()) return false;
    if (!line::is_echo_of(answer, link_->last_request())) return false;
    echoFor_ = link_->sent();
    std::lock_guard<std::mutex> lock(countsMutex_);
    ++counts_.echoesSkipped;
    return true;
}

void SystemRunner::count_refusal(const std::string& kind) {
    std::lock_guard<std::mutex> lock(countsMutex_);
    ++counts_.refused[kind];
}

bool SystemRunner::reject(const line::Received& received, const std::string& reason, const std::string& kind) {
    ++rejected_;
    count_refusal(kind);
    Event event;
    event.kind = EventKind::Rejected;
    event.device = config_.dataId;
    if (received.headerRead) {
        event.cid1 = received.answer.cid1;
        event.rtn = received.answer.rtn;
    }
    event.text = reason;
    controller_->emit(event);
    return false;
}

bool SystemRunner::line_is_ours() const {
    const void* holder = line_->holder();
    return holder == nullptr || holder == this;
}

// Between a request and the end of its answer or settle time the line is this system's
// (unless it gave up: then it never asks again).
void SystemRunner::release_line() {
    if (line_->holder() == this && (finished_ || (!link_->awaiting() && !settling_))) line_->hold(nullptr);
}

void SystemRunner::poll_device(Clock::time_point now) {
    if (finished_ || roundEnded_ || settling_ || link_->awaiting() || now < nextPoll_) return;
    if (!line_is_ours()) {
        nextPoll_ = now + kLineBusyRetry;
        return;
    }
    line_->hold(this);
    const std::uint64_t roundsBefore = link_->rounds();
    link_->poll(*system_.protocol);
    note_discard(line_->take_discarded(), "unread input");
    // The device gave up on the last step of its round: the round ended in the poll.
    if (link_->rounds() != roundsBefore) {
        finish_round(now);
        return;
    }
    if (!link_->awaiting()) {
        nextPoll_ = now + kDeclinedRetry;
        return;
    }
    lineDown_ = false;
    report_line_state();
    if (!inRound_) {
        inRound_ = true;
        roundStarted_ = now;
    }
}

void SystemRunner::report_line_state() { report_line(line_->last_send_ok() ? std::string() : line_->last_error()); }

// Tells once when the line fails (with the reason) and once when it works again.
void SystemRunner::report_line(const std::string& state) {
    if (state == lineError_) return;
    Event event;
    event.kind = EventKind::Line;
    event.device = config_.dataId;
    event.text = state.empty() ? "line working again" : "line failed: " + state;
    lineError_ = state;
    controller_->emit(event);
    // A failure is one kind whatever its reason: a line that fails on and off tells its reasons
    // once each, not every time they take turns.
    say(state.empty() ? Level::Info : Level::Error, event.text, state.empty() ? "" : "line failed");
}

void SystemRunner::watch_progress(Clock::time_point now) {
    if (finished_) return;
    const Clock::duration quiet = now - lastRoundEnd_;
    const bool stalled = !stallReported_ && quiet >= stale_after(config_, lastRoundTook_);
    const bool givingUp = options_.roundLimit != 0 && config_.giveUp > 0 && quiet >= seconds(config_.giveUp);
    if (!stalled && !givingUp) return;
    const std::string counts = (line_counts() - countsAtRoundEnd_).text();
    if (stalled) {
        stallReported_ = true;
        const auto whole = std::chrono::duration_cast<std::chrono::seconds>(quiet).count();
        say(Level::Warn, "no complete round for " + std::to_string(whole) + " s: " + counts);
    }
    if (givingUp) {
        char limit[32];
        std::snprintf(limit, sizeof limit, "%g", config_.giveUp);
        gaveUp_ = "no complete round in " + std::string(limit) + " s: " + counts;
        say(Level::Error, gaveUp_);
        finished_ = true;
    }
}

void SystemRunner::report_answer_times() {
    if (!answerTimer_ || !controller_->observed(EventKind::AnswerTimes)) return;
    Event times;
    times.kind = EventKind::AnswerTimes;
    times.device = config_.dataId;
    times.answerTimes = answerTimer_->learned();
    controller_->emit(times);
}

void SystemRunner::take_image(unsigned unit, int record, const unsigned char* image, std::size_t size) {
    RoundUnit& taken = open_->units.emplace_back();
    taken.unit = unit;
    taken.record = record;
    taken.image.assign(image, image + size);
}

void SystemRunner::take_check(const AlarmCheck& check) {
    if (check.change != AlarmCheck::Change::None) open_->transitions.push_back(alarm_of(check));
    if (options_.keepChecks) open_->checks.push_back(alarm_of(check));
}

void SystemRunner::count_log(const char* format) {
    if (std::strstr(format, "ProcotolError") == nullptr) return;
    std::lock_guard<std::mutex> lock(countsMutex_);
    ++counts_.protocolErrors[format];
}

SystemCounts SystemRunner::counts() const {
    LineCounts line = line_counts();
    SystemCounts counts;
    counts.rounds = rounds_;
    counts.replyTimeouts = line.replyTimeouts;
    counts.unsent = line.unsent;
    counts.lateAnswers = line.lateAnswers;
    counts.refusedByReason = std::move(line.refused);
    counts.answerTimes = answer_times();
    return counts;
}

void SystemRunner::close_round(Clock::time_point now) {
    std::shared_ptr<CompletedRound> round = std::move(open_);
    open_ = std::make_shared<CompletedRound>();
    round->system = config_.dataId;
    round->number = rounds_;
    round->took = now - roundStarted_;
    round->done = now;
    round->endedAt = std::chrono::system_clock::now();
    round->staleAfter = stale_after(config_, round->took);
    for (RoundUnit& unit : round->units) decode_unit(unit);
    round->queries = ask_queries();
    round->counts = counts();
    if (options_.onRound) options_.onRound(round);
}

void SystemRunner::finish_round(Clock::time_point now) {
    roundEnded_ = false;
    inRound_ = false;
    ++rounds_;
    if (config_.minRoundGap > 0)
        VRTHostAccess::last_update(*system_.device) = boost::posix_time::second_clock::local_time();
    if (config_.trustDataflag) VRTHostAccess::data_valid(*system_.device) = true;
    nextPoll_ = std::max(now + seconds(config_.minRoundGap), roundStarted_ + seconds(config_.pollInterval));

    Event round;
    round.kind = EventKind::Round;
    round.device = config_.dataId;
    controller_->emit(round);
    report_answer_times();

    lastRoundTook_ = now - roundStarted_;
    lastRoundEnd_ = now;
    countsAtRoundEnd_ = line_counts();
    stallReported_ = false;
    close_round(now);
    if (options_.roundLimit != 0 && rounds_ >= options_.roundLimit) finished_ = true;
}

bool EventLoop::run(int stopFd) {
    std::vector<pollfd> fds;
    std::vector<SystemRunner*> polled;
    for (;;) {
        fds.assign(1, pollfd{stopFd, POLLIN, 0});
        polled.clear();
        Clock::time_point wake = Clock::time_point::max();
        for (SystemRunner* runner : runners_) {
            if (runner->finished()) continue;
            wake = std::min(wake, runner->wake_at());
            const int fd = runner->poll_fd();
            if (fd < 0) continue;
            fds.push_back(pollfd{fd, POLLIN, 0});
            polled.push_back(runner);
        }
        if (wake == Clock::time_point::max() && polled.empty()) return false;
        const auto now = Clock::now();
        const auto wait =
            wake <= now ? std::chrono::milliseconds(0) : std::chrono::ceil<std::chrono::milliseconds>(wake - now);
        const int timeout = static_cast<int>(std::min<std::chrono::milliseconds::rep>(wait.count(), 1000));
        if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) throw std::runtime_error("poll failed");
        if ((fds[0].revents & POLLIN) != 0) return true;
        const auto after = Clock::now();
        std::size_t next = 1;
        for (SystemRunner* runner : runners_) {
            if (runner->finished()) continue;
            short revents = 0;
            if (next < fds.size() && polled[next - 1] == runner) revents = fds[next++].revents;
            if (revents != 0 || after >= runner->wake_at()) runner->step(after, revents);
        }
    }
}

}  // namespace site

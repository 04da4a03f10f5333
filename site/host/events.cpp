#include "site/host/events.h"

namespace site {

std::string LogValue::str() const {
    switch (kind) {
        case Kind::Unsigned: return std::to_string(u);
        case Kind::Signed: return std::to_string(i);
        case Kind::Text: return s;
    }
    return {};
}

std::vector<std::string> Event::arg_texts() const {
    std::vector<std::string> texts;
    texts.reserve(args.size());
    for (const LogValue& arg : args) texts.push_back(arg.str());
    return texts;
}

const char* to_string(EventKind kind) {
    switch (kind) {
        case EventKind::Request: return "tx";
        case EventKind::Answer: return "rx";
        case EventKind::Rejected: return "rejected";
        case EventKind::Timeout: return "timeout";
        case EventKind::Reset: return "reset";
        case EventKind::Publish: return "publish";
        case EventKind::History: return "history";
        case EventKind::Alarm: return "alarm";
        case EventKind::AlertMap: return "alarm";
        case EventKind::Raised: return "raised";
        case EventKind::Cleared: return "cleared";
        case EventKind::Batch: return "batch";
        case EventKind::Log: return "log";
        case EventKind::Query: return "query";
        case EventKind::WorkError: return "work_error";
        case EventKind::Round: return "round";
        case EventKind::Line: return "line";
        case EventKind::Discard: return "discard";
        case EventKind::Trace: return "trace";
        case EventKind::Output: return "output";
        case EventKind::AnswerTimes: return "answer_times";
    }
    return "unknown";
}

void Recorder::on_event(const Event& event) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(event);
}

std::vector<Event> Recorder::events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

std::vector<Event> Recorder::of(EventKind kind) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Event> picked;
    for (const Event& event : events_)
        if (event.kind == kind) picked.push_back(event);
    return picked;
}

std::size_t Recorder::count(EventKind kind) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t n = 0;
    for (const Event& event : events_) n += event.kind == kind ? 1 : 0;
    return n;
}

void Recorder::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
}

void Fanout::add(std::shared_ptr<Observer> observer) { observers_.push_back(std::move(observer)); }

void Fanout::on_event(const Event& event) {
    for (const auto& observer : observers_)
        if (observer->wants(event.kind)) observer->on_event(event);
}

bool Fanout::wants(EventKind kind) const {
    for (const auto& observer : observers_)
        if (observer->wants(kind)) return true;
    return false;
}

}  // namespace site

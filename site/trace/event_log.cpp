#include "site/trace/event_log.h"

#include <chrono>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "site/host/image_layouts.h"
#include "site/host/json_text.h"

namespace site {
namespace {

// Members in the order given; each value written by jsoncpp, so texts are escaped properly.
class OrderedObject {
public:
    OrderedObject& add(const char* key, Json::Value value) {
        members_.emplace_back(key, std::move(value));
        return *this;
    }

    std::string str(Json::StreamWriter& writer) const {
        std::ostringstream out;
        out << '{';
        for (std::size_t i = 0; i < members_.size(); ++i) {
            if (i > 0) out << ',';
            out << '"' << members_[i].first << "\":";
            writer.write(members_[i].second, &out);
        }
        out << '}';
        return out.str();
    }

private:
    std::vector<std::pair<const char*, Json::Value>> members_;
};

Json::Value log_args(const Event& event) {
    Json::Value args(Json::arrayValue);
    for (const LogValue& arg : event.args) {
        switch (arg.kind) {
            case LogValue::Kind::Unsigned: args.append(Json::Value(static_cast<Json::UInt64>(arg.u))); break;
            case LogValue::Kind::Signed: args.append(Json::Value(static_cast<Json::Int64>(arg.i))); break;
            case LogValue::Kind::Text: args.append(Json::Value(arg.s)); break;
        }
    }
    return args;
}

void add_alarm(OrderedObject& line, const Event& event) {
    line.add("device", event.device)
        .add("level", event.level)
        .add("key", event.key)
        .add("code", event.code)
        .add("name", event.name)
        .add("text", event.text);
    if (event.kind == EventKind::AlertMap) {
        line.add("state", event.state);
    } else {
        line.add("active", event.active);
    }
    line.add("seq", event.seq);
}

// Whole milliseconds: the estimates are no finer.
double seconds_of(line::AnswerTimer::Duration d) {
    return static_cast<double>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count()) / 1000;
}

// {"42/44":{"answer":0.213,"wait":0.375},…}: seconds per request kind.
Json::Value answer_times(const Event& event) {
    Json::Value times(Json::objectValue);
    for (const line::AnswerTimer::Learned& learned : event.answerTimes) {
        Json::Value& kind = times[line::kind_text(learned.kind)];
        kind["answer"] = seconds_of(learned.answer);
        kind["wait"] = seconds_of(learned.wait);
    }
    return times;
}

}  // namespace

std::optional<std::string> event_line(const Event& event, Json::StreamWriter& writer) {
    OrderedObject line;
    line.add("event", to_string(event.kind));
    switch (event.kind) {
        case EventKind::Request:
            line.add("cid1", event.cid1).add("cid2", event.cid2).add("info", hex_text(event.bytes));
            break;
        case EventKind::Answer:
            line.add("cid1", event.cid1).add("rtn", event.rtn).add("info", hex_text(event.bytes));
            break;
        case EventKind::Reset: break;
        case EventKind::Publish:
        case EventKind::History:
            line.add("device", event.device).add("record", event.record).add("image", hex_text(event.bytes));
            break;
        case EventKind::Alarm:
        case EventKind::AlertMap: add_alarm(line, event); break;
        case EventKind::Log:
            line.add("device", event.device).add("format", event.format).add("args", log_args(event));
            break;
        case EventKind::Query:
            line.add("device", event.device).add("name", event.key);
            if (event.failed) {
                line.add("error", event.text);
            } else {
                line.add("value", float_json(event.value));
            }
            break;
        case EventKind::Line: line.add("device", event.device).add("text", event.text); break;
        case EventKind::Discard:
            line.add("device", event.device)
                .add("reason", event.text)
                .add("bytes", static_cast<Json::UInt64>(event.count));
            break;
        case EventKind::Trace: line.add("text", event.text); break;
        case EventKind::Output: line.add("text", event.text); break;
        case EventKind::AnswerTimes: line.add("device", event.device).add("seconds", answer_times(event)); break;
        default: return std::nullopt;
    }
    return line.str(writer);
}

namespace {

std::string dropped_line(std::uint64_t count) {
    return "{\"event\":\"dropped\",\"count\":" + std::to_string(count) + "}";
}

}  // namespace

EventLog::EventLog(const std::string& path, std::size_t capacity) : file_(path, capacity, dropped_line) {}

void EventLog::on_event(const Event& event) {
    // Events come from the polling threads, the work queue and the trace reader at once.
    thread_local const std::unique_ptr<Json::StreamWriter> writer = make_line_writer();
    std::optional<std::string> line = event_line(event, *writer);
    if (line && file_.append(std::move(*line))) ++lines_;
}

}  // namespace site

#include "site/outputs/metrics_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "site/host/image_layouts.h"

namespace site {
namespace {

// A label value with backslash, double quote and line feed escaped.
std::string label_value(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

class Exposition {
public:
    // Starts a metric family: its help and type lines.
    Exposition& family(const char* name, const char* type, const char* help) {
        name_ = name;
        out_ += std::string("# HELP ktr40e_") + name + " " + help + "\n# TYPE ktr40e_" + name + " " + type + "\n";
        return *this;
    }
    Exposition& label(const char* name, const std::string& value) {
        labels_ += std::string(labels_.empty() ? "" : ",") + name + "=\"" + label_value(value) + "\"";
        return *this;
    }
    Exposition& label(const char* name, std::uint64_t value) { return label(name, std::to_string(value)); }
    void sample(const std::string& value) {
        out_ += "ktr40e_" + name_ + (labels_.empty() ? "" : "{" + labels_ + "}") + " " + value + "\n";
        labels_.clear();
    }
    void sample(std::uint64_t value) { sample(std::to_string(value)); }
    void append(const std::string& lines) { out_ += lines; }
    void reserve(std::size_t size) { out_.reserve(size); }
    const std::string& text() const { return out_; }

private:
    std::string out_;
    std::string name_;
    std::string labels_;
};

std::string seconds_text(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", seconds);
    return text;
}

std::string seconds_text(line::AnswerTimer::Duration d) {
    return seconds_text(std::chrono::duration<double>(d).count());
}

void value_samples(Exposition& out, const MetricsView& view) {
    for (std::size_t family = 0; family < kValueMetricCount; ++family) {
        const ValueMetricInfo& info = value_metric(static_cast<ValueMetric>(family));
        out.family(info.name, "gauge", info.help);
        for (const MetricsView::System& system : view.systems)
            for (const UnitState* unit : system.units) out.append(unit->valueLines[family]);
    }
}

// One gauge family of the learned answer times, a sample per system and request kind.
template <class Member>
void learned_times(Exposition& out, const MetricsView& view, const char* name, const char* help, Member member) {
    out.family(name, "gauge", help);
    for (const auto& s : view.systems)
        for (const auto& learned : s.counts->answerTimes)
            out.label("system", s.system)
                .label("request", line::kind_text(learned.kind))
                .sample(seconds_text(learned.*member));
}

void system_counters(Exposition& out, const MetricsView& view) {
    out.family("rounds_total", "counter", "Complete polling rounds.");
    for (const auto& s : view.systems) out.label("system", s.system).sample(s.counts->rounds);
    out.family("reply_timeouts_total", "counter", "Requests that got no answer within the reply timeout.");
    for (const auto& s : view.systems) out.label("system", s.system).sample(s.counts->replyTimeouts);
    out.family("unsent_requests_total", "counter", "Requests the line could not take (port not open, write failed).");
    for (const auto& s : view.systems) out.label("system", s.system).sample(s.counts->unsent);
    out.family("refused_answers_total", "counter", "Answers not handed to the device, by reason.");
    for (const auto& s : view.systems)
        for (const auto& [reason, count] : s.counts->refusedByReason)
            out.label("system", s.system).label("reason", reason).sample(count);
    out.family("late_answers_total", "counter", "Answers that came after their reply timeout and were dropped.");
    for (const auto& s : view.systems) out.label("system", s.system).sample(s.counts->lateAnswers);
    learned_times(out, view, "answer_seconds", "Answer time learned per request kind (CID1/CID2), smoothed.",
                  &line::AnswerTimer::Learned::answer);
    learned_times(out, view, "answer_wait_seconds", "How long the next request of each kind waits for its answer.",
                  &line::AnswerTimer::Learned::wait);
    out.family("last_round_age_seconds", "gauge",
               "Seconds since the last complete round (since start before the first).");
    for (const auto& s : view.systems) out.label("system", s.system).sample(seconds_text(s.secondsSinceRound));
    out.family("up", "gauge", "1 while rounds complete, 0 once the system is offline or before its first round.");
    for (const auto& s : view.systems) out.label("system", s.system).sample(std::uint64_t{s.up ? 1u : 0u});
}

void host_counters(Exposition& out, const MetricsView& view) {
    out.family("images_saved_total", "counter", "Unit images saved as history.");
    out.sample(view.history.saved);
    out.family("images_failed_total", "counter", "Unit images that could not be saved.");
    out.sample(view.history.failed);
    if (view.mqttDropped) {
        out.family("mqtt_messages_dropped_total", "counter", "MQTT messages dropped while the broker was away.");
        out.sample(*view.mqttDropped);
    }
}

void alarm_samples(Exposition& out, const MetricsView& view) {
    out.family("alarm_active", "gauge", "One per active alarm: 1, or the state of a multi-state alarm.");
    for (const AlarmState* alarm : view.activeAlarms) {
        out.label("system", alarm->system).label("unit", alarm->unit).label("key", alarm->key);
        if (alarm->number >= 0) out.label("number", static_cast<std::uint64_t>(alarm->number));
        out.label("code", alarm->code).label("level", static_cast<std::uint64_t>(alarm->level));
        out.sample(static_cast<std::uint64_t>(alarm->multiState ? alarm->state : 1));
    }
}

[[noreturn]] void fail(const std::string& path, const std::string& what) {
    throw std::runtime_error(path + ": " + what + ": " + std::strerror(errno));
}

}  // namespace

std::array<std::string, kValueMetricCount> metric_value_lines(const UnitState& unit) {
    const std::string head =
        "{system=\"" + std::to_string(unit.system) + "\",unit=\"" + std::to_string(unit.unit) + "\"";
    std::array<std::string, kValueMetricCount> lines;
    for (const UnitValue& value : unit.values()) {
        if (!value.provided) continue;
        std::string& line = lines[static_cast<std::size_t>(value.metric)];
        line += "ktr40e_";
        line += value_metric(value.metric).name;
        line += head;
        if (value.setting()) {
            line += ",kind=\"";
            line += label_value(unit.kind);
            line += "\",name=\"";
            line += label_value(value.path);
            line += '"';
        } else if (*value.itemLabel != '\0') {
            line += ',';
            line += value.itemLabel;
            line += "=\"";
            line += std::to_string(value.index + 1);
            line += '"';
        }
        if (*value.phase != '\0') {
            line += ",phase=\"";
            line += value.phase;
            line += '"';
        }
        line += "} ";
        line += float_text(static_cast<float>(value.value));
        line += '\n';
    }
    return lines;
}

std::string metrics_text(const MetricsView& view) {
    Exposition out;
    std::size_t size = 4096 + 256 * view.activeAlarms.size();
    for (const MetricsView::System& system : view.systems) {
        for (const UnitState* unit : system.units)
            for (const std::string& lines : unit->valueLines) size += lines.size() + 200;
        size += 150 * system.counts->answerTimes.size();
    }
    out.reserve(size);
    value_samples(out, view);
    system_counters(out, view);
    host_counters(out, view);
    alarm_samples(out, view);
    return out.text();
}

void write_file_atomically(const std::string& path, const std::string& text) {
    const std::string temporary = path + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) fail(temporary, "cannot be written");
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            ::unlink(temporary.c_str());
            errno = error;
            fail(temporary, "write failed");
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) fail(temporary, "close failed");
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        errno = error;
        fail(path, "cannot be replaced");
    }
}

}  // namespace site

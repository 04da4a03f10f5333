#include "site/host/controller.h"

#include <algorithm>
#include <cstring>
#include <exception>

VRTController::~VRTController() = default;

// The plug-in's log calls arrive here through the weak reference in InfoLog.
extern "C" void vrt_controller_log(const VRTController* controller, const char* format, const VRTLogArg* args,
                                   unsigned count) {
    if (const auto* site = dynamic_cast<const site::Controller*>(controller)) site->log(format, args, count);
}

namespace site {
namespace {

void append_arg(std::string& out, const VRTLogArg& arg) {
    switch (arg.kind) {
        case VRTLogArg::Unsigned: out += std::to_string(arg.u); break;
        case VRTLogArg::Signed: out += std::to_string(arg.i); break;
        case VRTLogArg::Text: out += arg.s != nullptr ? arg.s : ""; break;
    }
}

LogValue to_value(const VRTLogArg& arg) {
    LogValue value;
    switch (arg.kind) {
        case VRTLogArg::Unsigned:
            value.kind = LogValue::Kind::Unsigned;
            value.u = arg.u;
            break;
        case VRTLogArg::Signed:
            value.kind = LogValue::Kind::Signed;
            value.i = arg.i;
            break;
        case VRTLogArg::Text:
            value.kind = LogValue::Kind::Text;
            value.s = arg.s != nullptr ? arg.s : "";
            break;
    }
    return value;
}

// One printf conversion ("%u", "%-5d", "%lx", "%s" ...) at `p`, its argument appended: the
// conversion letter picks hexadecimal for x and X, the argument's own kind does the rest.
// Returns the conversion's last character.
const char* append_printf_arg(std::string& out, const char* p, const VRTLogArg& arg) {
    const char* end = p + 1;
    while (*end != '\0' && std::strchr("-+ #0123456789.hlLqjzt", *end) != nullptr) ++end;
    if (*end == '\0') {
        out += p;
        return end - 1;
    }
    if ((*end == 'x' || *end == 'X') && arg.kind != VRTLogArg::Text) {
        char hex[24];
        unsigned long long value = arg.kind == VRTLogArg::Unsigned ? arg.u : static_cast<unsigned long long>(arg.i);
        // Without an "l" the argument was an int, as printf would have shown it.
        if (std::find(p, end, 'l') == end) value &= 0xFFFFFFFFull;
        std::snprintf(hex, sizeof hex, *end == 'x' ? "%llx" : "%llX", value);
        out += hex;
    } else {
        append_arg(out, arg);
    }
    return end;
}

}  // namespace

std::string render_log(const char* format, const VRTLogArg* args, unsigned count) noexcept try {
    std::string out;
    if (format == nullptr) return out;
    unsigned next = 0;
    for (const char* p = format; *p != '\0'; ++p) {
        if (p[0] == '{' && p[1] == '}' && next < count) {
            append_arg(out, args[next++]);
            ++p;
        } else if (p[0] == '%' && p[1] == '%') {
            out += '%';
            ++p;
        } else if (p[0] == '%' && next < count) {
            p = append_printf_arg(out, p, args[next++]);
        } else {
            out += *p;
        }
    }
    return out;
} catch (...) {
    return {};
}

AlarmBook::Change AlarmBook::check(unsigned device, const std::string& key, const std::string& code,
                                   const std::string& text, std::uint8_t state) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::uint8_t& current = states_[std::make_tuple(device, key, code, text)];
    const std::uint8_t before = current;
    current = state;
    if ((before == 0) == (state == 0)) return Change::None;
    return state != 0 ? Change::Raised : Change::Cleared;
}

std::size_t AlarmBook::active_count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t n = 0;
    for (const auto& entry : states_) n += entry.second != 0 ? 1 : 0;
    return n;
}

Controller::Controller(std::shared_ptr<Observer> observer, WorkMode mode) : observer_(std::move(observer)) {
    for (int kind = 0; kind < kEventKinds && observer_; ++kind)
        wanted_[static_cast<std::size_t>(kind)] = observer_->wants(static_cast<EventKind>(kind));
    if (mode == WorkMode::Thread) {
        work_ = std::make_unique<WorkQueue>([this](const std::string& what) {
            Event event;
            event.kind = EventKind::WorkError;
            event.text = what;
            emit(event);
        });
    }
}

Controller::~Controller() { work_.reset(); }

void Controller::emit(const Event& event) const {
    if (observed(event.kind)) observer_->on_event(event);
}

void Controller::post(std::function<void()> work) {
    if (work_) {
        work_->post(std::move(work));
        return;
    }
    try {
        work();
    } catch (const std::exception& e) {
        Event event;
        event.kind = EventKind::WorkError;
        event.text = e.what();
        emit(event);
    }
}

void Controller::drain() {
    if (work_) work_->drain();
}

void Controller::log(const char* format, const VRTLogArg* args, unsigned count) const noexcept try {
    const unsigned device = count > 0 && args[0].kind == VRTLogArg::Unsigned ? static_cast<unsigned>(args[0].u) : 0;
    if (sink_) sink_->logged(device, format != nullptr ? format : "");
    if (!observed(EventKind::Log) && logFile_ == nullptr) return;
    const std::string line = render_log(format, args, count);
    if (logFile_ != nullptr) std::fprintf(logFile_, "%s\n", line.c_str());
    if (!observed(EventKind::Log)) return;
    Event event;
    event.kind = EventKind::Log;
    event.device = device;
    event.format = format != nullptr ? format : "";
    event.text = line;
    for (unsigned i = 0; i < count; ++i) event.args.push_back(to_value(args[i]));
    observer_->on_event(event);
} catch (...) {
    // A log line is never worth failing the device for.
}

}  // namespace site

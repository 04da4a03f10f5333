#include "site/trace/round_summary.h"

#include <algorithm>
#include <cstdio>

#include "site/host/image_layouts.h"

namespace site {
namespace {

std::string number(const Json::Value& value) {
    if (!value.isNumeric()) return "n/a";
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value.asDouble());
    return text;
}

// The first `count` items of an array field (fewer if it holds fewer), joined.
std::string numbers(const Json::Value& items, unsigned count) {
    std::string text;
    const unsigned n = std::min(count, items.size());
    for (unsigned i = 0; i < n; ++i) text += (i > 0 ? ", " : "") + number(items[i]);
    return text.empty() ? "-" : text;
}

// "name=value" for every non-zero state byte, or "" when all are zero.
std::string states(const Json::Value& fields, std::initializer_list<const char*> names) {
    std::string text;
    for (const char* name : names) {
        const unsigned state = fields[name].asUInt();
        if (state != 0) text += std::string(text.empty() ? "" : " ") + name + "=" + std::to_string(state);
    }
    return text;
}

void ac_lines(std::string& out, const Json::Value& f) {
    out += "  AC " + f["device_id"].asString() + ": Ia " + number(f["ia"]) + " A, Ib " + number(f["ib"]) + " A, Ic " +
           number(f["ic"]) + " A";
    const std::string alerts = states(f, {"ia_alert", "ib_alert", "ic_alert"});
    out += alerts.empty() ? "\n" : "  [" + alerts + "]\n";
    for (Json::ArrayIndex i = 0; i < f["channels"].size(); ++i) {
        const Json::Value& c = f["channels"][i];
        out += "    input " + std::to_string(i) + ": " + number(c["a"]) + " / " + number(c["b"]) + " / " +
               number(c["c"]) + " V, " + number(c["f"]) + " Hz";
        const std::string channelAlerts = states(c, {"a_alert", "b_alert", "c_alert", "f_alert"});
        out += channelAlerts.empty() ? "\n" : "  [" + channelAlerts + "]\n";
    }
}

void dc_lines(std::string& out, const Json::Value& f) {
    out += "  DC " + f["device_id"].asString() + ": " + number(f["voltage"]) + " V, " + number(f["current"]) +
           " A load; batteries " + numbers(f["m_value"], f["dc_m"].asUInt()) + " A; branches " +
           numbers(f["n_value"], f["dc_n"].asUInt()) + " A";
    const std::string alerts = states(f, {"voltage_state"});
    out += alerts.empty() ? "\n" : "  [" + alerts + "]\n";
}

void rc_lines(std::string& out, const Json::Value& f) {
    const Json::Value& modules = f["modules"];
    out += "  RC " + f["device_id"].asString() + ": " + number(f["output_voltage"]) + " V, " +
           std::to_string(modules.size()) + " modules:";
    std::string faults;
    for (Json::ArrayIndex i = 0; i < modules.size(); ++i) {
        out += " " + number(modules[i]["output_current"]);
        if (modules[i]["fault"].asUInt() != 0) faults += " " + std::to_string(i + 1);
    }
    out += " A";
    out += faults.empty() ? "\n" : "  [fault:" + faults + "]\n";
}

void image_lines(std::string& out, const RoundUnit& unit) {
    const DecodedImage& decoded = unit.decoded;
    if (!decoded.ok) {
        out += "  unit " + std::to_string(unit.unit) + " record " + std::to_string(unit.record) + ": " + decoded.error +
               "\n";
        return;
    }
    switch (unit.record) {
        case kAcRecord: ac_lines(out, decoded.fields); break;
        case kDcRecord: dc_lines(out, decoded.fields); break;
        case kRcRecord: rc_lines(out, decoded.fields); break;
        default: break;
    }
}

}  // namespace

std::string round_summary(const CompletedRound& round) {
    char head[96];
    std::snprintf(head, sizeof head, "== power system %u, round %llu (%.2f s) ==\n", round.system,
                  static_cast<unsigned long long>(round.number), std::chrono::duration<double>(round.took).count());
    std::string out = head;
    for (const RoundUnit& unit : round.units) image_lines(out, unit);
    for (const RoundAlarm& change : round.transitions) {
        out += std::string("  alarm ") + (change.change == AlarmCheck::Change::Raised ? "raised " : "cleared") + " " +
               change.code + " " + change.name + ": " + change.text + " (unit " + std::to_string(change.unit) + ")\n";
    }
    for (const Event& query : round.queries) out += "  " + query_line(query) + "\n";
    return out;
}

std::string query_line(const Event& query) {
    const std::string head = "query " + query.key + "@" + std::to_string(query.device);
    return query.failed ? head + ": " + query.text : head + " = " + query.text;
}

}  // namespace site

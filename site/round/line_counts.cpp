#include "site/round/line_counts.h"

namespace site {
namespace {

std::string counted(std::uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string by_key(const std::map<std::string, std::uint64_t>& counts) {
    std::string text;
    for (const auto& [key, n] : counts) text += (text.empty() ? "" : ", ") + key + " " + std::to_string(n);
    return text;
}

std::map<std::string, std::uint64_t> grown(const std::map<std::string, std::uint64_t>& now,
                                           const std::map<std::string, std::uint64_t>& since) {
    std::map<std::string, std::uint64_t> out;
    for (const auto& [key, n] : now) {
        const auto before = since.find(key);
        const std::uint64_t old = before == since.end() ? 0 : before->second;
        if (n > old) out[key] = n - old;
    }
    return out;
}

}  // namespace

std::uint64_t LineCounts::refused_total() const {
    std::uint64_t n = 0;
    for (const auto& entry : refused) n += entry.second;
    return n;
}

std::string LineCounts::text(bool full) const {
    std::string out = counted(replyTimeouts, "reply timeout", "reply timeouts") + ", " +
                      counted(refused_total(), "answer refused", "answers refused");
    if (!refused.empty()) out += " (" + by_key(refused) + ")";
    if (unsent > 0) out += ", " + counted(unsent, "request not sent", "requests not sent");
    if (full || lateAnswers > 0) out += ", " + counted(lateAnswers, "late answer discarded", "late answers discarded");
    if (full) out += " (" + std::to_string(discardedBytes) + " bytes dropped unread)";
    if (full || echoesSkipped > 0) out += ", " + counted(echoesSkipped, "echo skipped", "echoes skipped");
    if (full) {
        out += ", " + counted(protocolErrors.size(), "kind", "kinds") + " of plug-in protocol error";
        for (const auto& [format, n] : protocolErrors) out += ", " + std::to_string(n) + " × \"" + format + "\"";
    }
    return out;
}

LineCounts operator-(const LineCounts& now, const LineCounts& since) {
    LineCounts out;
    out.replyTimeouts = now.replyTimeouts - since.replyTimeouts;
    out.unsent = now.unsent - since.unsent;
    out.lateAnswers = now.lateAnswers - since.lateAnswers;
    out.discardedBytes = now.discardedBytes - since.discardedBytes;
    out.echoesSkipped = now.echoesSkipped - since.echoesSkipped;
    out.refused = grown(now.refused, since.refused);
    out.protocolErrors = grown(now.protocolErrors, since.protocolErrors);
    return out;
}

}  // namespace site

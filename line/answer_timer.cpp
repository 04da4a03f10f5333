#include "line/answer_timer.h"

#include <algorithm>
#include <cstdio>

namespace line {
namespace {

using Duration = AnswerTimer::Duration;

// The weights of a new answer time in the mean (1/8) and in the deviation (1/4).
constexpr int kMeanShift = 3;
constexpr int kDeviationShift = 2;
constexpr int kDeviationsOfMargin = 4;

Duration absolute(Duration d) { return d.count() < 0 ? -d : d; }

template <class Estimates>
auto find_kind(Estimates& estimates, RequestKind kind) {
    return std::find_if(estimates.begin(), estimates.end(), [kind](const auto& e) { return e.kind == kind; });
}

}  // namespace

std::string kind_text(RequestKind kind) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X/%02X", kind.cid1, kind.cid2);
    return text;
}

AnswerTimer::Limits AnswerTimer::limits_for(Duration replyTimeout) {
    Limits limits;
    limits.first = replyTimeout;
    limits.floor = replyTimeout / 4;
    limits.ceiling = replyTimeout * 2;
    return limits;
}

Duration AnswerTimer::wait_for(const Estimate& estimate) const {
    const Duration margin = std::max(kDeviationsOfMargin * estimate.deviation, estimate.mean / 2);
    return std::clamp(estimate.mean + margin, limits_.floor, limits_.ceiling);
}

Duration AnswerTimer::wait(RequestKind kind) const {
    const auto estimate = find_kind(estimates_, kind);
    return estimate != estimates_.end() ? wait_for(*estimate) : limits_.first;
}

// The first answer of a kind: the deviation starts at half of it, as in TCP.
void AnswerTimer::start(RequestKind kind, Duration took) { estimates_.push_back(Estimate{kind, took, took / 2}); }

void AnswerTimer::answered(RequestKind kind, Duration took) {
    took = std::min(took, limits_.ceiling);
    const auto estimate = find_kind(estimates_, kind);
    if (estimate == estimates_.end()) return start(kind, took);
    const Duration error = took - estimate->mean;
    estimate->mean += error / (1 << kMeanShift);
    estimate->deviation += (absolute(error) - estimate->deviation) / (1 << kDeviationShift);
}

void AnswerTimer::late(RequestKind kind, Duration took) {
    took = std::min(took, limits_.ceiling);
    const auto estimate = find_kind(estimates_, kind);
    if (estimate == estimates_.end()) return start(kind, took);
    // Smoothing would take several late answers to catch up: the mean jumps to the late time,
    // and the deviation to how far it was off.
    estimate->deviation = std::max(estimate->deviation, absolute(took - estimate->mean));
    estimate->mean = std::max(estimate->mean, took);
}

std::vector<AnswerTimer::Learned> AnswerTimer::learned() const {
    std::vector<Learned> out;
    out.reserve(estimates_.size());
    for (const Estimate& estimate : estimates_)
        out.push_back(Learned{estimate.kind, estimate.mean, wait_for(estimate)});
    return out;
}

}  // namespace line

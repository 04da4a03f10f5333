// ktr40e-bench: what the plug-in costs per answer, per round completion and per polling round,
// what the stand-in host's framing costs, and how often a steady-state round allocates.
// Google Benchmark flags apply (--benchmark_filter, --benchmark_repetitions, ...).
#include <benchmark/benchmark.h>

#include <time.h>

#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <iomanip>
#include <memory>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "alloc_counter.h"
#include "bench_output.h"
#include "bench_site.h"
#include "history_rounds.h"
#include "host_replay.h"
#include "line/frame.h"
#include "rigs.h"
#include "site/host/image_layouts.h"
#include "site/store/history_store.h"

namespace bench {
namespace {

// ---- what the benchmarks run on ----

std::vector<site::Event> events_of(site::Recorder& recorder, const std::function<void()>& work) {
    recorder.clear();
    work();
    return recorder.events();
}

// The host calls of one steady-state round, and of one round completion of each unit kind.
struct Recordings {
    std::vector<site::Event> round;
    std::vector<site::Event> acRoundDone;
    std::vector<site::Event> dcRoundDone;
    std::vector<site::Event> rcRoundDone;

    explicit Recordings(const TypicalAnswers& answers) {
        auto recorder = std::make_shared<site::Recorder>();
        PowerRig power(answers, recorder);
        power.run_round();
        round = events_of(*recorder, [&] {
            if (!power.run_round()) throw std::runtime_error("a recorded round broke off");
        });
        UnitRigs units(answers, recorder);
        if (!units.feed()) throw std::runtime_error("a unit refused a typical answer");
        units.ac->RoundDone();
        units.dc->RoundDone();
        units.rc->RoundDone();
        acRoundDone = events_of(*recorder, [&] { units.ac->RoundDone(); });
        dcRoundDone = events_of(*recorder, [&] { units.dc->RoundDone(); });
        rcRoundDone = events_of(*recorder, [&] { units.rc->RoundDone(); });
    }
};

std::vector<line::Request> requests_of(const std::vector<site::Event>& events) {
    std::vector<line::Request> requests;
    for (const site::Event& e : events)
        if (e.kind == site::EventKind::Request) requests.push_back(line::Request{0x20, 1, e.cid1, e.cid2, e.bytes});
    return requests;
}

std::vector<line::Answer> answers_of(const std::vector<site::Event>& events) {
    std::vector<line::Answer> answers;
    for (const site::Event& e : events)
        if (e.kind == site::EventKind::Answer) answers.push_back(line::Answer{0x20, 1, e.cid1, e.rtn, e.bytes});
    return answers;
}

struct Fixtures {
    TypicalAnswers answers;
    Recordings recorded{answers};
    UnitRigs units{answers};
    PowerRig power{answers};
    HostReplay roundHost{recorded.round, true};
    HostReplay acHost{recorded.acRoundDone, false};
    HostReplay dcHost{recorded.dcRoundDone, false};
    HostReplay rcHost{recorded.rcRoundDone, false};
    std::vector<line::Request> requests = requests_of(recorded.round);
    std::vector<line::Answer> roundAnswers = answers_of(recorded.round);

    Fixtures() {
        if (!units.feed()) throw std::runtime_error("a unit refused a typical answer");
        if (requests.size() != kRoundRequests || roundAnswers.size() != kRoundRequests)
            throw std::runtime_error("a recorded round is not a full round");
        for (const HostReplay* replay : {&roundHost, &acHost, &dcHost, &rcHost})
            if (replay->logs() != 0)
                throw std::runtime_error("the plug-in logged a protocol error on a typical answer");
    }
};

std::int64_t info_bytes(const std::vector<line::Answer>& answers) {
    std::int64_t total = 0;
    for (const line::Answer& a : answers) total += static_cast<std::int64_t>(a.info.size());
    return total;
}

// ---- the benchmarks ----

template <class Parse>
void run_parse(benchmark::State& state, Parse parse) {
    const int used = parse();
    if (used <= 0) {
        state.SkipWithError("the parser refused the typical answer");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(parse());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * used);
}

template <class Unit, class Parser>
void add_parse(const std::string& name, const std::shared_ptr<Unit>& unit, int (Parser::*op)(const unsigned char*, int),
               Portion portion) {
    Parser* u = unit.get();
    benchmark::RegisterBenchmark(name.c_str(), [u, op, portion](benchmark::State& state) {
        run_parse(state, [&] { return (u->*op)(portion.data, portion.len); });
    });
}

template <class Work>
void add_work(const std::string& name, Work work, std::int64_t bytesPerCall = 0) {
    benchmark::RegisterBenchmark(name.c_str(), [work, bytesPerCall](benchmark::State& state) mutable {
        for (auto _ : state) work();
        if (bytesPerCall > 0) state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * bytesPerCall);
    });
}

void add_parse_benchmarks(Fixtures& f) {
    const TypicalAnswers& a = f.answers;
    // An AC or DC unit gets its block of the group's answer; the rectifier group the whole INFO.
    add_parse("parse/AC/40_41", f.units.ac, &Ktr40eAC::parse40_41, a.portion(0x40, 0x41, kUnitBlockOffset));
    add_parse("parse/AC/40_43", f.units.ac, &Ktr40eAC::parse40_43, a.portion(0x40, 0x43, kUnitBlockOffset));
    add_parse("parse/AC/40_44", f.units.ac, &Ktr40eAC::parse40_44, a.portion(0x40, 0x44, kUnitBlockOffset));
    add_parse("parse/DC/42_41", f.units.dc, &Ktr40eDC::parse42_41, a.portion(0x42, 0x41, kUnitBlockOffset));
    add_parse("parse/DC/42_44", f.units.dc, &Ktr40eDC::parse42_44, a.portion(0x42, 0x44, kUnitBlockOffset));
    add_parse("parse/RC/41_41", f.units.rc, &Ktr40eRC::parse41_41, a.portion(0x41, 0x41, 0));
    add_parse("parse/RC/41_43", f.units.rc, &Ktr40eRC::parse41_43, a.portion(0x41, 0x43, 0));
    add_parse("parse/RC/41_44", f.units.rc, &Ktr40eRC::parse41_44, a.portion(0x41, 0x44, 0));
    add_parse("parse/RC/40_46", f.units.rc, &Ktr40eRC::parse40_46, a.portion(0x40, 0x46, 0));
    add_parse("parse/RC/42_46", f.units.rc, &Ktr40eRC::parse42_46, a.portion(0x42, 0x46, 0));
}

void add_round_benchmarks(Fixtures& f) {
    PowerRig* power = &f.power;
    benchmark::RegisterBenchmark("round/power_system",
                                 [power, bytes = info_bytes(f.roundAnswers)](benchmark::State& state) {
                                     for (auto _ : state) {
                                         if (!power->run_round()) {
                                             state.SkipWithError("the round broke off");
                                             break;
                                         }
                                     }
                                     state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * bytes);
                                 });
    add_work("round_done/AC", [u = f.units.ac] { u->RoundDone(); });
    add_work("round_done/DC", [u = f.units.dc] { u->RoundDone(); });
    add_work("round_done/RC", [u = f.units.rc] { u->RoundDone(); });
}

void add_frame_benchmarks(Fixtures& f) {
    std::string frames;
    for (const line::Answer& answer : f.roundAnswers) frames += line::encode(answer);
    std::int64_t requestBytes = 0;
    for (const line::Request& request : f.requests)
        requestBytes += static_cast<std::int64_t>(line::encode(request).size());

    add_work(
        "frame/encode/round_requests",
        [requests = &f.requests, out = std::string()]() mutable {
            for (const line::Request& r : *requests) {
                line::encode_frame(line::FrameHeader{r.ver, r.adr, r.cid1, r.cid2}, r.info.data(), r.info.size(), out);
                benchmark::DoNotOptimize(out.data());
            }
        },
        requestBytes);
    add_work(
        "frame/encode/round_answers",
        [answers = &f.roundAnswers, out = std::string()]() mutable {
            for (const line::Answer& a : *answers) {
                line::encode_frame(line::FrameHeader{a.ver, a.adr, a.cid1, a.rtn}, a.info.data(), a.info.size(), out);
                benchmark::DoNotOptimize(out.data());
            }
        },
        static_cast<std::int64_t>(frames.size()));
    auto decoder = std::make_shared<line::FrameDecoder>();
    const auto size = static_cast<std::int64_t>(frames.size());
    benchmark::RegisterBenchmark("frame/decode/round_answers", [decoder, frames, size](benchmark::State& state) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(frames.data());
        std::size_t decoded = 0;
        for (auto _ : state) {
            decoder->feed_all(bytes, frames.size(), [&](const line::DecodeResult& r) { decoded += r.ok() ? 1 : 0; });
        }
        if (decoded != static_cast<std::size_t>(state.iterations()) * kRoundRequests)
            state.SkipWithError("a frame did not decode");
        state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * size);
    });
}

// ---- the host's history ----

// One round saved as the history writer saves it: the images, their values and what changed,
// in one transaction, into a database in a scratch folder. Rounds 3 s apart.
void add_history_benchmarks() {
    benchmark::RegisterBenchmark("history/save_round", [](benchmark::State& state) {
        char name[] = "/tmp/ktr40e-bench-XXXXXX";
        if (::mkdtemp(name) == nullptr) {
            state.SkipWithError("no scratch folder");
            return;
        }
        {
            const auto store = site::HistoryStore::open(std::string(name) + "/history.db");
            std::vector<std::vector<site::UnitImage>> rounds;
            for (std::size_t n = 0; n < 64; ++n) rounds.push_back(history_round(n));
            std::int64_t savedAtMs = 1'796'000'000'000;
            std::size_t n = 0;
            for (auto _ : state) store->save_round(rounds[n++ % rounds.size()], savedAtMs += 3000);
            const double rows = static_cast<double>(store->row_count("samples") + store->row_count("changes"));
            state.counters["rows"] = rows / static_cast<double>(state.iterations());
        }
        std::filesystem::remove_all(name);
    });
}

// ---- the summary ----

// Shows the runs as the console reporter does; of repeated runs only the median.
class MedianReporter : public benchmark::ConsoleReporter {
public:
    MedianReporter() : ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        std::vector<Run> shown;
        for (const Run& run : runs) {
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (median || (run.run_type == Run::RT_Iteration && run.repetitions <= 1)) shown.push_back(run);
        }
        if (!shown.empty()) ConsoleReporter::ReportRuns(shown);
    }
};

double thread_cpu_seconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// CPU seconds per call of some plug-in work and of the host's share of it.
struct Split {
    double all;
    double host;
};

// Runs the work and its host replay in alternate batches, so that both meet the same machine,
// and takes the median batch of each.
template <class Work>
Split split_cpu(Work&& work, HostReplay& replay) {
    constexpr int kBatches = 101;
    constexpr int kCallsPerBatch = 20;
    std::vector<double> all;
    std::vector<double> host;
    for (int batch = 0; batch < kBatches; ++batch) {
        const double start = thread_cpu_seconds();
        for (int i = 0; i < kCallsPerBatch; ++i) work();
        const double middle = thread_cpu_seconds();
        for (int i = 0; i < kCallsPerBatch; ++i) replay.run();
        const double end = thread_cpu_seconds();
        all.push_back((middle - start) / kCallsPerBatch);
        host.push_back((end - middle) / kCallsPerBatch);
    }
    return Split{median(all), median(host)};
}

struct Share {
    std::string label;
    Split cpu;
    double allocations;  // per call, plug-in and host
    double hostAllocations;
    double units;  // units that complete a round per call
};

template <class Work>
Share share_of(std::string label, Work work, HostReplay& replay, double units) {
    constexpr int kCalls = 1000;
    Share share{std::move(label), split_cpu(work, replay), 0, 0, units};
    share.allocations = allocations_per_call(work, kCalls);
    share.hostAllocations = allocations_per_call([&] { replay.run(); }, kCalls);
    return share;
}

void print_summary(std::ostream& out, Fixtures& f) {
    const std::vector<Share> shares = {
        share_of(
            "round (2 AC, 2 DC, 12 modules)", [&] { f.power.run_round(); }, f.roundHost, kUnits),
        share_of(
            "RoundDone AC (2 inputs)", [&] { f.units.ac->RoundDone(); }, f.acHost, 1),
        share_of(
            "RoundDone DC", [&] { f.units.dc->RoundDone(); }, f.dcHost, 1),
        share_of(
            "RoundDone RC (12 modules)", [&] { f.units.rc->RoundDone(); }, f.rcHost, 1),
    };
    out << "\nPlug-in share. host = the stand-in host's services for the same calls, replayed alone;\n"
           "plug-in = all - host. CPU: microseconds per call, median of 101 alternating batches.\n"
           "Heap allocations per call in steady state.\n";
    out << std::left << std::setw(32) << "" << std::right << std::setw(9) << "CPU all" << std::setw(9) << "host"
        << std::setw(9) << "plug-in" << std::setw(11) << "allocs all" << std::setw(8) << "host" << std::setw(9)
        << "plug-in" << std::setw(10) << "per unit"
        << "\n";
    for (const Share& s : shares) {
        const double pluginAllocations = s.allocations - s.hostAllocations;
        out << std::left << std::setw(32) << s.label << std::right << std::fixed << std::setprecision(2) << std::setw(9)
            << s.cpu.all * 1e6 << std::setw(9) << s.cpu.host * 1e6 << std::setw(9) << (s.cpu.all - s.cpu.host) * 1e6
            << std::setprecision(1) << std::setw(11) << s.allocations << std::setw(8) << s.hostAllocations
            << std::setw(9) << pluginAllocations << std::setw(10) << pluginAllocations / s.units << "\n";
    }
    out << "Targets: plug-in CPU per round < 20 us (pause excluded); plug-in allocations <= 1 per unit per round.\n";
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    bench::QuietStdout quiet;
    std::ostream& out = quiet.results();
    try {
        bench::Fixtures fixtures;
        bench::add_parse_benchmarks(fixtures);
        bench::add_round_benchmarks(fixtures);
        bench::add_frame_benchmarks(fixtures);
        bench::add_history_benchmarks();
        bench::MedianReporter reporter;
        reporter.SetOutputStream(&out);
        reporter.SetErrorStream(&out);
        benchmark::RunSpecifiedBenchmarks(&reporter);
        bench::print_summary(out, fixtures);
    } catch (const std::exception& e) {
        out << "ktr40e-bench: " << e.what() << std::endl;
        return 1;
    }
    benchmark::Shutdown();
    return 0;
}

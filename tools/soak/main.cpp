// ktr40e-soak: the site host polls a simulated KTR-40 for a long time, a share of the answers
// faulty, and reports the rounds completed, the faults put on the line and those the host saw,
// the history kept, and its memory (RSS) at the start, after the first minute and at the end.
// The plug-in's trace lines go to /dev/null; the report goes to standard output.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <ext/stdio_filebuf.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <vector>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include <sqlite3.h>

#include "cmdline/command_line.h"
#include "sim/simulator.h"
#include "site/host/image_layouts.h"
#include "site/trace/console.h"
#include "site/config/site_config.h"
#include "site/run/site_host.h"
#include "site/store/history_writer.h"

namespace {

const char kDescription[] =
    "Polls one simulated power system (2 AC units, 2 DC units, 4 rectifier modules) for N seconds\n"
    "with a share of the answers faulty, spread evenly over: dropped, corrupted checksum, wrong\n"
    "CID1, wrong unit count, slow beyond the reply timeout, INFO cut short, a count the driver\n"
    "cannot keep, the line hanging up. Exits 1 when a round's history was lost or torn, or when\n"
    "memory grew by more than 1 MiB after the first minute.";

constexpr int kFaultKinds = 8;
constexpr std::chrono::milliseconds kReplyTimeout(500);
constexpr long kMemoryAllowanceKiB = 1024;

struct Options {
    std::string plugin;
    long seconds = 3600;
    double faults = 0.05;
    int baud = 9600;
    std::uint32_t seed = 0;
    std::string dir;
};

Options parse(int argc, char** argv) {
    CLI::App cli(kDescription, "ktr40e-soak");
    cmdline::add_version_flag(cli);
    Options options;
    cli.add_option("--plugin", options.plugin, "The driver plug-in")->type_name("PATH")->required();
    cli.add_option("--seconds", options.seconds, "How long to poll")
        ->capture_default_str()
        ->check(CLI::Range(1, 7 * 24 * 3600));
    cli.add_option("--faults", options.faults, "Share of the answers faulty")
        ->type_name("SHARE")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 1.0));
    cli.add_option("--baud", options.baud, "Pace of the simulated line (0: answers at once)")
        ->capture_default_str()
        ->check(CLI::Range(0, 230400));
    cli.add_option("--seed", options.seed, "Seed of the faults (0: random)");
    cli.add_option("--dir", options.dir, "Folder for history.db (default: a scratch folder, removed afterwards)")
        ->type_name("DIR");
    cmdline::parse_command_line(cli, argc, argv);
    return options;
}

// The share spread evenly over the kinds: each answer is faulty with about that probability.
sim::Faults fault_mix(double share) {
    const double each = share / kFaultKinds;
    sim::Faults faults;
    faults.drop = each;
    faults.corrupt = each;
    faults.wrongCid1 = each;
    faults.wrongCount = each;
    faults.slow = each;
    faults.delay = kReplyTimeout + std::chrono::milliseconds(200);
    faults.truncate = each;
    faults.overcount = each;
    faults.hangUp = each;
    faults.away = std::chrono::milliseconds(500);
    return faults;
}

sim::SimConfig simulated_system(const Options& options) {
    sim::SimConfig config;
    config.baud = options.baud;
    config.seed = options.seed;
    config.state.ac.assign(2, sim::AcUnit{});
    config.state.ac[1].channels.resize(2);
    config.state.dc.assign(2, sim::DcUnit{});
    config.state.rectifiers.modules.resize(4);
    config.faults = fault_mix(options.faults);
    return config;
}

constexpr unsigned kSystemId = 1;
const unsigned kUnitIds[] = {101, 102, 151, 152, kSystemId};

site::SiteConfig site_on(const std::string& port) {
    Json::Value system;
    system["data_id"] = kSystemId;
    system["port"] = port;
    system["min_round_gap"] = 0;
    system["reply_timeout_ms"] = static_cast<Json::Int>(kReplyTimeout.count());
    system["acSetting"][0]["data_id"] = kUnitIds[0];
    system["acSetting"][1]["data_id"] = kUnitIds[1];
    system["dcSetting"][0]["data_id"] = kUnitIds[2];
    system["dcSetting"][1]["data_id"] = kUnitIds[3];
    system["rcSetting"] = Json::Value(Json::objectValue);
    return site::parse_site(system, "");
}

// What the host saw: counters only, so that the soak measures the host, not itself.
class Tally : public site::Observer {
public:
    void on_event(const site::Event& event) override {
        switch (event.kind) {
            case site::EventKind::Round: ++rounds_; break;
            case site::EventKind::Timeout: ++timeouts_; break;
            case site::EventKind::Rejected: add(rejected_, event.text); break;
            case site::EventKind::Log: add(logs_, event.format); break;
            case site::EventKind::Raised: ++raised_; break;
            default: break;
        }
    }
    std::uint64_t rounds() const { return rounds_; }
    std::uint64_t timeouts() const { return timeouts_; }
    std::uint64_t raised() const { return raised_; }
    std::map<std::string, std::uint64_t> rejected() const { return copy(rejected_); }
    std::map<std::string, std::uint64_t> logs() const { return copy(logs_); }

private:
    void add(std::map<std::string, std::uint64_t>& counts, const std::string& key) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++counts[key];
    }
    std::map<std::string, std::uint64_t> copy(const std::map<std::string, std::uint64_t>& counts) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return counts;
    }

    std::atomic<std::uint64_t> rounds_{0};
    std::atomic<std::uint64_t> timeouts_{0};
    std::atomic<std::uint64_t> raised_{0};
    mutable std::mutex mutex_;
    std::map<std::string, std::uint64_t> rejected_;
    std::map<std::string, std::uint64_t> logs_;
};

// The process's memory in KiB: resident in all, anonymous and file-backed (mapped files,
// the shared libraries), and the part of the heap SQLite holds (its page cache above all).
struct Memory {
    long rss = -1;
    long anon = -1;
    long file = -1;
    long sqlite = -1;

    static Memory now() {
        Memory m;
        std::ifstream status("/proc/self/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("VmRSS:", 0) == 0) m.rss = std::stol(line.substr(6));
            if (line.rfind("RssAnon:", 0) == 0) m.anon = std::stol(line.substr(8));
            if (line.rfind("RssFile:", 0) == 0) m.file = std::stol(line.substr(8));
        }
        m.sqlite = static_cast<long>(sqlite3_memory_used() / 1024);
        return m;
    }

    std::string text() const {
        return std::to_string(rss) + " KiB (anonymous " + std::to_string(anon) + ", file-backed " +
               std::to_string(file) + "; SQLite heap " + std::to_string(sqlite) + ")";
    }
};

std::string signed_kib(long kib) { return (kib >= 0 ? "+" : "") + std::to_string(kib) + " KiB"; }

std::uint64_t sum(const std::map<std::string, std::uint64_t>& counts) {
    std::uint64_t total = 0;
    for (const auto& entry : counts) total += entry.second;
    return total;
}

int g_stopWrite = -1;

extern "C" void on_stop_signal(int) {
    const char byte = 1;
    (void)!::write(g_stopWrite, &byte, 1);
}

// Stops the host after `seconds` (or at SIGINT/SIGTERM) and samples its memory on the way.
class Clock {
public:
    Clock(long seconds, std::ostream& report, const Tally& tally) : seconds_(seconds), report_(report), tally_(tally) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("cannot create the stop pipe");
        stopRead_ = fds[0];
        g_stopWrite = fds[1];
        struct sigaction action {};
        action.sa_handler = on_stop_signal;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGINT, &action, nullptr);
        ::sigaction(SIGTERM, &action, nullptr);
    }

    int stop_fd() const { return stopRead_; }
    void start() { thread_ = std::thread(&Clock::tick, this); }
    void finish() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    // Empty when the run was shorter than a minute.
    std::optional<Memory> first_minute() const { return firstMinute_; }

private:
    void tick() {
        const auto started = std::chrono::steady_clock::now();
        std::unique_lock<std::mutex> lock(mutex_);
        for (long minute = 1;; ++minute) {
            const long at = std::min(minute * 60, seconds_);
            if (wake_.wait_until(lock, started + std::chrono::seconds(at), [this] { return done_; })) return;
            const Memory memory = Memory::now();
            if (at == 60) firstMinute_ = memory;
            report_ << "[" << at << " s] rounds " << tally_.rounds() << ", timeouts " << tally_.timeouts()
                    << ", answers refused " << sum(tally_.rejected()) << ", plug-in log lines " << sum(tally_.logs())
                    << ", RSS " << memory.text() << std::endl;
            if (at == seconds_) {
                on_stop_signal(0);
                return;
            }
        }
    }

    const long seconds_;
    std::ostream& report_;
    const Tally& tally_;
    int stopRead_ = -1;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::optional<Memory> firstMinute_;
};

void print_counts(std::ostream& out, const char* title, const std::map<std::string, std::uint64_t>& counts) {
    out << title << ": " << sum(counts) << "\n";
    for (const auto& [text, n] : counts) out << "    " << n << "  " << text << "\n";
}

void print_injected(std::ostream& out, const sim::SimStats& s) {
    out << "faults put on the line: " << s.answers << " answers to " << s.requests << " requests\n"
        << "    " << s.dropped << " dropped, " << s.corrupted << " corrupted checksum, " << s.wrongCid1
        << " wrong CID1, " << s.wrongCount << " wrong unit count, " << s.slowed << " slow, " << s.truncated
        << " cut short, " << s.overcounted << " odd counts, " << s.hangUps << " hang-ups\n";
}

using ImageCounts = std::map<unsigned, std::size_t>;

ImageCounts image_counts(const site::HistoryStore& store) {
    ImageCounts counts;
    for (const unsigned id : kUnitIds) counts[id] = store.count(id);
    return counts;
}

// Whether every round saved each unit's image once, and every image decodes.
bool check_history(std::ostream& out, site::SiteHost& host, std::uint64_t rounds, const ImageCounts& before) {
    bool whole = host.history().failed() == 0;
    for (const auto& [id, count] : image_counts(host.store())) whole = whole && count - before.at(id) == rounds;
    std::size_t images = 0;
    std::size_t torn = 0;
    host.store().for_each([&](const site::StoredImage& stored) {
        ++images;
        torn += site::decode_image(stored.record, stored.image).ok ? 0 : 1;
    });
    out << "history: " << host.history().saved() << " images saved, " << host.history().failed() << " failed, "
        << images << " in the database, " << torn
        << " undecodable; every round's images kept: " << (whole ? "yes" : "NO") << "\n";
    return whole && torn == 0;
}

std::string scratch_dir() {
    char name[] = "/tmp/ktr40e-soak-XXXXXX";
    if (::mkdtemp(name) == nullptr) throw std::runtime_error("cannot create a scratch folder");
    return name;
}

int soak(const Options& options, std::ostream& report) {
    const bool scratch = options.dir.empty();
    const std::string dir = scratch ? scratch_dir() : options.dir;
    if (!scratch) std::filesystem::create_directories(dir);
    sim::Simulator simulator(simulated_system(options));
    const std::string port = simulator.start_pty(dir + "/line");

    auto tally = std::make_shared<Tally>();
    site::SiteOptions siteOptions;
    siteOptions.pluginPath = options.plugin;
    siteOptions.dbPath = dir + "/history.db";
    siteOptions.observer = tally;
    siteOptions.print = [](const std::string&) {};
    // Kept for the end: the report is written by the clock's thread meanwhile.
    std::mutex warningsMutex;
    std::vector<std::string> warnings;
    // Every console line but the round summaries: what an operator's journal gets.
    std::atomic<std::uint64_t> consoleLines{0};
    siteOptions.warn = [&](const std::string& text) {
        ++consoleLines;
        std::lock_guard<std::mutex> lock(warningsMutex);
        if (warnings.size() < 20) warnings.push_back(text);
    };
    siteOptions.console = [&](site::Level, const std::string&) { ++consoleLines; };
    const std::string db = siteOptions.dbPath;
    site::SiteHost host(site_on(port), std::move(siteOptions));
    const ImageCounts before = image_counts(host.store());

    Clock clock(options.seconds, report, *tally);
    const Memory start = Memory::now();
    report << "soak: " << options.seconds << " s, " << options.faults * 100 << " % of answers faulty, "
           << (options.baud > 0 ? std::to_string(options.baud) + " baud" : std::string("unpaced")) << ", history in "
           << db << "\nRSS at the start: " << start.text() << std::endl;
    clock.start();
    host.run(clock.stop_fd());
    clock.finish();
    simulator.stop();
    host.drain();
    const Memory end = Memory::now();

    const std::uint64_t rounds = tally->rounds();
    report << "\nrounds completed: " << rounds << "\n";
    print_injected(report, simulator.stats());
    report << "faults the host saw: " << tally->timeouts() << " reply timeouts\n";
    print_counts(report, "answers refused by the host", tally->rejected());
    print_counts(report, "plug-in log lines", tally->logs());
    report << "alarms raised: " << tally->raised() << "\n";
    report << "console lines besides the round summaries: " << consoleLines << " in " << options.seconds << " s, "
           << consoleLines * 3600 / static_cast<std::uint64_t>(options.seconds) << " an hour\n";
    for (const std::string& warning : warnings) report << "host warned: " << warning << "\n";
    const bool historyOk = check_history(report, host, rounds, before);

    const std::optional<Memory> minute = clock.first_minute();
    report << "RSS at the start: " << start.text() << "\n"
           << "RSS after the first minute: " << (minute ? minute->text() : std::string("(run shorter than a minute)"))
           << "\nRSS at the end: " << end.text() << "\n";
    bool memoryOk = true;
    if (minute) {
        const long growth = end.rss - minute->rss;
        memoryOk = growth <= kMemoryAllowanceKiB;
        report << "growth since the first minute: " << signed_kib(growth) << " (" << (memoryOk ? "within" : "MORE than")
               << " 1 MiB): anonymous " << signed_kib(end.anon - minute->anon) << ", file-backed "
               << signed_kib(end.file - minute->file) << "; SQLite heap " << signed_kib(end.sqlite - minute->sqlite);
    }
    report << std::endl;
    if (scratch) {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    return historyOk && memoryOk && rounds > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    // A reader that leaves the report is a failed write, not a kill.
    ::signal(SIGPIPE, SIG_IGN);
    const Options options = parse(argc, argv);
    // The report counts the plug-in's log lines and the host's warnings itself.
    site::set_console_level(site::Level::Error);
    // The report keeps the real standard output; the plug-in's trace lines go nowhere.
    const int reportFd = ::dup(STDOUT_FILENO);
    if (reportFd < 0 || std::freopen("/dev/null", "w", stdout) == nullptr) {
        std::cerr << "ktr40e-soak: cannot set standard output aside\n";
        return 1;
    }
    __gnu_cxx::stdio_filebuf<char> reportBuffer(reportFd, std::ios::out);
    std::ostream report(&reportBuffer);
    try {
        return soak(options, report);
    } catch (const std::exception& e) {
        report << std::flush;
        std::cerr << "ktr40e-soak: " << e.what() << "\n";
        return 1;
    }
}

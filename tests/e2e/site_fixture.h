#pragma once
// Power systems simulated on pseudo-terminals and a site host polling them, in this process.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sim/simulator.h"
#include "site/host/events.h"
#include "site/host/image_layouts.h"
#include "site/config/site_config.h"
#include "site/run/site_host.h"
#include "tests/shared/local_broker.h"

namespace e2e {

using ::free_loopback_port;

// A whole file's bytes ("" when it cannot be read).
inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// One JSON document; a test fails when the text is not one.
inline Json::Value parse(const std::string& text) {
    Json::CharReaderBuilder builder;
    Json::Value value;
    std::string errors;
    std::istringstream in(text);
    EXPECT_TRUE(Json::parseFromStream(builder, in, &value, &errors)) << errors << " in: " << text;
    return value;
}

// A scratch folder, removed with everything in it.
class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/sitehost-e2e-XXXXXX";
        path_ = ::mkdtemp(name);
    }
    ~TempDir() { (void)!std::system(("rm -rf '" + path_ + "'").c_str()); }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// A pipe whose read end the host polls; writing to it stops the host.
class StopPipe {
public:
    StopPipe() { EXPECT_EQ(::pipe2(fds_, O_CLOEXEC | O_NONBLOCK), 0); }
    ~StopPipe() {
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    int read_end() const { return fds_[0]; }
    void stop() const {
        const char byte = 1;
        (void)!::write(fds_[1], &byte, 1);
    }

private:
    int fds_[2] = {-1, -1};
};

// Data ids of system `id`: AC units id*100+1.., DC units id*100+51.., the group has `id`.
inline unsigned ac_id(unsigned system, unsigned i) { return system * 100 + 1 + i; }
inline unsigned dc_id(unsigned system, unsigned i) { return system * 100 + 51 + i; }

// A KTR-40 with fixed, distinct values, answering at once.
inline sim::SimConfig quiet_system(std::size_t acUnits = 2, std::size_t dcUnits = 2, std::size_t modules = 4) {
    sim::SimConfig config;
    config.baud = 0;
    config.drift = 0;
    config.seed = 7;
    config.state.ac.assign(acUnits, sim::AcUnit{});
    for (std::size_t i = 0; i < acUnits; ++i) {
        sim::AcUnit& unit = config.state.ac[i];
        unit.ia = 21.5f + static_cast<float>(i);
        unit.ib = 20.25f + static_cast<float>(i);
        unit.ic = 22.125f + static_cast<float>(i);
        unit.channels.assign(i + 1, sim::AcChannel{});
        for (std::size_t c = 0; c <= i; ++c) unit.channels[c].a = 381.5f + static_cast<float>(c);
    }
    config.state.dc.assign(dcUnits, sim::DcUnit{});
    for (std::size_t i = 0; i < dcUnits; ++i) {
        config.state.dc[i].voltage = 53.5f - 0.25f * static_cast<float>(i);
        config.state.dc[i].current = 61.75f + static_cast<float>(i);
    }
    config.state.rectifiers.outputVoltage = 53.75f;
    config.state.rectifiers.modules.assign(modules, sim::RectifierModule{});
    for (std::size_t m = 0; m < modules; ++m)
        config.state.rectifiers.modules[m].current = 16.5f + 0.25f * static_cast<float>(m);
    return config;
}

// The site file's object for system `id` on `port`: fast rounds for tests.
inline Json::Value system_json(unsigned id, const std::string& port, std::size_t acUnits = 2, std::size_t dcUnits = 2) {
    Json::Value system;
    system["data_id"] = id;
    system["port"] = port;
    system["address"] = 1;
    system["protocol_version"] = 32;
    system["min_round_gap"] = 0;
    system["reply_timeout_ms"] = 100;
    system["acSetting"] = Json::Value(Json::arrayValue);
    for (unsigned i = 0; i < acUnits; ++i) system["acSetting"][i]["data_id"] = ac_id(id, i);
    system["dcSetting"] = Json::Value(Json::arrayValue);
    for (unsigned i = 0; i < dcUnits; ++i) system["dcSetting"][i]["data_id"] = dc_id(id, i);
    system["rcSetting"] = Json::Value(Json::objectValue);
    return system;
}

inline site::SiteConfig site_of(const std::vector<Json::Value>& systems) {
    Json::Value root;
    for (const Json::Value& system : systems) root["systems"].append(system);
    return site::parse_site(root, "");
}

// A simulated power system on its own pseudo-terminal; with `link`, the host's port is that
// symbolic link, which follows the line when it hangs up and comes back.
struct SimulatedSystem {
    explicit SimulatedSystem(sim::SimConfig config = quiet_system(), const std::string& link = std::string())
        : simulator(std::make_unique<sim::Simulator>(std::move(config))), port(simulator->start_pty(link)) {}
    std::unique_ptr<sim::Simulator> simulator;
    std::string port;
};

// Counts the host's Round events and lets a test act between rounds (on the host's thread),
// or at any event (on the thread that emits it: the host's, or the work queue's for history).
class RoundHook : public site::Observer {
public:
    std::function<void(unsigned system, int round)> onRound;
    std::function<void(const site::Event& event)> onEvent;
    void on_event(const site::Event& event) override {
        if (onEvent) onEvent(event);
        if (event.kind != site::EventKind::Round) return;
        const int round = ++rounds_[event.device];
        if (onRound) onRound(event.device, round);
    }

private:
    std::map<unsigned, int> rounds_;
};

// A site host over the given systems with a recorder, its terminal output kept.
struct HostRun {
    HostRun(site::SiteConfig config, site::SiteOptions options) {
        options.pluginPath = KTR40E_PLUGIN_PATH;
        auto fanout = std::make_shared<site::Fanout>();
        fanout->add(recorder);
        fanout->add(hook);
        options.observer = fanout;
        options.print = [this](const std::string& text) {
            std::lock_guard<std::mutex> lock(mutex);
            printed += text;
        };
        options.warn = [this](const std::string& text) {
            std::lock_guard<std::mutex> lock(mutex);
            warnings += text + "\n";
        };
        options.console = [this](site::Level, const std::string& text) {
            std::lock_guard<std::mutex> lock(mutex);
            console += text + "\n";
        };
        host = std::make_unique<site::SiteHost>(std::move(config), std::move(options));
    }

    // Runs to the round limit; a watchdog stops a host that hangs, and the test fails.
    void run(std::chrono::seconds limit = std::chrono::seconds(90)) {
        StopPipe stop;
        std::mutex doneMutex;
        std::condition_variable doneWake;
        bool done = false;
        std::thread watchdog([&] {
            std::unique_lock<std::mutex> lock(doneMutex);
            if (!doneWake.wait_for(lock, limit, [&] { return done; })) stop.stop();
        });
        const bool stopped = host->run(stop.read_end());
        {
            std::lock_guard<std::mutex> lock(doneMutex);
            done = true;
        }
        doneWake.notify_one();
        watchdog.join();
        host->drain();
        EXPECT_FALSE(stopped) << "the host did not finish its rounds in time";
    }

    std::string output() {
        std::lock_guard<std::mutex> lock(mutex);
        return printed;
    }

    std::string console_lines() {
        std::lock_guard<std::mutex> lock(mutex);
        return console;
    }

    std::shared_ptr<site::Recorder> recorder = std::make_shared<site::Recorder>();
    std::shared_ptr<RoundHook> hook = std::make_shared<RoundHook>();
    std::unique_ptr<site::SiteHost> host;
    std::mutex mutex;
    std::string printed;
    std::string warnings;
    std::string console;
};

inline site::SiteOptions options_for(const TempDir& dir, std::uint64_t rounds) {
    site::SiteOptions options;
    options.dbPath = dir.file("history.db");
    options.rounds = rounds;
    return options;
}

// The decoded fields of every Publish event of `device`, in order.
inline std::vector<Json::Value> published_fields(const site::Recorder& recorder, unsigned device) {
    std::vector<Json::Value> fields;
    for (const site::Event& e : recorder.of(site::EventKind::Publish)) {
        if (e.device != device) continue;
        const site::DecodedImage decoded = site::decode_image(e.record, e.bytes);
        EXPECT_TRUE(decoded.ok) << decoded.error;
        fields.push_back(decoded.fields);
    }
    return fields;
}

// Overwrites the middle third of a file: a database keeps its sound header, but pages of its
// tables are garbage.
inline void damage_middle(const std::string& path) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekg(0, std::ios::end);
    const std::streamoff size = file.tellg();
    const std::string garbage(static_cast<std::size_t>(size / 3), '\x5A');
    file.seekp(size / 3);
    file.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
}

}  // namespace e2e

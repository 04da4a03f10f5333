#pragma once
// A real MQTT broker on a free loopback port, a subscriber that keeps what it hears, and a
// check of the Prometheus text format.
#include <arpa/inet.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "site_fixture.h"

extern char** environ;

namespace e2e {

using ::accepts_connections;

// Polls `done` until it holds or `limit` has passed.
inline bool eventually(const std::function<bool()>& done, std::chrono::seconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// A broker of the test's own, with its files in a scratch folder.
class Broker {
public:
    int port() const { return broker_.port(); }
    void start() { broker_.start(); }
    void stop() { broker_.stop(); }

private:
    TempDir dir_;
    LocalBroker broker_{dir_.path()};
};

// A client that subscribes to `filter` and keeps every message in order; reconnects by itself.
class Subscriber {
public:
    struct Message {
        std::string topic;
        std::string payload;
        bool retained;
    };

    Subscriber(int port, std::string filter) : filter_(std::move(filter)) {
        mosquitto_lib_init();
        mosq_ = mosquitto_new(nullptr, true, this);
        mosquitto_connect_callback_set(mosq_, [](mosquitto* m, void* self, int rc) {
            if (rc == 0) mosquitto_subscribe(m, nullptr, static_cast<Subscriber*>(self)->filter_.c_str(), 1);
        });
        mosquitto_subscribe_callback_set(mosq_, [](mosquitto*, void* self, int, int, const int*) {
            static_cast<Subscriber*>(self)->subscribed_ = true;
        });
        mosquitto_message_callback_set(mosq_, [](mosquitto*, void* self, const mosquitto_message* m) {
            auto* subscriber = static_cast<Subscriber*>(self);
            std::lock_guard<std::mutex> lock(subscriber->mutex_);
            subscriber->messages_.push_back(
                {m->topic, std::string(static_cast<const char*>(m->payload), static_cast<std::size_t>(m->payloadlen)),
                 m->retain});
        });
        mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
        EXPECT_EQ(mosquitto_loop_start(mosq_), MOSQ_ERR_SUCCESS);
        EXPECT_EQ(mosquitto_connect_async(mosq_, "127.0.0.1", port, 30), MOSQ_ERR_SUCCESS);
        EXPECT_TRUE(eventually([this] { return subscribed_.load(); })) << "no subscription to " << filter_;
    }
    ~Subscriber() {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, false);
        mosquitto_destroy(mosq_);
    }

    std::vector<Message> messages() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }
    // The payloads of one topic, in order.
    std::vector<std::string> on(const std::string& topic) const {
        std::vector<std::string> payloads;
        for (const Message& m : messages())
            if (m.topic == topic) payloads.push_back(m.payload);
        return payloads;
    }
    // The last payload of every topic (an empty one removes the topic).
    std::map<std::string, std::string> latest() const {
        std::map<std::string, std::string> last;
        for (const Message& m : messages()) {
            if (m.payload.empty()) {
                last.erase(m.topic);
            } else {
                last[m.topic] = m.payload;
            }
        }
        return last;
    }
    bool wait_for_payload(const std::string& topic, const std::string& payload,
                          std::chrono::seconds limit = std::chrono::seconds(20)) const {
        return eventually(
            [&] {
                const auto last = latest();
                const auto found = last.find(topic);
                return found != last.end() && found->second == payload;
            },
            limit);
    }

private:
    std::string filter_;
    mosquitto* mosq_ = nullptr;
    std::atomic<bool> subscribed_{false};
    mutable std::mutex mutex_;
    std::vector<Message> messages_;
};

// Checks every line of a Prometheus text file against the exposition format (HELP and TYPE
// before a family's samples, each family's samples together, label syntax, numbers, no series
// twice, "_total" for counters alone) and returns the samples
// as "name{labels}" -> value.
inline std::map<std::string, double> parse_exposition(const std::string& text) {
    static const std::regex help(R"(# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) .*)");
    static const std::regex type(R"(# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge|histogram|summary|untyped))");
    static const std::regex sample(R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\[\\"n])*")"
                                   R"((?:,[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\[\\"n])*")*\})? )"
                                   R"(([-+]?(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][-+]?[0-9]+)?|NaN|[-+]Inf))");
    std::map<std::string, double> samples;
    std::set<std::string> typed;
    std::string family;  // the family typed last: its samples follow it, none elsewhere
    std::istringstream in(text);
    std::smatch match;
    for (std::string line; std::getline(in, line);) {
        if (std::regex_match(line, match, help)) continue;
        if (std::regex_match(line, match, type)) {
            EXPECT_TRUE(typed.insert(match[1]).second) << "family typed twice: " << line;
            family = match[1];
            EXPECT_EQ(match[2] == "counter", family.size() > 6 && family.compare(family.size() - 6, 6, "_total") == 0)
                << "counters and only counters end in _total: " << line;
            continue;
        }
        if (!std::regex_match(line, match, sample)) {
            ADD_FAILURE() << "not an exposition line: " << line;
            continue;
        }
        EXPECT_EQ(match[1], family) << "sample outside its family's lines: " << line;
        const std::string series = match[1].str() + match[2].str();
        EXPECT_TRUE(samples.emplace(series, std::stod(match[3])).second) << "series twice: " << line;
    }
    EXPECT_FALSE(text.empty() || text.back() != '\n') << "the file must end with a line feed";
    return samples;
}

}  // namespace e2e

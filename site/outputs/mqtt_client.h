#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "site/trace/console.h"
#include "site/config/site_config.h"

struct mosquitto;
struct mosquitto_message;

namespace site {

// "sitehost-<host name>": the client id when the site file names none.
std::string default_mqtt_client_id();

struct MqttMessage {
    std::string topic;
    std::string payload;
    bool retain = true;
};

// A connection to one MQTT broker on libmosquitto's own thread. publish() only queues and
// send() hands the queue over, so that a round's messages go out in one burst (libmosquitto
// wakes its thread for every message handed to it; handed over together, they share the
// wake-ups and the writes). The queue is bounded (the oldest message goes first when it is
// full) and is sent while the broker is there, a limited number of messages in flight at a
// time. The client reconnects with a growing pause and, after every connection, reads what the
// broker retains under its topic filters once (see Options::subscribe).
class MqttClient {
public:
    struct Options {
        MqttConfig config;
        MqttMessage will;  // published by the broker when the host vanishes
        // Topic filters subscribed after every connection only to read the messages the broker
        // retains under them: behind the subscriptions goes one message to `marker` (a topic of
        // this client alone); the broker handles a client's packets in order, so once it comes
        // back every retained message has come in, the filters are dropped again and
        // onRetainedRead is called. Nothing waits for it; the client's own messages never come
        // back through the filters for longer than that round trip.
        std::vector<std::string> subscribe;
        std::string marker;
        std::function<void()> onRetainedRead;
        // Called on libmosquitto's thread after every connection, before the queue goes out.
        std::function<void()> onConnected;
        std::function<void(const MqttMessage&)> onMessage;
        // Connection news for the console and the trace.
        std::function<void(Level, const std::string&)> report;
    };

    // Starts connecting; throws std::runtime_error when the client cannot be set up
    // (unreadable TLS files, a bad client id).
    explicit MqttClient(Options options);
    // Disconnects (the broker then forgets the will) and stops the thread.
    ~MqttClient();
    MqttClient(const MqttClient&) = delete;
    MqttClient& operator=(const MqttClient&) = delete;

    // Bounded: the oldest bounded message goes when the queue is full. Kept: never dropped,
    // for the few messages that must arrive (configs, which only change with the site).
    enum class Kind { Bounded, Kept };
    void publish(MqttMessage message, Kind kind = Kind::Bounded);
    // Hands what is queued to the broker, as far as the window allows; the rest follows as
    // the broker acknowledges.
    void send() { pump(); }
    // Replaces the kept messages still queued with these (everything retained, sent again
    // after a new connection: it supersedes them) and sends.
    void replace_kept(std::vector<MqttMessage> messages);

    // Waits until the queue is sent or `limit` has passed; true when it was sent.
    bool flush(std::chrono::milliseconds limit);

    bool connected() const { return connected_; }
    std::uint64_t dropped() const { return dropped_; }
    std::uint64_t sent() const { return sent_; }
    std::size_t queued() const;

private:
    static void on_connect(mosquitto*, void* self, int rc);
    static void on_disconnect(mosquitto*, void* self, int rc);
    static void on_publish(mosquitto*, void* self, int mid);
    static void on_message(mosquitto*, void* self, const mosquitto_message* message);

    void connected(int rc);
    void disconnected(int rc);
    void read_retained();
    void retained_read();
    // Hands queued messages to libmosquitto while connected and the window has room. Never
    // waits: a thread that finds another one pumping leaves the work to it.
    void pump();
    void pump_once();
    std::string where() const;
    std::string unreachable(int rc) const;  // the warning for a broker not reached

    Options options_;
    mosquitto* mosq_ = nullptr;
    mutable std::mutex mutex_;
    std::condition_variable drained_;
    struct Queued {
        MqttMessage message;
        bool kept = false;
    };
    std::deque<Queued> queue_;
    std::size_t bounded_ = 0;  // queued messages that count against the bound
    std::size_t inFlight_ = 0;
    bool dropping_ = false;  // messages have been dropped since the last connection
    std::uint64_t droppedSinceConnect_ = 0;
    std::mutex pumpMutex_;
    std::atomic<bool> pumpWanted_{false};
    std::atomic<bool> connected_{false};
    std::atomic<std::uint64_t> dropped_{0};
    std::atomic<std::uint64_t> sent_{0};
};

}  // namespace site

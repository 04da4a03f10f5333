#include "site/outputs/mqtt_client.h"

#include <mosquitto.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

namespace site {
namespace {

// Messages handed to libmosquitto and not yet acknowledged: keeps its own queue short, so
// that ours decides what is dropped.
constexpr std::size_t kWindow = 64;
constexpr int kKeepAliveSeconds = 30;
constexpr unsigned kReconnectMinSeconds = 1;
constexpr unsigned kReconnectMaxSeconds = 10;

void init_library() {
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

const char* or_null(const std::string& text) { return text.empty() ? nullptr : text.c_str(); }

void check(int rc, const std::string& what) {
    if (rc != MOSQ_ERR_SUCCESS) throw std::runtime_error("mqtt: " + what + ": " + mosquitto_strerror(rc));
}

}  // namespace

std::string default_mqtt_client_id() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return "sitehost";
    return std::string("sitehost-") + name;
}

MqttClient::MqttClient(Options options) : options_(std::move(options)) {
    init_library();
    MqttConfig& config = options_.config;
    if (config.clientId.empty()) config.clientId = default_mqtt_client_id();
    mosq_ = mosquitto_new(config.clientId.c_str(), true, this);
    if (mosq_ == nullptr) throw std::runtime_error("mqtt: cannot create a client with id \"" + config.clientId + "\"");
    try {
        const MqttMessage& will = options_.will;
        if (!will.topic.empty())
            check(mosquitto_will_set(mosq_, will.topic.c_str(), static_cast<int>(will.payload.size()),
                                     will.payload.data(), config.qos, will.retain),
                  "last will on " + will.topic);
        if (!config.username.empty())
            check(mosquitto_username_pw_set(mosq_, config.username.c_str(), or_null(config.password)), "user name");
        if (!config.caFile.empty())
            check(mosquitto_tls_set(mosq_, config.caFile.c_str(), nullptr, or_null(config.certFile),
                                    or_null(config.keyFile), nullptr),
                  "TLS files");
        mosquitto_connect_callback_set(mosq_, &MqttClient::on_connect);
        mosquitto_disconnect_callback_set(mosq_, &MqttClient::on_disconnect);
        mosquitto_publish_callback_set(mosq_, &MqttClient::on_publish);
        mosquitto_message_callback_set(mosq_, &MqttClient::on_message);
        mosquitto_reconnect_delay_set(mosq_, kReconnectMinSeconds, kReconnectMaxSeconds, true);
        // Started first: its thread then keeps trying when the broker is not there yet.
        check(mosquitto_loop_start(mosq_), "client thread");
        const int rc = mosquitto_connect_async(mosq_, config.host.c_str(), config.port, kKeepAliveSeconds);
        if (rc == MOSQ_ERR_INVAL) check(rc, "broker address " + where());
        if (rc != MOSQ_ERR_SUCCESS && options_.report) options_.report(Level::Warn, unreachable(rc));
    } catch (...) {
        mosquitto_destroy(mosq_);
        throw;
    }
}

MqttClient::~MqttClient() {
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
    mosquitto_destroy(mosq_);
}

std::string MqttClient::unreachable(int rc) const {
    return "mqtt: cannot reach " + where() + " (" + mosquitto_strerror(rc) + "); retrying";
}

std::string MqttClient::where() const { return options_.config.host + ":" + std::to_string(options_.config.port); }

void MqttClient::publish(MqttMessage message, Kind kind) {
    bool startedDropping = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (kind == Kind::Bounded && bounded_ >= options_.config.queueLimit) {
            queue_.erase(std::find_if(queue_.begin(), queue_.end(), [](const Queued& q) { return !q.kept; }));
            --bounded_;
            ++dropped_;
            ++droppedSinceConnect_;
            startedDropping = !dropping_;
            dropping_ = true;
        }
        queue_.push_back(Queued{std::move(message), kind == Kind::Kept});
        if (kind == Kind::Bounded) ++bounded_;
    }
    if (startedDropping && options_.report)
        options_.report(Level::Warn, "mqtt: " + std::to_string(options_.config.queueLimit) + " messages queued for " +
                                         where() + ": dropping the oldest");
}

void MqttClient::replace_kept(std::vector<MqttMessage> messages) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.erase(std::remove_if(queue_.begin(), queue_.end(), [](const Queued& q) { return q.kept; }),
                     queue_.end());
        for (MqttMessage& message : messages) queue_.push_back(Queued{std::move(message), true});
    }
    pump();
}

bool MqttClient::flush(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return drained_.wait_for(lock, limit, [this] { return queue_.empty() && inFlight_ == 0; });
}

std::size_t MqttClient::queued() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
}

void MqttClient::pump() {
    pumpWanted_ = true;
    while (pumpWanted_) {
        std::unique_lock<std::mutex> pumping(pumpMutex_, std::try_to_lock);
        if (!pumping.owns_lock()) return;  // the pumping thread looks at pumpWanted_ again
        pumpWanted_ = false;
        pump_once();
    }
}

void MqttClient::pump_once() {
    for (;;) {
        Queued queued;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!connected_ || queue_.empty() || inFlight_ >= kWindow) return;
            queued = std::move(queue_.front());
            queue_.pop_front();
            if (!queued.kept) --bounded_;
            ++inFlight_;
        }
        const MqttMessage& message = queued.message;
        const int rc =
            mosquitto_publish(mosq_, nullptr, message.topic.c_str(), static_cast<int>(message.payload.size()),
                              message.payload.data(), options_.config.qos, message.retain);
        if (rc == MOSQ_ERR_SUCCESS) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        --inFlight_;
        if (rc == MOSQ_ERR_NO_CONN) {
            if (!queued.kept) ++bounded_;
            queue_.push_front(std::move(queued));  // goes out after the next connection
            return;
        }
        ++dropped_;  // the broker cannot take it (too large, bad topic): it never will
    }
}

void MqttClient::on_connect(mosquitto*, void* self, int rc) { static_cast<MqttClient*>(self)->connected(rc); }
void MqttClient::on_disconnect(mosquitto*, void* self, int rc) { static_cast<MqttClient*>(self)->disconnected(rc); }

void MqttClient::on_publish(mosquitto*, void* self, int) {
    auto* client = static_cast<MqttClient*>(self);
    {
        std::lock_guard<std::mutex> lock(client->mutex_);
        if (client->inFlight_ > 0) --client->inFlight_;
    }
    ++client->sent_;
    client->drained_.notify_all();
    client->pump();
}

void MqttClient::on_message(mosquitto*, void* self, const mosquitto_message* message) {
    auto* client = static_cast<MqttClient*>(self);
    if (message->topic == nullptr) return;
    if (message->topic == client->options_.marker) return client->retained_read();
    if (!client->options_.onMessage) return;
    MqttMessage received;
    received.topic = message->topic;
    received.payload.assign(static_cast<const char*>(message->payload), static_cast<std::size_t>(message->payloadlen));
    received.retain = message->retain;
    client->options_.onMessage(received);
}

void MqttClient::connected(int rc) {
    if (rc != 0) {
        if (options_.report)
            options_.report(Level::Error,
                            "mqtt: " + where() + " refused the connection: " + mosquitto_connack_string(rc));
        return;
    }
    std::uint64_t dropped = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        inFlight_ = 0;  // what libmosquitto still holds it sends again by itself
        dropped = droppedSinceConnect_;
        droppedSinceConnect_ = 0;
        dropping_ = false;
    }
    connected_ = true;
    if (options_.report) {
        std::string text = "mqtt: connected to " + where() + " as " + options_.config.clientId;
        if (dropped > 0) text += "; " + std::to_string(dropped) + " messages were dropped while it was away";
        options_.report(Level::Info, text);
    }
    read_retained();
    if (options_.onConnected) options_.onConnected();
    pump();
}

// The marker goes out ahead of the queue, right behind the subscriptions.
void MqttClient::read_retained() {
    if (options_.subscribe.empty()) return;
    for (const std::string& filter : options_.subscribe) mosquitto_subscribe(mosq_, nullptr, filter.c_str(), 1);
    mosquitto_subscribe(mosq_, nullptr, options_.marker.c_str(), 1);
    const int rc = mosquitto_publish(mosq_, nullptr, options_.marker.c_str(), 0, nullptr, 1, false);
    if (rc != MOSQ_ERR_SUCCESS) return;  // the connection is gone again: the next one reads them
    std::lock_guard<std::mutex> lock(mutex_);
    ++inFlight_;
}

void MqttClient::retained_read() {
    for (const std::string& filter : options_.subscribe) mosquitto_unsubscribe(mosq_, nullptr, filter.c_str());
    mosquitto_unsubscribe(mosq_, nullptr, options_.marker.c_str());
    if (options_.onRetainedRead) options_.onRetainedRead();
}

// libmosquitto tells a connection attempt that failed as a disconnection too: only one that
// was up can be lost.
void MqttClient::disconnected(int rc) {
    const bool wasUp = connected_.exchange(false);
    if (rc != 0 && options_.report) {
        options_.report(Level::Warn, wasUp ? "mqtt: connection to " + where() + " lost (" + mosquitto_strerror(rc) +
                                                 "); reconnecting"
                                           : unreachable(rc));
    }
    drained_.notify_all();
}

}  // namespace site

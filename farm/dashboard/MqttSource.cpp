#include "farm/dashboard/MqttSource.h"

#include <mosquitto.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <stdexcept>

#include "farm/dashboard/FarmState.h"

namespace dashboard {
namespace {

// mosquitto's own counters, each a decimal number.
constexpr std::string_view kBrokerDroppedTopic = "$SYS/broker/publish/messages/dropped";
constexpr std::string_view kBrokerStoredTopic = "$SYS/broker/store/messages/count";

}  // namespace

MosquittoLibrary::MosquittoLibrary() { mosquitto_lib_init(); }
MosquittoLibrary::~MosquittoLibrary() { mosquitto_lib_cleanup(); }

void MqttSource::ClientDeleter::operator()(mosquitto* client) const { mosquitto_destroy(client); }

void MqttSource::OnConnect(mosquitto* client, void* self, int result) {
    auto* source = static_cast<MqttSource*>(self);
    if (result != 0) {
        std::fprintf(stderr, "brevant-dashboard: the broker at %s:%d refused the connection: %s\n",
                     source->options_.host.c_str(), source->options_.port, mosquitto_connack_string(result));
        return;
    }
    source->farm_.SetBrokerConnected(true);
    // Again on every connect, also when the broker kept the session: the retained topics come
    // only with a subscription. At QoS 1, so that the broker queues the QoS 1 messages while the
    // dashboard is away; the publishers send frames at QoS 0, which it does not queue.
    mosquitto_subscribe(client, nullptr, source->subscription_.c_str(), 1);
    // At QoS 0: only the latest value matters, and it comes at each subscription. A broker whose
    // ACL hides $SYS sends nothing, and the figures stay unknown.
    for (std::string_view topic : {kBrokerDroppedTopic, kBrokerStoredTopic})
        mosquitto_subscribe(client, nullptr, std::string(topic).c_str(), 0);
}

void MqttSource::OnDisconnect(mosquitto*, void* self, int) { static_cast<MqttSource*>(self)->farm_.SetBrokerConnected(false); }

void MqttSource::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
    if (!message || !message->topic) return;
    std::string_view payload;
    if (message->payload && message->payloadlen > 0)
        payload = std::string_view(static_cast<const char*>(message->payload), static_cast<size_t>(message->payloadlen));
    auto* source = static_cast<MqttSource*>(self);
    const std::string_view topic = message->topic;
    if (topic == kBrokerDroppedTopic || topic == kBrokerStoredTopic) return source->OnBrokerFigure(topic, payload);
    source->farm_.OnMessage(topic, payload);
}

void MqttSource::OnBrokerFigure(std::string_view topic, std::string_view value) {
    int64_t figure = -1;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), figure);
    if (error != std::errc() || end != value.data() + value.size() || figure < 0) return;
    if (topic == kBrokerStoredTopic) {
        broker_.storedMessages = figure;
        return farm_.SetBrokerFigures(broker_);
    }
    // Told in the log as it rises (at most once a sys_interval): the broker's own log names the
    // clients it dropped messages for. A broker that restarted counts from 0 again.
    const int64_t before = std::exchange(broker_.droppedMessages, figure);
    farm_.SetBrokerFigures(broker_);
    if (before < 0 && figure > 0)
        std::fprintf(stderr, "brevant-dashboard: the broker has dropped %lld messages since it started\n",
                     static_cast<long long>(figure));
    else if (before >= 0 && figure > before)
        std::fprintf(stderr, "brevant-dashboard: the broker dropped %lld more messages (%lld since it started)\n",
                     static_cast<long long>(figure - before), static_cast<long long>(figure));
}

MqttSource::MqttSource(const BrokerOptions& options, FarmState& farm)
    : options_(options), subscription_(options.prefix + "/#"), farm_(farm) {
    // Clean session off: the broker keeps the subscription and queues for it while it is away.
    errno = 0;
    client_.reset(mosquitto_new(options_.clientId.c_str(), false, this));
    if (!client_ && errno == EINVAL)
        throw std::runtime_error("--client-id " + options_.clientId + ": not a client id MQTT can carry");
    if (!client_) throw std::runtime_error("cannot create the MQTT client");
    if (!options_.username.empty() &&
        mosquitto_username_pw_set(client_.get(), options_.username.c_str(),
                                  options_.password.empty() ? nullptr : options_.password.c_str()) != MOSQ_ERR_SUCCESS)
        throw std::runtime_error("cannot use the MQTT user name");
    if (!options_.caFile.empty()) {
        int result = mosquitto_tls_set(client_.get(), options_.caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
        if (result != MOSQ_ERR_SUCCESS)
            throw std::runtime_error("--broker-ca " + options_.caFile + ": " + mosquitto_strerror(result));
    }
    mosquitto_reconnect_delay_set(client_.get(), 1, 30, true);
    mosquitto_connect_callback_set(client_.get(), &MqttSource::OnConnect);
    mosquitto_disconnect_callback_set(client_.get(), &MqttSource::OnDisconnect);
    mosquitto_message_callback_set(client_.get(), &MqttSource::OnMessage);
    int result = mosquitto_connect_async(client_.get(), options_.host.c_str(), options_.port, options_.keepaliveSeconds);
    if (result != MOSQ_ERR_SUCCESS && result != MOSQ_ERR_ERRNO)
        throw std::runtime_error("cannot connect to the broker at " + options_.host + ": " + mosquitto_strerror(result));
    if (result == MOSQ_ERR_ERRNO)
        std::fprintf(stderr, "brevant-dashboard: the broker at %s:%d is not reachable yet; retrying\n", options_.host.c_str(), options_.port);
    if (mosquitto_loop_start(client_.get()) != MOSQ_ERR_SUCCESS) throw std::runtime_error("cannot start the MQTT thread");
}

MqttSource::~MqttSource() {
    mosquitto_disconnect(client_.get());
    mosquitto_loop_stop(client_.get(), false);
}

}  // namespace dashboard

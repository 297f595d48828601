#include "farm/dashboard/MqttSource.h"

#include <mosquitto.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string_view>

#include "farm/dashboard/FarmState.h"

namespace dashboard {

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
    mosquitto_subscribe(client, nullptr, source->subscription_.c_str(), 1);
}

void MqttSource::OnDisconnect(mosquitto*, void* self, int) { static_cast<MqttSource*>(self)->farm_.SetBrokerConnected(false); }

void MqttSource::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
    if (!message || !message->topic) return;
    std::string_view payload;
    if (message->payload && message->payloadlen > 0)
        payload = std::string_view(static_cast<const char*>(message->payload), static_cast<size_t>(message->payloadlen));
    static_cast<MqttSource*>(self)->farm_.OnMessage(message->topic, payload);
}

MqttSource::MqttSource(const BrokerOptions& options, FarmState& farm)
    : options_(options), subscription_(options.prefix + "/#"), farm_(farm) {
    const std::string clientId = "brevant-dashboard-" + std::to_string(getpid());
    client_.reset(mosquitto_new(clientId.c_str(), true, this));
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

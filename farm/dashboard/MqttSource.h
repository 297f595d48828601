// The broker connection: subscribes to PREFIX/# and hands every message to the FarmState on
// libmosquitto's network thread. Reconnects by itself (1 s, doubling to 30 s); on each connect
// the broker sends the retained topics again, so the farm's state is whole after an outage.
//
// The session is persistent (clean session off, a client id that stays the same across restarts
// of one dashboard): while the dashboard is away, a broker with persistence keeps its
// subscription and queues the QoS 1 messages for it (jobs begun and ended, log lines, changes of
// state), and delivers them in order when it comes back; the retained topics come after them.
// What the broker had to drop is read from mosquitto's $SYS topics.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "farm/dashboard/Metrics.h"
#include <string_view>

struct mosquitto;
struct mosquitto_message;

namespace dashboard {

class FarmState;

struct BrokerOptions {
    std::string host = "127.0.0.1";
    int port = 1883;
    std::string username, password;
    std::string caFile;  // TLS with this CA bundle when set
    std::string prefix = "brevant";
    int keepaliveSeconds = 30;
    std::string clientId;  // names the session the broker keeps; never shared by two dashboards
};

class MqttSource {
public:
    // Throws std::runtime_error naming the problem when the client cannot be set up (a client id
    // MQTT cannot carry, a bad TLS file, out of memory). An unreachable broker is not an error:
    // it is retried.
    MqttSource(const BrokerOptions& options, FarmState& farm);
    ~MqttSource();  // disconnects (the broker keeps the session) and joins the network thread
    MqttSource(const MqttSource&) = delete;
    MqttSource& operator=(const MqttSource&) = delete;

private:
    struct ClientDeleter {
        void operator()(mosquitto* client) const;
    };
    // libmosquitto's callbacks, on its network thread; the user data is this object.
    static void OnConnect(mosquitto* client, void* self, int result);
    static void OnDisconnect(mosquitto* client, void* self, int reason);
    static void OnMessage(mosquitto* client, void* self, const mosquitto_message* message);
    void OnBrokerFigure(std::string_view topic, std::string_view value);

    const BrokerOptions options_;
    const std::string subscription_;
    FarmState& farm_;
    std::unique_ptr<mosquitto, ClientDeleter> client_;
    BrokerFigures broker_;  // the network thread's; the farm gets a copy of each change
};

// libmosquitto's process-wide set-up, for the lifetime of main.
class MosquittoLibrary {
public:
    MosquittoLibrary();
    ~MosquittoLibrary();
    MosquittoLibrary(const MosquittoLibrary&) = delete;
    MosquittoLibrary& operator=(const MosquittoLibrary&) = delete;
};

}  // namespace dashboard

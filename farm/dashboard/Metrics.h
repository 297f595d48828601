// The Prometheus text exposition of the farm and of the service itself, for /metrics. Called
// under FarmState's lock; a pure function of what it is given.
#pragma once

#include <cstdint>
#include <string>

#include "farm/dashboard/MachineState.h"
#include "farm/dashboard/Messages.h"
#include "farm/dashboard/Notifier.h"

namespace dashboard {

// The service's own figures beside the machines'.
// What the broker says of itself under $SYS (mosquitto publishes it every sys_interval, 10 s by
// default, and again at each subscription); -1 until it has said it. Broker-wide figures, for
// all its clients, counted since the broker started.
struct BrokerFigures {
    int64_t droppedMessages = -1;  // messages not delivered because a client's queue was full
    int64_t storedMessages = -1;   // messages in its store now: retained and queued ones
};

struct ServiceFigures {
    uint64_t received = 0;
    const uint64_t* dropped = nullptr;  // kDropReasonCount counters, by DropReason
    bool brokerConnected = false;
    size_t sseClients = 0;
    uint64_t sseResyncs = 0;
    Notifier::Counters webhooks;
    size_t historyUnwritten = 0;        // ended jobs waiting for the database
    uint64_t historyUnwrittenDropped = 0;
    uint64_t historyPruned = 0;
    BrokerFigures broker;
    uint64_t machinesRetired = 0;       // machines that left the live views: retired or forgotten
};

std::string MetricsText(const Machines& machines, const ServiceFigures& service);

}  // namespace dashboard

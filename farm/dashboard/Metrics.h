// The Prometheus text exposition of the farm and of the service itself, for /metrics. A scrape
// copies the figures under FarmState's lock (AddMachineFigures: numbers and names, no text) and
// writes the text after the lock is released (MetricsText), so that the broker's messages wait
// for the copy only, not for the text of 10,000 machines.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "farm/dashboard/MachineState.h"
#include "farm/dashboard/Messages.h"
#include "farm/dashboard/Notifier.h"

namespace dashboard {

// What the broker says of itself under $SYS (mosquitto publishes it every sys_interval, 10 s by
// default, and again at each subscription); -1 until it has said it. Broker-wide figures, for
// all its clients, counted since the broker started.
struct BrokerFigures {
    int64_t droppedMessages = -1;  // messages not delivered because a client's queue was full
    int64_t storedMessages = -1;   // messages in its store now: retained and queued ones
};

// The service's own figures beside the machines'.
struct ServiceFigures {
    uint64_t received = 0;
    std::array<uint64_t, kDropReasonCount> dropped{};  // by DropReason
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

// Items seen to fail (a job's item that turns `failed`), by project, since the service started.
// A project's count is there from its first job on, at 0, so that its first failure is a rise
// that Prometheus sees; the kProjects projects heard of last are kept, and one beyond leaves
// (its series ends) until a job of it comes again, from 0. FarmState's, under its lock.
class FailedItems {
public:
    static constexpr size_t kProjects = 1000;
    void JobOf(const std::string& project) { Touch(project); }
    void Failed(const std::string& project) { ++Touch(project); }
    std::vector<std::pair<std::string, uint64_t>> Counts() const;

private:
    uint64_t& Touch(const std::string& project);
    struct Entry {
        uint64_t count = 0, heard = 0;
    };
    std::map<std::string, Entry> projects_;
    uint64_t clock_ = 0;
};

// The figures of one scrape, copied from the machines under the lock. Flat lists, indexed by
// machine, so that a farm of 10,000 machines costs a handful of allocations.
struct FarmFigures {
    struct Machine {
        std::string name, project;
        bool up = false, lost = false;
        int64_t droppedMessages = -1;  // -1 without a status
    };
    // An item of a machine's current job with progress in it.
    struct Item {
        size_t machine = 0;
        int64_t item = 0, framesDone = 0, framesTotal = 0;
        std::optional<int64_t> etaMs;
        double fps = 0;
        bool stalled = false;
        size_t firstOutput = 0, outputs = 0;  // in projectedBytes
    };
    // A disk that a machine's current items write to.
    struct Disk {
        size_t machine = 0;
        std::string name;
        int64_t freeBytes = 0, freeTs = 0;  // as the newest progress said it
        int64_t pendingBytes = 0;           // still to be written by the items rendering
    };
    std::vector<Machine> machines;
    std::vector<Item> items;
    std::vector<int64_t> projectedBytes;
    std::vector<Disk> disks;
    std::vector<std::pair<std::string, uint64_t>> failedItems;
    ServiceFigures service;
};

// [under FarmState's lock] The machines' figures.
void AddMachineFigures(const Machines& machines, FarmFigures& figures);
// [no lock] The text of /metrics.
std::string MetricsText(const FarmFigures& figures);

}  // namespace dashboard

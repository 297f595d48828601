// Server-Sent Events to the viewers. Every event is framed once (Sse.h) and shared by the queues
// of the viewers it is for: farm-wide events (tiles, history) go to every viewer, a machine's
// per-frame detail only to the viewers that have that machine or its project open. Publishing only
// appends to bounded queues, so the MQTT thread never waits on a slow viewer: one that falls
// behind has its queue dropped and is sent a fresh snapshot instead.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace dashboard {

// One framed event, shared by every queue it is in.
using Frame = std::shared_ptr<const std::string>;

// What a viewer has open: the machines by name and one project, whose detail it is sent.
struct Interest {
    static constexpr size_t kMaxMachines = 64;
    std::vector<std::string> machines;
    std::string project;
    bool Wants(std::string_view machine, std::string_view machineProject) const;
};

class EventHub {
public:
    struct Client;

    // maxClients bounds the connections; a viewer with maxQueuedFrames or maxQueuedBytes not yet
    // written to its socket is resynchronised.
    EventHub(size_t maxClients, size_t maxQueuedFrames, size_t maxQueuedBytes);
    ~EventHub();
    EventHub(const EventHub&) = delete;
    EventHub& operator=(const EventHub&) = delete;

    static Frame Format(std::string_view name, std::string_view json);

    // [any thread] Queues a framed event for every viewer. Cheap: callers may hold their own
    // lock, which keeps events in their order.
    void PublishAll(const Frame& frame);
    // [any thread] Queues a machine's detail for the viewers that have it (or its project) open.
    void PublishDetail(std::string_view machine, std::string_view project, const Frame& frame);
    // [any thread] Whether some viewer has this machine or project open: detail that nobody
    // watches is not even formatted.
    bool Wanted(std::string_view machine, std::string_view project) const;

    // [any thread] A new viewer, or null when maxClients are connected or the hub is closed.
    // `snapshot` is queued first; callers build it under the same lock as they publish, so the
    // viewer sees every change after it exactly once. `wake` is called, under the hub's lock, when
    // the viewer's queue gets something to take, is to be resynchronised, or the hub closes: it
    // must only schedule the viewer's writer (post to its connection), never call back in.
    std::shared_ptr<Client> Attach(Interest interest, std::string snapshot, std::function<void()> wake);
    // The same with a snapshot in parts, written one after the other: the large part that every
    // viewer's snapshot shares (the farm's tiles) is held once, not once per viewer.
    std::shared_ptr<Client> Attach(Interest interest, std::vector<Frame> snapshot, std::function<void()> wake);
    void Detach(const std::shared_ptr<Client>& client);
    const Interest& InterestOf(const Client& client) const;

    enum class Taken { Events, Resync, Closed };
    // [the viewer's writer] Moves the queued frames into `out` without waiting (Events with
    // `out` empty: nothing now, `wake` comes when there is). Resync: the viewer fell behind; the
    // caller builds a new snapshot and Resets. Closed: the hub is shutting down.
    Taken Take(Client& client, std::vector<Frame>& out);
    // [any thread] Replaces the viewer's queue with `snapshot` and resumes its events. Called
    // under the same lock as the publishers', like Attach.
    void Reset(Client& client, std::string snapshot);
    void Reset(Client& client, std::vector<Frame> snapshot);

    // [any thread] Wakes every viewer and refuses new ones; used at shutdown.
    void Close();

    size_t ClientCount() const;
    uint64_t Resyncs() const;

private:
    void Queue(Client& client, const Frame& frame);
    void Count(const Interest& interest, int delta);

    const size_t maxClients_, maxQueuedFrames_, maxQueuedBytes_;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<Client>> clients_;
    // How many viewers have each machine and each project open, for Wanted.
    std::unordered_map<std::string, int> machineViewers_, projectViewers_;
    bool closed_ = false;
    uint64_t resyncs_ = 0;
};

}  // namespace dashboard

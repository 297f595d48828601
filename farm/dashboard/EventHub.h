// Server-Sent Events to the browsers: one bounded queue per connected client. Publishing only
// appends to those queues, so the MQTT thread never waits on a slow browser; each client's HTTP
// worker thread drains its own queue onto its socket.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace dashboard {

class EventHub {
public:
    struct Client;

    // maxClients bounds the connections (each holds an HTTP worker thread); maxQueued bounds what
    // one client may fall behind before its queue is dropped and it is sent a fresh snapshot.
    EventHub(size_t maxClients, size_t maxQueued);
    ~EventHub();

    // [any-thread] Frames one event (Sse.h) and queues it for every client. Cheap: callers may hold their own lock, which keeps events in their order.
    void Publish(const std::string& name, const std::string& json);

    // [any-thread] A new client, or null when maxClients are connected or the hub is closed.
    // `snapshot` is queued first; callers build it under the same lock as they publish, so the
    // client sees every change after it exactly once.
    std::shared_ptr<Client> Attach(std::string snapshot);
    void Detach(const std::shared_ptr<Client>& client);

    // [http worker] Waits up to `wait` for the client's events and moves them into `out`.
    // Returns false when the hub is closed. `out` is empty on a timeout. When the client fell
    // behind, `*resync` is set and `out` is empty: the caller builds a new snapshot and Resets.
    bool Take(Client& client, std::chrono::milliseconds wait, std::string& out, bool* resync);

    // [any-thread] Replaces the client's queue with `snapshot` and resumes its events. Called
    // under the same lock as Publish's callers, like Attach.
    void Reset(Client& client, std::string snapshot);

    // [any-thread] Wakes every waiting client and refuses new ones; used at shutdown.
    void Close();

    size_t ClientCount() const;
    uint64_t Resyncs() const;

private:
    const size_t maxClients_, maxQueued_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<std::shared_ptr<Client>> clients_;
    bool closed_ = false;
    uint64_t resyncs_ = 0;
};

}  // namespace dashboard

#include "farm/dashboard/EventHub.h"

#include "farm/dashboard/Sse.h"

#include <algorithm>

namespace dashboard {

struct EventHub::Client {
    std::deque<std::string> queue;
    bool resync = false;
};

EventHub::EventHub(size_t maxClients, size_t maxQueued) : maxClients_(maxClients), maxQueued_(maxQueued) {}

EventHub::~EventHub() { Close(); }

void EventHub::Publish(const std::string& name, const std::string& json) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (clients_.empty()) return;
    const std::string frame = SseEvent(name, json);
    for (auto& client : clients_) {
        if (client->resync) continue;
        if (client->queue.size() >= maxQueued_) {
            client->queue.clear();
            client->resync = true;
            ++resyncs_;
            continue;
        }
        client->queue.push_back(frame);
    }
    wake_.notify_all();
}

std::shared_ptr<EventHub::Client> EventHub::Attach(std::string snapshot) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_ || clients_.size() >= maxClients_) return nullptr;
    auto client = std::make_shared<Client>();
    client->queue.push_back(std::move(snapshot));
    clients_.push_back(client);
    return client;
}

void EventHub::Detach(const std::shared_ptr<Client>& client) {
    std::lock_guard<std::mutex> lock(mutex_);
    clients_.erase(std::remove(clients_.begin(), clients_.end(), client), clients_.end());
}

bool EventHub::Take(Client& client, std::chrono::milliseconds wait, std::string& out, bool* resync) {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock, wait, [&] { return closed_ || client.resync || !client.queue.empty(); });
    if (closed_) return false;
    out.clear();
    *resync = client.resync;
    if (*resync) return true;
    for (auto& frame : client.queue) out += frame;
    client.queue.clear();
    return true;
}

void EventHub::Reset(Client& client, std::string snapshot) {
    std::lock_guard<std::mutex> lock(mutex_);
    client.queue.clear();
    client.queue.push_back(std::move(snapshot));
    client.resync = false;
}

void EventHub::Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    wake_.notify_all();
}

size_t EventHub::ClientCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return clients_.size();
}

uint64_t EventHub::Resyncs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return resyncs_;
}

}  // namespace dashboard

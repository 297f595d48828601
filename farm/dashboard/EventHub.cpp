#include "farm/dashboard/EventHub.h"

#include <algorithm>

#include "farm/dashboard/Sse.h"

namespace dashboard {

struct EventHub::Client {
    Interest interest;
    std::function<void()> wake;
    std::deque<Frame> queue;
    size_t queuedBytes = 0;
    bool resync = false;
};

bool Interest::Wants(std::string_view machine, std::string_view machineProject) const {
    if (!project.empty() && project == machineProject) return true;
    return std::find(machines.begin(), machines.end(), machine) != machines.end();
}

EventHub::EventHub(size_t maxClients, size_t maxQueuedFrames, size_t maxQueuedBytes)
    : maxClients_(maxClients), maxQueuedFrames_(maxQueuedFrames), maxQueuedBytes_(maxQueuedBytes) {}

EventHub::~EventHub() { Close(); }

Frame EventHub::Format(std::string_view name, std::string_view json) {
    return std::make_shared<const std::string>(SseEvent(name, json));
}

void EventHub::Queue(Client& client, const Frame& frame) {
    // After Close nothing is taken any more, and the viewers' writers may be gone with their
    // event loop: nothing is queued and nobody woken.
    if (client.resync || closed_) return;
    if (client.queue.size() >= maxQueuedFrames_ || client.queuedBytes + frame->size() > maxQueuedBytes_) {
        client.queue.clear();
        client.queuedBytes = 0;
        client.resync = true;
        ++resyncs_;
        client.wake();
        return;
    }
    const bool wasEmpty = client.queue.empty();
    client.queue.push_back(frame);
    client.queuedBytes += frame->size();
    if (wasEmpty) client.wake();
}

void EventHub::PublishAll(const Frame& frame) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& client : clients_) Queue(*client, frame);
}

void EventHub::PublishDetail(std::string_view machine, std::string_view project, const Frame& frame) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& client : clients_)
        if (client->interest.Wants(machine, project)) Queue(*client, frame);
}

bool EventHub::Wanted(std::string_view machine, std::string_view project) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!project.empty() && projectViewers_.count(std::string(project))) return true;
    return machineViewers_.count(std::string(machine)) > 0;
}

void EventHub::Count(const Interest& interest, int delta) {
    auto add = [delta](std::unordered_map<std::string, int>& counts, const std::string& key) {
        if ((counts[key] += delta) <= 0) counts.erase(key);
    };
    for (const auto& machine : interest.machines) add(machineViewers_, machine);
    if (!interest.project.empty()) add(projectViewers_, interest.project);
}

std::shared_ptr<EventHub::Client> EventHub::Attach(Interest interest, std::string snapshot, std::function<void()> wake) {
    return Attach(std::move(interest), std::vector<Frame>{std::make_shared<const std::string>(std::move(snapshot))}, std::move(wake));
}

std::shared_ptr<EventHub::Client> EventHub::Attach(Interest interest, std::vector<Frame> snapshot, std::function<void()> wake) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_ || clients_.size() >= maxClients_) return nullptr;
    auto client = std::make_shared<Client>();
    client->interest = std::move(interest);
    client->wake = std::move(wake);
    // The snapshot is not counted against the bound: a farm's snapshot may be larger than what
    // a viewer may fall behind by.
    client->queue.assign(std::make_move_iterator(snapshot.begin()), std::make_move_iterator(snapshot.end()));
    Count(client->interest, +1);
    clients_.push_back(client);
    client->wake();
    return client;
}

void EventHub::Detach(const std::shared_ptr<Client>& client) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = std::find(clients_.begin(), clients_.end(), client);
    if (found == clients_.end()) return;
    Count(client->interest, -1);
    clients_.erase(found);
}

const Interest& EventHub::InterestOf(const Client& client) const { return client.interest; }

EventHub::Taken EventHub::Take(Client& client, std::vector<Frame>& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return Taken::Closed;
    if (client.resync) return Taken::Resync;
    out.assign(std::make_move_iterator(client.queue.begin()), std::make_move_iterator(client.queue.end()));
    client.queue.clear();
    client.queuedBytes = 0;
    return Taken::Events;
}

void EventHub::Reset(Client& client, std::string snapshot) {
    Reset(client, std::vector<Frame>{std::make_shared<const std::string>(std::move(snapshot))});
}

void EventHub::Reset(Client& client, std::vector<Frame> snapshot) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return;
    client.queue.assign(std::make_move_iterator(snapshot.begin()), std::make_move_iterator(snapshot.end()));
    client.queuedBytes = 0;
    client.resync = false;
    client.wake();
}

void EventHub::Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return;
    closed_ = true;
    for (auto& client : clients_) client->wake();
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

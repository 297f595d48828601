#include "Outbox.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace farm_publisher {

Outbox::Outbox(size_t limitBytes) : limitBytes_(limitBytes) {}

void Outbox::Wake() {
    if (!wakeSignalled_.exchange(true)) wakeup_.Signal();
}

void Outbox::ClearWake() {
    wakeSignalled_.store(false);
    wakeup_.Clear();
}

void Outbox::MarkWaiting(const std::string& topic, RetainedTopic& state) {
    if (state.waiting != 0) {
        waitingRetained_.erase(state.waiting);
    } else {
        waitingBytes_ += SizeOf(topic, state.payload);
    }
    state.waiting = ++order_;
    waitingRetained_.emplace(state.waiting, topic);
}

void Outbox::Push(Message message) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) return;
        // Nothing waiting could make room for it: it goes alone, and what waits stays.
        if (const size_t size = SizeOf(message.topic, message.payload); size > limitBytes_) {
            ++dropped_.messages;
            dropped_.bytes += size;
            return;
        }
        if (message.retained) {
            RetainedTopic& state = retained_[message.topic];
            if (state.waiting != 0) waitingBytes_ -= SizeOf(message.topic, state.payload);
            const uint64_t previous = state.waiting;
            state.waiting = 0;
            state.payload = std::move(message.payload);
            // A value that replaces one still waiting goes at the higher QoS of the two: a
            // periodic status (QoS 0) that overtakes the change of state at connect (QoS 1)
            // carries that change, and must not lose it on the way.
            state.qos = previous != 0 ? std::max(state.qos, message.qos) : message.qos;
            if (previous != 0) waitingRetained_.erase(previous);
            MarkWaiting(message.topic, state);
            state.lastChange = state.waiting;
        } else {
            waitingBytes_ += SizeOf(message.topic, message.payload);
            events_.push_back(Event{++order_, std::move(message)});
        }
        Trim();
    }
}

void Outbox::Trim() {
    while (waitingBytes_ > limitBytes_) {
        if (!events_.empty()) {
            const Message& oldest = events_.front().message;
            const size_t size = SizeOf(oldest.topic, oldest.payload);
            waitingBytes_ -= size;
            ++dropped_.messages;
            dropped_.bytes += size;
            events_.pop_front();
            continue;
        }
        if (waitingRetained_.empty()) return;
        const auto oldest = waitingRetained_.begin();
        RetainedTopic& state = retained_[oldest->second];
        const size_t size = SizeOf(oldest->second, state.payload);
        waitingBytes_ -= size;
        ++dropped_.messages;
        dropped_.bytes += size;
        state.waiting = 0;
        waitingRetained_.erase(oldest);
    }
}

bool Outbox::Take(Message* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool haveEvent = !events_.empty();
    const bool haveRetained = !waitingRetained_.empty();
    if (!haveEvent && !haveRetained) return false;
    if (haveEvent && (!haveRetained || events_.front().order < waitingRetained_.begin()->first)) {
        *out = std::move(events_.front().message);
        events_.pop_front();
        waitingBytes_ -= SizeOf(out->topic, out->payload);
        return true;
    }
    const auto oldest = waitingRetained_.begin();
    RetainedTopic& state = retained_[oldest->second];
    out->topic = oldest->second;
    out->payload = state.payload;
    out->retained = true;
    out->qos = state.qos;
    waitingBytes_ -= SizeOf(out->topic, out->payload);
    state.waiting = 0;
    waitingRetained_.erase(oldest);
    return true;
}

void Outbox::RequeueRetained() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) return;
        std::vector<std::pair<uint64_t, const std::string*>> byChange;
        for (const auto& [topic, state] : retained_) {
            if (state.waiting == 0) byChange.emplace_back(state.lastChange, &topic);
        }
        std::sort(byChange.begin(), byChange.end());
        for (const auto& [change, topic] : byChange) MarkWaiting(*topic, retained_[*topic]);
        Trim();
    }
}

void Outbox::Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    events_.clear();
    retained_.clear();
    waitingRetained_.clear();
    waitingBytes_ = 0;
}

size_t Outbox::WaitingBytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return waitingBytes_;
}

bool Outbox::Empty() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_.empty() && waitingRetained_.empty();
}

Tally Outbox::Dropped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

}  // namespace farm_publisher

// The farm publisher's outbox: the bounded queue between the host's main thread, which makes the
// messages, and the link's network thread, which hands them to the broker.
//
// Retained topics hold state, so only their latest value matters: a newer value replaces one
// still waiting (at the higher QoS of the two), and every topic's latest value is kept to be
// published again after a reconnect, at the QoS it last went with. Events (not retained) wait in
// order. The bound counts the bytes of everything waiting; above it the oldest event goes first,
// a waiting retained value only when no event is left (its topic is then brought up to date at
// the next reconnect). What is dropped is counted.
//
// [any-thread]: every member takes the outbox's lock, held only for queue operations.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>

#include "Platform.h"

namespace farm_publisher {

struct Message {
    std::string topic;
    std::string payload;
    bool retained = false;
    int qos = 0;
};

struct Tally {
    uint64_t messages = 0;
    uint64_t bytes = 0;
};

class Outbox {
public:
    // `limitBytes` bounds what waits; a message larger than the bound is dropped at once.
    explicit Outbox(size_t limitBytes);
    Outbox(const Outbox&) = delete;
    Outbox& operator=(const Outbox&) = delete;

    // Queues a message. Never blocks on anything but the lock. After Close, nothing is queued
    // any more. The pusher wakes the link once it has pushed all it has (Wake).
    void Push(Message message);
    // The oldest waiting message; false when nothing waits.
    bool Take(Message* out);
    // Every retained topic's latest value waits again, in the order of their last change.
    void RequeueRetained();
    // Drops everything waiting (not counted as dropped) and refuses further messages.
    void Close();

    size_t WaitingBytes() const;
    bool Empty() const;
    Tally Dropped() const;
    size_t LimitBytes() const { return limitBytes_; }

    // Wakes the link: its wait on Wakeup returns at once until ClearWake. A wake already
    // pending costs nothing more.
    void Wake();
    const platform::WakeSignal& Wakeup() const { return wakeup_; }
    void ClearWake();

private:
    struct Event {
        uint64_t order;
        Message message;
    };
    struct RetainedTopic {
        std::string payload;
        int qos = 0;
        uint64_t lastChange = 0;
        uint64_t waiting = 0;  // its place in waitingRetained_, 0 when not waiting
    };
    static size_t SizeOf(const std::string& topic, const std::string& payload) {
        return topic.size() + payload.size();
    }
    void MarkWaiting(const std::string& topic, RetainedTopic& state);
    void Trim();

    const size_t limitBytes_;
    platform::WakeSignal wakeup_;
    std::atomic<bool> wakeSignalled_{false};

    mutable std::mutex mutex_;
    bool closed_ = false;
    uint64_t order_ = 0;
    size_t waitingBytes_ = 0;
    std::deque<Event> events_;
    std::map<std::string, RetainedTopic> retained_;
    std::map<uint64_t, std::string> waitingRetained_;  // by order of change
    Tally dropped_;
};

}  // namespace farm_publisher

// The farm publisher's link to the broker: one network thread of its own that owns the
// libmosquitto client, connects and reconnects with backoff, takes messages from the outbox
// while libmosquitto has room for them, publishes the status, and after every connect publishes
// all retained state again.
//
// Only the network thread calls libmosquitto after Start. The host's main thread only pushes to
// the outbox, asks for a problem to report, and stops the link at shutdown, waiting at most the
// configured shutdown wait (plus a poll interval) for the last messages to leave.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Publisher.h"
#include "Outbox.h"

namespace farm_publisher {

// What only the broker could reveal to be wrong, kept for the host's main thread to tell the user:
// the first passing problem (a name that does not resolve yet: told once, not at every retry) and
// the fatal one that makes the link give up (credentials or TLS refused), even after a passing
// one was told. Each is told once. [any-thread]
class LinkProblems {
public:
    void Report(std::string text, bool fatal) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (fatal || !passingReported_) untold_.push_back(std::move(text));
        passingReported_ |= !fatal;
    }
    // The oldest problem not told yet.
    std::optional<std::string> Take() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (untold_.empty()) return std::nullopt;
        std::string text = std::move(untold_.front());
        untold_.pop_front();
        return text;
    }

private:
    std::mutex mutex_;
    std::deque<std::string> untold_;
    bool passingReported_ = false;
};

class Link {
public:
    Link(Config config, Identity identity, std::shared_ptr<Outbox> outbox);
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // Sets up the client (credentials, TLS files, last will) and starts the network thread; no
    // network call is made here. False with the reason when libmosquitto refuses a setting.
    // [main-thread]
    bool Start(std::string* error);
    // A problem that only the broker could reveal, not told yet (LinkProblems). After a fatal
    // one the link has stopped publishing. [any-thread]
    std::optional<std::string> TakeProblem();
    // True once the link has given up for good (credentials or TLS refused). [any-thread]
    bool Failed() const;
    // Publishes "offline" (reason "shutdown"), waits until everything waiting has left or the
    // shutdown wait is over, disconnects cleanly and ends the thread. Does not wait when no
    // connection is up or under way (the broker is away). [main-thread]
    void Stop();
    // Tells the thread to stop and leaves it, without waiting: for where a wait could hang the
    // process (the library's static objects destroyed by the system, see
    // platform::kCanWaitForThreadAtExit). [main-thread]
    void Abandon();

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
};

}  // namespace farm_publisher

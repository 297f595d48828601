// The farm publisher's link to the broker: one network thread of its own that owns the
// libmosquitto client, connects and reconnects with backoff, takes messages from the outbox
// while libmosquitto has room for them, publishes the status, and after every connect publishes
// all retained state again.
//
// Only the network thread calls libmosquitto after Start. The host's main thread only pushes to
// the outbox, asks for a problem to report, and stops the link at shutdown, waiting at most the
// configured shutdown wait (plus a poll interval) for the last messages to leave.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "Publisher.h"
#include "Outbox.h"

namespace farm_publisher {

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
    // A problem that only the broker could reveal (credentials refused, TLS failed), once; the
    // link has stopped publishing by then. [any-thread]
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

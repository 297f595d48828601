// What the farm publisher does differently on Windows and on POSIX systems, in one place: the
// machine's default name, the process's identity and environment, the link's wake-up and its
// wait on the broker's socket, what happens to the link's thread when the library goes, and TLS.
// Platform_posix.cpp and Platform_win.cpp implement it; the rest of the publisher is one source
// for both.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace farm_publisher::platform {

// The computer's host name as the network knows it: the default machine name. On Windows the
// DNS host name, in its own case, not the upper-case NetBIOS name cut to 15 characters.
std::string HostName();
int64_t ProcessId();
// The names of the process's environment variables; on Windows, where names are case-blind,
// in upper case, so that a misspelt setting is found whatever its case.
std::vector<std::string> EnvironmentNames();

// Null where this build has TLS; else why it has none and what to do instead, for the user.
const char* TlsUnavailable();

struct Readiness {
    bool woken = false;
    bool readable = false;  // also an error or a closed connection: the read finds out which
    bool writable = false;
};

// The link's wake-up: signalled from any thread, waited on by the link's network thread together
// with the broker's socket. An eventfd on Linux; on Windows, where only sockets can be waited on
// together, a loopback UDP socket that sends to itself. Should the system refuse one, the link
// still sees new messages at its next poll interval. [any-thread]
class WakeSignal {
public:
    WakeSignal();
    ~WakeSignal();
    WakeSignal(const WakeSignal&) = delete;
    WakeSignal& operator=(const WakeSignal&) = delete;

    void Signal();
    // Until Clear, every wait returns at once.
    void Clear();

private:
    friend Readiness WaitForSockets(const WakeSignal&, int, bool, std::chrono::milliseconds);
    std::intptr_t handle_ = -1;
};

// Waits at most `timeout` for `wake`, or for `socket` (when not negative: libmosquitto's
// mosquitto_socket) to be readable, or writable when `wantWrite`. [the link's network thread]
Readiness WaitForSockets(const WakeSignal& wake, int socket, bool wantWrite, std::chrono::milliseconds timeout);

// Called before the link's thread starts: the library's code stays mapped as long as the process
// runs, so that a thread that a shutdown gave up waiting for never runs in an unloaded library.
void KeepLibraryLoaded();

// Whether the library's static objects are destroyed where the link's thread can still be waited
// for. On Windows they are destroyed inside DllMain at process exit, after ExitProcess has ended
// every other thread (and any wait there holds the loader lock): the link is then abandoned.
#ifdef _WIN32
constexpr bool kCanWaitForThreadAtExit = false;
#else
constexpr bool kCanWaitForThreadAtExit = true;
#endif

}  // namespace farm_publisher::platform

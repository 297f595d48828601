// The farm publisher on Linux and other POSIX systems (see Platform.h).
#include "Platform.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

extern char** environ;

namespace farm_publisher::platform {

std::string HostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return "localhost";
    return name;
}

int64_t ProcessId() { return static_cast<int64_t>(::getpid()); }

std::vector<std::string> EnvironmentNames() {
    std::vector<std::string> names;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string text = *entry;
        names.push_back(text.substr(0, text.find('=')));
    }
    return names;
}

const char* TlsUnavailable() { return nullptr; }

WakeSignal::WakeSignal() : handle_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

WakeSignal::~WakeSignal() {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

void WakeSignal::Signal() {
    if (handle_ < 0) return;
    const uint64_t one = 1;
    // A full counter is still readable, which is all the link needs.
    [[maybe_unused]] const ssize_t written = ::write(static_cast<int>(handle_), &one, sizeof one);
}

void WakeSignal::Clear() {
    if (handle_ < 0) return;
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t read = ::read(static_cast<int>(handle_), &count, sizeof count);
}

Readiness WaitForSockets(const WakeSignal& wake, int socket, bool wantWrite, std::chrono::milliseconds timeout) {
    // poll skips a negative descriptor.
    pollfd fds[2] = {{static_cast<int>(wake.handle_), POLLIN, 0},
                     {socket, static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0)), 0}};
    Readiness ready;
    if (::poll(fds, 2, static_cast<int>(timeout.count())) <= 0) return ready;
    ready.woken = (fds[0].revents & POLLIN) != 0;
    ready.readable = (fds[1].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
    ready.writable = (fds[1].revents & POLLOUT) != 0;
    return ready;
}

// Nothing to do: brevant-host never unloads a client, and at exit a library's static objects
// are destroyed while its threads still run.
void KeepLibraryLoaded() {}

}  // namespace farm_publisher::platform

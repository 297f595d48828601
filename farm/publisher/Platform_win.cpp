// The farm publisher on Windows (see Platform.h). Sockets are Winsock's, which libmosquitto
// starts too; it is started here as well, once, for the wake-up socket that the outbox makes
// before the link starts libmosquitto.
#include "Platform.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cctype>
#include <cstdlib>

namespace farm_publisher::platform {

namespace {

// Started once and left running: libmosquitto and the host's other libraries share it.
bool StartWinsock() {
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

SOCKET SocketOf(std::intptr_t handle) { return static_cast<SOCKET>(handle); }

}  // namespace

std::string HostName() {
    char name[256] = {};
    DWORD size = sizeof name;
    if (!::GetComputerNameExA(ComputerNameDnsHostname, name, &size) || size == 0) return "localhost";
    return std::string(name, size);
}

int64_t ProcessId() { return static_cast<int64_t>(::GetCurrentProcessId()); }

std::vector<std::string> EnvironmentNames() {
    std::vector<std::string> names;
    // The C runtime's copy, which getenv reads. Entries such as "=C:=C:\..." keep their first '='.
    for (char** entry = _environ; entry != nullptr && *entry != nullptr; ++entry) {
        std::string name = *entry;
        name = name.substr(0, name.find('=', 1));
        for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        names.push_back(std::move(name));
    }
    return names;
}

const char* TlsUnavailable() {
    return "TLS is not available on Windows: this build of the publisher has no TLS library (Debian has none "
           "built for MinGW-w64). On the studio network, use a broker that gives each machine its own user "
           "(BREVANT_FARM_USERNAME, BREVANT_FARM_PASSWORD) and an ACL that lets it write only its own topics; "
           "see \"On Windows\" in docs/farm-publisher.md";
}

WakeSignal::WakeSignal() {
    if (!StartWinsock()) return;
    const SOCKET sock = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (sock == INVALID_SOCKET) return;
    // Bound to a free loopback port and connected to itself: what it sends, it reads.
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    u_long nonBlocking = 1;
    if (::bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(sock, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::connect(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::ioctlsocket(sock, FIONBIO, &nonBlocking) != 0) {
        ::closesocket(sock);
        return;
    }
    handle_ = static_cast<std::intptr_t>(sock);
}

WakeSignal::~WakeSignal() {
    if (handle_ >= 0) ::closesocket(SocketOf(handle_));
}

void WakeSignal::Signal() {
    if (handle_ < 0) return;
    const char one = 1;
    ::send(SocketOf(handle_), &one, 1, 0);
}

void WakeSignal::Clear() {
    if (handle_ < 0) return;
    char bytes[64];
    while (::recv(SocketOf(handle_), bytes, sizeof bytes, 0) > 0) {
    }
}

Readiness WaitForSockets(const WakeSignal& wake, int socket, bool wantWrite, std::chrono::milliseconds timeout) {
    WSAPOLLFD fds[2] = {};
    ULONG count = 0;
    if (wake.handle_ >= 0) fds[count++] = {SocketOf(wake.handle_), POLLRDNORM, 0};
    const ULONG socketAt = count;
    // libmosquitto hands its SOCKET out as an int.
    if (socket >= 0) {
        fds[count++] = {static_cast<SOCKET>(static_cast<unsigned int>(socket)),
                        static_cast<SHORT>(POLLRDNORM | (wantWrite ? POLLWRNORM : 0)), 0};
    }
    Readiness ready;
    if (count == 0) {  // WSAPoll refuses an empty set rather than sleeping
        ::Sleep(static_cast<DWORD>(timeout.count()));
        return ready;
    }
    if (::WSAPoll(fds, count, static_cast<INT>(timeout.count())) <= 0) return ready;
    ready.woken = wake.handle_ >= 0 && (fds[0].revents & POLLRDNORM) != 0;
    if (socket >= 0) {
        ready.readable = (fds[socketAt].revents & (POLLRDNORM | POLLERR | POLLHUP | POLLNVAL)) != 0;
        ready.writable = (fds[socketAt].revents & POLLWRNORM) != 0;
    }
    return ready;
}

void KeepLibraryLoaded() {
    static const char anchor = 0;
    HMODULE module = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                         reinterpret_cast<LPCWSTR>(&anchor), &module);
}

}  // namespace farm_publisher::platform

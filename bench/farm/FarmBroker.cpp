#include "FarmBroker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace brevant_bench {

namespace {

// Binds to `port` on loopback (0: any free one) or connects to it; the port bound, or whether
// the connection was accepted.
int Loopback(int port, bool connect) {
    const int sock = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t length = sizeof address;
    int result = 0;
    if (connect) {
        result = ::connect(sock, reinterpret_cast<sockaddr*>(&address), length) == 0;
    } else if (::bind(sock, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
               ::getsockname(sock, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        result = ntohs(address.sin_port);
    }
    ::close(sock);
    return result;
}

}  // namespace

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "brevant-farm-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

Broker::Broker(const TempDir& dir) : dir_(dir), port_(Loopback(0, false)) { Start(); }

void Broker::Start() {
    const std::string path = dir_.path() + "/mosquitto.conf";
    // Running as root, mosquitto would switch to its own user.
    std::ofstream(path) << (::getuid() == 0 ? "user root\n" : "") << "listener " << port_
                        << " 127.0.0.1\nallow_anonymous true\n";
    char* argv[] = {const_cast<char*>("mosquitto"), const_cast<char*>("-c"), const_cast<char*>(path.c_str()),
                    nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const int rc = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start mosquitto");
    for (int attempt = 0; attempt < 200 && !Loopback(port_, true); ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
}

void Broker::Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

void Broker::Pause() { ::kill(pid_, SIGSTOP); }

}  // namespace brevant_bench

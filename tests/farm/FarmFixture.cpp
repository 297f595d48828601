#include "FarmFixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace farm_test {

namespace {

int FreePort() {
    const int sock = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(sock, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(sock);
    return ntohs(address.sin_port);
}

bool Accepts(int port) {
    const int sock = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool connected = ::connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(sock);
    return connected;
}

// Runs `argv` with `env` added to this process's environment, output to the given files.
pid_t Spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
            const std::string& out, const std::string& err) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) environment.emplace_back(*entry);
    for (const auto& [name, value] : env) environment.push_back(name + "=" + value);
    std::vector<char*> args, envp;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
    args.push_back(nullptr);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
    return pid;
}

int Reap(pid_t pid) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return -1000;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

struct LibraryInit {
    LibraryInit() { mosquitto_lib_init(); }
};

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

std::string TempDir::File(const std::string& name, const std::string& text) const {
    const std::string path = path_ + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

Broker::Broker(const TempDir& dir, BrokerOptions options) : dir_(dir), options_(std::move(options)), port_(FreePort()) {
    Start();
}

Broker::~Broker() { Kill(); }

void Broker::Start() {
    std::ostringstream config;
    // Running as root, mosquitto would switch to its own user, who cannot read the test's files.
    if (::getuid() == 0) config << "user root\n";
    config << "listener " << port_ << " 127.0.0.1\n";
    if (!options_.tlsName.empty()) {
        const std::string base = dir_.path() + "/" + options_.tlsName;
        config << "cafile " << base << "-ca.crt\ncertfile " << base << "-server.crt\nkeyfile " << base
               << "-server.key\n";
    }
    config << "allow_anonymous " << (options_.passwordFile.empty() ? "true" : "false") << "\n";
    if (!options_.passwordFile.empty()) config << "password_file " << options_.passwordFile << "\n";
    if (!options_.aclFile.empty()) config << "acl_file " << options_.aclFile << "\n";
    const std::string path = dir_.File("mosquitto-" + std::to_string(port_) + ".conf", config.str());
    pid_ = Spawn({"mosquitto", "-c", path}, {}, dir_.path() + "/broker.out", dir_.path() + "/broker.err");
    for (int attempt = 0; attempt < 200 && !Accepts(port_); ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
}

void Broker::Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    Reap(pid_);
    pid_ = -1;
    paused_ = false;
}

void Broker::Pause() {
    ::kill(pid_, SIGSTOP);
    paused_ = true;
}

void Broker::Resume() {
    ::kill(pid_, SIGCONT);
    paused_ = false;
}

Subscriber::Subscriber(int port, const std::string& filter, const std::string& user, const std::string& password,
                       const std::string& caFile)
    : filter_(filter) {
    static LibraryInit init;
    client_ = mosquitto_new(nullptr, true, this);
    if (!user.empty()) mosquitto_username_pw_set(client_, user.c_str(), password.c_str());
    if (!caFile.empty()) mosquitto_tls_set(client_, caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
    mosquitto_connect_callback_set(client_, OnConnect);
    mosquitto_message_callback_set(client_, OnMessage);
    mosquitto_subscribe_callback_set(client_, [](mosquitto*, void* self, int, int, const int*) {
        auto* subscriber = static_cast<Subscriber*>(self);
        std::lock_guard<std::mutex> lock(subscriber->mutex_);
        subscriber->subscribed_ = true;
        subscriber->arrived_.notify_all();
    });
    mosquitto_reconnect_delay_set(client_, 1, 1, false);
    mosquitto_connect(client_, "127.0.0.1", port, 30);
    mosquitto_loop_start(client_);
    // Subscribed before the test goes on, so that nothing published later is missed.
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait_for(lock, std::chrono::seconds(10), [&] { return subscribed_; });
}

Subscriber::~Subscriber() {
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, true);
    mosquitto_destroy(client_);
}

void Subscriber::OnConnect(mosquitto* client, void* self, int code) {
    if (code == 0) mosquitto_subscribe(client, nullptr, static_cast<Subscriber*>(self)->filter_.c_str(), 1);
}

void Subscriber::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
    auto* subscriber = static_cast<Subscriber*>(self);
    Received received{message->topic, std::string(static_cast<const char*>(message->payload),
                                                  static_cast<size_t>(message->payloadlen)),
                      message->retain};
    std::lock_guard<std::mutex> lock(subscriber->mutex_);
    subscriber->messages_.push_back(std::move(received));
    subscriber->arrived_.notify_all();
}

bool Subscriber::WaitFor(const std::function<bool(const std::vector<Received>&)>& done,
                         std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_for(lock, timeout, [&] { return done(messages_); });
}

std::vector<Received> Subscriber::Messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
}

bool Subscriber::Last(const std::string& topic, Received* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = messages_.rbegin(); it != messages_.rend(); ++it) {
        if (it->topic == topic) {
            *out = *it;
            return true;
        }
    }
    return false;
}

HostRun::HostRun(const TempDir& dir, const std::string& job, const std::map<std::string, std::string>& env,
                 double fps) {
    static int runs = 0;
    const std::string name = "host" + std::to_string(++runs);
    stderrPath_ = dir.path() + "/" + name + ".err";
    std::vector<std::string> argv = {BREVANT_HOST_PATH, "run", dir.File(name + ".json", job), "--client",
                                     FARM_PUBLISHER_PATH, "--out", dir.path() + "/" + name};
    if (fps > 0) {
        argv.push_back("--fps");
        argv.push_back(std::to_string(fps));
    }
    pid_ = Spawn(argv, env, dir.path() + "/" + name + ".out", stderrPath_);
}

HostRun::~HostRun() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        Reap(pid_);
    }
}

int HostRun::Wait() {
    const int code = Reap(pid_);
    pid_ = -1;
    return code;
}

void HostRun::Kill(int signal) { ::kill(pid_, signal); }

std::string HostRun::Stderr() const {
    std::ifstream file(stderrPath_);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::string JobText(const std::vector<int>& framesPerItem, bool fileBased) {
    std::ostringstream job;
    job << R"({"project": "Farm", "items": [)";
    for (size_t i = 0; i < framesPerItem.size(); ++i) {
        job << (i ? "," : "") << R"({"comp": {"name": "Shot )" << i + 1
            << R"(", "width": 64, "height": 36, "frames": )" << framesPerItem[i] << "}, \"outputModules\": [";
        job << (fileBased ? R"({"path": "[compName]_[###].jpg"})"
                          : R"({"fileBased": false, "outputInfo": {"type": "Preview"}})");
        job << "]}";
    }
    job << "]}";
    return job.str();
}

}  // namespace farm_test

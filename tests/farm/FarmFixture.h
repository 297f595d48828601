// What the farm publisher's tests stand on: a real mosquitto on a free loopback port, started
// from a configuration written into the test's own temporary directory and killed when the
// object goes (also when the test fails); a real subscriber through libmosquitto; and real
// brevant-host processes rendering with the publisher loaded.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

struct mosquitto;
struct mosquitto_message;

namespace farm_test {

// A fresh directory under the system's temporary directory, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string File(const std::string& name, const std::string& text) const;

private:
    std::string path_;
};

struct BrokerOptions {
    std::string passwordFile;  // users and passwords; anonymous clients are refused when set
    std::string aclFile;
    std::string tlsName;  // TLS listener with the certificates that make-ca.sh made under this name
};

class Broker {
public:
    Broker(const TempDir& dir, BrokerOptions options = {});
    ~Broker();
    int port() const { return port_; }
    void Start();    // on the same port as before; waits until it accepts connections
    void Kill();     // SIGKILL, and reaped
    void Pause();    // SIGSTOP: the port accepts connections that nobody serves
    void Resume();

private:
    const TempDir& dir_;
    BrokerOptions options_;
    int port_;
    pid_t pid_ = -1;
    bool paused_ = false;
};

struct Received {
    std::string topic;
    std::string payload;
    bool retained = false;
};

// Subscribed to `filter` at QoS 1 (the constructor waits for the broker's acknowledgement),
// resubscribing after a reconnect.
class Subscriber {
public:
    Subscriber(int port, const std::string& filter, const std::string& user = "", const std::string& password = "",
               const std::string& caFile = "");
    ~Subscriber();
    // Waits until `done` holds for what arrived so far; true when it did before `timeout`.
    bool WaitFor(const std::function<bool(const std::vector<Received>&)>& done,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10));
    std::vector<Received> Messages();
    // The last payload on `topic`, or null.
    bool Last(const std::string& topic, Received* out);

private:
    static void OnConnect(mosquitto*, void* self, int code);
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);

    std::string filter_;
    mosquitto* client_ = nullptr;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<Received> messages_;
    bool subscribed_ = false;
};

// A brevant-host process rendering `job` with the farm publisher, its environment extended by
// `env`; output in files of the temporary directory.
class HostRun {
public:
    HostRun(const TempDir& dir, const std::string& job, const std::map<std::string, std::string>& env,
            double fps = 0.0);
    ~HostRun();
    int Wait();  // the exit code; -signal when killed
    void Kill(int signal);
    std::string Stderr() const;

private:
    pid_t pid_ = -1;
    std::string stderrPath_;
};

// A job file of items with `frames` small frames each; `fileBased` picks a JPEG sequence output
// over one that writes nothing.
std::string JobText(const std::vector<int>& framesPerItem, bool fileBased = true);

}  // namespace farm_test

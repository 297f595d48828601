// A real mosquitto on a free loopback port for the farm publisher's benchmark (PublisherBench.cpp),
// started from a configuration written into a temporary directory and killed when the object goes.
#pragma once

#include <sys/types.h>

#include <string>

namespace brevant_bench {

// A fresh directory under the system's temporary directory, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

class Broker {
public:
    explicit Broker(const TempDir& dir);
    ~Broker() { Kill(); }
    int port() const { return port_; }
    void Start();  // on the same port as before; waits until it accepts connections
    void Kill();   // SIGKILL, and reaped
    void Pause();  // SIGSTOP: the port accepts connections that nobody serves

private:
    const TempDir& dir_;
    int port_;
    pid_t pid_ = -1;
};

}  // namespace brevant_bench

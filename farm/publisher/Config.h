// The farm publisher's settings, read from the host process's environment (BREVANT_FARM_*,
// documented in docs/farm-publisher.md) and from the settings file BREVANT_FARM_CONFIG names,
// whose keys are the same names in lower case without BREVANT_FARM_ (the environment wins). Read
// once, at the entry point, on the host's main thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace farm_publisher {

struct Config {
    std::string host = "127.0.0.1";
    int port = 1883;
    std::string prefix = "brevant";
    std::string machine;  // already made safe as one topic level
    std::string username;
    std::string password;
    std::string caFile;  // TLS when set
    std::string certFile;
    std::string keyFile;
    size_t queueBytes = 4 * 1024 * 1024;
    int32_t thumbSeconds = 10;  // 0: no thumbnails
    int32_t thumbWidth = 320;
    int32_t thumbHeight = 180;
    int32_t keepaliveSeconds = 10;
    int32_t statusSeconds = 10;
    int32_t shutdownWaitMs = 2000;

    std::string Broker() const { return host + ":" + std::to_string(port); }
};

// Reads the configuration through `getenv`. `names` are the names of the process's environment
// variables: one that starts with BREVANT_FARM_ and is not a setting is refused, so that a
// misspelt setting is not silently ignored. `hostName` is the default machine name. On a setting
// that cannot be used, `error` names it and what it expects (or the file it cannot read), and
// false is returned with `out` untouched. A problem of the settings file names the file, the line
// and the key ("/etc/brevant/farm.toml:3: thumb_seconds: expected ...").
using EnvLookup = std::function<const char*(const char*)>;
bool ReadConfig(const EnvLookup& getenv, const std::vector<std::string>& names, const std::string& hostName,
                Config* out, std::string* error);

}  // namespace farm_publisher

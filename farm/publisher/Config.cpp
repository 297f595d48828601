#include "Config.h"

#include <fstream>
#include <optional>

#include <brevant/client.hpp>
#include "farm/wire/Wire.h"

namespace farm_publisher {

namespace {

bool ParseRange(const std::string& text, uint64_t low, uint64_t high, uint64_t* out) {
    uint64_t value = 0;
    if (!brevant_client::ParseUnsigned(text, &value) || value < low || value > high) return false;
    *out = value;
    return true;
}

bool ParseInt(const std::string& text, int32_t low, int32_t high, int32_t* out) {
    uint64_t value = 0;
    if (!ParseRange(text, static_cast<uint64_t>(low), static_cast<uint64_t>(high), &value)) return false;
    *out = static_cast<int32_t>(value);
    return true;
}

// "host", "host:port" or "[v6-address]:port".
bool ParseBroker(const std::string& text, std::string* host, int* port) {
    std::string name = text;
    std::string portText;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos) return false;
        name = text.substr(1, close - 1);
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':') return false;
            portText = text.substr(close + 2);
        }
    } else if (const size_t colon = text.rfind(':'); colon != std::string::npos) {
        name = text.substr(0, colon);
        portText = text.substr(colon + 1);
    }
    if (name.empty()) return false;
    for (unsigned char c : name) {
        if (c <= ' ' || c == '/') return false;
    }
    int32_t number = *port;
    if (!portText.empty() || text.back() == ':') {
        if (!ParseInt(portText, 1, 65535, &number)) return false;
    }
    *host = name;
    *port = number;
    return true;
}

std::string Expected(const char* what, const std::string& got) {
    return std::string("expected ") + what + ", got \"" + got + "\"";
}

// An empty path turns the file's use off again; any other must be readable now.
std::string ReadFile(const std::string& path, std::string* field) {
    if (!path.empty() && !std::ifstream(path, std::ios::binary).good()) return "cannot read " + path;
    *field = path;
    return "";
}

// Every setting: its variable and how its text is read into the configuration. A reader returns
// what is wrong with the text ("" when nothing is); the variable's name is put before it. This
// table is also the list of names that are known: any other BREVANT_FARM_ variable is refused.
struct Setting {
    const char* name;
    std::string (*read)(const std::string& text, Config& config);
};

const Setting kSettings[] = {
    {"BREVANT_FARM_BROKER",
     [](const std::string& text, Config& config) -> std::string {
         return ParseBroker(text, &config.host, &config.port) ? ""
                                                              : Expected("HOST or HOST:PORT (port 1 to 65535)", text);
     }},
    {"BREVANT_FARM_PREFIX",
     [](const std::string& text, Config& config) -> std::string {
         if (!farm_wire::ValidPrefix(text)) {
             return Expected("topic levels without '+', '#', empty levels or control characters", text);
         }
         config.prefix = text;
         return "";
     }},
    {"BREVANT_FARM_MACHINE",
     [](const std::string& text, Config& config) -> std::string {
         if (text.empty()) return Expected("a machine name", text);
         config.machine = farm_wire::TopicLevel(text);
         return "";
     }},
    {"BREVANT_FARM_USERNAME", [](const std::string& text, Config& config) -> std::string {
         config.username = text;
         return "";
     }},
    {"BREVANT_FARM_PASSWORD", [](const std::string& text, Config& config) -> std::string {
         config.password = text;
         return "";
     }},
    {"BREVANT_FARM_CAFILE", [](const std::string& text, Config& config) { return ReadFile(text, &config.caFile); }},
    {"BREVANT_FARM_CERTFILE", [](const std::string& text, Config& config) { return ReadFile(text, &config.certFile); }},
    {"BREVANT_FARM_KEYFILE", [](const std::string& text, Config& config) { return ReadFile(text, &config.keyFile); }},
    {"BREVANT_FARM_QUEUE_BYTES",
     [](const std::string& text, Config& config) -> std::string {
         uint64_t limit = 0;
         if (!ParseRange(text, 1024, uint64_t{1} << 40, &limit)) return Expected("a number of bytes, at least 1024", text);
         config.queueBytes = static_cast<size_t>(limit);
         return "";
     }},
    {"BREVANT_FARM_THUMB_SECONDS",
     [](const std::string& text, Config& config) -> std::string {
         return ParseInt(text, 0, 86400, &config.thumbSeconds) ? "" : Expected("whole seconds, 0 for no thumbnails", text);
     }},
    {"BREVANT_FARM_THUMB_SIZE",
     [](const std::string& text, Config& config) -> std::string {
         const size_t x = text.find('x');
         const bool valid = x != std::string::npos && ParseInt(text.substr(0, x), 1, 4096, &config.thumbWidth) &&
                            ParseInt(text.substr(x + 1), 1, 4096, &config.thumbHeight);
         return valid ? "" : Expected("WIDTHxHEIGHT, each 1 to 4096", text);
     }},
    {"BREVANT_FARM_KEEPALIVE",
     [](const std::string& text, Config& config) -> std::string {
         return ParseInt(text, 5, 65535, &config.keepaliveSeconds) ? "" : Expected("whole seconds, 5 to 65535", text);
     }},
    {"BREVANT_FARM_STATUS_SECONDS",
     [](const std::string& text, Config& config) -> std::string {
         return ParseInt(text, 1, 86400, &config.statusSeconds) ? "" : Expected("whole seconds, at least 1", text);
     }},
    {"BREVANT_FARM_SHUTDOWN_WAIT_MS",
     [](const std::string& text, Config& config) -> std::string {
         return ParseInt(text, 0, 600000, &config.shutdownWaitMs) ? "" : Expected("milliseconds, 0 to 600000", text);
     }},
};

}  // namespace

bool ReadConfig(const EnvLookup& getenv, const std::vector<std::string>& names, const std::string& hostName,
                Config* out, std::string* error) {
    if (out == nullptr) return false;
    auto fail = [&](const std::string& message) {
        if (error != nullptr) *error = message;
        return false;
    };
    for (const std::string& name : names) {
        if (name.rfind("BREVANT_FARM_", 0) != 0) continue;
        bool known = false;
        for (const Setting& setting : kSettings) known |= name == setting.name;
        if (!known) return fail("unknown setting " + name + " (see docs/farm-publisher.md)");
    }

    Config config;
    config.machine = farm_wire::TopicLevel(hostName);
    for (const Setting& setting : kSettings) {
        const char* text = getenv ? getenv(setting.name) : nullptr;
        if (text == nullptr) continue;
        const std::string problem = setting.read(text, config);
        if (!problem.empty()) return fail(std::string(setting.name) + ": " + problem);
    }
    if (!config.password.empty() && config.username.empty()) {
        return fail("BREVANT_FARM_PASSWORD is set but BREVANT_FARM_USERNAME is not");
    }
    if (config.certFile.empty() != config.keyFile.empty()) {
        return fail("BREVANT_FARM_CERTFILE and BREVANT_FARM_KEYFILE go together: set both or neither");
    }
    if (!config.certFile.empty() && config.caFile.empty()) {
        return fail("BREVANT_FARM_CERTFILE needs BREVANT_FARM_CAFILE: a client certificate is for TLS");
    }
    *out = std::move(config);
    return true;
}

}  // namespace farm_publisher

#include "Config.h"

#include <cctype>
#include <fstream>
#include <map>
#include <optional>
#include <utility>

#include <brevant/client.hpp>
#include "farm/wire/SecretFile.h"
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
    {"BREVANT_FARM_PASSWORD_FILE",
     [](const std::string& text, Config& config) { return farm_wire::ReadSecretFile(text, &config.password); }},
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

constexpr char kPrefix[] = "BREVANT_FARM_";
constexpr char kConfigVariable[] = "BREVANT_FARM_CONFIG";

const Setting* FindSetting(const std::string& name) {
    for (const Setting& setting : kSettings) {
        if (name == setting.name) return &setting;
    }
    return nullptr;
}

// A value of the settings file: "TEXT" (TOML's basic string: \\ and \" are the only escapes
// taken), 'TEXT' (TOML's literal string), or the rest of the line as it is; a '#' outside quotes
// and the blanks before it end the line. Returns what is wrong, "" when nothing is.
std::string ParseValue(const std::string& rest, std::string* value) {
    size_t end = 0;
    value->clear();
    if (!rest.empty() && (rest[0] == '"' || rest[0] == '\'')) {
        const char quote = rest[0];
        for (end = 1; end < rest.size() && rest[end] != quote; ++end) {
            if (quote == '"' && rest[end] == '\\') {
                if (end + 1 == rest.size() || (rest[end + 1] != '\\' && rest[end + 1] != '"'))
                    return "expected \\\\ or \\\" after a backslash in a quoted value";
                ++end;
            }
            value->push_back(rest[end]);
        }
        if (end == rest.size()) return "expected a closing quote";
        ++end;
    } else {
        end = rest.find('#');
        *value = rest.substr(0, end);
        end = value->size();
        while (!value->empty() && std::isspace(static_cast<unsigned char>(value->back()))) value->pop_back();
    }
    const size_t after = rest.find_first_not_of(" \t", end);
    if (after != std::string::npos && rest[after] != '#') return "expected nothing after the value but a # comment";
    return "";
}

// One setting of the file: the variable it stands for, its value, and where it was.
struct FileSetting {
    std::string text;
    std::string where;  // "FILE:LINE: key"
};

// Reads the settings file: `key = value` lines, keys the variables' names without BREVANT_FARM_
// in lower case, '#' comments, blank lines. Each key at most once.
std::string ReadSettingsFile(const std::string& path, std::map<std::string, FileSetting>* out) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::string(kConfigVariable) + ": cannot read " + path;
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        const std::string at = path + ":" + std::to_string(number);
        if (number == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);  // a byte-order mark
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#') continue;
        if (line.size() > 64 * 1024) return at + ": longer than any setting (64 KiB)";
        const size_t equals = line.find('=', start);
        if (line[start] == '[') return at + ": sections are not used; every key is at the top level";
        if (equals == std::string::npos) return at + ": expected key = value";
        std::string key = line.substr(start, equals - start);
        while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.pop_back();
        std::string name = kPrefix;
        bool lowerCase = true;
        for (char c : key) {
            lowerCase &= !std::isupper(static_cast<unsigned char>(c));
            name.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
        }
        if (!lowerCase || FindSetting(name) == nullptr)
            return at + ": unknown key \"" + key + "\" (the BREVANT_FARM_ settings' names in lower case, see docs/farm-publisher.md)";
        std::string value;
        const size_t valueStart = line.find_first_not_of(" \t", equals + 1);
        const std::string problem = ParseValue(valueStart == std::string::npos ? "" : line.substr(valueStart), &value);
        if (!problem.empty()) return at + ": " + key + ": " + problem;
        if (!out->emplace(name, FileSetting{value, at + ": " + key}).second) return at + ": " + key + " is given twice";
    }
    if (file.bad()) return std::string(kConfigVariable) + ": cannot read " + path;
    return "";
}

}  // namespace

bool ReadConfig(const EnvLookup& getenv, const std::vector<std::string>& names, const std::string& hostName,
                Config* out, std::string* error) {
    if (out == nullptr) return false;
    auto fail = [&](const std::string& message) {
        if (error != nullptr) *error = message;
        return false;
    };
    for (const std::string& name : names) {
        if (name.rfind(kPrefix, 0) != 0 || name == kConfigVariable) continue;
        if (FindSetting(name) == nullptr) return fail("unknown setting " + name + " (see docs/farm-publisher.md)");
    }
    auto variable = [&](const char* name) -> const char* { return getenv ? getenv(name) : nullptr; };

    // The file first, then the environment over it. The password and its file are one setting:
    // either in the environment replaces either in the file.
    std::map<std::string, FileSetting> file;
    if (const char* path = variable(kConfigVariable)) {
        const std::string problem = ReadSettingsFile(path, &file);
        if (!problem.empty()) return fail(problem);
    }
    if (variable("BREVANT_FARM_PASSWORD") || variable("BREVANT_FARM_PASSWORD_FILE")) {
        file.erase("BREVANT_FARM_PASSWORD");
        file.erase("BREVANT_FARM_PASSWORD_FILE");
    }

    Config config;
    config.machine = farm_wire::TopicLevel(hostName);
    std::string passwordFrom;
    for (const Setting& setting : kSettings) {
        std::string text, where = setting.name;
        if (const char* value = variable(setting.name)) {
            text = value;
        } else if (auto entry = file.find(setting.name); entry != file.end()) {
            text = entry->second.text;
            where = entry->second.where;
        } else {
            continue;
        }
        if (std::string(setting.name).rfind("BREVANT_FARM_PASSWORD", 0) == 0) {
            if (!passwordFrom.empty()) return fail(passwordFrom + " and " + where + ": give the password or its file, not both");
            passwordFrom = where;
        }
        const std::string problem = setting.read(text, config);
        if (!problem.empty()) return fail(where + ": " + problem);
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

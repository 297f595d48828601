// A secret kept in a file of its own (a broker password, the dashboard's token), read the same way
// by the publisher (BREVANT_FARM_PASSWORD_FILE) and brevant-dashboard (--token-file,
// --broker-password-file): the whole file, without one trailing line end ("\n" or "\r\n"), as
// editors and `echo` leave one. Header-only, the C++ standard library alone. [any-thread]
#pragma once

#include <fstream>
#include <iterator>
#include <string>

namespace farm_wire {

// Reads the secret at `path` into `secret`. Returns what is wrong ("" when nothing is), naming
// the file: it cannot be read, it is empty, or it is larger than any secret (64 KiB).
inline std::string ReadSecretFile(const std::string& path, std::string* secret) {
    constexpr size_t kMaxBytes = 64 * 1024;
    std::ifstream file(path, std::ios::binary);
    if (!file) return "cannot read " + path;
    std::string text;
    std::istreambuf_iterator<char> next(file), end;
    for (; next != end && text.size() <= kMaxBytes; ++next) text.push_back(*next);
    if (file.bad()) return "cannot read " + path;
    if (text.size() > kMaxBytes) return path + " is larger than a secret (64 KiB)";
    if (!text.empty() && text.back() == '\n') text.pop_back();
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (text.empty()) return path + " is empty";
    *secret = std::move(text);
    return "";
}

}  // namespace farm_wire

// Small text helpers shared by the session and the suite. [any-thread], no host calls.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "plugin/HostInterface.h"

namespace brevant {

// Widens ASCII into `out`, reusing its storage: the per-frame properties are rebuilt in place.
inline void AssignAscii(HostString& out, const char* text, size_t length) {
    out.resize(length);
    for (size_t i = 0; i < length; ++i) out[i] = static_cast<char16_t>(static_cast<unsigned char>(text[i]));
}

template <size_t N>
inline void AssignAscii(HostString& out, const char (&literal)[N]) {
    AssignAscii(out, literal, N - 1);
}

// Decimal text of a signed 32-bit number ("%i") or an unsigned 64-bit one ("%llu").
inline void AssignDecimal(HostString& out, int32_t value) {
    char buffer[12];
    const int length = std::snprintf(buffer, sizeof buffer, "%i", value);
    AssignAscii(out, buffer, static_cast<size_t>(length));
}
inline void AssignDecimal(HostString& out, uint64_t value) {
    char buffer[21];
    const int length = std::snprintf(buffer, sizeof buffer, "%llu", static_cast<unsigned long long>(value));
    AssignAscii(out, buffer, static_cast<size_t>(length));
}

// Removes trailing space, tab, carriage return and line feed; leading and inner blanks stay.
inline void TrimTrailingWhitespace(HostString& text) {
    size_t end = text.size();
    while (end > 0) {
        const char16_t c = text[end - 1];
        if (c != u' ' && c != u'\t' && c != u'\r' && c != u'\n') break;
        --end;
    }
    text.resize(end);
}

// The low 32 bits of an address, as the log lines print objects with "%x".
inline unsigned LogAddress(const void* object) {
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(object));
}

}  // namespace brevant

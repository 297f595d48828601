// The host's text conversions into its UTF-16 string type.
#include <cstring>

#include "host/HostState.h"

namespace {

constexpr char16_t kReplacement = 0xFFFD;

void AppendCodePoint(HostString& out, uint32_t codePoint) {
    if (codePoint < 0x10000) {
        out += static_cast<char16_t>(codePoint);
    } else {
        codePoint -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (codePoint >> 10));
        out += static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF));
    }
}

}  // namespace

using namespace brevant_host;

// UTF-8 to UTF-16. Each maximal ill-formed subsequence (a stray continuation byte, a truncated
// sequence, an overlong form, a surrogate, a value past U+10FFFF) becomes one U+FFFD, as web
// decoders do, so that what a plug-in shows matches what a browser would.
HostString HostMultiByteToUtf16(const char* text) {
    core::ClaimMainThread();
    HostString out;
    if (!text) return out;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    const size_t length = std::strlen(text);
    out.reserve(length);
    size_t i = 0;
    while (i < length) {
        const unsigned char lead = bytes[i++];
        if (lead < 0x80) {
            out += static_cast<char16_t>(lead);
            continue;
        }
        int needed = 0;
        uint32_t codePoint = 0;
        unsigned char lower = 0x80, upper = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            needed = 1;
            codePoint = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            needed = 2;
            codePoint = lead & 0x0F;
            if (lead == 0xE0) lower = 0xA0;  // overlong
            if (lead == 0xED) upper = 0x9F;  // surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            needed = 3;
            codePoint = lead & 0x07;
            if (lead == 0xF0) lower = 0x90;  // overlong
            if (lead == 0xF4) upper = 0x8F;  // past U+10FFFF
        } else {
            out += kReplacement;
            continue;
        }
        bool complete = true;
        for (int k = 0; k < needed; ++k) {
            if (i >= length || bytes[i] < lower || bytes[i] > upper) {
                complete = false;  // the offending byte starts the next sequence
                break;
            }
            codePoint = (codePoint << 6) | (bytes[i++] & 0x3F);
            lower = 0x80;
            upper = 0xBF;
        }
        if (complete) {
            AppendCodePoint(out, codePoint);
        } else {
            out += kReplacement;
        }
    }
    return out;
}

// Bytes past 0x7F are not ASCII and become U+FFFD.
HostString HostAsciiToUtf16(const char* text, size_t length) {
    core::ClaimMainThread();
    HostString out;
    if (!text) return out;
    out.resize(length);
    for (size_t i = 0; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        out[i] = byte < 0x80 ? static_cast<char16_t>(byte) : kReplacement;
    }
    return out;
}

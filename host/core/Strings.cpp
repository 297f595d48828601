// The host's text conversions between UTF-8 and its UTF-16 string type.
#include <string>
#include <string_view>

#include "host/core/HostState.h"

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

void AppendUtf8(std::string& out, uint32_t codePoint) {
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (codePoint >> 18));
        out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

}  // namespace

using namespace brevant_host;

namespace brevant_host {

// The one UTF-8 reader of the host. Each maximal ill-formed subsequence (a stray continuation
// byte, a truncated sequence, an overlong form, a surrogate, a value past U+10FFFF) becomes one
// U+FFFD, as web decoders do, so that what a plug-in shows matches what a browser would.
HostString FromUtf8(std::string_view text) {
    HostString out;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const size_t length = text.size();
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

std::string ToUtf8(const HostString& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t unit = text[i];
        if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000) {
            unit = 0x10000 + ((unit - 0xD800) << 10) + (static_cast<uint32_t>(text[i + 1]) - 0xDC00);
            ++i;
        } else if (unit >= 0xD800 && unit < 0xE000) {
            unit = kReplacement;  // a lone surrogate
        }
        AppendUtf8(out, unit);
    }
    return out;
}

}  // namespace brevant_host

// The host's text conversion reads the same way as the host's own texts.
HostString HostMultiByteToUtf16(const char* text) {
    core::ClaimMainThread();
    if (!text) return HostString();
    return FromUtf8(text);
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

// The C++ helper for client plug-ins of Brevant: header-only, C++17, built on the C headers of
// the SDK alone (<brevant/host.h>, <brevant/listener.h>, <brevant/monitor.h>).
//
// A client acquires the suites it needs for one callback and releases them when the callback
// returns (SuiteHandle); every string or image that the monitor suite hands out arrives in a
// host memory handle that the client owns and must free (MemHandle); strings are UTF-16 and
// are read here into UTF-8 std::string. Nothing in this header throws across a C boundary by
// itself: CatchToClientCode() is the one firewall that every entry point and callback of a
// client runs its body through.
//
// In a client: the entry point calls RegisterClient (listener and death hook) and the death
// hook DeregisterClient; each callback runs its body in CatchToClientCode and reads through a
// Monitor made for that callback, whose methods count and read a whole list (strings as UTF-8,
// handles freed) and return the suite's or the host's code, writing their out-parameter only on
// success. The lent log message is read with ReadLogMessage and never freed. At each finished
// frame, ProjectOutputSizes gives every output's final size and whether its disk will fill.
// See examples/frame_progress.
//
// Threads: everything here is [main-thread], like the monitor suite that it wraps.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include <brevant/host.h>
#include <brevant/listener.h>
#include <brevant/monitor.h>

namespace brevant_client {

// A client's own failure inside a callback that is neither a host nor a suite code.
constexpr HostErr kClientErrException = 0x43430001;

// ---- Exception firewall -----------------------------------------------------------------------

// Runs `body` (returning HostErr) and turns anything it throws into a client code, so that no
// exception leaves a client through the C boundary: std::bad_alloc becomes kHostErrOutOfMemory
// and everything else, a thrown integer included, kClientErrException. A client's own code is
// not a host's: unlike the plug-in's firewall, which passes a thrown host code on as it is, this
// one never lets a thrown number pose as the host's answer.
template <typename Body>
HostErr CatchToClientCode(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return kHostErrOutOfMemory;
    } catch (...) {
        return kClientErrException;
    }
}

// The earlier name of CatchToClientCode, kept for one release for the clients that use it.
template <typename Body>
[[deprecated("renamed CatchToClientCode: a thrown code becomes the client's own, never the host's")]]
HostErr Guarded(Body&& body) noexcept {
    return CatchToClientCode(std::forward<Body>(body));
}

// ---- Suites -----------------------------------------------------------------------------------

// One acquisition of a host suite, released when the handle goes away. The table is valid only
// while the handle lives.
template <typename Table>
class SuiteHandle {
public:
    SuiteHandle(const HostBasicSuite* basic, const char* name, int32_t version) noexcept
        : basic_(basic), name_(name), version_(version) {
        if (basic_ == nullptr || basic_->AcquireSuite == nullptr || name_ == nullptr) {
            error_ = kHostErrBadArgument;
            return;
        }
        const void* table = nullptr;
        error_ = basic_->AcquireSuite(name_, version_, &table);
        if (error_ == kHostErrNone && table == nullptr) {
            // Acquired but unusable: still ours to release.
            acquired_ = true;
            error_ = kHostErrUnknownSuite;
            return;
        }
        if (error_ == kHostErrNone) {
            acquired_ = true;
            table_ = static_cast<const Table*>(table);
        }
    }
    ~SuiteHandle() { Release(); }

    SuiteHandle(const SuiteHandle&) = delete;
    SuiteHandle& operator=(const SuiteHandle&) = delete;
    SuiteHandle(SuiteHandle&& other) noexcept
        : basic_(other.basic_), name_(other.name_), version_(other.version_),
          table_(std::exchange(other.table_, nullptr)), error_(other.error_),
          acquired_(std::exchange(other.acquired_, false)) {}
    SuiteHandle& operator=(SuiteHandle&&) = delete;

    // Null when the acquisition failed.
    const Table* get() const noexcept { return table_; }
    const Table* operator->() const noexcept { return table_; }
    explicit operator bool() const noexcept { return table_ != nullptr; }
    // The host's code of the acquisition, 0 when it succeeded.
    HostErr error() const noexcept { return error_; }

    void Release() noexcept {
        if (acquired_ && basic_ != nullptr && basic_->ReleaseSuite != nullptr) {
            basic_->ReleaseSuite(name_, version_);
        }
        acquired_ = false;
        table_ = nullptr;
    }

private:
    const HostBasicSuite* basic_;
    const char* name_;
    int32_t version_;
    const Table* table_ = nullptr;
    HostErr error_ = kHostErrNone;
    bool acquired_ = false;
};

using MonitorSuiteHandle = SuiteHandle<BrevantMonitorSuite1>;
using MemorySuiteHandle = SuiteHandle<HostMemorySuite1>;

inline MonitorSuiteHandle AcquireMonitorSuite(const HostBasicSuite* basic) noexcept {
    return MonitorSuiteHandle(basic, kBrevantMonitorSuite, kBrevantMonitorSuiteVersion);
}
inline MemorySuiteHandle AcquireMemorySuite(const HostBasicSuite* basic) noexcept {
    return MemorySuiteHandle(basic, kHostMemorySuite, kHostMemorySuiteVersion);
}

// ---- Memory handles ---------------------------------------------------------------------------

// Owns a memory handle received from the monitor suite and frees it through the memory suite,
// which must outlive it. Pass Out() as the operation's out-parameter; on a refused call the
// handle stays null and nothing is freed.
class MemHandle {
public:
    explicit MemHandle(const HostMemorySuite1* memory) noexcept : memory_(memory) {}
    ~MemHandle() { Reset(); }

    MemHandle(const MemHandle&) = delete;
    MemHandle& operator=(const MemHandle&) = delete;
    MemHandle(MemHandle&& other) noexcept
        : memory_(other.memory_), handle_(std::exchange(other.handle_, nullptr)) {}
    MemHandle& operator=(MemHandle&& other) noexcept {
        if (this != &other) {
            Reset();
            memory_ = other.memory_;
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }

    HostMemoryHandle* Out() noexcept {
        Reset();
        return &handle_;
    }
    HostMemoryHandle get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != nullptr; }

    void Reset() noexcept {
        if (handle_ != nullptr && memory_ != nullptr && memory_->MemFree != nullptr) {
            memory_->MemFree(handle_);
        }
        handle_ = nullptr;
    }

private:
    const HostMemorySuite1* memory_;
    HostMemoryHandle handle_ = nullptr;
};

// ---- Text -------------------------------------------------------------------------------------

inline void AppendUtf8(std::string& out, uint32_t codePoint) {
    if (codePoint < 0x80) {
        out.push_back(static_cast<char>(codePoint));
    } else if (codePoint < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else if (codePoint < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    }
}

// UTF-16 to UTF-8, ending at the first zero code unit or after `count` units. A surrogate
// without its partner becomes U+FFFD, so that any host text yields valid UTF-8.
inline std::string Utf16ToUtf8(const char16_t* units, size_t count) {
    std::string out;
    out.reserve(count);
    for (size_t i = 0; i < count && units[i] != 0; ++i) {
        const uint32_t unit = units[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (units[i + 1] - 0xDC00));
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            AppendUtf8(out, 0xFFFD);
        } else {
            AppendUtf8(out, unit);
        }
    }
    return out;
}

// The bytes of a handle, copied out under a lock.
inline HostErr ReadHandleBytes(const HostMemorySuite1* memory, HostMemoryHandle handle,
                               std::vector<uint8_t>* out) {
    if (memory == nullptr || handle == nullptr || out == nullptr) return kHostErrBadArgument;
    uint64_t size = 0;
    HostErr err = memory->MemSize(handle, &size);
    if (err != kHostErrNone) return err;
    std::vector<uint8_t> bytes;
    if (size > 0) {
        void* block = nullptr;
        err = memory->MemLock(handle, &block);
        if (err != kHostErrNone) return err;
        if (block == nullptr) {
            memory->MemUnlock(handle);
            return kHostErrBadHandle;
        }
        try {
            bytes.assign(static_cast<const uint8_t*>(block), static_cast<const uint8_t*>(block) + size);
        } catch (...) {
            memory->MemUnlock(handle);
            throw;
        }
        err = memory->MemUnlock(handle);
        if (err != kHostErrNone) return err;
    }
    *out = std::move(bytes);
    return kHostErrNone;
}

// The UTF-16 text of a string handle as UTF-8, up to its first zero code unit.
inline HostErr ReadHandleText(const HostMemorySuite1* memory, HostMemoryHandle handle,
                              std::string* out) {
    if (out == nullptr) return kHostErrBadArgument;
    std::vector<uint8_t> bytes;
    const HostErr err = ReadHandleBytes(memory, handle, &bytes);
    if (err != kHostErrNone) return err;
    std::u16string units(bytes.size() / 2, u'\0');
    if (!units.empty()) std::memcpy(&units[0], bytes.data(), units.size() * 2);
    *out = Utf16ToUtf8(units.data(), units.size());
    return kHostErrNone;
}

// The text of the message that a JobItemLog callback is lent. The relay frees the handle once
// every listener has returned: read it here, never free it.
inline HostErr ReadLogMessage(const ListenerBasicData* data, const HostMemoryHandle* message,
                              std::string* out) {
    if (data == nullptr || message == nullptr) return kHostErrBadArgument;
    MemorySuiteHandle memory = AcquireMemorySuite(data->basicSuite);
    if (!memory) return memory.error() != kHostErrNone ? memory.error() : kHostErrUnknownSuite;
    return ReadHandleText(memory.get(), *message, out);
}

// ---- Monitor suite ----------------------------------------------------------------------------

struct KeyValue {
    std::string key;
    std::string value;
};
using KeyValueList = std::vector<KeyValue>;

// The value of the first pair with `key`, or null.
inline const std::string* FindValue(const KeyValueList& list, const char* key) {
    for (const KeyValue& pair : list) {
        if (pair.key == key) return &pair.value;
    }
    return nullptr;
}

struct Thumbnail {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> jpeg;
};

// The monitor suite and the memory suite for one callback, and the session it concerns. Each
// query writes its out-parameter only on success and returns the suite's or the host's code.
class Monitor {
public:
    Monitor(const HostBasicSuite* basic, int64_t sessionId) noexcept
        : monitor_(AcquireMonitorSuite(basic)), memory_(AcquireMemorySuite(basic)), session_(sessionId) {}

    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    // 0 when both suites were acquired.
    HostErr error() const noexcept {
        if (!monitor_) return monitor_.error() != kHostErrNone ? monitor_.error() : kHostErrUnknownSuite;
        if (!memory_) return memory_.error() != kHostErrNone ? memory_.error() : kHostErrUnknownSuite;
        return kHostErrNone;
    }

    HostErr ProjectName(std::string* out) const {
        return ReadText([&](HostMemoryHandle* h) { return monitor_->Brevant_GetProjectName(session_, h); }, out);
    }
    HostErr AppVersion(std::string* out) const {
        return ReadText([&](HostMemoryHandle* h) { return monitor_->Brevant_GetAppVersion(session_, h); }, out);
    }

    HostErr ItemIds(std::vector<int64_t>* out) const {
        if (out == nullptr) return kHostErrBadArgument;
        if (HostErr err = error()) return err;
        int32_t count = 0;
        if (HostErr err = monitor_->Brevant_GetNumJobItems(session_, &count)) return err;
        std::vector<int64_t> ids;
        for (int32_t index = 0; index < count; ++index) {
            int64_t id = 0;
            if (HostErr err = monitor_->Brevant_GetJobItemID(session_, index, &id)) return err;
            ids.push_back(id);
        }
        *out = std::move(ids);
        return kHostErrNone;
    }

    HostErr RenderSettings(int64_t item, KeyValueList* out) const {
        return ReadPairs(
            [&](int32_t* n) { return monitor_->Brevant_GetNumJobItemRenderSettings(session_, item, n); },
            [&](int32_t i, HostMemoryHandle* k, HostMemoryHandle* v) {
                return monitor_->Brevant_GetJobItemRenderSetting(session_, item, i, k, v);
            },
            out);
    }

    HostErr OutputModuleCount(int64_t item, int32_t* out) const {
        if (out == nullptr) return kHostErrBadArgument;
        if (HostErr err = error()) return err;
        int32_t count = 0;
        if (HostErr err = monitor_->Brevant_GetNumJobItemOutputModules(session_, item, &count)) return err;
        *out = count;
        return kHostErrNone;
    }

    HostErr OutputModuleSettings(int64_t item, int32_t module, KeyValueList* out) const {
        return ReadPairs(
            [&](int32_t* n) {
                return monitor_->Brevant_GetNumJobItemOutputModuleSettings(session_, item, module, n);
            },
            [&](int32_t i, HostMemoryHandle* k, HostMemoryHandle* v) {
                return monitor_->Brevant_GetJobItemOutputModuleSetting(session_, item, module, i, k, v);
            },
            out);
    }

    HostErr OutputModuleWarnings(int64_t item, int32_t module, std::vector<std::string>* out) const {
        if (out == nullptr) return kHostErrBadArgument;
        if (HostErr err = error()) return err;
        int32_t count = 0;
        if (HostErr err = monitor_->Brevant_GetNumJobItemOutputModuleWarnings(session_, item, module, &count)) {
            return err;
        }
        std::vector<std::string> warnings;
        for (int32_t index = 0; index < count; ++index) {
            std::string text;
            const HostErr err = ReadText(
                [&](HostMemoryHandle* h) {
                    return monitor_->Brevant_GetJobItemOutputModuleWarning(session_, item, module, index, h);
                },
                &text);
            if (err != kHostErrNone) return err;
            warnings.push_back(std::move(text));
        }
        *out = std::move(warnings);
        return kHostErrNone;
    }

    // Only inside the JobItemUpdate callback of `frame`.
    HostErr FrameProperties(int64_t item, int64_t frame, KeyValueList* out) const {
        return ReadPairs(
            [&](int32_t* n) { return monitor_->Brevant_GetNumJobItemFrameProperties(session_, item, frame, n); },
            [&](int32_t i, HostMemoryHandle* k, HostMemoryHandle* v) {
                return monitor_->Brevant_GetJobItemFrameProperty(session_, item, frame, i, k, v);
            },
            out);
    }

    // Only inside a JobItemUpdate callback.
    HostErr OutputModuleProperties(int64_t item, int32_t module, KeyValueList* out) const {
        return ReadPairs(
            [&](int32_t* n) {
                return monitor_->Brevant_GetNumJobItemOutputModuleProperties(session_, item, module, n);
            },
            [&](int32_t i, HostMemoryHandle* k, HostMemoryHandle* v) {
                return monitor_->Brevant_GetJobItemOutputModuleProperty(session_, item, module, i, k, v);
            },
            out);
    }

    // Only inside the JobItemUpdate callback of `frame`; the limits must be above 0.
    HostErr FrameThumbnail(int64_t item, int64_t frame, int32_t maxWidth, int32_t maxHeight,
                           Thumbnail* out) const {
        if (out == nullptr) return kHostErrBadArgument;
        if (HostErr err = error()) return err;
        int32_t width = maxWidth;
        int32_t height = maxHeight;
        MemHandle jpeg(memory_.get());
        if (HostErr err = monitor_->Brevant_GetJobItemFrameThumbnail(session_, item, frame, &width, &height,
                                                                     jpeg.Out())) {
            return err;
        }
        Thumbnail result;
        if (HostErr err = ReadHandleBytes(memory_.get(), jpeg.get(), &result.jpeg)) return err;
        result.width = width;
        result.height = height;
        *out = std::move(result);
        return kHostErrNone;
    }

private:
    template <typename Fetch>
    HostErr ReadText(Fetch&& fetch, std::string* out) const {
        if (out == nullptr) return kHostErrBadArgument;
        if (HostErr err = error()) return err;
        MemHandle handle(memory_.get());
        if (HostErr err = fetch(handle.Out())) return err;
        return ReadHandleText(memory_.get(), handle.get(), out);
    }

    // Count first, then read by index: the counting operation is what builds the list.
    template <typename Count, typename Read>
    HostErr ReadPairs(Count&& count, Read&& read, KeyValueList* out) const {
        if (out == nullptr) return kHostErrBadArgument;
        if (HostErr err = error()) return err;
        int32_t total = 0;
        if (HostErr err = count(&total)) return err;
        KeyValueList pairs;
        for (int32_t index = 0; index < total; ++index) {
            MemHandle key(memory_.get());
            MemHandle value(memory_.get());
            // A key delivered before its value failed is ours too; both wrappers free theirs.
            if (HostErr err = read(index, key.Out(), value.Out())) return err;
            KeyValue pair;
            if (HostErr err = ReadHandleText(memory_.get(), key.get(), &pair.key)) return err;
            if (HostErr err = ReadHandleText(memory_.get(), value.get(), &pair.value)) return err;
            pairs.push_back(std::move(pair));
        }
        *out = std::move(pairs);
        return kHostErrNone;
    }

    MonitorSuiteHandle monitor_;
    MemorySuiteHandle memory_;
    int64_t session_;
};

// ---- Registration -----------------------------------------------------------------------------

// Registers a listener with the monitor suite and a death hook with the register suite, both
// acquired for this call only. On failure nothing stays registered and the first failing code
// is returned. [main-thread]
inline HostErr RegisterClient(const HostBasicSuite* basic, int32_t pluginId, uint64_t refcon,
                              const ListenerCallbacks* callbacks, HostDeathHookFunc deathHook) noexcept {
    if (basic == nullptr || callbacks == nullptr || deathHook == nullptr) return kHostErrBadArgument;
    MonitorSuiteHandle monitor = AcquireMonitorSuite(basic);
    if (!monitor) return monitor.error() != kHostErrNone ? monitor.error() : kHostErrUnknownSuite;
    if (HostErr err = monitor->Brevant_RegisterListener(pluginId, refcon, callbacks)) return err;

    SuiteHandle<HostRegisterSuite6> registrar(basic, kHostRegisterSuite, kHostRegisterSuiteVersion);
    HostErr err = registrar ? registrar->RegisterDeathHook(pluginId, deathHook, nullptr)
                            : (registrar.error() != kHostErrNone ? registrar.error() : kHostErrUnknownSuite);
    if (err != kHostErrNone) {
        // Without a death hook nobody would deregister the listener before the client goes away.
        monitor->Brevant_DeregisterListener(pluginId, refcon);
    }
    return err;
}

// The death hook's half of RegisterClient. A Brevant that was shut down first answers 3, which
// means the listener is gone already. [main-thread]
inline HostErr DeregisterClient(const HostBasicSuite* basic, int32_t pluginId, uint64_t refcon) noexcept {
    MonitorSuiteHandle monitor = AcquireMonitorSuite(basic);
    if (!monitor) return monitor.error() != kHostErrNone ? monitor.error() : kHostErrUnknownSuite;
    const HostErr err = monitor->Brevant_DeregisterListener(pluginId, refcon);
    return err == kBrevantErrRejected ? kHostErrNone : err;
}

// ---- Formatting -------------------------------------------------------------------------------

// Milliseconds as m:ss (minutes may exceed 59); negative values as 0:00. The console monitor's
// own way of showing times, kept here for one release.
[[deprecated("the console monitor's formatting: write times as your client shows them")]]
inline std::string FormatDuration(int64_t milliseconds) {
    if (milliseconds < 0) milliseconds = 0;
    const int64_t seconds = milliseconds / 1000;
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%lld:%02lld", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
    return buffer;
}

// Bytes in binary units with one decimal: "512 B", "1.5 KiB", "2.0 GiB".
inline std::string FormatBytes(uint64_t bytes) {
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
    char buffer[32];
    if (bytes < 1024) {
        std::snprintf(buffer, sizeof buffer, "%llu B", static_cast<unsigned long long>(bytes));
        return buffer;
    }
    double value = static_cast<double>(bytes);
    size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < sizeof units / sizeof units[0]) {
        value /= 1024.0;
        ++unit;
    }
    std::snprintf(buffer, sizeof buffer, "%.1f %s", value, units[unit]);
    return buffer;
}

// A decimal text as the suite writes numbers; false for anything else (empty, sign, junk,
// overflow), leaving `out` as it was.
inline bool ParseUnsigned(const std::string& text, uint64_t* out) {
    if (out == nullptr || text.empty() || text.size() > 20) return false;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    *out = value;
    return true;
}

// A signed decimal text ("%i"); false for anything else, leaving `out` as it was.
inline bool ParseSigned(const std::string& text, int64_t* out) {
    if (out == nullptr || text.empty()) return false;
    const bool negative = text[0] == '-';
    uint64_t magnitude = 0;
    if (!ParseUnsigned(negative ? text.substr(1) : text, &magnitude)) return false;
    if (!negative && magnitude > static_cast<uint64_t>(INT64_MAX)) return false;
    if (negative && magnitude > static_cast<uint64_t>(INT64_MAX) + 1) return false;
    *out = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    return true;
}

// ---- Final sizes and free space ---------------------------------------------------------------

namespace detail {

// value × numerator / denominator rounded down, exact over the whole range; UINT64_MAX when
// the quotient does not fit. `denominator` is above 0.
inline uint64_t MultiplyDivide(uint64_t value, uint64_t numerator, uint64_t denominator) noexcept {
    const uint64_t lowMask = 0xFFFFFFFFu;
    const uint64_t ll = (value & lowMask) * (numerator & lowMask);
    const uint64_t lh = (value & lowMask) * (numerator >> 32);
    const uint64_t hl = (value >> 32) * (numerator & lowMask);
    const uint64_t hh = (value >> 32) * (numerator >> 32);
    const uint64_t middle = (ll >> 32) + (lh & lowMask) + (hl & lowMask);
    uint64_t high = hh + (lh >> 32) + (hl >> 32) + (middle >> 32);
    uint64_t low = (ll & lowMask) | (middle << 32);
    if (high >= denominator) return UINT64_MAX;
    // The 128-bit product over the divisor, a bit at a time: the quotient's bits enter `low`
    // from the right as the product's leave it on the left.
    for (int bit = 0; bit < 64; ++bit) {
        const bool carry = (high >> 63) != 0;
        high = (high << 1) | (low >> 63);
        low <<= 1;
        if (carry || high >= denominator) {
            high -= denominator;
            low |= 1;
        }
    }
    return low;
}

}  // namespace detail

// One output of an item at a finished frame: what its output-module properties say (read them
// with ReadOutputSize), and what ProjectOutputSizes makes of them.
struct OutputSize {
    std::string disk;             // "Disk": the volume of the file; empty for an output that writes none
    uint64_t bytes = 0;           // "FileSize": written so far (a sequence: all its files)
    uint64_t freeBytes = 0;       // "DiskSpace": free on the volume now
    uint64_t projectedBytes = 0;  // the final size, see ProjectOutputSizes
    bool willFill = false;        // the item's outputs will not fit on the volume, ditto
};

// The figures ProjectOutputSizes reads, from one output module's properties. A number that is
// absent or not a decimal reads as 0.
inline OutputSize ReadOutputSize(const KeyValueList& outputModuleProperties) {
    OutputSize output;
    if (const std::string* disk = FindValue(outputModuleProperties, "Disk")) output.disk = *disk;
    if (const std::string* size = FindValue(outputModuleProperties, "FileSize")) ParseUnsigned(*size, &output.bytes);
    if (const std::string* space = FindValue(outputModuleProperties, "DiskSpace")) {
        ParseUnsigned(*space, &output.freeBytes);
    }
    return output;
}

// The final size of each output of one item and whether its disk will fill, at a finished frame.
// `outputs` are the item's outputs in module order; `framesDone` counts the item's finished
// frames so far, this one included, as the client saw them (not the frame id: the host's ids
// need not start at 1); `framesTotal` is the frame's "FramesTotal".
// - projectedBytes = bytes × framesTotal / framesDone, rounded down (exact; UINT64_MAX when it
//   does not fit); bytes itself while framesDone is 0 or less or framesTotal is not above
//   framesDone. The host's "EstFinalSize" is coarser on purpose (the whole quotient of frames
//   total over frame id) and is not used.
// - willFill: the output names a disk, and the growth still to come (projectedBytes - bytes)
//   of all the item's outputs on that disk exceeds the output's freeBytes. Only this item's
//   outputs count: another item on the same disk is judged when its own frames come.
inline void ProjectOutputSizes(std::vector<OutputSize>& outputs, int64_t framesDone, int64_t framesTotal) noexcept {
    for (OutputSize& output : outputs) {
        output.projectedBytes = output.bytes;
        if (framesDone > 0 && framesTotal > framesDone) {
            output.projectedBytes = detail::MultiplyDivide(output.bytes, static_cast<uint64_t>(framesTotal),
                                                           static_cast<uint64_t>(framesDone));
        }
    }
    for (OutputSize& output : outputs) {
        output.willFill = false;
        if (output.disk.empty()) continue;
        uint64_t growth = 0;
        bool beyondCount = false;  // more than 2^64 - 1 bytes to come fills any disk
        for (const OutputSize& other : outputs) {
            if (other.disk != output.disk) continue;
            const uint64_t more = other.projectedBytes - other.bytes;
            beyondCount = beyondCount || growth > UINT64_MAX - more;
            growth += more;
        }
        output.willFill = beyondCount || growth > output.freeBytes;
    }
}

// ---- Timecodes --------------------------------------------------------------------------------

// The frame count of an "h:mm:ss:ff" timecode (";" also separates, a leading "-" negates) at the
// rate that ends `frameRate` ("Use comp's frame rate (29.97)": 30 frames a timecode second), as
// render settings give "Start" and "Duration". False for anything else, leaving `out` as it was.
inline bool TimecodeToFrames(const std::string& timecode, const std::string& frameRate, int64_t* out) {
    const size_t last = frameRate.find_last_of("0123456789");
    if (out == nullptr || last == std::string::npos) return false;
    size_t first = frameRate.find_last_not_of("0123456789.", last);
    first = first == std::string::npos ? 0 : first + 1;
    const int64_t perSecond = static_cast<int64_t>(std::strtod(frameRate.substr(first, last - first + 1).c_str(), nullptr) + 0.5);
    if (perSecond <= 0 || perSecond > 1000) return false;
    const bool negative = !timecode.empty() && timecode[0] == '-';
    int64_t parts[4] = {0, 0, 0, 0};
    size_t at = negative ? 1 : 0;
    for (int i = 0; i < 4; ++i) {
        const size_t end = timecode.find_first_of(":;", at);
        const std::string digits = timecode.substr(at, i < 3 ? end - at : std::string::npos);
        uint64_t value = 0;
        if ((i < 3 && end == std::string::npos) || digits.size() > 6 || !ParseUnsigned(digits, &value)) return false;
        parts[i] = static_cast<int64_t>(value);
        at = i < 3 ? end + 1 : timecode.size();
    }
    const int64_t frames = ((parts[0] * 60 + parts[1]) * 60 + parts[2]) * perSecond + parts[3];
    *out = negative ? -frames : frames;
    return true;
}

}  // namespace brevant_client

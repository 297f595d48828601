// The stand-in host's validator core (libbrevant_host): what brevant-host, the tests and the
// benchmarks use to run plug-ins as the host application would, and to check afterwards that
// they behaved. The render-queue simulator (host/simulator/) is built on it; nothing here knows
// of jobs, records or rendering.
//
// One host per process. Everything here is [main-thread] unless noted: the main thread is the
// one that first touched the host, or the one given to SetMainThread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "plugin/HostInterface.h"

namespace brevant_host {

// ---- Logging ----------------------------------------------------------------------------------

struct LogLine {
    int32_t level;
    std::string tag;
    std::string function;
    std::string message;  // the formatted text
};

enum class LogSink {
    Stderr,    // "[tag] function: message" on standard error (the default)
    File,      // the same, appended to the file given to SetLogFile
    Recorder,  // kept in memory for RecordedLog
    Off,       // dropped before formatting
};
HOST_API void SetLogSink(LogSink sink);
HOST_API bool SetLogFile(const std::string& path);
// The recorded lines, in order. [any-thread]
HOST_API std::vector<LogLine> RecordedLog();
HOST_API void ClearRecordedLog();

// ---- Text -------------------------------------------------------------------------------------

// UTF-8 to the host's UTF-16, as every text of the host is read (HostMultiByteToUtf16, job files,
// file paths): each maximal ill-formed subsequence (a stray continuation byte, a truncated
// sequence, an overlong form, an encoded surrogate, a value past U+10FFFF) becomes one U+FFFD.
// Nothing is rejected; a zero byte is a character like any other. [any-thread]
HOST_API HostString FromUtf8(std::string_view text);
// UTF-16 to UTF-8; a surrogate without its partner becomes U+FFFD. [any-thread]
HOST_API std::string ToUtf8(const HostString& text);

// ---- Threads ----------------------------------------------------------------------------------

HOST_API void SetMainThread();
// Number of host calls that asked HostIsOnMainThread from another thread. [any-thread]
HOST_API uint64_t OffMainThreadCalls();

// ---- Faults -----------------------------------------------------------------------------------

// Every host call that can fail. A fault makes the call fail with its code; calls that report
// failure by exception (ConvertWorld, CompressJpeg) throw std::runtime_error instead.
enum class HostCall {
    AcquireSuite,       // any suite, or only the one named in SetSuiteFault
    PublishSuite,
    RegisterDeathHook,
    MemCreate,
    MemFree,
    MemLock,
    MemUnlock,
    VersionString,
    ModuleInfoQuery,
    OutputInfoQuery,
    FileSpecName,
    ConvertWorld,
    CompressJpeg,
};
// Fails `call` with `code` after `skip` successful uses, `times` times (-1: every time after).
HOST_API void SetFault(HostCall call, HostErr code, int skip = 0, int times = -1);
// Fails acquisitions of one suite (name, version) with `code`.
HOST_API void SetSuiteFault(const std::string& name, int32_t version, HostErr code);
HOST_API void ClearFaults();
// Asked by the host's own implementations: true when this use of `call` must fail. [any-thread]
HOST_API bool TakeFault(HostCall call, HostErr* code);

// ---- Suites -----------------------------------------------------------------------------------

// The basic suite that plug-ins receive. [any-thread]
HOST_API const HostBasicSuite* BasicSuite();
// Acquisitions minus releases, per (name, version), for suites that are still held.
HOST_API std::map<std::pair<std::string, int32_t>, int64_t> HeldSuites();
struct SuiteCounts {
    int64_t acquired = 0;
    int64_t released = 0;
};
HOST_API SuiteCounts SuiteUse(const std::string& name, int32_t version);
// Names of suites published by plug-ins, in order of publication.
HOST_API std::vector<std::pair<std::string, int32_t>> PublishedSuites();
// Messages shown through "KOVA Utility Suite" ReportMessage, in order.
HOST_API std::vector<std::string> ReportedMessages();

// ---- Memory handles ---------------------------------------------------------------------------

struct HandleInfo {
    int32_t ownerId;
    std::string label;
    uint64_t size;
    int32_t flags;
    int32_t lockCount;
    std::vector<uint8_t> bytes;
};
// Live (not yet freed) handles. [any-thread]
HOST_API uint64_t LiveHandleCount();
HOST_API std::vector<HostMemoryHandle> LiveHandles();
// Whether `handle` is live; if so, its record is written.
HOST_API bool InspectHandle(HostMemoryHandle handle, HandleInfo* out);
struct HandleCounts {
    uint64_t created = 0;
    uint64_t freed = 0;
    uint64_t locked = 0;
    uint64_t unlocked = 0;
    uint64_t refused = 0;  // calls on freed or unknown handles, or bad arguments
};
HOST_API HandleCounts HandleUse();
// Convenience for clients and tests: the UTF-16 text of a string handle, up to its first zero
// code unit. False for an unknown handle.
HOST_API bool ReadStringHandle(HostMemoryHandle handle, HostString* out);

// ---- Plug-ins ---------------------------------------------------------------------------------

struct PropertyList {
    int32_t resourceId = 0;
    std::string kind;
    std::string name;
    std::string category;
    uint32_t version = 0;
    std::string entryPoint;
    uint32_t flags = 0;
};
// Reads the property list from a plug-in library file without loading it. On failure the
// message says why and false is returned.
HOST_API bool ReadPropertyList(const std::string& libraryPath, PropertyList* out, std::string* error);

struct LoadedPlugin {
    std::string path;
    PropertyList properties;
    int32_t pluginId = 0;
    void* library = nullptr;      // dlopen handle; HMODULE on Windows
    void* globalRefcon = nullptr;
    HostErr entryResult = 0;
};
// Reads the property list, loads the library, and calls the entry point it names with the
// basic suite, a fresh plug-in id and the host's version. Death hooks the plug-in registers run
// at RunDeathHooks.
HOST_API bool LoadPlugin(const std::string& libraryPath, LoadedPlugin* out, std::string* error);
// The address that a loaded plug-in exports under `name` (dlsym, GetProcAddress), or null.
HOST_API void* PluginSymbol(const LoadedPlugin& plugin, const std::string& name);
// Calls an entry point directly, as LoadPlugin does after loading (for plug-ins linked in).
HOST_API HostErr CallEntryPoint(HostPluginEntryFunc entry, int32_t pluginId, void** globalRefcon);
// Runs every registered death hook, last registered first, with the refcon its plug-in stored,
// then forgets them. Returns how many ran.
HOST_API int RunDeathHooks();
// The global refcon stored for a plug-in id by its entry point, or null.
HOST_API void* GlobalRefcon(int32_t pluginId);

// ---- The host's version ----------------------------------------------------------------------

// Makes HostVersionString write `text` instead of the version's own text: its first 64 bytes,
// with no terminator when it has 64 or more. Empty restores the version's text; so does ResetHost.
HOST_API void SetVersionText(const std::string& text);

// ---- Whole-host state -------------------------------------------------------------------------

// Clears faults, the recorded log, messages, published suites, death hooks and counters, so
// that one process can run many independent tests. Live handles and held suites are kept, so a
// test can still see what an earlier one leaked.
HOST_API void ResetHost();

// What leaked: suites still held and handles still alive, one line each; empty when clean.
HOST_API std::vector<std::string> LeakReport();

}  // namespace brevant_host

// libFuzzer harness over Brevant's ABI, inside the stand-in host.
//
// Each input is a small program: every op byte picks an operation, the bytes after it its
// arguments (a Reader answers 0 once the input is used up, so every byte string is a program).
// The operations are what a host and its client plug-ins may do: load the plug-in (BrevantMain)
// and shut it down (DeathHook), start sessions through the provider suite, build random jobs,
// describe and render them in any order with random records, log, call the 18 monitor-suite
// operations with good and bad arguments, register listeners whose callbacks run small scripts
// (monitor calls, registration changes, exceptions), and switch host faults on and off.
//
// What must hold, besides the sanitizers: suite operations answer documented results and leave
// their out-parameters alone when they fail; successful ones hand out live handles; and after
// each input, once sessions are dropped, listeners deregistered and the death hooks run, no
// suite is held and no handle is alive. Anything else ends the process with abort().
//
// BREVANT_FUZZ_WRITE_SEEDS=DIR writes the seed programs (tests/fuzz/corpus) into DIR and exits.
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "host/Job.h"
#include "host/StandInHost.h"
#include <brevant/listener.h>
#include "session/RQSession.h"
#include <brevant/monitor.h>

namespace {

using brevant_host::HostCall;

// ---- The program ------------------------------------------------------------------------------

class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return pos_ >= size_; }
    size_t Left() const { return Empty() ? 0 : size_ - pos_; }
    void Skip(size_t n) { pos_ = n >= Left() ? size_ : pos_ + n; }
    // The next n bytes, or what is left of them.
    std::vector<uint8_t> Take(size_t n) {
        const uint8_t* from = data_ + pos_;
        Skip(n);
        return std::vector<uint8_t>(from, data_ + pos_);
    }
    uint8_t U8() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t U16() {
        const uint16_t low = U8();
        return static_cast<uint16_t>(low | (U8() << 8));
    }
    uint32_t U32() {
        const uint32_t low = U16();
        return low | (static_cast<uint32_t>(U16()) << 16);
    }
    uint64_t U64() {
        const uint64_t low = U32();
        return low | (static_cast<uint64_t>(U32()) << 32);
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// Op codes of the main program. The seeds below and tests/fuzz/corpus are written with them:
// append new ones at the end.
enum Op : uint8_t {
    kOpLoad = 0,          // BrevantMain, when the plug-in is not running
    kOpDeathHook,         // the host's shutdown: every death hook
    kOpStartSession,      // slot, null-out flag
    kOpDropSession,       // slot, [copy into another slot]
    kOpBuildJob,          // job slot, the job's description (see BuildJobText)
    kOpDescribeBegin,     // slot, job, name choice
    kOpDescribeAddItem,   // slot, job, item, queue-index choice
    kOpDescribeEnd,       // slot
    kOpDescribeAll,       // slot, job: begin, every item, end
    kOpRenderStart,       // slot, job, item (for the host's clock)
    kOpRenderUpdate,      // slot, job, item, frame, status, record mutations
    kOpRenderEnd,         // slot, host status
    kOpLog,               // slot, type, text
    kOpMonitor,           // one monitor-suite call from outside any callback
    kOpRegister,          // plug-in id, refcon, table, script
    kOpDeregister,        // plug-in id, refcon
    kOpSetFault,          // call, code, skip, times
    kOpSetSuiteFault,     // suite, version, code
    kOpClearFaults,
    kOpAcquireSuite,      // suite, version: held until the end of the input
    kOpRenderAll,         // slot, job: every item, every frame, done
    kOpCount
};

// Actions of a listener's script, run in every callback of that listener.
enum Action : uint8_t {
    kActMonitor = 0,      // a monitor-suite call in the callback's context
    kActMonitor2,
    kActDeregisterSelf,
    kActDeregisterOther,  // key
    kActRegisterOther,    // key, table, script length: the next bytes of this script
    kActThrowInt,
    kActThrowStd,
    kActThrowOther,
    kActAcquireAndCall,   // acquire the monitor suite through the basic suite, one call, release
    kActReadMessage,      // JobItemLog: read and lock the message handle (it stays Brevant's)
    kActCount
};

[[noreturn]] void Fail(const char* what, long long detail = 0) {
    std::fprintf(stderr, "brevant_abi_fuzzer: %s (%lld)\n", what, detail);
    std::fflush(stderr);
    std::abort();
}

// ---- The harness's state --------------------------------------------------------------------

constexpr int kSessionSlots = 3;
constexpr int kJobSlots = 2;
constexpr int kMaxOps = 200;
constexpr int kCallbackBudget = 400;  // script actions per input, over all callbacks

struct Tables {
    HostPluginEntryFunc entry = nullptr;
    HostDeathHookFunc deathHook = nullptr;
    const HostBasicSuite* basic = nullptr;
    const HostMemorySuite1* memory = nullptr;
    const BrevantMonitorSuite1* monitor = nullptr;
    const BrevantProviderSuite1* provider = nullptr;
    std::string outputDirectory;
};
Tables gT;

using ListenerKey = std::pair<int32_t, uint64_t>;

struct InputState {
    bool running = false;                 // BrevantMain ran and DeathHook did not since
    bool hookRegistered = false;          // ... and its death hook is with the host
    void* refcon = nullptr;               // its global refcon
    std::shared_ptr<RQSession> sessions[kSessionSlots];
    std::shared_ptr<brevant_host::Job> jobs[kJobSlots];
    std::map<ListenerKey, std::vector<uint8_t>> scripts;  // every key ever registered
    std::vector<HostMemoryHandle> unfreed;                // handles whose MemFree failed
    std::vector<std::pair<const char*, int32_t>> heldSuites;
    bool handlesMayLeak = false;          // a fault that can keep Brevant from freeing was armed
    // Codes that host calls were armed to fail with, of the calls whose code a monitor-suite
    // operation hands back unchanged (the memory suite's in every conversion; the file-system
    // and output-module queries in operation 15): a query may then answer 1 or 3 for that reason.
    std::vector<HostErr> passedOnCodes;
    std::vector<HostErr> jobCodes;  // the same from the records of the input's jobs, which stay
    bool tearingDown = false;
    int callbackBudget = kCallbackBudget;
};
InputState* gS = nullptr;

bool gTrace = false;  // BREVANT_FUZZ_TRACE=1: ops, jobs and suite calls on standard error
int32_t gNextPluginId = 1000;
int64_t gSessionsStarted = 0;  // Brevant numbers sessions 1, 2, ... per process
int64_t gLastSeenSession = 0;  // the last session id a callback was given

int64_t CurrentSessionId() { return gSessionsStarted; }

// ---- Handles --------------------------------------------------------------------------------

void FreeHandle(HostMemoryHandle handle) {
    if (gT.memory->MemFree(handle) != kHostErrNone) gS->unfreed.push_back(handle);
}

// A handle that a successful call handed out: live, then freed as a client does.
void TakeHandle(HostMemoryHandle handle, bool jpeg) {
    brevant_host::HandleInfo info;
    if (!handle || !brevant_host::InspectHandle(handle, &info)) Fail("a successful call handed out a dead handle");
    if (info.lockCount != 0) Fail("a handle handed out locked", info.lockCount);
    if (jpeg) {
        if (info.size < 4 || info.bytes.size() < 4 || info.bytes[0] != 0xFF || info.bytes[1] != 0xD8) {
            Fail("thumbnail handle is no JPEG", static_cast<long long>(info.size));
        }
    } else {
        // A string: UTF-16 and a zero code unit at the end.
        if (info.size < 2 || info.size % 2 != 0 || info.bytes.size() != info.size ||
            info.bytes[info.size - 1] != 0 || info.bytes[info.size - 2] != 0) {
            Fail("string handle without its terminator", static_cast<long long>(info.size));
        }
    }
    FreeHandle(handle);
}

// ---- Argument choices -----------------------------------------------------------------------

struct Context {
    int64_t session = 0;
    int64_t item = 1;
    int64_t frame = -1;
};

int64_t PickSession(Reader& r, const Context& c) {
    switch (r.U8() % 8) {
        case 0: return 0;
        case 1: return CurrentSessionId();
        case 2: return c.session != 0 ? c.session : CurrentSessionId();
        case 3: return CurrentSessionId() - 1;  // stale
        case 4: return CurrentSessionId() + 1;  // not yet
        case 5: return -1;
        case 6: return gLastSeenSession;
        default: return static_cast<int64_t>(r.U64());
    }
}

int64_t PickItem(Reader& r, const Context& c) {
    switch (r.U8() % 10) {
        case 0: return c.item;
        case 1: return 1;
        case 2: return 2;
        case 3: return 0;
        case 4: return -1;
        case 5: return (int64_t{1} << 32) + 5;
        case 6: return (int64_t{1} << 32) + c.item;  // only the low 32 bits name an item
        case 7: return r.U8() % 8;
        case 8: return static_cast<int64_t>(r.U64());
        default: return INT32_MIN;
    }
}

int32_t PickIndex(Reader& r) {
    switch (r.U8() % 8) {
        case 0: return 0;
        case 1: return 1;
        case 2: return -1;
        case 3: return r.U8() % 32;
        case 4: return INT32_MAX;
        case 5: return INT32_MIN;
        case 6: return r.U8() % 4;
        default: return static_cast<int32_t>(r.U32());
    }
}

int64_t PickFrame(Reader& r, const Context& c) {
    switch (r.U8() % 6) {
        case 0: return c.frame;
        case 1: return c.frame + (int64_t{1} << 32);
        case 2: return -1;
        case 3: return 0;
        case 4: return 1;
        default: return static_cast<int64_t>(r.U64());
    }
}

int32_t PickLimit(Reader& r) {
    switch (r.U8() % 6) {
        case 0: return 64;
        case 1: return 1;
        case 2: return 0;
        case 3: return -1;
        case 4: return 1 + r.U8();
        default: return static_cast<int32_t>(r.U32());
    }
}

ListenerKey PickKey(Reader& r) {
    int32_t plugin;
    switch (r.U8() % 6) {
        case 0: case 1: case 2: plugin = 1 + (r.U8() % 3); break;
        case 3: plugin = -1; break;
        case 4: plugin = INT32_MIN; break;
        default: plugin = static_cast<int32_t>(r.U32()); break;
    }
    uint64_t refcon;
    switch (r.U8() % 6) {
        case 0: case 1: case 2: refcon = r.U8() % 4; break;
        case 3: refcon = UINT64_MAX; break;
        case 4: refcon = uint64_t{1} << 32; break;
        default: refcon = r.U64(); break;
    }
    return {plugin, refcon};
}

// ---- Monitor-suite calls --------------------------------------------------------------------

HostMemoryHandle Sentinel(uintptr_t n) { return reinterpret_cast<HostMemoryHandle>(0xbad000 + n * 16); }

// One of the 18 operations (deregistration aside, which has its own op) with arguments from
// `r`, each out-parameter null or not; checks the result against the suite's contract.
void MonitorCall(const BrevantMonitorSuite1& s, Reader& r, const Context& c) {
    const unsigned op = r.U8() % 17 + 1;  // 1 to 17; 0 (registration) is an op of its own
    const int64_t session = PickSession(r, c);
    const int64_t item = PickItem(r, c);
    const int32_t module = PickIndex(r);
    const int32_t index = PickIndex(r);
    const int64_t frame = PickFrame(r, c);
    const uint8_t nulls = r.U8();
    const bool nullA = (nulls & 0x83) == 0x81;  // rarer than not
    const bool nullB = (nulls & 0x85) == 0x84;
    const bool nullC = (nulls & 0x89) == 0x88;

    int32_t count = -7;
    int64_t itemId = -7;
    int32_t width = PickLimit(r), height = PickLimit(r);
    const int32_t widthIn = width, heightIn = height;
    HostMemoryHandle key = Sentinel(1), value = Sentinel(2);
    int32_t* countOut = nullA ? nullptr : &count;
    HostMemoryHandle* keyOut = nullA ? nullptr : &key;
    HostMemoryHandle* valueOut = nullB ? nullptr : &value;

    enum Kind { kCount, kItemId, kText, kPair, kThumb, kDeregister } kind = kCount;
    HostErr result = 0;
    switch (op) {
        case 1:
            kind = kDeregister;
            result = s.Brevant_DeregisterListener(PickKey(r).first, 0);
            break;
        case 2: kind = kText; result = s.Brevant_GetProjectName(session, keyOut); break;
        case 3: kind = kText; result = s.Brevant_GetAppVersion(session, keyOut); break;
        case 4: result = s.Brevant_GetNumJobItems(session, countOut); break;
        case 5:
            kind = kItemId;
            result = s.Brevant_GetJobItemID(session, index, nullA ? nullptr : &itemId);
            break;
        case 6: result = s.Brevant_GetNumJobItemRenderSettings(session, item, countOut); break;
        case 7: kind = kPair; result = s.Brevant_GetJobItemRenderSetting(session, item, index, keyOut, valueOut); break;
        case 8: result = s.Brevant_GetNumJobItemOutputModules(session, item, countOut); break;
        case 9: result = s.Brevant_GetNumJobItemOutputModuleSettings(session, item, module, countOut); break;
        case 10:
            kind = kPair;
            result = s.Brevant_GetJobItemOutputModuleSetting(session, item, module, index, keyOut, valueOut);
            break;
        case 11: result = s.Brevant_GetNumJobItemOutputModuleWarnings(session, item, module, countOut); break;
        case 12: kind = kText; result = s.Brevant_GetJobItemOutputModuleWarning(session, item, module, index, keyOut); break;
        case 13: result = s.Brevant_GetNumJobItemFrameProperties(session, item, frame, countOut); break;
        case 14: kind = kPair; result = s.Brevant_GetJobItemFrameProperty(session, item, frame, index, keyOut, valueOut); break;
        case 15: result = s.Brevant_GetNumJobItemOutputModuleProperties(session, item, module, countOut); break;
        case 16:
            kind = kPair;
            result = s.Brevant_GetJobItemOutputModuleProperty(session, item, module, index, keyOut, valueOut);
            break;
        default:
            kind = kThumb;
            result = s.Brevant_GetJobItemFrameThumbnail(session, item, frame, nullA ? nullptr : &width,
                                                        nullB ? nullptr : &height, nullC ? nullptr : &key);
            break;
    }

    if (gTrace) {
        std::fprintf(stderr, "  monitor %u (session %lld, item %lld, module %d, index %d, frame %lld) -> %d\n", op,
                     static_cast<long long>(session), static_cast<long long>(item), module, index,
                     static_cast<long long>(frame), result);
    }
    const bool anyNull = kind == kPair ? (nullA || nullB) : kind == kThumb ? (nullA || nullB || nullC) : nullA;
    if (kind == kDeregister) {
        if (result != kBrevantErrNone && result != kBrevantErrRejected) Fail("DeregisterListener result", result);
        return;
    }
    if (result == kBrevantErrNone) {
        if (anyNull) Fail("success with a null out-parameter", op);
        switch (kind) {
            case kCount:
                if (count < 0) Fail("negative count", op);
                break;
            case kItemId:
                if (itemId == -7) Fail("GetJobItemID succeeded without writing", itemId);
                break;
            case kText: TakeHandle(key, false); break;
            case kPair:
                TakeHandle(key, false);
                TakeHandle(value, false);
                break;
            case kThumb:
                if (width <= 0 || height <= 0 || (width > widthIn && height > heightIn)) Fail("thumbnail size", width);
                TakeHandle(key, true);
                break;
            default: break;
        }
        return;
    }
    const auto hostMayAnswer = [](HostErr code) {
        const auto in = [code](const std::vector<HostErr>& codes) {
            return std::find(codes.begin(), codes.end(), code) != codes.end();
        };
        return in(gS->passedOnCodes) || in(gS->jobCodes);
    };
    if (result == kBrevantErrNotRunning && !hostMayAnswer(result)) Fail("result 1 from a query", op);
    // A refusal leaves the out-parameters as they were; a key delivered before its value failed
    // is the caller's.
    // The one exception: a thumbnail that was made but whose handle could not be created (the
    // memory suite's own code) has told the caller its size; a refusal (3) has not.
    const bool sizeWritten = width != widthIn || height != heightIn;
    const bool madeButNotDelivered =
        kind == kThumb && (result != kBrevantErrRejected || (sizeWritten && hostMayAnswer(result)));
    if (madeButNotDelivered) {
        if (width <= 0 || height <= 0 || (width > widthIn && height > heightIn)) Fail("thumbnail size", width);
    } else if (sizeWritten) {
        Fail("a failed call wrote an out-parameter", op);
    }
    if (count != -7 || itemId != -7 || value != Sentinel(2)) {
        Fail("a failed call wrote an out-parameter", op);
    }
    if (key != Sentinel(1)) {
        if (kind != kPair) Fail("a failed call wrote its handle", op);
        TakeHandle(key, false);
    }
}

// ---- Listeners ------------------------------------------------------------------------------

struct NotAnException {
    int code;
};

enum Event { kBegin, kEnd, kItemStart, kItemUpdate, kItemEnd, kItemLog };

HostErr RegisterListener(const ListenerKey& key, Reader& r, std::vector<uint8_t> script);

void RunListener(const ListenerBasicData* data, Event event, const Context& c, const HostMemoryHandle* message) {
    if (!data) Fail("callback without its data");
    if (data->basicSuite != gT.basic) Fail("callback with a foreign basic suite");
    if (c.session > gSessionsStarted || c.session <= 0) Fail("callback for a session never started", c.session);
    gLastSeenSession = c.session;
    if (event == kItemLog) {
        HostString text;
        if (!message || !brevant_host::ReadStringHandle(*message, &text)) Fail("log callback without a live message");
    }
    if (!gS || gS->tearingDown) return;
    const auto found = gS->scripts.find({data->pluginId, data->refcon});
    if (found == gS->scripts.end()) return;
    const std::vector<uint8_t> script = found->second;  // the script may replace itself
    Reader r(script.data(), script.size());
    for (int step = 0; step < 6 && !r.Empty() && gS->callbackBudget > 0; ++step) {
        --gS->callbackBudget;
        switch (r.U8() % kActCount) {
            case kActMonitor:
            case kActMonitor2: MonitorCall(*gT.monitor, r, c); break;
            case kActDeregisterSelf: gT.monitor->Brevant_DeregisterListener(data->pluginId, data->refcon); break;
            case kActDeregisterOther: {
                const ListenerKey key = PickKey(r);
                gT.monitor->Brevant_DeregisterListener(key.first, key.second);
                break;
            }
            case kActRegisterOther: {
                const ListenerKey key = PickKey(r);
                // Ill-formed scripts are fine; the new listener's script is the next bytes.
                std::vector<uint8_t> next = r.Take(r.U8() % 12);
                RegisterListener(key, r, std::move(next));
                break;
            }
            case kActThrowInt: throw static_cast<int32_t>(r.U8());
            case kActThrowStd: throw std::runtime_error("listener failure");
            case kActThrowOther: throw NotAnException{r.U8()};
            case kActAcquireAndCall: {
                const void* table = nullptr;
                if (data->basicSuite->AcquireSuite(kBrevantMonitorSuite, kBrevantMonitorSuiteVersion, &table) == 0) {
                    if (!table) Fail("acquired a null monitor table");
                    MonitorCall(*static_cast<const BrevantMonitorSuite1*>(table), r, c);
                    data->basicSuite->ReleaseSuite(kBrevantMonitorSuite, kBrevantMonitorSuiteVersion);
                }
                break;
            }
            case kActReadMessage:
                if (message) {
                    void* block = nullptr;
                    if (gT.memory->MemLock(*message, &block) == 0) gT.memory->MemUnlock(*message);
                }
                break;
            default: break;
        }
    }
}

HostErr OnJobBegin(const ListenerBasicData* d, int64_t s) {
    RunListener(d, kBegin, {s, 1, -1}, nullptr);
    return 0;
}
HostErr OnJobEnd(const ListenerBasicData* d, int64_t s) {
    RunListener(d, kEnd, {s, 1, -1}, nullptr);
    return 0;
}
HostErr OnJobItemStart(const ListenerBasicData* d, int64_t s, int64_t i) {
    RunListener(d, kItemStart, {s, i, -1}, nullptr);
    return 0;
}
HostErr OnJobItemUpdate(const ListenerBasicData* d, int64_t s, int64_t i, int64_t f) {
    RunListener(d, kItemUpdate, {s, i, f}, nullptr);
    return 0;
}
HostErr OnJobItemEnd(const ListenerBasicData* d, int64_t s, int64_t i, int32_t status) {
    if (status < kListenerStatusDone || status > kListenerStatusFailed) Fail("JobItemEnd status", status);
    RunListener(d, kItemEnd, {s, i, -1}, nullptr);
    return 0;
}
HostErr OnJobItemLog(const ListenerBasicData* d, int64_t s, int64_t i, uint8_t flag, const HostMemoryHandle* m) {
    if (flag > 1) Fail("JobItemLog flag", flag);
    RunListener(d, kItemLog, {s, i, -1}, m);
    return 0;
}

HostErr RegisterListener(const ListenerKey& key, Reader& r, std::vector<uint8_t> script) {
    const uint8_t mode = r.U8();
    ListenerCallbacks table{OnJobBegin, OnJobEnd, OnJobItemStart, OnJobItemUpdate, OnJobItemEnd, OnJobItemLog};
    if (mode % 4 == 3) {  // only some slots
        const uint8_t mask = r.U8();
        if (!(mask & 1)) table.JobBegin = nullptr;
        if (!(mask & 2)) table.JobEnd = nullptr;
        if (!(mask & 4)) table.JobItemStart = nullptr;
        if (!(mask & 8)) table.JobItemUpdate = nullptr;
        if (!(mask & 16)) table.JobItemEnd = nullptr;
        if (!(mask & 32)) table.JobItemLog = nullptr;
    }
    gS->scripts[key] = std::move(script);
    const HostErr result = gT.monitor->Brevant_RegisterListener(key.first, key.second, mode % 4 == 2 ? nullptr : &table);
    if (mode % 4 == 2 && result == kBrevantErrNone) Fail("registered a null callback table");
    if (result != kBrevantErrNone && result != kBrevantErrNotRunning) Fail("RegisterListener result", result);
    if (result == kBrevantErrNotRunning && mode % 4 != 2 && gS->running) Fail("RegisterListener refused while running");
    return result;
}

// ---- Jobs -----------------------------------------------------------------------------------

// A short text for a JSON string: a length byte, then one byte per piece: ASCII, escapes, a few
// characters beyond ASCII, blanks (trailing ones too).
std::string JsonText(Reader& r) {
    static const char* const kPieces[] = {
        "a", "B", "z", "0", " ", "\\t", "\\\"", "\\\\", "/", "[", "]", "\\u00e9", "\\u65e5", "\\ud83d\\ude00",
        "x", "-", "_", "  ", ".", "#",
    };
    std::string text;
    const size_t length = r.U8() % 12;
    for (size_t i = 0; i < length; ++i) text += kPieces[r.U8() % (sizeof kPieces / sizeof kPieces[0])];
    return "\"" + text + "\"";
}

std::string JsonInt(int64_t value) { return std::to_string(value); }

// A job file built from the input: items, compositions, render settings, output modules,
// exporters. Every field is read whether or not its flag uses it, so that the layout is fixed
// (the seeds' JobBytes writes the same order). Mostly valid; ParseJob refuses what is not, and
// then the slot is empty.
//
// job:    top, project text, exporter flags (4), query error, item count, items
// item:   f, name text, width (2), height (2), frames, start frame, aspect (2), frame rate,
//         project item type, status, status (4), template text, comment text,
//         settings count, 3 x (key, form, value text, done text), module count, modules
// module: h, h2, template text, path, exporter, spec flags (1 + 4), info type text, info
//         subtype text, info error (2), action (1 + 4), write, constraint (3), size warning
//         text, frame-rate warning text, setting key, setting text
// `codes` gets the error codes that the job's records will answer with.
std::string BuildJobText(Reader& r, std::vector<HostErr>& codes) {
    static const char* const kRenderKeys[] = {"quality", "resolution", "size", "proxyUse", "effects", "diskCache",
                                              "colorDepth", "frameBlending", "fieldRender", "pulldown", "motionBlur",
                                              "useOpenGL", "solos", "timeSpan", "start", "end", "duration",
                                              "frameRate", "guideLayers", "skipExistingFiles"};
    static const char* const kModuleKeys[] = {"format", "outputInfo", "startFrame", "outputAudio", "channels",
                                              "depth", "color", "resize", "crop", "finalSize", "profile",
                                              "embedProfile", "preserveRgb", "postRenderAction",
                                              "includeProjectLink", "includeXmp", "replaceItem"};
    static const char* const kPaths[] = {"out_[####].jpg", "[compName]_[projectName].mov", "plain.raw",
                                         "[outputModuleName]_[#].jpg", "[width]x[height]_[frameRate]_[startFrame].bin",
                                         "x"};
    std::string j = "{\"outputDirectory\": \"" + gT.outputDirectory + "\"";
    const uint8_t top = r.U8();
    const std::string project = JsonText(r);
    const uint32_t exporterFlags = r.U32();
    const int8_t queryError = static_cast<int8_t>(r.U8());
    if (top & 1) j += ", \"project\": " + project;
    if (top & 2) {
        j += ", \"exporters\": [{\"id\": 20, \"flags\": " + JsonInt(exporterFlags);
        if (top & 4) {
            j += ", \"queryError\": " + JsonInt(queryError);
            codes.push_back(queryError);
        }
        j += "}]";
    }
    j += ", \"items\": [";
    const int items = r.U8() % 4;
    for (int i = 0; i < items; ++i) {
        if (i) j += ",";
        const uint8_t f = r.U8();
        const std::string name = JsonText(r);
        const uint16_t width = r.U16(), height = r.U16();
        const uint8_t frames = r.U8(), start = r.U8(), aspectNum = r.U8(), aspectDen = r.U8(), rate = r.U8();
        const uint8_t type = r.U8(), status = r.U8();
        const uint32_t anyStatus = r.U32();
        const std::string templateName = JsonText(r), comment = JsonText(r);
        const bool big = (f & 0xC0) == 0xC0;
        j += "{\"comp\": {\"name\": " + name;
        // Big enough that thumbnails scale down from it; drawing larger frames was most of a run.
        j += ", \"width\": " + JsonInt(1 + (big ? width % 200 : width % 40));
        j += ", \"height\": " + JsonInt(1 + (big ? height % 150 : height % 40));
        j += ", \"frames\": " + JsonInt(1 + frames % 6);
        if (f & 1) j += ", \"startFrame\": " + JsonInt(static_cast<int8_t>(start));
        if (f & 2) j += ", \"pixelAspect\": [" + JsonInt(1 + aspectNum % 40) + ", " + JsonInt(1 + aspectDen % 40) + "]";
        if (f & 4) j += ", \"frameRate\": " + JsonInt(1 + rate % 60);
        j += "}";
        if (f & 8) j += std::string(", \"projectItemType\": ") + (type % 3 == 0 ? "null" : type % 3 == 1 ? "2" : "4");
        if (f & 16) j += ", \"status\": " + JsonInt(status % 6 < 4 ? 3 + status % 6 : static_cast<int32_t>(anyStatus));
        if (f & 32) j += ", \"template\": " + templateName + ", \"comment\": " + comment;

        const int settings = r.U8() % 4;
        std::string settingsText;
        std::vector<bool> used(20, false);
        for (int k = 0; k < 3; ++k) {
            const int which = r.U8() % 20;
            const uint8_t form = r.U8();
            const std::string value = JsonText(r), whenDone = JsonText(r);
            if (k >= settings || used[which]) continue;
            used[which] = true;
            if (!settingsText.empty()) settingsText += ",";
            settingsText += std::string("\"") + kRenderKeys[which] + "\": ";
            settingsText += (form & 1) ? "{\"value\": " + value + ", \"whenDone\": " + whenDone + "}" : value;
        }
        if (!settingsText.empty()) j += ", \"renderSettings\": {" + settingsText + "}";

        const int modules = r.U8() % 4;
        if (modules) j += ", \"outputModules\": [";
        for (int m = 0; m < modules; ++m) {
            if (m) j += ",";
            const uint8_t h = r.U8(), h2 = r.U8();
            const std::string moduleTemplate = JsonText(r);
            const uint8_t path = r.U8(), exporter = r.U8(), specForm = r.U8();
            const uint32_t specFlags = r.U32();
            const std::string infoType = JsonText(r), infoSubType = JsonText(r);
            const uint8_t infoFails = r.U8(), infoError = r.U8(), action = r.U8();
            const uint32_t anyAction = r.U32();
            const uint8_t write = r.U8(), cw = r.U8(), ch = r.U8(), cr = r.U8();
            const std::string sizeWarning = JsonText(r), rateWarning = JsonText(r);
            const uint8_t settingKey = r.U8();
            const std::string settingText = JsonText(r);

            j += "{\"template\": " + moduleTemplate;
            if (h & 1) j += std::string(", \"path\": \"") + kPaths[path % 6] + "\"";
            if (h & 2) j += std::string(", \"fileBased\": ") + ((h & 4) ? "true" : "false");
            if (h & 8) j += ", \"exporter\": " + JsonInt(exporter % 4 == 3 ? ((top & 2) ? 20 : 3) : 1 + exporter % 4);
            if (h & 16) j += ", \"outputSpecFlags\": " + JsonInt((specForm & 1) ? 0x100 : specFlags);
            if (h & 32) {
                j += ", \"outputInfo\": {\"type\": " + infoType + ", \"subType\": " + infoSubType;
                if (infoFails & 1) {
                    j += ", \"error\": " + JsonInt(static_cast<int8_t>(infoError));
                    codes.push_back(static_cast<int8_t>(infoError));
                }
                j += "}";
            }
            if (h & 64) {
                const int a = action % 6;
                j += ", \"postRenderAction\": " + JsonInt(a < 4 ? a : a == 4 ? -1 : static_cast<int32_t>(anyAction));
            }
            if (h & 128) j += std::string(", \"write\": ") + ((write & 1) ? "\"raw\"" : "\"jpeg\"");
            if (h2 & 1) {
                j += ", \"constrained\": {\"width\": " + JsonInt(1 + cw) + ", \"height\": " + JsonInt(1 + ch) +
                     ", \"frameRate\": " + JsonInt(1 + cr % 60) + "}";
            }
            if (h2 & 2) j += ", \"warnings\": {\"size\": " + sizeWarning + ", \"frameRate\": " + rateWarning + "}";
            if (h2 & 4) j += std::string(", \"settings\": {\"") + kModuleKeys[settingKey % 17] + "\": " + settingText + "}";
            j += "}";
        }
        if (modules) j += "]";
        j += "}";
    }
    j += "]}";
    return j;
}

// ---- Sessions and records -------------------------------------------------------------------

// Runs one session operation as the host does: a thrown int32_t is the operation's failure.
template <typename F>
void Guard(F&& f) {
    try {
        f();
    } catch (int32_t) {
    } catch (const std::exception&) {
        Fail("a session operation threw a standard exception");
    } catch (...) {
        Fail("a session operation threw something else");
    }
}

RQSession* PickSlot(Reader& r) { return gS->sessions[r.U8() % kSessionSlots].get(); }
brevant_host::Job* PickJob(Reader& r) { return gS->jobs[r.U8() % kJobSlots].get(); }

HostString RandomUtf16(Reader& r) {
    static const char16_t kUnits[] = {u'a', u'Z', u' ', u'\t', 0, 0xE9, 0x65E5, 0xD83D, 0xDE00, 0xD800, 0xFFFF, u'/'};
    HostString text;
    const size_t length = r.U8() % 12;
    for (size_t i = 0; i < length; ++i) text += kUnits[r.U8() % (sizeof kUnits / sizeof kUnits[0])];
    return text;
}

int32_t PickHostStatus(Reader& r) {
    static const int32_t kStatus[] = {6, 4, 5, 3, 0, -1, 1, 2, 7, INT32_MIN};
    const uint8_t s = r.U8();
    return s < 240 ? kStatus[s % 10] : static_cast<int32_t>(r.U32());
}

void RenderUpdate(RQSession& session, brevant_host::Job* job, Reader& r) {
    const int32_t items = job ? job->ItemCount() : 0;
    const int32_t index = items ? r.U8() % items : 0;
    const int32_t frames = job ? job->ItemFrames(index) : 0;
    const int32_t frameId = 1 + (frames ? r.U8() % frames : 0);
    const uint8_t s = r.U8();
    const int32_t status = s % 4 != 0 ? kHostUpdateStatusFrameDone : s % 8 == 0 ? 2 : static_cast<int32_t>(r.U32());
    const uint8_t mutate = r.U8();
    brevant_host::FrameRecord frame;
    const bool prepared = job && job->PrepareFrame(index, frameId, status, frame);
    if (!prepared) {
        frame.update = HostFrameUpdate{};
        frame.update.frameId = frameId;
        frame.update.updateStatus = status;
    }
    HostFrameUpdate& u = frame.update;
    if (mutate & 1) u.frameId = static_cast<int32_t>(r.U32());
    if (mutate & 2) u.framesTotal = static_cast<int32_t>(r.U32());
    if (mutate & 4) u.elapsedTime = static_cast<int32_t>(r.U32());
    if ((mutate & 0x18) == 0x08) u.item = nullptr;
    if ((mutate & 0x18) == 0x10) u.frameBuffer = nullptr;
    if ((mutate & 0x18) == 0x18 && prepared) {
        // Smaller or empty, never larger than the pixels behind it.
        const uint8_t w = r.U8();
        frame.world.width = w & 0x80 ? -static_cast<int32_t>(w & 0x7F) : frame.world.width * (w % 4) / 4;
        frame.world.height = (w & 0x40) ? 0 : frame.world.height;
    }
    HostRenderQueue* queue = job ? job->Queue() : nullptr;
    if (mutate & 0x20) queue = nullptr;
    Guard([&] { session.RenderItemUpdate(queue, (mutate & 0xC0) == 0xC0 ? nullptr : &u); });
    if (prepared && status == kHostUpdateStatusFrameDone) job->MarkFrameDone(frame);
}

void Describe(RQSession& session, brevant_host::Job& job) {
    Guard([&] { session.DescribeBegin(job.ProjectNameUtf16()); });
    for (int32_t i = 0; i < job.ItemCount(); ++i) Guard([&] { session.DescribeAddItem(i, *job.Item(i)); });
    Guard([&] { session.DescribeEnd(); });
}

void RenderAll(RQSession& session, brevant_host::Job& job, Reader& r) {
    const uint8_t logs = r.U8();
    for (int32_t i = 0; i < job.ItemCount(); ++i) {
        job.StartItemClock(i);
        Guard([&] { session.RenderItemStart(nullptr); });
        for (int32_t f = 1; f <= job.ItemFrames(i); ++f) {
            brevant_host::FrameRecord progress;
            if (job.PrepareFrame(i, f, 2, progress)) Guard([&] { session.RenderItemUpdate(job.Queue(), &progress.update); });
            brevant_host::FrameRecord done;
            if (!job.PrepareFrame(i, f, kHostUpdateStatusFrameDone, done)) continue;
            Guard([&] { session.RenderItemUpdate(job.Queue(), &done.update); });
            job.MarkFrameDone(done);
            if (logs & (1u << (f % 8))) Guard([&] { session.Log(static_cast<uint32_t>(f % 5), "frame done"); });
        }
        Guard([&] { session.RenderItemEnd(nullptr, brevant_host::kItemStatusDone); });
    }
}

// ---- Loading and shutting down --------------------------------------------------------------

void Load() {
    if (gS->running) return;
    void* refcon = nullptr;
    const HostErr result = brevant_host::CallEntryPoint(gT.entry, gNextPluginId++, &refcon);
    gS->running = true;  // BrevantMain makes its object the running one even when a step fails
    gS->hookRegistered = result == kHostErrNone;
    gS->refcon = refcon;
    if (!refcon) Fail("BrevantMain stored no global refcon", result);
}

void DeathHook() {
    brevant_host::RunDeathHooks();
    // A failed entry registered no death hook: the host gives the object back as the tests do.
    if (gS->running && !gS->hookRegistered) gT.deathHook(gS->refcon, nullptr);
    gS->running = false;
    gS->hookRegistered = false;
    gS->refcon = nullptr;
}

HostCall PickCall(Reader& r) { return static_cast<HostCall>(r.U8() % (static_cast<int>(HostCall::CompressJpeg) + 1)); }

HostErr PickCode(Reader& r) {
    static const HostErr kCodes[] = {kHostErrGeneric, kHostErrOutOfMemory, kHostErrBadHandle, kHostErrUnknownSuite,
                                     kHostErrBadArgument, 0, 77, -1, 1, 3};
    const uint8_t c = r.U8();
    return c < 250 ? kCodes[c % 10] : static_cast<HostErr>(r.U32());
}

std::pair<const char*, int32_t> PickSuite(Reader& r) {
    static const std::pair<const char*, int32_t> kSuites[] = {
        {kHostMemorySuite, kHostMemorySuiteVersion},   {kBrevantMonitorSuite, kBrevantMonitorSuiteVersion},
        {kHostRegisterSuite, kHostRegisterSuiteVersion}, {kHostOrbSuitesSuite, kHostOrbSuitesSuiteVersion},
        {kHostUtilitySuite, kHostUtilitySuiteVersion}, {kBrevantProviderSuite, kBrevantProviderSuiteVersion},
        {"No Such Suite", 1},
    };
    auto suite = kSuites[r.U8() % 7];
    if (r.U8() % 8 == 0) ++suite.second;  // a version nobody published
    return suite;
}

void Step(Reader& r) {
    const uint8_t op = r.U8() % kOpCount;
    if (gTrace) std::fprintf(stderr, "op %d\n", op);
    switch (op) {
        case kOpLoad: Load(); break;
        case kOpDeathHook: DeathHook(); break;
        case kOpStartSession: {
            const uint8_t a = r.U8();
            std::shared_ptr<RQSession>& slot = gS->sessions[a % kSessionSlots];
            if (a & 0x80) {
                if (gT.provider->Brevant_StartSession(nullptr) != kBrevantErrNotRunning) Fail("StartSession(null)");
                break;
            }
            std::shared_ptr<RQSession> fresh = slot;  // replaced on success only
            const HostErr result = gT.provider->Brevant_StartSession(&fresh);
            if (result == kBrevantErrNone) {
                if (!fresh || fresh == slot) Fail("StartSession succeeded without a new session");
                ++gSessionsStarted;
            } else if (fresh != slot) {
                Fail("StartSession failed and wrote its out-parameter", result);
            } else if (gS->running && result == kBrevantErrNotRunning) {
                Fail("StartSession refused while running");
            }
            slot = std::move(fresh);  // drops the previous session of the slot
            break;
        }
        case kOpDropSession: {
            const uint8_t a = r.U8();
            if (a & 0x80) {
                gS->sessions[(a >> 2) % kSessionSlots] = gS->sessions[a % kSessionSlots];
            } else {
                gS->sessions[a % kSessionSlots].reset();
            }
            break;
        }
        case kOpBuildJob: {
            std::shared_ptr<brevant_host::Job>& slot = gS->jobs[r.U8() % kJobSlots];
            std::vector<HostErr> codes;
            const std::string text = BuildJobText(r, codes);
            // The records' own error codes reach clients as the host's codes do.
            gS->jobCodes.insert(gS->jobCodes.end(), codes.begin(), codes.end());
            // Parsed jobs are kept across inputs (records the plug-in only borrows; the host's
            // clock is restarted per item): parsing is most of a short input's time otherwise.
            static std::map<std::string, std::shared_ptr<brevant_host::Job>> cache;
            const auto cached = cache.find(text);
            if (cached != cache.end()) {
                slot = cached->second;
                break;
            }
            std::string error;
            slot = brevant_host::ParseJob(text, "fuzz.json", &error);
            if (gTrace) std::fprintf(stderr, "  job %s\n  -> %s\n", text.c_str(), slot ? "parsed" : error.c_str());
            if (cache.size() >= 4096) cache.clear();
            cache.emplace(text, slot);
            break;
        }
        case kOpDescribeBegin: {
            RQSession* session = PickSlot(r);
            brevant_host::Job* job = PickJob(r);
            const bool own = r.U8() & 1;
            const HostString name = own || !job ? RandomUtf16(r) : job->ProjectNameUtf16();
            if (session) Guard([&] { session->DescribeBegin(name); });
            break;
        }
        case kOpDescribeAddItem: {
            RQSession* session = PickSlot(r);
            brevant_host::Job* job = PickJob(r);
            const uint8_t which = r.U8();
            const uint8_t queue = r.U8();
            if (!session || !job || job->ItemCount() == 0) break;
            const int32_t index = which % job->ItemCount();
            int32_t queueIndex = index;
            switch (queue % 8) {
                case 5: queueIndex = -1; break;
                case 6: queueIndex = INT32_MAX; break;
                case 7: queueIndex = static_cast<int32_t>(r.U32()); break;
                default: queueIndex = queue % 8 < 3 ? index : (queue >> 3) % 5; break;
            }
            Guard([&] { session->DescribeAddItem(queueIndex, *job->Item(index)); });
            break;
        }
        case kOpDescribeEnd: {
            RQSession* session = PickSlot(r);
            if (session) Guard([&] { session->DescribeEnd(); });
            break;
        }
        case kOpDescribeAll: {
            RQSession* session = PickSlot(r);
            brevant_host::Job* job = PickJob(r);
            if (session && job) Describe(*session, *job);
            break;
        }
        case kOpRenderStart: {
            RQSession* session = PickSlot(r);
            brevant_host::Job* job = PickJob(r);
            const uint8_t index = r.U8();
            if (job && job->ItemCount()) job->StartItemClock(index % job->ItemCount());
            if (session) Guard([&] { session->RenderItemStart(nullptr); });
            break;
        }
        case kOpRenderUpdate: {
            RQSession* session = PickSlot(r);
            brevant_host::Job* job = PickJob(r);
            if (session) {
                RenderUpdate(*session, job, r);
            } else {
                r.Skip(4);
            }
            break;
        }
        case kOpRenderEnd: {
            RQSession* session = PickSlot(r);
            const int32_t status = PickHostStatus(r);
            if (session) Guard([&] { session->RenderItemEnd(nullptr, status); });
            break;
        }
        case kOpLog: {
            RQSession* session = PickSlot(r);
            static const uint32_t kTypes[] = {1, 2, 4, 8, 16, 0, 3, 32, 0xFFFFFFFFu};
            const uint8_t t = r.U8();
            const uint32_t type = t < 240 ? kTypes[t % 9] : r.U32();
            const uint8_t length = r.U8();
            std::string text;
            for (int i = 0; i < length % 24; ++i) text += static_cast<char>(r.U8() | 1);  // no NUL inside
            if (session) Guard([&] { session->Log(type, (length & 0x80) ? nullptr : text.c_str()); });
            break;
        }
        case kOpMonitor: {
            Context c;
            c.session = CurrentSessionId();
            MonitorCall(*gT.monitor, r, c);
            break;
        }
        case kOpRegister: {
            const ListenerKey key = PickKey(r);
            std::vector<uint8_t> script = r.Take(r.U8() % 64);
            RegisterListener(key, r, std::move(script));
            break;
        }
        case kOpDeregister: {
            const ListenerKey key = PickKey(r);
            const HostErr result = gT.monitor->Brevant_DeregisterListener(key.first, key.second);
            if (result != kBrevantErrNone && result != kBrevantErrRejected) Fail("DeregisterListener result", result);
            break;
        }
        case kOpSetFault: {
            const HostCall call = PickCall(r);
            const HostErr code = PickCode(r);
            const int skip = r.U8() % 8;
            const int times = static_cast<int>(r.U8() % 5) - 1;
            // A failing MemFree, or a memory suite that cannot be acquired to free with, keeps a
            // handle alive that Brevant did try to free.
            if (call == HostCall::MemFree || call == HostCall::AcquireSuite) gS->handlesMayLeak = true;
            if (call == HostCall::MemCreate || call == HostCall::MemLock || call == HostCall::MemUnlock ||
                call == HostCall::FileSpecName || call == HostCall::ModuleInfoQuery ||
                call == HostCall::OutputInfoQuery) {
                gS->passedOnCodes.push_back(code);
            }
            brevant_host::SetFault(call, code, skip, times);
            break;
        }
        case kOpSetSuiteFault: {
            const auto suite = PickSuite(r);
            if (std::strcmp(suite.first, kHostMemorySuite) == 0) gS->handlesMayLeak = true;
            brevant_host::SetSuiteFault(suite.first, suite.second, PickCode(r));
            break;
        }
        case kOpClearFaults:
            brevant_host::ClearFaults();
            gS->passedOnCodes.clear();
            break;
        case kOpAcquireSuite: {
            const auto suite = PickSuite(r);
            const void* table = nullptr;
            if (gT.basic->AcquireSuite(suite.first, suite.second, &table) == kHostErrNone) {
                if (!table) Fail("acquired a null table");
                gS->heldSuites.push_back(suite);
            }
            break;
        }
        case kOpRenderAll: {
            RQSession* session = PickSlot(r);
            brevant_host::Job* job = PickJob(r);
            if (session && job) RenderAll(*session, *job, r);
            break;
        }
        default: break;
    }
}

// Drops everything the input left behind and checks the host's accounting.
void TearDown() {
    gS->tearingDown = true;
    for (auto& session : gS->sessions) session.reset();
    for (const auto& entry : gS->scripts) gT.monitor->Brevant_DeregisterListener(entry.first.first, entry.first.second);
    DeathHook();
    brevant_host::ClearFaults();
    for (const auto& suite : gS->heldSuites) gT.basic->ReleaseSuite(suite.first, suite.second);
    for (HostMemoryHandle handle : gS->unfreed) {
        if (gT.memory->MemFree(handle) != kHostErrNone) Fail("a handle handed out could not be freed");
    }
    gS->jobs[0].reset();
    gS->jobs[1].reset();
    if (gS->handlesMayLeak) {
        // Handles that Brevant could not free under the faults: not a finding, but cleared so
        // that the next input starts clean.
        for (HostMemoryHandle handle : brevant_host::LiveHandles()) gT.memory->MemFree(handle);
    }
    const std::vector<std::string> leaks = brevant_host::LeakReport();
    if (!leaks.empty()) {
        for (const auto& leak : leaks) std::fprintf(stderr, "leak: %s\n", leak.c_str());
        Fail("the host's accounting does not balance", static_cast<long long>(leaks.size()));
    }
}

// ---- Seeds ----------------------------------------------------------------------------------

struct Seed {
    const char* name;
    std::vector<uint8_t> bytes;
};

using Bytes = std::vector<uint8_t>;

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
// A text of JsonText: its length, then piece numbers (0 "a", 1 "B", 2 "z", 3 "0", 4 " ").
Bytes Text(std::initializer_list<uint8_t> pieces) {
    Bytes out{static_cast<uint8_t>(pieces.size())};
    out.insert(out.end(), pieces.begin(), pieces.end());
    return out;
}
Bytes Zeros(size_t n) { return Bytes(n, 0); }

// Modules in BuildJobText's order: h, h2, template, path, exporter, spec flags (1 + 4), info
// type and subtype, info error (2), action (1 + 4), write, constraint (3), warnings, setting.
Bytes Module(uint8_t h, uint8_t h2, uint8_t path, uint8_t exporter, uint8_t action, Bytes info) {
    return Cat({{h, h2}, Text({0}), {path, exporter, 0}, Zeros(4), info, Zeros(2), {action}, Zeros(4), {0, 7, 7, 29},
                Text({0, 4}), Text({}), {13}, Text({1})});
}

// A job for slot `slot`: two small items, the first (done, pixel aspect 10/11) with a JPEG
// sequence and a raw growing file, the second (no project item) with a preview module.
Bytes SmallJob(uint8_t slot) {
    const Bytes item1 = Cat({{0x3A}, Text({2, 0}), {15, 0, 8, 0, 2, 0, 9, 10, 0, 2, 3}, Zeros(4), Text({1}),
                             Text({0, 4, 4}), {2}, {0, 1}, Text({0}), Text({1}), {14, 0}, Text({3}), Text({}),
                             {5, 0}, Text({}), Text({}), {2}, Module(0x59, 0x07, 0, 0, 2, Cat({Text({}), Text({})})),
                             Module(0x87, 0x00, 2, 0, 0, Cat({Text({}), Text({})}))});
    const Bytes item2 = Cat({{0x08}, Text({1}), {20, 0, 12, 0, 1, 0, 0, 0, 0, 0, 0}, Zeros(4), Text({}), Text({}),
                             {0}, {0, 0}, Text({}), Text({}), {0, 0}, Text({}), Text({}), {0, 0}, Text({}), Text({}),
                             {1}, Module(0x2A, 0x00, 0, 3, 0, Cat({Text({0, 1}), Text({2})}))});
    return Cat({{kOpBuildJob, slot, 0x03}, Text({0, 1}), {0x00, 0x40, 0x00, 0x00}, {0}, {2}, item1, item2});
}

// One monitor-suite call as MonitorCall reads it: operation 1 to 17, then the choices of session
// (0 zero, 1 current, 2 the callback's, 3 stale, 4 next, 5 -1), item (0 the callback's, 1, 2,
// 3 zero, 4 -1, 5 2^32 + 5, 6 2^32 + the callback's, 9 INT32_MIN), module and index (0, 1,
// 2 -1, 4 INT32_MAX, 5 INT32_MIN), frame (0 the callback's, 1 it + 2^32, 2 -1, 3 zero, 4 one),
// null out-parameters (0x81 the first, 0x84 the second, 0x88 the third), limits 64 x 64.
Bytes Call(uint8_t op, uint8_t session, uint8_t item, uint8_t module, uint8_t index, uint8_t frame,
           uint8_t nulls = 0) {
    return {static_cast<uint8_t>(op - 1), session, item, module, index, frame, nulls, 0, 0};
}
Bytes Monitor(Bytes call) { return Cat({{kOpMonitor}, call}); }
Bytes Act(Bytes call) { return Cat({{kActMonitor}, call}); }
// Listener key (plug-in 1 to 3, refcon 0 to 3) as PickKey reads it.
Bytes Key(uint8_t plugin, uint8_t refcon) { return {0, static_cast<uint8_t>(plugin - 1), 0, refcon}; }
// Registration: key, script, table (1 every slot, 2 a null table, 3 the slots of `mask`).
Bytes Listener(uint8_t plugin, uint8_t refcon, Bytes script, uint8_t table = 1, uint8_t mask = 0) {
    Bytes out = Cat({{kOpRegister}, Key(plugin, refcon), {static_cast<uint8_t>(script.size())}, script, {table}});
    if (table == 3) out.push_back(mask);
    return out;
}
Bytes Fault(HostCall call, uint8_t skip, int times) {
    return {kOpSetFault, static_cast<uint8_t>(call), 6 /* code 77 */, skip, static_cast<uint8_t>(times + 1)};
}

std::vector<Seed> Seeds() {
    const Bytes load = {kOpLoad};
    const Bytes start = {kOpStartSession, 0};
    const Bytes job = SmallJob(0);
    const Bytes describe = {kOpDescribeAll, 0, 0};
    const Bytes render = {kOpRenderAll, 0, 0, 0xFF};
    const Bytes begin = Cat({job, start, describe});
    // What a progress monitor reads at each frame: the frame's and the first module's properties
    // (count first), and a thumbnail.
    const Bytes frameReader = Listener(1, 1, Cat({Act(Call(13, 2, 0, 0, 0, 0)), Act(Call(14, 2, 0, 0, 1, 0)),
                                                  Act(Call(15, 2, 0, 0, 0, 0)), Act(Call(16, 2, 0, 0, 0, 0)),
                                                  Act(Call(17, 2, 0, 0, 0, 0))}));
    // What an event log reads at job begin: the description.
    const Bytes describeReader =
        Listener(2, 0, Cat({Act(Call(2, 2, 0, 0, 0, 0)), Act(Call(3, 2, 0, 0, 0, 0)), Act(Call(5, 2, 0, 0, 1, 0)),
                            Act(Call(7, 2, 1, 0, 0, 0)), Act(Call(10, 2, 1, 0, 1, 0)), Act(Call(12, 2, 1, 0, 0, 0))}),
                 3, 0x01);
    Bytes everyQuery;
    for (uint8_t op = 2; op <= 17; ++op) everyQuery = Cat({everyQuery, Monitor(Call(op, 1, 1, 0, 0, 4))});
    return {
        {"empty", {}},
        {"load-only", load},
        {"session-start-drop", Cat({start, {kOpStartSession, 1, kOpDropSession, 0, kOpStartSession, 0x80,
                                            kOpDropSession, 0x81, kOpDropSession, 1, kOpStartSession, 2}})},
        {"describe-render", Cat({begin, render})},
        {"describe-out-of-order",
         Cat({job, start, {kOpDescribeAddItem, 0, 0, 1, 0, kOpDescribeEnd, 0, kOpDescribeBegin, 0, 0, 1, 3, 0, 4, 1,
                           kOpDescribeAddItem, 0, 0, 0, 6, kOpDescribeAddItem, 0, 0, 1, 5, kOpDescribeEnd, 0,
                           kOpRenderStart, 0, 0, 0, kOpRenderEnd, 0, 1, kOpRenderStart, 0, 0, 1, kOpRenderStart, 0, 0,
                           0, kOpRenderStart, 0, 0, 0, kOpRenderEnd, 0, 0}})},
        {"render-updates",
         Cat({begin, {kOpRenderStart, 0, 0, 0,
                      kOpRenderUpdate, 0, 0, 0, 0, 1, 0x03, 0xFF, 0xFF, 0xFF, 0x7F, 5, 0, 0, 0,
                      kOpRenderUpdate, 0, 0, 0, 1, 1, 0x18, 0x83,
                      kOpRenderUpdate, 0, 0, 0, 2, 1, 0x08, kOpRenderUpdate, 0, 0, 0, 2, 1, 0x10,
                      kOpRenderUpdate, 0, 0, 0, 1, 1, 0x20, kOpRenderUpdate, 0, 0, 0, 0, 1, 0xC0,
                      kOpRenderUpdate, 0, 0, 0, 0, 8, 0x00, kOpRenderEnd, 0, 2}})},
        {"log-types", Cat({begin, {kOpLog, 0, 0, 5, 'h', 'e', 'l', 'l', 'o', kOpLog, 0, 5, 3, 0xC3, 0xA9, 0xFF,
                                   kOpLog, 0, 8, 0x80, kOpLog, 0, 250, 1, 2, 3, 4, 2, 'x', 'y'}})},
        {"monitor-every-query", Cat({begin, everyQuery, {kOpRenderStart, 0, 0, 0}, everyQuery})},
        {"monitor-bad-ids", Cat({begin, Monitor(Call(5, 1, 0, 0, 2, 0)), Monitor(Call(5, 1, 0, 0, 4, 0)),
                                 Monitor(Call(6, 0, 1, 0, 0, 0)), Monitor(Call(6, 3, 1, 0, 0, 0)),
                                 Monitor(Call(6, 1, 5, 0, 0, 0)), Monitor(Call(6, 1, 6, 0, 0, 0)),
                                 Monitor(Call(7, 1, 1, 0, 5, 0)), Monitor(Call(9, 1, 1, 2, 0, 0)),
                                 Monitor(Call(10, 1, 1, 4, 0, 0)), Monitor(Call(7, 1, 1, 0, 0, 0, 0x81)),
                                 Monitor(Call(7, 1, 1, 0, 0, 0, 0x84)), Monitor(Call(2, 4, 0, 0, 0, 0)),
                                 Monitor(Call(4, 5, 0, 0, 0, 0, 0x81)), Monitor(Call(6, 1, 9, 0, 0, 0))})},
        {"listener-frame-queries", Cat({frameReader, begin, render})},
        {"listener-describe-queries", Cat({describeReader, begin, render})},
        {"listener-throws", Cat({Listener(1, 1, {kActThrowInt, 7}), Listener(2, 1, {kActThrowStd}),
                                 Listener(3, 1, {kActThrowOther, 1}), begin, render})},
        {"listener-reregisters",
         Cat({Listener(1, 0, Cat({{kActDeregisterSelf, kActRegisterOther}, Key(2, 2), {2, kActDeregisterSelf, 0, 1},
                                  {kActDeregisterOther}, Key(1, 1)})),
              Listener(1, 1, {kActRegisterOther, 0, 0, 0, 0, 0, 1}), begin, render, {kOpDeregister}, Key(2, 2)})},
        {"listener-null-table", Cat({Listener(1, 1, {}, 2), Listener(1, 2, {}, 3, 0x28), begin, render})},
        {"listener-acquires", Cat({Listener(1, 1, Cat({{kActAcquireAndCall}, Call(4, 2, 0, 0, 0, 0), {kActReadMessage},
                                                       {kActAcquireAndCall}, Call(13, 2, 0, 0, 0, 0)})),
                                   begin, {kOpLog, 0, 0, 3, 'a', 'b', 'c'}, render})},
        {"deathhook-held-session", Cat({frameReader, begin, {kOpDeathHook}, render, Monitor(Call(4, 1, 0, 0, 0, 0)),
                                        load, {kOpStartSession, 1, kOpDescribeAll, 1, 0, kOpDropSession, 0}, render,
                                        {kOpRenderAll, 1, 0, 0}})},
        {"faults-memory", Cat({frameReader, describeReader, begin, Fault(HostCall::MemCreate, 2, 1),
                               Fault(HostCall::MemLock, 1, 2), render, {kOpClearFaults},
                               Fault(HostCall::MemUnlock, 3, 1), render})},
        {"faults-describe", Cat({job, start, Fault(HostCall::ModuleInfoQuery, 0, 1), describe,
                                 Fault(HostCall::OutputInfoQuery, 0, -1), describe, {kOpClearFaults},
                                 Fault(HostCall::VersionString, 0, 1), describe, {kOpClearFaults}, describe, render})},
        {"faults-thumbnail", Cat({frameReader, begin, Fault(HostCall::ConvertWorld, 1, 1), render,
                                  Fault(HostCall::CompressJpeg, 0, 2), Fault(HostCall::FileSpecName, 0, 1), render})},
        {"faults-entry", Cat({{kOpDeathHook}, Fault(HostCall::PublishSuite, 1, 1), load, start,
                              Listener(1, 1, {}), {kOpDeathHook}, Fault(HostCall::RegisterDeathHook, 0, 1), load,
                              start, {kOpDeathHook, kOpClearFaults, kOpSetSuiteFault, 3, 0, 6}, load,
                              {kOpDeathHook, kOpClearFaults}, load, start})},
        {"suite-faults", Cat({{kOpAcquireSuite, 1, 1}, frameReader, begin, {kOpSetSuiteFault, 1, 1, 0}, render,
                              {kOpSetSuiteFault, 0, 1, 2}, render, {kOpClearFaults},
                              Fault(HostCall::AcquireSuite, 3, 2), render})},
    };
}

void WriteSeeds(const char* directory) {
    for (const Seed& seed : Seeds()) {
        const std::string path = std::string(directory) + "/" + seed.name;
        FILE* file = std::fopen(path.c_str(), "wb");
        if (!file) Fail("cannot write a seed");
        if (!seed.bytes.empty()) std::fwrite(seed.bytes.data(), 1, seed.bytes.size(), file);
        std::fclose(file);
    }
    std::printf("wrote %zu seeds to %s\n", Seeds().size(), directory);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (const char* directory = std::getenv("BREVANT_FUZZ_WRITE_SEEDS")) {
        WriteSeeds(directory);
        std::exit(0);
    }
    gTrace = std::getenv("BREVANT_FUZZ_TRACE") != nullptr;
    brevant_host::SetMainThread();
    brevant_host::SetLogSink(brevant_host::LogSink::Off);
    char directory[] = "/tmp/brevant-fuzz-XXXXXX";
    if (!mkdtemp(directory)) Fail("mkdtemp");
    gT.outputDirectory = directory;

    brevant_host::LoadedPlugin plugin;
    std::string error;
    if (!brevant_host::LoadPlugin(BREVANT_PLUGIN_PATH, &plugin, &error) || plugin.entryResult != 0) {
        std::fprintf(stderr, "cannot load %s: %s\n", BREVANT_PLUGIN_PATH, error.c_str());
        std::abort();
    }
    gT.entry = reinterpret_cast<HostPluginEntryFunc>(dlsym(plugin.library, "BrevantMain"));
    gT.deathHook = reinterpret_cast<HostDeathHookFunc>(dlsym(plugin.library, "DeathHook"));
    gT.basic = brevant_host::BasicSuite();
    const void* table = nullptr;
    if (!gT.entry || !gT.deathHook) Fail("BrevantMain or DeathHook not exported");
    // Tables stay valid for the process: the library is never unloaded. They are taken once and
    // released at once, so that the accounting of every input starts balanced.
    if (gT.basic->AcquireSuite(kHostMemorySuite, kHostMemorySuiteVersion, &table) != 0) Fail("memory suite");
    gT.memory = static_cast<const HostMemorySuite1*>(table);
    gT.basic->ReleaseSuite(kHostMemorySuite, kHostMemorySuiteVersion);
    if (gT.basic->AcquireSuite(kBrevantMonitorSuite, kBrevantMonitorSuiteVersion, &table) != 0) Fail("monitor suite");
    gT.monitor = static_cast<const BrevantMonitorSuite1*>(table);
    gT.basic->ReleaseSuite(kBrevantMonitorSuite, kBrevantMonitorSuiteVersion);
    if (gT.basic->AcquireSuite(kBrevantProviderSuite, kBrevantProviderSuiteVersion, &table) != 0) Fail("provider suite");
    gT.provider = static_cast<const BrevantProviderSuite1*>(table);
    gT.basic->ReleaseSuite(kBrevantProviderSuite, kBrevantProviderSuiteVersion);
    brevant_host::RunDeathHooks();
    if (!brevant_host::LeakReport().empty()) Fail("leaks after loading");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    InputState state;
    gS = &state;
    brevant_host::ResetHost();  // unpublishes; BrevantMain publishes again
    Reader r(data, size);
    // Most inputs want the plug-in running: it is, unless the first byte asks otherwise.
    if (size == 0 || data[0] != 0xFF) Load();
    for (int op = 0; op < kMaxOps && !r.Empty(); ++op) Step(r);
    TearDown();
    gS = nullptr;
    return 0;
}

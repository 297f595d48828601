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
// What must hold, besides the sanitizers: suite operations log their entry, answer documented
// results (3 to arguments that name nothing, 1 to registration and sessions while Brevant is
// stopped) and leave their out-parameters alone when they fail; successful ones hand out live
// handles and counts whose end index is refused; and after
// each input, once sessions are dropped, listeners deregistered and the death hooks run, no
// suite is held and no handle is alive. Anything else ends the process with abort().
//
// The seeds are the files in tests/fuzz/corpus: programs written byte by byte with the op codes
// and argument choices below (`xxd -r -p` makes one from hex), or inputs that scripts/fuzz.sh
// found. BREVANT_FUZZ_TRACE=1 prints what an input does: each op, job and suite call's result.
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
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
    // Little-endian.
    uint64_t Uint(int bytes) {
        uint64_t value = 0;
        for (int i = 0; i < bytes; ++i) value |= uint64_t{U8()} << (8 * i);
        return value;
    }
    uint16_t U16() { return static_cast<uint16_t>(Uint(2)); }
    uint32_t U32() { return static_cast<uint32_t>(Uint(4)); }
    uint64_t U64() { return Uint(8); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// Op codes of the main program. The seeds in tests/fuzz/corpus are written with them:
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
    std::weak_ptr<RQSession> latest;      // the latest session started since BrevantMain
    std::set<int32_t> itemIds;            // ids of every item described
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

// One of `choices`, by the next byte; the choice past them is `other()`, a value read.
template <typename T, size_t N, typename Other>
T Choose(Reader& r, const T (&choices)[N], const Other& other) {
    const size_t k = r.U8() % (N + 1);
    return k < N ? choices[k] : other();
}

int64_t PickSession(Reader& r, const Context& c) {
    const int64_t now = CurrentSessionId();
    // ..., the callback's, a stale one, one not yet started, the last one a callback was given
    const int64_t choices[] = {0, now, c.session != 0 ? c.session : now, now - 1, now + 1, -1, gLastSeenSession};
    return Choose(r, choices, [&r] { return static_cast<int64_t>(r.U64()); });
}

int64_t PickItem(Reader& r, const Context& c) {
    const uint8_t k = r.U8() % 10;
    if (k == 7) return r.U8() % 8;
    if (k == 8) return static_cast<int64_t>(r.U64());
    // Only the low 32 bits name an item.
    const int64_t high = int64_t{1} << 32;
    const int64_t choices[] = {c.item, 1, 2, 0, -1, high + 5, high + c.item, 0, 0, INT32_MIN};
    return choices[k];
}

int32_t PickIndex(Reader& r) {
    const uint8_t k = r.U8() % 8;
    if (k == 3 || k == 6) return r.U8() % (k == 3 ? 32 : 4);
    const int32_t choices[] = {0, 1, -1, 0, INT32_MAX, INT32_MIN};
    return k < 6 ? choices[k] : static_cast<int32_t>(r.U32());
}

int64_t PickFrame(Reader& r, const Context& c) {
    const int64_t choices[] = {c.frame, c.frame + (int64_t{1} << 32), -1, 0, 1};
    return Choose(r, choices, [&r] { return static_cast<int64_t>(r.U64()); });
}

int32_t PickLimit(Reader& r) {
    const uint8_t k = r.U8() % 6;
    if (k == 4) return 1 + r.U8();
    const int32_t choices[] = {64, 1, 0, -1};
    return k < 4 ? choices[k] : static_cast<int32_t>(r.U32());
}

ListenerKey PickKey(Reader& r) {
    uint8_t k = r.U8() % 6;
    const int32_t plugins[] = {-1, INT32_MIN};
    const int32_t plugin = k < 3 ? 1 + r.U8() % 3 : k < 5 ? plugins[k - 3] : static_cast<int32_t>(r.U32());
    k = r.U8() % 6;
    const uint64_t refcons[] = {UINT64_MAX, uint64_t{1} << 32};
    const uint64_t refcon = k < 3 ? r.U8() % 4 : k < 5 ? refcons[k - 3] : r.U64();
    return {plugin, refcon};
}

// ---- Monitor-suite calls --------------------------------------------------------------------

HostMemoryHandle Sentinel(uintptr_t n) { return reinterpret_cast<HostMemoryHandle>(0xbad000 + n * 16); }

struct Args {
    int64_t session;
    int64_t item;
    int32_t module;
    int32_t index;
    int64_t frame;
};

// What a call may write, set to sentinels (the thumbnail's size to the limits asked) before it,
// and which out-parameters it gets as null.
struct Outs {
    int32_t count = -7;
    int64_t itemId = -7;
    int32_t width = 64, height = 64;
    HostMemoryHandle key = Sentinel(1), value = Sentinel(2);
    bool nullA = false, nullB = false, nullC = false;

    int32_t* Count() { return nullA ? nullptr : &count; }
    int64_t* ItemId() { return nullA ? nullptr : &itemId; }
    HostMemoryHandle* Key() { return nullA ? nullptr : &key; }
    HostMemoryHandle* Value() { return nullB ? nullptr : &value; }
};

enum Kind { kCount, kItemId, kText, kPair, kThumb };
enum Uses : unsigned { kItem = 1, kModule = 2, kIndex = 4, kFrame = 8 };  // all take a session

// Operations 2 to 17 of the suite. `end`: of a count, the operation whose index (for the number
// of modules: module index) it bounds.
struct Operation {
    const char* name;
    Kind kind;
    unsigned uses;
    unsigned end;
    HostErr (*call)(const BrevantMonitorSuite1&, const Args&, Outs&);
};
const Operation kOperations[] = {
    {"Brevant_GetProjectName", kText, 0, 0,
     [](auto& s, auto& a, auto& o) { return s.Brevant_GetProjectName(a.session, o.Key()); }},
    {"Brevant_GetAppVersion", kText, 0, 0,
     [](auto& s, auto& a, auto& o) { return s.Brevant_GetAppVersion(a.session, o.Key()); }},
    {"Brevant_GetNumJobItems", kCount, 0, 5,
     [](auto& s, auto& a, auto& o) { return s.Brevant_GetNumJobItems(a.session, o.Count()); }},
    {"Brevant_GetJobItemID", kItemId, kIndex, 0,
     [](auto& s, auto& a, auto& o) { return s.Brevant_GetJobItemID(a.session, a.index, o.ItemId()); }},
    {"Brevant_GetNumJobItemRenderSettings", kCount, kItem, 7,
     [](auto& s, auto& a, auto& o) { return s.Brevant_GetNumJobItemRenderSettings(a.session, a.item, o.Count()); }},
    {"Brevant_GetJobItemRenderSetting", kPair, kItem | kIndex, 0, [](auto& s, auto& a, auto& o) {
         return s.Brevant_GetJobItemRenderSetting(a.session, a.item, a.index, o.Key(), o.Value());
     }},
    {"Brevant_GetNumJobItemOutputModules", kCount, kItem, 9,
     [](auto& s, auto& a, auto& o) { return s.Brevant_GetNumJobItemOutputModules(a.session, a.item, o.Count()); }},
    {"Brevant_GetNumJobItemOutputModuleSettings", kCount, kItem | kModule, 10, [](auto& s, auto& a, auto& o) {
         return s.Brevant_GetNumJobItemOutputModuleSettings(a.session, a.item, a.module, o.Count());
     }},
    {"Brevant_GetJobItemOutputModuleSetting", kPair, kItem | kModule | kIndex, 0, [](auto& s, auto& a, auto& o) {
         return s.Brevant_GetJobItemOutputModuleSetting(a.session, a.item, a.module, a.index, o.Key(), o.Value());
     }},
    {"Brevant_GetNumJobItemOutputModuleWarnings", kCount, kItem | kModule, 12, [](auto& s, auto& a, auto& o) {
         return s.Brevant_GetNumJobItemOutputModuleWarnings(a.session, a.item, a.module, o.Count());
     }},
    {"Brevant_GetJobItemOutputModuleWarning", kText, kItem | kModule | kIndex, 0, [](auto& s, auto& a, auto& o) {
         return s.Brevant_GetJobItemOutputModuleWarning(a.session, a.item, a.module, a.index, o.Key());
     }},
    {"Brevant_GetNumJobItemFrameProperties", kCount, kItem | kFrame, 14, [](auto& s, auto& a, auto& o) {
         return s.Brevant_GetNumJobItemFrameProperties(a.session, a.item, a.frame, o.Count());
     }},
    {"Brevant_GetJobItemFrameProperty", kPair, kItem | kFrame | kIndex, 0, [](auto& s, auto& a, auto& o) {
         return s.Brevant_GetJobItemFrameProperty(a.session, a.item, a.frame, a.index, o.Key(), o.Value());
     }},
    {"Brevant_GetNumJobItemOutputModuleProperties", kCount, kItem | kModule, 16, [](auto& s, auto& a, auto& o) {
         return s.Brevant_GetNumJobItemOutputModuleProperties(a.session, a.item, a.module, o.Count());
     }},
    {"Brevant_GetJobItemOutputModuleProperty", kPair, kItem | kModule | kIndex, 0, [](auto& s, auto& a, auto& o) {
         return s.Brevant_GetJobItemOutputModuleProperty(a.session, a.item, a.module, a.index, o.Key(), o.Value());
     }},
    {"Brevant_GetJobItemFrameThumbnail", kThumb, kItem | kFrame, 0, [](auto& s, auto& a, auto& o) {
         return s.Brevant_GetJobItemFrameThumbnail(a.session, a.item, a.frame, o.nullA ? nullptr : &o.width,
                                                   o.nullB ? nullptr : &o.height, o.nullC ? nullptr : &o.key);
     }},
};
const Operation& OperationOf(unsigned op) { return kOperations[op - 2]; }

// Whether the arguments name nothing, so that the call must answer kBrevantErrRejected: the
// plug-in is not running; the session is not the latest one started since it loaded, or that one
// ended (sessions are numbered in order); an out-parameter is null; the item was never described
// in this input (its id is its queue index + 1; but -1, no item, is what the frame queries
// compare with between items); a module or index is negative or past any list.
bool MustRefuse(const Operation& op, const Args& a, const Outs& o) {
    const auto past = [](int32_t index) { return index < 0 || index > 0xFFFF; };
    const int32_t item = static_cast<int32_t>(static_cast<uint32_t>(a.item));
    return !gS->running || a.session != CurrentSessionId() || gS->latest.expired() || o.nullA || o.nullB ||
           o.nullC || ((op.uses & kItem) && !gS->itemIds.count(item) && !(item == -1 && (op.uses & kFrame))) ||
           ((op.uses & kModule) && past(a.module)) || ((op.uses & kIndex) && past(a.index));
}

// Runs `call`, an operation of Brevant's suites, which must log its entry line whatever it answers.
template <typename Body>
HostErr Logging(const char* function, const std::string& entry, const Body& call) {
    brevant_host::SetLogSink(brevant_host::LogSink::Recorder);
    brevant_host::ClearRecordedLog();
    const HostErr result = call();
    bool logged = false;
    for (const brevant_host::LogLine& line : brevant_host::RecordedLog()) {
        logged = logged || (line.tag == "Brevant" && line.function == function && line.message == entry);
    }
    brevant_host::SetLogSink(brevant_host::LogSink::Off);
    if (!logged) Fail(function, -1);
    return result;
}

// The entry line of the registry's operations.
std::string KeyEntry(const ListenerKey& key) {
    char entry[64];
    std::snprintf(entry, sizeof entry, "plugin=%x, refcon=%llx", static_cast<unsigned>(key.first),
                  static_cast<unsigned long long>(key.second));
    return entry;
}

// Whether one of the codes that host calls or the input's job records were armed to fail with
// is `code`: an operation may pass it on.
bool HostMayAnswer(HostErr code) {
    const auto in = [code](const std::vector<HostErr>& codes) {
        return std::find(codes.begin(), codes.end(), code) != codes.end();
    };
    return in(gS->passedOnCodes) || in(gS->jobCodes);
}

// A thumbnail's size: positive, and not past both limits asked.
void CheckThumbnailSize(const Outs& o, int32_t widthIn, int32_t heightIn) {
    if (o.width <= 0 || o.height <= 0 || (o.width > widthIn && o.height > heightIn)) Fail("thumbnail size", o.width);
}

// Runs one operation and checks its result against the suite's contract; what it hands out is
// freed as a client does. A count is checked against its list: the index equal to it is refused.
void Call(const BrevantMonitorSuite1& s, const Operation& op, const Args& a, Outs o) {
    const int32_t widthIn = o.width, heightIn = o.height;
    const HostErr result = Logging(op.name, "called", [&] { return op.call(s, a, o); });
    if (gTrace) {
        std::fprintf(stderr, "  %s (session %lld, item %lld, module %d, index %d, frame %lld) -> %d\n", op.name,
                     static_cast<long long>(a.session), static_cast<long long>(a.item), a.module, a.index,
                     static_cast<long long>(a.frame), result);
    }
    if (MustRefuse(op, a, o) && result != kBrevantErrRejected) Fail(op.name, result);
    if (result == kBrevantErrNone) {
        switch (op.kind) {
            case kCount:
                if (o.count < 0) Fail("negative count", o.count);
                if (op.end) {
                    Args end = a;
                    (op.end == 9 ? end.module : end.index) = o.count;
                    Call(s, OperationOf(op.end), end, Outs());
                }
                break;
            case kItemId:
                if (o.itemId == -7) Fail("GetJobItemID succeeded without writing", o.itemId);
                break;
            case kText: TakeHandle(o.key, false); break;
            case kPair:
                TakeHandle(o.key, false);
                TakeHandle(o.value, false);
                break;
            case kThumb:
                CheckThumbnailSize(o, widthIn, heightIn);
                TakeHandle(o.key, true);
                break;
        }
        return;
    }
    if (result == kBrevantErrNotRunning && !HostMayAnswer(result)) Fail("result 1 from a query", result);
    // A refusal leaves the out-parameters as they were; a key delivered before its value failed
    // is the caller's.
    // The one exception: a thumbnail that was made but whose handle could not be created (the
    // memory suite's own code) has told the caller its size; a refusal (3) has not.
    const bool sizeWritten = o.width != widthIn || o.height != heightIn;
    const bool madeButNotDelivered =
        op.kind == kThumb && (result != kBrevantErrRejected || (sizeWritten && HostMayAnswer(result)));
    if (madeButNotDelivered) {
        CheckThumbnailSize(o, widthIn, heightIn);
    } else if (sizeWritten) {
        Fail("a failed call wrote an out-parameter", result);
    }
    if (o.count != -7 || o.itemId != -7 || o.value != Sentinel(2)) Fail("a failed call wrote an out-parameter", result);
    if (o.key != Sentinel(1)) {
        if (op.kind != kPair) Fail("a failed call wrote its handle", result);
        TakeHandle(o.key, false);
    }
}

// Deregistration, checked: the plug-in not running, or a key never registered, is refused (3).
void Deregister(const ListenerKey& key) {
    const HostErr result = Logging("Brevant_DeregisterListener", KeyEntry(key), [&] {
        return gT.monitor->Brevant_DeregisterListener(key.first, key.second);
    });
    if (result != kBrevantErrNone && result != kBrevantErrRejected) Fail("DeregisterListener result", result);
    if ((!gS->running || !gS->scripts.count(key)) && result != kBrevantErrRejected) Fail("deregistered", result);
}

// One of the 18 operations with arguments from `r`, each out-parameter null or not.
void MonitorCall(const BrevantMonitorSuite1& s, Reader& r, const Context& c) {
    const unsigned op = r.U8() % 17 + 1;  // 1 to 17; 0 (registration) is an op of its own
    Args a;
    a.session = PickSession(r, c);
    a.item = PickItem(r, c);
    a.module = PickIndex(r);
    a.index = PickIndex(r);
    a.frame = PickFrame(r, c);
    const uint8_t nulls = r.U8();
    Outs o;
    o.width = PickLimit(r);
    o.height = PickLimit(r);
    if (op == 1) {
        // Refcon 0: it is the other half of the key that is picked.
        Deregister({PickKey(r).first, 0});
        return;
    }
    const Operation& operation = OperationOf(op);
    const unsigned outs = operation.kind == kThumb ? 3 : operation.kind == kPair ? 2 : 1;
    o.nullA = (nulls & 0x83) == 0x81;  // rarer than not
    o.nullB = outs >= 2 && (nulls & 0x85) == 0x84;
    o.nullC = outs >= 3 && (nulls & 0x89) == 0x88;
    Call(s, operation, a, o);
}

// ---- Listeners ------------------------------------------------------------------------------

struct NotAnException {
    int code;
};

enum Event { kBegin, kEnd, kItemStart, kItemUpdate, kItemEnd, kItemLog };

HostErr RegisterListener(const ListenerKey& key, Reader& r, std::vector<uint8_t> script);

HostErr RunListener(const ListenerBasicData* data, Event event, const Context& c, const HostMemoryHandle* message) {
    if (!data) Fail("callback without its data");
    if (data->basicSuite != gT.basic) Fail("callback with a foreign basic suite");
    if (c.session > gSessionsStarted || c.session <= 0) Fail("callback for a session never started", c.session);
    gLastSeenSession = c.session;
    if (event == kItemLog) {
        HostString text;
        if (!message || !brevant_host::ReadStringHandle(*message, &text)) Fail("log callback without a live message");
    }
    if (!gS || gS->tearingDown) return 0;
    const auto found = gS->scripts.find({data->pluginId, data->refcon});
    if (found == gS->scripts.end()) return 0;
    const std::vector<uint8_t> script = found->second;  // the script may replace itself
    Reader r(script.data(), script.size());
    for (int step = 0; step < 6 && !r.Empty() && gS->callbackBudget > 0; ++step) {
        --gS->callbackBudget;
        switch (r.U8() % kActCount) {
            case kActMonitor:
            case kActMonitor2: MonitorCall(*gT.monitor, r, c); break;
            case kActDeregisterSelf: Deregister({data->pluginId, data->refcon}); break;
            case kActDeregisterOther: Deregister(PickKey(r)); break;
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
    return 0;
}

HostErr OnJobBegin(const ListenerBasicData* d, int64_t s) { return RunListener(d, kBegin, {s, 1, -1}, nullptr); }
HostErr OnJobEnd(const ListenerBasicData* d, int64_t s) { return RunListener(d, kEnd, {s, 1, -1}, nullptr); }
HostErr OnJobItemStart(const ListenerBasicData* d, int64_t s, int64_t i) {
    return RunListener(d, kItemStart, {s, i, -1}, nullptr);
}
HostErr OnJobItemUpdate(const ListenerBasicData* d, int64_t s, int64_t i, int64_t f) {
    return RunListener(d, kItemUpdate, {s, i, f}, nullptr);
}
HostErr OnJobItemEnd(const ListenerBasicData* d, int64_t s, int64_t i, int32_t status) {
    if (status < kListenerStatusDone || status > kListenerStatusFailed) Fail("JobItemEnd status", status);
    return RunListener(d, kItemEnd, {s, i, -1}, nullptr);
}
HostErr OnJobItemLog(const ListenerBasicData* d, int64_t s, int64_t i, uint8_t flag, const HostMemoryHandle* m) {
    if (flag > 1) Fail("JobItemLog flag", flag);
    return RunListener(d, kItemLog, {s, i, -1}, m);
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
    const HostErr result = Logging("Brevant_RegisterListener", KeyEntry(key), [&] {
        return gT.monitor->Brevant_RegisterListener(key.first, key.second, mode % 4 == 2 ? nullptr : &table);
    });
    if (mode % 4 == 2 && result == kBrevantErrNone) Fail("registered a null callback table");
    if (result != kBrevantErrNone && result != kBrevantErrNotRunning) Fail("RegisterListener result", result);
    if (result == kBrevantErrNotRunning && mode % 4 != 2 && gS->running) Fail("RegisterListener refused while running");
    if (!gS->running && result != kBrevantErrNotRunning) Fail("RegisterListener while not running", result);
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

void AddItem(RQSession& session, int32_t queueIndex, HostRenderItem& item) {
    gS->itemIds.insert(static_cast<int32_t>(static_cast<uint32_t>(queueIndex) + 1u));
    Guard([&] { session.DescribeAddItem(queueIndex, item); });
}

void Describe(RQSession& session, brevant_host::Job& job) {
    Guard([&] { session.DescribeBegin(job.ProjectNameUtf16()); });
    for (int32_t i = 0; i < job.ItemCount(); ++i) AddItem(session, i, *job.Item(i));
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
    gS->latest.reset();  // a plug-in loaded again knows no earlier session
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
    // Most ops on sessions name a session slot, then a job slot.
    const bool onSession = (op >= kOpDescribeBegin && op <= kOpLog) || op == kOpRenderAll;
    RQSession* session = onSession ? PickSlot(r) : nullptr;
    const bool onJob = onSession && op != kOpDescribeEnd && op != kOpRenderEnd && op != kOpLog;
    brevant_host::Job* job = onJob ? PickJob(r) : nullptr;
    switch (op) {
        case kOpLoad: Load(); break;
        case kOpDeathHook: DeathHook(); break;
        case kOpStartSession: {
            const uint8_t a = r.U8();
            std::shared_ptr<RQSession>& slot = gS->sessions[a % kSessionSlots];
            if (a & 0x80) {
                const HostErr result = Logging("Brevant_StartSession", "called", [] {
                    return gT.provider->Brevant_StartSession(nullptr);
                });
                if (result != kBrevantErrNotRunning) Fail("StartSession(null)", result);
                break;
            }
            std::shared_ptr<RQSession> fresh = slot;  // replaced on success only
            const HostErr result =
                Logging("Brevant_StartSession", "called", [&] { return gT.provider->Brevant_StartSession(&fresh); });
            if (result == kBrevantErrNone) {
                if (!fresh || fresh == slot) Fail("StartSession succeeded without a new session");
                ++gSessionsStarted;
                gS->latest = fresh;
            } else if (fresh != slot) {
                Fail("StartSession failed and wrote its out-parameter", result);
            } else if (gS->running && result == kBrevantErrNotRunning) {
                Fail("StartSession refused while running");
            }
            if (!gS->running && result != kBrevantErrNotRunning) Fail("StartSession while not running", result);
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
            const bool own = r.U8() & 1;
            const HostString name = own || !job ? RandomUtf16(r) : job->ProjectNameUtf16();
            if (session) Guard([&] { session->DescribeBegin(name); });
            break;
        }
        case kOpDescribeAddItem: {
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
            AddItem(*session, queueIndex, *job->Item(index));
            break;
        }
        case kOpDescribeEnd:
            if (session) Guard([&] { session->DescribeEnd(); });
            break;
        case kOpDescribeAll:
            if (session && job) Describe(*session, *job);
            break;
        case kOpRenderStart: {
            const uint8_t index = r.U8();
            if (job && job->ItemCount()) job->StartItemClock(index % job->ItemCount());
            if (session) Guard([&] { session->RenderItemStart(nullptr); });
            break;
        }
        case kOpRenderUpdate:
            if (session) {
                RenderUpdate(*session, job, r);
            } else {
                r.Skip(4);
            }
            break;
        case kOpRenderEnd: {
            const int32_t status = PickHostStatus(r);
            if (session) Guard([&] { session->RenderItemEnd(nullptr, status); });
            break;
        }
        case kOpLog: {
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
        case kOpDeregister: Deregister(PickKey(r)); break;
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
        case kOpRenderAll:
            if (session && job) RenderAll(*session, *job, r);
            break;
        default: break;
    }
}

// Drops everything the input left behind and checks the host's accounting.
void TearDown() {
    gS->tearingDown = true;
    for (auto& session : gS->sessions) session.reset();
    for (const auto& entry : gS->scripts) Deregister(entry.first);
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

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
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

#ifdef BREVANT_FUZZ_REPLAY
// Without libFuzzer: each file named on the command line is one input, run once.
int main(int argc, char** argv) {
    LLVMFuzzerInitialize(&argc, &argv);
    for (int i = 1; i < argc; ++i) {
        std::printf("%s\n", argv[i]);
        std::fflush(stdout);
        std::ifstream file(argv[i], std::ios::binary);
        if (!file) Fail("cannot read an input", i);
        const std::vector<uint8_t> input{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    std::filesystem::remove_all(gT.outputDirectory);
    return 0;
}
#endif

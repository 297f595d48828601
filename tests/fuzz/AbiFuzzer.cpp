// libFuzzer harness over Brevant's ABI, inside the stand-in host. Each input is a program of what
// a host and its client plug-ins may do (an op byte, then its arguments; past the end every byte
// reads 0). What must hold, besides the sanitizers: suite operations log their entry and answer
// documented codes (3 to arguments that name nothing and to the end index of a count, 1 to
// registration and sessions while Brevant is stopped); refusals leave their out-parameters alone;
// successes hand out live, terminated handles; after each input no suite is held and no handle is
// alive. Anything else aborts. The seeds in tests/fuzz/corpus are programs written with the op
// codes and choices below (`xxd -r -p` makes one from hex); BREVANT_FUZZ_TRACE=1 traces one.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/core/StandInHost.h"
#include "host/simulator/Job.h"
#include <brevant/listener.h>
#include "session/RQSession.h"
#include <brevant/monitor.h>

namespace {

using brevant_host::HostCall;

// An input, read from the front; past its end every byte reads 0.
struct Reader {
    const uint8_t* data;
    size_t size;
    size_t pos = 0;
    bool Empty() const { return pos >= size; }
    uint8_t U8() { return pos < size ? data[pos++] : 0; }
    uint64_t Uint(int bytes) {  // little-endian
        uint64_t value = 0;
        for (int i = 0; i < bytes; ++i) value |= uint64_t{U8()} << (8 * i);
        return value;
    }
    int32_t I32() { return static_cast<int32_t>(Uint(4)); }
    std::vector<uint8_t> Take(size_t n) {  // the next n bytes, or what is left of them
        const size_t from = pos;
        pos = std::min(size, pos + n);
        return std::vector<uint8_t>(data + from, data + pos);
    }
};

[[noreturn]] void Fail(const char* what, long long detail = 0) {
    std::fprintf(stderr, "brevant_abi_fuzzer: %s (%lld)\n", what, detail);
    std::fflush(stderr);
    std::abort();
}

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
    // Codes that a monitor-suite operation may pass on (and so answer 1 or 3 with): of host calls
    // armed to fail (memory, file-system and output-module queries), of the input's job records.
    std::vector<HostErr> passedOnCodes;
    std::vector<HostErr> jobCodes;
    bool tearingDown = false;
    int callbackBudget = kCallbackBudget;
};
InputState* gS = nullptr;

bool gTrace = false;  // BREVANT_FUZZ_TRACE=1: ops, jobs and suite calls on standard error
int32_t gNextPluginId = 1000;
int64_t gSessionsStarted = 0;  // Brevant numbers sessions 1, 2, ... per process
int64_t gLastSeenSession = 0;  // the last session id a callback was given

// A handle that a successful call handed out: live, unlocked, JPEG bytes or UTF-16 text with a
// zero code unit at the end; then freed as a client does.
void TakeHandle(HostMemoryHandle handle, bool jpeg) {
    brevant_host::HandleInfo info;
    if (!handle || !brevant_host::InspectHandle(handle, &info)) Fail("a successful call handed out a dead handle");
    if (info.lockCount != 0) Fail("a handle handed out locked", info.lockCount);
    const std::vector<uint8_t>& b = info.bytes;
    const size_t size = info.size;
    if (jpeg && (size < 4 || b.size() < 4 || b[0] != 0xFF || b[1] != 0xD8)) Fail("thumbnail handle is no JPEG", size);
    if (!jpeg && (size < 2 || size % 2 != 0 || b.size() != size || b[size - 1] != 0 || b[size - 2] != 0)) {
        Fail("string handle without its terminator", static_cast<long long>(size));
    }
    if (gT.memory->MemFree(handle) != kHostErrNone) gS->unfreed.push_back(handle);
}

struct Context {
    int64_t session = 0;
    int64_t item = 1;
    int64_t frame = -1;
};

// One way to pick a number: `base`, plus the next `bytes` bytes read (modulo `mod` unless 0).
struct Choice {
    int64_t base;
    int bytes = 0;
    uint64_t mod = 0;
};

// The next byte picks one of `choices`.
int64_t Pick(Reader& r, std::initializer_list<Choice> choices) {
    const Choice& c = choices.begin()[r.U8() % choices.size()];
    const uint64_t read = r.Uint(c.bytes);
    return c.base + static_cast<int64_t>(c.mod ? read % c.mod : read);
}

// The next byte picks one of `values`, or from `below` on, the four bytes after it.
int32_t Listed(Reader& r, std::initializer_list<int32_t> values, uint8_t below) {
    const uint8_t k = r.U8();
    return k < below ? values.begin()[k % values.size()] : r.I32();
}

int64_t PickSession(Reader& r, const Context& c) {
    const int64_t now = gSessionsStarted;
    // ..., the callback's, a stale one, one not yet started, the last one a callback was given
    return Pick(r, {{0}, {now}, {c.session != 0 ? c.session : now}, {now - 1}, {now + 1}, {-1}, {gLastSeenSession},
                    {0, 8}});
}

int64_t PickItem(Reader& r, const Context& c) {
    const int64_t high = int64_t{1} << 32;  // only the low 32 bits name an item
    return Pick(r, {{c.item}, {1}, {2}, {0}, {-1}, {high + 5}, {high + c.item}, {0, 1, 8}, {0, 8}, {INT32_MIN}});
}

int32_t PickIndex(Reader& r) {
    return static_cast<int32_t>(Pick(r, {{0}, {1}, {-1}, {0, 1, 32}, {INT32_MAX}, {INT32_MIN}, {0, 1, 4}, {0, 4}}));
}

int64_t PickFrame(Reader& r, const Context& c) {
    return Pick(r, {{c.frame}, {c.frame + (int64_t{1} << 32)}, {-1}, {0}, {1}, {0, 8}});
}

int32_t PickLimit(Reader& r) { return static_cast<int32_t>(Pick(r, {{64}, {1}, {0}, {-1}, {1, 1}, {0, 4}})); }

ListenerKey PickKey(Reader& r) {
    const auto plugin = static_cast<int32_t>(Pick(r, {{1, 1, 3}, {1, 1, 3}, {1, 1, 3}, {-1}, {INT32_MIN}, {0, 4}}));
    const uint64_t refcon = Pick(r, {{0, 1, 4}, {0, 1, 4}, {0, 1, 4}, {-1}, {int64_t{1} << 32}, {0, 8}});
    return {plugin, refcon};
}

HostErr PickCode(Reader& r) {
    return Listed(r, {kHostErrGeneric, kHostErrOutOfMemory, kHostErrBadHandle, kHostErrUnknownSuite,
                      kHostErrBadArgument, 0, 77, -1, 1, 3}, 250);
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

// A text of up to 11 pieces: a length byte, then a byte per piece.
template <typename Text, typename Piece, size_t N>
Text Pieces(Reader& r, const Piece (&pieces)[N]) {
    Text text;
    for (size_t left = r.U8() % 12; left > 0; --left) text += pieces[r.U8() % N];
    return text;
}

HostString RandomUtf16(Reader& r) {
    static const char16_t kUnits[] = {u'a', u'Z', u' ', u'\t', 0, 0xE9, 0x65E5, 0xD83D, 0xDE00, 0xD800, 0xFFFF, u'/'};
    return Pieces<HostString>(r, kUnits);
}

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

enum Kind { kCount, kItemId, kText, kPair, kThumb };                      // in order of out-parameters
enum Uses : unsigned { kItem = 1, kModule = 2, kIndex = 4, kFrame = 8 };  // all take a session

struct Operation {
    const char* name;
    Kind kind;
    unsigned uses;
    HostErr (*call)(const BrevantMonitorSuite1&, const Args&, Outs&);
};
#define OPERATION(function, kind, uses, ...) \
    { #function, kind, uses, [](auto& s, auto& a, auto& o) { return s.function(a.session, __VA_ARGS__); } }
// Operations 2 to 17 of the suite, in its order. A count bounds the list that the operation after
// it reads by index (the number of modules: by module index).
const Operation kOperations[] = {
    OPERATION(Brevant_GetProjectName, kText, 0, o.Key()),
    OPERATION(Brevant_GetAppVersion, kText, 0, o.Key()),
    OPERATION(Brevant_GetNumJobItems, kCount, 0, o.Count()),
    OPERATION(Brevant_GetJobItemID, kItemId, kIndex, a.index, o.ItemId()),
    OPERATION(Brevant_GetNumJobItemRenderSettings, kCount, kItem, a.item, o.Count()),
    OPERATION(Brevant_GetJobItemRenderSetting, kPair, kItem | kIndex, a.item, a.index, o.Key(), o.Value()),
    OPERATION(Brevant_GetNumJobItemOutputModules, kCount, kItem, a.item, o.Count()),
    OPERATION(Brevant_GetNumJobItemOutputModuleSettings, kCount, kItem | kModule, a.item, a.module, o.Count()),
    OPERATION(Brevant_GetJobItemOutputModuleSetting, kPair, kItem | kModule | kIndex, a.item, a.module, a.index,
              o.Key(), o.Value()),
    OPERATION(Brevant_GetNumJobItemOutputModuleWarnings, kCount, kItem | kModule, a.item, a.module, o.Count()),
    OPERATION(Brevant_GetJobItemOutputModuleWarning, kText, kItem | kModule | kIndex, a.item, a.module, a.index,
              o.Key()),
    OPERATION(Brevant_GetNumJobItemFrameProperties, kCount, kItem | kFrame, a.item, a.frame, o.Count()),
    OPERATION(Brevant_GetJobItemFrameProperty, kPair, kItem | kFrame | kIndex, a.item, a.frame, a.index, o.Key(),
              o.Value()),
    OPERATION(Brevant_GetNumJobItemOutputModuleProperties, kCount, kItem | kModule, a.item, a.module, o.Count()),
    OPERATION(Brevant_GetJobItemOutputModuleProperty, kPair, kItem | kModule | kIndex, a.item, a.module, a.index,
              o.Key(), o.Value()),
    OPERATION(Brevant_GetJobItemFrameThumbnail, kThumb, kItem | kFrame, a.item, a.frame,
              o.nullA ? nullptr : &o.width, o.nullB ? nullptr : &o.height, o.nullC ? nullptr : &o.key),
};
#undef OPERATION

// Whether the call must answer 3: the plug-in is stopped; the session is not the latest started
// since it loaded, or that one ended; an out-parameter is null; the item (id: queue index + 1) was
// never described, but for -1 (no item) in frame queries; a module or index is negative or huge.
bool MustRefuse(const Operation& op, const Args& a, const Outs& o) {
    const auto past = [](int32_t index) { return index < 0 || index > 0xFFFF; };
    const int32_t item = static_cast<int32_t>(static_cast<uint32_t>(a.item));
    return !gS->running || a.session != gSessionsStarted || gS->latest.expired() || o.nullA || o.nullB || o.nullC ||
           ((op.uses & kItem) && !gS->itemIds.count(item) && !(item == -1 && (op.uses & kFrame))) ||
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

// Whether `code` is one that host calls or the input's job records were armed to fail with: an
// operation may pass it on.
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
HostErr Call(const BrevantMonitorSuite1& s, const Operation& op, const Args& a, Outs o) {
    const int32_t widthIn = o.width, heightIn = o.height;
    const HostErr result = Logging(op.name, "called", [&] { return op.call(s, a, o); });
    if (gTrace) {
        std::fprintf(stderr, "  %s (session %lld, item %lld, module %d, index %d, frame %lld) -> %d\n", op.name,
                     (long long)a.session, (long long)a.item, a.module, a.index, (long long)a.frame, result);
    }
    if (MustRefuse(op, a, o) && result != kBrevantErrRejected) Fail(op.name, result);
    if (result == kBrevantErrNone) {
        if (op.kind == kCount) {
            if (o.count < 0) Fail("negative count", o.count);
            const Operation& reader = (&op)[1];  // the next in the table
            Args end = a;
            (reader.uses & kIndex ? end.index : end.module) = o.count;
            if (Call(s, reader, end, Outs()) != kBrevantErrRejected) Fail("the end of a list answered", o.count);
        }
        if (op.kind == kItemId && o.itemId == -7) Fail("GetJobItemID succeeded without writing", o.itemId);
        if (op.kind == kThumb) CheckThumbnailSize(o, widthIn, heightIn);
        if (op.kind >= kText) TakeHandle(o.key, op.kind == kThumb);  // the text, the pair's key, the JPEG
        if (op.kind == kPair) TakeHandle(o.value, false);
        return result;
    }
    if (result == kBrevantErrNotRunning && !HostMayAnswer(result)) Fail("result 1 from a query", result);
    // A refusal leaves the out-parameters as they were, but for a pair's key delivered before its
    // value failed, which is the caller's, and the size of a thumbnail that was made but whose
    // handle could not be created (the memory suite's code; a refusal, 3, has told nothing).
    const bool sizeWritten = o.width != widthIn || o.height != heightIn;
    const bool made = op.kind == kThumb && (result != kBrevantErrRejected || (sizeWritten && HostMayAnswer(result)));
    if (made) CheckThumbnailSize(o, widthIn, heightIn);
    if ((sizeWritten && !made) || o.count != -7 || o.itemId != -7 || o.value != Sentinel(2)) {
        Fail("a failed call wrote an out-parameter", result);
    }
    if (o.key != Sentinel(1)) {
        if (op.kind != kPair) Fail("a failed call wrote its handle", result);
        TakeHandle(o.key, false);
    }
    return result;
}

// Deregistration, checked: the plug-in not running, or a key never registered, is refused (3).
void Deregister(const ListenerKey& key) {
    const HostErr result = Logging("Brevant_DeregisterListener", KeyEntry(key), [&] {
        return gT.monitor->Brevant_DeregisterListener(key.first, key.second);
    });
    const bool unknown = !gS->running || !gS->scripts.count(key);
    if (result != kBrevantErrRejected && (unknown || result != kBrevantErrNone)) Fail("deregistered", result);
}

// One of the 18 operations with arguments from `r`, each out-parameter null or not.
void MonitorCall(const BrevantMonitorSuite1& s, Reader& r, const Context& c) {
    const unsigned op = r.U8() % 17 + 1;  // 1 to 17; 0 (registration) is an op of its own
    const Args a{PickSession(r, c), PickItem(r, c), PickIndex(r), PickIndex(r), PickFrame(r, c)};  // read left to right
    const uint8_t nulls = r.U8();
    Outs o;
    o.width = PickLimit(r);
    o.height = PickLimit(r);
    if (op == 1) return Deregister({PickKey(r).first, 0});  // refcon 0: the other half of the key is picked
    const Operation& operation = kOperations[op - 2];
    o.nullA = (nulls & 0x83) == 0x81;  // rarer than not
    o.nullB = operation.kind >= kPair && (nulls & 0x85) == 0x84;
    o.nullC = operation.kind >= kThumb && (nulls & 0x89) == 0x88;
    Call(s, operation, a, o);
}

void RegisterListener(const ListenerKey& key, Reader& r, std::vector<uint8_t> script);
struct NotAnException {
    int code;
};

// A listener script's actions, by the action byte modulo their number (the seeds are written with
// these codes); their arguments follow them.
using Action = void (*)(Reader& r, const ListenerBasicData& data, const Context& c, const HostMemoryHandle* message);
const Action kActions[] = {
    // 0, 1: one operation in the callback's context.
    [](Reader& r, auto&, auto& c, auto) { MonitorCall(*gT.monitor, r, c); },
    [](Reader& r, auto&, auto& c, auto) { MonitorCall(*gT.monitor, r, c); },
    [](Reader&, auto& data, auto&, auto) { Deregister({data.pluginId, data.refcon}); },  // 2: itself
    [](Reader& r, auto&, auto&, auto) { Deregister(PickKey(r)); },                      // 3: another key
    // 4: another key, script length, the next bytes as its script (ill-formed is fine), table.
    [](Reader& r, auto&, auto&, auto) {
        const ListenerKey key = PickKey(r);
        RegisterListener(key, r, r.Take(r.U8() % 12));
    },
    [](Reader& r, auto&, auto&, auto) { throw static_cast<int32_t>(r.U8()); },        // 5
    [](Reader&, auto&, auto&, auto) { throw std::runtime_error("listener failure"); },  // 6
    [](Reader& r, auto&, auto&, auto) { throw NotAnException{r.U8()}; },               // 7
    // 8: the monitor suite through the basic suite, one call.
    [](Reader& r, auto& data, auto& c, auto) {
        const void* table = nullptr;
        if (data.basicSuite->AcquireSuite(kBrevantMonitorSuite, kBrevantMonitorSuiteVersion, &table) != 0) return;
        if (!table) Fail("acquired a null monitor table");
        MonitorCall(*static_cast<const BrevantMonitorSuite1*>(table), r, c);
        data.basicSuite->ReleaseSuite(kBrevantMonitorSuite, kBrevantMonitorSuiteVersion);
    },
    // 9: JobItemLog's message handle, read and locked (it stays Brevant's).
    [](Reader&, auto&, auto&, const HostMemoryHandle* message) {
        void* block = nullptr;
        if (message && gT.memory->MemLock(*message, &block) == 0) gT.memory->MemUnlock(*message);
    },
};

// Every callback: checks what Brevant hands it, then runs its listener's script.
HostErr RunListener(const ListenerBasicData* data, const Context& c, const HostMemoryHandle* message = nullptr) {
    if (!data) Fail("callback without its data");
    if (data->basicSuite != gT.basic) Fail("callback with a foreign basic suite");
    if (c.session > gSessionsStarted || c.session <= 0) Fail("callback for a session never started", c.session);
    gLastSeenSession = c.session;
    if (!gS || gS->tearingDown) return 0;
    const auto found = gS->scripts.find({data->pluginId, data->refcon});
    if (found == gS->scripts.end()) return 0;
    const std::vector<uint8_t> script = found->second;  // the script may replace itself
    Reader r{script.data(), script.size()};
    for (int step = 0; step < 6 && !r.Empty() && gS->callbackBudget > 0; ++step) {
        --gS->callbackBudget;
        kActions[r.U8() % std::size(kActions)](r, *data, c, message);
    }
    return 0;
}

HostErr OnJobBegin(const ListenerBasicData* d, int64_t s) { return RunListener(d, {s, 1, -1}); }
HostErr OnJobEnd(const ListenerBasicData* d, int64_t s) { return RunListener(d, {s, 1, -1}); }
HostErr OnJobItemStart(const ListenerBasicData* d, int64_t s, int64_t i) { return RunListener(d, {s, i, -1}); }
HostErr OnJobItemUpdate(const ListenerBasicData* d, int64_t s, int64_t i, int64_t f) {
    return RunListener(d, {s, i, f});
}
HostErr OnJobItemEnd(const ListenerBasicData* d, int64_t s, int64_t i, int32_t status) {
    if (status < kListenerStatusDone || status > kListenerStatusFailed) Fail("JobItemEnd status", status);
    return RunListener(d, {s, i, -1});
}
HostErr OnJobItemLog(const ListenerBasicData* d, int64_t s, int64_t i, uint8_t flag, const HostMemoryHandle* m) {
    HostString text;
    if (flag > 1) Fail("JobItemLog flag", flag);
    if (!m || !brevant_host::ReadStringHandle(*m, &text)) Fail("log callback without a live message");
    return RunListener(d, {s, i, -1}, m);
}

// Registration, checked: it succeeds exactly when Brevant runs and the table is not null, else 1.
void RegisterListener(const ListenerKey& key, Reader& r, std::vector<uint8_t> script) {
    const uint8_t mode = r.U8();  // 2: no table; 3: the next byte says which callbacks it has
    const uint8_t has = mode % 4 == 3 ? r.U8() : 0xFF;
    const ListenerCallbacks table{has & 1 ? OnJobBegin : nullptr,         has & 2 ? OnJobEnd : nullptr,
                                  has & 4 ? OnJobItemStart : nullptr,     has & 8 ? OnJobItemUpdate : nullptr,
                                  has & 16 ? OnJobItemEnd : nullptr,      has & 32 ? OnJobItemLog : nullptr};
    gS->scripts[key] = std::move(script);
    const HostErr result = Logging("Brevant_RegisterListener", KeyEntry(key), [&] {
        return gT.monitor->Brevant_RegisterListener(key.first, key.second, mode % 4 == 2 ? nullptr : &table);
    });
    if (result != (gS->running && mode % 4 != 2 ? kBrevantErrNone : kBrevantErrNotRunning)) {
        Fail("RegisterListener result", result);
    }
}

// A JSON string of ASCII, escapes, a few characters beyond ASCII and blanks (trailing ones too).
std::string JsonText(Reader& r) {
    static const char* const kPieces[] = {"a", "B", "z", "0", " ", "\\t", "\\\"", "\\\\", "/", "[", "]", "\\u00e9",
                                          "\\u65e5", "\\ud83d\\ude00", "x", "-", "_", "  ", ".", "#"};
    return "\"" + Pieces<std::string>(r, kPieces) + "\"";
}

std::string JsonInt(int64_t value) { return std::to_string(value); }

// A job file, mostly valid: each field's bytes are read whether or not its flag puts it in, so that
// the layout is fixed. `codes` gets the error codes that the job's records will answer with.
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
    static const char* const kItemTypes[] = {"null", "2", "4"};
    std::string j = "{\"outputDirectory\": \"" + gT.outputDirectory + "\"";
    const auto field = [&j](bool on, const char* key, const std::string& value) {
        if (on) j += std::string(", \"") + key + "\": " + value;
    };
    const uint8_t top = r.U8();
    field(top & 1, "project", JsonText(r));
    const std::string exporter = "[{\"id\": 20, \"flags\": " + JsonInt(r.Uint(4));
    const auto queryError = static_cast<int8_t>(r.U8());
    field(top & 2, "exporters", exporter + (top & 4 ? ", \"queryError\": " + JsonInt(queryError) : "") + "}]");
    if ((top & 6) == 6) codes.push_back(queryError);
    j += ", \"items\": [";
    const int items = r.U8() % 4;
    for (int i = 0; i < items; ++i) {
        const uint8_t f = r.U8();
        const bool big = (f & 0xC0) == 0xC0;  // big enough that thumbnails scale down from it
        j += std::string(i ? "," : "") + "{\"comp\": {\"name\": " + JsonText(r);
        field(true, "width", JsonInt(1 + r.Uint(2) % (big ? 200 : 40)));
        field(true, "height", JsonInt(1 + r.Uint(2) % (big ? 150 : 40)));
        field(true, "frames", JsonInt(1 + r.U8() % 6));
        field(f & 1, "startFrame", JsonInt(static_cast<int8_t>(r.U8())));
        const std::string aspect = JsonInt(1 + r.U8() % 40);
        field(f & 2, "pixelAspect", "[" + aspect + ", " + JsonInt(1 + r.U8() % 40) + "]");
        field(f & 4, "frameRate", JsonInt(1 + r.U8() % 60));
        j += "}";
        field(f & 8, "projectItemType", kItemTypes[r.U8() % 3]);
        const int status = r.U8() % 6;
        const int32_t anyStatus = r.I32();
        field(f & 16, "status", JsonInt(status < 4 ? 3 + status : anyStatus));
        const std::string templateName = JsonText(r);
        field(f & 32, "template", templateName + ", \"comment\": " + JsonText(r));

        const int settings = r.U8() % 4;
        std::string list;
        std::set<int> used;
        for (int k = 0; k < 3; ++k) {
            const int which = r.U8() % 20;
            const bool form = r.U8() & 1;
            const std::string value = JsonText(r), whenDone = JsonText(r);
            if (k >= settings || !used.insert(which).second) continue;
            list += std::string(list.empty() ? "" : ",") + "\"" + kRenderKeys[which] + "\": ";
            list += form ? "{\"value\": " + value + ", \"whenDone\": " + whenDone + "}" : value;
        }
        field(!list.empty(), "renderSettings", "{" + list + "}");

        const int modules = r.U8() % 4;
        for (int m = 0; m < modules; ++m) {
            const uint8_t h = r.U8(), h2 = r.U8();
            j += std::string(m ? ",{" : ", \"outputModules\": [{") + "\"template\": " + JsonText(r);
            field(h & 1, "path", std::string("\"") + kPaths[r.U8() % 6] + "\"");
            field(h & 2, "fileBased", h & 4 ? "true" : "false");
            const int exporterId = r.U8() % 4;
            field(h & 8, "exporter", JsonInt(exporterId == 3 ? ((top & 2) ? 20 : 3) : 1 + exporterId));
            const bool specFixed = r.U8() & 1;
            const uint64_t specFlags = r.Uint(4);
            field(h & 16, "outputSpecFlags", JsonInt(specFixed ? 0x100 : specFlags));
            std::string info = "{\"type\": " + JsonText(r);
            info += ", \"subType\": " + JsonText(r);
            const bool infoFails = r.U8() & 1;
            const auto infoError = static_cast<int8_t>(r.U8());
            field(h & 32, "outputInfo", info + (infoFails ? ", \"error\": " + JsonInt(infoError) : "") + "}");
            if ((h & 32) && infoFails) codes.push_back(infoError);
            const int action = r.U8() % 6;
            const int32_t anyAction = r.I32();
            field(h & 64, "postRenderAction", JsonInt(action < 4 ? action : action == 4 ? -1 : anyAction));
            field(h & 128, "write", r.U8() & 1 ? "\"raw\"" : "\"jpeg\"");
            std::string constrained = "{\"width\": " + JsonInt(1 + r.U8());
            constrained += ", \"height\": " + JsonInt(1 + r.U8());
            field(h2 & 1, "constrained", constrained + ", \"frameRate\": " + JsonInt(1 + r.U8() % 60) + "}");
            const std::string sizeWarning = JsonText(r);
            field(h2 & 2, "warnings", "{\"size\": " + sizeWarning + ", \"frameRate\": " + JsonText(r) + "}");
            const std::string key = kModuleKeys[r.U8() % 17];
            field(h2 & 4, "settings", "{\"" + key + "\": " + JsonText(r) + "}");
            j += "}";
        }
        j += modules ? "]}" : "}";
    }
    return j + "]}";
}

// Runs one session operation, if the slot holds a session, as the host does: a thrown int32_t is
// the operation's failure.
template <typename F>
void Guard(RQSession* session, F&& f) {
    try {
        if (session) f(*session);
    } catch (int32_t) {
    } catch (...) {
        Fail("a session operation threw something other than its code");
    }
}

void AddItem(RQSession& session, int32_t queueIndex, HostRenderItem& item) {
    gS->itemIds.insert(static_cast<int32_t>(static_cast<uint32_t>(queueIndex) + 1u));
    Guard(&session, [&](RQSession& s) { s.DescribeAddItem(queueIndex, item); });
}

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

// The ops of an input, by the op byte modulo their number: the seeds are written with these codes,
// so new ones go at the end. Those on a session name a session slot first (it may be empty), and
// those that read the job then a job slot (likewise); then their own arguments follow.
enum Slots { kNoSlot, kSessionSlot, kSessionAndJobSlots };
using Job = brevant_host::Job;
struct Op {
    const char* name;
    Slots slots;
    void (*run)(Reader& r, RQSession* session, Job* job);
};
const Op kOps[] = {
    {"load", kNoSlot, [](Reader&, RQSession*, Job*) { Load(); }},  // BrevantMain, unless running
    {"death hooks", kNoSlot, [](Reader&, RQSession*, Job*) { DeathHook(); }},  // the host's shutdown
    {"start session", kNoSlot, [](Reader& r, RQSession*, Job*) {  // slot, null-out flag
         const uint8_t a = r.U8();
         const bool nullOut = a & 0x80;
         std::shared_ptr<RQSession>& slot = gS->sessions[a % kSessionSlots];
         std::shared_ptr<RQSession> fresh = slot;  // replaced on success only
         const HostErr result = Logging("Brevant_StartSession", "called", [&] {
             return gT.provider->Brevant_StartSession(nullOut ? nullptr : &fresh);
         });
         // Refused with 1 while Brevant is stopped or for a null out-parameter, and only then.
         if ((result == kBrevantErrNotRunning) != (nullOut || !gS->running)) Fail("StartSession result", result);
         if (result != kBrevantErrNone) {
             if (fresh != slot) Fail("StartSession failed and wrote its out-parameter", result);
             return;
         }
         if (!fresh || fresh == slot) Fail("StartSession succeeded without a new session");
         ++gSessionsStarted;
         gS->latest = fresh;
         slot = std::move(fresh);  // drops the previous session of the slot
     }},
    {"drop session", kNoSlot, [](Reader& r, RQSession*, Job*) {  // slot, [copy into another slot]
         const uint8_t a = r.U8();
         auto& slot = gS->sessions[(a & 0x80 ? a >> 2 : a) % kSessionSlots];
         slot = a & 0x80 ? gS->sessions[a % kSessionSlots] : nullptr;
     }},
    {"build job", kNoSlot, [](Reader& r, RQSession*, Job*) {  // job slot, the job (see BuildJobText)
         std::shared_ptr<Job>& slot = gS->jobs[r.U8() % kJobSlots];
         const std::string text = BuildJobText(r, gS->jobCodes);
         // Parsed jobs are kept across inputs (records the plug-in only borrows; the host's clock
         // is restarted per item): parsing is most of a short input's time otherwise.
         static std::map<std::string, std::shared_ptr<Job>> cache;
         auto cached = cache.find(text);
         if (cached == cache.end()) {
             if (cache.size() >= 4096) cache.clear();
             std::string error;
             cached = cache.emplace(text, brevant_host::ParseJob(text, "fuzz.json", &error)).first;
             const char* outcome = cached->second ? "parsed" : error.c_str();
             if (gTrace) std::fprintf(stderr, "  job %s\n  -> %s\n", text.c_str(), outcome);
         }
         slot = cached->second;
     }},
    {"describe begin", kSessionAndJobSlots, [](Reader& r, RQSession* session, Job* job) {  // name choice
         const bool own = r.U8() & 1;
         const HostString name = own || !job ? RandomUtf16(r) : job->ProjectNameUtf16();
         Guard(session, [&](RQSession& s) { s.DescribeBegin(name); });
     }},
    {"describe item", kSessionAndJobSlots, [](Reader& r, RQSession* session, Job* job) {  // item, queue index
         const uint8_t which = r.U8(), queue = r.U8();
         if (!session || !job || job->ItemCount() == 0) return;
         const int32_t index = which % job->ItemCount();
         // Mostly its own position; else a small one, none, the largest or any.
         const int k = queue % 8;
         AddItem(*session, k < 3 ? index : k < 5 ? (queue >> 3) % 5 : k == 5 ? -1 : k == 6 ? INT32_MAX : r.I32(),
                 *job->Item(index));
     }},
    {"describe end", kSessionSlot, [](Reader&, RQSession* session, Job*) {
         Guard(session, [](RQSession& s) { s.DescribeEnd(); });
     }},
    {"describe all", kSessionAndJobSlots, [](Reader&, RQSession* session, Job* job) {  // begin, every item, end
         if (!session || !job) return;
         Guard(session, [&](RQSession& s) { s.DescribeBegin(job->ProjectNameUtf16()); });
         for (int32_t i = 0; i < job->ItemCount(); ++i) AddItem(*session, i, *job->Item(i));
         Guard(session, [](RQSession& s) { s.DescribeEnd(); });
     }},
    {"render start", kSessionAndJobSlots, [](Reader& r, RQSession* session, Job* job) {  // item, for the clock
         const uint8_t index = r.U8();
         if (job && job->ItemCount()) job->StartItemClock(index % job->ItemCount());
         Guard(session, [](RQSession& s) { s.RenderItemStart(nullptr); });
     }},
    {"render update", kSessionAndJobSlots, [](Reader& r, RQSession* session, Job* job) {
         // item, frame, status, record mutations; without a session, as many bytes as without a job
         if (!session) return void(r.Take(4));
         const int32_t items = job ? job->ItemCount() : 0;
         const int32_t index = items ? r.U8() % items : 0;
         const int32_t frames = job ? job->ItemFrames(index) : 0;
         const int32_t frameId = 1 + (frames ? r.U8() % frames : 0);
         const uint8_t st = r.U8();
         const int32_t status = st % 4 != 0 ? kHostUpdateStatusFrameDone : st % 8 == 0 ? 2 : r.I32();
         const uint8_t mutate = r.U8();
         brevant_host::FrameRecord frame;
         const bool prepared = job && job->PrepareFrame(index, frameId, status, frame);
         if (!prepared) {  // the record stays zero but for these
             frame.update.frameId = frameId;
             frame.update.updateStatus = status;
         }
         HostFrameUpdate& u = frame.update;
         if (mutate & 1) u.frameId = r.I32();
         if (mutate & 2) u.framesTotal = r.I32();
         if (mutate & 4) u.elapsedTime = r.I32();
         if ((mutate & 0x18) == 0x08) u.item = nullptr;
         if ((mutate & 0x18) == 0x10) u.frameBuffer = nullptr;
         if ((mutate & 0x18) == 0x18 && prepared) {
             // Smaller or empty, never larger than the pixels behind it.
             const uint8_t w = r.U8();
             frame.world.width = w & 0x80 ? -static_cast<int32_t>(w & 0x7F) : frame.world.width * (w % 4) / 4;
             frame.world.height = (w & 0x40) ? 0 : frame.world.height;
         }
         HostRenderQueue* queue = job && !(mutate & 0x20) ? job->Queue() : nullptr;
         Guard(session, [&](RQSession& s) { s.RenderItemUpdate(queue, (mutate & 0xC0) == 0xC0 ? nullptr : &u); });
         if (prepared && status == kHostUpdateStatusFrameDone) job->MarkFrameDone(frame);
     }},
    {"render end", kSessionSlot, [](Reader& r, RQSession* session, Job*) {  // host status
         const int32_t status = Listed(r, {6, 4, 5, 3, 0, -1, 1, 2, 7, INT32_MIN}, 240);
         Guard(session, [&](RQSession& s) { s.RenderItemEnd(nullptr, status); });
     }},
    {"log", kSessionSlot, [](Reader& r, RQSession* session, Job*) {  // type, text
         const auto type = static_cast<uint32_t>(Listed(r, {1, 2, 4, 8, 16, 0, 3, 32, -1}, 240));
         const uint8_t length = r.U8();
         std::string text;
         for (int i = 0; i < length % 24; ++i) text += static_cast<char>(r.U8() | 1);  // no NUL inside
         Guard(session, [&](RQSession& s) { s.Log(type, (length & 0x80) ? nullptr : text.c_str()); });
     }},
    {"monitor", kNoSlot, [](Reader& r, RQSession*, Job*) { MonitorCall(*gT.monitor, r, Context{gSessionsStarted}); }},
    {"register", kNoSlot, [](Reader& r, RQSession*, Job*) {  // plug-in id, refcon, script, table
         const ListenerKey key = PickKey(r);
         RegisterListener(key, r, r.Take(r.U8() % 64));
     }},
    {"deregister", kNoSlot, [](Reader& r, RQSession*, Job*) { Deregister(PickKey(r)); }},  // plug-in id, refcon
    {"fault", kNoSlot, [](Reader& r, RQSession*, Job*) {  // call, code, skip, times
         const auto call = static_cast<HostCall>(r.U8() % (static_cast<int>(HostCall::CompressJpeg) + 1));
         const HostErr code = PickCode(r);
         const int skip = r.U8() % 8;
         // A failing MemFree, or a memory suite that cannot be acquired to free with, keeps a
         // handle alive that Brevant did try to free.
         if (call == HostCall::MemFree || call == HostCall::AcquireSuite) gS->handlesMayLeak = true;
         if (call == HostCall::MemCreate || call == HostCall::MemLock || call == HostCall::MemUnlock ||
             call == HostCall::FileSpecName || call == HostCall::ModuleInfoQuery || call == HostCall::OutputInfoQuery) {
             gS->passedOnCodes.push_back(code);
         }
         brevant_host::SetFault(call, code, skip, static_cast<int>(r.U8() % 5) - 1);
     }},
    {"suite fault", kNoSlot, [](Reader& r, RQSession*, Job*) {  // suite, version, code
         const auto suite = PickSuite(r);
         if (suite.first == std::string(kHostMemorySuite)) gS->handlesMayLeak = true;
         brevant_host::SetSuiteFault(suite.first, suite.second, PickCode(r));
     }},
    {"clear faults", kNoSlot, [](Reader&, RQSession*, Job*) {
         brevant_host::ClearFaults();
         gS->passedOnCodes.clear();
     }},
    {"acquire suite", kNoSlot, [](Reader& r, RQSession*, Job*) {  // suite, version: held to the input's end
         const auto suite = PickSuite(r);
         const void* table = nullptr;
         if (gT.basic->AcquireSuite(suite.first, suite.second, &table) != kHostErrNone) return;
         if (!table) Fail("acquired a null table");
         gS->heldSuites.push_back(suite);
     }},
    {"render all", kSessionAndJobSlots, [](Reader& r, RQSession* session, Job* job) {  // logs: every item, frame
         if (!session || !job) return;
         const uint8_t logs = r.U8();
         for (int32_t i = 0; i < job->ItemCount(); ++i) {
             job->StartItemClock(i);
             Guard(session, [](RQSession& s) { s.RenderItemStart(nullptr); });
             for (int32_t f = 1; f <= job->ItemFrames(i); ++f) {
                 for (const int32_t status : {2, kHostUpdateStatusFrameDone}) {  // in progress, then done
                     brevant_host::FrameRecord record;
                     if (!job->PrepareFrame(i, f, status, record)) continue;
                     Guard(session, [&](RQSession& s) { s.RenderItemUpdate(job->Queue(), &record.update); });
                     if (status == 2) continue;
                     job->MarkFrameDone(record);
                     if (logs & (1u << (f % 8))) Guard(session, [&](RQSession& s) { s.Log(f % 5, "frame done"); });
                 }
             }
             Guard(session, [](RQSession& s) { s.RenderItemEnd(nullptr, brevant_host::kItemStatusDone); });
         }
     }},
};

void Step(Reader& r) {
    const Op& op = kOps[r.U8() % std::size(kOps)];
    if (gTrace) std::fprintf(stderr, "op %d %s\n", static_cast<int>(&op - kOps), op.name);
    RQSession* session = op.slots != kNoSlot ? gS->sessions[r.U8() % kSessionSlots].get() : nullptr;
    Job* job = op.slots == kSessionAndJobSlots ? gS->jobs[r.U8() % kJobSlots].get() : nullptr;
    op.run(r, session, job);
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
    for (auto& job : gS->jobs) job.reset();
    if (gS->handlesMayLeak) {
        // Handles that Brevant could not free under the faults: not a finding, but cleared so
        // that the next input starts clean.
        for (HostMemoryHandle handle : brevant_host::LiveHandles()) gT.memory->MemFree(handle);
    }
    const std::vector<std::string> leaks = brevant_host::LeakReport();
    for (const auto& leak : leaks) std::fprintf(stderr, "leak: %s\n", leak.c_str());
    if (!leaks.empty()) Fail("the host's accounting does not balance", static_cast<long long>(leaks.size()));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    gTrace = std::getenv("BREVANT_FUZZ_TRACE") != nullptr;
    brevant_host::SetMainThread();
    brevant_host::SetLogSink(brevant_host::LogSink::Off);
    char directory[] = "/tmp/brevant-fuzz-XXXXXX";
    if (!mkdtemp(directory)) Fail("mkdtemp");
    gT.outputDirectory = directory;
    // libFuzzer ends the process with exit() when its run is over; a finding aborts, and leaves
    // the folder for a look.
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(gT.outputDirectory, ignored);
    });

    brevant_host::LoadedPlugin plugin;
    std::string error;
    if (!brevant_host::LoadPlugin(BREVANT_PLUGIN_PATH, &plugin, &error) || plugin.entryResult != 0) {
        Fail(("cannot load " BREVANT_PLUGIN_PATH ": " + error).c_str());
    }
    gT.entry = reinterpret_cast<HostPluginEntryFunc>(brevant_host::PluginSymbol(plugin, "BrevantMain"));
    gT.deathHook = reinterpret_cast<HostDeathHookFunc>(brevant_host::PluginSymbol(plugin, "DeathHook"));
    if (!gT.entry || !gT.deathHook) Fail("BrevantMain or DeathHook not exported");
    gT.basic = brevant_host::BasicSuite();
    // Tables stay valid for the process: the library is never unloaded. They are taken once and
    // released at once, so that the accounting of every input starts balanced.
    const auto table = [](const char* name, int32_t version) {
        const void* found = nullptr;
        if (gT.basic->AcquireSuite(name, version, &found) != kHostErrNone) Fail(name);
        gT.basic->ReleaseSuite(name, version);
        return found;
    };
    gT.memory = static_cast<const HostMemorySuite1*>(table(kHostMemorySuite, kHostMemorySuiteVersion));
    gT.monitor = static_cast<const BrevantMonitorSuite1*>(table(kBrevantMonitorSuite, kBrevantMonitorSuiteVersion));
    gT.provider = static_cast<const BrevantProviderSuite1*>(table(kBrevantProviderSuite, kBrevantProviderSuiteVersion));
    brevant_host::RunDeathHooks();
    if (!brevant_host::LeakReport().empty()) Fail("leaks after loading");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    InputState state;
    gS = &state;
    brevant_host::ResetHost();  // unpublishes; BrevantMain publishes again
    Reader r{data, size};
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
    return 0;
}
#endif

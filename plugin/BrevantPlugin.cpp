#include "plugin/BrevantPlugin.h"

#include <cstring>

#include "plugin/SuiteHandler.h"
#include "plugin/Text.h"
#include "session/BrevantSession.h"
#include <brevant/monitor.h>

namespace brevant {
namespace {

constexpr const char* kTag = "BrevantPlugin";
BrevantPlugin* gRunningPlugin = nullptr;
uint64_t gNextGeneration = 1;

}  // namespace

BrevantPlugin* RunningPlugin() { return gRunningPlugin; }
void SetRunningPlugin(BrevantPlugin* plugin) { gRunningPlugin = plugin; }

BrevantPlugin::BrevantPlugin(int32_t pluginId, const HostBasicSuite* basicSuite)
    : pluginId_(pluginId),
      basicSuite_(basicSuite),
      listenerManager_(basicSuite),
      generation_(gNextGeneration++) {
    HostLog(0, kTag, "ctor", "created=%x", LogAddress(this));
}

BrevantPlugin::~BrevantPlugin() { HostLog(0, kTag, "dtor", "destroyed=%x", LogAddress(this)); }

bool BrevantPlugin::SessionCreate(std::shared_ptr<RQSession>* outSession) {
    if (std::shared_ptr<BrevantSession> previous = currentSession_.lock()) {
        currentSession_.reset();
        currentSessionObject_ = nullptr;
    }
    // The one place where a session is allocated: the shared pointer owns it from here on.
    auto session = std::shared_ptr<BrevantSession>(new BrevantSession(this));
    currentSession_ = session;
    currentSessionObject_ = session.get();
    *outSession = session;
    HostLog(0, kTag, "SessionCreate", "id=%lld", static_cast<long long>(session->sessionId));
    return true;
}

void BrevantPlugin::SessionDestroyed(const BrevantSession& session) {
    HostLog(0, kTag, "SessionDestroyed", "id=%lld", static_cast<long long>(session.sessionId));
    // An older session that dies after a newer one was started must not make the newer one
    // unreachable. The dying session can no longer be locked, so it is compared by address.
    if (currentSessionObject_ == &session) {
        currentSession_.reset();
        currentSessionObject_ = nullptr;
    }
}

std::shared_ptr<BrevantSession> BrevantPlugin::GetSession(int64_t sessionId) const {
    std::shared_ptr<BrevantSession> session = currentSession_.lock();
    if (session && session->sessionId == sessionId) return session;
    return nullptr;
}

void BrevantPlugin::JobBegin(const BrevantSession& session) {
    HostLog(0, kTag, "JobBegin", "this=%x, sess=%x", LogAddress(this), LogAddress(&session));
    listenerManager_.Process_JobBegin(session);
}

void BrevantPlugin::JobEnd(const BrevantSession& session) {
    HostLog(0, kTag, "JobEnd", "this=%x, sess=%x", LogAddress(this), LogAddress(&session));
    listenerManager_.Process_JobEnd(session);
}

void BrevantPlugin::JobItemStart(const BrevantSession& session, int32_t itemId) {
    HostLog(0, kTag, "JobItemStart", "this=%x, sess=%x, itemid=%d", LogAddress(this), LogAddress(&session),
            itemId);
    listenerManager_.Process_JobItemStart(session, itemId);
}

void BrevantPlugin::JobItemUpdate(const BrevantSession& session, int32_t itemId, int64_t frameId) {
    HostLog(0, kTag, "JobItemUpdate", "this=%x, sess=%x, itemid=%d, frameid=%lld", LogAddress(this),
            LogAddress(&session), itemId, static_cast<long long>(frameId));
    listenerManager_.Process_JobItemUpdate(session, itemId, frameId);
}

void BrevantPlugin::JobItemEnd(const BrevantSession& session, int32_t itemId, int32_t status) {
    HostLog(0, kTag, "JobItemEnd", "this=%x, sess=%x, itemid=%d, status=%d", LogAddress(this),
            LogAddress(&session), itemId, status);
    listenerManager_.Process_JobItemEnd(session, itemId, status);
}

void BrevantPlugin::JobItemLog(const BrevantSession& session, int32_t itemId, uint8_t flag,
                               const HostString& message) {
    HostLog(0, kTag, "JobItemLog", "this=%x, sess=%x, itemid=%d", LogAddress(this), LogAddress(&session),
            itemId);
    HostMemoryHandle handle = nullptr;
    // The handle is the relay's: freed once the listeners have returned, on every path.
    struct FreeAfterFanOut {
        const HostBasicSuite* basicSuite;
        HostMemoryHandle& handle;
        ~FreeAfterFanOut() {
            SuiteHandler suites(basicSuite);
            if (const HostMemorySuite1* memory = suites.MemorySuite()) memory->MemFree(handle);
        }
    } freeAfterFanOut{basicSuite_, handle};
    if (ConvertStringToMemHandle(message, &handle) == kHostErrNone) {
        listenerManager_.Process_JobItemLog(session, itemId, flag, &handle);
    }
}

HostErr BrevantPlugin::ConvertStringToMemHandle(const HostString& text, HostMemoryHandle* out) const {
    return ConvertToMemHandle(text.data(), text.size() * sizeof(char16_t), (text.size() + 1) * sizeof(char16_t),
                              "convert unicode to memhandle for brevant", kHostMemFlagClear, out);
}

HostErr BrevantPlugin::ConvertThumbnailToMemHandle(const std::vector<uint8_t>& bytes,
                                                   HostMemoryHandle* out) const {
    return ConvertToMemHandle(bytes.data(), bytes.size(), bytes.size(),
                              "convert thumbnail to memhandle for brevant", 0, out);
}

// One allocation by the host and one copy. The string terminator is never copied: the host
// zero-fills string handles, so an empty text needs neither lock nor copy.
HostErr BrevantPlugin::ConvertToMemHandle(const void* bytes, size_t byteCount, uint64_t size,
                                          const char* label, int32_t flags, HostMemoryHandle* out) const {
    SuiteHandler suites(basicSuite_);
    const HostMemorySuite1* memory = suites.MemorySuite();
    if (!memory) return kBrevantErrSuiteMissing;
    HostMemoryHandle handle = nullptr;
    HostErr result = memory->MemCreate(pluginId_, label, size, flags, &handle);
    if (byteCount > 0 && result == kHostErrNone) {
        void* block = nullptr;
        result = memory->MemLock(handle, &block);
        if (result == kHostErrNone) {
            std::memcpy(block, bytes, byteCount);
            result = memory->MemUnlock(handle);
        }
    }
    if (result == kHostErrNone) {
        *out = handle;
        return kHostErrNone;
    }
    if (handle) memory->MemFree(handle);
    return result;
}

}  // namespace brevant

// BrevantPlugin: the singleton that BrevantMain creates and DeathHook deletes.
//
// The host owns it through the global refcon. It holds the listener registry and a weak
// reference to the current session; sessions hold a plain pointer to it and reach it only while
// it is still the live plug-in (see BrevantSession::LivePlugin). Everything here runs on the
// host's main thread except the listener registry, which locks for itself.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "listeners/BrevantListenerManager.h"
#include "plugin/HostInterface.h"

class RQSession;

namespace brevant {

class BrevantSession;

class BrevantPlugin {
public:
    BrevantPlugin(int32_t pluginId, const HostBasicSuite* basicSuite);
    virtual ~BrevantPlugin();
    BrevantPlugin(const BrevantPlugin&) = delete;
    BrevantPlugin& operator=(const BrevantPlugin&) = delete;

    int32_t PluginId() const { return pluginId_; }
    const HostBasicSuite* BasicSuite() const { return basicSuite_; }
    BrevantListenerManager& Listeners() { return listenerManager_; }
    // Distinguishes this object from a later plug-in object at the same address.
    uint64_t Generation() const { return generation_; }

    // Session start and end.
    bool SessionCreate(std::shared_ptr<RQSession>* outSession);
    void SessionDestroyed(const BrevantSession& session);
    // The current session, only while it is alive and its id is `sessionId`.
    std::shared_ptr<BrevantSession> GetSession(int64_t sessionId) const;

    // Event relays, called by the session with itself.
    void JobBegin(const BrevantSession& session);
    void JobEnd(const BrevantSession& session);
    void JobItemStart(const BrevantSession& session, int32_t itemId);
    void JobItemUpdate(const BrevantSession& session, int32_t itemId, int64_t frameId);
    void JobItemEnd(const BrevantSession& session, int32_t itemId, int32_t status);
    void JobItemLog(const BrevantSession& session, int32_t itemId, uint8_t flag, const HostString& message);

    // Hand-off in host memory handles created in Brevant's name. On failure the host's code is
    // returned and *out is left as it was.
    HostErr ConvertStringToMemHandle(const HostString& text, HostMemoryHandle* out) const;
    HostErr ConvertThumbnailToMemHandle(const std::vector<uint8_t>& bytes, HostMemoryHandle* out) const;

private:
    HostErr ConvertToMemHandle(const void* bytes, size_t byteCount, uint64_t size, const char* label,
                               int32_t flags, HostMemoryHandle* out) const;

    int32_t pluginId_;
    const HostBasicSuite* basicSuite_;
    BrevantListenerManager listenerManager_;
    std::weak_ptr<BrevantSession> currentSession_;
    const BrevantSession* currentSessionObject_ = nullptr;  // what currentSession_ points at
    uint64_t generation_;
};

// The process-wide plug-in pointer: null before BrevantMain and after DeathHook. Written only
// by those two, read without a lock by every suite operation.
BrevantPlugin* RunningPlugin();
void SetRunningPlugin(BrevantPlugin* plugin);

}  // namespace brevant

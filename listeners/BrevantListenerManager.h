// BrevantListenerManager: the registry of listeners and the fan-out of job events to them.
//
// Owned by the BrevantPlugin. Registration may come from any thread; a fan-out runs on the
// thread of the session operation that raised the event. The registry is an immutable sorted
// vector shared through a pointer: registration builds a new one under the lock, a fan-out only
// takes a reference to the current one under the lock and walks it unlocked. So a listener
// removed during a fan-out is still called for the rest of it and one added is not, and an
// event costs no allocation.
#pragma once

#include <boost/thread/mutex.hpp>
#include <cstdint>
#include <memory>
#include <vector>

#include "listeners/BrevantListener.h"

namespace brevant {

class BrevantSession;

class BrevantListenerManager {
public:
    explicit BrevantListenerManager(const HostBasicSuite* basicSuite);
    virtual ~BrevantListenerManager();
    BrevantListenerManager(const BrevantListenerManager&) = delete;
    BrevantListenerManager& operator=(const BrevantListenerManager&) = delete;

    // Adds the listener, or replaces the table of a known key. `callbacks` must not be null.
    bool AddListener(int32_t pluginId, uint64_t refcon, const ListenerCallbacks* callbacks);
    bool RemoveListener(int32_t pluginId, uint64_t refcon);

    void Process_JobBegin(const BrevantSession& session);
    void Process_JobEnd(const BrevantSession& session);
    void Process_JobItemStart(const BrevantSession& session, int32_t itemId);
    void Process_JobItemUpdate(const BrevantSession& session, int32_t itemId, int64_t frameId);
    void Process_JobItemEnd(const BrevantSession& session, int32_t itemId, int32_t status);
    void Process_JobItemLog(const BrevantSession& session, int32_t itemId, uint8_t flag,
                            const HostMemoryHandle* message);

    size_t ListenerCount();

private:
    struct Key {
        int32_t pluginId;
        uint64_t refcon;
        bool operator<(const Key& other) const {
            return pluginId != other.pluginId ? pluginId < other.pluginId : refcon < other.refcon;
        }
        bool operator==(const Key& other) const {
            return pluginId == other.pluginId && refcon == other.refcon;
        }
    };
    struct Entry {
        Key key;
        ListenerCallbacks callbacks;
    };
    using Registry = std::vector<Entry>;

    std::shared_ptr<const Registry> Snapshot();
    template <typename Call, typename Failure>
    void FanOut(const char* operation, int64_t sessionId, const Call& call, const Failure& failure);

    const HostBasicSuite* basicSuite_;
    std::shared_ptr<const Registry> listeners_;
    boost::mutex lock_;
};

}  // namespace brevant

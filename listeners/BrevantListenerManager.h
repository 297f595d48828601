// BrevantListenerManager: the registry of listeners and the fan-out of job events to them.
//
// Owned by the BrevantPlugin. Registration may come from any thread; a fan-out runs on the
// thread of the session operation that raised the event. The registry is an immutable sorted
// vector shared through a pointer: registration builds a new one under the lock and bumps the
// generation, a fan-out walks the one that was current when it began. So a listener removed
// during a fan-out is still called for the rest of it and one added is not, and an event costs
// no allocation.
//
// The thread that created the manager (the host's main thread, which raises every event) keeps
// its own reference to the registry and the generation it belongs to. While nothing changed, its
// outermost fan-out walks that registry without the lock and without touching a reference count;
// any other fan-out, nested or from another thread, takes its reference under the lock.
#pragma once

#include <atomic>
#include <boost/thread/mutex.hpp>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include <brevant/listener.h>

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
    // Points the main thread's reference at the current registry. [main thread]
    void RefreshMainRegistry();
    // Replaces the registry and bumps the generation. Caller holds lock_.
    void Publish(std::shared_ptr<const Registry> registry);
    template <typename Call, typename Failure>
    void FanOut(const char* operation, int64_t sessionId, const Call& call, const Failure& failure);
    template <typename Call, typename Failure>
    void Walk(const Registry& listeners, const char* operation, int64_t sessionId, const Call& call,
              const Failure& failure) noexcept;

    const HostBasicSuite* basicSuite_;
    std::shared_ptr<const Registry> listeners_;  // guarded by lock_
    std::atomic<uint64_t> generation_{0};        // written under lock_, read anywhere
    boost::mutex lock_;

    // The main thread's reference and its generation; only that thread reads or writes these.
    const std::thread::id mainThread_;
    std::shared_ptr<const Registry> mainRegistry_;
    uint64_t mainGeneration_ = 0;
    int mainFanOutDepth_ = 0;
};

}  // namespace brevant

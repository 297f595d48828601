#include "listeners/BrevantListenerManager.h"

#include <algorithm>
#include <boost/thread/locks.hpp>

#include "session/BrevantSession.h"

namespace brevant {
namespace {
constexpr const char* kTag = "BrevantListenerManager";
}

BrevantListenerManager::BrevantListenerManager(const HostBasicSuite* basicSuite)
    : basicSuite_(basicSuite),
      listeners_(std::make_shared<const Registry>()),
      mainThread_(std::this_thread::get_id()),
      mainRegistry_(listeners_) {}

BrevantListenerManager::~BrevantListenerManager() {
    HostLog(0, kTag, "dtor", "destroying with %d listeners", static_cast<int>(listeners_->size()));
    std::shared_ptr<const Registry> dropped;
    {
        boost::unique_lock<boost::mutex> guard(lock_);
        dropped.swap(listeners_);
    }
}

bool BrevantListenerManager::AddListener(int32_t pluginId, uint64_t refcon,
                                         const ListenerCallbacks* callbacks) {
    const Key key{pluginId, refcon};
    boost::unique_lock<boost::mutex> guard(lock_);
    const size_t origsize = listeners_->size();
    auto registry = std::make_shared<Registry>(*listeners_);
    auto at = std::lower_bound(registry->begin(), registry->end(), key,
                               [](const Entry& entry, const Key& k) { return entry.key < k; });
    if (at != registry->end() && at->key == key) {
        at->callbacks = *callbacks;
    } else {
        registry->insert(at, Entry{key, *callbacks});
    }
    Publish(std::move(registry));
    HostLog(0, kTag, "AddListener", "added listener %x/%llx, origsize=%d, newsize=%d",
            static_cast<unsigned>(pluginId), static_cast<unsigned long long>(refcon),
            static_cast<int>(origsize), static_cast<int>(listeners_->size()));
    return true;
}

bool BrevantListenerManager::RemoveListener(int32_t pluginId, uint64_t refcon) {
    const Key key{pluginId, refcon};
    boost::unique_lock<boost::mutex> guard(lock_);
    const size_t origsize = listeners_->size();
    auto at = std::lower_bound(listeners_->begin(), listeners_->end(), key,
                               [](const Entry& entry, const Key& k) { return entry.key < k; });
    if (at == listeners_->end() || !(at->key == key)) {
        HostLog(0, kTag, "RemoveListener", "COULD NOT remove listener %lld/%llx, listsize=%d",
                static_cast<long long>(pluginId), static_cast<unsigned long long>(refcon),
                static_cast<int>(origsize));
        return false;
    }
    auto registry = std::make_shared<Registry>();
    registry->reserve(origsize - 1);
    registry->insert(registry->end(), listeners_->begin(), at);
    registry->insert(registry->end(), at + 1, listeners_->end());
    Publish(std::move(registry));
    HostLog(0, kTag, "RemoveListener", "removed listener %lld/%llx, origsize=%d, newsize=%d",
            static_cast<long long>(pluginId), static_cast<unsigned long long>(refcon),
            static_cast<int>(origsize), static_cast<int>(listeners_->size()));
    return true;
}

void BrevantListenerManager::Publish(std::shared_ptr<const Registry> registry) {
    listeners_ = std::move(registry);
    generation_.store(generation_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

// Only the main thread's outermost fan-out may refresh the main thread's reference: a nested
// one would free the registry that the outer fan-out is still walking.
void BrevantListenerManager::RefreshMainRegistry() {
    boost::unique_lock<boost::mutex> guard(lock_);
    mainRegistry_ = listeners_;
    mainGeneration_ = generation_.load(std::memory_order_relaxed);
}

size_t BrevantListenerManager::ListenerCount() { return Snapshot()->size(); }

std::shared_ptr<const BrevantListenerManager::Registry> BrevantListenerManager::Snapshot() {
    boost::unique_lock<boost::mutex> guard(lock_);
    return listeners_;
}

// Walks the registry that was current when the event was raised: the main thread's own
// reference when it is not already inside a fan-out, else a reference taken under the lock.
template <typename Call, typename Failure>
void BrevantListenerManager::FanOut(const char* operation, int64_t sessionId, const Call& call,
                                    const Failure& failure) {
    if (std::this_thread::get_id() == mainThread_ && mainFanOutDepth_ == 0) {
        if (generation_.load(std::memory_order_acquire) != mainGeneration_) RefreshMainRegistry();
        ++mainFanOutDepth_;
        Walk(*mainRegistry_, operation, sessionId, call, failure);
        --mainFanOutDepth_;
    } else {
        const std::shared_ptr<const Registry> snapshot = Snapshot();
        Walk(*snapshot, operation, sessionId, call, failure);
    }
}

// Calls every listener in key order, numbered from 1 whether or not it wants the event.
// Whatever a callback throws stays here, so the walk itself never throws.
template <typename Call, typename Failure>
void BrevantListenerManager::Walk(const Registry& listeners, const char* operation, int64_t sessionId,
                                  const Call& call, const Failure& failure) noexcept {
    HostLog(0, kTag, operation, "calling %d listeners for session %lld",
            static_cast<int>(listeners.size()), static_cast<long long>(sessionId));
    int number = 0;
    for (const Entry& entry : listeners) {
        ++number;
        const ListenerBasicData data{basicSuite_, entry.key.pluginId, 0, entry.key.refcon};
        try {
            call(entry.callbacks, &data);
        } catch (...) {
            failure(number);
        }
    }
}

void BrevantListenerManager::Process_JobBegin(const BrevantSession& session) {
    const int64_t id = session.sessionId;
    FanOut("Process_JobBegin", id,
           [id](const ListenerCallbacks& cb, const ListenerBasicData* data) {
               if (cb.JobBegin) cb.JobBegin(data, id);
           },
           [id](int number) {
               HostLog(0, kTag, "Process_JobBegin", "bad exception calling listener %d for session %lld",
                       number, static_cast<long long>(id));
           });
}

void BrevantListenerManager::Process_JobEnd(const BrevantSession& session) {
    const int64_t id = session.sessionId;
    FanOut("Process_JobEnd", id,
           [id](const ListenerCallbacks& cb, const ListenerBasicData* data) {
               if (cb.JobEnd) cb.JobEnd(data, id);
           },
           [id](int number) {
               HostLog(0, kTag, "Process_JobEnd", "bad exception calling listener %d for session %lld",
                       number, static_cast<long long>(id));
           });
}

void BrevantListenerManager::Process_JobItemStart(const BrevantSession& session, int32_t itemId) {
    const int64_t id = session.sessionId;
    FanOut("Process_JobItemStart", id,
           [id, itemId](const ListenerCallbacks& cb, const ListenerBasicData* data) {
               if (cb.JobItemStart) cb.JobItemStart(data, id, itemId);
           },
           [id, itemId](int number) {
               HostLog(0, kTag, "Process_JobItemStart",
                       "bad exception calling listener %d for session %lld, item %d", number,
                       static_cast<long long>(id), itemId);
           });
}

void BrevantListenerManager::Process_JobItemUpdate(const BrevantSession& session, int32_t itemId,
                                                   int64_t frameId) {
    const int64_t id = session.sessionId;
    FanOut("Process_JobItemUpdate", id,
           [id, itemId, frameId](const ListenerCallbacks& cb, const ListenerBasicData* data) {
               if (cb.JobItemUpdate) cb.JobItemUpdate(data, id, itemId, frameId);
           },
           [id, itemId, frameId](int number) {
               HostLog(0, kTag, "Process_JobItemUpdate",
                       "bad exception calling listener %d for session %lld, item %d, frame %lld",
                       number, static_cast<long long>(id), itemId, static_cast<long long>(frameId));
           });
}

void BrevantListenerManager::Process_JobItemEnd(const BrevantSession& session, int32_t itemId,
                                                int32_t status) {
    const int64_t id = session.sessionId;
    FanOut("Process_JobItemEnd", id,
           [id, itemId, status](const ListenerCallbacks& cb, const ListenerBasicData* data) {
               if (cb.JobItemEnd) cb.JobItemEnd(data, id, itemId, status);
           },
           [id, itemId](int number) {
               HostLog(0, kTag, "Process_JobItemEnd",
                       "bad exception calling listener %d for session %lld, item %d", number,
                       static_cast<long long>(id), itemId);
           });
}

void BrevantListenerManager::Process_JobItemLog(const BrevantSession& session, int32_t itemId,
                                                uint8_t flag, const HostMemoryHandle* message) {
    const int64_t id = session.sessionId;
    FanOut("Process_JobItemLog", id,
           [id, itemId, flag, message](const ListenerCallbacks& cb, const ListenerBasicData* data) {
               if (cb.JobItemLog) cb.JobItemLog(data, id, itemId, flag, message);
           },
           [id, itemId](int number) {
               HostLog(0, kTag, "Process_JobItemLog",
                       "bad exception calling listener %d for session %lld, item %d", number,
                       static_cast<long long>(id), itemId);
           });
}

}  // namespace brevant

#include "BenchListeners.h"

#include "BenchHost.h"

namespace brevant_bench {

uint64_t gTrivialCalls = 0;
QueryTally gQueryTally;
int32_t gQueriedModules = 0;
int32_t gThumbnailLimit = 320;

namespace {

void Free(HostMemoryHandle handle) {
    if (PluginHost::Memory().MemFree(handle) != kHostErrNone) ++gQueryTally.failures;
}

// Reads pairs 0 to count - 1 of one list, as a client that shows them would.
template <typename Read>
void ReadPairs(int32_t count, const Read& read) {
    for (int32_t i = 0; i < count; ++i) {
        HostMemoryHandle key = nullptr, value = nullptr;
        if (read(i, &key, &value) != kBrevantErrNone) {
            ++gQueryTally.failures;
            continue;
        }
        ++gQueryTally.pairs;
        Free(key);
        Free(value);
    }
}

HostErr QueryingUpdate(const ListenerBasicData*, int64_t sessionId, int64_t itemId, int64_t frameId) {
    const BrevantMonitorSuite1& monitor = PluginHost::Monitor();
    int32_t count = 0;
    if (monitor.Brevant_GetNumJobItemFrameProperties(sessionId, itemId, frameId, &count) != kBrevantErrNone) {
        ++gQueryTally.failures;
    } else {
        ReadPairs(count, [&](int32_t i, HostMemoryHandle* key, HostMemoryHandle* value) {
            return monitor.Brevant_GetJobItemFrameProperty(sessionId, itemId, frameId, i, key, value);
        });
    }
    for (int32_t module = 0; module < gQueriedModules; ++module) {
        if (monitor.Brevant_GetNumJobItemOutputModuleProperties(sessionId, itemId, module, &count) != kBrevantErrNone) {
            ++gQueryTally.failures;
            continue;
        }
        ReadPairs(count, [&](int32_t i, HostMemoryHandle* key, HostMemoryHandle* value) {
            return monitor.Brevant_GetJobItemOutputModuleProperty(sessionId, itemId, module, i, key, value);
        });
    }
    return kHostErrNone;
}

HostErr ThumbnailUpdate(const ListenerBasicData*, int64_t sessionId, int64_t itemId, int64_t frameId) {
    int32_t width = gThumbnailLimit, height = gThumbnailLimit;
    HostMemoryHandle jpeg = nullptr;
    if (PluginHost::Monitor().Brevant_GetJobItemFrameThumbnail(sessionId, itemId, frameId, &width, &height, &jpeg) !=
        kBrevantErrNone) {
        ++gQueryTally.failures;
        return kHostErrNone;
    }
    uint64_t size = 0;
    PluginHost::Memory().MemSize(jpeg, &size);
    ++gQueryTally.thumbnails;
    gQueryTally.thumbnailBytes += size;
    gQueryTally.thumbnailWidth = width;
    gQueryTally.thumbnailHeight = height;
    Free(jpeg);
    return kHostErrNone;
}

}  // namespace

HostErr TrivialUpdate(const ListenerBasicData*, int64_t, int64_t, int64_t) {
    ++gTrivialCalls;
    return kHostErrNone;
}

ListenerCallbacks TrivialCallbacks() {
    ListenerCallbacks callbacks{};
    callbacks.JobItemUpdate = TrivialUpdate;
    return callbacks;
}

ListenerCallbacks QueryingCallbacks() {
    ListenerCallbacks callbacks{};
    callbacks.JobItemUpdate = QueryingUpdate;
    return callbacks;
}

ListenerCallbacks ThumbnailCallbacks() {
    ListenerCallbacks callbacks{};
    callbacks.JobItemUpdate = ThumbnailUpdate;
    return callbacks;
}

}  // namespace brevant_bench

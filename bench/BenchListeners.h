// The listeners that the benchmarks register, kept in their own translation unit so that the
// direct-call reference cannot inline them. [main-thread]: they run inside the plug-in's
// fan-out.
#pragma once

#include <cstdint>

#include <brevant/listener.h>

namespace brevant_bench {

// Calls of TrivialUpdate so far; read to check that every listener was called.
extern uint64_t gTrivialCalls;
HostErr TrivialUpdate(const ListenerBasicData* data, int64_t sessionId, int64_t itemId, int64_t frameId);
ListenerCallbacks TrivialCallbacks();

// Queries that failed inside a callback, and pairs read, since the last reset.
struct QueryTally {
    uint64_t failures = 0;
    uint64_t pairs = 0;
    uint64_t thumbnails = 0;
    uint64_t thumbnailBytes = 0;
    int32_t thumbnailWidth = 0;
    int32_t thumbnailHeight = 0;
};
extern QueryTally gQueryTally;

// Reads every frame property (counted, then each pair) and every property of output modules
// 0 to gQueriedModules - 1, freeing each handle.
extern int32_t gQueriedModules;
ListenerCallbacks QueryingCallbacks();

// Asks for a thumbnail within gThumbnailLimit x gThumbnailLimit and frees it.
extern int32_t gThumbnailLimit;
ListenerCallbacks ThumbnailCallbacks();

}  // namespace brevant_bench

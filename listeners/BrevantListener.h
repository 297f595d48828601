// The listener interface: what a client plug-in registers with the monitor suite, and how it is
// called back for every job event.
//
// All callbacks run synchronously on the thread of the session operation that raised the event
// (the host's main thread), with the registry unlocked: a callback may call the monitor suite,
// and may register or deregister listeners, itself included; such changes take effect from the
// next event. What a callback returns is not read. An exception thrown by a callback is caught
// and logged; the next listener is called.
#pragma once

#include <cstddef>
#include <cstdint>

#include "plugin/HostInterface.h"

extern "C" {

// Passed by pointer as every callback's first argument; valid only during that call.
struct ListenerBasicData {
    const HostBasicSuite* basicSuite;  // the host's basic suite, to acquire suites with
    int32_t pluginId;                  // the listener's plug-in id, as registered
    uint32_t unused;                   // not written
    uint64_t refcon;                   // the listener's refcon, as registered
};
static_assert(sizeof(ListenerBasicData) == 24, "ListenerBasicData is 24 bytes");
static_assert(offsetof(ListenerBasicData, basicSuite) == 0, "basicSuite at 0");
static_assert(offsetof(ListenerBasicData, pluginId) == 8, "pluginId at 8");
static_assert(offsetof(ListenerBasicData, refcon) == 16, "refcon at 16");

// Item ids arrive sign-extended from 32 bits. Status of JobItemEnd: 1, 2 or 3. The log flag is
// 1 for the host's message types 1, 2, 4, 8 and 16, else 0. The log message handle holds UTF-16
// text and a zero code unit; it stays Brevant's: read it during the callback, never keep or free
// it.
typedef HostErr (*ListenerJobBeginFunc)(const ListenerBasicData* data, int64_t session_id);
typedef HostErr (*ListenerJobEndFunc)(const ListenerBasicData* data, int64_t session_id);
typedef HostErr (*ListenerJobItemStartFunc)(const ListenerBasicData* data, int64_t session_id,
                                            int64_t item_id);
typedef HostErr (*ListenerJobItemUpdateFunc)(const ListenerBasicData* data, int64_t session_id,
                                             int64_t item_id, int64_t frame_id);
typedef HostErr (*ListenerJobItemEndFunc)(const ListenerBasicData* data, int64_t session_id,
                                          int64_t item_id, int32_t status);
typedef HostErr (*ListenerJobItemLogFunc)(const ListenerBasicData* data, int64_t session_id,
                                          int64_t item_id, uint8_t flag,
                                          const HostMemoryHandle* message);

// Copied by value at registration: the client's table may go away afterwards. A null slot means
// the listener does not want that event.
struct ListenerCallbacks {
    ListenerJobBeginFunc JobBegin;
    ListenerJobEndFunc JobEnd;
    ListenerJobItemStartFunc JobItemStart;
    ListenerJobItemUpdateFunc JobItemUpdate;
    ListenerJobItemEndFunc JobItemEnd;
    ListenerJobItemLogFunc JobItemLog;
};
static_assert(sizeof(ListenerCallbacks) == 48, "ListenerCallbacks is six 64-bit pointers");
static_assert(offsetof(ListenerCallbacks, JobBegin) == 0, "JobBegin at 0");
static_assert(offsetof(ListenerCallbacks, JobEnd) == 8, "JobEnd at 8");
static_assert(offsetof(ListenerCallbacks, JobItemStart) == 16, "JobItemStart at 16");
static_assert(offsetof(ListenerCallbacks, JobItemUpdate) == 24, "JobItemUpdate at 24");
static_assert(offsetof(ListenerCallbacks, JobItemEnd) == 32, "JobItemEnd at 32");
static_assert(offsetof(ListenerCallbacks, JobItemLog) == 40, "JobItemLog at 40");

// Listener status given to JobItemEnd.
constexpr int32_t kListenerStatusDone = 1;      // host status 6
constexpr int32_t kListenerStatusStopped = 2;   // host status 4
constexpr int32_t kListenerStatusFailed = 3;    // any other host status

}  // extern "C"

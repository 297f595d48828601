/* The listener interface: what a client plug-in registers with the monitor suite
 * (Brevant_RegisterListener in <brevant/monitor.h>), and how it is called back for every event
 * of a render. Plain C11 and C++17.
 *
 * Threads and re-entry: every callback runs synchronously on the host's main thread, on the
 * session operation that raised the event, with Brevant's registry unlocked. A callback may
 * call the monitor suite, and may register or deregister listeners, itself included; such
 * changes take effect from the next event. What a callback returns is not read. A callback
 * must not throw: Brevant catches and logs what a C++ callback throws and calls the next
 * listener, but the client's own state is then whatever the throw left.
 *
 * Order, for each session the host starts: JobBegin; then per rendered item JobItemStart, one
 * JobItemUpdate per finished frame, JobItemEnd; JobItemLog whenever the host logs; JobEnd. An
 * item that is stopped or fails still gets its JobItemEnd (status 2 or 3). */
#ifndef BREVANT_LISTENER_H
#define BREVANT_LISTENER_H

#include <brevant/host.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Passed by pointer as every callback's first argument; Brevant's, valid only during that
 * call. */
typedef struct ListenerBasicData {
    const HostBasicSuite* basicSuite;  /* the host's basic suite, to acquire suites with */
    int32_t pluginId;                  /* the listener's plug-in id, as registered */
    uint32_t unused;                   /* not written */
    uint64_t refcon;                   /* the listener's refcon, as registered */
} ListenerBasicData;
BREVANT_STATIC_ASSERT(sizeof(ListenerBasicData) == 24, "ListenerBasicData is 24 bytes");
BREVANT_STATIC_ASSERT(offsetof(ListenerBasicData, basicSuite) == 0, "basicSuite at 0");
BREVANT_STATIC_ASSERT(offsetof(ListenerBasicData, pluginId) == 8, "pluginId at 8");
BREVANT_STATIC_ASSERT(offsetof(ListenerBasicData, refcon) == 16, "refcon at 16");

/* Session ids name the session for monitor-suite calls. Item ids are queue position + 1,
 * sign-extended from 32 bits; frame ids are the host's (the stand-in host counts from 1). */
typedef HostErr (*ListenerJobBeginFunc)(const ListenerBasicData* data, int64_t session_id);
typedef HostErr (*ListenerJobEndFunc)(const ListenerBasicData* data, int64_t session_id);
typedef HostErr (*ListenerJobItemStartFunc)(const ListenerBasicData* data, int64_t session_id,
                                            int64_t item_id);
/* A frame is done. Only inside this callback do the frame's properties, the output files'
 * properties and the frame's thumbnail exist. */
typedef HostErr (*ListenerJobItemUpdateFunc)(const ListenerBasicData* data, int64_t session_id,
                                             int64_t item_id, int64_t frame_id);
/* `status`: kListenerStatusDone, kListenerStatusStopped or kListenerStatusFailed. */
typedef HostErr (*ListenerJobItemEndFunc)(const ListenerBasicData* data, int64_t session_id,
                                          int64_t item_id, int32_t status);
/* `flag` is 1 for the host's message types 1, 2, 4, 8 and 16, else 0. `*message` holds UTF-16
 * text and a zero code unit. It is lent: it stays Brevant's, so read it during the callback
 * and never keep or free it (MemSize gives its byte count). */
typedef HostErr (*ListenerJobItemLogFunc)(const ListenerBasicData* data, int64_t session_id,
                                          int64_t item_id, uint8_t flag,
                                          const HostMemoryHandle* message);

/* Copied by value at registration: the client's table may go away afterwards. A null slot
 * means the listener does not want that event. */
typedef struct ListenerCallbacks {
    ListenerJobBeginFunc JobBegin;
    ListenerJobEndFunc JobEnd;
    ListenerJobItemStartFunc JobItemStart;
    ListenerJobItemUpdateFunc JobItemUpdate;
    ListenerJobItemEndFunc JobItemEnd;
    ListenerJobItemLogFunc JobItemLog;
} ListenerCallbacks;
BREVANT_STATIC_ASSERT(sizeof(ListenerCallbacks) == 48, "ListenerCallbacks is six 64-bit pointers");
BREVANT_STATIC_ASSERT(offsetof(ListenerCallbacks, JobBegin) == 0, "JobBegin at 0");
BREVANT_STATIC_ASSERT(offsetof(ListenerCallbacks, JobEnd) == 8, "JobEnd at 8");
BREVANT_STATIC_ASSERT(offsetof(ListenerCallbacks, JobItemStart) == 16, "JobItemStart at 16");
BREVANT_STATIC_ASSERT(offsetof(ListenerCallbacks, JobItemUpdate) == 24, "JobItemUpdate at 24");
BREVANT_STATIC_ASSERT(offsetof(ListenerCallbacks, JobItemEnd) == 32, "JobItemEnd at 32");
BREVANT_STATIC_ASSERT(offsetof(ListenerCallbacks, JobItemLog) == 40, "JobItemLog at 40");

/* The status given to JobItemEnd. */
BREVANT_INT_CONSTANT(int32_t, kListenerStatusDone, 1)     /* every frame rendered */
BREVANT_INT_CONSTANT(int32_t, kListenerStatusStopped, 2)  /* stopped by the user */
BREVANT_INT_CONSTANT(int32_t, kListenerStatusFailed, 3)   /* anything else */

#ifdef __cplusplus
}  /* extern "C" */
#endif

#endif /* BREVANT_LISTENER_H */

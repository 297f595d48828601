/* "KOVA Brevant Suite" 1: the monitor suite that client plug-ins acquire through the host's
 * basic suite, once Brevant has started. Plain C11 and C++17.
 *
 * Threads: every operation is [main-thread]; a call from another thread is logged as a
 * contract violation and then served. Call them from inside your listener callbacks.
 *
 * Ids: a session id names the session that the host started last, only while the host holds
 * it. Item ids are 64-bit; only their low 32 bits are used. Indices count from 0. A list is
 * counted first and then read by index: the counting operation is what gathers the list.
 *
 * Ownership: strings come back as HostMemoryHandle holding UTF-16 text and a zero code unit,
 * thumbnails as a handle holding JPEG bytes (MemSize gives the byte count). Every handle handed
 * out belongs to the caller, who frees it with the memory suite's MemFree. A pair operation
 * writes the key before it converts the value: when the value's conversion fails the key handle
 * may already be yours. Start both handles null and free whichever is non-null afterwards.
 *
 * Results: kBrevantErrNone on success, with every out-parameter written. Otherwise nothing is
 * written (except the key of a pair, above, and a thumbnail's width and height, which stay
 * written when its handle cannot be made) and the result is kBrevantErrNotRunning
 * (Brevant_RegisterListener only: Brevant is not running, or null callbacks), kBrevantErrRejected
 * for any other refusal (Brevant not running, no such session, item, frame or index, a null
 * pointer, a list that does not exist at this moment), the memory suite's code of a failed
 * conversion (kHostErrOutOfMemory, ...), kBrevantErrSuiteMissing when Brevant lacked a host suite,
 * or another non-zero code for a failure inside Brevant. No operation throws. */
#ifndef BREVANT_MONITOR_H
#define BREVANT_MONITOR_H

#include <brevant/host.h>
#include <brevant/listener.h>

#ifdef __cplusplus
extern "C" {
#endif

BREVANT_TEXT_CONSTANT(kBrevantMonitorSuite, "KOVA Brevant Suite")
BREVANT_INT_CONSTANT(int32_t, kBrevantMonitorSuiteVersion, 1)

BREVANT_INT_CONSTANT(HostErr, kBrevantErrNone, 0)
BREVANT_INT_CONSTANT(HostErr, kBrevantErrNotRunning, 1)
BREVANT_INT_CONSTANT(HostErr, kBrevantErrRejected, 3)
/* A host suite that Brevant needed could not be acquired. */
BREVANT_INT_CONSTANT(HostErr, kBrevantErrSuiteMissing, 0x42560001)
/* Something other than an integer or a standard exception was thrown inside Brevant. */
BREVANT_INT_CONSTANT(HostErr, kBrevantErrUnknownException, 0x42560002)

typedef struct BrevantMonitorSuite1 {
    /* 0. Registers the listener (plugin_id, refcon), or replaces the callbacks of that known
     * key; the table is copied. Deregister it in your death hook. Results: 0;
     * kBrevantErrNotRunning. */
    HostErr (*Brevant_RegisterListener)(int32_t plugin_id, uint64_t refcon,
                                        const ListenerCallbacks* callbacks);
    /* 1. Removes the listener (plugin_id, refcon). Results: 0; kBrevantErrRejected when unknown
     * or when Brevant was shut down first (the listener is gone already). */
    HostErr (*Brevant_DeregisterListener)(int32_t plugin_id, uint64_t refcon);

    /* 2, 3. The project's name; the host's version text. */
    HostErr (*Brevant_GetProjectName)(int64_t session_id, HostMemoryHandle* out_name);
    HostErr (*Brevant_GetAppVersion)(int64_t session_id, HostMemoryHandle* out_version);

    /* 4, 5. The job's items in order of description; item ids are queue position + 1. */
    HostErr (*Brevant_GetNumJobItems)(int64_t session_id, int32_t* out_count);
    HostErr (*Brevant_GetJobItemID)(int64_t session_id, int32_t item_index, int64_t* out_item_id);

    /* 6, 7. An item's render settings: "CompName", "Comment", "TemplateName", then the
     * settings as the host lists them. */
    HostErr (*Brevant_GetNumJobItemRenderSettings)(int64_t session_id, int64_t item_id,
                                                   int32_t* out_count);
    HostErr (*Brevant_GetJobItemRenderSetting)(int64_t session_id, int64_t item_id,
                                               int32_t setting_index, HostMemoryHandle* out_key,
                                               HostMemoryHandle* out_value);

    /* 8 to 12. An item's output modules, their settings and warnings. A module's settings
     * start with "OutputModuleIndex", "TemplateName" and "OutputTo"; keys that only some
     * modules have shift the positions after them, so find a setting by its key. */
    HostErr (*Brevant_GetNumJobItemOutputModules)(int64_t session_id, int64_t item_id,
                                                  int32_t* out_count);
    HostErr (*Brevant_GetNumJobItemOutputModuleSettings)(int64_t session_id, int64_t item_id,
                                                         int32_t module_index, int32_t* out_count);
    HostErr (*Brevant_GetJobItemOutputModuleSetting)(int64_t session_id, int64_t item_id,
                                                     int32_t module_index, int32_t setting_index,
                                                     HostMemoryHandle* out_key,
                                                     HostMemoryHandle* out_value);
    HostErr (*Brevant_GetNumJobItemOutputModuleWarnings)(int64_t session_id, int64_t item_id,
                                                         int32_t module_index, int32_t* out_count);
    HostErr (*Brevant_GetJobItemOutputModuleWarning)(int64_t session_id, int64_t item_id,
                                                     int32_t module_index, int32_t warning_index,
                                                     HostMemoryHandle* out_text);

    /* 13, 14. The frame just reported: "ElapsedTime", "FramesTotal", then "RemainingTime" (ms)
     * when the host knows it, so not on the last frame. Call 13 first, inside the JobItemUpdate
     * callback of that frame. For the current item and frame outside that callback it answers
     * 0 with a count of 0; for any other item or frame it answers kBrevantErrRejected. Inside
     * JobItemStart and from JobItemEnd on the current frame is -1, so every real frame id is
     * rejected there. */
    HostErr (*Brevant_GetNumJobItemFrameProperties)(int64_t session_id, int64_t item_id,
                                                    int64_t frame_id, int32_t* out_count);
    HostErr (*Brevant_GetJobItemFrameProperty)(int64_t session_id, int64_t item_id,
                                               int64_t frame_id, int32_t property_index,
                                               HostMemoryHandle* out_key,
                                               HostMemoryHandle* out_value);

    /* 15, 16. An output module's file: "OutputTo", "Disk", "FileSize", "EstFinalSize",
     * "DiskSpace" (sizes in bytes). "EstFinalSize" is the host's coarse figure: the file size
     * times the whole quotient of frames total over frame id. Call 15 first, inside a
     * JobItemUpdate callback. For the current item outside that callback it answers 0 with a
     * count of 0; for any other item, and once the item's JobItemEnd returned, it answers
     * kBrevantErrRejected. A failure of the host's file queries is returned as its code. */
    HostErr (*Brevant_GetNumJobItemOutputModuleProperties)(int64_t session_id, int64_t item_id,
                                                           int32_t module_index,
                                                           int32_t* out_count);
    HostErr (*Brevant_GetJobItemOutputModuleProperty)(int64_t session_id, int64_t item_id,
                                                      int32_t module_index, int32_t property_index,
                                                      HostMemoryHandle* out_key,
                                                      HostMemoryHandle* out_value);

    /* 17. A JPEG of the frame just reported, inside its JobItemUpdate callback. Width and height
     * hold the limits on entry (both above 0, else kBrevantErrRejected) and the image's size on
     * success, also when the handle then cannot be made. A composition with non-square pixels
     * is first widened by its pixel aspect ratio; then the limit along the longer side decides
     * and the picture is never enlarged. The JPEG's byte count is the handle's MemSize. */
    HostErr (*Brevant_GetJobItemFrameThumbnail)(int64_t session_id, int64_t item_id,
                                                int64_t frame_id, int32_t* in_out_width,
                                                int32_t* in_out_height, HostMemoryHandle* out_jpeg);
} BrevantMonitorSuite1;
BREVANT_STATIC_ASSERT(sizeof(BrevantMonitorSuite1) == 18 * sizeof(void*), "18 operations");
BREVANT_STATIC_ASSERT(offsetof(BrevantMonitorSuite1, Brevant_GetNumJobItemFrameProperties) ==
                          13 * sizeof(void*),
                      "frame properties in slot 13");
BREVANT_STATIC_ASSERT(offsetof(BrevantMonitorSuite1, Brevant_GetJobItemFrameThumbnail) ==
                          17 * sizeof(void*),
                      "thumbnail in slot 17");

#ifdef __cplusplus
}  /* extern "C" */
#endif

#endif /* BREVANT_MONITOR_H */

/* "KOVA Brevant Suite" 1: the monitor suite that client plug-ins acquire through the host's
 * basic suite, once Brevant has started. Plain C11 and C++17.
 *
 * Threads: every operation is [main-thread]: call them from inside your listener callbacks.
 * A call from another thread is logged as a contract violation and then served.
 *
 * Ids: a session id names the session that the host started last, only while the host holds
 * it. Item ids are 64-bit; only their low 32 bits are used. Indices count from 0. A list is
 * counted first and then read by index: the counting operation is what gathers the list, and
 * a read names an entry of the list gathered last.
 *
 * Handles: strings come back as a HostMemoryHandle holding UTF-16 text and a zero code unit,
 * thumbnails as a handle holding JPEG bytes (MemSize gives the byte count). Every handle handed
 * out is given to the caller for good: free it with the memory suite's MemFree. A pair operation
 * writes the key before it converts the value: when the value's conversion fails the key handle
 * may already be yours. Start both handles null and free whichever is non-null afterwards.
 * Nothing the caller passes is kept: pointers are read or written during the call only.
 *
 * Results: kBrevantErrNone on success, with every out-parameter written; otherwise nothing is
 * written (the exceptions are noted at their operation). Every operation but the registry's
 * answers kBrevantErrRejected when Brevant is not running, the session id is not the current
 * session's or an out-pointer is null ("the usual refusals" below); kBrevantErrSuiteMissing
 * when Brevant lacked a host suite; kBrevantErrUnknownException or another non-zero code for a
 * failure inside Brevant. Operations that hand out a handle also answer the memory suite's code
 * when the handle cannot be made (kHostErrOutOfMemory, ...). No operation throws. */
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
    /* 0. [main-thread] Registers the listener (plugin_id, refcon), or replaces the callbacks of
     * that known key. `callbacks` is copied during the call: your table may go away afterwards.
     * Deregister it in your death hook. Results: 0; kBrevantErrNotRunning when Brevant is not
     * running or `callbacks` is null. */
    HostErr (*Brevant_RegisterListener)(int32_t plugin_id, uint64_t refcon,
                                        const ListenerCallbacks* callbacks);
    /* 1. [main-thread] Removes the listener (plugin_id, refcon); from inside a callback, from
     * the next event on (<brevant/listener.h>). Results: 0; kBrevantErrRejected when the key is
     * unknown or Brevant was shut down first (the listener is gone already). */
    HostErr (*Brevant_DeregisterListener)(int32_t plugin_id, uint64_t refcon);

    /* 2. [main-thread] The project's name, as the host described the job. `*out_name` is given to you (free it). Results: 0; the usual refusals; the memory suite's
     * code. */
    HostErr (*Brevant_GetProjectName)(int64_t session_id, HostMemoryHandle* out_name);
    /* 3. [main-thread] The host's version text. `*out_version` is given to you (free it).
     * Results: 0; the usual refusals; the memory suite's code. */
    HostErr (*Brevant_GetAppVersion)(int64_t session_id, HostMemoryHandle* out_version);

    /* 4. [main-thread] How many items the job has, in order of description. Results: 0; the
     * usual refusals. */
    HostErr (*Brevant_GetNumJobItems)(int64_t session_id, int32_t* out_count);
    /* 5. [main-thread] The id of item `item_index`: its queue position + 1. Results: 0; the usual
     * refusals; kBrevantErrRejected for an index outside the items. */
    HostErr (*Brevant_GetJobItemID)(int64_t session_id, int32_t item_index, int64_t* out_item_id);

    /* 6. [main-thread] Gathers an item's render settings and counts them: "CompName",
     * "Comment", "TemplateName", then the settings as the host lists them. Results: 0; the usual
     * refusals; kBrevantErrRejected for an unknown item. */
    HostErr (*Brevant_GetNumJobItemRenderSettings)(int64_t session_id, int64_t item_id,
                                                   int32_t* out_count);
    /* 7. [main-thread] Render setting `setting_index` of the list gathered by 6 for this item.
     * Both handles are given to you (free them; the key may be yours also on failure, see
     * above). Results: 0; the usual refusals; kBrevantErrRejected for an index outside the list
     * or no list gathered; the memory suite's code. */
    HostErr (*Brevant_GetJobItemRenderSetting)(int64_t session_id, int64_t item_id,
                                               int32_t setting_index, HostMemoryHandle* out_key,
                                               HostMemoryHandle* out_value);

    /* 8. [main-thread] How many output modules an item has. Results: 0; the usual refusals;
     * kBrevantErrRejected for an unknown item. */
    HostErr (*Brevant_GetNumJobItemOutputModules)(int64_t session_id, int64_t item_id,
                                                  int32_t* out_count);
    /* 9. [main-thread] Gathers a module's settings and counts them. They start with
     * "OutputModuleIndex", "TemplateName" and "OutputTo"; keys that only some modules have shift
     * the positions after them, so find a setting by its key. Results: 0; the usual refusals;
     * kBrevantErrRejected for an unknown item or module. */
    HostErr (*Brevant_GetNumJobItemOutputModuleSettings)(int64_t session_id, int64_t item_id,
                                                         int32_t module_index, int32_t* out_count);
    /* 10. [main-thread] Setting `setting_index` of the list gathered by 9 for this module. Both
     * handles are given to you, as for 7. Results: as 7. */
    HostErr (*Brevant_GetJobItemOutputModuleSetting)(int64_t session_id, int64_t item_id,
                                                     int32_t module_index, int32_t setting_index,
                                                     HostMemoryHandle* out_key,
                                                     HostMemoryHandle* out_value);
    /* 11. [main-thread] Gathers a module's warnings (size or frame rate that differ from the
     * composition's) and counts them. Results: as 9. */
    HostErr (*Brevant_GetNumJobItemOutputModuleWarnings)(int64_t session_id, int64_t item_id,
                                                         int32_t module_index, int32_t* out_count);
    /* 12. [main-thread] Warning `warning_index` of the list gathered by 11. `*out_text` is given
     * to you (free it). Results: 0; the usual refusals; kBrevantErrRejected for an index outside
     * the list; the memory suite's code. */
    HostErr (*Brevant_GetJobItemOutputModuleWarning)(int64_t session_id, int64_t item_id,
                                                     int32_t module_index, int32_t warning_index,
                                                     HostMemoryHandle* out_text);

    /* 13. [main-thread] Gathers the properties of the frame just reported and counts them:
     * "ElapsedTime", "FramesTotal", then "RemainingTime" (ms) when the host knows it, so not on
     * the last frame. Call it inside the JobItemUpdate callback of that frame: the host lends
     * the frame's record for that callback only. Results: 0; 0 with a count of 0 for the current
     * item and frame outside that callback; the usual refusals; kBrevantErrRejected for any
     * other item or frame (inside JobItemStart and from JobItemEnd on, every frame id). */
    HostErr (*Brevant_GetNumJobItemFrameProperties)(int64_t session_id, int64_t item_id,
                                                    int64_t frame_id, int32_t* out_count);
    /* 14. [main-thread] Property `property_index` of the list gathered by 13. Both handles are
     * given to you, as for 7. Results: as 7. */
    HostErr (*Brevant_GetJobItemFrameProperty)(int64_t session_id, int64_t item_id,
                                               int64_t frame_id, int32_t property_index,
                                               HostMemoryHandle* out_key,
                                               HostMemoryHandle* out_value);

    /* 15. [main-thread] Gathers the properties of a module's file and counts them: "OutputTo",
     * "Disk", "FileSize", "EstFinalSize", "DiskSpace" (sizes in bytes). "EstFinalSize" is the
     * host's coarse figure, the file size times the whole quotient of frames total over frame
     * id; brevant_client::ProjectOutputSizes projects a better one. Call it inside a
     * JobItemUpdate callback. Results: 0; 0 with a count of 0 for the current item outside that
     * callback; the usual refusals; kBrevantErrRejected for any other item, an unknown module,
     * and once the item's JobItemEnd returned; a failing host file query's own code. */
    HostErr (*Brevant_GetNumJobItemOutputModuleProperties)(int64_t session_id, int64_t item_id,
                                                           int32_t module_index,
                                                           int32_t* out_count);
    /* 16. [main-thread] Property `property_index` of the list gathered by 15. Both handles are
     * given to you, as for 7. Results: as 7. */
    HostErr (*Brevant_GetJobItemOutputModuleProperty)(int64_t session_id, int64_t item_id,
                                                      int32_t module_index, int32_t property_index,
                                                      HostMemoryHandle* out_key,
                                                      HostMemoryHandle* out_value);

    /* 17. [main-thread] A JPEG of the frame just reported, inside its JobItemUpdate callback
     * (the host lends the picture for that callback only). Width and height hold the limits on
     * entry and the image's size on success, and stay written when only the handle cannot be
     * made. A composition with non-square pixels is first widened by its pixel aspect ratio;
     * then the limit along the longer side decides and the picture is never enlarged.
     * `*out_jpeg` is given to you (free it); its MemSize is the JPEG's byte count. Results: 0;
     * the usual refusals; kBrevantErrRejected for a limit of 0 or less, another item or frame,
     * a frame without a picture, or one the host could not scale or compress; the memory
     * suite's code. */
    HostErr (*Brevant_GetJobItemFrameThumbnail)(int64_t session_id, int64_t item_id,
                                                int64_t frame_id, int32_t* in_out_width,
                                                int32_t* in_out_height, HostMemoryHandle* out_jpeg);
} BrevantMonitorSuite1;
BREVANT_STATIC_ASSERT(sizeof(BrevantMonitorSuite1) == 18 * sizeof(void*), "18 operations");
#define BREVANT_MONITOR_SLOT(name, slot)                                                        \
    BREVANT_STATIC_ASSERT(offsetof(BrevantMonitorSuite1, name) == (slot) * sizeof(void*), #name)
BREVANT_MONITOR_SLOT(Brevant_RegisterListener, 0);
BREVANT_MONITOR_SLOT(Brevant_DeregisterListener, 1);
BREVANT_MONITOR_SLOT(Brevant_GetProjectName, 2);
BREVANT_MONITOR_SLOT(Brevant_GetAppVersion, 3);
BREVANT_MONITOR_SLOT(Brevant_GetNumJobItems, 4);
BREVANT_MONITOR_SLOT(Brevant_GetJobItemID, 5);
BREVANT_MONITOR_SLOT(Brevant_GetNumJobItemRenderSettings, 6);
BREVANT_MONITOR_SLOT(Brevant_GetJobItemRenderSetting, 7);
BREVANT_MONITOR_SLOT(Brevant_GetNumJobItemOutputModules, 8);
BREVANT_MONITOR_SLOT(Brevant_GetNumJobItemOutputModuleSettings, 9);
BREVANT_MONITOR_SLOT(Brevant_GetJobItemOutputModuleSetting, 10);
BREVANT_MONITOR_SLOT(Brevant_GetNumJobItemOutputModuleWarnings, 11);
BREVANT_MONITOR_SLOT(Brevant_GetJobItemOutputModuleWarning, 12);
BREVANT_MONITOR_SLOT(Brevant_GetNumJobItemFrameProperties, 13);
BREVANT_MONITOR_SLOT(Brevant_GetJobItemFrameProperty, 14);
BREVANT_MONITOR_SLOT(Brevant_GetNumJobItemOutputModuleProperties, 15);
BREVANT_MONITOR_SLOT(Brevant_GetJobItemOutputModuleProperty, 16);
BREVANT_MONITOR_SLOT(Brevant_GetJobItemFrameThumbnail, 17);
#undef BREVANT_MONITOR_SLOT

#ifdef __cplusplus
}  /* extern "C" */
#endif

#endif /* BREVANT_MONITOR_H */

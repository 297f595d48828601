// "KOVA Brevant Suite" 1: the monitor suite that client plug-ins acquire from the host.
//
// Every operation is [main-thread]: a call from another thread is logged as a contract
// violation and then served. Session ids name the session that the host started last, only
// while the host holds it. Item ids are 64-bit; only their low 32 bits are used. Indices count
// from 0. Strings come back as HostMemoryHandle that belong to the caller (free them with the
// memory suite); a key handle delivered before its value's conversion failed is the caller's
// too. On any non-zero result the out-parameters are left as they were.
//
// Results: kBrevantErrNone on success; kBrevantErrNotRunning (RegisterListener only) when
// Brevant is not running; kBrevantErrRejected for any other refusal (not running, no such
// session, item, frame or index, a null pointer); otherwise the memory suite's code of a failed
// conversion, or one of the codes below for a failure inside Brevant.
#pragma once

#include <cstdint>

#include "listeners/BrevantListener.h"
#include "plugin/HostInterface.h"

constexpr const char* kBrevantMonitorSuite = "KOVA Brevant Suite";
constexpr int32_t kBrevantMonitorSuiteVersion = 1;

constexpr HostErr kBrevantErrNone = 0;
constexpr HostErr kBrevantErrNotRunning = 1;
constexpr HostErr kBrevantErrRejected = 3;
// A host suite that Brevant needed could not be acquired.
constexpr HostErr kBrevantErrSuiteMissing = 0x42560001;
// Something other than an integer or a standard exception was thrown inside Brevant.
constexpr HostErr kBrevantErrUnknownException = 0x42560002;

extern "C" {

struct BrevantMonitorSuite1 {
    // 0. Registers (or, for a known key, replaces) a listener; the table is copied.
    HostErr (*Brevant_RegisterListener)(int32_t plugin_id, uint64_t refcon,
                                        const ListenerCallbacks* callbacks);
    // 1. Removes the listener (plugin_id, refcon); kBrevantErrRejected when unknown.
    HostErr (*Brevant_DeregisterListener)(int32_t plugin_id, uint64_t refcon);
    // 2, 3. The project's name and the host's version text.
    HostErr (*Brevant_GetProjectName)(int64_t session_id, HostMemoryHandle* out_name);
    HostErr (*Brevant_GetAppVersion)(int64_t session_id, HostMemoryHandle* out_version);
    // 4, 5. The job's items in order of description; item ids are queue position + 1.
    HostErr (*Brevant_GetNumJobItems)(int64_t session_id, int32_t* out_count);
    HostErr (*Brevant_GetJobItemID)(int64_t session_id, int32_t item_index, int64_t* out_item_id);
    // 6, 7. An item's render settings: "CompName", "Comment", "TemplateName", then the settings.
    HostErr (*Brevant_GetNumJobItemRenderSettings)(int64_t session_id, int64_t item_id,
                                                   int32_t* out_count);
    HostErr (*Brevant_GetJobItemRenderSetting)(int64_t session_id, int64_t item_id,
                                               int32_t setting_index, HostMemoryHandle* out_key,
                                               HostMemoryHandle* out_value);
    // 8 to 12. An item's output modules, their settings and warnings.
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
    // 13, 14. The frame just reported: "ElapsedTime", "FramesTotal", "RemainingTime". Call 13
    // first, inside the JobItemUpdate callback of that frame; elsewhere it counts 0.
    HostErr (*Brevant_GetNumJobItemFrameProperties)(int64_t session_id, int64_t item_id,
                                                    int64_t frame_id, int32_t* out_count);
    HostErr (*Brevant_GetJobItemFrameProperty)(int64_t session_id, int64_t item_id,
                                               int64_t frame_id, int32_t property_index,
                                               HostMemoryHandle* out_key,
                                               HostMemoryHandle* out_value);
    // 15, 16. An output module's file: "OutputTo", "Disk", "FileSize", "EstFinalSize",
    // "DiskSpace". Call 15 first, inside the JobItemUpdate callback; elsewhere it counts 0.
    HostErr (*Brevant_GetNumJobItemOutputModuleProperties)(int64_t session_id, int64_t item_id,
                                                           int32_t module_index,
                                                           int32_t* out_count);
    HostErr (*Brevant_GetJobItemOutputModuleProperty)(int64_t session_id, int64_t item_id,
                                                      int32_t module_index, int32_t property_index,
                                                      HostMemoryHandle* out_key,
                                                      HostMemoryHandle* out_value);
    // 17. A JPEG of the frame just reported, inside its JobItemUpdate callback. Width and height
    // hold the limits on entry (both above 0) and the image's size on success; the limit along
    // the frame's longer side decides and frames are never enlarged.
    HostErr (*Brevant_GetJobItemFrameThumbnail)(int64_t session_id, int64_t item_id,
                                                int64_t frame_id, int32_t* in_out_width,
                                                int32_t* in_out_height, HostMemoryHandle* out_jpeg);
};
static_assert(sizeof(BrevantMonitorSuite1) == 18 * sizeof(void*), "18 operations");

}  // extern "C"

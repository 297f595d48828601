// What Brevant asks of the host application: the public suites of <brevant/host.h>, records,
// plain calls.
//
// On the real platform the host application provides everything declared here; in this
// repository the stand-in host library (libbrevant_host) does. Plug-ins, the stand-in host and
// the tests are built with one toolchain, so C++ types (HostString, the shared pointer of a
// session) may cross this boundary.
//
// Threads: "[main-thread]" means the host's main thread, the one that called the plug-in's
// entry point; "[any-thread]" means any thread. Records are borrowed: a pointer to a host record
// is valid only during the call that lends it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

// The suites, result codes, memory handles and entry-point signature that the plug-in shares
// with its clients are the SDK's; what follows is the plug-in's own view of the host.
#include <brevant/host.h>

// The host's UTF-16 string.
using HostString = std::u16string;

// ---- Records --------------------------------------------------------------------------------
// Opaque to the plug-in unless a layout is given here.

struct HostRenderQueue;
struct HostRenderItem;
struct HostRenderSettings;
struct HostComposition;
struct HostOutputModule;
struct HostOutputSpec;
struct HostModuleInfo;
struct HostFileSpec;

struct HostRect {
    int16_t top, left, bottom, right;
};
static_assert(sizeof(HostRect) == 8, "HostRect is four 16-bit fields");

// A project item. Type 4 is a composition, whose record is a HostCompItem.
constexpr int16_t kHostItemTypeComposition = 4;
struct HostItem {
    int16_t type;
};
struct HostRatio {
    int32_t num;
    uint32_t den;
};
struct HostCompItem {
    HostItem item;
    HostRatio pixelAspectRatio;
    HostComposition* composition;
};
static_assert(offsetof(HostCompItem, item) == 0, "a HostCompItem is viewed through its HostItem");

// A frame buffer: 8-bit ARGB pixels, rowBytes apart.
struct HostWorld {
    int32_t width;
    int32_t height;
    int64_t rowBytes;
    uint8_t* pixels;
};
static_assert(offsetof(HostWorld, width) == 0 && offsetof(HostWorld, height) == 4,
              "HostWorld width and height are read by offset");

// The record that the host passes with every frame update.
struct HostFrameUpdate {
    int64_t reserved0;        // 0
    HostItem* item;           // 8: item being rendered
    int64_t reserved16[3];    // 16
    int32_t framesTotal;      // 40
    int32_t reserved44[3];    // 44
    HostWorld* frameBuffer;   // 56: rendered frame
    int64_t reserved64[2];    // 64
    int32_t frameId;          // 80
    int32_t reserved84[4];    // 84
    int32_t elapsedTime;      // 100
    int32_t reserved104;      // 104
    int32_t updateStatus;     // 108: 3 when a frame is done
};
static_assert(offsetof(HostFrameUpdate, item) == 8, "HostFrameUpdate.item at 8");
static_assert(offsetof(HostFrameUpdate, framesTotal) == 40, "HostFrameUpdate.framesTotal at 40");
static_assert(offsetof(HostFrameUpdate, frameBuffer) == 56, "HostFrameUpdate.frameBuffer at 56");
static_assert(offsetof(HostFrameUpdate, frameId) == 80, "HostFrameUpdate.frameId at 80");
static_assert(offsetof(HostFrameUpdate, elapsedTime) == 100, "HostFrameUpdate.elapsedTime at 100");
static_assert(offsetof(HostFrameUpdate, updateStatus) == 108, "HostFrameUpdate.updateStatus at 108");
static_assert(sizeof(HostFrameUpdate) == 112, "HostFrameUpdate is 112 bytes");
constexpr int32_t kHostUpdateStatusFrameDone = 3;

// Three texts describing a module's output; the first is the one shown to users.
struct HostOutputVerbiage {
    HostString type;
    HostString subType;
    HostString details;
};

// The exporter's constrained state for an item and module, filled by the host.
struct HostExporterInfo {
    int32_t width = 0;
    int32_t height = 0;
    double frameRate = 0.0;
    bool constrained = false;
};

// A video frame, created empty by the caller, filled by HostConvertWorldToVideoFrame.
struct HostVideoFrame {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> rgb;  // 8-bit RGB, width * 3 bytes per row
};

// A file, named by path; storage kind 0 is the local file system.
struct HostFile {
    HostFile(const HostString& path, int32_t storageKind) : path(path), storageKind(storageKind) {}
    HostString path;
    int32_t storageKind;
};

struct HostRenderItemList {
    HostRenderItem* const* items;
    uint64_t count;
};
struct HostOutputModuleList {
    HostOutputModule* const* modules;
    uint64_t count;
};

// ---- Plain host calls -----------------------------------------------------------------------
// Exported by the host. Unless noted, they report no error. Calls that take record pointers
// accept null and answer as for an empty record.

#if defined(_WIN32) && defined(BREVANT_HOST_BUILD)
#define HOST_API __declspec(dllexport)  // building the stand-in host's DLL
#elif defined(_WIN32)
#define HOST_API __declspec(dllimport)
#else
#define HOST_API __attribute__((visibility("default")))
#endif

// Logging. [any-thread]
HOST_API void HostLog(int32_t level, const char* tag, const char* function, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
HOST_API bool HostIsOnMainThread();

// Strings. [any-thread]
HOST_API HostString HostMultiByteToUtf16(const char* text);
HOST_API HostString HostAsciiToUtf16(const char* text, size_t length);
// Turns a caught standard exception into a host error code (never 0 for a real failure).
HOST_API HostErr HostReportException(const std::exception& error);

// Version. [main-thread]
HOST_API int32_t HostAppVersion(int32_t selector);
// Writes the version as NUL-terminated ASCII into a 64-byte buffer.
HOST_API HostErr HostVersionString(int32_t packed_version, bool long_form, char buffer[64]);

// Render queue. [main-thread]
HOST_API HostRenderItemList HostRenderQueueItems(const HostRenderQueue* queue);
HOST_API HostRenderItem* HostRenderItemAt(HostRenderItemList items, int32_t index);
// Remaining render time, 0 or less when unknown.
HOST_API int32_t HostRemainingTime(const HostRenderQueue* queue, const HostFrameUpdate* update);

// Render items. [main-thread]
HOST_API HostItem* HostRenderItemProjectItem(const HostRenderItem* item);
HOST_API int32_t HostRenderItemStatus(const HostRenderItem* item);
HOST_API HostRenderSettings* HostRenderItemSettings(const HostRenderItem* item);
HOST_API const HostString& HostRenderItemTemplateName(const HostRenderItem* item);
HOST_API HostString HostRenderItemComment(const HostRenderItem* item);
HOST_API HostComposition* HostItemComposition(const HostItem* item, uint8_t flag);
HOST_API HostString HostCompositionName(const HostComposition* composition);
HOST_API void HostRenderSettingLabels(bool flag, uint32_t index, HostRect rect,
                                      const HostRenderSettings* settings, int16_t* out_a,
                                      int16_t* out_b, HostString& out_label, HostString& out_value);
HOST_API int16_t HostItemType(const HostItem* item);

// Output modules. [main-thread]
HOST_API HostOutputModuleList HostRenderItemOutputModules(const HostRenderItem* item);
HOST_API HostString HostOutputModuleSettingName(const HostOutputModule* module);
HOST_API bool HostOutputModuleIsFileBased(const HostOutputModule* module);
HOST_API bool HostOutputModuleHasFilePath(const HostOutputModule* module);
// Resolves the module's path template ([projectName], [compName], [####] ...) in place.
HOST_API void HostFlattenOutputModuleFilePath(const HostRenderItem* item, HostOutputModule* module);
HOST_API void HostOutputModuleFilePath(const HostOutputModule* module, HostString& out_path);
HOST_API HostOutputSpec* HostOutputModuleOutputSpec(const HostOutputModule* module);
HOST_API int32_t HostOutputModulePostRenderAction(const HostOutputModule* module);
HOST_API void HostOutputModuleLabels(uint32_t index, HostRect rect, const HostRenderItem* item,
                                     const HostOutputModule* module, HostString& out_label,
                                     HostString& out_value);
HOST_API HostErr HostOutputInfoQuery(const HostOutputSpec* spec, void* reserved,
                                     HostOutputVerbiage& out_verbiage);
HOST_API int32_t HostOutputSpecExporterId(const HostOutputSpec* spec);
HOST_API uint32_t HostOutputSpecFlags(const HostOutputSpec* spec);
// On 0 the module info is written; release it with HostModuleInfoRelease.
HOST_API HostErr HostModuleInfoQuery(int32_t reserved, int32_t exporter_id, HostModuleInfo** out_info);
HOST_API uint32_t HostModuleInfoFlags(const HostModuleInfo* info);
HOST_API void HostModuleInfoRelease(HostModuleInfo* info);
HOST_API void HostConstrainedExporterInfo(const HostRenderItem* item, const HostOutputModule* module,
                                          HostExporterInfo& out_info);
HOST_API HostString HostSizeMismatchWarning(const HostRenderItem* item, const HostOutputModule* module,
                                            const HostExporterInfo& info);
HOST_API HostString HostFrameRateMismatchWarning(const HostRenderItem* item,
                                                 const HostOutputModule* module,
                                                 const HostExporterInfo& info);

// Files. [main-thread]
HOST_API HostFileSpec* HostFileSpecNew(const HostString& path);
// Selector 2 names the volume that holds the file. Writes a NUL-terminated text of at most 260
// bytes including the terminator.
HOST_API HostErr HostFileSpecName(const HostFileSpec* spec, int32_t selector, char buffer[260]);
HOST_API void HostFileSpecDispose(HostFileSpec* spec);
HOST_API HostString HostFileFullPath(const HostFile& file);
HOST_API uint64_t HostFileSize(const HostFile& file);
HOST_API uint64_t HostVolumeFreeSpace(const HostString& full_path);

// Frames. [main-thread] Both throw a standard exception when they fail.
HOST_API void HostConvertWorldToVideoFrame(const HostWorld* world, bool flag_a, bool flag_b,
                                           int32_t width, int32_t height, HostVideoFrame& out_frame);
HOST_API std::vector<uint8_t> HostCompressToJpeg(const HostVideoFrame& frame);

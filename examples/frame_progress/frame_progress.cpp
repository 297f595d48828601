// frame_progress: a complete client plug-in of Brevant. For each finished frame it prints one
// line: the item, the frame out of the total, elapsed and remaining time, and the first output
// file's size with its projected final size, and a warning for each output whose disk will not
// hold what the item still has to write. It also prints the host's log messages and how each
// item ended. Any call that fails is reported with its code, and the render goes on.
//
// Built against the installed SDK alone: see CMakeLists.txt (find_package) or Makefile
// (pkg-config), and run with
//   brevant-host run minimal.json --client ./libframe_progress.so
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include <brevant/client.hpp>

namespace {

using namespace brevant_client;

// What the death hook needs to deregister the listener. [main-thread], like every callback.
const HostBasicSuite* g_basic = nullptr;
int32_t g_pluginId = 0;
constexpr uint64_t kRefcon = 0;
// Frames of the current item seen done, for the projection (the host's frame ids need not count
// from 1).
int64_t g_item = 0;
int64_t g_framesDone = 0;

void Report(const char* what, HostErr code) {
    std::printf("frame_progress: %s failed with code %" PRId32 "\n", what, code);
}

// A number the suite wrote as decimal text, or `fallback`.
uint64_t Number(const KeyValueList& list, const char* key, uint64_t fallback) {
    uint64_t value = fallback;
    if (const std::string* text = FindValue(list, key)) ParseUnsigned(*text, &value);
    return value;
}

// The host's milliseconds as seconds, "12.345 s".
std::string Seconds(uint64_t milliseconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%" PRIu64 ".%03u s", milliseconds / 1000, static_cast<unsigned>(milliseconds % 1000));
    return text;
}

// Inside this callback, and only here, the frame's properties, the output files' properties
// and the thumbnail exist.
HostErr OnFrame(const ListenerBasicData* data, int64_t session, int64_t item, int64_t frame) {
    return CatchToClientCode([&]() -> HostErr {
        g_framesDone = item == g_item ? g_framesDone + 1 : 1;
        g_item = item;
        Monitor monitor(data->basicSuite, session);  // both suites, released on return
        if (HostErr err = monitor.error()) {
            Report("acquiring the monitor and memory suites", err);
            return err;
        }
        KeyValueList frameProperties;  // "ElapsedTime", "FramesTotal", maybe "RemainingTime"
        if (HostErr err = monitor.FrameProperties(item, frame, &frameProperties)) {
            Report("reading the frame's properties", err);
            return err;
        }
        const uint64_t total = Number(frameProperties, "FramesTotal", 0);
        std::string line = "item " + std::to_string(item) + " frame " + std::to_string(frame) + "/" +
                           std::to_string(total) + ", elapsed " + Seconds(Number(frameProperties, "ElapsedTime", 0));
        // No "RemainingTime" on the last frame, nor when the host cannot tell yet.
        if (FindValue(frameProperties, "RemainingTime") != nullptr) {
            line += ", remaining " + Seconds(Number(frameProperties, "RemainingTime", 0));
        }

        int32_t modules = 0;
        if (HostErr err = monitor.OutputModuleCount(item, &modules)) {
            Report("counting the output modules", err);
        }
        // Every output of the item, since outputs on one disk fill it together.
        std::vector<OutputSize> sizes;
        std::string firstPath = "output";
        for (int32_t m = 0; m < modules; ++m) {
            KeyValueList file;  // "OutputTo", "Disk", "FileSize", "EstFinalSize", "DiskSpace"
            if (HostErr err = monitor.OutputModuleProperties(item, m, &file)) {
                Report("reading the output file's properties", err);
                sizes.clear();
                break;
            }
            if (const std::string* path = FindValue(file, "OutputTo"); path != nullptr && m == 0) firstPath = *path;
            sizes.push_back(ReadOutputSize(file));
        }
        // The host's "EstFinalSize" is coarse (whole quotient of total over frame id); bytes so
        // far over frames done projects a better one.
        ProjectOutputSizes(sizes, g_framesDone, static_cast<int64_t>(total));
        if (!sizes.empty()) {
            line += ", " + firstPath + " " + FormatBytes(sizes[0].bytes) + " of ~" + FormatBytes(sizes[0].projectedBytes);
        }
        for (size_t m = 0; m < sizes.size(); ++m) {
            if (sizes[m].willFill) {
                line += "; output " + std::to_string(m + 1) + " will not fit in the " + FormatBytes(sizes[m].freeBytes) +
                        " free on " + sizes[m].disk;
            }
        }
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
        return kHostErrNone;
    });
}

HostErr OnItemEnd(const ListenerBasicData*, int64_t, int64_t item, int32_t status) {
    const char* how = status == kListenerStatusDone      ? "done"
                      : status == kListenerStatusStopped ? "stopped"
                                                         : "failed";
    std::printf("item %" PRId64 " %s\n", item, how);
    return kHostErrNone;
}

// The message is lent: read it now, never free it.
HostErr OnLog(const ListenerBasicData* data, int64_t, int64_t item, uint8_t, const HostMemoryHandle* message) {
    return CatchToClientCode([&]() -> HostErr {
        std::string text;
        if (HostErr err = ReadLogMessage(data, message, &text)) {
            Report("reading a log message", err);
            return err;
        }
        std::printf("item %" PRId64 " log: %s\n", item, text.c_str());
        return kHostErrNone;
    });
}

HostErr OnShutdown(void*, void*) { return DeregisterClient(g_basic, g_pluginId, kRefcon); }

}  // namespace

extern "C" BREVANT_EXPORT HostErr FrameProgressMain(const HostBasicSuite* basic, int32_t, int32_t,
                                                    int32_t pluginId, void**) {
    g_basic = basic;
    g_pluginId = pluginId;
    ListenerCallbacks callbacks = {};  // a null slot: an event this client does not want
    callbacks.JobItemUpdate = OnFrame;
    callbacks.JobItemEnd = OnItemEnd;
    callbacks.JobItemLog = OnLog;
    // The listener, and a death hook that removes it before the library is unloaded.
    const HostErr err = RegisterClient(basic, pluginId, kRefcon, &callbacks, OnShutdown);
    if (err != kHostErrNone) Report("registering the listener", err);
    return err;
}

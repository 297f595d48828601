// The console monitor's C boundary: entry point, listener callbacks and death hook. Each reads
// what the monitor suite offers at its event and hands it to the ConsoleView, which prints on
// standard output. All of it runs on the host's main thread; nothing escapes as an exception.
#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include <brevant/client.hpp>
#include "ConsoleView.h"

namespace {

using brevant_client::FindValue;
using brevant_client::CatchToClientCode;
using brevant_client::KeyValueList;
using brevant_client::Monitor;
using console_monitor::ConsoleView;

// The width of the terminal on standard output now, 0 when it is not a terminal. Asked at each
// redraw rather than on SIGWINCH: a plug-in must not take a process-wide signal from its host,
// and one ioctl per frame costs nothing.
size_t TerminalColumns() {
#if defined(_WIN32)
    if (_isatty(_fileno(stdout)) == 0) return 0;
    CONSOLE_SCREEN_BUFFER_INFO info {};
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info) &&
        info.srWindow.Right >= info.srWindow.Left) {
        return static_cast<size_t>(info.srWindow.Right - info.srWindow.Left + 1);
    }
#else
    if (isatty(fileno(stdout)) != 1) return 0;
    struct winsize size {};
    if (ioctl(fileno(stdout), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
#endif
    // A terminal that does not say: the shell's COLUMNS, else the classic 80.
    uint64_t columns = 0;
    const char* text = std::getenv("COLUMNS");
    if (text != nullptr && brevant_client::ParseUnsigned(text, &columns) && columns > 0 && columns < 10000) {
        return static_cast<size_t>(columns);
    }
    return 80;
}

int64_t SteadyMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct ConsoleMonitorState {
    int32_t pluginId = 0;
    const HostBasicSuite* basic = nullptr;
    ConsoleView view;

    ConsoleMonitorState(int32_t id, const HostBasicSuite* suite, bool terminal)
        : pluginId(id), basic(suite), view(
              [](const std::string& text) {
                  std::fwrite(text.data(), 1, text.size(), stdout);
                  std::fflush(stdout);
              },
              terminal ? ConsoleView::Columns(TerminalColumns) : ConsoleView::Columns(), SteadyMilliseconds) {}
};

// Owned from the entry point until the death hook; one per loaded library.
std::unique_ptr<ConsoleMonitorState> g_state;

uint64_t RefconOf(const ConsoleMonitorState* state) {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(state));
}

// The state that a callback belongs to, or null for a listener that is not ours (any more).
ConsoleMonitorState* StateFor(const ListenerBasicData* data) {
    if (data == nullptr || !g_state || data->refcon != RefconOf(g_state.get())) return nullptr;
    return g_state.get();
}

uint64_t UnsignedOr(const KeyValueList& list, const char* key, uint64_t fallback) {
    uint64_t value = fallback;
    if (const std::string* text = FindValue(list, key)) brevant_client::ParseUnsigned(*text, &value);
    return value;
}

int64_t SignedOr(const KeyValueList& list, const char* key, int64_t fallback) {
    int64_t value = fallback;
    if (const std::string* text = FindValue(list, key)) brevant_client::ParseSigned(*text, &value);
    return value;
}

// What cannot be read is shown empty: a monitor keeps going where a query is refused.
console_monitor::JobSummary ReadJob(const Monitor& monitor) {
    console_monitor::JobSummary job;
    monitor.ProjectName(&job.projectName);
    monitor.AppVersion(&job.appVersion);
    std::vector<int64_t> ids;
    monitor.ItemIds(&ids);
    for (int64_t id : ids) {
        console_monitor::ItemSummary item;
        item.id = id;
        KeyValueList settings;
        if (monitor.RenderSettings(id, &settings) == kHostErrNone) {
            if (const std::string* comp = FindValue(settings, "CompName")) item.compName = *comp;
            const std::string* duration = FindValue(settings, "Duration");
            const std::string* rate = FindValue(settings, "FrameRate");
            int64_t frames = 0;
            if (duration != nullptr && rate != nullptr && brevant_client::TimecodeToFrames(*duration, *rate, &frames) &&
                frames > 0 && frames <= INT32_MAX) {
                item.frames = static_cast<int32_t>(frames);
            }
        }
        int32_t moduleCount = 0;
        monitor.OutputModuleCount(id, &moduleCount);
        for (int32_t m = 0; m < moduleCount; ++m) {
            console_monitor::OutputModuleSummary module;
            KeyValueList moduleSettings;
            if (monitor.OutputModuleSettings(id, m, &moduleSettings) == kHostErrNone) {
                if (const std::string* to = FindValue(moduleSettings, "OutputTo")) module.outputTo = *to;
            }
            monitor.OutputModuleWarnings(id, m, &module.warnings);
            item.outputModules.push_back(std::move(module));
        }
        job.items.push_back(std::move(item));
    }
    return job;
}

console_monitor::FrameProgress ReadFrame(const Monitor& monitor, int64_t item, int64_t frame) {
    console_monitor::FrameProgress progress;
    progress.frameId = frame;
    KeyValueList properties;
    if (monitor.FrameProperties(item, frame, &properties) == kHostErrNone) {
        progress.elapsedMs = SignedOr(properties, "ElapsedTime", -1);
        progress.framesTotal = static_cast<int32_t>(SignedOr(properties, "FramesTotal", 0));
        progress.remainingMs = SignedOr(properties, "RemainingTime", -1);
    }
    int32_t moduleCount = 0;
    monitor.OutputModuleCount(item, &moduleCount);
    for (int32_t m = 0; m < moduleCount; ++m) {
        console_monitor::OutputFileProgress file;
        KeyValueList fileProperties;
        if (monitor.OutputModuleProperties(item, m, &fileProperties) == kHostErrNone) {
            if (const std::string* to = FindValue(fileProperties, "OutputTo")) file.outputTo = *to;
            if (const std::string* disk = FindValue(fileProperties, "Disk")) file.disk = *disk;
            file.fileSize = UnsignedOr(fileProperties, "FileSize", 0);
            file.estFinalSize = UnsignedOr(fileProperties, "EstFinalSize", 0);
            file.diskSpace = UnsignedOr(fileProperties, "DiskSpace", 0);
            // A module that writes no file reports no volume and no free space.
            file.fileBased = !file.disk.empty() || file.diskSpace > 0;
        }
        progress.files.push_back(std::move(file));
    }
    return progress;
}

HostErr OnJobBegin(const ListenerBasicData* data, int64_t session) {
    return CatchToClientCode([&] {
        ConsoleMonitorState* state = StateFor(data);
        if (state == nullptr) return kHostErrBadArgument;
        Monitor monitor(data->basicSuite, session);
        if (HostErr err = monitor.error()) return err;
        state->view.JobBegin(ReadJob(monitor));
        return kHostErrNone;
    });
}

HostErr OnJobEnd(const ListenerBasicData* data, int64_t /*session*/) {
    return CatchToClientCode([&] {
        ConsoleMonitorState* state = StateFor(data);
        if (state == nullptr) return kHostErrBadArgument;
        state->view.JobEnd();
        return kHostErrNone;
    });
}

HostErr OnJobItemStart(const ListenerBasicData* data, int64_t /*session*/, int64_t item) {
    return CatchToClientCode([&] {
        ConsoleMonitorState* state = StateFor(data);
        if (state == nullptr) return kHostErrBadArgument;
        state->view.ItemStart(item);
        return kHostErrNone;
    });
}

HostErr OnJobItemUpdate(const ListenerBasicData* data, int64_t session, int64_t item, int64_t frame) {
    return CatchToClientCode([&] {
        ConsoleMonitorState* state = StateFor(data);
        if (state == nullptr) return kHostErrBadArgument;
        Monitor monitor(data->basicSuite, session);
        if (HostErr err = monitor.error()) return err;
        state->view.FrameDone(item, ReadFrame(monitor, item, frame));
        return kHostErrNone;
    });
}

HostErr OnJobItemEnd(const ListenerBasicData* data, int64_t /*session*/, int64_t item, int32_t status) {
    return CatchToClientCode([&] {
        ConsoleMonitorState* state = StateFor(data);
        if (state == nullptr) return kHostErrBadArgument;
        state->view.ItemEnd(item, status);
        return kHostErrNone;
    });
}

// The message handle stays Brevant's: read, never freed.
HostErr OnJobItemLog(const ListenerBasicData* data, int64_t /*session*/, int64_t item, uint8_t flag,
                     const HostMemoryHandle* message) {
    return CatchToClientCode([&] {
        ConsoleMonitorState* state = StateFor(data);
        if (state == nullptr) return kHostErrBadArgument;
        std::string text;
        if (HostErr err = brevant_client::ReadLogMessage(data, message, &text)) return err;
        state->view.Log(item, flag, text);
        return kHostErrNone;
    });
}

const ListenerCallbacks kCallbacks = {
    OnJobBegin, OnJobEnd, OnJobItemStart, OnJobItemUpdate, OnJobItemEnd, OnJobItemLog,
};

HostErr ConsoleMonitorDeathHook(void* globalRefcon, void* /*hookRefcon*/) {
    return CatchToClientCode([&] {
        if (!g_state || globalRefcon != g_state.get()) return kHostErrBadArgument;
        const HostErr err = brevant_client::DeregisterClient(g_state->basic, g_state->pluginId, RefconOf(g_state.get()));
        g_state.reset();
        return err;
    });
}

}  // namespace

extern "C" BREVANT_EXPORT HostErr ConsoleMonitorMain(
    const HostBasicSuite* basic, int32_t /*majorVersion*/, int32_t /*minorVersion*/, int32_t pluginId,
    void** globalRefcon) {
    return CatchToClientCode([&] {
        if (basic == nullptr || globalRefcon == nullptr) return kHostErrBadArgument;
        if (g_state) {
            // A second entry into a loaded library keeps the first registration.
            std::fputs("console_monitor: already started in this process; a client is loaded once\n", stderr);
            return kHostErrGeneric;
        }
        auto state = std::make_unique<ConsoleMonitorState>(pluginId, basic, TerminalColumns() > 0);
        const HostErr err = brevant_client::RegisterClient(basic, pluginId, RefconOf(state.get()), &kCallbacks,
                                                           ConsoleMonitorDeathHook);
        if (err != kHostErrNone) return err;
        *globalRefcon = state.get();
        g_state = std::move(state);
        return kHostErrNone;
    });
}

// brevant-host: the render-queue simulator. Loads libbrevant and client plug-ins as the host
// application does, renders a job file through a Brevant session, and reports what leaked.
#include <CLI/CLI.hpp>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>
#if defined(_WIN32)
#include <windows.h>
#endif

#include "host/Job.h"
#include "host/StandInHost.h"
#include "session/RQSession.h"

namespace {

enum ExitCode {
    kExitOk = 0,
    kExitUsage = 1,       // bad options or a bad job file; nothing was rendered
    kExitLoad = 2,        // a library could not be loaded or started
    kExitItemFailed = 3,  // an item failed or a session operation threw
    kExitStopped = 4,     // stopped by the user (Ctrl-C)
    kExitLeaked = 5,      // a suite stayed acquired or a handle alive at exit
};

const char* const kExitCodeHelp =
    "Exit codes:\n"
    "  0  every item rendered, nothing leaked\n"
    "  1  bad options or job file (reported before anything is loaded or rendered)\n"
    "  2  a library could not be loaded (no such file, no property list, no entry point)\n"
    "     or its entry point returned an error\n"
    "  3  an item failed, or a session operation failed\n"
    "  4  stopped by the user (Ctrl-C); a second Ctrl-C ends the process at once (130)\n"
    "  5  a suite stayed acquired or a memory handle alive after the death hooks ran\n"
    "When several apply, the highest wins: a leak is never hidden by a failed item.\n";

std::atomic<bool> gStop{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set from a signal handler");

// ---- Platform: Ctrl-C, where this program is, how libraries are named -----------------------
// One Ctrl-C stops the render cleanly; a second one ends a render that does not stop.
#if defined(_WIN32)
// Runs on a thread of its own that the system starts for the console event.
BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event != CTRL_C_EVENT) return FALSE;
    return gStop.exchange(true) ? FALSE : TRUE;  // FALSE: the system's default, the end
}
void InstallInterruptHandler() { SetConsoleCtrlHandler(OnConsoleControl, TRUE); }
void RemoveInterruptHandler() { SetConsoleCtrlHandler(OnConsoleControl, FALSE); }

std::filesystem::path ExecutableDirectory() {
    wchar_t self[MAX_PATH + 1] = {};
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH + 1);
    return length == 0 || length > MAX_PATH ? std::filesystem::path() : std::filesystem::path(self).parent_path();
}

constexpr const char* kLibraryPrefix = "";
constexpr const char* kLibrarySuffix = ".dll";
#else
extern "C" void OnInterrupt(int) { gStop = true; }

// The handler falls back to the default after the first Ctrl-C.
void InstallInterruptHandler() {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
}
void RemoveInterruptHandler() { std::signal(SIGINT, SIG_DFL); }

std::filesystem::path ExecutableDirectory() {
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : self.parent_path();
}

constexpr const char* kLibraryPrefix = "lib";
constexpr const char* kLibrarySuffix = ".so";
#endif

// A client given by name ("event_log") is the library of that name next to brevant-host.
std::string ResolveClient(const std::string& client) {
    if (client.find_first_of("/\\") != std::string::npos || client.find(kLibrarySuffix) != std::string::npos) {
        return client;
    }
    return (ExecutableDirectory() / (kLibraryPrefix + client + kLibrarySuffix)).string();
}

// Beside brevant-host in a build tree; in the library folder of an installed prefix.
std::string DefaultPluginPath() {
    const std::filesystem::path beside = ExecutableDirectory() / BREVANT_PLUGIN_FILE_NAME;
    std::error_code error;
    if (std::filesystem::exists(beside, error)) return beside.string();
    return (ExecutableDirectory() / BREVANT_BIN_TO_LIB / BREVANT_PLUGIN_FILE_NAME).lexically_normal().string();
}

void PrintProperties(const brevant_host::LoadedPlugin& plugin) {
    const auto& p = plugin.properties;
    std::printf("loaded %s: resource %d, kind %s, name \"%s\", category \"%s\", version 0x%08x, entry %s, flags %u\n",
                plugin.path.c_str(), p.resourceId, p.kind.c_str(), p.name.c_str(), p.category.c_str(), p.version,
                p.entryPoint.c_str(), p.flags);
}

bool Load(const std::string& path, brevant_host::LoadedPlugin& plugin) {
    std::string error;
    if (!brevant_host::LoadPlugin(path, &plugin, &error)) {
        std::fprintf(stderr, "brevant-host: cannot load %s: %s\n", path.c_str(), error.c_str());
        return false;
    }
    PrintProperties(plugin);
    if (plugin.entryResult != 0) {
        std::fprintf(stderr, "brevant-host: %s: entry point %s returned %d\n", path.c_str(),
                     plugin.properties.entryPoint.c_str(), plugin.entryResult);
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"brevant-host: a render-queue simulator for Brevant and its client plug-ins.\n"
                 "It loads libbrevant and each client as the host application does (property list,\n"
                 "entry point), renders the job file frame by frame into real files, and at exit\n"
                 "runs the plug-ins' death hooks and reports anything they leaked.\n"
                 "Times that clients see are milliseconds; frame ids count from 1."};
    app.require_subcommand(1);
    app.footer(kExitCodeHelp);
    // Options are "--name" everywhere; on Windows CLI11 would also take "/name", and so read a
    // path such as /renders/job.json as an unknown option.
    app.allow_windows_style_options(false);
    CLI::App* run = app.add_subcommand("run", "Render a job file");
    std::string jobPath, pluginPath = DefaultPluginPath(), logPath, outputDir;
    std::vector<std::string> clients;
    double fps = 0.0;
    run->add_option("job", jobPath, "Job file (JSON; see examples/README.md)")->required()->check(CLI::ExistingFile);
    run->add_option("--plugin", pluginPath, "Path of libbrevant (default: next to brevant-host)");
    run->add_option("--client", clients,
                    "A client plug-in to load after Brevant, in order (repeatable): a library path, or\n"
                    "the name of one built next to brevant-host: console_monitor, event_log");
    run->add_option("--log", logPath, "Write the host log (every plug-in log line) to this file");
    run->add_option("--fps", fps, "Pace the render at this many frames per second (default: as fast as possible)")
        ->check(CLI::NonNegativeNumber);
    run->add_option("--out", outputDir, "Directory for relative output paths (default: the current directory)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& help) {
        return app.exit(help);
    } catch (const CLI::ParseError& parseError) {
        // CLI11's own codes (105, 106 ...) would say nothing to a script; every usage error is 1.
        app.exit(parseError);
        return kExitUsage;
    }

    brevant_host::SetMainThread();
    if (!logPath.empty()) {
        if (!brevant_host::SetLogFile(logPath)) {
            std::fprintf(stderr, "brevant-host: cannot write the log file %s\n", logPath.c_str());
            return kExitUsage;
        }
        brevant_host::SetLogSink(brevant_host::LogSink::File);
    } else {
        brevant_host::SetLogSink(brevant_host::LogSink::Off);
    }

    // The job is read before anything is loaded, so a bad file costs nothing.
    std::string error;
    std::unique_ptr<brevant_host::Job> job = brevant_host::LoadJob(jobPath, &error);
    if (!job) {
        std::fprintf(stderr, "brevant-host: %s\n", error.c_str());
        return kExitUsage;
    }

    brevant_host::LoadedPlugin brevant;
    if (!Load(pluginPath, brevant)) return kExitLoad;
    const void* table = nullptr;
    if (brevant_host::BasicSuite()->AcquireSuite(kBrevantProviderSuite, kBrevantProviderSuiteVersion, &table) != 0 ||
        !table) {
        std::fprintf(stderr, "brevant-host: %s did not publish \"%s\" %d\n", pluginPath.c_str(), kBrevantProviderSuite,
                     kBrevantProviderSuiteVersion);
        brevant_host::RunDeathHooks();
        return kExitLoad;
    }
    const auto* provider = static_cast<const BrevantProviderSuite1*>(table);
    for (const auto& client : clients) {
        brevant_host::LoadedPlugin loaded;
        if (!Load(ResolveClient(client), loaded)) {
            brevant_host::BasicSuite()->ReleaseSuite(kBrevantProviderSuite, kBrevantProviderSuiteVersion);
            brevant_host::RunDeathHooks();
            return kExitLoad;
        }
    }

    InstallInterruptHandler();
    brevant_host::RenderOptions options;
    options.outputDirectory = outputDir;
    options.fps = fps;
    options.stop = &gStop;
    const brevant_host::RenderSummary summary = brevant_host::RenderJob(*job, *provider, options);
    RemoveInterruptHandler();

    brevant_host::BasicSuite()->ReleaseSuite(kBrevantProviderSuite, kBrevantProviderSuiteVersion);
    brevant_host::RunDeathHooks();

    std::fflush(stdout);
    std::printf("\n%s", brevant_host::FormatSummary(summary).c_str());
    const std::vector<std::string> leaks = brevant_host::LeakReport();
    if (leaks.empty()) {
        std::printf("leaks: none\n");
    } else {
        for (const auto& leak : leaks) std::printf("leak: %s\n", leak.c_str());
    }

    if (!leaks.empty()) return kExitLeaked;
    if (summary.stopped) return kExitStopped;
    bool failed = !summary.described || !summary.errors.empty();
    for (const auto& outcome : summary.outcomes) failed |= outcome.status != brevant_host::kItemStatusDone;
    return failed ? kExitItemFailed : kExitOk;
}

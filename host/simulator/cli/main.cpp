// brevant-host: the render-queue simulator. Loads libbrevant and client plug-ins as the host
// application does, renders a job file through a Brevant session, and reports what leaked.
#include <CLI/CLI.hpp>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>
#if defined(_WIN32)
#include <windows.h>
#endif

#include <nlohmann/json.hpp>

#include "host/core/StandInHost.h"
#include "host/simulator/RenderDriver.h"
#include "session/RQSession.h"

namespace {

enum ExitCode {
    kExitOk = 0,
    kExitUsage = 1,       // bad options, a bad job file or an output that cannot be written; nothing was rendered
    kExitLoad = 2,        // a library could not be loaded or started
    kExitItemFailed = 3,  // an item failed or a session operation threw
    kExitStopped = 4,     // stopped by the user (Ctrl-C)
    kExitLeaked = 5,      // a suite stayed acquired or a handle alive at exit
};

const char* const kExitCodeHelp =
    "Exit codes:\n"
    "  0  every item rendered, nothing leaked\n"
    "  1  bad options, job file or output folder (reported before anything is loaded or rendered)\n"
    "  2  a library could not be loaded (no such file, not a Brevant plug-in, no entry point)\n"
    "     or its entry point returned an error\n"
    "  3  an item failed (an output file that cannot be written fails its item), or a session\n"
    "     operation failed\n"
    "  4  stopped by the user (Ctrl-C); a second Ctrl-C ends the process at once (130)\n"
    "  5  a suite stayed acquired or a memory handle alive after the death hooks ran\n"
    "When several apply, the highest wins: a leak is never hidden by a failed item.\n";

// The clients built with brevant-host, which `--client NAME` loads from beside it (installed: from
// the library folder). The help and the messages list those that are there.
const char* const kShippedClients[] = {"console_monitor", "event_log", "farm_publisher"};

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

// The file of a library built here under `name`.
std::string LibraryFileName(const std::string& name) { return kLibraryPrefix + name + kLibrarySuffix; }

// A library of ours: beside brevant-host in a build tree; in the library folder of an installed
// prefix.
std::string BesideOrInLibraryFolder(const std::string& fileName) {
    const std::filesystem::path beside = ExecutableDirectory() / fileName;
    std::error_code error;
    if (std::filesystem::exists(beside, error)) return beside.string();
    return (ExecutableDirectory() / BREVANT_BIN_TO_LIB / fileName).lexically_normal().string();
}

std::string DefaultPluginPath() { return BesideOrInLibraryFolder(BREVANT_PLUGIN_FILE_NAME); }

bool IsPath(const std::string& client) {
    return client.find_first_of("/\\") != std::string::npos || std::filesystem::path(client).has_extension();
}

// A client given by name ("event_log") is the library of that name built with brevant-host.
std::string ResolveClient(const std::string& client) {
    return IsPath(client) ? client : BesideOrInLibraryFolder(LibraryFileName(client));
}

// The shipped clients that are there to be loaded by name, for the help and the messages.
std::string ClientsByName() {
    std::string names;
    for (const char* name : kShippedClients) {
        std::error_code error;
        if (std::filesystem::exists(ResolveClient(name), error)) names += (names.empty() ? "" : ", ") + std::string(name);
    }
    return names.empty() ? "none found" : names;
}

// Everything `run` takes. A new option is a field here and one line in AddRunOptions.
struct RunOptions {
    std::string jobPath;
    std::string pluginPath = DefaultPluginPath();
    std::vector<std::string> clients;
    std::string logPath;
    double fps = 0.0;
    std::string outputDir;
    std::string summaryJsonPath;
};

void AddRunOptions(CLI::App& run, RunOptions& options) {
    run.add_option("job", options.jobPath, "Job file (JSON; see examples/README.md)")->required();
    run.add_option("--plugin", options.pluginPath, "Path of libbrevant (default: next to brevant-host)");
    run.add_option("--client", options.clients,
                   std::string("A client plug-in to load after Brevant, in order (repeatable): a path (anything\n"
                               "with a slash, a backslash or an extension), or the name of one built next to\n"
                               "brevant-host: ") + ClientsByName());
    run.add_option("--log", options.logPath, "Write the host log (every plug-in log line) to this file");
    run.add_option("--fps", options.fps, "Pace the render at this many frames per second (default: as fast as possible)")
        ->check(CLI::NonNegativeNumber);
    run.add_option("--out", options.outputDir,
                   "Output folder: relative output paths go here (default: the job's outputDirectory,\n"
                   "else the current directory)");
    run.add_option("--summary-json", options.summaryJsonPath,
                   "Also write the outcome as JSON to this file (exit code, items, frames, outputs,\n"
                   "errors, leaks), for scripts and CI");
}

// The same file however it was named, for finding a client given twice.
std::string Identity(const std::string& path) {
    std::error_code error;
    const std::filesystem::path canonical = std::filesystem::weakly_canonical(path, error);
    return error ? path : canonical.string();
}

// The loader's reasons start with the path; the message names it once.
std::string Reason(const std::string& path, const std::string& message) {
    const std::string prefix = path + ": ";
    return message.compare(0, prefix.size(), prefix) == 0 ? message.substr(prefix.size()) : message;
}

void PrintProperties(const brevant_host::LoadedPlugin& plugin) {
    const auto& p = plugin.properties;
    std::printf("loaded %s: resource %d, kind %s, name \"%s\", category \"%s\", version 0x%08x, entry %s, flags %u\n",
                plugin.path.c_str(), p.resourceId, p.kind.c_str(), p.name.c_str(), p.category.c_str(), p.version,
                p.entryPoint.c_str(), p.flags);
}

// Loads a plug-in and calls its entry point; false after one message that says why not.
bool Load(const std::string& path, const std::string& given, brevant_host::LoadedPlugin& plugin) {
    std::error_code error;
    if (!std::filesystem::exists(path, error)) {
        if (IsPath(given) || given == path) {
            std::fprintf(stderr, "brevant-host: cannot load %s: no such file\n", path.c_str());
        } else {
            std::fprintf(stderr, "brevant-host: no client named \"%s\"; the clients built with brevant-host: %s\n",
                         given.c_str(), ClientsByName().c_str());
        }
        return false;
    }
    // A file without a property list is not a plug-in at all; say so rather than how it failed.
    std::string reason;
    brevant_host::PropertyList properties;
    if (!brevant_host::ReadPropertyList(path, &properties, &reason)) {
        std::fprintf(stderr, "brevant-host: cannot load %s: not a Brevant plug-in (%s)\n", path.c_str(),
                     Reason(path, reason).c_str());
        return false;
    }
    if (!brevant_host::LoadPlugin(path, &plugin, &reason)) {
        std::fprintf(stderr, "brevant-host: cannot load %s: %s\n", path.c_str(), Reason(path, reason).c_str());
        return false;
    }
    PrintProperties(plugin);
    if (plugin.entryResult != 0) {
        std::fprintf(stderr, "brevant-host: %s did not start: its entry point %s returned %d\n", path.c_str(),
                     plugin.properties.entryPoint.c_str(), plugin.entryResult);
        return false;
    }
    return true;
}

const char* StatusName(int32_t status) {
    switch (status) {
        case brevant_host::kItemStatusDone: return "done";
        case brevant_host::kItemStatusStopped: return "stopped";
        case brevant_host::kItemStatusFailed: return "failed";
        default: return "ended";
    }
}

nlohmann::ordered_json SummaryJson(const RunOptions& options, int code, const std::string& problem,
                                   const brevant_host::RenderSummary* summary, const std::vector<std::string>& leaks) {
    nlohmann::ordered_json out;
    out["version"] = BREVANT_VERSION;
    out["job"] = options.jobPath;
    out["exitCode"] = code;
    if (!problem.empty()) out["problem"] = problem;
    out["rendered"] = summary != nullptr;
    if (summary != nullptr) {
        out["stopped"] = summary->stopped;
        out["described"] = summary->described;
        out["items"] = {{"inJob", summary->itemsInJob},
                        {"started", summary->items},
                        {"neverStarted", std::max(summary->itemsInJob - summary->items, 0)}};
        out["frames"] = summary->frames;
        nlohmann::ordered_json items = nlohmann::ordered_json::array();
        for (const auto& outcome : summary->outcomes) {
            items.push_back({{"item", outcome.itemIndex + 1},
                             {"status", StatusName(outcome.status)},
                             {"statusCode", outcome.status},
                             {"framesRendered", outcome.framesRendered},
                             {"framesTotal", outcome.framesTotal}});
        }
        out["itemOutcomes"] = std::move(items);
        nlohmann::ordered_json outputs = nlohmann::ordered_json::array();
        for (const auto& output : summary->outputs) {
            outputs.push_back({{"item", output.itemIndex + 1},
                               {"output", output.moduleIndex + 1},
                               {"path", output.path},
                               {"sequence", output.sequence},
                               {"files", output.fileCount},
                               {"bytes", output.bytes}});
        }
        out["outputs"] = std::move(outputs);
        nlohmann::ordered_json errors = nlohmann::ordered_json::array();
        for (const auto& error : summary->errors) {
            nlohmann::ordered_json entry = {{"operation", error.operation}, {"message", error.message}};
            if (error.itemIndex >= 0) entry["item"] = error.itemIndex + 1;
            errors.push_back(std::move(entry));
        }
        out["errors"] = std::move(errors);
        out["leaks"] = leaks;
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{std::string("brevant-host: a render-queue simulator for Brevant and its client plug-ins.\n"
                             "It loads libbrevant and each client as the host application does (property list,\n"
                             "entry point), renders the job file frame by frame into real files, and at exit\n"
                             "runs the plug-ins' death hooks and reports anything they leaked.\n"
                             "Times that clients see are milliseconds; frame ids count from 1.\n"
                             "Clients it loads by name (run --client NAME): ") +
                 ClientsByName()};
    app.require_subcommand(1);
    app.footer(kExitCodeHelp);
    app.set_version_flag("--version", std::string("brevant-host ") + BREVANT_VERSION);
    // Options are "--name" everywhere; on Windows CLI11 would also take "/name", and so read a
    // path such as /renders/job.json as an unknown option.
    app.allow_windows_style_options(false);
    CLI::App* run = app.add_subcommand("run", "Render a job file");
    RunOptions options;
    AddRunOptions(*run, options);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& parseError) {
        if (parseError.get_exit_code() == 0) return app.exit(parseError);  // --help, --version
        // CLI11's own codes (105, 106 ...) would say nothing to a script; every usage error is 1.
        std::fprintf(stderr, "brevant-host: %s\nRun 'brevant-host run --help' for the options.\n", parseError.what());
        return kExitUsage;
    }

    // Every way out goes through here, so that a script that asked for a summary always gets one.
    auto finish = [&](int code, const std::string& problem, const brevant_host::RenderSummary* summary,
                      const std::vector<std::string>& leaks) {
        if (!problem.empty()) std::fprintf(stderr, "brevant-host: %s\n", problem.c_str());
        if (!options.summaryJsonPath.empty()) {
            std::ofstream file(options.summaryJsonPath, std::ios::trunc);
            file << SummaryJson(options, code, problem, summary, leaks).dump(2) << "\n";
            if (!file) {
                std::fprintf(stderr, "brevant-host: cannot write the summary %s\n", options.summaryJsonPath.c_str());
            }
        }
        return code;
    };
    if (!options.summaryJsonPath.empty() && !std::ofstream(options.summaryJsonPath, std::ios::trunc)) {
        std::fprintf(stderr, "brevant-host: cannot write the summary %s\n", options.summaryJsonPath.c_str());
        return kExitUsage;
    }

    brevant_host::SetMainThread();
    if (!options.logPath.empty()) {
        if (!brevant_host::SetLogFile(options.logPath)) {
            return finish(kExitUsage, "cannot write the log file " + options.logPath, nullptr, {});
        }
        brevant_host::SetLogSink(brevant_host::LogSink::File);
    } else {
        brevant_host::SetLogSink(brevant_host::LogSink::Off);
    }

    // The job, the clients named and the output folders are checked before anything is loaded,
    // so a mistake costs nothing.
    std::error_code exists;
    if (!std::filesystem::is_regular_file(options.jobPath, exists)) {
        return finish(kExitUsage, options.jobPath + ": no such job file", nullptr, {});
    }
    std::string error;
    std::unique_ptr<brevant_host::Job> job = brevant_host::LoadJob(options.jobPath, &error);
    if (!job) return finish(kExitUsage, error, nullptr, {});
    std::vector<std::string> clientPaths;
    for (size_t i = 0; i < options.clients.size(); ++i) {
        clientPaths.push_back(ResolveClient(options.clients[i]));
        for (size_t j = 0; j < i; ++j) {
            if (Identity(clientPaths[j]) == Identity(clientPaths[i])) {
                return finish(kExitUsage,
                              "--client " + options.clients[i] + " is given twice" +
                                  (options.clients[j] != options.clients[i] ? " (also as " + options.clients[j] + ")" : "") +
                                  "; a client is loaded once",
                              nullptr, {});
            }
        }
    }
    if (!options.outputDir.empty()) {
        std::error_code absolute;
        job->SetOutputDirectory(std::filesystem::absolute(options.outputDir, absolute).string());
    }
    if (!brevant_host::CheckOutputFolders(*job, &error)) return finish(kExitUsage, error, nullptr, {});

    // Clients that want to say which job they follow find it here; a real host has none.
    std::error_code absoluteJob;
    const std::string jobFile = std::filesystem::absolute(options.jobPath, absoluteJob).string();
#if defined(_WIN32)
    _putenv_s("BREVANT_JOB_FILE", jobFile.c_str());
#else
    setenv("BREVANT_JOB_FILE", jobFile.c_str(), 1);
#endif

    brevant_host::LoadedPlugin brevant;
    if (!Load(options.pluginPath, options.pluginPath, brevant)) return finish(kExitLoad, "", nullptr, {});
    const void* table = nullptr;
    if (brevant_host::BasicSuite()->AcquireSuite(kBrevantProviderSuite, kBrevantProviderSuiteVersion, &table) != 0 ||
        !table) {
        brevant_host::RunDeathHooks();
        return finish(kExitLoad,
                      options.pluginPath + " did not publish \"" + kBrevantProviderSuite + "\" " +
                          std::to_string(kBrevantProviderSuiteVersion),
                      nullptr, {});
    }
    const auto* provider = static_cast<const BrevantProviderSuite1*>(table);
    for (size_t i = 0; i < clientPaths.size(); ++i) {
        brevant_host::LoadedPlugin loaded;
        if (!Load(clientPaths[i], options.clients[i], loaded)) {
            brevant_host::BasicSuite()->ReleaseSuite(kBrevantProviderSuite, kBrevantProviderSuiteVersion);
            brevant_host::RunDeathHooks();
            return finish(kExitLoad, "", nullptr, {});
        }
    }

    InstallInterruptHandler();
    brevant_host::RenderOptions renderOptions;
    renderOptions.fps = options.fps;
    renderOptions.stop = &gStop;
    const brevant_host::RenderSummary summary = brevant_host::RenderJob(*job, *provider, renderOptions);
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
    std::fflush(stdout);

    int code = kExitOk;
    bool failed = !summary.described || !summary.errors.empty();
    for (const auto& outcome : summary.outcomes) failed |= outcome.status != brevant_host::kItemStatusDone;
    if (!leaks.empty()) {
        code = kExitLeaked;
    } else if (summary.stopped) {
        code = kExitStopped;
    } else if (failed) {
        code = kExitItemFailed;
    }
    return finish(code, "", &summary, leaks);
}

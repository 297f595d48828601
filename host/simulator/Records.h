// The simulator's render-queue records: what lies behind the opaque record types of the host
// interface, and nothing more than the host application's records hold (the job file's plans and
// faults are the Job's). Internal to libbrevant_simulator; the job file builds them (JobFile.cpp),
// the host calls read them (Records.cpp, Files.cpp), the driver renders them (Render.cpp).
//
// Ownership: the HostRenderQueue owns its items, an item owns its composition, settings and
// output modules, a module owns its output spec. Every record lives at a fixed address (held by
// unique_ptr) so that the pointers handed to the plug-in stay valid for the queue's lifetime.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/core/StandInHost.h"
#include "plugin/HostInterface.h"

namespace brevant_host {

constexpr int32_t kRenderSettingCount = 20;
constexpr int32_t kOutputModuleLabelCount = 17;

// Exporter module ids that every job knows without declaring them.
constexpr int32_t kExporterJpegSequence = 1;
constexpr int32_t kExporterMovie = 2;
constexpr int32_t kExporterPreview = 3;

// Post-render action codes.
constexpr int32_t kPostRenderNone = 0;
constexpr int32_t kPostRenderImport = 1;
constexpr int32_t kPostRenderImportReplace = 2;
constexpr int32_t kPostRenderSetProxy = 3;

constexpr int kJpegQuality = 85;

// A label and its value text as the host shows it. The render settings have a second value
// text for items whose status is "done".
struct SettingText {
    HostString label;
    HostString value;
    HostString valueWhenDone;
};

struct ExporterRecord {
    int32_t id = 0;
    std::string name;
    uint32_t flags = 0;
    HostErr queryError = kHostErrNone;  // HostModuleInfoQuery answers it when not 0
};

// How a file-based module that is not an image sequence grows its one file per frame.
enum class GrowingFileFormat {
    Jpeg,  // one JPEG per frame, appended (a motion-JPEG stream)
    Raw,   // the frame's 8-bit RGB bytes, appended
};

// The host's clock for the item being rendered, kept by the driver (Job::StartItemClock,
// Job::MarkFrameDone) and read by HostRemainingTime.
struct ItemClock {
    bool running = false;
    int32_t itemIndex = -1;
    std::chrono::steady_clock::time_point start;
    int32_t doneFrameId = 0;
    std::chrono::nanoseconds doneElapsed{0};
};

// "1920 x 1080", "24", "29.97": the host's way of writing sizes and rates.
std::string SizeText(int32_t width, int32_t height);
std::string RateText(double frameRate);
// H:MM:SS:FF at the rounded frame rate.
std::string TimecodeText(int64_t frames, double frameRate);

// The exporters every job knows (ids kExporterJpegSequence, kExporterMovie, kExporterPreview).
std::vector<ExporterRecord> BuiltInExporters();

// Path templates (PathTemplate.cpp). Expands the tokens of the module's path template; frame
// runs ([#], [####]) take `frameNumber` zero-padded to the run's length, or stay as they are
// when it is empty. The result is absolute: relative paths join the queue's output directory.
std::string ResolveModulePath(const HostOutputModule& module, std::optional<int64_t> frameNumber);
bool HasFrameRun(const std::string& pathTemplate);

// Frames (Frames.cpp).
// Draws frame `frameIndex` (from 0) of a composition, labelled with `frameNumber`, into an
// ARGB world whose pixels the caller sized.
void DrawTestFrame(const HostComposition& composition, int32_t frameIndex, int64_t frameNumber,
                   HostWorld& world);
// The world scaled into `frame` at width x height. Throws std::runtime_error on bad input.
void ScaleWorldToFrame(const HostWorld& world, int32_t width, int32_t height, HostVideoFrame& frame);
// JPEG of 8-bit RGB at kJpegQuality. Throws std::runtime_error when the compressor fails.
std::vector<uint8_t> CompressRgbToJpeg(const uint8_t* rgb, int32_t width, int32_t height);

// The queues alive in the process, newest first: the host calls that take no record
// (HostModuleInfoQuery, HostFileSize) look up exporters and image sequences through them.
std::vector<const HostRenderQueue*> LiveQueues();

// Files (Files.cpp): the path's absolute, lexically normal form; empty stays empty.
std::string AbsolutePath(const std::string& path);
// The size of a regular file, 0 for anything else or nothing.
uint64_t RegularFileSize(const std::string& path);

}  // namespace brevant_host

struct HostComposition {
    HostString name;
    int32_t width = 1920;
    int32_t height = 1080;
    double frameRate = 24.0;
    int32_t frames = 48;
    int32_t startFrame = 0;
};

struct HostRenderSettings {
    std::array<brevant_host::SettingText, brevant_host::kRenderSettingCount> settings;
};

struct HostOutputSpec {
    int32_t exporterId = brevant_host::kExporterPreview;
    uint32_t flags = 0;
    HostOutputVerbiage verbiage;
    HostErr infoError = kHostErrNone;  // HostOutputInfoQuery answers it when not 0
};

struct HostModuleInfo {
    int32_t exporterId = 0;
    uint32_t flags = 0;
};

struct HostFileSpec {
    std::string path;  // UTF-8, as given
};

struct HostOutputModule {
    HostRenderItem* owner = nullptr;
    int32_t index = 0;
    HostString templateName;
    bool fileBased = true;
    std::string pathTemplate;   // UTF-8; empty: the module has no file path
    std::string currentPath;    // the template until flattened, then the resolved path
    bool sequence = false;      // the template has a frame run
    HostOutputSpec spec;
    int32_t postRenderAction = brevant_host::kPostRenderNone;
    std::array<brevant_host::SettingText, brevant_host::kOutputModuleLabelCount> labels;
    // The exporter's constraints; unset fields take the composition's values.
    bool constrained = false;
    std::optional<int32_t> constrainedWidth;
    std::optional<int32_t> constrainedHeight;
    std::optional<double> constrainedFrameRate;
    // Given warning texts replace the computed ones (an empty text means no warning).
    std::optional<HostString> sizeWarning;
    std::optional<HostString> frameRateWarning;
    brevant_host::GrowingFileFormat growingFormat = brevant_host::GrowingFileFormat::Jpeg;

    // Kept by the driver: the files written so far, in order, and their total size.
    std::vector<std::string> writtenFiles;
    uint64_t bytesWritten = 0;
};

struct HostRenderItem {
    HostRenderQueue* queue = nullptr;
    int32_t index = 0;
    // The project item: a HostCompItem whose composition is `composition`. Its type is 4 for a
    // composition; other types have no composition for the plug-in, but still render at the
    // composition's size.
    bool hasProjectItem = true;
    HostComposition composition;
    HostCompItem projectItem{};
    int32_t status = 0;  // the job file's, 3 (queued) unless it says otherwise
    HostString templateName;
    HostString comment;
    HostRenderSettings settings;
    std::vector<std::unique_ptr<HostOutputModule>> modules;
    std::vector<HostOutputModule*> modulePointers;  // what HostRenderItemOutputModules lends
};

struct HostRenderQueue {
    HostRenderQueue();
    ~HostRenderQueue();
    HostRenderQueue(const HostRenderQueue&) = delete;
    HostRenderQueue& operator=(const HostRenderQueue&) = delete;

    std::string sourceName;
    std::string projectName;          // UTF-8
    std::string outputDirectory;      // as the job file gives it; may be empty or relative
    std::string baseDirectory;        // the driver's directory
    std::vector<brevant_host::ExporterRecord> exporters;
    std::vector<std::unique_ptr<HostRenderItem>> items;
    std::vector<HostRenderItem*> itemPointers;  // what HostRenderQueueItems lends
    brevant_host::ItemClock clock;

    // The absolute directory that relative output paths join.
    std::string EffectiveOutputDirectory() const;
    const brevant_host::ExporterRecord* FindExporter(int32_t id) const;
};

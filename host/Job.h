// Jobs of the stand-in host: a render queue read from a job file, and the driver that renders it
// through a Brevant session as the host application's render queue would.
//
// A Job owns every record that the host calls of the plug-in interface hand out (render queue,
// render items, compositions, output modules, output specs). Pointers taken from it stay valid
// until the Job is destroyed. One host per process; everything here is [main-thread].
//
// Conventions of the stand-in host that plug-ins and clients see through these records:
// - Frame ids count from 1: frame id f is the f-th frame of the item, written to disk with the
//   frame number startFrame + f - 1.
// - Times are milliseconds: HostFrameUpdate.elapsedTime since the item started, and
//   HostRemainingTime as the time per frame so far times the frames left (0 at the last frame).
// - Render-item status codes: 3 queued, 4 stopped by the user, 5 failed, 6 done.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/StandInHost.h"
#include "plugin/HostInterface.h"
#include "session/RQSession.h"

namespace brevant_host {

constexpr int32_t kItemStatusQueued = 3;
constexpr int32_t kItemStatusStopped = 4;
constexpr int32_t kItemStatusFailed = 5;
constexpr int32_t kItemStatusDone = 6;
constexpr int32_t kUpdateStatusRendering = 2;

// A fault that the job file asks for, applied with SetFault (or SetSuiteFault when `suite` is
// set) by ApplyJobFaults.
struct JobFault {
    HostCall call = HostCall::AcquireSuite;
    HostErr code = kHostErrGeneric;
    int skip = 0;
    int times = -1;
    std::string suite;         // AcquireSuite only: the one suite that fails
    int32_t suiteVersion = 0;
};

// One frame as the host hands it to RenderItemUpdate: the update record points at the world,
// the world at the pixels. Not copyable, so the pointers cannot dangle.
struct HOST_API FrameRecord {
    FrameRecord() = default;
    FrameRecord(const FrameRecord&) = delete;
    FrameRecord& operator=(const FrameRecord&) = delete;

    std::vector<uint8_t> pixels;  // 8-bit ARGB, world.rowBytes apart
    HostWorld world{};
    HostFrameUpdate update{};
};

class HOST_API Job {
public:
    explicit Job(std::unique_ptr<HostRenderQueue> queue);
    ~Job();
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;

    // The job file's name as given to LoadJob or ParseJob.
    const std::string& SourceName() const;
    const std::string& ProjectName() const;
    HostString ProjectNameUtf16() const;

    // The render queue record that the host passes to RenderItemUpdate and HostRemainingTime.
    HostRenderQueue* Queue() const;
    int32_t ItemCount() const;
    // The render item at zero-based queue position `index`, or null when there is none.
    HostRenderItem* Item(int32_t index) const;
    // Frames that item `index` renders (its composition's duration), 0 for no such item.
    int32_t ItemFrames(int32_t index) const;

    // Relative output paths resolve against the output directory: the job file's
    // "outputDirectory" if absolute, else that joined to the base directory, which is the
    // directory given to the render driver (the current directory when empty).
    void SetBaseDirectory(const std::string& directory);
    // Replaces the job file's "outputDirectory" (brevant-host's --out: the command line wins).
    void SetOutputDirectory(const std::string& directory);
    std::string OutputDirectory() const;

    const std::vector<JobFault>& Faults() const;

    // Draws frame `frameId` (1 to ItemFrames) of item `index` into `frame` and fills its update
    // record: the item's project item, frames total, the world, the frame id, the elapsed time
    // on the host's clock for the item (0 when the clock was not started for it) and
    // `updateStatus`. False, with `frame` untouched, for a bad index or frame id.
    bool PrepareFrame(int32_t index, int32_t frameId, int32_t updateStatus, FrameRecord& frame) const;
    // Starts the host's clock for item `index`, as the driver does before RenderItemStart.
    void StartItemClock(int32_t index);
    // Notes on the host's clock that `frame` is finished; HostRemainingTime answers for that
    // update from the time measured here.
    void MarkFrameDone(const FrameRecord& frame);

private:
    std::unique_ptr<HostRenderQueue> queue_;
};

// Reads a job file. On failure returns null and, when `error` is not null, writes a message
// naming the file, the place (line and column for malformed JSON, else a JSON pointer such as
// /items/0/outputModules/1/postRenderAction) and what was expected there.
HOST_API std::unique_ptr<Job> LoadJob(const std::string& path, std::string* error);
HOST_API std::unique_ptr<Job> ParseJob(const std::string& text, const std::string& sourceName,
                                       std::string* error);

// Sets every fault of the job (SetFault, SetSuiteFault). Faults already set stay set.
HOST_API void ApplyJobFaults(const Job& job);

// ---- The render driver ----------------------------------------------------------------------

struct FrameEvent {
    int32_t itemIndex;        // zero-based queue position
    int32_t frameId;          // from 1
    HostRenderQueue* queue;
    const HostFrameUpdate* update;  // the finished frame's record (updateStatus 3)
};

struct RenderOptions {
    // Base for relative output paths (see Job::SetBaseDirectory).
    std::string outputDirectory;
    // Frames per second to pace the render at; 0 renders as fast as possible.
    double fps = 0.0;
    // Checked before each frame; when set, the current item ends as stopped by the user (4)
    // and no further item starts. May be set from a signal handler.
    std::atomic<bool>* stop = nullptr;
    // "Rendering in progress" updates (status 2) sent before each finished frame.
    int32_t progressUpdatesPerFrame = 1;
    // Applies the job's faults before the session starts.
    bool applyFaults = true;
    // Called after the session has been told of each finished frame, while its record is valid.
    std::function<void(const FrameEvent&)> onFrame;
};

// What one file-based output module with a path wrote.
struct WrittenOutput {
    int32_t itemIndex = 0;
    int32_t moduleIndex = 0;
    std::string path;       // the resolved path; for a sequence the first frame's file
    bool sequence = false;  // one JPEG per frame, else one growing file
    int32_t fileCount = 0;
    uint64_t bytes = 0;     // on disk after the render, across the whole sequence
};

struct ItemOutcome {
    int32_t itemIndex = 0;
    int32_t framesTotal = 0;
    int32_t framesRendered = 0;
    int32_t status = 0;     // the status given to RenderItemEnd
};

// A failure that the driver caught: an exception out of a session operation, or the host's own
// trouble (a start refused, a file that could not be written).
struct RenderError {
    std::string operation;  // "DescribeAddItem", "RenderItemUpdate", "WriteOutput" ...
    int32_t itemIndex = -1; // -1 when it concerns no item
    HostErr code = 0;       // the integer a session operation threw; 0 for other failures
    std::string message;
};

struct RenderSummary {
    bool started = false;     // a session was obtained
    bool described = false;   // the description went through without a failure
    bool stopped = false;     // the stop flag ended the render
    int32_t itemsInJob = 0;   // items the job queues
    int32_t items = 0;        // items that started
    int64_t frames = 0;       // finished frames, all items
    std::vector<ItemOutcome> outcomes;
    std::vector<WrittenOutput> outputs;
    std::vector<RenderError> errors;
};

// Renders the job through a session from `provider`, as the host application does:
// Brevant_StartSession, DescribeBegin(project), DescribeAddItem(i, item) per queued item,
// DescribeEnd; then per item RenderItemStart, per frame the progress updates (status 2), the
// drawing and writing of the outputs, the finished update (status 3) and the job file's log
// messages for that frame; RenderItemEnd with 6 done, 4 stopped or the job file's failure status
// (or 5 when an output file cannot be written: the item fails at that frame, before its update);
// and last the release of the session. Exceptions out of session operations are caught, logged
// under the tag "Host" and recorded; a failed description stops the render before any item.
HOST_API RenderSummary RenderJob(Job& job, const BrevantProviderSuite1& provider,
                                 const RenderOptions& options);

// One line per item outcome, output and error, for people.
HOST_API std::string FormatSummary(const RenderSummary& summary);

// Makes the folders that the job's file-based output modules write into and tries to write a
// file in each (and removes it), so that an output that cannot be written is refused before a
// render. False with a message naming the folder and the reason at the first that fails.
HOST_API bool CheckOutputFolders(const Job& job, std::string* error);

}  // namespace brevant_host

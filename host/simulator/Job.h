// Jobs of the render-queue simulator: a render queue read from a job file, with what the job file
// says should happen while it renders (each item's plan, the host faults to set). The driver that
// renders a job through a session is in RenderDriver.h.
//
// A Job owns every record that the host calls of the plug-in interface hand out (render queue,
// render items, compositions, output modules, output specs). Pointers taken from it stay valid
// until the Job is destroyed. The records carry only what the host application's records do;
// the plans and faults are the Job's. One host per process; everything here is [main-thread].
//
// Conventions of the stand-in host that plug-ins and clients see through these records:
// - Frame ids count from 1: frame id f is the f-th frame of the item, written to disk with the
//   frame number startFrame + f - 1.
// - Times are milliseconds: HostFrameUpdate.elapsedTime since the item started, and
//   HostRemainingTime as the time per frame so far times the frames left (0 at the last frame).
// - Render-item status codes: 3 queued, 4 stopped by the user, 5 failed, 6 done.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/core/StandInHost.h"
#include "plugin/HostInterface.h"

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

struct LogPlan {
    int32_t atFrame = 0;  // after this frame's finished update; 0 right after RenderItemStart
    uint32_t type = 0;
    std::string text;
};

// What the job file says should become of an item while it renders.
struct RenderPlan {
    int32_t failAtFrame = -1;  // -1: does not fail
    int32_t failStatus = kItemStatusFailed;
    int32_t stopAtFrame = -1;  // -1: not stopped
    std::vector<LogPlan> logs;
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
    // `plans` holds one plan per item of the queue, in queue order.
    Job(std::unique_ptr<HostRenderQueue> queue, std::vector<RenderPlan> plans, std::vector<JobFault> faults);
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
    // The plan of item `index`; an item without one (a bad index) neither fails nor stops.
    const RenderPlan& Plan(int32_t index) const;

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
    std::vector<RenderPlan> plans_;
    std::vector<JobFault> faults_;
};

// Reads a job file. On failure returns null and, when `error` is not null, writes a message
// naming the file, the place (line and column for malformed JSON, else a JSON pointer such as
// /items/0/outputModules/1/postRenderAction) and what was expected there.
HOST_API std::unique_ptr<Job> LoadJob(const std::string& path, std::string* error);
HOST_API std::unique_ptr<Job> ParseJob(const std::string& text, const std::string& sourceName,
                                       std::string* error);

// Sets every fault of the job (SetFault, SetSuiteFault). Faults already set stay set.
HOST_API void ApplyJobFaults(const Job& job);

}  // namespace brevant_host

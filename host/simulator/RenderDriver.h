// The render driver of the simulator: what the host application's render queue does with a
// Brevant session, frame by frame, with real pictures and real files. [main-thread]
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/simulator/Job.h"
#include "session/RQSession.h"

namespace brevant_host {

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

// The render driver: what the host application's render queue does with a session, frame by
// frame, with real pictures and real files. [main-thread]
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "host/simulator/RenderDriver.h"
#include "host/simulator/Records.h"

namespace brevant_host {
namespace {

using Clock = std::chrono::steady_clock;

int32_t ElapsedMilliseconds(const ItemClock& clock, int32_t itemIndex) {
    if (!clock.running || clock.itemIndex != itemIndex) return 0;
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - clock.start).count();
    return static_cast<int32_t>(std::min<int64_t>(elapsed, INT32_MAX));
}

void FillUpdate(const HostRenderItem& item, int32_t frameId, int32_t updateStatus, HostWorld* world,
                int32_t elapsedMs, HostFrameUpdate& update) {
    update = HostFrameUpdate{};
    update.item = HostRenderItemProjectItem(&item);
    update.framesTotal = item.composition.frames;
    update.frameBuffer = world;
    update.frameId = frameId;
    update.elapsedTime = elapsedMs;
    update.updateStatus = updateStatus;
}

const char* StatusName(int32_t status) {
    switch (status) {
        case kItemStatusDone: return "done";
        case kItemStatusStopped: return "stopped";
        case kItemStatusFailed: return "failed";
        default: return "ended";
    }
}

// Runs one session operation; what it throws is logged and recorded, never passed on.
template <typename Operation>
bool CallSession(const char* operation, int32_t itemIndex, RenderSummary& summary, Operation&& run) {
    RenderError error;
    error.operation = operation;
    error.itemIndex = itemIndex;
    try {
        run();
        return true;
    } catch (int32_t code) {
        error.code = code;
        error.message = "host code " + std::to_string(code);
    } catch (const std::exception& failure) {
        error.message = std::string("standard exception: ") + failure.what();
    } catch (...) {
        error.message = "unknown exception";
    }
    HostLog(0, "Host", operation, "item %d: %s", itemIndex, error.message.c_str());
    summary.errors.push_back(std::move(error));
    return false;
}

// The frame in the forms the output modules write, each made at most once per frame.
class FrameEncodings {
public:
    explicit FrameEncodings(const HostWorld& world) : world_(world) {}

    const std::vector<uint8_t>& Rgb() {
        if (video_.rgb.empty()) ScaleWorldToFrame(world_, world_.width, world_.height, video_);
        return video_.rgb;
    }
    // The same compressor as HostCompressToJpeg, but free of its faults: a fault set for the
    // plug-in's thumbnails must not be spent on the host's own files.
    const std::vector<uint8_t>& Jpeg() {
        if (jpeg_.empty()) jpeg_ = CompressRgbToJpeg(Rgb().data(), world_.width, world_.height);
        return jpeg_;
    }

private:
    const HostWorld& world_;
    HostVideoFrame video_;
    std::vector<uint8_t> jpeg_;
};

// Writes the frame for every file-based module of the item that has a path. A module that
// cannot be written is reported and the result is false: the item fails there.
bool WriteOutputs(HostRenderItem& item, int32_t frameId, const HostWorld& world, std::vector<bool>& broken,
                  RenderSummary& summary) {
    bool written = true;
    FrameEncodings encodings(world);
    for (size_t m = 0; m < item.modules.size(); ++m) {
        HostOutputModule& module = *item.modules[m];
        if (!module.fileBased || module.pathTemplate.empty() || broken[m]) continue;
        std::string path;
        try {
            const int64_t frameNumber = static_cast<int64_t>(item.composition.startFrame) + frameId - 1;
            path = ResolveModulePath(module, module.sequence ? std::optional<int64_t>(frameNumber) : std::nullopt);
            const bool raw = !module.sequence && module.growingFormat == GrowingFileFormat::Raw;
            const std::vector<uint8_t>& bytes = raw ? encodings.Rgb() : encodings.Jpeg();

            std::error_code directoryError;
            std::filesystem::create_directories(std::filesystem::path(path).parent_path(), directoryError);
            const bool fresh = module.sequence || module.writtenFiles.empty();
            std::ofstream file(path, std::ios::binary | (fresh ? std::ios::trunc : std::ios::app));
            file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
            file.close();
            if (!file) throw std::runtime_error(std::strerror(errno ? errno : EIO));
            if (fresh) module.writtenFiles.push_back(path);
            module.bytesWritten += bytes.size();
        } catch (const std::exception& failure) {
            broken[m] = true;
            written = false;
            RenderError error;
            error.operation = "WriteOutput";
            error.itemIndex = item.index;
            error.message = "output module " + std::to_string(m) + ": cannot write " + path + ": " + failure.what();
            HostLog(0, "Host", "WriteOutput", "item %d: %s", item.index, error.message.c_str());
            summary.errors.push_back(std::move(error));
        }
    }
    return written;
}

void SendLogs(RQSession& session, const HostRenderItem& item, const RenderPlan& plan, int32_t atFrame,
              RenderSummary& summary) {
    for (const LogPlan& log : plan.logs) {
        if (log.atFrame != atFrame) continue;
        CallSession("Log", item.index, summary, [&] { session.Log(log.type, log.text.c_str()); });
    }
}

}  // namespace

bool Job::PrepareFrame(int32_t index, int32_t frameId, int32_t updateStatus, FrameRecord& frame) const {
    const HostRenderItem* item = Item(index);
    if (!item || frameId < 1 || frameId > item->composition.frames) return false;
    const HostComposition& comp = item->composition;
    const int64_t rowBytes = int64_t{comp.width} * 4;
    frame.pixels.resize(static_cast<size_t>(rowBytes) * static_cast<size_t>(comp.height));
    frame.world = HostWorld{comp.width, comp.height, rowBytes, frame.pixels.data()};
    DrawTestFrame(comp, frameId - 1, static_cast<int64_t>(comp.startFrame) + frameId - 1, frame.world);
    FillUpdate(*item, frameId, updateStatus, &frame.world, ElapsedMilliseconds(queue_->clock, index), frame.update);
    return true;
}

RenderSummary RenderJob(Job& job, const BrevantProviderSuite1& provider, const RenderOptions& options) {
    RenderSummary summary;
    summary.itemsInJob = job.ItemCount();
    if (options.applyFaults) ApplyJobFaults(job);
    job.SetBaseDirectory(options.outputDirectory);
    for (int32_t i = 0; i < job.ItemCount(); ++i) {
        for (auto& module : job.Item(i)->modules) {
            module->writtenFiles.clear();
            module->bytesWritten = 0;
        }
    }

    std::shared_ptr<RQSession> session;
    HostErr started = kHostErrGeneric;
    if (provider.Brevant_StartSession) {
        try {
            started = provider.Brevant_StartSession(&session);
        } catch (...) {
            started = kHostErrGeneric;
        }
    }
    if (started != kHostErrNone || !session) {
        RenderError error;
        error.operation = "Brevant_StartSession";
        error.code = started;
        error.message = provider.Brevant_StartSession ? "no session (result " + std::to_string(started) + ")"
                                                      : "the provider suite has no Brevant_StartSession";
        HostLog(0, "Host", "RenderJob", "%s", error.message.c_str());
        summary.errors.push_back(std::move(error));
        return summary;
    }
    summary.started = true;

    const HostString projectName = job.ProjectNameUtf16();
    bool described = CallSession("DescribeBegin", -1, summary, [&] { session->DescribeBegin(projectName); });
    for (int32_t i = 0; described && i < job.ItemCount(); ++i) {
        described = CallSession("DescribeAddItem", i, summary, [&] { session->DescribeAddItem(i, *job.Item(i)); });
    }
    described = described && CallSession("DescribeEnd", -1, summary, [&] { session->DescribeEnd(); });
    summary.described = described;

    const auto framePeriod = options.fps > 0.0
                                 ? std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / options.fps))
                                 : Clock::duration::zero();
    FrameRecord frame;
    for (int32_t index = 0; described && index < job.ItemCount() && !summary.stopped; ++index) {
        if (options.stop && options.stop->load()) {
            summary.stopped = true;
            break;
        }
        HostRenderItem& item = *job.Item(index);
        const RenderPlan& plan = job.Plan(index);
        ItemOutcome outcome;
        outcome.itemIndex = index;
        outcome.framesTotal = item.composition.frames;
        outcome.status = kItemStatusDone;
        std::vector<bool> broken(item.modules.size(), false);

        job.StartItemClock(index);
        ++summary.items;
        CallSession("RenderItemStart", index, summary, [&] { session->RenderItemStart(nullptr); });
        SendLogs(*session, item, plan, 0, summary);
        if (plan.failAtFrame == 0) {
            outcome.status = plan.failStatus;
        } else if (plan.stopAtFrame == 0) {
            outcome.status = kItemStatusStopped;
        }

        for (int32_t frameId = 1; frameId <= item.composition.frames && plan.failAtFrame != 0 && plan.stopAtFrame != 0;
             ++frameId) {
            const Clock::time_point frameStart = Clock::now();
            if (options.stop && options.stop->load()) {
                outcome.status = kItemStatusStopped;
                summary.stopped = true;
                break;
            }
            HostRenderQueue* queue = job.Queue();
            for (int32_t u = 0; u < options.progressUpdatesPerFrame; ++u) {
                FillUpdate(item, frameId, kUpdateStatusRendering, nullptr, ElapsedMilliseconds(queue->clock, index),
                           frame.update);
                CallSession("RenderItemUpdate", index, summary, [&] { session->RenderItemUpdate(queue, &frame.update); });
            }
            job.PrepareFrame(index, frameId, kHostUpdateStatusFrameDone, frame);
            if (!WriteOutputs(item, frameId, frame.world, broken, summary)) {
                outcome.status = kItemStatusFailed;
                break;
            }
            job.MarkFrameDone(frame);
            frame.update.elapsedTime = ElapsedMilliseconds(queue->clock, index);
            CallSession("RenderItemUpdate", index, summary, [&] { session->RenderItemUpdate(queue, &frame.update); });
            ++summary.frames;
            ++outcome.framesRendered;
            if (options.onFrame) {
                const FrameEvent event{index, frameId, queue, &frame.update};
                CallSession("onFrame", index, summary, [&] { options.onFrame(event); });
            }
            SendLogs(*session, item, plan, frameId, summary);
            if (plan.failAtFrame == frameId) {
                outcome.status = plan.failStatus;
                break;
            }
            if (plan.stopAtFrame == frameId) {
                outcome.status = kItemStatusStopped;
                break;
            }
            if (framePeriod > Clock::duration::zero()) std::this_thread::sleep_until(frameStart + framePeriod);
        }

        CallSession("RenderItemEnd", index, summary, [&] { session->RenderItemEnd(nullptr, outcome.status); });
        item.status = outcome.status;
        summary.outcomes.push_back(outcome);

        for (size_t m = 0; m < item.modules.size(); ++m) {
            const HostOutputModule& module = *item.modules[m];
            if (module.writtenFiles.empty()) continue;
            WrittenOutput output;
            output.itemIndex = index;
            output.moduleIndex = static_cast<int32_t>(m);
            output.sequence = module.sequence;
            output.path = module.writtenFiles.front();
            output.fileCount = static_cast<int32_t>(module.writtenFiles.size());
            for (const std::string& path : module.writtenFiles) output.bytes += RegularFileSize(path);
            summary.outputs.push_back(std::move(output));
        }
    }
    job.Queue()->clock.running = false;

    // The last reference: the session ends here, and with it the job for its listeners.
    session.reset();
    return summary;
}

std::string FormatSummary(const RenderSummary& summary) {
    std::ostringstream text;
    const int32_t neverStarted = std::max(summary.itemsInJob - summary.items, 0);
    text << summary.items;
    if (neverStarted > 0) text << " of " << summary.itemsInJob;
    text << ((neverStarted > 0 ? summary.itemsInJob : summary.items) == 1 ? " item, " : " items, ") << summary.frames
         << (summary.frames == 1 ? " frame" : " frames") << (summary.stopped ? ", stopped" : "")
         << (summary.started && !summary.described ? ", description failed" : "");
    if (neverStarted > 0) text << ", " << neverStarted << " never started";
    text << "\n";
    for (const ItemOutcome& outcome : summary.outcomes) {
        text << "item " << outcome.itemIndex + 1 << ": " << outcome.framesRendered << "/" << outcome.framesTotal
             << " frames, " << StatusName(outcome.status) << " (" << outcome.status << ")\n";
    }
    for (const WrittenOutput& output : summary.outputs) {
        text << "item " << output.itemIndex + 1 << " output " << output.moduleIndex + 1 << ": " << output.path << " ("
             << output.fileCount << (output.fileCount == 1 ? " file, " : " files, ") << output.bytes << " bytes)\n";
    }
    for (const RenderError& error : summary.errors) {
        text << "error: " << error.operation;
        if (error.itemIndex >= 0) text << " (item " << error.itemIndex + 1 << ")";
        text << ": " << error.message << "\n";
    }
    return text.str();
}

bool CheckOutputFolders(const Job& job, std::string* error) {
    std::vector<std::string> checked;
    for (int32_t index = 0; index < job.ItemCount(); ++index) {
        const HostRenderItem& item = *job.Item(index);
        for (const auto& module : item.modules) {
            if (!module->fileBased || module->pathTemplate.empty()) continue;
            const std::string folder =
                std::filesystem::path(ResolveModulePath(*module, item.composition.startFrame)).parent_path().string();
            if (std::find(checked.begin(), checked.end(), folder) != checked.end()) continue;
            checked.push_back(folder);
            std::error_code made;
            std::filesystem::create_directories(folder, made);
            const std::string probe = (std::filesystem::path(folder) / ".brevant-host-write-test").string();
            errno = 0;
            std::ofstream file(probe, std::ios::binary | std::ios::trunc);
            const int openError = errno != 0 ? errno : EACCES;
            if (!file) {
                if (error) {
                    *error = "cannot write to the output folder " + folder + ": " +
                             (made ? made.message() : std::string(std::strerror(openError)));
                }
                return false;
            }
            file.close();
            std::error_code removed;
            std::filesystem::remove(probe, removed);
        }
    }
    return true;
}

}  // namespace brevant_host

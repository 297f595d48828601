// A job of the simulator: the render queue read from a job file, each item's plan, the faults
// it sets, and the host's clock for the item being rendered. [main-thread]
#include "host/simulator/Job.h"

#include <chrono>
#include <utility>

#include "host/simulator/Records.h"

namespace brevant_host {

Job::Job(std::unique_ptr<HostRenderQueue> queue, std::vector<RenderPlan> plans, std::vector<JobFault> faults)
    : queue_(std::move(queue)), plans_(std::move(plans)), faults_(std::move(faults)) {
    if (!queue_) queue_ = std::make_unique<HostRenderQueue>();
    plans_.resize(queue_->items.size());
}

Job::~Job() = default;

const std::string& Job::SourceName() const { return queue_->sourceName; }
const std::string& Job::ProjectName() const { return queue_->projectName; }
HostString Job::ProjectNameUtf16() const { return FromUtf8(queue_->projectName); }
HostRenderQueue* Job::Queue() const { return queue_.get(); }
int32_t Job::ItemCount() const { return static_cast<int32_t>(queue_->items.size()); }

HostRenderItem* Job::Item(int32_t index) const {
    if (index < 0 || index >= ItemCount()) return nullptr;
    return queue_->items[static_cast<size_t>(index)].get();
}

int32_t Job::ItemFrames(int32_t index) const {
    const HostRenderItem* item = Item(index);
    return item ? item->composition.frames : 0;
}

void Job::SetBaseDirectory(const std::string& directory) { queue_->baseDirectory = directory; }
void Job::SetOutputDirectory(const std::string& directory) { queue_->outputDirectory = directory; }
std::string Job::OutputDirectory() const { return queue_->EffectiveOutputDirectory(); }
const std::vector<JobFault>& Job::Faults() const { return faults_; }

const RenderPlan& Job::Plan(int32_t index) const {
    static const RenderPlan kUneventful;
    if (index < 0 || index >= ItemCount()) return kUneventful;
    return plans_[static_cast<size_t>(index)];
}

void Job::StartItemClock(int32_t index) {
    ItemClock& clock = queue_->clock;
    clock.running = Item(index) != nullptr;
    clock.itemIndex = index;
    clock.start = std::chrono::steady_clock::now();
    clock.doneFrameId = 0;
    clock.doneElapsed = std::chrono::nanoseconds(0);
}

void Job::MarkFrameDone(const FrameRecord& frame) {
    ItemClock& clock = queue_->clock;
    if (!clock.running) return;
    clock.doneFrameId = frame.update.frameId;
    clock.doneElapsed = std::chrono::steady_clock::now() - clock.start;
}

void ApplyJobFaults(const Job& job) {
    for (const JobFault& fault : job.Faults()) {
        if (fault.call == HostCall::AcquireSuite && !fault.suite.empty()) {
            SetSuiteFault(fault.suite, fault.suiteVersion, fault.code);
        } else {
            SetFault(fault.call, fault.code, fault.skip, fault.times);
        }
    }
}

}  // namespace brevant_host

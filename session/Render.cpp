// Following the render: item start, frame updates, item end and log messages, and the progress
// properties of the frame being relayed. The session does no timing of its own: every number
// is the host's.
#include "plugin/BrevantPlugin.h"
#include "plugin/Text.h"
#include "session/BrevantSession.h"

namespace brevant {
namespace {

int32_t ListenerStatusOf(int32_t hostStatus) {
    switch (hostStatus) {
        case 4: return kListenerStatusStopped;
        case 6: return kListenerStatusDone;
        default: return kListenerStatusFailed;
    }
}

uint8_t LogFlagOf(uint32_t messageType) {
    switch (messageType) {
        case 1: case 2: case 4: case 8: case 16: return 1;
        default: return 0;
    }
}

}  // namespace

void BrevantSession::RenderItemStart(void*) {
    LogOperation("RenderItemStart");
    int32_t itemId = -1;
    int32_t moduleCount = 0;
    if (itemCursor >= 0 && static_cast<size_t>(itemCursor) < jobItemIds.size()) {
        itemId = jobItemIds[static_cast<size_t>(itemCursor)];
        if (const std::vector<PropertyList>* modules = JobItemOutputModuleSettings(itemId)) {
            moduleCount = static_cast<int32_t>(modules->size());
            outputModuleProperties.resize(modules->size());
        }
    } else {
        // More starts than described items: no item is current, and no output module.
        HostLog(0, "BrevantSession", "RenderItemStart", "this=%x, cursor=%d is past the %d described items",
                LogAddress(this), itemCursor, static_cast<int>(jobItemIds.size()));
    }
    state = ItemStarted;
    currentItemId = itemId;
    currentOutputModuleCount = moduleCount;
    currentFrameId = -1;
    if (BrevantPlugin* live = LivePlugin()) live->JobItemStart(*this, itemId);
}

void BrevantSession::RenderItemUpdate(HostRenderQueue* queue, HostFrameUpdate* update) {
    if (!update || update->updateStatus != kHostUpdateStatusFrameDone) return;
    LogOperation("RenderItemUpdate");
    currentFrameId = update->frameId;
    frameProperties.clear();
    for (int32_t m = 0; m < currentOutputModuleCount; ++m) outputModuleProperties[static_cast<size_t>(m)].clear();

    // The host lends the queue and the record only for this relay; they are forgotten on every
    // way out, also when a listener's query made the relay throw.
    struct LendUpdate {
        BrevantSession& session;
        LendUpdate(BrevantSession& s, HostRenderQueue* q, HostFrameUpdate* u) : session(s) {
            session.updateContext = q;
            session.updateRecord = u;
        }
        ~LendUpdate() {
            session.updateContext = nullptr;
            session.updateRecord = nullptr;
        }
    } lend(*this, queue, update);
    if (BrevantPlugin* live = LivePlugin()) live->JobItemUpdate(*this, currentItemId, currentFrameId);
}

void BrevantSession::RenderItemEnd(void*, int32_t hostStatus) {
    LogOperation("RenderItemEnd");
    const int32_t listenerStatus = ListenerStatusOf(hostStatus);
    state = ItemEnded;
    currentFrameId = -1;
    if (BrevantPlugin* live = LivePlugin()) live->JobItemEnd(*this, currentItemId, listenerStatus);
    ++itemCursor;
    currentOutputModuleCount = -1;
}

void BrevantSession::Log(uint32_t messageType, const char* message) {
    LogOperation("Log");
    const uint8_t flag = LogFlagOf(messageType);
    const HostString text = HostMultiByteToUtf16(message ? message : "");
    if (BrevantPlugin* live = LivePlugin()) live->JobItemLog(*this, currentItemId, flag, text);
}

bool BrevantSession::GetNumJobItemFrameProperties(int32_t itemId, int64_t frameId, uint32_t& count) {
    if (itemId != currentItemId || frameId != currentFrameId) return false;
    count = 0;
    frameProperties.clear();
    if (updateContext && updateRecord) {
        Property& elapsed = frameProperties.append();
        AssignAscii(elapsed.key, "ElapsedTime");
        AssignDecimal(elapsed.value, updateRecord->elapsedTime);
        Property& total = frameProperties.append();
        AssignAscii(total.key, "FramesTotal");
        AssignDecimal(total.value, updateRecord->framesTotal);
        const int32_t remaining = HostRemainingTime(updateContext, updateRecord);
        if (remaining >= 1) {
            Property& left = frameProperties.append();
            AssignAscii(left.key, "RemainingTime");
            AssignDecimal(left.value, remaining);
        }
    }
    count = static_cast<uint32_t>(frameProperties.size());
    return true;
}

}  // namespace brevant

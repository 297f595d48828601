#include "session/BrevantSession.h"

#include "plugin/BrevantPlugin.h"
#include "plugin/Text.h"

namespace brevant {
namespace {

constexpr const char* kTag = "BrevantSession";
// Process-wide; sessions are created on the main thread only.
int64_t gNextSessionId = 1;

}  // namespace

BrevantSession::BrevantSession(BrevantPlugin* plugin)
    : plugin(plugin), pluginGeneration(plugin->Generation()), sessionId(gNextSessionId++) {
    HostLog(0, kTag, "ctor", "created=%x, id=%lld", LogAddress(this), static_cast<long long>(sessionId));
}

BrevantSession::~BrevantSession() {
    HostLog(0, kTag, "dtor", "this=%x, id=%lld, state=%d", LogAddress(this), static_cast<long long>(sessionId),
            state);
    // A destructor must not throw: the relays contain listener exceptions themselves, and a lock
    // or allocation failure of the registry is dropped here rather than ending the host.
    try {
        if (BrevantPlugin* live = LivePlugin()) {
            if (state >= Described) live->JobEnd(*this);
            live->SessionDestroyed(*this);
        }
    } catch (...) {
        HostLog(0, kTag, "dtor", "this=%x, id=%lld: job end not relayed", LogAddress(this),
                static_cast<long long>(sessionId));
    }
}

BrevantPlugin* BrevantSession::LivePlugin() const {
    BrevantPlugin* running = RunningPlugin();
    return running == plugin && running->Generation() == pluginGeneration ? running : nullptr;
}

void BrevantSession::LogOperation(const char* operation) const {
    HostLog(0, kTag, operation, "this=%x, state=%d", LogAddress(this), state);
}

void BrevantSession::DescribeBegin(const HostString& name) {
    LogOperation("DescribeBegin");
    state = Describing;
    projectName = name;
    char version[64] = {};
    const HostErr result = HostVersionString(HostAppVersion(0), true, version);
    if (result != kHostErrNone) throw static_cast<int32_t>(result);
    version[sizeof version - 1] = '\0';
    appVersion = HostMultiByteToUtf16(version);
}

void BrevantSession::DescribeEnd() {
    LogOperation("DescribeEnd");
    state = Described;
    if (BrevantPlugin* live = LivePlugin()) live->JobBegin(*this);
}

}  // namespace brevant

// RQSession: the render session that the host's render queue drives.
//
// The host obtains a session from "Brevant Provider Suite" 1 and holds it through a shared
// pointer; dropping the last reference ends the session. All operations are [main-thread],
// one at a time. Records passed in are borrowed for the call only. Operations report host
// failures by throwing the host's error code as an int32_t; the host catches it.
//
// The order of the virtual operations is part of the interface with the host: never reorder.
#pragma once

#include <cstdint>
#include <memory>

#include "plugin/HostInterface.h"

// BREVANT_EXPORT comes from <brevant/host.h>. On Windows brevant.def names the class's exported
// members: dllexport on the class would also export its type information, which the host does
// not use.
#if defined(_WIN32)
#define BREVANT_EXPORT_CLASS
#else
#define BREVANT_EXPORT_CLASS BREVANT_EXPORT
#endif

class BREVANT_EXPORT_CLASS RQSession {
public:
    virtual ~RQSession();
    // Starts the job's description.
    virtual void DescribeBegin(const HostString& projectName) = 0;
    // The description is complete; listeners hear JobBegin.
    virtual void DescribeEnd() = 0;
    // Describes the render-queue item at zero-based position queueIndex.
    virtual void DescribeAddItem(int32_t queueIndex, HostRenderItem& item) = 0;
    // The next described item starts rendering.
    virtual void RenderItemStart(void* unused) = 0;
    // The current item ended with the host's status code.
    virtual void RenderItemEnd(void* unused, int32_t hostStatus) = 0;
    // Progress of the current item; a frame is done when update->updateStatus is 3.
    virtual void RenderItemUpdate(HostRenderQueue* queue, HostFrameUpdate* update) = 0;
    // A message about the current item.
    virtual void Log(uint32_t messageType, const char* message) = 0;

    RQSession(const RQSession&);
    RQSession& operator=(const RQSession&);

protected:
    RQSession();
};

extern "C" {

// "Brevant Provider Suite" 1. [main-thread]
struct BrevantProviderSuite1 {
    // Creates a session and writes the only strong reference into *out_session, replacing what
    // was there. Returns 0, or 1 when Brevant is not running or out_session is null (nothing
    // is written then).
    HostErr (*Brevant_StartSession)(std::shared_ptr<RQSession>* out_session);
};

}  // extern "C"

constexpr const char* kBrevantProviderSuite = "Brevant Provider Suite";
constexpr int32_t kBrevantProviderSuiteVersion = 1;

// RQSession as hosts were built against it. Never edit: if the real header's virtual order
// changes, the test that calls through this copy fails instead of a host.
#pragma once

#include <cstdint>

#include "plugin/HostInterface.h"

namespace frozen {

class RQSession {
public:
    virtual ~RQSession() = 0;
    virtual void DescribeBegin(const HostString& projectName) = 0;
    virtual void DescribeEnd() = 0;
    virtual void DescribeAddItem(int32_t queueIndex, HostRenderItem& item) = 0;
    virtual void RenderItemStart(void* unused) = 0;
    virtual void RenderItemEnd(void* unused, int32_t hostStatus) = 0;
    virtual void RenderItemUpdate(HostRenderQueue* queue, HostFrameUpdate* update) = 0;
    virtual void Log(uint32_t messageType, const char* message) = 0;
};

}  // namespace frozen

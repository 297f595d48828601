// The platform seam: the only place where the plug-in differs between operating systems.
#pragma once

#include "plugin/HostInterface.h"
#include "session/RQSession.h"

// The shutdown hook, registered with the host by BrevantMain.
extern "C" BREVANT_EXPORT HostErr DeathHook(void* globalRefcon, void* hookRefcon);
extern "C" BREVANT_EXPORT HostErr BrevantMain(const HostBasicSuite* basicSuite, int32_t majorVersion,
                                              int32_t minorVersion, int32_t pluginId, void** globalRefcon);

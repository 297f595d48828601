// Internal to the stand-in host's core: what its parts (suites, memory, log, faults, plug-ins,
// strings) tell each other. Not part of the host's API; nothing outside host/core/ includes it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/core/StandInHost.h"

namespace brevant_host {
namespace core {

// The host application's version, as HostAppVersion packs it: major in bits 24-31, minor in
// 16-23, bug-fix in 8-15, build stage in 0-7. Plug-in entry points receive major and minor.
constexpr int32_t kHostMajorVersion = 23;
constexpr int32_t kHostMinorVersion = 0;
constexpr int32_t kHostBugFixVersion = 0;
constexpr int32_t kHostPackedVersion =
    (kHostMajorVersion << 24) | (kHostMinorVersion << 16) | (kHostBugFixVersion << 8);

// Makes the calling thread the main thread if none is yet. Every host entry point calls it
// first, so that the first thread to touch the host is its main thread. [any-thread]
void ClaimMainThread();

// The tables of the host's own suites, registered under their (name, version).
const void* OrbSuitesTable();
const void* RegisterSuiteTable();
const void* UtilitySuiteTable();
const void* MemorySuiteTable();

// True when the log sink is the tests' recorder: messages shown through the utility suite are
// then only recorded, not written to standard error. [any-thread]
bool SinkIsRecorder();

// TakeFault without its main-thread claim, for the host's own hot paths (which have claimed
// already): bound directly inside the library, where a call to the exported TakeFault goes
// through the procedure linkage table. [any-thread]
bool TakeCallFault(HostCall call, HostErr* code);

// True when acquisitions of (name, version) must fail through SetSuiteFault. [any-thread]
bool TakeSuiteFault(const char* name, int32_t version, HostErr* code);

// The parts' share of ResetHost and LeakReport.
void ResetFaults();
void ResetLog();
void ResetThreads();
void ResetSuites();
void ResetMemory();
void ResetPlugins();
std::vector<std::string> SuiteLeaks();
std::vector<std::string> HandleLeaks();

}  // namespace core
}  // namespace brevant_host

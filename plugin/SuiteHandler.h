// SuiteHandler: the host suites that one Brevant operation uses.
//
// A handler is a local object of one operation on one thread. It acquires each suite on first
// use and releases everything it acquired when it ends, on every way out, "Orb Suites Suite"
// last. An accessor answers null when the suite cannot be had (after logging "whoops!"); the
// operation then ends with kBrevantErrSuiteMissing instead of calling into the missing table.
#pragma once

#include "plugin/HostInterface.h"

namespace brevant {

class SuiteHandler {
public:
    explicit SuiteHandler(const HostBasicSuite* basicSuite);
    ~SuiteHandler();
    SuiteHandler(const SuiteHandler&) = delete;
    SuiteHandler& operator=(const SuiteHandler&) = delete;

    const HostOrbSuitesSuite2* OrbSuitesSuite();
    const HostRegisterSuite6* RegisterSuite();
    const HostUtilitySuite7* UtilitySuite();
    const HostMemorySuite1* MemorySuite();

    static void MissingSuiteError();

private:
    // In the order of release.
    enum Entry { kRegister, kMemory, kUtility, kOrbSuites, kEntryCount };
    const void* Acquire(Entry entry);

    const HostBasicSuite* basicSuite_;
    const void* entries_[kEntryCount] = {};
};

}  // namespace brevant

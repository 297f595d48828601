#include "plugin/SuiteHandler.h"

namespace brevant {
namespace {

struct SuiteName {
    const char* name;
    int32_t version;
};

// Indexed by SuiteHandler::Entry.
constexpr SuiteName kSuiteNames[] = {
    {kHostRegisterSuite, kHostRegisterSuiteVersion},
    {kHostMemorySuite, kHostMemorySuiteVersion},
    {kHostUtilitySuite, kHostUtilitySuiteVersion},
    {kHostOrbSuitesSuite, kHostOrbSuitesSuiteVersion},
};

}  // namespace

SuiteHandler::SuiteHandler(const HostBasicSuite* basicSuite) : basicSuite_(basicSuite) {
    if (!basicSuite_) MissingSuiteError();
}

SuiteHandler::~SuiteHandler() {
    if (!basicSuite_) return;
    for (int entry = 0; entry < kEntryCount; ++entry) {
        if (entries_[entry]) basicSuite_->ReleaseSuite(kSuiteNames[entry].name, kSuiteNames[entry].version);
    }
}

void SuiteHandler::MissingSuiteError() { HostLog(0, "Brevant", "MissingSuiteError", "whoops!"); }

const void* SuiteHandler::Acquire(Entry entry) {
    if (entries_[entry]) return entries_[entry];
    const void* table = nullptr;
    if (!basicSuite_ || !basicSuite_->AcquireSuite ||
        basicSuite_->AcquireSuite(kSuiteNames[entry].name, kSuiteNames[entry].version, &table) != 0 ||
        !table) {
        MissingSuiteError();
        table = nullptr;
    }
    entries_[entry] = table;
    return table;
}

const HostOrbSuitesSuite2* SuiteHandler::OrbSuitesSuite() {
    return static_cast<const HostOrbSuitesSuite2*>(Acquire(kOrbSuites));
}
const HostRegisterSuite6* SuiteHandler::RegisterSuite() {
    return static_cast<const HostRegisterSuite6*>(Acquire(kRegister));
}
const HostUtilitySuite7* SuiteHandler::UtilitySuite() {
    return static_cast<const HostUtilitySuite7*>(Acquire(kUtility));
}
const HostMemorySuite1* SuiteHandler::MemorySuite() {
    return static_cast<const HostMemorySuite1*>(Acquire(kMemory));
}

}  // namespace brevant

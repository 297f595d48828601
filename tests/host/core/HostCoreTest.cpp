// The stand-in host's core through its own API and the tables it hands to plug-ins: memory
// handles, suite counting, faults, logging, strings, and reading and loading plug-ins.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <tuple>

#include "host/core/StandInHost.h"

namespace bh = brevant_host;

namespace {

class HostCoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        bh::ResetHost();
        bh::SetMainThread();
        bh::SetLogSink(bh::LogSink::Recorder);
        const void* table = nullptr;
        ASSERT_EQ(bh::BasicSuite()->AcquireSuite(kHostMemorySuite, kHostMemorySuiteVersion, &table), 0);
        memory_ = static_cast<const HostMemorySuite1*>(table);
    }
    void TearDown() override {
        bh::BasicSuite()->ReleaseSuite(kHostMemorySuite, kHostMemorySuiteVersion);
        for (HostMemoryHandle handle : bh::LiveHandles()) memory_->MemFree(handle);
        bh::SetLogSink(bh::LogSink::Off);
    }
    HostMemoryHandle Create(uint64_t size, int32_t flags, const char* label = "test") {
        HostMemoryHandle handle = nullptr;
        EXPECT_EQ(memory_->MemCreate(3, label, size, flags, &handle), 0);
        return handle;
    }
    const HostMemorySuite1* memory_ = nullptr;
};

// Every misuse of a handle is refused with a code and leaves out-parameters alone.
TEST_F(HostCoreTest, MemorySuiteRefusesBadHandlesAndArguments) {
    const HostMemorySuite1* m = memory_;
    void* const untouched = reinterpret_cast<void*>(0x77);
    HostMemoryHandle live = nullptr, freed = nullptr;
    void* out = untouched;
    const auto forged = [&] {  // the same slot, another generation
        return reinterpret_cast<HostMemoryHandle>(reinterpret_cast<uintptr_t>(live) + (uintptr_t{1} << 24));
    };
    const struct {
        const char* name;
        std::function<HostErr()> call;
        HostErr expected;
    } cases[] = {
        {"free freed", [&] { return m->MemFree(freed); }, kHostErrBadHandle},
        {"lock freed", [&] { return m->MemLock(freed, &out); }, kHostErrBadHandle},
        {"unlock freed", [&] { return m->MemUnlock(freed); }, kHostErrBadHandle},
        {"size of freed", [&] { return m->MemSize(freed, reinterpret_cast<uint64_t*>(&out)); }, kHostErrBadHandle},
        {"free null", [&] { return m->MemFree(nullptr); }, kHostErrBadHandle},
        {"free unknown", [&] { return m->MemFree(reinterpret_cast<HostMemoryHandle>(0x1234)); }, kHostErrBadHandle},
        {"lock forged generation", [&] { return m->MemLock(forged(), &out); }, kHostErrBadHandle},
        {"unlock never locked", [&] { return m->MemUnlock(live); }, kHostErrBadHandle},
        {"double unlock", [&] { void* block = nullptr; m->MemLock(live, &block); m->MemUnlock(live); return m->MemUnlock(live); },
         kHostErrBadHandle},
        {"lock without out", [&] { return m->MemLock(live, nullptr); }, kHostErrBadArgument},
        {"size without out", [&] { return m->MemSize(live, nullptr); }, kHostErrBadArgument},
        {"create without out", [&] { return m->MemCreate(3, "x", 8, 0, nullptr); }, kHostErrBadArgument}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        live = Create(8, 0);
        freed = Create(8, 0);
        ASSERT_EQ(m->MemFree(freed), 0);
        EXPECT_EQ(c.call(), c.expected);
        EXPECT_EQ(out, untouched);
        EXPECT_EQ(bh::LiveHandleCount(), 1u);
        EXPECT_EQ(m->MemFree(live), 0);
    }
    HostMemoryHandle huge = nullptr;
    EXPECT_EQ(m->MemCreate(3, "huge", (uint64_t{1} << 30) + 1, 0, &huge), kHostErrOutOfMemory);
    EXPECT_EQ(huge, nullptr);
}

TEST_F(HostCoreTest, BlocksAreZeroFilledOnlyOnRequestAndRecordTheirOrigin) {
    const std::tuple<int32_t, uint64_t, uint8_t> cases[] = {  // flags, size, fill
        {kHostMemFlagClear, 16, 0x00}, {0, 16, 0xCD}, {kHostMemFlagClear, 0, 0}, {0, 3, 0xCD}};
    for (const auto& [flags, size, fill] : cases) {
        SCOPED_TRACE(flags * 100 + size);
        HostMemoryHandle handle = Create(size, flags, "block");
        bh::HandleInfo info;
        ASSERT_TRUE(bh::InspectHandle(handle, &info));
        EXPECT_EQ(info.bytes, std::vector<uint8_t>(size, fill));
        EXPECT_EQ(std::tie(info.ownerId, info.label, info.flags), std::make_tuple(3, "block", flags));
        uint64_t got = 99;
        EXPECT_EQ(memory_->MemSize(handle, &got), 0);
        EXPECT_EQ(got, size);
        EXPECT_EQ(memory_->MemFree(handle), 0);
    }
}

// What every test's tear-down relies on to see a leak.
TEST_F(HostCoreTest, LeaksAreReported) {
    HostMemoryHandle handle = Create(8, kHostMemFlagClear, "text");
    const auto leaks = bh::LeakReport();
    ASSERT_EQ(leaks.size(), 2u);
    EXPECT_EQ(leaks[0], "suite \"KOVA Memory Suite\" 1 still acquired 1 time(s)");
    EXPECT_EQ(leaks[1].rfind("handle 0x", 0), 0u);
    EXPECT_NE(leaks[1].find("(text, 8 bytes, owner 3) never freed"), std::string::npos);
    memory_->MemFree(handle);
    HostString text;
    EXPECT_FALSE(bh::ReadStringHandle(handle, &text));
}

// The suites served and their counts are checked where they are used, by the plug-in and client helpers.
TEST_F(HostCoreTest, UnknownSuitesAreRefusedAndLeaveTheTable) {
    const HostBasicSuite* basic = bh::BasicSuite();
    const void* sentinel = &sentinel;
    const std::tuple<const char*, int32_t, HostErr> cases[] = {
        {kHostMemorySuite, 2, kHostErrUnknownSuite}, {"No Such Suite", 1, kHostErrUnknownSuite}, {nullptr, 1, kHostErrBadArgument}};
    for (const auto& [name, version, expected] : cases) {
        SCOPED_TRACE(name ? name : "null");
        const void* table = sentinel;
        EXPECT_EQ(basic->AcquireSuite(name, version, &table), expected);
        EXPECT_EQ(table, sentinel);
    }
    EXPECT_EQ(basic->AcquireSuite(kHostMemorySuite, 1, nullptr), kHostErrBadArgument);
    EXPECT_NE(basic->ReleaseSuite(kHostUtilitySuite, 7), 0);  // not held
    EXPECT_NE(basic->ReleaseSuite("No Such Suite", 1), 0);
    const std::map<std::pair<std::string, int32_t>, int64_t> held = {{{kHostMemorySuite, 1}, 1}};
    EXPECT_EQ(bh::HeldSuites(), held);  // the fixture's own
}

TEST_F(HostCoreTest, PublishedSuitesAreServedAndRepublishingReplacesTheTable) {
    const void* orb = nullptr;
    ASSERT_EQ(bh::BasicSuite()->AcquireSuite(kHostOrbSuitesSuite, 2, &orb), 0);
    auto publish = static_cast<const HostOrbSuitesSuite2*>(orb)->PublishSuite;
    const int first = 1, second = 2;
    void* reference = nullptr;
    EXPECT_EQ(publish(nullptr, nullptr, "Mine", 1, 1, &first, &reference), 0);
    EXPECT_NE(reference, nullptr);
    EXPECT_EQ(publish(nullptr, nullptr, "Other", 3, 1, &first, nullptr), 0);
    EXPECT_EQ(publish(nullptr, nullptr, "Mine", 1, 1, &second, nullptr), 0);
    EXPECT_EQ(publish(nullptr, nullptr, "Mine", 1, 1, nullptr, nullptr), kHostErrBadArgument);
    EXPECT_EQ(publish(nullptr, nullptr, kHostMemorySuite, 1, 1, &first, nullptr), kHostErrBadArgument);
    const void* table = nullptr;
    ASSERT_EQ(bh::BasicSuite()->AcquireSuite("Mine", 1, &table), 0);
    EXPECT_EQ(table, &second);
    const std::vector<std::pair<std::string, int32_t>> published = {{"Mine", 1}, {"Other", 3}};
    EXPECT_EQ(bh::PublishedSuites(), published);

    // A reset forgets publications but keeps what is held, so the release still balances.
    bh::ResetHost();
    EXPECT_TRUE(bh::PublishedSuites().empty());
    EXPECT_EQ(bh::BasicSuite()->AcquireSuite("Other", 3, &table), kHostErrUnknownSuite);
    EXPECT_EQ(bh::HeldSuites().size(), 3u);
    EXPECT_EQ(bh::BasicSuite()->ReleaseSuite("Mine", 1), 0);
    EXPECT_EQ(bh::BasicSuite()->ReleaseSuite(kHostOrbSuitesSuite, 2), 0);
}

// Suite faults and what a failed call leaves are the plug-in tests' (entry, handles).
TEST_F(HostCoreTest, FaultsFailAfterSkippedUsesForTheGivenTimes) {
    const struct {
        int skip, times;
        HostErr code;
        std::vector<HostErr> results;  // of five uses; a fault of code 0 fails all the same
    } cases[] = {{0, 1, 31, {31, 0, 0, 0, 0}}, {2, 2, 31, {0, 0, 31, 31, 0}}, {1, -1, 31, {0, 31, 31, 31, 31}},
                 {0, 0, 31, {0, 0, 0, 0, 0}}, {0, 1, 0, {kHostErrGeneric, 0, 0, 0, 0}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.skip << "/" << c.times);
        bh::ClearFaults();
        bh::SetFault(bh::HostCall::VersionString, c.code, c.skip, c.times);
        std::vector<HostErr> results;
        char buffer[64] = "unwritten";
        for (int use = 0; use < 5; ++use) {
            results.push_back(HostVersionString(HostAppVersion(0), true, buffer));
            EXPECT_STREQ(buffer, results.back() != 0 ? "unwritten" : "23.0.0 (Brevant stand-in host)");
            std::snprintf(buffer, sizeof buffer, "unwritten");
        }
        EXPECT_EQ(results, c.results);
    }
    bh::ClearFaults();
}

TEST_F(HostCoreTest, TextConversionsReplaceWhatIsNotText) {
    // A stray continuation byte, a truncated sequence, an overlong one, a surrogate, past U+10FFFF.
    const std::pair<const char*, HostString> cases[] = {
        {"abc", u"abc"}, {"f\xc3\xbcnf", u"f\u00fcnf"}, {"\xf0\x9f\x98\x80", u"\U0001F600"}, {"a\x80z", u"a\uFFFDz"},
        {"\xe2\x82z", u"\uFFFDz"}, {"\xc0\xaf", u"\uFFFD\uFFFD"}, {"\xed\xa0\x80", u"\uFFFD\uFFFD\uFFFD"},
        {"\xf4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"}, {"", u""}, {nullptr, u""}};
    for (const auto& [utf8, expected] : cases) EXPECT_EQ(HostMultiByteToUtf16(utf8), expected) << (utf8 ? utf8 : "null");
    // And back: two-, three- and four-byte forms, and a lone surrogate.
    EXPECT_EQ(bh::ToUtf8(u"f\u00fcn\u20ac\U0001F600" + HostString(1, char16_t{0xD800})), "f\xc3\xbcn\xe2\x82\xac\xf0\x9f\x98\x80\xef\xbf\xbd");
    EXPECT_EQ(HostAsciiToUtf16("ab\xe9", 3), u"ab\uFFFD");
    char shortForm[64];
    EXPECT_EQ(HostVersionString(0x17010200, false, shortForm), 0);
    EXPECT_STREQ(shortForm, "23.1.2");
    EXPECT_EQ(HostVersionString(0, false, nullptr), kHostErrBadArgument);
}

TEST_F(HostCoreTest, DamagedPropertyListsAreNamed) {
    const std::string truncated = testing::TempDir() + "host_core_truncated.so";
    {
        char head[256] = {};
        std::ifstream(FIXTURE_PLUGIN, std::ios::binary).read(head, sizeof head);
        std::ofstream(truncated, std::ios::binary).write(head, sizeof head);
    }
#if defined(_WIN32)
    const char* const damaged = "not a Windows library";
#else
    const char* const damaged = "damaged section header table";
#endif
    const std::pair<std::string, std::string> cases[] = {
        {FIXTURE_NOENTRY, "missing entry"}, {truncated, damaged}, {"/nonexistent/lib.so", "cannot open the file"}};
    for (const auto& [path, message] : cases) {
        bh::PropertyList list;
        list.name = "untouched";
        std::string error;
        EXPECT_FALSE(bh::ReadPropertyList(path, &list, &error)) << path;
        EXPECT_EQ(error, path + ": " + message);
        EXPECT_EQ(list.name, "untouched") << path;
    }
    std::remove(truncated.c_str());
}

TEST_F(HostCoreTest, LoadedPluginsGetFreshIdsAndTheirDeathHooksRunLastFirst) {
    bh::LoadedPlugin first, second, refused;
    std::string error;
    ASSERT_TRUE(bh::LoadPlugin(FIXTURE_PLUGIN, &first, &error)) << error;
    ASSERT_TRUE(bh::LoadPlugin(FIXTURE_PLUGIN, &second, &error)) << error;
    EXPECT_FALSE(bh::LoadPlugin(FIXTURE_NOENTRY, &refused, &error));
    EXPECT_EQ(refused.library, nullptr);
    const std::string entryLine = "major=23 minor=0 id=" + std::to_string(first.pluginId);
    EXPECT_EQ(bh::RecordedLog().at(0).message, entryLine);
    EXPECT_GT(second.pluginId, first.pluginId);
    bh::ClearRecordedLog();
    EXPECT_EQ(bh::RunDeathHooks(), 4);
    EXPECT_EQ(bh::RunDeathHooks(), 0);
    const std::string hook = "Fixture|DeathHook|global=1 hook=";
    std::vector<std::string> lines;  // "tag|function|message"
    for (const auto& line : bh::RecordedLog()) lines.push_back(line.tag + "|" + line.function + "|" + line.message);
    EXPECT_EQ(lines, (std::vector<std::string>{hook + "2", hook + "1", hook + "2", hook + "1"}));
    EXPECT_EQ(bh::CallEntryPoint(nullptr, 1, nullptr), kHostErrBadArgument);
}

}  // namespace

// The client helpers: text conversion, number parsing and formatting, and the suite and handle
// wrappers against the stand-in host's real suite registry and memory suite.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include <brevant/client.hpp>
#include "host/StandInHost.h"

namespace {

using namespace brevant_client;

TEST(ClientText, Utf16ToUtf8) {
    struct Case {
        const char* name;
        std::u16string units;
        std::string utf8;
    };
    const Case cases[] = {
        {"empty", u"", ""},
        {"ascii", u"abc", "abc"},
        {"two bytes", u"\u00e9t\u00e9", "\xc3\xa9t\xc3\xa9"},
        {"three bytes", u"\u20ac", "\xe2\x82\xac"},
        {"surrogate pair", std::u16string{0xD83C, 0xDFAC}, "\xf0\x9f\x8e\xac"},
        {"lone high surrogate", std::u16string{u'a', 0xD83C, u'b'}, "a\xef\xbf\xbd" "b"},
        {"lone low surrogate", std::u16string{0xDFAC}, "\xef\xbf\xbd"},
        {"high surrogate at the end", std::u16string{0xD83C}, "\xef\xbf\xbd"},
        {"ends at a zero unit", std::u16string{u'a', 0, u'b'}, "a"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Utf16ToUtf8(c.units.data(), c.units.size()), c.utf8) << c.name;
    }
}

TEST(ClientText, ParseNumbers) {
    struct Case {
        const char* text;
        bool unsignedOk;
        uint64_t unsignedValue;
        bool signedOk;
        int64_t signedValue;
    };
    const Case cases[] = {
        {"0", true, 0, true, 0},
        {"42", true, 42, true, 42},
        {"18446744073709551615", true, UINT64_MAX, false, 0},
        {"18446744073709551616", false, 0, false, 0},
        {"-7", false, 0, true, -7},
        {"-9223372036854775808", false, 0, true, INT64_MIN},
        {"9223372036854775808", true, 9223372036854775808ull, false, 0},
        {"", false, 0, false, 0},
        {"-", false, 0, false, 0},
        {"12a", false, 0, false, 0},
        {" 1", false, 0, false, 0},
    };
    for (const Case& c : cases) {
        uint64_t u = 99;
        EXPECT_EQ(ParseUnsigned(c.text, &u), c.unsignedOk) << c.text;
        EXPECT_EQ(u, c.unsignedOk ? c.unsignedValue : 99u) << c.text;
        int64_t s = 99;
        EXPECT_EQ(ParseSigned(c.text, &s), c.signedOk) << c.text;
        EXPECT_EQ(s, c.signedOk ? c.signedValue : 99) << c.text;
    }
    EXPECT_FALSE(ParseUnsigned("1", nullptr));
    EXPECT_FALSE(ParseSigned("1", nullptr));
}

TEST(ClientText, TimecodeToFrames) {
    struct Case {
        const char* timecode;
        const char* rate;
        bool read;
        int64_t frames;
    };
    const Case cases[] = {
        {"0:00:01:00", "Use comp's frame rate (24)", true, 24},
        {"0:00:00:24", "Use comp's frame rate (29.97)", true, 24},
        {"0:01:02:03", "25", true, 1553},
        {"1:00:00:00", "30", true, 108000},
        {"0;00;10;00", "Use comp's frame rate (29.97)", true, 300},
        {"0:00:00:00", "24", true, 0},
        {"-0:00:01:02", "24", true, -26},
        {"0:00:01", "24", false, 0},  // not a timecode
        {"0:00:01:00x", "24", false, 0},
        {"0:00::00", "24", false, 0},
        {"0:00:01:00", "Use comp's frame rate", false, 0},
        {"0:00:01:00", "0.2", false, 0},
        {"", "", false, 0},
    };
    for (const Case& c : cases) {
        int64_t frames = -7;
        EXPECT_EQ(TimecodeToFrames(c.timecode, c.rate, &frames), c.read) << c.timecode << " at " << c.rate;
        EXPECT_EQ(frames, c.read ? c.frames : -7) << c.timecode << " at " << c.rate;
    }
    EXPECT_FALSE(TimecodeToFrames("0:00:01:00", "24", nullptr));
}

TEST(ClientText, FormatDurationAndBytes) {
    const std::pair<int64_t, const char*> durations[] = {
        {-5, "0:00"}, {0, "0:00"}, {999, "0:00"}, {1000, "0:01"}, {59999, "0:59"},
        {60000, "1:00"}, {754000, "12:34"}, {3600000, "60:00"},
    };
    for (const auto& d : durations) EXPECT_EQ(FormatDuration(d.first), d.second) << d.first;

    const std::pair<uint64_t, const char*> sizes[] = {
        {0, "0 B"}, {1023, "1023 B"}, {1024, "1.0 KiB"}, {1536, "1.5 KiB"},
        {5u * 1024 * 1024, "5.0 MiB"}, {3ull * 1024 * 1024 * 1024, "3.0 GiB"},
    };
    for (const auto& s : sizes) EXPECT_EQ(FormatBytes(s.first), s.second) << s.first;
}

TEST(ClientText, FindValueTakesTheFirstPair) {
    const KeyValueList list = {{"A", "1"}, {"B", "2"}, {"A", "3"}};
    ASSERT_NE(FindValue(list, "A"), nullptr);
    EXPECT_EQ(*FindValue(list, "A"), "1");
    EXPECT_EQ(FindValue(list, "C"), nullptr);
}

TEST(ClientGuard, ExceptionsBecomeCodes) {
    EXPECT_EQ(Guarded([] { return HostErr{7}; }), 7);
    EXPECT_EQ(Guarded([]() -> HostErr { throw std::bad_alloc(); }), kHostErrOutOfMemory);
    EXPECT_EQ(Guarded([]() -> HostErr { throw std::runtime_error("x"); }), kClientErrException);
    EXPECT_EQ(Guarded([]() -> HostErr { throw 5; }), kClientErrException);
}

// ---- Against the stand-in host ----------------------------------------------------------------

class ClientSuites : public ::testing::Test {
protected:
    void SetUp() override {
        brevant_host::SetLogSink(brevant_host::LogSink::Off);
        brevant_host::ResetHost();
        handlesBefore_ = brevant_host::LiveHandleCount();
    }
    void TearDown() override {
        EXPECT_EQ(brevant_host::LiveHandleCount(), handlesBefore_);
        EXPECT_TRUE(brevant_host::HeldSuites().empty());
        brevant_host::ResetHost();
    }

    // A string handle as Brevant makes them: UTF-16 units and a zero unit.
    HostMemoryHandle MakeText(const HostMemorySuite1* memory, const std::u16string& text) {
        HostMemoryHandle handle = nullptr;
        EXPECT_EQ(memory->MemCreate(1, "test", (text.size() + 1) * 2, kHostMemFlagClear, &handle), 0);
        void* block = nullptr;
        EXPECT_EQ(memory->MemLock(handle, &block), 0);
        if (!text.empty()) std::memcpy(block, text.data(), text.size() * 2);
        EXPECT_EQ(memory->MemUnlock(handle), 0);
        return handle;
    }

    uint64_t handlesBefore_ = 0;
};

TEST_F(ClientSuites, SuiteHandleReleasesWhatItAcquired) {
    const HostBasicSuite* basic = brevant_host::BasicSuite();
    const brevant_host::SuiteCounts before = brevant_host::SuiteUse(kHostMemorySuite, kHostMemorySuiteVersion);
    {
        MemorySuiteHandle memory = AcquireMemorySuite(basic);
        ASSERT_TRUE(memory);
        EXPECT_EQ(memory.error(), kHostErrNone);
        EXPECT_EQ(brevant_host::HeldSuites().size(), 1u);
        MemorySuiteHandle moved(std::move(memory));
        EXPECT_FALSE(memory);
        EXPECT_TRUE(moved);
    }
    const brevant_host::SuiteCounts after = brevant_host::SuiteUse(kHostMemorySuite, kHostMemorySuiteVersion);
    EXPECT_EQ(after.acquired - before.acquired, 1);
    EXPECT_EQ(after.released - before.released, 1);
}

TEST_F(ClientSuites, RefusedAcquisitionsReleaseNothing) {
    struct Case {
        const char* name;
        const HostBasicSuite* basic;
        const char* suite;
        int32_t version;
    };
    const Case cases[] = {
        {"null basic suite", nullptr, kHostMemorySuite, kHostMemorySuiteVersion},
        {"unknown name", brevant_host::BasicSuite(), "No Such Suite", 1},
        {"unknown version", brevant_host::BasicSuite(), kHostMemorySuite, 99},
        {"monitor suite not published", brevant_host::BasicSuite(), kBrevantMonitorSuite, kBrevantMonitorSuiteVersion},
    };
    for (const Case& c : cases) {
        SuiteHandle<HostMemorySuite1> handle(c.basic, c.suite, c.version);
        EXPECT_FALSE(handle) << c.name;
        EXPECT_NE(handle.error(), kHostErrNone) << c.name;
    }
    EXPECT_EQ(brevant_host::SuiteUse("No Such Suite", 1).released, 0);
}

TEST_F(ClientSuites, ReadsTextAndBytesAndFreesHandles) {
    MemorySuiteHandle memory = AcquireMemorySuite(brevant_host::BasicSuite());
    ASSERT_TRUE(memory);
    const std::pair<std::u16string, std::string> texts[] = {
        {u"", ""}, {u"abc", "abc"}, {u"Comp \u00e9", "Comp \xc3\xa9"},
    };
    for (const auto& t : texts) {
        MemHandle handle(memory.get());
        *handle.Out() = MakeText(memory.get(), t.first);
        std::string read = "unchanged";
        EXPECT_EQ(ReadHandleText(memory.get(), handle.get(), &read), kHostErrNone);
        EXPECT_EQ(read, t.second);
        std::vector<uint8_t> bytes;
        EXPECT_EQ(ReadHandleBytes(memory.get(), handle.get(), &bytes), kHostErrNone);
        EXPECT_EQ(bytes.size(), (t.first.size() + 1) * 2);
    }

    // Refused reads leave the out-parameter alone and crash nothing.
    std::string kept = "kept";
    EXPECT_NE(ReadHandleText(memory.get(), nullptr, &kept), kHostErrNone);
    EXPECT_NE(ReadHandleText(nullptr, nullptr, &kept), kHostErrNone);
    EXPECT_EQ(kept, "kept");
    HostMemoryHandle freed = MakeText(memory.get(), u"gone");
    ASSERT_EQ(memory->MemFree(freed), 0);
    EXPECT_EQ(ReadHandleText(memory.get(), freed, &kept), kHostErrBadHandle);
    EXPECT_EQ(kept, "kept");
}

TEST_F(ClientSuites, MemHandleFreesOnResetMoveAndDestruction) {
    MemorySuiteHandle memory = AcquireMemorySuite(brevant_host::BasicSuite());
    ASSERT_TRUE(memory);
    const uint64_t base = brevant_host::LiveHandleCount();
    {
        MemHandle a(memory.get());
        *a.Out() = MakeText(memory.get(), u"a");
        EXPECT_EQ(brevant_host::LiveHandleCount(), base + 1);
        *a.Out() = MakeText(memory.get(), u"b");  // Out() frees what it held
        EXPECT_EQ(brevant_host::LiveHandleCount(), base + 1);
        MemHandle b(std::move(a));
        EXPECT_FALSE(a);
        MemHandle c(memory.get());
        *c.Out() = MakeText(memory.get(), u"c");
        c = std::move(b);  // c's own handle is freed, b's moves in
        EXPECT_EQ(brevant_host::LiveHandleCount(), base + 1);
    }
    EXPECT_EQ(brevant_host::LiveHandleCount(), base);
}

}  // namespace

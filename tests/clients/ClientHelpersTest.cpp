// The client helpers: text conversion, number parsing and formatting, the exception firewall,
// the final-size projection, and the suite and handle wrappers against the stand-in host's real
// suite registry and memory suite.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include <brevant/client.hpp>
#include "host/core/StandInHost.h"

namespace {

using namespace brevant_client;

TEST(ClientText, Utf16ToUtf8) {
    const std::tuple<const char*, std::u16string, std::string> cases[] = {
        {"empty", u"", ""}, {"ascii", u"abc", "abc"}, {"two bytes", u"\u00e9t\u00e9", "\xc3\xa9t\xc3\xa9"},
        {"three bytes", u"\u20ac", "\xe2\x82\xac"}, {"surrogate pair", std::u16string{0xD83C, 0xDFAC}, "\xf0\x9f\x8e\xac"},
        {"lone high surrogate", std::u16string{u'a', 0xD83C, u'b'}, "a\xef\xbf\xbd" "b"},
        {"lone low surrogate", std::u16string{0xDFAC}, "\xef\xbf\xbd"},
        {"high surrogate at the end", std::u16string{0xD83C}, "\xef\xbf\xbd"},
        {"ends at a zero unit", std::u16string{u'a', 0, u'b'}, "a"}};
    for (const auto& [name, units, utf8] : cases) EXPECT_EQ(Utf16ToUtf8(units.data(), units.size()), utf8) << name;
}

TEST(ClientText, ParseNumbers) {
    // the text; whether it reads as unsigned, and as what; whether as signed, and as what
    const std::tuple<const char*, bool, uint64_t, bool, int64_t> cases[] = {
        {"0", true, 0, true, 0}, {"42", true, 42, true, 42},
        {"18446744073709551615", true, UINT64_MAX, false, 0}, {"18446744073709551616", false, 0, false, 0},
        {"-7", false, 0, true, -7}, {"-9223372036854775808", false, 0, true, INT64_MIN},
        {"9223372036854775808", true, 9223372036854775808ull, false, 0},
        {"", false, 0, false, 0}, {"-", false, 0, false, 0}, {"12a", false, 0, false, 0}, {" 1", false, 0, false, 0}};
    for (const auto& [text, unsignedOk, unsignedValue, signedOk, signedValue] : cases) {
        uint64_t u = 99;
        EXPECT_EQ(ParseUnsigned(text, &u), unsignedOk) << text;
        EXPECT_EQ(u, unsignedOk ? unsignedValue : 99u) << text;
        int64_t s = 99;
        EXPECT_EQ(ParseSigned(text, &s), signedOk) << text;
        EXPECT_EQ(s, signedOk ? signedValue : 99) << text;
    }
    EXPECT_FALSE(ParseUnsigned("1", nullptr));
    EXPECT_FALSE(ParseSigned("1", nullptr));
}

TEST(ClientText, TimecodeToFrames) {
    const std::tuple<const char*, const char*, bool, int64_t> cases[] = {  // timecode, rate; read, frames
        {"0:00:01:00", "Use comp's frame rate (24)", true, 24}, {"0:01:02:03", "25", true, 1553},
        {"0:00:00:24", "Use comp's frame rate (29.97)", true, 24}, {"1:00:00:00", "30", true, 108000},
        {"0;00;10;00", "Use comp's frame rate (29.97)", true, 300}, {"0:00:00:00", "24", true, 0},
        {"-0:00:01:02", "24", true, -26}, {"0:00:01", "24", false, 0}, {"0:00:01:00x", "24", false, 0},
        {"0:00::00", "24", false, 0}, {"0:00:01:00", "0.2", false, 0},
        {"0:00:01:00", "Use comp's frame rate", false, 0}, {"", "", false, 0}};
    for (const auto& [timecode, rate, read, expected] : cases) {
        int64_t frames = -7;
        EXPECT_EQ(TimecodeToFrames(timecode, rate, &frames), read) << timecode << " at " << rate;
        EXPECT_EQ(frames, read ? expected : -7) << timecode << " at " << rate;
    }
    EXPECT_FALSE(TimecodeToFrames("0:00:01:00", "24", nullptr));
}

TEST(ClientText, FormatBytes) {
    const std::pair<uint64_t, const char*> sizes[] = {{0, "0 B"}, {1023, "1023 B"}, {1024, "1.0 KiB"}, {1536, "1.5 KiB"},
                                                      {5u << 20, "5.0 MiB"}, {3ull << 30, "3.0 GiB"}};
    for (const auto& [bytes, text] : sizes) EXPECT_EQ(FormatBytes(bytes), text) << bytes;
}

// A thrown integer is the client's failure, not a host code; the older name does the same.
TEST(ClientGuard, ExceptionsBecomeClientCodes) {
    using Body = HostErr (*)();
    const std::tuple<const char*, Body, HostErr> cases[] = {
        {"returned", [] { return HostErr{7}; }, 7},
        {"bad_alloc", []() -> HostErr { throw std::bad_alloc(); }, kHostErrOutOfMemory},
        {"runtime_error", []() -> HostErr { throw std::runtime_error("x"); }, kClientErrException},
        {"integer", []() -> HostErr { throw 5; }, kClientErrException}};
    for (const auto& [name, body, code] : cases) {
        EXPECT_EQ(CatchToClientCode(body), code) << name;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        EXPECT_EQ(Guarded(body), code) << name;
#pragma GCC diagnostic pop
    }
}

// The projection every client shows, read from the properties as the suite gives them: bytes x
// total / done rounded down, and a disk that fills when the growth still to come of the item's
// outputs on it exceeds its free bytes.
TEST(ClientProjection, FinalSizesAndFullDisks) {
    struct Output {
        const char *disk, *fileSize, *diskSpace;
        uint64_t projected;
        bool willFill;
    };
    const std::tuple<const char*, int64_t, int64_t, std::vector<Output>> cases[] = {  // done, total
        {"a sequence, 5 of 24 done", 5, 24, {{"/", "417810", "82044157952", 2005488, false}}},
        {"a growing file, rounded down", 3, 10, {{"/", "1000", "5000", 3333, false}}},
        {"the growth exactly fits", 1, 10, {{"/", "100", "900", 1000, false}}},
        {"one byte more does not", 1, 10, {{"/", "100", "899", 1000, true}}},
        {"nothing done yet", 0, 12, {{"/", "700", "0", 700, false}}},
        {"no total", 4, 0, {{"/", "700", "0", 700, false}}},
        {"the last frame", 12, 12, {{"/", "500", "0", 500, false}}},
        {"more done than the total says", 13, 12, {{"/", "500", "0", 500, false}}},
        {"an output that writes no file", 2, 4, {{"", "0", "0", 0, false}}},
        {"numbers that are not decimals read as 0", 1, 3, {{"/", "12 KiB", "-1", 0, true}, {"/", "1", "x", 3, true}}},
        {"no overflow on the way", 1, 2, {{"/", "9223372036854775807", "0", UINT64_MAX - 1, true}}},
        {"too large to count", 1, 3, {{"/", "9223372036854775807", "9223372036854775807", UINT64_MAX, true}}},
        // Each fits alone, together they do not; the third is on another disk.
        {"several outputs on one disk", 2, 6, {{"/a", "100", "250", 300, true}, {"/a", "50", "250", 150, true},
                                               {"/b", "100", "300", 300, false}}},
        // 2 x 2^64 x 2/3 bytes to come fills even the largest free count.
        {"growth past the count", 1, 4, {{"/", "6148914691236517205", "18446744073709551615", UINT64_MAX, true},
                                         {"/", "6148914691236517205", "18446744073709551615", UINT64_MAX, true}}},
        // Frame ids 101 and 102: the projection goes by the frames the client saw done.
        {"frame ids that do not start at 1", 2, 8, {{"/", "2000", "1000000", 8000, false}}},
        // Another item's 200 bytes to come on /r are its own: 200 fits in 250 here.
        {"a disk shared between items", 1, 3, {{"/r", "100", "250", 300, false}}},
    };
    for (const auto& [name, done, total, expected] : cases) {
        std::vector<OutputSize> outputs;
        for (const Output& o : expected) {
            outputs.push_back(ReadOutputSize({{"Disk", o.disk}, {"FileSize", o.fileSize}, {"DiskSpace", o.diskSpace}}));
        }
        ProjectOutputSizes(outputs, done, total);
        for (size_t m = 0; m < outputs.size(); ++m) {
            EXPECT_EQ(outputs[m].projectedBytes, expected[m].projected) << name << ", output " << m;
            EXPECT_EQ(outputs[m].willFill, expected[m].willFill) << name << ", output " << m;
        }
    }
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

// A handle releases what it acquired, once also when moved; a refused one releases nothing.
TEST_F(ClientSuites, SuiteHandlesReleaseWhatTheyAcquired) {
    const HostBasicSuite* basic = brevant_host::BasicSuite();
    const std::tuple<const char*, const HostBasicSuite*, const char*, int32_t, bool> cases[] = {
        {"memory suite", basic, kHostMemorySuite, kHostMemorySuiteVersion, true},
        {"null basic suite", nullptr, kHostMemorySuite, kHostMemorySuiteVersion, false},
        {"unknown version", basic, kHostMemorySuite, 99, false}};
    for (const auto& [name, from, suite, version, acquired] : cases) {
        const brevant_host::SuiteCounts before = brevant_host::SuiteUse(suite, version);
        {
            SuiteHandle<HostMemorySuite1> handle(from, suite, version);
            EXPECT_EQ(std::make_tuple(static_cast<bool>(handle), handle.error() == kHostErrNone, brevant_host::HeldSuites().size()),
                      std::make_tuple(acquired, acquired, acquired ? size_t{1} : size_t{0})) << name;
            SuiteHandle<HostMemorySuite1> moved(std::move(handle));
            EXPECT_EQ(std::make_pair(static_cast<bool>(handle), static_cast<bool>(moved)), std::make_pair(false, acquired)) << name;
        }
        const brevant_host::SuiteCounts after = brevant_host::SuiteUse(suite, version);
        EXPECT_EQ(std::make_pair(after.acquired - before.acquired, after.released - before.released),
                  (std::pair<int64_t, int64_t>(acquired, acquired))) << name;
    }
}

TEST_F(ClientSuites, ReadsTextAndBytesAndFreesHandles) {
    MemorySuiteHandle memory = AcquireMemorySuite(brevant_host::BasicSuite());
    ASSERT_TRUE(memory);
    const std::pair<std::u16string, std::string> texts[] = {{u"", ""}, {u"Comp \u00e9", "Comp \xc3\xa9"}};
    for (const auto& [units, utf8] : texts) {
        MemHandle handle(memory.get());
        *handle.Out() = MakeText(memory.get(), units);
        std::string read = "unchanged";
        std::vector<uint8_t> bytes;
        EXPECT_EQ(std::make_pair(ReadHandleText(memory.get(), handle.get(), &read), ReadHandleBytes(memory.get(), handle.get(), &bytes)),
                  std::make_pair(kHostErrNone, kHostErrNone));
        EXPECT_EQ(std::make_pair(read, bytes.size()), std::make_pair(utf8, (units.size() + 1) * 2));
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

    // A MemHandle frees what it holds on Out(), on a move into it and when destroyed.
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

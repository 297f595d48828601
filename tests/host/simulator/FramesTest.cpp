// Frames: frames outside the job, the scaler behind HostConvertWorldToVideoFrame (size, averaging,
// interpolation, refusals) and the JPEG compressor behind HostCompressToJpeg.
#include <gtest/gtest.h>

#include <stdexcept>
#include <tuple>

#include "RecordingSession.h"
#include "support/JpegInfo.h"

using namespace brevant_host;
using namespace host_simulator_test;

namespace {

// A world of grey pixels, row by row; those not given are black.
struct TestWorld {
    TestWorld(int32_t width, int32_t height, const std::vector<int>& grey = {}) {
        pixels.resize(static_cast<size_t>(width) * static_cast<size_t>(height) * 4);
        for (size_t i = 0; i * 4 < pixels.size(); ++i) {
            pixels[i * 4] = 255;
            const auto level = static_cast<uint8_t>(i < grey.size() ? grey[i] : 0);
            pixels[i * 4 + 1] = pixels[i * 4 + 2] = pixels[i * 4 + 3] = level;
        }
        world = HostWorld{width, height, int64_t{width} * 4, pixels.data()};
    }
    std::vector<uint8_t> pixels;
    HostWorld world;
};

using Frames = RecordsTest;

// Every scaled frame has exactly the target size, and so has the JPEG made of it. (The plug-in's
// thumbnail tests scale frames of every shape, down to one pixel, and up by the pixel aspect.)
TEST_F(Frames, TheScalerAveragesInterpolatesAndKeepsTheTargetSize) {
    const struct {
        const char* name;
        int32_t fromWidth, fromHeight;
        std::vector<int> grey;
        int32_t toWidth, toHeight;
        std::vector<int> expectedRed;
    } cases[] = {
        {"2x2 blocks keep their colours", 4, 4, {10, 10, 200, 200, 10, 10, 200, 200, 60, 60, 90, 90, 60, 60, 90, 90},
         2, 2, {10, 200, 60, 90}},
        {"a fine checkerboard becomes its mean", 4, 2, {0, 255, 0, 255, 255, 0, 255, 0}, 2, 1, {128, 128}},
        {"areas are weighed by overlap", 3, 1, {0, 90, 180}, 2, 1, {30, 150}},
        {"one pixel of the whole", 3, 3, {9, 9, 9, 9, 90, 9, 9, 9, 9}, 1, 1, {18}},
        {"enlarging interpolates between centres", 2, 1, {0, 200}, 4, 1, {0, 50, 150, 200}},
        {"enlarging a flat field stays flat", 2, 2, {77, 77, 77, 77}, 5, 3, std::vector<int>(15, 77)},
        {"the same size copies", 3, 1, {1, 2, 3}, 3, 1, {1, 2, 3}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestWorld source(c.fromWidth, c.fromHeight, c.grey);
        HostVideoFrame frame;
        HostConvertWorldToVideoFrame(&source.world, true, false, c.toWidth, c.toHeight, frame);
        EXPECT_EQ(std::make_pair(frame.width, frame.height), std::make_pair(c.toWidth, c.toHeight));
        ASSERT_EQ(frame.rgb.size(), static_cast<size_t>(c.toWidth) * static_cast<size_t>(c.toHeight) * 3);
        std::vector<int> red;
        for (size_t i = 0; i < frame.rgb.size(); i += 3) red.push_back(frame.rgb[i]);
        EXPECT_EQ(red, c.expectedRed);
        int decodedWidth = 0, decodedHeight = 0;
        ASSERT_TRUE(brevant_test::JpegSize(HostCompressToJpeg(frame), &decodedWidth, &decodedHeight));
        EXPECT_EQ(std::make_pair(decodedWidth, decodedHeight), std::make_pair(c.toWidth, c.toHeight));
    }
}

TEST_F(Frames, TheScalerReadsRowsByRowBytesAndDropsAlpha) {
    // Two rows of two pixels, 16 bytes apart: the padding must not be read as pixels.
    std::vector<uint8_t> pixels = {0, 100, 1, 2, 0, 100, 1, 2, 9, 9, 9, 9, 9, 9, 9, 9,
                                   0, 100, 1, 2, 0, 100, 1, 2, 9, 9, 9, 9, 9, 9, 9, 9};
    const HostWorld world{2, 2, 16, pixels.data()};
    HostVideoFrame frame;
    HostConvertWorldToVideoFrame(&world, true, false, 1, 1, frame);
    EXPECT_EQ(frame.rgb, (std::vector<uint8_t>{100, 1, 2}));
}

// The JPEG fault is set from a job file in the cli tests' records.
TEST_F(Frames, BadConversionsAndCompressionsThrowAndLeaveTheFrame) {
    TestWorld good(4, 4);
    const HostWorld empty{0, 4, 0, nullptr};
    const HostWorld narrowRows{4, 4, 8, good.pixels.data()};
    const std::tuple<const char*, const HostWorld*, int32_t, int32_t, bool> cases[] = {  // world, size, fault
        {"no world", nullptr, 2, 2, false}, {"zero width", &good.world, 0, 2, false},
        {"negative height", &good.world, 2, -1, false}, {"empty world", &empty, 2, 2, false},
        {"rows too short", &narrowRows, 2, 2, false}, {"conversion fault", &good.world, 2, 2, true}};
    for (const auto& [name, world, width, height, fault] : cases) {
        if (fault) SetFault(HostCall::ConvertWorld, 5, 0, 1);
        HostVideoFrame frame;
        frame.width = 3;
        frame.rgb = {1, 2, 3};
        EXPECT_THROW(HostConvertWorldToVideoFrame(world, true, false, width, height, frame), std::runtime_error) << name;
        EXPECT_EQ(frame.width, 3) << name;
        EXPECT_EQ(frame.rgb, (std::vector<uint8_t>{1, 2, 3})) << name;
    }
    // The compressor refuses an empty frame and one with fewer bytes than its size says.
    HostVideoFrame shortFrame;
    shortFrame.width = shortFrame.height = 2;
    shortFrame.rgb.assign(11, 50);
    EXPECT_THROW(HostCompressToJpeg(HostVideoFrame{}), std::runtime_error);
    EXPECT_THROW(HostCompressToJpeg(shortFrame), std::runtime_error);
}

// Frames outside the job leave the record alone.
TEST_F(Frames, FramesOutsideTheJobAreRefused) {
    const auto job = MustParse(R"({"items": [{"comp": {"name": "C", "width": 160, "height": 90, "frames": 3}}]})");
    ASSERT_NE(job, nullptr);
    for (const auto& [item, frameId] : {std::pair{0, 0}, std::pair{0, 4}, std::pair{1, 1}, std::pair{-1, 1}}) {
        FrameRecord untouched;
        EXPECT_FALSE(job->PrepareFrame(item, frameId, kHostUpdateStatusFrameDone, untouched));
        EXPECT_TRUE(untouched.pixels.empty());
        EXPECT_EQ(untouched.update.frameBuffer, nullptr);
    }
}

}  // namespace

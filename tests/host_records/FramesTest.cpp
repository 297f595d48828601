// Frames: the test picture, the scaler behind HostConvertWorldToVideoFrame (size, averaging,
// interpolation, refusals) and the JPEG compressor behind HostCompressToJpeg.
#include <gtest/gtest.h>

#include <stdexcept>

#include "RecordingSession.h"
#include "support/JpegInfo.h"

using namespace brevant_host;
using namespace host_records_test;

namespace {

// A world of one row per text row; each pixel is given by its red, green and blue bytes.
struct TestWorld {
    TestWorld(int32_t width, int32_t height, const std::vector<std::array<uint8_t, 3>>& colours) {
        pixels.resize(static_cast<size_t>(width) * static_cast<size_t>(height) * 4);
        for (size_t i = 0; i < colours.size() && i * 4 < pixels.size(); ++i) {
            pixels[i * 4] = 255;
            pixels[i * 4 + 1] = colours[i][0];
            pixels[i * 4 + 2] = colours[i][1];
            pixels[i * 4 + 3] = colours[i][2];
        }
        world = HostWorld{width, height, int64_t{width} * 4, pixels.data()};
    }
    std::vector<uint8_t> pixels;
    HostWorld world;
};

std::vector<std::array<uint8_t, 3>> Grey(std::initializer_list<int> levels) {
    std::vector<std::array<uint8_t, 3>> colours;
    for (int level : levels) colours.push_back({static_cast<uint8_t>(level), static_cast<uint8_t>(level), static_cast<uint8_t>(level)});
    return colours;
}

std::vector<int> RedOf(const HostVideoFrame& frame) {
    std::vector<int> red;
    for (size_t i = 0; i < frame.rgb.size(); i += 3) red.push_back(frame.rgb[i]);
    return red;
}

class Frames : public ::testing::Test {
protected:
    void SetUp() override { ResetHost(); }
    void TearDown() override { ResetHost(); }
};

TEST_F(Frames, TheScalerDeliversExactlyTheTargetSize) {
    const struct {
        int32_t fromWidth, fromHeight, toWidth, toHeight;
    } sizes[] = {{1920, 1080, 200, 113}, {720, 480, 320, 235}, {1080, 1920, 113, 200}, {10, 10, 1, 1},
                 {3, 2, 7, 5},           {100, 1, 1, 100},     {64, 64, 64, 64},       {1, 1, 5, 3}};
    for (const auto& size : sizes) {
        SCOPED_TRACE(std::to_string(size.fromWidth) + "x" + std::to_string(size.fromHeight) + " to " +
                     std::to_string(size.toWidth) + "x" + std::to_string(size.toHeight));
        TestWorld source(size.fromWidth, size.fromHeight, Grey({}));
        HostVideoFrame frame;
        HostConvertWorldToVideoFrame(&source.world, true, false, size.toWidth, size.toHeight, frame);
        EXPECT_EQ(frame.width, size.toWidth);
        EXPECT_EQ(frame.height, size.toHeight);
        EXPECT_EQ(frame.rgb.size(), static_cast<size_t>(size.toWidth) * static_cast<size_t>(size.toHeight) * 3);
    }
}

TEST_F(Frames, TheScalerAveragesAndInterpolates) {
    const struct {
        const char* name;
        int32_t fromWidth, fromHeight;
        std::vector<std::array<uint8_t, 3>> source;
        int32_t toWidth, toHeight;
        std::vector<int> expectedRed;
    } cases[] = {
        {"2x2 blocks keep their colours", 4, 4, Grey({10, 10, 200, 200, 10, 10, 200, 200, 60, 60, 90, 90, 60, 60, 90, 90}),
         2, 2, {10, 200, 60, 90}},
        {"a fine checkerboard becomes its mean", 4, 2, Grey({0, 255, 0, 255, 255, 0, 255, 0}), 2, 1, {128, 128}},
        {"areas are weighed by overlap", 3, 1, Grey({0, 90, 180}), 2, 1, {30, 150}},
        {"one pixel of the whole", 3, 3, Grey({9, 9, 9, 9, 90, 9, 9, 9, 9}), 1, 1, {18}},
        {"enlarging interpolates between centres", 2, 1, Grey({0, 200}), 4, 1, {0, 50, 150, 200}},
        {"enlarging a flat field stays flat", 2, 2, Grey({77, 77, 77, 77}), 5, 3, std::vector<int>(15, 77)},
        {"the same size copies", 3, 1, Grey({1, 2, 3}), 3, 1, {1, 2, 3}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestWorld source(c.fromWidth, c.fromHeight, c.source);
        HostVideoFrame frame;
        HostConvertWorldToVideoFrame(&source.world, true, false, c.toWidth, c.toHeight, frame);
        EXPECT_EQ(RedOf(frame), c.expectedRed);
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

TEST_F(Frames, BadConversionsThrowAndLeaveTheFrame) {
    TestWorld good(4, 4, Grey({}));
    const HostWorld empty{0, 4, 0, nullptr};
    const HostWorld narrowRows{4, 4, 8, good.pixels.data()};
    const struct {
        const char* name;
        const HostWorld* world;
        int32_t width, height;
        bool fault;
    } cases[] = {
        {"no world", nullptr, 2, 2, false},        {"zero width", &good.world, 0, 2, false},
        {"negative height", &good.world, 2, -1, false}, {"empty world", &empty, 2, 2, false},
        {"rows too short", &narrowRows, 2, 2, false}, {"conversion fault", &good.world, 2, 2, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.fault) SetFault(HostCall::ConvertWorld, 5, 0, 1);
        HostVideoFrame frame;
        frame.width = 3;
        frame.rgb = {1, 2, 3};
        EXPECT_THROW(HostConvertWorldToVideoFrame(c.world, true, false, c.width, c.height, frame), std::runtime_error);
        EXPECT_EQ(frame.width, 3);
        EXPECT_EQ(frame.rgb, (std::vector<uint8_t>{1, 2, 3}));
    }
}

TEST_F(Frames, JpegDecodesAtTheFrameSize) {
    const auto job = MustParse(R"({"items": [{"comp": {"name": "C", "width": 720, "height": 480, "frames": 3}}]})");
    ASSERT_NE(job, nullptr);
    FrameRecord picture;
    ASSERT_TRUE(job->PrepareFrame(0, 2, kHostUpdateStatusFrameDone, picture));
    for (const auto& [width, height] : {std::pair{320, 235}, std::pair{720, 480}, std::pair{1, 1}, std::pair{17, 1003}}) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        HostVideoFrame frame;
        HostConvertWorldToVideoFrame(&picture.world, true, false, width, height, frame);
        const std::vector<uint8_t> jpeg = HostCompressToJpeg(frame);
        ASSERT_GT(jpeg.size(), 2u);
        int decodedWidth = 0, decodedHeight = 0;
        ASSERT_TRUE(brevant_test::JpegSize(jpeg, &decodedWidth, &decodedHeight));
        EXPECT_EQ(decodedWidth, width);
        EXPECT_EQ(decodedHeight, height);
    }
}

TEST_F(Frames, JpegRefusesFaultsAndShortFrames) {
    HostVideoFrame frame;
    frame.width = 2;
    frame.height = 2;
    frame.rgb.assign(12, 50);
    HostVideoFrame shortFrame = frame;
    shortFrame.rgb.resize(11);
    EXPECT_THROW(HostCompressToJpeg(HostVideoFrame{}), std::runtime_error);
    EXPECT_THROW(HostCompressToJpeg(shortFrame), std::runtime_error);
    SetFault(HostCall::CompressJpeg, 5, 1, 1);
    EXPECT_NO_THROW(HostCompressToJpeg(frame));
    EXPECT_THROW(HostCompressToJpeg(frame), std::runtime_error);
    EXPECT_NO_THROW(HostCompressToJpeg(frame));
}

TEST_F(Frames, EachFrameOfTheTestPictureDiffers) {
    const auto job = MustParse(R"({"items": [{"comp": {"name": "C", "width": 160, "height": 90, "frames": 3}}]})");
    ASSERT_NE(job, nullptr);
    FrameRecord first, second, again;
    ASSERT_TRUE(job->PrepareFrame(0, 1, kHostUpdateStatusFrameDone, first));
    ASSERT_TRUE(job->PrepareFrame(0, 2, kHostUpdateStatusFrameDone, second));
    ASSERT_TRUE(job->PrepareFrame(0, 1, kHostUpdateStatusFrameDone, again));
    EXPECT_NE(first.pixels, second.pixels);
    EXPECT_EQ(first.pixels, again.pixels);
    for (size_t i = 0; i < first.pixels.size(); i += 4) ASSERT_EQ(first.pixels[i], 255) << "opaque";
    EXPECT_EQ(first.update.frameBuffer, &first.world);
    EXPECT_EQ(first.world.pixels, first.pixels.data());
    EXPECT_EQ(first.update.item, HostRenderItemProjectItem(job->Item(0)));
    EXPECT_EQ(second.update.frameId, 2);
    EXPECT_EQ(second.update.framesTotal, 3);

    for (const auto& [item, frameId] : {std::pair{0, 0}, std::pair{0, 4}, std::pair{1, 1}, std::pair{-1, 1}}) {
        FrameRecord untouched;
        EXPECT_FALSE(job->PrepareFrame(item, frameId, kHostUpdateStatusFrameDone, untouched));
        EXPECT_TRUE(untouched.pixels.empty());
        EXPECT_EQ(untouched.update.frameBuffer, nullptr);
    }
}

}  // namespace

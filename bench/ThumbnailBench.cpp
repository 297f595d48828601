// A 320-pixel JPEG thumbnail of a 3840 x 2160 frame: through Brevant's thumbnail operation from
// inside the frame's update, against calling the host's scaler and compressor directly; and the
// host's scaler alone against stb_image_resize at the same sizes.
#define STB_IMAGE_RESIZE_IMPLEMENTATION
#define STB_IMAGE_RESIZE_STATIC
#include <benchmark/benchmark.h>
#include <stb_image_resize.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "AllocationCounter.h"
#include "BenchHost.h"
#include "BenchJobs.h"
#include "BenchListeners.h"

namespace brevant_bench {
namespace {

constexpr int32_t kThumbnailPluginId = 103;
constexpr int32_t kThumbnailLimit = 320;
// The limit applies to the longer side; the other follows (2160 / 3840 * 320, rounded up).
constexpr int32_t kThumbnailWidth = 320;
constexpr int32_t kThumbnailHeight = 180;

PreparedSession* PrepareUhd(benchmark::State& state) {
    brevant_host::Job* job = CachedJob(kUhdJob, UhdJobText);
    PreparedSession* prepared = job ? Prepare(kUhdJob, *job, true) : nullptr;
    if (!prepared) state.SkipWithError("no session");
    return prepared;
}

void BM_Thumbnail_Brevant(benchmark::State& state) {
    PreparedSession* prepared = PrepareUhd(state);
    if (!prepared) return;
    gThumbnailLimit = kThumbnailLimit;
    ListenerSet registered(kThumbnailPluginId, 1, ThumbnailCallbacks());
    if (!registered.Registered()) return state.SkipWithError("registration refused");

    RQSession& session = *prepared->session;
    HostRenderQueue* queue = prepared->job->Queue();
    HostFrameUpdate* update = &prepared->frame->update;
    gQueryTally = QueryTally{};
    const AllocationMeter allocations;
    for (auto _ : state) session.RenderItemUpdate(queue, update);
    allocations.Report(state);
    if (gQueryTally.thumbnails > 0) {
        state.counters["jpeg_bytes"] = static_cast<double>(gQueryTally.thumbnailBytes / gQueryTally.thumbnails);
    }
    if (gQueryTally.failures > 0 || gQueryTally.thumbnails != static_cast<uint64_t>(state.iterations()) ||
        gQueryTally.thumbnailWidth != kThumbnailWidth || gQueryTally.thumbnailHeight != kThumbnailHeight) {
        state.SkipWithError("the thumbnail failed or has the wrong size");
    }
}
BENCHMARK(BM_Thumbnail_Brevant)->Unit(benchmark::kMillisecond);

void BM_Thumbnail_HostDirect(benchmark::State& state) {
    PreparedSession* prepared = PrepareUhd(state);
    if (!prepared) return;
    const HostWorld* world = &prepared->frame->world;
    size_t bytes = 0;
    const AllocationMeter allocations;
    for (auto _ : state) {
        HostVideoFrame video;
        HostConvertWorldToVideoFrame(world, true, false, kThumbnailWidth, kThumbnailHeight, video);
        const std::vector<uint8_t> jpeg = HostCompressToJpeg(video);
        bytes = jpeg.size();
        benchmark::DoNotOptimize(jpeg.data());
    }
    allocations.Report(state);
    state.counters["jpeg_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_Thumbnail_HostDirect)->Unit(benchmark::kMillisecond);

void BM_Scaler_Host(benchmark::State& state) {
    PreparedSession* prepared = PrepareUhd(state);
    if (!prepared) return;
    const HostWorld* world = &prepared->frame->world;
    HostVideoFrame video;
    for (auto _ : state) {
        HostConvertWorldToVideoFrame(world, true, false, kThumbnailWidth, kThumbnailHeight, video);
        benchmark::DoNotOptimize(video.rgb.data());
    }
}
BENCHMARK(BM_Scaler_Host)->Unit(benchmark::kMillisecond);

// The picture with its alpha dropped beforehand, as stb resizes packed channels.
std::vector<uint8_t> PackedRgb(const HostWorld& world) {
    std::vector<uint8_t> rgb(static_cast<size_t>(world.width) * static_cast<size_t>(world.height) * 3);
    for (int32_t y = 0; y < world.height; ++y) {
        const uint8_t* argb = world.pixels + y * world.rowBytes;
        uint8_t* out = rgb.data() + static_cast<size_t>(y) * static_cast<size_t>(world.width) * 3;
        for (int32_t x = 0; x < world.width; ++x, argb += 4, out += 3) {
            out[0] = argb[1];
            out[1] = argb[2];
            out[2] = argb[3];
        }
    }
    return rgb;
}

// stb with its default filter for shrinking (Mitchell), or with the host's own (box, i.e. area
// averaging). The second is the like-for-like one: the counters give the largest and the mean
// difference per channel between its thumbnail and the host's.
void StbScale(benchmark::State& state, stbir_filter filter) {
    PreparedSession* prepared = PrepareUhd(state);
    if (!prepared) return;
    const HostWorld& world = prepared->frame->world;
    const std::vector<uint8_t> rgb = PackedRgb(world);
    std::vector<uint8_t> thumbnail(static_cast<size_t>(kThumbnailWidth) * kThumbnailHeight * 3);
    for (auto _ : state) {
        if (!stbir_resize_uint8_generic(rgb.data(), world.width, world.height, world.width * 3, thumbnail.data(),
                                        kThumbnailWidth, kThumbnailHeight, kThumbnailWidth * 3, 3,
                                        STBIR_ALPHA_CHANNEL_NONE, 0, STBIR_EDGE_CLAMP, filter,
                                        STBIR_COLORSPACE_LINEAR, nullptr)) {
            state.SkipWithError("stbir_resize_uint8_generic failed");
            return;
        }
        benchmark::DoNotOptimize(thumbnail.data());
    }
    HostVideoFrame host;
    HostConvertWorldToVideoFrame(&world, true, false, kThumbnailWidth, kThumbnailHeight, host);
    if (host.rgb.size() != thumbnail.size()) return state.SkipWithError("the host's thumbnail differs in size");
    int largest = 0;
    double total = 0;
    for (size_t i = 0; i < thumbnail.size(); ++i) {
        const int difference = std::abs(static_cast<int>(thumbnail[i]) - static_cast<int>(host.rgb[i]));
        largest = std::max(largest, difference);
        total += difference;
    }
    state.counters["max_diff"] = largest;
    state.counters["mean_diff"] = total / static_cast<double>(thumbnail.size());
}

void BM_Scaler_Stb(benchmark::State& state) { StbScale(state, STBIR_FILTER_DEFAULT); }
BENCHMARK(BM_Scaler_Stb)->Unit(benchmark::kMillisecond);

void BM_Scaler_StbBox(benchmark::State& state) { StbScale(state, STBIR_FILTER_BOX); }
BENCHMARK(BM_Scaler_StbBox)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace brevant_bench

// Frames of the stand-in host: the procedural test picture that every rendered frame shows, the
// scaler behind HostConvertWorldToVideoFrame and the JPEG compressor behind HostCompressToJpeg.
//
// The scaler is separable and fixed-point: box (area) averaging along an axis that shrinks,
// bilinear along one that grows, a plain copy along one that keeps its size. Each output row
// sums its source rows into one row of 32-bit accumulators, which is then filtered across; the
// weight tables and the accumulator row are kept per thread and only grow, so a thumbnail per
// frame allocates nothing after the first.
#if defined(_WIN32)
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#define STBI_WRITE_NO_STDIO
#include <stb/stb_image_write.h>
#else
#include <turbojpeg.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "host/simulator/Records.h"

namespace brevant_host {
namespace {

constexpr int kWeightBits = 14;
constexpr int32_t kWeightOne = 1 << kWeightBits;
constexpr int32_t kMaxFrameSide = 32768;

// ---- Procedural picture -----------------------------------------------------------------------

// 3 x 5 digits, one row per entry, the top bit of three on the left.
constexpr uint8_t kDigitRows[10][5] = {
    {7, 5, 5, 5, 7}, {2, 6, 2, 2, 7}, {7, 1, 7, 4, 7}, {7, 1, 7, 1, 7}, {5, 5, 7, 1, 1},
    {7, 4, 7, 1, 7}, {7, 4, 7, 5, 7}, {7, 1, 1, 1, 1}, {7, 5, 7, 5, 7}, {7, 5, 7, 1, 7},
};

void FillRect(HostWorld& world, int32_t left, int32_t top, int32_t width, int32_t height, uint8_t r, uint8_t g,
              uint8_t b) {
    const int32_t x0 = std::max(0, left), y0 = std::max(0, top);
    const int32_t x1 = std::min(world.width, left + width), y1 = std::min(world.height, top + height);
    for (int32_t y = y0; y < y1; ++y) {
        uint8_t* pixel = world.pixels + y * world.rowBytes + static_cast<int64_t>(x0) * 4;
        for (int32_t x = x0; x < x1; ++x, pixel += 4) {
            pixel[0] = 255;
            pixel[1] = r;
            pixel[2] = g;
            pixel[3] = b;
        }
    }
}

void DrawNumber(HostWorld& world, int64_t number, int32_t cell) {
    const std::string digits = std::to_string(number);
    const int32_t left = cell * 2, top = cell * 2;
    const int32_t boxWidth = (static_cast<int32_t>(digits.size()) * 4 + 1) * cell;
    FillRect(world, left, top, boxWidth, 7 * cell, 0, 0, 0);
    int32_t x = left + cell;
    for (char c : digits) {
        if (c >= '0' && c <= '9') {
            const uint8_t* rows = kDigitRows[c - '0'];
            for (int32_t row = 0; row < 5; ++row) {
                for (int32_t column = 0; column < 3; ++column) {
                    if (rows[row] & (4 >> column)) {
                        FillRect(world, x + column * cell, top + cell + row * cell, cell, cell, 255, 255, 255);
                    }
                }
            }
        } else {
            FillRect(world, x, top + 3 * cell, 3 * cell, cell, 255, 255, 255);  // the minus sign
        }
        x += 4 * cell;
    }
}

// ---- Scaler -----------------------------------------------------------------------------------

// Which source samples make each output sample along one axis, and their weights in
// kWeightOne units (they sum to exactly kWeightOne).
struct AxisPlan {
    std::vector<int32_t> first;
    std::vector<int32_t> count;
    std::vector<int32_t> weights;  // `stride` per output sample
    int32_t stride = 1;
    bool identity = false;
};

void PlanAxis(int32_t source, int32_t target, AxisPlan& plan) {
    const auto targetSize = static_cast<size_t>(target);
    plan.first.resize(targetSize);
    plan.count.resize(targetSize);
    plan.identity = source == target;
    if (plan.identity) {
        plan.stride = 1;
        plan.weights.assign(targetSize, kWeightOne);
        for (int32_t i = 0; i < target; ++i) {
            plan.first[static_cast<size_t>(i)] = i;
            plan.count[static_cast<size_t>(i)] = 1;
        }
        return;
    }
    if (target < source) {
        // Area average: output sample i covers [i, i + 1) * scale of the source.
        const double scale = static_cast<double>(source) / target;
        plan.stride = static_cast<int32_t>(std::ceil(scale)) + 2;
        plan.weights.assign(targetSize * static_cast<size_t>(plan.stride), 0);
        for (int32_t i = 0; i < target; ++i) {
            const double start = i * scale, end = std::min<double>(source, (i + 1) * scale);
            const int32_t s0 = std::min(source - 1, static_cast<int32_t>(std::floor(start)));
            const int32_t s1 = std::min({source - 1, static_cast<int32_t>(std::ceil(end)) - 1, s0 + plan.stride - 1});
            int32_t* weights = &plan.weights[static_cast<size_t>(i) * static_cast<size_t>(plan.stride)];
            int32_t sum = 0, largest = 0;
            for (int32_t s = s0; s <= s1; ++s) {
                const double overlap = std::min<double>(end, s + 1) - std::max<double>(start, s);
                const int32_t weight = static_cast<int32_t>(std::lround(std::max(0.0, overlap) / scale * kWeightOne));
                weights[s - s0] = weight;
                sum += weight;
                if (weight > weights[largest]) largest = s - s0;
            }
            weights[largest] += kWeightOne - sum;
            plan.first[static_cast<size_t>(i)] = s0;
            plan.count[static_cast<size_t>(i)] = s1 - s0 + 1;
        }
        return;
    }
    // Bilinear between the two source samples around the output sample's centre.
    const double scale = static_cast<double>(source) / target;
    plan.stride = 2;
    plan.weights.assign(targetSize * 2, 0);
    for (int32_t i = 0; i < target; ++i) {
        const double centre = std::clamp((i + 0.5) * scale - 0.5, 0.0, static_cast<double>(source - 1));
        const int32_t s0 = static_cast<int32_t>(std::floor(centre));
        const int32_t farWeight = static_cast<int32_t>(std::lround((centre - s0) * kWeightOne));
        int32_t* weights = &plan.weights[static_cast<size_t>(i) * 2];
        plan.first[static_cast<size_t>(i)] = s0;
        if (s0 + 1 < source && farWeight > 0) {
            weights[0] = kWeightOne - farWeight;
            weights[1] = farWeight;
            plan.count[static_cast<size_t>(i)] = 2;
        } else {
            weights[0] = kWeightOne;
            plan.count[static_cast<size_t>(i)] = 1;
        }
    }
}

struct ScaleScratch {
    AxisPlan across;
    AxisPlan down;
    std::vector<uint32_t> rowSums;
};

// Fixed trip counts and unaliased pointers let the compilers vectorise these at -O2.
void MultiplyRow(const uint8_t* __restrict source, uint32_t weight, uint32_t* __restrict sums, size_t length) {
    size_t j = 0;
    for (; j + 16 <= length; j += 16) {
        const uint8_t* __restrict block = source + j;
        uint32_t* __restrict out = sums + j;
        for (size_t k = 0; k < 16; ++k) out[k] = static_cast<uint32_t>(block[k]) * weight;
    }
    for (; j < length; ++j) sums[j] = static_cast<uint32_t>(source[j]) * weight;
}

void MultiplyAddRow(const uint8_t* __restrict source, uint32_t weight, uint32_t* __restrict sums, size_t length) {
    size_t j = 0;
    for (; j + 16 <= length; j += 16) {
        const uint8_t* __restrict block = source + j;
        uint32_t* __restrict out = sums + j;
        for (size_t k = 0; k < 16; ++k) out[k] += static_cast<uint32_t>(block[k]) * weight;
    }
    for (; j < length; ++j) sums[j] += static_cast<uint32_t>(source[j]) * weight;
}

inline uint8_t ToByte(uint64_t value, int shift) {
    const uint64_t rounded = (value + (uint64_t{1} << (shift - 1))) >> shift;
    return static_cast<uint8_t>(std::min<uint64_t>(rounded, 255));
}

// One output row across, from ARGB bytes (weightShift 14) or from row sums (28).
template <typename Sample>
void FilterAcross(const Sample* row, const AxisPlan& across, int shift, uint8_t* out, int32_t width) {
    if (across.identity) {
        for (int32_t x = 0; x < width; ++x, out += 3) {
            const Sample* pixel = row + static_cast<size_t>(x) * 4;
            out[0] = ToByte(static_cast<uint64_t>(pixel[1]) * kWeightOne, shift);
            out[1] = ToByte(static_cast<uint64_t>(pixel[2]) * kWeightOne, shift);
            out[2] = ToByte(static_cast<uint64_t>(pixel[3]) * kWeightOne, shift);
        }
        return;
    }
    const int32_t* weights = across.weights.data();
    for (int32_t x = 0; x < width; ++x, out += 3, weights += across.stride) {
        const Sample* pixel = row + static_cast<size_t>(across.first[static_cast<size_t>(x)]) * 4;
        uint64_t r = 0, g = 0, b = 0;
        const int32_t taps = across.count[static_cast<size_t>(x)];
        for (int32_t k = 0; k < taps; ++k, pixel += 4) {
            const auto weight = static_cast<uint64_t>(weights[k]);
            r += pixel[1] * weight;
            g += pixel[2] * weight;
            b += pixel[3] * weight;
        }
        out[0] = ToByte(r, shift);
        out[1] = ToByte(g, shift);
        out[2] = ToByte(b, shift);
    }
}

#if !defined(_WIN32)
struct TjHandle {
    tjhandle handle = tjInitCompress();
    ~TjHandle() {
        if (handle) tjDestroy(handle);
    }
};

struct TjFree {
    void operator()(unsigned char* buffer) const { tjFree(buffer); }
};
#endif

}  // namespace

void DrawTestFrame(const HostComposition& composition, int32_t frameIndex, int64_t frameNumber, HostWorld& world) {
    const int32_t width = world.width, height = world.height;
    if (width <= 0 || height <= 0 || !world.pixels) return;
    const int32_t frames = std::max(1, composition.frames);
    const auto phase = static_cast<uint32_t>(frameIndex) * 256u / static_cast<uint32_t>(frames);

    // A gradient that drifts with the frame, under two bars that sweep across and down.
    std::vector<uint8_t> red(static_cast<size_t>(width));
    for (int32_t x = 0; x < width; ++x) {
        red[static_cast<size_t>(x)] = static_cast<uint8_t>(static_cast<uint32_t>(x) * 256u / static_cast<uint32_t>(width) + phase);
    }
    for (int32_t y = 0; y < height; ++y) {
        uint8_t* pixel = world.pixels + y * world.rowBytes;
        const auto green = static_cast<uint8_t>(static_cast<int64_t>(y) * 255 / std::max(1, height - 1));
        for (int32_t x = 0; x < width; ++x, pixel += 4) {
            pixel[0] = 255;
            pixel[1] = red[static_cast<size_t>(x)];
            pixel[2] = green;
            pixel[3] = static_cast<uint8_t>(((x + y) >> 2) + 2 * phase);
        }
    }
    const int32_t barWidth = std::max(1, width / 12), barHeight = std::max(1, height / 14);
    const int32_t barX = static_cast<int32_t>(static_cast<int64_t>(frameIndex % frames) * (width - barWidth) / frames);
    const int32_t barY = static_cast<int32_t>(static_cast<int64_t>(frameIndex % frames) * (height - barHeight) / frames);
    FillRect(world, barX, 0, barWidth, height, 255, 255, 255);
    FillRect(world, 0, barY, width, barHeight, 255, 200, 0);
    DrawNumber(world, frameNumber, std::max(1, std::min(width, height) / 48));
}

void ScaleWorldToFrame(const HostWorld& world, int32_t width, int32_t height, HostVideoFrame& frame) {
    if (width <= 0 || height <= 0) throw std::runtime_error("video frame size must be positive");
    if (width > kMaxFrameSide || height > kMaxFrameSide) throw std::runtime_error("video frame size too large");
    if (world.width <= 0 || world.height <= 0 || !world.pixels) throw std::runtime_error("empty frame buffer");
    if (world.width > kMaxFrameSide || world.height > kMaxFrameSide || world.rowBytes < int64_t{world.width} * 4) {
        throw std::runtime_error("malformed frame buffer");
    }

    thread_local ScaleScratch scratch;
    PlanAxis(world.width, width, scratch.across);
    PlanAxis(world.height, height, scratch.down);
    const size_t rowLength = static_cast<size_t>(world.width) * 4;
    scratch.rowSums.resize(rowLength);

    // The frame's own buffer is reused; on an allocation failure the frame gets it back intact.
    std::vector<uint8_t> rgb(std::move(frame.rgb));
    try {
        rgb.resize(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
    } catch (...) {
        frame.rgb = std::move(rgb);
        throw;
    }
    const AxisPlan& down = scratch.down;
    for (int32_t y = 0; y < height; ++y) {
        uint8_t* out = rgb.data() + static_cast<size_t>(y) * static_cast<size_t>(width) * 3;
        const int32_t first = down.first[static_cast<size_t>(y)];
        const int32_t taps = down.count[static_cast<size_t>(y)];
        const int32_t* weights = &down.weights[static_cast<size_t>(y) * static_cast<size_t>(down.stride)];
        if (taps == 1) {
            FilterAcross(world.pixels + first * world.rowBytes, scratch.across, kWeightBits, out, width);
            continue;
        }
        uint32_t* sums = scratch.rowSums.data();
        MultiplyRow(world.pixels + first * world.rowBytes, static_cast<uint32_t>(weights[0]), sums, rowLength);
        for (int32_t k = 1; k < taps; ++k) {
            MultiplyAddRow(world.pixels + (first + k) * world.rowBytes, static_cast<uint32_t>(weights[k]), sums,
                           rowLength);
        }
        FilterAcross(static_cast<const uint32_t*>(sums), scratch.across, 2 * kWeightBits, out, width);
    }
    frame.rgb = std::move(rgb);
    frame.width = width;
    frame.height = height;
}

// The JPEG seam. libjpeg-turbo where Debian builds it; Debian has no MinGW build of it, so on
// Windows the same baseline JPEG (4:2:0 at this quality) comes from stb_image_write.
#if defined(_WIN32)
std::vector<uint8_t> CompressRgbToJpeg(const uint8_t* rgb, int32_t width, int32_t height) {
    if (!rgb || width <= 0 || height <= 0) throw std::runtime_error("nothing to compress");
    std::vector<uint8_t> jpeg;
    auto append = [](void* context, void* bytes, int size) {
        auto* out = static_cast<std::vector<uint8_t>*>(context);
        out->insert(out->end(), static_cast<uint8_t*>(bytes), static_cast<uint8_t*>(bytes) + size);
    };
    if (!stbi_write_jpg_to_func(append, &jpeg, width, height, 3, rgb, kJpegQuality) || jpeg.empty()) {
        throw std::runtime_error("JPEG compression failed");
    }
    return jpeg;
}
#else
std::vector<uint8_t> CompressRgbToJpeg(const uint8_t* rgb, int32_t width, int32_t height) {
    if (!rgb || width <= 0 || height <= 0) throw std::runtime_error("nothing to compress");
    thread_local TjHandle compressor;
    if (!compressor.handle) throw std::runtime_error("JPEG compressor unavailable");
    unsigned char* jpeg = nullptr;
    unsigned long jpegSize = 0;
    const int result = tjCompress2(compressor.handle, rgb, width, width * 3, height, TJPF_RGB, &jpeg, &jpegSize,
                                   TJSAMP_420, kJpegQuality, TJFLAG_FASTDCT);
    std::unique_ptr<unsigned char, TjFree> owned(jpeg);
    if (result != 0 || !owned) {
        throw std::runtime_error(std::string("JPEG compression failed: ") + tjGetErrorStr2(compressor.handle));
    }
    return std::vector<uint8_t>(owned.get(), owned.get() + jpegSize);
}
#endif

}  // namespace brevant_host

using namespace brevant_host;

// The two flags select nothing in the stand-in host: every conversion is the same filtered scale
// of the colour channels, alpha dropped.
void HostConvertWorldToVideoFrame(const HostWorld* world, bool /*flag_a*/, bool /*flag_b*/, int32_t width,
                                  int32_t height, HostVideoFrame& out_frame) {
    if (!world) throw std::runtime_error("no frame buffer");
    HostErr code = kHostErrNone;
    if (TakeFault(HostCall::ConvertWorld, &code)) {
        throw std::runtime_error("video frame conversion failed (host code " + std::to_string(code) + ")");
    }
    ScaleWorldToFrame(*world, width, height, out_frame);
}

std::vector<uint8_t> HostCompressToJpeg(const HostVideoFrame& frame) {
    HostErr code = kHostErrNone;
    if (TakeFault(HostCall::CompressJpeg, &code)) {
        throw std::runtime_error("JPEG compression failed (host code " + std::to_string(code) + ")");
    }
    if (frame.width <= 0 || frame.height <= 0 ||
        frame.rgb.size() < static_cast<size_t>(frame.width) * static_cast<size_t>(frame.height) * 3) {
        throw std::runtime_error("video frame is empty or short");
    }
    return CompressRgbToJpeg(frame.rgb.data(), frame.width, frame.height);
}

// A JPEG of the frame being relayed. The host scales and compresses; the session only works
// out the target size and moves the bytes to its caller.
#include <cmath>

#include "session/BrevantSession.h"

namespace brevant {

bool BrevantSession::GetJobItemFrameThumbnail(int32_t itemId, int64_t frameId, int32_t& width, int32_t& height,
                                              std::vector<uint8_t>& bytes) {
    if (itemId != currentItemId || frameId != currentFrameId || !updateContext || !updateRecord) return false;
    const HostWorld* frame = updateRecord->frameBuffer;
    if (!frame) return false;
    // Empty frames and limits of zero or less would give the host's scaler no size to aim at.
    if (frame->width <= 0 || frame->height <= 0 || width <= 0 || height <= 0) return false;

    float sourceWidth = static_cast<float>(frame->width);
    const float sourceHeight = static_cast<float>(frame->height);
    const HostItem* item = updateRecord->item;
    if (item && HostItemType(item) == kHostItemTypeComposition) {
        const HostRatio aspect = reinterpret_cast<const HostCompItem*>(item)->pixelAspectRatio;
        if (aspect.den != 0) {
            sourceWidth *= static_cast<float>(static_cast<double>(aspect.num) / static_cast<double>(aspect.den));
        }
    }
    // Only the limit along the longer side applies; the other side follows; never enlarged.
    float w = std::fmin(sourceWidth, static_cast<float>(width));
    float h = std::fmin(sourceHeight, static_cast<float>(height));
    if (sourceWidth > sourceHeight) {
        h = (w / sourceWidth) * sourceHeight;
    } else {
        w = (h / sourceHeight) * sourceWidth;
    }
    if (!(w > 0.0f) || !(h > 0.0f) || w > 2147483520.0f || h > 2147483520.0f) return false;
    const int32_t targetWidth = static_cast<int32_t>(std::ceil(w));
    const int32_t targetHeight = static_cast<int32_t>(std::ceil(h));

    try {
        HostVideoFrame video;
        HostConvertWorldToVideoFrame(frame, true, false, targetWidth, targetHeight, video);
        bytes = HostCompressToJpeg(video);
    } catch (...) {
        HostLog(0, "BrevantSession", "GetJobItemFrameThumbnail", "failed to get thumbnail");
        return false;
    }
    width = targetWidth;
    height = targetHeight;
    return true;
}

}  // namespace brevant

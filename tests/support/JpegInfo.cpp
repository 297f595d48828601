#include "support/JpegInfo.h"

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_JPEG
#define STBI_NO_STDIO
#include <stb/stb_image.h>

namespace brevant_test {

bool JpegSize(const std::vector<uint8_t>& jpeg, int* width, int* height) {
    int w = 0, h = 0, channels = 0;
    if (jpeg.empty() || !stbi_info_from_memory(jpeg.data(), static_cast<int>(jpeg.size()), &w, &h, &channels)) {
        return false;
    }
    *width = w;
    *height = h;
    return true;
}

}  // namespace brevant_test

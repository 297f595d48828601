// The size that a JPEG's header declares, read by stb_image: a reader that shares nothing with
// the host's encoder (libjpeg-turbo, or stb_image_write on Windows).
#pragma once

#include <cstdint>
#include <vector>

namespace brevant_test {

// False when the bytes are not a JPEG whose header can be read; nothing is written then.
bool JpegSize(const std::vector<uint8_t>& jpeg, int* width, int* height);

}  // namespace brevant_test

// JPEG frames of an MJPG stream decoded for the tool's own use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace m4350::cap {

// Decodes a JPEG of the given size into B, G, R, A rows (libyuv's ARGB);
// false when it is not a decodable JPEG of that size.
bool DecodeJpegArgb(const uint8_t* data, size_t size, uint32_t width, uint32_t height,
                    std::vector<uint8_t>* argb);

} // namespace m4350::cap

// Baseline JPEG through libjpeg-turbo: the board's compressed colour code,
// and a decoder tests and tools use to look at what it sent.
#pragma once

#include <sim/test_pattern.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace m4350::sim {

inline constexpr int kJpegQuality = 85;

// Encodes a planar 4:2:2 picture (width a multiple of 16, height of 8) into
// `out`. Returns the compressed size, or 0 when it does not fit in
// `capacity` or the picture cannot be encoded.
size_t EncodeJpeg422(const PlanarImage& image, uint8_t* out, size_t capacity,
                     int quality = kJpegQuality);

struct DecodedLuma {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> luma;
};

// Decodes a JPEG to its luma plane; false when the data is not a decodable
// JPEG.
bool DecodeJpegLuma(const uint8_t* data, size_t size, DecodedLuma* out);

} // namespace m4350::sim

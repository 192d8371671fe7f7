// Baseline JPEG through libjpeg-turbo: the board's compressed colour code,
// and a decoder tests and tools use to look at what it sent.
#pragma once

#include <sim/test_pattern.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace m4350::sim {

inline constexpr int kJpegQuality = 85;

// Encodes a planar 4:2:2 studio-range picture (width a multiple of 16,
// height of 8) into `out`, stretched to the full range a JFIF decoder
// expects, so black decodes as 0 and 235 as 255. Returns the compressed size, or 0 when it does not
// fit in `capacity` or the picture cannot be encoded. With `restartEveryRow`, a restart marker
// follows every row of MCUs (8 lines): the rows are then coded independently of each other, so a
// row can be re-encoded alone and spliced in (see SplitJpegRows).
size_t EncodeJpeg422(const PlanarImage& image, uint8_t* out, size_t capacity,
                     int quality = kJpegQuality, bool restartEveryRow = false);

// Where the rows of a JPEG encoded with restartEveryRow lie: everything up
// to the entropy-coded data, then each row's coded bytes without the restart
// marker that ends it.
struct JpegRows {
    size_t headerSize = 0;
    struct Span {
        size_t offset, size;
    };
    std::vector<Span> rows;
};
bool SplitJpegRows(const uint8_t* jpeg, size_t size, JpegRows* out);

struct DecodedLuma {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> luma;
};

// Decodes a JPEG to its luma plane; false when the data is not a decodable
// JPEG.
bool DecodeJpegLuma(const uint8_t* data, size_t size, DecodedLuma* out);

} // namespace m4350::sim

// The 84-byte capture mode record and what a mode means for the stream: the
// picture size, the raw layout and the transfer size of one frame.
#pragma once

#include <cstdint>

namespace m4350::sim {

struct ModeSettings {
    uint32_t format = 1; // 1 NTSC, 2 PAL
    uint32_t scale = 1;  // 1/4 full frame, 2 full width one field, 3 half width one field
    uint32_t color = 3;  // low byte: colour code
    uint32_t fdec = 1;   // every fdec-th frame
    uint32_t bright = 0;
    uint32_t contrast = 0x5C;
    uint32_t saturation = 0x80;
    uint32_t hue = 0;
    uint32_t single = 0;
    uint32_t usbblock = 0x1000;
    uint32_t restart = 0;
    int32_t xoffset = 0;
    int32_t yoffset = 0;
    uint32_t reserved[8] = {};
};
static_assert(sizeof(ModeSettings) == 84, "the mode record is 21 words");

inline constexpr uint32_t kColorPlanarYuv = 1;
inline constexpr uint32_t kColorPackedYuv = 2;
inline constexpr uint32_t kColorRgb24 = 3;
inline constexpr uint32_t kColorLuma = 4;
inline constexpr uint32_t kColorJpeg = 5;
inline constexpr uint32_t kColorJpegWord = 0x3205;
inline constexpr uint32_t kColorRgb32 = 15;

enum class RawLayout {
    Planar422, // Y plane, then Cb and Cr planes of half width
    Luma,      // Y plane alone
    Jpeg,      // a baseline JPEG (4:2:2) of the picture
};

struct FrameGeometry {
    uint32_t width = 0;
    uint32_t height = 0;
    RawLayout layout = RawLayout::Planar422;
    uint32_t imageBytes = 0;    // bytes of the raw area after the header (JPEG: its capacity)
    uint32_t frameSize = 0;     // header + raw area: the header's frame-size word
    uint32_t transferBytes = 0; // frameSize rounded up to whole stream blocks
    bool pal = false;
};

// Sizes follow the driver's frame-size rule exactly: width x height x (1 for
// luma, 2 otherwise) + 512, rounded up to 16384; unknown standards or scales
// count as 640 x 240.
FrameGeometry GeometryOf(const ModeSettings& mode);

// Nanoseconds between two delivered frames of a mode, exactly (as a
// fraction): NTSC 1001/30000 s, PAL 1/25 s, times fdec.
struct FramePeriod {
    uint64_t numeratorNs;
    uint64_t denominator;
};
FramePeriod PeriodOf(const ModeSettings& mode);

} // namespace m4350::sim

// The picture the board sends: colour bars whose order depends on the
// channel, the input number as a digit, the frame number as decimal digits
// and as a machine-readable strip of blocks, and a white box that moves 8
// pixels per frame. A person sees at a glance which input a picture comes
// from and that frames are live and in order; a test reads the channel and
// the frame number back from the luma plane with ReadStamp.
#pragma once

#include <sim/mode.h>

#include <cstdint>
#include <vector>

namespace m4350::sim {

// The picture controls of a mode as the board's video decoder applies them
// to what it captures. Luma: contrast is a gain about black (92 is unity),
// brightness an offset; chroma: hue rotates the colour difference by
// hue x 90/64 degrees, saturation is a gain (128 is unity). Results stay in
// studio range (Y 16..235, Cb and Cr 16..240). The mode's words are taken
// within the ranges the driver allows (brightness -127..127 as a signed
// word, contrast and saturation 0..255, hue -64..64).
struct PictureControls {
    int32_t brightness = 0;
    int32_t contrast = 92;
    int32_t saturation = 128;
    int32_t hue = 0;

    static PictureControls Of(const ModeSettings& mode);
    bool Neutral() const;
};

inline constexpr int32_t kUnityContrast = 92;
inline constexpr int32_t kUnitySaturation = 128;
inline constexpr double kHueDegreesPerStep = 90.0 / 64.0;

// One luma value and one chroma pair through the controls.
uint8_t AdjustLuma(uint8_t y, const PictureControls& controls);
void AdjustChroma(uint8_t* cb, uint8_t* cr, const PictureControls& controls);

// Planes of one picture in the board's planar 4:2:2 layout. `cb`/`cr` are
// null for a luma-only picture. Rows are `width` (luma) and `width / 2`
// (chroma) bytes long.
struct PlanarImage {
    uint8_t* y = nullptr;
    uint8_t* cb = nullptr;
    uint8_t* cr = nullptr;
    uint32_t width = 0;
    uint32_t height = 0;
};

// The geometry of the picture's elements; tests use it to find them.
struct PatternLayout {
    static constexpr uint32_t kBandRows = 24;    // black band at the top
    static constexpr uint32_t kStripTop = 8;     // code strip rows 8..15
    static constexpr uint32_t kStripLeft = 16;   // first block's column
    static constexpr uint32_t kBlock = 8;        // block width and height
    static constexpr uint32_t kStripBlocks = 30; // sync(3) channel(2) frame(24) parity(1)
    static constexpr uint32_t kBoxSize = 32;     // moving box, white
    static constexpr uint32_t kBoxStep = 8;      // pixels per frame
    static constexpr uint32_t kBars = 8;
};

// Column of the moving box's left edge for a frame (even, so that it starts
// on a chroma sample).
uint32_t MovingBoxX(uint32_t frameNumber, uint32_t width);
uint32_t MovingBoxY(uint32_t height);

// Lines [first, last) that StampFrame may change: everything else stays as
// PaintBackground left it, frame after frame.
struct LineRange {
    uint32_t first, last;
};
std::vector<LineRange> StampedLines(uint32_t width, uint32_t height);

// The input number a person reads on the board beside the connector of
// board channel `boardChannel` (0 to 3): input 4 - b, as the driver's
// filters number them 1 to 4. The picture shows it; the strip carries b.
uint32_t InputNumber(uint32_t boardChannel);

// Paints the parts that never change for this channel and size, through the
// picture controls.
void PaintBackground(const PlanarImage& image, uint32_t boardChannel,
                     const PictureControls& controls = {});

// Paints the parts that change with the frame: code strip, frame digits and
// the moving box. `background` is the unstamped picture, used to restore
// where the box was in `previousFrame`'s picture. Digits and box go through
// the picture controls; the code strip does not: it is inserted after the
// decoder, like a data line, so machines read it whatever the controls.
void StampFrame(const PlanarImage& image, const PlanarImage& background, uint32_t boardChannel,
                uint32_t frameNumber, uint32_t previousFrame, const PictureControls& controls = {});

struct StampReading {
    bool valid = false; // sync pattern and parity matched
    uint32_t channel = 0;
    uint32_t frameNumber = 0; // low 24 bits of the board's frame counter
};

// Reads the code strip from a luma plane; `stride` 0 means `width`.
StampReading ReadStamp(const uint8_t* luma, uint32_t width, uint32_t height, uint32_t stride = 0);

} // namespace m4350::sim

#include <sim/test_pattern.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace m4350::sim {

namespace {

using L = PatternLayout;

constexpr uint8_t kBlack = 16;
constexpr uint8_t kWhite = 235;
constexpr uint8_t kNeutral = 128;

struct Ycc {
    uint8_t y, cb, cr;
};

// 75% colour bars, studio range.
constexpr Ycc kBars[L::kBars] = {
    {180, 128, 128}, // white
    {162, 44, 142},  // yellow
    {131, 156, 44},  // cyan
    {112, 72, 58},   // green
    {84, 184, 198},  // magenta
    {65, 100, 212},  // red
    {35, 212, 114},  // blue
    {16, 128, 128},  // black
};

int32_t Clamp(int32_t v, int32_t lo, int32_t hi) {
    return std::min(std::max(v, lo), hi);
}

// A mode word holding a signed value (brightness, hue) as a 32-bit pattern.
int32_t SignedWord(uint32_t word, int32_t lo, int32_t hi) {
    return Clamp(int32_t(word), lo, hi);
}

int32_t UnsignedWord(uint32_t word, int32_t hi) {
    return int32_t(std::min<uint32_t>(word, uint32_t(hi)));
}

Ycc Adjust(Ycc c, const PictureControls& k) {
    Ycc out{AdjustLuma(c.y, k), c.cb, c.cr};
    AdjustChroma(&out.cb, &out.cr, k);
    return out;
}

// Seven-segment digits: bit 0 top, 1 top right, 2 bottom right, 3 bottom,
// 4 bottom left, 5 top left, 6 middle.
constexpr uint8_t kSegments[10] = {0x3F, 0x06, 0x5B, 0x4F, 0x66, 0x6D, 0x7D, 0x07, 0x7F, 0x6F};
constexpr uint32_t kDigitW = 12, kDigitH = 20, kStroke = 3, kDigitPitch = 16;
constexpr uint32_t kFrameDigits = 8;

void FillRect(const PlanarImage& im, uint32_t x, uint32_t y, uint32_t w, uint32_t h, Ycc c) {
    if (x >= im.width || y >= im.height)
        return;
    if (x + w > im.width)
        w = im.width - x;
    if (y + h > im.height)
        h = im.height - y;
    for (uint32_t r = y; r < y + h; ++r) {
        std::memset(im.y + size_t(r) * im.width + x, c.y, w);
        if (im.cb) {
            // Chroma covers pixel pairs; x and w are even wherever this is used.
            const size_t off = size_t(r) * (im.width / 2) + x / 2;
            std::memset(im.cb + off, c.cb, w / 2);
            std::memset(im.cr + off, c.cr, w / 2);
        }
    }
}

void CopyRect(const PlanarImage& dst, const PlanarImage& src, uint32_t x, uint32_t y, uint32_t w,
              uint32_t h) {
    if (x >= dst.width || y >= dst.height)
        return;
    if (x + w > dst.width)
        w = dst.width - x;
    if (y + h > dst.height)
        h = dst.height - y;
    for (uint32_t r = y; r < y + h; ++r) {
        const size_t off = size_t(r) * dst.width + x;
        std::memcpy(dst.y + off, src.y + off, w);
        if (dst.cb) {
            const size_t coff = size_t(r) * (dst.width / 2) + x / 2;
            std::memcpy(dst.cb + coff, src.cb + coff, w / 2);
            std::memcpy(dst.cr + coff, src.cr + coff, w / 2);
        }
    }
}

void DrawDigit(const PlanarImage& im, uint32_t x, uint32_t y, uint32_t digit, Ycc on) {
    const uint8_t s = kSegments[digit % 10];
    const uint32_t mid = y + (kDigitH - kStroke) / 2;
    if (s & 0x01)
        FillRect(im, x, y, kDigitW, kStroke, on);
    if (s & 0x40)
        FillRect(im, x, mid, kDigitW, kStroke, on);
    if (s & 0x08)
        FillRect(im, x, y + kDigitH - kStroke, kDigitW, kStroke, on);
    const uint32_t half = kDigitH / 2;
    if (s & 0x20)
        FillRect(im, x, y, kStroke + 1, half, on);
    if (s & 0x02)
        FillRect(im, x + kDigitW - kStroke - 1, y, kStroke + 1, half, on);
    if (s & 0x10)
        FillRect(im, x, y + half, kStroke + 1, kDigitH - half, on);
    if (s & 0x04)
        FillRect(im, x + kDigitW - kStroke - 1, y + half, kStroke + 1, kDigitH - half, on);
}

uint32_t DigitsTop(uint32_t height) {
    return height >= 48 ? height - 40 : 0;
}

} // namespace

uint32_t InputNumber(uint32_t boardChannel) {
    return 4 - (boardChannel & 3);
}

PictureControls PictureControls::Of(const ModeSettings& mode) {
    PictureControls k;
    k.brightness = SignedWord(mode.bright, -127, 127);
    k.contrast = UnsignedWord(mode.contrast, 255);
    k.saturation = UnsignedWord(mode.saturation, 255);
    k.hue = SignedWord(mode.hue, -64, 64);
    return k;
}

bool PictureControls::Neutral() const {
    return brightness == 0 && contrast == kUnityContrast && saturation == kUnitySaturation &&
           hue == 0;
}

uint8_t AdjustLuma(uint8_t y, const PictureControls& k) {
    // Rounded to nearest; the gain works on the level above black.
    const int32_t above = (int32_t(y) - kBlack) * k.contrast;
    const int32_t scaled = (above + (above >= 0 ? 1 : -1) * kUnityContrast / 2) / kUnityContrast;
    return uint8_t(Clamp(kBlack + scaled + k.brightness, kBlack, kWhite));
}

void AdjustChroma(uint8_t* cb, uint8_t* cr, const PictureControls& k) {
    if (k.hue == 0 && k.saturation == kUnitySaturation)
        return;
    const double angle = k.hue * kHueDegreesPerStep * M_PI / 180.0;
    const double gain = double(k.saturation) / kUnitySaturation;
    const double u = double(*cb) - kNeutral, v = double(*cr) - kNeutral;
    const double u2 = (u * std::cos(angle) - v * std::sin(angle)) * gain;
    const double v2 = (u * std::sin(angle) + v * std::cos(angle)) * gain;
    *cb = uint8_t(Clamp(int32_t(std::lround(u2)) + kNeutral, 16, 240));
    *cr = uint8_t(Clamp(int32_t(std::lround(v2)) + kNeutral, 16, 240));
}

std::vector<LineRange> StampedLines(uint32_t width, uint32_t height) {
    auto clip = [&](uint32_t first, uint32_t count) {
        return LineRange{std::min(first, height), std::min(first + count, height)};
    };
    (void)width;
    return {clip(L::kStripTop, L::kBlock), clip(MovingBoxY(height), L::kBoxSize),
            clip(DigitsTop(height), kDigitH + 8)};
}

uint32_t MovingBoxX(uint32_t frameNumber, uint32_t width) {
    if (width <= L::kBoxSize)
        return 0;
    const uint32_t span = width - L::kBoxSize;
    return uint32_t((uint64_t(frameNumber) * L::kBoxStep) % span) & ~1u;
}

uint32_t MovingBoxY(uint32_t height) {
    return height > L::kBoxSize ? ((height - L::kBoxSize) / 2) & ~1u : 0;
}

void PaintBackground(const PlanarImage& im, uint32_t boardChannel, const PictureControls& k) {
    FillRect(im, 0, 0, im.width, L::kBandRows, Adjust({kBlack, kNeutral, kNeutral}, k));
    const uint32_t barW = im.width / L::kBars;
    for (uint32_t i = 0; i < L::kBars; ++i) {
        const uint32_t x = i * barW;
        const uint32_t w = i + 1 == L::kBars ? im.width - x : barW;
        FillRect(im, x, L::kBandRows, w, im.height - L::kBandRows,
                 Adjust(kBars[(i + 2 * boardChannel) % L::kBars], k));
    }
    // The input number printed at the connector, top right, so a person
    // tells the inputs apart without reading the strip: board channel b is
    // input 4 - b (the strip keeps the board's own numbering).
    if (im.width >= 2 * kDigitW)
        DrawDigit(im, im.width - kDigitW - 8, 2, InputNumber(boardChannel),
                  Adjust({kWhite, kNeutral, kNeutral}, k));
}

void StampFrame(const PlanarImage& im, const PlanarImage& background, uint32_t boardChannel,
                uint32_t frameNumber, uint32_t previousFrame, const PictureControls& k) {
    const Ycc white = Adjust({kWhite, kNeutral, kNeutral}, k);
    const Ycc black = Adjust({kBlack, kNeutral, kNeutral}, k);
    // Code strip.
    const uint32_t frame = frameNumber & 0xFFFFFF;
    uint32_t bits[L::kStripBlocks];
    bits[0] = 1;
    bits[1] = 0;
    bits[2] = 1;
    bits[3] = (boardChannel >> 1) & 1;
    bits[4] = boardChannel & 1;
    uint32_t ones = bits[3] + bits[4];
    for (uint32_t i = 0; i < 24; ++i) {
        bits[5 + i] = (frame >> (23 - i)) & 1;
        ones += bits[5 + i];
    }
    bits[29] = ones & 1; // even parity over channel and frame bits
    for (uint32_t i = 0; i < L::kStripBlocks; ++i)
        FillRect(im, L::kStripLeft + i * L::kBlock, L::kStripTop, L::kBlock, L::kBlock,
                 {bits[i] ? kWhite : kBlack, kNeutral, kNeutral});

    // Decimal frame number, bottom left.
    const uint32_t top = DigitsTop(im.height);
    FillRect(im, 8, top, kFrameDigits * kDigitPitch + 8, kDigitH + 8, black);
    uint32_t n = frameNumber;
    for (uint32_t i = 0; i < kFrameDigits; ++i) {
        DrawDigit(im, 12 + (kFrameDigits - 1 - i) * kDigitPitch, top + 4, n % 10, white);
        n /= 10;
    }

    // Moving box: put back what the previous frame's box covered, then draw.
    const uint32_t by = MovingBoxY(im.height);
    CopyRect(im, background, MovingBoxX(previousFrame, im.width), by, L::kBoxSize, L::kBoxSize);
    FillRect(im, MovingBoxX(frameNumber, im.width), by, L::kBoxSize, L::kBoxSize, white);
}

StampReading ReadStamp(const uint8_t* luma, uint32_t width, uint32_t height, uint32_t stride) {
    StampReading r;
    if (!stride)
        stride = width;
    if (!luma || width < L::kStripLeft + L::kStripBlocks * L::kBlock ||
        height < L::kStripTop + L::kBlock)
        return r;
    uint32_t bits[L::kStripBlocks];
    const size_t row = size_t(L::kStripTop + L::kBlock / 2) * stride;
    for (uint32_t i = 0; i < L::kStripBlocks; ++i)
        bits[i] = luma[row + L::kStripLeft + i * L::kBlock + L::kBlock / 2] > 128 ? 1 : 0;
    if (bits[0] != 1 || bits[1] != 0 || bits[2] != 1)
        return r;
    uint32_t ones = 0, frame = 0;
    for (uint32_t i = 3; i < 29; ++i)
        ones += bits[i];
    for (uint32_t i = 0; i < 24; ++i)
        frame = frame << 1 | bits[5 + i];
    if ((ones & 1) != bits[29])
        return r;
    r.valid = true;
    r.channel = bits[3] << 1 | bits[4];
    r.frameNumber = frame;
    return r;
}

} // namespace m4350::sim

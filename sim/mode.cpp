#include <sim/mode.h>
#include <sim/protocol.h>

namespace m4350::sim {

FrameGeometry GeometryOf(const ModeSettings& mode) {
    FrameGeometry g;
    g.pal = mode.format == 2;
    uint32_t w = 640, h = 240;
    if (mode.format == 1 || mode.format == 2) {
        switch (mode.scale) {
        case 1:
        case 4:
            w = g.pal ? 704 : 640;
            h = g.pal ? 576 : 480;
            break;
        case 2:
            w = g.pal ? 704 : 640;
            h = g.pal ? 288 : 240;
            break;
        case 3:
            w = g.pal ? 352 : 320;
            h = g.pal ? 288 : 240;
            break;
        default:
            break;
        }
    }
    g.width = w;
    g.height = h;
    const uint32_t code = mode.color & 0xFF;
    // Codes the board does not know are sent like the planar ones: the
    // driver sizes them at two bytes per pixel too.
    g.layout = code == kColorLuma   ? RawLayout::Luma
               : code == kColorJpeg ? RawLayout::Jpeg
                                    : RawLayout::Planar422;
    g.imageBytes = w * h * (g.layout == RawLayout::Luma ? 1 : 2);
    g.frameSize = g.imageBytes + kFrameHeaderSize;
    g.transferBytes = (g.frameSize + kStreamBlockSize - 1) / kStreamBlockSize * kStreamBlockSize;
    return g;
}

FramePeriod PeriodOf(const ModeSettings& mode) {
    const uint64_t fdec = mode.fdec == 0 ? 1 : mode.fdec;
    if (mode.format == 2)
        return {fdec * 1'000'000'000ull, 25};
    return {fdec * 1001ull * 1'000'000'000ull, 30000};
}

} // namespace m4350::sim

// The scalar definitions of the pixel conversions. Every packed-YUV routine
// is one walk over output pixels: a map from output (row, column) to a luma
// index, one from (row, pair) to a chroma index, and the byte order. The fast
// paths are checked against exactly these maps.
#include "capture/conversion_reference.h"

namespace reference {
namespace {

UCHAR clampByte(LONG v) {
    return v < 0 ? 0 : v > 255 ? 255 : (UCHAR)v;
}

// Writes H rows of W pixels and pad pad pixels each. lumaAt(r, c) and
// chromaAt(r, p) return source indices (chroma into the Cb and Cr planes),
// or the routine passes constant planes. A last unpaired pixel of an odd
// row takes Y and the first chroma byte of its pair's slot.
template <typename LumaAt, typename CbAt, typename CrAt>
void packRows(PUCHAR dst, ULONG W, ULONG H, BOOLEAN isYuy2, ULONG pad, UCHAR padLuma,
              UCHAR padChroma, LumaAt lumaAt, CbAt cbAt, CrAt crAt) {
    for (ULONG r = 0; r < H; r++) {
        for (ULONG c = 0; c < W; c += 2) {
            ULONG p = c / 2;
            UCHAR y0 = lumaAt(r, c);
            UCHAR cb = cbAt(r, p);
            if (isYuy2) {
                *dst++ = y0;
                *dst++ = cb;
            } else {
                *dst++ = cb;
                *dst++ = y0;
            }
            if (c + 1 == W) {
                break;
            }
            UCHAR y1 = lumaAt(r, c + 1);
            UCHAR cr = crAt(r, p);
            if (isYuy2) {
                *dst++ = y1;
                *dst++ = cr;
            } else {
                *dst++ = cr;
                *dst++ = y1;
            }
        }
        for (ULONG i = 0; i < pad; i++) {
            *dst++ = isYuy2 ? padLuma : padChroma;
            *dst++ = isYuy2 ? padChroma : padLuma;
        }
    }
}

// Planar to BGR(0): pixel i of the frame (row-major) takes the chroma pair
// i / 2; a frame that ends after the first pixel of a pair ends there.
void planarToRgb(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG bytesPerPixel,
                 bool flipped) {
    SIZE_T n = (SIZE_T)W * H;
    const UCHAR* cb = src + n;
    const UCHAR* cr = src + n + n / 2;
    SIZE_T pixels = n & ~(SIZE_T)1;
    for (SIZE_T i = 0; i < pixels; i++) {
        SIZE_T row = i / W;
        SIZE_T column = i % W;
        SIZE_T outRow = flipped ? H - 1 - row : row;
        PUCHAR out = dst + (outRow * W + column) * bytesPerPixel;
        UCHAR r, g, b;
        yuvToRgb(src[i], cr[i / 2], cb[i / 2], &r, &g, &b);
        out[0] = b;
        out[1] = g;
        out[2] = r;
        if (bytesPerPixel == 4) {
            out[3] = 0;
        }
    }
}

} // namespace

void yuvToRgb(LONG Y, LONG Cr, LONG Cb, PUCHAR R, PUCHAR G, PUCHAR B) {
    LONG l = (Y - 16) * 76533;
    *R = clampByte((l + (Cr - 128) * 104936) >> 16);
    *G = clampByte((l - (Cr - 128) * 53451 - (Cb - 128) * 25703) >> 16);
    *B = clampByte((l + (Cb - 128) * 132677) >> 16);
}

void planarToRgb24(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H) {
    planarToRgb(src, dst, W, H, 3, false);
}

void planarToRgb24Flipped(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H) {
    planarToRgb(src, dst, W, H, 3, true);
}

void planarToRgb32(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H) {
    planarToRgb(src, dst, W, H, 4, false);
}

void planarToRgb32Flipped(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H) {
    planarToRgb(src, dst, W, H, 4, true);
}

void greyToRgb(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, BOOLEAN bottomUp,
               ULONG bytesPerPixel) {
    for (SIZE_T y = 0; y < H; y++) {
        SIZE_T outRow = bottomUp ? H - 1 - y : y;
        for (SIZE_T x = 0; x < W; x++) {
            UCHAR v = src[y * W + x];
            PUCHAR out = dst + (outRow * W + x) * bytesPerPixel;
            out[0] = out[1] = out[2] = v;
            if (bytesPerPixel == 4) {
                out[3] = 0;
            }
        }
    }
}

void planarToPacked(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG order, ULONG pad) {
    SIZE_T n = (SIZE_T)W * H;
    const UCHAR* cb = src + n;
    const UCHAR* cr = src + n + n / 2;
    packRows(
        dst, W, H, order == 1, pad, 0, 0, [&](ULONG r, ULONG c) { return src[(SIZE_T)r * W + c]; },
        [&](ULONG r, ULONG p) { return cb[((SIZE_T)r * W + 2 * p) / 2]; },
        [&](ULONG r, ULONG p) { return cr[((SIZE_T)r * W + 2 * p) / 2]; });
}

void planarToPackedTransposed(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw,
                              BOOLEAN isYuy2, ULONG pad) {
    SIZE_T n = (SIZE_T)W * H;
    const UCHAR* cb = src + n;
    const UCHAR* cr = src + n + n / 2;
    // Output (r, c) is source (line c, column r); a pair's chroma is that of
    // its first pixel.
    packRows(
        dst, W, H, isYuy2, pad, 0, 128, [&](ULONG r, ULONG c) { return src[(SIZE_T)c * Sw + r]; },
        [&](ULONG r, ULONG p) { return cb[((SIZE_T)2 * p * Sw + r) / 2]; },
        [&](ULONG r, ULONG p) { return cr[((SIZE_T)2 * p * Sw + r) / 2]; });
}

void planarToPackedAntiTransposed(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw,
                                  ULONG Sh, BOOLEAN isYuy2, ULONG pad) {
    SIZE_T n = (SIZE_T)W * H;
    const UCHAR* cb = src + n;
    const UCHAR* cr = src + n + n / 2;
    SIZE_T last = (SIZE_T)Sw * Sh - 1;
    // Output (r, c) is source (line Sh - 1 - c, column Sw - 1 - r): every
    // pixel its own sample. A pair's chroma is that of its first pixel.
    packRows(
        dst, W, H, isYuy2, pad, 0, 128,
        [&](ULONG r, ULONG c) { return src[last - r - (SIZE_T)c * Sw]; },
        [&](ULONG r, ULONG p) { return cb[(last - r - (SIZE_T)2 * p * Sw) / 2]; },
        [&](ULONG r, ULONG p) { return cr[(last - r - (SIZE_T)2 * p * Sw) / 2]; });
}

void lumaToPacked(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, BOOLEAN isYuy2, ULONG pad) {
    auto neutral = [](ULONG, ULONG) { return (UCHAR)128; };
    packRows(
        dst, W, H, isYuy2, pad, 0, 0, [&](ULONG r, ULONG c) { return src[(SIZE_T)r * W + c]; },
        neutral, neutral);
}

void lumaToPackedTransposed(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw,
                            BOOLEAN isYuy2, ULONG pad) {
    auto neutral = [](ULONG, ULONG) { return (UCHAR)128; };
    packRows(
        dst, W, H, isYuy2, pad, 0, 0, [&](ULONG r, ULONG c) { return src[(SIZE_T)c * Sw + r]; },
        neutral, neutral);
}

void lumaToPackedAntiTransposed(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw, ULONG Sh,
                                BOOLEAN isYuy2, ULONG pad) {
    auto neutral = [](ULONG, ULONG) { return (UCHAR)128; };
    SIZE_T last = (SIZE_T)Sw * Sh - 1;
    packRows(
        dst, W, H, isYuy2, pad, 0, 0,
        [&](ULONG r, ULONG c) { return src[last - r - (SIZE_T)c * Sw]; }, neutral, neutral);
}

void planarToYv16(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H) {
    SIZE_T n = (SIZE_T)W * H;
    for (SIZE_T i = 0; i < n; i++) {
        dst[i] = src[i];
    }
    for (SIZE_T i = 0; i < n / 2; i++) {
        dst[n + i] = src[n + n / 2 + i];
        dst[n + n / 2 + i] = src[n + i];
    }
}

void transposeLuma(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw) {
    for (SIZE_T r = 0; r < H; r++) {
        for (SIZE_T c = 0; c < W; c++) {
            dst[r * W + c] = src[c * Sw + r];
        }
    }
}

void antiTransposeLuma(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw, ULONG Sh) {
    SIZE_T last = (SIZE_T)Sw * Sh - 1;
    for (SIZE_T r = 0; r < H; r++) {
        for (SIZE_T c = 0; c < W; c++) {
            dst[r * W + c] = src[last - r - c * Sw];
        }
    }
}

void copyLuma(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H) {
    SIZE_T n = (SIZE_T)W * H;
    for (SIZE_T i = 0; i < n; i++) {
        dst[i] = src[i];
    }
}

void copyCompressed(const UCHAR* src, PUCHAR dst, ULONG compressedSize) {
    for (SIZE_T i = 0; i < compressedSize; i++) {
        dst[i] = src[i];
    }
}

// Field portraits: output column 2l + k (k = 0, 1) of row r comes from field
// line l and source column 2r + k (transposed), or from line Lf - 1 - l and
// column Sw - 1 - 2r - k (anti-transposed).
namespace {

SIZE_T fieldLuma(ULONG r, ULONG c, ULONG Sw) {
    return (SIZE_T)(c / 2) * Sw + 2 * r + (c & 1);
}

SIZE_T fieldLumaAnti(ULONG r, ULONG c, ULONG W, ULONG Sw) {
    ULONG lines = W / 2;
    return (SIZE_T)(lines - 1 - c / 2) * Sw + (Sw - 1 - 2 * r - (c & 1));
}

SIZE_T fieldChroma(ULONG r, ULONG p, ULONG Sw) {
    return (SIZE_T)p * (Sw / 2) + r;
}

SIZE_T fieldChromaAnti(ULONG r, ULONG p, ULONG W, ULONG Sw) {
    ULONG lines = W / 2;
    return (SIZE_T)(lines - 1 - p) * (Sw / 2) + (Sw / 2 - 1 - r);
}

} // namespace

void planarFieldToPackedTransposed(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw,
                                   BOOLEAN isYuy2, ULONG pad) {
    SIZE_T n = (SIZE_T)W * H;
    const UCHAR* cb = src + n;
    const UCHAR* cr = src + n + n / 2;
    packRows(
        dst, W, H, isYuy2, pad, 0, 128, [&](ULONG r, ULONG c) { return src[fieldLuma(r, c, Sw)]; },
        [&](ULONG r, ULONG p) { return cb[fieldChroma(r, p, Sw)]; },
        [&](ULONG r, ULONG p) { return cr[fieldChroma(r, p, Sw)]; });
}

void planarFieldToPackedAntiTransposed(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw,
                                       BOOLEAN isYuy2, ULONG pad) {
    SIZE_T n = (SIZE_T)W * H;
    const UCHAR* cb = src + n;
    const UCHAR* cr = src + n + n / 2;
    packRows(
        dst, W, H, isYuy2, pad, 0, 128,
        [&](ULONG r, ULONG c) { return src[fieldLumaAnti(r, c, W, Sw)]; },
        [&](ULONG r, ULONG p) { return cb[fieldChromaAnti(r, p, W, Sw)]; },
        [&](ULONG r, ULONG p) { return cr[fieldChromaAnti(r, p, W, Sw)]; });
}

void fieldTransposeLuma(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw) {
    for (ULONG r = 0; r < H; r++) {
        for (ULONG c = 0; c < W; c++) {
            dst[(SIZE_T)r * W + c] = src[fieldLuma(r, c, Sw)];
        }
    }
}

void fieldAntiTransposeLuma(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw) {
    for (ULONG r = 0; r < H; r++) {
        for (ULONG c = 0; c < W; c++) {
            dst[(SIZE_T)r * W + c] = src[fieldLumaAnti(r, c, W, Sw)];
        }
    }
}

void lumaFieldToPackedTransposed(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw,
                                 BOOLEAN isYuy2, ULONG pad) {
    auto neutral = [](ULONG, ULONG) { return (UCHAR)128; };
    packRows(
        dst, W, H, isYuy2, pad, 0, 0, [&](ULONG r, ULONG c) { return src[fieldLuma(r, c, Sw)]; },
        neutral, neutral);
}

void lumaFieldToPackedAntiTransposed(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw,
                                     BOOLEAN isYuy2, ULONG pad) {
    auto neutral = [](ULONG, ULONG) { return (UCHAR)128; };
    packRows(
        dst, W, H, isYuy2, pad, 0, 0,
        [&](ULONG r, ULONG c) { return src[fieldLumaAnti(r, c, W, Sw)]; }, neutral, neutral);
}

} // namespace reference

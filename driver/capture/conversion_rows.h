// The row functions behind the pixel conversions, one set per instruction
// level, and the table the dispatch fills from them.
//
// A row function converts one run of `width` pixels (width even, at least 2)
// whose chroma samples are consecutive: a frame row, or a whole frame when
// its rows follow one another without a gap. SIMD row functions work in
// blocks; a last partial block is done again as the final whole block of the
// run (destination and source never overlap), and runs shorter than one
// block go through the scalar rows below.
//
// The portrait routines do not split into rows; their SIMD versions work on
// tiles and are whole-frame functions with the public arguments.
#pragma once

#include <wdm.h>

namespace conversion {

typedef void (*YuvRowFn)(const UCHAR* y, const UCHAR* cb, const UCHAR* cr, PUCHAR dst,
                         SIZE_T width);
typedef void (*LumaRowFn)(const UCHAR* y, PUCHAR dst, SIZE_T width);

typedef void (*PortraitPackFn)(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw, ULONG Sh,
                               BOOLEAN isYuy2, ULONG pad);
typedef void (*PortraitLumaFn)(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw, ULONG Sh);

struct ConversionRows {
    YuvRowFn rgb24;
    YuvRowFn rgb32;
    YuvRowFn yuy2;
    YuvRowFn uyvy;
    LumaRowFn grey24;
    LumaRowFn grey32;
    LumaRowFn lumaYuy2;
    LumaRowFn lumaUyvy;
    // Whole-frame portrait routines. The field ones ignore Sh.
    PortraitPackFn planarTransposed;
    PortraitPackFn planarAntiTransposed;
    PortraitPackFn lumaPackTransposed;
    PortraitPackFn lumaPackAntiTransposed;
    PortraitLumaFn transpose;
    PortraitLumaFn antiTranspose;
    PortraitPackFn planarFieldTransposed;
    PortraitPackFn planarFieldAntiTransposed;
    PortraitPackFn lumaFieldTransposed;
    PortraitPackFn lumaFieldAntiTransposed;
    PortraitLumaFn fieldTranspose;
    PortraitLumaFn fieldAntiTranspose;
};

// Each level fills what it speeds up and leaves the rest as the level below
// set it. Levels that are not built (another architecture, or AVX2 switched
// off) fill nothing.
void fillRowsSse2(ConversionRows* rows);
void fillRowsSsse3(ConversionRows* rows);
void fillRowsAvx2(ConversionRows* rows);

// The 16.16 formula of one pixel, shared by the scalar rows. Its arguments
// are the raw samples.
FORCEINLINE void pixelToBgr(LONG y, LONG cb, LONG cr, PUCHAR out) {
    LONG l = (y - 16) * 76533;
    LONG b = (l + (cb - 128) * 132677) >> 16;
    LONG g = (l - (cr - 128) * 53451 - (cb - 128) * 25703) >> 16;
    LONG r = (l + (cr - 128) * 104936) >> 16;
    out[0] = b < 0 ? 0 : b > 255 ? 255 : (UCHAR)b;
    out[1] = g < 0 ? 0 : g > 255 ? 255 : (UCHAR)g;
    out[2] = r < 0 ? 0 : r > 255 ? 255 : (UCHAR)r;
}

// Scalar rows: the short runs of every level, and the scalar level itself.
FORCEINLINE void scalarRgbRow(const UCHAR* y, const UCHAR* cb, const UCHAR* cr, PUCHAR dst,
                              SIZE_T width, ULONG bytesPerPixel) {
    for (SIZE_T x = 0; x < width; x++) {
        pixelToBgr(y[x], cb[x / 2], cr[x / 2], dst + x * bytesPerPixel);
        if (bytesPerPixel == 4) {
            dst[x * 4 + 3] = 0;
        }
    }
}

FORCEINLINE void scalarPackRow(const UCHAR* y, const UCHAR* cb, const UCHAR* cr, PUCHAR dst,
                               SIZE_T width, bool yuy2) {
    for (SIZE_T p = 0; p < width / 2; p++) {
        PUCHAR out = dst + 4 * p;
        out[yuy2 ? 0 : 1] = y[2 * p];
        out[yuy2 ? 2 : 3] = y[2 * p + 1];
        out[yuy2 ? 1 : 0] = cb[p];
        out[yuy2 ? 3 : 2] = cr[p];
    }
}

FORCEINLINE void scalarLumaPackRow(const UCHAR* y, PUCHAR dst, SIZE_T width, bool yuy2) {
    for (SIZE_T x = 0; x < width; x++) {
        dst[2 * x + (yuy2 ? 0 : 1)] = y[x];
        dst[2 * x + (yuy2 ? 1 : 0)] = 128;
    }
}

FORCEINLINE void scalarGreyRow(const UCHAR* y, PUCHAR dst, SIZE_T width, ULONG bytesPerPixel) {
    for (SIZE_T x = 0; x < width; x++) {
        PUCHAR out = dst + x * bytesPerPixel;
        out[0] = out[1] = out[2] = y[x];
        if (bytesPerPixel == 4) {
            out[3] = 0;
        }
    }
}

// Writes pad packed pixels of (luma, chroma) bytes in the given order.
FORCEINLINE void writePad(PUCHAR dst, ULONG pad, bool yuy2, UCHAR luma, UCHAR chroma) {
    for (ULONG i = 0; i < pad; i++) {
        dst[2 * i] = yuy2 ? luma : chroma;
        dst[2 * i + 1] = yuy2 ? chroma : luma;
    }
}

} // namespace conversion

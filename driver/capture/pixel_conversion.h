// Pixel-format conversion: the last step of a frame's road, from the raw
// frame the board delivered into the application's buffer.
//
// Raw frames are planar YCbCr 4:2:2 (luma plane, then Cb, then Cr, each
// row-major with the top line first; chroma planes half the width) or luma
// alone. Plane offsets come from N = W x H, the output pixel count, which is
// the raw frame's pixel count for every geometry frame delivery passes.
//
// These are the routines frame delivery calls. Each one runs the fastest row
// functions the processor offers (chosen once, at first use) and gives
// exactly the bytes of the scalar definitions in conversion_reference.h.
// None of them allocates, locks or fails; none reads outside the source frame
// or writes outside the extent its comment gives. Every routine may be called
// at or below DISPATCH_LEVEL.
//
// Arguments: W output width in pixels, H output rows, pad extra pixels after
// each packed-YUV output row, Sw and Sh the source width and line count.
// The pair-based routines expect even W (every catalogue width is even).
#pragma once

#include <wdm.h>

// One pixel in 16.16 fixed point (BT.601 studio range), each channel clamped
// to 0..255. Note the argument order: luma, then Cr, then Cb.
void yuvToRgb(LONG Y, LONG Cr, LONG Cb, PUCHAR R, PUCHAR G, PUCHAR B);

// Planar to BGR (W x H x 3 bytes) / BGR0 (W x H x 4 bytes), top row first or,
// Flipped, bottom row first (a bottom-up bitmap of the upright picture).
void planarToRgb24(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H);
void planarToRgb24Flipped(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H);
void planarToRgb32(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H);
void planarToRgb32Flipped(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H);

// Luma to grey BGR or BGR0 (bytesPerPixel 3 or 4; W x H x bytesPerPixel).
void greyToRgb(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, BOOLEAN bottomUp,
               ULONG bytesPerPixel);

// Planar to YUY2 (order 1) or UYVY (order 2); each row followed by pad
// pixels of zero bytes. (W + pad) x H x 2 bytes.
void planarToPacked(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG order, ULONG pad);

// Portrait packed YUV: output (r, c) is source (line c, column r). Row pad
// pixels are (0, 128) in YUY2 and (128, 0) in UYVY. (W + pad) x H x 2 bytes.
void planarToPackedTransposed(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw,
                              BOOLEAN isYuy2, ULONG pad);
// Portrait packed YUV the other way round: output (r, c) is source
// (line Sh - 1 - c, column Sw - 1 - r); a pair takes the chroma of its first
// pixel. Row pad as planarToPackedTransposed.
void planarToPackedAntiTransposed(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw,
                                  ULONG Sh, BOOLEAN isYuy2, ULONG pad);

// Luma to packed YUV with neutral chroma: every pixel its own luma, chroma
// 128, each row followed by pad pixels of zero bytes. (W + pad) x H x 2.
void lumaToPacked(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, BOOLEAN isYuy2, ULONG pad);

// Monochrome portrait packed YUV in one pass, no scratch buffer: the same
// bytes as transposeLuma (resp. antiTransposeLuma) followed by lumaToPacked.
void lumaToPackedTransposed(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw,
                            BOOLEAN isYuy2, ULONG pad);
void lumaToPackedAntiTransposed(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw, ULONG Sh,
                                BOOLEAN isYuy2, ULONG pad);

// Planar to YV16: luma, then Cr, then Cb. W x H x 2 bytes.
void planarToYv16(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H);

// Luma portrait: dst[r x W + c] = src[c x Sw + r] (transposed) or
// src[Sw x Sh - 1 - r - c x Sw] (anti-transposed). W x H bytes.
void transposeLuma(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw);
void antiTransposeLuma(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw, ULONG Sh);

// Y800 without rotation: the first W x H bytes.
void copyLuma(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H);
// A compressed picture: its first compressedSize bytes.
void copyCompressed(const UCHAR* src, PUCHAR dst, ULONG compressedSize);

// Portraits of one field (half-height modes): the raw frame is Lf = W / 2
// lines of Sw pixels (N = Sw x Lf = W x H). Output row r takes source columns
// 2r and 2r + 1; field line l gives output pixels 2l and 2l + 1, one from
// each column, so every sample is used exactly once.
//   transposed:      (r, 2l) = Y(l, 2r),                (r, 2l + 1) = Y(l, 2r + 1),
//                    chroma at l x Sw/2 + r
//   anti-transposed: (r, 2l) = Y(Lf-1-l, Sw-1-2r),      (r, 2l + 1) = Y(Lf-1-l, Sw-2-2r),
//                    chroma at (Lf-1-l) x Sw/2 + (Sw/2-1-r)
// Colour packed rows are padded as planarToPackedTransposed; the luma-only
// packed ones with zero bytes as lumaToPacked.
void planarFieldToPackedTransposed(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw,
                                   BOOLEAN isYuy2, ULONG pad);
void planarFieldToPackedAntiTransposed(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw,
                                       BOOLEAN isYuy2, ULONG pad);
void fieldTransposeLuma(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw);
void fieldAntiTransposeLuma(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw);
void lumaFieldToPackedTransposed(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw,
                                 BOOLEAN isYuy2, ULONG pad);
void lumaFieldToPackedAntiTransposed(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw,
                                     BOOLEAN isYuy2, ULONG pad);

// Instruction levels of the fast paths, in the order they build on each other.
enum ConversionLevel : ULONG {
    ConversionLevelScalar = 0,
    ConversionLevelSse2 = 1,
    ConversionLevelSsse3 = 2,
    ConversionLevelAvx2 = 3,
};

// The level the routines run at: the highest the processor (and, for AVX2,
// the operating system's saved state) supports, capped by
// setConversionLevelCap.
ULONG conversionLevel();
// Caps the level the routines may choose (tests and the host run every path
// with the wider ones switched off); ConversionLevelAvx2 lifts the cap.
// Returns the level now in use. Not to be called while conversions run.
ULONG setConversionLevelCap(ULONG level);

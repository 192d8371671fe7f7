// The scalar definitions of the pixel conversions: plain loops, one output
// byte at a time, written for clarity rather than speed. They are the result
// every fast path must reproduce byte for byte, and the oracle of the tests.
// Same arguments and extents as the routines of pixel_conversion.h.
#pragma once

#include <wdm.h>

namespace reference {

void yuvToRgb(LONG Y, LONG Cr, LONG Cb, PUCHAR R, PUCHAR G, PUCHAR B);
void planarToRgb24(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H);
void planarToRgb24Flipped(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H);
void planarToRgb32(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H);
void planarToRgb32Flipped(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H);
void greyToRgb(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, BOOLEAN bottomUp,
               ULONG bytesPerPixel);
void planarToPacked(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG order, ULONG pad);
void planarToPackedTransposed(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw,
                              BOOLEAN isYuy2, ULONG pad);
void planarToPackedAntiTransposed(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw,
                                  ULONG Sh, BOOLEAN isYuy2, ULONG pad);
void lumaToPacked(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, BOOLEAN isYuy2, ULONG pad);
void lumaToPackedTransposed(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw,
                            BOOLEAN isYuy2, ULONG pad);
void lumaToPackedAntiTransposed(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw, ULONG Sh,
                                BOOLEAN isYuy2, ULONG pad);
void planarToYv16(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H);
void transposeLuma(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw);
void antiTransposeLuma(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw, ULONG Sh);
void copyLuma(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H);
void copyCompressed(const UCHAR* src, PUCHAR dst, ULONG compressedSize);
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

} // namespace reference

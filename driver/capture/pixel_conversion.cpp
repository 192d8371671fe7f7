// The conversions frame delivery calls: for now each one runs its scalar
// definition; the row dispatch replaces these as the fast paths arrive.
#include "capture/pixel_conversion.h"

#include "capture/conversion_reference.h"

void yuvToRgb(LONG Y, LONG Cr, LONG Cb, PUCHAR R, PUCHAR G, PUCHAR B) {
    reference::yuvToRgb(Y, Cr, Cb, R, G, B);
}
void planarToRgb24(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H) {
    reference::planarToRgb24(src, dst, W, H);
}
void planarToRgb24Flipped(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H) {
    reference::planarToRgb24Flipped(src, dst, W, H);
}
void planarToRgb32(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H) {
    reference::planarToRgb32(src, dst, W, H);
}
void planarToRgb32Flipped(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H) {
    reference::planarToRgb32Flipped(src, dst, W, H);
}
void greyToRgb(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, BOOLEAN bottomUp,
               ULONG bytesPerPixel) {
    reference::greyToRgb(src, dst, W, H, bottomUp, bytesPerPixel);
}
void planarToPacked(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG order, ULONG pad) {
    reference::planarToPacked(src, dst, W, H, order, pad);
}
void planarToPackedTransposed(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw,
                              BOOLEAN isYuy2, ULONG pad) {
    reference::planarToPackedTransposed(src, dst, W, H, Sw, isYuy2, pad);
}
void planarToPackedAntiTransposed(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw,
                                  ULONG Sh, BOOLEAN isYuy2, ULONG pad) {
    reference::planarToPackedAntiTransposed(src, dst, W, H, Sw, Sh, isYuy2, pad);
}
void lumaToPacked(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, BOOLEAN isYuy2, ULONG pad) {
    reference::lumaToPacked(src, dst, W, H, isYuy2, pad);
}
void lumaToPackedTransposed(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw,
                            BOOLEAN isYuy2, ULONG pad) {
    reference::lumaToPackedTransposed(src, dst, W, H, Sw, isYuy2, pad);
}
void lumaToPackedAntiTransposed(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw, ULONG Sh,
                                BOOLEAN isYuy2, ULONG pad) {
    reference::lumaToPackedAntiTransposed(src, dst, W, H, Sw, Sh, isYuy2, pad);
}
void planarToYv16(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H) {
    reference::planarToYv16(src, dst, W, H);
}
void transposeLuma(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw) {
    reference::transposeLuma(src, dst, W, H, Sw);
}
void antiTransposeLuma(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw, ULONG Sh) {
    reference::antiTransposeLuma(src, dst, W, H, Sw, Sh);
}
void copyLuma(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H) {
    RtlCopyMemory(dst, src, (SIZE_T)W * H);
}
void copyCompressed(const UCHAR* src, PUCHAR dst, ULONG compressedSize) {
    RtlCopyMemory(dst, src, compressedSize);
}
void planarFieldToPackedTransposed(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw,
                                   BOOLEAN isYuy2, ULONG pad) {
    reference::planarFieldToPackedTransposed(src, dst, W, H, Sw, isYuy2, pad);
}
void planarFieldToPackedAntiTransposed(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw,
                                       BOOLEAN isYuy2, ULONG pad) {
    reference::planarFieldToPackedAntiTransposed(src, dst, W, H, Sw, isYuy2, pad);
}
void fieldTransposeLuma(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw) {
    reference::fieldTransposeLuma(src, dst, W, H, Sw);
}
void fieldAntiTransposeLuma(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw) {
    reference::fieldAntiTransposeLuma(src, dst, W, H, Sw);
}
void lumaFieldToPackedTransposed(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw,
                                 BOOLEAN isYuy2, ULONG pad) {
    reference::lumaFieldToPackedTransposed(src, dst, W, H, Sw, isYuy2, pad);
}
void lumaFieldToPackedAntiTransposed(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw,
                                     BOOLEAN isYuy2, ULONG pad) {
    reference::lumaFieldToPackedAntiTransposed(src, dst, W, H, Sw, isYuy2, pad);
}

ULONG conversionLevel() {
    return ConversionLevelScalar;
}
ULONG setConversionLevelCap(ULONG level) {
    return ConversionLevelScalar;
}

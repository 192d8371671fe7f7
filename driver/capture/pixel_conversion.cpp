// The conversions frame delivery calls, and the one dispatch that chooses
// their row functions.
//
// The choice is made once, at the first conversion: the widest instruction
// level the processor offers (for AVX2, also the system's saving of the YMM
// state, read from XCR0), capped by setConversionLevelCap. Routines whose
// rows use the YMM registers run them between KeSaveExtendedProcessorState
// and KeRestoreExtendedProcessorState; when the save is refused they take
// the rows of the level below. At the scalar level every routine is its
// definition in conversion_reference.cpp.
#include "capture/pixel_conversion.h"

#include "capture/conversion_reference.h"
#include "capture/conversion_rows.h"

namespace {

using conversion::ConversionRows;

// What the dispatch chose. Written only by select (under the once-flag or
// by setConversionLevelCap, which callers do not race with conversions).
ConversionRows g_rows;      // the chosen level
ConversionRows g_rowsNoYmm; // the same without the rows that need YMM state
ULONG g_level = ConversionLevelScalar;
ULONG g_cap = ConversionLevelAvx2;
LONG volatile g_selected = 0; // 0 not yet, 1 being chosen, 2 chosen

#if defined(__x86_64__) || defined(_M_X64)

void cpuid(ULONG leaf, ULONG subleaf, ULONG regs[4]) {
    __asm__ volatile("cpuid"
                     : "=a"(regs[0]), "=b"(regs[1]), "=c"(regs[2]), "=d"(regs[3])
                     : "a"(leaf), "c"(subleaf));
}

ULONG processorLevel() {
    ULONG regs[4];
    cpuid(0, 0, regs);
    ULONG maxLeaf = regs[0];
    cpuid(1, 0, regs);
    ULONG features = regs[2];
    ULONG level = ConversionLevelSse2;
    if (features & (1u << 9)) {
        level = ConversionLevelSsse3;
    }
#if !defined(M4350_NO_AVX2)
    // AVX2 needs the instructions and a system that saves the YMM state
    // (XCR0 bits 1 and 2); XGETBV itself exists only with OSXSAVE.
    bool osxsave = (features & (1u << 27)) != 0;
    bool avx = (features & (1u << 28)) != 0;
    if (level == ConversionLevelSsse3 && osxsave && avx && maxLeaf >= 7) {
        ULONG lo, hi;
        __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
        cpuid(7, 0, regs);
        if ((lo & 6) == 6 && (regs[1] & (1u << 5))) {
            level = ConversionLevelAvx2;
        }
    }
#endif
    return level;
}

#else

ULONG processorLevel() {
    return ConversionLevelScalar;
}

#endif

void select() {
    ULONG level = processorLevel();
    if (level > g_cap) {
        level = g_cap;
    }
    ConversionRows rows = {};
    if (level >= ConversionLevelSse2) {
        conversion::fillRowsSse2(&rows);
    }
    if (level >= ConversionLevelSsse3) {
        conversion::fillRowsSsse3(&rows);
    }
    g_rowsNoYmm = rows;
    if (level >= ConversionLevelAvx2) {
        conversion::fillRowsAvx2(&rows);
    }
    g_rows = rows;
    g_level = level;
}

void ensureSelected() {
    if (InterlockedCompareExchange(&g_selected, 2, 2) == 2) {
        return;
    }
    if (InterlockedCompareExchange(&g_selected, 1, 0) == 0) {
        select();
        InterlockedExchange(&g_selected, 2);
        return;
    }
    while (InterlockedCompareExchange(&g_selected, 2, 2) != 2) {
        // Another caller is choosing; that takes a few CPUID instructions.
    }
}

// The rows of one conversion; null at the scalar level. Holds the YMM state
// saved for as long as the conversion runs, when the chosen rows need it.
class Rows {
public:
    Rows() {
        ensureSelected();
        if (g_level == ConversionLevelScalar) {
            return;
        }
        rows_ = &g_rowsNoYmm;
        if (g_level >= ConversionLevelAvx2 &&
            NT_SUCCESS(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &save_))) {
            saved_ = true;
            rows_ = &g_rows;
        }
    }
    ~Rows() {
        if (saved_) {
            KeRestoreExtendedProcessorState(&save_);
        }
    }
    Rows(const Rows&) = delete;
    Rows& operator=(const Rows&) = delete;

    const ConversionRows* get() const { return rows_; }

private:
    const ConversionRows* rows_ = nullptr;
    XSTATE_SAVE save_;
    bool saved_ = false;
};

// Rows scoped to one call, without the YMM save, for routines whose fast
// paths are all SSE2.
const ConversionRows* xmmRows() {
    ensureSelected();
    return g_level == ConversionLevelScalar ? nullptr : &g_rowsNoYmm;
}

// Planar to BGR(0) through a row function. Without the flip, rows follow
// one another in source and destination alike, so the frame is one run.
void planarToRgb(conversion::YuvRowFn row, const UCHAR* src, PUCHAR dst, ULONG W, ULONG H,
                 ULONG bytesPerPixel, bool flipped) {
    SIZE_T n = (SIZE_T)W * H;
    const UCHAR* cb = src + n;
    const UCHAR* cr = cb + n / 2;
    if (!flipped) {
        row(src, cb, cr, dst, n);
        return;
    }
    SIZE_T rowBytes = (SIZE_T)W * bytesPerPixel;
    for (SIZE_T y = 0; y < H; y++) {
        row(src + y * W, cb + y * W / 2, cr + y * W / 2, dst + (H - 1 - y) * rowBytes, W);
    }
}

// Packed rows, each followed by pad pixels of zero bytes; one run when
// there is no pad.
template <typename Row>
void packRows(Row row, PUCHAR dst, ULONG W, ULONG H, BOOLEAN isYuy2, ULONG pad) {
    if (pad == 0) {
        row(0, dst, (SIZE_T)W * H);
        return;
    }
    SIZE_T rowBytes = ((SIZE_T)W + pad) * 2;
    for (SIZE_T y = 0; y < H; y++) {
        PUCHAR out = dst + y * rowBytes;
        row(y, out, W);
        conversion::writePad(out + 2 * (SIZE_T)W, pad, isYuy2 != FALSE, 0, 0);
    }
}

} // namespace

void yuvToRgb(LONG Y, LONG Cr, LONG Cb, PUCHAR R, PUCHAR G, PUCHAR B) {
    reference::yuvToRgb(Y, Cr, Cb, R, G, B);
}

void planarToRgb24(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H) {
    Rows rows;
    if (rows.get() == nullptr || (W & 1)) {
        return reference::planarToRgb24(src, dst, W, H);
    }
    planarToRgb(rows.get()->rgb24, src, dst, W, H, 3, false);
}

void planarToRgb24Flipped(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H) {
    Rows rows;
    if (rows.get() == nullptr || (W & 1)) {
        return reference::planarToRgb24Flipped(src, dst, W, H);
    }
    planarToRgb(rows.get()->rgb24, src, dst, W, H, 3, true);
}

void planarToRgb32(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H) {
    Rows rows;
    if (rows.get() == nullptr || (W & 1)) {
        return reference::planarToRgb32(src, dst, W, H);
    }
    planarToRgb(rows.get()->rgb32, src, dst, W, H, 4, false);
}

void planarToRgb32Flipped(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H) {
    Rows rows;
    if (rows.get() == nullptr || (W & 1)) {
        return reference::planarToRgb32Flipped(src, dst, W, H);
    }
    planarToRgb(rows.get()->rgb32, src, dst, W, H, 4, true);
}

void greyToRgb(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, BOOLEAN bottomUp,
               ULONG bytesPerPixel) {
    Rows rows;
    if (rows.get() == nullptr || (bytesPerPixel != 3 && bytesPerPixel != 4)) {
        return reference::greyToRgb(src, dst, W, H, bottomUp, bytesPerPixel);
    }
    conversion::LumaRowFn row = bytesPerPixel == 3 ? rows.get()->grey24 : rows.get()->grey32;
    if (!bottomUp) {
        row(src, dst, (SIZE_T)W * H);
        return;
    }
    SIZE_T rowBytes = (SIZE_T)W * bytesPerPixel;
    for (SIZE_T y = 0; y < H; y++) {
        row(src + y * W, dst + (H - 1 - y) * rowBytes, W);
    }
}

void planarToPacked(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG order, ULONG pad) {
    Rows rows;
    if (rows.get() == nullptr || (W & 1)) {
        return reference::planarToPacked(src, dst, W, H, order, pad);
    }
    conversion::YuvRowFn row = order == 1 ? rows.get()->yuy2 : rows.get()->uyvy;
    SIZE_T n = (SIZE_T)W * H;
    const UCHAR* cb = src + n;
    const UCHAR* cr = cb + n / 2;
    packRows([&](SIZE_T y, PUCHAR out,
                 SIZE_T width) { row(src + y * W, cb + y * W / 2, cr + y * W / 2, out, width); },
             dst, W, H, order == 1, pad);
}

void lumaToPacked(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, BOOLEAN isYuy2, ULONG pad) {
    Rows rows;
    if (rows.get() == nullptr) {
        return reference::lumaToPacked(src, dst, W, H, isYuy2, pad);
    }
    conversion::LumaRowFn row = isYuy2 ? rows.get()->lumaYuy2 : rows.get()->lumaUyvy;
    packRows([&](SIZE_T y, PUCHAR out, SIZE_T width) { row(src + y * W, out, width); }, dst, W, H,
             isYuy2, pad);
}

void planarToPackedTransposed(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw,
                              BOOLEAN isYuy2, ULONG pad) {
    const ConversionRows* rows = xmmRows();
    if (rows == nullptr || ((W | Sw) & 1)) {
        return reference::planarToPackedTransposed(src, dst, W, H, Sw, isYuy2, pad);
    }
    rows->planarTransposed(src, dst, W, H, Sw, 0, isYuy2, pad);
}

void planarToPackedAntiTransposed(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw,
                                  ULONG Sh, BOOLEAN isYuy2, ULONG pad) {
    const ConversionRows* rows = xmmRows();
    if (rows == nullptr || ((W | Sw) & 1)) {
        return reference::planarToPackedAntiTransposed(src, dst, W, H, Sw, Sh, isYuy2, pad);
    }
    rows->planarAntiTransposed(src, dst, W, H, Sw, Sh, isYuy2, pad);
}

void lumaToPackedTransposed(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw,
                            BOOLEAN isYuy2, ULONG pad) {
    const ConversionRows* rows = xmmRows();
    if (rows == nullptr) {
        return reference::lumaToPackedTransposed(src, dst, W, H, Sw, isYuy2, pad);
    }
    rows->lumaPackTransposed(src, dst, W, H, Sw, 0, isYuy2, pad);
}

void lumaToPackedAntiTransposed(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw, ULONG Sh,
                                BOOLEAN isYuy2, ULONG pad) {
    const ConversionRows* rows = xmmRows();
    if (rows == nullptr) {
        return reference::lumaToPackedAntiTransposed(src, dst, W, H, Sw, Sh, isYuy2, pad);
    }
    rows->lumaPackAntiTransposed(src, dst, W, H, Sw, Sh, isYuy2, pad);
}

// The plain copies are block moves at every level: the system's copy is as
// fast as a vector loop of ours.
void planarToYv16(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H) {
    SIZE_T n = (SIZE_T)W * H;
    RtlCopyMemory(dst, src, n);
    RtlCopyMemory(dst + n, src + n + n / 2, n / 2);
    RtlCopyMemory(dst + n + n / 2, src + n, n / 2);
}

void transposeLuma(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw) {
    const ConversionRows* rows = xmmRows();
    if (rows == nullptr) {
        return reference::transposeLuma(src, dst, W, H, Sw);
    }
    rows->transpose(src, dst, W, H, Sw, 0);
}

void antiTransposeLuma(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw, ULONG Sh) {
    const ConversionRows* rows = xmmRows();
    if (rows == nullptr) {
        return reference::antiTransposeLuma(src, dst, W, H, Sw, Sh);
    }
    rows->antiTranspose(src, dst, W, H, Sw, Sh);
}

void copyLuma(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H) {
    RtlCopyMemory(dst, src, (SIZE_T)W * H);
}

void copyCompressed(const UCHAR* src, PUCHAR dst, ULONG compressedSize) {
    RtlCopyMemory(dst, src, compressedSize);
}

void planarFieldToPackedTransposed(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw,
                                   BOOLEAN isYuy2, ULONG pad) {
    const ConversionRows* rows = xmmRows();
    if (rows == nullptr || ((W | Sw) & 1)) {
        return reference::planarFieldToPackedTransposed(src, dst, W, H, Sw, isYuy2, pad);
    }
    rows->planarFieldTransposed(src, dst, W, H, Sw, 0, isYuy2, pad);
}

void planarFieldToPackedAntiTransposed(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw,
                                       BOOLEAN isYuy2, ULONG pad) {
    const ConversionRows* rows = xmmRows();
    if (rows == nullptr || ((W | Sw) & 1)) {
        return reference::planarFieldToPackedAntiTransposed(src, dst, W, H, Sw, isYuy2, pad);
    }
    rows->planarFieldAntiTransposed(src, dst, W, H, Sw, 0, isYuy2, pad);
}

void fieldTransposeLuma(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw) {
    const ConversionRows* rows = xmmRows();
    if (rows == nullptr || ((W | Sw) & 1)) {
        return reference::fieldTransposeLuma(src, dst, W, H, Sw);
    }
    rows->fieldTranspose(src, dst, W, H, Sw, 0);
}

void fieldAntiTransposeLuma(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw) {
    const ConversionRows* rows = xmmRows();
    if (rows == nullptr || ((W | Sw) & 1)) {
        return reference::fieldAntiTransposeLuma(src, dst, W, H, Sw);
    }
    rows->fieldAntiTranspose(src, dst, W, H, Sw, 0);
}

void lumaFieldToPackedTransposed(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw,
                                 BOOLEAN isYuy2, ULONG pad) {
    const ConversionRows* rows = xmmRows();
    if (rows == nullptr || ((W | Sw) & 1)) {
        return reference::lumaFieldToPackedTransposed(src, dst, W, H, Sw, isYuy2, pad);
    }
    rows->lumaFieldTransposed(src, dst, W, H, Sw, 0, isYuy2, pad);
}

void lumaFieldToPackedAntiTransposed(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw,
                                     BOOLEAN isYuy2, ULONG pad) {
    const ConversionRows* rows = xmmRows();
    if (rows == nullptr || ((W | Sw) & 1)) {
        return reference::lumaFieldToPackedAntiTransposed(src, dst, W, H, Sw, isYuy2, pad);
    }
    rows->lumaFieldAntiTransposed(src, dst, W, H, Sw, 0, isYuy2, pad);
}

ULONG conversionLevel() {
    ensureSelected();
    return g_level;
}

ULONG setConversionLevelCap(ULONG level) {
    ensureSelected();
    g_cap = level;
    select();
    return g_level;
}

// AVX2 rows: twice the width of the SSE2 ones for the colour conversion and
// the packing. Only chosen when the processor has AVX2 and the system saves
// the YMM state, and only run between KeSaveExtendedProcessorState and
// KeRestoreExtendedProcessorState (the dispatch does both).
//
// Built with -mavx2 for this file alone. The target build assembles it with
// unaligned vector moves (mingw-w64's gcc does not align 32-byte stack
// slots on Win64); M4350_NO_AVX2 leaves it out.
#include "capture/conversion_rows.h"

#if (defined(__x86_64__) || defined(_M_X64)) && !defined(M4350_NO_AVX2)

#include "capture/conversion_x86.h"

#include <immintrin.h>

namespace conversion {
namespace {

using x86::forBlocks;

FORCEINLINE __m256i load256(const UCHAR* p) {
    return _mm256_loadu_si256((const __m256i*)p);
}

FORCEINLINE void store256(PUCHAR p, __m256i v) {
    _mm256_storeu_si256((__m256i*)p, v);
}

FORCEINLINE __m256i wordPair(SHORT lo, SHORT hi) {
    return _mm256_set1_epi32((int)(((ULONG)(USHORT)hi << 16) | (USHORT)lo));
}

// The SSE2 conversion (see conversion_x86.h for the split coefficients and
// the even/odd lanes) on 16 pixels at once. Lanes hold pixels 0..7 and
// 8..15 (pairs 0..3 and 4..7); the results are 16-bit B, G, R in pixel
// order within each lane.
FORCEINLINE void yuvToBgr16(const UCHAR* y, const UCHAR* cb, const UCHAR* cr, __m256i* b,
                            __m256i* g, __m256i* r) {
    __m256i luma = _mm256_cvtepu8_epi16(x86::load128(y));
    __m256i even = _mm256_madd_epi16(luma, wordPair(10997, 0));
    __m256i odd = _mm256_madd_epi16(luma, wordPair(0, 10997));

    __m256i crcb = _mm256_cvtepu8_epi16(_mm_unpacklo_epi8(x86::load64(cr), x86::load64(cb)));
    __m256i scaled = _mm256_mullo_epi16(crcb, wordPair(4, 19)); // (4 Cr, 19 Cb)
    __m256i termR = _mm256_add_epi32(_mm256_madd_epi16(scaled, wordPair(26234, 0)),
                                     _mm256_set1_epi32(x86::kTermR));
    __m256i termG = _mm256_add_epi32(
        _mm256_madd_epi16(_mm256_mullo_epi16(crcb, wordPair(3, 1)), wordPair(-17817, -25703)),
        _mm256_set1_epi32(x86::kTermG));
    __m256i termB = _mm256_add_epi32(_mm256_madd_epi16(scaled, wordPair(0, 6983)),
                                     _mm256_set1_epi32(x86::kTermB));

    auto channel = [&](__m256i term) {
        __m256i e = _mm256_srli_epi32(_mm256_add_epi32(even, term), 16);
        __m256i o = _mm256_add_epi32(odd, term);
        return _mm256_add_epi16(_mm256_blend_epi16(e, o, 0xAA), luma);
    };
    *b = channel(termB);
    *g = channel(termG);
    *r = channel(termR);
}

// 16 pixels as BGR0, in two vectors: pixels 0..3 | 8..11 and 4..7 | 12..15.
FORCEINLINE void bgr0Of16(const UCHAR* y, const UCHAR* cb, const UCHAR* cr, __m256i* lo,
                          __m256i* hi) {
    __m256i b, g, r;
    yuvToBgr16(y, cb, cr, &b, &g, &r);
    __m256i br = _mm256_packus_epi16(b, r); // B 0..7, R 0..7 | B 8..15, R 8..15
    __m256i g0 = _mm256_packus_epi16(g, _mm256_setzero_si256());
    __m256i bg = _mm256_unpacklo_epi8(br, g0);
    __m256i r0 = _mm256_unpackhi_epi8(br, g0);
    *lo = _mm256_unpacklo_epi16(bg, r0);
    *hi = _mm256_unpackhi_epi16(bg, r0);
}

void rgb32RowAvx2(const UCHAR* y, const UCHAR* cb, const UCHAR* cr, PUCHAR dst, SIZE_T width) {
    forBlocks<16>(
        width,
        [&](SIZE_T x) {
            __m256i lo, hi;
            bgr0Of16(y + x, cb + x / 2, cr + x / 2, &lo, &hi);
            store256(dst + 4 * x, _mm256_permute2x128_si256(lo, hi, 0x20));
            store256(dst + 4 * x + 32, _mm256_permute2x128_si256(lo, hi, 0x31));
        },
        [&] { scalarRgbRow(y, cb, cr, dst, width, 4); });
}

void rgb24RowAvx2(const UCHAR* y, const UCHAR* cb, const UCHAR* cr, PUCHAR dst, SIZE_T width) {
    const __m256i order = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1,
                                           0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    forBlocks<16>(
        width,
        [&](SIZE_T x) {
            __m256i lo, hi;
            bgr0Of16(y + x, cb + x / 2, cr + x / 2, &lo, &hi);
            lo = _mm256_shuffle_epi8(lo, order);
            hi = _mm256_shuffle_epi8(hi, order);
            __m128i packed[4] = {_mm256_castsi256_si128(lo), _mm256_castsi256_si128(hi),
                                 _mm256_extracti128_si256(lo, 1), _mm256_extracti128_si256(hi, 1)};
            x86::store48(dst + 3 * x, packed);
        },
        [&] { scalarRgbRow(y, cb, cr, dst, width, 3); });
}

template <bool yuy2>
void packRowAvx2(const UCHAR* y, const UCHAR* cb, const UCHAR* cr, PUCHAR dst, SIZE_T width) {
    forBlocks<32>(
        width,
        [&](SIZE_T x) {
            __m256i luma = load256(y + x);
            __m128i u = x86::load128(cb + x / 2);
            __m128i v = x86::load128(cr + x / 2);
            __m256i chroma = _mm256_setr_m128i(_mm_unpacklo_epi8(u, v), _mm_unpackhi_epi8(u, v));
            __m256i lo = yuy2 ? _mm256_unpacklo_epi8(luma, chroma)
                              : _mm256_unpacklo_epi8(chroma, luma); // 0..7 | 16..23
            __m256i hi = yuy2 ? _mm256_unpackhi_epi8(luma, chroma)
                              : _mm256_unpackhi_epi8(chroma, luma); // 8..15 | 24..31
            store256(dst + 2 * x, _mm256_permute2x128_si256(lo, hi, 0x20));
            store256(dst + 2 * x + 32, _mm256_permute2x128_si256(lo, hi, 0x31));
        },
        [&] { scalarPackRow(y, cb, cr, dst, width, yuy2); });
}

template <bool yuy2>
void lumaPackRowAvx2(const UCHAR* y, PUCHAR dst, SIZE_T width) {
    const __m256i neutral = _mm256_set1_epi8((char)128);
    forBlocks<32>(
        width,
        [&](SIZE_T x) {
            __m256i luma =
                _mm256_permute4x64_epi64(load256(y + x), 0xD8); // 0..7,16..23 | 8..15,24..31
            __m256i lo =
                yuy2 ? _mm256_unpacklo_epi8(luma, neutral) : _mm256_unpacklo_epi8(neutral, luma);
            __m256i hi =
                yuy2 ? _mm256_unpackhi_epi8(luma, neutral) : _mm256_unpackhi_epi8(neutral, luma);
            store256(dst + 2 * x, lo);
            store256(dst + 2 * x + 32, hi);
        },
        [&] { scalarLumaPackRow(y, dst, width, yuy2); });
}

void grey32RowAvx2(const UCHAR* y, PUCHAR dst, SIZE_T width) {
    const __m256i zero = _mm256_setzero_si256();
    forBlocks<32>(
        width,
        [&](SIZE_T x) {
            __m256i v = _mm256_permute4x64_epi64(load256(y + x), 0xD8);
            __m256i vvLo = _mm256_unpacklo_epi8(v, v); // 0..7 | 8..15
            __m256i vvHi = _mm256_unpackhi_epi8(v, v); // 16..23 | 24..31
            __m256i v0Lo = _mm256_unpacklo_epi8(v, zero);
            __m256i v0Hi = _mm256_unpackhi_epi8(v, zero);
            __m256i p0 = _mm256_unpacklo_epi16(vvLo, v0Lo); // 0..3 | 8..11
            __m256i p1 = _mm256_unpackhi_epi16(vvLo, v0Lo); // 4..7 | 12..15
            __m256i p2 = _mm256_unpacklo_epi16(vvHi, v0Hi); // 16..19 | 24..27
            __m256i p3 = _mm256_unpackhi_epi16(vvHi, v0Hi); // 20..23 | 28..31
            store256(dst + 4 * x, _mm256_permute2x128_si256(p0, p1, 0x20));
            store256(dst + 4 * x + 32, _mm256_permute2x128_si256(p0, p1, 0x31));
            store256(dst + 4 * x + 64, _mm256_permute2x128_si256(p2, p3, 0x20));
            store256(dst + 4 * x + 96, _mm256_permute2x128_si256(p2, p3, 0x31));
        },
        [&] { scalarGreyRow(y, dst, width, 4); });
}

} // namespace

void fillRowsAvx2(ConversionRows* rows) {
    rows->rgb24 = rgb24RowAvx2;
    rows->rgb32 = rgb32RowAvx2;
    rows->yuy2 = packRowAvx2<true>;
    rows->uyvy = packRowAvx2<false>;
    rows->grey32 = grey32RowAvx2;
    rows->lumaYuy2 = lumaPackRowAvx2<true>;
    rows->lumaUyvy = lumaPackRowAvx2<false>;
}

} // namespace conversion

#else

namespace conversion {
void fillRowsAvx2(ConversionRows*) {}
} // namespace conversion

#endif

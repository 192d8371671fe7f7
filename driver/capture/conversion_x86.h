// SSE2 building blocks shared by the SSE2 and SSSE3 row files: the exact
// 16.16 colour conversion of 16 pixels, the BGR0 interleave, and the byte
// transposes of the portrait tiles. Included only by files that are built
// for x64.
#pragma once

#include <wdm.h>

#include <emmintrin.h>

namespace conversion {
namespace x86 {

FORCEINLINE __m128i load32(const UCHAR* p) {
    int v;
    RtlCopyMemory(&v, p, sizeof(v));
    return _mm_cvtsi32_si128(v);
}

FORCEINLINE __m128i load64(const UCHAR* p) {
    return _mm_loadl_epi64((const __m128i*)p);
}

FORCEINLINE __m128i load128(const UCHAR* p) {
    return _mm_loadu_si128((const __m128i*)p);
}

FORCEINLINE void store128(PUCHAR p, __m128i v) {
    _mm_storeu_si128((__m128i*)p, v);
}

FORCEINLINE void store64(PUCHAR p, __m128i v) {
    _mm_storel_epi64((__m128i*)p, v);
}

FORCEINLINE void store32(PUCHAR p, __m128i v) {
    int x = _mm_cvtsi128_si32(v);
    RtlCopyMemory(p, &x, sizeof(x));
}

// Two 16-bit constants per 32-bit lane: lo in the even word, hi in the odd.
FORCEINLINE __m128i wordPair(SHORT lo, SHORT hi) {
    return _mm_set1_epi32((int)(((ULONG)(USHORT)hi << 16) | (USHORT)lo));
}

// Per-pair chroma terms of the 16.16 conversion, with every constant of
// the definition folded in. Four of the five coefficients exceed a signed
// 16-bit lane, so each product is built from lane-sized factors whose 32-bit
// sums are exactly the 16.16 terms:
//   104936 Cr = 26234 (4 Cr)
//   53451 Cr + 25703 Cb = 17817 (3 Cr) + 25703 Cb
//   132677 Cb = 6983 (19 Cb)
// and the luma term 76533 Y = 65536 Y + 10997 Y. So each channel is
//   Y + ((10997 Y + term) >> 16)
// with the shift arithmetic, as in the definition:
//   R: term = 104936 Cr - 14656336               (76533 x 16 + 104936 x 128)
//   G: term = -53451 Cr - 25703 Cb + 8907184     (-76533 x 16 + 79154 x 128)
//   B: term = 132677 Cb - 18207184               (76533 x 16 + 132677 x 128)
constexpr int kTermR = -14656336;
constexpr int kTermG = 8907184;
constexpr int kTermB = -18207184;

// The 16.16 conversion of 8 pixels into 16-bit B, G and R, not yet clamped
// (the saturating byte pack clamps them). The luma terms of even and odd
// pixels are kept apart, one 32-bit lane per pair, so that each pair's
// chroma term adds to both without being duplicated, and the high halves
// of the sums interleave back into pixel order.
FORCEINLINE void yuvToBgr8(const UCHAR* y, const UCHAR* cb, const UCHAR* cr, __m128i* b, __m128i* g,
                           __m128i* r) {
    const __m128i zero = _mm_setzero_si128();
    __m128i luma = _mm_unpacklo_epi8(load64(y), zero);
    __m128i even = _mm_madd_epi16(luma, wordPair(10997, 0));
    __m128i odd = _mm_madd_epi16(luma, wordPair(0, 10997));

    // (Cr, Cb) word pairs, one per pixel pair.
    __m128i crcb = _mm_unpacklo_epi8(_mm_unpacklo_epi8(load32(cr), load32(cb)), zero);
    __m128i scaled = _mm_mullo_epi16(crcb, wordPair(4, 19)); // (4 Cr, 19 Cb)
    __m128i termR =
        _mm_add_epi32(_mm_madd_epi16(scaled, wordPair(26234, 0)), _mm_set1_epi32(kTermR));
    __m128i termG = _mm_add_epi32(
        _mm_madd_epi16(_mm_mullo_epi16(crcb, wordPair(3, 1)), wordPair(-17817, -25703)),
        _mm_set1_epi32(kTermG));
    __m128i termB =
        _mm_add_epi32(_mm_madd_epi16(scaled, wordPair(0, 6983)), _mm_set1_epi32(kTermB));

    const __m128i highWords = _mm_set1_epi32((int)0xFFFF0000);
    auto channel = [&](__m128i term) {
        __m128i e = _mm_srli_epi32(_mm_add_epi32(even, term), 16);
        __m128i o = _mm_and_si128(_mm_add_epi32(odd, term), highWords);
        return _mm_add_epi16(_mm_or_si128(e, o), luma);
    };
    *b = channel(termB);
    *g = channel(termG);
    *r = channel(termR);
}

// 16 pixels into clamped B, G and R bytes.
FORCEINLINE void yuvToBgr16(const UCHAR* y, const UCHAR* cb, const UCHAR* cr, __m128i* b,
                            __m128i* g, __m128i* r) {
    __m128i b0, g0, r0, b1, g1, r1;
    yuvToBgr8(y, cb, cr, &b0, &g0, &r0);
    yuvToBgr8(y + 8, cb + 4, cr + 4, &b1, &g1, &r1);
    *b = _mm_packus_epi16(b0, b1);
    *g = _mm_packus_epi16(g0, g1);
    *r = _mm_packus_epi16(r0, r1);
}

// B, G, R bytes of 16 pixels to four vectors of four BGR0 pixels.
FORCEINLINE void interleaveBgr0(__m128i b, __m128i g, __m128i r, __m128i out[4]) {
    const __m128i zero = _mm_setzero_si128();
    __m128i bgLo = _mm_unpacklo_epi8(b, g);
    __m128i bgHi = _mm_unpackhi_epi8(b, g);
    __m128i r0Lo = _mm_unpacklo_epi8(r, zero);
    __m128i r0Hi = _mm_unpackhi_epi8(r, zero);
    out[0] = _mm_unpacklo_epi16(bgLo, r0Lo);
    out[1] = _mm_unpackhi_epi16(bgLo, r0Lo);
    out[2] = _mm_unpacklo_epi16(bgHi, r0Hi);
    out[3] = _mm_unpackhi_epi16(bgHi, r0Hi);
}

// Stores four vectors of 12 packed bytes each (in their low bytes) as 48
// consecutive bytes, writing nothing past the 48th.
FORCEINLINE void store48(PUCHAR dst, const __m128i packed[4]) {
    store128(dst, packed[0]);
    store128(dst + 12, packed[1]);
    store128(dst + 24, packed[2]);
    store64(dst + 36, packed[3]);
    store32(dst + 44, _mm_srli_si128(packed[3], 8));
}

// Runs `block` over a run of `width` pixels in blocks of `size`, the last
// partial block done again as the run's final whole block; runs shorter than
// a block go to `shortRun`.
template <SIZE_T size, typename Block, typename ShortRun>
FORCEINLINE void forBlocks(SIZE_T width, Block block, ShortRun shortRun) {
    if (width < size) {
        shortRun();
        return;
    }
    SIZE_T x = 0;
    for (; x + size <= width; x += size) {
        block(x);
    }
    if (x < width) {
        block(width - size);
    }
}

// One row of BGR: `drop` turns four BGR0 pixels into their 12 bytes, low
// in the vector (the instruction levels differ only in how).
template <__m128i (*drop)(__m128i)>
FORCEINLINE void
rgb24Row(const UCHAR* y, const UCHAR* cb, const UCHAR* cr, PUCHAR dst, SIZE_T width,
         void (*shortRun)(const UCHAR*, const UCHAR*, const UCHAR*, PUCHAR, SIZE_T)) {
    forBlocks<16>(
        width,
        [&](SIZE_T x) {
            __m128i b, g, r, out[4];
            yuvToBgr16(y + x, cb + x / 2, cr + x / 2, &b, &g, &r);
            interleaveBgr0(b, g, r, out);
#pragma GCC unroll 16
            for (int i = 0; i < 4; i++) {
                out[i] = drop(out[i]);
            }
            store48(dst + 3 * x, out);
        },
        [&] { shortRun(y, cb, cr, dst, width); });
}

// Rounds of the perfect shuffle on `count` vectors of bytes (or 16-bit
// words): each round interleaves vector i with vector i + count / 2, which
// rotates the bits of the (row, column) index by one. log2(count) rounds on
// 8 rows of 16 bytes leave source column 2j in the low half of vector j and
// column 2j + 1 in its high half.
template <int count, int rounds, bool words>
FORCEINLINE void perfectShuffle(__m128i v[count]) {
#pragma GCC unroll 16
    for (int round = 0; round < rounds; round++) {
        __m128i t[count];
#pragma GCC unroll 16
        for (int i = 0; i < count / 2; i++) {
            t[2 * i] = words ? _mm_unpacklo_epi16(v[i], v[i + count / 2])
                             : _mm_unpacklo_epi8(v[i], v[i + count / 2]);
            t[2 * i + 1] = words ? _mm_unpackhi_epi16(v[i], v[i + count / 2])
                                 : _mm_unpackhi_epi8(v[i], v[i + count / 2]);
        }
#pragma GCC unroll 16
        for (int i = 0; i < count; i++) {
            v[i] = t[i];
        }
    }
}

// 8 chroma columns of 4 rows of Cb and Cr (8 bytes each, `stride` apart):
// x[k / 2] holds column k's Cb and Cr interleaved (4 pairs) in half k % 2.
FORCEINLINE void chromaColumns(const UCHAR* cb, const UCHAR* cr, LONG_PTR at, LONG_PTR stride,
                               __m128i x[4]) {
    __m128i v[4];
#pragma GCC unroll 16
    for (int i = 0; i < 4; i++) {
        v[i] = _mm_unpacklo_epi64(load64(cb + at + i * stride), load64(cr + at + i * stride));
    }
    // v[j] now holds columns 4j .. 4j + 3: Cb in v[0], v[1], Cr in v[2], v[3].
    perfectShuffle<4, 2, false>(v);
    x[0] = _mm_unpacklo_epi8(v[0], v[2]);
    x[1] = _mm_unpackhi_epi8(v[0], v[2]);
    x[2] = _mm_unpacklo_epi8(v[1], v[3]);
    x[3] = _mm_unpackhi_epi8(v[1], v[3]);
}

} // namespace x86
} // namespace conversion

// SSE2 rows (every x64 processor has them) and the tiled portrait routines.
#include "capture/conversion_rows.h"

#if defined(__x86_64__) || defined(_M_X64)

#include "capture/conversion_x86.h"

#ifndef M4350_TILE_BAND
#define M4350_TILE_BAND 4
#endif

namespace conversion {
namespace {

using namespace x86;

// Four BGR0 pixels to their 12 BGR bytes, low in the vector, without a byte
// shuffle: each 64-bit half closes the gap of its first pixel, then the
// halves are joined.
__m128i dropFourthBytes(__m128i x) {
    const __m128i first = _mm_set1_epi64x(0x0000000000FFFFFFLL);
    const __m128i second = _mm_set1_epi64x(0x0000FFFFFF000000LL);
    __m128i q = _mm_or_si128(_mm_and_si128(x, first), _mm_and_si128(_mm_srli_epi64(x, 8), second));
    const __m128i low8 = _mm_set_epi32(0, 0, -1, -1);
    const __m128i bytes6to11 = _mm_set_epi32(0, -1, (int)0xFFFF0000, 0);
    return _mm_or_si128(_mm_and_si128(q, low8), _mm_and_si128(_mm_srli_si128(q, 2), bytes6to11));
}

void rgb32RowSse2(const UCHAR* y, const UCHAR* cb, const UCHAR* cr, PUCHAR dst, SIZE_T width) {
    forBlocks<16>(
        width,
        [&](SIZE_T x) {
            __m128i b, g, r, out[4];
            yuvToBgr16(y + x, cb + x / 2, cr + x / 2, &b, &g, &r);
            interleaveBgr0(b, g, r, out);
#pragma GCC unroll 16
            for (int i = 0; i < 4; i++) {
                store128(dst + 4 * x + 16 * i, out[i]);
            }
        },
        [&] { scalarRgbRow(y, cb, cr, dst, width, 4); });
}

void rgb24RowSse2(const UCHAR* y, const UCHAR* cb, const UCHAR* cr, PUCHAR dst, SIZE_T width) {
    rgb24Row<dropFourthBytes>(
        y, cb, cr, dst, width,
        [](auto y, auto cb, auto cr, auto dst, auto n) { scalarRgbRow(y, cb, cr, dst, n, 3); });
}

template <bool yuy2>
void packRowSse2(const UCHAR* y, const UCHAR* cb, const UCHAR* cr, PUCHAR dst, SIZE_T width) {
    forBlocks<16>(
        width,
        [&](SIZE_T x) {
            __m128i luma = load128(y + x);
            __m128i chroma = _mm_unpacklo_epi8(load64(cb + x / 2), load64(cr + x / 2));
            if (yuy2) {
                store128(dst + 2 * x, _mm_unpacklo_epi8(luma, chroma));
                store128(dst + 2 * x + 16, _mm_unpackhi_epi8(luma, chroma));
            } else {
                store128(dst + 2 * x, _mm_unpacklo_epi8(chroma, luma));
                store128(dst + 2 * x + 16, _mm_unpackhi_epi8(chroma, luma));
            }
        },
        [&] { scalarPackRow(y, cb, cr, dst, width, yuy2); });
}

// 16 luma bytes as 16 packed pixels with neutral chroma.
template <bool yuy2>
FORCEINLINE void storeLumaPacked(PUCHAR dst, __m128i luma) {
    const __m128i neutral = _mm_set1_epi8((char)128);
    if (yuy2) {
        store128(dst, _mm_unpacklo_epi8(luma, neutral));
        store128(dst + 16, _mm_unpackhi_epi8(luma, neutral));
    } else {
        store128(dst, _mm_unpacklo_epi8(neutral, luma));
        store128(dst + 16, _mm_unpackhi_epi8(neutral, luma));
    }
}

template <bool yuy2>
void lumaPackRowSse2(const UCHAR* y, PUCHAR dst, SIZE_T width) {
    forBlocks<16>(
        width, [&](SIZE_T x) { storeLumaPacked<yuy2>(dst + 2 * x, load128(y + x)); },
        [&] { scalarLumaPackRow(y, dst, width, yuy2); });
}

// 16 grey values as four vectors of BGR0 pixels.
FORCEINLINE void greyBgr0(__m128i v, __m128i out[4]) {
    const __m128i zero = _mm_setzero_si128();
    __m128i vvLo = _mm_unpacklo_epi8(v, v);
    __m128i vvHi = _mm_unpackhi_epi8(v, v);
    __m128i v0Lo = _mm_unpacklo_epi8(v, zero);
    __m128i v0Hi = _mm_unpackhi_epi8(v, zero);
    out[0] = _mm_unpacklo_epi16(vvLo, v0Lo);
    out[1] = _mm_unpackhi_epi16(vvLo, v0Lo);
    out[2] = _mm_unpacklo_epi16(vvHi, v0Hi);
    out[3] = _mm_unpackhi_epi16(vvHi, v0Hi);
}

void grey32RowSse2(const UCHAR* y, PUCHAR dst, SIZE_T width) {
    forBlocks<16>(
        width,
        [&](SIZE_T x) {
            __m128i out[4];
            greyBgr0(load128(y + x), out);
#pragma GCC unroll 16
            for (int i = 0; i < 4; i++) {
                store128(dst + 4 * x + 16 * i, out[i]);
            }
        },
        [&] { scalarGreyRow(y, dst, width, 4); });
}

void grey24RowSse2(const UCHAR* y, PUCHAR dst, SIZE_T width) {
    forBlocks<16>(
        width,
        [&](SIZE_T x) {
            __m128i out[4];
            greyBgr0(load128(y + x), out);
#pragma GCC unroll 16
            for (int i = 0; i < 4; i++) {
                out[i] = dropFourthBytes(out[i]);
            }
            store48(dst + 3 * x, out);
        },
        [&] { scalarGreyRow(y, dst, width, 3); });
}

// ---------------------------------------------------------------------------
// Portraits. Output (r, c) of a full portrait is source (line c, column r),
// or (line Sh - 1 - c, column Sw - 1 - r) anti-transposed. A tile is 8
// source lines by 16 source columns, that is 16 output rows of 8 pixels,
// transposed in registers (8 vectors and their temporaries fit the 16 XMM
// registers); the strips that do not fill a tile are done pixel by pixel
// with the same maps.
// ---------------------------------------------------------------------------

template <bool anti>
struct Portrait {
    const UCHAR* src;
    ULONG W, H, Sw, Sh;

    SIZE_T luma(ULONG r, ULONG c) const {
        return anti ? (SIZE_T)Sw * Sh - 1 - r - (SIZE_T)c * Sw : (SIZE_T)c * Sw + r;
    }
    // Chroma index of a pair: that of its first pixel.
    SIZE_T chroma(ULONG r, ULONG p) const { return luma(r, 2 * p) / 2; }
};

// Walks the tiles of an H x W output, then the strips outside them. Tiles
// go in bands of 64 output columns (source lines): while a band's rows are
// walked its source lines stay in the first-level cache, each source cache
// line serving several tiles in a row, and each output row segment is whole
// cache lines.
template <ULONG rowsPerTile, ULONG columnsPerTile, typename Tile, typename Strip>
FORCEINLINE void forTiles(ULONG W, ULONG H, Tile tile, Strip strip) {
    const ULONG band = 64;
    ULONG tiledRows = H - H % rowsPerTile;
    ULONG tiledColumns = W - W % columnsPerTile;
    for (ULONG b0 = 0; b0 < tiledColumns; b0 += band) {
        ULONG b1 = b0 + band < tiledColumns ? b0 + band : tiledColumns;
        for (ULONG r0 = 0; r0 < tiledRows; r0 += rowsPerTile) {
            for (ULONG c0 = b0; c0 < b1; c0 += columnsPerTile) {
                tile(r0, c0);
            }
        }
    }
    if (tiledColumns < W) {
        strip(0, tiledRows, tiledColumns);
    }
    if (tiledRows < H) {
        strip(tiledRows, H, 0);
    }
}

// The tile of output rows r0 .. r0 + 15 and columns c0 .. c0 + 7: u[m]
// holds row r0 + 2m in its low 8 bytes and row r0 + 2m + 1 in its high 8,
// the other way round when anti-transposed (the stores swap them back,
// which costs nothing, where swapping the halves would cost a shuffle).
template <bool anti>
FORCEINLINE void lumaTile(const Portrait<anti>& f, ULONG r0, ULONG c0, __m128i u[8]) {
    __m128i t[8];
#pragma GCC unroll 16
    for (ULONG i = 0; i < 8; i++) {
        // 16 bytes of source line c0 + i: output rows r0 .. r0 + 15, in
        // reverse order when anti-transposed.
        t[i] = load128(f.src + f.luma(anti ? r0 + 15 : r0, c0 + i));
    }
    perfectShuffle<8, 3, false>(t);
#pragma GCC unroll 16
    for (ULONG m = 0; m < 8; m++) {
        u[m] = anti ? t[7 - m] : t[m];
    }
}

// The high 8 bytes of v (one movhps; the builtin makes no aligned access).
FORCEINLINE void store64High(PUCHAR p, __m128i v) {
    _mm_storeh_pi((__m64*)p, _mm_castsi128_ps(v));
}

template <bool anti>
FORCEINLINE void transposeSse2(const Portrait<anti>& f, PUCHAR dst) {
    forTiles<16, 8>(
        f.W, f.H,
        [&](ULONG r0, ULONG c0) {
            __m128i u[8];
            lumaTile(f, r0, c0, u);
#pragma GCC unroll 16
            for (ULONG m = 0; m < 8; m++) {
                PUCHAR out = dst + (SIZE_T)(r0 + 2 * m) * f.W + c0;
                store64(anti ? out + f.W : out, u[m]);
                store64High(anti ? out : out + f.W, u[m]);
            }
        },
        [&](ULONG r0, ULONG r1, ULONG c0) {
            for (ULONG r = r0; r < r1; r++) {
                for (ULONG c = c0; c < f.W; c++) {
                    dst[(SIZE_T)r * f.W + c] = f.src[f.luma(r, c)];
                }
            }
        });
}

void transposeLumaSse2(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw, ULONG Sh) {
    transposeSse2(Portrait<false>{src, W, H, Sw, Sh}, dst);
}

void antiTransposeLumaSse2(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw, ULONG Sh) {
    transposeSse2(Portrait<true>{src, W, H, Sw, Sh}, dst);
}

// Two output rows of 8 pixels from the low and high halves of `luma`, with
// the 8 chroma bytes in each half of `chroma` (Cb, Cr interleaved); with
// `swapped` the low halves belong to `next`.
template <bool yuy2, bool swapped>
FORCEINLINE void storePackedPair(PUCHAR row, PUCHAR next, __m128i luma, __m128i chroma) {
    if (swapped) {
        PUCHAR first = next;
        next = row;
        row = first;
    }
    if (yuy2) {
        store128(row, _mm_unpacklo_epi8(luma, chroma));
        store128(next, _mm_unpackhi_epi8(luma, chroma));
    } else {
        store128(row, _mm_unpacklo_epi8(chroma, luma));
        store128(next, _mm_unpackhi_epi8(chroma, luma));
    }
}

template <bool yuy2, bool anti>
FORCEINLINE void lumaPortraitSse2(const Portrait<anti>& f, PUCHAR dst, ULONG pad) {
    SIZE_T rowBytes = ((SIZE_T)f.W + pad) * 2;
    const __m128i neutral = _mm_set1_epi8((char)128);
    forTiles<16, 8>(
        f.W, f.H,
        [&](ULONG r0, ULONG c0) {
            __m128i u[8];
            lumaTile(f, r0, c0, u);
#pragma GCC unroll 16
            for (ULONG m = 0; m < 8; m++) {
                PUCHAR out = dst + (r0 + 2 * m) * rowBytes + 2 * (SIZE_T)c0;
                storePackedPair<yuy2, anti>(out, out + rowBytes, u[m], neutral);
            }
        },
        [&](ULONG r0, ULONG r1, ULONG c0) {
            for (ULONG r = r0; r < r1; r++) {
                PUCHAR out = dst + r * rowBytes;
                for (ULONG c = c0; c < f.W; c++) {
                    out[2 * c + (yuy2 ? 0 : 1)] = f.src[f.luma(r, c)];
                    out[2 * c + (yuy2 ? 1 : 0)] = 128;
                }
            }
        });
    for (ULONG r = 0; r < f.H; r++) {
        writePad(dst + r * rowBytes + 2 * (SIZE_T)f.W, pad, yuy2, 0, 0);
    }
}

// The chroma of a colour tile: pairs c0 / 2 .. + 3 (their first pixels'
// source lines) at the 8 chroma columns that output rows r0 .. r0 + 15 fall
// on. uv[m] holds the interleaved Cb, Cr of the 4 pairs for rows r0 + 2m and
// r0 + 2m + 1, in both halves.
template <bool anti>
FORCEINLINE void chromaTile(const Portrait<anti>& f, const UCHAR* cb, const UCHAR* cr, ULONG r0,
                            ULONG c0, __m128i uv[8]) {
    ULONG p0 = c0 / 2;
    LONG_PTR half = f.Sw / 2;
    // Rows r0 + 2q, r0 + 2q + 1 take chroma column r0/2 + q of line 2p, or
    // column Sw/2 - 1 - r0/2 - q of line Sh - 1 - 2p anti-transposed.
    LONG_PTR at = anti ? (LONG_PTR)(f.Sh - 1 - 2 * p0) * half + half - r0 / 2 - 8
                       : (LONG_PTR)p0 * f.Sw + r0 / 2;
    LONG_PTR stride = anti ? -(LONG_PTR)f.Sw : (LONG_PTR)f.Sw;
    __m128i x[4];
    chromaColumns(cb, cr, at, stride, x);
#pragma GCC unroll 16
    for (ULONG m = 0; m < 8; m++) {
        ULONG k = anti ? 7 - m : m;
        uv[m] = (k & 1) ? _mm_unpackhi_epi64(x[k / 2], x[k / 2])
                        : _mm_unpacklo_epi64(x[k / 2], x[k / 2]);
    }
}

template <bool yuy2, bool anti>
FORCEINLINE void colourPortraitSse2(const Portrait<anti>& f, PUCHAR dst, ULONG pad) {
    SIZE_T n = (SIZE_T)f.W * f.H;
    const UCHAR* cb = f.src + n;
    const UCHAR* cr = cb + n / 2;
    SIZE_T rowBytes = ((SIZE_T)f.W + pad) * 2;
    forTiles<16, 8>(
        f.W, f.H,
        [&](ULONG r0, ULONG c0) {
            __m128i u[8], uv[8];
            lumaTile(f, r0, c0, u);
            chromaTile(f, cb, cr, r0, c0, uv);
#pragma GCC unroll 16
            for (ULONG m = 0; m < 8; m++) {
                PUCHAR out = dst + (r0 + 2 * m) * rowBytes + 2 * (SIZE_T)c0;
                storePackedPair<yuy2, anti>(out, out + rowBytes, u[m], uv[m]);
            }
        },
        [&](ULONG r0, ULONG r1, ULONG c0) {
            for (ULONG r = r0; r < r1; r++) {
                PUCHAR out = dst + r * rowBytes;
                for (ULONG c = c0; c < f.W; c += 2) {
                    SIZE_T ci = f.chroma(r, c / 2);
                    out[2 * c + (yuy2 ? 0 : 1)] = f.src[f.luma(r, c)];
                    out[2 * c + (yuy2 ? 1 : 0)] = cb[ci];
                    out[2 * c + (yuy2 ? 2 : 3)] = f.src[f.luma(r, c + 1)];
                    out[2 * c + (yuy2 ? 3 : 2)] = cr[ci];
                }
            }
        });
    for (ULONG r = 0; r < f.H; r++) {
        writePad(dst + r * rowBytes + 2 * (SIZE_T)f.W, pad, yuy2, 0, 128);
    }
}

void planarTransposedSse2(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw, ULONG Sh,
                          BOOLEAN isYuy2, ULONG pad) {
    Portrait<false> f{src, W, H, Sw, Sh};
    isYuy2 ? colourPortraitSse2<true>(f, dst, pad) : colourPortraitSse2<false>(f, dst, pad);
}

void planarAntiTransposedSse2(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw, ULONG Sh,
                              BOOLEAN isYuy2, ULONG pad) {
    Portrait<true> f{src, W, H, Sw, Sh};
    isYuy2 ? colourPortraitSse2<true>(f, dst, pad) : colourPortraitSse2<false>(f, dst, pad);
}

void lumaPackTransposedSse2(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw, ULONG Sh,
                            BOOLEAN isYuy2, ULONG pad) {
    Portrait<false> f{src, W, H, Sw, Sh};
    isYuy2 ? lumaPortraitSse2<true>(f, dst, pad) : lumaPortraitSse2<false>(f, dst, pad);
}

void lumaPackAntiTransposedSse2(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw, ULONG Sh,
                                BOOLEAN isYuy2, ULONG pad) {
    Portrait<true> f{src, W, H, Sw, Sh};
    isYuy2 ? lumaPortraitSse2<true>(f, dst, pad) : lumaPortraitSse2<false>(f, dst, pad);
}

// ---------------------------------------------------------------------------
// Field portraits: a field of Lf = W / 2 lines. Output row r takes source
// columns 2r and 2r + 1, so a row's pixel pairs are the 16-bit words of one
// source column pair, one per field line: a transpose of 16-bit words (with
// the two bytes of each word swapped when anti-transposed). Chroma is a
// plain byte transpose of the chroma planes. A tile is 4 field lines by 8
// column pairs: 8 output rows of 8 pixels.
// ---------------------------------------------------------------------------

template <bool anti>
struct FieldPortrait {
    const UCHAR* src;
    ULONG W, H, Sw;

    ULONG lines() const { return W / 2; }
    SIZE_T luma(ULONG r, ULONG c) const {
        ULONG l = c / 2;
        return anti ? (SIZE_T)(lines() - 1 - l) * Sw + (Sw - 1 - 2 * r - (c & 1))
                    : (SIZE_T)l * Sw + 2 * r + (c & 1);
    }
    SIZE_T chroma(ULONG r, ULONG l) const {
        return anti ? (SIZE_T)(lines() - 1 - l) * (Sw / 2) + (Sw / 2 - 1 - r)
                    : (SIZE_T)l * (Sw / 2) + r;
    }
};

// Output rows r0 .. r0 + 7 of field lines l0 .. l0 + 3: u[m] holds row
// r0 + 2m in its low 8 bytes and row r0 + 2m + 1 in its high 8 (swapped
// when anti-transposed, as for full portraits).
template <bool anti>
FORCEINLINE void fieldLumaTile(const FieldPortrait<anti>& f, ULONG r0, ULONG l0, __m128i u[4]) {
    __m128i t[4];
#pragma GCC unroll 16
    for (ULONG i = 0; i < 4; i++) {
        SIZE_T at = anti ? (SIZE_T)(f.lines() - 1 - l0 - i) * f.Sw + (f.Sw - 16 - 2 * r0)
                         : (SIZE_T)(l0 + i) * f.Sw + 2 * r0;
        t[i] = load128(f.src + at);
    }
    // t[j] now holds word columns 2j (low half) and 2j + 1 (high half), one
    // word per field line.
    perfectShuffle<4, 2, true>(t);
#pragma GCC unroll 16
    for (ULONG m = 0; m < 4; m++) {
        if (anti) {
            __m128i w = t[3 - m];
            w = _mm_or_si128(_mm_slli_epi16(w, 8), _mm_srli_epi16(w, 8));
            u[m] = w;
        } else {
            u[m] = t[m];
        }
    }
}

// Cb, Cr of rows r0 .. r0 + 7 for field lines l0 .. l0 + 3: uv[m] holds the
// interleaved chroma of row r0 + 2m in its low half and of r0 + 2m + 1 in
// its high half (swapped when anti-transposed, like the luma).
template <bool anti>
FORCEINLINE void fieldChromaTile(const FieldPortrait<anti>& f, const UCHAR* cb, const UCHAR* cr,
                                 ULONG r0, ULONG l0, __m128i uv[4]) {
    LONG_PTR half = f.Sw / 2;
    LONG_PTR at =
        anti ? (LONG_PTR)(f.lines() - 1 - l0) * half + half - 8 - r0 : (LONG_PTR)l0 * half + r0;
    LONG_PTR stride = anti ? -half : half;
    // Column k is row r0 + k, or r0 + 7 - k anti-transposed.
    __m128i x[4];
    chromaColumns(cb, cr, at, stride, x);
#pragma GCC unroll 16
    for (ULONG m = 0; m < 4; m++) {
        uv[m] = anti ? x[3 - m] : x[m];
    }
}

// Pixel by pixel: packed (colour or neutral chroma), or plain luma.
template <bool anti>
void fieldStrip(const FieldPortrait<anti>& f, PUCHAR dst, SIZE_T rowBytes, ULONG r0, ULONG r1,
                ULONG c0, bool packed, bool yuy2, bool colour) {
    SIZE_T n = (SIZE_T)f.W * f.H;
    const UCHAR* cb = f.src + n;
    const UCHAR* cr = cb + n / 2;
    for (ULONG r = r0; r < r1; r++) {
        PUCHAR out = dst + r * rowBytes;
        for (ULONG c = c0; c < f.W; c++) {
            UCHAR y = f.src[f.luma(r, c)];
            if (!packed) {
                out[c] = y;
                continue;
            }
            UCHAR chroma = 128;
            if (colour) {
                SIZE_T at = f.chroma(r, c / 2);
                chroma = (c & 1) ? cr[at] : cb[at];
            }
            out[2 * c + (yuy2 ? 0 : 1)] = y;
            out[2 * c + (yuy2 ? 1 : 0)] = chroma;
        }
    }
}

template <bool anti>
FORCEINLINE void fieldTransposeSse2(const FieldPortrait<anti>& f, PUCHAR dst) {
    forTiles<8, 8>(
        f.W, f.H,
        [&](ULONG r0, ULONG c0) {
            __m128i u[4];
            fieldLumaTile(f, r0, c0 / 2, u);
#pragma GCC unroll 16
            for (ULONG m = 0; m < 4; m++) {
                PUCHAR out = dst + (SIZE_T)(r0 + 2 * m) * f.W + c0;
                store64(anti ? out + f.W : out, u[m]);
                store64High(anti ? out : out + f.W, u[m]);
            }
        },
        [&](ULONG r0, ULONG r1, ULONG c0) {
            fieldStrip(f, dst, f.W, r0, r1, c0, false, false, false);
        });
}

void fieldTransposeLumaSse2(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw, ULONG) {
    fieldTransposeSse2(FieldPortrait<false>{src, W, H, Sw}, dst);
}

void fieldAntiTransposeLumaSse2(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw, ULONG) {
    fieldTransposeSse2(FieldPortrait<true>{src, W, H, Sw}, dst);
}

template <bool yuy2, bool colour, bool anti>
FORCEINLINE void fieldPackSse2(const FieldPortrait<anti>& f, PUCHAR dst, ULONG pad) {
    SIZE_T n = (SIZE_T)f.W * f.H;
    const UCHAR* cb = f.src + n;
    const UCHAR* cr = cb + n / 2;
    SIZE_T rowBytes = ((SIZE_T)f.W + pad) * 2;
    forTiles<8, 8>(
        f.W, f.H,
        [&](ULONG r0, ULONG c0) {
            __m128i u[4], uv[4];
            fieldLumaTile(f, r0, c0 / 2, u);
            if (colour) {
                fieldChromaTile(f, cb, cr, r0, c0 / 2, uv);
            }
#pragma GCC unroll 16
            for (ULONG m = 0; m < 4; m++) {
                PUCHAR out = dst + (r0 + 2 * m) * rowBytes + 2 * (SIZE_T)c0;
                storePackedPair<yuy2, anti>(out, out + rowBytes, u[m],
                                            colour ? uv[m] : _mm_set1_epi8((char)128));
            }
        },
        [&](ULONG r0, ULONG r1, ULONG c0) {
            fieldStrip(f, dst, rowBytes, r0, r1, c0, true, yuy2, colour);
        });
    for (ULONG r = 0; r < f.H; r++) {
        writePad(dst + r * rowBytes + 2 * (SIZE_T)f.W, pad, yuy2, 0, colour ? 128 : 0);
    }
}

template <bool colour, bool anti>
void fieldPackedSse2(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw, ULONG,
                     BOOLEAN isYuy2, ULONG pad) {
    FieldPortrait<anti> f{src, W, H, Sw};
    isYuy2 ? fieldPackSse2<true, colour>(f, dst, pad) : fieldPackSse2<false, colour>(f, dst, pad);
}

} // namespace

void fillRowsSse2(ConversionRows* rows) {
    rows->rgb24 = rgb24RowSse2;
    rows->rgb32 = rgb32RowSse2;
    rows->yuy2 = packRowSse2<true>;
    rows->uyvy = packRowSse2<false>;
    rows->grey24 = grey24RowSse2;
    rows->grey32 = grey32RowSse2;
    rows->lumaYuy2 = lumaPackRowSse2<true>;
    rows->lumaUyvy = lumaPackRowSse2<false>;
    rows->planarTransposed = planarTransposedSse2;
    rows->planarAntiTransposed = planarAntiTransposedSse2;
    rows->lumaPackTransposed = lumaPackTransposedSse2;
    rows->lumaPackAntiTransposed = lumaPackAntiTransposedSse2;
    rows->transpose = transposeLumaSse2;
    rows->antiTranspose = antiTransposeLumaSse2;
    rows->planarFieldTransposed = fieldPackedSse2<true, false>;
    rows->planarFieldAntiTransposed = fieldPackedSse2<true, true>;
    rows->lumaFieldTransposed = fieldPackedSse2<false, false>;
    rows->lumaFieldAntiTransposed = fieldPackedSse2<false, true>;
    rows->fieldTranspose = fieldTransposeLumaSse2;
    rows->fieldAntiTranspose = fieldAntiTransposeLumaSse2;
}

} // namespace conversion

#else

namespace conversion {
void fillRowsSse2(ConversionRows*) {}
} // namespace conversion

#endif

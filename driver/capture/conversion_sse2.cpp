// SSE2 rows (every x64 processor has them) and the tiled portrait routines.
#include "capture/conversion_rows.h"

#if defined(__x86_64__) || defined(_M_X64)

#include "capture/conversion_x86.h"

namespace conversion {
namespace {

using namespace x86;

// Four BGR0 pixels to their 12 BGR bytes, low in the vector, without a byte
// shuffle: each 64-bit half closes the gap of its first pixel, then the
// halves are joined.
FORCEINLINE __m128i dropFourthBytes(__m128i x) {
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
            for (int i = 0; i < 4; i++) {
                store128(dst + 4 * x + 16 * i, out[i]);
            }
        },
        [&] { scalarRgbRow(y, cb, cr, dst, width, 4); });
}

void rgb24RowSse2(const UCHAR* y, const UCHAR* cb, const UCHAR* cr, PUCHAR dst, SIZE_T width) {
    forBlocks<16>(
        width,
        [&](SIZE_T x) {
            __m128i b, g, r, out[4];
            yuvToBgr16(y + x, cb + x / 2, cr + x / 2, &b, &g, &r);
            interleaveBgr0(b, g, r, out);
            for (int i = 0; i < 4; i++) {
                out[i] = dropFourthBytes(out[i]);
            }
            store48(dst + 3 * x, out);
        },
        [&] { scalarRgbRow(y, cb, cr, dst, width, 3); });
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
            for (int i = 0; i < 4; i++) {
                out[i] = dropFourthBytes(out[i]);
            }
            store48(dst + 3 * x, out);
        },
        [&] { scalarGreyRow(y, dst, width, 3); });
}

// ---------------------------------------------------------------------------
// Portraits. Output (r, c) of a full portrait is source (line c, column r),
// or (line Sh - 1 - c, column Sw - 1 - r) anti-transposed. Whole tiles are
// transposed in registers; the strips that do not fill a tile are done pixel
// by pixel with the same maps.
// ---------------------------------------------------------------------------

struct Portrait {
    const UCHAR* src;
    ULONG W, H, Sw, Sh;
    bool anti;

    SIZE_T luma(ULONG r, ULONG c) const {
        return anti ? (SIZE_T)Sw * Sh - 1 - r - (SIZE_T)c * Sw : (SIZE_T)c * Sw + r;
    }
    // Source address of tile row i (output column c0 + i), 16 bytes that
    // hold output rows r0..r0 + 15, in reverse order when anti-transposed.
    const UCHAR* lumaTileRow(ULONG r0, ULONG c0, ULONG i) const {
        return anti ? src + luma(r0 + 15, c0 + i) : src + luma(r0, c0 + i);
    }
    // Chroma index of a pair: that of its first pixel.
    SIZE_T chroma(ULONG r, ULONG p) const { return luma(r, 2 * p) / 2; }
};

// Walks the tiles of an H x W output, then the strips outside them.
template <ULONG rowsPerTile, ULONG columnsPerTile, typename Tile, typename Strip>
FORCEINLINE void forTiles(ULONG W, ULONG H, Tile tile, Strip strip) {
    ULONG tiledRows = H - H % rowsPerTile;
    ULONG tiledColumns = W - W % columnsPerTile;
    for (ULONG r0 = 0; r0 < tiledRows; r0 += rowsPerTile) {
        for (ULONG c0 = 0; c0 < tiledColumns; c0 += columnsPerTile) {
            tile(r0, c0);
        }
        if (tiledColumns < W) {
            strip(r0, r0 + rowsPerTile, tiledColumns);
        }
    }
    if (tiledRows < H) {
        strip(tiledRows, H, 0);
    }
}

// The 16 output rows of a luma tile, output row r0 + j in v[j].
FORCEINLINE void lumaTile(const Portrait& f, ULONG r0, ULONG c0, __m128i v[16]) {
    __m128i t[16];
    for (ULONG i = 0; i < 16; i++) {
        t[i] = load128(f.lumaTileRow(r0, c0, i));
    }
    transpose16x16(t);
    for (ULONG j = 0; j < 16; j++) {
        v[j] = f.anti ? t[15 - j] : t[j];
    }
}

void transposeSse2(const Portrait& f, PUCHAR dst) {
    forTiles<16, 16>(
        f.W, f.H,
        [&](ULONG r0, ULONG c0) {
            __m128i v[16];
            lumaTile(f, r0, c0, v);
            for (ULONG j = 0; j < 16; j++) {
                store128(dst + (SIZE_T)(r0 + j) * f.W + c0, v[j]);
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
    transposeSse2({src, W, H, Sw, Sh, false}, dst);
}

void antiTransposeLumaSse2(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw, ULONG Sh) {
    transposeSse2({src, W, H, Sw, Sh, true}, dst);
}

template <bool yuy2>
void lumaPortraitSse2(const Portrait& f, PUCHAR dst, ULONG pad) {
    SIZE_T rowBytes = ((SIZE_T)f.W + pad) * 2;
    forTiles<16, 16>(
        f.W, f.H,
        [&](ULONG r0, ULONG c0) {
            __m128i v[16];
            lumaTile(f, r0, c0, v);
            for (ULONG j = 0; j < 16; j++) {
                storeLumaPacked<yuy2>(dst + (r0 + j) * rowBytes + 2 * (SIZE_T)c0, v[j]);
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

template <bool yuy2>
FORCEINLINE void storePacked(PUCHAR dst, __m128i luma, __m128i chroma) {
    if (yuy2) {
        store128(dst, _mm_unpacklo_epi8(luma, chroma));
        store128(dst + 16, _mm_unpackhi_epi8(luma, chroma));
    } else {
        store128(dst, _mm_unpacklo_epi8(chroma, luma));
        store128(dst + 16, _mm_unpackhi_epi8(chroma, luma));
    }
}

// Interleaved Cb, Cr of 8 pairs from a transposed chroma tile whose column k
// is in vector k / 2 (Cb) and 4 + k / 2 (Cr), half k % 2.
FORCEINLINE __m128i chromaColumn(const __m128i v[8], ULONG k) {
    return (k & 1) ? _mm_unpackhi_epi8(v[k / 2], v[4 + k / 2])
                   : _mm_unpacklo_epi8(v[k / 2], v[4 + k / 2]);
}

// Loads 8 rows of Cb and Cr, 8 bytes each, into one vector per row.
FORCEINLINE void loadChromaTile(const UCHAR* cb, const UCHAR* cr, LONG_PTR offset, LONG_PTR stride,
                                __m128i v[8]) {
    for (int i = 0; i < 8; i++) {
        LONG_PTR at = offset + i * stride;
        v[i] = _mm_unpacklo_epi64(load64(cb + at), load64(cr + at));
    }
    transpose8x16(v);
}

template <bool yuy2>
void colourPortraitSse2(const Portrait& f, PUCHAR dst, ULONG pad) {
    SIZE_T n = (SIZE_T)f.W * f.H;
    const UCHAR* cb = f.src + n;
    const UCHAR* cr = cb + n / 2;
    SIZE_T rowBytes = ((SIZE_T)f.W + pad) * 2;
    forTiles<16, 16>(
        f.W, f.H,
        [&](ULONG r0, ULONG c0) {
            __m128i v[16], c[8];
            lumaTile(f, r0, c0, v);
            // Chroma of pairs c0 / 2 .. + 7 (every second source line) for
            // the 8 chroma columns that rows r0 .. r0 + 15 fall on.
            ULONG p0 = c0 / 2;
            if (f.anti) {
                // Output rows r0 + 2q, r0 + 2q + 1 take chroma column
                // Sw/2 - 1 - r0/2 - q of line Sh - 1 - 2p.
                LONG_PTR at = (LONG_PTR)(f.Sh - 1 - 2 * p0) * (f.Sw / 2) + f.Sw / 2 - r0 / 2 - 8;
                loadChromaTile(cb, cr, at, -(LONG_PTR)f.Sw, c);
            } else {
                loadChromaTile(cb, cr, (LONG_PTR)p0 * f.Sw + r0 / 2, f.Sw, c);
            }
            for (ULONG j = 0; j < 16; j++) {
                ULONG q = j / 2;
                storePacked<yuy2>(dst + (r0 + j) * rowBytes + 2 * (SIZE_T)c0, v[j],
                                  chromaColumn(c, f.anti ? 7 - q : q));
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
    Portrait f{src, W, H, Sw, Sh, false};
    isYuy2 ? colourPortraitSse2<true>(f, dst, pad) : colourPortraitSse2<false>(f, dst, pad);
}

void planarAntiTransposedSse2(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw, ULONG Sh,
                              BOOLEAN isYuy2, ULONG pad) {
    Portrait f{src, W, H, Sw, Sh, true};
    isYuy2 ? colourPortraitSse2<true>(f, dst, pad) : colourPortraitSse2<false>(f, dst, pad);
}

void lumaPackTransposedSse2(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw, ULONG Sh,
                            BOOLEAN isYuy2, ULONG pad) {
    Portrait f{src, W, H, Sw, Sh, false};
    isYuy2 ? lumaPortraitSse2<true>(f, dst, pad) : lumaPortraitSse2<false>(f, dst, pad);
}

void lumaPackAntiTransposedSse2(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw, ULONG Sh,
                                BOOLEAN isYuy2, ULONG pad) {
    Portrait f{src, W, H, Sw, Sh, true};
    isYuy2 ? lumaPortraitSse2<true>(f, dst, pad) : lumaPortraitSse2<false>(f, dst, pad);
}

// ---------------------------------------------------------------------------
// Field portraits: a field of Lf = W / 2 lines. Output row r takes source
// columns 2r and 2r + 1, so a row's pixel pairs are the 16-bit words of one
// source column pair, one per field line: a transpose of 16-bit words (with
// the two bytes of each word swapped when anti-transposed). Chroma is a
// plain byte transpose of the chroma planes.
// ---------------------------------------------------------------------------

struct FieldPortrait {
    const UCHAR* src;
    ULONG W, H, Sw;
    bool anti;

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

// The 8 output rows r0 .. r0 + 7 of field lines l0 .. l0 + 7 (16 pixels).
FORCEINLINE void fieldLumaTile(const FieldPortrait& f, ULONG r0, ULONG l0, __m128i v[8]) {
    __m128i t[8];
    for (ULONG i = 0; i < 8; i++) {
        SIZE_T at = f.anti ? (SIZE_T)(f.lines() - 1 - l0 - i) * f.Sw + (f.Sw - 16 - 2 * r0)
                           : (SIZE_T)(l0 + i) * f.Sw + 2 * r0;
        t[i] = load128(f.src + at);
    }
    transpose8x8Words(t);
    for (ULONG j = 0; j < 8; j++) {
        if (f.anti) {
            __m128i w = t[7 - j];
            v[j] = _mm_or_si128(_mm_slli_epi16(w, 8), _mm_srli_epi16(w, 8));
        } else {
            v[j] = t[j];
        }
    }
}

// Cb and Cr of rows r0 .. r0 + 7 for field lines l0 .. l0 + 7; row r0 + k
// comes from chromaColumn(v, k) (reversed when anti-transposed).
FORCEINLINE void fieldChromaTile(const FieldPortrait& f, const UCHAR* cb, const UCHAR* cr, ULONG r0,
                                 ULONG l0, __m128i v[8]) {
    LONG_PTR half = f.Sw / 2;
    if (f.anti) {
        loadChromaTile(cb, cr, (LONG_PTR)(f.lines() - 1 - l0) * half + half - 8 - r0, -half, v);
    } else {
        loadChromaTile(cb, cr, (LONG_PTR)l0 * half + r0, half, v);
    }
}

template <typename Tile>
FORCEINLINE void forFieldTiles(const FieldPortrait& f, Tile tile,
                               void (*strip)(const FieldPortrait&, PUCHAR, SIZE_T, ULONG, ULONG,
                                             ULONG, bool, bool),
                               PUCHAR dst, SIZE_T rowBytes, bool yuy2, bool colour) {
    forTiles<8, 16>(
        f.W, f.H, [&](ULONG r0, ULONG c0) { tile(r0, c0 / 2); },
        [&](ULONG r0, ULONG r1, ULONG c0) { strip(f, dst, rowBytes, r0, r1, c0, yuy2, colour); });
}

// Pixel by pixel: packed (colour or neutral chroma), or plain luma when
// rowBytes is W.
void fieldStrip(const FieldPortrait& f, PUCHAR dst, SIZE_T rowBytes, ULONG r0, ULONG r1, ULONG c0,
                bool yuy2, bool colour) {
    SIZE_T n = (SIZE_T)f.W * f.H;
    const UCHAR* cb = f.src + n;
    const UCHAR* cr = cb + n / 2;
    bool packed = rowBytes != f.W;
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
                chroma = ((c & 1) ? cr : cb)[f.chroma(r, c / 2)];
            }
            out[2 * c + (yuy2 ? 0 : 1)] = y;
            out[2 * c + (yuy2 ? 1 : 0)] = chroma;
        }
    }
}

void fieldTransposeSse2(const FieldPortrait& f, PUCHAR dst) {
    forFieldTiles(
        f,
        [&](ULONG r0, ULONG l0) {
            __m128i v[8];
            fieldLumaTile(f, r0, l0, v);
            for (ULONG j = 0; j < 8; j++) {
                store128(dst + (SIZE_T)(r0 + j) * f.W + 2 * l0, v[j]);
            }
        },
        fieldStrip, dst, f.W, true, false);
}

void fieldTransposeLumaSse2(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw, ULONG) {
    fieldTransposeSse2({src, W, H, Sw, false}, dst);
}

void fieldAntiTransposeLumaSse2(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw, ULONG) {
    fieldTransposeSse2({src, W, H, Sw, true}, dst);
}

template <bool yuy2>
void fieldPackSse2(const FieldPortrait& f, PUCHAR dst, ULONG pad, bool colour) {
    SIZE_T n = (SIZE_T)f.W * f.H;
    const UCHAR* cb = f.src + n;
    const UCHAR* cr = cb + n / 2;
    SIZE_T rowBytes = ((SIZE_T)f.W + pad) * 2;
    forFieldTiles(
        f,
        [&](ULONG r0, ULONG l0) {
            __m128i v[8], c[8];
            fieldLumaTile(f, r0, l0, v);
            if (colour) {
                fieldChromaTile(f, cb, cr, r0, l0, c);
            }
            for (ULONG j = 0; j < 8; j++) {
                PUCHAR out = dst + (r0 + j) * rowBytes + 4 * (SIZE_T)l0;
                if (colour) {
                    storePacked<yuy2>(out, v[j], chromaColumn(c, f.anti ? 7 - j : j));
                } else {
                    storeLumaPacked<yuy2>(out, v[j]);
                }
            }
        },
        fieldStrip, dst, rowBytes, yuy2, colour);
    for (ULONG r = 0; r < f.H; r++) {
        writePad(dst + r * rowBytes + 2 * (SIZE_T)f.W, pad, yuy2, 0, colour ? 128 : 0);
    }
}

void planarFieldTransposedSse2(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw, ULONG,
                               BOOLEAN isYuy2, ULONG pad) {
    FieldPortrait f{src, W, H, Sw, false};
    isYuy2 ? fieldPackSse2<true>(f, dst, pad, true) : fieldPackSse2<false>(f, dst, pad, true);
}

void planarFieldAntiTransposedSse2(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw, ULONG,
                                   BOOLEAN isYuy2, ULONG pad) {
    FieldPortrait f{src, W, H, Sw, true};
    isYuy2 ? fieldPackSse2<true>(f, dst, pad, true) : fieldPackSse2<false>(f, dst, pad, true);
}

void lumaFieldTransposedSse2(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw, ULONG,
                             BOOLEAN isYuy2, ULONG pad) {
    FieldPortrait f{src, W, H, Sw, false};
    isYuy2 ? fieldPackSse2<true>(f, dst, pad, false) : fieldPackSse2<false>(f, dst, pad, false);
}

void lumaFieldAntiTransposedSse2(const UCHAR* src, PUCHAR dst, ULONG W, ULONG H, ULONG Sw, ULONG,
                                 BOOLEAN isYuy2, ULONG pad) {
    FieldPortrait f{src, W, H, Sw, true};
    isYuy2 ? fieldPackSse2<true>(f, dst, pad, false) : fieldPackSse2<false>(f, dst, pad, false);
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
    rows->planarFieldTransposed = planarFieldTransposedSse2;
    rows->planarFieldAntiTransposed = planarFieldAntiTransposedSse2;
    rows->lumaFieldTransposed = lumaFieldTransposedSse2;
    rows->lumaFieldAntiTransposed = lumaFieldAntiTransposedSse2;
    rows->fieldTranspose = fieldTransposeLumaSse2;
    rows->fieldAntiTranspose = fieldAntiTransposeLumaSse2;
}

} // namespace conversion

#else

namespace conversion {
void fillRowsSse2(ConversionRows*) {}
} // namespace conversion

#endif

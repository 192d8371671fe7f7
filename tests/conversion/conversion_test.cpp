// The pixel conversions: small frames with known bytes, then every routine
// at every instruction level against its scalar definition on random frames
// of the catalogue's sizes and of sizes that end in partial SIMD blocks,
// with guard bytes after each destination, and the colour formula over every
// (Y, Cb, Cr).
#include <gtest/gtest.h>

#include <kernel_test.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "capture/conversion_reference.h"
#include "capture/pixel_conversion.h"

namespace {

using Bytes = std::vector<UCHAR>;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// Runs every test at each instruction level the processor has, the cap put
// back afterwards.
class ConversionTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        maxLevel_ = setConversionLevelCap(ConversionLevelAvx2);
    }
    void TearDown() override { setConversionLevelCap(ConversionLevelAvx2); }

    template <typename Body>
    void atEveryLevel(Body body) {
        for (ULONG level = ConversionLevelScalar; level <= maxLevel_; level++) {
            ASSERT_EQ(setConversionLevelCap(level), level);
            SCOPED_TRACE("instruction level " + std::to_string(level));
            body();
            EXPECT_EQ(host::ExtendedStateSaveDepth(), 0u);
        }
    }

    ULONG maxLevel_ = ConversionLevelScalar;
};

// ---------------------------------------------------------------------------
// Known results
// ---------------------------------------------------------------------------

struct PixelCase {
    LONG y, cr, cb;
    UCHAR r, g, b;
};

const PixelCase kPixels[] = {
    {16, 128, 128, 0, 0, 0},        {235, 128, 128, 255, 255, 255},
    {128, 128, 128, 130, 130, 130}, {235, 240, 128, 255, 164, 255}, // R clamped from 435
    {81, 240, 90, 255, 0, 0},       {41, 110, 240, 0, 0, 255},
    {0, 128, 128, 0, 0, 0}, // negative intermediate clamped to 0
};

TEST_F(ConversionTest, OnePixel) {
    for (const PixelCase& c : kPixels) {
        UCHAR r, g, b;
        yuvToRgb(c.y, c.cr, c.cb, &r, &g, &b);
        EXPECT_EQ((int)r, c.r) << c.y << "," << c.cr << "," << c.cb;
        EXPECT_EQ((int)g, c.g) << c.y << "," << c.cr << "," << c.cb;
        EXPECT_EQ((int)b, c.b) << c.y << "," << c.cr << "," << c.cb;
    }
}

// A small frame, the call that converts it, and the bytes it must give.
struct SmallCase {
    const char* name;
    std::function<void(const UCHAR*, PUCHAR)> convert;
    Bytes src;
    Bytes expected;
};

// Source of the 2 x 2 portrait cases: Y {1, 2 / 3, 4}, Cb {5, 6}, Cr {7, 8}.
const Bytes kQuad = {1, 2, 3, 4, 5, 6, 7, 8};
// Source of the field cases: a 4-pixel, 2-line field, Y {1..4 / 5..8},
// Cb {11, 12 / 13, 14}, Cr {21, 22 / 23, 24}.
const Bytes kField = {1, 2, 3, 4, 5, 6, 7, 8, 11, 12, 13, 14, 21, 22, 23, 24};

const SmallCase kSmall[] = {
    {"Rgb24TwoPixels",
     [](auto s, auto d) { planarToRgb24(s, d, 2, 1); },
     {16, 235, 128, 128},
     {0, 0, 0, 255, 255, 255}},
    {"Rgb32FlippedRows",
     [](auto s, auto d) { planarToRgb32Flipped(s, d, 2, 2); },
     {16, 16, 235, 235, 128, 128, 128, 128},
     {255, 255, 255, 0, 255, 255, 255, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
    {"PackedYuy2",
     [](auto s, auto d) { planarToPacked(s, d, 4, 1, 1, 2); },
     {1, 2, 3, 4, 5, 6, 7, 8},
     {1, 5, 2, 7, 3, 6, 4, 8, 0, 0, 0, 0}},
    {"PackedUyvy",
     [](auto s, auto d) { planarToPacked(s, d, 4, 1, 2, 2); },
     {1, 2, 3, 4, 5, 6, 7, 8},
     {5, 1, 7, 2, 6, 3, 8, 4, 0, 0, 0, 0}},
    // Each pixel its own luma: the byte at column 2p + 1 is not dropped.
    {"LumaPackedEveryPixel",
     [](auto s, auto d) { lumaToPacked(s, d, 4, 1, TRUE, 0); },
     {10, 20, 30, 40},
     {10, 128, 20, 128, 30, 128, 40, 128}},
    {"LumaPackedUyvyPad",
     [](auto s, auto d) { lumaToPacked(s, d, 2, 1, FALSE, 1); },
     {10, 20},
     {128, 10, 128, 20, 0, 0}},
    {"Yv16", [](auto s, auto d) { planarToYv16(s, d, 2, 1); }, {1, 2, 3, 4}, {1, 2, 4, 3}},
    {"TransposeLuma",
     [](auto s, auto d) { transposeLuma(s, d, 2, 3, 3); },
     {'a', 'b', 'c', 'd', 'e', 'f'},
     {'a', 'd', 'b', 'e', 'c', 'f'}},
    {"AntiTransposeLuma",
     [](auto s, auto d) { antiTransposeLuma(s, d, 2, 3, 3, 2); },
     {'a', 'b', 'c', 'd', 'e', 'f'},
     {'f', 'c', 'e', 'b', 'd', 'a'}},
    {"GreyBottomUp",
     [](auto s, auto d) { greyToRgb(s, d, 1, 2, TRUE, 4); },
     {9, 7},
     {7, 7, 7, 0, 9, 9, 9, 0}},
    {"GreyTopDown24",
     [](auto s, auto d) { greyToRgb(s, d, 1, 2, FALSE, 3); },
     {9, 7},
     {9, 9, 9, 7, 7, 7}},
    {"PortraitTransposedUyvy",
     [](auto s, auto d) { planarToPackedTransposed(s, d, 2, 2, 2, FALSE, 1); },
     kQuad,
     {5, 1, 7, 3, 128, 0, 5, 2, 7, 4, 128, 0}},
    // Each pixel its own source line; the pair takes its first pixel's chroma.
    {"PortraitAntiTransposedEveryLine",
     [](auto s, auto d) { planarToPackedAntiTransposed(s, d, 2, 2, 2, 2, TRUE, 1); },
     kQuad,
     {4, 6, 2, 8, 0, 128, 3, 6, 1, 8, 0, 128}},
    {"LumaPortraitTransposed",
     [](auto s, auto d) { lumaToPackedTransposed(s, d, 2, 2, 2, TRUE, 0); },
     {1, 2, 3, 4},
     {1, 128, 3, 128, 2, 128, 4, 128}},
    {"LumaPortraitAntiTransposed",
     [](auto s, auto d) { lumaToPackedAntiTransposed(s, d, 2, 2, 2, 2, FALSE, 1); },
     {1, 2, 3, 4},
     {128, 4, 128, 2, 0, 0, 128, 3, 128, 1, 0, 0}},
    {"FieldTransposedYuy2",
     [](auto s, auto d) { planarFieldToPackedTransposed(s, d, 4, 2, 4, TRUE, 1); },
     kField,
     {1, 11, 2, 21, 5, 13, 6, 23, 0, 128, 3, 12, 4, 22, 7, 14, 8, 24, 0, 128}},
    {"FieldAntiTransposedUyvy",
     [](auto s, auto d) { planarFieldToPackedAntiTransposed(s, d, 4, 2, 4, FALSE, 0); },
     kField,
     {14, 8, 24, 7, 12, 4, 22, 3, 13, 6, 23, 5, 11, 2, 21, 1}},
    {"FieldTransposeLuma",
     [](auto s, auto d) { fieldTransposeLuma(s, d, 4, 2, 4); },
     kField,
     {1, 2, 5, 6, 3, 4, 7, 8}},
    {"FieldAntiTransposeLuma",
     [](auto s, auto d) { fieldAntiTransposeLuma(s, d, 4, 2, 4); },
     kField,
     {8, 7, 4, 3, 6, 5, 2, 1}},
    {"LumaFieldTransposedUyvy",
     [](auto s, auto d) { lumaFieldToPackedTransposed(s, d, 4, 2, 4, FALSE, 1); },
     kField,
     {128, 1, 128, 2, 128, 5, 128, 6, 0, 0, 128, 3, 128, 4, 128, 7, 128, 8, 0, 0}},
    {"LumaFieldAntiTransposedYuy2",
     [](auto s, auto d) { lumaFieldToPackedAntiTransposed(s, d, 4, 2, 4, TRUE, 0); },
     kField,
     {8, 128, 7, 128, 4, 128, 3, 128, 6, 128, 5, 128, 2, 128, 1, 128}},
};

class SmallFrameTest : public ConversionTest, public ::testing::WithParamInterface<SmallCase> {};

TEST_P(SmallFrameTest, GivesTheKnownBytes) {
    const SmallCase& c = GetParam();
    atEveryLevel([&] {
        Bytes dst(c.expected.size() + 16, 0xEE);
        c.convert(c.src.data(), dst.data());
        Bytes guard(dst.begin() + c.expected.size(), dst.end());
        dst.resize(c.expected.size());
        EXPECT_EQ(dst, c.expected);
        EXPECT_EQ(guard, Bytes(16, 0xEE)) << "written past the frame";
    });
}

INSTANTIATE_TEST_SUITE_P(Known, SmallFrameTest, ::testing::ValuesIn(kSmall),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Fast paths against the definitions
// ---------------------------------------------------------------------------

// How a routine lays out its source, from the output size W x H.
enum class Shape {
    Upright,  // source W x H
    Portrait, // source Sw = H pixels by Sh = W lines
    Field,    // a field of W / 2 lines of Sw = 2H pixels
};

struct Args {
    ULONG W, H, Sw, Sh, pad;
};

using Convert = void (*)(const UCHAR* src, PUCHAR dst, const Args& a);

struct Routine {
    const char* name;
    Shape shape;
    bool planar;    // source carries chroma planes
    ULONG outBytes; // destination bytes per pixel
    bool packed;    // rows take a pad
    Convert fast, reference;
};

// Monochrome rotated packed YUV as frame delivery once built it: a luma
// portrait, then packing of that portrait.
void transposeThenPack(const UCHAR* s, PUCHAR d, const Args& a, bool anti, BOOLEAN yuy2) {
    Bytes portrait((SIZE_T)a.W * a.H);
    if (anti) {
        reference::antiTransposeLuma(s, portrait.data(), a.W, a.H, a.Sw, a.Sh);
    } else {
        reference::transposeLuma(s, portrait.data(), a.W, a.H, a.Sw);
    }
    reference::lumaToPacked(portrait.data(), d, a.W, a.H, yuy2, a.pad);
}

#define M4350_BOTH(routine, ...)                                                                   \
    [](const UCHAR* s, PUCHAR d, const Args& a) { routine(s, d, __VA_ARGS__); },                   \
        [](const UCHAR* s, PUCHAR d, const Args& a) { reference::routine(s, d, __VA_ARGS__); }

const Routine kRoutines[] = {
    {"Rgb24", Shape::Upright, true, 3, false, M4350_BOTH(planarToRgb24, a.W, a.H)},
    {"Rgb24Flipped", Shape::Upright, true, 3, false, M4350_BOTH(planarToRgb24Flipped, a.W, a.H)},
    {"Rgb32", Shape::Upright, true, 4, false, M4350_BOTH(planarToRgb32, a.W, a.H)},
    {"Rgb32Flipped", Shape::Upright, true, 4, false, M4350_BOTH(planarToRgb32Flipped, a.W, a.H)},
    {"Grey24", Shape::Upright, false, 3, false, M4350_BOTH(greyToRgb, a.W, a.H, FALSE, 3)},
    {"Grey24BottomUp", Shape::Upright, false, 3, false, M4350_BOTH(greyToRgb, a.W, a.H, TRUE, 3)},
    {"Grey32", Shape::Upright, false, 4, false, M4350_BOTH(greyToRgb, a.W, a.H, FALSE, 4)},
    {"Grey32BottomUp", Shape::Upright, false, 4, false, M4350_BOTH(greyToRgb, a.W, a.H, TRUE, 4)},
    {"Yuy2", Shape::Upright, true, 2, true, M4350_BOTH(planarToPacked, a.W, a.H, 1, a.pad)},
    {"Uyvy", Shape::Upright, true, 2, true, M4350_BOTH(planarToPacked, a.W, a.H, 2, a.pad)},
    {"LumaYuy2", Shape::Upright, false, 2, true, M4350_BOTH(lumaToPacked, a.W, a.H, TRUE, a.pad)},
    {"LumaUyvy", Shape::Upright, false, 2, true, M4350_BOTH(lumaToPacked, a.W, a.H, FALSE, a.pad)},
    {"Yv16", Shape::Upright, true, 2, false, M4350_BOTH(planarToYv16, a.W, a.H)},
    {"CopyLuma", Shape::Upright, false, 1, false, M4350_BOTH(copyLuma, a.W, a.H)},
    {"CopyCompressed", Shape::Upright, false, 1, false, M4350_BOTH(copyCompressed, a.W* a.H)},
    {"TransposedYuy2", Shape::Portrait, true, 2, true,
     M4350_BOTH(planarToPackedTransposed, a.W, a.H, a.Sw, TRUE, a.pad)},
    {"TransposedUyvy", Shape::Portrait, true, 2, true,
     M4350_BOTH(planarToPackedTransposed, a.W, a.H, a.Sw, FALSE, a.pad)},
    {"AntiTransposedYuy2", Shape::Portrait, true, 2, true,
     M4350_BOTH(planarToPackedAntiTransposed, a.W, a.H, a.Sw, a.Sh, TRUE, a.pad)},
    {"AntiTransposedUyvy", Shape::Portrait, true, 2, true,
     M4350_BOTH(planarToPackedAntiTransposed, a.W, a.H, a.Sw, a.Sh, FALSE, a.pad)},
    {"TransposeLuma", Shape::Portrait, false, 1, false, M4350_BOTH(transposeLuma, a.W, a.H, a.Sw)},
    {"AntiTransposeLuma", Shape::Portrait, false, 1, false,
     M4350_BOTH(antiTransposeLuma, a.W, a.H, a.Sw, a.Sh)},
    {"LumaTransposedYuy2", Shape::Portrait, false, 2, true,
     M4350_BOTH(lumaToPackedTransposed, a.W, a.H, a.Sw, TRUE, a.pad)},
    {"LumaAntiTransposedUyvy", Shape::Portrait, false, 2, true,
     M4350_BOTH(lumaToPackedAntiTransposed, a.W, a.H, a.Sw, a.Sh, FALSE, a.pad)},
    // The fused routines, and their definitions, against the two passes
    // they replace.
    {"LumaTransposedUyvyIsTwoPasses", Shape::Portrait, false, 2, true,
     [](const UCHAR* s, PUCHAR d, const Args& a) {
         lumaToPackedTransposed(s, d, a.W, a.H, a.Sw, FALSE, a.pad);
     },
     [](const UCHAR* s, PUCHAR d, const Args& a) { transposeThenPack(s, d, a, false, FALSE); }},
    {"LumaAntiTransposedYuy2IsTwoPasses", Shape::Portrait, false, 2, true,
     [](const UCHAR* s, PUCHAR d, const Args& a) {
         reference::lumaToPackedAntiTransposed(s, d, a.W, a.H, a.Sw, a.Sh, TRUE, a.pad);
     },
     [](const UCHAR* s, PUCHAR d, const Args& a) { transposeThenPack(s, d, a, true, TRUE); }},
    {"FieldTransposedYuy2", Shape::Field, true, 2, true,
     M4350_BOTH(planarFieldToPackedTransposed, a.W, a.H, a.Sw, TRUE, a.pad)},
    {"FieldAntiTransposedUyvy", Shape::Field, true, 2, true,
     M4350_BOTH(planarFieldToPackedAntiTransposed, a.W, a.H, a.Sw, FALSE, a.pad)},
    {"FieldAntiTransposedYuy2", Shape::Field, true, 2, true,
     M4350_BOTH(planarFieldToPackedAntiTransposed, a.W, a.H, a.Sw, TRUE, a.pad)},
    {"FieldTransposeLuma", Shape::Field, false, 1, false,
     M4350_BOTH(fieldTransposeLuma, a.W, a.H, a.Sw)},
    {"FieldAntiTransposeLuma", Shape::Field, false, 1, false,
     M4350_BOTH(fieldAntiTransposeLuma, a.W, a.H, a.Sw)},
    {"LumaFieldTransposedUyvy", Shape::Field, false, 2, true,
     M4350_BOTH(lumaFieldToPackedTransposed, a.W, a.H, a.Sw, FALSE, a.pad)},
    {"LumaFieldAntiTransposedYuy2", Shape::Field, false, 2, true,
     M4350_BOTH(lumaFieldToPackedAntiTransposed, a.W, a.H, a.Sw, TRUE, a.pad)},
};

// Output sizes: the catalogue's, then sizes whose rows or tiles end in a
// partial SIMD block, and ones shorter than a block.
struct Size {
    Shape shape;
    ULONG W, H;
};

const Size kSizes[] = {
    {Shape::Upright, 640, 480},  {Shape::Upright, 640, 240}, {Shape::Upright, 320, 240},
    {Shape::Upright, 704, 576},  {Shape::Upright, 704, 288}, {Shape::Upright, 352, 288},
    {Shape::Upright, 2, 1},      {Shape::Upright, 14, 3},    {Shape::Upright, 18, 5},
    {Shape::Upright, 46, 7},     {Shape::Upright, 98, 1},    {Shape::Upright, 130, 3},
    {Shape::Upright, 7, 3},      {Shape::Upright, 33, 2},    {Shape::Portrait, 480, 640},
    {Shape::Portrait, 240, 320}, {Shape::Portrait, 2, 2},    {Shape::Portrait, 16, 16},
    {Shape::Portrait, 18, 34},   {Shape::Portrait, 46, 30},  {Shape::Portrait, 6, 50},
    {Shape::Portrait, 7, 21},    {Shape::Field, 480, 320},   {Shape::Field, 16, 8},
    {Shape::Field, 2, 1},        {Shape::Field, 34, 18},     {Shape::Field, 50, 13},
};

struct Case {
    const Routine* routine;
    Size size;
};

std::vector<Case> AllCases() {
    std::vector<Case> cases;
    for (const Routine& r : kRoutines) {
        for (const Size& s : kSizes) {
            bool oddPairs = (s.W & 1) && (r.planar || r.shape == Shape::Field);
            if (s.shape == r.shape && !oddPairs) {
                cases.push_back({&r, s});
            }
        }
    }
    return cases;
}

class FastPathTest : public ConversionTest, public ::testing::WithParamInterface<Case> {};

TEST_P(FastPathTest, IsByteIdenticalToTheDefinition) {
    const Routine& r = *GetParam().routine;
    const Size& s = GetParam().size;
    Args a{s.W, s.H, s.W, s.H, 0};
    if (r.shape == Shape::Portrait) {
        a.Sw = s.H;
        a.Sh = s.W;
    } else if (r.shape == Shape::Field) {
        a.Sw = 2 * s.H;
        a.Sh = s.W / 2;
    }
    SIZE_T n = (SIZE_T)s.W * s.H;
    // Exactly the raw frame: a read past it is a sanitizer error.
    Bytes src(r.planar ? 2 * n : n);
    std::mt19937 random(s.W * 7919 + s.H);
    for (UCHAR& b : src) {
        b = (UCHAR)random();
    }
    const SIZE_T guard = 64;
    for (ULONG pad : r.packed ? std::vector<ULONG>{0, 2, 16} : std::vector<ULONG>{0}) {
        SCOPED_TRACE("pad " + std::to_string(pad));
        a.pad = pad;
        SIZE_T extent = ((SIZE_T)s.W + pad) * s.H * r.outBytes;
        // The definition writes every byte of its extent and nothing after.
        Bytes expected(extent + guard, 0x5A), other(extent + guard, 0xC3);
        r.reference(src.data(), expected.data(), a);
        r.reference(src.data(), other.data(), a);
        ASSERT_TRUE(std::equal(expected.begin(), expected.begin() + extent, other.begin()));
        ASSERT_EQ(Bytes(expected.begin() + extent, expected.end()), Bytes(guard, 0x5A));

        atEveryLevel([&] {
            Bytes dst(extent + guard, 0x5A);
            r.fast(src.data(), dst.data(), a);
            if (dst != expected) {
                SIZE_T at =
                    std::mismatch(dst.begin(), dst.end(), expected.begin()).first - dst.begin();
                ADD_FAILURE() << "first difference at byte " << at << " of " << extent << ": "
                              << (int)dst[at] << " instead of " << (int)expected[at];
            }
        });
    }
}

INSTANTIATE_TEST_SUITE_P(AllRoutines, FastPathTest, ::testing::ValuesIn(AllCases()),
                         [](const auto& info) {
                             return std::string(info.param.routine->name) + "_" +
                                    std::to_string(info.param.size.W) + "x" +
                                    std::to_string(info.param.size.H);
                         });

// ---------------------------------------------------------------------------
// The colour formula over every (Y, Cb, Cr)
// ---------------------------------------------------------------------------

UCHAR Channel(double value) {
    double v = std::floor(value / 65536.0);
    return (UCHAR)(v < 0 ? 0 : v > 255 ? 255 : v);
}

TEST_F(ConversionTest, EveryColourMatchesTheFormula) {
    // One row per (Cb, Cr) with Y running 0..255; sanitizer builds take
    // every fifth chroma value, which still covers both clamps.
    const int step = kSanitized ? 5 : 1;
    const ULONG W = 256;
    std::vector<std::pair<int, int>> chroma;
    for (int cb = 0; cb < 256; cb += step) {
        for (int cr = 0; cr < 256; cr += step) {
            chroma.push_back({cb, cr});
        }
    }
    const ULONG H = (ULONG)chroma.size();
    SIZE_T n = (SIZE_T)W * H;
    Bytes src(2 * n);
    Bytes expected(4 * n);
    for (ULONG row = 0; row < H; row++) {
        auto [cb, cr] = chroma[row];
        for (ULONG x = 0; x < W; x++) {
            src[(SIZE_T)row * W + x] = (UCHAR)x;
            double l = (double)((int)x - 16) * 76533;
            PUCHAR out = &expected[((SIZE_T)row * W + x) * 4];
            out[0] = Channel(l + (cb - 128) * 132677.0);
            out[1] = Channel(l - (cr - 128) * 53451.0 - (cb - 128) * 25703.0);
            out[2] = Channel(l + (cr - 128) * 104936.0);
            out[3] = 0;
        }
        std::memset(&src[n + (SIZE_T)row * W / 2], cb, W / 2);
        std::memset(&src[n + n / 2 + (SIZE_T)row * W / 2], cr, W / 2);
    }
    Bytes expected24(3 * n);
    for (SIZE_T i = 0; i < n; i++) {
        std::memcpy(&expected24[3 * i], &expected[4 * i], 3);
    }

    for (SIZE_T i = 0; i < n; i += 97) {
        UCHAR rgb[3];
        yuvToRgb(src[i], src[n + n / 2 + i / 2], src[n + i / 2], &rgb[0], &rgb[1], &rgb[2]);
        ASSERT_EQ(rgb[2], expected[4 * i]) << "pixel " << i;
        ASSERT_EQ(rgb[1], expected[4 * i + 1]) << "pixel " << i;
        ASSERT_EQ(rgb[0], expected[4 * i + 2]) << "pixel " << i;
    }
    atEveryLevel([&] {
        Bytes dst(4 * n);
        planarToRgb32(src.data(), dst.data(), W, H);
        EXPECT_TRUE(dst == expected);
        dst.assign(3 * n, 0);
        planarToRgb24(src.data(), dst.data(), W, H);
        EXPECT_TRUE(dst == expected24);
    });
}

// ---------------------------------------------------------------------------
// The dispatch
// ---------------------------------------------------------------------------

TEST_F(ConversionTest, LevelCapHoldsAndLifts) {
    EXPECT_GE(maxLevel_, (ULONG)ConversionLevelSse2) << "every x64 processor has SSE2";
    EXPECT_EQ(setConversionLevelCap(ConversionLevelScalar), (ULONG)ConversionLevelScalar);
    EXPECT_EQ(conversionLevel(), (ULONG)ConversionLevelScalar);
    EXPECT_EQ(setConversionLevelCap(ConversionLevelAvx2), maxLevel_);
    EXPECT_EQ(conversionLevel(), maxLevel_);
}

TEST_F(ConversionTest, ConvertsAtDispatchLevel) {
    // Frame delivery may convert with a spin lock held; the YMM save of the
    // wide rows is allowed there, and must be undone there.
    host::SetVerifierTestMode(true);
    Bytes src(2 * 64 * 4, 100), dst(4 * 64 * 4), expected(4 * 64 * 4);
    reference::planarToRgb32(src.data(), expected.data(), 64, 4);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    planarToRgb32(src.data(), dst.data(), 64, 4);
    EXPECT_EQ(host::ExtendedStateSaveDepth(), 0u);
    KeLowerIrql(old);
    EXPECT_EQ(dst, expected);
    EXPECT_TRUE(host::Violations().empty());
}

} // namespace

// Frame delivery's choices on plain buffers: the mapping tables, the
// geometry of a frame, and what ends up in a buffer of a given size.
#include <gtest/gtest.h>

#include "board/mode_settings.h"
#include "capture/conversion_reference.h"
#include "capture/format_mapping.h"
#include "capture/frame_delivery.h"

#include <cstring>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// Mapping tables

struct IntervalCase {
    ULONG format;
    LONGLONG interval;
    bool exact;
    ULONG fdec;
    LONGLONG snapped;
};

const IntervalCase Intervals[] = {
    {FormatNtsc, 333667, true, 1, 333667},   {FormatNtsc, 667334, true, 2, 666667},
    {FormatNtsc, 1001001, true, 3, 1000000}, {FormatNtsc, 1668335, true, 5, 1666667},
    {FormatNtsc, 500167, false, 1, 333667},  {FormatNtsc, 500168, false, 2, 666667},
    {FormatNtsc, 700000, false, 2, 666667},  {FormatNtsc, 1333334, false, 5, 1666667},
    {FormatPal, 800000, true, 2, 800000},    {FormatPal, 1600000, false, 3, 1200000},
    {FormatPal, 1600001, false, 5, 2000000}, {FormatPal, 333667, false, 1, 400000},
};

TEST(FormatMapping, FrameIntervalsAreTakenExactlyOrSnapped) {
    for (const IntervalCase& c : Intervals) {
        SCOPED_TRACE(std::to_string(c.format) + " " + std::to_string(c.interval));
        ULONG fdec = 99;
        EXPECT_EQ(ExactFrameInterval(c.format, c.interval, &fdec) != FALSE, c.exact);
        if (c.exact) {
            EXPECT_EQ(fdec, c.fdec);
        }
        LONGLONG snapped = 0;
        fdec = 99;
        ASSERT_TRUE(SnapFrameInterval(c.format, c.interval, &fdec, &snapped));
        EXPECT_EQ(fdec, c.fdec);
        EXPECT_EQ(snapped, c.snapped);
    }
    ULONG fdec = 7;
    LONGLONG snapped = 0;
    EXPECT_FALSE(ExactFrameInterval(0, 333667, &fdec));
    EXPECT_FALSE(SnapFrameInterval(3, 333667, &fdec, &snapped));
    EXPECT_EQ(fdec, 7u);
}

TEST(FormatMapping, PictureSizesKnowTheirStandardAndOrientation) {
    struct Case {
        LONG width, height;
        bool known;
        ULONG rotate, format, scale;
    } cases[] = {
        {640, 480, true, 0, FormatNtsc, 1}, {480, -640, true, 1, FormatNtsc, 1},
        {480, 320, true, 1, FormatNtsc, 2}, {240, 320, true, 1, FormatNtsc, 3},
        {704, 288, true, 0, FormatPal, 2},  {576, -352, true, 1, FormatPal, 2},
        {648, 480, false, 0, 0, 0},         {-640, 480, false, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        const PictureSize* size = FindPictureSize(c.width, c.height);
        ASSERT_EQ(size != nullptr, c.known);
        if (size) {
            EXPECT_EQ(size->rotate, c.rotate);
            EXPECT_EQ(size->format, c.format);
            if (c.scale != 1) {
                EXPECT_EQ(PictureSizeScale(size), c.scale);
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Conversion into buffers of a given size

constexpr ULONG Yuy2 = FourCc('Y', 'U', 'Y', '2');
constexpr ULONG Y800 = FourCc('Y', '8', '0', '0');
constexpr ULONG Yv16 = FourCc('Y', 'V', '1', '6');
constexpr ULONG Mjpg = FourCc('M', 'J', 'P', 'G');
constexpr UCHAR Guard = 0xA5;

KS_BITMAPINFOHEADER Bitmap(ULONG compression, USHORT bits, LONG width, LONG height) {
    KS_BITMAPINFOHEADER b{};
    b.biSize = sizeof(b);
    b.biWidth = width;
    b.biHeight = height;
    b.biBitCount = bits;
    b.biCompression = compression;
    return b;
}

struct Delivery {
    DeliveryGeometry geometry{};
    KS_BITMAPINFOHEADER bitmap{};
    std::vector<UCHAR> raw;
    std::vector<UCHAR> buffer;

    // A mode of the standard and scale delivering into a buffer of `extent`
    // bytes followed by guard bytes.
    Delivery(ULONG format, ULONG scale, KS_BITMAPINFOHEADER b, ULONG rotate, ULONG topDown,
             ULONG rawBytes, ULONG extent)
        : bitmap(b), raw(rawBytes), buffer(extent + 64, Guard) {
        ComputeDeliveryGeometry(format, scale, &bitmap, rotate, topDown, &geometry);
        for (size_t i = 0; i < raw.size(); ++i) {
            raw[i] = UCHAR(i * 7 + i / 640);
        }
    }
    ULONG Convert(ULONG colour, ULONG extent, ULONG compressed = 0, ULONG before = 77) {
        return ConvertFrame(&geometry, &bitmap, raw.data(), ULONG(raw.size()), compressed, colour,
                            buffer.data(), extent, before);
    }
    bool Untouched(size_t from) const {
        for (size_t i = from; i < buffer.size(); ++i) {
            if (buffer[i] != Guard) {
                return false;
            }
        }
        return true;
    }
};

TEST(FrameDelivery, Rgb32NeedsTheWholeFrameAndKeepsDataUsedOtherwise) {
    for (ULONG extent : {1228799u, 1228800u}) {
        Delivery d(FormatNtsc, 1, Bitmap(BiRgb, 32, 640, 480), 0, 0, 640 * 480 * 2, extent);
        ULONG used = d.Convert(1, extent);
        if (extent < 1228800) {
            EXPECT_EQ(used, 77u) << "DataUsed as it was";
            EXPECT_TRUE(d.Untouched(0));
        } else {
            EXPECT_EQ(used, 1228800u);
            std::vector<UCHAR> expected(1228800);
            reference::planarToRgb32Flipped(d.raw.data(), expected.data(), 640, 480);
            EXPECT_EQ(std::memcmp(d.buffer.data(), expected.data(), expected.size()), 0);
            EXPECT_TRUE(d.Untouched(1228800));
        }
    }
}

// Formats other than RGB32 say "nothing" with DataUsed 0 and write nothing
// when the frame does not fit; when it fits, not a byte beyond it.
TEST(FrameDelivery, NoFormatWritesPastTheBuffer) {
    struct Case {
        const char* name;
        KS_BITMAPINFOHEADER bitmap;
        ULONG scale, rotate, topDown, raw, need, compressed;
    } cases[] = {
        {"RGB24", Bitmap(BiRgb, 24, 640, 480), 1, 0, 0, 614400, 921600, 0},
        {"YUY2 padded", Bitmap(Yuy2, 16, 656, 480), 1, 0, 0, 614400, 629760, 0},
        {"YV16", Bitmap(Yv16, 16, 320, 240), 3, 0, 0, 153600, 153600, 0},
        {"Y800 portrait", Bitmap(Y800, 8, 480, 640), 1, 1, 0, 307200, 307200, 0},
        {"YUY2 field portrait", Bitmap(Yuy2, 16, 480, -320), 2, 1, 1, 307200, 307200, 0},
        {"MJPG", Bitmap(Mjpg, 24, 640, 480), 1, 0, 0, 614400, 5000, 5000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        {
            Delivery d(FormatNtsc, c.scale, c.bitmap, c.rotate, c.topDown, c.raw, c.need - 1);
            ASSERT_TRUE(DeliveryGeometryUsable(&d.geometry, c.bitmap.biCompression));
            EXPECT_EQ(d.Convert(1, c.need - 1, c.compressed), 0u);
            EXPECT_TRUE(d.Untouched(0));
        }
        Delivery d(FormatNtsc, c.scale, c.bitmap, c.rotate, c.topDown, c.raw, c.need);
        EXPECT_EQ(d.Convert(1, c.need, c.compressed), c.need);
        EXPECT_TRUE(d.Untouched(c.need));
    }
}

TEST(FrameDelivery, PaddedPackedRowsEndInZeroPixels) {
    Delivery d(FormatNtsc, 1, Bitmap(Yuy2, 16, 656, 480), 0, 0, 614400, 629760);
    EXPECT_EQ(d.geometry.width, 640);
    EXPECT_EQ(d.geometry.pad, 16);
    ASSERT_EQ(d.Convert(1, 629760), 629760u);
    std::vector<UCHAR> expected(629760);
    reference::planarToPacked(d.raw.data(), expected.data(), 640, 480, 1, 16);
    EXPECT_EQ(std::memcmp(d.buffer.data(), expected.data(), expected.size()), 0);
    EXPECT_EQ(d.buffer[640 * 2], 0u);
    EXPECT_EQ(d.buffer[656 * 2 - 1], 0u);
}

TEST(FrameDelivery, FramesThatDoNotFitTheirFormatAreNotConverted) {
    struct Case {
        const char* name;
        ULONG format, scale;
        KS_BITMAPINFOHEADER bitmap;
        ULONG rotate;
        bool usable;
    } cases[] = {
        {"narrower than the source", FormatNtsc, 1, Bitmap(Yuy2, 16, 632, 480), 0, false},
        {"NTSC format on a PAL mode", FormatPal, 1, Bitmap(Yuy2, 16, 640, 480), 0, false},
        {"padded RGB", FormatNtsc, 1, Bitmap(BiRgb, 24, 656, 480), 0, false},
        {"more rows than lines", FormatNtsc, 2, Bitmap(Yuy2, 16, 640, 480), 0, false},
        {"rotated RGB", FormatNtsc, 1, Bitmap(BiRgb, 24, 480, 640), 1, false},
        {"portrait of a field", FormatNtsc, 2, Bitmap(Y800, 8, 480, 320), 1, true},
        {"padded MJPG", FormatNtsc, 1, Bitmap(Mjpg, 24, 656, 480), 0, true},
    };
    for (const Case& c : cases) {
        DeliveryGeometry g{};
        ComputeDeliveryGeometry(c.format, c.scale, &c.bitmap, c.rotate, 0, &g);
        EXPECT_EQ(DeliveryGeometryUsable(&g, c.bitmap.biCompression) != FALSE, c.usable) << c.name;
    }
}

// A frame captured in monochrome holds the luma plane alone: converted as
// luma even after colour is back on, never with chroma read from beyond it.
TEST(FrameDelivery, LumaOnlyFramesAreConvertedAsLuma) {
    Delivery d(FormatNtsc, 3, Bitmap(Yuy2, 16, 320, 240), 0, 0, 320 * 240, 153600);
    ASSERT_EQ(d.Convert(1, 153600), 153600u);
    std::vector<UCHAR> expected(153600);
    reference::lumaToPacked(d.raw.data(), expected.data(), 320, 240, TRUE, 0);
    EXPECT_EQ(std::memcmp(d.buffer.data(), expected.data(), expected.size()), 0);

    Delivery yv16(FormatNtsc, 3, Bitmap(Yv16, 16, 320, 240), 0, 0, 320 * 240, 153600);
    ASSERT_EQ(yv16.Convert(1, 153600), 153600u);
    EXPECT_EQ(std::memcmp(yv16.buffer.data(), yv16.raw.data(), 320 * 240), 0);
    EXPECT_EQ(yv16.buffer[320 * 240], 128u);
    EXPECT_EQ(yv16.buffer[153599], 128u);

    // A frame shorter than its luma plane is not a picture at all.
    Delivery shortFrame(FormatNtsc, 3, Bitmap(Y800, 8, 320, 240), 0, 0, 320 * 240 - 1, 76800);
    EXPECT_EQ(shortFrame.Convert(1, 76800), 0u);
    EXPECT_TRUE(shortFrame.Untouched(0));
}

TEST(FrameDelivery, CompressedSizeMustLieWithinTheFrame) {
    Delivery d(FormatNtsc, 1, Bitmap(Mjpg, 24, 640, 480), 0, 0, 1000, 921600);
    EXPECT_EQ(d.Convert(1, 921600, 1001), 0u);
    EXPECT_TRUE(d.Untouched(0));
    EXPECT_EQ(d.Convert(1, 921600, 1000), 1000u);
    EXPECT_EQ(std::memcmp(d.buffer.data(), d.raw.data(), 1000), 0);
}

TEST(FrameDelivery, PortraitY800TakesTheSourceLinesAsItsWidth) {
    Delivery d(FormatNtsc, 1, Bitmap(Y800, 8, 480, 640), 1, 0, 307200, 307200);
    EXPECT_EQ(d.geometry.width, 480);
    EXPECT_EQ(d.geometry.height, 640);
    ASSERT_EQ(d.Convert(0, 307200), 307200u);
    std::vector<UCHAR> expected(307200);
    reference::antiTransposeLuma(d.raw.data(), expected.data(), 480, 640, 640, 480);
    EXPECT_EQ(std::memcmp(d.buffer.data(), expected.data(), expected.size()), 0);
}

} // namespace

namespace {

// The portraits of a field (480 x 320 from 640 x 240): each orientation and
// layout goes through the routine its decision names, byte for byte.
TEST(FrameDelivery, FieldPortraitsUseEverySampleOnce) {
    struct Case {
        const char* name;
        ULONG compression;
        USHORT bits;
        LONG height; // sign: orientation
        ULONG colour;
        void (*expect)(const UCHAR*, PUCHAR);
    } cases[] = {
        {"colour bottom-up", Yuy2, 16, 320, 1,
         [](const UCHAR* s, PUCHAR d) {
             reference::planarFieldToPackedTransposed(s, d, 480, 320, 640, TRUE, 0);
         }},
        {"colour top-down", Yuy2, 16, -320, 1,
         [](const UCHAR* s, PUCHAR d) {
             reference::planarFieldToPackedAntiTransposed(s, d, 480, 320, 640, TRUE, 0);
         }},
        {"luma top-down", Yuy2, 16, -320, 0,
         [](const UCHAR* s, PUCHAR d) {
             reference::lumaFieldToPackedTransposed(s, d, 480, 320, 640, TRUE, 0);
         }},
        {"luma bottom-up", Yuy2, 16, 320, 0,
         [](const UCHAR* s, PUCHAR d) {
             reference::lumaFieldToPackedAntiTransposed(s, d, 480, 320, 640, TRUE, 0);
         }},
        {"Y800 top-down", Y800, 8, -320, 1,
         [](const UCHAR* s, PUCHAR d) { reference::fieldTransposeLuma(s, d, 480, 320, 640); }},
        {"Y800 bottom-up", Y800, 8, 320, 1,
         [](const UCHAR* s, PUCHAR d) { reference::fieldAntiTransposeLuma(s, d, 480, 320, 640); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ULONG bytes = 480 * 320 * c.bits / 8;
        Delivery d(FormatNtsc, 2, Bitmap(c.compression, c.bits, 480, c.height), 1,
                   c.height < 0 ? 1 : 0, 640 * 240 * 2, bytes);
        ASSERT_EQ(d.Convert(c.colour, bytes), bytes);
        std::vector<UCHAR> expected(bytes);
        c.expect(d.raw.data(), expected.data());
        EXPECT_EQ(std::memcmp(d.buffer.data(), expected.data(), bytes), 0);
    }
}

} // namespace

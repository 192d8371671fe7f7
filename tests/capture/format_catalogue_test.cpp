// The NTSC and PAL format lists, row by row, against the catalogue as it is
// published to applications.
#include <gtest/gtest.h>

#include <kernel_test.h>

#include <cstring>
#include <string>

#include "capture/format_catalogue.h"

namespace {

struct SubtypeExpectation {
    const char* name;
    GUID subFormat;
    ULONG compression;
    BOOL fixedSizeSamples;
};

constexpr GUID FourCcGuid(ULONG fourCc) {
    return GUID{fourCc, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
}

const SubtypeExpectation SubtypeTable[] = {
    {"UYVY", FourCcGuid(0x59565955), 0x59565955, TRUE},
    {"YUY2", FourCcGuid(0x32595559), 0x32595559, TRUE},
    {"YV16", FourCcGuid(0x36315659), 0x36315659, TRUE},
    {"MJPG", FourCcGuid(0x47504A4D), 0x47504A4D, FALSE},
    {"Y800", FourCcGuid(0x30303859), 0x30303859, TRUE},
    {"RGB24",
     {0xE436EB7D, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}},
     0,
     TRUE},
    {"RGB32",
     {0xE436EB7E, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}},
     0,
     TRUE},
};

const SubtypeExpectation& Subtype(const std::string& name) {
    for (const auto& entry : SubtypeTable) {
        if (name == entry.name) {
            return entry;
        }
    }
    ADD_FAILURE() << "no subtype " << name;
    return SubtypeTable[0];
}

constexpr GUID VideoMajorFormat = {
    0x73646976, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr GUID VideoInfoSpecifier = {
    0x05589F80, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};

constexpr ULONG NTSC_M = 0x1;
constexpr ULONG PAL_B = 0x10;
constexpr ULONG PAL_M = 0x200;

struct CatalogueRow {
    const char* subtype;
    LONG width;
    LONG height;
    USHORT bitCount;
    ULONG imageSize;
    ULONG standard;
    ULONG bitRate;
};

const CatalogueRow NtscRows[RangeListCount] = {
    {"UYVY", 640, 480, 16, 614400, NTSC_M, 147456000},
    {"RGB24", 640, 480, 24, 921600, NTSC_M, 221184000},
    {"RGB32", 640, 480, 32, 1228800, NTSC_M, 294912000},
    {"YV16", 640, 480, 16, 614400, NTSC_M, 147456000},
    {"YUY2", 640, 480, 16, 614400, NTSC_M, 147456000},
    {"MJPG", 640, 480, 24, 921600, NTSC_M, 221184000},
    {"Y800", 640, 480, 8, 307200, NTSC_M, 73728000},
    {"UYVY", 640, 240, 16, 307200, NTSC_M, 73728000},
    {"RGB24", 640, 240, 24, 460800, NTSC_M, 110592000},
    {"RGB32", 640, 240, 32, 614400, NTSC_M, 147456000},
    {"YV16", 640, 240, 16, 307200, NTSC_M, 73728000},
    {"YUY2", 640, 240, 16, 307200, NTSC_M, 73728000},
    {"MJPG", 640, 240, 24, 460800, NTSC_M, 110592000},
    {"Y800", 640, 240, 8, 153600, NTSC_M, 36864000},
    {"UYVY", 320, 240, 16, 153600, NTSC_M, 36864000},
    {"RGB24", 320, 240, 24, 230400, NTSC_M, 55296000},
    {"RGB32", 320, 240, 32, 307200, NTSC_M, 73728000},
    {"YV16", 320, 240, 16, 153600, NTSC_M, 36864000},
    {"YUY2", 320, 240, 16, 153600, NTSC_M, 36864000},
    {"MJPG", 320, 240, 24, 230400, NTSC_M, 55296000},
    {"Y800", 320, 240, 8, 76800, NTSC_M, 18432000},
    {"UYVY", 480, -640, 16, 614400, NTSC_M, 147456000},
    {"YUY2", 480, -640, 16, 614400, NTSC_M, 147456000},
    {"Y800", 480, -640, 8, 307200, NTSC_M, 73728000},
    {"UYVY", 480, -320, 16, 307200, NTSC_M, 73728000},
    {"YUY2", 480, -320, 16, 307200, NTSC_M, 73728000},
    {"Y800", 480, -320, 8, 153600, NTSC_M, 36864000},
    {"UYVY", 240, -320, 16, 153600, NTSC_M, 36864000},
    {"YUY2", 240, -320, 16, 153600, NTSC_M, 36864000},
    {"Y800", 240, -320, 8, 76800, NTSC_M, 18432000},
    {"UYVY", 480, 640, 16, 614400, NTSC_M, 147456000},
    {"YUY2", 480, 640, 16, 614400, NTSC_M, 147456000},
    {"Y800", 480, 640, 8, 307200, NTSC_M, 73728000},
    {"UYVY", 480, 320, 16, 307200, NTSC_M, 73728000},
    {"YUY2", 480, 320, 16, 307200, NTSC_M, 73728000},
    {"Y800", 480, 320, 8, 153600, NTSC_M, 36864000},
    {"UYVY", 240, 320, 16, 153600, NTSC_M, 36864000},
    {"YUY2", 240, 320, 16, 153600, NTSC_M, 36864000},
    {"Y800", 240, 320, 8, 76800, NTSC_M, 18432000},
};

const CatalogueRow PalRows[RangeListCount] = {
    {"UYVY", 704, 576, 16, 811008, PAL_B, 162201600},
    {"RGB24", 704, 576, 24, 1216512, PAL_B, 243302400},
    {"RGB32", 704, 576, 32, 1622016, PAL_B, 324403200},
    {"YV16", 704, 576, 16, 811008, PAL_B, 162201600},
    {"YUY2", 704, 576, 16, 811008, PAL_B, 162201600},
    {"MJPG", 704, 576, 24, 1216512, PAL_B, 243302400},
    {"Y800", 704, 576, 8, 405504, PAL_B, 81100800},
    {"UYVY", 704, 288, 16, 405504, PAL_B, 81100800},
    {"RGB24", 704, 288, 24, 608256, PAL_B, 121651200},
    {"RGB32", 704, 288, 32, 811008, PAL_B, 162201600},
    {"YV16", 704, 288, 16, 405504, PAL_B, 81100800},
    {"YUY2", 704, 288, 16, 405504, PAL_B, 81100800},
    {"MJPG", 704, 288, 24, 608256, PAL_B, 121651200},
    {"Y800", 704, 288, 8, 202752, PAL_B, 40550400},
    {"UYVY", 352, 288, 16, 202752, PAL_B, 40550400},
    {"RGB24", 352, 288, 24, 304128, PAL_B, 60825600},
    {"RGB32", 352, 288, 32, 405504, PAL_B, 81100800},
    {"YV16", 352, 288, 16, 202752, PAL_B, 40550400},
    {"YUY2", 352, 288, 16, 202752, PAL_B, 40550400},
    {"MJPG", 352, 288, 24, 304128, PAL_B, 60825600},
    {"Y800", 352, 288, 8, 101376, PAL_B, 20275200},
    {"UYVY", 704, 576, 16, 811008, PAL_M, 194641920},
    {"YUY2", 704, 576, 16, 811008, PAL_M, 194641920},
    {"Y800", 704, 576, 8, 405504, PAL_M, 97320960},
    {"UYVY", 704, 288, 16, 405504, PAL_M, 97320960},
    {"YUY2", 704, 288, 16, 405504, PAL_M, 97320960},
    {"Y800", 704, 288, 8, 202752, PAL_M, 48660480},
    {"UYVY", 352, 288, 16, 202752, PAL_M, 48660480},
    {"YUY2", 352, 288, 16, 202752, PAL_M, 48660480},
    {"Y800", 352, 288, 8, 101376, PAL_M, 24330240},
    {"UYVY", 704, 576, 16, 811008, PAL_M, 194641920},
    {"YUY2", 704, 576, 16, 811008, PAL_M, 194641920},
    {"Y800", 704, 576, 8, 405504, PAL_M, 97320960},
    {"UYVY", 704, 288, 16, 405504, PAL_M, 97320960},
    {"YUY2", 704, 288, 16, 405504, PAL_M, 97320960},
    {"Y800", 704, 288, 8, 202752, PAL_M, 48660480},
    {"UYVY", 352, 288, 16, 202752, PAL_M, 48660480},
    {"YUY2", 352, 288, 16, 202752, PAL_M, 48660480},
    {"Y800", 352, 288, 8, 101376, PAL_M, 24330240},
};

// What every range of a list shares: the full frame rate and the frame rates
// the stream caps quote their bit-rate bounds at.
struct ListExpectation {
    LONGLONG minFrameInterval;
    LONG minRateFrames;
    LONG maxRateFrames;
};

void ExpectSize(const SIZE& size, LONG cx, LONG cy, const char* what) {
    EXPECT_EQ(size.cx, cx) << what;
    EXPECT_EQ(size.cy, cy) << what;
}

void ExpectRangeMatchesRow(const KS_DATARANGE_VIDEO& range, const CatalogueRow& row,
                           const ListExpectation& list) {
    const SubtypeExpectation& subtype = Subtype(row.subtype);

    const KSDATARANGE& head = range.DataRange;
    EXPECT_EQ(head.FormatSize, 296u);
    EXPECT_EQ(head.Flags, 0u);
    EXPECT_EQ(head.SampleSize, row.imageSize);
    EXPECT_EQ(head.Reserved, 0u);
    EXPECT_TRUE(IsEqualGUID(head.MajorFormat, VideoMajorFormat));
    EXPECT_TRUE(IsEqualGUID(head.SubFormat, subtype.subFormat)) << "subtype " << subtype.name;
    EXPECT_TRUE(IsEqualGUID(head.Specifier, VideoInfoSpecifier));

    EXPECT_EQ(range.bFixedSizeSamples, subtype.fixedSizeSamples);
    EXPECT_EQ(range.bTemporalCompression, TRUE);
    EXPECT_EQ(range.StreamDescriptionFlags, 0u);
    EXPECT_EQ(range.MemoryAllocationFlags, 0u);

    const KS_VIDEO_STREAM_CONFIG_CAPS& caps = range.ConfigCaps;
    EXPECT_TRUE(IsEqualGUID(caps.guid, VideoInfoSpecifier));
    EXPECT_EQ(caps.VideoStandard, row.standard);
    ExpectSize(caps.InputSize, row.width, row.height, "InputSize");
    ExpectSize(caps.MinCroppingSize, row.width, row.height, "MinCroppingSize");
    ExpectSize(caps.MaxCroppingSize, row.width, row.height, "MaxCroppingSize");
    EXPECT_EQ(caps.CropGranularityX, row.width);
    EXPECT_EQ(caps.CropGranularityY, row.height);
    EXPECT_EQ(caps.CropAlignX, 8);
    EXPECT_EQ(caps.CropAlignY, 1);
    ExpectSize(caps.MinOutputSize, row.width, row.height, "MinOutputSize");
    ExpectSize(caps.MaxOutputSize, row.width, row.height, "MaxOutputSize");
    EXPECT_EQ(caps.OutputGranularityX, row.width);
    EXPECT_EQ(caps.OutputGranularityY, row.height);
    EXPECT_EQ(caps.StretchTapsX, 0);
    EXPECT_EQ(caps.StretchTapsY, 0);
    EXPECT_EQ(caps.ShrinkTapsX, 0);
    EXPECT_EQ(caps.ShrinkTapsY, 0);
    EXPECT_EQ(caps.MinFrameInterval, list.minFrameInterval);
    EXPECT_EQ(caps.MaxFrameInterval, 640000000);
    // The bounds use the signed height: top-down rows have negative ones.
    const LONGLONG signedBits = LONGLONG(row.width) * row.height * row.bitCount;
    EXPECT_EQ(caps.MinBitsPerSecond, signedBits * list.minRateFrames);
    EXPECT_EQ(caps.MaxBitsPerSecond, signedBits * list.maxRateFrames);

    const KS_VIDEOINFOHEADER& info = range.VideoInfoHeader;
    const RECT empty = {0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(&info.rcSource, &empty, sizeof(RECT)), 0);
    EXPECT_EQ(std::memcmp(&info.rcTarget, &empty, sizeof(RECT)), 0);
    EXPECT_EQ(info.dwBitRate, row.bitRate);
    EXPECT_EQ(info.dwBitErrorRate, 0u);
    EXPECT_EQ(info.AvgTimePerFrame, list.minFrameInterval);

    const KS_BITMAPINFOHEADER& bitmap = info.bmiHeader;
    EXPECT_EQ(bitmap.biSize, 40u);
    EXPECT_EQ(bitmap.biWidth, row.width);
    EXPECT_EQ(bitmap.biHeight, row.height);
    EXPECT_EQ(bitmap.biPlanes, 1);
    EXPECT_EQ(bitmap.biBitCount, row.bitCount);
    EXPECT_EQ(bitmap.biCompression, subtype.compression);
    EXPECT_EQ(bitmap.biSizeImage, row.imageSize);
    EXPECT_EQ(bitmap.biXPelsPerMeter, 0);
    EXPECT_EQ(bitmap.biYPelsPerMeter, 0);
    EXPECT_EQ(bitmap.biClrUsed, 0u);
    EXPECT_EQ(bitmap.biClrImportant, 0u);
}

void ExpectListMatchesRows(const DataRangeList& list, const CatalogueRow (&rows)[RangeListCount],
                           const ListExpectation& expectation) {
    for (ULONG i = 0; i < RangeListCount; ++i) {
        SCOPED_TRACE("row " + std::to_string(i));
        ASSERT_NE(list.Ranges[i], nullptr);
        ExpectRangeMatchesRow(*reinterpret_cast<const KS_DATARANGE_VIDEO*>(list.Ranges[i]), rows[i],
                              expectation);
    }
}

using FormatCatalogue = KernelTest;

TEST_F(FormatCatalogue, NtscListMatchesTheCatalogueRowByRow) {
    ExpectListMatchesRows(NtscRangeList, NtscRows, {333667, 6, 30});
}

TEST_F(FormatCatalogue, PalListMatchesTheCatalogueRowByRow) {
    ExpectListMatchesRows(PalRangeList, PalRows, {400000, 5, 25});
}

} // namespace

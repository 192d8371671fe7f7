// The capture pin's intersect handler, called as the streaming class calls
// it: the caller's range, one of the pin's own ranges, a buffer.
#include <gtest/gtest.h>

#include <kernel_test.h>

#include <cstring>
#include <vector>

#include "capture/data_intersection.h"
#include "capture/format_catalogue.h"

namespace {

const KS_DATARANGE_VIDEO& NtscRow(ULONG row) {
    return *reinterpret_cast<const KS_DATARANGE_VIDEO*>(NtscRangeList.Ranges[row]);
}
const KS_DATARANGE_VIDEO& PalRow(ULONG row) {
    return *reinterpret_cast<const KS_DATARANGE_VIDEO*>(PalRangeList.Ranges[row]);
}

// An application's range: a copy of a catalogue range, optionally followed by
// extra bitmap header bytes (colour masks).
struct CallerRange {
    explicit CallerRange(const KS_DATARANGE_VIDEO& source, ULONG extra = 0)
        : bytes(sizeof(KS_DATARANGE_VIDEO) + extra, 0xA5) {
        std::memcpy(bytes.data(), &source, sizeof(source));
        range().DataRange.FormatSize = ULONG(bytes.size());
        range().VideoInfoHeader.bmiHeader.biSize += extra;
    }
    KS_DATARANGE_VIDEO& range() { return *reinterpret_cast<KS_DATARANGE_VIDEO*>(bytes.data()); }
    KS_BITMAPINFOHEADER& bitmap() { return range().VideoInfoHeader.bmiHeader; }
    PKSDATARANGE head() { return &range().DataRange; }

    std::vector<UCHAR> bytes;
};

struct Result {
    NTSTATUS status;
    ULONG dataSize;
    std::vector<UCHAR> buffer;

    const KS_DATAFORMAT_VIDEOINFOHEADER& format() const {
        return *reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(buffer.data());
    }
};

constexpr ULONG Untouched = 0xDEADBEEF;

Result Intersect(CallerRange& caller, const KS_DATARANGE_VIDEO& offered, ULONG bufferSize = 512) {
    Result result{0, Untouched, std::vector<UCHAR>(bufferSize, 0xCC)};
    result.status = CapturePinIntersectHandler(
        nullptr, nullptr, nullptr, caller.head(), const_cast<PKSDATARANGE>(&offered.DataRange),
        bufferSize, bufferSize ? result.buffer.data() : nullptr, &result.dataSize);
    return result;
}

void ExpectRect(const RECT& rect, LONG left, LONG top, LONG right, LONG bottom) {
    EXPECT_EQ(rect.left, left);
    EXPECT_EQ(rect.top, top);
    EXPECT_EQ(rect.right, right);
    EXPECT_EQ(rect.bottom, bottom);
}

using DataIntersection = KernelTest;

TEST_F(DataIntersection, CatalogueRangeYieldsItsFormat) {
    CallerRange caller(NtscRow(0)); // 640 x 480 UYVY
    const Result result = Intersect(caller, NtscRow(0));

    ASSERT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.dataSize, 152u);
    const KS_DATAFORMAT_VIDEOINFOHEADER& format = result.format();
    EXPECT_EQ(format.DataFormat.FormatSize, 152u);
    EXPECT_EQ(format.DataFormat.SampleSize, 614400u);
    EXPECT_TRUE(IsEqualGUID(format.DataFormat.SubFormat, NtscRow(0).DataRange.SubFormat));
    ExpectRect(format.VideoInfoHeader.rcSource, 0, 0, 640, 480);
    ExpectRect(format.VideoInfoHeader.rcTarget, 0, 0, 640, 480);
    EXPECT_EQ(format.VideoInfoHeader.AvgTimePerFrame, 333667);
    EXPECT_EQ(format.VideoInfoHeader.bmiHeader.biSizeImage, 614400u);
    EXPECT_EQ(format.VideoInfoHeader.bmiHeader.biCompression, 0x59565955u);
    // Nothing is written past the format.
    EXPECT_EQ(result.buffer[152], 0xCC);
}

TEST_F(DataIntersection, TopDownPortraitKeepsItsSignedHeight) {
    CallerRange caller(NtscRow(21)); // 480 x -640 UYVY
    const Result result = Intersect(caller, NtscRow(21));

    ASSERT_EQ(result.status, STATUS_SUCCESS);
    const KS_VIDEOINFOHEADER& info = result.format().VideoInfoHeader;
    EXPECT_EQ(info.bmiHeader.biHeight, -640);
    ExpectRect(info.rcSource, 0, 0, 480, 640);
    ExpectRect(info.rcTarget, 0, 0, 480, 640);
    EXPECT_EQ(info.bmiHeader.biSizeImage, 614400u);
    EXPECT_EQ(result.format().DataFormat.SampleSize, 614400u);
}

TEST_F(DataIntersection, HeaderComesFromThePinsRangeAndTheVideoInfoFromTheCaller) {
    CallerRange caller(NtscRow(4)); // YUY2
    caller.range().DataRange.Flags = 0x5A;
    caller.range().VideoInfoHeader.AvgTimePerFrame = 666667;
    caller.range().VideoInfoHeader.rcSource.left = 5;
    caller.range().VideoInfoHeader.rcTarget.top = 7;
    const Result result = Intersect(caller, NtscRow(4));

    ASSERT_EQ(result.status, STATUS_SUCCESS);
    KSDATAFORMAT expectedHead = NtscRow(4).DataRange;
    expectedHead.FormatSize = 152;
    expectedHead.SampleSize = 614400;
    EXPECT_EQ(std::memcmp(&result.format().DataFormat, &expectedHead, sizeof(KSDATAFORMAT)), 0);
    const KS_VIDEOINFOHEADER& info = result.format().VideoInfoHeader;
    EXPECT_EQ(info.AvgTimePerFrame, 666667);
    ExpectRect(info.rcSource, 5, 0, 640, 480);
    ExpectRect(info.rcTarget, 0, 7, 640, 480);
}

TEST_F(DataIntersection, LongerBitmapHeaderIsCopiedWhole) {
    CallerRange caller(NtscRow(2), 12); // RGB32 with three colour masks
    const ULONG masks[3] = {0xFF0000, 0x00FF00, 0x0000FF};
    std::memcpy(caller.bytes.data() + sizeof(KS_DATARANGE_VIDEO), masks, sizeof(masks));
    const Result result = Intersect(caller, NtscRow(2));

    ASSERT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.dataSize, 164u);
    EXPECT_EQ(result.format().DataFormat.FormatSize, 164u);
    EXPECT_EQ(std::memcmp(result.buffer.data() + 152, masks, sizeof(masks)), 0);
}

// The image size follows the caller's bitmap header, rows padded to 4 bytes.
struct ImageSizeCase {
    const char* name;
    ULONG row;
    LONG width;
    LONG height;
    ULONG imageSize;
};

const ImageSizeCase ImageSizeCases[] = {
    {"padded UYVY row", 0, 648, 480, 622080},
    {"RGB24 row of odd width", 1, 641, 480, 923520},
    {"grey, top-down", 23, 482, -640, 309760},
};

TEST_F(DataIntersection, ImageSizeIsTheDibSizeOfTheCallersBitmap) {
    for (const ImageSizeCase& c : ImageSizeCases) {
        SCOPED_TRACE(c.name);
        CallerRange caller(NtscRow(c.row));
        caller.bitmap().biWidth = c.width;
        caller.bitmap().biHeight = c.height;
        const Result result = Intersect(caller, NtscRow(c.row));
        ASSERT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.format().VideoInfoHeader.bmiHeader.biSizeImage, c.imageSize);
        EXPECT_EQ(result.format().DataFormat.SampleSize, c.imageSize);
    }
}

TEST_F(DataIntersection, DuplicatedPalRowsYieldTheSameFormat) {
    for (ULONG row = 21; row < 30; ++row) {
        SCOPED_TRACE(row);
        CallerRange first(PalRow(row));
        CallerRange second(PalRow(row + 9));
        const Result a = Intersect(first, PalRow(row));
        const Result b = Intersect(second, PalRow(row + 9));
        ASSERT_EQ(a.status, STATUS_SUCCESS);
        ASSERT_EQ(b.status, STATUS_SUCCESS);
        ASSERT_EQ(a.dataSize, b.dataSize);
        EXPECT_EQ(std::memcmp(a.buffer.data(), b.buffer.data(), a.dataSize), 0);
    }
}

// A caller range that does not name exactly the pin's range.
struct MismatchCase {
    const char* name;
    void (*change)(KS_DATARANGE_VIDEO&);
};

const MismatchCase Mismatches[] = {
    {"other specifier", [](KS_DATARANGE_VIDEO& r) { r.DataRange.Specifier.Data1 ^= 1; }},
    {"FormatSize below a video range", [](KS_DATARANGE_VIDEO& r) { r.DataRange.FormatSize = 295; }},
    {"variable-size samples", [](KS_DATARANGE_VIDEO& r) { r.bFixedSizeSamples = FALSE; }},
    {"no temporal compression", [](KS_DATARANGE_VIDEO& r) { r.bTemporalCompression = FALSE; }},
    {"stream description flags", [](KS_DATARANGE_VIDEO& r) { r.StreamDescriptionFlags = 1; }},
    {"memory allocation flags", [](KS_DATARANGE_VIDEO& r) { r.MemoryAllocationFlags = 1; }},
    {"longer maximum frame interval",
     [](KS_DATARANGE_VIDEO& r) { r.ConfigCaps.MaxFrameInterval += 1; }},
    {"other video standard",
     [](KS_DATARANGE_VIDEO& r) { r.ConfigCaps.VideoStandard = KS_AnalogVideo_PAL_B; }},
    {"last field of the caps",
     [](KS_DATARANGE_VIDEO& r) { r.ConfigCaps.MaxBitsPerSecond ^= 1 << 24; }},
};

TEST_F(DataIntersection, RangeDescribingAnotherConfigurationDoesNotMatch) {
    for (const MismatchCase& c : Mismatches) {
        SCOPED_TRACE(c.name);
        CallerRange caller(NtscRow(0));
        c.change(caller.range());
        const Result result = Intersect(caller, NtscRow(0));
        EXPECT_EQ(result.status, STATUS_NO_MATCH);
        EXPECT_EQ(result.dataSize, Untouched);
        EXPECT_EQ(result.buffer[0], 0xCC);
    }
}

TEST_F(DataIntersection, ZeroLengthBufferAsksForTheSizeAndAShortOneIsRefused) {
    CallerRange caller(NtscRow(0));
    const Result query = Intersect(caller, NtscRow(0), 0);
    EXPECT_EQ(query.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(query.dataSize, 152u);

    const Result shortBuffer = Intersect(caller, NtscRow(0), 151);
    EXPECT_EQ(shortBuffer.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(shortBuffer.dataSize, Untouched);
    EXPECT_EQ(shortBuffer.buffer[0], 0xCC);
}

// A bitmap header whose size or geometry cannot describe a format.
struct InvalidCase {
    const char* name;
    void (*change)(KS_BITMAPINFOHEADER&);
};

const InvalidCase InvalidBitmaps[] = {
    {"size wraps 32 bits", [](KS_BITMAPINFOHEADER& b) { b.biSize = 0xFFFFFF80; }},
    {"size beyond the caller's range", [](KS_BITMAPINFOHEADER& b) { b.biSize = 44; }},
    {"size below a bitmap header", [](KS_BITMAPINFOHEADER& b) { b.biSize = 0; }},
    {"image beyond 32 bits", [](KS_BITMAPINFOHEADER& b) { b.biWidth = 0x1000000; }},
    {"row beyond 32 bits",
     [](KS_BITMAPINFOHEADER& b) {
         b.biWidth = MAXLONG;
         b.biBitCount = 32;
         b.biHeight = 1;
     }},
    {"height without magnitude", [](KS_BITMAPINFOHEADER& b) { b.biHeight = -MAXLONG - 1; }},
};

TEST_F(DataIntersection, UnusableBitmapHeaderIsAnInvalidParameter) {
    for (const InvalidCase& c : InvalidBitmaps) {
        SCOPED_TRACE(c.name);
        CallerRange caller(NtscRow(0));
        c.change(caller.bitmap());
        for (ULONG bufferSize : {0u, 512u}) {
            const Result result = Intersect(caller, NtscRow(0), bufferSize);
            EXPECT_EQ(result.status, STATUS_INVALID_PARAMETER) << "buffer " << bufferSize;
            EXPECT_EQ(result.dataSize, Untouched);
        }
    }
}

} // namespace

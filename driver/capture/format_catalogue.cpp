// The NTSC and PAL format lists.
//
// A row of a list is a picture size, a pixel format and a video standard;
// everything else in its 296-byte KS_DATARANGE_VIDEO follows from those and
// from the list's frame rate. So the lists are written down as size groups
// (a size, the subtypes offered at that size, the standard) and expanded into
// the data ranges by the compiler: the ranges live in read-only data and no
// code runs to build them.
#include "capture/format_catalogue.h"

namespace {

enum class Subtype : ULONG { Uyvy, Rgb24, Rgb32, Yv16, Yuy2, Mjpg, Y800 };

constexpr ULONG FourCc(char a, char b, char c, char d) {
    return ULONG(UCHAR(a)) | ULONG(UCHAR(b)) << 8 | ULONG(UCHAR(c)) << 16 | ULONG(UCHAR(d)) << 24;
}

struct SubtypeInfo {
    GUID subFormat;
    ULONG compression; // biCompression: the FourCC, or BI_RGB (0)
    USHORT bitCount;
    BOOL fixedSizeSamples;
};

// Indexed by Subtype.
constexpr SubtypeInfo Subtypes[] = {
    {{STATIC_KSDATAFORMAT_SUBTYPE_UYVY}, FourCc('U', 'Y', 'V', 'Y'), 16, TRUE},
    {{STATIC_KSDATAFORMAT_SUBTYPE_RGB24}, KS_BI_RGB, 24, TRUE},
    {{STATIC_KSDATAFORMAT_SUBTYPE_RGB32}, KS_BI_RGB, 32, TRUE},
    {{STATIC_KSDATAFORMAT_SUBTYPE_YV16}, FourCc('Y', 'V', '1', '6'), 16, TRUE},
    {{STATIC_KSDATAFORMAT_SUBTYPE_YUY2}, FourCc('Y', 'U', 'Y', '2'), 16, TRUE},
    // A JPEG frame's size varies; the sample size is only its upper bound.
    {{STATIC_KSDATAFORMAT_SUBTYPE_MJPG}, FourCc('M', 'J', 'P', 'G'), 24, FALSE},
    {{STATIC_KSDATAFORMAT_SUBTYPE_Y800}, FourCc('Y', '8', '0', '0'), 8, TRUE},
};

// Landscape sizes of the first standard of a list get every pixel format;
// portrait sizes and the second PAL standard only the packed YUV and grey
// ones.
constexpr Subtype AllSubtypes[] = {Subtype::Uyvy, Subtype::Rgb24, Subtype::Rgb32, Subtype::Yv16,
                                   Subtype::Yuy2, Subtype::Mjpg,  Subtype::Y800};
constexpr Subtype PackedAndGrey[] = {Subtype::Uyvy, Subtype::Yuy2, Subtype::Y800};

struct SizeGroup {
    LONG width;
    LONG height; // negative: a top-down image
    const Subtype* subtypes;
    ULONG subtypeCount;
    ULONG videoStandard;
    ULONG bitRateFramesPerSecond; // the frame rate dwBitRate is quoted at
};

#define ALL_SUBTYPES AllSubtypes, RTL_NUMBER_OF(AllSubtypes)
#define PACKED_AND_GREY PackedAndGrey, RTL_NUMBER_OF(PackedAndGrey)

constexpr SizeGroup NtscGroups[] = {
    {640, 480, ALL_SUBTYPES, KS_AnalogVideo_NTSC_M, 30},
    {640, 240, ALL_SUBTYPES, KS_AnalogVideo_NTSC_M, 30},
    {320, 240, ALL_SUBTYPES, KS_AnalogVideo_NTSC_M, 30},
    {480, -640, PACKED_AND_GREY, KS_AnalogVideo_NTSC_M, 30},
    {480, -320, PACKED_AND_GREY, KS_AnalogVideo_NTSC_M, 30},
    {240, -320, PACKED_AND_GREY, KS_AnalogVideo_NTSC_M, 30},
    {480, 640, PACKED_AND_GREY, KS_AnalogVideo_NTSC_M, 30},
    {480, 320, PACKED_AND_GREY, KS_AnalogVideo_NTSC_M, 30},
    {240, 320, PACKED_AND_GREY, KS_AnalogVideo_NTSC_M, 30},
};

// The PAL_M groups are offered twice, which gives the PAL list the NTSC list's
// 39 rows; a range of either copy intersects to the same format.
constexpr SizeGroup PalGroups[] = {
    {704, 576, ALL_SUBTYPES, KS_AnalogVideo_PAL_B, 25},
    {704, 288, ALL_SUBTYPES, KS_AnalogVideo_PAL_B, 25},
    {352, 288, ALL_SUBTYPES, KS_AnalogVideo_PAL_B, 25},
    {704, 576, PACKED_AND_GREY, KS_AnalogVideo_PAL_M, 30},
    {704, 288, PACKED_AND_GREY, KS_AnalogVideo_PAL_M, 30},
    {352, 288, PACKED_AND_GREY, KS_AnalogVideo_PAL_M, 30},
    {704, 576, PACKED_AND_GREY, KS_AnalogVideo_PAL_M, 30},
    {704, 288, PACKED_AND_GREY, KS_AnalogVideo_PAL_M, 30},
    {352, 288, PACKED_AND_GREY, KS_AnalogVideo_PAL_M, 30},
};

#undef ALL_SUBTYPES
#undef PACKED_AND_GREY

struct ListLayout {
    const SizeGroup* groups;
    ULONG groupCount;
    LONGLONG minFrameInterval; // 100 ns units: the full frame rate
    // The stream caps' bit-rate bounds: at the board's largest frame
    // decimation (every fifth frame) and at the full rate.
    LONG minFramesPerSecond;
    LONG maxFramesPerSecond;
};

constexpr LONGLONG MaxFrameInterval = 640000000;

constexpr ListLayout NtscList = {NtscGroups, RTL_NUMBER_OF(NtscGroups), 333667, 6, 30};
constexpr ListLayout PalList = {PalGroups, RTL_NUMBER_OF(PalGroups), 400000, 5, 25};

constexpr ULONG RowCount(const ListLayout& list) {
    ULONG count = 0;
    for (ULONG g = 0; g < list.groupCount; ++g) {
        count += list.groups[g].subtypeCount;
    }
    return count;
}
static_assert(RowCount(NtscList) == RangeListCount, "the NTSC list offers 39 formats");
static_assert(RowCount(PalList) == RangeListCount, "the PAL list offers 39 formats");

struct Row {
    const SizeGroup* group;
    Subtype subtype;
};

constexpr Row RowAt(const ListLayout& list, ULONG index) {
    for (ULONG g = 0; g < list.groupCount; ++g) {
        const SizeGroup& group = list.groups[g];
        if (index < group.subtypeCount) {
            return Row{&group, group.subtypes[index]};
        }
        index -= group.subtypeCount;
    }
    return Row{nullptr, Subtype::Uyvy}; // unreachable: the static_asserts bound index
}

struct Picture {
    LONG width;
    LONG height; // signed as in the bitmap header
    LONG lines;  // |height|
    USHORT bitCount;
    ULONG imageSize;
};

constexpr Picture PictureOf(const Row& row) {
    const LONG width = row.group->width;
    const LONG height = row.group->height;
    const LONG lines = height < 0 ? -height : height;
    const USHORT bitCount = Subtypes[ULONG(row.subtype)].bitCount;
    return Picture{width, height, lines, bitCount, ULONG(width) * ULONG(lines) * bitCount / 8};
}

// The caps allow exactly one size and quote the bit rates with the signed
// height, so a top-down range has negative rates.
constexpr KS_VIDEO_STREAM_CONFIG_CAPS MakeCaps(const ListLayout& list, const Row& row) {
    const Picture picture = PictureOf(row);
    const SIZE size = {picture.width, picture.height};
    const LONG signedBitsPerFrame = picture.width * picture.height * LONG(picture.bitCount);

    KS_VIDEO_STREAM_CONFIG_CAPS caps{};
    caps.guid = GUID{STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO};
    caps.VideoStandard = row.group->videoStandard;
    caps.InputSize = size;
    caps.MinCroppingSize = size;
    caps.MaxCroppingSize = size;
    caps.CropGranularityX = picture.width;
    caps.CropGranularityY = picture.height;
    caps.CropAlignX = 8;
    caps.CropAlignY = 1;
    caps.MinOutputSize = size;
    caps.MaxOutputSize = size;
    caps.OutputGranularityX = picture.width;
    caps.OutputGranularityY = picture.height;
    caps.MinFrameInterval = list.minFrameInterval;
    caps.MaxFrameInterval = MaxFrameInterval;
    caps.MinBitsPerSecond = signedBitsPerFrame * list.minFramesPerSecond;
    caps.MaxBitsPerSecond = signedBitsPerFrame * list.maxFramesPerSecond;
    return caps;
}

constexpr KS_VIDEOINFOHEADER MakeVideoInfo(const ListLayout& list, const Row& row) {
    const Picture picture = PictureOf(row);
    const SubtypeInfo& subtype = Subtypes[ULONG(row.subtype)];

    KS_VIDEOINFOHEADER info{};
    info.dwBitRate = ULONG(picture.width) * ULONG(picture.lines) * picture.bitCount *
                     row.group->bitRateFramesPerSecond;
    info.AvgTimePerFrame = list.minFrameInterval;
    info.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
    info.bmiHeader.biWidth = picture.width;
    info.bmiHeader.biHeight = picture.height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = picture.bitCount;
    info.bmiHeader.biCompression = subtype.compression;
    info.bmiHeader.biSizeImage = picture.imageSize;
    return info;
}

constexpr KS_DATARANGE_VIDEO MakeRange(const ListLayout& list, ULONG index) {
    const Row row = RowAt(list, index);
    const SubtypeInfo& subtype = Subtypes[ULONG(row.subtype)];
    return KS_DATARANGE_VIDEO{
        {{sizeof(KS_DATARANGE_VIDEO),
          0,
          PictureOf(row).imageSize,
          0,
          {STATIC_KSDATAFORMAT_TYPE_VIDEO},
          subtype.subFormat,
          {STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO}}},
        subtype.fixedSizeSamples,
        TRUE, // bTemporalCompression
        0,    // StreamDescriptionFlags
        0,    // MemoryAllocationFlags
        MakeCaps(list, row),
        MakeVideoInfo(list, row),
    };
}

// Expands a list into its ranges and the pointer array a pin descriptor
// takes, one element per row index.
template <ULONG... Index>
struct IndexList {};

template <ULONG Count, ULONG... Index>
struct MakeIndexList {
    using Type = typename MakeIndexList<Count - 1, Count - 1, Index...>::Type;
};

template <ULONG... Index>
struct MakeIndexList<0, Index...> {
    using Type = IndexList<Index...>;
};

template <const ListLayout& List, typename Indexes = MakeIndexList<RangeListCount>::Type>
struct RangeTable;

template <const ListLayout& List, ULONG... Index>
struct RangeTable<List, IndexList<Index...>> {
    static constexpr KS_DATARANGE_VIDEO Ranges[] = {MakeRange(List, Index)...};
    // The pin descriptor's type asks for non-const ranges; the streaming
    // class only reads them.
    static constexpr DataRangeList Pointers = {
        {const_cast<PKSDATARANGE>(&Ranges[Index].DataRange)...}};
};

} // namespace

const DataRangeList NtscRangeList = RangeTable<NtscList>::Pointers;
const DataRangeList PalRangeList = RangeTable<PalList>::Pointers;

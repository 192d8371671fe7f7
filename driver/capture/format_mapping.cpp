// The mapping tables of format negotiation.
#include "capture/format_mapping.h"

#include "board/mode_settings.h"
#include "device/settings.h"

namespace {

const PictureSize PictureSizes[] = {
    {640, 480, 0, FormatNtsc, 0}, {480, 640, 1, FormatNtsc, 0}, {640, 240, 0, FormatNtsc, 2},
    {480, 320, 1, FormatNtsc, 2}, {320, 240, 0, FormatNtsc, 3}, {240, 320, 1, FormatNtsc, 3},
    {352, 288, 0, FormatPal, 3},  {288, 352, 1, FormatPal, 3},  {704, 576, 0, FormatPal, 0},
    {576, 704, 1, FormatPal, 0},  {704, 288, 0, FormatPal, 2},  {576, 352, 1, FormatPal, 2},
};

constexpr LONGLONG NoLimit = 0x7FFFFFFFFFFFFFFF;

struct IntervalRow {
    ULONG fdec;
    LONGLONG exact[2];  // the accepted values; 0 where there is only one
    LONGLONG snapLimit; // snapping: an interval up to this takes the row
};

// Per standard, in ascending order; the last row takes everything above.
const IntervalRow NtscIntervals[] = {
    {1, {333667, 0}, 500167},
    {2, {666667, 667334}, 833333},
    {3, {1000000, 1001001}, 1333333},
    {5, {1666667, 1668335}, NoLimit},
};
const IntervalRow PalIntervals[] = {
    {1, {400000, 0}, 600000},
    {2, {800000, 0}, 1000000},
    {3, {1200000, 0}, 1600000},
    {5, {2000000, 0}, NoLimit},
};

const IntervalRow* IntervalsOf(ULONG format) {
    if (format == FormatNtsc) {
        return NtscIntervals;
    }
    if (format == FormatPal) {
        return PalIntervals;
    }
    return nullptr;
}

constexpr ULONG IntervalRowCount = 4;

} // namespace

const PictureSize* FindPictureSize(LONG width, LONG height) {
    ULONG h = ULONG(height < 0 ? -LONGLONG(height) : LONGLONG(height));
    for (const PictureSize& row : PictureSizes) {
        if (LONGLONG(row.width) == LONGLONG(width) && row.height == h) {
            return &row;
        }
    }
    return nullptr;
}

ULONG PictureSizeScale(const PictureSize* size) {
    if (size->scale != 0) {
        return size->scale;
    }
    return QueryParameter(L"Deinterlace") ? 4 : 1;
}

BOOLEAN ExactFrameInterval(ULONG format, LONGLONG interval, PULONG fdec) {
    const IntervalRow* rows = IntervalsOf(format);
    if (!rows) {
        return FALSE;
    }
    for (ULONG i = 0; i < IntervalRowCount; ++i) {
        for (LONGLONG value : rows[i].exact) {
            if (value != 0 && value == interval) {
                *fdec = rows[i].fdec;
                return TRUE;
            }
        }
    }
    return FALSE;
}

BOOLEAN SnapFrameInterval(ULONG format, LONGLONG interval, PULONG fdec, PLONGLONG snapped) {
    const IntervalRow* rows = IntervalsOf(format);
    if (!rows) {
        return FALSE;
    }
    for (ULONG i = 0; i < IntervalRowCount; ++i) {
        if (interval <= rows[i].snapLimit) {
            *fdec = rows[i].fdec;
            *snapped = rows[i].exact[0];
            return TRUE;
        }
    }
    return FALSE;
}

ULONG ConnectedColor(ULONG compression, ULONG bitCount) {
    switch (compression) {
    case FourCcUyvy:
    case FourCcYuy2:
        return ColorPackedYuv;
    case FourCcYv16:
    case FourCcI420:
    case FourCcYv12:
        return ColorPlanarYuv;
    case FourCcY800:
        return ColorMono;
    case FourCcMjpg:
        return ColorJpeg;
    default:
        return bitCount == 32 ? ColorRgb32 : ColorRgb24;
    }
}

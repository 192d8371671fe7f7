// How a video format of the catalogue maps onto a board channel's capture
// mode: picture size to `scale` and orientation, frame interval to `fdec`,
// pixel format to the colour codes. Format negotiation and the start of a
// stream share these tables.
#pragma once

#include <wdm.h>
#include <ks.h>
#include <ksmedia.h>

constexpr ULONG FourCc(char a, char b, char c, char d) {
    return ULONG(UCHAR(a)) | ULONG(UCHAR(b)) << 8 | ULONG(UCHAR(c)) << 16 | ULONG(UCHAR(d)) << 24;
}

constexpr ULONG BiRgb = 0; // uncompressed RGB: biCompression of the catalogue's RGB formats
constexpr ULONG FourCcUyvy = FourCc('U', 'Y', 'V', 'Y');
constexpr ULONG FourCcYuy2 = FourCc('Y', 'U', 'Y', '2');
constexpr ULONG FourCcYv16 = FourCc('Y', 'V', '1', '6');
constexpr ULONG FourCcI420 = FourCc('I', '4', '2', '0');
constexpr ULONG FourCcYv12 = FourCc('Y', 'V', '1', '2');
constexpr ULONG FourCcY800 = FourCc('Y', '8', '0', '0');
constexpr ULONG FourCcMjpg = FourCc('M', 'J', 'P', 'G');
constexpr ULONG FourCcRv24 = FourCc('R', 'V', '2', '4');
constexpr ULONG FourCcRv32 = FourCc('R', 'V', '3', '2');

// One row of the picture-size table.
struct PictureSize {
    ULONG width;
    ULONG height; // compared with |biHeight|
    ULONG rotate; // 1 for the portrait sizes
    ULONG format; // the standard the size belongs to (FormatNtsc or FormatPal)
    ULONG scale;  // 0: full size, 4 with the Deinterlace value set, else 1
};

// The row for a size, or null for a size the table does not know.
const PictureSize* FindPictureSize(LONG width, LONG height);

// The row's `scale`; reads Deinterlace (on demand) for the full-size rows.
ULONG PictureSizeScale(const PictureSize* size);

// `fdec` of an interval that is exactly one of the standard's accepted
// values. FALSE for any other value or standard.
BOOLEAN ExactFrameInterval(ULONG format, LONGLONG interval, PULONG fdec);

// The nearest accepted interval of the standard and its `fdec`. FALSE, with
// nothing written, for a standard other than NTSC or PAL.
BOOLEAN SnapFrameInterval(ULONG format, LONGLONG interval, PULONG fdec, PLONGLONG snapped);

// The colour code a stream of this pixel format is connected with.
ULONG ConnectedColor(ULONG compression, ULONG bitCount);

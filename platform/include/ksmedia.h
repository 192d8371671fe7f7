// Kernel streaming media types: video formats and ranges, frame information and
// the standard video capture property sets, in their Windows x64 layouts.
#pragma once

#include <ks.h>

// Win32 geometry records the video headers embed. The Win32 headers define the
// same records under the same guard, so either may come first.
#ifndef _WINDEF_RECT_SIZE_DEFINED
#define _WINDEF_RECT_SIZE_DEFINED
typedef struct tagRECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
} RECT, *PRECT, *LPRECT;
typedef struct tagSIZE {
    LONG cx;
    LONG cy;
} SIZE, *PSIZE, *LPSIZE;
#endif
static_assert(sizeof(RECT) == 16 && sizeof(SIZE) == 8, "RECT/SIZE layout");

#ifndef __REFERENCE_TIME_DEFINED
#define __REFERENCE_TIME_DEFINED
typedef LONGLONG REFERENCE_TIME;
#endif

// ---------------------------------------------------------------------------
// Categories and pin names

#define STATIC_KSCATEGORY_VIDEO                                                                    \
    0x6994AD05, 0x93EF, 0x11D0, 0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96
KS_DEFINE_STATIC_GUID(KSCATEGORY_VIDEO);

#define STATIC_PINNAME_VIDEO_CAPTURE                                                               \
    0xFB6C4281, 0x0353, 0x11D1, 0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA
KS_DEFINE_STATIC_GUID(PINNAME_VIDEO_CAPTURE);
#define STATIC_PINNAME_CAPTURE STATIC_PINNAME_VIDEO_CAPTURE
#define PINNAME_CAPTURE PINNAME_VIDEO_CAPTURE

// ---------------------------------------------------------------------------
// Major types, subtypes and specifiers

#define STATIC_KSDATAFORMAT_TYPE_VIDEO                                                             \
    0x73646976, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71
KS_DEFINE_STATIC_GUID(KSDATAFORMAT_TYPE_VIDEO);

#define STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO                                                    \
    0x05589F80, 0xC356, 0x11CE, 0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A
KS_DEFINE_STATIC_GUID(KSDATAFORMAT_SPECIFIER_VIDEOINFO);

// FourCC subtypes are {XXXXXXXX-0000-0010-8000-00AA00389B71} with the FourCC,
// as it reads in memory, in the first field.
#define KS_MAKEFOURCC(c0, c1, c2, c3)                                                              \
    ((DWORD)(BYTE)(c0) | ((DWORD)(BYTE)(c1) << 8) | ((DWORD)(BYTE)(c2) << 16) |                    \
     ((DWORD)(BYTE)(c3) << 24))
#define STATIC_KSDATAFORMAT_SUBTYPE_FOURCC(fourcc)                                                 \
    (fourcc), 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71

#define STATIC_KSDATAFORMAT_SUBTYPE_UYVY                                                           \
    STATIC_KSDATAFORMAT_SUBTYPE_FOURCC(KS_MAKEFOURCC('U', 'Y', 'V', 'Y'))
KS_DEFINE_STATIC_GUID(KSDATAFORMAT_SUBTYPE_UYVY);
#define STATIC_KSDATAFORMAT_SUBTYPE_YUY2                                                           \
    STATIC_KSDATAFORMAT_SUBTYPE_FOURCC(KS_MAKEFOURCC('Y', 'U', 'Y', '2'))
KS_DEFINE_STATIC_GUID(KSDATAFORMAT_SUBTYPE_YUY2);
#define STATIC_KSDATAFORMAT_SUBTYPE_YV16                                                           \
    STATIC_KSDATAFORMAT_SUBTYPE_FOURCC(KS_MAKEFOURCC('Y', 'V', '1', '6'))
KS_DEFINE_STATIC_GUID(KSDATAFORMAT_SUBTYPE_YV16);
#define STATIC_KSDATAFORMAT_SUBTYPE_MJPG                                                           \
    STATIC_KSDATAFORMAT_SUBTYPE_FOURCC(KS_MAKEFOURCC('M', 'J', 'P', 'G'))
KS_DEFINE_STATIC_GUID(KSDATAFORMAT_SUBTYPE_MJPG);
#define STATIC_KSDATAFORMAT_SUBTYPE_Y800                                                           \
    STATIC_KSDATAFORMAT_SUBTYPE_FOURCC(KS_MAKEFOURCC('Y', '8', '0', '0'))
KS_DEFINE_STATIC_GUID(KSDATAFORMAT_SUBTYPE_Y800);

#define STATIC_MEDIASUBTYPE_RGB24                                                                  \
    0xE436EB7D, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70
KS_DEFINE_STATIC_GUID(MEDIASUBTYPE_RGB24);
#define STATIC_MEDIASUBTYPE_RGB32                                                                  \
    0xE436EB7E, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70
KS_DEFINE_STATIC_GUID(MEDIASUBTYPE_RGB32);
#define STATIC_KSDATAFORMAT_SUBTYPE_RGB24 STATIC_MEDIASUBTYPE_RGB24
#define KSDATAFORMAT_SUBTYPE_RGB24 MEDIASUBTYPE_RGB24
#define STATIC_KSDATAFORMAT_SUBTYPE_RGB32 STATIC_MEDIASUBTYPE_RGB32
#define KSDATAFORMAT_SUBTYPE_RGB32 MEDIASUBTYPE_RGB32

// ---------------------------------------------------------------------------
// Bitmap and video info headers

#define KS_BI_RGB 0L
#define KS_BI_RLE8 1L
#define KS_BI_RLE4 2L
#define KS_BI_BITFIELDS 3L

typedef struct tagKS_BITMAPINFOHEADER {
    DWORD biSize;
    LONG biWidth;
    LONG biHeight;
    WORD biPlanes;
    WORD biBitCount;
    DWORD biCompression;
    DWORD biSizeImage;
    LONG biXPelsPerMeter;
    LONG biYPelsPerMeter;
    DWORD biClrUsed;
    DWORD biClrImportant;
} KS_BITMAPINFOHEADER, *PKS_BITMAPINFOHEADER;
static_assert(sizeof(KS_BITMAPINFOHEADER) == 40, "KS_BITMAPINFOHEADER layout");

#define KS_WIDTHBYTES(bits) ((DWORD)(((bits) + 31) & (~31)) / 8)
#define KS_DIBWIDTHBYTES(bi) (DWORD) KS_WIDTHBYTES((DWORD)(bi).biWidth*(DWORD)(bi).biBitCount)
#define KS__DIBSIZE(bi) (KS_DIBWIDTHBYTES(bi) * (DWORD)(bi).biHeight)
#define KS_DIBSIZE(bi) ((bi).biHeight < 0 ? (-1) * (KS__DIBSIZE(bi)) : KS__DIBSIZE(bi))

typedef struct tagKS_VIDEOINFOHEADER {
    RECT rcSource;
    RECT rcTarget;
    DWORD dwBitRate;
    DWORD dwBitErrorRate;
    REFERENCE_TIME AvgTimePerFrame;
    KS_BITMAPINFOHEADER bmiHeader;
} KS_VIDEOINFOHEADER, *PKS_VIDEOINFOHEADER;
static_assert(sizeof(KS_VIDEOINFOHEADER) == 88, "KS_VIDEOINFOHEADER layout");
static_assert(offsetof(KS_VIDEOINFOHEADER, bmiHeader) == 48, "bitmap header follows 48 bytes");

typedef struct tagKS_DATAFORMAT_VIDEOINFOHEADER {
    KSDATAFORMAT DataFormat;
    KS_VIDEOINFOHEADER VideoInfoHeader;
} KS_DATAFORMAT_VIDEOINFOHEADER, *PKS_DATAFORMAT_VIDEOINFOHEADER;
static_assert(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) == 152, "KS_DATAFORMAT_VIDEOINFOHEADER layout");

typedef struct _KS_VIDEO_STREAM_CONFIG_CAPS {
    GUID guid;
    ULONG VideoStandard;
    SIZE InputSize;
    SIZE MinCroppingSize;
    SIZE MaxCroppingSize;
    int CropGranularityX;
    int CropGranularityY;
    int CropAlignX;
    int CropAlignY;
    SIZE MinOutputSize;
    SIZE MaxOutputSize;
    int OutputGranularityX;
    int OutputGranularityY;
    int StretchTapsX;
    int StretchTapsY;
    int ShrinkTapsX;
    int ShrinkTapsY;
    LONGLONG MinFrameInterval;
    LONGLONG MaxFrameInterval;
    LONG MinBitsPerSecond;
    LONG MaxBitsPerSecond;
} KS_VIDEO_STREAM_CONFIG_CAPS, *PKS_VIDEO_STREAM_CONFIG_CAPS;
static_assert(sizeof(KS_VIDEO_STREAM_CONFIG_CAPS) == 128, "KS_VIDEO_STREAM_CONFIG_CAPS layout");

typedef struct tagKS_DATARANGE_VIDEO {
    KSDATARANGE DataRange;
    BOOL bFixedSizeSamples;
    BOOL bTemporalCompression;
    DWORD StreamDescriptionFlags;
    DWORD MemoryAllocationFlags;
    KS_VIDEO_STREAM_CONFIG_CAPS ConfigCaps;
    KS_VIDEOINFOHEADER VideoInfoHeader;
} KS_DATARANGE_VIDEO, *PKS_DATARANGE_VIDEO;
static_assert(sizeof(KS_DATARANGE_VIDEO) == 296, "KS_DATARANGE_VIDEO layout");
static_assert(offsetof(KS_DATARANGE_VIDEO, ConfigCaps) == 80, "config caps follow 80 bytes");

// ---------------------------------------------------------------------------
// Frame information that follows the stream header of a video frame

#define KS_VIDEO_FLAG_FRAME 0x0000L
#define KS_VIDEO_FLAG_FIELD1 0x0001L
#define KS_VIDEO_FLAG_FIELD2 0x0002L
#define KS_VIDEO_FLAG_I_FRAME 0x0000L
#define KS_VIDEO_FLAG_P_FRAME 0x0010L
#define KS_VIDEO_FLAG_B_FRAME 0x0020L

typedef struct tagKS_FRAME_INFO {
    ULONG ExtendedHeaderSize;
    DWORD dwFrameFlags;
    LONGLONG PictureNumber;
    LONGLONG DropCount;
    HANDLE hDirectDraw;
    HANDLE hSurfaceHandle;
    RECT DirectDrawRect;
    DWORD Reserved1;
    DWORD Reserved2;
    DWORD Reserved3;
    DWORD Reserved4;
} KS_FRAME_INFO, *PKS_FRAME_INFO;
static_assert(sizeof(KS_FRAME_INFO) == 72, "KS_FRAME_INFO layout");
static_assert(sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO) == 128,
              "a video stream header with its frame information");

// ---------------------------------------------------------------------------
// Analog video standards

typedef enum {
    KS_AnalogVideo_None = 0x00000000,
    KS_AnalogVideo_NTSC_M = 0x00000001,
    KS_AnalogVideo_NTSC_M_J = 0x00000002,
    KS_AnalogVideo_NTSC_433 = 0x00000004,
    KS_AnalogVideo_PAL_B = 0x00000010,
    KS_AnalogVideo_PAL_D = 0x00000020,
    KS_AnalogVideo_PAL_G = 0x00000040,
    KS_AnalogVideo_PAL_H = 0x00000080,
    KS_AnalogVideo_PAL_I = 0x00000100,
    KS_AnalogVideo_PAL_M = 0x00000200,
    KS_AnalogVideo_PAL_N = 0x00000400,
    KS_AnalogVideo_PAL_60 = 0x00000800,
    KS_AnalogVideo_SECAM_B = 0x00001000,
    KS_AnalogVideo_SECAM_D = 0x00002000,
    KS_AnalogVideo_SECAM_G = 0x00004000,
    KS_AnalogVideo_SECAM_H = 0x00008000,
    KS_AnalogVideo_SECAM_K = 0x00010000,
    KS_AnalogVideo_SECAM_K1 = 0x00020000,
    KS_AnalogVideo_SECAM_L = 0x00040000,
    KS_AnalogVideo_SECAM_L1 = 0x00080000,
    KS_AnalogVideo_PAL_N_COMBO = 0x00100000
} KS_AnalogVideoStandard;

#define KS_AnalogVideo_NTSC_Mask 0x00000007
#define KS_AnalogVideo_PAL_Mask 0x00100FF0
#define KS_AnalogVideo_SECAM_Mask 0x000FF000

// ---------------------------------------------------------------------------
// Video proc-amp properties

#define STATIC_PROPSETID_VIDCAP_VIDEOPROCAMP                                                       \
    0xC6E13360, 0x30AC, 0x11D0, 0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56
KS_DEFINE_STATIC_GUID(PROPSETID_VIDCAP_VIDEOPROCAMP);

typedef enum {
    KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS,
    KSPROPERTY_VIDEOPROCAMP_CONTRAST,
    KSPROPERTY_VIDEOPROCAMP_HUE,
    KSPROPERTY_VIDEOPROCAMP_SATURATION,
    KSPROPERTY_VIDEOPROCAMP_SHARPNESS,
    KSPROPERTY_VIDEOPROCAMP_GAMMA,
    KSPROPERTY_VIDEOPROCAMP_COLORENABLE,
    KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE,
    KSPROPERTY_VIDEOPROCAMP_BACKLIGHT_COMPENSATION,
    KSPROPERTY_VIDEOPROCAMP_GAIN
} KSPROPERTY_VIDCAP_VIDEOPROCAMP;

typedef struct {
    KSPROPERTY Property;
    LONG Value;
    ULONG Flags;
    ULONG Capabilities;
} KSPROPERTY_VIDEOPROCAMP_S, *PKSPROPERTY_VIDEOPROCAMP_S;
static_assert(sizeof(KSPROPERTY_VIDEOPROCAMP_S) == 40, "KSPROPERTY_VIDEOPROCAMP_S layout");

#define KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO 0x0001L
#define KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL 0x0002L

// ---------------------------------------------------------------------------
// Video decoder properties

#define STATIC_PROPSETID_VIDCAP_VIDEODECODER                                                       \
    0xC6E13350, 0x30AC, 0x11D0, 0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56
KS_DEFINE_STATIC_GUID(PROPSETID_VIDCAP_VIDEODECODER);

typedef enum {
    KSPROPERTY_VIDEODECODER_CAPS,
    KSPROPERTY_VIDEODECODER_STANDARD,
    KSPROPERTY_VIDEODECODER_STATUS,
    KSPROPERTY_VIDEODECODER_OUTPUT_ENABLE,
    KSPROPERTY_VIDEODECODER_VCR_TIMING
} KSPROPERTY_VIDCAP_VIDEODECODER;

typedef enum {
    KS_VIDEODECODER_FLAGS_CAN_DISABLE_OUTPUT = 0x0001,
    KS_VIDEODECODER_FLAGS_CAN_USE_VCR_LOCKING = 0x0002,
    KS_VIDEODECODER_FLAGS_CAN_INDICATE_LOCKED = 0x0004
} KS_VIDEODECODER_FLAGS;

typedef struct {
    KSPROPERTY Property;
    ULONG StandardsSupported;
    ULONG Capabilities;
    ULONG SettlingTime;
    ULONG HSyncPerVSync;
} KSPROPERTY_VIDEODECODER_CAPS_S, *PKSPROPERTY_VIDEODECODER_CAPS_S;
static_assert(sizeof(KSPROPERTY_VIDEODECODER_CAPS_S) == 40,
              "KSPROPERTY_VIDEODECODER_CAPS_S layout");

typedef struct {
    KSPROPERTY Property;
    ULONG NumberOfLines;
    ULONG SignalLocked;
} KSPROPERTY_VIDEODECODER_STATUS_S, *PKSPROPERTY_VIDEODECODER_STATUS_S;
static_assert(sizeof(KSPROPERTY_VIDEODECODER_STATUS_S) == 32,
              "KSPROPERTY_VIDEODECODER_STATUS_S layout");

typedef struct {
    KSPROPERTY Property;
    ULONG Value;
} KSPROPERTY_VIDEODECODER_S, *PKSPROPERTY_VIDEODECODER_S;
static_assert(sizeof(KSPROPERTY_VIDEODECODER_S) == 32, "KSPROPERTY_VIDEODECODER_S layout");

// ---------------------------------------------------------------------------
// Dropped-frames properties

#define STATIC_PROPSETID_VIDCAP_DROPPEDFRAMES                                                      \
    0xC6E13344, 0x30AC, 0x11D0, 0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56
KS_DEFINE_STATIC_GUID(PROPSETID_VIDCAP_DROPPEDFRAMES);

typedef enum { KSPROPERTY_DROPPEDFRAMES_CURRENT } KSPROPERTY_VIDCAP_DROPPEDFRAMES;

typedef struct {
    KSPROPERTY Property;
    LONGLONG PictureNumber;
    LONGLONG DropCount;
    ULONG AverageFrameSize;
} KSPROPERTY_DROPPEDFRAMES_CURRENT_S, *PKSPROPERTY_DROPPEDFRAMES_CURRENT_S;
static_assert(sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S) == 48,
              "KSPROPERTY_DROPPEDFRAMES_CURRENT_S layout");
static_assert(offsetof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S, AverageFrameSize) == 40,
              "AverageFrameSize offset");

// The process routine of a capture pin and the conversion it chooses.
#include "capture/frame_delivery.h"

#include "board/board.h"
#include "capture/capture_pin.h"
#include "capture/format_mapping.h"
#include "capture/frame_store.h"
#include "capture/pixel_conversion.h"
#include "device/capture_device.h"

namespace {

constexpr ULONG NeutralChroma = 128;

bool IsPackedYuv(ULONG compression) {
    return compression == FourCcYuy2 || compression == FourCcUyvy;
}

// Packed YUV, (W + pad) x H x 2 bytes.
void ConvertPacked(const DeliveryGeometry& g, bool isYuy2, bool colour, const UCHAR* src,
                   PUCHAR dst) {
    ULONG W = ULONG(g.width), H = ULONG(g.height), pad = ULONG(g.pad);
    ULONG Sw = g.sourceWidth, Sh = g.sourceLines;
    BOOLEAN yuy2 = isYuy2 ? TRUE : FALSE;
    if (!g.rotate) {
        if (colour) {
            planarToPacked(src, dst, W, H, isYuy2 ? 1 : 2, pad);
        } else {
            lumaToPacked(src, dst, W, H, yuy2, pad);
        }
        return;
    }
    // Colour portraits are transposed for a bottom-up format; monochrome
    // ones the other way round.
    if (colour) {
        if (g.field) {
            if (g.topDown) {
                planarFieldToPackedAntiTransposed(src, dst, W, H, Sw, yuy2, pad);
            } else {
                planarFieldToPackedTransposed(src, dst, W, H, Sw, yuy2, pad);
            }
        } else if (g.topDown) {
            planarToPackedAntiTransposed(src, dst, W, H, Sw, Sh, yuy2, pad);
        } else {
            planarToPackedTransposed(src, dst, W, H, Sw, yuy2, pad);
        }
        return;
    }
    if (g.field) {
        if (g.topDown) {
            lumaFieldToPackedTransposed(src, dst, W, H, Sw, yuy2, pad);
        } else {
            lumaFieldToPackedAntiTransposed(src, dst, W, H, Sw, yuy2, pad);
        }
    } else if (g.topDown) {
        lumaToPackedTransposed(src, dst, W, H, Sw, yuy2, pad);
    } else {
        lumaToPackedAntiTransposed(src, dst, W, H, Sw, Sh, yuy2, pad);
    }
}

void ConvertLuma(const DeliveryGeometry& g, const UCHAR* src, PUCHAR dst) {
    ULONG W = ULONG(g.width), H = ULONG(g.height), Sw = g.sourceWidth;
    if (!g.rotate) {
        copyLuma(src, dst, W, H);
    } else if (g.field) {
        if (g.topDown) {
            fieldTransposeLuma(src, dst, W, H, Sw);
        } else {
            fieldAntiTransposeLuma(src, dst, W, H, Sw);
        }
    } else if (g.topDown) {
        transposeLuma(src, dst, W, H, Sw);
    } else {
        antiTransposeLuma(src, dst, W, H, Sw, g.sourceLines);
    }
}

// (number - 1) x interval: the time of a frame from the start of its
// acquisition. An interval too long for that product gives the latest time
// there is rather than a wrapped one; a negative interval has no time.
LONGLONG FrameTime(ULONG number, LONGLONG interval) {
    constexpr LONGLONG LatestTime = 0x7FFFFFFFFFFFFFFFLL;
    const LONGLONG index = LONGLONG(number) - 1;
    if (index <= 0 || interval <= 0) {
        return 0;
    }
    return index > LatestTime / interval ? LatestTime : index * interval;
}

} // namespace

VOID ComputeDeliveryGeometry(ULONG format, ULONG scale, const KS_BITMAPINFOHEADER* bitmap,
                             ULONG rotate, ULONG topDown, DeliveryGeometry* g) {
    bool half = scale == 3;
    if (format == FormatPal) {
        g->sourceWidth = half ? 352 : 704;
        g->sourceLines = half ? 288 : 576;
    } else {
        g->sourceWidth = half ? 320 : 640;
        g->sourceLines = half ? 240 : 480;
    }
    g->field = scale == 2 ? TRUE : FALSE;
    g->rotate = rotate ? TRUE : FALSE;
    g->topDown = topDown ? TRUE : FALSE;
    g->width = LONG(rotate ? g->sourceLines : g->sourceWidth);
    LONG height = bitmap->biHeight;
    g->height = height < 0 ? -height : height;
    g->pad = LONG(LONGLONG(bitmap->biWidth) - g->width);
    g->bottomUp = height >= 0 ? TRUE : FALSE;
}

BOOLEAN DeliveryGeometryUsable(const DeliveryGeometry* g, ULONG compression) {
    if (g->pad < 0) {
        return FALSE;
    }
    if (compression == FourCcMjpg) {
        return TRUE;
    }
    if (g->pad != 0 && !IsPackedYuv(compression)) {
        return FALSE;
    }
    // The output must be exactly the picture the board sends: a frame of
    // another size would be read past its planes.
    ULONG lines = g->field ? g->sourceLines / 2 : g->sourceLines;
    if (!g->rotate) {
        return ULONG(g->height) == lines ? TRUE : FALSE;
    }
    if (!IsPackedYuv(compression) && compression != FourCcY800) {
        return FALSE;
    }
    ULONG columns = g->field ? g->sourceWidth / 2 : g->sourceWidth;
    return ULONG(g->height) == columns ? TRUE : FALSE;
}

ULONG ConvertFrame(const DeliveryGeometry* geometry, const KS_BITMAPINFOHEADER* bitmap,
                   const UCHAR* frame, ULONG rawSize, ULONG compressedSize, ULONG colour,
                   PUCHAR dst, ULONG extent, ULONG dataUsedBefore) {
    const DeliveryGeometry& g = *geometry;
    const ULONG compression = bitmap->biCompression;
    const ULONGLONG pixels = ULONGLONG(g.width) * ULONGLONG(g.height);
    // A frame captured before colour was switched on holds the luma plane
    // alone: it is converted as what it is.
    const bool colourFrame = colour != 0 && ULONGLONG(rawSize) >= pixels * 2;
    if (compression != FourCcMjpg && ULONGLONG(rawSize) < pixels) {
        return compression == BiRgb && bitmap->biBitCount == 32 ? dataUsedBefore : 0;
    }
    const ULONG W = ULONG(g.width), H = ULONG(g.height);

    switch (compression) {
    case BiRgb: {
        ULONG bytesPerPixel = bitmap->biBitCount == 24 ? 3 : bitmap->biBitCount == 32 ? 4 : 0;
        if (bytesPerPixel == 0) {
            return 0;
        }
        ULONGLONG need = pixels * bytesPerPixel;
        if (need > extent) {
            // RGB32 keeps what the header said; RGB24 says nothing came.
            return bytesPerPixel == 4 ? dataUsedBefore : 0;
        }
        if (!colourFrame) {
            greyToRgb(frame, dst, W, H, g.bottomUp, bytesPerPixel);
        } else if (bytesPerPixel == 3) {
            (g.bottomUp ? planarToRgb24Flipped : planarToRgb24)(frame, dst, W, H);
        } else {
            (g.bottomUp ? planarToRgb32Flipped : planarToRgb32)(frame, dst, W, H);
        }
        return ULONG(need);
    }
    case FourCcYuy2:
    case FourCcUyvy: {
        ULONGLONG need = (ULONGLONG(g.width) + ULONGLONG(g.pad)) * H * 2;
        if (need > extent) {
            return 0;
        }
        ConvertPacked(g, compression == FourCcYuy2, colourFrame, frame, dst);
        return ULONG(need);
    }
    case FourCcYv16: {
        ULONGLONG need = pixels * 2;
        if (need > extent) {
            return 0;
        }
        if (colourFrame) {
            planarToYv16(frame, dst, W, H);
        } else {
            // No chroma in the frame: a grey picture, not stale bytes.
            copyLuma(frame, dst, W, H);
            RtlFillMemory(dst + pixels, SIZE_T(pixels), NeutralChroma);
        }
        return ULONG(need);
    }
    case FourCcMjpg:
        // The size comes from the board's frame header: it must lie within
        // the frame and the buffer.
        if (compressedSize > rawSize || compressedSize > extent) {
            return 0;
        }
        copyCompressed(frame, dst, compressedSize);
        return compressedSize;
    case FourCcY800:
        if (pixels > extent) {
            return 0;
        }
        ConvertLuma(g, frame, dst);
        return ULONG(pixels);
    default:
        return dataUsedBefore;
    }
}

NTSTATUS CapturePinProcess(PKSPIN pin) {
    PinContext* context = GetPinContext(pin);
    CaptureDevice* device = context->device;
    Board* board = device->board;
    const ULONG n = context->channel;

    ULONG compressedSize = 0;
    ULONG frameNumber = 0;
    ULONG rawSize = 0;
    LONG index = takeFrame(board, n, &compressedSize, &frameNumber, &rawSize);
    ULONG topDown = getTopDown(board, n);
    ULONG rotate = getRotate(board, n);
    if (index == -1) {
        return STATUS_PENDING;
    }

    // Counted before it is known whether the frame can be delivered: a
    // frame that is not is a dropped one.
    // The dropped-frames property reads both on another thread: whole words.
    InterlockedExchange(reinterpret_cast<volatile LONG*>(&device->lastFrameNumber[n]),
                        LONG(frameNumber));
    InterlockedExchange(reinterpret_cast<volatile LONG*>(&device->droppedFrameCount[n]),
                        LONG(frameNumber > context->framesDelivered + 1
                                 ? frameNumber - context->framesDelivered - 1
                                 : 0));

    PKSSTREAM_POINTER pointer =
        KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    if (!pointer) {
        releaseFrame(board, n, index);
        return STATUS_PENDING;
    }

    ModeSettings mode;
    getMode(board, n, &mode);
    // The colour-enable property changes it on another thread.
    context->colourSnapshot = ULONG(
        InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(&device->m_bColor[n]), 0, 0));

    KS_BITMAPINFOHEADER connected;
    LONGLONG interval = 0;
    if (!ReadConnectedFormat(context, &connected, &interval)) {
        KsStreamPointerUnlock(pointer, FALSE);
        releaseFrame(board, n, index);
        return STATUS_PENDING;
    }
    const KS_BITMAPINFOHEADER* bitmap = &connected;
    DeliveryGeometry geometry;
    ComputeDeliveryGeometry(mode.format, mode.scale, bitmap, rotate, topDown, &geometry);

    if (!DeliveryGeometryUsable(&geometry, bitmap->biCompression)) {
        if (geometry.pad < 0 || geometry.pad > 0) {
            DbgPrint("invalid setting pad:%d, mode.format:%d, width:%d\n", geometry.pad,
                     mode.format, geometry.width);
        }
        KsStreamPointerUnlock(pointer, FALSE);
        releaseFrame(board, n, index);
        return STATUS_PENDING;
    }
    const UCHAR* frame = frameData(board, n, index);
    if (!frame) {
        KsStreamPointerUnlock(pointer, FALSE);
        releaseFrame(board, n, index);
        return STATUS_PENDING;
    }

    PKSSTREAM_HEADER header = pointer->StreamHeader;
    header->DataUsed =
        ConvertFrame(&geometry, bitmap, frame, rawSize, compressedSize, context->colourSnapshot,
                     static_cast<PUCHAR>(header->Data), header->FrameExtent, header->DataUsed);

    if (header->Size >= sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO)) {
        auto* info = reinterpret_cast<PKS_FRAME_INFO>(header + 1);
        if (info->ExtendedHeaderSize == sizeof(KS_FRAME_INFO)) {
            info->dwFrameFlags = 0;
            info->PictureNumber = LONGLONG(device->lastFrameNumber[n]);
            info->DropCount = LONGLONG(device->droppedFrameCount[n]);
        }
    }
    header->PresentationTime.Numerator = 1;
    header->PresentationTime.Denominator = 1;
    header->Duration = interval;
    const bool preview = context->previewMode != 0;
    header->OptionsFlags =
        preview ? 0 : KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID;
    header->PresentationTime.Time =
        !preview && frameNumber >= 1 ? FrameTime(frameNumber, interval) : 0;

    context->framesDelivered += 1;
    KsStreamPointerUnlock(pointer, TRUE);
    releaseFrame(board, n, index);
    return STATUS_SUCCESS;
}

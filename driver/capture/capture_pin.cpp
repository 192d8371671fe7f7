// Capture pin creation and format negotiation: the PinContext and its format
// copies, the pin's own framing, and the mapping of a requested format onto
// the channel's capture mode.
#include "capture/capture_pin.h"

#include "board/board.h"
#include "capture/channel_filter.h"
#include "capture/format_mapping.h"
#include "device/capture_device.h"
#include "device/pool_tags.h"

namespace {

// Bytes of the fixed part of a video info header ahead of its bitmap header.
constexpr ULONG VideoInfoHeadLength = FIELD_OFFSET(KS_VIDEOINFOHEADER, bmiHeader);
static_assert(VideoInfoHeadLength == 48, "rectangles, rates and interval");
constexpr ULONG FormatHeadLength = sizeof(KSDATAFORMAT) + VideoInfoHeadLength;           // 112
constexpr ULONG MinimumVideoFormatSize = FormatHeadLength + sizeof(KS_BITMAPINFOHEADER); // 152

PKS_DATAFORMAT_VIDEOINFOHEADER VideoFormatOf(PKSDATAFORMAT format) {
    return reinterpret_cast<PKS_DATAFORMAT_VIDEOINFOHEADER>(format);
}

// The video info header with its bitmap header, biSize + 48 bytes, or 0 when
// that does not fit 32 bits, the format does not hold it, or biSize is
// shorter than the bitmap header itself (a copy of that length would end
// before the fields the pin reads).
ULONG VideoInfoLength(const KSDATAFORMAT* format) {
    ULONG biSize = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format)
                       ->VideoInfoHeader.bmiHeader.biSize;
    if (biSize < sizeof(KS_BITMAPINFOHEADER) || biSize > MAXULONG - FormatHeadLength ||
        format->FormatSize < biSize + FormatHeadLength) {
        return 0;
    }
    return biSize + VideoInfoHeadLength;
}

// The most negative LONG has no positive counterpart; it stands for a
// height beyond every picture, which no range and no stream takes.
LONG AbsoluteHeight(LONG height) {
    if (height < -MAXLONG) {
        return MAXLONG;
    }
    return height < 0 ? -height : height;
}

void FreePinContext(PVOID item) {
    ExFreePoolWithTag(item, DeviceTag);
}

// Stands for one pin in its channel's pin count from the SetDataFormat of
// the pin's creation; the pin's object bag frees it with the pin, or with a
// creation that fails after SetDataFormat.
struct PinCountToken {
    CaptureDevice* device;
    ULONG channel;
};

void FreePinCountToken(PVOID item) {
    auto* token = static_cast<PinCountToken*>(item);
    InterlockedDecrement(&token->device->pinCount[token->channel]);
    ExFreePoolWithTag(token, DeviceTag);
}

// Counts the pin being created on its channel. Called with controlsMutex
// held, so that the standard set sees the pin before anything is sent for it.
NTSTATUS CountCreatedPin(PKSPIN pin, CaptureDevice* device, ULONG channel) {
    auto* token = static_cast<PinCountToken*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(PinCountToken), DeviceTag));
    if (!token) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    token->device = device;
    token->channel = channel;
    InterlockedIncrement(&device->pinCount[channel]);
    NTSTATUS status = KsAddItemToObjectBag(pin->Bag, token, FreePinCountToken);
    if (!NT_SUCCESS(status)) {
        FreePinCountToken(token);
    }
    return status;
}

// The pin's framing names exactly the image size of its format.
void SizePinFraming(PKSPIN pin, ULONG imageSize) {
    auto* descriptor = const_cast<KSPIN_DESCRIPTOR_EX*>(pin->Descriptor);
    auto* framing = const_cast<KSALLOCATOR_FRAMING_EX*>(descriptor->AllocatorFraming);
    KS_FRAMING_ITEM& item = framing->FramingItem[0];
    item.Frames = CapturePinFrames;
    item.PhysicalRange.MinFrameSize = imageSize;
    item.PhysicalRange.MaxFrameSize = imageSize;
    item.PhysicalRange.Stepping = 0;
    item.FramingRange.Range.MinFrameSize = imageSize;
    item.FramingRange.Range.MaxFrameSize = imageSize;
    item.FramingRange.Range.Stepping = 0;
}

NTSTATUS CreateCapturePin(PKSPIN pin, ULONG channel) {
    auto* context = static_cast<PinContext*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(PinContext), DeviceTag));
    if (!context) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(context, sizeof(PinContext));
    context->pin = pin;
    context->device = GetCaptureDevice(KsPinGetDevice(pin));
    context->colourSnapshot = 1;
    context->previewMode = 0;
    KeInitializeSpinLock(&context->formatLock);
    if (!context->device) {
        ExFreePoolWithTag(context, DeviceTag);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // The channel's pin count was raised by this pin's SetDataFormat.
    context->channel = channel;
    NTSTATUS status = KsAddItemToObjectBag(pin->Bag, context, FreePinContext);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(context, DeviceTag);
        return status;
    }
    pin->Context = context;

    PKS_VIDEOINFOHEADER copy = MakeFormatCopy(context);
    if (!copy) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    // The pin's own descriptor and framing, so that its framing can name the
    // exact image size; the descriptors of the filter stay as they are.
    status = _KsEdit(pin->Bag, (PVOID*)&pin->Descriptor, sizeof(KSPIN_DESCRIPTOR_EX),
                     sizeof(KSPIN_DESCRIPTOR_EX), DeviceTag);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* descriptor = const_cast<KSPIN_DESCRIPTOR_EX*>(pin->Descriptor);
    status = _KsEdit(pin->Bag, (PVOID*)&descriptor->AllocatorFraming,
                     sizeof(KSALLOCATOR_FRAMING_EX), sizeof(KSALLOCATOR_FRAMING_EX), DeviceTag);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    SizePinFraming(pin, copy->bmiHeader.biSizeImage);

    pin->StreamHeaderSize = CaptureStreamHeaderSize;
    return STATUS_SUCCESS;
}

bool IsPackedYuv(ULONG compression) {
    return compression == FourCcUyvy || compression == FourCcYuy2;
}

// Whether a running stream can take the new bitmap header in place of its
// own. The board keeps sending what it sends, so the picture must stay:
// same pixel format and bit count, same number of rows, and the same width,
// or a wider one for the packed-YUV routines, which pad their rows (any
// other format would be sheared across wider rows). A portrait keeps its
// orientation: the board's flag for it cannot change under the stream. The
// image size must hold the rows.
bool RunningStreamTakes(const KS_BITMAPINFOHEADER& now, const KS_BITMAPINFOHEADER& next,
                        ULONG rotate, bool* padded) {
    *padded = false;
    if (next.biCompression != now.biCompression || next.biBitCount != now.biBitCount ||
        AbsoluteHeight(next.biHeight) != AbsoluteHeight(now.biHeight) ||
        next.biWidth < now.biWidth) {
        return false;
    }
    if (rotate && (next.biHeight < 0) != (now.biHeight < 0)) {
        return false;
    }
    if (next.biWidth > now.biWidth) {
        if (!IsPackedYuv(next.biCompression)) {
            return false;
        }
        *padded = true;
    }
    if (next.biCompression == FourCcMjpg) {
        return true;
    }
    ULONGLONG rowBytes = ULONGLONG(ULONG(next.biWidth)) * (next.biBitCount / 8);
    return rowBytes * ULONG(AbsoluteHeight(next.biHeight)) <= next.biSizeImage;
}

// Whether a frame interval asked of a running pin keeps the stream's rate:
// 0 leaves it open, any other value must map to the channel's fdec.
bool KeepsRunningRate(const ModeSettings& mode, LONGLONG interval, LONGLONG running) {
    if (interval == 0 || interval == running) {
        return true;
    }
    ULONG fdec = 0;
    LONGLONG snapped = 0;
    if (!ExactFrameInterval(mode.format, interval, &fdec) &&
        !SnapFrameInterval(mode.format, interval, &fdec, &snapped)) {
        return false;
    }
    return fdec == mode.fdec;
}

// A change of format on a pin that is out of Stop: nothing goes to the
// board, so only changes the running stream can take are accepted, and the
// stream keeps its frame interval (the accepted format says so too).
NTSTATUS ChangeRunningFormat(PinContext* context, Board* board, const ModeSettings& mode,
                             PKS_VIDEOINFOHEADER requested) {
    const KS_VIDEOINFOHEADER* copy = context->formatCopy;
    bool padded = false;
    if (!RunningStreamTakes(copy->bmiHeader, requested->bmiHeader,
                            getRotate(board, context->channel), &padded) ||
        !KeepsRunningRate(mode, requested->AvgTimePerFrame, copy->AvgTimePerFrame)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (padded) {
        DbgPrint("padding\n");
    }
    requested->AvgTimePerFrame = copy->AvgTimePerFrame;
    PKS_VIDEOINFOHEADER previous = context->formatCopy;
    PKS_VIDEOINFOHEADER fresh = MakeFormatCopy(context);
    if (!fresh) {
        DbgPrint("no resources\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // The stream's format as the device knows it follows (controlsMutex is held).
    CaptureDevice* device = context->device;
    if (device && device->currentFormat == previous) {
        device->currentFormat = fresh;
    }
    SizePinFraming(context->pin, fresh->bmiHeader.biSizeImage);
    return STATUS_SUCCESS;
}

// The colour of the mode for a pixel format, with the log line it takes.
void ApplyRequestedColor(ModeSettings* mode, ULONG compression, ULONG bitCount, ULONG colour) {
    switch (compression) {
    case FourCcUyvy:
    case FourCcYuy2:
        DbgPrint(compression == FourCcUyvy ? "COLOR format: UYVY\n" : "COLOR format: YUY2\n");
        mode->color = (mode->color & ~0xFFu) | (colour ? ColorPackedYuv : ColorMono);
        break;
    case FourCcYv16:
        DbgPrint("color YV16\n");
        mode->color = ColorPlanarYuv;
        break;
    case FourCcI420:
        DbgPrint("color I420\n");
        mode->color = ColorPlanarYuv;
        break;
    case FourCcYv12:
        DbgPrint("color YV12\n");
        mode->color = ColorPlanarYuv;
        break;
    case FourCcY800:
        DbgPrint("color Y800\n");
        mode->color = ColorMono;
        break;
    case FourCcMjpg:
        DbgPrint("color MJPG\n");
        mode->color = ColorJpegWord;
        break;
    case FourCcRv24:
    case FourCcRv32:
        // A monochrome channel stays monochrome.
        if (mode->color != ColorMono) {
            DbgPrint(bitCount == 32 ? "RGB32\n" : "RGB24\n");
            mode->color = bitCount == 32 ? ColorRgb32 : ColorRgb24;
        }
        break;
    default:
        DbgPrint(bitCount == 32 ? "COLOR_RGB32\n" : "COLOR_RGB\n");
        mode->color = bitCount == 32 ? ColorRgb32 : ColorRgb24;
        break;
    }
}

bool ProductFits(ULONGLONG a, ULONGLONG b, ULONGLONG* product) {
    *product = a * b;
    return *product <= MAXULONG;
}

} // namespace

NTSTATUS CapturePinCreate0(PKSPIN pin, PIRP irp) {
    UNREFERENCED_PARAMETER(irp);
    return CreateCapturePin(pin, 0);
}
NTSTATUS CapturePinCreate1(PKSPIN pin, PIRP irp) {
    UNREFERENCED_PARAMETER(irp);
    return CreateCapturePin(pin, 1);
}
NTSTATUS CapturePinCreate2(PKSPIN pin, PIRP irp) {
    UNREFERENCED_PARAMETER(irp);
    return CreateCapturePin(pin, 2);
}
NTSTATUS CapturePinCreate3(PKSPIN pin, PIRP irp) {
    UNREFERENCED_PARAMETER(irp);
    return CreateCapturePin(pin, 3);
}

PKS_VIDEOINFOHEADER MakeFormatCopy(PinContext* context) {
    PKSDATAFORMAT format = context->pin->ConnectionFormat;
    ULONG length = format ? VideoInfoLength(format) : 0;
    if (length == 0 || context->channel >= ChannelCount) {
        return nullptr;
    }
    auto* copy = static_cast<PKS_VIDEOINFOHEADER>(
        ExAllocatePoolWithTag(NonPagedPoolNx, length, FormatCopyTags[context->channel]));
    if (!copy) {
        return nullptr;
    }
    if (!NT_SUCCESS(KsAddItemToObjectBag(context->pin->Bag, copy, nullptr))) {
        ExFreePoolWithTag(copy, FormatCopyTags[context->channel]);
        return nullptr;
    }
    RtlCopyMemory(copy, &VideoFormatOf(format)->VideoInfoHeader, length);
    // A format change on a running pin happens beside its process routine,
    // which reads the copy under the lock: once the lock has been let go
    // nobody reads the one replaced.
    KIRQL irql;
    KeAcquireSpinLock(&context->formatLock, &irql);
    PKS_VIDEOINFOHEADER previous = context->formatCopy;
    context->formatCopy = copy;
    KeReleaseSpinLock(&context->formatLock, irql);
    if (previous) {
        KsRemoveItemFromObjectBag(context->pin->Bag, previous, TRUE);
    }
    return copy;
}

BOOLEAN ReadConnectedFormat(PinContext* context, KS_BITMAPINFOHEADER* bitmap, LONGLONG* interval) {
    KIRQL irql;
    KeAcquireSpinLock(&context->formatLock, &irql);
    const KS_VIDEOINFOHEADER* copy = context->formatCopy;
    if (copy) {
        *bitmap = copy->bmiHeader;
        *interval = copy->AvgTimePerFrame;
    }
    KeReleaseSpinLock(&context->formatLock, irql);
    return copy ? TRUE : FALSE;
}

NTSTATUS CapturePinSetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat,
                                 PKSMULTIPLE_ITEM oldAttributeList, const KSDATARANGE* dataRange,
                                 const KSATTRIBUTE_LIST* attributeRange) {
    UNREFERENCED_PARAMETER(oldAttributeList);
    UNREFERENCED_PARAMETER(attributeRange);
    CaptureDevice* device = GetCaptureDevice(KsPinGetDevice(pin));
    if (!device || !device->board) {
        DbgPrint("severe error.  no mode\n");
        return STATUS_NO_SUCH_DEVICE;
    }
    Board* board = device->board;
    // While the pin is being created its context is still its filter's.
    PinContext* context = oldFormat ? GetPinContext(pin) : nullptr;
    ULONG channel = MAXULONG;
    if (context) {
        channel = context->channel;
    } else if (!oldFormat && pin->Context) {
        channel = static_cast<ChannelFilterContext*>(pin->Context)->channel;
    }
    if (channel >= ChannelCount) {
        DbgPrint("severe error.  no channel\n");
        return STATUS_NO_SUCH_DEVICE;
    }

    // From the copy of the mode to its send, and with the sharing decision
    // and the orientation flags, one step against every other owner.
    ModeChange change(board);
    ModeSettings mode;
    getMode(board, channel, &mode);

    PKSDATAFORMAT format = pin->ConnectionFormat;
    if (!IsEqualGUID(format->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO) ||
        format->FormatSize < MinimumVideoFormatSize) {
        return STATUS_NO_MATCH;
    }
    // Only the pin that streams the channel may change what the channel
    // does; another instance of the channel's filter must not touch the
    // board's orientation flags or the mode under a running stream.
    if (device->openCount[channel] != 0 && !(context && context->clockHeld)) {
        return STATUS_SHARING_VIOLATION;
    }
    // The whole bitmap header must be there before anything reads or copies
    // it, a change on a running pin included.
    if (VideoInfoLength(format) == 0) {
        DbgPrint("set format fail\n");
        return STATUS_INVALID_PARAMETER;
    }
    PKS_VIDEOINFOHEADER info = &VideoFormatOf(format)->VideoInfoHeader;
    KS_BITMAPINFOHEADER& bitmap = info->bmiHeader;

    if (oldFormat && pin->DeviceState != KSSTATE_STOP) {
        if (!context || !context->formatCopy) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        return ChangeRunningFormat(context, board, mode, info);
    }

    const auto* range = reinterpret_cast<const KS_DATARANGE_VIDEO*>(dataRange);
    if (bitmap.biCompression != range->VideoInfoHeader.bmiHeader.biCompression) {
        DbgPrint("no match compression\n");
        return STATUS_NO_MATCH;
    }
    const KS_VIDEO_STREAM_CONFIG_CAPS& caps = range->ConfigCaps;
    LONG height = AbsoluteHeight(bitmap.biHeight);
    ULONGLONG pixels = 0;
    ULONGLONG bytes = 0;
    if (bitmap.biWidth < caps.MinOutputSize.cx || bitmap.biWidth > caps.MaxOutputSize.cx ||
        height < AbsoluteHeight(caps.MinOutputSize.cy) ||
        height > AbsoluteHeight(caps.MaxOutputSize.cy) || caps.OutputGranularityX == 0 ||
        caps.OutputGranularityY == 0 || bitmap.biWidth % caps.OutputGranularityX != 0 ||
        bitmap.biHeight % caps.OutputGranularityY != 0 ||
        !ProductFits(ULONG(bitmap.biWidth), ULONG(height), &pixels) ||
        !ProductFits(pixels, bitmap.biBitCount / 8, &bytes) || bitmap.biSizeImage < bytes) {
        return STATUS_NO_MATCH;
    }

    const PictureSize* size = FindPictureSize(bitmap.biWidth, bitmap.biHeight);
    if (size) {
        if (size->rotate) {
            DbgPrint("rotated\n");
        }
        if (size->format == FormatNtsc && mode.format == FormatPal) {
            return STATUS_NO_MATCH;
        }
        if (size->format == FormatPal && mode.format == FormatNtsc) {
            if (size->scale == 2) {
                DbgPrint("no match PAL but mode set to NTSC_C\n");
            }
            return STATUS_NO_MATCH;
        }
        mode.scale = PictureSizeScale(size);
    }

    // A pin being created counts as existing from here on: the standard set
    // waits for this mutex and then finds it.
    if (!oldFormat) {
        NTSTATUS counted = CountCreatedPin(pin, device, channel);
        if (!NT_SUCCESS(counted)) {
            return counted;
        }
    }
    // Written only for a format that is taken: a refused one leaves the
    // channel as it was.
    setTopDown(board, channel, bitmap.biHeight < 0 ? 1 : 0);
    if (size) {
        setRotate(board, channel, size->rotate);
    }

    LONGLONG interval = info->AvgTimePerFrame;
    if (!ExactFrameInterval(mode.format, interval, &mode.fdec)) {
        LONGLONG snapped = 0;
        if (SnapFrameInterval(mode.format, interval, &mode.fdec, &snapped)) {
            DbgPrint("Invalid frame rate! could not find a match for this time per frame %lld\n",
                     interval);
            info->AvgTimePerFrame = snapped;
            DbgPrint("changing avgtimeperframe to %lld \n", snapped);
        }
    }
    DbgPrint("average time per frame %lld\n", info->AvgTimePerFrame);

    device->connectedColor[channel] = ConnectedColor(bitmap.biCompression, bitmap.biBitCount);
    ApplyRequestedColor(&mode, bitmap.biCompression, bitmap.biBitCount, device->m_bColor[channel]);

    if (pin->DeviceState == KSSTATE_STOP) {
        mode.restart = 1;
        setMode(board, channel, &mode);
    }
    if (oldFormat) {
        if (!MakeFormatCopy(context)) {
            DbgPrint("no resources\n");
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        // Clients size their buffers from the framing.
        SizePinFraming(pin, bitmap.biSizeImage);
    }
    return STATUS_SUCCESS;
}

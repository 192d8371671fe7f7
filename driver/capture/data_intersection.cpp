// Data intersection of the capture pin.
//
// The format returned is the descriptor range's KSDATAFORMAT header followed
// by the caller's video info header, with the rectangles and the image size
// made consistent with the caller's bitmap header.
#include "capture/data_intersection.h"

namespace {

// Bytes of a KS_VIDEOINFOHEADER in front of its bitmap header.
constexpr ULONG VideoInfoHeadSize = FIELD_OFFSET(KS_VIDEOINFOHEADER, bmiHeader);
// Bytes of a KS_DATARANGE_VIDEO in front of its video info header.
constexpr ULONG RangeHeadSize = FIELD_OFFSET(KS_DATARANGE_VIDEO, VideoInfoHeader);
static_assert(VideoInfoHeadSize == 48, "rectangles, rates and frame time precede the bitmap");
static_assert(RangeHeadSize == 208, "format, flags and stream caps precede the video info");

bool SameConfiguration(const KS_DATARANGE_VIDEO* caller, const KS_DATARANGE_VIDEO* offered) {
    return caller->bFixedSizeSamples == offered->bFixedSizeSamples &&
           caller->bTemporalCompression == offered->bTemporalCompression &&
           caller->StreamDescriptionFlags == offered->StreamDescriptionFlags &&
           caller->MemoryAllocationFlags == offered->MemoryAllocationFlags &&
           RtlCompareMemory(&caller->ConfigCaps, &offered->ConfigCaps,
                            sizeof(KS_VIDEO_STREAM_CONFIG_CAPS)) ==
               sizeof(KS_VIDEO_STREAM_CONFIG_CAPS);
}

// The line count and the size of a DIB with 4-byte aligned rows, both
// positive also for top-down images. The caller's bitmap header is not bound
// by the stream caps, so the arithmetic is done in 64 bits and a picture whose
// line count or size does not fit in 32 bits is refused rather than wrapped.
bool DibGeometry(const KS_BITMAPINFOHEADER& bitmap, LONG* lines, ULONG* imageSize) {
    const LONGLONG height = bitmap.biHeight < 0 ? -LONGLONG(bitmap.biHeight) : bitmap.biHeight;
    const LONGLONG stride = (LONGLONG(bitmap.biWidth) * bitmap.biBitCount + 31) / 32 * 4;
    const ULONGLONG rowBytes = ULONGLONG(stride < 0 ? -stride : stride);
    if (height > MAXLONG || rowBytes > MAXULONG || rowBytes * ULONGLONG(height) > MAXULONG) {
        return false;
    }
    *lines = LONG(height);
    *imageSize = ULONG(rowBytes * ULONGLONG(height));
    return true;
}

} // namespace

NTSTATUS CapturePinIntersectHandler(PVOID context, PIRP irp, PKSP_PIN pin, PKSDATARANGE callerRange,
                                    PKSDATARANGE descriptorRange, ULONG dataBufferSize, PVOID data,
                                    PULONG dataSize) {
    UNREFERENCED_PARAMETER(context);
    UNREFERENCED_PARAMETER(irp);
    UNREFERENCED_PARAMETER(pin);

    // The caller must describe exactly the configuration of this range. The
    // size test comes first so that nothing beyond the caller's range is read.
    if (!IsEqualGUID(callerRange->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO) ||
        callerRange->FormatSize < sizeof(KS_DATARANGE_VIDEO)) {
        return STATUS_NO_MATCH;
    }
    const auto* caller = reinterpret_cast<const KS_DATARANGE_VIDEO*>(callerRange);
    const auto* offered = reinterpret_cast<const KS_DATARANGE_VIDEO*>(descriptorRange);
    if (!SameConfiguration(caller, offered)) {
        return STATUS_NO_MATCH;
    }

    // The caller's bitmap header may be longer than the plain one (colour
    // masks follow it); its declared size must fit in the caller's range.
    // A header shorter than KS_BITMAPINFOHEADER cannot hold the fields the
    // format is built from.
    const ULONG bitmapSize = caller->VideoInfoHeader.bmiHeader.biSize;
    if (bitmapSize < sizeof(KS_BITMAPINFOHEADER) ||
        bitmapSize > MAXULONG - (RangeHeadSize + VideoInfoHeadSize) ||
        callerRange->FormatSize < bitmapSize + RangeHeadSize + VideoInfoHeadSize) {
        return STATUS_INVALID_PARAMETER;
    }
    const KS_BITMAPINFOHEADER& bitmap = caller->VideoInfoHeader.bmiHeader;
    LONG lines = 0;
    ULONG imageSize = 0;
    if (!DibGeometry(bitmap, &lines, &imageSize)) {
        return STATUS_INVALID_PARAMETER;
    }

    const ULONG videoInfoSize = VideoInfoHeadSize + bitmapSize;
    const ULONG formatSize = sizeof(KSDATAFORMAT) + videoInfoSize;
    if (dataBufferSize == 0) {
        *dataSize = formatSize;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (dataBufferSize < formatSize) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    *dataSize = formatSize;

    auto* format = static_cast<PKS_DATAFORMAT_VIDEOINFOHEADER>(data);
    RtlCopyMemory(&format->DataFormat, descriptorRange, sizeof(KSDATAFORMAT));
    format->DataFormat.FormatSize = formatSize;
    RtlCopyMemory(&format->VideoInfoHeader, &caller->VideoInfoHeader, videoInfoSize);

    KS_VIDEOINFOHEADER& info = format->VideoInfoHeader;
    info.rcSource.right = bitmap.biWidth;
    info.rcSource.bottom = lines;
    info.rcTarget.right = bitmap.biWidth;
    info.rcTarget.bottom = lines;
    info.bmiHeader.biSizeImage = imageSize;
    format->DataFormat.SampleSize = imageSize;
    return STATUS_SUCCESS;
}

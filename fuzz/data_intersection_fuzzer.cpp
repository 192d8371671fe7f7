// Data intersection under arbitrary caller ranges: any bytes as the
// application's data range (its FormatSize as the streaming class passes it:
// at least a KSDATARANGE and never beyond the caller's buffer) against every
// range of both lists, into result buffers of arbitrary sizes.
//
// The caller's range and the result buffer are allocations of exactly their
// sizes, so the sanitizers see any byte read or written beyond them. A format
// the handler returns must be one that the pin's format checks can take.
#include "fuzz_support.h"

#include "capture/data_intersection.h"
#include "capture/format_catalogue.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <memory>

namespace {

void CheckFormat(const PKS_DATAFORMAT_VIDEOINFOHEADER format, ULONG size,
                 const KSDATARANGE* offered, const KS_DATARANGE_VIDEO* caller) {
    FUZZ_CHECK(size >= sizeof(KS_DATAFORMAT_VIDEOINFOHEADER), "a result too short for its header");
    FUZZ_CHECK(format->DataFormat.FormatSize == size, "FormatSize differs from the size returned");
    FUZZ_CHECK(IsEqualGUID(format->DataFormat.MajorFormat, offered->MajorFormat) &&
                   IsEqualGUID(format->DataFormat.SubFormat, offered->SubFormat) &&
                   IsEqualGUID(format->DataFormat.Specifier, offered->Specifier),
               "a result of another format than the range's");
    const KS_VIDEOINFOHEADER& info = format->VideoInfoHeader;
    FUZZ_CHECK(size == sizeof(KSDATAFORMAT) + FIELD_OFFSET(KS_VIDEOINFOHEADER, bmiHeader) +
                           info.bmiHeader.biSize,
               "a result whose size does not follow its bitmap header");
    FUZZ_CHECK(info.bmiHeader.biSize == caller->VideoInfoHeader.bmiHeader.biSize,
               "the caller's bitmap header size not kept");
    FUZZ_CHECK(format->DataFormat.SampleSize == info.bmiHeader.biSizeImage,
               "sample size and image size differ");
    FUZZ_CHECK(info.rcSource.right == info.bmiHeader.biWidth && info.rcSource.bottom >= 0,
               "source rectangle not the picture");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    m4350fuzz::Prepare(1.0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    // How big the caller's result buffer is: none (a size query), one of the
    // sizes near the format's, or anything.
    const ULONG outSizes[] = {0,
                              1,
                              sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) - 1,
                              sizeof(KS_DATAFORMAT_VIDEOINFOHEADER),
                              sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) + 64,
                              in.ConsumeIntegralInRange<ULONG>(0, 4096)};
    const ULONG outSize = in.PickValueInArray(outSizes);
    const bool fromList = in.ConsumeBool();
    const ULONG pick = in.ConsumeIntegralInRange<ULONG>(0, 2 * RangeListCount - 1);
    const DataRangeList& pickedList = pick < RangeListCount ? NtscRangeList : PalRangeList;
    const KSDATARANGE* base = pickedList.Ranges[pick % RangeListCount];

    // The caller's range: a catalogue entry with the input laid over it at
    // an offset of the input's choosing (so most inputs get past the exact
    // comparisons), or the input alone.
    std::vector<UCHAR> bytes;
    bool untouched = false;
    if (fromList) {
        bytes.assign(reinterpret_cast<const UCHAR*>(base),
                     reinterpret_cast<const UCHAR*>(base) + base->FormatSize);
        size_t extra = in.ConsumeIntegralInRange<size_t>(0, 256);
        bytes.resize(bytes.size() + extra, 0);
        size_t at = in.ConsumeIntegralInRange<size_t>(0, bytes.size() - 1);
        std::vector<UCHAR> patch = in.ConsumeBytes<UCHAR>(in.ConsumeIntegralInRange(0, 64));
        for (size_t i = 0; i < patch.size() && at + i < bytes.size(); ++i) {
            bytes[at + i] = patch[i];
        }
        untouched = extra == 0 && patch.empty();
    } else {
        bytes = in.ConsumeRemainingBytes<UCHAR>();
    }
    if (bytes.size() < sizeof(KSDATARANGE)) {
        return 0;
    }
    // The class refuses a range whose FormatSize is too small or beyond the
    // buffer; what the handler gets is at most FormatSize bytes.
    ULONG formatSize;
    std::memcpy(&formatSize, bytes.data(), sizeof formatSize);
    if (formatSize < sizeof(KSDATARANGE) || formatSize > bytes.size()) {
        formatSize = ULONG(bytes.size());
        std::memcpy(bytes.data(), &formatSize, sizeof formatSize);
    }
    std::unique_ptr<UCHAR[]> range(new UCHAR[formatSize]);
    std::memcpy(range.get(), bytes.data(), formatSize);
    auto* callerRange = reinterpret_cast<PKSDATARANGE>(range.get());

    for (const DataRangeList* list : {&NtscRangeList, &PalRangeList}) {
        for (ULONG i = 0; i < RangeListCount; ++i) {
            PKSDATARANGE offered = list->Ranges[i];
            std::unique_ptr<UCHAR[]> out(new UCHAR[outSize ? outSize : 1]);
            ULONG dataSize = 0xDEADBEEF;
            NTSTATUS status = CapturePinIntersectHandler(nullptr, nullptr, nullptr, callerRange,
                                                         offered, outSize, out.get(), &dataSize);
            switch (status) {
            case STATUS_SUCCESS:
                FUZZ_CHECK(dataSize <= outSize, "a result larger than the buffer");
                CheckFormat(reinterpret_cast<PKS_DATAFORMAT_VIDEOINFOHEADER>(out.get()), dataSize,
                            offered, reinterpret_cast<const KS_DATARANGE_VIDEO*>(callerRange));
                break;
            case STATUS_BUFFER_OVERFLOW:
                FUZZ_CHECK(outSize == 0, "a size answer to a real buffer");
                FUZZ_CHECK(dataSize >= sizeof(KS_DATAFORMAT_VIDEOINFOHEADER), "size answer");
                break;
            case STATUS_BUFFER_TOO_SMALL:
                FUZZ_CHECK(outSize != 0, "too small for a size query");
                break;
            case STATUS_NO_MATCH:
            case STATUS_INVALID_PARAMETER:
                break;
            default:
                FUZZ_CHECK(false, "unexpected status " + std::to_string(ULONG(status)));
            }
            // An untouched catalogue entry always matches its own range.
            if (untouched && offered == base && outSize >= sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) {
                FUZZ_CHECK(status == STATUS_SUCCESS, "a catalogue entry refused by its own range");
            }
        }
    }
    return 0;
}

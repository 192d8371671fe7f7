// Filter creation: one ChannelFilterContext per filter instance, owned by
// the filter's object bag.
#include "capture/channel_filter.h"

#include "board/board.h"
#include "capture/filter_descriptors.h"
#include "device/capture_device.h"
#include "device/pool_tags.h"
#include "device/settings.h"

namespace {

void FreeChannelFilterContext(PVOID context) {
    ExFreePoolWithTag(context, DeviceTag);
}

BOOLEAN ChannelOfReference(const GUID* reference, PULONG channel) {
    if (!reference) {
        return FALSE;
    }
    for (ULONG n = 0; n < ChannelFilterCount; ++n) {
        if (IsEqualGUID(*reference, ChannelReferenceGuids[n])) {
            *channel = n;
            return TRUE;
        }
    }
    return FALSE;
}

} // namespace

NTSTATUS ChannelFilterCreate(PKSFILTER filter, PIRP irp) {
    UNREFERENCED_PARAMETER(irp);
    ULONG channel = 0;
    if (!ChannelOfReference(filter->Descriptor->ReferenceGuid, &channel)) {
        DbgPrint("invalid GUID reference\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // A started device whose board could not be made has factories but
    // nothing to stream from.
    CaptureDevice* device = GetCaptureDevice(KsFilterGetDevice(filter));
    if (!device || !device->board) {
        return STATUS_NO_SUCH_DEVICE;
    }
    Board* board = device->board;

    auto* context = static_cast<ChannelFilterContext*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(ChannelFilterContext), DeviceTag));
    if (!context) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    context->channel = channel;
    context->filter = filter;

    ULONG fixedStandard = QueryParameter(L"FixedStandard");

    NTSTATUS status = KsAddItemToObjectBag(filter->Bag, context, FreeChannelFilterContext);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(context, DeviceTag);
    } else {
        filter->Context = context;
    }

    // The standard is aligned only on a channel without pins: a pin (of any
    // filter instance, streaming or about to) was negotiated in the
    // channel's standard and keeps it.
    ModeChange change(board);
    ModeSettings mode;
    getMode(board, channel, &mode);
    bool pins = InterlockedCompareExchange(&device->pinCount[channel], 0, 0) != 0;
    if (!pins && ((fixedStandard == FormatPal && mode.format != FormatPal) ||
                  (fixedStandard == FormatNtsc && mode.format != FormatNtsc))) {
        mode.restart = 1;
        mode.format = fixedStandard;
        DbgPrint("set mode A: %d\n", mode.color);
        setMode(board, channel, &mode);
    }
    SelectChannelRangeList(device, channel, mode.format == FormatPal);
    return status;
}

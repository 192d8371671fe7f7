#include "controls/control_request.h"

#include "board/board.h"
#include "capture/channel_filter.h"
#include "device/capture_device.h"

BOOLEAN ResolveControlRequest(PIRP irp, ControlRequest* request) {
    PKSFILTER filter = KsGetFilterFromIrp(irp);
    if (!filter) {
        return FALSE;
    }
    CaptureDevice* device = GetCaptureDevice(KsFilterGetDevice(filter));
    if (!device) {
        return FALSE;
    }
    // Filter creation gives every channel filter its context, which names
    // the channel; a filter without one is not ours to answer.
    auto* context = static_cast<ChannelFilterContext*>(filter->Context);
    if (!context || context->filter != filter || context->channel >= ChannelFilterCount) {
        return FALSE;
    }
    request->device = device;
    request->channel = context->channel;
    return TRUE;
}

ULONG ReadChannelWord(const ULONG* word) {
    auto* shared = reinterpret_cast<volatile LONG*>(const_cast<ULONG*>(word));
    return ULONG(InterlockedCompareExchange(shared, 0, 0));
}

VOID WriteChannelWord(ULONG* word, ULONG value) {
    InterlockedExchange(reinterpret_cast<volatile LONG*>(word), LONG(value));
}

// Descriptors of the four channel filters and their capture pins.
//
// The tables here are constant templates. Each device copies the filter and
// pin descriptors into its own ChannelDescriptorSet, and only the data-range
// pointer of a copied pin descriptor ever changes (SelectChannelRangeList).
#include "capture/filter_descriptors.h"

#include <ksmedia.h>

#include "capture/automation_table.h"
#include "capture/capture_pin.h"
#include "capture/channel_filter.h"
#include "capture/data_intersection.h"
#include "capture/format_catalogue.h"
#include "capture/frame_delivery.h"
#include "capture/stream_state.h"
#include "device/capture_device.h"

// Filter creation learns its channel from these.
const GUID ChannelReferenceGuids[ChannelFilterCount] = {
    {0x2A2B4972, 0x385D, 0x40B3, {0xA1, 0x15, 0x92, 0x8D, 0x1B, 0x5A, 0x23, 0x7F}},
    {0x077122BC, 0x34EA, 0x4411, {0x8E, 0x3E, 0xC7, 0xC1, 0xED, 0x94, 0x3D, 0xA7}},
    {0xBB1E47F8, 0xC1D7, 0x49CA, {0xB8, 0x44, 0x08, 0x54, 0xDB, 0x18, 0x16, 0xDA}},
    {0x9A88C032, 0xC8F7, 0x40E9, {0x98, 0x3E, 0x73, 0x70, 0x88, 0x51, 0x30, 0x9B}},
};

namespace {

const GUID ChannelFilterCategories[] = {
    {STATICGUIDOF(KSCATEGORY_VIDEO)},
    {STATICGUIDOF(KSCATEGORY_CAPTURE)},
};

// One dispatch table per channel: pin creation stores the channel number.
const KSPIN_DISPATCH CapturePinDispatch[ChannelFilterCount] = {
    {CapturePinCreate0, nullptr, CapturePinProcess, nullptr, CapturePinSetDataFormat,
     CapturePinSetDeviceState, nullptr, nullptr, nullptr, nullptr},
    {CapturePinCreate1, nullptr, CapturePinProcess, nullptr, CapturePinSetDataFormat,
     CapturePinSetDeviceState, nullptr, nullptr, nullptr, nullptr},
    {CapturePinCreate2, nullptr, CapturePinProcess, nullptr, CapturePinSetDataFormat,
     CapturePinSetDeviceState, nullptr, nullptr, nullptr, nullptr},
    {CapturePinCreate3, nullptr, CapturePinProcess, nullptr, CapturePinSetDataFormat,
     CapturePinSetDeviceState, nullptr, nullptr, nullptr, nullptr},
};

const KSFILTER_DISPATCH ChannelFilterDispatch = {ChannelFilterCreate, nullptr, nullptr, nullptr};

// The default framing a pin starts from: two frames of system memory, which
// pin creation replaces in the pin's own copy by six frames of exactly the
// image size.
constexpr KSALLOCATOR_FRAMING_EX MakeFraming() {
    return KSALLOCATOR_FRAMING_EX{
        1, // CountItems
        0, // PinFlags
        {1, 1, 0},
        0, // PinWeight
        {{
            {STATICGUIDOF(KSMEMORY_TYPE_KERNEL_NONPAGED)},
            {STATICGUIDOF(GUID_NULL)}, // any bus
            0,                         // MemoryFlags
            0,                         // BusFlags
            KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY | KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY,
            2, // Frames
            0, // FileAlignment: bytes
            0, // MemoryTypeWeight
            {0, MAXULONG, 1},
            {{8192, 8192, 1}, 0, 0},
        }},
    };
}

// One copy per channel; pin creation edits its pin's copy of the descriptor
// and of the framing, never these.
const KSALLOCATOR_FRAMING_EX CapturePinFraming[ChannelFilterCount] = {MakeFraming(), MakeFraming(),
                                                                      MakeFraming(), MakeFraming()};

constexpr ULONG CapturePinFlags =
    KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY | KSPIN_FLAG_INITIATE_PROCESSING_ON_EVERY_ARRIVAL;

constexpr KSPIN_DESCRIPTOR_EX MakeCapturePin(ULONG channel) {
    return KSPIN_DESCRIPTOR_EX{
        &CapturePinDispatch[channel],
        nullptr, // AutomationTable
        {
            0,
            nullptr, // the standard streaming interface
            0,
            nullptr, // the standard medium
            RangeListCount,
            NtscRangeList.Ranges,
            KSPIN_DATAFLOW_OUT,
            KSPIN_COMMUNICATION_BOTH,
            &PINNAME_VIDEO_CAPTURE, // Category
            &PINNAME_VIDEO_CAPTURE, // Name
            {0},                    // no constrained data ranges
        },
        CapturePinFlags,
        1, // InstancesPossible
        0, // InstancesNecessary
        &CapturePinFraming[channel],
        CapturePinIntersectHandler,
    };
}

const KSPIN_DESCRIPTOR_EX CapturePinDescriptors[ChannelFilterCount] = {
    MakeCapturePin(0), MakeCapturePin(1), MakeCapturePin(2), MakeCapturePin(3)};

constexpr KSFILTER_DESCRIPTOR MakeChannelFilter(ULONG channel) {
    return KSFILTER_DESCRIPTOR{
        &ChannelFilterDispatch,
        &ChannelFilterAutomationTable,
        KSFILTER_DESCRIPTOR_VERSION,
        0, // Flags
        &ChannelReferenceGuids[channel],
        1,
        sizeof(KSPIN_DESCRIPTOR_EX),
        &CapturePinDescriptors[channel],
        RTL_NUMBER_OF(ChannelFilterCategories),
        ChannelFilterCategories,
        0,
        sizeof(KSNODE_DESCRIPTOR),
        nullptr, // no nodes: the class's default topology
        0,
        nullptr, // no connections
        nullptr, // ComponentId
    };
}

const KSFILTER_DESCRIPTOR ChannelFilterDescriptor[ChannelFilterCount] = {
    MakeChannelFilter(0), MakeChannelFilter(1), MakeChannelFilter(2), MakeChannelFilter(3)};

} // namespace

const KSFILTER_DESCRIPTOR* const ChannelFilterDescriptors[ChannelFilterCount] = {
    &ChannelFilterDescriptor[0], &ChannelFilterDescriptor[1], &ChannelFilterDescriptor[2],
    &ChannelFilterDescriptor[3]};

VOID InitializeChannelDescriptors(ChannelDescriptorSet* set) {
    for (ULONG n = 0; n < ChannelFilterCount; ++n) {
        set->pin[n] = CapturePinDescriptors[n];
        set->filter[n] = ChannelFilterDescriptor[n];
        set->filter[n].PinDescriptors = &set->pin[n];
    }
}

VOID SelectChannelRangeList(CaptureDevice* device, ULONG channel, ULONG isPal) {
    if (!device || channel >= ChannelFilterCount) {
        return;
    }
    // Filter creation of the same channel on several filter instances may
    // run at once (each under its own filter's mutex); each store is a
    // single atomic pointer write.
    const PKSDATARANGE* list = isPal ? PalRangeList.Ranges : NtscRangeList.Ranges;
    InterlockedExchangePointer(
        (PVOID volatile*)&device->descriptors.pin[channel].PinDescriptor.DataRanges, (PVOID)list);
}

// The channel filters as the streaming class sees them: descriptors, pin,
// framing, automation table, and the per-channel choice of format list.
#include <gtest/gtest.h>

#include <kernel_test.h>

#include <cstring>
#include <memory>

#include "capture/automation_table.h"
#include "capture/data_intersection.h"
#include "capture/filter_descriptors.h"
#include "capture/format_catalogue.h"
#include "device/capture_device.h"

namespace {

const GUID ReferenceGuids[ChannelFilterCount] = {
    {0x2A2B4972, 0x385D, 0x40B3, {0xA1, 0x15, 0x92, 0x8D, 0x1B, 0x5A, 0x23, 0x7F}},
    {0x077122BC, 0x34EA, 0x4411, {0x8E, 0x3E, 0xC7, 0xC1, 0xED, 0x94, 0x3D, 0xA7}},
    {0xBB1E47F8, 0xC1D7, 0x49CA, {0xB8, 0x44, 0x08, 0x54, 0xDB, 0x18, 0x16, 0xDA}},
    {0x9A88C032, 0xC8F7, 0x40E9, {0x98, 0x3E, 0x73, 0x70, 0x88, 0x51, 0x30, 0x9B}},
};
const GUID CategoryVideo = {
    0x6994AD05, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
const GUID CategoryCapture = {
    0x65E8773D, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
const GUID PinNameVideoCapture = {
    0xFB6C4281, 0x0353, 0x11D1, {0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};
const GUID KernelNonPagedMemory = {
    0x4A6D5FC4, 0x7895, 0x11D1, {0xB0, 0x69, 0x00, 0xA0, 0xC9, 0x06, 0x28, 0x02}};
const GUID NullGuid = {};

const KSPIN_DESCRIPTOR_EX& CapturePin(ULONG channel) {
    return ChannelFilterDescriptors[channel]->PinDescriptors[0];
}

using ChannelFilters = KernelTest;

TEST_F(ChannelFilters, FilterDescriptorsDifferOnlyInChannel) {
    for (ULONG channel = 0; channel < ChannelFilterCount; ++channel) {
        SCOPED_TRACE(channel);
        const KSFILTER_DESCRIPTOR& filter = *ChannelFilterDescriptors[channel];
        EXPECT_EQ(filter.AutomationTable, &ChannelFilterAutomationTable);
        EXPECT_EQ(filter.Version, 0xFFFFFFFFu);
        EXPECT_EQ(filter.Flags, 0u);
        EXPECT_TRUE(IsEqualGUID(*filter.ReferenceGuid, ReferenceGuids[channel]));
        EXPECT_EQ(filter.PinDescriptorsCount, 1u);
        EXPECT_EQ(filter.PinDescriptorSize, 136u);
        ASSERT_EQ(filter.CategoriesCount, 2u);
        EXPECT_TRUE(IsEqualGUID(filter.Categories[0], CategoryVideo));
        EXPECT_TRUE(IsEqualGUID(filter.Categories[1], CategoryCapture));
        EXPECT_EQ(filter.NodeDescriptorsCount, 0u);
        EXPECT_EQ(filter.ConnectionsCount, 0u);
        EXPECT_EQ(filter.ComponentId, nullptr);
        // Each channel has a pin descriptor of its own to switch.
        for (ULONG other = channel + 1; other < ChannelFilterCount; ++other) {
            EXPECT_NE(filter.PinDescriptors, ChannelFilterDescriptors[other]->PinDescriptors);
        }
    }
}

TEST_F(ChannelFilters, CapturePinIsOneVideoCaptureOutput) {
    for (ULONG channel = 0; channel < ChannelFilterCount; ++channel) {
        SCOPED_TRACE(channel);
        const KSPIN_DESCRIPTOR_EX& pin = CapturePin(channel);
        ASSERT_NE(pin.Dispatch, nullptr);
        EXPECT_EQ(pin.AutomationTable, nullptr);
        EXPECT_EQ(pin.PinDescriptor.InterfacesCount, 0u);
        EXPECT_EQ(pin.PinDescriptor.MediumsCount, 0u);
        EXPECT_EQ(pin.PinDescriptor.DataRangesCount, 39u);
        EXPECT_EQ(pin.PinDescriptor.DataRanges, NtscRangeList.Ranges);
        EXPECT_EQ(pin.PinDescriptor.DataFlow, KSPIN_DATAFLOW_OUT);
        EXPECT_EQ(pin.PinDescriptor.Communication, KSPIN_COMMUNICATION_BOTH);
        EXPECT_TRUE(IsEqualGUID(*pin.PinDescriptor.Category, PinNameVideoCapture));
        EXPECT_TRUE(IsEqualGUID(*pin.PinDescriptor.Name, PinNameVideoCapture));
        EXPECT_EQ(pin.PinDescriptor.ConstrainedDataRangesCount, 0u);
        EXPECT_EQ(pin.Flags, 0x10020u);
        EXPECT_EQ(pin.InstancesPossible, 1u);
        EXPECT_EQ(pin.InstancesNecessary, 0u);
        EXPECT_EQ(pin.IntersectHandler, &CapturePinIntersectHandler);
    }
}

TEST_F(ChannelFilters, EveryChannelHasItsOwnCopyOfTheDefaultFraming) {
    for (ULONG channel = 0; channel < ChannelFilterCount; ++channel) {
        SCOPED_TRACE(channel);
        const KSALLOCATOR_FRAMING_EX* framing = CapturePin(channel).AllocatorFraming;
        ASSERT_NE(framing, nullptr);
        EXPECT_EQ(framing->CountItems, 1u);
        EXPECT_EQ(framing->PinFlags, 0u);
        EXPECT_EQ(framing->OutputCompression.RatioNumerator, 1u);
        EXPECT_EQ(framing->OutputCompression.RatioDenominator, 1u);
        EXPECT_EQ(framing->OutputCompression.RatioConstantMargin, 0u);
        EXPECT_EQ(framing->PinWeight, 0u);
        const KS_FRAMING_ITEM& item = framing->FramingItem[0];
        EXPECT_TRUE(IsEqualGUID(item.MemoryType, KernelNonPagedMemory));
        EXPECT_TRUE(IsEqualGUID(item.BusType, NullGuid));
        EXPECT_EQ(item.MemoryFlags, 0u);
        EXPECT_EQ(item.BusFlags, 0u);
        EXPECT_EQ(item.Flags, 0x80000002u);
        EXPECT_EQ(item.Frames, 2u);
        EXPECT_EQ(item.FileAlignment, 0u);
        EXPECT_EQ(item.MemoryTypeWeight, 0u);
        EXPECT_EQ(item.PhysicalRange.MinFrameSize, 0u);
        EXPECT_EQ(item.PhysicalRange.MaxFrameSize, 0xFFFFFFFFu);
        EXPECT_EQ(item.PhysicalRange.Stepping, 1u);
        EXPECT_EQ(item.FramingRange.Range.MinFrameSize, 8192u);
        EXPECT_EQ(item.FramingRange.Range.MaxFrameSize, 8192u);
        EXPECT_EQ(item.FramingRange.Range.Stepping, 1u);
        EXPECT_EQ(item.FramingRange.InPlaceWeight, 0u);
        EXPECT_EQ(item.FramingRange.NotInPlaceWeight, 0u);
        for (ULONG other = channel + 1; other < ChannelFilterCount; ++other) {
            EXPECT_NE(framing, CapturePin(other).AllocatorFraming);
        }
    }
}

// select channel range list: (channel, isPal) and the list each channel of
// the device offers afterwards, starting from a new device's copies.
struct SelectionCase {
    const char* name;
    ULONG channel;
    ULONG isPal;
    bool palAfter[ChannelFilterCount];
};

const SelectionCase Selections[] = {
    {"channel 0 to PAL", 0, 1, {true, false, false, false}},
    {"channel 3 to PAL", 3, 1, {false, false, false, true}},
    {"any non-zero isPal", 2, 0x200, {false, false, true, false}},
    {"channel 1 to NTSC", 1, 0, {false, false, false, false}},
    {"channel 4 changes nothing", 4, 1, {false, false, false, false}},
    {"channel -1 changes nothing", ULONG(-1), 1, {false, false, false, false}},
};

TEST_F(ChannelFilters, SelectingARangeListSwitchesOnlyThatChannel) {
    for (const SelectionCase& c : Selections) {
        SCOPED_TRACE(c.name);
        auto device = std::make_unique<CaptureDevice>();
        InitializeChannelDescriptors(&device->descriptors);
        SelectChannelRangeList(device.get(), c.channel, c.isPal);
        for (ULONG channel = 0; channel < ChannelFilterCount; ++channel) {
            const KSFILTER_DESCRIPTOR& filter = device->descriptors.filter[channel];
            ASSERT_EQ(filter.PinDescriptors, &device->descriptors.pin[channel]);
            const KSPIN_DESCRIPTOR& pin = filter.PinDescriptors[0].PinDescriptor;
            EXPECT_EQ(pin.DataRanges,
                      c.palAfter[channel] ? PalRangeList.Ranges : NtscRangeList.Ranges)
                << "channel " << channel;
            EXPECT_EQ(pin.DataRangesCount, 39u);
            // The templates never change.
            EXPECT_EQ(CapturePin(channel).PinDescriptor.DataRanges, NtscRangeList.Ranges);
        }
    }
}

TEST_F(ChannelFilters, CopiesAreTheTemplatesButForTheirPinPointer) {
    auto device = std::make_unique<CaptureDevice>();
    InitializeChannelDescriptors(&device->descriptors);
    for (ULONG channel = 0; channel < ChannelFilterCount; ++channel) {
        SCOPED_TRACE(channel);
        KSFILTER_DESCRIPTOR filter = device->descriptors.filter[channel];
        EXPECT_EQ(std::memcmp(&device->descriptors.pin[channel], &CapturePin(channel),
                              sizeof(KSPIN_DESCRIPTOR_EX)),
                  0);
        filter.PinDescriptors = ChannelFilterDescriptors[channel]->PinDescriptors;
        EXPECT_EQ(std::memcmp(&filter, ChannelFilterDescriptors[channel], sizeof(filter)), 0);
    }
}

} // namespace

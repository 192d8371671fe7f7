// The property and method sets of the channel filters, in the order the
// class enumerates them.
#include <gtest/gtest.h>

#include <kernel_test.h>

#include "capture/automation_table.h"

namespace {

const GUID VideoDecoderSet = {
    0xC6E13350, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
const GUID ProcAmpSet = {
    0xC6E13360, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
const GUID DroppedFramesSet = {
    0xC6E13344, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
const GUID DeviceMethodSetGuid = {
    0xC9C5121F, 0x0B7F, 0x4694, {0x90, 0x90, 0x21, 0x77, 0xD0, 0x3A, 0x07, 0x20}};
const GUID GeneralPropertyTypes = {
    0x97E99BA0, 0xBDEA, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};

struct ValuesExpectation {
    LONG minimum;
    LONG maximum;
    LONG defaultValue;
};

struct PropertyExpectation {
    ULONG id;
    bool get;
    bool set;
    ULONG minProperty;
    ULONG minData;
    const ValuesExpectation* values;
};

const ValuesExpectation Brightness = {-127, 127, 0};
const ValuesExpectation Contrast = {0, 255, 92};
const ValuesExpectation Hue = {-64, 64, 0};
const ValuesExpectation Saturation = {0, 255, 128};
const ValuesExpectation ColorEnable = {0, 1, 1};

const PropertyExpectation VideoDecoderItems[] = {
    {0, true, false, 40, 40, nullptr},  {1, true, true, 32, 32, nullptr},
    {2, true, false, 32, 32, nullptr},  {3, false, false, 32, 32, nullptr},
    {4, false, false, 32, 32, nullptr},
};
const PropertyExpectation ProcAmpItems[] = {
    {0, true, true, 40, 40, &Brightness},  {1, true, true, 40, 40, &Contrast},
    {3, true, true, 40, 40, &Saturation},  {2, true, true, 40, 40, &Hue},
    {6, true, true, 40, 40, &ColorEnable},
};
const PropertyExpectation DroppedFramesItems[] = {{0, true, false, 48, 48, nullptr}};

struct SetExpectation {
    const char* name;
    const GUID* set;
    const PropertyExpectation* items;
    ULONG count;
};

const SetExpectation PropertySets[] = {
    {"video decoder", &VideoDecoderSet, VideoDecoderItems, 5},
    {"proc-amp", &ProcAmpSet, ProcAmpItems, 5},
    {"dropped frames", &DroppedFramesSet, DroppedFramesItems, 1},
};

void ExpectValues(const KSPROPERTY_VALUES* values, const ValuesExpectation& expected) {
    ASSERT_NE(values, nullptr);
    EXPECT_TRUE(IsEqualGUID(values->PropTypeSet.Set, GeneralPropertyTypes));
    EXPECT_EQ(values->PropTypeSet.Id, ULONG(VT_I4));
    ASSERT_EQ(values->MembersListCount, 2u);

    const KSPROPERTY_MEMBERSLIST& range = values->MembersList[0];
    EXPECT_EQ(range.MembersHeader.MembersFlags, ULONG(KSPROPERTY_MEMBER_RANGES));
    EXPECT_EQ(range.MembersHeader.MembersSize, sizeof(KSPROPERTY_STEPPING_LONG));
    EXPECT_EQ(range.MembersHeader.MembersCount, 1u);
    const auto* stepping = static_cast<const KSPROPERTY_STEPPING_LONG*>(range.Members);
    EXPECT_EQ(stepping->SteppingDelta, 1u);
    EXPECT_EQ(stepping->Bounds.SignedMinimum, expected.minimum);
    EXPECT_EQ(stepping->Bounds.SignedMaximum, expected.maximum);

    const KSPROPERTY_MEMBERSLIST& fallback = values->MembersList[1];
    EXPECT_EQ(fallback.MembersHeader.MembersFlags, ULONG(KSPROPERTY_MEMBER_VALUES));
    EXPECT_EQ(fallback.MembersHeader.MembersSize, sizeof(LONG));
    EXPECT_EQ(fallback.MembersHeader.MembersCount, 1u);
    EXPECT_EQ(fallback.MembersHeader.Flags, ULONG(KSPROPERTY_MEMBER_FLAG_DEFAULT));
    EXPECT_EQ(*static_cast<const LONG*>(fallback.Members), expected.defaultValue);
}

using FilterAutomationTable = KernelTest;

TEST_F(FilterAutomationTable, PropertySetsAndItemsInOrder) {
    const KSAUTOMATION_TABLE& table = ChannelFilterAutomationTable;
    EXPECT_EQ(table.PropertyItemSize, 72u);
    EXPECT_EQ(table.EventSetsCount, 0u);
    ASSERT_EQ(table.PropertySetsCount, 3u);

    for (ULONG s = 0; s < 3; ++s) {
        const SetExpectation& expected = PropertySets[s];
        SCOPED_TRACE(expected.name);
        const KSPROPERTY_SET& set = table.PropertySets[s];
        EXPECT_TRUE(IsEqualGUID(*set.Set, *expected.set));
        ASSERT_EQ(set.PropertiesCount, expected.count);
        EXPECT_EQ(set.FastIoCount, 0u);
        for (ULONG i = 0; i < expected.count; ++i) {
            const PropertyExpectation& want = expected.items[i];
            const KSPROPERTY_ITEM& item = set.PropertyItem[i];
            SCOPED_TRACE(want.id);
            EXPECT_EQ(item.PropertyId, want.id) << "position " << i;
            EXPECT_EQ(item.GetPropertyHandler != nullptr, want.get);
            EXPECT_EQ(item.SetPropertyHandler != nullptr, want.set);
            EXPECT_EQ(item.MinProperty, want.minProperty);
            EXPECT_EQ(item.MinData, want.minData);
            EXPECT_EQ(item.RelationsCount, 0u);
            EXPECT_EQ(item.SupportHandler, nullptr);
            if (want.values) {
                ExpectValues(item.Values, *want.values);
            } else {
                EXPECT_EQ(item.Values, nullptr);
            }
        }
    }
}

struct MethodExpectation {
    ULONG id;
    ULONG minData;
};

const MethodExpectation DeviceMethods[] = {{0, 40},   {1, 40}, {5, 8224},
                                           {6, 8232}, {7, 32}, {8, 32}};

TEST_F(FilterAutomationTable, DeviceMethodSetReadsAndWritesOneCallerBuffer) {
    const KSAUTOMATION_TABLE& table = ChannelFilterAutomationTable;
    EXPECT_EQ(table.MethodItemSize, 40u);
    ASSERT_EQ(table.MethodSetsCount, 1u);
    const KSMETHOD_SET& set = table.MethodSets[0];
    EXPECT_TRUE(IsEqualGUID(*set.Set, DeviceMethodSetGuid));
    ASSERT_EQ(set.MethodsCount, RTL_NUMBER_OF(DeviceMethods));
    for (ULONG i = 0; i < set.MethodsCount; ++i) {
        SCOPED_TRACE(DeviceMethods[i].id);
        const KSMETHOD_ITEM& item = set.MethodItem[i];
        EXPECT_EQ(item.MethodId, DeviceMethods[i].id);
        EXPECT_NE(item.MethodHandler, nullptr);
        EXPECT_EQ(item.MinMethod, 24u);
        EXPECT_EQ(item.MinData, DeviceMethods[i].minData);
        EXPECT_EQ(item.SupportHandler, nullptr);
        EXPECT_EQ(item.Flags, ULONG(KSMETHOD_TYPE_MODIFY));
    }
}

} // namespace

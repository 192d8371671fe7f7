// Filter creation refuses a filter it cannot give a channel.
#include <gtest/gtest.h>

#include "capture/channel_filter.h"

#include <host/services.h>

namespace {

TEST(ChannelFilter, CreationRefusesAReferenceOfNoChannel) {
    static const GUID Unknown = {
        0x2A2B4972, 0x385D, 0x40B3, {0xA1, 0x15, 0x92, 0x8D, 0x1B, 0x5A, 0x23, 0x80}};
    const GUID* references[] = {nullptr, &Unknown};
    for (const GUID* reference : references) {
        KSFILTER_DESCRIPTOR descriptor{};
        descriptor.ReferenceGuid = reference;
        KSFILTER filter{};
        filter.Descriptor = &descriptor;
        host::ClearDebugLog();
        EXPECT_EQ(ChannelFilterCreate(&filter, nullptr), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(host::DebugLogCount("invalid GUID reference"), 1u);
        EXPECT_EQ(filter.Context, nullptr);
    }
}

} // namespace

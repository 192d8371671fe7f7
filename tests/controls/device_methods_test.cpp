// The device method set through a filter handle, one caller buffer as both
// method and data as the configuration plug-in sends it: attributes, the
// fixed standard, versions, serial number and the controller's EEPROM, checked
// on what the board receives.
#include "controls_rig.h"

#include <host/services.h>
#include <sim/protocol.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "device/capture_device.h"

namespace m4350test {
namespace {

using m4350::sim::Fault;
using m4350::sim::kVendorControllerVersion;
using m4350::sim::kVendorEepromRead;
using m4350::sim::kVendorEepromWrite;

struct AttributeCase {
    ULONG channelPlusOne;
    ULONG attribute;
    int32_t value;
    int32_t result;
    uint32_t m4350::sim::ModeSettings::*field; // null: nothing sent
    uint32_t restart;
};

const AttributeCase AttributeCases[] = {
    {1, 4, 0x30, 0, &m4350::sim::ModeSettings::bright, 0},
    {4, 0, 2, 0, &m4350::sim::ModeSettings::format, 1},
    {2, 2, 15, 0, &m4350::sim::ModeSettings::color, 1},
    {3, 5, 200, 0, &m4350::sim::ModeSettings::contrast, 0},
    {3, 6, 17, 0, &m4350::sim::ModeSettings::saturation, 0},
    {2, 7, -64, 0, &m4350::sim::ModeSettings::hue, 0},
    {1, 1, 3, -1, nullptr, 0},  // scale has no attribute
    {1, 3, 2, -1, nullptr, 0},  // neither has fdec
    {4, 99, 1, -1, nullptr, 0}, //
    {4, 101, 1, -1, nullptr, 0},
};

class DeviceMethodsTest : public ControlsTest {
protected:
    Wire Eeprom(ULONG method, uint32_t magic, const std::vector<uint8_t>& data, uint32_t length) {
        Wire wire = MethodBuffer(method, method == kMethodUpdateEeprom ? 8224 : 8232);
        wire.Put32(24, magic);
        std::copy(data.begin(), data.end(), wire.bytes().begin() + 28);
        wire.Put32(8220, length);
        return wire;
    }

    NTSTATUS Update(const std::vector<uint8_t>& data, uint32_t length, ULONG channel = 0,
                    uint32_t magic = kEepromMagic) {
        Wire wire = Eeprom(kMethodUpdateEeprom, magic, data, length);
        return Send(channel, IOCTL_KS_METHOD, wire);
    }

    // The verify result word; nullopt when the request failed.
    std::optional<int32_t> Verify(const std::vector<uint8_t>& data, uint32_t length,
                                  uint32_t magic = kEepromMagic) {
        Wire wire = Eeprom(kMethodVerifyEeprom, magic, data, length);
        wire.Put32(8224, 0x5A5A5A5A);
        ULONG returned = 0;
        if (Send(0, IOCTL_KS_METHOD, wire, &returned) != STATUS_SUCCESS) {
            EXPECT_EQ(wire.Get32(8224), 0x5A5A5A5Au);
            return std::nullopt;
        }
        EXPECT_EQ(returned, 8232u);
        return wire.GetSigned(8224);
    }

    uint32_t Version(uint32_t selector) {
        Wire wire = MethodBuffer(kMethodGetVersion, 32);
        wire.Put32(24, selector);
        wire.Put32(28, 0xDEADBEEF);
        ULONG returned = 0;
        EXPECT_EQ(Send(1, IOCTL_KS_METHOD, wire, &returned), STATUS_SUCCESS);
        EXPECT_EQ(returned, 32u);
        return wire.Get32(28);
    }

    uint32_t Serial() {
        Wire wire = MethodBuffer(kMethodGetSerial, 32);
        wire.Put32(24, 0xDEADBEEF);
        ULONG returned = 0;
        EXPECT_EQ(Send(3, IOCTL_KS_METHOD, wire, &returned), STATUS_SUCCESS);
        EXPECT_EQ(returned, 32u);
        return wire.Get32(24);
    }

    static std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
        std::vector<uint8_t> bytes(n);
        for (size_t i = 0; i < n; ++i) {
            bytes[i] = uint8_t(seed + i * 7);
        }
        return bytes;
    }
};

TEST_F(DeviceMethodsTest, SetAttributeChangesOneModeWordOfTheNamedChannel) {
    for (const AttributeCase& c : AttributeCases) {
        SCOPED_TRACE(testing::Message()
                     << "channel " << c.channelPlusOne << " attribute " << c.attribute);
        const ULONG channel = c.channelPlusOne - 1;
        const m4350::sim::ModeSettings before = WireMode(channel);
        const uint64_t sent = SetModes(), acks = sim().Counters().acks;
        Wire wire = MethodBuffer(kMethodSetAttribute, 40);
        wire.Put32(24, c.channelPlusOne);
        wire.Put32(28, c.attribute);
        wire.Put32(32, uint32_t(c.value));
        wire.Put32(36, 0x77);
        ULONG returned = 0;
        ASSERT_EQ(Send(0, IOCTL_KS_METHOD, wire, &returned), STATUS_SUCCESS);
        EXPECT_EQ(returned, 40u);
        EXPECT_EQ(wire.GetSigned(36), c.result);
        if (!c.field) {
            EXPECT_EQ(SetModes(), sent);
            continue;
        }
        const m4350::sim::ModeSettings after = WireMode(channel);
        EXPECT_EQ(SetModes(), sent + 1);
        EXPECT_EQ(after.*c.field, uint32_t(c.value));
        EXPECT_EQ(after.restart, c.restart);
        EXPECT_EQ(sim().Counters().acks, acks + c.restart);
        EXPECT_EQ(after.scale, before.scale) << "the rest of the mode stays";
        EXPECT_EQ(after.fdec, before.fdec);

        int32_t result = 5;
        EXPECT_EQ(GetAttribute(c.channelPlusOne, c.attribute, &result), c.value);
        EXPECT_EQ(result, 0);
    }
}

TEST_F(DeviceMethodsTest, GetAttributeOfAnUnknownAttributeLeavesTheValueWord) {
    for (ULONG attribute : {1u, 3u, 8u, 99u}) {
        int32_t result = 0;
        EXPECT_EQ(GetAttribute(2, attribute, &result), 205) << attribute;
        EXPECT_EQ(result, -1);
    }
}

TEST_F(DeviceMethodsTest, ChannelsOutsideOneToFourFailTheRequest) {
    for (ULONG method : {kMethodSetAttribute, kMethodGetAttribute}) {
        for (ULONG channelPlusOne : {0u, 5u, 0xFFFFFFFFu}) {
            SCOPED_TRACE(testing::Message() << "method " << method << " " << channelPlusOne);
            const uint64_t sent = SetModes();
            Wire wire = MethodBuffer(method, 40);
            wire.Put32(24, channelPlusOne);
            wire.Put32(28, 4);
            wire.Put32(32, 205);
            wire.Put32(36, 0x77);
            ULONG returned = 9;
            EXPECT_EQ(Send(0, IOCTL_KS_METHOD, wire, &returned), STATUS_INVALID_PARAMETER);
            EXPECT_EQ(returned, 0u);
            EXPECT_EQ(wire.Get32(32), 205u);
            EXPECT_EQ(wire.Get32(36), 0x77u);
            EXPECT_EQ(SetModes(), sent);
        }
    }
}

TEST_F(DeviceMethodsTest, FixedStandardGoesToTheRegistryAndNothingToTheBoard) {
    int32_t result = 9;
    EXPECT_EQ(GetAttribute(1, 100, &result), 0) << "absent reads 0";
    EXPECT_EQ(result, 0);
    EXPECT_EQ(host::DebugLogCount("get reg fixed standard 0"), 1u);

    const uint64_t sent = SetModes();
    Wire wire = MethodBuffer(kMethodSetAttribute, 40);
    wire.Put32(24, 3);
    wire.Put32(28, 100);
    wire.Put32(32, 2);
    wire.Put32(36, 0x77);
    ULONG returned = 0;
    ASSERT_EQ(Send(0, IOCTL_KS_METHOD, wire, &returned), STATUS_SUCCESS);
    EXPECT_EQ(wire.GetSigned(36), 0);
    EXPECT_EQ(returned, 40u) << "the length the class preset";
    EXPECT_EQ(host::GetServiceDword(L"m4350av\\Parameters", L"FixedStandard"), 2u);
    EXPECT_EQ(host::DebugLogCount("fixed standard 2"), 1u);
    EXPECT_EQ(host::DebugLogCount("set fixed standard"), 1u);
    EXPECT_EQ(SetModes(), sent);
    EXPECT_EQ(GetAttribute(4, 100), 2);
}

TEST_F(DeviceMethodsTest, VersionSelectorsAnswerFromControllerBoardAndDriver) {
    m4350::sim::BoardConfig config;
    config.controllerVersion = {0x34, 0x12};
    Bring(config);
    struct {
        uint32_t selector;
        uint32_t version;
    } const cases[] = {
        {0, 0x1234}, {1, sim().FirmwareVersion()}, {2, 0x0001004B}, {3, 0x00010001}, {9, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Version(c.selector), c.version) << "selector " << c.selector;
    }
    EXPECT_NE(sim().FirmwareVersion(), 0u);
    EXPECT_EQ(host::DebugLogCount("Get FW 34 12"), 1u);
    EXPECT_EQ(host::DebugLogCount("GetVersion 9"), 1u);
    EXPECT_EQ(sim().Counters().status, 1u) << "only selector 1 asks the board";
}

TEST_F(DeviceMethodsTest, VersionsTheBoardCannotGiveReadZero) {
    sim().AddFault({.fault = Fault::StallVendor, .match = kVendorControllerVersion});
    sim().AddFault({.fault = Fault::WithholdStatus});
    EXPECT_EQ(Version(0), 0u);
    EXPECT_EQ(host::DebugLogCount("get fw error: 4"), 1u);
    EXPECT_EQ(Version(1), 0u);
    EXPECT_EQ(Version(2), 0x0001004Bu);
}

TEST_F(DeviceMethodsTest, SerialNumberNeedsOneSignatureByte) {
    struct {
        const char* name;
        std::array<uint8_t, 4> signature;
        std::array<uint8_t, 4> number;
        uint32_t serial;
    } const cases[] = {
        {"whole signature", {0xAA, 0xBB, 0xCC, 0xDD}, {0x00, 0x12, 0x34, 0x56}, 0x123456},
        {"first byte only", {0xAA, 0, 0, 0}, {0xCA, 0xFE, 0x00, 0x01}, 0xCAFE0001},
        {"last byte only", {0, 0, 0, 0xDD}, {0, 0, 0, 7}, 7},
        {"no signature", {0, 0, 0, 0}, {0x00, 0x12, 0x34, 0x56}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        host::ClearDebugLog();
        for (uint32_t i = 0; i < 4; ++i) {
            ASSERT_TRUE(sim().SetEepromByte(0x1FF0 + i, c.signature[i]));
            ASSERT_TRUE(sim().SetEepromByte(0x1FFC + i, c.number[i]));
        }
        EXPECT_EQ(Serial(), c.serial);
        EXPECT_EQ(host::DebugLogCount("get serial failed -1"), c.serial ? 0u : 1u);
        auto reads = recorder().Controls(kVendorEepromRead);
        ASSERT_FALSE(reads.empty());
        EXPECT_EQ(reads.back().index, 0x1FF0);
        EXPECT_EQ(reads.back().length, 16);
        EXPECT_EQ(reads.back().value, 0x51);
    }
}

TEST_F(DeviceMethodsTest, SerialReadFailureReportsTheTransfersResult) {
    sim().AddFault({.fault = Fault::StallVendor, .match = kVendorEepromRead});
    EXPECT_EQ(Serial(), 0u);
    EXPECT_EQ(host::DebugLogCount("get serial failed 4"), 1u);
}

TEST_F(DeviceMethodsTest, EepromMovesInChunksOfEightAtTheirAddresses) {
    const std::vector<uint8_t> data = Pattern(20, 1);
    ASSERT_EQ(Update(data, 20), STATUS_SUCCESS);
    auto writes = recorder().Controls(kVendorEepromWrite);
    ASSERT_EQ(writes.size(), 3u);
    const uint16_t lengths[] = {10, 10, 6}, addresses[] = {0, 8, 16};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(writes[i].length, lengths[i]) << i;
        EXPECT_EQ(writes[i].address, addresses[i]) << i;
        EXPECT_EQ(writes[i].value, 0x51);
        EXPECT_EQ(writes[i].index, 0x51);
        EXPECT_FALSE(writes[i].in);
    }
    const std::vector<uint8_t> eeprom = sim().Eeprom();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), eeprom.begin()));
    EXPECT_EQ(eeprom[20], 0xFF) << "nothing beyond the length";
    EXPECT_EQ(host::DebugLogCount("write eeprom ending"), 1u);

    EXPECT_EQ(Verify(data, 20), 0);
    auto reads = recorder().Controls(kVendorEepromRead);
    ASSERT_EQ(reads.size(), 3u);
    const uint16_t readLengths[] = {8, 8, 4};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(reads[i].length, readLengths[i]) << i;
        EXPECT_EQ(reads[i].index, addresses[i]) << i;
        EXPECT_TRUE(reads[i].in);
    }
    EXPECT_EQ(host::DebugLogCount("success"), 1u);
}

TEST_F(DeviceMethodsTest, VerifyFindsADifferenceAndStopsAtAFailedRead) {
    const std::vector<uint8_t> data = Pattern(64, 3);
    ASSERT_EQ(Update(data, 64), STATUS_SUCCESS);
    std::vector<uint8_t> other = data;
    other[40] ^= 1;
    EXPECT_EQ(Verify(other, 64), -1);
    EXPECT_EQ(host::DebugLogCount("mismatch "), 1u);
    EXPECT_EQ(host::DebugLogCount("error"), 1u);
    EXPECT_EQ(Verify(other, 40), 0) << "only the length is compared";

    recorder().ClearControls();
    sim().AddFault(
        {.fault = Fault::StallVendor, .skip = 2, .count = 1, .match = kVendorEepromRead});
    EXPECT_EQ(Verify(data, 64), 4);
    EXPECT_EQ(recorder().Controls(kVendorEepromRead).size(), 3u);
    EXPECT_EQ(host::DebugLogCount("read eeprom failed: 4"), 1u);
}

TEST_F(DeviceMethodsTest, EepromRequestsTheDriverRefuses) {
    const std::vector<uint8_t> data = Pattern(8192, 9);
    // A wrong magic fails the request and reaches nothing.
    Wire update = Eeprom(kMethodUpdateEeprom, 0, data, 16);
    ULONG returned = 3;
    EXPECT_EQ(Send(0, IOCTL_KS_METHOD, update, &returned), NTSTATUS(0xFFFFFFFF));
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(Verify(data, 16, 43500), std::nullopt);
    // Verify refuses more than the data field holds, update fails it.
    EXPECT_EQ(Verify(data, 8193), -1);
    EXPECT_EQ(Update(data, 8193), STATUS_INVALID_PARAMETER);
    // Nothing at all is a success that moves nothing.
    EXPECT_EQ(Update(data, 0), STATUS_SUCCESS);
    EXPECT_EQ(Verify(data, 0), 0);
    EXPECT_EQ(recorder().Controls(kVendorEepromWrite).size(), 0u);
    EXPECT_EQ(recorder().Controls(kVendorEepromRead).size(), 0u);
    EXPECT_EQ(host::DebugLogCount("update fx2 0, len 16"), 1u);
    EXPECT_EQ(host::DebugLogCount("verify fx2 43500, len 16"), 1u);
    EXPECT_EQ(host::DebugLogCount("write eeprom ending"), 1u);
}

TEST_F(DeviceMethodsTest, ConcurrentUpdatesFromTwoFiltersDoNotInterleave) {
    const std::vector<uint8_t> a = Pattern(512, 11), b = Pattern(512, 200);
    std::atomic<int> go{0};
    auto writer = [&](const std::vector<uint8_t>& data, ULONG channel) {
        go.fetch_add(1);
        while (go.load() < 2) {
        }
        EXPECT_EQ(Update(data, 512, channel), STATUS_SUCCESS);
    };
    std::thread first(writer, std::cref(a), 0), second(writer, std::cref(b), 3);
    first.join();
    second.join();
    // Two whole passes over the block, one after the other.
    auto writes = recorder().Controls(kVendorEepromWrite);
    ASSERT_EQ(writes.size(), 128u);
    for (size_t i = 0; i < writes.size(); ++i) {
        EXPECT_EQ(writes[i].address, (i % 64) * 8) << i;
    }
    const std::vector<uint8_t> eeprom = sim().Eeprom();
    const std::vector<uint8_t> block(eeprom.begin(), eeprom.begin() + 512);
    EXPECT_TRUE(block == a || block == b);
}

TEST_F(DeviceMethodsTest, MethodBuffersShorterThanTheirLayoutsAreRefusedBeforeAnyHandler) {
    struct {
        ULONG method;
        ULONG length;
        const char* log; // the handler's first message, which must not appear
    } const cases[] = {
        {kMethodSetAttribute, 39, "fixed standard 2"},
        {kMethodGetAttribute, 36, "get reg fixed standard 0"},
        {kMethodUpdateEeprom, 8223, "update fx2 43501, len 8"},
        {kMethodVerifyEeprom, 8231, "verify fx2 43501, len 8"},
        {kMethodGetVersion, 31, "GetVersion 2"},
        {kMethodGetSerial, 24, "GetSerial"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.method);
        Wire wire = MethodBuffer(c.method, 8232);
        wire.Put32(24, c.method <= kMethodGetAttribute ? 1
                       : c.method == kMethodGetVersion ? 2
                                                       : kEepromMagic);
        wire.Put32(28, 100);
        wire.Put32(32, 2);
        wire.Put32(8220, 8);
        ULONG returned = 5;
        EXPECT_EQ(Send(0, IOCTL_KS_METHOD, wire, &returned, c.length), STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(returned, 0u);
        EXPECT_EQ(host::DebugLogCount(c.log), 0u);
    }
    EXPECT_EQ(host::GetServiceDword(L"m4350av\\Parameters", L"FixedStandard"), std::nullopt);
    EXPECT_EQ(recorder().Controls(kVendorEepromWrite).size(), 0u);
}

} // namespace
} // namespace m4350test

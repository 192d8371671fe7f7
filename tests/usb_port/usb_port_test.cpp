// The USB layer against a fake lower stack: what goes on the bus, what comes
// back, and what is refused before anything is sent.
#include "driver_test.h"

#include "usb/usb_port.h"

#include <host/kernel.h>
#include <host/services.h>
#include <host/usb_bus.h>

#include <gtest/gtest.h>

#include <chrono>
#include <optional>

namespace m4350test {
namespace {

using namespace std::chrono_literals;

class UsbPortTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        dev.emplace();
    }
    void TearDown() override {
        dev.reset();
        DriverTest::TearDown();
    }
    CaptureDevice* device() { return dev->get(); }
    FakeUsbStack& stack() { return dev->stack(); }

    std::optional<TestDevice> dev;
    UCHAR packet[512] = {};
};

// Every operation refuses at once while the board is disconnected, each with
// its own result, and nothing reaches the stack.
TEST_F(UsbPortTest, DisconnectedOperationsSendNothing) {
    SetUsbPortConnected(&device()->usb, 0);
    URB urb{};
    struct Case {
        const char* name;
        LONG result;
        LONG expected;
    } cases[] = {
        {"CallUSBD", CallUSBD(device(), &urb, nullptr, nullptr, 500), STATUS_DEVICE_NOT_CONNECTED},
        {"AbortPipe", AbortPipe(device(), 0), STATUS_DEVICE_NOT_CONNECTED},
        {"ResetPipe", ResetPipe(device(), 1), STATUS_DEVICE_NOT_CONNECTED},
        {"VendorRequestTransfer", VendorRequestTransfer(device(), 0x40, 0, 1, nullptr, 0, TRUE),
         VendorNotConnected},
        {"DownloadBuffer", DownloadBuffer(device(), packet, sizeof(packet)),
         STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.result, c.expected) << c.name;
    }
    EXPECT_TRUE(stack().requests().empty());
    EXPECT_EQ(host::DebugLogCount("not connected"), 1u);
}

// The first request that finds the board unplugged clears the connected
// flag; from then on nothing is sent.
TEST_F(UsbPortTest, NotConnectedLatches) {
    stack().answer = [](const UsbRequest&) {
        return UsbAnswer::Complete(STATUS_DEVICE_NOT_CONNECTED);
    };
    EXPECT_EQ(VendorRequestTransfer(device(), 0x10, 0, 0, nullptr, 0, TRUE), VendorFailed);
    EXPECT_FALSE(UsbPortConnected(&device()->usb));
    EXPECT_EQ(stack().requests().size(), 1u);

    EXPECT_EQ(DownloadBuffer(device(), packet, sizeof(packet)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ResetPipe(device(), 0), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(VendorRequestTransfer(device(), 0x10, 0, 0, nullptr, 0, TRUE), VendorNotConnected);
    EXPECT_EQ(stack().requests().size(), 1u);
}

// A request that never finishes is cancelled at its time-out, and the call
// returns only once the stack has given the packet back.
TEST_F(UsbPortTest, HungRequestTimesOutAfterCancelCompletes) {
    host::SetTimeScale(0.001);
    stack().answer = [](const UsbRequest& r) {
        return r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER ? UsbAnswer::Hang()
                                                                     : UsbAnswer::Complete(0);
    };
    LONG result = DownloadBuffer(device(), packet, sizeof(packet));
    EXPECT_EQ(result, STATUS_IO_TIMEOUT);
    EXPECT_EQ(stack().cancelCount(), 1u);
    EXPECT_EQ(host::DebugLogCount("USBD timed out"), 1u);
    EXPECT_EQ(host::DebugLogCount("CallUSBD Time Out"), 1u);
    EXPECT_EQ(host::DebugLogCount("call USBD failed"), 1u);
    EXPECT_EQ(host::LiveIrpCount(), 0u);
    // A time-out is reported as it is: no pipe or port recovery follows.
    EXPECT_EQ(stack().count(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL), 0u);
    EXPECT_EQ(stack().count(URB_FUNCTION_ABORT_PIPE), 0u);
}

// A bulk write that fails for another reason than a time-out is followed by
// the recovery sequence on pipe 0; the port is aborted and reset only when it
// reports connected but not enabled.
TEST_F(UsbPortTest, FailedBulkWriteRecoversThePipe) {
    struct Case {
        ULONG portStatus;
        std::vector<ULONG> expected; // ioctl or URB function, in order after the write
    };
    const ULONG portIoctl = IOCTL_INTERNAL_USB_GET_PORT_STATUS;
    const ULONG resetPortIoctl = IOCTL_INTERNAL_USB_RESET_PORT;
    Case cases[] = {
        {USBD_PORT_CONNECTED,
         {portIoctl, URB_FUNCTION_ABORT_PIPE, resetPortIoctl,
          URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL}},
        {USBD_PORT_CONNECTED | USBD_PORT_ENABLED,
         {portIoctl, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL}},
        {0, {portIoctl, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL}},
    };
    for (const Case& c : cases) {
        stack().clear();
        stack().portStatus = c.portStatus;
        stack().answer = [](const UsbRequest& r) {
            return UsbAnswer::Complete(r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER
                                           ? STATUS_UNSUCCESSFUL
                                           : STATUS_SUCCESS);
        };
        EXPECT_EQ(DownloadBuffer(device(), packet, sizeof(packet)), STATUS_UNSUCCESSFUL);
        std::vector<UsbRequest> seen = stack().requests();
        ASSERT_EQ(seen.size(), c.expected.size() + 1) << "port status " << c.portStatus;
        EXPECT_EQ(seen[0].function, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
        for (size_t i = 0; i < c.expected.size(); ++i) {
            const UsbRequest& r = seen[i + 1];
            ULONG what = r.ioctl == IOCTL_INTERNAL_USB_SUBMIT_URB ? r.function : r.ioctl;
            EXPECT_EQ(what, c.expected[i]) << "port status " << c.portStatus << " step " << i;
            if (r.ioctl == IOCTL_INTERNAL_USB_SUBMIT_URB) {
                EXPECT_EQ(r.pipe, FakeUsbStack::PipeHandle(0));
            }
        }
    }
}

TEST_F(UsbPortTest, BulkWriteGoesToPipeZero) {
    for (size_t i = 0; i < sizeof(packet); ++i) {
        packet[i] = UCHAR(i * 7);
    }
    EXPECT_EQ(DownloadBuffer(device(), packet, sizeof(packet)), 0);
    auto writes = stack().requestsWith(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].pipe, FakeUsbStack::PipeHandle(0));
    EXPECT_EQ(writes[0].urbLength, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    EXPECT_EQ(writes[0].transferFlags, 0u);
    EXPECT_EQ(writes[0].data, std::vector<UCHAR>(packet, packet + sizeof(packet)));
}

TEST_F(UsbPortTest, DownloadBufferWithoutPipe) {
    ExFreePoolWithTag(device()->usb.interfaceCopy, InterfaceCopyTag);
    device()->usb.interfaceCopy = nullptr;
    EXPECT_EQ(DownloadBuffer(device(), packet, sizeof(packet)), DownloadNoInterface);
    EXPECT_EQ(host::DebugLogCount("M4350 fatal error"), 1u);

    dev.reset();
    dev.emplace();
    device()->usb.interfaceCopy->Pipes[0].PipeHandle = nullptr;
    EXPECT_EQ(DownloadBuffer(device(), packet, sizeof(packet)), DownloadNoPipeHandle);
    EXPECT_EQ(host::DebugLogCount("M4350  fatal"), 1u);
    EXPECT_EQ(host::DebugLogCount("Download Buffer : invalid pipe handle"), 1u);
    EXPECT_TRUE(stack().requests().empty());
}

TEST_F(UsbPortTest, PipeRequestsCheckTheirPipe) {
    ULONG pipes = device()->usb.interfaceCopy->NumberOfPipes;
    ASSERT_EQ(pipes, 2u);
    EXPECT_EQ(AbortPipe(device(), pipes), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ResetPipe(device(), pipes), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ResetPipe(device(), ULONG(-1)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(host::DebugLogCount("invalid pipe - Exiting"), 3u);
    EXPECT_TRUE(stack().requests().empty());

    EXPECT_EQ(AbortPipe(device(), 1), STATUS_SUCCESS);
    EXPECT_EQ(ResetPipe(device(), 1), STATUS_SUCCESS);
    auto seen = stack().requests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].function, URB_FUNCTION_ABORT_PIPE);
    EXPECT_EQ(seen[1].function, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL);
    for (const UsbRequest& r : seen) {
        EXPECT_EQ(r.pipe, FakeUsbStack::PipeHandle(1));
        EXPECT_EQ(r.urbLength, sizeof(struct _URB_PIPE_REQUEST));
    }

    ExFreePoolWithTag(device()->usb.interfaceCopy, InterfaceCopyTag);
    device()->usb.interfaceCopy = nullptr;
    EXPECT_EQ(AbortPipe(device(), 0), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(host::DebugLogCount("no interface info - Exiting"), 1u);
}

// The oldest stacks take a pipe request four bytes shorter.
TEST_F(UsbPortTest, OldStacksGetTheShortPipeRequest) {
    struct Case {
        ULONG usbdi;
        USHORT length;
        size_t messages;
    } cases[] = {{0x100, 36, 1}, {0x101, 40, 0}, {0x600, 40, 0}};
    for (const Case& c : cases) {
        stack().clear();
        host::ClearDebugLog();
        host::usb::SetUsbdiVersion(c.usbdi);
        EXPECT_EQ(ResetPipe(device(), 0), STATUS_SUCCESS);
        auto seen = stack().requests();
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].urbLength, c.length) << std::hex << c.usbdi;
        EXPECT_EQ(host::DebugLogCount("Detected OSR2.1"), c.messages) << std::hex << c.usbdi;
    }
    host::usb::SetUsbdiVersion(0x600);
}

TEST_F(UsbPortTest, VendorRequestOnTheWire) {
    UCHAR version[2] = {};
    EXPECT_EQ(VendorRequestTransfer(device(), 0x40, 0, 1, nullptr, 0, TRUE), VendorDone);
    EXPECT_EQ(VendorRequestTransfer(device(), 0x30, 7, 9, version, 2, FALSE), VendorDone);
    stack().answer = [](const UsbRequest&) { return UsbAnswer::Complete(STATUS_UNSUCCESSFUL); };
    EXPECT_EQ(VendorRequestTransfer(device(), 0x50, 0, 0, nullptr, 0, TRUE), VendorFailed);

    auto seen = stack().requestsWith(URB_FUNCTION_VENDOR_DEVICE);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].vendorRequest, 0x40);
    EXPECT_EQ(seen[0].value, 1);
    EXPECT_EQ(seen[0].transferFlags, 0u);
    EXPECT_EQ(seen[1].vendorRequest, 0x30);
    EXPECT_EQ(seen[1].index, 7);
    EXPECT_EQ(seen[1].value, 9);
    EXPECT_EQ(seen[1].transferFlags, ULONG(USBD_TRANSFER_DIRECTION_IN));
    EXPECT_EQ(seen[1].transferLength, 2u);
    EXPECT_EQ(seen[2].urbLength, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
}

TEST_F(UsbPortTest, PortStatusIsZeroOnFailure) {
    stack().portStatus = USBD_PORT_CONNECTED;
    EXPECT_EQ(GetPortStatus(device()), ULONG(USBD_PORT_CONNECTED));
    stack().answer = [](const UsbRequest&) { return UsbAnswer::Complete(STATUS_UNSUCCESSFUL); };
    EXPECT_EQ(GetPortStatus(device()), 0u);
}

TEST_F(UsbPortTest, AllocationFailuresAreReported) {
    ULONG tag = UsbRequestTag;
    host::FailAllocationsWithTag(tag);
    EXPECT_EQ(VendorRequestTransfer(device(), 0x40, 0, 1, nullptr, 0, TRUE), VendorNoMemory);
    EXPECT_EQ(host::DebugLogCount("VendorRequestTransfer : Unable to alloc URB"), 1u);
    EXPECT_EQ(DownloadBuffer(device(), packet, sizeof(packet)), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(host::DebugLogCount("Download Buffer : Unable to alloc URB"), 1u);
    EXPECT_EQ(AbortPipe(device(), 0), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(ConfigureDevice(device()), -1);
    EXPECT_EQ(host::DebugLogCount("failed mem urb bus "), 1u);
    Deconfigure(device());
    EXPECT_EQ(host::DebugLogCount("Failed to allocate urb"), 1u);
    host::ClearPoolFaults();
    EXPECT_TRUE(stack().requests().empty());

    // A packet that cannot be allocated is a failed submission.
    host::FailAllocationsWithTag(host::PoolTag("Irp "));
    EXPECT_EQ(VendorRequestTransfer(device(), 0x40, 0, 1, nullptr, 0, TRUE), VendorFailed);
    host::ClearPoolFaults();
}

// --- Configuration ---------------------------------------------------------

class UsbConfigurationTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        dev.emplace(true, false);
    }
    void TearDown() override {
        dev.reset();
        DriverTest::TearDown();
    }
    CaptureDevice* device() { return dev->get(); }
    FakeUsbStack& stack() { return dev->stack(); }
    std::optional<TestDevice> dev;
};

TEST_F(UsbConfigurationTest, SelectsFirstInterfaceAndKeepsItsPipes) {
    EXPECT_EQ(ConfigureDevice(device()), 0);
    EXPECT_EQ(device()->usb.fullSpeed, 0);
    PUSBD_INTERFACE_INFORMATION copy = device()->usb.interfaceCopy;
    ASSERT_NE(copy, nullptr);
    ASSERT_EQ(copy->NumberOfPipes, 2u);
    EXPECT_EQ(copy->Pipes[0].PipeHandle, FakeUsbStack::PipeHandle(0));
    EXPECT_EQ(copy->Pipes[1].PipeHandle, FakeUsbStack::PipeHandle(1));

    auto descriptors = stack().requestsWith(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    ASSERT_EQ(descriptors.size(), 3u);
    EXPECT_EQ(descriptors[0].descriptorType, USB_DEVICE_DESCRIPTOR_TYPE);
    EXPECT_EQ(descriptors[0].transferLength, 18u);
    EXPECT_EQ(descriptors[1].transferLength, 9u);
    EXPECT_EQ(descriptors[2].transferLength, stack().configuration.size());

    auto selects = stack().requestsWith(URB_FUNCTION_SELECT_CONFIGURATION);
    ASSERT_EQ(selects.size(), 1u);
    EXPECT_EQ(selects[0].maxTransferSizes, (std::vector<ULONG>{4096, 4096}));
}

// A board on a USB 1.x port reports 64-byte packets on its bulk pipes.
TEST_F(UsbConfigurationTest, SmallPacketsMarkFullSpeed) {
    struct Case {
        USHORT packet;
        UCHAR fullSpeed;
    } cases[] = {{64, 1}, {511, 1}, {512, 0}};
    for (const Case& c : cases) {
        device()->usb.fullSpeed = 0;
        stack().pipe0MaxPacket = c.packet;
        ConfigureDevice(device());
        EXPECT_EQ(device()->usb.fullSpeed, c.fullSpeed) << c.packet;
    }
}

// A later selection reuses the copy when it fits and replaces it when the
// new interface has more pipes.
TEST_F(UsbConfigurationTest, InterfaceCopyGrowsWithTheInterface) {
    ASSERT_EQ(ConfigureDevice(device()), 0);
    stack().configuration = FakeUsbStack::DefaultConfiguration(6);
    ASSERT_EQ(ConfigureDevice(device()), 0);
    PUSBD_INTERFACE_INFORMATION copy = device()->usb.interfaceCopy;
    ASSERT_EQ(copy->NumberOfPipes, 6u);
    EXPECT_EQ(copy->Pipes[5].PipeHandle, FakeUsbStack::PipeHandle(5));
    EXPECT_EQ(host::PoolLiveCount(InterfaceCopyTag), 1u);
}

// A descriptor that announces more interfaces than it holds, or whose length
// leaves no room for any, is searched only as far as it reaches.
TEST_F(UsbConfigurationTest, MalformedDescriptorsEndTheSearch) {
    std::vector<UCHAR> lying = FakeUsbStack::DefaultConfiguration(2);
    lying[4] = 3; // three interfaces announced, one present
    stack().configuration = lying;
    EXPECT_EQ(ConfigureDevice(device()), 0);
    EXPECT_NE(device()->usb.interfaceCopy, nullptr);

    stack().clear();
    std::vector<UCHAR> bare = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 9, 0, 1, 1, 0, 0x80, 50};
    stack().configuration = bare;
    EXPECT_EQ(ConfigureDevice(device()), -1);
    auto descriptors = stack().requestsWith(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    ASSERT_EQ(descriptors.size(), 3u);
    EXPECT_EQ(descriptors[1].transferLength, 9u);
    EXPECT_EQ(descriptors[2].transferLength, 9u);
    // The request is never built for it, so its builder is not blamed.
    EXPECT_EQ(host::DebugLogCount("no interface in the configuration descriptor"), 1u);
    EXPECT_EQ(host::DebugLogCount("USBD_CreateConfigurationRequestEx failed"), 0u);
    EXPECT_TRUE(stack().requestsWith(URB_FUNCTION_SELECT_CONFIGURATION).empty());

    stack().clear();
    std::vector<UCHAR> tooShort = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 4, 0, 1, 1, 0, 0x80, 50};
    stack().configuration = tooShort;
    EXPECT_EQ(ConfigureDevice(device()), -1);
    EXPECT_EQ(stack().requestsWith(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE).size(), 2u);
}

// Without memory for the copy the interface stays absent, so that every pipe
// operation refuses instead of using a stale one.
TEST_F(UsbConfigurationTest, NoMemoryForTheCopyLeavesItAbsent) {
    host::FailAllocationsWithTag(InterfaceCopyTag);
    EXPECT_EQ(ConfigureDevice(device()), -1);
    host::ClearPoolFaults();
    EXPECT_EQ(device()->usb.interfaceCopy, nullptr);
    EXPECT_EQ(ResetPipe(device(), 0), STATUS_UNSUCCESSFUL);
}

TEST_F(UsbConfigurationTest, DeconfigureSelectsNoConfiguration) {
    Deconfigure(device());
    auto selects = stack().requestsWith(URB_FUNCTION_SELECT_CONFIGURATION);
    ASSERT_EQ(selects.size(), 1u);
    EXPECT_TRUE(selects[0].nullConfiguration);
    EXPECT_EQ(selects[0].urbLength, 88);

    stack().answer = [](const UsbRequest&) { return UsbAnswer::Complete(STATUS_UNSUCCESSFUL); };
    Deconfigure(device());
    EXPECT_EQ(host::DebugLogCount("Failed to deconfigure device"), 1u);
}

} // namespace
} // namespace m4350test

// The USB layer's requests that pend: an asynchronous submission holds the
// remove lock for its packet until its completion routine lets it go, and a
// port status query that the stack answers later is waited for.
#include "driver_test.h"
#include "read_stack.h"

#include "usb/usb_port.h"

#include <host/kernel.h>

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <thread>

namespace m4350test {
namespace {

class UsbPortPendingTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        dev.emplace();
        RtlZeroMemory(&urb, sizeof(urb));
        urb.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        urb.UrbHeader.Length = sizeof(urb);
        urb.UrbBulkOrInterruptTransfer.PipeHandle = ReadStack::PipeHandle(StreamPipe);
        urb.UrbBulkOrInterruptTransfer.TransferBuffer = buffer;
        urb.UrbBulkOrInterruptTransfer.TransferBufferLength = sizeof(buffer);
        urb.UrbBulkOrInterruptTransfer.TransferFlags = USBD_TRANSFER_DIRECTION_IN;
    }
    void TearDown() override {
        dev.reset();
        DriverTest::TearDown();
    }
    CaptureDevice* device() { return dev->get(); }
    LONG LockCount() { return device()->usb.removeLock.Common.IoCount; }

    // What the read pipe's completion does with a packet it owns: frees it
    // and gives back the reference taken for it, with the packet as tag.
    struct Completion {
        CaptureDevice* device = nullptr;
        std::atomic<int> calls{0};
        NTSTATUS status = STATUS_PENDING;
        LONG lockCountInside = 0;
    };
    static NTSTATUS Complete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
        auto* c = static_cast<Completion*>(context);
        c->status = irp->IoStatus.Status;
        c->lockCountInside = c->device->usb.removeLock.Common.IoCount;
        IoFreeIrp(irp);
        IoReleaseRemoveLockEx(&c->device->usb.removeLock, irp, RemoveLockSize);
        c->calls += 1;
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    std::optional<ReadStackDevice> dev;
    URB urb;
    UCHAR buffer[64] = {};
};

// The reference is the packet's from the submission until the completion
// releases it with the packet as tag; the call itself returns at once.
TEST_F(UsbPortPendingTest, AsynchronousSubmissionHoldsTheRemoveLockForItsPacket) {
    Completion completion;
    completion.device = device();
    EXPECT_EQ(LockCount(), 1);
    BOOLEAN sent = FALSE;
    EXPECT_EQ(CallUSBD(device(), &urb, Complete, &completion, 0, &sent), STATUS_PENDING);
    EXPECT_TRUE(sent);
    EXPECT_EQ(dev->stack().pending(), 1u);
    EXPECT_EQ(LockCount(), 2);
    EXPECT_EQ(completion.calls, 0);

    std::vector<UCHAR> data = {1, 2, 3};
    ASSERT_TRUE(dev->stack().Complete(buffer, STATUS_SUCCESS, data));
    EXPECT_EQ(completion.calls, 1);
    EXPECT_EQ(completion.status, STATUS_SUCCESS);
    EXPECT_EQ(completion.lockCountInside, 2) << "released before the routine ran";
    EXPECT_EQ(LockCount(), 1);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 3u);
    EXPECT_EQ(host::LiveIrpCount(), 0u);
}

// Once the device's stop has drained the lock, nothing more is sent and the
// packet is not leaked; the caller still owns its URB.
TEST_F(UsbPortPendingTest, AsynchronousSubmissionAfterTheDrainIsRefused) {
    IO_REMOVE_LOCK* lock = &device()->usb.removeLock;
    ASSERT_EQ(IoAcquireRemoveLockEx(lock, this, __FILE__, __LINE__, RemoveLockSize),
              STATUS_SUCCESS);
    IoReleaseRemoveLockAndWaitEx(lock, this, RemoveLockSize);

    Completion completion;
    completion.device = device();
    BOOLEAN sent = TRUE;
    EXPECT_EQ(CallUSBD(device(), &urb, Complete, &completion, 0, &sent), STATUS_DELETE_PENDING);
    EXPECT_FALSE(sent);
    EXPECT_EQ(dev->stack().reads(), 0u);
    EXPECT_EQ(completion.calls, 0);
    EXPECT_EQ(host::LiveIrpCount(), 0u);
}

// A port status the stack answers later is waited for, and its bits are the
// ones the stack reported then.
TEST_F(UsbPortPendingTest, PendingPortStatusIsWaitedFor) {
    dev->stack().HoldPortStatus();
    std::atomic<bool> done{false};
    ULONG bits = 0;
    std::thread query([&] {
        bits = GetPortStatus(device());
        done = true;
    });
    ASSERT_TRUE(dev->stack().WaitPortStatusHeld());
    EXPECT_FALSE(done);
    dev->stack().ReleasePortStatus();
    query.join();
    EXPECT_EQ(bits, ULONG(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));
    EXPECT_EQ(host::LiveIrpCount(), 0u);
}

} // namespace
} // namespace m4350test

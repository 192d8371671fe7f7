// A lower USB stack for unit tests of the read pipe and the firmware
// download: bulk-in reads on the stream pipe stay pending until the test
// completes them, one by one, with the status and bytes it chooses; abort
// cancels them as the real stack does. Everything else completes at once.
#pragma once

#include <wdm.h>
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include "device/capture_device.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace m4350test {

class ReadStack {
public:
    ReadStack();
    ~ReadStack();
    ReadStack(const ReadStack&) = delete;
    ReadStack& operator=(const ReadStack&) = delete;

    PDEVICE_OBJECT device() const { return device_; }

    static USBD_PIPE_HANDLE PipeHandle(ULONG index) {
        return reinterpret_cast<USBD_PIPE_HANDLE>(uintptr_t(0x2000 + index));
    }

    // Reads pending on the stream pipe.
    size_t pending() const;
    // Waits, bounded, until exactly `count` reads are pending.
    bool WaitPending(size_t count, std::chrono::milliseconds bound = std::chrono::seconds(10));
    // Reads submitted so far, and the bulk-in URB of the last one.
    size_t reads() const;
    ULONG lastReadLength() const;
    ULONG lastReadFlags() const;
    USHORT lastReadUrbLength() const;

    // Completes the pending read whose buffer is `buffer` (or the oldest for
    // null) at dispatch level, as the bus does, after copying `data` into it.
    // False when no such read is pending.
    bool Complete(const void* buffer, NTSTATUS status, const std::vector<UCHAR>& data = {});

    // From now on every request fails with STATUS_DEVICE_NOT_CONNECTED;
    // pending reads complete so at once.
    void Unplug();

    // The next `count` bulk-in reads do not pend: the stack completes each at
    // once, inside the submission, with `status`, as a stack does that finds
    // the pipe stalled.
    void FailNextReads(size_t count, NTSTATUS status);

    // While held, port status queries pend until ReleasePortStatus completes
    // them (with the port enabled and connected).
    void HoldPortStatus();
    bool WaitPortStatusHeld(std::chrono::milliseconds bound = std::chrono::seconds(10));
    void ReleasePortStatus();

    // Bulk-out transfers on the command pipe, as sent.
    std::vector<std::vector<UCHAR>> writes() const;
    // Called for each bulk-out transfer (after it is recorded), before it
    // completes; its result is the transfer's status.
    std::function<NTSTATUS(const std::vector<UCHAR>&)> onWrite;

    size_t count(USHORT function, ULONG pipe) const;
    size_t vendorRequests(UCHAR request) const;

private:
    struct Pending {
        PIRP irp;
        PURB urb;
    };
    static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp);
    static VOID Cancel(PDEVICE_OBJECT device, PIRP irp);
    NTSTATUS Handle(PIRP irp);
    void Finish(PIRP irp, NTSTATUS status);
    std::vector<Pending> TakeAll();

    DRIVER_OBJECT driver_{};
    PDEVICE_OBJECT device_ = nullptr;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Pending> pending_;
    bool unplugged_ = false;
    size_t failReads_ = 0;
    NTSTATUS failStatus_ = STATUS_SUCCESS;
    bool holdPortStatus_ = false;
    std::vector<PIRP> heldPortStatus_;
    size_t reads_ = 0;
    ULONG lastReadLength_ = 0;
    ULONG lastReadFlags_ = 0;
    USHORT lastReadUrbLength_ = 0;
    std::vector<std::vector<UCHAR>> writes_;
    struct Seen {
        USHORT function;
        ULONG pipe;
        UCHAR vendor;
    };
    std::vector<Seen> seen_;
};

// A CaptureDevice on a ReadStack, configured with a command and a stream
// pipe and connected, as Start leaves it before the Board is created.
class ReadStackDevice {
public:
    ReadStackDevice();
    ~ReadStackDevice();
    CaptureDevice* get() { return device_.get(); }
    CaptureDevice* operator->() { return device_.get(); }
    ReadStack& stack() { return stack_; }

private:
    ReadStack stack_;
    std::unique_ptr<CaptureDevice> device_;
};

} // namespace m4350test

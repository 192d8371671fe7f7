#include "read_stack.h"

#include "device/pool_tags.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace m4350test {

namespace {

ReadStack* StackOf(PDEVICE_OBJECT device) {
    return *static_cast<ReadStack**>(device->DeviceExtension);
}

ULONG PipeIndex(USBD_PIPE_HANDLE handle) {
    return ULONG(reinterpret_cast<uintptr_t>(handle) - 0x2000);
}

} // namespace

ReadStack::ReadStack() {
    driver_.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
    if (!NT_SUCCESS(IoCreateDevice(&driver_, sizeof(ReadStack*), nullptr, FILE_DEVICE_UNKNOWN, 0,
                                   FALSE, &device_))) {
        throw std::runtime_error("ReadStack: IoCreateDevice failed");
    }
    *static_cast<ReadStack**>(device_->DeviceExtension) = this;
}

ReadStack::~ReadStack() {
    ReleasePortStatus();
    for (const Pending& p : TakeAll()) {
        Finish(p.irp, STATUS_CANCELLED);
    }
    IoDeleteDevice(device_);
}

size_t ReadStack::pending() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pending_.size();
}

bool ReadStack::WaitPending(size_t count, std::chrono::milliseconds bound) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, bound, [&] { return pending_.size() == count; });
}

size_t ReadStack::reads() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return reads_;
}

ULONG ReadStack::lastReadLength() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastReadLength_;
}

ULONG ReadStack::lastReadFlags() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastReadFlags_;
}

USHORT ReadStack::lastReadUrbLength() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastReadUrbLength_;
}

std::vector<std::vector<UCHAR>> ReadStack::writes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return writes_;
}

size_t ReadStack::count(USHORT function, ULONG pipe) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return size_t(std::count_if(seen_.begin(), seen_.end(), [&](const Seen& s) {
        return s.function == function && s.pipe == pipe;
    }));
}

size_t ReadStack::vendorRequests(UCHAR request) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return size_t(std::count_if(seen_.begin(), seen_.end(), [&](const Seen& s) {
        return s.function == URB_FUNCTION_VENDOR_DEVICE && s.vendor == request;
    }));
}

// The bus completes from its own context at dispatch level.
void ReadStack::Finish(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    KeLowerIrql(old);
}

// Takes every pending read whose cancel routine could still be cleared; a
// read being cancelled right now is left to its cancel routine.
std::vector<ReadStack::Pending> ReadStack::TakeAll() {
    std::vector<Pending> taken;
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (IoSetCancelRoutine(it->irp, nullptr)) {
            taken.push_back(*it);
            it = pending_.erase(it);
        } else {
            ++it;
        }
    }
    changed_.notify_all();
    return taken;
}

bool ReadStack::Complete(const void* buffer, NTSTATUS status, const std::vector<UCHAR>& data) {
    Pending found{};
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = std::find_if(pending_.begin(), pending_.end(), [&](const Pending& p) {
            return !buffer || p.urb->UrbBulkOrInterruptTransfer.TransferBuffer == buffer;
        });
        if (it == pending_.end() || !IoSetCancelRoutine(it->irp, nullptr)) {
            return false;
        }
        found = *it;
        pending_.erase(it);
        changed_.notify_all();
    }
    auto& bulk = found.urb->UrbBulkOrInterruptTransfer;
    ULONG n = std::min<ULONG>(bulk.TransferBufferLength, ULONG(data.size()));
    if (NT_SUCCESS(status)) {
        if (n) {
            std::memcpy(bulk.TransferBuffer, data.data(), n);
        }
        bulk.TransferBufferLength = n;
    } else {
        bulk.TransferBufferLength = 0;
    }
    Finish(found.irp, status);
    return true;
}

void ReadStack::FailNextReads(size_t count, NTSTATUS status) {
    std::lock_guard<std::mutex> lock(mutex_);
    failReads_ = count;
    failStatus_ = status;
}

void ReadStack::HoldPortStatus() {
    std::lock_guard<std::mutex> lock(mutex_);
    holdPortStatus_ = true;
}

bool ReadStack::WaitPortStatusHeld(std::chrono::milliseconds bound) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, bound, [&] { return !heldPortStatus_.empty(); });
}

void ReadStack::ReleasePortStatus() {
    std::vector<PIRP> held;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        holdPortStatus_ = false;
        held.swap(heldPortStatus_);
    }
    for (PIRP irp : held) {
        *static_cast<PULONG>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1) =
            USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
        Finish(irp, STATUS_SUCCESS);
    }
}

void ReadStack::Unplug() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        unplugged_ = true;
    }
    for (const Pending& p : TakeAll()) {
        Finish(p.irp, STATUS_DEVICE_NOT_CONNECTED);
    }
}

NTSTATUS ReadStack::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    return StackOf(device)->Handle(irp);
}

VOID ReadStack::Cancel(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    ReadStack* stack = StackOf(device);
    {
        std::lock_guard<std::mutex> lock(stack->mutex_);
        auto it = std::find_if(stack->pending_.begin(), stack->pending_.end(),
                               [&](const Pending& p) { return p.irp == irp; });
        if (it != stack->pending_.end()) {
            stack->pending_.erase(it);
        }
        stack->changed_.notify_all();
    }
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS ReadStack::Handle(PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    ULONG code = location->Parameters.DeviceIoControl.IoControlCode;
    bool unplugged;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        unplugged = unplugged_;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (unplugged) {
        status = STATUS_DEVICE_NOT_CONNECTED;
    } else if (code == IOCTL_INTERNAL_USB_GET_PORT_STATUS) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (holdPortStatus_) {
                IoMarkIrpPending(irp);
                heldPortStatus_.push_back(irp);
                changed_.notify_all();
                return STATUS_PENDING;
            }
        }
        *static_cast<PULONG>(location->Parameters.Others.Argument1) =
            USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
    } else if (code == IOCTL_INTERNAL_USB_SUBMIT_URB) {
        auto urb = static_cast<PURB>(location->Parameters.Others.Argument1);
        USHORT function = urb->UrbHeader.Function;
        Seen seen{function, ~0u, 0};
        if (function == URB_FUNCTION_ABORT_PIPE ||
            function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL) {
            seen.pipe = PipeIndex(urb->UrbPipeRequest.PipeHandle);
        } else if (function == URB_FUNCTION_VENDOR_DEVICE) {
            seen.vendor = urb->UrbControlVendorClassRequest.Request;
        } else if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
            seen.pipe = PipeIndex(urb->UrbBulkOrInterruptTransfer.PipeHandle);
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            seen_.push_back(seen);
        }
        if (function == URB_FUNCTION_ABORT_PIPE && seen.pipe == StreamPipe) {
            for (const Pending& p : TakeAll()) {
                Finish(p.irp, STATUS_CANCELLED);
            }
        } else if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
            auto& bulk = urb->UrbBulkOrInterruptTransfer;
            if (bulk.TransferFlags & USBD_TRANSFER_DIRECTION_IN) {
                std::unique_lock<std::mutex> lock(mutex_);
                ++reads_;
                lastReadLength_ = bulk.TransferBufferLength;
                lastReadFlags_ = bulk.TransferFlags;
                lastReadUrbLength_ = urb->UrbHeader.Length;
                if (failReads_) {
                    --failReads_;
                    bulk.TransferBufferLength = 0;
                    irp->IoStatus.Status = failStatus_;
                    NTSTATUS failed = failStatus_;
                    // Completed by the caller's thread, at its IRQL, as a
                    // stack that refuses a request at once does.
                    lock.unlock();
                    IoCompleteRequest(irp, IO_NO_INCREMENT);
                    return failed;
                }
                IoMarkIrpPending(irp);
                IoSetCancelRoutine(irp, Cancel);
                if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
                    irp->IoStatus.Status = STATUS_CANCELLED;
                    IoCompleteRequest(irp, IO_NO_INCREMENT);
                } else {
                    pending_.push_back({irp, urb});
                    changed_.notify_all();
                }
                return STATUS_PENDING;
            }
            auto* bytes = static_cast<const UCHAR*>(bulk.TransferBuffer);
            std::vector<UCHAR> data(bytes, bytes + bulk.TransferBufferLength);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                writes_.push_back(data);
            }
            if (onWrite) {
                status = onWrite(data);
            }
        }
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

ReadStackDevice::ReadStackDevice() : device_(new CaptureDevice{}) {
    UsbPort* port = &device_->usb;
    port->lowerDevice = stack_.device();
    port->workItemDevice = stack_.device();
    IoInitializeRemoveLockEx(&port->removeLock, 0, 0, 0, RemoveLockSize);
    SetUsbPortConnected(port, 1);

    ULONG size = sizeof(USBD_INTERFACE_INFORMATION) + sizeof(USBD_PIPE_INFORMATION);
    auto* info = static_cast<PUSBD_INTERFACE_INFORMATION>(
        ExAllocatePoolWithTag(NonPagedPool, size, InterfaceCopyTag));
    std::memset(info, 0, size);
    info->Length = USHORT(size);
    info->NumberOfPipes = 2;
    for (ULONG i = 0; i < 2; ++i) {
        info->Pipes[i].PipeHandle = ReadStack::PipeHandle(i);
        info->Pipes[i].MaximumPacketSize = 512;
        info->Pipes[i].PipeType = UsbdPipeTypeBulk;
    }
    port->interfaceCopy = info;
}

ReadStackDevice::~ReadStackDevice() {
    if (device_->usb.interfaceCopy) {
        ExFreePoolWithTag(device_->usb.interfaceCopy, InterfaceCopyTag);
    }
}

} // namespace m4350test

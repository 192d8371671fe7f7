#include "usb/read_pipe.h"

#include "board/board.h"
#include "device/capture_device.h"
#include "device/pool_tags.h"
#include "usb/read_request.h"
#include "usb/usb_port.h"

namespace {

void LogPrefix() {
    DbgPrint("mx4350: ");
}

ULONG Running(ReadRequest* request) {
    return ULONG(
        InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(&request->running), 0, 0));
}

void SetRunning(ReadRequest* request, ULONG value) {
    InterlockedExchange(reinterpret_cast<volatile LONG*>(&request->running), LONG(value));
}

void SignalStop(PKEVENT event) {
    if (event) {
        KeSetEvent(event, 1, FALSE);
    }
}

// The stack overwrites the length with the count received, so the block is
// built anew before every submission.
void BuildReadUrb(ReadRequest* request) {
    PURB urb = request->urb;
    urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->UrbHeader.Length = USHORT(request->urbLength);
    urb->UrbBulkOrInterruptTransfer.PipeHandle = request->pipeHandle;
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength =
        request->transferLength <= request->bufferSize ? request->transferLength
                                                       : request->bufferSize;
    urb->UrbBulkOrInterruptTransfer.TransferBufferMDL = nullptr;
    urb->UrbBulkOrInterruptTransfer.TransferBuffer = request->buffer;
    urb->UrbBulkOrInterruptTransfer.TransferFlags = request->transferFlags;
    urb->UrbBulkOrInterruptTransfer.UrbLink = nullptr;
}

NTSTATUS Submit(ReadRequest* request) {
    BuildReadUrb(request);
    return CallUSBD(request->device, request->urb, ReadComplete, request, 0);
}

// The packet is done with: its remove-lock reference goes, then the packet.
// The packet is freed last so that a packet allocated meanwhile for the
// resubmission can never carry the same tag while this reference is held.
void FinishPacket(CaptureDevice* device, PIRP irp) {
    IoReleaseRemoveLockEx(&device->usb.removeLock, irp, RemoveLockSize);
    IoFreeIrp(irp);
}

VOID RecoverWorkItem(PDEVICE_OBJECT, PVOID context) {
    RecoverFromError(static_cast<ReadRequest*>(context));
}

// Nothing of the request may be touched after its stop event is set: the
// read pipe's stop may then free its request block and the Board with it.
NTSTATUS EndWithPacket(ReadRequest* request, PIRP irp) {
    CaptureDevice* device = request->device;
    PKEVENT stopEvent = request->stopEvent;
    FinishPacket(device, irp);
    SignalStop(stopEvent);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

NTSTATUS ReadStream(CaptureDevice* device) {
    Board* board = device ? device->board : nullptr;
    if (!board) {
        return 1;
    }
    for (ULONG s = 0; s < ReadRequestCount; ++s) {
        ReadRequest* request = &board->readRequests[s];
        request->transferFlags = USBD_TRANSFER_DIRECTION_IN;
        request->errorCount = 0;
        request->slot = s;
        request->urbLength = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
        if (request->urb) {
            // Still running from an earlier start: it already has its packet.
            if (Running(request)) {
                continue;
            }
            ExFreePoolWithTag(request->urb, UsbRequestTag);
            request->urb = nullptr;
        }
        request->urb = static_cast<PURB>(ExAllocatePoolWithTag(
            NonPagedPoolNx, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), UsbRequestTag));
        if (request->stopEvent) {
            KeClearEvent(request->stopEvent);
        }
        if (!request->urb) {
            // The slot stays idle: nothing is in flight that a stop would
            // have to wait for.
            LogPrefix();
            DbgPrint("ReadStream : Unable to alloc URB");
            SignalStop(request->stopEvent);
            return STATUS_NO_MEMORY;
        }
        RtlZeroMemory(request->urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
        SetRunning(request, 1);
        NTSTATUS status = Submit(request);
        if (!NT_SUCCESS(status)) {
            // Never sent, or already ended by its completion: either way the
            // request is not running any more.
            SetRunning(request, 0);
            SignalStop(request->stopEvent);
            return 1;
        }
    }
    return 0;
}

NTSTATUS ReadComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
    auto* request = static_cast<ReadRequest*>(context);
    CaptureDevice* device = request->device;

    if (!Running(request)) {
        // Stopped meanwhile: the data of this read is dropped.
        return EndWithPacket(request, irp);
    }

    NTSTATUS status = irp->IoStatus.Status;
    if (status == STATUS_SUCCESS) {
        if (request->dataHandler) {
            request->dataHandler(request->board, request);
        }
        request->errorCount = 0;
        if (!Running(request)) {
            // Stopped while the block was parsed: nothing more will complete
            // for this request, so it ends here rather than let the stop wait
            // its full time-out.
            return EndWithPacket(request, irp);
        }
        NTSTATUS resubmit = Submit(request);
        if (!NT_SUCCESS(resubmit)) {
            DbgPrint("!!!!!!callusbd failed %x!!!!!!!!!!!\n", resubmit);
            return EndWithPacket(request, irp);
        }
        FinishPacket(device, irp);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    if (status == STATUS_CANCELLED || status == STATUS_DEVICE_NOT_CONNECTED) {
        DbgPrint("IRP cancelled ReadPipee");
        return EndWithPacket(request, irp);
    }

    DbgPrint("pipe error\n");
    if (irp->Cancel) {
        return EndWithPacket(request, irp);
    }
    request->errorCount += 1;
    DbgPrint("pipe error,not cancelled\n");
    PDEVICE_OBJECT workItemDevice = device->usb.workItemDevice;
    if (!workItemDevice) {
        DbgPrint("no device object. unplugged board without stopping stream first?\n");
        return EndWithPacket(request, irp);
    }
    PIO_WORKITEM workItem = IoAllocateWorkItem(workItemDevice);
    if (!workItem) {
        DbgPrint("pipe error: no work item for recovery, stopping request\n");
        return EndWithPacket(request, irp);
    }
    // The packet and its remove-lock reference stay until the recovery has
    // resubmitted: the lock never drops to zero in between.
    request->workItem = workItem;
    request->failedIrp = irp;
    request->recoveryPipe = StreamPipe;
    IoQueueWorkItem(workItem, RecoverWorkItem, CriticalWorkQueue, request);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void RecoverFromError(ReadRequest* request) {
    CaptureDevice* device = request->device;
    RecoverPipe(device, request->recoveryPipe);

    // The work item is freed last: until then it shows that the recovery
    // still runs, and whoever waits for the work items waits for all of it.
    PIO_WORKITEM workItem = request->workItem;
    request->workItem = nullptr;
    PIRP failed = request->failedIrp;
    request->failedIrp = nullptr;

    bool ended = true;
    if (Running(request)) {
        if (request->errorCount >= ReadErrorLimit) {
            DbgPrint("[RecoverFromError]: too many errors. Stopping pipe\n");
        } else {
            NTSTATUS status = Submit(request);
            if (!NT_SUCCESS(status)) {
                DbgPrint("!callusbd failed inside recover %x stopping pipe!\n", status);
            } else {
                ended = false;
            }
        }
    }
    // Stopped while the recovery was pending: the request ends here, so the
    // stop does not have to give up on it after a time-out.
    PKEVENT stopEvent = request->stopEvent;
    FinishPacket(device, failed);
    IoFreeWorkItem(workItem);
    if (ended) {
        SignalStop(stopEvent);
    }
}

void StopReadPipe(CaptureDevice* device) {
    DbgPrint("m4350: stopping read pipe\n");
    Board* board = device ? device->board : nullptr;
    if (!board) {
        return;
    }
    for (ULONG i = 0; i < ReadRequestCount; ++i) {
        ReadRequest* request = &board->readRequests[i];
        if (Running(request)) {
            SetRunning(request, 0);
            InterlockedExchange(reinterpret_cast<volatile LONG*>(&request->stopPending), 1);
        }
    }

    // The abort completes the outstanding reads as cancelled; their
    // completions signal the stop events.
    AbortPipe(device, StreamPipe);
    ResetPipe(device, StreamPipe);

    LARGE_INTEGER timeout;
    timeout.QuadPart = -10000000; // one second
    for (ULONG i = 0; i < ReadRequestCount; ++i) {
        ReadRequest* request = &board->readRequests[i];
        if (!request->stopPending) {
            continue;
        }
        // The requests are waited for also when the board is gone: an
        // unplugged bus fails every read at once, but the completions may
        // still be running, and the request block must outlive them.
        if (request->stopEvent &&
            KeWaitForSingleObject(request->stopEvent, Executive, KernelMode, FALSE, &timeout) ==
                STATUS_TIMEOUT &&
            UsbPortConnected(&device->usb)) {
            // A completion that saw the request running just before it was
            // stopped may have resubmitted after the abort: abort again.
            AbortPipe(device, StreamPipe);
            KeWaitForSingleObject(request->stopEvent, Executive, KernelMode, FALSE, &timeout);
        }
        InterlockedExchange(reinterpret_cast<volatile LONG*>(&request->stopPending), 0);
    }

    for (ULONG i = 0; i < ReadRequestCount; ++i) {
        ReadRequest* request = &board->readRequests[i];
        if (request->urb) {
            ExFreePoolWithTag(request->urb, UsbRequestTag);
            request->urb = nullptr;
        }
    }
}

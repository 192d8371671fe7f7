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

// Sends the request's read. TRUE when the packet reached the stack: its
// completion then owns the request, whatever the status says, and may
// already have run. FALSE when nothing was sent and the caller still owns it.
BOOLEAN Submit(ReadRequest* request, NTSTATUS* status) {
    BuildReadUrb(request);
    BOOLEAN sent = FALSE;
    *status = CallUSBD(request->device, request->urb, ReadComplete, request, 0, &sent);
    return sent;
}

// A packet that is done with goes, and its remove-lock reference last: after
// the release the device's stop may go on, so nothing is touched afterwards.
void FinishPacket(CaptureDevice* device, PIRP irp) {
    IoFreeIrp(irp);
    IoReleaseRemoveLockEx(&device->usb.removeLock, irp, RemoveLockSize);
}

VOID RecoverWorkItem(PDEVICE_OBJECT, PVOID context) {
    RecoverFromError(static_cast<ReadRequest*>(context));
}

// The one end of a request, called by whoever owns it at that moment: the
// completion of its packet, its recovery, or the submitter whose packet was
// never sent (irp null). A request has exactly one owner at a time, handed on
// with each packet sent and each recovery queued, so it ends exactly once.
//
// The stop event is the end: once it is set StopReadPipe may free the request
// block, and a new ReadStream may reuse the request. It is set while the
// packet still holds its remove-lock reference, because the device's stop
// drains that lock before the Board, which holds the event, is destroyed.
// Then the packet is freed and its reference released.
NTSTATUS EndRequest(ReadRequest* request, PIRP irp) {
    CaptureDevice* device = request->device;
    SignalStop(request->stopEvent);
    if (irp) {
        FinishPacket(device, irp);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

bool Ended(ReadRequest* request) {
    return !request->stopEvent || KeReadStateEvent(request->stopEvent) != 0;
}

// Waits until the request has ended; it is never given up on, because until
// then the stack or a recovery may still use its request block. A connected
// board is aborted again every second: a completion that saw the request
// running just before the stop may have sent its read after the first abort.
// A board that is gone refuses the abort; its stack completes every pending
// read of the unplugged device by itself, so the wait lasts as long as the
// reads take to come back.
void WaitForEnd(CaptureDevice* device, ReadRequest* request) {
    LARGE_INTEGER second;
    second.QuadPart = -10000000;
    bool reported = false;
    while (KeWaitForSingleObject(request->stopEvent, Executive, KernelMode, FALSE, &second) ==
           STATUS_TIMEOUT) {
        if (!reported) {
            DbgPrint("m4350: read %lu has not ended yet, waiting for it\n", request->slot);
            reported = true;
        }
        if (UsbPortConnected(&device->usb)) {
            AbortPipe(device, StreamPipe);
        }
    }
}

} // namespace

NTSTATUS ReadStream(CaptureDevice* device) {
    Board* board = device ? device->board : nullptr;
    if (!board) {
        return 1;
    }
    // One start or stop of the pipe at a time.
    MutexHold guard(&device->readPipeMutex);
    for (ULONG s = 0; s < ReadRequestCount; ++s) {
        ReadRequest* request = &board->readRequests[s];
        if (request->urb) {
            // Still outstanding from an earlier start: it already has its
            // packet or its recovery, and they own the request block.
            if (!Ended(request)) {
                continue;
            }
            ExFreePoolWithTag(request->urb, UsbRequestTag);
            request->urb = nullptr;
        }
        request->transferFlags = USBD_TRANSFER_DIRECTION_IN;
        request->errorCount = 0;
        request->slot = s;
        request->urbLength = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
        if (!request->stopEvent) {
            // Without its event nobody could tell when the request has ended,
            // and so when its block may go: it is not started.
            LogPrefix();
            DbgPrint("ReadStream : no stop event for read %lu\n", s);
            return STATUS_NO_MEMORY;
        }
        request->urb = static_cast<PURB>(ExAllocatePoolWithTag(
            NonPagedPoolNx, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), UsbRequestTag));
        if (!request->urb) {
            // The slot stays idle, and ended: nothing is in flight that a
            // stop would have to wait for.
            LogPrefix();
            DbgPrint("ReadStream : Unable to alloc URB");
            SignalStop(request->stopEvent);
            return STATUS_NO_MEMORY;
        }
        KeClearEvent(request->stopEvent);
        RtlZeroMemory(request->urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
        SetRunning(request, 1);
        NTSTATUS status;
        if (!Submit(request, &status)) {
            SetRunning(request, 0);
            EndRequest(request, nullptr);
            return 1;
        }
        if (!NT_SUCCESS(status)) {
            // Sent, and completed at once with an error: the completion has
            // ended the request or queued its recovery.
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
        return EndRequest(request, irp);
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
            // for it.
            return EndRequest(request, irp);
        }
        NTSTATUS resubmit;
        BOOLEAN sent = Submit(request, &resubmit);
        if (!NT_SUCCESS(resubmit)) {
            DbgPrint("!!!!!!callusbd failed %x!!!!!!!!!!!\n", resubmit);
        }
        if (!sent) {
            return EndRequest(request, irp);
        }
        // The new packet owns the request now, even if its completion has
        // already run; only this packet goes.
        FinishPacket(device, irp);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    if (status == STATUS_CANCELLED || status == STATUS_DEVICE_NOT_CONNECTED) {
        DbgPrint("IRP cancelled ReadPipee");
        return EndRequest(request, irp);
    }

    DbgPrint("pipe error\n");
    if (irp->Cancel) {
        return EndRequest(request, irp);
    }
    request->errorCount += 1;
    DbgPrint("pipe error,not cancelled\n");
    PDEVICE_OBJECT workItemDevice = device->usb.workItemDevice;
    if (!workItemDevice) {
        DbgPrint("no device object. unplugged board without stopping stream first?\n");
        return EndRequest(request, irp);
    }
    PIO_WORKITEM workItem = IoAllocateWorkItem(workItemDevice);
    if (!workItem) {
        DbgPrint("pipe error: no work item for recovery, stopping request\n");
        return EndRequest(request, irp);
    }
    // The recovery owns the request now. The packet and its remove-lock
    // reference stay until it has resubmitted: the lock never drops to zero
    // in between.
    request->workItem = workItem;
    request->failedIrp = irp;
    request->recoveryPipe = StreamPipe;
    IoQueueWorkItem(workItem, RecoverWorkItem, CriticalWorkQueue, request);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void RecoverFromError(ReadRequest* request) {
    CaptureDevice* device = request->device;
    RecoverPipe(device, request->recoveryPipe);

    // Taken off the request before anything is sent: the new packet may fail
    // at once and queue the next recovery with its own.
    PIO_WORKITEM workItem = request->workItem;
    request->workItem = nullptr;
    PIRP failed = request->failedIrp;
    request->failedIrp = nullptr;
    IoFreeWorkItem(workItem);

    if (Running(request)) {
        if (request->errorCount >= ReadErrorLimit) {
            DbgPrint("[RecoverFromError]: too many errors. Stopping pipe\n");
        } else {
            NTSTATUS status;
            if (Submit(request, &status)) {
                // Handed on to the new packet; the failed one only goes.
                FinishPacket(device, failed);
                return;
            }
            DbgPrint("!callusbd failed inside recover %x stopping pipe!\n", status);
        }
    }
    // Stopped while the recovery was pending, or not to be resubmitted: the
    // request ends here, so the stop does not wait for it in vain.
    EndRequest(request, failed);
}

void StopReadPipe(CaptureDevice* device) {
    DbgPrint("m4350: stopping read pipe\n");
    Board* board = device ? device->board : nullptr;
    if (!board) {
        return;
    }
    // One start or stop of the pipe at a time.
    MutexHold guard(&device->readPipeMutex);
    for (ULONG i = 0; i < ReadRequestCount; ++i) {
        ReadRequest* request = &board->readRequests[i];
        if (Running(request)) {
            SetRunning(request, 0);
            InterlockedExchange(reinterpret_cast<volatile LONG*>(&request->stopPending), 1);
        }
    }

    // The abort completes the outstanding reads as cancelled; their
    // completions end the requests.
    AbortPipe(device, StreamPipe);
    ResetPipe(device, StreamPipe);

    for (ULONG i = 0; i < ReadRequestCount; ++i) {
        ReadRequest* request = &board->readRequests[i];
        if (request->stopPending && request->stopEvent) {
            WaitForEnd(device, request);
        }
        InterlockedExchange(reinterpret_cast<volatile LONG*>(&request->stopPending), 0);
    }

    // Every request has ended: no packet and no recovery uses a block now.
    for (ULONG i = 0; i < ReadRequestCount; ++i) {
        ReadRequest* request = &board->readRequests[i];
        if (request->urb) {
            ExFreePoolWithTag(request->urb, UsbRequestTag);
            request->urb = nullptr;
        }
    }
}

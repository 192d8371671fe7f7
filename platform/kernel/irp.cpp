// IRPs: allocation, sending, completion and cancellation, with the I/O
// manager's rules.
//
// IRPs are pool blocks (tag "Irp "), so fault injection reaches them, and a
// table of live IRPs counts them and remembers which ones IoBuild... made:
// those belong to the I/O manager, which copies their status to the caller's
// block, signals the caller's event and frees them when completion reaches
// the top. Any other IRP must be taken back by its owner's completion routine
// (STATUS_MORE_PROCESSING_REQUIRED) before it gets there.
#include "kernel_internal.h"

#include <cstdio>
#include <mutex>
#include <unordered_map>

namespace {

struct IrpInfo {
    bool allocated = false; // by IoAllocateIrp (else only initialised)
    bool threaded = false;  // built for a caller's event and status block
    ULONG outputLength = 0; // the caller's output buffer, for the copy back
};

std::mutex g_lock;
std::unordered_map<PIRP, IrpInfo> g_irps;
std::size_t g_liveIrps = 0;

KSPIN_LOCK g_cancelLock = 0;

std::string Describe(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

// What IoCompleteRequest clears in a stack location it leaves.
void ClearStackLocation(PIO_STACK_LOCATION sp) {
    sp->MinorFunction = 0;
    sp->Flags = 0;
    sp->Control = 0;
    sp->Parameters.Others.Argument1 = NULL;
    sp->Parameters.Others.Argument2 = NULL;
    sp->Parameters.Others.Argument3 = NULL;
    sp->Parameters.Others.Argument4 = NULL;
    sp->FileObject = NULL;
}

void FreeIrpMemory(PIRP irp) {
    ExFreePoolWithTag(irp, kernel::kIrpTag);
}

// The I/O manager's part of completing an IRP it built for a caller.
void CompleteThreadedIrp(PIRP irp, ULONG outputLength) {
    if (irp->Flags & IRP_BUFFERED_IO) {
        if ((irp->Flags & IRP_INPUT_OPERATION) && !NT_ERROR(irp->IoStatus.Status) &&
            irp->UserBuffer != NULL && irp->AssociatedIrp.SystemBuffer != NULL) {
            ULONG_PTR n = irp->IoStatus.Information;
            if (n > outputLength) {
                n = outputLength;
            }
            memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, n);
        }
        if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && irp->AssociatedIrp.SystemBuffer != NULL) {
            ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, kernel::kIoBufferTag);
            irp->AssociatedIrp.SystemBuffer = NULL;
        }
    }
    for (PMDL mdl = irp->MdlAddress; mdl != NULL;) {
        PMDL next = mdl->Next;
        IoFreeMdl(mdl);
        mdl = next;
    }
    irp->MdlAddress = NULL;
    if (irp->UserIosb != NULL) {
        irp->UserIosb->Status = irp->IoStatus.Status;
        irp->UserIosb->Information = irp->IoStatus.Information;
    }
    PKEVENT event = irp->UserEvent;
    IoFreeIrp(irp);
    // Last: the caller may free its status block and event once this is set.
    if (event != NULL) {
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    }
}

} // namespace

namespace host {

std::size_t LiveIrpCount() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_liveIrps;
}

} // namespace host

EXTERN_C VOID NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
    memset(Irp, 0, PacketSize);
    Irp->Type = IO_TYPE_IRP;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = (CHAR)(StackSize + 1);
    InitializeListHead(&Irp->ThreadListEntry);
    Irp->Tail.Overlay.CurrentStackLocation =
        reinterpret_cast<PIO_STACK_LOCATION>(reinterpret_cast<PUCHAR>(Irp) + sizeof(IRP)) +
        StackSize;
}

EXTERN_C PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    if (StackSize < 1) {
        kernel::Violate(host::Rule::InvalidParameter,
                        "IoAllocateIrp with stack size " + std::to_string(StackSize));
        return NULL;
    }
    USHORT size = IoSizeOfIrp(StackSize);
    auto irp = static_cast<PIRP>(ExAllocatePoolWithTag(NonPagedPoolNx, size, kernel::kIrpTag));
    if (irp == NULL) {
        return NULL;
    }
    IoInitializeIrp(irp, size, StackSize);
    std::lock_guard<std::mutex> guard(g_lock);
    g_irps[irp] = IrpInfo{true, false};
    g_liveIrps++;
    return irp;
}

EXTERN_C VOID NTAPI IoFreeIrp(PIRP Irp) {
    {
        std::unique_lock<std::mutex> lock(g_lock);
        auto it = g_irps.find(Irp);
        if (it == g_irps.end() || !it->second.allocated) {
            lock.unlock();
            kernel::Violate(host::Rule::IrpFreedTwice,
                            "IoFreeIrp on " + Describe(Irp) + ", which is not an allocated IRP");
            return;
        }
        g_irps.erase(it);
        g_liveIrps--;
    }
    FreeIrpMemory(Irp);
}

EXTERN_C VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    UCHAR allocationFlags = Irp->AllocationFlags;
    IoInitializeIrp(Irp, Irp->Size, Irp->StackCount);
    Irp->AllocationFlags = allocationFlags;
    Irp->IoStatus.Status = Iostatus;
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_irps.find(Irp);
    if (it != g_irps.end()) {
        it->second.threaded = false;
    }
}

EXTERN_C NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (Irp->CurrentLocation <= 1) {
        kernel::Violate(host::Rule::IrpStackOverflow, "IoCallDriver of IRP " + Describe(Irp) +
                                                          " to device " + Describe(DeviceObject) +
                                                          " with no stack location left");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    IoSetNextIrpStackLocation(Irp);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    sp->DeviceObject = DeviceObject;
    PDRIVER_DISPATCH dispatch = NULL;
    if (DeviceObject->DriverObject != NULL && sp->MajorFunction <= IRP_MJ_MAXIMUM_FUNCTION) {
        dispatch = DeviceObject->DriverObject->MajorFunction[sp->MajorFunction];
    }
    if (dispatch == NULL) {
        // What the I/O manager's default dispatch routine does.
        Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        Irp->IoStatus.Information = 0;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    KIRQL irql = KeGetCurrentIrql();
    UCHAR major = sp->MajorFunction; // the IRP may be gone when dispatch returns
    NTSTATUS status = dispatch(DeviceObject, Irp);
    if (KeGetCurrentIrql() != irql) {
        kernel::Violate(host::Rule::IrqlNotRestored,
                        "dispatch routine of device " + Describe(DeviceObject) +
                            " (major function " + std::to_string(major) + ") called at IRQL " +
                            std::to_string(irql) + " returned at IRQL " +
                            std::to_string(KeGetCurrentIrql()));
        kernel::SetIrql(irql);
    }
    return status;
}

EXTERN_C VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    if (Irp->CurrentLocation > Irp->StackCount + 1 || Irp->Type != IO_TYPE_IRP) {
        kernel::Violate(host::Rule::IrpCompletedTwice,
                        "IoCompleteRequest on IRP " + Describe(Irp) + ", already completed");
        return;
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        kernel::Violate(host::Rule::InvalidParameter,
                        "IRP " + Describe(Irp) + " completed with STATUS_PENDING");
    }
    if (__atomic_load_n((PVOID*)&Irp->CancelRoutine, __ATOMIC_SEQ_CST) != NULL) {
        kernel::Violate(host::Rule::IrpCompletedWithCancel,
                        "IRP " + Describe(Irp) + " completed with its cancel routine still set");
        IoSetCancelRoutine(Irp, NULL);
    }

    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    for (; Irp->CurrentLocation <= Irp->StackCount + 1; ++sp, IoSkipCurrentIrpStackLocation(Irp)) {
        Irp->PendingReturned = (sp->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
        NTSTATUS status = Irp->IoStatus.Status;
        bool cancelled = __atomic_load_n(&Irp->Cancel, __ATOMIC_SEQ_CST) != FALSE;
        if ((NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_SUCCESS)) ||
            (!NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_ERROR)) ||
            (cancelled && (sp->Control & SL_INVOKE_ON_CANCEL))) {
            PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
            PVOID context = sp->Context;
            ClearStackLocation(sp);
            // The routine gets the device of the location it was set for
            // from: NULL for the IRP's originator.
            PDEVICE_OBJECT device = Irp->CurrentLocation == Irp->StackCount + 1
                                        ? NULL
                                        : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            KIRQL irql = KeGetCurrentIrql();
            NTSTATUS result = routine(device, Irp, context);
            if (KeGetCurrentIrql() != irql) {
                kernel::Violate(host::Rule::IrqlNotRestored,
                                "completion routine called at IRQL " + std::to_string(irql) +
                                    " returned at IRQL " + std::to_string(KeGetCurrentIrql()));
                kernel::SetIrql(irql);
            }
            if (result == STATUS_MORE_PROCESSING_REQUIRED) {
                return; // the IRP is its owner's again; it may already be gone
            }
        } else {
            if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
                IoMarkIrpPending(Irp);
            }
            ClearStackLocation(sp);
        }
    }

    IrpInfo info;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        auto it = g_irps.find(Irp);
        if (it != g_irps.end()) {
            info = it->second;
        }
    }
    if (!info.threaded) {
        kernel::Violate(host::Rule::IrpUnowned,
                        "IRP " + Describe(Irp) +
                            " completed past its originator; its last completion routine must "
                            "return STATUS_MORE_PROCESSING_REQUIRED and free it");
        return;
    }
    CompleteThreadedIrp(Irp, info.outputLength);
}

EXTERN_C VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
    KeAcquireSpinLock(&g_cancelLock, Irql);
}

EXTERN_C VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) {
    KeReleaseSpinLock(&g_cancelLock, Irql);
}

EXTERN_C BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    __atomic_store_n(&Irp->Cancel, (BOOLEAN)TRUE, __ATOMIC_SEQ_CST);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, NULL);
    if (routine == NULL) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    // The routine releases the cancel lock (with Irp->CancelIrql) and
    // usually completes the IRP: nothing here touches the IRP afterwards.
    routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
    if (kernel::SpinLockHeldByMe(&g_cancelLock)) {
        kernel::Violate(host::Rule::IrqlNotRestored,
                        "cancel routine returned without releasing the cancel spin lock");
        IoReleaseCancelSpinLock(irql);
    } else if (KeGetCurrentIrql() != irql) {
        kernel::Violate(host::Rule::IrqlNotRestored,
                        "cancel routine returned at IRQL " + std::to_string(KeGetCurrentIrql()) +
                            ", IoCancelIrp was called at IRQL " + std::to_string(irql));
        kernel::SetIrql(irql);
    }
    return TRUE;
}

EXTERN_C NTSTATUS NTAPI IoSetCompletionRoutineEx(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                                 PIO_COMPLETION_ROUTINE CompletionRoutine,
                                                 PVOID Context, BOOLEAN InvokeOnSuccess,
                                                 BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel) {
    // Windows wraps the routine to keep the driver loaded until it returns;
    // drivers are never unloaded under a running routine here.
    if (CompletionRoutine == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    IoSetCompletionRoutine(Irp, CompletionRoutine, Context, InvokeOnSuccess, InvokeOnError,
                           InvokeOnCancel);
    return STATUS_SUCCESS;
}

EXTERN_C PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                                  PVOID InputBuffer, ULONG InputBufferLength,
                                                  PVOID OutputBuffer, ULONG OutputBufferLength,
                                                  BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                                  PIO_STATUS_BLOCK IoStatusBlock) {
    if (DeviceObject == NULL) {
        kernel::Violate(host::Rule::InvalidParameter,
                        "IoBuildDeviceIoControlRequest without a device");
        return NULL;
    }
    PIRP irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
    if (irp == NULL) {
        return NULL;
    }
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction =
        InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    sp->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    sp->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    sp->Parameters.DeviceIoControl.IoControlCode = IoControlCode;

    auto fail = [irp]() -> PIRP {
        if (irp->AssociatedIrp.SystemBuffer != NULL) {
            ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, kernel::kIoBufferTag);
        }
        IoFreeIrp(irp);
        return NULL;
    };

    switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
    case METHOD_BUFFERED: {
        ULONG length =
            InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
        if (length != 0) {
            PVOID buffer = ExAllocatePoolWithTag(NonPagedPoolNx, length, kernel::kIoBufferTag);
            if (buffer == NULL) {
                return fail();
            }
            irp->AssociatedIrp.SystemBuffer = buffer;
            if (InputBuffer != NULL && InputBufferLength != 0) {
                memcpy(buffer, InputBuffer, InputBufferLength);
            }
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            if (OutputBuffer != NULL && OutputBufferLength != 0) {
                irp->Flags |= IRP_INPUT_OPERATION;
            }
        }
        irp->UserBuffer = OutputBuffer;
        break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        if (InputBuffer != NULL && InputBufferLength != 0) {
            PVOID buffer =
                ExAllocatePoolWithTag(NonPagedPoolNx, InputBufferLength, kernel::kIoBufferTag);
            if (buffer == NULL) {
                return fail();
            }
            memcpy(buffer, InputBuffer, InputBufferLength);
            irp->AssociatedIrp.SystemBuffer = buffer;
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        }
        if (OutputBuffer != NULL && OutputBufferLength != 0) {
            PMDL mdl = IoAllocateMdl(OutputBuffer, OutputBufferLength, FALSE, FALSE, irp);
            if (mdl == NULL) {
                return fail();
            }
            MmBuildMdlForNonPagedPool(mdl);
        }
        irp->UserBuffer = OutputBuffer;
        break;
    case METHOD_NEITHER:
        sp->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
        break;
    }

    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    std::lock_guard<std::mutex> guard(g_lock);
    IrpInfo& info = g_irps[irp];
    info.threaded = true;
    info.outputLength = OutputBufferLength;
    return irp;
}

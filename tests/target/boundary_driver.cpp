// m4350boundary.sys: a small driver built like m4350av.sys (mingw-w64, the
// real DDK headers, the Microsoft x64 convention), which the loader's tests
// load into the host kernel. It crosses the boundary once in every way a
// driver can: each kind of routine the platform calls back, each import that
// carries UTF-16, varargs DbgPrint, a system thread that ends itself, a fast
// mutex initialised inline, the pin's reference clock, and imported routines
// handed back as callbacks. Each step reports itself in one DbgPrint line
// starting "boundary:", which the host test compares with what it expects.
#include <ks.h>
#include <ksmedia.h>

namespace {

constexpr ULONG kTag = 0x42746442; // 'Bdtb'

// The driver's state. Written by DriverEntry and the PnP dispatches, which
// the PnP manager calls one at a time; the thread's count under g_mutex.
FAST_MUTEX g_mutex;
LONG g_threadRuns;             // under g_mutex
PFNKSFREE g_systemRoutineFree; // ExFreePool, as MmGetSystemRoutineAddress gave it
PIRP g_pended;                 // the IRP the internal dispatch holds, until cancelled

// ---------------------------------------------------------------------------
// Routines the platform calls

NTSTATUS QueryRoutine(PWSTR name, ULONG type, PVOID data, ULONG length, PVOID, PVOID) {
    if (type == REG_SZ) {
        DbgPrint("boundary: query %ws type %lu length %lu text %ws\n", name, type, length,
                 static_cast<PWSTR>(data));
    } else if (type == REG_DWORD) {
        DbgPrint("boundary: query %ws type %lu length %lu number %#lx\n", name, type, length,
                 *static_cast<ULONG*>(data));
    }
    return STATUS_SUCCESS;
}

NTSTATUS Completion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    InterlockedIncrement(static_cast<LONG*>(context));
    DbgPrint("boundary: completion routine saw %08lx\n", irp->IoStatus.Status);
    return STATUS_SUCCESS; // the I/O manager completes the request on
}

void Cancel(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    g_pended = nullptr;
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    DbgPrint("boundary: cancel routine\n");
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// Internal device control on the device: the request is held, cancellable.
NTSTATUS InternalDispatch(PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    g_pended = irp;
    IoSetCancelRoutine(irp, Cancel);
    DbgPrint("boundary: dispatch pended a request\n");
    return STATUS_PENDING;
}

void WorkRoutine(PDEVICE_OBJECT device, PVOID context) {
    DbgPrint("boundary: work item on its device %s\n", device ? "yes" : "no");
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
}

void ThreadStart(PVOID context) {
    ExAcquireFastMutex(&g_mutex);
    const LONG runs = ++g_threadRuns;
    ExReleaseFastMutex(&g_mutex);
    DbgPrint("boundary: thread %I64u run %ld\n", reinterpret_cast<ULONG64>(context), runs);
    PsTerminateSystemThread(STATUS_SUCCESS);
    DbgPrint("boundary: thread went on after it terminated\n");
}

void BagFree(PVOID item) {
    DbgPrint("boundary: bag item %lu freed\n", *static_cast<ULONG*>(item));
    ExFreePoolWithTag(item, kTag);
}

// ---------------------------------------------------------------------------
// Steps of the device's start

// A request sent down to the bus's device, which has no dispatch of its own:
// the completion routine sees its failure.
NTSTATUS CompletionStep(PKSDEVICE device) {
    KEVENT done;
    IO_STATUS_BLOCK io;
    LONG calls = 0;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(0x220003, device->NextDeviceObject, nullptr, 0,
                                             nullptr, 0, TRUE, &done, &io);
    if (!irp) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoSetCompletionRoutine(irp, Completion, &calls, TRUE, TRUE, TRUE);
    if (IoCallDriver(device->NextDeviceObject, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    DbgPrint("boundary: request completed %08lx after %ld completion call\n", io.Status, calls);
    return STATUS_SUCCESS;
}

// A request to the device itself, held by the internal dispatch, cancelled.
NTSTATUS CancelStep(PKSDEVICE device) {
    KEVENT done;
    IO_STATUS_BLOCK io;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(0x220007, device->FunctionalDeviceObject, nullptr, 0,
                                             nullptr, 0, TRUE, &done, &io);
    if (!irp) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    const NTSTATUS sent = IoCallDriver(device->FunctionalDeviceObject, irp);
    const BOOLEAN cancelled = IoCancelIrp(irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    DbgPrint("boundary: held request %08lx, cancel %u, ended %08lx\n", sent, cancelled, io.Status);
    return STATUS_SUCCESS;
}

NTSTATUS WorkItemStep(PKSDEVICE device) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIO_WORKITEM item = IoAllocateWorkItem(device->FunctionalDeviceObject);
    if (!item) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoQueueWorkItem(item, WorkRoutine, DelayedWorkQueue, &done);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    IoFreeWorkItem(item);
    return STATUS_SUCCESS;
}

// A thread that ends itself. It takes the mutex, which this thread may
// still hold when it gets there.
NTSTATUS ThreadStep() {
    HANDLE handle = nullptr;
    NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                           ThreadStart, reinterpret_cast<PVOID>(0x1234567890ull));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ExAcquireFastMutex(&g_mutex);
    DbgPrint("boundary: thread started, %ld run before it\n", g_threadRuns);
    ExReleaseFastMutex(&g_mutex);
    PVOID thread = nullptr;
    status =
        ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr);
    ZwClose(handle);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
    ExAcquireFastMutex(&g_mutex);
    DbgPrint("boundary: thread ended after %ld run\n", g_threadRuns);
    ExReleaseFastMutex(&g_mutex);
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Filter and pin

NTSTATUS FilterCreate(PKSFILTER, PIRP) {
    DbgPrint("boundary: filter created\n");
    return STATUS_SUCCESS;
}

NTSTATUS PinCreate(PKSPIN, PIRP) {
    DbgPrint("boundary: pin created\n");
    return STATUS_SUCCESS;
}

NTSTATUS PinProcess(PKSPIN) {
    return STATUS_SUCCESS;
}

NTSTATUS PinSetDeviceState(PKSPIN pin, KSSTATE to, KSSTATE from) {
    if (from == KSSTATE_STOP && to == KSSTATE_ACQUIRE) {
        PIKSREFERENCECLOCK clock = nullptr;
        if (NT_SUCCESS(KsPinGetReferenceClockInterface(pin, &clock)) && clock) {
            const LONGLONG time = clock->GetTime();
            LONGLONG system = 0;
            const LONGLONG physical = clock->GetCorrelatedPhysicalTime(&system);
            DbgPrint("boundary: clock %s, correlated %s\n", time >= 0 ? "read" : "negative",
                     physical >= 0 && system > 0 ? "read" : "wrong");
            clock->Release();
        } else {
            DbgPrint("boundary: no clock\n");
        }
    }
    return STATUS_SUCCESS;
}

const KSPIN_DISPATCH kPinDispatch = {PinCreate,         nullptr, PinProcess, nullptr, nullptr,
                                     PinSetDeviceState, nullptr, nullptr,    nullptr, nullptr};
const KSDATARANGE kRange = {{sizeof(KSDATARANGE), 0, 0, 0}};
const PKSDATARANGE kRanges[] = {const_cast<PKSDATARANGE>(&kRange)};
const KSPIN_DESCRIPTOR_EX kPin = {&kPinDispatch,
                                  nullptr,
                                  {0,
                                   nullptr,
                                   0,
                                   nullptr,
                                   1,
                                   const_cast<PKSDATARANGE*>(kRanges),
                                   KSPIN_DATAFLOW_OUT,
                                   KSPIN_COMMUNICATION_BOTH,
                                   nullptr,
                                   nullptr,
                                   {{0}}},
                                  KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY,
                                  1,
                                  0,
                                  nullptr,
                                  nullptr};
const KSFILTER_DISPATCH kFilterDispatch = {FilterCreate, nullptr, nullptr, nullptr};
const GUID kCategories[] = {{STATICGUIDOF(KSCATEGORY_VIDEO)}};
// {5B0E7D31-2C4A-4F0E-9A61-0C8E2D4B7A15}
const GUID kReference = {
    0x5B0E7D31, 0x2C4A, 0x4F0E, {0x9A, 0x61, 0x0C, 0x8E, 0x2D, 0x4B, 0x7A, 0x15}};
const KSFILTER_DESCRIPTOR kFilter = {&kFilterDispatch,
                                     nullptr,
                                     KSFILTER_DESCRIPTOR_VERSION,
                                     0,
                                     &kReference,
                                     1,
                                     sizeof(KSPIN_DESCRIPTOR_EX),
                                     &kPin,
                                     1,
                                     kCategories,
                                     0,
                                     0,
                                     nullptr,
                                     0,
                                     nullptr,
                                     nullptr};

// ---------------------------------------------------------------------------
// The device

// Three items in the device's bag: one freed by the driver's own routine, one
// by the imported ExFreePool, one by ExFreePool as MmGetSystemRoutineAddress
// gave it.
NTSTATUS DeviceAdd(PKSDEVICE device) {
    PFNKSFREE frees[] = {BagFree, reinterpret_cast<PFNKSFREE>(ExFreePool), g_systemRoutineFree};
    for (ULONG i = 0; i < 3; ++i) {
        auto* item =
            static_cast<ULONG*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(ULONG), kTag));
        if (!item) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        *item = i + 1;
        const NTSTATUS status = KsAddItemToObjectBag(device->Bag, item, frees[i]);
        if (!NT_SUCCESS(status)) {
            ExFreePoolWithTag(item, kTag);
            return status;
        }
    }
    DbgPrint("boundary: device added\n");
    return STATUS_SUCCESS;
}

NTSTATUS DeviceStart(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) {
    NTSTATUS status = CompletionStep(device);
    if (NT_SUCCESS(status)) {
        status = CancelStep(device);
    }
    if (NT_SUCCESS(status)) {
        status = WorkItemStep(device);
    }
    if (NT_SUCCESS(status)) {
        status = ThreadStep();
    }
    if (NT_SUCCESS(status)) {
        static WCHAR reference[] = L"boundary";
        status = KsCreateFilterFactory(device->FunctionalDeviceObject, &kFilter, reference, nullptr,
                                       KSCREATE_ITEM_FREEONSTOP, nullptr, nullptr, nullptr);
    }
    DbgPrint("boundary: device started %08lx\n", status);
    return status;
}

const KSDEVICE_DISPATCH kDeviceDispatch = {DeviceAdd, DeviceStart, nullptr, nullptr,
                                           nullptr,   nullptr,     nullptr, nullptr,
                                           nullptr,   nullptr,     nullptr, nullptr};
const KSDEVICE_DESCRIPTOR kDevice = {&kDeviceDispatch, 0, nullptr, 0};

// ---------------------------------------------------------------------------
// Entry steps: text through the registry, a file and a routine's name

void RegistryStep() {
    WCHAR text[] = L"h\u00e9llo \U0001F3A5";
    ULONG number = 0x4350;
    RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, L"m4350boundary\\Parameters", L"Greeting", REG_SZ,
                          text, sizeof(text));
    RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, L"m4350boundary\\Parameters", L"Number", REG_DWORD,
                          &number, sizeof(number));
    RTL_QUERY_REGISTRY_TABLE table[3] = {};
    table[0].QueryRoutine = QueryRoutine;
    table[0].Name = const_cast<PWSTR>(L"Greeting");
    table[1].QueryRoutine = QueryRoutine;
    table[1].Name = const_cast<PWSTR>(L"Number");
    const NTSTATUS status = RtlQueryRegistryValues(
        RTL_REGISTRY_SERVICES, L"m4350boundary\\Parameters", table, nullptr, nullptr);
    DbgPrint("boundary: registry query %08lx\n", status);
}

void FileStep() {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\SystemRoot\\m4350boundary-\u00e9.txt");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    HANDLE file = nullptr;
    IO_STATUS_BLOCK io;
    NTSTATUS status = ZwCreateFile(&file, GENERIC_WRITE | SYNCHRONIZE, &attributes, &io, nullptr,
                                   FILE_ATTRIBUTE_NORMAL, 0, FILE_OVERWRITE_IF,
                                   FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (NT_SUCCESS(status)) {
        char text[] = "written by the image";
        status = ZwWriteFile(file, nullptr, nullptr, nullptr, &io, text, sizeof(text) - 1, nullptr,
                             nullptr);
        ZwClose(file);
    }
    DbgPrint("boundary: file %wZ %08lx\n", &name, status);
}

void RoutineStep() {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"KeQueryInterruptTime");
    using QueryTime = ULONGLONG (*)();
    auto query = reinterpret_cast<QueryTime>(MmGetSystemRoutineAddress(&name));
    RtlInitUnicodeString(&name, L"ExFreePool");
    g_systemRoutineFree = reinterpret_cast<PFNKSFREE>(MmGetSystemRoutineAddress(&name));
    RtlInitUnicodeString(&name, L"NoSuchRoutine");
    const PVOID missing = MmGetSystemRoutineAddress(&name);
    DbgPrint("boundary: routines %s %s %s\n", query && query() > 0 ? "called" : "missing",
             g_systemRoutineFree ? "found" : "missing", missing ? "found" : "missing");
}

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    DbgPrint("boundary: entry %wZ %I64x %lld %S %C\n", registryPath, 0x1122334455667788ull, -5ll,
             L"caf\u00e9", L'\u00e9');
    ExInitializeFastMutex(&g_mutex);
    RegistryStep();
    FileStep();
    RoutineStep();
    const NTSTATUS status = KsInitializeDriver(driver, registryPath, &kDevice);
    if (NT_SUCCESS(status)) {
        driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = InternalDispatch;
    }
    return status;
}

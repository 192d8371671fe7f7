#include "device_stack.h"
#include "kernel_test.h"

#include <wdm.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using IrpTest = KernelTest;

// --- a lower driver that pends every request until a "bus" thread of its
// own completes it at dispatch level, and supports cancellation --------------

struct PendingDriver {
    KSPIN_LOCK lock;
    LIST_ENTRY queue;
    std::mutex busLock;
    std::condition_variable busWake;
    std::deque<PIRP> toComplete; // handed to the bus thread
    bool stop = false;
    std::thread bus;

    PendingDriver() {
        KeInitializeSpinLock(&lock);
        InitializeListHead(&queue);
        bus = std::thread([this] { Run(); });
    }
    ~PendingDriver() {
        {
            std::lock_guard<std::mutex> guard(busLock);
            stop = true;
        }
        busWake.notify_all();
        bus.join();
    }

    // Completes the oldest pending request (if it is not being cancelled)
    // on the bus thread with the given status.
    bool CompleteOldest(NTSTATUS status) {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        for (PLIST_ENTRY e = queue.Flink; e != &queue; e = e->Flink) {
            PIRP irp = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
            if (IoSetCancelRoutine(irp, nullptr) != nullptr) {
                RemoveEntryList(e);
                KeReleaseSpinLock(&lock, old);
                irp->IoStatus.Status = status;
                HandToBus(irp);
                return true;
            }
        }
        KeReleaseSpinLock(&lock, old);
        return false;
    }

    void HandToBus(PIRP irp) {
        {
            std::lock_guard<std::mutex> guard(busLock);
            toComplete.push_back(irp);
        }
        busWake.notify_one();
    }

    static VOID Cancel(PDEVICE_OBJECT device, PIRP irp) {
        auto self = static_cast<PendingDriver*>(irp->Tail.Overlay.DriverContext[0]);
        IoReleaseCancelSpinLock(irp->CancelIrql);
        KIRQL old;
        KeAcquireSpinLock(&self->lock, &old);
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        KeReleaseSpinLock(&self->lock, old);
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
        // Completed later, from the bus thread, as a USB stack does.
        self->HandToBus(irp);
    }

    NTSTATUS Dispatch(PIRP irp) {
        irp->Tail.Overlay.DriverContext[0] = this;
        IoMarkIrpPending(irp);
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        InsertTailList(&queue, &irp->Tail.Overlay.ListEntry);
        IoSetCancelRoutine(irp, Cancel);
        if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) &&
            IoSetCancelRoutine(irp, nullptr) != nullptr) {
            RemoveEntryList(&irp->Tail.Overlay.ListEntry);
            KeReleaseSpinLock(&lock, old);
            irp->IoStatus.Status = STATUS_CANCELLED;
            HandToBus(irp);
            return STATUS_PENDING;
        }
        KeReleaseSpinLock(&lock, old);
        return STATUS_PENDING;
    }

    void Run() {
        std::unique_lock<std::mutex> guard(busLock);
        for (;;) {
            busWake.wait(guard, [this] { return stop || !toComplete.empty(); });
            if (toComplete.empty()) {
                return;
            }
            PIRP irp = toComplete.front();
            toComplete.pop_front();
            guard.unlock();
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            KeLowerIrql(old);
            guard.lock();
        }
    }
};

PendingDriver* g_pending = nullptr;

NTSTATUS PendingDispatch(PDEVICE_OBJECT, PIRP irp) {
    return g_pending->Dispatch(irp);
}

struct SyncContext {
    KEVENT done;
    std::atomic<bool> completed{false};
    std::atomic<bool> completedAtDispatch{false};
};

NTSTATUS SignalAndKeep(PDEVICE_OBJECT, PIRP, PVOID context) {
    auto sync = static_cast<SyncContext*>(context);
    sync->completedAtDispatch = KeGetCurrentIrql() == DISPATCH_LEVEL;
    sync->completed = true;
    KeSetEvent(&sync->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

class PendingIrpTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        stack_.lowerDriver.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = PendingDispatch;
        g_pending = &driver_;
    }
    void TearDown() override {
        g_pending = nullptr;
        KernelTest::TearDown();
    }

    PIRP NewRequest(SyncContext* sync) {
        KeInitializeEvent(&sync->done, NotificationEvent, FALSE);
        PIRP irp = IoAllocateIrp(stack_.lower->StackSize, FALSE);
        PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
        sp->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoSetCompletionRoutine(irp, SignalAndKeep, sync, TRUE, TRUE, TRUE);
        return irp;
    }

    DeviceStack stack_;
    PendingDriver driver_;
};

// The synchronous request pattern of a USB function driver: wait with a
// time-out, cancel on time-out, then wait until the cancelled packet is
// really back before touching or freeing it.
TEST_F(PendingIrpTest, TimedOutWaitThenCancelResumesOnlyAfterCompletion) {
    host::SetTimeScale(0.01);
    SyncContext sync;
    PIRP irp = NewRequest(&sync);
    ASSERT_EQ(IoCallDriver(stack_.lower, irp), STATUS_PENDING);

    LARGE_INTEGER timeout;
    timeout.QuadPart = -1000 * 10000LL; // 1000 ms, 10 ms at this scale
    EXPECT_EQ(KeWaitForSingleObject(&sync.done, Executive, KernelMode, FALSE, &timeout),
              STATUS_TIMEOUT);
    EXPECT_FALSE(sync.completed);

    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(KeWaitForSingleObject(&sync.done, Executive, KernelMode, FALSE, nullptr),
              STATUS_SUCCESS);
    EXPECT_TRUE(sync.completed);
    EXPECT_TRUE(sync.completedAtDispatch);
    EXPECT_TRUE(irp->Cancel);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
    EXPECT_TRUE(irp->PendingReturned);
    EXPECT_EQ(host::LiveIrpCount(), 1u); // still the caller's
    IoFreeIrp(irp);
}

TEST_F(PendingIrpTest, CancelAfterCompletionFindsNoRoutine) {
    SyncContext sync;
    PIRP irp = NewRequest(&sync);
    ASSERT_EQ(IoCallDriver(stack_.lower, irp), STATUS_PENDING);
    ASSERT_TRUE(driver_.CompleteOldest(STATUS_SUCCESS));
    KeWaitForSingleObject(&sync.done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
    IoFreeIrp(irp);
}

// Many requests completed by the bus while the caller cancels every other
// one: each completes exactly once, with one of the two outcomes.
TEST_F(PendingIrpTest, CancelRacingCompletionCompletesEachRequestOnce) {
    constexpr int kCount = 200;
    std::vector<SyncContext> syncs(kCount);
    std::vector<PIRP> irps;
    for (auto& sync : syncs) {
        irps.push_back(NewRequest(&sync));
        ASSERT_EQ(IoCallDriver(stack_.lower, irps.back()), STATUS_PENDING);
    }
    std::thread completer([&] {
        while (driver_.CompleteOldest(STATUS_SUCCESS)) {
        }
    });
    for (int i = 0; i < kCount; i += 2) {
        IoCancelIrp(irps[i]);
    }
    completer.join();
    while (driver_.CompleteOldest(STATUS_SUCCESS)) {
    }
    for (int i = 0; i < kCount; ++i) {
        KeWaitForSingleObject(&syncs[i].done, Executive, KernelMode, FALSE, nullptr);
        NTSTATUS status = irps[i]->IoStatus.Status;
        EXPECT_TRUE(status == STATUS_SUCCESS || (status == STATUS_CANCELLED && i % 2 == 0))
            << "request " << i << " status " << std::hex << status;
        IoFreeIrp(irps[i]);
    }
}

// --- completion walk --------------------------------------------------------

struct WalkContext {
    std::vector<std::string> calls;
    NTSTATUS upperResult = STATUS_SUCCESS;
    PDEVICE_OBJECT upperSawDevice = nullptr;
    PDEVICE_OBJECT originatorSawDevice = reinterpret_cast<PDEVICE_OBJECT>(1);
    bool originatorSawPending = false;
    bool lowerPends = false;
};

WalkContext* g_walk = nullptr;

NTSTATUS UpperCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID) {
    g_walk->calls.push_back("upper");
    g_walk->upperSawDevice = device;
    if (irp->PendingReturned && g_walk->upperResult != STATUS_MORE_PROCESSING_REQUIRED) {
        IoMarkIrpPending(irp);
    }
    return g_walk->upperResult;
}

NTSTATUS OriginatorCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID) {
    g_walk->calls.push_back("originator");
    g_walk->originatorSawDevice = device;
    g_walk->originatorSawPending = irp->PendingReturned;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS UpperDispatch(PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, UpperCompletion, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(static_cast<PDEVICE_OBJECT>(device->DeviceExtension), irp);
}

NTSTATUS LowerDispatch(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 7;
    if (g_walk->lowerPends) {
        IoMarkIrpPending(irp);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_PENDING;
    }
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

class CompletionWalkTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        // The upper device finds its lower device through its extension
        // pointer, as a real driver would through its extension.
        upperDriver_.Type = IO_TYPE_DRIVER;
        lowerDriver_.Type = IO_TYPE_DRIVER;
        IoCreateDevice(&lowerDriver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower_);
        IoCreateDevice(&upperDriver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper_);
        IoAttachDeviceToDeviceStack(upper_, lower_);
        upper_->DeviceExtension = lower_;
        upperDriver_.MajorFunction[IRP_MJ_READ] = UpperDispatch;
        lowerDriver_.MajorFunction[IRP_MJ_READ] = LowerDispatch;
        g_walk = &walk_;
    }
    void TearDown() override {
        g_walk = nullptr;
        IoDetachDevice(lower_);
        IoDeleteDevice(upper_);
        IoDeleteDevice(lower_);
        KernelTest::TearDown();
    }

    PIRP Send(NTSTATUS* sent) {
        PIRP irp = IoAllocateIrp(upper_->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        IoSetCompletionRoutine(irp, OriginatorCompletion, nullptr, TRUE, TRUE, TRUE);
        *sent = IoCallDriver(upper_, irp);
        return irp;
    }

    DRIVER_OBJECT upperDriver_{}, lowerDriver_{};
    PDEVICE_OBJECT upper_ = nullptr, lower_ = nullptr;
    WalkContext walk_;
};

TEST_F(CompletionWalkTest, RoutinesRunBottomUpWithTheirDevices) {
    NTSTATUS sent;
    PIRP irp = Send(&sent);
    EXPECT_EQ(sent, STATUS_SUCCESS);
    EXPECT_EQ(walk_.calls, (std::vector<std::string>{"upper", "originator"}));
    EXPECT_EQ(walk_.upperSawDevice, upper_);
    EXPECT_EQ(walk_.originatorSawDevice, nullptr);
    EXPECT_FALSE(walk_.originatorSawPending);
    EXPECT_EQ(irp->IoStatus.Information, 7u);
    IoFreeIrp(irp);
}

TEST_F(CompletionWalkTest, MoreProcessingRequiredKeepsTheIrpWithItsOwner) {
    walk_.upperResult = STATUS_MORE_PROCESSING_REQUIRED;
    NTSTATUS sent;
    PIRP irp = Send(&sent);
    EXPECT_EQ(walk_.calls, (std::vector<std::string>{"upper"}));
    EXPECT_EQ(host::LiveIrpCount(), 1u);
    EXPECT_EQ(irp->IoStatus.Information, 7u);
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, upper_);

    // The owner finishes its work and completes the IRP onwards.
    walk_.upperResult = STATUS_SUCCESS;
    irp->IoStatus.Information = 9;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(walk_.calls, (std::vector<std::string>{"upper", "originator"}));
    EXPECT_EQ(irp->IoStatus.Information, 9u);
    IoFreeIrp(irp);
}

TEST_F(CompletionWalkTest, PendingReturnedReachesTheOriginator) {
    walk_.lowerPends = true;
    NTSTATUS sent;
    PIRP irp = Send(&sent);
    EXPECT_EQ(sent, STATUS_PENDING);
    EXPECT_TRUE(walk_.originatorSawPending);
    IoFreeIrp(irp);
}

struct InvokeCase {
    const char* name;
    NTSTATUS status;
    bool cancelled;
    bool onSuccess, onError, onCancel;
    bool invoked;
};

void PrintTo(const InvokeCase& c, std::ostream* os) {
    *os << c.name;
}

class InvokeFlagTest : public KernelTest, public ::testing::WithParamInterface<InvokeCase> {};

NTSTATUS CountCall(PDEVICE_OBJECT, PIRP, PVOID context) {
    ++*static_cast<int*>(context);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS KeepForOwner(PDEVICE_OBJECT, PIRP, PVOID) {
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_P(InvokeFlagTest, RoutineRunsOnlyForItsCases) {
    const InvokeCase& c = GetParam();
    int calls = 0;
    PIRP irp = IoAllocateIrp(2, FALSE);
    IoSetCompletionRoutine(irp, KeepForOwner, nullptr, TRUE, TRUE, TRUE);
    IoSetNextIrpStackLocation(irp);
    IoSetCompletionRoutine(irp, CountCall, &calls, c.onSuccess, c.onError, c.onCancel);
    IoSetNextIrpStackLocation(irp);
    irp->Cancel = c.cancelled;
    irp->IoStatus.Status = c.status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(calls, c.invoked ? 1 : 0);
    IoFreeIrp(irp);
}

INSTANTIATE_TEST_SUITE_P(
    Flags, InvokeFlagTest,
    ::testing::Values(
        InvokeCase{"SuccessOnSuccess", STATUS_SUCCESS, false, true, false, false, true},
        InvokeCase{"SuccessOnErrorOnly", STATUS_SUCCESS, false, false, true, false, false},
        InvokeCase{"ErrorOnError", STATUS_IO_TIMEOUT, false, false, true, false, true},
        InvokeCase{"ErrorOnSuccessOnly", STATUS_IO_TIMEOUT, false, true, false, false, false},
        InvokeCase{"WarningIsNoSuccess", STATUS_BUFFER_OVERFLOW, false, false, true, false, true},
        InvokeCase{"CancelledOnCancel", STATUS_CANCELLED, true, false, false, true, true},
        InvokeCase{"CancelFlagWithoutCancel", STATUS_SUCCESS, false, false, false, true, false}),
    [](const auto& info) { return std::string(info.param.name); });

// --- IRPs the I/O manager builds --------------------------------------------

struct IoctlSeen {
    UCHAR major = 0xFF;
    ULONG code = 0;
    std::string input;
    PVOID type3 = nullptr;
    bool pend = false;
};
IoctlSeen* g_seen = nullptr;
std::thread* g_later = nullptr;

NTSTATUS IoctlDispatch(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    g_seen->major = sp->MajorFunction;
    g_seen->code = sp->Parameters.DeviceIoControl.IoControlCode;
    g_seen->type3 = sp->Parameters.DeviceIoControl.Type3InputBuffer;
    auto buffer = static_cast<char*>(irp->AssociatedIrp.SystemBuffer);
    if (buffer != nullptr) {
        g_seen->input.assign(buffer, sp->Parameters.DeviceIoControl.InputBufferLength);
        memcpy(buffer, "reply-and-more", 14);
    }
    irp->IoStatus.Information = 14; // more than the caller's buffer holds
    irp->IoStatus.Status = STATUS_SUCCESS;
    if (g_seen->pend) {
        IoMarkIrpPending(irp);
        *g_later = std::thread([irp] {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            KeLowerIrql(old);
        });
        return STATUS_PENDING;
    }
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

class BuiltIrpTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        stack_.lowerDriver.MajorFunction[IRP_MJ_DEVICE_CONTROL] = IoctlDispatch;
        stack_.lowerDriver.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = IoctlDispatch;
        g_seen = &seen_;
        g_later = &later_;
    }
    void TearDown() override {
        if (later_.joinable()) {
            later_.join();
        }
        g_seen = nullptr;
        g_later = nullptr;
        KernelTest::TearDown();
    }
    DeviceStack stack_;
    IoctlSeen seen_;
    std::thread later_;
};

TEST_F(BuiltIrpTest, BufferedRequestCopiesBothWaysSignalsAndFrees) {
    const ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
    char input[] = "ask";
    char output[6] = {};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    iosb.Status = STATUS_UNSUCCESSFUL;
    PIRP irp = IoBuildDeviceIoControlRequest(code, stack_.lower, input, 3, output, sizeof output,
                                             FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(host::LiveIrpCount(), 1u);
    EXPECT_EQ(IoCallDriver(stack_.lower, irp), STATUS_SUCCESS);
    EXPECT_EQ(seen_.major, IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(seen_.code, code);
    EXPECT_EQ(seen_.input, "ask");
    EXPECT_EQ(std::string(output, sizeof output), "reply-");
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 14u);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(host::LiveIrpCount(), 0u);
}

TEST_F(BuiltIrpTest, InternalRequestCompletedLaterSignalsTheCaller) {
    const ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 4, METHOD_NEITHER, FILE_ANY_ACCESS);
    seen_.pend = true;
    int argument = 0;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, stack_.lower, &argument, 0, nullptr, 0, TRUE,
                                             &event, &iosb);
    ASSERT_NE(irp, nullptr);
    NTSTATUS status = IoCallDriver(stack_.lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(seen_.major, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(seen_.type3, &argument);
    later_.join();
    EXPECT_EQ(host::LiveIrpCount(), 0u);
}

TEST_F(BuiltIrpTest, FailsCleanlyWhenPoolRunsOut) {
    const ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
    char buffer[8] = {};
    IO_STATUS_BLOCK iosb{};
    for (ULONG tag : {host::PoolTag("Irp "), host::PoolTag("IoBf")}) {
        host::ClearPoolFaults();
        host::FailAllocationsWithTag(tag);
        EXPECT_EQ(IoBuildDeviceIoControlRequest(code, stack_.lower, buffer, 8, buffer, 8, FALSE,
                                                nullptr, &iosb),
                  nullptr)
            << host::PoolTagName(tag);
    }
}

TEST_F(IrpTest, UnhandledMajorFunctionIsRefused) {
    DeviceStack stack;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp =
        IoBuildDeviceIoControlRequest(0, stack.lower, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
    EXPECT_EQ(IoCallDriver(stack.lower, irp), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(iosb.Status, STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(IrpTest, AttachingStacksGrowsStackSize) {
    DeviceStack stack;
    EXPECT_EQ(stack.lower->StackSize, 1);
    EXPECT_EQ(stack.upper->StackSize, 2);
    EXPECT_EQ(stack.lower->AttachedDevice, stack.upper);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(stack.lower);
    EXPECT_EQ(top, stack.upper);
    ObDereferenceObject(top);
    EXPECT_EQ(stack.lowerDriver.DeviceObject, stack.lower);
}

} // namespace

#include "device_stack.h"
#include "kernel_test.h"

#include <wdm.h>

#include <atomic>
#include <thread>

namespace {

using WorkItemTest = KernelTest;

struct WorkRun {
    KEVENT done;
    PDEVICE_OBJECT device = nullptr;
    KIRQL irql = HIGH_LEVEL;
    HANDLE thread = nullptr;
    PIO_WORKITEM item = nullptr; // freed by the routine when set
    bool raiseAndReturn = false;
};

// References on a device beside its creator's.
LONG_PTR ExtraReferences(PDEVICE_OBJECT device) {
    LONG_PTR count = ObfReferenceObject(device);
    ObfDereferenceObject(device);
    return count - 2;
}

// An item that blocks until released. It says when it has started and, as its
// very last act, when it is done with the record: the test's record must not
// go out of scope before that, even when the item is released before it has
// begun to wait.
struct Blocker {
    KEVENT started;
    KEVENT release;
    KEVENT finished;
    Blocker() {
        KeInitializeEvent(&started, NotificationEvent, FALSE);
        KeInitializeEvent(&release, NotificationEvent, FALSE);
        KeInitializeEvent(&finished, NotificationEvent, FALSE);
    }
    ~Blocker() {
        KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&finished, Executive, KernelMode, FALSE, nullptr);
    }
    static VOID Run(PDEVICE_OBJECT, PVOID context) {
        auto b = static_cast<Blocker*>(context);
        KeSetEvent(&b->started, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&b->release, Executive, KernelMode, FALSE, nullptr);
        KeSetEvent(&b->finished, IO_NO_INCREMENT, FALSE);
    }
};

// A wait that must end; bounded so that a fault fails the test, not the run.
NTSTATUS WaitBounded(KEVENT* event) {
    LARGE_INTEGER tenSeconds;
    tenSeconds.QuadPart = -100000000;
    return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &tenSeconds);
}

VOID Routine(PDEVICE_OBJECT device, PVOID context) {
    auto run = static_cast<WorkRun*>(context);
    run->device = device;
    run->irql = KeGetCurrentIrql();
    run->thread = PsGetCurrentThreadId();
    if (run->item != nullptr) {
        IoFreeWorkItem(run->item);
    }
    if (run->raiseAndReturn) {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
    }
    KeSetEvent(&run->done, IO_NO_INCREMENT, FALSE);
}

class WorkQueueTest : public KernelTest, public ::testing::WithParamInterface<WORK_QUEUE_TYPE> {};

TEST_P(WorkQueueTest, RunsAtPassiveOnAWorkerWithDeviceAndContext) {
    DeviceStack stack;
    WorkRun run;
    KeInitializeEvent(&run.done, NotificationEvent, FALSE);
    PIO_WORKITEM item = IoAllocateWorkItem(stack.lower);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(host::LiveWorkItemCount(), 1u);

    // Queued from dispatch level, as a completion routine does.
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoQueueWorkItem(item, Routine, GetParam(), &run);
    KeLowerIrql(old);

    KeWaitForSingleObject(&run.done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(run.device, stack.lower);
    EXPECT_EQ(run.irql, PASSIVE_LEVEL);
    EXPECT_NE(run.thread, PsGetCurrentThreadId());
    ASSERT_TRUE(m4350::WaitUntil([&] { return ExtraReferences(stack.lower) == 0; }))
        << "the device reference taken for the run was not dropped";
    IoFreeWorkItem(item);
    EXPECT_EQ(host::LiveWorkItemCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Queues, WorkQueueTest,
                         ::testing::Values(CriticalWorkQueue, DelayedWorkQueue),
                         [](const auto& info) {
                             return std::string(info.param == CriticalWorkQueue ? "Critical"
                                                                                : "Delayed");
                         });

TEST_F(WorkItemTest, RoutineMayFreeItsOwnItem) {
    DeviceStack stack;
    WorkRun run;
    KeInitializeEvent(&run.done, NotificationEvent, FALSE);
    run.item = IoAllocateWorkItem(stack.lower);
    IoQueueWorkItem(run.item, Routine, DelayedWorkQueue, &run);
    KeWaitForSingleObject(&run.done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(host::LiveWorkItemCount(), 0u);
}

TEST_F(WorkItemTest, ABlockedItemDoesNotHoldUpTheNext) {
    DeviceStack stack;
    PIO_WORKITEM first = IoAllocateWorkItem(stack.lower);
    PIO_WORKITEM second = IoAllocateWorkItem(stack.lower);
    {
        Blocker blocker;
        IoQueueWorkItem(first, Blocker::Run, DelayedWorkQueue, &blocker);
        ASSERT_EQ(WaitBounded(&blocker.started), STATUS_SUCCESS);
        WorkRun run;
        KeInitializeEvent(&run.done, NotificationEvent, FALSE);
        IoQueueWorkItem(second, Routine, DelayedWorkQueue, &run);
        EXPECT_EQ(WaitBounded(&run.done), STATUS_SUCCESS);
    }
    ASSERT_TRUE(m4350::WaitUntil([&] { return ExtraReferences(stack.lower) == 0; }));
    IoFreeWorkItem(second);
    IoFreeWorkItem(first);
}

// Two items queued back to back while one worker is idle: that worker takes
// the first, and the second gets a worker of its own even though the first
// has not yet been taken off the queue when it arrives.
TEST_F(WorkItemTest, ItemsQueuedTogetherEachGetAWorker) {
    DeviceStack stack;
    PIO_WORKITEM warmUp = IoAllocateWorkItem(stack.lower);
    PIO_WORKITEM blocking = IoAllocateWorkItem(stack.lower);
    PIO_WORKITEM next = IoAllocateWorkItem(stack.lower);
    {
        // Leaves a worker behind that goes idle once its item is done.
        WorkRun warm;
        KeInitializeEvent(&warm.done, NotificationEvent, FALSE);
        IoQueueWorkItem(warmUp, Routine, CriticalWorkQueue, &warm);
        ASSERT_EQ(WaitBounded(&warm.done), STATUS_SUCCESS);
        ASSERT_TRUE(m4350::WaitUntil([&] { return ExtraReferences(stack.lower) == 0; }));

        Blocker blocker;
        WorkRun run;
        KeInitializeEvent(&run.done, NotificationEvent, FALSE);
        IoQueueWorkItem(blocking, Blocker::Run, CriticalWorkQueue, &blocker);
        IoQueueWorkItem(next, Routine, CriticalWorkQueue, &run);
        EXPECT_EQ(WaitBounded(&run.done), STATUS_SUCCESS);
    }
    ASSERT_TRUE(m4350::WaitUntil([&] { return ExtraReferences(stack.lower) == 0; }));
    IoFreeWorkItem(warmUp);
    IoFreeWorkItem(blocking);
    IoFreeWorkItem(next);
}

TEST_F(WorkItemTest, RoutineReturningAtRaisedIrqlIsCaught) {
    host::SetVerifierTestMode(true);
    DeviceStack stack;
    WorkRun run;
    run.raiseAndReturn = true;
    KeInitializeEvent(&run.done, NotificationEvent, FALSE);
    PIO_WORKITEM item = IoAllocateWorkItem(stack.lower);
    IoQueueWorkItem(item, Routine, CriticalWorkQueue, &run);
    KeWaitForSingleObject(&run.done, Executive, KernelMode, FALSE, nullptr);
    ASSERT_TRUE(
        m4350::WaitUntil([] { return host::ViolationCount(host::Rule::IrqlNotRestored) == 1; }));
    host::ClearViolations();
    ASSERT_TRUE(m4350::WaitUntil([&] { return ExtraReferences(stack.lower) == 0; }));
    IoFreeWorkItem(item);
}

} // namespace

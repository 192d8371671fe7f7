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
    ASSERT_TRUE(m4350::WaitUntil([&] { return host::LiveObjectCount() == 2; }))
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
    struct Blocker {
        KEVENT release;
        KEVENT started;
    } blocker;
    KeInitializeEvent(&blocker.release, NotificationEvent, FALSE);
    KeInitializeEvent(&blocker.started, NotificationEvent, FALSE);
    PIO_WORKITEM first = IoAllocateWorkItem(stack.lower);
    PIO_WORKITEM second = IoAllocateWorkItem(stack.lower);
    IoQueueWorkItem(
        first,
        [](PDEVICE_OBJECT, PVOID context) {
            auto b = static_cast<Blocker*>(context);
            KeSetEvent(&b->started, IO_NO_INCREMENT, FALSE);
            KeWaitForSingleObject(&b->release, Executive, KernelMode, FALSE, nullptr);
        },
        DelayedWorkQueue, &blocker);
    KeWaitForSingleObject(&blocker.started, Executive, KernelMode, FALSE, nullptr);
    WorkRun run;
    KeInitializeEvent(&run.done, NotificationEvent, FALSE);
    IoQueueWorkItem(second, Routine, DelayedWorkQueue, &run);
    EXPECT_EQ(KeWaitForSingleObject(&run.done, Executive, KernelMode, FALSE, nullptr),
              STATUS_SUCCESS);
    KeSetEvent(&blocker.release, IO_NO_INCREMENT, FALSE);
    IoFreeWorkItem(second);
    ASSERT_TRUE(m4350::WaitUntil([&] { return host::LiveObjectCount() == 2; }));
    IoFreeWorkItem(first);
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
    ASSERT_TRUE(m4350::WaitUntil([&] { return host::LiveObjectCount() == 2; }));
    IoFreeWorkItem(item);
}

} // namespace

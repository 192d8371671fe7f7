#include "device_stack.h"
#include "kernel_test.h"

#include <wdm.h>

#include <functional>
#include <thread>

namespace {

const ULONG kTag = host::PoolTag("Test");

NTSTATUS KeepIrp(PDEVICE_OBJECT, PIRP, PVOID) {
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS LetIrpGo(PDEVICE_OBJECT, PIRP, PVOID) {
    return STATUS_SUCCESS;
}

NTSTATUS ReturnAtDispatch(PDEVICE_OBJECT, PIRP, PVOID) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID NeverCalled(PDEVICE_OBJECT, PIRP) {}

// Completes the request (which frees it) and forgets to lower the IRQL.
NTSTATUS DispatchLeavingIrqlRaised(PDEVICE_OBJECT, PIRP irp) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// Completes an IRP of one stack location with the given routine installed.
PIRP CompleteWith(PIO_COMPLETION_ROUTINE routine) {
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoSetCompletionRoutine(irp, routine, nullptr, TRUE, TRUE, TRUE);
    IoSetNextIrpStackLocation(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return irp;
}

struct RuleCase {
    const char* name;
    host::Rule rule;
    std::function<void()> trigger; // breaks the rule once and cleans up after itself
};

void PrintTo(const RuleCase& c, std::ostream* os) {
    *os << c.name;
}

class VerifierRuleTest : public KernelTest, public ::testing::WithParamInterface<RuleCase> {};

TEST_P(VerifierRuleTest, FiresInTestModeAndNamesTheRule) {
    const RuleCase& c = GetParam();
    host::SetVerifierTestMode(true);
    c.trigger();
    ASSERT_TRUE(m4350::WaitUntil([&] { return host::ViolationCount(c.rule) > 0; }));
    std::vector<host::Violation> violations = host::TakeViolations();
    std::string all;
    for (const auto& v : violations) {
        all += v.message + "\n";
    }
    ASSERT_EQ(violations.size(), 1u) << all;
    EXPECT_EQ(violations[0].rule, c.rule);
    EXPECT_EQ(
        violations[0].message.rfind(std::string("verifier: ") + host::RuleName(c.rule) + ": ", 0),
        0u)
        << violations[0].message;
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

const RuleCase kRules[] = {
    {"WaitAtDispatch", host::Rule::WaitAtDispatch,
     [] {
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, TRUE);
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         LARGE_INTEGER timeout;
         timeout.QuadPart = -10;
         KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
         KeLowerIrql(old);
     }},
    {"DelayAtDispatch", host::Rule::WaitAtDispatch,
     [] {
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         LARGE_INTEGER interval;
         interval.QuadPart = -1;
         KeDelayExecutionThread(KernelMode, FALSE, &interval);
         KeLowerIrql(old);
     }},
    {"MutexAtDispatch", host::Rule::MutexAtDispatch,
     [] {
         KMUTEX mutex;
         KeInitializeMutex(&mutex, 0);
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         LARGE_INTEGER poll{};
         KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &poll);
         KeLowerIrql(old);
         KeReleaseMutex(&mutex, FALSE);
     }},
    {"MutexReleasedByAnotherThread", host::Rule::MutexNotOwned,
     [] {
         KMUTEX mutex;
         KeInitializeMutex(&mutex, 0);
         KEVENT held, released;
         KeInitializeEvent(&held, NotificationEvent, FALSE);
         KeInitializeEvent(&released, NotificationEvent, FALSE);
         std::thread owner([&] {
             KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
             KeSetEvent(&held, 0, FALSE);
             KeWaitForSingleObject(&released, Executive, KernelMode, FALSE, nullptr);
             KeReleaseMutex(&mutex, FALSE);
         });
         KeWaitForSingleObject(&held, Executive, KernelMode, FALSE, nullptr);
         KeReleaseMutex(&mutex, FALSE);
         KeSetEvent(&released, 0, FALSE);
         owner.join();
     }},
    {"SpinLockNotHeld", host::Rule::SpinLockNotHeld,
     [] {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
     }},
    {"SpinLockRecursion", host::Rule::SpinLockRecursion,
     [] {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KIRQL old;
         KeAcquireSpinLock(&lock, &old);
         KeAcquireSpinLockAtDpcLevel(&lock);
         KeReleaseSpinLock(&lock, old);
     }},
    {"CompletionRoutineLeavesIrqlRaised", host::Rule::IrqlNotRestored,
     [] { IoFreeIrp(CompleteWith(ReturnAtDispatch)); }},
    {"DispatchRoutineLeavesIrqlRaised", host::Rule::IrqlNotRestored,
     [] {
         DeviceStack stack;
         stack.lowerDriver.MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchLeavingIrqlRaised;
         IO_STATUS_BLOCK iosb{};
         PIRP irp = IoBuildDeviceIoControlRequest(0, stack.lower, nullptr, 0, nullptr, 0, FALSE,
                                                  nullptr, &iosb);
         IoCallDriver(stack.lower, irp);
     }},
    {"LowerToAHigherIrql", host::Rule::IrqlBadLower, [] { KeLowerIrql(DISPATCH_LEVEL); }},
    {"RaiseToALowerIrql", host::Rule::IrqlBadRaise,
     [] {
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         KIRQL ignored;
         KeRaiseIrql(APC_LEVEL, &ignored);
         KeLowerIrql(old);
     }},
    {"PagedCodeAtDispatch", host::Rule::PagedCodeAtDispatch,
     [] {
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         PAGED_CODE();
         KeLowerIrql(old);
     }},
    {"PoolDoubleFree", host::Rule::PoolDoubleFree,
     [] {
         PVOID p = ExAllocatePoolWithTag(NonPagedPoolNx, 32, kTag);
         ExFreePoolWithTag(p, kTag);
         ExFreePoolWithTag(p, kTag);
     }},
    {"PoolWrongTag", host::Rule::PoolWrongTag,
     [] {
         PVOID p = ExAllocatePoolWithTag(NonPagedPoolNx, 32, kTag);
         ExFreePoolWithTag(p, host::PoolTag("Othr"));
     }},
    {"RemoveLockReleasedMoreThanAcquired", host::Rule::RemoveLockUnderflow,
     [] {
         IO_REMOVE_LOCK lock;
         int tag;
         IoInitializeRemoveLock(&lock, kTag, 0, 0);
         IoAcquireRemoveLock(&lock, &tag);
         IoReleaseRemoveLock(&lock, &tag);
         IoReleaseRemoveLock(&lock, &tag);
         IoAcquireRemoveLock(&lock, &tag);
         IoReleaseRemoveLockAndWait(&lock, &tag);
     }},
    {"RemoveLockSize", host::Rule::RemoveLockBadSize,
     [] {
         IO_REMOVE_LOCK lock;
         IoInitializeRemoveLockEx(&lock, kTag, 0, 0, 8);
     }},
    {"IrpCompletedWithCancelRoutine", host::Rule::IrpCompletedWithCancel,
     [] {
         PIRP irp = IoAllocateIrp(1, FALSE);
         IoSetCompletionRoutine(irp, KeepIrp, nullptr, TRUE, TRUE, TRUE);
         IoSetNextIrpStackLocation(irp);
         IoSetCancelRoutine(irp, NeverCalled);
         irp->IoStatus.Status = STATUS_SUCCESS;
         IoCompleteRequest(irp, IO_NO_INCREMENT);
         IoFreeIrp(irp);
     }},
    {"IrpWithoutStackLocation", host::Rule::IrpStackOverflow,
     [] {
         DeviceStack stack;
         PIRP irp = IoAllocateIrp(1, FALSE);
         IoSetNextIrpStackLocation(irp);
         EXPECT_EQ(IoCallDriver(stack.lower, irp), STATUS_INVALID_DEVICE_REQUEST);
         IoFreeIrp(irp);
     }},
    {"IrpFreedTwice", host::Rule::IrpFreedTwice,
     [] {
         PIRP irp = IoAllocateIrp(1, FALSE);
         IoFreeIrp(irp);
         IoFreeIrp(irp);
     }},
    {"IrpCompletedPastItsOriginator", host::Rule::IrpUnowned,
     [] { IoFreeIrp(CompleteWith(LetIrpGo)); }},
    {"UnknownObject", host::Rule::ObjectUnknown,
     [] {
         int notAnObject = 0;
         ObReferenceObject(&notAnObject);
     }},
    {"ZeroStackIrp", host::Rule::InvalidParameter,
     [] { EXPECT_EQ(IoAllocateIrp(0, FALSE), nullptr); }},
    {"Assertion", host::Rule::Assertion, [] { ASSERT(1 + 1 == 3); }},
    {"ExtendedStateSavedAboveDispatch", host::Rule::ExtendedStateIrql,
     [] {
         KIRQL old;
         KeRaiseIrql(HIGH_LEVEL, &old);
         XSTATE_SAVE save;
         EXPECT_FALSE(NT_SUCCESS(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &save)));
         KeLowerIrql(old);
         EXPECT_EQ(host::ExtendedStateSaveDepth(), 0u);
     }},
    {"ExtendedStateRestoredAtAnotherIrql", host::Rule::ExtendedStateIrql,
     [] {
         XSTATE_SAVE save;
         ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &save), STATUS_SUCCESS);
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         KeRestoreExtendedProcessorState(&save);
         KeLowerIrql(old);
     }},
    {"ExtendedStateRestoredOuterFirst", host::Rule::ExtendedStateUnpaired,
     [] {
         XSTATE_SAVE outer, inner;
         ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &outer), STATUS_SUCCESS);
         ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &inner), STATUS_SUCCESS);
         KeRestoreExtendedProcessorState(&outer);
         EXPECT_EQ(host::ExtendedStateSaveDepth(), 0u);
     }},
    {"ExtendedStateNeverSaved", host::Rule::ExtendedStateUnpaired,
     [] {
         XSTATE_SAVE save{};
         KeRestoreExtendedProcessorState(&save);
     }},
};

INSTANTIATE_TEST_SUITE_P(Rules, VerifierRuleTest, ::testing::ValuesIn(kRules),
                         [](const auto& info) { return std::string(info.param.name); });

using VerifierTest = KernelTest;

TEST_F(VerifierTest, SecondCompletionIsCaught) {
    host::SetVerifierTestMode(true);
    PIRP irp = CompleteWith(LetIrpGo); // runs past its originator: kept, reported
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(host::ViolationCount(host::Rule::IrpUnowned), 1u);
    EXPECT_EQ(host::ViolationCount(host::Rule::IrpCompletedTwice), 1u);
    host::ClearViolations();
    IoFreeIrp(irp);
}

TEST_F(VerifierTest, SpinLockCallsAtDpcLevelNeedDispatch) {
    host::SetVerifierTestMode(true);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KeAcquireSpinLockAtDpcLevel(&lock);
    KeReleaseSpinLockFromDpcLevel(&lock);
    EXPECT_EQ(host::ViolationCount(host::Rule::SpinLockBelowDispatch), 2u);
    EXPECT_TRUE(KeTestSpinLock(&lock));
    host::ClearViolations();
}

TEST_F(VerifierTest, WaitsThatCannotBlockAreAllowedAtDispatch) {
    host::SetVerifierTestMode(true);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    LARGE_INTEGER poll{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    KeSetEvent(&event, 0, FALSE);
    KeLowerIrql(old);
    EXPECT_TRUE(host::Violations().empty());
}

TEST_F(VerifierTest, NestedExtendedStateSavesAtDispatchPair) {
    host::SetVerifierTestMode(true);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    XSTATE_SAVE outer, inner;
    ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &outer), STATUS_SUCCESS);
    ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &inner), STATUS_SUCCESS);
    EXPECT_EQ(inner.Prev, &outer);
    EXPECT_EQ(host::ExtendedStateSaveDepth(), 2u);
    KeRestoreExtendedProcessorState(&inner);
    KeRestoreExtendedProcessorState(&outer);
    KeLowerIrql(old);
    EXPECT_EQ(host::ExtendedStateSaveDepth(), 0u);
    EXPECT_TRUE(host::Violations().empty());
}

TEST_F(VerifierTest, ViolationOutsideTestModeStopsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            PVOID p = ExAllocatePoolWithTag(NonPagedPoolNx, 32, kTag);
            ExFreePoolWithTag(p, kTag);
            ExFreePoolWithTag(p, kTag);
        },
        "verifier: POOL_DOUBLE_FREE: pool block 0x[0-9a-f]+ freed, but it is not allocated");
}

} // namespace

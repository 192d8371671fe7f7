#include "kernel_test.h"

#include <wdm.h>

#include <atomic>

namespace {

using ThreadTest = KernelTest;

struct Start {
    KEVENT go;
    std::atomic<bool> ran{false};
    std::atomic<bool> pastTerminate{false};
    KIRQL irql = HIGH_LEVEL;
    bool system = false;
    bool terminateEarly = false;
    bool leaveRaised = false;
};

VOID ThreadMain(PVOID context) {
    auto start = static_cast<Start*>(context);
    start->irql = KeGetCurrentIrql();
    KeWaitForSingleObject(&start->go, Executive, KernelMode, FALSE, nullptr);
    start->ran = true;
    if (start->leaveRaised) {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        return;
    }
    if (start->terminateEarly) {
        PsTerminateSystemThread(STATUS_SUCCESS);
        start->pastTerminate = true;
    }
}

HANDLE StartThread(Start* start) {
    KeInitializeEvent(&start->go, NotificationEvent, FALSE);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr,
                                   ThreadMain, start),
              STATUS_SUCCESS);
    return handle;
}

// Waits on the thread object as a driver does: handle -> object -> wait.
NTSTATUS WaitForThread(HANDLE handle, LARGE_INTEGER* timeout) {
    PVOID object = nullptr;
    NTSTATUS status =
        ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &object, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = KeWaitForSingleObject(object, Executive, KernelMode, FALSE, timeout);
    ObDereferenceObject(object);
    return status;
}

struct EndCase {
    const char* name;
    bool terminateEarly;
};

void PrintTo(const EndCase& c, std::ostream* os) {
    *os << c.name;
}

class ThreadEndTest : public KernelTest, public ::testing::WithParamInterface<EndCase> {};

TEST_P(ThreadEndTest, ThreadObjectSignalsWhenTheThreadEnds) {
    Start start;
    start.terminateEarly = GetParam().terminateEarly;
    HANDLE handle = StartThread(&start);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(host::OpenThreadHandleCount(), 1u);

    LARGE_INTEGER poll{};
    EXPECT_EQ(WaitForThread(handle, &poll), STATUS_TIMEOUT);
    KeSetEvent(&start.go, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(WaitForThread(handle, nullptr), STATUS_SUCCESS);
    EXPECT_TRUE(start.ran);
    EXPECT_FALSE(start.pastTerminate);
    EXPECT_EQ(start.irql, PASSIVE_LEVEL);

    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(host::OpenThreadHandleCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Ends, ThreadEndTest,
                         ::testing::Values(EndCase{"Returns", false}, EndCase{"Terminates", true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ThreadTest, HandleLookupChecksHandleAndType) {
    Start start;
    HANDLE handle = StartThread(&start);
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *ExEventObjectType, KernelMode,
                                        &object, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(0x1234), SYNCHRONIZE,
                                        *PsThreadType, KernelMode, &object, nullptr),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(object, nullptr);
    KeSetEvent(&start.go, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(WaitForThread(handle, nullptr), STATUS_SUCCESS);
    ZwClose(handle);
}

TEST_F(ThreadTest, ObjectOutlivesAClosedHandleWhileReferenced) {
    Start start;
    HANDLE handle = StartThread(&start);
    PVOID object = nullptr;
    ASSERT_EQ(
        ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &object, nullptr),
        STATUS_SUCCESS);
    ZwClose(handle);
    KeSetEvent(&start.go, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ObDereferenceObject(object);
}

TEST_F(ThreadTest, TerminateFromANonSystemThreadIsRefused) {
    host::SetVerifierTestMode(true);
    EXPECT_EQ(PsTerminateSystemThread(STATUS_SUCCESS), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(host::TakeViolations().size(), 1u);
}

TEST_F(ThreadTest, ThreadEndingAtRaisedIrqlIsCaught) {
    host::SetVerifierTestMode(true);
    Start start;
    start.leaveRaised = true;
    HANDLE handle = StartThread(&start);
    KeSetEvent(&start.go, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(WaitForThread(handle, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(host::ViolationCount(host::Rule::ThreadIrql), 1u);
    host::ClearViolations();
    ZwClose(handle);
}

TEST_F(ThreadTest, CreationFailsCleanlyWithoutPool) {
    host::FailAllocationsWithTag(host::PoolTag("Thre"));
    Start start;
    KeInitializeEvent(&start.go, NotificationEvent, FALSE);
    HANDLE handle = nullptr;
    EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                   ThreadMain, &start),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(start.ran);
}

} // namespace

// Driver time: the thread time the platform's own threads spend in driver
// code, each stretch counted once.
#include "kernel_test.h"

#include <host/driver_time.h>

#include <wdm.h>

#include <ctime>

namespace {

using DriverTimeTest = KernelTest;

double ThreadSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// Uses this thread's processor for `seconds` of its own time.
void Burn(double seconds) {
    const double until = ThreadSeconds() + seconds;
    volatile unsigned sink = 0;
    while (ThreadSeconds() < until) {
        for (unsigned i = 0; i < 1000; ++i) {
            sink = sink + i;
        }
    }
}

TEST_F(DriverTimeTest, NestedScopesCountTheirTimeOnce) {
    const double before = host::DriverCpuSeconds();
    {
        host::DriverTimeScope outer;
        Burn(0.02);
        {
            host::DriverTimeScope inner;
            Burn(0.02);
        }
    }
    Burn(0.02); // outside any scope
    const double counted = host::DriverCpuSeconds() - before;
    EXPECT_GE(counted, 0.04);
    EXPECT_LT(counted, 0.055);
}

VOID BurningRoutine(PVOID context) {
    Burn(*static_cast<double*>(context));
}

TEST_F(DriverTimeTest, SystemThreadRoutineIsDriverTime) {
    const double before = host::DriverCpuSeconds();
    double seconds = 0.03;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr,
                                   BurningRoutine, &seconds),
              STATUS_SUCCESS);
    PVOID thread = nullptr;
    ASSERT_EQ(
        ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr),
        STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ObDereferenceObject(thread);
    ZwClose(handle);
    // The thread signals before its scope has added its time.
    double counted = 0;
    for (int i = 0; i < 200 && counted < seconds; ++i) {
        counted = host::DriverCpuSeconds() - before;
        if (counted < seconds) {
            LARGE_INTEGER pause{.QuadPart = -10000}; // 1 ms
            KeDelayExecutionThread(KernelMode, FALSE, &pause);
        }
    }
    EXPECT_GE(counted, seconds);
}

} // namespace

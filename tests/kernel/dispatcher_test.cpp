#include "kernel_test.h"

#include <wdm.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

using DispatcherTest = KernelTest;

LARGE_INTEGER Relative(LONGLONG milliseconds) {
    LARGE_INTEGER t;
    t.QuadPart = -milliseconds * 10000;
    return t;
}

LARGE_INTEGER AbsoluteFromNow(LONGLONG milliseconds) {
    LARGE_INTEGER t;
    KeQuerySystemTime(&t);
    t.QuadPart += milliseconds * 10000;
    return t;
}

NTSTATUS Poll(PVOID object) {
    LARGE_INTEGER zero{};
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &zero);
}

struct TimeoutCase {
    const char* name;
    bool signalled;
    bool forever;
    LARGE_INTEGER (*timeout)();
    NTSTATUS expected;
};

void PrintTo(const TimeoutCase& c, std::ostream* os) {
    *os << c.name;
}

class WaitTimeoutTest : public KernelTest, public ::testing::WithParamInterface<TimeoutCase> {};

// An hour at this scale is 3.6 ms: a wait that ignored the scale would hang
// until CTest gives up.
TEST_P(WaitTimeoutTest, EndsAsTheTimeOutSays) {
    const TimeoutCase& c = GetParam();
    host::SetTimeScale(1e-6);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, c.signalled);
    LARGE_INTEGER timeout = c.forever ? LARGE_INTEGER{} : c.timeout();
    EXPECT_EQ(
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, c.forever ? nullptr : &timeout),
        c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Timeouts, WaitTimeoutTest,
    ::testing::Values(TimeoutCase{"NullOnSignalled", true, true, nullptr, STATUS_SUCCESS},
                      TimeoutCase{"ZeroPollsUnsignalled", false, false,
                                  [] { return LARGE_INTEGER{}; }, STATUS_TIMEOUT},
                      TimeoutCase{"ZeroPollsSignalled", true, false, [] { return LARGE_INTEGER{}; },
                                  STATUS_SUCCESS},
                      TimeoutCase{"RelativeHourIsScaled", false, false,
                                  [] { return Relative(3600 * 1000); }, STATUS_TIMEOUT},
                      TimeoutCase{"AbsoluteInThePast", false, false,
                                  [] { return AbsoluteFromNow(-1000); }, STATUS_TIMEOUT},
                      TimeoutCase{"AbsoluteSoon", false, false, [] { return AbsoluteFromNow(20); },
                                  STATUS_TIMEOUT}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DispatcherTest, TimeScaleShrinksRealDurations) {
    host::SetTimeScale(0.001);
    EXPECT_EQ(host::ScaledDuration(std::chrono::seconds(5)), std::chrono::milliseconds(5));
    host::SetTimeScale(1);
    EXPECT_EQ(host::ScaledDuration(std::chrono::milliseconds(900)), std::chrono::milliseconds(900));
    EXPECT_THROW(host::SetTimeScale(0), std::invalid_argument);
    EXPECT_THROW(host::SetTimeScale(-1), std::invalid_argument);
    EXPECT_EQ(host::TimeScale(), 1.0);
}

TEST_F(DispatcherTest, DelayHonoursTheScale) {
    host::SetTimeScale(1e-6);
    LARGE_INTEGER hour = Relative(3600 * 1000);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &hour), STATUS_SUCCESS);
}

TEST_F(DispatcherTest, SystemTimeIsRealTimeIn100nsSince1601) {
    host::SetTimeScale(0.001);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    auto unix100ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count() /
                     100;
    EXPECT_NEAR((double)(now.QuadPart - 116444736000000000LL), (double)unix100ns, 1e7);
}

TEST_F(DispatcherTest, SynchronizationEventReleasesOneWaiterAndResets) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i) {
        waiters.emplace_back([&] {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            woken++;
        });
    }
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    ASSERT_TRUE(m4350::WaitUntil([&] { return woken == 1; }));
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    ASSERT_TRUE(m4350::WaitUntil([&] { return woken == 2; }));
    for (auto& t : waiters) {
        t.join();
    }
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(DispatcherTest, NotificationEventReleasesAllAndStaysSignalled) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back(
            [&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); });
    }
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    for (auto& t : waiters) {
        t.join();
    }
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1);
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(Poll(&event), STATUS_TIMEOUT);
}

TEST_F(DispatcherTest, MutexIsRecursiveForItsOwnerOnly) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    auto pollFromOtherThread = [&] {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        std::thread other([&] {
            status = Poll(&mutex);
            if (status == STATUS_SUCCESS) {
                KeReleaseMutex(&mutex, FALSE);
            }
        });
        other.join();
        return status;
    };
    ASSERT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateMutex(&mutex), -1);
    EXPECT_EQ(pollFromOtherThread(), STATUS_TIMEOUT);
    KeReleaseMutex(&mutex, FALSE);
    EXPECT_EQ(pollFromOtherThread(), STATUS_TIMEOUT);
    KeReleaseMutex(&mutex, FALSE);
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
    EXPECT_EQ(pollFromOtherThread(), STATUS_SUCCESS);
}

TEST_F(DispatcherTest, MutexWaiterGetsItWhenReleased) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    std::atomic<bool> acquired{false};
    std::thread waiter([&] {
        KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
        acquired = true;
        KeReleaseMutex(&mutex, FALSE);
    });
    LARGE_INTEGER shortWait = Relative(20);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &shortWait), STATUS_SUCCESS);
    EXPECT_FALSE(acquired);
    KeReleaseMutex(&mutex, FALSE);
    waiter.join();
    EXPECT_TRUE(acquired);
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
}

TEST_F(DispatcherTest, SemaphoreCountsDown) {
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 2, 2);
    EXPECT_EQ(Poll(&semaphore), STATUS_SUCCESS);
    EXPECT_EQ(Poll(&semaphore), STATUS_SUCCESS);
    EXPECT_EQ(Poll(&semaphore), STATUS_TIMEOUT);
    EXPECT_EQ(KeReleaseSemaphore(&semaphore, 0, 2, FALSE), 0);
    host::SetVerifierTestMode(true);
    KeReleaseSemaphore(&semaphore, 0, 1, FALSE);
    EXPECT_EQ(host::TakeViolations().size(), 1u);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 2);
}

TEST_F(DispatcherTest, WaitAnyReportsTheSignalledObjectWaitAllNeedsEvery) {
    KEVENT a, b;
    KeInitializeEvent(&a, NotificationEvent, FALSE);
    KeInitializeEvent(&b, NotificationEvent, TRUE);
    PVOID objects[2] = {&a, &b};
    LARGE_INTEGER zero{};
    EXPECT_EQ(
        KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &zero, nullptr),
        STATUS_WAIT_0 + 1);
    EXPECT_EQ(
        KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &zero, nullptr),
        STATUS_TIMEOUT);
    std::thread setter([&] { KeSetEvent(&a, 0, FALSE); });
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, nullptr,
                                       nullptr),
              STATUS_SUCCESS);
    setter.join();
}

TEST_F(DispatcherTest, SpinLockExcludesAndRaisesToDispatch) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0; // plain: only the lock protects it
    std::atomic<bool> wrongIrql{false};
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            if (KeGetCurrentIrql() != DISPATCH_LEVEL) {
                wrongIrql = true;
            }
            counter++;
            KeReleaseSpinLock(&lock, old);
        }
        if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
            wrongIrql = true;
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 40000);
    EXPECT_FALSE(wrongIrql);
    EXPECT_TRUE(KeTestSpinLock(&lock));
}

TEST_F(DispatcherTest, FastMutexRaisesToApcAndExcludes) {
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ExAcquireFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    bool acquiredElsewhere = true;
    std::thread other([&] { acquiredElsewhere = ExTryToAcquireFastMutex(&mutex); });
    other.join();
    EXPECT_FALSE(acquiredElsewhere);
    ExReleaseFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_TRUE(ExTryToAcquireFastMutex(&mutex));
    ExReleaseFastMutex(&mutex);
}

// A driver image initialises its fast mutexes inline, as the real headers
// do: Count 1 and the event not signalled. Contended, they must work.
TEST_F(DispatcherTest, FastMutexInitialisedInlineExcludesUnderContention) {
    FAST_MUTEX mutex;
    mutex.Count = 1;
    mutex.Owner = NULL;
    mutex.Contention = 0;
    KeInitializeEvent(&mutex.Event, SynchronizationEvent, FALSE);
    int counter = 0;
    auto work = [&] {
        for (int i = 0; i < 2000; ++i) {
            ExAcquireFastMutex(&mutex);
            ++counter;
            ExReleaseFastMutex(&mutex);
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 4000);
    EXPECT_EQ(mutex.Count, 1);
    EXPECT_EQ(mutex.Owner, nullptr);
}

} // namespace

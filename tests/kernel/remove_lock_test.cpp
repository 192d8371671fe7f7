#include "kernel_test.h"

#include <wdm.h>

#include <atomic>
#include <thread>

namespace {

using RemoveLockTest = KernelTest;

const ULONG kTag = host::PoolTag("Rlck");

TEST_F(RemoveLockTest, ReleaseAndWaitWaitsForOutstandingHolds) {
    IO_REMOVE_LOCK lock;
    IoInitializeRemoveLock(&lock, kTag, 0, 0);
    int request = 0, remover = 0;
    ASSERT_EQ(IoAcquireRemoveLock(&lock, &request), STATUS_SUCCESS);
    ASSERT_EQ(IoAcquireRemoveLock(&lock, &remover), STATUS_SUCCESS);

    std::atomic<bool> removed{false};
    std::thread removal([&] {
        IoReleaseRemoveLockAndWait(&lock, &remover);
        removed = true;
    });
    // New holds are refused as soon as removal has begun.
    ASSERT_TRUE(m4350::WaitUntil(
        [&] { return __atomic_load_n(&lock.Common.Removed, __ATOMIC_SEQ_CST) != FALSE; }));
    int late = 0;
    EXPECT_EQ(IoAcquireRemoveLock(&lock, &late), STATUS_DELETE_PENDING);
    EXPECT_FALSE(removed);

    IoReleaseRemoveLock(&lock, &request);
    removal.join();
    EXPECT_TRUE(removed);
}

TEST_F(RemoveLockTest, ReleaseWithAnUnknownTagIsNotApplied) {
    host::SetVerifierTestMode(true);
    IO_REMOVE_LOCK lock;
    IoInitializeRemoveLock(&lock, kTag, 0, 0);
    int held = 0, stranger = 0;
    IoAcquireRemoveLock(&lock, &held);
    IoReleaseRemoveLock(&lock, &stranger);
    EXPECT_EQ(host::ViolationCount(host::Rule::RemoveLockUnderflow), 1u);
    EXPECT_EQ(lock.Common.IoCount, 2);
    host::ClearViolations();
    IoReleaseRemoveLockAndWait(&lock, &held);
    EXPECT_EQ(lock.Common.IoCount, 0);
}

} // namespace

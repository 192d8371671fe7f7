// The shared test fixture. Derive test fixtures from KernelTest (or use
// it directly with TEST_F): when the fixture goes away it fails the test if
// the test left live pool (with the leak report by tag), IRPs, work items,
// system threads, open handles, or unread verifier violations behind, and
// puts the kernel's host switches (verifier test mode, pool faults, time
// scale) back. The check runs in the destructor, after a derived fixture's
// TearDown and its members are gone, so objects a fixture owns count as
// released when they are.
#pragma once

#include <gtest/gtest.h>

#include <host/kernel.h>
#if __has_include(<host/services.h>)
#include <host/services.h>
#define M4350_TEST_HAS_SERVICES 1
#endif

#include <chrono>
#include <string>
#include <thread>

namespace m4350 {

// Polls pred until it holds or bound has passed; returns its last value.
// For conditions another thread makes true; never a substitute for an event
// the code under test offers.
template <class Pred>
bool WaitUntil(Pred pred, std::chrono::milliseconds bound = std::chrono::seconds(10)) {
    auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
        if (pred()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return pred();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

} // namespace m4350

class KernelTest : public ::testing::Test {
protected:
    void SetUp() override { host::ResetForTest(); }

    ~KernelTest() override {
        // Threads and work items finish a moment after they signal their
        // waiters; give them that moment, bounded.
        const auto bound = std::chrono::seconds(10);
        m4350::WaitUntil([] { return host::LiveSystemThreadCount() == 0; }, bound);
        m4350::WaitUntil([] { return host::LiveWorkItemCount() == 0; }, bound);
        m4350::WaitUntil([] { return host::LiveIrpCount() == 0; }, bound);
        m4350::WaitUntil([] { return host::PoolLiveCount() == 0; }, bound);

        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "the test ended at a raised IRQL";
        EXPECT_EQ(host::LiveSystemThreadCount(), 0u) << "system threads still running";
        EXPECT_EQ(host::OpenThreadHandleCount(), 0u) << "thread handles not closed";
        EXPECT_EQ(host::LiveWorkItemCount(), 0u) << "work items not freed";
        EXPECT_EQ(host::LiveIrpCount(), 0u) << "IRPs not freed";
        EXPECT_EQ(host::PoolLiveCount(), 0u) << host::PoolLeakReport();
#ifdef M4350_TEST_HAS_SERVICES
        EXPECT_EQ(host::OpenHandleCount(), 0u) << "handles not closed";
#endif
        std::string unread;
        for (const auto& v : host::TakeViolations()) {
            unread += v.message + "\n";
        }
        EXPECT_TRUE(unread.empty()) << "verifier violations nobody checked:\n" << unread;
        host::ResetForTest();
    }
};

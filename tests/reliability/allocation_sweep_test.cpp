// Every allocation failed once. A whole life of one board (driver load, add,
// start with the firmware download, a power-down and up, stop, remove,
// unload) is run once to count its allocation sites, then once per site
// with that site's allocation failing. Each faulty life must end without a
// crash or a verifier stop, with nothing left behind (pool, IRPs, work
// items, threads, handles), with the failure reported by the step it reached
// or absorbed with the device still working; and a clean life must follow.
// A last life fails a seeded random share of all allocations.
#include "pool_fault_site.h"

#include "driver_system.h"
#include "driver_test.h"

#include "device/capture_device.h"

#include <host/kernel.h>
#include <host/ks_pnp.h>
#include <host/services.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace m4350test {
namespace {

using sweep::ClearSite;
using sweep::FailSite;
using sweep::SiteCounts;
using sweep::SiteFailed;

// What one life did: the first step that failed and its status.
struct Outcome {
    std::string failedStep; // empty: every step succeeded
    NTSTATUS status = STATUS_SUCCESS;
    bool firmwareLoaded = false;

    bool Completed() const { return failedStep.empty(); }
};

// One life of one board.
Outcome Life() {
    Outcome outcome;
    auto fail = [&](const char* step, NTSTATUS status) {
        if (outcome.Completed()) {
            outcome.failedStep = step;
            outcome.status = status;
        }
    };
    std::optional<DriverSystem> system;
    system.emplace();
    if (!NT_SUCCESS(system->loadStatus())) {
        fail("driver load", system->loadStatus());
        return outcome;
    }
    SimulatedBoard* board = nullptr;
    try {
        board = &system->Plug(MakeSimulatedBoard());
    } catch (const std::runtime_error&) {
        // The bus's own device object could not be made: not the driver's.
        fail("plug", STATUS_INSUFFICIENT_RESOURCES);
        return outcome;
    }
    if (!NT_SUCCESS(system->addStatus())) {
        fail("add", system->addStatus());
        return outcome;
    }
    NTSTATUS status = system->Start(*board);
    if (!NT_SUCCESS(status)) {
        fail("start", status);
        return outcome;
    }
    CaptureDevice* device = board->device();
    outcome.firmwareLoaded = device && device->firmwareLoaded;
    if (!outcome.firmwareLoaded) {
        fail("firmware", STATUS_UNSUCCESSFUL);
    }
    status = system->SetPower(*board, PowerDeviceD3);
    if (!NT_SUCCESS(status)) {
        fail("power down", status);
    }
    status = system->SetPower(*board, PowerDeviceD0);
    if (!NT_SUCCESS(status)) {
        fail("power up", status);
    }
    status = system->Stop(*board);
    if (!NT_SUCCESS(status)) {
        fail("stop", status);
    }
    system.reset(); // remove, unload
    return outcome;
}

std::string Site(ULONG tag, uint64_t n) {
    return "'" + host::PoolTagName(tag) + "' #" + std::to_string(n);
}

class AllocationSweep : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        DriverSystem::InstallFirmware();
        // The board answers at once; only waits for answers that a failure
        // withholds run their course, and they are cut short.
        host::SetTimeScale(0.05);
        host::SetVerifierTestMode(true);
    }
    void TearDown() override {
        ClearSite();
        host::ClearPoolFaults();
        DriverSystem::RemoveFirmware();
        DriverTest::TearDown();
    }

    // Nothing of the life may be left once it has ended.
    void ExpectNothingLive(const std::string& after) {
        const auto bound = std::chrono::seconds(10);
        m4350::WaitUntil([] { return host::LiveSystemThreadCount() == 0; }, bound);
        m4350::WaitUntil([] { return host::LiveWorkItemCount() == 0; }, bound);
        m4350::WaitUntil([] { return host::LiveIrpCount() == 0; }, bound);
        m4350::WaitUntil([] { return host::PoolLiveCount() == 0; }, bound);
        EXPECT_EQ(host::LiveSystemThreadCount(), 0u) << after;
        EXPECT_EQ(host::OpenThreadHandleCount(), 0u) << after;
        EXPECT_EQ(host::LiveWorkItemCount(), 0u) << after;
        EXPECT_EQ(host::LiveIrpCount(), 0u) << after;
        EXPECT_EQ(host::OpenHandleCount(), 0u) << after;
        EXPECT_EQ(host::PoolLiveCount(), 0u) << after << "\n" << host::PoolLeakReport();
        std::string violations;
        for (const auto& v : host::TakeViolations()) {
            violations += v.message + "\n";
        }
        EXPECT_TRUE(violations.empty()) << after << ":\n" << violations;
    }

    void ExpectCleanLife(const std::string& after) {
        Outcome clean = Life();
        EXPECT_TRUE(clean.Completed())
            << "a clean life after " << after << " failed at " << clean.failedStep << " (0x"
            << std::hex << ULONG(clean.status) << ")";
        ExpectNothingLive("the clean life after " + after);
    }
};

TEST_F(AllocationSweep, EverySiteFailedOnce) {
    sweep::ResetSites();
    Outcome counted = Life();
    ASSERT_TRUE(counted.Completed()) << counted.failedStep;
    ExpectNothingLive("the counting life");
    const std::map<ULONG, uint64_t> sites = SiteCounts();
    uint64_t total = 0;
    for (const auto& [tag, count] : sites) {
        total += count;
    }
    ASSERT_GT(total, 0u);
    std::printf("allocation sweep: %llu sites in %zu tags\n", (unsigned long long)total,
                sites.size());

    uint64_t surfaced = 0, absorbed = 0;
    for (const auto& [tag, count] : sites) {
        std::map<std::string, uint64_t> where; // step that reported it -> sites
        for (uint64_t n = 1; n <= count; ++n) {
            const std::string site = Site(tag, n);
            FailSite(tag, n);
            Outcome faulty = Life();
            const bool reached = SiteFailed();
            ClearSite();
            EXPECT_TRUE(reached) << site << " was not reached: the life's allocations of '"
                                 << host::PoolTagName(tag) << "' are not in a fixed order";
            ExpectNothingLive("failing " + site);
            ++where[faulty.Completed() ? "absorbed" : faulty.failedStep];
            if (faulty.Completed()) {
                ++absorbed;
            } else {
                ++surfaced;
                // A step that gave up says so with an error, never success.
                EXPECT_FALSE(NT_SUCCESS(faulty.status) && faulty.failedStep != "firmware")
                    << site << ": " << faulty.failedStep;
            }
            ExpectCleanLife("failing " + site);
            if (HasFailure()) {
                return;
            }
        }
        std::string line;
        for (const auto& [step, k] : where) {
            line += " " + step + " " + std::to_string(k);
        }
        std::printf("  '%s' %llu sites:%s\n", host::PoolTagName(tag).c_str(),
                    (unsigned long long)count, line.c_str());
    }
    std::printf("allocation sweep: %llu failures surfaced as an error, %llu absorbed\n",
                (unsigned long long)surfaced, (unsigned long long)absorbed);
}

TEST_F(AllocationSweep, RandomShareOfAllocationsFails) {
    for (uint64_t seed = 1; seed <= 16; ++seed) {
        host::FailRandomAllocations(0.02, seed);
        Outcome outcome = Life();
        const uint64_t injected = host::PoolFailuresInjected();
        host::ClearPoolFaults();
        std::printf("random failures, seed %llu: %llu injected, %s\n", (unsigned long long)seed,
                    (unsigned long long)injected,
                    outcome.Completed() ? "life completed"
                                        : ("failed at " + outcome.failedStep).c_str());
        ExpectNothingLive("random failures, seed " + std::to_string(seed) + " (" +
                          std::to_string(injected) + " injected)");
        if (HasFailure()) {
            return;
        }
    }
    ExpectCleanLife("random failures");
}

} // namespace
} // namespace m4350test

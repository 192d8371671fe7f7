// Every allocation failed once. A whole life of one board (driver load, add,
// start with the firmware download, four filters open, a pin on each in a
// format of its own with ten frames, proc-amp, dropped-frames and method
// calls, a power-down and up, stop, remove, unload) is run once to count its allocation sites, then
// once per site with that site's allocation failing. Each faulty life must end without a crash or a
// verifier stop, with nothing left behind (pool, IRPs, work items, threads, handles), with the
// failure reported by the step it reached or absorbed with the device still working; and a clean
// life must follow. A last life fails a seeded random share of all allocations.
// The same sweep runs against the loaded m4350av.sys (image.AllocationSweep.*,
// in the asan build), which must reach the same sites.
#include "pool_fault_site.h"

#include "driver_system.h"
#include "pin_formats.h"
#include "driver_test.h"

#include "shared/device_method_set.h"

#include <host/kernel.h>
#include <host/ks_client.h>
#include <host/ks_pnp.h>
#include <host/services.h>

#include <ksmedia.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
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

constexpr ULONG kFramesPerPin = 10;
constexpr ULONG kHeaderSize = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);

// A request the build answers as a set or item it does not carry: not a
// failure of the life (the controls of a driver without them are not swept).
NTSTATUS Carried(NTSTATUS status) {
    return status == STATUS_NOT_FOUND || status == STATUS_PROPSET_NOT_FOUND ||
                   status == STATUS_INVALID_DEVICE_REQUEST
               ? STATUS_SUCCESS
               : status;
}

// A proc-amp value read and written back, the dropped-frames count, and the
// device's version and an attribute, as a control panel asks for them.
NTSTATUS Controls(HANDLE filter, HANDLE pin, ULONG channel) {
    KSPROPERTY_VIDEOPROCAMP_S amp{};
    amp.Property.Set = PROPSETID_VIDCAP_VIDEOPROCAMP;
    amp.Property.Id = KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS;
    amp.Property.Flags = KSPROPERTY_TYPE_GET;
    ULONG returned = 0;
    NTSTATUS status = host::ks::DeviceIoControl(filter, IOCTL_KS_PROPERTY, &amp, sizeof amp, &amp,
                                                sizeof amp, &returned);
    if (!NT_SUCCESS(Carried(status))) {
        return status;
    }
    amp.Property.Flags = KSPROPERTY_TYPE_SET;
    status = host::ks::DeviceIoControl(filter, IOCTL_KS_PROPERTY, &amp, sizeof amp, &amp,
                                       sizeof amp, &returned);
    if (!NT_SUCCESS(Carried(status))) {
        return status;
    }
    KSPROPERTY_DROPPEDFRAMES_CURRENT_S dropped{};
    dropped.Property.Set = PROPSETID_VIDCAP_DROPPEDFRAMES;
    dropped.Property.Id = KSPROPERTY_DROPPEDFRAMES_CURRENT;
    dropped.Property.Flags = KSPROPERTY_TYPE_GET;
    status = host::ks::DeviceIoControl(pin, IOCTL_KS_PROPERTY, &dropped, sizeof dropped, &dropped,
                                       sizeof dropped, &returned);
    if (!NT_SUCCESS(Carried(status))) {
        return status;
    }
    DEVICE_VERSION_REQUEST version{};
    version.Method.Set = DeviceMethodSet;
    version.Method.Id = DEVICE_METHOD_GET_VERSION;
    version.Method.Flags = DeviceMethodFlags;
    version.Selector = DEVICE_VERSION_CONTROLLER;
    status = host::ks::DeviceIoControl(filter, IOCTL_KS_METHOD, &version, sizeof version, &version,
                                       sizeof version, &returned);
    if (!NT_SUCCESS(Carried(status))) {
        return status;
    }
    DEVICE_ATTRIBUTE_REQUEST attribute{};
    attribute.Method.Set = DeviceMethodSet;
    attribute.Method.Id = DEVICE_METHOD_GET_ATTRIBUTE;
    attribute.Method.Flags = DeviceMethodFlags;
    attribute.Channel = channel + 1;
    attribute.Attribute = DEVICE_ATTRIBUTE_CONTRAST;
    return Carried(host::ks::DeviceIoControl(filter, IOCTL_KS_METHOD, &attribute, sizeof attribute,
                                             &attribute, sizeof attribute, &returned));
}

// A pin in the format the pin's range `rangeIndex` gives, ten frames, stop.
NTSTATUS Stream(HANDLE filter, ULONG channel, size_t rangeIndex,
                std::chrono::milliseconds frameWait, const char** step) {
    *step = "data ranges";
    std::vector<std::vector<unsigned char>> ranges = PinRanges(filter);
    if (ranges.empty()) {
        return STATUS_UNSUCCESSFUL;
    }
    *step = "data intersection";
    std::vector<unsigned char> format = IntersectFormat(filter, ranges[rangeIndex % ranges.size()]);
    if (format.empty()) {
        return STATUS_UNSUCCESSFUL;
    }
    *step = "pin creation";
    HANDLE pin = nullptr;
    NTSTATUS status =
        host::ks::CreatePin(filter, 0, reinterpret_cast<const KSDATAFORMAT*>(format.data()), &pin);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const ULONG extent = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data())
                             ->VideoInfoHeader.bmiHeader.biSizeImage;
    std::vector<std::unique_ptr<host::ks::StreamBuffer>> buffers;
    auto queue = [&](host::ks::StreamBuffer& buffer) {
        KSSTREAM_HEADER* header = buffer.Header();
        header->DataUsed = 0;
        auto* info = reinterpret_cast<KS_FRAME_INFO*>(header + 1);
        *info = {};
        info->ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
        return host::ks::QueueBuffer(pin, header);
    };
    *step = "pause";
    status = host::ks::SetPinState(pin, KSSTATE_PAUSE);
    for (int i = 0; i < 2 && NT_SUCCESS(status); ++i) {
        buffers.push_back(std::make_unique<host::ks::StreamBuffer>(kHeaderSize, extent));
        status = queue(*buffers.back());
    }
    if (NT_SUCCESS(status)) {
        *step = "run";
        status = host::ks::SetPinState(pin, KSSTATE_RUN);
    }
    for (ULONG n = 0; n < kFramesPerPin && NT_SUCCESS(status); ++n) {
        *step = "frames";
        host::ks::CompletedFrame frame;
        // A frame that does not come is a failure of the life (the time-out
        // status is a success code).
        status = host::ks::WaitForFrame(pin, frameWait, &frame);
        if (status == STATUS_TIMEOUT) {
            status = STATUS_IO_TIMEOUT;
        } else if (status == STATUS_SUCCESS) {
            status = frame.Status;
        }
        if (status == STATUS_SUCCESS) {
            for (auto& b : buffers) {
                if (b->Data() == frame.Header()->Data) {
                    status = queue(*b);
                }
            }
        }
    }
    if (NT_SUCCESS(status)) {
        *step = "controls";
        status = Controls(filter, pin, channel);
    }
    NTSTATUS stop = host::ks::SetPinState(pin, KSSTATE_STOP);
    host::ks::CompletedFrame rest;
    while (host::ks::WaitForFrame(pin, std::chrono::milliseconds(0), &rest) == STATUS_SUCCESS) {
    }
    host::ks::CloseHandle(pin);
    if (NT_SUCCESS(status) && !NT_SUCCESS(stop)) {
        *step = "stop";
        status = stop;
    }
    return status;
}

// One life of one board. A clean life waits long for each frame, so that a
// busy machine cannot fail it; a faulty one gives up soon, since a failure
// may well have stopped the frames.
Outcome Life(std::chrono::milliseconds frameWait = std::chrono::seconds(5)) {
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
    // The firmware's state is read from the board model, the driver's
    // outside, so that a life runs alike under both builds of the driver.
    const std::shared_ptr<m4350::sim::Board> model = MakeSimulatedBoard();
    try {
        board = &system->Plug(model);
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
    outcome.firmwareLoaded = model->State() == m4350::sim::BoardState::Running;
    if (!outcome.firmwareLoaded) {
        fail("firmware", STATUS_UNSUCCESSFUL);
    }

    // Four filters open at once, a pin on each in a format of its own.
    std::vector<std::wstring> links = ChannelLinks();
    HANDLE filters[ChannelCount] = {};
    for (ULONG c = 0; c < ChannelCount; ++c) {
        status = links[c].empty() ? STATUS_OBJECT_NAME_NOT_FOUND
                                  : host::ks::OpenFilter(links[c].c_str(), &filters[c]);
        if (!NT_SUCCESS(status)) {
            filters[c] = nullptr;
            fail("filter open", status);
        }
    }
    for (ULONG c = 0; c < ChannelCount; ++c) {
        if (filters[c]) {
            const char* step = "";
            status = Stream(filters[c], c, 3 + 7 * c, frameWait, &step);
            if (!NT_SUCCESS(status)) {
                fail(step, status);
            }
        }
    }
    for (HANDLE filter : filters) {
        if (filter) {
            host::ks::CloseHandle(filter);
        }
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
    ASSERT_TRUE(counted.Completed())
        << counted.failedStep << " (0x" << std::hex << ULONG(counted.status) << ")";
    ExpectNothingLive("the counting life");
    const std::map<ULONG, uint64_t> sites = SiteCounts();
    uint64_t total = 0;
    for (const auto& [tag, count] : sites) {
        total += count;
    }
    ASSERT_GT(total, 0u);
    std::string perTag;
    for (const auto& [tag, count] : sites) {
        perTag += " '" + host::PoolTagName(tag) + "' " + std::to_string(count);
    }
    std::printf("allocation sweep%s: %llu sites in %zu tags:%s\n",
                DriverImageUnderTest().empty() ? "" : " under the image", (unsigned long long)total,
                sites.size(), perTag.c_str());
    // Under the image its own allocations must be among the sites, or its
    // failure paths would go untested while the platform's are swept.
    if (!DriverImageUnderTest().empty()) {
        const uint64_t imageSites = sweep::ImageSites();
        std::printf("allocation sweep: %llu of the sites are reached through the image's imports\n",
                    (unsigned long long)imageSites);
        ASSERT_GT(imageSites, 0u) << "the image's allocations are not counted";
    }
    std::fflush(stdout);

    uint64_t surfaced = 0, absorbed = 0;
    for (const auto& [tag, count] : sites) {
        std::map<std::string, uint64_t> where; // step that reported it -> sites
        for (uint64_t n = 1; n <= count; ++n) {
            const std::string site = Site(tag, n);
            FailSite(tag, n);
            Outcome faulty = Life(std::chrono::milliseconds(300));
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
            if (HasFailure()) {
                return;
            }
        }
        // A failure must not spoil the lives after it: the sites of one tag
        // are followed by a clean life.
        ExpectCleanLife("failing the sites of '" + host::PoolTagName(tag) + "'");
        if (HasFailure()) {
            return;
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
        Outcome outcome = Life(std::chrono::milliseconds(300));
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

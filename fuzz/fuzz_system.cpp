#include "fuzz_system.h"

#include "fuzz_support.h"
#include "pin_formats.h"

#include <host/ks_client.h>
#include <ksmedia.h>

namespace m4350fuzz {

FuzzSystem& FuzzSystem::Get() {
    static FuzzSystem* system = new FuzzSystem; // lives until the process ends
    return *system;
}

FuzzSystem::FuzzSystem() {
    m4350test::DriverSystem::InstallFirmware();
    FUZZ_CHECK(NT_SUCCESS(system_.loadStatus()), "driver load");
    m4350test::SimulatedBoard& board = system_.Plug(m4350test::MakeSimulatedBoard());
    FUZZ_CHECK(NT_SUCCESS(system_.addStatus()), "add");
    FUZZ_CHECK(NT_SUCCESS(system_.Start(board)), "start");
    CaptureDevice* device = board.device();
    FUZZ_CHECK(device && device->firmwareLoaded, "firmware");
    links_ = m4350test::ChannelLinks();
    for (const auto& link : links_) {
        FUZZ_CHECK(!link.empty(), "a channel without a filter");
    }
}

std::vector<unsigned char> FuzzSystem::Format(HANDLE filter, unsigned index) {
    std::vector<std::vector<unsigned char>> ranges = m4350test::PinRanges(filter);
    if (ranges.empty()) {
        return {};
    }
    return m4350test::IntersectFormat(filter, ranges[index % ranges.size()]);
}

} // namespace m4350fuzz

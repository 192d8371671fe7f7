#include "fuzz_system.h"

#include "fuzz_support.h"

#include <host/ks_client.h>
#include <ksmedia.h>

#include <cstring>

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
    std::vector<std::wstring> all = host::ks::EnumerateFilters(KSCATEGORY_VIDEO);
    links_.assign(4, L"");
    for (const auto& link : all) {
        for (unsigned c = 0; c < 4; ++c) {
            std::wstring ref = L"m4350av_chan" + std::to_wstring(c + 1);
            if (link.size() >= ref.size() &&
                link.compare(link.size() - ref.size(), ref.size(), ref) == 0) {
                links_[c] = link;
            }
        }
    }
    for (const auto& link : links_) {
        FUZZ_CHECK(!link.empty(), "a channel without a filter");
    }
}

std::vector<unsigned char> FuzzSystem::Format(HANDLE filter, unsigned index) {
    KSP_PIN request{};
    request.Property.Set = KSPROPSETID_Pin;
    request.Property.Id = KSPROPERTY_PIN_DATARANGES;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    std::vector<unsigned char> ranges(64 * 1024);
    ULONG returned = 0;
    if (!NT_SUCCESS(host::ks::DeviceIoControl(filter, IOCTL_KS_PROPERTY, &request, sizeof request,
                                              ranges.data(), ULONG(ranges.size()), &returned)) ||
        returned < sizeof(KSMULTIPLE_ITEM)) {
        return {};
    }
    const auto* list = reinterpret_cast<const KSMULTIPLE_ITEM*>(ranges.data());
    if (list->Count == 0) {
        return {};
    }
    index %= list->Count;
    size_t offset = sizeof(KSMULTIPLE_ITEM);
    for (ULONG i = 0; i < index && offset + sizeof(KSDATARANGE) <= returned; ++i) {
        const auto* range = reinterpret_cast<const KSDATARANGE*>(ranges.data() + offset);
        offset += (range->FormatSize + 7) & ~size_t(7);
    }
    if (offset + sizeof(KSDATARANGE) > returned) {
        return {};
    }
    const auto* range = reinterpret_cast<const KSDATARANGE*>(ranges.data() + offset);
    std::vector<unsigned char> format(1024);
    ULONG size = 0;
    if (!NT_SUCCESS(host::ks::IntersectDataRange(filter, 0, range, format.data(),
                                                 ULONG(format.size()), &size))) {
        return {};
    }
    format.resize(size);
    return format;
}

} // namespace m4350fuzz

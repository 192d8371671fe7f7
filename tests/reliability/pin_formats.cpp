#include "pin_formats.h"

#include <host/ks_client.h>
#include <ksmedia.h>

namespace m4350test {

std::vector<std::wstring> ChannelLinks(const std::set<std::wstring>& before) {
    constexpr unsigned kChannels = 4;
    std::vector<std::wstring> links(kChannels);
    for (const auto& link : host::ks::EnumerateFilters(KSCATEGORY_VIDEO)) {
        if (before.count(link)) {
            continue;
        }
        for (unsigned c = 0; c < kChannels; ++c) {
            const std::wstring ref = L"m4350av_chan" + std::to_wstring(c + 1);
            if (link.size() >= ref.size() &&
                link.compare(link.size() - ref.size(), ref.size(), ref) == 0) {
                links[c] = link;
            }
        }
    }
    return links;
}

std::vector<std::vector<unsigned char>> PinRanges(HANDLE filter) {
    KSP_PIN request{};
    request.Property.Set = KSPROPSETID_Pin;
    request.Property.Id = KSPROPERTY_PIN_DATARANGES;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    request.PinId = 0;
    std::vector<unsigned char> bytes(64 * 1024);
    ULONG returned = 0;
    std::vector<std::vector<unsigned char>> ranges;
    if (!NT_SUCCESS(host::ks::DeviceIoControl(filter, IOCTL_KS_PROPERTY, &request, sizeof request,
                                              bytes.data(), ULONG(bytes.size()), &returned)) ||
        returned < sizeof(KSMULTIPLE_ITEM)) {
        return ranges;
    }
    const auto* list = reinterpret_cast<const KSMULTIPLE_ITEM*>(bytes.data());
    size_t offset = sizeof(KSMULTIPLE_ITEM);
    for (ULONG i = 0; i < list->Count && offset + sizeof(KSDATARANGE) <= returned; ++i) {
        const auto* range = reinterpret_cast<const KSDATARANGE*>(bytes.data() + offset);
        if (range->FormatSize < sizeof(KSDATARANGE) || offset + range->FormatSize > returned) {
            break;
        }
        ranges.emplace_back(bytes.data() + offset, bytes.data() + offset + range->FormatSize);
        offset += (range->FormatSize + 7) & ~size_t(7);
    }
    return ranges;
}

std::vector<unsigned char> IntersectFormat(HANDLE filter, const std::vector<unsigned char>& range) {
    std::vector<unsigned char> format(1024);
    ULONG size = 0;
    if (range.size() < sizeof(KSDATARANGE) ||
        !NT_SUCCESS(host::ks::IntersectDataRange(filter, 0,
                                                 reinterpret_cast<const KSDATARANGE*>(range.data()),
                                                 format.data(), ULONG(format.size()), &size))) {
        return {};
    }
    format.resize(size);
    return format;
}

} // namespace m4350test

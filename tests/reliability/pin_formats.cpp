#include "pin_formats.h"

#include <host/ks_client.h>

namespace m4350test {

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

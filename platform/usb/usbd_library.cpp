// The USBD helper routines a client driver links against: descriptor
// parsing and select-configuration requests.
#include <wdm.h>
#include <usbdlib.h>

#include <host/usb_bus.h>

#include <atomic>
#include <cstring>

namespace {

// 'USBD' as poolmon shows it.
constexpr ULONG kUsbdTag = ULONG('U') | ULONG('S') << 8 | ULONG('B') << 16 | ULONG('D') << 24;

std::atomic<ULONG> g_usbdiVersion{0x600};
std::atomic<ULONG> g_supportedUsb{0x200};

// A descriptor that fits entirely between `p` and `end`, or null.
const USB_COMMON_DESCRIPTOR* NextDescriptor(const UCHAR* p, const UCHAR* end) {
    if (p + sizeof(USB_COMMON_DESCRIPTOR) > end)
        return nullptr;
    auto* d = reinterpret_cast<const USB_COMMON_DESCRIPTOR*>(p);
    if (d->bLength < sizeof(USB_COMMON_DESCRIPTOR) || p + d->bLength > end)
        return nullptr;
    return d;
}

} // namespace

namespace host::usb {

void SetUsbdiVersion(ULONG usbdiVersion, ULONG supportedUsbVersion) {
    g_usbdiVersion = usbdiVersion;
    g_supportedUsb = supportedUsbVersion;
}

USBD_VERSION_INFORMATION UsbdiVersion() {
    return {g_usbdiVersion.load(), g_supportedUsb.load()};
}

} // namespace host::usb

EXTERN_C VOID NTAPI USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation) {
    if (VersionInformation)
        *VersionInformation = host::usb::UsbdiVersion();
}

EXTERN_C PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer,
                                                            ULONG TotalLength, PVOID StartPosition,
                                                            LONG DescriptorType) {
    if (!DescriptorBuffer || !StartPosition)
        return nullptr;
    auto* begin = static_cast<const UCHAR*>(DescriptorBuffer);
    const UCHAR* end = begin + TotalLength;
    auto* p = static_cast<const UCHAR*>(StartPosition);
    if (p < begin || p >= end)
        return nullptr;
    // Malformed lengths end the walk rather than loop or run past the buffer.
    while (const USB_COMMON_DESCRIPTOR* d = NextDescriptor(p, end)) {
        if (d->bDescriptorType == DescriptorType)
            return const_cast<PUSB_COMMON_DESCRIPTOR>(d);
        p += d->bLength;
    }
    return nullptr;
}

EXTERN_C PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol) {
    if (!ConfigurationDescriptor)
        return nullptr;
    const ULONG total = ConfigurationDescriptor->wTotalLength;
    auto* base = reinterpret_cast<UCHAR*>(ConfigurationDescriptor);
    auto* p = static_cast<UCHAR*>(StartPosition ? StartPosition : base);
    while (auto* d = USBD_ParseDescriptors(base, total, p, USB_INTERFACE_DESCRIPTOR_TYPE)) {
        if (d->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            auto* i = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(d);
            if ((InterfaceNumber == -1 || i->bInterfaceNumber == InterfaceNumber) &&
                (AlternateSetting == -1 || i->bAlternateSetting == AlternateSetting) &&
                (InterfaceClass == -1 || i->bInterfaceClass == InterfaceClass) &&
                (InterfaceSubClass == -1 || i->bInterfaceSubClass == InterfaceSubClass) &&
                (InterfaceProtocol == -1 || i->bInterfaceProtocol == InterfaceProtocol))
                return i;
        }
        p = reinterpret_cast<UCHAR*>(d) + d->bLength;
    }
    return nullptr;
}

EXTERN_C PUSB_INTERFACE_DESCRIPTOR NTAPI
USBD_ParseConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                  UCHAR InterfaceNumber, UCHAR AlternateSetting) {
    return USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor,
                                               InterfaceNumber, AlternateSetting, -1, -1, -1);
}

EXTERN_C PURB NTAPI
USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                  PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
    if (!ConfigurationDescriptor || !InterfaceList)
        return nullptr;
    // Sizes first: each interface record carries one pipe entry per endpoint.
    size_t size = FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface);
    ULONG interfaces = 0;
    for (auto* e = InterfaceList; e->InterfaceDescriptor; ++e, ++interfaces)
        size += GET_USBD_INTERFACE_SIZE(e->InterfaceDescriptor->bNumEndpoints);
    if (interfaces == 0)
        return nullptr;
    size = size < sizeof(struct _URB_SELECT_CONFIGURATION)
               ? sizeof(struct _URB_SELECT_CONFIGURATION)
               : size;
    if (size > MAXUSHORT)
        return nullptr;
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, size, kUsbdTag));
    if (!urb)
        return nullptr;
    std::memset(urb, 0, size);
    auto* cursor = reinterpret_cast<UCHAR*>(&urb->UrbSelectConfiguration.Interface);
    for (auto* e = InterfaceList; e->InterfaceDescriptor; ++e) {
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(cursor);
        const UCHAR pipes = e->InterfaceDescriptor->bNumEndpoints;
        info->Length = USHORT(GET_USBD_INTERFACE_SIZE(pipes));
        info->InterfaceNumber = e->InterfaceDescriptor->bInterfaceNumber;
        info->AlternateSetting = e->InterfaceDescriptor->bAlternateSetting;
        info->NumberOfPipes = pipes;
        for (UCHAR k = 0; k < pipes; ++k) {
            info->Pipes[k].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
            info->Pipes[k].PipeFlags = 0;
        }
        e->Interface = info;
        cursor += info->Length;
    }
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbHeader.Length = USHORT(size);
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
    return urb;
}

// The client side: handles on filters and pins, and the requests an
// application or the KS proxy sends through them.
#include "ks_object.h"

#include <ksmedia.h>

#include <host/kernel.h>
#include <host/ks_client.h>

#include <algorithm>
#include <cstring>
#include <map>

namespace host::ks {

using ::ks::Filter;
using ::ks::Pin;

namespace {

struct HandleEntry {
    std::shared_ptr<Filter> filter;
    std::shared_ptr<Pin> pin; // set for a pin handle
};

std::mutex g_handlesLock;
std::map<HANDLE, HandleEntry> g_handles;

bool Lookup(HANDLE handle, HandleEntry* entry) {
    std::lock_guard<std::mutex> guard(g_handlesLock);
    auto it = g_handles.find(handle);
    if (it == g_handles.end()) {
        return false;
    }
    *entry = it->second;
    return true;
}

HANDLE Insert(HandleEntry entry) {
    HANDLE handle = host::detail::NewHandleValue();
    std::lock_guard<std::mutex> guard(g_handlesLock);
    g_handles.emplace(handle, std::move(entry));
    return handle;
}

::ks::FileContext* FileOf(const HandleEntry& entry) {
    return entry.pin ? entry.pin->file.get() : entry.filter->file.get();
}

bool Closed(const HandleEntry& entry) {
    return entry.filter->closed || (entry.pin && entry.pin->closed);
}

} // namespace

std::vector<std::wstring> EnumerateFilters(const GUID& category) {
    return ::ks::InterfaceLinks(category);
}

static NTSTATUS OpenFactory(::ks::FilterFactory* factory, HANDLE* handle) {
    if (factory == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    std::shared_ptr<Filter> filter;
    NTSTATUS status = ::ks::OpenFilter(factory, &filter);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *handle = Insert({filter, nullptr});
    return STATUS_SUCCESS;
}

NTSTATUS OpenFilter(const wchar_t* symbolicLink, HANDLE* filter) {
    if (symbolicLink == nullptr || filter == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *filter = nullptr;
    std::lock_guard<std::mutex> opens(::ks::OpenLock());
    return OpenFactory(::ks::FactoryForLink(symbolicLink), filter);
}

NTSTATUS OpenFilterByReference(const GUID& category, const wchar_t* referenceString,
                               HANDLE* filter) {
    if (referenceString == nullptr || filter == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *filter = nullptr;
    std::lock_guard<std::mutex> opens(::ks::OpenLock());
    return OpenFactory(::ks::FactoryForReference(category, referenceString), filter);
}

NTSTATUS CloseHandle(HANDLE handle) {
    HandleEntry entry;
    {
        std::lock_guard<std::mutex> guard(g_handlesLock);
        auto it = g_handles.find(handle);
        if (it == g_handles.end()) {
            return STATUS_INVALID_HANDLE;
        }
        entry = std::move(it->second);
        g_handles.erase(it);
    }
    if (entry.pin) {
        ::ks::ClosePin(entry.pin);
    } else {
        ::ks::CloseFilter(entry.filter);
    }
    return STATUS_SUCCESS;
}

NTSTATUS DeviceIoControl(HANDLE handle, ULONG ioControlCode, PVOID request, ULONG requestLength,
                         PVOID data, ULONG dataLength, PULONG bytesReturned) {
    if (bytesReturned != nullptr) {
        *bytesReturned = 0;
    }
    HandleEntry entry;
    if (!Lookup(handle, &entry)) {
        return STATUS_INVALID_HANDLE;
    }
    if (ioControlCode != IOCTL_KS_PROPERTY && ioControlCode != IOCTL_KS_METHOD) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    std::lock_guard<std::recursive_mutex> control(entry.filter->control);
    if (Closed(entry)) {
        return STATUS_DEVICE_REMOVED;
    }
    ::ks::FileContext* file = FileOf(entry);
    PIRP irp = ::ks::AllocateRequestIrp(IRP_MJ_DEVICE_CONTROL, file,
                                        entry.filter->device->Public()->FunctionalDeviceObject);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    stack->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
    stack->Parameters.DeviceIoControl.InputBufferLength = requestLength;
    stack->Parameters.DeviceIoControl.OutputBufferLength = dataLength;
    stack->Parameters.DeviceIoControl.Type3InputBuffer = request;
    irp->UserBuffer = data;
    NTSTATUS status = ::ks::DispatchAutomation(file, irp);
    if (bytesReturned != nullptr) {
        *bytesReturned = static_cast<ULONG>(irp->IoStatus.Information);
    }
    IoFreeIrp(irp);
    return status;
}

NTSTATUS GetProperty(HANDLE handle, const GUID& set, ULONG id, PVOID data, ULONG dataLength,
                     PULONG bytesReturned) {
    KSPROPERTY property{};
    property.Set = set;
    property.Id = id;
    property.Flags = KSPROPERTY_TYPE_GET;
    return DeviceIoControl(handle, IOCTL_KS_PROPERTY, &property, sizeof(property), data, dataLength,
                           bytesReturned);
}

NTSTATUS SetProperty(HANDLE handle, const GUID& set, ULONG id, PVOID data, ULONG dataLength) {
    KSPROPERTY property{};
    property.Set = set;
    property.Id = id;
    property.Flags = KSPROPERTY_TYPE_SET;
    ULONG returned = 0;
    return DeviceIoControl(handle, IOCTL_KS_PROPERTY, &property, sizeof(property), data, dataLength,
                           &returned);
}

NTSTATUS GetPinFactoryCount(HANDLE filter, ULONG* count) {
    if (count == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG returned = 0;
    return GetProperty(filter, KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, count, sizeof(ULONG),
                       &returned);
}

NTSTATUS IntersectDataRange(HANDLE filter, ULONG pinId, const KSDATARANGE* range, PVOID data,
                            ULONG dataLength, PULONG dataSize) {
    if (range == nullptr || range->FormatSize < sizeof(KSDATARANGE)) {
        return STATUS_INVALID_PARAMETER;
    }
    size_t rangeBytes = (static_cast<size_t>(range->FormatSize) + 7u) & ~size_t{7};
    size_t total = sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM) + rangeBytes;
    if (total > MAXULONG) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG length = static_cast<ULONG>(total);
    std::vector<LONGLONG> request((total + 7) / 8);
    auto* pin = reinterpret_cast<PKSP_PIN>(request.data());
    pin->Property.Set = KSPROPSETID_Pin;
    pin->Property.Id = KSPROPERTY_PIN_DATAINTERSECTION;
    pin->Property.Flags = KSPROPERTY_TYPE_GET;
    pin->PinId = pinId;
    auto* list = reinterpret_cast<PKSMULTIPLE_ITEM>(pin + 1);
    list->Size = static_cast<ULONG>(sizeof(KSMULTIPLE_ITEM) + rangeBytes);
    list->Count = 1;
    std::memcpy(list + 1, range, range->FormatSize);
    return DeviceIoControl(filter, IOCTL_KS_PROPERTY, request.data(), length, data, dataLength,
                           dataSize);
}

NTSTATUS CreatePin(HANDLE filter, ULONG pinId, const KSDATAFORMAT* format, HANDLE* pin) {
    if (format == nullptr || pin == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *pin = nullptr;
    HandleEntry entry;
    if (!Lookup(filter, &entry) || entry.pin) {
        return STATUS_INVALID_HANDLE;
    }
    KSPIN_CONNECT connect{};
    connect.Interface.Set = KSINTERFACESETID_Standard;
    connect.Interface.Id = KSINTERFACE_STANDARD_STREAMING;
    connect.Medium.Set = KSMEDIUMSETID_Standard;
    connect.Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
    connect.PinId = pinId;
    connect.Priority.PriorityClass = KSPRIORITY_NORMAL;
    connect.Priority.PrioritySubClass = 1;
    std::shared_ptr<Pin> created;
    NTSTATUS status = ::ks::CreatePin(entry.filter, &connect, format, format->FormatSize, &created);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *pin = Insert({entry.filter, created});
    return STATUS_SUCCESS;
}

static bool LookupPin(HANDLE handle, HandleEntry* entry) {
    return Lookup(handle, entry) && entry->pin != nullptr;
}

NTSTATUS SetPinState(HANDLE pin, KSSTATE state) {
    return SetProperty(pin, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, &state,
                       sizeof(state));
}

NTSTATUS GetPinState(HANDLE pin, KSSTATE* state) {
    if (state == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG returned = 0;
    return GetProperty(pin, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, state,
                       sizeof(KSSTATE), &returned);
}

NTSTATUS SetPinDataFormat(HANDLE pin, const KSDATAFORMAT* format) {
    if (format == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return SetProperty(pin, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT,
                       const_cast<KSDATAFORMAT*>(format), format->FormatSize);
}

NTSTATUS AssignPinClock(HANDLE pin, bool assign) {
    HandleEntry entry;
    if (!LookupPin(pin, &entry)) {
        return STATUS_INVALID_HANDLE;
    }
    ::ks::AssignClock(entry.pin.get(), assign);
    return STATUS_SUCCESS;
}

NTSTATUS QueueBuffer(HANDLE pin, const KSSTREAM_HEADER* header) {
    HandleEntry entry;
    if (!LookupPin(pin, &entry)) {
        return STATUS_INVALID_HANDLE;
    }
    return ::ks::QueueFrame(entry.pin.get(), header);
}

NTSTATUS WaitForFrame(HANDLE pin, std::chrono::milliseconds timeout, CompletedFrame* frame) {
    if (frame == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    HandleEntry entry;
    if (!LookupPin(pin, &entry)) {
        return STATUS_INVALID_HANDLE;
    }
    ::ks::CompletedFrameRecord record;
    NTSTATUS status = ::ks::WaitFrame(entry.pin.get(), timeout, &record);
    if (status == STATUS_SUCCESS) {
        frame->Status = record.status;
        frame->HeaderStorage = std::move(record.header);
        frame->HeaderSize = record.headerSize;
    }
    return status;
}

std::size_t CompletedFrameCount(HANDLE pin) {
    HandleEntry entry;
    if (!LookupPin(pin, &entry)) {
        return 0;
    }
    return ::ks::CompletedCount(entry.pin.get());
}

StreamBuffer::StreamBuffer(ULONG headerSize, ULONG frameExtent)
    : header_((std::max<size_t>(headerSize, sizeof(KSSTREAM_HEADER)) + 7) / 8), data_(frameExtent) {
    KSSTREAM_HEADER* h = Header();
    h->Size = headerSize;
    h->FrameExtent = frameExtent;
    h->Data = data_.data();
    h->PresentationTime.Numerator = 1;
    h->PresentationTime.Denominator = 1;
    // A video client says how much frame information it reads back, as an
    // application does before it queues the buffer.
    if (headerSize >= sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO)) {
        reinterpret_cast<PKS_FRAME_INFO>(h + 1)->ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
    }
}

} // namespace host::ks

// Filters: opened through a factory, closed with their pins; the IRP
// accessors that lead a handler from its request back to the filter or pin.
#include "ks_object.h"

#include <host/kernel.h>

#include <algorithm>

namespace ks {

PIRP AllocateRequestIrp(UCHAR majorFunction, FileContext* file, PDEVICE_OBJECT device) {
    PIRP irp = IoAllocateIrp(1, FALSE);
    if (irp == nullptr) {
        return nullptr;
    }
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = majorFunction;
    stack->DeviceObject = device;
    stack->FileObject = file != nullptr ? &file->file : nullptr;
    IoSetNextIrpStackLocation(irp);
    irp->RequestorMode = UserMode;
    return irp;
}

static std::unique_ptr<FileContext> MakeFile(Device* device, FileKind kind, void* publicObject) {
    auto file = std::make_unique<FileContext>();
    file->file.Type = 5; // IO_TYPE_FILE
    file->file.Size = sizeof(FILE_OBJECT);
    file->file.DeviceObject = device->Public()->FunctionalDeviceObject;
    file->file.FsContext = publicObject;
    file->kind = kind;
    return file;
}

static void DestroyFilterObject(Filter* filter) {
    UnregisterPublic(filter->Public());
    filter->bag.FreeAll();
    --g_liveFilters;
}

NTSTATUS OpenFilter(FilterFactory* factory, std::shared_ptr<Filter>* out) {
    Device* device = factory->device;
    if (device->state != PnpState::Started) {
        return device->state == PnpState::SurpriseRemoved || device->state == PnpState::Removed
                   ? STATUS_DEVICE_REMOVED
                   : STATUS_DEVICE_NOT_READY;
    }
    const KSFILTER_DESCRIPTOR* descriptor = factory->env.pub.FilterDescriptor;

    auto filter = std::make_shared<Filter>();
    ++g_liveFilters;
    filter->env.header = {kObjectMagic, KsObjectTypeFilter, filter.get()};
    filter->device = device;
    filter->factory = factory;
    PKSFILTER pub = filter->Public();
    pub->Descriptor = descriptor;
    pub->Bag = filter->bag.Handle();
    // A new filter starts with its factory's context (which started as the
    // device's); the Create dispatch may replace it.
    pub->Context = factory->env.pub.Context;
    filter->file = MakeFile(device, FileKind::Filter, pub);
    RegisterPublic(pub, &filter->env.header);

    NTSTATUS status = STATUS_SUCCESS;
    KeWaitForSingleObject(&device->mutex, Executive, KernelMode, FALSE, nullptr);
    if (descriptor->Dispatch != nullptr && descriptor->Dispatch->Create != nullptr) {
        PIRP irp = AllocateRequestIrp(IRP_MJ_CREATE, filter->file.get(),
                                      device->Public()->FunctionalDeviceObject);
        if (irp == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            status = descriptor->Dispatch->Create(pub, irp);
            IoFreeIrp(irp);
        }
    }
    if (NT_SUCCESS(status)) {
        std::lock_guard<std::mutex> guard(device->lock);
        device->filters.push_back(filter);
    }
    KeReleaseMutex(&device->mutex, FALSE);

    if (!NT_SUCCESS(status)) {
        filter->closed = true;
        DestroyFilterObject(filter.get());
        return status;
    }
    *out = filter;
    return STATUS_SUCCESS;
}

void CloseFilter(const std::shared_ptr<Filter>& filter) {
    std::lock_guard<std::recursive_mutex> control(filter->control);
    if (filter->closed) {
        return;
    }
    // Pins go first, each walked down to Stop, as their handles would be.
    while (!filter->pins.empty()) {
        std::shared_ptr<Pin> pin = filter->pins.back();
        ClosePin(pin);
    }
    Device* device = filter->device;
    const KSFILTER_DESCRIPTOR* descriptor = filter->Public()->Descriptor;
    KeWaitForSingleObject(&device->mutex, Executive, KernelMode, FALSE, nullptr);
    if (descriptor->Dispatch != nullptr && descriptor->Dispatch->Close != nullptr) {
        PIRP irp = AllocateRequestIrp(IRP_MJ_CLOSE, filter->file.get(),
                                      device->Public()->FunctionalDeviceObject);
        if (irp != nullptr) {
            descriptor->Dispatch->Close(filter->Public(), irp);
            IoFreeIrp(irp);
        }
    }
    {
        std::lock_guard<std::mutex> guard(device->lock);
        auto& list = device->filters;
        list.erase(std::remove(list.begin(), list.end(), filter), list.end());
    }
    KeReleaseMutex(&device->mutex, FALSE);
    filter->closed = true;
    DestroyFilterObject(filter.get());
}

const KSPIN_DESCRIPTOR_EX* PinFactoryDescriptor(Filter* filter, ULONG pinId) {
    const KSFILTER_DESCRIPTOR* d = filter->Public()->Descriptor;
    if (d == nullptr || pinId >= d->PinDescriptorsCount || d->PinDescriptors == nullptr) {
        return nullptr;
    }
    ULONG stride = d->PinDescriptorSize;
    return reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(
        reinterpret_cast<const char*>(d->PinDescriptors) + static_cast<size_t>(stride) * pinId);
}

ULONG PinInstanceCount(Filter* filter, ULONG pinId) {
    ULONG count = 0;
    for (const auto& pin : filter->pins) {
        if (pin->Public()->Id == pinId) {
            ++count;
        }
    }
    return count;
}

static ObjectHeader* HeaderFromIrp(PIRP irp) {
    if (irp == nullptr) {
        return nullptr;
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack == nullptr || stack->FileObject == nullptr) {
        return nullptr;
    }
    return HeaderOf(stack->FileObject->FsContext);
}

} // namespace ks

using namespace ks;

EXTERN_C PKSFILTER NTAPI KsGetFilterFromIrp(PIRP Irp) {
    ObjectHeader* header = HeaderFromIrp(Irp);
    if (header == nullptr) {
        return nullptr;
    }
    if (header->type == KsObjectTypeFilter) {
        return static_cast<Filter*>(header->owner)->Public();
    }
    if (header->type == KsObjectTypePin) {
        return static_cast<Pin*>(header->owner)->filter->Public();
    }
    return nullptr;
}

EXTERN_C PKSPIN NTAPI KsGetPinFromIrp(PIRP Irp) {
    ObjectHeader* header = HeaderFromIrp(Irp);
    if (header == nullptr || header->type != KsObjectTypePin) {
        return nullptr;
    }
    return static_cast<Pin*>(header->owner)->Public();
}

EXTERN_C KSOBJECTTYPE NTAPI KsGetObjectTypeFromIrp(PIRP Irp) {
    ObjectHeader* header = HeaderFromIrp(Irp);
    return header != nullptr ? header->type : KsObjectTypeDevice;
}

EXTERN_C PKSFILTER NTAPI KsPinGetParentFilter(PKSPIN Pin) {
    ks::Pin* pin = PinFromPublic(Pin);
    return pin != nullptr ? pin->filter->Public() : nullptr;
}

EXTERN_C ULONG NTAPI KsFilterGetChildPinCount(PKSFILTER Filter, ULONG PinId) {
    ks::Filter* filter = FilterFromPublic(Filter);
    if (filter == nullptr) {
        return 0;
    }
    std::lock_guard<std::recursive_mutex> control(filter->control);
    return PinInstanceCount(filter, PinId);
}

static std::recursive_mutex* ControlOf(PVOID object) {
    ObjectHeader* header = HeaderOf(object);
    if (header == nullptr) {
        return nullptr;
    }
    if (header->type == KsObjectTypeFilter) {
        return &static_cast<ks::Filter*>(header->owner)->control;
    }
    if (header->type == KsObjectTypePin) {
        return &static_cast<ks::Pin*>(header->owner)->filter->control;
    }
    return nullptr;
}

EXTERN_C void NTAPI KsAcquireControl(PVOID Object) {
    std::recursive_mutex* control = ControlOf(Object);
    if (control == nullptr) {
        host::ReportViolation(host::Rule::InvalidParameter,
                              "KsAcquireControl: not a filter or pin");
        return;
    }
    control->lock();
}

EXTERN_C void NTAPI KsReleaseControl(PVOID Object) {
    std::recursive_mutex* control = ControlOf(Object);
    if (control == nullptr) {
        host::ReportViolation(host::Rule::InvalidParameter,
                              "KsReleaseControl: not a filter or pin");
        return;
    }
    control->unlock();
}

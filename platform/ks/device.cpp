// Devices and filter factories: KsInitializeDriver, the host PnP manager that
// calls the device dispatch, KsCreateFilterFactory and the device interfaces
// clients find filters by.
#include "ks_object.h"

#include <host/kernel.h>
#include <host/ks_pnp.h>

#include <algorithm>
#include <cstdio>
#include <map>

namespace host::ks {
struct Driver {
    DRIVER_OBJECT object{};
    DRIVER_EXTENSION extension{};
    std::wstring registryPath;
    UNICODE_STRING registryPathString{};
    std::vector<DeviceNode*> devices;
};
struct DeviceNode {
    ::ks::Device* device;
    Driver* driver;
    PDEVICE_OBJECT fdo;
};
} // namespace host::ks

namespace ks {

std::atomic<long> g_liveDevices{0};
std::atomic<long> g_liveFilters{0};
std::atomic<long> g_livePins{0};
std::atomic<long> g_liveClocks{0};

namespace {

std::mutex g_driversLock;
std::map<PDRIVER_OBJECT, const KSDEVICE_DESCRIPTOR*> g_drivers;
std::atomic<ULONG> g_nextInstance{0};

// The public objects the class has handed out and not yet destroyed, so that
// a stale or foreign pointer is recognised instead of followed.
std::mutex g_objectsLock;
std::map<const void*, ObjectHeader*> g_objects;

std::wstring GuidString(const GUID& g) {
    wchar_t text[40];
    std::swprintf(text, 40, L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2,
                  g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5],
                  g.Data4[6], g.Data4[7]);
    return text;
}

void AcquireMutex(PKMUTEX mutex) {
    KeWaitForSingleObject(mutex, Executive, KernelMode, FALSE, nullptr);
}

void ReleaseMutex(PKMUTEX mutex) {
    KeReleaseMutex(mutex, FALSE);
}

} // namespace

std::mutex& OpenLock() {
    static std::mutex lock;
    return lock;
}

void RegisterPublic(const void* object, ObjectHeader* header) {
    std::lock_guard<std::mutex> guard(g_objectsLock);
    g_objects[object] = header;
}

void UnregisterPublic(const void* object) {
    std::lock_guard<std::mutex> guard(g_objectsLock);
    g_objects.erase(object);
}

ObjectHeader* HeaderOf(const void* object) {
    if (object == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(g_objectsLock);
    auto it = g_objects.find(object);
    return it == g_objects.end() ? nullptr : it->second;
}

Device* DeviceOf(const void* object) {
    ObjectHeader* header = HeaderOf(object);
    if (header == nullptr) {
        return nullptr;
    }
    switch (header->type) {
    case KsObjectTypeDevice:
        return static_cast<Device*>(header->owner);
    case KsObjectTypeFilterFactory:
        return static_cast<FilterFactory*>(header->owner)->device;
    case KsObjectTypeFilter:
        return static_cast<Filter*>(header->owner)->device;
    case KsObjectTypePin:
        return static_cast<Pin*>(header->owner)->filter->device;
    }
    return nullptr;
}

bool WithLivePin(PKSPIN pin, const std::function<void(Pin*)>& fn) {
    std::lock_guard<std::mutex> guard(g_objectsLock);
    auto it = g_objects.find(pin);
    if (it == g_objects.end() || it->second->type != KsObjectTypePin) {
        return false;
    }
    fn(static_cast<Pin*>(it->second->owner));
    return true;
}

Filter* FilterFromPublic(PKSFILTER filter) {
    ObjectHeader* header = HeaderOf(filter);
    return header != nullptr && header->type == KsObjectTypeFilter
               ? static_cast<Filter*>(header->owner)
               : nullptr;
}

Pin* PinFromPublic(PKSPIN pin) {
    ObjectHeader* header = HeaderOf(pin);
    return header != nullptr && header->type == KsObjectTypePin ? static_cast<Pin*>(header->owner)
                                                                : nullptr;
}

// ---------------------------------------------------------------------------
// Device interfaces

namespace {
struct InterfaceEntry {
    GUID category;
    std::wstring link;
    std::wstring referenceString;
    FilterFactory* factory;
};
std::mutex g_interfacesLock;
std::vector<InterfaceEntry> g_interfaces;
} // namespace

static void RegisterInterfaces(FilterFactory* factory) {
    const KSFILTER_DESCRIPTOR* descriptor = factory->env.pub.FilterDescriptor;
    std::lock_guard<std::mutex> guard(g_interfacesLock);
    for (ULONG i = 0; descriptor->Categories != nullptr && i < descriptor->CategoriesCount; ++i) {
        const GUID& category = descriptor->Categories[i];
        std::wstring link = L"\\\\?\\ks#dev" + std::to_wstring(factory->device->instance) + L"#" +
                            GuidString(category) + L"\\" + factory->referenceString;
        factory->interfaces.emplace_back(category, link);
        g_interfaces.push_back({category, link, factory->referenceString, factory});
    }
}

static void UnregisterInterfaces(FilterFactory* factory) {
    std::lock_guard<std::mutex> guard(g_interfacesLock);
    g_interfaces.erase(
        std::remove_if(g_interfaces.begin(), g_interfaces.end(),
                       [&](const InterfaceEntry& e) { return e.factory == factory; }),
        g_interfaces.end());
}

std::vector<std::wstring> InterfaceLinks(const GUID& category) {
    std::vector<std::wstring> links;
    std::lock_guard<std::mutex> guard(g_interfacesLock);
    for (const InterfaceEntry& e : g_interfaces) {
        if (e.category == category && e.factory->interfacesEnabled &&
            e.factory->device->state == PnpState::Started) {
            links.push_back(e.link);
        }
    }
    return links;
}

FilterFactory* FactoryForLink(const std::wstring& link) {
    std::lock_guard<std::mutex> guard(g_interfacesLock);
    for (const InterfaceEntry& e : g_interfaces) {
        if (e.link == link && e.factory->interfacesEnabled) {
            return e.factory;
        }
    }
    return nullptr;
}

FilterFactory* FactoryForReference(const GUID& category, const std::wstring& reference) {
    std::lock_guard<std::mutex> guard(g_interfacesLock);
    for (const InterfaceEntry& e : g_interfaces) {
        if (e.category == category && e.referenceString == reference &&
            e.factory->interfacesEnabled && e.factory->device->state == PnpState::Started) {
            return e.factory;
        }
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Filter factories

static void DeleteFactory(FilterFactory* factory) {
    UnregisterInterfaces(factory);
    UnregisterPublic(factory->Public());
    factory->bag.FreeAll();
    delete factory;
}

static NTSTATUS CreateFactory(Device* device, const KSFILTER_DESCRIPTOR* descriptor,
                              const wchar_t* refString, ULONG flags, FilterFactory** out) {
    if (descriptor == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (descriptor->Version != KSFILTER_DESCRIPTOR_VERSION) {
        return STATUS_INVALID_PARAMETER;
    }
    if (descriptor->PinDescriptorsCount > 0 &&
        (descriptor->PinDescriptors == nullptr ||
         descriptor->PinDescriptorSize < sizeof(KSPIN_DESCRIPTOR_EX))) {
        return STATUS_INVALID_PARAMETER;
    }
    std::wstring reference;
    if (refString != nullptr) {
        reference = refString;
    } else if (descriptor->ReferenceGuid != nullptr) {
        reference = GuidString(*descriptor->ReferenceGuid);
    } else {
        reference = L"GLOBAL";
    }

    {
        std::lock_guard<std::mutex> guard(device->lock);
        for (FilterFactory* existing : device->factories) {
            if (existing->referenceString == reference) {
                // Two create items under one name would make opens ambiguous.
                return STATUS_OBJECT_NAME_COLLISION;
            }
        }
    }

    auto* factory = new FilterFactory;
    factory->env.header = {kObjectMagic, KsObjectTypeFilterFactory, factory};
    factory->env.pub.FilterDescriptor = descriptor;
    factory->env.pub.Bag = factory->bag.Handle();
    // As on Windows, a factory starts with its device's context.
    factory->env.pub.Context = device->Public()->Context;
    factory->device = device;
    factory->referenceString = reference;
    factory->createItemFlags = flags;
    RegisterPublic(factory->Public(), &factory->env.header);
    {
        std::lock_guard<std::mutex> guard(device->lock);
        device->factories.push_back(factory);
    }
    RegisterInterfaces(factory);
    if (out != nullptr) {
        *out = factory;
    }
    return STATUS_SUCCESS;
}

// Deletes the factories that go with a stop (or all of them).
static void DeleteFactories(Device* device, bool onlyFreeOnStop) {
    std::vector<FilterFactory*> doomed;
    {
        std::lock_guard<std::mutex> guard(device->lock);
        auto keep = std::stable_partition(
            device->factories.begin(), device->factories.end(), [&](FilterFactory* f) {
                return onlyFreeOnStop && (f->createItemFlags & KSCREATE_ITEM_FREEONSTOP) == 0;
            });
        doomed.assign(keep, device->factories.end());
        device->factories.erase(keep, device->factories.end());
    }
    for (FilterFactory* f : doomed) {
        DeleteFactory(f);
    }
}

static void CloseAllFilters(Device* device) {
    std::vector<std::shared_ptr<Filter>> filters;
    {
        std::lock_guard<std::mutex> guard(device->lock);
        filters = device->filters;
    }
    for (auto& filter : filters) {
        CloseFilter(filter);
    }
}

static bool HasOpenFilters(Device* device) {
    std::lock_guard<std::mutex> guard(device->lock);
    return !device->filters.empty();
}

// A PnP or power IRP for the dispatch routines that take one; the minidriver
// only looks at it, the class frees it after the call.
static PIRP AllocatePnpIrp(Device* device, UCHAR major, UCHAR minor) {
    PIRP irp = IoAllocateIrp(1, FALSE);
    if (irp == nullptr) {
        return nullptr;
    }
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->MinorFunction = minor;
    stack->DeviceObject = device->Public()->FunctionalDeviceObject;
    IoSetNextIrpStackLocation(irp);
    return irp;
}

static const KSDEVICE_DISPATCH* DispatchOf(Device* device) {
    const KSDEVICE_DESCRIPTOR* d = device->Public()->Descriptor;
    return d != nullptr ? d->Dispatch : nullptr;
}

} // namespace ks

// ---------------------------------------------------------------------------
// Exported class calls

using namespace ks;

EXTERN_C NTSTATUS NTAPI KsInitializeDriver(PDRIVER_OBJECT DriverObject,
                                           PUNICODE_STRING RegistryPathName,
                                           const KSDEVICE_DESCRIPTOR* Descriptor) {
    if (DriverObject == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> guard(g_driversLock);
    g_drivers[DriverObject] = Descriptor;
    return STATUS_SUCCESS;
}

EXTERN_C PKSDEVICE NTAPI KsGetDeviceForDeviceObject(PDEVICE_OBJECT FunctionalDeviceObject) {
    if (FunctionalDeviceObject == nullptr || FunctionalDeviceObject->DeviceExtension == nullptr) {
        return nullptr;
    }
    auto* device = *static_cast<Device**>(FunctionalDeviceObject->DeviceExtension);
    return device != nullptr ? device->Public() : nullptr;
}

EXTERN_C void NTAPI KsAcquireDevice(PKSDEVICE Device) {
    ks::Device* device = DeviceOf(Device);
    if (device == nullptr) {
        host::ReportViolation(host::Rule::InvalidParameter, "KsAcquireDevice: not a KSDEVICE");
        return;
    }
    AcquireMutex(&device->mutex);
}

EXTERN_C void NTAPI KsReleaseDevice(PKSDEVICE Device) {
    ks::Device* device = DeviceOf(Device);
    if (device == nullptr) {
        host::ReportViolation(host::Rule::InvalidParameter, "KsReleaseDevice: not a KSDEVICE");
        return;
    }
    ReleaseMutex(&device->mutex);
}

EXTERN_C NTSTATUS NTAPI
KsCreateFilterFactory(PDEVICE_OBJECT DeviceObject, const KSFILTER_DESCRIPTOR* Descriptor,
                      PWSTR RefString, PSECURITY_DESCRIPTOR SecurityDescriptor,
                      ULONG CreateItemFlags, PFNKSFILTERFACTORYPOWER SleepCallback,
                      PFNKSFILTERFACTORYPOWER WakeCallback, PKSFILTERFACTORY* FilterFactory) {
    PKSDEVICE ksDevice = KsGetDeviceForDeviceObject(DeviceObject);
    ks::Device* device = DeviceOf(ksDevice);
    if (device == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    ks::FilterFactory* factory = nullptr;
    NTSTATUS status = CreateFactory(device, Descriptor, RefString, CreateItemFlags, &factory);
    if (NT_SUCCESS(status) && FilterFactory != nullptr) {
        *FilterFactory = factory->Public();
    }
    return status;
}

EXTERN_C NTSTATUS NTAPI KsFilterFactorySetDeviceClassesState(PKSFILTERFACTORY FilterFactory,
                                                             BOOLEAN NewState) {
    ObjectHeader* header = HeaderOf(FilterFactory);
    if (header == nullptr || header->type != KsObjectTypeFilterFactory) {
        return STATUS_INVALID_PARAMETER;
    }
    static_cast<ks::FilterFactory*>(header->owner)->interfacesEnabled = NewState != FALSE;
    return STATUS_SUCCESS;
}

EXTERN_C PVOID NTAPI KsGetParent(PVOID Object) {
    ObjectHeader* header = HeaderOf(Object);
    if (header == nullptr) {
        return nullptr;
    }
    switch (header->type) {
    case KsObjectTypeDevice:
        return nullptr;
    case KsObjectTypeFilterFactory:
        return static_cast<ks::FilterFactory*>(header->owner)->device->Public();
    case KsObjectTypeFilter:
        return static_cast<ks::Filter*>(header->owner)->factory->Public();
    case KsObjectTypePin:
        return static_cast<ks::Pin*>(header->owner)->filter->Public();
    }
    return nullptr;
}

EXTERN_C PKSDEVICE NTAPI KsGetDevice(PVOID Object) {
    ks::Device* device = DeviceOf(Object);
    return device != nullptr ? device->Public() : nullptr;
}

// ---------------------------------------------------------------------------
// Host PnP manager

namespace host::ks {

using ::ks::Device;
using ::ks::PnpState;

NTSTATUS LoadDriver(PDRIVER_INITIALIZE driverEntry, const wchar_t* registryPath, Driver** out) {
    if (driverEntry == nullptr || out == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* driver = new Driver;
    driver->object.Type = 4; // IO_TYPE_DRIVER
    driver->object.Size = sizeof(DRIVER_OBJECT);
    driver->object.DriverExtension = &driver->extension;
    driver->extension.DriverObject = &driver->object;
    driver->object.DriverInit = driverEntry;
    driver->registryPath = registryPath != nullptr ? registryPath : L"";
    driver->registryPathString.Buffer = driver->registryPath.data();
    driver->registryPathString.Length =
        static_cast<USHORT>(driver->registryPath.size() * sizeof(WCHAR));
    driver->registryPathString.MaximumLength =
        static_cast<USHORT>(driver->registryPathString.Length + sizeof(WCHAR));

    NTSTATUS status = driverEntry(&driver->object, &driver->registryPathString);
    if (NT_SUCCESS(status)) {
        std::lock_guard<std::mutex> guard(::ks::g_driversLock);
        if (::ks::g_drivers.find(&driver->object) == ::ks::g_drivers.end()) {
            // Not a streaming minidriver: there is nothing to dispatch to.
            status = STATUS_INVALID_DEVICE_REQUEST;
        }
    }
    if (!NT_SUCCESS(status)) {
        {
            std::lock_guard<std::mutex> guard(::ks::g_driversLock);
            ::ks::g_drivers.erase(&driver->object);
        }
        delete driver;
        return status;
    }
    *out = driver;
    return STATUS_SUCCESS;
}

void UnloadDriver(Driver* driver) {
    if (driver == nullptr) {
        return;
    }
    while (!driver->devices.empty()) {
        RemoveDevice(driver->devices.back());
    }
    if (driver->object.DriverUnload != nullptr) {
        driver->object.DriverUnload(&driver->object);
    }
    {
        std::lock_guard<std::mutex> guard(::ks::g_driversLock);
        ::ks::g_drivers.erase(&driver->object);
    }
    delete driver;
}

PDRIVER_OBJECT DriverObjectOf(Driver* driver) {
    return driver != nullptr ? &driver->object : nullptr;
}

PKSDEVICE KsDeviceOf(DeviceNode* node) {
    return node != nullptr ? node->device->Public() : nullptr;
}

static void DestroyDevice(DeviceNode* node) {
    Device* device = node->device;
    ::ks::DeleteFactories(device, false);
    device->bag.FreeAll();
    ::ks::UnregisterPublic(device->Public());
    PDEVICE_OBJECT next = device->Public()->NextDeviceObject;
    if (next != nullptr) {
        IoDetachDevice(next);
    }
    IoDeleteDevice(node->fdo);
    auto& list = node->driver->devices;
    list.erase(std::remove(list.begin(), list.end(), node), list.end());
    delete device;
    delete node;
    --::ks::g_liveDevices;
}

NTSTATUS AddDevice(Driver* driver, PDEVICE_OBJECT lowerDevice, DeviceNode** out) {
    if (driver == nullptr || lowerDevice == nullptr || out == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const KSDEVICE_DESCRIPTOR* descriptor = nullptr;
    {
        std::lock_guard<std::mutex> guard(::ks::g_driversLock);
        descriptor = ::ks::g_drivers[&driver->object];
    }

    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status =
        IoCreateDevice(&driver->object, sizeof(Device*), nullptr, FILE_DEVICE_KS, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PDEVICE_OBJECT next = IoAttachDeviceToDeviceStack(fdo, lowerDevice);
    if (next == nullptr) {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }

    auto* device = new Device;
    ++::ks::g_liveDevices;
    device->env.header = {::ks::kObjectMagic, KsObjectTypeDevice, device};
    device->driver = nullptr;
    device->instance = ::ks::g_nextInstance++;
    KeInitializeMutex(&device->mutex, 0);
    PKSDEVICE pub = device->Public();
    pub->Descriptor = descriptor;
    pub->Bag = device->bag.Handle();
    pub->Context = nullptr;
    pub->FunctionalDeviceObject = fdo;
    pub->PhysicalDeviceObject = lowerDevice;
    pub->NextDeviceObject = next;
    pub->Started = FALSE;
    pub->SystemPowerState = PowerSystemWorking;
    pub->DevicePowerState = PowerDeviceD3;
    *static_cast<Device**>(fdo->DeviceExtension) = device;
    fdo->StackSize = static_cast<CCHAR>(next->StackSize + 1);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    ::ks::RegisterPublic(pub, &device->env.header);

    auto* node = new DeviceNode{device, driver, fdo};
    driver->devices.push_back(node);

    const KSDEVICE_DISPATCH* dispatch = ::ks::DispatchOf(device);
    if (dispatch != nullptr && dispatch->Add != nullptr) {
        status = dispatch->Add(pub);
        if (!NT_SUCCESS(status)) {
            DestroyDevice(node);
            return status;
        }
    }
    *out = node;
    return STATUS_SUCCESS;
}

NTSTATUS StartDevice(DeviceNode* node) {
    if (node == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    Device* device = node->device;
    PKSDEVICE pub = device->Public();
    if (device->state == PnpState::Started) {
        return STATUS_SUCCESS;
    }
    if (device->state == PnpState::SurpriseRemoved || device->state == PnpState::Removed) {
        return STATUS_DEVICE_REMOVED;
    }
    const KSDEVICE_DESCRIPTOR* descriptor = pub->Descriptor;
    NTSTATUS status = STATUS_SUCCESS;
    if (descriptor != nullptr) {
        for (ULONG i = 0; i < descriptor->FilterDescriptorsCount; ++i) {
            status = ::ks::CreateFactory(device, descriptor->FilterDescriptors[i], nullptr,
                                         KSCREATE_ITEM_FREEONSTOP, nullptr);
            if (!NT_SUCCESS(status)) {
                ::ks::DeleteFactories(device, true);
                return status;
            }
        }
    }
    const KSDEVICE_DISPATCH* dispatch = ::ks::DispatchOf(device);
    if (dispatch != nullptr && dispatch->Start != nullptr) {
        PIRP irp = ::ks::AllocatePnpIrp(device, IRP_MJ_PNP, IRP_MN_START_DEVICE);
        if (irp == nullptr) {
            ::ks::DeleteFactories(device, true);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        status = dispatch->Start(pub, irp, nullptr, nullptr);
        IoFreeIrp(irp);
    }
    if (NT_SUCCESS(status) && dispatch != nullptr && dispatch->PostStart != nullptr) {
        status = dispatch->PostStart(pub);
    }
    if (!NT_SUCCESS(status)) {
        // A failed start leaves the device as it was; what the minidriver
        // created on the way is its to keep, except what goes with a stop.
        ::ks::DeleteFactories(device, true);
        return status;
    }
    pub->Started = TRUE;
    pub->DevicePowerState = PowerDeviceD0;
    device->state = PnpState::Started;
    return STATUS_SUCCESS;
}

NTSTATUS StopDevice(DeviceNode* node) {
    std::lock_guard<std::mutex> opens(::ks::OpenLock());
    if (node == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    Device* device = node->device;
    PKSDEVICE pub = device->Public();
    if (device->state != PnpState::Started) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (::ks::HasOpenFilters(device)) {
        return STATUS_DEVICE_BUSY;
    }
    const KSDEVICE_DISPATCH* dispatch = ::ks::DispatchOf(device);
    if (dispatch != nullptr && dispatch->QueryStop != nullptr) {
        PIRP irp = ::ks::AllocatePnpIrp(device, IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE);
        if (irp == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        NTSTATUS status = dispatch->QueryStop(pub, irp);
        if (!NT_SUCCESS(status)) {
            if (dispatch->CancelStop != nullptr) {
                dispatch->CancelStop(pub, irp);
            }
            IoFreeIrp(irp);
            return status;
        }
        IoFreeIrp(irp);
    }
    if (dispatch != nullptr && dispatch->Stop != nullptr) {
        PIRP irp = ::ks::AllocatePnpIrp(device, IRP_MJ_PNP, IRP_MN_STOP_DEVICE);
        dispatch->Stop(pub, irp);
        if (irp != nullptr) {
            IoFreeIrp(irp);
        }
    }
    pub->Started = FALSE;
    device->state = PnpState::Stopped;
    ::ks::DeleteFactories(device, true);
    return STATUS_SUCCESS;
}

// A device power IRP for the lower device, which a bus driver's PDO acts
// on (the USB bus suspends or resumes the port). Sent as the class passes
// the minidriver's power IRPs down; its result changes nothing here.
static NTSTATUS PowerCompleted(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static void PowerLowerDevice(Device* device, DEVICE_POWER_STATE state) {
    PDEVICE_OBJECT next = device->Public()->NextDeviceObject;
    if (next == nullptr) {
        return;
    }
    PIRP irp = IoAllocateIrp(next->StackSize, FALSE);
    if (irp == nullptr) {
        return;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_POWER;
    stack->MinorFunction = IRP_MN_SET_POWER;
    stack->Parameters.Power.Type = DevicePowerState;
    stack->Parameters.Power.State.DeviceState = state;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, PowerCompleted, &done, TRUE, TRUE, TRUE);
    PoCallDriver(next, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    IoFreeIrp(irp);
}

static void CallSetPower(Device* device, DEVICE_POWER_STATE to) {
    PKSDEVICE pub = device->Public();
    DEVICE_POWER_STATE from = pub->DevicePowerState;
    const KSDEVICE_DISPATCH* dispatch = ::ks::DispatchOf(device);
    if (dispatch != nullptr && dispatch->SetPower != nullptr) {
        PIRP irp = ::ks::AllocatePnpIrp(device, IRP_MJ_POWER, IRP_MN_SET_POWER);
        if (irp != nullptr) {
            dispatch->SetPower(pub, irp, to, from);
            IoFreeIrp(irp);
        }
    }
    pub->DevicePowerState = to;
}

NTSTATUS SetDevicePowerState(DeviceNode* node, DEVICE_POWER_STATE to) {
    if (node == nullptr || to < PowerDeviceD0 || to > PowerDeviceD3) {
        return STATUS_INVALID_PARAMETER;
    }
    Device* device = node->device;
    PKSDEVICE pub = device->Public();
    if (device->state == PnpState::Removed) {
        return STATUS_DEVICE_REMOVED;
    }
    if (pub->DevicePowerState == to) {
        return STATUS_SUCCESS;
    }
    // Powering up, the bus is ready before the minidriver hears of it;
    // powering down, the minidriver lets go of the device first.
    if (to == PowerDeviceD0) {
        PowerLowerDevice(device, to);
        CallSetPower(device, to);
    } else {
        CallSetPower(device, to);
        PowerLowerDevice(device, to);
    }
    return STATUS_SUCCESS;
}

// The device's pins as they are now, each held so that it cannot go away.
static std::vector<std::shared_ptr<::ks::Pin>> PinsOf(Device* device) {
    std::vector<std::shared_ptr<::ks::Filter>> filters;
    {
        std::lock_guard<std::mutex> guard(device->lock);
        filters = device->filters;
    }
    std::vector<std::shared_ptr<::ks::Pin>> pins;
    for (auto& filter : filters) {
        std::lock_guard<std::recursive_mutex> control(filter->control);
        pins.insert(pins.end(), filter->pins.begin(), filter->pins.end());
    }
    return pins;
}

NTSTATUS SleepDevice(DeviceNode* node, DEVICE_POWER_STATE state) {
    if (node == nullptr || state < PowerDeviceD1 || state > PowerDeviceD3) {
        return STATUS_INVALID_PARAMETER;
    }
    Device* device = node->device;
    if (device->state == PnpState::Removed) {
        return STATUS_DEVICE_REMOVED;
    }
    std::vector<std::weak_ptr<::ks::Pin>> paused;
    for (auto& pin : PinsOf(device)) {
        // What a graph pause delivers: one step, Run to Pause, through the
        // filter's control mutex like any state change.
        std::lock_guard<std::recursive_mutex> control(pin->filter->control);
        if (!pin->closed && pin->Public()->DeviceState == KSSTATE_RUN &&
            NT_SUCCESS(::ks::SetPinState(pin.get(), KSSTATE_PAUSE))) {
            paused.push_back(pin);
        }
    }
    {
        std::lock_guard<std::mutex> guard(device->lock);
        device->pausedForSleep.insert(device->pausedForSleep.end(), paused.begin(), paused.end());
    }
    return SetDevicePowerState(node, state);
}

// Runs again the pins the sleep paused that are still open and in Pause.
static void RunPausedPins(Device* device) {
    std::vector<std::weak_ptr<::ks::Pin>> paused;
    {
        std::lock_guard<std::mutex> guard(device->lock);
        paused.swap(device->pausedForSleep);
    }
    for (auto& weak : paused) {
        std::shared_ptr<::ks::Pin> pin = weak.lock();
        if (!pin) {
            continue;
        }
        std::lock_guard<std::recursive_mutex> control(pin->filter->control);
        if (!pin->closed && pin->Public()->DeviceState == KSSTATE_PAUSE) {
            ::ks::SetPinState(pin.get(), KSSTATE_RUN);
        }
    }
}

NTSTATUS WakeDevice(DeviceNode* node, WakeOrder order) {
    if (node == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    Device* device = node->device;
    PKSDEVICE pub = device->Public();
    if (device->state == PnpState::Removed) {
        return STATUS_DEVICE_REMOVED;
    }
    if (pub->DevicePowerState != PowerDeviceD0) {
        PowerLowerDevice(device, PowerDeviceD0);
        if (order == WakeOrder::RunFirst) {
            RunPausedPins(device);
        }
        CallSetPower(device, PowerDeviceD0);
    }
    RunPausedPins(device);
    return STATUS_SUCCESS;
}

// Every device of the driver in the order added; the first failure is
// the answer, and the rest are still done.
template <typename Step>
static NTSTATUS EveryDevice(Driver* driver, Step step) {
    if (driver == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS result = STATUS_SUCCESS;
    std::vector<DeviceNode*> devices = driver->devices;
    for (DeviceNode* node : devices) {
        NTSTATUS status = step(node);
        if (!NT_SUCCESS(status) && NT_SUCCESS(result)) {
            result = status;
        }
    }
    return result;
}

NTSTATUS SleepSystem(Driver* driver, DEVICE_POWER_STATE state) {
    return EveryDevice(driver, [state](DeviceNode* node) { return SleepDevice(node, state); });
}

NTSTATUS WakeSystem(Driver* driver, WakeOrder order) {
    return EveryDevice(driver, [order](DeviceNode* node) { return WakeDevice(node, order); });
}

NTSTATUS SurpriseRemoveDevice(DeviceNode* node) {
    std::lock_guard<std::mutex> opens(::ks::OpenLock());
    if (node == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    Device* device = node->device;
    if (device->state == PnpState::SurpriseRemoved) {
        return STATUS_SUCCESS;
    }
    bool wasStarted = device->state == PnpState::Started;
    device->state = PnpState::SurpriseRemoved;
    // Started stays as it was: the minidriver is stopped at removal.
    (void)wasStarted;
    const KSDEVICE_DISPATCH* dispatch = ::ks::DispatchOf(device);
    if (dispatch != nullptr && dispatch->SurpriseRemoval != nullptr) {
        PIRP irp = ::ks::AllocatePnpIrp(device, IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL);
        dispatch->SurpriseRemoval(device->Public(), irp);
        if (irp != nullptr) {
            IoFreeIrp(irp);
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS RemoveDevice(DeviceNode* node) {
    std::lock_guard<std::mutex> opens(::ks::OpenLock());
    if (node == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    Device* device = node->device;
    PKSDEVICE pub = device->Public();
    if (device->state != PnpState::SurpriseRemoved) {
        device->state = PnpState::SurpriseRemoved; // no new opens from here on
    }
    ::ks::CloseAllFilters(device);
    const KSDEVICE_DISPATCH* dispatch = ::ks::DispatchOf(device);
    if (pub->Started) {
        if (dispatch != nullptr && dispatch->Stop != nullptr) {
            PIRP irp = ::ks::AllocatePnpIrp(device, IRP_MJ_PNP, IRP_MN_STOP_DEVICE);
            dispatch->Stop(pub, irp);
            if (irp != nullptr) {
                IoFreeIrp(irp);
            }
        }
        pub->Started = FALSE;
    }
    if (dispatch != nullptr && dispatch->Remove != nullptr) {
        PIRP irp = ::ks::AllocatePnpIrp(device, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
        dispatch->Remove(pub, irp);
        if (irp != nullptr) {
            IoFreeIrp(irp);
        }
    }
    device->state = PnpState::Removed;
    DestroyDevice(node);
    return STATUS_SUCCESS;
}

LiveObjects LiveObjectCounts() {
    return {::ks::g_liveDevices.load(), ::ks::g_liveFilters.load(), ::ks::g_livePins.load(),
            ::ks::g_liveClocks.load()};
}

} // namespace host::ks

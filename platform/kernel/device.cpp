// Device objects and device stacks, and the power manager's calls that a
// function driver makes. Device objects live in pool (tag "Devi") and are
// reference-counted objects: IoDeleteDevice drops the creator's reference,
// and the memory goes with the last one.
#include "kernel_internal.h"

#include <mutex>
#include <unordered_map>

namespace {

// Guards the device lists of drivers and the attachment chains.
std::mutex g_stacks;
std::unordered_map<PDEVICE_OBJECT, POWER_STATE> g_systemPower;
std::unordered_map<PDEVICE_OBJECT, POWER_STATE> g_devicePower;

void DestroyDevice(void* object) {
    ExFreePoolWithTag(object, kernel::kDeviceTag);
}

PDEVICE_OBJECT TopOf(PDEVICE_OBJECT device) {
    while (device->AttachedDevice != NULL) {
        device = device->AttachedDevice;
    }
    return device;
}

} // namespace

EXTERN_C NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                       PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                       ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                       PDEVICE_OBJECT* DeviceObject) {
    if (DriverObject == NULL || DeviceObject == NULL) {
        kernel::Violate(host::Rule::InvalidParameter,
                        "IoCreateDevice without a driver object or a result pointer");
        return STATUS_INVALID_PARAMETER;
    }
    *DeviceObject = NULL;
    SIZE_T extension = (DeviceExtensionSize + 15) & ~(SIZE_T)15;
    SIZE_T size = sizeof(DEVICE_OBJECT) + extension;
    auto device = static_cast<PDEVICE_OBJECT>(
        ExAllocatePoolWithTag(NonPagedPoolNx, size, kernel::kDeviceTag));
    if (device == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    memset(device, 0, size);
    device->Type = IO_TYPE_DEVICE;
    device->Size = (USHORT)(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->DeviceExtension = DeviceExtensionSize != 0 ? device + 1 : NULL;
    device->DeviceType = DeviceType;
    device->Characteristics = DeviceCharacteristics;
    device->StackSize = 1;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
    device->AlignmentRequirement = 0;
    device->SectorSize = 0;
    KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
    kernel::InsertObject(device, kernel::DeviceObjectType(), DestroyDevice);
    {
        std::lock_guard<std::mutex> guard(g_stacks);
        device->NextDevice = DriverObject->DeviceObject;
        DriverObject->DeviceObject = device;
    }
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

EXTERN_C VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    {
        std::lock_guard<std::mutex> guard(g_stacks);
        PDRIVER_OBJECT driver = DeviceObject->DriverObject;
        if (driver != NULL) {
            for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link != NULL;
                 link = &(*link)->NextDevice) {
                if (*link == DeviceObject) {
                    *link = DeviceObject->NextDevice;
                    break;
                }
            }
        }
        g_systemPower.erase(DeviceObject);
        g_devicePower.erase(DeviceObject);
    }
    ObfDereferenceObject(DeviceObject);
}

EXTERN_C PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                          PDEVICE_OBJECT TargetDevice) {
    std::lock_guard<std::mutex> guard(g_stacks);
    PDEVICE_OBJECT top = TopOf(TargetDevice);
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = (CCHAR)(top->StackSize + 1);
    if (SourceDevice->AlignmentRequirement < top->AlignmentRequirement) {
        SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    }
    return top;
}

EXTERN_C VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    std::lock_guard<std::mutex> guard(g_stacks);
    TargetDevice->AttachedDevice = NULL;
}

EXTERN_C PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_OBJECT top;
    {
        std::lock_guard<std::mutex> guard(g_stacks);
        top = TopOf(DeviceObject);
    }
    ObfReferenceObject(top);
    return top;
}

EXTERN_C NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return IofCallDriver(DeviceObject, Irp);
}

EXTERN_C VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
    // Power IRPs are not serialised per device on the host: nothing waits.
}

EXTERN_C POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                                           POWER_STATE State) {
    std::lock_guard<std::mutex> guard(g_stacks);
    auto& table = Type == SystemPowerState ? g_systemPower : g_devicePower;
    POWER_STATE previous{};
    auto it = table.find(DeviceObject);
    if (it != table.end()) {
        previous = it->second;
    } else if (Type == DevicePowerState) {
        previous.DeviceState = PowerDeviceD0;
    } else {
        previous.SystemState = PowerSystemWorking;
    }
    table[DeviceObject] = State;
    return previous;
}

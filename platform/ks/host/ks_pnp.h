// The host's plug-and-play manager for streaming minidrivers: what a test or
// tool uses to load an AVStream driver and walk its devices through their
// lifecycle. Kernel code never includes this.
//
//   host::ks::Driver* driver = nullptr;
//   host::ks::LoadDriver(DriverEntry, L"\\Registry\\Machine\\System\\CurrentControlSet"
//                        L"\\Services\\m4350av", &driver);
//   host::ks::DeviceNode* device = nullptr;
//   host::ks::AddDevice(driver, lowerDeviceObject, &device); // calls the Add dispatch
//   host::ks::StartDevice(device);                           // Start, then Started = TRUE
//   ... open filters with <host/ks_client.h> ...
//   host::ks::StopDevice(device);   // Stop; free-on-stop factories go away
//   host::ks::RemoveDevice(device); // Remove; the device's object bag is freed
//   host::ks::UnloadDriver(driver);
//
// Every call runs the minidriver's dispatch on the calling thread at
// PASSIVE_LEVEL, one PnP call per device at a time, as the PnP manager does.
#pragma once

#include <ks.h>

#include <cstddef>

namespace host::ks {

struct Driver;
struct DeviceNode;

// Creates a DRIVER_OBJECT, calls DriverEntry(DriverObject, RegistryPath) and
// keeps the driver when it succeeds. The driver must call KsInitializeDriver.
NTSTATUS LoadDriver(PDRIVER_INITIALIZE driverEntry, const wchar_t* registryPath, Driver** driver);
// Removes any device still present, calls DriverUnload if set and frees the
// driver object.
void UnloadDriver(Driver* driver);
PDRIVER_OBJECT DriverObjectOf(Driver* driver);

// Creates the functional device object over the given lower device (the
// physical device the bus reported), attaches it, builds the KSDEVICE and
// calls the Add dispatch. A failing Add undoes everything and is returned.
NTSTATUS AddDevice(Driver* driver, PDEVICE_OBJECT lowerDevice, DeviceNode** device);
// Start: the factories of the descriptor's static filter descriptors, then the
// Start dispatch (with Started still FALSE), then PostStart; Started becomes
// TRUE only when they succeed. Device power is D0 after a start.
NTSTATUS StartDevice(DeviceNode* device);
// Stop: vetoed with STATUS_DEVICE_BUSY while a filter is open (as a query-stop
// is); else QueryStop, Stop, Started = FALSE, and every factory created with
// KSCREATE_ITEM_FREEONSTOP is deleted with its device interfaces.
NTSTATUS StopDevice(DeviceNode* device);
// Calls SetPower(Device, Irp, To, From) when the state changes, and passes
// the new state down to the lower device as a device power IRP
// (IRP_MN_SET_POWER): after SetPower when leaving D0, before it when
// returning to D0. Under the USB bus this suspends the port for D2 and D3
// and resumes it for D0 (see <host/usb_bus.h>).
NTSTATUS SetDevicePowerState(DeviceNode* device, DEVICE_POWER_STATE to);

// A system sleep and wake as the streaming class delivers them to a device.
//
// SleepDevice: every pin in Run goes to Pause (one state step, through the
// filter's control mutex, as a graph pause does), then the device goes to
// `state` as SetDevicePowerState does it: SetPower, then the lower device
// (the bus suspends the port). Pins in Stop, Acquire or Pause stay there.
//
// WakeDevice: the lower device returns to D0 first (the bus resumes the
// port); then SetPower(D0) and Pause -> Run of the pins the sleep paused, in
// the order asked for. Windows delivers either: PowerFirst is the usual
// one, RunFirst the order the minidriver must handle too. A pin that was
// closed or moved out of Pause meanwhile is left alone.
enum class WakeOrder { PowerFirst, RunFirst };
NTSTATUS SleepDevice(DeviceNode* device, DEVICE_POWER_STATE state = PowerDeviceD3);
NTSTATUS WakeDevice(DeviceNode* device, WakeOrder order = WakeOrder::PowerFirst);
// The whole machine: every device of the driver, in the order added.
NTSTATUS SleepSystem(Driver* driver, DEVICE_POWER_STATE state = PowerDeviceD3);
NTSTATUS WakeSystem(Driver* driver, WakeOrder order = WakeOrder::PowerFirst);
// The device is gone from the bus: SurpriseRemoval is called, its interfaces
// disappear and no new filter can be opened. Open handles keep working until
// they are closed or the device is removed.
NTSTATUS SurpriseRemoveDevice(DeviceNode* device);
// Closes whatever is still open on the device (its handles then fail with
// STATUS_DEVICE_REMOVED), calls Stop if the device is started, then Remove,
// frees the factories and the device's object bag, and deletes the device
// object. The node is invalid afterwards.
NTSTATUS RemoveDevice(DeviceNode* device);

PKSDEVICE KsDeviceOf(DeviceNode* device);

// Streaming-class objects alive in the process, for leak checks.
struct LiveObjects {
    long devices;
    long filters;
    long pins;
    long clocks;
};
LiveObjects LiveObjectCounts();

} // namespace host::ks

// A two-device stack for IRP tests: an upper device attached over a lower
// one, each with its own driver object, so dispatch goes through the
// drivers' tables as it does for real drivers.
#pragma once

#include <wdm.h>

struct DeviceStack {
    DRIVER_OBJECT upperDriver{};
    DRIVER_OBJECT lowerDriver{};
    PDEVICE_OBJECT upper = nullptr;
    PDEVICE_OBJECT lower = nullptr;

    DeviceStack() {
        upperDriver.Type = IO_TYPE_DRIVER;
        lowerDriver.Type = IO_TYPE_DRIVER;
        IoCreateDevice(&lowerDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower);
        IoCreateDevice(&upperDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper);
        IoAttachDeviceToDeviceStack(upper, lower);
    }
    ~DeviceStack() {
        IoDetachDevice(lower);
        IoDeleteDevice(upper);
        IoDeleteDevice(lower);
    }
    DeviceStack(const DeviceStack&) = delete;
    DeviceStack& operator=(const DeviceStack&) = delete;
};

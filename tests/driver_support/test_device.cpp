#include "test_device.h"

#include <stdexcept>

namespace m4350test {

TestDevice::TestDevice(bool connected, bool configured) : device_(new CaptureDevice{}) {
    UsbPort* port = &device_->usb;
    port->lowerDevice = stack_.device();
    port->workItemDevice = stack_.device();
    IoInitializeRemoveLockEx(&port->removeLock, 0, 0, 0, RemoveLockSize);
    SetUsbPortConnected(port, 1);
    InitializeProtocolObjects();
    if (configured) {
        if (ConfigureDevice(get()) != 0 || !port->interfaceCopy) {
            throw std::runtime_error("TestDevice: configuration failed");
        }
        stack_.clear();
    }
    SetUsbPortConnected(port, connected ? 1 : 0);
}

TestDevice::~TestDevice() {
    if (device_->usb.interfaceCopy) {
        ExFreePoolWithTag(device_->usb.interfaceCopy, InterfaceCopyTag);
    }
}

void TestDevice::InitializeProtocolObjects() {
    KeInitializeEvent(&device_->firmwareReadyEvent, NotificationEvent, FALSE);
    for (ULONG n = 0; n < ChannelCount; ++n) {
        KeInitializeEvent(&device_->modeAckEvent[n], NotificationEvent, FALSE);
        KeInitializeEvent(&device_->statusEvent[n], NotificationEvent, FALSE);
    }
    KeInitializeMutex(&device_->commandMutex, 0);
}

} // namespace m4350test

// A CaptureDevice for unit tests of the USB and board layers: zeroed as Add
// leaves it, with its transport pointed at a fake lower stack and marked
// connected as Start would.
#pragma once

#include "fake_usb_stack.h"

#include "device/capture_device.h"

#include <memory>

namespace m4350test {

class TestDevice {
public:
    // connected: as after Start; configured: with the interface copy of a
    // successful configuration.
    explicit TestDevice(bool connected = true, bool configured = true);
    ~TestDevice();
    TestDevice(const TestDevice&) = delete;
    TestDevice& operator=(const TestDevice&) = delete;

    CaptureDevice* get() { return device_.get(); }
    CaptureDevice* operator->() { return device_.get(); }
    FakeUsbStack& stack() { return stack_; }

    // The board protocol's objects, as Board creation initialises them, for
    // tests that exercise the USB layer alone.
    void InitializeProtocolObjects();

private:
    FakeUsbStack stack_;
    std::unique_ptr<CaptureDevice> device_;
};

} // namespace m4350test

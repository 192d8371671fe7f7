// A lower USB stack for unit tests of the driver's USB layer: a device object
// whose internal device controls are answered by this object, so a test can
// see every request the driver sends and decide how each one ends.
//
// Requests are answered in the sender's thread (the stack completes them
// before IoCallDriver returns) unless the test asks for one to hang: then it
// stays pending until the driver cancels it.
#pragma once

#include <wdm.h>
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace m4350test {

struct UsbRequest {
    ULONG ioctl = 0;     // IOCTL_INTERNAL_USB_*
    USHORT function = 0; // URB function for SUBMIT_URB
    USHORT urbLength = 0;
    ULONG transferFlags = 0;
    ULONG transferLength = 0;
    USBD_PIPE_HANDLE pipe = nullptr;
    UCHAR vendorRequest = 0;
    USHORT value = 0;
    USHORT index = 0;
    UCHAR descriptorType = 0;
    bool nullConfiguration = false;      // select-configuration without a descriptor
    std::vector<UCHAR> data;             // bytes of a host-to-device bulk transfer
    std::vector<ULONG> maxTransferSizes; // select-configuration: as the driver set them
};

// What the stack does with one request.
struct UsbAnswer {
    NTSTATUS status = STATUS_SUCCESS;
    bool hang = false; // pend until cancelled

    static UsbAnswer Complete(NTSTATUS s) { return {s, false}; }
    static UsbAnswer Hang() { return {STATUS_PENDING, true}; }
};

class FakeUsbStack {
public:
    FakeUsbStack();
    ~FakeUsbStack();
    FakeUsbStack(const FakeUsbStack&) = delete;
    FakeUsbStack& operator=(const FakeUsbStack&) = delete;

    PDEVICE_OBJECT device() const { return device_; }

    // The configuration descriptor the stack reports (one interface, two bulk
    // endpoints by default) and the packet size it gives pipe 0.
    std::vector<UCHAR> configuration = DefaultConfiguration(2);
    USHORT pipe0MaxPacket = 512;
    ULONG portStatus = USBD_PORT_ENABLED | USBD_PORT_CONNECTED;

    // Decides the outcome of each request; the default completes it with
    // success. Called under no lock of the stack's.
    std::function<UsbAnswer(const UsbRequest&)> answer;

    std::vector<UsbRequest> requests() const;
    std::vector<UsbRequest> requestsWith(USHORT function) const;
    size_t count(USHORT function) const;
    size_t cancelCount() const;
    void clear();

    // One interface with `pipes` bulk endpoints: out 0x01 then in 0x82, ...
    static std::vector<UCHAR> DefaultConfiguration(unsigned pipes);

    static USBD_PIPE_HANDLE PipeHandle(ULONG index) {
        return reinterpret_cast<USBD_PIPE_HANDLE>(uintptr_t(0x1000 + index));
    }

private:
    static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp);
    static VOID CancelHung(PDEVICE_OBJECT device, PIRP irp);
    NTSTATUS Handle(PIRP irp);
    void FillUrb(PURB urb, const UsbRequest& request);

    DRIVER_OBJECT driver_{};
    PDEVICE_OBJECT device_ = nullptr;
    mutable std::mutex mutex_;
    std::vector<UsbRequest> requests_;
    size_t cancels_ = 0;
};

} // namespace m4350test

#include "fake_usb_stack.h"

#include <cstring>
#include <stdexcept>

namespace m4350test {

namespace {

FakeUsbStack* StackOf(PDEVICE_OBJECT device) {
    return *static_cast<FakeUsbStack**>(device->DeviceExtension);
}

} // namespace

FakeUsbStack::FakeUsbStack() {
    driver_.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
    NTSTATUS status = IoCreateDevice(&driver_, sizeof(FakeUsbStack*), nullptr, FILE_DEVICE_UNKNOWN,
                                     0, FALSE, &device_);
    if (!NT_SUCCESS(status)) {
        throw std::runtime_error("FakeUsbStack: IoCreateDevice failed");
    }
    *static_cast<FakeUsbStack**>(device_->DeviceExtension) = this;
}

FakeUsbStack::~FakeUsbStack() {
    IoDeleteDevice(device_);
}

std::vector<UCHAR> FakeUsbStack::DefaultConfiguration(unsigned pipes) {
    std::vector<UCHAR> d = {9,
                            USB_CONFIGURATION_DESCRIPTOR_TYPE,
                            0,
                            0,
                            1,
                            1,
                            0,
                            0x80,
                            50,
                            9,
                            USB_INTERFACE_DESCRIPTOR_TYPE,
                            0,
                            0,
                            UCHAR(pipes),
                            0xFF,
                            0,
                            0,
                            0};
    for (unsigned i = 0; i < pipes; ++i) {
        UCHAR address = i % 2 ? UCHAR(0x80 | (i + 1)) : UCHAR(i + 1);
        d.insert(d.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, 2, 0x00, 0x02, 0});
    }
    d[2] = UCHAR(d.size());
    d[3] = UCHAR(d.size() >> 8);
    return d;
}

std::vector<UsbRequest> FakeUsbStack::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::vector<UsbRequest> FakeUsbStack::requestsWith(USHORT function) const {
    std::vector<UsbRequest> found;
    for (const UsbRequest& r : requests()) {
        if (r.ioctl == IOCTL_INTERNAL_USB_SUBMIT_URB && r.function == function) {
            found.push_back(r);
        }
    }
    return found;
}

size_t FakeUsbStack::count(USHORT function) const {
    return requestsWith(function).size();
}

size_t FakeUsbStack::cancelCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return cancels_;
}

void FakeUsbStack::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
    cancels_ = 0;
}

NTSTATUS FakeUsbStack::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    return StackOf(device)->Handle(irp);
}

VOID FakeUsbStack::CancelHung(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    FakeUsbStack* stack = StackOf(device);
    {
        std::lock_guard<std::mutex> lock(stack->mutex_);
        ++stack->cancels_;
    }
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS FakeUsbStack::Handle(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    UsbRequest request;
    request.ioctl = stack->Parameters.DeviceIoControl.IoControlCode;
    PURB urb = nullptr;
    if (request.ioctl == IOCTL_INTERNAL_USB_SUBMIT_URB) {
        urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
        request.function = urb->UrbHeader.Function;
        request.urbLength = urb->UrbHeader.Length;
        switch (request.function) {
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
            request.descriptorType = urb->UrbControlDescriptorRequest.DescriptorType;
            request.transferLength = urb->UrbControlDescriptorRequest.TransferBufferLength;
            break;
        case URB_FUNCTION_SELECT_CONFIGURATION:
            request.nullConfiguration =
                urb->UrbSelectConfiguration.ConfigurationDescriptor == nullptr;
            if (!request.nullConfiguration) {
                PUSBD_INTERFACE_INFORMATION info = &urb->UrbSelectConfiguration.Interface;
                for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
                    request.maxTransferSizes.push_back(info->Pipes[i].MaximumTransferSize);
                }
            }
            break;
        case URB_FUNCTION_ABORT_PIPE:
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
            request.pipe = urb->UrbPipeRequest.PipeHandle;
            break;
        case URB_FUNCTION_VENDOR_DEVICE:
            request.vendorRequest = urb->UrbControlVendorClassRequest.Request;
            request.value = urb->UrbControlVendorClassRequest.Value;
            request.index = urb->UrbControlVendorClassRequest.Index;
            request.transferFlags = urb->UrbControlVendorClassRequest.TransferFlags;
            request.transferLength = urb->UrbControlVendorClassRequest.TransferBufferLength;
            break;
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
            auto& bulk = urb->UrbBulkOrInterruptTransfer;
            request.pipe = bulk.PipeHandle;
            request.transferFlags = bulk.TransferFlags;
            request.transferLength = bulk.TransferBufferLength;
            if (!(bulk.TransferFlags & USBD_TRANSFER_DIRECTION_IN) && bulk.TransferBuffer) {
                auto* bytes = static_cast<const UCHAR*>(bulk.TransferBuffer);
                request.data.assign(bytes, bytes + bulk.TransferBufferLength);
            }
            break;
        }
        default:
            break;
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
    }

    UsbAnswer outcome = answer ? answer(request) : UsbAnswer::Complete(STATUS_SUCCESS);
    if (outcome.hang) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, CancelHung);
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
            irp->IoStatus.Status = STATUS_CANCELLED;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        }
        return STATUS_PENDING;
    }

    if (NT_SUCCESS(outcome.status)) {
        if (urb) {
            FillUrb(urb, request);
        } else if (request.ioctl == IOCTL_INTERNAL_USB_GET_PORT_STATUS) {
            *static_cast<PULONG>(stack->Parameters.Others.Argument1) = portStatus;
        }
    }
    irp->IoStatus.Status = outcome.status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return outcome.status;
}

void FakeUsbStack::FillUrb(PURB urb, const UsbRequest& request) {
    switch (request.function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
        auto& get = urb->UrbControlDescriptorRequest;
        std::vector<UCHAR> source;
        if (request.descriptorType == USB_DEVICE_DESCRIPTOR_TYPE) {
            source = {18,   USB_DEVICE_DESCRIPTOR_TYPE,
                      0x00, 0x02,
                      0xFF, 0,
                      0,    64,
                      0x50, 0x43,
                      0x50, 0x43,
                      0,    1,
                      0,    0,
                      0,    1};
        } else {
            source = configuration;
        }
        ULONG n = std::min<ULONG>(get.TransferBufferLength, ULONG(source.size()));
        std::memcpy(get.TransferBuffer, source.data(), n);
        get.TransferBufferLength = n;
        break;
    }
    case URB_FUNCTION_SELECT_CONFIGURATION: {
        if (!urb->UrbSelectConfiguration.ConfigurationDescriptor) {
            break;
        }
        urb->UrbSelectConfiguration.ConfigurationHandle =
            reinterpret_cast<USBD_CONFIGURATION_HANDLE>(uintptr_t(0x100));
        PUSBD_INTERFACE_INFORMATION info = &urb->UrbSelectConfiguration.Interface;
        info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(uintptr_t(0x200));
        for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
            info->Pipes[i].PipeHandle = PipeHandle(i);
            info->Pipes[i].MaximumPacketSize = i == 0 ? pipe0MaxPacket : 512;
            info->Pipes[i].PipeType = UsbdPipeTypeBulk;
            info->Pipes[i].EndpointAddress = i % 2 ? UCHAR(0x80 | (i + 1)) : UCHAR(i + 1);
        }
        break;
    }
    default:
        break;
    }
}

} // namespace m4350test

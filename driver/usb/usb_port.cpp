// The driver's whole contact with the USB stack: one submission routine and
// the few requests built on it.
#include "usb/usb_port.h"

#include "device/capture_device.h"

namespace {

// Most messages of this layer go out as a separate prefix line first.
void LogPrefix() {
    DbgPrint("mx4350: ");
}

// A synchronous submission keeps its packet: the routine only wakes the
// waiter and stops completion, so the packet is freed by CallUSBD alone.
NTSTATUS SyncCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

PURB AllocateUrb(SIZE_T size) {
    PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, size, UsbRequestTag));
    if (urb) {
        RtlZeroMemory(urb, size);
    }
    return urb;
}

NTSTATUS GetDescriptor(CaptureDevice* device, PURB urb, UCHAR type, PVOID buffer, ULONG length) {
    UsbBuildGetDescriptorRequest(urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type,
                                 0, 0, buffer, nullptr, length, nullptr);
    return CallUSBD(device, urb, nullptr, nullptr, ConfigureTimeoutMs);
}

NTSTATUS PipeRequest(CaptureDevice* device, ULONG pipe, USHORT function) {
    UsbPort* port = &device->usb;
    PUSBD_INTERFACE_INFORMATION info = port->interfaceCopy;
    if (!info) {
        LogPrefix();
        DbgPrint("no interface info - Exiting");
        return STATUS_UNSUCCESSFUL;
    }
    if (pipe >= info->NumberOfPipes) {
        LogPrefix();
        DbgPrint("invalid pipe - Exiting");
        return STATUS_INVALID_PARAMETER;
    }
    USBD_PIPE_HANDLE handle = info->Pipes[pipe].PipeHandle;
    if (!handle) {
        return STATUS_INVALID_PARAMETER;
    }
    PURB urb = AllocateUrb(sizeof(struct _URB_PIPE_REQUEST));
    if (!urb) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    urb->UrbHeader.Function = function;
    urb->UrbHeader.Length = (USHORT)sizeof(struct _URB_PIPE_REQUEST);
    urb->UrbPipeRequest.PipeHandle = handle;

    // The oldest stacks know a pipe request four bytes shorter.
    USBD_VERSION_INFORMATION version;
    RtlZeroMemory(&version, sizeof(version));
    USBD_GetUSBDIVersion(&version);
    if (version.USBDI_Version < 0x101) {
        LogPrefix();
        DbgPrint("Detected OSR2.1");
        urb->UrbHeader.Length -= 4;
    }

    NTSTATUS status = CallUSBD(device, urb, nullptr, nullptr, PipeTimeoutMs);
    ExFreePoolWithTag(urb, UsbRequestTag);
    return status;
}

// Port status and port reset are plain internal controls, not URBs.
NTSTATUS PortControl(CaptureDevice* device, ULONG code, PVOID argument) {
    PDEVICE_OBJECT lower = device->usb.lowerDevice;
    if (!lower) {
        return STATUS_UNSUCCESSFUL;
    }
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus;
    RtlZeroMemory(&ioStatus, sizeof(ioStatus));
    PIRP irp =
        IoBuildDeviceIoControlRequest(code, lower, nullptr, 0, nullptr, 0, TRUE, &event, &ioStatus);
    if (!irp) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument;
    NTSTATUS status = IoCallDriver(lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    return status;
}

} // namespace

NTSTATUS CallUSBD(CaptureDevice* device, PURB urb, PIO_COMPLETION_ROUTINE completion, PVOID context,
                  ULONG timeoutMs, PBOOLEAN sent) {
    if (sent) {
        *sent = FALSE;
    }
    UsbPort* port = &device->usb;
    if (!UsbPortConnected(port)) {
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    PDEVICE_OBJECT lower = port->lowerDevice;
    if (!lower) {
        return STATUS_SUCCESS;
    }

    LARGE_INTEGER timeout;
    timeout.QuadPart = -(LONGLONG)timeoutMs * 10000;
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);

    PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
    if (!irp) {
        return STATUS_UNSUCCESSFUL;
    }
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    stack->Parameters.Others.Argument1 = urb;

    if (completion) {
        NTSTATUS status = IoAcquireRemoveLockEx(&port->removeLock, irp, "", 1, RemoveLockSize);
        if (!NT_SUCCESS(status)) {
            IoFreeIrp(irp);
            return status;
        }
        IoSetCompletionRoutine(irp, completion, context, TRUE, TRUE, TRUE);
    } else {
        IoSetCompletionRoutine(irp, SyncCompletion, &event, TRUE, TRUE, TRUE);
    }

    if (sent) {
        *sent = TRUE;
    }
    NTSTATUS status = IoCallDriver(lower, irp);

    if (!completion) {
        if (status == STATUS_PENDING) {
            // A caller without a routine and without a time-out waits as long
            // as the request takes rather than polling once.
            NTSTATUS wait = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE,
                                                  timeoutMs ? &timeout : nullptr);
            if (wait == STATUS_TIMEOUT) {
                LogPrefix();
                DbgPrint("USBD timed out\n");
                LogPrefix();
                DbgPrint("CallUSBD Time Out");
                // The stack still holds the packet and the URB: neither may be
                // freed before the cancelled packet has come back.
                IoCancelIrp(irp);
                KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
                status = STATUS_IO_TIMEOUT;
            } else {
                status = irp->IoStatus.Status;
            }
        }
        IoFreeIrp(irp);
        if (NT_ERROR(status)) {
            DbgPrint("call USBD failed\n");
        }
    }

    if (status == STATUS_DEVICE_NOT_CONNECTED) {
        SetUsbPortConnected(port, 0);
    }
    return status;
}

LONG ConfigureDevice(CaptureDevice* device) {
    PURB urb = AllocateUrb(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    if (!urb) {
        LogPrefix();
        DbgPrint("failed mem urb bus \n");
        LogPrefix();
        DbgPrint("Failed to allocate memory for urb");
        return -1;
    }
    PVOID deviceDescriptor =
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(USB_DEVICE_DESCRIPTOR), UsbRequestTag);
    if (!deviceDescriptor) {
        LogPrefix();
        DbgPrint("init bus failed alloc\n");
        LogPrefix();
        DbgPrint("Failed to allocate memory for deviceDescriptor");
        ExFreePoolWithTag(urb, UsbRequestTag);
        return -1;
    }
    RtlZeroMemory(deviceDescriptor, sizeof(USB_DEVICE_DESCRIPTOR));

    NTSTATUS status = GetDescriptor(device, urb, USB_DEVICE_DESCRIPTOR_TYPE, deviceDescriptor,
                                    sizeof(USB_DEVICE_DESCRIPTOR));
    if (NT_SUCCESS(status)) {
        status = ReadConfiguration(device);
    }

    ExFreePoolWithTag(urb, UsbRequestTag);
    ExFreePoolWithTag(deviceDescriptor, UsbRequestTag);
    return status < 0 ? -1 : 0;
}

NTSTATUS ReadConfiguration(CaptureDevice* device) {
    if (!device->usb.lowerDevice) {
        return STATUS_SUCCESS;
    }
    PURB urb = AllocateUrb(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    if (!urb) {
        LogPrefix();
        DbgPrint("Failed to allocate memory for urb\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG length = sizeof(USB_CONFIGURATION_DESCRIPTOR);
    auto* descriptor = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
        ExAllocatePoolWithTag(NonPagedPoolNx, length, UsbRequestTag));
    if (!descriptor) {
        LogPrefix();
        DbgPrint("Failed to allocate mem for config Descriptor\n");
        ExFreePoolWithTag(urb, UsbRequestTag);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(descriptor, length);

    NTSTATUS status =
        GetDescriptor(device, urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, descriptor, length);
    if (!NT_SUCCESS(status)) {
        LogPrefix();
        DbgPrint("UsbBuildGetDescriptorRequest failed\n");
    } else if (urb->UrbControlDescriptorRequest.TransferBufferLength < length ||
               descriptor->wTotalLength < length) {
        // A header that did not arrive whole, or a total shorter than the
        // header itself, leaves nothing that can be parsed safely.
        LogPrefix();
        DbgPrint("Failed to read configuration descriptor");
        status = STATUS_DEVICE_DATA_ERROR;
    } else {
        length = descriptor->wTotalLength;
        ExFreePoolWithTag(descriptor, UsbRequestTag);
        descriptor = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
            ExAllocatePoolWithTag(NonPagedPoolNx, length, UsbRequestTag));
        if (!descriptor) {
            LogPrefix();
            DbgPrint("Failed to alloc mem for config Descriptor\n");
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            RtlZeroMemory(descriptor, length);
            status =
                GetDescriptor(device, urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, descriptor, length);
            ULONG received = urb->UrbControlDescriptorRequest.TransferBufferLength;
            if (!NT_SUCCESS(status) || received < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
                LogPrefix();
                DbgPrint("Failed to read configuration descriptor");
                if (NT_SUCCESS(status)) {
                    status = STATUS_DEVICE_DATA_ERROR;
                }
            } else {
                // Parsing trusts wTotalLength: it must not reach past the bytes
                // this buffer holds and the device actually sent.
                if (received > length) {
                    received = length;
                }
                if (descriptor->wTotalLength > received) {
                    descriptor->wTotalLength = (USHORT)received;
                }
                status = SelectInterface(device, descriptor);
            }
        }
    }

    ExFreePoolWithTag(urb, UsbRequestTag);
    if (descriptor) {
        ExFreePoolWithTag(descriptor, UsbRequestTag);
    }
    return status;
}

NTSTATUS SelectInterface(CaptureDevice* device, PUSB_CONFIGURATION_DESCRIPTOR descriptor) {
    UsbPort* port = &device->usb;
    ULONG wanted = descriptor->bNumInterfaces;
    SIZE_T listSize = (wanted + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY);
    auto* list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(
        ExAllocatePoolWithTag(NonPagedPoolNx, listSize, UsbRequestTag));
    if (!list) {
        LogPrefix();
        DbgPrint("Failed to allocate mem for interfaceList\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(list, listSize);

    // Interface numbers are one byte: a descriptor that announces more
    // interfaces than it holds ends the search there instead of never.
    ULONG found = 0;
    for (ULONG number = 0; found < wanted && number <= 0xFF; ++number) {
        PUSB_INTERFACE_DESCRIPTOR interface = USBD_ParseConfigurationDescriptorEx(
            descriptor, descriptor, (LONG)number, 0, -1, -1, -1);
        if (interface) {
            list[found++].InterfaceDescriptor = interface;
        }
    }

    if (!found) {
        // Nothing to select: the request is not even built.
        LogPrefix();
        DbgPrint("no interface in the configuration descriptor\n");
        ExFreePoolWithTag(list, UsbRequestTag);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PURB request = USBD_CreateConfigurationRequestEx(descriptor, list);
    if (!request) {
        LogPrefix();
        DbgPrint("USBD_CreateConfigurationRequestEx failed\n");
        ExFreePoolWithTag(list, UsbRequestTag);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    PUSBD_INTERFACE_INFORMATION interface = &request->UrbSelectConfiguration.Interface;
    for (ULONG pipe = 0; pipe < interface->NumberOfPipes; ++pipe) {
        interface->Pipes[pipe].MaximumTransferSize = MaximumTransferSize;
    }

    NTSTATUS status = CallUSBD(device, request, nullptr, nullptr, ConfigureTimeoutMs);
    if (!NT_SUCCESS(status)) {
        LogPrefix();
        DbgPrint("Failed to select an interface\n");
    }

    if (interface->NumberOfPipes > 0 && interface->Pipes[0].MaximumPacketSize < 512) {
        port->fullSpeed = 1;
    }

    // The copy is reused by later selections, but only while it is large
    // enough for the new interface information.
    ULONG length = interface->Length;
    if (port->interfaceCopy && port->interfaceCopy->Length < length) {
        ExFreePoolWithTag(port->interfaceCopy, InterfaceCopyTag);
        port->interfaceCopy = nullptr;
    }
    if (!port->interfaceCopy) {
        port->interfaceCopy = static_cast<PUSBD_INTERFACE_INFORMATION>(
            ExAllocatePoolWithTag(NonPagedPoolNx, length, InterfaceCopyTag));
    }
    if (port->interfaceCopy) {
        RtlCopyMemory(port->interfaceCopy, interface, length);
    } else if (NT_SUCCESS(status)) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    }

    ExFreePoolWithTag(list, UsbRequestTag);
    ExFreePool(request);
    return status;
}

void Deconfigure(CaptureDevice* device) {
    PURB urb = AllocateUrb(sizeof(struct _URB_SELECT_CONFIGURATION));
    if (!urb) {
        LogPrefix();
        DbgPrint("Failed to allocate urb\n");
        return;
    }
    UsbBuildSelectConfigurationRequest(urb, (USHORT)sizeof(struct _URB_SELECT_CONFIGURATION),
                                       nullptr);
    NTSTATUS status = CallUSBD(device, urb, nullptr, nullptr, PipeTimeoutMs);
    if (!NT_SUCCESS(status)) {
        LogPrefix();
        DbgPrint("Failed to deconfigure device\n");
    }
    ExFreePoolWithTag(urb, UsbRequestTag);
}

NTSTATUS AbortPipe(CaptureDevice* device, ULONG pipe) {
    if (!UsbPortConnected(&device->usb)) {
        LogPrefix();
        DbgPrint("not connected");
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    return PipeRequest(device, pipe, URB_FUNCTION_ABORT_PIPE);
}

NTSTATUS ResetPipe(CaptureDevice* device, ULONG pipe) {
    if (!UsbPortConnected(&device->usb)) {
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    return PipeRequest(device, pipe, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL);
}

ULONG GetPortStatus(CaptureDevice* device) {
    ULONG portStatus = 0;
    NTSTATUS status = PortControl(device, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus);
    return NT_SUCCESS(status) ? portStatus : 0;
}

NTSTATUS ResetPort(CaptureDevice* device) {
    return PortControl(device, IOCTL_INTERNAL_USB_RESET_PORT, nullptr);
}

void RecoverPipe(CaptureDevice* device, ULONG pipe) {
    ULONG portStatus = GetPortStatus(device);
    if (!(portStatus & USBD_PORT_ENABLED) && (portStatus & USBD_PORT_CONNECTED)) {
        AbortPipe(device, pipe);
        ResetPort(device);
    }
    ResetPipe(device, pipe);
}

LONG VendorRequestTransfer(CaptureDevice* device, UCHAR request, USHORT index, USHORT value,
                           PVOID buffer, ULONG length, BOOLEAN hostToDevice) {
    if (!UsbPortConnected(&device->usb)) {
        return VendorNotConnected;
    }
    PURB urb = AllocateUrb(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
    if (!urb) {
        LogPrefix();
        DbgPrint("VendorRequestTransfer : Unable to alloc URB");
        return VendorNoMemory;
    }
    UsbBuildVendorRequest(urb, URB_FUNCTION_VENDOR_DEVICE,
                          (USHORT)sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          hostToDevice ? 0 : USBD_TRANSFER_DIRECTION_IN, 0, request, value, index,
                          buffer, nullptr, length, nullptr);
    NTSTATUS status = CallUSBD(device, urb, nullptr, nullptr, TransferTimeoutMs);
    ExFreePoolWithTag(urb, UsbRequestTag);
    return status == STATUS_SUCCESS ? VendorDone : VendorFailed;
}

LONG DownloadBuffer(CaptureDevice* device, PVOID buffer, ULONG length) {
    UsbPort* port = &device->usb;
    if (!UsbPortConnected(port)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!port->interfaceCopy) {
        LogPrefix();
        DbgPrint("M4350 fatal error\n");
        return DownloadNoInterface;
    }
    USBD_PIPE_HANDLE handle = UsbPortPipeHandle(port, CommandPipe);
    if (!handle) {
        LogPrefix();
        DbgPrint("M4350  fatal\n");
        LogPrefix();
        DbgPrint("Download Buffer : invalid pipe handle");
        return DownloadNoPipeHandle;
    }
    PURB urb = AllocateUrb(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    if (!urb) {
        LogPrefix();
        DbgPrint("Download Buffer : Unable to alloc URB");
        return STATUS_UNSUCCESSFUL;
    }
    urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->UrbHeader.Length = (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    urb->UrbBulkOrInterruptTransfer.PipeHandle = handle;
    urb->UrbBulkOrInterruptTransfer.TransferFlags = 0;
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = length;
    urb->UrbBulkOrInterruptTransfer.TransferBuffer = buffer;
    urb->UrbBulkOrInterruptTransfer.TransferBufferMDL = nullptr;
    urb->UrbBulkOrInterruptTransfer.UrbLink = nullptr;

    NTSTATUS status = CallUSBD(device, urb, nullptr, nullptr, TransferTimeoutMs);
    ExFreePoolWithTag(urb, UsbRequestTag);
    if (status == STATUS_SUCCESS || status == STATUS_IO_TIMEOUT) {
        return status;
    }
    RecoverPipe(device, CommandPipe);
    return status;
}

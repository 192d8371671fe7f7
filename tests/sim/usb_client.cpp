#include "usb_client.h"

#include <cstring>

namespace m4350::test {

UrbRequest::UrbRequest(PDEVICE_OBJECT target, size_t urbSize)
    : target_(target), irp_(IoAllocateIrp(target->StackSize, FALSE)),
      storage_((urbSize + 7) / 8, 0) {}

UrbRequest::~UrbRequest() {
    if (!irp_)
        return;
    if (sent_ && !Completed()) {
        Cancel();
        Wait(30s);
    }
    IoFreeIrp(irp_);
}

NTSTATUS UrbRequest::OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* self = static_cast<UrbRequest*>(context);
    std::lock_guard lk(self->m_);
    self->status_ = irp->IoStatus.Status;
    self->irql_ = KeGetCurrentIrql();
    self->thread_ = std::this_thread::get_id();
    self->done_ = true;
    self->cv_.notify_all();
    // The test owns the packet: the I/O manager must not touch it again.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS UrbRequest::Send(ULONG ioctl, void* argument) {
    if (!irp_)
        return STATUS_INSUFFICIENT_RESOURCES;
    if (sent_) {
        IoReuseIrp(irp_, STATUS_SUCCESS);
        std::lock_guard lk(m_);
        done_ = false;
        status_ = STATUS_PENDING;
    }
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp_);
    sp->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    sp->Parameters.Others.Argument1 = argument ? argument : Urb();
    sp->Parameters.DeviceIoControl.IoControlCode = ioctl;
    IoSetCompletionRoutine(irp_, OnComplete, this, TRUE, TRUE, TRUE);
    sent_ = true;
    return IoCallDriver(target_, irp_);
}

bool UrbRequest::Wait(std::chrono::milliseconds bound) {
    std::unique_lock lk(m_);
    return cv_.wait_for(lk, bound, [&] { return done_; });
}

bool UrbRequest::Completed() {
    std::lock_guard lk(m_);
    return done_;
}

NTSTATUS UrbRequest::Call(std::chrono::milliseconds bound) {
    Send();
    return Wait(bound) ? status_ : STATUS_IO_TIMEOUT;
}

void BuildBulk(PURB urb, USBD_PIPE_HANDLE pipe, void* buffer, ULONG length, bool in) {
    UsbBuildInterruptOrBulkTransferRequest(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           pipe, buffer, nullptr, length,
                                           in ? USBD_TRANSFER_DIRECTION_IN : 0, nullptr);
}

NTSTATUS GetDescriptor(PDEVICE_OBJECT pdo, UCHAR type, void* buffer, ULONG length,
                       ULONG* received) {
    UrbRequest r(pdo);
    UsbBuildGetDescriptorRequest(r.Urb(), sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, 0,
                                 0, buffer, nullptr, length, nullptr);
    const NTSTATUS status = r.Call();
    if (received)
        *received = r.Urb()->UrbControlDescriptorRequest.TransferBufferLength;
    return status;
}

NTSTATUS SelectConfiguration(PDEVICE_OBJECT pdo, BoardPipes* out, ULONG maxTransfer) {
    USB_CONFIGURATION_DESCRIPTOR head{};
    NTSTATUS status = GetDescriptor(pdo, USB_CONFIGURATION_DESCRIPTOR_TYPE, &head, sizeof(head));
    if (!NT_SUCCESS(status))
        return status;
    std::vector<uint64_t> whole((head.wTotalLength + 7) / 8);
    auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(whole.data());
    status = GetDescriptor(pdo, USB_CONFIGURATION_DESCRIPTOR_TYPE, cd, head.wTotalLength);
    if (!NT_SUCCESS(status))
        return status;
    USBD_INTERFACE_LIST_ENTRY list[2] = {};
    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(cd, cd, 0, 0, -1, -1, -1);
    if (!list[0].InterfaceDescriptor)
        return STATUS_NOT_FOUND;
    PURB select = USBD_CreateConfigurationRequestEx(cd, list);
    if (!select)
        return STATUS_INSUFFICIENT_RESOURCES;
    for (ULONG i = 0; i < list[0].Interface->NumberOfPipes; ++i)
        list[0].Interface->Pipes[i].MaximumTransferSize = maxTransfer;
    UrbRequest r(pdo, 8);
    status = r.Send(IOCTL_INTERNAL_USB_SUBMIT_URB, select);
    if (status == STATUS_PENDING)
        status = r.Wait() ? r.Status() : STATUS_IO_TIMEOUT;
    if (NT_SUCCESS(status) && out) {
        out->configuration = select->UrbSelectConfiguration.ConfigurationHandle;
        out->interfaceHandle = list[0].Interface->InterfaceHandle;
        out->pipes.assign(list[0].Interface->Pipes,
                          list[0].Interface->Pipes + list[0].Interface->NumberOfPipes);
    }
    ExFreePool(select);
    return status;
}

NTSTATUS Deconfigure(PDEVICE_OBJECT pdo) {
    UrbRequest r(pdo);
    UsbBuildSelectConfigurationRequest(r.Urb(), sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
    return r.Call();
}

NTSTATUS VendorRequest(PDEVICE_OBJECT pdo, UCHAR request, USHORT value, USHORT index, void* buffer,
                       ULONG length, bool in, USBD_STATUS* urbStatus) {
    UrbRequest r(pdo);
    UsbBuildVendorRequest(r.Urb(), URB_FUNCTION_VENDOR_DEVICE,
                          sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          in ? USBD_TRANSFER_DIRECTION_IN : 0, 0, request, value, index, buffer,
                          nullptr, length, nullptr);
    const NTSTATUS status = r.Call();
    if (urbStatus)
        *urbStatus = r.Urb()->UrbHeader.Status;
    return status;
}

NTSTATUS BulkWrite(PDEVICE_OBJECT pdo, USBD_PIPE_HANDLE pipe, const void* data, ULONG length,
                   ULONG* moved) {
    UrbRequest r(pdo);
    BuildBulk(r.Urb(), pipe, const_cast<void*>(data), length, false);
    const NTSTATUS status = r.Call();
    if (moved)
        *moved = r.Urb()->UrbBulkOrInterruptTransfer.TransferBufferLength;
    return status;
}

NTSTATUS BulkRead(PDEVICE_OBJECT pdo, USBD_PIPE_HANDLE pipe, void* buffer, ULONG length,
                  ULONG* moved, std::chrono::milliseconds bound) {
    UrbRequest r(pdo);
    BuildBulk(r.Urb(), pipe, buffer, length, true);
    const NTSTATUS status = r.Call(bound);
    if (moved)
        *moved = r.Urb()->UrbBulkOrInterruptTransfer.TransferBufferLength;
    return status;
}

NTSTATUS PipeRequest(PDEVICE_OBJECT pdo, USHORT function, USBD_PIPE_HANDLE pipe) {
    UrbRequest r(pdo);
    r.Urb()->UrbHeader.Function = function;
    r.Urb()->UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    r.Urb()->UrbPipeRequest.PipeHandle = pipe;
    return r.Call();
}

NTSTATUS PortStatus(PDEVICE_OBJECT pdo, ULONG* bits) {
    UrbRequest r(pdo);
    r.Send(IOCTL_INTERNAL_USB_GET_PORT_STATUS, bits);
    return r.Wait() ? r.Status() : STATUS_IO_TIMEOUT;
}

NTSTATUS ResetPort(PDEVICE_OBJECT pdo) {
    UrbRequest r(pdo);
    ULONG unused = 0;
    r.Send(IOCTL_INTERNAL_USB_RESET_PORT, &unused);
    return r.Wait() ? r.Status() : STATUS_IO_TIMEOUT;
}

} // namespace m4350::test

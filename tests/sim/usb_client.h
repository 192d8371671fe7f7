// The client side of the simulated bus for tests: request packets carrying
// URBs to the PDO, the way a function driver sends them, with bounded waits
// that do not depend on the kernel's time scale.
#pragma once

#include <wdm.h>
#include <usbdlib.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace m4350::test {

using namespace std::chrono_literals;

// One IRP with one URB (or a port request), sent to the next-lower device.
class UrbRequest {
public:
    explicit UrbRequest(PDEVICE_OBJECT target, size_t urbSize = sizeof(URB));
    ~UrbRequest(); // cancels and waits for a request still pending, frees the IRP
    UrbRequest(const UrbRequest&) = delete;
    UrbRequest& operator=(const UrbRequest&) = delete;

    PURB Urb() { return reinterpret_cast<PURB>(storage_.data()); }
    PIRP Irp() { return irp_; }

    // IoCallDriver's result. `argument` replaces the URB (port requests).
    NTSTATUS Send(ULONG ioctl = IOCTL_INTERNAL_USB_SUBMIT_URB, void* argument = nullptr);
    // Waits for the completion routine; false when `bound` passed first.
    bool Wait(std::chrono::milliseconds bound = 10s);
    bool Completed();
    bool Cancel() { return IoCancelIrp(irp_) != FALSE; }
    // Send and wait; STATUS_IO_TIMEOUT when the request did not finish in time.
    NTSTATUS Call(std::chrono::milliseconds bound = 10s);

    NTSTATUS Status() const { return status_; }
    KIRQL CompletionIrql() const { return irql_; }
    std::thread::id CompletionThread() const { return thread_; }

private:
    static NTSTATUS OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context);

    PDEVICE_OBJECT target_;
    PIRP irp_;
    std::vector<uint64_t> storage_; // 8-byte aligned URB
    std::mutex m_;
    std::condition_variable cv_;
    bool sent_ = false;
    bool done_ = false;
    NTSTATUS status_ = STATUS_PENDING;
    KIRQL irql_ = 0;
    std::thread::id thread_;
};

struct BoardPipes {
    USBD_CONFIGURATION_HANDLE configuration = nullptr;
    std::vector<USBD_PIPE_INFORMATION> pipes;
    USBD_INTERFACE_HANDLE interfaceHandle = nullptr;
};

NTSTATUS GetDescriptor(PDEVICE_OBJECT pdo, UCHAR type, void* buffer, ULONG length,
                       ULONG* received = nullptr);
// Reads the configuration descriptor and selects it with the first alternate
// setting of interface 0, every pipe asking for `maxTransfer`.
NTSTATUS SelectConfiguration(PDEVICE_OBJECT pdo, BoardPipes* out, ULONG maxTransfer = 4096);
NTSTATUS Deconfigure(PDEVICE_OBJECT pdo);
NTSTATUS VendorRequest(PDEVICE_OBJECT pdo, UCHAR request, USHORT value, USHORT index, void* buffer,
                       ULONG length, bool in, USBD_STATUS* urbStatus = nullptr);
NTSTATUS BulkWrite(PDEVICE_OBJECT pdo, USBD_PIPE_HANDLE pipe, const void* data, ULONG length,
                   ULONG* moved = nullptr);
NTSTATUS BulkRead(PDEVICE_OBJECT pdo, USBD_PIPE_HANDLE pipe, void* buffer, ULONG length,
                  ULONG* moved = nullptr, std::chrono::milliseconds bound = 10s);
NTSTATUS PipeRequest(PDEVICE_OBJECT pdo, USHORT function, USBD_PIPE_HANDLE pipe);
NTSTATUS PortStatus(PDEVICE_OBJECT pdo, ULONG* bits);
NTSTATUS ResetPort(PDEVICE_OBJECT pdo);

void BuildBulk(PURB urb, USBD_PIPE_HANDLE pipe, void* buffer, ULONG length, bool in);

} // namespace m4350::test

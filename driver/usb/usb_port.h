// The USB transport of one board: the lower stack it talks to and the
// operations every other layer uses to reach the board.
//
// Pipe 0 (bulk out) carries the firmware image and every command; pipe 1
// (bulk in) carries the interleaved video and answer stream. Pipes are
// addressed by their index in the interface copy, never by endpoint address.
#pragma once

#include <wdm.h>
#include <usb.h>
#include <usbdlib.h>

#include "device/pool_tags.h"

struct CaptureDevice;

struct UsbPort {
    PDEVICE_OBJECT lowerDevice;    // target of every request
    PDEVICE_OBJECT workItemDevice; // our own FDO; recovery work items hang on it
    IO_REMOVE_LOCK removeLock;     // one reference per asynchronous submission
    // The first interface as the select-configuration request returned it,
    // with all its pipe entries. Absent until the first SelectInterface.
    PUSBD_INTERFACE_INFORMATION interfaceCopy;
    // Cleared by the first submission that finds the board unplugged; while
    // clear nothing is sent. Only a new start sets it again.
    volatile LONG connected;
    UCHAR fullSpeed; // pipe 0 packets below 512 bytes: a USB 1.x port
};

// The connected flag is written by start and by completions on the bus's
// threads; every access goes through these so that none is torn or cached.
inline bool UsbPortConnected(UsbPort* port) {
    return InterlockedCompareExchange(&port->connected, 0, 0) != 0;
}
inline void SetUsbPortConnected(UsbPort* port, LONG value) {
    InterlockedExchange(&port->connected, value);
}

// Handle of pipe `pipe` of the interface copy; null when there is no copy or
// no such pipe.
inline USBD_PIPE_HANDLE UsbPortPipeHandle(UsbPort* port, ULONG pipe) {
    PUSBD_INTERFACE_INFORMATION info = port->interfaceCopy;
    if (!info || pipe >= info->NumberOfPipes) {
        return nullptr;
    }
    return info->Pipes[pipe].PipeHandle;
}

// Index of the bulk-out command pipe and of the bulk-in stream pipe.
constexpr ULONG CommandPipe = 0;
constexpr ULONG StreamPipe = 1;

// Lock size the remove lock is initialised and acquired with.
constexpr ULONG RemoveLockSize = 32;

// Per-request time-outs, in milliseconds.
constexpr ULONG ConfigureTimeoutMs = 2000;
constexpr ULONG PipeTimeoutMs = 500;
constexpr ULONG TransferTimeoutMs = 1000;

// Every pipe is configured for this maximum transfer size.
constexpr ULONG MaximumTransferSize = 4096;

// VendorRequestTransfer results.
constexpr LONG VendorDone = 0;
constexpr LONG VendorNotConnected = 2;
constexpr LONG VendorNoMemory = 3;
constexpr LONG VendorFailed = 4;

// DownloadBuffer's own codes beside NTSTATUS values.
constexpr LONG DownloadNoPipeHandle = 2;
constexpr LONG DownloadNoInterface = 3;

// Submits one URB. With a completion routine the call is asynchronous
// (timeoutMs must be 0): a remove-lock reference tagged with the packet is
// taken, and the routine owns the packet and that reference. Without one it
// waits up to timeoutMs; a request that does not finish in time is cancelled
// and reported as STATUS_IO_TIMEOUT only after the stack has given it back.
//
// sent, when given, tells whether the packet reached the lower driver. The
// status alone cannot: a packet the stack completes at once with an error
// returns that error too, and its completion routine has then already run.
// An asynchronous caller owns its URB again only when nothing was sent.
NTSTATUS CallUSBD(CaptureDevice* device, PURB urb, PIO_COMPLETION_ROUTINE completion, PVOID context,
                  ULONG timeoutMs, PBOOLEAN sent = nullptr);

// Device start: device descriptor, configuration descriptor, selection.
// 0 on success, -1 on failure.
LONG ConfigureDevice(CaptureDevice* device);
NTSTATUS ReadConfiguration(CaptureDevice* device);
NTSTATUS SelectInterface(CaptureDevice* device, PUSB_CONFIGURATION_DESCRIPTOR descriptor);
void Deconfigure(CaptureDevice* device);

NTSTATUS AbortPipe(CaptureDevice* device, ULONG pipe);
NTSTATUS ResetPipe(CaptureDevice* device, ULONG pipe);
ULONG GetPortStatus(CaptureDevice* device);
NTSTATUS ResetPort(CaptureDevice* device);

// After a failed transfer: abort and reset the port when it reports
// connected but not enabled, then reset the pipe.
void RecoverPipe(CaptureDevice* device, ULONG pipe);

LONG VendorRequestTransfer(CaptureDevice* device, UCHAR request, USHORT index, USHORT value,
                           PVOID buffer, ULONG length, BOOLEAN hostToDevice);

// Bulk write on the command pipe.
LONG DownloadBuffer(CaptureDevice* device, PVOID buffer, ULONG length);

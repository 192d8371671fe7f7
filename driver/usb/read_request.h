// ReadRequest: one of the four bulk-in reads the read pipe keeps outstanding
// on the stream pipe. The Board owns four of them with their buffers and
// stop events; the read pipe submits, recovers and ends them.
#pragma once

#include <wdm.h>
#include <usb.h>

struct Board;
struct CaptureDevice;
struct ReadRequest;

// Called at dispatch level for every successful read while the request runs.
typedef void (*ReadDataHandler)(Board* board, ReadRequest* request);

constexpr ULONG ReadRequestCount = 4;
constexpr ULONG ReadTransferLength = 16384;

struct ReadRequest {
    ULONG transferLength;       // asked for in each read; also what the handler gets
    ULONG bufferSize;           // capacity of buffer
    PUCHAR buffer;              // owned by the Board
    ULONG transferFlags;        // USBD_TRANSFER_DIRECTION_IN
    volatile ULONG running;     // 1 while the request shall stay outstanding
    volatile ULONG stopPending; // set by StopReadPipe until it has waited
    ULONG urbLength;            // header length written into the request block
    USBD_PIPE_HANDLE pipeHandle;
    PURB urb;          // the request block, from ReadStream to StopReadPipe
    PKEVENT stopEvent; // signalled when the request has ended; may be absent
    ReadDataHandler dataHandler;
    CaptureDevice* device;
    Board* board;
    ULONG errorCount;      // consecutive failed completions
    ULONG slot;            // 0 to 3
    PIO_WORKITEM workItem; // one recovery at a time
    PIRP failedIrp;        // kept until its recovery has run
    ULONG recoveryPipe;
};

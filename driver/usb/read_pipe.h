// The read pipe: four bulk-in reads kept outstanding on the stream pipe for
// as long as the stream runs. Every completed read goes to the request's data
// handler (the stream parser) and is sent again at once; a pipe error is
// recovered from a work item, and a request gives up after ten errors in a
// row.
//
// A request has at most one packet in flight or one recovery pending. It
// signals its stop event whenever it ends: when it finds itself no longer
// running, on cancellation or unplug, when it cannot be recovered or
// resubmitted, and at the tenth consecutive error.
#pragma once

#include <wdm.h>

struct CaptureDevice;
struct ReadRequest;

// Consecutive errors after which a request stops.
constexpr ULONG ReadErrorLimit = 10;

// Starts the four requests in slot order. 0 when all four were submitted,
// 1 when a submission failed, STATUS_NO_MEMORY when a request block could not
// be allocated; the slots after a failure stay idle.
NTSTATUS ReadStream(CaptureDevice* device);

// Ends the four requests, waits for them and frees their request blocks.
void StopReadPipe(CaptureDevice* device);

// Completion routine of every read. Always STATUS_MORE_PROCESSING_REQUIRED:
// the packet is ours and freed here or by the recovery.
NTSTATUS ReadComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);

// Resets the stream pipe (and the port when it needs it) after an error and
// resubmits the request. Runs in a work item at passive level.
void RecoverFromError(ReadRequest* request);

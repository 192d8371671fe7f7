#pragma once

#include <wdm.h>

struct CaptureDevice;
struct ReadRequest;

NTSTATUS ReadStream(CaptureDevice* device);
void StopReadPipe(CaptureDevice* device);
NTSTATUS ReadComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);
void RecoverFromError(ReadRequest* request);

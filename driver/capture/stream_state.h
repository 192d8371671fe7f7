// A capture pin's stream states: opening the channel on Stop -> Acquire,
// starting, pausing and stopping acquisition, closing the channel on Stop.
#pragma once

#include <wdm.h>
#include <ks.h>
#include <ksmedia.h>

struct CaptureDevice;

// Opens the channel for one stream and programs the mode from the connected
// format when anything differs. STATUS_SHARING_VIOLATION for a channel
// already streamed or a board that refuses the open, STATUS_NO_SUCH_DEVICE
// without a board.
NTSTATUS ApplyConnectedFormat(CaptureDevice* device, PKS_VIDEOINFOHEADER format, ULONG channel);

// The counterpart of ApplyConnectedFormat.
VOID CloseChannel(CaptureDevice* device, ULONG channel);

NTSTATUS CapturePinSetDeviceState(PKSPIN pin, KSSTATE toState, KSSTATE fromState);

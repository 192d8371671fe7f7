// What every property and method handler of the channel filters starts from:
// the filter that received the request, its device's CaptureDevice, and the
// filter's channel.
#pragma once

#include <wdm.h>
#include <ks.h>

struct Board;
struct CaptureDevice;

struct ControlRequest {
    CaptureDevice* device; // never null once resolved
    ULONG channel;         // 0 to 3: the filter's channel on this board
};

// FALSE when the request does not come through a channel filter of a
// started m4350av device.
BOOLEAN ResolveControlRequest(PIRP irp, ControlRequest* request);

// Per-channel flags and counters of the CaptureDevice are written by pin
// creation, frame delivery and the controls on different threads; these read
// and write them whole.
ULONG ReadChannelWord(const ULONG* word);
VOID WriteChannelWord(ULONG* word, ULONG value);

// The standard capture property sets of a channel filter: video decoder
// (standard, capabilities, status), video proc-amp (brightness, contrast,
// hue, saturation, colour on or off) and dropped frames.
//
// Every handler works on the channel of the filter that received the
// request. Picture settings live in the channel's mode on the Board; every
// change is stored there and sent to the board at once, so it survives a
// stream restart and is saved with the settings file at the next stop.
#pragma once

#include <wdm.h>
#include <ks.h>

NTSTATUS VideoDecoderGet(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS VideoDecoderSet(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS ProcAmpGet(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS ProcAmpSet(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS DroppedFramesGet(PIRP irp, PKSIDENTIFIER request, PVOID data);

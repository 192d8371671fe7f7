// ChannelFilterContext: what a capture filter instance knows of itself, and
// the filter's Create dispatch that makes it.
#pragma once

#include <wdm.h>
#include <ks.h>

struct ChannelFilterContext {
    ULONG channel; // 0 to 3
    PKSFILTER filter;
};

// Learns the channel from the descriptor's reference GUID, aligns the
// channel's standard with FixedStandard and chooses the channel's range
// list on this board.
NTSTATUS ChannelFilterCreate(PKSFILTER filter, PIRP irp);

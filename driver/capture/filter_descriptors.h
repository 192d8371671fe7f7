// The four capture filters of a board, one per video input, as the streaming
// class sees them, and the choice of format list each channel's pin offers.
#pragma once

#include <ks.h>

// Video inputs of one board; a channel number is the index of its filter.
constexpr ULONG ChannelFilterCount = 4;

// Filter descriptors in channel order 0 to 3. Device start creates one filter
// factory per entry, with the reference strings "m4350av_chan1" to
// "m4350av_chan4" in the same order.
extern const KSFILTER_DESCRIPTOR* const ChannelFilterDescriptors[ChannelFilterCount];

// Makes the capture pin of `channel` (0 to 3) offer the PAL format list when
// isPal is non-zero and the NTSC list otherwise; the list always holds 39
// ranges. Any other channel number changes nothing. The pin descriptors are
// shared by every board, so the choice holds for that channel on all boards.
VOID SelectChannelRangeList(ULONG channel, ULONG isPal);

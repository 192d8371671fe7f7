// The four capture filters of a board, one per video input, as the streaming
// class sees them, and the choice of format list each channel's pin offers.
#pragma once

#include <ks.h>

struct CaptureDevice;

// Video inputs of one board; a channel number is the index of its filter.
constexpr ULONG ChannelFilterCount = 4;

// The reference GUIDs of the channel filters, in channel order.
extern const GUID ChannelReferenceGuids[ChannelFilterCount];

// The templates: filter descriptors in channel order 0 to 3, constant, every
// pin offering the NTSC list. A device never publishes these; it publishes
// its own copies (ChannelDescriptorSet), so that one board's choice of list
// for a channel cannot change what the same channel offers on another board.
extern const KSFILTER_DESCRIPTOR* const ChannelFilterDescriptors[ChannelFilterCount];

// One board's filter descriptors with their pin descriptors. Each filter
// descriptor points at the pin descriptor of the same set, so the set must
// not move once initialised; it lives in its CaptureDevice. The framing and
// everything else stay shared constant data.
struct ChannelDescriptorSet {
    KSFILTER_DESCRIPTOR filter[ChannelFilterCount];
    KSPIN_DESCRIPTOR_EX pin[ChannelFilterCount];
};

// Fills the set from the templates: NTSC lists on every channel.
VOID InitializeChannelDescriptors(ChannelDescriptorSet* set);

// Makes the capture pin of `channel` (0 to 3) of this device offer the PAL
// format list when isPal is non-zero and the NTSC list otherwise; the list
// always holds 39 ranges. Any other channel number, or no device, changes
// nothing. Every filter instance of the channel on this board sees the new
// list; other boards keep theirs.
VOID SelectChannelRangeList(CaptureDevice* device, ULONG channel, ULONG isPal);

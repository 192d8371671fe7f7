// The formats a capture pin offers: one list for NTSC inputs and one for PAL
// inputs, each of 39 video data ranges. Both lists are read-only data built
// at compile time; a channel's pin descriptor points at one of them.
#pragma once

#include <ks.h>
#include <ksmedia.h>

constexpr ULONG RangeListCount = 39;

// A list in the form a pin descriptor takes it: pointers to the KSDATARANGE
// at the head of each KS_DATARANGE_VIDEO.
struct DataRangeList {
    PKSDATARANGE Ranges[RangeListCount];
};

extern const DataRangeList NtscRangeList;
extern const DataRangeList PalRangeList;

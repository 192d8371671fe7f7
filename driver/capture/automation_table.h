// The property and method sets every channel filter answers.
#pragma once

#include <ks.h>

// One table shared by the four channel filters: the video decoder, video
// proc-amp and dropped-frames property sets and the device's own method set.
extern const KSAUTOMATION_TABLE ChannelFilterAutomationTable;

// Pool tags of m4350av. A tag is stored so that its bytes read as the four
// characters in memory, which is how pool dumps show them.
#pragma once

#include <wdm.h>

constexpr ULONG MakePoolTag(const char (&name)[5]) {
    return ULONG(UCHAR(name[0])) | ULONG(UCHAR(name[1])) << 8 | ULONG(UCHAR(name[2])) << 16 |
           ULONG(UCHAR(name[3])) << 24;
}

constexpr ULONG DeviceTag = MakePoolTag("KCNw");        // device, filter and pin contexts
constexpr ULONG BoardTag = MakePoolTag("allc");         // board, frame and scratch memory
constexpr ULONG FrameQueueTag = MakePoolTag("ofif");    // frame queue storage
constexpr ULONG UsbRequestTag = MakePoolTag("uini");    // URBs and descriptor buffers
constexpr ULONG InterfaceCopyTag = MakePoolTag("inf3"); // the selected interface's copy

// A capture pin's format copies, by channel number.
constexpr ULONG FormatCopyTags[4] = {MakePoolTag("AVS0"), MakePoolTag("AVS1"), MakePoolTag("AVS2"),
                                     MakePoolTag("AVS3")};

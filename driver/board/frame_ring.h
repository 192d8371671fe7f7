// The frame store's records: per board channel a ring of six frame buffers
// the stream parser fills, and a queue of the frames completed in them.
#pragma once

#include <wdm.h>

constexpr ULONG FrameBufferCount = 6;
constexpr ULONG FrameBufferSize = 1260544;
constexpr ULONG FrameQueueCapacity = 7; // holds at most six: one slot stays free

// FrameBuffer::state
constexpr ULONG FrameFree = 0;
constexpr ULONG FrameFilling = 1;
constexpr ULONG FrameReady = 2;

struct FrameBuffer {
    ULONG state;
    PUCHAR data; // FrameBufferSize bytes, or null when it could not be allocated
    ULONG fill;  // bytes written or counted for the frame in this buffer
    // Bytes of the frame actually copied into data: fill, less the blocks left
    // out because they would have crossed the write limit. Set from the
    // frame's first block on; meaningless while the buffer is Free.
    ULONG copied;
};

struct FrameRing {
    ULONG bufferCount;
    FrameBuffer buffers[FrameBufferCount];
};

// A completed frame waiting for its consumer.
struct FrameRecord {
    ULONG bufferIndex;
    ULONG compressedSize;
    ULONG frameNumber;
    // Bytes of picture the buffer holds for this frame, header excluded: its
    // fill at completion, or less when a block would have crossed the limit
    // and was left out. Can exceed the mode's image size by the padding of
    // the frame's last block.
    ULONG rawSize;
};

struct FrameQueue {
    ULONG head; // oldest record
    ULONG tail; // next free slot
    ULONG capacity;
    FrameRecord* storage; // FrameQueueCapacity records
    KSPIN_LOCK queueLock; // taken after the Board's lock when both are held
};

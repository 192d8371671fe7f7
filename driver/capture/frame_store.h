// The frame store's consumer side and its queues.
//
// Per board channel the stream parser fills a ring of six frame buffers and
// queues a record for every completed frame. The pin's process routine takes
// the oldest record, reads the buffer without any lock (a Ready buffer off the
// queue is untouched by the parser) and releases it when it is done.
//
// Lock order: the Board's lock, then a queue lock. The consumer operations
// here take one of the two at a time.
#pragma once

#include <wdm.h>
#include <ks.h>

#include "board/frame_ring.h"

struct Board;

// Oldest completed frame of a channel: its buffer index, or -1 when the queue
// is empty or the channel is out of range. The buffer stays Ready until
// releaseFrame. rawSize, when given, receives the bytes of picture the buffer
// holds (FrameRecord::rawSize).
LONG takeFrame(Board* board, ULONG channel, PULONG compressedSize, PULONG frameNumber,
               PULONG rawSize = nullptr);

// Bytes of a frame buffer; null without a board, for a bad channel or index,
// or when the buffer could not be allocated at board creation.
PUCHAR frameData(Board* board, ULONG channel, LONG bufferIndex);

// Gives a taken buffer back to the parser. -1 for a bad channel or index.
LONG releaseFrame(Board* board, ULONG channel, LONG bufferIndex);

// The pin that a completed frame of the channel wakes; null to forget it.
void setStreamPin(Board* board, ULONG channel, PKSPIN pin);

// While a channel is paused its frames are received but neither counted nor
// queued. Resuming drops whatever was queued before. Always 0.
LONG setPaused(Board* board, ULONG channel, ULONG flag);

// The queue of completed frames. Each call takes the queue lock itself.
BOOLEAN queueEmpty(FrameQueue* queue);
BOOLEAN queueFull(FrameQueue* queue);
// FALSE when the queue is full (or has no storage).
BOOLEAN queuePush(FrameQueue* queue, const FrameRecord* record);
// Takes the oldest record; FALSE, with nothing taken, when the queue is empty.
BOOLEAN queuePop(FrameQueue* queue, FrameRecord* record);

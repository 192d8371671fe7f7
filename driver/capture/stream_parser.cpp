#include "capture/stream_parser.h"

#include <ks.h>

#include "board/board.h"
#include "capture/frame_store.h"
#include "device/capture_device.h"

namespace {

ULONG WordAt(const UCHAR* p) {
    return ULONG(p[0]) | ULONG(p[1]) << 8 | ULONG(p[2]) << 16 | ULONG(p[3]) << 24;
}

// An answer of the board. The events are indexed by channel number, the
// Board's arrays by board channel.
void HandleResponse(Board* board, const UCHAR* response) {
    ULONG b = WordAt(response + 4);
    if (b >= BoardChannelCount) {
        return;
    }
    CaptureDevice* device = board->device;
    ULONG channel = 3 - b;
    switch (WordAt(response + 8)) {
    case ResponseModeAck:
        board->modeAck[b] = 1;
        if (device) {
            KeSetEvent(&device->modeAckEvent[channel], 1, FALSE);
        }
        break;
    case ResponseReady:
        board->firmwareReadyMask |= 1u << b;
        if ((board->firmwareReadyMask & 0xF) == 0xF && device) {
            KeSetEvent(&device->firmwareReadyEvent, 1, FALSE);
        }
        break;
    case ResponseStatus:
        board->statusValue[b] = WordAt(response + 12);
        board->boardVersion = WordAt(response + 16);
        if (device) {
            KeSetEvent(&device->statusEvent[channel], 1, FALSE);
        }
        break;
    default:
        break;
    }
}

// Searches a block for the first marker. Returns the offset where frame data
// starts when a usable frame header was found, or -1 when the rest of the
// block is to be dropped.
LONG SearchBlock(Board* board, const UCHAR* block, ULONG length) {
    if (length < MarkerSpan) {
        return -1;
    }
    ULONG last = length - MarkerSpan;
    for (ULONG p = 0; p <= last; ++p) {
        ULONG word = WordAt(block + p);
        if (word == ResponseMarker) {
            HandleResponse(board, block + p);
            return -1;
        }
        if (word != FrameMarker) {
            continue;
        }
        // A header cut by the end of the block cannot be followed: its image
        // would start inside the next block, which carries no mark of where.
        // Passing it over costs one frame and keeps the buffer clean.
        if (length - p < FrameHeaderSize) {
            continue;
        }
        const UCHAR* header = block + p;
        ULONG b = WordAt(header + 4);
        if (b >= BoardChannelCount) {
            DbgPrint("bad channel\n");
            return -1;
        }
        board->rxChannel = b;
        LONG size = LONG(WordAt(header + 12));
        // A size below the header's own would make the image length negative.
        if (size > LONG(board->expectedFrameSize[b]) || size < LONG(FrameHeaderSize)) {
            board->badPayloadCount[b] += 1;
            DbgPrint("bad payload\n");
            return -1;
        }
        board->frameSize[b] = size;
        board->compressedSize[b] = WordAt(header + 16);
        board->rxNeedHeader = 0;
        return LONG(p + FrameHeaderSize);
    }
    return -1;
}

ULONG RingSize(const FrameRing* ring) {
    ULONG count = ring->bufferCount;
    return count == 0 || count > FrameBufferCount ? FrameBufferCount : count;
}

// The first Free buffer after `from`, in ring order; -1 when none is.
LONG FreeBufferAfter(const FrameRing* ring, ULONG from) {
    const ULONG size = RingSize(ring);
    for (ULONG k = 1; k <= size; ++k) {
        const ULONG i = (from + k) % size;
        if (ring->buffers[i].state == FrameFree) {
            return LONG(i);
        }
    }
    return -1;
}

void ParseLocked(Board* board, const UCHAR* block, ULONG length) {
    if (board->rxChannel >= BoardChannelCount) {
        DbgPrint("invalid channel\n");
        board->rxChannel = 0;
    }
    ULONG c = board->rxChannel;
    FrameRing* ring = &board->frameRings[c];
    if (ULONG(board->currentBuffer[c]) >= RingSize(ring)) {
        board->currentBuffer[c] = 0;
    }

    ULONG offset = 0;
    if (ring->buffers[board->currentBuffer[c]].state == FrameFree || board->rxNeedHeader) {
        LONG found = SearchBlock(board, block, length);
        if (found < 0) {
            return;
        }
        offset = ULONG(found);
        c = board->rxChannel;
        ring = &board->frameRings[c];
        if (ULONG(board->currentBuffer[c]) >= RingSize(ring)) {
            board->currentBuffer[c] = 0;
        }
        // A header always starts its frame at the beginning of the buffer. A
        // buffer still Filling holds the part of a frame whose end never came
        // (the search was asked for meanwhile, by a channel open for
        // instance); appending to it would deliver the old bytes in front of
        // the new frame and cut its end.
        FrameBuffer* partial = &ring->buffers[board->currentBuffer[c]];
        if (partial->state == FrameFilling) {
            partial->fill = 0;
            partial->copied = 0;
            board->abandonedFrameCount[c] += 1;
        }
    }

    FrameBuffer* buffer = &ring->buffers[board->currentBuffer[c]];
    if (!board->acquiring[c]) {
        // A frame being filled is abandoned. A Ready buffer is not the
        // parser's to free: its record is still queued or the consumer is
        // reading it, and a Free buffer would be filled again under them.
        if (buffer->state == FrameFilling) {
            buffer->state = FrameFree;
        }
        return;
    }
    FrameQueue* queue = &board->frameQueues[c];
    if (buffer->state == FrameFree) {
        buffer->fill = 0;
        buffer->copied = 0;
        buffer->state = FrameFilling;
    } else if (buffer->state == FrameReady) {
        // Still queued or with the consumer. Another free buffer takes the
        // frame; when there is none, the oldest undelivered frame gives its
        // buffer to the new one, also while the consumer holds a buffer and
        // the queue is one short of full. Its number was counted, so the loss
        // shows in the frame numbers; skipping the new frame instead would
        // lose it without a trace.
        LONG next = FreeBufferAfter(ring, ULONG(board->currentBuffer[c]));
        if (next < 0) {
            FrameRecord oldest;
            if (!queuePop(queue, &oldest) || oldest.bufferIndex >= RingSize(ring)) {
                return;
            }
            next = LONG(oldest.bufferIndex);
        }
        board->currentBuffer[c] = next;
        buffer = &ring->buffers[next];
        buffer->fill = 0;
        buffer->copied = 0;
        buffer->state = FrameFilling;
    }

    if (!buffer->data) {
        DbgPrint("M4350: refusing to copy to null user buffer, chn %d, idx %d\n", c,
                 board->currentBuffer[c]);
        buffer->state = FrameFree;
        board->rxNeedHeader = 1;
        return;
    }

    // Image data beyond the mode's frame size (or the buffer) is counted but
    // not copied: the whole block that would cross the limit is left out. A
    // block that ends exactly at the limit still fits and is copied: the
    // write stays inside the buffer, and a frame whose image reaches the
    // limit arrives whole instead of losing its last block.
    ULONG n = length - offset;
    ULONG limit = board->expectedFrameSize[c];
    if (limit > FrameBufferSize) {
        limit = FrameBufferSize;
    }
    if (ULONGLONG(buffer->fill) + n <= limit) {
        RtlCopyMemory(buffer->data + buffer->fill, block + offset, n);
        buffer->copied = buffer->fill + n;
    }
    buffer->fill += n;

    if (buffer->fill < ULONG(board->frameSize[c]) - FrameHeaderSize) {
        return;
    }

    // The frame is complete.
    bool paused = board->paused[c] != 0;
    if (!paused) {
        board->frameCount[c] += 1;
    }
    FrameRecord record;
    record.bufferIndex = ULONG(board->currentBuffer[c]);
    record.compressedSize = board->compressedSize[c];
    record.frameNumber = board->frameCount[c];
    record.rawSize = buffer->copied;
    if (paused || !queuePush(queue, &record)) {
        buffer->state = FrameFree;
        buffer->fill = 0;
    } else {
        buffer->state = FrameReady;
        board->currentBuffer[c] += 1;
        if (ULONG(board->currentBuffer[c]) >= RingSize(ring)) {
            board->currentBuffer[c] = 0;
        }
        if (board->pin[c]) {
            KsPinAttemptProcessing(board->pin[c], FALSE);
        }
    }
    board->rxNeedHeader = 1;
    if (!paused) {
        board->framesTotal += 1;
    }
}

} // namespace

void parseStreamBlock(Board* board, const UCHAR* block, ULONG length) {
    if (!board || !block) {
        return;
    }
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&board->lock);
    ParseLocked(board, block, length);
    KeReleaseSpinLock(&board->lock, irql);
}

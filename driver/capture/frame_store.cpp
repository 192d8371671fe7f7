#include "capture/frame_store.h"

#include "board/board.h"

namespace {

// A queue without storage (its board was never completed) holds nothing and
// takes nothing.
bool Usable(const FrameQueue* queue) {
    return queue->storage && queue->capacity > 1;
}

bool EmptyLocked(const FrameQueue* queue) {
    return queue->head == queue->tail;
}

bool FullLocked(const FrameQueue* queue) {
    return !Usable(queue) || (queue->tail + 1) % queue->capacity == queue->head;
}

void PopLocked(FrameQueue* queue, FrameRecord* record) {
    *record = queue->storage[queue->head];
    queue->head = (queue->head + 1) % queue->capacity;
}

bool ValidBufferIndex(const Board* board, ULONG b, LONG index) {
    return index >= 0 && ULONG(index) < FrameBufferCount &&
           ULONG(index) < board->frameRings[b].bufferCount;
}

} // namespace

BOOLEAN queueEmpty(FrameQueue* queue) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&queue->queueLock);
    bool empty = !Usable(queue) || EmptyLocked(queue);
    KeReleaseSpinLock(&queue->queueLock, irql);
    return empty;
}

BOOLEAN queueFull(FrameQueue* queue) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&queue->queueLock);
    bool full = FullLocked(queue);
    KeReleaseSpinLock(&queue->queueLock, irql);
    return full;
}

BOOLEAN queuePush(FrameQueue* queue, const FrameRecord* record) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&queue->queueLock);
    bool pushed = !FullLocked(queue);
    if (pushed) {
        queue->storage[queue->tail] = *record;
        queue->tail = (queue->tail + 1) % queue->capacity;
    }
    KeReleaseSpinLock(&queue->queueLock, irql);
    return pushed;
}

BOOLEAN queuePop(FrameQueue* queue, FrameRecord* record) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&queue->queueLock);
    bool popped = Usable(queue) && !EmptyLocked(queue);
    if (popped) {
        PopLocked(queue, record);
    }
    KeReleaseSpinLock(&queue->queueLock, irql);
    return popped;
}

LONG takeFrame(Board* board, ULONG channel, PULONG compressedSize, PULONG frameNumber,
               PULONG rawSize) {
    if (channel >= BoardChannelCount) {
        DbgPrint("wrong channel!\n");
        return -1;
    }
    if (!board) {
        return -1;
    }
    FrameRecord record;
    if (!queuePop(&board->frameQueues[boardChannel(channel)], &record)) {
        return -1;
    }
    if (compressedSize) {
        *compressedSize = record.compressedSize;
    }
    if (frameNumber) {
        *frameNumber = record.frameNumber;
    }
    if (rawSize) {
        *rawSize = record.rawSize;
    }
    return LONG(record.bufferIndex);
}

PUCHAR frameData(Board* board, ULONG channel, LONG bufferIndex) {
    if (!board) {
        DbgPrint("get buffer error\n");
        return nullptr;
    }
    if (channel >= BoardChannelCount) {
        DbgPrint("wrong channel!\n");
        return nullptr;
    }
    ULONG b = boardChannel(channel);
    if (!ValidBufferIndex(board, b, bufferIndex)) {
        return nullptr;
    }
    return board->frameRings[b].buffers[bufferIndex].data;
}

LONG releaseFrame(Board* board, ULONG channel, LONG bufferIndex) {
    if (!board || channel >= BoardChannelCount) {
        return -1;
    }
    ULONG b = boardChannel(channel);
    if (!ValidBufferIndex(board, b, bufferIndex)) {
        return -1;
    }
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&board->lock);
    FrameBuffer* buffer = &board->frameRings[b].buffers[bufferIndex];
    buffer->state = FrameFree;
    buffer->fill = 0;
    KeReleaseSpinLock(&board->lock, irql);
    return 0;
}

void setStreamPin(Board* board, ULONG channel, PKSPIN pin) {
    if (!board || channel >= BoardChannelCount) {
        return;
    }
    // The parser reads the pin under the lock when a frame completes.
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&board->lock);
    board->pin[boardChannel(channel)] = pin;
    KeReleaseSpinLock(&board->lock, irql);
}

LONG setPaused(Board* board, ULONG channel, ULONG flag) {
    if (channel >= BoardChannelCount) {
        DbgPrint("invalid channel\n");
        return 0;
    }
    if (!board) {
        return 0;
    }
    ULONG b = boardChannel(channel);
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&board->lock);
    board->paused[b] = flag;
    KeReleaseSpinLock(&board->lock, irql);
    if (flag) {
        return 0;
    }

    // Resuming: what was queued before the pause is stale. Each record is
    // taken under the queue lock and its buffer freed under the Board's lock,
    // never both at once.
    FrameQueue* queue = &board->frameQueues[b];
    FrameRing* ring = &board->frameRings[b];
    FrameRecord record;
    while (queuePop(queue, &record)) {
        if (!ValidBufferIndex(board, b, LONG(record.bufferIndex))) {
            continue;
        }
        irql = KeAcquireSpinLockRaiseToDpc(&board->lock);
        ring->buffers[record.bufferIndex].state = FrameFree;
        ring->buffers[record.bufferIndex].fill = 0;
        KeReleaseSpinLock(&board->lock, irql);
    }

    // A current buffer still with the consumer cannot take the frame being
    // received: look for the next header instead.
    irql = KeAcquireSpinLockRaiseToDpc(&board->lock);
    LONG current = board->currentBuffer[b];
    if (ValidBufferIndex(board, b, current) && ring->buffers[current].state == FrameReady) {
        board->rxNeedHeader = 1;
    }
    KeReleaseSpinLock(&board->lock, irql);
    return 0;
}

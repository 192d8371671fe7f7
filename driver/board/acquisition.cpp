#include "board/acquisition.h"

#include "board/board.h"
#include "device/capture_device.h"
#include "device/pool_tags.h"
#include "device/settings.h"
#include "usb/usb_port.h"

namespace {

// A header-only command. The packet is zeroed: the bytes after the header
// carry nothing, and pool contents have no business on the wire.
CommandPacket* AllocateCommand(ULONG b, ULONG command) {
    auto* packet = static_cast<CommandPacket*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(CommandPacket), BoardTag));
    if (!packet) {
        DbgPrint("out of mem\n");
        return nullptr;
    }
    RtlZeroMemory(packet, sizeof(CommandPacket));
    packet->magic = CommandMagic;
    packet->boardChannel = b;
    packet->command = command;
    return packet;
}

// One command on pipe 0, serialised with every other user of the pipe.
LONG SendCommand(CaptureDevice* device, CommandPacket* packet) {
    KeWaitForSingleObject(&device->commandMutex, Executive, KernelMode, FALSE, nullptr);
    LONG result = DownloadBuffer(device, packet, sizeof(CommandPacket));
    KeReleaseMutex(&device->commandMutex, FALSE);
    return result;
}

// CMD_START, with commandMutex held: the channel's start goes to the
// firmware running now.
void SendStart(Board* board, ULONG b, CommandPacket* packet) {
    CaptureDevice* device = board->device;
    board->startEpoch[b] = device->firmwareEpoch;
    if (DownloadBuffer(device, packet, sizeof(CommandPacket)) != 0) {
        DbgPrint("M4350: CMD_START error\n");
    }
}

} // namespace

LONG startAcquisition(Board* board, ULONG channel) {
    if (channel >= BoardChannelCount) {
        DbgPrint("start acquire failed, bad channel %lu\n", channel);
        return BoardRefused;
    }
    if (!board) {
        return BoardRefused;
    }
    ULONG b = boardChannel(channel);
    CaptureDevice* device = board->device;

    // A reload gives the channels their modes back before it starts them:
    // a start sent to the new firmware before that would have the board send
    // pictures of its default mode. A reload that begins after this waits
    // for commandMutex below, and starts the channel again itself.
    awaitReload(board);

    // Held from the flag to the command: a bring-back after a power loss
    // decides under it whether an acquiring channel still needs a CMD_START
    // from the new firmware, so it sees either the flag down or the start
    // sent, never the flag up with the start still to come (which would
    // send it twice, and the board would number the run from 1 again).
    KeWaitForSingleObject(&device->commandMutex, Executive, KernelMode, FALSE, nullptr);
    KIRQL irql;
    KeAcquireSpinLock(&board->lock, &irql);
    if (board->acquiring[b]) {
        DbgPrint("already acquiring\n");
        KeReleaseSpinLock(&board->lock, irql);
        KeReleaseMutex(&device->commandMutex, FALSE);
        return BoardWrongState;
    }
    board->frameCount[b] = 0;
    board->badPayloadCount[b] = 0;
    board->acquiring[b] = 1;
    board->currentBuffer[b] = 0;
    FrameQueue* queue = &board->frameQueues[b];
    KIRQL queueIrql = KeAcquireSpinLockRaiseToDpc(&queue->queueLock);
    queue->head = 0;
    queue->tail = 0;
    KeReleaseSpinLock(&queue->queueLock, queueIrql);
    if (board->modes[b].single) {
        board->frameRings[b].buffers[0].state = FrameFree;
        board->frameRings[b].buffers[0].fill = 0;
    }
    board->paused[b] = 0;
    KeReleaseSpinLock(&board->lock, irql);

    CommandPacket* packet = AllocateCommand(b, CMD_START);
    if (!packet) {
        KeReleaseMutex(&device->commandMutex, FALSE);
        return BoardRefused;
    }
    SendStart(board, b, packet);
    KeReleaseMutex(&device->commandMutex, FALSE);
    ExFreePoolWithTag(packet, BoardTag);
    return BoardOk;
}

LONG stopAcquisition(Board* board, ULONG channel) {
    if (channel >= BoardChannelCount) {
        DbgPrint("stop acquire failed, bad channel %lu\n", channel);
        return BoardRefused;
    }
    if (!board) {
        return BoardRefused;
    }
    ULONG b = boardChannel(channel);

    // Set-mode changes the modes under the lock: save a consistent copy.
    ModeSettings modes[BoardChannelCount];
    KIRQL irql;
    KeAcquireSpinLock(&board->lock, &irql);
    RtlCopyMemory(modes, board->modes, sizeof(modes));
    KeReleaseSpinLock(&board->lock, irql);
    KeWaitForSingleObject(&board->settingsMutex, Executive, KernelMode, FALSE, nullptr);
    SaveConfig(board->boardNumber, modes);
    KeReleaseMutex(&board->settingsMutex, FALSE);

    KeAcquireSpinLock(&board->lock, &irql);
    bool acquiring = board->acquiring[b] == 1;
    KeReleaseSpinLock(&board->lock, irql);
    if (!acquiring) {
        return BoardWrongState;
    }

    CommandPacket* packet = AllocateCommand(b, CMD_STOP);
    if (!packet) {
        return BoardRefused;
    }
    // The flag goes down before commandMutex does: a bring-back after a
    // power-up reads it under the mutex, and must not start the channel
    // again after its CMD_STOP has gone out.
    CaptureDevice* device = board->device;
    KeWaitForSingleObject(&device->commandMutex, Executive, KernelMode, FALSE, nullptr);
    if (DownloadBuffer(device, packet, sizeof(CommandPacket)) != 0) {
        DbgPrint("CMD_STOP error\n");
    }
    KeAcquireSpinLock(&board->lock, &irql);
    board->acquiring[b] = 0;
    if (board->rxChannel == b) {
        board->rxNeedHeader = 1;
    }
    KeReleaseSpinLock(&board->lock, irql);
    KeReleaseMutex(&device->commandMutex, FALSE);

    FrameRing* ring = &board->frameRings[b];
    for (ULONG i = 0; i < FrameBufferCount; ++i) {
        KeAcquireSpinLock(&board->lock, &irql);
        ring->buffers[i].state = FrameFree;
        ring->buffers[i].fill = 0;
        KeReleaseSpinLock(&board->lock, irql);
    }
    ExFreePoolWithTag(packet, BoardTag);
    return BoardOk;
}

LONG resumeAcquisition(Board* board, ULONG channel) {
    if (!board || channel >= BoardChannelCount) {
        return BoardRefused;
    }
    ULONG b = boardChannel(channel);
    CommandPacket* packet = AllocateCommand(b, CMD_START);
    if (!packet) {
        return BoardRefused;
    }
    // Read under commandMutex: a stop clears the flag before it lets go of
    // the mutex, so a stopped channel is never started again here.
    CaptureDevice* device = board->device;
    KeWaitForSingleObject(&device->commandMutex, Executive, KernelMode, FALSE, nullptr);
    KIRQL irql;
    KeAcquireSpinLock(&board->lock, &irql);
    bool acquiring = board->acquiring[b] != 0;
    KeReleaseSpinLock(&board->lock, irql);
    LONG result = BoardWrongState;
    if (acquiring && board->startEpoch[b] != device->firmwareEpoch) {
        result = BoardOk;
        SendStart(board, b, packet);
    }
    KeReleaseMutex(&device->commandMutex, FALSE);
    ExFreePoolWithTag(packet, BoardTag);
    return result;
}

StatusOutcome queryStatus(Board* board, PULONG version) {
    if (!board) {
        return StatusOutcome::NotSent;
    }
    CaptureDevice* device = board->device;
    CommandPacket* packet = AllocateCommand(CommandDefaultBoardChannel, CMD_STATUS);
    if (!packet) {
        return StatusOutcome::NotSent;
    }
    // The answer names board channel 3, whose event is channel number 0's.
    // An answer that came in after an earlier query had given up must not
    // pass for this one's.
    KEVENT* event = &device->statusEvent[3 - CommandDefaultBoardChannel];
    KeClearEvent(event);
    bool sendFailed = SendCommand(device, packet) != 0;
    ExFreePoolWithTag(packet, BoardTag);

    LARGE_INTEGER timeout;
    timeout.QuadPart = -LONGLONG(AnswerTimeoutMs) * 10000;
    if (KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
        DbgPrint("vid status expired\n");
        return StatusOutcome::NotAnswered;
    }
    KeClearEvent(event);
    if (sendFailed) {
        return StatusOutcome::NotSent;
    }
    if (version) {
        KIRQL irql;
        KeAcquireSpinLock(&board->lock, &irql);
        *version = board->boardVersion;
        KeReleaseSpinLock(&board->lock, irql);
    }
    return StatusOutcome::Answered;
}

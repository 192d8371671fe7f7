#include "board/board.h"

#include "capture/stream_parser.h"
#include "device/capture_device.h"
#include "device/pool_tags.h"
#include "device/settings.h"
#include "usb/firmware.h"
#include "usb/usb_port.h"

volatile LONG BoardCounter = 0;

namespace {

// Numbers held by running boards, one bit each. Numbers from 32 on are never
// marked: they have neither a settings file nor positions, so sharing one is
// harmless.
volatile LONG BoardNumbersInUse = 0;
constexpr ULONG TrackedBoardNumbers = 32;

ULONG TakeBoardNumber() {
    for (;;) {
        LONG used = InterlockedCompareExchange(&BoardNumbersInUse, 0, 0);
        ULONG number = 0;
        while (number < TrackedBoardNumbers && (ULONG(used) & (1u << number))) {
            ++number;
        }
        if (number == TrackedBoardNumbers) {
            return number;
        }
        LONG wanted = LONG(ULONG(used) | (1u << number));
        if (InterlockedCompareExchange(&BoardNumbersInUse, wanted, used) == used) {
            return number;
        }
    }
}

void GiveBackBoardNumber(ULONG number) {
    if (number >= TrackedBoardNumbers) {
        return;
    }
    for (;;) {
        LONG used = InterlockedCompareExchange(&BoardNumbersInUse, 0, 0);
        LONG wanted = LONG(ULONG(used) & ~(1u << number));
        if (InterlockedCompareExchange(&BoardNumbersInUse, wanted, used) == used) {
            return;
        }
    }
}

// The registry's defaults for a channel without a usable saved mode.
ModeSettings BuildDefaultMode() {
    ULONG palDefault = QueryParameter(L"PALDefault");
    ULONG fixedStandard = QueryParameter(L"FixedStandard");
    ULONG monoDefault = QueryParameter(L"MONODefault");
    ModeSettings ntsc = DefaultModeSettings(FormatNtsc);
    ModeSettings pal = DefaultModeSettings(FormatPal);
    ULONG deinterlace = QueryParameter(L"Deinterlace");
    DbgPrint("Deinterlace default %d\n", deinterlace);

    ModeSettings mode = palDefault ? pal : ntsc;
    if (fixedStandard) {
        mode = fixedStandard == FormatNtsc ? ntsc : pal;
    }
    if (monoDefault) {
        mode.color = ColorMono;
    }
    ULONG fdec = QueryParameter(L"FDECDefault");
    mode.fdec = fdec ? fdec : 1;
    if (mode.scale == 1 && deinterlace) {
        mode.scale = 4;
    }
    DbgPrint("fdec %d\n", mode.fdec);
    return mode;
}

bool SavedModesUsable(const ModeSettings* modes) {
    for (ULONG b = 0; b < BoardChannelCount; ++b) {
        if (modes[b].format != FormatNtsc && modes[b].format != FormatPal) {
            return false;
        }
        if (modes[b].scale < 1 || modes[b].scale > 4) {
            return false;
        }
    }
    return true;
}

// The read requests hand their buffer to the stream parser, which sees the
// whole transfer length as stream data.
void ParseReadBlock(Board* board, ReadRequest* request) {
    parseStreamBlock(board, request->buffer, request->transferLength);
}

struct ReloadContext {
    Board* board;
    KEVENT done;
};

void ReloadRoutine(PVOID context) {
    auto* reload = static_cast<ReloadContext*>(context);
    if (LoadFirmware(reload->board->device) != STATUS_SUCCESS) {
        DbgPrint("[m4350]. firmware load failed\n");
    }
    // The starter's stack holds the context: nothing of it is touched after
    // the event is set.
    KeSetEvent(&reload->done, 1, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// A board that has been powered down has lost its firmware. The download
// runs in a thread of its own and the caller waits for it; a failed download
// is logged by the thread and the caller goes on regardless.
void ReloadFirmware(Board* board) {
    ReloadContext reload;
    reload.board = board;
    KeInitializeEvent(&reload.done, NotificationEvent, FALSE);
    board->reloadDone = &reload.done;
    DbgPrint("m4350: board powered down or sleep mode, reloading firmware\n");

    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE thread = nullptr;
    NTSTATUS status = PsCreateSystemThread(&thread, 0x10000000, &attributes, nullptr, nullptr,
                                           ReloadRoutine, &reload);
    if (NT_SUCCESS(status)) {
        PVOID threadObject = nullptr;
        if (!NT_SUCCESS(ObReferenceObjectByHandle(thread, SYNCHRONIZE, *PsThreadType, KernelMode,
                                                  &threadObject, nullptr))) {
            threadObject = nullptr;
        }
        ZwClose(thread);
        KeWaitForSingleObject(&reload.done, Executive, KernelMode, FALSE, nullptr);
        // The thread still has to leave after setting the event: the reload is
        // over only once it has, so nothing of it outlives the caller.
        if (threadObject) {
            KeWaitForSingleObject(threadObject, Executive, KernelMode, FALSE, nullptr);
            ObDereferenceObject(threadObject);
        }
    } else {
        // Nobody would ever set the event: go on as after a failed reload.
        DbgPrint("[m4350]. firmware load failed\n");
    }

    KIRQL irql;
    KeAcquireSpinLock(&board->lock, &irql);
    board->poweredDown = 0;
    board->reloadDone = nullptr;
    board->reloading = 0;
    KeReleaseSpinLock(&board->lock, irql);
    KeSetEvent(&board->reloadFinished, 0, FALSE);
}

// Called with `lock` held. Nothing to do: false, the lock still held.
// Otherwise the lock is released, and either this caller claims the reload
// and runs it, or it waits for the reload another caller runs; true then, and
// the caller looks at the board again.
bool ReloadOrAwaitReload(Board* board, KIRQL irql) {
    if (board->reloading) {
        KeReleaseSpinLock(&board->lock, irql);
        KeWaitForSingleObject(&board->reloadFinished, Executive, KernelMode, FALSE, nullptr);
        return true;
    }
    if (board->poweredDown) {
        board->reloading = 1;
        KeClearEvent(&board->reloadFinished);
        KeReleaseSpinLock(&board->lock, irql);
        ReloadFirmware(board);
        return true;
    }
    return false;
}

// Position value names: "xpos" or "ypos", the channel number, and "_b<n>" for
// boards 1 to 3.
void PositionName(WCHAR (&name)[12], WCHAR axis, ULONG channel, ULONG boardNumber) {
    ULONG i = 0;
    name[i++] = axis;
    name[i++] = L'p';
    name[i++] = L'o';
    name[i++] = L's';
    name[i++] = WCHAR(L'0' + channel);
    if (boardNumber) {
        name[i++] = L'_';
        name[i++] = L'b';
        name[i++] = WCHAR(L'0' + boardNumber);
    }
    name[i] = 0;
}

void FreeReadRequests(Board* board) {
    for (ULONG i = 0; i < ReadRequestCount; ++i) {
        ReadRequest* request = &board->readRequests[i];
        if (request->buffer) {
            ExFreePoolWithTag(request->buffer, BoardTag);
            request->buffer = nullptr;
        }
        if (request->stopEvent) {
            ExFreePoolWithTag(request->stopEvent, BoardTag);
            request->stopEvent = nullptr;
        }
        // Normally gone with the read pipe's stop; never left behind.
        if (request->urb) {
            ExFreePool(request->urb);
            request->urb = nullptr;
        }
    }
}

void FreeQueues(Board* board) {
    for (ULONG b = 0; b < BoardChannelCount; ++b) {
        FrameQueue* queue = &board->frameQueues[b];
        if (queue->storage) {
            ExFreePoolWithTag(queue->storage, FrameQueueTag);
            queue->storage = nullptr;
        }
        queue->capacity = 0;
    }
}

} // namespace

Board* Board::create(CaptureDevice* device) {
    ModeSettings defaultMode = BuildDefaultMode();

    auto* board =
        static_cast<Board*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(Board), BoardTag));
    if (!board) {
        DbgPrint("OUT of memory!\n");
        return nullptr;
    }
    RtlZeroMemory(board, sizeof(Board));
    board->boardNumber = TakeBoardNumber();
    InterlockedIncrement(&BoardCounter);
    board->device = device;
    KeInitializeMutex(&board->settingsMutex, 0);
    KeInitializeMutex(&board->controllerMutex, 0);
    KeInitializeMutex(&board->controlsMutex, 0);
    KeInitializeSpinLock(&board->lock);
    KeInitializeEvent(&board->reloadFinished, NotificationEvent, TRUE);

    bool useDefault =
        LoadConfig(board->boardNumber, board->modes) != ConfigOk || !SavedModesUsable(board->modes);
    for (ULONG b = 0; b < BoardChannelCount; ++b) {
        board->acquiring[b] = 0;
        if (useDefault) {
            DbgPrint("using default\n");
            board->modes[b] = defaultMode;
        } else {
            DbgPrint("using mode format %d\n", board->modes[b].format);
        }
        board->expectedFrameSize[b] = frameBytes(&defaultMode);
        board->buffersAllocated[b] = 0;
    }

    USBD_PIPE_HANDLE streamPipe = UsbPortPipeHandle(&device->usb, StreamPipe);
    for (ULONG i = 0; i < ReadRequestCount; ++i) {
        ReadRequest* request = &board->readRequests[i];
        request->transferLength = ReadTransferLength;
        request->bufferSize = ReadTransferLength;
        request->buffer = static_cast<PUCHAR>(
            ExAllocatePoolWithTag(NonPagedPoolNx, ReadTransferLength, BoardTag));
        if (!request->buffer) {
            DbgPrint("out of memory!\n");
            FreeReadRequests(board);
            releaseBoardNumber(board);
            ExFreePoolWithTag(board, BoardTag);
            return nullptr;
        }
        request->stopEvent =
            static_cast<PKEVENT>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KEVENT), BoardTag));
        if (request->stopEvent) {
            KeInitializeEvent(request->stopEvent, NotificationEvent, FALSE);
        }
        request->pipeHandle = streamPipe;
        request->device = device;
        request->board = board;
        request->dataHandler = ParseReadBlock;
        request->slot = i;
        request->recoveryPipe = StreamPipe;
    }

    KeInitializeEvent(&device->firmwareReadyEvent, NotificationEvent, FALSE);
    for (ULONG n = 0; n < ChannelCount; ++n) {
        KeInitializeEvent(&device->modeAckEvent[n], NotificationEvent, FALSE);
        KeInitializeEvent(&device->statusEvent[n], NotificationEvent, FALSE);
    }
    KeInitializeMutex(&device->commandMutex, 0);

    DbgPrint("M4350: board initialized\n");

    for (ULONG b = 0; b < BoardChannelCount; ++b) {
        FrameRing* ring = &board->frameRings[b];
        ring->bufferCount = FrameBufferCount;
        for (ULONG i = 0; i < FrameBufferCount; ++i) {
            ring->buffers[i].data = static_cast<PUCHAR>(
                ExAllocatePoolWithTag(NonPagedPoolNx, FrameBufferSize, BoardTag));
            if (!ring->buffers[i].data) {
                DbgPrint("out of memory!!!!!!!!!!!!!!!!!!!!!!!!!\n");
            }
        }
        FrameQueue* queue = &board->frameQueues[b];
        KeInitializeSpinLock(&queue->queueLock);

        KIRQL irql;
        KeAcquireSpinLock(&board->lock, &irql);
        for (ULONG i = 0; i < FrameBufferCount; ++i) {
            ring->buffers[i].state = FrameFree;
            ring->buffers[i].fill = 0;
        }
        board->buffersAllocated[b] = 1;
        board->currentBuffer[b] = 0;
        queue->head = 0;
        queue->tail = 0;
        KeReleaseSpinLock(&board->lock, irql);

        queue->storage = static_cast<FrameRecord*>(ExAllocatePoolWithTag(
            NonPagedPoolNx, FrameQueueCapacity * sizeof(FrameRecord), FrameQueueTag));
        if (!queue->storage) {
            // Unlike a frame buffer, a queue without storage cannot be made
            // safe by the parser skipping it: the board is not usable.
            DbgPrint("out of memory!\n");
            releaseBoardNumber(board);
            destroy(board);
            return nullptr;
        }
        queue->head = 0;
        queue->tail = 0;
        queue->capacity = FrameQueueCapacity;
    }
    return board;
}

LONG Board::open(Board* board, ULONG channel) {
    if (channel >= BoardChannelCount) {
        return BoardRefused;
    }
    if (!board) {
        DbgPrint("M4350: board open: failed! %p", board);
        return BoardRefused;
    }
    ULONG b = boardChannel(channel);
    for (;;) {
        KIRQL irql;
        KeAcquireSpinLock(&board->lock, &irql);
        if (board->channelOpen[b] == 1) {
            DbgPrint("m4350: board already open\n");
            KeReleaseSpinLock(&board->lock, irql);
            return BoardRefused;
        }
        if (ReloadOrAwaitReload(board, irql)) {
            // Whatever changed while the lock was let go is looked at again.
            continue;
        }
        board->channelOpen[b] = 1;
        board->rxNeedHeader = 1;
        board->frameCount[b] = 0;
        KeReleaseSpinLock(&board->lock, irql);
        return BoardOk;
    }
}

void Board::destroy(Board* board) {
    if (!board) {
        return;
    }
    FreeReadRequests(board);
    for (ULONG b = 0; b < BoardChannelCount; ++b) {
        freeChannelBuffers(board, 3 - b);
        board->channelOpen[b] = 0;
    }
    FreeQueues(board);
    ExFreePoolWithTag(board, BoardTag);
}

LONG markPoweredDown(Board* board) {
    if (!board) {
        return BoardRefused;
    }
    KIRQL irql;
    KeAcquireSpinLock(&board->lock, &irql);
    board->poweredDown = 1;
    KeReleaseSpinLock(&board->lock, irql);
    return BoardOk;
}

LONG getMode(Board* board, ULONG channel, ModeSettings* mode) {
    if (!board || channel >= BoardChannelCount) {
        return BoardRefused;
    }
    ULONG b = boardChannel(channel);
    KIRQL irql;
    KeAcquireSpinLock(&board->lock, &irql);
    *mode = board->modes[b];
    ULONG valid = board->modeValid[b];
    KeReleaseSpinLock(&board->lock, irql);
    return valid ? BoardOk : BoardRefused;
}

LONG setMode(Board* board, ULONG channel, ModeSettings* mode) {
    if (!board || channel >= BoardChannelCount) {
        return BoardRefused;
    }
    ULONG b = boardChannel(channel);
    CaptureDevice* device = board->device;

    KIRQL irql;
    do {
        KeAcquireSpinLock(&board->lock, &irql);
    } while (ReloadOrAwaitReload(board, irql));
    board->modes[b] = *mode;
    board->modeValid[b] = 1;
    if (mode->restart) {
        for (ULONG i = 0; i < ReadRequestCount; ++i) {
            ReadRequest* request = &board->readRequests[i];
            ULONG length = ReadTransferLength;
            if (length > request->bufferSize) {
                length = request->bufferSize;
            }
            // Read completions look at the length without the lock; it only
            // ever holds this value, so it is written only if it differs.
            if (request->transferLength != length) {
                request->transferLength = length;
            }
        }
        mode->usbblock = UsbBlockRestart;
        board->expectedFrameSize[b] = frameBytes(mode);
    }
    KeReleaseSpinLock(&board->lock, irql);

    auto* packet = static_cast<CommandPacket*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(CommandPacket), BoardTag));
    if (!packet) {
        DbgPrint("out of mem\n");
        return BoardRefused;
    }
    RtlZeroMemory(packet, sizeof(CommandPacket));
    packet->magic = CommandMagic;
    packet->boardChannel = b;
    packet->command = CMD_SET_MODE;

    if (board->boardNumber < BoardsWithPositions) {
        WCHAR name[12];
        PositionName(name, L'y', channel, board->boardNumber);
        LONG y = (LONG)QueryParameter(name);
        if (y < -4 || y > 4) {
            DbgPrint("position invalid(out of range), using 0\n");
            y = 0;
        }
        PositionName(name, L'x', channel, board->boardNumber);
        LONG x = (LONG)QueryParameter(name);
        if (x < -10 || x > 10) {
            DbgPrint("position %d invalid(out of range), using 0\n", x);
            x = 0;
        }
        mode->xoffset = x;
        mode->yoffset = y;
    }
    RtlZeroMemory(mode->reserved, sizeof(mode->reserved));
    packet->payload = *mode;

    DbgPrint("-------------------------------------------------------\n");
    DbgPrint("MODE settings\n");
    DbgPrint("format: %d\n", mode->format);
    DbgPrint("scale: %d\n", mode->scale);
    DbgPrint("fdec: %d\n", mode->fdec);
    DbgPrint("color: %d\n", mode->color);
    DbgPrint("bright: 0x%x, contrast: 0x%x, saturation: 0x%x, hue: 0x%x\n", mode->bright,
             mode->contrast, mode->saturation, mode->hue);
    DbgPrint("restart: 0x%x\n", mode->restart);
    DbgPrint("Usbblock: 0x%x\n", mode->usbblock);
    DbgPrint("single: 0x%x\n", mode->single);
    DbgPrint("xoffset: %d\n", mode->xoffset);
    DbgPrint("yoffset: %d\n", mode->yoffset);
    DbgPrint("-------------------------------------------------------\n");

    KeWaitForSingleObject(&device->commandMutex, Executive, KernelMode, FALSE, nullptr);
    LONG result = DownloadBuffer(device, packet, sizeof(CommandPacket));
    if (mode->restart) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -(LONGLONG)AnswerTimeoutMs * 10000;
        NTSTATUS wait = KeWaitForSingleObject(&device->modeAckEvent[channel], Executive, KernelMode,
                                              FALSE, &timeout);
        if (wait == STATUS_TIMEOUT) {
            DbgPrint("set mode expired\n");
        } else {
            KeClearEvent(&device->modeAckEvent[channel]);
        }
    }
    KeReleaseMutex(&device->commandMutex, FALSE);
    ExFreePoolWithTag(packet, BoardTag);
    return result;
}

LONG freeChannelBuffers(Board* board, ULONG channel) {
    if (!board || channel >= BoardChannelCount) {
        return BoardRefused;
    }
    ULONG b = boardChannel(channel);
    FrameRing* ring = &board->frameRings[b];
    PUCHAR data[FrameBufferCount];

    // The parser must never see a buffer that is being freed: take them out
    // under the lock, free them outside it.
    KIRQL irql;
    KeAcquireSpinLock(&board->lock, &irql);
    for (ULONG i = 0; i < FrameBufferCount; ++i) {
        data[i] = ring->buffers[i].data;
        ring->buffers[i].data = nullptr;
    }
    board->buffersAllocated[b] = 0;
    KeReleaseSpinLock(&board->lock, irql);

    for (ULONG i = 0; i < FrameBufferCount; ++i) {
        if (data[i]) {
            ExFreePoolWithTag(data[i], BoardTag);
        }
    }
    return BoardOk;
}

LONG setTopDown(Board* board, ULONG channel, ULONG flag) {
    if (!board || channel >= BoardChannelCount) {
        return BoardRefused;
    }
    board->topDown[boardChannel(channel)] = flag;
    return BoardOk;
}

LONG setRotate(Board* board, ULONG channel, ULONG flag) {
    if (!board || channel >= BoardChannelCount) {
        return BoardRefused;
    }
    board->rotate[boardChannel(channel)] = flag;
    return BoardOk;
}

ULONG getTopDown(Board* board, ULONG channel) {
    if (!board || channel >= BoardChannelCount) {
        return 0;
    }
    return board->topDown[boardChannel(channel)];
}

ULONG getRotate(Board* board, ULONG channel) {
    if (!board || channel >= BoardChannelCount) {
        return 0;
    }
    return board->rotate[boardChannel(channel)];
}

void releaseBoardNumber(Board* board) {
    InterlockedDecrement(&BoardCounter);
    GiveBackBoardNumber(board->boardNumber);
}

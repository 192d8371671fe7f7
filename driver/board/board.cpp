#include "board/board.h"

#include "board/acquisition.h"
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
    bool loaded;
};

void ReloadRoutine(PVOID context) {
    auto* reload = static_cast<ReloadContext*>(context);
    reload->loaded = LoadFirmware(reload->board->device) == STATUS_SUCCESS;
    if (!reload->loaded) {
        DbgPrint("[m4350]. firmware load failed\n");
    }
    // The starter's stack holds the context: nothing of it is touched after
    // the event is set.
    KeSetEvent(&reload->done, 1, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// Waits for a system thread to leave and lets go of its object.
void AwaitThread(PVOID threadObject) {
    if (threadObject) {
        KeWaitForSingleObject(threadObject, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(threadObject);
    }
}

// The object of a thread just created, to wait for its end; null when it
// cannot be had.
PVOID ReferenceThread(HANDLE thread) {
    PVOID threadObject = nullptr;
    if (!NT_SUCCESS(ObReferenceObjectByHandle(thread, SYNCHRONIZE, *PsThreadType, KernelMode,
                                              &threadObject, nullptr))) {
        threadObject = nullptr;
    }
    ZwClose(thread);
    return threadObject;
}

// A board that has been powered down has lost its firmware. The download
// runs in a thread of its own and the caller waits for it; a failed download
// is logged by the thread and the caller goes on regardless. True when the
// firmware was loaded.
bool ReloadFirmware(Board* board) {
    ReloadContext reload;
    reload.board = board;
    reload.loaded = false;
    KeInitializeEvent(&reload.done, NotificationEvent, FALSE);
    board->reloadDone = &reload.done;
    DbgPrint("m4350: board powered down or sleep mode, reloading firmware\n");

    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE thread = nullptr;
    NTSTATUS status = PsCreateSystemThread(&thread, 0x10000000, &attributes, nullptr, nullptr,
                                           ReloadRoutine, &reload);
    if (NT_SUCCESS(status)) {
        PVOID threadObject = ReferenceThread(thread);
        KeWaitForSingleObject(&reload.done, Executive, KernelMode, FALSE, nullptr);
        // The thread still has to leave after setting the event: the reload is
        // over only once it has, so nothing of it outlives the caller.
        AwaitThread(threadObject);
    } else {
        // Nobody would ever set the event: go on as after a failed reload.
        DbgPrint("[m4350]. firmware load failed\n");
    }

    return reload.loaded;
}

LONG SendMode(Board* board, ULONG channel, ModeSettings* mode);

// After a successful reload the board has firmware and nothing else: every
// channel whose stored mode is valid gets it back (whatever its pin's state:
// a pin in Stop would otherwise start on a board without its mode, since its
// next start sends nothing when nothing differs), then every acquiring
// channel gets CMD_START. Frame counts, `paused` and the frame queues stay
// as they are, so streams go on numbering where they stopped. Runs while
// the reload is still claimed: every set-mode waits at the reload before it
// stores a mode, so the stored modes cannot change under it.
void RestoreChannels(Board* board) {
    for (ULONG n = 0; n < ChannelCount; ++n) {
        ModeSettings mode;
        if (getMode(board, n, &mode) == BoardOk) {
            mode.restart = 1;
            SendMode(board, n, &mode);
        }
    }
    for (ULONG n = 0; n < ChannelCount; ++n) {
        resumeAcquisition(board, n);
    }
}

// Claims the reload (`lock` held, released here), reloads, restores the
// channels when the firmware came up and no power-down has followed, and
// lets the waiters go. True when the board has its firmware and channels.
bool ReloadClaimed(Board* board, KIRQL irql) {
    board->reloading = 1;
    ULONG served = board->powerDowns;
    KeClearEvent(&board->reloadFinished);
    KeReleaseSpinLock(&board->lock, irql);

    bool loaded = ReloadFirmware(board);
    KeAcquireSpinLock(&board->lock, &irql);
    bool current = loaded && board->powerDowns == served;
    KeReleaseSpinLock(&board->lock, irql);
    if (current) {
        RestoreChannels(board);
    }

    KeAcquireSpinLock(&board->lock, &irql);
    // A power-down that came while the reload ran has taken the new
    // firmware away again: it stays marked for the next reload.
    if (board->powerDowns == served) {
        board->poweredDown = 0;
    }
    if (loaded) {
        board->loadedAfter = served;
    }
    board->reloadDone = nullptr;
    board->reloading = 0;
    KeReleaseSpinLock(&board->lock, irql);
    KeSetEvent(&board->reloadFinished, 0, FALSE);
    return current;
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
        ReloadClaimed(board, irql);
        return true;
    }
    return false;
}

// Brings the board back after a return to D0: the firmware reload with the
// channels' modes and acquisitions, done here or by the open or set-mode
// that got to it first. False when the firmware could not be loaded. Gives
// up quietly when the board has lost its power again meanwhile: the next
// return to D0 comes back.
bool BringBack(Board* board) {
    bool claimed = false;
    ULONG served = 0;
    for (;;) {
        KIRQL irql;
        KeAcquireSpinLock(&board->lock, &irql);
        if (board->reloading) {
            KeReleaseSpinLock(&board->lock, irql);
            KeWaitForSingleObject(&board->reloadFinished, Executive, KernelMode, FALSE, nullptr);
            continue;
        }
        if (board->loadedAfter == board->powerDowns) {
            KeReleaseSpinLock(&board->lock, irql);
            return true;
        }
        if (claimed) {
            // Loaded and lost again, or not loaded at all.
            bool loaded = board->loadedAfter == served;
            KeReleaseSpinLock(&board->lock, irql);
            return loaded;
        }
        claimed = true;
        served = board->powerDowns;
        ReloadClaimed(board, irql);
    }
}

void BringBackRoutine(PVOID context) {
    auto* board = static_cast<Board*>(context);
    for (;;) {
        // A control's change in progress ends before the modes go out again.
        KeWaitForSingleObject(&board->controlsMutex, Executive, KernelMode, FALSE, nullptr);
        bool done = BringBack(board);
        KeReleaseMutex(&board->controlsMutex, FALSE);
        KIRQL irql;
        KeAcquireSpinLock(&board->lock, &irql);
        if (!done) {
            DbgPrint("m4350: board not brought back after power-up, retrying at the next open\n");
            // The failed reload has served its power-down: marked again, the
            // board is reloaded, and its channels restored, by the next open
            // or set-mode.
            board->poweredDown = 1;
        }
        if (board->bringBackAgain) {
            board->bringBackAgain = 0;
            KeReleaseSpinLock(&board->lock, irql);
            continue;
        }
        board->bringBackRunning = 0;
        KeReleaseSpinLock(&board->lock, irql);
        break;
    }
    // Nothing of the board is touched after this: device stop may free it.
    KeSetEvent(&board->bringBackIdle, 0, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// Starts a bring-back, or asks the running one to run once more.
void StartBringBack(Board* board) {
    KIRQL irql;
    KeAcquireSpinLock(&board->lock, &irql);
    if (board->bringBackRunning) {
        board->bringBackAgain = 1;
        KeReleaseSpinLock(&board->lock, irql);
        return;
    }
    board->bringBackRunning = 1;
    KeClearEvent(&board->bringBackIdle);
    PVOID previous = board->bringBackThread;
    board->bringBackThread = nullptr;
    KeReleaseSpinLock(&board->lock, irql);
    // The previous thread has set the idle event; it may still be leaving.
    AwaitThread(previous);

    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE thread = nullptr;
    NTSTATUS status = PsCreateSystemThread(&thread, 0x10000000, &attributes, nullptr, nullptr,
                                           BringBackRoutine, board);
    if (!NT_SUCCESS(status)) {
        DbgPrint("m4350: board not brought back after power-up, retrying at the next open\n");
        KeAcquireSpinLock(&board->lock, &irql);
        board->bringBackRunning = 0;
        board->bringBackAgain = 0;
        KeReleaseSpinLock(&board->lock, irql);
        KeSetEvent(&board->bringBackIdle, 0, FALSE);
        return;
    }
    PVOID threadObject = ReferenceThread(thread);
    KeAcquireSpinLock(&board->lock, &irql);
    board->bringBackThread = threadObject;
    KeReleaseSpinLock(&board->lock, irql);
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
    KeInitializeEvent(&board->bringBackIdle, NotificationEvent, TRUE);

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
    KeInitializeMutex(&device->readPipeMutex, 0);

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
    board->powerDowns += 1;
    KeReleaseSpinLock(&board->lock, irql);
    return BoardOk;
}

void bringBackAfterPowerUp(Board* board) {
    if (!board) {
        return;
    }
    KIRQL irql;
    KeAcquireSpinLock(&board->lock, &irql);
    bool anyOpen = false;
    for (ULONG b = 0; b < BoardChannelCount; ++b) {
        anyOpen = anyOpen || board->channelOpen[b];
    }
    KeReleaseSpinLock(&board->lock, irql);
    // Without an open channel the next open or set-mode reloads.
    if (anyOpen) {
        StartBringBack(board);
    }
}

void waitForBringBack(Board* board) {
    if (!board) {
        return;
    }
    KeWaitForSingleObject(&board->bringBackIdle, Executive, KernelMode, FALSE, nullptr);
    KIRQL irql;
    KeAcquireSpinLock(&board->lock, &irql);
    PVOID threadObject = board->bringBackThread;
    board->bringBackThread = nullptr;
    KeReleaseSpinLock(&board->lock, irql);
    AwaitThread(threadObject);
}

void awaitReload(Board* board) {
    for (;;) {
        KIRQL irql;
        KeAcquireSpinLock(&board->lock, &irql);
        bool reloading = board->reloading != 0;
        KeReleaseSpinLock(&board->lock, irql);
        if (!reloading) {
            return;
        }
        KeWaitForSingleObject(&board->reloadFinished, Executive, KernelMode, FALSE, nullptr);
    }
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
    KIRQL irql;
    do {
        KeAcquireSpinLock(&board->lock, &irql);
    } while (ReloadOrAwaitReload(board, irql));
    KeReleaseSpinLock(&board->lock, irql);
    return SendMode(board, channel, mode);
}

namespace {

// Stores the mode and sends it; the reload, when one was due, is behind.
LONG SendMode(Board* board, ULONG channel, ModeSettings* mode) {
    ULONG b = boardChannel(channel);
    CaptureDevice* device = board->device;

    KIRQL irql;
    KeAcquireSpinLock(&board->lock, &irql);
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

} // namespace

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

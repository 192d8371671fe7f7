// Stream states of a capture pin. The class moves a pin one step at a time
// along Stop <-> Acquire <-> Pause <-> Run; a stream is opened only on
// Stop -> Acquire and acquisition is started only on entering Run.
#include "capture/stream_state.h"

#include "board/acquisition.h"
#include "board/board.h"
#include "capture/capture_pin.h"
#include "capture/format_mapping.h"
#include "capture/frame_store.h"
#include "device/capture_device.h"
#include "device/settings.h"

namespace {

// The row of the size table a connected format shows: its own size, or for
// a padded packed-YUV format the row of the same height it pads, that is the
// widest one not wider than the format.
const PictureSize* ConnectedPictureSize(const KS_BITMAPINFOHEADER& bitmap) {
    static const LONG RowWidths[] = {704, 640, 576, 480, 352, 320, 288, 240};
    for (LONG width : RowWidths) {
        if (width <= bitmap.biWidth) {
            if (const PictureSize* size = FindPictureSize(width, bitmap.biHeight)) {
                return size;
            }
        }
    }
    return nullptr;
}

} // namespace

NTSTATUS ApplyConnectedFormat(CaptureDevice* device, PKS_VIDEOINFOHEADER format, ULONG channel) {
    if (channel >= ChannelCount) {
        DbgPrint("invalid channel!\n");
        return STATUS_SHARING_VIOLATION;
    }
    Board* board = device ? device->board : nullptr;
    if (!board || !format) {
        return STATUS_NO_SUCH_DEVICE;
    }
    // The open count is raised in the same step as format negotiation tests
    // it, and the channel is programmed from this stream's format alone.
    ModeChange change(board);
    if (InterlockedIncrement(&device->openCount[channel]) > 1) {
        InterlockedDecrement(&device->openCount[channel]);
        return STATUS_SHARING_VIOLATION;
    }
    if (Board::open(board, channel) != BoardOk) {
        InterlockedDecrement(&device->openCount[channel]);
        return STATUS_SHARING_VIOLATION;
    }
    device->currentFormat = format;

    ModeSettings mode;
    getMode(board, channel, &mode);
    const ModeSettings previous = mode;
    const KS_BITMAPINFOHEADER& bitmap = format->bmiHeader;

    // The orientation is this format's, whatever a pin of another filter
    // instance of the channel negotiated since.
    setTopDown(board, channel, bitmap.biHeight < 0 ? 1 : 0);
    const PictureSize* size = ConnectedPictureSize(bitmap);
    setRotate(board, channel, size ? size->rotate : 0);
    if (size) {
        mode.format = size->format;
        mode.scale = PictureSizeScale(size);
    }
    if (!ExactFrameInterval(mode.format, format->AvgTimePerFrame, &mode.fdec)) {
        DbgPrint("could not find a match for this time per frame %lld\n", format->AvgTimePerFrame);
    }

    ULONG compression = bitmap.biCompression;
    mode.color = ConnectedColor(compression, bitmap.biBitCount);
    if (mode.color == ColorJpeg) {
        mode.color = ColorJpegWord;
    }
    if (compression == FourCcRv24 || compression == FourCcRv32) {
        DbgPrint(bitmap.biBitCount == 32 ? "COLOR_RGB32\n" : "COLOR_RGB\n");
    } else if (mode.color == ColorRgb32 || mode.color == ColorRgb24) {
        DbgPrint(bitmap.biBitCount == 32 ? "Color RGB32\n" : "Color RGB\n");
    }

    ULONG fixedStandard = QueryParameter(L"FixedStandard");
    if (fixedStandard == FormatPal || fixedStandard == FormatNtsc) {
        mode.format = fixedStandard;
    }
    if (device->m_bColor[channel] == 0) {
        mode.color = (mode.color & ~0xFFu) | ColorMono;
    }
    DbgPrint("connected color %d, mode color %d, m_bColor: %d\n", device->connectedColor[channel],
             mode.color, device->m_bColor[channel]);

    if (mode.scale == previous.scale && mode.fdec == previous.fdec &&
        mode.color == previous.color && mode.format == previous.format) {
        return STATUS_SUCCESS;
    }
    if (mode.format != previous.format) {
        mode.restart = 1;
        DbgPrint("mode restart\n");
    }
    DbgPrint("scale: %x %x\n", previous.scale, mode.scale);
    DbgPrint("fdec: %x %x\n", previous.fdec, mode.fdec);
    DbgPrint("color: %x %x\n", previous.color, mode.color);
    DbgPrint("format: %x %x\n", previous.format, mode.format);
    setMode(board, channel, &mode);
    return STATUS_SUCCESS;
}

VOID CloseChannel(CaptureDevice* device, ULONG channel) {
    if (!device || channel >= ChannelCount) {
        return;
    }
    Board* board = device->board;
    if (!board) {
        device->currentFormat = nullptr;
        InterlockedDecrement(&device->openCount[channel]);
        return;
    }
    ULONG b = boardChannel(channel);
    bool acquiring = false;
    {
        // The count falls in one step with the board's open flag, against
        // the negotiation and stream starts that test and raise it.
        // Acquisition is stopped after the mutex is let go: the stop saves
        // the settings under settingsMutex.
        ModeChange change(board);
        device->currentFormat = nullptr;
        if (InterlockedDecrement(&device->openCount[channel]) != 0) {
            return;
        }
        KIRQL irql;
        KeAcquireSpinLock(&board->lock, &irql);
        if (board->channelOpen[b] == 0) {
            KeReleaseSpinLock(&board->lock, irql);
            DbgPrint("not open\n");
            return;
        }
        board->channelOpen[b] = 0;
        // The parser reads the flag under the lock as blocks come in.
        acquiring = board->acquiring[b] != 0;
        KeReleaseSpinLock(&board->lock, irql);
    }
    if (acquiring) {
        stopAcquisition(board, channel);
    }
    KIRQL irql;
    KeAcquireSpinLock(&board->lock, &irql);
    board->acquiring[b] = 0;
    KeReleaseSpinLock(&board->lock, irql);
}

NTSTATUS CapturePinSetDeviceState(PKSPIN pin, KSSTATE toState, KSSTATE fromState) {
    PinContext* context = GetPinContext(pin);
    context->device = GetCaptureDevice(KsPinGetDevice(pin));
    CaptureDevice* device = context->device;
    Board* board = device ? device->board : nullptr;
    ULONG n = context->channel;

    switch (toState) {
    case KSSTATE_STOP:
        if (context->runState != RunStateStopped) {
            stopAcquisition(board, n);
            context->runState = RunStateStopped;
        }
        if (context->clockHeld) {
            if (context->referenceClock) {
                context->referenceClock->Release();
                context->referenceClock = nullptr;
            }
            // No completed frame may wake a pin that is about to go away.
            setStreamPin(board, n, nullptr);
            CloseChannel(device, n);
            context->clockHeld = 0;
        }
        return STATUS_SUCCESS;

    case KSSTATE_ACQUIRE:
        if (fromState == KSSTATE_STOP) {
            NTSTATUS status = ApplyConnectedFormat(device, context->formatCopy, n);
            context->framesDelivered = 0;
            context->previewMode = QueryParameter(L"PreviewMode");
            if (!NT_SUCCESS(status)) {
                context->clockHeld = 0;
                return status;
            }
            // The channel's counters belong to the stream that has it: a
            // refused second stream leaves the running one's alone.
            device->droppedFrameCount[n] = 0;
            device->lastFrameNumber[n] = 0;
            context->clockHeld = 1;
            setStreamPin(board, n, pin);
            if (!NT_SUCCESS(KsPinGetReferenceClockInterface(pin, &context->referenceClock))) {
                context->referenceClock = nullptr;
            }
            return status;
        }
        if (context->runState != RunStateStopped) {
            stopAcquisition(board, n);
            context->runState = RunStateStopped;
        }
        return STATUS_SUCCESS;

    case KSSTATE_PAUSE:
        if (fromState == KSSTATE_RUN) {
            setPaused(board, n, 1);
            context->runState = RunStatePaused;
        }
        return STATUS_SUCCESS;

    case KSSTATE_RUN:
        if (context->runState == RunStatePaused) {
            setPaused(board, n, 0);
        } else {
            // A new start counts frames from 1 again, so do the deliveries
            // the drop count is measured against.
            context->framesDelivered = 0;
            startAcquisition(board, n);
        }
        context->runState = RunStateRunning;
        return STATUS_SUCCESS;
    }
    return STATUS_SUCCESS;
}

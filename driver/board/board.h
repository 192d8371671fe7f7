// Board: the driver's object for one capture board and its four channels.
//
// Two channel numberings meet here. Outside the Board a channel is numbered
// 0 to 3 by filter; the board, the wire and every per-channel array below use
// the board channel 3 - n. Board operations take channel numbers and convert
// them; nothing outside indexes these arrays with a channel number.
#pragma once

#include <wdm.h>
#include <ks.h>

#include "board/frame_ring.h"
#include "board/mode_settings.h"
#include "usb/read_request.h"

struct CaptureDevice;

constexpr ULONG BoardChannelCount = 4;

// Results of Board operations.
constexpr LONG BoardOk = 0;
constexpr LONG BoardRefused = -1;
constexpr LONG BoardWrongState = -2; // the request does not fit the channel's state

// Boards numbered 0 to 3 have picture positions in the registry.
constexpr ULONG BoardsWithPositions = 4;

// Relative time-out of the mode acknowledgement and status waits.
constexpr ULONG AnswerTimeoutMs = 900;

inline ULONG boardChannel(ULONG channel) {
    return 3 - channel;
}

struct Board {
    ULONG boardNumber;
    ULONG channelOpen[BoardChannelCount];
    // Guards the per-channel flags and the frame store; held for each whole
    // parser run. Never held across a wait, an allocation or a USB request.
    KSPIN_LOCK lock;
    KMUTEX settingsMutex; // held only around a save of the settings file
    // Serialises the USB controller's procedures (version, serial number,
    // EEPROM write and compare), so that two updates from different filters
    // never interleave their chunks. Never held with commandMutex or
    // settingsMutex.
    KMUTEX controllerMutex;
    // The owner of every channel's mode. Whoever reads a channel's mode to
    // edit and send it (the controls, filter creation's standard alignment,
    // format negotiation, the start of a stream) holds this mutex from the
    // copy to the send, and so do the decisions that say who may do so: the
    // channel's open count as a stream start raises it and as format
    // negotiation tests it, the orientation flags, and the pin count as pin
    // creation raises it and the standard set tests it. So a change is never
    // undone by another's stale copy, and while a stream has its channel open
    // only that stream's own pin changes what the channel does: a pin of
    // another filter instance is refused, filter creation leaves the mode
    // alone, and while any pin of the channel exists (from the SetDataFormat
    // of its creation until its object bag is freed) the standard stays.
    // Lock order: the class's filter control mutex, then this mutex, then a
    // firmware reload (claimed or waited for; a stream start waits for one
    // without this mutex), then `lock` or the device's commandMutex. Never taken with
    // controllerMutex or settingsMutex held, and acquisition stop (which saves the settings under
    // settingsMutex) never runs with it held.
    KMUTEX controlsMutex;
    CaptureDevice* device;
    ReadRequest readRequests[ReadRequestCount];
    FrameRing frameRings[BoardChannelCount];
    ModeSettings modes[BoardChannelCount]; // also the settings file, in this order
    ULONG modeValid[BoardChannelCount];
    LONG currentBuffer[BoardChannelCount];
    ULONG acquiring[BoardChannelCount];
    // The device's firmwareEpoch the channel's last CMD_START went to;
    // written and read under commandMutex. A bring-back starts again only
    // the channels whose start an older firmware took, never one a start
    // has just reached.
    ULONG startEpoch[BoardChannelCount];
    ULONG rxChannel;
    ULONG rxNeedHeader;
    ULONG expectedFrameSize[BoardChannelCount];
    LONG frameSize[BoardChannelCount];
    ULONG compressedSize[BoardChannelCount];
    ULONG badPayloadCount[BoardChannelCount];
    // Partial frames given up because a new header of the channel arrived
    // before they were complete; frame numbers cannot show these, since they
    // count completed frames only.
    ULONG abandonedFrameCount[BoardChannelCount];
    ULONG buffersAllocated[BoardChannelCount];
    ULONG framesTotal;
    ULONG frameCount[BoardChannelCount];
    PKSPIN pin[BoardChannelCount];
    ULONG modeAck[BoardChannelCount];
    ULONG firmwareReadyMask;
    ULONG paused[BoardChannelCount];
    FrameQueue frameQueues[BoardChannelCount];
    ULONG statusValue[BoardChannelCount];
    ULONG boardVersion;
    PKEVENT reloadDone;
    // Power-downs and the firmware reload. Leaving D0 for D2 or D3 cuts the
    // board's power: it loses its firmware, every channel's mode and its
    // acquisitions. markPoweredDown sets poweredDown and counts powerDowns;
    // the next open or set-mode reloads the firmware first. A reload notes
    // powerDowns when it starts and clears poweredDown only when no other
    // power-down has come while it ran, so a power-down that arrives during
    // a reload is not lost: the next open, set-mode or bring-back reloads
    // again. loadedAfter is the powerDowns a successful reload started at:
    // the board holds firmware when it equals powerDowns. All four, and
    // `reloading`, change only under `lock`.
    //
    // Every reload brings the board back: once the firmware runs, and while
    // the reload is still claimed (so that no set-mode stores a mode
    // meanwhile), every channel whose stored mode is valid gets it again
    // with `restart` (the board lost them, whatever the pin's state), then
    // every acquiring channel gets CMD_START. The frame count, `paused` and
    // the frame queue stay as they are, so a stream goes on numbering from
    // its last frame before the sleep; Pause to Run only clears `paused`,
    // whichever of the two comes first. The return to D0 starts it at once
    // when any channel is open, in a thread of its own that holds
    // controlsMutex around it; otherwise the next open or set-mode does.
    ULONG poweredDown;
    ULONG powerDowns;
    ULONG loadedAfter;
    // One reload per power-down: the first open or set-mode that finds the
    // board powered down sets this under `lock` and reloads; the others find
    // it set and wait for reloadFinished instead of power-cycling the board
    // again, which would wipe a mode the first one has just sent.
    ULONG reloading;
    KEVENT reloadFinished; // notification; signalled whenever no reload runs
    // The bring-back runs in a system thread of its own, one at a time.
    // bringBackRunning: a thread runs or is being started; bringBackAgain:
    // another return to D0 came while it ran, so it runs once more. Both
    // under `lock`. A failed bring-back marks the board powered down again,
    // so that the next open or set-mode reloads and restores. bringBackIdle (notification) is
    // signalled while none runs; device stop waits for it. bringBackThread
    // is the latest thread's object, written by its starter and taken by
    // the next starter or device stop; starters (SetPower, channel open) and
    // device stop never run at once, as the PnP manager vetoes a stop while
    // a filter is open.
    ULONG bringBackRunning;
    ULONG bringBackAgain;
    KEVENT bringBackIdle;
    PVOID bringBackThread;
    ULONG topDown[BoardChannelCount];
    ULONG rotate[BoardChannelCount];

    // Device start: builds the board with its channels' modes (settings file
    // or registry defaults), read requests and frame memory, and initialises
    // the CaptureDevice's protocol events and command mutex. Null when memory
    // is short.
    static Board* create(CaptureDevice* device);

    // Marks a channel open for a stream; reloads the firmware first after a
    // power-down. BoardRefused for a bad channel, no board, or an open channel.
    static LONG open(Board* board, ULONG channel);

    // Frees everything the board owns. The caller has stopped acquisition on
    // every channel and the read pipe.
    static void destroy(Board* board);
};

LONG markPoweredDown(Board* board);

// The return to D0: starts the bring-back (above) when any channel is open
// and returns at once; opens, set-modes and controls wait for its reload
// and its modes on their own locks. Takes no filter's control mutex.
void bringBackAfterPowerUp(Board* board);

// Waits until no bring-back runs and its thread has left. Device stop.
void waitForBringBack(Board* board);

// Waits until no firmware reload runs (one that starts later is not waited
// for). A stream start does, so that it never reaches a new firmware before
// the reload has given the channels their modes back.
void awaitReload(Board* board);

// Copies the stored mode; BoardRefused (with the copy made) until a set-mode
// has stored one, or (without a copy) for a bad channel.
LONG getMode(Board* board, ULONG channel, ModeSettings* mode);

// Stores the mode and sends it to the board, waiting for the acknowledgement
// when restart is set. The caller's record comes back as sent (block size,
// positions, reserved words). 0, BoardRefused, or DownloadBuffer's failure.
LONG setMode(Board* board, ULONG channel, ModeSettings* mode);

LONG freeChannelBuffers(Board* board, ULONG channel);

// Picture orientation of the connected format, set by format negotiation and
// the start of a stream under controlsMutex, and read by frame delivery
// while the channel streams. The setters return BoardRefused without a board.
LONG setTopDown(Board* board, ULONG channel, ULONG flag);
LONG setRotate(Board* board, ULONG channel, ULONG flag);
ULONG getTopDown(Board* board, ULONG channel);
ULONG getRotate(Board* board, ULONG channel);

// Holds a kernel mutex for a scope.
class MutexHold {
public:
    explicit MutexHold(PKMUTEX mutex) : mutex_(mutex) {
        KeWaitForSingleObject(mutex_, Executive, KernelMode, FALSE, nullptr);
    }
    ~MutexHold() { KeReleaseMutex(mutex_, FALSE); }
    MutexHold(const MutexHold&) = delete;
    MutexHold& operator=(const MutexHold&) = delete;

private:
    PKMUTEX mutex_;
};

// Holds the board's controlsMutex for a scope: see Board::controlsMutex.
class ModeChange : private MutexHold {
public:
    explicit ModeChange(Board* board) : MutexHold(&board->controlsMutex) {}
};

// Number of boards currently up.
extern volatile LONG BoardCounter;

// Gives the board's number back when its device stops.
void releaseBoardNumber(Board* board);

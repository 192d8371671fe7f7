// Acquisition control: a channel delivers frames only between a start and a
// stop. Start resets the channel's frame bookkeeping and sends CMD_START;
// stop saves the board's settings, sends CMD_STOP and frees the channel's
// frame ring. The same command path asks the board for its status.
#pragma once

#include <wdm.h>

struct Board;

// 0, BoardRefused (bad channel, no packet memory) or BoardWrongState
// (already acquiring). A command the board did not take is logged only.
LONG startAcquisition(Board* board, ULONG channel);

// 0, BoardRefused (bad channel, no packet memory) or BoardWrongState (the
// channel is not acquiring). The settings file is saved in every case with a
// valid channel.
LONG stopAcquisition(Board* board, ULONG channel);

// After the board has lost its power: sends CMD_START again when the channel
// is acquiring and its last start went to an earlier firmware, and changes
// nothing of its frame bookkeeping, so the stream goes on where it stopped.
// BoardWrongState when there is nothing to start, BoardRefused for a bad
// channel or no packet memory.
LONG resumeAcquisition(Board* board, ULONG channel);

enum class StatusOutcome {
    Answered,    // *version holds the board's version word
    NotAnswered, // no status answer within the wait
    NotSent,     // no packet memory, or the command did not go out
};

// Sends CMD_STATUS and waits up to 900 ms for the answer.
StatusOutcome queryStatus(Board* board, PULONG version);

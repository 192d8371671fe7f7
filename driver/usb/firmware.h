// Firmware download and power cycling. The board runs from firmware the
// driver sends it at every start and after every power-down: the image file
// goes out whole on the command pipe after a power cycle, and the board
// answers on the stream pipe with one ready block per channel.
#pragma once

#include <wdm.h>

struct CaptureDevice;

// Attempts a download at most this many times, each after a power cycle.
constexpr ULONG FirmwareAttempts = 6;

// STATUS_SUCCESS, or STATUS_UNSUCCESSFUL on any failure. Once the image has
// been read the read pipe is running on return, whatever the outcome.
NTSTATUS LoadFirmware(CaptureDevice* device);

// Stops the command and stream pipes and power-cycles the board with three
// vendor requests. Their results are not looked at: a board that ignores
// them shows only by not answering the download. Always 0.
NTSTATUS CyclePower(CaptureDevice* device);

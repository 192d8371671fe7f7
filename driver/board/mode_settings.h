// ModeSettings: one channel's capture mode, and the command packet that
// carries it (and every other command) to the board.
//
// The same 84 bytes are kept in the Board, sent in the set-mode command and
// written to the board's settings file, so the layout is fixed.
#pragma once

#include <wdm.h>

struct ModeSettings {
    ULONG format; // 1 NTSC, 2 PAL
    ULONG scale;  // 1 full frame, 2 one field, 3 half width one field, 4 full (deinterlaced)
    ULONG color;  // low byte: colour code; MJPG travels as the whole word 0x3205
    ULONG fdec;   // the board delivers every fdec-th frame
    ULONG bright;
    ULONG contrast;
    ULONG saturation;
    ULONG hue;
    ULONG single;
    ULONG usbblock; // transfer block size; sent as 0x4000 with restart
    ULONG restart;  // 1: the board acknowledges and set-mode waits for it
    LONG xoffset;   // -10 .. 10
    LONG yoffset;   // -4 .. 4
    ULONG reserved[8];
};
static_assert(sizeof(ModeSettings) == 84, "ModeSettings is 21 words on the wire and on disk");

constexpr ULONG FormatNtsc = 1;
constexpr ULONG FormatPal = 2;

// Colour codes (low byte of ModeSettings::color).
constexpr ULONG ColorPlanarYuv = 1;
constexpr ULONG ColorPackedYuv = 2;
constexpr ULONG ColorRgb24 = 3;
constexpr ULONG ColorMono = 4;
constexpr ULONG ColorJpeg = 5;
constexpr ULONG ColorJpegWord = 0x3205;
constexpr ULONG ColorRgb32 = 15;

constexpr ULONG UsbBlockDefault = 0x1000;
constexpr ULONG UsbBlockRestart = 0x4000;

// Command packet: 512 bytes on the command pipe.
constexpr ULONG CommandPacketSize = 512;
constexpr ULONG CommandMagic = 0x4350C0DE;
constexpr ULONG CMD_SET_MODE = 0xC4350010;
constexpr ULONG CMD_START = 0xC4350020;
constexpr ULONG CMD_STOP = 0xC4350030;
constexpr ULONG CMD_STATUS = 0xC4350040;
// Channel-less commands name this board channel.
constexpr ULONG CommandDefaultBoardChannel = 3;

struct CommandPacket {
    ULONG magic;
    ULONG boardChannel;
    ULONG command;
    ModeSettings payload; // CMD_SET_MODE only
    UCHAR unused[CommandPacketSize - 12 - sizeof(ModeSettings)];
};
static_assert(sizeof(CommandPacket) == CommandPacketSize, "a command is one 512-byte packet");
static_assert(FIELD_OFFSET(CommandPacket, payload) == 12, "the payload follows the header");

// Answers of the board inside the stream: marker, board channel, type, and
// for a status the status value and the version word.
constexpr ULONG ResponseMarker = 0x4350ACAC;
constexpr ULONG ResponseModeAck = 0x01;
constexpr ULONG ResponseReady = 0x10;
constexpr ULONG ResponseStatus = 0x20;

// The default record before the registry adjusts it.
ModeSettings DefaultModeSettings(ULONG format);

// Picture size of a mode; any combination outside the table counts as
// 640 x 240.
void modePictureSize(const ModeSettings* mode, ULONG* width, ULONG* height);

// Bytes one frame of the mode occupies in the stream: image plus the 512-byte
// header, rounded up to whole 16384-byte reads. 0 without a record.
ULONG frameBytes(const ModeSettings* mode);

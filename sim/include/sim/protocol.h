// The board's side of the wire: vendor requests, command packets, answer
// blocks and frame headers, as the m4350av driver sends and expects them.
// Every multi-byte value on the wire is little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace m4350::sim {

// Endpoints of the board's one interface: pipe 0 carries the firmware image
// and the command packets, pipe 1 everything the board sends.
inline constexpr uint8_t kCommandEndpoint = 0x01;
inline constexpr uint8_t kStreamEndpoint = 0x81;
inline constexpr uint16_t kHighSpeedBulkPacket = 512;
inline constexpr uint16_t kFullSpeedBulkPacket = 64;

// Vendor requests on the default pipe.
inline constexpr uint8_t kVendorHoldReset = 0x40; // value 1 holds the video processor in reset
inline constexpr uint8_t kVendorPowerCycle = 0x50;
inline constexpr uint8_t kVendorReleaseReset = 0x10;
inline constexpr uint8_t kVendorControllerVersion = 0x30;
inline constexpr uint8_t kVendorEepromRead = 0x22;
inline constexpr uint8_t kVendorEepromWrite = 0x23;
inline constexpr uint16_t kEepromDeviceValue = 0x51;
inline constexpr uint32_t kEepromSize = 8192;
inline constexpr uint32_t kSerialRecordAddress = 0x1FF0;
inline constexpr uint32_t kSerialRecordSize = 16;

// Command packets (pipe 0).
inline constexpr uint32_t kCommandPacketSize = 512;
inline constexpr uint32_t kCommandMagic = 0x4350C0DE;
inline constexpr uint32_t CMD_SET_MODE = 0xC4350010;
inline constexpr uint32_t CMD_START = 0xC4350020;
inline constexpr uint32_t CMD_STOP = 0xC4350030;
inline constexpr uint32_t CMD_STATUS = 0xC4350040;
inline constexpr uint32_t kModeOffset = 12; // ModeSettings payload of CMD_SET_MODE

// Answer blocks (pipe 1).
inline constexpr uint32_t kResponseMarker = 0x4350ACAC;
inline constexpr uint32_t kResponseModeAck = 0x01;
inline constexpr uint32_t kResponseChannelReady = 0x10;
inline constexpr uint32_t kResponseStatus = 0x20;
inline constexpr uint32_t kStatusChannel = 3; // the status answer always names board channel 3

// Frames (pipe 1): a 512-byte header, the raw image, padding up to the mode's
// transfer size. Every frame and every answer starts a fresh stream block.
inline constexpr uint32_t kFrameMarker = 0x4350DA4A;
inline constexpr uint32_t kFrameHeaderSize = 512;
inline constexpr uint32_t kStreamBlockSize = 16384;
inline constexpr uint32_t kBoardChannels = 4;

// Frame header words (byte offsets).
inline constexpr size_t kHeaderMarker = 0;
inline constexpr size_t kHeaderChannel = 4;
inline constexpr size_t kHeaderFrameNumber = 8; // ours: the channel's frame counter
inline constexpr size_t kHeaderFrameSize = 12;  // header included
inline constexpr size_t kHeaderCompressedSize = 16;
inline constexpr size_t kHeaderColor = 20; // ours: the mode's colour word

inline uint32_t LoadLe32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline void StoreLe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

} // namespace m4350::sim

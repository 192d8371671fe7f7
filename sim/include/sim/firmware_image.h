// The firmware image format the board model boots from. The driver treats
// the image as opaque bytes; the board checks it, so that a damaged or
// foreign file really fails to boot.
//
// Layout (little-endian):
//   0  u32  magic 0x57463458 ("X4FW")
//   4  u16  format version (1)
//   6  u16  header size (32)
//   8  u32  payload size in bytes
//  12  u32  firmware version: reported in the status answer's version word
//  16  u32  CRC-32 of the payload
//  20  u32  CRC-32 of header bytes 0..19
//  24  8 bytes reserved, zero
//  32  payload
// Anything after the payload (the transfer is padded to 512-byte packets) is
// ignored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace m4350::sim {

inline constexpr uint32_t kFirmwareMagic = 0x57463458;
inline constexpr uint16_t kFirmwareFormatVersion = 1;
inline constexpr uint16_t kFirmwareHeaderSize = 32;
inline constexpr uint32_t kDefaultFirmwareVersion = 0x00010203;
inline constexpr size_t kDefaultFirmwarePayload = 12 * 1024;

enum class FirmwareCheck {
    Ok,
    TooShort,         // fewer bytes than a header
    BadMagic,         // not one of our images
    BadFormatVersion, // a format this board does not know
    BadHeaderCrc,     // header damaged
    Truncated,        // the payload does not fit in what arrived
    BadPayloadCrc,    // payload damaged
};

const char* ToString(FirmwareCheck check);

struct FirmwareInfo {
    uint32_t version = 0;
    uint32_t payloadSize = 0;
};

uint32_t Crc32(const uint8_t* data, size_t size, uint32_t crc = 0);

// A valid image: the payload is a deterministic byte pattern from `seed`.
std::vector<uint8_t> BuildFirmwareImage(uint32_t version = kDefaultFirmwareVersion,
                                        size_t payloadSize = kDefaultFirmwarePayload,
                                        uint32_t seed = 1);

FirmwareCheck CheckFirmwareImage(const uint8_t* data, size_t size, FirmwareInfo* info = nullptr);

// Writes a valid image to `path`; false with `error` set when the file cannot
// be written.
bool WriteFirmwareFile(const std::string& path, std::string* error,
                       uint32_t version = kDefaultFirmwareVersion,
                       size_t payloadSize = kDefaultFirmwarePayload);

// Writes a valid image where the driver loads it from:
// <system root>/system32/drivers/f4350usb.bin. Returns the path, or an empty
// string with `error` set.
std::string InstallFirmwareFile(std::string* error, uint32_t version = kDefaultFirmwareVersion,
                                size_t payloadSize = kDefaultFirmwarePayload);

} // namespace m4350::sim

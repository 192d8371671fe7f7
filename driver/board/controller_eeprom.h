// The board's USB controller: its firmware version, the serial number record
// at the top of its EEPROM, and writing and verifying EEPROM contents. All of
// it goes over vendor requests on the default control pipe, never on the
// command or stream pipes, so it may run beside streaming.
//
// The four procedures are serialised per board by the board's
// controllerMutex: two EEPROM updates sent from different filters at once
// would otherwise interleave their chunks, and a serial number read could see
// a half-written record. Passive level only.
#pragma once

#include <wdm.h>

struct Board;

// Vendor requests of the controller.
constexpr UCHAR VendorControllerVersion = 0x30;
constexpr UCHAR VendorEepromRead = 0x22;
constexpr UCHAR VendorEepromWrite = 0x23;
// The EEPROM's device address, sent as the request value (and, for writes,
// as the index).
constexpr USHORT EepromDeviceAddress = 0x51;

// EEPROM blocks start at address 0 and move in chunks of this many bytes.
constexpr ULONG EepromChunkBytes = 8;
constexpr ULONG EepromBlockBytes = 8192;

// The serial number record: signature AA BB CC DD, then at bytes 12 to 15 the
// serial number, most significant byte first.
constexpr USHORT SerialRecordAddress = 0x1FF0;
constexpr ULONG SerialRecordBytes = 16;

// TRUE with the version (byte 0 + 256 x byte 1); FALSE with 0 when the
// request failed.
BOOLEAN readControllerVersion(Board* board, PULONG version);

// 0 with the serial number; BoardRefused (-1) with 0 when the record has no
// signature byte, no board, or the failing transfer's result.
LONG readSerialNumber(Board* board, PULONG serial);

// Writes length bytes (at most 8192) from EEPROM address 0 on. Every chunk
// is attempted; failures are logged only.
VOID writeEeprom(Board* board, const UCHAR* data, ULONG length);

// Reads length bytes back and compares them: 0 equal, BoardRefused (-1)
// different (or no board, a length above 8192, no read buffer), or the
// first failing transfer's result.
LONG compareEeprom(Board* board, const UCHAR* data, ULONG length);

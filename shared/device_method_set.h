// The device's own method set: what the driver's method handlers and the
// configuration plug-in agree on, byte for byte.
//
// The plug-in sends every call as one IOCTL_KS_METHOD request whose single
// buffer is both the method buffer and the data buffer, with its full length
// as both lengths; the driver fills it in place. Every request therefore
// starts with the KSMETHOD header (set, id, KSMETHOD_TYPE_MODIFY) and carries
// its own fields after it. The layouts are fixed by the wire, not by the
// compiler: each size and offset is asserted below, and the same asserts hold
// against the Windows headers.
//
// Kernel code: only <ks.h>-level types, no library headers.
#pragma once

#include <ks.h>

// {C9C5121F-0B7F-4694-9090-2177D03A0720}. The plug-in's class has the same
// GUID as its CLSID, which is how the streaming proxy finds it for a filter
// that carries this set.
#define STATIC_DeviceMethodSet                                                                     \
    0xC9C5121F, 0x0B7F, 0x4694, {0x90, 0x90, 0x21, 0x77, 0xD0, 0x3A, 0x07, 0x20}
inline constexpr GUID DeviceMethodSet = {STATIC_DeviceMethodSet};

// Method ids. The numbering has gaps; ids 2 to 4 are not part of the set.
enum DeviceMethodId : ULONG {
    DEVICE_METHOD_SET_ATTRIBUTE = 0,
    DEVICE_METHOD_GET_ATTRIBUTE = 1,
    DEVICE_METHOD_UPDATE_EEPROM = 5,
    DEVICE_METHOD_VERIFY_EEPROM = 6,
    DEVICE_METHOD_GET_VERSION = 7,
    DEVICE_METHOD_GET_SERIAL = 8,
};

// The flags word every request carries: the data buffer is read and written.
inline constexpr ULONG DeviceMethodFlags = KSMETHOD_TYPE_MODIFY;

// Attribute ids of set and get attribute. All but the fixed standard are
// words of the channel's mode; format and color changes restart the channel.
enum DeviceAttributeId : ULONG {
    DEVICE_ATTRIBUTE_FORMAT = 0,
    DEVICE_ATTRIBUTE_COLOR = 2,
    DEVICE_ATTRIBUTE_BRIGHT = 4,
    DEVICE_ATTRIBUTE_CONTRAST = 5,
    DEVICE_ATTRIBUTE_SATURATION = 6,
    DEVICE_ATTRIBUTE_HUE = 7,
    // The registry's fixed video standard: 0 not fixed, 1 NTSC, 2 PAL.
    DEVICE_ATTRIBUTE_FIXED_STANDARD = 100,
};

// Result words of set and get attribute.
inline constexpr LONG DeviceAttributeDone = 0;
inline constexpr LONG DeviceAttributeUnknown = -1;

// GetVersion selectors; any other selector answers 0.
enum DeviceVersionSelector : ULONG {
    DEVICE_VERSION_CONTROLLER = 0, // the USB controller's firmware version
    DEVICE_VERSION_BOARD = 1,      // the board's version word from a status answer
    DEVICE_VERSION_DRIVER = 2,     // DeviceDriverVersion
    DEVICE_VERSION_INTERFACE = 3,  // DeviceInterfaceVersion
};
inline constexpr ULONG DeviceDriverVersion = 0x0001004B;
inline constexpr ULONG DeviceInterfaceVersion = 0x00010001;

// EEPROM requests carry this magic; any other fails the request with the
// status below and nothing reaches the EEPROM.
inline constexpr ULONG DeviceEepromMagic = 43501;
inline constexpr ULONG DeviceEepromDataSize = 8192;
inline constexpr NTSTATUS DeviceEepromBadMagicStatus = (NTSTATUS)0xFFFFFFFF;

// Result words of an EEPROM verify: 0 equal, -1 different or refused, any
// other value the failing transfer's result.
inline constexpr LONG DeviceEepromVerifyEqual = 0;
inline constexpr LONG DeviceEepromVerifyFailed = -1;

// Ids 0 and 1. Channel is the filter's channel number + 1 (1 to 4). Set reads
// Value and writes Result; get writes Value (only for a known attribute) and
// Result.
typedef struct {
    KSMETHOD Method;
    ULONG Channel;
    ULONG Attribute;
    LONG Value;
    LONG Result;
} DEVICE_ATTRIBUTE_REQUEST, *PDEVICE_ATTRIBUTE_REQUEST;

// Id 5. Length bytes of Data are written from EEPROM address 0 on.
typedef struct {
    KSMETHOD Method;
    ULONG Magic;
    UCHAR Data[DeviceEepromDataSize];
    ULONG Length;
} DEVICE_EEPROM_UPDATE_REQUEST, *PDEVICE_EEPROM_UPDATE_REQUEST;

// Id 6: the update layout followed by the result word.
typedef struct {
    KSMETHOD Method;
    ULONG Magic;
    UCHAR Data[DeviceEepromDataSize];
    ULONG Length;
    LONG Result;
    ULONG Reserved;
} DEVICE_EEPROM_VERIFY_REQUEST, *PDEVICE_EEPROM_VERIFY_REQUEST;

// Id 7.
typedef struct {
    KSMETHOD Method;
    ULONG Selector;
    ULONG Version;
} DEVICE_VERSION_REQUEST, *PDEVICE_VERSION_REQUEST;

// Id 8.
typedef struct {
    KSMETHOD Method;
    ULONG SerialNumber;
    ULONG Reserved;
} DEVICE_SERIAL_REQUEST, *PDEVICE_SERIAL_REQUEST;

static_assert(sizeof(KSMETHOD) == 24, "method header");

static_assert(sizeof(DEVICE_ATTRIBUTE_REQUEST) == 40, "attribute request size");
static_assert(FIELD_OFFSET(DEVICE_ATTRIBUTE_REQUEST, Channel) == 24, "attribute channel");
static_assert(FIELD_OFFSET(DEVICE_ATTRIBUTE_REQUEST, Attribute) == 28, "attribute id");
static_assert(FIELD_OFFSET(DEVICE_ATTRIBUTE_REQUEST, Value) == 32, "attribute value");
static_assert(FIELD_OFFSET(DEVICE_ATTRIBUTE_REQUEST, Result) == 36, "attribute result");

static_assert(sizeof(DEVICE_EEPROM_UPDATE_REQUEST) == 8224, "EEPROM update size");
static_assert(FIELD_OFFSET(DEVICE_EEPROM_UPDATE_REQUEST, Magic) == 24, "EEPROM update magic");
static_assert(FIELD_OFFSET(DEVICE_EEPROM_UPDATE_REQUEST, Data) == 28, "EEPROM update data");
static_assert(FIELD_OFFSET(DEVICE_EEPROM_UPDATE_REQUEST, Length) == 8220, "EEPROM update length");

static_assert(sizeof(DEVICE_EEPROM_VERIFY_REQUEST) == 8232, "EEPROM verify size");
static_assert(FIELD_OFFSET(DEVICE_EEPROM_VERIFY_REQUEST, Magic) == 24, "EEPROM verify magic");
static_assert(FIELD_OFFSET(DEVICE_EEPROM_VERIFY_REQUEST, Data) == 28, "EEPROM verify data");
static_assert(FIELD_OFFSET(DEVICE_EEPROM_VERIFY_REQUEST, Length) == 8220, "EEPROM verify length");
static_assert(FIELD_OFFSET(DEVICE_EEPROM_VERIFY_REQUEST, Result) == 8224, "EEPROM verify result");

static_assert(sizeof(DEVICE_VERSION_REQUEST) == 32, "version request size");
static_assert(FIELD_OFFSET(DEVICE_VERSION_REQUEST, Selector) == 24, "version selector");
static_assert(FIELD_OFFSET(DEVICE_VERSION_REQUEST, Version) == 28, "version word");

static_assert(sizeof(DEVICE_SERIAL_REQUEST) == 32, "serial request size");
static_assert(FIELD_OFFSET(DEVICE_SERIAL_REQUEST, SerialNumber) == 24, "serial number");

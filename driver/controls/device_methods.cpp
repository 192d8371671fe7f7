#include "controls/device_methods.h"

#include "board/acquisition.h"
#include "board/board.h"
#include "board/controller_eeprom.h"
#include "controls/control_request.h"
#include "device/capture_device.h"
#include "device/settings.h"
#include "shared/device_method_set.h"

namespace {

Board* BoardOfRequest(PIRP irp) {
    PKSFILTER filter = KsGetFilterFromIrp(irp);
    CaptureDevice* device = filter ? GetCaptureDevice(KsFilterGetDevice(filter)) : nullptr;
    return device ? device->board : nullptr;
}

void ReportBytes(PIRP irp, ULONG bytes) {
    irp->IoStatus.Information = bytes;
}

// The mode word an attribute names; null for the fixed standard and for
// attributes that are not in the set.
ULONG* AttributeField(ModeSettings* mode, ULONG attribute) {
    switch (attribute) {
    case DEVICE_ATTRIBUTE_FORMAT:
        return &mode->format;
    case DEVICE_ATTRIBUTE_COLOR:
        return &mode->color;
    case DEVICE_ATTRIBUTE_BRIGHT:
        return &mode->bright;
    case DEVICE_ATTRIBUTE_CONTRAST:
        return &mode->contrast;
    case DEVICE_ATTRIBUTE_SATURATION:
        return &mode->saturation;
    case DEVICE_ATTRIBUTE_HUE:
        return &mode->hue;
    default:
        return nullptr;
    }
}

bool ChannelInRange(ULONG channel) {
    return channel >= 1 && channel <= ChannelCount;
}

} // namespace

NTSTATUS SetAttributeMethod(PIRP irp, PKSIDENTIFIER, PVOID data) {
    auto* request = static_cast<PDEVICE_ATTRIBUTE_REQUEST>(data);
    if (!ChannelInRange(request->Channel)) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG channel = request->Channel - 1;
    if (request->Attribute == DEVICE_ATTRIBUTE_FIXED_STANDARD) {
        // Takes effect wherever the value is read next; nothing is sent, and
        // the returned length stays as the class preset it.
        WriteFixedStandard(ULONG(request->Value));
        request->Result = DeviceAttributeDone;
        return STATUS_SUCCESS;
    }
    Board* board = BoardOfRequest(irp);
    if (!board) {
        return STATUS_NOT_SUPPORTED;
    }
    ModeChange change(board);
    ModeSettings mode = {};
    getMode(board, channel, &mode);
    mode.restart = 0;
    ULONG* field = AttributeField(&mode, request->Attribute);
    if (!field) {
        request->Result = DeviceAttributeUnknown;
        ReportBytes(irp, sizeof(DEVICE_ATTRIBUTE_REQUEST));
        return STATUS_SUCCESS;
    }
    // A standard or pixel format change is acknowledged by the board before
    // the next command; picture controls are not.
    if (request->Attribute == DEVICE_ATTRIBUTE_FORMAT ||
        request->Attribute == DEVICE_ATTRIBUTE_COLOR) {
        mode.restart = 1;
    }
    *field = ULONG(request->Value);
    request->Result = DeviceAttributeDone;
    // A failed send is logged by setMode and not reported.
    setMode(board, channel, &mode);
    ReportBytes(irp, sizeof(DEVICE_ATTRIBUTE_REQUEST));
    return STATUS_SUCCESS;
}

NTSTATUS GetAttributeMethod(PIRP irp, PKSIDENTIFIER, PVOID data) {
    auto* request = static_cast<PDEVICE_ATTRIBUTE_REQUEST>(data);
    if (!ChannelInRange(request->Channel)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (request->Attribute == DEVICE_ATTRIBUTE_FIXED_STANDARD) {
        ULONG fixed = QueryParameter(L"FixedStandard");
        DbgPrint("get reg fixed standard %d\n", fixed);
        request->Value = LONG(fixed);
        request->Result = DeviceAttributeDone;
        ReportBytes(irp, sizeof(DEVICE_ATTRIBUTE_REQUEST));
        return STATUS_SUCCESS;
    }
    Board* board = BoardOfRequest(irp);
    if (!board) {
        return STATUS_NOT_SUPPORTED;
    }
    ModeSettings mode = {};
    getMode(board, request->Channel - 1, &mode);
    ULONG* field = AttributeField(&mode, request->Attribute);
    if (field) {
        request->Value = LONG(*field);
        request->Result = DeviceAttributeDone;
    } else {
        // The value word keeps what the caller put there.
        request->Result = DeviceAttributeUnknown;
    }
    ReportBytes(irp, sizeof(DEVICE_ATTRIBUTE_REQUEST));
    return STATUS_SUCCESS;
}

NTSTATUS UpdateEepromMethod(PIRP irp, PKSIDENTIFIER, PVOID data) {
    auto* request = static_cast<PDEVICE_EEPROM_UPDATE_REQUEST>(data);
    DbgPrint("update fx2 %ld, len %d\n", request->Magic, request->Length);
    if (request->Magic != DeviceEepromMagic) {
        return DeviceEepromBadMagicStatus;
    }
    // The data field holds 8192 bytes: more would be read past the request.
    if (request->Length > DeviceEepromDataSize) {
        return STATUS_INVALID_PARAMETER;
    }
    DbgPrint("update fx2\n");
    if (Board* board = BoardOfRequest(irp)) {
        writeEeprom(board, request->Data, request->Length);
        DbgPrint("write eeprom ending\n");
    }
    // Failed chunks are logged; verifying is the caller's way to find out.
    ReportBytes(irp, sizeof(DEVICE_EEPROM_UPDATE_REQUEST));
    return STATUS_SUCCESS;
}

NTSTATUS VerifyEepromMethod(PIRP irp, PKSIDENTIFIER, PVOID data) {
    auto* request = static_cast<PDEVICE_EEPROM_VERIFY_REQUEST>(data);
    DbgPrint("verify fx2 %ld, len %d\n", request->Magic, request->Length);
    if (request->Magic != DeviceEepromMagic) {
        return DeviceEepromBadMagicStatus;
    }
    DbgPrint("verify fx2\n");
    Board* board = BoardOfRequest(irp);
    if (request->Length > DeviceEepromDataSize || !board) {
        request->Result = DeviceEepromVerifyFailed;
    } else {
        request->Result = compareEeprom(board, request->Data, request->Length);
    }
    ReportBytes(irp, sizeof(DEVICE_EEPROM_VERIFY_REQUEST));
    return STATUS_SUCCESS;
}

NTSTATUS GetVersionMethod(PIRP irp, PKSIDENTIFIER, PVOID data) {
    auto* request = static_cast<PDEVICE_VERSION_REQUEST>(data);
    DbgPrint("GetVersion %d\n", request->Selector);
    Board* board = BoardOfRequest(irp);
    ULONG version = 0;
    switch (request->Selector) {
    case DEVICE_VERSION_CONTROLLER:
        readControllerVersion(board, &version);
        break;
    case DEVICE_VERSION_BOARD:
        if (queryStatus(board, &version) != StatusOutcome::Answered) {
            version = 0;
        }
        break;
    case DEVICE_VERSION_DRIVER:
        version = DeviceDriverVersion;
        break;
    case DEVICE_VERSION_INTERFACE:
        version = DeviceInterfaceVersion;
        break;
    default:
        break;
    }
    request->Version = version;
    ReportBytes(irp, sizeof(DEVICE_VERSION_REQUEST));
    return STATUS_SUCCESS;
}

NTSTATUS GetSerialMethod(PIRP irp, PKSIDENTIFIER, PVOID data) {
    auto* request = static_cast<PDEVICE_SERIAL_REQUEST>(data);
    DbgPrint("GetSerial\n");
    DbgPrint("get serial\n");
    request->SerialNumber = 0;
    ULONG serial = 0;
    LONG result = readSerialNumber(BoardOfRequest(irp), &serial);
    if (result == BoardOk) {
        request->SerialNumber = serial;
    } else {
        DbgPrint("get serial failed %d\n", result);
    }
    ReportBytes(irp, sizeof(DEVICE_SERIAL_REQUEST));
    return STATUS_SUCCESS;
}

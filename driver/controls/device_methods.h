// The device's own method set on every channel filter: single mode
// attributes, the fixed standard, firmware versions, the serial number and
// the controller's EEPROM. The request layouts are shared with the
// configuration plug-in (shared/device_method_set.h); each handler reads and
// writes only the data buffer, which the plug-in sends as the same buffer as
// the method.
#pragma once

#include <wdm.h>
#include <ks.h>

NTSTATUS SetAttributeMethod(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS GetAttributeMethod(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS UpdateEepromMethod(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS VerifyEepromMethod(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS GetVersionMethod(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS GetSerialMethod(PIRP irp, PKSIDENTIFIER request, PVOID data);

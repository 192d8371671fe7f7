#pragma once

#include <wdm.h>

struct CaptureDevice;

NTSTATUS LoadFirmware(CaptureDevice* device);
NTSTATUS CyclePower(CaptureDevice* device);

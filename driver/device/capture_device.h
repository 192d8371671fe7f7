// CaptureDevice: the context of one m4350av device, that is of one board.
//
// The streaming device's object bag owns it from Add until the device is
// removed. It owns the board's USB transport state and, from Start to Stop,
// the Board.
#pragma once

#include <wdm.h>
#include <ks.h>
#include <ksmedia.h>

#include "capture/filter_descriptors.h"
#include "usb/usb_port.h"

struct Board;

constexpr ULONG ChannelCount = 4;

struct CaptureDevice {
    UsbPort usb;

    // The board protocol's waiters; initialised with each new Board. Mode
    // acknowledgements and status answers are indexed by channel number.
    KEVENT firmwareReadyEvent;
    KEVENT modeAckEvent[ChannelCount];
    KEVENT statusEvent[ChannelCount];
    KMUTEX commandMutex; // one command on pipe 0 at a time
    // Starting and stopping the read pipe, which the power path (leaving D0)
    // and a firmware reload's power cycles may do at once. Taken after
    // commandMutex when both are held; never with the Board's `lock`.
    KMUTEX readPipeMutex;
    // Counts the firmware downloads that succeeded; changed and read only
    // under commandMutex, so a command sent under it knows which firmware
    // took it.
    ULONG firmwareEpoch;

    Board* board; // present from Start to Stop

    // Exactly one of the two is 1 after a start; always written as a pair.
    ULONG firmwareFailed;
    ULONG firmwareLoaded;

    ULONG deviceNumber; // the device counter at this device's latest start
    PKSDEVICE ksDevice;

    // This board's own filter and pin descriptors, made at Add from the
    // constant templates and published at Start; each channel's range list
    // follows this board's standard for it.
    ChannelDescriptorSet descriptors;

    // Per channel number.
    // Changed with interlocked operations, and raised and tested under the
    // Board's controlsMutex (see there).
    volatile LONG openCount[ChannelCount];
    PKS_VIDEOINFOHEADER currentFormat; // the latest stream's copy; under controlsMutex
    // Pins of the channel on every filter instance, the one being created
    // included: raised under controlsMutex by the SetDataFormat of a pin's
    // creation, lowered when that pin's object bag is freed. Interlocked only.
    volatile LONG pinCount[ChannelCount];
    ULONG droppedFrameCount[ChannelCount];
    ULONG lastFrameNumber[ChannelCount];
    ULONG m_bColor[ChannelCount];
    ULONG connectedColor[ChannelCount];
};

inline CaptureDevice* GetCaptureDevice(PKSDEVICE device) {
    return device ? static_cast<CaptureDevice*>(device->Context) : nullptr;
}

// Incremented at every start of any device, never decremented.
extern volatile LONG DeviceCounter;

EXTERN_C NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

// The device dispatch of m4350av. The streaming class serialises them per
// device and calls them at passive level.
NTSTATUS CaptureDeviceAdd(PKSDEVICE device);
NTSTATUS CaptureDeviceStart(PKSDEVICE device, PIRP irp, PCM_RESOURCE_LIST translatedResources,
                            PCM_RESOURCE_LIST untranslatedResources);
void CaptureDeviceStop(PKSDEVICE device, PIRP irp);
void CaptureDeviceSetPower(PKSDEVICE device, PIRP irp, DEVICE_POWER_STATE to,
                           DEVICE_POWER_STATE from);

// The device descriptor handed to the streaming class.
extern const KSDEVICE_DESCRIPTOR DeviceDescriptor;

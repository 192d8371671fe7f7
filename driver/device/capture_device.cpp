// Driver entry and the device lifecycle: Add creates the CaptureDevice, Start
// brings the board up, Stop tears it down, SetPower follows power changes.
#include "device/capture_device.h"

#include "board/acquisition.h"
#include "board/board.h"
#include "capture/filter_descriptors.h"
#include "device/pool_tags.h"
#include "device/settings.h"
#include "usb/firmware.h"
#include "usb/read_pipe.h"
#include "usb/usb_port.h"

volatile LONG DeviceCounter = 0;

namespace {

WCHAR ChannelReference1[] = L"m4350av_chan1";
WCHAR ChannelReference2[] = L"m4350av_chan2";
WCHAR ChannelReference3[] = L"m4350av_chan3";
WCHAR ChannelReference4[] = L"m4350av_chan4";
PWSTR const ChannelReferences[ChannelCount] = {ChannelReference1, ChannelReference2,
                                               ChannelReference3, ChannelReference4};

// The object bag frees the context when the device goes away, and with it
// the descriptor copies it holds.
void FreeCaptureDevice(PVOID context) {
    auto* device = static_cast<CaptureDevice*>(context);
    if (device->usb.interfaceCopy) {
        ExFreePoolWithTag(device->usb.interfaceCopy, InterfaceCopyTag);
    }
    ExFreePoolWithTag(device, DeviceTag);
}

void FreeInterfaceCopy(CaptureDevice* device) {
    if (device->usb.interfaceCopy) {
        ExFreePoolWithTag(device->usb.interfaceCopy, InterfaceCopyTag);
        device->usb.interfaceCopy = nullptr;
    }
}

void RecordFirmwareResult(CaptureDevice* device, NTSTATUS status, bool atStart) {
    if (status == STATUS_SUCCESS) {
        if (atStart) {
            DbgPrint("[m4350av] firmware load pass\n");
        } else {
            DbgPrint("m4350: firmware pass D0 state\n");
        }
        device->firmwareFailed = 0;
        device->firmwareLoaded = 1;
    } else {
        if (atStart) {
            DbgPrint("[m4350av] firmware load failed.\n");
        } else {
            DbgPrint("m4350: firmware fail D0 state\n");
        }
        device->firmwareFailed = 1;
        device->firmwareLoaded = 0;
    }
}

const KSDEVICE_DISPATCH DeviceDispatch = {
    CaptureDeviceAdd,      // Add
    CaptureDeviceStart,    // Start
    nullptr,               // PostStart
    nullptr,               // QueryStop
    nullptr,               // CancelStop
    CaptureDeviceStop,     // Stop
    nullptr,               // QueryRemove
    nullptr,               // CancelRemove
    nullptr,               // Remove
    nullptr,               // QueryCapabilities
    nullptr,               // SurpriseRemoval
    nullptr,               // QueryPower
    CaptureDeviceSetPower, // SetPower
    nullptr,               // QueryInterface
};

} // namespace

const KSDEVICE_DESCRIPTOR DeviceDescriptor = {&DeviceDispatch, 0, nullptr, 0};

NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    return KsInitializeDriver(driverObject, registryPath, &DeviceDescriptor);
}

NTSTATUS CaptureDeviceAdd(PKSDEVICE device) {
    auto* context = static_cast<CaptureDevice*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(CaptureDevice), DeviceTag));
    if (!context) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(context, sizeof(CaptureDevice));
    context->ksDevice = device;
    InitializeChannelDescriptors(&context->descriptors);

    KsAcquireDevice(device);
    NTSTATUS status = KsAddItemToObjectBag(device->Bag, context, FreeCaptureDevice);
    KsReleaseDevice(device);
    if (!NT_SUCCESS(status)) {
        FreeCaptureDevice(context);
        return status;
    }
    device->Context = context;
    return STATUS_SUCCESS;
}

NTSTATUS CaptureDeviceStart(PKSDEVICE device, PIRP irp, PCM_RESOURCE_LIST translatedResources,
                            PCM_RESOURCE_LIST untranslatedResources) {
    CaptureDevice* context = GetCaptureDevice(device);
    if (!context) {
        return STATUS_UNSUCCESSFUL;
    }
    ULONG fixedStandard = QueryParameter(L"FixedStandard");

    UsbPort* port = &context->usb;
    SetUsbPortConnected(port, 1);
    port->lowerDevice = device->NextDeviceObject;
    port->workItemDevice = device->FunctionalDeviceObject;

    NTSTATUS status = STATUS_SUCCESS;
    if (!device->Started) {
        KsAcquireDevice(device);
        for (ULONG n = 0; n < ChannelCount; ++n) {
            context->m_bColor[n] = 1;
            context->connectedColor[n] = ColorPackedYuv;
        }
        context->deviceNumber = ULONG(InterlockedIncrement(&DeviceCounter) - 1);
        for (ULONG n = 0; n < ChannelCount; ++n) {
            status = KsCreateFilterFactory(
                device->FunctionalDeviceObject, &context->descriptors.filter[n],
                ChannelReferences[n], nullptr, KSCREATE_ITEM_FREEONSTOP, nullptr, nullptr, nullptr);
            if (!NT_SUCCESS(status)) {
                DbgPrint("could not create filter\n");
            }
        }
        DbgPrint("create filter %d\n", status);
        KsReleaseDevice(device);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    if (device->Started) {
        return status;
    }

    port->fullSpeed = 0;
    IoInitializeRemoveLockEx(&port->removeLock, 0, 0, 0, RemoveLockSize);
    if (!port->lowerDevice) {
        return STATUS_UNSUCCESSFUL;
    }

    ConfigureDevice(context);
    if (port->fullSpeed) {
        DbgPrint("[M4350].  USB 1.0 or USB 1.1 not supported.\n");
        // A failed start is not followed by a stop: nothing configured for
        // this board may stay behind.
        FreeInterfaceCopy(context);
        return STATUS_UNSUCCESSFUL;
    }

    Board* board = Board::create(context);
    if (!board) {
        FreeInterfaceCopy(context);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    context->board = board;

    RecordFirmwareResult(context, LoadFirmware(context), true);

    for (ULONG n = 0; n < ChannelCount; ++n) {
        ModeSettings mode;
        getMode(board, n, &mode);
        if ((fixedStandard == FormatPal && mode.format != FormatPal) ||
            (fixedStandard == FormatNtsc && mode.format != FormatNtsc)) {
            mode.restart = 1;
            mode.format = fixedStandard;
            if (context->firmwareLoaded) {
                setMode(board, n, &mode);
            }
        }
        SelectChannelRangeList(context, n, mode.format == FormatPal);
    }
    return status;
}

void CaptureDeviceStop(PKSDEVICE device, PIRP irp) {
    CaptureDevice* context = GetCaptureDevice(device);
    if (!context) {
        return;
    }
    Board* board = context->board;
    if (board) {
        // A bring-back after a power-up still works on the board.
        waitForBringBack(board);
        DbgPrint("board shutdown pdx %p\n", board->device);

        KeWaitForSingleObject(&board->settingsMutex, Executive, KernelMode, FALSE, nullptr);
        SaveConfig(board->boardNumber, board->modes);
        KeReleaseMutex(&board->settingsMutex, FALSE);

        for (ULONG n = 0; n < ChannelCount; ++n) {
            stopAcquisition(board, n);
        }
        StopReadPipe(context);
        // Every read has ended, but the last ones may still be freeing their
        // packets: each drops its remove-lock reference only after it has set
        // its stop event in the Board, so the Board goes only once every
        // reference is back. Start initialises the lock anew.
        if (NT_SUCCESS(IoAcquireRemoveLockEx(&context->usb.removeLock, context, __FILE__, __LINE__,
                                             RemoveLockSize))) {
            IoReleaseRemoveLockAndWaitEx(&context->usb.removeLock, context, RemoveLockSize);
        }
        Deconfigure(context);
        FreeInterfaceCopy(context);

        // Stopping acquisition saves the settings file again: the number, and
        // with it the file, is given back only once nothing writes it.
        releaseBoardNumber(board);
        Board::destroy(board);
    }
    context->firmwareLoaded = 0;
    context->board = nullptr;
}

void CaptureDeviceSetPower(PKSDEVICE device, PIRP irp, DEVICE_POWER_STATE to,
                           DEVICE_POWER_STATE from) {
    CaptureDevice* context = GetCaptureDevice(device);
    DbgPrint("set power TO:%d FROM:%d\n", to, from);
    if (!context) {
        return;
    }
    // D1 keeps the board powered; from D1 the board still has its power to
    // lose.
    if ((from == PowerDeviceD0 || from == PowerDeviceD1) &&
        (to == PowerDeviceD2 || to == PowerDeviceD3)) {
        DbgPrint("to power down\n");
        markPoweredDown(context->board);
        // The bus is about to suspend the port: nothing of the pipe, and of
        // its error recovery, may run against it. The bring-back restarts it
        // with the firmware.
        if (context->board) {
            StopReadPipe(context);
        }
    }
    // Only a started device has a board to load; a stopped one keeps its
    // failed flag until the next start tries again.
    if (to == PowerDeviceD0 && context->firmwareFailed && context->board) {
        DbgPrint("m4350: firmware failed in PNPstart. loading again");
        RecordFirmwareResult(context, LoadFirmware(context), false);
    }
    // The board lost its firmware, modes and acquisitions with its power.
    // Streams open across the sleep get them back in a thread of their own:
    // a reload takes from 0.6 s to some 22 s, and a power callback must
    // neither block that long nor take a filter's control mutex.
    if (to == PowerDeviceD0 && (from == PowerDeviceD2 || from == PowerDeviceD3)) {
        bringBackAfterPowerUp(context->board);
    }
}

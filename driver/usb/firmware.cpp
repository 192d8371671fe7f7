#include "usb/firmware.h"

#include "board/board.h"
#include "device/capture_device.h"
#include "device/pool_tags.h"
#include "device/settings.h"
#include "usb/read_pipe.h"
#include "usb/usb_port.h"

namespace {

// Room the image buffer has beyond the image itself; the transfer is at most
// 512 bytes longer than the image.
constexpr ULONG ImageSlack = 8192;
constexpr ULONG TransferUnit = 512;

constexpr ULONG ReadyTimeoutEarlyMs = 900;
constexpr ULONG ReadyTimeoutLateMs = 5000;
constexpr ULONG EarlyAttempts = 3;

void Delay(LONGLONG units) {
    LARGE_INTEGER interval;
    interval.QuadPart = units;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

// The image's size from the file system, without reading it.
NTSTATUS QueryImageSize(PUNICODE_STRING path, PULONG size) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    IO_STATUS_BLOCK ioStatus;
    HANDLE file = nullptr;
    NTSTATUS status = ZwCreateFile(&file, GENERIC_READ | SYNCHRONIZE, &attributes, &ioStatus,
                                   nullptr, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_OPEN,
                                   FILE_SYNCHRONOUS_IO_ALERT | FILE_RANDOM_ACCESS, nullptr, 0);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    FILE_STANDARD_INFORMATION info;
    RtlZeroMemory(&info, sizeof(info));
    status = ZwQueryInformationFile(file, &ioStatus, &info, sizeof(info), FileStandardInformation);
    ZwClose(file);
    if (NT_SUCCESS(status)) {
        *size = info.EndOfFile.LowPart;
    }
    return status;
}

// A power cycle drops the firmware, so readiness reported before it says
// nothing about the next download. Without this, every download after the
// first would end its wait on a ready answer of the previous boot (the mask
// keeps all four bits, and the later answers of a boot signal the event
// again after it was cleared), before the board runs, and the commands sent
// next would be lost in its boot. The read pipe is stopped here, so no
// answer comes in meanwhile.
//
// Nor does a frame the board was sending before the cycle go on after it:
// the parser looks for a header again. Otherwise, with an acquisition kept
// across the power loss of a sleep, the boot's ready answers would be taken
// for the rest of that frame's picture, and every attempt would wait for
// them in vain.
void ForgetReadiness(CaptureDevice* device) {
    if (Board* board = device->board) {
        KIRQL irql;
        KeAcquireSpinLock(&board->lock, &irql);
        board->firmwareReadyMask = 0;
        board->rxNeedHeader = 1;
        KeReleaseSpinLock(&board->lock, irql);
    }
    KeClearEvent(&device->firmwareReadyEvent);
}

// Power cycle and restart of the stream that brings the board's answers.
void RestartBoard(CaptureDevice* device) {
    CyclePower(device);
    ForgetReadiness(device);
    ReadStream(device);
}

} // namespace

NTSTATUS CyclePower(CaptureDevice* device) {
    DbgPrint("cycle power\n");
    AbortPipe(device, CommandPipe);
    ResetPipe(device, CommandPipe);
    StopReadPipe(device);
    VendorRequestTransfer(device, 0x40, 0, 1, nullptr, 0, TRUE);
    Delay(-150000); // 15 ms
    VendorRequestTransfer(device, 0x50, 0, 0, nullptr, 0, TRUE);
    Delay(-6000000); // 600 ms
    VendorRequestTransfer(device, 0x10, 0, 0, nullptr, 0, TRUE);
    return 0;
}

NTSTATUS LoadFirmware(CaptureDevice* device) {
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, L"\\SystemRoot\\system32\\drivers\\f4350usb.bin");

    ULONG size = 0;
    NTSTATUS status = QueryImageSize(&path, &size);
    if (!NT_SUCCESS(status)) {
        DbgPrint("query firmware failed\n");
        DbgPrint("[M4350].  Firmware file read error %d.\nThis version of driver requires "
                 "f4350usb.bin WINDOWS\\system32\\drivers\n",
                 status);
        return STATUS_UNSUCCESSFUL;
    }

    // An image too large for the buffer arithmetic cannot be held either.
    ULONGLONG capacity = ULONGLONG(size) + ImageSlack;
    PUCHAR image = nullptr;
    if (capacity <= MAXULONG) {
        image =
            static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, SIZE_T(capacity), BoardTag));
    }
    if (!image) {
        DbgPrint("[M4350].  Mem alloc error\n");
        return STATUS_UNSUCCESSFUL;
    }
    // The transfer runs past the image into the slack: send zeros there
    // rather than whatever the pool held.
    RtlZeroMemory(image, SIZE_T(capacity));

    ULONG length = ULONG(capacity);
    LONG read = ReadFileToBuffer(&path, image, &length);
    if (read != FileReadOk) {
        DbgPrint("[M4350].  Firmware file read error %d.\nThis version of driver requires "
                 "f4350usb.bin WINDOWS\\system32\\drivers\n",
                 read);
        ExFreePoolWithTag(image, BoardTag);
        return STATUS_UNSUCCESSFUL;
    }

    // The whole download, its first power cycle included, is one pipe-0
    // operation: two downloads at once (the reloads of two channels after a
    // power-down) would stop and restart the read pipe under each other.
    KeWaitForSingleObject(&device->commandMutex, Executive, KernelMode, FALSE, nullptr);

    // The board's answer comes in on the stream pipe.
    RestartBoard(device);

    // Always 1 to 512 bytes more than the image.
    ULONG transfer = (length + TransferUnit) & ~(TransferUnit - 1);

    NTSTATUS result = STATUS_UNSUCCESSFUL;
    for (ULONG attempt = 0;; ++attempt) {
        LONG sent = DownloadBuffer(device, image, transfer);
        if (sent == 0) {
            DbgPrint("wait fwready_to\n");
            LARGE_INTEGER timeout;
            timeout.QuadPart =
                -LONGLONG(attempt < EarlyAttempts ? ReadyTimeoutEarlyMs : ReadyTimeoutLateMs) *
                10000;
            if (KeWaitForSingleObject(&device->firmwareReadyEvent, Executive, KernelMode, FALSE,
                                      &timeout) != STATUS_TIMEOUT) {
                KeClearEvent(&device->firmwareReadyEvent);
                // Still under commandMutex: a command sent from now on
                // reaches this firmware.
                device->firmwareEpoch += 1;
                DbgPrint("[M4350]: firmware downloaded successfully, retries %d\n", attempt);
                result = STATUS_SUCCESS;
                break;
            }
            DbgPrint("M4350: firmware download timed out. no response\n, retries %d", attempt);
        }
        DbgPrint("M4350: FW load error[%d].  Retrying. number retries %d\n", sent, attempt);
        RestartBoard(device);
        if (attempt + 1 >= FirmwareAttempts) {
            DbgPrint("M4350: firmware failed. max retries\n");
            break;
        }
    }
    KeReleaseMutex(&device->commandMutex, FALSE);
    ExFreePoolWithTag(image, BoardTag);
    return result;
}

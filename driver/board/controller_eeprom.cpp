#include "board/controller_eeprom.h"

#include "board/board.h"
#include "device/capture_device.h"
#include "device/pool_tags.h"
#include "usb/usb_port.h"

namespace {

// Holds the board's controllerMutex for one procedure.
class ControllerLock : private MutexHold {
public:
    explicit ControllerLock(Board* board) : MutexHold(&board->controllerMutex) {}
};

LONG ReadEeprom(Board* board, USHORT address, PUCHAR buffer, ULONG length) {
    return VendorRequestTransfer(board->device, VendorEepromRead, address, EepromDeviceAddress,
                                 buffer, length, FALSE);
}

// Bytes of the chunk at offset: 8, or what is left of the block.
ULONG ChunkBytes(ULONG offset, ULONG length) {
    return length - offset < EepromChunkBytes ? length - offset : EepromChunkBytes;
}

} // namespace

BOOLEAN readControllerVersion(Board* board, PULONG version) {
    *version = 0;
    if (!board) {
        return FALSE;
    }
    ControllerLock lock(board);
    UCHAR bytes[2] = {0, 0};
    LONG result = VendorRequestTransfer(board->device, VendorControllerVersion, 0, 0, bytes,
                                        sizeof(bytes), FALSE);
    if (result != VendorDone) {
        DbgPrint("get fw error: %x\n", result);
        return FALSE;
    }
    DbgPrint("Get FW %x %x\n", bytes[0], bytes[1]);
    *version = ULONG(bytes[0]) + 256 * ULONG(bytes[1]);
    return TRUE;
}

LONG readSerialNumber(Board* board, PULONG serial) {
    *serial = 0;
    if (!board) {
        return BoardRefused;
    }
    ControllerLock lock(board);
    UCHAR record[SerialRecordBytes] = {};
    LONG result = ReadEeprom(board, SerialRecordAddress, record, sizeof(record));
    if (result != VendorDone) {
        return result;
    }
    DbgPrint("buf %x\n", record[0]);
    // One matching signature byte is enough: a record that lost some of its
    // signature still carries its number.
    if (record[0] != 0xAA && record[1] != 0xBB && record[2] != 0xCC && record[3] != 0xDD) {
        return BoardRefused;
    }
    *serial = ULONG(record[12]) << 24 | ULONG(record[13]) << 16 | ULONG(record[14]) << 8 |
              ULONG(record[15]);
    DbgPrint("m4350: serial number %lx\n", *serial);
    return BoardOk;
}

VOID writeEeprom(Board* board, const UCHAR* data, ULONG length) {
    if (!board || length > EepromBlockBytes) {
        return;
    }
    ControllerLock lock(board);
    for (ULONG offset = 0; offset < length; offset += EepromChunkBytes) {
        ULONG n = ChunkBytes(offset, length);
        DbgPrint("bytes to write %d\n", n);
        // Address high, address low, then the chunk. Only the chunk's own
        // bytes are copied: the caller's data ends at length.
        UCHAR packet[2 + EepromChunkBytes] = {};
        packet[0] = UCHAR(offset >> 8);
        packet[1] = UCHAR(offset);
        RtlCopyMemory(packet + 2, data + offset, n);
        DbgPrint("writing to EEPROM %d: %x %x %x %x\n", n, packet[3], packet[4], packet[5],
                 packet[6]);
        LONG result = VendorRequestTransfer(board->device, VendorEepromWrite, EepromDeviceAddress,
                                            EepromDeviceAddress, packet, n + 2, TRUE);
        if (result != VendorDone) {
            DbgPrint("write eeprom failed: %x\n", result);
        }
    }
}

LONG compareEeprom(Board* board, const UCHAR* data, ULONG length) {
    if (!board || length > EepromBlockBytes) {
        return BoardRefused;
    }
    auto* readBack =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, EepromBlockBytes, BoardTag));
    if (!readBack) {
        return BoardRefused;
    }
    RtlZeroMemory(readBack, EepromBlockBytes);
    LONG result = BoardOk;
    {
        ControllerLock lock(board);
        for (ULONG offset = 0; offset < length; offset += EepromChunkBytes) {
            ULONG n = ChunkBytes(offset, length);
            PUCHAR chunk = readBack + offset;
            LONG read = ReadEeprom(board, USHORT(offset), chunk, n);
            if (read != VendorDone) {
                DbgPrint("read eeprom failed: %x\n", read);
                result = read;
                break;
            }
            DbgPrint("reading from EEPROM %d: %x %x %x %x %x\n", n, chunk[0], chunk[1], chunk[2],
                     chunk[3], chunk[4]);
            if (RtlCompareMemory(chunk, data + offset, n) != n) {
                DbgPrint("mismatch \n");
            }
        }
    }
    if (result == BoardOk) {
        DbgPrint("read eeprom end\n");
        if (RtlCompareMemory(readBack, data, length) == length) {
            DbgPrint("success\n");
        } else {
            DbgPrint("error\n");
            result = BoardRefused;
        }
    }
    ExFreePoolWithTag(readBack, BoardTag);
    return result;
}

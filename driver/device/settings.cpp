#include "device/settings.h"

namespace {

const WCHAR ParametersPath[] = L"m4350av\\Parameters";

// One file per board number, in the system's driver directory.
PCWSTR const SettingsFiles[BoardsWithFiles] = {
    L"\\SystemRoot\\system32\\drivers\\m4350dev0.bin",
    L"\\SystemRoot\\system32\\drivers\\m4350dev1.bin",
    L"\\SystemRoot\\system32\\drivers\\m4350dev2.bin",
    L"\\SystemRoot\\system32\\drivers\\m4350dev3.bin",
    L"\\SystemRoot\\system32\\drivers\\m4350dev4.bin",
    L"\\SystemRoot\\system32\\drivers\\m4350dev5.bin",
    L"\\SystemRoot\\system32\\drivers\\m4350dev6.bin",
    L"\\SystemRoot\\system32\\drivers\\m4350dev7.bin",
};

typedef NTSTATUS (*QueryRegistryValuesRoutine)(ULONG relativeTo, PCWSTR path,
                                               PRTL_QUERY_REGISTRY_TABLE queryTable, PVOID context,
                                               PVOID environment);

void LogPrefix() {
    DbgPrint("mx4350: ");
}

// Maps a board number to its settings file; false (after the message) for a
// number without one.
bool SettingsPath(ULONG boardNumber, PUNICODE_STRING path) {
    ULONG index = boardNumber & 0xFF;
    if (index >= BoardsWithFiles) {
        DbgPrint("too many boards\n");
        return false;
    }
    RtlInitUnicodeString(path, SettingsFiles[index]);
    return true;
}

} // namespace

ULONG QueryParameter(PCWSTR name) {
    ULONG result = 0;
    ULONG defaultData = 0;
    RTL_QUERY_REGISTRY_TABLE table[2];
    RtlZeroMemory(table, sizeof(table));
    // A direct query stores whatever the value holds into the result; the
    // type check makes a value of another type (a string, say, that would not
    // fit four bytes) fail the query, so it reads as 0 like an absent one.
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK;
    table[0].Name = const_cast<PWSTR>(name);
    table[0].EntryContext = &result;
    table[0].DefaultType = REG_DWORD | (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT);
    table[0].DefaultData = &defaultData;
    table[0].DefaultLength = sizeof(defaultData);

    UNICODE_STRING routineName;
    RtlInitUnicodeString(&routineName, L"RtlQueryRegistryValuesEx");
    auto query =
        reinterpret_cast<QueryRegistryValuesRoutine>(MmGetSystemRoutineAddress(&routineName));
    NTSTATUS status;
    if (query) {
        status = query(RTL_REGISTRY_SERVICES, ParametersPath, table, nullptr, nullptr);
    } else {
        status =
            RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, ParametersPath, table, nullptr, nullptr);
    }
    return NT_SUCCESS(status) ? result : 0;
}

LONG LoadConfig(ULONG boardNumber, ModeSettings* modes) {
    UNICODE_STRING path;
    if (!SettingsPath(boardNumber, &path)) {
        return ConfigBadIndex;
    }
    ULONG length = SettingsFileSize;
    return ReadFileToBuffer(&path, modes, &length);
}

LONG SaveConfig(ULONG boardNumber, const ModeSettings* modes) {
    DbgPrint("save config\n");
    UNICODE_STRING path;
    if (!SettingsPath(boardNumber, &path)) {
        return ConfigBadIndex;
    }
    return WriteBufferToFile(&path, modes);
}

LONG ReadFileToBuffer(PUNICODE_STRING path, PVOID buffer, PULONG length) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    IO_STATUS_BLOCK ioStatus;
    HANDLE file = nullptr;
    NTSTATUS status = ZwCreateFile(&file, GENERIC_READ | SYNCHRONIZE, &attributes, &ioStatus,
                                   nullptr, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_OPEN,
                                   FILE_SYNCHRONOUS_IO_ALERT | FILE_RANDOM_ACCESS, nullptr, 0);
    LogPrefix();
    DbgPrint("Open File : %lx Handle %p", status, file);
    if (!NT_SUCCESS(status)) {
        return FileCannotOpen;
    }

    FILE_STANDARD_INFORMATION info;
    RtlZeroMemory(&info, sizeof(info));
    status = ZwQueryInformationFile(file, &ioStatus, &info, sizeof(info), FileStandardInformation);
    if (!NT_SUCCESS(status)) {
        // Without the file's size nothing can be read safely.
        ZwClose(file);
        return FileReadFailed;
    }
    // The whole end-of-file position counts: a file of 2 GiB or more must not
    // pass as a small (or negative) size.
    if (info.EndOfFile.QuadPart < 0 || info.EndOfFile.QuadPart > (LONGLONG)*length) {
        LogPrefix();
        DbgPrint("ReadFileToBuffer : Buffer too small");
        ZwClose(file);
        return FileTooLarge;
    }
    ULONG size = info.EndOfFile.LowPart;

    LARGE_INTEGER offset;
    offset.QuadPart = 0;
    status = ZwReadFile(file, nullptr, nullptr, nullptr, &ioStatus, buffer, size, &offset, nullptr);
    LogPrefix();
    DbgPrint("Read Status : %lx, Size : %d", status, size);
    if (!NT_SUCCESS(status)) {
        ZwClose(file);
        return FileReadFailed;
    }
    ZwClose(file);
    *length = size;
    LogPrefix();
    DbgPrint("Read File %S Success, Length : %d", path->Buffer, size);
    return FileReadOk;
}

LONG WriteBufferToFile(PUNICODE_STRING path, const void* buffer) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    IO_STATUS_BLOCK ioStatus;
    HANDLE file = nullptr;
    NTSTATUS status = ZwCreateFile(&file, SYNCHRONIZE | FILE_APPEND_DATA, &attributes, &ioStatus,
                                   nullptr, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_SUPERSEDE,
                                   FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (!NT_SUCCESS(status)) {
        return FileWriteFailed;
    }
    RtlZeroMemory(&ioStatus, sizeof(ioStatus));
    status = ZwWriteFile(file, nullptr, nullptr, nullptr, &ioStatus, const_cast<PVOID>(buffer),
                         SettingsFileSize, nullptr, nullptr);
    ZwClose(file);
    // A settings file that was not written whole would be refused or, worse,
    // half-read at the next start: report it.
    if (!NT_SUCCESS(status) || ioStatus.Information != SettingsFileSize) {
        return FileWriteFailed;
    }
    return ConfigOk;
}

void WriteFixedStandard(ULONG value) {
    DbgPrint("fixed standard %d\n", value);
    ULONG data = value;
    NTSTATUS status = RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, ParametersPath, L"FixedStandard",
                                            REG_DWORD, &data, sizeof(data));
    DbgPrint("set val %d to registry %d\n", status, value);
    DbgPrint("set fixed standard\n");
}

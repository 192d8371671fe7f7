// MmGetSystemRoutineAddress: the kernel's export table, by name.
//
// Drivers probe for routines that only newer systems have and fall back when
// they are absent; the host can withdraw any routine from the table to play
// such an older system.
#include "rtl_text.h"
#include "services_internal.h"

#include <host/services.h>

#include <mutex>
#include <set>
#include <string>
#include <utility>

namespace {

struct Export {
    const wchar_t* name;
    PVOID address;
};

#define M4350_EXPORT(routine)                                                                      \
    { L## #routine, reinterpret_cast<PVOID>(&routine) }

const Export Exports[] = {
    M4350_EXPORT(DbgPrint),
    M4350_EXPORT(DbgPrintEx),
    M4350_EXPORT(ExAllocatePoolWithTag),
    M4350_EXPORT(ExFreePool),
    M4350_EXPORT(ExFreePoolWithTag),
    M4350_EXPORT(KeGetCurrentIrql),
    M4350_EXPORT(KeQueryInterruptTime),
    M4350_EXPORT(MmGetSystemRoutineAddress),
    M4350_EXPORT(RtlAppendUnicodeStringToString),
    M4350_EXPORT(RtlAppendUnicodeToString),
    M4350_EXPORT(RtlCheckRegistryKey),
    M4350_EXPORT(RtlCompareMemory),
    M4350_EXPORT(RtlCompareUnicodeString),
    M4350_EXPORT(RtlCopyUnicodeString),
    M4350_EXPORT(RtlCreateRegistryKey),
    M4350_EXPORT(RtlDeleteRegistryValue),
    M4350_EXPORT(RtlEqualUnicodeString),
    M4350_EXPORT(RtlInitAnsiString),
    M4350_EXPORT(RtlInitUnicodeString),
    M4350_EXPORT(RtlInitUnicodeStringEx),
    M4350_EXPORT(RtlIntegerToUnicodeString),
    M4350_EXPORT(RtlQueryRegistryValues),
    M4350_EXPORT(RtlQueryRegistryValuesEx),
    M4350_EXPORT(RtlUnicodeStringToInteger),
    M4350_EXPORT(RtlWriteRegistryValue),
    M4350_EXPORT(ZwClose),
    M4350_EXPORT(ZwCreateFile),
    M4350_EXPORT(ZwOpenFile),
    M4350_EXPORT(ZwQueryInformationFile),
    M4350_EXPORT(ZwReadFile),
    M4350_EXPORT(ZwSetInformationFile),
    M4350_EXPORT(ZwWriteFile),
};

#undef M4350_EXPORT

struct Withdrawn {
    std::mutex mutex;
    std::set<std::wstring> names;
};

Withdrawn& WithdrawnRoutines() {
    static Withdrawn withdrawn;
    return withdrawn;
}

} // namespace

EXTERN_C PVOID NTAPI MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName) {
    m4350::services::RequirePassive("MmGetSystemRoutineAddress");
    const auto name = m4350::rtl::View(SystemRoutineName);
    if (name.empty()) {
        return nullptr;
    }
    {
        auto& withdrawn = WithdrawnRoutines();
        std::lock_guard lock(withdrawn.mutex);
        if (withdrawn.names.count(std::wstring(name))) {
            return nullptr;
        }
    }
    // Export names are matched exactly, case included.
    for (const auto& entry : Exports) {
        if (name == entry.name) {
            return entry.address;
        }
    }
    return nullptr;
}

namespace host {

void SetSystemRoutineAvailable(std::wstring_view name, bool available) {
    auto& withdrawn = WithdrawnRoutines();
    std::lock_guard lock(withdrawn.mutex);
    if (available) {
        withdrawn.names.erase(std::wstring(name));
    } else {
        withdrawn.names.insert(std::wstring(name));
    }
}

void SetRtlQueryRegistryValuesExAvailable(bool available) {
    SetSystemRoutineAvailable(L"RtlQueryRegistryValuesEx", available);
}

void ResetSystemRoutines() {
    auto& withdrawn = WithdrawnRoutines();
    std::lock_guard lock(withdrawn.mutex);
    withdrawn.names.clear();
}

} // namespace host

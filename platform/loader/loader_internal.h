// Inside the loader: the export table the thunks make and the lookups the
// mapping and the boundary share.
#pragma once

#include "image_exports.h"

#include <wdm.h>

#include <span>
#include <string>
#include <string_view>

struct _KSDEVICE_DESCRIPTOR;
struct _KSFILTER_DESCRIPTOR;

namespace host::loader {

struct ExportEntry {
    const char* dll;
    const char* name;
    void* address; // the thunk, or the variable of a data export
    bool data;
};

std::span<const ExportEntry> Exports();

// What an image gets for a name: the entry stub of a routine's thunk inside
// the foreign code region (so that a routine handed back as a callback is
// called with the image's convention), the address of a variable. Null for a
// name that is not exported.
void* ImageExportAddress(std::string_view name);

// The adaptations the thunks of image_exports.h call where an image's
// conventions differ from the host's (UTF-16 text, Microsoft-ABI objects).
namespace image {
VOID RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source);
NTSTATUS RtlQueryRegistryValues(ULONG relativeTo, PCWSTR path, PRTL_QUERY_REGISTRY_TABLE table,
                                PVOID context, PVOID environment);
NTSTATUS RtlWriteRegistryValue(ULONG relativeTo, PCWSTR path, PCWSTR valueName, ULONG valueType,
                               PVOID valueData, ULONG valueLength);
PVOID MmGetSystemRoutineAddress(PUNICODE_STRING name);
} // namespace image

// Reference clocks handed to images and not yet released.
long LiveImageClocks();

// The image code that made the innermost call into the host on this thread;
// null outside such calls.
const void* CurrentImageCaller();

} // namespace host::loader

// The boundary between a loaded driver image and the host kernel: one
// Microsoft-ABI thunk per export of image_exports.h, and the adaptations for
// what an image passes differently from a driver built here. An image's WCHAR
// is 16 bits (UTF-16), the host's 32: every string crossing the boundary is
// translated here, in both directions, and nowhere else.
#include "loader_internal.h"

#include "rtl_text.h"

#include <host/kernel.h>
#include <host/services.h>
#include <ks.h>
#include <usbdlib.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace host::loader {
namespace {

namespace rtl = m4350::rtl;

thread_local const void* t_imageCaller = nullptr;

// Which image code called into the host, for diagnostics; nested calls (an
// image's callback calling the host again) keep the innermost.
class CallerScope {
public:
    explicit CallerScope(const void* caller) : previous_(t_imageCaller) { t_imageCaller = caller; }
    ~CallerScope() { t_imageCaller = previous_; }
    CallerScope(const CallerScope&) = delete;
    CallerScope& operator=(const CallerScope&) = delete;

private:
    const void* previous_;
};

// The thunk of one routine: compiled with the Microsoft x64 convention, so
// the callee-saved registers of that convention (rsi, rdi, xmm6-15) survive
// and narrow arguments are read at their own width. noexcept: a host
// exception never unwinds into the image's frames; it ends the process.
template <auto Routine>
struct Thunk;

template <class R, class... A, R (*Routine)(A...)>
struct Thunk<Routine> {
    static R __attribute__((ms_abi, noinline)) Call(A... args) noexcept {
        CallerScope caller(__builtin_return_address(0));
        return Routine(args...);
    }
};

// ---------------------------------------------------------------------------
// Text

size_t Utf16Length(const char16_t* s) {
    size_t n = 0;
    while (s[n]) {
        ++n;
    }
    return n;
}

std::wstring FromImageText(PCWSTR text) {
    if (!text) {
        return {};
    }
    const auto* s = reinterpret_cast<const char16_t*>(text);
    return rtl::FromUtf16(std::u16string_view(s, Utf16Length(s)));
}

std::wstring FromImageString(PCUNICODE_STRING s) {
    if (!s || !s->Buffer) {
        return {};
    }
    return rtl::FromUtf16(std::u16string_view(reinterpret_cast<const char16_t*>(s->Buffer),
                                              s->Length / sizeof(char16_t)));
}

// A host counted string over a host buffer, for the length of one call.
struct HostString {
    explicit HostString(std::wstring s) : text(std::move(s)) {
        string.Length = static_cast<USHORT>(std::min<size_t>(text.size() * sizeof(WCHAR), 0xFFF8));
        string.MaximumLength = string.Length;
        string.Buffer = text.data();
    }
    HostString(const HostString&) = delete;
    HostString& operator=(const HostString&) = delete;
    std::wstring text;
    UNICODE_STRING string{};
};

bool IsText(ULONG type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// Registry string data as the host holds it (WCHARs, NULs included) to an
// image's UTF-16 bytes, and back.
std::vector<char16_t> ToImageData(const void* data, ULONG length) {
    const std::wstring_view host(static_cast<const wchar_t*>(data), length / sizeof(WCHAR));
    const std::u16string text = rtl::ToUtf16(host);
    return {text.begin(), text.end()};
}

std::wstring FromImageData(const void* data, ULONG length) {
    return rtl::FromUtf16(
        std::u16string_view(static_cast<const char16_t*>(data), length / sizeof(char16_t)));
}

} // namespace

// ---------------------------------------------------------------------------
// Adaptations

namespace image {

// DbgPrint's variable arguments are read from the image's own va_list.
ULONG __attribute__((ms_abi)) DbgPrintThunk(PCSTR format, ...) {
    CallerScope caller(__builtin_return_address(0));
    __builtin_ms_va_list args;
    __builtin_ms_va_start(args, format);
    const ULONG status = host::DbgPrintImage(format, args);
    __builtin_ms_va_end(args);
    return status;
}

VOID RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source) {
    destination->Buffer = const_cast<PWSTR>(source);
    if (!source) {
        destination->Length = destination->MaximumLength = 0;
        return;
    }
    const size_t bytes =
        std::min<size_t>(Utf16Length(reinterpret_cast<const char16_t*>(source)) * 2, 0xFFFC);
    destination->Length = static_cast<USHORT>(bytes);
    destination->MaximumLength = static_cast<USHORT>(bytes + 2);
}

PVOID MmGetSystemRoutineAddress(PUNICODE_STRING name) {
    HostString hostName(FromImageString(name));
    // The host's table decides what this system has (a test may withdraw a
    // routine); the image gets the entry of its own convention.
    if (!::MmGetSystemRoutineAddress(&hostName.string)) {
        return nullptr;
    }
    return ImageExportAddress(rtl::ToUtf8(hostName.text));
}

namespace {

// One query-routine entry of an image's table: the host calls the
// trampoline, which hands the image UTF-16 names and text.
struct QueryEntry {
    PRTL_QUERY_REGISTRY_ROUTINE routine;
    PVOID entryContext;
};

NTSTATUS QueryTrampoline(PWSTR valueName, ULONG valueType, PVOID valueData, ULONG valueLength,
                         PVOID context, PVOID entryContext) {
    const auto* entry = static_cast<const QueryEntry*>(entryContext);
    std::u16string name = rtl::ToUtf16(valueName ? std::wstring_view(valueName) : L"");
    std::vector<char16_t> text;
    if (IsText(valueType) && valueData) {
        text = ToImageData(valueData, valueLength);
        valueData = text.data();
        valueLength = static_cast<ULONG>(text.size() * sizeof(char16_t));
    }
    return entry->routine(valueName ? reinterpret_cast<PWSTR>(name.data()) : nullptr, valueType,
                          valueData, valueLength, context, entry->entryContext);
}

// A registry path from an image in the host's text; a handle is passed as it is.
PCWSTR HostRegistryPath(ULONG relativeTo, PCWSTR path, std::wstring* hostPath) {
    if (relativeTo & RTL_REGISTRY_HANDLE)
        return path;
    *hostPath = FromImageText(path);
    return path ? hostPath->c_str() : nullptr;
}

NTSTATUS QueryValues(bool extended, ULONG relativeTo, PCWSTR path, PRTL_QUERY_REGISTRY_TABLE table,
                     PVOID context, PVOID environment) {
    std::wstring hostPath;
    const PCWSTR pathArgument = HostRegistryPath(relativeTo, path, &hostPath);
    size_t count = 0;
    while (table && (table[count].QueryRoutine || table[count].Name)) {
        ++count;
    }
    std::vector<RTL_QUERY_REGISTRY_TABLE> hostTable(table, table + count);
    hostTable.push_back({});
    std::vector<std::wstring> names(count);
    std::vector<QueryEntry> entries(count);
    std::vector<std::wstring> defaults(count);
    for (size_t i = 0; i < count; ++i) {
        auto& e = hostTable[i];
        if (e.Name) {
            names[i] = FromImageText(e.Name);
            e.Name = names[i].data();
        }
        const ULONG checked = (e.Flags & RTL_QUERY_REGISTRY_TYPECHECK)
                                  ? (e.DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT)
                                  : REG_NONE;
        if (e.Flags & RTL_QUERY_REGISTRY_DIRECT) {
            // A direct entry writes into the image's memory: only a checked
            // value type that holds no text can be passed through unread.
            if (!(e.Flags & RTL_QUERY_REGISTRY_TYPECHECK) || IsText(checked) ||
                checked == REG_NONE) {
                host::ReportViolation(
                    host::Rule::InvalidParameter,
                    "RtlQueryRegistryValues: a direct entry for " + rtl::ToUtf8(names[i]) +
                        " without a type check of a value type that holds no text: not "
                        "supported for a driver image");
                return STATUS_INVALID_PARAMETER;
            }
        } else if (e.QueryRoutine) {
            entries[i] = {e.QueryRoutine, e.EntryContext};
            e.QueryRoutine = QueryTrampoline;
            e.EntryContext = &entries[i];
        }
        const ULONG defaultType = e.DefaultType & ~RTL_QUERY_REGISTRY_TYPECHECK_MASK;
        if (IsText(defaultType) && e.DefaultData) {
            // A default length of 0 means a NUL-terminated string.
            defaults[i] = e.DefaultLength
                              ? FromImageData(e.DefaultData, e.DefaultLength)
                              : FromImageText(static_cast<PCWSTR>(e.DefaultData)) + L'\0';
            e.DefaultData = defaults[i].data();
            e.DefaultLength = static_cast<ULONG>(defaults[i].size() * sizeof(WCHAR));
        }
    }
    const NTSTATUS status = extended
                                ? ::RtlQueryRegistryValuesEx(relativeTo, pathArgument,
                                                             hostTable.data(), context, environment)
                                : ::RtlQueryRegistryValues(relativeTo, pathArgument,
                                                           hostTable.data(), context, environment);
    // The host clears the name of a table entry it deleted: so must the image's.
    for (size_t i = 0; i < count; ++i) {
        if (!hostTable[i].Name && table[i].Name) {
            table[i].Name = nullptr;
        }
    }
    return status;
}

} // namespace

NTSTATUS RtlQueryRegistryValues(ULONG relativeTo, PCWSTR path, PRTL_QUERY_REGISTRY_TABLE table,
                                PVOID context, PVOID environment) {
    return QueryValues(false, relativeTo, path, table, context, environment);
}

NTSTATUS RtlQueryRegistryValuesEx(ULONG relativeTo, PCWSTR path, PRTL_QUERY_REGISTRY_TABLE table,
                                  PVOID context, PVOID environment) {
    return QueryValues(true, relativeTo, path, table, context, environment);
}

NTSTATUS RtlWriteRegistryValue(ULONG relativeTo, PCWSTR path, PCWSTR valueName, ULONG valueType,
                               PVOID valueData, ULONG valueLength) {
    std::wstring hostPath;
    const PCWSTR pathArgument = HostRegistryPath(relativeTo, path, &hostPath);
    const std::wstring name = FromImageText(valueName);
    std::wstring text;
    if (IsText(valueType) && valueData) {
        text = FromImageData(valueData, valueLength);
        valueData = text.data();
        valueLength = static_cast<ULONG>(text.size() * sizeof(WCHAR));
    }
    return ::RtlWriteRegistryValue(relativeTo, pathArgument, valueName ? name.c_str() : nullptr,
                                   valueType, valueData, valueLength);
}

NTSTATUS ZwCreateFile(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                      PIO_STATUS_BLOCK status, PLARGE_INTEGER allocationSize, ULONG fileAttributes,
                      ULONG shareAccess, ULONG disposition, ULONG options, PVOID eaBuffer,
                      ULONG eaLength) {
    if (!attributes || !attributes->ObjectName) {
        return ::ZwCreateFile(handle, access, attributes, status, allocationSize, fileAttributes,
                              shareAccess, disposition, options, eaBuffer, eaLength);
    }
    HostString name(FromImageString(attributes->ObjectName));
    OBJECT_ATTRIBUTES hostAttributes = *attributes;
    hostAttributes.ObjectName = &name.string;
    return ::ZwCreateFile(handle, access, &hostAttributes, status, allocationSize, fileAttributes,
                          shareAccess, disposition, options, eaBuffer, eaLength);
}

NTSTATUS KsInitializeDriver(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath,
                            const KSDEVICE_DESCRIPTOR* descriptor) {
    HostString path(FromImageString(registryPath));
    return ::KsInitializeDriver(driverObject, registryPath ? &path.string : nullptr, descriptor);
}

NTSTATUS KsCreateFilterFactory(PDEVICE_OBJECT deviceObject, const KSFILTER_DESCRIPTOR* descriptor,
                               PWSTR refString, PSECURITY_DESCRIPTOR securityDescriptor,
                               ULONG createItemFlags, PFNKSFILTERFACTORYPOWER sleepCallback,
                               PFNKSFILTERFACTORYPOWER wakeCallback,
                               PKSFILTERFACTORY* filterFactory) {
    std::wstring reference = FromImageText(refString);
    return ::KsCreateFilterFactory(deviceObject, descriptor, refString ? reference.data() : nullptr,
                                   securityDescriptor, createItemFlags, sleepCallback, wakeCallback,
                                   filterFactory);
}

namespace {

// The reference clock as an image sees it: a COM-layout object whose vtable
// slots follow the Microsoft convention, forwarding to the host's clock.
struct ImageClock;

typedef NTSTATUS __attribute__((ms_abi)) (*ClockQueryInterfaceSlot)(ImageClock*, REFIID, PVOID*);
typedef ULONG __attribute__((ms_abi)) (*ClockCountSlot)(ImageClock*);
typedef LONGLONG __attribute__((ms_abi)) (*ClockTimeSlot)(ImageClock*);
typedef LONGLONG __attribute__((ms_abi)) (*ClockCorrelatedSlot)(ImageClock*, PLONGLONG);
typedef NTSTATUS __attribute__((ms_abi)) (*ClockResolutionSlot)(ImageClock*, PKSRESOLUTION);
typedef NTSTATUS __attribute__((ms_abi)) (*ClockStateSlot)(ImageClock*, PKSSTATE);

struct ImageClockVtable {
    ClockQueryInterfaceSlot QueryInterface;
    ClockCountSlot AddRef;
    ClockCountSlot Release;
    ClockTimeSlot GetTime;
    ClockTimeSlot GetPhysicalTime;
    ClockCorrelatedSlot GetCorrelatedTime;
    ClockCorrelatedSlot GetCorrelatedPhysicalTime;
    ClockResolutionSlot GetResolution;
    ClockStateSlot GetState;
};

struct ImageClock {
    const ImageClockVtable* vtable;
    PIKSREFERENCECLOCK clock; // the host's; one reference, released with the last of ours
    std::atomic<ULONG> references{1};
};

std::atomic<long> g_liveImageClocks{0};

NTSTATUS __attribute__((ms_abi)) ClockQueryInterface(ImageClock*, REFIID, PVOID* out) {
    if (out) {
        *out = nullptr;
    }
    return STATUS_NOT_IMPLEMENTED;
}
ULONG __attribute__((ms_abi)) ClockAddRef(ImageClock* self) {
    return ++self->references;
}
ULONG __attribute__((ms_abi)) ClockRelease(ImageClock* self) {
    const ULONG left = --self->references;
    if (left == 0) {
        self->clock->Release();
        delete self;
        g_liveImageClocks.fetch_sub(1);
    }
    return left;
}
LONGLONG __attribute__((ms_abi)) ClockGetTime(ImageClock* self) {
    return self->clock->GetTime();
}
LONGLONG __attribute__((ms_abi)) ClockGetPhysicalTime(ImageClock* self) {
    return self->clock->GetPhysicalTime();
}
LONGLONG __attribute__((ms_abi)) ClockGetCorrelatedTime(ImageClock* self, PLONGLONG system) {
    return self->clock->GetCorrelatedTime(system);
}
LONGLONG __attribute__((ms_abi))
ClockGetCorrelatedPhysicalTime(ImageClock* self, PLONGLONG system) {
    return self->clock->GetCorrelatedPhysicalTime(system);
}
NTSTATUS __attribute__((ms_abi)) ClockGetResolution(ImageClock* self, PKSRESOLUTION resolution) {
    return self->clock->GetResolution(resolution);
}
NTSTATUS __attribute__((ms_abi)) ClockGetState(ImageClock* self, PKSSTATE state) {
    return self->clock->GetState(state);
}

const ImageClockVtable kClockVtable = {
    ClockQueryInterface,
    ClockAddRef,
    ClockRelease,
    ClockGetTime,
    ClockGetPhysicalTime,
    ClockGetCorrelatedTime,
    ClockGetCorrelatedPhysicalTime,
    ClockGetResolution,
    ClockGetState,
};

} // namespace

NTSTATUS KsPinGetReferenceClockInterface(PKSPIN pin, PIKSREFERENCECLOCK* interface) {
    if (!interface) {
        return ::KsPinGetReferenceClockInterface(pin, interface);
    }
    PIKSREFERENCECLOCK clock = nullptr;
    const NTSTATUS status = ::KsPinGetReferenceClockInterface(pin, &clock);
    *interface = nullptr;
    if (!NT_SUCCESS(status) || !clock) {
        return status;
    }
    auto* wrapped = new (std::nothrow) ImageClock{&kClockVtable, clock};
    if (!wrapped) {
        clock->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    g_liveImageClocks.fetch_add(1);
    *interface = reinterpret_cast<PIKSREFERENCECLOCK>(wrapped);
    return STATUS_SUCCESS;
}

} // namespace image

long LiveImageClocks() {
    return image::g_liveImageClocks.load();
}

const void* CurrentImageCaller() {
    return t_imageCaller;
}

// ---------------------------------------------------------------------------
// The export table

namespace {

#define M4350_ROUTINE(dll, name, routine)                                                          \
    {dll, #name, reinterpret_cast<void*>(&Thunk<&routine>::Call), false},
#define M4350_THUNK(dll, name, thunk) {dll, #name, reinterpret_cast<void*>(&thunk), false},
#define M4350_DATA(dll, name, variable) {dll, #name, reinterpret_cast<void*>(&variable), true},

const ExportEntry kExports[] = {M4350_IMAGE_EXPORTS(M4350_ROUTINE, M4350_THUNK, M4350_DATA)};

#undef M4350_ROUTINE
#undef M4350_THUNK
#undef M4350_DATA

} // namespace

std::span<const ExportEntry> Exports() {
    return kExports;
}

} // namespace host::loader

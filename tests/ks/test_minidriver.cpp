#include "test_minidriver.h"

#include <cstring>
#include <memory>
#include <thread>

namespace ktest {

namespace {

std::unique_ptr<Journal> g_journal = std::make_unique<Journal>();

constexpr ULONG kDeviceTag = 'vDsK';
constexpr ULONG kFilterTag = 'lFsK';
constexpr ULONG kPinTag = 'nPsK';
constexpr ULONG kEditTag = 'dEsK';

KS_DATARANGE_VIDEO MakeRange(const GUID& subtype, DWORD fourcc, LONG width = 64, LONG height = 48) {
    KS_DATARANGE_VIDEO r{};
    r.DataRange.FormatSize = sizeof(KS_DATARANGE_VIDEO);
    r.DataRange.SampleSize = ULONG(width * height * 2);
    r.DataRange.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
    r.DataRange.SubFormat = subtype;
    r.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
    r.bFixedSizeSamples = TRUE;
    r.ConfigCaps.guid = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
    r.ConfigCaps.VideoStandard = KS_AnalogVideo_NTSC_M;
    r.ConfigCaps.InputSize = {width, height};
    r.ConfigCaps.MinOutputSize = {width, height};
    r.ConfigCaps.MaxOutputSize = {width, height};
    r.ConfigCaps.MinFrameInterval = 333667;
    r.ConfigCaps.MaxFrameInterval = 333667;
    r.VideoInfoHeader.AvgTimePerFrame = 333667;
    r.VideoInfoHeader.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
    r.VideoInfoHeader.bmiHeader.biWidth = width;
    r.VideoInfoHeader.bmiHeader.biHeight = height;
    r.VideoInfoHeader.bmiHeader.biPlanes = 1;
    r.VideoInfoHeader.bmiHeader.biBitCount = 16;
    r.VideoInfoHeader.bmiHeader.biCompression = fourcc;
    r.VideoInfoHeader.bmiHeader.biSizeImage = ULONG(width * height * 2);
    return r;
}

const KS_DATARANGE_VIDEO g_uyvy =
    MakeRange(KSDATAFORMAT_SUBTYPE_UYVY, KS_MAKEFOURCC('U', 'Y', 'V', 'Y'));
const KS_DATARANGE_VIDEO g_yuy2 =
    MakeRange(KSDATAFORMAT_SUBTYPE_YUY2, KS_MAKEFOURCC('Y', 'U', 'Y', '2'));
const KS_DATARANGE_VIDEO g_uyvySmall =
    MakeRange(KSDATAFORMAT_SUBTYPE_UYVY, KS_MAKEFOURCC('U', 'Y', 'V', 'Y'), 32, 24);
const PKSDATARANGE g_ranges[] = {(PKSDATARANGE)&g_uyvy, (PKSDATARANGE)&g_yuy2,
                                 (PKSDATARANGE)&g_uyvySmall};

const KSALLOCATOR_FRAMING_EX g_framing = {1,
                                          0,
                                          {1, 1, 0},
                                          0,
                                          {{STATIC_KSMEMORY_TYPE_KERNEL_NONPAGED,
                                            STATIC_GUID_NULL,
                                            0,
                                            0,
                                            KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY,
                                            2,
                                            0,
                                            0,
                                            {0, 0xFFFFFFFF, 1},
                                            {{8192, 8192, 1}, 0, 0}}}};

// ---------------------------------------------------------------------------
// Device

void FreeTagged(PVOID p) {
    ExFreePool(p);
}

void FreeDeviceContext(PVOID context) {
    TheJournal().Record("free device context");
    ExFreePool(context);
}

NTSTATUS DeviceAdd(PKSDEVICE device) {
    Journal& j = TheJournal();
    j.Record("Add");
    if (!NT_SUCCESS(j.addStatus)) {
        return j.addStatus;
    }
    PVOID context = ExAllocatePoolWithTag(NonPagedPool, 32, kDeviceTag);
    if (context == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KsAcquireDevice(device);
    NTSTATUS status = KsAddItemToObjectBag(device->Bag, context, FreeDeviceContext);
    KsReleaseDevice(device);
    if (!NT_SUCCESS(status)) {
        ExFreePool(context);
        return status;
    }
    device->Context = context;
    j.deviceContext = context;
    return STATUS_SUCCESS;
}

NTSTATUS DeviceStart(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) {
    Journal& j = TheJournal();
    j.Record(std::string("Start started=") + (device->Started ? "1" : "0"));
    if (!NT_SUCCESS(j.startStatus)) {
        return j.startStatus;
    }
    KsAcquireDevice(device);
    NTSTATUS status = KsCreateFilterFactory(
        device->FunctionalDeviceObject, &FilterDescriptor(), const_cast<PWSTR>(L"freeonstop"),
        nullptr, KSCREATE_ITEM_FREEONSTOP, nullptr, nullptr, &j.freeOnStopFactory);
    if (NT_SUCCESS(status) && j.keeperFactory == nullptr) {
        status = KsCreateFilterFactory(device->FunctionalDeviceObject, &FilterDescriptor(),
                                       const_cast<PWSTR>(L"keeper"), nullptr, 0, nullptr, nullptr,
                                       &j.keeperFactory);
    }
    KsReleaseDevice(device);
    return status;
}

void DeviceStop(PKSDEVICE device, PIRP) {
    TheJournal().Record(std::string("Stop started=") + (device->Started ? "1" : "0"));
}

void DeviceRemove(PKSDEVICE, PIRP) {
    TheJournal().Record("Remove");
}

void DeviceSurpriseRemoval(PKSDEVICE, PIRP) {
    TheJournal().Record("SurpriseRemoval");
}

void DeviceSetPower(PKSDEVICE, PIRP, DEVICE_POWER_STATE to, DEVICE_POWER_STATE from) {
    TheJournal().Record("SetPower " + std::to_string(to) + " " + std::to_string(from));
}

const KSDEVICE_DISPATCH g_deviceDispatch = {DeviceAdd,
                                            DeviceStart,
                                            nullptr,
                                            nullptr,
                                            nullptr,
                                            DeviceStop,
                                            nullptr,
                                            nullptr,
                                            DeviceRemove,
                                            nullptr,
                                            DeviceSurpriseRemoval,
                                            nullptr,
                                            DeviceSetPower,
                                            nullptr};
const KSDEVICE_DESCRIPTOR g_deviceDescriptor = {&g_deviceDispatch, 0, nullptr, 0};

// ---------------------------------------------------------------------------
// Filter

NTSTATUS FilterCreate(PKSFILTER filter, PIRP) {
    Journal& j = TheJournal();
    j.Record("FilterCreate");
    j.filterContextAtCreate = filter->Context;
    if (!NT_SUCCESS(j.filterCreateStatus)) {
        return j.filterCreateStatus;
    }
    PVOID context = ExAllocatePoolWithTag(NonPagedPool, 16, kFilterTag);
    if (context == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = KsAddItemToObjectBag(filter->Bag, context, FreeTagged);
    if (!NT_SUCCESS(status)) {
        ExFreePool(context);
        return status;
    }
    filter->Context = context;
    j.filterContext = context;
    return STATUS_SUCCESS;
}

NTSTATUS FilterClose(PKSFILTER, PIRP) {
    TheJournal().Record("FilterClose");
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Pin

NTSTATUS PinSetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat, PKSMULTIPLE_ITEM,
                          const KSDATARANGE* range, const KSATTRIBUTE_LIST*) {
    Journal& j = TheJournal();
    j.Record("SetDataFormat");
    {
        std::lock_guard<std::mutex> guard(j.lock);
        if (oldFormat == nullptr) {
            j.oldFormats.emplace_back();
        } else {
            auto* bytes = reinterpret_cast<unsigned char*>(oldFormat);
            j.oldFormats.emplace_back(bytes, bytes + oldFormat->FormatSize);
        }
    }
    if (oldFormat == nullptr) {
        j.pinContextAtSetFormat = pin->Context;
    }
    j.rangeAtSetFormat = range;
    {
        std::lock_guard<std::mutex> guard(j.lock);
        j.rangesOffered.push_back(range);
    }
    auto* format = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(pin->ConnectionFormat);
    auto* video = reinterpret_cast<const KS_DATARANGE_VIDEO*>(range);
    if (j.matchWidth &&
        format->VideoInfoHeader.bmiHeader.biWidth != video->VideoInfoHeader.bmiHeader.biWidth) {
        return STATUS_NO_MATCH;
    }
    return j.setFormatStatus;
}

NTSTATUS PinCreate(PKSPIN pin, PIRP irp) {
    Journal& j = TheJournal();
    j.Record("PinCreate");
    j.pinContextAtCreate = pin->Context;
    if (KsGetPinFromIrp(irp) != pin) {
        j.Record("PinCreate: the IRP does not lead to the pin");
    }
    if (!NT_SUCCESS(j.pinCreateStatus)) {
        return j.pinCreateStatus;
    }
    PVOID context = ExAllocatePoolWithTag(NonPagedPool, 16, kPinTag);
    if (context == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = KsAddItemToObjectBag(pin->Bag, context, FreeTagged);
    if (!NT_SUCCESS(status)) {
        ExFreePool(context);
        return status;
    }
    pin->Context = context;
    // The pin gets a descriptor and framing of its own, as a minidriver that
    // sizes its buffers per format does.
    status = _KsEdit(pin->Bag, (PVOID*)&pin->Descriptor, sizeof(KSPIN_DESCRIPTOR_EX),
                     sizeof(KSPIN_DESCRIPTOR_EX), kEditTag);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* descriptor = const_cast<KSPIN_DESCRIPTOR_EX*>(pin->Descriptor);
    status = _KsEdit(pin->Bag, (PVOID*)&descriptor->AllocatorFraming,
                     sizeof(KSALLOCATOR_FRAMING_EX), sizeof(KSALLOCATOR_FRAMING_EX), kEditTag);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const_cast<KSALLOCATOR_FRAMING_EX*>(descriptor->AllocatorFraming)->FramingItem[0].Frames = 6;
    pin->StreamHeaderSize = kStreamHeaderSize;
    j.pin = pin;
    return STATUS_SUCCESS;
}

NTSTATUS PinClose(PKSPIN, PIRP) {
    TheJournal().Record("PinClose");
    return STATUS_SUCCESS;
}

NTSTATUS PinSetDeviceState(PKSPIN, KSSTATE to, KSSTATE from) {
    Journal& j = TheJournal();
    j.Record("SetDeviceState " + std::to_string(to) + " " + std::to_string(from));
    return static_cast<int>(to) == j.failStateTo ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
}

NTSTATUS PinProcess(PKSPIN pin) {
    Journal& j = TheJournal();
    int active = ++j.activeProcess;
    int seen = j.maxActiveProcess.load();
    while (active > seen && !j.maxActiveProcess.compare_exchange_weak(seen, active)) {
    }
    ++j.processCalls;
    if (pin->DeviceState != KSSTATE_RUN) {
        ++j.processOutsideRun;
    }
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        ++j.processAbovePassive;
    }
    // Give a second, overlapping call every chance to show up.
    std::this_thread::yield();
    if (j.succeedWithoutWork) {
        --j.activeProcess;
        return STATUS_SUCCESS;
    }

    NTSTATUS status = STATUS_PENDING;
    int ready = j.framesReady.load();
    while (ready > 0 && !j.framesReady.compare_exchange_weak(ready, ready - 1)) {
    }
    if (ready > 0) {
        PKSSTREAM_POINTER sp = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
        if (sp == nullptr) {
            ++j.framesReady; // nobody to take it yet
        } else {
            LONGLONG picture = ++j.pictureNumber;
            PKSSTREAM_HEADER header = sp->StreamHeader;
            ULONG bytes = std::min<ULONG>(sp->OffsetOut.Remaining, 16);
            std::memset(sp->OffsetOut.Data, static_cast<int>(picture & 0xFF), bytes);
            header->DataUsed = bytes;
            header->PresentationTime.Time = picture * 333667;
            header->OptionsFlags = KSSTREAM_HEADER_OPTIONSF_TIMEVALID;
            auto* info = reinterpret_cast<PKS_FRAME_INFO>(header + 1);
            if (info->ExtendedHeaderSize == sizeof(KS_FRAME_INFO)) {
                info->PictureNumber = picture;
                info->DropCount = 0;
            }
            KsStreamPointerUnlock(sp, TRUE);
            status = STATUS_SUCCESS;
        }
    }
    --j.activeProcess;
    return status;
}

NTSTATUS PinIntersect(PVOID context, PIRP irp, PKSP_PIN, PKSDATARANGE callerRange,
                      PKSDATARANGE matchingRange, ULONG bufferSize, PVOID data, PULONG dataSize) {
    Journal& j = TheJournal();
    j.Record("Intersect");
    if (KsGetFilterFromIrp(irp) != static_cast<PKSFILTER>(context)) {
        j.Record("Intersect: the IRP does not lead to the filter");
    }
    if (callerRange->SubFormat != matchingRange->SubFormat) {
        return STATUS_NO_MATCH;
    }
    if (bufferSize == 0) {
        *dataSize = kFormatSize;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (bufferSize < kFormatSize) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto* range = reinterpret_cast<const KS_DATARANGE_VIDEO*>(matchingRange);
    auto* format = static_cast<PKS_DATAFORMAT_VIDEOINFOHEADER>(data);
    format->DataFormat = range->DataRange;
    format->DataFormat.FormatSize = kFormatSize;
    format->VideoInfoHeader = range->VideoInfoHeader;
    *dataSize = kFormatSize;
    return STATUS_SUCCESS;
}

const KSPIN_DISPATCH g_pinDispatch = {
    PinCreate,         PinClose, PinProcess, nullptr, PinSetDataFormat,
    PinSetDeviceState, nullptr,  nullptr,    nullptr, nullptr};

const KSPIN_DESCRIPTOR_EX g_pinDescriptor = {&g_pinDispatch,
                                             nullptr,
                                             {0,
                                              nullptr,
                                              0,
                                              nullptr,
                                              SIZEOF_ARRAY(g_ranges),
                                              g_ranges,
                                              KSPIN_DATAFLOW_OUT,
                                              KSPIN_COMMUNICATION_BOTH,
                                              &PINNAME_VIDEO_CAPTURE,
                                              &PINNAME_VIDEO_CAPTURE,
                                              {0}},
                                             KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY |
                                                 KSPIN_FLAG_INITIATE_PROCESSING_ON_EVERY_ARRIVAL,
                                             1,
                                             0,
                                             &g_framing,
                                             PinIntersect};

// ---------------------------------------------------------------------------
// Automation

NTSTATUS ValueGet(PIRP irp, PKSPROPERTY, PVOID data) {
    *static_cast<LONG*>(data) = TheJournal().value;
    irp->IoStatus.Information = sizeof(LONG);
    return STATUS_SUCCESS;
}

NTSTATUS ValueSet(PIRP, PKSPROPERTY, PVOID data) {
    LONG v = *static_cast<LONG*>(data);
    if (v < kValueMin || v > kValueMax) {
        return STATUS_INVALID_PARAMETER;
    }
    TheJournal().value = v;
    return STATUS_SUCCESS;
}

NTSTATUS GetOnly(PIRP irp, PKSPROPERTY, PVOID data) {
    TheJournal().Record("GetOnly");
    std::memcpy(data, "12345678", 8);
    irp->IoStatus.Information = 8;
    return STATUS_SUCCESS;
}

NTSTATUS Overreport(PIRP irp, PKSPROPERTY, PVOID) {
    irp->IoStatus.Information = 4096;
    return STATUS_SUCCESS;
}

NTSTATUS MethodIncrement(PIRP irp, PKSMETHOD method, PVOID data) {
    if (method->Id != kMethodIncrement) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* words = static_cast<ULONG*>(data);
    words[6] += 1;  // offset 24
    words[7] = 0xA; // offset 28: the handler's answer
    irp->IoStatus.Information = 32;
    return STATUS_SUCCESS;
}

NTSTATUS MethodReadOnly(PIRP irp, PKSMETHOD, PVOID data) {
    auto* words = static_cast<ULONG*>(data);
    TheJournal().readOnlyValue = words[6];
    words[6] = 0xDEAD; // must not reach the caller
    irp->IoStatus.Information = 32;
    return STATUS_SUCCESS;
}

NTSTATUS MethodWriteOnly(PIRP irp, PKSMETHOD, PVOID data) {
    static_cast<ULONG*>(data)[6] = 0xBEEF;
    irp->IoStatus.Information = 32;
    return STATUS_SUCCESS;
}

const KSPROPERTY_STEPPING_LONG g_valueRange[] = {{1, 0, {{kValueMin, kValueMax}}}};
const LONG g_valueDefault = kValueDefault;
const KSPROPERTY_MEMBERSLIST g_valueMembers[] = {
    {{KSPROPERTY_MEMBER_RANGES, sizeof(KSPROPERTY_STEPPING_LONG), 1, 0}, g_valueRange},
    {{KSPROPERTY_MEMBER_VALUES, sizeof(LONG), 1, KSPROPERTY_MEMBER_FLAG_DEFAULT}, &g_valueDefault},
};
KSPROPERTY_VALUES MakeValues() {
    KSPROPERTY_VALUES values{};
    values.PropTypeSet.Set = KSPROPTYPESETID_General;
    values.PropTypeSet.Id = VT_I4;
    values.MembersListCount = SIZEOF_ARRAY(g_valueMembers);
    values.MembersList = g_valueMembers;
    return values;
}
const KSPROPERTY_VALUES g_valueValues = MakeValues();

const KSPROPERTY_ITEM g_testProperties[] = {
    DEFINE_KSPROPERTY_ITEM(kPropValue, ValueGet, sizeof(KSPROPERTY), sizeof(LONG), ValueSet,
                           &g_valueValues, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(kPropGetOnly, GetOnly, sizeof(KSPROPERTY), 8, nullptr, nullptr, 0,
                           nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(kPropOverreport, Overreport, sizeof(KSPROPERTY), 4, nullptr, nullptr, 0,
                           nullptr, nullptr, 0),
};
const KSMETHOD_ITEM g_testMethods[] = {
    DEFINE_KSMETHOD_ITEM(kMethodIncrement, KSMETHOD_TYPE_MODIFY, MethodIncrement, sizeof(KSMETHOD),
                         32, nullptr),
    DEFINE_KSMETHOD_ITEM(kMethodReadOnly, KSMETHOD_TYPE_READ, MethodReadOnly, sizeof(KSMETHOD), 32,
                         nullptr),
    DEFINE_KSMETHOD_ITEM(kMethodWriteOnly, KSMETHOD_TYPE_WRITE, MethodWriteOnly, sizeof(KSMETHOD),
                         32, nullptr),
};
const KSPROPERTY_SET g_propertySets[] = {
    DEFINE_KSPROPERTY_SET(&PROPSETID_KsTest, SIZEOF_ARRAY(g_testProperties), g_testProperties, 0,
                          nullptr),
};
const KSMETHOD_SET g_methodSets[] = {
    DEFINE_KSMETHOD_SET(&METHODSETID_KsTest, SIZEOF_ARRAY(g_testMethods), g_testMethods, 0,
                        nullptr),
};
const KSAUTOMATION_TABLE g_filterAutomation = {DEFINE_KSAUTOMATION_PROPERTIES(g_propertySets),
                                               DEFINE_KSAUTOMATION_METHODS(g_methodSets),
                                               DEFINE_KSAUTOMATION_EVENTS_NULL};

const GUID g_categories[] = {STATIC_KSCATEGORY_VIDEO, STATIC_KSCATEGORY_CAPTURE};
const KSFILTER_DISPATCH g_filterDispatch = {FilterCreate, FilterClose, nullptr, nullptr};
// {0E2C36A9-6A53-4D7C-9F27-4D1B1A3E7C10}
const GUID g_referenceGuid = {
    0x0E2C36A9, 0x6A53, 0x4D7C, {0x9F, 0x27, 0x4D, 0x1B, 0x1A, 0x3E, 0x7C, 0x10}};

const KSFILTER_DESCRIPTOR g_filterDescriptor = {&g_filterDispatch,
                                                &g_filterAutomation,
                                                KSFILTER_DESCRIPTOR_VERSION,
                                                0,
                                                &g_referenceGuid,
                                                1,
                                                sizeof(KSPIN_DESCRIPTOR_EX),
                                                &g_pinDescriptor,
                                                DEFINE_KSFILTER_CATEGORIES(g_categories),
                                                DEFINE_KSFILTER_NODE_DESCRIPTORS_NULL,
                                                DEFINE_KSFILTER_DEFAULT_CONNECTIONS,
                                                nullptr};

} // namespace

const KS_DATARANGE_VIDEO& RangeUyvy() {
    return g_uyvy;
}
const KS_DATARANGE_VIDEO& RangeYuy2() {
    return g_yuy2;
}
const KS_DATARANGE_VIDEO& RangeUyvySmall() {
    return g_uyvySmall;
}
const KSFILTER_DESCRIPTOR& FilterDescriptor() {
    return g_filterDescriptor;
}
const KSPIN_DESCRIPTOR_EX& CapturePinDescriptor() {
    return g_pinDescriptor;
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    TheJournal().Record("DriverEntry");
    return KsInitializeDriver(driver, registryPath, &g_deviceDescriptor);
}

Journal& TheJournal() {
    return *g_journal;
}

void ResetJournal() {
    g_journal = std::make_unique<Journal>();
}

} // namespace ktest

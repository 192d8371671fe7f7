#include "standin_driver.h"

#include "shared/device_method_set.h"

#include <ksmedia.h>

#include <cstring>
#include <memory>

namespace standin {
namespace {

std::unique_ptr<Recorder> g_recorder = std::make_unique<Recorder>();

NTSTATUS MethodHandler(PIRP irp, PKSMETHOD method, PVOID data) {
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG_PTR information = irp->IoStatus.Information;
    NTSTATUS status = TheRecorder().Handle(method->Id, data, length, &information);
    irp->IoStatus.Information = information;
    return status;
}

NTSTATUS PropertyGet(PIRP irp, PKSPROPERTY, PVOID data) {
    *static_cast<ULONG*>(data) = 0x4350;
    irp->IoStatus.Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

#define STANDIN_METHOD(id, size)                                                                   \
    DEFINE_KSMETHOD_ITEM(id, KSMETHOD_TYPE_MODIFY, MethodHandler, sizeof(KSMETHOD), size, nullptr)

const KSMETHOD_ITEM g_methods[] = {
    STANDIN_METHOD(DEVICE_METHOD_SET_ATTRIBUTE, sizeof(DEVICE_ATTRIBUTE_REQUEST)),
    STANDIN_METHOD(DEVICE_METHOD_GET_ATTRIBUTE, sizeof(DEVICE_ATTRIBUTE_REQUEST)),
    STANDIN_METHOD(DEVICE_METHOD_UPDATE_EEPROM, sizeof(DEVICE_EEPROM_UPDATE_REQUEST)),
    STANDIN_METHOD(DEVICE_METHOD_VERIFY_EEPROM, sizeof(DEVICE_EEPROM_VERIFY_REQUEST)),
    STANDIN_METHOD(DEVICE_METHOD_GET_VERSION, sizeof(DEVICE_VERSION_REQUEST)),
    STANDIN_METHOD(DEVICE_METHOD_GET_SERIAL, sizeof(DEVICE_SERIAL_REQUEST)),
};
const KSMETHOD_SET g_methodSets[] = {
    DEFINE_KSMETHOD_SET(&DeviceMethodSet, SIZEOF_ARRAY(g_methods), g_methods, 0, nullptr),
};
const KSPROPERTY_ITEM g_properties[] = {
    DEFINE_KSPROPERTY_ITEM(0, PropertyGet, sizeof(KSPROPERTY), sizeof(ULONG), nullptr, nullptr, 0,
                           nullptr, nullptr, 0),
};
const KSPROPERTY_SET g_propertySets[] = {
    DEFINE_KSPROPERTY_SET(&PropertySet, SIZEOF_ARRAY(g_properties), g_properties, 0, nullptr),
};
const KSAUTOMATION_TABLE g_automation = {DEFINE_KSAUTOMATION_PROPERTIES(g_propertySets),
                                         DEFINE_KSAUTOMATION_METHODS(g_methodSets),
                                         DEFINE_KSAUTOMATION_EVENTS_NULL};

const GUID g_categories[] = {STATIC_KSCATEGORY_VIDEO, STATIC_KSCATEGORY_CAPTURE};
// {3A7C1E90-5B2D-4F61-8E4A-9C0B7D2F6A12}
const GUID g_referenceGuid = {
    0x3A7C1E90, 0x5B2D, 0x4F61, {0x8E, 0x4A, 0x9C, 0x0B, 0x7D, 0x2F, 0x6A, 0x12}};
const KSFILTER_DESCRIPTOR g_filter = {nullptr,
                                      &g_automation,
                                      KSFILTER_DESCRIPTOR_VERSION,
                                      0,
                                      &g_referenceGuid,
                                      0,
                                      sizeof(KSPIN_DESCRIPTOR_EX),
                                      nullptr,
                                      DEFINE_KSFILTER_CATEGORIES(g_categories),
                                      DEFINE_KSFILTER_NODE_DESCRIPTORS_NULL,
                                      DEFINE_KSFILTER_DEFAULT_CONNECTIONS,
                                      nullptr};

NTSTATUS DeviceStart(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) {
    return KsCreateFilterFactory(device->FunctionalDeviceObject, &g_filter,
                                 const_cast<PWSTR>(L"standin"), nullptr, KSCREATE_ITEM_FREEONSTOP,
                                 nullptr, nullptr, nullptr);
}

const KSDEVICE_DISPATCH g_deviceDispatch = {nullptr, DeviceStart};
const KSDEVICE_DESCRIPTOR g_device = {&g_deviceDispatch, 0, nullptr, 0};

} // namespace

void Recorder::SetAnswer(ULONG id, Answer answer) {
    std::lock_guard guard(lock_);
    answers_[id] = std::move(answer);
}

std::vector<Request> Recorder::Requests() {
    std::lock_guard guard(lock_);
    return requests_;
}

NTSTATUS Recorder::Handle(ULONG id, void* data, ULONG length, ULONG_PTR* information) {
    std::lock_guard guard(lock_);
    Request request;
    request.id = id;
    request.dataLength = length;
    request.data.assign(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + length);
    requests_.push_back(std::move(request));
    const Answer& answer = answers_[id];
    for (const auto& [offset, word] : answer.words) {
        if (offset + sizeof word <= length) {
            std::memcpy(static_cast<uint8_t*>(data) + offset, &word, sizeof word);
        }
    }
    *information = answer.information.value_or(length);
    return answer.status;
}

Recorder& TheRecorder() {
    return *g_recorder;
}

void Reset() {
    g_recorder = std::make_unique<Recorder>();
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    return KsInitializeDriver(driver, registryPath, &g_device);
}

} // namespace standin

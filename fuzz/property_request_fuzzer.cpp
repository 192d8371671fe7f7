// Property and method requests under arbitrary contents: any set (the ones
// the filters and pins carry, and others), any id, any flags, request and
// data buffers of any length with any bytes, the data buffer separate or the
// request buffer itself (as the plug-in sends methods), through
// DeviceIoControl on a filter handle or on a pin handle.
//
// Each buffer is an allocation of exactly its length, so the sanitizers see
// any byte a handler reads or writes beyond it. No answer may claim more
// bytes than the caller's buffer holds, and closing the handles leaves
// nothing behind.
#include "fuzz_support.h"
#include "fuzz_system.h"

#include "shared/device_method_set.h"

#include <host/kernel.h>
#include <host/ks_client.h>
#include <host/services.h>
#include <ksmedia.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <memory>

namespace {

using m4350fuzz::FuzzSystem;

struct Bytes {
    std::unique_ptr<unsigned char[]> data;
    ULONG size = 0;
};

Bytes Exact(FuzzedDataProvider& in, ULONG size) {
    Bytes b;
    b.size = size;
    b.data.reset(new unsigned char[size ? size : 1]);
    std::vector<unsigned char> fill = in.ConsumeBytes<unsigned char>(size);
    std::memset(b.data.get(), 0, size);
    if (!fill.empty()) {
        std::memcpy(b.data.get(), fill.data(), fill.size());
    }
    return b;
}

ULONG PickLength(FuzzedDataProvider& in) {
    const ULONG lengths[] = {0,
                             sizeof(ULONG),
                             sizeof(KSPROPERTY),
                             sizeof(KSP_PIN),
                             sizeof(KSPROPERTY_VIDEOPROCAMP_S),
                             sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S),
                             sizeof(DEVICE_VERSION_REQUEST),
                             sizeof(DEVICE_ATTRIBUTE_REQUEST),
                             sizeof(DEVICE_EEPROM_UPDATE_REQUEST),
                             sizeof(DEVICE_EEPROM_VERIFY_REQUEST),
                             in.ConsumeIntegralInRange<ULONG>(0, 9000)};
    return in.PickValueInArray(lengths);
}

void Request(FuzzedDataProvider& in, HANDLE handle) {
    const bool method = in.ConsumeIntegralInRange(0, 2) == 0;
    const GUID sets[] = {KSPROPSETID_Pin,
                         KSPROPSETID_Connection,
                         KSPROPSETID_General,
                         PROPSETID_VIDCAP_VIDEOPROCAMP,
                         PROPSETID_VIDCAP_VIDEODECODER,
                         PROPSETID_VIDCAP_DROPPEDFRAMES,
                         DeviceMethodSet,
                         GUID{in.ConsumeIntegral<uint32_t>(), 0, 0, {0}}};
    const GUID set = method && in.ConsumeBool() ? DeviceMethodSet : in.PickValueInArray(sets);
    const ULONG id = in.ConsumeIntegralInRange(0, 7) ? in.ConsumeIntegralInRange<ULONG>(0, 12)
                                                     : in.ConsumeIntegral<ULONG>();
    const ULONG propertyFlags[] = {KSPROPERTY_TYPE_GET,           KSPROPERTY_TYPE_SET,
                                   KSPROPERTY_TYPE_BASICSUPPORT,  KSPROPERTY_TYPE_SETSUPPORT,
                                   KSPROPERTY_TYPE_DEFAULTVALUES, in.ConsumeIntegral<ULONG>()};
    const ULONG methodFlags[] = {KSMETHOD_TYPE_MODIFY,       KSMETHOD_TYPE_READ,
                                 KSMETHOD_TYPE_WRITE,        KSMETHOD_TYPE_NONE,
                                 KSMETHOD_TYPE_BASICSUPPORT, in.ConsumeIntegral<ULONG>()};
    const ULONG flags =
        method ? in.PickValueInArray(methodFlags) : in.PickValueInArray(propertyFlags);

    Bytes request = Exact(in, PickLength(in));
    if (request.size >= sizeof(KSIDENTIFIER)) {
        KSIDENTIFIER header{};
        header.Set = set;
        header.Id = id;
        header.Flags = flags;
        std::memcpy(request.data.get(), &header, sizeof header);
        // Methods of the device's set carry the magic the EEPROM calls want.
        if (method && request.size >= 28 && in.ConsumeBool()) {
            const ULONG magic = DeviceEepromMagic;
            std::memcpy(request.data.get() + 24, &magic, sizeof magic);
        }
    }
    const bool inPlace = in.ConsumeBool();
    Bytes data;
    if (!inPlace) {
        data = Exact(in, PickLength(in));
    }
    unsigned char* out = inPlace ? request.data.get() : data.data.get();
    const ULONG outSize = inPlace ? request.size : data.size;
    ULONG returned = 0xFFFFFFFF;
    NTSTATUS status =
        host::ks::DeviceIoControl(handle, method ? IOCTL_KS_METHOD : IOCTL_KS_PROPERTY,
                                  request.data.get(), request.size, out, outSize, &returned);
    if (NT_SUCCESS(status)) {
        FUZZ_CHECK(returned <= outSize, "an answer longer than the caller's buffer (" +
                                            std::to_string(returned) + " of " +
                                            std::to_string(outSize) + ")");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    m4350fuzz::Prepare(1.0);
    FuzzSystem::Get();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    FuzzSystem& system = FuzzSystem::Get();
    host::DeleteServiceValue(L"m4350av\\Parameters", L"FixedStandard");
    const m4350fuzz::KernelCounts before = m4350fuzz::KernelCounts::Settled();
    HANDLE filter = nullptr;
    FUZZ_CHECK(NT_SUCCESS(host::ks::OpenFilter(system.Link(in.ConsumeIntegral<uint8_t>()).c_str(),
                                               &filter)),
               "a filter that does not open");
    HANDLE pin = nullptr;
    if (in.ConsumeBool()) {
        std::vector<unsigned char> format = system.Format(filter, in.ConsumeIntegral<uint8_t>());
        if (!format.empty()) {
            host::ks::CreatePin(filter, 0, reinterpret_cast<const KSDATAFORMAT*>(format.data()),
                                &pin);
        }
    }
    for (int k = in.ConsumeIntegralInRange(1, 8); k > 0 && in.remaining_bytes() > 0; --k) {
        Request(in, pin && in.ConsumeBool() ? pin : filter);
    }
    if (pin) {
        host::ks::SetPinState(pin, KSSTATE_STOP);
        FUZZ_CHECK(NT_SUCCESS(host::ks::CloseHandle(pin)), "pin close");
    }
    FUZZ_CHECK(NT_SUCCESS(host::ks::CloseHandle(filter)), "filter close");
    m4350fuzz::CheckBackTo(before, "a filter's requests");
    return 0;
}

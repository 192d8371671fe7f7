// Pin creation and SetDataFormat under arbitrary formats: a format the pin
// offers with bytes of the input laid over it (sizes, frame rates, bitmap
// headers, GUIDs), cut or grown, with a FormatSize of the input's choice
// (never beyond the bytes passed), or the input alone; through the client's
// CreatePin and then SetPinDataFormat on the created pin, with a few state
// changes in between.
//
// A pin that was created holds the format it was given (with its frame
// interval snapped to the board's rates); a second pin
// on the same filter is refused; closing everything leaves nothing behind.
#include "fuzz_support.h"
#include "fuzz_system.h"

#include <host/kernel.h>
#include <host/ks_client.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <memory>

namespace {

using m4350fuzz::FuzzSystem;

// An exact-size allocation holding the format the input makes.
struct Format {
    std::unique_ptr<unsigned char[]> bytes;
    ULONG size = 0;
    const KSDATAFORMAT* get() const { return reinterpret_cast<const KSDATAFORMAT*>(bytes.get()); }
};

Format MakeFormat(FuzzedDataProvider& in, HANDLE filter) {
    std::vector<unsigned char> base;
    if (in.ConsumeIntegralInRange(0, 7) != 0) {
        base = FuzzSystem::Get().Format(filter, in.ConsumeIntegral<uint8_t>());
        for (int k = in.ConsumeIntegralInRange(0, 3); k > 0 && !base.empty(); --k) {
            size_t at = in.ConsumeIntegralInRange<size_t>(0, base.size() - 1);
            std::vector<unsigned char> patch =
                in.ConsumeBytes<unsigned char>(in.ConsumeIntegralInRange(1, 8));
            for (size_t i = 0; i < patch.size() && at + i < base.size(); ++i) {
                base[at + i] = patch[i];
            }
        }
        if (in.ConsumeIntegralInRange(0, 3) == 0) {
            base.resize(in.ConsumeIntegralInRange<size_t>(0, base.size() + 64), 0);
        }
    } else {
        base = in.ConsumeBytes<unsigned char>(in.ConsumeIntegralInRange(0, 400));
    }
    if (base.size() < sizeof(ULONG)) {
        base.resize(sizeof(ULONG), 0);
    }
    // The client reads FormatSize bytes: it may say less than was passed,
    // never more.
    ULONG formatSize;
    std::memcpy(&formatSize, base.data(), sizeof formatSize);
    if (formatSize > base.size() || in.ConsumeBool()) {
        formatSize = ULONG(base.size());
        std::memcpy(base.data(), &formatSize, sizeof formatSize);
    }
    Format f;
    f.size = ULONG(base.size());
    f.bytes.reset(new unsigned char[f.size]);
    std::memcpy(f.bytes.get(), base.data(), f.size);
    return f;
}

void ExpectFormat(HANDLE pin, const Format& given) {
    std::vector<unsigned char> held(4096);
    ULONG returned = 0;
    NTSTATUS status =
        host::ks::GetProperty(pin, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT,
                              held.data(), ULONG(held.size()), &returned);
    FUZZ_CHECK(NT_SUCCESS(status), "a pin without a format");
    const ULONG formatSize = given.get()->FormatSize;
    FUZZ_CHECK(returned == formatSize, "the pin holds a format of " + std::to_string(returned) +
                                           " bytes, given " + std::to_string(formatSize));
    // Only a frame interval off the table is replaced, by the nearest rate
    // the board has.
    const ULONG interval = sizeof(KSDATAFORMAT) + FIELD_OFFSET(KS_VIDEOINFOHEADER, AvgTimePerFrame);
    for (ULONG i = 0; i < formatSize; ++i) {
        if (i >= interval && i < interval + sizeof(REFERENCE_TIME)) {
            continue;
        }
        FUZZ_CHECK(held[i] == given.bytes[i],
                   "the pin holds another format than it accepted, from byte " + std::to_string(i));
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
    const m4350fuzz::KernelCounts before = m4350fuzz::KernelCounts::Settled();
    HANDLE filter = nullptr;
    FUZZ_CHECK(NT_SUCCESS(host::ks::OpenFilter(system.Link(in.ConsumeIntegral<uint8_t>()).c_str(),
                                               &filter)),
               "a filter that does not open");
    Format format = MakeFormat(in, filter);
    HANDLE pin = nullptr;
    if (NT_SUCCESS(host::ks::CreatePin(filter, 0, format.get(), &pin))) {
        ExpectFormat(pin, format);
        if (in.ConsumeIntegralInRange(0, 7) == 0) {
            HANDLE second = nullptr;
            FUZZ_CHECK(!NT_SUCCESS(host::ks::CreatePin(filter, 0, format.get(), &second)),
                       "a second pin on one channel");
        }
        for (int k = in.ConsumeIntegralInRange(0, 3); k > 0; --k) {
            if (in.ConsumeIntegralInRange(0, 3) == 0) {
                const KSSTATE states[] = {KSSTATE_STOP, KSSTATE_ACQUIRE, KSSTATE_PAUSE};
                host::ks::SetPinState(pin, in.PickValueInArray(states));
                continue;
            }
            Format next = MakeFormat(in, filter);
            if (NT_SUCCESS(host::ks::SetPinDataFormat(pin, next.get()))) {
                ExpectFormat(pin, next);
            }
        }
        host::ks::SetPinState(pin, KSSTATE_STOP);
        FUZZ_CHECK(NT_SUCCESS(host::ks::CloseHandle(pin)), "pin close");
    }
    FUZZ_CHECK(NT_SUCCESS(host::ks::CloseHandle(filter)), "filter close");
    m4350fuzz::CheckBackTo(before, "a pin's life");
    return 0;
}

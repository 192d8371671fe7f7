// The configuration plug-in under arbitrary answers: behind the streaming
// proxy's filter object, a stand-in for the driver's method handlers answers
// each of the six methods with a status, a count of bytes and result words
// at offsets of the input's choice; the plug-in's methods are called with
// arguments of the input's choice.
//
// A failed request comes back as a failed HRESULT, the outputs the plug-in
// promises on failure hold, a verify whose result word is not zero fails,
// and an EEPROM buffer beyond 8192 bytes is refused without a request.
#include "fuzz_support.h"
#include "im4350cfg.h"
#include "standin_driver.h"

#include "shared/device_method_set.h"

#include <host/com.h>
#include <host/kernel.h>
#include <host/ks_client.h>
#include <host/ks_pnp.h>
#include <host/ks_proxy.h>
#include <host/services.h>
#include <ksmedia.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <vector>

namespace {

struct Plugin {
    DRIVER_OBJECT bus{};
    PDEVICE_OBJECT pdo = nullptr;
    host::ks::Driver* driver = nullptr;
    host::ks::DeviceNode* device = nullptr;
    IUnknown* filter = nullptr;
    IM4350Cfg* config = nullptr;
};

Plugin* g_plugin = nullptr;

const ULONG kMethods[] = {DEVICE_METHOD_SET_ATTRIBUTE, DEVICE_METHOD_GET_ATTRIBUTE,
                          DEVICE_METHOD_UPDATE_EEPROM, DEVICE_METHOD_VERIFY_EEPROM,
                          DEVICE_METHOD_GET_VERSION,   DEVICE_METHOD_GET_SERIAL};

// The request buffer of each method; a handler may report any part of it
// back, never more (the streaming class stops a driver that does).
ULONG RequestSize(ULONG id) {
    switch (id) {
    case DEVICE_METHOD_SET_ATTRIBUTE:
    case DEVICE_METHOD_GET_ATTRIBUTE:
        return sizeof(DEVICE_ATTRIBUTE_REQUEST);
    case DEVICE_METHOD_UPDATE_EEPROM:
        return sizeof(DEVICE_EEPROM_UPDATE_REQUEST);
    case DEVICE_METHOD_VERIFY_EEPROM:
        return sizeof(DEVICE_EEPROM_VERIFY_REQUEST);
    case DEVICE_METHOD_GET_VERSION:
        return sizeof(DEVICE_VERSION_REQUEST);
    default:
        return sizeof(DEVICE_SERIAL_REQUEST);
    }
}

standin::Answer MakeAnswer(FuzzedDataProvider& in, ULONG id) {
    standin::Answer answer;
    const NTSTATUS statuses[] = {STATUS_SUCCESS,
                                 STATUS_SUCCESS,
                                 STATUS_UNSUCCESSFUL,
                                 STATUS_BUFFER_OVERFLOW,
                                 STATUS_BUFFER_TOO_SMALL,
                                 STATUS_INVALID_PARAMETER,
                                 NTSTATUS(in.ConsumeIntegral<uint32_t>())};
    answer.status = in.PickValueInArray(statuses);
    if (in.ConsumeBool()) {
        answer.information = in.ConsumeIntegralInRange<ULONG_PTR>(0, RequestSize(id));
    }
    for (int k = in.ConsumeIntegralInRange(0, 3); k > 0; --k) {
        const ULONG offsets[] = {
            24, 28, 32, 36, 8220, 8224, in.ConsumeIntegralInRange<ULONG>(0, 8232)};
        answer.words[in.PickValueInArray(offsets)] = in.ConsumeIntegral<int32_t>();
    }
    return answer;
}

// The word at `offset` of the caller's buffer after an answer:
// the handler's writes (each within the buffer), of which the caller gets
// back the bytes reported; the plug-in's request starts zeroed there.
int32_t ExpectedWord(const standin::Answer& answer, ULONG id, ULONG offset) {
    // Data goes back only with STATUS_SUCCESS itself, not with another
    // success code.
    if (answer.status != STATUS_SUCCESS) {
        return 0;
    }
    const ULONG size = RequestSize(id);
    std::vector<uint8_t> handler(size, 0);
    for (const auto& [at, word] : answer.words) {
        if (at + sizeof word <= size) {
            std::memcpy(handler.data() + at, &word, sizeof word);
        }
    }
    const ULONG_PTR reported = answer.information.value_or(size);
    uint8_t bytes[sizeof(int32_t)] = {};
    for (ULONG i = 0; i < sizeof bytes; ++i) {
        if (offset + i < reported) {
            bytes[i] = handler[offset + i];
        }
    }
    int32_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    m4350fuzz::Prepare(1.0);
    g_plugin = new Plugin;
    Plugin& p = *g_plugin;
    FUZZ_CHECK(CoInitializeEx(nullptr, COINIT_MULTITHREADED) == S_OK, "COM");
    FUZZ_CHECK(IoCreateDevice(&p.bus, 0, nullptr, 0x22, 0, FALSE, &p.pdo) == STATUS_SUCCESS,
               "bus device");
    p.pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    FUZZ_CHECK(host::ks::LoadDriver(standin::DriverEntry,
                                    L"\\Registry\\Machine\\System\\CurrentControlSet\\Services"
                                    L"\\standin",
                                    &p.driver) == STATUS_SUCCESS,
               "stand-in driver");
    FUZZ_CHECK(host::ks::AddDevice(p.driver, p.pdo, &p.device) == STATUS_SUCCESS, "add");
    FUZZ_CHECK(host::ks::StartDevice(p.device) == STATUS_SUCCESS, "start");
    auto links = host::ks::EnumerateFilters(KSCATEGORY_VIDEO);
    FUZZ_CHECK(links.size() == 1, "one filter");

    HMODULE module = LoadLibraryW(host::com::Widen(M4350PROXY_MODULE).c_str());
    FUZZ_CHECK(module != nullptr, "the plug-in module");
    auto registerServer = reinterpret_cast<LPFNCANUNLOADNOW>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllRegisterServer")));
    FUZZ_CHECK(registerServer && registerServer() == S_OK, "registration");
    FUZZ_CHECK(host::ks::CreateProxyFilter(links[0].c_str(), IID_IUnknown,
                                           reinterpret_cast<void**>(&p.filter)) == S_OK,
               "the proxy's filter object");
    FUZZ_CHECK(p.filter->QueryInterface(IID_IM4350Cfg, reinterpret_cast<void**>(&p.config)) == S_OK,
               "IM4350Cfg on the filter object");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    standin::Reset();
    std::map<ULONG, standin::Answer> answers;
    for (ULONG id : kMethods) {
        answers[id] = MakeAnswer(in, id);
        standin::TheRecorder().SetAnswer(id, answers[id]);
    }
    IM4350Cfg* config = g_plugin->config;
    const m4350fuzz::KernelCounts before = m4350fuzz::KernelCounts::Settled();
    for (int k = in.ConsumeIntegralInRange(1, 6); k > 0; --k) {
        const ULONG id = in.PickValueInArray(kMethods);
        const bool failed = !NT_SUCCESS(answers[id].status);
        const size_t sent = standin::TheRecorder().Requests().size();
        HRESULT hr = S_OK;
        switch (id) {
        case DEVICE_METHOD_SET_ATTRIBUTE: {
            LONG result = 0;
            hr = config->SetAttr(in.ConsumeIntegral<ULONG>(), in.ConsumeIntegral<ULONG>(),
                                 in.ConsumeIntegral<LONG>(), in.ConsumeBool() ? &result : nullptr);
            break;
        }
        case DEVICE_METHOD_GET_ATTRIBUTE: {
            LONG value = 0;
            hr = config->GetAttr(in.ConsumeIntegral<ULONG>(), in.ConsumeIntegral<ULONG>(),
                                 in.ConsumeBool() ? &value : nullptr);
            break;
        }
        case DEVICE_METHOD_UPDATE_EEPROM:
        case DEVICE_METHOD_VERIFY_EEPROM: {
            const ULONG length = in.ConsumeIntegralInRange<ULONG>(0, DeviceEepromDataSize + 16);
            std::vector<BYTE> bytes = in.ConsumeBytes<BYTE>(length);
            bytes.resize(length);
            const ULONG magic = in.ConsumeBool() ? DeviceEepromMagic : in.ConsumeIntegral<ULONG>();
            hr = id == DEVICE_METHOD_UPDATE_EEPROM
                     ? config->UpdateEeprom(magic, bytes.data(), length)
                     : config->VerifyEeprom(magic, bytes.data(), length);
            if (length > DeviceEepromDataSize) {
                FUZZ_CHECK(hr == HRESULT(-1), "an EEPROM buffer beyond its size taken");
                FUZZ_CHECK(standin::TheRecorder().Requests().size() == sent,
                           "an EEPROM buffer beyond its size sent");
                continue;
            }
            if (id == DEVICE_METHOD_VERIFY_EEPROM && !failed &&
                ExpectedWord(answers[id], id, FIELD_OFFSET(DEVICE_EEPROM_VERIFY_REQUEST, Result)) !=
                    0) {
                std::string words;
                for (const auto& [at, word] : answers[id].words) {
                    words += " " + std::to_string(at) + ":" + std::to_string(word);
                }
                FUZZ_CHECK(hr == HRESULT(-1),
                           "a verify with a result word passed (hr " + std::to_string(hr) +
                               ", status " + std::to_string(answers[id].status) + ", reported " +
                               std::to_string(answers[id].information.value_or(~0ul)) + ", words" +
                               words + ")");
            }
            break;
        }
        case DEVICE_METHOD_GET_VERSION: {
            ULONG version = 0xA5A5A5A5;
            hr = config->GetVersion(in.ConsumeIntegral<ULONG>(), &version);
            if (FAILED(hr)) {
                FUZZ_CHECK(version == 0, "a failed GetVersion leaves its output");
            }
            break;
        }
        default: {
            ULONG serial = 0xA5A5A5A5;
            hr = config->GetSerial(&serial);
            if (FAILED(hr)) {
                FUZZ_CHECK(serial == 0, "a failed GetSerial leaves its output");
            }
            break;
        }
        }
        if (failed) {
            FUZZ_CHECK(FAILED(hr),
                       "a failed request reported as success (method " + std::to_string(id) + ")");
        }
    }
    m4350fuzz::CheckBackTo(before, "the plug-in's calls");
    return 0;
}

// Device start under arbitrary USB descriptors: a board model that answers
// the device and configuration descriptors with bytes of the input's choice
// (its own ones with a patch, cut or grown, or anything at all), at either
// speed, while everything else is the simulated board. Each input is one
// whole life: driver load, add, start, remove, unload.
//
// Start may fail, never crash; a board on full-speed packets never starts,
// the driver's copy of the interface holds the pipes it counts, and the life
// ends with nothing left behind.
#include "fuzz_support.h"

#include "driver_system.h"

#include "device/capture_device.h"

#include <host/kernel.h>
#include <host/services.h>
#include <sim/board.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <mutex>

namespace {

using host::usb::SetupPacket;
using host::usb::Speed;
using host::usb::TransferResult;

// The simulated board with the descriptors replaced.
class DescriptorBoard final : public host::usb::DeviceModel {
public:
    DescriptorBoard(std::shared_ptr<m4350::sim::Board> board, bool fullSpeed)
        : board_(std::move(board)), fullSpeed_(fullSpeed) {}

    // Empty: the board's own. `patch` is laid over it at `at`; `length`
    // (when set) cuts or grows the result.
    struct Answer {
        bool raw = false;
        std::vector<uint8_t> bytes;
        size_t at = 0;
        std::optional<size_t> length;
    };
    Answer device, configuration;

    Speed MaxSpeed() const override { return fullSpeed_ ? Speed::Full : board_->MaxSpeed(); }
    void Attach(host::usb::Port* port, Speed speed) override { board_->Attach(port, speed); }
    void Detach() override { board_->Detach(); }
    std::vector<uint8_t> Descriptor(uint8_t type, uint8_t index, uint16_t language,
                                    Speed speed) override {
        std::vector<uint8_t> own = board_->Descriptor(type, index, language, speed);
        const Answer* answer = type == USB_DEVICE_DESCRIPTOR_TYPE          ? &device
                               : type == USB_CONFIGURATION_DESCRIPTOR_TYPE ? &configuration
                                                                           : nullptr;
        if (!answer) {
            return own;
        }
        std::vector<uint8_t> result = answer->raw ? answer->bytes : own;
        if (!answer->raw) {
            for (size_t i = 0; i < answer->bytes.size() && answer->at + i < result.size(); ++i) {
                result[answer->at + i] = answer->bytes[i];
            }
        }
        if (answer->length) {
            result.resize(*answer->length, 0);
        }
        return result;
    }
    void Configured(uint8_t value) override { board_->Configured(value); }
    TransferResult Control(const SetupPacket& setup, uint8_t* data) override {
        return board_->Control(setup, data);
    }
    TransferResult BulkOut(uint8_t endpoint, const uint8_t* data, uint32_t length) override {
        return board_->BulkOut(endpoint, data, length);
    }
    TransferResult BulkIn(uint8_t endpoint, uint8_t* data, uint32_t capacity) override {
        return board_->BulkIn(endpoint, data, capacity);
    }
    void PipeReset(uint8_t endpoint) override { board_->PipeReset(endpoint); }
    void PortReset() override { board_->PortReset(); }

private:
    std::shared_ptr<m4350::sim::Board> board_;
    bool fullSpeed_;
};

DescriptorBoard::Answer MakeAnswer(FuzzedDataProvider& in) {
    DescriptorBoard::Answer answer;
    switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0:
        break; // the board's own
    case 1:
    case 2:
        answer.at = in.ConsumeIntegralInRange<size_t>(0, 40);
        answer.bytes = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(1, 8));
        if (in.ConsumeIntegralInRange(0, 3) == 0) {
            answer.length = in.ConsumeIntegralInRange<size_t>(0, 80);
        }
        break;
    default:
        answer.raw = true;
        answer.bytes = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(0, 300));
        break;
    }
    return answer;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Protocol waits that time out when a broken configuration leaves the
    // board unreachable stay short; the board model is paced alike.
    m4350fuzz::Prepare(0.01);
    m4350test::DriverSystem::InstallFirmware();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const bool fullSpeed = in.ConsumeIntegralInRange(0, 7) == 0;
    auto model = std::make_shared<DescriptorBoard>(m4350test::MakeSimulatedBoard(), fullSpeed);
    model->device = MakeAnswer(in);
    model->configuration = MakeAnswer(in);

    host::ClearDebugLog();
    const m4350fuzz::KernelCounts before = m4350fuzz::KernelCounts::Now();
    {
        m4350test::DriverSystem system;
        FUZZ_CHECK(NT_SUCCESS(system.loadStatus()), "driver load");
        m4350test::SimulatedBoard& board = system.Plug(model);
        if (NT_SUCCESS(system.addStatus())) {
            NTSTATUS status = system.Start(board);
            CaptureDevice* device = board.device();
            if (device && device->usb.interfaceCopy) {
                // The copy holds every pipe entry it counts.
                PUSBD_INTERFACE_INFORMATION info = device->usb.interfaceCopy;
                FUZZ_CHECK(info->Length >= FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) +
                                               info->NumberOfPipes * sizeof(USBD_PIPE_INFORMATION),
                           "an interface copy shorter than its pipes");
            }
            if (NT_SUCCESS(status) && device) {
                FUZZ_CHECK(!device->usb.fullSpeed, "a board on small packets started");
            }
        }
    }
    model.reset();
    m4350fuzz::CheckBackTo(before, "a device's life");
    return 0;
}

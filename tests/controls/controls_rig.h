// What the controls tests share: m4350av started over a simulated board whose
// control transfers are recorded, the four channel filters opened as an
// application opens them, and request buffers laid out byte by byte as a
// user-mode caller lays them.
#pragma once

#include "driver_system.h"
#include "driver_test.h"

#include <host/ks_client.h>
#include <host/usb_bus.h>
#include <sim/board.h>

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace m4350test {

// A caller's buffer, little-endian words at byte offsets.
class Wire {
public:
    explicit Wire(size_t size) : bytes_(size, 0) {}
    void Put32(size_t offset, uint32_t value);
    uint32_t Get32(size_t offset) const;
    int32_t GetSigned(size_t offset) const { return int32_t(Get32(offset)); }
    uint64_t Get64(size_t offset) const;
    void PutGuid(size_t offset, const GUID& guid);
    uint8_t* data() { return bytes_.data(); }
    ULONG size() const { return ULONG(bytes_.size()); }
    std::vector<uint8_t>& bytes() { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
};

// A property request whose structure is both the request and the data: the
// KSPROPERTY header (set, id, flags) and the property's own words after it.
Wire PropertyBuffer(const GUID& set, ULONG id, ULONG flags, size_t size);
// A device method request, header and fields in one buffer.
Wire MethodBuffer(ULONG id, size_t size);

inline constexpr ULONG kMethodSetAttribute = 0, kMethodGetAttribute = 1, kMethodUpdateEeprom = 5,
                       kMethodVerifyEeprom = 6, kMethodGetVersion = 7, kMethodGetSerial = 8;
inline constexpr uint32_t kEepromMagic = 43501;

// One control transfer as the board saw it.
struct ControlRecord {
    uint8_t request;
    uint16_t value;
    uint16_t index;
    uint16_t length;
    bool in;
    uint16_t address; // EEPROM writes: the packet's first two bytes
};

// The simulated board with its control transfers recorded on the way in.
class RecordingBoard final : public host::usb::DeviceModel {
public:
    explicit RecordingBoard(std::shared_ptr<m4350::sim::Board> board) : board_(std::move(board)) {}
    m4350::sim::Board& board() { return *board_; }
    std::vector<ControlRecord> Controls(uint8_t request) const;
    void ClearControls();

    host::usb::Speed MaxSpeed() const override { return board_->MaxSpeed(); }
    void Attach(host::usb::Port* port, host::usb::Speed speed) override;
    void Detach() override { board_->Detach(); }
    std::vector<uint8_t> Descriptor(uint8_t type, uint8_t index, uint16_t language,
                                    host::usb::Speed speed) override;
    host::usb::TransferResult Control(const host::usb::SetupPacket& setup, uint8_t* data) override;
    host::usb::TransferResult BulkOut(uint8_t endpoint, const uint8_t* data,
                                      uint32_t length) override;
    host::usb::TransferResult BulkIn(uint8_t endpoint, uint8_t* data, uint32_t capacity) override;
    void Configured(uint8_t value) override { board_->Configured(value); }
    void PipeReset(uint8_t endpoint) override { board_->PipeReset(endpoint); }
    void PortReset() override { board_->PortReset(); }

private:
    std::shared_ptr<m4350::sim::Board> board_;
    mutable std::mutex m_;
    std::vector<ControlRecord> controls_;
};

class ControlsTest : public DriverTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Brings the system up over a board made from `config` and opens the
    // four channel filters; SetUp does it with the default config, a test
    // that needs another board calls it again.
    void Bring(m4350::sim::BoardConfig config = {});
    void TakeDown();
    void OpenFilters();
    void CloseFilters();

    m4350::sim::Board& sim() { return recorder_->board(); }
    RecordingBoard& recorder() { return *recorder_; }
    CaptureDevice* device() { return board_->device(); }
    HANDLE filter(ULONG channel) { return filters_[channel]; }

    // The mode the board holds for a channel number (board channel 3 - n).
    m4350::sim::ModeSettings WireMode(ULONG channel) { return sim().Mode(3 - channel); }
    uint64_t SetModes() { return sim().Counters().setMode; }

    // Sends the buffer as both request and data with its full length (or
    // `length` for both).
    NTSTATUS Send(ULONG channel, ULONG ioctl, Wire& wire, ULONG* returned = nullptr,
                  std::optional<ULONG> length = std::nullopt);

    // Proc-amp and method-set shorthands.
    NTSTATUS SetProcAmp(ULONG channel, ULONG id, LONG value);
    NTSTATUS GetProcAmp(ULONG channel, ULONG id, LONG* value, ULONG* flags = nullptr,
                        ULONG* capabilities = nullptr);
    // Set attribute: the result word (or nullopt when the request failed).
    std::optional<int32_t> SetAttribute(ULONG channelPlusOne, ULONG attribute, int32_t value);
    std::optional<int32_t> GetAttribute(ULONG channelPlusOne, ULONG attribute,
                                        int32_t* result = nullptr);

    // The platform's time scale, set before SetUp runs. Set-mode
    // acknowledgements and status answers come at once from the board
    // model: a quarter of real time keeps the power cycle short while their
    // waits stay long enough for a loaded sanitizer build.
    double timeScale_ = 0.25;
    std::optional<DriverSystem> system_;
    SimulatedBoard* board_ = nullptr;
    std::shared_ptr<RecordingBoard> recorder_;
    std::array<HANDLE, 4> filters_{};
};

} // namespace m4350test

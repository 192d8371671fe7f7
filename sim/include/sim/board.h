// The capture board as a device on the simulated USB bus.
//
//   m4350::sim::BoardConfig config;
//   config.serial = 0x00123456;
//   config.faults.push_back({.fault = m4350::sim::Fault::WithholdAck});
//   auto board = std::make_shared<m4350::sim::Board>(config);
//   host::usb::Bus bus(board);            // plugged in, waiting for firmware
//   ... the driver (or a test) talks to bus.Pdo() ...
//   board->Counters().frames[3];          // what the board saw and did
//
// The board boots from an image in our format (see firmware_image.h), answers
// command packets on pipe 0 and sends answers and frames on pipe 1, paced by
// the platform's time scale. See sim/README.md for the whole behaviour.
#pragma once

#include <sim/eeprom.h>
#include <sim/fault_plan.h>
#include <sim/firmware_image.h>
#include <sim/frame_builder.h>
#include <sim/mode.h>

#include <host/usb_bus.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace m4350::sim {

struct BoardConfig {
    uint32_t serial = 0x00123456; // in the EEPROM's serial record
    // Where the EEPROM lives between runs (see EepromFileFor); empty: in
    // memory only, as tests keep it. A file of 8 KiB is taken as it is, and
    // its serial record wins over `serial`.
    std::filesystem::path eepromFile;
    std::array<uint8_t, 2> controllerVersion{5, 2}; // vendor request 0x30
    uint64_t seed = 1;                              // fault draws and garbage bytes
    std::vector<FaultRule> faults;
    bool fullSpeed = false; // a board whose controller only does full speed
    // Frames captured but not yet sent that the board keeps; beyond this it
    // drops new frames (their numbers are still used, so gaps show).
    uint32_t maxQueuedFrames = 8;
    // From a valid image to the ready blocks, before the time scale.
    std::chrono::nanoseconds bootTime = std::chrono::milliseconds(10);
};

enum class BoardState {
    Unpowered, // not on the bus, or its port suspended
    Loader,    // powered, no firmware: a bulk write on pipe 0 is an image
    Reset,     // held in reset: pipe 0 writes are dropped
    Booting,   // a valid image arrived; ready blocks follow after the boot time
    Running,   // firmware runs: pipe 0 carries command packets
};

struct BoardCounters {
    std::array<uint64_t, 256> vendorRequests{}; // by request code
    uint64_t stalledVendorRequests = 0;
    uint64_t powerCycles = 0; // requests that dropped the firmware
    uint64_t powerLosses = 0; // port suspensions that cut the board's power
    uint64_t firmwareLoads = 0;
    uint64_t firmwareRejected = 0;
    FirmwareCheck lastFirmwareCheck = FirmwareCheck::Ok;
    uint64_t droppedWrites = 0; // pipe 0 writes while held in reset or booting
    uint64_t setMode = 0, start = 0, stop = 0, status = 0;
    uint64_t malformedPackets = 0;                         // bad length, magic, channel or code
    uint64_t readyBlocks = 0, acks = 0, statusAnswers = 0; // answers sent
    std::array<uint64_t, 4> frames{};                      // sent, by board channel
    std::array<uint64_t, 4> frameBytes{};                  // sent, header and padding included
    std::array<uint64_t, 4> framesDropped{};               // captured, never sent
    std::array<uint64_t, 4> lastFrameNumber{};             // of the last frame sent
    std::array<uint64_t, 4> captured{}; // frame counter since the last CMD_START, now
    uint32_t queuedFrames = 0;          // captured frames waiting to go out, now
    uint32_t maxQueuedFrames = 0;       // the most that ever waited at once
    uint64_t garbageBlocks = 0;
    uint64_t streamBytes = 0; // everything sent on pipe 1
    uint64_t eepromReads = 0, eepromWrites = 0;
    std::array<uint64_t, kFaultKinds> faultsFired{};
};

class Board final : public host::usb::DeviceModel {
public:
    explicit Board(BoardConfig config = {});
    ~Board() override;

    // Host control.
    void AddFault(const FaultRule& rule);
    void ClearFaults();
    BoardCounters Counters() const;
    BoardState State() const;
    uint32_t FirmwareVersion() const; // of the running image; 0 without one
    ModeSettings Mode(uint32_t boardChannel) const;
    bool Acquiring(uint32_t boardChannel) const;
    std::vector<uint8_t> Eeprom() const;
    // Changes one EEPROM byte from outside, as a programmer clipped onto the
    // chip would; false beyond the 8 KiB.
    bool SetEepromByte(uint32_t address, uint8_t value);
    // When the last block of a frame went to the bus (the frame number as in
    // its header), for the latest kSentFrameRecords frames of each channel;
    // nullopt for a frame that was not sent or is older than those.
    static constexpr uint32_t kSentFrameRecords = 64;
    std::optional<std::chrono::steady_clock::time_point> FrameLeft(uint32_t boardChannel,
                                                                   uint32_t frameNumber) const;
    // Frames of the channel's acquisition since its last CMD_START that the
    // board captured and never sent, numbered strictly between `after` and
    // `before`. Once a frame numbered `before` has been sent, every frame
    // before it has gone one way or the other, so the answer is final. The
    // record holds the first kDropRecords such frames of an acquisition.
    static constexpr size_t kDropRecords = size_t(1) << 20;
    uint32_t DroppedBetween(uint32_t boardChannel, uint32_t after, uint32_t before) const;
    // Waits (at most `bound`) until the counters satisfy `done`.
    template <typename Pred>
    bool WaitFor(Pred done, std::chrono::milliseconds bound) const {
        std::unique_lock lk(m_);
        return changed_.wait_for(lk, bound, [&] { return done(counters_); });
    }

    // host::usb::DeviceModel
    host::usb::Speed MaxSpeed() const override;
    void Attach(host::usb::Port* port, host::usb::Speed speed) override;
    void Detach() override;
    void Suspend() override;
    void Resume() override;
    std::vector<uint8_t> Descriptor(uint8_t type, uint8_t index, uint16_t language,
                                    host::usb::Speed speed) override;
    host::usb::TransferResult Control(const host::usb::SetupPacket& setup, uint8_t* data) override;
    host::usb::TransferResult BulkOut(uint8_t endpoint, const uint8_t* data,
                                      uint32_t length) override;
    host::usb::TransferResult BulkIn(uint8_t endpoint, uint8_t* data, uint32_t capacity) override;

private:
    using Clock = std::chrono::steady_clock;

    struct Answer {
        uint32_t channel, type, status, version;
    };
    struct QueuedFrame {
        uint32_t channel;
        uint32_t number;
        uint64_t modeGeneration;
        bool garbageSent; // the garbage a fault put before it has gone out
    };
    struct Channel {
        ModeSettings mode;
        uint64_t modeGeneration = 0;
        bool acquiring = false;
        uint32_t captured = 0; // frame counter since CMD_START
        uint32_t tick = 0;     // frame periods since `start`
        Clock::time_point start;
        std::shared_ptr<FrameBuilder> builder;
        struct Sent {
            uint32_t number = 0;
            Clock::time_point left{};
        };
        std::array<Sent, kSentFrameRecords> sent{}; // by frame number modulo the size
        std::vector<uint32_t> dropped;              // numbers captured and never sent, rising
    };
    // What is going out on pipe 1 right now.
    struct Item {
        const uint8_t* data = nullptr;
        size_t size = 0;
        size_t offset = 0;
        std::shared_ptr<FrameBuilder> keep; // the frame's buffer
        int32_t frameChannel = -1;
    };

    void DropFirmwareLocked();
    // Drops at capture come in rising order; a queued frame dropped at its
    // turn may be older than the last of those.
    static void RecordDropLocked(Channel& c, uint32_t number) {
        if (c.dropped.size() < kDropRecords)
            c.dropped.insert(std::upper_bound(c.dropped.begin(), c.dropped.end(), number), number);
    }
    void HandlePacketLocked(const uint8_t* packet);
    void AnswerLocked(uint32_t channel, uint32_t type, uint32_t status = 0, uint32_t version = 0);
    bool NextItemLocked();
    void FillGarbageLocked();
    uint32_t StatusValueLocked() const;
    Clock::time_point FrameDueLocked(const Channel& c, uint32_t index) const;
    void PacingLoop();
    void KickLocked();
    void RequestUnplugLocked();

    const BoardConfig config_;
    mutable std::mutex m_;
    mutable std::condition_variable changed_; // counters changed (for WaitFor)
    std::condition_variable wake_;            // pacing thread
    host::usb::Port* port_ = nullptr;
    BoardState state_ = BoardState::Unpowered;
    bool heldInReset_ = false;
    bool unplugging_ = false; // a fault asked the bus to unplug; act on nothing meanwhile
    bool quit_ = false;
    FaultPlan faults_;
    FirmwareInfo firmware_{};
    Clock::time_point bootDue_{};
    std::array<Channel, 4> channels_;
    std::deque<Answer> answers_;
    std::deque<QueuedFrame> frames_;
    uint32_t pendingGarbage_ = 0;
    Item item_;
    std::vector<uint8_t> answerBlock_;
    std::vector<uint8_t> garbage_;
    uint64_t garbageSeed_;
    ControllerEeprom eeprom_;
    BoardCounters counters_;
    std::thread pacing_;
};

} // namespace m4350::sim

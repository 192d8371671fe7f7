#include <sim/board.h>
#include <sim/protocol.h>

#include <host/kernel.h>

#include <algorithm>
#include <cstring>

namespace m4350::sim {

using host::usb::SetupPacket;
using host::usb::Speed;
using host::usb::TransferResult;

namespace {

constexpr uint16_t kVendorId = 0x4D34; // ours, not a registered vendor
constexpr uint16_t kProductId = 0x4350;

std::vector<uint8_t> DeviceDescriptor() {
    return {18,
            USB_DEVICE_DESCRIPTOR_TYPE,
            0x00,
            0x02, // USB 2.0
            0xFF,
            0x00,
            0x00,
            64,
            kVendorId & 0xFF,
            kVendorId >> 8,
            kProductId & 0xFF,
            kProductId >> 8,
            0x00,
            0x01, // device release 1.00
            0,
            0,
            0,
            1};
}

std::vector<uint8_t> ConfigurationDescriptor(Speed speed) {
    const uint16_t packet = speed == Speed::High ? kHighSpeedBulkPacket : kFullSpeedBulkPacket;
    return {// configuration: 32 bytes in all, one interface, bus powered, 500 mA
            9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 32, 0, 1, 1, 0, 0x80, 250,
            // interface 0: two bulk endpoints, vendor class
            9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 2, 0xFF, 0, 0, 0,
            // pipe 0: commands and firmware, host to board
            7, USB_ENDPOINT_DESCRIPTOR_TYPE, kCommandEndpoint, USB_ENDPOINT_TYPE_BULK,
            uint8_t(packet), uint8_t(packet >> 8), 0,
            // pipe 1: answers and frames, board to host
            7, USB_ENDPOINT_DESCRIPTOR_TYPE, kStreamEndpoint, USB_ENDPOINT_TYPE_BULK,
            uint8_t(packet), uint8_t(packet >> 8), 0};
}

TransferResult Stall(BoardCounters& c) {
    ++c.stalledVendorRequests;
    return TransferResult::Stall();
}

} // namespace

Board::Board(BoardConfig config)
    : config_(std::move(config)), faults_(config_.seed), answerBlock_(kStreamBlockSize, 0),
      garbageSeed_(config_.seed * 0x9E3779B97F4A7C15ull + 1),
      eeprom_(config_.serial, config_.eepromFile) {
    for (const FaultRule& r : config_.faults)
        faults_.Add(r);
    pacing_ = std::thread([this] { PacingLoop(); });
}

Board::~Board() {
    {
        std::lock_guard lk(m_);
        quit_ = true;
        port_ = nullptr;
    }
    wake_.notify_all();
    pacing_.join();
}

void Board::AddFault(const FaultRule& rule) {
    std::lock_guard lk(m_);
    faults_.Add(rule);
}

void Board::ClearFaults() {
    std::lock_guard lk(m_);
    faults_.Clear();
}

BoardCounters Board::Counters() const {
    std::lock_guard lk(m_);
    BoardCounters c = counters_;
    c.faultsFired = faults_.FiredAll();
    c.queuedFrames = uint32_t(frames_.size());
    for (uint32_t b = 0; b < kBoardChannels; ++b)
        c.captured[b] = channels_[b].captured;
    return c;
}

BoardState Board::State() const {
    std::lock_guard lk(m_);
    return state_;
}

uint32_t Board::FirmwareVersion() const {
    std::lock_guard lk(m_);
    return state_ == BoardState::Running ? firmware_.version : 0;
}

ModeSettings Board::Mode(uint32_t boardChannel) const {
    std::lock_guard lk(m_);
    return boardChannel < kBoardChannels ? channels_[boardChannel].mode : ModeSettings{};
}

bool Board::Acquiring(uint32_t boardChannel) const {
    std::lock_guard lk(m_);
    return boardChannel < kBoardChannels && channels_[boardChannel].acquiring;
}

std::vector<uint8_t> Board::Eeprom() const {
    std::lock_guard lk(m_);
    return eeprom_.Bytes();
}

bool Board::SetEepromByte(uint32_t address, uint8_t value) {
    std::lock_guard lk(m_);
    return eeprom_.Write(address, &value, 1);
}

std::optional<Board::Clock::time_point> Board::FrameLeft(uint32_t boardChannel,
                                                         uint32_t frameNumber) const {
    std::lock_guard lk(m_);
    if (boardChannel >= kBoardChannels || frameNumber == 0)
        return std::nullopt;
    const Channel::Sent& s = channels_[boardChannel].sent[frameNumber % kSentFrameRecords];
    if (s.number != frameNumber)
        return std::nullopt;
    return s.left;
}

uint32_t Board::DroppedBetween(uint32_t boardChannel, uint32_t after, uint32_t before) const {
    std::lock_guard lk(m_);
    if (boardChannel >= kBoardChannels || before <= after + 1)
        return 0;
    const std::vector<uint32_t>& d = channels_[boardChannel].dropped;
    return uint32_t(std::lower_bound(d.begin(), d.end(), before) -
                    std::upper_bound(d.begin(), d.end(), after));
}

Speed Board::MaxSpeed() const {
    return config_.fullSpeed ? Speed::Full : Speed::High;
}

void Board::Attach(host::usb::Port* port, Speed) {
    std::lock_guard lk(m_);
    port_ = port;
    state_ = BoardState::Loader;
    heldInReset_ = false;
    unplugging_ = false;
    DropFirmwareLocked();
    changed_.notify_all();
}

void Board::Detach() {
    std::lock_guard lk(m_);
    port_ = nullptr;
    unplugging_ = false;
    DropFirmwareLocked();
    state_ = BoardState::Unpowered;
    changed_.notify_all();
}

// The board takes its power from the bus: a suspended port cuts it, as an
// unplug does, but the board stays on the bus. It comes back in its loader.
void Board::Suspend() {
    std::lock_guard lk(m_);
    if (state_ == BoardState::Unpowered)
        return;
    state_ = BoardState::Unpowered;
    heldInReset_ = false;
    DropFirmwareLocked();
    ++counters_.powerLosses;
    changed_.notify_all();
}

void Board::Resume() {
    std::lock_guard lk(m_);
    if (state_ != BoardState::Unpowered || !port_)
        return;
    state_ = BoardState::Loader;
    changed_.notify_all();
}

// Power gone or the video processor reset: the firmware, the modes and
// everything queued for the host are lost. The EEPROM keeps its content.
void Board::DropFirmwareLocked() {
    firmware_ = {};
    for (Channel& c : channels_) {
        c.mode = ModeSettings{};
        ++c.modeGeneration;
        c.acquiring = false;
        c.builder.reset();
    }
    answers_.clear();
    frames_.clear();
    pendingGarbage_ = 0;
    item_ = {};
    bootDue_ = {};
    if (state_ != BoardState::Unpowered)
        state_ = heldInReset_ ? BoardState::Reset : BoardState::Loader;
}

void Board::KickLocked() {
    if (port_)
        port_->InDataReady();
}

void Board::RequestUnplugLocked() {
    unplugging_ = true;
    if (port_)
        port_->RequestUnplug();
}

uint32_t Board::StatusValueLocked() const {
    uint32_t value = state_ == BoardState::Running ? 1 : 0;
    for (uint32_t b = 0; b < kBoardChannels; ++b)
        if (channels_[b].acquiring)
            value |= 0x10u << b;
    return value;
}

void Board::AnswerLocked(uint32_t channel, uint32_t type, uint32_t status, uint32_t version) {
    answers_.push_back({channel, type, status, version});
    KickLocked();
}

std::vector<uint8_t> Board::Descriptor(uint8_t type, uint8_t index, uint16_t, Speed speed) {
    if (type == USB_DEVICE_DESCRIPTOR_TYPE && index == 0)
        return DeviceDescriptor();
    if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && index == 0)
        return ConfigurationDescriptor(speed);
    return {};
}

TransferResult Board::Control(const SetupPacket& setup, uint8_t* data) {
    std::lock_guard lk(m_);
    ++counters_.vendorRequests[setup.request];
    changed_.notify_all();
    if (state_ == BoardState::Unpowered)
        return TransferResult::Error(USBD_STATUS_DEV_NOT_RESPONDING);
    const bool in = setup.requestType & 0x80;
    const uint8_t type = (setup.requestType >> 5) & 3;
    const uint8_t recipient = setup.requestType & 0x1F;
    if (type != BMREQUEST_VENDOR || recipient != BMREQUEST_TO_DEVICE)
        return Stall(counters_);
    if (faults_.Fire(Fault::StallVendor, setup.request))
        return Stall(counters_);
    switch (setup.request) {
    case kVendorHoldReset:
        if (in)
            return Stall(counters_);
        heldInReset_ = setup.value == 1;
        if (heldInReset_) {
            ++counters_.powerCycles;
            DropFirmwareLocked();
        } else if (state_ == BoardState::Reset) {
            state_ = BoardState::Loader;
        }
        return TransferResult::Ok(0);
    case kVendorPowerCycle:
    case kVendorReleaseReset:
        if (in)
            return Stall(counters_);
        if (setup.request == kVendorReleaseReset)
            heldInReset_ = false;
        ++counters_.powerCycles;
        DropFirmwareLocked();
        return TransferResult::Ok(0);
    case kVendorControllerVersion: {
        if (!in)
            return Stall(counters_);
        const uint32_t n = std::min<uint32_t>(setup.length, 2);
        std::memcpy(data, config_.controllerVersion.data(), n);
        return TransferResult::Ok(n);
    }
    case kVendorEepromRead:
        if (!in || setup.value != kEepromDeviceValue ||
            !eeprom_.Read(setup.index, data, setup.length))
            return Stall(counters_);
        ++counters_.eepromReads;
        return TransferResult::Ok(setup.length);
    case kVendorEepromWrite: {
        if (in || setup.value != kEepromDeviceValue || setup.index != kEepromDeviceValue ||
            setup.length < 2)
            return Stall(counters_);
        const uint32_t address = uint32_t(data[0]) << 8 | data[1];
        const uint32_t n = setup.length - 2u;
        if (!eeprom_.Write(address, data + 2, n))
            return Stall(counters_);
        ++counters_.eepromWrites;
        return TransferResult::Ok(setup.length);
    }
    default:
        return Stall(counters_);
    }
}

TransferResult Board::BulkOut(uint8_t endpoint, const uint8_t* data, uint32_t length) {
    std::lock_guard lk(m_);
    changed_.notify_all();
    if (endpoint != kCommandEndpoint)
        return TransferResult::Stall();
    if (state_ == BoardState::Unpowered || unplugging_)
        return TransferResult::Error(USBD_STATUS_DEV_NOT_RESPONDING);
    if (faults_.Fire(Fault::FailCommandWrite))
        return TransferResult::Error(USBD_STATUS_DEV_NOT_RESPONDING);
    if (faults_.Fire(Fault::HangCommandWrite))
        return TransferResult::Hung();
    switch (state_) {
    case BoardState::Loader: {
        FirmwareInfo info;
        counters_.lastFirmwareCheck = CheckFirmwareImage(data, length, &info);
        if (counters_.lastFirmwareCheck != FirmwareCheck::Ok) {
            ++counters_.firmwareRejected;
            break;
        }
        ++counters_.firmwareLoads;
        firmware_ = info;
        state_ = BoardState::Booting;
        bootDue_ = Clock::now() + host::ScaledDuration(config_.bootTime);
        wake_.notify_all();
        break;
    }
    case BoardState::Running:
        for (uint32_t off = 0; off < length && !unplugging_; off += kCommandPacketSize) {
            if (length - off < kCommandPacketSize) {
                ++counters_.malformedPackets;
                break;
            }
            HandlePacketLocked(data + off);
        }
        break;
    default:
        ++counters_.droppedWrites;
        break;
    }
    return TransferResult::Ok(length);
}

void Board::HandlePacketLocked(const uint8_t* p) {
    const uint32_t magic = LoadLe32(p);
    const uint32_t b = LoadLe32(p + 4);
    const uint32_t code = LoadLe32(p + 8);
    const bool known =
        code == CMD_SET_MODE || code == CMD_START || code == CMD_STOP || code == CMD_STATUS;
    if (magic != kCommandMagic || b >= kBoardChannels || !known) {
        ++counters_.malformedPackets;
        return;
    }
    if (faults_.Fire(Fault::UnplugAtCommand, int32_t(b))) {
        RequestUnplugLocked();
        return;
    }
    Channel& c = channels_[b];
    auto dropQueued = [&] {
        std::erase_if(frames_, [&](const QueuedFrame& f) {
            if (f.channel != b)
                return false;
            RecordDropLocked(c, f.number);
            return true;
        });
    };
    switch (code) {
    case CMD_SET_MODE:
        ++counters_.setMode;
        std::memcpy(&c.mode, p + kModeOffset, sizeof(ModeSettings));
        ++c.modeGeneration;
        c.builder.reset();
        dropQueued();
        // A new mode restarts the frame timing, not the frame numbers.
        c.start = Clock::now();
        c.tick = 0;
        wake_.notify_all();
        if (c.mode.restart && !faults_.Fire(Fault::WithholdAck, int32_t(b)))
            AnswerLocked(b, kResponseModeAck);
        break;
    case CMD_START:
        ++counters_.start;
        c.acquiring = true;
        dropQueued();
        c.captured = 0;
        c.dropped.clear();
        c.tick = 0;
        c.start = Clock::now();
        wake_.notify_all();
        break;
    case CMD_STOP:
        ++counters_.stop;
        c.acquiring = false;
        dropQueued();
        break;
    case CMD_STATUS:
        ++counters_.status;
        if (!faults_.Fire(Fault::WithholdStatus, int32_t(b)))
            AnswerLocked(kStatusChannel, kResponseStatus, StatusValueLocked(), firmware_.version);
        break;
    }
}

void Board::FillGarbageLocked() {
    garbage_.resize(kStreamBlockSize);
    uint64_t x = garbageSeed_;
    for (size_t i = 0; i < garbage_.size(); i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        std::memcpy(&garbage_[i], &x, 8);
    }
    garbageSeed_ = x;
    // Garbage must not look like a marker, or a test could not tell what it saw.
    for (size_t i = 0; i + 4 <= garbage_.size(); ++i) {
        const uint32_t w = LoadLe32(&garbage_[i]);
        if (w == kFrameMarker || w == kResponseMarker || w == kCommandMagic)
            garbage_[i] ^= 0x01;
    }
}

bool Board::NextItemLocked() {
    if (!answers_.empty()) {
        const Answer a = answers_.front();
        answers_.pop_front();
        uint8_t* blk = answerBlock_.data();
        StoreLe32(blk, kResponseMarker);
        StoreLe32(blk + 4, a.channel);
        StoreLe32(blk + 8, a.type);
        StoreLe32(blk + 12, a.status);
        StoreLe32(blk + 16, a.version);
        item_ = {blk, answerBlock_.size(), 0, nullptr, -1};
        if (a.type == kResponseChannelReady)
            ++counters_.readyBlocks;
        else if (a.type == kResponseModeAck)
            ++counters_.acks;
        else
            ++counters_.statusAnswers;
        return true;
    }
    if (pendingGarbage_) {
        --pendingGarbage_;
        FillGarbageLocked();
        item_ = {garbage_.data(), garbage_.size(), 0, nullptr, -1};
        ++counters_.garbageBlocks;
        return true;
    }
    while (!frames_.empty()) {
        QueuedFrame& f = frames_.front();
        Channel& c = channels_[f.channel];
        if (!c.acquiring || f.modeGeneration != c.modeGeneration) {
            ++counters_.framesDropped[f.channel];
            RecordDropLocked(c, f.number);
            frames_.pop_front();
            continue;
        }
        const auto ch = int32_t(f.channel);
        if (faults_.Fire(Fault::UnplugAtFrame, ch)) {
            RequestUnplugLocked();
            frames_.clear();
            return false;
        }
        if (!f.garbageSent) {
            f.garbageSent = true;
            if (const FaultRule* r = faults_.Fire(Fault::GarbageBetweenFrames, ch)) {
                pendingGarbage_ = r->value ? r->value : 1;
                return NextItemLocked();
            }
        }
        const QueuedFrame frame = f;
        frames_.pop_front();
        if (!c.builder)
            c.builder = std::make_shared<FrameBuilder>(frame.channel, c.mode);
        std::span<const uint8_t> bytes = c.builder->Build(frame.number);
        uint8_t* hdr = c.builder->transfer();
        const uint32_t transfer = c.builder->geometry().transferBytes;
        // At most one header fault per frame, in this order.
        if (const FaultRule* r = faults_.Fire(Fault::BadFrameChannel, ch))
            StoreLe32(hdr + kHeaderChannel, r->value ? r->value : kBoardChannels);
        else if (faults_.Fire(Fault::OversizeFrame, ch))
            StoreLe32(hdr + kHeaderFrameSize, transfer + kStreamBlockSize);
        else if (const FaultRule* r2 = faults_.Fire(Fault::UndersizeFrame, ch))
            StoreLe32(hdr + kHeaderFrameSize,
                      r2->value && r2->value < kFrameHeaderSize ? r2->value : 256);
        item_ = {bytes.data(), bytes.size(), 0, c.builder, ch};
        return true;
    }
    return false;
}

TransferResult Board::BulkIn(uint8_t endpoint, uint8_t* data, uint32_t capacity) {
    std::lock_guard lk(m_);
    if (endpoint != kStreamEndpoint)
        return TransferResult::Stall();
    if (state_ == BoardState::Unpowered || unplugging_)
        return TransferResult::NotReady();
    if (!item_.data && !NextItemLocked())
        return TransferResult::NotReady();
    // Only reads that would carry data count for the read faults, so the
    // plan does not depend on how often the host polls.
    if (faults_.Fire(Fault::FailStreamRead)) {
        changed_.notify_all();
        return TransferResult::Error(USBD_STATUS_DEV_NOT_RESPONDING);
    }
    if (faults_.Fire(Fault::HangStreamRead)) {
        changed_.notify_all();
        return TransferResult::Hung();
    }
    const size_t n = std::min<size_t>(capacity, item_.size - item_.offset);
    std::memcpy(data, item_.data + item_.offset, n);
    item_.offset += n;
    counters_.streamBytes += n;
    if (item_.frameChannel >= 0)
        counters_.frameBytes[item_.frameChannel] += n;
    if (item_.offset == item_.size) {
        if (item_.frameChannel >= 0) {
            const uint32_t number = LoadLe32(item_.data + kHeaderFrameNumber);
            ++counters_.frames[item_.frameChannel];
            counters_.lastFrameNumber[item_.frameChannel] = number;
            channels_[item_.frameChannel].sent[number % kSentFrameRecords] = {number, Clock::now()};
        }
        item_ = {};
    }
    changed_.notify_all();
    return TransferResult::Ok(uint32_t(n));
}

Board::Clock::time_point Board::FrameDueLocked(const Channel& c, uint32_t index) const {
    const FramePeriod p = PeriodOf(c.mode);
    const auto ns =
        static_cast<int64_t>(static_cast<unsigned __int128>(p.numeratorNs) * index / p.denominator);
    return c.start + host::ScaledDuration(std::chrono::nanoseconds(ns));
}

void Board::PacingLoop() {
    std::unique_lock lk(m_);
    while (!quit_) {
        const Clock::time_point now = Clock::now();
        if (state_ == BoardState::Booting && now >= bootDue_) {
            state_ = BoardState::Running;
            for (uint32_t b = 0; b < kBoardChannels; ++b)
                if (!faults_.Fire(Fault::WithholdReady, int32_t(b)))
                    AnswerLocked(b, kResponseChannelReady);
            changed_.notify_all();
        }
        Clock::time_point next = Clock::time_point::max();
        if (state_ == BoardState::Booting)
            next = bootDue_;
        if (state_ == BoardState::Running && !unplugging_) {
            bool queued = false;
            for (uint32_t b = 0; b < kBoardChannels; ++b) {
                Channel& c = channels_[b];
                if (!c.acquiring)
                    continue;
                for (uint32_t guard = 0; now >= FrameDueLocked(c, c.tick + 1); ++guard) {
                    if (guard > config_.maxQueuedFrames) {
                        // Far behind (a stalled host thread or a tiny time
                        // scale): start the timing again instead of spinning.
                        c.start = now;
                        c.tick = 0;
                        break;
                    }
                    ++c.tick;
                    ++c.captured;
                    if (frames_.size() < config_.maxQueuedFrames) {
                        frames_.push_back({b, c.captured, c.modeGeneration, false});
                        counters_.maxQueuedFrames =
                            std::max(counters_.maxQueuedFrames, uint32_t(frames_.size()));
                        queued = true;
                    } else {
                        ++counters_.framesDropped[b];
                        RecordDropLocked(c, c.captured);
                    }
                }
                next = std::min(next, FrameDueLocked(c, c.tick + 1));
            }
            if (queued) {
                KickLocked();
                changed_.notify_all();
            }
        }
        if (next == Clock::time_point::max())
            wake_.wait(lk);
        else
            wake_.wait_until(lk, next);
    }
}

} // namespace m4350::sim

// m4350soak: boards streaming on all four channels for a given time while a
// seeded churn changes formats and states, closes and reopens filters, calls
// the proc-amp properties and the device's method set, changes the fixed
// standard, powers boards down and up, makes the boards misbehave (pipe-error
// bursts, withheld answers, garbage between frames) and unplugs, replugs and
// restarts them.
//
// It checks all the time: every delivered frame carries a readable stamp of
// the right channel, frame numbers rise, DropCount matches the gaps and the
// time stamps follow the picture numbers; a watchdog fails the run when any
// call into the system does not come back. At the end everything is taken
// down and nothing may be left: pool, IRPs, work items, threads, handles and
// streaming objects all zero. The exit status is 0 only then.
//
//   m4350soak --seconds 600 --boards 2 --seed 1
#include "board/board.h"
#include "device/capture_device.h"
#include "driver_choice.h"
#include "pin_formats.h"
#include "shared/device_method_set.h"

#include <host/driver_time.h>
#include <host/kernel.h>
#include <host/ks_client.h>
#include <host/ks_pnp.h>
#include <host/services.h>
#include <host/usb_bus.h>
#include <sim/board.h>
#include <sim/firmware_image.h>
#include <sim/test_pattern.h>

#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <shared_mutex>
#include <string>
#include <thread>
#include <sys/resource.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr uint32_t kChannels = 4;
constexpr uint32_t kMaxBoards = 8; // boards that keep settings files of their own
constexpr uint32_t kBuffers = 4;
constexpr ULONG kHeaderSize = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);
const wchar_t kParameters[] = L"m4350av\\Parameters";

// ---------------------------------------------------------------------------
// Findings and counts
// ---------------------------------------------------------------------------

struct Report {
    std::mutex m;
    std::vector<std::string> errors;
    std::map<std::string, uint64_t> operations;
    std::map<std::string, uint64_t> faults;
    std::atomic<uint64_t> frames{0};
    std::atomic<uint64_t> framesDropped{0}; // DropCount increases seen
    std::atomic<uint64_t> framesUnchecked{0};
    std::atomic<uint64_t> framesOfOtherMode{0};
    std::atomic<uint64_t> hangs{0};

    void Error(const std::string& what) {
        std::lock_guard lk(m);
        if (errors.size() < 50) {
            errors.push_back(what);
        }
        std::fprintf(stderr, "m4350soak: %s\n", what.c_str());
    }
    void Operation(const std::string& kind) {
        std::lock_guard lk(m);
        ++operations[kind];
    }
    void Fault(const std::string& kind) {
        std::lock_guard lk(m);
        ++faults[kind];
    }
};

Report g_report;

// ---------------------------------------------------------------------------
// Watchdog: every call into the system is bracketed; one that has not come
// back after the bound is a hang.
// ---------------------------------------------------------------------------

class Watchdog {
public:
    struct Slot {
        std::atomic<int64_t> since{0}; // steady-clock ns, 0 when idle
        std::atomic<const char*> what{""};
    };

    explicit Watchdog(std::chrono::seconds bound) : bound_(bound) {
        thread_ = std::thread([this] { Run(); });
    }
    ~Watchdog() {
        {
            std::lock_guard lk(m_);
            quit_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    Slot* NewSlot() {
        std::lock_guard lk(m_);
        slots_.push_back(std::make_unique<Slot>());
        return slots_.back().get();
    }

private:
    void Run() {
        std::unique_lock lk(m_);
        while (!wake_.wait_for(lk, 500ms, [this] { return quit_; })) {
            const int64_t now = Clock::now().time_since_epoch().count();
            for (auto& slot : slots_) {
                int64_t since = slot->since.load();
                if (since != 0 && now - since > std::chrono::nanoseconds(bound_).count()) {
                    ++g_report.hangs;
                    std::fprintf(stderr, "m4350soak: HANG: %s has not returned for %llds\n",
                                 slot->what.load(), (long long)bound_.count());
                    std::fflush(stderr);
                    // A hung system cannot be taken down cleanly: stop here.
                    std::_Exit(3);
                }
            }
        }
    }

    std::chrono::seconds bound_;
    std::mutex m_;
    std::condition_variable wake_;
    bool quit_ = false;
    std::vector<std::unique_ptr<Slot>> slots_;
    std::thread thread_;
};

class Guarded {
public:
    Guarded(Watchdog::Slot* slot, const char* what) : slot_(slot) {
        slot_->what = what;
        slot_->since = Clock::now().time_since_epoch().count();
    }
    ~Guarded() { slot_->since = 0; }

private:
    Watchdog::Slot* slot_;
};

// ---------------------------------------------------------------------------
// The boards
// ---------------------------------------------------------------------------

// One board on a bus of its own. `lock` is held shared by everyone using its
// filters and exclusively by an unplug-and-restart.
struct BoardSlot {
    uint32_t index = 0;
    std::shared_ptr<m4350::sim::Board> model;
    std::unique_ptr<host::usb::Bus> bus;
    host::ks::DeviceNode* node = nullptr;
    std::vector<std::wstring> links; // this device's filters, by channel
    std::shared_mutex lock;
    std::atomic<bool> leaving{false}; // users drop their handles
    std::atomic<uint64_t> generation{0};
};

// The m4350av.sys the run brings its boards up under (--driver-image or
// M4350_DRIVER_IMAGE); empty for the driver built here. Set once in main.
std::string g_driverImage;

class System {
public:
    bool Load(uint32_t boards, std::string* error) {
        if (!NT_SUCCESS(m4350::tools::LoadM4350(g_driverImage, &driver_, error))) {
            return false;
        }
        for (uint32_t i = 0; i < boards; ++i) {
            if (!AddBoard(error)) {
                return false;
            }
        }
        return true;
    }

    // Plugs one more board in, on a bus of its own, and starts its device.
    BoardSlot* AddBoard(std::string* error) {
        auto slot = std::make_unique<BoardSlot>();
        slot->index = uint32_t(boards_.size());
        m4350::sim::BoardConfig config;
        config.serial = 0x00500000 + slot->index;
        config.seed = 1000 + slot->index;
        slot->model = std::make_shared<m4350::sim::Board>(config);
        slot->bus = std::make_unique<host::usb::Bus>(slot->model);
        boards_.push_back(std::move(slot));
        return Start(*boards_.back(), error) ? boards_.back().get() : nullptr;
    }

    // The board number the driver gave the board's running device; nullopt
    // when none runs on it. The driver's record is read only for the driver
    // built here: under an image no board number is known (and not checked).
    std::optional<ULONG> BoardNumber(BoardSlot& b) {
        std::lock_guard lk(pnp_);
        if (!b.node || !g_driverImage.empty()) {
            return std::nullopt;
        }
        const auto* device =
            static_cast<const CaptureDevice*>(host::ks::KsDeviceOf(b.node)->Context);
        if (!device || !device->board) {
            return std::nullopt;
        }
        return device->board->boardNumber;
    }

    // Add and start the device over the board's bus; learns its filters.
    bool Start(BoardSlot& b, std::string* error) {
        std::lock_guard lk(pnp_);
        auto before = host::ks::EnumerateFilters(KSCATEGORY_VIDEO);
        std::set<std::wstring> old(before.begin(), before.end());
        NTSTATUS status = host::ks::AddDevice(driver_, b.bus->Pdo(), &b.node);
        if (!NT_SUCCESS(status)) {
            b.node = nullptr;
            *error = "board " + std::to_string(b.index) + ": Add failed";
            return false;
        }
        status = host::ks::StartDevice(b.node);
        if (!NT_SUCCESS(status)) {
            *error = "board " + std::to_string(b.index) + ": Start failed";
            return false;
        }
        b.links = m4350test::ChannelLinks(old);
        for (uint32_t c = 0; c < kChannels; ++c) {
            if (b.links[c].empty()) {
                *error = "board " + std::to_string(b.index) + ": no filter for channel " +
                         std::to_string(c);
                return false;
            }
        }
        ++b.generation;
        return true;
    }

    void Remove(BoardSlot& b) {
        std::lock_guard lk(pnp_);
        if (b.node) {
            host::ks::RemoveDevice(b.node);
            b.node = nullptr;
        }
    }

    NTSTATUS Power(BoardSlot& b, DEVICE_POWER_STATE state) {
        std::lock_guard lk(pnp_);
        return b.node ? host::ks::SetDevicePowerState(b.node, state) : STATUS_NO_SUCH_DEVICE;
    }

    // The machine sleeps for `asleep` and wakes, with whatever streams run:
    // running pins pause, every device goes to D3 and its port is suspended
    // (the boards lose their power), and the wake delivers SetPower(D0) and
    // Pause -> Run in `order`.
    void SleepAndWake(std::chrono::milliseconds asleep, host::ks::WakeOrder order) {
        std::lock_guard lk(pnp_);
        host::ks::SleepSystem(driver_);
        std::this_thread::sleep_for(asleep);
        host::ks::WakeSystem(driver_, order);
    }

    void TearDown() {
        for (auto& b : boards_) {
            Remove(*b);
        }
        if (driver_) {
            m4350::tools::UnloadM4350(driver_);
            driver_ = nullptr;
        }
        boards_.clear();
    }

    std::vector<std::unique_ptr<BoardSlot>>& Boards() { return boards_; }

private:
    std::mutex pnp_; // one PnP call at a time, as the PnP manager does
    host::ks::Driver* driver_ = nullptr;
    std::vector<std::unique_ptr<BoardSlot>> boards_;
};

// ---------------------------------------------------------------------------
// A stream on one channel
// ---------------------------------------------------------------------------

// What the churn asks of a stream; taken by the stream between frames.
enum class StreamCommand : int { None, Reformat, Reopen, Pause, Acquire };

// Formats whose luma a stamp can be read from: the board's own picture
// sizes (the portrait forms are transposed) in packed or planar YUV or grey.
bool Readable(const KS_VIDEOINFOHEADER& info) {
    const ULONG fourcc = info.bmiHeader.biCompression;
    const bool yuv = fourcc == KS_MAKEFOURCC('Y', 'U', 'Y', '2') ||
                     fourcc == KS_MAKEFOURCC('U', 'Y', 'V', 'Y') ||
                     fourcc == KS_MAKEFOURCC('Y', 'V', '1', '6') ||
                     fourcc == KS_MAKEFOURCC('Y', '8', '0', '0');
    const LONG w = info.bmiHeader.biWidth;
    const LONG h = std::abs(info.bmiHeader.biHeight);
    const bool landscape = (w == 640 && (h == 480 || h == 240)) || (w == 320 && h == 240) ||
                           (w == 704 && (h == 576 || h == 288)) || (w == 352 && h == 288);
    return yuv && landscape;
}

// The luma plane of a delivered picture.
std::vector<uint8_t> Luma(const KS_VIDEOINFOHEADER& info, const uint8_t* data) {
    const uint32_t w = uint32_t(info.bmiHeader.biWidth);
    const uint32_t h = uint32_t(std::abs(info.bmiHeader.biHeight));
    std::vector<uint8_t> y(size_t(w) * h);
    switch (info.bmiHeader.biCompression) {
    case KS_MAKEFOURCC('Y', 'U', 'Y', '2'):
        for (size_t i = 0; i < y.size(); ++i) {
            y[i] = data[2 * i];
        }
        break;
    case KS_MAKEFOURCC('U', 'Y', 'V', 'Y'):
        for (size_t i = 0; i < y.size(); ++i) {
            y[i] = data[2 * i + 1];
        }
        break;
    default: // planar: luma first
        std::memcpy(y.data(), data, y.size());
        break;
    }
    return y;
}

// A format asked for by size and subtype; a zero width takes any readable
// format, picked at random.
struct WantedFormat {
    uint32_t width = 0, height = 0;
    ULONG fourcc = 0;
};

class Stream {
public:
    Stream(System& system, BoardSlot& board, uint32_t channel, uint64_t seed, Watchdog& dog,
           WantedFormat wanted = {})
        : system_(system), board_(board), channel_(channel), wanted_(wanted), rng_(seed),
          slot_(dog.NewSlot()) {}

    // Frames delivered intact, and what is missing between them.
    struct Counts {
        uint64_t delivered = 0;
        uint64_t dropGrowth = 0; // the growth of DropCount between them
        // While accounting: of the missing frames, those the board never
        // sent, and those neither it nor the driver's DropCount explains.
        uint64_t busDrops = 0;
        int64_t unexplained = 0;
        // Frames checked that started the board's numbering again after it
        // lost its power: the stream came back after a sleep.
        uint64_t comebacks = 0;
    };
    Counts Tally() const {
        return {delivered_.load(), dropGrowth_.load(), busDrops_.load(), unexplained_.load(),
                comebacks_.load()};
    }
    // Accounts for every gap between delivered frames from now on: each
    // missing board frame must be one the board dropped or one the driver
    // counted in DropCount. Only for streams whose pictures arrive whole
    // (no faults injected) and that do not change state meanwhile.
    void Account(bool on) { accounting_ = on; }
    BoardSlot& Board() const { return board_; }
    uint32_t Channel() const { return channel_; }

    void Start() {
        thread_ = std::thread([this] { Run(); });
    }
    void Stop() {
        quit_ = true;
        thread_.join();
    }
    void Ask(StreamCommand command) { command_ = int(command); }
    std::string Name() const {
        return "board " + std::to_string(board_.index) + " channel " + std::to_string(channel_);
    }

private:
    void Run() {
        while (!quit_) {
            if (board_.leaving) {
                std::this_thread::sleep_for(5ms);
                continue;
            }
            std::shared_lock lk(board_.lock);
            if (board_.leaving) {
                continue;
            }
            Session();
        }
    }

    // One filter open: pins come and go on it until the churn or the board
    // ends it.
    void Session() {
        HANDLE filter = nullptr;
        {
            Guarded g(slot_, "OpenFilter");
            if (!NT_SUCCESS(host::ks::OpenFilter(board_.links[channel_].c_str(), &filter))) {
                std::this_thread::sleep_for(20ms);
                return;
            }
        }
        g_report.Operation("filter open");
        bool reopen = false;
        while (!quit_ && !board_.leaving && !reopen) {
            reopen = !PinLife(filter);
        }
        Guarded g(slot_, "CloseHandle(filter)");
        host::ks::CloseHandle(filter);
    }

    // Picks one of the channel's formats the stamp can be read from.
    bool ChooseFormat(HANDLE filter, std::vector<uint8_t>* format) {
        std::vector<std::vector<unsigned char>> usable;
        {
            Guarded g(slot_, "data ranges");
            for (auto& range : m4350test::PinRanges(filter)) {
                if (range.size() < sizeof(KS_DATARANGE_VIDEO)) {
                    continue;
                }
                const KS_VIDEOINFOHEADER& info =
                    reinterpret_cast<const KS_DATARANGE_VIDEO*>(range.data())->VideoInfoHeader;
                if (Readable(info) &&
                    (wanted_.width == 0 ||
                     (uint32_t(info.bmiHeader.biWidth) == wanted_.width &&
                      uint32_t(std::abs(info.bmiHeader.biHeight)) == wanted_.height &&
                      info.bmiHeader.biCompression == wanted_.fourcc))) {
                    usable.push_back(std::move(range));
                }
            }
        }
        if (usable.empty()) {
            return false;
        }
        Guarded g(slot_, "data intersection");
        *format = m4350test::IntersectFormat(filter, usable[rng_() % usable.size()]);
        return !format->empty();
    }

    bool SetState(HANDLE pin, KSSTATE state) {
        Guarded g(slot_, "SetPinState");
        return NT_SUCCESS(host::ks::SetPinState(pin, state));
    }

    // One pin from creation to close. False when the filter should be closed
    // and opened again.
    bool PinLife(HANDLE filter) {
        std::vector<uint8_t> format;
        if (!ChooseFormat(filter, &format)) {
            std::this_thread::sleep_for(20ms);
            return false;
        }
        HANDLE pin = nullptr;
        {
            Guarded g(slot_, "CreatePin");
            if (!NT_SUCCESS(host::ks::CreatePin(
                    filter, 0, reinterpret_cast<const KSDATAFORMAT*>(format.data()), &pin))) {
                std::this_thread::sleep_for(20ms);
                return false;
            }
        }
        g_report.Operation("pin create");
        const auto* video = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data());
        const KS_VIDEOINFOHEADER& info = video->VideoInfoHeader;
        const ULONG extent = info.bmiHeader.biSizeImage;
        std::vector<std::unique_ptr<host::ks::StreamBuffer>> buffers;
        for (uint32_t i = 0; i < kBuffers; ++i) {
            buffers.push_back(std::make_unique<host::ks::StreamBuffer>(kHeaderSize, extent));
        }
        auto queue = [&](host::ks::StreamBuffer& buffer) {
            KSSTREAM_HEADER* header = buffer.Header();
            std::memset(header, 0, kHeaderSize);
            header->Size = kHeaderSize;
            header->Data = buffer.Data();
            header->FrameExtent = buffer.FrameExtent();
            reinterpret_cast<KS_FRAME_INFO*>(header + 1)->ExtendedHeaderSize =
                sizeof(KS_FRAME_INFO);
            Guarded g(slot_, "QueueBuffer");
            host::ks::QueueBuffer(pin, header);
        };
        // The class takes buffers from Pause on.
        bool keepFilter = true;
        bool running = SetState(pin, KSSTATE_PAUSE);
        if (running) {
            for (auto& buffer : buffers) {
                queue(*buffer);
            }
            running = SetState(pin, KSSTATE_RUN);
        }
        if (!running) {
            g_report.Operation("run refused");
        }
        if (running) {
            Expect expect = NewRun();
            while (!quit_ && !board_.leaving) {
                StreamCommand command = StreamCommand(command_.exchange(0));
                if (command == StreamCommand::Reformat) {
                    g_report.Operation("format change");
                    break;
                }
                if (command == StreamCommand::Reopen) {
                    g_report.Operation("filter close and reopen");
                    keepFilter = false;
                    break;
                }
                if (command == StreamCommand::Pause || command == StreamCommand::Acquire) {
                    KSSTATE to = command == StreamCommand::Pause ? KSSTATE_PAUSE : KSSTATE_ACQUIRE;
                    g_report.Operation(command == StreamCommand::Pause ? "state pause"
                                                                       : "state acquire");
                    SetState(pin, to);
                    std::this_thread::sleep_for(std::chrono::milliseconds(20 + rng_() % 80));
                    if (to == KSSTATE_ACQUIRE) {
                        // Frames of the stopped acquisition still waiting
                        // here are of the old numbering: they go back
                        // unchecked, before the new one starts.
                        host::ks::CompletedFrame old;
                        while (host::ks::WaitForFrame(pin, 0ms, &old) == STATUS_SUCCESS) {
                            for (auto& b : buffers) {
                                if (b->Data() == old.Header()->Data) {
                                    queue(*b);
                                }
                            }
                        }
                    }
                    // Entering Run starts the board's acquisition again: the
                    // frames count from 1 once more.
                    if (!SetState(pin, KSSTATE_RUN)) {
                        break;
                    }
                    expect = NewRun();
                }
                host::ks::CompletedFrame frame;
                NTSTATUS status;
                {
                    Guarded g(slot_, "WaitForFrame");
                    status = host::ks::WaitForFrame(pin, 200ms, &frame);
                }
                if (status == STATUS_TIMEOUT) {
                    continue;
                }
                if (status != STATUS_SUCCESS) {
                    break;
                }
                const KSSTREAM_HEADER* header = frame.Header();
                host::ks::StreamBuffer* buffer = nullptr;
                for (auto& b : buffers) {
                    if (b->Data() == header->Data) {
                        buffer = b.get();
                    }
                }
                if (!buffer) {
                    g_report.Error(Name() + ": a frame in a buffer that was never queued");
                    break;
                }
                if (frame.Status == STATUS_SUCCESS) {
                    Check(info, *header, buffer->Data(), &expect);
                }
                queue(*buffer);
            }
        }
        {
            Guarded g(slot_, "SetPinState(stop)");
            host::ks::SetPinState(pin, KSSTATE_STOP);
            // The stop hands back every queued buffer before they go.
            host::ks::CompletedFrame rest;
            while (host::ks::WaitForFrame(pin, 0ms, &rest) == STATUS_SUCCESS) {
            }
        }
        {
            Guarded g(slot_, "CloseHandle(pin)");
            host::ks::CloseHandle(pin);
        }
        return keepFilter;
    }

    struct Expect {
        bool first = true;
        uint32_t stamp = 0;
        LONGLONG picture = 0;
        LONGLONG drops = 0;
        uint64_t delivered = 0;   // since the last start from Stop or Acquire
        uint64_t powerLosses = 0; // the board's, as of the run its frames follow
    };
    // A run entering Run: the board's power losses are taken now, not at its
    // first frame, which may have been made before a loss and be checked
    // after it.
    Expect NewRun() const {
        Expect expect;
        expect.powerLosses = board_.model->Counters().powerLosses;
        return expect;
    }

    void Check(const KS_VIDEOINFOHEADER& info, const KSSTREAM_HEADER& header, const uint8_t* data,
               Expect* expect) {
        ++g_report.frames;
        const auto* frameInfo = reinterpret_cast<const KS_FRAME_INFO*>(&header + 1);
        const std::string at = Name() + ", picture " + std::to_string(frameInfo->PictureNumber);
        if (header.DataUsed == 0) {
            ++g_report.framesUnchecked; // a buffer the driver could not fill
            return;
        }
        std::vector<uint8_t> luma = Luma(info, data);
        const uint32_t w = uint32_t(info.bmiHeader.biWidth);
        const uint32_t h = uint32_t(std::abs(info.bmiHeader.biHeight));
        m4350::sim::StampReading stamp = m4350::sim::ReadStamp(luma.data(), w, h);
        if (!stamp.valid) {
            // A picture of another mode in this format: say which, if any.
            const std::pair<uint32_t, uint32_t> modes[] = {{640, 480}, {640, 240}, {320, 240},
                                                           {704, 576}, {704, 288}, {352, 288}};
            for (const auto& [mw, mh] : modes) {
                KS_VIDEOINFOHEADER other = info;
                other.bmiHeader.biWidth = LONG(mw);
                other.bmiHeader.biHeight = LONG(mh);
                if (size_t(mw) * mh *
                        (info.bmiHeader.biBitCount / 8 ? info.bmiHeader.biBitCount / 8 : 1) >
                    info.bmiHeader.biSizeImage) {
                    continue;
                }
                std::vector<uint8_t> y = Luma(other, data);
                if (m4350::sim::ReadStamp(y.data(), mw, mh).valid) {
                    ++g_report.framesOfOtherMode;
                    g_report.Error(at + ": a " + std::to_string(mw) + "x" + std::to_string(mh) +
                                   " picture delivered in a " + std::to_string(w) + "x" +
                                   std::to_string(h) + " format");
                    return;
                }
            }
            const ULONG fourcc = info.bmiHeader.biCompression;
            g_report.Error(at + ": the stamp cannot be read (" +
                           std::string(reinterpret_cast<const char*>(&fourcc), 4) + " " +
                           std::to_string(w) + "x" + std::to_string(info.bmiHeader.biHeight) + ")");
            return;
        }
        if (stamp.channel != 3 - channel_) {
            g_report.Error(at + ": a frame of board channel " + std::to_string(stamp.channel));
        }
        ++expect->delivered;
        const LONGLONG picture = frameInfo->PictureNumber;
        // After the board lost its power (a sleep) its numbers start at 1
        // again while the picture numbers go on; frames of before the sleep
        // may still come first from the driver's queue. The new run may
        // begin at the very number the old one ended at.
        const uint64_t losses = board_.model->Counters().powerLosses;
        const bool restarted =
            !expect->first && losses != expect->powerLosses && stamp.frameNumber <= expect->stamp;
        if (restarted) {
            expect->powerLosses = losses;
            ++comebacks_;
        }
        if (!expect->first) {
            if (!restarted && (((stamp.frameNumber - expect->stamp) & 0xFFFFFF) == 0 ||
                               ((stamp.frameNumber - expect->stamp) & 0xFFFFFF) > 0x800000)) {
                g_report.Error(at + ": board frame number " + std::to_string(stamp.frameNumber) +
                               " after " + std::to_string(expect->stamp));
            }
            if (picture <= expect->picture) {
                g_report.Error(at + ": picture number not rising (after " +
                               std::to_string(expect->picture) + ")");
            }
            if (frameInfo->DropCount < expect->drops) {
                g_report.Error(at + ": DropCount went down");
            }
            // Every counted frame is delivered or dropped.
            const LONGLONG gap = picture - expect->picture - 1;
            if (frameInfo->DropCount - expect->drops != gap) {
                g_report.Error(at + ": DropCount grew by " +
                               std::to_string(frameInfo->DropCount - expect->drops) +
                               " over a gap of " + std::to_string(gap));
            }
            g_report.framesDropped += uint64_t(frameInfo->DropCount - expect->drops);
            const uint32_t step = (stamp.frameNumber - expect->stamp) & 0xFFFFFF;
            const LONGLONG dropGrowth = std::max<LONGLONG>(frameInfo->DropCount - expect->drops, 0);
            dropGrowth_ += uint64_t(dropGrowth);
            if (accounting_ && !restarted && losses == expect->powerLosses && step > 0 &&
                step <= 0x800000) {
                const uint32_t bus =
                    board_.model->DroppedBetween(3 - channel_, expect->stamp, stamp.frameNumber);
                busDrops_ += bus;
                const int64_t off = int64_t(step - 1) - dropGrowth - int64_t(bus);
                if (off != 0) {
                    unexplained_ += off;
                    g_report.Error(at + ": " + std::to_string(step - 1) +
                                   " board frames missing before frame " +
                                   std::to_string(stamp.frameNumber) + ", the board dropped " +
                                   std::to_string(bus) + ", DropCount grew by " +
                                   std::to_string(dropGrowth));
                }
            }
        }
        ++delivered_;
        if ((header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID) &&
            header.PresentationTime.Time != (picture - 1) * LONGLONG(info.AvgTimePerFrame)) {
            g_report.Error(at + ": presentation time " +
                           std::to_string(header.PresentationTime.Time) + " for picture " +
                           std::to_string(picture));
        }
        expect->first = false;
        expect->stamp = stamp.frameNumber;
        expect->picture = picture;
        expect->drops = frameInfo->DropCount;
    }

    System& system_;
    BoardSlot& board_;
    uint32_t channel_;
    WantedFormat wanted_;
    std::mt19937_64 rng_;
    Watchdog::Slot* slot_;
    std::atomic<uint64_t> delivered_{0}, dropGrowth_{0}, busDrops_{0}, comebacks_{0};
    std::atomic<int64_t> unexplained_{0};
    std::atomic<bool> accounting_{false};
    std::atomic<bool> quit_{false};
    std::atomic<int> command_{0};
    std::thread thread_;
};

// ---------------------------------------------------------------------------
// Unplugging a board under running streams
// ---------------------------------------------------------------------------

// Pulls the board's cable: its streams let go of their handles and its
// device is removed. The returned lock keeps the streams off the board
// until PlugBackIn.
std::unique_lock<std::shared_mutex> Unplug(System& system, BoardSlot& board, Watchdog::Slot* slot) {
    board.leaving = true;
    {
        Guarded g(slot, "unplug");
        board.bus->Unplug();
    }
    std::unique_lock lk(board.lock);
    Guarded g(slot, "remove");
    system.Remove(board);
    return lk;
}

// Plugs the board in again and starts a new device on it; its streams come
// back by themselves.
bool PlugBackIn(System& system, BoardSlot& board, std::unique_lock<std::shared_mutex> held,
                Watchdog::Slot* slot, std::string* error) {
    bool started;
    {
        Guarded g(slot, "replug and restart");
        board.bus->Replug();
        started = system.Start(board, error);
    }
    held.unlock();
    board.leaving = false;
    return started;
}

// ---------------------------------------------------------------------------
// Churn
// ---------------------------------------------------------------------------

class Churn {
public:
    Churn(System& system, std::vector<std::unique_ptr<Stream>>& streams, uint64_t seed,
          Watchdog& dog)
        : system_(system), streams_(streams), rng_(seed), slot_(dog.NewSlot()) {}

    void Step() {
        auto& boards = system_.Boards();
        BoardSlot& board = *boards[rng_() % boards.size()];
        const uint32_t channel = uint32_t(rng_() % kChannels);
        Stream& stream = *streams_[board.index * kChannels + channel];
        switch (rng_() % 16) {
        case 0:
        case 1:
            stream.Ask(StreamCommand::Reformat);
            break;
        case 2:
            stream.Ask(StreamCommand::Reopen);
            break;
        case 3:
            stream.Ask(StreamCommand::Pause);
            break;
        case 4:
            stream.Ask(StreamCommand::Acquire);
            break;
        case 5:
        case 6:
            Controls(board, channel);
            break;
        case 7:
            Methods(board, channel);
            break;
        case 8:
            FixedStandard(uint32_t(rng_() % 3));
            break;
        case 9:
            PowerCycle(board);
            break;
        case 10:
            Inject(board, m4350::sim::Fault::FailStreamRead, 1 + uint32_t(rng_() % 4), 0,
                   "pipe-error burst");
            break;
        case 11:
            Inject(board,
                   rng_() % 2 ? m4350::sim::Fault::WithholdAck : m4350::sim::Fault::WithholdStatus,
                   1, 0, "withheld answer");
            break;
        case 12:
        case 13:
            Inject(board, m4350::sim::Fault::GarbageBetweenFrames, 1, 1 + uint32_t(rng_() % 3),
                   "garbage between frames");
            break;
        case 14:
            if (rng_() % 4 == 0) {
                Replug(board);
            }
            break;
        case 15:
            if (rng_() % 8 == 0) {
                SleepAndWake();
            }
            break;
        default:
            break;
        }
    }

private:
    void Inject(BoardSlot& board, m4350::sim::Fault fault, uint32_t count, uint32_t value,
                const char* kind) {
        m4350::sim::FaultRule rule;
        rule.fault = fault;
        rule.count = count;
        rule.value = value;
        board.model->AddFault(rule);
        g_report.Fault(kind);
    }

    // A filter of its own on the channel: proc-amp values and the dropped
    // frames, as a control panel would.
    void Controls(BoardSlot& board, uint32_t channel) {
        std::shared_lock lk(board.lock);
        if (board.leaving) {
            return;
        }
        HANDLE filter = nullptr;
        Guarded g(slot_, "proc-amp calls");
        if (!NT_SUCCESS(host::ks::OpenFilter(board.links[channel].c_str(), &filter))) {
            return;
        }
        const ULONG ids[] = {KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, KSPROPERTY_VIDEOPROCAMP_CONTRAST,
                             KSPROPERTY_VIDEOPROCAMP_HUE, KSPROPERTY_VIDEOPROCAMP_SATURATION};
        KSPROPERTY_VIDEOPROCAMP_S s{};
        s.Property.Set = PROPSETID_VIDCAP_VIDEOPROCAMP;
        s.Property.Id = ids[rng_() % 4];
        s.Property.Flags = KSPROPERTY_TYPE_GET;
        ULONG returned = 0;
        if (NT_SUCCESS(host::ks::DeviceIoControl(filter, IOCTL_KS_PROPERTY, &s, sizeof s, &s,
                                                 sizeof s, &returned))) {
            s.Property.Flags = KSPROPERTY_TYPE_SET;
            s.Value += LONG(rng_() % 5) - 2;
            host::ks::DeviceIoControl(filter, IOCTL_KS_PROPERTY, &s, sizeof s, &s, sizeof s,
                                      &returned);
        }
        host::ks::CloseHandle(filter);
        g_report.Operation("proc-amp call");
    }

    void Methods(BoardSlot& board, uint32_t channel) {
        std::shared_lock lk(board.lock);
        if (board.leaving) {
            return;
        }
        HANDLE filter = nullptr;
        Guarded g(slot_, "method-set calls");
        if (!NT_SUCCESS(host::ks::OpenFilter(board.links[channel].c_str(), &filter))) {
            return;
        }
        ULONG returned = 0;
        if (rng_() % 3 == 0) {
            auto verify = std::make_unique<DEVICE_EEPROM_VERIFY_REQUEST>();
            std::memset(verify.get(), 0, sizeof *verify);
            verify->Method.Set = DeviceMethodSet;
            verify->Method.Id = DEVICE_METHOD_VERIFY_EEPROM;
            verify->Method.Flags = DeviceMethodFlags;
            verify->Magic = DeviceEepromMagic;
            verify->Length = 16;
            host::ks::DeviceIoControl(filter, IOCTL_KS_METHOD, verify.get(), sizeof *verify,
                                      verify.get(), sizeof *verify, &returned);
            g_report.Operation("EEPROM verify");
        } else {
            DEVICE_VERSION_REQUEST version{};
            version.Method.Set = DeviceMethodSet;
            version.Method.Id = DEVICE_METHOD_GET_VERSION;
            version.Method.Flags = DeviceMethodFlags;
            version.Selector = ULONG(rng_() % 4);
            host::ks::DeviceIoControl(filter, IOCTL_KS_METHOD, &version, sizeof version, &version,
                                      sizeof version, &returned);
            DEVICE_ATTRIBUTE_REQUEST attribute{};
            attribute.Method.Set = DeviceMethodSet;
            attribute.Method.Id = DEVICE_METHOD_GET_ATTRIBUTE;
            attribute.Method.Flags = DeviceMethodFlags;
            attribute.Channel = channel + 1;
            attribute.Attribute = DEVICE_ATTRIBUTE_BRIGHT;
            host::ks::DeviceIoControl(filter, IOCTL_KS_METHOD, &attribute, sizeof attribute,
                                      &attribute, sizeof attribute, &returned);
            g_report.Operation("method-set call");
        }
        host::ks::CloseHandle(filter);
    }

    // Power down and up as a system sleep does it: the applications let go
    // of the board's filters first. (Powering down under running streams is
    // not done: the firmware reload that the next set-mode runs resets the
    // board's modes, and channels still streaming then deliver pictures of
    // the board's default mode in their own format.)
    void PowerCycle(BoardSlot& board) {
        board.leaving = true;
        {
            std::unique_lock lk(board.lock);
            Guarded g(slot_, "power down and up");
            system_.Power(board, PowerDeviceD3);
            std::this_thread::sleep_for(std::chrono::milliseconds(rng_() % 50));
            system_.Power(board, PowerDeviceD0);
            // One pin first, so that one set-mode runs the firmware reload
            // before the streams come back: channels whose set-modes meet the
            // powered-down board together each run a reload, and a later one
            // wipes the modes an earlier one's channel was just given.
            HANDLE filter = nullptr;
            if (NT_SUCCESS(host::ks::OpenFilter(board.links[0].c_str(), &filter))) {
                std::vector<std::vector<unsigned char>> ranges = m4350test::PinRanges(filter);
                std::vector<unsigned char> format =
                    ranges.empty() ? std::vector<unsigned char>{}
                                   : m4350test::IntersectFormat(filter, ranges[0]);
                HANDLE pin = nullptr;
                if (!format.empty() &&
                    NT_SUCCESS(host::ks::CreatePin(
                        filter, 0, reinterpret_cast<const KSDATAFORMAT*>(format.data()), &pin))) {
                    host::ks::CloseHandle(pin);
                }
                host::ks::CloseHandle(filter);
            }
        }
        board.leaving = false;
        g_report.Operation("power down and up");
    }

    // The machine sleeps with every stream running, for 0.1 to 3 s, and
    // wakes in either order; the streams go on by themselves.
    void SleepAndWake() {
        const auto asleep = std::chrono::milliseconds(100 + rng_() % 2901);
        const auto order =
            rng_() % 2 ? host::ks::WakeOrder::PowerFirst : host::ks::WakeOrder::RunFirst;
        Guarded g(slot_, "system sleep and wake");
        system_.SleepAndWake(asleep, order);
        g_report.Operation("system sleep and wake");
    }

    // A new fixed standard is read where a channel's standard is chosen: at
    // filter creation, and again when a format is mapped to a mode. A stream
    // that straddled the change would get a picture of the other standard in
    // its format, so every stream lets go of its filter for the change and
    // opens it again.
    void FixedStandard(uint32_t standard) {
        auto& boards = system_.Boards();
        for (auto& b : boards) {
            b->leaving = true;
        }
        {
            std::vector<std::unique_lock<std::shared_mutex>> held;
            for (auto& b : boards) {
                held.emplace_back(b->lock);
            }
            host::SetServiceDword(kParameters, L"FixedStandard", standard);
        }
        for (auto& b : boards) {
            b->leaving = false;
        }
        g_report.Operation("fixed standard change");
    }

    // Unplug with the streams running; the streams let go, the device is
    // removed, the board comes back and a new device starts on it.
    void Replug(BoardSlot& board) {
        g_report.Fault("unplug and replug");
        std::string error;
        if (!PlugBackIn(system_, board, Unplug(system_, board, slot_), slot_, &error)) {
            g_report.Error("restart after replug: " + error);
        }
        g_report.Operation("device restart");
    }

    System& system_;
    std::vector<std::unique_ptr<Stream>>& streams_;
    std::mt19937_64 rng_;
    Watchdog::Slot* slot_;
};

// ---------------------------------------------------------------------------
// Scale: the most boards that keep settings files of their own, each on a
// USB 2.0 bus of its own, every channel streaming
// ---------------------------------------------------------------------------

constexpr ULONG kFourccs[kChannels] = {
    KS_MAKEFOURCC('Y', 'U', 'Y', '2'), KS_MAKEFOURCC('U', 'Y', 'V', 'Y'),
    KS_MAKEFOURCC('Y', 'V', '1', '6'), KS_MAKEFOURCC('Y', '8', '0', '0')};

// Even boards ask for four full-size pictures, more than their bus carries;
// odd boards for four quarter-size ones, which fit with room to spare.
WantedFormat ScaleFormat(uint32_t board, uint32_t channel) {
    return board % 2 == 0 ? WantedFormat{640, 480, kFourccs[channel]}
                          : WantedFormat{320, 240, kFourccs[channel]};
}

double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Everything the accounting needs, taken at one moment.
struct ScaleSnapshot {
    Clock::time_point at;
    double driverCpu = 0, processCpu = 0;
    std::vector<m4350::sim::BoardCounters> boards;
    std::vector<uint64_t> busBytes;
    std::vector<Stream::Counts> streams;
};

ScaleSnapshot Snap(System& system, const std::vector<std::unique_ptr<Stream>>& streams,
                   uint32_t boards) {
    ScaleSnapshot s;
    for (const auto& stream : streams) {
        s.streams.push_back(stream->Tally());
    }
    for (uint32_t b = 0; b < boards; ++b) {
        s.boards.push_back(system.Boards()[b]->model->Counters());
        s.busBytes.push_back(system.Boards()[b]->bus->Controller().BulkBytes());
    }
    s.at = Clock::now();
    s.driverCpu = host::DriverCpuSeconds();
    s.processCpu = ProcessCpuSeconds();
    return s;
}

struct NinthBoard {
    bool started = false;
    std::optional<ULONG> number;
    size_t tooManyBoards = 0; // log lines while it lived
    uint64_t frames = 0;      // delivered on its first channel
    bool settingsWritten = false;
};

// One board more than keep settings of their own: it starts, streams on
// defaults, and writes no settings file; then it is unplugged again.
NinthBoard RunNinthBoard(System& system, Watchdog& dog, uint64_t seed) {
    NinthBoard r;
    const auto file = host::SystemRoot() / "system32" / "drivers" /
                      ("m4350dev" + std::to_string(kMaxBoards) + ".bin");
    std::error_code ec;
    std::filesystem::remove(file, ec);
    // What the driver logs from here on is what the ninth board meets.
    host::SetDebugLogCapacity(std::max<size_t>(host::DebugLogCapacity(), 100000));
    host::ClearDebugLog();
    std::string error;
    BoardSlot* board = system.AddBoard(&error);
    if (!board) {
        g_report.Error("the ninth board did not start: " + error);
        return r;
    }
    r.started = true;
    r.number = system.BoardNumber(*board);
    {
        Stream stream(system, *board, 0, seed, dog, ScaleFormat(1, 3));
        stream.Start();
        const auto bound = Clock::now() + 15s;
        while (stream.Tally().delivered < 30 && Clock::now() < bound) {
            std::this_thread::sleep_for(20ms);
        }
        stream.Stop();
        r.frames = stream.Tally().delivered;
    }
    Unplug(system, *board, dog.NewSlot());
    r.tooManyBoards = host::DebugLogCount("too many boards");
    r.settingsWritten = std::filesystem::exists(file, ec);
    return r;
}

// Unplug, replug and restart cycles of one or two boards at a time (brought
// back in the other order), each followed by a look at the board numbers of
// all running boards. Returns the cycles in which two boards held one number.
uint32_t CycleBoardNumbers(System& system, uint32_t boards, uint32_t cycles, uint64_t seed,
                           Watchdog::Slot* slot) {
    std::mt19937_64 rng(seed);
    uint32_t clashes = 0;
    for (uint32_t cycle = 0; cycle < cycles; ++cycle) {
        std::vector<BoardSlot*> down;
        const uint32_t count = boards > 1 ? 1 + uint32_t(rng() % 2) : 1;
        while (down.size() < count) {
            BoardSlot* b = system.Boards()[rng() % boards].get();
            if (std::find(down.begin(), down.end(), b) == down.end()) {
                down.push_back(b);
            }
        }
        std::vector<std::unique_lock<std::shared_mutex>> held;
        for (BoardSlot* b : down) {
            held.push_back(Unplug(system, *b, slot));
            g_report.Fault("unplug and replug");
        }
        for (size_t i = down.size(); i-- > 0;) {
            std::string error;
            if (!PlugBackIn(system, *down[i], std::move(held[i]), slot, &error)) {
                g_report.Error("restart after replug: " + error);
            }
            g_report.Operation("device restart");
        }
        std::map<ULONG, uint32_t> holders;
        for (uint32_t b = 0; b < boards; ++b) {
            if (!g_driverImage.empty()) {
                if (!system.Boards()[b]->node) {
                    g_report.Error("cycle " + std::to_string(cycle + 1) + ": board " +
                                   std::to_string(b) + " has no running device");
                }
                continue;
            }
            std::optional<ULONG> number = system.BoardNumber(*system.Boards()[b]);
            if (!number) {
                g_report.Error("cycle " + std::to_string(cycle + 1) + ": board " +
                               std::to_string(b) + " has no running device");
                continue;
            }
            if (*number >= kMaxBoards) {
                g_report.Error("cycle " + std::to_string(cycle + 1) + ": board " +
                               std::to_string(b) + " got board number " + std::to_string(*number));
            }
            auto [at, fresh] = holders.emplace(*number, b);
            if (!fresh) {
                ++clashes;
                g_report.Error("cycle " + std::to_string(cycle + 1) + ": boards " +
                               std::to_string(at->second) + " and " + std::to_string(b) +
                               " both hold board number " + std::to_string(*number));
            }
        }
    }
    return clashes;
}

struct ScaleOptions {
    uint32_t boards = kMaxBoards;
    double seconds = 30;
    uint32_t cycles = 16;
    uint64_t seed = 1;
    bool json = false;
};

// Streams every channel of `options.boards` boards, each board on a bus of
// its own at the USB 2.0 limit, and accounts for every frame; a ninth board
// comes and goes a third of the way in. Afterwards boards are unplugged,
// replugged and restarted with their neighbours streaming. Prints the
// figures; false when anything is unaccounted for or wrong.
bool RunScale(const ScaleOptions& options, std::string* jsonFigures) {
    host::usb::SetDefaultBulkBytesPerMicroframe(host::usb::kHighSpeedBulkBytesPerMicroframe);
    std::string error;
    Watchdog dog(60s);
    System system;
    if (!system.Load(options.boards, &error)) {
        std::cerr << "m4350soak: " << error << "\n";
        system.TearDown();
        return false;
    }
    std::vector<std::unique_ptr<Stream>> streams;
    for (auto& b : system.Boards()) {
        for (uint32_t c = 0; c < kChannels; ++c) {
            streams.push_back(std::make_unique<Stream>(
                system, *b, c, options.seed * 131 + streams.size(), dog, ScaleFormat(b->index, c)));
        }
    }
    for (auto& s : streams) {
        s->Start();
    }
    // The window opens once every channel delivers.
    const auto warmUp = Clock::now() + 30s;
    while (Clock::now() < warmUp && !std::all_of(streams.begin(), streams.end(), [](const auto& s) {
               return s->Tally().delivered > 0;
           })) {
        std::this_thread::sleep_for(20ms);
    }
    for (const auto& s : streams) {
        if (s->Tally().delivered == 0) {
            g_report.Error(s->Name() + " delivered no frame");
        }
    }
    for (auto& s : streams) {
        s->Account(true);
    }
    const ScaleSnapshot start = Snap(system, streams, options.boards);
    const auto window =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.seconds));
    std::this_thread::sleep_until(start.at + window / 3);
    const NinthBoard ninth = RunNinthBoard(system, dog, options.seed);
    std::this_thread::sleep_until(start.at + window);
    const ScaleSnapshot end = Snap(system, streams, options.boards);
    for (auto& s : streams) {
        s->Account(false);
    }
    const uint32_t clashes =
        CycleBoardNumbers(system, options.boards, options.cycles, options.seed, dog.NewSlot());
    struct Place {
        uint32_t board, channel;
        std::string name;
    };
    std::vector<Place> places;
    for (auto& s : streams) {
        s->Stop();
        places.push_back({s->Board().index, s->Channel(), s->Name()});
    }
    streams.clear();
    system.TearDown();

    const double seconds = std::chrono::duration<double>(end.at - start.at).count();
    const double limit = host::usb::kHighSpeedBulkBytesPerMicroframe * 8000.0;
    const double driverCpu = (end.driverCpu - start.driverCpu) / seconds;
    const double processCpu = (end.processCpu - start.processCpu) / seconds;
    struct Row {
        uint64_t sent = 0, busDrops = 0, delivered = 0, driverDrops = 0;
        int64_t unexplained = 0;
        double busShare = 0;
    };
    std::vector<Row> rows(options.boards);
    Row total;
    for (size_t i = 0; i < places.size(); ++i) {
        const uint32_t b = places[i].board;
        const uint32_t bc = 3 - places[i].channel;
        const Stream::Counts& a = start.streams[i];
        const Stream::Counts& z = end.streams[i];
        const uint64_t sent = end.boards[b].frames[bc] - start.boards[b].frames[bc];
        const uint64_t busDrops = z.busDrops - a.busDrops;
        const uint64_t driverDrops = z.dropGrowth - a.dropGrowth;
        const int64_t unexplained = z.unexplained - a.unexplained;
        for (Row* row : {&rows[b], &total}) {
            row->sent += sent;
            row->busDrops += busDrops;
            row->delivered += z.delivered - a.delivered;
            row->driverDrops += driverDrops;
            row->unexplained += unexplained;
        }
    }
    for (uint32_t b = 0; b < options.boards; ++b) {
        rows[b].busShare = double(end.busBytes[b] - start.busBytes[b]) / seconds / limit;
    }
    const bool ninthOk = ninth.started && (ninth.number == kMaxBoards || !g_driverImage.empty()) &&
                         ninth.tooManyBoards >= 2 && ninth.frames >= 30 && !ninth.settingsWritten;
    if (!ninthOk) {
        g_report.Error("the ninth board was not handled as one too many");
    }
    const bool ok = ninthOk && clashes == 0;

    if (options.json) {
        char text[1024];
        std::snprintf(text, sizeof text,
                      "{\"seconds\": %.1f, \"boards\": %u, \"bus_limit_mb_s\": %.1f, "
                      "\"frames_sent\": %llu, \"bus_drops\": %llu, \"delivered\": %llu, "
                      "\"driver_drops\": %llu, \"unexplained\": %lld, \"driver_cpu_per_s\": %.3f, "
                      "\"process_cpu_per_s\": %.3f, \"ninth_board_number\": %ld, "
                      "\"ninth_too_many_boards\": %zu, \"ninth_frames\": %llu, "
                      "\"ninth_settings_written\": %s, \"cycles\": %u, \"clashes\": %u}",
                      seconds, options.boards, limit / 1e6, (unsigned long long)total.sent,
                      (unsigned long long)total.busDrops, (unsigned long long)total.delivered,
                      (unsigned long long)total.driverDrops, (long long)total.unexplained,
                      driverCpu, processCpu, ninth.number ? long(*ninth.number) : -1L,
                      ninth.tooManyBoards, (unsigned long long)ninth.frames,
                      ninth.settingsWritten ? "true" : "false", options.cycles, clashes);
        *jsonFigures = text;
        return ok;
    }
    std::printf("m4350soak --scale: %.1f s, %u boards x %u channels, each board on a USB 2.0 bus "
                "of its own (%.1f MB/s)\n",
                seconds, options.boards, kChannels, limit / 1e6);
    std::printf("  %-5s %-22s %8s %7s %10s %10s %12s %11s\n", "board", "formats", "bus use", "sent",
                "bus drops", "delivered", "driver drops", "unexplained");
    for (uint32_t b = 0; b < options.boards; ++b) {
        const WantedFormat f = ScaleFormat(b, 0);
        const std::string formats = "4 x " + std::to_string(f.width) + "x" +
                                    std::to_string(f.height) + (b % 2 ? " (fits)" : " (too many)");
        std::printf("  %-5u %-22s %7.1f%% %7llu %10llu %10llu %12llu %11lld\n", b, formats.c_str(),
                    100 * rows[b].busShare, (unsigned long long)rows[b].sent,
                    (unsigned long long)rows[b].busDrops, (unsigned long long)rows[b].delivered,
                    (unsigned long long)rows[b].driverDrops, (long long)rows[b].unexplained);
    }
    std::printf("  %-5s %-22s %8s %7llu %10llu %10llu %12llu %11lld\n", "all", "", "",
                (unsigned long long)total.sent, (unsigned long long)total.busDrops,
                (unsigned long long)total.delivered, (unsigned long long)total.driverDrops,
                (long long)total.unexplained);
    std::printf("  driver CPU: %.3f s per second of capture (%.1f%% of one core); the whole "
                "process, board models included: %.3f s\n",
                driverCpu, 100 * driverCpu, processCpu);
    std::printf("  ninth board: %s, board number %s, \"too many boards\" logged %zu times, "
                "%llu frames on its channel 1, settings file %s\n",
                ninth.started ? "started" : "did not start",
                ninth.number ? std::to_string(*ninth.number).c_str() : "none", ninth.tooManyBoards,
                (unsigned long long)ninth.frames,
                ninth.settingsWritten ? "WRITTEN" : "not written");
    std::printf("  unplug, replug and restart cycles: %u, two boards on one board number: %u\n",
                options.cycles, clashes);
    return ok;
}

// ---------------------------------------------------------------------------
// Sleep cycles: every channel of the boards streaming while the machine
// sleeps and wakes, again and again
// ---------------------------------------------------------------------------

struct SleepFigures {
    uint32_t sleeps = 0;
    uint32_t late = 0;        // wakes after which a channel did not come back in time
    double slowestReturn = 0; // seconds from a wake to the last channel's new frame
};

// Runs `cycles` sleeps of 0.1 to 1 s, the wake orders taking turns. After
// each wake every channel must deliver a checked frame of the board's new
// numbering within 3 s.
SleepFigures RunSleepCycles(System& system, std::vector<std::unique_ptr<Stream>>& streams,
                            uint32_t cycles, uint64_t seed, Watchdog& dog) {
    SleepFigures figures;
    std::mt19937_64 rng(seed);
    Watchdog::Slot* slot = dog.NewSlot();
    auto comebacks = [&] {
        std::vector<uint64_t> c;
        for (const auto& s : streams) {
            c.push_back(s->Tally().comebacks);
        }
        return c;
    };
    auto allDeliver = [&](std::chrono::seconds bound) {
        std::vector<uint64_t> before;
        for (const auto& s : streams) {
            before.push_back(s->Tally().delivered);
        }
        const auto end = Clock::now() + bound;
        for (size_t i = 0; i < streams.size(); ++i) {
            while (streams[i]->Tally().delivered <= before[i] + 2 && Clock::now() < end) {
                std::this_thread::sleep_for(5ms);
            }
        }
        return Clock::now() < end;
    };
    if (!allDeliver(30s)) {
        g_report.Error("the streams did not start");
        return figures;
    }
    for (uint32_t cycle = 0; cycle < cycles; ++cycle) {
        const std::vector<uint64_t> before = comebacks();
        const auto order =
            cycle % 2 == 0 ? host::ks::WakeOrder::PowerFirst : host::ks::WakeOrder::RunFirst;
        const auto asleep = std::chrono::milliseconds(100 + rng() % 901);
        {
            Guarded g(slot, "system sleep and wake");
            system.SleepAndWake(asleep, order);
        }
        const auto woke = Clock::now();
        ++figures.sleeps;
        g_report.Operation("system sleep and wake");
        bool back = true;
        for (size_t i = 0; i < streams.size(); ++i) {
            while (streams[i]->Tally().comebacks <= before[i] && Clock::now() < woke + 3s) {
                std::this_thread::sleep_for(2ms);
            }
            if (streams[i]->Tally().comebacks <= before[i]) {
                back = false;
                g_report.Error(
                    streams[i]->Name() + ": no new frame within 3 s of wake " +
                    std::to_string(cycle + 1) +
                    (order == host::ks::WakeOrder::RunFirst ? " (Run first)" : " (power first)"));
            }
        }
        figures.slowestReturn = std::max(
            figures.slowestReturn, std::chrono::duration<double>(Clock::now() - woke).count());
        figures.late += back ? 0 : 1;
        // A few frames of the new run before the next sleep.
        allDeliver(10s);
    }
    return figures;
}

std::string Json(const std::map<std::string, uint64_t>& m) {
    std::string s = "{";
    for (const auto& [k, v] : m) {
        s += (s.size() > 1 ? ", \"" : "\"") + k + "\": " + std::to_string(v);
    }
    return s + "}";
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"m4350soak: boards streaming under seeded churn and faults, checked throughout; "
                 "exit 0 only when every frame was intact, nothing hung and nothing leaked"};
    double seconds = 60;
    uint32_t boards = 2;
    uint64_t seed = 1;
    double churnPerSecond = 20;
    bool json = false;
    std::string systemRoot;
    std::string driverLog;
    app.add_option("--seconds", seconds, "how long to run")->check(CLI::PositiveNumber);
    app.add_option("--boards", boards, "boards, each on a bus of its own")->check(CLI::Range(1, 8));
    app.add_option("--seed", seed, "seed of the churn and the board models' faults");
    app.add_option("--churn", churnPerSecond, "churn operations per second")
        ->check(CLI::PositiveNumber);
    app.add_option("--system-root", systemRoot, "system root to use (default: a fresh one)");
    app.add_option("--driver-log", driverLog, "where the driver's debug log goes (or stderr)");
    std::string driverImage;
    m4350::tools::AddDriverImageOption(app, &driverImage);
    app.add_flag("--json", json, "print the report as JSON");
    bool scale = false;
    uint32_t cycles = 16;
    app.add_flag("--scale", scale,
                 "instead of the churn: every channel of 8 boards streaming for 30 s, each "
                 "board on a USB 2.0 bus of its own, every frame accounted for; a ninth "
                 "board, then unplug and restart cycles checking the board numbers");
    app.add_option("--cycles", cycles, "unplug, replug and restart cycles of --scale")
        ->check(CLI::Range(0, 10000));
    uint32_t sleepCycles = 0;
    app.add_option("--sleep-cycles", sleepCycles,
                   "instead of the churn: every channel of the boards streaming through N "
                   "system sleeps of 0.1 to 1 s, the two wake orders taking turns; every "
                   "channel must deliver correct frames again within 3 s of each wake")
        ->check(CLI::Range(1, 100000));
    CLI11_PARSE(app, argc, argv);
    g_driverImage = m4350::tools::ChosenDriverImage(driverImage);
    if (scale && !app.count("--seconds")) {
        seconds = 30;
    }
    if (scale && !app.count("--boards")) {
        boards = kMaxBoards;
    }

    if (!systemRoot.empty()) {
        host::SetSystemRoot(systemRoot);
    }
    host::SetDebugEcho(driverLog);
    std::string error;
    const auto firmware = host::SystemRoot() / "system32" / "drivers" / "f4350usb.bin";
    if (!m4350::sim::WriteFirmwareFile(firmware.string(), &error)) {
        std::cerr << "m4350soak: cannot write the firmware image: " << error << "\n";
        return 1;
    }
    host::RegistryDeleteValue(host::ServiceKeyPath(kParameters), L"FixedStandard");

    const auto started = Clock::now();
    uint64_t boardFrames = 0, boardStarts = 0; // as the board models saw them
    bool scaleOk = true;
    std::string scaleJson;
    SleepFigures sleepFigures;
    if (scale) {
        ScaleOptions options;
        options.boards = boards;
        options.seconds = seconds;
        options.cycles = cycles;
        options.seed = seed;
        options.json = json;
        scaleOk = RunScale(options, &scaleJson);
    } else {
        Watchdog dog(60s);
        System system;
        if (!system.Load(boards, &error)) {
            std::cerr << "m4350soak: " << error << "\n";
            system.TearDown();
            return 1;
        }
        std::vector<std::unique_ptr<Stream>> streams;
        for (auto& b : system.Boards()) {
            for (uint32_t c = 0; c < kChannels; ++c) {
                streams.push_back(
                    std::make_unique<Stream>(system, *b, c, seed * 131 + streams.size(), dog));
            }
        }
        for (auto& s : streams) {
            s->Start();
        }
        if (sleepCycles) {
            sleepFigures = RunSleepCycles(system, streams, sleepCycles, seed, dog);
        } else {
            Churn churn(system, streams, seed, dog);
            const auto end = started + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(seconds));
            const auto step = std::chrono::duration<double>(1.0 / churnPerSecond);
            auto next = Clock::now();
            while (Clock::now() < end) {
                next += std::chrono::duration_cast<Clock::duration>(step);
                std::this_thread::sleep_until(std::min(next, end));
                churn.Step();
            }
        }
        for (auto& s : streams) {
            s->Stop();
        }
        for (auto& b : system.Boards()) {
            const m4350::sim::BoardCounters c = b->model->Counters();
            for (uint64_t n : c.frames) {
                boardFrames += n;
            }
            boardStarts += c.start;
        }
        system.TearDown();
    }
    host::RegistryDeleteValue(host::ServiceKeyPath(kParameters), L"FixedStandard");

    // Nothing of the run may be left.
    std::map<std::string, uint64_t> leaks;
    auto settle = Clock::now() + 10s;
    while (Clock::now() < settle && (host::LiveSystemThreadCount() || host::LiveWorkItemCount() ||
                                     host::LiveIrpCount() || host::PoolLiveCount())) {
        std::this_thread::sleep_for(5ms);
    }
    leaks["pool"] = host::PoolLiveCount();
    leaks["irps"] = host::LiveIrpCount();
    leaks["work items"] = host::LiveWorkItemCount();
    leaks["threads"] = host::LiveSystemThreadCount();
    leaks["handles"] = host::OpenHandleCount();
    const auto objects = host::ks::LiveObjectCounts();
    leaks["streaming objects"] =
        uint64_t(objects.devices + objects.filters + objects.pins + objects.clocks);
    uint64_t leaked = 0;
    for (const auto& [k, v] : leaks) {
        leaked += v;
    }
    if (host::PoolLiveCount()) {
        std::cerr << host::PoolLeakReport();
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
    uint64_t operations = 0, faults = 0;
    for (const auto& [k, v] : g_report.operations) {
        operations += v;
    }
    for (const auto& [k, v] : g_report.faults) {
        faults += v;
    }
    const bool ok = g_report.errors.empty() && leaked == 0 && g_report.hangs == 0 &&
                    g_report.frames > 0 && scaleOk && sleepFigures.sleeps == sleepCycles &&
                    sleepFigures.late == 0;
    if (scale) {
        if (json) {
            std::printf("{\"scale\": %s, \"errors\": %zu, \"hangs\": %llu, \"leaks\": %s, "
                        "\"ok\": %s}\n",
                        scaleJson.c_str(), g_report.errors.size(),
                        (unsigned long long)g_report.hangs.load(), Json(leaks).c_str(),
                        ok ? "true" : "false");
        } else {
            std::printf("  errors: %zu, hangs: %llu, leaks: %llu\n%s\n", g_report.errors.size(),
                        (unsigned long long)g_report.hangs.load(), (unsigned long long)leaked,
                        ok ? "1 passed, 0 failed" : "0 passed, 1 failed");
        }
    } else if (json) {
        std::printf(
            "{\"seconds\": %.1f, \"boards\": %u, \"seed\": %llu, \"frames\": %llu, \"board "
            "frames\": %llu, "
            "\"dropped\": %llu, \"unchecked\": %llu, \"operations\": %s, \"faults\": %s, "
            "\"sleeps\": %u, \"errors\": %zu, \"hangs\": %llu, \"leaks\": %s, \"ok\": %s}\n",
            elapsed, boards, (unsigned long long)seed, (unsigned long long)g_report.frames.load(),
            (unsigned long long)boardFrames, (unsigned long long)g_report.framesDropped.load(),
            (unsigned long long)g_report.framesUnchecked.load(), Json(g_report.operations).c_str(),
            Json(g_report.faults).c_str(), sleepFigures.sleeps, g_report.errors.size(),
            (unsigned long long)g_report.hangs.load(), Json(leaks).c_str(), ok ? "true" : "false");
    } else {
        std::printf("m4350soak: %.1f s, %u boards x %u channels, seed %llu\n", elapsed, boards,
                    kChannels, (unsigned long long)seed);
        std::printf("  frames delivered and checked: %llu (dropped by DropCount: %llu, "
                    "empty buffers: %llu)\n",
                    (unsigned long long)g_report.frames.load(),
                    (unsigned long long)g_report.framesDropped.load(),
                    (unsigned long long)g_report.framesUnchecked.load());
        std::printf("  frames the boards sent: %llu, after %llu starts\n",
                    (unsigned long long)boardFrames, (unsigned long long)boardStarts);
        if (sleepCycles) {
            std::printf("  sleeps: %u, wakes with a channel late: %u, slowest return: %.2f s\n",
                        sleepFigures.sleeps, sleepFigures.late, sleepFigures.slowestReturn);
        }
        std::printf("  operations: %llu\n", (unsigned long long)operations);
        for (const auto& [k, v] : g_report.operations) {
            std::printf("    %-26s %llu\n", k.c_str(), (unsigned long long)v);
        }
        std::printf("  faults injected: %llu\n", (unsigned long long)faults);
        for (const auto& [k, v] : g_report.faults) {
            std::printf("    %-26s %llu\n", k.c_str(), (unsigned long long)v);
        }
        std::printf("  errors: %zu, hangs: %llu, leaks: %llu\n", g_report.errors.size(),
                    (unsigned long long)g_report.hangs.load(), (unsigned long long)leaked);
        std::printf("%s\n", ok ? "1 passed, 0 failed" : "0 passed, 1 failed");
    }
    return ok ? 0 : 1;
}

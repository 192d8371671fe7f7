// m4350bringup: brings m4350av up over a simulated board and shows the board
// link at work. The driver is loaded by the host's plug-and-play manager, the
// board boots from the firmware image the driver downloads, each channel gets
// a mode, and the frames the stream parser assembles are taken from the
// channels' frame stores and checked against the picture the board drew into
// them (its channel and frame number). The driver's own log is echoed as it
// prints.
//
// Then each channel streams through its capture pin as an application does:
// a filter opened, a catalogue format intersected, the pin created and run,
// buffers queued, and every delivered picture checked again (its stamp read
// from the converted luma, its picture number, drop count and time stamp).
//
// This is the quickest way to see the whole road of a frame, from the board
// model to the driver's frame buffers and on into an application's buffer.
#include "board/acquisition.h"
#include "board/board.h"
#include "capture/format_catalogue.h"
#include "capture/frame_store.h"
#include "device/capture_device.h"
#include "driver_choice.h"

#include <host/kernel.h>
#include <host/ks_client.h>
#include <host/ks_pnp.h>
#include <host/services.h>
#include <host/usb_bus.h>
#include <sim/board.h>
#include <sim/firmware_image.h>
#include <sim/mode.h>
#include <sim/test_pattern.h>

#include <CLI/CLI.hpp>

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

struct ChannelMode {
    const char* name;
    ULONG format, scale, color;
};

// One mode per channel, as different as the raw layouts allow: standards,
// sizes and the two raw layouts whose picture carries a readable stamp.
constexpr std::array<ChannelMode, 4> MixedModes = {{
    {"NTSC 640x480 packed 4:2:2", 1, 1, 2},
    {"PAL 352x288 packed 4:2:2", 2, 3, 2},
    {"NTSC 320x240 luma", 1, 3, 4},
    {"PAL 704x288 packed 4:2:2", 2, 2, 2},
}};

struct ChannelReport {
    uint64_t frames = 0;
    uint64_t outOfOrder = 0; // driver frame numbers not increasing by one
    uint64_t badStamps = 0;  // picture of another channel, or unreadable
    uint64_t boardGaps = 0;  // board frame numbers skipped (the board's own drops)
    ULONG lastDriverNumber = 0;
    uint32_t lastBoardNumber = 0;
};

class Session {
public:
    ~Session() { TearDown(); }

    bool BringUp(const std::string& driverImage, std::FILE* out) {
        std::string error;
        auto image = host::SystemRoot() / "system32" / "drivers" / "f4350usb.bin";
        if (!m4350::sim::WriteFirmwareFile(image.string(), &error)) {
            std::fprintf(out, "cannot write the firmware image %s: %s\n", image.c_str(),
                         error.c_str());
            return false;
        }
        NTSTATUS status = m4350::tools::LoadM4350(driverImage, &driver_, &error);
        if (!NT_SUCCESS(status)) {
            std::fprintf(out, "%s\n", error.c_str());
            return false;
        }
        model_ = std::make_shared<m4350::sim::Board>();
        bus_ = std::make_unique<host::usb::Bus>(model_);
        status = host::ks::AddDevice(driver_, bus_->Pdo(), &node_);
        if (!NT_SUCCESS(status)) {
            node_ = nullptr;
            std::fprintf(out, "Add failed: 0x%08x\n", static_cast<unsigned>(status));
            return false;
        }
        status = host::ks::StartDevice(node_);
        if (!NT_SUCCESS(status)) {
            std::fprintf(out, "Start failed: 0x%08x\n", static_cast<unsigned>(status));
            return false;
        }
        if (!driverImage.empty()) {
            // An image's records are its own: whether it runs is the board's to say.
            return model_->State() == m4350::sim::BoardState::Running;
        }
        device_ = GetCaptureDevice(host::ks::KsDeviceOf(node_));
        return device_ && device_->board;
    }

    CaptureDevice* Device() const { return device_; }
    m4350::sim::Board& Model() const { return *model_; }

    void TearDown() {
        if (node_) {
            host::ks::RemoveDevice(node_);
            node_ = nullptr;
        }
        if (driver_) {
            m4350::tools::UnloadM4350(driver_);
            driver_ = nullptr;
        }
        bus_.reset();
    }

private:
    host::ks::Driver* driver_ = nullptr;
    host::ks::DeviceNode* node_ = nullptr;
    std::shared_ptr<m4350::sim::Board> model_;
    std::unique_ptr<host::usb::Bus> bus_;
    CaptureDevice* device_ = nullptr;
};

void CheckFrame(ChannelReport& report, ULONG channel, const m4350::sim::FrameGeometry& geometry,
                const UCHAR* data, ULONG driverNumber) {
    auto stamp = m4350::sim::ReadStamp(data, geometry.width, geometry.height);
    if (!stamp.valid || stamp.channel != 3 - channel) {
        ++report.badStamps;
    }
    if (report.frames > 0) {
        if (driverNumber != report.lastDriverNumber + 1) {
            ++report.outOfOrder;
        }
        if (stamp.valid && stamp.frameNumber > report.lastBoardNumber) {
            report.boardGaps += stamp.frameNumber - report.lastBoardNumber - 1;
        }
    }
    report.lastDriverNumber = driverNumber;
    if (stamp.valid) {
        report.lastBoardNumber = stamp.frameNumber;
    }
    ++report.frames;
}

// Formats whose delivered picture still carries a readable stamp: luma at
// every byte (Y800) or every second byte (packed 4:2:2), upright.
struct PinFormat {
    const char* name;
    bool pal;
    ULONG row;      // in the channel's format list
    int lumaStep;   // bytes per pixel of the delivered picture
    int lumaOffset; // where a pixel's luma lies within them
};
constexpr std::array<PinFormat, 4> PinFormats = {{
    {"NTSC 640x480 UYVY", false, 0, 2, 1},
    {"PAL 352x288 YUY2", true, 18, 2, 0},
    {"NTSC 320x240 Y800", false, 20, 1, 0},
    {"PAL 704x288 UYVY", true, 7, 2, 1},
}};

struct PinReport {
    uint64_t frames = 0;
    uint64_t outOfOrder = 0; // picture numbers not increasing by one
    uint64_t badStamps = 0;  // picture of another channel, or unreadable
    uint64_t badTimes = 0;   // time stamp other than (number - 1) x frame interval
    uint64_t dropped = 0;    // the drop counts reported
    LONGLONG lastNumber = 0;
};

struct PinChannel {
    HANDLE filter = nullptr;
    HANDLE pin = nullptr;
    KS_DATAFORMAT_VIDEOINFOHEADER format{};
    std::vector<std::unique_ptr<host::ks::StreamBuffer>> buffers;
    std::vector<uint8_t> luma;
    PinReport report;

    ~PinChannel() {
        if (pin) {
            host::ks::SetPinState(pin, KSSTATE_STOP);
            host::ks::CloseHandle(pin);
        }
        if (filter) {
            host::ks::CloseHandle(filter);
        }
    }
};

// The n-th channel's filter link of the one board.
std::wstring ChannelLink(ULONG channel) {
    std::wstring reference = L"m4350av_chan" + std::to_wstring(channel + 1);
    for (const std::wstring& link : host::ks::EnumerateFilters(KSCATEGORY_CAPTURE)) {
        if (link.size() >= reference.size() &&
            link.compare(link.size() - reference.size(), reference.size(), reference) == 0) {
            return link;
        }
    }
    return {};
}

bool OpenPin(PinChannel& c, ULONG channel, std::FILE* out) {
    const PinFormat& f = PinFormats[channel];
    NTSTATUS status = host::ks::OpenFilter(ChannelLink(channel).c_str(), &c.filter);
    if (!NT_SUCCESS(status)) {
        std::fprintf(out, "channel %u: cannot open its filter: 0x%08x\n", channel,
                     static_cast<unsigned>(status));
        return false;
    }
    // The channel's standard, as an application sets it: the decoder property.
    struct {
        KSPROPERTY property;
        ULONG value;
        ULONG flags;
    } standard{};
    standard.property.Set = PROPSETID_VIDCAP_VIDEODECODER;
    standard.property.Id = KSPROPERTY_VIDEODECODER_STANDARD;
    standard.property.Flags = KSPROPERTY_TYPE_SET;
    standard.value = f.pal ? KS_AnalogVideo_PAL_B : KS_AnalogVideo_NTSC_M;
    ULONG returned = 0;
    host::ks::DeviceIoControl(c.filter, IOCTL_KS_PROPERTY, &standard, sizeof(standard), &standard,
                              sizeof(standard), &returned);
    const DataRangeList& list = f.pal ? PalRangeList : NtscRangeList;
    ULONG size = 0;
    status = host::ks::IntersectDataRange(c.filter, 0, list.Ranges[f.row], &c.format,
                                          sizeof(c.format), &size);
    if (NT_SUCCESS(status)) {
        status = host::ks::CreatePin(c.filter, 0, &c.format.DataFormat, &c.pin);
    }
    if (!NT_SUCCESS(status)) {
        std::fprintf(out, "channel %u: %s refused: 0x%08x\n", channel, f.name,
                     static_cast<unsigned>(status));
        return false;
    }
    KSALLOCATOR_FRAMING_EX framing{};
    returned = 0;
    host::ks::GetProperty(c.pin, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX,
                          &framing, sizeof(framing), &returned);
    const KS_FRAMING_ITEM& item = framing.FramingItem[0];
    for (ULONG i = 0; i < item.Frames; ++i) {
        c.buffers.push_back(std::make_unique<host::ks::StreamBuffer>(
            ULONG(sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO)),
            item.FramingRange.Range.MaxFrameSize));
    }
    status = host::ks::SetPinState(c.pin, KSSTATE_PAUSE);
    for (auto& buffer : c.buffers) {
        if (NT_SUCCESS(status)) {
            status = host::ks::QueueBuffer(c.pin, buffer->Header());
        }
    }
    if (NT_SUCCESS(status)) {
        status = host::ks::SetPinState(c.pin, KSSTATE_RUN);
    }
    if (!NT_SUCCESS(status)) {
        std::fprintf(out, "channel %u: the stream did not start: 0x%08x\n", channel,
                     static_cast<unsigned>(status));
        return false;
    }
    return true;
}

void CheckPinFrame(PinChannel& c, ULONG channel, const host::ks::CompletedFrame& frame) {
    const PinFormat& f = PinFormats[channel];
    const KSSTREAM_HEADER* header = frame.Header();
    const auto* info = static_cast<const KS_FRAME_INFO*>(frame.Extension());
    const KS_BITMAPINFOHEADER& bitmap = c.format.VideoInfoHeader.bmiHeader;
    const uint32_t width = uint32_t(bitmap.biWidth), height = uint32_t(bitmap.biHeight);
    PinReport& r = c.report;
    c.luma.resize(size_t(width) * height);
    const auto* data = static_cast<const uint8_t*>(header->Data);
    if (header->DataUsed >= c.luma.size() * f.lumaStep) {
        for (size_t i = 0; i < c.luma.size(); ++i) {
            c.luma[i] = data[i * f.lumaStep + f.lumaOffset];
        }
    }
    auto stamp = m4350::sim::ReadStamp(c.luma.data(), width, height);
    if (!stamp.valid || stamp.channel != 3 - channel) {
        ++r.badStamps;
    }
    const LONGLONG number = info ? info->PictureNumber : 0;
    if (info && number != r.lastNumber + 1 + info->DropCount) {
        ++r.outOfOrder;
    }
    if (header->PresentationTime.Time != (number - 1) * c.format.VideoInfoHeader.AvgTimePerFrame) {
        ++r.badTimes;
    }
    r.dropped += info ? uint64_t(info->DropCount) : 0;
    r.lastNumber = number;
    ++r.frames;
}

bool RunPins(uint64_t frames, double seconds, std::FILE* out) {
    std::array<PinChannel, 4> channels;
    for (ULONG n = 0; n < 4; ++n) {
        if (!OpenPin(channels[n], n, out)) {
            return false;
        }
    }
    auto begin = std::chrono::steady_clock::now();
    auto deadline = begin + std::chrono::duration<double>(seconds);
    bool complete = false;
    while (!complete && std::chrono::steady_clock::now() < deadline) {
        complete = true;
        bool tookAny = false;
        for (ULONG n = 0; n < 4; ++n) {
            PinChannel& c = channels[n];
            host::ks::CompletedFrame frame;
            while (c.report.frames < frames &&
                   host::ks::WaitForFrame(c.pin, std::chrono::milliseconds(0), &frame) ==
                       STATUS_SUCCESS) {
                if (frame.Status == STATUS_SUCCESS) {
                    CheckPinFrame(c, n, frame);
                }
                // The class's copy of the header names our buffer; queue it again.
                for (auto& buffer : c.buffers) {
                    if (buffer->Data() == frame.Header()->Data) {
                        host::ks::QueueBuffer(c.pin, buffer->Header());
                    }
                }
                tookAny = true;
            }
            complete = complete && c.report.frames >= frames;
        }
        if (!tookAny) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    std::printf("\n%-8s %-20s %8s %8s %11s %10s %9s %8s\n", "channel", "pin format", "frames",
                "fps", "out-of-order", "bad stamp", "bad time", "dropped");
    bool ok = complete;
    for (ULONG n = 0; n < 4; ++n) {
        const PinReport& r = channels[n].report;
        std::printf("%-8u %-20s %8llu %8.2f %11llu %10llu %9llu %8llu\n", n, PinFormats[n].name,
                    static_cast<unsigned long long>(r.frames), r.frames / elapsed,
                    static_cast<unsigned long long>(r.outOfOrder),
                    static_cast<unsigned long long>(r.badStamps),
                    static_cast<unsigned long long>(r.badTimes),
                    static_cast<unsigned long long>(r.dropped));
        ok = ok && r.outOfOrder == 0 && r.badStamps == 0 && r.badTimes == 0;
    }
    std::printf("\n%s after %.2f s\n", ok ? "capture pins OK" : "capture pins FAILED", elapsed);
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Brings m4350av up over a simulated capture board, acquires on all four "
                 "channels and checks the frames the driver assembles, first in its frame "
                 "stores, then as an application receives them through the capture pins."};
    uint64_t frames = 60;
    double seconds = 30;
    bool quiet = false;
    std::string root;
    app.add_option("-n,--frames", frames, "frames to take on each channel")
        ->default_val(60)
        ->check(CLI::Range(uint64_t{1}, uint64_t{1000000}));
    app.add_option("-t,--timeout", seconds, "give up after this many seconds")
        ->default_val(30)
        ->check(CLI::PositiveNumber);
    app.add_flag("-q,--quiet", quiet, "do not echo the driver's log");
    app.add_option("--system-root", root,
                   "folder that stands for \\SystemRoot (default: a temporary one)");
    std::string driverImage;
    m4350::tools::AddDriverImageOption(app, &driverImage);
    CLI11_PARSE(app, argc, argv);
    driverImage = m4350::tools::ChosenDriverImage(driverImage);
    // Our lines and the driver's (on stderr) interleave in the order printed.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    if (!root.empty()) {
        host::SetSystemRoot(root);
    }
    host::SetTimeScale(1.0);
    host::SetDebugEcho(quiet ? "" : "stderr");

    Session session;
    if (!session.BringUp(driverImage, stdout)) {
        return 1;
    }
    if (!driverImage.empty()) {
        // The frame-store half calls the driver's own functions on its
        // records, which only the driver built here has.
        std::printf("board up under the driver image %s: the frame-store half reads the "
                    "driver's records and is skipped; the capture pins only\n",
                    driverImage.c_str());
        const bool pinsOk = RunPins(frames, seconds, stdout);
        session.TearDown();
        return pinsOk ? 0 : 1;
    }
    CaptureDevice* device = session.Device();
    Board* board = device->board;
    std::printf("board up: firmware %s, board number %u\n",
                device->firmwareLoaded ? "loaded" : "NOT loaded", board->boardNumber);
    if (!device->firmwareLoaded) {
        return 1;
    }

    std::array<m4350::sim::FrameGeometry, 4> geometry;
    for (ULONG n = 0; n < 4; ++n) {
        ModeSettings mode;
        getMode(board, n, &mode);
        mode.format = MixedModes[n].format;
        mode.scale = MixedModes[n].scale;
        mode.color = MixedModes[n].color;
        mode.restart = 1;
        if (setMode(board, n, &mode) != 0) {
            std::printf("channel %u: set-mode was not acknowledged\n", n);
            return 1;
        }
        geometry[n] = m4350::sim::GeometryOf(session.Model().Mode(3 - n));
        startAcquisition(board, n);
    }

    std::array<ChannelReport, 4> reports;
    auto begin = std::chrono::steady_clock::now();
    auto deadline = begin + std::chrono::duration<double>(seconds);
    bool complete = false;
    while (!complete && std::chrono::steady_clock::now() < deadline) {
        complete = true;
        bool tookAny = false;
        for (ULONG n = 0; n < 4; ++n) {
            LONG index;
            ULONG compressed = 0, number = 0;
            while ((index = takeFrame(board, n, &compressed, &number)) >= 0) {
                CheckFrame(reports[n], n, geometry[n], frameData(board, n, index), number);
                releaseFrame(board, n, index);
                tookAny = true;
            }
            complete = complete && reports[n].frames >= frames;
        }
        if (!tookAny) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    for (ULONG n = 0; n < 4; ++n) {
        stopAcquisition(board, n);
    }

    auto counters = session.Model().Counters();
    std::printf("\n%-8s %-28s %8s %8s %11s %10s %10s %11s\n", "channel", "mode", "frames", "fps",
                "out-of-order", "bad stamp", "bad payload", "board drops");
    bool ok = complete;
    for (ULONG n = 0; n < 4; ++n) {
        const ChannelReport& r = reports[n];
        ULONG b = 3 - n;
        std::printf("%-8u %-28s %8llu %8.2f %11llu %10llu %10u %11llu\n", n, MixedModes[n].name,
                    static_cast<unsigned long long>(r.frames), r.frames / elapsed,
                    static_cast<unsigned long long>(r.outOfOrder),
                    static_cast<unsigned long long>(r.badStamps), board->badPayloadCount[b],
                    static_cast<unsigned long long>(counters.framesDropped[b]));
        // A skipped board frame number is fine when the board itself dropped
        // that frame; any other gap is a frame the driver lost.
        ok =
            ok && r.outOfOrder == 0 && r.badStamps == 0 && r.boardGaps <= counters.framesDropped[b];
    }
    std::printf("\n%s after %.2f s\n", ok ? "board link OK" : "board link FAILED", elapsed);
    // The same four channels, now through their capture pins; the modes set
    // above chose each channel's standard, so its filter offers that list.
    if (ok) {
        ok = RunPins(frames, seconds, stdout);
    }
    session.TearDown();
    return ok ? 0 : 1;
}

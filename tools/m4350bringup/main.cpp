// m4350bringup: brings m4350av up over a simulated board and shows the board
// link at work. The driver is loaded by the host's plug-and-play manager, the
// board boots from the firmware image the driver downloads, each channel gets
// a mode, and the frames the stream parser assembles are taken from the
// channels' frame stores and checked against the picture the board drew into
// them (its channel and frame number). The driver's own log is echoed as it
// prints.
//
// Until the capture tools exist this is the quickest way to see the whole
// road of a frame, from the board model to the driver's frame buffers.
#include "board/acquisition.h"
#include "board/board.h"
#include "capture/frame_store.h"
#include "device/capture_device.h"

#include <host/kernel.h>
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

    bool BringUp(std::FILE* out) {
        std::string error;
        auto image = host::SystemRoot() / "system32" / "drivers" / "f4350usb.bin";
        if (!m4350::sim::WriteFirmwareFile(image.string(), &error)) {
            std::fprintf(out, "cannot write the firmware image %s: %s\n", image.c_str(),
                         error.c_str());
            return false;
        }
        NTSTATUS status = host::ks::LoadDriver(
            DriverEntry, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\m4350av",
            &driver_);
        if (!NT_SUCCESS(status)) {
            std::fprintf(out, "DriverEntry failed: 0x%08x\n", static_cast<unsigned>(status));
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
            host::ks::UnloadDriver(driver_);
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

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Brings m4350av up over a simulated capture board, acquires on all four "
                 "channels and checks the frames the driver assembles."};
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
    CLI11_PARSE(app, argc, argv);
    // Our lines and the driver's (on stderr) interleave in the order printed.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    if (!root.empty()) {
        host::SetSystemRoot(root);
    }
    host::SetTimeScale(1.0);
    host::SetDebugEcho(quiet ? "" : "stderr");

    Session session;
    if (!session.BringUp(stdout)) {
        return 1;
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
    session.TearDown();
    return ok ? 0 : 1;
}

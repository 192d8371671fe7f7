// One channel's capture as an application does it: open the channel's
// filter, pick a format by data intersection, create the pin, queue buffers,
// run, collect, stop. Frames are handed off the capture thread to a writer
// thread through a bounded queue, so a slow disk costs frames the tool
// counts as its own drops and never holds up the driver.
#pragma once

#include "formats.h"
#include "picture.h"

#include <board_rig.h>
#include <host/ks_client.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace m4350::cap {

// Picture settings through the proc-amp property set; unset ones are left
// as the channel has them.
struct PictureOptions {
    std::optional<int32_t> brightness, contrast, hue, saturation, color;
};

struct ChannelSetup {
    uint32_t board = 0;
    uint32_t channel = 0; // 0 to 3 (the first input is channel 0, shown as 1)
    FormatRequest request;
    std::optional<bool> pal; // --standard
    PictureOptions picture;
};

// Where the frames go.
struct OutputPlan {
    std::string folder;          // per-channel files; empty: none
    std::FILE* stream = nullptr; // Y4M of this channel to it (-o -)
    bool keepLatest = false;     // for the mosaic and snapshots
};

struct ChannelFigures {
    uint64_t frames = 0;      // delivered by the pin
    uint64_t bytes = 0;       // DataUsed of those
    uint64_t written = 0;     // by the writer
    uint64_t writerDrops = 0; // the writer queue was full
    uint64_t writeErrors = 0;
    uint64_t driverDropCount = 0;  // DropCount of the last frame
    uint64_t pictureNumber = 0;    // PictureNumber of the last frame
    uint64_t stampGaps = 0;        // frame numbers missing between stamped pictures
    uint64_t badStamps = 0;        // pictures whose stamp could not be read
    uint64_t boardDrops = 0;       // the board model's own count, since the start
    uint64_t boardCaptured = 0;    // frames the board captured since the pin ran
    uint64_t lastStamp = 0;        // frame number of the last picture written
    std::vector<double> latencyUs; // board's last block to the tool holding the buffer
};

// The formats one channel of one board offers (for --list).
bool QueryChannelFormats(uint32_t board, uint32_t channel, std::vector<OfferedFormat>* offered,
                         std::string* error);

class ChannelCapture {
public:
    ChannelCapture(tools::BoardRig& rig, ChannelSetup setup);
    ~ChannelCapture();
    ChannelCapture(const ChannelCapture&) = delete;
    ChannelCapture& operator=(const ChannelCapture&) = delete;

    // Opens the filter, applies the standard and the picture options, picks
    // the format and creates the pin. False with `error` set.
    bool Open(std::string* error);
    // Output files are opened here; then buffers are queued and the pin runs.
    bool Start(const OutputPlan& plan, std::string* error);
    // Takes the driver's and the board's counts now (all channels at one
    // moment, before any stops); Stop does it when it has not been done.
    void Freeze();
    // Stops the pin, drains the writer and closes everything. The driver's
    // counts are read before the pin stops.
    void Stop();

    const ChosenFormat& Chosen() const { return chosen_; }
    const FrameFormat& Format() const { return format_; }
    const ChannelSetup& Setup() const { return setup_; }
    std::string Name() const; // "ch1", or "b2-ch1" beyond the first board
    std::string FormatText() const { return Describe(chosen_.offered, chosen_.decimation); }
    // Bytes per second the board sends for this mode (whole stream blocks).
    double BusBytesPerSecond() const;
    ChannelFigures Figures() const;
    // The latest written picture; false when there is none yet.
    bool Latest(Picture* out) const;
    // Thread CPU time of the capture and writer threads so far.
    double ToolCpuSeconds() const;
    // Files written (for the summary).
    std::vector<std::string> Outputs() const;

private:
    struct Frame {
        std::vector<uint8_t> data;
        std::chrono::steady_clock::time_point held;
    };
    void CaptureLoop();
    void WriterLoop();
    void WriteFrame(Frame& frame);
    bool OpenOutputs(const OutputPlan& plan, std::string* error);

    tools::BoardRig& rig_;
    ChannelSetup setup_;
    HANDLE filter_ = nullptr;
    HANDLE pin_ = nullptr;
    ChosenFormat chosen_{};
    FrameFormat format_{};
    std::vector<std::unique_ptr<host::ks::StreamBuffer>> buffers_;
    uint64_t boardDropsAtStart_ = 0;

    // Outputs, used by the writer thread only.
    OutputPlan plan_;
    std::FILE* file_ = nullptr; // Y4M or MJPEG
    std::string pngFolder_;
    Y4mWriter y4m_;
    std::vector<std::string> outputs_;
    int orientation_ = 0;
    uint32_t lastStamp_ = 0;

    mutable std::mutex m_;
    std::condition_variable cv_;
    std::deque<Frame> queue_;
    std::vector<std::vector<uint8_t>> spare_;
    bool stopping_ = false;
    ChannelFigures figures_;
    Picture latest_;
    bool haveLatest_ = false;
    double captureCpu_ = 0, writerCpu_ = 0;

    std::atomic<bool> running_{false};
    std::atomic<bool> frozen_{false};
    std::thread capture_, writer_;
};

} // namespace m4350::cap

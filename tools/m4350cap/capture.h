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
// as the channel has them. They hold for the run: Restore puts back what
// the channel had.
struct PictureOptions {
    std::optional<int32_t> brightness, contrast, hue, saturation, color;
};

struct ChannelSetup {
    uint32_t board = 0;
    uint32_t channel = 0; // 0 to 3 (the first input is channel 0, shown as 1)
    FormatRequest request;
    std::optional<bool> pal; // --standard
    PictureOptions picture;
    uint64_t frameLimit = 0; // --frames: the channel takes exactly this many; 0 no limit
};

// Where the frames go.
struct OutputPlan {
    std::string folder;          // per-channel files; empty: none
    std::FILE* stream = nullptr; // Y4M of this channel to it (-o -)
    bool keepLatest = false;     // for the mosaic and snapshots
    // Y4M and MJPEG keep time: each frame number missing before a picture
    // is filled with the previous picture (counted as repeated).
    bool fill = true;
};

struct ChannelFigures {
    uint64_t frames = 0;      // taken from the pin (never beyond frameLimit)
    uint64_t delivered = 0;   // delivered by the pin: those and any after the limit
    uint64_t bytes = 0;       // DataUsed of those
    uint64_t written = 0;     // by the writer, whole
    uint64_t writerDrops = 0; // the writer queue was full
    uint64_t writeFailed = 0; // frames that could not be written (the first failure stops the
                              // channel; frames still queued then count here too)
    uint64_t repeated = 0;    // pictures written again for missing frame numbers
    std::string writeError;   // the first failure: file and reason
    bool readerGone = false;  // standard output's reader closed the pipe
    // Arrival of the first and the last frame the pin delivered.
    std::optional<std::chrono::steady_clock::time_point> firstFrame, lastFrame;
    uint64_t driverDropCount = 0;  // DropCount of the last frame
    uint64_t pictureNumber = 0;    // PictureNumber of the last frame
    uint64_t stampGaps = 0;        // frame numbers missing between stamped pictures
    uint64_t badStamps = 0;        // pictures whose stamp could not be read
    uint64_t boardDrops = 0;       // the board model's own count, since the start
    uint64_t boardCaptured = 0;    // frames the board captured since the pin ran
    uint64_t lastStamp = 0;        // frame number of the last picture written
    std::vector<double> latencyUs; // board's last block to the tool holding the buffer
};

// The formats one channel of one board offers now (for --list).
bool QueryChannelFormats(uint32_t board, uint32_t channel, std::vector<OfferedFormat>* offered,
                         std::string* error);

// The driver's catalogue of one standard: what a channel offers once it is
// set to that standard. Read without touching any board.
std::vector<OfferedFormat> CatalogueFormats(bool pal);

class ChannelCapture {
public:
    ChannelCapture(tools::BoardRig& rig, ChannelSetup setup);
    ~ChannelCapture();
    ChannelCapture(const ChannelCapture&) = delete;
    ChannelCapture& operator=(const ChannelCapture&) = delete;

    // Opens the filter, applies the standard and the picture options
    // (noting what the channel had), picks the format and creates the pin.
    // False with `error` set.
    bool Open(std::string* error);
    // Output files are opened here; then buffers are queued and the pin runs.
    bool Start(const OutputPlan& plan, std::string* error);
    // True once the channel takes no more frames: its frame limit is
    // reached, its writer failed, or the reader of standard output left.
    bool Done() const;
    // Takes the driver's and the board's counts now (all channels at one
    // moment, before any stops); Stop does it when it has not been done.
    void Freeze();
    // Stops the pin, drains the writer and closes the pin and the files.
    // The driver's counts are read before the pin stops. The filter stays
    // open for Restore.
    void Stop();
    // Puts back the standard and picture settings Open changed, each only
    // where the channel still holds this run's value (someone else may have
    // changed it since). Needs the pin closed: the standard cannot change
    // under a pin. Lines for a person about what was not restored go to
    // `notes`. Then closes the filter.
    void Restore(std::vector<std::string>* notes);

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
    // A setting Open changed: what the channel had and what this run set.
    struct Changed {
        const GUID* set;
        ULONG id;
        const char* name;
        int32_t before, now;
    };
    void CaptureLoop();
    void WriterLoop();
    void WriteFrame(Frame& frame);
    // Writes one picture (or JPEG) to the channel's output; false with
    // errno set when it did not get there whole.
    bool WriteOutput(const Picture* picture, const uint8_t* data, size_t size, uint64_t index,
                     std::string* error);
    void Fail(const std::string& error);
    bool OpenOutputs(const OutputPlan& plan, std::string* error);
    bool ChangeSetting(const GUID& set, ULONG id, const char* name, int32_t value,
                       std::string* error);

    tools::BoardRig& rig_;
    ChannelSetup setup_;
    HANDLE filter_ = nullptr;
    HANDLE pin_ = nullptr;
    ChosenFormat chosen_{};
    FrameFormat format_{};
    std::vector<std::unique_ptr<host::ks::StreamBuffer>> buffers_;
    uint64_t boardDropsAtStart_ = 0;
    std::vector<Changed> changed_; // by Open, on the calling thread

    // Outputs, used by the writer thread only (and by Stop once it has
    // joined it).
    OutputPlan plan_;
    std::FILE* file_ = nullptr; // Y4M or MJPEG
    std::string filePath_;
    uint64_t fileWhole_ = 0; // bytes of whole frames in file_
    std::string pngFolder_;
    Y4mWriter y4m_;
    std::vector<std::string> outputs_;
    int orientation_ = 0;
    uint32_t lastStamp_ = 0;
    Picture previous_;                  // the last picture written, for filling
    std::vector<uint8_t> previousJpeg_; // the same for MJPEG
    bool havePrevious_ = false;
    bool failed_ = false;
    bool pipeClosed_ = false; // the last failed write met a pipe without a reader

    // m_ guards queue_, spare_, stopping_, figures_, latest_, haveLatest_
    // and the CPU figures; the capture and writer threads and the main
    // thread take it.
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
    // Set by the capture thread (limit) or the writer (failure, reader gone);
    // read by anyone.
    std::atomic<bool> done_{false};
    std::thread capture_, writer_;
};

} // namespace m4350::cap

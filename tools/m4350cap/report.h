// What m4350cap tells a person: the bandwidth check before streaming, the
// live lines on a terminal, the live mosaic, snapshots, the summary table and
// the JSON file.
#pragma once

#include "capture.h"

#include <cstdio>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace m4350::cap {

using Captures = std::vector<std::unique_ptr<ChannelCapture>>;

// Compares what the chosen modes need on each host controller with what it
// carries, and warns when they do not fit.
void BandwidthCheck(tools::BoardRig& rig, const Captures& captures, std::ostream& out);

// Bulk bytes each host controller has carried so far.
std::vector<uint64_t> BusBytes(tools::BoardRig& rig);

class LiveStatus {
public:
    // Nothing is drawn unless `terminal`.
    LiveStatus(const Captures& captures, bool terminal);
    // Redraws the lines in place, at most twice a second, each cut to the
    // terminal's width so that none wraps.
    void Update(double elapsed);
    void Finish();
    // One channel's line for a terminal `columns` wide.
    static std::string Line(const ChannelCapture& capture, double fps, size_t columns);

private:
    const Captures& captures_;
    bool terminal_;
    bool drawn_ = false;
    double last_ = -1;
    std::vector<uint64_t> lastFrames_;
};

// The 2 x 2 mosaic of the first four channels as a live Y4M stream.
class MosaicStream {
public:
    ~MosaicStream() { Stop(); }
    // `path` "-" is standard output.
    bool Start(const Captures& captures, const std::string& path, std::string* error);
    void Stop();
    double CpuSeconds() const { return cpu_; }
    uint64_t Frames() const { return frames_; }
    // Set by the stream's thread when it ends early; read after Stop, or
    // polled (atomics).
    bool ReaderGone() const { return readerGone_; }
    bool Failed() const { return failed_; }
    // The failure, naming the file and the reason; read after Stop.
    const std::string& Error() const { return error_; }

private:
    void Loop();
    const Captures* captures_ = nullptr;
    std::FILE* file_ = nullptr;
    std::string path_;
    bool ownFile_ = false;
    std::atomic<bool> running_{false};
    std::atomic<bool> readerGone_{false}, failed_{false};
    std::string error_; // written by the thread before failed_ is set
    std::thread thread_;
    double cpu_ = 0;
    uint64_t frames_ = 0;
    uint32_t num_ = 25, den_ = 1;
};

struct Summary {
    double wall = 0;    // seconds from the pins running to the end
    double capture = 0; // seconds from the first frame of any channel to the end
    std::string systemRoot;
    std::vector<uint64_t> busBytes; // per host controller, during the capture
    double processCpu = 0;          // CPU seconds of the process over `capture`
    double mosaicCpu = 0;
};

// A rate is shown only when measured over a second or more.
inline constexpr double kShortestRate = 1.0;

// Frames per second of a channel from its first to its last frame; nullopt
// over less than kShortestRate.
std::optional<double> ChannelFps(const ChannelFigures& figures);

// The caption of a channel in the mosaic: channel, format, frames, drops.
std::string Caption(const ChannelCapture& capture);

bool WriteSnapshots(const Captures& captures, const std::string& folder, std::FILE* out,
                    std::string* error);
void PrintSummary(tools::BoardRig& rig, const Captures& captures, const Summary& summary,
                  std::FILE* out);
// The JSON goes to `file` (opened before the capture, so that a bad path is
// known at once), which this closes unless it is standard output; `path`
// names it in errors.
bool WriteJson(std::FILE* file, const std::string& path, tools::BoardRig& rig,
               const Captures& captures, const Summary& summary, std::string* error);

// Median and 99th percentile of a sample; zeros when it is empty.
void Percentiles(std::vector<double> sample, double* median, double* p99);

} // namespace m4350::cap

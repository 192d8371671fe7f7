// What m4350cap tells a person: the bandwidth check before streaming, the
// live lines on a terminal, the live mosaic, snapshots, the summary table and
// the JSON file.
#pragma once

#include "capture.h"

#include <cstdio>
#include <memory>
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
    // Redraws the lines in place, at most twice a second.
    void Update(double elapsed);
    void Finish();

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

private:
    void Loop();
    const Captures* captures_ = nullptr;
    std::FILE* file_ = nullptr;
    bool ownFile_ = false;
    std::atomic<bool> running_{false};
    std::thread thread_;
    double cpu_ = 0;
    uint64_t frames_ = 0;
    uint32_t num_ = 25, den_ = 1;
};

struct Summary {
    double elapsed = 0;
    std::string systemRoot;
    std::vector<uint64_t> busBytes; // per host controller, during the capture
    double processCpu = 0;
    double mosaicCpu = 0;
};

// The caption of a channel in the mosaic: channel, format, frames, drops.
std::string Caption(const ChannelCapture& capture);

bool WriteSnapshots(const Captures& captures, const std::string& folder, std::FILE* out,
                    std::string* error);
void PrintSummary(tools::BoardRig& rig, const Captures& captures, const Summary& summary,
                  std::FILE* out);
bool WriteJson(const std::string& path, tools::BoardRig& rig, const Captures& captures,
               const Summary& summary, std::string* error);

// Median and 99th percentile of a sample; zeros when it is empty.
void Percentiles(std::vector<double> sample, double* median, double* p99);

} // namespace m4350::cap

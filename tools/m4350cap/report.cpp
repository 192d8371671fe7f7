#include "report.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <map>

namespace m4350::cap {

namespace {

constexpr double kMega = 1e6;

// Every host controller with the captures on it.
std::map<host::usb::HostController*, std::vector<const ChannelCapture*>>
ByController(tools::BoardRig& rig, const Captures& captures) {
    std::map<host::usb::HostController*, std::vector<const ChannelCapture*>> groups;
    for (const auto& c : captures)
        groups[&rig.Bus(c->Setup().board).Controller()].push_back(c.get());
    return groups;
}

uint64_t Drops(const ChannelFigures& f) {
    return f.driverDropCount + f.boardDrops + f.writerDrops;
}

double CpuNow() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + t.tv_nsec / 1e9;
}

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\')
            out += '\\';
        if (static_cast<unsigned char>(c) < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
            continue;
        }
        out += c;
    }
    return out + "\"";
}

} // namespace

void Percentiles(std::vector<double> sample, double* median, double* p99) {
    *median = *p99 = 0;
    if (sample.empty())
        return;
    std::sort(sample.begin(), sample.end());
    auto at = [&](double q) {
        const size_t i = size_t(std::ceil(q * double(sample.size()))) - 1;
        return sample[std::min(i, sample.size() - 1)];
    };
    *median = at(0.5);
    *p99 = at(0.99);
}

void BandwidthCheck(tools::BoardRig& rig, const Captures& captures, std::ostream& out) {
    const auto groups = ByController(rig, captures);
    size_t index = 0;
    for (const auto& [controller, members] : groups) {
        double need = 0;
        for (const ChannelCapture* c : members)
            need += c->BusBytesPerSecond();
        const double limit = controller->BulkLimitBytesPerSecond();
        char line[256];
        if (limit == 0) {
            std::snprintf(line, sizeof line,
                          "USB bus %zu: the chosen modes need %.1f MB/s; the bus has no limit\n",
                          index + 1, need / kMega);
        } else if (need <= limit) {
            std::snprintf(line, sizeof line,
                          "USB bus %zu: the chosen modes need %.1f MB/s of %.1f MB/s\n", index + 1,
                          need / kMega, limit / kMega);
        } else {
            std::snprintf(line, sizeof line,
                          "warning: USB bus %zu: the chosen modes need %.1f MB/s but the bus "
                          "carries %.1f MB/s; the board will drop about %.0f %% of the frames "
                          "(smaller sizes, y800, mjpg or a lower rate fit)\n",
                          index + 1, need / kMega, limit / kMega, 100.0 * (1 - limit / need));
        }
        out << line;
        ++index;
    }
    out.flush();
}

std::vector<uint64_t> BusBytes(tools::BoardRig& rig) {
    std::vector<uint64_t> bytes;
    for (host::usb::HostController* c : rig.Controllers())
        bytes.push_back(c->BulkBytes());
    return bytes;
}

LiveStatus::LiveStatus(const Captures& captures, bool terminal)
    : captures_(captures), terminal_(terminal), lastFrames_(captures.size(), 0) {}

void LiveStatus::Update(double elapsed) {
    if (!terminal_ || (last_ >= 0 && elapsed - last_ < 0.5))
        return;
    const double dt = last_ < 0 ? elapsed : elapsed - last_;
    std::string text;
    if (drawn_)
        text += "\033[" + std::to_string(captures_.size()) + "A";
    for (size_t i = 0; i < captures_.size(); ++i) {
        const ChannelCapture& c = *captures_[i];
        const ChannelFigures f = c.Figures();
        char line[256];
        std::snprintf(line, sizeof line,
                      "\r%-7s %-20s %7llu frames %6.2f fps %7.2f MB/s  drops: driver %llu, "
                      "board %llu, tool %llu\033[K\n",
                      c.Name().c_str(), c.FormatText().c_str(),
                      static_cast<unsigned long long>(f.frames),
                      dt > 0 ? double(f.frames - lastFrames_[i]) / dt : 0.0,
                      elapsed > 0 ? double(f.bytes) / elapsed / kMega : 0.0,
                      static_cast<unsigned long long>(f.driverDropCount),
                      static_cast<unsigned long long>(f.boardDrops),
                      static_cast<unsigned long long>(f.writerDrops));
        text += line;
        lastFrames_[i] = f.frames;
    }
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
    drawn_ = true;
    last_ = elapsed;
}

void LiveStatus::Finish() {
    if (drawn_)
        std::fputs("\n", stderr);
}

std::string Caption(const ChannelCapture& c) {
    const ChannelFigures f = c.Figures();
    return c.Name() + " " + c.FormatText() + " F" + std::to_string(f.frames) + " D" +
           std::to_string(Drops(f));
}

bool MosaicStream::Start(const Captures& captures, const std::string& path, std::string* error) {
    captures_ = &captures;
    if (path == "-") {
        file_ = stdout;
    } else {
        file_ = std::fopen(path.c_str(), "wb");
        if (!file_) {
            *error = "cannot create " + path + ": " + std::strerror(errno);
            return false;
        }
        ownFile_ = true;
    }
    // The fastest channel's rate, so that every channel's motion shows.
    double best = 0;
    for (const auto& c : captures) {
        uint32_t num, den;
        FrameRate(c->Format(), &num, &den);
        if (double(num) / den > best) {
            best = double(num) / den;
            num_ = num;
            den_ = den;
        }
    }
    Y4mWriter probe;
    if (!probe.Open(file_, kMosaicWidth, kMosaicHeight, false, num_, den_)) {
        *error = "cannot write the mosaic stream";
        return false;
    }
    running_ = true;
    thread_ = std::thread([this] { Loop(); });
    return true;
}

void MosaicStream::Loop() {
    // The header went out in Start; frames follow.
    const auto period = std::chrono::nanoseconds(int64_t(1e9 * den_ / num_));
    auto next = std::chrono::steady_clock::now();
    Picture pictures[4], mosaic;
    while (running_) {
        MosaicCell cells[4];
        for (size_t i = 0; i < 4 && i < captures_->size(); ++i) {
            const ChannelCapture& c = *(*captures_)[i];
            if (c.Latest(&pictures[i]))
                cells[i].picture = &pictures[i];
            cells[i].caption = Caption(c);
        }
        ComposeMosaic(cells, &mosaic);
        bool ok = std::fputs("FRAME\n", file_) >= 0;
        ok = ok && std::fwrite(mosaic.y.data(), 1, mosaic.y.size(), file_) == mosaic.y.size();
        ok = ok && std::fwrite(mosaic.u.data(), 1, mosaic.u.size(), file_) == mosaic.u.size();
        ok = ok && std::fwrite(mosaic.v.data(), 1, mosaic.v.size(), file_) == mosaic.v.size();
        if (!ok)
            break; // the reader went away (ffplay closed)
        ++frames_;
        next += period;
        std::this_thread::sleep_until(next);
    }
    std::fflush(file_);
    cpu_ = CpuNow();
}

void MosaicStream::Stop() {
    running_ = false;
    if (thread_.joinable())
        thread_.join();
    if (ownFile_ && file_)
        std::fclose(file_);
    file_ = nullptr;
    ownFile_ = false;
}

bool WriteSnapshots(const Captures& captures, const std::string& folder, std::FILE* out,
                    std::string* error) {
    Picture pictures[4];
    MosaicCell cells[4];
    for (size_t i = 0; i < captures.size(); ++i) {
        const ChannelCapture& c = *captures[i];
        Picture p;
        if (!c.Latest(&p))
            continue;
        const std::string path = folder + "/" + c.Name() + "-snapshot.png";
        const std::vector<uint8_t> rgb = ToRgb(p);
        if (!WritePng(path, rgb.data(), p.width, p.height, error))
            return false;
        std::fprintf(out, "snapshot: %s\n", path.c_str());
        if (i < 4) {
            pictures[i] = std::move(p);
            cells[i].picture = &pictures[i];
            cells[i].caption = Caption(c);
        }
    }
    Picture mosaic;
    ComposeMosaic(cells, &mosaic);
    const std::string path = folder + "/mosaic.png";
    const std::vector<uint8_t> rgb = ToRgb(mosaic);
    if (!WritePng(path, rgb.data(), mosaic.width, mosaic.height, error))
        return false;
    std::fprintf(out, "mosaic: %s\n", path.c_str());
    return true;
}

void PrintSummary(tools::BoardRig& rig, const Captures& captures, const Summary& s,
                  std::FILE* out) {
    std::fprintf(out, "\n%-7s %-20s %8s %7s %7s %8s %8s %8s %6s %6s %9s %9s\n", "channel", "format",
                 "frames", "fps", "MB/s", "drv-drop", "brd-drop", "tool-drop", "gaps", "bad",
                 "lat-med", "lat-p99");
    double toolCpu = s.mosaicCpu;
    for (const auto& c : captures) {
        const ChannelFigures f = c->Figures();
        double median, p99;
        Percentiles(f.latencyUs, &median, &p99);
        std::fprintf(
            out, "%-7s %-20s %8llu %7.2f %7.2f %8llu %8llu %8llu %6llu %6llu %7.2fms %7.2fms\n",
            c->Name().c_str(), c->FormatText().c_str(), static_cast<unsigned long long>(f.frames),
            f.frames / s.elapsed, f.bytes / s.elapsed / kMega,
            static_cast<unsigned long long>(f.driverDropCount),
            static_cast<unsigned long long>(f.boardDrops),
            static_cast<unsigned long long>(f.writerDrops),
            static_cast<unsigned long long>(f.stampGaps),
            static_cast<unsigned long long>(f.badStamps), median / 1000, p99 / 1000);
        toolCpu += c->ToolCpuSeconds();
    }
    const auto controllers = rig.Controllers();
    for (size_t i = 0; i < controllers.size() && i < s.busBytes.size(); ++i) {
        const double limit = controllers[i]->BulkLimitBytesPerSecond();
        const double carried = s.busBytes[i] / s.elapsed;
        if (limit > 0)
            std::fprintf(out, "USB bus %zu: carried %.2f MB/s of %.2f MB/s (%.0f %%)\n", i + 1,
                         carried / kMega, limit / kMega, 100 * carried / limit);
        else
            std::fprintf(out, "USB bus %zu: carried %.2f MB/s (no limit)\n", i + 1,
                         carried / kMega);
    }
    std::fprintf(out,
                 "CPU: %.2f s per second of capture: the tool %.2f, the driver, the platform "
                 "and the board model %.2f\n",
                 s.processCpu / s.elapsed, toolCpu / s.elapsed,
                 std::max(0.0, s.processCpu - toolCpu) / s.elapsed);
    for (const auto& c : captures)
        for (const std::string& o : c->Outputs()) {
            if (o == "-")
                continue;
            const auto frames = o.find("/NNNNNN.png");
            if (frames == std::string::npos) {
                std::fprintf(out, "wrote: %s  (watch: ffplay %s)\n", o.c_str(), o.c_str());
            } else {
                const std::string pattern = o.substr(0, frames) + "/%06d.png";
                std::fprintf(
                    out, "wrote: %s  (watch: ffplay -framerate %.3g -i %s)\n", pattern.c_str(),
                    FramesPerSecond(c->Format().pal, c->Format().decimation), pattern.c_str());
            }
        }
    std::fprintf(out, "drv-drop: frames the driver completed that the tool missed (DropCount); "
                      "brd-drop: frames the board dropped for want of bus bandwidth; tool-drop: "
                      "frames the writer could not keep up with; gaps: frame numbers missing in "
                      "the pictures' stamps\n");
}

bool WriteJson(const std::string& path, tools::BoardRig& rig, const Captures& captures,
               const Summary& s, std::string* error) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f) {
        *error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    double toolCpu = s.mosaicCpu;
    for (const auto& c : captures)
        toolCpu += c->ToolCpuSeconds();
    std::fprintf(f, "{\n  \"system_root\": %s,\n  \"seconds\": %.3f,\n",
                 JsonString(s.systemRoot).c_str(), s.elapsed);
    std::fprintf(f,
                 "  \"cpu_seconds\": {\"process\": %.3f, \"tool\": %.3f, \"driver_platform_"
                 "board\": %.3f},\n",
                 s.processCpu, toolCpu, std::max(0.0, s.processCpu - toolCpu));
    std::fprintf(f, "  \"buses\": [");
    const auto controllers = rig.Controllers();
    for (size_t i = 0; i < controllers.size() && i < s.busBytes.size(); ++i)
        std::fprintf(f,
                     "%s\n    {\"limit_bytes_per_second\": %.0f, \"bytes\": %llu, "
                     "\"bytes_per_second\": %.0f}",
                     i ? "," : "", controllers[i]->BulkLimitBytesPerSecond(),
                     static_cast<unsigned long long>(s.busBytes[i]), s.busBytes[i] / s.elapsed);
    std::fprintf(f, "\n  ],\n  \"channels\": [");
    for (size_t i = 0; i < captures.size(); ++i) {
        const ChannelCapture& c = *captures[i];
        const ChannelFigures fig = c.Figures();
        double median, p99;
        Percentiles(fig.latencyUs, &median, &p99);
        std::string outputs;
        for (const std::string& o : c.Outputs())
            outputs += (outputs.empty() ? "" : ", ") + JsonString(o);
        std::fprintf(f,
                     "%s\n    {\"board\": %u, \"channel\": %u, \"format\": %s, \"width\": %u, "
                     "\"height\": %u, \"frames\": %llu, \"fps\": %.3f, \"bytes\": %llu, "
                     "\"mb_per_second\": %.3f, \"bus_bytes_per_second_needed\": %.0f,\n"
                     "     \"driver\": {\"drop_count\": %llu, \"picture_number\": %llu},\n"
                     "     \"board_drops\": %llu, \"tool_drops\": %llu, \"stamp_gaps\": %llu, "
                     "\"bad_stamps\": %llu, \"write_errors\": %llu, \"last_stamp\": %llu, "
                     "\"board_captured\": %llu,\n"
                     "     \"latency_us\": {\"median\": %.1f, \"p99\": %.1f, \"samples\": %zu},\n"
                     "     \"outputs\": [%s]}",
                     i ? "," : "", c.Setup().board + 1, c.Setup().channel + 1,
                     JsonString(c.FormatText()).c_str(), c.Format().width, c.Format().rows,
                     static_cast<unsigned long long>(fig.frames), fig.frames / s.elapsed,
                     static_cast<unsigned long long>(fig.bytes), fig.bytes / s.elapsed / kMega,
                     c.BusBytesPerSecond(), static_cast<unsigned long long>(fig.driverDropCount),
                     static_cast<unsigned long long>(fig.pictureNumber),
                     static_cast<unsigned long long>(fig.boardDrops),
                     static_cast<unsigned long long>(fig.writerDrops),
                     static_cast<unsigned long long>(fig.stampGaps),
                     static_cast<unsigned long long>(fig.badStamps),
                     static_cast<unsigned long long>(fig.writeErrors),
                     static_cast<unsigned long long>(fig.lastStamp),
                     static_cast<unsigned long long>(fig.boardCaptured), median, p99,
                     fig.latencyUs.size(), outputs.c_str());
    }
    std::fprintf(f, "\n  ]\n}\n");
    if (std::fclose(f) != 0) {
        *error = "cannot write " + path;
        return false;
    }
    return true;
}

} // namespace m4350::cap

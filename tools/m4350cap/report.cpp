#include "report.h"

#include <sys/ioctl.h>
#include <unistd.h>

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

// "12.34" or "-" when there is no rate to show.
std::string Rate(std::optional<double> value, const char* format = "%.2f") {
    if (!value)
        return "-";
    char text[32];
    std::snprintf(text, sizeof text, format, *value);
    return text;
}

// driver/board/tool drops as one column.
std::string DropText(const ChannelFigures& f) {
    return std::to_string(f.driverDropCount) + "/" + std::to_string(f.boardDrops) + "/" +
           std::to_string(f.writerDrops);
}

size_t TerminalColumns() {
    winsize w{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &w) == 0 && w.ws_col > 0)
        return w.ws_col;
    return 80;
}

// "-framerate 30000/1001": the rate ffplay needs for frames without one.
std::string FramerateOption(const FrameFormat& format) {
    uint32_t num, den;
    FrameRate(format, &num, &den);
    return "-framerate " + std::to_string(num) + "/" + std::to_string(den);
}

} // namespace

std::optional<double> ChannelFps(const ChannelFigures& f) {
    if (!f.firstFrame || !f.lastFrame || f.frames < 2)
        return std::nullopt;
    const double span = std::chrono::duration<double>(*f.lastFrame - *f.firstFrame).count();
    if (span < kShortestRate)
        return std::nullopt;
    return double(f.frames - 1) / span;
}

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

std::string LiveStatus::Line(const ChannelCapture& c, double fps, size_t columns) {
    const ChannelFigures f = c.Figures();
    char line[256];
    std::snprintf(line, sizeof line, "%-6s %-20s %7llu fr %6.2f fps  drops %s%s", c.Name().c_str(),
                  c.FormatText().c_str(), static_cast<unsigned long long>(f.frames), fps,
                  DropText(f).c_str(),
                  !f.writeError.empty() ? "  WRITE FAILED"
                  : c.Done()            ? "  done"
                                        : "");
    std::string text = line;
    // The cursor must stay on the line: a line as wide as the terminal wraps.
    if (columns > 1 && text.size() > columns - 1)
        text.resize(columns - 1);
    return text;
}

void LiveStatus::Update(double elapsed) {
    if (!terminal_ || (last_ >= 0 && elapsed - last_ < 0.5))
        return;
    const double dt = last_ < 0 ? elapsed : elapsed - last_;
    const size_t columns = TerminalColumns();
    std::string text;
    if (drawn_)
        text += "\033[" + std::to_string(captures_.size()) + "A";
    for (size_t i = 0; i < captures_.size(); ++i) {
        const ChannelCapture& c = *captures_[i];
        const uint64_t frames = c.Figures().frames;
        const double fps = dt > 0 ? double(frames - lastFrames_[i]) / dt : 0.0;
        text += "\r" + Line(c, fps, columns) + "\033[K\n";
        lastFrames_[i] = frames;
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
    path_ = path == "-" ? "standard output" : path;
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
    off_t whole = ftello(file_); // bytes of whole frames
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
        ok = ok && std::fflush(file_) == 0;
        if (!ok) {
            if (!ownFile_ && errno == EPIPE) {
                readerGone_ = true; // the viewer was closed
            } else {
                error_ = "cannot write " + path_ + ": " + std::strerror(errno);
                failed_ = true;
            }
            break;
        }
        whole = ftello(file_);
        ++frames_;
        next += period;
        std::this_thread::sleep_until(next);
    }
    if (failed_ && ownFile_) {
        // Closed first, so that nothing left in the buffer lands after the cut.
        std::fclose(file_);
        file_ = nullptr;
        if (whole < 0 || truncate(path_.c_str(), whole) != 0)
            error_ += "; cannot cut it back to its last whole frame";
    } else {
        std::fflush(file_);
    }
    cpu_ = CpuNow();
}

void MosaicStream::Stop() {
    running_ = false;
    if (thread_.joinable())
        thread_.join();
    if (ownFile_ && file_ && std::fclose(file_) != 0 && !failed_) {
        error_ = "cannot write " + path_ + ": " + std::strerror(errno);
        failed_ = true;
    }
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
    // 79 columns: the table fits an 80-column terminal. What does not fit
    // (MB/s, the 99th percentile of the latency, bad stamps) is in --json.
    std::fprintf(out, "\n%-6s %-20s %6s %5s %11s %4s %6s %4s %4s %4s\n", "ch", "format", "frames",
                 "fps", "drops d/b/t", "gaps", "wrote", "fail", "rep", "lat");
    double toolCpu = s.mosaicCpu;
    for (const auto& c : captures) {
        const ChannelFigures f = c->Figures();
        double median, p99;
        Percentiles(f.latencyUs, &median, &p99);
        std::fprintf(out, "%-6s %-20s %6llu %5s %11s %4llu %6llu %4llu %4llu %4s\n",
                     c->Name().c_str(), c->FormatText().c_str(),
                     static_cast<unsigned long long>(f.frames), Rate(ChannelFps(f)).c_str(),
                     DropText(f).c_str(), static_cast<unsigned long long>(f.stampGaps),
                     static_cast<unsigned long long>(f.written),
                     static_cast<unsigned long long>(f.writeFailed),
                     static_cast<unsigned long long>(f.repeated),
                     Rate(f.latencyUs.empty() ? std::nullopt : std::optional(median / 1000), "%.1f")
                         .c_str());
        toolCpu += c->ToolCpuSeconds();
    }
    const auto controllers = rig.Controllers();
    for (size_t i = 0; i < controllers.size() && i < s.busBytes.size() && s.wall >= kShortestRate;
         ++i) {
        const double limit = controllers[i]->BulkLimitBytesPerSecond();
        const double carried = s.busBytes[i] / s.wall;
        if (limit > 0)
            std::fprintf(out, "USB bus %zu: carried %.2f MB/s of %.2f MB/s (%.0f %%)\n", i + 1,
                         carried / kMega, limit / kMega, 100 * carried / limit);
        else
            std::fprintf(out, "USB bus %zu: carried %.2f MB/s (no limit)\n", i + 1,
                         carried / kMega);
    }
    if (s.capture >= kShortestRate)
        std::fprintf(out,
                     "CPU per second of capture: %.2f s (tool %.2f, driver/platform/board %.2f)\n",
                     s.processCpu / s.capture, toolCpu / s.capture,
                     std::max(0.0, s.processCpu - toolCpu) / s.capture);
    else
        std::fprintf(out, "CPU and rates: not shown for less than a second of capture\n");
    for (const auto& c : captures) {
        const ChannelFigures f = c->Figures();
        const bool complete = f.writeError.empty();
        for (const std::string& o : c->Outputs()) {
            if (o == "-")
                continue;
            const auto frames = o.find("/NNNNNN.png");
            const std::string path =
                frames == std::string::npos ? o : o.substr(0, frames) + "/%06d.png";
            const bool mjpeg = c->Format().subtype == Subtype::Mjpg;
            const std::string count = std::to_string(f.written + f.repeated) + " frames";
            if (!complete) {
                std::fprintf(out, "stopped: %s: %s kept, each whole\n", path.c_str(),
                             count.c_str());
                continue;
            }
            std::fprintf(out, "wrote: %s (%s)\n", path.c_str(), count.c_str());
            if (frames != std::string::npos)
                std::fprintf(out, "  watch: ffplay %s -i %s\n",
                             FramerateOption(c->Format()).c_str(), path.c_str());
            else if (mjpeg)
                std::fprintf(out, "  watch: ffplay %s %s\n", FramerateOption(c->Format()).c_str(),
                             path.c_str());
            else
                std::fprintf(out, "  watch: ffplay %s\n", path.c_str());
        }
    }
    std::fprintf(
        out, "drops d/b/t: frames the driver completed that the tool missed (DropCount) /\n"
             "  the board dropped for want of bus bandwidth / the writer could not keep up\n"
             "gaps: frame numbers missing in the pictures' stamps; rep: pictures repeated\n"
             "  for them to keep time; lat: median ms from the board's last block to the tool\n");
}

bool WriteJson(std::FILE* f, const std::string& path, tools::BoardRig& rig,
               const Captures& captures, const Summary& s, std::string* error) {
    auto rate = [](std::optional<double> v) {
        char text[32];
        if (!v)
            return std::string("null");
        std::snprintf(text, sizeof text, "%.3f", *v);
        return std::string(text);
    };
    double toolCpu = s.mosaicCpu;
    for (const auto& c : captures)
        toolCpu += c->ToolCpuSeconds();
    std::fprintf(f,
                 "{\n  \"system_root\": %s,\n  \"seconds\": %.3f,\n  \"capture_seconds\": %.3f,\n",
                 JsonString(s.systemRoot).c_str(), s.wall, s.capture);
    std::fprintf(f,
                 "  \"cpu_seconds\": {\"process\": %.3f, \"tool\": %.3f, \"driver_platform_"
                 "board\": %.3f},\n",
                 s.processCpu, toolCpu, std::max(0.0, s.processCpu - toolCpu));
    std::fprintf(f, "  \"buses\": [");
    const auto controllers = rig.Controllers();
    for (size_t i = 0; i < controllers.size() && i < s.busBytes.size(); ++i)
        std::fprintf(
            f,
            "%s\n    {\"limit_bytes_per_second\": %.0f, \"bytes\": %llu, "
            "\"bytes_per_second\": %s}",
            i ? "," : "", controllers[i]->BulkLimitBytesPerSecond(),
            static_cast<unsigned long long>(s.busBytes[i]),
            rate(s.wall >= kShortestRate ? std::optional(s.busBytes[i] / s.wall) : std::nullopt)
                .c_str());
    std::fprintf(f, "\n  ],\n  \"channels\": [");
    for (size_t i = 0; i < captures.size(); ++i) {
        const ChannelCapture& c = *captures[i];
        const ChannelFigures fig = c.Figures();
        double median, p99;
        Percentiles(fig.latencyUs, &median, &p99);
        std::string outputs;
        for (const std::string& o : c.Outputs())
            outputs += (outputs.empty() ? "" : ", ") + JsonString(o);
        const std::optional<double> mb = s.capture >= kShortestRate
                                             ? std::optional(fig.bytes / s.capture / kMega)
                                             : std::nullopt;
        std::fprintf(
            f,
            "%s\n    {\"board\": %u, \"channel\": %u, \"format\": %s, \"width\": %u, "
            "\"height\": %u, \"frames\": %llu, \"delivered\": %llu, \"fps\": %s, \"bytes\": %llu, "
            "\"mb_per_second\": %s, \"bus_bytes_per_second_needed\": %.0f,\n"
            "     \"driver\": {\"drop_count\": %llu, \"picture_number\": %llu},\n"
            "     \"board_drops\": %llu, \"tool_drops\": %llu, \"stamp_gaps\": %llu, "
            "\"bad_stamps\": %llu, \"written\": %llu, \"write_failed\": %llu, "
            "\"repeated\": %llu, \"last_stamp\": %llu, \"board_captured\": %llu,\n"
            "     \"write_error\": %s, \"reader_gone\": %s,\n"
            "     \"latency_us\": {\"median\": %.1f, \"p99\": %.1f, \"samples\": %zu},\n"
            "     \"outputs\": [%s]}",
            i ? "," : "", c.Setup().board + 1, c.Setup().channel + 1,
            JsonString(c.FormatText()).c_str(), c.Format().width, c.Format().rows,
            static_cast<unsigned long long>(fig.frames),
            static_cast<unsigned long long>(fig.delivered), rate(ChannelFps(fig)).c_str(),
            static_cast<unsigned long long>(fig.bytes), rate(mb).c_str(), c.BusBytesPerSecond(),
            static_cast<unsigned long long>(fig.driverDropCount),
            static_cast<unsigned long long>(fig.pictureNumber),
            static_cast<unsigned long long>(fig.boardDrops),
            static_cast<unsigned long long>(fig.writerDrops),
            static_cast<unsigned long long>(fig.stampGaps),
            static_cast<unsigned long long>(fig.badStamps),
            static_cast<unsigned long long>(fig.written),
            static_cast<unsigned long long>(fig.writeFailed),
            static_cast<unsigned long long>(fig.repeated),
            static_cast<unsigned long long>(fig.lastStamp),
            static_cast<unsigned long long>(fig.boardCaptured),
            fig.writeError.empty() ? "null" : JsonString(fig.writeError).c_str(),
            fig.readerGone ? "true" : "false", median, p99, fig.latencyUs.size(), outputs.c_str());
    }
    std::fprintf(f, "\n  ]\n}\n");
    const bool ok = std::fflush(f) == 0 && !std::ferror(f);
    const int why = errno;
    if (f != stdout && std::fclose(f) != 0 && ok) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!ok)
        *error = "cannot write " + path + ": " + std::strerror(why);
    return ok;
}

} // namespace m4350::cap

// m4350cap: captures from the inputs of simulated m4350 boards the way a
// capture application does on Windows. The boards are brought up under
// m4350av by the host's plug-and-play manager; from then on the tool only
// uses the client side of kernel streaming: it enumerates the filters, picks
// each channel's format by data intersection, creates the pins, queues
// buffers, runs, collects and stops. Frames go to Y4M, PNG or MJPEG files
// (or to standard output), with live figures and an honest account of every
// frame that did not arrive.
#include "capture.h"
#include "formats.h"
#include "picture.h"
#include "report.h"

#include <board_rig.h>
#include <host/ks_client.h>

#include <CLI/CLI.hpp>

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>

using namespace m4350;
using namespace m4350::cap;

namespace {

std::atomic<bool> interrupted{false};

// "[N=]VALUE" for per-channel options: N is a channel 1 to 4; without it the
// value is for every channel.
bool SplitChannelValue(const std::string& text, int* channel, std::string* value) {
    const auto eq = text.find('=');
    *channel = 0;
    *value = text;
    if (eq == std::string::npos)
        return true;
    const std::string n = text.substr(0, eq);
    if (n.size() != 1 || n[0] < '1' || n[0] > '4')
        return false;
    *channel = n[0] - '0';
    *value = text.substr(eq + 1);
    return true;
}

bool ParseChannels(const std::string& text, std::vector<uint32_t>* channels, std::string* error) {
    channels->clear();
    if (text == "all") {
        *channels = {0, 1, 2, 3};
        return true;
    }
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        if (item.size() != 1 || item[0] < '1' || item[0] > '4') {
            *error = "--channels takes channel numbers 1 to 4 separated by commas, or all; not \"" +
                     text + "\"";
            return false;
        }
        const uint32_t c = uint32_t(item[0] - '1');
        if (std::find(channels->begin(), channels->end(), c) == channels->end())
            channels->push_back(c);
    }
    if (channels->empty()) {
        *error = "--channels names no channel";
        return false;
    }
    return true;
}

int List(tools::BoardRig& rig) {
    for (uint32_t b = 0; b < rig.Boards(); ++b) {
        for (uint32_t c = 0; c < 4; ++c) {
            std::vector<OfferedFormat> offered;
            std::string error;
            if (!QueryChannelFormats(b, c, &offered, &error)) {
                std::fprintf(stderr, "m4350cap: %s\n", error.c_str());
                return 1;
            }
            std::printf("board %u, channel %u (%s): %zu formats\n", b + 1, c + 1,
                        !offered.empty() && offered.front().pal ? "PAL" : "NTSC", offered.size());
            for (size_t i = 0; i < offered.size(); ++i) {
                const OfferedFormat& f = offered[i];
                std::string rates;
                for (int d : kDecimations) {
                    char r[16];
                    std::snprintf(r, sizeof r, "%s%.4g", rates.empty() ? "" : ", ",
                                  FramesPerSecond(f.pal, d));
                    rates += r;
                }
                std::printf("  [%2zu] %-6s %4dx%-4u %-9s %-8s %s fps\n", i, SubtypeName(f.subtype),
                            f.width, f.Rows(), f.height < 0 ? "top-down" : "bottom-up",
                            StandardName(f), rates.c_str());
            }
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Captures video from the four inputs of simulated m4350 boards through m4350av's "
                 "capture pins, as an application does, into Y4M (YUV formats), PNG (RGB) and "
                 "MJPEG files.",
                 "m4350cap"};
    app.footer(R"(Formats are written SUBTYPE[:WIDTHxHEIGHT][@FPS], for example uyvy:640x480@29.97,
rgb24:352x288@25, mjpg:704x576@12.5, y800:480x640 (portrait). SUBTYPE is uyvy, yuy2,
yv16, y800, rgb24, rgb32 or mjpg. --format N=FORMAT sets channel N only; --list shows
what each channel offers. Per-channel picture options take [N=]VALUE the same way.

Examples:
  m4350cap --list
  m4350cap -f 1=uyvy:640x480 -f 2=rgb24:320x240 -f 3=mjpg:640x480@14.985 -f 4=y800:480x640
  m4350cap -c 1 -o - | ffplay -
  m4350cap --mosaic -o - | ffplay -)");
    bool list = false, snapshot = false, mosaic = false, quiet = false, sharedBus = false;
    std::string channelsText = "all", output = "capture", json, standard, root, firmware, driverLog;
    std::vector<std::string> formats, brightness, contrast, hue, saturation, color;
    uint64_t frames = 0;
    double duration = 0, busLimit = 53.248;
    uint32_t boards = 1;
    app.add_flag("-l,--list", list, "list the boards, their channels and every format offered");
    app.add_option("-c,--channels", channelsText,
                   "channels to capture: 1 to 4, comma separated, "
                   "or all")
        ->default_str("all");
    app.add_option("-f,--format", formats, "[N=]FORMAT for channel N, or for all (repeatable)");
    app.add_option("--standard", standard, "video standard of the captured channels for this run")
        ->check(CLI::IsMember({"ntsc", "pal"}));
    app.add_option("-n,--frames", frames, "stop after this many frames on every channel")
        ->check(CLI::Range(uint64_t{1}, uint64_t{100000000}));
    app.add_option("-d,--duration", duration, "stop after this many seconds (default 5)")
        ->check(CLI::PositiveNumber);
    app.add_option("--boards", boards, "simulated boards to bring up (1 to 8)")
        ->check(CLI::Range(1u, tools::kMaxBoards));
    app.add_flag("--shared-bus", sharedBus, "put every board on one USB host controller");
    app.add_option("--bus-limit", busLimit,
                   "USB bulk bandwidth of a host controller in MB/s (0: no limit)")
        ->default_str("53.248")
        ->check(CLI::Range(0.0, 53.248));
    app.add_option("-o,--output", output, "folder for the files, or - for Y4M on standard output")
        ->default_str("capture");
    app.add_flag("--snapshot", snapshot,
                 "write the last frame of every channel as PNG, and a 2x2 mosaic.png");
    app.add_flag("--mosaic", mosaic,
                 "write a live 2x2 mosaic of the channels as Y4M "
                 "(mosaic.y4m, or standard output with -o -)");
    app.add_option("--json", json, "write the figures as JSON to this file");
    app.add_flag("-q,--quiet", quiet, "no progress lines");
    app.add_option("--brightness", brightness, "[N=]VALUE, -127 to 127");
    app.add_option("--contrast", contrast, "[N=]VALUE, 0 to 255");
    app.add_option("--hue", hue, "[N=]VALUE, -64 to 64");
    app.add_option("--saturation", saturation, "[N=]VALUE, 0 to 255");
    app.add_option("--color", color, "[N=]on|off");
    app.add_option("--system-root", root,
                   "folder standing for \\SystemRoot (registry, settings, firmware); default "
                   "$XDG_STATE_HOME/m4350");
    app.add_option("--firmware", firmware, "firmware image to install before the boards start");
    app.add_option("--driver-log", driverLog, "echo the driver's log: stderr or a file");
    CLI11_PARSE(app, argc, argv);

    auto fail = [](const std::string& message) {
        std::fprintf(stderr, "m4350cap: %s\n", message.c_str());
        return 1;
    };
    std::string error;
    std::vector<uint32_t> channels;
    if (!ParseChannels(channelsText, &channels, &error))
        return fail(error);
    const bool toStdout = output == "-";
    if (toStdout && !mosaic && channels.size() * boards != 1)
        return fail("-o - writes one channel to standard output: choose it with --channels N "
                    "(or stream the mosaic with --mosaic)");
    if (frames && duration)
        return fail("give --frames or --duration, not both");
    if (!frames && !duration)
        duration = 5;
    if (toStdout && isatty(STDOUT_FILENO))
        return fail("standard output is a terminal: pipe it, for example -o - | ffplay -");

    // Per-channel settings, [N=]VALUE.
    std::map<int, FormatRequest> requests;
    for (const std::string& text : formats) {
        int n;
        std::string spec;
        if (!SplitChannelValue(text, &n, &spec))
            return fail("--format " + text + ": the channel before '=' must be 1 to 4");
        auto r = ParseFormat(spec, &error);
        if (!r)
            return fail(error);
        requests[n] = *r;
    }
    std::map<int, PictureOptions> picture;
    struct PictureOption {
        const char* name;
        const std::vector<std::string>& values;
        std::optional<int32_t> PictureOptions::*field;
        int lo, hi;
    };
    const PictureOption pictureOptions[] = {
        {"--brightness", brightness, &PictureOptions::brightness, -127, 127},
        {"--contrast", contrast, &PictureOptions::contrast, 0, 255},
        {"--hue", hue, &PictureOptions::hue, -64, 64},
        {"--saturation", saturation, &PictureOptions::saturation, 0, 255},
        {"--color", color, &PictureOptions::color, 0, 1},
    };
    for (const PictureOption& o : pictureOptions) {
        for (const std::string& text : o.values) {
            int n;
            std::string value;
            if (!SplitChannelValue(text, &n, &value))
                return fail(std::string(o.name) + " " + text +
                            ": the channel before '=' must be 1 to 4");
            int v;
            if (value == "on" || value == "off") {
                v = value == "on";
            } else {
                char* end = nullptr;
                const long parsed = std::strtol(value.c_str(), &end, 10);
                if (end == value.c_str() || *end || parsed < o.lo || parsed > o.hi)
                    return fail(std::string(o.name) + " " + text + ": the value must be " +
                                std::to_string(o.lo) + " to " + std::to_string(o.hi) +
                                (o.lo == 0 && o.hi == 1 ? " (or on/off)" : ""));
                v = int(parsed);
            }
            picture[n].*o.field = v;
        }
    }

    std::signal(SIGINT, [](int) { interrupted = true; });
    std::signal(SIGTERM, [](int) { interrupted = true; });
    std::signal(SIGPIPE, SIG_IGN);

    // Progress of the bring-up goes where the summary goes.
    std::ostream& progress = toStdout ? std::cerr : std::cout;
    tools::RigOptions rigOptions;
    rigOptions.boards = boards;
    rigOptions.systemRoot = root;
    rigOptions.firmware = firmware;
    rigOptions.busBytesPerMicroframe = uint32_t(busLimit * 1e6 / 8000.0 + 0.5);
    rigOptions.sharedController = sharedBus;
    rigOptions.driverLog = driverLog;
    tools::BoardRig rig;
    std::ostringstream discard;
    if (!rig.BringUp(rigOptions, quiet ? discard : progress, &error))
        return fail(error);

    if (list)
        return List(rig);

    std::vector<std::unique_ptr<ChannelCapture>> captures;
    for (uint32_t b = 0; b < boards; ++b) {
        for (uint32_t c : channels) {
            ChannelSetup setup;
            setup.board = b;
            setup.channel = c;
            auto r = requests.find(int(c + 1));
            if (r == requests.end())
                r = requests.find(0);
            if (r != requests.end()) {
                setup.request = r->second;
            } else {
                setup.request.subtype = Subtype::Uyvy;
                setup.request.text = "uyvy";
            }
            if (!standard.empty())
                setup.pal = standard == "pal";
            PictureOptions p = picture[0];
            const PictureOptions& own = picture[int(c + 1)];
            for (const PictureOption& o : pictureOptions)
                if (own.*o.field)
                    p.*o.field = own.*o.field;
            setup.picture = p;
            captures.push_back(std::make_unique<ChannelCapture>(rig, setup));
            if (!captures.back()->Open(&error))
                return fail(error);
        }
    }

    BandwidthCheck(rig, captures, progress);

    std::error_code ec;
    if (!toStdout) {
        std::filesystem::create_directories(output, ec);
        if (ec)
            return fail("cannot create the folder " + output + ": " + ec.message());
    }
    const bool keepLatest = snapshot || mosaic;
    for (auto& capture : captures) {
        OutputPlan plan;
        plan.keepLatest = keepLatest;
        if (toStdout && !mosaic)
            plan.stream = stdout;
        else if (!toStdout)
            plan.folder = output;
        if (!capture->Start(plan, &error))
            return fail(error);
    }
    MosaicStream mosaicStream;
    if (mosaic && !mosaicStream.Start(captures, toStdout ? "-" : output + "/mosaic.y4m", &error))
        return fail(error);

    // Figures count from here, once every pin runs.
    const auto busAtStart = BusBytes(rig);
    const auto begin = std::chrono::steady_clock::now();
    LiveStatus live(captures, !quiet && isatty(STDERR_FILENO));
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        bool done = interrupted || (duration && elapsed >= duration);
        if (frames) {
            done = done || std::all_of(captures.begin(), captures.end(), [&](const auto& c) {
                       return c->Figures().frames >= frames;
                   });
        }
        live.Update(elapsed);
        if (done)
            break;
    }
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    mosaicStream.Stop();
    auto busBytes = BusBytes(rig);
    for (size_t i = 0; i < busBytes.size(); ++i)
        busBytes[i] -= busAtStart[i];
    for (auto& capture : captures)
        capture->Freeze();
    for (auto& capture : captures)
        capture->Stop();
    live.Finish();

    Summary summary;
    summary.elapsed = elapsed;
    summary.systemRoot = rig.SystemRoot().string();
    summary.busBytes = busBytes;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    summary.processCpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    summary.mosaicCpu = mosaicStream.CpuSeconds();
    std::FILE* table = toStdout ? stderr : stdout;
    int status = 0;
    if (snapshot && !WriteSnapshots(captures, output == "-" ? "." : output, table, &error)) {
        std::fprintf(stderr, "m4350cap: %s\n", error.c_str());
        status = 1;
    }
    PrintSummary(rig, captures, summary, table);
    if (mosaic && !toStdout)
        std::fprintf(table, "wrote: %s/mosaic.y4m  (watch: ffplay %s/mosaic.y4m)\n", output.c_str(),
                     output.c_str());
    if (!json.empty() && !WriteJson(json, rig, captures, summary, &error)) {
        std::fprintf(stderr, "m4350cap: %s\n", error.c_str());
        status = 1;
    }
    for (auto& capture : captures)
        if (capture->Figures().frames == 0) {
            std::fprintf(stderr, "m4350cap: %s delivered no frame\n", capture->Name().c_str());
            status = 1;
        }
    captures.clear();
    rig.TearDown();
    return status;
}

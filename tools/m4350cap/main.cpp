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
#include <controls/control_ranges.h>
#include <driver_choice.h>
#include <host/ks_client.h>

#include <CLI/CLI.hpp>

#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>
#include <utility>

using namespace m4350;
using namespace m4350::cap;

namespace {

// Ctrl-C (or SIGTERM) once: stop cleanly, restore the settings, summarise.
// Twice: leave at once, restoring nothing, and say so.
std::atomic<int> signals{0};

void OnSignal(int) {
    if (signals.fetch_add(1) == 0)
        return;
    static const char message[] =
        "\nm4350cap: forced exit: the standard and picture settings this run changed are not "
        "put back; files may end mid-frame\n";
    const ssize_t ignored = write(STDERR_FILENO, message, sizeof message - 1);
    (void)ignored;
    _exit(130);
}

bool Interrupted() {
    return signals.load() > 0;
}

// True when standard output is a pipe whose reader has gone.
bool ReaderGone() {
    pollfd p{STDOUT_FILENO, 0, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLERR | POLLHUP));
}

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

// Every channel's formats: what it offers now, or with `pal` what it offers
// once set to that standard (the driver's catalogue; the board is not
// touched).
int List(tools::BoardRig& rig, std::optional<bool> pal) {
    for (uint32_t b = 0; b < rig.Boards(); ++b) {
        for (uint32_t c = 0; c < 4; ++c) {
            std::vector<OfferedFormat> offered;
            std::string error;
            if (!QueryChannelFormats(b, c, &offered, &error)) {
                std::fprintf(stderr, "m4350cap: %s\n", error.c_str());
                return 1;
            }
            const bool now = !offered.empty() && offered.front().pal;
            std::string note;
            if (pal) {
                if (*pal != now)
                    note = std::string(", with --standard ") + (*pal ? "pal" : "ntsc") +
                           "; set to " + (now ? "PAL" : "NTSC") + " now";
                offered = CatalogueFormats(*pal);
            }
            std::printf("board %u, channel %u (%s%s): %zu formats\n", b + 1, c + 1,
                        !offered.empty() && offered.front().pal ? "PAL" : "NTSC", note.c_str(),
                        offered.size());
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

double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
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

What a run changes: --standard and the picture options (--brightness, --contrast,
--hue, --saturation, --color) hold for this run only. When it ends (Ctrl-C included)
each is put back as it was, unless something else changed it meanwhile; a second
Ctrl-C or a kill leaves at once and restores nothing. m4350cfg changes what stays.
The capture format itself (size, colour, rate) stays as the channel's last mode.

--frames N stops each channel at exactly N frames from the pin. Y4M and MJPEG files
keep time: a frame number missing between two pictures (dropped on the way) is
filled with the previous picture, counted as "rep" and not in N (--no-fill writes
only what arrived). With -o - and neither --frames nor --duration the run goes on
until Ctrl-C or until the reader closes the pipe; otherwise it lasts 5 seconds.
A channel stops at its first failed write and the run exits with status 1.

Examples:
  m4350cap --list --standard pal
  m4350cap -f 1=uyvy:640x480 -f 2=rgb24:320x240 -f 3=mjpg:640x480@14.985 -f 4=y800:480x640
  m4350cap -c 1 -o - | ffplay -
  m4350cap --mosaic -f uyvy:320x240 -o - | ffplay -)");
    bool list = false, snapshot = false, mosaic = false, quiet = false, sharedBus = false;
    bool noFill = false;
    std::string channelsText = "all", output = "capture", json, standard, root, firmware, driverLog;
    std::vector<std::string> formats, brightness, contrast, hue, saturation, color;
    uint64_t frames = 0;
    double duration = 0, busLimit = 53.248;
    uint32_t boards = 1;
    const CLI::Validator seconds(
        [](std::string& text) {
            char* end = nullptr;
            const double v = std::strtod(text.c_str(), &end);
            if (end == text.c_str() || *end || !std::isfinite(v) || v <= 0)
                return std::string("takes a number of seconds above 0, not ") + text;
            return std::string();
        },
        "SECONDS");
    app.add_flag("-l,--list", list,
                 "list the boards, their channels and every format offered (with --standard: "
                 "as that standard offers them)");
    app.add_option("-c,--channels", channelsText,
                   "channels to capture: 1 to 4, comma separated, "
                   "or all")
        ->default_str("all");
    app.add_option("-f,--format", formats, "[N=]FORMAT for channel N, or for all (repeatable)");
    app.add_option("--standard", standard,
                   "video standard of the captured channels for this run (ntsc or pal)")
        ->check(CLI::IsMember({"ntsc", "pal"}, CLI::ignore_case));
    app.add_option("-n,--frames", frames, "stop each channel at exactly this many frames")
        ->check(CLI::Range(uint64_t{1}, uint64_t{100000000}));
    app.add_option("-d,--duration", duration,
                   "stop after this many seconds (default 5; with -o -: until stopped)")
        ->check(seconds);
    app.add_flag("--no-fill", noFill,
                 "write only the frames that arrived, without repeating pictures to keep time");
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
    app.add_option("--json", json, "write the figures as JSON to this file (- standard output)");
    app.add_flag("-q,--quiet", quiet, "no progress lines");
    app.add_option("--brightness", brightness, "[N=]VALUE, -127 to 127, for this run");
    app.add_option("--contrast", contrast, "[N=]VALUE, 0 to 255, for this run");
    app.add_option("--hue", hue, "[N=]VALUE, -64 to 64, for this run");
    app.add_option("--saturation", saturation, "[N=]VALUE, 0 to 255, for this run");
    app.add_option("--color", color, "[N=]on|off, for this run");
    app.add_option("--system-root", root,
                   "folder standing for \\SystemRoot (registry, settings, firmware); default "
                   "$XDG_STATE_HOME/m4350");
    app.add_option("--firmware", firmware, "firmware image to install before the boards start");
    app.add_option("--driver-log", driverLog, "echo the driver's log: stderr or a file");
    std::string driverImage;
    tools::AddDriverImageOption(app, &driverImage);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // Argument errors exit with 1, as every other error does.
        return app.exit(e) == 0 ? 0 : 1;
    }
    standard = CLI::detail::to_lower(standard);

    auto fail = [](const std::string& message) {
        std::fprintf(stderr, "m4350cap: %s\n", message.c_str());
        return 1;
    };
    auto warn = [](const std::string& message) {
        std::fprintf(stderr, "m4350cap: warning: %s\n", message.c_str());
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
    // Live viewing runs until it is stopped; anything else has an end.
    const bool untilStopped = toStdout && !frames && !duration;
    if (!frames && !duration && !untilStopped)
        duration = 5;
    if (toStdout && isatty(STDOUT_FILENO))
        return fail("standard output is a terminal: pipe it, for example -o - | ffplay -");
    if (toStdout && snapshot)
        return fail("--snapshot writes PNG files into the output folder: give one with -o DIR");
    if (toStdout && json == "-")
        return fail("-o - and --json - would both write to standard output: give --json a file");
    auto captured = [&](int n) {
        return n == 0 ||
               std::find(channels.begin(), channels.end(), uint32_t(n - 1)) != channels.end();
    };

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
        if (!captured(n))
            warn("--format " + text + ": channel " + std::to_string(n) +
                 " is not captured (--channels " + channelsText + ")");
        requests[n] = *r;
    }
    std::map<int, PictureOptions> picture;
    struct PictureOption {
        const char* name;
        const std::vector<std::string>& values;
        std::optional<int32_t> PictureOptions::*field;
        const ControlRange& range;
    };
    const PictureOption pictureOptions[] = {
        {"--brightness", brightness, &PictureOptions::brightness, BrightnessRange},
        {"--contrast", contrast, &PictureOptions::contrast, ContrastRange},
        {"--hue", hue, &PictureOptions::hue, HueRange},
        {"--saturation", saturation, &PictureOptions::saturation, SaturationRange},
        {"--color", color, &PictureOptions::color, ColorEnableRange},
    };
    for (const PictureOption& o : pictureOptions) {
        const int lo = o.range.minimum, hi = o.range.maximum;
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
                if (end == value.c_str() || *end || parsed < lo || parsed > hi)
                    return fail(std::string(o.name) + " " + text + ": the value must be " +
                                std::to_string(lo) + " to " + std::to_string(hi) +
                                (lo == 0 && hi == 1 ? " (or on/off)" : ""));
                v = int(parsed);
            }
            if (!captured(n))
                warn(std::string(o.name) + " " + text + ": channel " + std::to_string(n) +
                     " is not captured (--channels " + channelsText + ")");
            picture[n].*o.field = v;
        }
    }

    // The JSON file first: a path that cannot be written is known before
    // anything is captured.
    std::FILE* jsonFile = nullptr;
    if (json == "-") {
        jsonFile = stdout;
    } else if (!json.empty()) {
        jsonFile = std::fopen(json.c_str(), "w");
        if (!jsonFile)
            return fail("cannot create " + json + ": " + std::strerror(errno));
    }
    struct JsonCloser {
        std::FILE*& file;
        ~JsonCloser() {
            if (file && file != stdout)
                std::fclose(file);
        }
    } jsonCloser{jsonFile};

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGPIPE, SIG_IGN); // a closed pipe is a failed write (EPIPE)
    std::signal(SIGXFSZ, SIG_IGN); // a file over its size limit is one too (EFBIG)

    // Progress of the bring-up goes where the summary goes.
    std::FILE* table = toStdout || json == "-" ? stderr : stdout;
    std::ostream& progress = table == stderr ? std::cerr : std::cout;
    tools::RigOptions rigOptions;
    rigOptions.boards = boards;
    rigOptions.systemRoot = root;
    rigOptions.firmware = firmware;
    rigOptions.busBytesPerMicroframe = uint32_t(busLimit * 1e6 / 8000.0 + 0.5);
    rigOptions.sharedController = sharedBus;
    rigOptions.driverLog = driverLog;
    rigOptions.driverImage = driverImage;
    tools::BoardRig rig;
    std::ostringstream discard;
    if (!rig.BringUp(rigOptions, quiet ? discard : progress, &error))
        return fail(error);

    const std::optional<bool> pal =
        standard.empty() ? std::nullopt : std::optional<bool>(standard == "pal");
    if (list)
        return List(rig, pal);

    // Every channel's format is checked against what its standard for this
    // run offers before anything on the board changes.
    std::vector<ChannelSetup> setups;
    for (uint32_t b = 0; b < boards; ++b) {
        for (uint32_t c : channels) {
            ChannelSetup setup;
            setup.board = b;
            setup.channel = c;
            setup.frameLimit = frames;
            auto r = requests.find(int(c + 1));
            if (r == requests.end())
                r = requests.find(0);
            if (r != requests.end()) {
                setup.request = r->second;
            } else {
                setup.request.subtype = Subtype::Uyvy;
                setup.request.text = "uyvy";
            }
            setup.pal = pal;
            PictureOptions p = picture[0];
            const PictureOptions& own = picture[int(c + 1)];
            for (const PictureOption& o : pictureOptions)
                if (own.*o.field)
                    p.*o.field = own.*o.field;
            setup.picture = p;
            std::vector<OfferedFormat> offered;
            if (pal)
                offered = CatalogueFormats(*pal);
            else if (!QueryChannelFormats(b, c, &offered, &error))
                return fail(error);
            if (!ChooseFormat(offered, setup.request, &error)) {
                const bool channelPal = !offered.empty() && offered.front().pal;
                const char* name = channelPal ? "PAL" : "NTSC";
                return fail("board " + std::to_string(b + 1) + " channel " + std::to_string(c + 1) +
                            ": " + error +
                            (pal ? std::string("\n(that is what ") + name + " offers)"
                                 : std::string("\n(the channel is set to ") + name +
                                       "; --standard " + (channelPal ? "ntsc" : "pal") +
                                       " switches it)"));
            }
            setups.push_back(std::move(setup));
        }
    }

    // From here on the board changes; every way out goes through finish, which
    // stops the pins, puts back what the run changed and takes the boards down.
    std::vector<std::unique_ptr<ChannelCapture>> captures;
    MosaicStream mosaicStream;
    auto finish = [&](int status) {
        mosaicStream.Stop();
        for (auto& capture : captures)
            capture->Stop();
        std::vector<std::string> notes;
        for (auto& capture : captures)
            capture->Restore(&notes);
        for (const std::string& note : notes)
            std::fprintf(stderr, "m4350cap: %s\n", note.c_str());
        captures.clear();
        rig.TearDown();
        return status;
    };
    auto interruptedDuringStart = [&] {
        std::fprintf(stderr, "m4350cap: interrupted while starting; nothing captured\n");
        return finish(130);
    };
    for (ChannelSetup& setup : setups) {
        if (Interrupted())
            return interruptedDuringStart();
        captures.push_back(std::make_unique<ChannelCapture>(rig, setup));
        if (!captures.back()->Open(&error))
            return finish(fail(error));
    }

    BandwidthCheck(rig, captures, progress);

    std::error_code ec;
    if (!toStdout) {
        std::filesystem::create_directories(output, ec);
        if (ec)
            return finish(fail("cannot create the folder " + output + ": " + ec.message()));
    }
    const bool keepLatest = snapshot || mosaic;
    for (auto& capture : captures) {
        if (Interrupted())
            return interruptedDuringStart();
        OutputPlan plan;
        plan.keepLatest = keepLatest;
        plan.fill = !noFill;
        if (toStdout && !mosaic)
            plan.stream = stdout;
        else if (!toStdout)
            plan.folder = output;
        if (!capture->Start(plan, &error))
            return finish(fail(error));
    }
    if (mosaic && !mosaicStream.Start(captures, toStdout ? "-" : output + "/mosaic.y4m", &error))
        return finish(fail(error));

    // Figures count from here, once every pin runs; rates and CPU from the
    // first frame.
    const auto busAtStart = BusBytes(rig);
    const auto begin = std::chrono::steady_clock::now();
    std::optional<std::chrono::steady_clock::time_point> firstFrame;
    double cpuAtFirstFrame = 0;
    LiveStatus live(captures, !quiet && isatty(STDERR_FILENO));
    bool readerGone = false;
    for (;;) {
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        if (!firstFrame && std::any_of(captures.begin(), captures.end(),
                                       [](const auto& c) { return c->Figures().frames > 0; })) {
            firstFrame = std::chrono::steady_clock::now();
            cpuAtFirstFrame = ProcessCpuSeconds();
        }
        readerGone = readerGone || mosaicStream.ReaderGone() || (toStdout && ReaderGone()) ||
                     std::any_of(captures.begin(), captures.end(),
                                 [](const auto& c) { return c->Figures().readerGone; });
        const bool done =
            Interrupted() || readerGone || (duration && elapsed >= duration) ||
            std::all_of(captures.begin(), captures.end(), [](const auto& c) { return c->Done(); });
        live.Update(elapsed);
        if (done)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const auto end = std::chrono::steady_clock::now();
    mosaicStream.Stop();
    auto busBytes = BusBytes(rig);
    for (size_t i = 0; i < busBytes.size(); ++i)
        busBytes[i] -= busAtStart[i];
    for (auto& capture : captures)
        capture->Freeze();
    for (auto& capture : captures)
        capture->Stop();
    live.Finish();
    // The pins are closed and the board still runs: the restore goes in
    // before the board's last save of its settings.
    std::vector<std::string> notes;
    for (auto& capture : captures)
        capture->Restore(&notes);
    for (const std::string& note : notes)
        std::fprintf(stderr, "m4350cap: %s\n", note.c_str());

    Summary summary;
    summary.wall = std::chrono::duration<double>(end - begin).count();
    summary.capture = firstFrame ? std::chrono::duration<double>(end - *firstFrame).count() : 0;
    summary.systemRoot = rig.SystemRoot().string();
    summary.busBytes = busBytes;
    summary.processCpu = firstFrame ? ProcessCpuSeconds() - cpuAtFirstFrame : 0;
    summary.mosaicCpu = mosaicStream.CpuSeconds();
    int status = 0;
    if (snapshot && !WriteSnapshots(captures, output, table, &error)) {
        std::fprintf(stderr, "m4350cap: %s\n", error.c_str());
        status = 1;
    }
    PrintSummary(rig, captures, summary, table);
    if (mosaic && !toStdout && !mosaicStream.Failed())
        std::fprintf(table, "wrote: %s/mosaic.y4m\n  watch: ffplay %s/mosaic.y4m\n", output.c_str(),
                     output.c_str());
    if (mosaicStream.Failed()) {
        std::fprintf(stderr, "m4350cap: the mosaic stopped: %s\n", mosaicStream.Error().c_str());
        status = 1;
    }
    if (readerGone)
        std::fprintf(stderr, "m4350cap: the reader of standard output has gone; stopped\n");
    for (auto& capture : captures) {
        const ChannelFigures f = capture->Figures();
        if (!f.writeError.empty()) {
            std::fprintf(stderr, "m4350cap: %s stopped at its first failed write: %s\n",
                         capture->Name().c_str(), f.writeError.c_str());
            status = 1;
        } else if (f.frames == 0 && !Interrupted() && !readerGone) {
            std::fprintf(stderr, "m4350cap: %s delivered no frame\n", capture->Name().c_str());
            status = 1;
        }
    }
    if (jsonFile) {
        std::FILE* file = std::exchange(jsonFile, nullptr);
        if (!WriteJson(file, json, rig, captures, summary, &error)) {
            std::fprintf(stderr, "m4350cap: %s\n", error.c_str());
            status = 1;
        }
    }
    captures.clear();
    rig.TearDown();
    return status;
}

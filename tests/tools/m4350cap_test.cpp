// m4350cap run as a person runs it, with short captures: every output kind
// read back with the libraries viewers use, the figures it reports checked
// against each other, and its refusals.
#include "tool_process.h"

#include <gtest/gtest.h>

#include <jpeglib.h>
#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>

#include <unistd.h>

using m4350::test::RunTool;
using m4350::test::TempFolder;
using m4350::test::ToolRun;

namespace {

class CaptureTool : public ::testing::Test {
protected:
    // The tool with this test's own system root and output folder.
    ToolRun Cap(std::vector<std::string> args, double timeScale = 1) {
        return Cap(std::move(args), {}, timeScale);
    }
    ToolRun Cap(std::vector<std::string> args, m4350::test::RunOptions options,
                double timeScale = 1) {
        args.insert(args.begin(), {"--system-root", (root.Path() / "root").string()});
        options.env.push_back("M4350_TIME_SCALE=" + std::to_string(timeScale));
        return RunTool(M4350CAP_PATH, args, options);
    }
    std::string Out(const std::string& name) const { return (out.Path() / name).string(); }

    TempFolder root, out;
};

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Y4m {
    std::map<char, std::string> header; // W, H, F, C, ...
    size_t frames = 0;
    bool whole = false; // every frame complete
};

// Parses a Y4M stream: the header line, then "FRAME\n" and the planes.
Y4m ParseY4m(const std::string& s) {
    Y4m y;
    const size_t eol = s.find('\n');
    if (s.rfind("YUV4MPEG2 ", 0) != 0 || eol == std::string::npos)
        return y;
    std::string line = s.substr(10, eol - 10) + " ";
    for (size_t p = 0, q; (q = line.find(' ', p)) != std::string::npos; p = q + 1)
        if (q > p)
            y.header[line[p]] = line.substr(p + 1, q - p - 1);
    const size_t w = std::stoul(y.header['W']), h = std::stoul(y.header['H']);
    const size_t planes = y.header['C'] == "mono" ? w * h : w * h * 2;
    size_t at = eol + 1;
    y.whole = true;
    while (at < s.size()) {
        if (s.compare(at, 6, "FRAME\n") != 0 || at + 6 + planes > s.size()) {
            y.whole = false;
            break;
        }
        at += 6 + planes;
        ++y.frames;
    }
    return y;
}

struct Image {
    uint32_t width = 0, height = 0;
    bool ok = false;
    std::vector<uint8_t> rgb; // PNG only: R, G, B rows
};

Image DecodePng(const std::string& path) {
    Image image;
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, path.c_str()))
        return image;
    png.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(png));
    image.ok = png_image_finish_read(&png, nullptr, pixels.data(), 0, nullptr) != 0;
    image.width = png.width;
    image.height = png.height;
    image.rgb = std::move(pixels);
    png_image_free(&png);
    return image;
}

struct JpegError {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
};

Image DecodeJpeg(const uint8_t* data, size_t size) {
    Image image;
    jpeg_decompress_struct cinfo;
    JpegError error;
    cinfo.err = jpeg_std_error(&error.mgr);
    error.mgr.error_exit = [](j_common_ptr c) {
        std::longjmp(reinterpret_cast<JpegError*>(c->err)->jump, 1);
    };
    if (setjmp(error.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return {};
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
    jpeg_read_header(&cinfo, TRUE);
    jpeg_start_decompress(&cinfo);
    std::vector<uint8_t> row(size_t(cinfo.output_width) * cinfo.output_components);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW r = row.data();
        jpeg_read_scanlines(&cinfo, &r, 1);
    }
    image.width = cinfo.output_width;
    image.height = cinfo.output_height;
    image.ok = true;
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return image;
}

// The JPEGs of an MJPEG stream, split at their start-of-image markers.
std::vector<Image> DecodeMjpeg(const std::string& s) {
    std::vector<Image> images;
    std::vector<size_t> starts;
    for (size_t p = s.find("\xFF\xD8\xFF"); p != std::string::npos;
         p = s.find("\xFF\xD8\xFF", p + 3))
        starts.push_back(p);
    for (size_t i = 0; i < starts.size(); ++i) {
        const size_t end = i + 1 < starts.size() ? starts[i + 1] : s.size();
        images.push_back(
            DecodeJpeg(reinterpret_cast<const uint8_t*>(s.data() + starts[i]), end - starts[i]));
    }
    return images;
}

// Figures of one channel from the JSON file: "name": number pairs.
std::vector<std::map<std::string, double>> JsonChannels(const std::string& json) {
    std::vector<std::map<std::string, double>> channels;
    const size_t list = json.find("\"channels\"");
    if (list == std::string::npos)
        return channels;
    const std::regex number("\"([a-z_0-9]+)\": (-?[0-9.]+)");
    for (size_t p = json.find("{\"board\"", list); p != std::string::npos;
         p = json.find("{\"board\"", p + 1)) {
        const size_t end = json.find("\"outputs\"", p);
        std::map<std::string, double> figures;
        const std::string part = json.substr(p, end - p);
        for (auto it = std::sregex_iterator(part.begin(), part.end(), number);
             it != std::sregex_iterator(); ++it)
            figures[(*it)[1]] = std::stod((*it)[2]);
        channels.push_back(figures);
    }
    return channels;
}

double JsonNumber(const std::string& json, const std::string& name) {
    std::smatch m;
    if (!std::regex_search(json, m, std::regex("\"" + name + "\": (-?[0-9.]+)")))
        return -1;
    return std::stod(m[1]);
}

TEST_F(CaptureTool, ListShowsEveryFormatOfEveryChannel) {
    const ToolRun run = Cap({"--list"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("system root: " + (root.Path() / "root").string()), std::string::npos);
    const std::regex channel("board 1, channel ([1-4]) \\(NTSC\\): 39 formats");
    EXPECT_EQ(std::distance(std::sregex_iterator(run.out.begin(), run.out.end(), channel),
                            std::sregex_iterator()),
              4);
    const std::regex row("\\n  \\[[ 0-9]{2}\\] ");
    EXPECT_EQ(std::distance(std::sregex_iterator(run.out.begin(), run.out.end(), row),
                            std::sregex_iterator()),
              4 * 39);
    EXPECT_NE(run.out.find("y800    240x320  top-down"), std::string::npos);
}

TEST_F(CaptureTool, EveryOutputKindReadsBack) {
    const ToolRun run = Cap({"-f", "1=uyvy:320x240", "-f", "2=rgb24:320x240@14.985", "-f",
                             "3=mjpg:320x240", "-f", "4=y800:240x320", "-n", "4", "-o",
                             out.Path().string(), "--snapshot", "--json", Out("figures.json")});
    ASSERT_EQ(run.exitCode, 0) << run.err << run.out;

    Y4m uyvy = ParseY4m(Slurp(Out("ch1-uyvy-320x240.y4m")));
    EXPECT_EQ(uyvy.header['W'], "320");
    EXPECT_EQ(uyvy.header['H'], "240");
    EXPECT_EQ(uyvy.header['C'], "422");
    EXPECT_EQ(uyvy.header['F'], "30000:1001");
    EXPECT_TRUE(uyvy.whole);
    EXPECT_GE(uyvy.frames, 4u);

    Y4m mono = ParseY4m(Slurp(Out("ch4-y800-240x320.y4m")));
    EXPECT_EQ(mono.header['W'], "240");
    EXPECT_EQ(mono.header['H'], "320");
    EXPECT_EQ(mono.header['C'], "mono");
    EXPECT_TRUE(mono.whole);
    EXPECT_GE(mono.frames, 4u);

    size_t pngs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(Out("ch2-rgb24-320x240"))) {
        const Image png = DecodePng(entry.path().string());
        EXPECT_TRUE(png.ok) << entry.path();
        EXPECT_EQ(png.width, 320u);
        EXPECT_EQ(png.height, 240u);
        ++pngs;
    }
    EXPECT_GE(pngs, 4u);

    const std::vector<Image> jpegs = DecodeMjpeg(Slurp(Out("ch3-mjpg-320x240.mjpeg")));
    EXPECT_GE(jpegs.size(), 4u);
    for (const Image& jpeg : jpegs) {
        EXPECT_TRUE(jpeg.ok);
        EXPECT_EQ(jpeg.width, 320u);
        EXPECT_EQ(jpeg.height, 240u);
    }

    struct Snapshot {
        const char* name;
        uint32_t width, height;
    };
    for (const Snapshot& s : {Snapshot{"ch1-snapshot.png", 320, 240},
                              {"ch4-snapshot.png", 240, 320},
                              {"mosaic.png", 704, 608}}) {
        const Image png = DecodePng(Out(s.name));
        EXPECT_TRUE(png.ok) << s.name;
        EXPECT_EQ(png.width, s.width) << s.name;
        EXPECT_EQ(png.height, s.height) << s.name;
    }

    // What the JSON says agrees with the files and with itself.
    const auto channels = JsonChannels(Slurp(Out("figures.json")));
    ASSERT_EQ(channels.size(), 4u);
    const size_t written[] = {uyvy.frames, pngs, jpegs.size(), mono.frames};
    for (size_t i = 0; i < 4; ++i) {
        auto c = channels[i];
        EXPECT_EQ(c["channel"], double(i + 1));
        EXPECT_EQ(c["frames"], double(written[i]) + c["tool_drops"]) << "channel " << i + 1;
        EXPECT_EQ(c["picture_number"], c["delivered"] + c["drop_count"]);
        EXPECT_EQ(c["bad_stamps"], 0);
        EXPECT_GT(c["samples"], 0) << "latency samples";
        EXPECT_LE(c["median"], c["p99"]);
    }
}

TEST_F(CaptureTool, StandardOutputCarriesOneChannelAsY4m) {
    const ToolRun run = Cap({"-c", "2", "-f", "yuy2:320x240", "-n", "3", "-o", "-"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    Y4m y = ParseY4m(run.out);
    EXPECT_EQ(y.header['W'], "320");
    EXPECT_EQ(y.header['C'], "422");
    EXPECT_TRUE(y.whole);
    EXPECT_GE(y.frames, 3u);
    EXPECT_NE(run.err.find("ch2"), std::string::npos) << "the summary goes to standard error";
}

TEST_F(CaptureTool, MosaicStreamsAsY4m) {
    const ToolRun run = Cap({"-f", "y800:320x240", "--mosaic", "-d", "0.5", "-o", "-"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    Y4m y = ParseY4m(run.out);
    EXPECT_EQ(y.header['W'], "704");
    EXPECT_EQ(y.header['H'], "608");
    EXPECT_TRUE(y.whole);
    EXPECT_GE(y.frames, 1u);
}

TEST_F(CaptureTool, RefusesWhatItCannotDoAndSaysWhy) {
    struct Case {
        std::vector<std::string> args;
        const char* message;
    };
    const Case cases[] = {
        {{"-f", "xyz"}, "unknown pixel format \"xyz\""},
        {{"-f", "uyvy:123x45"}, "it offers"},
        {{"-f", "uyvy:640x480@7"}, "it offers 29.97, 14.985"},
        {{"-f", "uyvy:704x576"}, "--standard pal switches it"},
        {{"-f", "5=uyvy"}, "must be 1 to 4"},
        {{"--channels", "1,5"}, "--channels takes channel numbers 1 to 4"},
        {{"-o", "-"}, "writes one channel to standard output"},
        {{"--brightness", "200"}, "must be -127 to 127"},
        {{"--frames", "3", "--duration", "1"}, "not both"},
        {{"--firmware", "/nonexistent/f.bin"}, "m4350fwimage /nonexistent/f.bin"},
        {{"--standard", "secam"}, "--standard"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        auto has = [&](const char* a) {
            return std::find(args.begin(), args.end(), a) != args.end();
        };
        if (!has("-o"))
            args.insert(args.end(), {"-o", out.Path().string()});
        if (!has("--frames"))
            args.insert(args.end(), {"-n", "1"});
        const ToolRun run = Cap(args);
        EXPECT_NE(run.exitCode, 0) << c.message;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    }
    // The offer lists the channel's formats, as --list names them.
    const ToolRun run = Cap({"-f", "rgb24:1x1", "-n", "1"});
    EXPECT_NE(run.err.find("rgb24:640x480@29.97"), std::string::npos) << run.err;
}

// The bus cases run four times slower than real time: board, bus and
// driver waits alike, so every ratio holds while a busy machine has four
// times the time for each frame.
constexpr double kSlow = 4;

// Four full-size PAL colour channels need 81.9 MB/s of a bus that carries
// 53.2: the bus runs full, the board drops what does not fit, and the drops
// it counts are the gaps in the frame numbers stamped in the pictures.
TEST_F(CaptureTool, FullBusDropsShowAsGapsInTheFrameNumbers) {
    const ToolRun run = Cap({"--standard", "pal", "-f", "uyvy:704x576", "-d", "4", "-o",
                             out.Path().string(), "--json", Out("figures.json")},
                            kSlow);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("warning: USB bus 1: the chosen modes need 81.9 MB/s but the bus "
                           "carries 53.2 MB/s"),
              std::string::npos)
        << run.out;
    const std::string json = Slurp(Out("figures.json"));
    const auto channels = JsonChannels(json);
    ASSERT_EQ(channels.size(), 4u);
    double boardDrops = 0;
    for (auto c : channels) {
        const double missing = c["stamp_gaps"] - c["drop_count"] - c["tool_drops"];
        // Drops after a channel's last picture are not gaps yet.
        EXPECT_LE(missing, c["board_drops"]) << "channel " << c["channel"];
        EXPECT_LE(c["board_drops"], missing + c["board_captured"] - c["last_stamp"])
            << "channel " << c["channel"];
        EXPECT_EQ(c["bad_stamps"], 0);
        boardDrops += c["board_drops"];
    }
    EXPECT_GT(boardDrops, 0);
    const double carried = JsonNumber(json, "bytes_per_second");
    // Idle: 97 to 99 % of the limit. On a machine as busy as a shared
    // sanitizer build the driver's reads are sometimes not back in time and
    // the bus idles for want of work; that is not the fault looked for here.
    // More than the limit is.
    EXPECT_GE(carried, 0.5 * 53248000 / kSlow) << "the bus carries what the boards send";
    EXPECT_LE(carried, 1.01 * 53248000 / kSlow) << "and never beyond its limit";
}

TEST_F(CaptureTool, TwoFullSizeChannelsFitTheBus) {
    const ToolRun run = Cap({"--standard", "pal", "-c", "1,3", "-f", "uyvy:704x576", "-d", "3",
                             "-o", out.Path().string(), "--json", Out("figures.json")},
                            kSlow);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out.find("warning"), std::string::npos) << run.out;
    const auto channels = JsonChannels(Slurp(Out("figures.json")));
    ASSERT_EQ(channels.size(), 2u);
    for (auto c : channels) {
        EXPECT_EQ(c["board_drops"], 0) << "channel " << c["channel"];
        EXPECT_GE(c["frames"], 10);
    }
}

// Picture options go to the channels through the proc-amp property set and
// show in what arrives.
TEST_F(CaptureTool, PictureOptionsReachTheirChannels) {
    const ToolRun run = Cap({"--standard", "ntsc", "-c", "1,2,3", "-f", "uyvy:320x240", "--color",
                             "1=off", "--brightness", "2=100", "--brightness", "3=-100", "-n", "3",
                             "--snapshot", "-o", out.Path().string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const Image grey = DecodePng(Out("ch1-snapshot.png"));
    ASSERT_TRUE(grey.ok);
    int colourful = 0;
    for (size_t i = 0; i + 2 < grey.rgb.size(); i += 3)
        colourful += std::abs(grey.rgb[i] - grey.rgb[i + 1]) > 4 ||
                     std::abs(grey.rgb[i + 1] - grey.rgb[i + 2]) > 4;
    EXPECT_EQ(colourful, 0) << "colour off gives a grey picture";
    auto mean = [](const Image& image) {
        double sum = 0;
        for (uint8_t v : image.rgb)
            sum += v;
        return image.rgb.empty() ? 0.0 : sum / double(image.rgb.size());
    };
    const Image bright = DecodePng(Out("ch2-snapshot.png"));
    const Image dark = DecodePng(Out("ch3-snapshot.png"));
    ASSERT_TRUE(bright.ok && dark.ok);
    EXPECT_GT(mean(bright), mean(dark) + 60);
}

// Cases that wait on no time-out run on a quicker clock: the bring-up is
// most of their time.
constexpr double kQuick = 0.25;

// Reads a Y4M stream from a pipe until `frames` whole frames have come (or
// the stream ends), then closes it, as a viewer closed by its user does.
struct StreamReader {
    size_t frames;
    Y4m seen;
    void operator()(int fd) {
        std::string data;
        char chunk[65536];
        ssize_t n;
        while ((n = read(fd, chunk, sizeof chunk)) > 0) {
            data.append(chunk, size_t(n));
            seen = ParseY4m(data);
            if (seen.frames >= frames)
                break;
        }
    }
};

// A viewer that goes away ends a live run: cleanly, status 0, whatever is
// streamed, and without --frames or --duration it would run for ever.
TEST_F(CaptureTool, ClosedPipeEndsALiveRun) {
    struct Case {
        std::vector<std::string> args;
        const char* width;
    } cases[] = {{{"-c", "3", "-f", "uyvy:320x240"}, "320"},
                 {{"--mosaic", "-f", "y800:320x240"}, "704"}};
    for (const Case& c : cases) {
        StreamReader reader{4, {}};
        m4350::test::RunOptions options;
        options.reader = std::ref(reader);
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-o", "-"});
        const ToolRun run = Cap(args, options, kQuick);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(reader.seen.header['W'], c.width);
        EXPECT_GE(reader.seen.frames, 4u);
        EXPECT_NE(run.err.find("the reader of standard output has gone"), std::string::npos)
            << run.err;
    }
}

// --frames is exact on every channel, whatever its format; pictures repeated
// to keep time come on top and are counted apart.
TEST_F(CaptureTool, FramesStopsEveryChannelAtExactlyN) {
    const ToolRun run =
        Cap({"-f", "1=uyvy:320x240", "-f", "2=rgb24:320x240", "-f", "3=mjpg:320x240", "-f",
             "4=y800:640x480", "-n", "7", "-o", out.Path().string(), "--json", Out("figures.json")},
            kQuick);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    auto channels = JsonChannels(Slurp(Out("figures.json")));
    ASSERT_EQ(channels.size(), 4u);
    for (auto c : channels) {
        EXPECT_EQ(c["frames"], 7) << "channel " << c["channel"];
        EXPECT_EQ(c["written"] + c["tool_drops"], 7) << "channel " << c["channel"];
    }
    const Y4m y = ParseY4m(Slurp(Out("ch1-uyvy-320x240.y4m")));
    EXPECT_TRUE(y.whole);
    EXPECT_EQ(double(y.frames), channels[0]["written"] + channels[0]["repeated"]);
}

// A file system that refuses a write: every output kind stops at its first
// failure, keeps only whole frames, says which file and why, counts the
// frames, never calls a failed file written, and the run fails. The limit
// on a file's size (RLIMIT_FSIZE) fails a write just as a full disk does.
TEST_F(CaptureTool, FailedWritesStopTheChannelAndKeepWholeFrames) {
    struct Case {
        const char* what;
        std::vector<std::string> args;
        off_t limit;
        const char* file; // the output that fails
    } cases[] = {
        {"Y4M", {"-c", "1,4", "-f", "uyvy:320x240", "-n", "10"}, 400000, "ch1-uyvy-320x240.y4m"},
        {"MJPEG", {"-c", "2", "-f", "mjpg:640x480", "-n", "30"}, 200000, "ch2-mjpg-640x480.mjpeg"},
        {"PNG frames", {"-c", "3", "-f", "rgb24:320x240", "-n", "5"}, 1000, "ch3-rgb24-320x240"},
        {"mosaic", {"-c", "1", "-f", "y800:320x240", "-n", "30", "--mosaic"}, 300000, "mosaic.y4m"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempFolder folder;
        const std::string dir = (folder.Path() / "out").string();
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-o", dir, "--json", Out("figures.json")});
        m4350::test::RunOptions options;
        options.fileSizeLimit = c.limit;
        const ToolRun run = Cap(args, options, kQuick);
        EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
        const std::string path = dir + "/" + c.file;
        EXPECT_NE(run.err.find("cannot write " + path), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("File too large"), std::string::npos) << run.err;
        EXPECT_EQ(run.out.find("wrote: " + path), std::string::npos) << run.out;
        const std::string data = std::filesystem::is_directory(path) ? "" : Slurp(path);
        if (std::string(c.file).ends_with(".y4m")) {
            EXPECT_TRUE(ParseY4m(data).whole);
        } else if (std::string(c.file).ends_with(".mjpeg")) {
            ASSERT_GE(data.size(), 2u);
            EXPECT_EQ(data.substr(data.size() - 2), "\xFF\xD9") << "ends on a whole JPEG";
        } else {
            for (const auto& entry : std::filesystem::directory_iterator(path))
                EXPECT_TRUE(DecodePng(entry.path().string()).ok) << entry.path();
        }
        if (std::string(c.what) != "mosaic") {
            auto channels = JsonChannels(Slurp(Out("figures.json")));
            ASSERT_FALSE(channels.empty());
            EXPECT_GE(channels[0]["write_failed"], 1);
            if (std::string(c.file).ends_with(".y4m")) {
                EXPECT_EQ(double(ParseY4m(data).frames),
                          channels[0]["written"] + channels[0]["repeated"]);
            }
        }
    }
}

// Keeping time: the Y4M of a channel that lost frames on a full bus holds a
// picture for every frame number; with --no-fill only what arrived.
TEST_F(CaptureTool, FillingKeepsTheFrameCount) {
    for (bool fill : {true, false}) {
        SCOPED_TRACE(fill ? "filled" : "--no-fill");
        // Four channels need 19.6 MB/s of a bus that carries 8: the board
        // drops about three frames in five.
        std::vector<std::string> args = {
            "-f", "uyvy:320x240", "--bus-limit",       "8",      "-d",
            "1",  "-o",           out.Path().string(), "--json", Out("figures.json")};
        if (!fill)
            args.push_back("--no-fill");
        const ToolRun run = Cap(args);
        ASSERT_EQ(run.exitCode, 0) << run.err;
        const auto channels = JsonChannels(Slurp(Out("figures.json")));
        ASSERT_EQ(channels.size(), 4u);
        double repeated = 0;
        for (size_t i = 0; i < 4; ++i) {
            auto c = channels[i];
            const Y4m y = ParseY4m(Slurp(Out("ch" + std::to_string(i + 1) + "-uyvy-320x240.y4m")));
            EXPECT_EQ(double(y.frames), c["written"] + c["repeated"]) << "channel " << i + 1;
            EXPECT_LE(c["repeated"], c["stamp_gaps"]);
            repeated += c["repeated"];
        }
        EXPECT_EQ(repeated > 0, fill) << "the bus dropped frames; filling repeats pictures";
    }
}

// A second run into the same folder leaves nothing of the first.
TEST_F(CaptureTool, FrameFolderHoldsOnlyThisRunsFrames) {
    for (const char* n : {"6", "2"}) {
        const ToolRun run =
            Cap({"-c", "2", "-f", "rgb24:320x240", "-n", n, "-o", out.Path().string()});
        ASSERT_EQ(run.exitCode, 0) << run.err;
    }
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(Out("ch2-rgb24-320x240")))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, std::vector<std::string>({"000001.png", "000002.png"}));
}

// --list with a standard shows that standard's formats and leaves the board
// as it was.
TEST_F(CaptureTool, ListShowsTheStandardAskedForWithoutChangingIt) {
    const ToolRun pal = Cap({"--list", "--standard", "PAL"}, kQuick);
    ASSERT_EQ(pal.exitCode, 0) << pal.err;
    EXPECT_NE(pal.out.find("board 1, channel 4 (PAL, with --standard pal; set to NTSC now)"),
              std::string::npos)
        << pal.out;
    EXPECT_NE(pal.out.find("uyvy    704x576"), std::string::npos);
    const ToolRun now = Cap({"--list"}, kQuick);
    EXPECT_NE(now.out.find("board 1, channel 1 (NTSC): 39 formats"), std::string::npos) << now.out;
}

// The table fits an 80-column terminal with the widest names it shows.
TEST_F(CaptureTool, SummaryFitsEightyColumns) {
    const ToolRun run = Cap({"--boards", "2", "-c", "1", "-f", "rgb24:320x240@14.985", "-n", "2",
                             "-o", out.Path().string()},
                            kQuick);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const size_t table = run.out.find("\nch ");
    ASSERT_NE(table, std::string::npos) << run.out;
    EXPECT_NE(run.out.find("b2-ch1 rgb24:320x240@14.985"), std::string::npos) << run.out;
    std::istringstream lines(run.out.substr(table));
    for (std::string line; std::getline(lines, line);)
        if (line.find("watch:") == std::string::npos && line.find("wrote:") == std::string::npos) {
            EXPECT_LT(line.size(), 80u) << line;
        }
}

// The live lines on an 80-column terminal: each redraw stays on its line,
// so none may reach the last column.
TEST_F(CaptureTool, LiveLinesFitTheTerminal) {
    std::string screen;
    m4350::test::RunOptions options;
    options.terminalColumns = 80;
    options.terminal = [&](int fd) {
        char chunk[4096];
        ssize_t n;
        while ((n = read(fd, chunk, sizeof chunk)) > 0) // EIO once the tool has gone
            screen.append(chunk, size_t(n));
    };
    const ToolRun run = Cap({"--boards", "2", "-c", "1,2", "-f", "rgb24:320x240@14.985", "-d",
                             "1.2", "-o", out.Path().string()},
                            options, kQuick);
    ASSERT_EQ(run.exitCode, 0) << screen;
    // What the terminal shows: escape sequences take no column, and \r and
    // \n start a line anew.
    const std::string shown = std::regex_replace(screen, std::regex("\033\\[[0-9]*[A-Za-z]"), "");
    size_t lines = 0;
    std::istringstream in(std::regex_replace(shown, std::regex("\r"), "\n"));
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("b2-ch2 ", 0) == 0) {
            ++lines;
            EXPECT_LT(line.size(), 80u) << line;
        }
    }
    EXPECT_GE(lines, 2u) << "drawn live and redrawn:\n" << shown;
}

// The rough edges a new user meets, each with what is said and the status.
TEST_F(CaptureTool, OptionsMeanWhatTheySay) {
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* said; // on standard error
    } cases[] = {
        {{"-d", "0"}, 1, "--duration: takes a number of seconds above 0, not 0"},
        {{"-d", "nan"}, 1, "above 0, not nan"},
        {{"-d", "-2"}, 1, "above 0, not -2"},
        {{"--frobnicate"}, 1, "--frobnicate"},
        {{"-n", "0"}, 1, "--frames"},
        {{"--snapshot", "-o", "-", "-c", "1"}, 1, "--snapshot writes PNG files"},
        {{"--json", "/nonexistent/figures.json"}, 1, "cannot create /nonexistent/figures.json"},
        {{"-c", "1", "-f", "2=y800", "--standard", "NTSC", "-n", "1"},
         0,
         "warning: --format 2=y800: channel 2 is not captured"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        if (std::find(args.begin(), args.end(), "-o") == args.end())
            args.insert(args.end(), {"-o", out.Path().string()});
        const ToolRun run = Cap(args, kQuick);
        EXPECT_EQ(run.exitCode, c.status) << c.said << "\n" << run.err;
        EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;
        EXPECT_LT(run.err.size(), 300u) << "said briefly";
    }
    // The JSON path is checked before any board comes up.
    const ToolRun early = Cap({"--json", "/nonexistent/f.json", "-o", out.Path().string()}, kQuick);
    EXPECT_EQ(early.out.find("system root"), std::string::npos) << early.out;
    // --json - puts the figures on standard output, the table on standard error.
    const ToolRun json =
        Cap({"-c", "1", "-n", "2", "--json", "-", "-o", out.Path().string()}, kQuick);
    ASSERT_EQ(json.exitCode, 0) << json.err;
    EXPECT_EQ(JsonChannels(json.out).size(), 1u) << json.out;
    EXPECT_NE(json.err.find("\nch "), std::string::npos);
}

} // namespace

// m4350cfg run as a person runs it, with m4350cap beside it: what each
// refuses and what it reports, which settings outlive a run, and every
// command the README shows.
#include "tool_process.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

using m4350::test::RunOptions;
using m4350::test::RunTool;
using m4350::test::TempFolder;
using m4350::test::ToolRun;

namespace {

// Nothing here waits on a time-out; a quicker clock shortens every bring-up.
constexpr const char* kQuick = "M4350_TIME_SCALE=0.25";

class ConfigTool : public ::testing::Test {
protected:
    ToolRun Run(const char* program, std::vector<std::string> args, RunOptions options = {}) {
        args.insert(args.begin(), {"--system-root", (root.Path() / "root").string(), "-q"});
        options.env.push_back(kQuick);
        return RunTool(program, args, options);
    }
    ToolRun Cfg(std::vector<std::string> args) { return Run(M4350CFG_PATH, std::move(args)); }
    ToolRun Cap(std::vector<std::string> args, RunOptions options = {}) {
        args.insert(args.end(), {"-o", (root.Path() / "capture").string()});
        return Run(M4350CAP_PATH, std::move(args), options);
    }
    // What the driver holds for channel 1, as m4350cfg shows it.
    std::string Get(const std::string& attribute) {
        const ToolRun run = Cfg({"get", attribute, "-c", "1"});
        EXPECT_EQ(run.exitCode, 0) << run.err;
        return run.out;
    }
    void SetUp() override { ASSERT_EQ(Cfg({"register"}).exitCode, 0); }

    TempFolder root;
};

// Reads standard output until some bytes have come, then closes it.
void CloseAfterSomeBytes(int fd) {
    char chunk[65536];
    size_t total = 0;
    ssize_t n;
    while (total < 400000 && (n = read(fd, chunk, sizeof chunk)) > 0)
        total += size_t(n);
}

TEST_F(ConfigTool, SetRefusesWhatTheDriverDoesNotTakeAndShowsWhatItHolds) {
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* said; // on standard output when it succeeds, else on standard error
    } cases[] = {
        {{"set", "brightness", "500", "-c", "1"}, 1, "brightness takes -127 to 127"},
        {{"set", "contrast", "-1", "-c", "1"}, 1, "contrast takes 0 to 255"},
        {{"set", "format", "99", "-c", "1"}, 1, "format takes ntsc (1), pal (2)"},
        {{"set", "color", "0", "-c", "1"}, 1, "color takes planar-yuv (1), packed-yuv (2)"},
        {{"frobnicate"}, 1, "unknown command 'frobnicate'; the commands are get, set"},
        {{"get"}, 1, "attribute is required"},
        {{"set", "hue", "-64", "-c", "2"}, 0, "channel 2 hue -64\n"},
        {{"set", "color", "mono", "-c", "3"}, 0, "channel 3 color 4 (mono)\n"},
        {{"get", "format", "-c", "1"}, 0, "channel 1 format 1 (ntsc)\n"},
    };
    for (const Case& c : cases) {
        const ToolRun run = Cfg(c.args);
        EXPECT_EQ(run.exitCode, c.status) << c.said << "\n" << run.err;
        EXPECT_NE((c.status ? run.err : run.out).find(c.said), std::string::npos)
            << run.out << run.err;
    }
    // Nothing refused reached the driver.
    EXPECT_EQ(Get("brightness"), "channel 1 brightness 0\n");
    EXPECT_EQ(Get("format"), "channel 1 format 1 (ntsc)\n");
}

// m4350cap's standard and picture options hold for its run only; what
// m4350cfg sets stays, and a capture does not undo it.
TEST_F(ConfigTool, CaptureRestoresWhatItChangedAndKeepsWhatWasConfigured) {
    struct Step {
        const char* program;
        std::vector<std::string> args;
        bool live; // -o -, ended by its reader
    };
    struct Case {
        const char* what;
        std::vector<Step> steps;
        const char* attribute;
        const char* after;
    } cases[] = {
        // In this order: the last one configures what the others expect untouched.
        {"picture option",
         {{M4350CAP_PATH, {"-c", "1", "--brightness", "30", "-n", "2"}, false}},
         "brightness",
         "channel 1 brightness 0\n"},
        {"standard",
         {{M4350CAP_PATH,
           {"-c", "1", "--standard", "pal", "-f", "uyvy:352x288", "-n", "2"},
           false}},
         "format",
         "channel 1 format 1 (ntsc)\n"},
        {"live run ended by its viewer",
         {{M4350CAP_PATH, {"-c", "1", "-f", "y800:320x240", "--contrast", "200"}, true}},
         "contrast",
         "channel 1 contrast 92\n"},
        {"configured, then captured",
         {{M4350CFG_PATH, {"set", "brightness", "30", "-c", "1"}, false},
          {M4350CAP_PATH, {"-c", "1", "-n", "2"}, false}},
         "brightness",
         "channel 1 brightness 30\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (const Step& step : c.steps) {
            std::vector<std::string> args = step.args;
            RunOptions options;
            if (step.live)
                options.reader = CloseAfterSomeBytes;
            const ToolRun run = step.program == std::string(M4350CAP_PATH)
                                    ? Cap(args, options)
                                    : Run(step.program, args, options);
            ASSERT_EQ(run.exitCode, 0) << run.err;
        }
        EXPECT_EQ(Get(c.attribute), c.after);
    }
}

std::vector<std::string> Words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;)
        words.push_back(w);
    return words;
}

// Every command of the README's examples, as written, with only -d and -n
// shortened and a reader that checks the stream in place of ffplay.
TEST(Readme, EveryCommandRuns) {
    std::ifstream file(M4350_SOURCE_DIR "/README.md");
    ASSERT_TRUE(file);
    TempFolder home, cwd;
    {
        std::ofstream image(cwd.Path() / "image.bin", std::ios::binary);
        for (int i = 0; i < 1024; ++i)
            image.put(char(i * 7));
    }
    RunOptions base;
    base.env = {"XDG_STATE_HOME=" + home.Path().string(), kQuick};
    base.cwd = cwd.Path();
    size_t commands = 0;
    bool inCode = false;
    for (std::string line; std::getline(file, line);) {
        if (line.rfind("```", 0) == 0) {
            inCode = line == "```sh";
            continue;
        }
        const size_t comment = line.find(" #");
        if (!inCode || line.empty() || line.rfind("scripts/", 0) == 0 ||
            line.rfind("cmake ", 0) == 0 || line.rfind("ctest ", 0) == 0)
            continue;
        if (comment != std::string::npos)
            line.resize(comment);
        const size_t pipe = line.find('|');
        std::vector<std::string> args = Words(line.substr(0, pipe));
        SCOPED_TRACE(line);
        ASSERT_FALSE(args.empty());
        const std::string program =
            args.front() == "m4350cap" || args.front() == "build/default/bin/m4350cap"
                ? M4350CAP_PATH
            : args.front() == "build/default/bin/m4350cfg" ? M4350CFG_PATH
                                                           : "";
        ASSERT_FALSE(program.empty()) << "a README command this test does not know";
        args.erase(args.begin());
        // A driver image is the windows build's, made after this suite runs
        // in a fresh tree: such a command runs only where the image exists.
        const auto image = std::find(args.begin(), args.end(), "--driver-image");
        if (image != args.end() && image + 1 != args.end()) {
            image[1] = M4350_SOURCE_DIR "/" + image[1];
            if (!std::filesystem::exists(image[1])) {
                std::printf("not run here, no driver image: %s\n", line.c_str());
                continue;
            }
        }
        for (size_t i = 0; i + 1 < args.size(); ++i) {
            if (args[i] == "-d")
                args[i + 1] = "0.5";
            if (args[i] == "-n")
                args[i + 1] = "3";
        }
        RunOptions options = base;
        size_t frames = 0;
        std::string header;
        if (pipe != std::string::npos) {
            ASSERT_EQ(Words(line.substr(pipe + 1)), std::vector<std::string>({"ffplay", "-"}));
            // The stream a viewer gets: a Y4M header, then whole frames; the
            // reader leaves after three of them.
            options.reader = [&](int fd) {
                std::string data;
                char chunk[65536];
                ssize_t n;
                while ((n = read(fd, chunk, sizeof chunk)) > 0) {
                    data.append(chunk, size_t(n));
                    const size_t eol = data.find('\n');
                    if (eol == std::string::npos)
                        continue;
                    header = data.substr(0, eol);
                    std::istringstream fields(header);
                    size_t w = 0, h = 0;
                    for (std::string f; fields >> f;) {
                        if (f[0] == 'W')
                            w = std::stoul(f.substr(1));
                        if (f[0] == 'H')
                            h = std::stoul(f.substr(1));
                    }
                    const size_t frame =
                        6 + w * h * (header.find("Cmono") != std::string::npos ? 1 : 2);
                    frames = (data.size() - eol - 1) / frame;
                    if (frames >= 3)
                        break;
                }
            };
        }
        const ToolRun run = RunTool(program, args, options);
        EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
        if (pipe != std::string::npos) {
            EXPECT_EQ(header.rfind("YUV4MPEG2 W", 0), 0u) << header;
            EXPECT_GE(frames, 3u);
        }
        ++commands;
    }
    EXPECT_GE(commands, 15u) << "the README's examples were found";
}

} // namespace

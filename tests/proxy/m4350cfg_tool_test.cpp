// m4350cfg run as a process, as a person runs it, over simulated boards in a
// system root of the test's own.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

std::string Slurp(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class M4350cfgTool : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("m4350cfg-test-" + std::to_string(getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(root_);
    }
    void TearDown() override { fs::remove_all(root_); }

    Outcome Cfg(const std::string& arguments) {
        const fs::path out = root_ / "stdout.txt";
        const fs::path err = root_ / "stderr.txt";
        const std::string command = std::string("'") + M4350CFG_PROGRAM + "' --system-root '" +
                                    (root_ / "system").string() + "' " + arguments + " >'" +
                                    out.string() + "' 2>'" + err.string() + "'";
        Outcome run;
        int raw = std::system(command.c_str());
        run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        run.out = Slurp(out);
        run.err = Slurp(err);
        return run;
    }

    fs::path WriteFile(const std::string& name, size_t size, unsigned seed) {
        std::vector<char> bytes(size);
        for (size_t i = 0; i < size; ++i) {
            bytes[i] = static_cast<char>((i * 31 + seed) & 0xFF);
        }
        const fs::path path = root_ / name;
        std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(size));
        return path;
    }

    fs::path root_;
};

#define EXPECT_RUN(run, code, text)                                                                \
    do {                                                                                           \
        const Outcome& r_ = (run);                                                                 \
        EXPECT_EQ(r_.status, code) << "stdout:\n" << r_.out << "stderr:\n" << r_.err;              \
        EXPECT_NE((r_.out + r_.err).find(text), std::string::npos)                                 \
            << "looked for: " << (text) << "\nstdout:\n"                                           \
            << r_.out << "stderr:\n"                                                               \
            << r_.err;                                                                             \
    } while (0)

TEST_F(M4350cfgTool, ThePluginMustBeRegisteredAndCanBeRemovedAgain) {
    EXPECT_RUN(Cfg("-q serial"), 1, "run 'm4350cfg register' first");
    EXPECT_RUN(Cfg("register"), 0, "registered ");
    EXPECT_RUN(Cfg("-q serial"), 0, "serial 0x00123456 (1193046)");
    EXPECT_RUN(Cfg("unregister"), 0, "unregistered ");
    EXPECT_RUN(Cfg("-q serial"), 1, "not registered");
}

TEST_F(M4350cfgTool, VersionsByNameAndAll) {
    ASSERT_EQ(Cfg("register").status, 0);
    Outcome all = Cfg("-q version");
    EXPECT_RUN(all, 0, "controller 0x00000205\n");
    EXPECT_NE(all.out.find("board 0x00010203\n"), std::string::npos) << all.out;
    EXPECT_NE(all.out.find("driver 0x0001004B\n"), std::string::npos) << all.out;
    EXPECT_NE(all.out.find("interface 0x00010001\n"), std::string::npos) << all.out;
    EXPECT_RUN(Cfg("-q version driver"), 0, "driver 0x0001004B");
    EXPECT_RUN(Cfg("-q version 9"), 0, "selector 9 0x00000000");
}

TEST_F(M4350cfgTool, AttributeSetIsSeenByTheNextRun) {
    ASSERT_EQ(Cfg("register").status, 0);
    EXPECT_RUN(Cfg("-q set brightness 40 --channel 2"), 0, "channel 2 brightness 40");
    Outcome get = Cfg("-q get brightness");
    EXPECT_RUN(get, 0, "channel 2 brightness 40\n");
    EXPECT_NE(get.out.find("channel 1 brightness 0\n"), std::string::npos) << get.out;
    EXPECT_RUN(Cfg("-q set hue -5 -c all"), 0, "channel 4 hue -5");
    EXPECT_RUN(Cfg("-q get hue -c 3"), 0, "channel 3 hue -5");
}

TEST_F(M4350cfgTool, FixedStandardPersists) {
    ASSERT_EQ(Cfg("register").status, 0);
    EXPECT_RUN(Cfg("-q standard"), 0, "fixed standard none");
    EXPECT_RUN(Cfg("-q standard fixed pal"), 0, "fixed standard pal");
    EXPECT_RUN(Cfg("-q standard"), 0, "fixed standard pal");
    EXPECT_RUN(Cfg("-q get format -c 1"), 0, "channel 1 format 2");
    EXPECT_RUN(Cfg("-q standard fixed none"), 0, "fixed standard none");
}

// The board keeps its EEPROM in <system root>/m4350sim/eeprom0.bin, so a write
// in one run is what a verify in the next run compares against. A full 8 KiB
// image also replaces the serial record at its top (0x1FF0-0x1FFF): from then
// on the board reports the serial number the image carries there, or 0 when
// the record has no signature byte left; a shorter image leaves it alone.
TEST_F(M4350cfgTool, EepromWrittenInOneRunIsWhatTheNextRunVerifies) {
    ASSERT_EQ(Cfg("register").status, 0);
    const fs::path board = root_ / "system" / "m4350sim" / "eeprom0.bin";

    const fs::path half = WriteFile("half.bin", 4096, 7);
    EXPECT_RUN(Cfg("-q eeprom write '" + half.string() + "'"), 0, "EEPROM verified: 4096 bytes");
    EXPECT_RUN(Cfg("-q serial"), 0, "serial 0x00123456 (1193046)");

    struct Case {
        const char* name;
        std::vector<uint8_t> record; // the image's last 16 bytes
        const char* serial;
    } cases[] = {
        {"signed.bin",
         {0xAA, 0xBB, 0xCC, 0xDD, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0xAB, 0xCD, 0xEF},
         "serial 0x00ABCDEF (11259375)"},
        {"unsigned.bin",
         {0x00, 0x00, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0xAB, 0xCD, 0xEF},
         "serial 0x00000000 (0)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path image = WriteFile(c.name, 8192, 11);
        {
            std::fstream edit(image, std::ios::binary | std::ios::in | std::ios::out);
            edit.seekp(0x1FF0);
            edit.write(reinterpret_cast<const char*>(c.record.data()), 16);
        }
        EXPECT_RUN(Cfg("-q eeprom write '" + image.string() + "'"), 0,
                   "EEPROM verified: 8192 bytes");
        EXPECT_EQ(Slurp(board), Slurp(image));
        EXPECT_RUN(Cfg("-q eeprom verify '" + image.string() + "'"), 0,
                   "EEPROM verified: 8192 bytes match");
        EXPECT_RUN(Cfg("-q serial"), 0, c.serial);
    }
    // The same image but for the serial record differs, in a later run too.
    const fs::path other = WriteFile("other.bin", 8192, 11);
    EXPECT_RUN(Cfg("-q eeprom verify '" + other.string() + "'"), 1, "the EEPROM differs from");
    const fs::path big = WriteFile("big.bin", 8193, 1);
    EXPECT_RUN(Cfg("-q eeprom write '" + big.string() + "'"), 1, "at most 8192");
    EXPECT_EQ(fs::file_size(board), 8192u);
}

TEST_F(M4350cfgTool, BadArgumentsSayWhatIsWrong) {
    struct Case {
        const char* arguments;
        const char* message;
    } cases[] = {
        {"-q set brightness 40", "--channel is required"},
        {"-q get scale", "scale not in"},
        {"-q get hue --channel 5", "--channel takes 1 to 4 or all"},
        {"-q version firmware", "selector"},
        {"-q standard fixed secam", "secam"},
        {"-q --board 2 serial", "there is no board 2"},
        {"", "A subcommand is required"},
    };
    for (const Case& c : cases) {
        Outcome run = Cfg(c.arguments);
        EXPECT_NE(run.status, 0) << c.arguments;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << c.arguments << "\nstderr:\n"
                                                              << run.err;
    }
}

} // namespace

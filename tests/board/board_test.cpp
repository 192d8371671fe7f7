// The Board: its channels' modes from the registry and the settings file,
// open and power-down, the set-mode command on the wire, and its memory.
#include "driver_test.h"

#include "board/board.h"
#include "device/pool_tags.h"
#include "device/settings.h"

#include <host/kernel.h>
#include <host/services.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <optional>

namespace m4350test {
namespace {

const wchar_t Parameters[] = L"m4350av\\Parameters";

ULONG Word(const std::vector<UCHAR>& bytes, size_t offset) {
    ULONG value;
    std::memcpy(&value, bytes.data() + offset, 4);
    return value;
}

class BoardTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        dev.emplace();
        // The board answers every set-mode that asks for it, as the parser
        // would on the board's acknowledgement.
        dev->stack().answer = [this](const UsbRequest& r) {
            if (acknowledge && r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
                r.data.size() == CommandPacketSize && Word(r.data, 8) == CMD_SET_MODE &&
                Word(r.data, 52) == 1) {
                KeSetEvent(&device()->modeAckEvent[3 - Word(r.data, 4)], 1, FALSE);
            }
            return UsbAnswer::Complete(sendStatus);
        };
    }
    void TearDown() override {
        if (board) {
            releaseBoardNumber(board);
            Board::destroy(board);
        }
        dev.reset();
        DriverTest::TearDown();
    }
    CaptureDevice* device() { return dev->get(); }

    Board* Create() {
        board = Board::create(device());
        return board;
    }

    std::vector<std::vector<UCHAR>> SetModePackets() {
        std::vector<std::vector<UCHAR>> packets;
        for (const UsbRequest& r :
             dev->stack().requestsWith(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)) {
            packets.push_back(r.data);
        }
        return packets;
    }

    std::optional<TestDevice> dev;
    Board* board = nullptr;
    bool acknowledge = true;
    NTSTATUS sendStatus = STATUS_SUCCESS;
};

// --- Default modes ---------------------------------------------------------

struct DefaultCase {
    const char* name;
    ULONG palDefault, fixedStandard, monoDefault, fdecDefault, deinterlace;
    ULONG format, scale, color, fdec;
};

class BoardDefaultTest : public BoardTest, public ::testing::WithParamInterface<DefaultCase> {};

TEST_P(BoardDefaultTest, DefaultRecordFollowsTheRegistry) {
    const DefaultCase& c = GetParam();
    struct {
        const wchar_t* name;
        ULONG value;
    } values[] = {{L"PALDefault", c.palDefault},
                  {L"FixedStandard", c.fixedStandard},
                  {L"MONODefault", c.monoDefault},
                  {L"FDECDefault", c.fdecDefault},
                  {L"Deinterlace", c.deinterlace}};
    for (const auto& v : values) {
        if (v.value) {
            host::SetServiceDword(Parameters, v.name, v.value);
        }
    }
    ASSERT_NE(Create(), nullptr);
    EXPECT_EQ(host::DebugLogCount("using default"), 4u);
    for (ULONG b = 0; b < BoardChannelCount; ++b) {
        const ModeSettings& m = board->modes[b];
        EXPECT_EQ(m.format, c.format) << b;
        EXPECT_EQ(m.scale, c.scale) << b;
        EXPECT_EQ(m.color, c.color) << b;
        EXPECT_EQ(m.fdec, c.fdec) << b;
        EXPECT_EQ(m.contrast, 0x5Cu);
        EXPECT_EQ(m.saturation, 0x80u);
        EXPECT_EQ(m.usbblock, 0x1000u);
        EXPECT_EQ(m.bright | m.hue | m.single | m.restart, 0u);
        EXPECT_EQ(m.xoffset | m.yoffset, 0);
        EXPECT_EQ(board->expectedFrameSize[b], frameBytes(&m));
        EXPECT_EQ(board->modeValid[b], 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Registry, BoardDefaultTest,
    ::testing::Values(DefaultCase{"Nothing", 0, 0, 0, 0, 0, 1, 1, 3, 1},
                      DefaultCase{"PalDefault", 1, 0, 0, 0, 0, 2, 1, 3, 1},
                      DefaultCase{"FixedPalOverNtsc", 0, 2, 0, 0, 0, 2, 1, 3, 1},
                      DefaultCase{"FixedNtscOverPal", 1, 1, 0, 0, 0, 1, 1, 3, 1},
                      DefaultCase{"FixedThreeIsPal", 0, 3, 0, 0, 0, 2, 1, 3, 1},
                      DefaultCase{"Mono", 0, 0, 1, 0, 0, 1, 1, 4, 1},
                      DefaultCase{"Fdec2", 0, 0, 0, 2, 0, 1, 1, 3, 2},
                      DefaultCase{"Fdec5", 0, 0, 0, 5, 0, 1, 1, 3, 5},
                      DefaultCase{"Deinterlace", 0, 0, 0, 0, 1, 1, 4, 3, 1}),
    [](const auto& info) { return std::string(info.param.name); });

// A value of another type than REG_DWORD reads as absent, whatever its size.
TEST_F(BoardTest, NonDwordValuesReadAsZero) {
    host::RegistrySetString(host::ServiceKeyPath(Parameters), L"FixedStandard",
                            L"a string far longer than the four bytes of a DWORD");
    std::vector<UCHAR> blob(64, 0xFF);
    host::RegistrySetValue(host::ServiceKeyPath(Parameters), L"FDECDefault", 3 /* REG_BINARY */,
                           blob.data(), blob.size());
    EXPECT_EQ(QueryParameter(L"FixedStandard"), 0u);
    EXPECT_EQ(QueryParameter(L"FDECDefault"), 0u);
    host::SetServiceDword(Parameters, L"PALDefault", 7);
    EXPECT_EQ(QueryParameter(L"PALDefault"), 7u);
}

// Without RtlQueryRegistryValuesEx the plain routine answers the same.
TEST_F(BoardTest, QueryFallsBackToThePlainRoutine) {
    host::SetServiceDword(Parameters, L"FDECDefault", 3);
    host::ResetRegistryQueryCallCount();
    EXPECT_EQ(QueryParameter(L"FDECDefault"), 3u);
    EXPECT_EQ(host::RegistryQueryCallCount().ex, 1u);
    host::SetRtlQueryRegistryValuesExAvailable(false);
    EXPECT_EQ(QueryParameter(L"FDECDefault"), 3u);
    EXPECT_EQ(host::RegistryQueryCallCount().plain, 1u);
    host::ResetSystemRoutines();
}

// --- The settings file -----------------------------------------------------

std::filesystem::path SettingsFile(unsigned number) {
    return host::SystemRoot() / "system32" / "drivers" /
           ("m4350dev" + std::to_string(number) + ".bin");
}

void WriteSettings(unsigned number, const void* data, size_t size) {
    std::ofstream out(SettingsFile(number), std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), std::streamsize(size));
}

struct SavedModes {
    ModeSettings modes[4];
    SavedModes() {
        for (ULONG b = 0; b < 4; ++b) {
            modes[b] = DefaultModeSettings(FormatPal);
            modes[b].scale = 3;
            modes[b].color = 2;
            modes[b].bright = 10 + b;
        }
    }
};

TEST_F(BoardTest, SavedModesAreLoaded) {
    SavedModes saved;
    WriteSettings(0, saved.modes, sizeof(saved.modes));
    ASSERT_NE(Create(), nullptr);
    EXPECT_EQ(std::memcmp(board->modes, saved.modes, sizeof(saved.modes)), 0);
    EXPECT_EQ(host::DebugLogCount("using mode format 2"), 4u);
    EXPECT_EQ(host::DebugLogCount("using default"), 0u);
    // The frame size stays the default record's until a set-mode with
    // restart programs the saved one.
    ModeSettings ntsc = DefaultModeSettings(FormatNtsc);
    for (ULONG b = 0; b < 4; ++b) {
        EXPECT_EQ(board->expectedFrameSize[b], frameBytes(&ntsc));
    }
    EXPECT_EQ(host::DebugLogCount("mx4350: "), 3u);
    EXPECT_EQ(host::DebugLogCountContaining("Read File "), 1u);
}

TEST_F(BoardTest, UnusableSettingsFileGivesDefaultsEverywhere) {
    struct Case {
        const char* name;
        std::function<std::vector<UCHAR>()> content;
        const char* message;
    };
    auto modified = [](auto change) {
        return [change] {
            SavedModes saved;
            change(saved.modes);
            std::vector<UCHAR> bytes(sizeof(saved.modes));
            std::memcpy(bytes.data(), saved.modes, bytes.size());
            return bytes;
        };
    };
    Case cases[] = {
        {"third record format 3", modified([](ModeSettings* m) { m[2].format = 3; }), nullptr},
        {"third record scale 5", modified([](ModeSettings* m) { m[2].scale = 5; }), nullptr},
        {"first record scale 0", modified([](ModeSettings* m) { m[0].scale = 0; }), nullptr},
        {"337 bytes",
         [] {
             SavedModes saved;
             std::vector<UCHAR> bytes(337);
             std::memcpy(bytes.data(), saved.modes, 336);
             return bytes;
         },
         "ReadFileToBuffer : Buffer too small"},
        {"two records only",
         [] {
             SavedModes saved;
             std::vector<UCHAR> bytes(168);
             std::memcpy(bytes.data(), saved.modes, 168);
             return bytes;
         },
         nullptr},
    };
    for (const Case& c : cases) {
        host::ClearDebugLog();
        std::vector<UCHAR> content = c.content();
        WriteSettings(0, content.data(), content.size());
        ASSERT_NE(Create(), nullptr) << c.name;
        EXPECT_EQ(host::DebugLogCount("using default"), 4u) << c.name;
        for (ULONG b = 0; b < 4; ++b) {
            EXPECT_EQ(board->modes[b].format, FormatNtsc) << c.name;
            EXPECT_EQ(board->modes[b].scale, 1u) << c.name;
            EXPECT_EQ(board->modes[b].bright, 0u) << c.name;
        }
        if (c.message) {
            EXPECT_EQ(host::DebugLogCount(c.message), 1u) << c.name;
            EXPECT_EQ(host::DebugLogCountContaining("Read Status"), 0u) << c.name;
        }
        releaseBoardNumber(board);
        Board::destroy(board);
        board = nullptr;
    }
}

TEST_F(BoardTest, SaveAndLoadRoundTrip) {
    SavedModes saved;
    EXPECT_EQ(SaveConfig(3, saved.modes), ConfigOk);
    EXPECT_EQ(std::filesystem::file_size(SettingsFile(3)), 336u);
    ModeSettings loaded[4] = {};
    EXPECT_EQ(LoadConfig(3, loaded), ConfigOk);
    EXPECT_EQ(std::memcmp(loaded, saved.modes, sizeof(loaded)), 0);
    // A second save replaces the file instead of appending to it.
    EXPECT_EQ(SaveConfig(3, saved.modes), ConfigOk);
    EXPECT_EQ(std::filesystem::file_size(SettingsFile(3)), 336u);
    EXPECT_EQ(host::DebugLogCount("save config"), 2u);

    // A file that cannot be created is reported, not taken for saved.
    std::filesystem::create_directory(SettingsFile(4));
    EXPECT_EQ(SaveConfig(4, saved.modes), FileWriteFailed);
    std::filesystem::remove(SettingsFile(4));

    EXPECT_EQ(SaveConfig(8, saved.modes), ConfigBadIndex);
    EXPECT_EQ(LoadConfig(8, loaded), ConfigBadIndex);
    EXPECT_EQ(host::DebugLogCount("too many boards"), 2u);
    // Only the low eight bits select the file.
    EXPECT_EQ(LoadConfig(0x103, loaded), ConfigOk);
    EXPECT_EQ(LoadConfig(5, loaded), FileCannotOpen);
}

// The method set's fixed standard goes to the registry and is read anew by
// whoever needs it next.
TEST_F(BoardTest, FixedStandardIsWrittenToTheRegistry) {
    WriteFixedStandard(2);
    EXPECT_EQ(host::GetServiceDword(Parameters, L"FixedStandard"), 2u);
    EXPECT_EQ(QueryParameter(L"FixedStandard"), 2u);
    EXPECT_EQ(host::DebugLogCount("fixed standard 2"), 1u);
    EXPECT_EQ(host::DebugLogCount("set val 0 to registry 2"), 1u);
    EXPECT_EQ(host::DebugLogCount("set fixed standard"), 1u);
}

// --- Board numbers ---------------------------------------------------------

// A new board takes the lowest number no running board holds, so two running
// boards never share a settings file.
TEST_F(BoardTest, BoardNumbersStayUnique) {
    Board* first = Board::create(device());
    Board* second = Board::create(device());
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(first->boardNumber, 0u);
    EXPECT_EQ(second->boardNumber, 1u);
    EXPECT_EQ(BoardCounter, 2);

    releaseBoardNumber(first);
    Board::destroy(first);
    Board* third = Board::create(device());
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(third->boardNumber, 0u);
    Board* fourth = Board::create(device());
    ASSERT_NE(fourth, nullptr);
    EXPECT_EQ(fourth->boardNumber, 2u);
    EXPECT_EQ(BoardCounter, 3);

    for (Board* b : {second, third, fourth}) {
        releaseBoardNumber(b);
        Board::destroy(b);
    }
    EXPECT_EQ(BoardCounter, 0);
}

// --- Open, modes and power -------------------------------------------------

TEST_F(BoardTest, OpenMarksTheBoardChannel) {
    ASSERT_NE(Create(), nullptr);
    board->rxNeedHeader = 0;
    board->frameCount[1] = 9;
    EXPECT_EQ(Board::open(board, 2), BoardOk);
    EXPECT_EQ(board->channelOpen[1], 1u);
    EXPECT_EQ(board->channelOpen[2], 0u);
    EXPECT_EQ(board->rxNeedHeader, 1u);
    EXPECT_EQ(board->frameCount[1], 0u);

    EXPECT_EQ(Board::open(board, 2), BoardRefused);
    EXPECT_EQ(host::DebugLogCount("m4350: board already open"), 1u);
    EXPECT_EQ(Board::open(board, 4), BoardRefused);
    EXPECT_EQ(Board::open(board, ULONG(-1)), BoardRefused);
    EXPECT_EQ(Board::open(nullptr, 0), BoardRefused);
    EXPECT_EQ(host::DebugLogCountContaining("M4350: board open: failed! "), 1u);
}

TEST_F(BoardTest, GetModeBeforeAndAfterSetMode) {
    ASSERT_NE(Create(), nullptr);
    ModeSettings mode{};
    EXPECT_EQ(getMode(board, 1, &mode), BoardRefused);
    EXPECT_EQ(mode.format, FormatNtsc);
    EXPECT_EQ(mode.contrast, 0x5Cu);

    mode.bright = 77;
    EXPECT_EQ(setMode(board, 1, &mode), 0);
    ModeSettings again{};
    EXPECT_EQ(getMode(board, 1, &again), BoardOk);
    EXPECT_EQ(again.bright, 77u);
    EXPECT_EQ(board->modes[2].bright, 77u);

    ModeSettings untouched{};
    untouched.bright = 5;
    EXPECT_EQ(getMode(board, 4, &untouched), BoardRefused);
    EXPECT_EQ(untouched.bright, 5u);
}

// After a power-down the next open reloads the firmware in a thread of its
// own and waits for it; the open after that does not.
TEST_F(BoardTest, OpenAfterPowerDownReloadsOnce) {
    ASSERT_NE(Create(), nullptr);
    EXPECT_EQ(markPoweredDown(nullptr), BoardRefused);
    EXPECT_EQ(markPoweredDown(board), BoardOk);
    EXPECT_EQ(Board::open(board, 0), BoardOk);
    EXPECT_EQ(host::DebugLogCount("m4350: board powered down or sleep mode, reloading firmware"),
              1u);
    EXPECT_EQ(board->poweredDown, 0u);
    EXPECT_EQ(board->channelOpen[3], 1u);
    EXPECT_EQ(host::DebugLogCount("[m4350]. firmware load failed"), 1u);

    EXPECT_EQ(Board::open(board, 1), BoardOk);
    EXPECT_EQ(host::DebugLogCount("m4350: board powered down or sleep mode, reloading firmware"),
              1u);
}

// When no thread can be started for the reload, the caller does not wait for
// one: it goes on as after a failed reload.
TEST_F(BoardTest, ReloadWithoutThreadGoesOn) {
    ASSERT_NE(Create(), nullptr);
    markPoweredDown(board);
    host::FailAllocationsWithTag(host::PoolTag("Thre"));
    LONG opened = Board::open(board, 0);
    host::ClearPoolFaults();
    EXPECT_EQ(opened, BoardOk);
    EXPECT_EQ(board->poweredDown, 0u);
    EXPECT_EQ(host::DebugLogCount("[m4350]. firmware load failed"), 1u);
    EXPECT_EQ(host::DebugLogCount("query firmware failed"), 0u);
}

// --- The set-mode command --------------------------------------------------

TEST_F(BoardTest, SetModeWithRestartOnTheWire) {
    ASSERT_NE(Create(), nullptr);
    ModeSettings mode = DefaultModeSettings(FormatNtsc);
    mode.color = 2;
    mode.restart = 1;
    mode.reserved[3] = 0xDEAD;
    EXPECT_EQ(setMode(board, 0, &mode), 0);

    auto packets = SetModePackets();
    ASSERT_EQ(packets.size(), 1u);
    const std::vector<UCHAR>& p = packets[0];
    ASSERT_EQ(p.size(), 512u);
    EXPECT_EQ(Word(p, 0), 0x4350C0DEu);
    EXPECT_EQ(Word(p, 4), 3u); // channel 0 is board channel 3
    EXPECT_EQ(Word(p, 8), 0xC4350010u);
    EXPECT_EQ(Word(p, 12), FormatNtsc);
    EXPECT_EQ(Word(p, 20), 2u);
    EXPECT_EQ(Word(p, 48), 0x4000u);
    EXPECT_EQ(Word(p, 52), 1u);
    for (size_t offset = 64; offset < 512; offset += 4) {
        EXPECT_EQ(Word(p, offset), 0u) << offset;
    }

    // The stored copy keeps the caller's block size; the caller's record
    // comes back as sent.
    EXPECT_EQ(board->modes[3].usbblock, 0x1000u);
    EXPECT_EQ(board->modeValid[3], 1u);
    EXPECT_EQ(mode.usbblock, 0x4000u);
    EXPECT_EQ(mode.reserved[3], 0u);
    EXPECT_EQ(board->expectedFrameSize[3], 622592u);
    EXPECT_EQ(host::DebugLogCount("set mode expired"), 0u);
    // The acknowledgement was waited for and consumed.
    EXPECT_EQ(KeReadStateEvent(&device()->modeAckEvent[0]), 0);
    EXPECT_EQ(host::DebugLogCount("Usbblock: 0x4000"), 1u);
    EXPECT_EQ(host::DebugLogCount("MODE settings"), 1u);
}

TEST_F(BoardTest, SetModeWithoutRestartWaitsForNothing) {
    ASSERT_NE(Create(), nullptr);
    acknowledge = false;
    ModeSettings mode = DefaultModeSettings(FormatPal);
    mode.scale = 3;
    mode.color = 4;
    mode.bright = 0x40;
    ULONG before = board->expectedFrameSize[2];
    EXPECT_EQ(setMode(board, 1, &mode), 0);
    EXPECT_EQ(SetModePackets().size(), 1u);
    EXPECT_EQ(board->expectedFrameSize[2], before);
    EXPECT_EQ(mode.usbblock, 0x1000u);
    EXPECT_EQ(host::DebugLogCount("set mode expired"), 0u);

    mode.restart = 1;
    acknowledge = true;
    EXPECT_EQ(setMode(board, 1, &mode), 0);
    EXPECT_EQ(board->expectedFrameSize[2], 114688u);
}

// A board that never acknowledges costs every restart its 900 ms wait.
TEST_F(BoardTest, UnacknowledgedSetModeExpires) {
    ASSERT_NE(Create(), nullptr);
    acknowledge = false;
    host::SetTimeScale(0.001);
    ModeSettings mode = DefaultModeSettings(FormatNtsc);
    mode.restart = 1;
    EXPECT_EQ(setMode(board, 2, &mode), 0);
    EXPECT_EQ(host::DebugLogCount("set mode expired"), 1u);

    // A failed send still waits, and its failure is the result.
    sendStatus = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(setMode(board, 2, &mode), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(host::DebugLogCount("set mode expired"), 2u);
    EXPECT_EQ(board->modeValid[1], 1u);
}

TEST_F(BoardTest, SetModeRefusals) {
    ASSERT_NE(Create(), nullptr);
    ModeSettings mode = DefaultModeSettings(FormatNtsc);
    EXPECT_EQ(setMode(board, 4, &mode), BoardRefused);
    EXPECT_EQ(setMode(nullptr, 0, &mode), BoardRefused);
    EXPECT_TRUE(SetModePackets().empty());

    // Without packet memory the mode is stored but nothing is sent.
    mode.bright = 3;
    host::FailAllocationsWithTag(BoardTag);
    EXPECT_EQ(setMode(board, 0, &mode), BoardRefused);
    host::ClearPoolFaults();
    EXPECT_EQ(host::DebugLogCount("out of mem"), 1u);
    EXPECT_EQ(board->modes[3].bright, 3u);
    EXPECT_TRUE(SetModePackets().empty());
}

struct PositionCase {
    const char* name;
    ULONG boardNumber;
    std::vector<std::pair<const wchar_t*, LONG>> values;
    LONG callerX, callerY; // what the caller passes
    LONG sentX, sentY;
    const char* message;
};

class PositionTest : public BoardTest, public ::testing::WithParamInterface<PositionCase> {};

TEST_P(PositionTest, PositionsComeFromTheRegistry) {
    const PositionCase& c = GetParam();
    for (const auto& [name, value] : c.values) {
        host::SetServiceDword(Parameters, name, ULONG(value));
    }
    ASSERT_NE(Create(), nullptr);
    ULONG realNumber = board->boardNumber;
    board->boardNumber = c.boardNumber;
    ModeSettings mode = DefaultModeSettings(FormatNtsc);
    mode.xoffset = c.callerX;
    mode.yoffset = c.callerY;
    EXPECT_EQ(setMode(board, 1, &mode), 0);
    board->boardNumber = realNumber;

    auto packets = SetModePackets();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(LONG(Word(packets[0], 12 + 44)), c.sentX);
    EXPECT_EQ(LONG(Word(packets[0], 12 + 48)), c.sentY);
    EXPECT_EQ(mode.xoffset, c.sentX);
    EXPECT_EQ(mode.yoffset, c.sentY);
    // The stored copy keeps what the caller gave.
    EXPECT_EQ(board->modes[2].xoffset, c.callerX);
    if (c.message) {
        EXPECT_EQ(host::DebugLogCount(c.message), 1u);
    } else {
        EXPECT_EQ(host::DebugLogCountContaining("invalid(out of range)"), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Registry, PositionTest,
    ::testing::Values(
        PositionCase{"InRange", 0, {{L"xpos1", 10}, {L"ypos1", -4}}, 3, 3, 10, -4, nullptr},
        PositionCase{"XTooLarge",
                     0,
                     {{L"xpos1", 11}},
                     3,
                     3,
                     0,
                     0,
                     "position 11 invalid(out of range), using 0"},
        PositionCase{"XTooSmall",
                     0,
                     {{L"xpos1", -11}},
                     0,
                     0,
                     0,
                     0,
                     "position -11 invalid(out of range), using 0"},
        PositionCase{"YTooSmall",
                     0,
                     {{L"ypos1", -5}, {L"xpos1", -10}},
                     0,
                     0,
                     -10,
                     0,
                     "position invalid(out of range), using 0"},
        PositionCase{"OtherChannelIgnored", 0, {{L"xpos0", 5}}, 0, 0, 0, 0, nullptr},
        PositionCase{"BoardOneSuffix",
                     1,
                     {{L"xpos1", 4}, {L"xpos1_b1", -7}, {L"ypos1_b1", 2}},
                     0,
                     0,
                     -7,
                     2,
                     nullptr},
        PositionCase{"BoardThreeSuffix", 3, {{L"ypos1_b3", 1}}, 0, 0, 0, 1, nullptr},
        PositionCase{"BoardFiveKeepsCallers", 5, {{L"xpos1", 4}}, 7, -2, 7, -2, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Frame size and memory -------------------------------------------------

TEST(FrameBytes, SizesByModeAndColour) {
    struct Case {
        ULONG format, scale, color, bytes;
    } cases[] = {
        {1, 1, 2, 622592},     {1, 4, 3, 622592}, {1, 1, 4, 311296}, {1, 2, 2, 311296},
        {1, 2, 4, 163840},     {1, 3, 2, 163840}, {1, 3, 4, 81920},  {2, 1, 2, 819200},
        {2, 4, 4, 409600},     {2, 2, 2, 409600}, {2, 2, 4, 212992}, {2, 3, 2, 212992},
        {2, 3, 4, 114688},     {7, 1, 2, 311296}, {1, 9, 2, 311296}, {1, 1, 0x3205, 622592},
        {1, 1, 0x104, 311296},
    };
    for (const Case& c : cases) {
        ModeSettings mode = DefaultModeSettings(c.format);
        mode.scale = c.scale;
        mode.color = c.color;
        EXPECT_EQ(frameBytes(&mode), c.bytes)
            << "format " << c.format << " scale " << c.scale << " color " << c.color;
    }
    EXPECT_EQ(frameBytes(nullptr), 0u);
}

TEST_F(BoardTest, FrameMemoryIsAllocatedOnceAndFreedPerChannel) {
    ASSERT_NE(Create(), nullptr);
    for (ULONG b = 0; b < 4; ++b) {
        EXPECT_EQ(board->frameRings[b].bufferCount, 6u);
        EXPECT_EQ(board->buffersAllocated[b], 1u);
        EXPECT_EQ(board->frameQueues[b].capacity, 7u);
        for (const FrameBuffer& f : board->frameRings[b].buffers) {
            EXPECT_NE(f.data, nullptr);
            EXPECT_EQ(f.state, FrameFree);
        }
    }
    for (const ReadRequest& r : board->readRequests) {
        EXPECT_EQ(r.transferLength, 16384u);
        EXPECT_NE(r.buffer, nullptr);
        EXPECT_NE(r.stopEvent, nullptr);
        EXPECT_EQ(r.pipeHandle, FakeUsbStack::PipeHandle(1));
        EXPECT_EQ(r.board, board);
        EXPECT_NE(r.dataHandler, nullptr);
    }
    size_t live = host::PoolLiveCount(BoardTag);
    EXPECT_EQ(freeChannelBuffers(board, 0), BoardOk);
    EXPECT_EQ(host::PoolLiveCount(BoardTag), live - 6);
    EXPECT_EQ(board->buffersAllocated[3], 0u);
    EXPECT_EQ(board->frameRings[3].buffers[5].data, nullptr);
    EXPECT_EQ(freeChannelBuffers(board, 4), BoardRefused);
}

// Every allocation creation makes can fail; a failure either leaves a usable
// board or nothing at all, and never a leak.
TEST_F(BoardTest, AllocationFailuresDuringCreation) {
    // Count what a successful creation allocates.
    host::ClearPoolFaults();
    Create();
    ASSERT_NE(board, nullptr);
    releaseBoardNumber(board);
    Board::destroy(board);
    board = nullptr;

    size_t created = 0, refused = 0, missingSeen = 0;
    // The board, a read buffer and a stop event, the first frame buffers, a
    // queue's storage and the last allocation of all.
    for (std::uint64_t n : {1, 2, 3, 9, 10, 11, 16, 17, 37}) {
        host::ClearDebugLog();
        host::FailNthAllocation(n);
        Board* b = Board::create(device());
        host::ClearPoolFaults();
        if (b) {
            ++created;
            // A frame buffer that could not be had stays null; the board
            // is usable all the same.
            size_t missing = 0;
            for (const FrameRing& ring : b->frameRings) {
                for (const FrameBuffer& f : ring.buffers) {
                    missing += f.data == nullptr;
                }
            }
            EXPECT_EQ(missing, host::DebugLogCount("out of memory!!!!!!!!!!!!!!!!!!!!!!!!!")) << n;
            missingSeen += missing;
            releaseBoardNumber(b);
            Board::destroy(b);
        } else {
            ++refused;
            EXPECT_GE(host::DebugLogCountContaining("out of memory") +
                          host::DebugLogCountContaining("OUT of memory"),
                      1u)
                << n;
        }
        EXPECT_EQ(host::PoolLiveCount(BoardTag), 0u) << n;
        EXPECT_EQ(host::PoolLiveCount(FrameQueueTag), 0u) << n;
        EXPECT_EQ(BoardCounter, 0) << n;
    }
    EXPECT_GT(created, 0u);
    EXPECT_GT(refused, 0u);
    EXPECT_GT(missingSeen, 0u);
}

} // namespace
} // namespace m4350test

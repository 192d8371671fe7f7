// The fixture of the capture pins' system tests: the driver loaded, boards
// plugged and started on demand, client streams on their channels.
#pragma once

#include "driver_system.h"
#include "driver_test.h"
#include "pin_stream.h"

#include "board/board.h"
#include "board/mode_settings.h"
#include "device/capture_device.h"

#include <host/kernel.h>
#include <host/services.h>

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <vector>

namespace m4350test {

inline const wchar_t Parameters[] = L"m4350av\\Parameters";
inline constexpr ULONG OptionsTimeAndDuration = 0x110;

// Four channels in four formats and both standards, as the multi-stream
// tests run them: a catalogue row of each channel's standard.
struct ChannelFormat {
    ULONG standard;
    ULONG row;
    bool halfRate; // every second frame, to stay well inside the bus's rate
};
inline constexpr std::array<ChannelFormat, 4> FourChannelFormats = {{
    {1, 4, true},   // NTSC 640 x 480 YUY2
    {2, 15, false}, // PAL 352 x 288 RGB24
    {1, 24, true},  // NTSC 480 x -320 UYVY, the field portrait
    {2, 29, false}, // PAL 352 x 288 Y800
}};

inline void HalfRate(KS_DATAFORMAT_VIDEOINFOHEADER& format) {
    format.VideoInfoHeader.AvgTimePerFrame *= 2; // 667334: NTSC's exact fdec 2
}

// The mode the board holds for a filter's channel, as the board was last
// told: read from the outside, so it serves under either build of the driver.
inline ModeSettings ChannelMode(SimulatedBoard& board, ULONG channel) {
    const auto* model = dynamic_cast<const m4350::sim::Board*>(board.model.get());
    ModeSettings mode{};
    if (model) {
        const m4350::sim::ModeSettings held = model->Mode(3 - channel);
        static_assert(sizeof(held) == sizeof(mode));
        std::memcpy(&mode, &held, sizeof(mode));
    }
    return mode;
}

class PinSystemTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        // Half real time: frames come twice as fast, still well inside what
        // the bus carries and a sanitized consumer keeps up with.
        host::SetTimeScale(0.5);
        DriverSystem::InstallFirmware();
        system.emplace();
        ASSERT_EQ(system->loadStatus(), STATUS_SUCCESS);
    }
    void TearDown() override {
        streams.clear();
        system.reset();
        DriverSystem::RemoveFirmware();
        DriverTest::TearDown();
    }

    // Saved modes, by board channel, that the next start of board `number`
    // loads: how a channel comes up PAL without a fixed standard.
    static void SaveStandards(unsigned number, std::array<ULONG, 4> formatByChannel) {
        ModeSettings modes[4];
        for (ULONG n = 0; n < 4; ++n) {
            modes[3 - n] = DefaultModeSettings(formatByChannel[n]);
        }
        auto path = host::SystemRoot() / "system32" / "drivers" /
                    ("m4350dev" + std::to_string(number) + ".bin");
        std::filesystem::create_directories(path.parent_path());
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(modes), sizeof(modes));
    }

    SimulatedBoard& StartBoard() {
        m4350::sim::BoardConfig config;
        config.maxQueuedFrames = 64;
        models.push_back(MakeSimulatedBoard(config));
        SimulatedBoard& board = system->Plug(models.back());
        EXPECT_EQ(system->addStatus(), STATUS_SUCCESS);
        EXPECT_EQ(system->Start(board), STATUS_SUCCESS);
        return board;
    }

    // The frames of a board channel of the `board`-th board started.
    BoardFrames Frames(size_t board, uint32_t boardChannel) {
        return BoardFrames(models[board], boardChannel);
    }

    PinStream& OpenStream(size_t board, ULONG channel) {
        streams.push_back(std::make_unique<PinStream>());
        EXPECT_EQ(streams.back()->Open(ChannelLink(board, channel)), STATUS_SUCCESS);
        return *streams.back();
    }

    // Checks one frame's stream header and picture, and requeues its buffer.
    // A client that falls behind (a sanitized build on a loaded machine) may
    // miss frames: then the picture number jumps and the drop count and the
    // time stamp say so, and the picture is the board's frame of that number.
    static void CheckFrame(PinStream& stream, BoardFrames& board, const ReceivedFrame& frame) {
        const KS_VIDEOINFOHEADER& info = stream.format().VideoInfoHeader;
        ASSERT_EQ(frame.status, STATUS_SUCCESS);
        const LONGLONG number = frame.info.PictureNumber;
        EXPECT_GT(number, board.lastPicture());
        EXPECT_EQ(frame.info.DropCount, number - LONGLONG(board.delivered()) - 1);
        EXPECT_EQ(frame.header.PresentationTime.Time, (number - 1) * info.AvgTimePerFrame);
        EXPECT_EQ(frame.header.Duration, info.AvgTimePerFrame);
        EXPECT_EQ(frame.header.OptionsFlags, OptionsTimeAndDuration);
        EXPECT_TRUE(board.Match(info.bmiHeader, frame.data, number))
            << "frame " << number << ", " << frame.data.size() << " bytes; " << board.mismatch();
        ASSERT_EQ(stream.Queue(frame.buffer), STATUS_SUCCESS);
    }

    // Takes `count` frames, checking and requeuing each.
    static void ExpectFrames(PinStream& stream, BoardFrames& board, size_t count) {
        for (size_t k = 0; k < count; ++k) {
            ReceivedFrame frame;
            ASSERT_EQ(stream.Next(&frame), STATUS_SUCCESS) << "frame " << k;
            CheckFrame(stream, board, frame);
        }
    }

    std::optional<DriverSystem> system;
    std::vector<std::shared_ptr<m4350::sim::Board>> models;
    std::vector<std::unique_ptr<PinStream>> streams;
};

} // namespace m4350test

// The board link over the simulated bus and board: the driver starts, loads
// the firmware and sets the modes; four channels acquire different modes at
// once and every frame the parser assembles is byte for byte the frame the
// board generated; the link survives pipe-error bursts and an unplug.
#include "driver_system.h"
#include "driver_test.h"
#include "kernel_test.h"

#include "board/acquisition.h"
#include "board/board.h"
#include "capture/frame_store.h"
#include "usb/read_pipe.h"

#include <host/kernel.h>
#include <host/services.h>
#include <sim/board.h>
#include <sim/firmware_image.h>
#include <sim/frame_builder.h>
#include <sim/test_pattern.h>

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>

namespace m4350test {
namespace {

constexpr size_t FramesPerChannel = 30;

struct ChannelMode {
    ULONG format, scale, color;
};

// A different mode on each channel: sizes, standards and raw layouts.
constexpr std::array<ChannelMode, 4> Modes = {{
    {1, 1, 2},  // NTSC 640 x 480, packed 4:2:2
    {2, 3, 2},  // PAL 352 x 288
    {1, 3, 4},  // NTSC 320 x 240, luma only
    {1, 2, 15}, // NTSC 640 x 240, RGB32 (sent as planar 4:2:2)
}};

class BoardLinkSystemTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        // Real time for the stream: the consumer here must keep up with the
        // board, also in the sanitizer builds.
        host::SetTimeScale(1.0);
        DriverSystem::InstallFirmware();
        system.emplace();
        ASSERT_EQ(system->loadStatus(), STATUS_SUCCESS);
    }
    void TearDown() override {
        system.reset();
        DriverSystem::RemoveFirmware();
        DriverTest::TearDown();
    }

    SimulatedBoard& StartBoard(m4350::sim::BoardConfig config = {}) {
        // Room for the frames a slow (sanitized, loaded) bus leaves queued.
        config.maxQueuedFrames = 64;
        model = MakeSimulatedBoard(config);
        SimulatedBoard& board = system->Plug(model);
        EXPECT_EQ(system->addStatus(), STATUS_SUCCESS);
        EXPECT_EQ(system->Start(board), STATUS_SUCCESS);
        return board;
    }

    void SetModes(Board* board) {
        for (ULONG n = 0; n < 4; ++n) {
            ModeSettings mode;
            getMode(board, n, &mode);
            mode.format = Modes[n].format;
            mode.scale = Modes[n].scale;
            mode.color = Modes[n].color;
            mode.restart = 1;
            ASSERT_EQ(setMode(board, n, &mode), 0) << n;
        }
    }

    // Takes frames of every channel until each has `count`, checking each
    // against the board's own rendering of the frame the picture names.
    void VerifyFrames(Board* board, size_t count) {
        std::array<std::unique_ptr<m4350::sim::FrameBuilder>, 4> reference;
        std::array<size_t, 4> verified{};
        std::array<ULONG, 4> lastDriverNumber{};
        std::array<uint32_t, 4> lastBoardNumber{};
        std::array<uint64_t, 4> boardGaps{};
        for (ULONG n = 0; n < 4; ++n) {
            reference[n] = std::make_unique<m4350::sim::FrameBuilder>(3 - n, model->Mode(3 - n));
        }
        auto done = [&] {
            for (ULONG n = 0; n < 4; ++n) {
                LONG index;
                ULONG compressed = 0, number = 0;
                while ((index = takeFrame(board, n, &compressed, &number)) >= 0) {
                    const UCHAR* data = frameData(board, n, index);
                    CheckFrame(n, *reference[n], data, number, verified[n], lastDriverNumber[n],
                               lastBoardNumber[n], boardGaps[n]);
                    releaseFrame(board, n, index);
                    ++verified[n];
                }
            }
            for (size_t v : verified) {
                if (v < count) {
                    return false;
                }
            }
            return true;
        };
        EXPECT_TRUE(m4350::WaitUntil(done, std::chrono::seconds(60)))
            << verified[0] << " " << verified[1] << " " << verified[2] << " " << verified[3];
        // A frame the board itself never sent (its queue overflowed while the
        // bus was slow) leaves a gap in its numbers; every other gap would be
        // a frame the driver lost.
        auto counters = model->Counters();
        for (ULONG n = 0; n < 4; ++n) {
            EXPECT_LE(boardGaps[n], counters.framesDropped[3 - n]) << "channel " << n;
        }
    }

    void CheckFrame(ULONG n, m4350::sim::FrameBuilder& reference, const UCHAR* data,
                    ULONG driverNumber, size_t seen, ULONG& lastDriverNumber,
                    uint32_t& lastBoardNumber, uint64_t& boardGaps) {
        ASSERT_NE(data, nullptr);
        const auto& geometry = reference.geometry();
        auto stamp = m4350::sim::ReadStamp(data, geometry.width, geometry.height);
        ASSERT_TRUE(stamp.valid) << "channel " << n;
        EXPECT_EQ(stamp.channel, 3 - n);
        if (seen > 0) {
            EXPECT_EQ(driverNumber, lastDriverNumber + 1) << "channel " << n;
            EXPECT_GT(stamp.frameNumber, lastBoardNumber) << "channel " << n;
            boardGaps += stamp.frameNumber - lastBoardNumber - 1;
        }
        lastDriverNumber = driverNumber;
        lastBoardNumber = stamp.frameNumber;
        auto transfer = reference.Build(stamp.frameNumber);
        size_t image = geometry.frameSize - 512;
        EXPECT_EQ(std::memcmp(data, transfer.data() + 512, image), 0)
            << "channel " << n << " frame " << stamp.frameNumber;
    }

    std::optional<DriverSystem> system;
    std::shared_ptr<m4350::sim::Board> model;
};

TEST_F(BoardLinkSystemTest, FourChannelsDeliverTheBoardsFramesInOrder) {
    SimulatedBoard& sb = StartBoard();
    EXPECT_EQ(host::DebugLogCount("[M4350]: firmware downloaded successfully, retries 0"), 1u);
    EXPECT_EQ(host::DebugLogCount("[m4350av] firmware load pass"), 1u);
    Board* board = sb.device()->board;
    ASSERT_NE(board, nullptr);

    SetModes(board);
    EXPECT_EQ(host::DebugLogCount("set mode expired"), 0u);
    for (ULONG n = 0; n < 4; ++n) {
        ASSERT_EQ(Board::open(board, n), 0);
        ASSERT_EQ(startAcquisition(board, n), 0);
    }
    VerifyFrames(board, FramesPerChannel);
    KIRQL irql;
    KeAcquireSpinLock(&board->lock, &irql);
    ULONG refused = 0;
    for (ULONG b = 0; b < 4; ++b) {
        refused += board->badPayloadCount[b];
    }
    KeReleaseSpinLock(&board->lock, irql);
    EXPECT_EQ(refused, 0u);
    for (ULONG n = 0; n < 4; ++n) {
        EXPECT_EQ(stopAcquisition(board, n), 0);
    }
    ULONG version = 0;
    EXPECT_EQ(queryStatus(board, &version), StatusOutcome::Answered);
    EXPECT_EQ(version, m4350::sim::kDefaultFirmwareVersion);
    EXPECT_EQ(system->Stop(sb), STATUS_SUCCESS);
}

// What a stop saves, the next start loads.
TEST_F(BoardLinkSystemTest, StopSavesTheModesTheNextStartLoads) {
    SimulatedBoard& sb = StartBoard();
    Board* board = sb.device()->board;
    ASSERT_NE(board, nullptr);
    SetModes(board);
    ASSERT_EQ(startAcquisition(board, 1), 0);
    ASSERT_EQ(stopAcquisition(board, 1), 0);
    ModeSettings saved[4];
    std::memcpy(saved, board->modes, sizeof(saved));
    EXPECT_EQ(system->Stop(sb), STATUS_SUCCESS);

    host::ClearDebugLog();
    ASSERT_EQ(system->Start(sb), STATUS_SUCCESS);
    board = sb.device()->board;
    ASSERT_NE(board, nullptr);
    EXPECT_EQ(host::DebugLogCount("using default"), 0u);
    EXPECT_EQ(std::memcmp(board->modes, saved, sizeof(saved)), 0);
    EXPECT_EQ(system->Stop(sb), STATUS_SUCCESS);
}

// Errors on the stream pipe are recovered; frames keep coming, whole.
TEST_F(BoardLinkSystemTest, PipeErrorBurstIsSurvived) {
    SimulatedBoard& sb = StartBoard();
    Board* board = sb.device()->board;
    ASSERT_NE(board, nullptr);
    SetModes(board);
    for (ULONG n = 0; n < 4; ++n) {
        ASSERT_EQ(startAcquisition(board, n), 0);
    }
    model->AddFault({.fault = m4350::sim::Fault::FailStreamRead, .count = 8});
    EXPECT_TRUE(
        m4350::WaitUntil([] { return host::DebugLogCount("pipe error,not cancelled") == 8; },
                         std::chrono::seconds(20)));
    // The recoveries resubmit: all four reads are outstanding again.
    EXPECT_TRUE(sb.bus->WaitForPending(4, std::chrono::seconds(20)));
    VerifyFrames(board, 5);
    EXPECT_EQ(host::DebugLogCount("[RecoverFromError]: too many errors. Stopping pipe"), 0u);
    EXPECT_EQ(system->Stop(sb), STATUS_SUCCESS);
}

// Pulled while streaming: every read ends, stop goes through without
// waiting on anything, and nothing is left behind.
TEST_F(BoardLinkSystemTest, UnplugMidStreamIsSurvived) {
    SimulatedBoard& sb = StartBoard();
    Board* board = sb.device()->board;
    ASSERT_NE(board, nullptr);
    SetModes(board);
    for (ULONG n = 0; n < 4; ++n) {
        ASSERT_EQ(startAcquisition(board, n), 0);
    }
    VerifyFrames(board, 3);
    sb.bus->Unplug();
    // Each read ends: most as not connected, one whose completion was just
    // resubmitting when the cable went, by its failed resubmission.
    EXPECT_TRUE(m4350::WaitUntil([&] {
        for (const ReadRequest& request : board->readRequests) {
            if (!KeReadStateEvent(request.stopEvent)) {
                return false;
            }
        }
        return true;
    }));
    EXPECT_EQ(system->Stop(sb), STATUS_SUCCESS);
    EXPECT_FALSE(UsbPortConnected(&sb.device()->usb));
}

// A damaged image is refused by the board six times; the device starts
// without firmware.
TEST_F(BoardLinkSystemTest, CorruptImageIsRefused) {
    host::SetTimeScale(0.01);
    std::vector<uint8_t> image = m4350::sim::BuildFirmwareImage();
    image[image.size() / 2] ^= 0x40;
    std::ofstream(DriverSystem::FirmwarePath(), std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
    SimulatedBoard& sb = StartBoard();
    EXPECT_EQ(host::DebugLogCount("[m4350av] firmware load failed."), 1u);
    EXPECT_EQ(host::DebugLogCount("cycle power"), 7u);
    auto counters = model->Counters();
    EXPECT_EQ(counters.firmwareRejected, 6u);
    EXPECT_EQ(counters.lastFirmwareCheck, m4350::sim::FirmwareCheck::BadPayloadCrc);
    EXPECT_EQ(sb.device()->firmwareFailed, 1u);
    EXPECT_EQ(system->Stop(sb), STATUS_SUCCESS);
}

} // namespace
} // namespace m4350test

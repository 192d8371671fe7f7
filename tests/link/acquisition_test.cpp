// Acquisition start, stop and status: the command packets on the wire, the
// channel's frame bookkeeping, and the settings saved at every stop.
#include "driver_test.h"
#include "stream_block.h"

#include "board/acquisition.h"
#include "board/board.h"
#include "capture/stream_parser.h"
#include "device/pool_tags.h"

#include <host/kernel.h>
#include <host/services.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <thread>

namespace m4350test {
namespace {

class AcquisitionTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        dev.emplace();
        dev->stack().answer = [this](const UsbRequest& r) {
            if (r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && r.data.size() >= 12 &&
                GetWord(r.data.data() + 8) == CMD_STATUS && answerStatus) {
                // The board's answer, as the read pipe would hand it over.
                std::vector<UCHAR> block(BlockBytes);
                PutAnswer(block, 0, 3, 0x20, 0x11, 0xABCD0102);
                parseStreamBlock(board, block.data(), BlockBytes);
            }
            return UsbAnswer::Complete(r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER
                                           ? sendStatus
                                           : STATUS_SUCCESS);
        };
        board = Board::create(dev->get());
        ASSERT_NE(board, nullptr);
        host::ClearDebugLog();
    }
    void TearDown() override {
        if (board) {
            releaseBoardNumber(board);
            Board::destroy(board);
        }
        dev.reset();
        DriverTest::TearDown();
    }

    std::vector<std::vector<UCHAR>> Commands() {
        std::vector<std::vector<UCHAR>> packets;
        for (const UsbRequest& r :
             dev->stack().requestsWith(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)) {
            packets.push_back(r.data);
        }
        return packets;
    }
    std::filesystem::path SettingsFile() {
        return host::SystemRoot() / "system32" / "drivers" /
               ("m4350dev" + std::to_string(board->boardNumber) + ".bin");
    }

    std::optional<TestDevice> dev;
    Board* board = nullptr;
    NTSTATUS sendStatus = STATUS_SUCCESS;
    bool answerStatus = true;
};

struct CommandCase {
    const char* name;
    ULONG channel;
    bool stop;
    ULONG boardChannel;
    ULONG command;
};

class AcquisitionCommandTest : public AcquisitionTest,
                               public ::testing::WithParamInterface<CommandCase> {};

TEST_P(AcquisitionCommandTest, PacketNamesTheBoardChannel) {
    const CommandCase& c = GetParam();
    ASSERT_EQ(startAcquisition(board, c.channel), 0);
    if (c.stop) {
        ASSERT_EQ(stopAcquisition(board, c.channel), 0);
    }
    auto packets = Commands();
    ASSERT_EQ(packets.size(), c.stop ? 2u : 1u);
    const std::vector<UCHAR>& p = packets.back();
    ASSERT_EQ(p.size(), 512u);
    EXPECT_EQ(GetWord(p.data()), 0x4350C0DEu);
    EXPECT_EQ(GetWord(p.data() + 4), c.boardChannel);
    EXPECT_EQ(GetWord(p.data() + 8), c.command);
    EXPECT_EQ(board->acquiring[c.boardChannel], c.stop ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(Commands, AcquisitionCommandTest,
                         ::testing::Values(CommandCase{"StartChannel0", 0, false, 3, 0xC4350020},
                                           CommandCase{"StartChannel3", 3, false, 0, 0xC4350020},
                                           CommandCase{"StopChannel1", 1, true, 2, 0xC4350030}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(AcquisitionTest, StartResetsTheChannelsBookkeeping) {
    ULONG b = 1;
    board->frameCount[b] = 9;
    board->badPayloadCount[b] = 4;
    board->currentBuffer[b] = 3;
    board->paused[b] = 1;
    board->frameQueues[b].head = 2;
    board->frameQueues[b].tail = 5;
    board->frameRings[b].buffers[0].state = FrameReady;
    ASSERT_EQ(startAcquisition(board, 2), 0);
    EXPECT_EQ(board->frameCount[b], 0u);
    EXPECT_EQ(board->badPayloadCount[b], 0u);
    EXPECT_EQ(board->currentBuffer[b], 0);
    EXPECT_EQ(board->paused[b], 0u);
    EXPECT_EQ(board->frameQueues[b].head, 0u);
    EXPECT_EQ(board->frameQueues[b].tail, 0u);
    // Without `single` the first buffer keeps its state.
    EXPECT_EQ(board->frameRings[b].buffers[0].state, FrameReady);
}

TEST_F(AcquisitionTest, SingleResetsTheFirstBuffer) {
    board->modes[2].single = 1;
    board->frameRings[2].buffers[0].state = FrameReady;
    board->frameRings[2].buffers[0].fill = 77;
    ASSERT_EQ(startAcquisition(board, 1), 0);
    EXPECT_EQ(board->frameRings[2].buffers[0].state, FrameFree);
    EXPECT_EQ(board->frameRings[2].buffers[0].fill, 0u);
}

TEST_F(AcquisitionTest, SecondStartIsRefusedAndSendsNothing) {
    ASSERT_EQ(startAcquisition(board, 0), 0);
    EXPECT_EQ(startAcquisition(board, 0), -2);
    EXPECT_EQ(host::DebugLogCount("already acquiring"), 1u);
    EXPECT_EQ(Commands().size(), 1u);
}

// A firmware reload gives the channels their modes back before it starts
// them: a start that comes meanwhile waits for it, and never reaches the new
// firmware before the modes do.
TEST_F(AcquisitionTest, StartWaitsForAReloadInProgress) {
    auto reloading = [this](bool on) {
        KIRQL irql;
        KeAcquireSpinLock(&board->lock, &irql);
        board->reloading = on ? 1 : 0;
        if (on) {
            KeClearEvent(&board->reloadFinished);
        }
        KeReleaseSpinLock(&board->lock, irql);
        if (!on) {
            KeSetEvent(&board->reloadFinished, 0, FALSE);
        }
    };
    reloading(true);
    std::thread start([this] { EXPECT_EQ(startAcquisition(board, 0), 0); });
    EXPECT_FALSE(
        m4350::WaitUntil([this] { return !Commands().empty(); }, std::chrono::milliseconds(200)));
    reloading(false);
    start.join();
    ASSERT_EQ(Commands().size(), 1u);
    EXPECT_EQ(GetWord(Commands()[0].data() + 8), ULONG(CMD_START));
}

TEST_F(AcquisitionTest, BadChannelsAreRefused) {
    EXPECT_EQ(startAcquisition(board, 4), -1);
    EXPECT_EQ(stopAcquisition(board, 7), -1);
    EXPECT_EQ(host::DebugLogCount("start acquire failed, bad channel 4"), 1u);
    EXPECT_EQ(host::DebugLogCount("stop acquire failed, bad channel 7"), 1u);
    EXPECT_TRUE(Commands().empty());
    EXPECT_FALSE(std::filesystem::exists(SettingsFile()));
}

TEST_F(AcquisitionTest, StopOnAnIdleChannelSavesTheSettingsOnly) {
    board->modes[0].bright = 0x42;
    EXPECT_EQ(stopAcquisition(board, 3), -2);
    EXPECT_TRUE(Commands().empty());
    std::ifstream file(SettingsFile(), std::ios::binary);
    std::vector<UCHAR> saved((std::istreambuf_iterator<char>(file)), {});
    ASSERT_EQ(saved.size(), 336u);
    EXPECT_EQ(std::memcmp(saved.data(), board->modes, 336), 0);
}

TEST_F(AcquisitionTest, StopFreesTheRingAndWaitsForTheNextHeader) {
    ASSERT_EQ(startAcquisition(board, 1), 0);
    ASSERT_EQ(startAcquisition(board, 2), 0);
    ULONG b = 2;
    for (ULONG i = 0; i < FrameBufferCount; ++i) {
        board->frameRings[b].buffers[i].state = i % 2 ? FrameReady : FrameFilling;
        board->frameRings[b].buffers[i].fill = 1000 + i;
    }
    // The parser is receiving board channel 1, not the one stopped.
    board->rxChannel = 1;
    board->rxNeedHeader = 0;
    ASSERT_EQ(stopAcquisition(board, 1), 0);
    EXPECT_EQ(board->rxNeedHeader, 0u);
    for (ULONG i = 0; i < FrameBufferCount; ++i) {
        EXPECT_EQ(board->frameRings[b].buffers[i].state, FrameFree) << i;
        EXPECT_EQ(board->frameRings[b].buffers[i].fill, 0u) << i;
    }
    // Stopping the received channel makes the parser look for a header.
    ASSERT_EQ(stopAcquisition(board, 2), 0);
    EXPECT_EQ(board->rxNeedHeader, 1u);
    EXPECT_TRUE(std::filesystem::exists(SettingsFile()));
}

TEST_F(AcquisitionTest, FailedSendsAreOnlyLogged) {
    sendStatus = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(startAcquisition(board, 0), 0);
    EXPECT_EQ(host::DebugLogCount("M4350: CMD_START error"), 1u);
    EXPECT_EQ(board->acquiring[3], 1u);
    EXPECT_EQ(stopAcquisition(board, 0), 0);
    EXPECT_EQ(host::DebugLogCount("CMD_STOP error"), 1u);
    EXPECT_EQ(board->acquiring[3], 0u);
}

TEST_F(AcquisitionTest, NoPacketMemory) {
    host::FailAllocationsWithTag(BoardTag);
    EXPECT_EQ(startAcquisition(board, 0), -1);
    EXPECT_EQ(board->acquiring[3], 1u); // already marked
    EXPECT_EQ(stopAcquisition(board, 0), -1);
    EXPECT_EQ(board->acquiring[3], 1u); // not yet cleared
    EXPECT_EQ(host::DebugLogCount("out of mem"), 2u);
    host::ClearPoolFaults();
    EXPECT_TRUE(Commands().empty());
}

TEST_F(AcquisitionTest, StatusAnswerCarriesTheVersion) {
    ULONG version = 0;
    EXPECT_EQ(queryStatus(board, &version), StatusOutcome::Answered);
    EXPECT_EQ(version, 0xABCD0102u);
    EXPECT_EQ(board->statusValue[3], 0x11u);
    EXPECT_FALSE(KeReadStateEvent(&dev->get()->statusEvent[0])); // cleared by the waiter
    auto packets = Commands();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(GetWord(packets[0].data() + 4), 3u);
    EXPECT_EQ(GetWord(packets[0].data() + 8), 0xC4350040u);
}

TEST_F(AcquisitionTest, StatusWithoutAnswerExpires) {
    host::SetTimeScale(0.01);
    answerStatus = false;
    ULONG version = 0x77;
    EXPECT_EQ(queryStatus(board, &version), StatusOutcome::NotAnswered);
    EXPECT_EQ(host::DebugLogCount("vid status expired"), 1u);
    EXPECT_EQ(version, 0x77u);
}

// An answer left over from a query that gave up does not answer the next.
TEST_F(AcquisitionTest, LateAnswerOfAnEarlierQueryIsNotTaken) {
    host::SetTimeScale(0.01);
    KeSetEvent(&dev->get()->statusEvent[0], 1, FALSE);
    answerStatus = false;
    ULONG version = 0;
    EXPECT_EQ(queryStatus(board, &version), StatusOutcome::NotAnswered);
}

TEST_F(AcquisitionTest, StatusAnsweredAfterAFailedSendIsNotSent) {
    sendStatus = STATUS_UNSUCCESSFUL;
    ULONG version = 0;
    EXPECT_EQ(queryStatus(board, &version), StatusOutcome::NotSent);
}

} // namespace
} // namespace m4350test

// The firmware download: the image read from the drivers folder and sent in
// one padded transfer after a power cycle, the board's ready answers awaited,
// and up to six attempts.
#include "driver_test.h"
#include "kernel_test.h"
#include "read_stack.h"
#include "stream_block.h"

#include "board/board.h"
#include "capture/stream_parser.h"
#include "usb/firmware.h"
#include "usb/read_pipe.h"

#include <host/kernel.h>
#include <host/services.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>

namespace m4350test {
namespace {

class FirmwareTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        // Six attempts wait about 22 s in real time.
        host::SetTimeScale(0.001);
        dev.emplace();
        board = Board::create(dev->get());
        ASSERT_NE(board, nullptr);
        dev->get()->board = board;
        dev->stack().onWrite = [this](const std::vector<UCHAR>& data) {
            ++downloads;
            NTSTATUS status = downloads <= failedSends ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
            if (NT_SUCCESS(status) && downloads >= answerFrom) {
                // Four ready answers, one per read, as the board sends them.
                for (ULONG b = 0; b < 4; ++b) {
                    std::vector<UCHAR> block(BlockBytes);
                    PutAnswer(block, 0, b, 0x10);
                    dev->stack().Complete(nullptr, STATUS_SUCCESS, block);
                }
            }
            return status;
        };
        host::ClearDebugLog();
    }
    void TearDown() override {
        std::filesystem::remove(ImagePath());
        if (board) {
            StopReadPipe(dev->get());
            m4350::WaitUntil([] { return host::LiveWorkItemCount() == 0; });
            releaseBoardNumber(board);
            Board::destroy(board);
            dev->get()->board = nullptr;
        }
        dev.reset();
        DriverTest::TearDown();
    }

    static std::filesystem::path ImagePath() {
        return host::SystemRoot() / "system32" / "drivers" / "f4350usb.bin";
    }
    std::vector<UCHAR> InstallImage(size_t size) {
        std::vector<UCHAR> image(size);
        FillPattern(image, 0, 42);
        std::ofstream(ImagePath(), std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()), std::streamsize(size));
        return image;
    }

    std::optional<ReadStackDevice> dev;
    Board* board = nullptr;
    unsigned downloads = 0;
    unsigned answerFrom = 1;  // the board answers this download and later ones
    unsigned failedSends = 0; // the first downloads that fail on the bus
};

struct LengthCase {
    size_t image;
    size_t transfer;
};

class FirmwareLengthTest : public FirmwareTest, public ::testing::WithParamInterface<LengthCase> {};

TEST_P(FirmwareLengthTest, ImageGoesOutPaddedToTheNextWholePacket) {
    const LengthCase& c = GetParam();
    std::vector<UCHAR> image = InstallImage(c.image);
    EXPECT_EQ(LoadFirmware(dev->get()), STATUS_SUCCESS);
    EXPECT_EQ(host::DebugLogCount("[M4350]: firmware downloaded successfully, retries 0"), 1u);
    auto writes = dev->stack().writes();
    ASSERT_EQ(writes.size(), 1u);
    ASSERT_EQ(writes[0].size(), c.transfer);
    EXPECT_EQ(std::memcmp(writes[0].data(), image.data(), c.image), 0);
    for (size_t i = c.image; i < c.transfer; ++i) {
        ASSERT_EQ(writes[0][i], 0) << i;
    }
    // The event is left clear for the next download; the stream runs on.
    EXPECT_FALSE(KeReadStateEvent(&dev->get()->firmwareReadyEvent));
    EXPECT_EQ(dev->stack().pending(), 4u);
}

INSTANTIATE_TEST_SUITE_P(Sizes, FirmwareLengthTest,
                         ::testing::Values(LengthCase{1024, 1536}, LengthCase{512, 1024},
                                           LengthCase{1000, 1024}, LengthCase{1, 512},
                                           LengthCase{8191, 8192}),
                         [](const auto& info) { return std::to_string(info.param.image); });

TEST_F(FirmwareTest, BoardAnsweringTheThirdDownload) {
    InstallImage(4096);
    answerFrom = 3;
    EXPECT_EQ(LoadFirmware(dev->get()), STATUS_SUCCESS);
    EXPECT_EQ(host::DebugLogCount("[M4350]: firmware downloaded successfully, retries 2"), 1u);
    EXPECT_EQ(host::DebugLogCount("cycle power"), 3u);
    EXPECT_EQ(dev->stack().vendorRequests(0x40), 3u);
    EXPECT_EQ(dev->stack().vendorRequests(0x50), 3u);
    EXPECT_EQ(dev->stack().vendorRequests(0x10), 3u);
    EXPECT_EQ(host::DebugLogCountContaining("firmware download timed out"), 2u);
    EXPECT_EQ(host::DebugLogCount("M4350: FW load error[0].  Retrying. number retries 1"), 1u);
}

TEST_F(FirmwareTest, BoardThatNeverAnswers) {
    InstallImage(4096);
    answerFrom = ~0u;
    EXPECT_EQ(LoadFirmware(dev->get()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(downloads, 6u);
    EXPECT_EQ(host::DebugLogCountContaining("firmware download timed out. no response"), 6u);
    EXPECT_EQ(host::DebugLogCountContaining("M4350: FW load error[0].  Retrying."), 6u);
    EXPECT_EQ(host::DebugLogCount("cycle power"), 7u);
    EXPECT_EQ(host::DebugLogCount("M4350: firmware failed. max retries"), 1u);
    // The sixth failure is followed by a power cycle and a running stream.
    EXPECT_EQ(dev->stack().pending(), 4u);
}

TEST_F(FirmwareTest, FailedTransferIsRetried) {
    InstallImage(2048);
    failedSends = 1;
    EXPECT_EQ(LoadFirmware(dev->get()), STATUS_SUCCESS);
    EXPECT_EQ(host::DebugLogCount("M4350: FW load error[-1073741823].  Retrying. number retries 0"),
              1u);
    EXPECT_EQ(host::DebugLogCount("[M4350]: firmware downloaded successfully, retries 1"), 1u);
    EXPECT_EQ(host::DebugLogCount("wait fwready_to"), 1u);
}

TEST_F(FirmwareTest, MissingImageLeavesTheBoardAlone) {
    EXPECT_EQ(LoadFirmware(dev->get()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(host::DebugLogCount("query firmware failed"), 1u);
    EXPECT_EQ(host::DebugLogCountContaining("Firmware file read error"), 1u);
    EXPECT_TRUE(dev->stack().writes().empty());
    EXPECT_EQ(dev->stack().vendorRequests(0x40), 0u);
    EXPECT_EQ(dev->stack().reads(), 0u);
}

TEST_F(FirmwareTest, NoImageMemory) {
    InstallImage(1024);
    host::FailNthAllocation(1);
    EXPECT_EQ(LoadFirmware(dev->get()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(host::DebugLogCount("[M4350].  Mem alloc error"), 1u);
    EXPECT_TRUE(dev->stack().writes().empty());
}

// The board lost its power in the middle of a frame of an acquisition that
// is kept (a sleep): the boot's ready answers are answers, not the rest of
// that frame's picture.
TEST_F(FirmwareTest, FrameCutByAPowerLossTakesNoAnswerForItsPicture) {
    InstallImage(1024);
    board->acquiring[2] = 1;
    board->expectedFrameSize[2] = 622592;
    board->rxNeedHeader = 1;
    auto blocks = FrameBlocks(2, 614912, 7);
    parseStreamBlock(board, blocks[0].data(), ULONG(blocks[0].size()));
    const ULONG fill = board->frameRings[2].buffers[0].fill;
    ASSERT_EQ(board->rxNeedHeader, 0u);

    EXPECT_EQ(LoadFirmware(dev->get()), STATUS_SUCCESS);
    EXPECT_EQ(host::DebugLogCount("[M4350]: firmware downloaded successfully, retries 0"), 1u);
    EXPECT_EQ(board->frameRings[2].buffers[0].fill, fill);
}

TEST_F(FirmwareTest, PowerCycleStopsBothPipes) {
    EXPECT_EQ(ReadStream(dev->get()), 0);
    EXPECT_EQ(CyclePower(dev->get()), 0);
    EXPECT_EQ(dev->stack().count(URB_FUNCTION_ABORT_PIPE, 0), 1u);
    EXPECT_EQ(dev->stack().count(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, 0), 1u);
    EXPECT_EQ(dev->stack().count(URB_FUNCTION_ABORT_PIPE, 1), 1u);
    EXPECT_EQ(dev->stack().pending(), 0u);
    EXPECT_EQ(dev->stack().vendorRequests(0x40) + dev->stack().vendorRequests(0x50) +
                  dev->stack().vendorRequests(0x10),
              3u);
}

} // namespace
} // namespace m4350test

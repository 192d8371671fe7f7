// The read pipe over a stack whose reads the test completes one by one:
// four reads stay outstanding, errors are recovered from a work item, and
// every way a request can end signals its stop event.
#include "driver_test.h"
#include "kernel_test.h"
#include "read_stack.h"
#include "stream_block.h"

#include "board/board.h"
#include "device/pool_tags.h"
#include "usb/read_pipe.h"

#include <host/kernel.h>
#include <host/services.h>

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <thread>

namespace m4350test {
namespace {

class ReadPipeTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        dev.emplace();
        board = Board::create(dev->get());
        ASSERT_NE(board, nullptr);
        dev->get()->board = board;
        host::ClearDebugLog();
    }
    void TearDown() override {
        if (board) {
            StopReadPipe(dev->get());
            // A request that has just ended still frees its packet and drops
            // its remove-lock reference; as the device's stop does, the
            // Board and the device go only once every reference is back.
            DrainRemoveLock();
            releaseBoardNumber(board);
            Board::destroy(board);
            dev->get()->board = nullptr;
        }
        dev.reset();
        DriverTest::TearDown();
    }

    void DrainRemoveLock() {
        IO_REMOVE_LOCK* lock = &dev->get()->usb.removeLock;
        if (NT_SUCCESS(IoAcquireRemoveLockEx(lock, this, __FILE__, __LINE__, RemoveLockSize))) {
            IoReleaseRemoveLockAndWaitEx(lock, this, RemoveLockSize);
        }
    }

    // Runs StopReadPipe on a thread of its own, for a stop that has to wait.
    class BackgroundStop {
    public:
        explicit BackgroundStop(CaptureDevice* device)
            : thread_([this, device] {
                  StopReadPipe(device);
                  done_ = true;
              }) {}
        ~BackgroundStop() {
            if (thread_.joinable()) {
                thread_.join();
            }
        }
        bool done() const { return done_; }
        void Join() { thread_.join(); }

    private:
        std::atomic<bool> done_{false};
        std::thread thread_;
    };

    ReadStack& stack() { return dev->stack(); }
    ReadRequest& request(ULONG slot) { return board->readRequests[slot]; }
    bool Ended(ULONG slot) { return KeReadStateEvent(request(slot).stopEvent) != 0; }

    // An error on one request, and the recovery's resubmission.
    void FailAndRecover(ULONG slot) {
        ASSERT_TRUE(stack().Complete(request(slot).buffer, STATUS_UNSUCCESSFUL));
        ASSERT_TRUE(stack().WaitPending(4));
    }

    std::optional<ReadStackDevice> dev;
    Board* board = nullptr;
};

TEST_F(ReadPipeTest, FourReadsOfTheStreamPipeStayOutstanding) {
    EXPECT_EQ(ReadStream(dev->get()), 0);
    EXPECT_EQ(stack().pending(), 4u);
    EXPECT_EQ(stack().lastReadLength(), ReadTransferLength);
    EXPECT_EQ(stack().lastReadFlags(), ULONG(USBD_TRANSFER_DIRECTION_IN));
    EXPECT_EQ(stack().lastReadUrbLength(), 128u);
    for (ULONG slot = 0; slot < 4; ++slot) {
        EXPECT_EQ(request(slot).running, 1u);
        EXPECT_EQ(request(slot).slot, slot);
    }

    // A completed read is parsed and its request sent again.
    std::vector<UCHAR> block(BlockBytes);
    PutAnswer(block, 0, 1, 1);
    ASSERT_TRUE(stack().Complete(request(2).buffer, STATUS_SUCCESS, block));
    EXPECT_EQ(board->modeAck[1], 1u);
    EXPECT_TRUE(KeReadStateEvent(&dev->get()->modeAckEvent[2]));
    EXPECT_EQ(stack().pending(), 4u);
    EXPECT_EQ(stack().reads(), 5u);
}

TEST_F(ReadPipeTest, TenErrorsInARowStopOnlyThatRequest) {
    ASSERT_EQ(ReadStream(dev->get()), 0);
    for (int i = 0; i < 9; ++i) {
        FailAndRecover(1);
    }
    EXPECT_EQ(request(1).errorCount, 9u);
    EXPECT_EQ(stack().count(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, StreamPipe), 9u);
    EXPECT_FALSE(Ended(1));

    ASSERT_TRUE(stack().Complete(request(1).buffer, STATUS_UNSUCCESSFUL));
    ASSERT_TRUE(host::WaitForDebugLog("[RecoverFromError]: too many errors. Stopping pipe", 1,
                                      std::chrono::seconds(10)));
    EXPECT_TRUE(stack().WaitPending(3));
    EXPECT_TRUE(m4350::WaitUntil([&] { return Ended(1); }));
    for (ULONG slot : {0u, 2u, 3u}) {
        EXPECT_FALSE(Ended(slot)) << slot;
    }
    EXPECT_EQ(host::DebugLogCount("pipe error,not cancelled"), 10u);
}

TEST_F(ReadPipeTest, SuccessInBetweenStartsTheCountAgain) {
    ASSERT_EQ(ReadStream(dev->get()), 0);
    FailAndRecover(0);
    ASSERT_TRUE(stack().Complete(request(0).buffer, STATUS_SUCCESS));
    EXPECT_EQ(request(0).errorCount, 0u);
    for (int i = 0; i < 9; ++i) {
        FailAndRecover(0);
    }
    EXPECT_EQ(stack().pending(), 4u);
    EXPECT_FALSE(Ended(0));
    EXPECT_EQ(host::DebugLogCount("[RecoverFromError]: too many errors. Stopping pipe"), 0u);
}

struct EndingCase {
    const char* name;
    NTSTATUS status;
    const char* message;
};

class ReadEndingTest : public ReadPipeTest, public ::testing::WithParamInterface<EndingCase> {};

TEST_P(ReadEndingTest, RequestEndsWithoutResubmission) {
    const EndingCase& c = GetParam();
    ASSERT_EQ(ReadStream(dev->get()), 0);
    ASSERT_TRUE(stack().Complete(request(3).buffer, c.status));
    EXPECT_EQ(host::DebugLogCount(c.message), 1u);
    EXPECT_EQ(stack().pending(), 3u);
    EXPECT_EQ(stack().reads(), 4u);
    EXPECT_TRUE(Ended(3));
}

INSTANTIATE_TEST_SUITE_P(Statuses, ReadEndingTest,
                         ::testing::Values(EndingCase{"Cancelled", STATUS_CANCELLED,
                                                      "IRP cancelled ReadPipee"},
                                           EndingCase{"NotConnected", STATUS_DEVICE_NOT_CONNECTED,
                                                      "IRP cancelled ReadPipee"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ReadPipeTest, CompletionAfterStopIsNotParsed) {
    ASSERT_EQ(ReadStream(dev->get()), 0);
    // As the stop does first: the request is no longer running.
    request(0).running = 0;
    std::vector<UCHAR> block(BlockBytes);
    PutAnswer(block, 0, 2, 1);
    ASSERT_TRUE(stack().Complete(request(0).buffer, STATUS_SUCCESS, block));
    EXPECT_EQ(board->modeAck[2], 0u);
    EXPECT_TRUE(Ended(0));
    EXPECT_EQ(stack().pending(), 3u);
}

TEST_F(ReadPipeTest, StopEndsEveryRequestAndFreesTheBlocks) {
    ASSERT_EQ(ReadStream(dev->get()), 0);
    StopReadPipe(dev->get());
    EXPECT_EQ(host::DebugLogCount("m4350: stopping read pipe"), 1u);
    // Already stopped when the abort completes them: ended, not "cancelled".
    EXPECT_EQ(host::DebugLogCount("IRP cancelled ReadPipee"), 0u);
    EXPECT_EQ(stack().count(URB_FUNCTION_ABORT_PIPE, StreamPipe), 1u);
    EXPECT_EQ(stack().pending(), 0u);
    for (ULONG slot = 0; slot < 4; ++slot) {
        EXPECT_EQ(request(slot).running, 0u);
        EXPECT_EQ(request(slot).stopPending, 0u);
        EXPECT_EQ(request(slot).urb, nullptr);
        EXPECT_TRUE(Ended(slot));
    }
    EXPECT_EQ(host::PoolLiveCount(UsbRequestTag), 0u);
}

// Unplugged, every read fails at once; the stop finds them all ended.
TEST_F(ReadPipeTest, StopOnAnUnpluggedBoardDoesNotWait) {
    host::SetTimeScale(1000.0); // a wait for a read that never ends would show
    ASSERT_EQ(ReadStream(dev->get()), 0);
    stack().Unplug();
    StopReadPipe(dev->get());
    EXPECT_EQ(UsbPortConnected(&dev->get()->usb), false);
    EXPECT_EQ(host::DebugLogCount("IRP cancelled ReadPipee"), 4u);
    for (ULONG slot = 0; slot < 4; ++slot) {
        EXPECT_EQ(request(slot).urb, nullptr);
    }
}

// The stop on a board already found unplugged cannot abort; it waits for the
// stack to give the reads back, however long that takes, and frees no request
// block before.
TEST_F(ReadPipeTest, StopOnADisconnectedBoardWaitsForTheReadsToComeBack) {
    host::SetTimeScale(0.01);
    ASSERT_EQ(ReadStream(dev->get()), 0);
    SetUsbPortConnected(&dev->get()->usb, 0); // a command found the board gone
    {
        BackgroundStop stop(dev->get());
        ASSERT_TRUE(host::WaitForDebugLog("m4350: read 0 has not ended yet, waiting for it", 1,
                                          std::chrono::seconds(10)));
        EXPECT_FALSE(stop.done());
        EXPECT_EQ(stack().pending(), 4u);
        EXPECT_EQ(host::PoolLiveCount(UsbRequestTag), 4u) << "a block the stack holds was freed";
        EXPECT_EQ(stack().count(URB_FUNCTION_ABORT_PIPE, StreamPipe), 0u);

        stack().Unplug(); // the stack completes the reads of the gone device
        stop.Join();
    }
    EXPECT_EQ(host::PoolLiveCount(UsbRequestTag), 0u);
    for (ULONG slot = 0; slot < 4; ++slot) {
        EXPECT_EQ(request(slot).urb, nullptr);
        EXPECT_TRUE(Ended(slot));
    }
}

// A recovery that takes longer than any fixed wait still owns its request
// block: the stop waits for it to end, and only then frees the blocks.
TEST_F(ReadPipeTest, StopWaitsForARecoveryStillRunning) {
    host::SetTimeScale(0.01);
    ASSERT_EQ(ReadStream(dev->get()), 0);
    stack().HoldPortStatus();
    ASSERT_TRUE(stack().Complete(request(0).buffer, STATUS_UNSUCCESSFUL));
    ASSERT_TRUE(stack().WaitPortStatusHeld());
    {
        BackgroundStop stop(dev->get());
        ASSERT_TRUE(host::WaitForDebugLog("m4350: read 0 has not ended yet, waiting for it", 1,
                                          std::chrono::seconds(10)));
        EXPECT_FALSE(stop.done());
        EXPECT_NE(request(0).urb, nullptr);
        EXPECT_EQ(host::LiveWorkItemCount(), 1u);

        stack().ReleasePortStatus();
        stop.Join();
    }
    // Stopped meanwhile: the recovery ended the request instead of sending it.
    EXPECT_EQ(host::LiveWorkItemCount(), 0u);
    EXPECT_EQ(stack().reads(), 4u);
    EXPECT_EQ(host::PoolLiveCount(UsbRequestTag), 0u);
    EXPECT_EQ(host::DebugLogCount("!callusbd failed inside recover"), 0u);
}

// A read the stack completes inside its submission has had its completion run
// by the time the submission returns its error. That completion decides: here
// it queues a recovery, which sends the read again, so the request has not
// ended, whichever submission it was.
TEST_F(ReadPipeTest, ReadFailedAtOnceIsRecoveredNotEnded) {
    stack().FailNextReads(1, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ReadStream(dev->get()), 1); // the first slot's submission failed
    ASSERT_TRUE(stack().WaitPending(1));
    EXPECT_EQ(request(0).running, 1u);
    EXPECT_FALSE(Ended(0));
    EXPECT_EQ(request(1).urb, nullptr) << "the slots after a failure stay idle";

    stack().FailNextReads(1, STATUS_UNSUCCESSFUL);
    ASSERT_TRUE(stack().Complete(request(0).buffer, STATUS_SUCCESS));
    EXPECT_EQ(host::DebugLogCount("!!!!!!callusbd failed c0000001!!!!!!!!!!!"), 1u);
    ASSERT_TRUE(stack().WaitPending(1));
    ASSERT_TRUE(m4350::WaitUntil([] { return host::LiveWorkItemCount() == 0; }));
    EXPECT_FALSE(Ended(0));
    EXPECT_EQ(request(0).errorCount, 1u);
    EXPECT_EQ(host::DebugLogCount("pipe error,not cancelled"), 2u);
}

TEST_F(ReadPipeTest, RequestBlockAllocationFailureOnSlotTwo) {
    // Slots 0 and 1 take a request block and a packet each.
    host::FailNthAllocation(5);
    EXPECT_EQ(ReadStream(dev->get()), STATUS_NO_MEMORY);
    EXPECT_EQ(host::DebugLogCount("ReadStream : Unable to alloc URB"), 1u);
    EXPECT_EQ(host::DebugLogCount("mx4350: "), 1u);
    EXPECT_EQ(stack().pending(), 2u);
    EXPECT_EQ(request(0).running, 1u);
    EXPECT_EQ(request(1).running, 1u);
    EXPECT_EQ(request(2).running, 0u);
    EXPECT_EQ(request(2).urb, nullptr);
    EXPECT_EQ(request(3).urb, nullptr);
}

TEST_F(ReadPipeTest, ErrorWithoutWorkItemDeviceEndsTheRequest) {
    ASSERT_EQ(ReadStream(dev->get()), 0);
    dev->get()->usb.workItemDevice = nullptr;
    ASSERT_TRUE(stack().Complete(request(2).buffer, STATUS_UNSUCCESSFUL));
    EXPECT_EQ(
        host::DebugLogCount("no device object. unplugged board without stopping stream first?"),
        1u);
    EXPECT_TRUE(Ended(2));
    EXPECT_EQ(stack().pending(), 3u);
}

TEST_F(ReadPipeTest, ErrorWithoutWorkItemMemoryEndsTheRequest) {
    ASSERT_EQ(ReadStream(dev->get()), 0);
    host::FailAllocationsWithTag(host::PoolTag("IoWk"));
    ASSERT_TRUE(stack().Complete(request(2).buffer, STATUS_UNSUCCESSFUL));
    host::ClearPoolFaults();
    EXPECT_TRUE(Ended(2));
    EXPECT_EQ(stack().pending(), 3u);
    EXPECT_EQ(host::LiveIrpCount(), 3u);
}

// A request whose resubmission fails has ended and says so, both after a
// successful read and from the recovery.
TEST_F(ReadPipeTest, FailedResubmissionSignalsTheStopEvent) {
    ASSERT_EQ(ReadStream(dev->get()), 0);
    SetUsbPortConnected(&dev->get()->usb, 0);
    ASSERT_TRUE(stack().Complete(request(0).buffer, STATUS_SUCCESS));
    EXPECT_EQ(host::DebugLogCount("!!!!!!callusbd failed c000009d!!!!!!!!!!!"), 1u);
    EXPECT_TRUE(Ended(0));

    ASSERT_TRUE(stack().Complete(request(1).buffer, STATUS_UNSUCCESSFUL));
    EXPECT_TRUE(m4350::WaitUntil([&] { return Ended(1); }));
    EXPECT_EQ(host::DebugLogCount("!callusbd failed inside recover c000009d stopping pipe!"), 1u);
    EXPECT_EQ(stack().pending(), 2u);
    SetUsbPortConnected(&dev->get()->usb, 1);
}

} // namespace
} // namespace m4350test

// The stream parser and the frame store, fed blocks directly: frames are
// assembled per channel, answers reach their waiters, and nothing outside a
// block or a frame buffer is ever touched.
#include "driver_test.h"
#include "stream_block.h"

#include "board/board.h"
#include "capture/frame_store.h"
#include "capture/stream_parser.h"

#include <host/kernel.h>
#include <host/services.h>

#include <gtest/gtest.h>

#include <optional>

namespace m4350test {
namespace {

// NTSC 640 x 480 in colour code 2: 614400 image bytes in 622592 of stream.
constexpr LONG NtscFrame = 614912;
constexpr ULONG NtscExpected = 622592;

class StreamParserTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        dev.emplace();
        board = Board::create(dev->get());
        ASSERT_NE(board, nullptr);
        // As the first channel open leaves it.
        board->rxNeedHeader = 1;
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

    // Board channel b acquiring with frames of `expected` bytes at most.
    void Acquire(ULONG b, ULONG expected = NtscExpected) {
        board->acquiring[b] = 1;
        board->expectedFrameSize[b] = expected;
    }
    void Feed(const std::vector<UCHAR>& block) {
        parseStreamBlock(board, block.data(), ULONG(block.size()));
    }
    void Feed(const std::vector<std::vector<UCHAR>>& blocks) {
        for (const auto& block : blocks) {
            Feed(block);
        }
    }
    // A one-block frame: header at 0 and 15872 image bytes.
    std::vector<UCHAR> SmallFrame(ULONG b, uint32_t seed) {
        std::vector<UCHAR> block(BlockBytes);
        FillPattern(block, 512, seed);
        PutFrameHeader(block, 0, b, BlockBytes);
        return block;
    }
    FrameBuffer& Entry(ULONG b, ULONG i) { return board->frameRings[b].buffers[i]; }
    bool Signalled(KEVENT& event) { return KeReadStateEvent(&event) != 0; }

    std::optional<TestDevice> dev;
    Board* board = nullptr;
};

TEST_F(StreamParserTest, HeaderBlockStartsTheFrameOfItsChannel) {
    Acquire(2);
    std::vector<UCHAR> image;
    auto blocks = FrameBlocks(2, NtscFrame, 7, &image);
    Feed(blocks[0]);

    EXPECT_EQ(board->rxChannel, 2u);
    EXPECT_EQ(board->rxNeedHeader, 0u);
    EXPECT_EQ(board->frameSize[2], NtscFrame);
    EXPECT_EQ(Entry(2, 0).state, FrameFilling);
    EXPECT_EQ(Entry(2, 0).fill, 15872u);
    EXPECT_EQ(std::memcmp(Entry(2, 0).data, image.data(), 15872), 0);
}

TEST_F(StreamParserTest, FrameCompletesWithItsThirtySeventhFollowingBlock) {
    Acquire(2);
    std::vector<UCHAR> image;
    auto blocks = FrameBlocks(2, NtscFrame, 11, &image);
    ASSERT_EQ(blocks.size(), 38u);
    blocks[0][16] = 0x2A; // compressed size

    for (size_t i = 0; i < 37; ++i) {
        Feed(blocks[i]);
    }
    EXPECT_EQ(Entry(2, 0).fill, 605696u);
    EXPECT_EQ(board->frameCount[2], 0u);
    ULONG compressed = 0, number = 0;
    EXPECT_EQ(takeFrame(board, 1, &compressed, &number), -1);

    Feed(blocks[37]);
    EXPECT_EQ(board->frameCount[2], 1u);
    EXPECT_EQ(board->framesTotal, 1u);
    EXPECT_EQ(board->rxNeedHeader, 1u);
    EXPECT_EQ(board->currentBuffer[2], 1);
    EXPECT_EQ(Entry(2, 0).state, FrameReady);

    // Channel number 1 is board channel 2. The buffer holds the last block's
    // padding too.
    ULONG raw = 0;
    LONG index = takeFrame(board, 1, &compressed, &number, &raw);
    ASSERT_EQ(index, 0);
    EXPECT_EQ(compressed, 0x2Au);
    EXPECT_EQ(number, 1u);
    EXPECT_EQ(raw, 15872u + 37 * BlockBytes);
    PUCHAR data = frameData(board, 1, index);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(std::memcmp(data, image.data(), image.size()), 0);
    EXPECT_EQ(Entry(2, 0).state, FrameReady); // until released
    EXPECT_EQ(releaseFrame(board, 1, index), 0);
    EXPECT_EQ(Entry(2, 0).state, FrameFree);
    EXPECT_EQ(Entry(2, 0).fill, 0u);
}

struct RefusedHeader {
    const char* name;
    ULONG channel;
    LONG frameSize;
    const char* message;
};

class RefusedHeaderTest : public StreamParserTest,
                          public ::testing::WithParamInterface<RefusedHeader> {};

// A header that cannot be followed drops the rest of its block, copies
// nothing and waits for the next header.
TEST_P(RefusedHeaderTest, NothingIsCopied) {
    const RefusedHeader& c = GetParam();
    for (ULONG b = 0; b < 4; ++b) {
        Acquire(b);
    }
    board->rxChannel = 1;
    std::vector<UCHAR> block(BlockBytes);
    FillPattern(block, 512, 3);
    PutFrameHeader(block, 0, c.channel, c.frameSize);
    Feed(block);

    EXPECT_EQ(host::DebugLogCount(c.message), 1u);
    EXPECT_EQ(board->rxNeedHeader, 1u);
    for (ULONG b = 0; b < 4; ++b) {
        EXPECT_EQ(Entry(b, 0).state, FrameFree) << b;
        EXPECT_EQ(Entry(b, 0).fill, 0u) << b;
    }
    if (c.channel < 4) {
        EXPECT_EQ(board->rxChannel, c.channel);
        EXPECT_EQ(board->badPayloadCount[c.channel], 1u);
    } else {
        EXPECT_EQ(board->rxChannel, 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Headers, RefusedHeaderTest,
    ::testing::Values(RefusedHeader{"AboveTheModesFrameSize", 0, 700000, "bad payload"},
                      RefusedHeader{"BelowTheHeaderSize", 3, 511, "bad payload"},
                      RefusedHeader{"Zero", 2, 0, "bad payload"},
                      RefusedHeader{"Negative", 1, -16384, "bad payload"},
                      RefusedHeader{"BoardChannelFour", 4, 16384, "bad channel"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(StreamParserTest, ReadyAnswersSignalOnceAllFourChannelsReported) {
    CaptureDevice* device = dev->get();
    for (ULONG b = 0; b < 3; ++b) {
        std::vector<UCHAR> block(BlockBytes);
        PutAnswer(block, 0, b, 0x10);
        Feed(block);
        EXPECT_FALSE(Signalled(device->firmwareReadyEvent)) << b;
    }
    EXPECT_EQ(board->firmwareReadyMask, 7u);
    std::vector<UCHAR> block(BlockBytes);
    PutAnswer(block, 40, 3, 0x10);
    Feed(block);
    EXPECT_EQ(board->firmwareReadyMask, 0xFu);
    EXPECT_TRUE(Signalled(device->firmwareReadyEvent));

    // The mask is never cleared: a later ready answer signals at once.
    KeClearEvent(&device->firmwareReadyEvent);
    std::vector<UCHAR> again(BlockBytes);
    PutAnswer(again, 0, 1, 0x10);
    Feed(again);
    EXPECT_TRUE(Signalled(device->firmwareReadyEvent));
}

struct AnswerCase {
    const char* name;
    ULONG boardChannel;
    ULONG type;
    int ackEvent;    // channel number whose acknowledgement event is set, or -1
    int statusEvent; // channel number whose status event is set, or -1
};

class AnswerTest : public StreamParserTest, public ::testing::WithParamInterface<AnswerCase> {};

// Events are indexed by channel number, the Board's arrays by board channel.
TEST_P(AnswerTest, ReachesTheWaiterOfItsChannelNumber) {
    const AnswerCase& c = GetParam();
    CaptureDevice* device = dev->get();
    std::vector<UCHAR> block(BlockBytes);
    PutAnswer(block, 8, c.boardChannel, c.type, 0x55, 0x01020304);
    Feed(block);
    for (int n = 0; n < 4; ++n) {
        EXPECT_EQ(Signalled(device->modeAckEvent[n]), n == c.ackEvent) << n;
        EXPECT_EQ(Signalled(device->statusEvent[n]), n == c.statusEvent) << n;
    }
    if (c.ackEvent >= 0) {
        EXPECT_EQ(board->modeAck[c.boardChannel], 1u);
    }
    if (c.statusEvent >= 0) {
        EXPECT_EQ(board->statusValue[c.boardChannel], 0x55u);
        EXPECT_EQ(board->boardVersion, 0x01020304u);
    }
    EXPECT_FALSE(Signalled(device->firmwareReadyEvent));
}

INSTANTIATE_TEST_SUITE_P(Answers, AnswerTest,
                         ::testing::Values(AnswerCase{"AckOfBoardChannel0", 0, 1, 3, -1},
                                           AnswerCase{"AckOfBoardChannel2", 2, 1, 1, -1},
                                           AnswerCase{"StatusOfBoardChannel3", 3, 0x20, -1, 0},
                                           AnswerCase{"StatusOfBoardChannel1", 1, 0x20, -1, 2},
                                           AnswerCase{"UnknownType", 0, 0x7, -1, -1},
                                           AnswerCase{"BoardChannelFour", 4, 1, -1, -1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(StreamParserTest, AnswerBeforeAHeaderEndsTheSearch) {
    Acquire(1);
    std::vector<UCHAR> block(BlockBytes);
    PutAnswer(block, 100, 1, 1);
    PutFrameHeader(block, 200, 1, NtscFrame);
    Feed(block);
    EXPECT_TRUE(Signalled(dev->get()->modeAckEvent[2]));
    EXPECT_EQ(board->rxNeedHeader, 1u);
    EXPECT_EQ(Entry(1, 0).state, FrameFree);
}

TEST_F(StreamParserTest, BlockWithoutMarkerIsDroppedSilently) {
    Acquire(0);
    std::vector<UCHAR> block(BlockBytes);
    FillPattern(block, 0, 99);
    Feed(block);
    EXPECT_TRUE(host::DebugLogLines().empty());
    EXPECT_EQ(Entry(0, 0).state, FrameFree);
    EXPECT_EQ(board->rxNeedHeader, 1u);
}

TEST_F(StreamParserTest, AnswerInsideFrameDataIsImageData) {
    Acquire(3);
    auto blocks = FrameBlocks(3, NtscFrame, 5);
    Feed(blocks[0]);
    std::vector<UCHAR> inside(BlockBytes);
    PutAnswer(inside, 0, 0, 1);
    PutAnswer(inside, 64, 0, 0x10);
    Feed(inside);
    for (int n = 0; n < 4; ++n) {
        EXPECT_FALSE(Signalled(dev->get()->modeAckEvent[n]));
    }
    EXPECT_EQ(board->modeAck[0], 0u);
    EXPECT_EQ(board->firmwareReadyMask, 0u);
    EXPECT_EQ(Entry(3, 0).fill, 15872u + BlockBytes);
    EXPECT_EQ(std::memcmp(Entry(3, 0).data + 15872, inside.data(), BlockBytes), 0);
}

TEST_F(StreamParserTest, FullQueueGivesItsOldestBufferToTheNewFrame) {
    Acquire(0);
    for (uint32_t f = 1; f <= 6; ++f) {
        Feed(SmallFrame(0, f));
    }
    EXPECT_TRUE(queueFull(&board->frameQueues[0]));
    EXPECT_EQ(board->currentBuffer[0], 0);

    // The seventh frame overwrites the first, still queued, from offset 0.
    std::vector<UCHAR> seventh = SmallFrame(0, 7);
    Feed(seventh);
    EXPECT_EQ(std::memcmp(Entry(0, 0).data, seventh.data() + 512, BlockBytes - 512), 0);
    EXPECT_EQ(board->frameCount[0], 7u);

    // Channel number 3 reads board channel 0: frames 2 to 7, the gap visible.
    std::vector<ULONG> numbers;
    std::vector<LONG> indexes;
    ULONG compressed, number;
    for (LONG index; (index = takeFrame(board, 3, &compressed, &number)) >= 0;) {
        numbers.push_back(number);
        indexes.push_back(index);
    }
    EXPECT_EQ(numbers, (std::vector<ULONG>{2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(indexes, (std::vector<LONG>{1, 2, 3, 4, 5, 0}));
}

// The consumer holds the first frame while five wait in the queue, one short
// of full: the seventh frame still gets a buffer, the oldest waiting frame's,
// so the only frame lost is one whose number was counted.
TEST_F(StreamParserTest, BufferWithTheConsumerIsNotOverwritten) {
    Acquire(0);
    for (uint32_t f = 1; f <= 6; ++f) {
        Feed(SmallFrame(0, f));
    }
    ULONG compressed, number;
    LONG taken = takeFrame(board, 3, &compressed, &number);
    ASSERT_EQ(taken, 0);
    EXPECT_FALSE(queueFull(&board->frameQueues[0]));
    std::vector<UCHAR> before(Entry(0, 0).data, Entry(0, 0).data + BlockBytes);
    std::vector<UCHAR> seventh = SmallFrame(0, 7);
    Feed(seventh);
    EXPECT_EQ(std::memcmp(Entry(0, 0).data, before.data(), before.size()), 0);
    EXPECT_EQ(std::memcmp(Entry(0, 1).data, seventh.data() + 512, BlockBytes - 512), 0);
    EXPECT_EQ(board->frameCount[0], 7u);

    // Released, the buffer takes the next frame though the ring has moved on.
    EXPECT_EQ(releaseFrame(board, 3, taken), 0);
    std::vector<UCHAR> eighth = SmallFrame(0, 8);
    Feed(eighth);
    EXPECT_EQ(std::memcmp(Entry(0, 0).data, eighth.data() + 512, BlockBytes - 512), 0);
    EXPECT_EQ(board->frameCount[0], 8u);

    // Frames 3 to 8 wait in order; frame 2 is the gap after the first.
    std::vector<ULONG> numbers;
    for (LONG index; (index = takeFrame(board, 3, &compressed, &number)) >= 0;) {
        numbers.push_back(number);
    }
    EXPECT_EQ(numbers, (std::vector<ULONG>{3, 4, 5, 6, 7, 8}));
}

TEST_F(StreamParserTest, PausedFramesAreNeitherCountedNorQueued) {
    Acquire(1);
    EXPECT_EQ(setPaused(board, 2, 1), 0);
    Feed(SmallFrame(1, 1));
    EXPECT_EQ(board->frameCount[1], 0u);
    EXPECT_EQ(board->framesTotal, 0u);
    EXPECT_TRUE(queueEmpty(&board->frameQueues[1]));
    EXPECT_EQ(Entry(1, 0).state, FrameFree);
    EXPECT_EQ(board->rxNeedHeader, 1u);
}

TEST_F(StreamParserTest, ResumingDropsWhatWasQueued) {
    Acquire(1);
    Feed(SmallFrame(1, 1));
    Feed(SmallFrame(1, 2));
    EXPECT_EQ(setPaused(board, 2, 1), 0);
    EXPECT_EQ(setPaused(board, 2, 0), 0);
    EXPECT_TRUE(queueEmpty(&board->frameQueues[1]));
    for (ULONG i = 0; i < FrameBufferCount; ++i) {
        EXPECT_EQ(Entry(1, i).state, FrameFree) << i;
    }
    Feed(SmallFrame(1, 3));
    ULONG compressed, number;
    EXPECT_EQ(takeFrame(board, 2, &compressed, &number), 2);
    EXPECT_EQ(number, 3u);
}

TEST_F(StreamParserTest, ChannelThatIsNotAcquiringDropsItsData) {
    Feed(SmallFrame(2, 1));
    EXPECT_EQ(Entry(2, 0).state, FrameFree);
    EXPECT_EQ(board->frameCount[2], 0u);
    EXPECT_TRUE(queueEmpty(&board->frameQueues[2]));

    // A frame being filled when acquisition ends is abandoned; a completed
    // one stays with its queue.
    Acquire(2);
    Feed(SmallFrame(2, 2));
    auto blocks = FrameBlocks(2, NtscFrame, 3);
    Feed(blocks[0]);
    EXPECT_EQ(Entry(2, 1).state, FrameFilling);
    board->acquiring[2] = 0;
    Feed(blocks[1]);
    EXPECT_EQ(Entry(2, 1).state, FrameFree);
    EXPECT_EQ(Entry(2, 0).state, FrameReady);
    ULONG compressed, number;
    EXPECT_EQ(takeFrame(board, 1, &compressed, &number), 0);
}

TEST_F(StreamParserTest, BufferWithoutMemoryIsRefused) {
    Acquire(2);
    PUCHAR saved = Entry(2, 0).data;
    Entry(2, 0).data = nullptr;
    Feed(SmallFrame(2, 1));
    Entry(2, 0).data = saved;
    EXPECT_EQ(host::DebugLogCount("M4350: refusing to copy to null user buffer, chn 2, idx 0"), 1u);
    EXPECT_EQ(Entry(2, 0).state, FrameFree);
    EXPECT_EQ(board->rxNeedHeader, 1u);
    EXPECT_TRUE(queueEmpty(&board->frameQueues[2]));
}

// A block that would cross the mode's frame size is counted, not copied.
TEST_F(StreamParserTest, DataBeyondTheModesFrameSizeIsNotCopied) {
    Acquire(0, 2 * BlockBytes);
    std::vector<UCHAR> first(BlockBytes);
    PutFrameHeader(first, 1000, 0, 2 * BlockBytes);
    FillPattern(first, 1512, 1);
    std::vector<UCHAR> second(BlockBytes), third(BlockBytes);
    FillPattern(second, 0, 2);
    FillPattern(third, 0, 3);
    std::memset(Entry(0, 0).data, 0xEE, 3 * BlockBytes);

    Feed(first);
    Feed(second);
    ULONG copied = (BlockBytes - 1512) + BlockBytes;
    EXPECT_EQ(Entry(0, 0).fill, copied);
    Feed(third);
    EXPECT_EQ(board->frameCount[0], 1u);
    for (ULONG i = copied; i < 3 * BlockBytes; ++i) {
        ASSERT_EQ(Entry(0, 0).data[i], 0xEE) << i;
    }
    // The consumer is told what the buffer holds, not what was counted.
    ULONG compressed = 0, number = 0, raw = 0;
    EXPECT_EQ(takeFrame(board, 3, &compressed, &number, &raw), 0);
    EXPECT_EQ(raw, copied);
}

// A block that ends exactly at the limit still fits: the frame whose image
// reaches the mode's frame size arrives whole.
TEST_F(StreamParserTest, BlockEndingExactlyAtTheLimitIsCopied) {
    const ULONG limit = 2 * BlockBytes - 512; // the image fills ends at 32256
    Acquire(0, limit);
    std::vector<UCHAR> first(BlockBytes), second(BlockBytes);
    FillPattern(first, 512, 21);
    PutFrameHeader(first, 0, 0, LONG(limit));
    FillPattern(second, 0, 22);
    Feed(first);
    Feed(second);

    ASSERT_EQ(board->frameCount[0], 1u);
    ULONG compressed = 0, number = 0, raw = 0;
    LONG index = takeFrame(board, 3, &compressed, &number, &raw);
    ASSERT_EQ(index, 0);
    EXPECT_EQ(raw, limit);
    PUCHAR data = frameData(board, 3, index);
    EXPECT_EQ(std::memcmp(data, first.data() + 512, BlockBytes - 512), 0);
    EXPECT_EQ(std::memcmp(data + BlockBytes - 512, second.data(), BlockBytes), 0);
}

// The search for a header can be asked for while a channel is mid-frame (a
// channel open does it). That channel's next header starts its frame afresh:
// the partial frame is dropped and counted, never delivered with the new
// frame's bytes behind it.
TEST_F(StreamParserTest, NewHeaderDropsThePartialFrameOfItsChannel) {
    Acquire(1);
    auto abandoned = FrameBlocks(1, NtscFrame, 31);
    Feed(abandoned[0]);
    Feed(abandoned[1]);
    ASSERT_EQ(Entry(1, 0).fill, 15872u + BlockBytes);
    board->rxNeedHeader = 1; // as a channel open leaves it

    std::vector<UCHAR> image;
    auto blocks = FrameBlocks(1, NtscFrame, 32, &image);
    Feed(blocks[0]);
    EXPECT_EQ(Entry(1, 0).state, FrameFilling);
    EXPECT_EQ(Entry(1, 0).fill, 15872u);
    EXPECT_EQ(board->abandonedFrameCount[1], 1u);
    for (size_t i = 1; i < blocks.size(); ++i) {
        Feed(blocks[i]);
    }

    ASSERT_EQ(board->frameCount[1], 1u);
    ULONG compressed = 0, number = 0, raw = 0;
    LONG index = takeFrame(board, 2, &compressed, &number, &raw);
    ASSERT_EQ(index, 0);
    EXPECT_EQ(raw, 15872u + 37 * BlockBytes);
    EXPECT_EQ(std::memcmp(frameData(board, 2, index), image.data(), image.size()), 0);
    for (ULONG b : {0u, 2u, 3u}) {
        EXPECT_EQ(board->abandonedFrameCount[b], 0u) << b;
    }
    EXPECT_EQ(board->badPayloadCount[1], 0u);
}

// A header whose 512 bytes do not all lie in the block cannot be followed:
// it is passed over. One that ends exactly at the block's end is taken, and
// its image starts with the next block.
TEST_F(StreamParserTest, HeaderCutByTheBlockEndIsPassedOver) {
    Acquire(1);
    std::vector<UCHAR> cut(BlockBytes);
    PutFrameHeader(cut, BlockBytes - 300, 1, BlockBytes);
    Feed(cut);
    EXPECT_EQ(board->rxNeedHeader, 1u);
    EXPECT_EQ(Entry(1, 0).state, FrameFree);

    std::vector<UCHAR> last(BlockBytes);
    PutFrameHeader(last, BlockBytes - 512, 1, 512 + BlockBytes);
    Feed(last);
    EXPECT_EQ(board->rxNeedHeader, 0u);
    EXPECT_EQ(Entry(1, 0).fill, 0u);
    std::vector<UCHAR> image(BlockBytes);
    FillPattern(image, 0, 4);
    Feed(image);
    EXPECT_EQ(board->frameCount[1], 1u);
    EXPECT_EQ(std::memcmp(Entry(1, 0).data, image.data(), BlockBytes), 0);
}

// Markers too close to the end for their words are not looked at; short
// blocks are read only within their length (the sanitizer build proves it:
// every block here is an allocation of exactly its length).
TEST_F(StreamParserTest, MarkersInTheLastBytesAreNotRead) {
    Acquire(0);
    for (ULONG length : {0u, 3u, 4u, 12u, 16u, 23u, 24u, 100u}) {
        std::vector<UCHAR> block(length);
        if (length >= 4) {
            PutWord(block, length - 4, StreamAnswerMarker);
        }
        Feed(block);
    }
    std::vector<UCHAR> block(BlockBytes);
    PutAnswer(block, BlockBytes - 20, 3, 0x20, 1, 2);
    Feed(block);
    EXPECT_FALSE(Signalled(dev->get()->statusEvent[0]));

    // At exactly 24 bytes from the end an answer is still taken.
    std::vector<UCHAR> edge(BlockBytes);
    PutAnswer(edge, BlockBytes - 24, 3, 0x20, 1, 2);
    Feed(edge);
    EXPECT_TRUE(Signalled(dev->get()->statusEvent[0]));
}

TEST_F(StreamParserTest, InvalidReceivingChannelIsReset) {
    board->rxChannel = 9;
    std::vector<UCHAR> block(BlockBytes);
    Feed(block);
    EXPECT_EQ(host::DebugLogCount("invalid channel"), 1u);
    EXPECT_EQ(board->rxChannel, 0u);
}

TEST_F(StreamParserTest, ConsumerOperationsRefuseBadArguments) {
    ULONG compressed, number;
    EXPECT_EQ(takeFrame(board, 4, &compressed, &number), -1);
    EXPECT_EQ(takeFrame(board, ULONG(-1), &compressed, &number), -1);
    EXPECT_EQ(host::DebugLogCount("wrong channel!"), 2u);
    EXPECT_EQ(frameData(nullptr, 0, 0), nullptr);
    EXPECT_EQ(host::DebugLogCount("get buffer error"), 1u);
    EXPECT_EQ(frameData(board, 4, 0), nullptr);
    EXPECT_EQ(host::DebugLogCount("wrong channel!"), 3u);
    EXPECT_EQ(frameData(board, 0, 6), nullptr);
    EXPECT_EQ(frameData(board, 0, -1), nullptr);
    EXPECT_NE(frameData(board, 0, 5), nullptr);
    EXPECT_EQ(releaseFrame(board, 4, 0), -1);
    EXPECT_EQ(releaseFrame(board, 0, 6), -1);
    EXPECT_EQ(releaseFrame(board, 0, -1), -1);
    EXPECT_EQ(setPaused(board, 4, 1), 0);
    EXPECT_EQ(host::DebugLogCount("invalid channel"), 1u);
    setStreamPin(nullptr, 0, nullptr);
    setStreamPin(board, 7, reinterpret_cast<PKSPIN>(0x10));
    for (ULONG b = 0; b < 4; ++b) {
        EXPECT_EQ(board->pin[b], nullptr);
    }
    EXPECT_EQ(takeFrame(board, 0, &compressed, &number), -1);
}

} // namespace
} // namespace m4350test

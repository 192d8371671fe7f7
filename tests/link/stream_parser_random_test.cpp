// A million random and mutated blocks through the stream parser, with the
// consumer taking, reading and releasing frames and the channels pausing,
// stopping and changing modes in between. Every block is an allocation of
// exactly its length, so the sanitizer build catches any byte the parser
// reads outside a block or writes outside a frame buffer; the frame store's
// invariants are checked after every block.
#include "driver_test.h"
#include "stream_block.h"

#include "board/board.h"
#include "capture/frame_store.h"
#include "capture/stream_parser.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <random>

namespace m4350test {
namespace {

// The parser runs on this one thread here, so the thread sanitizer has
// nothing to find in it; that build runs a short stretch only.
#if defined(__SANITIZE_THREAD__)
constexpr ULONG Blocks = 20000;
#else
constexpr ULONG Blocks = 1000000;
#endif

// Frame sizes of the modes, and sizes no mode has.
constexpr ULONG ModeSizes[] = {622592, 311296, 163840, 81920, 819200,  409600,
                               212992, 114688, 16384,  32768, 1260544, 2000000};

class RandomStreamTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        dev.emplace();
        board = Board::create(dev->get());
        ASSERT_NE(board, nullptr);
    }
    void TearDown() override {
        if (board) {
            releaseBoardNumber(board);
            Board::destroy(board);
        }
        dev.reset();
        DriverTest::TearDown();
    }

    void CheckInvariants(uint64_t step) {
        ASSERT_LT(board->rxChannel, 4u) << step;
        for (ULONG b = 0; b < 4; ++b) {
            const FrameRing& ring = board->frameRings[b];
            ASSERT_GE(board->currentBuffer[b], 0) << step;
            ASSERT_LT(board->currentBuffer[b], LONG(FrameBufferCount)) << step;
            for (const FrameBuffer& buffer : ring.buffers) {
                // What a consumer is told the buffer holds was written into it.
                if (buffer.state != FrameFree) {
                    ASSERT_LE(buffer.copied, buffer.fill) << step;
                    ASSERT_LE(buffer.copied, FrameBufferSize) << step;
                }
            }
            const FrameQueue& q = board->frameQueues[b];
            ULONG count = (q.tail + q.capacity - q.head) % q.capacity;
            ASSERT_LE(count, FrameBufferCount) << step;
            bool seen[FrameBufferCount] = {};
            for (ULONG k = 0, at = q.head; k < count; ++k, at = (at + 1) % q.capacity) {
                ULONG index = q.storage[at].bufferIndex;
                ASSERT_LT(index, FrameBufferCount) << step;
                ASSERT_FALSE(seen[index]) << "buffer queued twice at step " << step;
                seen[index] = true;
                ASSERT_EQ(ring.buffers[index].state, FrameReady) << step;
            }
        }
    }

    std::optional<TestDevice> dev;
    Board* board = nullptr;
};

TEST_F(RandomStreamTest, NothingOutsideTheBuffersIsTouched) {
    std::mt19937 rng(0x4350DA4A);
    auto pick = [&rng](uint32_t n) { return uint32_t(rng() % n); };

    // Noise to cut blocks from, with a few stray markers planted in it.
    std::vector<UCHAR> noise(4 * BlockBytes);
    FillPattern(noise, 0, 17);
    for (int i = 0; i < 8; ++i) {
        PutWord(noise, pick(ULONG(noise.size()) - 4),
                i % 2 ? StreamFrameMarker : StreamAnswerMarker);
    }
    for (ULONG b = 0; b < 4; ++b) {
        board->acquiring[b] = 1;
        board->expectedFrameSize[b] = ModeSizes[pick(4)];
    }

    std::vector<UCHAR> previous(BlockBytes);
    LONG held[4] = {-1, -1, -1, -1}; // a frame the consumer holds per channel
    ULONG continuation = 0;
    uint64_t frames = 0;
    for (uint64_t step = 0; step < Blocks; ++step) {
        ULONG length = pick(5) ? BlockBytes : pick(BlockBytes + 1);
        std::vector<UCHAR> block(length);
        uint32_t kind = continuation ? (pick(10) ? 0 : 1 + pick(4)) : 1 + pick(4);
        if (kind == 0) {
            --continuation;
        }
        if (length && kind != 4) {
            size_t from = pick(ULONG(noise.size() - length + 1));
            std::memcpy(block.data(), noise.data() + from, length);
        }
        if (kind == 1 && length >= 24) {
            // A frame header, mostly sound, sometimes broken in one field.
            ULONG at = pick(3) ? 0 : pick(length - 23);
            ULONG b = pick(9) ? pick(4) : 4 + pick(1000);
            ULONG expected = board->expectedFrameSize[b < 4 ? b : 0];
            LONG size;
            switch (pick(8)) {
            case 0:
                size = LONG(pick(1024));
                break;
            case 1:
                size = LONG(expected + 1 + pick(100000));
                break;
            case 2:
                size = -LONG(pick(1u << 30));
                break;
            case 3:
                size = LONG(expected);
                break;
            default:
                size = LONG(512 + pick(3 * BlockBytes));
                break;
            }
            if (at + 24 <= length) {
                std::vector<UCHAR> header(24);
                PutFrameHeader(header, 0, b, size, rng());
                std::memcpy(block.data() + at, header.data(), 24);
            }
            continuation = size > 0 ? ULONG(size) / BlockBytes : 0;
        } else if (kind == 2 && length >= 20) {
            std::vector<UCHAR> answer(20);
            ULONG types[] = {1, 0x10, 0x20, ULONG(rng())};
            PutAnswer(answer, 0, pick(6), types[pick(4)], rng(), rng());
            std::memcpy(block.data() + pick(length - 19), answer.data(), 20);
        } else if (kind == 4 && length) {
            // The previous block with a few bytes changed.
            std::memcpy(block.data(), previous.data(), std::min<size_t>(length, previous.size()));
            for (uint32_t k = pick(8); k-- && length;) {
                block[pick(length)] = UCHAR(rng());
            }
        }
        parseStreamBlock(board, block.data(), length);
        previous = std::move(block);
        previous.resize(BlockBytes);

        // The consumer and the stream state handlers.
        ULONG channel = pick(4);
        ULONG b = 3 - channel;
        switch (pick(16)) {
        case 0:
        case 1:
        case 2:
        case 3:
            if (held[channel] < 0) {
                ULONG compressed, number, raw;
                held[channel] = takeFrame(board, channel, &compressed, &number, &raw);
                if (held[channel] >= 0) {
                    PUCHAR data = frameData(board, channel, held[channel]);
                    ASSERT_NE(data, nullptr);
                    ASSERT_LE(raw, FrameBufferSize) << step;
                    // Touch both ends of the buffer the consumer may read.
                    volatile UCHAR edge = data[0] ^ data[FrameBufferSize - 1];
                    (void)edge;
                    ++frames;
                }
            }
            break;
        case 4:
        case 5:
            if (held[channel] >= 0) {
                ASSERT_EQ(releaseFrame(board, channel, held[channel]), 0);
                held[channel] = -1;
            }
            break;
        case 6:
            setPaused(board, channel, pick(2));
            break;
        case 7:
            if (!pick(8)) {
                board->acquiring[b] ^= 1;
            }
            break;
        case 8:
            if (!pick(8)) {
                board->expectedFrameSize[b] = ModeSizes[pick(std::size(ModeSizes))];
            }
            break;
        default:
            break;
        }
        CheckInvariants(step);
        if (HasFatalFailure()) {
            return;
        }
    }
    EXPECT_GT(frames, 0u);
    for (ULONG channel = 0; channel < 4; ++channel) {
        if (held[channel] >= 0) {
            releaseFrame(board, channel, held[channel]);
        }
    }
}

} // namespace
} // namespace m4350test

// The stream parser under arbitrary streams: sequences of blocks of any
// length (planted frame headers and answers with arbitrary fields, stray
// bytes, cut headers) into a Board whose channels are in arbitrary states,
// with the consumer taking and releasing frames and the channels pausing,
// stopping and changing modes in between.
//
// Every block is an allocation of exactly its length, so the sanitizers see
// any byte read outside it; after each block the frame store's invariants
// are checked, and a buffer the consumer holds must not change under it.
#include "fuzz_support.h"
#include "stream_block.h"

#include "board/board.h"
#include "capture/frame_store.h"
#include "capture/stream_parser.h"
#include "test_device.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <memory>
#include <optional>

namespace {

using m4350test::BlockBytes;

// Frame sizes of the modes (frame memory is sized for the largest), the
// buffer's own size, and one beyond it.
constexpr ULONG FrameSizes[] = {622592, 311296, 163840, 81920,           819200,
                                409600, 212992, 114688, FrameBufferSize, 2000000};

// Bytes of a held buffer whose checksum proves the parser left it alone.
constexpr ULONG GuardBytes = 4096;

struct Held {
    LONG index = -1;
    uint64_t guard = 0;
    ULONG lastFrameNumber = 0; // of the frames taken on this channel
};

struct Fixture {
    m4350test::TestDevice device;
    Board* board = nullptr;
    Held held[BoardChannelCount];
};

Fixture* g_fixture = nullptr;

uint64_t Checksum(const UCHAR* data) {
    uint64_t h = 1469598103934665603ull;
    for (ULONG i = 0; i < GuardBytes; ++i) {
        h = (h ^ data[i]) * 1099511628211ull;
    }
    return h;
}

// The frame store as board creation leaves it, with the channels in the
// states the input asks for.
void Reset(Board* board, FuzzedDataProvider& in) {
    board->rxChannel = in.ConsumeBool() ? in.ConsumeIntegral<ULONG>() : 0;
    board->rxNeedHeader = 1;
    for (ULONG b = 0; b < BoardChannelCount; ++b) {
        FrameRing& ring = board->frameRings[b];
        for (ULONG i = 0; i < FrameBufferCount; ++i) {
            ring.buffers[i].state = FrameFree;
            ring.buffers[i].fill = 0;
        }
        board->currentBuffer[b] = 0;
        board->frameQueues[b].head = board->frameQueues[b].tail = 0;
        board->frameCount[b] = 0;
        board->badPayloadCount[b] = 0;
        board->acquiring[b] = in.ConsumeIntegralInRange(0, 3) != 0;
        board->paused[b] = in.ConsumeIntegralInRange(0, 5) == 0;
        board->expectedFrameSize[b] = in.PickValueInArray(FrameSizes);
        board->pin[b] = nullptr;
    }
}

void CheckInvariants(Fixture& f, size_t step, bool parsed) {
    Board* board = f.board;
    const std::string at = " (step " + std::to_string(step) + ")";
    // A parser run puts an out-of-range channel right before anything else.
    if (parsed) {
        FUZZ_CHECK(board->rxChannel < BoardChannelCount, at);
    }
    for (ULONG b = 0; b < BoardChannelCount; ++b) {
        const FrameRing& ring = board->frameRings[b];
        const FrameQueue& q = board->frameQueues[b];
        FUZZ_CHECK(board->currentBuffer[b] >= 0 && board->currentBuffer[b] < LONG(FrameBufferCount),
                   at);
        FUZZ_CHECK(q.head < q.capacity && q.tail < q.capacity, at);
        ULONG count = (q.tail + q.capacity - q.head) % q.capacity;
        FUZZ_CHECK(count <= FrameBufferCount, at);
        bool queued[FrameBufferCount] = {};
        ULONG previousNumber = 0;
        for (ULONG k = 0, slot = q.head; k < count; ++k, slot = (slot + 1) % q.capacity) {
            const FrameRecord& r = q.storage[slot];
            FUZZ_CHECK(r.bufferIndex < FrameBufferCount, at);
            FUZZ_CHECK(!queued[r.bufferIndex], "a buffer queued twice" + at);
            queued[r.bufferIndex] = true;
            FUZZ_CHECK(ring.buffers[r.bufferIndex].state == FrameReady,
                       "a queued buffer that is not Ready" + at);
            FUZZ_CHECK(r.frameNumber > previousNumber, "queued frame numbers not rising" + at);
            FUZZ_CHECK(r.frameNumber <= board->frameCount[b], at);
            FUZZ_CHECK(r.rawSize <= FrameBufferSize, "a frame larger than its buffer" + at);
            previousNumber = r.frameNumber;
        }
        const Held& held = f.held[3 - b];
        for (ULONG i = 0; i < FrameBufferCount; ++i) {
            ULONG state = ring.buffers[i].state;
            FUZZ_CHECK(state == FrameFree || state == FrameFilling || state == FrameReady, at);
            if (LONG(i) == held.index) {
                FUZZ_CHECK(state == FrameReady, "the consumer's buffer changed state" + at);
                FUZZ_CHECK(!queued[i], "the consumer's buffer queued again" + at);
            } else if (state == FrameReady) {
                // A Ready buffer nobody can reach would never come back.
                FUZZ_CHECK(queued[i], "a Ready buffer neither queued nor held" + at);
            }
        }
        if (held.index >= 0) {
            FUZZ_CHECK(Checksum(ring.buffers[held.index].data) == held.guard,
                       "the parser wrote into the consumer's buffer" + at);
        }
    }
}

// One block: a background, then up to four overlays of input bytes, frame
// headers or answers at positions the input chooses.
std::unique_ptr<UCHAR[]> MakeBlock(FuzzedDataProvider& in, Board* board, ULONG* length) {
    ULONG n = in.ConsumeBool() ? BlockBytes : in.ConsumeIntegralInRange<ULONG>(0, BlockBytes);
    std::unique_ptr<UCHAR[]> block(new UCHAR[n ? n : 1]);
    UCHAR fill = in.ConsumeIntegral<UCHAR>();
    std::memset(block.get(), fill, n);
    for (int k = in.ConsumeIntegralInRange(0, 4); k > 0 && n > 0; --k) {
        ULONG at = in.ConsumeIntegralInRange<ULONG>(0, n - 1);
        UCHAR piece[64] = {};
        size_t pieceLength = 0;
        switch (in.ConsumeIntegralInRange(0, 2)) {
        case 0: {
            std::vector<UCHAR> bytes = in.ConsumeBytes<UCHAR>(in.ConsumeIntegralInRange(0, 64));
            pieceLength = bytes.size();
            if (pieceLength) {
                std::memcpy(piece, bytes.data(), pieceLength);
            }
            break;
        }
        case 1: {
            ULONG b = in.ConsumeIntegralInRange(0, 7) ? in.ConsumeIntegralInRange<ULONG>(0, 3)
                                                      : in.ConsumeIntegral<ULONG>();
            ULONG expected = board->expectedFrameSize[b & 3];
            ULONG size;
            switch (in.ConsumeIntegralInRange(0, 4)) {
            case 0:
                size = expected;
                break;
            case 1:
                size = expected - in.ConsumeIntegralInRange<ULONG>(0, 3 * BlockBytes);
                break;
            case 2:
                size = in.ConsumeIntegralInRange<ULONG>(0, 4 * BlockBytes);
                break;
            default:
                size = in.ConsumeIntegral<ULONG>();
                break;
            }
            std::vector<UCHAR> header(24);
            m4350test::PutFrameHeader(header, 0, b, LONG(size), in.ConsumeIntegral<ULONG>());
            std::memcpy(piece, header.data(), header.size());
            pieceLength = header.size();
            break;
        }
        default: {
            std::vector<UCHAR> answer(20);
            ULONG b = in.ConsumeIntegralInRange<ULONG>(0, 5);
            const ULONG types[] = {1, 0x10, 0x20, in.ConsumeIntegral<ULONG>()};
            m4350test::PutAnswer(answer, 0, b, in.PickValueInArray(types),
                                 in.ConsumeIntegral<ULONG>(), in.ConsumeIntegral<ULONG>());
            std::memcpy(piece, answer.data(), answer.size());
            pieceLength = answer.size();
            break;
        }
        }
        std::memcpy(block.get() + at, piece, std::min<size_t>(pieceLength, n - at));
    }
    *length = n;
    return block;
}

void Consume(Fixture& f, FuzzedDataProvider& in) {
    Board* board = f.board;
    ULONG channel = in.ConsumeIntegralInRange<ULONG>(0, 3);
    ULONG b = 3 - channel;
    Held& held = f.held[channel];
    switch (in.ConsumeIntegralInRange(0, 4)) {
    case 0:
        if (held.index < 0) {
            ULONG compressed = 0, number = 0, raw = 0;
            held.index = takeFrame(board, channel, &compressed, &number, &raw);
            if (held.index >= 0) {
                FUZZ_CHECK(held.index < LONG(FrameBufferCount), "takeFrame index");
                PUCHAR data = frameData(board, channel, held.index);
                FUZZ_CHECK(data != nullptr, "a taken frame without memory");
                FUZZ_CHECK(number > held.lastFrameNumber, "frame numbers not rising");
                FUZZ_CHECK(raw <= FrameBufferSize, "a frame larger than its buffer");
                held.lastFrameNumber = number;
                held.guard = Checksum(data);
            }
        }
        break;
    case 1:
        if (held.index >= 0) {
            FUZZ_CHECK(releaseFrame(board, channel, held.index) == 0, "releaseFrame");
            held.index = -1;
        }
        break;
    case 2:
        setPaused(board, channel, in.ConsumeBool());
        break;
    case 3:
        board->acquiring[b] ^= 1;
        break;
    default:
        board->expectedFrameSize[b] = in.PickValueInArray(FrameSizes);
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    m4350fuzz::Prepare(1.0);
    g_fixture = new Fixture;
    g_fixture->board = Board::create(g_fixture->device.get());
    FUZZ_CHECK(g_fixture->board != nullptr, "no board");
    for (ULONG b = 0; b < BoardChannelCount; ++b) {
        for (ULONG i = 0; i < FrameBufferCount; ++i) {
            FUZZ_CHECK(g_fixture->board->frameRings[b].buffers[i].data != nullptr, "frame memory");
        }
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Fixture& f = *g_fixture;
    FuzzedDataProvider in(data, size);
    Reset(f.board, in);
    for (Held& held : f.held) {
        held = Held{};
    }
    bool parsed = false;
    for (size_t step = 0; in.remaining_bytes() > 0 && step < 256; ++step) {
        if (in.ConsumeIntegralInRange(0, 2) != 0) {
            ULONG length = 0;
            std::unique_ptr<UCHAR[]> block = MakeBlock(in, f.board, &length);
            parseStreamBlock(f.board, block.get(), length);
            parsed = true;
        } else {
            Consume(f, in);
        }
        CheckInvariants(f, step, parsed);
    }
    for (ULONG channel = 0; channel < BoardChannelCount; ++channel) {
        if (f.held[channel].index >= 0) {
            releaseFrame(f.board, channel, f.held[channel].index);
        }
    }
    return 0;
}

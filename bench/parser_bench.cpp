// The stream parser against a plain memcpy of the same bytes: 16384-byte
// blocks of four interleaved NTSC 640 x 480 streams in colour code 2, each
// frame a 512-byte header and 614400 image bytes padded to 38 blocks, as the
// board sends them. The parser copies every image byte once into its frame
// buffer; the target is at least half of memcpy's throughput.
#include "board/board.h"
#include "capture/frame_store.h"
#include "capture/stream_parser.h"
#include "device/capture_device.h"

#include <host/kernel.h>

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr ULONG Block = 16384;
constexpr LONG FrameSize = 614912; // header included
constexpr ULONG StreamFrame = 622592;
constexpr ULONG BlocksPerFrame = StreamFrame / Block;

// One round of the stream: a frame of each board channel in turn.
std::vector<UCHAR> BuildRound() {
    std::vector<UCHAR> round(4 * StreamFrame);
    uint32_t x = 12345;
    for (auto& byte : round) {
        x = x * 1664525u + 1013904223u;
        byte = UCHAR(x >> 24);
    }
    for (ULONG b = 0; b < 4; ++b) {
        UCHAR* header = round.data() + b * StreamFrame;
        std::memset(header, 0, 512);
        ULONG words[] = {0x4350DA4A, b, 0, ULONG(FrameSize), 0};
        std::memcpy(header, words, sizeof(words));
    }
    return round;
}

struct ParserFixture {
    ParserFixture() : device(new CaptureDevice{}) {
        board = Board::create(device.get());
        for (ULONG b = 0; b < 4; ++b) {
            board->acquiring[b] = 1;
            board->expectedFrameSize[b] = StreamFrame;
        }
        board->rxNeedHeader = 1;
    }
    ~ParserFixture() {
        releaseBoardNumber(board);
        Board::destroy(board);
    }
    std::unique_ptr<CaptureDevice> device;
    Board* board = nullptr;
};

void BM_ParseStreamBlock(benchmark::State& state) {
    std::vector<UCHAR> round = BuildRound();
    ParserFixture fixture;
    Board* board = fixture.board;
    if (!board) {
        state.SkipWithError("no board");
        return;
    }
    uint64_t frames = 0;
    for (auto _ : state) {
        for (ULONG i = 0; i < 4 * BlocksPerFrame; ++i) {
            parseStreamBlock(board, round.data() + size_t(i) * Block, Block);
        }
        // The consumer takes and gives back each channel's frame.
        for (ULONG channel = 0; channel < 4; ++channel) {
            ULONG compressed, number;
            LONG index = takeFrame(board, channel, &compressed, &number);
            if (index >= 0) {
                benchmark::DoNotOptimize(frameData(board, channel, index));
                releaseFrame(board, channel, index);
                ++frames;
            }
        }
        benchmark::ClobberMemory();
    }
    if (frames != 4 * uint64_t(state.iterations())) {
        state.SkipWithError("the parser did not complete every frame");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(round.size()));
}

// The same bytes moved with one memcpy per block into frame-sized buffers.
void BM_MemcpyBlocks(benchmark::State& state) {
    std::vector<UCHAR> round = BuildRound();
    std::vector<std::unique_ptr<UCHAR[]>> frames;
    for (int b = 0; b < 4; ++b) {
        frames.emplace_back(new UCHAR[StreamFrame]);
        std::memset(frames.back().get(), 0, StreamFrame);
    }
    for (auto _ : state) {
        for (ULONG b = 0; b < 4; ++b) {
            for (ULONG k = 0; k < BlocksPerFrame; ++k) {
                std::memcpy(frames[b].get() + size_t(k) * Block,
                            round.data() + size_t(b) * StreamFrame + size_t(k) * Block, Block);
            }
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(round.size()));
}

BENCHMARK(BM_MemcpyBlocks)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ParseStreamBlock)->Unit(benchmark::kMicrosecond);

} // namespace

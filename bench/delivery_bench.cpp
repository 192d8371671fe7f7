// The whole frame path of one channel on one core: the stream parser
// assembling a 640 x 480 frame from its 16384-byte blocks, frame delivery
// taking it from the frame store and converting it into an application's
// buffer (UYVY or RGB24), and the frame given back. Besides frames per
// second each run reports the share of one core that four channels take when
// the bus is full: USB 2.0 carries about 53 MB/s of stream, that is 53e6 /
// 622592 frames of this size per second for all channels together. The
// target is at most 2 %.
#include "board/board.h"
#include "capture/format_mapping.h"
#include "capture/frame_delivery.h"
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
constexpr double BusBytesPerSecond = 53e6;
constexpr ULONG Channel = 0; // board channel 3

std::vector<UCHAR> BuildFrame() {
    std::vector<UCHAR> frame(StreamFrame);
    uint32_t x = 12345;
    for (auto& byte : frame) {
        x = x * 1664525u + 1013904223u;
        byte = UCHAR(x >> 24);
    }
    std::memset(frame.data(), 0, 512);
    ULONG words[] = {0x4350DA4A, 3, 0, ULONG(FrameSize), 0};
    std::memcpy(frame.data(), words, sizeof(words));
    return frame;
}

KS_BITMAPINFOHEADER Bitmap(ULONG compression, USHORT bits) {
    KS_BITMAPINFOHEADER b{};
    b.biSize = sizeof(b);
    b.biWidth = 640;
    b.biHeight = 480;
    b.biBitCount = bits;
    b.biCompression = compression;
    b.biSizeImage = 640 * 480 * bits / 8;
    return b;
}

void BM_ParseDeliverConvert(benchmark::State& state) {
    const bool rgb = state.range(0) != 0;
    const KS_BITMAPINFOHEADER bitmap = rgb ? Bitmap(BiRgb, 24) : Bitmap(FourCcUyvy, 16);
    std::vector<UCHAR> frame = BuildFrame();
    std::vector<UCHAR> application(bitmap.biSizeImage);

    auto device = std::make_unique<CaptureDevice>();
    Board* board = Board::create(device.get());
    if (!board) {
        state.SkipWithError("no board");
        return;
    }
    const ULONG b = boardChannel(Channel);
    board->acquiring[b] = 1;
    board->expectedFrameSize[b] = StreamFrame;
    board->rxNeedHeader = 1;
    DeliveryGeometry geometry;
    ComputeDeliveryGeometry(FormatNtsc, 1, &bitmap, 0, 0, &geometry);

    uint64_t frames = 0;
    for (auto _ : state) {
        for (ULONG i = 0; i < BlocksPerFrame; ++i) {
            parseStreamBlock(board, frame.data() + size_t(i) * Block, Block);
        }
        ULONG compressed = 0, number = 0, raw = 0;
        LONG index = takeFrame(board, Channel, &compressed, &number, &raw);
        if (index >= 0) {
            ULONG used =
                ConvertFrame(&geometry, &bitmap, frameData(board, Channel, index), raw, compressed,
                             1, application.data(), ULONG(application.size()), 0);
            benchmark::DoNotOptimize(used);
            releaseFrame(board, Channel, index);
            ++frames;
        }
        benchmark::ClobberMemory();
    }
    releaseBoardNumber(board);
    Board::destroy(board);
    if (frames != uint64_t(state.iterations())) {
        state.SkipWithError("not every frame was completed and delivered");
        return;
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * StreamFrame);
    state.counters["frames_per_s"] =
        benchmark::Counter(double(frames), benchmark::Counter::kIsRate);
    // The full bus's frames per second over the frames per second one core
    // delivers, in percent. The counter is divided by the time, so it is
    // given inverted (shown with a unit of seconds, which it is not).
    state.counters["core_percent_at_53MBps"] =
        benchmark::Counter(double(frames) / (100.0 * BusBytesPerSecond / StreamFrame),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

BENCHMARK(BM_ParseDeliverConvert)->Arg(0)->Arg(1)->ArgName("rgb24")->Unit(benchmark::kMillisecond);

} // namespace

// How fast the board model produces its stream: each frame is stamped (and,
// for JPEG, encoded) and then handed out in 16384-byte reads, as the board
// does for the bus. The target is 500 MB/s, ten times what USB 2.0 bulk
// transfers can carry, so that the model never limits a measurement. Rates
// are measured in wall-clock time.
#include <sim/frame_builder.h>
#include <sim/mode.h>
#include <sim/protocol.h>

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

using namespace m4350::sim;

namespace {

void Stream(benchmark::State& state, uint32_t format, uint32_t scale, uint32_t color) {
    ModeSettings mode;
    mode.format = format;
    mode.scale = scale;
    mode.color = color;
    FrameBuilder builder(3, mode);
    std::vector<uint8_t> block(kStreamBlockSize);
    uint32_t frame = 0;
    int64_t bytes = 0;
    for (auto _ : state) {
        std::span<const uint8_t> t = builder.Build(++frame);
        for (size_t off = 0; off < t.size(); off += block.size()) {
            std::memcpy(block.data(), t.data() + off, block.size());
            benchmark::DoNotOptimize(block.data());
            benchmark::ClobberMemory();
        }
        bytes += int64_t(t.size());
    }
    state.SetBytesProcessed(bytes);
    state.counters["frames/s"] = benchmark::Counter(double(frame), benchmark::Counter::kIsRate);
}

void BM_NtscFullPackedYuv(benchmark::State& s) {
    Stream(s, 1, 1, kColorPackedYuv);
}
void BM_PalFullPlanarYuv(benchmark::State& s) {
    Stream(s, 2, 1, kColorPlanarYuv);
}
void BM_PalCifLuma(benchmark::State& s) {
    Stream(s, 2, 3, kColorLuma);
}
void BM_NtscFullRgb32(benchmark::State& s) {
    Stream(s, 1, 1, kColorRgb32);
}
void BM_NtscFullJpeg(benchmark::State& s) {
    Stream(s, 1, 1, kColorJpegWord);
}
void BM_NtscQuarterJpeg(benchmark::State& s) {
    Stream(s, 1, 3, kColorJpegWord);
}

BENCHMARK(BM_NtscFullPackedYuv)->UseRealTime();
BENCHMARK(BM_PalFullPlanarYuv)->UseRealTime();
BENCHMARK(BM_PalCifLuma)->UseRealTime();
BENCHMARK(BM_NtscFullRgb32)->UseRealTime();
BENCHMARK(BM_NtscFullJpeg)->UseRealTime();
BENCHMARK(BM_NtscQuarterJpeg)->UseRealTime();

} // namespace

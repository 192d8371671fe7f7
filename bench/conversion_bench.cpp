// The pixel conversions against their scalar definitions and against
// libyuv's nearest equivalents, at 640 x 480 and 704 x 576 (the portrait
// routines turn those frames on their side; the field ones take the field of
// the same width). Each benchmark reports megapixels of output per second;
// after the run a table gives, per routine and size, reference, fast path,
// libyuv and the ratio fast / libyuv (medians with --benchmark_repetitions).
//
// libyuv is not a drop-in: its colour conversion is not the 16.16 formula,
// J400ToARGB writes 255 in the fourth byte where we write 0, and its
// transposes know no packing, so the portrait counterparts are two passes
// (TransposePlane, then I422ToYUY2). The speeds compare; the bytes do not.
#include "capture/conversion_reference.h"
#include "capture/pixel_conversion.h"

#include <benchmark/benchmark.h>
#include <libyuv.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<UCHAR>;

struct Frame {
    ULONG w, h; // the raw frame (a field for the field routines)
    Bytes src, dst, tmp, neutral;
    SIZE_T n() const { return (SIZE_T)w * h; }
    const UCHAR* y() const { return src.data(); }
    const UCHAR* cb() const { return src.data() + n(); }
    const UCHAR* cr() const { return src.data() + n() + n() / 2; }
};

Frame& FrameOf(ULONG w, ULONG h) {
    static std::map<std::pair<ULONG, ULONG>, Frame> frames;
    Frame& f = frames[{w, h}];
    if (f.src.empty()) {
        f.w = w;
        f.h = h;
        f.src.resize(2 * f.n());
        std::mt19937 random(w * h);
        for (UCHAR& b : f.src) {
            b = (UCHAR)random();
        }
        f.dst.assign(4 * ((SIZE_T)w + 16) * (h + 16), 0);
        f.tmp.assign(2 * f.n(), 0);
        f.neutral.assign(f.n(), 128);
    }
    return f;
}

enum Impl { Reference, Fast, Libyuv };
const char* const kImplNames[] = {"reference", "fast", "libyuv"};

using Run = void (*)(Frame& f, Impl impl);

struct Routine {
    const char* name;
    bool field; // runs on a field of half the lines
    Run run;
};

// Portrait output: W = source lines, H = source width.
void Portrait(Frame& f, Impl impl, bool anti, bool colour, bool yuy2) {
    ULONG W = f.h, H = f.w;
    if (impl == Libyuv) {
        libyuv::TransposePlane(f.y(), f.w, f.tmp.data(), W, f.w, f.h);
        const UCHAR* cb = colour ? f.cb() : f.neutral.data();
        const UCHAR* cr = colour ? f.cr() : f.neutral.data();
        (yuy2 ? libyuv::I422ToYUY2 : libyuv::I422ToUYVY)(f.tmp.data(), W, cb, W / 2, cr, W / 2,
                                                         f.dst.data(), 2 * W, W, H);
        return;
    }
    bool ref = impl == Reference;
    if (colour && anti) {
        (ref ? reference::planarToPackedAntiTransposed
             : planarToPackedAntiTransposed)(f.y(), f.dst.data(), W, H, f.w, f.h, yuy2, 0);
    } else if (colour) {
        (ref ? reference::planarToPackedTransposed : planarToPackedTransposed)(f.y(), f.dst.data(),
                                                                               W, H, f.w, yuy2, 0);
    } else if (anti) {
        (ref ? reference::lumaToPackedAntiTransposed
             : lumaToPackedAntiTransposed)(f.y(), f.dst.data(), W, H, f.w, f.h, yuy2, 0);
    } else {
        (ref ? reference::lumaToPackedTransposed : lumaToPackedTransposed)(f.y(), f.dst.data(), W,
                                                                           H, f.w, yuy2, 0);
    }
}

// Field portrait output: W = 2 x field lines, H = field width / 2.
void FieldPortrait(Frame& f, Impl impl, bool anti, int kind) {
    ULONG W = 2 * f.h, H = f.w / 2;
    if (impl == Libyuv) {
        libyuv::TransposePlane(f.y(), f.w, f.tmp.data(), f.h, f.w, f.h);
        if (kind != 2) {
            const UCHAR* cb = kind == 0 ? f.cb() : f.neutral.data();
            const UCHAR* cr = kind == 0 ? f.cr() : f.neutral.data();
            libyuv::I422ToYUY2(f.tmp.data(), W, cb, W / 2, cr, W / 2, f.dst.data(), 2 * W, W, H);
        }
        return;
    }
    bool ref = impl == Reference;
    switch (kind) {
    case 0: // colour packed
        (ref ? (anti ? reference::planarFieldToPackedAntiTransposed
                     : reference::planarFieldToPackedTransposed)
             : (anti ? planarFieldToPackedAntiTransposed : planarFieldToPackedTransposed))(
            f.y(), f.dst.data(), W, H, f.w, TRUE, 0);
        break;
    case 1: // monochrome packed
        (ref ? (anti ? reference::lumaFieldToPackedAntiTransposed
                     : reference::lumaFieldToPackedTransposed)
             : (anti ? lumaFieldToPackedAntiTransposed : lumaFieldToPackedTransposed))(
            f.y(), f.dst.data(), W, H, f.w, TRUE, 0);
        break;
    default: // Y800
        (ref ? (anti ? reference::fieldAntiTransposeLuma : reference::fieldTransposeLuma)
             : (anti ? fieldAntiTransposeLuma : fieldTransposeLuma))(f.y(), f.dst.data(), W, H,
                                                                     f.w);
    }
}

void Rgb(Frame& f, Impl impl, ULONG bpp, bool flipped) {
    int h = flipped ? -(int)f.h : (int)f.h;
    if (impl == Libyuv) {
        (bpp == 3 ? libyuv::I422ToRGB24 : libyuv::I422ToARGB)(
            f.y(), f.w, f.cb(), f.w / 2, f.cr(), f.w / 2, f.dst.data(), bpp * f.w, f.w, h);
        return;
    }
    using Fn = void (*)(const UCHAR*, PUCHAR, ULONG, ULONG);
    Fn fn;
    if (impl == Reference) {
        fn = bpp == 3 ? (flipped ? reference::planarToRgb24Flipped : reference::planarToRgb24)
                      : (flipped ? reference::planarToRgb32Flipped : reference::planarToRgb32);
    } else {
        fn = bpp == 3 ? (flipped ? planarToRgb24Flipped : planarToRgb24)
                      : (flipped ? planarToRgb32Flipped : planarToRgb32);
    }
    fn(f.y(), f.dst.data(), f.w, f.h);
}

void Grey(Frame& f, Impl impl, ULONG bpp, bool bottomUp) {
    if (impl == Libyuv) {
        libyuv::J400ToARGB(f.y(), f.w, f.dst.data(), 4 * f.w, f.w, bottomUp ? -(int)f.h : (int)f.h);
        return;
    }
    (impl == Reference ? reference::greyToRgb : greyToRgb)(f.y(), f.dst.data(), f.w, f.h, bottomUp,
                                                           bpp);
}

void Packed(Frame& f, Impl impl, bool yuy2, bool luma) {
    if (impl == Libyuv) {
        const UCHAR* cb = luma ? f.neutral.data() : f.cb();
        const UCHAR* cr = luma ? f.neutral.data() : f.cr();
        (yuy2 ? libyuv::I422ToYUY2 : libyuv::I422ToUYVY)(f.y(), f.w, cb, f.w / 2, cr, f.w / 2,
                                                         f.dst.data(), 2 * f.w, f.w, f.h);
        return;
    }
    bool ref = impl == Reference;
    if (luma) {
        (ref ? reference::lumaToPacked : lumaToPacked)(f.y(), f.dst.data(), f.w, f.h, yuy2, 0);
    } else {
        (ref ? reference::planarToPacked : planarToPacked)(f.y(), f.dst.data(), f.w, f.h,
                                                           yuy2 ? 1 : 2, 0);
    }
}

void Transpose(Frame& f, Impl impl, bool anti) {
    ULONG W = f.h, H = f.w;
    if (impl == Libyuv) {
        libyuv::TransposePlane(f.y(), f.w, f.dst.data(), W, f.w, f.h);
    } else if (anti) {
        (impl == Reference ? reference::antiTransposeLuma : antiTransposeLuma)(f.y(), f.dst.data(),
                                                                               W, H, f.w, f.h);
    } else {
        (impl == Reference ? reference::transposeLuma : transposeLuma)(f.y(), f.dst.data(), W, H,
                                                                       f.w);
    }
}

const Routine kRoutines[] = {
    {"planarToRgb24", false, [](Frame& f, Impl i) { Rgb(f, i, 3, false); }},
    {"planarToRgb24Flipped", false, [](Frame& f, Impl i) { Rgb(f, i, 3, true); }},
    {"planarToRgb32", false, [](Frame& f, Impl i) { Rgb(f, i, 4, false); }},
    {"planarToRgb32Flipped", false, [](Frame& f, Impl i) { Rgb(f, i, 4, true); }},
    {"greyToRgb24", false, [](Frame& f, Impl i) { Grey(f, i, 3, false); }},
    {"greyToRgb32BottomUp", false, [](Frame& f, Impl i) { Grey(f, i, 4, true); }},
    {"planarToPackedYuy2", false, [](Frame& f, Impl i) { Packed(f, i, true, false); }},
    {"planarToPackedUyvy", false, [](Frame& f, Impl i) { Packed(f, i, false, false); }},
    {"lumaToPacked", false, [](Frame& f, Impl i) { Packed(f, i, true, true); }},
    {"planarToPackedTransposed", false,
     [](Frame& f, Impl i) { Portrait(f, i, false, true, true); }},
    {"planarToPackedAntiTransposed", false,
     [](Frame& f, Impl i) { Portrait(f, i, true, true, true); }},
    {"lumaToPackedTransposed", false, [](Frame& f, Impl i) { Portrait(f, i, false, false, true); }},
    {"lumaToPackedAntiTransposed", false,
     [](Frame& f, Impl i) { Portrait(f, i, true, false, false); }},
    {"transposeLuma", false, [](Frame& f, Impl i) { Transpose(f, i, false); }},
    {"antiTransposeLuma", false, [](Frame& f, Impl i) { Transpose(f, i, true); }},
    {"planarToYv16", false,
     [](Frame& f, Impl i) {
         if (i == Libyuv) {
             SIZE_T n = f.n();
             libyuv::I422Copy(f.y(), f.w, f.cr(), f.w / 2, f.cb(), f.w / 2, f.dst.data(), f.w,
                              f.dst.data() + n, f.w / 2, f.dst.data() + n + n / 2, f.w / 2, f.w,
                              f.h);
         } else {
             (i == Reference ? reference::planarToYv16 : planarToYv16)(f.y(), f.dst.data(), f.w,
                                                                       f.h);
         }
     }},
    {"copyLuma", false,
     [](Frame& f, Impl i) {
         if (i == Libyuv) {
             libyuv::CopyPlane(f.y(), f.w, f.dst.data(), f.w, f.w, f.h);
         } else {
             (i == Reference ? reference::copyLuma : copyLuma)(f.y(), f.dst.data(), f.w, f.h);
         }
     }},
    {"copyCompressed", false,
     [](Frame& f, Impl i) {
         ULONG size = (ULONG)f.n();
         if (i == Libyuv) {
             libyuv::CopyPlane(f.y(), size, f.dst.data(), size, size, 1);
         } else {
             (i == Reference ? reference::copyCompressed : copyCompressed)(f.y(), f.dst.data(),
                                                                           size);
         }
     }},
    {"planarFieldToPackedTransposed", true,
     [](Frame& f, Impl i) { FieldPortrait(f, i, false, 0); }},
    {"planarFieldToPackedAntiTransposed", true,
     [](Frame& f, Impl i) { FieldPortrait(f, i, true, 0); }},
    {"lumaFieldToPackedTransposed", true, [](Frame& f, Impl i) { FieldPortrait(f, i, false, 1); }},
    {"fieldAntiTransposeLuma", true, [](Frame& f, Impl i) { FieldPortrait(f, i, true, 2); }},
};

const std::pair<ULONG, ULONG> kSizes[] = {{640, 480}, {704, 576}};

std::string Key(const char* routine, ULONG w, ULONG h) {
    return std::string(routine) + "/" + std::to_string(w) + "x" + std::to_string(h);
}

// Collects megapixels per second per benchmark for the closing table.
class TableReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        // The median when the run is repeated, else the one measurement.
        for (const Run& run : runs) {
            auto it = run.counters.find("Mpx/s");
            if (it == run.counters.end()) {
                continue;
            }
            std::string name = run.run_name.str();
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                medians[name] = it->second.value;
            } else if (run.run_type == Run::RT_Iteration) {
                rates[name] = it->second.value;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double rate(const std::string& name) const {
        auto median = medians.find(name);
        if (median != medians.end()) {
            return median->second;
        }
        auto it = rates.find(name);
        return it == rates.end() ? 0.0 : it->second;
    }

private:
    std::map<std::string, double> rates, medians;
};

} // namespace

int main(int argc, char** argv) {
    for (const Routine& r : kRoutines) {
        for (auto [w, h] : kSizes) {
            ULONG fw = w, fh = r.field ? h / 2 : h;
            for (int impl = Reference; impl <= Libyuv; impl++) {
                std::string name = Key(r.name, w, h) + "/" + kImplNames[impl];
                benchmark::RegisterBenchmark(
                    name.c_str(), [run = r.run, fw, fh, impl](benchmark::State& state) {
                        Frame& f = FrameOf(fw, fh);
                        for (auto _ : state) {
                            run(f, (Impl)impl);
                            benchmark::ClobberMemory();
                        }
                        state.counters["Mpx/s"] = benchmark::Counter(
                            (double)f.n() * state.iterations() / 1e6, benchmark::Counter::kIsRate);
                    });
            }
        }
    }
    benchmark::Initialize(&argc, argv);
    TableReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    std::printf("\nconversion level %lu (0 scalar, 1 SSE2, 2 SSSE3, 3 AVX2)\n",
                (unsigned long)conversionLevel());
    std::printf("%-36s %-8s %10s %10s %10s %8s\n", "routine", "size", "reference", "fast", "libyuv",
                "fast/yuv");
    for (const Routine& r : kRoutines) {
        for (auto [w, h] : kSizes) {
            std::string key = Key(r.name, w, h);
            auto rate = [&](int impl) { return reporter.rate(key + "/" + kImplNames[impl]); };
            double yuv = rate(Libyuv);
            if (rate(Fast) == 0.0) {
                continue;
            }
            std::printf("%-36s %4lux%-4lu %10.0f %10.0f %10.0f %8.2f\n", r.name, (unsigned long)w,
                        (unsigned long)h, rate(Reference), rate(Fast), yuv,
                        yuv > 0 ? rate(Fast) / yuv : 0.0);
        }
    }
    benchmark::Shutdown();
    return 0;
}

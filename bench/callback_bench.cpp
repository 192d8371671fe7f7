// The cost of the driver callback type (kcallback.h) against the plain
// function pointer it replaced, for a routine built here: one read of the
// foreign code region's bounds and a compare per call. The scale run makes
// a few thousand driver callbacks a second (a completion routine per 16 KiB
// read at 53 MB/s, a process dispatch per frame), so a few nanoseconds each
// are some microseconds of its driver time per second.
#include <wdm.h>

#include <benchmark/benchmark.h>

namespace {

NTSTATUS __attribute__((noinline)) Completion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    benchmark::DoNotOptimize(context);
    return STATUS_SUCCESS;
}

using PlainCompletion = NTSTATUS (*)(PDEVICE_OBJECT, PIRP, PVOID);

// Routine: the plain pointer, or the callback type (PIO_COMPLETION_ROUTINE).
template <class Routine>
void BM_CompletionCall(benchmark::State& state) {
    Routine routine = Completion;
    int context = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(routine);
        benchmark::DoNotOptimize(routine(nullptr, nullptr, &context));
    }
}
BENCHMARK_TEMPLATE(BM_CompletionCall, PlainCompletion);
BENCHMARK_TEMPLATE(BM_CompletionCall, PIO_COMPLETION_ROUTINE);

} // namespace

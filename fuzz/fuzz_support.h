// What every fuzz target shares: the libFuzzer entry points, a check that
// stops the run with a message (a failed check is a finding, as a crash is),
// and the kernel's live-object counts to prove an input left nothing behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace m4350fuzz {

[[noreturn]] void Fail(const char* file, int line, const std::string& what);

#define FUZZ_CHECK(condition, what)                                                                \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            ::m4350fuzz::Fail(__FILE__, __LINE__, std::string(#condition ": ") + (what));          \
        }                                                                                          \
    } while (0)

// Live kernel objects at one moment.
struct KernelCounts {
    size_t pool = 0;
    size_t irps = 0;
    size_t workItems = 0;
    size_t threads = 0;
    size_t threadHandles = 0;
    size_t handles = 0;

    static KernelCounts Now();
    // The counts once they have held still for a moment: a request the
    // driver just finished waiting for is freed by its completer a little
    // after the waiter returns, and must not be taken for the baseline.
    static KernelCounts Settled();
    std::string Describe() const;
};

// Fails unless the kernel is back to `before` (threads and work items get a
// bounded moment to finish after they signalled their waiters). Unread
// verifier violations fail too.
void CheckBackTo(const KernelCounts& before, const char* after);

// A quiet, scale-independent start for a target: the debug log keeps few
// entries, the time scale is what the target asks for.
void Prepare(double timeScale);

} // namespace m4350fuzz

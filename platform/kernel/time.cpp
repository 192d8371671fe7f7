// The clock and the time scale. The clock is real; the scale only shrinks
// what a thread waits, so logged times and time stamps stay true.
#include "kernel_internal.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace {

// 100 ns intervals between 1601-01-01 and 1970-01-01.
constexpr LONGLONG kUnixEpochIn100ns = 116444736000000000LL;
// Longest wait we compute a deadline for; anything longer waits forever.
constexpr std::chrono::hours kForever{24 * 365 * 100};

double ReadEnvironmentScale() {
    const char* text = std::getenv("M4350_TIME_SCALE");
    if (text == nullptr || *text == '\0') {
        return 1.0;
    }
    char* end = nullptr;
    double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(value) || value <= 0) {
        std::fprintf(stderr, "M4350_TIME_SCALE=%s is not a positive number; using 1\n", text);
        return 1.0;
    }
    return value;
}

double DefaultScale() {
    static const double scale = ReadEnvironmentScale();
    return scale;
}

std::atomic<double>& Scale() {
    static std::atomic<double> scale{DefaultScale()};
    return scale;
}

const std::chrono::steady_clock::time_point g_boot = std::chrono::steady_clock::now();

LONGLONG SystemTimeNow() {
    auto since = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100 +
           kUnixEpochIn100ns;
}

} // namespace

namespace host {

void SetTimeScale(double scale) {
    if (!std::isfinite(scale) || scale <= 0) {
        throw std::invalid_argument("time scale must be a positive number");
    }
    Scale().store(scale);
}

double TimeScale() {
    return Scale().load();
}

double DefaultTimeScale() {
    return DefaultScale();
}

std::chrono::nanoseconds ScaledDuration(std::chrono::nanoseconds real) {
    long double scaled = (long double)real.count() * Scale().load();
    long double limit = (long double)std::chrono::nanoseconds(kForever).count();
    if (scaled > limit) {
        scaled = limit;
    }
    return std::chrono::nanoseconds((std::int64_t)scaled);
}

void SleepScaled(std::chrono::nanoseconds real) {
    std::this_thread::sleep_for(ScaledDuration(real));
}

std::chrono::steady_clock::time_point ScaledDeadline(std::chrono::nanoseconds real) {
    return std::chrono::steady_clock::now() + ScaledDuration(real);
}

} // namespace host

namespace kernel {

bool DeadlineFor(const LARGE_INTEGER* timeout, std::chrono::steady_clock::time_point* deadline,
                 bool* poll) {
    *poll = false;
    if (timeout == NULL) {
        return false;
    }
    LONGLONG t = timeout->QuadPart;
    if (t == 0) {
        *poll = true;
        return true;
    }
    if (t < 0) {
        // Relative: the only kind the scale shrinks.
        long double ns = -(long double)t * 100.0L * host::TimeScale();
        if (ns >= (long double)std::chrono::nanoseconds(kForever).count()) {
            return false;
        }
        *deadline = std::chrono::steady_clock::now() + std::chrono::nanoseconds((std::int64_t)ns);
        return true;
    }
    LONGLONG remaining = t - SystemTimeNow();
    if (remaining <= 0) {
        *poll = true;
        return true;
    }
    *deadline = std::chrono::steady_clock::now() + std::chrono::nanoseconds(remaining) * 100;
    return true;
}

} // namespace kernel

EXTERN_C VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    CurrentTime->QuadPart = SystemTimeNow();
}

EXTERN_C VOID NTAPI KeQuerySystemTimePrecise(PLARGE_INTEGER CurrentTime) {
    CurrentTime->QuadPart = SystemTimeNow();
}

EXTERN_C ULONGLONG NTAPI KeQueryInterruptTime(VOID) {
    auto since = std::chrono::steady_clock::now() - g_boot;
    return (ULONGLONG)std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100;
}

EXTERN_C ULONG NTAPI KeQueryTimeIncrement(VOID) {
    return 156250; // 15.625 ms, the usual clock tick
}

EXTERN_C VOID NTAPI KeQueryTickCount(PLARGE_INTEGER TickCount) {
    TickCount->QuadPart = (LONGLONG)(KeQueryInterruptTime() / KeQueryTimeIncrement());
}

EXTERN_C LARGE_INTEGER NTAPI KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
    if (PerformanceFrequency != NULL) {
        PerformanceFrequency->QuadPart = 10000000;
    }
    LARGE_INTEGER now;
    now.QuadPart = (LONGLONG)KeQueryInterruptTime();
    return now;
}

EXTERN_C VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds) {
    // A stall is a busy wait on Windows; here it gives the processor away,
    // since two cores are shared by everything that runs.
    auto until = host::ScaledDeadline(std::chrono::microseconds(MicroSeconds));
    while (std::chrono::steady_clock::now() < until) {
        std::this_thread::yield();
    }
}

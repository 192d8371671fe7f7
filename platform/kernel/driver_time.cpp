// Thread time spent in driver code, as the platform's own threads call it.
#include <host/driver_time.h>

#include <atomic>
#include <ctime>

namespace host {

namespace {

std::atomic<std::int64_t> g_driverNanoseconds{0};
thread_local int t_depth = 0;

std::int64_t ThreadNanoseconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return std::int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

} // namespace

DriverTimeScope::DriverTimeScope() : start_(t_depth++ == 0 ? ThreadNanoseconds() : -1) {}

DriverTimeScope::~DriverTimeScope() {
    --t_depth;
    if (start_ >= 0) {
        g_driverNanoseconds.fetch_add(ThreadNanoseconds() - start_, std::memory_order_relaxed);
    }
}

double DriverCpuSeconds() {
    return double(g_driverNanoseconds.load(std::memory_order_relaxed)) / 1e9;
}

} // namespace host

#include "fuzz_support.h"

#include <host/kernel.h>
#include <host/services.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace m4350fuzz {

void Fail(const char* file, int line, const std::string& what) {
    std::fprintf(stderr, "fuzz check failed at %s:%d: %s\n", file, line, what.c_str());
    std::fflush(stderr);
    std::abort();
}

namespace {

bool Same(const KernelCounts& a, const KernelCounts& b) {
    return a.pool == b.pool && a.irps == b.irps && a.workItems == b.workItems &&
           a.threads == b.threads && a.threadHandles == b.threadHandles && a.handles == b.handles;
}

} // namespace

KernelCounts KernelCounts::Now() {
    KernelCounts c;
    c.pool = host::PoolLiveCount();
    c.irps = host::LiveIrpCount();
    c.workItems = host::LiveWorkItemCount();
    c.threads = host::LiveSystemThreadCount();
    c.threadHandles = host::OpenThreadHandleCount();
    c.handles = host::OpenHandleCount();
    return c;
}

KernelCounts KernelCounts::Settled() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    KernelCounts last = Now();
    auto since = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() < deadline &&
           std::chrono::steady_clock::now() - since < std::chrono::milliseconds(5)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const KernelCounts now = Now();
        if (!Same(now, last)) {
            last = now;
            since = std::chrono::steady_clock::now();
        }
    }
    return last;
}

std::string KernelCounts::Describe() const {
    return "pool " + std::to_string(pool) + ", IRPs " + std::to_string(irps) + ", work items " +
           std::to_string(workItems) + ", threads " + std::to_string(threads) +
           ", thread handles " + std::to_string(threadHandles) + ", handles " +
           std::to_string(handles);
}

void CheckBackTo(const KernelCounts& before, const char* after) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    KernelCounts now = KernelCounts::Now();
    while (!Same(now, before) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        now = KernelCounts::Now();
    }
    if (!Same(now, before)) {
        Fail(__FILE__, __LINE__,
             std::string("left behind after ") + after + ": " + now.Describe() +
                 " (before: " + before.Describe() + ")\n" + host::PoolLeakReport());
    }
    std::string unread;
    for (const auto& v : host::TakeViolations()) {
        unread += v.message + "\n";
    }
    if (!unread.empty()) {
        Fail(__FILE__, __LINE__,
             std::string("verifier violations after ") + after + ":\n" + unread);
    }
}

void Prepare(double timeScale) {
    host::SetDebugLogCapacity(64);
    host::SetTimeScale(timeScale);
}

} // namespace m4350fuzz

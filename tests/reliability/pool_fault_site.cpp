#include "pool_fault_site.h"

#include <loader_internal.h>

#include <mutex>

extern "C" PVOID NTAPI __real_ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T bytes, ULONG tag);
extern "C" PVOID NTAPI __wrap_ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T bytes, ULONG tag);

namespace m4350test::sweep {
namespace {

constexpr ULONG ProtectedPool = 0x80000000u;

std::mutex g_lock;
std::map<ULONG, uint64_t> g_counts;
uint64_t g_imageSites = 0; // under g_lock: counted sites inside a call from a driver image
ULONG g_failTag = 0;
uint64_t g_failAt = 0; // the count of g_failTag at which to fail; 0: none
bool g_failed = false;

// Counts the allocation; true when it is the chosen one.
bool CountAndChoose(ULONG tag) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        return false;
    }
    tag &= ~ProtectedPool;
    std::lock_guard<std::mutex> guard(g_lock);
    uint64_t n = ++g_counts[tag];
    // A driver image allocates through its import thunk, which calls the
    // pool from the loader's object file, so --wrap sees it there too.
    if (host::loader::CurrentImageCaller()) {
        ++g_imageSites;
    }
    if (g_failAt != 0 && tag == g_failTag && n == g_failAt) {
        g_failed = true;
        return true;
    }
    return false;
}

} // namespace

std::map<ULONG, uint64_t> SiteCounts() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_counts;
}

uint64_t ImageSites() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_imageSites;
}

void ResetSites() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_counts.clear();
    g_imageSites = 0;
}

void FailSite(ULONG tag, uint64_t n) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_failTag = tag & ~ProtectedPool;
    g_failAt = (g_counts.count(g_failTag) ? g_counts[g_failTag] : 0) + n;
    g_failed = false;
}

bool SiteFailed() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_failed;
}

void ClearSite() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_failAt = 0;
    g_failed = false;
}

} // namespace m4350test::sweep

extern "C" PVOID NTAPI __wrap_ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T bytes, ULONG tag) {
    if (m4350test::sweep::CountAndChoose(tag)) {
        return nullptr;
    }
    return __real_ExAllocatePoolWithTag(type, bytes, tag);
}

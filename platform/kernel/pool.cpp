// Pool: tagged allocations with live accounting, fault injection and the
// verifier's double-free and wrong-tag checks.
//
// Every block is known by address in one table, so a free of anything that
// is not live (twice, or never allocated) is caught without touching the
// memory. New blocks are filled with a pattern, not zeros, as pool memory is
// not cleared on Windows either: code that reads before it writes shows up.
#include "kernel_internal.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <unordered_map>

namespace {

constexpr ULONG kProtectedPool = 0x80000000u;
constexpr unsigned char kFillPattern = 0xC5;

struct Block {
    ULONG tag;
    SIZE_T size;
};

struct TagUsage {
    std::size_t count = 0;
    std::size_t bytes = 0;
};

struct Faults {
    std::uint64_t nth = 0; // 0: off; else allocations still to go until the failing one
    std::set<ULONG> tags;
    double share = 0;
    std::mt19937_64 random;
    std::uint64_t injected = 0;
};

std::mutex g_lock;
std::unordered_map<void*, Block> g_blocks;
std::map<ULONG, TagUsage> g_usage;
std::size_t g_liveBytes = 0;
Faults g_faults;

std::string Describe(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

bool ShouldFail(ULONG tag) {
    bool fail = false;
    if (g_faults.nth != 0 && --g_faults.nth == 0) {
        fail = true;
    }
    if (g_faults.tags.count(tag & ~kProtectedPool) != 0) {
        fail = true;
    }
    if (g_faults.share > 0) {
        std::uniform_real_distribution<double> uniform(0.0, 1.0);
        if (uniform(g_faults.random) < g_faults.share) {
            fail = true;
        }
    }
    if (fail) {
        g_faults.injected++;
    }
    return fail;
}

bool IsPaged(POOL_TYPE type) {
    return (type & 1) != 0; // PagedPool, PagedPoolCacheAligned, PagedPoolSession
}

} // namespace

namespace host {

ULONG PoolTag(std::string_view fourChars) {
    ULONG tag = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        UCHAR c = i < fourChars.size() ? (UCHAR)fourChars[i] : (UCHAR)' ';
        tag |= (ULONG)c << (8 * i);
    }
    return tag;
}

std::string PoolTagName(ULONG tag) {
    std::string name;
    for (int i = 0; i < 4; ++i) {
        unsigned char c = (unsigned char)(tag >> (8 * i));
        if (i == 3) {
            c &= 0x7F; // the protected-pool bit is not part of the name
        }
        name += (c >= 0x20 && c < 0x7F) ? (char)c : '.';
    }
    return name;
}

std::size_t PoolLiveCount() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_blocks.size();
}

std::size_t PoolLiveBytes() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_liveBytes;
}

std::size_t PoolLiveCount(ULONG tag) {
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_usage.find(tag & ~kProtectedPool);
    return it == g_usage.end() ? 0 : it->second.count;
}

std::size_t PoolLiveBytes(ULONG tag) {
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_usage.find(tag & ~kProtectedPool);
    return it == g_usage.end() ? 0 : it->second.bytes;
}

std::vector<PoolTagUsage> PoolUsage() {
    std::vector<PoolTagUsage> usage;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        for (const auto& [tag, u] : g_usage) {
            usage.push_back({tag, PoolTagName(tag), u.count, u.bytes});
        }
    }
    std::sort(usage.begin(), usage.end(),
              [](const PoolTagUsage& a, const PoolTagUsage& b) { return a.name < b.name; });
    return usage;
}

std::string PoolLeakReport() {
    std::string report;
    for (const auto& u : PoolUsage()) {
        report += "pool leak: tag '" + u.name + "' " + std::to_string(u.count) +
                  (u.count == 1 ? " allocation " : " allocations ") + std::to_string(u.bytes) +
                  " bytes\n";
    }
    return report;
}

void FailNthAllocation(std::uint64_t n) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_faults.nth = n;
}

void FailAllocationsWithTag(ULONG tag) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_faults.tags.insert(tag & ~kProtectedPool);
}

void FailRandomAllocations(double share, std::uint64_t seed) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_faults.share = std::clamp(share, 0.0, 1.0);
    g_faults.random.seed(seed);
}

void ClearPoolFaults() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_faults.nth = 0;
    g_faults.tags.clear();
    g_faults.share = 0;
    g_faults.injected = 0;
}

std::uint64_t PoolFailuresInjected() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_faults.injected;
}

} // namespace host

EXTERN_C PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    KIRQL irql = KeGetCurrentIrql();
    if (IsPaged(PoolType) && irql > APC_LEVEL) {
        kernel::Violate(host::Rule::PagedCodeAtDispatch, "paged pool allocation (tag '" +
                                                             host::PoolTagName(Tag) +
                                                             "') at IRQL " + std::to_string(irql));
    } else if (irql > DISPATCH_LEVEL) {
        kernel::Violate(host::Rule::InvalidParameter, "pool allocation (tag '" +
                                                          host::PoolTagName(Tag) + "') at IRQL " +
                                                          std::to_string(irql));
    }
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (ShouldFail(Tag)) {
            return NULL;
        }
    }
    // Windows aligns small blocks to 16 bytes and page-sized ones to a page.
    std::size_t alignment = NumberOfBytes >= PAGE_SIZE ? PAGE_SIZE : MEMORY_ALLOCATION_ALIGNMENT;
    std::size_t rounded =
        (std::max<std::size_t>(NumberOfBytes, 1) + alignment - 1) & ~(alignment - 1);
    void* p = std::aligned_alloc(alignment, rounded);
    if (p == nullptr) {
        return NULL;
    }
    std::memset(p, kFillPattern, rounded);
    std::lock_guard<std::mutex> guard(g_lock);
    g_blocks[p] = Block{Tag, NumberOfBytes};
    TagUsage& usage = g_usage[Tag & ~kProtectedPool];
    usage.count++;
    usage.bytes += NumberOfBytes;
    g_liveBytes += NumberOfBytes;
    return p;
}

EXTERN_C PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, kernel::Tag("None"));
}

static void FreeBlock(PVOID P, ULONG Tag, bool checkTag) {
    if (P == NULL) {
        kernel::Violate(host::Rule::InvalidParameter, "pool free of NULL");
        return;
    }
    std::unique_lock<std::mutex> lock(g_lock);
    auto it = g_blocks.find(P);
    if (it == g_blocks.end()) {
        lock.unlock();
        kernel::Violate(host::Rule::PoolDoubleFree,
                        "pool block " + Describe(P) + " freed, but it is not allocated" +
                            (checkTag ? " (tag '" + host::PoolTagName(Tag) + "')" : ""));
        return;
    }
    Block block = it->second;
    g_blocks.erase(it);
    auto usage = g_usage.find(block.tag & ~kProtectedPool);
    usage->second.count--;
    usage->second.bytes -= block.size;
    if (usage->second.count == 0) {
        g_usage.erase(usage);
    }
    g_liveBytes -= block.size;
    lock.unlock();
    std::string name = Describe(P);
    std::free(P);
    if (checkTag && Tag != block.tag) {
        kernel::Violate(host::Rule::PoolWrongTag, "pool block " + name + " allocated with tag '" +
                                                      host::PoolTagName(block.tag) +
                                                      "' freed with tag '" +
                                                      host::PoolTagName(Tag) + "'");
    }
}

EXTERN_C VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
    FreeBlock(P, Tag, Tag != 0);
}

EXTERN_C VOID NTAPI ExFreePool(PVOID P) {
    FreeBlock(P, 0, false);
}

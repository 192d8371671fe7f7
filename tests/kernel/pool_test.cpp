#include "kernel_test.h"

#include <wdm.h>

#include <algorithm>
#include <functional>
#include <vector>

namespace {

using PoolTest = KernelTest;

const ULONG kTagA = host::PoolTag("KCNw");
const ULONG kTagB = host::PoolTag("allc");

TEST_F(PoolTest, TagsReadInMemoryOrder) {
    EXPECT_EQ(kTagA, 0x774E434Bu); // what a driver writes as 'wNCK'
    EXPECT_EQ(host::PoolTagName(kTagA), "KCNw");
    EXPECT_EQ(host::PoolTagName(kTagA | 0x80000000u), "KCNw"); // protected-pool bit
}

TEST_F(PoolTest, CountsLiveBlocksAndBytesPerTag) {
    PVOID a1 = ExAllocatePoolWithTag(NonPagedPoolNx, 40, kTagA);
    PVOID a2 = ExAllocatePoolWithTag(NonPagedPoolNx, 56, kTagA);
    PVOID b1 = ExAllocatePoolWithTag(NonPagedPool, 5000, kTagB);
    ASSERT_TRUE(a1 && a2 && b1);
    EXPECT_EQ(host::PoolLiveCount(), 3u);
    EXPECT_EQ(host::PoolLiveBytes(), 5096u);
    EXPECT_EQ(host::PoolLiveCount(kTagA), 2u);
    EXPECT_EQ(host::PoolLiveBytes(kTagA), 96u);
    EXPECT_EQ(host::PoolLiveBytes(kTagB), 5000u);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(a1) % MEMORY_ALLOCATION_ALIGNMENT, 0u);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(b1) % PAGE_SIZE, 0u);

    ExFreePoolWithTag(a1, kTagA);
    EXPECT_EQ(host::PoolLiveCount(kTagA), 1u);
    EXPECT_EQ(host::PoolLiveBytes(kTagA), 56u);
    ExFreePoolWithTag(a2, kTagA);
    ExFreePool(b1);
    EXPECT_EQ(host::PoolLiveCount(), 0u);
    EXPECT_EQ(host::PoolLiveBytes(), 0u);
    EXPECT_TRUE(host::PoolUsage().empty());
}

TEST_F(PoolTest, LeakReportNamesEachTag) {
    PVOID a1 = ExAllocatePoolWithTag(NonPagedPoolNx, 40, kTagA);
    PVOID a2 = ExAllocatePoolWithTag(NonPagedPoolNx, 56, kTagA);
    PVOID b1 = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagB);
    EXPECT_EQ(host::PoolLeakReport(), "pool leak: tag 'KCNw' 2 allocations 96 bytes\n"
                                      "pool leak: tag 'allc' 1 allocation 8 bytes\n");
    ExFreePoolWithTag(a1, kTagA);
    ExFreePoolWithTag(a2, kTagA);
    ExFreePoolWithTag(b1, kTagB);
    EXPECT_EQ(host::PoolLeakReport(), "");
}

// The driver allocates only non-executable non-paged pool. The host takes
// those types as the non-paged pool they are: at dispatch level (where the
// parser and completions allocate nothing, but a paged type would be a bug),
// under the caller's tag, with no verifier complaint. The paged type is the
// control that shows the check would see a wrong answer.
struct PoolTypeCase {
    const char* name;
    POOL_TYPE type;
    bool pagedAtDispatch;
};

void PrintTo(const PoolTypeCase& c, std::ostream* os) {
    *os << c.name;
}

class PoolTypeTest : public KernelTest, public ::testing::WithParamInterface<PoolTypeCase> {};

TEST_P(PoolTypeTest, NonExecutableTypesAreNonPagedUnderTheSameTag) {
    const PoolTypeCase& c = GetParam();
    host::SetVerifierTestMode(true);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    PVOID p = ExAllocatePoolWithTag(c.type, 24, kTagB);
    KeLowerIrql(old);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(host::PoolLiveCount(kTagB), 1u);
    EXPECT_EQ(host::PoolLiveBytes(kTagB), 24u);
    EXPECT_EQ(host::ViolationCount(host::Rule::PagedCodeAtDispatch), c.pagedAtDispatch ? 1u : 0u);
    host::ClearViolations();
    ExFreePoolWithTag(p, kTagB);
}

INSTANTIATE_TEST_SUITE_P(Types, PoolTypeTest,
                         ::testing::Values(PoolTypeCase{"NonPagedPoolNx", NonPagedPoolNx, false},
                                           PoolTypeCase{"NonPagedPoolNxCacheAligned",
                                                        NonPagedPoolNxCacheAligned, false},
                                           PoolTypeCase{"PagedPool", PagedPool, true}),
                         [](const auto& info) { return std::string(info.param.name); });

struct FaultCase {
    const char* name;
    std::function<void()> arm;
    std::vector<ULONG> tags;   // one allocation per entry, in order
    std::vector<bool> failing; // expected outcome of each
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

class PoolFaultTest : public KernelTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(PoolFaultTest, FailsExactlyTheChosenAllocations) {
    const FaultCase& c = GetParam();
    c.arm();
    std::vector<PVOID> blocks;
    std::size_t failed = 0;
    for (std::size_t i = 0; i < c.tags.size(); ++i) {
        PVOID p = ExAllocatePoolWithTag(NonPagedPoolNx, 16, c.tags[i]);
        EXPECT_EQ(p == nullptr, c.failing[i]) << "allocation " << i + 1;
        if (p != nullptr) {
            blocks.push_back(p);
        } else {
            failed++;
        }
    }
    EXPECT_EQ(host::PoolFailuresInjected(), failed);
    for (PVOID p : blocks) {
        ExFreePool(p);
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, PoolFaultTest,
                         ::testing::Values(FaultCase{"ThirdFromNow",
                                                     [] { host::FailNthAllocation(3); },
                                                     {kTagA, kTagA, kTagA, kTagA},
                                                     {false, false, true, false}},
                                           FaultCase{"EveryOneOfATag",
                                                     [] { host::FailAllocationsWithTag(kTagB); },
                                                     {kTagA, kTagB, kTagA, kTagB | 0x80000000u},
                                                     {false, true, false, true}},
                                           FaultCase{"ShareZero",
                                                     [] { host::FailRandomAllocations(0.0, 7); },
                                                     {kTagA, kTagA, kTagA},
                                                     {false, false, false}},
                                           FaultCase{"ShareOne",
                                                     [] { host::FailRandomAllocations(1.0, 7); },
                                                     {kTagA, kTagB},
                                                     {true, true}},
                                           FaultCase{"Cleared",
                                                     [] {
                                                         host::FailNthAllocation(1);
                                                         host::FailAllocationsWithTag(kTagA);
                                                         host::ClearPoolFaults();
                                                     },
                                                     {kTagA, kTagA},
                                                     {false, false}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PoolTest, RandomFailuresRepeatForTheSameSeed) {
    auto pattern = [](std::uint64_t seed) {
        host::FailRandomAllocations(0.5, seed);
        std::vector<bool> failed;
        for (int i = 0; i < 64; ++i) {
            PVOID p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
            failed.push_back(p == nullptr);
            if (p != nullptr) {
                ExFreePool(p);
            }
        }
        host::ClearPoolFaults();
        return failed;
    };
    std::vector<bool> first = pattern(42);
    EXPECT_EQ(first, pattern(42));
    std::size_t failures = std::count(first.begin(), first.end(), true);
    EXPECT_GT(failures, 10u);
    EXPECT_LT(failures, 54u);
}

TEST_F(PoolTest, KernelObjectsAreTaggedPool) {
    host::FailAllocationsWithTag(host::PoolTag("Irp "));
    EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
    host::ClearPoolFaults();

    PIRP irp = IoAllocateIrp(2, FALSE);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(host::PoolLiveCount(host::PoolTag("Irp ")), 1u);
    EXPECT_NE(host::PoolLeakReport().find("'Irp '"), std::string::npos);
    IoFreeIrp(irp);
}

} // namespace

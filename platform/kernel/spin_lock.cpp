// Spin locks. The lock word holds its owner's token (0 when free), which
// gives real mutual exclusion through acquire/release atomics (so the thread
// sanitizer sees the ordering) and lets the verifier tell the owner from
// everyone else. Waiters spin briefly, then yield: the machine has two cores
// and an owner that was preempted must get one back.
#include "kernel_internal.h"

#include <thread>

namespace {

thread_local std::uint64_t t_token;

ULONG_PTR Me() {
    return reinterpret_cast<ULONG_PTR>(&t_token);
}

void Pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

std::string Describe(PKSPIN_LOCK lock) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", static_cast<void*>(lock));
    return text;
}

void Acquire(PKSPIN_LOCK lock) {
    std::atomic_ref<ULONG_PTR> word(*lock);
    ULONG_PTR me = Me();
    if (word.load(std::memory_order_relaxed) == me) {
        kernel::Violate(host::Rule::SpinLockRecursion,
                        "spin lock " + Describe(lock) + " acquired again by its owner");
        return; // already ours; spinning would never end
    }
    for (unsigned spins = 0;; ++spins) {
        ULONG_PTR expected = 0;
        if (word.load(std::memory_order_relaxed) == 0 &&
            word.compare_exchange_weak(expected, me, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
            return;
        }
        if (spins < 64) {
            Pause();
        } else {
            std::this_thread::yield();
        }
    }
}

bool Release(PKSPIN_LOCK lock) {
    std::atomic_ref<ULONG_PTR> word(*lock);
    if (word.load(std::memory_order_relaxed) != Me()) {
        kernel::Violate(host::Rule::SpinLockNotHeld,
                        "spin lock " + Describe(lock) +
                            " released by a thread that does not hold it");
        return false;
    }
    word.store(0, std::memory_order_release);
    return true;
}

} // namespace

namespace kernel {

bool SpinLockHeldByMe(PKSPIN_LOCK lock) {
    return std::atomic_ref<ULONG_PTR>(*lock).load(std::memory_order_relaxed) == Me();
}

} // namespace kernel

EXTERN_C VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    std::atomic_ref<ULONG_PTR>(*SpinLock).store(0, std::memory_order_release);
}

EXTERN_C KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    Acquire(SpinLock);
    return old;
}

EXTERN_C VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    Release(SpinLock);
    KeLowerIrql(NewIrql);
}

EXTERN_C VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
        kernel::Violate(host::Rule::SpinLockBelowDispatch, "KeAcquireSpinLockAtDpcLevel at IRQL " +
                                                               std::to_string(KeGetCurrentIrql()));
    }
    Acquire(SpinLock);
}

EXTERN_C VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
        kernel::Violate(host::Rule::SpinLockBelowDispatch,
                        "KeReleaseSpinLockFromDpcLevel at IRQL " +
                            std::to_string(KeGetCurrentIrql()));
    }
    Release(SpinLock);
}

EXTERN_C BOOLEAN FASTCALL KeTryToAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
        kernel::Violate(host::Rule::SpinLockBelowDispatch,
                        "KeTryToAcquireSpinLockAtDpcLevel at IRQL " +
                            std::to_string(KeGetCurrentIrql()));
    }
    std::atomic_ref<ULONG_PTR> word(*SpinLock);
    ULONG_PTR expected = 0;
    return word.compare_exchange_strong(expected, Me(), std::memory_order_acquire,
                                        std::memory_order_relaxed)
               ? TRUE
               : FALSE;
}

EXTERN_C BOOLEAN NTAPI KeTestSpinLock(PKSPIN_LOCK SpinLock) {
    return std::atomic_ref<ULONG_PTR>(*SpinLock).load(std::memory_order_relaxed) == 0 ? TRUE
                                                                                      : FALSE;
}

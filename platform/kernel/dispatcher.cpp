// Dispatcher objects (events, mutexes, semaphores, threads) and waits.
//
// Every object's state lives in its DISPATCHER_HEADER, read and changed under
// one process-wide lock. A waiting thread registers a wait block with its own
// condition variable; signalling an object wakes exactly the blocks that wait
// on it, and each woken thread re-checks its objects under the lock. Object
// memory therefore stays the driver's own, with the Windows layout.
#include "kernel_internal.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

namespace {

struct WaitBlock {
    std::condition_variable wake;
    PVOID const* objects;
    ULONG count;
    WAIT_TYPE type;
    PKTHREAD thread;
    bool satisfied = false;
    NTSTATUS status = STATUS_TIMEOUT;
};

std::mutex g_dispatcher;
std::vector<WaitBlock*> g_waiting;

std::string Describe(const void* object) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", object);
    return text;
}

bool IsWaitable(const DISPATCHER_HEADER* h) {
    switch (h->Type) {
    case EventNotificationObject:
    case EventSynchronizationObject:
    case MutantObject:
    case SemaphoreObject:
    case ThreadObject:
        return true;
    default:
        return false;
    }
}

bool Satisfiable(const DISPATCHER_HEADER* h, PKTHREAD me) {
    switch (h->Type) {
    case MutantObject:
        return h->SignalState > 0 || reinterpret_cast<const KMUTANT*>(h)->OwnerThread == me;
    case ThreadObject:
        return h->SignalState != 0;
    default:
        return h->SignalState > 0;
    }
}

void Consume(DISPATCHER_HEADER* h, PKTHREAD me) {
    switch (h->Type) {
    case EventSynchronizationObject:
        h->SignalState = 0;
        break;
    case MutantObject:
        h->SignalState--;
        reinterpret_cast<KMUTANT*>(h)->OwnerThread = me;
        break;
    case SemaphoreObject:
        h->SignalState--;
        break;
    default:
        break;
    }
}

// Registers a wait block for the life of a wait.
class Registration {
public:
    explicit Registration(WaitBlock* block) : block_(block) {}
    void Add() {
        if (!added_) {
            g_waiting.push_back(block_);
            added_ = true;
        }
    }
    ~Registration() {
        if (added_) {
            auto it = std::find(g_waiting.begin(), g_waiting.end(), block_);
            if (it != g_waiting.end()) {
                g_waiting.erase(it);
            }
        }
    }

private:
    WaitBlock* block_;
    bool added_ = false;
};

// Checks the IRQL rules of a wait before it blocks. A zero time-out never
// blocks, so it is allowed at dispatch level, except for a mutex.
void CheckWaitIrql(ULONG count, PVOID const* objects, const LARGE_INTEGER* timeout,
                   const char* what) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql < DISPATCH_LEVEL) {
        return;
    }
    for (ULONG i = 0; i < count; ++i) {
        if (static_cast<const DISPATCHER_HEADER*>(objects[i])->Type == MutantObject) {
            kernel::Violate(host::Rule::MutexAtDispatch, std::string(what) + " on mutex " +
                                                             Describe(objects[i]) + " at IRQL " +
                                                             std::to_string(irql));
            return;
        }
    }
    if (timeout == NULL || timeout->QuadPart != 0) {
        kernel::Violate(host::Rule::WaitAtDispatch, std::string(what) +
                                                        " with a non-zero time-out at IRQL " +
                                                        std::to_string(irql));
    }
}

// Satisfies a wait if its objects allow it: consumes them (a
// synchronization event resets, a mutex gains an owner) on the waiter's
// behalf. Called with the dispatcher lock held, by the waiter itself or by
// whoever signals one of its objects, so that a signalled wait is complete
// the moment the signal is given, as on Windows: the signaller may reset or
// free the object right afterwards.
bool TrySatisfy(WaitBlock* block) {
    if (block->type == WaitAll) {
        for (ULONG i = 0; i < block->count; ++i) {
            if (!Satisfiable(static_cast<DISPATCHER_HEADER*>(block->objects[i]), block->thread)) {
                return false;
            }
        }
        for (ULONG i = 0; i < block->count; ++i) {
            Consume(static_cast<DISPATCHER_HEADER*>(block->objects[i]), block->thread);
        }
        block->status = STATUS_SUCCESS;
    } else {
        ULONG i = 0;
        while (i < block->count &&
               !Satisfiable(static_cast<DISPATCHER_HEADER*>(block->objects[i]), block->thread)) {
            ++i;
        }
        if (i == block->count) {
            return false;
        }
        Consume(static_cast<DISPATCHER_HEADER*>(block->objects[i]), block->thread);
        block->status = STATUS_WAIT_0 + (NTSTATUS)i;
    }
    block->satisfied = true;
    return true;
}

NTSTATUS Wait(ULONG count, PVOID const* objects, WAIT_TYPE type, const LARGE_INTEGER* timeout) {
    std::chrono::steady_clock::time_point deadline;
    bool poll = false;
    bool bounded = kernel::DeadlineFor(timeout, &deadline, &poll);

    WaitBlock block;
    block.objects = objects;
    block.count = count;
    block.type = type;
    block.thread = KeGetCurrentThread();
    std::unique_lock<std::mutex> lock(g_dispatcher);
    for (ULONG i = 0; i < count; ++i) {
        auto* h = static_cast<DISPATCHER_HEADER*>(objects[i]);
        if (!IsWaitable(h)) {
            lock.unlock();
            kernel::Violate(host::Rule::ObjectUnknown,
                            "wait on " + Describe(h) + ", which is no dispatcher object (type " +
                                std::to_string(h->Type) + ")");
            return STATUS_INVALID_PARAMETER;
        }
    }
    if (TrySatisfy(&block) || poll) {
        return block.status;
    }
    Registration registration(&block);
    registration.Add();
    while (!block.satisfied) {
        if (!bounded) {
            block.wake.wait(lock);
        } else if (block.wake.wait_until(lock, deadline) == std::cv_status::timeout) {
            break;
        }
    }
    return block.satisfied ? block.status : STATUS_TIMEOUT;
}

} // namespace

namespace kernel {

std::mutex& DispatcherLock() {
    return g_dispatcher;
}

void SignalLocked(DISPATCHER_HEADER* object) {
    // Oldest waiter first, as the dispatcher's wait lists are ordered.
    for (auto it = g_waiting.begin(); it != g_waiting.end();) {
        WaitBlock* block = *it;
        bool waitsOnObject = false;
        for (ULONG i = 0; i < block->count && !waitsOnObject; ++i) {
            waitsOnObject = block->objects[i] == object;
        }
        if (waitsOnObject && TrySatisfy(block)) {
            it = g_waiting.erase(it);
            block->wake.notify_one();
        } else {
            ++it;
        }
    }
}

} // namespace kernel

// --- events ----------------------------------------------------------------

EXTERN_C VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    std::lock_guard<std::mutex> guard(g_dispatcher);
    Event->Header.Lock = 0;
    Event->Header.Type = (UCHAR)(Type == SynchronizationEvent ? EventSynchronizationObject
                                                              : EventNotificationObject);
    Event->Header.Size = (UCHAR)(sizeof(KEVENT) / sizeof(LONG));
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

EXTERN_C LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    std::lock_guard<std::mutex> guard(g_dispatcher);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    if (previous == 0) {
        kernel::SignalLocked(&Event->Header);
    }
    return previous;
}

EXTERN_C LONG NTAPI KeResetEvent(PRKEVENT Event) {
    std::lock_guard<std::mutex> guard(g_dispatcher);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

EXTERN_C VOID NTAPI KeClearEvent(PRKEVENT Event) {
    std::lock_guard<std::mutex> guard(g_dispatcher);
    Event->Header.SignalState = 0;
}

EXTERN_C LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
    std::lock_guard<std::mutex> guard(g_dispatcher);
    return Event->Header.SignalState;
}

// --- mutexes ---------------------------------------------------------------

EXTERN_C VOID NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
    std::lock_guard<std::mutex> guard(g_dispatcher);
    Mutex->Header.Lock = 0;
    Mutex->Header.Type = MutantObject;
    Mutex->Header.Size = (UCHAR)(sizeof(KMUTEX) / sizeof(LONG));
    Mutex->Header.SignalState = 1;
    InitializeListHead(&Mutex->Header.WaitListHead);
    InitializeListHead(&Mutex->MutantListEntry);
    Mutex->OwnerThread = NULL;
    Mutex->Abandoned = FALSE;
    Mutex->ApcDisable = 1;
}

EXTERN_C LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
    PKTHREAD me = KeGetCurrentThread();
    std::unique_lock<std::mutex> lock(g_dispatcher);
    LONG previous = Mutex->Header.SignalState;
    if (Mutex->OwnerThread != me || previous > 0) {
        lock.unlock();
        kernel::Violate(host::Rule::MutexNotOwned,
                        "mutex " + Describe(Mutex) + " released by a thread that does not own it");
        return previous;
    }
    if (++Mutex->Header.SignalState == 1) {
        Mutex->OwnerThread = NULL;
        kernel::SignalLocked(&Mutex->Header);
    }
    return previous;
}

EXTERN_C LONG NTAPI KeReadStateMutex(PRKMUTEX Mutex) {
    std::lock_guard<std::mutex> guard(g_dispatcher);
    return Mutex->Header.SignalState;
}

// --- semaphores ------------------------------------------------------------

EXTERN_C VOID NTAPI KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
    std::lock_guard<std::mutex> guard(g_dispatcher);
    Semaphore->Header.Lock = 0;
    Semaphore->Header.Type = SemaphoreObject;
    Semaphore->Header.Size = (UCHAR)(sizeof(KSEMAPHORE) / sizeof(LONG));
    Semaphore->Header.SignalState = Count;
    InitializeListHead(&Semaphore->Header.WaitListHead);
    Semaphore->Limit = Limit;
}

EXTERN_C LONG NTAPI KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment,
                                       BOOLEAN Wait) {
    std::unique_lock<std::mutex> lock(g_dispatcher);
    LONG previous = Semaphore->Header.SignalState;
    if (Adjustment <= 0 || previous > Semaphore->Limit - Adjustment) {
        lock.unlock();
        // Windows raises STATUS_SEMAPHORE_LIMIT_EXCEEDED in the caller.
        kernel::Violate(host::Rule::InvalidParameter,
                        "semaphore " + Describe(Semaphore) + " released past its limit");
        return previous;
    }
    Semaphore->Header.SignalState += Adjustment;
    if (previous == 0) {
        kernel::SignalLocked(&Semaphore->Header);
    }
    return previous;
}

EXTERN_C LONG NTAPI KeReadStateSemaphore(PRKSEMAPHORE Semaphore) {
    std::lock_guard<std::mutex> guard(g_dispatcher);
    return Semaphore->Header.SignalState;
}

// --- waits -----------------------------------------------------------------

EXTERN_C NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                              KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                              PLARGE_INTEGER Timeout) {
    if (Object == NULL) {
        kernel::Violate(host::Rule::InvalidParameter, "KeWaitForSingleObject on NULL");
        return STATUS_INVALID_PARAMETER;
    }
    PVOID objects[1] = {Object};
    CheckWaitIrql(1, objects, Timeout, "KeWaitForSingleObject");
    return Wait(1, objects, WaitAny, Timeout);
}

EXTERN_C NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                                 KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                                 BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                                 PKWAIT_BLOCK WaitBlockArray) {
    if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS ||
        (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == NULL) ||
        (WaitType != WaitAll && WaitType != WaitAny)) {
        kernel::Violate(host::Rule::InvalidParameter,
                        "KeWaitForMultipleObjects with " + std::to_string(Count) +
                            " objects, wait type " + std::to_string(WaitType) +
                            (WaitBlockArray ? "" : " and no wait blocks"));
        return STATUS_INVALID_PARAMETER;
    }
    for (ULONG i = 0; i < Count; ++i) {
        if (Object[i] == NULL) {
            kernel::Violate(host::Rule::InvalidParameter, "KeWaitForMultipleObjects on NULL");
            return STATUS_INVALID_PARAMETER;
        }
    }
    CheckWaitIrql(Count, Object, Timeout, "KeWaitForMultipleObjects");
    return Wait(Count, Object, WaitType, Timeout);
}

EXTERN_C NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                               PLARGE_INTEGER Interval) {
    if (Interval == NULL) {
        kernel::Violate(host::Rule::InvalidParameter, "KeDelayExecutionThread without interval");
        return STATUS_INVALID_PARAMETER;
    }
    KIRQL irql = KeGetCurrentIrql();
    if (irql >= DISPATCH_LEVEL) {
        kernel::Violate(host::Rule::WaitAtDispatch,
                        "KeDelayExecutionThread at IRQL " + std::to_string(irql));
    }
    std::chrono::steady_clock::time_point deadline;
    bool poll = false;
    if (!kernel::DeadlineFor(Interval, &deadline, &poll)) {
        deadline = std::chrono::steady_clock::time_point::max();
    }
    if (poll) {
        std::this_thread::yield();
        return STATUS_SUCCESS;
    }
    std::this_thread::sleep_until(deadline);
    return STATUS_SUCCESS;
}

// --- fast mutexes ----------------------------------------------------------
//
// Windows' protocol, which a driver image's inline ExInitializeFastMutex
// also follows: Count 1 is free; an acquire decrements it and owns the mutex
// when it reaches 0, else waits on the (not signalled) synchronization event;
// a release increments it and signals the event when someone waits.
// Count and Contention are changed only with interlocked operations; Owner
// and OldIrql only by the owner.

EXTERN_C VOID NTAPI ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
    FastMutex->Count = 1;
    FastMutex->Owner = NULL;
    FastMutex->Contention = 0;
    FastMutex->OldIrql = 0;
    KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
}

static bool AcquireFast(PFAST_MUTEX FastMutex, bool tryOnly) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > APC_LEVEL) {
        kernel::Violate(host::Rule::MutexAtDispatch, "fast mutex " + Describe(FastMutex) +
                                                         " acquired at IRQL " +
                                                         std::to_string(irql));
    }
    PKTHREAD me = KeGetCurrentThread();
    if (__atomic_load_n(&FastMutex->Owner, __ATOMIC_RELAXED) == me) {
        kernel::Violate(host::Rule::InvalidParameter,
                        "fast mutex " + Describe(FastMutex) + " acquired again by its owner");
        return false;
    }
    KIRQL old = irql < APC_LEVEL ? KfRaiseIrql(APC_LEVEL) : irql;
    if (tryOnly) {
        LONG expected = 1;
        if (!__atomic_compare_exchange_n(&FastMutex->Count, &expected, 0, false, __ATOMIC_ACQUIRE,
                                         __ATOMIC_RELAXED)) {
            KeLowerIrql(old);
            return false;
        }
    } else if (__atomic_sub_fetch(&FastMutex->Count, 1, __ATOMIC_ACQUIRE) != 0) {
        __atomic_add_fetch(&FastMutex->Contention, 1, __ATOMIC_RELAXED);
        PVOID objects[1] = {&FastMutex->Event};
        Wait(1, objects, WaitAny, NULL);
    }
    __atomic_store_n(&FastMutex->Owner, me, __ATOMIC_RELAXED);
    FastMutex->OldIrql = old;
    return true;
}

EXTERN_C VOID FASTCALL ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
    AcquireFast(FastMutex, false);
}

EXTERN_C BOOLEAN FASTCALL ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex) {
    return AcquireFast(FastMutex, true) ? TRUE : FALSE;
}

EXTERN_C VOID FASTCALL ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
    if (__atomic_load_n(&FastMutex->Owner, __ATOMIC_RELAXED) != KeGetCurrentThread()) {
        kernel::Violate(host::Rule::MutexNotOwned,
                        "fast mutex " + Describe(FastMutex) +
                            " released by a thread that does not own it");
        return;
    }
    KIRQL old = (KIRQL)FastMutex->OldIrql;
    __atomic_store_n(&FastMutex->Owner, (PKTHREAD)NULL, __ATOMIC_RELAXED);
    if (__atomic_add_fetch(&FastMutex->Count, 1, __ATOMIC_RELEASE) <= 0) {
        KeSetEvent(&FastMutex->Event, 0, FALSE); // hands it to one waiter
    }
    KeLowerIrql(old);
}

// --- critical regions ------------------------------------------------------
//
// No APCs are delivered on the host, so a critical region only counts; the
// count is kept so unbalanced use shows in a debugger.

EXTERN_C VOID NTAPI KeEnterCriticalRegion(VOID) {
    KeGetCurrentThread()->CriticalRegion++;
}

EXTERN_C VOID NTAPI KeLeaveCriticalRegion(VOID) {
    PKTHREAD me = KeGetCurrentThread();
    if (me->CriticalRegion <= 0) {
        kernel::Violate(host::Rule::InvalidParameter,
                        "KeLeaveCriticalRegion without KeEnterCriticalRegion");
        return;
    }
    me->CriticalRegion--;
}

// What the kernel's own files share and nothing else sees: the verifier's
// entry point, the thread object, the dispatcher's signal path, the pool's
// internal allocator and the object table.
#pragma once

#include <wdm.h>

#include <host/kernel.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>

// A thread as the dispatcher sees it. System threads own theirs (in pool,
// tag "Thre"); every other host thread gets one on first use that lives as
// long as the thread.
struct _KTHREAD {
    DISPATCHER_HEADER Header; // first: a thread is waited on like any object
    HANDLE Id;
    bool System;
    PKSTART_ROUTINE StartRoutine;
    PVOID StartContext;
    KPRIORITY Priority;
    LONG CriticalRegion;
};

namespace kernel {

// Stops the process or, in test mode, records the violation and returns.
void Violate(host::Rule rule, const std::string& detail);

// Tags of the kernel's own pool allocations, in memory order.
constexpr ULONG Tag(const char (&s)[5]) {
    return (ULONG)(UCHAR)s[0] | ((ULONG)(UCHAR)s[1] << 8) | ((ULONG)(UCHAR)s[2] << 16) |
           ((ULONG)(UCHAR)s[3] << 24);
}
constexpr ULONG kIrpTag = Tag("Irp ");
constexpr ULONG kMdlTag = Tag("Mdl ");
constexpr ULONG kWorkItemTag = Tag("IoWk");
constexpr ULONG kDeviceTag = Tag("Devi");
constexpr ULONG kThreadTag = Tag("Thre");
constexpr ULONG kIoBufferTag = Tag("IoBf");

// True when the calling thread holds the spin lock.
bool SpinLockHeldByMe(PKSPIN_LOCK lock);

// IRQL of the calling thread, without checks.
void SetIrql(KIRQL irql);

// Wakes waiters of an object whose state the caller just changed. Call with
// the dispatcher lock held.
void SignalLocked(DISPATCHER_HEADER* object);
// The lock every dispatcher object's state is read and changed under.
std::mutex& DispatcherLock();

// Converts a kernel time-out into a steady-clock deadline. Returns false
// for "wait forever"; sets *poll for a zero (or past absolute) time-out.
bool DeadlineFor(const LARGE_INTEGER* timeout, std::chrono::steady_clock::time_point* deadline,
                 bool* poll);

// The object table behind Ob*ReferenceObject. Insert holds the first
// reference; destroy runs when the last one goes.
void InsertObject(void* object, POBJECT_TYPE type, void (*destroy)(void*));
bool IsObject(void* object);

// Handles of threads (the only handles the kernel itself hands out).
HANDLE InsertThreadHandle(PKTHREAD thread);

// Thread bookkeeping for the live counter.
POBJECT_TYPE ThreadObjectType();
POBJECT_TYPE DeviceObjectType();

} // namespace kernel

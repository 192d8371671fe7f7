// Threads: the current thread's object and system threads.
//
// A system thread runs on a host thread of its own at passive level. Its
// object (pool, tag "Thre") is referenced by the handle and by the running
// thread; it becomes signalled when the start routine returns or calls
// PsTerminateSystemThread, and goes away when the handle is closed and the
// last reference is dropped.
#include "kernel_internal.h"

#include <host/driver_time.h>

#include <condition_variable>
#include <csetjmp>
#include <mutex>
#include <new>
#include <thread>

namespace {

std::atomic<ULONG_PTR> g_nextThreadId{1};
std::atomic<std::size_t> g_liveSystemThreads{0};

HANDLE NewThreadId() {
    return reinterpret_cast<HANDLE>(0x1000 + 4 * g_nextThreadId.fetch_add(1));
}

void InitializeThread(PKTHREAD thread, bool system) {
    thread->Header.Lock = 0;
    thread->Header.Type = ThreadObject;
    thread->Header.Size = (UCHAR)(sizeof(DISPATCHER_HEADER) / sizeof(LONG));
    thread->Header.SignalState = 0;
    InitializeListHead(&thread->Header.WaitListHead);
    thread->Id = NewThreadId();
    thread->System = system;
    thread->StartRoutine = nullptr;
    thread->StartContext = nullptr;
    thread->Priority = 8;
    thread->CriticalRegion = 0;
}

// Host threads that the kernel did not create (test threads, the USB bus's
// threads, workers) get an object on first use.
struct HostThread {
    _KTHREAD object;
    HostThread() { InitializeThread(&object, false); }
};

thread_local PKTHREAD t_current = nullptr;

// Unwinds a system thread out of PsTerminateSystemThread.
struct Terminate {};

// A start routine in a loaded driver image has frames no host unwinder can
// walk: its thread leaves PsTerminateSystemThread by a jump back to
// RunSystemThread instead. Only the image's frames and the boundary's (none
// with destructors) lie between the two.
thread_local jmp_buf* t_exit = nullptr;

void DestroyThread(void* object) {
    auto* thread = static_cast<PKTHREAD>(object);
    thread->~_KTHREAD();
    ExFreePoolWithTag(thread, kernel::kThreadTag);
}

void RunSystemThread(PKTHREAD thread) {
    t_current = thread;
    kernel::SetIrql(PASSIVE_LEVEL);
    if (thread->StartRoutine.foreign()) {
        host::DriverTimeScope timed;
        jmp_buf exit;
        t_exit = &exit;
        if (setjmp(exit) == 0) {
            thread->StartRoutine(thread->StartContext);
        } else {
            // The jump skipped the end of the start routine's foreign call.
            __atomic_sub_fetch(&KiForeignCallsActive, 1, __ATOMIC_ACQ_REL);
        }
        t_exit = nullptr;
    } else {
        try {
            host::DriverTimeScope timed;
            thread->StartRoutine(thread->StartContext);
        } catch (const Terminate&) {
        }
    }
    KIRQL irql = KeGetCurrentIrql();
    if (irql != PASSIVE_LEVEL) {
        kernel::Violate(host::Rule::ThreadIrql,
                        "system thread ended at IRQL " + std::to_string(irql));
        kernel::SetIrql(PASSIVE_LEVEL);
    }
    {
        std::lock_guard<std::mutex> guard(kernel::DispatcherLock());
        thread->Header.SignalState = 1;
        kernel::SignalLocked(&thread->Header);
    }
    t_current = nullptr;
    ObfDereferenceObject(thread); // the running thread's reference
    g_liveSystemThreads.fetch_sub(1);
}

} // namespace

namespace host {

std::size_t LiveSystemThreadCount() {
    return g_liveSystemThreads.load();
}

} // namespace host

EXTERN_C PKTHREAD NTAPI KeGetCurrentThread(VOID) {
    if (t_current == nullptr) {
        thread_local HostThread host;
        t_current = &host.object;
    }
    return t_current;
}

EXTERN_C PETHREAD NTAPI PsGetCurrentThread(VOID) {
    return reinterpret_cast<PETHREAD>(KeGetCurrentThread());
}

EXTERN_C HANDLE NTAPI PsGetCurrentThreadId(VOID) {
    return KeGetCurrentThread()->Id;
}

EXTERN_C HANDLE NTAPI PsGetCurrentProcessId(VOID) {
    return reinterpret_cast<HANDLE>(4); // everything runs in the system process
}

EXTERN_C KPRIORITY NTAPI KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
    // Recorded, not applied: host scheduling is the host's.
    KPRIORITY old = Thread->Priority;
    Thread->Priority = Priority;
    return old;
}

EXTERN_C NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                             POBJECT_ATTRIBUTES ObjectAttributes,
                                             HANDLE ProcessHandle, PCLIENT_ID ClientId,
                                             PKSTART_ROUTINE StartRoutine, PVOID StartContext) {
    if (ThreadHandle == NULL || StartRoutine == NULL) {
        kernel::Violate(host::Rule::InvalidParameter,
                        "PsCreateSystemThread without a handle or a start routine");
        return STATUS_INVALID_PARAMETER;
    }
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        kernel::Violate(host::Rule::InvalidParameter,
                        "PsCreateSystemThread at IRQL " + std::to_string(KeGetCurrentIrql()));
    }
    void* memory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(_KTHREAD), kernel::kThreadTag);
    if (memory == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto* thread = new (memory) _KTHREAD;
    InitializeThread(thread, true);
    thread->StartRoutine = StartRoutine;
    thread->StartContext = StartContext;

    kernel::InsertObject(thread, kernel::ThreadObjectType(), DestroyThread); // the handle's
    ObfReferenceObject(thread);                                              // the runner's
    g_liveSystemThreads.fetch_add(1);
    try {
        std::thread(RunSystemThread, thread).detach();
    } catch (const std::system_error&) {
        g_liveSystemThreads.fetch_sub(1);
        ObfDereferenceObject(thread);
        ObfDereferenceObject(thread);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *ThreadHandle = kernel::InsertThreadHandle(thread);
    if (ClientId != NULL) {
        ClientId->UniqueProcess = PsGetCurrentProcessId();
        ClientId->UniqueThread = thread->Id;
    }
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus) {
    PKTHREAD me = KeGetCurrentThread();
    if (!me->System) {
        kernel::Violate(host::Rule::InvalidParameter,
                        "PsTerminateSystemThread from a thread that is no system thread");
        return STATUS_INVALID_PARAMETER;
    }
    if (t_exit) {
        longjmp(*t_exit, 1);
    }
    throw Terminate{};
}

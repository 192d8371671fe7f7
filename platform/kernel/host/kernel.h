// Host control of the kernel: what tests and tools use to look inside the
// platform and to steer it. Kernel code (driver/, shared/) never includes this.
#pragma once

#include <wdm.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// ---------------------------------------------------------------------------
// Time scale
//
// One process-wide factor applied to every relative wait, every delay and the
// board model's pacing: 1 is real time, 0.001 makes a 5 s time-out last 5 ms.
// The clock itself (KeQuerySystemTime, KeQueryInterruptTime) and every value
// a driver logs stay real. The start value comes from the environment
// variable M4350_TIME_SCALE (a positive number), else 1.
// ---------------------------------------------------------------------------

// Throws std::invalid_argument unless scale is finite and > 0.
void SetTimeScale(double scale);
double TimeScale();
// The scale the process started with (the environment's, or 1).
double DefaultTimeScale();
// A real duration as the host waits it.
std::chrono::nanoseconds ScaledDuration(std::chrono::nanoseconds real);
// Sleeps the scaled form of a real duration.
void SleepScaled(std::chrono::nanoseconds real);
// now + ScaledDuration(real), on the steady clock.
std::chrono::steady_clock::time_point ScaledDeadline(std::chrono::nanoseconds real);

// ---------------------------------------------------------------------------
// Pool
//
// Tags are shown as poolmon shows them: the four bytes in memory order, so
// ExAllocatePoolWithTag(..., 'wNCK') is "KCNw". IRPs ("Irp "), MDLs ("Mdl "),
// work items ("IoWk") and device objects ("Devi") are pool allocations too, so
// fault injection reaches them and leaks of them are reported by tag.
// New blocks are filled with the byte 0xC5, never zeros, as pool memory is
// not cleared on Windows either.
// ---------------------------------------------------------------------------

ULONG PoolTag(std::string_view fourChars); // "KCNw" -> the ULONG a driver passes
std::string PoolTagName(ULONG tag);        // the reverse; unprintable bytes as '.'

struct PoolTagUsage {
    ULONG tag;
    std::string name;
    std::size_t count; // live allocations
    std::size_t bytes; // live bytes requested
};

std::size_t PoolLiveCount();
std::size_t PoolLiveBytes();
std::size_t PoolLiveCount(ULONG tag);
std::size_t PoolLiveBytes(ULONG tag);
std::vector<PoolTagUsage> PoolUsage(); // live tags, sorted by tag name
// Empty when nothing is live, else one line per tag:
//   "pool leak: tag 'KCNw' 2 allocations 96 bytes"
std::string PoolLeakReport();

// Fault injection. Rules add up: an allocation fails when any rule says so.
// Failed allocations return NULL as the real pool does and are counted.
void FailNthAllocation(std::uint64_t n); // the n-th from now, 1 = the next
void FailAllocationsWithTag(ULONG tag);  // every one of this tag, until cleared
void FailRandomAllocations(double share, std::uint64_t seed); // share in [0, 1]
void ClearPoolFaults();
std::uint64_t PoolFailuresInjected(); // since the last ClearPoolFaults

// ---------------------------------------------------------------------------
// Live kernel objects
// ---------------------------------------------------------------------------

std::size_t LiveIrpCount();          // allocated and not yet freed
std::size_t LiveWorkItemCount();     // allocated by IoAllocateWorkItem, not yet freed
std::size_t LiveSystemThreadCount(); // PsCreateSystemThread threads still running
std::size_t OpenThreadHandleCount(); // thread handles not yet closed with ZwClose
std::size_t LiveObjectCount();       // referenced objects (threads, devices, registered)

// ---------------------------------------------------------------------------
// Verifier
//
// Each rule stops the process with a message naming it, as Driver Verifier
// does. In test mode a violation is recorded instead and the call goes on as
// safely as it can (a double free is ignored, an unbalanced release is not
// applied), so a test can prove a rule fires.
// ---------------------------------------------------------------------------

enum class Rule {
    WaitAtDispatch,         // wait with a non-zero time-out at DISPATCH_LEVEL or above
    MutexAtDispatch,        // mutex acquired at DISPATCH_LEVEL or above
    MutexNotOwned,          // mutex released by a thread that does not own it
    SpinLockNotHeld,        // spin lock released by a thread that does not hold it
    SpinLockRecursion,      // spin lock acquired again by the thread that holds it
    SpinLockBelowDispatch,  // an at-DPC-level spin lock call below DISPATCH_LEVEL
    IrqlNotRestored,        // a routine returned at another IRQL than it was called at
    IrqlBadRaise,           // KeRaiseIrql to a lower IRQL
    IrqlBadLower,           // KeLowerIrql to a higher IRQL
    PagedCodeAtDispatch,    // PAGED_CODE or paged pool at DISPATCH_LEVEL or above
    PoolDoubleFree,         // freeing memory that is not (or no longer) allocated
    PoolWrongTag,           // ExFreePoolWithTag with another tag than the allocation's
    RemoveLockUnderflow,    // a remove lock released more than acquired
    RemoveLockBadSize,      // a remove lock call with a size that is not the lock's
    IrpCompletedTwice,      // IoCompleteRequest on an IRP that was already completed
    IrpCompletedWithCancel, // IoCompleteRequest with a cancel routine still set
    IrpStackOverflow,       // IoCallDriver with no stack location left
    IrpFreedTwice,          // IoFreeIrp on an IRP that is not allocated
    IrpUnowned,             // an IoAllocateIrp IRP completed past its last owner
    WorkItemBusy,           // a work item queued or freed while it is queued
    ThreadIrql,             // a system thread ended above PASSIVE_LEVEL
    ObjectUnknown,          // an object reference on something that is no object
    InvalidParameter,       // a kernel call with an argument that cannot be valid
    Assertion,              // ASSERT failed
    ExtendedStateIrql,      // extended state saved above DISPATCH_LEVEL or restored at another IRQL
    ExtendedStateUnpaired,  // extended state restored that is not the thread's innermost save
};

const char* RuleName(Rule rule); // e.g. "WAIT_AT_DISPATCH"

struct Violation {
    Rule rule;
    std::string message; // "verifier: WAIT_AT_DISPATCH: ..." as it would be printed
};

void SetVerifierTestMode(bool on);
bool VerifierTestMode();
std::vector<Violation> Violations();
std::vector<Violation> TakeViolations(); // returns and clears
void ClearViolations();
std::size_t ViolationCount(Rule rule);

// Extended processor state saves the calling thread holds (saved and not yet
// restored).
std::size_t ExtendedStateSaveDepth();

// Reports a violation of a rule from another part of the platform (the USB
// bus or the streaming class), with the same stop-or-record behaviour.
void ReportViolation(Rule rule, std::string_view detail);

// RAII: test mode on for a scope, previous mode restored after.
class ScopedVerifierTestMode {
public:
    ScopedVerifierTestMode() : previous_(VerifierTestMode()) { SetVerifierTestMode(true); }
    ~ScopedVerifierTestMode() { SetVerifierTestMode(previous_); }
    ScopedVerifierTestMode(const ScopedVerifierTestMode&) = delete;
    ScopedVerifierTestMode& operator=(const ScopedVerifierTestMode&) = delete;

private:
    bool previous_;
};

// ---------------------------------------------------------------------------
// Objects that other parts of the platform create
//
// ObReferenceObject and ObDereferenceObject work on objects the kernel knows.
// A part of the platform that creates its own objects (file objects of the
// streaming class, for instance) registers each one with a destroy callback
// that runs when the last reference goes; the registration holds the first
// reference.
// ---------------------------------------------------------------------------

void RegisterObject(void* object, POBJECT_TYPE type, void (*destroy)(void* object));

// ---------------------------------------------------------------------------
// Reset
// ---------------------------------------------------------------------------

// Test mode off, violations cleared, pool faults cleared, time scale back to
// DefaultTimeScale(), this thread's IRQL back to PASSIVE_LEVEL. Live objects
// are not touched: a leak stays visible.
void ResetForTest();

namespace detail {

// Handles are shared between the file/registry handle table and the thread
// handle table; both draw their values from here so they never collide.
// Values are kernel-handle-like (high bit set), multiples of 4, never reused.
HANDLE NewHandleValue();

// ZwClose calls this first: it closes the handle when it is a thread handle
// from PsCreateSystemThread and returns true, else returns false and touches
// nothing.
bool CloseThreadHandle(HANDLE handle);

} // namespace detail

} // namespace host

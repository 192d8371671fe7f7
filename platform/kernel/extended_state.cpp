// Extended processor state: the save and restore that kernel code puts around
// its use of the YMM registers. On the host the operating system already
// keeps every thread's registers, so nothing is copied; what is kept is the
// contract, which the verifier holds callers to: save at or below
// DISPATCH_LEVEL, restore on the same thread at the same IRQL, innermost
// save first.
#include "kernel_internal.h"

#include <cpuid.h>
#include <cstdio>

namespace {

thread_local PXSTATE_SAVE t_innermost = nullptr;
thread_local std::size_t t_depth = 0;

// The state components the processor and the system keep (XCR0). Read
// once: CPUID traps to the hypervisor in a virtual machine, and saves come
// once per converted frame.
ULONG64 ReadEnabledFeatures() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx) || (ecx & bit_OSXSAVE) == 0) {
        return XSTATE_MASK_LEGACY;
    }
    unsigned lo = 0, hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return ((ULONG64)hi << 32) | lo;
}

ULONG64 EnabledFeatures() {
    static const ULONG64 features = ReadEnabledFeatures();
    return features;
}

} // namespace

namespace host {

std::size_t ExtendedStateSaveDepth() {
    return t_depth;
}

} // namespace host

EXTERN_C NTSTATUS NTAPI KeSaveExtendedProcessorState(ULONG64 Mask, PXSTATE_SAVE XStateSave) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL) {
        kernel::Violate(host::Rule::ExtendedStateIrql,
                        "KeSaveExtendedProcessorState at IRQL " + std::to_string(irql));
        return STATUS_INVALID_PARAMETER;
    }
    RtlZeroMemory(XStateSave, sizeof(*XStateSave));
    XStateSave->Prev = t_innermost;
    XStateSave->Thread = KeGetCurrentThread();
    XStateSave->Level = irql;
    XStateSave->XStateContext.Mask = Mask & EnabledFeatures();
    t_innermost = XStateSave;
    t_depth++;
    return STATUS_SUCCESS;
}

EXTERN_C VOID NTAPI KeRestoreExtendedProcessorState(PXSTATE_SAVE XStateSave) {
    char where[32];
    snprintf(where, sizeof(where), "%p", (void*)XStateSave);
    if (XStateSave != t_innermost) {
        bool outstanding = false;
        for (PXSTATE_SAVE s = t_innermost; s != nullptr; s = s->Prev) {
            outstanding |= s == XStateSave;
        }
        kernel::Violate(host::Rule::ExtendedStateUnpaired,
                        std::string("KeRestoreExtendedProcessorState of save ") + where +
                            (outstanding ? ", which is not the innermost save of this thread"
                                         : ", which this thread does not hold"));
        if (!outstanding) {
            return;
        }
        // Inner saves restored along with it are gone too.
        while (t_innermost != XStateSave) {
            t_innermost = t_innermost->Prev;
            t_depth--;
        }
    }
    KIRQL irql = KeGetCurrentIrql();
    if (irql != XStateSave->Level) {
        kernel::Violate(host::Rule::ExtendedStateIrql,
                        std::string("KeRestoreExtendedProcessorState of save ") + where +
                            " at IRQL " + std::to_string(irql) + ", saved at IRQL " +
                            std::to_string(XStateSave->Level));
    }
    t_innermost = XStateSave->Prev;
    t_depth--;
}

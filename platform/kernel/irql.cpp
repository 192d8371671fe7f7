// IRQL: a per-thread level, passive until a thread raises it. Nothing is
// masked on the host; the level exists so the verifier can hold code to the
// rules that depend on it.
#include "kernel_internal.h"

namespace {

thread_local KIRQL t_irql = PASSIVE_LEVEL;

} // namespace

namespace kernel {

void SetIrql(KIRQL irql) {
    t_irql = irql;
}

} // namespace kernel

EXTERN_C KIRQL NTAPI KeGetCurrentIrql(VOID) {
    return t_irql;
}

EXTERN_C KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql) {
    KIRQL old = t_irql;
    if (NewIrql < old || NewIrql > HIGH_LEVEL) {
        kernel::Violate(host::Rule::IrqlBadRaise, "KeRaiseIrql from " + std::to_string(old) +
                                                      " to " + std::to_string(NewIrql));
        return old;
    }
    t_irql = NewIrql;
    return old;
}

EXTERN_C KIRQL NTAPI KeRaiseIrqlToDpcLevel(VOID) {
    return KfRaiseIrql(DISPATCH_LEVEL);
}

EXTERN_C VOID NTAPI KeLowerIrql(KIRQL NewIrql) {
    if (NewIrql > t_irql) {
        kernel::Violate(host::Rule::IrqlBadLower, "KeLowerIrql from " + std::to_string(t_irql) +
                                                      " to " + std::to_string(NewIrql));
        return;
    }
    t_irql = NewIrql;
}

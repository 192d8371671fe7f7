// Putting the kernel's host-side switches back between tests.
#include "kernel_internal.h"

namespace host {

void ResetForTest() {
    SetVerifierTestMode(false);
    ClearViolations();
    ClearPoolFaults();
    SetTimeScale(DefaultTimeScale());
    kernel::SetIrql(PASSIVE_LEVEL);
}

} // namespace host

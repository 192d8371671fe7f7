// The foreign code region the callback types test each call target against
// (see <kcallback.h>). Empty until the loader reserves it.
#include <kcallback.h>

extern "C" {
uintptr_t KiForeignCodeBase = 0;
uintptr_t KiForeignCodeSize = 0;
long KiForeignCallsActive = 0;
}

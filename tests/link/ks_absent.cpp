// Until the streaming class joins the build, the one call the parser makes
// into it has nowhere to go. The unit tests here never register a pin, so the
// parser never makes it.
#include <ks.h>

#include <cstdlib>

KSDDKAPI void NTAPI KsPinAttemptProcessing(PKSPIN, BOOLEAN) {
    std::abort();
}

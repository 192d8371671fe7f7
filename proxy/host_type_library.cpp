// The host build's stand-in for the module's type-library resource: what the
// Windows build embeds from m4350proxy.idl, as data the host's LoadTypeLibEx
// reads from the module. Only the host build compiles this file; the tests
// compare it with the IDL.
#include "im4350cfg.h"

#include <host/com.h>

namespace {

const host::com::TypeLibInterface Interfaces[] = {
    {IID_IM4350Cfg, L"IM4350Cfg", false},
};

} // namespace

extern "C" const host::com::TypeLibResource HostTypeLibResource = {
    LIBID_m4350PROXYLib,
    1,
    0,
    0,
    0,
    L"m4350PROXYLib",
    L"m4350proxy 1.0 Type Library",
    Interfaces,
    sizeof Interfaces / sizeof Interfaces[0],
};

// The module's lock count: live objects, live class factories and
// LockServer(TRUE) calls. DllCanUnloadNow answers S_OK only at zero.
#pragma once

#include <windows.h>

void ModuleLock();
void ModuleUnlock();
LONG ModuleLockCount();

// The COM library calls: initialisation, object creation through in-process
// servers registered under HKEY_CLASSES_ROOT\CLSID, task memory and GUID
// strings.
//
// What the host's COM does (and does not):
// - Every thread must call CoInitializeEx before creating objects; each
//   successful call (S_OK first, S_FALSE again) needs one CoUninitialize. A
//   thread that asks for the other concurrency model than it first chose is
//   refused with RPC_E_CHANGED_MODE. There is no marshalling: every object is
//   called directly from any thread, as in the multithreaded apartment, so
//   servers must be free-threaded ("Both" or "Free").
// - Only in-process servers exist (CLSCTX_INPROC_SERVER). A class's
//   InprocServer32 default value is the module's path; the module is loaded
//   once per path and stays loaded until CoFreeUnusedLibraries (or the last
//   CoUninitialize of the process) finds its DllCanUnloadNow answering S_OK.
// - Aggregation is the class factory's business: the runtime hands the outer
//   object through unchanged.
#pragma once

#include "unknwn.h"

typedef WCHAR OLECHAR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;
typedef CLSID* LPCLSID;
typedef IID* LPIID;

typedef enum tagCOINIT {
    COINIT_APARTMENTTHREADED = 0x2,
    COINIT_MULTITHREADED = 0x0,
    COINIT_DISABLE_OLE1DDE = 0x4,
    COINIT_SPEED_OVER_MEMORY = 0x8,
} COINIT;

typedef enum tagCLSCTX {
    CLSCTX_INPROC_SERVER = 0x1,
    CLSCTX_INPROC_HANDLER = 0x2,
    CLSCTX_LOCAL_SERVER = 0x4,
    CLSCTX_REMOTE_SERVER = 0x10,
} CLSCTX;
#define CLSCTX_INPROC (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)
#define CLSCTX_ALL                                                                                 \
    (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)
#define CLSCTX_SERVER (CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)

// What a module exports for the runtime.
typedef HRESULT(STDAPICALLTYPE* LPFNGETCLASSOBJECT)(REFCLSID, REFIID, LPVOID*);
typedef HRESULT(STDAPICALLTYPE* LPFNCANUNLOADNOW)(void);

STDAPI CoInitialize(LPVOID pvReserved);
STDAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
STDAPI_(void) CoUninitialize(void);

STDAPI CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved, REFIID riid,
                        LPVOID* ppv);
STDAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                        LPVOID* ppv);
STDAPI_(void) CoFreeUnusedLibraries(void);

STDAPI_(LPVOID) CoTaskMemAlloc(SIZE_T cb);
STDAPI_(void) CoTaskMemFree(LPVOID pv);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}": 39 characters with the
// terminator. Returns the characters written with the terminator, 0 when
// the buffer is too small.
STDAPI_(int) StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);
// Parses the braced form; anything else is CO_E_CLASSSTRING (CLSID) or
// E_INVALIDARG (IID).
STDAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
STDAPI IIDFromString(LPCOLESTR lpsz, LPIID lpiid);

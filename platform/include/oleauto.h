// Type-library registration, as an in-process server's DllRegisterServer and
// DllUnregisterServer use it.
//
// On the host a module carries no resources: LoadTypeLibEx takes the type
// library's description from the module named by the path (its exported
// host type-library resource, <host/com.h>), and RegisterTypeLib writes the
// registry keys Windows writes for it:
//
//   HKCR\TypeLib\{LIBID}\<major>.<minor>        default: the help string (or the name)
//   HKCR\TypeLib\{LIBID}\<major>.<minor>\FLAGS  default: the library flags, decimal
//   HKCR\TypeLib\{LIBID}\<major>.<minor>\HELPDIR default: the help folder, when given
//   HKCR\TypeLib\{LIBID}\<major>.<minor>\<lcid hex>\win64  default: the path
//
// and, for each interface that is dual, a dispatch interface or marked
// oleautomation, HKCR\Interface\{IID} with its name, ProxyStubClsid32,
// TypeLib and Version. Other interfaces are not registered.
//
// The host's ITypeLib answers its library attributes only; it carries no
// type information.
#pragma once

#include "objbase.h"

typedef enum tagSYSKIND { SYS_WIN16 = 0, SYS_WIN32, SYS_MAC, SYS_WIN64 } SYSKIND;
typedef enum tagREGKIND { REGKIND_DEFAULT = 0, REGKIND_REGISTER, REGKIND_NONE } REGKIND;

#define LANG_NEUTRAL 0x00
#define SORT_DEFAULT 0x0
#define MAKELANGID(p, s) ((((WORD)(s)) << 10) | (WORD)(p))
#define MAKELCID(lgid, srtid) ((DWORD)((((DWORD)((WORD)(srtid))) << 16) | ((DWORD)((WORD)(lgid)))))
#define LOCALE_NEUTRAL MAKELCID(MAKELANGID(LANG_NEUTRAL, 0), SORT_DEFAULT)

typedef enum tagLIBFLAGS {
    LIBFLAG_FRESTRICTED = 0x1,
    LIBFLAG_FCONTROL = 0x2,
    LIBFLAG_FHIDDEN = 0x4,
    LIBFLAG_FHASDISKIMAGE = 0x8,
} LIBFLAGS;

typedef struct tagTLIBATTR {
    GUID guid;
    LCID lcid;
    SYSKIND syskind;
    WORD wMajorVerNum;
    WORD wMinorVerNum;
    WORD wLibFlags;
} TLIBATTR, *LPTLIBATTR;

// {00020402-0000-0000-C000-000000000046}
DEFINE_GUID(IID_ITypeLib, 0x00020402, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
            0x46);

struct ITypeLib : public IUnknown {
    STDMETHOD_(UINT, GetTypeInfoCount)() PURE;
    STDMETHOD(GetLibAttr)(TLIBATTR** ppTLibAttr) PURE;
    STDMETHOD_(void, ReleaseTLibAttr)(TLIBATTR* pTLibAttr) PURE;
};
typedef ITypeLib* LPTYPELIB;

STDAPI LoadTypeLib(LPCOLESTR szFile, ITypeLib** pptlib);
STDAPI LoadTypeLibEx(LPCOLESTR szFile, REGKIND regkind, ITypeLib** pptlib);
// szHelpDir may be NULL. Keys already there are written over.
STDAPI RegisterTypeLib(ITypeLib* ptlib, LPCOLESTR szFullPath, LPCOLESTR szHelpDir);
// Removes the registration of one version and locale: the locale's key, the
// version's key once no locale is left, the library's key once no version is
// left, and the interface keys that name the library. TYPE_E_REGISTRYACCESS
// when the version is not registered.
STDAPI UnRegisterTypeLib(REFGUID libID, WORD wVerMajor, WORD wVerMinor, LCID lcid, SYSKIND syskind);

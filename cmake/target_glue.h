// Target-build glue: what mingw-w64's DDK and Win32 headers lack or spell
// differently from the WDK, supplied in one place so that driver/, shared/
// and proxy/ compile unchanged against them. The toolchain build force-
// includes this header into every target source (-include); the host build
// never sees it. Each block says which header it makes up for.
#pragma once

#if defined(M4350_TARGET_KERNEL)

// mingw's <wdm.h> declares InterlockedBitTestAndSet/Reset as functions and
// then defines the same names as macros for the compiler intrinsics; in C++
// the intrinsic header's inline definitions clash with them. Claiming the
// intrinsics as already defined keeps <wdm.h>'s own declarations.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <wdm.h>

// mingw's <ks.h> uses Win32 types (HANDLE-based and geometry records) that it
// expects <windef.h> to have declared; the WDK's ks.h brings them itself.
#include <windef.h>

// mingw's <ks.h> declares the kernel-mode COM interfaces (IKsReferenceClock,
// IKsControl) only when a kernel IUnknown is already declared. The WDK's
// minidrivers get it from <unknown.h>; mingw's copy of that header does not
// compile as C++; its DDK's <punknown.h> declares the same IUnknown, given
// the two declaration attributes <winnt.h> would define in user mode.
#ifndef DECLSPEC_NOVTABLE
#define DECLSPEC_NOVTABLE
#endif
#ifndef DECLSPEC_NOTHROW
#define DECLSPEC_NOTHROW
#endif
#include <punknown.h>
// <basetyps.h>, which <punknown.h> includes, defines `interface` as a macro
// for its COM declarations; kernel code names variables `interface` (a USB
// interface). <ks.h> is the last header to need the macro.
#include <ks.h>
#undef interface

// mingw's <ksmedia.h> names TCHAR in a VCR record it declares; kernel code has
// no generic-text mapping, and the driver never uses that record.
#ifndef _TCHAR_DEFINED
#define _TCHAR_DEFINED
typedef char TCHAR;
#endif

// The registry query type check (a type in the top byte of DefaultType makes
// the query refuse values of another type) is missing from mingw's <wdm.h>.
#ifndef RTL_QUERY_REGISTRY_TYPECHECK
#define RTL_QUERY_REGISTRY_TYPECHECK 0x00000100
#define RTL_QUERY_REGISTRY_TYPECHECK_SHIFT 24
#endif

// mingw's <wdm.h> declares the extended processor state calls but not the
// feature masks they take (its <winnt.h> has them, for user mode). The
// conversions save the YMM state (the AVX feature, bit 2) around AVX2 rows.
#ifndef XSTATE_MASK_AVX
#define XSTATE_MASK_GSSE (1ULL << 2)
#define XSTATE_MASK_AVX XSTATE_MASK_GSSE
#endif

// mingw's <usbdlib.h> declares the USBD routines without extern "C", so C++
// callers would link against mangled names usbd.sys does not export. It also
// includes neither <usbdi.h> nor <usbioctl.h>, which the WDK's does; the URB
// records and internal IOCTLs the USB layer uses come from those two.
extern "C" {
#include <usb.h>
#include <usbdi.h>
#include <usbioctl.h>
#include <usbdlib.h>
}

// mingw's <ksmedia.h> has none of the video subtypes the format catalogue
// offers. FourCC subtypes are {XXXXXXXX-0000-0010-8000-00AA00389B71} with the
// FourCC, as it reads in memory, in the first field; the two RGB subtypes
// have GUIDs of their own.
#define M4350_FOURCC_SUBTYPE(c0, c1, c2, c3)                                                       \
    ((ULONG)(UCHAR)(c0) | ((ULONG)(UCHAR)(c1) << 8) | ((ULONG)(UCHAR)(c2) << 16) |                 \
     ((ULONG)(UCHAR)(c3) << 24)),                                                                  \
        0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71
#ifndef STATIC_KSDATAFORMAT_SUBTYPE_UYVY
#define STATIC_KSDATAFORMAT_SUBTYPE_UYVY M4350_FOURCC_SUBTYPE('U', 'Y', 'V', 'Y')
#endif
#ifndef STATIC_KSDATAFORMAT_SUBTYPE_YUY2
#define STATIC_KSDATAFORMAT_SUBTYPE_YUY2 M4350_FOURCC_SUBTYPE('Y', 'U', 'Y', '2')
#endif
#ifndef STATIC_KSDATAFORMAT_SUBTYPE_YV16
#define STATIC_KSDATAFORMAT_SUBTYPE_YV16 M4350_FOURCC_SUBTYPE('Y', 'V', '1', '6')
#endif
#ifndef STATIC_KSDATAFORMAT_SUBTYPE_Y800
#define STATIC_KSDATAFORMAT_SUBTYPE_Y800 M4350_FOURCC_SUBTYPE('Y', '8', '0', '0')
#endif
#ifndef STATIC_KSDATAFORMAT_SUBTYPE_MJPG
#define STATIC_KSDATAFORMAT_SUBTYPE_MJPG M4350_FOURCC_SUBTYPE('M', 'J', 'P', 'G')
#endif
#ifndef STATIC_KSDATAFORMAT_SUBTYPE_RGB24
#define STATIC_KSDATAFORMAT_SUBTYPE_RGB24                                                          \
    0xE436EB7D, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70
#endif
#ifndef STATIC_KSDATAFORMAT_SUBTYPE_RGB32
#define STATIC_KSDATAFORMAT_SUBTYPE_RGB32                                                          \
    0xE436EB7E, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70
#endif

#endif // M4350_TARGET_KERNEL

#if defined(M4350_TARGET_USER)

// mingw's <ks.h> and <ksproxy.h> expect the Win32 headers first. <ksproxy.h>
// declares IKsObject and KsSynchronousDeviceControl only where __STREAMS__
// says DirectShow's declarations are in: the SDK's base-class header
// <streams.h> defines it, which mingw does not ship, so the glue includes
// DirectShow's interfaces (<strmif.h>) and says so itself.
#include <windows.h>
#include <strmif.h>
#ifndef __STREAMS__
#define __STREAMS__
#endif

#endif // M4350_TARGET_USER

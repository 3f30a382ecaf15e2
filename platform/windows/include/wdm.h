// mingw-w64's wdm.h redeclares InterlockedBitTestAndSet/Reset, which its intrin-impl.h
// already defines inline, and C++ rejects the redeclaration. Marking the intrinsics as
// defined keeps the inline versions and drops the clashing declarations.
#pragma once

#ifndef __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#endif
#ifndef __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#endif

#include_next <wdm.h>

// Non-executable pool, as the WDK's wdm.h offers it and mingw-w64's lacks: a module built
// with POOL_NX_OPTIN=1 names its default non-paged pool type `NonPagedPool`, which
// ExInitializeDriverRuntime(DrvRtPoolNxOptIn), first thing at entry, turns into
// NonPagedPoolNx on Windows 8 and later (older systems have no NX pool). Executable pool
// cannot then be asked for by name.
#define DrvRtPoolNxOptIn 0x00000001
#if defined(POOL_NX_OPTIN) && POOL_NX_OPTIN
// The kernel's own version check (exported from Vista on); the header routes the name to
// the WDK's static library, which mingw-w64 does not have.
#undef RtlIsNtDdiVersionAvailable
extern "C" DECLSPEC_IMPORT BOOLEAN NTAPI RtlIsNtDdiVersionAvailable(ULONG Version);
#define CCID_NTDDI_WIN8 0x06020000
inline POOL_TYPE ExDefaultNonPagedPoolType = NonPagedPoolExecute;
#define NonPagedPool ExDefaultNonPagedPoolType
inline VOID ExInitializeDriverRuntime(ULONG RuntimeFlags)
{
    if ((RuntimeFlags & DrvRtPoolNxOptIn) != 0 && RtlIsNtDdiVersionAvailable(CCID_NTDDI_WIN8)) {
        ExDefaultNonPagedPoolType = NonPagedPoolNx;
    }
}
#pragma GCC poison NonPagedPoolExecute NonPagedPoolCacheAligned NonPagedPoolMustSucceed
#endif

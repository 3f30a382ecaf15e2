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

// Compiled by both builds, never linked: each row of x64_layout.h is a static_assert
// against the headers this build compiles the driver with.
#include <CcidPlatform.h>

#include "x64_layout.h"

#define CCID_CHECK_SIZE(type, bytes) \
  static_assert(sizeof(type) == (bytes), "sizeof(" #type ") is not the Windows x64 size " #bytes);
#define CCID_CHECK_FIELD(type, member, offset)                                     \
  static_assert(__builtin_offsetof(type, member) == (offset),                      \
                "offset of " #type "." #member " is not the Windows x64 offset " #offset);
#if defined(__MINGW32__)
#define CCID_CHECK_KERNEL_SIZE(type, bytes)
#else
#define CCID_CHECK_KERNEL_SIZE(type, bytes) CCID_CHECK_SIZE(type, bytes)
#endif

CCID_X64_LAYOUT(CCID_CHECK_SIZE, CCID_CHECK_KERNEL_SIZE, CCID_CHECK_FIELD)

// What the hosted build supplies where the Windows build relies on the compiler or on
// mingw-w64: wide string literals (char16_t here, wchar_t on Windows).
#pragma once

#include <wdm.h>

// A WCHAR string literal: u"" in the hosted build, L"" in the Windows build.
#define KTEXT(s) u"" s

// What the driver sources need to build against mingw-w64's DDK headers and nothing else.
#pragma once

// Wide string literals: WCHAR is the 16-bit wchar_t on Windows.
#define KTEXT(s) L"" s

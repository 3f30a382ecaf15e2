// mingw-w64's usbdlib.h lacks an extern "C" guard, so C++ callers would import mangled
// USBD names that USBD.SYS does not export. It also needs usb.h first.
#pragma once

#include <usb.h>

#ifdef __cplusplus
extern "C" {
#endif
#include_next <usbdlib.h>
#ifdef __cplusplus
}
#endif

// The platform headers every driver file needs, in the order they build on each other:
// the kernel, the USB request block and descriptor definitions, the USB driver library,
// and the smart-card driver library with its request codes.
#pragma once

#include <kcompat.h>
#include <wdm.h>
#include <usb.h>
#include <usbdi.h>
#include <usbdlib.h>
#include <smclib.h>
#include <winsmcrd.h>

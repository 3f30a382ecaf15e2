// The device-control codes the driver answers itself, built as the I/O manager builds
// them: device type FILE_DEVICE_UNKNOWN, METHOD_BUFFERED, FILE_ANY_ACCESS, so input and
// output share the request's system buffer.
#pragma once

#include "CcidPlatform.h"

#define CCID_CTL_CODE(function) CTL_CODE(FILE_DEVICE_UNKNOWN, (function), METHOD_BUFFERED, FILE_ANY_ACCESS)

// Out: the 54-byte CCID class descriptor.
constexpr ULONG IOCTL_CCID_GET_CLASS_DESCRIPTOR = CCID_CTL_CODE(0x800);
// In: byte 0, the slot. The CCID abort: the class request ABORT, then PC_to_RDR_Abort.
constexpr ULONG IOCTL_CCID_ABORT = CCID_CTL_CODE(0x801);
// Out: the reader's answer to the class request GET_CLOCK_FREQUENCIES.
constexpr ULONG IOCTL_CCID_GET_CLOCK_FREQUENCIES = CCID_CTL_CODE(0x802);
// Out: the reader's answer to the class request GET_DATA_RATES.
constexpr ULONG IOCTL_CCID_GET_DATA_RATES = CCID_CTL_CODE(0x803);
// In: one whole CCID bulk-out message (bSeq is the driver's); out: the response's header
// and data.
constexpr ULONG IOCTL_CCID_TRANSFER = CCID_CTL_CODE(0x804);
// Out: one interrupt-pipe message, from the event ring or the next to arrive.
constexpr ULONG IOCTL_CCID_READ_EVENT = CCID_CTL_CODE(0x805);

#undef CCID_CTL_CODE

static_assert(IOCTL_CCID_GET_CLASS_DESCRIPTOR == 0x00222000, "control code");
static_assert(IOCTL_CCID_ABORT == 0x00222004, "control code");
static_assert(IOCTL_CCID_GET_CLOCK_FREQUENCIES == 0x00222008, "control code");
static_assert(IOCTL_CCID_GET_DATA_RATES == 0x0022200C, "control code");
static_assert(IOCTL_CCID_TRANSFER == 0x00222010, "control code");
static_assert(IOCTL_CCID_READ_EVENT == 0x00222014, "control code");

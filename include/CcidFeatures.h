// Routines of the reader features (features/), grouped by defining file: the PC/SC part
// 10 feature list and the handlers of the feature control codes, reached through the
// smart-card library's vendor-code path (RDF_IOCTL_VENDOR).
#pragma once

#include "CcidDevice.h"
#include "CcidWire.h"

// The PC/SC part 10 feature request, SCARD_CTL_CODE(3400).
constexpr ULONG CM_IOCTL_GET_FEATURE_REQUEST = 0x00313520;
static_assert(CM_IOCTL_GET_FEATURE_REQUEST == SCARD_CTL_CODE(3400), "the part 10 feature request");

// The control codes the feature list announces for the driver's own features.
constexpr ULONG IOCTL_FEATURE_VERIFY_PIN_DIRECT = 0x00FD65F8;
constexpr ULONG IOCTL_FEATURE_MODIFY_PIN_DIRECT = 0x00FD65FC;
constexpr ULONG IOCTL_FEATURE_IFD_PIN_PROPERTIES = 0x00FD6608;
constexpr ULONG IOCTL_FEATURE_GET_TLV_PROPERTIES = 0x00FD6628;
constexpr ULONG IOCTL_FEATURE_CCID_ESC_COMMAND = 0x00FD6660;

// PC/SC part 10 feature tags.
constexpr UCHAR FEATURE_VERIFY_PIN_DIRECT = 0x06;
constexpr UCHAR FEATURE_MODIFY_PIN_DIRECT = 0x07;
constexpr UCHAR FEATURE_IFD_PIN_PROPERTIES = 0x0A;
constexpr UCHAR FEATURE_ABORT = 0x0B;
constexpr UCHAR FEATURE_GET_TLV_PROPERTIES = 0x12;
constexpr UCHAR FEATURE_CCID_ESC_COMMAND = 0x13;

// One entry of the feature list: tag, length 4, the control code most significant byte first.
typedef struct _CCID_FEATURE_TLV {
    UCHAR Tag;
    UCHAR Length;
    UCHAR ControlCode[4];
} CCID_FEATURE_TLV;
static_assert(sizeof(CCID_FEATURE_TLV) == 6, "a feature entry is 6 packed bytes");

// bPINSupport bits of the class descriptor.
constexpr UCHAR CCID_PIN_SUPPORT_VERIFY = 0x01;
constexpr UCHAR CCID_PIN_SUPPORT_MODIFY = 0x02;

// The PIN-pad properties answer (PIN_PROPERTIES_STRUCTURE).
typedef struct _CCID_PIN_PROPERTIES {
    LE16 wLcdLayout;
    UCHAR bEntryValidationCondition;
    UCHAR bTimeOut2;
} CCID_PIN_PROPERTIES;
static_assert(sizeof(CCID_PIN_PROPERTIES) == 4, "PIN_PROPERTIES_STRUCTURE is 4 packed bytes");

// Maximum size reached, validation key pressed, time-out.
constexpr UCHAR CCID_PIN_ENTRY_VALIDATION = 0x07;

// Fixed parts of the part 10 PIN structures before the APDU, and the largest message the
// PIN and escape handlers build.
constexpr ULONG CCID_PIN_VERIFY_FIXED_SIZE = 19;
constexpr ULONG CCID_PIN_MODIFY_FIXED_SIZE = 24;
constexpr ULONG CCID_FEATURE_MESSAGE_MAX = 320;

// bPINOperation of PC_to_RDR_Secure.
constexpr UCHAR CCID_PIN_OPERATION_VERIFY = 0x00;
constexpr UCHAR CCID_PIN_OPERATION_MODIFY = 0x01;

// Bytes of the TLV properties answer.
constexpr ULONG CCID_TLV_PROPERTIES_SIZE = 14;

// ---- features/VendorIoctl.cpp -----------------------------------------------------

// Reader function RDF_IOCTL_VENDOR (PASSIVE_LEVEL): dispatches on MajorIoControlCode; a code
// it does not serve succeeds with no data.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS NTAPI CcidVendorIoctl(_In_ PSMARTCARD_EXTENSION SmartcardExtension);

// ---- features/SecurePin.cpp -------------------------------------------------------

// PIN verification and modification on the reader's keypad (PC_to_RDR_Secure), the raw
// escape (PC_to_RDR_Escape) and the TLV properties. PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS CcidVerifyPinDirect(_In_ PSMARTCARD_EXTENSION SmartcardExtension);
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS CcidModifyPinDirect(_In_ PSMARTCARD_EXTENSION SmartcardExtension);
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS CcidEscapeCommand(_In_ PSMARTCARD_EXTENSION SmartcardExtension);
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS CcidGetTlvProperties(_In_ PSMARTCARD_EXTENSION SmartcardExtension);

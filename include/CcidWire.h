// The CCID wire formats the driver speaks to a reader: the 10-byte header of every bulk
// message, the 54-byte class descriptor, the message and request codes, the status bits
// of a response and the interrupt-pipe messages.
#pragma once

#include "CcidEndian.h"

// ---- Bulk messages ----------------------------------------------------------------

// Bytes of the header that begins every bulk message.
constexpr ULONG CCID_HEADER_SIZE = 10;

// The driver reads responses in packets of this size (the bulk wMaxPacketSize).
constexpr ULONG CCID_BULK_PACKET_SIZE = 64;

// Payload bytes a response may announce. CCID messages are at most 65544 bytes
// (dwMaxCCIDMessageLength); a larger dwLength is no message the driver could hold.
constexpr ULONG CCID_MAX_PAYLOAD = 65536;

// Header of a bulk message, command or response. Bytes 7 to 9 are message-specific in a
// command (bPowerSelect, bBWI ...) and bStatus, bError and one specific byte in a response.
typedef struct _CCID_HEADER {
    UCHAR bMessageType;
    LE32 dwLength;      // payload bytes after the header
    UCHAR bSlot;
    UCHAR bSeq;
    UCHAR bStatus;      // byte 7
    UCHAR bError;       // byte 8
    UCHAR bSpecific;    // byte 9: bChainParameter, bClockStatus, bProtocolNum
} CCID_HEADER, *PCCID_HEADER;

static_assert(sizeof(CCID_HEADER) == CCID_HEADER_SIZE, "CCID_HEADER is 10 packed bytes");
static_assert(alignof(CCID_HEADER) == 1, "CCID_HEADER is read from any byte offset");

// Commands (PC_to_RDR).
constexpr UCHAR CCID_PC_TO_RDR_SET_PARAMETERS = 0x61;
constexpr UCHAR CCID_PC_TO_RDR_ICC_POWER_ON = 0x62;
constexpr UCHAR CCID_PC_TO_RDR_ICC_POWER_OFF = 0x63;
constexpr UCHAR CCID_PC_TO_RDR_SECURE = 0x69;
constexpr UCHAR CCID_PC_TO_RDR_ESCAPE = 0x6B;
constexpr UCHAR CCID_PC_TO_RDR_XFR_BLOCK = 0x6F;
constexpr UCHAR CCID_PC_TO_RDR_ABORT = 0x72;

// Responses (RDR_to_PC). CCID_ANY_RESPONSE as the expected code accepts any response.
constexpr UCHAR CCID_ANY_RESPONSE = 0x00;
constexpr UCHAR CCID_RDR_TO_PC_DATA_BLOCK = 0x80;
constexpr UCHAR CCID_RDR_TO_PC_SLOT_STATUS = 0x81;
constexpr UCHAR CCID_RDR_TO_PC_PARAMETERS = 0x82;
constexpr UCHAR CCID_RDR_TO_PC_ESCAPE = 0x83;

// bStatus of a response: bmICCStatus in bits 0-1, bmCommandStatus in bits 6-7.
constexpr UCHAR CCID_ICC_STATUS_MASK = 0x03;
constexpr UCHAR CCID_ICC_STATUS_NO_CARD = 0x02;
constexpr UCHAR CCID_COMMAND_STATUS_SHIFT = 6;
constexpr UCHAR CCID_COMMAND_STATUS_PROCESSED = 0;
constexpr UCHAR CCID_COMMAND_STATUS_FAILED = 1;
constexpr UCHAR CCID_COMMAND_STATUS_TIME_EXTENSION = 2;
constexpr UCHAR CCID_STATUS_FAILED_BIT = 0x40;

// bChainParameter of an extended-APDU reader's RDR_to_PC_DataBlock: the answer is the
// first part, or a middle part, of one that goes on in the next DataBlock.
constexpr UCHAR CCID_CHAIN_BEGIN = 0x01;
constexpr UCHAR CCID_CHAIN_MIDDLE = 0x03;
// wLevelParameter of the empty PC_to_RDR_XfrBlock that asks for the answer's next part.
constexpr USHORT CCID_LEVEL_NEXT_PART = 0x0010;
// wLevelParameter of the parts of a command longer than one message: the first, one in
// the middle, the last; and the bChainParameter with which the reader asks for the next.
constexpr USHORT CCID_LEVEL_COMMAND_BEGIN = 0x0001;
constexpr USHORT CCID_LEVEL_COMMAND_END = 0x0002;
constexpr USHORT CCID_LEVEL_COMMAND_MIDDLE = 0x0003;
constexpr UCHAR CCID_CHAIN_MORE_COMMAND = 0x10;

// bError values the driver maps to their own statuses.
constexpr UCHAR CCID_ERROR_NONE = 0x00;  // with a failure: command not supported
constexpr UCHAR CCID_ERROR_ICC_MUTE = 0xFE;
constexpr UCHAR CCID_ERROR_HW_ERROR = 0xFB;
constexpr UCHAR CCID_ERROR_PIN_TIMEOUT = 0xF0;

// bPowerSelect of PC_to_RDR_IccPowerOn.
constexpr UCHAR CCID_POWER_SELECT_AUTOMATIC = 0;
constexpr UCHAR CCID_POWER_SELECT_5V = 1;
constexpr UCHAR CCID_POWER_SELECT_3V = 2;
constexpr UCHAR CCID_POWER_SELECT_1_8V = 3;

// ---- Interrupt messages -----------------------------------------------------------

constexpr UCHAR CCID_RDR_TO_PC_NOTIFY_SLOT_CHANGE = 0x50;
constexpr UCHAR CCID_RDR_TO_PC_HARDWARE_ERROR = 0x51;
// Bits of slot 0 in byte 1 of RDR_to_PC_NotifySlotChange.
constexpr UCHAR CCID_SLOT0_CARD_PRESENT = 0x01;
constexpr UCHAR CCID_SLOT0_CHANGED = 0x02;

// ---- Class descriptor and class requests ------------------------------------------

constexpr UCHAR CCID_CLASS_DESCRIPTOR_TYPE = 0x21;
constexpr ULONG CCID_CLASS_DESCRIPTOR_SIZE = 54;

// bVoltageSupport bits.
constexpr UCHAR CCID_VOLTAGE_5V = 0x01;
constexpr UCHAR CCID_VOLTAGE_3V = 0x02;
constexpr UCHAR CCID_VOLTAGE_1_8V = 0x04;

// dwProtocols bits.
constexpr ULONG CCID_PROTOCOL_T0 = 0x00000001;
constexpr ULONG CCID_PROTOCOL_T1 = 0x00000002;

// dwFeatures: the reader exchanges whole short APDUs, or short and extended APDUs.
constexpr ULONG CCID_FEATURE_SHORT_APDU = 0x00020000;
constexpr ULONG CCID_FEATURE_EXTENDED_APDU = 0x00040000;

// The CCID class (functional) descriptor, packed, multi-byte fields little-endian.
typedef struct _CCID_CLASS_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    LE16 bcdCCID;
    UCHAR bMaxSlotIndex;
    UCHAR bVoltageSupport;
    LE32 dwProtocols;
    LE32 dwDefaultClock;
    LE32 dwMaximumClock;
    UCHAR bNumClockSupported;
    LE32 dwDataRate;
    LE32 dwMaxDataRate;
    UCHAR bNumDataRatesSupported;
    LE32 dwMaxIFSD;
    LE32 dwSynchProtocols;
    LE32 dwMechanical;
    LE32 dwFeatures;
    LE32 dwMaxCCIDMessageLength;
    UCHAR bClassGetResponse;
    UCHAR bClassEnvelope;
    LE16 wLcdLayout;
    UCHAR bPINSupport;
    UCHAR bMaxCCIDBusySlots;
} CCID_CLASS_DESCRIPTOR, *PCCID_CLASS_DESCRIPTOR;

static_assert(sizeof(CCID_CLASS_DESCRIPTOR) == CCID_CLASS_DESCRIPTOR_SIZE, "CCID_CLASS_DESCRIPTOR is 54 bytes");
static_assert(__builtin_offsetof(CCID_CLASS_DESCRIPTOR, dwProtocols) == 6, "CCID_CLASS_DESCRIPTOR layout");
static_assert(__builtin_offsetof(CCID_CLASS_DESCRIPTOR, dwDataRate) == 19, "CCID_CLASS_DESCRIPTOR layout");
static_assert(__builtin_offsetof(CCID_CLASS_DESCRIPTOR, dwMaxIFSD) == 28, "CCID_CLASS_DESCRIPTOR layout");
static_assert(__builtin_offsetof(CCID_CLASS_DESCRIPTOR, dwFeatures) == 40, "CCID_CLASS_DESCRIPTOR layout");
static_assert(__builtin_offsetof(CCID_CLASS_DESCRIPTOR, wLcdLayout) == 50, "CCID_CLASS_DESCRIPTOR layout");
static_assert(__builtin_offsetof(CCID_CLASS_DESCRIPTOR, bMaxCCIDBusySlots) == 53, "CCID_CLASS_DESCRIPTOR layout");

// Class-specific requests on the default pipe (URB_FUNCTION_CLASS_INTERFACE, interface 0).
constexpr UCHAR CCID_REQUEST_ABORT = 0x01;
constexpr UCHAR CCID_REQUEST_GET_CLOCK_FREQUENCIES = 0x02;
constexpr UCHAR CCID_REQUEST_GET_DATA_RATES = 0x03;
constexpr UCHAR CCID_REQUEST_GET_DESCRIPTOR = 0x06;
constexpr USHORT CCID_CLASS_DESCRIPTOR_VALUE = CCID_CLASS_DESCRIPTOR_TYPE << 8;  // type 0x21, index 0

// ---- Driver identification --------------------------------------------------------

// The four digits that end the identification escape and give the reader driver's
// version (3.0, build 4).
constexpr char DriverVersionDigits[] = "3004";
// The identification escape carries this prefix followed by DriverVersionDigits, without
// a terminator: "TALMOR_DRIVER_3004".
constexpr char CCID_IDENTIFICATION_PREFIX[] = "TALMOR_DRIVER_";
constexpr ULONG CCID_IDENTIFICATION_PREFIX_LENGTH = sizeof(CCID_IDENTIFICATION_PREFIX) - 1;
constexpr ULONG CCID_VERSION_DIGITS = sizeof(DriverVersionDigits) - 1;
constexpr ULONG CCID_IDENTIFICATION_LENGTH = CCID_IDENTIFICATION_PREFIX_LENGTH + CCID_VERSION_DIGITS;
static_assert(CCID_IDENTIFICATION_LENGTH == 18, "the identification escape carries 18 bytes");

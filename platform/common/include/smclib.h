// The smart-card driver library (SMCLIB.SYS) as a reader driver sees it: the per-reader
// SMARTCARD_EXTENSION with every structure it embeds, the reader-function indexes, the
// library's constants and the routines it exports. The same header serves the Windows
// build (against the DDK headers) and the hosted build (against the hosted kernel), so the
// layouts below are pinned for x64 with static_asserts.
#pragma once

#include <wdm.h>
#include <winsmcrd.h>

#ifdef __cplusplus
extern "C" {
#endif

// ---- Library constants -----------------------------------------------------------

#define SMCLIB_VERSION 0x150
#define SMCLIB_VERSION_REQUIRED 0x100  // oldest structure version the library accepts

#define MIN_BUFFER_SIZE 288      // request/reply buffer sizes below this are raised to it
#define MAXIMUM_ATR_LENGTH 33
#define MAXIMUM_ATR_CODES 4

// Indexes of SMARTCARD_EXTENSION::ReaderFunction.
#define RDF_CARD_POWER 0
#define RDF_TRANSMIT 1
#define RDF_CARD_EJECT 2
#define RDF_READER_SWALLOW 3
#define RDF_CARD_TRACKING 4
#define RDF_SET_PROTOCOL 5
#define RDF_DEBUG_LEVEL 6
#define RDF_CARD_CONFISCATE 7
#define RDF_IOCTL_VENDOR 8
#define RDF_ATR_PARSE 9

#define READER_FUNCTION_COUNT 16

// Protocol type selection kinds (PTS_DATA::Type).
#define PTS_TYPE_DEFAULT 0x00
#define PTS_TYPE_OPTIMAL 0x01
#define PTS_TYPE_USER 0x02

// T=1 block protocol.
#define T1_IFSD 254
#define T1_IFSD_DEFAULT 32
#define T1_MAX_RETRIES 2
#define T1_MORE_DATA 0x20
#define T1_CWI_DEFAULT 13
#define T1_BWI_DEFAULT 4
#define T1_CRC_CHECK 1  // SCARD_CARD_CAPABILITIES::T1.EDC bit 0: CRC instead of LRC

#define T1_ERROR_CHKSUM 1
#define T1_ERROR_OTHER 2

#define T1_INIT 0
#define T1_START 1
#define T1_I_BLOCK 2
#define T1_R_BLOCK 3
#define T1_RESTART 4

#define T1_RESYNCH_REQUEST 0xC0
#define T1_RESYNCH_RESPONSE 0xE0
#define T1_IFS_REQUEST 0xC1
#define T1_IFS_RESPONSE 0xE1
#define T1_ABORT_REQUEST 0xC2
#define T1_ABORT_RESPONSE 0xE2
#define T1_WTX_REQUEST 0xC3
#define T1_WTX_RESPONSE 0xE3
#define T1_VPP_ERROR 0xE4

// Debug levels (SmartcardGetDebugLevel / SmartcardSetDebugLevel).
#define DEBUG_IOCTL 0x00000001
#define DEBUG_ATR 0x00000002
#define DEBUG_PROTOCOL 0x00000004
#define DEBUG_DRIVER 0x00000008
#define DEBUG_TRACE 0x00000010
#define DEBUG_ERROR 0x00000020
#define DEBUG_PERF 0x10000000
#define DEBUG_T1_TEST 0x40000000
#define DEBUG_BREAK 0x80000000
#define DEBUG_ALL 0x0000FFFF

// ---- Structures -------------------------------------------------------------------

typedef struct _SMARTCARD_EXTENSION *PSMARTCARD_EXTENSION;

// Defined by the reader driver; the library only carries the pointer.
typedef struct _READER_EXTENSION *PREADER_EXTENSION;

// ISO 7816-3 clock rate conversion: F and the maximum clock for one FI code.
typedef struct _CLOCK_RATE_CONVERSION {
    const ULONG F;
    const ULONG fs;
} CLOCK_RATE_CONVERSION, *PCLOCK_RATE_CONVERSION;

// ISO 7816-3 bit rate adjustment: D as a fraction for one DI code.
typedef struct _BIT_RATE_ADJUSTMENT {
    const ULONG DNumerator;
    const ULONG DDivisor;
} BIT_RATE_ADJUSTMENT, *PBIT_RATE_ADJUSTMENT;

typedef struct _PTS_DATA {
    UCHAR Type;
    UCHAR Fl;
    UCHAR Dl;
    ULONG CLKFrequency;
    ULONG DataRate;
    UCHAR StopBits;
} PTS_DATA, *PPTS_DATA;

typedef struct _SCARD_CARD_CAPABILITIES {
    BOOLEAN InversConvention;
    ULONG etu;

    struct {
        UCHAR Buffer[64];
        UCHAR Length;
    } ATR;

    struct {
        UCHAR Buffer[16];
        UCHAR Length;
    } HistoricalChars;

    PCLOCK_RATE_CONVERSION ClockRateConversion;
    PBIT_RATE_ADJUSTMENT BitRateAdjustment;

    UCHAR Fl;
    UCHAR Dl;
    UCHAR II;
    UCHAR P;
    UCHAR N;
    ULONG GT;

    struct {
        ULONG Supported;
        ULONG Selected;
    } Protocol;

    struct {
        UCHAR WI;
        ULONG WT;
    } T0;

    struct {
        UCHAR IFSC;
        UCHAR CWI;
        UCHAR BWI;
        UCHAR EDC;
        ULONG CWT;
        ULONG BWT;
        ULONG BGT;
    } T1;

    PTS_DATA PtsData;
    UCHAR Reserved[100 - sizeof(PTS_DATA)];
} SCARD_CARD_CAPABILITIES, *PSCARD_CARD_CAPABILITIES;

// An optional list of clock frequencies (kHz) or data rates (bps) a reader supports.
struct _SCARD_SUPPORTED_LIST {
    PULONG List;
    UCHAR Entries;
};

typedef struct _SCARD_READER_CAPABILITIES {
    ULONG SupportedProtocols;
    ULONG Reserved;
    ULONG ReaderType;
    ULONG MechProperties;
    ULONG CurrentState;
    ULONG Channel;

    struct {
        ULONG Default;
        ULONG Max;
    } CLKFrequency;

    struct {
        ULONG Default;
        ULONG Max;
    } DataRate;

    ULONG MaxIFSD;
    ULONG PowerMgmtSupport;
    ULONG CardConfiscated;

    struct _SCARD_SUPPORTED_LIST DataRatesSupported;
    struct _SCARD_SUPPORTED_LIST CLKFrequenciesSupported;

    UCHAR Reserved1[100 - sizeof(ULONG) - 2 * sizeof(struct _SCARD_SUPPORTED_LIST)];
} SCARD_READER_CAPABILITIES, *PSCARD_READER_CAPABILITIES;

// A counted ANSI string of the vendor attributes (no terminating NUL needed).
struct _VENDOR_ATTR_STRING {
    USHORT Length;
    UCHAR Buffer[MAXIMUM_ATTR_STRING_LENGTH];
};

typedef struct _VENDOR_ATTR {
    struct _VENDOR_ATTR_STRING VendorName;
    struct _VENDOR_ATTR_STRING IfdType;
    ULONG UnitNo;

    // Its memory image is the little-endian DWORD 0xMMmmbbbb.
    struct {
        USHORT BuildNumber;
        UCHAR VersionMinor;
        UCHAR VersionMajor;
    } IfdVersion;

    struct _VENDOR_ATTR_STRING IfdSerialNo;
    ULONG Reserved[25];
} VENDOR_ATTR, *PVENDOR_ATTR;

// Operating-system data the library allocates in SmartcardInitialize.
typedef struct _OS_DEP_DATA {
    PDEVICE_OBJECT DeviceObject;  // set by the driver right after SmartcardInitialize
    PIRP CurrentIrp;              // request being served
    PIRP NotificationIrp;         // pending IS_PRESENT / IS_ABSENT request
    KMUTEX Mutex;                 // serialises the library's callers
    KSPIN_LOCK SpinLock;          // CurrentIrp, NotificationIrp, CurrentState, ATR

    struct {
        BOOLEAN Removed;
        LONG RefCount;
        KEVENT RemoveEvent;
        LIST_ENTRY TagList;
    } RemoveLock;
} OS_DEP_DATA, *POS_DEP_DATA;

typedef struct _SMARTCARD_REQUEST {
    PUCHAR Buffer;       // bytes to send to the card
    ULONG BufferSize;    // allocated size
    ULONG BufferLength;  // bytes in use
} SMARTCARD_REQUEST, *PSMARTCARD_REQUEST;

typedef struct _SMARTCARD_REPLY {
    PUCHAR Buffer;       // bytes received from the card
    ULONG BufferSize;    // allocated size
    ULONG BufferLength;  // bytes in use
} SMARTCARD_REPLY, *PSMARTCARD_REPLY;

typedef struct _T0_DATA {
    ULONG Lc;  // data bytes sent
    ULONG Le;  // data bytes expected
} T0_DATA, *PT0_DATA;

typedef struct _T1_DATA {
    UCHAR IFSC;
    UCHAR IFSD;
    ULONG BytesReceived;
    ULONG BytesSent;
    ULONG BytesToSend;
    UCHAR LastError;
    BOOLEAN MoreData;
    UCHAR NAD;
    ULONG OriginalState;
    UCHAR Resend;
    UCHAR Resynch;
    UCHAR RSN;
    UCHAR SSN;
    ULONG State;
    UCHAR Wtx;
    PUCHAR ReplyData;
    BOOLEAN WaitForReply;
    UCHAR InfBytesSent;
#ifndef _WIN64
    UCHAR Reserved[10 - sizeof(PUCHAR) - sizeof(BOOLEAN) - sizeof(UCHAR)];
#endif
} T1_DATA, *PT1_DATA;

typedef struct _PERF_INFO {
    ULONG NumTransmissions;
    ULONG BytesSent;
    ULONG BytesReceived;
    LARGE_INTEGER IoTickCount;
    LARGE_INTEGER TickStart;
    LARGE_INTEGER TickEnd;
} PERF_INFO, *PPERF_INFO;

typedef NTSTATUS (NTAPI *PREADER_FUNCTION)(PSMARTCARD_EXTENSION SmartcardExtension);

typedef struct _SMARTCARD_EXTENSION {
    ULONG Version;
    VENDOR_ATTR VendorAttr;
    PREADER_FUNCTION ReaderFunction[READER_FUNCTION_COUNT];
    SCARD_CARD_CAPABILITIES CardCapabilities;
    ULONG LastError;

    struct {
        PULONG Information;
        PUCHAR RequestBuffer;
        ULONG RequestBufferLength;
        PUCHAR ReplyBuffer;
        ULONG ReplyBufferLength;
    } IoRequest;

    ULONG MajorIoControlCode;
    ULONG MinorIoControlCode;
    POS_DEP_DATA OsData;
    SCARD_READER_CAPABILITIES ReaderCapabilities;
    PREADER_EXTENSION ReaderExtension;
    SMARTCARD_REPLY SmartcardReply;
    SMARTCARD_REQUEST SmartcardRequest;
    T0_DATA T0;
    T1_DATA T1;
    PPERF_INFO PerfInfo;
    ULONG Reserved[25 - sizeof(PPERF_INFO)];
} SMARTCARD_EXTENSION;

// ---- Library routines -------------------------------------------------------------

NTSTATUS NTAPI SmartcardInitialize(PSMARTCARD_EXTENSION SmartcardExtension);
VOID NTAPI SmartcardExit(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI SmartcardDeviceControl(PSMARTCARD_EXTENSION SmartcardExtension, PIRP Irp);

NTSTATUS NTAPI SmartcardAcquireRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI SmartcardAcquireRemoveLockWithTag(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Tag);
VOID NTAPI SmartcardReleaseRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension);
VOID NTAPI SmartcardReleaseRemoveLockWithTag(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Tag);
VOID NTAPI SmartcardReleaseRemoveLockAndWait(PSMARTCARD_EXTENSION SmartcardExtension);

NTSTATUS NTAPI SmartcardT0Request(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI SmartcardT0Reply(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI SmartcardT1Request(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI SmartcardT1Reply(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI SmartcardRawRequest(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI SmartcardRawReply(PSMARTCARD_EXTENSION SmartcardExtension);

NTSTATUS NTAPI SmartcardUpdateCardCapabilities(PSMARTCARD_EXTENSION SmartcardExtension);
VOID NTAPI SmartcardInitializeCardCapabilities(PSMARTCARD_EXTENSION SmartcardExtension);
VOID NTAPI SmartcardInvertData(PUCHAR Buffer, ULONG Length);

NTSTATUS NTAPI SmartcardCreateLink(PUNICODE_STRING LinkName, PUNICODE_STRING DeviceName);
VOID NTAPI SmartcardLogError(PVOID Object, NTSTATUS ErrorCode, PUNICODE_STRING Insertion, ULONG DumpData);
ULONG NTAPI SmartcardGetDebugLevel(void);
VOID NTAPI SmartcardSetDebugLevel(ULONG Level);

#ifdef __cplusplus
}  // extern "C"
#endif

// ---- x64 layouts ------------------------------------------------------------------
// Nothing at build time can compare these structures with SMCLIB.SYS itself; the
// asserts pin the documented declarations so that neither build drifts from them.

#if defined(__cplusplus) && (defined(_WIN64) || defined(__x86_64__))
#define SMCLIB_OFFSET(type, field) __builtin_offsetof(type, field)

static_assert(sizeof(PTS_DATA) == 16, "PTS_DATA");
static_assert(sizeof(CLOCK_RATE_CONVERSION) == 8 && sizeof(BIT_RATE_ADJUSTMENT) == 8, "ISO tables");

static_assert(SMCLIB_OFFSET(SCARD_CARD_CAPABILITIES, etu) == 4, "SCARD_CARD_CAPABILITIES");
static_assert(SMCLIB_OFFSET(SCARD_CARD_CAPABILITIES, ATR) == 8, "SCARD_CARD_CAPABILITIES");
static_assert(SMCLIB_OFFSET(SCARD_CARD_CAPABILITIES, ATR.Length) == 72, "SCARD_CARD_CAPABILITIES");
static_assert(SMCLIB_OFFSET(SCARD_CARD_CAPABILITIES, HistoricalChars) == 73, "SCARD_CARD_CAPABILITIES");
static_assert(SMCLIB_OFFSET(SCARD_CARD_CAPABILITIES, ClockRateConversion) == 96, "SCARD_CARD_CAPABILITIES");
static_assert(SMCLIB_OFFSET(SCARD_CARD_CAPABILITIES, Fl) == 112, "SCARD_CARD_CAPABILITIES");
static_assert(SMCLIB_OFFSET(SCARD_CARD_CAPABILITIES, GT) == 120, "SCARD_CARD_CAPABILITIES");
static_assert(SMCLIB_OFFSET(SCARD_CARD_CAPABILITIES, Protocol) == 124, "SCARD_CARD_CAPABILITIES");
static_assert(SMCLIB_OFFSET(SCARD_CARD_CAPABILITIES, T0) == 132, "SCARD_CARD_CAPABILITIES");
static_assert(SMCLIB_OFFSET(SCARD_CARD_CAPABILITIES, T1) == 140, "SCARD_CARD_CAPABILITIES");
static_assert(SMCLIB_OFFSET(SCARD_CARD_CAPABILITIES, PtsData) == 156, "SCARD_CARD_CAPABILITIES");
static_assert(sizeof(SCARD_CARD_CAPABILITIES) == 256, "SCARD_CARD_CAPABILITIES");

static_assert(SMCLIB_OFFSET(SCARD_READER_CAPABILITIES, CurrentState) == 16, "SCARD_READER_CAPABILITIES");
static_assert(SMCLIB_OFFSET(SCARD_READER_CAPABILITIES, CLKFrequency) == 24, "SCARD_READER_CAPABILITIES");
static_assert(SMCLIB_OFFSET(SCARD_READER_CAPABILITIES, MaxIFSD) == 40, "SCARD_READER_CAPABILITIES");
static_assert(SMCLIB_OFFSET(SCARD_READER_CAPABILITIES, DataRatesSupported) == 56, "SCARD_READER_CAPABILITIES");
static_assert(SMCLIB_OFFSET(SCARD_READER_CAPABILITIES, CLKFrequenciesSupported) == 72, "SCARD_READER_CAPABILITIES");
static_assert(SMCLIB_OFFSET(SCARD_READER_CAPABILITIES, Reserved1) == 88, "SCARD_READER_CAPABILITIES");
static_assert(sizeof(SCARD_READER_CAPABILITIES) == 152, "SCARD_READER_CAPABILITIES");

static_assert(SMCLIB_OFFSET(VENDOR_ATTR, IfdType) == 34, "VENDOR_ATTR");
static_assert(SMCLIB_OFFSET(VENDOR_ATTR, UnitNo) == 68, "VENDOR_ATTR");
static_assert(SMCLIB_OFFSET(VENDOR_ATTR, IfdVersion) == 72, "VENDOR_ATTR");
static_assert(SMCLIB_OFFSET(VENDOR_ATTR, IfdSerialNo) == 76, "VENDOR_ATTR");
static_assert(SMCLIB_OFFSET(VENDOR_ATTR, Reserved) == 112, "VENDOR_ATTR");
static_assert(sizeof(VENDOR_ATTR) == 212, "VENDOR_ATTR");

static_assert(sizeof(SMARTCARD_REQUEST) == 16 && sizeof(SMARTCARD_REPLY) == 16, "buffers");
static_assert(sizeof(T0_DATA) == 8, "T0_DATA");
static_assert(SMCLIB_OFFSET(T1_DATA, State) == 28, "T1_DATA");
static_assert(SMCLIB_OFFSET(T1_DATA, ReplyData) == 40, "T1_DATA");
static_assert(sizeof(T1_DATA) == 56, "T1_DATA");
static_assert(sizeof(PERF_INFO) == 40, "PERF_INFO");

static_assert(SMCLIB_OFFSET(SMARTCARD_EXTENSION, VendorAttr) == 4, "SMARTCARD_EXTENSION");
static_assert(SMCLIB_OFFSET(SMARTCARD_EXTENSION, ReaderFunction) == 216, "SMARTCARD_EXTENSION");
static_assert(SMCLIB_OFFSET(SMARTCARD_EXTENSION, CardCapabilities) == 344, "SMARTCARD_EXTENSION");
static_assert(SMCLIB_OFFSET(SMARTCARD_EXTENSION, LastError) == 600, "SMARTCARD_EXTENSION");
static_assert(SMCLIB_OFFSET(SMARTCARD_EXTENSION, IoRequest) == 608, "SMARTCARD_EXTENSION");
static_assert(SMCLIB_OFFSET(SMARTCARD_EXTENSION, MajorIoControlCode) == 648, "SMARTCARD_EXTENSION");
static_assert(SMCLIB_OFFSET(SMARTCARD_EXTENSION, OsData) == 656, "SMARTCARD_EXTENSION");
static_assert(SMCLIB_OFFSET(SMARTCARD_EXTENSION, ReaderCapabilities) == 664, "SMARTCARD_EXTENSION");
static_assert(SMCLIB_OFFSET(SMARTCARD_EXTENSION, ReaderExtension) == 816, "SMARTCARD_EXTENSION");
static_assert(SMCLIB_OFFSET(SMARTCARD_EXTENSION, SmartcardReply) == 824, "SMARTCARD_EXTENSION");
static_assert(SMCLIB_OFFSET(SMARTCARD_EXTENSION, SmartcardRequest) == 840, "SMARTCARD_EXTENSION");
static_assert(SMCLIB_OFFSET(SMARTCARD_EXTENSION, T0) == 856, "SMARTCARD_EXTENSION");
static_assert(SMCLIB_OFFSET(SMARTCARD_EXTENSION, T1) == 864, "SMARTCARD_EXTENSION");
static_assert(SMCLIB_OFFSET(SMARTCARD_EXTENSION, PerfInfo) == 920, "SMARTCARD_EXTENSION");
static_assert(sizeof(SMARTCARD_EXTENSION) == 1000, "SMARTCARD_EXTENSION");

static_assert(SMCLIB_OFFSET(OS_DEP_DATA, Mutex) == 24, "OS_DEP_DATA");
static_assert(SMCLIB_OFFSET(OS_DEP_DATA, SpinLock) == 80, "OS_DEP_DATA");
static_assert(SMCLIB_OFFSET(OS_DEP_DATA, RemoveLock) == 88, "OS_DEP_DATA");
static_assert(sizeof(OS_DEP_DATA) == 136, "OS_DEP_DATA");
#undef SMCLIB_OFFSET
#endif

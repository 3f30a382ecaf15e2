// Routines of the smart-card reader functions (reader/), grouped by defining file.
#pragma once

#include "CcidDevice.h"
#include "CcidWire.h"

// ---- reader/DeviceControl.cpp ----------------------------------------------------

// IRP_MJ_DEVICE_CONTROL (PASSIVE_LEVEL): the driver's own control codes, the version
// attribute, and everything else through the smart-card library.
DRIVER_DISPATCH CcidDeviceControl;

// One request for a handler of the driver's own control codes: the system buffer with
// its input and output lengths, and the byte count the handler returns.
typedef struct _CCID_IOCTL_REQUEST {
    PUCHAR Buffer;
    ULONG InputLength;
    ULONG OutputLength;
    ULONG_PTR Information;
} CCID_IOCTL_REQUEST, *PCCID_IOCTL_REQUEST;

// ---- reader/ReaderIoctls.cpp ------------------------------------------------------

// Handlers of IOCTL_CCID_GET_CLASS_DESCRIPTOR, IOCTL_CCID_ABORT, IOCTL_CCID_GET_CLOCK_FREQUENCIES
// and IOCTL_CCID_GET_DATA_RATES (ClassRequest names which), IOCTL_CCID_TRANSFER. PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS CcidHandleGetClassDescriptor(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PCCID_IOCTL_REQUEST Request);
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS CcidHandleAbort(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PCCID_IOCTL_REQUEST Request);
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS CcidHandleClassQuery(_In_ PDEVICE_OBJECT DeviceObject, _In_ UCHAR ClassRequest,
                              _Inout_ PCCID_IOCTL_REQUEST Request);
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS CcidHandleTransfer(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PCCID_IOCTL_REQUEST Request);

// ---- reader/EventRead.cpp ---------------------------------------------------------

// IOCTL_CCID_READ_EVENT (PASSIVE_LEVEL); STATUS_PENDING when the request was parked (it is
// then no longer the caller's, and keeps its I/O reference).
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS CcidHandleReadEvent(_In_ PDEVICE_OBJECT DeviceObject, _In_ PIRP Irp, _Inout_ PCCID_IOCTL_REQUEST Request);

// Takes the parked event read out for the caller to complete once EventLock is released
// (EventLock held); drops its I/O reference. NULL when none is parked or when its
// cancellation has begun (CcidEventReadCancel then owns it).
_IRQL_requires_(DISPATCH_LEVEL)
PIRP CcidUnparkEventRead(_In_ PDEVICE_OBJECT DeviceObject);

// Cancel routine of a parked event read (entered holding the cancel spin lock).
DRIVER_CANCEL CcidEventReadCancel;

// Completes as cancelled the event read parked through FileObject, if any (PASSIVE_LEVEL,
// no lock held): the cleanup of that handle ends it.
_IRQL_requires_(PASSIVE_LEVEL)
VOID CcidEndHandleEventRead(_In_ PDEVICE_OBJECT DeviceObject, _In_ PFILE_OBJECT FileObject);

// ---- reader/Transmit.cpp ----------------------------------------------------------

// Reader function RDF_TRANSMIT: the caller's command to the card and its answer back, on
// the T=0, T=1 block or whole-request way. PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS NTAPI CcidTransmit(_In_ PSMARTCARD_EXTENSION SmartcardExtension);

// ---- reader/SetProtocol.cpp -------------------------------------------------------

// Reader function RDF_SET_PROTOCOL: selects T=0 or T=1 from the mask in MinorIoControlCode
// and sends its parameters to the reader, with slower rates after time-outs. PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS NTAPI CcidSetProtocol(_In_ PSMARTCARD_EXTENSION SmartcardExtension);

// ---- reader/CardPower.cpp ---------------------------------------------------------

// Longest ATR the library's card capabilities hold.
constexpr ULONG CCID_ATR_BUFFER_SIZE = 64;

// Reader function RDF_CARD_POWER: powers the card in slot 0 down (SCARD_POWER_DOWN) or
// resets it (SCARD_COLD_RESET, SCARD_WARM_RESET) as MinorIoControlCode says, storing its
// ATR for the library. PASSIVE_LEVEL; also called directly by stop and power-down.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS NTAPI CcidCardPower(_In_ PSMARTCARD_EXTENSION SmartcardExtension);

// Before the reader stops or leaves D0: records whether the card state shows a card and,
// if it does, powers it down. The caller holds the exchange lock. A failed power-down is
// not reported: the port reset of a stop, or the reader's loss of power, ends the card's
// power whatever the reader made of the command.
_IRQL_requires_(PASSIVE_LEVEL)
VOID CcidPowerDownPresentCard(_In_ PSMARTCARD_EXTENSION SmartcardExtension);

// ---- reader/CardTracking.cpp ------------------------------------------------------

// The reader's device object (OsData->DeviceObject, read under OsData->SpinLock).
_IRQL_requires_max_(DISPATCH_LEVEL)
PDEVICE_OBJECT CcidGetReaderDevice(_In_ PSMARTCARD_EXTENSION SmartcardExtension);

// Stores the card state (ReaderCapabilities.CurrentState) and returns the one it replaces.
// Every write after the library is initialised goes through here, under OsData->SpinLock
// (IRQL <= DISPATCH_LEVEL, the cancel spin lock may be held, OsData->SpinLock must not).
_IRQL_requires_max_(DISPATCH_LEVEL)
ULONG CcidSetCardState(_In_ PSMARTCARD_EXTENSION SmartcardExtension, _In_ ULONG State);

// Reader function RDF_CARD_TRACKING: makes the request the library parked in
// OsData->NotificationIrp cancellable. Always returns STATUS_PENDING.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS NTAPI CcidCardTracking(_In_ PSMARTCARD_EXTENSION SmartcardExtension);

// Completes the parked card-tracking request, if any: STATUS_CANCELLED when it is being
// cancelled, else STATUS_SUCCESS. Callers hold neither the cancel spin lock nor
// OsData->SpinLock; IRQL <= DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID CcidCompleteCardTracking(_In_ PSMARTCARD_EXTENSION SmartcardExtension);

// Cancel routine of the parked card-tracking request (entered holding the cancel spin lock).
DRIVER_CANCEL CcidCardTrackingCancel;

// IRP_MJ_CLEANUP: ends a parked card-tracking request and completes the cleanup request.
DRIVER_DISPATCH CcidCleanup;

// Routines of the smart-card reader functions (reader/), grouped by defining file.
#pragma once

#include "CcidDevice.h"
#include "CcidWire.h"

// ---- reader/CardPower.cpp ---------------------------------------------------------

// Longest ATR the library's card capabilities hold.
constexpr ULONG CCID_ATR_BUFFER_SIZE = 64;

// Reader function RDF_CARD_POWER: powers the card in slot 0 down (SCARD_POWER_DOWN) or
// resets it (SCARD_COLD_RESET, SCARD_WARM_RESET) as MinorIoControlCode says, storing its
// ATR for the library. PASSIVE_LEVEL; also called directly by stop and power-down.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS CcidCardPower(_In_ PSMARTCARD_EXTENSION SmartcardExtension);

// ---- reader/CardTracking.cpp ------------------------------------------------------

// Stores the card state (ReaderCapabilities.CurrentState) and returns the one it replaces.
// Every write after the library is initialised goes through here, under OsData->SpinLock
// (IRQL <= DISPATCH_LEVEL, the cancel spin lock may be held, OsData->SpinLock must not).
_IRQL_requires_max_(DISPATCH_LEVEL)
ULONG CcidSetCardState(_In_ PSMARTCARD_EXTENSION SmartcardExtension, _In_ ULONG State);

// Reader function RDF_CARD_TRACKING: makes the request the library parked in
// OsData->NotificationIrp cancellable. Always returns STATUS_PENDING.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS CcidCardTracking(_In_ PSMARTCARD_EXTENSION SmartcardExtension);

// Completes the parked card-tracking request, if any: STATUS_CANCELLED when it is being
// cancelled, else STATUS_SUCCESS. Callers hold neither the cancel spin lock nor
// OsData->SpinLock; IRQL <= DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID CcidCompleteCardTracking(_In_ PSMARTCARD_EXTENSION SmartcardExtension);

// Cancel routine of the parked card-tracking request (entered holding the cancel spin lock).
DRIVER_CANCEL CcidCardTrackingCancel;

// IRP_MJ_CLEANUP: ends a parked card-tracking request and completes the cleanup request.
DRIVER_DISPATCH CcidCleanup;

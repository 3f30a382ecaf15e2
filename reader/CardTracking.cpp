// Card tracking: the insertion or removal request the smart-card library parks in
// OsData->NotificationIrp, made cancellable here and completed when the card state
// changes, when it is cancelled, or when a handle is cleaned up. Lock order everywhere:
// the cancel spin lock first, then OsData->SpinLock.

#include "CcidFrame.h"
#include "CcidGuards.h"
#include "CcidReader.h"

// The reader's device object, read under OsData->SpinLock (IRQL <= DISPATCH_LEVEL).
_Use_decl_annotations_
PDEVICE_OBJECT CcidGetReaderDevice(PSMARTCARD_EXTENSION SmartcardExtension)
{
    SpinLockGuard guard(SmartcardExtension->OsData->SpinLock);
    return SmartcardExtension->OsData->DeviceObject;
}

// Stores the card state under OsData->SpinLock and returns the previous one (IRQL <=
// DISPATCH_LEVEL). One rule for every writer: the library reads the state under this lock
// when it decides whether a tracking request is already satisfied or must be parked, so a
// store made outside it could fall between that check and the parking and leave the
// request waiting for a change that has already happened.
_Use_decl_annotations_
ULONG CcidSetCardState(PSMARTCARD_EXTENSION SmartcardExtension, ULONG State)
{
    SpinLockGuard guard(SmartcardExtension->OsData->SpinLock);
    const ULONG previous = SmartcardExtension->ReaderCapabilities.CurrentState;
    SmartcardExtension->ReaderCapabilities.CurrentState = State;
    return previous;
}

// Makes the parked request cancellable (IRQL <= DISPATCH_LEVEL). The library completes
// nothing itself: the request stays parked until this driver completes it.
_Use_decl_annotations_
NTSTATUS CcidCardTracking(PSMARTCARD_EXTENSION SmartcardExtension)
{
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    {
        DpcSpinLockGuard guard(SmartcardExtension->OsData->SpinLock);
        if (SmartcardExtension->OsData->NotificationIrp != NULL) {
            (VOID) IoSetCancelRoutine(SmartcardExtension->OsData->NotificationIrp, CcidCardTrackingCancel);
        }
    }
    IoReleaseCancelSpinLock(cancelIrql);
    return STATUS_PENDING;
}

// Completes the parked request, if there is one (IRQL <= DISPATCH_LEVEL, no lock held on
// entry). The request leaves OsData->NotificationIrp and loses its cancel routine under
// the locks, and is completed after both are released.
_Use_decl_annotations_
VOID CcidCompleteCardTracking(PSMARTCARD_EXTENSION SmartcardExtension)
{
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);

    PIRP irp;
    {
        DpcSpinLockGuard guard(SmartcardExtension->OsData->SpinLock);
        irp = SmartcardExtension->OsData->NotificationIrp;
        SmartcardExtension->OsData->NotificationIrp = NULL;
    }
    // Cancel is read under the cancel spin lock, which IoCancelIrp holds when it sets it.
    BOOLEAN cancelled = FALSE;
    if (irp != NULL) {
        (VOID) IoSetCancelRoutine(irp, NULL);
        cancelled = irp->Cancel;
    }
    IoReleaseCancelSpinLock(cancelIrql);

    if (irp != NULL) {
        irp->IoStatus.Information = 0;
        irp->IoStatus.Status = cancelled ? STATUS_CANCELLED : STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

// Cancel routine of the parked request (DISPATCH_LEVEL, cancel spin lock held on entry).
// Taking the request out of NotificationIrp before the cancel spin lock goes makes a
// concurrent completion find the field empty, so the request is completed once.
_Use_decl_annotations_
VOID CcidCardTrackingCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSMARTCARD_EXTENSION smartcard = &CcidGetExtension(DeviceObject)->SmartcardExtension;

    (VOID) IoSetCancelRoutine(Irp, NULL);
    {
        DpcSpinLockGuard guard(smartcard->OsData->SpinLock);
        if (smartcard->OsData->NotificationIrp == Irp) {
            smartcard->OsData->NotificationIrp = NULL;
        }
    }
    IoReleaseCancelSpinLock(Irp->CancelIrql);

    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

// IRP_MJ_CLEANUP (PASSIVE_LEVEL): the cleanup of a handle ends a parked tracking request
// and the event read the handle left parked. Takes neither an I/O reference nor the
// remove lock; the cleanup request keeps the status block it came with.
_Use_decl_annotations_
NTSTATUS CcidCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();

    PSMARTCARD_EXTENSION smartcard = &CcidGetExtension(DeviceObject)->SmartcardExtension;
    if (smartcard->OsData != NULL) {
        CcidCompleteCardTracking(smartcard);
    }
    CcidEndHandleEventRead(DeviceObject, IoGetCurrentIrpStackLocation(Irp)->FileObject);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

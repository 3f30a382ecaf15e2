// The event read (IOCTL_CCID_READ_EVENT): the oldest message of the event ring, or, when
// the ring is empty, the next message to arrive, with the request parked in
// PendingEventIrp until then. A parked request ends exactly once: by the interrupt-pipe
// completion, by the close of the handle, or by its cancel routine. Whoever clears its
// cancel routine first completes it; all three work under EventLock and complete the
// request only after releasing it.

#include "CcidFrame.h"
#include "CcidGuards.h"
#include "CcidIoctl.h"
#include "CcidReader.h"

// Takes the parked event read out for completion (EventLock held, IRQL DISPATCH_LEVEL) and
// drops its I/O reference. NULL when none is parked, or when its cancellation has begun:
// the request, the field and the reference are then left to CcidEventReadCancel.
_Use_decl_annotations_
PIRP CcidUnparkEventRead(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = CcidGetExtension(DeviceObject);
    PIRP irp = extension->PendingEventIrp;
    if (irp == NULL || IoSetCancelRoutine(irp, NULL) == NULL) {
        return NULL;
    }
    extension->PendingEventIrp = NULL;
    (VOID) CcidDecrementIoCount(DeviceObject);
    return irp;
}

// IOCTL_CCID_READ_EVENT (PASSIVE_LEVEL). A queued message is handed out, or dropped when
// the output cannot hold it. With an empty ring the request is parked and STATUS_PENDING
// returned: it keeps the dispatch's I/O reference and is no longer the caller's. A
// request cancelled before its cancel routine was in place is completed here.
_Use_decl_annotations_
NTSTATUS CcidHandleReadEvent(PDEVICE_OBJECT DeviceObject, PIRP Irp, PCCID_IOCTL_REQUEST Request)
{
    PAGED_CODE();

    if (Request->Buffer == NULL || Request->OutputLength < 1) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PDEVICE_EXTENSION extension = CcidGetExtension(DeviceObject);
    SpinLockGuard guard(extension->EventLock);

    if (extension->EventFifoRead != extension->EventFifoWrite) {
        const EVENT_FIFO_ENTRY& entry = extension->EventFifo[extension->EventFifoRead];
        NTSTATUS status = STATUS_BUFFER_TOO_SMALL;
        if (Request->OutputLength >= entry.Length) {
            RtlCopyMemory(Request->Buffer, entry.Data, entry.Length);
            Request->Information = entry.Length;
            status = STATUS_SUCCESS;
        }
        extension->EventFifoRead = (extension->EventFifoRead + 1) % extension->EventFifoEntries;
        return status;
    }
    if (extension->PendingEventIrp != NULL) {
        return STATUS_UNSUCCESSFUL;  // one reader waits at a time
    }

    IoMarkIrpPending(Irp);
    extension->PendingEventIrp = Irp;
    (VOID) IoSetCancelRoutine(Irp, CcidEventReadCancel);
    if (Irp->Cancel && CcidUnparkEventRead(DeviceObject) == Irp) {
        guard.Release();
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
    }
    return STATUS_PENDING;
}

// Cancel routine of a parked event read (DISPATCH_LEVEL, cancel spin lock held on entry).
// The cancel spin lock is let go before EventLock is taken: the two are never held
// together.
_Use_decl_annotations_
VOID CcidEventReadCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    (VOID) IoSetCancelRoutine(Irp, NULL);
    IoReleaseCancelSpinLock(Irp->CancelIrql);

    PDEVICE_EXTENSION extension = CcidGetExtension(DeviceObject);
    {
        SpinLockGuard guard(extension->EventLock);
        if (extension->PendingEventIrp == Irp) {
            extension->PendingEventIrp = NULL;
            (VOID) CcidDecrementIoCount(DeviceObject);
        }
    }
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

// Ends the event read that the handle being cleaned up left parked (PASSIVE_LEVEL): the
// close of a handle comes only once its requests are done, so an application closing its
// handle with a read parked would otherwise wait in CloseHandle for ever. A read parked
// through another file object stays.
_Use_decl_annotations_
VOID CcidEndHandleEventRead(PDEVICE_OBJECT DeviceObject, PFILE_OBJECT FileObject)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = CcidGetExtension(DeviceObject);
    PIRP parked = NULL;
    {
        SpinLockGuard guard(extension->EventLock);
        const PIRP irp = extension->PendingEventIrp;
        if (irp != NULL && IoGetCurrentIrpStackLocation(irp)->FileObject == FileObject) {
            parked = CcidUnparkEventRead(DeviceObject);
        }
    }
    if (parked != NULL) {
        parked->IoStatus.Information = 0;
        parked->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(parked, IO_NO_INCREMENT);
    }
}

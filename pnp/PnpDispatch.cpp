// IRP_MJ_PNP: the dispatch routine that routes each minor function, and the three ways a
// Plug and Play request leaves the driver (passed down, completed here, or sent down and
// waited for).

#include "CcidFrame.h"
#include "CcidPnp.h"
#include "CcidUsb.h"

// Passes the request to the lower drivers (PASSIVE_LEVEL); the request's I/O reference and
// remove lock are given back once it has gone.
_Use_decl_annotations_
NTSTATUS CcidPnpPassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = CcidGetExtension(DeviceObject);
    IoSkipCurrentIrpStackLocation(Irp);
    const NTSTATUS status = IofCallDriver(extension->LowerDeviceObject, Irp);
    (VOID) CcidDecrementIoCount(DeviceObject);
    SmartcardReleaseRemoveLockWithTag(&extension->SmartcardExtension, CCID_REMOVE_LOCK_TAG);
    return status;
}

// Completes the request here with Status (PASSIVE_LEVEL).
_Use_decl_annotations_
NTSTATUS CcidPnpComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = CcidGetExtension(DeviceObject);
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    (VOID) CcidDecrementIoCount(DeviceObject);
    SmartcardReleaseRemoveLockWithTag(&extension->SmartcardExtension, CCID_REMOVE_LOCK_TAG);
    return Status;
}

// Sends the request down with UsbCompletionSetEvent and waits for the lower drivers
// (PASSIVE_LEVEL); the completion routine hands the IRP back to this driver.
_Use_decl_annotations_
NTSTATUS CcidPnpForwardAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp, PNTSTATUS CallStatus)
{
    PAGED_CODE();

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, UsbCompletionSetEvent, &event, TRUE, TRUE, TRUE);

    *CallStatus = IofCallDriver(CcidGetExtension(DeviceObject)->LowerDeviceObject, Irp);
    if (*CallStatus != STATUS_PENDING) {
        return *CallStatus;
    }
    (VOID) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    return Irp->IoStatus.Status;
}

// IRP_MJ_PNP (PASSIVE_LEVEL). Holds the library's remove lock and an I/O reference while
// the handler runs; a request arriving after removal has begun is failed at once.
_Use_decl_annotations_
NTSTATUS CcidPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = CcidGetExtension(DeviceObject);
    const NTSTATUS lockStatus =
        SmartcardAcquireRemoveLockWithTag(&extension->SmartcardExtension, CCID_REMOVE_LOCK_TAG);
    if (!NT_SUCCESS(lockStatus)) {
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = lockStatus;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return lockStatus;
    }
    // Released by every handler on its way out (the removal through the library's drain).
    CcidIncrementIoCount(DeviceObject);

    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return CcidHandleStartDevice(DeviceObject, Irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
        return CcidHandleQueryRemove(DeviceObject, Irp);
    case IRP_MN_REMOVE_DEVICE:
        return CcidHandleRemoveDevice(DeviceObject, Irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        if (extension->Started) {
            extension->RemovePending = FALSE;
        }
        return CcidPnpPassDown(DeviceObject, Irp);
    case IRP_MN_STOP_DEVICE:
        // Never failed: the bus driver below must see every stop.
        CcidStopDevice(DeviceObject);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return CcidPnpPassDown(DeviceObject, Irp);
    case IRP_MN_QUERY_STOP_DEVICE:
        if (extension->Started) {
            extension->StopPending = TRUE;
        }
        return CcidPnpPassDown(DeviceObject, Irp);
    case IRP_MN_CANCEL_STOP_DEVICE:
        if (extension->Started) {
            extension->StopPending = FALSE;
        }
        return CcidPnpPassDown(DeviceObject, Irp);
    case IRP_MN_QUERY_CAPABILITIES:
        return CcidHandleQueryCapabilities(DeviceObject, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
        return CcidHandleSurpriseRemoval(DeviceObject, Irp);
    default:
        return CcidPnpPassDown(DeviceObject, Irp);
    }
}

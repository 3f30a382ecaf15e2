// Opening and closing the reader, and WMI requests. One handle at a time, admitted only
// while the reader is started and no stop, removal or low-power state is pending; the
// close of the handle ends an event read it left parked.

#include "CcidFrame.h"
#include "CcidGuards.h"
#include "CcidReader.h"

namespace {

// Completes a create or close request with Status and no data (PASSIVE_LEVEL).
NTSTATUS CcidCompleteOpenRequest(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// Decides a create (PASSIVE_LEVEL): the state flags first, then the one-handle rule. The
// test of Opened and its setting happen under EventLock, the lock of the handle's state,
// so that of two creates arriving together only one succeeds.
NTSTATUS CcidAdmitHandle(PDEVICE_EXTENSION Extension)
{
    if (Extension->Removed || !Extension->Started || Extension->RemovePending || Extension->StopPending) {
        return STATUS_DELETE_PENDING;
    }
    SpinLockGuard guard(Extension->EventLock);
    if (Extension->Opened) {
        return STATUS_ACCESS_DENIED;
    }
    Extension->Opened = TRUE;
    return STATUS_SUCCESS;
}

}  // namespace

// IRP_MJ_CREATE (PASSIVE_LEVEL): holds an I/O reference while it decides.
_Use_decl_annotations_
NTSTATUS CcidCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = CcidGetExtension(DeviceObject);
    if (extension->Self != DeviceObject) {
        return CcidCompleteOpenRequest(Irp, STATUS_INVALID_PARAMETER);
    }
    CcidIncrementIoCount(DeviceObject);
    const NTSTATUS status = CcidCompleteOpenRequest(Irp, CcidAdmitHandle(extension));
    (VOID) CcidDecrementIoCount(DeviceObject);
    return status;
}

// IRP_MJ_CLOSE (PASSIVE_LEVEL): never fails and ignores the Plug and Play state, so a
// handle closes in any state, also after a surprise removal. A parked event read is
// taken out under EventLock and completed as cancelled once the lock is released.
_Use_decl_annotations_
NTSTATUS CcidClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = CcidGetExtension(DeviceObject);
    if (extension->Self != DeviceObject) {
        return CcidCompleteOpenRequest(Irp, STATUS_INVALID_PARAMETER);
    }

    PIRP parked;
    {
        SpinLockGuard guard(extension->EventLock);
        parked = CcidUnparkEventRead(DeviceObject);
        extension->Opened = FALSE;
    }
    if (parked != NULL) {
        parked->IoStatus.Information = 0;
        parked->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(parked, IO_NO_INCREMENT);
    }

    CcidIncrementIoCount(DeviceObject);
    const NTSTATUS status = CcidCompleteOpenRequest(Irp, STATUS_SUCCESS);
    (VOID) CcidDecrementIoCount(DeviceObject);
    return status;
}

// IRP_MJ_SYSTEM_CONTROL (any IRQL it is called at): WMI requests go to the lower driver
// unchanged; its status is returned.
_Use_decl_annotations_
NTSTATUS CcidSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    CcidIncrementIoCount(DeviceObject);
    IoSkipCurrentIrpStackLocation(Irp);
    const NTSTATUS status = IofCallDriver(CcidGetExtension(DeviceObject)->LowerDeviceObject, Irp);
    (VOID) CcidDecrementIoCount(DeviceObject);
    return status;
}

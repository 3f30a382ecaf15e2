// The reader across device power transitions: the power-down before it leaves D0, the
// power-up after it returns (completion routine and work item), and the completion
// functions of the driver's own power requests.

#include "CcidFrame.h"
#include "CcidGuards.h"
#include "CcidPower.h"
#include "CcidReader.h"
#include "CcidUsb.h"

namespace {

// Records the device state the reader has entered and reports it (IRQL <= DISPATCH_LEVEL).
VOID CcidRecordDevicePowerState(PDEVICE_OBJECT DeviceObject, DEVICE_POWER_STATE State)
{
    CcidGetExtension(DeviceObject)->DevicePowerState = State;
    POWER_STATE reported;
    reported.DeviceState = State;
    (VOID) PoSetPowerState(DeviceObject, DevicePowerState, reported);
}

// Ends a power-up (IRQL <= DISPATCH_LEVEL): gives back the D0 IRP's reference, then the
// power-up hold of the remove lock, after which the reader's state may be freed.
VOID CcidEndPowerUp(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = CcidGetExtension(DeviceObject);
    (VOID) CcidDecrementIoCount(DeviceObject);
    SmartcardReleaseRemoveLockWithTag(&extension->SmartcardExtension, CCID_POWER_UP_LOCK_TAG);
}

// Quiesces the reader before it leaves D0 (PASSIVE_LEVEL). The device is closed to new
// requests first; the exchange lock then lets an exchange already in flight (a transmit,
// a PIN entry) finish before the card is powered down and the interrupt pipe stopped.
// The I/O wait gives back the references this power-down holds: its device IRP's, and
// the held system IRP's when a system IRP of this driver requested it.
VOID CcidPowerDownReader(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = CcidGetExtension(DeviceObject);
    PSMARTCARD_EXTENSION smartcard = &extension->SmartcardExtension;
    extension->StopPending = TRUE;
    {
        MutexGuard exchange(CcidExchangeLock(DeviceObject));
        CcidPowerDownPresentCard(smartcard);
        UsbStopInterruptPipe(DeviceObject);
    }

    const LONG held = extension->PendingSystemPowerIrp != NULL ? 2 : 1;
    for (LONG reference = 0; reference < held; ++reference) {
        (VOID) CcidDecrementIoCount(DeviceObject);
    }
    (VOID) KeWaitForSingleObject(&extension->NoPendingIoEvent, Executive, KernelMode, FALSE, NULL);
    for (LONG reference = 0; reference < held; ++reference) {
        CcidIncrementIoCount(DeviceObject);
    }
}

}  // namespace

// Readies the reader for device state State (PASSIVE_LEVEL), before its IRP goes down.
_Use_decl_annotations_
BOOLEAN CcidPrepareDevicePowerState(PDEVICE_OBJECT DeviceObject, DEVICE_POWER_STATE State)
{
    PAGED_CODE();

    switch (State) {
    case PowerDeviceD0:
        // Reopened before the lower driver has powered it: requests wait at the bus.
        CcidGetExtension(DeviceObject)->StopPending = FALSE;
        return TRUE;
    case PowerDeviceD1:
    case PowerDeviceD2:
    case PowerDeviceD3:
        CcidPowerDownReader(DeviceObject);
        CcidRecordDevicePowerState(DeviceObject, State);
        return FALSE;
    default:
        return FALSE;
    }
}

// The lower driver has finished the D0 IRP (IRQL <= DISPATCH_LEVEL). D0 is recorded and
// reported whatever it said; the USB work of the power-up runs in the work item, which
// then owns the IRP's reference and the power-up hold. Without a work item both are given
// back here and the interrupt pipe stays stopped.
_Use_decl_annotations_
NTSTATUS CcidPowerUpComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);

    PDEVICE_OBJECT deviceObject = static_cast<PDEVICE_OBJECT>(Context);
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    CcidRecordDevicePowerState(deviceObject, PowerDeviceD0);
    Irp->IoStatus.Status = STATUS_SUCCESS;

    PPOWER_UP_WORK_ITEM item = static_cast<PPOWER_UP_WORK_ITEM>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(POWER_UP_WORK_ITEM), CCID_POOL_TAG));
    if (item == NULL) {
        CcidEndPowerUp(deviceObject);
        return STATUS_SUCCESS;  // CONTINUE_COMPLETION: the IRP goes on up to its requester
    }
    item->DeviceObject = deviceObject;
    ExInitializeWorkItem(&item->Item, CcidPowerUpWorker, item);
    ExQueueWorkItem(&item->Item, CriticalWorkQueue);
    return STATUS_SUCCESS;  // CONTINUE_COMPLETION: the IRP goes on up to its requester
}

// The power-up work item (PASSIVE_LEVEL). The interrupt pipe is restarted (unless it still
// runs) before the identification is sent. Under the exchange lock, and only while the
// reader is started and no removal has begun: a removal either finds the pipe running and
// stops it, or this routine finds the removal and sends nothing; its free of the reader's
// state waits for the power-up hold given back at the end.
_Use_decl_annotations_
VOID CcidPowerUpWorker(PVOID Parameter)
{
    PAGED_CODE();

    PPOWER_UP_WORK_ITEM item = static_cast<PPOWER_UP_WORK_ITEM>(Parameter);
    PDEVICE_OBJECT deviceObject = item->DeviceObject;
    ExFreePoolWithTag(item, CCID_POOL_TAG);

    PDEVICE_EXTENSION extension = CcidGetExtension(deviceObject);
    {
        MutexGuard exchange(CcidExchangeLock(deviceObject));
        if (extension->Started && !extension->Removed && !extension->SurpriseRemoved) {
            if (!extension->InterruptPipeRunning) {
                const NTSTATUS status = UsbStartInterruptPipe(deviceObject);
                if (status == STATUS_SUCCESS || status == STATUS_PENDING) {
                    extension->InterruptPipeRunning = TRUE;
                } else {
                    DbgPrint("USBCCID : cannot start interrupt pipe\n");
                }
            }
            // A reader that does not understand the identification works all the same.
            (VOID) CcidSendDriverIdentification(deviceObject);
        }
    }
    CcidEndPowerUp(deviceObject);
}

// Completion function of the device set-power request made for a held system IRP: the
// system IRP goes down whatever the device request's status, then gives back its
// reference. Runs where the power manager calls it (IRQL <= DISPATCH_LEVEL).
_Use_decl_annotations_
VOID CcidDevicePowerRequestComplete(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                    PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    UNREFERENCED_PARAMETER(IoStatus);

    PDEVICE_OBJECT deviceObject = static_cast<PDEVICE_OBJECT>(Context);
    PDEVICE_EXTENSION extension = CcidGetExtension(deviceObject);
    PIRP systemIrp = extension->PendingSystemPowerIrp;
    if (systemIrp == NULL) {
        return;
    }
    extension->PendingSystemPowerIrp = NULL;
    (VOID) CcidPowerPassDownAndRelease(deviceObject, systemIrp);
}

// Completion function of the driver's wait-wake request, whether the reader signalled
// wake, the request failed or was refused, or it was cancelled: the wait-wake state is
// idle again. Only a request that went down armed still holds its reference.
_Use_decl_annotations_
VOID CcidWaitWakeComplete(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState, PVOID Context,
                          PIO_STATUS_BLOCK IoStatus)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    UNREFERENCED_PARAMETER(IoStatus);

    PDEVICE_OBJECT deviceObject = static_cast<PDEVICE_OBJECT>(Context);
    PDEVICE_EXTENSION extension = CcidGetExtension(deviceObject);
    SpinLockGuard guard(extension->WaitWakeLock);
    const BOOLEAN armed = extension->WaitWakeArmed;
    extension->WaitWakeArmed = FALSE;
    extension->WaitWakeIdle = TRUE;
    extension->WaitWakeIrp = NULL;
    guard.Release();
    if (armed) {
        (VOID) CcidDecrementIoCount(deviceObject);
    }
}

_Use_decl_annotations_
NTSTATUS CcidWaitWakeIoComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);

    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    PDEVICE_EXTENSION extension = CcidGetExtension(static_cast<PDEVICE_OBJECT>(Context));
    SpinLockGuard guard(extension->WaitWakeLock);
    if (extension->WaitWakeCancelling) {
        // CcidCancelWaitWake completes the IRP again once IoCancelIrp has returned.
        extension->WaitWakeParked = TRUE;
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    return STATUS_CONTINUE_COMPLETION;
}

_Use_decl_annotations_
VOID CcidCancelWaitWake(PDEVICE_OBJECT DeviceObject, BOOLEAN Forget)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = CcidGetExtension(DeviceObject);
    PIRP irp;
    {
        SpinLockGuard guard(extension->WaitWakeLock);
        irp = extension->WaitWakeIdle ? NULL : extension->WaitWakeIrp;
        if (Forget) {
            extension->WaitWakeIrp = NULL;
        }
        if (irp == NULL) {
            return;
        }
        extension->WaitWakeCancelling = TRUE;
    }
    (VOID) IoCancelIrp(irp);
    BOOLEAN parked;
    {
        SpinLockGuard guard(extension->WaitWakeLock);
        extension->WaitWakeCancelling = FALSE;
        parked = extension->WaitWakeParked;
        extension->WaitWakeParked = FALSE;
    }
    if (parked) {
        // A power IRP leaves this driver again: the next one may start.
        PoStartNextPowerIrp(irp);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

// Cancel routine of a wait-wake IRP held by the driver (cancel spin lock held on entry).
// Installed by no path: see CcidHandleWaitWake.
_Use_decl_annotations_
VOID CcidWaitWakeCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);

    (VOID) IoSetCancelRoutine(Irp, NULL);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

// IRP_MJ_POWER: the dispatch routine and its handlers. The driver owns the power policy of
// the reader's stack: each system set-power becomes a device set-power request of its own,
// a system query asks for a wait-wake where the configuration allows remote wake-up, and
// every power IRP it does not refuse goes to the lower driver after PoStartNextPowerIrp.

#include "CcidFrame.h"
#include "CcidGuards.h"
#include "CcidPower.h"

namespace {

// Completes a power IRP here with Status, after releasing it for the next one.
NTSTATUS CcidPowerComplete(PIRP Irp, NTSTATUS Status)
{
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// The device state a system state maps to: D0 for S0; with a wait-wake armed, the bus's
// state for S (so that the reader can still signal wake), else D3. A state the bus left
// unspecified, or a system state outside S1 to S5, counts as D3.
DEVICE_POWER_STATE CcidDeviceStateFor(PDEVICE_EXTENSION Extension, SYSTEM_POWER_STATE System)
{
    if (System == PowerSystemWorking) {
        return PowerDeviceD0;
    }
    if (!Extension->WaitWakeArmed || System <= PowerSystemUnspecified || System >= PowerSystemMaximum) {
        return PowerDeviceD3;
    }
    const DEVICE_POWER_STATE mapped = Extension->DeviceCapabilities.DeviceState[System];
    return mapped > PowerDeviceUnspecified && mapped < PowerDeviceMaximum ? mapped : PowerDeviceD3;
}

}  // namespace

// Passes a power IRP down (IRQL <= DISPATCH_LEVEL); the lower driver owns it afterwards.
_Use_decl_annotations_
NTSTATUS CcidPowerPassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoCopyCurrentIrpStackLocationToNext(Irp);
    PoStartNextPowerIrp(Irp);
    return PoCallDriver(CcidGetExtension(DeviceObject)->LowerDeviceObject, Irp);
}

_Use_decl_annotations_
NTSTATUS CcidPowerPassDownAndRelease(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    const NTSTATUS status = CcidPowerPassDown(DeviceObject, Irp);
    (VOID) CcidDecrementIoCount(DeviceObject);
    return status;
}

// IRP_MJ_POWER (PASSIVE_LEVEL). The remove lock is held while the handler runs and given
// back on every path; the I/O reference taken here belongs to the IRP's path (see each
// handler). A power IRP arriving once removal has begun is completed at once.
_Use_decl_annotations_
NTSTATUS CcidPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = CcidGetExtension(DeviceObject);
    PSMARTCARD_EXTENSION smartcard = &extension->SmartcardExtension;
    if (extension->Removed) {
        // The removal may have shut the library down: its remove lock is gone with it.
        return CcidPowerComplete(Irp, STATUS_DELETE_PENDING);
    }
    const NTSTATUS lockStatus = SmartcardAcquireRemoveLockWithTag(smartcard, CCID_REMOVE_LOCK_TAG);
    if (!NT_SUCCESS(lockStatus)) {
        return CcidPowerComplete(Irp, lockStatus);
    }
    CcidIncrementIoCount(DeviceObject);

    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status;
    switch (stack->MinorFunction) {
    case IRP_MN_WAIT_WAKE:
        status = CcidHandleWaitWake(DeviceObject, Irp);
        break;
    case IRP_MN_SET_POWER:
        status = stack->Parameters.Power.Type == SystemPowerState ? CcidHandleSystemSetPower(DeviceObject, Irp)
                                                                  : CcidHandleDeviceSetPower(DeviceObject, Irp);
        break;
    case IRP_MN_QUERY_POWER:
        status = CcidHandleQueryPower(DeviceObject, Irp);
        break;
    default:
        status = CcidPowerPassDownAndRelease(DeviceObject, Irp);
        break;
    }

    SmartcardReleaseRemoveLockWithTag(smartcard, CCID_REMOVE_LOCK_TAG);
    return status;
}

// IRP_MN_QUERY_POWER (PASSIVE_LEVEL): never refused. A query for a system state on a
// reader that may wake the system asks the bus for a wait-wake, unless one of the
// driver's own is still outstanding: a second request's completion would reset the state
// of the first, which could then be neither cancelled nor given back its reference.
_Use_decl_annotations_
NTSTATUS CcidHandleQueryPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = CcidGetExtension(DeviceObject);
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->Parameters.Power.Type == SystemPowerState && extension->RemoteWakeupSupported &&
        extension->WaitWakeIdle) {
        extension->WaitWakeIdle = FALSE;
        POWER_STATE wakeFrom;
        wakeFrom.SystemState = stack->Parameters.Power.State.SystemState;
        const NTSTATUS request = PoRequestPowerIrp(extension->PhysicalDeviceObject, IRP_MN_WAIT_WAKE, wakeFrom,
                                                   CcidWaitWakeComplete, DeviceObject, &extension->WaitWakeIrp);
        if (!NT_SUCCESS(request)) {
            // No completion will come to put the state back.
            extension->WaitWakeIrp = NULL;
            extension->WaitWakeIdle = TRUE;
        }
    }
    return CcidPowerPassDownAndRelease(DeviceObject, Irp);
}

// IRP_MN_SET_POWER for a system state (PASSIVE_LEVEL). A change of device state holds the
// IRP, with its reference, until the device request has finished
// (CcidDevicePowerRequestComplete sends it on). A return to S0 first cancels an
// outstanding wait-wake.
_Use_decl_annotations_
NTSTATUS CcidHandleSystemSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = CcidGetExtension(DeviceObject);
    const SYSTEM_POWER_STATE system = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.SystemState;
    if (system == PowerSystemWorking) {
        // Cancelling is a request: CcidWaitWakeComplete puts the wait-wake state back.
        CcidCancelWaitWake(DeviceObject, FALSE);
    }

    POWER_STATE device;
    device.DeviceState = CcidDeviceStateFor(extension, system);
    if (device.DeviceState == extension->DevicePowerState) {
        return CcidPowerPassDownAndRelease(DeviceObject, Irp);
    }

    extension->PendingSystemPowerIrp = Irp;
    IoMarkIrpPending(Irp);
    const NTSTATUS request = PoRequestPowerIrp(extension->PhysicalDeviceObject, IRP_MN_SET_POWER, device,
                                               CcidDevicePowerRequestComplete, DeviceObject, NULL);
    if (!NT_SUCCESS(request)) {
        // No device request will come back for it: the system IRP goes down at once, as
        // it does after a failed device request, and gives back its reference here.
        extension->PendingSystemPowerIrp = NULL;
        (VOID) CcidPowerPassDownAndRelease(DeviceObject, Irp);
    }
    return STATUS_PENDING;
}

// IRP_MN_SET_POWER for a device state (PASSIVE_LEVEL). The reader is readied before the
// IRP goes down. A return to D0 keeps the IRP's reference and takes the power-up hold of
// the remove lock: both belong to the power-up until its work item ends. When removal
// has begun already, the hold cannot be had and the IRP just goes down.
_Use_decl_annotations_
NTSTATUS CcidHandleDeviceSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = CcidGetExtension(DeviceObject);
    const DEVICE_POWER_STATE state = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.DeviceState;
    BOOLEAN powerUp = CcidPrepareDevicePowerState(DeviceObject, state);
    if (powerUp &&
        !NT_SUCCESS(SmartcardAcquireRemoveLockWithTag(&extension->SmartcardExtension, CCID_POWER_UP_LOCK_TAG))) {
        powerUp = FALSE;
    }

    IoCopyCurrentIrpStackLocationToNext(Irp);
    if (powerUp) {
        IoSetCompletionRoutine(Irp, CcidPowerUpComplete, DeviceObject, TRUE, TRUE, TRUE);
    }
    PoStartNextPowerIrp(Irp);
    const NTSTATUS status = PoCallDriver(extension->LowerDeviceObject, Irp);
    if (!powerUp) {
        (VOID) CcidDecrementIoCount(DeviceObject);
    }
    return status;
}

// IRP_MN_WAIT_WAKE (PASSIVE_LEVEL). Refused when the configuration has no remote wake-up,
// or when the system state to wake from is deeper than the bus can wake the system from
// or maps to a device state deeper than the one it can signal wake in. An accepted one
// goes to the bus driver; the driver holds none itself.
//
// Its I/O reference is given back exactly once: a refused IRP's here (the completion
// function of the driver's own request then finds WaitWakeArmed FALSE and gives back
// nothing); the driver's own accepted request's by CcidWaitWakeComplete, WaitWakeArmed
// being set before the IRP goes down, since the bus may complete it at once; a wait-wake
// the driver did not request, here after it went down (nothing of it comes back here).
_Use_decl_annotations_
NTSTATUS CcidHandleWaitWake(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = CcidGetExtension(DeviceObject);
    const DEVICE_CAPABILITIES& capabilities = extension->DeviceCapabilities;
    const SYSTEM_POWER_STATE wakeFrom = IoGetCurrentIrpStackLocation(Irp)->Parameters.WaitWake.PowerState;

    NTSTATUS refusal = STATUS_SUCCESS;
    if (!extension->RemoteWakeupSupported) {
        refusal = STATUS_UNSUCCESSFUL;
    } else if (wakeFrom <= PowerSystemUnspecified || wakeFrom >= PowerSystemMaximum ||
               static_cast<LONG>(capabilities.SystemWake) < static_cast<LONG>(wakeFrom) ||
               static_cast<LONG>(capabilities.DeviceWake) < static_cast<LONG>(capabilities.DeviceState[wakeFrom])) {
        refusal = STATUS_INVALID_DEVICE_STATE;
    }
    SpinLockGuard guard(extension->WaitWakeLock);
    const BOOLEAN own = Irp == extension->WaitWakeIrp;
    if (refusal != STATUS_SUCCESS) {
        if (own && extension->WaitWakeCancelling) {
            // A path is cancelling this IRP: it completes it once IoCancelIrp has returned.
            extension->WaitWakeParked = TRUE;
            guard.Release();
            PoStartNextPowerIrp(Irp);
            Irp->IoStatus.Information = 0;
            Irp->IoStatus.Status = refusal;
            IoMarkIrpPending(Irp);
            (VOID) CcidDecrementIoCount(DeviceObject);
            return STATUS_PENDING;
        }
        guard.Release();
        (VOID) CcidPowerComplete(Irp, refusal);
        (VOID) CcidDecrementIoCount(DeviceObject);
        return refusal;
    }
    if (own) {
        extension->WaitWakeArmed = TRUE;
    }
    guard.Release();

    if (!own) {
        const NTSTATUS status = CcidPowerPassDown(DeviceObject, Irp);
        (VOID) CcidDecrementIoCount(DeviceObject);
        return status;
    }
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, CcidWaitWakeIoComplete, DeviceObject, TRUE, TRUE, TRUE);
    PoStartNextPowerIrp(Irp);
    return PoCallDriver(extension->LowerDeviceObject, Irp);
}

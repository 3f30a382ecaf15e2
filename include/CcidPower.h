// Routines of power management (power/), grouped by defining file.
#pragma once

#include "CcidDevice.h"

// Tag under which a return to D0 holds the smart-card library's remove lock from the
// dispatch of its device IRP until the power-up work item has ended: removal waits for
// the work item before it frees the reader's state.
constexpr ULONG CCID_POWER_UP_LOCK_TAG = 'CcUp';

// One power-up: the work item that restarts the interrupt pipe and identifies the driver
// again after a return to D0. Allocated by CcidPowerUpComplete, freed by its own routine.
typedef struct _POWER_UP_WORK_ITEM {
    WORK_QUEUE_ITEM Item;
    PDEVICE_OBJECT DeviceObject;
} POWER_UP_WORK_ITEM, *PPOWER_UP_WORK_ITEM;

static_assert(sizeof(POWER_UP_WORK_ITEM) == 40, "POWER_UP_WORK_ITEM is a work item and a device pointer");

// ---- power/PowerDispatch.cpp ------------------------------------------------------

// IRP_MJ_POWER (PASSIVE_LEVEL, the device is DO_POWER_PAGABLE): holds the remove lock
// while it runs and routes each power IRP to its handler below.
DRIVER_DISPATCH CcidPower;

// Passes a power IRP to the lower driver: stack location copied, PoStartNextPowerIrp,
// PoCallDriver. Returns PoCallDriver's status. IRQL <= DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS CcidPowerPassDown(_In_ PDEVICE_OBJECT DeviceObject, _In_ PIRP Irp);

// Passes a power IRP down as CcidPowerPassDown does, then gives back the I/O reference
// the IRP held. Returns PoCallDriver's status. IRQL <= DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS CcidPowerPassDownAndRelease(_In_ PDEVICE_OBJECT DeviceObject, _In_ PIRP Irp);

// The handlers: each gives back the I/O reference of its IRP where the IRP's path says.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS CcidHandleQueryPower(_In_ PDEVICE_OBJECT DeviceObject, _In_ PIRP Irp);
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS CcidHandleSystemSetPower(_In_ PDEVICE_OBJECT DeviceObject, _In_ PIRP Irp);
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS CcidHandleDeviceSetPower(_In_ PDEVICE_OBJECT DeviceObject, _In_ PIRP Irp);
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS CcidHandleWaitWake(_In_ PDEVICE_OBJECT DeviceObject, _In_ PIRP Irp);

// ---- power/PowerTransitions.cpp ---------------------------------------------------

// Completion functions of the driver's PoRequestPowerIrp requests (context: the reader's
// device object): the wait-wake request, and the device set-power request of a held
// system IRP.
REQUEST_POWER_COMPLETE CcidWaitWakeComplete;
REQUEST_POWER_COMPLETE CcidDevicePowerRequestComplete;

// Completion of the driver's own wait-wake IRP in the bus driver's hands (IRQL <=
// DISPATCH_LEVEL; context: the reader's device object): parks the IRP while a path is
// cancelling it, else lets it go on up to CcidWaitWakeComplete.
IO_COMPLETION_ROUTINE CcidWaitWakeIoComplete;

// Cancels the outstanding wait-wake request, if there is one (PASSIVE_LEVEL, no spin lock
// held), keeping the IRP valid while IoCancelIrp runs; Forget also clears WaitWakeIrp, so
// that an IRP still on its way down is no longer taken for the driver's own.
_IRQL_requires_(PASSIVE_LEVEL)
VOID CcidCancelWaitWake(_In_ PDEVICE_OBJECT DeviceObject, _In_ BOOLEAN Forget);

// Readies the reader for device state State before its IRP goes down (PASSIVE_LEVEL):
// reopened for D0 (returns TRUE: the IRP needs CcidPowerUpComplete), closed and quiesced
// for D1 to D3 (returns FALSE).
_IRQL_requires_(PASSIVE_LEVEL)
BOOLEAN CcidPrepareDevicePowerState(_In_ PDEVICE_OBJECT DeviceObject, _In_ DEVICE_POWER_STATE State);

// Completion of a device set-power IRP to D0 (IRQL <= DISPATCH_LEVEL): records D0 and
// queues the power-up work item; the IRP goes on up.
IO_COMPLETION_ROUTINE CcidPowerUpComplete;

// The power-up work item (PASSIVE_LEVEL, critical work queue): restarts the interrupt
// pipe and sends the identification again.
WORKER_THREAD_ROUTINE CcidPowerUpWorker;

// Cancel routine for a wait-wake IRP held by the driver itself. This driver never holds
// one (every wait-wake it accepts goes to the bus driver, which owns it until it
// completes), so no path installs it.
DRIVER_CANCEL CcidWaitWakeCancel;

// The Plug and Play requests that do more than pass through: start (configuration, reader
// parameters, identification, interrupt pipe), query-remove, removal, surprise removal and
// the capabilities query.

#include "CcidFrame.h"
#include "CcidPnp.h"
#include "CcidPower.h"
#include "CcidReader.h"
#include "CcidUsb.h"

namespace {

// Replaces the add-device defaults of the reader capabilities with the values of the
// reader's class descriptor (PASSIVE_LEVEL); a descriptor that cannot be read leaves them.
VOID CcidTakeReaderParameters(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();

    CCID_CLASS_DESCRIPTOR descriptor;
    if (!NT_SUCCESS(CcidGetClassDescriptor(DeviceObject, &descriptor))) {
        return;
    }
    PDEVICE_EXTENSION extension = CcidGetExtension(DeviceObject);
    SCARD_READER_CAPABILITIES& capabilities = extension->SmartcardExtension.ReaderCapabilities;

    extension->CcidFeatures = descriptor.dwFeatures.Get();
    capabilities.CLKFrequency.Default = descriptor.dwDefaultClock.Get();
    capabilities.CLKFrequency.Max = descriptor.dwMaximumClock.Get();
    capabilities.DataRate.Default = descriptor.dwDataRate.Get();
    capabilities.DataRate.Max = descriptor.dwMaxDataRate.Get();
    capabilities.MaxIFSD = descriptor.dwMaxIFSD.Get();
    capabilities.MechProperties = descriptor.dwMechanical.Get();

    // T=1 alone never replaces the protocols: without T=0 they keep their earlier value.
    const ULONG protocols = descriptor.dwProtocols.Get();
    if ((protocols & CCID_PROTOCOL_T0) != 0) {
        capabilities.SupportedProtocols = SCARD_PROTOCOL_T0;
    }
    if ((protocols & CCID_PROTOCOL_T1) != 0) {
        capabilities.SupportedProtocols |= SCARD_PROTOCOL_T1;
    }
}

// Arms the interrupt pipe of a configured reader (PASSIVE_LEVEL). The card state is set
// to SCARD_ABSENT before the pipe is armed, so that a slot-change message the completion
// routine handles at once is not overwritten; a failed arming puts the old state back.
NTSTATUS CcidArmReader(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = CcidGetExtension(DeviceObject);
    const ULONG previousState = CcidSetCardState(&extension->SmartcardExtension, SCARD_ABSENT);
    const NTSTATUS status = UsbStartInterruptPipe(DeviceObject);
    if (status == STATUS_SUCCESS || status == STATUS_PENDING) {
        extension->Started = TRUE;
        extension->InterruptPipeRunning = TRUE;
        return STATUS_SUCCESS;
    }
    (VOID) CcidSetCardState(&extension->SmartcardExtension, previousState);
    return status;
}

}  // namespace

// IRP_MN_START_DEVICE (PASSIVE_LEVEL): the lower drivers start first. A failed start undoes
// nothing; stop or removal release what it configured.
_Use_decl_annotations_
NTSTATUS CcidHandleStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();

    NTSTATUS callStatus;
    NTSTATUS status = CcidPnpForwardAndWait(DeviceObject, Irp, &callStatus);
    if (!NT_SUCCESS(status)) {
        return CcidPnpComplete(DeviceObject, Irp, status);
    }

    // A port that does not reset still gets configured; the configuration reports problems.
    (VOID) UsbResetPort(DeviceObject);
    status = UsbConfigureDevice(DeviceObject);
    if (status != STATUS_SUCCESS) {
        return CcidPnpComplete(DeviceObject, Irp, status);
    }
    CcidTakeReaderParameters(DeviceObject);
    // A reader that does not understand the identification works all the same.
    (VOID) CcidSendDriverIdentification(DeviceObject);

    return CcidPnpComplete(DeviceObject, Irp, CcidArmReader(DeviceObject));
}

// IRP_MN_QUERY_REMOVE_DEVICE (PASSIVE_LEVEL): never refused. While the reader runs, an
// outstanding wait-wake request is cancelled and new requests are refused from now on.
_Use_decl_annotations_
NTSTATUS CcidHandleQueryRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = CcidGetExtension(DeviceObject);
    if (extension->Started) {
        // Cancelling is a request; the wait-wake completion resets the wait-wake state.
        CcidCancelWaitWake(DeviceObject, TRUE);
        extension->RemovePending = TRUE;
        (VOID) KeWaitForSingleObject(&extension->NoPendingIoEvent, Executive, KernelMode, FALSE, NULL);
    }
    return CcidPnpPassDown(DeviceObject, Irp);
}

// IRP_MN_REMOVE_DEVICE (PASSIVE_LEVEL): the last request the device sees. The library's
// drain in CcidRemoveDevice gives back this request's remove lock; after the lower drivers
// have the request and the I/O count has reached 0, the device object goes.
_Use_decl_annotations_
NTSTATUS CcidHandleRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = CcidGetExtension(DeviceObject);
    (VOID) CcidDecrementIoCount(DeviceObject);
    extension->Removed = TRUE;
    if (!extension->SurpriseRemoved) {
        CcidStopDevice(DeviceObject);
    }
    (VOID) CcidRemoveDevice(DeviceObject);

    IoSkipCurrentIrpStackLocation(Irp);
    const NTSTATUS status = IofCallDriver(extension->LowerDeviceObject, Irp);

    (VOID) CcidDecrementIoCount(DeviceObject);  // the base reference of add-device
    (VOID) KeWaitForSingleObject(&extension->RemoveEvent, Executive, KernelMode, FALSE, NULL);

    IoDetachDevice(extension->LowerDeviceObject);
    if (extension->UnitNumber == NextUnitNumber - 1) {
        NextUnitNumber--;
    }
    DeviceCount--;
    IoDeleteDevice(DeviceObject);
    return status;
}

// IRP_MN_SURPRISE_REMOVAL (PASSIVE_LEVEL): the reader is gone. The interrupt pipe is
// stopped and the card reported absent; a parked card-tracking request waits for the
// cleanup of its handle or for the removal.
_Use_decl_annotations_
NTSTATUS CcidHandleSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = CcidGetExtension(DeviceObject);
    (VOID) CcidDecrementIoCount(DeviceObject);
    extension->SurpriseRemoved = TRUE;
    UsbStopInterruptPipe(DeviceObject);

    IoSkipCurrentIrpStackLocation(Irp);
    const NTSTATUS status = IofCallDriver(extension->LowerDeviceObject, Irp);

    (VOID) CcidSetCardState(&extension->SmartcardExtension, SCARD_ABSENT);
    SmartcardReleaseRemoveLockWithTag(&extension->SmartcardExtension, CCID_REMOVE_LOCK_TAG);
    return status;
}

// IRP_MN_QUERY_CAPABILITIES (PASSIVE_LEVEL): the bus fills the capabilities; the driver
// adds that the reader may be unplugged at any time.
_Use_decl_annotations_
NTSTATUS CcidHandleQueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();

    NTSTATUS callStatus;
    NTSTATUS status = CcidPnpForwardAndWait(DeviceObject, Irp, &callStatus);
    if (callStatus != STATUS_PENDING && !NT_SUCCESS(callStatus)) {
        return CcidPnpComplete(DeviceObject, Irp, callStatus);
    }
    status = Irp->IoStatus.Status;
    PDEVICE_CAPABILITIES capabilities = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    if (capabilities != NULL) {
        capabilities->SurpriseRemovalOK = TRUE;
    }
    return CcidPnpComplete(DeviceObject, Irp, status);
}

// Stop and removal: quiescing a started reader (interfaces off, card powered down,
// interrupt pipe stopped, port reset, outstanding I/O waited for) and releasing what
// add-device and start acquired.

#include "CcidFrame.h"
#include "CcidGuards.h"
#include "CcidPnp.h"
#include "CcidPower.h"
#include "CcidReader.h"
#include "CcidUsb.h"

namespace {

// Withdraws one device interface and frees its name (PASSIVE_LEVEL); the interface calls
// report nothing the removal could act on.
VOID CcidDeleteInterface(PUNICODE_STRING Name)
{
    PAGED_CODE();

    if (Name->Buffer == NULL) {
        return;
    }
    (VOID) IoSetDeviceInterfaceState(Name, FALSE);
    (VOID) IoDeleteSymbolicLink(Name);
    RtlFreeUnicodeString(Name);
}

// Completes a card-tracking request parked with the library (PASSIVE_LEVEL, no lock held).
VOID CcidEndParkedCardTracking(PSMARTCARD_EXTENSION SmartcardExtension)
{
    PAGED_CODE();

    BOOLEAN parked;
    {
        KIRQL irql;
        KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &irql);
        parked = SmartcardExtension->OsData->NotificationIrp != NULL;
        KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, irql);
    }
    if (parked) {
        CcidCompleteCardTracking(SmartcardExtension);
    }
}

}  // namespace

// Stops the reader (PASSIVE_LEVEL, inside a Plug and Play request). The exchange lock,
// held from the power-down to the port reset, makes an exchange already in flight finish
// first: the port is reset with no transfer pending. The stop always succeeds, as Windows
// requires of IRP_MN_STOP_DEVICE: a card that does not answer the power-down loses its
// power with the port reset all the same.
_Use_decl_annotations_
VOID CcidStopDevice(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = CcidGetExtension(DeviceObject);
    PSMARTCARD_EXTENSION smartcard = &extension->SmartcardExtension;

    // The interface states do not decide the stop.
    for (ULONG index = 0; index < extension->ExtraInterfaceCount; ++index) {
        (VOID) IoSetDeviceInterfaceState(&extension->ExtraInterfaceNames[index], FALSE);
    }
    if (extension->ReaderInterfaceName.Buffer != NULL) {
        (VOID) IoSetDeviceInterfaceState(&extension->ReaderInterfaceName, FALSE);
    }

    {
        MutexGuard exchange(CcidExchangeLock(DeviceObject));
        // A failed power-down does not hold up the stop: the port reset below ends the
        // card's power whatever the reader made of the command.
        CcidPowerDownPresentCard(smartcard);
        UsbStopInterruptPipe(DeviceObject);
        // The configuration of the next start tells whether the reader is still usable.
        (VOID) UsbResetPort(DeviceObject);
        // Under the exchange lock, which the power-up worker takes to read them: a worker
        // that comes after this finds the reader stopped and leaves the interrupt pipe
        // stopped. To create and device control the two flags say "stopping" as before.
        extension->StopPending = TRUE;
        extension->Started = FALSE;
    }

    (VOID) CcidDecrementIoCount(DeviceObject);
    (VOID) KeWaitForSingleObject(&extension->NoPendingIoEvent, Executive, KernelMode, FALSE, NULL);
    CcidIncrementIoCount(DeviceObject);

    MutexGuard exchange(CcidExchangeLock(DeviceObject));
    extension->StopPending = FALSE;
}

// Releases the reader's resources at removal (PASSIVE_LEVEL, inside IRP_MN_REMOVE_DEVICE).
// The device object itself stays until the Plug and Play dispatch deletes it.
_Use_decl_annotations_
NTSTATUS CcidRemoveDevice(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = CcidGetExtension(DeviceObject);
    PSMARTCARD_EXTENSION smartcard = &extension->SmartcardExtension;

    UsbStopInterruptPipe(DeviceObject);

    if (!extension->RemovePending) {
        // Cancelling is a request; the wait-wake completion resets the wait-wake state.
        CcidCancelWaitWake(DeviceObject, TRUE);
        (VOID) KeWaitForSingleObject(&extension->NoPendingIoEvent, Executive, KernelMode, FALSE, NULL);
    }

    if (smartcard->OsData != NULL) {
        CcidEndParkedCardTracking(smartcard);
        SmartcardReleaseRemoveLockAndWait(smartcard);
        SmartcardExit(smartcard);
    }
    // A power-up that was under way when the removal began may have restarted the pipe
    // after the first stop; the drain above has waited for it.
    UsbStopInterruptPipe(DeviceObject);

    for (ULONG index = 0; index < extension->ExtraInterfaceCount; ++index) {
        CcidDeleteInterface(&extension->ExtraInterfaceNames[index]);
    }
    extension->ExtraInterfaceCount = 0;
    CcidDeleteInterface(&extension->ReaderInterfaceName);

    CcidFreePoolAndNull(extension->DeviceDescriptor);
    CcidFreePoolAndNull(extension->InterfaceInformation);
    CcidFreePoolAndNull(extension->ConfigurationDescriptor);
    CcidFreePoolAndNull(extension->EventFifo);
    CcidFreePoolAndNull(smartcard->ReaderExtension);
    return STATUS_SUCCESS;
}

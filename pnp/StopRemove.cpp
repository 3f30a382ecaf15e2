// Stop and removal: quiescing a started reader (interfaces off, card powered down,
// interrupt pipe stopped, port reset, outstanding I/O waited for) and releasing what
// add-device and start acquired.

#include "CcidFrame.h"
#include "CcidGuards.h"
#include "CcidPnp.h"
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

// Stops the reader (PASSIVE_LEVEL, inside a Plug and Play request). Every step runs even
// when the card power-down fails; the reader then stays started and the failure is the
// result.
_Use_decl_annotations_
NTSTATUS CcidStopDevice(PDEVICE_OBJECT DeviceObject)
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

    NTSTATUS status = STATUS_SUCCESS;
    smartcard->ReaderExtension->CardPresent = smartcard->ReaderCapabilities.CurrentState > SCARD_ABSENT;
    if (smartcard->ReaderExtension->CardPresent) {
        smartcard->MinorIoControlCode = SCARD_POWER_DOWN;
        status = CcidCardPower(smartcard);
    }

    UsbStopInterruptPipe(DeviceObject);
    // The configuration of the next start tells whether the reader is still usable.
    (VOID) UsbResetPort(DeviceObject);

    extension->StopPending = TRUE;
    (VOID) CcidDecrementIoCount(DeviceObject);
    (VOID) KeWaitForSingleObject(&extension->NoPendingIoEvent, Executive, KernelMode, FALSE, NULL);
    CcidIncrementIoCount(DeviceObject);

    if (status == STATUS_SUCCESS) {
        extension->Started = FALSE;
    }
    extension->StopPending = FALSE;
    return status;
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
        if (!extension->WaitWakeIdle && extension->WaitWakeIrp != NULL) {
            // Cancelling is a request; the wait-wake completion resets the wait-wake state.
            (VOID) IoCancelIrp(extension->WaitWakeIrp);
        }
        extension->WaitWakeIrp = NULL;
        (VOID) KeWaitForSingleObject(&extension->NoPendingIoEvent, Executive, KernelMode, FALSE, NULL);
    }

    if (smartcard->OsData != NULL) {
        CcidEndParkedCardTracking(smartcard);
        SmartcardReleaseRemoveLockAndWait(smartcard);
        SmartcardExit(smartcard);
    }

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

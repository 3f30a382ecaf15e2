// The interrupt-in pipe: one request outstanding while the reader runs. Each message goes
// to the waiting event read or into the event ring; a slot change for slot 0 becomes the
// library's card state and completes a waiting card-tracking request. The request is sent
// again from its own completion routine until a transfer fails or a stop is requested.

#include "CcidFrame.h"
#include "CcidGuards.h"
#include "CcidReader.h"
#include "CcidUsb.h"

namespace {

// Takes the parked event read for completion and sets its result from Status and the
// Received bytes of InterruptBuffer (IRQL DISPATCH_LEVEL, EventLock held). The caller
// completes the returned request once EventLock is released. NULL when none is parked or
// its cancellation has begun (the cancel routine then owns it).
PIRP UsbTakeParkedEventRead(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension, NTSTATUS Status,
                            ULONG Received)
{
    PIRP irp = CcidUnparkEventRead(DeviceObject);
    if (irp == NULL) {
        return NULL;
    }
    irp->IoStatus.Information = 0;
    if (NT_SUCCESS(Status)) {
        const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->Parameters.DeviceIoControl.OutputBufferLength >= Received) {
            RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, Extension->InterruptBuffer, Received);
            irp->IoStatus.Information = Received;
        } else {
            Status = STATUS_BUFFER_TOO_SMALL;  // the message is lost
        }
    }
    irp->IoStatus.Status = Status;
    return irp;
}

// Puts the message in InterruptBuffer into the ring (EventLock held); a full ring drops
// its oldest message.
VOID UsbQueueEvent(PDEVICE_EXTENSION Extension, ULONG Received)
{
    PEVENT_FIFO_ENTRY entry = &Extension->EventFifo[Extension->EventFifoWrite];
    entry->Length = Received;
    RtlCopyMemory(entry->Data, Extension->InterruptBuffer, Received);

    Extension->EventFifoWrite = (Extension->EventFifoWrite + 1) % Extension->EventFifoEntries;
    if (Extension->EventFifoWrite == Extension->EventFifoRead) {
        Extension->EventFifoRead = (Extension->EventFifoRead + 1) % Extension->EventFifoEntries;
    }
}

// Turns a slot-change message for slot 0 into the library's card state (IRQL <=
// DISPATCH_LEVEL, no lock held) and tells card tracking when the state changed.
VOID UsbHandleSlotChange(PDEVICE_EXTENSION Extension)
{
    if (Extension->InterruptBuffer[0] != CCID_RDR_TO_PC_NOTIFY_SLOT_CHANGE ||
        (Extension->InterruptBuffer[1] & CCID_SLOT0_CHANGED) == 0) {
        return;
    }

    PSMARTCARD_EXTENSION smartcard = &Extension->SmartcardExtension;
    PREADER_EXTENSION reader = smartcard->ReaderExtension;
    ULONG state;
    if ((Extension->InterruptBuffer[1] & CCID_SLOT0_CARD_PRESENT) != 0) {
        reader->CardPresent = TRUE;
        state = SCARD_PRESENT;
    } else {
        reader->CardPresent = FALSE;
        reader->ApduLevelExchange = FALSE;
        smartcard->CardCapabilities.ATR.Length = 0;
        state = SCARD_ABSENT;
    }
    (VOID) CcidSetCardState(smartcard, state);
    smartcard->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_UNDEFINED;

    if (state != Extension->LastReportedState) {
        Extension->LastReportedState = state;
        CcidCompleteCardTracking(smartcard);
    }
}

// Ends the pipe from the completion routine: frees the request's IRP, context and URB,
// lets a waiting stopper go on, then drops the request's I/O reference.
VOID UsbEndInterruptPipe(PINTERRUPT_CONTEXT Context, PIRP Irp)
{
    PDEVICE_OBJECT deviceObject = Context->DeviceObject;
    if (Context->Urb != NULL) {
        ExFreePoolWithTag(Context->Urb, CCID_POOL_TAG);
    }
    ExFreePoolWithTag(Context, CCID_POOL_TAG);
    IoFreeIrp(Irp);

    KeSetEvent(&CcidGetReaderExtension(deviceObject)->InterruptStopped, IO_NO_INCREMENT, FALSE);
    (VOID) CcidDecrementIoCount(deviceObject);
}

}  // namespace

// Arms the interrupt-in request (PASSIVE_LEVEL); the request holds one I/O reference until
// its completion routine ends the pipe. Returns what sending it returned.
_Use_decl_annotations_
NTSTATUS UsbStartInterruptPipe(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = CcidGetExtension(DeviceObject);
    PREADER_EXTENSION reader = CcidGetReaderExtension(DeviceObject);
    if (extension->PipeInfo[PIPE_INTERRUPT_IN].PipeHandle == NULL) {
        return STATUS_INVALID_DEVICE_STATE;  // configuration found no interrupt pipe
    }

    RtlZeroMemory(extension->InterruptBuffer, sizeof(extension->InterruptBuffer));
    PURB urb = UsbBuildTransferUrb(DeviceObject, extension->InterruptBuffer, PIPE_INTERRUPT_IN,
                                   sizeof(extension->InterruptBuffer));
    PINTERRUPT_CONTEXT context =
        static_cast<PINTERRUPT_CONTEXT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(INTERRUPT_CONTEXT), CCID_POOL_TAG));
    const CCHAR stackSize = static_cast<CCHAR>(extension->LowerDeviceObject->StackSize + 1);
    PIRP irp = IoAllocateIrp(stackSize, FALSE);
    if (urb == NULL || context == NULL || irp == NULL) {
        if (urb != NULL) {
            ExFreePoolWithTag(urb, CCID_POOL_TAG);
        }
        if (context != NULL) {
            ExFreePoolWithTag(context, CCID_POOL_TAG);
        }
        if (irp != NULL) {
            IoFreeIrp(irp);
        }
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    context->DeviceObject = DeviceObject;
    context->Urb = urb;

    InterlockedExchange(&reader->InterruptStopRequested, FALSE);
    KeClearEvent(&reader->InterruptStopped);
    CcidIncrementIoCount(DeviceObject);

    UsbPrepareUrbIrp(irp, urb, stackSize, UsbInterruptComplete, context);
    return IofCallDriver(extension->LowerDeviceObject, irp);
}

// Completion of the interrupt-in request (IRQL <= DISPATCH_LEVEL). Always keeps the IRP:
// it is sent again, or freed here when the pipe ends.
_Use_decl_annotations_
NTSTATUS UsbInterruptComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID CompletionContext)
{
    UNREFERENCED_PARAMETER(DeviceObject);

    PINTERRUPT_CONTEXT context = static_cast<PINTERRUPT_CONTEXT>(CompletionContext);
    PDEVICE_OBJECT deviceObject = context->DeviceObject;
    PDEVICE_EXTENSION extension = CcidGetExtension(deviceObject);
    PREADER_EXTENSION reader = CcidGetReaderExtension(deviceObject);
    const USBD_STATUS usbdStatus = context->Urb->UrbHeader.Status;

    PIRP eventRead = NULL;
    if (usbdStatus != USBD_STATUS_SUCCESS) {
        {
            SpinLockGuard guard(extension->EventLock);
            eventRead = UsbTakeParkedEventRead(deviceObject, extension, static_cast<NTSTATUS>(usbdStatus), 0);
        }
        if (eventRead != NULL) {
            IoCompleteRequest(eventRead, IO_NO_INCREMENT);
        }
        UsbEndInterruptPipe(context, Irp);
        return STATUS_MORE_PROCESSING_REQUIRED;  // the IRP was ours and is freed
    }

    ULONG received = context->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    if (received > sizeof(extension->InterruptBuffer)) {
        received = sizeof(extension->InterruptBuffer);
    }
    {
        SpinLockGuard guard(extension->EventLock);
        eventRead = UsbTakeParkedEventRead(deviceObject, extension, STATUS_SUCCESS, received);
        if (eventRead == NULL) {
            UsbQueueEvent(extension, received);
        }
    }
    if (eventRead != NULL) {
        IoCompleteRequest(eventRead, IO_NO_INCREMENT);
    }
    UsbHandleSlotChange(extension);

    ExFreePoolWithTag(context->Urb, CCID_POOL_TAG);
    context->Urb = NULL;
    if (InterlockedCompareExchange(&reader->InterruptStopRequested, FALSE, FALSE) != FALSE) {
        UsbEndInterruptPipe(context, Irp);
        return STATUS_MORE_PROCESSING_REQUIRED;  // a stopper waits for the pipe to end; the IRP is freed
    }

    RtlZeroMemory(extension->InterruptBuffer, sizeof(extension->InterruptBuffer));
    context->Urb = UsbBuildTransferUrb(deviceObject, extension->InterruptBuffer, PIPE_INTERRUPT_IN,
                                       sizeof(extension->InterruptBuffer));
    if (context->Urb == NULL) {
        UsbEndInterruptPipe(context, Irp);
        return STATUS_MORE_PROCESSING_REQUIRED;  // out of pool: the pipe stops; the IRP is freed
    }
    const CCHAR stackSize = static_cast<CCHAR>(extension->LowerDeviceObject->StackSize + 1);
    UsbPrepareUrbIrp(Irp, context->Urb, stackSize, UsbInterruptComplete, context);
    (VOID) IofCallDriver(extension->LowerDeviceObject, Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;  // the IRP is ours again, sent for the next message
}

// Stops the interrupt pipe (PASSIVE_LEVEL). The abort ends the request in flight; a
// request that the completion routine was re-sending as the abort went by is caught by
// aborting again, a bounded number of times. After that the stopper waits without a
// time-out: the request, its IRP, context and I/O reference belong to the USB stack until
// it completes them, so nothing of the pipe may be freed, and nothing outlives this call.
_Use_decl_annotations_
VOID UsbStopInterruptPipe(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = CcidGetExtension(DeviceObject);
    if (!extension->InterruptPipeRunning) {
        return;
    }
    PREADER_EXTENSION reader = CcidGetReaderExtension(DeviceObject);
    InterlockedExchange(&reader->InterruptStopRequested, TRUE);

    LARGE_INTEGER wait;
    wait.QuadPart = -CCID_TICKS_PER_MS * CCID_INTERRUPT_STOP_WAIT_MS;
    NTSTATUS status = STATUS_TIMEOUT;
    for (ULONG abort = 0; abort < CCID_INTERRUPT_STOP_ABORTS_MAX && status == STATUS_TIMEOUT; ++abort) {
        // The pipe's end is what counts, not the abort's own status.
        (VOID) UsbAbortPipe(DeviceObject, PIPE_INTERRUPT_IN);
        status = KeWaitForSingleObject(&reader->InterruptStopped, Executive, KernelMode, FALSE, &wait);
    }
    if (status == STATUS_TIMEOUT) {
        (VOID) KeWaitForSingleObject(&reader->InterruptStopped, Executive, KernelMode, FALSE, NULL);
    }

    extension->InterruptPipeRunning = FALSE;
}

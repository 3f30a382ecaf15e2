// Timed transfers on the reader's bulk pipes, cut into chunks of at most 4096 bytes, and
// the transfer URB they share with the interrupt-in request. A chunk the reader leaves
// unanswered is ended by aborting its pipe.

#include "CcidFrame.h"
#include "CcidGuards.h"
#include "CcidUsb.h"

static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 128, "transfer URBs are 128 bytes");
static_assert(CCID_BULK_CHUNK_MAX % CCID_BULK_PACKET_SIZE == 0, "chunks end on packet boundaries");

namespace {


// Sends one chunk on a bulk slot and waits for it at most TimeoutMs (PASSIVE_LEVEL); a
// chunk that times out is aborted and then waited for until the USB stack gives it back.
// *Moved is what the URB reports as transferred, never more than was asked for.
NTSTATUS UsbTransferChunk(PDEVICE_OBJECT DeviceObject, PUCHAR Buffer, ULONG PipeIndex, ULONG Length,
                          ULONG TimeoutMs, PULONG Moved)
{
    PAGED_CODE();

    *Moved = 0;
    PDEVICE_EXTENSION extension = CcidGetExtension(DeviceObject);
    const CCHAR stackSize = extension->LowerDeviceObject->StackSize;

    PURB urb = UsbBuildTransferUrb(DeviceObject, Buffer, PipeIndex, Length);
    if (urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIRP irp = IoAllocateIrp(stackSize, FALSE);
    if (irp == NULL) {
        ExFreePoolWithTag(urb, CCID_POOL_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    UsbPrepareUrbIrp(irp, urb, stackSize, UsbCompletionSetEvent, &event);

    // The completion routine sets the event however the call ends.
    (VOID) IofCallDriver(extension->LowerDeviceObject, irp);

    LARGE_INTEGER timeout;
    timeout.QuadPart = -CCID_TICKS_PER_MS * static_cast<LONGLONG>(TimeoutMs);
    NTSTATUS status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, TimeoutMs != 0 ? &timeout : NULL);
    if (status == STATUS_TIMEOUT) {
        // The abort makes the stack complete the request; its own status is of no use.
        (VOID) UsbAbortPipe(DeviceObject, PipeIndex);
        (VOID) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = STATUS_TIMEOUT;
    } else {
        status = irp->IoStatus.Status;
    }
    IoFreeIrp(irp);

    const ULONG moved = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    *Moved = moved < Length ? moved : Length;
    ExFreePoolWithTag(urb, CCID_POOL_TAG);
    return status;
}

}  // namespace

// Builds a bulk-or-interrupt transfer URB for a pipe slot (IRQL <= DISPATCH_LEVEL): short
// transfers allowed, IN for the interrupt-in and bulk-in slots. The caller owns the URB.
_Use_decl_annotations_
PURB UsbBuildTransferUrb(PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG PipeIndex, ULONG Length)
{
    if (PipeIndex >= PIPE_COUNT) {
        return NULL;
    }
    const USHORT urbSize = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, urbSize, CCID_POOL_TAG));
    if (urb == NULL) {
        return NULL;
    }
    RtlZeroMemory(urb, urbSize);

    ULONG flags = USBD_SHORT_TRANSFER_OK;
    if (PipeIndex != PIPE_BULK_OUT) {
        flags |= USBD_TRANSFER_DIRECTION_IN;
    }
    UsbBuildInterruptOrBulkTransferRequest(urb, urbSize, CcidGetExtension(DeviceObject)->PipeInfo[PipeIndex].PipeHandle,
                                           Buffer, NULL, Length, flags, NULL);
    return urb;
}

// Moves Length bytes on a bulk pipe in chunks of at most 4096 bytes (PASSIVE_LEVEL). Only
// a full chunk that succeeded leads to another; the last chunk's result is returned. A
// slot that configuration left without a pipe fails with STATUS_INVALID_DEVICE_STATE
// before anything is sent.
_Use_decl_annotations_
NTSTATUS UsbBulkTransfer(PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length, ULONG TimeoutMs,
                         PULONG Transferred, BOOLEAN In)
{
    PAGED_CODE();

    *Transferred = 0;
    if (Length == 0) {
        return STATUS_SUCCESS;
    }
    const ULONG slot = In ? PIPE_BULK_IN : PIPE_BULK_OUT;
    if (CcidGetExtension(DeviceObject)->PipeInfo[slot].PipeHandle == NULL) {
        return STATUS_INVALID_DEVICE_STATE;
    }

    PUCHAR bytes = static_cast<PUCHAR>(Buffer);
    for (;;) {
        const ULONG remaining = Length - *Transferred;
        const ULONG chunk = remaining < CCID_BULK_CHUNK_MAX ? remaining : CCID_BULK_CHUNK_MAX;

        ULONG moved = 0;
        const NTSTATUS status = UsbTransferChunk(DeviceObject, bytes + *Transferred, slot, chunk, TimeoutMs, &moved);
        *Transferred += moved;

        if (remaining <= CCID_BULK_CHUNK_MAX || status != STATUS_SUCCESS || *Transferred >= Length) {
            return status;
        }
    }
}

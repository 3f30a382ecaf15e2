// Handlers of the driver's own control codes that talk to the reader: the class
// descriptor, the CCID abort, the clock-frequency and data-rate queries, and the raw
// CCID message pass-through. Each sets the request's Information and returns its status;
// a missing system buffer or one below the handler's minimum is
// STATUS_INSUFFICIENT_RESOURCES, as for every control code of the driver.

#include "CcidFrame.h"
#include "CcidGuards.h"
#include "CcidReader.h"
#include "CcidUsb.h"

// IOCTL_CCID_GET_CLASS_DESCRIPTOR (PASSIVE_LEVEL): the 54-byte descriptor.
_Use_decl_annotations_
NTSTATUS CcidHandleGetClassDescriptor(PDEVICE_OBJECT DeviceObject, PCCID_IOCTL_REQUEST Request)
{
    PAGED_CODE();

    if (Request->Buffer == NULL || Request->OutputLength < CCID_CLASS_DESCRIPTOR_SIZE) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    const NTSTATUS status = CcidGetClassDescriptor(DeviceObject, reinterpret_cast<PCCID_CLASS_DESCRIPTOR>(Request->Buffer));
    if (NT_SUCCESS(status)) {
        Request->Information = CCID_CLASS_DESCRIPTOR_SIZE;
    }
    return status;
}

// IOCTL_CCID_ABORT (PASSIVE_LEVEL): the CCID abort handshake, one sequence number for
// both steps. The ABORT class request goes on the control pipe at once, outside the
// exchange lock: a PIN entry holds that lock for as long as the user types, and this
// request is what ends it (the reader answers the running command with CMD_ABORTED).
// PC_to_RDR_Abort follows on the bulk pipe once the lock is free, that is once the
// aborted command has ended; it is sent whatever the class request did, and its
// exchange decides the status. A class request that could not even be built fails the
// request before anything is sent. From the class request until PC_to_RDR_Abort has been
// answered, the command gate refuses every other command (the reader accepts none in
// between), so a command about to be sent as the abort comes either goes before the class
// request, and is ended by it, or fails with STATUS_CANCELLED.
_Use_decl_annotations_
NTSTATUS CcidHandleAbort(PDEVICE_OBJECT DeviceObject, PCCID_IOCTL_REQUEST Request)
{
    PAGED_CODE();

    if (Request->Buffer == NULL || Request->InputLength < 1) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    const UCHAR slot = Request->Buffer[0];
    const UCHAR sequence = CcidTakeSequenceNumber(DeviceObject);

    PREADER_EXTENSION reader = CcidGetReaderExtension(DeviceObject);
    ULONG transferred = 0;
    const USHORT value = static_cast<USHORT>((sequence << 8) | slot);
    NTSTATUS status;
    {
        MutexGuard gate(reader->CommandGate);
        reader->AbortPending = TRUE;
        status = UsbSendClassRequest(DeviceObject, CCID_REQUEST_ABORT, value, USBD_SHORT_TRANSFER_OK, NULL, 0,
                                     &transferred);
        if (status == STATUS_INSUFFICIENT_RESOURCES) {
            reader->AbortPending = FALSE;
            return status;
        }
    }

    CCID_HEADER command = {};
    command.bMessageType = CCID_PC_TO_RDR_ABORT;
    command.bSlot = slot;
    command.bSeq = sequence;
    CCID_HEADER expected = {};
    expected.bMessageType = CCID_RDR_TO_PC_SLOT_STATUS;
    expected.bSlot = slot;
    expected.bSeq = sequence;

    MutexGuard exchange(CcidExchangeLock(DeviceObject));
    status = CcidExchange(DeviceObject, reinterpret_cast<PUCHAR>(&command), sizeof(command), &expected, NULL, NULL);
    MutexGuard gate(reader->CommandGate);
    reader->AbortPending = FALSE;
    return status;
}

// IOCTL_CCID_GET_CLOCK_FREQUENCIES and IOCTL_CCID_GET_DATA_RATES (PASSIVE_LEVEL): the class
// request's data straight into the system buffer; Information is what arrived, whatever
// the status.
_Use_decl_annotations_
NTSTATUS CcidHandleClassQuery(PDEVICE_OBJECT DeviceObject, UCHAR ClassRequest, PCCID_IOCTL_REQUEST Request)
{
    PAGED_CODE();

    if (Request->Buffer == NULL || Request->OutputLength < 1) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG transferred = 0;
    const NTSTATUS status =
        UsbSendClassRequest(DeviceObject, ClassRequest, 0, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                            Request->Buffer, Request->OutputLength, &transferred);
    Request->Information = transferred;
    return status;
}

// IOCTL_CCID_TRANSFER (PASSIVE_LEVEL): the caller's message with the driver's bSeq, any
// response accepted as it comes (its status bytes are the caller's to judge). The output
// receives the response's header and data. An input shorter than a CCID header is no
// message and is refused before anything is taken or sent.
_Use_decl_annotations_
NTSTATUS CcidHandleTransfer(PDEVICE_OBJECT DeviceObject, PCCID_IOCTL_REQUEST Request)
{
    PAGED_CODE();

    if (Request->Buffer == NULL || Request->OutputLength < CCID_HEADER_SIZE ||
        Request->InputLength < CCID_HEADER_SIZE) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PoolBlock<UCHAR> command(NonPagedPool, Request->InputLength, CCID_POOL_TAG);
    if (!command) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(command.Get(), Request->Buffer, Request->InputLength);
    PCCID_HEADER header = reinterpret_cast<PCCID_HEADER>(command.Get());

    MutexGuard exchange(CcidExchangeLock(DeviceObject));
    header->bSeq = CcidTakeSequenceNumber(DeviceObject);

    // The output shares the system buffer with the input, which is copied by now.
    RtlZeroMemory(Request->Buffer, Request->OutputLength);
    PCCID_HEADER response = reinterpret_cast<PCCID_HEADER>(Request->Buffer);
    response->bMessageType = CCID_ANY_RESPONSE;
    response->bSlot = header->bSlot;
    response->bSeq = header->bSeq;

    PUCHAR data = NULL;
    ULONG length = 0;
    NTSTATUS status = CcidExchange(DeviceObject, command.Get(), Request->InputLength, response, &data, &length);
    if (status == STATUS_SUCCESS) {
        if (Request->OutputLength - CCID_HEADER_SIZE < length) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            if (length != 0) {
                RtlCopyMemory(Request->Buffer + CCID_HEADER_SIZE, data, length);
            }
            Request->Information = CCID_HEADER_SIZE + length;
        }
    }
    CcidFreePoolAndNull(data);
    return status;
}

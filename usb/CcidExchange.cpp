// One CCID exchange: a command written to the bulk-out pipe, then responses read from
// the bulk-in pipe until the one for that command arrives, skipping stale ones and
// waiting through time extensions; and the driver-identification escape built on it.
// Exchanges of one reader are serialised by its exchange lock.

#include "CcidFrame.h"
#include "CcidGuards.h"
#include "CcidReader.h"
#include "CcidUsb.h"

namespace {

// Payload bytes of the identification escape, and its whole message.
constexpr ULONG CCID_IDENTIFICATION_MESSAGE_SIZE = CCID_HEADER_SIZE + CCID_IDENTIFICATION_LENGTH;
static_assert(CCID_IDENTIFICATION_MESSAGE_SIZE == 28, "the identification escape is 28 bytes");

// Reads from the bulk-in pipe with the exchange time-out (PASSIVE_LEVEL). A read that
// fails (other than by the time-out, which ends in an abort that halts nothing) resets
// the pipe before anything else is sent: the host controller halts an endpoint on a
// failed transfer, such as a stall or a reader sending more than was asked for, and a
// halted bulk-in pipe would fail every later read until the reader is unplugged. The
// read's status is what the caller learns.
NTSTATUS CcidReadBulkIn(PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length, PULONG Received)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = CcidGetExtension(DeviceObject);
    const NTSTATUS status = UsbBulkTransfer(DeviceObject, Buffer, Length, extension->ExchangeTimeout, Received, TRUE);
    if (status != STATUS_SUCCESS && status != STATUS_TIMEOUT) {
        (VOID) UsbResetPipe(DeviceObject, &extension->PipeInfo[PIPE_BULK_IN]);
    }
    return status;
}

// Reads the first packet of a response into Frame (PASSIVE_LEVEL). A successful read of
// fewer bytes than a header, such as the zero-length packet that closed an earlier
// 64-byte response nobody read the payload of, carries no response: it is dropped and
// read again, a few times at most. *Received is what the last read brought.
NTSTATUS CcidReadFirstPacket(PDEVICE_OBJECT DeviceObject, PUCHAR Frame, PULONG Received)
{
    PAGED_CODE();

    for (ULONG read = 1;; ++read) {
        RtlZeroMemory(Frame, CCID_BULK_PACKET_SIZE);
        const NTSTATUS status = CcidReadBulkIn(DeviceObject, Frame, CCID_BULK_PACKET_SIZE, Received);
        if (status != STATUS_SUCCESS || *Received >= CCID_HEADER_SIZE) {
            return status;
        }
        if (read >= CCID_SHORT_READS_MAX) {
            return STATUS_DEVICE_PROTOCOL_ERROR;
        }
    }
}

// Reads what follows a response whose first packet was full although the caller takes
// no more of it (PASSIVE_LEVEL): the zero-length packet that closes a 64-byte message, or
// the bytes a reader sent beyond the length it announced or beyond what the caller wants,
// up to the short packet that ends the transfer, so that none of them is taken for the
// next response. At most a maximal message is read. The last read's status is returned.
NTSTATUS CcidDrainPacketTail(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();

    constexpr ULONG packetsMax = (CCID_MAX_PAYLOAD + CCID_HEADER_SIZE) / CCID_BULK_PACKET_SIZE + 1;
    UCHAR packet[CCID_BULK_PACKET_SIZE];
    ULONG moved = CCID_BULK_PACKET_SIZE;
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG read = 0; read < packetsMax && moved == CCID_BULK_PACKET_SIZE && status == STATUS_SUCCESS; ++read) {
        status = CcidReadBulkIn(DeviceObject, packet, sizeof(packet), &moved);
    }
    return status;
}

// Reads and drops the rest of a stale response whose first Received bytes are in the
// frame (PASSIVE_LEVEL). Nothing is drained when the block cannot be had, or when the
// announced length is beyond any CCID message.
VOID CcidDrainStaleResponse(PDEVICE_OBJECT DeviceObject, const CCID_HEADER* Stale, ULONG Received)
{
    PAGED_CODE();

    const ULONG payload = Stale->dwLength.Get();
    if (payload > CCID_MAX_PAYLOAD || payload + CCID_HEADER_SIZE <= Received) {
        return;
    }
    const ULONG size = payload + CCID_HEADER_SIZE - Received;
    PoolBlock<UCHAR> block(NonPagedPool, size, CCID_POOL_TAG);
    if (!block) {
        return;
    }
    ULONG drained = 0;
    // Whatever the drain brings, the next read looks for the real response.
    (VOID) CcidReadBulkIn(DeviceObject, block.Get(), size, &drained);
}

// Gives back the sequence number of a command that was never sent (any IRQL up to
// DISPATCH_LEVEL), when no one took a later one: the reader sees no gap in the numbers.
VOID CcidReturnSequenceNumber(PDEVICE_OBJECT DeviceObject, UCHAR Sequence)
{
    PREADER_EXTENSION reader = CcidGetReaderExtension(DeviceObject);
    SpinLockGuard guard(reader->SequenceLock);
    if (reader->SequenceNumber == static_cast<UCHAR>(Sequence + 1)) {
        reader->SequenceNumber = Sequence;
    }
}

// Writes a command to the bulk-out pipe (PASSIVE_LEVEL, exchange lock held), through the
// command gate: while an abort is under way only its PC_to_RDR_Abort goes, any other
// command is refused with STATUS_CANCELLED before a byte of it is sent, and its sequence
// number is given back.
NTSTATUS CcidWriteCommand(PDEVICE_OBJECT DeviceObject, PUCHAR Command, ULONG CommandLength)
{
    PAGED_CODE();

    PREADER_EXTENSION reader = CcidGetReaderExtension(DeviceObject);
    MutexGuard gate(reader->CommandGate);
    if (reader->AbortPending && Command[0] != CCID_PC_TO_RDR_ABORT) {
        CcidReturnSequenceNumber(DeviceObject, reinterpret_cast<PCCID_HEADER>(Command)->bSeq);
        return STATUS_CANCELLED;
    }
    ULONG written = 0;
    return UsbBulkTransfer(DeviceObject, Command, CommandLength, CcidGetExtension(DeviceObject)->ExchangeTimeout,
                           &written, FALSE);
}

// Judges a response with the expected sequence number against the expected header
// (any IRQL). Sets *TimeExtension and returns STATUS_SUCCESS when the reader asks for
// more time; otherwise the status of the first rule that applies.
NTSTATUS CcidJudgeResponse(PDEVICE_EXTENSION Extension, const CCID_HEADER* Expected, const CCID_HEADER* Response,
                           PBOOLEAN TimeExtension)
{
    *TimeExtension = FALSE;
    if (Expected->bMessageType == CCID_ANY_RESPONSE) {
        // A raw transfer takes whatever answer the reader gives, but a request for more
        // time is no answer: the real one follows.
        *TimeExtension = (Response->bStatus >> CCID_COMMAND_STATUS_SHIFT) == CCID_COMMAND_STATUS_TIME_EXTENSION;
        return STATUS_SUCCESS;
    }
    if (Response->bMessageType != Expected->bMessageType || Response->bSlot != Expected->bSlot) {
        return STATUS_UNSUCCESSFUL;
    }
    // A reader that finds the card mute and reports no card in the slot means the slot is
    // empty: the no-card rule below decides, so the caller hears STATUS_NO_MEDIA.
    const BOOLEAN noCard = Response->bMessageType != CCID_RDR_TO_PC_ESCAPE &&
                           (Response->bStatus & CCID_ICC_STATUS_MASK) == CCID_ICC_STATUS_NO_CARD;
    if ((Response->bError == CCID_ERROR_ICC_MUTE && !noCard) || Response->bError == CCID_ERROR_PIN_TIMEOUT) {
        return STATUS_IO_TIMEOUT;
    }
    if (Response->bError == CCID_ERROR_HW_ERROR) {
        return STATUS_DEVICE_PROTOCOL_ERROR;
    }
    if (Response->bError == CCID_ERROR_NONE && (Response->bStatus & CCID_STATUS_FAILED_BIT) != 0) {
        return STATUS_ADAPTER_HARDWARE_ERROR;
    }
    if (noCard) {
        (VOID) CcidSetCardState(&Extension->SmartcardExtension, SCARD_ABSENT);
        return STATUS_NO_MEDIA;
    }
    switch (Response->bStatus >> CCID_COMMAND_STATUS_SHIFT) {
    case CCID_COMMAND_STATUS_FAILED:
        return STATUS_UNSUCCESSFUL;
    case CCID_COMMAND_STATUS_TIME_EXTENSION:
        *TimeExtension = TRUE;
        return STATUS_SUCCESS;
    default:
        return STATUS_SUCCESS;  // processed (0), or the reserved value 3
    }
}

// Hands the payload of an accepted response to the caller (PASSIVE_LEVEL): the bytes that
// came with the first packet, then the remainder read straight into the reply block. The
// block has one spare byte for the remainder read's extra byte and is zero-filled, so a
// reader that sends more than it announced cannot overrun it and one that sends less
// leaves zeros, never stale pool, in the bytes that did not arrive.
NTSTATUS CcidReceivePayload(PDEVICE_OBJECT DeviceObject, const UCHAR* Frame, ULONG Received, PUCHAR* Reply,
                            PULONG ReplyLength)
{
    PAGED_CODE();

    const ULONG length = reinterpret_cast<const CCID_HEADER*>(Frame)->dwLength.Get();
    *ReplyLength = length;
    if (length == 0) {
        return Received == CCID_BULK_PACKET_SIZE ? CcidDrainPacketTail(DeviceObject) : STATUS_SUCCESS;
    }
    if (length > CCID_MAX_PAYLOAD) {
        *ReplyLength = 0;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PoolBlock<UCHAR> block(NonPagedPool, length + 1, CCID_POOL_TAG);
    if (!block) {
        *ReplyLength = 0;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(block.Get(), length + 1);

    const ULONG first = Received - CCID_HEADER_SIZE;
    const ULONG copied = first < length ? first : length;
    RtlCopyMemory(block.Get(), Frame + CCID_HEADER_SIZE, copied);

    if (copied < length) {
        // One byte more than remains, so that a message ending on a packet boundary is
        // closed by the reader's zero-length packet inside this request.
        ULONG moved = 0;
        const NTSTATUS status = CcidReadBulkIn(DeviceObject, block.Get() + copied, length - copied + 1, &moved);
        if (status != STATUS_SUCCESS) {
            *ReplyLength = 0;
            return status;
        }
        *Reply = block.Detach();
        return STATUS_SUCCESS;
    }

    *Reply = block.Detach();
    if (Received == CCID_BULK_PACKET_SIZE) {
        // The message filled the packet: the reader closes it with a zero-length packet,
        // or sends more than it announced.
        return CcidDrainPacketTail(DeviceObject);
    }
    return STATUS_SUCCESS;
}

}  // namespace

// Takes the next sequence number (IRQL <= DISPATCH_LEVEL) under the sequence lock.
_Use_decl_annotations_
UCHAR CcidTakeSequenceNumber(PDEVICE_OBJECT DeviceObject)
{
    PREADER_EXTENSION reader = CcidGetReaderExtension(DeviceObject);
    SpinLockGuard guard(reader->SequenceLock);

    const UCHAR sequence = reader->SequenceNumber;
    reader->SequenceNumber = static_cast<UCHAR>(sequence + 1);
    return sequence;
}

// Fills a command header and the expected response header (PASSIVE_LEVEL, exchange lock
// held by the caller).
_Use_decl_annotations_
VOID CcidPrepareCommand(PDEVICE_OBJECT DeviceObject, PCCID_HEADER Command, UCHAR MessageType, ULONG PayloadLength,
                        UCHAR ResponseType, PCCID_HEADER Expected)
{
    PAGED_CODE();

    RtlZeroMemory(Command, sizeof(*Command));
    Command->bMessageType = MessageType;
    Command->dwLength.Set(PayloadLength);
    Command->bSlot = 0;
    Command->bSeq = CcidTakeSequenceNumber(DeviceObject);

    RtlZeroMemory(Expected, sizeof(*Expected));
    Expected->bMessageType = ResponseType;
    Expected->bSlot = Command->bSlot;
    Expected->bSeq = Command->bSeq;
}

// Runs one exchange (PASSIVE_LEVEL) under the reader's exchange lock. A failed write
// resets both bulk pipes, a failed read the bulk-in pipe. On success Header holds the response's header and, when
// ReplyLength is given, *Reply the payload (the caller frees it, also after a failure
// that left it set).
_Use_decl_annotations_
NTSTATUS CcidExchange(PDEVICE_OBJECT DeviceObject, PUCHAR Command, ULONG CommandLength, PCCID_HEADER Header,
                      PUCHAR* Reply, PULONG ReplyLength)
{
    PAGED_CODE();

    MutexGuard exchange(CcidExchangeLock(DeviceObject));
    PDEVICE_EXTENSION extension = CcidGetExtension(DeviceObject);

    NTSTATUS status = CcidWriteCommand(DeviceObject, Command, CommandLength);
    if (status == STATUS_CANCELLED) {
        return status;  // an abort is under way: nothing was sent
    }
    if (status != STATUS_SUCCESS) {
        // The resets put the pipes back in order for the next command; the write's
        // status is what the caller learns.
        (VOID) UsbResetPipe(DeviceObject, &extension->PipeInfo[PIPE_BULK_OUT]);
        (VOID) UsbResetPipe(DeviceObject, &extension->PipeInfo[PIPE_BULK_IN]);
        return status;
    }

    UCHAR frame[CCID_BULK_PACKET_SIZE];
    const CCID_HEADER* response = reinterpret_cast<const CCID_HEADER*>(frame);
    ULONG received = 0;
    for (;;) {
        status = CcidReadFirstPacket(DeviceObject, frame, &received);
        if (status != STATUS_SUCCESS && received < CCID_HEADER_SIZE) {
            return status;
        }
        if (response->bSeq < Header->bSeq) {
            CcidDrainStaleResponse(DeviceObject, response, received);
            continue;
        }
        if (response->bSeq > Header->bSeq) {
            return STATUS_UNSUCCESSFUL;
        }

        BOOLEAN timeExtension = FALSE;
        status = CcidJudgeResponse(extension, Header, response, &timeExtension);
        if (status != STATUS_SUCCESS) {
            return status;
        }
        if (!timeExtension) {
            break;
        }
    }

    RtlCopyMemory(Header, frame, CCID_HEADER_SIZE);
    if (ReplyLength == NULL || Reply == NULL) {
        // The caller wants the header alone. A message that filled the packet exactly
        // leaves its zero-length packet to the next exchange, which skips it; the rest of
        // a longer one, or bytes beyond what a shorter one announced, go now, whatever
        // their read says.
        if (received == CCID_BULK_PACKET_SIZE &&
            response->dwLength.Get() != CCID_BULK_PACKET_SIZE - CCID_HEADER_SIZE) {
            (VOID) CcidDrainPacketTail(DeviceObject);
        }
        return STATUS_SUCCESS;
    }
    return CcidReceivePayload(DeviceObject, frame, received, Reply, ReplyLength);
}

// Identifies the driver to the reader with a PC_to_RDR_Escape carrying
// "TALMOR_DRIVER_3004" (PASSIVE_LEVEL); the reader's answer only has to be an escape
// response to this command.
_Use_decl_annotations_
NTSTATUS CcidSendDriverIdentification(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();

    MutexGuard exchange(CcidExchangeLock(DeviceObject));

    UCHAR message[CCID_IDENTIFICATION_MESSAGE_SIZE] = {};
    CCID_HEADER expected;
    CcidPrepareCommand(DeviceObject, reinterpret_cast<PCCID_HEADER>(message), CCID_PC_TO_RDR_ESCAPE,
                       CCID_IDENTIFICATION_LENGTH, CCID_RDR_TO_PC_ESCAPE, &expected);
    RtlCopyMemory(message + CCID_HEADER_SIZE, CCID_IDENTIFICATION_PREFIX, CCID_IDENTIFICATION_PREFIX_LENGTH);
    RtlCopyMemory(message + CCID_HEADER_SIZE + CCID_IDENTIFICATION_PREFIX_LENGTH, DriverVersionDigits,
                  CCID_VERSION_DIGITS);
    return CcidExchange(DeviceObject, message, sizeof(message), &expected, NULL, NULL);
}

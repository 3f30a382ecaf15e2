// Transmit (RDF_TRANSMIT): the application's command to the card in PC_to_RDR_XfrBlock
// messages, the card's answer back to the library. Three ways: T=0, one command and one
// response; T=1 block by block while the library has blocks to send; and the whole
// request in one message for the raw protocol and for T=1 on readers that exchange whole
// APDUs.

#include "CcidFrame.h"
#include "CcidGuards.h"
#include "CcidReader.h"
#include "CcidUsb.h"

namespace {

// Allowance on top of a T=1 block's waiting time for moving the block to the card and
// its answer back, at the card's bit rate and over USB.
constexpr ULONG CCID_T1_BLOCK_MARGIN_MS = 2000;
constexpr ULONG CCID_MICROSECONDS_PER_MS = 1000;

// Exchange time-out of one T=1 block (milliseconds): the card's block waiting time, which
// the library keeps in microseconds, times the waiting-time extension the card asked for
// (none: 1), rounded up to milliseconds, plus the allowance. Taken as milliseconds
// unconverted it would be a thousand times too long, and a silent reader would hold an
// application for minutes.
ULONG CcidT1BlockTimeout(ULONG BwtMicroseconds, UCHAR Wtx)
{
    const ULONGLONG microseconds = static_cast<ULONGLONG>(BwtMicroseconds) * (Wtx != 0 ? Wtx : 1);
    const ULONGLONG milliseconds =
        (microseconds + CCID_MICROSECONDS_PER_MS - 1) / CCID_MICROSECONDS_PER_MS + CCID_T1_BLOCK_MARGIN_MS;
    return milliseconds > MAXULONG ? MAXULONG : static_cast<ULONG>(milliseconds);
}

// Sends Length bytes as one PC_to_RDR_XfrBlock (PASSIVE_LEVEL): Message holds the
// 10-byte header room followed by the data. TimeoutMs, when not 0, replaces
// ExchangeTimeout for this exchange only, under the exchange lock so that no other
// exchange runs with it. The answer (*Answer, the caller frees it) is the response's data;
// *Chain, when asked for, its bChainParameter.
NTSTATUS CcidExchangeXfrBlock(PDEVICE_OBJECT DeviceObject, PUCHAR Message, ULONG Length, UCHAR Bwi, USHORT Level,
                              ULONG TimeoutMs, PUCHAR* Answer, PULONG AnswerLength, PUCHAR Chain)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = CcidGetExtension(DeviceObject);
    MutexGuard exchange(CcidExchangeLock(DeviceObject));
    PCCID_HEADER command = reinterpret_cast<PCCID_HEADER>(Message);
    CCID_HEADER expected;
    CcidPrepareCommand(DeviceObject, command, CCID_PC_TO_RDR_XFR_BLOCK, Length - CCID_HEADER_SIZE,
                       CCID_RDR_TO_PC_DATA_BLOCK, &expected);
    command->bStatus = Bwi;                                  // byte 7: bBWI
    command->bError = static_cast<UCHAR>(Level & 0xFF);      // bytes 8-9: wLevelParameter
    command->bSpecific = static_cast<UCHAR>(Level >> 8);

    const ULONG savedTimeout = extension->ExchangeTimeout;
    if (TimeoutMs != 0) {
        extension->ExchangeTimeout = TimeoutMs;
    }
    const NTSTATUS status = CcidExchange(DeviceObject, Message, Length, &expected, Answer, AnswerLength);
    extension->ExchangeTimeout = savedTimeout;
    if (Chain != NULL) {
        *Chain = status == STATUS_SUCCESS ? expected.bSpecific : 0;
    }
    return status;
}

// Puts Length answer bytes into the library's reply buffer at Offset (PASSIVE_LEVEL). An
// answer that does not fit the buffer is refused, so nothing is written past it.
NTSTATUS CcidStoreReply(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Offset, const UCHAR* Answer, ULONG Length)
{
    if (Offset > SmartcardExtension->SmartcardReply.BufferSize ||
        Length > SmartcardExtension->SmartcardReply.BufferSize - Offset) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (Length != 0) {
        RtlCopyMemory(SmartcardExtension->SmartcardReply.Buffer + Offset, Answer, Length);
    }
    SmartcardExtension->SmartcardReply.BufferLength = Offset + Length;
    return STATUS_SUCCESS;
}

// One protocol-level exchange of the T=0 and T=1 block ways (PASSIVE_LEVEL): the library's
// request buffer, with its header room filled, goes to the reader and the answer to the
// reply buffer. A reader-side protocol error gives the library an empty answer to judge.
NTSTATUS CcidExchangeLibraryBlock(PSMARTCARD_EXTENSION SmartcardExtension, PDEVICE_OBJECT DeviceObject, UCHAR Bwi,
                                  ULONG TimeoutMs)
{
    PAGED_CODE();

    PUCHAR answer = NULL;
    ULONG answerLength = 0;
    NTSTATUS status = CcidExchangeXfrBlock(DeviceObject, SmartcardExtension->SmartcardRequest.Buffer,
                                           SmartcardExtension->SmartcardRequest.BufferLength, Bwi, 0, TimeoutMs,
                                           &answer, &answerLength, NULL);
    if (status == STATUS_DEVICE_PROTOCOL_ERROR) {
        answerLength = 0;
        status = STATUS_SUCCESS;
    }
    if (status == STATUS_SUCCESS) {
        status = CcidStoreReply(SmartcardExtension, 0, answer, answerLength);
    }
    CcidFreePoolAndNull(answer);
    return status;
}

// Empties the library's request buffer and reserves the CCID header in front of what the
// library's request call appends.
VOID CcidResetLibraryRequest(PSMARTCARD_EXTENSION SmartcardExtension)
{
    RtlZeroMemory(SmartcardExtension->SmartcardRequest.Buffer, SmartcardExtension->SmartcardRequest.BufferSize);
    SmartcardExtension->SmartcardRequest.BufferLength = CCID_HEADER_SIZE;
}

// T=0 way (PASSIVE_LEVEL): one command, one response.
NTSTATUS CcidTransmitT0(PSMARTCARD_EXTENSION SmartcardExtension, PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();

    CcidResetLibraryRequest(SmartcardExtension);
    NTSTATUS status = SmartcardT0Request(SmartcardExtension);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    status = CcidExchangeLibraryBlock(SmartcardExtension, DeviceObject, 0, 0);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    return SmartcardT0Reply(SmartcardExtension);
}

// T=1 block way (PASSIVE_LEVEL): one exchange per block, each with the card's block
// waiting time as its time-out and its extension factor as bBWI, until the library has no
// block left to send. The library decides what an empty answer means; nothing is resent
// here.
NTSTATUS CcidTransmitT1(PSMARTCARD_EXTENSION SmartcardExtension, PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();

    for (;;) {
        CcidResetLibraryRequest(SmartcardExtension);
        NTSTATUS status = SmartcardT1Request(SmartcardExtension);
        if (status != STATUS_SUCCESS) {
            return status;
        }
        const UCHAR wtx = SmartcardExtension->T1.Wtx;
        status = CcidExchangeLibraryBlock(SmartcardExtension, DeviceObject, wtx,
                                          CcidT1BlockTimeout(SmartcardExtension->CardCapabilities.T1.BWT, wtx));
        if (status != STATUS_SUCCESS) {
            return status;
        }
        status = SmartcardT1Reply(SmartcardExtension);
        if (status != STATUS_MORE_PROCESSING_REQUIRED) {
            return status;
        }
    }
}

// The size of the command parts an extended-APDU reader takes when its messages are too
// short for the whole command (PASSIVE_LEVEL); 0 when the command goes in one message.
ULONG CcidCommandPartSize(PDEVICE_OBJECT DeviceObject, ULONG CommandLength)
{
    PAGED_CODE();

    CCID_CLASS_DESCRIPTOR descriptor = {};
    if (!NT_SUCCESS(CcidGetClassDescriptor(DeviceObject, &descriptor)) ||
        (descriptor.dwFeatures.Get() & CCID_FEATURE_EXTENDED_APDU) == 0) {
        return 0;
    }
    const ULONG maxMessage = descriptor.dwMaxCCIDMessageLength.Get();
    if (maxMessage <= CCID_HEADER_SIZE || CommandLength <= maxMessage - CCID_HEADER_SIZE) {
        return 0;
    }
    return maxMessage - CCID_HEADER_SIZE;
}

// Sends the Length command bytes at Message + 10 (PASSIVE_LEVEL, exchange lock held) and
// receives the first part of the answer (*Answer, the caller frees it). A command longer
// than the reader's messages goes in parts, each with its header written over the bytes
// already sent before it; the reader answers each part but the last by asking for the
// next.
NTSTATUS CcidSendWholeCommand(PDEVICE_OBJECT DeviceObject, PUCHAR Message, ULONG Length, PUCHAR* Answer,
                              PULONG AnswerLength, PUCHAR Chain)
{
    PAGED_CODE();

    const ULONG partSize = CcidCommandPartSize(DeviceObject, Length);
    if (partSize == 0) {
        return CcidExchangeXfrBlock(DeviceObject, Message, CCID_HEADER_SIZE + Length, 0, 0, 0, Answer, AnswerLength,
                                    Chain);
    }
    for (ULONG offset = 0;; offset += partSize) {
        const ULONG part = Length - offset < partSize ? Length - offset : partSize;
        const BOOLEAN last = offset + part == Length;
        const USHORT level =
            offset == 0 ? CCID_LEVEL_COMMAND_BEGIN : (last ? CCID_LEVEL_COMMAND_END : CCID_LEVEL_COMMAND_MIDDLE);
        const NTSTATUS status = CcidExchangeXfrBlock(DeviceObject, Message + offset, CCID_HEADER_SIZE + part, 0, level,
                                                     0, Answer, AnswerLength, Chain);
        if (status != STATUS_SUCCESS || last) {
            return status;
        }
        CcidFreePoolAndNull(*Answer);
        *AnswerLength = 0;
        if (*Chain != CCID_CHAIN_MORE_COMMAND) {
            return STATUS_DEVICE_PROTOCOL_ERROR;  // the reader did not take the part as one of several
        }
    }
}

// Gathers the rest of an answer that an extended-APDU reader sends in parts (PASSIVE_LEVEL,
// exchange lock held): while the last part began or continued a chain, an empty
// XfrBlock with wLevelParameter 0x10 asks for the next one, which is appended to the
// reply. An answer that outgrows the reply buffer is refused; an empty part that is not
// the last would never end the chain and is a protocol error.
NTSTATUS CcidReceiveAnswerParts(PSMARTCARD_EXTENSION SmartcardExtension, PDEVICE_OBJECT DeviceObject, UCHAR Chain)
{
    PAGED_CODE();

    while (Chain == CCID_CHAIN_BEGIN || Chain == CCID_CHAIN_MIDDLE) {
        UCHAR request[CCID_HEADER_SIZE] = {};
        PUCHAR part = NULL;
        ULONG partLength = 0;
        NTSTATUS status = CcidExchangeXfrBlock(DeviceObject, request, sizeof(request), 0, CCID_LEVEL_NEXT_PART, 0,
                                               &part, &partLength, &Chain);
        if (status == STATUS_SUCCESS && partLength == 0 && (Chain == CCID_CHAIN_BEGIN || Chain == CCID_CHAIN_MIDDLE)) {
            status = STATUS_DEVICE_PROTOCOL_ERROR;
        }
        if (status == STATUS_SUCCESS) {
            status = CcidStoreReply(SmartcardExtension, SmartcardExtension->SmartcardReply.BufferLength, part,
                                    partLength);
        }
        CcidFreePoolAndNull(part);
        if (status != STATUS_SUCCESS) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

// Whole-request way (PASSIVE_LEVEL): the command behind the caller's SCARD_IO_REQUEST
// header (cbPciLength bytes) in one message, or in parts when an extended-APDU reader's
// messages are shorter; the reply is that header followed by the answer, all its parts
// when the reader chains it. A header length beyond the request is
// refused before anything is sent.
NTSTATUS CcidTransmitWhole(PSMARTCARD_EXTENSION SmartcardExtension, PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();

    SmartcardExtension->SmartcardRequest.BufferLength = 0;
    NTSTATUS status = SmartcardRawRequest(SmartcardExtension);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    const PUCHAR request = SmartcardExtension->SmartcardRequest.Buffer;
    const ULONG requestLength = SmartcardExtension->SmartcardRequest.BufferLength;
    const ULONG pciLength = reinterpret_cast<PSCARD_IO_REQUEST>(request)->cbPciLength;
    if (requestLength < sizeof(SCARD_IO_REQUEST) || pciLength > requestLength) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG commandLength = requestLength - pciLength;

    PoolBlock<UCHAR> message(NonPagedPool, CCID_HEADER_SIZE + commandLength, CCID_POOL_TAG);
    if (!message) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(message.Get() + CCID_HEADER_SIZE, request + pciLength, commandLength);
    {
        // One lock for the command and every part of its answer: nothing else reaches the
        // reader while it holds the rest of an answer.
        MutexGuard exchange(CcidExchangeLock(DeviceObject));
        PUCHAR answer = NULL;
        ULONG answerLength = 0;
        UCHAR chain = 0;
        status = CcidSendWholeCommand(DeviceObject, message.Get(), commandLength, &answer, &answerLength, &chain);
        message.Free();
        if (status == STATUS_SUCCESS) {
            status = CcidStoreReply(SmartcardExtension, pciLength, answer, answerLength);
        }
        CcidFreePoolAndNull(answer);
        if (status == STATUS_SUCCESS) {
            status = CcidReceiveAnswerParts(SmartcardExtension, DeviceObject, chain);
        }
    }
    if (status != STATUS_SUCCESS) {
        return status;
    }
    RtlCopyMemory(SmartcardExtension->SmartcardReply.Buffer, request, pciLength);
    return SmartcardRawReply(SmartcardExtension);
}

}  // namespace

// RDF_TRANSMIT (PASSIVE_LEVEL): chooses the way by the protocol in force and the reader's
// exchange level. A timed-out bulk transfer leaves as STATUS_IO_TIMEOUT.
_Use_decl_annotations_
NTSTATUS CcidTransmit(PSMARTCARD_EXTENSION SmartcardExtension)
{
    PAGED_CODE();

    PDEVICE_OBJECT deviceObject = CcidGetReaderDevice(SmartcardExtension);
    if (SmartcardExtension->IoRequest.RequestBuffer == NULL ||
        SmartcardExtension->IoRequest.RequestBufferLength < sizeof(SCARD_IO_REQUEST)) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG requested =
        reinterpret_cast<PSCARD_IO_REQUEST>(SmartcardExtension->IoRequest.RequestBuffer)->dwProtocol;
    const ULONG selected = SmartcardExtension->CardCapabilities.Protocol.Selected;
    if ((requested & selected) == 0) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }

    NTSTATUS status;
    switch (selected) {
    case SCARD_PROTOCOL_T0:
        status = CcidTransmitT0(SmartcardExtension, deviceObject);
        break;
    case SCARD_PROTOCOL_T1:
        status = SmartcardExtension->ReaderExtension->ApduLevelExchange
                     ? CcidTransmitWhole(SmartcardExtension, deviceObject)
                     : CcidTransmitT1(SmartcardExtension, deviceObject);
        break;
    case SCARD_PROTOCOL_RAW:
        status = CcidTransmitWhole(SmartcardExtension, deviceObject);
        break;
    default:
        return STATUS_SUCCESS;
    }
    return status == STATUS_TIMEOUT ? STATUS_IO_TIMEOUT : status;
}

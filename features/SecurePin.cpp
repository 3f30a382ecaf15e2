// PIN verification and modification on the reader's keypad (PC_to_RDR_Secure), the raw
// reader escape (PC_to_RDR_Escape) and the TLV properties. The three exchange handlers
// turn the caller's PC/SC part 10 request into one CCID message, built in a 320-byte
// buffer of their own and sent from there, and return the response's data alone.

#include "CcidFeatures.h"
#include "CcidFrame.h"
#include "CcidGuards.h"
#include "CcidReader.h"
#include "CcidUsb.h"

namespace {

// Offsets in the part 10 PIN structures of the fields the CCID message leaves out or that
// decide what it keeps.
constexpr ULONG CCID_PIN_TIMER_OUT2 = 1;
constexpr ULONG CCID_PIN_VERIFY_DATA_LENGTH = 15;  // ulDataLength, 4 bytes
constexpr ULONG CCID_PIN_MODIFY_NUMBER_MESSAGE = 11;
constexpr ULONG CCID_PIN_MODIFY_MSG_INDEX2 = 15;
constexpr ULONG CCID_PIN_MODIFY_MSG_INDEX3 = 16;
constexpr ULONG CCID_PIN_MODIFY_DATA_LENGTH = 20;  // ulDataLength, 4 bytes
constexpr ULONG CCID_PIN_DATA_LENGTH_SIZE = 4;

// The PIN request grows by bPINOperation and the CCID header and loses bTimerOut2 and
// ulDataLength: a request of L bytes is a message of at most L + 6.
constexpr ULONG CCID_PIN_MESSAGE_GROWTH = 6;

// TLV properties: tags of dwMaxAPDUDataSize, wIdVendor and wIdProduct.
constexpr UCHAR CCID_TLV_MAX_APDU_DATA_SIZE = 0x0A;
constexpr UCHAR CCID_TLV_ID_VENDOR = 0x0B;
constexpr UCHAR CCID_TLV_ID_PRODUCT = 0x0C;
constexpr ULONG CCID_EXTENDED_APDU_DATA_SIZE = 65536;

// Whether a message of MessageLength bytes (64-bit, so a huge request cannot wrap) fits
// both the reader's dwMaxCCIDMessageLength and the handler's buffer.
BOOLEAN CcidMessageFits(const CCID_CLASS_DESCRIPTOR& Descriptor, ULONGLONG MessageLength)
{
    return MessageLength <= Descriptor.dwMaxCCIDMessageLength.Get() && MessageLength <= CCID_FEATURE_MESSAGE_MAX;
}

// Sends the message the handler built (PASSIVE_LEVEL, exchange lock held since the
// sequence number was taken) and hands the response's data to the caller. An answer
// longer than the caller's reply buffer is refused with no data.
NTSTATUS CcidSendFeatureMessage(PSMARTCARD_EXTENSION SmartcardExtension, PDEVICE_OBJECT DeviceObject, PUCHAR Message,
                                PCCID_HEADER Expected)
{
    PAGED_CODE();

    const ULONG length = CCID_HEADER_SIZE + reinterpret_cast<PCCID_HEADER>(Message)->dwLength.Get();
    PUCHAR answer = NULL;
    ULONG answerLength = 0;
    *SmartcardExtension->IoRequest.Information = 0;
    NTSTATUS status = CcidExchange(DeviceObject, Message, length, Expected, &answer, &answerLength);
    if (status == STATUS_TIMEOUT) {
        // A bulk transfer timed out: STATUS_TIMEOUT is a success code to the caller.
        status = STATUS_IO_TIMEOUT;
    }
    if (status == STATUS_SUCCESS) {
        if (answerLength > SmartcardExtension->IoRequest.ReplyBufferLength) {
            status = STATUS_BUFFER_TOO_SMALL;
        } else {
            if (answerLength != 0) {
                RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer, answer, answerLength);
            }
            *SmartcardExtension->IoRequest.Information = answerLength;
        }
    }
    CcidFreePoolAndNull(answer);
    return status;
}

// The common part of verify and modify (PASSIVE_LEVEL): checks the request against its
// fixed part and the message limits, then packs the kept request bytes behind
// bPINOperation and sends PC_to_RDR_Secure. Keep(offset, request) says which bytes go.
template <typename KeepByte>
NTSTATUS CcidSecurePin(PSMARTCARD_EXTENSION SmartcardExtension, UCHAR Operation, ULONG FixedSize, KeepByte Keep)
{
    PAGED_CODE();

    PDEVICE_OBJECT deviceObject = CcidGetReaderDevice(SmartcardExtension);
    const PUCHAR request = SmartcardExtension->IoRequest.RequestBuffer;
    const ULONG requestLength = SmartcardExtension->IoRequest.RequestBufferLength;

    CCID_CLASS_DESCRIPTOR descriptor;
    const NTSTATUS status = CcidGetClassDescriptor(deviceObject, &descriptor);
    if (!NT_SUCCESS(status)) {
        return status;  // without dwMaxCCIDMessageLength nothing can be judged
    }
    if (request == NULL || requestLength < FixedSize ||
        !CcidMessageFits(descriptor, static_cast<ULONGLONG>(requestLength) + CCID_PIN_MESSAGE_GROWTH)) {
        return STATUS_INVALID_PARAMETER;
    }

    UCHAR message[CCID_FEATURE_MESSAGE_MAX] = {};
    ULONG at = CCID_HEADER_SIZE;
    message[at++] = Operation;
    for (ULONG offset = 0; offset < requestLength; ++offset) {
        if (Keep(offset, request)) {
            message[at++] = request[offset];
        }
    }

    MutexGuard exchange(CcidExchangeLock(deviceObject));
    CCID_HEADER expected;
    CcidPrepareCommand(deviceObject, reinterpret_cast<PCCID_HEADER>(message), CCID_PC_TO_RDR_SECURE,
                       at - CCID_HEADER_SIZE, CCID_RDR_TO_PC_DATA_BLOCK, &expected);
    return CcidSendFeatureMessage(SmartcardExtension, deviceObject, message, &expected);
}

BOOLEAN CcidIsDataLength(ULONG Offset, ULONG DataLengthOffset)
{
    return Offset >= DataLengthOffset && Offset < DataLengthOffset + CCID_PIN_DATA_LENGTH_SIZE;
}

}  // namespace

// IOCTL_FEATURE_VERIFY_PIN_DIRECT (PASSIVE_LEVEL): PIN_VERIFY_STRUCTURE without bTimerOut2
// and ulDataLength. A request shorter than its 19 fixed bytes is refused.
_Use_decl_annotations_
NTSTATUS CcidVerifyPinDirect(PSMARTCARD_EXTENSION SmartcardExtension)
{
    PAGED_CODE();

    return CcidSecurePin(SmartcardExtension, CCID_PIN_OPERATION_VERIFY, CCID_PIN_VERIFY_FIXED_SIZE,
                         [](ULONG Offset, const UCHAR*) {
                             return Offset != CCID_PIN_TIMER_OUT2 && !CcidIsDataLength(Offset, CCID_PIN_VERIFY_DATA_LENGTH);
                         });
}

// IOCTL_FEATURE_MODIFY_PIN_DIRECT (PASSIVE_LEVEL): PIN_MODIFY_STRUCTURE without bTimerOut2
// and ulDataLength; bMsgIndex2 goes when bNumberMessage is 0, bMsgIndex3 when it is below
// 3. A request shorter than its 24 fixed bytes is refused.
_Use_decl_annotations_
NTSTATUS CcidModifyPinDirect(PSMARTCARD_EXTENSION SmartcardExtension)
{
    PAGED_CODE();

    return CcidSecurePin(SmartcardExtension, CCID_PIN_OPERATION_MODIFY, CCID_PIN_MODIFY_FIXED_SIZE,
                         [](ULONG Offset, const UCHAR* Request) {
                             const UCHAR messages = Request[CCID_PIN_MODIFY_NUMBER_MESSAGE];
                             return Offset != CCID_PIN_TIMER_OUT2 &&
                                    !CcidIsDataLength(Offset, CCID_PIN_MODIFY_DATA_LENGTH) &&
                                    !(Offset == CCID_PIN_MODIFY_MSG_INDEX2 && messages < 1) &&
                                    !(Offset == CCID_PIN_MODIFY_MSG_INDEX3 && messages < 3);
                         });
}

// IOCTL_FEATURE_CCID_ESC_COMMAND (PASSIVE_LEVEL): the request unchanged as the payload of
// PC_to_RDR_Escape; an empty request, or one the message limits do not admit, is refused.
_Use_decl_annotations_
NTSTATUS CcidEscapeCommand(PSMARTCARD_EXTENSION SmartcardExtension)
{
    PAGED_CODE();

    PDEVICE_OBJECT deviceObject = CcidGetReaderDevice(SmartcardExtension);
    const PUCHAR request = SmartcardExtension->IoRequest.RequestBuffer;
    const ULONG requestLength = SmartcardExtension->IoRequest.RequestBufferLength;

    CCID_CLASS_DESCRIPTOR descriptor;
    const NTSTATUS status = CcidGetClassDescriptor(deviceObject, &descriptor);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (request == NULL || requestLength == 0 ||
        !CcidMessageFits(descriptor, static_cast<ULONGLONG>(requestLength) + CCID_HEADER_SIZE)) {
        return STATUS_INVALID_PARAMETER;
    }

    UCHAR message[CCID_FEATURE_MESSAGE_MAX] = {};
    RtlCopyMemory(message + CCID_HEADER_SIZE, request, requestLength);
    MutexGuard exchange(CcidExchangeLock(deviceObject));
    CCID_HEADER expected;
    CcidPrepareCommand(deviceObject, reinterpret_cast<PCCID_HEADER>(message), CCID_PC_TO_RDR_ESCAPE, requestLength,
                       CCID_RDR_TO_PC_ESCAPE, &expected);
    return CcidSendFeatureMessage(SmartcardExtension, deviceObject, message, &expected);
}

// IOCTL_FEATURE_GET_TLV_PROPERTIES (PASSIVE_LEVEL): dwMaxAPDUDataSize, wIdVendor and
// wIdProduct, values most significant byte first.
_Use_decl_annotations_
NTSTATUS CcidGetTlvProperties(PSMARTCARD_EXTENSION SmartcardExtension)
{
    PAGED_CODE();

    *SmartcardExtension->IoRequest.Information = 0;
    if (SmartcardExtension->IoRequest.ReplyBufferLength < CCID_TLV_PROPERTIES_SIZE) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    const PDEVICE_EXTENSION extension = CcidGetExtension(CcidGetReaderDevice(SmartcardExtension));
    const ULONG maxApdu =
        (extension->CcidFeatures & CCID_FEATURE_SHORT_APDU) != 0 ? 0 : CCID_EXTENDED_APDU_DATA_SIZE;

    PUCHAR reply = SmartcardExtension->IoRequest.ReplyBuffer;
    reply[0] = CCID_TLV_MAX_APDU_DATA_SIZE;
    reply[1] = sizeof(ULONG);
    CcidWriteBe32(reply + 2, maxApdu);
    reply[6] = CCID_TLV_ID_VENDOR;
    reply[7] = sizeof(USHORT);
    CcidWriteBe16(reply + 8, extension->IdVendor);
    reply[10] = CCID_TLV_ID_PRODUCT;
    reply[11] = sizeof(USHORT);
    CcidWriteBe16(reply + 12, extension->IdProduct);
    *SmartcardExtension->IoRequest.Information = CCID_TLV_PROPERTIES_SIZE;
    return STATUS_SUCCESS;
}

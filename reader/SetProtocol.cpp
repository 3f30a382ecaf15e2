// Set protocol (RDF_SET_PROTOCOL): T=0 or T=1 chosen from the caller's mask and the
// card's capabilities, the protocol's parameters sent to the reader with
// PC_to_RDR_SetParameters, slower bit rates tried after warm resets while the reader
// times out, and the outcome recorded for the library. No PPS is sent by the driver.

#include "CcidFrame.h"
#include "CcidGuards.h"
#include "CcidReader.h"
#include "CcidUsb.h"

namespace {

// Payload bytes of PC_to_RDR_SetParameters for T=0 and T=1.
constexpr ULONG CCID_T0_PARAMETERS_SIZE = 5;
constexpr ULONG CCID_T1_PARAMETERS_SIZE = 7;
constexpr UCHAR CCID_PROTOCOL_NUM_T0 = 0;
constexpr UCHAR CCID_PROTOCOL_NUM_T1 = 1;

// bmTCCKST: bit 1 is the inverse convention (both protocols); for T=1, bits 7-2 are
// 000100b as the CCID standard fixes them, and bit 0 the CRC checksum.
constexpr UCHAR CCID_TCCKST_INVERSE = 0x02;
constexpr UCHAR CCID_TCCKST_T1 = 0x10;
constexpr UCHAR CCID_TCCKST_T1_CRC = 0x01;

// bmFindexDindex of the last retry: F and D at their defaults.
constexpr UCHAR CCID_FINDEX_DINDEX_DEFAULT = 0x11;
// The attempt after which the default rates are tried.
constexpr ULONG CCID_DEFAULT_RATE_ATTEMPT = 2;
constexpr UCHAR CCID_D_INDEX_STOP = 0xFF;
// The D index a timed-out attempt steps down to (stop: no further attempt).
constexpr UCHAR CcidNextDIndex[16] = {
    CCID_D_INDEX_STOP, CCID_D_INDEX_STOP, 1, 2, 3, 4, 5, 6, 4, 4,
    CCID_D_INDEX_STOP, CCID_D_INDEX_STOP, CCID_D_INDEX_STOP, CCID_D_INDEX_STOP, CCID_D_INDEX_STOP, CCID_D_INDEX_STOP,
};

typedef struct _CCID_SET_PARAMETERS {
    CCID_HEADER Header;
    UCHAR bmFindexDindex;
    UCHAR bmTCCKST;
    UCHAR bGuardTime;
    UCHAR bWaitingInteger;
    UCHAR bClockStop;
    UCHAR bIFSC;      // T=1 only
    UCHAR bNadValue;  // T=1 only
} CCID_SET_PARAMETERS;

static_assert(sizeof(CCID_SET_PARAMETERS) == CCID_HEADER_SIZE + CCID_T1_PARAMETERS_SIZE, "17-byte T=1 message");

// One PC_to_RDR_SetParameters with the given rates (PASSIVE_LEVEL); the reader's answer,
// the parameters as it now holds them, is read and dropped.
NTSTATUS CcidSendParameters(PSMARTCARD_EXTENSION SmartcardExtension, PDEVICE_OBJECT DeviceObject, BOOLEAN T1,
                            UCHAR FindexDindex)
{
    PAGED_CODE();

    const SCARD_CARD_CAPABILITIES& card = SmartcardExtension->CardCapabilities;
    CCID_SET_PARAMETERS message = {};
    const ULONG payload = T1 ? CCID_T1_PARAMETERS_SIZE : CCID_T0_PARAMETERS_SIZE;

    MutexGuard exchange(CcidExchangeLock(DeviceObject));
    CCID_HEADER expected;
    CcidPrepareCommand(DeviceObject, &message.Header, CCID_PC_TO_RDR_SET_PARAMETERS, payload,
                       CCID_RDR_TO_PC_PARAMETERS, &expected);
    message.Header.bStatus = T1 ? CCID_PROTOCOL_NUM_T1 : CCID_PROTOCOL_NUM_T0;  // byte 7: bProtocolNum
    message.bmFindexDindex = FindexDindex;
    message.bmTCCKST = card.InversConvention ? CCID_TCCKST_INVERSE : 0;
    if (T1) {
        message.bmTCCKST |= CCID_TCCKST_T1 | ((card.T1.EDC & T1_CRC_CHECK) != 0 ? CCID_TCCKST_T1_CRC : 0);
        message.bWaitingInteger = static_cast<UCHAR>((card.T1.BWI << 4) | (card.T1.CWI & 0x0F));
        message.bIFSC = card.T1.IFSC;
    } else {
        message.bWaitingInteger = card.T0.WI;
    }

    PUCHAR answer = NULL;
    ULONG answerLength = 0;
    const NTSTATUS status = CcidExchange(DeviceObject, reinterpret_cast<PUCHAR>(&message), CCID_HEADER_SIZE + payload,
                                         &expected, &answer, &answerLength);
    CcidFreePoolAndNull(answer);
    return status;
}

// Warm-resets the card before a retry (PASSIVE_LEVEL), borrowing MinorIoControlCode; the
// reset's own status does not matter.
VOID CcidWarmResetForRetry(PSMARTCARD_EXTENSION SmartcardExtension)
{
    PAGED_CODE();

    const ULONG saved = SmartcardExtension->MinorIoControlCode;
    SmartcardExtension->MinorIoControlCode = SCARD_WARM_RESET;
    (VOID) CcidCardPower(SmartcardExtension);
    SmartcardExtension->MinorIoControlCode = saved;
}

// The attempts (PASSIVE_LEVEL): the card's own rates first, then, after each time-out and
// a warm reset, a slower D index, and at the fourth attempt the default rates; at most
// four messages. Only a bulk time-out on the last attempt is a failure: a reader that
// refuses the parameters, or a mute card, leaves the card usable at its reset rates.
NTSTATUS CcidNegotiateParameters(PSMARTCARD_EXTENSION SmartcardExtension, PDEVICE_OBJECT DeviceObject, BOOLEAN T1)
{
    PAGED_CODE();

    const SCARD_CARD_CAPABILITIES& card = SmartcardExtension->CardCapabilities;
    UCHAR findexDindex = static_cast<UCHAR>(((card.Fl & 0x0F) << 4) | (card.Dl & 0x0F));
    for (ULONG attempt = 0;; ++attempt) {
        const NTSTATUS status = CcidSendParameters(SmartcardExtension, DeviceObject, T1, findexDindex);
        if (status != STATUS_TIMEOUT && status != STATUS_IO_TIMEOUT) {
            return STATUS_SUCCESS;
        }
        CcidWarmResetForRetry(SmartcardExtension);
        if (attempt == CCID_DEFAULT_RATE_ATTEMPT) {
            findexDindex = CCID_FINDEX_DINDEX_DEFAULT;
            continue;
        }
        const UCHAR next = CcidNextDIndex[findexDindex & 0x0F];
        if (next == CCID_D_INDEX_STOP) {
            return status == STATUS_TIMEOUT ? STATUS_IO_TIMEOUT : STATUS_SUCCESS;
        }
        findexDindex = static_cast<UCHAR>((findexDindex & 0xF0) | next);
    }
}

}  // namespace

// RDF_SET_PROTOCOL (PASSIVE_LEVEL). The reply is one ULONG, the protocol selected (0 on
// failure); a reply buffer that cannot hold it is refused before anything is sent.
_Use_decl_annotations_
NTSTATUS CcidSetProtocol(PSMARTCARD_EXTENSION SmartcardExtension)
{
    PAGED_CODE();

    if (SmartcardExtension->IoRequest.ReplyBuffer == NULL || SmartcardExtension->IoRequest.Information == NULL ||
        SmartcardExtension->IoRequest.ReplyBufferLength < sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    PDEVICE_OBJECT deviceObject = CcidGetReaderDevice(SmartcardExtension);
    SCARD_CARD_CAPABILITIES& card = SmartcardExtension->CardCapabilities;
    const ULONG mask = SmartcardExtension->MinorIoControlCode & (SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
    const BOOLEAN cardT1 = (card.Protocol.Supported & SCARD_PROTOCOL_T1) != 0;

    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    if (mask != 0) {
        const BOOLEAN t1 = mask == SCARD_PROTOCOL_T1 || (mask != SCARD_PROTOCOL_T0 && cardT1);
        status = CcidNegotiateParameters(SmartcardExtension, deviceObject, t1);
    }

    ULONG selected = 0;
    if (status == STATUS_SUCCESS) {
        (VOID) CcidSetCardState(SmartcardExtension, SCARD_SPECIFIC);
        selected = cardT1 && (mask & SCARD_PROTOCOL_T1) != 0 ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0;
    }
    card.Protocol.Selected = selected;
    RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer, &selected, sizeof(selected));
    *SmartcardExtension->IoRequest.Information = sizeof(ULONG);
    if (selected == SCARD_PROTOCOL_T1) {
        SmartcardExtension->T1.IFSD = card.T1.IFSC;
    }
    card.PtsData.Type = PTS_TYPE_DEFAULT;
    return status;
}

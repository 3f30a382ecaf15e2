// Card power: the reset of the card in slot 0 (PC_to_RDR_IccPowerOn over the voltages the
// reader supports, lowest first), the storing of its ATR for the library, and the power-down
// (PC_to_RDR_IccPowerOff).

#include "CcidFrame.h"
#include "CcidGuards.h"
#include "CcidReader.h"
#include "CcidUsb.h"

namespace {

// The power-on attempts in the order they are tried: each with the bVoltageSupport bit
// that allows it (0: always tried).
struct CCID_VOLTAGE_ATTEMPT {
    UCHAR PowerSelect;
    UCHAR SupportBit;
};

constexpr CCID_VOLTAGE_ATTEMPT CcidVoltageLadder[] = {
    {CCID_POWER_SELECT_1_8V, CCID_VOLTAGE_1_8V},
    {CCID_POWER_SELECT_3V, CCID_VOLTAGE_3V},
    {CCID_POWER_SELECT_5V, CCID_VOLTAGE_5V},
    {CCID_POWER_SELECT_AUTOMATIC, 0},
};

// The status a power request reports for the outcome of its exchanges.
NTSTATUS CcidMapPowerStatus(NTSTATUS Status)
{
    switch (Status) {
    case STATUS_SUCCESS:
    case STATUS_BUFFER_TOO_SMALL:
    case STATUS_NO_MEDIA:
        return Status;
    case STATUS_TIMEOUT:
        return STATUS_IO_TIMEOUT;  // a bulk transfer timed out
    default:
        return STATUS_UNRECOGNIZED_MEDIA;
    }
}

// One PC_to_RDR_IccPowerOn with the given bPowerSelect (PASSIVE_LEVEL, exchange lock
// held); the ATR comes back in *Atr (the caller frees it, whatever the status).
NTSTATUS CcidPowerOn(PDEVICE_OBJECT DeviceObject, UCHAR PowerSelect, PUCHAR* Atr, PULONG AtrLength)
{
    PAGED_CODE();

    CCID_HEADER command;
    CCID_HEADER expected;
    CcidPrepareCommand(DeviceObject, &command, CCID_PC_TO_RDR_ICC_POWER_ON, 0, CCID_RDR_TO_PC_DATA_BLOCK, &expected);
    command.bStatus = PowerSelect;  // byte 7: bPowerSelect
    return CcidExchange(DeviceObject, reinterpret_cast<PUCHAR>(&command), sizeof(command), &expected, Atr, AtrLength);
}

// Hands a received ATR to the caller and the library (PASSIVE_LEVEL): into the reply
// buffer when it fits there (the card is then powered), and into the card capabilities
// when it holds at most 64 bytes, which the library then parses.
NTSTATUS CcidStoreAtr(PSMARTCARD_EXTENSION SmartcardExtension, const UCHAR* Atr, ULONG AtrLength)
{
    PAGED_CODE();

    // A caller outside the library's request flow may give no reply buffer at all.
    if (SmartcardExtension->IoRequest.ReplyBuffer != NULL && SmartcardExtension->IoRequest.Information != NULL &&
        AtrLength <= SmartcardExtension->IoRequest.ReplyBufferLength) {
        if (AtrLength != 0) {
            RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer, Atr, AtrLength);
        }
        *SmartcardExtension->IoRequest.Information = AtrLength;
        CcidSetCardState(SmartcardExtension, SCARD_POWERED);
    }
    if (AtrLength > CCID_ATR_BUFFER_SIZE) {
        return STATUS_BUFFER_TOO_SMALL;  // the stored ATR stays as it was
    }
    if (AtrLength != 0) {
        RtlCopyMemory(SmartcardExtension->CardCapabilities.ATR.Buffer, Atr, AtrLength);
    }
    SmartcardExtension->CardCapabilities.ATR.Length = static_cast<UCHAR>(AtrLength);
    return SmartcardUpdateCardCapabilities(SmartcardExtension);
}

// Cold or warm reset (PASSIVE_LEVEL): a power-on per voltage the reader lists, lowest
// first, then automatic selection, until one succeeds. A reader that exchanges short or
// extended APDUs gets whole APDUs from transmit (one that announces only the extended
// level handles short ones too). A class descriptor that cannot be read counts as one that
// lists no voltage and no APDU-level exchange: only the automatic attempt is made.
NTSTATUS CcidResetCard(PSMARTCARD_EXTENSION SmartcardExtension, PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();

    CCID_CLASS_DESCRIPTOR descriptor = {};
    if (!NT_SUCCESS(CcidGetClassDescriptor(DeviceObject, &descriptor))) {
        RtlZeroMemory(&descriptor, sizeof(descriptor));
    }
    if ((descriptor.dwFeatures.Get() & (CCID_FEATURE_SHORT_APDU | CCID_FEATURE_EXTENDED_APDU)) != 0) {
        SmartcardExtension->ReaderExtension->ApduLevelExchange = TRUE;
    }

    MutexGuard exchange(CcidExchangeLock(DeviceObject));
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PUCHAR atr = NULL;
    ULONG atrLength = 0;
    for (const CCID_VOLTAGE_ATTEMPT& attempt : CcidVoltageLadder) {
        if (attempt.SupportBit != 0 && (descriptor.bVoltageSupport & attempt.SupportBit) == 0) {
            continue;
        }
        if (atr != NULL) {
            ExFreePoolWithTag(atr, CCID_POOL_TAG);  // left by the failed attempt before
            atr = NULL;
        }
        atrLength = 0;
        status = CcidPowerOn(DeviceObject, attempt.PowerSelect, &atr, &atrLength);
        if (status == STATUS_SUCCESS) {
            break;
        }
    }

    if (status == STATUS_SUCCESS) {
        status = CcidStoreAtr(SmartcardExtension, atr, atr != NULL ? atrLength : 0);
    }
    if (atr != NULL) {
        ExFreePoolWithTag(atr, CCID_POOL_TAG);
    }
    return CcidMapPowerStatus(status);
}

// Power-down (PASSIVE_LEVEL): PC_to_RDR_IccPowerOff; the card stays present, unpowered.
NTSTATUS CcidPowerDownCard(PSMARTCARD_EXTENSION SmartcardExtension, PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();

    MutexGuard exchange(CcidExchangeLock(DeviceObject));
    CCID_HEADER command;
    CCID_HEADER expected;
    CcidPrepareCommand(DeviceObject, &command, CCID_PC_TO_RDR_ICC_POWER_OFF, 0, CCID_RDR_TO_PC_SLOT_STATUS, &expected);
    const NTSTATUS status =
        CcidExchange(DeviceObject, reinterpret_cast<PUCHAR>(&command), sizeof(command), &expected, NULL, NULL);
    if (status != STATUS_SUCCESS) {
        return CcidMapPowerStatus(status);
    }
    CcidSetCardState(SmartcardExtension, SCARD_PRESENT);
    return STATUS_SUCCESS;
}

}  // namespace

// RDF_CARD_POWER (PASSIVE_LEVEL): dispatches on MinorIoControlCode; an unknown code does
// nothing and succeeds.
_Use_decl_annotations_
NTSTATUS CcidCardPower(PSMARTCARD_EXTENSION SmartcardExtension)
{
    PAGED_CODE();

    switch (SmartcardExtension->MinorIoControlCode) {
    case SCARD_POWER_DOWN:
        return CcidPowerDownCard(SmartcardExtension, CcidGetReaderDevice(SmartcardExtension));
    case SCARD_COLD_RESET:
    case SCARD_WARM_RESET:
        return CcidResetCard(SmartcardExtension, CcidGetReaderDevice(SmartcardExtension));
    default:
        return STATUS_SUCCESS;
    }
}

_Use_decl_annotations_
VOID CcidPowerDownPresentCard(PSMARTCARD_EXTENSION SmartcardExtension)
{
    PAGED_CODE();

    PREADER_EXTENSION reader = SmartcardExtension->ReaderExtension;
    reader->CardPresent = SmartcardExtension->ReaderCapabilities.CurrentState > SCARD_ABSENT;
    if (reader->CardPresent) {
        SmartcardExtension->MinorIoControlCode = SCARD_POWER_DOWN;
        (VOID) CcidCardPower(SmartcardExtension);
    }
}

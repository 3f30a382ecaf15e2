// The vendor reader function: the PC/SC part 10 feature list, the PIN-pad properties, and
// the routing of the other feature codes to their handlers. The class descriptor is read
// afresh for every request; nothing is cached.

#include "CcidFeatures.h"
#include "CcidFrame.h"
#include "CcidIoctl.h"
#include "CcidReader.h"
#include "CcidUsb.h"

namespace {

// One feature: its tag, its control code, and the bPINSupport bit it needs (0: always).
struct CCID_FEATURE {
    UCHAR Tag;
    ULONG ControlCode;
    UCHAR PinSupportBit;
};

// In the order the list gives them (the TLV properties before the abort).
constexpr CCID_FEATURE CcidFeatureTable[] = {
    {FEATURE_VERIFY_PIN_DIRECT, IOCTL_FEATURE_VERIFY_PIN_DIRECT, CCID_PIN_SUPPORT_VERIFY},
    {FEATURE_MODIFY_PIN_DIRECT, IOCTL_FEATURE_MODIFY_PIN_DIRECT, CCID_PIN_SUPPORT_MODIFY},
    {FEATURE_IFD_PIN_PROPERTIES, IOCTL_FEATURE_IFD_PIN_PROPERTIES, 0},
    {FEATURE_GET_TLV_PROPERTIES, IOCTL_FEATURE_GET_TLV_PROPERTIES, 0},
    {FEATURE_ABORT, IOCTL_CCID_ABORT, 0},
    {FEATURE_CCID_ESC_COMMAND, IOCTL_FEATURE_CCID_ESC_COMMAND, 0},
};
constexpr ULONG CCID_FEATURE_COUNT = sizeof(CcidFeatureTable) / sizeof(CcidFeatureTable[0]);

// The feature request (PASSIVE_LEVEL): one entry per feature the reader has. A reply
// buffer that cannot hold the whole list is refused with no data.
NTSTATUS CcidGetFeatureList(PSMARTCARD_EXTENSION SmartcardExtension)
{
    PAGED_CODE();

    CCID_CLASS_DESCRIPTOR descriptor;
    const NTSTATUS status = CcidGetClassDescriptor(CcidGetReaderDevice(SmartcardExtension), &descriptor);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    CCID_FEATURE_TLV list[CCID_FEATURE_COUNT];
    ULONG count = 0;
    for (const CCID_FEATURE& feature : CcidFeatureTable) {
        if (feature.PinSupportBit != 0 && (descriptor.bPINSupport & feature.PinSupportBit) == 0) {
            continue;
        }
        CCID_FEATURE_TLV& entry = list[count++];
        entry.Tag = feature.Tag;
        entry.Length = sizeof(entry.ControlCode);
        CcidWriteBe32(entry.ControlCode, feature.ControlCode);
    }
    const ULONG bytes = count * sizeof(CCID_FEATURE_TLV);
    if (SmartcardExtension->IoRequest.ReplyBufferLength < bytes) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer, list, bytes);
    *SmartcardExtension->IoRequest.Information = bytes;
    return status;
}

// The PIN-pad properties (PASSIVE_LEVEL): the reader's LCD layout and the two fixed bytes.
// A reply buffer under 4 bytes is refused with no data.
NTSTATUS CcidGetPinProperties(PSMARTCARD_EXTENSION SmartcardExtension)
{
    PAGED_CODE();

    CCID_CLASS_DESCRIPTOR descriptor;
    const NTSTATUS status = CcidGetClassDescriptor(CcidGetReaderDevice(SmartcardExtension), &descriptor);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (SmartcardExtension->IoRequest.ReplyBufferLength < sizeof(CCID_PIN_PROPERTIES)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    CCID_PIN_PROPERTIES properties;
    properties.wLcdLayout = descriptor.wLcdLayout;  // as stored, low byte first
    properties.bEntryValidationCondition = CCID_PIN_ENTRY_VALIDATION;
    properties.bTimeOut2 = 0;
    RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer, &properties, sizeof(properties));
    *SmartcardExtension->IoRequest.Information = sizeof(properties);
    return status;
}

}  // namespace

// RDF_IOCTL_VENDOR (PASSIVE_LEVEL).
_Use_decl_annotations_
NTSTATUS CcidVendorIoctl(PSMARTCARD_EXTENSION SmartcardExtension)
{
    PAGED_CODE();

    switch (SmartcardExtension->MajorIoControlCode) {
    case CM_IOCTL_GET_FEATURE_REQUEST:
        return CcidGetFeatureList(SmartcardExtension);
    case IOCTL_FEATURE_VERIFY_PIN_DIRECT:
        return CcidVerifyPinDirect(SmartcardExtension);
    case IOCTL_FEATURE_MODIFY_PIN_DIRECT:
        return CcidModifyPinDirect(SmartcardExtension);
    case IOCTL_FEATURE_IFD_PIN_PROPERTIES:
        return CcidGetPinProperties(SmartcardExtension);
    case IOCTL_FEATURE_GET_TLV_PROPERTIES:
        return CcidGetTlvProperties(SmartcardExtension);
    case IOCTL_FEATURE_CCID_ESC_COMMAND:
        return CcidEscapeCommand(SmartcardExtension);
    default:
        return STATUS_SUCCESS;
    }
}

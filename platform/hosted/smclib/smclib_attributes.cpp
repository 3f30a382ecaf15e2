// IOCTL_SMARTCARD_GET_ATTRIBUTE and _SET_ATTRIBUTE: the reader and card attributes the
// library answers from the smart-card extension.
//
// Choices where the library's documentation is silent: the library answers every tag for
// which the extension holds the data (vendor strings without a terminating NUL, numbers as
// 32-bit values, presence and interface status as one byte) and refuses the others with
// STATUS_NOT_SUPPORTED without asking the driver; CURRENT_F and CURRENT_D give the values
// of F and D, not their indexes; an ATR attribute without a card is STATUS_NO_MEDIA. Two
// attributes can be set: DEVICE_IN_USE (accepted, nothing kept) and
// SUPRESS_T1_IFS_REQUEST (a value of 1 to 4 bytes, any of them nonzero: no opening
// S(IFS request) in T=1 sessions; it takes effect from the next session, after the next
// reset or protocol choice, so that a session under way keeps its sequence).

#include <smclib.h>

#include <cstring>

#include "iso7816/atr.h"
#include "smclib_internal.h"
#include "smclib_requests.h"

namespace hosted::smclib {
namespace {

constexpr UCHAR kIccAbsent = 0;
constexpr UCHAR kIccPresent = 1;
constexpr UCHAR kIccSwallowed = 2;
constexpr UCHAR kIccConfiscated = 4;
constexpr UCHAR kIccTypeIso7816Asynchronous = 1;

struct Reply {
  PUCHAR buffer;
  ULONG length;
  ULONG written = 0;

  NTSTATUS Bytes(const void* data, ULONG size) {
    if (length < size) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(buffer, data, size);
    written = size;
    return STATUS_SUCCESS;
  }
  NTSTATUS Number(ULONG value) { return Bytes(&value, sizeof value); }
  NTSTATUS Byte(UCHAR value) { return Bytes(&value, sizeof value); }
  NTSTATUS Text(const _VENDOR_ATTR_STRING& text) {
    const ULONG size = text.Length < MAXIMUM_ATTR_STRING_LENGTH ? text.Length : MAXIMUM_ATTR_STRING_LENGTH;
    return Bytes(text.Buffer, size);
  }
};

NTSTATUS ReaderAttribute(PSMARTCARD_EXTENSION extension, ULONG tag, Reply& reply) {
  const SCARD_READER_CAPABILITIES& reader = extension->ReaderCapabilities;
  const VENDOR_ATTR& vendor = extension->VendorAttr;
  switch (tag) {
    case SCARD_ATTR_VENDOR_NAME: return reply.Text(vendor.VendorName);
    case SCARD_ATTR_VENDOR_IFD_TYPE: return reply.Text(vendor.IfdType);
    case SCARD_ATTR_VENDOR_IFD_SERIAL_NO: return reply.Text(vendor.IfdSerialNo);
    case SCARD_ATTR_VENDOR_IFD_VERSION: return reply.Bytes(&vendor.IfdVersion, sizeof vendor.IfdVersion);
    case SCARD_ATTR_CHANNEL_ID: return reply.Number(reader.ReaderType << 16 | (reader.Channel & 0xFFFF));
    case SCARD_ATTR_PROTOCOL_TYPES: return reply.Number(reader.SupportedProtocols);
    case SCARD_ATTR_DEFAULT_CLK: return reply.Number(reader.CLKFrequency.Default);
    case SCARD_ATTR_MAX_CLK: return reply.Number(reader.CLKFrequency.Max);
    case SCARD_ATTR_DEFAULT_DATA_RATE: return reply.Number(reader.DataRate.Default);
    case SCARD_ATTR_MAX_DATA_RATE: return reply.Number(reader.DataRate.Max);
    case SCARD_ATTR_MAX_IFSD: return reply.Number(reader.MaxIFSD);
    case SCARD_ATTR_POWER_MGMT_SUPPORT: return reply.Number(reader.PowerMgmtSupport);
    case SCARD_ATTR_CHARACTERISTICS: return reply.Number(reader.MechProperties);
    case SCARD_ATTR_DEVICE_UNIT: return reply.Number(vendor.UnitNo);
    default: return STATUS_NOT_SUPPORTED;
  }
}

NTSTATUS CardAttribute(PSMARTCARD_EXTENSION extension, ULONG tag, ULONG state, Reply& reply) {
  const SCARD_CARD_CAPABILITIES& card = extension->CardCapabilities;
  const bool hasAtr = state > SCARD_ABSENT && card.ATR.Length != 0 && card.ATR.Length <= sizeof card.ATR.Buffer;
  switch (tag) {
    case SCARD_ATTR_ICC_PRESENCE:
      if (extension->ReaderCapabilities.CardConfiscated) return reply.Byte(kIccConfiscated);
      if (state == SCARD_SWALLOWED) return reply.Byte(kIccSwallowed);
      return reply.Byte(state > SCARD_ABSENT ? kIccPresent : kIccAbsent);
    case SCARD_ATTR_ICC_INTERFACE_STATUS: return reply.Byte(state >= SCARD_POWERED ? 1 : 0);
    case SCARD_ATTR_ATR_STRING:
      if (!hasAtr) return STATUS_NO_MEDIA;
      return reply.Bytes(card.ATR.Buffer, card.ATR.Length);
    case SCARD_ATTR_ICC_TYPE_PER_ATR: return reply.Byte(hasAtr ? kIccTypeIso7816Asynchronous : 0);
    case SCARD_ATTR_CURRENT_PROTOCOL_TYPE: return reply.Number(card.Protocol.Selected);
    case SCARD_ATTR_CURRENT_CLK: return reply.Number(card.PtsData.CLKFrequency);
    case SCARD_ATTR_CURRENT_F: return reply.Number(iso7816::FiValue(card.PtsData.Fl));
    case SCARD_ATTR_CURRENT_D: return reply.Number(iso7816::DiValue(card.PtsData.Dl));
    case SCARD_ATTR_CURRENT_N: return reply.Number(card.N);
    case SCARD_ATTR_CURRENT_W: return reply.Number(card.T0.WI);
    case SCARD_ATTR_CURRENT_IFSC: return reply.Number(card.T1.IFSC);
    case SCARD_ATTR_CURRENT_IFSD: return reply.Number(extension->T1.IFSD);
    case SCARD_ATTR_CURRENT_BWT: return reply.Number(card.T1.BWT);
    case SCARD_ATTR_CURRENT_CWT: return reply.Number(card.T1.CWT);
    case SCARD_ATTR_CURRENT_EBC_ENCODING: return reply.Number(card.T1.EDC & T1_CRC_CHECK);
    default: return STATUS_NOT_SUPPORTED;
  }
}

}  // namespace

NTSTATUS GetAttribute(PSMARTCARD_EXTENSION extension, PIRP irp, PIO_STACK_LOCATION stack) {
  const auto& parameters = stack->Parameters.DeviceIoControl;
  if (parameters.InputBufferLength != sizeof(ULONG)) return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
  auto* buffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
  ULONG tag;
  std::memcpy(&tag, buffer, sizeof tag);
  Reply reply{buffer, parameters.OutputBufferLength};
  KIRQL irql;
  KeAcquireSpinLock(&extension->OsData->SpinLock, &irql);  // the card state and ATR
  const ULONG state = extension->ReaderCapabilities.CurrentState;
  NTSTATUS status = ReaderAttribute(extension, tag, reply);
  if (status == STATUS_NOT_SUPPORTED) status = CardAttribute(extension, tag, state, reply);
  KeReleaseSpinLock(&extension->OsData->SpinLock, irql);
  return CompleteRequest(irp, status, NT_SUCCESS(status) ? reply.written : 0);
}

NTSTATUS SetAttribute(PSMARTCARD_EXTENSION extension, PIRP irp, PIO_STACK_LOCATION stack) {
  const auto& parameters = stack->Parameters.DeviceIoControl;
  if (parameters.InputBufferLength < sizeof(ULONG)) return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
  const auto* input = static_cast<const UCHAR*>(irp->AssociatedIrp.SystemBuffer);
  ULONG tag;
  std::memcpy(&tag, input, sizeof tag);
  const ULONG valueLength = parameters.InputBufferLength - sizeof(ULONG);
  if (tag == SCARD_ATTR_SUPRESS_T1_IFS_REQUEST) {
    if (valueLength == 0 || valueLength > sizeof(ULONG)) return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
    bool suppress = false;
    for (ULONG i = 0; i < valueLength; ++i) suppress = suppress || input[sizeof(ULONG) + i] != 0;
    StateOf(extension)->suppressT1IfsRequest = suppress;
  } else if (tag != SCARD_ATTR_DEVICE_IN_USE) {
    return CompleteRequest(irp, STATUS_NOT_SUPPORTED);
  }
  // Information is sizeof(ULONG) as documented, but never more than the caller can take.
  const ULONG information = parameters.OutputBufferLength < sizeof(ULONG) ? parameters.OutputBufferLength : sizeof(ULONG);
  return CompleteRequest(irp, STATUS_SUCCESS, information);
}

}  // namespace hosted::smclib

// IOCTL_SMARTCARD_TRANSMIT and IOCTL_SMARTCARD_SET_PROTOCOL: what the library checks
// before the reader function runs, and what it does around it.
//
// SET_PROTOCOL, in this order: an input other than one ULONG is STATUS_INVALID_PARAMETER
// and a reply below one ULONG STATUS_BUFFER_TOO_SMALL; a mask without T=0, T=1 or raw is
// STATUS_INVALID_DEVICE_REQUEST; no card STATUS_NO_MEDIA; a card that is not freshly reset
// (below SCARD_POWERED, or already SCARD_SPECIFIC: a second choice needs a new reset) is
// STATUS_INVALID_DEVICE_STATE. The card capabilities are then read again from the ATR
// (SmartcardUpdateCardCapabilities; if the library cannot read the ATR the driver's
// RDF_ATR_PARSE may, else STATUS_UNRECOGNIZED_MEDIA). No protocol in common between the
// mask, the card's Protocol.Supported and the reader's SupportedProtocols (when the driver
// set any) is STATUS_NOT_SUPPORTED. The driver then gets the mask narrowed to the protocols
// in common (its other bits, such as SCARD_PROTOCOL_DEFAULT, kept) in MinorIoControlCode; a
// T=1 choice starts the library's T=1 session.
//
// TRANSMIT: an input shorter than SCARD_IO_REQUEST, or a cbPciLength below the structure or
// beyond the input, is STATUS_INVALID_PARAMETER; a reply below SCARD_IO_REQUEST
// STATUS_BUFFER_TOO_SMALL; no card STATUS_NO_MEDIA; a card whose protocol is not chosen
// (below SCARD_SPECIFIC) STATUS_INVALID_DEVICE_STATE. Whether dwProtocol fits the selected
// protocol is the reader function's to judge (STATUS_INVALID_DEVICE_REQUEST), as the reader
// function of a WDM driver does.

#include <smclib.h>

#include <cstring>

#include "smclib_internal.h"
#include "smclib_requests.h"

namespace hosted::smclib {
namespace {

constexpr ULONG kKnownProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1 | SCARD_PROTOCOL_RAW;

// Refusal of a card state for a request that needs at least `needed`; SUCCESS if it may go on.
NTSTATUS JudgeCardState(ULONG state, ULONG needed) {
  if (state <= SCARD_ABSENT) return STATUS_NO_MEDIA;
  if (state < needed) return STATUS_INVALID_DEVICE_STATE;
  return STATUS_SUCCESS;
}

// The card capabilities from the stored ATR; the driver's ATR parser when the library
// cannot read it.
NTSTATUS ReadCardCapabilities(PSMARTCARD_EXTENSION extension) {
  NTSTATUS status = SmartcardUpdateCardCapabilities(extension);
  if (NT_SUCCESS(status)) return status;
  PREADER_FUNCTION parser = extension->ReaderFunction[RDF_ATR_PARSE];
  if (parser == NULL) return status;
  extension->MajorIoControlCode = IOCTL_SMARTCARD_SET_PROTOCOL;
  extension->MinorIoControlCode = 0;
  status = parser(extension);
  return status == STATUS_PENDING ? STATUS_UNRECOGNIZED_MEDIA : status;
}

}  // namespace

NTSTATUS SetProtocol(PSMARTCARD_EXTENSION extension, PIRP irp, PIO_STACK_LOCATION stack) {
  const auto& parameters = stack->Parameters.DeviceIoControl;
  if (parameters.InputBufferLength != sizeof(ULONG)) return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
  if (parameters.OutputBufferLength < sizeof(ULONG)) return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL);
  ULONG mask;
  std::memcpy(&mask, irp->AssociatedIrp.SystemBuffer, sizeof mask);
  const ULONG known = mask & kKnownProtocols;
  if (known == 0) return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
  const ULONG state = ReadCurrentState(extension);
  NTSTATUS status = JudgeCardState(state, SCARD_POWERED);
  if (NT_SUCCESS(status) && state == SCARD_SPECIFIC) status = STATUS_INVALID_DEVICE_STATE;
  if (!NT_SUCCESS(status)) return CompleteRequest(irp, status);

  status = ReadCardCapabilities(extension);
  if (!NT_SUCCESS(status)) return CompleteRequest(irp, status);
  const ULONG reader = extension->ReaderCapabilities.SupportedProtocols;
  const ULONG common = known & extension->CardCapabilities.Protocol.Supported & (reader != 0 ? reader : ~0u);
  if (common == 0) return CompleteRequest(irp, STATUS_NOT_SUPPORTED);

  RestartT1Session(extension);
  status = RunReaderFunction(extension, irp, stack, RDF_SET_PROTOCOL, common | (mask & ~kKnownProtocols));
  if (NT_SUCCESS(status) && status != STATUS_PENDING &&
      extension->CardCapabilities.Protocol.Selected == SCARD_PROTOCOL_T1) {
    StartT1Session(extension);
  }
  return FinishReaderFunction(irp, stack, status);
}

NTSTATUS Transmit(PSMARTCARD_EXTENSION extension, PIRP irp, PIO_STACK_LOCATION stack) {
  const auto& parameters = stack->Parameters.DeviceIoControl;
  if (parameters.InputBufferLength < sizeof(SCARD_IO_REQUEST)) return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
  SCARD_IO_REQUEST header;
  std::memcpy(&header, irp->AssociatedIrp.SystemBuffer, sizeof header);
  if (header.cbPciLength < sizeof(SCARD_IO_REQUEST) || header.cbPciLength > parameters.InputBufferLength) {
    return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
  }
  if (parameters.OutputBufferLength < sizeof(SCARD_IO_REQUEST)) return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL);
  const NTSTATUS status = JudgeCardState(ReadCurrentState(extension), SCARD_SPECIFIC);
  if (!NT_SUCCESS(status)) return CompleteRequest(irp, status);
  return CallReaderFunction(extension, irp, stack, RDF_TRANSMIT, 0);
}

}  // namespace hosted::smclib

// The T=0 and raw protocol helpers and what all protocol helpers share.
//
// T=0 is one exchange per transmit: SmartcardT0Request turns the application's command
// APDU into the first TPDU that the APDU engine of ISO 7816-3 would send for it, and
// SmartcardT0Reply hands back whatever the card answered to that TPDU. The reader driver
// calls each once per IOCTL_SMARTCARD_TRANSMIT, so the exchanges that the engine would chain
// on (GET RESPONSE after 61xx, the command again with P3 = xx after 6Cxx) belong to the
// application, as with SMCLIB.SYS on Windows: the application receives 61xx or 6Cxx and
// sends GET RESPONSE, or its command with the right Le, itself. A reader that exchanges at
// APDU level may do that work itself and answer with the data.
//
// Choices where the library's documentation is silent:
//  - case 4 goes out as its case-3 TPDU (Le dropped; the card then asks with 61xx); case 1
//    with P3 = 00; case 2 with P3 = Le (00 for 256). T0.Lc = Nc and T0.Le = Ne of case 2
//    (0 otherwise: the first TPDU of case 4 receives no data);
//  - extended-length APDUs and malformed ones are refused with STATUS_INVALID_PARAMETER (an
//    application wraps an extended command in ENVELOPE itself);
//  - STATUS_BUFFER_TOO_SMALL (request) when the application's reply buffer cannot hold
//    SCARD_IO_REQUEST + Ne + SW1 SW2, so no command runs whose answer would be lost;
//  - an answer is judged a T=0 answer when it ends with SW1 SW2 and SW1 is 6X (not 60) or
//    9X; its length is not judged (an APDU-level reader may return data for case 4);
//  - the bytes are logical: the reader applies the card's convention (a CCID reader does so
//    from the parameters the driver set), so the library inverts nothing;
//  - the answer's SCARD_IO_REQUEST is {Protocol.Selected, 8}.

#include <smclib.h>

#include <cstring>
#include <string>

#include "iso7816/apdu.h"
#include "iso7816/t0_host.h"
#include "smclib_transfer.h"
#include "hosted/kernel/verifier.h"

namespace hosted::smclib {
namespace {

constexpr ULONG kHeaderLength = sizeof(SCARD_IO_REQUEST);
constexpr std::size_t kStatusWordLength = 2;

bool IsSw1(UCHAR byte) { return ((byte & 0xF0) == 0x60 && byte != 0x60) || (byte & 0xF0) == 0x90; }

}  // namespace

NTSTATUS ReadUserCommand(PSMARTCARD_EXTENSION extension, iso7816::ByteView* command) {
  const auto& io = extension->IoRequest;
  if (io.RequestBuffer == NULL || io.RequestBufferLength < kHeaderLength) return STATUS_BUFFER_TOO_SMALL;
  SCARD_IO_REQUEST header;
  std::memcpy(&header, io.RequestBuffer, sizeof header);
  if (header.cbPciLength < kHeaderLength || header.cbPciLength > io.RequestBufferLength) {
    return STATUS_INVALID_PARAMETER;
  }
  *command = iso7816::ByteView(io.RequestBuffer + header.cbPciLength, io.RequestBufferLength - header.cbPciLength);
  return STATUS_SUCCESS;
}

NTSTATUS CheckLibraryBuffers(PSMARTCARD_EXTENSION extension) {
  if (extension == NULL || extension->SmartcardRequest.Buffer == NULL || extension->SmartcardReply.Buffer == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  return STATUS_SUCCESS;
}

NTSTATUS AppendToRequest(PSMARTCARD_EXTENSION extension, iso7816::ByteView bytes, const char* routine) {
  SMARTCARD_REQUEST& request = extension->SmartcardRequest;
  if (request.BufferLength > request.BufferSize) {
    Verifier::Report(Check::InvalidParameter, routine,
                     "SmartcardRequest.BufferLength " + std::to_string(request.BufferLength) +
                         " is beyond BufferSize " + std::to_string(request.BufferSize));
    return STATUS_BUFFER_OVERFLOW;
  }
  if (bytes.size() > request.BufferSize - request.BufferLength) return STATUS_BUFFER_OVERFLOW;
  if (!bytes.empty()) std::memcpy(request.Buffer + request.BufferLength, bytes.data(), bytes.size());
  request.BufferLength += static_cast<ULONG>(bytes.size());
  return STATUS_SUCCESS;
}

iso7816::ByteView CardAnswer(PSMARTCARD_EXTENSION extension, const char* routine) {
  const SMARTCARD_REPLY& reply = extension->SmartcardReply;
  ULONG length = reply.BufferLength;
  if (length > reply.BufferSize) {
    Verifier::Report(Check::InvalidParameter, routine,
                     "SmartcardReply.BufferLength " + std::to_string(length) + " is beyond BufferSize " +
                         std::to_string(reply.BufferSize));
    length = reply.BufferSize;
  }
  return iso7816::ByteView(reply.Buffer, length);
}

void SetInformation(PSMARTCARD_EXTENSION extension, ULONG count) {
  if (extension->IoRequest.Information != NULL) *extension->IoRequest.Information = count;
}

NTSTATUS ReplyToUser(PSMARTCARD_EXTENSION extension, iso7816::ByteView data) {
  const auto& io = extension->IoRequest;
  SetInformation(extension, 0);
  if (io.ReplyBuffer == NULL || io.ReplyBufferLength < kHeaderLength ||
      data.size() > io.ReplyBufferLength - kHeaderLength) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  const SCARD_IO_REQUEST header = {extension->CardCapabilities.Protocol.Selected, kHeaderLength};
  // The reply buffer is the request's memory too; the command has been consumed by now.
  if (!data.empty()) std::memmove(io.ReplyBuffer + kHeaderLength, data.data(), data.size());
  std::memcpy(io.ReplyBuffer, &header, sizeof header);
  SetInformation(extension, kHeaderLength + static_cast<ULONG>(data.size()));
  return STATUS_SUCCESS;
}

}  // namespace hosted::smclib

using namespace hosted::smclib;

// ---- SmartcardT0Request ---------------------------------------------------------------
// Appends the TPDU for the application's APDU to SmartcardRequest (up to DISPATCH_LEVEL).
extern "C" NTSTATUS NTAPI SmartcardT0Request(PSMARTCARD_EXTENSION SmartcardExtension)
{
    NTSTATUS status = CheckLibraryBuffers(SmartcardExtension);
    if (!NT_SUCCESS(status)) return status;
    iso7816::ByteView command;
    status = ReadUserCommand(SmartcardExtension, &command);
    if (!NT_SUCCESS(status)) return status;
    const auto apdu = iso7816::ParseApdu(command);
    if (!apdu || apdu->extended) return STATUS_INVALID_PARAMETER;
    iso7816::T0ApduEngine engine(command);
    const iso7816::T0ApduStep step = engine.Begin();
    if (step.kind != iso7816::T0ApduStep::Kind::kTpdu) return STATUS_INVALID_PARAMETER;

    const ULONG expected = apdu->Case() == iso7816::ApduCase::k2Short ? static_cast<ULONG>(apdu->ne) : 0;
    if (SmartcardExtension->IoRequest.ReplyBufferLength < kHeaderLength + expected + kStatusWordLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    status = AppendToRequest(SmartcardExtension, step.tpdu, "SmartcardT0Request");
    if (!NT_SUCCESS(status)) return status;
    SmartcardExtension->T0.Lc = static_cast<ULONG>(apdu->data.size());
    SmartcardExtension->T0.Le = expected;
    return STATUS_SUCCESS;
}

// ---- SmartcardT0Reply -----------------------------------------------------------------
// Checks the card's answer to the TPDU and gives it to the application behind its
// SCARD_IO_REQUEST (up to DISPATCH_LEVEL).
extern "C" NTSTATUS NTAPI SmartcardT0Reply(PSMARTCARD_EXTENSION SmartcardExtension)
{
    const NTSTATUS status = CheckLibraryBuffers(SmartcardExtension);
    if (!NT_SUCCESS(status)) return status;
    const iso7816::ByteView answer = CardAnswer(SmartcardExtension, "SmartcardT0Reply");
    if (answer.size() < kStatusWordLength || !IsSw1(answer[answer.size() - kStatusWordLength])) {
        SetInformation(SmartcardExtension, 0);
        return STATUS_DEVICE_PROTOCOL_ERROR;  // no status word: not an answer to a TPDU
    }
    return ReplyToUser(SmartcardExtension, answer);
}

// ---- SmartcardRawRequest --------------------------------------------------------------
// Appends the application's whole request, SCARD_IO_REQUEST included, to SmartcardRequest.
extern "C" NTSTATUS NTAPI SmartcardRawRequest(PSMARTCARD_EXTENSION SmartcardExtension)
{
    const NTSTATUS status = CheckLibraryBuffers(SmartcardExtension);
    if (!NT_SUCCESS(status)) return status;
    const auto& io = SmartcardExtension->IoRequest;
    if (io.RequestBuffer == NULL || io.RequestBufferLength < kHeaderLength) return STATUS_BUFFER_TOO_SMALL;
    return AppendToRequest(SmartcardExtension, iso7816::ByteView(io.RequestBuffer, io.RequestBufferLength),
                           "SmartcardRawRequest");
}

// ---- SmartcardRawReply ----------------------------------------------------------------
// Copies SmartcardReply as it is (the driver put the SCARD_IO_REQUEST in front) to the
// application's reply buffer.
extern "C" NTSTATUS NTAPI SmartcardRawReply(PSMARTCARD_EXTENSION SmartcardExtension)
{
    const NTSTATUS status = CheckLibraryBuffers(SmartcardExtension);
    if (!NT_SUCCESS(status)) return status;
    const iso7816::ByteView answer = CardAnswer(SmartcardExtension, "SmartcardRawReply");
    const auto& io = SmartcardExtension->IoRequest;
    SetInformation(SmartcardExtension, 0);
    if (io.ReplyBuffer == NULL || answer.size() > io.ReplyBufferLength) return STATUS_BUFFER_TOO_SMALL;
    if (!answer.empty()) std::memmove(io.ReplyBuffer, answer.data(), answer.size());
    SetInformation(SmartcardExtension, static_cast<ULONG>(answer.size()));
    return STATUS_SUCCESS;
}

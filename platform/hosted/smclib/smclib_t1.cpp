// The T=1 protocol helpers: the host side of the ISO 7816-3 block protocol, one block per
// SmartcardT1Request / SmartcardT1Reply pair. The reader driver loops Request -> exchange
// -> Reply while Reply returns STATUS_MORE_PROCESSING_REQUIRED; the blocks come from the
// ISO 7816 host engine (chaining both ways, S(IFS), S(WTX), S(ABORT), R-blocks,
// retransmission and resynchronisation).
//
// The session: built at the first block after T1.State went to T1_INIT (every answer to
// reset, power request and protocol choice), and at once when a protocol choice selects
// T=1. IFSC and EDC come from CardCapabilities.T1; the library's IFSD is the reader's
// MaxIFSD (T1_IFSD_DEFAULT when 0, at most 254 and what SmartcardReply can hold), announced
// with S(IFS request) before the first command of every session (also when it is 32)
// unless SCARD_ATTR_SUPRESS_T1_IFS_REQUEST is set. T1.NAD, the driver's, goes in every
// block.
//
// Choices where the library's documentation is silent:
//  - error recovery: an invalid block, or an empty answer (the driver hands one after a
//    reader-side protocol error), is answered by an R-block (the S request again while one
//    is under way); a block is sent at most T1_MAX_RETRIES more times, then S(RESYNCH
//    request) restarts both sides and the command; the third failed resynchronisation of a
//    command ends it with STATUS_DEVICE_PROTOCOL_ERROR;
//  - T1.Wtx is the card's S(WTX) multiplier for the exchange of the block that answers it,
//    and 0 again once that block's answer has come;
//  - a block whose answer never came to SmartcardT1Reply (the driver gave up: time-out, no
//    card) ends the command; that, or a command that failed, puts the session in doubt and
//    the next command begins with S(RESYNCH request);
//  - SmartcardT1Request refuses with STATUS_BUFFER_TOO_SMALL a reply buffer that cannot
//    hold SCARD_IO_REQUEST + SW1 SW2; an answer longer than the reply buffer ends the command
//    with STATUS_BUFFER_TOO_SMALL (the card's answer is lost, the session stays in step);
//  - T1_DATA shows the session: IFSC (card's, after any S(IFS) from it), IFSD, SSN/RSN (our
//    N(S), the card's next N(S)), State (T1_I_BLOCK, T1_R_BLOCK or the S-block's PCB for the
//    block just built; T1_START between commands), OriginalState (the I/R state an S-block
//    exchange interrupted), Resend/Resynch (this block's retransmissions, this command's
//    resynchronisations), BytesSent/BytesToSend (acknowledged / remaining command bytes),
//    BytesReceived, InfBytesSent (INF of the last I-block), MoreData (a chain under way),
//    LastError (T1_ERROR_CHKSUM or T1_ERROR_OTHER for the error the last R-block reports),
//    WaitForReply (a block is out). ReplyData stays NULL: the answer is gathered in the
//    library's memory and written once, since the reply buffer is the command's memory too.

#include <smclib.h>

#include "iso7816/t1_host.h"
#include "smclib_internal.h"
#include "smclib_transfer.h"
#include "hosted/kernel/verifier.h"

namespace hosted::smclib {
namespace {

using iso7816::Block;
using iso7816::BlockKind;
using iso7816::T1HostEngine;

constexpr const char* kRequestRoutine = "SmartcardT1Request";
constexpr const char* kReplyRoutine = "SmartcardT1Reply";
constexpr unsigned kMaxResynchs = 3;
constexpr ULONG kMinimumReply = sizeof(SCARD_IO_REQUEST) + 2;  // header and SW1 SW2

UCHAR SessionIfsd(PSMARTCARD_EXTENSION extension) {
  ULONG ifsd = extension->ReaderCapabilities.MaxIFSD;
  if (ifsd == 0) ifsd = T1_IFSD_DEFAULT;
  if (ifsd > T1_IFSD) ifsd = T1_IFSD;
  const ULONG room = extension->SmartcardReply.BufferSize - (SCARD_T1_PROLOGUE_LENGTH + SCARD_T1_EPILOGUE_LENGTH);
  if (ifsd > room) ifsd = room;
  return static_cast<UCHAR>(ifsd);
}

// Copies the engine's view of the session into T1_DATA after each step.
void ShowSession(PSMARTCARD_EXTENSION extension, const T1HostEngine& engine, ULONG commandLength) {
  T1_DATA& t1 = extension->T1;
  t1.IFSC = engine.Ifsc();
  t1.SSN = static_cast<UCHAR>(engine.Ns());
  t1.RSN = static_cast<UCHAR>(engine.Nr());
  t1.Wtx = engine.Wtx();
  t1.Resend = static_cast<UCHAR>(engine.Retries());
  t1.Resynch = static_cast<UCHAR>(engine.CommandResynchs());
  t1.BytesSent = static_cast<ULONG>(engine.BytesSent());
  t1.BytesToSend = commandLength - t1.BytesSent;
  t1.BytesReceived = static_cast<ULONG>(engine.BytesReceived());
  t1.MoreData = engine.Chaining();
  const Block& block = engine.NextBlockFields();
  t1.LastError = 0;
  switch (block.Kind()) {
    case BlockKind::kI:
      t1.State = T1_I_BLOCK;
      t1.InfBytesSent = static_cast<UCHAR>(block.inf.size());
      break;
    case BlockKind::kR:
      t1.State = T1_R_BLOCK;
      if (block.Code() == iso7816::RCode::kEdcError) t1.LastError = T1_ERROR_CHKSUM;
      if (block.Code() == iso7816::RCode::kOtherError) t1.LastError = T1_ERROR_OTHER;
      break;
    case BlockKind::kS:
      if (t1.State == T1_I_BLOCK || t1.State == T1_R_BLOCK) t1.OriginalState = t1.State;
      t1.State = block.pcb;
      break;
  }
  if (t1.LastError == 0 && engine.Retries() != 0) t1.LastError = T1_ERROR_OTHER;
}

// Ends the command under way; `inDoubt` when the card's state is uncertain afterwards.
void EndCommand(PSMARTCARD_EXTENSION extension, LibraryState& state, bool inDoubt) {
  state.t1CommandUnderWay = false;
  if (inDoubt) state.t1SessionInDoubt = true;
  extension->T1.State = T1_START;
  extension->T1.Wtx = 0;
  extension->T1.MoreData = FALSE;
}

}  // namespace

void StartT1Session(PSMARTCARD_EXTENSION extension) {
  LibraryState* state = StateOf(extension);
  if (state == nullptr) return;
  const auto& card = extension->CardCapabilities.T1;
  iso7816::T1HostConfig config;
  config.ifsc = card.IFSC;  // the engine takes 0 or 255 as the default 32
  config.ifsd = state->suppressT1IfsRequest ? T1_IFSD_DEFAULT : SessionIfsd(extension);  // unannounced: 32
  config.edc = (card.EDC & T1_CRC_CHECK) != 0 ? iso7816::Edc::kCrc : iso7816::Edc::kLrc;
  config.nad = extension->T1.NAD;
  config.always_send_ifs = !state->suppressT1IfsRequest;
  config.skip_ifs = state->suppressT1IfsRequest;
  config.max_retries = T1_MAX_RETRIES;
  config.max_resynchs = kMaxResynchs;
  state->t1.emplace(config);
  state->t1CommandUnderWay = false;
  state->t1SessionInDoubt = false;
  RestartT1Session(extension);
  extension->T1.State = T1_START;
  extension->T1.IFSC = state->t1->Ifsc();
  extension->T1.IFSD = config.ifsd;
}

}  // namespace hosted::smclib

using namespace hosted::smclib;

// ---- SmartcardT1Request ---------------------------------------------------------------
// Appends the next T=1 block to SmartcardRequest: the first of a new command, or the one
// the last SmartcardT1Reply decided on (up to DISPATCH_LEVEL).
extern "C" NTSTATUS NTAPI SmartcardT1Request(PSMARTCARD_EXTENSION SmartcardExtension)
{
    NTSTATUS status = CheckLibraryBuffers(SmartcardExtension);
    LibraryState* state = StateOf(SmartcardExtension);
    if (!NT_SUCCESS(status) || state == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    T1_DATA& t1 = SmartcardExtension->T1;
    if (t1.State == T1_INIT || !state->t1) StartT1Session(SmartcardExtension);
    if (t1.WaitForReply) {
        t1.WaitForReply = FALSE;  // the last block's answer never came: that command is over
        EndCommand(SmartcardExtension, *state, true);
    }
    T1HostEngine& engine = *state->t1;
    iso7816::ByteView command;
    status = ReadUserCommand(SmartcardExtension, &command);
    if (!NT_SUCCESS(status)) return status;
    if (!state->t1CommandUnderWay) {
        if (command.empty()) return STATUS_INVALID_PARAMETER;
        if (SmartcardExtension->IoRequest.ReplyBufferLength < kMinimumReply) return STATUS_BUFFER_TOO_SMALL;
        const auto step = state->t1SessionInDoubt ? engine.BeginWithResynch(command) : engine.Begin(command);
        if (step != T1HostEngine::Status::kSend) return STATUS_INVALID_PARAMETER;
        state->t1SessionInDoubt = false;
        state->t1CommandUnderWay = true;
    }
    status = AppendToRequest(SmartcardExtension, engine.NextBlock(), kRequestRoutine);
    if (!NT_SUCCESS(status)) {
        EndCommand(SmartcardExtension, *state, true);
        return status;
    }
    ShowSession(SmartcardExtension, engine, static_cast<ULONG>(command.size()));
    t1.WaitForReply = TRUE;
    return STATUS_SUCCESS;
}

// ---- SmartcardT1Reply -----------------------------------------------------------------
// Takes the card's block (empty: nothing valid came) and decides: another block is due
// (STATUS_MORE_PROCESSING_REQUIRED), the answer is the application's (written behind its
// SCARD_IO_REQUEST), or the command failed (STATUS_DEVICE_PROTOCOL_ERROR).
extern "C" NTSTATUS NTAPI SmartcardT1Reply(PSMARTCARD_EXTENSION SmartcardExtension)
{
    const NTSTATUS status = CheckLibraryBuffers(SmartcardExtension);
    LibraryState* state = StateOf(SmartcardExtension);
    if (!NT_SUCCESS(status) || state == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    T1_DATA& t1 = SmartcardExtension->T1;
    if (!state->t1 || !state->t1CommandUnderWay || !t1.WaitForReply) {
        hosted::Verifier::Report(hosted::Check::InvalidParameter, kReplyRoutine,
                         "no T=1 block is waiting for its answer (SmartcardT1Request comes first)");
        return STATUS_DEVICE_PROTOCOL_ERROR;
    }
    t1.WaitForReply = FALSE;
    T1HostEngine& engine = *state->t1;
    const ULONG commandLength = t1.BytesSent + t1.BytesToSend;
    const T1HostEngine::Status step = engine.OnBlock(CardAnswer(SmartcardExtension, kReplyRoutine));
    ShowSession(SmartcardExtension, engine, commandLength);
    switch (step) {
        case T1HostEngine::Status::kSend:
            return STATUS_MORE_PROCESSING_REQUIRED;
        case T1HostEngine::Status::kDone:
            EndCommand(SmartcardExtension, *state, false);
            return ReplyToUser(SmartcardExtension, engine.Response());
        case T1HostEngine::Status::kError:
            break;
    }
    EndCommand(SmartcardExtension, *state, true);
    SetInformation(SmartcardExtension, 0);
    return STATUS_DEVICE_PROTOCOL_ERROR;
}

// The CCID exchange on a started reader, driven by the reader's fault injection: responses
// around the 64-byte packet boundary, stale and future responses, time extensions, refused
// responses, responses shorter or longer than announced, and bulk time-outs that end
// exactly at their deadline in virtual time. Wire facts are read from the USB stack's
// transfer log.

#include <gtest/gtest.h>

#include <kernel_test_support.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "CcidFrame.h"
#include "CcidGuards.h"
#include "CcidUsb.h"
#include "driver_bench.h"
#include "reader/ccid_wire.h"

namespace {

using ccid_test::Bytes;
using ccid_test::ReaderBench;
using hosted::usb::TransferRecord;
using hosted::usb::TransferType;

// A request byte the reader's escape table answers with a reply of the test's choosing.
constexpr UCHAR kEscapeRequest = 0xE5;
constexpr ULONG kUnsetLength = 0xDEADF00D;

struct Exchanged {
  NTSTATUS status = STATUS_PENDING;
  CCID_HEADER header{};
  bool replySet = false;
  ULONG replyLength = kUnsetLength;
  Bytes reply;
};

Bytes Pattern(std::size_t length) {
  Bytes bytes(length);
  for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(0x30 + i % 71);
  return bytes;
}

class CcidExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(bench_.Plug(), STATUS_SUCCESS);
    bench_.Bus().ClearTransfers();
  }

  PDEVICE_OBJECT Fdo() { return bench_.Fdo(); }

  // One exchange of a command the test builds (its bSeq is set here), expecting `expect`.
  Exchanged Run(Bytes command, UCHAR expect, bool wantReply = true) {
    Exchanged out;
    MutexGuard lock(CcidExchangeLock(Fdo()));
    command[6] = CcidTakeSequenceNumber(Fdo());
    CCID_HEADER expected{};
    expected.bMessageType = expect;
    expected.bSlot = command[5];
    expected.bSeq = command[6];
    PUCHAR reply = nullptr;
    out.status = CcidExchange(Fdo(), command.data(), static_cast<ULONG>(command.size()), &expected,
                              wantReply ? &reply : nullptr, wantReply ? &out.replyLength : nullptr);
    out.header = expected;
    if (reply != nullptr) {
      out.replySet = true;
      out.reply.assign(reply, reply + out.replyLength);
      ExFreePoolWithTag(reply, CCID_POOL_TAG);
    }
    return out;
  }

  // A PC_to_RDR_Escape whose answer carries `replyLength` payload bytes.
  Exchanged Escape(std::size_t replyLength, bool wantReply = true) {
    reply_ = Pattern(replyLength);
    bench_.Reader().SetEscapeReply({kEscapeRequest}, reply_);
    return Run(sim::ccid::BuildMessage(CCID_PC_TO_RDR_ESCAPE, 0, 0, 0, 0, 0, Bytes{kEscapeRequest}), CCID_RDR_TO_PC_ESCAPE,
               wantReply);
  }

  // Requested lengths of the bulk-in URBs since the last clear.
  std::vector<ULONG> BulkInReads() {
    std::vector<ULONG> reads;
    for (const TransferRecord& record : bench_.Bus().Transfers()) {
      if (record.type == TransferType::Bulk && record.in) reads.push_back(record.requested);
    }
    return reads;
  }
  std::size_t AbortsOf(UCHAR endpoint) {
    std::size_t count = 0;
    for (const TransferRecord& record : bench_.Bus().Transfers()) {
      if (record.urbFunction == URB_FUNCTION_ABORT_PIPE && record.endpoint == endpoint) ++count;
    }
    return count;
  }

  ReaderBench bench_{"tpdu-basic"};
  Bytes reply_;
};

// Payload sizes around the packet boundary: how many bulk-in reads each costs and how long
// they are. 54 bytes fill the first packet exactly (a zero-length packet follows); 55 need a
// remainder read of 2; a 128-byte message needs 65 and ends on the zero-length packet.
struct BoundaryRow {
  std::size_t payload;
  std::vector<ULONG> reads;
};

TEST_F(CcidExchangeTest, PayloadAroundThePacketBoundaryArrivesWhole) {
  const BoundaryRow rows[] = {
      {0, {64}}, {1, {64}}, {53, {64}}, {54, {64, 64}}, {55, {64, 2}}, {118, {64, 65}}, {200, {64, 147}},
  };
  for (const BoundaryRow& row : rows) {
    SCOPED_TRACE("payload " + std::to_string(row.payload));
    bench_.Bus().ClearTransfers();
    const Exchanged out = Escape(row.payload);
    ASSERT_EQ(out.status, STATUS_SUCCESS);
    EXPECT_EQ(out.replyLength, row.payload);
    EXPECT_EQ(out.replySet, row.payload != 0) << "no reply block for an empty payload";
    EXPECT_EQ(out.reply, reply_);
    EXPECT_EQ(out.header.bMessageType, CCID_RDR_TO_PC_ESCAPE);
    EXPECT_EQ(out.header.dwLength.Get(), row.payload);
    EXPECT_EQ(BulkInReads(), row.reads);
  }
  EXPECT_TRUE(bench_.Reader().HostErrors().empty());
}

// The zero-length packet after a 64-byte answer nobody read the payload of stays in the pipe;
// the next exchange skips it and finds its own answer.
TEST_F(CcidExchangeTest, ZeroLengthPacketLeftByAPayloadlessExchangeIsSkippedByTheNext) {
  const Exchanged first = Escape(54, /*wantReply=*/false);
  ASSERT_EQ(first.status, STATUS_SUCCESS);
  EXPECT_EQ(first.replyLength, kUnsetLength) << "no payload was asked for";
  EXPECT_EQ(BulkInReads(), (std::vector<ULONG>{64}));

  bench_.Bus().ClearTransfers();
  const Exchanged second = Escape(3);
  ASSERT_EQ(second.status, STATUS_SUCCESS);
  EXPECT_EQ(second.reply, reply_);
  const auto transfers = bench_.Bus().Transfers();
  std::vector<std::size_t> received;
  for (const TransferRecord& record : transfers) {
    if (record.type == TransferType::Bulk && record.in) received.push_back(record.data.size());
  }
  EXPECT_EQ(received, (std::vector<std::size_t>{0, 13})) << "the stray zero-length packet, then the answer";
}

TEST_F(CcidExchangeTest, StaleAnswerIsDrainedBeforeTheRealOne) {
  // The reader's injected stale answer answers no command.
  bench_.ExpectProtocolError(ccid_test::kRuleAnswerWithoutCommand);
  bench_.Reader().AddFault({sim::FaultKind::StaleAnswerFirst, 200, CCID_PC_TO_RDR_ESCAPE});
  const Exchanged out = Escape(5);
  ASSERT_EQ(out.status, STATUS_SUCCESS);
  EXPECT_EQ(out.reply, reply_);
  // The stale message is 210 bytes: 64 read as a header, 146 drained, then the answer.
  EXPECT_EQ(BulkInReads(), (std::vector<ULONG>{64, 146, 64}));
}

// Sequence numbers compare as plain bytes: after the wrap, a stale 255 looks newer than 0.
TEST_F(CcidExchangeTest, StaleSequence255AgainstCommand0CountsAsFromTheFuture) {
  // The test moves the counter and the reader answers with a stale sequence number.
  bench_.ExpectProtocolError(ccid_test::kRuleSequence);
  bench_.ExpectProtocolError(ccid_test::kRuleAnswerWithoutCommand);
  bench_.ReaderExtension()->SequenceNumber = 0;
  bench_.Reader().AddFault({sim::FaultKind::StaleAnswerFirst, 0, CCID_PC_TO_RDR_ESCAPE});
  EXPECT_EQ(Escape(5).status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(bench_.ReaderExtension()->SequenceNumber, 1) << "the exchange never changes the counter";

  // The real answer to command 0 is still queued; it is stale for command 1 and drained.
  const Exchanged next = Escape(4);
  EXPECT_EQ(next.status, STATUS_SUCCESS);
  EXPECT_EQ(next.header.bSeq, 1);
  EXPECT_EQ(next.reply, reply_);
}

TEST_F(CcidExchangeTest, AnswerFromTheFutureFailsAtOnce) {
  // The reader's injected answer from the future answers no command.
  bench_.ExpectProtocolError(ccid_test::kRuleAnswerWithoutCommand);
  bench_.Reader().AddFault({sim::FaultKind::FutureAnswer, 0, CCID_PC_TO_RDR_ESCAPE});
  EXPECT_EQ(Escape(5).status, STATUS_UNSUCCESSFUL);
}

TEST_F(CcidExchangeTest, ThreeTimeExtensionsAreWaitedThrough) {
  bench_.Reader().AddFault({sim::FaultKind::TimeExtensions, 3, CCID_PC_TO_RDR_ESCAPE});
  const Exchanged out = Escape(7);
  ASSERT_EQ(out.status, STATUS_SUCCESS);
  EXPECT_EQ(out.reply, reply_);
  EXPECT_EQ(bench_.Reader().Stats().time_extensions, 3u);
  EXPECT_EQ(BulkInReads(), (std::vector<ULONG>{64, 64, 64, 64}));
}

// A response of another type, or for another slot, is refused with nothing drained; a
// refused response leaves the expected header as it was.
TEST_F(CcidExchangeTest, WrongTypeOrSlotIsRefused) {
  // The reader's injected answers for another slot answer no command.
  bench_.ExpectProtocolError(ccid_test::kRuleAnswerWithoutCommand);
  for (sim::FaultKind kind : {sim::FaultKind::WrongMessageType, sim::FaultKind::WrongSlot}) {
    SCOPED_TRACE(std::string(sim::FaultName(kind)));
    bench_.Reader().AddFault({kind, 0, CCID_PC_TO_RDR_ICC_POWER_OFF});
    bench_.Bus().ClearTransfers();
    const Exchanged out = Run(sim::ccid::BuildMessage(CCID_PC_TO_RDR_ICC_POWER_OFF, 0, 0, 0, 0, 0, {}),
                              CCID_RDR_TO_PC_SLOT_STATUS, /*wantReply=*/false);
    EXPECT_EQ(out.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(out.header.bMessageType, CCID_RDR_TO_PC_SLOT_STATUS);
    EXPECT_EQ(out.header.dwLength.Get(), 0u);
    EXPECT_EQ(BulkInReads(), (std::vector<ULONG>{64}));
  }
}

// bError and bStatus of a refused command, mapped in the order of the acceptance rules.
struct ErrorRow {
  UCHAR error;
  NTSTATUS status;
};

TEST_F(CcidExchangeTest, ReaderErrorsMapToTheirStatuses) {
  const ErrorRow rows[] = {
      {CCID_ERROR_ICC_MUTE, STATUS_IO_TIMEOUT},
      {CCID_ERROR_PIN_TIMEOUT, STATUS_IO_TIMEOUT},
      {CCID_ERROR_HW_ERROR, STATUS_DEVICE_PROTOCOL_ERROR},
      {CCID_ERROR_NONE, STATUS_ADAPTER_HARDWARE_ERROR},
      {0xEF, STATUS_UNSUCCESSFUL},
  };
  bench_.InsertCard("t0");
  bench_.WaitInterruptIdle();
  for (const ErrorRow& row : rows) {
    SCOPED_TRACE("bError " + std::to_string(row.error));
    bench_.Reader().AddFault({sim::FaultKind::ErrorCode, row.error, CCID_PC_TO_RDR_ICC_POWER_OFF});
    const Exchanged out = Run(sim::ccid::BuildMessage(CCID_PC_TO_RDR_ICC_POWER_OFF, 0, 0, 0, 0, 0, {}),
                              CCID_RDR_TO_PC_SLOT_STATUS, false);
    EXPECT_EQ(out.status, row.status);
  }
}

// Without a card an escape is still answered. Any other response that reports no card sets
// the reader state to SCARD_ABSENT and fails with STATUS_NO_MEDIA, the reader's ICC_MUTE
// power-on answer for an empty slot included.
TEST_F(CcidExchangeTest, NoCardFailsEveryCommandButTheEscape) {
  EXPECT_EQ(Escape(2).status, STATUS_SUCCESS);

  SCARD_READER_CAPABILITIES& capabilities = bench_.Smartcard()->ReaderCapabilities;
  capabilities.CurrentState = SCARD_SWALLOWED;
  const Bytes powerOn = sim::ccid::BuildMessage(CCID_PC_TO_RDR_ICC_POWER_ON, 0, 0, 0, 0, 0, {});
  Exchanged out = Run(powerOn, CCID_RDR_TO_PC_DATA_BLOCK);
  EXPECT_EQ(out.status, STATUS_NO_MEDIA);
  EXPECT_FALSE(out.replySet);
  EXPECT_EQ(capabilities.CurrentState, ULONG{SCARD_ABSENT}) << "an empty slot is no card, not a mute one";
  capabilities.CurrentState = SCARD_SWALLOWED;

  bench_.Reader().AddFault({sim::FaultKind::ErrorCode, 0x07, CCID_PC_TO_RDR_ICC_POWER_ON});
  out = Run(powerOn, CCID_RDR_TO_PC_DATA_BLOCK);
  EXPECT_EQ(out.status, STATUS_NO_MEDIA);
  EXPECT_EQ(capabilities.CurrentState, ULONG{SCARD_ABSENT});
}

// Expected type 0 takes any response as it comes, errors included, header and payload.
TEST_F(CcidExchangeTest, RawExchangeAcceptsAnErrorResponseAsItIs) {
  const Exchanged out = Run(sim::ccid::BuildMessage(CCID_PC_TO_RDR_ICC_POWER_ON, 0, 0, 0, 0, 0, {}),
                            CCID_ANY_RESPONSE);
  ASSERT_EQ(out.status, STATUS_SUCCESS);
  EXPECT_EQ(out.header.bMessageType, CCID_RDR_TO_PC_DATA_BLOCK);
  EXPECT_EQ(out.header.bStatus & CCID_ICC_STATUS_MASK, CCID_ICC_STATUS_NO_CARD);
  EXPECT_NE(out.header.bStatus & CCID_STATUS_FAILED_BIT, 0);
}

// A reader that announces more than it sends: the bytes that never came are zeros, never
// pool contents, and ReplyLength is what the header announced.
TEST_F(CcidExchangeTest, ShortPayloadLeavesZerosWhereNothingArrived) {
  bench_.Reader().AddFault({sim::FaultKind::ShortPayload, 5, CCID_PC_TO_RDR_ESCAPE});
  const Exchanged out = Escape(100);
  ASSERT_EQ(out.status, STATUS_SUCCESS);
  ASSERT_EQ(out.replyLength, 100u);
  EXPECT_TRUE(std::equal(reply_.begin(), reply_.begin() + 95, out.reply.begin()));
  EXPECT_EQ(Bytes(out.reply.begin() + 95, out.reply.end()), Bytes(5, 0));
}

// A reader that sends more than it announced cannot write past the reply block: the
// remainder read asks for what was announced plus one byte. One extra byte lands in that
// spare byte and the reply is whole; a packet beyond it is babble that the USB stack
// refuses, so the exchange fails and hands back no block. The pool's guard bytes would
// report any write past the block.
TEST_F(CcidExchangeTest, LongPayloadNeverOverrunsTheReplyBlock) {
  for (std::uint32_t extra : {1u, 10u, 200u}) {
    SCOPED_TRACE("extra " + std::to_string(extra));
    bench_.Reader().AddFault({sim::FaultKind::LongPayload, extra, CCID_PC_TO_RDR_ESCAPE});
    const Exchanged out = Escape(100);
    if (extra == 1) {
      ASSERT_EQ(out.status, STATUS_SUCCESS);
      EXPECT_EQ(out.replyLength, 100u);
      EXPECT_EQ(out.reply, reply_);
    } else {
      EXPECT_FALSE(NT_SUCCESS(out.status)) << "the babble fails the remainder read";
      EXPECT_FALSE(out.replySet) << "a failed remainder read frees the block";
      EXPECT_EQ(out.replyLength, 0u);
    }
  }
}

// A failed read halts the bulk-in pipe in the USB stack, as a Windows host controller
// halts the endpoint; the exchange resets that pipe before it returns, so the reader's next
// exchange works instead of failing on the halted pipe until the reader is unplugged.
struct FailedReadRow {
  const char* name;
  sim::Fault fault;
  USBD_STATUS usbd;  // how the failed read ended in the stack
};

TEST_F(CcidExchangeTest, FailedReadResetsBulkInAndTheNextExchangeSucceeds) {
  // A failed read leaves its command unanswered; the next exchange goes ahead.
  bench_.ExpectProtocolError(ccid_test::kRuleCommandWhileOutstanding);
  const FailedReadRow rows[] = {
      {"answer longer than announced", {sim::FaultKind::LongPayload, 10, CCID_PC_TO_RDR_ESCAPE},
       USBD_STATUS_DATA_OVERRUN},
      {"stall on bulk-in", {sim::FaultKind::StallBulkIn, 0, CCID_PC_TO_RDR_ESCAPE}, USBD_STATUS_STALL_PID},
  };
  const UCHAR bulkIn = bench_.Reader().BulkInAddress();
  for (const FailedReadRow& row : rows) {
    SCOPED_TRACE(row.name);
    bench_.Bus().ClearTransfers();
    bench_.Reader().AddFault(row.fault);
    const Exchanged failed = Escape(100);
    EXPECT_NE(failed.status, STATUS_SUCCESS);
    EXPECT_FALSE(failed.replySet);

    // The failed read, then the reset of its pipe before anything else.
    const auto transfers = bench_.Bus().Transfers();
    const auto read = std::find_if(transfers.begin(), transfers.end(),
                                   [&](const TransferRecord& r) { return r.usbdStatus == row.usbd; });
    ASSERT_NE(read, transfers.end());
    EXPECT_EQ(read->endpoint, bulkIn);
    ASSERT_NE(read + 1, transfers.end());
    EXPECT_EQ(read[1].urbFunction, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL);
    EXPECT_EQ(read[1].endpoint, bulkIn);

    const Exchanged next = Escape(7);
    EXPECT_EQ(next.status, STATUS_SUCCESS);
    EXPECT_EQ(next.reply, reply_);
  }
  EXPECT_TRUE(bench_.Reader().HostErrors().empty());
}

// A read that brings fewer bytes than a header carries no response: it is read past, never
// judged. Garbage of 5 bytes in place of the answer leaves the exchange waiting for a
// response that never comes, so it times out instead of acting on stale frame bytes.
TEST_F(CcidExchangeTest, ShortReadIsNeverTakenForAHeader) {
  // The garbage the reader sends instead of an answer leaves the command unanswered.
  bench_.ExpectProtocolError(ccid_test::kRuleCommandWhileOutstanding);
  bench_.Reader().AddFault({sim::FaultKind::Garbage, 5, CCID_PC_TO_RDR_ESCAPE});
  const Exchanged out = Escape(2);
  EXPECT_EQ(out.status, STATUS_TIMEOUT);
  EXPECT_FALSE(out.replySet);
  std::vector<std::size_t> received;
  for (const TransferRecord& record : bench_.Bus().Transfers()) {
    if (record.type == TransferType::Bulk && record.in) received.push_back(record.data.size());
  }
  ASSERT_GE(received.size(), 2u);
  EXPECT_EQ(received[0], 5u) << "the garbage, read past";
  EXPECT_EQ(Escape(3).status, STATUS_SUCCESS) << "the pipe is usable afterwards";
}

// A reader that falls silent: the read that waits for the answer, or for the message after
// a time extension, ends exactly ExchangeTimeout after it began (not a tick earlier; the
// USB frames of the command and of the time extensions go before it), the
// bulk-in pipe is aborted, and the next command works.
struct SilenceRow {
  const char* name;
  std::uint32_t timeExtensions;  // sent before the silence
};

TEST_F(CcidExchangeTest, UnansweredCommandTimesOutAndAbortsTheBulkInPipe) {
  // A timed-out command stays unanswered; the next exchange goes ahead.
  bench_.ExpectProtocolError(ccid_test::kRuleCommandWhileOutstanding);
  const SilenceRow rows[] = {{"no answer", 0}, {"silent after a time extension", 1}, {"silent after three", 3}};
  for (const SilenceRow& row : rows) {
    SCOPED_TRACE(row.name);
    bench_.Bus().ClearTransfers();
    bench_.Reader().AddFault({sim::FaultKind::NoAnswer, 0, CCID_PC_TO_RDR_ESCAPE});
    if (row.timeExtensions != 0)
      bench_.Reader().AddFault({sim::FaultKind::TimeExtensions, row.timeExtensions, CCID_PC_TO_RDR_ESCAPE});
    Exchanged out;
    // On the bus's clock the command takes its frame and each time extension the frame it
    // is read in before the last read begins.
    const std::int64_t frames = 1 + row.timeExtensions;
    ccid_test::ExpectEndsExactlyAfter(
        (bench_.Extension()->ExchangeTimeout + frames) * hosted::Clock::kTicksPerMillisecond, [&] { out = Escape(5); });
    EXPECT_EQ(out.status, STATUS_TIMEOUT);
    EXPECT_FALSE(out.replySet);
    EXPECT_EQ(BulkInReads().size(), row.timeExtensions + 1u);
    EXPECT_EQ(AbortsOf(bench_.Reader().BulkInAddress()), 1u);

    const Exchanged next = Escape(6);
    EXPECT_EQ(next.status, STATUS_SUCCESS);
    EXPECT_EQ(next.reply, reply_);
  }
}

// A command that cannot be written (the bulk-out pipe stalls) resets both bulk pipes.
TEST_F(CcidExchangeTest, FailedWriteResetsBothBulkPipes) {
  // The reader stalls the command's last packet and never answers it.
  bench_.ExpectProtocolError(ccid_test::kRuleCommandWhileOutstanding);
  bench_.Reader().AddFault({sim::FaultKind::StallBulkOut, 0, CCID_PC_TO_RDR_ESCAPE});
  const Exchanged out = Escape(5);
  EXPECT_NE(out.status, STATUS_SUCCESS);
  std::vector<UCHAR> resets;
  for (const TransferRecord& record : bench_.Bus().Transfers()) {
    if (record.urbFunction == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL) resets.push_back(record.endpoint);
  }
  EXPECT_EQ(resets, (std::vector<UCHAR>{bench_.Reader().BulkOutAddress(), bench_.Reader().BulkInAddress()}));
  EXPECT_EQ(Escape(4).status, STATUS_SUCCESS);
}

// Commands longer than 4096 bytes go down in chunks of 4096.
TEST_F(CcidExchangeTest, LongCommandIsWrittenInChunksOf4096Bytes) {
  // The command is longer than the reader's dwMaxCCIDMessageLength on purpose.
  bench_.ExpectProtocolError("dwLength does not match the transfer or exceeds dwMaxCCIDMessageLength");
  Bytes command = sim::ccid::BuildMessage(CCID_PC_TO_RDR_ESCAPE, 0, 0, 0, 0, 0, Pattern(4990));
  (void)Run(command, CCID_RDR_TO_PC_ESCAPE, false);
  std::vector<ULONG> writes;
  for (const TransferRecord& record : bench_.Bus().Transfers()) {
    if (record.type == TransferType::Bulk && !record.in) writes.push_back(record.requested);
  }
  EXPECT_EQ(writes, (std::vector<ULONG>{4096, 904}));
}

// The exchange lock serialises senders: a second thread's exchange waits until the first
// thread's sequence number and exchange are through, so the reader never sees two commands
// at once and every answer matches its command.
TEST_F(CcidExchangeTest, ExchangeLockSerialisesSendersWithTheirSequenceNumbers) {
  reply_ = Pattern(9);
  bench_.Reader().SetEscapeReply({kEscapeRequest}, reply_);
  bench_.Reader().AddFault({sim::FaultKind::TimeExtensions, 2, CCID_PC_TO_RDR_ESCAPE, 0, 0});
  const Bytes escape = sim::ccid::BuildMessage(CCID_PC_TO_RDR_ESCAPE, 0, 0, 0, 0, 0, Bytes{kEscapeRequest});
  std::vector<Exchanged> results(8);
  // Kernel threads: their waits for the bus's frames are kernel waits that virtual time sees.
  std::vector<std::unique_ptr<hosted::KernelThread>> senders;
  for (std::size_t i = 0; i < results.size(); ++i) {
    senders.push_back(std::make_unique<hosted::KernelThread>(
        "sender", [&, i] { results[i] = Run(escape, CCID_RDR_TO_PC_ESCAPE); }));
  }
  for (auto& sender : senders) sender->Join();

  std::vector<UCHAR> sequences;
  for (const Exchanged& out : results) {
    EXPECT_EQ(out.status, STATUS_SUCCESS);
    EXPECT_EQ(out.reply, reply_);
    sequences.push_back(out.header.bSeq);
  }
  std::sort(sequences.begin(), sequences.end());
  EXPECT_EQ(std::adjacent_find(sequences.begin(), sequences.end()), sequences.end()) << "one number per sender";
  EXPECT_TRUE(bench_.Reader().HostErrors().empty()) << "no interleaved messages on the bulk pipes";
}

}  // namespace

// The hostile reader matrix: every fault the simulated reader can commit against every
// request the driver sends it. Each cell sets up a fresh reader, arms the fault for the
// request's message (or class request, or interrupt message), sends the request through
// the application's door and checks: the status its letter names, an end on virtual
// time (a hang shows as the scheduler's deadlock report or as the deadline below), the
// fault really fired, the same request working again once the reader behaves (unless
// the reader left the bus), no pool overrun or leak (the pool's guards, checked as the
// blocks are freed and at unload), and the referee's rules apart from those the row
// names as the fault's own consequence.

#include <gtest/gtest.h>

#include <kernel_test_support.h>

#include <functional>
#include <string>

#include "CcidFeatures.h"
#include "CcidIoctl.h"
#include "driver_bench.h"
#include "reader/ccid_wire.h"
#include "scard.h"

namespace {

using ccid_test::Bytes;
using ccid_test::ReaderBench;
using sim::FaultKind;
namespace ccid = sim::ccid;

const Bytes kSelectApp = {0x00, 0xA4, 0x04, 0x00, 0x08, 0xF0, 0x43, 0x43, 0x49, 0x44, 0x53, 0x49, 0x4D};
constexpr std::int64_t kMinute = 60 * hosted::Clock::kTicksPerSecond;

// One cell's reader: plugged (unless the request is the start), a card in, a handle open
// and, when the request wants one, a protocol.
struct Cell {
  ReaderBench bench;
  std::unique_ptr<scard::Reader> reader;
  explicit Cell(const char* profile) : bench(profile) {}
};

NTSTATUS Transmit(Cell& c) {
  const scard::Response r = c.reader->Transmit(kSelectApp);
  // The card's answer: 90 00, or 61 xx for a T=0 card with response data waiting. A
  // success carrying anything else is a wrong answer.
  if (NT_SUCCESS(r.status) && r.StatusWord() != 0x9000 && (r.StatusWord() >> 8) != 0x61) return STATUS_DATA_ERROR;
  return r.status;
}

NTSTATUS Control(Cell& c, ULONG code, const Bytes& input, ULONG output) {
  return c.reader->Control(code, input, output).status;
}

// The oldest interrupt message the driver kept for the application, after the ring was
// emptied and the reader's message (made by `send`) went over the pipe; a read left
// parked (the driver kept nothing) is cancelled.
NTSTATUS ReadEvent(Cell& c, const std::function<void()>& send) {
  for (;;) {
    auto request = c.reader->ControlAsync(IOCTL_CCID_READ_EVENT, {}, 8);
    hosted::Scheduler::Settle();
    if (!request->Done()) {
      request->Cancel();
      request->Wait();
      (void)request->Result();
      break;
    }
    (void)request->Result();
  }
  send();
  c.bench.WaitInterruptIdle();
  auto request = c.reader->ControlAsync(IOCTL_CCID_READ_EVENT, {}, 8);
  hosted::Scheduler::Settle();
  if (!request->Done()) request->Cancel();
  request->Wait();
  return request->Result().status;
}

// The requests, one column each.
struct Request {
  const char* name;
  const char* profile;
  const char* card;
  ULONG protocol;          // connected with it first; 0: the handle only
  std::uint8_t command;    // the bMessageType bulk faults aim at; 0: none
  std::uint8_t classRequest;  // the bRequest control faults aim at; 0: none
  bool interrupt;          // interrupt-message faults apply
  std::function<NTSTATUS(Cell&)> run;
};

const Bytes kSlotStatus = {ccid::kGetSlotStatus, 0, 0, 0, 0, 0, 0x77, 0, 0, 0};

const Request kRequests[] = {
    {"start", "tpdu-basic", nullptr, 0, ccid::kEscape, 0, false,
     [](Cell& c) {
       const NTSTATUS status = c.bench.Node().Plug();
       if (NT_SUCCESS(status)) c.bench.WaitInterruptIdle();
       return status;
     }},
    {"power up", "tpdu-basic", "t0", 0, ccid::kIccPowerOn, 0, false,
     [](Cell& c) { return c.reader->Power(SCARD_COLD_RESET); }},
    {"power down", "tpdu-basic", "t0", SCARD_PROTOCOL_T0, ccid::kIccPowerOff, 0, false,
     [](Cell& c) { return c.reader->Power(SCARD_POWER_DOWN); }},
    {"warm reset", "tpdu-basic", "t0", SCARD_PROTOCOL_T0, ccid::kIccPowerOn, 0, false,
     [](Cell& c) { return c.reader->Power(SCARD_WARM_RESET); }},
    {"transmit T=0", "tpdu-basic", "t0", SCARD_PROTOCOL_T0, ccid::kXfrBlock, 0, false, Transmit},
    {"transmit T=1", "tpdu-basic", "t1-ifsc32", SCARD_PROTOCOL_T1, ccid::kXfrBlock, 0, false, Transmit},
    {"transmit APDU", "apdu-short", "t0", SCARD_PROTOCOL_T0, ccid::kXfrBlock, 0, false, Transmit},
    {"set protocol", "tpdu-basic", "t1-ifsc32", 0, ccid::kSetParameters, 0, false,
     [](Cell& c) {
       const NTSTATUS status = c.reader->Power(SCARD_COLD_RESET);
       return NT_SUCCESS(status) ? c.reader->SetProtocol(SCARD_PROTOCOL_T1) : status;
     }},
    {"PIN verify", "pinpad-lcd", "t1-ifsc32", SCARD_PROTOCOL_T1, ccid::kSecure, 0, false,
     [](Cell& c) {
       c.bench.Reader().TypeKeys("1234#");
       const hosted::UserIoResult r = c.reader->Control(IOCTL_FEATURE_VERIFY_PIN_DIRECT, ccid_test::KeypadVerifyStructure(), 2);
       if (NT_SUCCESS(r.status) && (r.information != 2 || r.output[0] != 0x90 || r.output[1] != 0x00)) {
         return STATUS_DATA_ERROR;
       }
       return r.status;
     }},
    {"escape", "pinpad-lcd", nullptr, 0, ccid::kEscape, 0, false,
     [](Cell& c) { return Control(c, IOCTL_FEATURE_CCID_ESC_COMMAND, {0x01}, 64); }},
    {"raw transfer", "tpdu-basic", "t0", 0, ccid::kGetSlotStatus, 0, false,
     [](Cell& c) { return Control(c, IOCTL_CCID_TRANSFER, kSlotStatus, 64); }},
    {"abort", "tpdu-basic", "t0", 0, ccid::kAbort, 1, false,
     [](Cell& c) { return Control(c, IOCTL_CCID_ABORT, {0x00}, 0); }},
    {"clock frequencies", "pinpad-lcd", nullptr, 0, 0, 2, false,
     [](Cell& c) { return Control(c, IOCTL_CCID_GET_CLOCK_FREQUENCIES, {}, 64); }},
    {"data rates", "pinpad-lcd", nullptr, 0, 0, 3, false,
     [](Cell& c) { return Control(c, IOCTL_CCID_GET_DATA_RATES, {}, 64); }},
    {"event read", "tpdu-basic", nullptr, 0, 0, 0, true, nullptr},
};
constexpr std::size_t kColumns = std::size(kRequests);

// The faults, one row each. `expect` has a letter per request column: S success, E an
// error status, * either (the fault may be harmless there), - the fault cannot apply.
struct FaultRow {
  const char* name;
  enum class Target { Bulk, Control, Interrupt } target;
  sim::Fault fault;          // Bulk: matched to the request's command
  sim::ControlFault control;  // Control: matched to the request's class request
  Bytes interrupt;           // Interrupt: the message the reader sends (empty: hardware error)
  const char* expect;
  std::vector<std::string> rules;  // referee rules the fault itself leads to
  bool unplugs = false;
  bool cardGone = false;  // the card is gone, or the reader said so: no request of it works after
};

using Target = FaultRow::Target;
const std::vector<std::string> kNone;
const std::vector<std::string> kLostAnswer = {ccid_test::kRuleCommandWhileOutstanding};
const std::vector<std::string> kStrayAnswer = {ccid_test::kRuleAnswerWithoutCommand};
// An answer the driver rejects, as the referee sees it: an answer to nothing, and the
// next command sent while the first is unanswered.
const std::vector<std::string> kBogusAnswer = {ccid_test::kRuleAnswerWithoutCommand,
                                               ccid_test::kRuleCommandWhileOutstanding};

sim::Fault F(FaultKind kind, std::uint32_t value = 0) { return sim::Fault{kind, value}; }
sim::ControlFault C(sim::ControlFault::Action action, std::size_t length = 0, Bytes data = {}) {
  sim::ControlFault f;
  f.action = action;
  f.length = length;
  f.data = std::move(data);
  return f;
}

//                                            start, up, down, warm, T=0, T=1, APDU, set, PIN, esc, raw, abort, clk, rate, event
const FaultRow kFaults[] = {
    {"no answer", Target::Bulk, F(FaultKind::NoAnswer), {}, {}, "SSESEEESEEEE---", kLostAnswer},
    {"stale answer first", Target::Bulk, F(FaultKind::StaleAnswerFirst, 4), {}, {}, "SSSSSSSSSSSS---", kStrayAnswer},
    {"answer from the future", Target::Bulk, F(FaultKind::FutureAnswer), {}, {}, "SSESEEESEEEE---", kBogusAnswer},
    {"wrong message type", Target::Bulk, F(FaultKind::WrongMessageType), {}, {}, "SSESEEESEESE---", kBogusAnswer},
    {"wrong slot", Target::Bulk, F(FaultKind::WrongSlot), {}, {}, "SSESEEESEESE---", kBogusAnswer},
    {"ICC mute", Target::Bulk, F(FaultKind::ErrorCode, 0xFE), {}, {}, "SSESEEESEESE---", kNone},
    {"hardware error", Target::Bulk, F(FaultKind::ErrorCode, 0xFB), {}, {}, "SSESESESEESE---", kNone},
    {"command not supported", Target::Bulk, F(FaultKind::ErrorCode, 0x00), {}, {}, "SSESEEESEESE---", kNone},
    {"PIN cancelled", Target::Bulk, F(FaultKind::ErrorCode, 0xEF), {}, {}, "SSESEEESEESE---", kNone},
    {"failed, no error", Target::Bulk, F(FaultKind::StatusAndError, 0x0040), {}, {}, "SSESEEESEESE---", kNone},
    {"reserved command status", Target::Bulk, F(FaultKind::StatusAndError, 0x00C0), {}, {}, "S***********---", kNone},
    {"no card, no error", Target::Bulk, F(FaultKind::StatusAndError, 0x0002), {}, {}, "S***********---", kNone, false, true},
    {"time extensions", Target::Bulk, F(FaultKind::TimeExtensions, 3), {}, {}, "SSSSSSSSSSSS---", kNone},
    {"many time extensions", Target::Bulk, F(FaultKind::TimeExtensions, 1000), {}, {}, "SSSSSSSSSSSS---", kNone},
    {"fewer bytes than dwLength", Target::Bulk, F(FaultKind::ShortPayload, 2), {}, {}, "S***********---", kNone},
    {"more bytes than dwLength", Target::Bulk, F(FaultKind::LongPayload, 70), {}, {}, "S***********---", kNone},
    {"dwLength of 4 GiB", Target::Bulk, F(FaultKind::LengthLie, 0xFFFFFFFF), {}, {}, "SSSSEEESEEES---", kNone},
    {"dwLength past the packet", Target::Bulk, F(FaultKind::LengthLie, 300), {}, {}, "SSSSEEESEEES---", kNone},
    {"missing zero-length packet", Target::Bulk, F(FaultKind::NoZeroLengthPacket), {}, {}, "SSSSSSSSSSSS---", kNone},
    {"zero-length answer", Target::Bulk, F(FaultKind::ZeroLengthAnswer), {}, {}, "SSESEEESEEEE---", kLostAnswer},
    {"bulk-in stall", Target::Bulk, F(FaultKind::StallBulkIn), {}, {}, "SSESEEESEEEE---", kLostAnswer},
    {"bulk-out stall", Target::Bulk, F(FaultKind::StallBulkOut), {}, {}, "SSESEEESEEEE---", kLostAnswer},
    {"garbage", Target::Bulk, F(FaultKind::Garbage, 7), {}, {}, "SSESEEESEEEE---", kBogusAnswer},
    {"byte garbled towards the host", Target::Bulk, F(FaultKind::CorruptToHost, 3), {}, {}, "S***********---", kNone},
    {"card pulled out", Target::Bulk, F(FaultKind::CardPulled, 1), {}, {}, "-EEEEEE*E***---", kNone, false, true},
    {"unplug on command", Target::Bulk, F(FaultKind::UnplugOnCommand), {}, {}, "EEEEEEE*EEEE---", kNone, true},
    {"unplug mid-answer", Target::Bulk, F(FaultKind::UnplugMidAnswer, 0), {}, {}, "EEEEEEE*EEEE---", kNone, true},
    {"class request stall", Target::Control, {}, C(sim::ControlFault::Action::Stall), {}, "-----------EEE-", kNone},
    {"class answer cut short", Target::Control, {}, C(sim::ControlFault::Action::Truncate, 3), {}, "-----------*SS-",
     kNone},
    {"class answer of garbage", Target::Control, {}, C(sim::ControlFault::Action::Replace, 0, Bytes(64, 0xA5)), {},
     "-----------*SS-", kNone},
    {"slot change", Target::Interrupt, {}, {}, Bytes{0x50, 0x03}, "--------------S", kNone},
    {"hardware error message", Target::Interrupt, {}, {}, Bytes{0x51, 0x00, 0x00, 0x01}, "--------------S", kNone},
    {"unknown interrupt message", Target::Interrupt, {}, {}, Bytes{0x7E, 1, 2, 3, 4, 5, 6, 7}, "--------------*",
     kNone},
    {"one-byte interrupt message", Target::Interrupt, {}, {}, Bytes{0x50}, "--------------*", kNone},
};

bool Expected(char letter, NTSTATUS status) {
  return letter == '*' || (letter == 'S') == NT_SUCCESS(status);
}

// Plugs the cell's reader and opens it as the request needs.
void SetUp(Cell& c, const Request& request) {
  if (std::string(request.name) == "start") return;
  ASSERT_EQ(c.bench.Plug(), STATUS_SUCCESS);
  if (request.card != nullptr) {
    c.bench.InsertCard(request.card);
    c.bench.WaitInterruptIdle();
  }
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  c.reader = c.bench.Open(&status);
  ASSERT_NE(c.reader, nullptr);
  if (request.protocol != 0) {
    ASSERT_EQ(c.reader->Connect(scard::Share::Exclusive, request.protocol), STATUS_SUCCESS);
  }
}

// One cell; returns its outcome for the count.
void RunCell(const FaultRow& row, const Request& request, char letter) {
  Cell c(request.profile);
  SetUp(c, request);
  if (::testing::Test::HasFatalFailure()) return;
  for (const std::string& rule : row.rules) c.bench.ExpectProtocolError(rule);
  if (row.unplugs) c.bench.ExpectProtocolError(ccid_test::kRuleCommandWhileOutstanding);

  std::function<NTSTATUS()> run = [&] { return request.run(c); };
  switch (row.target) {
    case Target::Bulk: {
      sim::Fault fault = row.fault;
      fault.match = request.command;
      c.bench.Reader().AddFault(fault);
      break;
    }
    case Target::Control: {
      sim::ControlFault fault = row.control;
      fault.request = request.classRequest;
      c.bench.Reader().AddControlFault(fault);
      break;
    }
    case Target::Interrupt:
      run = [&] {
        return ReadEvent(c, [&] {
          if (row.interrupt[0] == 0x51) {
            c.bench.Reader().HardwareFault();
          } else {
            c.bench.Reader().InjectInterrupt(row.interrupt);
          }
        });
      };
      break;
  }
  const std::int64_t start = hosted::Clock::Now();
  const NTSTATUS status = run();
  EXPECT_LT(hosted::Clock::Now() - start, 10 * kMinute) << "the request ends on its own";
  EXPECT_TRUE(Expected(letter, status)) << "status 0x" << std::hex << status << ", expected " << letter;
  if (row.target != Target::Interrupt) {
    EXPECT_FALSE(c.bench.Reader().FaultsFired().empty()) << "the fault never fired";
  }
  c.bench.Reader().ClearFaults();
  if (!row.unplugs && !row.cardGone) {
    if (request.interrupt) {
      EXPECT_EQ(ReadEvent(c, [&] { c.bench.InsertCard("t0"); }), STATUS_SUCCESS) << "the next event read";
    } else if (std::string(request.name) == "start") {
      EXPECT_EQ(c.bench.Node().State() == hosted::PnpState::Started ? c.bench.Node().Rebalance() : c.bench.Plug(),
                STATUS_SUCCESS)
          << "the next start";
    } else {
      if (c.reader->ActiveProtocol() == 0 && request.protocol != 0) {
        (void)c.reader->Connect(scard::Share::Exclusive, request.protocol);
      }
      EXPECT_EQ(run(), STATUS_SUCCESS) << "the same request once the reader behaves";
    }
  }
  c.reader.reset();
  if (row.unplugs && c.bench.Node().State() != hosted::PnpState::NotAdded) {
    EXPECT_TRUE(ccid_test::WaitUntil([&] { return c.bench.Node().State() == hosted::PnpState::Deleted; }))
        << "the removal of the reader that left";
  }
  EXPECT_EQ(c.bench.Finish(), 0u);
}

TEST(HostileReader, EveryFaultAgainstEveryRequest) {
  std::size_t cells = 0;
  for (const FaultRow& row : kFaults) {
    ASSERT_EQ(std::string(row.expect).size(), kColumns) << row.name;
    for (std::size_t column = 0; column < kColumns; ++column) {
      const char letter = row.expect[column];
      if (letter == '-') continue;
      SCOPED_TRACE(std::string(row.name) + " x " + kRequests[column].name + " (expect " + letter + ")");
      RunCell(row, kRequests[column], letter);
      ++cells;
    }
  }
  std::printf("hostile reader matrix: %zu cells (%zu faults x %zu requests)\n", cells, std::size(kFaults), kColumns);
}

}  // namespace

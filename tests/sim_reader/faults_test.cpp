// Scripted faults, each seen by the host at packet level, and the rules that choose the
// command a fault fires on.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "reader_host.h"
#include "scripted_card.h"

namespace reader_test {
namespace {

using sim::CcidReader;
using sim::Fault;
using sim::FaultKind;
using hosted::usb::Handshake;

constexpr std::uint8_t kSeq = 0x20;

struct Bench {
  Bench() : reader(CcidReader::FromCatalogue("tpdu-basic")), host(*reader) {
    EXPECT_TRUE(host.Configure());
    Bytes reply(20);
    for (std::size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<std::uint8_t>(0xA0 + i);
    reader->SetEscapeReply({0x20}, reply);
    reader->SetEscapeReply({0x54}, Bytes(54, 0x54));  // a 64-byte answer
    reader->SetEscapeReply({0x76}, Bytes(118, 0x76));  // a 128-byte answer
  }
  std::unique_ptr<CcidReader> reader;
  TestHost host;
};

struct FaultRow {
  const char* name;
  Fault fault;
  Bytes command;  // sent with bSeq kSeq
  std::function<void(Bench&)> check;
};

Bytes Escape(std::uint8_t selector) { return Cmd(0x6B, kSeq, {selector}); }
Bytes SlotStatus() { return Cmd(0x65, kSeq); }

void ExpectFailure(Bench& b, std::uint8_t error) {
  auto m = b.host.Read();
  ASSERT_TRUE(m);
  ASSERT_EQ(m->size(), 10u);
  EXPECT_EQ((*m)[6], kSeq);
  EXPECT_EQ((*m)[7], 0x42);
  EXPECT_EQ((*m)[8], error);
}

class ReaderFault : public testing::TestWithParam<FaultRow> {};

TEST_P(ReaderFault, SeenAtPacketLevel) {
  const FaultRow& row = GetParam();
  Bench b;
  b.reader->AddFault(row.fault);
  const Handshake sent = b.host.Send(row.command);
  if (row.fault.kind != FaultKind::StallBulkOut) {
    ASSERT_EQ(sent, Handshake::Ack);
  }
  row.check(b);
  EXPECT_EQ(b.reader->FaultCount(row.fault.kind), 1u);
  const auto fired = b.reader->FaultsFired();
  ASSERT_EQ(fired.size(), 1u);
  EXPECT_EQ(fired[0].seq, kSeq);
  EXPECT_EQ(fired[0].command, row.command[0]);
  if (b.reader->Unplugged()) return;
  // Afterwards the reader answers normally again.
  b.reader->ClearHalt(0x81);
  b.reader->ClearHalt(0x02);
  while (b.host.Read()) {
  }
  auto next = b.host.Exchange(Cmd(0x65, kSeq + 1));
  ASSERT_TRUE(next);
  EXPECT_EQ((*next)[6], kSeq + 1);
  EXPECT_EQ((*next)[7], 0x02);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ReaderFault,
    testing::Values(
        FaultRow{"no_answer", {FaultKind::NoAnswer}, SlotStatus(),
                 [](Bench& b) {
                   ReadResult r = b.host.ReadTransfer();
                   EXPECT_EQ(r.end, Handshake::Nak);
                   EXPECT_TRUE(r.packets.empty());
                 }},
        FaultRow{"stale_answer_first", {FaultKind::StaleAnswerFirst, 200}, SlotStatus(),
                 [](Bench& b) {
                   ReadResult stale = b.host.ReadTransfer();
                   ASSERT_EQ(stale.packets.size(), 4u);  // 210 bytes: 64 64 64 18
                   const Bytes m = stale.Joined();
                   EXPECT_EQ(m[0], 0x81);
                   EXPECT_EQ(m[6], kSeq - 1);
                   EXPECT_EQ(sim::ccid::Le32(m, 1), 200u);
                   auto real = b.host.Read();
                   ASSERT_TRUE(real);
                   EXPECT_EQ((*real)[6], kSeq);
                 }},
        FaultRow{"answer_from_the_future", {FaultKind::FutureAnswer}, SlotStatus(),
                 [](Bench& b) { EXPECT_EQ(b.host.Read().value()[6], kSeq + 1); }},
        FaultRow{"wrong_message_type", {FaultKind::WrongMessageType}, SlotStatus(),
                 [](Bench& b) { EXPECT_EQ(b.host.Read().value()[0], 0x80); }},
        FaultRow{"wrong_slot", {FaultKind::WrongSlot}, SlotStatus(),
                 [](Bench& b) { EXPECT_EQ(b.host.Read().value()[5], 1); }},
        FaultRow{"icc_mute", {FaultKind::ErrorCode, 0xFE}, Escape(0x20), [](Bench& b) { ExpectFailure(b, 0xFE); }},
        FaultRow{"hw_error", {FaultKind::ErrorCode, 0xFB}, Escape(0x20), [](Bench& b) { ExpectFailure(b, 0xFB); }},
        FaultRow{"pin_timeout", {FaultKind::ErrorCode, 0xF0}, Escape(0x20), [](Bench& b) { ExpectFailure(b, 0xF0); }},
        FaultRow{"pin_cancelled", {FaultKind::ErrorCode, 0xEF}, Escape(0x20),
                 [](Bench& b) { ExpectFailure(b, 0xEF); }},
        FaultRow{"command_not_supported", {FaultKind::ErrorCode, 0x00}, Escape(0x20),
                 [](Bench& b) { ExpectFailure(b, 0x00); }},
        FaultRow{"time_extensions", {FaultKind::TimeExtensions, 3}, SlotStatus(),
                 [](Bench& b) {
                   for (int i = 0; i < 3; ++i) {
                     auto m = b.host.Read();
                     ASSERT_TRUE(m);
                     EXPECT_EQ((*m)[7], 0x82) << "time extension, no card";
                     EXPECT_EQ((*m)[6], kSeq);
                   }
                   EXPECT_EQ(b.host.Read().value()[7], 0x02);
                 }},
        FaultRow{"fewer_bytes_than_announced", {FaultKind::ShortPayload, 5}, Escape(0x20),
                 [](Bench& b) {
                   const Bytes m = b.host.Read().value();
                   EXPECT_EQ(sim::ccid::Le32(m, 1), 20u);
                   EXPECT_EQ(m.size(), 25u);
                 }},
        FaultRow{"more_bytes_than_announced", {FaultKind::LongPayload, 5}, Escape(0x20),
                 [](Bench& b) {
                   const Bytes m = b.host.Read().value();
                   EXPECT_EQ(sim::ccid::Le32(m, 1), 20u);
                   EXPECT_EQ(m.size(), 35u);
                 }},
        FaultRow{"missing_zero_length_packet", {FaultKind::NoZeroLengthPacket}, Escape(0x54),
                 [](Bench& b) {
                   ReadResult r = b.host.ReadTransfer();
                   ASSERT_EQ(r.packets.size(), 1u);
                   EXPECT_EQ(r.packets[0].size(), 64u);
                   EXPECT_EQ(r.end, Handshake::Nak) << "no zero-length packet ends the transfer";
                 }},
        FaultRow{"bulk_in_stall", {FaultKind::StallBulkIn}, SlotStatus(),
                 [](Bench& b) {
                   Bytes p;
                   EXPECT_EQ(b.reader->InPacket(0x81, p), Handshake::Stall);
                   EXPECT_EQ(b.reader->InPacket(0x81, p), Handshake::Stall);
                   b.reader->ClearHalt(0x81);
                   EXPECT_EQ(b.reader->InPacket(0x81, p), Handshake::Nak) << "the answer is lost";
                 }},
        FaultRow{"bulk_out_stall", {FaultKind::StallBulkOut}, SlotStatus(),
                 [](Bench& b) {
                   EXPECT_EQ(b.reader->OutPacket(0x02, Cmd(0x65, 0x7F)), Handshake::Stall) << "halted";
                   Bytes status(2);
                   ASSERT_EQ(b.host.Control(0x82, 0, 0, 0x02, status).handshake, Handshake::Ack);
                   EXPECT_EQ(status[0], 1);
                   EXPECT_FALSE(b.host.Read()) << "the command was not taken";
                 }},
        FaultRow{"garbage", {FaultKind::Garbage, 7}, SlotStatus(),
                 [](Bench& b) {
                   ReadResult r = b.host.ReadTransfer();
                   ASSERT_EQ(r.packets.size(), 1u);
                   EXPECT_EQ(r.packets[0].size(), 7u);
                   EXPECT_NE(r.packets[0][0], 0x81);
                 }},
        FaultRow{"unplug_in_the_middle_of_the_answer", {FaultKind::UnplugMidAnswer, 1}, Escape(0x76),
                 [](Bench& b) {
                   Bytes p;
                   EXPECT_EQ(b.reader->InPacket(0x81, p), Handshake::Ack);
                   EXPECT_EQ(p.size(), 64u);
                   EXPECT_TRUE(b.reader->Unplugged());
                   EXPECT_EQ(b.reader->InPacket(0x81, p), Handshake::Nak);
                 }},
        FaultRow{"unplug_on_command", {FaultKind::UnplugOnCommand}, SlotStatus(),
                 [](Bench& b) {
                   EXPECT_TRUE(b.reader->Unplugged());
                   EXPECT_FALSE(b.host.Read());
                 }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReaderFaultScript, MatchSkipAndTimes) {
  Bench b;
  b.reader->AddFault({FaultKind::FutureAnswer, 0, 0x6B, 1, 2});  // escapes 2 and 3
  std::vector<int> seen;
  for (std::uint8_t seq = 1; seq <= 5; ++seq) {
    b.host.Exchange(Cmd(0x65, seq));  // slot status: never matched
    auto m = b.host.Exchange(Cmd(0x6B, static_cast<std::uint8_t>(0x40 + seq), {0x20}));
    ASSERT_TRUE(m);
    seen.push_back((*m)[6] - 0x40);
  }
  EXPECT_EQ(seen, (std::vector<int>{1, 3, 4, 4, 5}));
  EXPECT_EQ(b.reader->FaultCount(FaultKind::FutureAnswer), 2u);
}

TEST(ReaderFaultScript, EveryMatchingCommandAndClear) {
  Bench b;
  b.reader->AddFault({FaultKind::ErrorCode, 0xFB, 0, 0, 0});  // times 0: all from now on
  for (std::uint8_t seq = 1; seq <= 3; ++seq) EXPECT_EQ(b.host.Exchange(Cmd(0x65, seq)).value()[8], 0xFB);
  b.reader->ClearFaults();
  EXPECT_EQ(b.host.Exchange(Cmd(0x65, 4)).value()[8], 0x00);
  EXPECT_EQ(b.reader->FaultCount(FaultKind::ErrorCode), 3u);
}

TEST(ReaderTrace, WholeMessagesInOrder) {
  Bench b;
  while (b.host.ReadInterrupt()) {
  }  // the slot state after configuration
  std::vector<hosted::usb::MessageEvent> events;
  b.reader->SetMessageObserver([&](const hosted::usb::MessageEvent& e) { events.push_back(e); });
  b.reader->AddFault({FaultKind::TimeExtensions, 1});
  const Bytes command = Cmd(0x6B, 1, Bytes(150, 'q'));  // three packets on the wire
  ASSERT_TRUE(b.host.Exchange(command));
  // The slot change is queued now but on the record only when the host reads it, after
  // the control transfer that went first on the bus.
  b.reader->InsertCard(std::make_unique<ScriptedCard>(Bytes{0x3B, 0x00}));
  ASSERT_TRUE(b.host.GetDescriptor(1, 0, 18));
  ASSERT_TRUE(b.host.ReadInterrupt());
  ASSERT_EQ(events.size(), 5u);
  for (std::size_t i = 0; i < events.size(); ++i) EXPECT_EQ(events[i].index, i);
  EXPECT_EQ(events[0].type, hosted::usb::TransferType::Bulk);
  EXPECT_FALSE(events[0].in);
  EXPECT_EQ(events[0].endpoint, 0x02);
  EXPECT_EQ(events[0].data, command);
  EXPECT_EQ(events[1].endpoint, 0x81);
  EXPECT_EQ(events[1].data[7], 0x82) << "the time extension";
  EXPECT_EQ(events[2].data[0], 0x83);
  EXPECT_EQ(events[2].data[6], 1);
  EXPECT_EQ(events[3].type, hosted::usb::TransferType::Control);
  EXPECT_TRUE(events[3].in);
  EXPECT_EQ(events[3].setup.bRequest, 6);
  EXPECT_EQ(events[3].data.size(), 18u);
  EXPECT_EQ(events[4].type, hosted::usb::TransferType::Interrupt);
  EXPECT_EQ(events[4].endpoint, 0x83);
  EXPECT_EQ(events[4].data, (Bytes{0x50, 0x03}));
}

TEST(ReaderControlFault, ShortReplacedAndStalledAnswers) {
  using Action = sim::ControlFault::Action;
  auto reader = CcidReader::FromCatalogue("tpdu-basic");
  TestHost host(*reader);
  // A configuration read that succeeds with no byte, once.
  reader->AddControlFault({6, 0x0200, Action::Truncate, 0, {}});
  auto empty = host.GetDescriptor(2, 0, 521);
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
  EXPECT_EQ(host.GetDescriptor(2, 0, 9).value().size(), 9u) << "one-shot";
  // A set with a zero-length descriptor in it.
  const Bytes bad{9, 2, 20, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 3, 0x0B, 0, 0, 0, 0, 0x21};
  reader->AddControlFault({6, 0x0200, Action::Replace, 0, bad});
  EXPECT_EQ(host.GetDescriptor(2, 0, 521).value(), bad);
  // The class descriptor cut short, and every data-rate request stalled.
  ASSERT_TRUE(host.Configure());
  reader->AddControlFault({6, 0x2100, Action::Truncate, 20, {}});
  Bytes desc(54);
  ASSERT_EQ(host.Control(0xA1, 6, 0x2100, 0, desc).handshake, Handshake::Ack);
  EXPECT_EQ(desc.size(), 20u);
  reader->AddControlFault({3, 0xFFFF, Action::Stall, 0, {}, 0});
  for (int i = 0; i < 2; ++i) {
    Bytes rates(16);
    EXPECT_EQ(host.Control(0xA1, 3, 0, 0, rates).handshake, Handshake::Stall);
  }
  EXPECT_EQ(reader->FaultCount(FaultKind::Control), 5u);
}

TEST(ReaderInterrupt, InjectedMessagesGoOutAsTheyAre) {
  auto reader = CcidReader::FromCatalogue("tpdu-basic");
  TestHost host(*reader);
  ASSERT_TRUE(host.Configure());
  host.ReadInterrupt();
  reader->InjectInterrupt({0x50});
  EXPECT_EQ(host.ReadInterrupt(), (Bytes{0x50}));
  EXPECT_FALSE(host.ReadInterrupt());
}

// Cards come and go from another thread while the host talks to the reader: every
// command still gets exactly its answer.
TEST(ReaderConcurrency, CardsComeAndGoWhileTheHostTalks) {
  auto reader = CcidReader::FromCatalogue("tpdu-basic");
  TestHost host(*reader);
  ASSERT_TRUE(host.Configure());
  reader->SetDataReadyCallback([](std::uint8_t) {});
  std::thread cards([&] {
    for (int i = 0; i < 300; ++i) {
      reader->InsertCard(std::make_unique<ScriptedCard>(Bytes{0x3B, 0x00}));
      reader->RemoveCard();
    }
  });
  for (int i = 0; i < 300; ++i) {
    const auto seq = static_cast<std::uint8_t>(i);
    auto m = host.Exchange(Cmd(0x65, seq));
    ASSERT_TRUE(m);
    EXPECT_EQ((*m)[6], seq);
    EXPECT_TRUE((*m)[7] == 0x01 || (*m)[7] == 0x02);
  }
  cards.join();
  EXPECT_FALSE(reader->CardPresent());
}

}  // namespace
}  // namespace reader_test

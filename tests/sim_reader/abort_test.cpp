// The abort handshake (ABORT class request plus PC_to_RDR_Abort with the same slot and
// sequence number) and the busy slot while a command is in progress.
#include <gtest/gtest.h>

#include "reader_host.h"
#include "scripted_card.h"

namespace reader_test {
namespace {

using sim::CcidReader;
using hosted::usb::Handshake;

// A reader whose T=0 card sends `nulls` NULL bytes before answering 90 00: the command
// stays in progress for that many time extensions.
struct SlowBench {
  SlowBench() : reader(CcidReader::FromCatalogue("tpdu-basic")), host(*reader) {
    EXPECT_TRUE(host.Configure());
    auto c = std::make_unique<ScriptedCard>(Bytes{0x3B, 0x00});
    card = c.get();
    reader->InsertCard(std::move(c));
    EXPECT_TRUE(host.Exchange(Cmd(0x62, 1)));
    while (host.ReadInterrupt()) {
    }
  }
  void StartSlowCommand(std::uint8_t seq, int nulls) {
    card->reads.clear();
    for (int i = 0; i < nulls; ++i) card->reads.push_back({0x60});
    card->reads.push_back({0x90, 0x00});
    ASSERT_EQ(host.Send(Cmd(0x6F, seq, {0x00, 0x20, 0x00, 0x00, 0x00})), Handshake::Ack);
  }
  Bytes Next() {
    auto m = host.Read();
    EXPECT_TRUE(m);
    return m.value_or(Bytes(10, 0));
  }
  std::unique_ptr<CcidReader> reader;
  TestHost host;
  ScriptedCard* card = nullptr;
};

void Expect(const Bytes& m, std::uint8_t type, std::uint8_t seq, std::uint8_t status, std::uint8_t error) {
  ASSERT_GE(m.size(), 10u);
  EXPECT_EQ(m[0], type);
  EXPECT_EQ(m[6], seq);
  EXPECT_EQ(m[7], status);
  EXPECT_EQ(m[8], error);
}

TEST(ReaderAbort, RequestThenMessageAbortsTheCommandInProgress) {
  SlowBench b;
  b.StartSlowCommand(5, 10);
  Expect(b.Next(), 0x80, 5, 0x80, 0x01);  // a time extension: still working
  EXPECT_EQ(b.host.AbortRequest(0, 6), Handshake::Ack);
  Expect(b.Next(), 0x80, 5, 0x40, 0xFF);  // the aborted command: CMD_ABORTED
  // Between the request and PC_to_RDR_Abort every other command is refused.
  ASSERT_TRUE(b.host.Send(Cmd(0x65, 7)) == Handshake::Ack);
  Expect(b.Next(), 0x81, 7, 0x40, 0xFF);
  ASSERT_EQ(b.host.Send(Cmd(0x72, 6)), Handshake::Ack);
  Expect(b.Next(), 0x81, 6, 0x00, 0x00);
  EXPECT_FALSE(b.host.Read()) << "nothing more of the aborted command";
  auto status = b.host.Exchange(Cmd(0x65, 8));
  ASSERT_TRUE(status);
  Expect(*status, 0x81, 8, 0x00, 0x00);
}

TEST(ReaderAbort, MessageWithAnotherSequenceNumberIsAHostError) {
  SlowBench b;
  b.StartSlowCommand(5, 10);
  Expect(b.Next(), 0x80, 5, 0x80, 0x01);
  EXPECT_EQ(b.host.AbortRequest(0, 6), Handshake::Ack);
  Expect(b.Next(), 0x80, 5, 0x40, 0xFF);
  ASSERT_EQ(b.host.Send(Cmd(0x72, 7)), Handshake::Ack);
  EXPECT_FALSE(b.host.Read()) << "not the request's PC_to_RDR_Abort: not answered";
  const auto errors = b.reader->HostErrors();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].what, "PC_to_RDR_Abort with a bSeq other than the ABORT request's");
  ASSERT_EQ(b.host.Send(Cmd(0x72, 6)), Handshake::Ack);
  Expect(b.Next(), 0x81, 6, 0x00, 0x00);
  EXPECT_FALSE(b.host.Read());
}

TEST(ReaderAbort, MessageFirstWaitsForTheRequest) {
  SlowBench b;
  ASSERT_EQ(b.host.Send(Cmd(0x72, 9)), Handshake::Ack);
  EXPECT_FALSE(b.host.Read()) << "PC_to_RDR_Abort alone is not answered";
  EXPECT_EQ(b.host.AbortRequest(0, 8), Handshake::Ack);
  EXPECT_FALSE(b.host.Read()) << "a request with another sequence number does not match";
  b.host.ReadyNotifications().clear();
  EXPECT_EQ(b.host.AbortRequest(0, 9), Handshake::Ack);
  EXPECT_FALSE(b.host.ReadyNotifications().empty()) << "the answer is announced";
  Expect(b.Next(), 0x81, 9, 0x00, 0x00);
}

TEST(ReaderAbort, RequestForAnotherSlotOrInterface) {
  SlowBench b;
  EXPECT_EQ(b.host.AbortRequest(1, 1), Handshake::Stall) << "no slot 1";
  EXPECT_EQ(b.host.ControlOut(0x21, 1, 0x0100, 1).handshake, Handshake::Stall) << "no interface 1";
}

TEST(ReaderBusy, CommandWhileAnotherIsInProgress) {
  SlowBench b;
  b.StartSlowCommand(20, 3);
  Expect(b.Next(), 0x80, 20, 0x80, 0x01);
  ASSERT_EQ(b.host.Send(Cmd(0x65, 21)), Handshake::Ack);
  Expect(b.Next(), 0x81, 21, 0x40, 0xE0);  // CMD_SLOT_BUSY
  Expect(b.Next(), 0x80, 20, 0x80, 0x01);
  Expect(b.Next(), 0x80, 20, 0x80, 0x01);
  Bytes done = b.Next();
  Expect(done, 0x80, 20, 0x00, 0x00);
  EXPECT_EQ(Payload(done), (Bytes{0x90, 0x00}));
  EXPECT_EQ(b.reader->Stats().time_extensions, 3u);
}

TEST(ReaderBusy, RemovalEndsTheCommandInProgress) {
  SlowBench b;
  b.StartSlowCommand(30, 5);
  Expect(b.Next(), 0x80, 30, 0x80, 0x01);
  b.reader->RemoveCard();
  Expect(b.Next(), 0x80, 30, 0x42, 0xFE);
  EXPECT_FALSE(b.host.Read());
}

TEST(ReaderBusy, HardwareFaultEndsTheCommandInProgress) {
  SlowBench b;
  b.StartSlowCommand(31, 5);
  Expect(b.Next(), 0x80, 31, 0x80, 0x01);
  b.reader->HardwareFault(0, 0x01);
  Expect(b.Next(), 0x80, 31, 0x41, 0xFB);
  auto irq = b.host.ReadInterrupt();
  ASSERT_TRUE(irq);
  EXPECT_EQ(*irq, (Bytes{0x51, 0x00, 31, 0x01}));
  EXPECT_FALSE(b.reader->CardPowered());
}

}  // namespace
}  // namespace reader_test

// Interrupt-in messages (NotifySlotChange, HardwareError), unplug, bus reset and remote
// wake-up.
#include <gtest/gtest.h>

#include "reader_host.h"
#include "scripted_card.h"

namespace reader_test {
namespace {

using sim::CcidReader;
using hosted::usb::Handshake;

std::unique_ptr<ScriptedCard> Card() { return std::make_unique<ScriptedCard>(Bytes{0x3B, 0x00}); }

std::vector<Bytes> Drain(TestHost& host) {
  std::vector<Bytes> all;
  while (auto m = host.ReadInterrupt()) all.push_back(*m);
  return all;
}

TEST(ReaderSlotChange, InitialStateFollowsTheConfiguration) {
  struct Row {
    bool card_before;
    Bytes expected;
  };
  for (const Row& row : {Row{false, {0x50, 0x00}}, Row{true, {0x50, 0x03}}}) {
    SCOPED_TRACE(row.card_before);
    auto reader = CcidReader::FromCatalogue("tpdu-basic");
    TestHost host(*reader);
    if (row.card_before) reader->InsertCard(Card());
    EXPECT_TRUE(Drain(host).empty()) << "nothing before configuration";
    host.ReadyNotifications().clear();
    ASSERT_TRUE(host.Configure());
    EXPECT_EQ(host.ReadyNotifications(), std::vector<std::uint8_t>{0x83});
    EXPECT_EQ(Drain(host), std::vector<Bytes>{row.expected});
  }
}

TEST(ReaderSlotChange, InsertionAndRemoval) {
  auto reader = CcidReader::FromCatalogue("tpdu-basic");
  TestHost host(*reader);
  ASSERT_TRUE(host.Configure());
  Drain(host);
  host.ReadyNotifications().clear();
  reader->InsertCard(Card());
  EXPECT_EQ(host.ReadyNotifications(), std::vector<std::uint8_t>{0x83});
  EXPECT_EQ(Drain(host), (std::vector<Bytes>{{0x50, 0x03}}));
  reader->RemoveCard();
  reader->InsertCard(Card());
  reader->RemoveCard();
  EXPECT_EQ(Drain(host), (std::vector<Bytes>{{0x50, 0x02}, {0x50, 0x03}, {0x50, 0x02}}));
  reader->RemoveCard();  // no card: no event
  EXPECT_TRUE(Drain(host).empty());
}

TEST(ReaderSlotChange, TwoSlotsTwoBitsEach) {
  auto reader = CcidReader::FromCatalogue("multi-slot");
  TestHost host(*reader);
  reader->InsertCard(0, Card());
  ASSERT_TRUE(host.Configure());
  EXPECT_EQ(Drain(host), (std::vector<Bytes>{{0x50, 0x03}}));
  reader->InsertCard(1, Card());
  EXPECT_EQ(Drain(host), (std::vector<Bytes>{{0x50, 0x0D}})) << "slot 0 present; slot 1 present and changed";
  reader->RemoveCard(0);
  EXPECT_EQ(Drain(host), (std::vector<Bytes>{{0x50, 0x06}}));
  EXPECT_THROW(reader->InsertCard(2, Card()), std::invalid_argument);
}

TEST(ReaderSlotChange, ReaderWithoutInterruptPipe) {
  auto reader = CcidReader::FromCatalogue("no-interrupt-pipe");
  TestHost host(*reader);
  ASSERT_TRUE(host.Configure());
  EXPECT_EQ(reader->InterruptInAddress(), 0);
  reader->InsertCard(Card());
  EXPECT_EQ(reader->Stats().interrupt_messages, 0u);
  auto status = host.Exchange(Cmd(0x65, 1));
  ASSERT_TRUE(status);
  EXPECT_EQ((*status)[7], 0x01) << "the card is there all the same";
}

TEST(ReaderHardwareError, MessageCarriesSlotSequenceAndCode) {
  auto reader = CcidReader::FromCatalogue("tpdu-basic");
  TestHost host(*reader);
  ASSERT_TRUE(host.Configure());
  reader->InsertCard(Card());
  ASSERT_TRUE(host.Exchange(Cmd(0x62, 0x44)));
  Drain(host);
  reader->HardwareFault(0, 0x01);
  EXPECT_EQ(Drain(host), (std::vector<Bytes>{{0x51, 0x00, 0x44, 0x01}}));
  auto status = host.Exchange(Cmd(0x65, 0x45));
  ASSERT_TRUE(status);
  EXPECT_EQ((*status)[7], 0x01) << "the card lost its power";
}

TEST(ReaderBus, UnplugRefusesEverythingUntilPluggedAgain) {
  auto reader = CcidReader::FromCatalogue("tpdu-basic");
  TestHost host(*reader);
  std::vector<bool> unplug_events;
  reader->SetUnplugCallback([&](bool gone) { unplug_events.push_back(gone); });
  ASSERT_TRUE(host.Configure());
  reader->InsertCard(Card());
  ASSERT_TRUE(host.Exchange(Cmd(0x62, 1)));
  reader->Unplug();
  EXPECT_TRUE(reader->Unplugged());
  Bytes p;
  EXPECT_EQ(reader->OutPacket(0x02, Cmd(0x65, 2)), Handshake::Nak);
  EXPECT_EQ(reader->InPacket(0x81, p), Handshake::Nak);
  EXPECT_FALSE(host.GetDescriptor(1, 0, 18));
  reader->Plug();
  EXPECT_FALSE(reader->Unplugged());
  EXPECT_EQ(unplug_events, (std::vector<bool>{true, false}));
  EXPECT_FALSE(reader->Configured()) << "a new device on the bus";
  EXPECT_TRUE(reader->CardPresent());
  EXPECT_FALSE(reader->CardPowered());
}

TEST(ReaderBus, ResetUnconfiguresAndPowersTheCardDown) {
  auto reader = CcidReader::FromCatalogue("tpdu-basic");
  TestHost host(*reader);
  ASSERT_TRUE(host.Configure());
  reader->InsertCard(Card());
  ASSERT_TRUE(host.Exchange(Cmd(0x62, 1)));
  ASSERT_EQ(host.Send(Cmd(0x65, 2)), Handshake::Ack);  // an answer left unread
  reader->BusReset();
  EXPECT_FALSE(reader->Configured());
  EXPECT_FALSE(reader->CardPowered());
  ASSERT_TRUE(host.Configure());
  EXPECT_FALSE(host.Read()) << "answers queued before the reset are gone";
  EXPECT_EQ(Drain(host), (std::vector<Bytes>{{0x50, 0x03}}));
}

TEST(ReaderBus, RemoteWakeOnCardEventsWhenEnabledAndSuspended) {
  struct Row {
    const char* name;
    bool enable, suspend;
    int wakes;
  };
  for (const Row& row : {Row{"enabled_suspended", true, true, 2}, Row{"not_enabled", false, true, 0},
                         Row{"not_suspended", true, false, 0}}) {
    SCOPED_TRACE(row.name);
    auto reader = CcidReader::FromCatalogue("wakeup");
    TestHost host(*reader);
    int wakes = 0;
    reader->SetRemoteWakeCallback([&] { ++wakes; });
    ASSERT_TRUE(host.Configure());
    if (row.enable) {
      ASSERT_EQ(host.ControlOut(0x00, 3, 1, 0).handshake, Handshake::Ack);
    }
    reader->Suspend(row.suspend);
    reader->InsertCard(Card());
    reader->RemoveCard();
    EXPECT_EQ(wakes, row.wakes);
  }
}

}  // namespace
}  // namespace reader_test

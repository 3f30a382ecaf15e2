// Bulk packetisation: answers cut into 64-byte packets with a zero-length packet after
// one that ends on a packet boundary; commands joined from packets by dwLength.
#include <gtest/gtest.h>

#include "reader_host.h"

namespace reader_test {
namespace {

using sim::CcidReader;
using hosted::usb::Handshake;

struct Bench {
  explicit Bench(const char* profile = "tpdu-basic") : reader(CcidReader::FromCatalogue(profile)), host(*reader) {
    EXPECT_TRUE(host.Configure());
  }
  std::unique_ptr<CcidReader> reader;
  TestHost host;
};

// An escape answered with `payload` bytes: an answer of 10 + payload bytes.
struct SizeRow {
  std::size_t payload;
  std::vector<std::size_t> packets;
};

class ReaderPacketisation : public testing::TestWithParam<SizeRow> {};

TEST_P(ReaderPacketisation, AnswerPackets) {
  const SizeRow row = GetParam();
  Bench b;
  Bytes reply(row.payload);
  for (std::size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<std::uint8_t>(i);
  b.reader->SetEscapeReply({0x10}, reply);
  ASSERT_EQ(b.host.Send(Cmd(0x6B, 0x21, {0x10})), Handshake::Ack);
  ReadResult r = b.host.ReadTransfer();
  ASSERT_EQ(r.end, Handshake::Ack);
  std::vector<std::size_t> sizes;
  for (const auto& p : r.packets) sizes.push_back(p.size());
  EXPECT_EQ(sizes, row.packets);
  const Bytes all = r.Joined();
  ASSERT_EQ(all.size(), 10 + row.payload);
  EXPECT_EQ(Payload(all), reply);
  Bytes more;
  EXPECT_EQ(b.reader->InPacket(b.reader->BulkInAddress(), more), Handshake::Nak) << "nothing after the answer";
}

INSTANTIATE_TEST_SUITE_P(Sizes, ReaderPacketisation,
                         testing::Values(SizeRow{0, {10}}, SizeRow{53, {63}}, SizeRow{54, {64, 0}},
                                         SizeRow{55, {64, 1}}, SizeRow{118, {64, 64, 0}}, SizeRow{119, {64, 64, 1}},
                                         SizeRow{246, {64, 64, 64, 64, 0}}),
                         [](const auto& info) { return "payload_" + std::to_string(info.param.payload); });

TEST(ReaderBulkOut, CommandsAreJoinedByDwLength) {
  Bench b;
  const Bytes text(150, 'x');
  // 160 bytes: 64 + 64 + 32, the last packet short.
  auto answer = b.host.Exchange(Cmd(0x6B, 1, text));
  ASSERT_TRUE(answer);
  EXPECT_EQ((*answer)[0], 0x83);
  EXPECT_EQ((*answer)[7], 0x02);
  EXPECT_EQ(b.reader->EscapesReceived().back(), text);
  // Exactly 64 bytes: complete without a zero-length packet, and one sent after it is
  // only the end of the transfer.
  const Bytes exact(54, 'y');
  ASSERT_EQ(b.host.Send(Cmd(0x6B, 2, exact), true), Handshake::Ack);
  auto second = b.host.Read();
  ASSERT_TRUE(second);
  EXPECT_EQ((*second)[6], 2);
  EXPECT_FALSE(b.host.Read()) << "one answer only";
  EXPECT_TRUE(b.reader->HostErrors().empty());
  EXPECT_EQ(b.reader->Stats().commands, 2u);
}

TEST(ReaderBulkOut, DataReadyAnnouncesTheAnswer) {
  Bench b;
  b.host.ReadyNotifications().clear();
  b.host.Send(Cmd(0x65, 1));
  ASSERT_FALSE(b.host.ReadyNotifications().empty());
  EXPECT_EQ(b.host.ReadyNotifications().back(), b.reader->BulkInAddress());
}

TEST(ReaderBulkOut, TransferShorterThanDwLength) {
  Bench b;
  Bytes m = Cmd(0x6B, 7, Bytes(100, 'z'));
  m.resize(40);  // one short packet: the transfer ends 70 bytes early
  ASSERT_EQ(b.reader->OutPacket(b.reader->BulkOutAddress(), m), Handshake::Ack);
  auto answer = b.host.Read();
  ASSERT_TRUE(answer);
  EXPECT_EQ((*answer)[0], 0x83);
  EXPECT_EQ((*answer)[6], 7);
  EXPECT_EQ((*answer)[7], 0x42);
  EXPECT_EQ((*answer)[8], 0x01) << "dwLength in error";
  EXPECT_TRUE(b.reader->EscapesReceived().empty());
  ASSERT_EQ(b.reader->HostErrors().size(), 1u);
}

TEST(ReaderBulkOut, MessageLongerThanTheReaderTakes) {
  Bench b;  // dwMaxCCIDMessageLength 271
  const Bytes m = Cmd(0x6B, 8, Bytes(262, 'a'));  // 272 bytes
  ASSERT_EQ(b.host.Send(m), Handshake::Ack);
  auto answer = b.host.Read();
  ASSERT_TRUE(answer);
  EXPECT_EQ((*answer)[6], 8);
  EXPECT_EQ((*answer)[8], 0x01);
  // The reader is in step again afterwards.
  auto next = b.host.Exchange(Cmd(0x6B, 9, Bytes(261, 'a')));  // 271 bytes: the limit
  ASSERT_TRUE(next);
  EXPECT_EQ((*next)[7], 0x02);
}

TEST(ReaderBulkOut, BytesBeyondDwLengthAreDroppedAndNoted) {
  Bench b;
  Bytes m = Cmd(0x65, 3);
  m.insert(m.end(), {0xDE, 0xAD});
  ASSERT_EQ(b.reader->OutPacket(b.reader->BulkOutAddress(), m), Handshake::Ack);
  auto answer = b.host.Read();
  ASSERT_TRUE(answer);
  EXPECT_EQ((*answer)[0], 0x81);
  EXPECT_EQ((*answer)[7], 0x02) << "the command itself is answered";
  EXPECT_FALSE(b.host.Read());
  EXPECT_EQ(b.reader->HostErrors().size(), 1u);
}

TEST(ReaderBulkOut, EndpointsNeedTheConfiguration) {
  auto reader = CcidReader::FromCatalogue("tpdu-basic");
  Bytes p;
  const Bytes cmd = Cmd(0x65, 1);
  EXPECT_EQ(reader->OutPacket(0x02, cmd), Handshake::Stall);
  EXPECT_EQ(reader->InPacket(0x81, p), Handshake::Stall);
  TestHost host(*reader);
  ASSERT_TRUE(host.Configure());
  EXPECT_EQ(reader->OutPacket(0x81, cmd), Handshake::Stall) << "an IN endpoint";
  EXPECT_EQ(reader->OutPacket(0x03, cmd), Handshake::Stall) << "no such endpoint";
}

TEST(ReaderBulkOut, CharacterLevelReaderHasNoEndpointsAtAll) {
  auto reader = CcidReader::FromCatalogue("character-level");
  TestHost host(*reader);
  ASSERT_TRUE(host.Configure());
  EXPECT_EQ(reader->BulkOutAddress(), 0);
  EXPECT_EQ(reader->OutPacket(0x02, Cmd(0x65, 1)), Handshake::Stall);
}

}  // namespace
}  // namespace reader_test

// The library's T=1 host through SmartcardDeviceControl against simulated T=1 cards, one
// block per exchange of a reader at TPDU level: the opening S(IFS), chaining both ways
// across IFSC and IFSD, time extensions in T1.Wtx, error recovery with retransmission and
// resynchronisation, the session after a failed or abandoned command.
#include <gtest/gtest.h>

#include "card_reader.h"

using smclibtest::CardReader;

namespace {

using iso7816::Block;
using iso7816::BlockKind;
using iso7816::Bytes;
using iso7816::SType;

Bytes Hex(const char* text) { return *iso7816::FromHex(text); }
const Bytes kSelectLarge = Hex("00A4080C0450005002");  // EF 5002: 4096 bytes, free to read and write
const Bytes kOk = Hex("9000");

Bytes Update(std::uint16_t offset, std::size_t length, std::uint8_t seed) {
  Bytes apdu{0x00, 0xD6, static_cast<std::uint8_t>(offset >> 8), static_cast<std::uint8_t>(offset),
             static_cast<std::uint8_t>(length)};
  for (std::size_t i = 0; i < length; ++i) apdu.push_back(static_cast<std::uint8_t>(seed + 13 * i));
  return apdu;
}
Bytes Read(std::uint16_t offset, std::uint8_t le) {
  return {0x00, 0xB0, static_cast<std::uint8_t>(offset >> 8), static_cast<std::uint8_t>(offset), le};
}

// The application's answer behind its SCARD_IO_REQUEST; empty on failure.
Bytes Answer(const hosted::UserIoResult& result) {
  if (result.status != STATUS_SUCCESS || result.information < 8) return {};
  return Bytes(result.output.begin() + 8, result.output.begin() + result.information);
}

std::vector<Block> Decode(const std::vector<Bytes>& blocks, iso7816::Edc edc) {
  std::vector<Block> out;
  for (const Bytes& bytes : blocks) {
    const auto decoded = iso7816::DecodeBlock(bytes, edc);
    out.push_back(decoded.ok() ? decoded.block : Block{0xFF, 0xFF, {}});  // a corrupted one
  }
  return out;
}

struct ChainRow {
  const char* name;
  const char* card;
  ULONG maxIfsd;
  bool suppressIfs;
  UCHAR ifsd;  // the session's
};

// A 260-byte command and a 258-byte answer: the library's I-blocks never pass IFSC, the
// card's never pass the IFSD announced first, both chains are acknowledged, the data whole.
TEST(SmclibT1, ChainingBothWaysWithinIfscAndIfsd) {
  const ChainRow rows[] = {
      {"IFSC 32, IFSD 254", "t1-ifsc32", 254, false, 254},
      {"IFSC 32, IFSD 32 announced all the same", "t1-ifsc32", 32, false, 32},
      {"IFSC 254, reader MaxIFSD 253", "t1-ifsc254", 253, false, 253},
      {"IFSC 64 with CRC", "t1-crc", 254, false, 254},
      {"no opening S(IFS): IFSD stays 32", "t1-ifsc254", 254, true, 32},
  };
  for (const ChainRow& row : rows) {
    SCOPED_TRACE(row.name);
    CardReader reader(row.card, row.maxIfsd);
    if (row.suppressIfs) {
      Bytes input = smclibtest::AsBytes(ULONG{SCARD_ATTR_SUPRESS_T1_IFS_REQUEST});
      input.push_back(1);
      ASSERT_EQ(reader.File().DeviceIoControl(IOCTL_SMARTCARD_SET_ATTRIBUTE, input, 4).status, STATUS_SUCCESS);
    }
    ASSERT_EQ(reader.Connect(SCARD_PROTOCOL_T1), STATUS_SUCCESS);
    const UCHAR ifsc = reader.Extension()->CardCapabilities.T1.IFSC;
    EXPECT_EQ(reader.Extension()->T1.IFSD, row.ifsd);  // the library's, not the one the driver wrote
    ASSERT_EQ(Answer(reader.Transmit(kSelectLarge)), kOk);
    const Bytes update = Update(0x0100, 255, 0x21);
    ASSERT_EQ(Answer(reader.Transmit(update)), kOk);
    const Bytes read = Answer(reader.Transmit(Read(0x0100, 0x00)));
    ASSERT_EQ(read.size(), 258u);
    EXPECT_TRUE(std::equal(update.begin() + 5, update.end(), read.begin()));

    const auto edc = reader.Card().Profile().edc;
    const std::vector<Block> sent = Decode(reader.toCard, edc);
    const std::vector<Block> received = Decode(reader.fromCard, edc);
    EXPECT_EQ(sent.front(), row.suppressIfs ? Block::I(0, false, kSelectLarge) : Block::S(SType::kIfs, false, {row.ifsd}));
    int chainedOut = 0, chainedIn = 0;
    for (const Block& b : sent) {
      if (b.Kind() != BlockKind::kI) continue;
      EXPECT_LE(b.inf.size(), ifsc);
      chainedOut += b.More();
    }
    for (const Block& b : received) {
      ASSERT_NE(b.pcb, 0xFF);
      if (b.Kind() != BlockKind::kI) continue;
      EXPECT_LE(b.inf.size(), row.ifsd);
      chainedIn += b.More();
    }
    EXPECT_EQ(chainedOut, static_cast<int>((260 + ifsc - 1) / ifsc) - 1);
    EXPECT_EQ(chainedIn, static_cast<int>((258 + row.ifsd - 1) / row.ifsd) - 1);
    EXPECT_EQ(reader.Card().Counters().t1_invalid_blocks, 0u);
  }
}

// Each S(WTX) multiplier is in T1.Wtx for the exchange of the block that answers it only.
TEST(SmclibT1, TimeExtensionsSetWtxForTheNextExchangeOnly) {
  CardReader reader("many-wtx");  // 4 extensions of 3 before every answer
  ASSERT_EQ(reader.Connect(SCARD_PROTOCOL_T1), STATUS_SUCCESS);
  ASSERT_EQ(Answer(reader.Transmit(kSelectLarge)), kOk);
  EXPECT_EQ(reader.wtx, (std::vector<UCHAR>{0, 0, 3, 3, 3, 3}));  // S(IFS), I, then the four S(WTX) responses
  EXPECT_EQ(reader.Extension()->T1.Wtx, 0);
  const std::vector<Block> sent = Decode(reader.toCard, iso7816::Edc::kLrc);
  EXPECT_EQ(sent.back(), Block::S(SType::kWtx, true, {3}));
}

struct RecoveryRow {
  const char* name;
  sim::CardFaults faults;
  unsigned timeouts;       // exchanges the reader gives up on
  NTSTATUS status;
  unsigned cardResynchs;   // S(RESYNCH request)s the card received
  bool resynchBeforeNext;  // the next command begins with S(RESYNCH request)
};

// A 40-byte update (two chained blocks at IFSC 32) with the card's or the reader's faults;
// afterwards another on a healthy line, within the IFSC in force.
TEST(SmclibT1, ErrorsAreRecoveredOrEndTheCommandAndTheNextOneResynchronises) {
  const RecoveryRow rows[] = {
      {"EDC error in the card's block", {.corrupt_answers = 1}, 0, STATUS_SUCCESS, 0, false},
      {"no block from the card (empty answer)", {.mute_answers = 1}, 0, STATUS_SUCCESS, 0, false},
      {"wrong N(S) from the card", {.wrong_sequence = 1}, 0, STATUS_SUCCESS, 0, false},
      {"card sets IFSC 16", {.ifs_request = 16}, 0, STATUS_SUCCESS, 0, false},
      {"three bad blocks in a row: resynchronised", {.corrupt_answers = 3}, 0, STATUS_SUCCESS, 1, false},
      {"errors past every resynchronisation", {.corrupt_answers = 100}, 0, STATUS_DEVICE_PROTOCOL_ERROR, 3, true},
      {"the reader gives up on a block", {}, 1, STATUS_IO_TIMEOUT, 0, true},
  };
  for (const RecoveryRow& row : rows) {
    SCOPED_TRACE(row.name);
    CardReader reader("t1-ifsc32");
    ASSERT_EQ(reader.Connect(SCARD_PROTOCOL_T1), STATUS_SUCCESS);
    ASSERT_EQ(Answer(reader.Transmit(kSelectLarge)), kOk);
    reader.Card().Faults() = row.faults;
    reader.timeouts = row.timeouts;
    reader.toCard.clear();
    EXPECT_EQ(reader.Transmit(Update(0x0200, 40, 0x33)).status, row.status);
    EXPECT_EQ(reader.Card().Counters().t1_resynchs, row.cardResynchs);
    if (row.faults.corrupt_answers == 1) {  // asked again with R(EDC error)
      EXPECT_EQ(Decode(reader.toCard, iso7816::Edc::kLrc)[1], Block::R(1, iso7816::RCode::kEdcError));
    }

    reader.Card().Faults() = {};
    reader.toCard.clear();
    EXPECT_EQ(Answer(reader.Transmit(Update(0x0300, 40, 0x44))), kOk);
    const std::vector<Block> next = Decode(reader.toCard, iso7816::Edc::kLrc);
    ASSERT_FALSE(next.empty());
    EXPECT_EQ(next.front().IsS(SType::kResynch, false), row.resynchBeforeNext);
    const UCHAR ifsc = row.faults.ifs_request != 0 ? row.faults.ifs_request : 32;
    EXPECT_EQ(reader.Extension()->T1.IFSC, ifsc);
    for (const Block& b : next) EXPECT_LE(b.inf.size(), ifsc);
    EXPECT_FALSE(reader.Extension()->T1.WaitForReply);
  }
}

// A driver that calls SmartcardT1Reply with no block out: a verifier report.
TEST(SmclibT1, ReplyWithoutARequestIsTheDriversMistake) {
  CardReader reader("t1-ifsc32");
  hosted::test::ExpectViolation misuse(hosted::Check::InvalidParameter, "SmartcardT1Reply");
  EXPECT_EQ(SmartcardT1Reply(reader.Extension()), STATUS_DEVICE_PROTOCOL_ERROR);
}

}  // namespace

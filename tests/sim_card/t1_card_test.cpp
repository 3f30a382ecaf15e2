#include "card_test_util.h"

namespace sim::testing {
namespace {

using iso7816::Block;
using iso7816::Edc;
using iso7816::RCode;
using iso7816::SType;

// One block to the card and its decoded answer.
Block Send(SimCard& card, const Block& block, Edc edc = Edc::kLrc) {
  card.Write(iso7816::EncodeBlock(block, edc));
  const Bytes answer = card.Read();
  const auto decoded = iso7816::DecodeBlock(answer, edc);
  EXPECT_TRUE(decoded.ok()) << iso7816::ToHex(answer) << ": " << iso7816::BlockErrorText(decoded.error);
  return decoded.block;
}

Block SendRaw(SimCard& card, const Bytes& bytes, Edc edc = Edc::kLrc) {
  card.Write(bytes);
  const auto decoded = iso7816::DecodeBlock(card.Read(), edc);
  EXPECT_TRUE(decoded.ok());
  return decoded.block;
}

Bytes Corrupted(const Block& block) {
  Bytes bytes = iso7816::EncodeBlock(block, Edc::kLrc);
  bytes.back() ^= 0x01;
  return bytes;
}

const Bytes kSelectLarge = Hex("00A4080C0450005002");
const Bytes kOk = Hex("9000");

// Rule 7.5 and 7.1: an invalid block gets R(N(R)) with the error kind; the first block
// after reset is answered with R(0).
TEST(T1Card, InvalidBlocksGetAnRBlock) {
  auto card = PoweredCard("t1-ifsc32");
  EXPECT_EQ(SendRaw(*card, Corrupted(Block::I(0, false, kSelectApp))), Block::R(0, RCode::kEdcError));
  EXPECT_EQ(Send(*card, Block::I(0, false, kSelectApp)), Block::I(0, false, kOk));
  EXPECT_EQ(SendRaw(*card, Corrupted(Block::I(1, false, kSelectApp))), Block::R(1, RCode::kEdcError));
  EXPECT_EQ(Send(*card, Block::I(0, false, kSelectApp)), Block::R(1, RCode::kOtherError));  // wrong N(S)
  EXPECT_EQ(Send(*card, Block::I(1, false, Bytes(33, 0))), Block::R(1, RCode::kOtherError));  // over IFSC
  EXPECT_EQ(SendRaw(*card, Hex("0040")), Block::R(1, RCode::kOtherError));  // cut short (CWT)
  EXPECT_EQ(SendRaw(*card, Hex("00C400C4")), Block::R(1, RCode::kOtherError));  // reserved S type
  EXPECT_EQ(Send(*card, Block::S(SType::kWtx, false, {1})), Block::R(1, RCode::kOtherError));  // IFD may not
  EXPECT_EQ(Send(*card, Block::I(1, false, kSelectApp)), Block::I(1, false, kOk));
  EXPECT_EQ(card->Counters().t1_blocks, 9u);
  EXPECT_EQ(card->Counters().t1_invalid_blocks, 7u);
  EXPECT_EQ(card->Counters().t1_retransmissions, 0u);
}

// Rule 5: each chained block of a command is acknowledged with R(N(R)) of the next one.
TEST(T1Card, ReceivesChainedCommandAcrossIfsc) {
  auto card = PoweredCard("t1-ifsc32");
  ASSERT_EQ(Send(*card, Block::I(0, false, kSelectLarge)), Block::I(0, false, kOk));
  Bytes command = Hex("00D6000050");
  for (int i = 0; i < 0x50; ++i) command.push_back(static_cast<std::uint8_t>(0x80 + i));
  auto part = [&](std::size_t at, std::size_t n) { return Bytes(command.begin() + at, command.begin() + at + n); };
  EXPECT_EQ(Send(*card, Block::I(1, true, part(0, 32))), Block::R(0));
  EXPECT_EQ(Send(*card, Block::I(0, true, part(32, 32))), Block::R(1));
  // The same block again (our acknowledgement was lost): refused, the chain goes on.
  EXPECT_EQ(Send(*card, Block::I(0, true, part(32, 32))), Block::R(1, RCode::kOtherError));
  EXPECT_EQ(Send(*card, Block::I(1, false, part(64, 21))), Block::I(1, false, kOk));
  const Bytes content = *card->Application().FileContent(kFidLarge);
  EXPECT_EQ(Bytes(content.begin(), content.begin() + 0x50), part(5, 0x50));
}

// Answers longer than IFSD leave in chained I-blocks; the reader's R-block with the next
// N(S) gets the next part, with the same N(S) the same part again.
TEST(T1Card, SendsChainedAnswerAcrossIfsd) {
  auto card = PoweredCard("t1-ifsc32");
  ASSERT_EQ(Send(*card, Block::I(0, false, kSelectLarge)), Block::I(0, false, kOk));
  Bytes answer;
  Block block = Send(*card, Block::I(1, false, Hex("00B0000046")));  // 70 bytes + SW = 72
  EXPECT_EQ(block.Ns(), 1);
  EXPECT_TRUE(block.More());
  EXPECT_EQ(block.inf.size(), 32u);
  EXPECT_EQ(Send(*card, Block::R(1, RCode::kEdcError)), block);  // asks for it again
  answer.insert(answer.end(), block.inf.begin(), block.inf.end());
  block = Send(*card, Block::R(0));
  EXPECT_EQ(block.Ns(), 0);
  answer.insert(answer.end(), block.inf.begin(), block.inf.end());
  block = Send(*card, Block::R(1));
  EXPECT_FALSE(block.More());
  EXPECT_EQ(block.inf.size(), 8u);
  answer.insert(answer.end(), block.inf.begin(), block.inf.end());
  const Bytes content = *card->Application().FileContent(kFidLarge);
  Bytes expected(content.begin(), content.begin() + 70);
  expected.insert(expected.end(), {0x90, 0x00});
  EXPECT_EQ(answer, expected);
  // Rule 7.2 from the card's side: an R-block after its last block gets that block again.
  EXPECT_EQ(Send(*card, Block::R(1, RCode::kOtherError)), block);
  // The next command acknowledges the answer.
  EXPECT_EQ(Send(*card, Block::I(0, false, kSelectApp)), Block::I(0, false, kOk));
}

// Rule 4: S(IFS request) sets IFSD; the answer goes in blocks of that size.
TEST(T1Card, IfsRequestSetsIfsd) {
  auto card = PoweredCard("t1-ifsc254");
  EXPECT_EQ(Send(*card, Block::S(SType::kIfs, false, {0x80})), Block::S(SType::kIfs, true, {0x80}));
  EXPECT_EQ(card->T1().Ifsd(), 0x80);
  ASSERT_EQ(Send(*card, Block::I(0, false, kSelectLarge)), Block::I(0, false, kOk));
  const Block first = Send(*card, Block::I(1, false, Hex("00B0000000")));
  EXPECT_EQ(first.inf.size(), 0x80u);
  EXPECT_TRUE(first.More());
}

// Rule 3: a slow command is preceded by S(WTX request)s, each needing S(WTX response).
TEST(T1Card, TimeExtensionsBeforeSlowAnswers) {
  auto card = PoweredCard("many-wtx");
  Block block = Send(*card, Block::I(0, false, Hex("00880000020102" "00")));
  unsigned requests = 0;
  while (block.IsS(SType::kWtx, false)) {
    EXPECT_EQ(block.inf, Bytes{3});
    if (requests == 1) {
      // The reader got the request garbled: it asks again and gets it again.
      EXPECT_EQ(Send(*card, Block::R(0, RCode::kEdcError)), block);
      // An I-block instead of the response is out of turn.
      EXPECT_EQ(Send(*card, Block::I(1, false, kSelectApp)), Block::R(1, RCode::kOtherError));
    }
    ++requests;
    block = Send(*card, Block::S(SType::kWtx, true, {3}));
  }
  EXPECT_EQ(requests, 44u);  // 4 for every command, 40 for INTERNAL AUTHENTICATE
  EXPECT_EQ(card->Counters().t1_wtx_requests, 45u);  // one of them sent twice
  EXPECT_EQ(card->Counters().t1_retransmissions, 1u);
  ASSERT_EQ(block.Kind(), iso7816::BlockKind::kI);
  EXPECT_EQ(block.inf.size(), 32u);  // 34 bytes of answer over IFSD 32
  EXPECT_TRUE(block.More());
}

// Rule 6: S(RESYNCH request) resets both sequence numbers and IFSD.
TEST(T1Card, ResynchResetsTheProtocol) {
  auto card = PoweredCard("t1-ifsc32");
  EXPECT_EQ(Send(*card, Block::S(SType::kIfs, false, {0xFE})), Block::S(SType::kIfs, true, {0xFE}));
  ASSERT_EQ(Send(*card, Block::I(0, false, kSelectApp)), Block::I(0, false, kOk));
  EXPECT_EQ(Send(*card, Block::S(SType::kResynch, false)), Block::S(SType::kResynch, true));
  EXPECT_EQ(card->T1().Ifsd(), 32);
  EXPECT_EQ(Send(*card, Block::I(0, false, kSelectApp)), Block::I(0, false, kOk));
  EXPECT_EQ(card->Counters().t1_resynchs, 1u);
  EXPECT_EQ(card->Counters().t1_ifs_requests, 1u);
}

// Rule 9: S(ABORT request) drops the chain under way.
TEST(T1Card, AbortDropsTheChain) {
  auto card = PoweredCard("t1-ifsc32");
  EXPECT_EQ(Send(*card, Block::I(0, true, Bytes(32, 0x00))), Block::R(1));
  EXPECT_EQ(Send(*card, Block::S(SType::kAbort, false)), Block::S(SType::kAbort, true));
  EXPECT_EQ(card->Counters().t1_aborts, 1u);
  EXPECT_EQ(Send(*card, Block::I(1, false, kSelectApp)), Block::I(0, false, kOk));
}

// A reset or power cycle in the middle of a chain leaves nothing of it behind.
TEST(T1Card, ResetDropsTheProtocolState) {
  auto card = PoweredCard("t1-ifsc32");
  EXPECT_EQ(Send(*card, Block::I(0, true, Bytes(32, 0x00))), Block::R(1));
  card->WarmReset();
  EXPECT_EQ(Send(*card, Block::I(0, false, kSelectApp)), Block::I(0, false, kOk));
  EXPECT_EQ(Send(*card, Block::I(1, true, Bytes(32, 0x00))), Block::R(0));
  card->Deactivate();
  card->Write(iso7816::EncodeBlock(Block::R(0), Edc::kLrc));
  EXPECT_TRUE(card->Read().empty());
  card->ColdReset(IccVoltage::V5_0);
  EXPECT_EQ(Send(*card, Block::I(0, false, kSelectApp)), Block::I(0, false, kOk));
}

TEST(T1Card, CrcAndNad) {
  auto card = PoweredCard("t1-crc");
  EXPECT_EQ(SendRaw(*card, iso7816::EncodeBlock(Block::I(0, false, kSelectApp), Edc::kLrc), Edc::kCrc),
            Block::R(0, RCode::kEdcError));
  const Block answer = Send(*card, Block::I(0, false, kSelectApp, 0x12), Edc::kCrc);
  EXPECT_EQ(answer.nad, 0x21);
  EXPECT_EQ(answer.inf, kOk);
}

// A session through the library's engine, for every T=1 profile: commands and answers
// chained across IFSC and IFSD, with and without an IFSD announcement.
TEST(T1EndToEnd, ChainingBothWaysOnEveryT1Card) {
  struct Row {
    const char* profile;
    std::uint8_t ifsd;
  };
  const Row rows[] = {{"t1-ifsc32", 254}, {"t1-ifsc32", 32}, {"t1-ifsc254", 254}, {"t1-ifsc254", 20},
                      {"t1-crc", 254},    {"dual", 254},     {"inverse", 100},   {"specific-t1", 254},
                      {"3v-only", 254},   {"many-wtx", 254}};
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.profile) + " IFSD " + std::to_string(row.ifsd));
    auto card = PoweredCard(row.profile);
    if (card->Protocol() != 1) {
      ASSERT_TRUE(card->SetParameters(1, 0x11));
    }
    T1Session session(*card, row.ifsd);
    ASSERT_EQ(Sw(session.Transmit(kSelectLarge)), 0x9000) << session.error();
    Bytes update = Hex("00D60100C8");
    for (int i = 0; i < 200; ++i) update.push_back(static_cast<std::uint8_t>(i ^ 0x3C));
    ASSERT_EQ(Sw(session.Transmit(update)), 0x9000) << session.error();
    const Bytes read = session.Transmit(Hex("00B00100C8"));
    ASSERT_EQ(read.size(), 202u) << session.error();
    EXPECT_EQ(Data(read), Bytes(update.begin() + 5, update.end()));
    EXPECT_EQ(card->T1().Ifsd(), row.ifsd);
    EXPECT_EQ(session.engine().Retransmissions(), 0u);
  }
}

TEST(T1EndToEnd, ExtendedLengthApdus) {
  auto card = PoweredCard("t1-ifsc254");
  T1Session session(*card);
  ASSERT_EQ(Sw(session.Transmit(kSelectLarge)), 0x9000);
  iso7816::Apdu update = iso7816::MakeApdu(0x00, 0xD6, 0x00, 0x00, Bytes(1000, 0x4D));
  EXPECT_EQ(Sw(session.Transmit(*iso7816::BuildApdu(update))), 0x9000) << session.error();
  const Bytes read = session.Transmit(Hex("00B00000000000"));  // Ne 65536: the whole file
  ASSERT_EQ(read.size(), 4096u + 2) << session.error();
  EXPECT_EQ(Data(read), *card->Application().FileContent(kFidLarge));
  EXPECT_EQ(Bytes(read.begin(), read.begin() + 1000), Bytes(1000, 0x4D));
  auto short_only = PoweredCard("t1-ifsc32");
  T1Session plain(*short_only);
  EXPECT_EQ(Sw(plain.Transmit(Hex("00B00000000100"))), 0x6700);
}

struct FaultRow {
  const char* name;
  void (*inject)(CardFaults&);
  unsigned retransmissions;
  unsigned resynchs;
};

// Each error-recovery rule end to end: the card errs, the engine recovers, the command
// still gets its answer.
TEST(T1EndToEnd, RecoversFromCardFaults) {
  const FaultRow rows[] = {
      {"answer with a bad EDC", [](CardFaults& f) { f.corrupt_answers = 1; }, 1, 0},
      {"answer lost", [](CardFaults& f) { f.mute_answers = 1; }, 1, 0},
      {"wrong N(S)", [](CardFaults& f) { f.wrong_sequence = 1; }, 1, 0},
      {"two bad answers", [](CardFaults& f) { f.corrupt_answers = 2; }, 2, 0},
      {"three bad answers: resynchronisation", [](CardFaults& f) { f.corrupt_answers = 3; }, 2, 1},
      {"silent three times: resynchronisation", [](CardFaults& f) { f.mute_answers = 3; }, 2, 1},
  };
  for (const FaultRow& row : rows) {
    SCOPED_TRACE(row.name);
    auto card = PoweredCard("t1-ifsc32");
    T1Session session(*card);
    ASSERT_EQ(Sw(session.Transmit(kSelectLarge)), 0x9000);
    row.inject(card->Faults());
    const Bytes read = session.Transmit(Hex("00B0000046"));
    ASSERT_EQ(read.size(), 72u) << session.error();
    EXPECT_EQ(Sw(read), 0x9000);
    EXPECT_EQ(session.engine().Retransmissions(), row.retransmissions);
    EXPECT_EQ(session.engine().Resynchs(), row.resynchs);
  }
  auto card = PoweredCard("t1-ifsc32");
  T1Session session(*card);
  card->Faults().mute_answers = 100;
  EXPECT_TRUE(session.Transmit(kSelectApp).empty());
  EXPECT_NE(session.error().find("resynchronisation"), std::string::npos) << session.error();
}

TEST(T1EndToEnd, CardAsksForSmallerIfsc) {
  auto card = PoweredCard("t1-ifsc254");
  T1Session session(*card);
  card->Faults().ifs_request = 16;
  ASSERT_EQ(Sw(session.Transmit(kSelectLarge)), 0x9000) << session.error();
  EXPECT_EQ(session.engine().Ifsc(), 16);
  EXPECT_EQ(card->T1().Ifsc(), 16);
  EXPECT_EQ(Sw(session.Transmit(Hex("00D6000014" "0102030405060708090A0B0C0D0E0F1011121314"))), 0x9000);
  // A block over the new IFSC is refused by the card.
  EXPECT_EQ(Send(*card, Block::I(session.engine().Ns(), false, Bytes(17, 0))).Kind(), iso7816::BlockKind::kR);
}

TEST(T1EndToEnd, ManyTimeExtensions) {
  auto card = PoweredCard("many-wtx");
  T1Session session(*card);
  EXPECT_EQ(Sw(session.Transmit(kSelectApp)), 0x9000);
  EXPECT_EQ(session.wtx(), std::vector<std::uint8_t>(4, 3));
  const Bytes signature = session.Transmit(Hex("008800000401020304" "00"));
  EXPECT_EQ(Sw(signature), 0x9000) << session.error();
  EXPECT_EQ(Data(signature).size(), 32u);
  EXPECT_EQ(session.wtx().size(), 4u + 44u);
}

}  // namespace
}  // namespace sim::testing

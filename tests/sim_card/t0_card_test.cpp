#include "card_test_util.h"

namespace sim::testing {
namespace {

// What the card sends after each write, read until it waits for input.
std::vector<std::string> Exchange(SimCard& card, const std::vector<const char*>& writes) {
  std::vector<std::string> reads;
  for (const char* hex : writes) {
    card.Write(Hex(hex));
    for (Bytes chunk = card.Read(); !chunk.empty(); chunk = card.Read()) reads.push_back(iso7816::ToHex(chunk));
  }
  return reads;
}

CardProfile WithAck(const char* name, T0AckMode mode) {
  CardProfile profile = *FindCardProfile(name);
  profile.t0_ack = mode;
  return profile;
}

struct ProcedureRow {
  const char* name;
  T0AckMode ack;
  unsigned busy;
  std::vector<const char*> writes;
  std::vector<const char*> reads;
};

// The card's procedure bytes on the line, for each case and acknowledgement style:
// INS (all data), ~INS (one byte), NULL while busy, 61xx, 6Cxx, SW1 SW2.
TEST(T0Card, ProcedureBytesOnTheLine) {
  const ProcedureRow rows[] = {
      {"case 1", T0AckMode::kAll, 0, {"0020008100"}, {"63C3"}},
      {"case 3, INS", T0AckMode::kAll, 0, {"00A4080C04", "50005001"}, {"A4", "9000"}},
      {"case 3, ~INS each byte", T0AckMode::kEachByte, 0, {"00A4080C04", "50", "00", "50", "01"},
       {"5B", "5B", "5B", "5B", "9000"}},
      {"case 3, ~INS then INS", T0AckMode::kFirstByteSingly, 0, {"00A4080C04", "50", "005001"},
       {"5B", "A4", "9000"}},
      {"case 3, busy", T0AckMode::kAll, 2, {"00A4080C04", "50005001"}, {"A4", "60", "60", "9000"}},
      {"case 4 on T=0: 61xx", T0AckMode::kAll, 0, {"00A4080004", "50005001"}, {"A4", "6113"}},
      {"case 2", T0AckMode::kAll, 0, {"00A4080C04", "50005001", "00B0000004"}, {"A4", "9000", "B000070E159000"}},
      {"case 2, ~INS each byte", T0AckMode::kEachByte, 0, {"00A4080C04", "50", "00", "50", "01", "00B0000003"},
       {"5B", "5B", "5B", "5B", "9000", "4F00", "4F07", "4F0E", "9000"}},
      {"case 2, ~INS then INS", T0AckMode::kFirstByteSingly, 0, {"00A4080C04", "50", "005001", "00B0000003"},
       {"5B", "A4", "9000", "4F00", "B0070E9000"}},
      {"case 2, no current EF", T0AckMode::kAll, 0, {"00A4080C04", "50035003", "00B0000000"}, {"A4", "6A82", "6986"}},
      {"case 2, Le past the end", T0AckMode::kAll, 0, {"00A4080C04", "50005001", "00B000FE04"},
       {"A4", "9000", "6C02"}},
      {"case 2, busy", T0AckMode::kAll, 1, {"0084000002"}, {"60", "84" "XXXX" "9000"}},
      {"GET RESPONSE without data", T0AckMode::kAll, 0, {"00C0000010"}, {"6985"}},
      {"invalid INS", T0AckMode::kAll, 0, {"0060000000"}, {"6D00"}},
      {"unknown INS", T0AckMode::kAll, 0, {"00EE000000"}, {"6D00"}},
  };
  for (const ProcedureRow& row : rows) {
    SCOPED_TRACE(row.name);
    CardProfile profile = WithAck("t0", row.ack);
    profile.busy_extensions = row.busy;
    SimCard card(profile);
    card.ColdReset(IccVoltage::V5_0);
    const auto reads = Exchange(card, row.writes);
    ASSERT_EQ(reads.size(), row.reads.size());
    for (std::size_t i = 0; i < reads.size(); ++i) {
      const std::string expected = row.reads[i];
      if (expected.find("XXXX") != std::string::npos) {  // random bytes: check the frame only
        EXPECT_EQ(reads[i].size(), expected.size());
        EXPECT_EQ(reads[i].substr(0, 2), expected.substr(0, 2));
        EXPECT_EQ(reads[i].substr(reads[i].size() - 4), "9000");
      } else {
        EXPECT_EQ(reads[i], expected) << "read " << i;
      }
    }
  }
}

struct CaseRow {
  const char* name;
  const char* apdu;
  const char* response;  // hex; "*" ends a prefix match
};

// Every APDU case through the library's T=0 engine, for each acknowledgement style.
TEST(T0Card, ApduCasesThroughTheEngine) {
  const CaseRow rows[] = {
      {"case 1", "0020008100", "63C3"},
      {"case 3", "00A4080C0450005001", "9000"},
      {"case 2", "00B0000004", "00070E159000"},
      {"case 2, Le 00 past the end (6Cxx re-issue)", "00B000F800", "*9000"},
      {"case 4, GET RESPONSE", "00A4040008F04343494453494D00", "6214820138830250008408F04343494453494D8A01059000"},
      {"case 4, short Le", "00A4040008F04343494453494D04", "621482016112"},
      {"case 4, slow", "00880000040102030400", "*9000"},
      {"case 2, error", "00B0400004", "6986"},
  };
  for (T0AckMode mode : {T0AckMode::kAll, T0AckMode::kEachByte, T0AckMode::kFirstByteSingly}) {
    SimCard card(WithAck("t0", mode));
    card.ColdReset(IccVoltage::V5_0);
    EXPECT_EQ(Sw(T0Transmit(card, Hex("00A4080C0450005001"))), 0x9000);
    for (const CaseRow& row : rows) {
      SCOPED_TRACE(std::string(row.name) + " ack mode " + std::to_string(static_cast<int>(mode)));
      std::string error;
      const Bytes answer = T0Transmit(card, Hex(row.apdu), &error);
      ASSERT_FALSE(answer.empty()) << error;
      const std::string hex = iso7816::ToHex(answer);
      const std::string expected = row.response;
      const auto star = expected.find('*');
      if (star == std::string::npos) {
        EXPECT_EQ(hex, expected);
      } else {
        EXPECT_EQ(hex.substr(0, star), expected.substr(0, star));
        EXPECT_EQ(hex.substr(hex.size() - (expected.size() - star - 1)), expected.substr(star + 1));
      }
      if (std::string_view(row.name) == "case 2, Le 00 past the end (6Cxx re-issue)") {
        EXPECT_EQ(answer.size(), 8u + 2u);  // the 8 bytes from offset F8
      }
    }
  }
}

// The slow command keeps the line busy with NULL bytes: one per time extension.
TEST(T0Card, NullBytesWhileBusy) {
  auto card = PoweredCard("t0-bytewise");  // 2 NULLs for every command, 3 more for the slow one
  iso7816::T0TpduExchange exchange(Hex("008800000401020304"));
  iso7816::T0Step step = exchange.Begin();
  while (step.kind == iso7816::T0Step::Kind::kWrite || step.kind == iso7816::T0Step::Kind::kRead) {
    if (step.kind == iso7816::T0Step::Kind::kWrite) card->Write(step.bytes);
    step = exchange.OnCardBytes(card->Read());
  }
  ASSERT_EQ(step.kind, iso7816::T0Step::Kind::kDone) << exchange.Error();
  EXPECT_EQ(exchange.NullCount(), 5u);
  EXPECT_EQ(iso7816::ToHex(exchange.Response()), "6120");
}

// GET RESPONSE hands the data out in pieces; a too-long Le gets 6Cxx without losing any.
TEST(T0Card, GetResponseInPieces) {
  auto card = PoweredCard("t0");
  EXPECT_EQ(Exchange(*card, {"00A4040008", "F04343494453494D"}), (std::vector<std::string>{"A4", "6116"}));
  EXPECT_EQ(Exchange(*card, {"00C0000040"}), (std::vector<std::string>{"6C16"}));
  const auto first = Exchange(*card, {"00C0000010"});
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].substr(0, 10), "C062148201");
  EXPECT_EQ(first[0].substr(first[0].size() - 4), "6106");
  const auto rest = Exchange(*card, {"00C0000006"});
  ASSERT_EQ(rest.size(), 1u);
  EXPECT_EQ(rest[0].substr(rest[0].size() - 4), "9000");
  EXPECT_EQ(Exchange(*card, {"00C0000001"}), (std::vector<std::string>{"6985"}));
}

// Command data over 255 bytes reaches the card in ENVELOPE commands; extended Le comes
// back in GET RESPONSE rounds. A card without extended lengths refuses them.
TEST(T0Card, ExtendedLengthsOverT0) {
  auto card = PoweredCard("dual");
  ASSERT_EQ(card->Protocol(), 0);
  EXPECT_EQ(Sw(T0Transmit(*card, Hex("00A4080C0450005002"))), 0x9000);
  iso7816::Apdu update = iso7816::MakeApdu(0x00, 0xD6, 0x00, 0x10, Bytes(300, 0xE7));
  std::string error;
  EXPECT_EQ(Sw(T0Transmit(*card, *iso7816::BuildApdu(update), &error)), 0x9000) << error;
  const Bytes content = *card->Application().FileContent(kFidLarge);
  EXPECT_EQ(content[0x10], 0xE7);
  EXPECT_EQ(content[0x10 + 299], 0xE7);
  EXPECT_NE(content[0x10 + 300], 0xE7);
  const Bytes read = T0Transmit(*card, Hex("00B00000000258"), &error);  // Ne 600
  ASSERT_EQ(read.size(), 602u) << error;
  EXPECT_EQ(Sw(read), 0x9000);
  EXPECT_EQ(Data(read), Bytes(content.begin(), content.begin() + 600));

  auto plain = PoweredCard("t0");
  EXPECT_EQ(Sw(T0Transmit(*plain, *iso7816::BuildApdu(update))), 0x6700);
}

TEST(T0Card, InjectedFaults) {
  auto card = PoweredCard("t0");
  card->Faults().bad_procedure_byte = true;
  std::string error;
  EXPECT_TRUE(T0Transmit(*card, Hex("00B0000004"), &error).empty());
  EXPECT_NE(error.find("invalid procedure byte"), std::string::npos) << error;
  card->Faults().mute_answers = 1;
  EXPECT_TRUE(T0Transmit(*card, Hex("0020008100"), &error).empty());
  EXPECT_NE(error.find("no answer"), std::string::npos) << error;
  EXPECT_EQ(Sw(T0Transmit(*card, Hex("0020008100"))), 0x63C3);  // the card is back
  card->Write(Hex("0090000000"));
  EXPECT_EQ(card->Read(), Hex("6D00"));
  EXPECT_EQ(card->Counters().t0_headers, 4u);
  EXPECT_EQ(card->Counters().t0_invalid_ins, 1u);
}

}  // namespace
}  // namespace sim::testing

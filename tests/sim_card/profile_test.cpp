#include <fstream>
#include <nlohmann/json.hpp>
#include <set>

#include "card_test_util.h"
#include "iso7816/atr.h"

namespace sim::testing {
namespace {

TEST(CardProfiles, CatalogueNamesRequiredCards) {
  const auto profiles = CardProfiles();
  std::set<std::string> names;
  for (const auto& info : profiles) {
    EXPECT_TRUE(names.insert(info.name).second) << "duplicate " << info.name;
    EXPECT_FALSE(info.summary.empty()) << info.name;
    EXPECT_NE(MakeCard(info.name), nullptr) << info.name;
  }
  for (const char* required : {"t0", "t1-ifsc32", "t1-ifsc254", "dual", "inverse", "atr-64plus", "mute",
                               "many-wtx", "real-00", "real-33"}) {
    EXPECT_TRUE(names.count(required)) << required;
  }
  EXPECT_EQ(MakeCard("no-such-card"), nullptr);
  EXPECT_EQ(MakeCard("atr:3G"), nullptr);
  auto custom = MakeCard("atr:3B00");
  ASSERT_NE(custom, nullptr);
  EXPECT_EQ(custom->ColdReset(IccVoltage::V5_0), Hex("3B00"));
}

struct AtrRow {
  const char* profile;
  const char* atr;
};

// The answers to reset of the built-in profiles, byte for byte, each with a correct TCK.
TEST(CardProfiles, BuiltInAnswersToReset) {
  const AtrRow rows[] = {
      {"t0", "3B9A1340144343494453494D205430"},
      {"t0-bytewise", "3B0B4343494453494D20543042"},
      {"t1-ifsc32", "3B9D18813120454343494453494D2054312D333263"},
      {"t1-ifsc254", "3BDE96FF8131FE454343494453494D2054312D323534BD"},
      {"t1-crc", "3B8B81714045014343494453494D2043524357"},
      {"dual", "3B9C95803180534343494453494D204455414C0D"},
      {"inverse", "3F9B94803120454343494453494D20494E56F0"},
      {"specific-t1", "3B9B1891013120454343494453494D205441321A"},
      {"3v-only", "3B8A813120454343494453494D20335640"},
      {"many-wtx", "3B8B813120154343494453494D205754582F"},
  };
  for (const AtrRow& row : rows) {
    SCOPED_TRACE(row.profile);
    auto card = PoweredCard(row.profile);
    ASSERT_TRUE(card->Active());
    const Bytes atr = *card->WarmReset();
    EXPECT_EQ(iso7816::ToHex(atr), row.atr);
    const auto parsed = iso7816::ParseAtr(atr);
    EXPECT_TRUE(parsed.ok()) << parsed.reason;
    if (parsed.atr.tck_present) {
      EXPECT_EQ(iso7816::Lrc(ByteView(atr).subspan(1)), 0) << "TCK";
    }
  }
}

// What the built-in answers announce, read back with the library's parser.
TEST(CardProfiles, AnnouncedParameters) {
  auto read = [](const char* name) { return iso7816::ParseAtr(BuildAtr(*FindCardProfile(name))).atr; };
  EXPECT_TRUE(read("t0").Offers(0));
  EXPECT_FALSE(read("t0").Offers(1));
  EXPECT_EQ(read("t0").t0_wi, 20);
  EXPECT_EQ(read("t0").Ta1(), 0x13);
  EXPECT_EQ(read("t1-ifsc32").t1_ifsc, 32);
  EXPECT_EQ(read("t1-ifsc32").first_protocol, 1);
  EXPECT_EQ(read("t1-ifsc254").t1_ifsc, 254);
  EXPECT_EQ(read("t1-ifsc254").n_guard, 255);
  EXPECT_EQ(read("t1-crc").t1_edc, iso7816::Edc::kCrc);
  EXPECT_TRUE(read("dual").Offers(0) && read("dual").Offers(1));
  EXPECT_EQ(read("dual").first_protocol, 0);
  EXPECT_EQ(read("dual").t1_bwi, 5);
  EXPECT_EQ(read("dual").t1_cwi, 3);
  EXPECT_EQ(read("inverse").convention, iso7816::Convention::kInverse);
  EXPECT_TRUE(read("specific-t1").specific_mode);
  EXPECT_EQ(read("many-wtx").t1_bwi, 1);
  const auto overlong = iso7816::ParseAtr(BuildAtr(*FindCardProfile("atr-64plus")));
  EXPECT_EQ(overlong.error, iso7816::AtrError::kTooLong);
  EXPECT_GT(overlong.atr.bytes.size(), 64u);
  EXPECT_EQ(iso7816::Lrc(ByteView(overlong.atr.bytes).subspan(1)), 0) << "TCK";
}

// The real-card profiles answer exactly the ATRs of the project's data file.
TEST(CardProfiles, RealCardsAnswerTheirAtr) {
  std::ifstream in(CCID_TEST_DATA_DIR "/real-atrs.json");
  const auto data = nlohmann::json::parse(in);
  const auto& rows = data.at("atrs");
  ASSERT_EQ(rows.size(), RealAtrs().size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "real-%02zu", i);
    SCOPED_TRACE(name);
    const std::string hex = rows[i].at("atr");
    EXPECT_EQ(RealAtrs()[i], hex);
    auto card = MakeCard(name);
    ASSERT_NE(card, nullptr);
    EXPECT_EQ(iso7816::ToHex(card->ColdReset(IccVoltage::V3_0).value_or(Bytes{})), hex);
  }
}

TEST(CardActivation, VoltageClassesAndMuteCards) {
  auto card = MakeCard("3v-only");
  EXPECT_FALSE(card->ColdReset(IccVoltage::V1_8).has_value());
  EXPECT_FALSE(card->Active());
  EXPECT_FALSE(card->ColdReset(IccVoltage::V5_0).has_value());
  EXPECT_TRUE(card->ColdReset(IccVoltage::V3_0).has_value());
  EXPECT_TRUE(card->Active());
  auto mute = MakeCard("mute");
  for (IccVoltage v : {IccVoltage::V5_0, IccVoltage::V3_0, IccVoltage::V1_8}) {
    EXPECT_FALSE(mute->ColdReset(v).has_value());
  }
  EXPECT_FALSE(mute->WarmReset().has_value());
  EXPECT_FALSE(mute->Active());
}

// Warm reset and power-off end the session (selection, verified PIN) but not the card's
// memory (files, counters); an inactive card ignores its line.
TEST(CardActivation, ResetsEndTheSessionNotTheMemory) {
  auto card = PoweredCard("t0");
  EXPECT_EQ(Sw(T0Transmit(*card, Hex("002000810830303030FFFFFFFF"))), 0x63C2);  // wrong PIN
  EXPECT_EQ(Sw(T0Transmit(*card, Hex("002000810831323334FFFFFFFF"))), 0x9000);
  EXPECT_EQ(Sw(T0Transmit(*card, Hex("00A4080C0450005001"))), 0x9000);
  EXPECT_EQ(Sw(T0Transmit(*card, Hex("00D6000002CAFE"))), 0x9000);
  const Bytes atr = *card->WarmReset();
  EXPECT_EQ(atr, BuildAtr(card->Profile()));
  EXPECT_FALSE(card->Application().PinVerified());
  EXPECT_EQ(card->Application().CurrentDf(), kFidMf);
  EXPECT_EQ(Sw(T0Transmit(*card, Hex("00B0000002"))), 0x6986);  // no current EF any more
  EXPECT_EQ(Sw(T0Transmit(*card, Hex("002000810830303030FFFFFFFF"))), 0x63C2);
  card->Deactivate();
  EXPECT_FALSE(card->Active());
  EXPECT_FALSE(card->WarmReset().has_value());
  card->Write(Hex("00B0000002"));
  EXPECT_TRUE(card->Read().empty());
  card->ColdReset(IccVoltage::V5_0);
  EXPECT_EQ(card->Application().PinTriesLeft(), 2);
  EXPECT_EQ(card->Application().FileContent(kFidData)->at(0), 0xCA);
}

struct ParameterRow {
  const char* profile;
  int protocol;
  std::uint8_t fidi;
  bool accepted;
};

// Parameters a PPS would accept: an offered protocol, and Fi/Di the defaults or the
// card's Fi with a Di no higher than its own; in specific mode only what TA2 names.
TEST(CardActivation, SetParametersFollowsTheAnswerToReset) {
  const ParameterRow rows[] = {
      {"t0", 0, 0x13, true},          {"t0", 0, 0x11, true},          {"t0", 0, 0x12, true},
      {"t0", 0, 0x14, false},         {"t0", 1, 0x11, false},         {"t0", 2, 0x11, false},
      {"t1-ifsc254", 1, 0x96, true},  {"t1-ifsc254", 1, 0x95, true},  {"t1-ifsc254", 1, 0x11, true},
      {"t1-ifsc254", 1, 0x97, false}, {"t1-ifsc254", 0, 0x96, false}, {"t1-ifsc254", 1, 0x16, false},
      {"dual", 0, 0x95, true},        {"dual", 1, 0x95, true},        {"dual", 1, 0x70, false},
      {"specific-t1", 1, 0x18, true}, {"specific-t1", 1, 0x11, false},
  };
  for (const ParameterRow& row : rows) {
    SCOPED_TRACE(std::string(row.profile) + " T=" + std::to_string(row.protocol) + " " +
                 iso7816::ToHex(Bytes{row.fidi}));
    auto card = PoweredCard(row.profile);
    EXPECT_EQ(card->SetParameters(row.protocol, row.fidi), row.accepted);
    EXPECT_EQ(card->SilentUntilReset(), !row.accepted);
    if (row.accepted) {
      EXPECT_EQ(card->Protocol(), row.protocol);
      EXPECT_EQ(card->Fidi(), row.fidi);
    } else {
      card->Write(Hex("00A4000000"));
      EXPECT_TRUE(card->Read().empty());  // silent until the next reset
      card->WarmReset();
      EXPECT_FALSE(card->SilentUntilReset());
    }
  }
}

TEST(CardActivation, ImplicitProtocolAfterReset) {
  EXPECT_EQ(PoweredCard("t0")->Protocol(), 0);
  EXPECT_EQ(PoweredCard("dual")->Protocol(), 0);
  EXPECT_EQ(PoweredCard("t1-ifsc32")->Protocol(), 1);
  auto specific = PoweredCard("specific-t1");
  EXPECT_EQ(specific->Protocol(), 1);
  EXPECT_EQ(specific->Fidi(), 0x18);
  auto t14 = PoweredCard("real-22");  // 3B 9F 21 0E ...: T=14 only, which no side here speaks
  EXPECT_EQ(t14->Protocol(), 14);
  t14->Write(Hex("00A4000000"));
  EXPECT_TRUE(t14->Read().empty());
  EXPECT_EQ(PoweredCard("real-23")->Protocol(), 0);  // 3B 81 1F 00 CC 52: TA2 00, specific T=0
  // A card with an over-long ATR still works once the reader goes on.
  auto overlong = PoweredCard("atr-64plus");
  T1Session session(*overlong);
  EXPECT_EQ(Sw(session.Transmit(kSelectApp)), 0x9000) << session.error();
}

}  // namespace
}  // namespace sim::testing

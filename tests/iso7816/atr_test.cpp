#include "iso7816/atr.h"

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

namespace iso7816 {
namespace {

Bytes Hex(std::string_view text) { return *FromHex(text); }

nlohmann::json LoadRealAtrs() {
  std::ifstream in(CCID_TEST_DATA_DIR "/real-atrs.json");
  return nlohmann::json::parse(in);
}

// Every real card's answer to reset is read exactly as the reference reading says.
TEST(AtrParser, RealAtrsReadAsDocumented) {
  const nlohmann::json data = LoadRealAtrs();
  ASSERT_EQ(data.at("atrs").size(), 34u);
  for (const auto& row : data.at("atrs")) {
    const std::string hex = row.at("atr");
    SCOPED_TRACE(hex);
    const AtrParseResult result = ParseAtr(Hex(hex));
    const Atr& atr = result.atr;
    EXPECT_EQ(result.ok(), row.at("parse_ok").get<bool>()) << result.reason;
    EXPECT_EQ(result.ok(), result.reason.empty());
    EXPECT_EQ(atr.convention == Convention::kInverse ? "inverse" : "direct", row.at("convention"));
    EXPECT_EQ(atr.fi_index, row.at("fi_index").get<int>());
    EXPECT_EQ(atr.di_index, row.at("di_index").get<int>());
    EXPECT_EQ(atr.n_guard, row.at("n_guard").get<int>());
    std::vector<int> protocols;
    for (int t = 0; t < 16; ++t) {
      if (atr.Offers(t)) protocols.push_back(t);
    }
    EXPECT_EQ(protocols, row.at("protocols").get<std::vector<int>>());
    EXPECT_EQ(atr.specific_mode, row.at("specific_mode").get<bool>());
    EXPECT_EQ(atr.t0_wi, row.at("t0_wi").get<int>());
    EXPECT_EQ(atr.t1_ifsc, row.at("t1_ifsc").get<int>());
    EXPECT_EQ(atr.t1_bwi, row.at("t1_bwi").get<int>());
    EXPECT_EQ(atr.t1_cwi, row.at("t1_cwi").get<int>());
    EXPECT_EQ(atr.t1_edc == Edc::kCrc ? "crc" : "lrc", row.at("t1_edc"));
    EXPECT_EQ(ToHex(atr.historical), row.at("historical_bytes"));
    EXPECT_EQ(atr.tck_present, row.at("tck_present").get<bool>());
    if (row.at("tck_ok").is_null()) {
      EXPECT_FALSE(atr.tck_ok.has_value());
    } else {
      ASSERT_TRUE(atr.tck_ok.has_value());
      EXPECT_EQ(*atr.tck_ok, row.at("tck_ok").get<bool>());
    }
  }
}

struct MalformedRow {
  const char* name;
  const char* hex;
  AtrError error;
  const char* reason_part;
};

// Malformed answers are refused, each with its own reason.
TEST(AtrParser, MalformedAtrsRefusedWithReason) {
  const MalformedRow rows[] = {
      {"empty", "", AtrError::kEmpty, "no ATR"},
      {"bad TS", "3A00", AtrError::kBadTs, "TS 0x3A"},
      {"TS only", "3B", AtrError::kTruncated, "T0"},
      {"TA1 missing", "3B10", AtrError::kTruncated, "TA1"},
      {"TD1 missing", "3B9011", AtrError::kTruncated, "TD1"},
      {"TB3 missing", "3B808131FE", AtrError::kTruncated, "TB3"},
      {"historical short", "3B0341", AtrError::kTruncated, "1 of 3 historical"},
      {"TCK missing", "3B8001", AtrError::kMissingTck, "TCK missing"},
      {"TCK wrong", "3B800100", AtrError::kWrongTck, "wrong TCK 0x00 (expected 0x81)"},
      {"byte after T=0 ATR", "3B0041", AtrError::kTrailingBytes, "1 byte(s) after"},
      {"bytes after TCK", "3B8001810000", AtrError::kTrailingBytes, "2 byte(s) after"},
      {"34 bytes", "3B0F000102030405060708090A0B0C0D0E" "000102030405060708090A0B0C0D0E0F10",
       AtrError::kTooLong, "34 bytes is longer than 33"},
  };
  for (const MalformedRow& row : rows) {
    SCOPED_TRACE(row.name);
    const AtrParseResult result = ParseAtr(Hex(row.hex));
    EXPECT_FALSE(result.ok());
    EXPECT_EQ(result.error, row.error);
    EXPECT_NE(result.reason.find(row.reason_part), std::string::npos) << result.reason;
  }
}

// The longest legal answer (33 bytes) passes; a longer one fails on its length.
TEST(AtrParser, ThirtyThreeBytesIsTheLimit) {
  const Bytes historical(15, 0x41);
  auto finish = [&](Bytes atr) {
    atr.insert(atr.end(), historical.begin(), historical.end());
    atr.push_back(Lrc(ByteView(atr).subspan(1)));
    return atr;
  };
  const Bytes longest = finish(Hex("3BFF" "1100FFF1" "014500F1" "FE450071" "204500"));
  ASSERT_EQ(longest.size(), 33u);
  AtrParseResult result = ParseAtr(longest);
  EXPECT_TRUE(result.ok()) << result.reason;
  const Bytes longer = finish(Hex("3BFF" "1100FFF1" "014500F1" "FE4500F1" "20450011" "20"));
  ASSERT_EQ(longer.size(), 35u);
  result = ParseAtr(longer);
  EXPECT_EQ(result.error, AtrError::kTooLong) << result.reason;
  EXPECT_EQ(result.atr.t1_ifsc, 0xFE);  // the fields are still read
}

TEST(AtrParser, GroupsAndSpecificMode) {
  // 3B F0 12 00 FF 91 81 B1 EF 45 1F 03 0A: TA2 81 names T=1 at TA1's parameters.
  const AtrParseResult result = ParseAtr(Hex("3BF01200FF9181B1EF451F030A"));
  ASSERT_TRUE(result.ok()) << result.reason;
  const Atr& atr = result.atr;
  ASSERT_EQ(atr.groups.size(), 4u);
  EXPECT_EQ(atr.groups[0].tb, 0x00);
  EXPECT_EQ(atr.groups[1].ta, 0x81);
  EXPECT_EQ(atr.groups[3].ta, 0x03);
  EXPECT_FALSE(atr.groups[3].td.has_value());
  EXPECT_TRUE(atr.specific_mode);
  EXPECT_EQ(atr.specific_protocol, 1);
  EXPECT_FALSE(atr.specific_implicit_parameters);
  EXPECT_EQ(atr.first_protocol, 1);
  EXPECT_EQ(atr.Ta1(), 0x12);
}

// Only the first TA/TB/TC after a TD naming T=1 counts, and TC3 bit 1 selects CRC.
TEST(AtrParser, T1ValuesFromFirstT1Group) {
  // TD1 80 (T=0, TD2); TD2 71 (TA3 TB3 TC3, T=1) = 80 23 01; TD3 absent.
  Bytes atr = Hex("3B8080718023014142");
  atr[1] = 0x82;  // K = 2
  atr.push_back(Lrc(ByteView(atr).subspan(1)));
  AtrParseResult result = ParseAtr(atr);
  ASSERT_TRUE(result.ok()) << result.reason;
  EXPECT_EQ(result.atr.t1_ifsc, 0x80);
  EXPECT_EQ(result.atr.t1_bwi, 2);
  EXPECT_EQ(result.atr.t1_cwi, 3);
  EXPECT_EQ(result.atr.t1_edc, Edc::kCrc);
  // A group announced by a TD naming T=15 does not count for T=1.
  atr = Hex("3B80801F80");
  atr.push_back(Lrc(ByteView(atr).subspan(1)));
  result = ParseAtr(atr);
  ASSERT_TRUE(result.ok()) << result.reason;
  EXPECT_EQ(result.atr.t1_ifsc, 32);
}

TEST(AtrTables, FiDiAndFMax) {
  const unsigned fi[16] = {372, 372, 558, 744, 1116, 1488, 1860, 0, 0, 512, 768, 1024, 1536, 2048, 0, 0};
  const unsigned fmax_khz[16] = {4000, 5000, 6000, 8000, 12000, 16000, 20000, 0,
                                 0,    5000, 7500, 10000, 15000, 20000, 0,    0};
  const unsigned di[16] = {0, 1, 2, 4, 8, 16, 32, 64, 12, 20, 0, 0, 0, 0, 0, 0};
  for (unsigned i = 0; i < 16; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(FiValue(i), fi[i]);
    EXPECT_EQ(FMaxHz(i), fmax_khz[i] * 1000);
    EXPECT_EQ(DiValue(i), di[i]);
  }
  EXPECT_EQ(FiValue(16), 0u);
  EXPECT_EQ(DiValue(99), 0u);
}

TEST(AtrTiming, DerivedTimesInMicroseconds) {
  // TA1 96 (Fi 512, Di 32), TC1 2, TC2 WI 20, T=1 with BWI 4 CWI 5, at 4 MHz.
  Bytes atr = Hex("3BD09602C0" "14" "31" "FE" "45");
  atr.push_back(Lrc(ByteView(atr).subspan(1)));
  const AtrParseResult result = ParseAtr(atr);
  ASSERT_TRUE(result.ok()) << result.reason;
  const auto t = ComputeTiming(result.atr, 4000000);
  ASSERT_TRUE(t.has_value());
  const double etu = 512.0 / (32.0 * 4e6) * 1e6;  // 4 us
  EXPECT_DOUBLE_EQ(t->etu_us, etu);
  EXPECT_DOUBLE_EQ(t->gt_us, 14 * etu);
  EXPECT_DOUBLE_EQ(t->wt_us, 960.0 * 20 * 512 / 4e6 * 1e6);
  EXPECT_DOUBLE_EQ(t->cwt_us, (11 + 32) * etu);
  EXPECT_DOUBLE_EQ(t->bwt_us, 11 * etu + 16 * 960.0 * 372 / 4e6 * 1e6);
  EXPECT_DOUBLE_EQ(t->bgt_us, 22 * etu);
  // Before PPS the defaults (F 372, D 1) apply; N = 255 means 12 etu (T=0) / 11 (T=1).
  Atr defaults = result.atr;
  defaults.n_guard = 255;
  const auto d = ComputeTiming(defaults, 3570000, 1, 1);
  ASSERT_TRUE(d.has_value());
  EXPECT_DOUBLE_EQ(d->etu_us, 372.0 / 3.57);
  EXPECT_DOUBLE_EQ(d->gt_us, 12 * d->etu_us);
  EXPECT_DOUBLE_EQ(d->gt_t1_us, 11 * d->etu_us);
  EXPECT_FALSE(ComputeTiming(result.atr, 4000000, 7, 1).has_value());
  EXPECT_FALSE(ComputeTiming(result.atr, 4000000, 1, 0).has_value());
  EXPECT_FALSE(ComputeTiming(result.atr, 0).has_value());
}

}  // namespace
}  // namespace iso7816

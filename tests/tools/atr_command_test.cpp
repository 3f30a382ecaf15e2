// `ccidsim atr`: every real ATR of the data file read as the file records it, the ISO/IEC
// 7816-3 defaults where bytes are absent, both forms of the inverse convention, malformed
// ATRs reported invalid with their reason, and text that is not hexadecimal refused.
#include <gtest/gtest.h>

#include <kernel_test_support.h>

#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "card/card.h"
#include "commands.h"
#include "iso7816/bytes.h"
#include "tool_test_util.h"

namespace {

using Json = nlohmann::json;

struct AtrRun {
  int status;
  Json json;
  std::string err;
};

AtrRun ReadAtr(const std::string& hex) {
  std::ostringstream out, err;
  const int status = ccidsim::RunAtr({.hex = hex, .json = true}, out, err);
  return {status, Json::parse(out.str(), nullptr, false), err.str()};
}

// The library reads an ATR as the data file records it, and refuses, besides the ATRs that
// do not parse, those of cards it cannot serve.
TEST(CcidsimAtr, EveryRealAtrReadsAsTheDataFileRecords) {
  const std::map<std::string, std::string> refused = {
      {"3B9F210E49524445544F204143532056352E3499", "the card offers neither T=0 nor T=1"},
      {"3B811F00CC52", "the card offers neither T=0 nor T=1"},
      {"3FFF3F3F3F3F003F3FFF3F3F3F3F3FFF3FFF953FFF953FFF", "DI is not an ISO 7816-3 value"},
  };
  const Json data = ccidsim_test::TestData("real-atrs.json");
  ASSERT_GE(data["atrs"].size(), 30u);
  for (const Json& want : data["atrs"]) {
    const std::string atr = want["atr"];
    SCOPED_TRACE(atr);
    const AtrRun run = ReadAtr(atr);
    const Json& got = run.json;
    const auto refusal = refused.find(atr);
    const bool valid = want["parse_ok"] && refusal == refused.end();
    EXPECT_EQ(got["valid"], valid);
    EXPECT_EQ(run.status, valid ? ccidsim::kExitClean : ccidsim::kExitProblem);
    EXPECT_EQ(got["error"].get<std::string>().empty(), valid);
    if (refusal != refused.end()) {
      EXPECT_EQ(got["error"], refusal->second);
    }
    if (!want["parse_ok"]) continue;
    EXPECT_EQ(got["convention"], want["convention"]);
    EXPECT_EQ(got["Fl"], want["fi_index"]);
    EXPECT_EQ(got["Dl"], want["di_index"]);
    EXPECT_EQ(got["N"], want["n_guard"]);
    EXPECT_EQ(got["protocols"], want["protocols"]);
    EXPECT_EQ(got["T0_WI"], want["t0_wi"]);
    EXPECT_EQ(got["T1_IFSC"], want["t1_ifsc"]);
    EXPECT_EQ(got["T1_BWI"], want["t1_bwi"]);
    EXPECT_EQ(got["T1_CWI"], want["t1_cwi"]);
    EXPECT_EQ(got["T1_EDC"], want["t1_edc"]);
    EXPECT_EQ(got["historical"], want["historical_bytes"]);
  }
}

TEST(CcidsimAtr, AbsentBytesTakeTheIsoDefaults) {
  const AtrRun run = ReadAtr("3B 00");
  EXPECT_EQ(run.status, ccidsim::kExitClean);
  EXPECT_EQ(run.json, (Json{{"atr", "3B00"}, {"valid", true}, {"error", ""}, {"convention", "direct"}, {"Fl", 1},
                            {"Dl", 1}, {"N", 0}, {"protocols", {0}}, {"T0_WI", 10}, {"T1_IFSC", 32}, {"T1_BWI", 4},
                            {"T1_CWI", 13}, {"T1_EDC", "lrc"}, {"historical", ""}, {"specific_mode", false}}));
}

// The inverse-convention card's ATR as logical bytes (3F ...) and as first seen on the wire
// (03 ... : every byte bit-reversed and complemented) reads the same.
TEST(CcidsimAtr, InverseConventionInBothForms) {
  const iso7816::Bytes logical = sim::BuildAtr(*sim::FindCardProfile("inverse"));
  iso7816::Bytes wire;
  for (std::uint8_t b : logical) {
    std::uint8_t reversed = 0;
    for (int bit = 0; bit < 8; ++bit) reversed |= ((b >> bit) & 1) << (7 - bit);
    wire.push_back(static_cast<std::uint8_t>(~reversed));
  }
  ASSERT_EQ(wire[0], 0x03);
  for (const iso7816::Bytes& form : {logical, wire}) {
    SCOPED_TRACE(iso7816::ToHex(form));
    const AtrRun run = ReadAtr(iso7816::ToHex(form));
    EXPECT_EQ(run.json["valid"], true) << run.json["error"];
    EXPECT_EQ(run.json["convention"], "inverse");
    EXPECT_EQ(run.json["Fl"], 9);
    EXPECT_EQ(run.json["Dl"], 4);
    EXPECT_EQ(run.json["protocols"], (Json{0, 1}));
    EXPECT_EQ(run.json["historical"], iso7816::ToHex(iso7816::Bytes{'C', 'C', 'I', 'D', 'S', 'I', 'M', ' ', 'I', 'N', 'V'}));
  }
}

TEST(CcidsimAtr, MalformedAtrsAreInvalidWithTheirReason) {
  struct Row {
    const char* hex;
    const char* reason;
  } rows[] = {
      {"", "no ATR bytes"},
      {"3A 00", "TS 0x3A is neither 3B nor 3F"},
      {"3B", "ATR ends before T0"},
      {"3B 9F", "TA1"},
      {"3B 03 41 42", "ATR ends after 2 of 3 historical bytes"},
      {"3B 80 01", "TCK missing"},
      {"3B 80 01 00", "wrong TCK 0x00 (expected 0x81)"},
      {"3B 00 99", "1 byte(s) after the end of the ATR"},
      {"3B 10 71", "FI is not an ISO 7816-3 value"},
      {"3B 10 1A", "DI is not an ISO 7816-3 value"},
      {"3B 80 0E 8E", "neither T=0 nor T=1"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.hex);
    const AtrRun run = ReadAtr(row.hex);
    EXPECT_EQ(run.status, ccidsim::kExitProblem);
    EXPECT_EQ(run.json["valid"], false);
    EXPECT_NE(run.json["error"].get<std::string>().find(row.reason), std::string::npos) << run.json["error"];
  }
}

TEST(CcidsimAtr, TextThatIsNotHexadecimalIsAUsageError) {
  for (const char* text : {"3B8", "3BZZ", "3B 8 F", "3B_00"}) {
    SCOPED_TRACE(text);
    std::ostringstream out, err;
    EXPECT_EQ(ccidsim::RunAtr({.hex = text}, out, err), ccidsim::kExitUsage);
    EXPECT_NE(err.str().find("is not hexadecimal"), std::string::npos) << err.str();
    EXPECT_TRUE(out.str().empty());
  }
}

}  // namespace

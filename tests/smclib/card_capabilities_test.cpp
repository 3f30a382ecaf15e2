// SmartcardUpdateCardCapabilities: the ATR turned into ISO 7816-3 values and microseconds,
// the protocol parameters to negotiate, the cards refused, and every real ATR of the data
// set read as the ISO 7816 library reads it.
#include <smclib.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "hosted/smclib/card_capabilities.h"
#include "iso7816/atr.h"
#include "kernel_test_support.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr ULONG kPoison = 0xDEADF00D;

Bytes WithTck(Bytes atr) {
  std::uint8_t tck = 0;
  for (std::size_t i = 1; i < atr.size(); ++i) tck ^= atr[i];
  atr.push_back(tck);
  return atr;
}

// An extension as a CCID reader's driver fills it: 4 MHz, 10752 bps by default.
struct Card {
  SMARTCARD_EXTENSION extension{};
  explicit Card(ULONG maxRate = 344086) {
    SCARD_READER_CAPABILITIES& reader = extension.ReaderCapabilities;
    reader.CLKFrequency.Default = reader.CLKFrequency.Max = 4000;
    reader.DataRate.Default = 10752;
    reader.DataRate.Max = maxRate;
  }
  NTSTATUS Update(const Bytes& atr) {
    std::copy(atr.begin(), atr.end(), extension.CardCapabilities.ATR.Buffer);
    extension.CardCapabilities.ATR.Length = static_cast<UCHAR>(atr.size());
    return SmartcardUpdateCardCapabilities(&extension);
  }
  const SCARD_CARD_CAPABILITIES& Caps() const { return extension.CardCapabilities; }
};

// TA1 = 18 (F 372, D 12), T=1 with IFSC 254, BWI 4, CWI 5.
const Bytes kFastT1 = WithTck({0x3B, 0x90, 0x18, 0x81, 0x31, 0xFE, 0x45});

TEST(SmclibCardCapabilities, AtrBecomesIsoValuesTimesInMicrosecondsAndTheProtocolParameters) {
  const struct {
    const char* name;
    Bytes atr;
    ULONG maxRate;
    ULONG supported;
    UCHAR fl, dl, n;
    UCHAR ptsType, ptsFl, ptsDl;
    ULONG dataRate, etu, gt;
    UCHAR ifsc, bwi, cwi, edc;
    ULONG cwt, bwt, bgt;
  } rows[] = {
      {"T=0 only, defaults", {0x3B, 0x02, 0x14, 0x50}, 344086, SCARD_PROTOCOL_T0, 1, 1, 0,
       PTS_TYPE_DEFAULT, 1, 1, 10752, 93, 1116, 32, 4, 13, 0, 762879, 1429503, 2046},
      {"T=1 at 372/12, reader fast enough", kFastT1, 344086, SCARD_PROTOCOL_T1, 1, 8, 0,
       PTS_TYPE_OPTIMAL, 1, 8, 129032, 8, 93, 254, 4, 5, 0, 333, 1428565, 171},
      {"T=1 at 372/12, reader too slow", kFastT1, 10752, SCARD_PROTOCOL_T1, 1, 8, 0,
       PTS_TYPE_DEFAULT, 1, 1, 10752, 93, 1116, 254, 4, 5, 0, 3999, 1429503, 2046},
      {"N 255 and CRC", WithTck({0x3B, 0xD0, 0x18, 0xFF, 0x81, 0x71, 0xFE, 0x45, 0x01}), 344086,
       SCARD_PROTOCOL_T1, 1, 8, 255, PTS_TYPE_OPTIMAL, 1, 8, 129032, 8, 93, 254, 4, 5, T1_CRC_CHECK, 333, 1428565,
       171},
      {"specific mode keeps TA1", {0x3B, 0x90, 0x18, 0x10, 0x00}, 344086, SCARD_PROTOCOL_T0, 1, 8, 0,
       PTS_TYPE_DEFAULT, 1, 8, 129032, 8, 93, 32, 4, 13, 0, 63573, 1428565, 171},
      {"specific mode with implicit parameters", {0x3B, 0x90, 0x18, 0x10, 0x10}, 344086, SCARD_PROTOCOL_T0, 1, 8, 0,
       PTS_TYPE_DEFAULT, 1, 1, 10752, 93, 1116, 32, 4, 13, 0, 762879, 1429503, 2046},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Card card(row.maxRate);
    ASSERT_EQ(card.Update(row.atr), STATUS_SUCCESS);
    const SCARD_CARD_CAPABILITIES& c = card.Caps();
    EXPECT_EQ(c.Protocol.Supported, row.supported);
    EXPECT_EQ(c.Fl, row.fl);
    EXPECT_EQ(c.Dl, row.dl);
    EXPECT_EQ(c.N, row.n);
    EXPECT_EQ(c.PtsData.Type, row.ptsType);
    EXPECT_EQ(c.PtsData.Fl, row.ptsFl);
    EXPECT_EQ(c.PtsData.Dl, row.ptsDl);
    EXPECT_EQ(c.PtsData.CLKFrequency, 4000u);
    EXPECT_EQ(c.PtsData.DataRate, row.dataRate);
    EXPECT_EQ(c.etu, row.etu);
    EXPECT_EQ(c.GT, row.gt);
    EXPECT_EQ(c.T0.WI, 10);
    EXPECT_EQ(c.T1.IFSC, row.ifsc);
    EXPECT_EQ(c.T1.BWI, row.bwi);
    EXPECT_EQ(c.T1.CWI, row.cwi);
    EXPECT_EQ(c.T1.EDC, row.edc);
    EXPECT_EQ(c.T1.CWT, row.cwt);
    EXPECT_EQ(c.T1.BWT, row.bwt);
    EXPECT_EQ(c.T1.BGT, row.bgt);
    EXPECT_FALSE(c.InversConvention);
  }
  Card card;
  ASSERT_EQ(card.Update({0x3B, 0x02, 0x14, 0x50}), STATUS_SUCCESS);
  EXPECT_EQ(card.Caps().T0.WT, 892800u);  // 960 x 10 x 372 / 4 MHz
  EXPECT_EQ(card.Caps().HistoricalChars.Length, 2);
  EXPECT_EQ(card.Caps().HistoricalChars.Buffer[1], 0x50);
}

TEST(SmclibCardCapabilities, RefusedCardsAreUnrecognisedMediaAndLeaveTheCapabilitiesAlone) {
  Bytes wrongTck = kFastT1;
  wrongTck.back() ^= 0x01;
  const struct {
    const char* name;
    Bytes atr;
  } rows[] = {
      {"TS neither 3B nor 3F", {0x3C, 0x00}},
      {"FI reserved", {0x3B, 0x10, 0x71}},
      {"DI reserved", {0x3B, 0x10, 0x1A}},
      {"wrong TCK", wrongTck},
      {"historical bytes missing", {0x3B, 0x12, 0x14}},
      {"neither T=0 nor T=1", WithTck({0x3B, 0x80, 0x0E})},
      {"no ATR", {}},
      {"longer than an ATR can be", Bytes(40, 0x3B)},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Card card;
    SCARD_CARD_CAPABILITIES& c = card.extension.CardCapabilities;
    c.Protocol.Supported = kPoison;
    c.etu = kPoison;
    c.PtsData.Type = PTS_TYPE_USER;
    EXPECT_EQ(card.Update(row.atr), STATUS_UNRECOGNIZED_MEDIA);
    EXPECT_EQ(c.Protocol.Supported, kPoison);
    EXPECT_EQ(c.etu, kPoison);
    EXPECT_EQ(c.PtsData.Type, PTS_TYPE_USER);
  }
}

TEST(SmclibCardCapabilities, InverseConventionAtrIsDecodedInPlace) {
  const Bytes logical = {0x3F, 0x02, 0x14, 0x50};
  Bytes raw = logical;
  SmartcardInvertData(raw.data(), static_cast<ULONG>(raw.size()));
  EXPECT_EQ(raw[0], 0x03);
  Bytes twice = raw;
  SmartcardInvertData(twice.data(), static_cast<ULONG>(twice.size()));
  EXPECT_EQ(twice, logical);

  for (const Bytes& atr : {raw, logical}) {
    SCOPED_TRACE(atr[0]);
    Card card;
    ASSERT_EQ(card.Update(atr), STATUS_SUCCESS);
    EXPECT_TRUE(card.Caps().InversConvention);
    EXPECT_TRUE(std::equal(logical.begin(), logical.end(), card.Caps().ATR.Buffer));
  }
}

TEST(SmclibCardCapabilities, DefaultTheDriverChoseAfterAFailedPtsStaysForThatCard) {
  Card card;
  ASSERT_EQ(card.Update(kFastT1), STATUS_SUCCESS);
  EXPECT_EQ(card.Caps().PtsData.Type, PTS_TYPE_OPTIMAL);
  const struct {
    const char* step;
    UCHAR setType;
    Bytes atr;
    UCHAR expected;
  } steps[] = {
      {"the driver falls back", PTS_TYPE_DEFAULT, kFastT1, PTS_TYPE_DEFAULT},
      {"a warm reset of the same card", PTS_TYPE_DEFAULT, kFastT1, PTS_TYPE_DEFAULT},
      {"the driver asks for optimal again", PTS_TYPE_OPTIMAL, kFastT1, PTS_TYPE_OPTIMAL},
      {"fallback, then another card", PTS_TYPE_DEFAULT, WithTck({0x3B, 0x90, 0x18, 0x81, 0x31, 0x20, 0x45}),
       PTS_TYPE_OPTIMAL},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.step);
    card.extension.CardCapabilities.PtsData.Type = step.setType;
    ASSERT_EQ(card.Update(step.atr), STATUS_SUCCESS);
    EXPECT_EQ(card.Caps().PtsData.Type, step.expected);
    EXPECT_EQ(card.Caps().PtsData.Dl, step.expected == PTS_TYPE_OPTIMAL ? 8 : 1);
  }
}

TEST(SmclibCardCapabilities, ReaderListsGiveTheFastestClockAndRateTheCardTakes) {
  ULONG clocks[] = {3580, 4800, 6000};  // 6 MHz is above the card's 5 MHz
  ULONG rates[] = {9600, 154838};       // 4.8 MHz x 12 / 372
  const struct {
    const char* name;
    UCHAR rateEntries;
    UCHAR type;
    ULONG clock;
  } rows[] = {{"the rate is listed", 2, PTS_TYPE_OPTIMAL, 4800}, {"the rate is not listed", 1, PTS_TYPE_DEFAULT, 4000}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Card card;
    SCARD_READER_CAPABILITIES& reader = card.extension.ReaderCapabilities;
    reader.CLKFrequenciesSupported.List = clocks;
    reader.CLKFrequenciesSupported.Entries = 3;
    reader.DataRatesSupported.List = rates;
    reader.DataRatesSupported.Entries = row.rateEntries;
    ASSERT_EQ(card.Update(kFastT1), STATUS_SUCCESS);
    EXPECT_EQ(card.Caps().PtsData.Type, row.type);
    EXPECT_EQ(card.Caps().PtsData.CLKFrequency, row.clock);
  }
}

TEST(SmclibCardCapabilities, EveryRealAtrIsReadAsTheIsoLibraryReadsIt) {
  std::ifstream in(CCID_TEST_DATA_DIR "/real-atrs.json");
  const nlohmann::json data = nlohmann::json::parse(in);
  std::size_t accepted = 0;
  for (const nlohmann::json& entry : data.at("atrs")) {
    const std::string hex = entry.at("atr");
    SCOPED_TRACE(hex);
    const Bytes atr = *iso7816::FromHex(hex);
    if (atr.size() > MAXIMUM_ATR_LENGTH) continue;
    bool offersT0orT1 = false;
    for (int protocol : entry.at("protocols")) offersT0orT1 |= protocol == 0 || protocol == 1;
    const bool recognised = entry.at("parse_ok").get<bool>() && offersT0orT1 &&
                            iso7816::FiValue(entry.at("fi_index")) != 0 && iso7816::DiValue(entry.at("di_index")) != 0;
    Card card;
    const NTSTATUS status = card.Update(atr);
    const hosted::smclib::AtrReading reading = hosted::smclib::ReadAtr(atr);
    EXPECT_EQ(reading.status, status);
    if (!recognised) {
      EXPECT_EQ(status, STATUS_UNRECOGNIZED_MEDIA);
      EXPECT_FALSE(reading.reason.empty());
      continue;
    }
    ++accepted;
    ASSERT_EQ(status, STATUS_SUCCESS);
    const SCARD_CARD_CAPABILITIES& c = card.Caps();
    EXPECT_EQ(c.Fl, entry.at("fi_index").get<int>());
    EXPECT_EQ(c.Dl, entry.at("di_index").get<int>());
    EXPECT_EQ(c.N, entry.at("n_guard").get<int>());
    EXPECT_EQ(c.T0.WI, entry.at("t0_wi").get<int>());
    EXPECT_EQ(c.T1.IFSC, entry.at("t1_ifsc").get<int>());
    EXPECT_EQ(c.T1.BWI, entry.at("t1_bwi").get<int>());
    EXPECT_EQ(c.T1.CWI, entry.at("t1_cwi").get<int>());
    EXPECT_EQ(c.T1.EDC, entry.at("t1_edc") == "crc" ? T1_CRC_CHECK : 0);
    EXPECT_EQ(c.InversConvention, entry.at("convention") == "inverse");
    EXPECT_EQ(iso7816::ToHex({c.HistoricalChars.Buffer, c.HistoricalChars.Length}),
              entry.at("historical_bytes").get<std::string>());
  }
  EXPECT_GT(accepted, 10u);
}

}  // namespace

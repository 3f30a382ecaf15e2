// Answers to reset as PC_to_RDR_IccPowerOn brings them back through the bulk pipes: every
// card profile byte for byte with its TCK, the over-long and the mute card as the reader
// reports them, voltage classes, the parameters the reader takes from each ATR, and
// what a warm reset does to the card's session.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "card_link.h"
#include "kernel_test_support.h"

namespace cardlink {
namespace {

constexpr std::uint8_t kIccMute = 0xFE;
constexpr std::uint8_t kBadPowerSelect = 0x07;
constexpr std::uint8_t kFailedInactive = 0x41;  // command failed, card present and unpowered

// XOR of T0 .. TCK: zero when the TCK is right.
std::uint8_t CheckCharacter(const Bytes& atr) { return iso7816::Lrc(iso7816::ByteView(atr).subspan(1)); }

nlohmann::json RealAtrReadings() {
  std::ifstream in(std::string(CCID_TEST_DATA_DIR) + "/real-atrs.json");
  EXPECT_TRUE(in.good()) << "real-atrs.json";
  return nlohmann::json::parse(in).at("atrs");
}

// Every profile of the catalogue, built-in and real, powered through URBs: the DataBlock
// carries exactly the profile's answer to reset, with a correct TCK wherever one is due.
TEST(AtrThroughReader, EveryProfileAnswersItsOwnBytes) {
  const nlohmann::json real = RealAtrReadings();
  std::size_t real_seen = 0;
  for (const sim::CardProfileInfo& info : sim::CardProfiles()) {
    SCOPED_TRACE(info.name);
    const sim::CardProfile profile = *sim::FindCardProfile(info.name);
    CardLink link("tpdu-basic", profile);
    const Answer answer = link.PowerOn();
    if (profile.mute) {
      EXPECT_EQ(answer.Status(), kFailedInactive);
      EXPECT_EQ(answer.Error(), kIccMute);
      continue;
    }
    ASSERT_TRUE(answer.Ok()) << Describe(answer);
    EXPECT_EQ(answer.Type(), 0x80);
    EXPECT_EQ(answer.Chain(), 0x00);
    const Bytes atr = answer.Data();
    EXPECT_EQ(atr, sim::BuildAtr(profile));
    const iso7816::AtrParseResult parsed = iso7816::ParseAtr(atr);
    if (info.name.rfind("real-", 0) == 0) {
      const std::size_t index = std::stoul(info.name.substr(5));
      ASSERT_LT(index, real.size());
      const nlohmann::json& reading = real[index];
      EXPECT_EQ(iso7816::ToHex(atr), reading.at("atr").get<std::string>());
      EXPECT_EQ(parsed.ok(), reading.at("parse_ok").get<bool>()) << parsed.reason;
      EXPECT_EQ(parsed.atr.tck_present, reading.at("tck_present").get<bool>());
      if (parsed.ok() && parsed.atr.tck_present) {
        EXPECT_EQ(CheckCharacter(atr), 0) << "TCK";
      }
      ++real_seen;
      continue;
    }
    if (info.name == "atr-64plus") {
      EXPECT_EQ(parsed.error, iso7816::AtrError::kTooLong);
    } else {
      EXPECT_TRUE(parsed.ok()) << parsed.reason;
    }
    // A TCK exactly when a protocol other than T=0 is offered, and then a right one.
    EXPECT_EQ(parsed.atr.tck_present, profile.raw_atr.has_value() || profile.t1);
    if (parsed.atr.tck_present) {
      EXPECT_EQ(CheckCharacter(atr), 0) << "TCK";
    }
  }
  EXPECT_EQ(real_seen, real.size());
}

// The 68-byte answer travels whole (two packets); the reader keeps the card powered.
// The mute card fails every power-on the driver's voltage ladder sends.
TEST(AtrThroughReader, OverlongAndMuteCardsAsTheReaderReportsThem) {
  CardLink overlong("tpdu-basic", "atr-64plus");
  const Answer answer = overlong.PowerOn();
  ASSERT_TRUE(answer.Ok()) << Describe(answer);
  EXPECT_EQ(sim::ccid::Le32(answer.message, 1), 68u) << "dwLength";
  EXPECT_EQ(answer.message.size(), 78u);
  EXPECT_TRUE(overlong.Reader().CardPowered());
  const Answer status = overlong.Send(0x65);
  EXPECT_EQ(status.Status(), 0x00) << "processed, card active";

  CardLink mute("tpdu-basic", "mute");
  for (std::uint8_t select : {3, 2, 1, 0}) {
    SCOPED_TRACE(int(select));
    const Answer refused = mute.PowerOn(select);
    EXPECT_EQ(refused.Type(), 0x80);
    EXPECT_EQ(refused.Status(), kFailedInactive);
    EXPECT_EQ(refused.Error(), kIccMute);
    EXPECT_TRUE(refused.Data().empty());
    EXPECT_FALSE(mute.Reader().CardPowered());
  }
}

struct VoltageRow {
  const char* name;
  const char* reader;
  const char* card;
  std::uint8_t select;
  std::uint8_t status, error;
  std::optional<sim::IccVoltage> voltage;  // where the card ends up powered
};

void PrintTo(const VoltageRow& row, std::ostream* os) { *os << row.name; }

class AtrVoltage : public testing::TestWithParam<VoltageRow> {};

// bPowerSelect against the reader's voltages and the card's classes: automatic selection
// climbs from the lowest voltage the reader has.
TEST_P(AtrVoltage, PowerOnAtTheRequestedClass) {
  const VoltageRow& row = GetParam();
  CardLink link(row.reader, row.card);
  const Answer answer = link.PowerOn(row.select);
  EXPECT_EQ(answer.Status(), row.status) << Describe(answer);
  EXPECT_EQ(answer.Error(), row.error);
  EXPECT_EQ(link.Reader().CardVoltage(), row.voltage);
  if (row.voltage) {
    EXPECT_EQ(answer.Data(), sim::BuildAtr(*sim::FindCardProfile(row.card)));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Classes, AtrVoltage,
    testing::Values(VoltageRow{"3v_card_at_1v8", "tpdu-basic", "3v-only", 3, kFailedInactive, kIccMute, {}},
                    VoltageRow{"3v_card_at_3v", "tpdu-basic", "3v-only", 2, 0x00, 0x00, sim::IccVoltage::V3_0},
                    VoltageRow{"3v_card_at_5v", "tpdu-basic", "3v-only", 1, kFailedInactive, kIccMute, {}},
                    VoltageRow{"3v_card_automatic", "tpdu-basic", "3v-only", 0, 0x00, 0x00, sim::IccVoltage::V3_0},
                    VoltageRow{"3v_card_on_5v_reader", "five-volt-only", "3v-only", 0, kFailedInactive, kIccMute, {}},
                    VoltageRow{"3v_asked_of_5v_reader", "five-volt-only", "3v-only", 2, kFailedInactive,
                               kBadPowerSelect, {}},
                    VoltageRow{"any_card_automatic_lowest_first", "tpdu-basic", "t0", 0, 0x00, 0x00,
                               sim::IccVoltage::V1_8},
                    VoltageRow{"any_card_on_5v_reader", "five-volt-only", "t0", 0, 0x00, 0x00, sim::IccVoltage::V5_0}),
    [](const auto& info) { return std::string(info.param.name); });

// The parameters the reader sets up from each answer to reset (GetParameters after the
// power-on), against the library's own reading of the same bytes: the protocol of TD1,
// Fi/Di of TA1, the convention, TC1, TC2 for T=0 and the first T=1 group's IFSC,
// BWI/CWI and EDC for T=1.
TEST(AtrThroughReader, ReaderParametersFollowTheAtr) {
  for (const sim::CardProfileInfo& info : sim::CardProfiles()) {
    const sim::CardProfile profile = *sim::FindCardProfile(info.name);
    const Bytes atr_bytes = sim::BuildAtr(profile);
    const iso7816::AtrParseResult parsed = iso7816::ParseAtr(atr_bytes);
    if (profile.mute || !parsed.ok()) continue;
    SCOPED_TRACE(info.name + " " + iso7816::ToHex(atr_bytes));
    CardLink link("tpdu-basic", profile);
    ASSERT_TRUE(link.PowerOn().Ok());
    const Answer answer = link.GetParameters();
    ASSERT_TRUE(answer.Ok()) << Describe(answer);
    const iso7816::Atr& atr = parsed.atr;
    const std::uint8_t protocol = atr.first_protocol == 1 ? 1 : 0;
    EXPECT_EQ(answer.Chain(), protocol) << "bProtocolNum";
    const bool fidi_valid = atr.Fi() != 0 && atr.Di() != 0 && (atr.di_index & 0x0F) <= 9;
    const std::uint8_t fidi = fidi_valid ? atr.Ta1() : 0x11;
    const std::uint8_t inverse = atr.convention == iso7816::Convention::kInverse ? 0x02 : 0x00;
    Bytes expected;
    if (protocol == 0) {
      expected = {fidi, inverse, atr.n_guard, atr.t0_wi, 0x00};
    } else {
      const std::uint8_t crc = atr.t1_edc == iso7816::Edc::kCrc ? 1 : 0;
      expected = {fidi,  static_cast<std::uint8_t>(0x10 | inverse | crc), atr.n_guard,
                  static_cast<std::uint8_t>(atr.t1_bwi << 4 | atr.t1_cwi), 0x00, atr.t1_ifsc, 0x00};
    }
    EXPECT_EQ(iso7816::ToHex(answer.Data()), iso7816::ToHex(expected));
  }
}

// A power-on of a powered card is a warm reset: the same answer, and the card's session
// (verified PIN, selection) is gone; its counters are not.
TEST(AtrThroughReader, WarmResetStartsANewSession) {
  CardLink link("apdu-short", "t1-ifsc32");
  ASSERT_TRUE(link.PowerOn().Ok());
  const Bytes first = link.Atr();
  const Bytes select = Hex("00A4080C0450005003");
  const Bytes read = Hex("00B0000020");
  EXPECT_EQ(link.Xfr(select).Data(), Hex("9000"));
  EXPECT_EQ(link.Xfr(Hex("0020008108" "0431323334000000")).Data(), Hex("9000"));
  EXPECT_EQ(link.Xfr(read).Data().size(), 34u);
  EXPECT_EQ(link.Xfr(Hex("0020008108" "0439393939000000")).Data(), Hex("63C2"));

  const Answer warm = link.PowerOn();
  ASSERT_TRUE(warm.Ok());
  EXPECT_EQ(warm.Data(), first);
  EXPECT_EQ(link.Xfr(select).Data(), Hex("9000"));
  EXPECT_EQ(link.Xfr(read).Data(), Hex("6982")) << "the PIN must be presented again";
  EXPECT_EQ(link.Xfr(Hex("0020008100")).Data(), Hex("63C2")) << "the retry counter survived";

  ASSERT_EQ(link.PowerOff().Status(), 0x01) << "processed, card inactive";
  ASSERT_TRUE(link.PowerOn().Ok());
  EXPECT_EQ(link.Atr(), first);
  EXPECT_EQ(link.Xfr(Hex("0020008100")).Data(), Hex("63C2")) << "and a power cycle";
}

}  // namespace
}  // namespace cardlink

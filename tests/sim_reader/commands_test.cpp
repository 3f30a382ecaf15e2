// The bulk command set, message by message: each command's answer, the sequence number
// echoed, bStatus and bError, as the CCID class defines them.
#include <gtest/gtest.h>

#include "card/card.h"
#include "reader_host.h"
#include "scripted_card.h"

namespace reader_test {
namespace {

using sim::CcidReader;
namespace ccid = sim::ccid;

constexpr std::uint8_t kPowerOn = 0x62, kPowerOff = 0x63, kSlotStatus = 0x65, kSetParams = 0x61;
constexpr std::uint8_t kGetParams = 0x6C, kResetParams = 0x6D, kXfr = 0x6F, kEscape = 0x6B;

// A configured reader of a catalogue profile and its host.
struct Bench {
  explicit Bench(const char* profile) : reader(CcidReader::FromCatalogue(profile)), host(*reader) {
    EXPECT_TRUE(host.Configure());
    host.ReadInterrupt();  // the initial slot-change message
  }
  ScriptedCard* Scripted(Bytes atr, std::uint8_t voltages = 7) {
    auto card = std::make_unique<ScriptedCard>(std::move(atr), voltages);
    ScriptedCard* raw = card.get();
    reader->InsertCard(std::move(card));
    return raw;
  }
  Bytes Ask(const Bytes& cmd) {
    auto m = host.Exchange(cmd);
    EXPECT_TRUE(m) << "no answer";
    return m.value_or(Bytes(10, 0));
  }
  std::unique_ptr<CcidReader> reader;
  TestHost host;
};

void ExpectHeader(const Bytes& m, std::uint8_t type, std::uint8_t seq, std::uint8_t status, std::uint8_t error) {
  ASSERT_GE(m.size(), 10u);
  EXPECT_EQ(m[0], type) << "bMessageType";
  EXPECT_EQ(ccid::Le32(m, 1), m.size() - 10) << "dwLength";
  EXPECT_EQ(m[6], seq) << "bSeq";
  EXPECT_EQ(m[7], status) << "bStatus";
  EXPECT_EQ(m[8], error) << "bError";
}

TEST(ReaderCommands, PowerOnAnswersTheAtrAndEchoesTheSequence) {
  Bench b("tpdu-basic");
  b.reader->InsertCard(sim::MakeCard("t0"));
  const Bytes atr = sim::BuildAtr(*sim::FindCardProfile("t0"));
  for (std::uint8_t seq : {0x00, 0x41, 0xFF}) {
    SCOPED_TRACE(int(seq));
    Bytes m = b.Ask(Cmd(kPowerOn, seq));
    ExpectHeader(m, 0x80, seq, 0x00, 0x00);
    EXPECT_EQ(Payload(m), atr);
  }
  EXPECT_TRUE(b.reader->CardPowered());
}

TEST(ReaderCommands, PowerOnWithoutACard) {
  Bench b("tpdu-basic");
  ExpectHeader(b.Ask(Cmd(kPowerOn, 7)), 0x80, 7, 0x42, 0xFE);
}

// Voltage selection: bPowerSelect against bVoltageSupport and the classes the card
// accepts. Automatic selection tries the reader's classes from the lowest voltage up.
struct VoltageRow {
  const char* name;
  const char* profile;
  std::uint8_t card_voltages;  // 1: 5 V, 2: 3 V, 4: 1.8 V
  std::uint8_t power_select;
  std::uint8_t status, error;
  std::vector<sim::IccVoltage> tried;
};

class ReaderVoltage : public testing::TestWithParam<VoltageRow> {};

TEST_P(ReaderVoltage, Selection) {
  const VoltageRow& row = GetParam();
  Bench b(row.profile);
  ScriptedCard* card = b.Scripted({0x3B, 0x00}, row.card_voltages);
  Bytes m = b.Ask(Cmd(kPowerOn, 3, {}, 0, row.power_select));
  ExpectHeader(m, 0x80, 3, row.status, row.error);
  EXPECT_EQ(card->tried, row.tried);
  EXPECT_EQ(b.reader->CardPowered(), row.status == 0);
  if (row.status == 0) {
    EXPECT_EQ(b.reader->CardVoltage(), row.tried.back());
  }
}

using V = sim::IccVoltage;
INSTANTIATE_TEST_SUITE_P(
    Table, ReaderVoltage,
    testing::Values(VoltageRow{"auto_lowest_first", "tpdu-basic", 7, 0, 0x00, 0x00, {V::V1_8}},
                    VoltageRow{"auto_climbs_to_3V", "tpdu-basic", 2, 0, 0x00, 0x00, {V::V1_8, V::V3_0}},
                    VoltageRow{"auto_climbs_to_5V", "tpdu-basic", 1, 0, 0x00, 0x00, {V::V1_8, V::V3_0, V::V5_0}},
                    VoltageRow{"asked_3V", "tpdu-basic", 7, 2, 0x00, 0x00, {V::V3_0}},
                    VoltageRow{"asked_1V8_card_5V_only", "tpdu-basic", 1, 3, 0x41, 0xFE, {V::V1_8}},
                    VoltageRow{"unsupported_class", "five-volt-only", 7, 2, 0x41, 0x07, {}},
                    VoltageRow{"bad_power_select", "tpdu-basic", 7, 4, 0x41, 0x07, {}},
                    VoltageRow{"auto_on_5V_reader", "five-volt-only", 2, 0, 0x41, 0xFE, {V::V5_0}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReaderCommands, PowerOnOfAnActiveCardIsAWarmReset) {
  Bench b("tpdu-basic");
  ScriptedCard* card = b.Scripted({0x3B, 0x00});
  b.Ask(Cmd(kPowerOn, 1));
  ExpectHeader(b.Ask(Cmd(kPowerOn, 2)), 0x80, 2, 0x00, 0x00);
  EXPECT_EQ(card->resets, 1);
  EXPECT_EQ(card->warm_resets, 1);
  ExpectHeader(b.Ask(Cmd(kPowerOn, 3, {}, 0, 2)), 0x80, 3, 0x00, 0x00);  // another class: cold
  EXPECT_EQ(card->resets, 2);
}

TEST(ReaderCommands, MuteCardAndBadTs) {
  Bench b("tpdu-basic");
  b.reader->InsertCard(sim::MakeCard("mute"));
  ExpectHeader(b.Ask(Cmd(kPowerOn, 1)), 0x80, 1, 0x41, 0xFE);
  b.Scripted({0x55, 0x00});
  ExpectHeader(b.Ask(Cmd(kPowerOn, 2)), 0x80, 2, 0x41, 0xF8);
  EXPECT_FALSE(b.reader->CardPowered());
}

TEST(ReaderCommands, OverlongAtrIsPassedOnWhole) {
  Bench b("tpdu-basic");
  b.reader->InsertCard(sim::MakeCard("atr-64plus"));
  Bytes m = b.Ask(Cmd(kPowerOn, 1));
  ExpectHeader(m, 0x80, 1, 0x00, 0x00);
  EXPECT_EQ(Payload(m), sim::BuildAtr(*sim::FindCardProfile("atr-64plus")));
}

TEST(ReaderCommands, SlotStatusAndPowerOffFollowTheCard) {
  Bench b("tpdu-basic");
  // bStatus: 2 no card, 1 present and inactive, 0 active; byte 9 bClockStatus.
  Bytes m = b.Ask(Cmd(kSlotStatus, 1));
  ExpectHeader(m, 0x81, 1, 0x02, 0x00);
  b.Scripted({0x3B, 0x00});
  ExpectHeader(b.Ask(Cmd(kSlotStatus, 2)), 0x81, 2, 0x01, 0x00);
  b.Ask(Cmd(kPowerOn, 3));
  m = b.Ask(Cmd(kSlotStatus, 4));
  ExpectHeader(m, 0x81, 4, 0x00, 0x00);
  EXPECT_EQ(m[9], 0) << "clock running";
  m = b.Ask(Cmd(kPowerOff, 5));
  ExpectHeader(m, 0x81, 5, 0x01, 0x00);
  EXPECT_EQ(m[9], 3) << "clock stopped";
  EXPECT_FALSE(b.reader->CardPowered());
  b.reader->RemoveCard();
  ExpectHeader(b.Ask(Cmd(kPowerOff, 6)), 0x81, 6, 0x02, 0x00);
}

// SetParameters: each field of the T=0 and T=1 structures checked; a bad one answers
// with its offset in bError, and nothing changes.
struct ParamRow {
  const char* name;
  const char* profile;
  std::uint8_t protocol;
  Bytes data;
  std::uint8_t error;  // 0: accepted
};

class ReaderSetParameters : public testing::TestWithParam<ParamRow> {};

TEST_P(ReaderSetParameters, Validation) {
  const ParamRow& row = GetParam();
  Bench b(row.profile);
  ScriptedCard* card = b.Scripted({0x3B, 0x00});
  b.Ask(Cmd(kPowerOn, 1));
  Bytes m = b.Ask(Cmd(kSetParams, 9, row.data, 0, row.protocol));
  if (row.error == 0) {
    ExpectHeader(m, 0x82, 9, 0x00, 0x00);
    EXPECT_EQ(m[9], row.protocol) << "bProtocolNum";
    EXPECT_EQ(Payload(m), row.data);
    EXPECT_EQ(card->protocol, row.protocol);
    EXPECT_EQ(card->fidi, row.data[0]);
  } else {
    ExpectHeader(m, 0x82, 9, 0x40, row.error);
    EXPECT_EQ(card->protocol, -1) << "the card is not touched";
    m = b.Ask(Cmd(kGetParams, 10));
    EXPECT_EQ(Payload(m), (Bytes{0x11, 0x00, 0x00, 0x0A, 0x00})) << "parameters unchanged";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReaderSetParameters,
    testing::Values(ParamRow{"t0_ok", "tpdu-basic", 0, {0x96, 0x02, 0x01, 0x14, 0x03}, 0},
                    ParamRow{"t1_ok", "tpdu-basic", 1, {0x18, 0x11, 0x00, 0x45, 0x00, 0xFE, 0x00}, 0},
                    ParamRow{"t1_nad_with_nad_support", "tpdu-basic", 1, {0x11, 0x10, 0, 0x4D, 0, 0x20, 0x05}, 0},
                    ParamRow{"t1_nad_without_support", "apdu-short", 1, {0x11, 0x10, 0, 0x4D, 0, 0x20, 0x05}, 16},
                    ParamRow{"t1_tcckst_bits_7_2_zero", "tpdu-basic", 1, {0x11, 0x00, 0, 0x4D, 0, 0x20, 0}, 11},
                    ParamRow{"t0_tcckst_checksum_bit", "tpdu-basic", 0, {0x11, 0x01, 0, 0x0A, 0}, 11},
                    ParamRow{"reserved_fi", "tpdu-basic", 0, {0x71, 0x00, 0, 0x0A, 0}, 10},
                    ParamRow{"reserved_di", "tpdu-basic", 0, {0x1A, 0x00, 0, 0x0A, 0}, 10},
                    ParamRow{"bwi_above_9", "tpdu-basic", 1, {0x11, 0x10, 0, 0xA4, 0, 0x20, 0}, 13},
                    ParamRow{"clock_stop_4", "tpdu-basic", 0, {0x11, 0x00, 0, 0x0A, 4}, 14},
                    ParamRow{"ifsc_zero", "tpdu-basic", 1, {0x11, 0x10, 0, 0x4D, 0, 0x00, 0}, 15},
                    ParamRow{"ifsc_ff", "tpdu-basic", 1, {0x11, 0x10, 0, 0x4D, 0, 0xFF, 0}, 15},
                    ParamRow{"t0_structure_of_t1_size", "tpdu-basic", 0, {0x11, 0, 0, 0x0A, 0, 0x20, 0}, 1},
                    ParamRow{"protocol_2", "tpdu-basic", 2, {0x11, 0, 0, 0x0A, 0}, 7},
                    ParamRow{"t0_on_t1_only_reader", "t1-only", 0, {0x11, 0, 0, 0x0A, 0}, 7}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReaderCommands, ParametersComeFromTheAtrAndResetToIt) {
  Bench b("tpdu-basic");
  b.reader->InsertCard(sim::MakeCard("t1-ifsc254"));  // TA1 96, TC1 FF, IFSC 254, T=1 only
  b.Ask(Cmd(kPowerOn, 1));
  Bytes m = b.Ask(Cmd(kGetParams, 2));
  ExpectHeader(m, 0x82, 2, 0x00, 0x00);
  EXPECT_EQ(m[9], 1);
  const Bytes from_atr = Payload(m);
  ASSERT_EQ(from_atr.size(), 7u);
  EXPECT_EQ(from_atr[0], 0x96);
  EXPECT_EQ(from_atr[2], 0xFF) << "guard time from TC1";
  EXPECT_EQ(from_atr[5], 254) << "IFSC";
  b.Ask(Cmd(kSetParams, 3, {0x11, 0x10, 0x00, 0x4D, 0x00, 0x20, 0x00}, 0, 1));
  EXPECT_EQ(Payload(b.Ask(Cmd(kGetParams, 4))), (Bytes{0x11, 0x10, 0x00, 0x4D, 0x00, 0x20, 0x00}));
  m = b.Ask(Cmd(kResetParams, 5));
  ExpectHeader(m, 0x82, 5, 0x00, 0x00);
  EXPECT_EQ(Payload(m), from_atr);
}

TEST(ReaderCommands, TpduT0CommandsFollowTheProcedureBytes) {
  Bench b("tpdu-basic");
  ScriptedCard* card = b.Scripted({0x3B, 0x00});
  b.Ask(Cmd(kPowerOn, 1));
  // Incoming (case 2): ACK, then the data and the status bytes in one burst.
  card->reads = {{0xB0, 0x01, 0x02, 0x03, 0x04, 0x90, 0x00}};
  Bytes m = b.Ask(Cmd(kXfr, 2, {0x00, 0xB0, 0x00, 0x00, 0x04}));
  ExpectHeader(m, 0x80, 2, 0x00, 0x00);
  EXPECT_EQ(Payload(m), (Bytes{0x01, 0x02, 0x03, 0x04, 0x90, 0x00}));
  EXPECT_EQ(card->writes, (std::vector<Bytes>{{0x00, 0xB0, 0x00, 0x00, 0x04}}));
  // Outgoing (case 3), one byte at a time (~INS), with two NULLs: two time extensions.
  card->writes.clear();
  card->reads = {{0x60}, {0x2F}, {0x2F}, {0x60}, {0x90, 0x00}};
  int wtx = -1;
  auto answer = b.host.Exchange(Cmd(kXfr, 3, {0x00, 0xD0, 0x00, 0x00, 0x02, 0xAA, 0xBB}), &wtx);
  ASSERT_TRUE(answer);
  ExpectHeader(*answer, 0x80, 3, 0x00, 0x00);
  EXPECT_EQ(Payload(*answer), (Bytes{0x90, 0x00}));
  EXPECT_EQ(wtx, 2);
  EXPECT_EQ(card->writes, (std::vector<Bytes>{{0x00, 0xD0, 0x00, 0x00, 0x02}, {0xAA}, {0xBB}}));
  // A wrong procedure byte, and silence.
  card->reads = {{0x42}};
  ExpectHeader(b.Ask(Cmd(kXfr, 4, {0x00, 0xB0, 0x00, 0x00, 0x01})), 0x80, 4, 0x40, 0xF4);
  card->reads = {};
  ExpectHeader(b.Ask(Cmd(kXfr, 5, {0x00, 0xB0, 0x00, 0x00, 0x01})), 0x80, 5, 0x40, 0xFE);
  // A TPDU whose data does not match P3.
  ExpectHeader(b.Ask(Cmd(kXfr, 6, {0x00, 0xD0, 0x00, 0x00, 0x05, 0x01})), 0x80, 6, 0x40, 0x0A);
}

TEST(ReaderCommands, TpduT1BlockGoesToTheCardAsItIs) {
  Bench b("tpdu-basic");
  b.reader->InsertCard(sim::MakeCard("t1-ifsc32"));
  b.Ask(Cmd(kPowerOn, 1));
  // I(0) block with GET CHALLENGE for 8 bytes, LRC.
  Bytes block{0x00, 0x00, 0x05, 0x00, 0x84, 0x00, 0x00, 0x08};
  std::uint8_t lrc = 0;
  for (auto x : block) lrc ^= x;
  block.push_back(lrc);
  Bytes m = b.Ask(Cmd(kXfr, 2, block));
  ExpectHeader(m, 0x80, 2, 0x00, 0x00);
  const Bytes answer = Payload(m);
  ASSERT_EQ(answer.size(), 3u + 10 + 1);
  EXPECT_EQ(answer[1], 0x00) << "I(0) block back";
  EXPECT_EQ(answer[2], 10);
  EXPECT_EQ(answer[answer.size() - 3], 0x90);
  std::uint8_t check = 0;
  for (auto x : answer) check ^= x;
  EXPECT_EQ(check, 0) << "LRC";
}

TEST(ReaderCommands, XfrBlockNeedsAPoweredCard) {
  Bench b("tpdu-basic");
  ExpectHeader(b.Ask(Cmd(kXfr, 1, {0, 0xB0, 0, 0, 1})), 0x80, 1, 0x42, 0xFE);
  b.Scripted({0x3B, 0x00});
  ExpectHeader(b.Ask(Cmd(kXfr, 2, {0, 0xB0, 0, 0, 1})), 0x80, 2, 0x41, 0xFE);
}

TEST(ReaderCommands, UnknownAndUnsupportedCommands) {
  Bench b("tpdu-basic");
  // Unknown: "command not supported" (failed, bError 0) as a SlotStatus, noted as a host fault.
  ExpectHeader(b.Ask(Cmd(0x99, 1)), 0x81, 1, 0x42, 0x00);
  ASSERT_EQ(b.reader->HostErrors().size(), 1u);
  EXPECT_EQ(b.reader->HostErrors()[0].message_type, 0x99);
  // Defined but not implemented here: the same answer in the command's own response type.
  ExpectHeader(b.Ask(Cmd(0x71, 2)), 0x81, 2, 0x42, 0x00);               // Mechanical
  ExpectHeader(b.Ask(Cmd(0x73, 3, Bytes(8, 0))), 0x84, 3, 0x42, 0x00);  // SetDataRateAndClockFrequency
  ExpectHeader(b.Ask(Cmd(0x69, 4, Bytes(20, 0))), 0x80, 4, 0x42, 0x00);  // Secure without a PIN pad
  EXPECT_EQ(b.reader->HostErrors().size(), 1u);
  // A payload on a command that takes none: dwLength in error.
  ExpectHeader(b.Ask(Cmd(kPowerOn, 5, {0x00})), 0x80, 5, 0x42, 0x01);
}

TEST(ReaderCommands, SlotNumbers) {
  Bench one("tpdu-basic");
  ExpectHeader(one.Ask(Cmd(kSlotStatus, 1, {}, 1)), 0x81, 1, 0x42, 0x05);
  Bench two("multi-slot");
  two.reader->InsertCard(1, std::make_unique<ScriptedCard>(Bytes{0x3B, 0x00}));
  Bytes m = two.Ask(Cmd(kSlotStatus, 2, {}, 1));
  ExpectHeader(m, 0x81, 2, 0x01, 0x00);
  EXPECT_EQ(m[5], 1) << "bSlot echoed";
  ExpectHeader(two.Ask(Cmd(kSlotStatus, 3, {}, 0)), 0x81, 3, 0x02, 0x00);
  ExpectHeader(two.Ask(Cmd(kSlotStatus, 4, {}, 2)), 0x81, 4, 0x42, 0x05);
}

TEST(ReaderCommands, EscapesAreRecordedAndAnswered) {
  Bench b("tpdu-basic");
  const std::string ident = "TALMOR_DRIVER_3004";
  Bytes m = b.Ask(Cmd(kEscape, 1, Bytes(ident.begin(), ident.end())));
  ExpectHeader(m, 0x83, 1, 0x02, 0x00);  // no card: still processed
  m = b.Ask(Cmd(kEscape, 2, {0x01}));
  ExpectHeader(m, 0x83, 2, 0x02, 0x00);
  EXPECT_EQ(std::string(m.begin() + 10, m.end()), "CCID Bench reader 1.0");
  ExpectHeader(b.Ask(Cmd(kEscape, 3, {0xAB, 0xCD})), 0x83, 3, 0x42, 0x00);
  b.reader->SetEscapeReply({0xAB}, {0x12, 0x34}, true);
  EXPECT_EQ(Payload(b.Ask(Cmd(kEscape, 4, {0xAB, 0xCD}))), (Bytes{0x12, 0x34}));
  const auto seen = b.reader->EscapesReceived();
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(std::string(seen[0].begin(), seen[0].end()), ident);
  EXPECT_EQ(seen[2], (Bytes{0xAB, 0xCD}));
}

TEST(ReaderCommands, IccClockStopsAndRestarts) {
  Bench b("tpdu-basic");
  b.Scripted({0x3B, 0x00});
  b.Ask(Cmd(kPowerOn, 1));
  Bytes m = b.Ask(Cmd(0x6E, 2, {}, 0, 1));
  ExpectHeader(m, 0x81, 2, 0x00, 0x00);
  EXPECT_EQ(m[9], 3);
  EXPECT_EQ(b.Ask(Cmd(0x6E, 3, {}, 0, 0))[9], 0);
}

}  // namespace
}  // namespace reader_test

// T=0 through the reader's bulk pipes: the four command cases with every procedure-byte
// path (INS, ~INS for each byte or the first only, NULL while the card works, 61xx with
// GET RESPONSE, 6Cxx with the corrected Le), at the reader's TPDU level (the host runs
// the TPDU logic) and at its APDU level (the reader runs it); time extensions as the host
// sees them; faults of the card's line; extended APDUs in ENVELOPE commands.
#include <gtest/gtest.h>

#include "card_link.h"
#include "iso7816/t0_host.h"
#include "kernel_test_support.h"

namespace cardlink {
namespace {

using sim::T0AckMode;

constexpr std::uint8_t kNull = 0x60;

// The procedure bytes the card used, read from its line: a chunk from the card starts
// with INS, ~INS, NULL or SW1 (a chunk after INS carries the data and then SW1 SW2).
struct ProcedureBytes {
  unsigned ins = 0;
  unsigned not_ins = 0;
  unsigned nulls = 0;
  unsigned headers = 0;
};

bool IsSw1(std::uint8_t b) { return ((b & 0xF0) == 0x60 && b != kNull) || (b & 0xF0) == 0x90; }

ProcedureBytes ReadProcedureBytes(const std::vector<LineRecord>& line) {
  ProcedureBytes seen;
  bool expect_header = true;
  std::uint8_t ins = 0;
  for (const LineRecord& r : line) {
    if (r.to_card) {
      if (expect_header && r.bytes.size() == 5) {
        ins = r.bytes[1];
        ++seen.headers;
        expect_header = false;
      }
      continue;
    }
    const std::uint8_t first = r.bytes[0];
    if (first == kNull) {
      ++seen.nulls;
    } else if (first == ins && !IsSw1(first)) {
      ++seen.ins;
      if (r.bytes.size() > 1) expect_header = true;  // INS, data, SW1 SW2
    } else if (first == static_cast<std::uint8_t>(~ins)) {
      ++seen.not_ins;
    } else {
      expect_header = true;
    }
  }
  return seen;
}

struct CaseRow {
  const char* name;
  const char* apdu;
  std::uint16_t sw;
  std::size_t data;      // response data bytes
  unsigned tpdus;        // TPDUs the command takes
  unsigned slow;         // NULLs of the slow operation on top of the busy ones
  unsigned phases;       // TPDUs that move data (each opened by INS or ~INS)
  unsigned moved;        // data bytes that cross the line after a procedure byte
  const char* expected;  // response data, when fixed
};

// In this order on one card, after selecting EF 5002 (4096 bytes, free to read and write).
const CaseRow kCases[] = {
    {"case 1", "0020008100", 0x63C3, 0, 1, 0, 0, 0, ""},
    {"case 3", "00D6010003A1B2C3", 0x9000, 0, 1, 0, 1, 3, ""},
    {"case 2", "00B0010003", 0x9000, 3, 1, 0, 1, 3, "A1B2C3"},
    {"case 2, Le past the end: 6Cxx then the right Le", "00B00FFE04", 0x9000, 2, 2, 0, 1, 2, "474E"},
    {"case 2, Le 256", "00B0000000", 0x9000, 256, 1, 0, 1, 256, nullptr},
    {"case 4: 61xx then GET RESPONSE", "00A4040008F04343494453494D00", 0x9000, 22, 2, 0, 2, 8 + 22,
     "6214820138830250008408F04343494453494D8A0105"},
    {"case 4, Le shorter than the answer", "00A4040008F04343494453494D04", 0x6112, 4, 2, 0, 2, 8 + 4, "62148201"},
    {"case 4, slow operation", "00880000040102030400", 0x9000, 32, 2, 3, 2, 4 + 32, nullptr},
};

struct LinkRow {
  const char* name;
  const char* reader;
  T0AckMode ack;
  unsigned busy;  // NULL bytes before every answer
};

void PrintTo(const LinkRow& row, std::ostream* os) { *os << row.name; }

class T0ThroughReader : public testing::TestWithParam<LinkRow> {};

std::uint16_t Sw(const Bytes& r) { return static_cast<std::uint16_t>(r[r.size() - 2] << 8 | r.back()); }

// Each case on a card with this acknowledgement style: the same answer as the same card
// gives when driven directly, the procedure bytes of the style on its line, and one time
// extension for each NULL byte.
TEST_P(T0ThroughReader, EveryCaseWithEveryProcedureByte) {
  const LinkRow& row = GetParam();
  sim::CardProfile profile = *sim::FindCardProfile("t0");
  profile.t0_ack = row.ack;
  profile.busy_extensions = row.busy;
  CardLink link(row.reader, profile);
  ASSERT_TRUE(link.PowerOn().Ok());
  const bool tpdu_level = std::string_view(row.reader) == "tpdu-basic";

  // The reference: a card of the same profile driven directly by the library's engine.
  sim::SimCard reference(profile);
  reference.ColdReset(sim::IccVoltage::V5_0);
  auto direct = [&](const Bytes& apdu) {
    return iso7816::RunT0Apdu(
               apdu, [&](iso7816::ByteView b) { reference.Write(b); }, [&] { return reference.Read(); })
        .value_or(Bytes{});
  };
  auto transmit = [&](const Bytes& apdu, unsigned tpdus, int* waits) -> Bytes {
    if (tpdu_level) {
      const T0Outcome out = TransmitT0(link, apdu);
      EXPECT_EQ(out.tpdus.size(), tpdus);
      *waits = out.time_extensions;
      EXPECT_TRUE(out.response) << out.error;
      return out.response.value_or(Bytes{0, 0});
    }
    const Answer answer = link.Xfr(apdu);
    *waits = answer.time_extensions;
    EXPECT_TRUE(answer.Ok()) << Describe(answer);
    return answer.Ok() ? answer.Data() : Bytes{0, 0};
  };

  int waits = 0;
  const Bytes select = Hex("00A4080C0450005002");
  ASSERT_EQ(transmit(select, 1, &waits), Hex("9000"));
  direct(select);
  for (const CaseRow& c : kCases) {
    SCOPED_TRACE(c.name);
    link.Line().ClearLine();
    const Bytes apdu = Hex(c.apdu);
    const Bytes response = transmit(apdu, c.tpdus, &waits);
    ASSERT_GE(response.size(), 2u);
    EXPECT_EQ(Sw(response), c.sw);
    EXPECT_EQ(response.size() - 2, c.data);
    if (c.expected != nullptr) {
      EXPECT_EQ(iso7816::ToHex(Bytes(response.begin(), response.end() - 2)), c.expected);
    }
    EXPECT_EQ(response, direct(apdu)) << "as the card answers without a reader";
    const unsigned nulls = c.tpdus * row.busy + c.slow;
    EXPECT_EQ(waits, static_cast<int>(nulls)) << "a time extension for each NULL byte";

    const ProcedureBytes seen = ReadProcedureBytes(link.Line().Line());
    EXPECT_EQ(seen.headers, c.tpdus);
    EXPECT_EQ(seen.nulls, nulls);
    switch (row.ack) {
      case T0AckMode::kAll:
        EXPECT_EQ(seen.ins, c.phases);
        EXPECT_EQ(seen.not_ins, 0u);
        break;
      case T0AckMode::kEachByte:
        EXPECT_EQ(seen.ins, 0u);
        EXPECT_EQ(seen.not_ins, c.moved);
        break;
      case T0AckMode::kFirstByteSingly:  // every data phase here moves more than one byte
        EXPECT_EQ(seen.ins, c.phases);
        EXPECT_EQ(seen.not_ins, c.phases);
        break;
    }
  }
  EXPECT_EQ(link.CardCounters().t0_invalid_ins, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Styles, T0ThroughReader,
    testing::Values(LinkRow{"tpdu_ins", "tpdu-basic", T0AckMode::kAll, 0},
                    LinkRow{"tpdu_not_ins_each_byte", "tpdu-basic", T0AckMode::kEachByte, 0},
                    LinkRow{"tpdu_not_ins_first_byte", "tpdu-basic", T0AckMode::kFirstByteSingly, 0},
                    LinkRow{"tpdu_ins_busy", "tpdu-basic", T0AckMode::kAll, 2},
                    LinkRow{"tpdu_not_ins_each_byte_busy", "tpdu-basic", T0AckMode::kEachByte, 1},
                    LinkRow{"tpdu_not_ins_first_byte_busy", "tpdu-basic", T0AckMode::kFirstByteSingly, 3},
                    LinkRow{"apdu_ins", "apdu-short", T0AckMode::kAll, 0},
                    LinkRow{"apdu_not_ins_each_byte", "apdu-short", T0AckMode::kEachByte, 0},
                    LinkRow{"apdu_not_ins_first_byte", "apdu-short", T0AckMode::kFirstByteSingly, 0},
                    LinkRow{"apdu_ins_busy", "apdu-short", T0AckMode::kAll, 2},
                    LinkRow{"apdu_not_ins_each_byte_busy", "apdu-short", T0AckMode::kEachByte, 1},
                    LinkRow{"apdu_not_ins_first_byte_busy", "apdu-short", T0AckMode::kFirstByteSingly, 3}),
    [](const auto& info) { return std::string(info.param.name); });

// What the reader says when the card's side of T=0 goes wrong, at both levels, and that
// the next command finds the card well.
TEST(T0ThroughReaderFaults, ConflictAndSilence) {
  struct Row {
    const char* name;
    void (*inject)(sim::CardFaults&);
    std::uint8_t error;
  };
  const Row rows[] = {
      {"invalid procedure byte", [](sim::CardFaults& f) { f.bad_procedure_byte = true; }, 0xF4},
      {"no answer", [](sim::CardFaults& f) { f.mute_answers = 1; }, 0xFE},
  };
  for (const char* reader : {"tpdu-basic", "apdu-short"}) {
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(reader) + ": " + row.name);
      CardLink link(reader, "t0");
      ASSERT_TRUE(link.PowerOn().Ok());
      row.inject(link.CardFaults());
      const Answer failed = link.Xfr(Hex("00B0000004"));
      EXPECT_EQ(failed.Type(), 0x80);
      EXPECT_EQ(failed.Status(), 0x40) << "failed, card still active";
      EXPECT_EQ(failed.Error(), row.error);
      EXPECT_TRUE(failed.Data().empty());
      EXPECT_EQ(link.Xfr(Hex("0020008100")).Data(), Hex("63C3")) << "the next command is answered";
    }
  }
}

// A garbled byte on a T=0 line has no error detection of its own: towards the card it
// changes the command the card sees, towards the host the data the host gets. Both come
// through the reader unnoticed, which is why T=0 relies on the line's parity.
TEST(T0ThroughReaderFaults, GarbledBytesGoUnnoticed) {
  CardLink link("tpdu-basic", "t0");
  ASSERT_TRUE(link.PowerOn().Ok());
  ASSERT_EQ(link.Xfr(Hex("00A4080C0450005002")).Data(), Hex("9000"));
  link.Reader().AddFault({sim::FaultKind::CorruptToHost, 3, 0x6F});  // INS, then the second data byte
  EXPECT_EQ(link.Xfr(Hex("00B0000004")).Data(), Hex("555D636A9000"));
  link.Reader().AddFault({sim::FaultKind::CorruptToCard, 4, 0x6F});  // P2 of the header
  EXPECT_EQ(link.Xfr(Hex("00B0000004")).Data(), Hex("5C636A719000")) << "read from offset 1";
  EXPECT_EQ(link.Reader().FaultCount(sim::FaultKind::CorruptToHost), 1u);
  EXPECT_EQ(link.Reader().FaultCount(sim::FaultKind::CorruptToCard), 1u);
}

// A command needing extended lengths reaches a T=0 card in ENVELOPE commands and its
// answer comes back by GET RESPONSE: run by the host at TPDU level, by the reader at
// extended-APDU level (where the host chains the CCID messages themselves).
TEST(T0ThroughReader, ExtendedApdusInEnvelopes) {
  Bytes update = Hex("00D6001000012C");
  for (int i = 0; i < 300; ++i) update.push_back(static_cast<std::uint8_t>(0xE7 ^ i));
  const Bytes read = Hex("00B00010000258");  // Ne 600 from offset 0x10
  const Bytes select = Hex("00A4080C0450005002");

  CardLink tpdu("tpdu-basic", "dual");
  ASSERT_TRUE(tpdu.PowerOn().Ok());
  ASSERT_EQ(TransmitT0(tpdu, select).response, Hex("9000"));
  const T0Outcome written = TransmitT0(tpdu, update);
  ASSERT_TRUE(written.response) << written.error;
  EXPECT_EQ(*written.response, Hex("9000"));
  ASSERT_EQ(written.tpdus.size(), 2u) << "two ENVELOPEs: 255 and 52 bytes";
  EXPECT_EQ(iso7816::ToHex(Bytes(written.tpdus[0].begin(), written.tpdus[0].begin() + 5)), "00C20000FF");
  const T0Outcome got = TransmitT0(tpdu, read);
  ASSERT_TRUE(got.response) << got.error;
  ASSERT_EQ(got.response->size(), 602u);
  EXPECT_EQ(Bytes(got.response->begin(), got.response->begin() + 300), Bytes(update.begin() + 7, update.end()));

  CardLink extended("apdu-extended", "dual");
  ASSERT_TRUE(extended.PowerOn().Ok());
  ASSERT_EQ(extended.Xfr(select).Data(), Hex("9000"));
  const std::size_t part = 272 - 10;  // dwMaxCCIDMessageLength less the header
  Answer last = extended.Xfr(Bytes(update.begin(), update.begin() + part), 0, 0x0001);
  EXPECT_EQ(last.Chain(), 0x10) << "more of the command expected";
  last = extended.Xfr(Bytes(update.begin() + part, update.end()), 0, 0x0002);
  EXPECT_EQ(last.Data(), Hex("9000"));
  Answer answer = extended.Xfr(read);
  Bytes whole = answer.Data();
  std::vector<int> chain{answer.Chain()};
  while (answer.Chain() == 0x01 || answer.Chain() == 0x03) {
    answer = extended.Xfr({}, 0, 0x0010);
    chain.push_back(answer.Chain());
    const Bytes piece = answer.Data();
    whole.insert(whole.end(), piece.begin(), piece.end());
  }
  EXPECT_EQ(chain, (std::vector<int>{1, 3, 2}));
  EXPECT_EQ(whole, *got.response) << "both levels bring the same 600 bytes";
  const Bytes content = *extended.Application().FileContent(sim::kFidLarge);
  EXPECT_EQ(Bytes(content.begin() + 0x10, content.begin() + 0x10 + 300), Bytes(update.begin() + 7, update.end()));
}

}  // namespace
}  // namespace cardlink

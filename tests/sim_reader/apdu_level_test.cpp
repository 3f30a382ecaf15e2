// XfrBlock at short- and extended-APDU level: the reader runs T=0 or T=1 with the card
// itself (GET RESPONSE, T=1 chaining and time extensions are its business), and chains
// extended APDUs with wLevelParameter both ways.
#include <gtest/gtest.h>

#include "card/card.h"
#include "reader_host.h"
#include "scripted_card.h"

namespace reader_test {
namespace {

using sim::CcidReader;

constexpr std::uint8_t kXfr = 0x6F;

struct Bench {
  Bench(const char* profile, const char* card) : reader(CcidReader::FromCatalogue(profile)), host(*reader) {
    EXPECT_TRUE(host.Configure());
    if (card) {
      reader->InsertCard(sim::MakeCard(card));
      auto atr = host.Exchange(Cmd(0x62, seq++));
      EXPECT_TRUE(atr && (*atr)[7] == 0x00);
    }
  }
  Bytes Xfr(const Bytes& apdu, std::uint16_t level = 0, int* wtx = nullptr) {
    auto m = host.Exchange(Cmd(kXfr, seq++, apdu, 0, 0, level & 0xFF, level >> 8), wtx);
    EXPECT_TRUE(m);
    return m.value_or(Bytes(10, 0));
  }
  std::unique_ptr<CcidReader> reader;
  TestHost host;
  std::uint8_t seq = 0;
};

// SELECT by name of the card application (case 3: at TPDU level the FCP stays behind).
const Bytes kSelectApp{0x00, 0xA4, 0x04, 0x00, 0x08, 0xF0, 0x43, 0x43, 0x49, 0x44, 0x53, 0x49, 0x4D};

Bytes Sw(const Bytes& m) { return Bytes(m.end() - 2, m.end()); }

Bytes Pattern(std::size_t n, std::uint8_t seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + 7 * i);
  return b;
}

Bytes ShortUpdate(std::uint8_t sfi, const Bytes& data) {
  Bytes a{0x00, 0xD6, static_cast<std::uint8_t>(0x80 | sfi), 0x00, static_cast<std::uint8_t>(data.size())};
  a.insert(a.end(), data.begin(), data.end());
  return a;
}

class ReaderShortApdu : public testing::TestWithParam<const char*> {};

// The same APDUs whatever the card's protocol: the reader hides T=0 and T=1.
TEST_P(ReaderShortApdu, CommandsRoundTrip) {
  Bench b("apdu-short", GetParam());
  Bytes select{0x00, 0xA4, 0x04, 0x00, 0x08, 0xF0, 0x43, 0x43, 0x49, 0x44, 0x53, 0x49, 0x4D, 0x00};
  Bytes m = b.Xfr(select);
  ASSERT_EQ(m[7], 0x00) << "bError " << int(m[8]);
  EXPECT_EQ(Sw(m), (Bytes{0x90, 0x00}));
  EXPECT_GT(m.size(), 12u) << "the FCP came back (GET RESPONSE or T=1)";
  const Bytes data = Pattern(200, 3);
  EXPECT_EQ(Sw(b.Xfr(ShortUpdate(2, data))), (Bytes{0x90, 0x00}));
  m = b.Xfr({0x00, 0xB0, 0x82, 0x00, 0xC8});
  Bytes expected = data;
  expected.insert(expected.end(), {0x90, 0x00});
  EXPECT_EQ(Payload(m), expected);
  m = b.Xfr({0x00, 0x84, 0x00, 0x00, 0x08});
  EXPECT_EQ(Payload(m).size(), 10u) << "8 random bytes and 90 00";
}

INSTANTIATE_TEST_SUITE_P(Cards, ReaderShortApdu, testing::Values("t0", "t0-bytewise", "t1-ifsc32", "t1-crc", "dual"),
                         [](const auto& info) {
                           std::string n = info.param;
                           std::replace(n.begin(), n.end(), '-', '_');
                           return n;
                         });

TEST(ReaderShortApduLevel, CardTimeExtensionsReachTheHost) {
  Bench b("apdu-short", "many-wtx");
  int wtx = -1;
  Bytes m = b.Xfr({0x00, 0x88, 0x00, 0x00, 0x08, 1, 2, 3, 4, 5, 6, 7, 8, 0x00}, 0, &wtx);
  EXPECT_EQ(m[7], 0x00);
  EXPECT_EQ(Sw(m), (Bytes{0x90, 0x00}));
  EXPECT_GE(wtx, 40) << "the slow signature";
  b.Xfr({0x00, 0x84, 0x00, 0x00, 0x08}, 0, &wtx);
  EXPECT_EQ(wtx, 4) << "every command of this card";
}

TEST(ReaderShortApduLevel, Refusals) {
  Bench b("pinpad-lcd", "t0");  // short-APDU level, messages of up to 522 bytes
  Bytes m = b.Xfr({0x00, 0x84, 0x00, 0x00, 0x08}, 0x0001);
  EXPECT_EQ(m[7], 0x40);
  EXPECT_EQ(m[8], 0x08) << "wLevelParameter";
  m = b.Xfr(ShortUpdate(2, Bytes(300, 1)));
  EXPECT_EQ(m[7], 0x40);
  EXPECT_EQ(m[8], 0x0A) << "longer than a short APDU";
  m = b.Xfr({0x00, 0x84});
  EXPECT_EQ(m[8], 0x0A) << "not an APDU";
}

TEST(ReaderShortApduLevel, SilentT1CardIsMute) {
  Bench b("apdu-short", nullptr);
  b.reader->InsertCard(std::make_unique<ScriptedCard>(Bytes{0x3B, 0x80, 0x01, 0x81}));
  ASSERT_EQ(b.host.Exchange(Cmd(0x62, 1)).value()[7], 0x00);
  Bytes m = b.Xfr({0x00, 0x84, 0x00, 0x00, 0x08});
  EXPECT_EQ(m[7], 0x40);
  EXPECT_EQ(m[8], 0xFE);
}

TEST(ReaderTpduLevel, AnswerLongerThanTheReaderSends) {
  Bench b("small-messages", "t0");  // TPDU level, messages of up to 263 bytes
  EXPECT_EQ(Payload(b.Xfr(kSelectApp)).at(0), 0x61) << "selected; the FCP waits for GET RESPONSE";
  Bytes m = b.Xfr({0x00, 0xB0, 0x82, 0x00, 0x00});  // 256 bytes and SW: 268 in all
  EXPECT_EQ(m[7], 0x40);
  EXPECT_EQ(m[8], 0xFC) << "XFR_OVERRUN";
}

// Extended APDUs in parts of dwMaxCCIDMessageLength - 10 bytes (272 - 10 here).
TEST(ReaderExtendedApdu, ChainedBothWays) {
  Bench b("apdu-extended", "t1-ifsc254");
  EXPECT_EQ(Sw(b.Xfr(kSelectApp)), (Bytes{0x90, 0x00}));
  const Bytes data = Pattern(1000, 11);
  Bytes update{0x00, 0xD6, 0x82, 0x00, 0x00, 0x03, 0xE8};
  update.insert(update.end(), data.begin(), data.end());
  const std::size_t part = 262;
  std::size_t at = 0;
  Bytes last;
  while (at < update.size()) {
    const std::size_t n = std::min(part, update.size() - at);
    const bool first = at == 0, final = at + n == update.size();
    const std::uint16_t level = first ? (final ? 0 : 1) : (final ? 2 : 3);
    last = b.Xfr(Bytes(update.begin() + at, update.begin() + at + n), level);
    ASSERT_EQ(last[7], 0x00) << "bError " << int(last[8]);
    if (!final) {
      EXPECT_EQ(last.size(), 10u);
      EXPECT_EQ(last[9], 0x10) << "more of the command expected";
    }
    at += n;
  }
  EXPECT_EQ(last[9], 0x00);
  EXPECT_EQ(Payload(last), (Bytes{0x90, 0x00}));

  // READ BINARY of 1000 bytes: the answer comes in parts, each asked for with 0x10.
  Bytes m = b.Xfr({0x00, 0xB0, 0x82, 0x00, 0x00, 0x03, 0xE8});
  std::vector<int> chain{m[9]};
  Bytes answer = Payload(m);
  while (m[9] == 0x01 || m[9] == 0x03) {
    m = b.Xfr({}, 0x0010);
    chain.push_back(m[9]);
    answer.insert(answer.end(), m.begin() + 10, m.end());
  }
  EXPECT_EQ(chain, (std::vector<int>{1, 3, 3, 2}));
  Bytes expected = data;
  expected.insert(expected.end(), {0x90, 0x00});
  EXPECT_EQ(answer, expected);
}

TEST(ReaderExtendedApdu, ChainOutOfOrder) {
  Bench b("apdu-extended", "t1-ifsc254");
  struct Row {
    const char* name;
    std::uint16_t level;
  };
  for (const Row& row : {Row{"continue_without_begin", 3}, Row{"end_without_begin", 2},
                         Row{"answer_part_when_none_left", 0x10}, Row{"unknown_level", 4}}) {
    SCOPED_TRACE(row.name);
    Bytes m = b.Xfr({0x00, 0x84, 0x00, 0x00, 0x08}, row.level);
    EXPECT_EQ(m[7], 0x40);
    EXPECT_EQ(m[8], 0x08);
  }
  Bytes m = b.Xfr({0x00, 0x84}, 1);
  EXPECT_EQ(m[9], 0x10);
  m = b.Xfr({0x00, 0x00, 0x08}, 1);  // a second beginning
  EXPECT_EQ(m[8], 0x08);
  EXPECT_EQ(Sw(b.Xfr({0x00, 0x84, 0x00, 0x00, 0x08})), (Bytes{0x90, 0x00})) << "in step again";
}

}  // namespace
}  // namespace reader_test

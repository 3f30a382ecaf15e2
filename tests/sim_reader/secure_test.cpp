// PC_to_RDR_Secure: the CCID PIN verification and modification structures, PIN entry on
// the scripted keypad, and the PIN block the card receives, by bmFormatString,
// bmPINBlockString and bmPINLengthFormat.
#include <gtest/gtest.h>

#include "card/card.h"
#include "reader_host.h"
#include "scripted_card.h"

namespace reader_test {
namespace {

using sim::CcidReader;

constexpr std::uint8_t kSecure = 0x69;

struct PinFormatBytes {
  std::uint8_t format, block, length;
};

Bytes Verify(PinFormatBytes f, const Bytes& apdu, std::uint8_t min = 4, std::uint8_t max = 8,
             std::uint8_t condition = 0x02) {
  Bytes s{0x00, 0x00, f.format, f.block, f.length, max, min, condition, 0x01, 0x09, 0x04, 0x00, 0x00, 0x00, 0x00};
  s.insert(s.end(), apdu.begin(), apdu.end());
  return s;
}

Bytes Modify(PinFormatBytes f, std::uint8_t off_old, std::uint8_t off_new, std::uint8_t confirm,
             std::uint8_t messages, const Bytes& apdu) {
  Bytes s{0x01, 0x00, f.format, f.block, f.length, off_old, off_new, 8, 4, confirm, 0x02, messages, 0x09, 0x04, 0x00};
  if (messages >= 1) s.push_back(0x01);
  if (messages >= 3) s.push_back(0x02);
  s.insert(s.end(), {0x00, 0x00, 0x00});
  s.insert(s.end(), apdu.begin(), apdu.end());
  return s;
}

Bytes VerifyApdu(std::uint8_t lc, std::uint8_t fill = 0xFF, std::uint8_t first = 0xFF) {
  Bytes a{0x00, 0x20, 0x00, 0x81, lc};
  for (int i = 0; i < lc; ++i) a.push_back(i == 0 ? first : fill);
  return a;
}

struct Bench {
  explicit Bench(const char* profile = "pinpad-tpdu") : reader(CcidReader::FromCatalogue(profile)), host(*reader) {
    EXPECT_TRUE(host.Configure());
  }
  void Power() { EXPECT_TRUE(host.Exchange(Cmd(0x62, 0))); }
  ScriptedCard* Scripted() {
    auto c = std::make_unique<ScriptedCard>(Bytes{0x3B, 0x00});
    ScriptedCard* raw = c.get();
    reader->InsertCard(std::move(c));
    Power();
    return raw;
  }
  Bytes Secure(const Bytes& structure, const char* keys, int* wtx = nullptr, std::uint8_t seq = 0x30) {
    reader->TypeKeys(keys);
    auto m = host.Exchange(Cmd(kSecure, seq, structure), wtx);
    EXPECT_TRUE(m);
    return m.value_or(Bytes(10, 0));
  }
  std::unique_ptr<CcidReader> reader;
  TestHost host;
};

// The PIN block each format puts into the data field of the VERIFY command.
struct FormatRow {
  const char* name;
  PinFormatBytes format;
  Bytes template_data;  // data field of the APDU before the PIN goes in
  Bytes expected;       // as the card receives it
};

class ReaderPinFormat : public testing::TestWithParam<FormatRow> {};

TEST_P(ReaderPinFormat, BlockSentToTheCard) {
  const FormatRow& row = GetParam();
  Bench b;
  ScriptedCard* card = b.Scripted();
  card->reads = {{0x20}, {0x90, 0x00}};  // ACK: send the data; then the status
  Bytes apdu{0x00, 0x20, 0x00, 0x81, static_cast<std::uint8_t>(row.template_data.size())};
  apdu.insert(apdu.end(), row.template_data.begin(), row.template_data.end());
  Bytes m = b.Secure(Verify(row.format, apdu), "1234E");
  ASSERT_EQ(m[7], 0x00) << "bError " << int(m[8]);
  EXPECT_EQ(Payload(m), (Bytes{0x90, 0x00}));
  ASSERT_EQ(card->writes.size(), 2u);
  EXPECT_EQ(card->writes[0], (Bytes{0x00, 0x20, 0x00, 0x81, static_cast<std::uint8_t>(row.expected.size())}));
  EXPECT_EQ(card->writes[1], row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, ReaderPinFormat,
    testing::Values(
        FormatRow{"ascii_padded", {0x82, 0x08, 0x00}, Bytes(8, 0xFF), Hex("31 32 33 34 FF FF FF FF")},
        FormatRow{"ascii_right_justified", {0x86, 0x08, 0x00}, Bytes(8, 0xFF), Hex("FF FF FF FF 31 32 33 34")},
        FormatRow{"ascii_length_byte", {0x8A, 0x87, 0x10}, Bytes(8, 0x00), Hex("04 31 32 33 34 00 00 00")},
        FormatRow{"bcd_padded", {0x81, 0x08, 0x00}, Bytes(8, 0xFF), Hex("12 34 FF FF FF FF FF FF")},
        FormatRow{"bcd_iso9564_format2", {0x89, 0x47, 0x04}, Hex("20 FF FF FF FF FF FF FF"),
                  Hex("24 12 34 FF FF FF FF FF")},
        FormatRow{"bcd_position_in_bits", {0x41, 0x47, 0x04}, Hex("20 FF FF FF FF FF FF FF"),
                  Hex("24 12 34 FF FF FF FF FF")},
        FormatRow{"binary", {0x80, 0x08, 0x00}, Bytes(8, 0xFF), Hex("01 02 03 04 FF FF FF FF")},
        FormatRow{"block_of_the_digits_only", {0x82, 0x00, 0x00}, Bytes{}, Hex("31 32 33 34")}),
    [](const auto& info) { return std::string(info.param.name); });

// How the entry ends: validation key, maximum length, time-out, cancel, pauses.
struct EntryRow {
  const char* name;
  const char* keys;
  std::uint8_t max, condition;
  std::uint8_t status, error;
  int time_extensions;
  Bytes pin_sent;  // ASCII digits the card sees, when it sees any
};

class ReaderPinEntry : public testing::TestWithParam<EntryRow> {};

TEST_P(ReaderPinEntry, Outcome) {
  const EntryRow& row = GetParam();
  Bench b;
  ScriptedCard* card = b.Scripted();
  card->reads = {{0x20}, {0x90, 0x00}};
  int wtx = -1;
  Bytes m = b.Secure(Verify({0x82, 0x00, 0x00}, VerifyApdu(0), 4, row.max, row.condition), row.keys, &wtx);
  EXPECT_EQ(m[0], 0x80);
  EXPECT_EQ(m[6], 0x30);
  EXPECT_EQ(m[7], row.status);
  EXPECT_EQ(m[8], row.error);
  EXPECT_EQ(wtx, row.time_extensions);
  if (row.pin_sent.empty()) {
    EXPECT_TRUE(card->writes.empty()) << "nothing reaches the card";
  } else {
    ASSERT_EQ(card->writes.size(), 2u);
    EXPECT_EQ(card->writes[1], row.pin_sent);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Entries, ReaderPinEntry,
    testing::Values(EntryRow{"enter", "1234E", 8, 0x02, 0x00, 0x00, 0, Hex("31323334")},
                    EntryRow{"pauses_become_time_extensions", "12..34E", 8, 0x02, 0x00, 0x00, 2, Hex("31323334")},
                    EntryRow{"maximum_reached", "123456", 6, 0x01, 0x00, 0x00, 0, Hex("313233343536")},
                    EntryRow{"digits_beyond_maximum_ignored", "1234567E", 6, 0x02, 0x00, 0x00, 0, Hex("313233343536")},
                    EntryRow{"enter_below_minimum_ignored", "12E34E", 8, 0x02, 0x00, 0x00, 0, Hex("31323334")},
                    EntryRow{"backspace", "125B34E", 8, 0x02, 0x00, 0x00, 0, Hex("31323334")},
                    EntryRow{"cancel", "12C", 8, 0x02, 0x40, 0xEF, 0, {}},
                    EntryRow{"time_out", "12", 8, 0x02, 0x40, 0xF0, 1, {}},
                    EntryRow{"time_out_validates", "1234", 8, 0x04, 0x00, 0x00, 1, Hex("31323334")},
                    EntryRow{"time_out_validates_only_enough_digits", "12", 8, 0x04, 0x40, 0xF0, 1, {}}),
    [](const auto& info) { return std::string(info.param.name); });

// Real cards check what they receive: each accepts only its own PIN format.
struct CardRow {
  const char* card;
  PinFormatBytes format;
  Bytes apdu;
  int time_extensions;
};

class ReaderPinOnRealCard : public testing::TestWithParam<CardRow> {};

TEST_P(ReaderPinOnRealCard, RightPinThenWrongPin) {
  const CardRow& row = GetParam();
  Bench b;
  b.reader->InsertCard(sim::MakeCard(row.card));
  b.Power();
  int wtx = -1;
  Bytes m = b.Secure(Verify(row.format, row.apdu), "1234E", &wtx, 0x31);
  ASSERT_EQ(m[7], 0x00) << "bError " << int(m[8]);
  Bytes answer = Payload(m);
  if (answer.size() > 4 && answer[2] == answer.size() - 4) answer = Bytes(answer.begin() + 3, answer.end() - 1);  // T=1 block
  EXPECT_EQ(answer, (Bytes{0x90, 0x00}));
  EXPECT_EQ(wtx, row.time_extensions);
  if (answer.size() == 2 && row.apdu.size() > 0 && std::string(row.card).rfind("t0", 0) == 0) {
    m = b.Secure(Verify(row.format, row.apdu), "9999E", nullptr, 0x32);
    EXPECT_EQ(Payload(m), (Bytes{0x63, 0xC2})) << "wrong PIN: two tries left";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cards, ReaderPinOnRealCard,
    testing::Values(CardRow{"t0", {0x82, 0x08, 0x00}, VerifyApdu(8), 0},
                    CardRow{"t0-bytewise", {0x81, 0x08, 0x00}, VerifyApdu(8), 2},
                    CardRow{"t1-ifsc32", {0x8A, 0x87, 0x10}, VerifyApdu(8, 0x00, 0x00), 0},
                    CardRow{"t1-ifsc254", {0x89, 0x47, 0x04}, VerifyApdu(8, 0xFF, 0x20), 0}),
    [](const auto& info) {
      std::string n = info.param.card;
      std::replace(n.begin(), n.end(), '-', '_');
      return n;
    });

TEST(ReaderPinModify, OldNewAndConfirmationGoToTheirOffsets) {
  for (std::uint8_t messages : {0, 1, 2, 3}) {
    SCOPED_TRACE(int(messages));
    Bench b;
    ScriptedCard* card = b.Scripted();
    card->reads = {{0x24}, {0x90, 0x00}};
    Bytes apdu{0x00, 0x24, 0x00, 0x81, 0x10};
    apdu.insert(apdu.end(), 16, 0xFF);
    Bytes m = b.Secure(Modify({0x82, 0x08, 0x00}, 0, 8, 0x03, messages, apdu), "1234E5678E5678E");
    ASSERT_EQ(m[7], 0x00) << "bError " << int(m[8]);
    ASSERT_EQ(card->writes.size(), 2u);
    EXPECT_EQ(card->writes[0], (Bytes{0x00, 0x24, 0x00, 0x81, 0x10}));
    EXPECT_EQ(card->writes[1], Hex("31323334FFFFFFFF 35363738FFFFFFFF"));
  }
}

TEST(ReaderPinModify, ConfirmationMismatchAndNewPinOnly) {
  Bench b;
  ScriptedCard* card = b.Scripted();
  Bytes apdu{0x00, 0x24, 0x01, 0x81, 0x08};
  apdu.insert(apdu.end(), 8, 0xFF);
  Bytes m = b.Secure(Modify({0x82, 0x08, 0x00}, 0, 0, 0x01, 1, apdu), "5678E5679E");
  EXPECT_EQ(m[7], 0x40);
  EXPECT_EQ(m[8], 0xC0);
  EXPECT_TRUE(card->writes.empty());
  card->reads = {{0x24}, {0x90, 0x00}};
  m = b.Secure(Modify({0x82, 0x08, 0x00}, 0, 0, 0x00, 1, apdu), "5678E", nullptr, 0x33);
  EXPECT_EQ(m[7], 0x00);
  ASSERT_EQ(card->writes.size(), 2u);
  EXPECT_EQ(card->writes[1], Hex("35363738FFFFFFFF"));
}

TEST(ReaderSecure, StructureChecks) {
  Bench b;
  b.Scripted();
  struct Row {
    const char* name;
    Bytes structure;
    std::uint8_t error;
  };
  const Row rows[] = {
      {"operation_2", {0x02, 0, 0x82, 0x08, 0, 8, 4, 2, 1, 9, 4, 0, 0, 0, 0, 0, 0x20, 0, 0x81, 0}, 10},
      {"no_apdu", Verify({0x82, 0x08, 0}, {0x00, 0x20}), 0x01},
      {"pin_block_too_small", Verify({0x82, 0x02, 0}, VerifyApdu(8)), 12},
      {"bad_coding", Verify({0x83, 0x08, 0}, VerifyApdu(8)), 12},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Bytes m = b.Secure(row.structure, "1234E");
    EXPECT_EQ(m[7], 0x40);
    EXPECT_EQ(m[8], row.error);
  }
  Bench no_pin("tpdu-basic");
  no_pin.Scripted();
  Bytes m = no_pin.Secure(Verify({0x82, 0x08, 0}, VerifyApdu(8)), "1234E");
  EXPECT_EQ(m[7], 0x40);
  EXPECT_EQ(m[8], 0x00) << "no PIN pad: command not supported";
}

}  // namespace
}  // namespace reader_test

#include "iso7816/apdu.h"

#include <gtest/gtest.h>

namespace iso7816 {
namespace {

Bytes Hex(std::string_view text) { return *FromHex(text); }

struct CaseRow {
  const char* name;
  Bytes bytes;
  ApduCase expected_case;
  std::size_t nc;
  std::size_t ne;
};

// The decoding rules of 7816-3 12.1.3, for every case in short and extended form.
TEST(Apdu, ParsesEveryCase) {
  Bytes ext3 = Hex("00D60000000100");
  ext3.resize(7 + 256, 0x5A);
  Bytes ext4 = ext3;
  ext4.insert(ext4.end(), {0x10, 0x00});
  const CaseRow rows[] = {
      {"1", Hex("00A40000"), ApduCase::k1, 0, 0},
      {"2S", Hex("00B0000010"), ApduCase::k2Short, 0, 16},
      {"2S Le 00", Hex("00B0000000"), ApduCase::k2Short, 0, 256},
      {"3S", Hex("00A4000C025000"), ApduCase::k3Short, 2, 0},
      {"4S", Hex("00A40000025000FF"), ApduCase::k4Short, 2, 255},
      {"4S Le 00", Hex("00A4000002500000"), ApduCase::k4Short, 2, 256},
      {"2E", Hex("00B00000000800"), ApduCase::k2Extended, 0, 2048},
      {"2E Le 0000", Hex("00B00000000000"), ApduCase::k2Extended, 0, 65536},
      {"3E", ext3, ApduCase::k3Extended, 256, 0},
      {"4E", ext4, ApduCase::k4Extended, 256, 4096},
  };
  for (const CaseRow& row : rows) {
    SCOPED_TRACE(row.name);
    std::string reason;
    const auto apdu = ParseApdu(row.bytes, &reason);
    ASSERT_TRUE(apdu.has_value()) << reason;
    EXPECT_EQ(apdu->Case(), row.expected_case);
    EXPECT_EQ(apdu->data.size(), row.nc);
    EXPECT_EQ(apdu->ne, row.ne);
    EXPECT_EQ(*BuildApdu(*apdu), row.bytes);  // the same form comes back
  }
}

TEST(Apdu, RefusesLengthsThatFitNoCase) {
  const char* rows[] = {
      "00A400",            // header short
      "00A4000002500000FF",  // Lc 2, two bytes too many
      "00A400000350",      // Lc 3, one data byte
      "00B000000001",      // extended with one length byte missing
      "00D6000000000201",  // extended Lc 0
      "00D6000000000301",  // extended Lc 3 with one byte
  };
  for (const char* hex : rows) {
    SCOPED_TRACE(hex);
    std::string reason;
    EXPECT_FALSE(ParseApdu(Hex(hex), &reason).has_value());
    EXPECT_FALSE(reason.empty());
  }
}

TEST(Apdu, BuildChoosesExtendedFormWhenNeeded) {
  EXPECT_EQ(ToHex(*BuildApdu(MakeApdu(0x00, 0xB0, 0, 0, {}, 256))), "00B0000000");
  EXPECT_EQ(ToHex(*BuildApdu(MakeApdu(0x00, 0xB0, 0, 0, {}, 257))), "00B00000000101");
  EXPECT_EQ(ToHex(*BuildApdu(MakeApdu(0x00, 0xB0, 0, 0, {}, 65536))), "00B00000000000");
  EXPECT_EQ(ToHex(*BuildApdu(MakeApdu(0x00, 0x88, 0, 0, {0x01}, 256, true))), "00880000000001010100");
  Apdu too_long = MakeApdu(0, 0xD6, 0, 0, Bytes(65536, 0));
  EXPECT_FALSE(BuildApdu(too_long).has_value());
  EXPECT_TRUE(MakeApdu(0, 0xD6, 0, 0, Bytes(300, 0)).extended);
}

TEST(Apdu, ResponseSplitsStatusWord) {
  const auto r = ParseResponse(Hex("0102036283"));
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->data, Hex("010203"));
  EXPECT_EQ(r->Sw(), 0x6283);
  EXPECT_EQ(r->Encode(), Hex("0102036283"));
  EXPECT_FALSE(ParseResponse(Hex("90")).has_value());
  EXPECT_EQ(MakeResponse(0x6A82).Encode(), Hex("6A82"));
}

}  // namespace
}  // namespace iso7816

TEST(Apdu, StatusWordMeanings) {
  const struct {
    std::uint16_t sw;
    const char* meaning;
  } rows[] = {
      {0x9000, "success"},
      {0x6982, "security status not satisfied"},
      {0x63C2, "verification failed, 2 tries left"},
      {0x63C1, "verification failed, 1 try left"},
      {0x6C10, "wrong length, 16 bytes available"},
      {0x6110, "16 response bytes still available"},
      {0x6310, "unknown status"},
  };
  for (const auto& row : rows) EXPECT_EQ(iso7816::StatusWordMeaning(row.sw), row.meaning) << std::hex << row.sw;
}

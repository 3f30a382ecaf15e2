#include "iso7816/edc.h"

#include <gtest/gtest.h>

namespace iso7816 {
namespace {

TEST(Edc, LrcIsExclusiveOr) {
  EXPECT_EQ(Lrc(Bytes{}), 0x00);
  EXPECT_EQ(Lrc(Bytes{0x00, 0x40, 0x05, 0x00, 0xA4, 0x04, 0x00, 0x00}), 0x40 ^ 0x05 ^ 0xA4 ^ 0x04);
  EXPECT_EQ(ComputeEdc(Edc::kLrc, Bytes{0x00, 0x00, 0x00}), (Bytes{0x00}));
}

// The ISO/IEC 13239 frame check sequence: check value of "123456789" is 906E, sent low
// byte first; the register over data plus FCS ends on the good-frame constant F0B8.
TEST(Edc, CrcIsTheHdlcFrameCheckSequence) {
  const std::string text = "123456789";
  const Bytes digits(text.begin(), text.end());
  EXPECT_EQ(Crc16(digits), 0x906E);
  EXPECT_EQ(ComputeEdc(Edc::kCrc, digits), (Bytes{0x6E, 0x90}));
  EXPECT_EQ(Crc16(Bytes{}), 0x0000);
  Bytes framed = digits;
  framed.push_back(0x6E);
  framed.push_back(0x90);
  EXPECT_EQ(static_cast<std::uint16_t>(~Crc16(framed)), 0xF0B8);
}

TEST(Edc, ValidityCheckCatchesEveryFlippedBit) {
  const Bytes body = {0x00, 0x40, 0x03, 0x01, 0x02, 0x03};
  for (Edc edc : {Edc::kLrc, Edc::kCrc}) {
    Bytes block = body;
    const Bytes epilogue = ComputeEdc(edc, body);
    block.insert(block.end(), epilogue.begin(), epilogue.end());
    ASSERT_TRUE(EdcValid(edc, block));
    EXPECT_EQ(block.size(), body.size() + EdcLength(edc));
    for (std::size_t i = 0; i < block.size() * 8; ++i) {
      Bytes bad = block;
      bad[i / 8] ^= static_cast<std::uint8_t>(1 << (i % 8));
      EXPECT_FALSE(EdcValid(edc, bad)) << "bit " << i << (edc == Edc::kCrc ? " CRC" : " LRC");
    }
  }
  EXPECT_FALSE(EdcValid(Edc::kCrc, Bytes{0x00}));
}

TEST(Hex, RoundTripAndRejects) {
  EXPECT_EQ(*FromHex("3b 8F:00-11"), (Bytes{0x3B, 0x8F, 0x00, 0x11}));
  EXPECT_EQ(ToHex(Bytes{0x3B, 0x0A}), "3B0A");
  EXPECT_EQ(ToHex(Bytes{0x3B, 0x0A}, ' '), "3B 0A");
  EXPECT_FALSE(FromHex("3B8").has_value());
  EXPECT_FALSE(FromHex("3G").has_value());
  EXPECT_FALSE(FromHex("3 B").has_value());
}

}  // namespace
}  // namespace iso7816

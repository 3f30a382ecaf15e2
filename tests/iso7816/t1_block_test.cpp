#include "iso7816/t1_block.h"

#include <gtest/gtest.h>

namespace iso7816 {
namespace {

Bytes Hex(std::string_view text) { return *FromHex(text); }

struct EncodeRow {
  const char* name;
  Block block;
  const char* lrc_hex;
};

TEST(T1Block, EncodesEveryKindWithPcbCoding) {
  const EncodeRow rows[] = {
      {"I(0) no data", Block::I(0, false, {}), "00000000"},
      {"I(1) with data", Block::I(1, false, {0x01, 0x02}), "004002010241"},
      {"I(0,M)", Block::I(0, true, {0xAA}), "002001AA8B"},
      {"I(1,M)", Block::I(1, true, {0xAA}), "006001AACB"},
      {"R(0)", Block::R(0), "00800080"},
      {"R(1)", Block::R(1), "00900090"},
      {"R(1,EDC)", Block::R(1, RCode::kEdcError), "00910091"},
      {"R(0,other)", Block::R(0, RCode::kOtherError), "00820082"},
      {"S(RESYNCH req)", Block::S(SType::kResynch, false), "00C000C0"},
      {"S(RESYNCH resp)", Block::S(SType::kResynch, true), "00E000E0"},
      {"S(IFS req FE)", Block::S(SType::kIfs, false, {0xFE}), "00C101FE3E"},
      {"S(IFS resp FE)", Block::S(SType::kIfs, true, {0xFE}), "00E101FE1E"},
      {"S(ABORT req)", Block::S(SType::kAbort, false), "00C200C2"},
      {"S(WTX req 03)", Block::S(SType::kWtx, false, {0x03}), "00C30103C1"},
      {"S(WTX resp 03)", Block::S(SType::kWtx, true, {0x03}), "00E30103E1"},
      {"NAD kept", Block::I(0, false, {}, 0x21), "21000021"},
  };
  for (const EncodeRow& row : rows) {
    SCOPED_TRACE(row.name);
    const Bytes encoded = EncodeBlock(row.block, Edc::kLrc);
    EXPECT_EQ(ToHex(encoded), row.lrc_hex);
    const DecodedBlock decoded = DecodeBlock(encoded, Edc::kLrc);
    ASSERT_TRUE(decoded.ok()) << BlockErrorText(decoded.error);
    EXPECT_EQ(decoded.block, row.block);
    const DecodedBlock with_crc = DecodeBlock(EncodeBlock(row.block, Edc::kCrc), Edc::kCrc);
    ASSERT_TRUE(with_crc.ok());
    EXPECT_EQ(with_crc.block, row.block);
  }
}

TEST(T1Block, FieldAccessors) {
  const Block i = Block::I(1, true, {0x01});
  EXPECT_EQ(i.Kind(), BlockKind::kI);
  EXPECT_EQ(i.Ns(), 1);
  EXPECT_TRUE(i.More());
  const Block r = Block::R(1, RCode::kEdcError);
  EXPECT_EQ(r.Kind(), BlockKind::kR);
  EXPECT_EQ(r.Nr(), 1);
  EXPECT_EQ(r.Code(), RCode::kEdcError);
  const Block s = Block::S(SType::kWtx, true, {2});
  EXPECT_TRUE(s.IsS(SType::kWtx, true));
  EXPECT_FALSE(s.IsS(SType::kWtx, false));
  EXPECT_EQ(DescribeBlock(i), "I(1,M) len 1");
  EXPECT_EQ(DescribeBlock(r), "R(1,EDC)");
  EXPECT_EQ(DescribeBlock(s), "S(WTX resp 02)");
}

struct InvalidRow {
  const char* name;
  const char* hex;  // the block without its EDC; a correct LRC is appended unless raw
  bool raw;
  std::size_t max_inf;
  BlockError error;
};

TEST(T1Block, InvalidBlocksAreRecognised) {
  const InvalidRow rows[] = {
      {"too short", "0000", true, 254, BlockError::kTooShort},
      {"bad LRC", "00000001", true, 254, BlockError::kBadEdc},
      {"LEN too big", "000002AA", false, 254, BlockError::kLengthMismatch},
      {"LEN too small", "000000AA", false, 254, BlockError::kLengthMismatch},
      {"LEN 255", "", false, 254, BlockError::kReservedLen},
      {"INF over IFS", "00000401020304", false, 3, BlockError::kInfTooLong},
      {"I-block RFU bits", "000100", false, 254, BlockError::kBadPcb},
      {"R-block code 3", "008300", false, 254, BlockError::kBadPcb},
      {"R-block bit 6", "00A000", false, 254, BlockError::kBadPcb},
      {"R-block with INF", "00800101", false, 254, BlockError::kBadInf},
      {"S type 5", "00C500", false, 254, BlockError::kBadPcb},
      {"VPP error request", "00C400", false, 254, BlockError::kBadPcb},
      {"S(IFS) without INF", "00C100", false, 254, BlockError::kBadInf},
      {"S(IFS) 00", "00C10100", false, 254, BlockError::kBadInf},
      {"S(IFS) FF", "00C101FF", false, 254, BlockError::kBadInf},
      {"S(WTX) two bytes", "00C3020101", false, 254, BlockError::kBadInf},
      {"S(RESYNCH) with INF", "00C00101", false, 254, BlockError::kBadInf},
  };
  for (const InvalidRow& row : rows) {
    SCOPED_TRACE(row.name);
    Bytes block = Hex(row.hex);
    if (std::string_view(row.name) == "LEN 255") {
      block = {0x00, 0x00, 0xFF};
      block.resize(3 + 255, 0x11);
    }
    if (!row.raw) block.push_back(Lrc(block));
    EXPECT_EQ(DecodeBlock(block, Edc::kLrc, row.max_inf).error, row.error);
  }
  // An S-block is not limited by the IFS; CRC blocks need two epilogue bytes.
  EXPECT_TRUE(DecodeBlock(EncodeBlock(Block::S(SType::kIfs, false, {0x20}), Edc::kLrc), Edc::kLrc, 0).ok());
  EXPECT_EQ(DecodeBlock(Hex("000000"), Edc::kCrc).error, BlockError::kTooShort);
  EXPECT_EQ(DecodeBlock(EncodeBlock(Block::I(0, false, {1, 2}), Edc::kLrc), Edc::kCrc).error, BlockError::kBadEdc);
}

}  // namespace
}  // namespace iso7816

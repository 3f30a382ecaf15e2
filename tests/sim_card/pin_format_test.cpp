#include "card_test_util.h"

namespace sim::testing {
namespace {

struct FormatRow {
  const char* name;
  PinFormat format;
  const char* digits;
  const char* block;
};

const PinFormat kAsciiFF = {PinEncoding::kAscii, PinLengthField::kNone, 8, 0xFF, 4, 8};
const PinFormat kAsciiLength = {PinEncoding::kAscii, PinLengthField::kByte, 8, 0x00, 4, 7};
const PinFormat kBcdF = {PinEncoding::kBcd, PinLengthField::kNone, 8, 0x0F, 4, 12};
const PinFormat kFormat2 = {PinEncoding::kBcd, PinLengthField::kControl, 8, 0x0F, 4, 12};
const PinFormat kAsciiBare = {PinEncoding::kAscii, PinLengthField::kNone, 0, 0xFF, 4, 8};

// The PIN block layouts of common PIN pads: ASCII or BCD, with or without a length field.
TEST(PinFormat, EncodesAndDecodesEachLayout) {
  const FormatRow rows[] = {
      {"ASCII padded FF", kAsciiFF, "1234", "31323334FFFFFFFF"},
      {"ASCII padded FF, 8 digits", kAsciiFF, "12345678", "3132333435363738"},
      {"ASCII with length byte", kAsciiLength, "123456", "06313233343536" "00"},
      {"BCD padded F", kBcdF, "1234", "1234FFFFFFFFFFFF"},
      {"BCD odd digits", kBcdF, "12345", "12345FFFFFFFFFFF"},
      {"ISO 9564 format 2", kFormat2, "1234", "241234FFFFFFFFFF"},
      {"format 2, 12 digits", kFormat2, "123456789012", "2C123456789012FF"},
      {"ASCII unpadded", kAsciiBare, "98765", "3938373635"},
  };
  for (const FormatRow& row : rows) {
    SCOPED_TRACE(row.name);
    const auto block = EncodePin(row.format, row.digits);
    ASSERT_TRUE(block.has_value());
    EXPECT_EQ(iso7816::ToHex(*block), row.block);
    EXPECT_EQ(DecodePin(row.format, *block), std::string(row.digits));
  }
}

struct BadRow {
  const char* name;
  PinFormat format;
  const char* block;
};

TEST(PinFormat, RefusesBlocksNotInTheLayout) {
  const BadRow rows[] = {
      {"too few digits", kAsciiFF, "313233FFFFFFFFFF"},
      {"digit after padding", kAsciiFF, "31323334FF35FFFF"},
      {"not a digit", kAsciiFF, "3132333AFFFFFFFF"},
      {"wrong padding", kAsciiFF, "3132333400000000"},
      {"block too short", kAsciiFF, "31323334FFFFFF"},
      {"length byte disagrees", kAsciiLength, "05313233343536" "00"},
      {"BCD nibble A", kBcdF, "123AFFFFFFFFFFFF"},
      {"format 2 wrong control", kFormat2, "141234FFFFFFFFFF"},
      {"format 2 length too long", kFormat2, "261234FFFFFFFFFF"},
      {"BCD given to ASCII", kAsciiFF, "1234FFFFFFFFFFFF"},
      {"ASCII given to format 2", kFormat2, "31323334FFFFFFFF"},
  };
  for (const BadRow& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_FALSE(DecodePin(row.format, Hex(row.block)).has_value());
  }
  EXPECT_FALSE(EncodePin(kAsciiFF, "12a4").has_value());
  EXPECT_FALSE(EncodePin(kAsciiFF, "123456789").has_value());  // does not fit the block
}

// A reader's PIN pad formats the PIN into VERIFY; each card accepts the layout its profile
// declares and no other (a foreign block is refused as malformed, 6A80, or read as a wrong
// PIN).
TEST(PinFormat, CardsAcceptTheirOwnLayoutOnly) {
  struct Row {
    const char* profile;
    PinFormat format;
  };
  const Row rows[] = {{"t0", kAsciiFF}, {"t0-bytewise", kBcdF}, {"t1-ifsc32", kAsciiLength}, {"t1-ifsc254", kFormat2}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.profile);
    for (const Row& other : rows) {
      SimCard card(*FindCardProfile(row.profile));
      card.ColdReset(IccVoltage::V5_0);
      const Bytes block = *EncodePin(other.format, "1234");
      const iso7816::Apdu verify = iso7816::MakeApdu(0x00, 0x20, 0x00, 0x81, block);
      const AppAnswer answer = card.Application().Process(verify, false);
      const bool same = other.profile == std::string_view(row.profile);
      EXPECT_EQ(answer.response.Sw() == 0x9000, same) << "layout of " << other.profile;
      EXPECT_EQ(card.Application().PinVerified(), same);
      if (answer.response.Sw() == 0x6A80) {
        EXPECT_EQ(card.Application().PinTriesLeft(), 3);
      }
    }
  }
}

}  // namespace
}  // namespace sim::testing

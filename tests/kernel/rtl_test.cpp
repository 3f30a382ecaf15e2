// Rtl string and GUID routines as Windows defines their edge cases.
#include <cstring>
#include <string>
#include <vector>

#include "kernel_test_support.h"

namespace {

std::u16string Repeat(char16_t c, std::size_t n) { return std::u16string(n, c); }

struct CopyRow {
  std::size_t sourceChars;
  USHORT maximumBytes;
  USHORT copiedBytes;
  bool terminated;
};

// The driver's 512-byte copy of its service path: 255 characters fit with their NUL, 256
// fill the buffer without one.
TEST(Rtl, CopyUnicodeStringTruncatesAndTerminatesOnlyWithRoom) {
  const CopyRow rows[] = {{10, 512, 20, true}, {255, 512, 510, true}, {256, 512, 512, false},
                          {300, 512, 512, false}, {0, 512, 0, true}, {3, 6, 6, false}};
  for (const CopyRow& row : rows) {
    SCOPED_TRACE(std::to_string(row.sourceChars) + " chars into " + std::to_string(row.maximumBytes));
    const std::u16string text = Repeat(u'x', row.sourceChars);
    UNICODE_STRING source{static_cast<USHORT>(text.size() * 2), static_cast<USHORT>(text.size() * 2),
                          const_cast<PWSTR>(text.c_str())};
    std::vector<WCHAR> buffer(row.maximumBytes / 2 + 4, 0xCCCC);
    UNICODE_STRING destination{0, row.maximumBytes, buffer.data()};
    RtlCopyUnicodeString(&destination, &source);
    EXPECT_EQ(destination.Length, row.copiedBytes);
    const WCHAR after = buffer[row.copiedBytes / 2];
    EXPECT_EQ(after == 0, row.terminated);
    EXPECT_EQ(buffer[row.maximumBytes / 2], 0xCCCC);  // nothing beyond MaximumLength
  }
}

struct AnsiRow {
  std::size_t chars;
  USHORT maximumLength;
  NTSTATUS status;
  USHORT length;
};

// Conversion into the driver's 32-byte vendor-name buffer.
TEST(Rtl, UnicodeToAnsiWithoutAllocationKeepsWhatFits) {
  const AnsiRow rows[] = {{0, 32, STATUS_SUCCESS, 0},          {31, 32, STATUS_SUCCESS, 31},
                          {32, 32, STATUS_BUFFER_OVERFLOW, 31}, {40, 32, STATUS_BUFFER_OVERFLOW, 31},
                          {5, 0, STATUS_BUFFER_OVERFLOW, 0}};
  for (const AnsiRow& row : rows) {
    SCOPED_TRACE(std::to_string(row.chars) + " chars into " + std::to_string(row.maximumLength));
    const std::u16string text = Repeat(u'V', row.chars);
    UNICODE_STRING source{static_cast<USHORT>(text.size() * 2), static_cast<USHORT>(text.size() * 2),
                          const_cast<PWSTR>(text.c_str())};
    char buffer[40];
    std::memset(buffer, '#', sizeof buffer);
    ANSI_STRING destination{0, row.maximumLength, buffer};
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&destination, &source, FALSE), row.status);
    EXPECT_EQ(destination.Length, row.length);
    if (row.maximumLength != 0) {
      EXPECT_EQ(buffer[row.length], '\0');
    }
    EXPECT_EQ(buffer[row.maximumLength], '#');  // nothing beyond MaximumLength
    for (USHORT i = 0; i < row.length; ++i) ASSERT_EQ(buffer[i], 'V');
  }
}

TEST(Rtl, ConversionsThatAllocateAreFreedByTheirFreeRoutines) {
  UNICODE_STRING source = RTL_CONSTANT_STRING(u"Reader \u00e9");
  ANSI_STRING ansi;
  ASSERT_EQ(RtlUnicodeStringToAnsiString(&ansi, &source, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(std::string(ansi.Buffer, ansi.Length), "Reader \xe9");
  UNICODE_STRING back;
  ASSERT_EQ(RtlAnsiStringToUnicodeString(&back, &ansi, TRUE), STATUS_SUCCESS);
  EXPECT_TRUE(RtlEqualUnicodeString(&back, &source, FALSE));
  RtlFreeAnsiString(&ansi);
  RtlFreeUnicodeString(&back);
  EXPECT_EQ(back.Buffer, nullptr);
}

struct GuidRow {
  std::u16string text;
  std::size_t extraNuls;
  bool valid;
};

TEST(Rtl, GuidFromStringAcceptsOnlyTheBracedForm) {
  const GuidRow rows[] = {
      {u"{50DD5230-BA8A-11D1-BF5D-0000F805F530}", 0, true},
      {u"{50dd5230-ba8a-11d1-bf5d-0000f805f530}", 1, true},  // a registry string with its NUL
      {u"50DD5230-BA8A-11D1-BF5D-0000F805F530", 0, false},
      {u"{50DD5230-BA8A-11D1-BF5D-0000F805F530", 0, false},
      {u"{50DD5230BA8A-11D1-BF5D-0000F805F530}x", 0, false},
      {u"{50DD5230-BA8A-11D1-BF5D-0000F805F53G}", 0, false},
      {u"{50DD5230-BA8A-11D1-BF5D-0000F805F530}x", 0, false},
      {u"", 0, false},
  };
  for (const GuidRow& row : rows) {
    SCOPED_TRACE(std::string(row.text.begin(), row.text.end()));
    std::u16string text = row.text + std::u16string(row.extraNuls, u'\0');
    UNICODE_STRING string{static_cast<USHORT>(text.size() * 2), static_cast<USHORT>(text.size() * 2),
                          const_cast<PWSTR>(text.data())};
    GUID guid{};
    EXPECT_EQ(RtlGUIDFromString(&string, &guid), row.valid ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
    if (row.valid) {
      EXPECT_EQ(guid.Data1, 0x50DD5230u);
      EXPECT_EQ(guid.Data2, 0xBA8A);
      EXPECT_EQ(guid.Data3, 0x11D1);
      EXPECT_EQ(guid.Data4[0], 0xBF);
      EXPECT_EQ(guid.Data4[7], 0x30);
    }
  }
}

TEST(Rtl, StringFromGuidRoundTrips) {
  const GUID guid = {0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};
  UNICODE_STRING text;
  ASSERT_EQ(RtlStringFromGUID(guid, &text), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(text.Buffer, text.Length / 2), u"{50DD5230-BA8A-11D1-BF5D-0000F805F530}");
  GUID parsed;
  EXPECT_EQ(RtlGUIDFromString(&text, &parsed), STATUS_SUCCESS);
  EXPECT_TRUE(IsEqualGUID(parsed, guid));
  RtlFreeUnicodeString(&text);
}

TEST(Rtl, InitStringsAndCompareMemory) {
  UNICODE_STRING text;
  RtlInitUnicodeString(&text, u"abc");
  EXPECT_EQ(text.Length, 6);
  EXPECT_EQ(text.MaximumLength, 8);
  RtlInitUnicodeString(&text, NULL);
  EXPECT_EQ(text.Length, 0);
  EXPECT_EQ(text.Buffer, nullptr);
  EXPECT_EQ(RtlCompareMemory("abcd", "abXd", 4), 2u);
  EXPECT_EQ(RtlCompareMemory("abcd", "abcd", 4), 4u);
}

}  // namespace

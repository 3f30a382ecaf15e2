// IOCTL_SMARTCARD_TRANSMIT and IOCTL_SMARTCARD_SET_PROTOCOL through SmartcardDeviceControl:
// the library's checks before the driver is called, T=0 APDUs to TPDUs against a simulated
// card (61xx and 6Cxx go back to the application, which completes the case itself), and the
// raw helpers.
#include <gtest/gtest.h>

#include "card/card.h"
#include "card_reader.h"

using smclibtest::AsBytes;
using smclibtest::CardReader;
using smclibtest::TestReader;

namespace {

using iso7816::Bytes;

Bytes Hex(const char* text) { return *iso7816::FromHex(text); }

Bytes Reply(ULONG protocol, const Bytes& answer) {
  Bytes reply = AsBytes(SCARD_IO_REQUEST{protocol, 8});
  reply.insert(reply.end(), answer.begin(), answer.end());
  return reply;
}

// In this order on one T=0 card: the TPDU the library builds for each APDU and the card's
// answer the application receives. After 6Cxx and 61xx the application sends the next row.
TEST(SmclibTransmitT0, EachCaseIsOneTpduAnd61xxOr6CxxIsTheApplicationsToFollow) {
  const struct {
    const char* name;
    const char* apdu;
    const char* tpdu;  // nullptr: the APDU itself
    const char* answer;
  } rows[] = {
      {"case 3, select EF 5002", "00A4080C0450005002", nullptr, "9000"},
      {"case 1: P3 00", "00200081", "0020008100", "63C3"},
      {"case 3", "00D6010003A1B2C3", nullptr, "9000"},
      {"case 2", "00B0010003", nullptr, "A1B2C39000"},
      {"case 2, Le past the end: 6Cxx", "00B00FFE04", nullptr, "6C02"},
      {"... the application's command with Le 02", "00B00FFE02", nullptr, "474E9000"},
      {"case 4: Le dropped, the card answers 61xx", "00A4040008F04343494453494D00", "00A4040008F04343494453494D",
       "6116"},
      {"... the application's GET RESPONSE", "00C0000016", nullptr,
       "6214820138830250008408F04343494453494D8A01059000"},
  };
  CardReader reader("t0");
  ASSERT_EQ(reader.Connect(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1), STATUS_SUCCESS);
  ASSERT_EQ(reader.Extension()->CardCapabilities.Protocol.Selected, static_cast<ULONG>(SCARD_PROTOCOL_T0));
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    reader.toCard.clear();
    const hosted::UserIoResult result = reader.Transmit(Hex(row.apdu));
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(reader.toCard, std::vector<Bytes>{Hex(row.tpdu != nullptr ? row.tpdu : row.apdu)});
    const Bytes expected = Reply(SCARD_PROTOCOL_T0, Hex(row.answer));
    EXPECT_EQ(result.information, expected.size());
    EXPECT_EQ(Bytes(result.output.begin(), result.output.begin() + result.information), expected);
  }
}

TEST(SmclibTransmitT0, CommandsTheLibraryCannotCarryOrAnswerAreRefused) {
  const struct {
    const char* name;
    const char* apdu;
    ULONG replyLength;
    bool badProcedureByte;
    NTSTATUS status;
    bool sent;
  } rows[] = {
      {"extended length", "00B00000000100", 266, false, STATUS_INVALID_PARAMETER, false},
      {"Lc beyond the data", "00D60100050102", 266, false, STATUS_INVALID_PARAMETER, false},
      {"shorter than a header", "00B0", 266, false, STATUS_INVALID_PARAMETER, false},
      {"reply cannot hold Le + SW", "00B0010003", 8 + 4, false, STATUS_BUFFER_TOO_SMALL, false},
      {"answer without a status word", "00B0010003", 266, true, STATUS_DEVICE_PROTOCOL_ERROR, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    CardReader reader("t0");
    ASSERT_EQ(reader.Connect(SCARD_PROTOCOL_T0), STATUS_SUCCESS);
    reader.Card().Faults().bad_procedure_byte = row.badProcedureByte;
    const hosted::UserIoResult result = reader.Transmit(Hex(row.apdu), row.replyLength);
    EXPECT_EQ(result.status, row.status);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(reader.toCard.size(), row.sent ? 1u : 0u);
  }
}

// Raw helpers, by a reader that sends T=1 commands whole: the SCARD_IO_REQUEST and answer
// the driver put together copied as they are; a command beyond the request buffer, or an
// answer beyond the reply buffer, refused.
TEST(SmclibTransmitRaw, WholeCommandsAreCopiedBothWays) {
  const struct {
    const char* apdu;
    ULONG replyLength;
    NTSTATUS status;
  } rows[] = {{"00A4080C0450005002", 10, STATUS_SUCCESS},
              {"00B0000004", 14, STATUS_SUCCESS},
              {"00B0000004", 13, STATUS_BUFFER_TOO_SMALL}};
  CardReader reader("t1-ifsc32");
  reader.apduLevel = true;
  ASSERT_EQ(reader.Connect(SCARD_PROTOCOL_T1), STATUS_SUCCESS);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.replyLength);
    const hosted::UserIoResult result = reader.Transmit(Hex(row.apdu), row.replyLength);
    ASSERT_EQ(result.status, row.status);
    if (row.status != STATUS_SUCCESS) continue;
    ASSERT_EQ(result.information, row.replyLength);
    EXPECT_EQ(Bytes(result.output.begin(), result.output.begin() + 8), Reply(SCARD_PROTOCOL_T1, {}));
    EXPECT_EQ(Bytes(result.output.end() - 2, result.output.end()), Hex("9000"));
  }
  EXPECT_EQ(reader.Transmit(Bytes(300, 0x00)).status, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(reader.toCard.size(), 3u);  // the over-long command never left
}

// What the library refuses before the reader function runs, and the mask it hands on.
TEST(SmclibProtocolChecks, SetProtocolAndTransmitAreCheckedBeforeTheDriver) {
  constexpr ULONG kSet = IOCTL_SMARTCARD_SET_PROTOCOL, kXfr = IOCTL_SMARTCARD_TRANSMIT;
  constexpr ULONG kT0 = SCARD_PROTOCOL_T0, kT1 = SCARD_PROTOCOL_T1, kDefault = SCARD_PROTOCOL_DEFAULT;
  const struct {
    const char* name;
    ULONG code;
    const char* card;
    ULONG state;
    ULONG word;  // the mask, or cbPciLength
    ULONG inputLength;
    ULONG replyLength;
    ULONG readerProtocols;
    NTSTATUS status;
    ULONG minor;  // the mask the driver gets
  } rows[] = {
      {"T=0 or T=1 on a dual card", kSet, "dual", SCARD_POWERED, kT0 | kT1, 4, 4, 3, STATUS_SUCCESS, kT0 | kT1},
      {"... the reader only T=0", kSet, "dual", SCARD_POWERED, kT0 | kT1, 4, 4, kT0, STATUS_SUCCESS, kT0},
      {"T=1 with DEFAULT: the flag kept", kSet, "dual", SCARD_NEGOTIABLE, kT1 | kDefault, 4, 4, 3, STATUS_SUCCESS,
       kT1 | kDefault},
      {"T=1 on a T=0 card", kSet, "t0", SCARD_POWERED, kT1, 4, 4, 3, STATUS_NOT_SUPPORTED, 0},
      {"raw on a T=0 card", kSet, "t0", SCARD_POWERED, SCARD_PROTOCOL_RAW, 4, 4, 3, STATUS_NOT_SUPPORTED, 0},
      {"no protocol in the mask", kSet, "t0", SCARD_POWERED, 0, 4, 4, 3, STATUS_INVALID_DEVICE_REQUEST, 0},
      {"DEFAULT alone", kSet, "t0", SCARD_POWERED, kDefault, 4, 4, 3, STATUS_INVALID_DEVICE_REQUEST, 0},
      {"no card", kSet, "t0", SCARD_ABSENT, kT0, 4, 4, 3, STATUS_NO_MEDIA, 0},
      {"card not reset", kSet, "t0", SCARD_PRESENT, kT0, 4, 4, 3, STATUS_INVALID_DEVICE_STATE, 0},
      {"protocol already chosen", kSet, "t0", SCARD_SPECIFIC, kT0, 4, 4, 3, STATUS_INVALID_DEVICE_STATE, 0},
      {"input of two ULONGs", kSet, "t0", SCARD_POWERED, kT0, 8, 4, 3, STATUS_INVALID_PARAMETER, 0},
      {"reply below a ULONG", kSet, "t0", SCARD_POWERED, kT0, 4, 3, 3, STATUS_BUFFER_TOO_SMALL, 0},
      {"unreadable ATR", kSet, "atr:3B8080", SCARD_POWERED, kT0, 4, 4, 3, STATUS_UNRECOGNIZED_MEDIA, 0},
      {"transmit, negotiated", kXfr, "t0", SCARD_SPECIFIC, 8, 12, 10, 3, STATUS_SUCCESS, 0},
      {"transmit, no card", kXfr, "t0", SCARD_ABSENT, 8, 12, 10, 3, STATUS_NO_MEDIA, 0},
      {"transmit, no protocol chosen", kXfr, "t0", SCARD_POWERED, 8, 12, 10, 3, STATUS_INVALID_DEVICE_STATE, 0},
      {"transmit, input below SCARD_IO_REQUEST", kXfr, "t0", SCARD_SPECIFIC, 8, 4, 10, 3, STATUS_INVALID_PARAMETER, 0},
      {"transmit, cbPciLength 4", kXfr, "t0", SCARD_SPECIFIC, 4, 12, 10, 3, STATUS_INVALID_PARAMETER, 0},
      {"transmit, cbPciLength beyond the input", kXfr, "t0", SCARD_SPECIFIC, 13, 12, 10, 3, STATUS_INVALID_PARAMETER, 0},
      {"transmit, reply below SCARD_IO_REQUEST", kXfr, "t0", SCARD_SPECIFIC, 8, 12, 7, 3, STATUS_BUFFER_TOO_SMALL, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TestReader reader;
    PSMARTCARD_EXTENSION extension = reader.Extension();
    const Bytes atr = sim::BuildAtr(*sim::FindCardProfile(row.card));
    std::copy(atr.begin(), atr.end(), extension->CardCapabilities.ATR.Buffer);
    extension->CardCapabilities.ATR.Length = static_cast<UCHAR>(atr.size());  // not read by the library yet
    extension->ReaderCapabilities.CurrentState = row.state;
    extension->ReaderCapabilities.SupportedProtocols = row.readerProtocols;
    bool called = false;
    ULONG minor = 0;
    auto function = [&](PSMARTCARD_EXTENSION x) {
      called = true;
      minor = x->MinorIoControlCode;
      return static_cast<NTSTATUS>(STATUS_SUCCESS);
    };
    reader.Set(RDF_SET_PROTOCOL, function);
    reader.Set(RDF_TRANSMIT, function);
    Bytes input = row.code == kSet ? AsBytes(row.word) : AsBytes(SCARD_IO_REQUEST{kT0, row.word});
    input.resize(row.inputLength);
    EXPECT_EQ(reader.Open()->DeviceIoControl(row.code, input, row.replyLength).status, row.status);
    EXPECT_EQ(called, row.status == STATUS_SUCCESS);
    EXPECT_EQ(minor, row.minor);
  }
}

}  // namespace

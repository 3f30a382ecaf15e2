#include "iso7816/t0_host.h"

#include <gtest/gtest.h>

namespace iso7816 {
namespace {

Bytes Hex(std::string_view text) { return *FromHex(text); }

struct TpduRow {
  const char* name;
  const char* tpdu;
  std::vector<const char*> card;     // what the card sends, chunk by chunk
  std::vector<const char*> writes;   // what the exchange writes, in order
  const char* response;              // nullptr: the exchange fails
  const char* error_part;
  unsigned nulls;
};

// Runs the exchange against scripted card chunks (an exhausted script reads as silence).
void RunTpduRow(const TpduRow& row) {
  T0TpduExchange exchange(Hex(row.tpdu));
  std::vector<std::string> writes;
  std::size_t next = 0;
  auto read = [&] { return next < row.card.size() ? Hex(row.card[next++]) : Bytes{}; };
  T0Step step = exchange.Begin();
  for (int guard = 0; guard < 100; ++guard) {
    if (step.kind == T0Step::Kind::kWrite) {
      writes.push_back(ToHex(step.bytes));
      step = exchange.OnCardBytes(read());
    } else if (step.kind == T0Step::Kind::kRead) {
      step = exchange.OnCardBytes(read());
    } else {
      break;
    }
  }
  std::vector<std::string> expected_writes(row.writes.begin(), row.writes.end());
  EXPECT_EQ(writes, expected_writes);
  if (row.response != nullptr) {
    ASSERT_EQ(step.kind, T0Step::Kind::kDone) << exchange.Error();
    EXPECT_EQ(ToHex(exchange.Response()), row.response);
    EXPECT_EQ(next, row.card.size()) << "card bytes left unread";
  } else {
    ASSERT_EQ(step.kind, T0Step::Kind::kError);
    EXPECT_NE(exchange.Error().find(row.error_part), std::string::npos) << exchange.Error();
  }
  EXPECT_EQ(exchange.NullCount(), row.nulls);
}

// Every procedure-byte path of a TPDU: INS, ~INS, NULL, SW1 SW2, in both directions.
TEST(T0TpduExchange, ProcedureBytePaths) {
  const TpduRow rows[] = {
      {"case 1", "00A4000000", {"9000"}, {"00A4000000"}, "9000", "", 0},
      {"case 2, INS then data", "00B0000004", {"B0", "01020304", "9000"}, {"00B0000004"}, "010203049000", "", 0},
      {"case 2, one chunk", "00B0000004", {"B0010203049000"}, {"00B0000004"}, "010203049000", "", 0},
      {"case 2, ~INS per byte", "00B0000004", {"4F01", "4F02", "4F03", "4F04", "9000"}, {"00B0000004"},
       "010203049000", "", 0},
      {"case 2, ~INS then INS", "00B0000004", {"4F01", "B0020304", "9000"}, {"00B0000004"}, "010203049000", "", 0},
      {"case 2, NULLs while busy", "00B0000004", {"60", "60", "B0", "01020304", "60", "9000"}, {"00B0000004"},
       "010203049000", "", 3},
      {"case 2, wrong length", "00B0000004", {"6C02"}, {"00B0000004"}, "6C02", "", 0},
      {"case 2, error before data", "00B0000004", {"6982"}, {"00B0000004"}, "6982", "", 0},
      {"case 3, INS", "00D6000003AABBCC", {"D6", "9000"}, {"00D6000003", "AABBCC"}, "9000", "", 0},
      {"case 3, ~INS per byte", "00D6000003AABBCC", {"29", "29", "29", "9000"},
       {"00D6000003", "AA", "BB", "CC"}, "9000", "", 0},
      {"case 3, ~INS then INS", "00D6000003AABBCC", {"29", "D6", "9000"}, {"00D6000003", "AA", "BBCC"}, "9000", "", 0},
      {"case 3, NULL after data", "00D6000003AABBCC", {"D6", "60", "60", "9000"}, {"00D6000003", "AABBCC"},
       "9000", "", 2},
      {"case 3, refused at once", "00D6000003AABBCC", {"6A82"}, {"00D6000003"}, "6A82", "", 0},
      {"case 4 as case 3, 61xx", "00A40400025000", {"A4", "6112"}, {"00A4040002", "5000"}, "6112", "", 0},
      {"invalid procedure byte", "00B0000004", {"21"}, {"00B0000004"}, nullptr, "invalid procedure byte 0x21", 0},
      {"mute card", "00B0000004", {}, {"00B0000004"}, nullptr, "no answer", 0},
      {"INS with nothing left", "00B0000002", {"B0", "0102", "B0"}, {"00B0000002"}, nullptr, "no data left", 0},
      {"bytes after SW2", "00A4000000", {"900000"}, {"00A4000000"}, nullptr, "after SW1 SW2", 0},
      {"card talks before data", "00D6000001AA", {"D6AA"}, {"00D6000001"}, nullptr, "before receiving", 0},
      {"P3 not the data length", "00D6000002AA", {}, {}, nullptr, "P3", 0},
      {"INS 6X", "0060000000", {}, {}, nullptr, "invalid for T=0", 0},
      {"short TPDU", "00A400", {}, {}, nullptr, "shorter", 0},
  };
  for (const TpduRow& row : rows) {
    SCOPED_TRACE(row.name);
    RunTpduRow(row);
  }
}

// P3 0 on an outgoing TPDU asks for 256 bytes.
TEST(T0TpduExchange, P3ZeroReceives256Bytes) {
  const std::string data(512, '7');
  const std::string response = data + "9000";
  RunTpduRow({"P3 0", "00B0000000", {"B0", data.c_str(), "9000"}, {"00B0000000"}, response.c_str(), "", 0});
}

struct ApduRow {
  const char* name;
  Bytes apdu;
  std::vector<std::pair<Bytes, Bytes>> tpdus;  // expected TPDU, card's answer (data + SW)
  const char* response;  // hex, or nullptr for an error
};

Bytes Filled(std::size_t n, std::uint8_t value) { return Bytes(n, value); }
Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

void RunApduRow(const ApduRow& row) {
  T0ApduEngine engine(row.apdu);
  T0ApduStep step = engine.Begin();
  std::size_t i = 0;
  while (step.kind == T0ApduStep::Kind::kTpdu) {
    ASSERT_LT(i, row.tpdus.size()) << "unexpected TPDU " << ToHex(step.tpdu);
    EXPECT_EQ(ToHex(step.tpdu), ToHex(row.tpdus[i].first)) << "TPDU " << i;
    step = engine.OnTpduResponse(row.tpdus[i].second);
    ++i;
  }
  EXPECT_EQ(i, row.tpdus.size());
  if (row.response == nullptr) {
    EXPECT_EQ(step.kind, T0ApduStep::Kind::kError);
    EXPECT_FALSE(engine.Error().empty());
  } else {
    ASSERT_EQ(step.kind, T0ApduStep::Kind::kDone) << engine.Error();
    EXPECT_EQ(ToHex(engine.Response()), row.response);
  }
}

// APDU cases onto TPDUs, with GET RESPONSE for 61xx, re-issue for 6Cxx and ENVELOPE.
TEST(T0ApduEngine, MapsCasesOntoTpdus) {
  const Bytes d16 = Filled(16, 0x11);
  const Bytes d32 = Filled(32, 0x22);
  Bytes ext_command = Hex("00D60000");  // case 3E with 300 bytes: 307 bytes, two envelopes
  ext_command.insert(ext_command.end(), {0x00, 0x01, 0x2C});
  ext_command.insert(ext_command.end(), 300, 0x33);
  const Bytes env1 = Cat(Hex("00C20000FF"), Bytes(ext_command.begin(), ext_command.begin() + 255));
  const Bytes env2 = Cat(Hex("00C2000034"), Bytes(ext_command.begin() + 255, ext_command.end()));
  Bytes ext4 = ext_command;
  ext4.insert(ext4.end(), {0x00, 0x00});
  const Bytes env4_2 = Cat(Hex("00C2000036"), Bytes(ext4.begin() + 255, ext4.end()));
  const ApduRow rows[] = {
      {"case 1", Hex("00A40000"), {{Hex("00A4000000"), Hex("9000")}}, "9000"},
      {"case 2S", Hex("00B0000004"), {{Hex("00B0000004"), Hex("010203049000")}}, "010203049000"},
      {"case 2S, 6Cxx re-issue", Hex("00B0000000"),
       {{Hex("00B0000000"), Hex("6C10")}, {Hex("00B0000010"), Cat(d16, Hex("9000"))}},
       "111111111111111111111111111111119000"},
      {"case 2S, 61xx continues", Hex("00B0000000"),
       {{Hex("00B0000000"), Cat(d16, Hex("6110"))}, {Hex("00C0000010"), Cat(d16, Hex("9000"))}},
       "1111111111111111111111111111111111111111111111111111111111111111" "9000"},
      {"case 3S", Hex("00D6000002AABB"), {{Hex("00D6000002AABB"), Hex("9000")}}, "9000"},
      {"case 4S, GET RESPONSE", Hex("00A4040002500000"),
       {{Hex("00A40400025000"), Hex("6120")}, {Hex("00C0000020"), Cat(d32, Hex("9000"))}},
       "2222222222222222222222222222222222222222222222222222222222222222" "9000"},
      {"case 4S, Ne below what is available", Hex("00A40400025000" "10"),
       {{Hex("00A40400025000"), Hex("6120")}, {Hex("00C0000010"), Cat(d16, Hex("6110"))}},
       "11111111111111111111111111111111" "6110"},
      {"case 4S, GET RESPONSE corrected by 6Cxx", Hex("00A40400025000" "00"),
       {{Hex("00A40400025000"), Hex("6120")}, {Hex("00C0000020"), Hex("6C10")},
        {Hex("00C0000010"), Cat(d16, Hex("9000"))}},
       "11111111111111111111111111111111" "9000"},
      {"case 4S, no data", Hex("00A40400025000" "00"), {{Hex("00A40400025000"), Hex("9000")}}, "9000"},
      {"case 4S, error", Hex("00A40400025000" "00"), {{Hex("00A40400025000"), Hex("6A82")}}, "6A82"},
      {"case 2E, ENVELOPE then GET RESPONSE rounds", Hex("00B00000000130"),
       {{Hex("00C2000007" "00B00000000130"), Hex("6100")},
        {Hex("00C0000000"), Cat(Filled(256, 0x44), Hex("6130"))},
        {Hex("00C0000030"), Cat(Filled(48, 0x55), Hex("9000"))}},
       nullptr},
      {"case 2E within 256 bytes", Hex("00B00000000010"), {{Hex("00B0000010"), Cat(d16, Hex("9000"))}},
       "11111111111111111111111111111111" "9000"},
      {"case 3E, ENVELOPE", ext_command, {{env1, Hex("9000")}, {env2, Hex("9000")}}, "9000"},
      {"case 4E, ENVELOPE then GET RESPONSE", ext4,
       {{env1, Hex("9000")}, {env4_2, Hex("6110")}, {Hex("00C0000010"), Cat(d16, Hex("9000"))}},
       "11111111111111111111111111111111" "9000"},
      {"ENVELOPE refused", ext_command, {{env1, Hex("6D00")}}, "6D00"},
      {"6Cxx loop stops", Hex("00B0000004"),
       {{Hex("00B0000004"), Hex("6C05")}, {Hex("00B0000005"), Hex("6C06")}, {Hex("00B0000006"), Hex("6C07")},
        {Hex("00B0000007"), Hex("6C08")}},
       "6C08"},
      {"answer without SW", Hex("00B0000004"), {{Hex("00B0000004"), Hex("90")}}, nullptr},
      {"not an APDU", Hex("00A4"), {}, nullptr},
  };
  for (const ApduRow& row : rows) {
    SCOPED_TRACE(row.name);
    if (std::string_view(row.name) == "case 2E, ENVELOPE then GET RESPONSE rounds") {
      ApduRow full = row;
      const std::string expected = ToHex(Cat(Cat(Filled(256, 0x44), Filled(48, 0x55)), Hex("9000")));
      full.response = expected.c_str();
      RunApduRow(full);
      continue;
    }
    RunApduRow(row);
  }
}

// The run helper drives an exchange over plain write/read callables.
TEST(T0ApduEngine, RunHelperOverCallables) {
  std::vector<Bytes> script = {Hex("A4"), Hex("6104"), Hex("C0"), Hex("0A0B0C0D9000")};
  std::size_t next = 0;
  std::vector<std::string> written;
  auto write = [&](ByteView bytes) { written.push_back(ToHex(bytes)); };
  auto read = [&] { return next < script.size() ? script[next++] : Bytes{}; };
  std::string error;
  const auto answer = RunT0Apdu(Hex("00A4040002500000"), write, read, &error);
  ASSERT_TRUE(answer.has_value()) << error;
  EXPECT_EQ(ToHex(*answer), "0A0B0C0D9000");
  EXPECT_EQ(written, (std::vector<std::string>{"00A4040002", "5000", "00C0000004"}));
  next = script.size();
  EXPECT_FALSE(RunT0Apdu(Hex("00B0000001"), write, read, &error).has_value());
  EXPECT_NE(error.find("no answer"), std::string::npos);
}

}  // namespace
}  // namespace iso7816

#include "card_test_util.h"

namespace sim::testing {
namespace {

// The application alone, commands given as APDU bytes (T=1 rules for Le).
class App {
 public:
  explicit App(const char* profile = "t1-ifsc254") : profile_(*FindCardProfile(profile)), app_(profile_) {}
  AppAnswer Run(const char* hex) {
    const auto apdu = iso7816::ParseApdu(Hex(hex));
    EXPECT_TRUE(apdu.has_value()) << hex;
    return app_.Process(*apdu, false);
  }
  std::uint16_t Sw(const char* hex) { return Run(hex).response.Sw(); }
  Bytes Data(const char* hex) { return Run(hex).response.data; }
  CardApplication& operator*() { return app_; }
  CardApplication* operator->() { return &app_; }

 private:
  CardProfile profile_;
  CardApplication app_;
};

// Format 2 PIN blocks (the t1-ifsc254 card's layout) as hex.
const char* kVerify1234 = "0020008108241234FFFFFFFFFF";
const char* kVerify0000 = "0020008108240000FFFFFFFFFF";

struct SelectRow {
  const char* name;
  const char* apdu;
  std::uint16_t sw;
  std::uint16_t df;   // current DF afterwards
  std::uint16_t ef;   // current EF afterwards (0: none)
};

// SELECT by file identifier, DF name, path and parent; what becomes current; the FCP.
TEST(CardApplication, Select) {
  const SelectRow rows[] = {
      {"MF by FID", "00A4000C023F00", 0x9000, kFidMf, 0},
      {"MF without data", "00A4000C", 0x9000, kFidMf, 0},
      {"EF.DIR from MF", "00A4020C022F00", 0x9000, kFidMf, kFidDir},
      {"EF of the DF not reachable from MF", "00A4000C025001", 0x6A82, kFidMf, kFidDir},
      {"DF as EF", "00A4020C025000", 0x6A82, kFidMf, kFidDir},
      {"DF by FID", "00A4010C025000", 0x9000, kFidAppDf, 0},
      {"EF from its DF", "00A4000C025001", 0x9000, kFidAppDf, kFidData},
      {"sibling EF", "00A4020C025003", 0x9000, kFidAppDf, kFidPrivate},
      {"parent", "00A4030C", 0x9000, kFidMf, 0},
      {"parent of MF", "00A4030C", 0x6A82, kFidMf, 0},
      {"DF name", "00A4040C08F04343494453494D", 0x9000, kFidAppDf, 0},
      {"truncated DF name", "00A4040C05F043434944", 0x9000, kFidAppDf, 0},
      {"unknown DF name", "00A4040C05A000000001", 0x6A82, kFidAppDf, 0},
      {"path from MF", "00A4080C0450005002", 0x9000, kFidAppDf, kFidLarge},
      {"broken path", "00A4080C0450015002", 0x6A82, kFidAppDf, kFidLarge},
      {"odd path", "00A4080C03500050", 0x6700, kFidAppDf, kFidLarge},
      {"FID of 3 bytes", "00A4000C03500150", 0x6700, kFidAppDf, kFidLarge},
      {"next occurrence", "00A4040208F04343494453494D", 0x6A86, kFidAppDf, kFidLarge},
      {"unknown P1", "00A4050C025000", 0x6A86, kFidAppDf, kFidLarge},
  };
  App app;
  for (const SelectRow& row : rows) {
    SCOPED_TRACE(row.name);
    const AppAnswer answer = app.Run(row.apdu);
    EXPECT_EQ(answer.response.Sw(), row.sw);
    EXPECT_TRUE(answer.response.data.empty());
    EXPECT_EQ(app->CurrentDf(), row.df);
    EXPECT_EQ(app->CurrentEf().value_or(0), row.ef);
  }
  EXPECT_EQ(iso7816::ToHex(app.Data("00A4000402500200")), "6211" "80021000" "820101" "83025002" "880110" "8A0105");
  EXPECT_EQ(iso7816::ToHex(app.Data("00A4040007F04343494453490A")),  // DF FCP cut to Ne
            "62148201388302500084");
  EXPECT_TRUE(app.Data("00A4000C025001").empty());
}

struct AccessRow {
  const char* name;
  const char* apdu;
  std::uint16_t sw;
  const char* data;  // expected data (hex) or "" for none
};

// READ and UPDATE BINARY: current EF or SFI, offsets, end of file, access conditions.
TEST(CardApplication, ReadAndUpdateBinary) {
  const AccessRow rows[] = {
      {"no current EF", "00B0000004", 0x6986, ""},
      {"by SFI 1", "00B0810004", 0x6A82, ""},  // SFI 1 is in the DF, the MF is current
      {"select DF", "00A4040C08F04343494453494D", 0x9000, ""},
      {"by SFI 1 in the DF", "00B0810004", 0x9000, "00070E15"},
      {"current EF now 5001", "00B0000104", 0x9000, "070E151C"},
      {"offset past the end", "00B0010004", 0x6B00, ""},
      {"short read warns", "00B000FE04", 0x6282, "F2F9"},
      {"Le 00: up to the end", "00B000FC00", 0x9000, "E4EBF2F9"},
      {"SFI with bad bits", "00B0A10004", 0x6A86, ""},
      {"no Le", "00B00000", 0x6700, ""},
      {"private EF needs the PIN", "00B0830004", 0x6982, ""},
      {"update needs the PIN", "00D6810002AABB", 0x6982, ""},
      {"free EF updates", "00A4020C025002", 0x9000, ""},
      {"update 5002", "00D6000002AABB", 0x9000, ""},
      {"read it back", "00B0000003", 0x9000, "AABB63"},
      {"update past the end", "00D60FFF02AABB", 0x6A84, ""},
      {"update without data", "00D60000", 0x6700, ""},
      {"update a DF by SFI", "00D6890002AABB", 0x6A82, ""},
      {"verify", kVerify1234, 0x9000, ""},
      {"private EF readable", "00B0830002", 0x9000, "A0A7"},
      {"5001 updatable", "00D6810001EE", 0x9000, ""},
  };
  App app;
  for (const AccessRow& row : rows) {
    SCOPED_TRACE(row.name);
    const AppAnswer answer = app.Run(row.apdu);
    EXPECT_EQ(answer.response.Sw(), row.sw);
    EXPECT_EQ(iso7816::ToHex(answer.response.data), row.data);
  }
  EXPECT_EQ(app->FileContent(kFidData)->at(0), 0xEE);
  app->ResetSession();  // memory outlives the session
  EXPECT_EQ(app->FileContent(kFidLarge)->at(1), 0xBB);
}

// T=0 rules: a response must be exactly Le bytes long, else 6Cxx and nothing happens.
TEST(CardApplication, StrictLeGivesExactLength) {
  App app;
  app.Run("00A4080C0450005001");
  const auto apdu = iso7816::ParseApdu(Hex("00B000FE04"));
  EXPECT_EQ(app->Process(*apdu, true).response.Sw(), 0x6C02);
  const auto exact = iso7816::ParseApdu(Hex("00B000FE02"));
  EXPECT_EQ(app->Process(*exact, true).response.Sw(), 0x9000);
}

// VERIFY with its retry counter: 63Cx after each wrong PIN, blocked at zero (6983 even for
// the right PIN), reset by the right PIN; malformed blocks cost nothing.
TEST(CardApplication, VerifyCountsAndBlocks) {
  App app;
  EXPECT_EQ(app.Sw("0020008100"), 0x63C3);
  EXPECT_EQ(app.Sw(kVerify0000), 0x63C2);
  EXPECT_EQ(app.Sw("0020008108341234FFFFFFFFFF"), 0x6A80);  // not a format 2 block
  EXPECT_EQ(app.Sw("00200081041234FFFF"), 0x6A80);          // block too short
  EXPECT_EQ(app->PinTriesLeft(), 2);
  EXPECT_EQ(app.Sw(kVerify1234), 0x9000);
  EXPECT_EQ(app->PinTriesLeft(), 3);
  EXPECT_EQ(app.Sw("0020008100"), 0x9000);
  EXPECT_EQ(app.Sw("0020008208241234FFFFFFFFFF"), 0x6A88);  // unknown reference
  EXPECT_EQ(app.Sw("0020018108241234FFFFFFFFFF"), 0x6A86);
  EXPECT_EQ(app.Sw("0020FF81"), 0x9000);  // drop the verified state
  EXPECT_FALSE(app->PinVerified());
  EXPECT_EQ(app.Sw(kVerify0000), 0x63C2);
  EXPECT_EQ(app.Sw(kVerify0000), 0x63C1);
  EXPECT_EQ(app.Sw(kVerify0000), 0x63C0);
  EXPECT_EQ(app.Sw(kVerify1234), 0x6983);
  EXPECT_EQ(app.Sw("0020008100"), 0x6983);
  EXPECT_FALSE(app->PinVerified());
  app->ResetSession();
  EXPECT_EQ(app.Sw(kVerify1234), 0x6983);  // blocking outlives the session
}

// CHANGE REFERENCE DATA (old + new, or new after verification) and RESET RETRY COUNTER
// with the PUK, which has its own counter.
TEST(CardApplication, ChangeAndUnblock) {
  App app;
  EXPECT_EQ(app.Sw("0024008110240000FFFFFFFFFF245678FFFFFFFFFF"), 0x63C2);  // wrong old PIN
  EXPECT_EQ(app.Sw("0024008110241234FFFFFFFFFF245678FFFFFFFFFF"), 0x9000);
  EXPECT_EQ(app->CurrentPin(), "5678");
  EXPECT_TRUE(app->PinVerified());
  EXPECT_EQ(app.Sw("002401810826432100FFFFFFFF"), 0x9000);  // new PIN only
  EXPECT_EQ(app->CurrentPin(), "432100");
  EXPECT_EQ(app.Sw("0024008110241234FFFFFFFFFF241FFFFFFFFFFFFF"), 0x6A80);  // new PIN too short
  app->ResetSession();
  EXPECT_EQ(app.Sw("0024018108241111FFFFFFFFFF"), 0x6982);  // new only, not verified
  for (int i = 0; i < 3; ++i) app.Sw(kVerify0000);
  EXPECT_EQ(app.Sw("002C00811026123456FFFFFFFF241111FFFFFFFFFF"), 0x9000);
  EXPECT_EQ(app->PinTriesLeft(), 3);
  EXPECT_EQ(app.Sw("0020008108241111FFFFFFFFFF"), 0x9000);
  EXPECT_EQ(app.Sw("002C01810826654321FFFFFFFF"), 0x63C9);   // wrong PUK
  EXPECT_EQ(app->PukTriesLeft(), 9);
  EXPECT_EQ(app.Sw("002C00810826123456FFFFFFFF"), 0x6A80);  // P1 00 needs a new PIN too
  EXPECT_EQ(app.Sw("002C01810826123456FFFFFFFF"), 0x9000);  // PUK only: counter reset
  EXPECT_EQ(app->PukTriesLeft(), 10);
  EXPECT_EQ(app.Sw("002C02810826123456FFFFFFFF"), 0x6A86);
  for (int i = 0; i < 10; ++i) app.Sw("002C01810826654321FFFFFFFF");
  EXPECT_EQ(app.Sw("002C01810826123456FFFFFFFF"), 0x6983);
}

// Everything else the application answers, and with which status word.
TEST(CardApplication, OtherCommandsAndStatusWords) {
  App app;
  const Bytes first = app.Data("0084000008");
  const Bytes second = app.Data("0084000008");
  EXPECT_EQ(first.size(), 8u);
  EXPECT_NE(first, second);
  EXPECT_EQ(app.Sw("00840000"), 0x6700);
  EXPECT_EQ(app.Sw("0084010008"), 0x6A86);
  EXPECT_EQ(app.Sw("00C0000010"), 0x6985);
  const AppAnswer signature = app.Run("008800000401020304" "00");
  EXPECT_EQ(signature.response.data.size(), 32u);
  EXPECT_EQ(signature.extensions, 3u);
  EXPECT_EQ(app.Data("00880000040102030400"), signature.response.data);  // deterministic
  EXPECT_NE(app.Data("00880000040102030500"), signature.response.data);
  EXPECT_EQ(app.Sw("0088000000"), 0x6700);
  const struct {
    const char* apdu;
    std::uint16_t sw;
  } rows[] = {
      {"00EE0000", 0x6D00}, {"80A4000C", 0x6E00}, {"20A4000C", 0x6E00}, {"01A4000C", 0x6881},
      {"40A4000C", 0x6881}, {"0CA4000C", 0x6882}, {"10A4000C", 0x6884},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.apdu);
    EXPECT_EQ(app.Sw(row.apdu), row.sw);
  }
  App plain("t1-ifsc32");
  EXPECT_EQ(plain.Sw("00B00000000004"), 0x6700);  // no extended lengths on this card
}

// GET RESPONSE on data left for it, in pieces (as T=0 does for case 4).
TEST(CardApplication, GetResponseServesPendingData) {
  App app;
  app->SetPendingResponse(Bytes(300, 0x42));
  EXPECT_EQ(app.Run("00C0000000").response.Sw(), 0x612C);  // 256 given, 44 left
  EXPECT_EQ(app.Sw("00C0000030"), 0x6C2C);
  const AppAnswer rest = app.Run("00C000002C");
  EXPECT_EQ(rest.response.Sw(), 0x9000);
  EXPECT_EQ(rest.response.data, Bytes(44, 0x42));
  app->SetPendingResponse(Bytes(3, 1));
  EXPECT_EQ(app.Sw("00A4000C"), 0x9000);
  EXPECT_EQ(app.Sw("00C0000003"), 0x6985);  // another command drops the data
}

}  // namespace
}  // namespace sim::testing

// The PC/SC part 10 feature codes as an application sends them: the feature list, the
// PIN-pad and TLV properties, the reader escape and the PIN structures, judged by the
// reply and by the message the reader received.

#include <gtest/gtest.h>

#include <kernel_test_support.h>

#include <optional>

#include "CcidFeatures.h"
#include "driver_bench.h"
#include "scard.h"

namespace {

using ccid_test::Bytes;
using ccid_test::ReaderBench;

Bytes Repeat(std::size_t n, std::uint8_t byte) { return Bytes(n, byte); }

Bytes Cut(Bytes a, std::size_t n) {
  a.resize(n);
  return a;
}

Bytes Join(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A VERIFY APDU for the "t0" card whose data field holds `lc` template bytes.
Bytes VerifyApdu(std::uint8_t lc) { return Join({0x00, 0x20, 0x00, 0x81, lc}, Repeat(lc, 0xFF)); }

// PIN_VERIFY_STRUCTURE: ASCII digits padded with FF in an 8-byte block, 4 to 8 digits, OK key.
Bytes Verify(const Bytes& apdu) {
  return Join({0x00, 0x00, 0x82, 0x08, 0x00, 0x08, 0x04, 0x02, 0x01, 0x09, 0x04, 0x00, 0x00, 0x00, 0x00,
               static_cast<std::uint8_t>(apdu.size()), 0x00, 0x00, 0x00},
              apdu);
}

// PIN_MODIFY_STRUCTURE with `messages` as bNumberMessage and bMsgIndex1..3 = 0, 1, 2.
Bytes Modify(std::uint8_t messages) {
  const Bytes apdu = VerifyApdu(0);
  return Join({0x00, 0x00, 0x82, 0x08, 0x00, 0x00, 0x08, 0x08, 0x04, 0x03, 0x02, messages, 0x09, 0x04, 0x00, 0x01,
               0x02, 0x00, 0x00, 0x00, static_cast<std::uint8_t>(apdu.size()), 0x00, 0x00, 0x00},
              apdu);
}

const Bytes kAllFeatures = {0x06, 0x04, 0x00, 0xFD, 0x65, 0xF8, 0x07, 0x04, 0x00, 0xFD, 0x65, 0xFC,
                            0x0A, 0x04, 0x00, 0xFD, 0x66, 0x08, 0x12, 0x04, 0x00, 0xFD, 0x66, 0x28,
                            0x0B, 0x04, 0x00, 0x22, 0x20, 0x04, 0x13, 0x04, 0x00, 0xFD, 0x66, 0x60};

struct FeatureRow {
  const char* name;
  const char* reader;
  std::function<void(sim::ReaderProfile&)> tweak;
  ULONG code;
  Bytes input;
  ULONG outputLength;
  NTSTATUS status;
  Bytes output;                    // the reply (its start only, when prefixOnly)
  std::optional<std::size_t> sent;  // length of the message the reader received; none: nothing sent
  Bytes sentStart = {};            // its first bytes, bSeq (byte 6) not compared
  const char* keys = "";
  bool prefixOnly = false;
};

void PinSupport(sim::ReaderProfile& p, std::uint8_t bits) { p.class_descriptor[sim::ccid::kDescPinSupport] = bits; }

TEST(ReaderFeatures, RequestsAndTheirMessages) {
  const std::string text300(300, 'A');
  const FeatureRow rows[] = {
      {"list_without_pin_support", "tpdu-basic", nullptr, CM_IOCTL_GET_FEATURE_REQUEST, {}, 64, STATUS_SUCCESS,
       Bytes(kAllFeatures.begin() + 12, kAllFeatures.end()), std::nullopt},
      {"list_with_modify_only", "tpdu-basic", [](auto& p) { PinSupport(p, 0x02); }, CM_IOCTL_GET_FEATURE_REQUEST,
       {}, 64, STATUS_SUCCESS, Bytes(kAllFeatures.begin() + 6, kAllFeatures.end()), std::nullopt},
      {"list_with_both", "pinpad-lcd", nullptr, CM_IOCTL_GET_FEATURE_REQUEST, {}, 36, STATUS_SUCCESS, kAllFeatures,
       std::nullopt},
      {"list_into_a_short_buffer", "pinpad-lcd", nullptr, CM_IOCTL_GET_FEATURE_REQUEST, {}, 35,
       STATUS_BUFFER_TOO_SMALL, {}, std::nullopt},
      {"pin_properties", "tpdu-basic",
       [](auto& p) {
         p.class_descriptor[sim::ccid::kDescLcdLayout] = 0x10;
         p.class_descriptor[sim::ccid::kDescLcdLayout + 1] = 0x02;
       },
       IOCTL_FEATURE_IFD_PIN_PROPERTIES, {}, 4, STATUS_SUCCESS, {0x10, 0x02, 0x07, 0x00}, std::nullopt},
      {"pin_properties_into_3_bytes", "pinpad-lcd", nullptr, IOCTL_FEATURE_IFD_PIN_PROPERTIES, {}, 3,
       STATUS_BUFFER_TOO_SMALL, {}, std::nullopt},
      {"tlv_properties", "pinpad-lcd", [](auto& p) { p.id_vendor = 0x1234; }, IOCTL_FEATURE_GET_TLV_PROPERTIES, {},
       14, STATUS_SUCCESS, {0x0A, 0x04, 0x00, 0x00, 0x00, 0x00, 0x0B, 0x02, 0x12, 0x34}, std::nullopt, {}, "", true},
      {"tlv_properties_into_13_bytes", "pinpad-lcd", nullptr, IOCTL_FEATURE_GET_TLV_PROPERTIES, {}, 13,
       STATUS_BUFFER_TOO_SMALL, {}, std::nullopt},
      {"unknown_code", "pinpad-lcd", nullptr, SCARD_CTL_CODE(3500), {1, 2, 3}, 16, STATUS_SUCCESS, {}, std::nullopt},
      {"verify_of_32_bytes", "pinpad-tpdu", nullptr, IOCTL_FEATURE_VERIFY_PIN_DIRECT, Verify(VerifyApdu(8)), 2,
       STATUS_SUCCESS, {0x90, 0x00}, 38,
       {0x69, 0x1C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x82, 0x08, 0x00, 0x08, 0x04, 0x02,
        0x01, 0x09, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00, 0x81, 0x08},
       "1234#"},
      {"verify_answer_into_1_byte", "pinpad-tpdu", nullptr, IOCTL_FEATURE_VERIFY_PIN_DIRECT, Verify(VerifyApdu(8)), 1,
       STATUS_BUFFER_TOO_SMALL, {}, 38, {}, "1234#"},
      {"verify_shorter_than_its_fixed_part", "pinpad-tpdu", nullptr, IOCTL_FEATURE_VERIFY_PIN_DIRECT,
       Cut(Verify({}), 18), 2, STATUS_INVALID_PARAMETER, {}, std::nullopt},
      {"verify_of_265_bytes_within_271", "pinpad-verify-modify", nullptr, IOCTL_FEATURE_VERIFY_PIN_DIRECT,
       Verify(Join({0x00, 0x20, 0x00, 0x81, 0xF1}, Repeat(241, 0xFF))), 2, STATUS_UNSUCCESSFUL, {}, 271, {}, "C"},
      {"verify_of_266_bytes_beyond_271", "pinpad-verify-modify", nullptr, IOCTL_FEATURE_VERIFY_PIN_DIRECT,
       Verify(Join({0x00, 0x20, 0x00, 0x81, 0xF2}, Repeat(242, 0xFF))), 2, STATUS_INVALID_PARAMETER, {},
       std::nullopt},
      {"modify_without_messages", "pinpad-tpdu", nullptr, IOCTL_FEATURE_MODIFY_PIN_DIRECT, Modify(0), 2,
       STATUS_UNSUCCESSFUL, {}, 29 + 6 - 2, {0x69, 23}, "C"},
      {"modify_with_one_message", "pinpad-tpdu", nullptr, IOCTL_FEATURE_MODIFY_PIN_DIRECT, Modify(1), 2,
       STATUS_UNSUCCESSFUL, {}, 29 + 6 - 1, {0x69, 24}, "C"},
      {"modify_with_two_messages", "pinpad-tpdu", nullptr, IOCTL_FEATURE_MODIFY_PIN_DIRECT, Modify(2), 2,
       STATUS_UNSUCCESSFUL, {}, 29 + 6 - 1, {0x69, 24}, "C"},
      {"modify_with_three_messages", "pinpad-tpdu", nullptr, IOCTL_FEATURE_MODIFY_PIN_DIRECT, Modify(3), 2,
       STATUS_UNSUCCESSFUL, {}, 29 + 6, {0x69, 25}, "C"},
      {"modify_shorter_than_its_fixed_part", "pinpad-tpdu", nullptr, IOCTL_FEATURE_MODIFY_PIN_DIRECT,
       Cut(Modify(0), 23), 2, STATUS_INVALID_PARAMETER, {}, std::nullopt},
      {"escape_of_261_bytes_within_271", "pinpad-verify-modify", nullptr, IOCTL_FEATURE_CCID_ESC_COMMAND,
       Repeat(261, 'A'), 16, STATUS_SUCCESS, {}, 271, {0x6B, 0x05, 0x01, 0x00, 0x00, 0x00}},
      {"escape_of_262_bytes_beyond_271", "pinpad-verify-modify", nullptr, IOCTL_FEATURE_CCID_ESC_COMMAND,
       Repeat(262, 'A'), 16, STATUS_INVALID_PARAMETER, {}, std::nullopt},
      {"escape_of_300_bytes_beyond_the_library_buffer", "pinpad-lcd", nullptr, IOCTL_FEATURE_CCID_ESC_COMMAND,
       Bytes(text300.begin(), text300.end()), 16, STATUS_SUCCESS, {}, 310, {0x6B, 0x2C, 0x01, 0x00, 0x00, 0x00}},
      {"escape_of_311_bytes", "pinpad-lcd", nullptr, IOCTL_FEATURE_CCID_ESC_COMMAND, Repeat(311, 'A'), 16,
       STATUS_INVALID_PARAMETER, {}, std::nullopt},
      {"escape_of_nothing", "pinpad-lcd", nullptr, IOCTL_FEATURE_CCID_ESC_COMMAND, {}, 16, STATUS_INVALID_PARAMETER,
       {}, std::nullopt},
      {"escape_answered", "pinpad-lcd", nullptr, IOCTL_FEATURE_CCID_ESC_COMMAND, {0x01}, 64, STATUS_SUCCESS,
       {'C', 'C', 'I', 'D', ' ', 'B', 'e', 'n', 'c', 'h', ' ', 'r', 'e', 'a', 'd', 'e', 'r', ' ', '1', '.', '0'}, 11,
       {0x6B, 0x01, 0x00, 0x00, 0x00, 0x00}},
      {"escape_answer_into_a_short_buffer", "pinpad-lcd", nullptr, IOCTL_FEATURE_CCID_ESC_COMMAND, {0x01}, 8,
       STATUS_BUFFER_TOO_SMALL, {}, 11},
  };
  for (const FeatureRow& row : rows) {
    SCOPED_TRACE(row.name);
    sim::ReaderProfile profile = ccid_test::CatalogueProfile(row.reader);
    if (row.tweak) row.tweak(profile);
    ReaderBench bench(profile, {});
    ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
    bench.InsertCard("t0");
    bench.WaitInterruptIdle();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    auto reader = scard::Reader::Open(bench.Pdo(), &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    ASSERT_EQ(reader->Connect(scard::Share::Exclusive, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1), STATUS_SUCCESS);
    bench.ClearMessages();
    bench.Reader().TypeKeys(row.keys);

    const hosted::UserIoResult r = reader->Control(row.code, row.input, row.outputLength);
    EXPECT_EQ(r.status, row.status) << std::hex << r.status;
    const Bytes reply(r.output.begin(), r.output.begin() + static_cast<std::ptrdiff_t>(r.information));
    if (row.prefixOnly) {
      ASSERT_GE(reply.size(), row.output.size());
      EXPECT_EQ(Bytes(reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(row.output.size())), row.output);
    } else {
      EXPECT_EQ(reply, row.output);
    }
    const std::vector<Bytes> sent = bench.Commands();
    if (!row.sent) {
      EXPECT_TRUE(sent.empty()) << "nothing goes to the reader";
      continue;
    }
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].size(), *row.sent);
    Bytes start = row.sentStart;
    if (start.size() > 6) start[6] = sent[0][6];
    ASSERT_GE(sent[0].size(), start.size());
    EXPECT_EQ(Bytes(sent[0].begin(), sent[0].begin() + static_cast<std::ptrdiff_t>(start.size())), start);
  }
}

}  // namespace

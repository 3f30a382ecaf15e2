// The card's PIN application through the reader: the retry counter, blocking and
// unblocking over the wire; and PIN entry on the reader's keypad (PC_to_RDR_Secure) end
// to end on the real PIN-pad readers, for ASCII and BCD PIN blocks with and without a
// length field, with the PC/SC part 10 structures turned into CCID messages as the
// driver turns them.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "card_link.h"
#include "kernel_test_support.h"

namespace cardlink {
namespace {

constexpr std::uint8_t kPinTimeout = 0xF0;
constexpr std::uint8_t kPinCancelled = 0xEF;
constexpr std::uint8_t kPinMismatch = 0xC0;

std::string SwOf(const std::optional<Bytes>& response) {
  if (!response || response->size() < 2) return "none";
  return iso7816::ToHex(Bytes(response->end() - 2, response->end()));
}

Bytes Apdu(std::uint8_t ins, std::uint8_t p1, const Bytes& data) {
  Bytes apdu{0x00, ins, p1, 0x81};
  if (!data.empty()) {
    apdu.push_back(static_cast<std::uint8_t>(data.size()));
    apdu.insert(apdu.end(), data.begin(), data.end());
  }
  return apdu;
}

Bytes Join(const Bytes& a, const Bytes& b) {
  Bytes out = a;
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

struct AppRow {
  const char* name;
  const char* reader;
  const char* card;
};

void PrintTo(const AppRow& row, std::ostream* os) { *os << row.name; }

class PinApplicationThroughReader : public testing::TestWithParam<AppRow> {};

// VERIFY, RESET RETRY COUNTER and CHANGE REFERENCE DATA in the card's own PIN format:
// 63Cx counts down, 6983 once blocked, the PUK unblocks, and the counter outlives a
// power cycle.
TEST_P(PinApplicationThroughReader, RetryCounterBlockingAndUnblocking) {
  const AppRow& row = GetParam();
  CardLink link(row.reader, row.card);
  ASSERT_TRUE(link.PowerOn().Ok());
  auto channel = std::make_unique<Channel>(link);
  const sim::PinFormat& format = link.Card().Profile().pin_format;
  auto block = [&](std::string_view digits) { return *sim::EncodePin(format, digits); };
  auto verify = [&](std::string_view digits) {
    return SwOf(channel->Transmit(Apdu(0x20, 0x00, digits.empty() ? Bytes{} : block(digits))));
  };

  EXPECT_EQ(verify(""), "63C3") << "tries left";
  EXPECT_EQ(verify("9999"), "63C2");
  EXPECT_EQ(verify("9999"), "63C1");
  EXPECT_EQ(verify("1234"), "9000");
  EXPECT_EQ(verify(""), "9000") << "verified, counter back to 3";
  EXPECT_EQ(link.Application().PinTriesLeft(), 3);
  for (const char* expected : {"63C2", "63C1", "63C0"}) EXPECT_EQ(verify("0000"), expected);
  EXPECT_EQ(verify("1234"), "6983") << "blocked: even the right PIN is refused";
  EXPECT_EQ(verify(""), "6983");
  ASSERT_EQ(SwOf(channel->Transmit(Hex("00A4080C0450005003"))), "9000");
  EXPECT_EQ(SwOf(channel->Transmit(Hex("00B0000020"))), "6982");

  EXPECT_EQ(SwOf(channel->Transmit(Apdu(0x2C, 0x00, Join(block("654321"), block("2468"))))), "63C9")
      << "a wrong PUK costs a PUK try";
  EXPECT_EQ(SwOf(channel->Transmit(Apdu(0x2C, 0x00, Join(block("123456"), block("2468"))))), "9000");
  EXPECT_EQ(link.Application().PukTriesLeft(), 10);
  EXPECT_EQ(verify("2468"), "9000");
  const auto secret = channel->Transmit(Hex("00B0000020"));
  ASSERT_TRUE(secret);
  EXPECT_EQ(secret->size(), 34u);
  EXPECT_EQ(SwOf(secret), "9000");

  EXPECT_EQ(SwOf(channel->Transmit(Apdu(0x24, 0x00, Join(block("2468"), block("13579"))))), "9000");
  EXPECT_EQ(link.Application().CurrentPin(), "13579");
  EXPECT_EQ(verify("2468"), "63C2") << "the old PIN no longer";

  ASSERT_EQ(link.PowerOff().Status(), 0x01);
  ASSERT_TRUE(link.PowerOn().Ok());
  channel = std::make_unique<Channel>(link);
  EXPECT_EQ(verify(""), "63C2") << "the counter outlives the power cycle";
  EXPECT_EQ(verify("13579"), "9000");
}

INSTANTIATE_TEST_SUITE_P(
    Levels, PinApplicationThroughReader,
    testing::Values(AppRow{"tpdu_t0_ascii", "tpdu-basic", "t0"}, AppRow{"tpdu_t0_bcd", "tpdu-basic", "t0-bytewise"},
                    AppRow{"tpdu_t1_ascii_length", "tpdu-basic", "t1-ifsc32"},
                    AppRow{"tpdu_t1_bcd_format2", "tpdu-basic", "t1-ifsc254"},
                    AppRow{"apdu_t0_ascii", "apdu-short", "dual"}, AppRow{"apdu_t1_ascii", "apdu-short", "t1-crc"},
                    AppRow{"extended_t1_bcd_format2", "apdu-extended", "t1-ifsc254"}),
    [](const auto& info) { return std::string(info.param.name); });

// PIN entry on the keypad: the layout that fits the card, the structures an application
// hands the driver, and the message the driver makes of them.
class PinPad {
 public:
  PinPad(CardLink& link, Channel& channel)
      : link_(link), channel_(channel), format_(link.Card().Profile().pin_format), layout_(LayoutFor(format_)) {}

  Answer Verify(const char* keys, std::optional<Bytes>* response) {
    PinVerifyStructure s;
    s.bmFormatString = layout_.format_string;
    s.bmPINBlockString = layout_.block_string;
    s.bmPINLengthFormat = layout_.length_format;
    s.wPINMaxExtraDigit = Digits();
    s.bTeoPrologue = channel_.Prologue();
    s.abData = Apdu(0x20, 0x00, layout_.block_template);
    return Run(VerifyOperation(s.Encode()), keys, response);
  }

  Answer Modify(const char* keys, std::optional<Bytes>* response, std::uint8_t messages = 3) {
    PinModifyStructure s;
    s.bmFormatString = layout_.format_string;
    s.bmPINBlockString = layout_.block_string;
    s.bmPINLengthFormat = layout_.length_format;
    s.bInsertionOffsetOld = 0;
    s.bInsertionOffsetNew = format_.block_size;
    s.wPINMaxExtraDigit = Digits();
    s.bConfirmPIN = 0x03;
    s.bNumberMessage = messages;
    s.bTeoPrologue = channel_.Prologue();
    s.abData = Apdu(0x24, 0x00, Join(layout_.block_template, layout_.block_template));
    return Run(ModifyOperation(s.Encode()), keys, response);
  }

  const PinLayout& Layout() const { return layout_; }

 private:
  std::uint16_t Digits() const {
    const std::uint8_t max = format_.max_digits < 8 ? format_.max_digits : 8;
    return static_cast<std::uint16_t>(format_.min_digits << 8 | max);
  }

  Answer Run(const Bytes& operation, const char* keys, std::optional<Bytes>* response) {
    link_.Reader().TypeKeys(keys);
    const Answer answer = link_.Secure(operation);
    *response = channel_.PinResponse(answer);
    return answer;
  }

  CardLink& link_;
  Channel& channel_;
  sim::PinFormat format_;
  PinLayout layout_;
};

using PadParam = std::tuple<const char*, const char*>;  // reader, card

class PinPadThroughReader : public testing::TestWithParam<PadParam> {};

// On each PIN-pad reader with each card: the right PIN, a wrong one (63Cx), time-out and
// cancel (reader errors, no try spent), modification with confirmation (and with a
// mismatch, or a wrong current PIN), then blocking (6983).
TEST_P(PinPadThroughReader, VerifyModifyAndBlock) {
  const auto [reader, card] = GetParam();
  CardLink link(reader, card);
  ASSERT_TRUE(link.PowerOn().Ok());
  Channel channel(link);
  PinPad pad(link, channel);
  SCOPED_TRACE(pad.Layout().name);
  const int busy = static_cast<int>(link.Card().Profile().busy_extensions);
  std::optional<Bytes> response;

  Answer answer = pad.Verify("1234E", &response);
  ASSERT_TRUE(answer.Ok()) << Describe(answer);
  EXPECT_EQ(SwOf(response), "9000");
  // The user presses a key every 400 ms and the reader sends a time extension for each
  // second of entry: "1234E" takes 2 s (one extension), and with two one-second pauses
  // "12..99E" takes 4 s (three); the card's NULL bytes or S(WTX) add their own.
  EXPECT_EQ(answer.time_extensions, busy + 1) << "the card's NULL bytes or S(WTX) become time extensions";
  EXPECT_TRUE(link.Application().PinVerified());

  answer = pad.Verify("12..99E", &response);
  EXPECT_EQ(SwOf(response), "63C2");
  EXPECT_EQ(answer.time_extensions, busy + 3) << "the user's pauses";

  for (auto [keys, error] : {std::pair{"12", kPinTimeout}, std::pair{"12C", kPinCancelled}}) {
    answer = pad.Verify(keys, &response);
    EXPECT_EQ(answer.Type(), 0x80);
    EXPECT_EQ(answer.Status(), 0x40);
    EXPECT_EQ(answer.Error(), error);
    EXPECT_FALSE(response);
  }
  EXPECT_EQ(link.Application().PinTriesLeft(), 2) << "neither time-out nor cancel spends a try";

  answer = pad.Modify("1234E5678E5678E", &response);
  ASSERT_TRUE(answer.Ok()) << Describe(answer);
  EXPECT_EQ(SwOf(response), "9000");
  EXPECT_EQ(link.Application().CurrentPin(), "5678");
  EXPECT_EQ(link.Application().PinTriesLeft(), 3);

  answer = pad.Modify("5678E1111E2222E", &response);
  EXPECT_EQ(answer.Status(), 0x40);
  EXPECT_EQ(answer.Error(), kPinMismatch) << "confirmation differs: nothing reaches the card";
  answer = pad.Modify("0000E1111E1111E", &response);
  EXPECT_EQ(SwOf(response), "63C2") << "wrong current PIN";
  EXPECT_EQ(link.Application().CurrentPin(), "5678");

  for (const char* expected : {"63C1", "63C0"}) {
    pad.Verify("0000E", &response);
    EXPECT_EQ(SwOf(response), expected);
  }
  pad.Verify("5678E", &response);
  EXPECT_EQ(SwOf(response), "6983");
  EXPECT_EQ(SwOf(channel.Transmit(Hex("0020008100"))), "6983") << "and over the plain channel";
  EXPECT_TRUE(link.Reader().HostErrors().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Readers, PinPadThroughReader,
    testing::Combine(testing::Values("pinpad-lcd", "pinpad-verify-modify", "no-interrupt-pipe", "pinpad-tpdu"),
                     testing::Values("t0", "t0-bytewise", "t1-ifsc32", "t1-ifsc254", "dual")),
    [](const auto& info) {
      std::string name = std::string(std::get<0>(info.param)) + "_" + std::get<1>(info.param);
      std::replace(name.begin(), name.end(), '-', '_');
      return name;
    });

// The driver's message from a PIN_MODIFY_STRUCTURE keeps bMsgIndex2 when bNumberMessage
// is 1 or more and bMsgIndex3 when it is 3 or more; the reader must read it so for
// every count, or the APDU it sends the card is shifted.
TEST(PinPadMessages, ModifyWithEveryMessageCount) {
  for (std::uint8_t messages : {0x00, 0x01, 0x02, 0x03, 0xFF}) {
    SCOPED_TRACE(int(messages));
    CardLink link("pinpad-lcd", "t0");
    ASSERT_TRUE(link.PowerOn().Ok());
    Channel channel(link);
    PinPad pad(link, channel);
    std::optional<Bytes> response;
    const Answer answer = pad.Modify("1234E5678E5678E", &response, messages);
    EXPECT_TRUE(answer.Ok()) << Describe(answer);
    EXPECT_EQ(SwOf(response), "9000");
    EXPECT_EQ(link.Application().CurrentPin(), "5678");
    EXPECT_TRUE(link.Reader().HostErrors().empty());
  }
}

// The sizes the driver's messages come to (a verify request of L bytes: L + 6; a modify
// request: L + 6 less one for each message index left out), checked on the bytes the
// reader received.
TEST(PinPadMessages, MessageSizesAsTheDriverBuildsThem) {
  CardLink link("pinpad-lcd", "t0");
  ASSERT_TRUE(link.PowerOn().Ok());
  PinVerifyStructure verify;
  verify.bmFormatString = 0x82;
  verify.bmPINBlockString = 0x08;
  verify.abData = Hex("00200081 08 FFFFFFFFFFFFFFFF");
  const Bytes request = verify.Encode();
  ASSERT_EQ(request.size(), 19u + 13u);
  link.Reader().TypeKeys("1234E");
  link.Secure(VerifyOperation(request));
  const Bytes& sent = link.Sent().back();
  EXPECT_EQ(sent.size(), request.size() + 6);
  EXPECT_EQ(iso7816::ToHex(Bytes(sent.begin(), sent.begin() + 11)), "691C0000000001000000" "00")
      << "dwLength L - 4, bSeq 1, bPINOperation 0";
  EXPECT_EQ(Bytes(sent.end() - 13, sent.end()), verify.abData);
  for (auto [messages, less] : {std::pair{0, 6}, std::pair{1, 5}, std::pair{2, 5}, std::pair{3, 4}}) {
    SCOPED_TRACE(messages);
    PinModifyStructure modify;
    modify.bNumberMessage = static_cast<std::uint8_t>(messages);
    modify.abData = Hex("00240081 10 FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF");
    const Bytes m = modify.Encode();
    EXPECT_EQ(ModifyOperation(m).size(), m.size() - static_cast<std::size_t>(less)) << "dwLength = L - " << less;
  }
}

}  // namespace
}  // namespace cardlink

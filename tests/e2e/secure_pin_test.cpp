// PIN entry on the reader's keypad end to end: an application sends the PC/SC part 10 PIN
// requests through the library's vendor path, the simulated user types on the keypad on
// the reader's clock (virtual time), the reader builds the PIN block and the card checks
// it against its retry counter. The abort of a PIN entry the user walked away from.

#include <gtest/gtest.h>

#include <kernel_test_support.h>

#include "CcidFeatures.h"
#include "CcidIoctl.h"
#include "driver_bench.h"
#include "scard.h"

namespace {

using ccid_test::Bytes;
using ccid_test::ReaderBench;

constexpr std::uint8_t kDefaultTimeOut = 0;  // the reader's own (30 s)
constexpr std::int64_t kSecond = hosted::Clock::kTicksPerSecond;

// A PIN-pad reader with a card that suits it, and the PIN block format of that card.
struct PinPadRow {
  const char* reader;
  const char* card;
  std::uint8_t format, block, length;  // bmFormatString, bmPINBlockString, bmPINLengthFormat
  std::uint8_t fill;                   // the data field's template bytes
};

const PinPadRow kPinPads[] = {
    {"pinpad-tpdu", "t0", 0x82, 0x08, 0x00, 0xFF},
    {"pinpad-lcd", "t1-ifsc32", 0x8A, 0x87, 0x10, 0x00},
    {"pinpad-verify-modify", "t0", 0x82, 0x08, 0x00, 0xFF},
};

// PIN_VERIFY_STRUCTURE for `apdu` (its 8-byte data field is the template), 4 to 8 digits
// validated by the OK key, message 0 on the display.
Bytes VerifyStructure(const PinPadRow& row, Bytes header, std::uint8_t timeOut = kDefaultTimeOut) {
  Bytes apdu = std::move(header);
  apdu.push_back(8);
  apdu.insert(apdu.end(), 8, row.fill);
  Bytes s{timeOut, 0x00, row.format, row.block, row.length, 0x08, 0x04, 0x02, 0x01, 0x09, 0x04, 0x00, 0x00, 0x00,
          0x00};
  const auto length = static_cast<std::uint32_t>(apdu.size());
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<std::uint8_t>(length >> (8 * i)));
  s.insert(s.end(), apdu.begin(), apdu.end());
  return s;
}

const Bytes kVerify = {0x00, 0x20, 0x00, 0x81};
const Bytes kUnblock = {0x00, 0x2C, 0x01, 0x81};  // RESET RETRY COUNTER with the PUK alone

class PinPad {
 public:
  explicit PinPad(const PinPadRow& row) : row_(row), bench_(row.reader) {
    EXPECT_EQ(bench_.Plug(), STATUS_SUCCESS);
    bench_.InsertCard(row.card);
    bench_.WaitInterruptIdle();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    reader_ = scard::Reader::Open(bench_.Pdo(), &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    ULONG active = 0;
    EXPECT_EQ(reader_->Connect(scard::Share::Exclusive, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &active),
              STATUS_SUCCESS);
  }

  // The keys typed, the PIN request sent; the request's status and the card's answer.
  hosted::UserIoResult Pin(const Bytes& header, const char* keys, std::uint8_t timeOut = kDefaultTimeOut) {
    bench_.Reader().TypeKeys(keys);
    return reader_->Control(IOCTL_FEATURE_VERIFY_PIN_DIRECT, VerifyStructure(row_, header, timeOut), 2);
  }

  const PinPadRow& row_;
  ReaderBench bench_;
  std::unique_ptr<scard::Reader> reader_;
};

std::uint16_t Sw(const hosted::UserIoResult& r) {
  return r.information == 2 && r.output.size() >= 2 ? static_cast<std::uint16_t>(r.output[0] << 8 | r.output[1]) : 0;
}

// One PIN request after another on the same card: its retry counter carries over.
struct StepRow {
  const char* what;
  const Bytes& header;
  const char* keys;
  std::uint8_t timeOut;
  NTSTATUS status;
  std::uint16_t sw;       // when the request succeeded
  std::int64_t seconds;   // virtual time the request took, whole seconds
};

TEST(SecurePin, RetryCounterOnTheKeypad) {
  const StepRow steps[] = {
      {"right PIN", kVerify, "1234#", 0, STATUS_SUCCESS, 0x9000, 2},
      {"wrong PIN", kVerify, "9999#", 0, STATUS_SUCCESS, 0x63C2, 2},
      {"corrected on the keypad", kVerify, "19*234#", 0, STATUS_SUCCESS, 0x9000, 2},
      {"wrong PIN", kVerify, "0000#", 0, STATUS_SUCCESS, 0x63C2, 2},
      {"wrong PIN", kVerify, "0000#", 0, STATUS_SUCCESS, 0x63C1, 2},
      {"last try", kVerify, "0000#", 0, STATUS_SUCCESS, 0x63C0, 2},
      {"blocked", kVerify, "1234#", 0, STATUS_SUCCESS, 0x6983, 2},
      {"unblocked with the PUK", kUnblock, "123456#", 0, STATUS_SUCCESS, 0x9000, 2},
      {"right PIN again", kVerify, "1234#", 0, STATUS_SUCCESS, 0x9000, 2},
      {"user who never types", kVerify, "", 5, STATUS_IO_TIMEOUT, 0, 5},
      {"user who stops half way", kVerify, "12", 0, STATUS_IO_TIMEOUT, 0, 30},
      {"cancel on the keypad", kVerify, "12C", 0, STATUS_UNSUCCESSFUL, 0, 1},
  };
  for (const PinPadRow& row : kPinPads) {
    SCOPED_TRACE(row.reader);
    PinPad pad(row);
    for (const StepRow& step : steps) {
      SCOPED_TRACE(step.what);
      const std::uint64_t extensionsBefore = pad.bench_.Reader().Stats().time_extensions;
      const std::int64_t start = hosted::Clock::Now();
      const hosted::UserIoResult r = pad.Pin(step.header, step.keys, step.timeOut);
      const std::int64_t took = hosted::Clock::Now() - start;
      EXPECT_EQ(r.status, step.status);
      if (step.status == STATUS_SUCCESS) {
        EXPECT_EQ(Sw(r), step.sw);
      }
      EXPECT_EQ(took / kSecond, step.seconds) << took << " ticks";
      // The reader asks for more time each second while the user types.
      EXPECT_GE(pad.bench_.Reader().Stats().time_extensions - extensionsBefore,
                static_cast<std::uint64_t>(step.seconds > 1 ? step.seconds - 1 : 0));
    }
    // The display of a reader with one showed the prompt for every entry.
    const auto lcd = pad.bench_.Reader().LcdMessages();
    if (pad.bench_.Reader().Profile().LcdLayout() != 0) {
      ASSERT_EQ(lcd.size(), std::size(steps));
      EXPECT_EQ(lcd.front(), "Enter PIN");
    } else {
      EXPECT_TRUE(lcd.empty());
    }
  }
}

// An application aborts the PIN entry of a user who typed half the PIN and walked away:
// the ABORT class request reaches the reader while the PIN request holds the driver's
// exchange lock, the PIN request ends at once, PC_to_RDR_Abort completes the handshake
// (the referee judges it when the bench finishes) and the next APDU goes through.
TEST(SecurePin, AbortWhileTheUserTypes) {
  for (const PinPadRow& row : kPinPads) {
    SCOPED_TRACE(row.reader);
    PinPad pad(row);
    sim::CcidReader& reader = pad.bench_.Reader();
    reader.TypeKeys("12");
    const std::uint64_t extensions = reader.Stats().time_extensions;
    const std::int64_t start = hosted::Clock::Now();
    // The PIN request blocks its caller for as long as the user types, as DeviceIoControl
    // does on Windows: the application sends it from a thread of its own.
    hosted::UserIoResult pin;
    hosted::KernelThread application("application's PIN thread", [&] {
      pin = pad.reader_->Control(IOCTL_FEATURE_VERIFY_PIN_DIRECT, VerifyStructure(row, kVerify), 2);
    });
    ASSERT_TRUE(ccid_test::WaitUntil([&] { return reader.Stats().time_extensions >= extensions + 2; }));
    EXPECT_FALSE(application.Finished());

    const Bytes slot{0};
    const hosted::UserIoResult abort = pad.reader_->Control(IOCTL_CCID_ABORT, slot);
    EXPECT_EQ(abort.status, STATUS_SUCCESS);
    application.Join();
    EXPECT_EQ(pin.status, STATUS_UNSUCCESSFUL);
    EXPECT_LT(hosted::Clock::Now() - start, 4 * kSecond);

    // The wire: ABORT request, the PIN command ended with CMD_ABORTED, then
    // PC_to_RDR_Abort with the request's bSeq answered by RDR_to_PC_SlotStatus.
    std::optional<std::uint8_t> abortSeq;
    std::vector<std::string> order;
    for (const auto& e : pad.bench_.SessionTrace()) {
      if (e.type == hosted::usb::TransferType::Control && e.setup.bmRequestType == 0x21 && e.setup.bRequest == 1) {
        abortSeq = static_cast<std::uint8_t>(e.setup.wValue >> 8);
        order.push_back("ABORT");
      } else if (abortSeq && e.type == hosted::usb::TransferType::Bulk && e.data.size() >= 10) {
        if (e.in && e.data[0] == 0x80 && e.data[8] == 0xFF) order.push_back("CMD_ABORTED");
        if (!e.in && e.data[0] == 0x72 && e.data[6] == *abortSeq) order.push_back("PC_to_RDR_Abort");
        if (e.in && e.data[0] == 0x81 && e.data[6] == *abortSeq && (e.data[7] >> 6) == 0) order.push_back("SlotStatus");
      }
    }
    EXPECT_EQ(order, (std::vector<std::string>{"ABORT", "CMD_ABORTED", "PC_to_RDR_Abort", "SlotStatus"}));

    const Bytes select = {0x00, 0xA4, 0x04, 0x00, 0x08, 0xF0, 0x43, 0x43, 0x49, 0x44, 0x53, 0x49, 0x4D};
    const scard::Response next = pad.reader_->Transmit(select);
    EXPECT_EQ(next.status, STATUS_SUCCESS);
    EXPECT_EQ(pad.reader_->Close(), STATUS_SUCCESS);
    pad.reader_.reset();
    pad.bench_.Finish();
    EXPECT_TRUE(pad.bench_.ProtocolFindings().empty());
  }
}

}  // namespace

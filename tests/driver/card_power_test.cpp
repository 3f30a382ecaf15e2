// Card power on a started reader: the voltage ladder of the reset, the ATR handed to the
// caller and the library, the power-down, the sequence numbers, the status mapping, and the
// reset on a reader whose class descriptor cannot be read.

#include <gtest/gtest.h>

#include <kernel_test_support.h>

#include <string>

#include "CcidFrame.h"
#include "CcidReader.h"
#include "CcidUsb.h"
#include "driver_bench.h"
#include "reader/ccid_wire.h"

namespace {

using ccid_test::Bytes;
using ccid_test::ReaderBench;

constexpr ULONG kUnsetInformation = 0xDEADF00D;

// A reset or power-down as a caller of the reader function makes it.
struct PowerCall {
  NTSTATUS status = STATUS_PENDING;
  ULONG information = kUnsetInformation;
  Bytes reply;
};

class CardPowerTest : public ::testing::Test {
 protected:
  void Start(sim::ReaderProfile profile) {
    bench_ = std::make_unique<ReaderBench>(std::move(profile), ccid_test::BenchOptions{});
    ASSERT_EQ(bench_->Plug(), STATUS_SUCCESS);
  }
  void Start(const std::string& profile = "tpdu-basic") { Start(ccid_test::CatalogueProfile(profile)); }
  void Insert(const std::string& card) {
    bench_->InsertCard(card);
    bench_->WaitInterruptIdle();
    bench_->ClearMessages();
  }

  PowerCall Power(ULONG minor, ULONG replyLength = 64) {
    PowerCall call;
    call.reply.assign(replyLength, 0xEE);
    PSMARTCARD_EXTENSION smartcard = bench_->Smartcard();
    smartcard->MinorIoControlCode = minor;
    smartcard->IoRequest.ReplyBuffer = call.reply.data();
    smartcard->IoRequest.ReplyBufferLength = replyLength;
    smartcard->IoRequest.Information = &call.information;
    call.status = CcidCardPower(smartcard);
    smartcard->IoRequest.ReplyBuffer = nullptr;
    smartcard->IoRequest.Information = nullptr;
    return call;
  }

  // bPowerSelect of each PC_to_RDR_IccPowerOn the reader received.
  std::vector<UCHAR> PowerOnVoltages() {
    std::vector<UCHAR> voltages;
    for (const Bytes& command : bench_->Commands()) {
      if (command[0] == CCID_PC_TO_RDR_ICC_POWER_ON) voltages.push_back(command[7]);
    }
    return voltages;
  }
  ULONG CardState() { return bench_->Smartcard()->ReaderCapabilities.CurrentState; }

  std::unique_ptr<ReaderBench> bench_;
};

sim::ReaderProfile WithVoltages(UCHAR voltages) {
  sim::ReaderProfile profile = ccid_test::CatalogueProfile("tpdu-basic");
  profile.class_descriptor[5] = voltages;
  return profile;
}

TEST_F(CardPowerTest, UnknownMinorCodeDoesNothing) {
  Start();
  Insert("t0");
  const PowerCall call = Power(3);
  EXPECT_EQ(call.status, STATUS_SUCCESS);
  EXPECT_TRUE(bench_->Commands().empty());
  EXPECT_EQ(call.information, kUnsetInformation);
}

TEST_F(CardPowerTest, ColdResetStoresTheAtrAndPowersTheCard) {
  Start();
  Insert("t0");
  const PowerCall call = Power(SCARD_COLD_RESET);
  ASSERT_EQ(call.status, STATUS_SUCCESS);
  const sim::CardProfile profile = *sim::FindCardProfile("t0");
  const Bytes atr = sim::BuildAtr(profile);
  EXPECT_EQ(call.information, atr.size());
  EXPECT_EQ(Bytes(call.reply.begin(), call.reply.begin() + static_cast<std::ptrdiff_t>(atr.size())), atr);
  const SCARD_CARD_CAPABILITIES& card = bench_->Smartcard()->CardCapabilities;
  EXPECT_EQ(Bytes(card.ATR.Buffer, card.ATR.Buffer + card.ATR.Length), atr);
  EXPECT_EQ(CardState(), ULONG{SCARD_POWERED});
  EXPECT_NE(card.Protocol.Supported, 0u) << "the library parsed the ATR";
  EXPECT_FALSE(bench_->ReaderExtension()->ApduLevelExchange);
  EXPECT_EQ(PowerOnVoltages(), (std::vector<UCHAR>{CCID_POWER_SELECT_1_8V}));
}

// The ladder: each voltage the reader lists, lowest first, then automatic selection; it
// stops at the first attempt that succeeds.
TEST_F(CardPowerTest, VoltageLadderTriesListedVoltagesLowestFirst) {
  const struct {
    const char* name;
    UCHAR support;
    const char* card;
    std::vector<UCHAR> attempts;
    NTSTATUS status;
  } rows[] = {
      {"3 V card on a 1.8/3 V reader", 0x06, "3v-only", {3, 2}, STATUS_SUCCESS},
      {"any card on a 5 V reader", 0x01, "t0", {1}, STATUS_SUCCESS},
      {"mute card on a reader of every voltage", 0x07, "mute", {3, 2, 1, 0}, STATUS_UNRECOGNIZED_MEDIA},
      {"mute card, no voltage listed", 0x00, "mute", {0}, STATUS_UNRECOGNIZED_MEDIA},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Start(WithVoltages(row.support));
    Insert(row.card);
    EXPECT_EQ(Power(SCARD_COLD_RESET).status, row.status);
    EXPECT_EQ(PowerOnVoltages(), row.attempts);
    bench_.reset();
  }
}

// Every attempt timing out on the bus: 5 V then automatic, and STATUS_IO_TIMEOUT.
TEST_F(CardPowerTest, BulkTimeOutsOnEveryAttemptReportAnIoTimeout) {
  Start(WithVoltages(0x01));
  // Each timed-out power-on stays unanswered; the next voltage goes ahead.
  bench_->ExpectProtocolError(ccid_test::kRuleCommandWhileOutstanding);
  Insert("t0");
  bench_->Reader().AddFault({sim::FaultKind::NoAnswer, 0, CCID_PC_TO_RDR_ICC_POWER_ON, 0, 0});
  EXPECT_EQ(Power(SCARD_WARM_RESET).status, STATUS_IO_TIMEOUT);
  EXPECT_EQ(PowerOnVoltages(), (std::vector<UCHAR>{1, 0}));
}

// No card: the reader's answer carries ICC_MUTE with "no card" in the slot status; the
// empty slot decides, every attempt fails so, and the application hears STATUS_NO_MEDIA.
TEST_F(CardPowerTest, ResetWithoutACardFails) {
  Start(WithVoltages(0x02));
  const PowerCall call = Power(SCARD_COLD_RESET);
  EXPECT_EQ(call.status, STATUS_NO_MEDIA);
  EXPECT_EQ(bench_->Smartcard()->ReaderCapabilities.CurrentState, ULONG{SCARD_ABSENT});
  EXPECT_EQ(call.information, kUnsetInformation);
  EXPECT_EQ(PowerOnVoltages(), (std::vector<UCHAR>{2, 0}));
}

// ATR sizes: one longer than the reply buffer is not copied there and does not power the
// card in the state; one of 64 bytes is stored; one longer than 64 is refused.
TEST_F(CardPowerTest, AtrThatDoesNotFitTheReplyOrTheLibraryBuffer) {
  Start();
  Insert("t0");
  const Bytes atr = sim::BuildAtr(*sim::FindCardProfile("t0"));
  ASSERT_GT(atr.size(), 8u);
  const PowerCall small = Power(SCARD_COLD_RESET, 8);
  EXPECT_EQ(small.status, STATUS_SUCCESS);
  EXPECT_EQ(small.information, kUnsetInformation);
  EXPECT_EQ(small.reply, Bytes(8, 0xEE));
  EXPECT_EQ(bench_->Smartcard()->CardCapabilities.ATR.Length, atr.size());
  EXPECT_EQ(CardState(), ULONG{SCARD_PRESENT}) << "not powered by this call";

  bench_->RemoveCard();
  bench_->WaitInterruptIdle();
  Insert("atr-64plus");
  const UCHAR before = bench_->Smartcard()->CardCapabilities.ATR.Length;
  const PowerCall overlong = Power(SCARD_COLD_RESET, 80);
  EXPECT_EQ(overlong.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_GT(overlong.information, 64u) << "the caller's buffer held it";
  EXPECT_EQ(bench_->Smartcard()->CardCapabilities.ATR.Length, before) << "the stored ATR stays";
}

TEST_F(CardPowerTest, PowerDownSendsOnePowerOffAndLeavesTheCardPresent) {
  Start();
  Insert("t0");
  ASSERT_EQ(Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
  const UCHAR atrLength = bench_->Smartcard()->CardCapabilities.ATR.Length;
  bench_->ClearMessages();
  EXPECT_EQ(Power(SCARD_POWER_DOWN).status, STATUS_SUCCESS);
  const std::vector<Bytes> commands = bench_->Commands();
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0][0], CCID_PC_TO_RDR_ICC_POWER_OFF);
  EXPECT_EQ(CardState(), ULONG{SCARD_PRESENT});
  EXPECT_EQ(bench_->Smartcard()->CardCapabilities.ATR.Length, atrLength);
  EXPECT_FALSE(bench_->Reader().CardPowered());
}

// Each message takes the next sequence number; after 255 comes 0.
TEST_F(CardPowerTest, ConsecutiveResetsUseConsecutiveSequenceNumbersAcrossTheWrap) {
  Start();
  // The test moves the driver's counter between two commands.
  bench_->ExpectProtocolError(ccid_test::kRuleSequence);
  Insert("t0");
  bench_->ReaderExtension()->SequenceNumber = 254;
  for (int i = 0; i < 3; ++i) ASSERT_EQ(Power(SCARD_WARM_RESET).status, STATUS_SUCCESS);
  std::vector<UCHAR> sequences;
  for (const Bytes& command : bench_->Commands()) sequences.push_back(command[6]);
  EXPECT_EQ(sequences, (std::vector<UCHAR>{254, 255, 0}));
  EXPECT_EQ(bench_->ReaderExtension()->SequenceNumber, 1);
}

// A reader exchanging short APDUs puts the driver in APDU-level mode at the reset.
TEST_F(CardPowerTest, ShortApduReaderSetsApduLevelExchange) {
  Start("apdu-short");
  Insert("t0");
  ASSERT_EQ(Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
  EXPECT_TRUE(bench_->ReaderExtension()->ApduLevelExchange);
}

// A class descriptor that cannot be read counts as one listing no voltage and no APDU-level
// exchange: one automatic power-on.
TEST_F(CardPowerTest, ResetWithoutAClassDescriptorTriesAutomaticVoltageOnly) {
  Start("apdu-short");
  Insert("t0");
  PDEVICE_EXTENSION extension = bench_->Extension();
  ExFreePoolWithTag(extension->ConfigurationDescriptor, CCID_POOL_TAG);
  extension->ConfigurationDescriptor = nullptr;
  sim::ControlFault stall;
  stall.request = 6;
  stall.value = CCID_CLASS_DESCRIPTOR_VALUE;
  stall.times = 0;
  bench_->Reader().AddControlFault(stall);

  EXPECT_EQ(Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
  EXPECT_EQ(PowerOnVoltages(), (std::vector<UCHAR>{CCID_POWER_SELECT_AUTOMATIC}));
  EXPECT_FALSE(bench_->ReaderExtension()->ApduLevelExchange);
}

// The same through the library, as an application's IOCTL_SMARTCARD_POWER reaches it.
TEST_F(CardPowerTest, PowerRequestThroughTheLibrary) {
  Start();
  Insert("t1-ifsc32");
  ULONG minor = SCARD_COLD_RESET;
  Bytes input(reinterpret_cast<UCHAR*>(&minor), reinterpret_cast<UCHAR*>(&minor) + sizeof(minor));
  ccid_test::LibraryRequest request(bench_->Fdo(), IOCTL_SMARTCARD_POWER, input, 33);
  EXPECT_EQ(request.Send(), STATUS_SUCCESS);
  ASSERT_TRUE(request.Completed());
  EXPECT_EQ(request.Status(), STATUS_SUCCESS);
  EXPECT_EQ(request.Output(), sim::BuildAtr(*sim::FindCardProfile("t1-ifsc32")));
}

}  // namespace

// The simulated CCID reader driven through URBs on the hosted USB stack, checked against
// the CCID class: its configuration as the stack selects it, each command's answer with
// the sequence number echoed and the status and error bytes, the packets of answers at
// and around the 64-byte boundary, the abort handshake, time extensions and the
// interrupt-pipe messages.
#include <gtest/gtest.h>

#include "card/card.h"
#include "kernel_test_support.h"
#include "reader/reader_profile.h"
#include "usb_bench.h"

namespace usb_test {
namespace {

namespace ccid = sim::ccid;

void ExpectHeader(const Bytes& m, std::uint8_t type, std::uint8_t seq, std::uint8_t status, std::uint8_t error,
                  std::uint8_t slot = 0) {
  ASSERT_GE(m.size(), 10u);
  EXPECT_EQ(m[0], type) << "bMessageType";
  EXPECT_EQ(ccid::Le32(m, 1), m.size() - 10) << "dwLength";
  EXPECT_EQ(m[5], slot) << "bSlot";
  EXPECT_EQ(m[6], seq) << "bSeq";
  EXPECT_EQ(m[7], status) << "bStatus";
  EXPECT_EQ(m[8], error) << "bError";
}

// The smart-card interface of a configuration set: its number and endpoint descriptors.
struct SmartCardInterface {
  std::uint8_t number = 0xFF;
  std::vector<Bytes> endpoints;
};

SmartCardInterface FindSmartCardInterface(const Bytes& set) {
  SmartCardInterface found;
  bool inside = false;
  for (std::size_t at = 0; at + 2 <= set.size() && set[at] >= 2; at += set[at]) {
    if (set[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE) {
      inside = set[at + 5] == ccid::kSmartCardInterfaceClass && found.number == 0xFF;
      if (inside) found.number = set[at + 2];
    } else if (set[at + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE && inside) {
      found.endpoints.emplace_back(set.begin() + at, set.begin() + at + set[at]);
    }
  }
  return found;
}

// The configuration every catalogue reader presents, as SELECT_CONFIGURATION hands it out.
TEST(ReaderOverUrbs, EveryCatalogueReaderConfiguresWithItsEndpoints) {
  for (const auto& info : sim::ReaderProfiles()) {
    SCOPED_TRACE(info.name);
    Bench b(info.name.c_str(), {}, false);
    const sim::ReaderProfile& profile = b.reader->Profile();
    auto device = b.host.GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 18);
    ASSERT_TRUE(device);
    EXPECT_EQ(ccid::Le16(*device, 8), profile.id_vendor);
    EXPECT_EQ(ccid::Le16(*device, 10), profile.id_product);
    auto head = b.host.GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 9);
    ASSERT_TRUE(head);
    auto set = b.host.GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, ccid::Le16(*head, 2));
    ASSERT_TRUE(set);
    EXPECT_EQ(*set, b.bus->ConfigurationDescriptor()) << "what the stack read at arrival";
    const SmartCardInterface smartCard = FindSmartCardInterface(*set);
    EXPECT_EQ(smartCard.number, profile.interface_number);
    auto select = SelectConfigurationRequest(
        b.host.Pdo(), *set,
        {InterfaceChoice{smartCard.number, 0, static_cast<std::uint8_t>(smartCard.endpoints.size())}});
    ASSERT_EQ(b.host.Run(*select).status, STATUS_SUCCESS);
    PUSBD_INTERFACE_INFORMATION record = InterfaceRecord(*select, 0);
    EXPECT_EQ(record->Class, ccid::kSmartCardInterfaceClass);
    EXPECT_NE(record->InterfaceHandle, nullptr);
    EXPECT_NE(select->Urb()->UrbSelectConfiguration.ConfigurationHandle, nullptr);
    ASSERT_EQ(record->NumberOfPipes, smartCard.endpoints.size());
    for (std::size_t i = 0; i < smartCard.endpoints.size(); ++i) {
      const Bytes& e = smartCard.endpoints[i];
      const USBD_PIPE_INFORMATION& p = record->Pipes[i];
      EXPECT_EQ(p.EndpointAddress, e[2]);
      EXPECT_EQ(p.MaximumPacketSize, ccid::Le16(e, 4));
      EXPECT_EQ(p.Interval, e[6]);
      EXPECT_EQ(p.PipeType, (e[3] & 3) == 3 ? UsbdPipeTypeInterrupt : UsbdPipeTypeBulk);
      EXPECT_EQ(p.MaximumTransferSize, ULONG{USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE});
      EXPECT_NE(p.PipeHandle, nullptr);
      for (std::size_t j = 0; j < i; ++j) EXPECT_NE(p.PipeHandle, record->Pipes[j].PipeHandle);
    }
    EXPECT_TRUE(b.reader->Configured());
    // The class descriptor by the class request to the smart-card interface.
    const UrbResult r = b.host.Run(
        ClassOrVendorRequest(b.host.Pdo(), URB_FUNCTION_CLASS_INTERFACE, true, 6, 0x2100, smartCard.number, Bytes(54)));
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.data, Bytes(profile.class_descriptor.begin(), profile.class_descriptor.end()));
  }
}

TEST(ReaderOverUrbs, SelectionErrorsLeaveTheDeviceUnconfigured) {
  Bench b("tpdu-basic", {}, false);
  const Bytes set = b.bus->ConfigurationDescriptor();
  struct Row {
    const char* name;
    std::vector<InterfaceChoice> interfaces;
    int slack;
    NTSTATUS status;
    USBD_STATUS usbd;
  };
  for (const Row& row : {Row{"record_too_small_for_the_pipes", {{0, 0, 3}}, -48, STATUS_BUFFER_TOO_SMALL,
                             USBD_STATUS_BUFFER_TOO_SMALL},
                         Row{"no_such_interface", {{4, 0, 3}}, 0, STATUS_INVALID_PARAMETER,
                             USBD_STATUS_INTERFACE_NOT_FOUND},
                         Row{"no_such_alternate_setting", {{0, 1, 3}}, 0, STATUS_INVALID_PARAMETER,
                             USBD_STATUS_INTERFACE_NOT_FOUND}}) {
    SCOPED_TRACE(row.name);
    const UrbResult r = b.host.Run(SelectConfigurationRequest(b.host.Pdo(), set, row.interfaces, row.slack));
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(r.usbd, row.usbd);
    EXPECT_FALSE(b.reader->Configured());
  }
}

TEST(ReaderOverUrbs, DeconfiguringInvalidatesThePipes) {
  Bench b;
  const UrbResult r = b.host.Run(SelectConfigurationRequest(b.host.Pdo(), {}, {}));
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_FALSE(b.reader->Configured());
  EXPECT_EQ(b.host.Write(Cmd(0x65, 1)).usbd, USBD_STATUS_INVALID_PIPE_HANDLE);
}

// One row per command: the answer's type, bStatus and bError for a slot with a powered
// T=0 card (unless the row says otherwise).
struct CommandRow {
  const char* name;
  Bytes command;  // sent with bSeq 0x5A
  std::uint8_t type, status, error;
  std::size_t payload;  // expected dwLength, or kAnyLength
  const char* profile = "tpdu-basic";
  const char* keys = "";
};
constexpr std::size_t kAnyLength = ~std::size_t{0};
constexpr std::uint8_t kSeq = 0x5A;

class ReaderCommandOverUrbs : public testing::TestWithParam<CommandRow> {};

TEST_P(ReaderCommandOverUrbs, AnswerEchoesTheSequenceWithTheStatusBytes) {
  const CommandRow& row = GetParam();
  Bench b(row.profile);
  b.reader->InsertCard(sim::MakeCard("t0"));
  ASSERT_EQ(b.host.ReadInterrupt().data, (Bytes{0x50, 0x03})) << "the insertion on the interrupt pipe";
  auto atr = b.host.Exchange(Cmd(0x62, 1));
  ASSERT_TRUE(atr);
  ExpectHeader(*atr, 0x80, 1, 0x00, 0x00);
  b.reader->TypeKeys(row.keys);
  Bytes command = row.command;
  command[6] = kSeq;
  auto m = b.host.Exchange(command);
  ASSERT_TRUE(m);
  ExpectHeader(*m, row.type, kSeq, row.status, row.error, command[5]);
  if (row.payload != kAnyLength) {
    EXPECT_EQ(m->size() - 10, row.payload);
  }
}

Bytes PinVerifyCancelOrTimeout() {
  Bytes s{0x00, 0x00, 0x82, 0x00, 0x00, 8, 4, 0x02, 0x01, 0x09, 0x04, 0x00, 0x00, 0x00, 0x00};
  s.insert(s.end(), {0x00, 0x20, 0x00, 0x81, 0x00});
  return Cmd(0x69, 0, s);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, ReaderCommandOverUrbs,
    testing::Values(
        CommandRow{"power_on_again_warm_reset", Cmd(0x62, 0), 0x80, 0x00, 0x00, kAnyLength},
        CommandRow{"slot_status", Cmd(0x65, 0), 0x81, 0x00, 0x00, 0},
        CommandRow{"power_off", Cmd(0x63, 0), 0x81, 0x01, 0x00, 0},
        CommandRow{"get_parameters_t0", Cmd(0x6C, 0), 0x82, 0x00, 0x00, 5},
        CommandRow{"reset_parameters", Cmd(0x6D, 0), 0x82, 0x00, 0x00, 5},
        CommandRow{"set_parameters_t0", Cmd(0x61, 0, {0x11, 0x00, 0x00, 0x0A, 0x00}), 0x82, 0x00, 0x00, 5},
        CommandRow{"set_parameters_bad_fi", Cmd(0x61, 0, {0x71, 0x00, 0x00, 0x0A, 0x00}), 0x82, 0x40, 10, kAnyLength},
        CommandRow{"xfr_block_tpdu_select_mf", Cmd(0x6F, 0, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}), 0x80, 0x00,
                   0x00, 2},
        CommandRow{"escape_the_reader_does_not_know", Cmd(0x6B, 0, {0x01, 0x02}), 0x83, 0x40, 0x00, 0},
        CommandRow{"wrong_slot", Cmd(0x65, 0, {}, 3), 0x81, 0x42, 0x05, 0},
        CommandRow{"command_not_supported", Cmd(0x7E, 0), 0x81, 0x40, 0x00, 0},
        CommandRow{"pin_cancelled", PinVerifyCancelOrTimeout(), 0x80, 0x40, 0xEF, 0, "pinpad-tpdu", "12C"},
        CommandRow{"pin_timeout", PinVerifyCancelOrTimeout(), 0x80, 0x40, 0xF0, 0, "pinpad-tpdu", "12"}),
    [](const auto& info) { return std::string(info.param.name); });

// Answers cut into 64-byte packets; one that ends on a packet boundary is followed by a
// zero-length packet, which a separate read sees.
struct BoundaryRow {
  std::size_t answer;     // whole answer size (10 + payload)
  ULONG read;             // first read's buffer
  ULONG firstLength;      // what it brings
  bool zlpAfter;          // a zero-length read follows
};

class ReaderBoundaryOverUrbs : public testing::TestWithParam<BoundaryRow> {};

TEST_P(ReaderBoundaryOverUrbs, ZeroLengthPacketEndsAnAnswerOnAPacketBoundary) {
  const BoundaryRow& row = GetParam();
  Bench b;
  Bytes reply(row.answer - 10);
  for (std::size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<std::uint8_t>(i * 7);
  b.reader->SetEscapeReply({0x42}, reply);
  ASSERT_EQ(b.host.Write(Cmd(0x6B, 9, {0x42})).status, STATUS_SUCCESS);
  UrbResult first = b.host.Read(row.read);
  EXPECT_EQ(first.status, STATUS_SUCCESS);
  ASSERT_EQ(first.length, row.firstLength);
  EXPECT_EQ(Payload(first.data).size(), std::min<std::size_t>(reply.size(), row.firstLength - 10));
  if (row.firstLength < row.answer) {
    const UrbResult rest = b.host.Read(static_cast<ULONG>(row.answer));
    EXPECT_EQ(first.length + rest.length, row.answer);
  }
  if (row.zlpAfter) {
    const UrbResult zlp = b.host.Read(64);
    EXPECT_EQ(zlp.status, STATUS_SUCCESS);
    EXPECT_EQ(zlp.length, 0u) << "the zero-length packet";
  }
  auto next = b.host.StartRead(64);
  ASSERT_TRUE(b.bus->WaitForPendingTransfers(1));
  EXPECT_FALSE(next->Completed()) << "nothing more: the reader NAKs";
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ReaderBoundaryOverUrbs,
    testing::Values(BoundaryRow{63, 64, 63, false}, BoundaryRow{64, 64, 64, true}, BoundaryRow{64, 65, 64, false},
                    BoundaryRow{65, 64, 64, false}, BoundaryRow{128, 128, 128, true},
                    BoundaryRow{128, 64, 64, false}, BoundaryRow{128, 129, 128, false}),
    [](const auto& info) {
      return "answer_" + std::to_string(info.param.answer) + "_read_" + std::to_string(info.param.read);
    });

TEST(ReaderOverUrbs, CommandSplitOverPacketsIsJoinedByDwLength) {
  Bench b;
  const Bytes text(150, 'x');
  auto answer = b.host.Exchange(Cmd(0x6B, 3, text));
  ASSERT_TRUE(answer);
  ExpectHeader(*answer, 0x83, 3, 0x02, 0x00);  // processed; no card in the slot
  EXPECT_EQ(b.reader->EscapesReceived().back(), text);
  EXPECT_TRUE(b.reader->HostErrors().empty());
}

TEST(ReaderOverUrbs, SlowCardOperationsSendTimeExtensions) {
  Bench b("apdu-short");
  b.reader->InsertCard(sim::MakeCard("many-wtx"));
  ASSERT_TRUE(b.host.Exchange(Cmd(0x62, 1)));
  int wtx = -1;
  auto m = b.host.Exchange(Cmd(0x6F, 2, {0x00, 0x84, 0x00, 0x00, 0x08}), &wtx);
  ASSERT_TRUE(m);
  ExpectHeader(*m, 0x80, 2, 0x00, 0x00);
  EXPECT_EQ(m->size(), 10u + 8 + 2);
  EXPECT_EQ(wtx, 4);
}

TEST(ReaderOverUrbs, AbortHandshakeEndsTheCommandInProgress) {
  Bench b("apdu-short");
  b.reader->InsertCard(sim::MakeCard("many-wtx"));
  ASSERT_TRUE(b.host.Exchange(Cmd(0x62, 1)));
  // INTERNAL AUTHENTICATE: a slow signature, answered with time extensions first.
  ASSERT_EQ(b.host.Write(Cmd(0x6F, 5, {0x00, 0x88, 0x00, 0x00, 0x08, 1, 2, 3, 4, 5, 6, 7, 8, 0x00})).status,
            STATUS_SUCCESS);
  const Bytes wait = b.host.ReadMessage().data;
  ASSERT_GE(wait.size(), 10u);
  EXPECT_EQ(wait[6], 5);
  EXPECT_EQ(wait[7], 0x80) << "a time extension: the card is still working";
  // The ABORT request (bSeq 6 in the high byte, slot 0 in the low byte), then the message.
  EXPECT_EQ(b.host.ClassRequest(false, ccid::kRequestAbort, 0x0600, {}).status, STATUS_SUCCESS);
  ExpectHeader(b.host.ReadMessage().data, 0x80, 5, 0x40, 0xFF);  // CMD_ABORTED
  ASSERT_EQ(b.host.Write(Cmd(0x72, 6)).status, STATUS_SUCCESS);
  ExpectHeader(b.host.ReadMessage().data, 0x81, 6, 0x00, 0x00);
  auto after = b.host.Exchange(Cmd(0x65, 7));
  ASSERT_TRUE(after);
  ExpectHeader(*after, 0x81, 7, 0x00, 0x00);
}

TEST(ReaderOverUrbs, ClassRequestsForClocksAndDataRates) {
  Bench b("tpdu-basic");
  const sim::ReaderProfile& p = b.reader->Profile();
  for (auto [request, table] : {std::pair{ccid::kRequestGetClockFrequencies, p.clock_frequencies_khz},
                                std::pair{ccid::kRequestGetDataRates, p.data_rates_bps}}) {
    SCOPED_TRACE(int(request));
    const UrbResult r = b.host.ClassRequest(true, request, 0, Bytes(256));
    if (table.empty()) {
      EXPECT_EQ(r.usbd, USBD_STATUS_STALL_PID);
      EXPECT_EQ(r.status, STATUS_UNSUCCESSFUL);
      continue;
    }
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    ASSERT_EQ(r.length, 4 * table.size()) << "a short transfer, as long as the table";
    for (std::size_t i = 0; i < table.size(); ++i) EXPECT_EQ(ccid::Le32(r.data, 4 * i), table[i]);
  }
  EXPECT_EQ(b.host.ClassRequest(true, 0x7F, 0, Bytes(8)).usbd, USBD_STATUS_STALL_PID) << "unknown request";
}

TEST(ReaderOverUrbs, SlotChangesAndHardwareErrorsArriveOnTheInterruptPipe) {
  Bench b;
  auto pending = b.host.StartInterrupt();
  ASSERT_TRUE(b.bus->WaitForPendingTransfers(1));
  EXPECT_FALSE(pending->Completed()) << "no event yet";
  b.reader->InsertCard(sim::MakeCard("t0"));
  UrbResult r = pending->Wait();
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.data, (Bytes{0x50, 0x03})) << "present, changed";
  EXPECT_EQ(r.irql, DISPATCH_LEVEL);
  b.reader->RemoveCard();
  EXPECT_EQ(b.host.ReadInterrupt().data, (Bytes{0x50, 0x02})) << "absent, changed";
  b.reader->InsertCard(sim::MakeCard("t0"));
  ASSERT_TRUE(b.host.Exchange(Cmd(0x62, 4)));
  b.host.ReadInterrupt();
  b.reader->HardwareFault(0, 0x01);
  EXPECT_EQ(b.host.ReadInterrupt().data, (Bytes{0x51, 0x00, 4, 0x01})) << "slot, last bSeq, code";
}

TEST(ReaderOverUrbs, RemoteWakeOnCardInsertionWhileSuspended) {
  Bench b("wakeup");
  Submission d2(b.host.Pdo(), UCHAR{IRP_MJ_POWER}, UCHAR{IRP_MN_SET_POWER}, [](PIO_STACK_LOCATION l) {
    l->Parameters.Power.Type = DevicePowerState;
    l->Parameters.Power.State.DeviceState = PowerDeviceD2;
  });
  d2.Send();
  ASSERT_EQ(d2.Wait().status, STATUS_SUCCESS);
  Submission wake(b.host.Pdo(), UCHAR{IRP_MJ_POWER}, UCHAR{IRP_MN_WAIT_WAKE},
                  [](PIO_STACK_LOCATION l) { l->Parameters.WaitWake.PowerState = PowerSystemSleeping3; });
  wake.Send();
  EXPECT_TRUE(b.reader->RemoteWakeupEnabled());
  b.reader->InsertCard(sim::MakeCard("t0"));
  EXPECT_EQ(wake.Wait().status, STATUS_SUCCESS);
}

}  // namespace
}  // namespace usb_test

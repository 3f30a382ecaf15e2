// End to end: the driver loaded in the hosted kernel, a simulated reader on the hosted USB
// stack, the PnP manager taking it through the orders Windows uses, the verifier on. Plug
// and start, card insertion and removal completing a waiting tracking request, stop and
// restart, the query and cancel paths, surprise removal, removal with a parked request,
// and every real reader of the data file. The test support checks after each test that no
// pool, IRP, device object or handle was left behind.

#include <gtest/gtest.h>

#include <kernel_test_support.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>

#include "CcidFrame.h"
#include "CcidIoctl.h"
#include "CcidUsb.h"
#include "driver_bench.h"
#include "scard.h"
#include "reader/ccid_wire.h"

namespace {

using ccid_test::Bytes;
using ccid_test::ReaderBench;
using hosted::PnpState;
using hosted::usb::TransferRecord;

constexpr char kIdentification[] = "TALMOR_DRIVER_3004";

// The commands of one type the reader received since the trace was last cleared.
std::size_t CommandsOfType(ReaderBench& bench, UCHAR type) {
  const std::vector<Bytes> commands = bench.Commands();
  return static_cast<std::size_t>(
      std::count_if(commands.begin(), commands.end(), [type](const Bytes& c) { return !c.empty() && c[0] == type; }));
}

std::size_t IdentificationsReceived(ReaderBench& bench) {
  std::size_t count = 0;
  for (const Bytes& escape : bench.Reader().EscapesReceived()) {
    if (std::string(escape.begin(), escape.end()) == kIdentification) ++count;
  }
  return count;
}

bool ReaderInterfaceEnabled(ReaderBench& bench) {
  for (const hosted::DeviceInterface& entry : hosted::Devices::Interfaces(bench.Bus().Pdo())) {
    if (IsEqualGUID(entry.classGuid, GUID_DEVINTERFACE_SMARTCARD_READER)) return entry.enabled;
  }
  return false;
}

// What an application's CreateFile gets now: STATUS_SUCCESS while the driver admits a
// handle (started, no stop or removal pending, no other handle open).
NTSTATUS OpenStatus(ReaderBench& bench) {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  (void)bench.Open(&status);
  return status;
}

std::unique_ptr<scard::Reader> OpenReader(ReaderBench& bench) {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  std::unique_ptr<scard::Reader> reader = bench.Open(&status);
  EXPECT_NE(reader, nullptr) << "the driver refused the handle: 0x" << std::hex << status;
  return reader;
}

// The card state as an application reads it (IOCTL_SMARTCARD_GET_STATE), on a handle
// opened for the question.
ULONG CardState(ReaderBench& bench) {
  std::unique_ptr<scard::Reader> reader = OpenReader(bench);
  return reader == nullptr ? 0 : reader->State();
}

ULONG UlongAttribute(scard::Reader& reader, ULONG tag) {
  const Bytes value = reader.Attribute(tag);
  ULONG number = 0;
  if (value.size() >= sizeof(number)) std::memcpy(&number, value.data(), sizeof(number));
  return number;
}

// The driver's interrupt request waits in the USB stack (and nothing else does).
bool InterruptRequestWaits(ReaderBench& bench) { return bench.Bus().PendingTransfers() == 1; }

// ---- plug and start ---------------------------------------------------------------

TEST(ReaderLifecycle, PlugReadsDescriptorsSelectsTheConfigurationIdentifiesAndArmsTheInterruptPipe) {
  ReaderBench bench("tpdu-basic");
  bench.Bus().ClearTransfers();
  ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
  EXPECT_EQ(bench.Node().State(), PnpState::Started);
  EXPECT_TRUE(bench.Node().Capabilities().SurpriseRemovalOK);

  // What went over the bus, in order: port reset, device and configuration descriptors,
  // the configuration, the identification escape, then the interrupt request.
  std::vector<std::string> steps;
  for (const TransferRecord& record : bench.Bus().Transfers()) {
    if (record.ioControlCode == IOCTL_INTERNAL_USB_RESET_PORT) {
      steps.push_back("reset-port");
    } else if (record.urbFunction == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
      steps.push_back("descriptor-" + std::to_string(record.setup.wValue >> 8) + "/" +
                      std::to_string(record.setup.wLength));
    } else if (record.urbFunction == URB_FUNCTION_SELECT_CONFIGURATION) {
      steps.push_back("select-configuration");
    } else if (record.type == hosted::usb::TransferType::Bulk && !record.in) {
      steps.push_back("bulk-out-" + std::to_string(record.requested));
    } else if (record.type == hosted::usb::TransferType::Interrupt) {
      steps.push_back("interrupt");
    }
  }
  ASSERT_GE(steps.size(), 6u);
  EXPECT_EQ(std::vector<std::string>(steps.begin(), steps.begin() + 6),
            (std::vector<std::string>{"reset-port", "descriptor-1/18", "descriptor-2/521", "select-configuration",
                                      "bulk-out-28", "interrupt"}));

  EXPECT_EQ(IdentificationsReceived(bench), 1u);
  EXPECT_TRUE(InterruptRequestWaits(bench)) << "the interrupt request waits in the stack";
  EXPECT_TRUE(ReaderInterfaceEnabled(bench));
  EXPECT_EQ(CardState(bench), ULONG{SCARD_ABSENT});
}

// Every real reader of the data file, and variations of one showing what real readers
// may have: each either starts with the capabilities of its class descriptor, or is
// refused exactly where the driver's configuration rule refuses it (no interface of the
// smart-card class, or one with fewer than three endpoints: STATUS_INSUFFICIENT_RESOURCES
// before any configuration is selected), and leaves cleanly.
struct RealReaderRow {
  const char* name;  // a reader of the data file, or a variation's name
  NTSTATUS start;    // what START ends with
  const char* why;   // the driver's rule behind the outcome
  std::function<void(sim::ReaderProfile&)> vary;  // a variation of tpdu-basic
  bool capabilitiesFromDescriptor = true;         // false: the add-device defaults stay
};

void PrintTo(const RealReaderRow& row, std::ostream* out) { *out << row.name; }

const RealReaderRow kRealReaders[] = {
    {"tpdu-basic", STATUS_SUCCESS, "smart-card interface with three endpoints"},
    {"apdu-short", STATUS_SUCCESS, "smart-card interface with three endpoints"},
    {"apdu-extended", STATUS_SUCCESS, "smart-card interface with three endpoints"},
    {"pinpad-lcd", STATUS_SUCCESS, "smart-card interface with three endpoints"},
    {"pinpad-verify-modify", STATUS_SUCCESS, "smart-card interface 2 of 3, found wherever it lies"},
    {"multi-slot", STATUS_SUCCESS, "smart-card interface with three endpoints"},
    {"five-volt-only", STATUS_SUCCESS, "smart-card interface with three endpoints"},
    {"t1-only", STATUS_SUCCESS, "smart-card interface with three endpoints"},
    {"small-messages", STATUS_SUCCESS, "smart-card interface with three endpoints"},
    {"no-interrupt-pipe", STATUS_INSUFFICIENT_RESOURCES, "two endpoints: the driver needs three"},
    {"composite", STATUS_SUCCESS, "smart-card interface before another one"},
    {"character-level", STATUS_INSUFFICIENT_RESOURCES, "no endpoints: the driver needs three"},
};

const RealReaderRow kVariations[] = {
    {"vendor-class-interface", STATUS_INSUFFICIENT_RESOURCES,
     "a CCID class descriptor under a vendor-class (0xFF) interface: no interface of class 0x0B",
     [](sim::ReaderProfile& p) { p.interface_class = 0xFF; }},
    {"class-descriptor-type-ff", STATUS_SUCCESS,
     "a class descriptor of type 0xFF: neither the configuration walk nor the class request for type 0x21 finds "
     "one, and the start goes on with the defaults",
     [](sim::ReaderProfile& p) { p.class_descriptor[1] = 0xFF; }, false},
};

class RealReaderTest : public ::testing::TestWithParam<RealReaderRow> {};

TEST_P(RealReaderTest, StartsWithTheClassDescriptorsCapabilitiesOrIsRefusedByTheConfigurationRule) {
  const RealReaderRow& row = GetParam();
  SCOPED_TRACE(row.why);
  sim::ReaderProfile profile = *sim::FindReaderProfile(row.vary ? "tpdu-basic" : row.name);
  if (row.vary) row.vary(profile);
  ReaderBench bench(profile, ccid_test::BenchOptions{});
  bench.Bus().ClearTransfers();
  ASSERT_EQ(bench.Plug(), row.start);
  if (row.start != STATUS_SUCCESS) {
    EXPECT_EQ(bench.Node().State(), PnpState::NotAdded);
    bool configurationRead = false;
    for (const TransferRecord& record : bench.Bus().Transfers()) {
      configurationRead |=
          record.urbFunction == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE && (record.setup.wValue >> 8) == 2;
      EXPECT_FALSE(record.ioControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB &&
                   record.urbFunction == URB_FUNCTION_SELECT_CONFIGURATION)
          << "refused before selecting";
      EXPECT_NE(record.type, hosted::usb::TransferType::Bulk);
    }
    EXPECT_TRUE(configurationRead) << "refused on what the configuration shows";
    return;
  }

  // The capabilities as an application reads them.
  const auto& d = profile.class_descriptor;
  {
    std::unique_ptr<scard::Reader> reader = OpenReader(bench);
    ASSERT_NE(reader, nullptr);
    auto attribute = [&](ULONG tag) { return UlongAttribute(*reader, tag); };
    if (row.capabilitiesFromDescriptor) {
      EXPECT_EQ(attribute(SCARD_ATTR_DEFAULT_CLK), sim::ccid::Le32(d, 10));
      EXPECT_EQ(attribute(SCARD_ATTR_MAX_CLK), sim::ccid::Le32(d, 14));
      EXPECT_EQ(attribute(SCARD_ATTR_DEFAULT_DATA_RATE), sim::ccid::Le32(d, 19));
      EXPECT_EQ(attribute(SCARD_ATTR_MAX_DATA_RATE), sim::ccid::Le32(d, 23));
      EXPECT_EQ(attribute(SCARD_ATTR_MAX_IFSD), profile.MaxIfsd());
      EXPECT_EQ(attribute(SCARD_ATTR_CHARACTERISTICS), sim::ccid::Le32(d, 36));
      const hosted::UserIoResult descriptor = reader->Control(IOCTL_CCID_GET_CLASS_DESCRIPTOR, {}, 54);
      ASSERT_EQ(descriptor.status, STATUS_SUCCESS);
      EXPECT_EQ(sim::ccid::Le32(descriptor.output, 40), profile.Features());
      const ULONG expectedProtocols =
          (profile.Protocols() & 1) != 0
              ? (SCARD_PROTOCOL_T0 | ((profile.Protocols() & 2) != 0 ? SCARD_PROTOCOL_T1 : 0))
              : SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
      EXPECT_EQ(attribute(SCARD_ATTR_PROTOCOL_TYPES), expectedProtocols);
    } else {
      EXPECT_EQ(attribute(SCARD_ATTR_DEFAULT_CLK), 4000u);
      EXPECT_EQ(attribute(SCARD_ATTR_DEFAULT_DATA_RATE), 10750u);
      EXPECT_EQ(attribute(SCARD_ATTR_MAX_IFSD), 253u);
      EXPECT_EQ(attribute(SCARD_ATTR_PROTOCOL_TYPES), ULONG{SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1});
    }
    EXPECT_EQ(attribute(SCARD_ATTR_CHANNEL_ID) >> 16, ULONG{SCARD_READER_TYPE_USB});
  }
  EXPECT_EQ(IdentificationsReceived(bench), 1u);
  EXPECT_TRUE(bench.Reader().HostErrors().empty());

  EXPECT_EQ(bench.Node().Disable(), STATUS_SUCCESS);
  EXPECT_EQ(bench.Node().State(), PnpState::NotAdded);
  EXPECT_FALSE(ReaderInterfaceEnabled(bench));
}

std::string RowName(const ::testing::TestParamInfo<RealReaderRow>& info) {
  std::string name = info.param.name;
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
}

INSTANTIATE_TEST_SUITE_P(DataFile, RealReaderTest, ::testing::ValuesIn(kRealReaders), RowName);
INSTANTIATE_TEST_SUITE_P(Variations, RealReaderTest, ::testing::ValuesIn(kVariations), RowName);

// The table above has a row for every reader of the data file, so that a reader added to
// the file is classified before it counts as covered.
TEST(ReaderLifecycle, EveryRealReaderOfTheDataFileHasARow) {
  std::ifstream in(CCID_READER_DATA_FILE);
  std::vector<std::string> inFile, inTable;
  const nlohmann::json file = nlohmann::json::parse(in);
  for (const auto& entry : file.at("readers")) inFile.push_back(entry.at("profile"));
  for (const RealReaderRow& row : kRealReaders) inTable.push_back(row.name);
  std::sort(inFile.begin(), inFile.end());
  std::sort(inTable.begin(), inTable.end());
  EXPECT_EQ(inTable, inFile);
}

// ---- card tracking ------------------------------------------------------------------

TEST(ReaderLifecycle, CardInsertionAndRemovalCompleteTheWaitingTrackingRequest) {
  ReaderBench bench;
  ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
  std::unique_ptr<scard::Reader> reader = OpenReader(bench);
  ASSERT_NE(reader, nullptr);

  std::shared_ptr<hosted::UserRequest> present = reader->WaitForCard(true);
  hosted::Scheduler::Settle();
  EXPECT_FALSE(present->Done());
  bench.InsertCard("t0");
  ASSERT_TRUE(ccid_test::WaitUntil([&] { return present->Done(); }));
  const hosted::UserIoResult presentResult = present->Result();
  EXPECT_TRUE(presentResult.returnedPending);
  EXPECT_EQ(presentResult.status, STATUS_SUCCESS);
  EXPECT_EQ(presentResult.information, 0u);
  EXPECT_EQ(reader->State(), ULONG{SCARD_PRESENT});

  // The completed request left the library's slot free: the next one waits in it.
  std::shared_ptr<hosted::UserRequest> absent = reader->WaitForCard(false);
  hosted::Scheduler::Settle();
  EXPECT_FALSE(absent->Done());
  bench.RemoveCard();
  ASSERT_TRUE(ccid_test::WaitUntil([&] { return absent->Done(); }));
  EXPECT_EQ(absent->Result().status, STATUS_SUCCESS);
  EXPECT_EQ(reader->State(), ULONG{SCARD_ABSENT});
}

TEST(ReaderLifecycle, CancelledTrackingRequestEndsCancelledAndTheNextInsertionCompletesNothing) {
  ReaderBench bench;
  ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
  std::unique_ptr<scard::Reader> reader = OpenReader(bench);
  ASSERT_NE(reader, nullptr);
  {
    std::shared_ptr<hosted::UserRequest> present = reader->WaitForCard(true);
    hosted::Scheduler::Settle();
    ASSERT_FALSE(present->Done());
    EXPECT_TRUE(present->Cancel());
    ASSERT_TRUE(ccid_test::WaitUntil([&] { return present->Done(); }));
    EXPECT_EQ(present->Result().status, STATUS_CANCELLED);
  }
  bench.InsertCard("t1-ifsc32");
  bench.WaitInterruptIdle();
  EXPECT_EQ(reader->State(), ULONG{SCARD_PRESENT});
  // The cancel left the library's slot free: the next request waits in it.
  std::shared_ptr<hosted::UserRequest> absent = reader->WaitForCard(false);
  hosted::Scheduler::Settle();
  EXPECT_FALSE(absent->Done());
  bench.RemoveCard();
  ASSERT_TRUE(ccid_test::WaitUntil([&] { return absent->Done(); }));
  EXPECT_EQ(absent->Result().status, STATUS_SUCCESS);
}

// ---- stop and restart -----------------------------------------------------------------

TEST(ReaderLifecycle, RebalanceStopsWithTheCardPoweredDownAndStartsAgain) {
  ReaderBench bench;
  ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
  bench.InsertCard("t0");
  bench.WaitInterruptIdle();
  ASSERT_EQ(CardState(bench), ULONG{SCARD_PRESENT});

  bench.ClearMessages();
  std::vector<bool> interfaceAtStep;
  std::vector<LONG> ioCountAtStop;
  ASSERT_EQ(bench.Node().Rebalance(), STATUS_SUCCESS);
  bench.WaitInterruptIdle();

  EXPECT_EQ(CommandsOfType(bench, CCID_PC_TO_RDR_ICC_POWER_OFF), 1u) << "the present card is powered down";
  EXPECT_EQ(IdentificationsReceived(bench), 2u) << "every start identifies the driver";
  EXPECT_TRUE(InterruptRequestWaits(bench));
  EXPECT_TRUE(ReaderInterfaceEnabled(bench));
  EXPECT_EQ(OpenStatus(bench), STATUS_SUCCESS) << "started, no stop pending";
  EXPECT_EQ(CardState(bench), ULONG{SCARD_PRESENT}) << "the reader reports the card again after configuration";
}

TEST(ReaderLifecycle, StopWithoutACardSendsNoPowerDown) {
  ReaderBench bench;
  ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
  bench.ClearMessages();
  ASSERT_EQ(bench.Node().Send(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_NE(OpenStatus(bench), STATUS_SUCCESS) << "no handle while a stop is pending";
  ASSERT_EQ(bench.Node().Send(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_NE(OpenStatus(bench), STATUS_SUCCESS) << "no handle on a stopped reader";
  EXPECT_EQ(bench.Bus().PendingTransfers(), 0u) << "nothing outstanding after a stop";
  EXPECT_EQ(CommandsOfType(bench, CCID_PC_TO_RDR_ICC_POWER_OFF), 0u);
  EXPECT_FALSE(ReaderInterfaceEnabled(bench));
}

// A card that does not power down does not fail the stop (Windows requires a stop to
// succeed): the rest of the stop runs, the port reset ends the card's power, the request
// reaches the bus driver, and the next start works.
TEST(ReaderLifecycle, StopSucceedsWhenThePresentCardDoesNotPowerDown) {
  ReaderBench bench;
  ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
  bench.InsertCard("t0");
  bench.WaitInterruptIdle();
  bench.Reader().AddFault({sim::FaultKind::NoAnswer, 0, CCID_PC_TO_RDR_ICC_POWER_OFF});
  bench.Bus().ClearTransfers();
  ASSERT_EQ(bench.Node().Send(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(bench.Node().Send(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_FALSE(bench.Bus().Started()) << "the bus driver saw the stop";
  EXPECT_EQ(bench.Bus().PendingTransfers(), 0u) << "the rest of the stop ran: the interrupt request is back";
  std::size_t resets = 0;
  for (const TransferRecord& record : bench.Bus().Transfers()) {
    resets += record.ioControlCode == IOCTL_INTERNAL_USB_RESET_PORT ? 1 : 0;
  }
  EXPECT_EQ(resets, 1u) << "the port reset takes the card's power";
  EXPECT_EQ(bench.Node().Send(IRP_MN_START_DEVICE), STATUS_SUCCESS);
  bench.WaitInterruptIdle();
  EXPECT_EQ(OpenStatus(bench), STATUS_SUCCESS) << "started again, no stop pending";
}

// ---- query and cancel -------------------------------------------------------------------

TEST(ReaderLifecycle, QueriesSetTheirFlagsAndCancelsClearThem) {
  ReaderBench bench;
  ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);

  ASSERT_EQ(bench.Node().Send(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
  ASSERT_EQ(bench.Node().Send(IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(OpenStatus(bench), STATUS_SUCCESS) << "the cancel ended the pending removal";

  EXPECT_EQ(bench.Node().Rebalance(/*vetoAfterQuery=*/true), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(OpenStatus(bench), STATUS_SUCCESS) << "the cancel ended the pending stop";
  EXPECT_EQ(bench.Node().QueryRemoveVetoed(), STATUS_SUCCESS);
  EXPECT_EQ(OpenStatus(bench), STATUS_SUCCESS) << "the cancel ended the pending removal";
  EXPECT_TRUE(InterruptRequestWaits(bench));

  // Still a working reader.
  std::unique_ptr<scard::Reader> reader = OpenReader(bench);
  ASSERT_NE(reader, nullptr);
  std::shared_ptr<hosted::UserRequest> present = reader->WaitForCard(true);
  bench.InsertCard("t0");
  ASSERT_TRUE(ccid_test::WaitUntil([&] { return present->Done(); }));
  EXPECT_EQ(present->Result().status, STATUS_SUCCESS);
}

// ---- removal ------------------------------------------------------------------------------

TEST(ReaderLifecycle, SurpriseRemovalThenRemovalSendsNothingToTheGoneReader) {
  ReaderBench bench;
  ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
  bench.InsertCard("t0");
  bench.WaitInterruptIdle();

  bench.ClearMessages();
  bench.Node().ClearHistory();
  // The PnP manager learns of the unplug from the bus and runs both requests itself.
  bench.Reader().Unplug();
  ASSERT_TRUE(ccid_test::WaitUntil([&] { return bench.Node().State() == PnpState::Deleted; }));
  std::vector<std::string> steps;
  for (const hosted::PnpStep& step : bench.Node().History()) steps.push_back(step.Name());
  EXPECT_EQ(steps, (std::vector<std::string>{"IRP_MN_SURPRISE_REMOVAL", "IRP_MN_REMOVE_DEVICE"}));
  EXPECT_EQ(CommandsOfType(bench, CCID_PC_TO_RDR_ICC_POWER_OFF), 0u) << "no stop for a gone reader";
}

TEST(ReaderLifecycle, SurpriseRemovalStopsThePipeAndReportsNoCardUntilTheRemoval) {
  ReaderBench bench(ccid_test::BenchOptions{.profile = "tpdu-basic", .bus = {}, .reportUnplug = false});
  ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
  bench.InsertCard("t0");
  bench.WaitInterruptIdle();
  std::unique_ptr<scard::Reader> reader = OpenReader(bench);
  ASSERT_NE(reader, nullptr);
  bench.Reader().Unplug();

  ASSERT_EQ(bench.Node().Send(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
  EXPECT_EQ(reader->State(), ULONG{SCARD_ABSENT}) << "the application hears of no card";
  EXPECT_TRUE(ccid_test::WaitUntil([&] { return bench.Bus().PendingTransfers() == 0; }))
      << "the interrupt request is back";
  // The removal waits for every I/O reference: one the surprise removal lost would hold it
  // (a deadlock the bench names).
  EXPECT_EQ(reader->Close(), STATUS_SUCCESS);
  EXPECT_EQ(bench.Node().Send(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(bench.Node().FunctionDevice(), nullptr);
}

TEST(ReaderLifecycle, UnplugInTheMiddleOfAnExchangeEndsItAndLeavesNothingBehind) {
  ReaderBench bench;
  ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
  bench.Reader().AddFault({sim::FaultKind::UnplugOnCommand, 0, CCID_PC_TO_RDR_ESCAPE});
  std::unique_ptr<scard::Reader> reader = OpenReader(bench);
  ASSERT_NE(reader, nullptr);
  // The raw pass-through runs under the library's remove lock, so the removal that the
  // unplug starts waits for it before it frees the reader's state.
  const Bytes escape = sim::ccid::BuildMessage(CCID_PC_TO_RDR_ESCAPE, 0, 0, 0, 0, 0, Bytes{0x01});
  EXPECT_NE(reader->Control(IOCTL_CCID_TRANSFER, escape, 64).status, STATUS_SUCCESS);
  ASSERT_TRUE(ccid_test::WaitUntil([&] { return bench.Node().State() == PnpState::SurpriseRemoved; }));
  EXPECT_EQ(reader->Close(), STATUS_SUCCESS);
  ASSERT_TRUE(ccid_test::WaitUntil([&] { return bench.Node().State() == PnpState::Deleted; }));
}

}  // namespace

// End to end: the driver loaded in the hosted kernel, a simulated reader on the hosted USB
// stack, the PnP manager taking it through the orders Windows uses, the verifier on. Plug
// and start, card insertion and removal completing a waiting tracking request, stop and
// restart, the query and cancel paths, surprise removal, removal with a parked request,
// and every real reader of the data file. The test support checks after each test that no
// pool, IRP, device object or handle was left behind.

#include <gtest/gtest.h>

#include <kernel_test_support.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>

#include "CcidFrame.h"
#include "CcidUsb.h"
#include "driver_bench.h"
#include "reader/ccid_wire.h"

namespace {

using ccid_test::Bytes;
using ccid_test::LibraryRequest;
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

ULONG CardState(ReaderBench& bench) { return bench.Smartcard()->ReaderCapabilities.CurrentState; }

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
  EXPECT_TRUE(bench.Extension()->InterruptPipeRunning);
  EXPECT_GE(bench.Bus().PendingTransfers(), 1u) << "the interrupt request waits in the stack";
  EXPECT_TRUE(ReaderInterfaceEnabled(bench));
  EXPECT_EQ(CardState(bench), ULONG{SCARD_ABSENT});
  EXPECT_EQ(bench.Extension()->IoCount, 2) << "the base reference and the interrupt request";
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

  const auto& d = profile.class_descriptor;
  const SCARD_READER_CAPABILITIES& caps = bench.Smartcard()->ReaderCapabilities;
  if (row.capabilitiesFromDescriptor) {
    EXPECT_EQ(caps.CLKFrequency.Default, sim::ccid::Le32(d, 10));
    EXPECT_EQ(caps.CLKFrequency.Max, sim::ccid::Le32(d, 14));
    EXPECT_EQ(caps.DataRate.Default, sim::ccid::Le32(d, 19));
    EXPECT_EQ(caps.DataRate.Max, sim::ccid::Le32(d, 23));
    EXPECT_EQ(caps.MaxIFSD, profile.MaxIfsd());
    EXPECT_EQ(caps.MechProperties, sim::ccid::Le32(d, 36));
    EXPECT_EQ(bench.Extension()->CcidFeatures, profile.Features());
    const ULONG expectedProtocols =
        (profile.Protocols() & 1) != 0
            ? (SCARD_PROTOCOL_T0 | ((profile.Protocols() & 2) != 0 ? SCARD_PROTOCOL_T1 : 0))
            : SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
    EXPECT_EQ(caps.SupportedProtocols, expectedProtocols);
  } else {
    EXPECT_EQ(caps.CLKFrequency.Default, 4000u);
    EXPECT_EQ(caps.DataRate.Default, 10750u);
    EXPECT_EQ(caps.MaxIFSD, 253u);
    EXPECT_EQ(caps.SupportedProtocols, ULONG{SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1});
  }
  EXPECT_EQ(caps.ReaderType, ULONG{SCARD_READER_TYPE_USB});
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

  LibraryRequest present(bench.Fdo(), IOCTL_SMARTCARD_IS_PRESENT);
  EXPECT_EQ(present.Send(), STATUS_PENDING);
  EXPECT_FALSE(present.Completed());
  bench.InsertCard("t0");
  ASSERT_TRUE(present.Wait());
  EXPECT_EQ(present.Status(), STATUS_SUCCESS);
  EXPECT_EQ(present.Information(), 0u);
  EXPECT_EQ(CardState(bench), ULONG{SCARD_PRESENT});
  EXPECT_EQ(bench.Smartcard()->OsData->NotificationIrp, nullptr);

  LibraryRequest absent(bench.Fdo(), IOCTL_SMARTCARD_IS_ABSENT);
  EXPECT_EQ(absent.Send(), STATUS_PENDING);
  bench.RemoveCard();
  ASSERT_TRUE(absent.Wait());
  EXPECT_EQ(absent.Status(), STATUS_SUCCESS);
  EXPECT_EQ(CardState(bench), ULONG{SCARD_ABSENT});
  EXPECT_FALSE(bench.ReaderExtension()->CardPresent);
}

TEST(ReaderLifecycle, CancelledTrackingRequestEndsCancelledAndTheNextInsertionCompletesNothing) {
  ReaderBench bench;
  ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
  {
    LibraryRequest present(bench.Fdo(), IOCTL_SMARTCARD_IS_PRESENT);
    ASSERT_EQ(present.Send(), STATUS_PENDING);
    EXPECT_TRUE(present.Cancel());
    ASSERT_TRUE(present.Wait());
    EXPECT_EQ(present.Status(), STATUS_CANCELLED);
  }
  EXPECT_EQ(bench.Smartcard()->OsData->NotificationIrp, nullptr);
  bench.InsertCard("t1-ifsc32");
  bench.WaitInterruptIdle();
  EXPECT_EQ(CardState(bench), ULONG{SCARD_PRESENT});
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
  EXPECT_TRUE(bench.Extension()->Started);
  EXPECT_FALSE(bench.Extension()->StopPending);
  EXPECT_TRUE(bench.Extension()->InterruptPipeRunning);
  EXPECT_TRUE(ReaderInterfaceEnabled(bench));
  EXPECT_EQ(CardState(bench), ULONG{SCARD_PRESENT}) << "the reader reports the card again after configuration";
  EXPECT_EQ(bench.Extension()->IoCount, 2);
}

TEST(ReaderLifecycle, StopWithoutACardSendsNoPowerDown) {
  ReaderBench bench;
  ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
  bench.ClearMessages();
  ASSERT_EQ(bench.Node().Send(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_TRUE(bench.Extension()->StopPending);
  ASSERT_EQ(bench.Node().Send(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_FALSE(bench.Extension()->Started);
  EXPECT_FALSE(bench.Extension()->StopPending);
  EXPECT_FALSE(bench.Extension()->InterruptPipeRunning);
  EXPECT_EQ(bench.Extension()->IoCount, 1) << "nothing outstanding after a stop but the base reference";
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
  EXPECT_FALSE(bench.Extension()->Started);
  EXPECT_FALSE(bench.Extension()->StopPending);
  EXPECT_FALSE(bench.Extension()->InterruptPipeRunning) << "the rest of the stop ran";
  std::size_t resets = 0;
  for (const TransferRecord& record : bench.Bus().Transfers()) {
    resets += record.ioControlCode == IOCTL_INTERNAL_USB_RESET_PORT ? 1 : 0;
  }
  EXPECT_EQ(resets, 1u) << "the port reset takes the card's power";
  EXPECT_EQ(bench.Node().Send(IRP_MN_START_DEVICE), STATUS_SUCCESS);
  bench.WaitInterruptIdle();
}

// ---- query and cancel -------------------------------------------------------------------

TEST(ReaderLifecycle, QueriesSetTheirFlagsAndCancelsClearThem) {
  ReaderBench bench;
  ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
  PDEVICE_EXTENSION extension = bench.Extension();

  ASSERT_EQ(bench.Node().Send(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_TRUE(extension->RemovePending);
  ASSERT_EQ(bench.Node().Send(IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_FALSE(extension->RemovePending);

  EXPECT_EQ(bench.Node().Rebalance(/*vetoAfterQuery=*/true), STATUS_UNSUCCESSFUL);
  EXPECT_FALSE(extension->StopPending);
  EXPECT_TRUE(extension->Started);
  EXPECT_EQ(bench.Node().QueryRemoveVetoed(), STATUS_SUCCESS);
  EXPECT_FALSE(extension->RemovePending);
  EXPECT_TRUE(extension->InterruptPipeRunning);

  // Still a working reader.
  LibraryRequest present(bench.Fdo(), IOCTL_SMARTCARD_IS_PRESENT);
  ASSERT_EQ(present.Send(), STATUS_PENDING);
  bench.InsertCard("t0");
  ASSERT_TRUE(present.Wait());
  EXPECT_EQ(present.Status(), STATUS_SUCCESS);
}

TEST(ReaderLifecycle, QueriesOnAReaderNeverStartedArePassedDownAndChangeNoFlag) {
  ReaderBench bench;
  ASSERT_EQ(bench.Node().AddDevice(), STATUS_SUCCESS);
  PDEVICE_EXTENSION extension = bench.Extension();
  for (UCHAR minor : {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE}) {
    SCOPED_TRACE(hosted::PnpMinorName(minor));
    EXPECT_EQ(bench.Node().Send(minor), STATUS_SUCCESS);
    EXPECT_FALSE(extension->StopPending);
    EXPECT_FALSE(extension->RemovePending);
    EXPECT_FALSE(extension->Started);
  }
  EXPECT_EQ(bench.Node().Send(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
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
  bench.Reader().Unplug();

  ASSERT_EQ(bench.Node().Send(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
  EXPECT_TRUE(bench.Extension()->SurpriseRemoved);
  EXPECT_FALSE(bench.Extension()->InterruptPipeRunning);
  EXPECT_EQ(CardState(bench), ULONG{SCARD_ABSENT});
  // The completion routine drops the request's reference just after it lets the stop go on.
  EXPECT_TRUE(ccid_test::WaitUntil([&] { return InterlockedCompareExchange(&bench.Extension()->IoCount, 0, 0) == 1; }))
      << "the interrupt request's reference is back";
  EXPECT_EQ(bench.Node().Send(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(bench.Node().FunctionDevice(), nullptr);
}

TEST(ReaderLifecycle, RemovalCompletesAParkedTrackingRequestBeforeTheLibraryShutsDown) {
  for (bool unplug : {false, true}) {
    SCOPED_TRACE(unplug ? "unplug" : "disable");
    ReaderBench bench;
    ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
    LibraryRequest present(bench.Fdo(), IOCTL_SMARTCARD_IS_PRESENT);
    ASSERT_EQ(present.Send(), STATUS_PENDING);
    if (unplug) {
      bench.Reader().Unplug();
      ASSERT_TRUE(ccid_test::WaitUntil([&] { return bench.Node().State() == PnpState::Deleted; }));
    } else {
      ASSERT_EQ(bench.Node().Disable(), STATUS_SUCCESS);
    }
    ASSERT_TRUE(present.Wait());
    EXPECT_EQ(present.Status(), STATUS_SUCCESS) << "completed, not cancelled";
  }
}

TEST(ReaderLifecycle, UnplugInTheMiddleOfAnExchangeEndsItAndLeavesNothingBehind) {
  ReaderBench bench;
  ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
  bench.Reader().AddFault({sim::FaultKind::UnplugOnCommand, 0, CCID_PC_TO_RDR_ESCAPE});
  // The exchange runs as a device-control request would, under the library's remove lock,
  // so the removal that the unplug starts waits for it before it frees the reader's state.
  PSMARTCARD_EXTENSION smartcard = &bench.Extension()->SmartcardExtension;
  ASSERT_EQ(SmartcardAcquireRemoveLockWithTag(smartcard, CCID_REMOVE_LOCK_TAG), STATUS_SUCCESS);
  EXPECT_NE(CcidSendDriverIdentification(bench.Fdo()), STATUS_SUCCESS);
  SmartcardReleaseRemoveLockWithTag(smartcard, CCID_REMOVE_LOCK_TAG);
  ASSERT_TRUE(ccid_test::WaitUntil([&] { return bench.Node().State() == PnpState::Deleted; }));
}

}  // namespace

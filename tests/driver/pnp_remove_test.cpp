// Stop and removal edge cases on a simulated reader: the interrupt pipe aborted before the
// resources go, the wait-wake request cancelled once whether or not a query-remove came
// first, extra interfaces withdrawn and their names freed, a start that the lower drivers
// fail, the event ring kept across a stop; a lost release that holds the removal forever.

#include <gtest/gtest.h>

#include <kernel_test_support.h>

#include <functional>
#include <string>
#include <thread>

#include "CcidFrame.h"
#include "CcidGuards.h"
#include "CcidPnp.h"
#include "CcidUsb.h"
#include "driver_bench.h"
#include "reader/ccid_wire.h"

namespace {

using ccid_test::Bytes;
using ccid_test::ReaderBench;
using hosted::usb::TransferRecord;

// A wait-wake request the reader holds as outstanding: an IRP of the test with a cancel
// routine that counts its calls.
class WaitWakeStandIn {
 public:
  explicit WaitWakeStandIn(PDEVICE_EXTENSION extension) : extension_(extension) {
    irp_ = IoAllocateIrp(1, FALSE);
    (void)IoSetCancelRoutine(irp_, Cancel);
    extension->WaitWakeIrp = irp_;
    extension->WaitWakeIdle = FALSE;
    calls_ = 0;
  }
  ~WaitWakeStandIn() { IoFreeIrp(irp_); }
  static int Calls() { return calls_; }

 private:
  static VOID NTAPI Cancel(PDEVICE_OBJECT, PIRP irp) {
    ++calls_;
    IoReleaseCancelSpinLock(irp->CancelIrql);
  }

  PDEVICE_EXTENSION extension_;
  PIRP irp_ = nullptr;
  static inline int calls_ = 0;
};

TEST(PnpRemove, RemovalWithoutAQueryCancelsTheWaitWakeRequestAndAfterOneDoesNot) {
  for (bool query : {false, true}) {
    SCOPED_TRACE(query ? "query-remove first" : "removal alone");
    ReaderBench bench;
    ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
    WaitWakeStandIn waitWake(bench.Extension());
    if (query) {
      ASSERT_EQ(bench.Node().Send(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
      EXPECT_EQ(WaitWakeStandIn::Calls(), 1);
      EXPECT_EQ(bench.Extension()->WaitWakeIrp, nullptr);
    }
    ASSERT_EQ(bench.Node().Send(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(WaitWakeStandIn::Calls(), 1) << "cancelled exactly once";
  }
}

// The removal of a running reader stops its interrupt pipe before the ring and the reader
// block are freed, and powers a present card down first.
TEST(PnpRemove, RemovalOfARunningReaderAbortsThePipeAfterPoweringTheCardDown) {
  ReaderBench bench;
  ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
  bench.InsertCard("t0");
  bench.WaitInterruptIdle();
  bench.Bus().ClearTransfers();
  ASSERT_EQ(bench.Node().Send(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);

  std::vector<std::string> steps;
  for (const TransferRecord& record : bench.Bus().Transfers()) {
    if (record.type == hosted::usb::TransferType::Bulk && !record.in && !record.data.empty()) {
      steps.push_back("command-" + std::to_string(record.data[0]));
    } else if (record.urbFunction == URB_FUNCTION_ABORT_PIPE) {
      steps.push_back(record.endpoint == bench.Reader().InterruptInAddress() ? "abort-interrupt" : "abort-other");
    } else if (record.ioControlCode == IOCTL_INTERNAL_USB_RESET_PORT) {
      steps.push_back("reset-port");
    }
  }
  EXPECT_EQ(steps, (std::vector<std::string>{"command-" + std::to_string(CCID_PC_TO_RDR_ICC_POWER_OFF),
                                             "abort-interrupt", "reset-port"}));
  EXPECT_EQ(bench.Node().FunctionDevice(), nullptr);
}

// Extra interfaces are enabled at start with the reader interface, disabled at stop and
// withdrawn at removal; their names are freed (the test support reports leaked pool).
TEST(PnpRemove, ExtraInterfacesFollowTheReaderInterface) {
  ReaderBench bench;
  const std::string key = bench.Node().HardwareKeyPath() + "\\Key";
  hosted::Registry::SetString(key, "first", std::string_view("{00000001-1111-2222-3333-444455556666}"));
  hosted::Registry::SetString(key, "second", std::string_view("{00000002-1111-2222-3333-444455556666}"));
  auto enabled = [&] {
    std::vector<bool> states;
    for (const hosted::DeviceInterface& entry : hosted::Devices::Interfaces(bench.Bus().Pdo())) {
      states.push_back(entry.enabled);
    }
    return states;
  };
  ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
  EXPECT_EQ(bench.Extension()->ExtraInterfaceCount, 2u);
  EXPECT_EQ(enabled(), (std::vector<bool>{true, true, true}));
  ASSERT_EQ(bench.Node().Send(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  ASSERT_EQ(bench.Node().Send(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(enabled(), (std::vector<bool>{false, false, false}));
  ASSERT_EQ(bench.Node().Send(IRP_MN_START_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(enabled(), (std::vector<bool>{true, true, true}));
  ASSERT_EQ(bench.Node().Disable(), STATUS_SUCCESS);
  EXPECT_EQ(enabled(), (std::vector<bool>{false, false, false}));
}

// The ring keeps its messages across a stop and a start.
TEST(PnpRemove, EventRingSurvivesAStop) {
  ReaderBench bench;
  ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
  bench.Reader().InjectInterrupt({CCID_RDR_TO_PC_HARDWARE_ERROR, 0, 9, 1});
  bench.WaitInterruptIdle();
  const LONG written = bench.Extension()->EventFifoWrite;
  ASSERT_EQ(bench.Node().Rebalance(), STATUS_SUCCESS);
  bench.WaitInterruptIdle();
  EXPECT_EQ(bench.Extension()->EventFifoRead, 0);
  EXPECT_EQ(bench.Extension()->EventFifoWrite, written + 1) << "kept, plus the new start's slot change";
  const EVENT_FIFO_ENTRY& kept = bench.Extension()->EventFifo[written - 1];
  EXPECT_EQ(Bytes(kept.Data, kept.Data + kept.Length), (Bytes{CCID_RDR_TO_PC_HARDWARE_ERROR, 0, 9, 1}));
}

// A start whose configuration the reader refuses fails with that status and leaves the
// reader stopped; the PnP manager removes it and nothing is left.
TEST(PnpRemove, FailedConfigurationFailsTheStartAndTheRemovalCleansUp) {
  ReaderBench bench;
  sim::ControlFault stall;
  stall.request = 6;
  stall.value = 0x0200;
  stall.times = 0;
  bench.Reader().AddControlFault(stall);
  EXPECT_EQ(bench.Node().Plug(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(bench.Node().FunctionDevice(), nullptr);
}

// A stop after the reader vanished mid-session: the power-down cannot be sent, yet the
// stop succeeds and reaches the bus driver (Windows never lets a stop fail), and the
// removal that follows still releases everything.
TEST(PnpRemove, StopOfAVanishedReaderSucceedsAndTheRemovalStillCleansUp) {
  ccid_test::BenchOptions options;
  options.reportUnplug = false;
  ReaderBench bench(options);
  ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
  bench.InsertCard("t0");
  bench.WaitInterruptIdle();
  bench.Reader().Unplug();
  ASSERT_EQ(bench.Node().Send(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(bench.Node().Send(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_FALSE(bench.Extension()->Started);
  EXPECT_FALSE(bench.Extension()->InterruptPipeRunning);
  EXPECT_EQ(bench.Node().Send(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(bench.Node().FunctionDevice(), nullptr);
}

// An exchange still waiting for the reader when the stop comes (no card, so the stop sends
// no command of its own): the stop waits for the exchange to end before it resets the
// port, so the reset finds no transfer pending (the USB stack reports one that is).
TEST(PnpRemove, StopWaitsForTheExchangeInFlightBeforeResettingThePort) {
  ReaderBench bench;
  ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
  bench.Extension()->ExchangeTimeout = 60000;
  bench.Reader().AddFault({sim::FaultKind::NoAnswer, 0, CCID_PC_TO_RDR_ESCAPE});
  const std::size_t interruptRead = bench.Bus().PendingTransfers();
  NTSTATUS exchanged = STATUS_PENDING;
  hosted::KernelThread exchange("exchange", [&] { exchanged = CcidSendDriverIdentification(bench.Fdo()); });
  ASSERT_TRUE(bench.Bus().WaitForPendingTransfers(interruptRead + 1)) << "the response read is waiting";
  ASSERT_EQ(bench.Node().Send(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(bench.Node().Send(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  exchange.Join();
  EXPECT_EQ(exchanged, STATUS_TIMEOUT) << "the exchange ran to its own end";
  EXPECT_FALSE(bench.Extension()->Started);
}

// A driver fault that leaves the removal waiting forever fails the test at once, with the
// waits named: a lost I/O reference holds the removal, a remove lock kept across a
// surprise removal holds the removal in the PnP manager's worker.
struct LostReleaseRow {
  const char* name;
  std::function<void(ReaderBench&)> fault;
  std::function<void(ReaderBench&)> removal;
  const char* report;
};

TEST(PnpRemoveDeathTest, LostReleaseIsADeadlockNamingTheWaits) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const LostReleaseRow rows[] = {
      {"I/O reference never dropped", [](ReaderBench& bench) { CcidIncrementIoCount(bench.Fdo()); },
       [](ReaderBench& bench) { (void)bench.Node().Disable(); },
       "deadlock.*\"test thread\" waits in KeWaitForSingleObject on notification event 0x[0-9a-f]+, "
       "called from CcidHandleRemoveDevice.*\\(pnp/PnpHandlers.cpp:[0-9]+\\)"},
      {"remove lock kept at surprise removal",
       [](ReaderBench& bench) {
         ASSERT_EQ(SmartcardAcquireRemoveLockWithTag(bench.Smartcard(), CCID_REMOVE_LOCK_TAG), STATUS_SUCCESS);
       },
       [](ReaderBench& bench) {
         bench.Reader().Unplug();
         hosted::Scheduler::Settle();  // the USB thread has reported it: the worker runs
         (void)bench.Node().WaitIdle();
       },
       "deadlock.*\"test thread\" waits in KernelThread::Join on thread \"PnP manager worker\".*"
       "\"PnP manager worker\" waits in KeWaitForSingleObject on notification event 0x[0-9a-f]+, "
       "called from SmartcardReleaseRemoveLockAndWait"},
  };
  for (const LostReleaseRow& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_DEATH(
        {
          ReaderBench bench;
          ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
          row.fault(bench);
          row.removal(bench);
        },
        row.report);
  }
}

// ---- paths no application can reach ---------------------------------------------------
// Queries on a reader that never started reach the driver only from the PnP manager's own
// odd sequences, and a tracking request still parked at REMOVE only if no handle's cleanup
// ended it first: both are driven here through the driver's own entry points.

TEST(PnpRemove, QueriesOnAReaderNeverStartedArePassedDownAndChangeNoFlag) {
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

TEST(PnpRemove, RemovalCompletesAParkedTrackingRequestBeforeTheLibraryShutsDown) {
  for (bool unplug : {false, true}) {
    SCOPED_TRACE(unplug ? "unplug" : "disable");
    ReaderBench bench;
    ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
    ccid_test::LibraryRequest present(bench.Fdo(), IOCTL_SMARTCARD_IS_PRESENT);
    ASSERT_EQ(present.Send(), STATUS_PENDING);
    if (unplug) {
      bench.Reader().Unplug();
      ASSERT_TRUE(ccid_test::WaitUntil([&] { return bench.Node().State() == hosted::PnpState::Deleted; }));
    } else {
      ASSERT_EQ(bench.Node().Disable(), STATUS_SUCCESS);
    }
    ASSERT_TRUE(present.Wait());
    EXPECT_EQ(present.Status(), STATUS_SUCCESS) << "completed, not cancelled";
  }
}

}  // namespace

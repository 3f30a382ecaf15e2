// Sleep and wake end to end: the hosted power manager takes the system to S1..S5 and back
// through the reader's stack, and the driver follows: the card powered down, the interrupt
// pipe stopped and the reader closed before it leaves D0; the pipe restarted and the
// identification sent again from a work item after it returns; remote wake where the
// reader allows it. Judged by what the simulated reader and the bus recorded, and by
// applications' opens. The test support checks after each test that no pool block, IRP
// or I/O reference was left (a leaked reference would hold the removal forever).

#include <gtest/gtest.h>

#include <kernel_test_support.h>

#include <algorithm>
#include <functional>
#include <string>

#include "CcidWire.h"
#include "driver_bench.h"
#include "scard.h"

namespace {

using ccid_test::Bytes;
using ccid_test::ReaderBench;
using hosted::PowerHold;
using hosted::PowerManager;

const Bytes kSelectApp = {0x00, 0xA4, 0x04, 0x00, 0x08, 0xF0, 0x43, 0x43, 0x49, 0x44, 0x53, 0x49, 0x4D};
constexpr char kIdentification[] = "TALMOR_DRIVER_3004";

// A system transition, waited for until the power manager and the work items are idle.
NTSTATUS SetSystem(ReaderBench& bench, SYSTEM_POWER_STATE state) {
  const NTSTATUS status = PowerManager::SetSystemPower(bench.Pdo(), state);
  PowerManager::WaitIdle();
  hosted::DrainWorkQueue();
  return status;
}

std::size_t CommandsOfType(ReaderBench& bench, UCHAR type) {
  const std::vector<Bytes> commands = bench.Commands();
  return static_cast<std::size_t>(
      std::count_if(commands.begin(), commands.end(), [type](const Bytes& c) { return !c.empty() && c[0] == type; }));
}

std::size_t Identifications(ReaderBench& bench) {
  const auto escapes = bench.Reader().EscapesReceived();
  return static_cast<std::size_t>(std::count_if(escapes.begin(), escapes.end(), [](const Bytes& e) {
    return std::string(e.begin(), e.end()) == kIdentification;
  }));
}

std::size_t PipeAborts(ReaderBench& bench) {
  const auto records = bench.Bus().Transfers();
  return static_cast<std::size_t>(std::count_if(records.begin(), records.end(), [](const auto& r) {
    return r.urbFunction == URB_FUNCTION_ABORT_PIPE;
  }));
}

NTSTATUS OpenStatus(ReaderBench& bench) {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  auto reader = scard::Reader::Open(bench.Pdo(), &status);
  return status;
}

// Plugs the reader, with a card powered by an application's connect when asked.
void PlugWithCard(ReaderBench& bench, const char* card, bool powered) {
  ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
  if (card == nullptr) return;
  bench.InsertCard(card);
  ASSERT_TRUE(bench.WaitInterruptIdle());
  if (!powered) return;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  auto reader = scard::Reader::Open(bench.Pdo(), &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  ASSERT_EQ(reader->Connect(scard::Share::Exclusive, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1), STATUS_SUCCESS);
}

// ---- sleep and wake --------------------------------------------------------------

struct SleepRow {
  const char* reader;
  const char* card;  // nullptr: an empty slot
  bool powered;      // an application powered the card
  SYSTEM_POWER_STATE sleep;
  DEVICE_POWER_STATE device;  // what the bus is asked for
  std::size_t powerOffs;
  bool waitWake;  // armed at the query
};

TEST(Power, SleepQuiescesTheReaderAndWakeRestartsItFromAWorkItem) {
  const SleepRow rows[] = {
      {"tpdu-basic", "t0", true, PowerSystemSleeping3, PowerDeviceD3, 1, false},
      {"tpdu-basic", "t0", false, PowerSystemSleeping1, PowerDeviceD3, 1, false},  // present, unpowered
      {"tpdu-basic", nullptr, false, PowerSystemHibernate, PowerDeviceD3, 0, false},
      {"wakeup", "t1-ifsc32", true, PowerSystemSleeping3, PowerDeviceD2, 1, true},
  };
  for (const SleepRow& row : rows) {
    SCOPED_TRACE(std::string(row.reader) + (row.card ? std::string(" / ") + row.card : " / empty") + " / S" +
                 std::to_string(row.sleep - 1));
    ReaderBench bench(row.reader);
    PlugWithCard(bench, row.card, row.powered);
    bench.ClearMessages();
    bench.Bus().ClearTransfers();
    const std::size_t identifications = Identifications(bench);

    ASSERT_EQ(SetSystem(bench, row.sleep), STATUS_SUCCESS);
    EXPECT_EQ(CommandsOfType(bench, CCID_PC_TO_RDR_ICC_POWER_OFF), row.powerOffs);
    EXPECT_EQ(PipeAborts(bench), 1u) << "the interrupt pipe is stopped";
    EXPECT_EQ(bench.Bus().PendingTransfers(), 0u);
    EXPECT_EQ(bench.Bus().DevicePowerState(), row.device);
    EXPECT_EQ(bench.Bus().WaitWakePending(), row.waitWake) << "an accepted wait-wake waits at the bus";
    EXPECT_EQ(OpenStatus(bench), STATUS_DELETE_PENDING);

    bench.Bus().ClearTransfers();
    ASSERT_EQ(SetSystem(bench, PowerSystemWorking), STATUS_SUCCESS);
    ASSERT_TRUE(bench.WaitInterruptIdle());
    EXPECT_EQ(bench.Bus().DevicePowerState(), PowerDeviceD0);
    EXPECT_FALSE(bench.Bus().WaitWakePending()) << "cancelled on the return to S0";
    EXPECT_FALSE(bench.Reader().RemoteWakeupEnabled());
    EXPECT_EQ(Identifications(bench), identifications + 1);
    // The work item restarts the interrupt pipe before it sends the identification.
    const auto records = bench.Bus().Transfers();
    auto interrupt = std::find_if(records.begin(), records.end(), [](const auto& r) {
      return r.type == hosted::usb::TransferType::Interrupt;
    });
    auto escape = std::find_if(records.begin(), records.end(), [](const auto& r) {
      return r.type == hosted::usb::TransferType::Bulk && !r.in;
    });
    ASSERT_TRUE(interrupt != records.end() && escape != records.end());
    EXPECT_LT(interrupt->submitOrder, escape->submitOrder);

    // Open again, and the card the reader reported after its resume is there to use.
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    auto reader = scard::Reader::Open(bench.Pdo(), &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    if (row.card != nullptr) {
      EXPECT_EQ(reader->State(), ULONG{SCARD_PRESENT});
      ASSERT_EQ(reader->Connect(scard::Share::Exclusive, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1), STATUS_SUCCESS);
      EXPECT_EQ(reader->Transmit(kSelectApp).status, STATUS_SUCCESS);
    } else {
      EXPECT_EQ(reader->State(), ULONG{SCARD_ABSENT});
    }
  }
}

// ---- remote wake ------------------------------------------------------------------

// A reader whose configuration allows remote wake-up (the bus: wake from S3 in D2). A
// wait-wake asked for at the query of a state the reader cannot wake the system from is
// refused by the driver itself; the state is idle again for the next sleep.
TEST(Power, RemoteWakeIsArmedWhereTheReaderCanWakeTheSystem) {
  ReaderBench bench("wakeup");
  ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);

  ASSERT_EQ(SetSystem(bench, PowerSystemHibernate), STATUS_SUCCESS);
  EXPECT_FALSE(bench.Bus().WaitWakePending()) << "S4 is deeper than the reader's SystemWake (S3)";
  EXPECT_EQ(bench.Bus().DevicePowerState(), PowerDeviceD3);
  EXPECT_FALSE(bench.Reader().RemoteWakeupEnabled());
  ASSERT_EQ(SetSystem(bench, PowerSystemWorking), STATUS_SUCCESS);

  // A card inserted while asleep signals wake: the wait-wake completes at the bus.
  ASSERT_EQ(SetSystem(bench, PowerSystemSleeping3), STATUS_SUCCESS);
  ASSERT_TRUE(bench.Bus().WaitWakePending());
  EXPECT_TRUE(bench.Reader().RemoteWakeupEnabled());
  bench.InsertCard("t0");
  ASSERT_TRUE(ccid_test::WaitUntil([&] { return !bench.Bus().WaitWakePending(); }));
  PowerManager::WaitIdle();
  ASSERT_EQ(SetSystem(bench, PowerSystemWorking), STATUS_SUCCESS);
  ASSERT_TRUE(bench.WaitInterruptIdle());
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  auto reader = scard::Reader::Open(bench.Pdo(), &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(reader->State(), ULONG{SCARD_PRESENT}) << "the card inserted during sleep";
}

// ---- outstanding I/O ---------------------------------------------------------------

// A transmit in flight when the system goes to sleep ends first, with the card's answer;
// the power-off follows it on the wire and the device request waits for it.
TEST(Power, SleepWaitsForATransmitInFlight) {
  ReaderBench bench("tpdu-basic");
  ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
  bench.InsertCard("t0");
  ASSERT_TRUE(bench.WaitInterruptIdle());
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  auto reader = scard::Reader::Open(bench.Pdo(), &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  ASSERT_EQ(reader->Connect(scard::Share::Exclusive, SCARD_PROTOCOL_T0), STATUS_SUCCESS);
  bench.ClearMessages();

  const std::uint8_t bulkIn = bench.Reader().BulkInAddress();
  bench.Bus().HoldEndpoint(bulkIn, true);
  scard::Response response;
  hosted::KernelThread application("application", [&] { response = reader->Transmit(kSelectApp); });
  ASSERT_TRUE(ccid_test::WaitUntil([&] { return CommandsOfType(bench, CCID_PC_TO_RDR_XFR_BLOCK) == 1; }));
  NTSTATUS sleep = STATUS_PENDING;
  hosted::KernelThread system("system", [&] { sleep = PowerManager::SetSystemPower(bench.Pdo(), PowerSystemSleeping3); });
  hosted::Scheduler::Settle();
  EXPECT_EQ(CommandsOfType(bench, CCID_PC_TO_RDR_ICC_POWER_OFF), 0u);
  EXPECT_EQ(bench.Bus().DevicePowerState(), PowerDeviceD0) << "the device request waits";

  bench.Bus().HoldEndpoint(bulkIn, false);
  application.Join();
  system.Join();
  EXPECT_EQ(response.status, STATUS_SUCCESS);
  EXPECT_EQ(sleep, STATUS_SUCCESS);
  const auto messages = bench.Messages();
  auto answer = std::find_if(messages.begin(), messages.end(), [](const auto& m) {
    return m.in && m.type == hosted::usb::TransferType::Bulk && !m.data.empty() && m.data[0] == CCID_RDR_TO_PC_DATA_BLOCK;
  });
  auto powerOff = std::find_if(messages.begin(), messages.end(), [](const auto& m) {
    return !m.in && !m.data.empty() && m.data[0] == CCID_PC_TO_RDR_ICC_POWER_OFF;
  });
  ASSERT_TRUE(answer != messages.end() && powerOff != messages.end());
  EXPECT_LT(answer - messages.begin(), powerOff - messages.begin());
  EXPECT_EQ(SetSystem(bench, PowerSystemWorking), STATUS_SUCCESS);
}

// ---- choices where a request cannot be made or was not made for a system IRP ---------

// The device request a system IRP needs cannot be made: the system IRP goes down all the
// same and gives back its reference; the reader stays as it was, open to requests.
TEST(Power, ARefusedDeviceRequestSendsTheHeldSystemIrpOn) {
  ReaderBench bench("tpdu-basic");
  PlugWithCard(bench, "t0", true);
  bench.ClearMessages();
  hosted::AllocationFailures::FailRoutine("PoRequestPowerIrp");
  EXPECT_EQ(SetSystem(bench, PowerSystemSleeping3), STATUS_SUCCESS);
  hosted::AllocationFailures::Clear();
  EXPECT_EQ(bench.Bus().DevicePowerState(), PowerDeviceD0);
  EXPECT_EQ(CommandsOfType(bench, CCID_PC_TO_RDR_ICC_POWER_OFF), 0u);
  EXPECT_EQ(OpenStatus(bench), STATUS_SUCCESS);
  EXPECT_EQ(SetSystem(bench, PowerSystemWorking), STATUS_SUCCESS);
}

VOID NTAPI NoteDeviceRequest(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK io) {
  *static_cast<NTSTATUS*>(context) = io->Status;
}

// A device power-down that no system IRP of the driver asked for (another power policy's
// request) gives back only its own reference: the count never reaches zero early, so the
// removal still waits for the wait-wake armed afterwards until it has come back.
TEST(Power, ADevicePowerDownOfNoSystemIrpKeepsTheCount) {
  ReaderBench bench("wakeup");
  ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
  for (DEVICE_POWER_STATE state : {PowerDeviceD3, PowerDeviceD0}) {
    NTSTATUS status = STATUS_PENDING;
    POWER_STATE power;
    power.DeviceState = state;
    ASSERT_EQ(PoRequestPowerIrp(bench.Pdo(), IRP_MN_SET_POWER, power, NoteDeviceRequest, &status, NULL),
              STATUS_PENDING);
    PowerManager::WaitIdle();
    hosted::DrainWorkQueue();
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(bench.Bus().DevicePowerState(), state);
  }
  ASSERT_TRUE(bench.WaitInterruptIdle());
  ASSERT_EQ(SetSystem(bench, PowerSystemSleeping3), STATUS_SUCCESS);
  ASSERT_TRUE(bench.Bus().WaitWakePending());
  ASSERT_EQ(bench.Node().Disable(), STATUS_SUCCESS);  // cancels the wait-wake and waits for it
  EXPECT_FALSE(bench.Bus().WaitWakePending());
  PowerManager::WaitIdle();  // the power manager frees the wait-wake IRP after its completion function
}

// ---- removal against sleep and wake ------------------------------------------------

// Removal (surprise or not) meets a sleep or a wake at each point where one can overtake
// the other: nothing reaches the reader after its removal began, nothing of the freed
// reader state is touched (the pool's poison and the verifier would show it), and every
// reference comes back (or the removal would never end).
enum class Removal { Unplug, Disable };

struct RaceRow {
  const char* name;
  SYSTEM_POWER_STATE first;  // the transition held at the point
  std::function<void(bool hold)> point;
  Removal removal;
};

TEST(Power, RemovalOvertakingSleepOrWakeLeavesTheReaderStateAlone) {
  const RaceRow rows[] = {
      {"sleep: device request held before it is sent, unplug", PowerSystemSleeping3,
       [](bool hold) { PowerManager::Hold(PowerHold::Send, hold); }, Removal::Unplug},
      {"wake: D0 request held before it is sent, unplug", PowerSystemWorking,
       [](bool hold) { PowerManager::Hold(PowerHold::Send, hold); }, Removal::Unplug},
      {"wake: power-up work item held, unplug", PowerSystemWorking,
       [](bool hold) { hosted::HoldWorkItems(hold); }, Removal::Unplug},
      {"wake: power-up work item held, disable", PowerSystemWorking,
       [](bool hold) { hosted::HoldWorkItems(hold); }, Removal::Disable},
      {"wake: device request's completion held, disable", PowerSystemWorking,
       [](bool hold) { PowerManager::Hold(PowerHold::Callback, hold); }, Removal::Disable},
  };
  for (const RaceRow& row : rows) {
    SCOPED_TRACE(row.name);
    ReaderBench bench("tpdu-basic");
    PlugWithCard(bench, "t0", true);
    if (row.first == PowerSystemWorking) {
      ASSERT_EQ(SetSystem(bench, PowerSystemSleeping3), STATUS_SUCCESS);
    }
    row.point(true);
    NTSTATUS transition = STATUS_PENDING;
    hosted::KernelThread system("system", [&] { transition = PowerManager::SetSystemPower(bench.Pdo(), row.first); });
    ASSERT_TRUE(ccid_test::WaitUntil([&] {
      return PowerManager::Held(PowerHold::Send) + PowerManager::Held(PowerHold::Callback) +
                 hosted::HeldWorkItems() != 0;
    }));
    if (hosted::HeldWorkItems() == 0) hosted::DrainWorkQueue();  // a power-up that ran before the removal
    const std::size_t identifications = Identifications(bench);
    NTSTATUS disabled = STATUS_PENDING;
    std::unique_ptr<hosted::KernelThread> removal;
    if (row.removal == Removal::Unplug) {
      bench.Reader().Unplug();
    } else {
      removal = std::make_unique<hosted::KernelThread>("PnP", [&] { disabled = bench.Node().Disable(); });
    }
    hosted::Scheduler::Settle();
    row.point(false);
    system.Join();
    if (removal) removal->Join();
    ASSERT_TRUE(ccid_test::WaitUntil([&] { return bench.Fdo() == nullptr; })) << "the removal ended";
    PowerManager::WaitIdle();
    EXPECT_EQ(transition, STATUS_SUCCESS);
    if (row.removal == Removal::Disable) {
      EXPECT_EQ(disabled, STATUS_SUCCESS);
    }
    EXPECT_EQ(Identifications(bench), identifications) << "no identification once the removal began";
  }
}

}  // namespace

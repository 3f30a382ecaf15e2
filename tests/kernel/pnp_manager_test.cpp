// The PnP manager: the orders of PnP IRPs for plug, disable, rebalance and unplug, the IRPs
// as it builds them, removal waiting for handles, and what the verifier checks around
// AddDevice and removal.
#include <string>
#include <thread>

#include "pnp_test_drivers.h"

using namespace pnptest;
using hosted::PnpDevice;
using hosted::PnpState;

namespace {

const GUID kReaderClass = {0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};

// A bus with its PDO, a function driver and the node that joins them.
struct Plugged {
  FakeBus bus;
  FakeFunction function;
  PnpDevice node;
  explicit Plugged(bool deletable = true)
      : node(bus.Pdo(), function.Driver(), Options(deletable)) {}
  hosted::PnpDeviceOptions Options(bool deletable) {
    hosted::PnpDeviceOptions options;
    if (deletable) options.deletePdo = [this] { return bus.DeletePdo(); };
    return options;
  }
};

std::string Names(const std::vector<UCHAR>& minors) {
  std::string text;
  for (UCHAR minor : minors) text += hosted::PnpMinorName(minor) + " ";
  return text;
}

TEST(PnpManager, PlugCallsAddDeviceThenStartsAndQueriesCapabilitiesWithIrpsAsWindowsBuildsThem) {
  Plugged p;
  ASSERT_EQ(p.node.Plug(), STATUS_SUCCESS);
  EXPECT_EQ(p.node.State(), PnpState::Started);
  EXPECT_EQ(p.node.FunctionDevice(), p.function.fdo);
  EXPECT_EQ(p.node.TopOfStack(), p.function.fdo);

  // The first start is followed by a query of the device's PnP state, which a bus driver
  // that has nothing to say completes with the status it came with.
  const std::vector<UCHAR> expected = {IRP_MN_FILTER_RESOURCE_REQUIREMENTS, IRP_MN_START_DEVICE,
                                       IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_PNP_DEVICE_STATE};
  EXPECT_EQ(Names(PnpMinors(p.function.arrivals)), Names(expected));
  EXPECT_EQ(Names(PnpMinors(p.bus.arrivals)), Names(expected));  // passed down to the PDO
  for (const Arrival& arrival : p.function.arrivals) {
    SCOPED_TRACE(hosted::PnpMinorName(arrival.minor));
    EXPECT_EQ(arrival.statusOnArrival, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(arrival.informationOnArrival, 0u);
    EXPECT_EQ(arrival.stackCount, p.function.fdo->StackSize);
  }
  const DEVICE_CAPABILITIES& asked = p.function.arrivals[2].capabilities;
  EXPECT_EQ(asked.Size, sizeof(DEVICE_CAPABILITIES));
  EXPECT_EQ(asked.Version, 1);
  EXPECT_EQ(asked.Address, 0xFFFFFFFFu);
  EXPECT_EQ(asked.UINumber, 0xFFFFFFFFu);
  const DEVICE_CAPABILITIES answer = p.node.Capabilities();
  EXPECT_TRUE(answer.SurpriseRemovalOK);  // the function driver's word
  EXPECT_EQ(answer.Address, FakeBus::kPort);  // the bus's

  const auto history = p.node.History();
  ASSERT_EQ(history.size(), 5u);
  EXPECT_EQ(history[0].Name(), "AddDevice");
  EXPECT_EQ(history[2].Name(), "IRP_MN_START_DEVICE");
  EXPECT_EQ(p.node.Plug(), STATUS_INVALID_DEVICE_STATE);  // already there: nothing sent
  EXPECT_EQ(p.node.History().size(), 5u);
}

TEST(PnpManager, SequencesSendTheirIrpsInTheOrderWindowsUses) {
  constexpr NTSTATUS kVeto = static_cast<NTSTATUS>(0xC0000001);
  struct Row {
    const char* name;
    std::map<UCHAR, NTSTATUS> failMinor;
    std::function<NTSTATUS(PnpDevice&)> action;
    std::vector<UCHAR> minors;  // after the plug
    NTSTATUS result;
    PnpState state;
  };
  const Row rows[] = {
      {"disable", {}, [](PnpDevice& n) { return n.Disable(); },
       {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}, STATUS_SUCCESS, PnpState::NotAdded},
      {"disable vetoed by the driver", {{IRP_MN_QUERY_REMOVE_DEVICE, kVeto}}, [](PnpDevice& n) { return n.Disable(); },
       {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}, kVeto, PnpState::Started},
      {"query-remove vetoed elsewhere", {}, [](PnpDevice& n) { return n.QueryRemoveVetoed(); },
       {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}, STATUS_SUCCESS, PnpState::Started},
      {"rebalance", {}, [](PnpDevice& n) { return n.Rebalance(); },
       {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_FILTER_RESOURCE_REQUIREMENTS, IRP_MN_START_DEVICE,
        IRP_MN_QUERY_CAPABILITIES},
       STATUS_SUCCESS, PnpState::Started},
      {"rebalance vetoed by the driver", {{IRP_MN_QUERY_STOP_DEVICE, kVeto}}, [](PnpDevice& n) { return n.Rebalance(); },
       {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE}, kVeto, PnpState::Started},
      {"rebalance vetoed elsewhere", {}, [](PnpDevice& n) { return n.Rebalance(true); },
       {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE}, STATUS_UNSUCCESSFUL, PnpState::Started},
      {"stop refused by the driver", {{IRP_MN_STOP_DEVICE, kVeto}}, [](PnpDevice& n) { return n.Rebalance(); },
       {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_FILTER_RESOURCE_REQUIREMENTS, IRP_MN_START_DEVICE,
        IRP_MN_QUERY_CAPABILITIES},
       kVeto, PnpState::Started},
      {"unplug", {}, [](PnpDevice& n) { return n.ReportMissing(); },
       {IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}, STATUS_SUCCESS, PnpState::Deleted},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Plugged p;
    ASSERT_EQ(p.node.Plug(), STATUS_SUCCESS);
    p.function.arrivals.clear();
    p.function.failMinor = row.failMinor;
    {
      // Windows does not let a stop fail: the driver should have refused the query.
      const std::size_t stopFailures = row.failMinor.count(IRP_MN_STOP_DEVICE);
      hosted::test::ExpectViolation stopFailed(hosted::Check::StopDeviceFailed, "", stopFailures);
      EXPECT_EQ(row.action(p.node), row.result);
      EXPECT_EQ(stopFailed.Count(), stopFailures);
    }
    EXPECT_EQ(Names(PnpMinors(p.function.arrivals)), Names(row.minors));
    EXPECT_EQ(p.node.State(), row.state);
    if (row.state == PnpState::Deleted) {
      EXPECT_EQ(p.bus.Pdo(), nullptr);
      EXPECT_EQ(p.node.Pdo(), nullptr);
    }
    p.function.failMinor.clear();
  }
}

TEST(PnpManager, FailedStartIsFollowedByRemoveAndTheDeviceCanBeEnabledAgain) {
  Plugged p;
  p.function.failMinor[IRP_MN_START_DEVICE] = STATUS_DEVICE_NOT_CONNECTED;
  EXPECT_EQ(p.node.Plug(), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(Names(PnpMinors(p.function.arrivals)), Names({IRP_MN_FILTER_RESOURCE_REQUIREMENTS, IRP_MN_START_DEVICE, IRP_MN_REMOVE_DEVICE}));
  EXPECT_EQ(p.node.State(), PnpState::NotAdded);
  EXPECT_EQ(p.node.FunctionDevice(), nullptr);
  EXPECT_NE(p.bus.Pdo(), nullptr);  // not missing: the PDO stays

  p.function.failMinor.clear();
  EXPECT_EQ(p.node.Enable(), STATUS_SUCCESS);
  EXPECT_EQ(p.node.State(), PnpState::Started);
}

TEST(PnpManager, FailedAddDeviceSendsNoIrp) {
  Plugged p;
  p.function.addStatus = STATUS_INSUFFICIENT_RESOURCES;
  EXPECT_EQ(p.node.Plug(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(p.function.arrivals.empty());
  EXPECT_EQ(p.node.State(), PnpState::NotAdded);
}

TEST(PnpManager, IrpsTheDriverPendsAreWaitedFor) {
  Plugged p;
  p.function.pendMinor = {IRP_MN_START_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE};
  EXPECT_EQ(p.node.Plug(), STATUS_SUCCESS);
  EXPECT_EQ(p.node.Disable(), STATUS_SUCCESS);
  EXPECT_EQ(p.node.State(), PnpState::NotAdded);
}

TEST(PnpManager, UnplugWithAHandleOpenWaitsForItsCloseBeforeRemove) {
  Plugged p;
  ASSERT_EQ(p.node.Plug(), STATUS_SUCCESS);
  NTSTATUS status;
  auto handle = hosted::UserFile::OpenDevice(p.bus.Pdo(), &status);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(p.node.OpenHandles(), 1u);
  EXPECT_EQ(p.node.Disable(), STATUS_DEVICE_BUSY);  // applications asked first: one keeps its handle
  p.function.arrivals.clear();

  EXPECT_EQ(p.node.ReportMissing(), STATUS_SUCCESS);
  EXPECT_EQ(Names(PnpMinors(p.function.arrivals)), Names({IRP_MN_SURPRISE_REMOVAL}));
  EXPECT_TRUE(p.node.RemovalWaitsForHandles());
  EXPECT_EQ(hosted::UserFile::OpenDevice(p.bus.Pdo(), &status), nullptr);
  EXPECT_EQ(status, STATUS_NO_SUCH_DEVICE);

  EXPECT_EQ(handle->Close(), STATUS_SUCCESS);
  EXPECT_EQ(Names(PnpMinors(p.function.arrivals)), Names({IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
  EXPECT_EQ(p.node.State(), PnpState::Deleted);
  EXPECT_EQ(p.bus.Pdo(), nullptr);
}

TEST(PnpManager, OpensAreRefusedBeforeStartAndWhileARemovalIsPending) {
  Plugged p;
  NTSTATUS status;
  ASSERT_EQ(p.node.AddDevice(), STATUS_SUCCESS);
  EXPECT_EQ(hosted::UserFile::OpenDevice(p.bus.Pdo(), &status), nullptr);
  EXPECT_EQ(status, STATUS_NO_SUCH_DEVICE);
  ASSERT_EQ(p.node.Send(IRP_MN_START_DEVICE), STATUS_SUCCESS);
  ASSERT_EQ(p.node.Send(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(hosted::UserFile::OpenDevice(p.bus.Pdo(), &status), nullptr);
  EXPECT_EQ(status, STATUS_DELETE_PENDING);
  ASSERT_EQ(p.node.Send(IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(p.node.State(), PnpState::Started);
  EXPECT_NE(hosted::UserFile::OpenDevice(p.bus.Pdo(), &status), nullptr);
}

TEST(PnpManager, MissingReportFromAnotherThreadRunsOnThePnpThread) {
  Plugged p;
  ASSERT_EQ(p.node.Plug(), STATUS_SUCCESS);
  std::function<void()> report = p.node.UnplugReporter();
  std::thread([&report] { report(); }).join();
  ASSERT_TRUE(p.node.WaitIdle());
  EXPECT_EQ(p.node.State(), PnpState::Deleted);
  EXPECT_EQ(Names(PnpMinors(p.function.arrivals)),
            Names({IRP_MN_FILTER_RESOURCE_REQUIREMENTS, IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES,
                   IRP_MN_QUERY_PNP_DEVICE_STATE, IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
}

TEST(PnpManager, DeviceNeverStartedIsRemovedWithoutSurpriseRemoval) {
  Plugged p;
  ASSERT_EQ(p.node.AddDevice(), STATUS_SUCCESS);
  EXPECT_EQ(p.node.ReportMissing(), STATUS_SUCCESS);
  EXPECT_EQ(Names(PnpMinors(p.function.arrivals)), Names({IRP_MN_REMOVE_DEVICE}));
  EXPECT_EQ(p.node.State(), PnpState::Deleted);
}

TEST(PnpManager, VerifierCatchesAnInitializingDeviceAndADeviceLeftAttachedAtRemoval) {
  Plugged p;
  p.function.leaveInitializing = true;
  {
    hosted::test::ExpectViolation initializing(hosted::Check::InvalidParameter, "DO_DEVICE_INITIALIZING");
    ASSERT_EQ(p.node.AddDevice(), STATUS_SUCCESS);
  }
  p.function.fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  ASSERT_EQ(p.node.Send(IRP_MN_START_DEVICE), STATUS_SUCCESS);
  p.function.stayAttachedAtRemove = true;
  {
    hosted::test::ExpectViolation attached(hosted::Check::DeviceObjectLeak, "still attached");
    EXPECT_EQ(p.node.Disable(), STATUS_SUCCESS);
  }
  IoDetachDevice(p.function.lower);
  IoDeleteDevice(p.function.fdo);
}

TEST(PnpManager, InterfacesTheDriverLeftEnabledAreDisabledAtRemovalAndForgottenWithThePdo) {
  Plugged p;
  p.function.interfaceClass = &kReaderClass;
  p.function.disableInterfaceAtRemove = false;
  ASSERT_EQ(p.node.Plug(), STATUS_SUCCESS);
  PDEVICE_OBJECT pdo = p.bus.Pdo();
  ASSERT_EQ(hosted::Devices::Interfaces(pdo).size(), 1u);
  EXPECT_TRUE(hosted::Devices::Interfaces(pdo)[0].enabled);
  ASSERT_EQ(p.node.Disable(), STATUS_SUCCESS);
  ASSERT_EQ(hosted::Devices::Interfaces(pdo).size(), 1u);
  EXPECT_FALSE(hosted::Devices::Interfaces(pdo)[0].enabled);
  EXPECT_EQ(p.node.ReportMissing(), STATUS_SUCCESS);  // removed already: only the PDO goes
  EXPECT_EQ(p.node.State(), PnpState::Deleted);
  EXPECT_TRUE(hosted::Devices::Interfaces(pdo).empty());
}

TEST(PnpManager, OwnIrpsAreInvisibleToFailureInjection) {
  Plugged p;
  hosted::AllocationFailures::FailRoutine("IoAllocateIrp");
  EXPECT_EQ(p.node.Plug(), STATUS_SUCCESS);
  EXPECT_EQ(p.node.Disable(), STATUS_SUCCESS);
  EXPECT_EQ(hosted::AllocationFailures::Injected(), 0u);
  EXPECT_EQ(p.function.arrivals.size(), 6u);
}

TEST(PnpManager, DeviceCreationAndAttachFailuresReachAddDevice) {
  const struct {
    const char* routine;
    NTSTATUS expected;
  } rows[] = {{"IoCreateDevice", STATUS_INSUFFICIENT_RESOURCES}, {"IoAttachDeviceToDeviceStack", STATUS_NO_SUCH_DEVICE}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.routine);
    Plugged p;
    hosted::AllocationFailures::FailRoutine(row.routine);
    EXPECT_EQ(p.node.Plug(), row.expected);
    EXPECT_EQ(hosted::AllocationFailures::Injected(), 1u);
    EXPECT_EQ(p.bus.Pdo()->AttachedDevice, nullptr);
    hosted::AllocationFailures::Clear();
  }
}

TEST(PnpManager, HardwareKeyIsThePdosOwnAndReachesTheDriver) {
  FakeBus first;
  FakeBus second;
  FakeFunction function;
  PnpDevice a(first.Pdo(), function.Driver());
  PnpDevice b(second.Pdo(), function.Driver());
  ASSERT_NE(a.HardwareKeyPath(), b.HardwareKeyPath());
  hosted::Registry::SetString(a.HardwareKeyPath(), "VendorName", std::u16string(u"ACME"));
  hosted::Registry::SetString(a.HardwareKeyPath() + "\\Key", "1", std::u16string(u"{00000000-0000-0000-0000-000000000001}"));

  for (const auto& [pdo, expectValue] : {std::pair{first.Pdo(), true}, std::pair{second.Pdo(), false}}) {
    SCOPED_TRACE(expectValue ? "first" : "second");
    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"VendorName");
    UCHAR buffer[128];
    ULONG length = 0;
    const NTSTATUS status =
        ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof buffer, &length);
    EXPECT_EQ(NT_SUCCESS(status), expectValue);
    if (expectValue) {
      auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
      EXPECT_EQ(info->Type, static_cast<ULONG>(REG_SZ));
      EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(info->Data)), u"ACME");
    }
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
  }
}

}  // namespace

// The PDO as a bus driver answers for its child: capabilities, Plug and Play state
// requests, set-power, wait-wake, and the end of an unplugged device's PDO.
#include <gtest/gtest.h>

#include <cstring>

#include "fake_device.h"
#include "hosted/kernel/hosted.h"
#include "hosted/usb/usb_bus.h"
#include "kernel_test_support.h"
#include "urb_host.h"

namespace usb_test {
namespace {

using hosted::usb::BusDevice;
using hosted::usb::BusDeviceOptions;
using hosted::usb::PdoCapabilities;

UrbResult SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, std::function<void(PIO_STACK_LOCATION)> prepare = {}) {
  Submission s(pdo, IRP_MJ_PNP, minor, std::move(prepare));
  s.Send();
  return s.Wait();
}

UrbResult SetDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state) {
  Submission s(pdo, IRP_MJ_POWER, IRP_MN_SET_POWER, [state](PIO_STACK_LOCATION l) {
    l->Parameters.Power.Type = DevicePowerState;
    l->Parameters.Power.State.DeviceState = state;
  });
  s.Send();
  return s.Wait();
}

std::unique_ptr<Submission> WaitWake(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state) {
  auto s = std::make_unique<Submission>(pdo, IRP_MJ_POWER, IRP_MN_WAIT_WAKE,
                                        [state](PIO_STACK_LOCATION l) { l->Parameters.WaitWake.PowerState = state; });
  s->Send();
  return s;
}

struct CapsRow {
  const char* name;
  USHORT version;
  USHORT size;
  NTSTATUS status;
};

TEST(UsbPdo, CapabilitiesAreTheRecordsAndAWrongStructureIsRefused) {
  FakeDevice device(64, true);
  BusDevice bus(device, BusDeviceOptions{.port = 3});
  for (const CapsRow& row : {CapsRow{"current", 1, sizeof(DEVICE_CAPABILITIES), STATUS_SUCCESS},
                             CapsRow{"other_version", 2, sizeof(DEVICE_CAPABILITIES), STATUS_UNSUCCESSFUL},
                             CapsRow{"too_small", 1, sizeof(DEVICE_CAPABILITIES) - 4, STATUS_UNSUCCESSFUL}}) {
    SCOPED_TRACE(row.name);
    DEVICE_CAPABILITIES caps;
    std::memset(&caps, 0, sizeof(caps));
    caps.Size = row.size;
    caps.Version = row.version;
    caps.Address = caps.UINumber = 0xFFFFFFFF;
    const UrbResult r = SendPnp(bus.Pdo(), IRP_MN_QUERY_CAPABILITIES,
                                [&](PIO_STACK_LOCATION l) { l->Parameters.DeviceCapabilities.Capabilities = &caps; });
    EXPECT_EQ(r.status, row.status);
    if (row.status != STATUS_SUCCESS) {
      EXPECT_EQ(caps.Address, 0xFFFFFFFFu) << "left alone";
      continue;
    }
    // Defaults of a bus-powered device whose configuration announces remote wake-up.
    EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
    EXPECT_EQ(caps.DeviceState[PowerSystemSleeping3], PowerDeviceD2);
    EXPECT_EQ(caps.DeviceState[PowerSystemHibernate], PowerDeviceD3);
    EXPECT_EQ(caps.SystemWake, PowerSystemSleeping3);
    EXPECT_EQ(caps.DeviceWake, PowerDeviceD2);
    EXPECT_TRUE(caps.WakeFromD2);
    EXPECT_TRUE(caps.Removable);
    EXPECT_EQ(caps.Address, 3u);
    EXPECT_EQ(caps.UINumber, 3u);
  }
}

TEST(UsbPdo, TheCreatorsCapabilityRecordWins) {
  FakeDevice device(64, true);
  PdoCapabilities custom = PdoCapabilities::ForUsbDevice(false);
  custom.deviceState[PowerSystemSleeping1] = PowerDeviceD1;
  custom.surpriseRemovalOk = true;
  BusDevice bus(device, BusDeviceOptions{.capabilities = custom});
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof(caps);
  caps.Version = 1;
  SendPnp(bus.Pdo(), IRP_MN_QUERY_CAPABILITIES,
          [&](PIO_STACK_LOCATION l) { l->Parameters.DeviceCapabilities.Capabilities = &caps; });
  EXPECT_EQ(caps.SystemWake, PowerSystemUnspecified);
  EXPECT_EQ(caps.DeviceWake, PowerDeviceUnspecified);
  EXPECT_EQ(caps.DeviceState[PowerSystemSleeping1], PowerDeviceD1);
  EXPECT_TRUE(caps.SurpriseRemovalOK);
}

TEST(UsbPdo, StateRequestsSucceedAndWhatAUsbPdoDoesNotAnswerKeepsItsStatus) {
  FakeDevice device;
  BusDevice bus(device);
  for (UCHAR minor : {IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_STOP_DEVICE,
                      IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_START_DEVICE}) {
    EXPECT_EQ(SendPnp(bus.Pdo(), minor).status, STATUS_SUCCESS) << "minor " << int(minor);
  }
  EXPECT_TRUE(bus.Started());
  for (UCHAR minor : {IRP_MN_QUERY_DEVICE_RELATIONS, IRP_MN_QUERY_ID, IRP_MN_QUERY_INTERFACE,
                      IRP_MN_QUERY_PNP_DEVICE_STATE, IRP_MN_QUERY_DEVICE_TEXT}) {
    EXPECT_EQ(SendPnp(bus.Pdo(), minor).status, STATUS_NOT_SUPPORTED) << "minor " << int(minor) << " untouched";
  }
  Submission wmi(bus.Pdo(), UCHAR{IRP_MJ_SYSTEM_CONTROL}, UCHAR{IRP_MN_QUERY_ALL_DATA});
  wmi.Send();
  EXPECT_EQ(wmi.Wait().status, STATUS_NOT_SUPPORTED) << "WMI passes over the PDO untouched";
  Submission unknown(bus.Pdo(), ULONG{IOCTL_INTERNAL_USB_CYCLE_PORT}, std::size_t{0});
  unknown.Send();
  EXPECT_EQ(unknown.Wait().status, STATUS_NOT_SUPPORTED);
}

TEST(UsbPdo, DevicePowerIsRecordedAndALowStateSuspendsThePort) {
  FakeDevice device;
  BusDevice bus(device);
  EXPECT_EQ(SetDevicePower(bus.Pdo(), PowerDeviceD2).status, STATUS_SUCCESS);
  EXPECT_EQ(bus.DevicePowerState(), PowerDeviceD2);
  EXPECT_EQ(hosted::Devices::ReportedPowerState(bus.Pdo()), PowerDeviceD2);
  EXPECT_TRUE(device.Suspended());
  EXPECT_EQ(SetDevicePower(bus.Pdo(), PowerDeviceD0).status, STATUS_SUCCESS);
  EXPECT_FALSE(device.Suspended());
  Submission system(bus.Pdo(), IRP_MJ_POWER, IRP_MN_SET_POWER, [](PIO_STACK_LOCATION l) {
    l->Parameters.Power.Type = SystemPowerState;
    l->Parameters.Power.State.SystemState = PowerSystemSleeping3;
  });
  system.Send();
  EXPECT_EQ(system.Wait().status, STATUS_SUCCESS);
  EXPECT_EQ(bus.DevicePowerState(), PowerDeviceD0) << "a system state changes no device state";
}

TEST(UsbPdo, WaitWakeIsRefusedWhereTheDeviceCannotWake) {
  struct Row {
    const char* name;
    bool remoteWakeup;
    DEVICE_POWER_STATE device;
    SYSTEM_POWER_STATE system;
    NTSTATUS status;
  };
  for (const Row& row : {Row{"no_remote_wakeup", false, PowerDeviceD0, PowerSystemSleeping3, STATUS_NOT_SUPPORTED},
                         Row{"deeper_than_system_wake", true, PowerDeviceD0, PowerSystemHibernate,
                             STATUS_INVALID_DEVICE_STATE},
                         Row{"device_below_device_wake", true, PowerDeviceD3, PowerSystemSleeping1,
                             STATUS_INVALID_DEVICE_STATE}}) {
    SCOPED_TRACE(row.name);
    FakeDevice device(64, row.remoteWakeup);
    BusDevice bus(device);
    SetDevicePower(bus.Pdo(), row.device);
    EXPECT_EQ(WaitWake(bus.Pdo(), row.system)->Wait().status, row.status);
    EXPECT_FALSE(bus.WaitWakePending());
  }
}

TEST(UsbPdo, WaitWakePendsOneAtATimeUntilCancelled) {
  FakeDevice device(64, true);
  BusDevice bus(device);
  auto first = WaitWake(bus.Pdo(), PowerSystemSleeping3);
  EXPECT_TRUE(bus.WaitWakePending());
  EXPECT_FALSE(first->Completed());
  const auto setups = device.Setups();
  ASSERT_FALSE(setups.empty());
  EXPECT_EQ(setups.back().bRequest, 3) << "SET_FEATURE(DEVICE_REMOTE_WAKEUP)";
  EXPECT_EQ(setups.back().wValue, 1);
  EXPECT_EQ(WaitWake(bus.Pdo(), PowerSystemSleeping1)->Wait().status, STATUS_DEVICE_BUSY);
  EXPECT_TRUE(first->Cancel());
  EXPECT_EQ(first->Wait().status, STATUS_CANCELLED);
  EXPECT_FALSE(bus.WaitWakePending());
  EXPECT_EQ(device.Setups().back().bRequest, 1) << "CLEAR_FEATURE(DEVICE_REMOTE_WAKEUP)";
}

TEST(UsbPdo, RemoteWakeCompletesTheWaitWakeFromTheUsbThread) {
  FakeDevice device(64, true);
  BusDevice bus(device);
  SetDevicePower(bus.Pdo(), PowerDeviceD2);
  auto wake = WaitWake(bus.Pdo(), PowerSystemSleeping3);
  ASSERT_TRUE(bus.WaitIdle());
  EXPECT_FALSE(wake->Completed());
  device.Wake();
  const UrbResult r = wake->Wait();
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.thread, bus.UsbThreadId());
  EXPECT_FALSE(device.Suspended()) << "the port resumed";
}

// A function device attached to the PDO, as the driver's AddDevice makes it.
struct FunctionDevice {
  explicit FunctionDevice(PDEVICE_OBJECT pdo) {
    driver = hosted::Drivers::Create("function");
    EXPECT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo), STATUS_SUCCESS);
    lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  }
  void Detach() {
    if (fdo == nullptr) return;
    IoDetachDevice(lower);
    IoDeleteDevice(fdo);
    fdo = nullptr;
  }
  ~FunctionDevice() {
    Detach();
    hosted::Drivers::Destroy(driver);
  }
  PDRIVER_OBJECT driver = nullptr;
  PDEVICE_OBJECT fdo = nullptr;
  PDEVICE_OBJECT lower = nullptr;
};

TEST(UsbPdo, AnUnpluggedDevicesPdoGoesAfterRemovalOnceNothingIsAttached) {
  FakeDevice device(64, true);
  BusDevice bus(device);
  PDEVICE_OBJECT pdo = bus.Pdo();
  FunctionDevice function(pdo);
  auto wake = WaitWake(pdo, PowerSystemSleeping3);
  device.Unplug();
  EXPECT_EQ(wake->Wait().status, STATUS_NO_SUCH_DEVICE);
  EXPECT_FALSE(bus.ReapRemovedPdo()) << "no removal yet";
  EXPECT_EQ(SendPnp(pdo, IRP_MN_SURPRISE_REMOVAL).status, STATUS_SUCCESS);
  EXPECT_EQ(SendPnp(pdo, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
  EXPECT_FALSE(bus.ReapRemovedPdo()) << "the function device is still attached";
  EXPECT_TRUE(hosted::Devices::Exists(pdo));
  function.Detach();
  EXPECT_TRUE(bus.ReapRemovedPdo());
  EXPECT_EQ(bus.Pdo(), nullptr);
  EXPECT_FALSE(hosted::Devices::Exists(pdo));
}

TEST(UsbPdo, RemovalOfAnUnpluggedDeviceWithNothingAttachedDeletesThePdoAtOnce) {
  FakeDevice device;
  BusDevice bus(device);
  PDEVICE_OBJECT pdo = bus.Pdo();
  bus.Unplug();
  EXPECT_EQ(SendPnp(pdo, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(bus.Pdo(), nullptr);
  EXPECT_FALSE(hosted::Devices::Exists(pdo));
}

TEST(UsbPdo, RemovalOfAPresentDeviceKeepsThePdoButEndsTheConfiguration) {
  FakeDevice device;
  BusDevice bus(device);
  UrbHost host(bus.Pdo());
  ASSERT_TRUE(host.Configure(0xFF));
  auto read = host.StartRead(64);
  ASSERT_TRUE(bus.WaitForPendingTransfers(1));
  EXPECT_EQ(SendPnp(bus.Pdo(), IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(read->Wait().status, STATUS_CANCELLED);
  EXPECT_FALSE(bus.ReapRemovedPdo());
  EXPECT_NE(bus.Pdo(), nullptr);
  EXPECT_EQ(host.Read(8).usbd, USBD_STATUS_INVALID_PIPE_HANDLE);
  ASSERT_TRUE(host.Configure(0xFF)) << "a new start configures it again";
}

}  // namespace
}  // namespace usb_test

// Device interfaces, remove locks and the power calls a driver makes on its objects.
#include <future>
#include <string>

#include "test_stack.h"

using namespace kerneltest;

namespace {

const GUID kReaderClass = {0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};

// Registration is on the PDO and idempotent; enabling twice and disabling twice give the
// statuses Windows gives; the link belongs to the caller.
TEST(Objects, DeviceInterfacesRegisterOnThePdoAndToggle) {
  TestStack stack(2);
  UNICODE_STRING link{};
  EXPECT_EQ(IoRegisterDeviceInterface(stack[1], &kReaderClass, NULL, &link), STATUS_INVALID_DEVICE_REQUEST);
  ASSERT_EQ(IoRegisterDeviceInterface(stack[0], &kReaderClass, NULL, &link), STATUS_SUCCESS);
  UNICODE_STRING again{};
  ASSERT_EQ(IoRegisterDeviceInterface(stack[0], &kReaderClass, NULL, &again), STATUS_SUCCESS);
  EXPECT_TRUE(RtlEqualUnicodeString(&link, &again, TRUE));
  const std::u16string text(link.Buffer, link.Length / 2);
  EXPECT_NE(text.find(u"{50dd5230-ba8a-11d1-bf5d-0000f805f530}"), std::u16string::npos);

  const struct {
    BOOLEAN enable;
    NTSTATUS status;
    bool enabledAfter;
  } steps[] = {{TRUE, STATUS_SUCCESS, true},
               {TRUE, STATUS_OBJECT_NAME_EXISTS, true},
               {FALSE, STATUS_SUCCESS, false},
               {FALSE, STATUS_OBJECT_NAME_NOT_FOUND, false}};
  for (const auto& step : steps) {
    SCOPED_TRACE(std::to_string(step.enable));
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, step.enable), step.status);
    const auto interfaces = hosted::Devices::Interfaces(stack[0]);
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_EQ(interfaces[0].enabled, step.enabledAfter);
  }
  UNICODE_STRING unknown = RTL_CONSTANT_STRING(u"\\??\\nothing");
  EXPECT_EQ(IoSetDeviceInterfaceState(&unknown, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);
  RtlFreeUnicodeString(&link);
  RtlFreeUnicodeString(&again);
}

TEST(Objects, RemoveLockRefusesNewHoldersOnceRemovalWaitsAndWaitsForTheOthers) {
  IO_REMOVE_LOCK lock;
  IoInitializeRemoveLock(&lock, 'kcoL', 0, 0);
  int tags[2];
  ASSERT_EQ(IoAcquireRemoveLock(&lock, &tags[0]), STATUS_SUCCESS);  // removal's own
  ASSERT_EQ(IoAcquireRemoveLock(&lock, &tags[1]), STATUS_SUCCESS);  // a request in flight
  hosted::Clock::SetVirtual(hosted::Clock::TimeAdvance::Manual);
  auto removal = std::async(std::launch::async, [&] { IoReleaseRemoveLockAndWait(&lock, &tags[0]); });
  while (!__atomic_load_n(&lock.Common.Removed, __ATOMIC_SEQ_CST)) std::this_thread::yield();
  EXPECT_EQ(IoAcquireRemoveLock(&lock, &tags[0]), STATUS_DELETE_PENDING);
  EXPECT_NE(removal.wait_for(std::chrono::seconds(0)), std::future_status::ready);
  IoReleaseRemoveLock(&lock, &tags[1]);
  removal.get();
  EXPECT_EQ(lock.Common.IoCount, 0);
}

NTSTATUS g_requestStatus = STATUS_PENDING;
VOID NTAPI OnPowerRequestDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK io) {
  *static_cast<NTSTATUS*>(context) = io->Status;
}

TEST(Objects, PowerCallsPassPowerIrpsAndRecordTheDeviceState) {
  TestStack stack(1);
  stack.SetDispatch(0, [](PDEVICE_OBJECT self, PIRP irp) {
    PoStartNextPowerIrp(irp);
    POWER_STATE state = IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State;
    PoSetPowerState(self, DevicePowerState, state);
    return Complete(irp, STATUS_SUCCESS);
  });
  PIRP irp = NewIrp(stack, IRP_MJ_POWER);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MinorFunction = IRP_MN_SET_POWER;
  next->Parameters.Power.Type = DevicePowerState;
  next->Parameters.Power.State.DeviceState = PowerDeviceD3;
  EXPECT_EQ(PoCallDriver(stack.top(), irp), STATUS_SUCCESS);
  EXPECT_EQ(hosted::Devices::ReportedPowerState(stack[0]), PowerDeviceD3);
  IoFreeIrp(irp);

  // A requested IRP goes from the power thread to the top of the stack; the completion
  // function gets its status block once it has completed.
  POWER_STATE d0;
  d0.DeviceState = PowerDeviceD0;
  PIRP requested = nullptr;
  EXPECT_EQ(PoRequestPowerIrp(stack[0], IRP_MN_SET_POWER, d0, OnPowerRequestDone, &g_requestStatus, &requested),
            STATUS_PENDING);
  EXPECT_NE(requested, nullptr);
  hosted::PowerManager::WaitIdle();
  EXPECT_EQ(g_requestStatus, STATUS_SUCCESS);
  EXPECT_EQ(hosted::Devices::ReportedPowerState(stack[0]), PowerDeviceD0);
}

}  // namespace

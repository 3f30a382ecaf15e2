// IofCallDriver, device stacks, default dispatch, IRPs built by the I/O manager.
#include <algorithm>
#include <cstring>
#include <thread>

#include "test_stack.h"

using namespace kerneltest;

namespace {

TEST(IoCall, TargetGetsItsOwnStackLocationWithItsDeviceObject) {
  TestStack stack(2);
  int calls = 0;
  stack.SetDispatch(1, [&](PDEVICE_OBJECT self, PIRP irp) {
    ++calls;
    EXPECT_EQ(irp->CurrentLocation, 2);
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, self);
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->MajorFunction, IRP_MJ_PNP);
    IoCopyCurrentIrpStackLocationToNext(irp);
    return IoCallDriver(Ext(self)->lower, irp);
  });
  stack.SetDispatch(0, [&](PDEVICE_OBJECT self, PIRP irp) {
    ++calls;
    EXPECT_EQ(irp->CurrentLocation, 1);
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, self);
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->MinorFunction, IRP_MN_QUERY_CAPABILITIES);
    return Complete(irp, STATUS_SUCCESS);
  });
  PIRP irp = NewIrp(stack, IRP_MJ_PNP);
  IoGetNextIrpStackLocation(irp)->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
  EXPECT_EQ(IoCallDriver(stack.top(), irp), STATUS_SUCCESS);
  EXPECT_EQ(calls, 2);
  IoFreeIrp(irp);
}

TEST(IoCall, AttachingStacksStackSizesAndDetachingUndoesIt) {
  TestStack stack(3);
  EXPECT_EQ(stack[0]->StackSize, 1);
  EXPECT_EQ(stack[1]->StackSize, 2);
  EXPECT_EQ(stack[2]->StackSize, 3);
  EXPECT_EQ(IoGetAttachedDevice(stack[0]), stack[2]);
  EXPECT_EQ(hosted::Devices::Lower(stack[2]), stack[1]);
  EXPECT_EQ(IoSizeOfIrp(3), 208 + 3 * 72);
}

TEST(IoCall, DeviceExtensionIsZeroedAndFlagsSet) {
  PDRIVER_OBJECT driver = hosted::Drivers::Create("extension");
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(IoCreateDevice(driver, 300, NULL, FILE_DEVICE_SMARTCARD, 0, FALSE, &device), STATUS_SUCCESS);
  const auto* bytes = static_cast<const unsigned char*>(device->DeviceExtension);
  EXPECT_EQ(std::count(bytes, bytes + 300, 0), 300);
  EXPECT_EQ(device->StackSize, 1);
  EXPECT_EQ(device->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_SMARTCARD));
  EXPECT_TRUE(device->Flags & DO_DEVICE_INITIALIZING);
  EXPECT_EQ(driver->DeviceObject, device);
  IoDeleteDevice(device);
  EXPECT_EQ(driver->DeviceObject, nullptr);
  hosted::Drivers::Destroy(driver);
}

TEST(IoCall, MajorFunctionsADriverDidNotFillFailAsInvalidDeviceRequests) {
  PDRIVER_OBJECT driver = hosted::Drivers::Create("defaults");
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(IoCreateDevice(driver, 0, NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
  for (UCHAR major : {IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_PNP}) {
    SCOPED_TRACE(static_cast<int>(major));
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = major;
    IoSetCompletionRoutine(irp, BackToTheSender, nullptr, TRUE, TRUE, TRUE);
    irp->IoStatus.Information = 77;
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(irp->IoStatus.Information, 0u);
    IoFreeIrp(irp);
  }
  IoDeleteDevice(device);
  hosted::Drivers::Destroy(driver);
}

struct BuiltRow {
  const char* name;
  bool pend;
  NTSTATUS status;
  bool delivered;  // status block written and event set
};

class IoCallBuilt : public ::testing::TestWithParam<BuiltRow> {};

// The I/O manager finishes a built IRP: status block and event, unless a failure came back
// synchronously (the caller then has it from IoCallDriver); the IRP is freed either way.
TEST_P(IoCallBuilt, StatusBlockAndEventAreDeliveredAndTheIrpIsFreed) {
  const BuiltRow row = GetParam();
  const std::size_t irpsBefore = hosted::OutstandingIrps();
  TestStack stack(1);
  PIRP held = nullptr;
  stack.SetDispatch(0, [&](PDEVICE_OBJECT, PIRP irp) {
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode, 0x220007u);
    if (!row.pend) return Complete(irp, row.status, 5);
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  });
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb;
  iosb.Status = static_cast<NTSTATUS>(0x0BADF00D);
  iosb.Information = 0xDEADF00D;
  PIRP irp = IoBuildDeviceIoControlRequest(0x220007, stack.top(), NULL, 0, NULL, 0, TRUE, &event, &iosb);
  ASSERT_NE(irp, nullptr);
  const NTSTATUS returned = IoCallDriver(stack.top(), irp);
  EXPECT_EQ(returned, row.pend ? STATUS_PENDING : row.status);
  if (row.pend) Complete(held, row.status, 5);

  EXPECT_EQ(KeReadStateEvent(&event), row.delivered ? 1 : 0);
  EXPECT_EQ(iosb.Status, row.delivered ? row.status : static_cast<NTSTATUS>(0x0BADF00D));
  EXPECT_EQ(iosb.Information, row.delivered ? 5u : 0xDEADF00Du);
  EXPECT_EQ(hosted::OutstandingIrps(), irpsBefore);
}

INSTANTIATE_TEST_SUITE_P(Outcomes, IoCallBuilt,
                         ::testing::Values(BuiltRow{"SyncSuccess", false, STATUS_SUCCESS, true},
                                           BuiltRow{"SyncWarning", false, STATUS_BUFFER_OVERFLOW, true},
                                           BuiltRow{"SyncError", false, STATUS_UNSUCCESSFUL, false},
                                           BuiltRow{"PendingSuccess", true, STATUS_SUCCESS, true},
                                           BuiltRow{"PendingError", true, STATUS_IO_TIMEOUT, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// METHOD_BUFFERED: the target sees the input in the system buffer; what it reports in
// Information is copied back to the caller's output buffer.
TEST(IoCall, BufferedRequestCopiesInputInAndOutputBack) {
  TestStack stack(1);
  stack.SetDispatch(0, [](PDEVICE_OBJECT, PIRP irp) {
    auto* buffer = static_cast<unsigned char*>(irp->AssociatedIrp.SystemBuffer);
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->MajorFunction, IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.InputBufferLength, 3u);
    EXPECT_EQ(buffer[0], 1);
    EXPECT_EQ(buffer[2], 3);
    std::memcpy(buffer, "\xAA\xBB\xCC\xDD", 4);
    return Complete(irp, STATUS_SUCCESS, 2);
  });
  const unsigned char input[3] = {1, 2, 3};
  unsigned char output[8];
  std::memset(output, 0xEE, sizeof output);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb;
  PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_SMARTCARD, 5, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                           stack.top(), const_cast<unsigned char*>(input), sizeof input, output,
                                           sizeof output, FALSE, &event, &iosb);
  EXPECT_EQ(IoCallDriver(stack.top(), irp), STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 2u);
  EXPECT_EQ(output[0], 0xAA);
  EXPECT_EQ(output[1], 0xBB);
  EXPECT_EQ(output[2], 0xEE);  // beyond Information: untouched
}

TEST(IoCall, BuildingFailsWhenTheIrpCannotBeAllocated) {
  TestStack stack(1);
  hosted::AllocationFailures::FailRoutine("IoBuildDeviceIoControlRequest");
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb;
  EXPECT_EQ(IoBuildDeviceIoControlRequest(0x220007, stack.top(), NULL, 0, NULL, 0, TRUE, &event, &iosb), nullptr);
}

}  // namespace

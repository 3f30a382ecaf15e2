// A stack of test devices whose dispatch routines are lambdas, for the kernel's own tests.
// Device 0 is the bottom (the PDO); each higher device is attached to the one below.
#pragma once

#include <functional>
#include <new>
#include <vector>

#include "kernel_test_support.h"

namespace kerneltest {

using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

struct TestExtension {
  Dispatch dispatch;
  PDEVICE_OBJECT lower = nullptr;
};

inline TestExtension* Ext(PDEVICE_OBJECT device) { return static_cast<TestExtension*>(device->DeviceExtension); }

inline NTSTATUS NTAPI TestDispatch(PDEVICE_OBJECT device, PIRP irp) { return Ext(device)->dispatch(device, irp); }

// Completes the IRP at this level with `status`.
inline NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

class TestStack {
 public:
  explicit TestStack(int depth) {
    driver_ = hosted::Drivers::Create("kerneltest");
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) driver_->MajorFunction[major] = TestDispatch;
    for (int i = 0; i < depth; ++i) {
      PDEVICE_OBJECT device = nullptr;
      EXPECT_EQ(IoCreateDevice(driver_, sizeof(TestExtension), NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
                STATUS_SUCCESS);
      new (device->DeviceExtension) TestExtension();
      if (!devices_.empty()) Ext(device)->lower = IoAttachDeviceToDeviceStack(device, devices_.back());
      device->Flags &= ~DO_DEVICE_INITIALIZING;
      devices_.push_back(device);
      // By default a device passes the IRP down; the bottom one completes it successfully.
      Ext(device)->dispatch = [](PDEVICE_OBJECT self, PIRP irp) {
        if (Ext(self)->lower == nullptr) return Complete(irp, STATUS_SUCCESS);
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(Ext(self)->lower, irp);
      };
    }
  }

  TestStack(const TestStack&) = delete;
  TestStack& operator=(const TestStack&) = delete;

  ~TestStack() {
    for (auto it = devices_.rbegin(); it != devices_.rend(); ++it) {
      PDEVICE_OBJECT device = *it;
      if (Ext(device)->lower != nullptr) IoDetachDevice(Ext(device)->lower);
      Ext(device)->~TestExtension();
      IoDeleteDevice(device);
    }
    hosted::Drivers::Destroy(driver_);
  }

  PDEVICE_OBJECT operator[](int i) const { return devices_[i]; }
  PDEVICE_OBJECT top() const { return devices_.back(); }
  void SetDispatch(int i, Dispatch dispatch) { Ext(devices_[i])->dispatch = std::move(dispatch); }
  PDRIVER_OBJECT driver() const { return driver_; }

 private:
  PDRIVER_OBJECT driver_;
  std::vector<PDEVICE_OBJECT> devices_;
};

// The sender's completion routine of a test IRP: the IRP comes back to the test, which
// frees it (a driver-allocated IRP must never be completed past its top location).
inline NTSTATUS NTAPI BackToTheSender(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

// An IRP for the whole stack with the given major function, sent as a driver sends the IRPs
// it allocates: with a completion routine that keeps it (a test may set its own instead).
inline PIRP NewIrp(const TestStack& stack, UCHAR major = IRP_MJ_DEVICE_CONTROL, CCHAR extra = 0) {
  PIRP irp = IoAllocateIrp(static_cast<CCHAR>(stack.top()->StackSize + extra), FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = major;
  IoSetCompletionRoutine(irp, BackToTheSender, nullptr, TRUE, TRUE, TRUE);
  return irp;
}

}  // namespace kerneltest

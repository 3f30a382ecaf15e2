// A bus driver with one PDO and a function driver with an AddDevice routine, both made of
// test code, for the PnP manager's and the user-mode side's tests. Each records what
// reached it; the function driver's answers are set per test.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "kernel_test_support.h"

namespace pnptest {

// One IRP as it arrived at a driver.
struct Arrival {
  UCHAR major = 0;
  UCHAR minor = 0;
  NTSTATUS statusOnArrival = 0;
  ULONG_PTR informationOnArrival = 0;
  CCHAR stackCount = 0;
  PFILE_OBJECT fileObject = nullptr;
  KPROCESSOR_MODE requestorMode = KernelMode;
  DEVICE_CAPABILITIES capabilities{};  // as it arrived, for IRP_MN_QUERY_CAPABILITIES
};

inline NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

inline Arrival Record(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  Arrival arrival;
  arrival.major = stack->MajorFunction;
  arrival.minor = stack->MinorFunction;
  arrival.statusOnArrival = irp->IoStatus.Status;
  arrival.informationOnArrival = irp->IoStatus.Information;
  arrival.stackCount = irp->StackCount;
  arrival.fileObject = stack->FileObject;
  arrival.requestorMode = irp->RequestorMode;
  if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_QUERY_CAPABILITIES &&
      stack->Parameters.DeviceCapabilities.Capabilities != nullptr) {
    arrival.capabilities = *stack->Parameters.DeviceCapabilities.Capabilities;
  }
  return arrival;
}

inline std::vector<UCHAR> PnpMinors(const std::vector<Arrival>& arrivals) {
  std::vector<UCHAR> minors;
  for (const Arrival& a : arrivals) {
    if (a.major == IRP_MJ_PNP) minors.push_back(a.minor);
  }
  return minors;
}

// ---- the bus --------------------------------------------------------------------------

class FakeBus {
 public:
  static constexpr ULONG kPort = 3;

  FakeBus() {
    driver_ = hosted::Drivers::Create("testbus");
    for (auto& entry : driver_->MajorFunction) entry = &FakeBus::Dispatch;
    EXPECT_EQ(IoCreateDevice(driver_, sizeof(FakeBus*), NULL, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo_),
              STATUS_SUCCESS);
    *static_cast<FakeBus**>(pdo_->DeviceExtension) = this;
    pdo_->Flags &= ~DO_DEVICE_INITIALIZING;
  }
  ~FakeBus() {
    if (pdo_ != nullptr) IoDeleteDevice(pdo_);
    hosted::Drivers::Destroy(driver_);
  }
  FakeBus(const FakeBus&) = delete;
  FakeBus& operator=(const FakeBus&) = delete;

  PDEVICE_OBJECT Pdo() const { return pdo_; }
  // As a bus deletes a missing device's PDO after its removal: once nothing is attached.
  bool DeletePdo() {
    if (pdo_ == nullptr) return true;
    if (pdo_->AttachedDevice != nullptr) return false;
    IoDeleteDevice(pdo_);
    pdo_ = nullptr;
    return true;
  }

  std::vector<Arrival> arrivals;

 private:
  static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    FakeBus* bus = *static_cast<FakeBus**>(device->DeviceExtension);
    bus->arrivals.push_back(Record(irp));
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction != IRP_MJ_PNP) return CompleteWith(irp, STATUS_SUCCESS);
    switch (stack->MinorFunction) {
      case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
        caps->Address = kPort;
        caps->UINumber = kPort;
        caps->Removable = TRUE;
        return CompleteWith(irp, STATUS_SUCCESS);
      }
      case IRP_MN_START_DEVICE:
      case IRP_MN_QUERY_STOP_DEVICE:
      case IRP_MN_STOP_DEVICE:
      case IRP_MN_CANCEL_STOP_DEVICE:
      case IRP_MN_QUERY_REMOVE_DEVICE:
      case IRP_MN_CANCEL_REMOVE_DEVICE:
      case IRP_MN_SURPRISE_REMOVAL:
      case IRP_MN_REMOVE_DEVICE:
        return CompleteWith(irp, STATUS_SUCCESS);
      default: {
        const NTSTATUS status = irp->IoStatus.Status;  // not answered: the status stays
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
      }
    }
  }

  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
};

// ---- the function driver ----------------------------------------------------------------

class FakeFunction;
inline FakeFunction*& CurrentFunction() {
  static FakeFunction* current = nullptr;
  return current;
}

class FakeFunction {
 public:
  using Handler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

  FakeFunction() {
    driver_ = hosted::Drivers::Create("testfunction");
    for (auto& entry : driver_->MajorFunction) entry = &FakeFunction::Dispatch;
    driver_->DriverExtension->AddDevice = &FakeFunction::AddDevice;
    CurrentFunction() = this;
  }
  ~FakeFunction() {
    CurrentFunction() = nullptr;
    hosted::Drivers::Destroy(driver_);
  }
  FakeFunction(const FakeFunction&) = delete;
  FakeFunction& operator=(const FakeFunction&) = delete;

  PDRIVER_OBJECT Driver() const { return driver_; }

  // Answers, per test.
  NTSTATUS addStatus = STATUS_SUCCESS;
  bool leaveInitializing = false;
  bool stayAttachedAtRemove = false;
  std::map<UCHAR, NTSTATUS> failMinor;  // completed with this status, not passed down
  std::set<UCHAR> pendMinor;            // marked pending, passed down from another thread
  const GUID* interfaceClass = nullptr; // registered at AddDevice, enabled at start
  bool disableInterfaceAtRemove = true;
  std::map<UCHAR, Handler> handlers;    // other major functions; default: success

  std::vector<Arrival> arrivals;
  PDEVICE_OBJECT fdo = nullptr;
  PDEVICE_OBJECT lower = nullptr;
  UNICODE_STRING link{};

 private:
  static NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    FakeFunction* self = CurrentFunction();
    if (!NT_SUCCESS(self->addStatus)) return self->addStatus;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FakeFunction*), NULL, FILE_DEVICE_SMARTCARD, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    *static_cast<FakeFunction**>(device->DeviceExtension) = self;
    self->lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (self->lower == nullptr) {
      IoDeleteDevice(device);
      return STATUS_NO_SUCH_DEVICE;
    }
    if (self->interfaceClass != nullptr) {
      EXPECT_EQ(IoRegisterDeviceInterface(pdo, self->interfaceClass, NULL, &self->link), STATUS_SUCCESS);
    }
    if (!self->leaveInitializing) device->Flags &= ~DO_DEVICE_INITIALIZING;
    self->fdo = device;
    return STATUS_SUCCESS;
  }

  static NTSTATUS PassDown(FakeFunction* self, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(self->lower, irp);
  }

  static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    FakeFunction* self = *static_cast<FakeFunction**>(device->DeviceExtension);
    self->arrivals.push_back(Record(irp));
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction != IRP_MJ_PNP) {
      auto handler = self->handlers.find(stack->MajorFunction);
      return handler != self->handlers.end() ? handler->second(device, irp) : CompleteWith(irp, STATUS_SUCCESS);
    }
    const UCHAR minor = stack->MinorFunction;
    if (auto failure = self->failMinor.find(minor); failure != self->failMinor.end()) {
      return CompleteWith(irp, failure->second);
    }
    switch (minor) {
      case IRP_MN_START_DEVICE:
        if (self->link.Buffer != nullptr) (void)IoSetDeviceInterfaceState(&self->link, TRUE);
        break;
      case IRP_MN_QUERY_CAPABILITIES:
        stack->Parameters.DeviceCapabilities.Capabilities->SurpriseRemovalOK = TRUE;
        break;
      case IRP_MN_REMOVE_DEVICE:
        return Remove(self, device, irp);
      default:
        break;
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    if (self->pendMinor.count(minor) != 0) {
      IoMarkIrpPending(irp);
      IoCopyCurrentIrpStackLocationToNext(irp);  // its own location keeps the pending mark
      std::thread([self, irp] { (void)IoCallDriver(self->lower, irp); }).join();
      return STATUS_PENDING;
    }
    return PassDown(self, irp);
  }

  static NTSTATUS Remove(FakeFunction* self, PDEVICE_OBJECT device, PIRP irp) {
    if (self->link.Buffer != nullptr) {
      if (self->disableInterfaceAtRemove) (void)IoSetDeviceInterfaceState(&self->link, FALSE);
      RtlFreeUnicodeString(&self->link);
      self->link = UNICODE_STRING{};
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    const NTSTATUS status = PassDown(self, irp);
    if (self->stayAttachedAtRemove) return status;
    IoDetachDevice(self->lower);
    IoDeleteDevice(device);
    self->fdo = nullptr;
    self->lower = nullptr;
    return status;
  }

  PDRIVER_OBJECT driver_ = nullptr;
};

}  // namespace pnptest

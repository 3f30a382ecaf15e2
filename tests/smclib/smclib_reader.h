// A reader device made of test code around the hosted smart-card library: its
// device-control dispatch hands every request to SmartcardDeviceControl, as a reader
// driver does, and its reader functions are lambdas set per test. Requests reach it from
// the hosted user-mode side.
#pragma once

#include <smclib.h>

#include <functional>
#include <memory>

#include "kernel_test_support.h"

namespace smclibtest {

class TestReader {
 public:
  using Function = std::function<NTSTATUS(PSMARTCARD_EXTENSION)>;

  TestReader() {
    driver_ = hosted::Drivers::Create("testreader");
    for (auto& entry : driver_->MajorFunction) entry = &TestReader::Dispatch;
    EXPECT_EQ(IoCreateDevice(driver_, sizeof(TestReader*), NULL, FILE_DEVICE_SMARTCARD, 0, FALSE, &device_),
              STATUS_SUCCESS);
    *static_cast<TestReader**>(device_->DeviceExtension) = this;
    device_->Flags |= DO_BUFFERED_IO;
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
    state_.extension.Version = SMCLIB_VERSION;
    state_.extension.SmartcardRequest.BufferSize = MIN_BUFFER_SIZE;
    state_.extension.SmartcardReply.BufferSize = MIN_BUFFER_SIZE;
    state_.extension.ReaderCapabilities.CurrentState = SCARD_ABSENT;
    EXPECT_EQ(SmartcardInitialize(&state_.extension), STATUS_SUCCESS);
    state_.extension.OsData->DeviceObject = device_;
  }
  ~TestReader() {
    SmartcardExit(&state_.extension);
    IoDeleteDevice(device_);
    hosted::Drivers::Destroy(driver_);
  }
  TestReader(const TestReader&) = delete;
  TestReader& operator=(const TestReader&) = delete;

  PSMARTCARD_EXTENSION Extension() { return &state_.extension; }
  PDEVICE_OBJECT Device() const { return device_; }
  std::unique_ptr<hosted::UserFile> Open() { return hosted::UserFile::OpenDevice(device_, nullptr); }

  // Installs `function` in reader-function slot `slot`.
  void Set(ULONG slot, Function function) {
    state_.functions[slot] = std::move(function);
    state_.extension.ReaderFunction[slot] = Trampolines[slot];
  }
  void Clear(ULONG slot) { state_.extension.ReaderFunction[slot] = nullptr; }

  // The parked tracking request, completed as a driver does at a card change.
  bool CompleteTracking(NTSTATUS status = STATUS_SUCCESS) {
    KIRQL irql;
    KeAcquireSpinLock(&state_.extension.OsData->SpinLock, &irql);
    PIRP irp = state_.extension.OsData->NotificationIrp;
    state_.extension.OsData->NotificationIrp = nullptr;
    KeReleaseSpinLock(&state_.extension.OsData->SpinLock, irql);
    if (irp == nullptr) return false;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return true;
  }

 private:
  // The extension comes first so that a reader function finds its reader from it.
  struct State {
    SMARTCARD_EXTENSION extension{};
    Function functions[READER_FUNCTION_COUNT];
  };

  template <ULONG Slot>
  static NTSTATUS NTAPI Call(PSMARTCARD_EXTENSION extension) {
    return reinterpret_cast<State*>(extension)->functions[Slot](extension);
  }
  static constexpr PREADER_FUNCTION Trampolines[READER_FUNCTION_COUNT] = {
      Call<0>, Call<1>, Call<2>,  Call<3>,  Call<4>,  Call<5>,  Call<6>,  Call<7>,
      Call<8>, Call<9>, Call<10>, Call<11>, Call<12>, Call<13>, Call<14>, Call<15>};

  static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    TestReader* self = *static_cast<TestReader**>(device->DeviceExtension);
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
      return SmartcardDeviceControl(&self->state_.extension, irp);
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  }

  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
  State state_;
};

}  // namespace smclibtest

// A reader's functional device object as add-device leaves it, for tests of the routines
// that work on a DEVICE_EXTENSION: I/O count at its base reference, events not signalled,
// locks initialised, optionally attached to a lower device with recognisable pipe handles.
#pragma once

#include <hosted/kernel/hosted.h>

#include <stdexcept>

#include "CcidDevice.h"

namespace ccid_test {

// The pipe handle a test reader reports for a slot.
inline USBD_PIPE_HANDLE PipeHandleOf(ULONG slot) {
  return reinterpret_cast<USBD_PIPE_HANDLE>(static_cast<ULONG_PTR>(0x7E570000 + slot));
}

class ReaderDevice {
 public:
  explicit ReaderDevice(PDEVICE_OBJECT lower = nullptr) {
    driver_ = hosted::Drivers::Create("ccid-test");
    if (!NT_SUCCESS(IoCreateDevice(driver_, sizeof(DEVICE_EXTENSION), nullptr, FILE_DEVICE_SMARTCARD, 0, FALSE,
                                   &device_))) {
      throw std::runtime_error("IoCreateDevice failed for the reader device");
    }
    PDEVICE_EXTENSION extension = Extension();
    extension->Self = device_;
    KeInitializeEvent(&extension->RemoveEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&extension->NoPendingIoEvent, NotificationEvent, FALSE);
    KeInitializeSpinLock(&extension->IoCountLock);
    extension->IoCount = 1;
    for (ULONG slot = 0; slot < PIPE_COUNT; ++slot) extension->PipeInfo[slot].PipeHandle = PipeHandleOf(slot);
    if (lower != nullptr) {
      extension->LowerDeviceObject = IoAttachDeviceToDeviceStack(device_, lower);
      if (extension->LowerDeviceObject == nullptr) throw std::runtime_error("cannot attach the reader device");
    }
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
  }

  ~ReaderDevice() {
    if (Extension()->LowerDeviceObject != nullptr) IoDetachDevice(Extension()->LowerDeviceObject);
    IoDeleteDevice(device_);
    hosted::Drivers::Destroy(driver_);
  }

  ReaderDevice(const ReaderDevice&) = delete;
  ReaderDevice& operator=(const ReaderDevice&) = delete;

  PDEVICE_OBJECT Device() const { return device_; }
  PDEVICE_EXTENSION Extension() const { return static_cast<PDEVICE_EXTENSION>(device_->DeviceExtension); }

 private:
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
};

}  // namespace ccid_test

// An application's card-tracking request (IOCTL_SMARTCARD_IS_PRESENT or _IS_ABSENT) on a
// reader, handed straight to the smart-card library (SmartcardDeviceControl) as a reader's
// device-control dispatch hands it on: an IRP whose current location is the reader's
// IRP_MJ_DEVICE_CONTROL, with the application's location above it. No handle is open, so
// an unplugged reader is removed at once.
#pragma once

#include <wdm.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <vector>

#include "scenario.h"

namespace ccidsim {

class TrackingRequest {
 public:
  TrackingRequest(PDEVICE_OBJECT fdo, ULONG ioControlCode);
  // Frees the IRP once it has come back; a request still held by the driver is cancelled
  // and, if it stays held, left to the kernel's leak report rather than freed under it.
  ~TrackingRequest();
  TrackingRequest(const TrackingRequest&) = delete;
  TrackingRequest& operator=(const TrackingRequest&) = delete;

  // SmartcardDeviceControl's return value (STATUS_PENDING while the request is parked).
  NTSTATUS Send();
  // Lets the session run (see hosted::Scheduler::RunUntil) until the request has come
  // back, for at most `patience` of kernel time; true once it has.
  bool Wait(std::chrono::milliseconds patience);
  bool Completed() const;
  TrackingOutcome Outcome() const;

 private:
  static NTSTATUS NTAPI OnComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context);

  PDEVICE_OBJECT fdo_;
  ULONG ioControlCode_;
  PIRP irp_ = nullptr;
  std::vector<std::uint8_t> buffer_;
  NTSTATUS sent_ = STATUS_PENDING;
  std::atomic<bool> completed_{false};
};

}  // namespace ccidsim

// An application's card-tracking request (IOCTL_SMARTCARD_IS_PRESENT or _IS_ABSENT) on a
// reader it has opened: an overlapped device-control request, as a resource manager sends
// it to wait for a card event, ended by the driver, by a cancel or by the handle's cleanup.
#pragma once

#include <wdm.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>

#include "scard.h"
#include "scenario.h"

namespace ccidsim {

class TrackingRequest {
 public:
  // Sends the request on `reader`: IS_PRESENT when `present`, else IS_ABSENT.
  TrackingRequest(scard::Reader& reader, bool present);
  // End().
  ~TrackingRequest();
  TrackingRequest(const TrackingRequest&) = delete;
  TrackingRequest& operator=(const TrackingRequest&) = delete;

  // Lets the session run (see hosted::Scheduler::RunUntil) until the request has come
  // back, for at most `patience` of kernel time; true once it has.
  bool Wait(std::chrono::milliseconds patience);
  bool Completed() const;
  // Safe from any thread (the PnP manager's observer looks at a parked request).
  TrackingOutcome Outcome() const;
  // Cancels the request if the driver still holds it (CancelIoEx), waits for it, and
  // collects it.
  void End();

 private:
  ULONG ioControlCode_;
  std::shared_ptr<hosted::UserRequest> request_;
  NTSTATUS sent_ = STATUS_PENDING;
  mutable std::mutex mutex_;
  std::optional<hosted::UserIoResult> result_;
};

}  // namespace ccidsim

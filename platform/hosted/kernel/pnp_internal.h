// Shared internals of the PnP manager and the user-mode side (not part of the public API).
#pragma once

#include <wdm.h>

#include <chrono>
#include <cstddef>

namespace hosted::detail {

// ---- user_mode.cpp ---------------------------------------------------------------------
// Handles (file objects not yet closed) open on the device stack whose PDO is `pdo`.
std::size_t OpenHandleCount(PDEVICE_OBJECT pdo);
// The bottom of the stack `device` belongs to.
PDEVICE_OBJECT BottomOfStack(PDEVICE_OBJECT device);

// ---- pnp_manager.cpp -------------------------------------------------------------------
// Whether the I/O manager lets a create through to the stack of `pdo`: STATUS_SUCCESS, or
// the status it fails the open with (not started yet, removal pending, gone).
NTSTATUS PnpCreateAllowed(PDEVICE_OBJECT pdo);
// The last handle of the stack of `pdo` has been closed (IRP_MJ_CLOSE has come back): a
// removal waiting for it is sent now, in the caller's thread.
void PnpLastHandleClosed(PDEVICE_OBJECT pdo);

// Completion of an IRP the system sent and waits for: the completion routine (any thread,
// up to DISPATCH_LEVEL) only records that the IRP is back and returns
// STATUS_MORE_PROCESSING_REQUIRED; the sender frees the IRP after Wait().
class IrpWaiter {
 public:
  // Installs the completion routine in the next stack location (success, error, cancel).
  // `what` names the wait in a deadlock report ("the PnP manager's wait for its IRP").
  void Arm(PIRP irp, const char* what);
  bool Done() const;
  // A kernel wait; false if the IRP has not come back after `realTimeout` where real
  // time-outs apply (in virtual time with automatic advance a driver that never
  // completes the IRP is a deadlock, reported as such).
  bool Wait(std::chrono::milliseconds realTimeout);

 private:
  static NTSTATUS NTAPI Completed(PDEVICE_OBJECT device, PIRP irp, PVOID context);
  const char* what_ = "";
  PIRP irp_ = nullptr;
  bool done_ = false;  // under the dispatcher lock
};

// How long the system waits (real time, on the accelerated clock) for an IRP that should
// come back before it reports the driver as never completing it.
constexpr std::chrono::seconds kSystemIrpPatience{60};

}  // namespace hosted::detail

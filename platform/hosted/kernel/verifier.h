// The hosted kernel's verifier: the checks that stand in for Driver Verifier.
//
// Every check the kernel makes reports here with the routine that detected it. The
// handler decides what a violation does: the test support library turns it into a test
// failure, tools print it and count it for a verdict. After a violation the kernel goes on
// safely where it can (it ignores a second completion, keeps a bad free from freeing).
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace hosted {

enum class Check {
  IrpCompletedTwice,           // IoCompleteRequest on an IRP no driver holds, or freed
  IrpCompletedWithCancelRoutine,
  IrpCompletedPending,         // IoStatus.Status == STATUS_PENDING at completion
  IrpFreedInUse,               // IoFreeIrp while a driver still holds it
  IrpFreedTwice,               // IoFreeIrp of an IRP that is not allocated
  IrpUnknown,                  // an IRP the I/O manager never allocated or initialised
  IrpStackUnderflow,           // no stack location left for the next driver
  IrpLeaked,                   // an IRP still allocated at the end of a test
  PendingNotMarked,            // STATUS_PENDING returned without IoMarkIrpPending
  PendingMarkedNotReturned,    // IoMarkIrpPending, then a status other than STATUS_PENDING
  IrpNotCompleted,             // non-pending status returned for an IRP nobody completed
  IrpCompletedToTop,           // a driver-allocated IRP whose completion walk reached the top
  CallWithSpinLockHeld,        // IoCompleteRequest or IoCallDriver while holding a spin lock
  WaitAtDispatch,              // a wait with a non-zero time-out at DISPATCH_LEVEL
  IrqlNotRestored,             // a driver routine returned at another IRQL
  IrqlInvalid,                 // raise to a lower / lower to a higher IRQL, or above DISPATCH
  SpinLockWrongIrql,           // acquired or released at the wrong IRQL
  SpinLockNotHeld,             // released while not held by this thread
  SpinLockHeld,                // still held when the thread returns to PASSIVE_LEVEL work
  SpinLockRecursive,           // acquired again by the thread that holds it
  PoolLeak,                    // pool still allocated at unload or at the end of a test
  PoolDoubleFree,
  PoolWrongTag,
  PoolBadPointer,              // freeing memory the pool never handed out
  PoolOverrun,                 // a guard byte before or after a block overwritten
  PoolWriteAfterFree,          // a freed block written while it waited in the quarantine
  PoolZeroSize,                // a pool allocation of zero bytes
  PagedPoolAtDispatch,         // paged pool allocated or freed at DISPATCH_LEVEL
  ExecutablePool,              // executable non-paged pool allocated (code integrity check)
  PagedCodeAtDispatch,         // PAGED_CODE() at DISPATCH_LEVEL or above
  Unimplemented,               // a routine the hosted kernel does not implement
  DeviceObjectLeak,            // device objects left at unload or at the end of a test
  DeviceDeletedAttached,       // IoDeleteDevice of a device still attached to a lower one
  DeviceInvalid,               // a device object that does not exist (deleted, garbage)
  HandleLeak,                  // registry handles still open at the end of a test
  InvalidHandle,
  WorkItemMisuse,              // freeing a queued work item, leaking one
  EventInvalid,                // waiting on or setting something that is not an event
  RemoveLockMisuse,
  PowerIrpMisuse,              // a power IRP not released with PoStartNextPowerIrp, or two of a kind at once
  StopDeviceFailed,            // IRP_MN_STOP_DEVICE failed (a driver must refuse the query instead)
  RequestPendingAtClose,       // a handle's request still pending when IRP_MJ_CLOSE is due
  ResetPortWithIoPending,      // IOCTL_INTERNAL_USB_RESET_PORT while transfers are pending
  InvalidParameter,            // any other misuse of a kernel routine
  AssertFailed,                // ASSERT in driver code
  BugCheck,                    // KeBugCheckEx
  Deadlock,                    // every hosted thread blocked, no wait with a deadline: the process stops
};

// The check's stable name, e.g. "irp-completed-twice".
const char* CheckName(Check check);

struct Violation {
  Check check;
  std::string routine;  // the kernel routine (or driver routine) where it was detected
  std::string message;
  // "[verifier] irp-completed-twice in IofCompleteRequest: ..."
  std::string ToString() const;
};

class Verifier {
 public:
  using Handler = std::function<void(const Violation&)>;

  // Reports a violation: recorded, then handed to the handler (from any thread).
  static void Report(Check check, std::string_view routine, std::string message);

  // Installs the handler and returns the previous one. The default handler prints the
  // violation on stderr.
  static Handler SetHandler(Handler handler);
  // Whether a handler other than the default (stderr) one is installed.
  static bool HasHandler();

  // Every violation reported since the last Clear().
  static std::vector<Violation> Violations();
  static std::size_t Count();
  static void Clear();

  // "clean: no violations" or "N violation(s): <first ones>".
  static std::string Verdict();
};

}  // namespace hosted

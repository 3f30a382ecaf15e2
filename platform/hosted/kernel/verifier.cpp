// The verifier's report channel: records violations and hands them to the handler.
#include "verifier.h"

#include <cstdio>
#include <mutex>

namespace hosted {
namespace {

struct VerifierState {
  std::mutex mutex;
  std::vector<Violation> violations;
  Verifier::Handler handler;
};

VerifierState& State() {
  static VerifierState* state = new VerifierState();  // lives for the whole process
  return *state;
}

void DefaultHandler(const Violation& violation) {
  std::fprintf(stderr, "%s\n", violation.ToString().c_str());
}

}  // namespace

const char* CheckName(Check check) {
  switch (check) {
    case Check::IrpCompletedTwice: return "irp-completed-twice";
    case Check::IrpCompletedWithCancelRoutine: return "irp-completed-with-cancel-routine";
    case Check::IrpCompletedPending: return "irp-completed-with-status-pending";
    case Check::IrpFreedInUse: return "irp-freed-while-in-use";
    case Check::IrpFreedTwice: return "irp-freed-twice";
    case Check::IrpUnknown: return "irp-unknown";
    case Check::IrpStackUnderflow: return "irp-stack-underflow";
    case Check::IrpLeaked: return "irp-leaked";
    case Check::PendingNotMarked: return "pending-without-mark";
    case Check::PendingMarkedNotReturned: return "marked-pending-but-returned-status";
    case Check::IrpNotCompleted: return "irp-not-completed";
    case Check::IrpCompletedToTop: return "driver-irp-completed-to-top";
    case Check::CallWithSpinLockHeld: return "call-with-spin-lock-held";
    case Check::WaitAtDispatch: return "wait-at-dispatch-level";
    case Check::IrqlNotRestored: return "irql-not-restored";
    case Check::IrqlInvalid: return "irql-invalid";
    case Check::SpinLockWrongIrql: return "spin-lock-wrong-irql";
    case Check::SpinLockNotHeld: return "spin-lock-not-held";
    case Check::SpinLockHeld: return "spin-lock-still-held";
    case Check::SpinLockRecursive: return "spin-lock-recursive";
    case Check::PoolLeak: return "pool-leak";
    case Check::PoolDoubleFree: return "pool-double-free";
    case Check::PoolWrongTag: return "pool-wrong-tag";
    case Check::PoolBadPointer: return "pool-bad-pointer";
    case Check::PoolOverrun: return "pool-overrun";
    case Check::PoolWriteAfterFree: return "pool-write-after-free";
    case Check::PoolZeroSize: return "pool-zero-size";
    case Check::PagedPoolAtDispatch: return "paged-pool-at-dispatch-level";
    case Check::ExecutablePool: return "executable-pool";
    case Check::PagedCodeAtDispatch: return "paged-code-at-dispatch-level";
    case Check::Unimplemented: return "unimplemented-routine";
    case Check::DeviceObjectLeak: return "device-object-leak";
    case Check::DeviceDeletedAttached: return "device-deleted-while-attached";
    case Check::DeviceInvalid: return "device-object-invalid";
    case Check::HandleLeak: return "handle-leak";
    case Check::InvalidHandle: return "invalid-handle";
    case Check::WorkItemMisuse: return "work-item-misuse";
    case Check::EventInvalid: return "dispatcher-object-invalid";
    case Check::RemoveLockMisuse: return "remove-lock-misuse";
    case Check::PowerIrpMisuse: return "power-irp-misuse";
    case Check::StopDeviceFailed: return "stop-device-failed";
    case Check::RequestPendingAtClose: return "request-pending-at-close";
    case Check::ResetPortWithIoPending: return "reset-port-with-io-pending";
    case Check::InvalidParameter: return "invalid-parameter";
    case Check::AssertFailed: return "assert-failed";
    case Check::BugCheck: return "bug-check";
    case Check::Deadlock: return "deadlock";
  }
  return "unknown-check";
}

std::string Violation::ToString() const {
  return std::string("[verifier] ") + CheckName(check) + " in " + routine + ": " + message;
}

void Verifier::Report(Check check, std::string_view routine, std::string message) {
  Violation violation{check, std::string(routine), std::move(message)};
  Handler handler;
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    State().violations.push_back(violation);
    handler = State().handler;
  }
  if (handler) {
    handler(violation);
  } else {
    DefaultHandler(violation);
  }
}

Verifier::Handler Verifier::SetHandler(Handler handler) {
  std::lock_guard<std::mutex> lock(State().mutex);
  Handler previous = std::move(State().handler);
  State().handler = std::move(handler);
  return previous;
}

bool Verifier::HasHandler() {
  std::lock_guard<std::mutex> lock(State().mutex);
  return static_cast<bool>(State().handler);
}

std::vector<Violation> Verifier::Violations() {
  std::lock_guard<std::mutex> lock(State().mutex);
  return State().violations;
}

std::size_t Verifier::Count() {
  std::lock_guard<std::mutex> lock(State().mutex);
  return State().violations.size();
}

void Verifier::Clear() {
  std::lock_guard<std::mutex> lock(State().mutex);
  State().violations.clear();
}

std::string Verifier::Verdict() {
  std::vector<Violation> violations = Violations();
  if (violations.empty()) return "clean: no violations";
  std::string verdict = std::to_string(violations.size()) + " violation(s):";
  const std::size_t shown = violations.size() < 5 ? violations.size() : 5;
  for (std::size_t i = 0; i < shown; ++i) verdict += "\n  " + violations[i].ToString();
  if (shown < violations.size()) verdict += "\n  ...";
  return verdict;
}

}  // namespace hosted

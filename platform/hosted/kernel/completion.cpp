// Completion and cancel: IofCompleteRequest's walk up the stack, IoCancelIrp.
#include <atomic>

#include <hosted/kernel/scheduler.h>

#include "hold_points.h"
#include "internal.h"

using namespace hosted;
using namespace hosted::detail;

namespace {

std::atomic<int> g_routinesRunning{0};
std::atomic<int> g_unloadsWaiting{0};  // a count: two drivers may unload at once

KernelCondition& RoutinesReturned() {
  static KernelCondition* condition = new KernelCondition("driver routines on their way out");
  return *condition;
}

// What the I/O manager clears in a stack location it has finished with (the completion
// routine, its context and the device object stay).
void ZeroStackLocation(PIO_STACK_LOCATION location) {
  location->MinorFunction = 0;
  location->Flags = 0;
  location->Control = 0;
  location->Parameters.Others.Argument1 = NULL;
  location->Parameters.Others.Argument2 = NULL;
  location->Parameters.Others.Argument3 = NULL;
  location->Parameters.Others.Argument4 = NULL;
  location->FileObject = NULL;
}

bool ShouldInvoke(PIRP irp, const IO_STACK_LOCATION& location) {
  if (location.CompletionRoutine == NULL) return false;
  const bool success = NT_SUCCESS(irp->IoStatus.Status);
  return (success && (location.Control & SL_INVOKE_ON_SUCCESS)) ||
         (!success && (location.Control & SL_INVOKE_ON_ERROR)) ||
         (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && (location.Control & SL_INVOKE_ON_CANCEL));
}

// Walks from the current stack location to the top. At each level PendingReturned is taken
// from that level's SL_PENDING_RETURNED (and carried up when no routine runs); the status is
// re-read at every level, since each completion routine may change it. A routine returning
// STATUS_MORE_PROCESSING_REQUIRED ends the walk: the IRP is not touched after that.
void Walk(PIRP irp) {
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  irp->CurrentLocation++;
  irp->Tail.Overlay.CurrentStackLocation++;
  for (; irp->CurrentLocation <= irp->StackCount + 1;
       location++, irp->CurrentLocation++, irp->Tail.Overlay.CurrentStackLocation++) {
    irp->PendingReturned = (location->Control & SL_PENDING_RETURNED) != 0;
    NoteLevelCompleted(irp, irp->CurrentLocation - 1, irp->PendingReturned);
    if (!ShouldInvoke(irp, *location)) {
      if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) IoMarkIrpPending(irp);
      ZeroStackLocation(location);
      continue;
    }
    PIO_COMPLETION_ROUTINE routine = location->CompletionRoutine;
    PVOID context = location->Context;
    ZeroStackLocation(location);
    PDEVICE_OBJECT device =
        irp->CurrentLocation == irp->StackCount + 1 ? NULL : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
    const KIRQL irql = CurrentIrql();
    const std::size_t locks = CurrentThread().heldLocks.size();
    SuspendCompletion(irp);
    NTSTATUS status;
    {
      const DriverRoutineCall call;
      status = routine(device, irp, context);
    }
    CheckRoutineReturn("completion routine", irql, locks);
    if (status == STATUS_MORE_PROCESSING_REQUIRED) return;
    if (!ResumeCompletion(irp)) return;
  }
  FinishTopCompletion(irp);
}

// The hold point of IoCompleteRequest, keyed by the control code of a device-control
// request and by the major function of any other. BeginCompletion has found the IRP
// allocated and held by a driver, and made this thread its completion's owner.
void PassCompletionHold(PIRP irp) {
  if (irp->CurrentLocation > irp->StackCount) return;
  const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const bool control =
      stack->MajorFunction == IRP_MJ_DEVICE_CONTROL || stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL;
  HoldPoints::Pass(kHoldCompleteRequest, control ? stack->Parameters.DeviceIoControl.IoControlCode : stack->MajorFunction);
}

}  // namespace

// ---- driver routines in flight ----------------------------------------------------------

namespace hosted::detail {

DriverRoutineCall::DriverRoutineCall() { g_routinesRunning.fetch_add(1, std::memory_order_acq_rel); }

DriverRoutineCall::~DriverRoutineCall() {
  if (g_routinesRunning.fetch_sub(1, std::memory_order_acq_rel) == 1 && g_unloadsWaiting.load() != 0) {
    RoutinesReturned().NotifyAll();
  }
}

void WaitDriverRoutinesReturned() {
  g_unloadsWaiting.fetch_add(1);
  RoutinesReturned().Wait([] { return g_routinesRunning.load(std::memory_order_acquire) == 0; });
  g_unloadsWaiting.fetch_sub(1);
}

}  // namespace hosted::detail

// ---- IofCompleteRequest (IoCompleteRequest) --------------------------------------------
// Completes the IRP at the current driver's level: runs the completion routines of the
// drivers above, bottom to top, then hands the IRP to its originator (or, for an IRP the
// I/O manager built, delivers status and event and frees it).
extern "C" VOID __fastcall IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  (void)PriorityBoost;
  if (CurrentIrql() > DISPATCH_LEVEL) {
    Verifier::Report(Check::IrqlInvalid, "IofCompleteRequest", "called above DISPATCH_LEVEL");
  }
  if (!CurrentThread().heldLocks.empty()) CheckNoSpinLockHeldAtCall("IofCompleteRequest", "IRP " + PointerText(Irp));
  if (!BeginCompletion(Irp, "IofCompleteRequest")) return;
  PassCompletionHold(Irp);
  if (Irp->IoStatus.Status == STATUS_PENDING) {
    Verifier::Report(Check::IrpCompletedPending, "IofCompleteRequest",
                     "IRP " + PointerText(Irp) + " completed with IoStatus.Status STATUS_PENDING");
  }
  if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_SEQ_CST) != NULL) {
    Verifier::Report(Check::IrpCompletedWithCancelRoutine, "IofCompleteRequest",
                     "IRP " + PointerText(Irp) + " completed with its cancel routine still set");
    IoSetCancelRoutine(Irp, NULL);
  }
  if (Irp->CurrentLocation <= Irp->StackCount && IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER) {
    CheckPowerIrpReleased(Irp, "IofCompleteRequest");
    NotePowerCompletion(Irp);
  }
  Walk(Irp);
}

// ---- IoCancelIrp -----------------------------------------------------------------------
// Marks the IRP cancelled and, if a cancel routine is set, takes it out and calls it with
// the cancel spin lock held and CancelIrql set; the routine releases the lock.
extern "C" BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
  const KIRQL irqlBefore = CurrentIrql();
  if (irqlBefore > DISPATCH_LEVEL) {
    Verifier::Report(Check::IrqlInvalid, "IoCancelIrp", "called above DISPATCH_LEVEL");
  }
  if (!IsLiveIrp(Irp)) {
    Verifier::Report(Check::IrpUnknown, "IoCancelIrp", "IRP " + PointerText(Irp) + " is not allocated");
    return FALSE;
  }
  const std::size_t locks = CurrentThread().heldLocks.size();
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  __atomic_store_n(&Irp->Cancel, static_cast<BOOLEAN>(TRUE), __ATOMIC_SEQ_CST);
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, NULL);
  if (routine == NULL) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  Irp->CancelIrql = irql;
  PDEVICE_OBJECT device =
      Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : NULL;
  {
    const DriverRoutineCall call;
    routine(device, Irp);
  }
  CheckRoutineReturn("cancel routine (must release the cancel spin lock)", irqlBefore, locks);
  return TRUE;
}

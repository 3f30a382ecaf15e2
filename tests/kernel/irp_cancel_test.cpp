// Cancel: IoCancelIrp, the cancel spin lock, IoSetCancelRoutine, and the completion race.
#include <atomic>
#include <thread>

#include "test_stack.h"

using namespace kerneltest;

namespace {

struct CancelObservation {
  int calls = 0;
  KIRQL irqlInRoutine = 0;
  KIRQL cancelIrql = 0xFF;
  bool cancelFlag = false;
};

CancelObservation* g_observation = nullptr;

// Cancel routine: releases the cancel spin lock and completes the IRP as cancelled.
VOID NTAPI CancelAndComplete(PDEVICE_OBJECT, PIRP irp) {
  if (g_observation != nullptr) {
    g_observation->calls++;
    g_observation->irqlInRoutine = KeGetCurrentIrql();
    g_observation->cancelIrql = irp->CancelIrql;
    g_observation->cancelFlag = irp->Cancel != FALSE;
  }
  IoReleaseCancelSpinLock(irp->CancelIrql);
  Complete(irp, STATUS_CANCELLED);
}

NTSTATUS NTAPI SignalAndStop(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// A bottom driver that parks the IRP as cancellable.
Dispatch ParkCancellable(PIRP* parked) {
  return [parked](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelAndComplete);
    *parked = irp;
    return STATUS_PENDING;
  };
}

TEST(IrpCancel, RoutineRunsAtDispatchLevelWithTheCancelIrqlAndCompletes) {
  TestStack stack(1);
  PIRP parked = nullptr;
  stack.SetDispatch(0, ParkCancellable(&parked));
  CancelObservation observation;
  g_observation = &observation;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP irp = NewIrp(stack);
  IoSetCompletionRoutine(irp, SignalAndStop, &done, TRUE, TRUE, TRUE);
  EXPECT_EQ(IoCallDriver(stack.top(), irp), STATUS_PENDING);

  EXPECT_TRUE(IoCancelIrp(irp));

  g_observation = nullptr;
  EXPECT_EQ(observation.calls, 1);
  EXPECT_EQ(observation.irqlInRoutine, DISPATCH_LEVEL);
  EXPECT_EQ(observation.cancelIrql, PASSIVE_LEVEL);
  EXPECT_TRUE(observation.cancelFlag);
  EXPECT_EQ(KeReadStateEvent(&done), 1);
  EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(irp->CancelRoutine, nullptr);
  IoFreeIrp(irp);
}

TEST(IrpCancel, WithoutACancelRoutineOnlyTheFlagIsSet) {
  TestStack stack(1);
  PIRP parked = nullptr;
  stack.SetDispatch(0, [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    parked = irp;
    return STATUS_PENDING;
  });
  PIRP irp = NewIrp(stack);
  EXPECT_EQ(IoCallDriver(stack.top(), irp), STATUS_PENDING);
  EXPECT_FALSE(IoCancelIrp(irp));
  EXPECT_TRUE(irp->Cancel);
  EXPECT_EQ(irp->CurrentLocation, 1);  // still held by the bottom driver
  Complete(parked, STATUS_SUCCESS);
  IoFreeIrp(irp);
}

TEST(IrpCancel, SetCancelRoutineExchangesAndReturnsThePreviousOne) {
  PIRP irp = IoAllocateIrp(1, FALSE);
  EXPECT_EQ(IoSetCancelRoutine(irp, CancelAndComplete), nullptr);
  EXPECT_EQ(IoSetCancelRoutine(irp, NULL), &CancelAndComplete);
  EXPECT_EQ(IoSetCancelRoutine(irp, NULL), nullptr);
  IoFreeIrp(irp);
}

// IoCancelIrp against a completer that owns the IRP only if IoSetCancelRoutine(NULL) gives
// back the routine: whatever the interleaving, the IRP completes exactly once.
TEST(IrpCancel, CancelRacingCompletionCompletesExactlyOnce) {
  TestStack stack(1);
  PIRP parked = nullptr;
  stack.SetDispatch(0, ParkCancellable(&parked));
  int cancelled = 0;
  int completed = 0;
  for (int round = 0; round < 400; ++round) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    std::atomic<int> completions{0};
    PIRP irp = NewIrp(stack);
    struct Context {
      KEVENT* done;
      std::atomic<int>* completions;
    } context{&done, &completions};
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID c) NTAPI -> NTSTATUS {
          auto* ctx = static_cast<Context*>(c);
          ctx->completions->fetch_add(1);
          KeSetEvent(ctx->done, IO_NO_INCREMENT, FALSE);
          return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &context, TRUE, TRUE, TRUE);
    ASSERT_EQ(IoCallDriver(stack.top(), irp), STATUS_PENDING);
    std::atomic<bool> go{false};
    std::thread canceller([&] {
      while (!go.load()) std::this_thread::yield();
      IoCancelIrp(irp);
    });
    std::thread completer([&] {
      while (!go.load()) std::this_thread::yield();
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      if (IoSetCancelRoutine(parked, NULL) != NULL) Complete(parked, STATUS_SUCCESS);
      KeLowerIrql(old);
    });
    go.store(true);
    canceller.join();
    completer.join();
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    ASSERT_EQ(completions.load(), 1) << "round " << round;
    (irp->IoStatus.Status == STATUS_CANCELLED ? cancelled : completed)++;
    IoFreeIrp(irp);
  }
  EXPECT_EQ(cancelled + completed, 400);
}

}  // namespace

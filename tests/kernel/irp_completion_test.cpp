// The completion walk: routine order, Control flags, status per level, MORE_PROCESSING,
// PendingReturned.
#include <thread>

#include "test_stack.h"

using namespace kerneltest;

namespace {

struct Recorded {
  std::vector<std::pair<int, PDEVICE_OBJECT>> calls;  // (routine id, DeviceObject argument)
  std::vector<bool> pendingReturned;
};

struct RoutineContext {
  Recorded* recorded;
  int id;
  NTSTATUS result = STATUS_CONTINUE_COMPLETION;
  bool propagatePending = true;
};

NTSTATUS NTAPI RecordingRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto* c = static_cast<RoutineContext*>(context);
  c->recorded->calls.emplace_back(c->id, device);
  c->recorded->pendingReturned.push_back(irp->PendingReturned != FALSE);
  if (c->propagatePending && irp->PendingReturned && c->result != STATUS_MORE_PROCESSING_REQUIRED) {
    IoMarkIrpPending(irp);
  }
  return c->result;
}

// Forwards with a recording completion routine in the location below.
Dispatch ForwardRecording(RoutineContext* context) {
  return [context](PDEVICE_OBJECT self, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, RecordingRoutine, context, TRUE, TRUE, TRUE);
    return IoCallDriver(Ext(self)->lower, irp);
  };
}

TEST(IrpCompletion, RoutinesRunBottomToTopWithTheDeviceOfTheirLevel) {
  TestStack stack(3);
  Recorded recorded;
  RoutineContext middle{&recorded, 1}, top{&recorded, 2}, originator{&recorded, 3, STATUS_MORE_PROCESSING_REQUIRED};
  stack.SetDispatch(1, ForwardRecording(&middle));
  stack.SetDispatch(2, ForwardRecording(&top));
  PIRP irp = NewIrp(stack);
  IoSetCompletionRoutine(irp, RecordingRoutine, &originator, TRUE, TRUE, TRUE);

  EXPECT_EQ(IoCallDriver(stack.top(), irp), STATUS_SUCCESS);

  ASSERT_EQ(recorded.calls.size(), 3u);
  EXPECT_EQ(recorded.calls[0], std::make_pair(1, stack[1]));
  EXPECT_EQ(recorded.calls[1], std::make_pair(2, stack[2]));
  // The originator owns no stack location of its own: it gets no device object.
  EXPECT_EQ(recorded.calls[2], std::make_pair(3, PDEVICE_OBJECT(nullptr)));
  IoFreeIrp(irp);
}

struct FlagsRow {
  NTSTATUS status;
  bool onSuccess, onError, onCancel;
  bool cancelled;
};

class IrpCompletionFlags : public ::testing::TestWithParam<FlagsRow> {};

// Statuses of all four severities, invented codes included, against every flag set.
TEST_P(IrpCompletionFlags, ControlFlagsSelectTheRoutine) {
  const FlagsRow row = GetParam();
  TestStack stack(1);
  stack.SetDispatch(0, [&](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, row.status); });
  Recorded recorded;
  RoutineContext context{&recorded, 1, STATUS_MORE_PROCESSING_REQUIRED};
  PIRP irp = NewIrp(stack);
  IoSetCompletionRoutine(irp, RecordingRoutine, &context, row.onSuccess, row.onError, row.onCancel);
  if (row.cancelled) {
    EXPECT_FALSE(IoCancelIrp(irp));  // no cancel routine: only the flag is set
  }

  const bool expected = (NT_SUCCESS(row.status) && row.onSuccess) || (!NT_SUCCESS(row.status) && row.onError) ||
                        (row.cancelled && row.onCancel);
  {
    // A sender's routine that is not called lets the walk run past the top of the stack.
    hosted::test::ExpectViolation pastTheTop(hosted::Check::IrpCompletedToTop, "", expected ? 0 : 1);
    EXPECT_EQ(IoCallDriver(stack.top(), irp), row.status);
    EXPECT_EQ(pastTheTop.Count(), expected ? 0u : 1u);
  }
  EXPECT_EQ(recorded.calls.size(), expected ? 1u : 0u);
  IoFreeIrp(irp);
}

std::vector<FlagsRow> FlagRows() {
  const NTSTATUS statuses[] = {STATUS_SUCCESS,        STATUS_TIMEOUT,           STATUS_OBJECT_NAME_EXISTS,
                               STATUS_BUFFER_OVERFLOW, static_cast<NTSTATUS>(0x8ABC0001), STATUS_UNSUCCESSFUL,
                               STATUS_CANCELLED,      static_cast<NTSTATUS>(0xE0DE0042), static_cast<NTSTATUS>(0x2ABC0001)};
  std::vector<FlagsRow> rows;
  for (NTSTATUS status : statuses) {
    for (int flags = 0; flags < 8; ++flags) {
      for (bool cancelled : {false, true}) {
        rows.push_back(FlagsRow{status, (flags & 1) != 0, (flags & 2) != 0, (flags & 4) != 0, cancelled});
      }
    }
  }
  return rows;
}

INSTANTIATE_TEST_SUITE_P(AllSeverities, IrpCompletionFlags, ::testing::ValuesIn(FlagRows()),
                         [](const ::testing::TestParamInfo<FlagsRow>& info) {
                           char name[64];
                           std::snprintf(name, sizeof name, "s%08X_%c%c%c_%s", static_cast<unsigned>(info.param.status),
                                         info.param.onSuccess ? 'S' : '_', info.param.onError ? 'E' : '_',
                                         info.param.onCancel ? 'C' : '_', info.param.cancelled ? "cancelled" : "plain");
                           return std::string(name);
                         });

NTSTATUS NTAPI TurnIntoSuccess(PDEVICE_OBJECT, PIRP irp, PVOID) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  return STATUS_CONTINUE_COMPLETION;
}

// A routine above sees the status as the routines below left it, not as first completed.
TEST(IrpCompletion, StatusIsReadAgainAtEachLevel) {
  TestStack stack(2);
  stack.SetDispatch(0, [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_IO_TIMEOUT); });
  stack.SetDispatch(1, [](PDEVICE_OBJECT self, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, TurnIntoSuccess, nullptr, FALSE, TRUE, FALSE);
    return IoCallDriver(Ext(self)->lower, irp);
  });
  Recorded recorded;
  RoutineContext onSuccessOnly{&recorded, 1, STATUS_MORE_PROCESSING_REQUIRED};
  PIRP irp = NewIrp(stack);
  IoSetCompletionRoutine(irp, RecordingRoutine, &onSuccessOnly, TRUE, FALSE, FALSE);

  EXPECT_EQ(IoCallDriver(stack.top(), irp), STATUS_IO_TIMEOUT);  // what the bottom returned

  EXPECT_EQ(recorded.calls.size(), 1u);
  EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
  IoFreeIrp(irp);
}

NTSTATUS NTAPI SignalAndStop(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// The forward-and-wait pattern: the middle driver stops the walk, finishes its own work,
// then completes the IRP again, which resumes the walk at its level.
TEST(IrpCompletion, MoreProcessingRequiredStopsTheWalkAndALaterCompletionResumesIt) {
  TestStack stack(2);
  Recorded recorded;
  RoutineContext originator{&recorded, 9, STATUS_MORE_PROCESSING_REQUIRED};
  bool originatorRanEarly = true;
  stack.SetDispatch(1, [&](PDEVICE_OBJECT self, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalAndStop, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(Ext(self)->lower, irp);
    if (status == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    originatorRanEarly = !recorded.calls.empty();
    return Complete(irp, static_cast<NTSTATUS>(0x00000042));
  });
  PIRP irp = NewIrp(stack);
  IoSetCompletionRoutine(irp, RecordingRoutine, &originator, TRUE, TRUE, TRUE);

  EXPECT_EQ(IoCallDriver(stack.top(), irp), static_cast<NTSTATUS>(0x00000042));

  EXPECT_FALSE(originatorRanEarly);
  EXPECT_EQ(recorded.calls.size(), 1u);
  IoFreeIrp(irp);
}

enum class Middle { SkipsItsLocation, CopiesWithoutRoutine, RoutinePropagates };

struct PendingRow {
  Middle middle;
  bool bottomPends;
};

class IrpCompletionPending : public ::testing::TestWithParam<PendingRow> {};

// SL_PENDING_RETURNED of the bottom driver reaches the originator through every way a
// middle driver can forward: skipping, copying without a routine (the I/O manager carries
// it up), or a routine that marks the IRP pending itself.
TEST_P(IrpCompletionPending, PendingReturnedReachesTheOriginator) {
  const PendingRow row = GetParam();
  TestStack stack(2);
  PIRP held = nullptr;
  stack.SetDispatch(0, [&](PDEVICE_OBJECT, PIRP irp) {
    if (!row.bottomPends) return Complete(irp, STATUS_SUCCESS);
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  });
  Recorded recorded;
  RoutineContext middleRoutine{&recorded, 1};
  stack.SetDispatch(1, [&](PDEVICE_OBJECT self, PIRP irp) {
    switch (row.middle) {
      case Middle::SkipsItsLocation: IoSkipCurrentIrpStackLocation(irp); break;
      case Middle::CopiesWithoutRoutine: IoCopyCurrentIrpStackLocationToNext(irp); break;
      case Middle::RoutinePropagates:
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, RecordingRoutine, &middleRoutine, TRUE, TRUE, TRUE);
        break;
    }
    return IoCallDriver(Ext(self)->lower, irp);
  });
  RoutineContext originator{&recorded, 2, STATUS_MORE_PROCESSING_REQUIRED};
  PIRP irp = NewIrp(stack);
  IoSetCompletionRoutine(irp, RecordingRoutine, &originator, TRUE, TRUE, TRUE);

  const NTSTATUS status = IoCallDriver(stack.top(), irp);
  EXPECT_EQ(status, row.bottomPends ? STATUS_PENDING : STATUS_SUCCESS);
  if (row.bottomPends) {
    std::thread completer([&] {
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);  // as a USB stack completes: from its own thread
      Complete(held, STATUS_SUCCESS);
      KeLowerIrql(old);
    });
    completer.join();
  }

  ASSERT_FALSE(recorded.pendingReturned.empty());
  EXPECT_EQ(recorded.pendingReturned.back(), row.bottomPends);
  IoFreeIrp(irp);
}

INSTANTIATE_TEST_SUITE_P(Forwarding, IrpCompletionPending,
                         ::testing::Values(PendingRow{Middle::SkipsItsLocation, false},
                                           PendingRow{Middle::SkipsItsLocation, true},
                                           PendingRow{Middle::CopiesWithoutRoutine, false},
                                           PendingRow{Middle::CopiesWithoutRoutine, true},
                                           PendingRow{Middle::RoutinePropagates, false},
                                           PendingRow{Middle::RoutinePropagates, true}));

// The sender's view of one URB-style request: it waits on its event, reads the status and
// frees the IRP, the same whether the lower driver completed at once or later from its own
// thread at DISPATCH_LEVEL.
TEST(IrpCompletion, SynchronousAndPendingCompletionLookTheSameToTheSender) {
  for (bool pend : {false, true}) {
    SCOPED_TRACE(pend ? "pending" : "synchronous");
    const std::size_t irpsBefore = hosted::OutstandingIrps();
    TestStack stack(1);
    std::thread lowerThread;
    stack.SetDispatch(0, [&](PDEVICE_OBJECT, PIRP irp) {
      if (!pend) return Complete(irp, STATUS_DEVICE_PROTOCOL_ERROR);
      IoMarkIrpPending(irp);
      lowerThread = std::thread([irp] {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        Complete(irp, STATUS_DEVICE_PROTOCOL_ERROR);
        KeLowerIrql(old);
      });
      return STATUS_PENDING;
    });
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = NewIrp(stack, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    IoSetCompletionRoutine(irp, SignalAndStop, &done, TRUE, TRUE, TRUE);
    IoCallDriver(stack.top(), irp);
    EXPECT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL), STATUS_SUCCESS);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_DEVICE_PROTOCOL_ERROR);
    IoFreeIrp(irp);
    if (lowerThread.joinable()) lowerThread.join();
    EXPECT_EQ(hosted::OutstandingIrps(), irpsBefore);
  }
}

// What a finished level looked like is gone: the I/O manager clears the lower location's
// parameters before the routine above runs.
TEST(IrpCompletion, FinishedStackLocationsAreCleared) {
  TestStack stack(1);
  int urb = 0;
  PVOID argumentSeen = &urb;
  PIRP irp = NewIrp(stack, IRP_MJ_INTERNAL_DEVICE_CONTROL);
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
  stack.SetDispatch(0, [&](PDEVICE_OBJECT, PIRP request) {
    EXPECT_EQ(IoGetCurrentIrpStackLocation(request)->Parameters.Others.Argument1, &urb);
    return Complete(request, STATUS_SUCCESS);
  });
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, SignalAndStop, &done, TRUE, TRUE, TRUE);
  IoCallDriver(stack.top(), irp);
  argumentSeen = IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1;
  EXPECT_EQ(argumentSeen, nullptr);
  IoFreeIrp(irp);
}

}  // namespace

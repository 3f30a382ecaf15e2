// Every verifier check, proven by committing its fault on purpose. Each row's fault must be
// reported as that check (and the kernel must carry on safely: the row cleans up after).
#include <functional>

#include "test_stack.h"

using namespace kerneltest;
using hosted::Check;

namespace {

constexpr ULONG kTag = 'tseT';

// A driver whose unload forgets what its entry made: one pool block and one device.
PVOID g_leakedBlock = nullptr;
VOID NTAPI ForgetfulUnload(PDRIVER_OBJECT) {}
NTSTATUS NTAPI EntryThatAllocates(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  g_leakedBlock = ExAllocatePoolWithTag(NonPagedPoolNx, 24, kTag);
  driver->DriverUnload = ForgetfulUnload;
  return STATUS_SUCCESS;
}
NTSTATUS NTAPI EntryThatCreatesADevice(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  PDEVICE_OBJECT device;
  driver->DriverUnload = ForgetfulUnload;
  return IoCreateDevice(driver, 16, NULL, FILE_DEVICE_SMARTCARD, 0, FALSE, &device);
}

VOID NTAPI SomeCancelRoutine(PDEVICE_OBJECT, PIRP irp) { IoReleaseCancelSpinLock(irp->CancelIrql); }

void PageableHelper() { PAGED_CODE(); }

// Sends a fresh IRP through a one-device stack whose dispatch is `dispatch`, then frees it.
void SendThrough(Dispatch dispatch) {
  TestStack stack(1);
  stack.SetDispatch(0, std::move(dispatch));
  PIRP irp = NewIrp(stack);
  IoCallDriver(stack.top(), irp);
  IoFreeIrp(irp);
}

struct FaultRow {
  const char* name;
  Check check;
  std::function<void()> commit;
  const char* mentions = nullptr;  // what every report of the row must name, if anything
  std::size_t reports = 1;         // how many reports the row makes at least
};

class Verifier : public ::testing::TestWithParam<FaultRow> {};

TEST_P(Verifier, FaultIsReportedAsItsCheck) {
  const FaultRow& row = GetParam();
  hosted::test::ExpectViolation expected(row.check, "", row.reports);
  row.commit();
  for (const hosted::Violation& violation : expected.Seen()) {
    EXPECT_FALSE(violation.routine.empty());
    EXPECT_NE(violation.ToString().find(hosted::CheckName(row.check)), std::string::npos);
    if (row.mentions != nullptr) {
      EXPECT_NE(violation.ToString().find(row.mentions), std::string::npos) << violation.ToString();
    }
  }
}

const FaultRow kFaults[] = {
    {"CompletedTwiceInDispatch", Check::IrpCompletedTwice,
     [] {
       SendThrough([](PDEVICE_OBJECT, PIRP irp) {
         Complete(irp, STATUS_SUCCESS);
         return Complete(irp, STATUS_SUCCESS);
       });
     }},
    {"CompletedAgainByTheOriginator", Check::IrpCompletedTwice,
     [] {
       TestStack stack(1);
       PIRP irp = NewIrp(stack);
       IoCallDriver(stack.top(), irp);
       IoCompleteRequest(irp, IO_NO_INCREMENT);
       IoFreeIrp(irp);
     }},
    {"CompletedWithCancelRoutine", Check::IrpCompletedWithCancelRoutine,
     [] {
       SendThrough([](PDEVICE_OBJECT, PIRP irp) {
         IoSetCancelRoutine(irp, SomeCancelRoutine);
         return Complete(irp, STATUS_SUCCESS);
       });
     }},
    {"CompletedWithStatusPending", Check::IrpCompletedPending,
     [] {
       SendThrough([](PDEVICE_OBJECT, PIRP irp) {
         IoMarkIrpPending(irp);
         Complete(irp, STATUS_PENDING);
         return STATUS_PENDING;
       });
     }},
    {"FreedWhileTheLowerDriverHoldsIt", Check::IrpFreedInUse,
     [] {
       TestStack stack(1);
       PIRP parked = nullptr;
       stack.SetDispatch(0, [&](PDEVICE_OBJECT, PIRP irp) {
         IoMarkIrpPending(irp);
         parked = irp;
         return STATUS_PENDING;
       });
       PIRP irp = NewIrp(stack);
       IoCallDriver(stack.top(), irp);
       IoFreeIrp(irp);  // refused: the bottom driver still holds it
       Complete(parked, STATUS_SUCCESS);
       IoFreeIrp(irp);
     }},
    {"FreedTwice", Check::IrpFreedTwice,
     [] {
       PIRP irp = IoAllocateIrp(1, FALSE);
       IoFreeIrp(irp);
       IoFreeIrp(irp);
     }},
    {"PendingReturnedWithoutMarkThenCompleted", Check::PendingNotMarked,
     [] {
       TestStack stack(1);
       PIRP parked = nullptr;
       stack.SetDispatch(0, [&](PDEVICE_OBJECT, PIRP irp) {
         parked = irp;
         return STATUS_PENDING;
       });
       PIRP irp = NewIrp(stack);
       IoCallDriver(stack.top(), irp);
       Complete(parked, STATUS_SUCCESS);
       IoFreeIrp(irp);
     }},
    {"CompletedThenPendingReturnedWithoutMark", Check::PendingNotMarked,
     [] {
       SendThrough([](PDEVICE_OBJECT, PIRP irp) {
         Complete(irp, STATUS_SUCCESS);
         return STATUS_PENDING;
       });
     }},
    {"PendingPassedUpByARoutineThatDoesNotMark", Check::PendingNotMarked,
     [] {
       TestStack stack(2);
       PIRP parked = nullptr;
       stack.SetDispatch(0, [&](PDEVICE_OBJECT, PIRP irp) {
         IoMarkIrpPending(irp);
         parked = irp;
         return STATUS_PENDING;
       });
       stack.SetDispatch(1, [](PDEVICE_OBJECT self, PIRP irp) {
         IoCopyCurrentIrpStackLocationToNext(irp);
         IoSetCompletionRoutine(
             irp, [](PDEVICE_OBJECT, PIRP, PVOID) NTAPI -> NTSTATUS { return STATUS_CONTINUE_COMPLETION; }, nullptr, TRUE,
             TRUE, TRUE);
         return IoCallDriver(Ext(self)->lower, irp);
       });
       PIRP irp = NewIrp(stack);
       IoCallDriver(stack.top(), irp);
       Complete(parked, STATUS_SUCCESS);
       IoFreeIrp(irp);
     }},
    {"MarkedPendingButReturnedSuccess", Check::PendingMarkedNotReturned,
     [] {
       SendThrough([](PDEVICE_OBJECT, PIRP irp) {
         IoMarkIrpPending(irp);
         Complete(irp, STATUS_SUCCESS);
         return STATUS_SUCCESS;
       });
     }},
    {"ReturnedSuccessWithoutCompleting", Check::IrpNotCompleted,
     [] {
       TestStack stack(1);
       PIRP held = nullptr;
       stack.SetDispatch(0, [&](PDEVICE_OBJECT, PIRP irp) {
         held = irp;
         return STATUS_SUCCESS;
       });
       PIRP irp = NewIrp(stack);
       IoCallDriver(stack.top(), irp);
       Complete(held, STATUS_SUCCESS);
       IoFreeIrp(irp);
     }},
    {"CompletedHoldingASpinLock", Check::CallWithSpinLockHeld,
     [] {
       KSPIN_LOCK lock;
       KeInitializeSpinLock(&lock);
       SendThrough([&](PDEVICE_OBJECT, PIRP irp) {
         KIRQL old;
         KeAcquireSpinLock(&lock, &old);
         irp->IoStatus.Status = STATUS_SUCCESS;
         IoCompleteRequest(irp, IO_NO_INCREMENT);
         KeReleaseSpinLock(&lock, old);
         return STATUS_SUCCESS;
       });
     },
     "IofCompleteRequest"},
    {"PassedDownHoldingASpinLock", Check::CallWithSpinLockHeld,
     [] {
       KSPIN_LOCK lock;
       KeInitializeSpinLock(&lock);
       TestStack stack(2);
       PIRP parked = nullptr;
       stack.SetDispatch(0, [&](PDEVICE_OBJECT, PIRP irp) {
         IoMarkIrpPending(irp);
         parked = irp;
         return STATUS_PENDING;
       });
       stack.SetDispatch(1, [&](PDEVICE_OBJECT self, PIRP irp) {
         KIRQL old;
         KeAcquireSpinLock(&lock, &old);
         IoSkipCurrentIrpStackLocation(irp);
         const NTSTATUS status = IoCallDriver(Ext(self)->lower, irp);
         KeReleaseSpinLock(&lock, old);
         return status;
       });
       PIRP irp = NewIrp(stack);
       IoCallDriver(stack.top(), irp);
       Complete(parked, STATUS_SUCCESS);
       IoFreeIrp(irp);
     },
     "IofCallDriver"},
    {"DriverIrpCompletedPastTheTop", Check::IrpCompletedToTop,
     [] {
       TestStack stack(1);
       PIRP irp = IoAllocateIrp(stack.top()->StackSize, FALSE);  // no routine keeps it
       IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
       IoCallDriver(stack.top(), irp);
       IoFreeIrp(irp);
     }},
    {"PassiveLevelRoutinesAtDispatchLevel", Check::IrqlInvalid,
     [] {
       UNICODE_STRING guidText = RTL_CONSTANT_STRING(u"{00000001-1111-2222-3333-444455556666}");
       UNICODE_STRING missing = RTL_CONSTANT_STRING(u"\\??\\NoSuchLink");
       UNICODE_STRING empty{};
       GUID guid;
       UNICODE_STRING machine = RTL_CONSTANT_STRING(u"\\Registry\\Machine");
       OBJECT_ATTRIBUTES attributes;
       InitializeObjectAttributes(&attributes, &machine, OBJ_CASE_INSENSITIVE, NULL, NULL);
       HANDLE key = NULL;
       ASSERT_EQ(ZwOpenKey(&key, KEY_READ, &attributes), STATUS_SUCCESS);
       KIRQL old;
       KeRaiseIrql(DISPATCH_LEVEL, &old);
       (void)RtlGUIDFromString(&guidText, &guid);
       RtlFreeUnicodeString(&empty);
       (void)IoSetDeviceInterfaceState(&missing, FALSE);
       (void)IoDeleteSymbolicLink(&missing);
       (void)ZwClose(key);
       KeLowerIrql(old);
     },
     "runs only at PASSIVE_LEVEL", 5},
    {"NoStackLocationLeft", Check::IrpStackUnderflow,
     [] {
       TestStack stack(2);
       stack.SetDispatch(1, [](PDEVICE_OBJECT self, PIRP irp) {
         IoCopyCurrentIrpStackLocationToNext(irp);
         return Complete(irp, IoCallDriver(Ext(self)->lower, irp));
       });
       PIRP irp = IoAllocateIrp(1, FALSE);  // one location short
       IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
       IoSetCompletionRoutine(irp, BackToTheSender, nullptr, TRUE, TRUE, TRUE);
       EXPECT_EQ(IoCallDriver(stack.top(), irp), STATUS_INVALID_DEVICE_REQUEST);
       IoFreeIrp(irp);
     }},
    {"TimedWaitAtDispatchLevel", Check::WaitAtDispatch,
     [] {
       KEVENT event;
       KeInitializeEvent(&event, NotificationEvent, FALSE);
       KIRQL old;
       KeRaiseIrql(DISPATCH_LEVEL, &old);
       LARGE_INTEGER timeout;
       timeout.QuadPart = -10000;
       EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
       KeLowerIrql(old);
     }},
    {"DispatchReturnsAtRaisedIrql", Check::IrqlNotRestored,
     [] {
       SendThrough([](PDEVICE_OBJECT, PIRP irp) {
         KIRQL old;
         KeRaiseIrql(APC_LEVEL, &old);
         return Complete(irp, STATUS_SUCCESS);
       });
       EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
     }},
    {"LowerToAHigherIrql", Check::IrqlInvalid, [] { KeLowerIrql(DISPATCH_LEVEL), KeLowerIrql(PASSIVE_LEVEL); }},
    {"DpcLevelAcquireAtPassive", Check::SpinLockWrongIrql,
     [] {
       KSPIN_LOCK lock;
       KeInitializeSpinLock(&lock);
       KeAcquireSpinLockAtDpcLevel(&lock);
       KeReleaseSpinLockFromDpcLevel(&lock);
     }},
    {"ReleaseWithoutAcquire", Check::SpinLockNotHeld,
     [] {
       KSPIN_LOCK lock;
       KeInitializeSpinLock(&lock);
       KIRQL old;
       KeRaiseIrql(DISPATCH_LEVEL, &old);
       KeReleaseSpinLockFromDpcLevel(&lock);
       KeLowerIrql(old);
     }},
    {"LowerToPassiveHoldingALock", Check::SpinLockHeld,
     [] {
       KSPIN_LOCK lock;
       KeInitializeSpinLock(&lock);
       KIRQL old;
       KeAcquireSpinLock(&lock, &old);
       KeLowerIrql(PASSIVE_LEVEL);
       KeRaiseIrql(DISPATCH_LEVEL, &old);
       KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
     }},
    {"LockStillHeldAtTheEndCheck", Check::SpinLockHeld,
     [] {
       KSPIN_LOCK lock;
       KeInitializeSpinLock(&lock);
       KIRQL old;
       KeAcquireSpinLock(&lock, &old);
       hosted::CheckNoSpinLocksHeld("in the test");
       KeReleaseSpinLock(&lock, old);
     }},
    {"AcquiredRecursively", Check::SpinLockRecursive,
     [] {
       KSPIN_LOCK lock;
       KeInitializeSpinLock(&lock);
       KIRQL old;
       KeAcquireSpinLock(&lock, &old);
       KeAcquireSpinLockAtDpcLevel(&lock);
       KeReleaseSpinLock(&lock, old);
     }},
    {"PoolLeakedAtUnload", Check::PoolLeak,
     [] {
       PDRIVER_OBJECT driver = hosted::Drivers::Load(EntryThatAllocates);
       ASSERT_NE(driver, nullptr);
       hosted::Drivers::Unload(driver);
       EXPECT_EQ(hosted::Pool::OutstandingCount(kTag), 0u);  // the check released it
     }},
    {"PoolFreedTwice", Check::PoolDoubleFree,
     [] {
       PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
       ExFreePoolWithTag(block, kTag);
       ExFreePoolWithTag(block, kTag);
     }},
    {"PoolFreedWithTheWrongTag", Check::PoolWrongTag,
     [] { ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag), 'gnrW'); }},
    {"FreeingForeignMemory", Check::PoolBadPointer,
     [] {
       int local = 0;
       ExFreePool(&local);
     }},
    {"PoolWrittenOneBytePastItsEnd", Check::PoolOverrun,
     [] {
       auto* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, 24, kTag));
       block[24] = 0;
       ExFreePoolWithTag(block, kTag);
     },
     "tag 'Test', 24 bytes, from ExAllocatePoolWithTag"},
    {"PoolWrittenOneByteBeforeItsStart", Check::PoolOverrun,
     [] {
       auto* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, 7, kTag));
       block[-1] = 0;
       ExFreePoolWithTag(block, kTag);
     },
     "1 byte(s) before its start"},
    {"PoolOverrunFoundByTheEndOfTestCheck", Check::PoolOverrun,
     [] {
       auto* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag));
       const hosted::KernelSnapshot snapshot = hosted::TakeSnapshot();
       block[17] = 0;
       hosted::CheckForLeaks(snapshot, "in the test");
       ExFreePoolWithTag(block, kTag);  // reported once: the check put the guard back
     },
     "2 byte(s) past its end in the test"},
    {"ZeroBytesOfPool", Check::PoolZeroSize,
     [] { ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPoolNx, 0, kTag), kTag); }},
    {"ExecutableNonPagedPool", Check::ExecutablePool,
     [] { ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPoolExecute, 8, kTag), kTag); }},
    {"ExecutableCacheAlignedPool", Check::ExecutablePool,
     [] { ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPoolCacheAligned, 8, kTag), kTag); }},
    {"MustSucceedPool", Check::InvalidParameter,
     [] { ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPoolMustSucceed, 8, kTag), kTag); }},
    {"PagedPoolAtDispatchLevel", Check::PagedPoolAtDispatch,
     [] {
       KIRQL old;
       KeRaiseIrql(DISPATCH_LEVEL, &old);
       PVOID block = ExAllocatePoolWithTag(PagedPool, 8, kTag);
       KeLowerIrql(old);
       ExFreePoolWithTag(block, kTag);
     }},
    {"PageableCodeAtDispatchLevel", Check::PagedCodeAtDispatch,
     [] {
       KIRQL old;
       KeRaiseIrql(DISPATCH_LEVEL, &old);
       PageableHelper();
       KeLowerIrql(old);
     }},
    {"UnimplementedRoutine", Check::Unimplemented,
     [] {
       KTIMER timer;
       LARGE_INTEGER due;
       due.QuadPart = -1;
       EXPECT_FALSE(KeSetTimer(&timer, due, NULL));
     }},
    {"DeviceLeftAtUnload", Check::DeviceObjectLeak,
     [] {
       PDRIVER_OBJECT driver = hosted::Drivers::Load(EntryThatCreatesADevice);
       ASSERT_NE(driver, nullptr);
       hosted::Drivers::Unload(driver);
     }},
    {"DeletedWhileAttached", Check::DeviceDeletedAttached,
     [] {
       PDRIVER_OBJECT driver = hosted::Drivers::Create("attached");
       PDEVICE_OBJECT lower, upper;
       IoCreateDevice(driver, 0, NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower);
       IoCreateDevice(driver, 0, NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper);
       IoAttachDeviceToDeviceStack(upper, lower);
       IoDeleteDevice(upper);
       IoDetachDevice(lower);
       IoDeleteDevice(lower);
       hosted::Drivers::Destroy(driver);
     }},
    {"SentToAStaleDevice", Check::DeviceInvalid,
     [] {
       DEVICE_OBJECT fake{};
       PIRP irp = IoAllocateIrp(1, FALSE);
       IoSetCompletionRoutine(irp, BackToTheSender, nullptr, TRUE, TRUE, TRUE);
       EXPECT_EQ(IoCallDriver(&fake, irp), STATUS_NO_SUCH_DEVICE);
       IoFreeIrp(irp);
     }},
    {"RegistryHandleLeft", Check::HandleLeak,
     [] {
       const hosted::KernelSnapshot snapshot = hosted::TakeSnapshot();
       UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Registry\\Machine");
       OBJECT_ATTRIBUTES attributes;
       InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
       HANDLE key;
       ZwOpenKey(&key, KEY_READ, &attributes);
       hosted::CheckForLeaks(snapshot, "in the test");
     }},
    {"IrpLeft", Check::IrpLeaked,
     [] {
       const hosted::KernelSnapshot snapshot = hosted::TakeSnapshot();
       IoAllocateIrp(2, FALSE);
       hosted::CheckForLeaks(snapshot, "in the test");
     }},
    {"ClosingAForeignHandle", Check::InvalidHandle,
     [] { EXPECT_EQ(ZwClose(reinterpret_cast<HANDLE>(0x1234)), STATUS_INVALID_HANDLE); }},
    {"WorkItemFreedTwice", Check::WorkItemMisuse,
     [] {
       TestStack stack(1);
       PIO_WORKITEM item = IoAllocateWorkItem(stack.top());
       IoFreeWorkItem(item);
       IoFreeWorkItem(item);
     }},
    {"SettingSomethingThatIsNotAnEvent", Check::EventInvalid,
     [] {
       KEVENT garbage{};
       KeSetEvent(&garbage, IO_NO_INCREMENT, FALSE);
     }},
    {"RemoveLockReleasedTooOften", Check::RemoveLockMisuse,
     [] {
       IO_REMOVE_LOCK lock;
       IoInitializeRemoveLock(&lock, kTag, 0, 0);
       IoReleaseRemoveLock(&lock, nullptr);
       IoReleaseRemoveLock(&lock, nullptr);
     }},
    {"CancellingAnUnknownIrp", Check::IrpUnknown,
     [] {
       IRP fake{};
       EXPECT_FALSE(IoCancelIrp(&fake));
     }},
    {"InitialisingAnIrpTooSmall", Check::InvalidParameter,
     [] {
       PIRP irp = IoAllocateIrp(1, FALSE);
       IoInitializeIrp(irp, IoSizeOfIrp(1), 2);
       IoFreeIrp(irp);
     }},
    {"AssertInDriverCode", Check::AssertFailed, [] { ASSERT(sizeof(IRP) == 0); }},
    // A function driver passes a device set-power IRP down without PoStartNextPowerIrp.
    {"PowerIrpPassedDownWithoutStartNext", Check::PowerIrpMisuse,
     [] {
       TestStack stack(2);
       stack.SetDispatch(0, [](PDEVICE_OBJECT, PIRP irp) {
         PoStartNextPowerIrp(irp);
         return Complete(irp, STATUS_SUCCESS);
       });
       stack.SetDispatch(1, [&stack](PDEVICE_OBJECT, PIRP irp) {
         IoCopyCurrentIrpStackLocationToNext(irp);
         return PoCallDriver(stack[0], irp);
       });
       PIRP irp = NewIrp(stack, IRP_MJ_POWER);
       IoGetNextIrpStackLocation(irp)->MinorFunction = IRP_MN_SET_POWER;
       IoGetNextIrpStackLocation(irp)->Parameters.Power.Type = DevicePowerState;
       (void)IoCallDriver(stack.top(), irp);
       IoFreeIrp(irp);
     },
     "without PoStartNextPowerIrp"},
};

INSTANTIATE_TEST_SUITE_P(Checks, Verifier, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<FaultRow>& info) { return std::string(info.param.name); });

TEST(VerifierReport, VerdictCountsViolationsAndNamesTheFirst) {
  hosted::Verifier::Clear();
  EXPECT_EQ(hosted::Verifier::Verdict(), "clean: no violations");
  {
    hosted::test::ExpectViolation expected(Check::PoolBadPointer);
    int local;
    ExFreePool(&local);
  }
  EXPECT_EQ(hosted::Verifier::Count(), 1u);
  const std::string verdict = hosted::Verifier::Verdict();
  EXPECT_NE(verdict.find("1 violation(s)"), std::string::npos);
  EXPECT_NE(verdict.find("pool-bad-pointer in ExFreePool"), std::string::npos);
  hosted::Verifier::Clear();
}

}  // namespace

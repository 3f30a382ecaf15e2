// Remove locks (IoAcquireRemoveLock and friends), with the semantics of the free build:
// IoCount starts at 1; after IoReleaseRemoveLockAndWait acquires fail with
// STATUS_DELETE_PENDING and the wait ends when every other holder has released.
#include "internal.h"

using namespace hosted;
using namespace hosted::detail;

namespace {

bool CheckSize(PIO_REMOVE_LOCK lock, ULONG size, const char* routine) {
  if (size == sizeof(IO_REMOVE_LOCK) && lock != NULL) return true;
  Verifier::Report(Check::RemoveLockMisuse, routine, "remove lock size " + std::to_string(size) + " or NULL lock");
  return false;
}

void Release(PIO_REMOVE_LOCK lock, const char* routine) {
  const LONG count = InterlockedDecrement(&lock->Common.IoCount);
  if (count < 0) {
    Verifier::Report(Check::RemoveLockMisuse, routine, "remove lock released more often than acquired");
  } else if (count == 0) {
    KeSetEvent(&lock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
  }
}

}  // namespace

// ---- IoInitializeRemoveLockEx ----------------------------------------------------------
extern "C" VOID NTAPI IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes,
                                              ULONG HighWatermark, ULONG RemlockSize) {
  (void)AllocateTag;
  (void)MaxLockedMinutes;
  (void)HighWatermark;
  if (!CheckSize(Lock, RemlockSize, "IoInitializeRemoveLock")) return;
  Lock->Common.Removed = FALSE;
  Lock->Common.IoCount = 1;
  KeInitializeEvent(&Lock->Common.RemoveEvent, SynchronizationEvent, FALSE);
}

// ---- IoAcquireRemoveLockEx -------------------------------------------------------------
extern "C" NTSTATUS NTAPI IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line,
                                               ULONG RemlockSize) {
  (void)Tag;
  (void)File;
  (void)Line;
  if (!CheckSize(RemoveLock, RemlockSize, "IoAcquireRemoveLock")) return STATUS_INVALID_PARAMETER;
  InterlockedIncrement(&RemoveLock->Common.IoCount);
  if (__atomic_load_n(&RemoveLock->Common.Removed, __ATOMIC_SEQ_CST)) {
    Release(RemoveLock, "IoAcquireRemoveLock");
    return STATUS_DELETE_PENDING;
  }
  return STATUS_SUCCESS;
}

// ---- IoReleaseRemoveLockEx -------------------------------------------------------------
extern "C" VOID NTAPI IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
  (void)Tag;
  if (!CheckSize(RemoveLock, RemlockSize, "IoReleaseRemoveLock")) return;
  Release(RemoveLock, "IoReleaseRemoveLock");
}

// ---- IoReleaseRemoveLockAndWaitEx ------------------------------------------------------
// The caller holds one acquisition: it and the initial count are dropped, then the wait.
extern "C" VOID NTAPI IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
  (void)Tag;
  if (!CheckSize(RemoveLock, RemlockSize, "IoReleaseRemoveLockAndWait")) return;
  if (CurrentIrql() != PASSIVE_LEVEL) {
    Verifier::Report(Check::IrqlInvalid, "IoReleaseRemoveLockAndWait", "called above PASSIVE_LEVEL");
  }
  __atomic_store_n(&RemoveLock->Common.Removed, static_cast<BOOLEAN>(TRUE), __ATOMIC_SEQ_CST);
  InterlockedDecrement(&RemoveLock->Common.IoCount);
  if (InterlockedDecrement(&RemoveLock->Common.IoCount) > 0) {
    KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE, NULL);
  }
}

// IRQL and spin locks.
//
// Each thread has its own IRQL. A spin lock word holds the identity of the thread that owns
// it, so the lock really excludes other threads and the verifier can tell who holds what.
#include <algorithm>
#include <thread>
#include <vector>

#include "internal.h"
#include "kernel_state.h"

using namespace hosted;
using namespace hosted::detail;

namespace {

struct Holder {
  ThreadState* thread;
  const char* routine;
};

// Every lock held by any thread, for the end-of-test check: a handful at any time, so a
// short list searched from its end (the lock taken last is released first) costs less
// than a table, and taking a lock allocates nothing once the list has had room for it.
struct HeldLock {
  PKSPIN_LOCK lock;
  Holder holder;
};

struct HeldLocks {
  HeldLocks() { locks.reserve(16); }
  std::mutex mutex;
  std::vector<HeldLock> locks;

  std::vector<HeldLock>::iterator FindLocked(PKSPIN_LOCK lock) {
    for (auto it = locks.end(); it != locks.begin();) {
      if ((--it)->lock == lock) return it;
    }
    return locks.end();
  }
  void EnterLocked(PKSPIN_LOCK lock, const Holder& holder) {
    const auto it = FindLocked(lock);
    if (it != locks.end()) {
      it->holder = holder;
    } else {
      locks.push_back(HeldLock{lock, holder});
    }
  }
  void LeaveLocked(PKSPIN_LOCK lock) {
    const auto it = FindLocked(lock);
    if (it != locks.end()) locks.erase(it);
  }
};

HeldLocks& Held() {
  static HeldLocks* held = new HeldLocks();
  return *held;
}

ULONG_PTR Me() { return reinterpret_cast<ULONG_PTR>(&CurrentThread()); }

void AcquireLockWord(PKSPIN_LOCK lock, const char* routine) {
  ThreadState& thread = CurrentThread();
  const ULONG_PTR me = reinterpret_cast<ULONG_PTR>(&thread);
  if (__atomic_load_n(lock, __ATOMIC_RELAXED) == me) {
    Verifier::Report(Check::SpinLockRecursive, routine,
                     "spin lock " + PointerText(lock) + " acquired again by the thread that holds it");
    return;
  }
  for (unsigned spins = 0;; ++spins) {
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) break;
    if (spins > 64) std::this_thread::yield();
  }
  thread.heldLocks.push_back(lock);
  std::lock_guard<std::mutex> guard(Held().mutex);
  Held().EnterLocked(lock, Holder{&thread, routine});
}

bool ReleaseLockWord(PKSPIN_LOCK lock, const char* routine) {
  ThreadState& thread = CurrentThread();
  const ULONG_PTR owner = __atomic_load_n(lock, __ATOMIC_RELAXED);
  if (owner != Me()) {
    Verifier::Report(Check::SpinLockNotHeld, routine,
                     "spin lock " + PointerText(lock) +
                         (owner == 0 ? " released while not held" : " released by a thread that does not hold it"));
    return false;
  }
  auto it = std::find(thread.heldLocks.rbegin(), thread.heldLocks.rend(), lock);
  if (it != thread.heldLocks.rend()) thread.heldLocks.erase(std::next(it).base());
  {
    std::lock_guard<std::mutex> guard(Held().mutex);
    Held().LeaveLocked(lock);
  }
  __atomic_store_n(lock, static_cast<ULONG_PTR>(0), __ATOMIC_RELEASE);
  return true;
}

// Lowering below DISPATCH_LEVEL while spin locks are held leaves them held at PASSIVE work.
void SetIrqlChecked(KIRQL newIrql, const char* routine) {
  ThreadState& thread = CurrentThread();
  if (newIrql < DISPATCH_LEVEL && !thread.heldLocks.empty()) {
    Verifier::Report(Check::SpinLockHeld, routine,
                     "IRQL lowered below DISPATCH_LEVEL while holding spin lock " +
                         PointerText(thread.heldLocks.back()));
  }
  thread.irql = newIrql;
}

}  // namespace

namespace hosted::detail {

// The first call makes the thread a hosted thread (see scheduler.h).
ThreadState& FirstUseOfThread() {
  static thread_local ThreadState state;
  t_currentThread = &state;
  RegisterCurrentThread();
  return state;
}

void CheckRoutineReturn(const char* routine, KIRQL irqlBefore, std::size_t locksBefore) {
  ThreadState& thread = CurrentThread();
  if (thread.heldLocks.size() > locksBefore) {
    Verifier::Report(Check::SpinLockHeld, routine,
                     "returned holding spin lock " + PointerText(thread.heldLocks.back()) + "; releasing it");
    while (thread.heldLocks.size() > locksBefore) ReleaseLockWord(thread.heldLocks.back(), routine);
  }
  if (thread.irql != irqlBefore) {
    Verifier::Report(Check::IrqlNotRestored, routine,
                     "returned at IRQL " + std::to_string(thread.irql) + ", entered at " +
                         std::to_string(irqlBefore));
    thread.irql = irqlBefore;
  }
}

bool ReturnedClean(KIRQL irqlBefore, std::size_t locksBefore) {
  const ThreadState& thread = CurrentThread();
  return thread.heldLocks.size() <= locksBefore && thread.irql == irqlBefore;
}

void CheckNoSpinLockHeldAtCall(const char* routine, const std::string& what) {
  const ThreadState& thread = CurrentThread();
  if (thread.heldLocks.empty()) return;
  PKSPIN_LOCK lock = thread.heldLocks.back();
  const char* acquiredBy = "?";
  {
    std::lock_guard<std::mutex> guard(Held().mutex);
    const auto it = Held().FindLocked(lock);
    if (it != Held().locks.end()) acquiredBy = it->holder.routine;
  }
  Verifier::Report(Check::CallWithSpinLockHeld, routine,
                   "called for " + what + " while holding spin lock " + PointerText(lock) + " (taken with " +
                       acquiredBy + "); release it first");
}

void CheckPassiveLevel(const char* routine) {
  const KIRQL irql = CurrentIrql();
  if (irql != PASSIVE_LEVEL) {
    Verifier::Report(Check::IrqlInvalid, routine,
                     "called at IRQL " + std::to_string(irql) + "; it runs only at PASSIVE_LEVEL");
  }
}

}  // namespace hosted::detail

namespace hosted {

std::size_t HeldSpinLockCount() {
  std::lock_guard<std::mutex> guard(Held().mutex);
  return Held().locks.size();
}

void CheckNoSpinLocksHeld(std::string_view context) {
  std::vector<HeldLock> held;
  {
    std::lock_guard<std::mutex> guard(Held().mutex);
    held.swap(Held().locks);
    Held().locks.reserve(16);
  }
  for (const HeldLock& entry : held) {
    Verifier::Report(Check::SpinLockHeld, entry.holder.routine,
                     "spin lock " + PointerText(entry.lock) + " still held " + std::string(context));
  }
  // The holders' own lists: forget the locks reported above.
  CurrentThread().heldLocks.clear();
}

void ResetCurrentThread(std::string_view context) {
  ThreadState& thread = CurrentThread();
  if (thread.irql != PASSIVE_LEVEL) {
    Verifier::Report(Check::IrqlNotRestored, "test thread",
                     "IRQL is " + std::to_string(thread.irql) + " " + std::string(context));
    thread.irql = PASSIVE_LEVEL;
  }
}

}  // namespace hosted

// ---- KeGetCurrentIrql ------------------------------------------------------------------
extern "C" KIRQL NTAPI KeGetCurrentIrql(void) { return CurrentIrql(); }

// ---- KfRaiseIrql -----------------------------------------------------------------------
extern "C" KIRQL NTAPI KfRaiseIrql(KIRQL NewIrql) {
  ThreadState& thread = CurrentThread();
  const KIRQL old = thread.irql;
  if (NewIrql < old) {
    Verifier::Report(Check::IrqlInvalid, "KeRaiseIrql",
                     "raise to " + std::to_string(NewIrql) + " from the higher IRQL " + std::to_string(old));
  }
  thread.irql = NewIrql;
  return old;
}

// ---- KeLowerIrql -----------------------------------------------------------------------
extern "C" VOID NTAPI KeLowerIrql(KIRQL NewIrql) {
  const KIRQL current = CurrentIrql();
  if (NewIrql > current) {
    Verifier::Report(Check::IrqlInvalid, "KeLowerIrql",
                     "lower to " + std::to_string(NewIrql) + " from the lower IRQL " + std::to_string(current));
  }
  SetIrqlChecked(NewIrql, "KeLowerIrql");
}

// ---- KeAcquireSpinLockRaiseToDpc (KeAcquireSpinLock) -----------------------------------
extern "C" KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
  ThreadState& thread = CurrentThread();
  const KIRQL old = thread.irql;
  if (old > DISPATCH_LEVEL) {
    Verifier::Report(Check::SpinLockWrongIrql, "KeAcquireSpinLock",
                     "acquired at IRQL " + std::to_string(old) + ", above DISPATCH_LEVEL");
  } else {
    thread.irql = DISPATCH_LEVEL;
  }
  AcquireLockWord(SpinLock, "KeAcquireSpinLock");
  return old;
}

// ---- KeReleaseSpinLock -----------------------------------------------------------------
// Must run at DISPATCH_LEVEL (where the acquire left the thread); restores NewIrql.
extern "C" VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  const KIRQL current = CurrentIrql();
  if (current != DISPATCH_LEVEL) {
    Verifier::Report(Check::SpinLockWrongIrql, "KeReleaseSpinLock",
                     "spin lock " + PointerText(SpinLock) + " released at IRQL " + std::to_string(current) +
                         " instead of DISPATCH_LEVEL");
  }
  ReleaseLockWord(SpinLock, "KeReleaseSpinLock");
  if (NewIrql > DISPATCH_LEVEL) {
    Verifier::Report(Check::IrqlInvalid, "KeReleaseSpinLock", "restores IRQL " + std::to_string(NewIrql));
    return;
  }
  SetIrqlChecked(NewIrql, "KeReleaseSpinLock");
}

// ---- KeAcquireSpinLockAtDpcLevel -------------------------------------------------------
extern "C" VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  const KIRQL current = CurrentIrql();
  if (current < DISPATCH_LEVEL) {
    Verifier::Report(Check::SpinLockWrongIrql, "KeAcquireSpinLockAtDpcLevel",
                     "spin lock " + PointerText(SpinLock) + " acquired at IRQL " + std::to_string(current));
  }
  AcquireLockWord(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

// ---- KeReleaseSpinLockFromDpcLevel -----------------------------------------------------
extern "C" VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  const KIRQL current = CurrentIrql();
  if (current < DISPATCH_LEVEL) {
    Verifier::Report(Check::SpinLockWrongIrql, "KeReleaseSpinLockFromDpcLevel",
                     "spin lock " + PointerText(SpinLock) + " released at IRQL " + std::to_string(current));
  }
  ReleaseLockWord(SpinLock, "KeReleaseSpinLockFromDpcLevel");
}

// ---- KeTryToAcquireSpinLockAtDpcLevel --------------------------------------------------
extern "C" BOOLEAN __fastcall KeTryToAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  if (CurrentIrql() < DISPATCH_LEVEL) {
    Verifier::Report(Check::SpinLockWrongIrql, "KeTryToAcquireSpinLockAtDpcLevel", "called below DISPATCH_LEVEL");
  }
  ULONG_PTR expected = 0;
  if (!__atomic_compare_exchange_n(SpinLock, &expected, Me(), false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
    return FALSE;
  }
  CurrentThread().heldLocks.push_back(SpinLock);
  std::lock_guard<std::mutex> guard(Held().mutex);
  Held().EnterLocked(SpinLock, Holder{&CurrentThread(), "KeTryToAcquireSpinLockAtDpcLevel"});
  return TRUE;
}

// ---- KeAcquireInStackQueuedSpinLock ----------------------------------------------------
extern "C" VOID __fastcall KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle) {
  LockHandle->LockQueue.Next = NULL;
  LockHandle->LockQueue.Lock = SpinLock;
  ThreadState& thread = CurrentThread();
  LockHandle->OldIrql = thread.irql;
  if (thread.irql > DISPATCH_LEVEL) {
    Verifier::Report(Check::SpinLockWrongIrql, "KeAcquireInStackQueuedSpinLock", "called above DISPATCH_LEVEL");
  } else {
    thread.irql = DISPATCH_LEVEL;
  }
  AcquireLockWord(SpinLock, "KeAcquireInStackQueuedSpinLock");
}

// ---- KeReleaseInStackQueuedSpinLock ----------------------------------------------------
extern "C" VOID __fastcall KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle) {
  if (CurrentIrql() != DISPATCH_LEVEL) {
    Verifier::Report(Check::SpinLockWrongIrql, "KeReleaseInStackQueuedSpinLock", "released below DISPATCH_LEVEL");
  }
  ReleaseLockWord(LockHandle->LockQueue.Lock, "KeReleaseInStackQueuedSpinLock");
  SetIrqlChecked(LockHandle->OldIrql, "KeReleaseInStackQueuedSpinLock");
}

// ---- PAGED_CODE ------------------------------------------------------------------------
// A pageable routine may fault on its own code: it must run below DISPATCH_LEVEL.
extern "C" void HostedPagedCodeCheck(const char* Routine) {
  const KIRQL irql = CurrentIrql();
  if (irql >= DISPATCH_LEVEL) {
    Verifier::Report(Check::PagedCodeAtDispatch, Routine,
                     "pageable code entered at IRQL " + std::to_string(irql));
  }
}

// ---- IoAcquireCancelSpinLock / IoReleaseCancelSpinLock ---------------------------------
namespace {
KSPIN_LOCK g_cancelSpinLock = 0;
}

extern "C" VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
  ThreadState& thread = CurrentThread();
  *Irql = thread.irql;
  if (thread.irql > DISPATCH_LEVEL) {
    Verifier::Report(Check::SpinLockWrongIrql, "IoAcquireCancelSpinLock", "called above DISPATCH_LEVEL");
  } else {
    thread.irql = DISPATCH_LEVEL;
  }
  AcquireLockWord(&g_cancelSpinLock, "IoAcquireCancelSpinLock");
}

extern "C" VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) {
  if (CurrentIrql() != DISPATCH_LEVEL) {
    Verifier::Report(Check::SpinLockWrongIrql, "IoReleaseCancelSpinLock", "released below DISPATCH_LEVEL");
  }
  ReleaseLockWord(&g_cancelSpinLock, "IoReleaseCancelSpinLock");
  if (Irql > DISPATCH_LEVEL) {
    Verifier::Report(Check::IrqlInvalid, "IoReleaseCancelSpinLock", "restores IRQL " + std::to_string(Irql));
    return;
  }
  SetIrqlChecked(Irql, "IoReleaseCancelSpinLock");
}

// Dispatcher objects and waits: events, semaphores, mutexes, fast mutexes, delays.
//
// The object's state lives in its DISPATCHER_HEADER as on Windows (SignalState; the
// owner thread of a mutex), read and written under the dispatcher lock. Time-outs run on
// the kernel clock; every wait is a scheduler wait on its object, woken by whoever
// signals that object (no other waiter is disturbed).
#include "internal.h"

using namespace hosted;
using namespace hosted::detail;

namespace {

// DISPATCHER_HEADER.Size: the object's size in LONGs, as KeInitialize* sets it. A wrong
// size means the object was never initialised (or was overwritten).
constexpr UCHAR kEventSize = sizeof(KEVENT) / sizeof(LONG);
constexpr UCHAR kSemaphoreSize = sizeof(KSEMAPHORE) / sizeof(LONG);
constexpr UCHAR kMutantSize = sizeof(KMUTANT) / sizeof(LONG);

PKTHREAD CurrentThreadObject() { return reinterpret_cast<PKTHREAD>(&CurrentThread()); }

bool IsValidObject(const DISPATCHER_HEADER& header) {
  switch (header.Type) {
    case EventNotificationObject:
    case EventSynchronizationObject:
      return header.Size == kEventSize;
    case SemaphoreObject:
      return header.Size == kSemaphoreSize;
    case MutantObject:
      return header.Size == kMutantSize;
    default:
      return false;
  }
}

bool IsEvent(const DISPATCHER_HEADER& header) {
  return (header.Type == EventNotificationObject || header.Type == EventSynchronizationObject) &&
         header.Size == kEventSize;
}

// What a deadlock report calls the object.
const char* ObjectTypeName(const DISPATCHER_HEADER& header) {
  switch (header.Type) {
    case EventNotificationObject: return "notification event";
    case EventSynchronizationObject: return "synchronization event";
    case SemaphoreObject: return "semaphore";
    case MutantObject: return "mutex";
    default: return "object";
  }
}

// With the dispatcher lock held: takes the object for thread `me` if it is signalled
// (consuming the signal of synchronization objects). Returns false when `me` must wait.
bool TrySatisfyLocked(PVOID object, PKTHREAD me) {
  auto* header = static_cast<DISPATCHER_HEADER*>(object);
  switch (header->Type) {
    case EventNotificationObject:
      return header->SignalState > 0;
    case EventSynchronizationObject:
      if (header->SignalState <= 0) return false;
      header->SignalState = 0;
      return true;
    case SemaphoreObject:
      if (header->SignalState <= 0) return false;
      header->SignalState--;
      return true;
    case MutantObject: {
      auto* mutex = static_cast<PKMUTEX>(object);
      if (header->SignalState <= 0 && mutex->OwnerThread != me) return false;
      header->SignalState--;
      mutex->OwnerThread = me;
      return true;
    }
    default:
      return false;
  }
}

// Kernel-time deadline of a wait: NULL waits forever, negative is relative (100 ns units),
// positive is an absolute system time, zero polls.
std::int64_t DeadlineLocked(PLARGE_INTEGER timeout) {
  if (timeout == NULL) return kNoDeadline;
  if (timeout->QuadPart < 0) return ClockNowLocked() - timeout->QuadPart;
  if (timeout->QuadPart == 0) return ClockNowLocked();
  return timeout->QuadPart - kSystemTimeAtBoot;
}

// Waits (lock held) until `object` is taken or the time-out ends; `kind` and `caller` name
// the wait for the scheduler. A NULL object waits for the time-out alone.
NTSTATUS WaitLocked(std::unique_lock<std::mutex>& lock, PVOID object, PLARGE_INTEGER timeout, PKTHREAD me,
                    const char* kind, const void* caller) {
  WaitSpec wait;
  wait.kind = kind;
  wait.object = object;
  wait.objectType = object != NULL ? ObjectTypeName(*static_cast<DISPATCHER_HEADER*>(object)) : nullptr;
  wait.caller = caller;
  wait.deadline = DeadlineLocked(timeout);
  for (;;) {
    if (object != NULL && TrySatisfyLocked(object, me)) return STATUS_SUCCESS;
    if (wait.deadline != kNoDeadline && ClockNowLocked() >= wait.deadline) return STATUS_TIMEOUT;
    BlockLocked(lock, wait);
  }
}

}  // namespace

// ---- KeInitializeEvent -----------------------------------------------------------------
extern "C" VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  std::lock_guard<std::mutex> lock(DispatcherLock());
  Event->Header.Lock = 0;
  Event->Header.Type = Type == SynchronizationEvent ? EventSynchronizationObject : EventNotificationObject;
  Event->Header.Size = kEventSize;
  Event->Header.SignalState = State ? 1 : 0;
  InitializeListHead(&Event->Header.WaitListHead);
}

// ---- KeSetEvent ------------------------------------------------------------------------
// Signals the event and wakes its waiters; returns the previous state. Any IRQL up to
// DISPATCH_LEVEL. (Wait = TRUE is treated as FALSE: nothing is held on return.)
extern "C" LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  (void)Increment;
  (void)Wait;
  if (CurrentIrql() > DISPATCH_LEVEL) {
    Verifier::Report(Check::IrqlInvalid, "KeSetEvent", "called above DISPATCH_LEVEL");
  }
  std::lock_guard<std::mutex> lock(DispatcherLock());
  if (!IsEvent(Event->Header)) {
    Verifier::Report(Check::EventInvalid, "KeSetEvent",
                     "object " + PointerText(Event) + " is not an initialised KEVENT");
    return 0;
  }
  const LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 1;
  WakeLocked(Event);
  return previous;
}

// ---- KeClearEvent ----------------------------------------------------------------------
extern "C" VOID NTAPI KeClearEvent(PRKEVENT Event) {
  std::lock_guard<std::mutex> lock(DispatcherLock());
  if (!IsEvent(Event->Header)) {
    Verifier::Report(Check::EventInvalid, "KeClearEvent", "object is not an initialised KEVENT");
    return;
  }
  Event->Header.SignalState = 0;
}

// ---- KeResetEvent ----------------------------------------------------------------------
extern "C" LONG NTAPI KeResetEvent(PRKEVENT Event) {
  std::lock_guard<std::mutex> lock(DispatcherLock());
  if (!IsEvent(Event->Header)) {
    Verifier::Report(Check::EventInvalid, "KeResetEvent", "object is not an initialised KEVENT");
    return 0;
  }
  const LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

// ---- KeReadStateEvent ------------------------------------------------------------------
extern "C" LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
  std::lock_guard<std::mutex> lock(DispatcherLock());
  return Event->Header.SignalState;
}

// ---- KeWaitForSingleObject -------------------------------------------------------------
// Waits for an event, semaphore or mutex with an optional time-out on the kernel clock.
// At DISPATCH_LEVEL only a zero time-out is allowed; a violation there is reported and the
// wait degrades to a poll so that the thread cannot hang.
extern "C" NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                               BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
  (void)WaitReason;
  (void)WaitMode;
  (void)Alertable;
  const void* caller = __builtin_return_address(0);
  LARGE_INTEGER poll;
  poll.QuadPart = 0;
  PKTHREAD me = CurrentThreadObject();
  const KIRQL irql = CurrentIrql();
  if (irql > DISPATCH_LEVEL) {
    Verifier::Report(Check::IrqlInvalid, "KeWaitForSingleObject", "called above DISPATCH_LEVEL");
    Timeout = &poll;
  } else if (irql == DISPATCH_LEVEL && (Timeout == NULL || Timeout->QuadPart != 0)) {
    Verifier::Report(Check::WaitAtDispatch, "KeWaitForSingleObject",
                     Timeout == NULL ? "infinite wait at DISPATCH_LEVEL"
                                     : "wait with a non-zero time-out at DISPATCH_LEVEL");
    Timeout = &poll;
  }
  std::unique_lock<std::mutex> lock(DispatcherLock());
  if (Object == NULL || !IsValidObject(*static_cast<DISPATCHER_HEADER*>(Object))) {
    lock.unlock();
    Verifier::Report(Check::EventInvalid, "KeWaitForSingleObject",
                     "object " + PointerText(Object) + " is not an initialised event, semaphore or mutex");
    return STATUS_INVALID_PARAMETER;
  }
  return WaitLocked(lock, Object, Timeout, me, "KeWaitForSingleObject", caller);
}

// ---- KeDelayExecutionThread ------------------------------------------------------------
extern "C" NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                PLARGE_INTEGER Interval) {
  (void)WaitMode;
  (void)Alertable;
  const void* caller = __builtin_return_address(0);
  PKTHREAD me = CurrentThreadObject();
  if (CurrentIrql() > APC_LEVEL) {
    Verifier::Report(Check::WaitAtDispatch, "KeDelayExecutionThread", "delay above APC_LEVEL");
    return STATUS_SUCCESS;
  }
  if (Interval == NULL) {
    Verifier::Report(Check::InvalidParameter, "KeDelayExecutionThread", "no interval");
    return STATUS_INVALID_PARAMETER;
  }
  std::unique_lock<std::mutex> lock(DispatcherLock());
  WaitLocked(lock, NULL, Interval, me, "KeDelayExecutionThread", caller);
  return STATUS_SUCCESS;
}

// ---- KeInitializeSemaphore -------------------------------------------------------------
extern "C" VOID NTAPI KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
  std::lock_guard<std::mutex> lock(DispatcherLock());
  Semaphore->Header.Lock = 0;
  Semaphore->Header.Type = SemaphoreObject;
  Semaphore->Header.Size = kSemaphoreSize;
  Semaphore->Header.SignalState = Count;
  InitializeListHead(&Semaphore->Header.WaitListHead);
  Semaphore->Limit = Limit;
}

// ---- KeReleaseSemaphore ----------------------------------------------------------------
extern "C" LONG NTAPI KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment,
                                        BOOLEAN Wait) {
  (void)Increment;
  (void)Wait;
  std::unique_lock<std::mutex> lock(DispatcherLock());
  const LONG previous = Semaphore->Header.SignalState;
  if (Adjustment <= 0 || previous + Adjustment > Semaphore->Limit) {
    lock.unlock();
    Verifier::Report(Check::InvalidParameter, "KeReleaseSemaphore", "release beyond the semaphore's limit");
    return previous;
  }
  Semaphore->Header.SignalState = previous + Adjustment;
  WakeLocked(Semaphore);
  return previous;
}

// ---- KeReadStateSemaphore --------------------------------------------------------------
extern "C" LONG NTAPI KeReadStateSemaphore(PRKSEMAPHORE Semaphore) {
  std::lock_guard<std::mutex> lock(DispatcherLock());
  return Semaphore->Header.SignalState;
}

// ---- KeInitializeMutex -----------------------------------------------------------------
extern "C" VOID NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
  (void)Level;
  std::lock_guard<std::mutex> lock(DispatcherLock());
  Mutex->Header.Lock = 0;
  Mutex->Header.Type = MutantObject;
  Mutex->Header.Size = kMutantSize;
  Mutex->Header.SignalState = 1;
  InitializeListHead(&Mutex->Header.WaitListHead);
  Mutex->OwnerThread = NULL;
  Mutex->Abandoned = FALSE;
  Mutex->ApcDisable = 1;
}

// ---- KeReleaseMutex --------------------------------------------------------------------
// Releases one level of ownership; the owner only.
extern "C" LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
  (void)Wait;
  PKTHREAD me = CurrentThreadObject();
  std::unique_lock<std::mutex> lock(DispatcherLock());
  const LONG previous = Mutex->Header.SignalState;
  if (Mutex->OwnerThread != me) {
    lock.unlock();
    Verifier::Report(Check::InvalidParameter, "KeReleaseMutex", "mutex released by a thread that does not own it");
    return previous;
  }
  Mutex->Header.SignalState++;
  if (Mutex->Header.SignalState > 0) {
    Mutex->OwnerThread = NULL;
    WakeLocked(Mutex);
  }
  return previous;
}

// ---- ExInitializeFastMutex -------------------------------------------------------------
extern "C" VOID __fastcall ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
  std::lock_guard<std::mutex> lock(DispatcherLock());
  FastMutex->Count = 1;
  FastMutex->Owner = NULL;
  FastMutex->Contention = 0;
  FastMutex->OldIrql = PASSIVE_LEVEL;
  FastMutex->Event.Header.Type = EventSynchronizationObject;
  FastMutex->Event.Header.Size = kEventSize;
  FastMutex->Event.Header.SignalState = 0;
}

// ---- ExAcquireFastMutex ----------------------------------------------------------------
// Raises to APC_LEVEL and takes the mutex (not recursive).
extern "C" VOID __fastcall ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
  const void* caller = __builtin_return_address(0);
  ThreadState& thread = CurrentThread();
  PKTHREAD me = CurrentThreadObject();
  if (thread.irql > APC_LEVEL) {
    Verifier::Report(Check::IrqlInvalid, "ExAcquireFastMutex", "called above APC_LEVEL");
    return;
  }
  std::unique_lock<std::mutex> lock(DispatcherLock());
  if (FastMutex->Owner == me) {
    lock.unlock();
    Verifier::Report(Check::InvalidParameter, "ExAcquireFastMutex", "fast mutex acquired recursively");
    return;
  }
  WaitSpec wait;
  wait.kind = "ExAcquireFastMutex";
  wait.object = FastMutex;
  wait.objectType = "fast mutex";
  wait.caller = caller;
  while (FastMutex->Count != 1) {
    FastMutex->Contention++;
    BlockLocked(lock, wait);
  }
  FastMutex->Count = 0;
  FastMutex->Owner = me;
  FastMutex->OldIrql = thread.irql;
  thread.irql = APC_LEVEL;
}

// ---- ExReleaseFastMutex ----------------------------------------------------------------
extern "C" VOID __fastcall ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
  ThreadState& thread = CurrentThread();
  PKTHREAD me = CurrentThreadObject();
  std::unique_lock<std::mutex> lock(DispatcherLock());
  if (FastMutex->Owner != me) {
    lock.unlock();
    Verifier::Report(Check::InvalidParameter, "ExReleaseFastMutex", "fast mutex released by a non-owner");
    return;
  }
  FastMutex->Owner = NULL;
  FastMutex->Count = 1;
  thread.irql = static_cast<KIRQL>(FastMutex->OldIrql);
  WakeLocked(FastMutex);
}

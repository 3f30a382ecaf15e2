// Shared internals of the hosted kernel (not part of its public API).
#pragma once

#include <wdm.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "verifier.h"

namespace hosted::detail {

// Names code in a mapped driver image (set by the image loader; empty text outside one).
extern std::string (*g_imageSymbolName)(const void* address);

// ---- threads and IRQL ------------------------------------------------------------------
// Every thread that runs driver code has an IRQL (PASSIVE_LEVEL at birth) and the list of
// spin locks it holds. The address of this record is the thread's identity (PKTHREAD).
struct ThreadState {
  KIRQL irql = PASSIVE_LEVEL;
  std::vector<PKSPIN_LOCK> heldLocks;
};
// The calling thread's record: one thread-local load once the thread has one (every
// spin lock, wait and IRP goes through here, several times each).
ThreadState& FirstUseOfThread();  // the first call of a thread: makes it a hosted thread
inline thread_local ThreadState* t_currentThread = nullptr;
inline ThreadState& CurrentThread() {
  ThreadState* const thread = t_currentThread;
  return thread != nullptr ? *thread : FirstUseOfThread();
}
inline KIRQL CurrentIrql() { return CurrentThread().irql; }

// ---- dispatcher lock, scheduler (scheduler.cpp) and kernel clock (clock.cpp) -------------
// One lock guards every dispatcher object (events, semaphores, mutexes), the clock and the
// scheduler's records, as the dispatcher lock does on Windows. Every thread that blocks
// blocks under it, in BlockLocked, so the scheduler knows what each hosted thread waits
// for and can move virtual time when all of them are blocked.
std::mutex& DispatcherLock();
constexpr std::int64_t kNoDeadline = -1;

struct Participant;

// One blocking wait as the scheduler records it (and a deadlock report shows it).
struct WaitSpec {
  const char* kind = "";               // "KeWaitForSingleObject", "waits for work" (idle) ...
  const void* object = nullptr;        // wakers wake it through this address (null: time only)
  const char* objectType = nullptr;    // "notification event" ...: the report shows the object
  const char* objectName = nullptr;    // shown instead of the object's address
  const void* caller = nullptr;        // a return address in the routine that waited
  std::int64_t deadline = kNoDeadline;  // kernel time
  // Where real time-outs apply (accelerated clock, manual advance): give up at this time.
  const std::chrono::steady_clock::time_point* realDeadline = nullptr;
  bool idle = false;                    // a service thread waiting for work
};

// With the lock held: blocks the calling thread until a waker marks it runnable through
// wait.object, until kernel time reaches wait.deadline, or until wait.realDeadline where
// real time-outs apply. The caller re-checks its condition and blocks again if need be.
void BlockLocked(std::unique_lock<std::mutex>& lock, const WaitSpec& wait);
// Marks every thread blocked on `object` runnable (before it runs, so that it never counts
// as blocked once woken) and wakes it.
void WakeLocked(const void* object);
bool RealTimeoutsApplyLocked();  // false only in virtual time with automatic advance
// The last running hosted thread blocked: wake settlers, move virtual time, or report a
// deadlock (which ends the process).
void EvaluateLocked(std::unique_lock<std::mutex>& lock);
void WakeDueLocked();          // waits whose deadline kernel time has reached
void WakeAllTimersLocked();    // every timed wait re-reads the clock (its mode changed)
void AdvanceToLocked(std::int64_t deadline);
std::size_t TimedWaitersLocked();
std::int64_t EarliestDeadlineLocked();  // kNoDeadline when no wait has one
const void* TimedWaitersChannel();      // woken whenever a timed wait begins

// Hosted threads: the calling thread becomes one (CurrentThread() does this on first use;
// never call it first with the dispatcher lock held). A system thread is registered by
// the thread that starts it (NewThreadLocked) and adopted by the new thread, so that time
// cannot move between its creation and its first step.
void RegisterCurrentThread();
std::shared_ptr<Participant> NewThreadLocked(std::string name);
void AdoptThread(std::shared_ptr<Participant> participant);
void ExitCurrentThread();

// A mutex held across kernel waits (the PnP manager's operation lock): its waiters are
// kernel waits, so virtual time and deadlock detection see them. Usable with lock_guard.
class BlockingMutex {
 public:
  explicit BlockingMutex(const char* what) : what_(what) {}
  void lock();
  void unlock();

 private:
  const char* what_;
  Participant* owner_ = nullptr;  // under the dispatcher lock
};

// The clock's state, under the dispatcher lock (clock.cpp).
std::int64_t ClockNowLocked();  // kernel time, 100-ns units since boot
bool ClockVirtualLocked();
bool ClockAutoAdvanceLocked();
std::int64_t ClockVirtualStartLocked();  // kernel time when virtual time was last set
void ClockSetNowLocked(std::int64_t ticks);  // virtual time only moves forward
// The real time at which kernel time reaches `deadline` on the accelerated clock.
std::chrono::steady_clock::time_point ClockRealDeadlineLocked(std::int64_t deadline);
// Kernel time 0 as a system time (100-ns units since 1601): 2024-01-01 00:00 UTC.
constexpr std::int64_t kSystemTimeAtBoot = 133485408000000000LL;

// ---- formatting for violation messages -------------------------------------------------
std::string Hex(std::uint64_t value, int width = 0);
std::string PointerText(const void* pointer);
std::string StatusText(NTSTATUS status);  // "0xC000009A (STATUS_INSUFFICIENT_RESOURCES)"
std::string TagText(ULONG tag);           // 'TAL_' as stored, printed the way a dump reads it
std::string MajorName(UCHAR major);
std::string IrpText(PIRP irp, UCHAR major, UCHAR minor);
std::string Narrow(const WCHAR* text, std::size_t chars);
std::string Narrow(PCUNICODE_STRING text);
std::u16string Widen(std::string_view text);

// Reports a call of a routine the hosted kernel does not implement.
void Unimplemented(const char* routine);

// ---- allocation failure injection (pool.cpp) -------------------------------------------
// Asks the injector whether this allocation fails; every allocating routine calls it.
// `caller`: the code that called the routine, for the attempt log (NULL when unknown).
bool ShouldFailAllocation(const char* routine, ULONG tag, SIZE_T size, const void* caller = nullptr);
// For routines that allocate nothing but may be told to fail by a rule naming them: true
// (with the status to return) when this call fails.
bool ShouldFailCall(const char* routine, NTSTATUS* status, const void* caller = nullptr);
// While one lives in a thread, that thread's allocations and calls are not seen by the
// injector: the system's own IRPs (PnP manager, user-mode requests) stay out of the
// counts a test aims at the driver.
class [[nodiscard]] InjectionExemptScope {
 public:
  InjectionExemptScope();
  ~InjectionExemptScope();
  InjectionExemptScope(const InjectionExemptScope&) = delete;
  InjectionExemptScope& operator=(const InjectionExemptScope&) = delete;
};
// Pool allocation on behalf of a kernel routine (strings the caller frees with
// RtlFreeUnicodeString/ExFreePool): counted and injectable under `routine`.
PVOID AllocateForCaller(const char* routine, POOL_TYPE type, SIZE_T size, ULONG tag, const void* caller = nullptr);
constexpr ULONG kStringTag = 'rtSU';  // reads "UStr" in a pool dump

// ---- IRP bookkeeping (irp.cpp, completion.cpp) -----------------------------------------
// Called by the completion walk when it reaches stack location `level` of `irp`.
void NoteLevelCompleted(PIRP irp, int level, bool pendingReturned);
// Claims the IRP for a completion walk by this thread; false (after a report) when the
// IRP cannot be completed now.
bool BeginCompletion(PIRP irp, const char* routine);
void SuspendCompletion(PIRP irp);  // a completion routine is running: the walk lets go
// IoCompleteRequest has begun on the IRP and not yet let it go (a hold point may keep it).
bool CompletionRunning(PIRP irp);
bool ResumeCompletion(PIRP irp);   // it returned without stopping the walk
// The walk reached the top: finishes an IRP the I/O manager built (status block, event,
// buffers, free). Returns with the IRP gone or handed back to its owner.
void FinishTopCompletion(PIRP irp);
bool IsLiveIrp(PIRP irp);
// The power manager's bookkeeping of PoStartNextPowerIrp (power.cpp): a power IRP reaches
// a device's dispatch routine; it leaves the driver at its current location (a report when
// that driver has not released it); its completion walk begins.
void NotePowerDispatch(PDEVICE_OBJECT device, PIRP irp);
void CheckPowerIrpReleased(PIRP irp, const char* routine);
void NotePowerCompletion(PIRP irp);
// The I/O manager's stack-underflow stand-in location for this thread.
PIO_STACK_LOCATION ScratchStackLocation(PIRP irp);
bool ScratchBelongsTo(PIRP irp);

// ---- driver routines in flight (completion.cpp) ---------------------------------------
// A completion, cancel or power-completion routine often wakes the thread that waits for
// its request before it returns itself; that thread may then remove the device and unload
// the driver while the routine still runs its last instructions. Windows unloads an image
// long after its last device went, when such a routine is long out; the hosted kernel
// unloads at once, so the unload first waits for the routines still on their way out.
// Marks one such call for as long as it runs (on the thread that makes it).
class DriverRoutineCall {
 public:
  DriverRoutineCall();
  ~DriverRoutineCall();
  DriverRoutineCall(const DriverRoutineCall&) = delete;
  DriverRoutineCall& operator=(const DriverRoutineCall&) = delete;
};
// Returns once no thread is inside such a call.
void WaitDriverRoutinesReturned();

// ---- objects (objects.cpp) -------------------------------------------------------------
bool IsLiveDevice(PDEVICE_OBJECT device);
PDEVICE_OBJECT LowerDevice(PDEVICE_OBJECT device);  // the device this one is attached to
NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp);

// ---- registry (registry.cpp) -----------------------------------------------------------
std::u16string DeviceKeyPathFor(PDEVICE_OBJECT pdo, ULONG keyType);

// ---- work items (workitems.cpp) --------------------------------------------------------
void DrainWorkQueue();

// ---- spin locks (spinlock.cpp) ---------------------------------------------------------
// Checks that a driver routine left the IRQL and the held locks as it found them.
void CheckRoutineReturn(const char* routine, KIRQL irqlBefore, std::size_t locksBefore);
// Whether a routine returned as CheckRoutineReturn wants it (no extra spin lock held, the
// IRQL it was entered at): lets a hot caller build the routine's name only for a report.
bool ReturnedClean(KIRQL irqlBefore, std::size_t locksBefore);
// Reports a call of `routine` (IoCompleteRequest, IoCallDriver) made while this thread
// holds a spin lock: the routines it runs in other drivers may take locks of their own,
// wait, or come back into this driver for the same lock.
void CheckNoSpinLockHeldAtCall(const char* routine, const std::string& what);
// Reports a call of a routine that runs only at PASSIVE_LEVEL made above it.
void CheckPassiveLevel(const char* routine);

// ---- leak checks, one per area (see kernel_state.h) ------------------------------------
// Serial numbers only grow; each area reports (and releases) what is alive and newer than
// the given serial.
std::uint64_t PoolSerial();
std::uint64_t IrpSerial();
std::uint64_t DeviceSerial();
std::uint64_t HandleSerial();
std::uint64_t WorkItemSerial();
// Reports every live pool block whose guard bytes were overwritten and every quarantined
// freed block written after its free; returns how many it reported.
std::size_t CheckPoolGuards(std::string_view context);
// Returns the number of leaked blocks it reported (and released).
std::size_t ReportPoolLeaks(std::uint64_t since, std::string_view routine, std::string_view context);
void ReportIrpLeaks(std::uint64_t since, std::string_view context);
void ReportDeviceLeaks(std::uint64_t since, std::string_view context);
void ReportHandleLeaks(std::uint64_t since, std::string_view context);
void ReportWorkItemLeaks(std::uint64_t since, std::string_view context);

}  // namespace hosted::detail

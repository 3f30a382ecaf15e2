// Shared internals of the hosted kernel (not part of its public API).
#pragma once

#include <wdm.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "verifier.h"

namespace hosted::detail {

// ---- threads and IRQL ------------------------------------------------------------------
// Every thread that runs driver code has an IRQL (PASSIVE_LEVEL at birth) and the list of
// spin locks it holds. The address of this record is the thread's identity (PKTHREAD).
struct ThreadState {
  KIRQL irql = PASSIVE_LEVEL;
  std::vector<PKSPIN_LOCK> heldLocks;
};
ThreadState& CurrentThread();
inline KIRQL CurrentIrql() { return CurrentThread().irql; }

// ---- dispatcher and kernel clock (clock.cpp) -------------------------------------------
// One lock guards every dispatcher object (events, semaphores, mutexes) and the clock, as
// the dispatcher lock does on Windows. Waiters block on one condition variable.
std::mutex& DispatcherLock();
std::int64_t ClockNowLocked();  // kernel time, 100-ns units since boot
// With the lock held: blocks until notified, or until kernel time reaches `deadline`
// (pass kNoDeadline to wait for a notification only). Spurious returns are allowed.
constexpr std::int64_t kNoDeadline = -1;
void DispatcherWaitLocked(std::unique_lock<std::mutex>& lock, std::int64_t deadline);
void DispatcherNotifyAllLocked();
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
bool ShouldFailAllocation(const char* routine, ULONG tag, SIZE_T size);
// For routines that allocate nothing but may be told to fail by a rule naming them: true
// (with the status to return) when this call fails.
bool ShouldFailCall(const char* routine, NTSTATUS* status);
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
PVOID AllocateForCaller(const char* routine, POOL_TYPE type, SIZE_T size, ULONG tag);
constexpr ULONG kStringTag = 'rtSU';  // reads "UStr" in a pool dump

// ---- IRP bookkeeping (irp.cpp, completion.cpp) -----------------------------------------
// Called by the completion walk when it reaches stack location `level` of `irp`.
void NoteLevelCompleted(PIRP irp, int level, bool pendingReturned);
// Claims the IRP for a completion walk by this thread; false (after a report) when the
// IRP cannot be completed now.
bool BeginCompletion(PIRP irp, const char* routine);
void SuspendCompletion(PIRP irp);  // a completion routine is running: the walk lets go
bool ResumeCompletion(PIRP irp);   // it returned without stopping the walk
// The walk reached the top: finishes an IRP the I/O manager built (status block, event,
// buffers, free). Returns with the IRP gone or handed back to its owner.
void FinishTopCompletion(PIRP irp);
bool IsLiveIrp(PIRP irp);
// The I/O manager's stack-underflow stand-in location for this thread.
PIO_STACK_LOCATION ScratchStackLocation(PIRP irp);
bool ScratchBelongsTo(PIRP irp);

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

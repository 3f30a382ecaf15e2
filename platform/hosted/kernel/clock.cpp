// The kernel clock (the time routines of ntoskrnl/HAL) and its modes. Its state lives
// under the dispatcher lock; the scheduler moves virtual time (scheduler.cpp).
#include "clock.h"

#include <thread>

#include "internal.h"

namespace hosted {
namespace {

using SteadyClock = std::chrono::steady_clock;

struct ClockState {
  bool virtualMode = false;
  bool autoAdvance = true;
  std::int64_t virtualStart = 0;          // kernel time at the last SetVirtual
  double factor = 1.0;
  std::int64_t baseTicks = 0;             // kernel time at `anchor`
  SteadyClock::time_point anchor = SteadyClock::now();
};

ClockState& State() {
  static ClockState* state = new ClockState();
  return *state;
}

void RebaseLocked(ClockState& s) {
  s.baseTicks = detail::ClockNowLocked();
  s.anchor = SteadyClock::now();
}

}  // namespace

namespace detail {

std::int64_t ClockNowLocked() {
  const ClockState& s = State();
  if (s.virtualMode) return s.baseTicks;
  const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(SteadyClock::now() - s.anchor);
  return s.baseTicks + static_cast<std::int64_t>(static_cast<double>(elapsed.count()) / 100.0 * s.factor);
}

bool ClockVirtualLocked() { return State().virtualMode; }
bool ClockAutoAdvanceLocked() { return State().autoAdvance; }
std::int64_t ClockVirtualStartLocked() { return State().virtualStart; }

void ClockSetNowLocked(std::int64_t ticks) {
  if (State().virtualMode && ticks > State().baseTicks) State().baseTicks = ticks;
}

std::chrono::steady_clock::time_point ClockRealDeadlineLocked(std::int64_t deadline) {
  const ClockState& s = State();
  const double realNanoseconds = static_cast<double>(deadline - s.baseTicks) * 100.0 / s.factor;
  // Round up so that a waiter never wakes before its kernel deadline.
  return s.anchor + std::chrono::nanoseconds(static_cast<std::int64_t>(realNanoseconds) + 1);
}

}  // namespace detail

void Clock::SetAccelerated(double factor) {
  ClockState& s = State();
  std::lock_guard<std::mutex> lock(detail::DispatcherLock());
  RebaseLocked(s);
  s.virtualMode = false;
  s.factor = factor > 0 ? factor : 1.0;
  detail::WakeAllTimersLocked();
}

void Clock::SetVirtual(TimeAdvance advance) {
  ClockState& s = State();
  std::lock_guard<std::mutex> lock(detail::DispatcherLock());
  RebaseLocked(s);
  s.virtualMode = true;
  s.autoAdvance = advance == TimeAdvance::Automatic;
  s.virtualStart = s.baseTicks;
  detail::WakeAllTimersLocked();
}

bool Clock::IsVirtual() {
  std::lock_guard<std::mutex> lock(detail::DispatcherLock());
  return State().virtualMode;
}

double Clock::Factor() {
  std::lock_guard<std::mutex> lock(detail::DispatcherLock());
  return State().virtualMode ? 0.0 : State().factor;
}

void Clock::SetAutoAdvance(bool on) {
  std::unique_lock<std::mutex> lock(detail::DispatcherLock());
  State().autoAdvance = on;
  if (on) detail::EvaluateLocked(lock);
}

bool Clock::AutoAdvance() {
  std::lock_guard<std::mutex> lock(detail::DispatcherLock());
  return State().autoAdvance;
}

std::int64_t Clock::Now() {
  std::lock_guard<std::mutex> lock(detail::DispatcherLock());
  return detail::ClockNowLocked();
}

void Clock::Advance(std::int64_t ticks) {
  if (ticks <= 0) return;
  ClockState& s = State();
  std::lock_guard<std::mutex> lock(detail::DispatcherLock());
  RebaseLocked(s);
  s.baseTicks += ticks;
  if (s.virtualMode) {
    detail::WakeDueLocked();
  } else {
    detail::WakeAllTimersLocked();  // each re-reads its real deadline
  }
}

void Clock::AdvanceTo(std::int64_t ticks) {
  std::lock_guard<std::mutex> lock(detail::DispatcherLock());
  detail::AdvanceToLocked(ticks);
}

std::size_t Clock::TimedWaiters() {
  std::lock_guard<std::mutex> lock(detail::DispatcherLock());
  return detail::TimedWaitersLocked();
}

bool Clock::WaitForTimedWaiters(std::size_t count, std::chrono::milliseconds realTimeout) {
  const void* caller = __builtin_return_address(0);
  const auto deadline = SteadyClock::now() + realTimeout;
  std::unique_lock<std::mutex> lock(detail::DispatcherLock());
  while (detail::TimedWaitersLocked() < count) {
    if (detail::RealTimeoutsApplyLocked() && SteadyClock::now() >= deadline) return false;
    detail::WaitSpec wait;
    wait.kind = "Clock::WaitForTimedWaiters";
    wait.object = detail::TimedWaitersChannel();
    wait.caller = caller;
    wait.realDeadline = &deadline;
    detail::BlockLocked(lock, wait);
  }
  return true;
}

std::int64_t Clock::NextDeadline() {
  std::lock_guard<std::mutex> lock(detail::DispatcherLock());
  return detail::EarliestDeadlineLocked();
}

bool Clock::AdvanceToNextDeadline() {
  ClockState& s = State();
  std::lock_guard<std::mutex> lock(detail::DispatcherLock());
  const std::int64_t next = detail::EarliestDeadlineLocked();
  if (next == detail::kNoDeadline) return false;
  RebaseLocked(s);
  if (next > s.baseTicks) s.baseTicks = next;
  if (s.virtualMode) {
    detail::WakeDueLocked();
  } else {
    detail::WakeAllTimersLocked();
  }
  return true;
}

}  // namespace hosted

using namespace hosted;

// ---- KeQuerySystemTime -----------------------------------------------------------------
extern "C" VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  CurrentTime->QuadPart = detail::kSystemTimeAtBoot + Clock::Now();
}

// ---- KeQueryInterruptTime --------------------------------------------------------------
extern "C" ULONGLONG NTAPI KeQueryInterruptTime(void) { return static_cast<ULONGLONG>(Clock::Now()); }

// ---- KeQueryTimeIncrement --------------------------------------------------------------
// The clock tick is the usual 15.625 ms.
extern "C" ULONG NTAPI KeQueryTimeIncrement(void) { return 156250; }

// ---- KeQueryTickCount ------------------------------------------------------------------
extern "C" VOID NTAPI KeQueryTickCount(PLARGE_INTEGER TickCount) {
  TickCount->QuadPart = Clock::Now() / KeQueryTimeIncrement();
}

// ---- KeQueryPerformanceCounter ---------------------------------------------------------
// A 10 MHz counter over kernel time.
extern "C" LARGE_INTEGER NTAPI KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
  if (PerformanceFrequency != NULL) PerformanceFrequency->QuadPart = Clock::kTicksPerSecond;
  LARGE_INTEGER now;
  now.QuadPart = Clock::Now();
  return now;
}

// ---- KeStallExecutionProcessor ---------------------------------------------------------
// Busy-waits on kernel time (any IRQL). In virtual time the stall itself moves the clock,
// as a real processor's time passes while it spins.
extern "C" VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds) {
  const std::int64_t ticks = static_cast<std::int64_t>(MicroSeconds) * Clock::kTicksPerMicrosecond;
  if (Clock::IsVirtual()) {
    Clock::Advance(ticks);
    return;
  }
  const std::int64_t end = Clock::Now() + ticks;
  while (Clock::Now() < end) std::this_thread::yield();
}

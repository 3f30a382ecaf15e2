// The kernel clock and the dispatcher's wait primitive; the time routines of ntoskrnl/HAL.
#include "clock.h"

#include <condition_variable>
#include <set>
#include <thread>

#include "internal.h"

namespace hosted {
namespace {

using SteadyClock = std::chrono::steady_clock;

struct ClockState {
  std::mutex mutex;                       // the dispatcher lock
  std::condition_variable dispatcherCv;   // dispatcher objects changed or time moved
  std::condition_variable waitersCv;      // the set of timed waiters changed
  bool virtualMode = false;
  double factor = 1.0;
  std::int64_t baseTicks = 0;             // kernel time at `anchor`
  SteadyClock::time_point anchor = SteadyClock::now();
  std::multiset<std::int64_t> deadlines;  // of the threads blocked in a timed wait
};

ClockState& State() {
  static ClockState* state = new ClockState();
  return *state;
}

std::int64_t NowLocked(const ClockState& s) {
  if (s.virtualMode) return s.baseTicks;
  const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(SteadyClock::now() - s.anchor);
  return s.baseTicks + static_cast<std::int64_t>(static_cast<double>(elapsed.count()) / 100.0 * s.factor);
}

void RebaseLocked(ClockState& s) {
  s.baseTicks = NowLocked(s);
  s.anchor = SteadyClock::now();
}

SteadyClock::time_point RealDeadlineLocked(const ClockState& s, std::int64_t deadline) {
  const double realNanoseconds = static_cast<double>(deadline - s.baseTicks) * 100.0 / s.factor;
  // Round up so that a waiter never wakes before its kernel deadline.
  return s.anchor + std::chrono::nanoseconds(static_cast<std::int64_t>(realNanoseconds) + 1);
}

}  // namespace

namespace detail {

std::mutex& DispatcherLock() { return State().mutex; }

std::int64_t ClockNowLocked() { return NowLocked(State()); }

void DispatcherWaitLocked(std::unique_lock<std::mutex>& lock, std::int64_t deadline) {
  ClockState& s = State();
  if (deadline == kNoDeadline) {
    s.dispatcherCv.wait(lock);
    return;
  }
  auto position = s.deadlines.insert(deadline);
  s.waitersCv.notify_all();
  if (s.virtualMode) {
    s.dispatcherCv.wait(lock);
  } else {
    s.dispatcherCv.wait_until(lock, RealDeadlineLocked(s, deadline));
  }
  s.deadlines.erase(position);
  s.waitersCv.notify_all();
}

void DispatcherNotifyAllLocked() { State().dispatcherCv.notify_all(); }

}  // namespace detail

void Clock::SetAccelerated(double factor) {
  ClockState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  RebaseLocked(s);
  s.virtualMode = false;
  s.factor = factor > 0 ? factor : 1.0;
  s.dispatcherCv.notify_all();
}

void Clock::SetVirtual() {
  ClockState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  RebaseLocked(s);
  s.virtualMode = true;
  s.dispatcherCv.notify_all();
}

bool Clock::IsVirtual() {
  std::lock_guard<std::mutex> lock(State().mutex);
  return State().virtualMode;
}

double Clock::Factor() {
  std::lock_guard<std::mutex> lock(State().mutex);
  return State().virtualMode ? 0.0 : State().factor;
}

std::int64_t Clock::Now() {
  std::lock_guard<std::mutex> lock(State().mutex);
  return NowLocked(State());
}

void Clock::Advance(std::int64_t ticks) {
  if (ticks <= 0) return;
  ClockState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  RebaseLocked(s);
  s.baseTicks += ticks;
  s.dispatcherCv.notify_all();
}

std::size_t Clock::TimedWaiters() {
  std::lock_guard<std::mutex> lock(State().mutex);
  return State().deadlines.size();
}

bool Clock::WaitForTimedWaiters(std::size_t count, std::chrono::milliseconds realTimeout) {
  ClockState& s = State();
  std::unique_lock<std::mutex> lock(s.mutex);
  return s.waitersCv.wait_for(lock, realTimeout, [&] { return s.deadlines.size() >= count; });
}

bool Clock::AdvanceToNextDeadline() {
  ClockState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.deadlines.empty()) return false;
  RebaseLocked(s);
  if (*s.deadlines.begin() > s.baseTicks) s.baseTicks = *s.deadlines.begin();
  s.dispatcherCv.notify_all();
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

// The kernel clock: the time base of every wait, delay and time query of the hosted kernel.
//
// Kernel time counts 100-ns units since boot (KeQueryInterruptTime). It runs in one of two
// modes:
//  - accelerated: kernel time = real time x factor (factor 1 is real time; 1000 turns a
//    five-minute time-out into 300 ms);
//  - virtual: kernel time moves only when a test advances it or, with automatic advance
//    (the default), when every hosted thread is blocked: it then jumps to the earliest
//    deadline of a blocked wait and wakes it (see scheduler.h). A time-out thus ends
//    exactly at its deadline, however loaded the machine is. With manual advance nothing
//    times out until the test moves time.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace hosted {

class Clock {
 public:
  static constexpr std::int64_t kTicksPerMicrosecond = 10;
  static constexpr std::int64_t kTicksPerMillisecond = 10000;
  static constexpr std::int64_t kTicksPerSecond = 10000000;

  enum class TimeAdvance { Automatic, Manual };

  static void SetAccelerated(double factor);
  static void SetVirtual(TimeAdvance advance = TimeAdvance::Automatic);
  static bool IsVirtual();
  static double Factor();  // 0 in virtual mode
  // Virtual time: whether it moves by itself when every hosted thread is blocked. Turning
  // it on with every other thread blocked moves time at once.
  static void SetAutoAdvance(bool on);
  static bool AutoAdvance();

  // Kernel time now, in 100-ns units.
  static std::int64_t Now();

  // Moves kernel time forward (in either mode) and wakes the waiters that are due.
  static void Advance(std::int64_t ticks);
  template <class Rep, class Period>
  static void Advance(std::chrono::duration<Rep, Period> duration) {
    Advance(std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count() / 100);
  }
  // Virtual time: moves it to `ticks` (never backwards) and wakes the waiters that are due.
  static void AdvanceTo(std::int64_t ticks);

  // Number of threads blocked in a kernel wait that has a deadline.
  static std::size_t TimedWaiters();
  // Blocks the caller, as a kernel wait, until at least `count` threads wait with a
  // deadline. Lets a test advance virtual time only once a waiter is in place. The real
  // time-out applies on the accelerated clock and with manual advance.
  static bool WaitForTimedWaiters(std::size_t count,
                                  std::chrono::milliseconds realTimeout = std::chrono::seconds(10));
  // Kernel time of the earliest deadline of a blocked wait, or -1.
  static std::int64_t NextDeadline();
  // Virtual mode: moves time to the earliest deadline of a waiting thread. False if none.
  static bool AdvanceToNextDeadline();
};

}  // namespace hosted

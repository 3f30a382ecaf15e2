// The scheduler of the hosted kernel: which threads take part in kernel time, what each
// one is blocked on, and when virtual time moves.
//
// A hosted thread is any thread that has called into the hosted kernel, plus the system
// threads it starts itself (each bus's USB thread, the work-item worker, the PnP
// manager's worker) and the threads a test starts with KernelThread. Every blocking wait
// of the kernel (dispatcher objects, fast mutexes, delays, the work queue, the USB
// thread's idle wait, the I/O manager's waits for its IRPs ...) goes through the
// dispatcher lock and is recorded here: the thread, what it waits for, on which object,
// from which routine, and its deadline if it has one.
//
// In virtual time with automatic advance (the default of the driver, end-to-end and tool
// suites) kernel time moves only when every hosted thread is blocked: it then jumps to the
// earliest deadline and wakes the waits that are due, so a time-out ends exactly at its
// deadline, at once, however loaded the machine is. When every hosted thread is blocked
// and none has a deadline, nothing can ever wake them: the verifier reports a deadlock
// naming each wait and the process stops, as it does for a bug check. Virtual time that
// runs a day by itself (threads waking each other by time-outs forever) is reported and
// stopped the same way, as a live-lock.
//
// A thread that blocks outside the kernel's knowledge (a std::mutex held across a kernel
// wait, std::thread::join) counts as running: time waits for it. Threads that only drive a
// simulated device (a test's thread that injects interrupt messages) need not be hosted
// threads; they act as the world outside the machine does: time may move while they run,
// so a test that waits for what such a thread does makes it a KernelThread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace hosted {

namespace detail {
struct Participant;
}

class Scheduler {
 public:
  // The calling thread's name in deadlock reports ("test thread", "USB thread 1.2" ...).
  // Makes it a hosted thread if it was not one yet.
  static void NameCurrentThread(std::string name);

  // Blocks until every other hosted thread is blocked in a kernel wait; time does not
  // move. Returns at once when they already are.
  static void Settle();

  // Lets the hosted threads run until `condition` holds (checked by the caller whenever
  // everything else is blocked). In virtual time with automatic advance, kernel time
  // moves from deadline to deadline while the condition does not hold; false when it
  // cannot come true any more (every thread blocked and no deadline left) or when it has
  // not come true within `budget` of kernel time. With manual advance it only settles.
  // On the accelerated clock it polls until kernel time has moved by `budget`.
  static bool RunUntil(const std::function<bool()>& condition,
                       std::chrono::nanoseconds budget = std::chrono::hours(1));

  // Hosted threads alive, and how many of them are blocked in a kernel wait.
  static std::size_t Threads();
  static std::size_t BlockedThreads();
};

// A hosted thread a test or a platform component starts. It is a hosted thread from the
// moment it is created (so time cannot move before it first runs); Join waits for it as a
// kernel wait does, and its end wakes whoever joins it.
class KernelThread {
 public:
  KernelThread(std::string name, std::function<void()> body);
  ~KernelThread();  // joins, unless detached
  KernelThread(const KernelThread&) = delete;
  KernelThread& operator=(const KernelThread&) = delete;

  void Join();
  // Waits at most `realTimeout` where real time-outs apply (the accelerated clock, manual
  // advance); in virtual time with automatic advance a deadlock is reported instead.
  bool Join(std::chrono::milliseconds realTimeout);
  bool Finished() const;
  bool IsCurrent() const;  // called from the thread itself
  std::thread::id Id() const;
  // Lets the thread finish on its own (it must not outlive what its body uses).
  void Detach();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

// A place where hosted threads wait for a condition of state the kernel does not own (the
// USB stack's queues, a request's completion, a test's fake device): Wait blocks as a
// kernel wait until the predicate holds; whoever changes what the predicate reads calls
// NotifyAll afterwards. The predicate runs without the dispatcher lock, so it may take the
// locks of the state it reads. Only the threads waiting on this condition are woken.
class KernelCondition {
 public:
  // `what` names the wait in deadlock reports; an idle wait is a thread waiting for work
  // (not a deadlock when every thread is idle).
  explicit KernelCondition(const char* what, bool idle = false);
  KernelCondition(const KernelCondition&) = delete;
  KernelCondition& operator=(const KernelCondition&) = delete;

  void NotifyAll();
  void Wait(const std::function<bool()>& predicate);
  // Gives up after `realTimeout` where real time-outs apply (see KernelThread::Join).
  bool Wait(const std::function<bool()>& predicate, std::chrono::milliseconds realTimeout);
  // Gives up once kernel time reaches `deadline` (100-ns units, as Clock::Now), as a
  // kernel wait with a time-out does: false when the predicate still does not hold then.
  bool WaitUntil(const std::function<bool()>& predicate, std::int64_t deadline);

 private:
  bool WaitImpl(const std::function<bool()>& predicate, const std::chrono::milliseconds* realTimeout,
                std::int64_t kernelDeadline,
                const void* caller);

  const char* what_;
  bool idle_;
  std::uint64_t generation_ = 0;  // under the dispatcher lock
};

}  // namespace hosted

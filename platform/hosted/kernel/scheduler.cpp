// The scheduler: hosted threads, their waits under the dispatcher lock, virtual time's
// advance when every thread is blocked, and the deadlock report.
#include "scheduler.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "clock.h"
#include "internal.h"

namespace hosted::detail {

// One hosted thread. Every field is read and written under the dispatcher lock.
struct Participant {
  std::string name;
  std::uint64_t number = 0;
  std::condition_variable cv;
  bool alive = false;     // registered and not yet ended
  bool blocked = false;   // inside BlockLocked
  bool woken = false;     // marked runnable (counted as running again)
  bool queued = false;    // listed under its wait's object
  bool timed = false;     // listed in the timers
  bool settling = false;  // a Settle() wait
  WaitSpec wait;
  std::multimap<std::int64_t, Participant*>::iterator timer;
};

namespace {

// How far virtual time may move by itself after it was set: a day of kernel time is far
// beyond any time-out a session waits out, so beyond it the threads are live-locked.
constexpr std::int64_t kRunawayTicks = 24LL * 3600 * 10000000;

struct SchedulerState {
  std::mutex lock;  // the dispatcher lock
  std::unordered_set<Participant*> threads;
  std::size_t running = 0;  // hosted threads not blocked (woken ones included)
  std::unordered_map<const void*, std::vector<Participant*>> channels;
  std::multimap<std::int64_t, Participant*> timers;  // blocked waits with a kernel deadline
  std::vector<Participant*> settlers;
  std::uint64_t numbers = 0;
  char timedWaitersChannel = 0;  // its address: where WaitForTimedWaiters waits
};

SchedulerState& State() {
  static SchedulerState* state = new SchedulerState();  // lives for the whole process
  return *state;
}

// The calling thread's record; its end (thread exit) ends the hosted thread.
struct Slot {
  std::shared_ptr<Participant> self;
  ~Slot() {
    if (self != nullptr) ExitCurrentThread();
  }
};
thread_local Slot t_slot;

void RegisterLocked(Participant* p) {
  SchedulerState& s = State();
  p->number = ++s.numbers;
  if (p->name.empty()) p->name = "thread " + std::to_string(p->number);
  p->alive = true;
  s.threads.insert(p);
  ++s.running;
}

Participant* SelfLocked() {
  if (t_slot.self == nullptr) {
    t_slot.self = std::make_shared<Participant>();
    RegisterLocked(t_slot.self.get());
  }
  return t_slot.self.get();
}

void MarkRunnableLocked(Participant* p) {
  SchedulerState& s = State();
  if (!p->blocked || p->woken) return;
  p->woken = true;
  ++s.running;
  if (p->queued) {
    auto channel = s.channels.find(p->wait.object);
    if (channel != s.channels.end()) {
      std::erase(channel->second, p);
      if (channel->second.empty()) s.channels.erase(channel);
    }
    p->queued = false;
  }
  if (p->timed) {
    s.timers.erase(p->timer);
    p->timed = false;
  }
  if (p->settling) std::erase(s.settlers, p);
  p->cv.notify_one();
}

// ---- the deadlock report -------------------------------------------------------------

// Trims a line read from addr2line: no line end, no "(discriminator n)", and the file with
// its folder only ("pnp/PnpHandlers.cpp:134").
std::string Trimmed(std::string text, bool location) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (!location) return text;
  const std::size_t discriminator = text.find(" (discriminator");
  if (discriminator != std::string::npos) text.resize(discriminator);
  const std::size_t last = text.rfind('/');
  const std::size_t folder = last == std::string::npos || last == 0 ? std::string::npos : text.rfind('/', last - 1);
  return folder == std::string::npos ? text : text.substr(folder + 1);
}

// "CcidHandleRemoveDevice (pnp/PnpHandlers.cpp:134)" for each return address: the dynamic
// symbols name exported routines; the others come from the debug information, through one
// addr2line run per module. An address nothing names stays "module+offset".
std::vector<std::string> RoutinesAt(const std::vector<const void*>& addresses) {
  std::vector<std::string> names(addresses.size());
  std::map<std::string, std::vector<std::pair<std::size_t, std::uintptr_t>>> lookups;  // module -> (index, offset)
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    if (addresses[i] == nullptr) continue;
    const char* target = static_cast<const char*>(addresses[i]) - 1;  // inside the call instruction
    Dl_info info{};
    ElfW(Sym)* symbol = nullptr;
    if (dladdr1(target, &info, reinterpret_cast<void**>(&symbol), RTLD_DL_SYMENT) == 0) {
      names[i] = PointerText(addresses[i]);
      continue;
    }
    if (info.dli_sname != nullptr && symbol != nullptr && symbol->st_size != 0 &&
        target < static_cast<const char*>(info.dli_saddr) + symbol->st_size) {
      int status = 0;
      char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
      names[i] = status == 0 && demangled != nullptr ? demangled : info.dli_sname;
      std::free(demangled);
      continue;
    }
    const auto* header = static_cast<const ElfW(Ehdr)*>(info.dli_fbase);
    const auto base = header != nullptr && header->e_type == ET_DYN ? reinterpret_cast<std::uintptr_t>(header) : 0;
    const std::string module = info.dli_fname != nullptr ? info.dli_fname : "?";
    const std::uintptr_t offset = reinterpret_cast<std::uintptr_t>(target) - base;
    names[i] = module + "+" + Hex(offset);
    if (module.find('\'') == std::string::npos) lookups[module].push_back({i, offset});
  }
  for (const auto& [module, wanted] : lookups) {
    std::string command = "addr2line -C -f -e '";
    command += module;
    command += '\'';
    for (const auto& [index, offset] : wanted) {
      command += ' ';
      command += Hex(offset);
    }
    FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr) continue;
    for (const auto& [index, offset] : wanted) {
      char function[1024] = {};
      char location[1024] = {};
      if (std::fgets(function, sizeof function, pipe) == nullptr || std::fgets(location, sizeof location, pipe) == nullptr)
        break;
      if (function[0] != '?') names[index] = Trimmed(function, false) + " (" + Trimmed(location, true) + ")";
    }
    pclose(pipe);
  }
  return names;
}

struct BlockedWait {
  std::string thread;
  WaitSpec wait;
  std::string object;  // copied: the object's text may go with its thread
};

// Every hosted thread is blocked and none can be woken by time (or time has run away):
// the report names each wait, then the process stops as it does for a bug check.
[[noreturn]] void ReportStopLocked(std::unique_lock<std::mutex>& lock, const char* headline) {
  std::vector<BlockedWait> waits;
  std::vector<Participant*> threads(State().threads.begin(), State().threads.end());
  std::sort(threads.begin(), threads.end(), [](Participant* a, Participant* b) { return a->number < b->number; });
  for (Participant* p : threads)
    waits.push_back({p->name, p->wait, p->wait.objectName != nullptr ? p->wait.objectName : ""});
  lock.release();  // every hosted thread stays blocked; nothing may take the lock again
  std::vector<const void*> callers;
  for (const BlockedWait& w : waits) callers.push_back(w.wait.caller);
  const std::vector<std::string> routines = RoutinesAt(callers);
  std::string message = headline;
  for (std::size_t i = 0; i < waits.size(); ++i) {
    const BlockedWait& w = waits[i];
    // "test thread" waits in KeWaitForSingleObject on notification event 0x..., called
    // from CcidHandleRemoveDevice (pnp/PnpHandlers.cpp:134)
    // "USB thread, bus 1 address 2" is idle (waits for work), in ThreadMain (...)
    message += "\n  \"" + w.thread + "\" ";
    message += w.wait.idle ? "is idle (" + std::string(w.wait.kind) + ")" : "waits in " + std::string(w.wait.kind);
    if (w.wait.objectType != nullptr) {
      message += " on " + std::string(w.wait.objectType) + " ";
      message += w.object.empty() ? PointerText(w.wait.object) : "\"" + w.object + "\"";
    }
    if (!routines[i].empty()) message += (w.wait.idle ? ", in " : ", called from ") + routines[i];
  }
  // On stderr in any case (a test's handler reports elsewhere), then to the verifier.
  if (Verifier::HasHandler()) {
    const Violation violation{Check::Deadlock, "the scheduler", message};
    std::fprintf(stderr, "%s\n", violation.ToString().c_str());
    std::fflush(stderr);
  }
  Verifier::Report(Check::Deadlock, "the scheduler", message);
  std::fflush(stdout);
  std::fflush(stderr);
  std::abort();
}

}  // namespace

std::mutex& DispatcherLock() { return State().lock; }

const void* TimedWaitersChannel() { return &State().timedWaitersChannel; }

std::size_t TimedWaitersLocked() { return State().timers.size(); }

std::int64_t EarliestDeadlineLocked() {
  return State().timers.empty() ? kNoDeadline : State().timers.begin()->first;
}

void WakeLocked(const void* object) {
  SchedulerState& s = State();
  auto channel = s.channels.find(object);
  if (channel == s.channels.end()) return;
  std::vector<Participant*> waiters = std::move(channel->second);
  s.channels.erase(channel);
  for (Participant* p : waiters) {
    p->queued = false;
    MarkRunnableLocked(p);
  }
}

void WakeDueLocked() {
  SchedulerState& s = State();
  const std::int64_t now = ClockNowLocked();
  while (!s.timers.empty() && s.timers.begin()->first <= now) MarkRunnableLocked(s.timers.begin()->second);
}

void WakeAllTimersLocked() {
  SchedulerState& s = State();
  while (!s.timers.empty()) MarkRunnableLocked(s.timers.begin()->second);
}

void AdvanceToLocked(std::int64_t deadline) {
  if (deadline > ClockNowLocked()) ClockSetNowLocked(deadline);
  WakeDueLocked();
}

bool RealTimeoutsApplyLocked() { return !(ClockVirtualLocked() && ClockAutoAdvanceLocked()); }

// The last running hosted thread has just blocked (or ended): settlers go first, then
// virtual time moves to the next deadline; with nothing left to wake it is a deadlock.
void EvaluateLocked(std::unique_lock<std::mutex>& lock) {
  SchedulerState& s = State();
  if (s.running != 0 || s.threads.empty()) return;
  if (!s.settlers.empty()) {
    const std::vector<Participant*> settlers = s.settlers;
    for (Participant* p : settlers) MarkRunnableLocked(p);
    return;
  }
  if (!ClockVirtualLocked() || !ClockAutoAdvanceLocked()) return;
  if (!s.timers.empty()) {
    const std::int64_t next = s.timers.begin()->first;
    if (next - ClockVirtualStartLocked() > kRunawayTicks) {
      ReportStopLocked(lock, "virtual time has run a day by itself: the hosted threads keep waking each other "
                             "by time-outs and never get anywhere (a live-lock):");
    }
    AdvanceToLocked(next);
    return;
  }
  const bool allIdle = std::all_of(s.threads.begin(), s.threads.end(), [](Participant* p) { return p->wait.idle; });
  if (!allIdle) ReportStopLocked(lock, "every hosted thread is blocked and no wait has a time-out:");
}

void BlockLocked(std::unique_lock<std::mutex>& lock, const WaitSpec& wait) {
  SchedulerState& s = State();
  Participant* p = SelfLocked();
  p->wait = wait;
  p->blocked = true;
  p->woken = false;
  if (wait.object != nullptr) {
    s.channels[wait.object].push_back(p);
    p->queued = true;
  }
  if (wait.deadline != kNoDeadline) {
    p->timer = s.timers.emplace(wait.deadline, p);
    p->timed = true;
    WakeLocked(TimedWaitersChannel());
  }
  if (p->settling) s.settlers.push_back(p);
  --s.running;
  EvaluateLocked(lock);
  while (!p->woken) {
    if (wait.deadline != kNoDeadline && !ClockVirtualLocked()) {
      if (p->cv.wait_until(lock, ClockRealDeadlineLocked(wait.deadline)) == std::cv_status::timeout &&
          ClockNowLocked() >= wait.deadline)
        MarkRunnableLocked(p);
    } else if (wait.realDeadline != nullptr && RealTimeoutsApplyLocked()) {
      if (p->cv.wait_until(lock, *wait.realDeadline) == std::cv_status::timeout) MarkRunnableLocked(p);
    } else {
      p->cv.wait(lock);
    }
  }
  p->blocked = false;
  p->settling = false;
}

std::shared_ptr<Participant> NewThreadLocked(std::string name) {
  auto p = std::make_shared<Participant>();
  p->name = std::move(name);
  RegisterLocked(p.get());
  return p;
}

void AdoptThread(std::shared_ptr<Participant> participant) { t_slot.self = std::move(participant); }

void ExitCurrentThread() {
  std::shared_ptr<Participant> p = std::move(t_slot.self);
  if (p == nullptr) return;
  std::unique_lock<std::mutex> lock(DispatcherLock());
  SchedulerState& s = State();
  p->alive = false;
  s.threads.erase(p.get());
  --s.running;
  WakeLocked(p.get());  // whoever joins it
  EvaluateLocked(lock);
}

void RegisterCurrentThread() {
  std::lock_guard<std::mutex> lock(DispatcherLock());
  (void)SelfLocked();
}

// ---- BlockingMutex ---------------------------------------------------------------------

void BlockingMutex::lock() {
  std::unique_lock<std::mutex> guard(DispatcherLock());
  Participant* self = SelfLocked();
  while (owner_ != nullptr) {
    WaitSpec wait;
    wait.kind = what_;
    wait.object = this;  // its callers are std::lock_guard: the name says more
    BlockLocked(guard, wait);
  }
  owner_ = self;
}

void BlockingMutex::unlock() {
  std::lock_guard<std::mutex> guard(DispatcherLock());
  owner_ = nullptr;
  WakeLocked(this);
}

}  // namespace hosted::detail

namespace hosted {

using namespace detail;

// ---- Scheduler ---------------------------------------------------------------------------

void Scheduler::NameCurrentThread(std::string name) {
  std::lock_guard<std::mutex> lock(DispatcherLock());
  SelfLocked()->name = std::move(name);
}

void Scheduler::Settle() {
  const void* caller = __builtin_return_address(0);
  std::unique_lock<std::mutex> lock(DispatcherLock());
  Participant* self = SelfLocked();
  if (State().running <= 1) return;  // only the caller runs
  self->settling = true;
  WaitSpec wait;
  wait.kind = "Scheduler::Settle";
  wait.caller = caller;
  BlockLocked(lock, wait);
}

bool Scheduler::RunUntil(const std::function<bool()>& condition, std::chrono::nanoseconds budget) {
  const std::int64_t budgetTicks = budget.count() / 100;
  const std::int64_t start = Clock::Now();
  for (;;) {
    if (condition()) return true;
    if (!Clock::IsVirtual()) {
      if (Clock::Now() - start > budgetTicks) return false;
      std::this_thread::yield();
      continue;
    }
    Settle();
    if (condition()) return true;
    std::lock_guard<std::mutex> lock(DispatcherLock());
    const std::int64_t next = EarliestDeadlineLocked();
    if (!ClockAutoAdvanceLocked() || next == kNoDeadline || next - start > budgetTicks) return false;
    AdvanceToLocked(next);
  }
}

std::size_t Scheduler::Threads() {
  std::lock_guard<std::mutex> lock(DispatcherLock());
  return State().threads.size();
}

std::size_t Scheduler::BlockedThreads() {
  std::lock_guard<std::mutex> lock(DispatcherLock());
  return State().threads.size() - State().running;
}

// ---- KernelThread ------------------------------------------------------------------------

class KernelThread::Impl {
 public:
  // After the hosted thread ended: the system thread's own end (once, whoever joins; the
  // lock is not held across it, the ending thread may still ask for its id).
  void JoinSystemThread() {
    std::thread ending;
    {
      std::lock_guard<std::mutex> lock(joinMutex);
      ending = std::move(thread);
    }
    if (ending.joinable()) ending.join();
  }

  std::shared_ptr<Participant> participant;
  std::thread thread;
  std::thread::id id;  // set once, at creation
  std::mutex joinMutex;
};

KernelThread::KernelThread(std::string name, std::function<void()> body) : impl_(std::make_unique<Impl>()) {
  {
    std::lock_guard<std::mutex> lock(DispatcherLock());
    impl_->participant = NewThreadLocked(std::move(name));
  }
  std::lock_guard<std::mutex> lock(impl_->joinMutex);  // the thread may ask for its id at once
  impl_->thread = std::thread([participant = impl_->participant, body = std::move(body)] {
    AdoptThread(participant);
    body();
    ExitCurrentThread();
  });
  impl_->id = impl_->thread.get_id();
}

KernelThread::~KernelThread() {
  if (IsCurrent()) {
    Detach();
    return;
  }
  bool joinable;
  {
    std::lock_guard<std::mutex> lock(impl_->joinMutex);
    joinable = impl_->thread.joinable();
  }
  if (joinable) Join();
}

void KernelThread::Join() {
  const void* caller = __builtin_return_address(0);
  {
    std::unique_lock<std::mutex> lock(DispatcherLock());
    while (impl_->participant->alive) {
      WaitSpec wait;
      wait.kind = "KernelThread::Join";
      wait.object = impl_->participant.get();
      wait.objectType = "thread";
      wait.objectName = impl_->participant->name.c_str();
      wait.caller = caller;
      BlockLocked(lock, wait);
    }
  }
  impl_->JoinSystemThread();
}

bool KernelThread::Join(std::chrono::milliseconds realTimeout) {
  const void* caller = __builtin_return_address(0);
  const auto deadline = std::chrono::steady_clock::now() + realTimeout;
  {
    std::unique_lock<std::mutex> lock(DispatcherLock());
    while (impl_->participant->alive) {
      if (RealTimeoutsApplyLocked() && std::chrono::steady_clock::now() >= deadline) return false;
      WaitSpec wait;
      wait.kind = "KernelThread::Join";
      wait.object = impl_->participant.get();
      wait.objectType = "thread";
      wait.objectName = impl_->participant->name.c_str();
      wait.caller = caller;
      wait.realDeadline = &deadline;
      BlockLocked(lock, wait);
    }
  }
  impl_->JoinSystemThread();
  return true;
}

bool KernelThread::Finished() const {
  std::lock_guard<std::mutex> lock(DispatcherLock());
  return !impl_->participant->alive;
}

bool KernelThread::IsCurrent() const { return Id() == std::this_thread::get_id(); }

std::thread::id KernelThread::Id() const {
  std::lock_guard<std::mutex> lock(impl_->joinMutex);
  return impl_->id;
}

void KernelThread::Detach() {
  std::lock_guard<std::mutex> lock(impl_->joinMutex);
  if (impl_->thread.joinable()) impl_->thread.detach();
}

// ---- KernelCondition ---------------------------------------------------------------------

KernelCondition::KernelCondition(const char* what, bool idle) : what_(what), idle_(idle) {}

void KernelCondition::NotifyAll() {
  std::lock_guard<std::mutex> lock(DispatcherLock());
  ++generation_;
  WakeLocked(this);
}

void KernelCondition::Wait(const std::function<bool()>& predicate) {
  (void)WaitImpl(predicate, nullptr, kNoDeadline, __builtin_return_address(0));
}

bool KernelCondition::Wait(const std::function<bool()>& predicate, std::chrono::milliseconds realTimeout) {
  return WaitImpl(predicate, &realTimeout, kNoDeadline, __builtin_return_address(0));
}

bool KernelCondition::WaitUntil(const std::function<bool()>& predicate, std::int64_t deadline) {
  return WaitImpl(predicate, nullptr, deadline, __builtin_return_address(0));
}

bool KernelCondition::WaitImpl(const std::function<bool()>& predicate, const std::chrono::milliseconds* realTimeout,
                               std::int64_t kernelDeadline, const void* caller) {
  const auto deadline = std::chrono::steady_clock::now() + (realTimeout != nullptr ? *realTimeout : std::chrono::milliseconds(0));
  for (;;) {
    std::uint64_t seen;
    {
      std::lock_guard<std::mutex> lock(DispatcherLock());
      seen = generation_;
    }
    if (predicate()) return true;
    std::unique_lock<std::mutex> lock(DispatcherLock());
    if (generation_ != seen) continue;
    if ((realTimeout != nullptr && RealTimeoutsApplyLocked() && std::chrono::steady_clock::now() >= deadline) ||
        (kernelDeadline != kNoDeadline && ClockNowLocked() >= kernelDeadline)) {
      lock.unlock();
      return predicate();
    }
    WaitSpec wait;
    wait.deadline = kernelDeadline;
    wait.kind = what_;
    wait.object = this;
    wait.caller = caller;
    wait.idle = idle_;
    if (realTimeout != nullptr) wait.realDeadline = &deadline;
    BlockLocked(lock, wait);
  }
}

}  // namespace hosted

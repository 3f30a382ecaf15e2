// Work items: ExQueueWorkItem and the IoXxxWorkItem routines, run by one system worker
// thread at PASSIVE_LEVEL in the order they were queued.
#include <deque>
#include <functional>
#include <thread>
#include <unordered_map>

#include "internal.h"
#include "kernel_state.h"

struct _IO_WORKITEM {
  PDEVICE_OBJECT device;
  bool queued;
};

using namespace hosted;
using namespace hosted::detail;

namespace {

struct WorkState {
  // The queue is under the dispatcher lock: the worker and DrainWorkQueue block on it.
  std::deque<std::function<void()>> queue;
  bool running = false;  // an item is executing
  bool started = false;
  bool held = false;     // HoldWorkItems: queued items wait
  char drained = 0;      // its address: where DrainWorkQueue waits
  // Allocated IO_WORKITEMs -> serial, under `mutex`.
  std::mutex mutex;
  std::unordered_map<PIO_WORKITEM, std::uint64_t> items;
  std::uint64_t serial = 0;
};

WorkState& State() {
  static WorkState* state = new WorkState();
  return *state;
}

void WorkerThread(std::shared_ptr<Participant> self) {
  AdoptThread(std::move(self));
  WorkState& s = State();
  WaitSpec idle;
  idle.kind = "waits for work items";
  idle.object = &s.queue;
  idle.idle = true;
  for (;;) {
    std::function<void()> work;
    {
      std::unique_lock<std::mutex> lock(DispatcherLock());
      s.running = false;
      if (s.queue.empty()) WakeLocked(&s.drained);
      while (s.queue.empty() || s.held) BlockLocked(lock, idle);
      work = std::move(s.queue.front());
      s.queue.pop_front();
      s.running = true;
    }
    work();
    CheckRoutineReturn("work item routine", PASSIVE_LEVEL, 0);
  }
}

void Enqueue(std::function<void()> work) {
  WorkState& s = State();
  std::lock_guard<std::mutex> lock(DispatcherLock());
  if (!s.started) {
    // A hosted thread from now on, before the caller can block waiting for the item.
    s.started = true;
    std::thread(WorkerThread, NewThreadLocked("work-item worker")).detach();
  }
  s.queue.push_back(std::move(work));
  WakeLocked(&s.queue);
}

}  // namespace

namespace hosted::detail {

std::uint64_t WorkItemSerial() {
  std::lock_guard<std::mutex> lock(State().mutex);
  return State().serial;
}

void ReportWorkItemLeaks(std::uint64_t since, std::string_view context) {
  std::vector<PIO_WORKITEM> leaked;
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    for (auto it = State().items.begin(); it != State().items.end();) {
      if (it->second > since) {
        leaked.push_back(it->first);
        it = State().items.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (PIO_WORKITEM item : leaked) {
    Verifier::Report(Check::WorkItemMisuse, "IoAllocateWorkItem",
                     "work item " + PointerText(item) + " never freed " + std::string(context));
    delete item;
  }
}

void DrainWorkQueue() {
  WorkState& s = State();
  WaitSpec wait;
  wait.kind = "DrainWorkQueue";
  wait.object = &s.drained;
  wait.caller = __builtin_return_address(0);
  std::unique_lock<std::mutex> lock(DispatcherLock());
  while (!s.queue.empty() || s.running) BlockLocked(lock, wait);
}

}  // namespace hosted::detail

namespace hosted {

void DrainWorkQueue() { detail::DrainWorkQueue(); }

void HoldWorkItems(bool hold) {
  std::lock_guard<std::mutex> lock(DispatcherLock());
  State().held = hold;
  WakeLocked(&State().queue);
}

std::size_t HeldWorkItems() {
  std::lock_guard<std::mutex> lock(DispatcherLock());
  return State().held ? State().queue.size() : 0;
}

std::size_t PendingWorkItems() {
  std::lock_guard<std::mutex> lock(DispatcherLock());
  return State().queue.size() + (State().running ? 1 : 0);
}

}  // namespace hosted

// ---- ExQueueWorkItem -------------------------------------------------------------------
extern "C" VOID NTAPI ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType) {
  (void)QueueType;
  if (CurrentIrql() > DISPATCH_LEVEL) {
    Verifier::Report(Check::IrqlInvalid, "ExQueueWorkItem", "called above DISPATCH_LEVEL");
  }
  if (WorkItem == NULL || WorkItem->WorkerRoutine == NULL) {
    Verifier::Report(Check::WorkItemMisuse, "ExQueueWorkItem", "work item without a worker routine");
    return;
  }
  PWORKER_THREAD_ROUTINE routine = WorkItem->WorkerRoutine;
  PVOID parameter = WorkItem->Parameter;
  Enqueue([routine, parameter] { routine(parameter); });
}

// ---- IoAllocateWorkItem ----------------------------------------------------------------
extern "C" PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
  if (!IsLiveDevice(DeviceObject)) {
    Verifier::Report(Check::DeviceInvalid, "IoAllocateWorkItem", "not a device object");
    return NULL;
  }
  if (ShouldFailAllocation("IoAllocateWorkItem", 'tIoI', sizeof(_IO_WORKITEM), __builtin_return_address(0))) return NULL;
  auto* item = new _IO_WORKITEM{DeviceObject, false};
  std::lock_guard<std::mutex> lock(State().mutex);
  State().items[item] = ++State().serial;
  return item;
}

// ---- IoFreeWorkItem --------------------------------------------------------------------
extern "C" VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
  std::string problem;
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    auto it = State().items.find(IoWorkItem);
    if (it == State().items.end()) {
      problem = "work item " + PointerText(IoWorkItem) + " is not allocated (freed twice?)";
    } else if (IoWorkItem->queued) {
      problem = "work item " + PointerText(IoWorkItem) + " freed while queued";
    } else {
      State().items.erase(it);
    }
  }
  if (!problem.empty()) {
    Verifier::Report(Check::WorkItemMisuse, "IoFreeWorkItem", problem);
    return;
  }
  delete IoWorkItem;
}

// ---- IoQueueWorkItem -------------------------------------------------------------------
// The device object is referenced until the routine has run; the item may be queued again
// from its own routine.
extern "C" VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                                     WORK_QUEUE_TYPE QueueType, PVOID Context) {
  (void)QueueType;
  std::string problem;
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    if (State().items.count(IoWorkItem) == 0) {
      problem = "work item " + PointerText(IoWorkItem) + " is not allocated";
    } else if (IoWorkItem->queued) {
      problem = "work item " + PointerText(IoWorkItem) + " queued while already queued";
    } else {
      IoWorkItem->queued = true;
    }
  }
  if (!problem.empty()) {
    Verifier::Report(Check::WorkItemMisuse, "IoQueueWorkItem", problem);
    return;
  }
  PDEVICE_OBJECT device = IoWorkItem->device;
  ObfReferenceObject(device);
  Enqueue([IoWorkItem, WorkerRoutine, Context, device] {
    {
      std::lock_guard<std::mutex> lock(State().mutex);
      IoWorkItem->queued = false;
    }
    WorkerRoutine(device, Context);
    ObfDereferenceObject(device);
  });
}

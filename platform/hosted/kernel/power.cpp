// The power manager: PoRequestPowerIrp and the power thread that sends the requested IRPs,
// system transitions, PoCallDriver, PoStartNextPowerIrp with the one-at-a-time rule
// (PoSetPowerState is with the device objects).
#include <atomic>
#include <deque>
#include <map>
#include <set>
#include <unordered_map>

#include "internal.h"
#include "power_manager.h"
#include "scheduler.h"

using namespace hosted;
using namespace hosted::detail;

namespace {

enum class Kind { System, Device, WaitWake, Other };

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::System: return "system set/query";
    case Kind::Device: return "device set/query";
    case Kind::WaitWake: return "wait-wake";
    default: return "other";
  }
}

Kind KindOf(const IO_STACK_LOCATION& location) {
  if (location.MajorFunction != IRP_MJ_POWER) return Kind::Other;
  switch (location.MinorFunction) {
    case IRP_MN_SET_POWER:
    case IRP_MN_QUERY_POWER:
      return location.Parameters.Power.Type == SystemPowerState ? Kind::System : Kind::Device;
    case IRP_MN_WAIT_WAKE:
      return Kind::WaitWake;
    default:
      return Kind::Other;
  }
}

// One IRP the power manager sends: requested by a driver, or a step of a system transition.
struct Request {
  PIRP irp = nullptr;
  PDEVICE_OBJECT target = nullptr;  // the device named (the PDO): the stack it goes to
  PDEVICE_OBJECT top = nullptr;     // referenced until the IRP has completed
  Kind kind = Kind::Other;
  UCHAR minor = 0;
  POWER_STATE state{};
  PREQUEST_POWER_COMPLETE callback = nullptr;
  PVOID context = nullptr;
  std::function<void(NTSTATUS)> done;  // a system transition's step
  IO_STATUS_BLOCK io{};
};

struct PowerState {
  std::mutex mutex;
  std::deque<Request*> toSend;
  std::deque<Request*> toCall;
  std::set<std::pair<PDEVICE_OBJECT, Kind>> busy;  // stacks with an IRP of a kind in flight
  bool hold[2] = {false, false};
  std::size_t outstanding = 0;
  std::size_t waitWakesPending = 0;  // sent and not completed: they may wait for days
  std::unordered_map<PDEVICE_OBJECT, SYSTEM_POWER_STATE> systemState;
  // Verifier: per device and kind, the IRP it has not yet released with PoStartNextPowerIrp;
  // per IRP, the stack locations whose driver did.
  std::map<std::pair<PDEVICE_OBJECT, Kind>, PIRP> active;
  std::unordered_map<PIRP, std::set<int>> started;
  std::unique_ptr<KernelThread> thread;
  KernelCondition work{"the power thread waits for power IRPs", /*idle=*/true};
  KernelCondition changed{"a wait for the power manager"};
  std::atomic<unsigned long> startNextCalls{0};
};

PowerState& State() {
  static PowerState* state = new PowerState();
  return *state;
}

std::size_t HeldLocked(PowerState& s, PowerHold point) {
  if (!s.hold[static_cast<int>(point)]) return 0;
  if (point == PowerHold::Callback) return s.toCall.size();
  std::size_t n = 0;
  for (Request* r : s.toSend) n += r->done ? 0 : 1;
  return n;
}

// With the lock: the next thing the power thread may do.
bool PickLocked(PowerState& s, Request*& send, Request*& call) {
  if (!s.hold[static_cast<int>(PowerHold::Callback)] && !s.toCall.empty()) {
    call = s.toCall.front();
    s.toCall.pop_front();
    return true;
  }
  for (auto it = s.toSend.begin(); it != s.toSend.end(); ++it) {
    Request* r = *it;
    if (!r->done && s.hold[static_cast<int>(PowerHold::Send)]) continue;
    if (s.busy.count({r->target, r->kind}) != 0) continue;
    s.busy.insert({r->target, r->kind});
    if (r->kind == Kind::WaitWake) s.waitWakesPending++;
    s.toSend.erase(it);
    send = r;
    return true;
  }
  return false;
}

void PowerThread() {
  PowerState& s = State();
  for (;;) {
    Request* send = nullptr;
    Request* call = nullptr;
    s.work.Wait([&] {
      std::lock_guard<std::mutex> lock(s.mutex);
      return PickLocked(s, send, call);
    });
    if (send != nullptr) {
      (void)IoCallDriver(send->top, send->irp);
      continue;
    }
    if (call->done) {
      call->done(call->io.Status);
    } else if (call->callback != NULL) {
      {
        const DriverRoutineCall routine;
        call->callback(call->target, call->minor, call->state, call->context, &call->io);
      }
      CheckRoutineReturn("power request completion function", PASSIVE_LEVEL, 0);
    }
    IoFreeIrp(call->irp);
    ObDereferenceObject(call->top);
    delete call;
    {
      std::lock_guard<std::mutex> lock(s.mutex);
      s.outstanding--;
    }
    s.changed.NotifyAll();
    s.work.NotifyAll();
  }
}

// The power manager's own completion routine, on its stack location above the top device:
// the IRP's kind is free on the stack again; the completion function is called from the
// power thread.
NTSTATUS NTAPI PowerRequestDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* r = static_cast<Request*>(context);
  r->io = irp->IoStatus;
  PowerState& s = State();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.busy.erase({r->target, r->kind});
    if (r->kind == Kind::WaitWake) s.waitWakesPending--;
    s.toCall.push_back(r);
  }
  s.work.NotifyAll();
  s.changed.NotifyAll();
  return STATUS_MORE_PROCESSING_REQUIRED;  // the power thread frees it
}

// Builds the IRP for `target`'s stack; NULL when the IRP cannot be had.
Request* NewRequest(PDEVICE_OBJECT target, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state) {
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(target);
  PIRP irp;
  {
    InjectionExemptScope exempt;  // the system's own IRP
    irp = IoAllocateIrp(static_cast<CCHAR>(top->StackSize + 1), FALSE);
  }
  if (irp == NULL) {
    ObDereferenceObject(top);
    return nullptr;
  }
  auto* r = new Request();
  r->irp = irp;
  r->target = target;
  r->top = top;
  r->minor = minor;
  r->state = state;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;
  irp->RequestorMode = KernelMode;
  IoSetNextIrpStackLocation(irp);  // the power manager's own location
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_POWER;
  next->MinorFunction = minor;
  if (minor == IRP_MN_WAIT_WAKE) {
    next->Parameters.WaitWake.PowerState = state.SystemState;
  } else {
    next->Parameters.Power.Type = type;
    next->Parameters.Power.State = state;
    if (type == SystemPowerState) {
      const SYSTEM_POWER_STATE s = state.SystemState;
      next->Parameters.Power.ShutdownType = s == PowerSystemWorking      ? PowerActionNone
                                            : s == PowerSystemHibernate ? PowerActionHibernate
                                            : s == PowerSystemShutdown  ? PowerActionShutdown
                                                                        : PowerActionSleep;
    }
  }
  r->kind = KindOf(*next);
  IoSetCompletionRoutine(irp, PowerRequestDone, r, TRUE, TRUE, TRUE);
  return r;
}

void Enqueue(Request* r) {
  PowerState& s = State();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.outstanding++;
    s.toSend.push_back(r);
    if (!s.thread) s.thread = std::make_unique<KernelThread>("power thread", PowerThread);
  }
  s.work.NotifyAll();
}

// One step of a system transition, waited for.
NTSTATUS SendSystemIrp(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state) {
  POWER_STATE power;
  power.SystemState = state;
  Request* r = NewRequest(pdo, minor, SystemPowerState, power);
  if (r == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  PowerState& s = State();
  bool finished = false;
  NTSTATUS status = STATUS_PENDING;
  r->done = [&](NTSTATUS result) {
    std::lock_guard<std::mutex> lock(s.mutex);
    status = result;
    finished = true;
  };
  Enqueue(r);
  s.changed.Wait([&] {
    std::lock_guard<std::mutex> lock(s.mutex);
    return finished;
  });
  return status;
}

}  // namespace

namespace hosted {

NTSTATUS PowerManager::SetSystemPower(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state) {
  if (state != PowerSystemWorking) {
    const NTSTATUS query = SendSystemIrp(pdo, IRP_MN_QUERY_POWER, state);
    if (!NT_SUCCESS(query)) {
      (void)SendSystemIrp(pdo, IRP_MN_SET_POWER, PowerSystemWorking);
      return query;
    }
  }
  const NTSTATUS status = SendSystemIrp(pdo, IRP_MN_SET_POWER, state);
  std::lock_guard<std::mutex> lock(State().mutex);
  State().systemState[pdo] = state;
  return status;
}

SYSTEM_POWER_STATE PowerManager::SystemState(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> lock(State().mutex);
  auto it = State().systemState.find(pdo);
  return it == State().systemState.end() ? PowerSystemWorking : it->second;
}

void PowerManager::Hold(PowerHold point, bool hold) {
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    State().hold[static_cast<int>(point)] = hold;
  }
  State().work.NotifyAll();
}

std::size_t PowerManager::Held(PowerHold point) {
  std::lock_guard<std::mutex> lock(State().mutex);
  return HeldLocked(State(), point);
}

std::size_t PowerManager::Outstanding() {
  std::lock_guard<std::mutex> lock(State().mutex);
  return State().outstanding;
}

void PowerManager::WaitIdle() {
  State().changed.Wait([] {
    std::lock_guard<std::mutex> lock(State().mutex);
    PowerState& s = State();
    return s.outstanding == s.waitWakesPending + HeldLocked(s, PowerHold::Send) + HeldLocked(s, PowerHold::Callback);
  });
}

unsigned long PowerManager::StartNextPowerIrpCalls() { return State().startNextCalls.load(); }

}  // namespace hosted

namespace hosted::detail {

// IofCallDriver is about to run `device`'s dispatch routine for a power IRP.
void NotePowerDispatch(PDEVICE_OBJECT device, PIRP irp) {
  // A wait-wake pends at its bus driver until it completes; a second one is the bus's to
  // refuse (STATUS_DEVICE_BUSY).
  const Kind kind = KindOf(*IoGetCurrentIrpStackLocation(irp));
  if (kind == Kind::Other || kind == Kind::WaitWake) return;
  PIRP previous = nullptr;
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    auto [it, inserted] = State().active.try_emplace({device, kind}, irp);
    if (!inserted && it->second != irp) {
      previous = it->second;
      it->second = irp;
    }
  }
  if (previous != nullptr) {
    Verifier::Report(Check::PowerIrpMisuse, "IofCallDriver",
                     std::string("a ") + KindName(kind) + " power IRP " + PointerText(irp) + " reached device " +
                         PointerText(device) + " while its driver had not released the previous one (" +
                         PointerText(previous) + ") with PoStartNextPowerIrp");
  }
}

// A power IRP leaves the driver at its current stack location (passed down or completed):
// that driver must have called PoStartNextPowerIrp for it.
void CheckPowerIrpReleased(PIRP irp, const char* routine) {
  if (irp->CurrentLocation > irp->StackCount) return;
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  const Kind kind = KindOf(*location);
  if (kind == Kind::Other || location->DeviceObject == NULL) return;
  bool released;
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    auto it = State().started.find(irp);
    released = it != State().started.end() && it->second.count(irp->CurrentLocation) != 0;
  }
  if (!released) {
    Verifier::Report(Check::PowerIrpMisuse, routine,
                     std::string("the ") + KindName(kind) + " power IRP " + PointerText(irp) + " left device " +
                         PointerText(location->DeviceObject) + " without PoStartNextPowerIrp");
  }
}

// The completion walk of a power IRP begins: it is no longer active anywhere.
void NotePowerCompletion(PIRP irp) {
  std::lock_guard<std::mutex> lock(State().mutex);
  PowerState& s = State();
  for (auto it = s.active.begin(); it != s.active.end();) {
    if (it->second == irp)
      it = s.active.erase(it);
    else
      ++it;
  }
  s.started.erase(irp);
}

}  // namespace hosted::detail

// ---- PoStartNextPowerIrp ---------------------------------------------------------------
// The driver at the IRP's current location is ready for the next power IRP of this kind.
extern "C" VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
  if (!IsLiveIrp(Irp)) {
    Verifier::Report(Check::IrpUnknown, "PoStartNextPowerIrp", "IRP " + PointerText(Irp) + " is not allocated");
    return;
  }
  State().startNextCalls++;
  if (Irp->CurrentLocation > Irp->StackCount) return;
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
  const Kind kind = KindOf(*location);
  std::lock_guard<std::mutex> lock(State().mutex);
  State().started[Irp].insert(Irp->CurrentLocation);
  auto it = State().active.find({location->DeviceObject, kind});
  if (it != State().active.end() && it->second == Irp) State().active.erase(it);
}

// ---- PoCallDriver ----------------------------------------------------------------------
// Passes a power IRP down; any other IRP is a misuse.
extern "C" NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (IsLiveIrp(Irp) && Irp->CurrentLocation > 1) {
    if (IoGetNextIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER) {
      Verifier::Report(Check::InvalidParameter, "PoCallDriver", "IRP " + PointerText(Irp) + " is not a power IRP");
    } else {
      CheckPowerIrpReleased(Irp, "PoCallDriver");
    }
  }
  return IofCallDriver(DeviceObject, Irp);
}

// ---- PoRequestPowerIrp -----------------------------------------------------------------
// Set and query requests name a device state; wait-wake names the deepest system state to
// wake from. The IRP is sent from the power thread; STATUS_PENDING when it was queued.
extern "C" NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
  if (CurrentIrql() > DISPATCH_LEVEL) {
    Verifier::Report(Check::IrqlInvalid, "PoRequestPowerIrp", "called above DISPATCH_LEVEL");
  }
  if (!IsLiveDevice(DeviceObject)) {
    Verifier::Report(Check::DeviceInvalid, "PoRequestPowerIrp", PointerText(DeviceObject) + " is not a device object");
    return STATUS_INVALID_PARAMETER_1;
  }
  if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER && MinorFunction != IRP_MN_WAIT_WAKE) {
    return STATUS_INVALID_PARAMETER_2;
  }
  NTSTATUS failure;
  if (ShouldFailCall("PoRequestPowerIrp", &failure, __builtin_return_address(0))) return failure;
  Request* r = NewRequest(DeviceObject, MinorFunction, DevicePowerState, PowerState);
  if (r == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  r->callback = CompletionFunction;
  r->context = Context;
  if (Irp != NULL) *Irp = r->irp;
  Enqueue(r);
  return STATUS_PENDING;
}

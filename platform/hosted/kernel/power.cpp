// Power manager routines the driver calls: PoCallDriver, PoStartNextPowerIrp,
// PoRequestPowerIrp (PoSetPowerState is with the device objects).
#include <atomic>

#include "internal.h"
#include "power_manager.h"

using namespace hosted;
using namespace hosted::detail;

namespace {

struct PowerState {
  std::mutex mutex;
  PowerRequestHandler handler;
  std::atomic<unsigned long> startNextCalls{0};
};

PowerState& State() {
  static PowerState* state = new PowerState();
  return *state;
}

}  // namespace

namespace hosted {

PowerRequestHandler PowerManager::SetRequestHandler(PowerRequestHandler handler) {
  std::lock_guard<std::mutex> lock(State().mutex);
  PowerRequestHandler previous = std::move(State().handler);
  State().handler = std::move(handler);
  return previous;
}

unsigned long PowerManager::StartNextPowerIrpCalls() { return State().startNextCalls.load(); }

}  // namespace hosted

// ---- PoStartNextPowerIrp ---------------------------------------------------------------
// Power IRPs are not serialised per device (as since Windows Vista): nothing to start.
extern "C" VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
  if (!IsLiveIrp(Irp)) {
    Verifier::Report(Check::IrpUnknown, "PoStartNextPowerIrp", "IRP " + PointerText(Irp) + " is not allocated");
    return;
  }
  State().startNextCalls++;
}

// ---- PoCallDriver ----------------------------------------------------------------------
// Passes a power IRP down; any other IRP is a misuse.
extern "C" NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (IsLiveIrp(Irp) && Irp->CurrentLocation > 1 && IoGetNextIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER) {
    Verifier::Report(Check::InvalidParameter, "PoCallDriver", "IRP " + PointerText(Irp) + " is not a power IRP");
  }
  return IofCallDriver(DeviceObject, Irp);
}

// ---- PoRequestPowerIrp -----------------------------------------------------------------
extern "C" NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
  PowerRequestHandler handler;
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    handler = State().handler;
  }
  if (!handler) {
    Unimplemented("PoRequestPowerIrp");
    return STATUS_NOT_IMPLEMENTED;
  }
  return handler(DeviceObject, MinorFunction, PowerState, CompletionFunction, Context, Irp);
}

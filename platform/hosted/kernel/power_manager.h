// The power manager's pluggable part. PoRequestPowerIrp needs a power manager that sends
// the requested IRP from its own thread; until one is installed the call is reported as
// not implemented.
#pragma once

#include <wdm.h>

#include <functional>

namespace hosted {

using PowerRequestHandler = std::function<NTSTATUS(PDEVICE_OBJECT device, UCHAR minorFunction, POWER_STATE state,
                                                   PREQUEST_POWER_COMPLETE completion, PVOID context, PIRP* irp)>;

class PowerManager {
 public:
  // Installs the handler of PoRequestPowerIrp; returns the previous one (empty: none).
  static PowerRequestHandler SetRequestHandler(PowerRequestHandler handler);
  // Calls of PoStartNextPowerIrp so far (a no-op since Windows Vista, counted for tests).
  static unsigned long StartNextPowerIrpCalls();
};

}  // namespace hosted

// The hosted power manager: system power transitions and the power IRPs drivers request.
//
// System transitions (SetSystemPower) go to the top of a device stack as Windows sends
// them: a sleeping or off state (S1 to S5) is first queried (IRP_MN_QUERY_POWER); a failed
// query vetoes the transition and is followed by IRP_MN_SET_POWER for S0, as the power
// manager tells every device that the system stays working; otherwise IRP_MN_SET_POWER for
// the state. A return to S0 is set without a query.
//
// PoRequestPowerIrp allocates the IRP (one stack location more than the top device, for
// the power manager's own completion), stores it in *Irp and queues it; the power thread
// sends it to the top of the stack of the device named and, once the IRP has completed,
// calls the requester's completion function from the power thread at PASSIVE_LEVEL with
// the IRP's IO_STATUS_BLOCK, then frees the IRP.
//
// One power IRP of a kind at a time per device: set and query IRPs for system states, for
// device states, and wait-wake IRPs are the three kinds. The power thread sends the next
// IRP of a kind to a stack only after the previous one has completed; the verifier reports
// a set or query IRP of a kind that reaches a device before that device's driver released
// the previous one with PoStartNextPowerIrp (a second wait-wake is the bus driver's to
// refuse), and a set, query or wait-wake IRP that a driver
// passes down with PoCallDriver or completes without calling PoStartNextPowerIrp first.
//
// Hold points, for tests that force an interleaving: while a point is held, IRPs that
// reach it wait there (Held counts them) until it is released.
#pragma once

#include <wdm.h>

#include <cstddef>
#include <functional>

namespace hosted {

enum class PowerHold {
  Send,      // a requested IRP (PoRequestPowerIrp), before the power thread sends it
  Callback,  // a requested IRP that has completed, before its completion function runs
};

class PowerManager {
 public:
  // Sends the system transition to the stack of `pdo` and waits for it (PASSIVE_LEVEL, a
  // hosted thread). Returns the query's failure, or the final status of the set IRP.
  static NTSTATUS SetSystemPower(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state);
  // The last system state set on the stack of `pdo` (PowerSystemWorking at first).
  static SYSTEM_POWER_STATE SystemState(PDEVICE_OBJECT pdo);

  static void Hold(PowerHold point, bool hold);
  static std::size_t Held(PowerHold point);

  // Requests the power thread has not finished (sent, completed and called back).
  static std::size_t Outstanding();
  // Waits until every outstanding request is either a wait-wake waiting at its device or
  // kept by a hold (a kernel wait).
  static void WaitIdle();

  // Calls of PoStartNextPowerIrp so far.
  static unsigned long StartNextPowerIrpCalls();
};

}  // namespace hosted

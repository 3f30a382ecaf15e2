// The hosted Plug and Play manager: one device node per physical device object (PDO) that a
// bus driver reports. It calls the function driver's AddDevice for the PDO and sends the
// PnP IRPs to the top of the device stack, one at a time, at PASSIVE_LEVEL, in the orders
// Windows uses:
//
//   plug, enable   AddDevice, FILTER_RESOURCE_REQUIREMENTS, START, QUERY_CAPABILITIES,
//                  QUERY_PNP_DEVICE_STATE (a failed START: REMOVE)
//   disable        QUERY_REMOVE, REMOVE (failed query: CANCEL_REMOVE; a handle still
//                  open vetoes it before any IRP)
//   rebalance      QUERY_STOP, STOP, FILTER_RESOURCE_REQUIREMENTS, START, QUERY_CAPABILITIES
//                  (failed query: CANCEL_STOP)
//   unplug         SURPRISE_REMOVAL, then REMOVE once no handle of the device is open;
//                  after it the bus deletes the PDO
//
// Each IRP is allocated as the PnP manager allocates it (IoStatus.Status =
// STATUS_NOT_SUPPORTED, Information 0, the stack size of the top device) and freed when it
// has come back; its final IoStatus.Status is what the calls return. The verifier checks
// that AddDevice cleared DO_DEVICE_INITIALIZING, that STOP succeeded (a driver that cannot
// stop refuses QUERY_STOP) and that REMOVE left nothing attached to the PDO. After REMOVE the PnP manager disables the device interfaces the driver left enabled.
//
// The PnP manager's own allocations are not seen by allocation-failure injection.
#pragma once

#include <wdm.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace hosted {

enum class PnpState : std::uint8_t {
  NotAdded,         // no function driver on the PDO (before plug, after removal or a failed add)
  Added,            // AddDevice succeeded; not started
  Started,
  StopPending,      // QUERY_STOP succeeded
  Stopped,          // STOP sent
  RemovePending,    // QUERY_REMOVE succeeded
  SurpriseRemoved,  // SURPRISE_REMOVAL sent; REMOVE waits for the last handle
  Deleted,          // removed after it went missing; the bus deleted the PDO
};
const char* PnpStateName(PnpState state);

// One step the PnP manager took: AddDevice, or one PnP IRP after it came back.
struct PnpStep {
  bool addDevice = false;  // AddDevice rather than an IRP
  UCHAR minor = 0;         // IRP_MN_*
  NTSTATUS status = 0;     // AddDevice's result, or the IRP's final IoStatus.Status
  ULONG_PTR information = 0;
  std::string Name() const;  // "AddDevice", "IRP_MN_START_DEVICE" ...
};

// "IRP_MN_START_DEVICE" for the PnP minor functions.
std::string PnpMinorName(UCHAR minor);

struct PnpDeviceOptions {
  // The bus side of a device that went missing: called after its REMOVE; deletes the PDO
  // once the function driver has detached and returns true when the PDO is gone (for the
  // hosted USB stack: BusDevice::ReapRemovedPdo).
  std::function<bool()> deletePdo;
  // Called after every step (any thread that drives the node), e.g. for narration.
  std::function<void(const PnpStep&)> observer;
};

class PnpDevice {
 public:
  // A device node for `pdo`, whose function driver is `driver` (its AddDevice entry).
  PnpDevice(PDEVICE_OBJECT pdo, PDRIVER_OBJECT driver, PnpDeviceOptions options = {});
  // Takes a stack that still exists down: disable, or unplug order when the device is
  // missing; waits for an asynchronous report first.
  ~PnpDevice();
  PnpDevice(const PnpDevice&) = delete;
  PnpDevice& operator=(const PnpDevice&) = delete;

  // ---- sequences ------------------------------------------------------------------
  // AddDevice, START, QUERY_CAPABILITIES, QUERY_PNP_DEVICE_STATE. Returns AddDevice's
  // failure, START's status (a failed START is followed by REMOVE), or STATUS_SUCCESS.
  NTSTATUS Plug();
  NTSTATUS Enable() { return Plug(); }
  // QUERY_REMOVE then REMOVE. A failed query is followed by CANCEL_REMOVE and its status
  // returned; a handle still open vetoes the removal before any IRP: STATUS_DEVICE_BUSY.
  NTSTATUS Disable();
  // QUERY_REMOVE accepted by the drivers, then vetoed elsewhere (an application):
  // CANCEL_REMOVE. Returns the query's status.
  NTSTATUS QueryRemoveVetoed();
  // QUERY_STOP, STOP, START, QUERY_CAPABILITIES. A failed query (or `vetoAfterQuery`, a
  // veto from elsewhere) is followed by CANCEL_STOP and the query's status returned
  // (STATUS_UNSUCCESSFUL for a veto). Otherwise STOP's failure or START's status.
  NTSTATUS Rebalance(bool vetoAfterQuery = false);
  // The bus reported the device missing: SURPRISE_REMOVAL for a started device, then
  // REMOVE at once if no handle is open (else when the last one closes), then the PDO is
  // deleted. Returns SURPRISE_REMOVAL's status (or REMOVE's for a device never started).
  NTSTATUS ReportMissing();
  // The same from the PnP manager's own thread, for a bus's unplug callback (which must
  // not block); WaitIdle waits until it has run (a kernel wait; the real time-out applies
  // on the accelerated clock, in virtual time a report that never ends is a deadlock).
  void ReportMissingAsync();
  // A callable for a bus's unplug report that outlives the node safely.
  std::function<void()> UnplugReporter() const;
  bool WaitIdle(std::chrono::milliseconds realTimeout = std::chrono::seconds(30));

  // ---- single steps (any order, for tests of odd sequences) ---------------------------
  NTSTATUS AddDevice();
  // Sends one PnP IRP to the top of the stack and returns its final status. The node's
  // state follows what the IRP means (e.g. a successful START: Started).
  NTSTATUS Send(UCHAR minor);

  // ---- what a test may look at --------------------------------------------------------
  PDEVICE_OBJECT Pdo() const;             // NULL once deleted
  PDEVICE_OBJECT TopOfStack() const;      // the device the IRPs go to (the PDO when no driver)
  PDEVICE_OBJECT FunctionDevice() const;  // the device attached right above the PDO, or NULL
  PnpState State() const;
  bool Missing() const;
  bool RemovalWaitsForHandles() const;    // surprise-removed, REMOVE deferred
  std::size_t OpenHandles() const;
  std::vector<PnpStep> History() const;
  void ClearHistory();
  // The capabilities the last QUERY_CAPABILITIES returned (Size, Version, Address and
  // UINumber initialised as the PnP manager does).
  DEVICE_CAPABILITIES Capabilities() const;
  // The device hardware key (IoOpenDeviceRegistryKey PLUGPLAY_REGKEY_DEVICE) in the
  // registry tree, for setting values before AddDevice.
  std::string HardwareKeyPath() const;

  class Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

// Connects a bus device of the hosted USB stack (or any type with the same two members)
// to a node: the bus's unplug report reaches the node asynchronously and the node deletes
// the PDO through the bus. Use before Plug().
template <class Bus>
PnpDeviceOptions PnpOptionsForBus(Bus& bus, std::function<void(const PnpStep&)> observer = {}) {
  PnpDeviceOptions options;
  options.deletePdo = [&bus] { return bus.ReapRemovedPdo(); };
  options.observer = std::move(observer);
  return options;
}
template <class Bus>
void ConnectUnplugReports(Bus& bus, PnpDevice& node) {
  bus.SetUnplugHandler(node.UnplugReporter());
}

}  // namespace hosted

// Whole-kernel snapshots and the leak checks that compare against them.
#include "kernel_state.h"

#include "internal.h"

namespace hosted {

KernelSnapshot TakeSnapshot() {
  KernelSnapshot snapshot;
  snapshot.pool = detail::PoolSerial();
  snapshot.irps = detail::IrpSerial();
  snapshot.devices = detail::DeviceSerial();
  snapshot.handles = detail::HandleSerial();
  snapshot.workItems = detail::WorkItemSerial();
  return snapshot;
}

// Order matters: work first (it may free things), then the objects that own pool.
std::size_t CheckForLeaks(const KernelSnapshot& since, std::string_view context) {
  detail::DrainWorkQueue();
  detail::CheckPoolGuards(context);
  detail::ReportWorkItemLeaks(since.workItems, context);
  detail::ReportIrpLeaks(since.irps, context);
  detail::ReportDeviceLeaks(since.devices, context);
  detail::ReportHandleLeaks(since.handles, context);
  return detail::ReportPoolLeaks(since.pool, "ExAllocatePoolWithTag", context);
}

}  // namespace hosted

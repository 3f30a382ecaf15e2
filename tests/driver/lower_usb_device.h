// A lower USB device for the driver's transport tests: the device object a reader's
// functional device is attached to. It takes IRP_MJ_INTERNAL_DEVICE_CONTROL requests
// (URB submissions, port resets), records what arrived as the USB stack would see it,
// and completes each request either inside the call or later from its own thread at
// DISPATCH_LEVEL, with the status a test chose; transfers can be held until their pipe is
// aborted.
#pragma once

#include <wdm.h>
#include <usb.h>
#include <usbioctl.h>

#include <hosted/kernel/scheduler.h>

#include <cstdint>
#include <memory>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

namespace ccid_test {

// One request as it reached the lower device.
struct LowerRequest {
  UCHAR majorFunction = 0;
  ULONG ioControlCode = 0;
  UCHAR control = 0;              // the stack location's SL_* flags on arrival
  bool hasCompletionRoutine = false;
  CCHAR irpStackSize = 0;         // locations the IRP was allocated with
  USHORT irpSize = 0;             // its packet size
  PVOID argument1 = nullptr;      // Parameters.Others.Argument1 (the URB)
  PKEVENT userEvent = nullptr;    // the event of a request the I/O manager built
  // URB header and pipe handle, copied on arrival (the sender frees the URB).
  USHORT urbLength = 0;
  USHORT urbFunction = 0;
  USBD_PIPE_HANDLE pipeHandle = nullptr;
  bool completedPending = false;  // completed later, from the device's own thread
};

class LowerUsbDevice {
 public:
  enum class Completion {
    Synchronous,  // completed inside IofCallDriver, which returns the final status
    Pending,      // marked pending, completed later at DISPATCH_LEVEL from another thread
  };

  // stackSize: the lower device object's StackSize (the sender sizes its IRPs by it).
  explicit LowerUsbDevice(CCHAR stackSize = 1);
  ~LowerUsbDevice();
  LowerUsbDevice(const LowerUsbDevice&) = delete;
  LowerUsbDevice& operator=(const LowerUsbDevice&) = delete;

  PDEVICE_OBJECT Device() const { return device_; }

  void SetCompletion(Completion completion);
  // Status of every request not matched by a rule below (STATUS_SUCCESS at first).
  void SetStatus(NTSTATUS status);
  // Status of requests carrying URBs of this function, or of this control code.
  void SetUrbFunctionStatus(USHORT urbFunction, NTSTATUS status);
  void SetControlCodeStatus(ULONG ioControlCode, NTSTATUS status);
  // After completing a synchronous request, also clear the IRP's UserEvent: a sender that
  // waited on that event although the call did not return STATUS_PENDING would hang.
  void SetClearUserEventAfterCompletion(bool clear);

  // Bulk and interrupt transfers stay pending, as for a device that never answers, until
  // an abort of their pipe completes them cancelled (as the USB stack does).
  void SetHoldTransfers(bool hold);
  // The held transfers come back now, cancelled, as a stack that finally gave up on them.
  void CompleteHeld();

  std::vector<LowerRequest> Requests() const;
  // Blocks until every pending request has been completed.
  void WaitIdle();

 private:
  struct Queued {
    PIRP irp;
    NTSTATUS status;
  };

  static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp);
  NTSTATUS Handle(PIRP irp);
  NTSTATUS StatusFor(const LowerRequest& request) const;
  void CompleterLoop();

  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;

  // Its thread and the tests wait as kernel waits do, so virtual time sees them.
  mutable std::mutex mutex_;
  hosted::KernelCondition wake_{"waits for requests", /*idle=*/true};
  hosted::KernelCondition idle_{"the lower USB device's idle wait"};
  Completion completion_ = Completion::Synchronous;
  NTSTATUS defaultStatus_ = STATUS_SUCCESS;
  std::map<USHORT, NTSTATUS> urbFunctionStatus_;
  std::map<ULONG, NTSTATUS> controlCodeStatus_;
  bool clearUserEvent_ = false;
  bool holdTransfers_ = false;
  std::vector<std::pair<PIRP, USBD_PIPE_HANDLE>> held_;
  std::vector<LowerRequest> requests_;
  std::deque<Queued> queue_;
  std::size_t inFlight_ = 0;
  bool stopping_ = false;
  std::unique_ptr<hosted::KernelThread> completer_;
};

}  // namespace ccid_test

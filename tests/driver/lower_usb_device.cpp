#include "lower_usb_device.h"

#include <hosted/kernel/hosted.h>

namespace ccid_test {

LowerUsbDevice::LowerUsbDevice(CCHAR stackSize) {
  driver_ = hosted::Drivers::Create("lower-usb");
  driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = &LowerUsbDevice::Dispatch;
  const NTSTATUS status =
      IoCreateDevice(driver_, sizeof(LowerUsbDevice*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_);
  if (!NT_SUCCESS(status)) throw std::runtime_error("IoCreateDevice failed for the lower USB device");
  *static_cast<LowerUsbDevice**>(device_->DeviceExtension) = this;
  device_->StackSize = stackSize;
  device_->Flags &= ~DO_DEVICE_INITIALIZING;
  completer_ = std::make_unique<hosted::KernelThread>("lower USB device", [this] { CompleterLoop(); });
}

LowerUsbDevice::~LowerUsbDevice() {
  WaitIdle();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.NotifyAll();
  completer_->Join();
  IoDeleteDevice(device_);
  hosted::Drivers::Destroy(driver_);
}

void LowerUsbDevice::SetCompletion(Completion completion) {
  std::lock_guard<std::mutex> lock(mutex_);
  completion_ = completion;
}

void LowerUsbDevice::SetStatus(NTSTATUS status) {
  std::lock_guard<std::mutex> lock(mutex_);
  defaultStatus_ = status;
}

void LowerUsbDevice::SetUrbFunctionStatus(USHORT urbFunction, NTSTATUS status) {
  std::lock_guard<std::mutex> lock(mutex_);
  urbFunctionStatus_[urbFunction] = status;
}

void LowerUsbDevice::SetControlCodeStatus(ULONG ioControlCode, NTSTATUS status) {
  std::lock_guard<std::mutex> lock(mutex_);
  controlCodeStatus_[ioControlCode] = status;
}

void LowerUsbDevice::SetHoldTransfers(bool hold) {
  std::lock_guard<std::mutex> lock(mutex_);
  holdTransfers_ = hold;
}

void LowerUsbDevice::CompleteHeld() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& [irp, pipe] : held_) {
    auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    urb->UrbHeader.Status = USBD_STATUS_CANCELED;
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    queue_.push_back({irp, STATUS_CANCELLED});
  }
  held_.clear();
  wake_.NotifyAll();
}

void LowerUsbDevice::SetClearUserEventAfterCompletion(bool clear) {
  std::lock_guard<std::mutex> lock(mutex_);
  clearUserEvent_ = clear;
}

std::vector<LowerRequest> LowerUsbDevice::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void LowerUsbDevice::WaitIdle() {
  idle_.Wait([this] {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.empty() && inFlight_ == 0;
  });
}

NTSTATUS LowerUsbDevice::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  return (*static_cast<LowerUsbDevice**>(device->DeviceExtension))->Handle(irp);
}

NTSTATUS LowerUsbDevice::StatusFor(const LowerRequest& request) const {
  if (request.ioControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) {
    auto rule = urbFunctionStatus_.find(request.urbFunction);
    if (rule != urbFunctionStatus_.end()) return rule->second;
  }
  auto rule = controlCodeStatus_.find(request.ioControlCode);
  return rule != controlCodeStatus_.end() ? rule->second : defaultStatus_;
}

// Dispatch (PASSIVE_LEVEL, the sender's thread): record, then complete now or queue.
NTSTATUS LowerUsbDevice::Handle(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  LowerRequest request;
  request.majorFunction = stack->MajorFunction;
  request.ioControlCode = stack->Parameters.DeviceIoControl.IoControlCode;
  request.control = stack->Control;
  request.hasCompletionRoutine = stack->CompletionRoutine != nullptr;
  request.irpStackSize = irp->StackCount;
  request.irpSize = irp->Size;
  request.argument1 = stack->Parameters.Others.Argument1;
  request.userEvent = irp->UserEvent;
  if (request.ioControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB && request.argument1 != nullptr) {
    auto* urb = static_cast<PURB>(request.argument1);
    request.urbLength = urb->UrbHeader.Length;
    request.urbFunction = urb->UrbHeader.Function;
    if (request.urbLength >= sizeof(struct _URB_PIPE_REQUEST)) request.pipeHandle = urb->UrbPipeRequest.PipeHandle;
  }

  std::unique_lock<std::mutex> lock(mutex_);
  const NTSTATUS status = StatusFor(request);
  if (holdTransfers_ && request.urbFunction == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
    request.completedPending = true;
    requests_.push_back(request);
    IoMarkIrpPending(irp);
    held_.push_back({irp, request.pipeHandle});
    return STATUS_PENDING;
  }
  if (request.urbFunction == URB_FUNCTION_ABORT_PIPE) {
    // The aborted pipe's held transfers come back cancelled, from the device's thread.
    bool released = false;
    for (auto it = held_.begin(); it != held_.end();) {
      if (it->second != request.pipeHandle) {
        ++it;
        continue;
      }
      auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(it->first)->Parameters.Others.Argument1);
      urb->UrbHeader.Status = USBD_STATUS_CANCELED;
      urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
      queue_.push_back({it->first, STATUS_CANCELLED});
      it = held_.erase(it);
      released = true;
    }
    if (released) wake_.NotifyAll();
  }
  if (completion_ == Completion::Pending) {
    request.completedPending = true;
    requests_.push_back(request);
    IoMarkIrpPending(irp);
    queue_.push_back({irp, status});
    lock.unlock();
    wake_.NotifyAll();
    return STATUS_PENDING;
  }

  requests_.push_back(request);
  const bool clearUserEvent = clearUserEvent_;
  lock.unlock();

  PKEVENT userEvent = irp->UserEvent;
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  if (clearUserEvent && userEvent != nullptr) KeClearEvent(userEvent);
  return status;
}

// The device's own thread: completes queued requests at DISPATCH_LEVEL, as a host
// controller's DPC would.
void LowerUsbDevice::CompleterLoop() {
  for (;;) {
    wake_.Wait([this] {
      std::lock_guard<std::mutex> lock(mutex_);
      return stopping_ || !queue_.empty();
    });
    std::unique_lock<std::mutex> lock(mutex_);
    if (queue_.empty()) return;
    Queued next = queue_.front();
    queue_.pop_front();
    ++inFlight_;
    lock.unlock();

    KIRQL oldIrql;
    KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
    next.irp->IoStatus.Status = next.status;
    next.irp->IoStatus.Information = 0;
    IoCompleteRequest(next.irp, IO_NO_INCREMENT);
    KeLowerIrql(oldIrql);

    lock.lock();
    --inFlight_;
    lock.unlock();
    idle_.NotifyAll();
  }
}

}  // namespace ccid_test

// Card-tracking requests sent through the smart-card library on behalf of an application.
#include "tracking.h"

#include <hosted/kernel/scheduler.h>

#include "CcidDevice.h"

namespace ccidsim {
namespace {

// How long (kernel time) a request the driver still holds at the end gets to come back
// once cancelled.
constexpr std::chrono::seconds kCancelPatience{5};

}  // namespace

TrackingRequest::TrackingRequest(PDEVICE_OBJECT fdo, ULONG ioControlCode)
    : fdo_(fdo), ioControlCode_(ioControlCode), buffer_(sizeof(ULONG)) {
  irp_ = IoAllocateIrp(static_cast<CCHAR>(fdo->StackSize + 1), FALSE);
  if (irp_ == nullptr) return;
  // The application's location, with this object's completion routine, then the reader's.
  IoSetNextIrpStackLocation(irp_);
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp_);
  stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  stack->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
  stack->Parameters.DeviceIoControl.InputBufferLength = 0;
  stack->Parameters.DeviceIoControl.OutputBufferLength = 0;
  irp_->AssociatedIrp.SystemBuffer = buffer_.data();
  irp_->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp_->IoStatus.Information = 0;
  IoSetCompletionRoutine(irp_, OnComplete, this, TRUE, TRUE, TRUE);
  IoSetNextIrpStackLocation(irp_);
  IoGetCurrentIrpStackLocation(irp_)->DeviceObject = fdo;
}

TrackingRequest::~TrackingRequest() {
  if (irp_ == nullptr) return;
  if (!Completed()) {
    IoCancelIrp(irp_);
    Wait(kCancelPatience);
  }
  if (Completed()) IoFreeIrp(irp_);
}

NTSTATUS TrackingRequest::Send() {
  if (irp_ == nullptr) return sent_ = STATUS_INSUFFICIENT_RESOURCES;
  PDEVICE_EXTENSION extension = CcidGetExtension(fdo_);
  sent_ = SmartcardDeviceControl(&extension->SmartcardExtension, irp_);
  return sent_;
}

// Completion (any IRQL up to DISPATCH_LEVEL, any thread): records the end; this object
// frees the IRP.
NTSTATUS NTAPI TrackingRequest::OnComplete(PDEVICE_OBJECT, PIRP, PVOID context) {
  static_cast<TrackingRequest*>(context)->completed_ = true;
  return STATUS_MORE_PROCESSING_REQUIRED;  // we free the IRP
}

bool TrackingRequest::Wait(std::chrono::milliseconds patience) {
  if (irp_ == nullptr) return false;
  return hosted::Scheduler::RunUntil([this] { return Completed(); }, patience);
}

bool TrackingRequest::Completed() const { return completed_.load(); }

TrackingOutcome TrackingRequest::Outcome() const {
  TrackingOutcome outcome;
  outcome.ioControlCode = ioControlCode_;
  outcome.sent = sent_;
  outcome.completed = Completed();
  if (outcome.completed) {
    outcome.status = irp_->IoStatus.Status;
    outcome.information = irp_->IoStatus.Information;
  }
  return outcome;
}

}  // namespace ccidsim

#include "driver_bench.h"

#include <hosted/kernel/image_loader.h>

#include <cstdlib>
#include <iostream>

#include "CcidFrame.h"

namespace ccid_test {

bool FailTestsOnBenchReports() {
  // A suite asked to run a driver image in a build that cannot: nothing of it can run.
  if (RunsDriverImage() && !hosted::DriverImages::Supported()) {
    std::cout << "this build cannot run driver images: its NTAPI is not the Microsoft x64 convention\n";
    std::exit(0);
  }
  SetBenchFailureHandler([](const std::string& message) { ADD_FAILURE() << "[bench] " << message; });
  return true;
}

void ExpectEndsExactlyAfter(std::int64_t ticks, const std::function<void()>& action) {
  ASSERT_TRUE(hosted::Clock::IsVirtual());
  hosted::Clock::SetAutoAdvance(false);
  const std::int64_t start = hosted::Clock::Now();
  hosted::KernelThread thread("timed action", action);
  hosted::Scheduler::Settle();
  // Earlier deadlines (the bus's frames, the reader's answers) pass as they come.
  for (std::int64_t next = hosted::Clock::NextDeadline(); next >= 0 && next < start + ticks - 1;
       next = hosted::Clock::NextDeadline()) {
    hosted::Clock::AdvanceTo(next);
    hosted::Scheduler::Settle();
  }
  hosted::Clock::AdvanceTo(start + ticks - 1);
  hosted::Scheduler::Settle();
  EXPECT_FALSE(thread.Finished()) << "ended before its deadline";
  hosted::Clock::AdvanceTo(start + ticks);
  hosted::Scheduler::Settle();
  EXPECT_TRUE(thread.Finished()) << "still waiting at its deadline";
  hosted::Clock::SetAutoAdvance(true);
  thread.Join();
  EXPECT_EQ(hosted::Clock::Now() - start, ticks);
}

LibraryRequest::LibraryRequest(PDEVICE_OBJECT fdo, ULONG ioControlCode, Bytes input, ULONG outputLength)
    : fdo_(fdo), buffer_(std::move(input)), outputLength_(outputLength) {
  const ULONG inputLength = static_cast<ULONG>(buffer_.size());
  if (buffer_.size() < outputLength_) buffer_.resize(outputLength_);
  if (buffer_.empty()) buffer_.resize(1);
  irp_ = IoAllocateIrp(static_cast<CCHAR>(fdo->StackSize + 1), FALSE);
  EXPECT_NE(irp_, nullptr);
  // The test's own location on top, with its completion routine, then the reader's.
  IoSetNextIrpStackLocation(irp_);
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp_);
  stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  stack->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
  stack->Parameters.DeviceIoControl.InputBufferLength = inputLength;
  stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength_;
  irp_->AssociatedIrp.SystemBuffer = buffer_.data();
  irp_->IoStatus.Status = STATUS_NOT_SUPPORTED;
  IoSetCompletionRoutine(irp_, OnComplete, this, TRUE, TRUE, TRUE);
  IoSetNextIrpStackLocation(irp_);
  IoGetCurrentIrpStackLocation(irp_)->DeviceObject = fdo;
}

LibraryRequest::~LibraryRequest() {
  if (irp_ == nullptr) return;
  EXPECT_TRUE(Wait()) << "the request never came back";
  if (completed_) IoFreeIrp(irp_);
}

NTSTATUS LibraryRequest::Send() {
  PDEVICE_EXTENSION extension = static_cast<PDEVICE_EXTENSION>(fdo_->DeviceExtension);
  return SmartcardDeviceControl(&extension->SmartcardExtension, irp_);
}

NTSTATUS NTAPI LibraryRequest::OnComplete(PDEVICE_OBJECT, PIRP, PVOID context) {
  static_cast<LibraryRequest*>(context)->completed_ = true;
  return STATUS_MORE_PROCESSING_REQUIRED;  // the test frees the IRP
}

bool LibraryRequest::Completed() const { return completed_; }

bool LibraryRequest::Wait(std::chrono::milliseconds timeout) {
  return WaitUntil([this] { return completed_.load(); }, timeout);
}

NTSTATUS LibraryRequest::Status() const { return irp_->IoStatus.Status; }
ULONG_PTR LibraryRequest::Information() const { return irp_->IoStatus.Information; }

Bytes LibraryRequest::Output() const {
  const std::size_t length = std::min<std::size_t>(irp_->IoStatus.Information, outputLength_);
  return Bytes(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(length));
}

BOOLEAN LibraryRequest::Cancel() { return IoCancelIrp(irp_); }

}  // namespace ccid_test

#include "driver_bench.h"

#include <thread>

#include "CcidFrame.h"

namespace ccid_test {

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  if (hosted::Clock::IsVirtual()) return hosted::Scheduler::RunUntil(condition);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

void ExpectEndsExactlyAfter(std::int64_t ticks, const std::function<void()>& action) {
  ASSERT_TRUE(hosted::Clock::IsVirtual());
  hosted::Clock::SetAutoAdvance(false);
  const std::int64_t start = hosted::Clock::Now();
  hosted::KernelThread thread("timed action", action);
  hosted::Scheduler::Settle();
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

LoadedDriver::LoadedDriver() {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  driver_ = hosted::Drivers::Load(DriverEntry, {}, &status);
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_NE(driver_, nullptr);
}

LoadedDriver::~LoadedDriver() {
  if (driver_ != nullptr) hosted::Drivers::Unload(driver_);
}

sim::ReaderProfile CatalogueProfile(const std::string& name) {
  auto profile = sim::FindReaderProfile(name);
  EXPECT_TRUE(profile.has_value()) << "no reader profile " << name;
  return profile.value_or(sim::ReaderProfile{});
}

ReaderBench::ReaderBench(BenchOptions options) {
  sim::ReaderProfile profile = CatalogueProfile(options.profile);
  Build(std::move(profile), std::move(options));
}

ReaderBench::ReaderBench(const std::string& profile) {
  BenchOptions options;
  options.profile = profile;
  Build(CatalogueProfile(profile), std::move(options));
}

ReaderBench::ReaderBench(sim::ReaderProfile profile, BenchOptions options) { Build(std::move(profile), options); }

void ReaderBench::Build(sim::ReaderProfile profile, BenchOptions options) {
  reader_ = std::make_unique<sim::CcidReader>(std::move(profile));
  bus_ = std::make_unique<hosted::usb::BusDevice>(*reader_, options.bus);
  auto forward = bus_->MessageObserver();
  reader_->SetMessageObserver([this, forward](const hosted::usb::MessageEvent& event) {
    {
      std::lock_guard<std::mutex> lock(traceMutex_);
      trace_.push_back(event);
      if (event.type == hosted::usb::TransferType::Interrupt) ++interruptsSent_;
    }
    forward(event);
  });
  node_ = std::make_unique<hosted::PnpDevice>(bus_->Pdo(), driver_.Get(), hosted::PnpOptionsForBus(*bus_));
  if (options.reportUnplug) hosted::ConnectUnplugReports(*bus_, *node_);
}

ReaderBench::~ReaderBench() {
  node_.reset();
  bus_.reset();
  reader_->SetMessageObserver(nullptr);
  reader_.reset();
}

PDEVICE_EXTENSION ReaderBench::Extension() const {
  PDEVICE_OBJECT fdo = Fdo();
  return fdo == nullptr ? nullptr : static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension);
}

NTSTATUS ReaderBench::Plug() {
  const NTSTATUS status = node_->Plug();
  if (status == STATUS_SUCCESS) WaitInterruptIdle();
  return status;
}

void ReaderBench::WaitInterruptIdle() {
  // Every interrupt message the reader queued has gone over the bus (or a reset threw it
  // away unread), its completion has run, and the request is back in the stack, NAKed by
  // a reader with nothing to say.
  EXPECT_TRUE(WaitUntil([this] {
    std::size_t sent;
    {
      std::lock_guard<std::mutex> lock(traceMutex_);
      sent = interruptsSent_;
    }
    const sim::ReaderStats stats = reader_->Stats();
    return sent + stats.interrupt_dropped + stats.interrupt_discarded >= stats.interrupt_messages &&
           bus_->WaitIdle() &&
           bus_->PendingTransfers() >= 1;
  })) << "the interrupt pipe did not settle";
}

void ReaderBench::InsertCard(const std::string& profile) {
  reader_->InsertCard(sim::MakeCard(profile));
}

void ReaderBench::RemoveCard() { reader_->RemoveCard(); }

std::vector<hosted::usb::MessageEvent> ReaderBench::Messages() const {
  std::lock_guard<std::mutex> lock(traceMutex_);
  return trace_;
}

std::vector<Bytes> ReaderBench::Commands() const {
  std::vector<Bytes> commands;
  for (const hosted::usb::MessageEvent& event : Messages()) {
    if (event.type == hosted::usb::TransferType::Bulk && !event.in) commands.push_back(event.data);
  }
  return commands;
}

void ReaderBench::ClearMessages() {
  std::lock_guard<std::mutex> lock(traceMutex_);
  trace_.clear();
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

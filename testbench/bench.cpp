#include "bench.h"

#include <iostream>
#include <thread>

#include <cstdlib>

#include <hosted/kernel/image_loader.h>

#include "CcidFrame.h"

namespace ccid_test {
namespace {

std::mutex& HandlerMutex() {
  static std::mutex mutex;
  return mutex;
}

BenchFailureHandler& Handler() {
  static BenchFailureHandler handler;
  return handler;
}

}  // namespace

BenchFailureHandler SetBenchFailureHandler(BenchFailureHandler handler) {
  std::lock_guard<std::mutex> lock(HandlerMutex());
  BenchFailureHandler previous = std::move(Handler());
  Handler() = std::move(handler);
  return previous;
}

void ReportBenchFailure(const std::string& message) {
  BenchFailureHandler handler;
  {
    std::lock_guard<std::mutex> lock(HandlerMutex());
    handler = Handler();
  }
  if (handler) {
    handler(message);
  } else {
    std::cerr << "[bench] " << message << '\n';
  }
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  if (hosted::Clock::IsVirtual()) return hosted::Scheduler::RunUntil(condition);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

namespace {

std::string& DriverImagePath() {
  static std::string path = [] {
    const char* image = std::getenv("CCID_DRIVER_IMAGE");
    return std::string(image == nullptr ? "" : image);
  }();
  return path;
}

}  // namespace

void SetDriverImage(std::string path) { DriverImagePath() = std::move(path); }

const std::string& DriverImage() { return DriverImagePath(); }

LoadedDriver::LoadedDriver() {
  if (RunsDriverImage()) {
    std::string error;
    driver_ = hosted::DriverImages::Load(DriverImage(), {}, &entryStatus_, &error);
    if (driver_ == nullptr) ReportBenchFailure("driver image not loaded: " + error);
    return;
  }
  driver_ = hosted::Drivers::Load(DriverEntry, {}, &entryStatus_);
  if (driver_ == nullptr || entryStatus_ != STATUS_SUCCESS)
    ReportBenchFailure("DriverEntry failed with status " + std::to_string(entryStatus_));
}

LoadedDriver::~LoadedDriver() { Unload(); }

std::size_t LoadedDriver::Unload() {
  if (driver_ == nullptr) return 0;
  const std::size_t leaked = hosted::Drivers::Unload(driver_);
  driver_ = nullptr;
  return leaked;
}

Bytes KeypadVerifyStructure() {
  const Bytes apdu = {0x00, 0x20, 0x00, 0x81, 0x08, 0, 0, 0, 0, 0, 0, 0, 0};
  Bytes s{0x00, 0x00, 0x8A, 0x87, 0x10, 0x08, 0x04, 0x02, 0x01, 0x09, 0x04, 0x00, 0x00, 0x00, 0x00,
          static_cast<std::uint8_t>(apdu.size()), 0, 0, 0};
  s.insert(s.end(), apdu.begin(), apdu.end());
  return s;
}

sim::ReaderProfile CatalogueProfile(const std::string& name) {
  auto profile = sim::FindReaderProfile(name);
  if (!profile) ReportBenchFailure("no reader profile " + name);
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

ReaderBench::ReaderBench(sim::ReaderProfile profile, BenchOptions options) {
  Build(std::move(profile), std::move(options));
}

void ReaderBench::Build(sim::ReaderProfile profile, BenchOptions options) {
  reader_ = std::make_unique<sim::CcidReader>(std::move(profile));
  if (options.front) front_ = options.front(*reader_);
  bus_ = std::make_unique<hosted::usb::BusDevice>(front_ ? *front_ : *reader_, options.bus);
  auto forward = bus_->MessageObserver();
  // Called with the reader's lock held: only record.
  reader_->SetMessageObserver([this, forward](const hosted::usb::MessageEvent& event) {
    {
      std::lock_guard<std::mutex> lock(traceMutex_);
      trace_.push_back(event);
      sessionTrace_.push_back(event);
      if (event.type == hosted::usb::TransferType::Interrupt) ++interruptsSent_;
    }
    forward(event);
  });
  if (driver_.Get() == nullptr) return;
  node_ = std::make_unique<hosted::PnpDevice>(bus_->Pdo(), driver_.Get(),
                                              hosted::PnpOptionsForBus(*bus_, std::move(options.pnpObserver)));
  // The bus calls this once the unplugged device's pending requests have failed: the
  // referee's mark, then the hub driver's report to the PnP manager.
  std::function<void()> report;
  if (options.reportUnplug) report = node_->UnplugReporter();
  bus_->SetUnplugHandler([this, report] {
    {
      std::lock_guard<std::mutex> lock(traceMutex_);
      unplugs_.push_back(sessionTrace_.size());
    }
    if (report) report();
    std::lock_guard<std::mutex> lock(traceMutex_);
    unplugReported_ = true;
  });
}

ReaderBench::~ReaderBench() { Finish(); }

void ReaderBench::ExpectProtocolError(std::string name) { expectedProtocolErrors_.push_back(std::move(name)); }

std::size_t ReaderBench::Finish() {
  if (finished_) return 0;
  finished_ = true;
  if (node_ != nullptr && bus_->Unplugged()) {
    // A reader that left the bus is reported by the bus's USB thread, which may not have
    // got to it yet: the report would then reach the PnP manager in the middle of the
    // teardown below, and its removal would touch the PDO after the bus deleted it. The
    // stack goes down in the unplug order instead, once the report is in.
    WaitUntil([this] {
      std::lock_guard<std::mutex> lock(traceMutex_);
      return unplugReported_;
    });
    node_->WaitIdle();
  }
  // The bus reports an unplug no more: a report made after the PnP manager's last wait
  // for its node would start a removal on a node and a bus that are going away.
  bus_->SetUnplugHandler(nullptr);
  node_.reset();
  const std::size_t leaked = driver_.Unload();
  RefereeInput input;
  for (const sim::HostError& error : reader_->HostErrors()) input.hostErrors.push_back(error.what);
  bus_.reset();
  front_.reset();
  reader_->SetMessageObserver(nullptr);
  reader_.reset();
  {
    std::lock_guard<std::mutex> lock(traceMutex_);
    input.trace = sessionTrace_;
    input.unplugs = unplugs_;
  }
  findings_ = RefereeSession(input);
  for (const ProtocolFinding& finding : findings_) {
    bool expected = false;
    for (const std::string& name : expectedProtocolErrors_) expected |= name == finding.rule || name == finding.detail;
    if (!expected) ReportBenchFailure("protocol referee: " + finding.ToString());
  }
  return leaked;
}

PDEVICE_EXTENSION ReaderBench::Extension() const {
  PDEVICE_OBJECT fdo = Fdo();
  return fdo == nullptr ? nullptr : static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension);
}

std::unique_ptr<scard::Reader> ReaderBench::Open(NTSTATUS* status) {
  NTSTATUS opened = STATUS_UNSUCCESSFUL;
  std::unique_ptr<scard::Reader> reader = bus_->Pdo() == nullptr ? nullptr : scard::Reader::Open(bus_->Pdo(), &opened);
  if (bus_->Pdo() == nullptr) opened = STATUS_NO_SUCH_DEVICE;
  if (status != nullptr) *status = reader != nullptr ? STATUS_SUCCESS : opened;
  return reader;
}

NTSTATUS ReaderBench::Plug() {
  const NTSTATUS status = node_->Plug();
  if (status == STATUS_SUCCESS) WaitInterruptIdle();
  return status;
}

bool ReaderBench::WaitInterruptIdle() {
  // Every interrupt message the reader queued has gone over the bus (or a reset threw it
  // away unread), its completion has run, and the request is back in the stack, NAKed by
  // a reader with nothing to say.
  const bool settled = WaitUntil([this] {
    std::size_t sent;
    {
      std::lock_guard<std::mutex> lock(traceMutex_);
      sent = interruptsSent_;
    }
    const sim::ReaderStats stats = reader_->Stats();
    return sent + stats.interrupt_dropped + stats.interrupt_discarded >= stats.interrupt_messages &&
           bus_->WaitIdle() && bus_->PendingTransfers() >= 1;
  });
  if (!settled) ReportBenchFailure("the interrupt pipe did not settle");
  return settled;
}

void ReaderBench::InsertCard(const std::string& profile) { reader_->InsertCard(sim::MakeCard(profile)); }

void ReaderBench::RemoveCard() { reader_->RemoveCard(); }

std::vector<hosted::usb::MessageEvent> ReaderBench::Messages() const {
  std::lock_guard<std::mutex> lock(traceMutex_);
  return trace_;
}

std::vector<hosted::usb::MessageEvent> ReaderBench::SessionTrace() const {
  std::lock_guard<std::mutex> lock(traceMutex_);
  return sessionTrace_;
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

}  // namespace ccid_test

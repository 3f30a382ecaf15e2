// The driver on the hosted kernel with a simulated reader under it: the driver image
// loaded, a CCID reader from a profile on the hosted USB stack, and the PnP manager's node
// for its PDO. Tests drive the driver through the PnP manager (plug, rebalance, disable,
// unplug) and look at its state through the device extension.
#pragma once

#include <gtest/gtest.h>

#include <hosted/kernel/hosted.h>
#include <hosted/kernel/pnp_manager.h>
#include <hosted/usb/usb_bus.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <atomic>
#include <string>
#include <vector>

#include "CcidDevice.h"
#include "card/card.h"
#include "reader/ccid_reader.h"

namespace ccid_test {

using Bytes = std::vector<std::uint8_t>;

// Waits until `condition` holds (the reader and the USB stack run on their own threads);
// returns whether it held. In virtual time the condition is checked whenever every other
// hosted thread is blocked, and kernel time moves on from deadline to deadline while it
// does not hold: false as soon as nothing can make it true any more. On the accelerated
// clock it polls for at most `timeout` of real time.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Runs `action` on a hosted thread with virtual time moved by hand and checks that it ends
// exactly `ticks` of kernel time after it began: at `ticks` - 1 it is still waiting, at
// `ticks` it has ended (and time has not moved further). For an action whose one timed
// wait must end at its deadline, such as a transfer the reader never answers.
void ExpectEndsExactlyAfter(std::int64_t ticks, const std::function<void()>& action);

// The driver image, loaded for the scope (DriverEntry) and unloaded after it.
class LoadedDriver {
 public:
  LoadedDriver();
  ~LoadedDriver();
  LoadedDriver(const LoadedDriver&) = delete;
  LoadedDriver& operator=(const LoadedDriver&) = delete;

  PDRIVER_OBJECT Get() const { return driver_; }

 private:
  PDRIVER_OBJECT driver_ = nullptr;
};

struct BenchOptions {
  std::string profile = "tpdu-basic";
  hosted::usb::BusDeviceOptions bus;
  // Reports the reader's unplug to the PnP manager, as the hub driver does.
  bool reportUnplug = true;
};

// A simulated reader under the driver. Destroying the bench takes the stack down as
// Windows would (disable, or the unplug order for a reader that went missing), deletes the
// PDO and unloads the driver; the test support then checks that nothing was left behind.
class ReaderBench {
 public:
  explicit ReaderBench(BenchOptions options = {});
  explicit ReaderBench(const std::string& profile);
  ReaderBench(sim::ReaderProfile profile, BenchOptions options);
  ~ReaderBench();
  ReaderBench(const ReaderBench&) = delete;
  ReaderBench& operator=(const ReaderBench&) = delete;

  sim::CcidReader& Reader() { return *reader_; }
  hosted::usb::BusDevice& Bus() { return *bus_; }
  hosted::PnpDevice& Node() { return *node_; }
  PDRIVER_OBJECT Driver() const { return driver_.Get(); }

  // The driver's device object and extension (NULL before AddDevice and after removal).
  PDEVICE_OBJECT Fdo() const { return node_->FunctionDevice(); }
  PDEVICE_EXTENSION Extension() const;
  PREADER_EXTENSION ReaderExtension() const { return Extension()->SmartcardExtension.ReaderExtension; }
  PSMARTCARD_EXTENSION Smartcard() const { return &Extension()->SmartcardExtension; }

  // AddDevice, START, QUERY_CAPABILITIES; then waits until the interrupt request is back
  // in the USB stack after the reader's first slot-change message.
  NTSTATUS Plug();
  // Waits until the interrupt-in request waits in the USB stack and every interrupt
  // message the reader sent so far has been handled.
  void WaitInterruptIdle();

  // The card in slot 0.
  void InsertCard(const std::string& profile = "t0");
  void RemoveCard();

  // Bulk messages in both directions since the last clear, from the reader's trace.
  std::vector<hosted::usb::MessageEvent> Messages() const;
  // The PC_to_RDR commands the reader received since the last clear.
  std::vector<Bytes> Commands() const;
  void ClearMessages();

 private:
  void Build(sim::ReaderProfile profile, BenchOptions options);

  LoadedDriver driver_;
  std::unique_ptr<sim::CcidReader> reader_;
  std::unique_ptr<hosted::usb::BusDevice> bus_;
  std::unique_ptr<hosted::PnpDevice> node_;
  mutable std::mutex traceMutex_;
  std::vector<hosted::usb::MessageEvent> trace_;
  std::size_t interruptsSent_ = 0;
};

// The catalogue profile of that name (fails the test when there is none).
sim::ReaderProfile CatalogueProfile(const std::string& name);

// A smart-card request as the device-control dispatch hands it to the library: an IRP
// whose current stack location is the reader's IRP_MJ_DEVICE_CONTROL, given straight to
// SmartcardDeviceControl, with a completion routine of the test above it.
class LibraryRequest {
 public:
  LibraryRequest(PDEVICE_OBJECT fdo, ULONG ioControlCode, Bytes input = {}, ULONG outputLength = 0);
  ~LibraryRequest();
  LibraryRequest(const LibraryRequest&) = delete;
  LibraryRequest& operator=(const LibraryRequest&) = delete;

  // SmartcardDeviceControl's return value.
  NTSTATUS Send();
  bool Completed() const;
  // Waits for the completion (see WaitUntil).
  bool Wait(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  NTSTATUS Status() const;
  ULONG_PTR Information() const;
  Bytes Output() const;
  BOOLEAN Cancel();
  PIRP Irp() const { return irp_; }

 private:
  static NTSTATUS NTAPI OnComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context);

  PDEVICE_OBJECT fdo_;
  PIRP irp_ = nullptr;
  Bytes buffer_;
  ULONG outputLength_;
  std::atomic<bool> completed_{false};
};

}  // namespace ccid_test

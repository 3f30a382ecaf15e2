// The stack the test suites and ccidsim run the driver in: the driver image loaded into the
// hosted kernel, a simulated CCID reader (and card) from a profile on the hosted USB bus,
// and the PnP manager's node for its PDO. Tests and tools drive the driver through the
// doors Windows uses (PnP requests here; open, device control, cancel, cleanup and close
// through scard::Reader) and judge it by what the simulated reader recorded on the wire.
//
// The bench does not depend on a test framework: what goes wrong in it (a profile that does
// not exist, a pipe that does not settle, a protocol rule broken on the wire) goes to the
// bench's failure handler, which a test suite turns into a test failure (driver_bench.h)
// and a tool records in its report.
#pragma once

#include <hosted/kernel/hosted.h>
#include <hosted/kernel/pnp_manager.h>
#include <hosted/usb/usb_bus.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "CcidDevice.h"
#include "card/card.h"
#include "reader/ccid_reader.h"
#include "referee.h"
#include "scard.h"

namespace ccid_test {

using Bytes = std::vector<std::uint8_t>;

// Where the bench reports what went wrong; returns the previous handler. The default
// handler writes the message to stderr.
using BenchFailureHandler = std::function<void(const std::string& message)>;
BenchFailureHandler SetBenchFailureHandler(BenchFailureHandler handler);
void ReportBenchFailure(const std::string& message);

// Waits until `condition` holds (the reader and the USB stack run on their own threads);
// returns whether it held. In virtual time the condition is checked whenever every other
// hosted thread is blocked, and kernel time moves on from deadline to deadline while it
// does not hold: false as soon as nothing can make it true any more. On the accelerated
// clock it polls for at most `timeout` of real time.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Which driver the bench loads: the hosted build linked into the process (empty, the
// default), or a Windows driver image (.sys) mapped by the kernel's image loader. The
// default is the environment's CCID_DRIVER_IMAGE when set.
void SetDriverImage(std::string path);
const std::string& DriverImage();
// Whether the bench runs a Windows driver image: tests that read the driver's structures
// through the bench's back doors run on the hosted build only.
inline bool RunsDriverImage() { return !DriverImage().empty(); }

// The driver (the hosted build or the image DriverImage names), loaded for the scope
// (DriverEntry) and unloaded after it.
class LoadedDriver {
 public:
  LoadedDriver();
  ~LoadedDriver();
  LoadedDriver(const LoadedDriver&) = delete;
  LoadedDriver& operator=(const LoadedDriver&) = delete;

  PDRIVER_OBJECT Get() const { return driver_; }
  // DriverEntry's status (the driver is not loaded when it failed).
  NTSTATUS EntryStatus() const { return entryStatus_; }
  // DriverUnload now; the pool blocks the driver left behind (0 when it was not loaded).
  std::size_t Unload();

 private:
  PDRIVER_OBJECT driver_ = nullptr;
  NTSTATUS entryStatus_ = STATUS_UNSUCCESSFUL;
};

struct BenchOptions {
  std::string profile = "tpdu-basic";
  hosted::usb::BusDeviceOptions bus;
  // Reports the reader's unplug to the PnP manager, as the hub driver does.
  bool reportUnplug = true;
  // Called as each PnP request comes back (in the PnP manager's thread for an unplug).
  std::function<void(const hosted::PnpStep&)> pnpObserver;
  // A device the bus sees in place of the reader, built around it (the fuzzers' scripted
  // reader, which rewrites what the reader sends). The trace and the referee still see
  // the reader's own messages.
  std::function<std::unique_ptr<hosted::usb::Device>(sim::CcidReader&)> front;
};

// A simulated reader under the driver. Finish (or the destructor) takes the stack down as
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
  // The PnP node (none when DriverEntry failed, or after Finish).
  hosted::PnpDevice& Node() { return *node_; }
  bool HasNode() const { return node_ != nullptr; }
  PDRIVER_OBJECT Driver() const { return driver_.Get(); }
  NTSTATUS EntryStatus() const { return driver_.EntryStatus(); }

  // The reader's PDO (what an application opens) and the driver's device object (NULL
  // before AddDevice and after removal).
  PDEVICE_OBJECT Pdo() { return bus_->Pdo(); }
  PDEVICE_OBJECT Fdo() const { return node_ == nullptr ? nullptr : node_->FunctionDevice(); }

  // Back doors into the driver, for the driver's own tests of routines that have no
  // door of their own: the device extension of the driver's device object (NULL before
  // AddDevice and after removal). End-to-end tests and tools use scard::Reader instead.
  PDEVICE_EXTENSION Extension() const;
  PREADER_EXTENSION ReaderExtension() const { return Extension()->SmartcardExtension.ReaderExtension; }
  PSMARTCARD_EXTENSION Smartcard() const { return &Extension()->SmartcardExtension; }

  // An application's handle on the reader's smart-card interface (CreateFile); NULL, with
  // the status, when the driver or the I/O manager refuses it.
  std::unique_ptr<scard::Reader> Open(NTSTATUS* status = nullptr);

  // AddDevice, START, QUERY_CAPABILITIES; then waits until the interrupt request is back
  // in the USB stack after the reader's first slot-change message.
  NTSTATUS Plug();
  // Waits until the interrupt-in request waits in the USB stack and every interrupt
  // message the reader sent so far has been handled; reports a failure and returns false
  // when that does not come.
  bool WaitInterruptIdle();

  // The card in slot 0.
  void InsertCard(const std::string& profile = "t0");
  void RemoveCard();

  // Bulk messages in both directions since the last clear, from the reader's trace.
  std::vector<hosted::usb::MessageEvent> Messages() const;
  // The PC_to_RDR commands the reader received since the last clear.
  std::vector<Bytes> Commands() const;
  void ClearMessages();
  // Every message of the session, whatever was cleared.
  std::vector<hosted::usb::MessageEvent> SessionTrace() const;

  // The protocol referee (referee.h) judges the session when it finishes: each finding
  // is reported as a failure unless the test declared it expected here, by its rule
  // ("command-while-outstanding") or, for a host error, by the reader's text ("command
  // while another is in progress"). For tests that inject such faults on purpose.
  void ExpectProtocolError(std::string name);

  // Takes the stack down (node, driver, bus, reader), has the referee judge the session
  // and returns the pool blocks the driver left at unload. Called by the destructor when
  // a test did not.
  std::size_t Finish();
  bool Finished() const { return finished_; }
  // What the referee found (expected ones included), once finished.
  const std::vector<ProtocolFinding>& ProtocolFindings() const { return findings_; }

 private:
  void Build(sim::ReaderProfile profile, BenchOptions options);

  LoadedDriver driver_;
  std::unique_ptr<sim::CcidReader> reader_;
  std::unique_ptr<hosted::usb::Device> front_;
  std::unique_ptr<hosted::usb::BusDevice> bus_;
  std::unique_ptr<hosted::PnpDevice> node_;
  mutable std::mutex traceMutex_;
  std::vector<hosted::usb::MessageEvent> trace_;
  std::vector<hosted::usb::MessageEvent> sessionTrace_;
  std::vector<std::size_t> unplugs_;  // session trace positions of the unplugs
  bool unplugReported_ = false;        // the bus's unplug handler has reported to the PnP manager
  std::size_t interruptsSent_ = 0;
  std::vector<std::string> expectedProtocolErrors_;
  std::vector<ProtocolFinding> findings_;
  bool finished_ = false;
};

// The catalogue profile of that name (reports a failure when there is none).
sim::ReaderProfile CatalogueProfile(const std::string& name);

// A PIN_VERIFY_STRUCTURE for the pinpad-lcd reader's T=1 card: VERIFY with the PIN typed
// on the keypad, 4 to 8 digits validated by the OK key, ASCII, left-justified in an 8-byte
// field.
Bytes KeypadVerifyStructure();

}  // namespace ccid_test

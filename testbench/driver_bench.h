// The bench (bench.h) as the test suites use it: what the bench reports fails the running
// test, plus the helpers only tests need.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>

#include "bench.h"

namespace ccid_test {

// Installs the handler that turns the bench's reports into failures of the running test.
bool FailTestsOnBenchReports();
// Every test binary that includes this header gets the handler before its first test.
inline const bool kBenchReportsFailTests = FailTestsOnBenchReports();

// Runs `action` on a hosted thread with virtual time moved by hand and checks that it ends
// exactly `ticks` of kernel time after it began: at `ticks` - 1 it is still waiting, at
// `ticks` it has ended (and time has not moved further). For an action whose one timed
// wait must end at its deadline, such as a transfer the reader never answers. Deadlines
// before the last tick (the USB frames and the card's time on the way) pass as they come.
void ExpectEndsExactlyAfter(std::int64_t ticks, const std::function<void()>& action);

// Back door for the driver's own tests of the smart-card library contract: a smart-card
// request as the device-control dispatch hands it to the library, an IRP whose current
// stack location is the reader's IRP_MJ_DEVICE_CONTROL, given straight to
// SmartcardDeviceControl, with a completion routine of the test above it. End-to-end
// tests and tools send requests through scard::Reader instead.
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

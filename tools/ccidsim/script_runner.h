// Runs a parsed script on the whole stack: an application's handle on the reader
// (scard::Reader) over the hosted user-mode side, the smart-card library, the driver, the
// USB stack and the simulated reader and card, with the verifier watching. Each step
// becomes a record of what was sent and answered and whether its expectation held.
#pragma once

#include <wdm.h>

#include <functional>
#include <ostream>
#include <optional>
#include <string>
#include <vector>

#include "hardware_time.h"
#include "hosted/usb/usb_bus.h"
#include "reader/reader_profile.h"
#include "script.h"

namespace ccidsim {

// The power side after a step, as the bus and the power manager see it.
struct PowerRecord {
  std::string system;    // "S0", "S3", "S4"
  std::string device;    // "D0" ... "D3": the reader's device power state at the bus
  bool waitWake = false; // a wait-wake IRP waits at the bus (remote wake armed)
};

struct StepRecord {
  int line = 0;        // 0: the run's own set-up (the first card going in)
  std::string text;    // the step as the script wrote it
  std::vector<std::string> exchange;  // "> 00 A4 ...", "< 90 00 : success", in order
  NTSTATUS status = STATUS_SUCCESS;   // the step's last request
  bool answered = false;              // `answer` holds what the step yielded
  Bytes answer;
  std::optional<bool> held;           // the expectation's verdict; nothing when none
  std::string expected;               // the expectation, canonical
  bool failed = false;                // the step did not do what it asks (see `failure`)
  std::string failure;
  std::vector<std::string> wire;      // the bulk messages of the step, one line each
  std::optional<PowerRecord> power;   // after the step, while the reader is plugged in
};

// The trace format a --pcap-format value names (checked by the command line).
inline hosted::usb::PcapFormat PcapFormatNamed(const std::string& name) {
  return name == "usbpcap"    ? hosted::usb::PcapFormat::Usbpcap
         : name == "usbmon48" ? hosted::usb::PcapFormat::Usbmon48
                              : hosted::usb::PcapFormat::Usbmon;
}

struct ScriptRunOptions {
  sim::ReaderProfile reader;
  std::string card;      // card in the slot at the start; empty: none
  std::string pcapPath;  // empty: no trace written
  hosted::usb::PcapFormat pcapFormat = hosted::usb::PcapFormat::Usbmon;
  // Called after each step, in the calling thread.
  std::function<void(const StepRecord&)> onStep;
};

struct ScriptRunResult {
  NTSTATUS startStatus = STATUS_UNSUCCESSFUL;
  std::vector<StepRecord> steps;
  std::string pcapDecodeAs;
  std::string pcapError;
  std::vector<std::string> violations;  // verifier reports
  // What went wrong beside the steps: the bench's reports (a pipe that did not settle, a
  // protocol rule broken on the wire) and a handle that did not close.
  std::vector<std::string> benchNotes;
  std::size_t leakedBlocks = 0;
  HardwareTime hardware;  // from the reader's arrival to the end of the script

  std::size_t Failures() const;
  bool Clean() const { return violations.empty() && benchNotes.empty() && leakedBlocks == 0; }
};

// Runs `script` (whose cards the caller has checked exist). The run stops at `exit` and
// after the driver fails to start.
ScriptRunResult RunParsedScript(const Script& script, const ScriptRunOptions& options);

// A step as `ccidsim run` prints it: its line and text, then the exchange, indented.
void PrintStep(const StepRecord& step, bool wire, std::ostream& out);

}  // namespace ccidsim

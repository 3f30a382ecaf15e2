// The scenario every `ccidsim` session runs: the driver loaded into the hosted kernel, a
// simulated reader plugged in under the PnP manager and started, a card inserted and
// removed while an application waits for it, the reader stopped and started again,
// unplugged while a tracking request is parked, and the driver unloaded with the
// verifier's verdict. `demo` narrates it step by step; `session` reports it.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "hardware_time.h"
#include "hosted/usb/usb_bus.h"
#include "reader/reader_profile.h"
#include "wire.h"

namespace ccidsim {

// The reader capabilities as an application reads them from a started reader: the
// smart-card attributes (IOCTL_SMARTCARD_GET_ATTRIBUTE) and the class descriptor's
// dwFeatures (IOCTL_CCID_GET_CLASS_DESCRIPTOR).
struct DriverCapabilities {
  ULONG SupportedProtocols = 0;
  ULONG ClkDefault = 0;
  ULONG ClkMax = 0;
  ULONG DataRateDefault = 0;
  ULONG DataRateMax = 0;
  ULONG MaxIFSD = 0;
  ULONG MechProperties = 0;
  ULONG CcidFeatures = 0;
};

// An application's IOCTL_SMARTCARD_IS_PRESENT / _IS_ABSENT and how it ended.
struct TrackingOutcome {
  ULONG ioControlCode = 0;
  NTSTATUS sent = STATUS_PENDING;     // what the library returned when it was sent
  bool completed = false;             // came back within the session's patience
  NTSTATUS status = STATUS_PENDING;   // its final IoStatus.Status
  ULONG_PTR information = 0;
};

struct PnpRequest {
  std::string name;  // "AddDevice", "IRP_MN_START_DEVICE" ...
  NTSTATUS status = STATUS_SUCCESS;
};

enum class StepKind : std::uint8_t {
  Load,            // DriverEntry
  Plug,            // AddDevice, START, QUERY_CAPABILITIES
  CardInserted,    // with an IS_PRESENT request waiting
  Application,     // an application powers the card, selects a protocol and exchanges APDUs
  StopAndRestart,  // rebalance: QUERY_STOP, STOP, START, with the card in the slot
  CardRemoved,     // with an IS_ABSENT request waiting
  SurpriseRemoval, // the reader leaves the bus while an IS_PRESENT request is parked
  Removal,         // REMOVE after it
  Unload,          // DriverUnload and the verifier's checks
};

// "load", "plug", "card_inserted" ...: the step's name in the session report.
const char* StepName(StepKind kind);

struct ScenarioStep {
  StepKind kind = StepKind::Load;
  NTSTATUS status = STATUS_SUCCESS;  // the step's own outcome (DriverEntry, START, ...)
  std::vector<PnpRequest> pnp;
  std::vector<WireMessage> wire;
  std::optional<TrackingOutcome> tracking;
  std::optional<ULONG> cardStateBefore;  // IOCTL_SMARTCARD_GET_STATE, while a handle can be opened
  std::optional<ULONG> cardStateAfter;
  bool identificationSeen = false;   // the reader received the identification escape in this step
  std::vector<std::string> notes;    // anything that did not go as a working driver does
  std::vector<std::string> exchange; // the application's commands and the card's answers
  std::size_t traceBegin = 0;        // index of the step's first message in the trace
};

struct ScenarioOptions {
  sim::ReaderProfile reader;
  std::string card = "dual";         // card profile (sim::FindCardProfile)
  std::string pcapPath;              // empty: no trace written
  hosted::usb::PcapFormat pcapFormat = hosted::usb::PcapFormat::Usbmon;
  // After the card goes in, an application opens the reader, powers the card, selects
  // T=1 (when the card offers it) and exchanges APDUs with the card's application.
  bool application = false;
  // Called after each step, in the calling thread, with the result so far (narration).
  std::function<void(const ScenarioStep&, const struct ScenarioResult&)> onStep;
};

// One entry of the driver object's dispatch table that the driver filled in.
struct DispatchEntry {
  std::string entry;    // "IRP_MJ_PNP", "DriverUnload", "AddDevice"
  std::string routine;  // the routine's name when the executable exports it, else its address
};

struct ScenarioResult {
  std::vector<std::string> debugOutput;  // the driver's DbgPrint lines
  NTSTATUS entryStatus = STATUS_UNSUCCESSFUL;
  std::vector<DispatchEntry> dispatchTable;  // as DriverEntry left it
  bool started = false;
  NTSTATUS startStatus = STATUS_UNSUCCESSFUL;
  // What an application reads right after the first start; empty when the reader did
  // not start (no handle can be opened on it).
  std::optional<DriverCapabilities> capabilities;
  bool identificationSeen = false;  // the reader received "TALMOR_DRIVER_3004" at the first start
  std::vector<ScenarioStep> steps;
  std::vector<hosted::usb::MessageEvent> trace;  // every message on the cable, in order
  std::string pcapDecodeAs;                 // tshark's decode-as argument for the trace
  std::string pcapError;                    // why the trace could not be written
  std::vector<std::string> violations;      // verifier reports during the session
  std::vector<std::string> protocolFindings; // the protocol referee's findings on the session
  std::size_t leakedBlocks = 0;             // pool blocks the driver left at unload
  // True when the scenario could not run to its end (a request that never came back).
  bool incomplete = false;
  HardwareTime hardware;  // from the reader's arrival to the unload

  bool Clean() const { return violations.empty() && protocolFindings.empty() && leakedBlocks == 0 && !incomplete; }
};

// The identification text the driver sends to the reader at every start.
inline constexpr char kIdentification[] = "TALMOR_DRIVER_3004";

// Runs the scenario. Throws std::invalid_argument for an unknown card profile.
ScenarioResult RunScenario(const ScenarioOptions& options);

// "SCARD_PRESENT" for a card state.
std::string CardStateName(ULONG state);
// "STATUS_SUCCESS" for the statuses the scenario meets, else "0x%08x".
std::string StatusName(NTSTATUS status);
std::string StatusHex(NTSTATUS status);  // "0x%08x"

}  // namespace ccidsim

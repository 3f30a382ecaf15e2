// The session scenario: one driver, one simulated reader, the PnP manager's orders and an
// application waiting for the card, with the verifier watching throughout.
#include "scenario.h"

#include <hosted/kernel/hosted.h>
#include <hosted/usb/usb_bus.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "CcidFrame.h"
#include "CcidIoctl.h"
#include "bench.h"
#include "card/card.h"
#include "card_application.h"
#include "reader/ccid_reader.h"
#include "scard.h"
#include "session_scope.h"
#include "tracking.h"

namespace ccidsim {
namespace {

using namespace std::chrono_literals;

// Kernel time the session lets pass for the driver and the simulated devices to settle
// after each step. The session runs on virtual time: the hosted threads run until nothing
// more can happen, time moves from deadline to deadline, and a step that can never end is
// known at once (a deadlock inside the driver stops the process with its waits named).
constexpr auto kPatience = 10s;

// The CCID class descriptor's size, and where its dwFeatures lies.
constexpr ULONG kClassDescriptorSize = 54;
constexpr std::size_t kFeaturesOffset = 40;

// The status of the last request of that name in a PnP history, or `otherwise`.
NTSTATUS StatusOf(const std::vector<PnpRequest>& history, const std::string& name,
                  NTSTATUS otherwise = STATUS_UNSUCCESSFUL) {
  NTSTATUS status = otherwise;
  for (const PnpRequest& request : history)
    if (request.name == name) status = request.status;
  return status;
}

bool PollUntil(const std::function<bool()>& condition, std::chrono::milliseconds patience = kPatience) {
  return hosted::Scheduler::RunUntil(condition, patience);
}

ULONG UlongAttribute(scard::Reader& reader, ULONG tag) {
  const scard::Bytes value = reader.Attribute(tag);
  ULONG number = 0;
  if (value.size() >= sizeof(number)) std::memcpy(&number, value.data(), sizeof(number));
  return number;
}

// The reader capabilities as an application reads them: the smart-card attributes, and
// dwFeatures from the class descriptor the driver's own control code returns.
DriverCapabilities CapabilitiesOf(scard::Reader& reader) {
  DriverCapabilities caps;
  caps.SupportedProtocols = UlongAttribute(reader, SCARD_ATTR_PROTOCOL_TYPES);
  caps.ClkDefault = UlongAttribute(reader, SCARD_ATTR_DEFAULT_CLK);
  caps.ClkMax = UlongAttribute(reader, SCARD_ATTR_MAX_CLK);
  caps.DataRateDefault = UlongAttribute(reader, SCARD_ATTR_DEFAULT_DATA_RATE);
  caps.DataRateMax = UlongAttribute(reader, SCARD_ATTR_MAX_DATA_RATE);
  caps.MaxIFSD = UlongAttribute(reader, SCARD_ATTR_MAX_IFSD);
  caps.MechProperties = UlongAttribute(reader, SCARD_ATTR_CHARACTERISTICS);
  const hosted::UserIoResult descriptor = reader.Control(IOCTL_CCID_GET_CLASS_DESCRIPTOR, {}, kClassDescriptorSize);
  if (NT_SUCCESS(descriptor.status) && descriptor.information >= kFeaturesOffset + sizeof(ULONG))
    std::memcpy(&caps.CcidFeatures, descriptor.output.data() + kFeaturesOffset, sizeof(ULONG));
  return caps;
}

// A routine's name without its parameter list ("CcidPnp"), or its address.
std::string RoutineName(const void* routine) {
  std::string name = hosted::Drivers::SymbolName(routine);
  const std::size_t parameters = name.find('(');
  if (parameters != std::string::npos && parameters != 0) name.resize(parameters);
  return name;
}

std::vector<DispatchEntry> DispatchTableOf(PDRIVER_OBJECT driver) {
  std::vector<DispatchEntry> table;
  for (const hosted::DispatchEntry& entry : hosted::Drivers::DispatchTable(driver))
    if (!entry.isDefault) table.push_back({entry.majorName, RoutineName(reinterpret_cast<const void*>(entry.routine))});
  if (driver->DriverUnload != NULL)
    table.push_back({"DriverUnload", RoutineName(reinterpret_cast<const void*>(driver->DriverUnload))});
  if (driver->DriverExtension->AddDevice != NULL)
    table.push_back({"AddDevice", RoutineName(reinterpret_cast<const void*>(driver->DriverExtension->AddDevice))});
  return table;
}

class Session {
 public:
  Session(const ScenarioOptions& options, ScenarioResult& result) : options_(options), result_(result) {
    previousHandler_ = ccid_test::SetBenchFailureHandler([this](const std::string& message) { Note(message); });
  }
  ~Session() {
    TearDown();
    ccid_test::SetBenchFailureHandler(previousHandler_);
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  void Run() {
    if (!LoadDriver()) return;
    if (Plug()) {
      Track(StepKind::CardInserted, true, [this] { InsertCard(); });
      if (options_.application) Application();
      StopAndRestart();
      Track(StepKind::CardRemoved, false, [this] { bench_->RemoveCard(); });
      UnplugWithParkedRequest();
    }
    WriteTrace();
    Unload();
  }

 private:
  // ---- steps ---------------------------------------------------------------------

  // The bench loads the driver and builds the simulated reader on the bus, with the PnP
  // manager's node for it.
  bool LoadDriver() {
    hosted::DebugOutput::Clear();
    ScenarioStep step;
    step.kind = StepKind::Load;
    ccid_test::BenchOptions bench;
    // Runs as each PnP request comes back (in the PnP manager's thread for an unplug): a
    // request parked across an unplug is looked at when SURPRISE_REMOVAL returns.
    bench.pnpObserver = [this](const hosted::PnpStep& pnp) {
      if (pnp.addDevice) return;
      if (pnp.minor == IRP_MN_SURPRISE_REMOVAL) {
        std::lock_guard<std::mutex> lock(parkedMutex_);
        if (parked_ != nullptr) parkedAtSurpriseRemoval_ = parked_->Outcome();
      }
    };
    result_.hardware = HardwareTime::Start();
    bench_ = std::make_unique<ccid_test::ReaderBench>(options_.reader, std::move(bench));
    result_.entryStatus = bench_->EntryStatus();
    step.status = result_.entryStatus;
    result_.debugOutput = hosted::DebugOutput::Messages();
    result_.pcapDecodeAs = bench_->Bus().CcidDecodeAs();
    const bool loaded = bench_->Driver() != nullptr;
    if (!loaded) {
      step.notes.push_back("DriverEntry failed: the driver is not loaded");
    } else {
      result_.dispatchTable = DispatchTableOf(bench_->Driver());
    }
    Finish(std::move(step));
    return loaded;
  }

  bool Plug() {
    ScenarioStep step = Begin(StepKind::Plug);
    bench_->Node().Plug();
    step.pnp = TakePnpHistory();
    // The step's status: START's, or AddDevice's when there was no device to start.
    step.status = StatusOf(step.pnp, "IRP_MN_START_DEVICE", StatusOf(step.pnp, "AddDevice"));
    result_.startStatus = step.status;
    result_.started = bench_->Node().State() == hosted::PnpState::Started;
    if (result_.started) {
      bench_->WaitInterruptIdle();
      if (std::unique_ptr<scard::Reader> reader = Open(step)) result_.capabilities = CapabilitiesOf(*reader);
    } else {
      step.notes.push_back("the driver did not start the reader (" + StatusName(step.status) + ")");
    }
    step.identificationSeen = IdentificationsReceived() > 0;
    result_.identificationSeen = step.identificationSeen;
    End(step);
    return result_.started;
  }

  // An application opens the reader and waits for the card with IS_PRESENT or IS_ABSENT;
  // `change` makes the slot change; the application closes its handle after the step.
  void Track(StepKind kind, bool present, const std::function<void()>& change) {
    if (!Running()) return;
    ScenarioStep step = Begin(kind);
    app_ = Open(step);
    if (app_ == nullptr) {
      result_.incomplete = true;
      End(step);
      return;
    }
    TrackingRequest request(*app_, present);
    if (request.Outcome().sent != STATUS_PENDING)
      step.notes.push_back("the request was not left waiting (" + StatusName(request.Outcome().sent) + ")");
    change();
    if (!request.Wait(kPatience)) {
      step.notes.push_back("the waiting request did not complete on the slot change");
      result_.incomplete = true;
    }
    bench_->WaitInterruptIdle();
    step.tracking = request.Outcome();
    step.status = step.tracking->status;
    End(step);
    request.End();
    app_.reset();
  }

  void InsertCard() {
    std::unique_ptr<sim::Icc> card = sim::MakeCard(options_.card);
    bench_->Reader().InsertCard(std::move(card));
  }

  // An application's session with the card, through its own handle, closed at the end.
  void Application() {
    if (!Running()) return;
    ScenarioStep step = Begin(StepKind::Application);
    CardApplicationOutcome outcome = RunCardApplication(bench_->Pdo(), options_.card);
    step.status = outcome.status;
    step.exchange = std::move(outcome.exchange);
    for (std::string& note : outcome.notes) step.notes.push_back(std::move(note));
    bench_->WaitInterruptIdle();
    End(step);
  }

  // Rebalance with the card in the slot: the stop powers it down, the start configures and
  // identifies again, and the reader reports the card anew.
  void StopAndRestart() {
    if (!Running()) return;
    ScenarioStep step = Begin(StepKind::StopAndRestart);
    const std::size_t identifications = IdentificationsReceived();
    step.status = bench_->Node().Rebalance();
    step.pnp = TakePnpHistory();
    if (Running()) {
      bench_->WaitInterruptIdle();
    } else {
      step.notes.push_back("the reader did not start again (" + StatusName(step.status) + ")");
    }
    step.identificationSeen = IdentificationsReceived() > identifications;
    End(step);
  }

  // The reader leaves the bus while an application waits for a card: the PnP manager sends
  // SURPRISE_REMOVAL; the application then closes its handle, whose cleanup ends the parked
  // request, and the PnP manager sends REMOVE.
  void UnplugWithParkedRequest() {
    if (!Running()) return;
    ScenarioStep surprise = Begin(StepKind::SurpriseRemoval);
    app_ = Open(surprise);
    if (app_ == nullptr) {
      result_.incomplete = true;
      End(surprise);
      return;
    }
    auto request = std::make_unique<TrackingRequest>(*app_, true);
    if (request->Outcome().sent != STATUS_PENDING)
      surprise.notes.push_back("the request was not parked (" + StatusName(request->Outcome().sent) + ")");
    {
      std::lock_guard<std::mutex> lock(parkedMutex_);
      parked_ = request.get();
    }
    bench_->Reader().Unplug();
    hosted::PnpDevice& node = bench_->Node();
    const bool surpriseRemoved = PollUntil([&node] {
      return node.State() == hosted::PnpState::SurpriseRemoved || node.State() == hosted::PnpState::Deleted;
    });
    {
      std::lock_guard<std::mutex> lock(parkedMutex_);
      parked_ = nullptr;
      surprise.tracking = parkedAtSurpriseRemoval_;
    }
    if (!surpriseRemoved) {
      surprise.notes.push_back("the PnP manager did not send SURPRISE_REMOVAL");
      result_.incomplete = true;
    }
    surprise.pnp = TakePnpHistory();
    surprise.status = StatusOf(surprise.pnp, "IRP_MN_SURPRISE_REMOVAL");
    End(surprise);

    ScenarioStep removal = Begin(StepKind::Removal);
    app_->Close();
    const bool removed = node.WaitIdle(kPatience) &&
                         PollUntil([&node] { return node.State() == hosted::PnpState::Deleted; });
    if (!removed) {
      removal.notes.push_back("the PnP manager did not finish the removal");
      result_.incomplete = true;
    }
    if (!request->Wait(kPatience)) {
      removal.notes.push_back("the parked request was not completed at the removal");
      result_.incomplete = true;
    }
    removal.pnp = TakePnpHistory();
    removal.status = StatusOf(removal.pnp, "IRP_MN_REMOVE_DEVICE");
    removal.tracking = request->Outcome();
    request->End();
    request.reset();
    app_.reset();
    End(removal);
  }

  void WriteTrace() {
    if (options_.pcapPath.empty() || bench_ == nullptr) return;
    std::string error;
    if (!bench_->Bus().WritePcap(options_.pcapPath, hosted::usb::PcapContent::Messages, &error, options_.pcapFormat))
      result_.pcapError = error.empty() ? "cannot write " + options_.pcapPath : error;
  }

  void Unload() {
    app_.reset();
    ScenarioStep step = Begin(StepKind::Unload);
    const std::size_t before = hosted::Verifier::Count();
    result_.hardware.Stop(bench_->Bus(), bench_->Reader());
    result_.leakedBlocks += bench_->Finish();
    result_.trace = bench_->SessionTrace();
    for (const ccid_test::ProtocolFinding& finding : bench_->ProtocolFindings())
      result_.protocolFindings.push_back(finding.ToString());
    if (hosted::Verifier::Count() != before) step.notes.push_back("the verifier reported what the driver left behind");
    End(step);
  }

  void TearDown() {
    app_.reset();
    if (bench_ == nullptr) return;
    if (!bench_->Finished()) {
      result_.hardware.Stop(bench_->Bus(), bench_->Reader());
      result_.leakedBlocks += bench_->Finish();
      result_.trace = bench_->SessionTrace();
    }
    bench_.reset();
  }

  // ---- bookkeeping ---------------------------------------------------------------

  // What the bench reports goes to the step under way.
  void Note(const std::string& message) {
    std::lock_guard<std::mutex> lock(notesMutex_);
    benchNotes_.push_back(message);
  }

  ScenarioStep Begin(StepKind kind) {
    ScenarioStep step;
    step.kind = kind;
    step.traceBegin = TraceSize();
    step.cardStateBefore = CardState();
    return step;
  }

  void End(ScenarioStep& step) {
    if (bench_ != nullptr) {
      const std::vector<hosted::usb::MessageEvent> trace = bench_->SessionTrace();
      for (std::size_t i = step.traceBegin; i < trace.size(); ++i) step.wire.push_back(DecodeWireMessage(trace[i]));
    }
    if (!step.cardStateAfter) step.cardStateAfter = CardState();
    Finish(std::move(step));
  }

  void Finish(ScenarioStep step) {
    {
      std::lock_guard<std::mutex> lock(notesMutex_);
      for (std::string& note : benchNotes_) step.notes.push_back(std::move(note));
      benchNotes_.clear();
    }
    result_.steps.push_back(std::move(step));
    if (options_.onStep) options_.onStep(result_.steps.back(), result_);
  }

  std::size_t TraceSize() const {
    if (bench_ == nullptr || bench_->Finished()) return result_.trace.size();
    return bench_->SessionTrace().size();
  }

  std::vector<PnpRequest> TakePnpHistory() {
    std::vector<PnpRequest> requests;
    for (const hosted::PnpStep& step : bench_->Node().History()) requests.push_back({step.Name(), step.status});
    bench_->Node().ClearHistory();
    return requests;
  }

  bool Running() {
    return bench_ != nullptr && bench_->HasNode() && bench_->Node().State() == hosted::PnpState::Started;
  }

  // The card state as an application reads it (IOCTL_SMARTCARD_GET_STATE): on the handle
  // the step holds, else on one opened for the question; none while no handle can be
  // opened (not started, surprise-removed, gone).
  std::optional<ULONG> CardState() {
    if (bench_ == nullptr || bench_->Finished() || !bench_->HasNode() || bench_->Pdo() == nullptr) return std::nullopt;
    std::unique_ptr<scard::Reader> temporary;
    scard::Reader* reader = app_ != nullptr && app_->File().IsOpen() ? app_.get() : nullptr;
    if (reader == nullptr) {
      if (bench_->Node().State() != hosted::PnpState::Started) return std::nullopt;
      NTSTATUS status = STATUS_UNSUCCESSFUL;
      temporary = bench_->Open(&status);
      reader = temporary.get();
    }
    if (reader == nullptr) return std::nullopt;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    const ULONG state = reader->State(&status);
    if (!NT_SUCCESS(status)) return std::nullopt;
    return state;
  }

  // The application's handle on the reader; a note on the step when the driver refuses it.
  std::unique_ptr<scard::Reader> Open(ScenarioStep& step) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::unique_ptr<scard::Reader> reader = bench_->Open(&status);
    if (reader == nullptr) step.notes.push_back("the reader could not be opened (" + StatusName(status) + ")");
    return reader;
  }

  std::size_t IdentificationsReceived() {
    std::size_t count = 0;
    for (const auto& escape : bench_->Reader().EscapesReceived())
      if (std::string(escape.begin(), escape.end()) == kIdentification) ++count;
    return count;
  }

  const ScenarioOptions& options_;
  ScenarioResult& result_;
  ccid_test::BenchFailureHandler previousHandler_;
  std::unique_ptr<ccid_test::ReaderBench> bench_;
  std::unique_ptr<scard::Reader> app_;  // the application's handle during a step
  std::mutex notesMutex_;
  std::vector<std::string> benchNotes_;
  std::mutex parkedMutex_;
  TrackingRequest* parked_ = nullptr;
  std::optional<TrackingOutcome> parkedAtSurpriseRemoval_;
};

}  // namespace

const char* StepName(StepKind kind) {
  switch (kind) {
    case StepKind::Load: return "load";
    case StepKind::Plug: return "plug";
    case StepKind::CardInserted: return "card_inserted";
    case StepKind::Application: return "application";
    case StepKind::StopAndRestart: return "stop_and_restart";
    case StepKind::CardRemoved: return "card_removed";
    case StepKind::SurpriseRemoval: return "surprise_removal";
    case StepKind::Removal: return "removal";
    case StepKind::Unload: return "unload";
  }
  return "?";
}

ScenarioResult RunScenario(const ScenarioOptions& options) {
  if (!sim::FindCardProfile(options.card)) throw std::invalid_argument("unknown card profile \"" + options.card + "\"");
  ScenarioResult result;
  {
    VirtualTimeScope time;
    VerifierWatch watch(result.violations);
    const hosted::KernelSnapshot snapshot = hosted::TakeSnapshot();
    {
      Session session(options, result);
      session.Run();
    }
    result.leakedBlocks += hosted::CheckForLeaks(snapshot, "at the end of the session");
  }
  return result;
}

std::string StatusHex(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08x", static_cast<unsigned>(status));
  return text;
}

std::string StatusName(NTSTATUS status) {
  switch (status) {
    case STATUS_SUCCESS: return "STATUS_SUCCESS";
    case STATUS_PENDING: return "STATUS_PENDING";
    case STATUS_CANCELLED: return "STATUS_CANCELLED";
    case STATUS_UNSUCCESSFUL: return "STATUS_UNSUCCESSFUL";
    case STATUS_NOT_SUPPORTED: return "STATUS_NOT_SUPPORTED";
    case STATUS_INSUFFICIENT_RESOURCES: return "STATUS_INSUFFICIENT_RESOURCES";
    case STATUS_IO_TIMEOUT: return "STATUS_IO_TIMEOUT";
    case STATUS_NO_MEDIA: return "STATUS_NO_MEDIA";
    case STATUS_DEVICE_NOT_CONNECTED: return "STATUS_DEVICE_NOT_CONNECTED";
    case STATUS_DEVICE_PROTOCOL_ERROR: return "STATUS_DEVICE_PROTOCOL_ERROR";
    case STATUS_DELETE_PENDING: return "STATUS_DELETE_PENDING";
    case STATUS_INVALID_DEVICE_REQUEST: return "STATUS_INVALID_DEVICE_REQUEST";
    case STATUS_INVALID_PARAMETER: return "STATUS_INVALID_PARAMETER";
    case STATUS_NO_SUCH_DEVICE: return "STATUS_NO_SUCH_DEVICE";
    case STATUS_INVALID_DEVICE_STATE: return "STATUS_INVALID_DEVICE_STATE";
    case STATUS_UNRECOGNIZED_MEDIA: return "STATUS_UNRECOGNIZED_MEDIA";
    case STATUS_BUFFER_TOO_SMALL: return "STATUS_BUFFER_TOO_SMALL";
    case STATUS_IO_DEVICE_ERROR: return "STATUS_IO_DEVICE_ERROR";
    case STATUS_DEVICE_BUSY: return "STATUS_DEVICE_BUSY";
    default: return StatusHex(status);
  }
}

std::string CardStateName(ULONG state) {
  switch (state) {
    case SCARD_UNKNOWN: return "SCARD_UNKNOWN";
    case SCARD_ABSENT: return "SCARD_ABSENT";
    case SCARD_PRESENT: return "SCARD_PRESENT";
    case SCARD_SWALLOWED: return "SCARD_SWALLOWED";
    case SCARD_POWERED: return "SCARD_POWERED";
    case SCARD_NEGOTIABLE: return "SCARD_NEGOTIABLE";
    case SCARD_SPECIFIC: return "SCARD_SPECIFIC";
    default: return "state " + std::to_string(state);
  }
}

}  // namespace ccidsim

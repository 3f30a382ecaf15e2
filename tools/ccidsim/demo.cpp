// `ccidsim demo`: the session scenario on the default reader and card, narrated step by
// step: what the PnP manager sent, what went over the cable, what the application waiting
// for the card saw, and the verifier's verdict.
#include <cstdio>
#include <string>

#include "commands.h"
#include "script.h"
#include "script_runner.h"
#include "scenario.h"
#include "session_report.h"

namespace ccidsim {
namespace {

const char* StepTitle(StepKind kind) {
  switch (kind) {
    case StepKind::Load: return "Loading the driver into the hosted kernel";
    case StepKind::Plug: return "Plugging the reader in: the PnP manager adds and starts it";
    case StepKind::CardInserted: return "Inserting a card while an application waits for one";
    case StepKind::Application: return "An application powers the card, selects a protocol and talks to the card";
    case StepKind::StopAndRestart: return "Stopping and restarting the reader (a PnP rebalance), card in the slot";
    case StepKind::CardRemoved: return "Removing the card while an application waits for that";
    case StepKind::SurpriseRemoval: return "Pulling the reader out while an application waits for a card";
    case StepKind::Removal: return "The PnP manager removes the gone reader";
    case StepKind::Unload: return "Unloading the driver";
  }
  return "";
}

class Narrator {
 public:
  explicit Narrator(std::ostream& out) : out_(out) {}

  void Step(const ScenarioStep& step, const ScenarioResult& result) {
    out_ << "\n== " << ++count_ << ". " << StepTitle(step.kind) << "\n";
    if (step.kind == StepKind::Load) Load(step, result);
    if (step.tracking && step.kind != StepKind::Removal) Sent(*step.tracking);
    PnpRequests(step);
    Exchange(step);
    Wire(step);
    if (step.tracking) Completed(step.kind, *step.tracking);
    if (step.kind == StepKind::Unload)
      out_ << "  DriverUnload ran; pool blocks the driver still held: " << result.leakedBlocks << "\n";
    if (step.kind == StepKind::Plug && result.capabilities && result.started) Capabilities(*result.capabilities);
    if (step.kind == StepKind::Plug || step.kind == StepKind::StopAndRestart)
      out_ << "  identification \"" << kIdentification << "\" "
           << (step.identificationSeen ? "received by the reader" : "NOT received by the reader") << "\n";
    CardState(step);
    for (const std::string& note : step.notes) out_ << "  ! " << note << "\n";
  }

 private:
  void Load(const ScenarioStep& step, const ScenarioResult& result) {
    for (const std::string& line : result.debugOutput) {
      std::string text = line;
      while (!text.empty() && text.back() == '\n') text.pop_back();
      out_ << "  debugger> " << text << "\n";
    }
    out_ << "  DriverEntry returned " << StatusName(step.status) << "\n";
    if (result.dispatchTable.empty()) return;
    out_ << "  dispatch table (every other major function: invalid device request):\n";
    for (const DispatchEntry& entry : result.dispatchTable) Row(entry.entry, entry.routine);
  }

  void PnpRequests(const ScenarioStep& step) {
    if (step.pnp.empty()) return;
    out_ << "  PnP manager:\n";
    for (const PnpRequest& request : step.pnp) Row(request.name, StatusName(request.status));
  }

  void Exchange(const ScenarioStep& step) {
    if (step.exchange.empty()) return;
    out_ << "  application (> to the card, < from it, with the status word's meaning):\n";
    for (const std::string& line : step.exchange) out_ << "    " << line << "\n";
  }

  void Wire(const ScenarioStep& step) {
    if (step.wire.empty()) return;
    out_ << "  on the wire (> host to reader, < reader to host):\n";
    for (const WireMessage& message : step.wire)
      out_ << "    " << (message.direction == WireDirection::ToReader ? "> " : "< ") << message.text << "\n";
  }

  void Sent(const TrackingOutcome& tracking) {
    out_ << "  application: " << IoctlName(tracking.ioControlCode) << " returned " << StatusName(tracking.sent)
         << (tracking.sent == STATUS_PENDING ? " (parked until the card state changes)" : "") << "\n";
  }

  void Completed(StepKind kind, const TrackingOutcome& tracking) {
    const std::string name = IoctlName(tracking.ioControlCode);
    if (kind == StepKind::SurpriseRemoval) {
      out_ << "  application: " << name
           << (tracking.completed ? " completed by the surprise removal with " + StatusName(tracking.status)
                                  : " still parked after IRP_MN_SURPRISE_REMOVAL")
           << "\n";
    } else if (tracking.completed) {
      out_ << "  application: " << name << (kind == StepKind::Removal ? " (parked before the unplug)" : "")
           << " completed with " << StatusName(tracking.status) << "\n";
    } else {
      out_ << "  application: " << name << " never completed\n";
    }
  }

  void Capabilities(const DriverCapabilities& c) {
    out_ << "  reader capabilities the driver took from the CCID class descriptor:\n";
    Row("SupportedProtocols", ProtocolsText(c.SupportedProtocols));
    Row("CLKFrequency", std::to_string(c.ClkDefault) + " kHz default, " + std::to_string(c.ClkMax) + " kHz max");
    Row("DataRate", std::to_string(c.DataRateDefault) + " bps default, " + std::to_string(c.DataRateMax) + " bps max");
    Row("MaxIFSD", std::to_string(c.MaxIFSD));
    Row("MechProperties", Hex32(c.MechProperties));
    Row("CcidFeatures", Hex32(c.CcidFeatures));
  }

  void CardState(const ScenarioStep& step) {
    if (!step.cardStateAfter) return;
    out_ << "  card state: ";
    if (step.cardStateBefore && *step.cardStateBefore != *step.cardStateAfter)
      out_ << CardStateName(*step.cardStateBefore) << " -> ";
    out_ << CardStateName(*step.cardStateAfter) << "\n";
  }

  void Row(const std::string& left, const std::string& right) {
    char line[200];
    std::snprintf(line, sizeof(line), "    %-37s %s\n", left.c_str(), right.c_str());
    out_ << line;
  }

  std::ostream& out_;
  int count_ = 0;
};

// The user's side of a PIN pad: the right PIN, a wrong one and a correction,
// each typed on the keypad of the PIN-pad reader while the driver waits for the reader.
constexpr char kPinScript[] =
    "keypad 1234#\n"
    "verify-pin => 9000\n"
    "keypad 9999#\n"
    "verify-pin => 63C2\n"
    "keypad 19*234#\n"
    "verify-pin => 9000\n";

// Sleep and wake on a reader whose configuration lets it wake the system: the card powered
// off for S3 and found again on return, then a card inserted while asleep waking it.
constexpr char kSleepScript[] =
    "reset cold\n"
    "00 A4 04 00 08 F0 43 43 49 44 53 49 4D => 90 00\n"
    "sleep S3\n"
    "wake\n"
    "00 A4 04 00 08 F0 43 43 49 44 53 49 4D => 90 00\n"
    "remove\n"
    "sleep S3\n"
    "wake-by-card\n"
    "state => present\n";

// A further reader for a part of the demo: `script`'s steps narrated as `ccidsim run`
// prints them. True when every step did what it asked and the verifier had nothing to say.
bool NarrateScript(std::ostream& out, const std::string& title, const char* text, const char* readerName,
                   const char* card) {
  ScriptError error;
  const std::optional<Script> script = ParseScript(text, &error);
  std::optional<sim::ReaderProfile> reader = sim::FindReaderProfile(readerName);
  if (!script || !reader) return false;
  out << "\n" << title << " (" << reader->name << ", card " << card << ")\n";
  ScriptRunOptions run;
  run.reader = std::move(*reader);
  run.card = card;
  run.onStep = [&out](const StepRecord& step) { PrintStep(step, false, out); };
  const ScriptRunResult result = RunParsedScript(*script, run);
  const bool clean = result.startStatus == STATUS_SUCCESS && result.Failures() == 0 && result.Clean();
  out << (clean ? "every step as expected, verifier clean" : "a step failed or the verifier objected") << "\n";
  return clean;
}

}  // namespace

int RunDemo(const DemoOptions& demo, std::ostream& out, std::ostream& err) {
  std::optional<ScenarioOptions> options = PrepareScenario(demo.reader, {}, demo.card, {}, err);
  if (!options) return kExitUsage;
  options->application = true;
  Narrator narrator(out);
  if (!demo.quiet) {
    out << "ccidsim demo: the CCID reader driver in a hosted Windows kernel, on a simulated reader\n"
        << "  reader " << options->reader.name << ": " << options->reader.Summary() << "\n"
        << "  card   " << options->card << "\n";
    options->onStep = [&narrator](const ScenarioStep& step, const ScenarioResult& result) {
      narrator.Step(step, result);
    };
  }
  const ScenarioResult result = RunScenario(*options);
  bool partsClean = true;
  if (!demo.quiet) {
    partsClean = NarrateScript(out, "A PIN typed on the keypad of a PIN-pad reader, one second of virtual time per "
                                    "time extension", kPinScript, kDefaultPinReader, kDefaultPinCard);
    partsClean = NarrateScript(out, "Sleep and wake, and a card inserted while asleep waking the system", kSleepScript,
                               "wakeup", "t1-ifsc32") && partsClean;
    out << "\n";
  }
  if (result.started && !demo.quiet) out << HardwareTimeText(result.hardware) << "\n";
  out << "verifier: " << VerdictText(result) << "\n";
  return result.Clean() && partsClean ? kExitClean : kExitProblem;
}

}  // namespace ccidsim

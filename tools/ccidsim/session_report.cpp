// `ccidsim session`: the scenario run quietly on any reader, reported as text or JSON.
#include "session_report.h"

#include <winsmcrd.h>

#include <cstdio>
#include <fstream>

#include "card/card.h"
#include "commands.h"
#include "reader_source.h"
#include "script_runner.h"

namespace ccidsim {
namespace {

using Json = nlohmann::ordered_json;

Json CapabilitiesJson(const DriverCapabilities& caps) {
  return Json{{"SupportedProtocols", caps.SupportedProtocols}, {"ClkDefault", caps.ClkDefault},
              {"ClkMax", caps.ClkMax},                         {"DataRateDefault", caps.DataRateDefault},
              {"DataRateMax", caps.DataRateMax},               {"MaxIFSD", caps.MaxIFSD},
              {"MechProperties", caps.MechProperties},         {"CcidFeatures", caps.CcidFeatures}};
}

Json StepJson(const ScenarioStep& step) {
  Json event{{"event", StepName(step.kind)}, {"status", StatusHex(step.status)}};
  if (!step.pnp.empty()) {
    Json pnp = Json::array();
    for (const PnpRequest& request : step.pnp) pnp.push_back({{"request", request.name}, {"status", StatusHex(request.status)}});
    event["pnp"] = std::move(pnp);
  }
  if (step.tracking) {
    const TrackingOutcome& t = *step.tracking;
    event["tracking"] = {{"request", IoctlName(t.ioControlCode)},
                         {"sent", StatusHex(t.sent)},
                         {"completed", t.completed},
                         {"status", StatusHex(t.status)}};
  }
  if (step.cardStateBefore) event["card_state_before"] = CardStateName(*step.cardStateBefore);
  if (step.cardStateAfter) event["card_state"] = CardStateName(*step.cardStateAfter);
  if (step.kind == StepKind::Plug || step.kind == StepKind::StopAndRestart)
    event["identification_seen"] = step.identificationSeen;
  if (!step.wire.empty()) {
    Json wire = Json::array();
    for (const WireMessage& message : step.wire)
      wire.push_back(std::string(message.direction == WireDirection::ToReader ? "> " : "< ") + message.text);
    event["wire"] = std::move(wire);
  }
  if (!step.exchange.empty()) event["exchange"] = step.exchange;
  if (!step.notes.empty()) event["notes"] = step.notes;
  return event;
}

void PrintText(const ScenarioOptions& options, const ScenarioResult& result, std::ostream& out) {
  out << "reader " << options.reader.name << ", card " << options.card << "\n";
  out << "start: " << StatusName(result.startStatus) << " (" << StatusHex(result.startStatus) << ")";
  out << (result.identificationSeen ? ", identification \"" + std::string(kIdentification) + "\" received by the reader"
                                    : ", no identification received by the reader")
      << "\n";
  if (result.capabilities) {
    const DriverCapabilities& c = *result.capabilities;
    out << "capabilities: " << ProtocolsText(c.SupportedProtocols) << ", clock " << c.ClkDefault << "/" << c.ClkMax
        << " kHz, data rate " << c.DataRateDefault << "/" << c.DataRateMax << " bps, IFSD " << c.MaxIFSD
        << ", mechanical " << Hex32(c.MechProperties) << ", features " << Hex32(c.CcidFeatures) << "\n";
  }
  for (const ScenarioStep& step : result.steps) {
    char head[96];
    std::snprintf(head, sizeof(head), "  %-17s %-30s", StepName(step.kind), StatusName(step.status).c_str());
    std::string line = head;
    if (step.tracking)
      line += " " + IoctlName(step.tracking->ioControlCode) + ": " +
              (step.tracking->completed ? StatusName(step.tracking->status) : "still waiting") + ";";
    if (step.cardStateAfter) line += " card " + CardStateName(*step.cardStateAfter);
    if (line.back() == ';') line.pop_back();
    while (line.back() == ' ') line.pop_back();
    out << line << "\n";
    for (const std::string& note : step.notes) out << "    ! " << note << "\n";
  }
  if (!options.pcapPath.empty() && result.pcapError.empty())
    out << "trace: " << options.pcapPath << " (tshark -r " << options.pcapPath << " -d " << result.pcapDecodeAs
        << ")\n";
  if (result.started) out << HardwareTimeText(result.hardware) << "\n";
  out << "verifier: " << VerdictText(result) << "\n";
}

}  // namespace

std::optional<ScenarioOptions> PrepareScenario(const std::string& reader, const std::string& profile,
                                               const std::string& card, const std::string& pcap, std::ostream& err) {
  std::string error;
  std::optional<sim::ReaderProfile> found = ResolveReader(reader, profile, &error);
  if (!found) {
    err << "ccidsim: " << error << "\n";
    return std::nullopt;
  }
  if (!sim::FindCardProfile(card)) {
    err << "ccidsim: unknown card \"" << card << "\" (a card profile name, or atr:<hex>)\n";
    return std::nullopt;
  }
  if (!pcap.empty() && !std::ofstream(pcap, std::ios::binary | std::ios::trunc)) {
    err << "ccidsim: cannot write the trace file " << pcap << "\n";
    return std::nullopt;
  }
  ScenarioOptions options;
  options.reader = std::move(*found);
  options.card = card;
  options.pcapPath = pcap;
  return options;
}

Json SessionJson(const ScenarioOptions& options, const ScenarioResult& result) {
  Json json;
  json["reader"] = options.reader.name;
  json["card"] = options.card;
  json["start"] = {{"status", StatusHex(result.startStatus)}, {"name", StatusName(result.startStatus)}};
  json["capabilities"] = result.capabilities ? CapabilitiesJson(*result.capabilities) : Json(nullptr);
  json["identification_seen"] = result.identificationSeen;
  Json events = Json::array();
  for (const ScenarioStep& step : result.steps) events.push_back(StepJson(step));
  json["events"] = std::move(events);
  if (!options.pcapPath.empty()) {
    json["pcap"] = {{"path", options.pcapPath}, {"decode_as", result.pcapDecodeAs}, {"written", result.pcapError.empty()}};
    if (!result.pcapError.empty()) json["pcap"]["error"] = result.pcapError;
  }
  json["complete"] = !result.incomplete;
  json["verifier"] = {{"violations", result.violations.size()},
                      {"leaked_blocks", result.leakedBlocks},
                      {"verdict", VerdictText(result)},
                      {"reports", result.violations}};
  json["protocol_findings"] = result.protocolFindings;
  json["hardware_time"] = HardwareTimeJson(result.hardware);
  return json;
}

std::string VerdictText(const ScenarioResult& result) {
  std::string text;
  if (result.violations.empty() && result.leakedBlocks == 0) {
    text = "clean: no violations, no pool block left behind";
  } else {
    text = std::to_string(result.violations.size()) + " violation(s), " + std::to_string(result.leakedBlocks) +
           " pool block(s) left behind";
    if (!result.violations.empty()) text += "; first: " + result.violations.front();
  }
  if (!result.protocolFindings.empty())
    text += "; " + std::to_string(result.protocolFindings.size()) +
            " protocol finding(s), first: " + result.protocolFindings.front();
  if (result.incomplete) text += " (the session could not run to its end)";
  return text;
}

std::string ProtocolsText(ULONG protocols) {
  std::string text;
  if (protocols & SCARD_PROTOCOL_T0) text = "T=0";
  if (protocols & SCARD_PROTOCOL_T1) text += text.empty() ? "T=1" : " + T=1";
  if (text.empty()) text = "none";
  return text + " (" + Hex32(protocols) + ")";
}

std::string IoctlName(ULONG ioControlCode) {
  switch (ioControlCode) {
    case IOCTL_SMARTCARD_IS_PRESENT: return "IOCTL_SMARTCARD_IS_PRESENT";
    case IOCTL_SMARTCARD_IS_ABSENT: return "IOCTL_SMARTCARD_IS_ABSENT";
    default: return Hex32(ioControlCode);
  }
}

std::string Hex32(ULONG value) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(value));
  return text;
}

int RunSession(const SessionOptions& session, std::ostream& out, std::ostream& err) {
  std::optional<ScenarioOptions> options =
      PrepareScenario(session.reader, session.profile, session.card, session.pcap, err);
  if (!options) return kExitUsage;
  options->pcapFormat = PcapFormatNamed(session.pcapFormat);
  const ScenarioResult result = RunScenario(*options);
  if (session.json) {
    out << SessionJson(*options, result).dump(2) << "\n";
  } else {
    PrintText(*options, result, out);
  }
  if (!result.pcapError.empty()) err << "ccidsim: " << result.pcapError << "\n";
  return result.Clean() && result.pcapError.empty() ? kExitClean : kExitProblem;
}

}  // namespace ccidsim

// `ccidsim run SCRIPT`: reads and checks the script, chooses the reader and card (the
// command line first, then the script's `reader` and `card` lines, then the defaults),
// runs it through the whole stack and reports each step, as text or as one JSON object.
#include <winsmcrd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "card/card.h"
#include "commands.h"
#include "iso7816/apdu.h"
#include "iso7816/bytes.h"
#include "reader_source.h"
#include "scenario.h"
#include "script.h"
#include "script_runner.h"
#include "session_report.h"

namespace ccidsim {
namespace {

using Json = nlohmann::ordered_json;

// A bad script or bad choice of devices: "SCRIPT:LINE: message" on `err`.
int BadScript(std::ostream& err, const std::string& path, int line, const std::string& message) {
  err << "ccidsim: " << path;
  if (line > 0) err << ":" << line;
  err << ": " << message << "\n";
  return kExitUsage;
}

// A reader file named in the script is looked for next to the script first.
std::string ScriptRelative(const std::string& script, const std::string& reader) {
  namespace fs = std::filesystem;
  if (reader.empty() || fs::path(reader).is_absolute() || sim::FindReaderProfile(reader)) return reader;
  const fs::path beside = fs::path(script).parent_path() / reader;
  std::error_code error;
  return fs::exists(beside, error) ? beside.string() : reader;
}

int ReaderLine(std::string_view text) {
  std::istringstream lines{std::string(text)};
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    const std::size_t start = line.find_first_not_of(" \t");
    if (start != std::string::npos && line.compare(start, 6, "reader") == 0) return number;
  }
  return 0;
}

}  // namespace

void PrintStep(const StepRecord& step, bool wire, std::ostream& out) {
  out << (step.line > 0 ? "line " + std::to_string(step.line) : std::string("start")) << ": " << step.text << "\n";
  for (const std::string& line : step.exchange) out << "  " << line << "\n";
  if (wire)
    for (const std::string& line : step.wire) out << "    | " << line << "\n";
  if (step.held) {
    if (*step.held) {
      out << "  = as expected (" << step.expected << ")\n";
    } else {
      out << "  ! expected " << step.expected << (step.answered ? "" : ", but nothing was answered") << "\n";
    }
  }
}

namespace {

Json StepJson(const StepRecord& step) {
  Json json{{"line", step.line}, {"step", step.text}, {"status", StatusName(step.status)}};
  json["exchange"] = step.exchange;
  if (step.answered) {
    json["answer"] = iso7816::ToHex(step.answer);
    if (step.answer.size() >= 2) {
      const std::uint16_t sw = static_cast<std::uint16_t>(step.answer[step.answer.size() - 2] << 8 | step.answer.back());
      json["sw"] = iso7816::ToHex(std::span(step.answer).last(2));
      json["meaning"] = iso7816::StatusWordMeaning(sw);
    }
  }
  if (step.held) json["expected"] = {{"pattern", step.expected}, {"held", *step.held}};
  if (step.failed) json["failure"] = step.failure;
  json["wire"] = step.wire;
  if (step.power)
    json["power"] = {
        {"system", step.power->system}, {"device", step.power->device}, {"wait_wake", step.power->waitWake}};
  return json;
}

std::string VerdictOf(const ScriptRunResult& result) {
  std::string text = result.violations.empty() && result.leakedBlocks == 0
                         ? "clean: no violations, no pool block left behind"
                         : std::to_string(result.violations.size()) + " violation(s), " +
                               std::to_string(result.leakedBlocks) + " pool block(s) left behind";
  if (!result.violations.empty()) text += "; first: " + result.violations.front();
  if (!result.benchNotes.empty()) text += "; bench: " + result.benchNotes.front();
  return text;
}

}  // namespace

int RunScript(const RunOptions& options, std::ostream& out, std::ostream& err) {
  std::ifstream file(options.script, std::ios::binary);
  if (!file) return BadScript(err, options.script, 0, "cannot read the script");
  std::stringstream text;
  text << file.rdbuf();
  return RunScriptText(text.str(), options, out, err);
}

int RunScriptText(const std::string& source, const RunOptions& options, std::ostream& out, std::ostream& err) {
  const std::stringstream text(source);
  ScriptError error;
  const std::optional<Script> script = ParseScript(text.str(), &error);
  if (!script) return BadScript(err, options.script, error.line, error.message);

  // The devices: the command line's, else the script's, else the defaults.
  const bool readerFromScript = options.reader.empty() && !script->reader.empty();
  const std::string readerName = !options.reader.empty() ? options.reader
                                 : readerFromScript      ? ScriptRelative(options.script, script->reader)
                                                         : kDefaultReader;
  std::string reason;
  std::optional<sim::ReaderProfile> reader = ResolveReader(readerName, options.profile, &reason);
  if (!reader) return BadScript(err, options.script, readerFromScript ? ReaderLine(text.str()) : 0, reason);
  std::string card = !options.card.empty() ? options.card : !script->card.empty() ? script->card : kDefaultCard;
  if (card == "none") card.clear();
  if (!card.empty() && !sim::FindCardProfile(card))
    return BadScript(err, options.script, 0, "unknown card \"" + card + "\" (a card profile name, or atr:<hex>)");
  for (const ScriptStep& step : script->steps) {
    if (step.action != ScriptAction::Insert && step.action != ScriptAction::WakeByCard) continue;
    if (step.card.empty() && card.empty())
      return BadScript(err, options.script, step.line,
                       std::string(step.action == ScriptAction::Insert ? "insert" : "wake-by-card") +
                           " needs a card name when the script starts with none");
    if (!step.card.empty() && !sim::FindCardProfile(step.card))
      return BadScript(err, options.script, step.line, "unknown card \"" + step.card + "\"");
  }
  if (!options.pcap.empty() && !std::ofstream(options.pcap, std::ios::binary | std::ios::trunc))
    return BadScript(err, options.script, 0, "cannot write the trace file " + options.pcap);

  ScriptRunOptions run;
  run.reader = std::move(*reader);
  run.card = card;
  run.pcapPath = options.pcap;
  run.pcapFormat = PcapFormatNamed(options.pcapFormat);
  if (!options.json) {
    out << "ccidsim run " << options.script << ": reader " << run.reader.name << ", card "
        << (card.empty() ? "none" : card) << "\n";
    run.onStep = [&out, &options](const StepRecord& step) { PrintStep(step, options.wire, out); };
  }
  const ScriptRunResult result = RunParsedScript(*script, run);

  std::size_t expectations = 0;
  for (const StepRecord& step : result.steps) expectations += step.held.has_value();
  const std::size_t failures = result.Failures();
  if (options.json) {
    Json json{{"script", options.script}, {"reader", run.reader.name}, {"card", card.empty() ? "none" : card}};
    json["start"] = StatusName(result.startStatus);
    Json steps = Json::array();
    for (const StepRecord& step : result.steps) steps.push_back(StepJson(step));
    json["steps"] = std::move(steps);
    json["expectations"] = expectations;
    json["failures"] = failures;
    if (!options.pcap.empty())
      json["pcap"] = {{"path", options.pcap}, {"decode_as", result.pcapDecodeAs}, {"written", result.pcapError.empty()}};
    json["verifier"] = {{"violations", result.violations.size()},
                        {"leaked_blocks", result.leakedBlocks},
                        {"verdict", VerdictOf(result)},
                        {"reports", result.violations}};
    json["hardware_time"] = HardwareTimeJson(result.hardware);
    out << json.dump(2) << "\n";
  } else {
    if (result.startStatus != STATUS_SUCCESS)
      out << "the driver did not start the reader (" << StatusName(result.startStatus) << ")\n";
    out << "\n" << result.steps.size() << " step(s), " << expectations << " expectation(s), " << failures
        << " failed\n";
    if (!options.pcap.empty() && result.pcapError.empty())
      out << "trace: " << options.pcap << " (tshark -r " << options.pcap << " -d " << result.pcapDecodeAs << ")\n";
    out << "verifier: " << VerdictOf(result) << "\n";
    if (result.startStatus == STATUS_SUCCESS) out << HardwareTimeText(result.hardware) << "\n";
  }
  if (!result.pcapError.empty()) err << "ccidsim: " << result.pcapError << "\n";
  const bool good = result.startStatus == STATUS_SUCCESS && failures == 0 && result.Clean() && result.pcapError.empty();
  return good ? kExitClean : kExitProblem;
}

}  // namespace ccidsim

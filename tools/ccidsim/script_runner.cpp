// The steps of a script, each as an application does it: through one handle on the
// reader (scard::Reader), which reaches the driver only by open, device control, cancel
// and close; the card goes in and out of the simulated reader.
#include "script_runner.h"

#include <winsmcrd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

#include "CcidFeatures.h"
#include "CcidIoctl.h"
#include "bench.h"
#include "iso7816/apdu.h"
#include "iso7816/bytes.h"
#include "pin_structure.h"
#include "scard.h"
#include "scenario.h"
#include "session_report.h"
#include "session_scope.h"
#include "wire.h"

namespace ccidsim {
namespace {

using namespace std::chrono_literals;

// Kernel time a step lets the driver take to answer a wait (a card event, an event read).
constexpr auto kPatience = 10s;

constexpr ULONG kAnswerRoom = 65536 + 2;                   // the longest extended answer and SW1 SW2
constexpr ULONG kTransferRoom = 10 + kAnswerRoom + 8;      // a CCID header and the longest data block
constexpr ULONG kClassQueryRoom = 256 * sizeof(ULONG);     // bNumClockSupported / bNumDataRatesSupported values
constexpr ULONG kClassDescriptorSize = 54;
constexpr ULONG kEventRoom = 64;
constexpr ULONG kAttributeRoom = 256;
constexpr ULONG kFeatureRoom = 256;
constexpr std::size_t kBytesPerLine = 24;

std::string Hex(std::span<const std::uint8_t> bytes) { return iso7816::ToHex(bytes, ' '); }

// Bytes as exchange lines after `prefix`, `kBytesPerLine` to a line, `suffix` on the last.
void AddBytes(std::vector<std::string>& lines, const std::string& prefix, std::span<const std::uint8_t> bytes,
              const std::string& suffix = {}) {
  if (bytes.empty()) {
    lines.push_back(prefix + "(nothing)" + suffix);
    return;
  }
  for (std::size_t at = 0; at < bytes.size(); at += kBytesPerLine) {
    const std::string head = at == 0 ? prefix : std::string(prefix.size(), ' ');
    const bool last = at + kBytesPerLine >= bytes.size();
    lines.push_back(head + Hex(bytes.subspan(at, std::min(kBytesPerLine, bytes.size() - at))) + (last ? suffix : ""));
  }
}

std::string ProtocolWords(ULONG mask) {
  const bool t0 = (mask & SCARD_PROTOCOL_T0) != 0;
  const bool t1 = (mask & SCARD_PROTOCOL_T1) != 0;
  if (t0 && t1) return "T=0 or T=1";
  if (t0) return "T=0";
  if (t1) return "T=1";
  return Hex32(mask);
}

std::vector<ULONG> Ulongs(std::span<const std::uint8_t> bytes) {
  std::vector<ULONG> values;
  for (std::size_t at = 0; at + sizeof(ULONG) <= bytes.size(); at += sizeof(ULONG)) {
    ULONG value = 0;
    std::memcpy(&value, bytes.data() + at, sizeof(value));
    values.push_back(value);
  }
  return values;
}

// "RDR_to_PC_DataBlock, bStatus 0x00, bError 0x00" for a CCID response header.
std::string ResponseWords(std::span<const std::uint8_t> message) {
  if (message.empty()) return "no response";
  std::string words = CcidMessageName(message[0], true);
  if (message.size() >= 10) {
    char fields[48];
    std::snprintf(fields, sizeof(fields), ", bStatus 0x%02X, bError 0x%02X", message[7], message[8]);
    words += fields;
  }
  return words;
}

// "RDR_to_PC_NotifySlotChange: slot 0 card present, changed" for an interrupt message.
std::string EventWords(std::span<const std::uint8_t> message) {
  if (message.empty()) return "empty";
  std::string words = CcidMessageName(message[0], true);
  if (message[0] == 0x50 && message.size() >= 2) {
    const std::uint8_t bits = message[1];
    words += std::string(": slot 0 card ") + ((bits & 1) ? "present" : "absent") + ((bits & 2) ? ", changed" : "");
  }
  return words;
}

class ScriptRunner {
 public:
  ScriptRunner(const ScriptRunOptions& options, ScriptRunResult& result) : options_(options), result_(result) {
    previousHandler_ = ccid_test::SetBenchFailureHandler(
        [this](const std::string& message) { result_.benchNotes.push_back(message); });
  }
  ~ScriptRunner() {
    reader_.reset();
    if (bench_ != nullptr && !bench_->Finished()) result_.leakedBlocks += bench_->Finish();
    ccid_test::SetBenchFailureHandler(previousHandler_);
  }
  ScriptRunner(const ScriptRunner&) = delete;
  ScriptRunner& operator=(const ScriptRunner&) = delete;

  void Run(const Script& script) {
    if (!Start()) return;
    if (!options_.card.empty()) {
      StepRecord setup = Begin(0, "card " + options_.card);
      Insert(setup, options_.card);
      End(std::move(setup));
    }
    for (const ScriptStep& step : script.steps) {
      StepRecord record = Begin(step.line, step.text);
      if (step.action == ScriptAction::Exit) {
        End(std::move(record));
        break;
      }
      Execute(step, record);
      Judge(step, record);
      End(std::move(record));
    }
    Stop();
  }

 private:
  // ---- the stack -----------------------------------------------------------------

  // Loads the driver, plugs the reader in and opens the application's handle.
  bool Start() {
    result_.hardware = HardwareTime::Start();
    bench_ = std::make_unique<ccid_test::ReaderBench>(options_.reader, ccid_test::BenchOptions{});
    result_.pcapDecodeAs = bench_->Bus().CcidDecodeAs();
    if (bench_->Driver() == nullptr) {
      result_.startStatus = bench_->EntryStatus();
      return false;
    }
    result_.startStatus = bench_->Plug();
    if (result_.startStatus != STATUS_SUCCESS) {
      WriteTrace();
      return false;
    }
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    reader_ = scard::Reader::Open(bench_->Pdo(), &status);
    if (reader_ == nullptr) {
      StepRecord open = Begin(0, "open the reader");
      Fail(open, status, "the driver refused the handle");
      End(std::move(open));
      WriteTrace();
      return false;
    }
    return true;
  }

  void Stop() {
    if (Asleep()) {  // the reader leaves a working system
      const NTSTATUS woken = SetSystem(PowerSystemWorking);
      if (!NT_SUCCESS(woken)) result_.benchNotes.push_back("the return to S0 at the end failed: " + StatusName(woken));
    }
    const NTSTATUS closed = reader_->Close();
    if (!NT_SUCCESS(closed)) result_.benchNotes.push_back("closing the reader's handle failed: " + StatusName(closed));
    reader_.reset();
    WriteTrace();
    result_.hardware.Stop(bench_->Bus(), bench_->Reader());
    result_.leakedBlocks += bench_->Finish();
  }

  void WriteTrace() {
    if (options_.pcapPath.empty()) return;
    std::string error;
    if (!bench_->Bus().WritePcap(options_.pcapPath, hosted::usb::PcapContent::Messages, &error, options_.pcapFormat))
      result_.pcapError = error.empty() ? "cannot write " + options_.pcapPath : error;
  }

  StepRecord Begin(int line, std::string text) {
    bench_->ClearMessages();
    StepRecord record;
    record.line = line;
    record.text = std::move(text);
    return record;
  }

  void End(StepRecord record) {
    for (const hosted::usb::MessageEvent& event : bench_->Messages()) {
      const WireMessage message = DecodeWireMessage(event);
      record.wire.push_back((message.direction == WireDirection::ToReader ? "> " : "< ") + message.text);
    }
    if (bench_->Fdo() != nullptr)
      record.power = PowerRecord{SystemStateName(hosted::PowerManager::SystemState(bench_->Pdo())),
                                 DeviceStateName(bench_->Bus().DevicePowerState()), bench_->Bus().WaitWakePending()};
    result_.steps.push_back(std::move(record));
    if (options_.onStep) options_.onStep(result_.steps.back());
  }

  static void Fail(StepRecord& record, NTSTATUS status, const std::string& what) {
    record.status = status;
    record.failed = true;
    record.failure = what + " (" + StatusName(status) + ")";
    record.exchange.push_back("< " + record.failure);
  }

  static void Answer(StepRecord& record, std::span<const std::uint8_t> bytes) {
    record.answered = true;
    record.answer.assign(bytes.begin(), bytes.end());
  }

  static void Judge(const ScriptStep& step, StepRecord& record) {
    if (step.expect) {
      record.expected = step.expect->Text();
      record.held = record.answered && step.expect->Matches(record.answer);
    }
  }

  // ---- steps ---------------------------------------------------------------------

  void Execute(const ScriptStep& step, StepRecord& record) {
    switch (step.action) {
      case ScriptAction::Apdu: Transmit(step, record); break;
      case ScriptAction::Reset: Reset(step.reset, record); break;
      case ScriptAction::Insert: Insert(record, step.card.empty() ? options_.card : step.card); break;
      case ScriptAction::Remove: Remove(record); break;
      case ScriptAction::PowerDown: PowerDown(record); break;
      case ScriptAction::Protocol: Protocol(step.protocols, record); break;
      case ScriptAction::State: State(step, record); break;
      case ScriptAction::Attribute: Attribute(step.attribute, record); break;
      case ScriptAction::ClassDescriptor: ClassDescriptor(record); break;
      case ScriptAction::Clocks: ClassList(record, IOCTL_CCID_GET_CLOCK_FREQUENCIES, " kHz"); break;
      case ScriptAction::DataRates: ClassList(record, IOCTL_CCID_GET_DATA_RATES, " bps"); break;
      case ScriptAction::Transfer: Transfer(step.data, record); break;
      case ScriptAction::ReadEvent: ReadEvent(record); break;
      case ScriptAction::Abort: Abort(record); break;
      case ScriptAction::Keypad: Keypad(step.keys, record); break;
      case ScriptAction::VerifyPin: Pin(IOCTL_FEATURE_VERIFY_PIN_DIRECT, step.data, record); break;
      case ScriptAction::ModifyPin: Pin(IOCTL_FEATURE_MODIFY_PIN_DIRECT, step.data, record); break;
      case ScriptAction::Features: Features(record); break;
      case ScriptAction::Properties: Properties(record); break;
      case ScriptAction::Escape: Escape(step.data, record); break;
      case ScriptAction::Sleep:
        Sleep(step.sleepState == 4 ? PowerSystemHibernate : PowerSystemSleeping3, record);
        break;
      case ScriptAction::Wake: Wake(record); break;
      case ScriptAction::WakeByCard: WakeByCard(record, step.card.empty() ? options_.card : step.card); break;
      case ScriptAction::Exit: break;
    }
  }

  void Transmit(const ScriptStep& step, StepRecord& record) {
    if (!Connected(record)) return;
    AddBytes(record.exchange, "> ", step.data);
    const scard::Response response = reader_->Transmit(step.data, kAnswerRoom);
    record.status = response.status;
    if (!NT_SUCCESS(response.status)) return Fail(record, response.status, "the transmit failed");
    Answer(record, response.data);
    const std::string meaning =
        response.data.size() < 2 ? " : no status word" : " : " + iso7816::StatusWordMeaning(response.StatusWord());
    AddBytes(record.exchange, "< ", response.data, meaning);
  }

  // An APDU goes to a card with a protocol selected: a card not yet connected is reset if
  // unpowered and given the script's protocols first, as SCardConnect does. With no card
  // the transmit goes to the driver as it is, for the driver to refuse.
  bool Connected(StepRecord& record) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    const ULONG state = reader_->State(&status);
    if (!NT_SUCCESS(status)) {
      Fail(record, status, "the card state could not be read");
      return false;
    }
    if (state <= SCARD_ABSENT || (state == SCARD_SPECIFIC && reader_->ActiveProtocol() != 0)) return true;
    record.exchange.push_back(std::string("> connect: ") + (state < SCARD_NEGOTIABLE ? "cold reset, " : "") +
                              (state == SCARD_SPECIFIC ? "warm reset, " : "") + "set protocol " +
                              ProtocolWords(protocols_));
    if (state == SCARD_SPECIFIC) {
      status = reader_->Power(SCARD_WARM_RESET);
    } else if (state < SCARD_NEGOTIABLE) {
      status = reader_->Power(SCARD_COLD_RESET);
    }
    ULONG active = 0;
    if (NT_SUCCESS(status)) status = reader_->Reconnect(protocols_, scard::Disposition::Leave, &active);
    if (!NT_SUCCESS(status)) {
      Fail(record, status, "connecting to the card failed");
      return false;
    }
    const scard::Bytes atr = reader_->Attribute(SCARD_ATTR_ATR_STRING);
    AddBytes(record.exchange, "< ATR ", atr, ", " + ProtocolWords(active));
    return true;
  }

  // scriptor's reset: the card is reset (cold when asked or when it is not powered) and
  // the script's protocols are selected again. The answer is the ATR.
  void Reset(ResetKind kind, StepRecord& record) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    const ULONG state = reader_->State(&status);
    if (!NT_SUCCESS(status)) return Fail(record, status, "the card state could not be read");
    const bool cold = kind == ResetKind::Cold || state < SCARD_POWERED;
    record.exchange.push_back(cold ? "> cold reset" : "> warm reset");
    scard::Bytes atr;
    status = reader_->Power(cold ? SCARD_COLD_RESET : SCARD_WARM_RESET, &atr);
    if (!NT_SUCCESS(status)) return Fail(record, status, "the reset failed");
    Answer(record, atr);
    AddBytes(record.exchange, "< ATR ", atr);
    SelectProtocol(record);
  }

  void SelectProtocol(StepRecord& record) {
    record.exchange.push_back("> set protocol " + ProtocolWords(protocols_));
    ULONG active = 0;
    const NTSTATUS status = reader_->Reconnect(protocols_, scard::Disposition::Leave, &active);
    record.status = status;
    if (!NT_SUCCESS(status)) return Fail(record, status, "no protocol selected");
    record.exchange.push_back("< " + ProtocolWords(active));
  }

  void PowerDown(StepRecord& record) {
    record.exchange.push_back("> power down");
    const NTSTATUS status = reader_->Power(SCARD_POWER_DOWN);
    record.status = status;
    if (!NT_SUCCESS(status)) return Fail(record, status, "the power-down failed");
    record.exchange.push_back("< card unpowered");
  }

  // The protocols offered from now on; a card in the slot is reset and given them now, as
  // SCardReconnect does.
  void Protocol(ULONG protocols, StepRecord& record) {
    protocols_ = protocols;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    const ULONG state = reader_->State(&status);
    if (!NT_SUCCESS(status)) return Fail(record, status, "the card state could not be read");
    if (state <= SCARD_ABSENT) {
      record.exchange.push_back("  no card: " + ProtocolWords(protocols) + " is offered to the next one");
      return;
    }
    if (state == SCARD_SPECIFIC || state < SCARD_NEGOTIABLE) {
      const bool cold = state < SCARD_NEGOTIABLE;
      record.exchange.push_back(cold ? "> cold reset" : "> warm reset");
      scard::Bytes atr;
      status = reader_->Power(cold ? SCARD_COLD_RESET : SCARD_WARM_RESET, &atr);
      if (!NT_SUCCESS(status)) return Fail(record, status, "the reset failed");
      AddBytes(record.exchange, "< ATR ", atr);
    }
    SelectProtocol(record);
  }

  void State(const ScriptStep& step, StepRecord& record) {
    record.exchange.push_back("> IOCTL_SMARTCARD_GET_STATE");
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    const ULONG state = reader_->State(&status);
    record.status = status;
    if (!NT_SUCCESS(status)) return Fail(record, status, "the card state could not be read");
    record.exchange.push_back("< " + CardStateName(state));
    Answer(record, std::span(reinterpret_cast<const std::uint8_t*>(&state), sizeof(state)));
    if (step.expectedState) {
      record.expected = CardStateName(*step.expectedState);
      record.held = state == *step.expectedState;
    }
  }

  void Attribute(std::uint32_t tag, StepRecord& record) {
    record.exchange.push_back("> IOCTL_SMARTCARD_GET_ATTRIBUTE " + AttributeName(tag));
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    const scard::Bytes value = reader_->Attribute(tag, &status, kAttributeRoom);
    record.status = status;
    if (!NT_SUCCESS(status)) return Fail(record, status, "the attribute could not be read");
    Answer(record, value);
    const AttributeFormat format = AttributeFormatOf(tag);
    if (format == AttributeFormat::Number && value.size() == sizeof(ULONG)) {
      const ULONG number = Ulongs(value).front();
      record.exchange.push_back("< " + std::to_string(number) + " (" + Hex32(number) + ")");
    } else if (format == AttributeFormat::Text) {
      std::string text(value.begin(), value.end());
      while (!text.empty() && text.back() == '\0') text.pop_back();
      record.exchange.push_back("< \"" + text + "\"");
    } else {
      AddBytes(record.exchange, "< ", value);
    }
  }

  // One of the driver's own control codes, named on the exchange; its output is the
  // step's answer.
  bool Query(StepRecord& record, ULONG code, std::span<const std::uint8_t> input, ULONG room, const std::string& name) {
    if (!name.empty()) record.exchange.push_back("> " + name);
    const hosted::UserIoResult result = reader_->Control(code, input, room);
    record.status = result.status;
    if (!NT_SUCCESS(result.status)) {
      Fail(record, result.status, "the driver failed the request");
      return false;
    }
    Answer(record, std::span(result.output).first(std::min<std::size_t>(result.information, result.output.size())));
    return true;
  }

  void ClassDescriptor(StepRecord& record) {
    if (Query(record, IOCTL_CCID_GET_CLASS_DESCRIPTOR, {}, kClassDescriptorSize, "IOCTL_CCID_GET_CLASS_DESCRIPTOR"))
      AddBytes(record.exchange, "< ", record.answer);
  }

  void ClassList(StepRecord& record, ULONG code, const std::string& unit) {
    if (!Query(record, code, {}, kClassQueryRoom, code == IOCTL_CCID_GET_CLOCK_FREQUENCIES
                                                      ? "IOCTL_CCID_GET_CLOCK_FREQUENCIES"
                                                      : "IOCTL_CCID_GET_DATA_RATES"))
      return;
    std::string values;
    for (const ULONG value : Ulongs(record.answer)) values += (values.empty() ? "" : ", ") + std::to_string(value);
    record.exchange.push_back("< " + (values.empty() ? std::string("none") : values + unit));
  }

  void Transfer(const Bytes& message, StepRecord& record) {
    AddBytes(record.exchange, "> ", message);
    if (!Query(record, IOCTL_CCID_TRANSFER, message, kTransferRoom, {})) return;
    AddBytes(record.exchange, "< ", record.answer, " (" + ResponseWords(record.answer) + ")");
  }

  // The next interrupt-pipe message; a read nothing answers within the patience is
  // cancelled, as an application gives up on it.
  void ReadEvent(StepRecord& record) {
    record.exchange.push_back("> IOCTL_CCID_READ_EVENT");
    const std::shared_ptr<hosted::UserRequest> request = reader_->ControlAsync(IOCTL_CCID_READ_EVENT, {}, kEventRoom);
    if (!WaitFor(*request)) {
      if (!CancelAndWait(*request))
        return Fail(record, STATUS_PENDING, "the driver kept the cancelled event read");
      const hosted::UserIoResult result = request->Result();
      record.status = result.status;
      record.exchange.push_back("< no event within " + std::to_string(kPatience.count()) + " s; read cancelled (" +
                                StatusName(result.status) + ")");
      return;
    }
    const hosted::UserIoResult result = request->Result();
    record.status = result.status;
    if (!NT_SUCCESS(result.status)) return Fail(record, result.status, "the event read failed");
    Answer(record, std::span(result.output).first(std::min<std::size_t>(result.information, result.output.size())));
    AddBytes(record.exchange, "< ", record.answer, " (" + EventWords(record.answer) + ")");
  }

  void Abort(StepRecord& record) {
    const std::uint8_t slot[] = {0};
    if (Query(record, IOCTL_CCID_ABORT, slot, 0, "IOCTL_CCID_ABORT slot 0")) record.exchange.push_back("< aborted");
  }

  // ---- the reader's features (PC/SC part 10) ----------------------------------------

  void Keypad(const std::string& keys, StepRecord& record) {
    bench_->Reader().TypeKeys(keys);
    record.exchange.push_back("keypad: the user types " + keys);
  }

  // A PIN request: the reader takes the PIN from its keypad (typed by earlier `keypad`
  // steps), puts it into the APDU and answers with the card's answer. What the reader's
  // display showed meanwhile goes on the exchange.
  void Pin(ULONG code, const Bytes& structure, StepRecord& record) {
    if (!Connected(record)) return;
    const std::size_t shown = bench_->Reader().LcdMessages().size();
    AddBytes(record.exchange, code == IOCTL_FEATURE_VERIFY_PIN_DIRECT ? "> IOCTL_FEATURE_VERIFY_PIN_DIRECT "
                                                                      : "> IOCTL_FEATURE_MODIFY_PIN_DIRECT ",
             structure);
    const std::int64_t start = hosted::Clock::Now();
    const hosted::UserIoResult result = reader_->Control(code, structure, kAnswerRoom);
    const std::vector<std::string> lcd = bench_->Reader().LcdMessages();
    for (std::size_t i = shown; i < lcd.size(); ++i) record.exchange.push_back("display: " + lcd[i]);
    char took[48];
    std::snprintf(took, sizeof(took), "PIN entry took %.1f s",
                  static_cast<double>(hosted::Clock::Now() - start) / hosted::Clock::kTicksPerSecond);
    record.exchange.push_back(took);
    record.status = result.status;
    if (!NT_SUCCESS(result.status)) return Fail(record, result.status, "the PIN request failed");
    Answer(record, std::span(result.output).first(std::min<std::size_t>(result.information, result.output.size())));
    const std::string meaning =
        record.answer.size() >= 2
            ? " : " + iso7816::StatusWordMeaning(static_cast<std::uint16_t>(record.answer[record.answer.size() - 2] << 8 |
                                                                            record.answer.back()))
            : std::string();
    AddBytes(record.exchange, "< ", record.answer, meaning);
  }

  void Features(StepRecord& record) {
    if (!Query(record, CM_IOCTL_GET_FEATURE_REQUEST, {}, kFeatureRoom, "CM_IOCTL_GET_FEATURE_REQUEST")) return;
    for (const std::string& line : DescribeFeatures(record.answer)) record.exchange.push_back("< " + line);
  }

  // The PIN-pad properties, then the TLV properties (the step's answer).
  void Properties(StepRecord& record) {
    if (!Query(record, IOCTL_FEATURE_IFD_PIN_PROPERTIES, {}, kFeatureRoom, "IOCTL_FEATURE_IFD_PIN_PROPERTIES")) return;
    record.exchange.push_back("< " + DescribePinProperties(record.answer));
    if (!Query(record, IOCTL_FEATURE_GET_TLV_PROPERTIES, {}, kFeatureRoom, "IOCTL_FEATURE_GET_TLV_PROPERTIES")) return;
    for (const std::string& line : DescribeTlvProperties(record.answer)) record.exchange.push_back("< " + line);
  }

  void Escape(const Bytes& command, StepRecord& record) {
    AddBytes(record.exchange, "> IOCTL_FEATURE_CCID_ESC_COMMAND ", command);
    if (!Query(record, IOCTL_FEATURE_CCID_ESC_COMMAND, command, kAnswerRoom, {})) return;
    std::string text(record.answer.begin(), record.answer.end());
    const bool printable = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
    AddBytes(record.exchange, "< ", record.answer, printable ? " \"" + text + "\"" : "");
  }

  // ---- system power --------------------------------------------------------------

  static std::string SystemStateName(SYSTEM_POWER_STATE state) {
    return "S" + std::to_string(static_cast<int>(state) - static_cast<int>(PowerSystemWorking));
  }
  static std::string DeviceStateName(DEVICE_POWER_STATE state) {
    return "D" + std::to_string(static_cast<int>(state) - static_cast<int>(PowerDeviceD0));
  }

  bool Asleep() const {
    return bench_ != nullptr && bench_->Fdo() != nullptr &&
           hosted::PowerManager::SystemState(bench_->Pdo()) != PowerSystemWorking;
  }

  // A system transition through the power manager, waited for until the device requests
  // it caused and the driver's work items are done.
  NTSTATUS SetSystem(SYSTEM_POWER_STATE state) {
    const NTSTATUS status = hosted::PowerManager::SetSystemPower(bench_->Pdo(), state);
    hosted::PowerManager::WaitIdle();
    hosted::DrainWorkQueue();
    return status;
  }

  // The system goes to sleep: the driver is asked first (it may arm a wait-wake then), then
  // the reader goes to the device state the system state maps to.
  void Sleep(SYSTEM_POWER_STATE state, StepRecord& record) {
    if (Asleep()) return Fail(record, STATUS_INVALID_DEVICE_STATE, "the system is already asleep");
    record.exchange.push_back("> system to " + SystemStateName(state));
    const NTSTATUS status = SetSystem(state);
    record.status = status;
    if (!NT_SUCCESS(status)) return Fail(record, status, "the system stayed in S0");
    record.exchange.push_back("< " + StatusName(status) + ", reader in " +
                              DeviceStateName(bench_->Bus().DevicePowerState()) + ", " +
                              (bench_->Bus().WaitWakePending() ? "wait-wake armed (the reader may wake the system)"
                                                               : "no wait-wake armed"));
  }

  void Wake(StepRecord& record) {
    if (!Asleep()) return Fail(record, STATUS_INVALID_DEVICE_STATE, "the system is not asleep");
    ToWorking(record);
  }

  // While asleep a card goes in: the reader signals remote wake, which completes the
  // wait-wake, and the system returns to S0.
  void WakeByCard(StepRecord& record, const std::string& card) {
    if (!Asleep()) return Fail(record, STATUS_INVALID_DEVICE_STATE, "the system is not asleep");
    if (cardIn_) return Fail(record, STATUS_UNSUCCESSFUL, "a card is already in the slot");
    if (!bench_->Bus().WaitWakePending())
      return Fail(record, STATUS_INVALID_DEVICE_STATE, "no wait-wake armed: the reader cannot wake the system");
    MoveWhileAsleep(record, card);
    if (bench_->Bus().WaitWakePending()) return Fail(record, STATUS_IO_TIMEOUT, "the reader did not wake the system");
    ToWorking(record);
  }

  // Back to S0: the reader returns to D0, a wait-wake still armed is cancelled, and the
  // driver restarts the reader; the step ends when the reader's slot report is through.
  void ToWorking(StepRecord& record) {
    const bool armed = bench_->Bus().WaitWakePending();
    record.exchange.push_back("> system to S0");
    const NTSTATUS status = SetSystem(PowerSystemWorking);
    record.status = status;
    if (!NT_SUCCESS(status)) return Fail(record, status, "the return to S0 failed");
    bench_->WaitInterruptIdle();
    std::string outcome =
        "< " + StatusName(status) + ", reader in " + DeviceStateName(bench_->Bus().DevicePowerState());
    if (armed) outcome += bench_->Bus().WaitWakePending() ? ", wait-wake still armed" : ", wait-wake cancelled";
    NTSTATUS read = STATUS_UNSUCCESSFUL;
    const ULONG state = reader_->State(&read);
    record.exchange.push_back(outcome + ", card " + (NT_SUCCESS(read) ? CardStateName(state) : StatusName(read)));
  }

  // ---- the card ------------------------------------------------------------------

  // The card goes in while the application waits for it (IOCTL_SMARTCARD_IS_PRESENT): the
  // step ends when the driver has seen it.
  void Insert(StepRecord& record, const std::string& card) {
    if (cardIn_) return Fail(record, STATUS_UNSUCCESSFUL, "a card is already in the slot");
    if (Asleep()) return MoveWhileAsleep(record, card);
    record.exchange.push_back("> insert card " + card + ", IOCTL_SMARTCARD_IS_PRESENT waiting");
    const std::shared_ptr<hosted::UserRequest> request = reader_->WaitForCard(true);
    bench_->InsertCard(card);
    cardIn_ = true;
    Tracked(*request, record, "the driver did not see the card");
  }

  void Remove(StepRecord& record) {
    if (!cardIn_) return Fail(record, STATUS_UNSUCCESSFUL, "no card in the slot");
    if (Asleep()) return MoveWhileAsleep(record, {});
    record.exchange.push_back("> remove the card, IOCTL_SMARTCARD_IS_ABSENT waiting");
    const std::shared_ptr<hosted::UserRequest> request = reader_->WaitForCard(false);
    bench_->RemoveCard();
    cardIn_ = false;
    Tracked(*request, record, "the driver did not see the card go");
  }

  // While the system sleeps the driver takes no request: the card goes in (`card`) or out
  // (empty) unseen, and the reader reports its slot when the system is back. A reader
  // armed for remote wake signals it, which completes the wait-wake; the system stays
  // asleep until a `wake` step.
  void MoveWhileAsleep(StepRecord& record, const std::string& card) {
    const bool armed = bench_->Bus().WaitWakePending();
    record.exchange.push_back(card.empty() ? "> remove the card while asleep"
                                           : "> insert card " + card + " while asleep");
    if (card.empty()) {
      bench_->RemoveCard();
    } else {
      bench_->InsertCard(card);
    }
    cardIn_ = !card.empty();
    if (armed && ccid_test::WaitUntil([this] { return !bench_->Bus().WaitWakePending(); })) {
      hosted::PowerManager::WaitIdle();
      record.exchange.push_back("< remote wake signalled: wait-wake completed");
    } else {
      record.exchange.push_back("< the driver sees it when the system is back");
    }
  }

  void Tracked(hosted::UserRequest& request, StepRecord& record, const std::string& missed) {
    if (!WaitFor(request)) {
      if (CancelAndWait(request)) (void)request.Result();
      return Fail(record, STATUS_IO_TIMEOUT, missed + " within " + std::to_string(kPatience.count()) + " s");
    }
    const hosted::UserIoResult result = request.Result();
    record.status = result.status;
    if (!NT_SUCCESS(result.status)) return Fail(record, result.status, missed);
    bench_->WaitInterruptIdle();
    record.exchange.push_back("< completed (" + StatusName(result.status) + "), card " + CardStateName(reader_->State()));
  }

  // CancelIoEx, and the wait for the request to come back; false when the driver keeps it
  // (the close then reports it pending).
  static bool CancelAndWait(hosted::UserRequest& request) {
    request.Cancel();
    return WaitFor(request);
  }

  static bool WaitFor(hosted::UserRequest& request) {
    return hosted::Scheduler::RunUntil([&request] { return request.Done(); }, kPatience);
  }

  const ScriptRunOptions& options_;
  ScriptRunResult& result_;
  ccid_test::BenchFailureHandler previousHandler_;
  std::unique_ptr<ccid_test::ReaderBench> bench_;
  std::unique_ptr<scard::Reader> reader_;
  ULONG protocols_ = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
  bool cardIn_ = false;
};

}  // namespace

std::size_t ScriptRunResult::Failures() const {
  std::size_t failures = 0;
  for (const StepRecord& step : steps)
    if (step.failed || step.held == false) ++failures;
  return failures;
}

ScriptRunResult RunParsedScript(const Script& script, const ScriptRunOptions& options) {
  ScriptRunResult result;
  {
    VirtualTimeScope time;
    VerifierWatch watch(result.violations);
    const hosted::KernelSnapshot snapshot = hosted::TakeSnapshot();
    {
      ScriptRunner runner(options, result);
      runner.Run(script);
    }
    result.leakedBlocks += hosted::CheckForLeaks(snapshot, "at the end of the script");
  }
  return result;
}

}  // namespace ccidsim

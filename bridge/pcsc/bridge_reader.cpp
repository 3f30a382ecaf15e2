// The bridge's reader: the bench on the bridge's hosted thread, and the translation of
// each reader-driver request into the smart-card request an application would send.
#include "bridge_reader.h"

#include <wdm.h>
#include <winsmcrd.h>

#include <hosted/kernel/hosted.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#include "CcidFeatures.h"
#include "bench.h"
#include "card/card.h"
#include "control_codes.h"
#include "control_server.h"
#include "quiet_thread.h"
#include "reader_source.h"
#include "scard.h"

namespace pcsc_bridge {
namespace {

constexpr char kTag[] = "ccid-pcsc-bridge: ";
constexpr ULONG kAtrRoom = 64;
constexpr ULONG kFeatureRoom = 256;
// A card event the driver does not report within this much kernel time is a fault.
constexpr std::chrono::seconds kCardEventPatience{30};

Outcome OutcomeOf(NTSTATUS status) {
  if (NT_SUCCESS(status)) return Outcome::Success;
  switch (status) {
    case STATUS_NO_MEDIA:
      return Outcome::NoCard;
    case STATUS_IO_TIMEOUT:
      return Outcome::Timeout;
    case STATUS_NO_SUCH_DEVICE:
    case STATUS_DEVICE_REMOVED:
    case STATUS_DELETE_PENDING:
    case STATUS_DEVICE_NOT_CONNECTED:
      return Outcome::Gone;
    case STATUS_BUFFER_TOO_SMALL:
      return Outcome::BufferTooSmall;
    case STATUS_NOT_SUPPORTED:
    case STATUS_INVALID_DEVICE_REQUEST:
      return Outcome::Unsupported;
    default:
      return Outcome::Failed;
  }
}

std::string Hex(NTSTATUS status) {
  std::ostringstream text;
  text << "0x" << std::hex << static_cast<std::uint32_t>(status);
  return text.str();
}

Bytes Output(const hosted::UserIoResult& result) {
  const std::size_t length = std::min<std::size_t>(result.information, result.output.size());
  return Bytes(result.output.begin(), result.output.begin() + static_cast<long>(length));
}

}  // namespace

// The next field starts at a ':' followed by a field name; other colons belong to the
// value (atr:3B..., a reader file's path).
std::size_t NextField(std::string_view text) {
  for (std::size_t at = text.find(':'); at != std::string_view::npos; at = text.find(':', at + 1)) {
    const std::string_view rest = text.substr(at + 1);
    if (rest.starts_with("reader=") || rest.starts_with("card=") || rest.starts_with("control=")) return at;
  }
  return std::string_view::npos;
}

std::optional<DeviceName> ParseDeviceName(std::string_view text, std::string* error) {
  DeviceName name;
  name.card = "none";
  while (!text.empty()) {
    const std::size_t end = NextField(text);
    const std::string_view field = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    const std::size_t equals = field.find('=');
    const std::string_view key = field.substr(0, equals);
    const std::string value(equals == std::string_view::npos ? std::string_view{} : field.substr(equals + 1));
    if (key == "reader") {
      name.reader = value;
    } else if (key == "card") {
      name.card = value;
    } else if (key == "control") {
      name.control = value;
    } else {
      *error = "unknown field \"" + std::string(field) + "\" (reader=PROFILE:card=CARD:control=SOCKET)";
      return std::nullopt;
    }
  }
  if (name.reader.empty()) {
    *error = "no reader named (reader=PROFILE:card=CARD:control=SOCKET)";
    return std::nullopt;
  }
  if (name.card != "none" && !sim::FindCardProfile(name.card)) {
    *error = "unknown card \"" + name.card + "\" (a card profile name, atr:<hex> or none)";
    return std::nullopt;
  }
  return name;
}

class BridgeReader::Impl {
 public:
  Impl() { worker_ = QuietThread([this] { Work(); }); }

  ~Impl() {
    control_.reset();  // no commands from now on
    Run([this] { Stop(); });
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    worker_.join();
  }

  // Runs `job` on the hosted thread and waits for it (outside the kernel).
  void Run(const std::function<void()>& job) {
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      jobs_.emplace_back([&job, &done] {
        job();
        done.set_value();
      });
    }
    wake_.notify_all();
    finished.wait();
  }

  // On the hosted thread: the stack, the handle, the card, the feature codes.
  bool Start(const DeviceName& name, std::string* error) {
    hosted::Clock::SetVirtual(hosted::Clock::TimeAdvance::Automatic);
    previousVerifier_ = hosted::Verifier::SetHandler([this](const hosted::Violation& violation) {
      std::cerr << kTag << violation.ToString() << std::endl;
      std::lock_guard<std::mutex> lock(mutex_);
      ++violations_;
    });
    previousBench_ = ccid_test::SetBenchFailureHandler([this](const std::string& message) {
      std::cerr << kTag << "bench: " << message << std::endl;
      std::lock_guard<std::mutex> lock(mutex_);
      ++violations_;
    });
    std::optional<sim::ReaderProfile> profile = ccidsim::ResolveReader(name.reader, {}, error);
    if (!profile) return false;
    bench_ = std::make_unique<ccid_test::ReaderBench>(std::move(*profile), ccid_test::BenchOptions{});
    if (bench_->Driver() == nullptr) {
      *error = "the driver did not load (DriverEntry " + Hex(bench_->EntryStatus()) + ")";
      return false;
    }
    const NTSTATUS plugged = bench_->Plug();
    if (plugged != STATUS_SUCCESS) {
      *error = "the driver did not start the reader (" + Hex(plugged) + ")";
      return false;
    }
    NTSTATUS opened = STATUS_UNSUCCESSFUL;
    reader_ = bench_->Open(&opened);
    if (reader_ == nullptr) {
      *error = "the driver refused the handle (" + Hex(opened) + ")";
      return false;
    }
    if (name.card != "none") {
      const std::string inserted = Insert(name.card);
      if (inserted != "ok") {
        *error = inserted;
        return false;
      }
    }
    Bytes features;
    Control(CM_IOCTL_GET_FEATURE_REQUEST, {}, kFeatureRoom, &features);
    codes_.TranslateFeatureList(features);
    return true;
  }

  // On the hosted thread: the handle closed, the stack down, the verdict on stderr.
  void Stop() {
    if (bench_ == nullptr) return;
    if (reader_ != nullptr) {
      const NTSTATUS closed = reader_->Close();
      if (!NT_SUCCESS(closed)) std::cerr << kTag << "closing the handle failed (" << Hex(closed) << ")\n";
      reader_.reset();
    }
    const std::size_t leaked = bench_->Finish();
    bench_.reset();
    std::size_t violations;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      violations = violations_;
    }
    std::cerr << kTag << "verdict: "
              << (violations == 0 && leaked == 0 ? std::string("clean: no violations, no pool block left behind")
                                                 : std::to_string(violations) + " violation(s), " +
                                                       std::to_string(leaked) + " pool block(s) left behind")
              << std::endl;
    ccid_test::SetBenchFailureHandler(previousBench_);
    hosted::Verifier::SetHandler(previousVerifier_);
  }

  // ---- requests (on the hosted thread) ------------------------------------------------

  NTSTATUS Control(ULONG code, const Bytes& input, std::size_t room, Bytes* output) {
    const hosted::UserIoResult result = reader_->Control(code, input, static_cast<ULONG>(room));
    if (output != nullptr) *output = NT_SUCCESS(result.status) ? Output(result) : Bytes{};
    return result.status;
  }

  Outcome Power(PowerAction action, Bytes* atr) {
    const ULONG minor = action == PowerAction::Up     ? SCARD_COLD_RESET
                        : action == PowerAction::Reset ? SCARD_WARM_RESET
                                                       : SCARD_POWER_DOWN;
    Bytes answer;
    const NTSTATUS status = reader_->Power(minor, &answer);
    atr_ = NT_SUCCESS(status) && action != PowerAction::Down ? answer : Bytes{};
    if (atr != nullptr) *atr = atr_;
    return OutcomeOf(status);
  }

  Outcome Transmit(std::uint32_t protocol, const Bytes& apdu, std::size_t room, Bytes* answer) {
    SCARD_IO_REQUEST pci{protocol, sizeof(SCARD_IO_REQUEST)};
    Bytes input(sizeof(pci));
    std::memcpy(input.data(), &pci, sizeof(pci));
    input.insert(input.end(), apdu.begin(), apdu.end());
    Bytes output;
    const NTSTATUS status = Control(IOCTL_SMARTCARD_TRANSMIT, input, sizeof(pci) + room, &output);
    answer->clear();
    if (NT_SUCCESS(status) && output.size() >= sizeof(pci)) answer->assign(output.begin() + sizeof(pci), output.end());
    return OutcomeOf(status);
  }

  Outcome Presence() {
    NTSTATUS status = STATUS_SUCCESS;
    const ULONG state = reader_->State(&status);
    if (!NT_SUCCESS(status)) return OutcomeOf(status);
    return state >= SCARD_PRESENT ? Outcome::Success : Outcome::NoCard;
  }

  // ---- the control socket's commands (on the hosted thread) ---------------------------

  // The card goes in while an IOCTL_SMARTCARD_IS_PRESENT waits: done when the driver saw it.
  std::string Insert(const std::string& card) {
    if (bench_->Reader().CardPresent()) return "error: a card is already in the slot";
    std::unique_ptr<sim::Icc> icc = sim::MakeCard(card);
    if (icc == nullptr) return "error: unknown card \"" + card + "\"";
    const std::shared_ptr<hosted::UserRequest> request = reader_->WaitForCard(true);
    bench_->Reader().InsertCard(std::move(icc));
    return Seen(*request, "insertion");
  }

  std::string Remove() {
    if (!bench_->Reader().CardPresent()) return "error: no card in the slot";
    const std::shared_ptr<hosted::UserRequest> request = reader_->WaitForCard(false);
    bench_->Reader().RemoveCard();
    atr_.clear();
    return Seen(*request, "removal");
  }

  std::string Seen(hosted::UserRequest& request, const char* what) {
    if (!request.Wait(kCardEventPatience)) {
      request.Cancel();
      request.Wait();
      request.Result();
      return std::string("error: the driver did not report the card's ") + what;
    }
    const NTSTATUS status = request.Result().status;
    return NT_SUCCESS(status) ? "ok" : std::string("error: the card wait failed (") + Hex(status) + ")";
  }

  std::string Command(const std::string& line) {
    std::istringstream words(line);
    std::string verb, argument;
    words >> verb >> argument;
    if (verb == "insert" && !argument.empty()) return Insert(argument);
    if (verb == "remove") return Remove();
    if (verb == "keys" && !argument.empty()) {
      bench_->Reader().TypeKeys(argument);
      return "ok";
    }
    if (verb == "state") return bench_->Reader().CardPresent() ? "ok: card present" : "ok: no card";
    return "error: commands are insert CARD, remove, keys KEYS, state";
  }

  std::unique_ptr<ccid_test::ReaderBench> bench_;
  std::unique_ptr<scard::Reader> reader_;
  ControlCodeMap codes_;
  Bytes atr_;
  std::unique_ptr<ControlServer> control_;

 private:
  void Work() {
    hosted::Scheduler::NameCurrentThread("PC/SC bridge");
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      job();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  bool stopping_ = false;
  std::size_t violations_ = 0;
  hosted::Verifier::Handler previousVerifier_;
  ccid_test::BenchFailureHandler previousBench_;
  std::thread worker_;
};

BridgeReader::BridgeReader(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

BridgeReader::~BridgeReader() = default;

std::unique_ptr<BridgeReader> BridgeReader::Open(const DeviceName& name, std::string* error) {
  auto impl = std::make_unique<Impl>();
  bool started = false;
  impl->Run([&] { started = impl->Start(name, error); });
  if (!started) return nullptr;
  if (!name.control.empty()) {
    Impl* self = impl.get();
    impl->control_ = ControlServer::Listen(name.control, [self](const std::string& line) {
      std::string reply;
      self->Run([&] { reply = self->Command(line); });
      return reply;
    }, error);
    if (impl->control_ == nullptr) return nullptr;
  }
  return std::unique_ptr<BridgeReader>(new BridgeReader(std::move(impl)));
}

Outcome BridgeReader::Power(PowerAction action, Bytes* atr) {
  Outcome outcome = Outcome::Failed;
  impl_->Run([&] { outcome = impl_->Power(action, atr); });
  return outcome;
}

Outcome BridgeReader::SetProtocol(std::uint32_t protocol) {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  impl_->Run([&] { status = impl_->reader_->SetProtocol(protocol); });
  return OutcomeOf(status);
}

Outcome BridgeReader::Transmit(std::uint32_t protocol, const Bytes& apdu, std::size_t room, Bytes* answer) {
  Outcome outcome = Outcome::Failed;
  impl_->Run([&] { outcome = impl_->Transmit(protocol, apdu, room, answer); });
  return outcome;
}

Outcome BridgeReader::Presence() {
  Outcome outcome = Outcome::Failed;
  impl_->Run([&] { outcome = impl_->Presence(); });
  return outcome;
}

Outcome BridgeReader::Attribute(std::uint32_t tag, std::size_t room, Bytes* value) {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  impl_->Run([&] {
    Bytes tagBytes(sizeof(ULONG));
    const ULONG tagValue = tag;
    std::memcpy(tagBytes.data(), &tagValue, sizeof(tagValue));
    status = impl_->Control(IOCTL_SMARTCARD_GET_ATTRIBUTE, tagBytes, room, value);
  });
  return OutcomeOf(status);
}

Outcome BridgeReader::Control(std::uint32_t pcscCode, const Bytes& input, std::size_t room, Bytes* output) {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  impl_->Run([&] {
    const std::optional<std::uint32_t> code = impl_->codes_.ToWindows(pcscCode);
    if (!code) {
      status = STATUS_INVALID_DEVICE_REQUEST;
      output->clear();
      return;
    }
    status = impl_->Control(*code, input, room, output);
    if (NT_SUCCESS(status) && *code == CM_IOCTL_GET_FEATURE_REQUEST) impl_->codes_.TranslateFeatureList(*output);
  });
  return OutcomeOf(status);
}

Bytes BridgeReader::Atr() const {
  Bytes atr;
  impl_->Run([&] { atr = impl_->atr_; });
  return atr;
}

}  // namespace pcsc_bridge

// The reader's USB side: control transfers to the chapter 9 machine and the class
// requests, bulk-out packets joined into commands, answers cut into bulk-in packets,
// interrupt messages, faults, unplug and remote wake-up.
#include "reader/ccid_reader.h"

#include <algorithm>
#include <stdexcept>

namespace sim {
namespace {

constexpr std::size_t kInterruptQueueMax = 64;
constexpr std::uint8_t kDefaultBulkPacket = 64;

bool IsTimeExtension(const ccid::Bytes& m) {
  return m.size() >= ccid::kHeaderSize && (m[7] >> 6) == ccid::kTimeExtension;
}

}  // namespace

CcidReader::CcidReader(ReaderProfile profile)
    : profile_(std::move(profile)),
      descriptors_(BuildDescriptors(profile_)),
      bulk_in_(profile_.BulkIn()),
      bulk_out_(profile_.BulkOut()),
      interrupt_in_(profile_.InterruptIn()),
      ep0_(profile_, descriptors_),
      firmware_(profile_, keypad_, [this]() -> std::optional<std::chrono::nanoseconds> {
        if (!HasClock()) return std::nullopt;
        return Now();
      }) {}

std::unique_ptr<CcidReader> CcidReader::FromCatalogue(std::string_view name) {
  auto profile = FindReaderProfile(name);
  if (!profile) throw std::invalid_argument("unknown reader profile '" + std::string(name) + "'");
  return std::make_unique<CcidReader>(std::move(*profile));
}

CcidReader::~CcidReader() = default;

void CcidReader::Fire(const Effects& fx) {
  if (fx.unplug) NotifyUnplug(*fx.unplug);
  for (std::uint8_t ep : fx.ready) NotifyDataReady(ep);
  if (fx.wake) SignalRemoteWake();
}

void CcidReader::Trace(hosted::usb::TransferType type, bool in, std::uint8_t endpoint, const ccid::Bytes& data) {
  if (!observer_) return;
  hosted::usb::MessageEvent e;
  e.index = trace_index_++;
  e.type = type;
  e.in = in;
  e.endpoint = endpoint;
  e.data = data;
  observer_(e);
}

ControlResult CcidReader::Control(const SetupPacket& setup, std::span<std::uint8_t> data) {
  Effects fx;
  ControlResult r;
  {
    std::lock_guard guard(lock_);
    if (unplugged_) return {Handshake::Stall, 0};
    const bool had_output = firmware_.HasOutput();
    const std::uint64_t interrupt_before = stats_.interrupt_messages;
    std::optional<std::size_t> truncate;
    if (auto faulted = ControlFaultBefore(setup, data, truncate)) {
      r = *faulted;
    } else {
      r = ep0_.Handle(setup, data, *this);
      if (truncate && r.handshake == Handshake::Ack) r.length = std::min(r.length, *truncate);
    }
    ++stats_.control_transfers;
    if (r.handshake == Handshake::Stall) ++stats_.control_stalls;
    if (observer_) {
      hosted::usb::MessageEvent e;
      e.index = trace_index_++;
      e.type = hosted::usb::TransferType::Control;
      e.in = setup.DeviceToHost();
      e.endpoint = setup.DeviceToHost() ? 0x80 : 0x00;
      e.setup = setup;
      e.handshake = r.handshake;
      const std::size_t n = setup.DeviceToHost() ? r.length : std::min<std::size_t>(setup.wLength, data.size());
      if (r.handshake == Handshake::Ack) e.data.assign(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n));
      observer_(e);
    }
    if (!had_output && firmware_.HasOutput() && in_packets_.empty() && bulk_in_) fx.ready.push_back(bulk_in_->address);
    if (stats_.interrupt_messages > interrupt_before && interrupt_in_) fx.ready.push_back(interrupt_in_->address);
  }
  Fire(fx);
  return r;
}

// The scripted fault of the first matching control fault, if any: the answer in its
// place, or (for a cut data stage) the length to cut the real answer to.
std::optional<ControlResult> CcidReader::ControlFaultBefore(const SetupPacket& setup, std::span<std::uint8_t> data,
                                                            std::optional<std::size_t>& truncate) {
  auto it = std::find_if(control_faults_.begin(), control_faults_.end(), [&](const ControlFault& f) {
    return f.request == setup.bRequest && (f.value == 0xFFFF || f.value == setup.wValue);
  });
  if (it == control_faults_.end()) return std::nullopt;
  const ControlFault f = *it;
  if (f.times > 0 && --it->times == 0) control_faults_.erase(it);
  fired_.push_back({FaultKind::Control, setup.bRequest, 0});
  switch (f.action) {
    case ControlFault::Action::Stall:
      return ControlResult{Handshake::Stall, 0};
    case ControlFault::Action::Truncate:
      truncate = f.length;
      return std::nullopt;
    case ControlFault::Action::Replace: {
      const std::size_t n = std::min({f.data.size(), static_cast<std::size_t>(setup.wLength), data.size()});
      std::copy_n(f.data.begin(), n, data.begin());
      return ControlResult{Handshake::Ack, n};
    }
  }
  return std::nullopt;
}

ControlResult CcidReader::OtherRequest(const SetupPacket& setup, std::span<std::uint8_t> data) {
  return firmware_.ClassRequest(setup, data);
}

void CcidReader::ConfigurationSet(std::uint8_t value) {
  ResetTransport();
  if (value == 0) return;
  if (interrupt_in_) {
    Effects ignored;  // the caller (Control) announces the interrupt data
    QueueInterrupt(firmware_.InitialSlotChange(), ignored);
  } else {
    firmware_.TakeSlotChange();  // nothing to report it on
  }
}

void CcidReader::HaltCleared(std::uint8_t endpoint) {
  if (bulk_out_ && endpoint == bulk_out_->address) {
    rx_.clear();
    rx_oversize_ = false;
  }
}

void CcidReader::ClearHalt(std::uint8_t endpoint) {
  std::lock_guard guard(lock_);
  ep0_.SetHalted(endpoint, false);
  HaltCleared(endpoint);
}

void CcidReader::ResetTransport() {
  rx_.clear();
  rx_oversize_ = false;
  in_packets_.clear();
  held_answer_.reset();
  stats_.interrupt_discarded += interrupt_.size();
  interrupt_.clear();
  armed_.clear();
  pull_.reset();
}

void CcidReader::BusReset() {
  std::lock_guard guard(lock_);
  ep0_.Reset();
  firmware_.Reset();
  ResetTransport();
}

bool CcidReader::Unplugged() const {
  std::lock_guard guard(lock_);
  return unplugged_;
}

// USB suspend and resume. After a resume the reader reports every slot again on the
// interrupt pipe, as after SET_CONFIGURATION: the host may have missed changes meanwhile.
void CcidReader::Suspend(bool suspended) {
  Effects fx;
  {
    std::lock_guard guard(lock_);
    const bool resumed = suspended_ && !suspended;
    suspended_ = suspended;
    if (resumed && !unplugged_ && ep0_.Configured()) QueueInterrupt(firmware_.InitialSlotChange(), fx);
  }
  Fire(fx);
}

Handshake CcidReader::OutPacket(std::uint8_t endpoint, std::span<const std::uint8_t> packet) {
  Effects fx;
  Handshake handshake = Handshake::Ack;
  {
    std::lock_guard guard(lock_);
    if (unplugged_) return Handshake::Nak;
    if (!ep0_.Configured() || !bulk_out_ || endpoint != bulk_out_->address) return Handshake::Stall;
    if (ep0_.Halted(endpoint)) return Handshake::Stall;
    BulkOut(packet, fx, handshake);
  }
  Fire(fx);
  return handshake;
}

// Joins packets into a command by its dwLength. A short packet ends the transfer: a
// command still incomplete then is answered with a dwLength error, and bytes beyond
// dwLength are dropped (both are host faults).
void CcidReader::BulkOut(std::span<const std::uint8_t> packet, Effects& fx, Handshake& handshake) {
  const bool short_packet = packet.size() < bulk_out_->max_packet;
  if (packet.empty() && rx_.empty()) return;  // a transfer's closing zero-length packet
  if (!rx_oversize_) rx_.insert(rx_.end(), packet.begin(), packet.end());
  if (rx_.size() >= ccid::kHeaderSize) {
    const std::uint64_t total = ccid::kHeaderSize + std::uint64_t{ccid::Le32(rx_, 1)};
    if (total > profile_.MaxMessageLength()) {
      rx_oversize_ = true;
      rx_.resize(ccid::kHeaderSize);
    } else if (rx_.size() >= total) {
      if (rx_.size() > total)  // noted; the command itself goes on
        firmware_.NoteHostError(ccid::Header::Parse(rx_), "bytes after dwLength in the transfer");
      ccid::Bytes message(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(total));
      rx_.clear();
      if (!CommandArrived(message, fx)) handshake = Handshake::Stall;
      return;
    }
  }
  if (!short_packet) return;
  if (rx_.size() >= ccid::kHeaderSize) {
    // The command goes on the record as the reader kept it (its header alone when it was
    // too long to hold), so that the answer below follows a command in every trace.
    Trace(hosted::usb::TransferType::Bulk, false, bulk_out_->address, rx_);
    firmware_.BadLength(rx_);
  }
  rx_.clear();
  rx_oversize_ = false;
  NoteOutput(fx);
}

// A whole command: faults that act on it, then the firmware. False when a scripted
// stall refuses its last packet.
bool CcidReader::CommandArrived(std::span<const std::uint8_t> message, Effects& fx) {
  ++stats_.commands;
  Trace(hosted::usb::TransferType::Bulk, false, bulk_out_->address, ccid::Bytes(message.begin(), message.end()));
  const ccid::Header h = ccid::Header::Parse(message);
  std::vector<Fault> faults = faults_.Take(h.type);
  std::uint32_t extra_waits = 0;
  LineNoise noise;
  std::vector<Fault> answer_faults;
  for (const Fault& f : faults) {
    fired_.push_back({f.kind, h.type, h.seq});
    if (f.kind == FaultKind::StallBulkOut) {
      ep0_.SetHalted(bulk_out_->address, true);
      return false;
    }
    if (f.kind == FaultKind::UnplugOnCommand) {
      UnplugLocked(fx);
      return true;
    }
    if (f.kind == FaultKind::TimeExtensions) {
      extra_waits += f.value;
    } else if (f.kind == FaultKind::CardPulled) {
      // The reader is still working on the command when the card goes: it has sent its
      // time extensions, and the answer it would have sent never comes.
      const std::uint32_t extensions = std::max<std::uint32_t>(f.value, 1);
      extra_waits += extensions;
      pull_ = CardPull{h.slot, extensions};
    }
    else if (f.kind == FaultKind::CorruptToCard)
      noise.to_card = f.value;
    else if (f.kind == FaultKind::CorruptToHost)
      noise.to_host = f.value;
    else
      answer_faults.push_back(f);
  }
  if (!answer_faults.empty()) armed_.push_back({h.slot, h.seq, h.type, std::move(answer_faults)});
  firmware_.Command(message, extra_waits, noise);
  NoteOutput(fx);
  return true;
}

// Announces bulk-in data when the host would otherwise see a Nak.
void CcidReader::NoteOutput(Effects& fx) {
  if (bulk_in_ && in_packets_.empty() && firmware_.HasOutput()) fx.ready.push_back(bulk_in_->address);
}

// Takes the firmware's next message, applies the faults of its command to an answer
// (not to a time extension) and cuts it into packets.
void CcidReader::Refill(Effects& fx) {
  while (in_packets_.empty()) {
    if (pull_ && pull_->extensions_left == 0) {
      const std::uint8_t slot = pull_->slot;
      pull_.reset();
      if (firmware_.Busy() && firmware_.CardPresent(slot)) {
        firmware_.RemoveCard(slot);
        SlotEvent(fx);
      }
    }
    std::optional<ccid::Bytes> m;
    if (held_answer_) {
      if (AnswerHeld((*held_answer_)[0])) return;
      m.swap(held_answer_);
    } else {
      m = firmware_.NextOutput();
      if (!m) return;
      if (IsTimeExtension(*m)) {
        if (pull_ && pull_->extensions_left > 0) --pull_->extensions_left;
        ++stats_.time_extensions;
        QueueAnswer(*m);
        return;
      }
      if (AnswerHeld((*m)[0])) {
        held_answer_ = std::move(m);
        return;
      }
    }
    auto it = std::find_if(armed_.begin(), armed_.end(),
                           [&](const CommandFaults& c) { return c.slot == (*m)[5] && c.seq == (*m)[6]; });
    if (it == armed_.end()) {
      QueueAnswer(*m);
      return;
    }
    const FaultedAnswer fa = ApplyAnswerFaults(*m, it->faults);
    armed_.erase(it);
    if (fa.stall) {
      ep0_.SetHalted(bulk_in_->address, true);
      return;
    }
    std::int64_t unplug_after = fa.unplug_after_packets;
    for (const auto& message : fa.messages) {
      const std::size_t before = in_packets_.size();
      QueueAnswer(message);
      if (fa.skip_zero_length_packet && in_packets_.size() > before + 1 && in_packets_.back().data.empty())
        in_packets_.pop_back();
      if (unplug_after >= 0) {
        const std::size_t keep = before + static_cast<std::size_t>(unplug_after);
        if (keep < in_packets_.size()) in_packets_.resize(keep);
        if (unplug_after == 0) {
          UnplugLocked(fx);  // not a byte of it goes out
          return;
        }
        in_packets_.back().unplug_after = true;
      }
    }
  }
}

bool CcidReader::AnswerHeld(std::uint8_t type) const {
  return std::any_of(answer_holds_.begin(), answer_holds_.end(), [&](std::uint8_t t) { return t == 0 || t == type; });
}

void CcidReader::HoldAnswers(std::uint8_t type, bool hold) {
  Effects fx;
  {
    std::lock_guard guard(lock_);
    if (hold) {
      answer_holds_.push_back(type);
    } else {
      std::erase(answer_holds_, type);
      if (held_answer_ && !AnswerHeld((*held_answer_)[0]) && bulk_in_ && in_packets_.empty())
        fx.ready.push_back(bulk_in_->address);
    }
  }
  Fire(fx);
}

std::uint8_t CcidReader::HeldAnswer() const {
  std::lock_guard guard(lock_);
  return held_answer_ ? (*held_answer_)[0] : 0;
}

void CcidReader::QueueAnswer(const ccid::Bytes& message) {
  ++stats_.answers;
  Trace(hosted::usb::TransferType::Bulk, true, bulk_in_->address, message);
  const std::size_t size = bulk_in_->max_packet ? bulk_in_->max_packet : kDefaultBulkPacket;
  for (std::size_t at = 0; at < message.size(); at += size) {
    const std::size_t n = std::min(size, message.size() - at);
    in_packets_.push_back({ccid::Bytes(message.begin() + static_cast<std::ptrdiff_t>(at),
                                       message.begin() + static_cast<std::ptrdiff_t>(at + n)),
                           false});
  }
  if (message.empty() || message.size() % size == 0) in_packets_.push_back({{}, false});
}

Handshake CcidReader::InPacket(std::uint8_t endpoint, std::vector<std::uint8_t>& packet) {
  Effects fx;
  Handshake handshake = Handshake::Nak;
  {
    std::lock_guard guard(lock_);
    if (unplugged_) return Handshake::Nak;
    if (!ep0_.Configured()) return Handshake::Stall;
    if (interrupt_in_ && endpoint == interrupt_in_->address) {
      if (ep0_.Halted(endpoint)) return Handshake::Stall;
      if (interrupt_.empty()) return Handshake::Nak;
      packet = std::move(interrupt_.front());
      interrupt_.pop_front();
      // Traced now, when the bus carries it: a message queued during a control transfer
      // (the slot change after SET_CONFIGURATION) follows that transfer in the trace.
      Trace(hosted::usb::TransferType::Interrupt, true, endpoint, packet);
      return Handshake::Ack;
    }
    if (!bulk_in_ || endpoint != bulk_in_->address) return Handshake::Stall;
    if (in_packets_.empty()) Refill(fx);
    if (unplugged_) {
      handshake = Handshake::Nak;
    } else if (ep0_.Halted(endpoint)) {
      handshake = Handshake::Stall;
    } else if (!in_packets_.empty()) {
      Packet p = std::move(in_packets_.front());
      in_packets_.pop_front();
      packet = std::move(p.data);
      handshake = Handshake::Ack;
      if (p.unplug_after)
        UnplugLocked(fx);
      else
        NoteOutput(fx);
    }
  }
  Fire(fx);
  return handshake;
}

void CcidReader::QueueInterrupt(ccid::Bytes message, Effects& fx) {
  if (!interrupt_in_ || !ep0_.Configured()) return;
  ++stats_.interrupt_messages;
  if (interrupt_.size() == kInterruptQueueMax) {
    interrupt_.pop_front();
    ++stats_.interrupt_dropped;
  }
  interrupt_.push_back(std::move(message));
  fx.ready.push_back(interrupt_in_->address);
}

// After an insertion or removal: the slot-change message, and remote wake-up when the
// host enabled it on a suspended device.
void CcidReader::SlotEvent(Effects& fx) {
  if (ep0_.Configured() && interrupt_in_) {
    if (auto m = firmware_.TakeSlotChange()) QueueInterrupt(std::move(*m), fx);
  }
  NoteOutput(fx);
  if (suspended_ && ep0_.RemoteWakeupEnabled()) fx.wake = true;
}

void CcidReader::InsertCard(std::uint8_t slot, std::unique_ptr<Icc> card) {
  Effects fx;
  {
    std::lock_guard guard(lock_);
    firmware_.InsertCard(slot, std::move(card));
    SlotEvent(fx);
  }
  Fire(fx);
}

void CcidReader::RemoveCard(std::uint8_t slot) {
  Effects fx;
  {
    std::lock_guard guard(lock_);
    if (!firmware_.CardPresent(slot)) return;
    firmware_.RemoveCard(slot);
    SlotEvent(fx);
  }
  Fire(fx);
}

void CcidReader::HardwareFault(std::uint8_t slot, std::uint8_t code) {
  Effects fx;
  {
    std::lock_guard guard(lock_);
    QueueInterrupt(firmware_.HardwareError(slot, code), fx);
    NoteOutput(fx);
  }
  Fire(fx);
}

void CcidReader::UnplugLocked(Effects& fx) {
  if (unplugged_) return;
  unplugged_ = true;
  firmware_.Reset();
  ResetTransport();
  fx.unplug = true;
}

void CcidReader::Unplug() {
  Effects fx;
  {
    std::lock_guard guard(lock_);
    UnplugLocked(fx);
  }
  Fire(fx);
}

void CcidReader::Plug() {
  Effects fx;
  {
    std::lock_guard guard(lock_);
    if (!unplugged_) return;
    unplugged_ = false;
    ep0_.Reset();
    firmware_.Reset();
    ResetTransport();
    fx.unplug = false;
  }
  Fire(fx);
}

bool CcidReader::CardPresent(std::uint8_t slot) const {
  std::lock_guard guard(lock_);
  return firmware_.CardPresent(slot);
}

bool CcidReader::CardPowered(std::uint8_t slot) const {
  std::lock_guard guard(lock_);
  return firmware_.CardPowered(slot);
}

std::optional<IccVoltage> CcidReader::CardVoltage(std::uint8_t slot) const {
  std::lock_guard guard(lock_);
  return firmware_.Voltage(slot);
}

void CcidReader::TypeKeys(std::string_view keys) {
  Effects fx;
  {
    std::lock_guard guard(lock_);
    keypad_.Type(keys);
    firmware_.KeysTyped();
    // The bus learns the reader's new timer when it next looks at the bulk-in pipe.
    if (bulk_in_ && firmware_.Busy()) fx.ready.push_back(bulk_in_->address);
  }
  Fire(fx);
}

std::vector<std::string> CcidReader::LcdMessages() const {
  std::lock_guard guard(lock_);
  return firmware_.LcdMessages();
}

std::optional<std::chrono::nanoseconds> CcidReader::NextTimer() const {
  std::lock_guard guard(lock_);
  if (unplugged_) return std::nullopt;
  return firmware_.NextTimer();
}

void CcidReader::TimerDue() {
  Effects fx;
  {
    std::lock_guard guard(lock_);
    if (unplugged_) return;
    firmware_.TimerDue();
    NoteOutput(fx);
  }
  Fire(fx);
}

void CcidReader::AddFault(const Fault& fault) {
  std::lock_guard guard(lock_);
  faults_.Add(fault);
}

void CcidReader::AddControlFault(const ControlFault& fault) {
  std::lock_guard guard(lock_);
  control_faults_.push_back(fault);
}

void CcidReader::ClearFaults() {
  std::lock_guard guard(lock_);
  faults_.Clear();
  armed_.clear();
  pull_.reset();
  control_faults_.clear();
}

void CcidReader::InjectInterrupt(ccid::Bytes message) {
  Effects fx;
  {
    std::lock_guard guard(lock_);
    QueueInterrupt(std::move(message), fx);
  }
  Fire(fx);
}

std::vector<FaultRecord> CcidReader::FaultsFired() const {
  std::lock_guard guard(lock_);
  return fired_;
}

std::size_t CcidReader::FaultCount(FaultKind kind) const {
  std::lock_guard guard(lock_);
  return static_cast<std::size_t>(
      std::count_if(fired_.begin(), fired_.end(), [&](const FaultRecord& r) { return r.kind == kind; }));
}

std::vector<ccid::Bytes> CcidReader::EscapesReceived() const {
  std::lock_guard guard(lock_);
  return firmware_.EscapesReceived();
}

std::vector<HostError> CcidReader::HostErrors() const {
  std::lock_guard guard(lock_);
  return firmware_.HostErrors();
}

ReaderStats CcidReader::Stats() const {
  std::lock_guard guard(lock_);
  ReaderStats stats = stats_;
  stats.card_time = firmware_.CardTime();
  return stats;
}

void CcidReader::SetEscapeReply(ccid::Bytes request, ccid::Bytes reply, bool prefix) {
  std::lock_guard guard(lock_);
  firmware_.SetEscapeReply(std::move(request), std::move(reply), prefix);
}

void CcidReader::SetMessageObserver(hosted::usb::MessageCallback observer) {
  std::lock_guard guard(lock_);
  observer_ = std::move(observer);
}

bool CcidReader::Configured() const {
  std::lock_guard guard(lock_);
  return ep0_.Configured();
}

bool CcidReader::RemoteWakeupEnabled() const {
  std::lock_guard guard(lock_);
  return ep0_.RemoteWakeupEnabled();
}

}  // namespace sim

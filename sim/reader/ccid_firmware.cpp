// CCID firmware: command dispatch, the command in progress and its time extensions,
// the abort handshake, class requests, escapes and slot-change messages.
#include "reader/ccid_firmware.h"

#include "iso7816/atr.h"

#include <algorithm>
#include <stdexcept>

namespace sim {
namespace {

constexpr std::uint8_t kClassInterfaceIn = 0xA1, kClassInterfaceOut = 0x21;
constexpr std::uint8_t kStandardInterfaceIn = 0x81;
constexpr std::uint8_t kGetDescriptorRequest = 6;
constexpr std::uint8_t kTimeExtensionMultiplier = 1;

bool HasNoPayload(std::uint8_t type) {
  switch (type) {
    case ccid::kIccPowerOn:
    case ccid::kIccPowerOff:
    case ccid::kGetSlotStatus:
    case ccid::kGetParameters:
    case ccid::kResetParameters:
    case ccid::kIccClock:
    case ccid::kAbort:
      return true;
    default:
      return false;
  }
}

bool KnownCommand(std::uint8_t type) {
  switch (type) {
    case ccid::kSetParameters: case ccid::kIccPowerOn: case ccid::kIccPowerOff:
    case ccid::kGetSlotStatus: case ccid::kSecure: case ccid::kT0Apdu: case ccid::kEscape:
    case ccid::kGetParameters: case ccid::kResetParameters: case ccid::kIccClock:
    case ccid::kXfrBlock: case ccid::kMechanical: case ccid::kAbort:
    case ccid::kSetDataRateAndClockFrequency:
      return true;
    default:
      return false;
  }
}

bool PrintableText(std::span<const std::uint8_t> b) {
  return !b.empty() && std::all_of(b.begin(), b.end(), [](std::uint8_t c) { return c >= 0x20 && c < 0x7F; });
}

ControlResult AnswerList(const std::vector<std::uint32_t>& values, const SetupPacket& setup,
                         std::span<std::uint8_t> data) {
  if (values.empty()) return {Handshake::Stall, 0};
  ccid::Bytes bytes(values.size() * 4);
  for (std::size_t i = 0; i < values.size(); ++i) ccid::PutLe32(bytes, 4 * i, values[i]);
  const std::size_t n = std::min({bytes.size(), static_cast<std::size_t>(setup.wLength), data.size()});
  std::copy_n(bytes.begin(), n, data.begin());
  return {Handshake::Ack, n};
}

}  // namespace

CcidFirmware::CcidFirmware(const ReaderProfile& profile, Keypad& keypad, ClockFunction clock)
    : profile_(profile), keypad_(keypad), clock_(std::move(clock)), escape_replies_(profile.escape_replies) {}

CcidFirmware::~CcidFirmware() = default;

CcidFirmware::Level CcidFirmware::ExchangeLevel() const {
  const std::uint32_t f = profile_.Features();
  if (f & ccid::kFeatureExtendedApdu) return Level::ExtendedApdu;
  if (f & ccid::kFeatureShortApdu) return Level::ShortApdu;
  if (f & ccid::kFeatureTpdu) return Level::Tpdu;
  return Level::Character;
}

void CcidFirmware::Command(std::span<const std::uint8_t> message, std::uint32_t extra_waits, LineNoise noise) {
  const ccid::Header h = ccid::Header::Parse(message);
  const auto payload = message.subspan(ccid::kHeaderSize);
  if (!SlotExists(h.slot)) {
    NoteHostError(h, "no such slot");
    ready_.push_back(Failure(h, ccid::kBadSlot, ccid::kIccAbsent));
    return;
  }
  if (h.type == ccid::kAbort) {
    AbortCommand(h);
    return;
  }
  if (Busy()) {
    NoteHostError(h, "command while another is in progress");
    ready_.push_back(Failure(h, ccid::kCmdSlotBusy));
    return;
  }
  if (abort_request_ && abort_request_->first == h.slot) {
    NoteHostError(h, "command between the ABORT request and PC_to_RDR_Abort");
    ready_.push_back(Failure(h, ccid::kCmdAborted));
    return;
  }
  last_seq_[h.slot] = h.seq;
  noise_ = noise;
  line_time_ = std::chrono::nanoseconds(0);
  Outcome o = Dispatch(h, payload);
  ChargeCharacters(slots_[h.slot], std::uint64_t{noise_.sent} + noise_.received);
  noise_ = LineNoise{};
  card_time_ += line_time_;
  const std::optional<std::chrono::nanoseconds> now = clock_ ? clock_() : std::nullopt;
  const std::chrono::nanoseconds start = now ? *now : std::chrono::nanoseconds(0);
  if (o.deferred) return;  // a PIN entry: answered on the reader's clock
  o.waits += extra_waits;
  if (o.waits == 0) {
    hold_until_ = std::max(hold_until_, start + line_time_);
    ready_.push_back(std::move(o.answer));
    return;
  }
  const std::chrono::nanoseconds step = line_time_ / (o.waits + 1);
  pending_ = Pending{h.type, h.slot, h.seq, o.waits, std::move(o.answer), start + step, step, start + line_time_};
}

// The reader's clock: dwDefaultClock in kHz (4 MHz when a descriptor leaves it 0).
std::chrono::nanoseconds CcidFirmware::EtuTime(std::uint64_t etus, std::uint8_t fidi) const {
  std::uint64_t khz = ccid::Le32(profile_.class_descriptor, ccid::kDescDefaultClock);
  if (khz == 0) khz = 4000;
  const unsigned f = iso7816::FiValue(fidi >> 4), d = iso7816::DiValue(fidi & 0x0F);
  if (f == 0 || d == 0) return EtuTime(etus, 0x11);
  const unsigned __int128 ns = static_cast<unsigned __int128>(etus) * f * 1'000'000u / (std::uint64_t{d} * khz);
  return std::chrono::nanoseconds(static_cast<std::int64_t>(ns));
}

std::chrono::nanoseconds CcidFirmware::CyclesTime(std::uint64_t cycles) const {
  std::uint64_t khz = ccid::Le32(profile_.class_descriptor, ccid::kDescDefaultClock);
  if (khz == 0) khz = 4000;
  return std::chrono::nanoseconds(static_cast<std::int64_t>(cycles * 1'000'000u / khz));
}

void CcidFirmware::ChargeCharacters(const Slot& s, std::uint64_t characters) {
  const std::uint8_t n = s.protocol == 1 ? s.t1.guard : s.t0.guard;
  const std::uint64_t frame = n == 0xFF ? (s.protocol == 1 ? 11 : 12) : 12u + n;
  line_time_ += EtuTime(characters * frame, s.rate);
}

void CcidFirmware::ChargeWaits(const Slot& s, std::uint32_t nulls, std::uint32_t wtx_multiples) {
  if (nulls != 0) {
    // WWT = 960 x WI x Fi clock cycles: Fi cycles are one ETU at D = 1.
    const std::uint8_t fi_only = static_cast<std::uint8_t>((s.rate & 0xF0) | 0x01);
    line_time_ += EtuTime(std::uint64_t{960} * s.t0.wi * nulls, fi_only);
  }
  if (wtx_multiples != 0) {
    const std::uint64_t bwi = s.t1.bwi_cwi >> 4;
    line_time_ += EtuTime(std::uint64_t{11} * wtx_multiples, s.rate) +
                  EtuTime((std::uint64_t{960} << bwi) * wtx_multiples, 0x11);
  }
}

bool CcidFirmware::Released(std::chrono::nanoseconds at) const {
  const std::optional<std::chrono::nanoseconds> now = clock_ ? clock_() : std::nullopt;
  return !now || *now >= at;
}

void CcidFirmware::BadLength(std::span<const std::uint8_t> header) {
  const ccid::Header h = ccid::Header::Parse(header);
  NoteHostError(h, "dwLength does not match the transfer or exceeds dwMaxCCIDMessageLength");
  ready_.push_back(Failure(h, ccid::kBadLength, SlotExists(h.slot) ? IccStatusOf(h.slot) : std::uint8_t{ccid::kIccAbsent}));
}

CcidFirmware::Outcome CcidFirmware::Dispatch(const ccid::Header& h, std::span<const std::uint8_t> payload) {
  if (HasNoPayload(h.type) && h.length != 0) {
    NoteHostError(h, "payload on a command that takes none");
    return {Failure(h, ccid::kBadLength)};
  }
  switch (h.type) {
    case ccid::kIccPowerOn:
      return PowerOn(h);
    case ccid::kIccPowerOff:
      return PowerOff(h);
    case ccid::kGetSlotStatus:
      return SlotStatus(h);
    case ccid::kSetParameters:
      return SetParameters(h, payload);
    case ccid::kGetParameters:
      return GetParameters(h, false);
    case ccid::kResetParameters:
      return GetParameters(h, true);
    case ccid::kXfrBlock:
      return XfrBlock(h, payload);
    case ccid::kSecure:
      return Secure(h, payload);
    case ccid::kEscape:
      return Escape(h, payload);
    case ccid::kIccClock:
      return IccClock(h);
    default:
      if (!KnownCommand(h.type)) NoteHostError(h, "unknown message type");
      return {Failure(h, ccid::kCommandNotSupported)};
  }
}

std::optional<ccid::Bytes> CcidFirmware::NextOutput() {
  if (!HasOutput()) return std::nullopt;
  if (!ready_.empty()) {
    ccid::Bytes m = std::move(ready_.front());
    ready_.pop_front();
    return m;
  }
  if (pending_->waits > 0) {
    --pending_->waits;
    pending_->next_extension += pending_->step;
    return TimeExtension(*pending_);
  }
  ccid::Bytes m = std::move(pending_->answer);
  pending_.reset();
  return m;
}

bool CcidFirmware::HasOutput() const {
  if (!ready_.empty()) return Released(hold_until_);
  if (!pending_) return false;
  return Released(pending_->waits > 0 ? pending_->next_extension : pending_->answer_at);
}

ccid::Bytes CcidFirmware::TimeExtension(const Pending& p) const {
  return ccid::BuildMessage(p.answer[0], p.slot, p.seq,
                            ccid::MakeStatus(ccid::kTimeExtension, static_cast<ccid::IccStatus>(IccStatusOf(p.slot))),
                            kTimeExtensionMultiplier, 0);
}

// Ends the command in progress on `slot` with a failure, ahead of anything queued after.
void CcidFirmware::EndPending(std::uint8_t slot, std::uint8_t error, std::uint8_t icc) {
  if (pin_ && pin_->job.h.slot == slot) {
    ready_.push_back(Failure(pin_->job.h, error, icc));
    pin_.reset();
    return;
  }
  if (!pending_ || pending_->slot != slot) return;
  ccid::Header h;
  h.type = pending_->command;
  h.slot = slot;
  h.seq = pending_->seq;
  ready_.push_back(Failure(h, error, icc));
  pending_.reset();
}

// PC_to_RDR_Abort: answered once the ABORT class request with the same slot and
// sequence number has come; until then it waits for it.
void CcidFirmware::AbortCommand(const ccid::Header& h) {
  if (h.length != 0) NoteHostError(h, "payload on PC_to_RDR_Abort");
  if (abort_request_ && abort_request_->first == h.slot && abort_request_->second == h.seq) {
    abort_request_.reset();
    abort_waiting_.reset();
    ready_.push_back(ccid::BuildMessage(ccid::kSlotStatus, h.slot, h.seq,
                                        ccid::MakeStatus(ccid::kProcessed, static_cast<ccid::IccStatus>(IccStatusOf(h.slot))),
                                        0, CardPowered(h.slot) ? 0 : 3));
    return;
  }
  if (abort_request_ && abort_request_->first == h.slot)
    NoteHostError(h, "PC_to_RDR_Abort with a bSeq other than the ABORT request's");
  abort_waiting_ = h;
}

ControlResult CcidFirmware::ClassRequest(const SetupPacket& setup, std::span<std::uint8_t> data) {
  constexpr ControlResult kStall{Handshake::Stall, 0};
  if ((setup.wIndex & 0xFF) != profile_.interface_number) return kStall;
  if (setup.bRequest == kGetDescriptorRequest &&
      (setup.bmRequestType == kClassInterfaceIn || setup.bmRequestType == kStandardInterfaceIn)) {
    // The descriptor of the type the reader has (0x21, or 0xFF on older readers).
    if (setup.wValue != (profile_.ClassDescriptorType() << 8)) return kStall;
    const std::size_t n = std::min({profile_.class_descriptor.size(), static_cast<std::size_t>(setup.wLength), data.size()});
    std::copy_n(profile_.class_descriptor.begin(), n, data.begin());
    return {Handshake::Ack, n};
  }
  if (setup.bmRequestType == kClassInterfaceIn && setup.bRequest == ccid::kRequestGetClockFrequencies)
    return AnswerList(profile_.clock_frequencies_khz, setup, data);
  if (setup.bmRequestType == kClassInterfaceIn && setup.bRequest == ccid::kRequestGetDataRates)
    return AnswerList(profile_.data_rates_bps, setup, data);
  if (setup.bmRequestType != kClassInterfaceOut || setup.bRequest != ccid::kRequestAbort || setup.wLength != 0)
    return kStall;
  const std::uint8_t slot = setup.wValue & 0xFF;
  const std::uint8_t seq = setup.wValue >> 8;
  if (!SlotExists(slot)) return kStall;
  EndPending(slot, ccid::kCmdAborted, IccStatusOf(slot));
  slots_[slot].command_chain.clear();
  slots_[slot].chaining_in = false;
  slots_[slot].response_rest.clear();
  if (abort_waiting_ && abort_waiting_->slot == slot && abort_waiting_->seq == seq) {
    const ccid::Header h = *abort_waiting_;
    abort_waiting_.reset();
    abort_request_ = {slot, seq};
    AbortCommand(h);
  } else {
    abort_request_ = {slot, seq};
  }
  return {Handshake::Ack, 0};
}

CcidFirmware::Outcome CcidFirmware::Escape(const ccid::Header& h, std::span<const std::uint8_t> payload) {
  escapes_.emplace_back(payload.begin(), payload.end());
  const auto status = ccid::MakeStatus(ccid::kProcessed, static_cast<ccid::IccStatus>(IccStatusOf(h.slot)));
  for (const auto& r : escape_replies_) {
    const bool match = r.prefix ? payload.size() >= r.request.size() &&
                                      std::equal(r.request.begin(), r.request.end(), payload.begin())
                                : std::equal(r.request.begin(), r.request.end(), payload.begin(), payload.end());
    if (match) return {ccid::BuildMessage(ccid::kEscapeResponse, h.slot, h.seq, status, 0, 0, r.reply)};
  }
  // Plain text is a host introducing itself (an identification string): acknowledged.
  if (PrintableText(payload)) return {ccid::BuildMessage(ccid::kEscapeResponse, h.slot, h.seq, status, 0, 0)};
  return {Failure(h, ccid::kCommandNotSupported)};
}

void CcidFirmware::SetEscapeReply(ccid::Bytes request, ccid::Bytes reply, bool prefix) {
  escape_replies_.insert(escape_replies_.begin(), EscapeReply{std::move(request), prefix, std::move(reply)});
}

void CcidFirmware::InsertCard(std::uint8_t slot, std::unique_ptr<Icc> card) {
  if (!SlotExists(slot)) throw std::invalid_argument("InsertCard: no such slot");
  if (slots_[slot].card) RemoveCard(slot);
  Slot& s = slots_[slot];
  s.card = std::move(card);
  s.powered = false;
  s.changed = true;
}

void CcidFirmware::RemoveCard(std::uint8_t slot) {
  if (!SlotExists(slot) || !slots_[slot].card) return;
  Slot& s = slots_[slot];
  s.card->Deactivate();
  s = Slot{};
  s.changed = true;
  EndPending(slot, ccid::kIccMute, ccid::kIccAbsent);
}

ccid::Bytes CcidFirmware::HardwareError(std::uint8_t slot, std::uint8_t code) {
  if (!SlotExists(slot)) throw std::invalid_argument("HardwareError: no such slot");
  Slot& s = slots_[slot];
  if (s.card) s.card->Deactivate();
  s.powered = false;
  EndPending(slot, ccid::kHwError, IccStatusOf(slot));
  return {ccid::kHardwareError, slot, last_seq_[slot], code};
}

ccid::Bytes CcidFirmware::SlotChange() {
  const std::size_t slots = std::min<std::size_t>(profile_.MaxSlotIndex() + 1u, kMaxSlots);
  ccid::Bytes m(1 + (2 * slots + 7) / 8, 0);
  m[0] = ccid::kNotifySlotChange;
  for (std::size_t i = 0; i < slots; ++i) {
    const std::uint8_t bits = static_cast<std::uint8_t>((slots_[i].card ? 1 : 0) | (slots_[i].changed ? 2 : 0));
    m[1 + (2 * i) / 8] |= static_cast<std::uint8_t>(bits << ((2 * i) % 8));
    slots_[i].changed = false;
  }
  return m;
}

std::optional<ccid::Bytes> CcidFirmware::TakeSlotChange() {
  if (std::none_of(slots_.begin(), slots_.end(), [](const Slot& s) { return s.changed; })) return std::nullopt;
  return SlotChange();
}

ccid::Bytes CcidFirmware::InitialSlotChange() {
  for (auto& s : slots_) s.changed = s.card != nullptr;
  return SlotChange();
}

void CcidFirmware::Reset() {
  for (auto& s : slots_) {
    if (s.card) s.card->Deactivate();
    s.powered = false;
    s.protocol = 0;
    s.command_chain.clear();
    s.response_rest.clear();
    s.chaining_in = false;
    s.rate = 0x11;
  }
  pending_.reset();
  pin_.reset();
  ready_.clear();
  hold_until_ = std::chrono::nanoseconds(0);
  abort_request_.reset();
  abort_waiting_.reset();
}

bool CcidFirmware::CardPresent(std::uint8_t slot) const { return SlotExists(slot) && slots_[slot].card != nullptr; }
bool CcidFirmware::CardPowered(std::uint8_t slot) const { return CardPresent(slot) && slots_[slot].powered; }
Icc* CcidFirmware::Card(std::uint8_t slot) const { return CardPresent(slot) ? slots_[slot].card.get() : nullptr; }

std::optional<IccVoltage> CcidFirmware::Voltage(std::uint8_t slot) const {
  if (!CardPowered(slot)) return std::nullopt;
  return slots_[slot].voltage;
}

std::uint8_t CcidFirmware::IccStatusOf(std::uint8_t slot) const {
  if (!CardPresent(slot)) return ccid::kIccAbsent;
  return slots_[slot].powered ? ccid::kIccActive : ccid::kIccInactive;
}

ccid::Bytes CcidFirmware::Failure(const ccid::Header& h, std::uint8_t error) const {
  return Failure(h, error, SlotExists(h.slot) ? IccStatusOf(h.slot) : std::uint8_t{ccid::kIccAbsent});
}

ccid::Bytes CcidFirmware::Failure(const ccid::Header& h, std::uint8_t error, std::uint8_t icc) const {
  const std::uint8_t type = KnownCommand(h.type) ? ccid::ResponseTypeFor(h.type) : std::uint8_t{ccid::kSlotStatus};
  return ccid::BuildMessage(type, h.slot, h.seq, ccid::MakeStatus(ccid::kFailed, static_cast<ccid::IccStatus>(icc)),
                            error, 0);
}

ccid::Bytes CcidFirmware::DataBlock(const ccid::Header& h, std::span<const std::uint8_t> data,
                                    std::uint8_t chain) const {
  return ccid::BuildMessage(ccid::kDataBlock, h.slot, h.seq,
                            ccid::MakeStatus(ccid::kProcessed, static_cast<ccid::IccStatus>(IccStatusOf(h.slot))), 0,
                            chain, data);
}

void CcidFirmware::NoteHostError(const ccid::Header& h, std::string what) {
  host_errors_.push_back({h.type, h.seq, std::move(what)});
}

}  // namespace sim

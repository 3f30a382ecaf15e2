// CCID firmware, PC_to_RDR_Secure: PIN verification and modification on the reader's
// keypad. The PIN structures are read as the CCID class defines them (offsets from
// bPINOperation), the PIN goes into the APDU template, and the APDU to the card.
#include <algorithm>
#include <iterator>
#include <string>

#include "reader/ccid_firmware.h"
#include "reader/icc_link.h"

namespace sim {
namespace {

enum PinOperation : std::uint8_t { kVerify = 0, kModify = 1 };
constexpr std::size_t kVerifyFixed = 15;      // bPINOperation .. bTeoPrologue
constexpr std::size_t kModifyBeforeMsg = 15;  // bPINOperation .. bMsgIndex1
constexpr std::size_t kTeoPrologue = 3;
constexpr std::size_t kMinApdu = 5;
// Message offsets (header included) of fields named in bError.
constexpr std::uint8_t kOffsetOperation = 10, kOffsetFormatString = 12;
constexpr std::size_t kShortApduHeader = 5;
// The reader's clock: the user presses a key every 400 ms, the reader asks the host for
// more time every second, and gives up after bTimeOut seconds (30 when it is 0).
constexpr std::chrono::nanoseconds kKeyInterval = std::chrono::milliseconds(400);
constexpr std::chrono::nanoseconds kExtensionInterval = std::chrono::seconds(1);
constexpr std::chrono::nanoseconds kDefaultPinTimeout = std::chrono::seconds(30);

// The frame check sequence of ISO/IEC 13239 that T=1 uses as its CRC, low byte first.
ccid::Bytes Crc(std::span<const std::uint8_t> bytes) {
  std::uint16_t crc = 0xFFFF;
  for (std::uint8_t b : bytes) {
    crc ^= b;
    for (int i = 0; i < 8; ++i) crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0x8408) : crc >> 1;
  }
  crc = static_cast<std::uint16_t>(~crc);
  return {static_cast<std::uint8_t>(crc), static_cast<std::uint8_t>(crc >> 8)};
}

}  // namespace

// The formatted APDU to the card at the reader's level: at TPDU level a T=0 command
// header with its data, or a T=1 I-block built on the host's prologue (bTeoPrologue),
// whose answer block goes back to the host as it is; at APDU level the reader's own
// protocol exchange.
CcidFirmware::Exchange CcidFirmware::SecureToCard(Slot& s, const ccid::Bytes& apdu,
                                                  std::span<const std::uint8_t> prologue) {
  if (ExchangeLevel() != Level::Tpdu) return Apdu(s, apdu);
  if (s.protocol == 0) {
    // A T=0 command carries Lc data bytes and nothing after them.
    if (apdu.size() < kShortApduHeader || apdu.size() != kShortApduHeader + apdu[4]) return {{}, 0, ccid::kBadData};
    return Tpdu(s, apdu);
  }
  if (apdu.size() > 254) return {{}, 0, ccid::kBadData};
  ccid::Bytes block{prologue[0], prologue[1], static_cast<std::uint8_t>(apdu.size())};
  block.insert(block.end(), apdu.begin(), apdu.end());
  if (s.t1.tcckst & 1) {
    const ccid::Bytes crc = Crc(block);
    block.insert(block.end(), crc.begin(), crc.end());
  } else {
    std::uint8_t lrc = 0;
    for (std::uint8_t b : block) lrc ^= b;
    block.push_back(lrc);
  }
  return Tpdu(s, block);
}

// Reads and checks the structure; nullopt with `refused` set when the reader answers at once.
std::optional<CcidFirmware::PinJob> CcidFirmware::ParsePin(const ccid::Header& h, std::span<const std::uint8_t> p,
                                                           Outcome& refused) {
  Slot& s = slots_[h.slot];
  auto refuse = [&](ccid::Bytes answer) -> std::optional<PinJob> {
    refused = Outcome{std::move(answer)};
    return std::nullopt;
  };
  auto bad = [&](std::uint8_t error, const char* what) {
    NoteHostError(h, what);
    return refuse(Failure(h, error));
  };
  const std::uint8_t support = profile_.PinSupport();
  if ((support & 3) == 0 || ExchangeLevel() == Level::Character) return refuse(Failure(h, ccid::kCommandNotSupported));
  if (h.Level() != 0) return bad(ccid::kBadLevelParameter, "chained PIN structure");
  if (p.empty()) return bad(ccid::kBadLength, "empty PIN structure");
  const std::uint8_t op = p[0];
  if (op > kModify) return bad(kOffsetOperation, "bPINOperation other than verify or modify");
  if ((op == kVerify && !(support & 1)) || (op == kModify && !(support & 2)))
    return refuse(Failure(h, ccid::kCommandNotSupported));
  std::size_t fixed = kVerifyFixed;
  if (op == kModify) {
    if (p.size() < kModifyBeforeMsg) return bad(ccid::kBadLength, "PIN modification structure too short");
    // bMsgIndex2 is there whenever bNumberMessage is not 0, bMsgIndex3 when it is 3 or
    // more (0xFF: the reader's own messages).
    const std::uint8_t messages = p[11];
    fixed = kModifyBeforeMsg + (messages >= 1 ? 1 : 0) + (messages >= 3 ? 1 : 0) + kTeoPrologue;
  }
  if (p.size() < fixed + kMinApdu) return bad(ccid::kBadLength, "PIN structure without a whole APDU");
  if (!s.card) return refuse(Failure(h, ccid::kIccMute, ccid::kIccAbsent));
  if (!s.powered) return refuse(Failure(h, ccid::kIccMute));

  PinJob job;
  job.h = h;
  job.op = op;
  job.format = {p[2], p[3], p[4]};
  const std::size_t rules_at = op == kVerify ? 5 : 7;
  job.rules = {p[rules_at + 1], p[rules_at], p[op == kVerify ? 7 : 10]};
  job.timeout = p[1] ? std::chrono::seconds(p[1]) : kDefaultPinTimeout;
  job.prologue.assign(p.begin() + static_cast<std::ptrdiff_t>(fixed - kTeoPrologue),
                      p.begin() + static_cast<std::ptrdiff_t>(fixed));
  job.apdu.assign(p.begin() + static_cast<std::ptrdiff_t>(fixed), p.end());
  // The entries the user makes: the current PIN, the new one, its confirmation; the
  // reader's own prompt for each is 0, 1 and 2.
  std::vector<std::uint8_t> roles{0};
  std::uint8_t messages = p[8];
  std::vector<std::uint8_t> indexes{p[11]};
  if (op == kModify) {
    job.confirm = p[9];
    job.offset_old = p[5];
    job.offset_new = p[6];
    roles = {1};
    if (job.confirm & 2) roles.insert(roles.begin(), 0);
    if (job.confirm & 1) roles.push_back(2);
    messages = p[11];
    indexes = {p[14]};
    if (messages >= 1) indexes.push_back(p[15]);
    if (messages >= 3) indexes.push_back(p[16]);
  }
  job.entries = roles.size();
  if (profile_.LcdLayout() != 0 && messages != 0) {
    for (std::size_t i = 0; i < roles.size(); ++i) {
      if (messages == 0xFF) job.prompts.push_back(roles[i]);
      else if (i < messages && i < indexes.size()) job.prompts.push_back(indexes[i]);
    }
  }
  return job;
}

void CcidFirmware::ShowPrompt(const PinJob& job, std::size_t entry) {
  if (entry >= job.prompts.size()) return;
  static const char* const kPrompts[] = {"Enter PIN", "Enter new PIN", "Confirm new PIN"};
  const std::uint8_t index = job.prompts[entry];
  lcd_.push_back(index < std::size(kPrompts) ? kPrompts[index] : "Message " + std::to_string(index));
}

// The entered PINs go into the APDU, and the APDU to the card.
CcidFirmware::Outcome CcidFirmware::FinishPin(const PinJob& job, const std::vector<std::string>& pins,
                                              std::uint32_t waits) {
  const ccid::Header& h = job.h;
  ccid::Bytes apdu = job.apdu;
  bool inserted = true;
  if (job.op == kVerify) {
    inserted = InsertPin(apdu, pins[0], job.format, 0);
  } else {
    const bool with_old = (job.confirm & 2) != 0;
    if ((job.confirm & 1) && pins.back() != pins[with_old ? 1 : 0]) {
      lcd_.push_back("PINs differ");
      return {Failure(h, ccid::kPinMismatch), waits};
    }
    if (with_old) inserted = InsertPin(apdu, pins[0], job.format, job.offset_old);
    inserted = inserted && InsertPin(apdu, pins[with_old ? 1 : 0], job.format, job.offset_new);
  }
  if (!inserted) {
    NoteHostError(h, "PIN format does not fit the APDU");
    return {Failure(h, kOffsetFormatString), waits};
  }
  Exchange x = SecureToCard(slots_[h.slot], apdu, job.prologue);
  waits += x.waits;
  if (x.error == ccid::kBadData) NoteHostError(h, "PIN APDU the card protocol cannot carry");
  if (x.error != 0) return {Failure(h, x.error), waits};
  return {DataBlock(h, x.data), waits};
}

CcidFirmware::Outcome CcidFirmware::Secure(const ccid::Header& h, std::span<const std::uint8_t> p) {
  Outcome refused;
  std::optional<PinJob> job = ParsePin(h, p, refused);
  if (!job) return refused;
  if (const auto now = clock_ ? clock_() : std::nullopt) {
    PinSession session{*job, PinEntryState(job->rules), {}};
    session.next_extension = *now + kExtensionInterval;
    StartEntry(session, *now);
    pin_ = std::move(session);
    return {{}, 0, true};
  }
  std::vector<std::string> pins;
  std::uint32_t waits = 0;
  for (std::size_t i = 0; i < job->entries; ++i) {
    ShowPrompt(*job, i);
    PinEntry e = ReadPin(keypad_, job->rules);
    waits += e.pauses;
    if (e.outcome == PinOutcome::Cancelled) return {Failure(h, ccid::kPinCancelled), waits};
    if (e.outcome == PinOutcome::TimedOut) return {Failure(h, ccid::kPinTimeout), waits};
    pins.push_back(std::move(e.digits));
  }
  return FinishPin(*job, pins, waits);
}

// ---- PIN entry on the reader's clock -------------------------------------------------

void CcidFirmware::StartEntry(PinSession& session, std::chrono::nanoseconds now) {
  session.entry = PinEntryState(session.job.rules);
  session.deadline = now + session.job.timeout;
  session.next_key = now + kKeyInterval;
  ShowPrompt(session.job, session.pins.size());
}

// The entry in progress ended: the next one starts, or the command is answered.
void CcidFirmware::EndEntry(PinOutcome outcome, std::chrono::nanoseconds now) {
  const ccid::Header h = pin_->job.h;
  if (outcome != PinOutcome::Entered) {
    ready_.push_back(Failure(h, outcome == PinOutcome::Cancelled ? ccid::kPinCancelled : ccid::kPinTimeout));
    pin_.reset();
    return;
  }
  pin_->pins.push_back(pin_->entry.Digits());
  if (pin_->pins.size() < pin_->job.entries) {
    StartEntry(*pin_, now);
    return;
  }
  const PinSession session = std::move(*pin_);
  pin_.reset();
  Outcome o = FinishPin(session.job, session.pins, 0);
  if (o.waits == 0) {
    ready_.push_back(std::move(o.answer));
    return;
  }
  pending_ = Pending{h.type, h.slot, h.seq, o.waits, std::move(o.answer)};
}

std::optional<std::chrono::nanoseconds> CcidFirmware::NextTimer() const {
  std::optional<std::chrono::nanoseconds> next;
  if (pin_) {
    next = std::min(pin_->deadline, pin_->next_extension);
    if (!keypad_.Empty()) next = std::min(*next, pin_->next_key);
  }
  // An answer (or time extension) waiting for the card's time to pass.
  std::optional<std::chrono::nanoseconds> held;
  if (!ready_.empty())
    held = hold_until_;
  else if (pending_)
    held = pending_->waits > 0 ? pending_->next_extension : pending_->answer_at;
  if (held && !Released(*held) && (!next || *held < *next)) next = held;
  return next;
}

void CcidFirmware::KeysTyped() {
  if (!pin_ || !clock_) return;
  if (const auto now = clock_()) pin_->next_key = std::max(pin_->next_key, *now + kKeyInterval);
}

// The keys pressed by now, the time-out, and a time extension each second while the user
// types (one at a time: the next once the host has read the last).
void CcidFirmware::TimerDue() {
  const auto now = clock_ ? clock_() : std::nullopt;
  if (!pin_ || !now) return;
  char key = 0;
  while (pin_ && *now >= pin_->next_key && keypad_.Next(key)) {
    pin_->next_key += key == '.' ? kExtensionInterval : kKeyInterval;
    if (const auto outcome = pin_->entry.Key(key)) EndEntry(*outcome, *now);
  }
  if (pin_ && *now >= pin_->deadline) EndEntry(pin_->entry.TimeOut(), *now);
  if (pin_ && *now >= pin_->next_extension) {
    if (ready_.empty())
      ready_.push_back(ccid::BuildMessage(ccid::kDataBlock, pin_->job.h.slot, pin_->job.h.seq,
                                          ccid::MakeStatus(ccid::kTimeExtension,
                                                           static_cast<ccid::IccStatus>(IccStatusOf(pin_->job.h.slot))),
                                          1, 0));
    while (pin_->next_extension <= *now) pin_->next_extension += kExtensionInterval;
  }
}

}  // namespace sim

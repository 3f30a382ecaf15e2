// CCID firmware, PC_to_RDR_Secure: PIN verification and modification on the reader's
// keypad. The PIN structures are read as the CCID class defines them (offsets from
// bPINOperation), the PIN goes into the APDU template, and the APDU to the card.
#include <algorithm>

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

CcidFirmware::Outcome CcidFirmware::Secure(const ccid::Header& h, std::span<const std::uint8_t> p) {
  Slot& s = slots_[h.slot];
  auto bad = [&](std::uint8_t error, const char* what) {
    NoteHostError(h, what);
    return Outcome{Failure(h, error)};
  };
  const std::uint8_t support = profile_.PinSupport();
  if ((support & 3) == 0 || ExchangeLevel() == Level::Character) return {Failure(h, ccid::kCommandNotSupported)};
  if (h.Level() != 0) return bad(ccid::kBadLevelParameter, "chained PIN structure");
  if (p.empty()) return bad(ccid::kBadLength, "empty PIN structure");
  const std::uint8_t op = p[0];
  if (op > kModify) return bad(kOffsetOperation, "bPINOperation other than verify or modify");
  if ((op == kVerify && !(support & 1)) || (op == kModify && !(support & 2)))
    return {Failure(h, ccid::kCommandNotSupported)};
  std::size_t fixed = kVerifyFixed;
  if (op == kModify) {
    if (p.size() < kModifyBeforeMsg) return bad(ccid::kBadLength, "PIN modification structure too short");
    // bMsgIndex2 is there whenever bNumberMessage is not 0, bMsgIndex3 when it is 3 or
    // more (0xFF: the reader's own messages).
    const std::uint8_t messages = p[11];
    fixed = kModifyBeforeMsg + (messages >= 1 ? 1 : 0) + (messages >= 3 ? 1 : 0) + kTeoPrologue;
  }
  if (p.size() < fixed + kMinApdu) return bad(ccid::kBadLength, "PIN structure without a whole APDU");
  if (!s.card) return {Failure(h, ccid::kIccMute, ccid::kIccAbsent)};
  if (!s.powered) return {Failure(h, ccid::kIccMute)};

  const PinBlockFormat format{p[2], p[3], p[4]};
  const std::size_t rules_at = op == kVerify ? 5 : 7;
  const PinEntryRules rules{p[rules_at + 1], p[rules_at], p[op == kVerify ? 7 : 10]};
  const auto prologue = p.subspan(fixed - kTeoPrologue, kTeoPrologue);
  ccid::Bytes apdu(p.begin() + static_cast<std::ptrdiff_t>(fixed), p.end());

  // The entries the user makes: the current PIN, the new one, its confirmation.
  const std::uint8_t confirm = op == kModify ? p[9] : 0;
  const int entries = op == kVerify ? 1 : 1 + ((confirm & 2) ? 1 : 0) + ((confirm & 1) ? 1 : 0);
  std::vector<std::string> pins;
  std::uint32_t waits = 0;
  for (int i = 0; i < entries; ++i) {
    PinEntry e = ReadPin(keypad_, rules);
    waits += e.pauses;
    if (e.outcome == PinOutcome::Cancelled) return {Failure(h, ccid::kPinCancelled), waits};
    if (e.outcome == PinOutcome::TimedOut) return {Failure(h, ccid::kPinTimeout), waits};
    pins.push_back(std::move(e.digits));
  }
  bool inserted = true;
  if (op == kVerify) {
    inserted = InsertPin(apdu, pins[0], format, 0);
  } else {
    const bool with_old = (confirm & 2) != 0;
    if ((confirm & 1) && pins.back() != pins[with_old ? 1 : 0]) return {Failure(h, ccid::kPinMismatch), waits};
    if (with_old) inserted = InsertPin(apdu, pins[0], format, p[5]);
    inserted = inserted && InsertPin(apdu, pins[with_old ? 1 : 0], format, p[6]);
  }
  if (!inserted) {
    NoteHostError(h, "PIN format does not fit the APDU");
    return {Failure(h, kOffsetFormatString), waits};
  }
  Exchange x = SecureToCard(s, apdu, prologue);
  waits += x.waits;
  if (x.error == ccid::kBadData) NoteHostError(h, "PIN APDU the card protocol cannot carry");
  if (x.error != 0) return {Failure(h, x.error), waits};
  return {DataBlock(h, x.data), waits};
}

}  // namespace sim

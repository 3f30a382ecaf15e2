// CCID firmware, card commands: power, slot status, protocol parameters, clock, and
// XfrBlock at character, TPDU, short-APDU and extended-APDU level.
#include <algorithm>

#include "reader/ccid_firmware.h"
#include "reader/icc_link.h"

namespace sim {
namespace {

enum PowerSelect : std::uint8_t { kAutomatic = 0, kPower5V = 1, kPower3V = 2, kPower1V8 = 3 };
constexpr std::uint8_t kVoltageBit[] = {0, 0x01, 0x02, 0x04};
constexpr IccVoltage kVoltageOf[] = {IccVoltage::V5_0, IccVoltage::V5_0, IccVoltage::V3_0, IccVoltage::V1_8};
constexpr std::uint8_t kClockRunning = 0, kClockStoppedUnknown = 3;
constexpr std::size_t kT0ParamsSize = 5, kT1ParamsSize = 7;
constexpr std::size_t kShortApduMax = 261;  // CLA INS P1 P2 Lc 255 data bytes Le
constexpr std::uint64_t kResetCycles = 40400;
constexpr std::uint64_t kPpsCharacters = 8;  // PPSS PPS0 PPS1 PCK and the card's echo
constexpr std::uint8_t kPcbWtxResponse = 0xE3;

// Reserved Fi (7, 8, 14, 15) and Di (0, 10-15) indexes of ISO/IEC 7816-3.
bool FidiValid(std::uint8_t fidi) {
  const std::uint8_t fi = fidi >> 4, di = fidi & 0x0F;
  const bool fi_ok = fi != 7 && fi != 8 && fi != 14 && fi != 15;
  const bool di_ok = di >= 1 && di <= 9;
  return fi_ok && di_ok;
}

}  // namespace

void CcidFirmware::DefaultParameters(Slot& s) {
  const AtrFacts atr = ReadAtrFacts(s.atr);
  s.t0 = T0Params{};
  s.t1 = T1Params{};
  s.protocol = 0;
  if (!atr.valid) return;
  s.protocol = atr.first_protocol == 1 ? 1 : 0;
  const std::uint8_t convention = atr.inverse ? 0x02 : 0x00;
  s.t0.fidi = s.t1.fidi = FidiValid(atr.fidi) ? atr.fidi : 0x11;
  s.t0.tcckst = convention;
  s.t1.tcckst = static_cast<std::uint8_t>(0x10 | convention | (atr.crc ? 1 : 0));
  s.t0.guard = s.t1.guard = atr.guard;
  s.t0.wi = atr.wi;
  s.t1.ifsc = atr.ifsc;
  s.t1.bwi_cwi = atr.bwi_cwi;
}

ccid::Bytes CcidFirmware::ParametersPayload(const Slot& s) const {
  if (s.protocol == 1)
    return {s.t1.fidi, s.t1.tcckst, s.t1.guard, s.t1.bwi_cwi, s.t1.clock_stop, s.t1.ifsc, s.t1.nad};
  return {s.t0.fidi, s.t0.tcckst, s.t0.guard, s.t0.wi, s.t0.clock_stop};
}

// PC_to_RDR_IccPowerOn: bPowerSelect names a class the reader supports, or 0 for the
// reader's own choice, which tries its classes from the lowest voltage up (ISO/IEC
// 7816-3 class selection). An active card at the same class (or with automatic
// selection) gets a warm reset. The answer carries the ATR.
CcidFirmware::Outcome CcidFirmware::PowerOn(const ccid::Header& h) {
  const std::uint8_t select = h.b7;
  const std::uint8_t supported = profile_.VoltageSupport();
  if (select > kPower1V8 || (select != kAutomatic && !(supported & kVoltageBit[select]))) {
    NoteHostError(h, "bPowerSelect names a voltage the reader does not support");
    return {Failure(h, ccid::kBadPowerSelect)};
  }
  Slot& s = slots_[h.slot];
  if (!s.card) return {Failure(h, ccid::kIccMute, ccid::kIccAbsent)};
  std::optional<Bytes> atr;
  if (s.powered && (select == kAutomatic || kVoltageOf[select] == s.voltage)) {
    atr = s.card->WarmReset();
  } else {
    std::vector<IccVoltage> classes;
    if (select != kAutomatic) {
      classes.push_back(kVoltageOf[select]);
    } else {
      for (std::uint8_t sel : {kPower1V8, kPower3V, kPower5V})
        if (supported & kVoltageBit[sel]) classes.push_back(kVoltageOf[sel]);
      if (classes.empty()) classes.push_back(IccVoltage::V5_0);
    }
    for (IccVoltage v : classes) {
      atr = s.card->ColdReset(v);
      if (atr) {
        s.voltage = v;
        break;
      }
    }
  }
  s.command_chain.clear();
  s.response_rest.clear();
  s.chaining_in = false;
  if (!atr || atr->empty()) {
    s.card->Deactivate();
    s.powered = false;
    return {Failure(h, ccid::kIccMute)};
  }
  if ((*atr)[0] != 0x3B && (*atr)[0] != 0x3F) {
    s.card->Deactivate();
    s.powered = false;
    return {Failure(h, ccid::kBadAtrTs)};
  }
  s.powered = true;
  s.clock_stopped = false;
  s.atr = *atr;
  s.rate = 0x11;
  // The reset (RST low 400 clock cycles, the ATR at the latest 40,000 after it rises) and
  // the ATR at the default rate: 12 ETU a character.
  line_time_ += CyclesTime(kResetCycles) + EtuTime(12 * atr->size(), 0x11);
  s.t1_engine.reset();
  DefaultParameters(s);
  return {DataBlock(h, s.atr)};
}

CcidFirmware::Outcome CcidFirmware::PowerOff(const ccid::Header& h) {
  Slot& s = slots_[h.slot];
  if (s.card) s.card->Deactivate();
  s.powered = false;
  return {ccid::BuildMessage(ccid::kSlotStatus, h.slot, h.seq,
                             ccid::MakeStatus(ccid::kProcessed, static_cast<ccid::IccStatus>(IccStatusOf(h.slot))), 0,
                             kClockStoppedUnknown)};
}

CcidFirmware::Outcome CcidFirmware::SlotStatus(const ccid::Header& h) {
  const Slot& s = slots_[h.slot];
  const std::uint8_t clock = s.powered && !s.clock_stopped ? kClockRunning : kClockStoppedUnknown;
  return {ccid::BuildMessage(ccid::kSlotStatus, h.slot, h.seq,
                             ccid::MakeStatus(ccid::kProcessed, static_cast<ccid::IccStatus>(IccStatusOf(h.slot))), 0,
                             clock)};
}

CcidFirmware::Outcome CcidFirmware::IccClock(const ccid::Header& h) {
  Slot& s = slots_[h.slot];
  if (!s.card) return {Failure(h, ccid::kIccMute, ccid::kIccAbsent)};
  if (h.b7 > 1) {
    NoteHostError(h, "bClockCommand other than 0 or 1");
    return {Failure(h, 7)};
  }
  if (!s.powered) return {Failure(h, ccid::kIccMute)};
  s.clock_stopped = h.b7 == 1;
  return SlotStatus(h);
}

// PC_to_RDR_SetParameters: the T=0 or T=1 structure, every field checked; a bad one is
// answered with its offset in bError. The card takes the new protocol and Fi/Di.
CcidFirmware::Outcome CcidFirmware::SetParameters(const ccid::Header& h, std::span<const std::uint8_t> p) {
  Slot& s = slots_[h.slot];
  const std::uint8_t protocol = h.b7;
  auto bad = [&](std::uint8_t offset, const char* what) {
    NoteHostError(h, what);
    return Outcome{Failure(h, offset)};
  };
  if (protocol > 1 || !(profile_.Protocols() & (1u << protocol))) return bad(ccid::kBadProtocolNum, "protocol not offered");
  if (p.size() != (protocol == 0 ? kT0ParamsSize : kT1ParamsSize)) return bad(ccid::kBadLength, "parameter structure size");
  if (!s.card) return {Failure(h, ccid::kIccMute, ccid::kIccAbsent)};
  if (!FidiValid(p[0])) return bad(10, "bmFindexDindex names a reserved Fi or Di");
  if (protocol == 0) {
    if (p[1] != 0x00 && p[1] != 0x02) return bad(11, "bmTCCKST0 other than 00 or 02");
    if (p[4] > 3) return bad(14, "bClockStop above 3");
    s.t0 = T0Params{p[0], p[1], p[2], p[3], p[4]};
  } else {
    if ((p[1] & 0xFC) != 0x10) return bad(11, "bmTCCKST1 bits 7-2 other than 000100");
    if ((p[3] >> 4) > 9) return bad(13, "BWI above 9");
    if (p[4] > 3) return bad(14, "bClockStop above 3");
    if (p[5] == 0x00 || p[5] == 0xFF) return bad(15, "bIFSC 00 or FF");
    if (p[6] != 0 && !(profile_.Features() & ccid::kFeatureNad)) return bad(16, "bNadValue without NAD support");
    s.t1 = T1Params{p[0], p[1], p[2], p[3], p[4], p[5], p[6]};
  }
  s.protocol = protocol;
  s.t1_engine.reset();
  if (s.powered && p[0] != s.rate) line_time_ += EtuTime(12 * kPpsCharacters, 0x11);
  if (s.powered) s.rate = p[0];
  if (s.powered && !s.card->SetParameters(protocol, p[0])) return {Failure(h, ccid::kIccMute)};
  return GetParameters(h, false);
}

CcidFirmware::Outcome CcidFirmware::GetParameters(const ccid::Header& h, bool reset) {
  Slot& s = slots_[h.slot];
  if (!s.card) return {Failure(h, ccid::kIccMute, ccid::kIccAbsent)};
  if (reset) {
    DefaultParameters(s);
    s.t1_engine.reset();
  }
  return {ccid::BuildMessage(ccid::kParameters, h.slot, h.seq,
                             ccid::MakeStatus(ccid::kProcessed, static_cast<ccid::IccStatus>(IccStatusOf(h.slot))), 0,
                             s.protocol, ParametersPayload(s))};
}

CcidFirmware::Exchange CcidFirmware::Tpdu(Slot& s, std::span<const std::uint8_t> tpdu) {
  IccLink link(*s.card, &noise_);
  LinkResult r;
  if (s.protocol == 1) {
    // After S(WTX response) the card takes the multiplier of BWT it asked for.
    if (tpdu.size() >= 4 && tpdu[1] == kPcbWtxResponse && tpdu[2] == 1) ChargeWaits(s, 0, tpdu[3]);
    r = link.T1Block(tpdu, (s.t1.tcckst & 1) != 0);
  } else {
    if (tpdu.size() < 5 || (tpdu.size() > 5 && tpdu.size() != 5u + tpdu[4])) return {{}, 0, ccid::kBadData};
    r = link.T0Tpdu(tpdu);
    ChargeWaits(s, r.waits, 0);
  }
  return {std::move(r.data), r.waits, r.error};
}

// PC_to_RDR_XfrBlock at the reader's exchange level.
CcidFirmware::Outcome CcidFirmware::XfrBlock(const ccid::Header& h, std::span<const std::uint8_t> payload) {
  Slot& s = slots_[h.slot];
  const Level level = ExchangeLevel();
  if (level == Level::ExtendedApdu) return XfrExtended(h, payload);
  if (!s.card) return {Failure(h, ccid::kIccMute, ccid::kIccAbsent)};
  if (!s.powered) return {Failure(h, ccid::kIccMute)};
  Exchange x;
  if (level == Level::Character) {
    IccLink link(*s.card, &noise_);
    LinkResult r = link.Characters(payload, h.Level());
    if (s.protocol == 0) ChargeWaits(s, r.waits, 0);
    x = {std::move(r.data), r.waits, r.error};
  } else {
    if (h.Level() != 0) {
      NoteHostError(h, "wLevelParameter on a TPDU or short-APDU reader");
      return {Failure(h, ccid::kBadLevelParameter)};
    }
    if (payload.empty() || (level == Level::ShortApdu && payload.size() > kShortApduMax)) {
      NoteHostError(h, "no command, or a command too long for the exchange level");
      return {Failure(h, ccid::kBadData)};
    }
    x = level == Level::Tpdu ? Tpdu(s, payload) : Apdu(s, payload);
  }
  if (x.error == ccid::kBadData) NoteHostError(h, "malformed TPDU or APDU");
  if (x.error != 0) return {Failure(h, x.error), x.waits};
  if (ccid::kHeaderSize + x.data.size() > profile_.MaxMessageLength()) return {Failure(h, ccid::kXfrOverrun), x.waits};
  return {DataBlock(h, x.data), x.waits};
}

// Extended-APDU level: a command comes in parts chained by wLevelParameter (1 begins,
// 3 continues, 2 ends; each part but the last answered with an empty DataBlock whose
// bChainParameter 0x10 asks for more); an answer longer than one message goes out in
// parts (bChainParameter 1, 3, 2), the host asking for each next one with an empty
// XfrBlock of wLevelParameter 0x10.
CcidFirmware::Outcome CcidFirmware::XfrExtended(const ccid::Header& h, std::span<const std::uint8_t> payload) {
  Slot& s = slots_[h.slot];
  const std::uint16_t level = h.Level();
  const std::size_t part_max = profile_.MaxMessageLength() - ccid::kHeaderSize;
  auto send_part = [&](bool first) {
    const std::size_t n = std::min(part_max, s.response_rest.size());
    ccid::Bytes part(s.response_rest.begin(), s.response_rest.begin() + n);
    s.response_rest.erase(s.response_rest.begin(), s.response_rest.begin() + n);
    const bool last = s.response_rest.empty();
    const std::uint8_t chain = first ? (last ? ccid::kChainBeginEnd : ccid::kChainBegin)
                                     : (last ? ccid::kChainEnd : ccid::kChainMiddle);
    return DataBlock(h, part, chain);
  };
  if (!s.card) return {Failure(h, ccid::kIccMute, ccid::kIccAbsent)};
  if (!s.powered) return {Failure(h, ccid::kIccMute)};
  if (level == ccid::kChainContinue) {
    if (s.response_rest.empty()) {
      NoteHostError(h, "asked for an answer part when none is left");
      return {Failure(h, ccid::kBadLevelParameter)};
    }
    return {send_part(false)};
  }
  s.response_rest.clear();
  const bool begins = level == ccid::kChainBeginEnd || level == ccid::kChainBegin;
  const bool ends = level == ccid::kChainBeginEnd || level == ccid::kChainEnd;
  if (level > ccid::kChainMiddle || begins == s.chaining_in) {
    NoteHostError(h, "wLevelParameter out of order");
    s.command_chain.clear();
    s.chaining_in = false;
    return {Failure(h, ccid::kBadLevelParameter)};
  }
  s.command_chain.insert(s.command_chain.end(), payload.begin(), payload.end());
  if (!ends) {
    s.chaining_in = true;
    return {DataBlock(h, {}, ccid::kChainContinue)};
  }
  s.chaining_in = false;
  ccid::Bytes command = std::move(s.command_chain);
  s.command_chain.clear();
  if (command.empty()) {
    NoteHostError(h, "empty command");
    return {Failure(h, ccid::kBadData)};
  }
  Exchange x = Apdu(s, command);
  if (x.error == ccid::kBadData) NoteHostError(h, "malformed APDU");
  if (x.error != 0) return {Failure(h, x.error), x.waits};
  s.response_rest = std::move(x.data);
  return {send_part(true), x.waits};
}

}  // namespace sim

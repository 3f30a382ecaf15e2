#include "card/sim_card.h"

namespace sim {
namespace {

std::uint8_t VoltageBit(IccVoltage voltage) {
  switch (voltage) {
    case IccVoltage::V5_0: return kVoltage5V;
    case IccVoltage::V3_0: return kVoltage3V;
    case IccVoltage::V1_8: return kVoltage1V8;
  }
  return 0;
}

}  // namespace

SimCard::SimCard(CardProfile profile)
    : profile_(std::move(profile)),
      atr_bytes_(BuildAtr(profile_)),
      atr_(iso7816::ParseAtr(atr_bytes_)),
      app_(profile_),
      t0_(app_, profile_, faults_, counters_),
      t1_(app_, profile_, faults_, counters_, atr_.atr.t1_ifsc == 0 || atr_.atr.t1_ifsc == 0xFF ? 32 : atr_.atr.t1_ifsc,
          atr_.atr.t1_edc) {}

// Cold reset: activation at `voltage`. A card outside its voltage classes, or a mute one,
// stays silent and inactive.
std::optional<Bytes> SimCard::ColdReset(IccVoltage voltage) {
  Deactivate();
  if (profile_.mute || (profile_.voltages & VoltageBit(voltage)) == 0) return std::nullopt;
  active_ = true;
  return Answer();
}

std::optional<Bytes> SimCard::WarmReset() {
  if (!active_) return std::nullopt;
  return Answer();
}

// After either reset: a new session with the protocol the ATR implies (TA2's in specific
// mode, else TD1's) at the parameters it implies.
std::optional<Bytes> SimCard::Answer() {
  app_.ResetSession();
  t0_.Reset();
  t1_.Reset();
  silent_ = false;
  const iso7816::Atr& atr = atr_.atr;
  protocol_ = atr.specific_mode ? atr.specific_protocol : atr.first_protocol;
  fidi_ = atr.specific_mode && !atr.specific_implicit_parameters ? atr.Ta1() : 0x11;
  return atr_bytes_;
}

void SimCard::Deactivate() {
  active_ = false;
  silent_ = false;
  app_.ResetSession();
  t0_.Reset();
  t1_.Reset();
}

// What a PPS exchange would accept: an offered protocol (T=0 or T=1), and Fi/Di either
// the defaults or the card's Fi with a Di no faster than its own. In specific mode only
// the announced protocol with the announced parameters.
bool SimCard::ParametersAcceptable(int protocol, std::uint8_t fidi) const {
  const iso7816::Atr& atr = atr_.atr;
  if ((protocol != 0 && protocol != 1) || !atr.Offers(protocol)) return false;
  const unsigned fi_index = fidi >> 4;
  const unsigned di_index = fidi & 0x0F;
  if (iso7816::FiValue(fi_index) == 0 || iso7816::DiValue(di_index) == 0) return false;
  if (profile_.fastest_di != 0 && iso7816::DiValue(di_index) > iso7816::DiValue(profile_.fastest_di)) return false;
  if (atr.specific_mode) {
    const std::uint8_t required = atr.specific_implicit_parameters ? 0x11 : atr.Ta1();
    return protocol == atr.specific_protocol && fidi == required;
  }
  if (fidi == 0x11) return true;
  return fi_index == atr.fi_index && atr.Di() != 0 && iso7816::DiValue(di_index) <= atr.Di();
}

bool SimCard::SetParameters(int protocol, std::uint8_t fidi) {
  if (!active_) return false;
  if (!ParametersAcceptable(protocol, fidi)) {
    silent_ = true;
    return false;
  }
  protocol_ = protocol;
  fidi_ = fidi;
  t0_.Reset();
  t1_.Reset();
  return true;
}

void SimCard::Write(std::span<const std::uint8_t> bytes) {
  if (!active_ || silent_) return;
  if (protocol_ == 0) t0_.Write(bytes);
  if (protocol_ == 1) t1_.Write(bytes);
}

Bytes SimCard::Read() {
  if (!active_ || silent_) return {};
  if (protocol_ == 0) return t0_.Read();
  if (protocol_ == 1) return t1_.Read();
  return {};
}

}  // namespace sim

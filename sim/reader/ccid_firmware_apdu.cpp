// CCID firmware, APDU level: the reader runs T=0 or T=1 with the card itself, with the
// host engines of the ISO 7816 library over the reader's own contacts.
#include "iso7816/t0_host.h"
#include "reader/ccid_firmware.h"
#include "reader/icc_link.h"

namespace sim {

CcidFirmware::Exchange CcidFirmware::Apdu(Slot& s, std::span<const std::uint8_t> apdu) {
  return s.protocol == 1 ? ApduT1(s, apdu) : ApduT0(s, apdu);
}

// T=0: the APDU becomes TPDUs (GET RESPONSE after 61xx, a new Le after 6Cxx, ENVELOPE for
// long commands); each runs with its procedure bytes, NULL bytes counting as waits.
CcidFirmware::Exchange CcidFirmware::ApduT0(Slot& s, std::span<const std::uint8_t> apdu) {
  iso7816::T0ApduEngine engine(apdu);
  iso7816::T0ApduStep step = engine.Begin();
  if (step.kind == iso7816::T0ApduStep::Kind::kError) return {{}, 0, ccid::kBadData};
  IccLink link(*s.card, &noise_);
  Exchange x;
  while (step.kind == iso7816::T0ApduStep::Kind::kTpdu) {
    LinkResult r = link.T0Tpdu(step.tpdu);
    x.waits += r.waits;
    ChargeWaits(s, r.waits, 0);
    if (r.error != 0) {
      x.error = r.error;
      return x;
    }
    step = engine.OnTpduResponse(r.data);
  }
  if (step.kind == iso7816::T0ApduStep::Kind::kError) {
    x.error = ccid::kProcedureByteConflict;
    return x;
  }
  x.data = engine.Response();
  return x;
}

// T=1: one engine per powered card keeps the block sequence numbers, IFSC and IFSD
// between commands; each S(WTX request) of the card is one time extension for the host.
CcidFirmware::Exchange CcidFirmware::ApduT1(Slot& s, std::span<const std::uint8_t> apdu) {
  const bool crc = (s.t1.tcckst & 1) != 0;
  if (!s.t1_engine) {
    iso7816::T1HostConfig config;
    config.ifsc = s.t1.ifsc;
    config.ifsd = static_cast<std::uint8_t>(std::min<std::uint32_t>(profile_.MaxIfsd(), iso7816::kT1MaxInf));
    if (config.ifsd == 0) config.ifsd = iso7816::kT1DefaultIfs;
    config.edc = crc ? iso7816::Edc::kCrc : iso7816::Edc::kLrc;
    s.t1_engine = std::make_unique<iso7816::T1HostEngine>(config);
  }
  iso7816::T1HostEngine& engine = *s.t1_engine;
  IccLink link(*s.card, &noise_);
  Exchange x;
  bool silent = false;
  auto status = engine.Begin(apdu);
  while (status == iso7816::T1HostEngine::Status::kSend) {
    if (engine.Wtx() != 0) {
      ++x.waits;
      ChargeWaits(s, 0, engine.Wtx());
    }
    LinkResult r = link.T1Block(engine.NextBlock(), crc);
    silent = r.error != 0;
    status = engine.OnBlock(silent ? Bytes{} : r.data);
  }
  if (status == iso7816::T1HostEngine::Status::kError) {
    x.error = silent ? ccid::kIccMute : ccid::kXfrParityError;
    s.t1_engine.reset();  // the next command starts a new session
    return x;
  }
  x.data = engine.Response();
  return x;
}

}  // namespace sim

// CCID firmware, APDU level: the reader runs T=0 or T=1 with the card itself.
#include "reader/ccid_firmware.h"

namespace sim {

CcidFirmware::Exchange CcidFirmware::Apdu(Slot& s, std::span<const std::uint8_t> apdu) {
  return s.protocol == 1 ? ApduT1(s, apdu) : ApduT0(s, apdu);
}

CcidFirmware::Exchange CcidFirmware::ApduT0(Slot&, std::span<const std::uint8_t>) {
  return {{}, 0, ccid::kIccProtocolNotSupported};
}

CcidFirmware::Exchange CcidFirmware::ApduT1(Slot&, std::span<const std::uint8_t>) {
  return {{}, 0, ccid::kIccProtocolNotSupported};
}

}  // namespace sim

// How the hosted smart-card library reads an answer to reset, for the library itself
// (SmartcardUpdateCardCapabilities) and for tools that show the same reading.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <span>
#include <string>

#include "iso7816/atr.h"

namespace hosted::smclib {

struct AtrReading {
  NTSTATUS status = STATUS_SUCCESS;  // or STATUS_UNRECOGNIZED_MEDIA
  std::string reason;                // why the card is not recognised; empty on success
  bool inverseOnTheWire = false;     // the ATR began with 03: it was inverted before reading
  iso7816::Atr atr;                  // the logical bytes read (ISO 7816-3 defaults where absent)
  bool ok() const { return status == STATUS_SUCCESS; }
};

// The library's reading: the ATR must be one ISO 7816-3 ATR of at most 33 bytes with TS 3B
// or 3F (03, the inverse convention seen without decoding, is inverted first), ISO values
// of FI and DI, a correct TCK where one is due, and T=0 or T=1 among its protocols.
AtrReading ReadAtr(std::span<const std::uint8_t> bytes);

}  // namespace hosted::smclib

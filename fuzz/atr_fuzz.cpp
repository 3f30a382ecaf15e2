// Any byte string read as an answer to reset, by the ISO 7816 library and by the
// smart-card library stand-in as a reader driver hands it over (SmartcardUpdateCardCapabilities):
// neither may read past the bytes it was given, and whatever they accept must give sane
// derived values. Bytes past 33 go to the library too: its ATR buffer holds 64.
#include <smclib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "iso7816/atr.h"

namespace {

void ThroughTheLibrary(const std::uint8_t* data, std::size_t size) {
  static SMARTCARD_EXTENSION extension{};
  if (size == 0 || size > sizeof extension.CardCapabilities.ATR.Buffer) return;
  // A reader at 4 MHz; the first byte's low bit picks a slow or a fast one. The rest of the
  // extension stays from the last input, as a driver's does from one card to the next.
  SCARD_READER_CAPABILITIES& reader = extension.ReaderCapabilities;
  reader.CLKFrequency.Default = reader.CLKFrequency.Max = 4000;
  reader.DataRate.Default = 10752;
  reader.DataRate.Max = (data[size - 1] & 1) ? 344086 : 10752;
  SCARD_CARD_CAPABILITIES& card = extension.CardCapabilities;
  std::memcpy(card.ATR.Buffer, data, size);
  card.ATR.Length = static_cast<UCHAR>(size);
  if (SmartcardUpdateCardCapabilities(&extension) != STATUS_SUCCESS) return;
  if (size > 33) std::abort();
  if ((card.Protocol.Supported & (SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1)) == 0) std::abort();
  if (card.HistoricalChars.Length > sizeof card.HistoricalChars.Buffer) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ThroughTheLibrary(data, size);
  const auto result = iso7816::ParseAtr({data, size});
  if (!result.ok()) return 0;
  if (size > 33) std::abort();  // an ATR is at most 33 bytes long
  if (const auto timing = iso7816::ComputeTiming(result.atr, 4000000)) {
    if (!(timing->etu_us > 0)) std::abort();
  }
  return 0;
}

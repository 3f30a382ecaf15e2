// Any byte string read as an answer to reset: the parser must never read past the bytes
// it was given, and whatever it accepts must give sane derived times.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "iso7816/atr.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto result = iso7816::ParseAtr({data, size});
  if (!result.ok()) return 0;
  if (size > 33) std::abort();  // an ATR is at most 33 bytes long
  if (const auto timing = iso7816::ComputeTiming(result.atr, 4000000)) {
    if (!(timing->etu_us > 0)) std::abort();
  }
  return 0;
}

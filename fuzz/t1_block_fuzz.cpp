// Any byte string received as a T=1 block: decoding must stay inside the bytes, and a block
// that decodes must encode back to the same bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "iso7816/t1_block.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  for (const auto edc : {iso7816::Edc::kLrc, iso7816::Edc::kCrc}) {
    const auto decoded = iso7816::DecodeBlock({data, size}, edc);
    if (!decoded.ok()) continue;
    const auto encoded = iso7816::EncodeBlock(decoded.block, edc);
    if (encoded.size() != size || !std::equal(encoded.begin(), encoded.end(), data)) std::abort();
  }
  return 0;
}

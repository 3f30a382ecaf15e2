// PIN blocks as a card's VERIFY expects them (ASCII or BCD digits, with or without a
// length field, padded to a fixed block).
#include "card/card.h"

namespace sim {
namespace {

bool AllDigits(std::string_view digits) {
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

std::optional<iso7816::Bytes> EncodePin(const PinFormat& format, std::string_view digits) {
  if (!AllDigits(digits) || digits.size() > 15) return std::nullopt;
  iso7816::Bytes out;
  const auto n = static_cast<std::uint8_t>(digits.size());
  if (format.length_field == PinLengthField::kByte) out.push_back(n);
  if (format.length_field == PinLengthField::kControl) out.push_back(static_cast<std::uint8_t>(0x20 | n));
  if (format.encoding == PinEncoding::kAscii) {
    for (char c : digits) out.push_back(static_cast<std::uint8_t>(c));
  } else {
    for (std::size_t i = 0; i < digits.size(); i += 2) {
      const auto high = static_cast<std::uint8_t>(digits[i] - '0');
      const auto low = i + 1 < digits.size() ? static_cast<std::uint8_t>(digits[i + 1] - '0')
                                             : static_cast<std::uint8_t>(format.pad & 0x0F);
      out.push_back(static_cast<std::uint8_t>(high << 4 | low));
    }
  }
  if (format.block_size == 0) return out;
  if (out.size() > format.block_size) return std::nullopt;
  const std::uint8_t pad = format.encoding == PinEncoding::kAscii
                               ? format.pad
                               : static_cast<std::uint8_t>((format.pad & 0x0F) * 0x11);
  out.resize(format.block_size, pad);
  return out;
}

std::optional<std::string> DecodePin(const PinFormat& format, iso7816::ByteView block) {
  if (format.block_size != 0 && block.size() != format.block_size) return std::nullopt;
  std::size_t at = 0;
  std::optional<std::size_t> declared;
  if (format.length_field != PinLengthField::kNone) {
    if (block.empty()) return std::nullopt;
    const std::uint8_t first = block[at++];
    if (format.length_field == PinLengthField::kControl) {
      if ((first >> 4) != 2) return std::nullopt;
      declared = first & 0x0F;
    } else {
      declared = first;
    }
  }
  std::string digits;
  bool padding = false;
  if (format.encoding == PinEncoding::kAscii) {
    for (; at < block.size(); ++at) {
      const std::uint8_t c = block[at];
      const bool counted = declared && digits.size() < *declared;
      if (!padding && (counted || (!declared && c >= '0' && c <= '9'))) {
        if (c < '0' || c > '9') return std::nullopt;
        digits.push_back(static_cast<char>(c));
      } else if (c == format.pad) {
        padding = true;
      } else {
        return std::nullopt;
      }
    }
  } else {
    const std::uint8_t pad = format.pad & 0x0F;
    for (; at < block.size(); ++at) {
      for (int shift = 4; shift >= 0; shift -= 4) {
        const std::uint8_t nibble = (block[at] >> shift) & 0x0F;
        const bool counted = declared && digits.size() < *declared;
        if (!padding && (counted || (!declared && nibble <= 9))) {
          if (nibble > 9) return std::nullopt;
          digits.push_back(static_cast<char>('0' + nibble));
        } else if (nibble == pad) {
          padding = true;
        } else {
          return std::nullopt;
        }
      }
    }
  }
  if (declared && digits.size() != *declared) return std::nullopt;
  if (digits.size() < format.min_digits || digits.size() > format.max_digits) return std::nullopt;
  return digits;
}

}  // namespace sim

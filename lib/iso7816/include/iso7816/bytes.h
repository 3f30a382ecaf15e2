// Byte strings as the ISO 7816 code passes them around, and hexadecimal text for them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace iso7816 {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// Hexadecimal text to bytes. Spaces, colons and dashes between digit pairs are allowed;
// nothing when the text has an odd digit count or a character that is not a digit.
std::optional<Bytes> FromHex(std::string_view text);

// Bytes to upper-case hexadecimal text; `separator` (if not 0) goes between bytes.
std::string ToHex(ByteView bytes, char separator = 0);

}  // namespace iso7816

#include "iso7816/edc.h"

namespace iso7816 {
namespace {

// The ISO/IEC 13239 polynomial 0x1021 in the bit-reversed form used when the least
// significant bit is processed first.
constexpr std::uint16_t kReflectedPolynomial = 0x8408;

std::uint16_t CrcRegister(ByteView bytes) {
  std::uint16_t reg = 0xFFFF;
  for (std::uint8_t byte : bytes) {
    reg ^= byte;
    for (int bit = 0; bit < 8; ++bit) {
      reg = (reg & 1) ? static_cast<std::uint16_t>((reg >> 1) ^ kReflectedPolynomial)
                      : static_cast<std::uint16_t>(reg >> 1);
    }
  }
  return reg;
}

}  // namespace

std::uint8_t Lrc(ByteView bytes) {
  std::uint8_t lrc = 0;
  for (std::uint8_t byte : bytes) lrc ^= byte;
  return lrc;
}

std::uint16_t Crc16(ByteView bytes) { return static_cast<std::uint16_t>(~CrcRegister(bytes)); }

Bytes ComputeEdc(Edc edc, ByteView bytes) {
  if (edc == Edc::kLrc) return {Lrc(bytes)};
  const std::uint16_t crc = Crc16(bytes);
  return {static_cast<std::uint8_t>(crc & 0xFF), static_cast<std::uint8_t>(crc >> 8)};
}

bool EdcValid(Edc edc, ByteView block) {
  const std::size_t n = EdcLength(edc);
  if (block.size() < n) return false;
  const Bytes expected = ComputeEdc(edc, block.first(block.size() - n));
  for (std::size_t i = 0; i < n; ++i) {
    if (block[block.size() - n + i] != expected[i]) return false;
  }
  return true;
}

}  // namespace iso7816

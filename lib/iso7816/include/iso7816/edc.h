// Error detection codes of the T=1 epilogue field (ISO/IEC 7816-3 block protocol).
//
// LRC: one byte, the exclusive-or of every byte of the prologue and information fields.
// CRC: two bytes, the frame check sequence of ISO/IEC 13239 (HDLC) that 7816-3 names:
// generator x^16 + x^12 + x^5 + 1, register preset to FFFF, bits processed least
// significant first, ones' complement of the register sent, low-order byte first.
// Over a block with a correct CRC the register ends on the constant F0B8.
#pragma once

#include <cstddef>
#include <cstdint>

#include "iso7816/bytes.h"

namespace iso7816 {

enum class Edc : std::uint8_t { kLrc, kCrc };

std::uint8_t Lrc(ByteView bytes);

// The 16-bit frame check sequence (after the ones' complement).
std::uint16_t Crc16(ByteView bytes);

// Length of the epilogue field: 1 for LRC, 2 for CRC.
constexpr std::size_t EdcLength(Edc edc) { return edc == Edc::kCrc ? 2 : 1; }

// The epilogue bytes in transmission order for `bytes` (prologue + information field).
Bytes ComputeEdc(Edc edc, ByteView bytes);

// True when `block` (prologue, information field and epilogue) ends with a correct EDC.
bool EdcValid(Edc edc, ByteView block);

}  // namespace iso7816

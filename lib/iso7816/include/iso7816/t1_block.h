// T=1 blocks (ISO/IEC 7816-3 block transmission protocol): NAD PCB LEN INF EDC.
//
// PCB coding:
//   I-block  0 N(S) M 0 0 0 0 0        N(S) send sequence number, M more data (chaining)
//   R-block  1 0 0 N(R) e e e e        N(R) expected sequence number, e: 0 error free,
//                                      1 EDC or parity error, 2 other error
//   S-block  1 1 R t t t t t           R: response, t: 0 RESYNCH, 1 IFS, 2 ABORT, 3 WTX,
//                                      4 VPP error (response only)
#pragma once

#include <cstdint>
#include <string_view>

#include "iso7816/bytes.h"
#include "iso7816/edc.h"

namespace iso7816 {

constexpr std::size_t kT1PrologueLength = 3;
constexpr std::uint8_t kT1MaxInf = 254;      // LEN 255 is reserved
constexpr std::uint8_t kT1DefaultIfs = 32;   // IFSC and IFSD before any other indication

enum class BlockKind : std::uint8_t { kI, kR, kS };
enum class RCode : std::uint8_t { kNoError = 0, kEdcError = 1, kOtherError = 2 };
enum class SType : std::uint8_t { kResynch = 0, kIfs = 1, kAbort = 2, kWtx = 3, kVppError = 4 };

struct Block {
  std::uint8_t nad = 0;
  std::uint8_t pcb = 0;
  Bytes inf;

  static Block I(int ns, bool more, Bytes inf, std::uint8_t nad = 0);
  static Block R(int nr, RCode code = RCode::kNoError, std::uint8_t nad = 0);
  static Block S(SType type, bool response, Bytes inf = {}, std::uint8_t nad = 0);

  BlockKind Kind() const;
  int Ns() const { return (pcb >> 6) & 1; }             // I-blocks
  bool More() const { return (pcb & 0x20) != 0; }       // I-blocks
  int Nr() const { return (pcb >> 4) & 1; }             // R-blocks
  RCode Code() const { return static_cast<RCode>(pcb & 0x0F); }  // R-blocks
  SType Type() const { return static_cast<SType>(pcb & 0x1F); }  // S-blocks
  bool IsResponse() const { return (pcb & 0x20) != 0; }          // S-blocks
  bool IsS(SType type, bool response) const {
    return Kind() == BlockKind::kS && Type() == type && IsResponse() == response;
  }
  bool operator==(const Block&) const = default;
};

// Why a received block is not valid. Every value but kNone makes the block "invalid" in
// the sense of the error-handling rules of the protocol.
enum class BlockError : std::uint8_t {
  kNone,
  kTooShort,        // fewer bytes than prologue and epilogue
  kLengthMismatch,  // LEN does not match the bytes received
  kBadEdc,          // LRC or CRC wrong
  kReservedLen,     // LEN 255
  kInfTooLong,      // LEN above the receiver's information field size
  kBadPcb,          // reserved PCB coding (R-block error code, S-block type, RFU bits)
  kBadInf,          // INF not allowed for the block kind (R-block with INF, S(IFS) size...)
};

std::string_view BlockErrorText(BlockError error);

struct DecodedBlock {
  Block block;              // valid only when error is kNone
  BlockError error = BlockError::kNone;
  bool ok() const { return error == BlockError::kNone; }
};

Bytes EncodeBlock(const Block& block, Edc edc);

// Checks and splits a received block. `max_inf` is the receiver's information field size
// (IFSD on the host side, IFSC on the card side).
DecodedBlock DecodeBlock(ByteView bytes, Edc edc, std::size_t max_inf = kT1MaxInf);

// Short text such as "I(0,M)", "R(1,EDC)", "S(WTX req 03)" for traces and test messages.
std::string DescribeBlock(const Block& block);

}  // namespace iso7816

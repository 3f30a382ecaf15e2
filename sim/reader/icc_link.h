// The reader's side of the card contacts: one T=0 TPDU with its procedure bytes, one
// T=1 block and its answer block, and the answer-to-reset facts the reader acts on.
#pragma once

#include <cstdint>
#include <span>

#include "card/icc.h"
#include "reader/ccid_wire.h"

namespace sim {

struct LinkResult {
  ccid::Bytes data;         // T=0: response data then SW1 SW2; T=1: the card's block
  std::uint32_t waits = 0;  // NULL procedure bytes: the card asked for more time
  std::uint8_t error = 0;   // 0, or the CCID slot error (ICC_MUTE, PROCEDURE_BYTE_CONFLICT...)
};

// Line noise during one command: the n-th byte (counted from 1 over the whole command)
// in each direction arrives with its low bit flipped, as a character whose parity error
// went unnoticed would. 0: that direction is clean.
struct LineNoise {
  std::uint32_t to_card = 0;
  std::uint32_t to_host = 0;
  std::uint32_t sent = 0;      // bytes written to the card so far
  std::uint32_t received = 0;  // bytes read from the card so far
  std::uint32_t garbled = 0;   // bytes the noise hit
};

class IccLink {
 public:
  explicit IccLink(Icc& card, LineNoise* noise = nullptr) : card_(card), noise_(noise) {}

  // A T=0 TPDU: the 5-byte header, then P3 data bytes for an outgoing command or none
  // for an incoming one (P3 = Le, 0 meaning 256). The reader answers the procedure
  // bytes itself: ACK (INS) moves the rest, ~INS one byte, 0x60 asks for more time.
  LinkResult T0Tpdu(std::span<const std::uint8_t> tpdu);

  // A T=1 block written as it is; the answer is the card's next whole block (prologue,
  // INF and an LRC or, with `crc`, a CRC of two bytes).
  LinkResult T1Block(std::span<const std::uint8_t> block, bool crc);

  // Character level: writes the bytes, then reads `expected` bytes (0: whatever the
  // card has to send).
  LinkResult Characters(std::span<const std::uint8_t> bytes, std::uint16_t expected);

 private:
  bool NextByte(std::uint8_t& byte);
  bool ReadBytes(std::size_t count, ccid::Bytes& into);
  void Send(std::span<const std::uint8_t> bytes);
  ccid::Bytes Receive();

  Icc& card_;
  LineNoise* noise_;
  ccid::Bytes pending_;  // bytes the card sent that the reader has not looked at yet
  std::size_t next_ = 0;
};

// What the reader takes from an answer to reset for its default parameters.
struct AtrFacts {
  bool valid = false;     // TS is 3B or 3F and the interface bytes are all there
  bool inverse = false;
  std::uint8_t first_protocol = 0;  // T of TD1, 0 when absent
  bool offers_t1 = false;
  std::uint8_t fidi = 0x11;         // TA1
  std::uint8_t guard = 0;           // TC1
  std::uint8_t wi = 0x0A;           // TC2
  std::uint8_t ifsc = 0x20;         // first TA for T=1
  std::uint8_t bwi_cwi = 0x4D;      // first TB for T=1
  bool crc = false;                 // first TC for T=1, bit 0
};

AtrFacts ReadAtrFacts(std::span<const std::uint8_t> atr);

}  // namespace sim

// Answer to reset (ISO/IEC 7816-3 clause 8): reading every byte, the Fi/Di tables and the
// times that follow from them.
//
// The bytes are logical: an inverse-convention card's ATR begins with 3F and the rest is
// already decoded.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "iso7816/bytes.h"
#include "iso7816/edc.h"

namespace iso7816 {

constexpr std::size_t kMaxAtrLength = 33;  // TS plus at most 32 further characters
constexpr std::uint8_t kTsDirect = 0x3B;
constexpr std::uint8_t kTsInverse = 0x3F;

enum class Convention : std::uint8_t { kDirect, kInverse };

// Fi, the clock rate conversion integer, by its 4-bit index; 0 for reserved indexes.
unsigned FiValue(unsigned fi_index);
// f(max) in Hz that goes with Fi; 0 for reserved indexes.
unsigned FMaxHz(unsigned fi_index);
// Di, the baud rate adjustment integer, by its 4-bit index; 0 for reserved indexes
// (index 7, 64, as defined since the 2006 edition).
unsigned DiValue(unsigned di_index);

// One group of interface characters: TAi, TBi, TCi, TDi (i = 1, 2, ...).
struct InterfaceGroup {
  std::optional<std::uint8_t> ta, tb, tc, td;
};

enum class AtrError : std::uint8_t {
  kNone,
  kEmpty,
  kBadTs,            // neither 3B nor 3F
  kTooLong,          // more than 33 bytes
  kTruncated,        // interface or historical bytes missing
  kMissingTck,       // a TCK is required and absent
  kWrongTck,
  kTrailingBytes,    // bytes after the last character of the ATR
};

struct Atr {
  Bytes bytes;  // the whole ATR as received
  Convention convention = Convention::kDirect;
  std::uint8_t t0 = 0;
  std::vector<InterfaceGroup> groups;  // groups[0] is TA1..TD1

  // Global values (defaults when the byte is absent).
  std::uint8_t fi_index = 1;   // TA1 high nibble
  std::uint8_t di_index = 1;   // TA1 low nibble
  std::uint8_t n_guard = 0;    // TC1
  // Protocols offered: bit t set for each TDi that names T=t, and T=0 when there is no TD1.
  std::uint16_t protocols = 0;
  int first_protocol = 0;      // TD1's protocol, or 0: the one used without PPS
  // Specific mode: TA2 present. Its protocol (low nibble), and b5: parameters implicit
  // rather than those of TA1.
  bool specific_mode = false;
  int specific_protocol = 0;
  bool specific_implicit_parameters = false;
  std::uint8_t t0_wi = 10;     // TC2

  // T=1 values from the first TAi, TBi, TCi (i >= 3) after a TD naming T=1, each on its own.
  std::uint8_t t1_ifsc = 32;
  std::uint8_t t1_bwi = 4;
  std::uint8_t t1_cwi = 13;
  Edc t1_edc = Edc::kLrc;

  Bytes historical;             // the K historical bytes (as many as were present)
  bool tck_present = false;     // a TCK is expected: a protocol other than T=0 is offered
  std::optional<bool> tck_ok;   // checked only when the TCK byte is there

  bool Offers(int protocol) const { return protocol >= 0 && protocol < 16 && (protocols >> protocol & 1); }
  unsigned Fi() const { return FiValue(fi_index); }
  unsigned Di() const { return DiValue(di_index); }
  unsigned FMax() const { return FMaxHz(fi_index); }
  bool HasTa1() const { return !groups.empty() && groups[0].ta.has_value(); }
  // TA1 in its coded form (0x11 when absent).
  std::uint8_t Ta1() const { return static_cast<std::uint8_t>(fi_index << 4 | di_index); }
};

struct AtrParseResult {
  Atr atr;                 // every field read as far as the bytes allowed, also on failure
  AtrError error = AtrError::kNone;
  std::string reason;      // empty on success
  bool ok() const { return error == AtrError::kNone; }
};

AtrParseResult ParseAtr(ByteView bytes);

// Times in microseconds for a card clocked at `clock_hz` with the transmission factors
// Fi/Di given by their indexes (before PPS: 1/1 unless the card is in specific mode).
struct AtrTiming {
  double etu_us = 0;   // Fi / (Di f)
  double gt_us = 0;    // (12 + N) etu; N = 255: 12 etu for T=0, 11 etu for T=1
  double gt_t1_us = 0;
  double wt_us = 0;    // T=0: 960 WI Fi / f
  double cwt_us = 0;   // T=1: (11 + 2^CWI) etu
  double bwt_us = 0;   // T=1: 11 etu + 2^BWI x 960 x 372 / f
  double bgt_us = 0;   // T=1: 22 etu
};

// Nothing when the indexes are reserved or the clock is 0.
std::optional<AtrTiming> ComputeTiming(const Atr& atr, unsigned clock_hz, unsigned fi_index,
                                       unsigned di_index);
// With the card's own TA1 values.
std::optional<AtrTiming> ComputeTiming(const Atr& atr, unsigned clock_hz);

}  // namespace iso7816

// The reader's PIN pad: a scripted keypad, PIN entry by the CCID entry rules, and the
// insertion of the formatted PIN block into the command APDU.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

#include "reader/ccid_wire.h"

namespace sim {

// Keys the simulated user presses, in order: '0'-'9' digits, 'E' or '#' enter (OK), 'C'
// cancel, 'B' or '*' backspace (correction), '.' a pause long enough for the reader to
// send one time extension. When the script runs out the user stops typing and the entry
// times out.
class Keypad {
 public:
  void Type(std::string_view keys) { keys_.insert(keys_.end(), keys.begin(), keys.end()); }
  void Clear() { keys_.clear(); }
  bool Empty() const { return keys_.empty(); }
  bool Next(char& key) {
    if (keys_.empty()) return false;
    key = keys_.front();
    keys_.pop_front();
    return true;
  }

 private:
  std::deque<char> keys_;
};

struct PinEntryRules {
  std::uint8_t min_digits = 0;   // wPINMaxExtraDigit high byte
  std::uint8_t max_digits = 0;   // wPINMaxExtraDigit low byte
  std::uint8_t validation = 0;   // bEntryValidationCondition: 1 max reached, 2 key, 4 time-out
};

enum class PinOutcome { Entered, TimedOut, Cancelled };

struct PinEntry {
  PinOutcome outcome = PinOutcome::TimedOut;
  std::string digits;
  std::uint32_t pauses = 0;  // time extensions the entry cost
};

// One PIN entry key by key. Digits beyond the maximum are ignored; enter with fewer
// digits than the minimum is ignored (the user goes on typing). Key returns the outcome
// once a key ends the entry; TimeOut ends it when the user stops typing: the time-out
// validates the entry when the rules allow it and the length is within bounds.
class PinEntryState {
 public:
  explicit PinEntryState(const PinEntryRules& rules) : rules_(rules) {}
  std::optional<PinOutcome> Key(char key);
  PinOutcome TimeOut() const;
  const std::string& Digits() const { return digits_; }

 private:
  PinEntryRules rules_;
  std::string digits_;
};

// One PIN entry with the whole script typed at once (a reader without a clock): '.'
// pauses count as time extensions, and the end of the script is the time-out.
PinEntry ReadPin(Keypad& keypad, const PinEntryRules& rules);

// bmFormatString, bmPINBlockString and bmPINLengthFormat of a PIN structure.
struct PinBlockFormat {
  std::uint8_t format_string = 0;
  std::uint8_t block_string = 0;
  std::uint8_t length_format = 0;
};

// Writes `digits` into the data field of `apdu` (CLA INS P1 P2 Lc data...), starting
// `insertion_offset` bytes into the data field: the PIN block at the position of
// bmFormatString (in bits or bytes), coded binary (one byte per digit), BCD or ASCII,
// left or right justified in a block of bmPINBlockString bytes (0: just the digits),
// bytes of the block that no digit covers keep the template's value; then the PIN length
// in a field of bmPINBlockString bits at the position of bmPINLengthFormat. Bit
// positions count from the most significant bit of the first data byte. A data field
// too short for the block is extended (Lc follows) when the APDU ends with it. False
// when the format is not valid or the block does not fit.
bool InsertPin(ccid::Bytes& apdu, std::string_view digits, const PinBlockFormat& format,
               std::size_t insertion_offset);

}  // namespace sim

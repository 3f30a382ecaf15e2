// PIN entry and PIN block formatting.
#include "reader/pin_pad.h"

namespace sim {
namespace {

constexpr std::size_t kApduHeader = 5;  // CLA INS P1 P2 Lc
enum PinCoding : std::uint8_t { kBinary = 0, kBcd = 1, kAscii = 2 };

bool InBounds(const PinEntryRules& rules, std::size_t n) {
  return n > 0 && n >= rules.min_digits && (rules.max_digits == 0 || n <= rules.max_digits);
}

// Writes `width` bits of `value`, most significant first, at bit `at` of `data`.
void WriteBits(ccid::Bytes& data, std::size_t base, std::size_t at, std::size_t width, std::uint32_t value) {
  for (std::size_t i = 0; i < width; ++i) {
    const std::size_t bit = at + i;
    const std::uint8_t mask = static_cast<std::uint8_t>(0x80 >> (bit % 8));
    std::uint8_t& byte = data[base + bit / 8];
    if ((value >> (width - 1 - i)) & 1)
      byte |= mask;
    else
      byte &= static_cast<std::uint8_t>(~mask);
  }
}

}  // namespace

std::optional<PinOutcome> PinEntryState::Key(char key) {
  if (key >= '0' && key <= '9') {
    if (rules_.max_digits != 0 && digits_.size() >= rules_.max_digits) return std::nullopt;
    digits_.push_back(key);
    if ((rules_.validation & 1) && rules_.max_digits != 0 && digits_.size() == rules_.max_digits)
      return PinOutcome::Entered;
  } else if (key == 'E' || key == '#') {
    if ((rules_.validation & 2) && InBounds(rules_, digits_.size())) return PinOutcome::Entered;
  } else if (key == 'C') {
    return PinOutcome::Cancelled;
  } else if (key == 'B' || key == '*') {
    if (!digits_.empty()) digits_.pop_back();
  }
  return std::nullopt;
}

PinOutcome PinEntryState::TimeOut() const {
  return (rules_.validation & 4) && InBounds(rules_, digits_.size()) ? PinOutcome::Entered : PinOutcome::TimedOut;
}

PinEntry ReadPin(Keypad& keypad, const PinEntryRules& rules) {
  PinEntry entry;
  PinEntryState state(rules);
  char key = 0;
  while (keypad.Next(key)) {
    if (key == '.') ++entry.pauses;
    if (auto outcome = state.Key(key)) {
      entry.outcome = *outcome;
      entry.digits = state.Digits();
      return entry;
    }
  }
  ++entry.pauses;  // the reader waited out the time-out
  entry.outcome = state.TimeOut();
  entry.digits = state.Digits();
  return entry;
}

bool InsertPin(ccid::Bytes& apdu, std::string_view digits, const PinBlockFormat& f, std::size_t insertion_offset) {
  if (apdu.size() < kApduHeader) return false;
  const std::uint8_t coding = f.format_string & 3;
  if (coding > kAscii) return false;
  const std::size_t digit_bits = coding == kBcd ? 4 : 8;
  const std::size_t pin_bits = digits.size() * digit_bits;
  const std::size_t block_size = f.block_string & 0x0F;
  const std::size_t block_bits = block_size ? block_size * 8 : pin_bits;
  if (pin_bits > block_bits) return false;
  const std::size_t origin = insertion_offset * 8;
  const std::size_t pin_pos = ((f.format_string >> 3) & 0x0F) * ((f.format_string & 0x80) ? 8 : 1);
  const std::size_t length_bits = f.block_string >> 4;
  const std::size_t length_pos = (f.length_format & 0x0F) * ((f.length_format & 0x10) ? 8 : 1);
  std::size_t needed_bits = origin + pin_pos + block_bits;
  if (length_bits) needed_bits = std::max(needed_bits, origin + length_pos + length_bits);
  const std::size_t needed = (needed_bits + 7) / 8;
  const std::size_t data_size = apdu.size() - kApduHeader;
  if (needed > data_size) {
    if (apdu[4] != data_size || needed > 255) return false;  // only a data field that ends the APDU grows
    apdu.resize(kApduHeader + needed, 0xFF);
    apdu[4] = static_cast<std::uint8_t>(needed);
  }
  const bool right = (f.format_string & 0x04) != 0;
  std::size_t at = origin + pin_pos + (right ? block_bits - pin_bits : 0);
  for (char d : digits) {
    const std::uint32_t value = static_cast<std::uint32_t>(coding == kAscii ? d : d - '0');
    WriteBits(apdu, kApduHeader, at, digit_bits, value);
    at += digit_bits;
  }
  if (length_bits) WriteBits(apdu, kApduHeader, origin + length_pos, length_bits, static_cast<std::uint32_t>(digits.size()));
  return true;
}

}  // namespace sim

// What a script expects an answer to be: hex bytes where `X` matches any nibble and `..`
// any number of bytes (`9000`, `61XX`, `.. 9000`, `6F .. 90 00`).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ccidsim {

using Bytes = std::vector<std::uint8_t>;

class Expectation {
 public:
  // Nothing, with the reason in `error`, when `text` is not a pattern: a character other
  // than a hex digit, X, `..` and blanks, or a byte cut in half by `..` or the end.
  static std::optional<Expectation> Parse(std::string_view text, std::string* error);

  bool Matches(std::span<const std::uint8_t> answer) const;
  // The pattern as the script wrote it, in canonical form ("6A XX .. 90 00").
  std::string Text() const;

 private:
  struct Piece {
    bool anyBytes = false;   // `..`
    std::uint8_t value = 0;  // otherwise one byte: (answer & mask) == value
    std::uint8_t mask = 0xFF;
  };
  bool MatchFrom(std::size_t piece, std::span<const std::uint8_t> answer) const;

  std::vector<Piece> pieces_;
};

}  // namespace ccidsim

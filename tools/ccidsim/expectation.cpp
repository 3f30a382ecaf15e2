// Answer patterns of `ccidsim run` scripts and their matching.
#include "expectation.h"

#include <cctype>

namespace ccidsim {
namespace {

// One pattern nibble: its value and mask, or nothing for a character that is none.
std::optional<std::pair<std::uint8_t, std::uint8_t>> Nibble(char c) {
  if (c == 'X' || c == 'x') return std::pair<std::uint8_t, std::uint8_t>{0, 0};
  if (c >= '0' && c <= '9') return std::pair<std::uint8_t, std::uint8_t>{static_cast<std::uint8_t>(c - '0'), 0xF};
  const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (upper >= 'A' && upper <= 'F')
    return std::pair<std::uint8_t, std::uint8_t>{static_cast<std::uint8_t>(upper - 'A' + 10), 0xF};
  return std::nullopt;
}

constexpr char kHexDigits[] = "0123456789ABCDEF";

}  // namespace

std::optional<Expectation> Expectation::Parse(std::string_view text, std::string* error) {
  Expectation expectation;
  int nibbles = 0;  // nibbles of the byte being read (0 or 1)
  auto fail = [error](std::string reason) {
    if (error != nullptr) *error = std::move(reason);
    return std::nullopt;
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (std::isspace(static_cast<unsigned char>(c))) continue;
    if (c == '.') {
      if (i + 1 >= text.size() || text[i + 1] != '.') return fail("a single '.' (\"..\" stands for any bytes)");
      if (nibbles != 0) return fail("a byte cut in half by \"..\"");
      ++i;
      // Two `..` in a row mean no more than one.
      if (expectation.pieces_.empty() || !expectation.pieces_.back().anyBytes)
        expectation.pieces_.push_back(Piece{true, 0, 0});
      continue;
    }
    const auto nibble = Nibble(c);
    if (!nibble) return fail(std::string("'") + c + "' is neither a hex digit, X nor \"..\"");
    if (nibbles == 0) expectation.pieces_.push_back(Piece{false, 0, 0});
    Piece& piece = expectation.pieces_.back();
    piece.value = static_cast<std::uint8_t>(piece.value << 4 | nibble->first);
    piece.mask = static_cast<std::uint8_t>(piece.mask << 4 | nibble->second);
    nibbles ^= 1;
  }
  if (nibbles != 0) return fail("an odd number of hex digits");
  if (expectation.pieces_.empty()) return fail("nothing to expect");
  return expectation;
}

bool Expectation::Matches(std::span<const std::uint8_t> answer) const { return MatchFrom(0, answer); }

// Pieces from `piece` on against the rest of the answer; `..` tries every length, the
// shortest first (patterns are a few pieces long, answers at most a few kilobytes).
bool Expectation::MatchFrom(std::size_t piece, std::span<const std::uint8_t> answer) const {
  for (; piece < pieces_.size(); ++piece) {
    const Piece& p = pieces_[piece];
    if (p.anyBytes) {
      if (piece + 1 == pieces_.size()) return true;
      for (std::size_t skip = 0; skip <= answer.size(); ++skip)
        if (MatchFrom(piece + 1, answer.subspan(skip))) return true;
      return false;
    }
    if (answer.empty() || (answer.front() & p.mask) != p.value) return false;
    answer = answer.subspan(1);
  }
  return answer.empty();
}

std::string Expectation::Text() const {
  std::string text;
  for (const Piece& p : pieces_) {
    if (!text.empty()) text += ' ';
    if (p.anyBytes) {
      text += "..";
      continue;
    }
    text += (p.mask & 0xF0) ? kHexDigits[p.value >> 4] : 'X';
    text += (p.mask & 0x0F) ? kHexDigits[p.value & 0xF] : 'X';
  }
  return text;
}

}  // namespace ccidsim

// T=0 procedure bytes, T=1 block framing and answer-to-reset reading (ISO/IEC 7816-3).
#include "reader/icc_link.h"

namespace sim {
namespace {

constexpr std::uint8_t kNull = 0x60;
constexpr std::size_t kT0Header = 5;
constexpr std::size_t kT1Prologue = 3;
// A card that sends NULL bytes without end is taken as mute after this many.
constexpr std::uint32_t kMaxNulls = 100000;

bool IsStatusByte(std::uint8_t b) {
  return ((b & 0xF0) == 0x60 && b != kNull) || (b & 0xF0) == 0x90;
}

LinkResult Error(std::uint8_t error) {
  LinkResult r;
  r.error = error;
  return r;
}


// Flips the low bit of the byte at 1-based position `target` if it lies in `bytes`,
// whose first byte is number `count` + 1 of its direction.
void Garble(ccid::Bytes& bytes, std::uint32_t target, std::uint32_t& count, std::uint32_t& garbled) {
  if (target > count && target - count <= bytes.size()) {
    bytes[target - count - 1] ^= 0x01;
    ++garbled;
  }
  count += static_cast<std::uint32_t>(bytes.size());
}

}  // namespace

void IccLink::Send(std::span<const std::uint8_t> bytes) {
  if (noise_ == nullptr) return card_.Write(bytes);
  ccid::Bytes copy(bytes.begin(), bytes.end());
  Garble(copy, noise_->to_card, noise_->sent, noise_->garbled);
  card_.Write(copy);
}

ccid::Bytes IccLink::Receive() {
  ccid::Bytes bytes = card_.Read();
  if (noise_ != nullptr) Garble(bytes, noise_->to_host, noise_->received, noise_->garbled);
  return bytes;
}

bool IccLink::NextByte(std::uint8_t& byte) {
  if (next_ == pending_.size()) {
    pending_ = Receive();
    next_ = 0;
    if (pending_.empty()) return false;
  }
  byte = pending_[next_++];
  return true;
}

bool IccLink::ReadBytes(std::size_t count, ccid::Bytes& into) {
  for (std::size_t i = 0; i < count; ++i) {
    std::uint8_t b = 0;
    if (!NextByte(b)) return false;
    into.push_back(b);
  }
  return true;
}

LinkResult IccLink::T0Tpdu(std::span<const std::uint8_t> tpdu) {
  pending_.clear();
  next_ = 0;
  const std::uint8_t ins = tpdu[1];
  const std::uint8_t p3 = tpdu[4];
  const auto body = tpdu.subspan(kT0Header);
  const bool outgoing = !body.empty();
  std::size_t remaining = outgoing ? body.size() : (p3 == 0 ? 256 : p3);
  Send(tpdu.first(kT0Header));
  LinkResult r;
  for (;;) {
    std::uint8_t b = 0;
    if (!NextByte(b)) return Error(ccid::kIccMute);
    if (b == kNull) {
      if (++r.waits > kMaxNulls) return Error(ccid::kIccMute);
      continue;
    }
    if (IsStatusByte(b)) {
      std::uint8_t sw2 = 0;
      if (!NextByte(sw2)) return Error(ccid::kIccMute);
      r.data.push_back(b);
      r.data.push_back(sw2);
      return r;
    }
    if (b != ins && b != static_cast<std::uint8_t>(~ins)) return Error(ccid::kProcedureByteConflict);
    if (remaining == 0) return Error(ccid::kProcedureByteConflict);
    const std::size_t n = b == ins ? remaining : 1;
    if (outgoing) {
      const std::size_t sent = body.size() - remaining;
      Send(body.subspan(sent, n));
    } else if (!ReadBytes(n, r.data)) {
      return Error(ccid::kIccMute);
    }
    remaining -= n;
  }
}

LinkResult IccLink::T1Block(std::span<const std::uint8_t> block, bool crc) {
  pending_.clear();
  next_ = 0;
  Send(block);
  LinkResult r;
  if (!ReadBytes(kT1Prologue, r.data)) return Error(ccid::kIccMute);
  if (!ReadBytes(r.data[2] + (crc ? 2u : 1u), r.data)) return Error(ccid::kIccMute);
  return r;
}

LinkResult IccLink::Characters(std::span<const std::uint8_t> bytes, std::uint16_t expected) {
  pending_.clear();
  next_ = 0;
  if (!bytes.empty()) Send(bytes);
  LinkResult r;
  if (expected == 0) {
    r.data = Receive();
    return r;
  }
  if (!ReadBytes(expected, r.data)) return Error(ccid::kIccMute);
  return r;
}

AtrFacts ReadAtrFacts(std::span<const std::uint8_t> atr) {
  AtrFacts f;
  if (atr.size() < 2 || (atr[0] != 0x3B && atr[0] != 0x3F)) return f;
  f.inverse = atr[0] == 0x3F;
  std::size_t at = 1;
  std::uint8_t y = atr[at] >> 4;
  ++at;
  int group = 1;
  bool t1_group_seen = false;
  for (;;) {
    std::uint8_t ta = 0, tc = 0, td = 0;
    const bool has_a = y & 1, has_b = y & 2, has_c = y & 4, has_d = y & 8;
    const std::size_t need = has_a + has_b + has_c + has_d;
    if (at + need > atr.size()) return f;
    if (has_a) ta = atr[at++];
    if (has_b) ++at;  // TB1, TB2: programming voltage, not used
    if (has_c) tc = atr[at++];
    if (has_d) td = atr[at++];
    if (group == 1) {
      if (has_a) f.fidi = ta;
      if (has_c) f.guard = tc;
      if (has_d) f.first_protocol = td & 0x0F;
    } else if (group == 2) {
      if (has_c) f.wi = tc;
    }
    if (!has_d) break;
    const std::uint8_t next_protocol = td & 0x0F;
    if (next_protocol == 1) f.offers_t1 = true;
    y = td >> 4;
    ++group;
    // The first group i >= 3 announced by a TD for T=1 carries the T=1 values.
    if (group >= 3 && next_protocol == 1 && !t1_group_seen) {
      t1_group_seen = true;
      const bool a = y & 1, b = y & 2, c = y & 4;
      std::size_t peek = at;
      if (a && peek < atr.size()) f.ifsc = atr[peek++];
      if (b && peek < atr.size()) f.bwi_cwi = atr[peek++];
      if (c && peek < atr.size()) f.crc = (atr[peek] & 1) != 0;
    }
  }
  f.valid = true;
  return f;
}

}  // namespace sim

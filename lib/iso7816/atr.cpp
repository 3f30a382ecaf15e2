#include "iso7816/atr.h"

#include <cstdio>

namespace iso7816 {
namespace {

constexpr std::array<unsigned, 16> kFi = {372, 372, 558, 744, 1116, 1488, 1860, 0,
                                          0,   512, 768, 1024, 1536, 2048, 0,    0};
constexpr std::array<unsigned, 16> kFMax = {4000000,  5000000,  6000000, 8000000,
                                            12000000, 16000000, 20000000, 0,
                                            0,        5000000,  7500000, 10000000,
                                            15000000, 20000000, 0,        0};
constexpr std::array<unsigned, 16> kDi = {0, 1, 2, 4, 8, 16, 32, 64, 12, 20, 0, 0, 0, 0, 0, 0};

constexpr std::uint8_t kTaPresent = 0x10;
constexpr std::uint8_t kTbPresent = 0x20;
constexpr std::uint8_t kTcPresent = 0x40;
constexpr std::uint8_t kTdPresent = 0x80;
constexpr int kT1 = 1;

// Reads the bytes in order and keeps what it learns in `result.atr`; stops at the first
// structural fault and records it.
class AtrReader {
 public:
  AtrReader(ByteView bytes, AtrParseResult& result) : bytes_(bytes), result_(result) {}

  void Run() {
    Atr& atr = result_.atr;
    atr.bytes.assign(bytes_.begin(), bytes_.end());
    if (bytes_.empty()) return Fail(AtrError::kEmpty, "no ATR bytes");
    if (bytes_[0] == kTsDirect) {
      atr.convention = Convention::kDirect;
    } else if (bytes_[0] == kTsInverse) {
      atr.convention = Convention::kInverse;
    } else {
      char text[64];
      std::snprintf(text, sizeof text, "TS 0x%02X is neither 3B nor 3F", bytes_[0]);
      return Fail(AtrError::kBadTs, text);
    }
    pos_ = 1;
    if (!Take(atr.t0)) return Fail(AtrError::kTruncated, "ATR ends before T0");
    if (!ReadGroups()) return;
    ApplyValues();
    if (!ReadHistorical()) return;
    if (!ReadTck()) return;
    if (pos_ < bytes_.size()) {
      char text[80];
      std::snprintf(text, sizeof text, "%zu byte(s) after the end of the ATR",
                    bytes_.size() - pos_);
      return Fail(AtrError::kTrailingBytes, text);
    }
    if (bytes_.size() > kMaxAtrLength) {
      char text[64];
      std::snprintf(text, sizeof text, "ATR of %zu bytes is longer than 33", bytes_.size());
      return Fail(AtrError::kTooLong, text);
    }
  }

 private:
  bool Take(std::uint8_t& out) {
    if (pos_ >= bytes_.size()) return false;
    out = bytes_[pos_++];
    return true;
  }

  void Fail(AtrError error, std::string reason) {
    if (result_.error != AtrError::kNone) return;
    result_.error = error;
    result_.reason = std::move(reason);
  }

  // TA1..TDn: each TD's high nibble announces the next group; its low nibble a protocol.
  bool ReadGroups() {
    Atr& atr = result_.atr;
    std::uint8_t indicator = atr.t0;
    bool more = true;
    while (more) {
      atr.groups.emplace_back();
      const int index = static_cast<int>(atr.groups.size());
      if ((indicator & kTaPresent) && !TakeInto(atr.groups.back().ta)) return Truncated(index, "TA");
      if ((indicator & kTbPresent) && !TakeInto(atr.groups.back().tb)) return Truncated(index, "TB");
      if ((indicator & kTcPresent) && !TakeInto(atr.groups.back().tc)) return Truncated(index, "TC");
      more = (indicator & kTdPresent) != 0;
      if (more) {
        if (!TakeInto(atr.groups.back().td)) return Truncated(index, "TD");
        indicator = *atr.groups.back().td;
      }
    }
    return true;
  }

  bool TakeInto(std::optional<std::uint8_t>& out) {
    std::uint8_t value = 0;
    if (!Take(value)) return false;
    out = value;
    return true;
  }

  bool Truncated(int index, const char* name) {
    ApplyValues();
    char text[64];
    std::snprintf(text, sizeof text, "ATR ends before %s%d", name, index);
    Fail(AtrError::kTruncated, text);
    return false;
  }

  // Global and protocol values from the groups read so far.
  void ApplyValues() {
    Atr& atr = result_.atr;
    const auto& g = atr.groups;
    atr.protocols = 0;
    if (g.empty() || !g[0].td) atr.protocols = 1;  // T=0 only, implicitly
    atr.first_protocol = (!g.empty() && g[0].td) ? (*g[0].td & 0x0F) : 0;
    for (const InterfaceGroup& group : g) {
      if (group.td) atr.protocols |= static_cast<std::uint16_t>(1u << (*group.td & 0x0F));
    }
    if (!g.empty() && g[0].ta) {
      atr.fi_index = *g[0].ta >> 4;
      atr.di_index = *g[0].ta & 0x0F;
    }
    if (!g.empty() && g[0].tc) atr.n_guard = *g[0].tc;
    if (g.size() > 1 && g[1].ta) {
      atr.specific_mode = true;
      atr.specific_protocol = *g[1].ta & 0x0F;
      atr.specific_implicit_parameters = (*g[1].ta & 0x10) != 0;
    }
    if (g.size() > 1 && g[1].tc) atr.t0_wi = *g[1].tc;
    ApplyT1Values();
    atr.tck_present = (atr.protocols & ~1u) != 0;
  }

  void ApplyT1Values() {
    Atr& atr = result_.atr;
    bool ta_seen = false, tb_seen = false, tc_seen = false;
    for (std::size_t i = 2; i < atr.groups.size(); ++i) {
      const auto& previous_td = atr.groups[i - 1].td;
      if (!previous_td || (*previous_td & 0x0F) != kT1) continue;
      const InterfaceGroup& group = atr.groups[i];
      if (group.ta && !ta_seen) {
        atr.t1_ifsc = *group.ta;
        ta_seen = true;
      }
      if (group.tb && !tb_seen) {
        atr.t1_bwi = *group.tb >> 4;
        atr.t1_cwi = *group.tb & 0x0F;
        tb_seen = true;
      }
      if (group.tc && !tc_seen) {
        atr.t1_edc = (*group.tc & 0x01) ? Edc::kCrc : Edc::kLrc;
        tc_seen = true;
      }
    }
  }

  bool ReadHistorical() {
    Atr& atr = result_.atr;
    const std::size_t k = atr.t0 & 0x0F;
    const std::size_t available = bytes_.size() > pos_ ? bytes_.size() - pos_ : 0;
    const std::size_t n = k < available ? k : available;
    atr.historical.assign(bytes_.begin() + static_cast<std::ptrdiff_t>(pos_),
                          bytes_.begin() + static_cast<std::ptrdiff_t>(pos_ + n));
    pos_ += n;
    if (n < k) {
      char text[80];
      std::snprintf(text, sizeof text, "ATR ends after %zu of %zu historical bytes", n, k);
      Fail(AtrError::kTruncated, text);
      return false;
    }
    return true;
  }

  // TCK: exclusive-or of T0 to TCK is zero.
  bool ReadTck() {
    Atr& atr = result_.atr;
    if (!atr.tck_present) return true;
    std::uint8_t tck = 0;
    if (!Take(tck)) {
      Fail(AtrError::kMissingTck, "TCK missing although a protocol other than T=0 is offered");
      return false;
    }
    const std::uint8_t check = Lrc(ByteView(bytes_).subspan(1, pos_ - 1));
    atr.tck_ok = check == 0;
    if (check != 0) {
      char text[64];
      std::snprintf(text, sizeof text, "wrong TCK 0x%02X (expected 0x%02X)", tck,
                    static_cast<unsigned>(tck ^ check));
      Fail(AtrError::kWrongTck, text);
      return false;
    }
    return true;
  }

  ByteView bytes_;
  AtrParseResult& result_;
  std::size_t pos_ = 0;
};

}  // namespace

unsigned FiValue(unsigned fi_index) { return fi_index < 16 ? kFi[fi_index] : 0; }
unsigned FMaxHz(unsigned fi_index) { return fi_index < 16 ? kFMax[fi_index] : 0; }
unsigned DiValue(unsigned di_index) { return di_index < 16 ? kDi[di_index] : 0; }

AtrParseResult ParseAtr(ByteView bytes) {
  AtrParseResult result;
  AtrReader(bytes, result).Run();
  if (!result.ok() && result.atr.bytes.size() > kMaxAtrLength && result.error != AtrError::kBadTs) {
    // Over-long answers are refused for their length first: that is the fault a reader
    // sees before it looks at the structure.
    char text[64];
    std::snprintf(text, sizeof text, "ATR of %zu bytes is longer than 33",
                  result.atr.bytes.size());
    result.error = AtrError::kTooLong;
    result.reason = text;
  }
  return result;
}

std::optional<AtrTiming> ComputeTiming(const Atr& atr, unsigned clock_hz, unsigned fi_index,
                                       unsigned di_index) {
  const double fi = FiValue(fi_index);
  const double di = DiValue(di_index);
  if (fi == 0 || di == 0 || clock_hz == 0) return std::nullopt;
  const double f = clock_hz;
  AtrTiming t;
  t.etu_us = fi / (di * f) * 1e6;
  const unsigned n = atr.n_guard;
  t.gt_us = (n == 255 ? 12.0 : 12.0 + n) * t.etu_us;
  t.gt_t1_us = (n == 255 ? 11.0 : 12.0 + n) * t.etu_us;
  t.wt_us = 960.0 * atr.t0_wi * fi / f * 1e6;
  t.cwt_us = (11.0 + static_cast<double>(1u << (atr.t1_cwi & 0x0F))) * t.etu_us;
  t.bwt_us = 11.0 * t.etu_us + static_cast<double>(1u << (atr.t1_bwi & 0x0F)) * 960.0 * 372.0 / f * 1e6;
  t.bgt_us = 22.0 * t.etu_us;
  return t;
}

std::optional<AtrTiming> ComputeTiming(const Atr& atr, unsigned clock_hz) {
  return ComputeTiming(atr, clock_hz, atr.fi_index, atr.di_index);
}

}  // namespace iso7816

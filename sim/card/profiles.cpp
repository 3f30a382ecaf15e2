// The catalogue of card profiles, the answer to reset each one sends, and the factory.
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "card/card.h"
#include "card/sim_card.h"
#include "card/vpcd_card.h"

namespace sim {

// The real-card data file, embedded at build time (generated source).
extern const char* const kEmbeddedAtrData;

namespace {

using iso7816::Bytes;

constexpr std::uint8_t kTa = 0x10;
constexpr std::uint8_t kTb = 0x20;
constexpr std::uint8_t kTc = 0x40;
constexpr std::uint8_t kTd = 0x80;

Bytes Text(std::string_view text) { return Bytes(text.begin(), text.end()); }

PinFormat AsciiPadded() { return {PinEncoding::kAscii, PinLengthField::kNone, 8, 0xFF, 4, 8}; }
PinFormat AsciiWithLength() { return {PinEncoding::kAscii, PinLengthField::kByte, 8, 0x00, 4, 7}; }
PinFormat BcdPadded() { return {PinEncoding::kBcd, PinLengthField::kNone, 8, 0x0F, 4, 12}; }
PinFormat BcdFormat2() { return {PinEncoding::kBcd, PinLengthField::kControl, 8, 0x0F, 4, 12}; }

// An answer to reset of 68 bytes: a long chain of T=1 interface groups, 15 historical
// bytes and a correct TCK. Structurally sound, but over the 33-byte limit.
Bytes OverlongAtr() {
  Bytes atr = {0x3B, 0xFF, 0x11, 0x00, 0x00, 0xE1, /* TB2 TC2 TD2 */ 0x00, 0x0A, 0xF1};
  atr.insert(atr.end(), {0xFE, 0x45, 0x00, 0xF1});  // TA3 TB3 TC3 TD3
  for (int i = 0; i < 8; ++i) atr.insert(atr.end(), {0x20, 0x45, 0x00, 0xF1});
  atr.insert(atr.end(), {0x20, 0x45, 0x00, 0x71});
  atr.insert(atr.end(), {0x20, 0x45, 0x00});  // last group, no TD
  const Bytes historical = Text("CCIDSIM-LONGATR");
  atr.insert(atr.end(), historical.begin(), historical.end());
  std::uint8_t tck = 0;
  for (std::size_t i = 1; i < atr.size(); ++i) tck ^= atr[i];
  atr.push_back(tck);
  return atr;
}

std::vector<CardProfile> BuiltInProfiles() {
  std::vector<CardProfile> list;
  CardProfile p;

  p = {};
  p.name = "t0";
  p.summary = "T=0 card, TA1 13 (F 372, D 4), WI 20, ASCII PIN padded with FF";
  p.ta1 = 0x13;
  p.t0_wi = 20;
  p.historical = Text("CCIDSIM T0");
  p.pin_format = AsciiPadded();
  list.push_back(p);

  p = {};
  p.name = "t0-bytewise";
  p.summary = "T=0 card asking for data byte by byte (~INS), 2 NULLs before every answer, BCD PIN";
  p.historical = Text("CCIDSIM T0B");
  p.t0_ack = T0AckMode::kEachByte;
  p.busy_extensions = 2;
  p.pin_format = BcdPadded();
  list.push_back(p);

  p = {};
  p.name = "t1-ifsc32";
  p.summary = "T=1 card, IFSC 32, BWI 4 CWI 5, LRC, ASCII PIN with a length byte";
  p.t0 = false;
  p.t1 = true;
  p.ta1 = 0x18;
  p.ifsc = 32;
  p.historical = Text("CCIDSIM T1-32");
  p.pin_format = AsciiWithLength();
  list.push_back(p);

  p = {};
  p.name = "t1-ifsc254";
  p.summary = "T=1 card, IFSC 254, TA1 96, extended-length APDUs, ISO 9564 format 2 BCD PIN";
  p.t0 = false;
  p.t1 = true;
  p.ta1 = 0x96;
  p.tc1 = 0xFF;
  p.ifsc = 254;
  p.extended_apdu = true;
  p.historical = Text("CCIDSIM T1-254");
  p.pin_format = BcdFormat2();
  list.push_back(p);

  p = {};
  p.name = "t1-crc";
  p.summary = "T=1 card using CRC, IFSC 64";
  p.t0 = false;
  p.t1 = true;
  p.ifsc = 64;
  p.edc = iso7816::Edc::kCrc;
  p.historical = Text("CCIDSIM CRC");
  list.push_back(p);

  p = {};
  p.name = "dual";
  p.summary = "T=0 and T=1 card (T=0 first), TA1 95, IFSC 128, extended-length APDUs";
  p.ta1 = 0x95;
  p.t1 = true;
  p.ifsc = 128;
  p.bwi = 5;
  p.cwi = 3;
  p.extended_apdu = true;
  p.historical = Text("CCIDSIM DUAL");
  p.pin_format = AsciiPadded();
  list.push_back(p);

  p = {};
  p.name = "inverse";
  p.summary = "inverse-convention card (TS 3F), T=0 and T=1, TA1 94";
  p.inverse = true;
  p.ta1 = 0x94;
  p.t1 = true;
  p.historical = Text("CCIDSIM INV");
  list.push_back(p);

  p = {};
  p.name = "specific-t1";
  p.summary = "T=1 card in specific mode (TA2 01) at TA1 18";
  p.t0 = false;
  p.t1 = true;
  p.ta1 = 0x18;
  p.ta2 = 0x01;
  p.historical = Text("CCIDSIM TA2");
  list.push_back(p);

  p = {};
  p.name = "3v-only";
  p.summary = "T=1 card that answers only at 3.0 V (class B)";
  p.t0 = false;
  p.t1 = true;
  p.voltages = kVoltage3V;
  p.historical = Text("CCIDSIM 3V");
  list.push_back(p);

  p = {};
  p.name = "many-wtx";
  p.summary = "T=1 card needing 4 time extensions for every command and 40 (x3) for INTERNAL AUTHENTICATE";
  p.t0 = false;
  p.t1 = true;
  p.bwi = 1;
  p.busy_extensions = 4;
  p.slow_extensions = 40;
  p.wtx_multiplier = 3;
  p.historical = Text("CCIDSIM WTX");
  list.push_back(p);

  p = {};
  p.name = "slow-t1";
  p.summary = "T=1 card announcing TA1 96 that copes only with D 8 (TA1 94): mute after a faster PPS";
  p.t0 = false;
  p.t1 = true;
  p.ta1 = 0x96;
  p.fastest_di = 0x04;
  p.historical = Text("CCIDSIM SLOW");
  list.push_back(p);

  p = {};
  p.name = "atr-64plus";
  p.summary = "T=1 card whose 68-byte answer to reset is over the 33-byte limit (invalid)";
  p.raw_atr = OverlongAtr();
  list.push_back(p);

  p = {};
  p.name = "mute";
  p.summary = "card that never answers reset";
  p.mute = true;
  p.historical = Text("CCIDSIM MUTE");
  list.push_back(p);

  return list;
}

CardProfile ProfileFromAtr(std::string name, Bytes atr) {
  CardProfile p;
  p.name = std::move(name);
  p.summary = "card answering " + iso7816::ToHex(atr);
  p.raw_atr = std::move(atr);
  return p;
}

std::string RealName(std::size_t index) {
  char name[16];
  std::snprintf(name, sizeof name, "real-%02zu", index);
  return name;
}

}  // namespace

// The answers to reset of the real-card data file, in its order, read once.
const std::vector<std::string_view>& RealAtrs() {
  static const std::vector<std::string> texts = [] {
    std::vector<std::string> atrs;
    const nlohmann::json data = nlohmann::json::parse(kEmbeddedAtrData);
    for (const nlohmann::json& row : data.at("atrs")) atrs.push_back(row.at("atr").get<std::string>());
    return atrs;
  }();
  static const std::vector<std::string_view> list(texts.begin(), texts.end());
  return list;
}

// Built from the profile's fields: TA1/TC1 and TD1 in the first group; TA2 (specific
// mode) and TC2 (WI) in the second; for T=1 a third group after a TD naming T=1 with
// TA3 (IFSC), TB3 (BWI, CWI) and TC3 (only for CRC); TCK when T=1 is offered.
Bytes BuildAtr(const CardProfile& profile) {
  if (profile.raw_atr) return *profile.raw_atr;
  const std::size_t k = profile.historical.size() < 15 ? profile.historical.size() : 15;
  const bool group2 = profile.ta2.has_value() || profile.t0_wi.has_value() || profile.t1;
  Bytes atr = {profile.inverse ? iso7816::kTsInverse : iso7816::kTsDirect};
  std::uint8_t t0 = static_cast<std::uint8_t>(k);
  if (profile.ta1) t0 |= kTa;
  if (profile.tc1) t0 |= kTc;
  if (group2) t0 |= kTd;
  atr.push_back(t0);
  if (profile.ta1) atr.push_back(*profile.ta1);
  if (profile.tc1) atr.push_back(*profile.tc1);
  if (group2) {
    const std::uint8_t first = profile.t0 ? 0 : 1;
    std::uint8_t td1 = first;
    if (profile.ta2) td1 |= kTa;
    if (profile.t0_wi) td1 |= kTc;
    if (profile.t1) td1 |= kTd;
    atr.push_back(td1);
    if (profile.ta2) atr.push_back(*profile.ta2);
    if (profile.t0_wi) atr.push_back(*profile.t0_wi);
    if (profile.t1) {
      const bool crc = profile.edc == iso7816::Edc::kCrc;
      atr.push_back(static_cast<std::uint8_t>(kTa | kTb | (crc ? kTc : 0) | 1));
      atr.push_back(profile.ifsc);
      atr.push_back(static_cast<std::uint8_t>(profile.bwi << 4 | (profile.cwi & 0x0F)));
      if (crc) atr.push_back(0x01);
    }
  }
  atr.insert(atr.end(), profile.historical.begin(),
             profile.historical.begin() + static_cast<std::ptrdiff_t>(k));
  if (profile.t1) {
    std::uint8_t tck = 0;
    for (std::size_t i = 1; i < atr.size(); ++i) tck ^= atr[i];
    atr.push_back(tck);
  }
  return atr;
}

std::vector<CardProfileInfo> CardProfiles() {
  std::vector<CardProfileInfo> list;
  for (const CardProfile& p : BuiltInProfiles()) list.push_back({p.name, p.summary});
  for (std::size_t i = 0; i < RealAtrs().size(); ++i) {
    list.push_back({RealName(i), "real card " + std::string(RealAtrs()[i])});
  }
  return list;
}

std::optional<CardProfile> FindCardProfile(std::string_view name) {
  for (CardProfile& p : BuiltInProfiles()) {
    if (p.name == name) return p;
  }
  for (std::size_t i = 0; i < RealAtrs().size(); ++i) {
    if (name == RealName(i)) {
      CardProfile p = ProfileFromAtr(RealName(i), *iso7816::FromHex(RealAtrs()[i]));
      p.summary = "real card " + std::string(RealAtrs()[i]);
      return p;
    }
  }
  if (const std::optional<std::uint16_t> port = VpcdPort(name)) {
    CardProfile p;
    p.name = std::string(name);
    p.summary = "a card emulator speaking the vpcd protocol, connecting to 127.0.0.1:" + std::to_string(*port) +
                " (its answer to reset decides the rest)";
    return p;
  }
  constexpr std::string_view kAtrPrefix = "atr:";
  if (name.substr(0, kAtrPrefix.size()) == kAtrPrefix) {
    auto atr = iso7816::FromHex(name.substr(kAtrPrefix.size()));
    if (!atr || atr->empty()) return std::nullopt;
    return ProfileFromAtr(std::string(name), std::move(*atr));
  }
  return std::nullopt;
}

std::unique_ptr<Icc> MakeCard(std::string_view profile) {
  if (const std::optional<std::uint16_t> port = VpcdPort(profile)) return MakeVpcdCard(*port);
  auto found = FindCardProfile(profile);
  if (!found) return nullptr;
  return std::make_unique<SimCard>(std::move(*found));
}

std::unique_ptr<Icc> MakeCard(const CardProfile& profile) {
  if (const std::optional<std::uint16_t> port = VpcdPort(profile.name)) return MakeVpcdCard(*port);
  return std::make_unique<SimCard>(profile);
}

}  // namespace sim

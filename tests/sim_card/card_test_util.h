// Helpers for the card tests: cards by profile name, and commands sent to them the way a
// reader would (the library's host engines over the card's I/O line).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "card/sim_card.h"
#include "iso7816/apdu.h"
#include "iso7816/t0_host.h"
#include "iso7816/t1_host.h"

namespace sim::testing {

using iso7816::Bytes;
using iso7816::ByteView;

inline Bytes Hex(std::string_view text) {
  auto bytes = iso7816::FromHex(text);
  EXPECT_TRUE(bytes.has_value()) << text;
  return bytes.value_or(Bytes{});
}

// A card of that profile, powered at 5 V (or the first class it accepts).
inline std::unique_ptr<SimCard> PoweredCard(std::string_view name) {
  auto profile = FindCardProfile(name);
  EXPECT_TRUE(profile.has_value()) << name;
  auto card = std::make_unique<SimCard>(*profile);
  for (IccVoltage v : {IccVoltage::V5_0, IccVoltage::V3_0, IccVoltage::V1_8}) {
    if (card->ColdReset(v)) break;
  }
  return card;
}

inline std::uint16_t Sw(const Bytes& response) {
  return response.size() < 2 ? 0 : static_cast<std::uint16_t>(response[response.size() - 2] << 8 | response.back());
}
inline Bytes Data(const Bytes& response) {
  return response.size() < 2 ? Bytes{} : Bytes(response.begin(), response.end() - 2);
}

// T=0 at APDU level over the card's line; empty on a transmission failure.
inline Bytes T0Transmit(Icc& card, const Bytes& apdu, std::string* error = nullptr) {
  auto answer = iso7816::RunT0Apdu(
      apdu, [&](ByteView bytes) { card.Write(bytes); }, [&] { return card.Read(); }, error);
  return answer.value_or(Bytes{});
}

// A T=1 session with a card: the engine set up from the card's answer to reset.
class T1Session {
 public:
  explicit T1Session(SimCard& card, std::uint8_t ifsd = 254) : card_(card), engine_(Config(card, ifsd)) {}

  static iso7816::T1HostConfig Config(const SimCard& card, std::uint8_t ifsd) {
    iso7816::T1HostConfig config;
    config.ifsc = card.AnnouncedAtr().t1_ifsc;
    config.edc = card.AnnouncedAtr().t1_edc;
    config.ifsd = ifsd;
    return config;
  }

  // Empty on a transmission failure (error() says why).
  Bytes Transmit(const Bytes& apdu) {
    auto answer = iso7816::RunT1Apdu(
        engine_, apdu, [&](ByteView bytes) { card_.Write(bytes); }, [&] { return card_.Read(); },
        [&](std::uint8_t multiplier) { wtx_.push_back(multiplier); }, &error_);
    return answer.value_or(Bytes{});
  }

  iso7816::T1HostEngine& engine() { return engine_; }
  const std::vector<std::uint8_t>& wtx() const { return wtx_; }
  const std::string& error() const { return error_; }

 private:
  SimCard& card_;
  iso7816::T1HostEngine engine_;
  std::vector<std::uint8_t> wtx_;
  std::string error_;
};

inline const Bytes kSelectApp = iso7816::FromHex("00A4040C08F04343494453494D").value();

}  // namespace sim::testing

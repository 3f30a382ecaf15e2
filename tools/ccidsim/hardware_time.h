// What a session would take on real hardware. The hosted USB stack keeps full-speed time
// (1 ms frames, 64-byte packets, NAKs while the reader works) and the simulated reader
// the card's time at the rate in force, both on the kernel's virtual clock; so the kernel
// time from the reader's arrival to the end of the session is what a real reader and
// card would take, of which the bus's frames and the card's line are the two shares.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "hosted/kernel/clock.h"
#include "hosted/usb/usb_bus.h"
#include "reader/ccid_reader.h"

namespace ccidsim {

struct HardwareTime {
  std::int64_t totalNs = 0;
  std::int64_t usbNs = 0;   // frames of control and bulk transfers
  std::int64_t cardNs = 0;  // characters and waits on the card's contacts

  // Starts counting at the bench's arrival (kernel time now).
  static HardwareTime Start() { return HardwareTime{-hosted::Clock::Now() * 100, 0, 0}; }
  // Adds the session's end: the kernel time now, the bus's and the reader's counts.
  void Stop(const hosted::usb::BusDevice& bus, const sim::CcidReader& reader) {
    totalNs += hosted::Clock::Now() * 100;
    usbNs = bus.BusTime() * 100;
    cardNs = reader.Stats().card_time.count();
  }
};

// "on real hardware: 1.234 s (USB 0.200 s, card 1.000 s)"
inline std::string HardwareTimeText(const HardwareTime& time) {
  char text[96];
  std::snprintf(text, sizeof text, "on real hardware: %.3f s (USB %.3f s, card %.3f s)", time.totalNs / 1e9,
                time.usbNs / 1e9, time.cardNs / 1e9);
  return text;
}

inline nlohmann::ordered_json HardwareTimeJson(const HardwareTime& time) {
  return {{"total_ns", time.totalNs}, {"usb_ns", time.usbNs}, {"card_ns", time.cardNs}};
}

}  // namespace ccidsim

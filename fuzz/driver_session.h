// One application session on a simulated reader under the driver, as the fuzzers that run
// the driver play it: a list of operation bytes, each one request (or a few) an
// application, the user or the machine makes, with its outcome ignored: whatever the
// reader answered, every request must come back, and the kernel's checks judge the rest.
//
// Operation byte o: o & 15 chooses, o >> 4 is its parameter (see driver_session.cpp).
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "bench.h"
#include "fuzz_support.h"

namespace ccid_fuzz {

// The bench an input's first byte chooses: the reader profile (low nibble), the card
// (bits 4-6) and, with bit 7, the USB stack completing at once what it can (synchronous
// completion) instead of from its own thread.
std::string ProfileFor(std::uint8_t choice);
std::string CardFor(std::uint8_t choice);  // empty: no card
ccid_test::BenchOptions OptionsFor(std::uint8_t choice);

// Plugs the bench's reader with `card` in it (unless unplugged by then, it is started), opens a handle and
// plays `operations`; closes the handle. The bench is finished by its owner.
void PlaySession(ccid_test::ReaderBench& bench, const std::string& card, std::span<const std::uint8_t> operations);

// Operations by name, for seeds.
enum Operation : std::uint8_t {
  kConnect = 0,
  kTransmit = 1,
  kPower = 2,
  kSetProtocol = 3,
  kStatus = 4,
  kVerifyPin = 5,
  kModifyPin = 6,
  kEscape = 7,
  kRawTransfer = 8,
  kReadEvent = 9,
  kCardToggle = 10,
  kSleepWake = 11,
  kAbort = 12,
  kWaitForCard = 13,
  kClassRequests = 14,
  kReconnect = 15,
};
constexpr std::uint8_t Op(Operation operation, std::uint8_t parameter = 0) {
  return static_cast<std::uint8_t>(operation | parameter << 4);
}

}  // namespace ccid_fuzz

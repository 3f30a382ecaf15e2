// An ISO/IEC 7816-3 asynchronous card as a reader sees it through its contacts.
//
// Bytes are logical: whatever the card's convention, the reader receives decoded bytes
// (an inverse-convention card's ATR begins with 3F). After the answer to reset the
// reader writes bytes to the card's I/O line and reads what the card sends back:
//  - T=0: the reader writes the 5-byte command header, then reads procedure bytes
//    (INS: send all remaining data; ~INS: send one byte; 0x60 NULL: still working, read
//    again; SW1 SW2: done), writes data when asked, and reads response data and SW1 SW2.
//  - T=1: the reader writes one whole block (NAD PCB LEN INF EDC) and reads the card's
//    answer block; a card that needs more time answers S(WTX request) first.
// A card that has nothing to send until it receives more input returns an empty read.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace sim {

using Bytes = std::vector<std::uint8_t>;

// The class of supply voltage the reader applies (ISO/IEC 7816-3 classes A, B, C).
enum class IccVoltage : std::uint8_t { V5_0, V3_0, V1_8 };

class Icc {
 public:
  virtual ~Icc() = default;

  // The profile name the card was made from.
  virtual std::string_view Name() const = 0;

  // Activation and cold reset at the given voltage class. Returns the answer to reset,
  // or nothing when the card stays mute (voltage class it does not accept, mute
  // profile). A cold reset of an active card first deactivates it.
  virtual std::optional<Bytes> ColdReset(IccVoltage voltage) = 0;

  // Warm reset of an active card (RST low then high with power kept). Nothing when the
  // card is not active or stays mute.
  virtual std::optional<Bytes> WarmReset() = 0;

  // Deactivation (power off). The card forgets its session state (selected file,
  // verified PIN, T=1 sequence numbers) but keeps its persistent data and counters.
  virtual void Deactivate() = 0;
  virtual bool Active() const = 0;

  // The transmission parameters the reader now uses with the card, after an implicit
  // choice or a PPS exchange: protocol 0 or 1 and the Fi/Di byte (TA1 form). Returns
  // false if the card does not offer that protocol or those parameters; the card then
  // does not answer (mute) until the next reset.
  virtual bool SetParameters(int protocol, std::uint8_t fidi) = 0;

  // Bytes from the reader to the card on the I/O line.
  virtual void Write(std::span<const std::uint8_t> bytes) = 0;

  // Bytes the card sends next (see the file comment). Empty: the card waits for input.
  virtual Bytes Read() = 0;
};

}  // namespace sim

// Message-level view of a simulated device's traffic, for traces (pcap) and tests.
//
// A device model that knows where its messages begin and end (the CCID reader knows
// each bulk message by its dwLength) reports every whole message here, in the order the
// bus carries them: each bulk message in both directions, each interrupt message and
// each control transfer with its setup packet and data stage. A message goes on the
// record when the bus moves it (an IN message when the host takes its first packet, not
// when the device queues it), so that nothing precedes the transfer that made it
// possible. The packet-level view stays with the USB stack, which sees single packets.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "hosted/usb/device.h"

namespace hosted::usb {

// The transfer type of a message, and of a URB in the bus's log (None: a request that
// moves nothing on the bus, such as an abort).
enum class TransferType : std::uint8_t { Control, Bulk, Interrupt, None };

struct MessageEvent {
  std::uint64_t index = 0;       // 0, 1, 2 ... in the order the device reported them
  TransferType type = TransferType::Bulk;
  bool in = false;               // device to host
  std::uint8_t endpoint = 0;     // address with the direction bit (0x00 or 0x80 for control)
  SetupPacket setup{};           // control transfers only
  Handshake handshake = Handshake::Ack;  // control: Stall when the request was refused
  std::vector<std::uint8_t> data;        // the whole message or the data stage that moved
};

using MessageCallback = std::function<void(const MessageEvent&)>;

}  // namespace hosted::usb

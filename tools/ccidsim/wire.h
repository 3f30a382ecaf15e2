// What went over the USB cable, as one readable line per message: CCID bulk commands and
// answers with their sequence numbers and status, interrupt-pipe messages, and the
// standard and class requests on the default pipe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "hosted/usb/message.h"

namespace ccidsim {

enum class WireDirection : std::uint8_t { ToReader, FromReader };

struct WireMessage {
  hosted::usb::TransferType transfer = hosted::usb::TransferType::Bulk;
  WireDirection direction = WireDirection::ToReader;
  std::uint8_t endpoint = 0;
  // CCID fields, for bulk and interrupt messages long enough to carry them.
  std::optional<std::uint8_t> messageType;
  std::optional<std::uint8_t> seq;          // bulk messages only
  std::optional<std::uint32_t> dwLength;    // bulk messages only
  std::size_t bytes = 0;                    // bytes that moved
  std::string text;                         // "PC_to_RDR_Escape seq 0 \"TALMOR_DRIVER_3004\""
};

// The CCID name of a bulk or interrupt message type ("PC_to_RDR_IccPowerOn",
// "RDR_to_PC_NotifySlotChange"); "PC_to_RDR_0x44" style for a code the class does not define.
std::string CcidMessageName(std::uint8_t type, bool fromReader);

// Decodes one message of the reader's trace.
WireMessage DecodeWireMessage(const hosted::usb::MessageEvent& event);

}  // namespace ccidsim

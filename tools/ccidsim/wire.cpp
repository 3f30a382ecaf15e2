// Decoding of the reader's message trace for the narration and the session report.
#include "wire.h"

#include <cstdio>
#include <string>

#include "reader/ccid_wire.h"

namespace ccidsim {
namespace {

namespace ccid = sim::ccid;

std::string Hex8(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof(text), "0x%02X", value & 0xFF);
  return text;
}

// An escape payload as text when it is printable, otherwise its first bytes in hex.
std::string PayloadText(std::span<const std::uint8_t> payload) {
  bool printable = !payload.empty();
  for (std::uint8_t b : payload) printable = printable && b >= 0x20 && b < 0x7F && b != '"';
  if (printable) return "\"" + std::string(payload.begin(), payload.end()) + "\"";
  std::string text;
  constexpr std::size_t kShown = 12;
  for (std::size_t i = 0; i < payload.size() && i < kShown; ++i) {
    char byte[4];
    std::snprintf(byte, sizeof(byte), "%02X", payload[i]);
    text += byte;
  }
  if (payload.size() > kShown) text += "...";
  return text + " (" + std::to_string(payload.size()) + " bytes)";
}

const char* ErrorName(std::uint8_t error) {
  switch (error) {
    case ccid::kCommandNotSupported: return "command not supported";
    case ccid::kCmdAborted: return "CMD_ABORTED";
    case ccid::kIccMute: return "ICC_MUTE";
    case ccid::kXfrParityError: return "XFR_PARITY_ERROR";
    case ccid::kXfrOverrun: return "XFR_OVERRUN";
    case ccid::kHwError: return "HW_ERROR";
    case ccid::kBadAtrTs: return "BAD_ATR_TS";
    case ccid::kBadAtrTck: return "BAD_ATR_TCK";
    case ccid::kIccProtocolNotSupported: return "ICC_PROTOCOL_NOT_SUPPORTED";
    case ccid::kIccClassNotSupported: return "ICC_CLASS_NOT_SUPPORTED";
    case ccid::kProcedureByteConflict: return "PROCEDURE_BYTE_CONFLICT";
    case ccid::kDeactivatedProtocol: return "DEACTIVATED_PROTOCOL";
    case ccid::kBusyWithAutoSequence: return "BUSY_WITH_AUTO_SEQUENCE";
    case ccid::kPinTimeout: return "PIN_TIMEOUT";
    case ccid::kPinCancelled: return "PIN_CANCELLED";
    case ccid::kCmdSlotBusy: return "CMD_SLOT_BUSY";
    default: return nullptr;
  }
}

const char* IccStatusText(std::uint8_t status) {
  switch (status & 0x03) {
    case ccid::kIccActive: return "card active";
    case ccid::kIccInactive: return "card inactive";
    case ccid::kIccAbsent: return "no card";
    default: return "bmICCStatus 3";
  }
}

const char* VoltageText(std::uint8_t powerSelect) {
  switch (powerSelect) {
    case 0: return "automatic voltage";
    case 1: return "5.0 V";
    case 2: return "3.0 V";
    case 3: return "1.8 V";
    default: return "bPowerSelect out of range";
  }
}

// The fields of a command that say what it asks for.
std::string CommandDetail(const ccid::Header& h, std::span<const std::uint8_t> payload) {
  switch (h.type) {
    case ccid::kIccPowerOn: return VoltageText(h.b7);
    case ccid::kEscape: return PayloadText(payload);
    case ccid::kXfrBlock:
    case ccid::kSecure:
    case ccid::kT0Apdu: return std::to_string(payload.size()) + " bytes";
    case ccid::kSetParameters: return "T=" + std::to_string(h.b7);
    default: return std::string();
  }
}

// bStatus/bError of an answer, then what its payload carries.
std::string AnswerDetail(const ccid::Header& h, std::span<const std::uint8_t> payload) {
  std::string text;
  switch (h.b7 >> 6) {
    case ccid::kProcessed: text = "ok"; break;
    case ccid::kFailed: {
      const char* name = ErrorName(h.b8);
      text = "failed, bError " + Hex8(h.b8) + (name != nullptr ? std::string(" ") + name : std::string());
      break;
    }
    case ccid::kTimeExtension: text = "time extension x" + std::to_string(h.b8); break;
    default: text = "bmCommandStatus 3"; break;
  }
  if (h.type == ccid::kSlotStatus || h.type == ccid::kDataBlock || h.type == ccid::kParameters)
    text += std::string(", ") + IccStatusText(h.b7);
  if (h.type == ccid::kDataBlock && !payload.empty()) text += ", " + std::to_string(payload.size()) + " bytes";
  if (h.type == ccid::kEscapeResponse && !payload.empty()) text += ", " + PayloadText(payload);
  if (h.type == ccid::kParameters) text += ", T=" + std::to_string(h.b9);
  return text;
}

void DecodeBulk(const hosted::usb::MessageEvent& event, WireMessage& message) {
  const std::span<const std::uint8_t> data(event.data);
  const char* side = event.in ? "bulk-in" : "bulk-out";
  if (data.size() < ccid::kHeaderSize) {
    message.text = std::string(side) + " " + std::to_string(data.size()) + " bytes, shorter than a CCID header";
    return;
  }
  const ccid::Header h = ccid::Header::Parse(data);
  message.messageType = h.type;
  message.seq = h.seq;
  message.dwLength = h.length;
  const std::span<const std::uint8_t> payload = data.subspan(ccid::kHeaderSize);
  std::string text = CcidMessageName(h.type, event.in) + " seq " + std::to_string(h.seq);
  if (h.slot != 0) text += " slot " + std::to_string(h.slot);
  const std::string detail = event.in ? AnswerDetail(h, payload) : CommandDetail(h, payload);
  if (!detail.empty()) text += " " + detail;
  if (h.length != payload.size())
    text += " (dwLength " + std::to_string(h.length) + ", " + std::to_string(payload.size()) + " bytes follow)";
  message.text = std::move(text);
}

void DecodeInterrupt(const hosted::usb::MessageEvent& event, WireMessage& message) {
  const std::vector<std::uint8_t>& data = event.data;
  if (data.empty()) {
    message.text = "interrupt-in zero-length packet";
    return;
  }
  message.messageType = data[0];
  std::string text = CcidMessageName(data[0], true);
  if (data[0] == ccid::kNotifySlotChange) {
    // Two bits per slot from byte 1 on: bit 0 card present, bit 1 state changed. Slot 0 is
    // always shown, other slots when they say something.
    for (std::size_t slot = 0; 1 + slot / 4 < data.size(); ++slot) {
      const unsigned bits = data[1 + slot / 4] >> (2 * (slot % 4)) & 3;
      if (slot != 0 && bits == 0) continue;
      text += std::string(slot == 0 ? " " : ", ") + "slot " + std::to_string(slot) + ": " +
              ((bits & 1) ? "card present" : "empty") + ((bits & 2) ? " (changed)" : "");
    }
  } else if (data[0] == ccid::kHardwareError && data.size() >= 4) {
    text += " slot " + std::to_string(data[1]) + " seq " + std::to_string(data[2]) + " code " + Hex8(data[3]);
  } else {
    text += " (" + std::to_string(data.size()) + " bytes)";
  }
  message.text = std::move(text);
}

std::string DescriptorName(std::uint8_t type) {
  switch (type) {
    case 1: return "device";
    case 2: return "configuration";
    case 3: return "string";
    case ccid::kClassDescriptorType: return "CCID class";
    default: return "type " + Hex8(type);
  }
}

std::string StandardRequest(const hosted::usb::SetupPacket& s, std::size_t moved) {
  switch (s.bRequest) {
    case 0: return "GET_STATUS";
    case 1: return s.wValue == 0 ? "CLEAR_FEATURE ENDPOINT_HALT endpoint " + Hex8(s.wIndex) : "CLEAR_FEATURE";
    case 3: return s.wValue == 1 ? "SET_FEATURE DEVICE_REMOTE_WAKEUP" : "SET_FEATURE";
    case 6:
      return "GET_DESCRIPTOR " + DescriptorName(static_cast<std::uint8_t>(s.wValue >> 8)) + ", " +
             std::to_string(moved) + " of " + std::to_string(s.wLength) + " bytes";
    case 8: return "GET_CONFIGURATION";
    case 9: return "SET_CONFIGURATION " + std::to_string(s.wValue);
    case 11: return "SET_INTERFACE " + std::to_string(s.wIndex) + " alternate " + std::to_string(s.wValue);
    default: return "standard request " + Hex8(s.bRequest);
  }
}

std::string ClassRequest(const hosted::usb::SetupPacket& s, std::size_t moved) {
  switch (s.bRequest) {
    case ccid::kRequestAbort:
      return "CCID ABORT slot " + std::to_string(s.wValue & 0xFF) + " seq " + std::to_string(s.wValue >> 8);
    case ccid::kRequestGetClockFrequencies: return "CCID GET_CLOCK_FREQUENCIES, " + std::to_string(moved) + " bytes";
    case ccid::kRequestGetDataRates: return "CCID GET_DATA_RATES, " + std::to_string(moved) + " bytes";
    case 6:
      return "GET_DESCRIPTOR " + DescriptorName(static_cast<std::uint8_t>(s.wValue >> 8)) + " (class request), " +
             std::to_string(moved) + " of " + std::to_string(s.wLength) + " bytes";
    default: return "class request " + Hex8(s.bRequest);
  }
}

void DecodeControl(const hosted::usb::MessageEvent& event, WireMessage& message) {
  const hosted::usb::SetupPacket& s = event.setup;
  const unsigned kind = s.bmRequestType >> 5 & 3;
  std::string text = kind == 0   ? StandardRequest(s, event.data.size())
                     : kind == 1 ? ClassRequest(s, event.data.size())
                                 : "vendor request " + Hex8(s.bRequest);
  if (event.handshake == hosted::usb::Handshake::Stall) text += ": stalled";
  message.text = std::move(text);
}

}  // namespace

std::string CcidMessageName(std::uint8_t type, bool fromReader) {
  if (fromReader) {
    switch (type) {
      case ccid::kDataBlock: return "RDR_to_PC_DataBlock";
      case ccid::kSlotStatus: return "RDR_to_PC_SlotStatus";
      case ccid::kParameters: return "RDR_to_PC_Parameters";
      case ccid::kEscapeResponse: return "RDR_to_PC_Escape";
      case ccid::kDataRateAndClockFrequency: return "RDR_to_PC_DataRateAndClockFrequency";
      case ccid::kNotifySlotChange: return "RDR_to_PC_NotifySlotChange";
      case ccid::kHardwareError: return "RDR_to_PC_HardwareError";
      default: return "RDR_to_PC_" + Hex8(type);
    }
  }
  switch (type) {
    case ccid::kSetParameters: return "PC_to_RDR_SetParameters";
    case ccid::kIccPowerOn: return "PC_to_RDR_IccPowerOn";
    case ccid::kIccPowerOff: return "PC_to_RDR_IccPowerOff";
    case ccid::kGetSlotStatus: return "PC_to_RDR_GetSlotStatus";
    case ccid::kSecure: return "PC_to_RDR_Secure";
    case ccid::kT0Apdu: return "PC_to_RDR_T0APDU";
    case ccid::kEscape: return "PC_to_RDR_Escape";
    case ccid::kGetParameters: return "PC_to_RDR_GetParameters";
    case ccid::kResetParameters: return "PC_to_RDR_ResetParameters";
    case ccid::kIccClock: return "PC_to_RDR_IccClock";
    case ccid::kXfrBlock: return "PC_to_RDR_XfrBlock";
    case ccid::kMechanical: return "PC_to_RDR_Mechanical";
    case ccid::kAbort: return "PC_to_RDR_Abort";
    case ccid::kSetDataRateAndClockFrequency: return "PC_to_RDR_SetDataRateAndClockFrequency";
    default: return "PC_to_RDR_" + Hex8(type);
  }
}

WireMessage DecodeWireMessage(const hosted::usb::MessageEvent& event) {
  WireMessage message;
  message.transfer = event.type;
  message.direction = event.in ? WireDirection::FromReader : WireDirection::ToReader;
  message.endpoint = event.endpoint;
  message.bytes = event.data.size();
  switch (event.type) {
    case hosted::usb::TransferType::Bulk: DecodeBulk(event, message); break;
    case hosted::usb::TransferType::Interrupt: DecodeInterrupt(event, message); break;
    case hosted::usb::TransferType::Control:
      message.direction = WireDirection::ToReader;
      DecodeControl(event, message);
      break;
    case hosted::usb::TransferType::None:
      break;
  }
  return message;
}

}  // namespace ccidsim

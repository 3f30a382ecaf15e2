// The USB CCID wire format as a reader sees it: message codes, status and error
// bytes, class requests, feature bits, and little-endian field helpers.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace sim::ccid {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::size_t kHeaderSize = 10;

// Bulk-out commands.
enum Command : std::uint8_t {
  kSetParameters = 0x61,
  kIccPowerOn = 0x62,
  kIccPowerOff = 0x63,
  kGetSlotStatus = 0x65,
  kSecure = 0x69,
  kT0Apdu = 0x6A,
  kEscape = 0x6B,
  kGetParameters = 0x6C,
  kResetParameters = 0x6D,
  kIccClock = 0x6E,
  kXfrBlock = 0x6F,
  kMechanical = 0x71,
  kAbort = 0x72,
  kSetDataRateAndClockFrequency = 0x73,
};

// Bulk-in responses and interrupt-in messages.
enum Response : std::uint8_t {
  kDataBlock = 0x80,
  kSlotStatus = 0x81,
  kParameters = 0x82,
  kEscapeResponse = 0x83,
  kDataRateAndClockFrequency = 0x84,
  kNotifySlotChange = 0x50,
  kHardwareError = 0x51,
};

// bStatus: bmICCStatus (bits 0-1) and bmCommandStatus (bits 6-7).
enum IccStatus : std::uint8_t { kIccActive = 0, kIccInactive = 1, kIccAbsent = 2 };
enum CommandStatus : std::uint8_t { kProcessed = 0, kFailed = 1, kTimeExtension = 2 };

constexpr std::uint8_t MakeStatus(CommandStatus command, IccStatus icc) {
  return static_cast<std::uint8_t>((command << 6) | icc);
}

// bError when bmCommandStatus is "failed". Values 0x01-0x7F name the offset of the
// offending field in the command; 0x00 means the command is not supported.
enum Error : std::uint8_t {
  kCommandNotSupported = 0x00,
  kBadLength = 0x01,        // dwLength
  kBadSlot = 0x05,          // bSlot
  kBadPowerSelect = 0x07,   // bPowerSelect
  kBadProtocolNum = 0x07,   // bProtocolNum
  kBadLevelParameter = 0x08,  // wLevelParameter
  kBadData = 0x0A,          // first byte of abData
  kPinMismatch = 0xC0,      // vendor range: the new PIN and its confirmation differ
  kCmdSlotBusy = 0xE0,
  kPinCancelled = 0xEF,
  kPinTimeout = 0xF0,
  kBusyWithAutoSequence = 0xF2,
  kDeactivatedProtocol = 0xF3,
  kProcedureByteConflict = 0xF4,
  kIccClassNotSupported = 0xF5,
  kIccProtocolNotSupported = 0xF6,
  kBadAtrTck = 0xF7,
  kBadAtrTs = 0xF8,
  kHwError = 0xFB,
  kXfrOverrun = 0xFC,
  kXfrParityError = 0xFD,
  kIccMute = 0xFE,
  kCmdAborted = 0xFF,
};

// Class-specific requests on the default pipe.
enum ClassRequest : std::uint8_t {
  kRequestAbort = 0x01,
  kRequestGetClockFrequencies = 0x02,
  kRequestGetDataRates = 0x03,
};

inline constexpr std::uint8_t kClassDescriptorType = 0x21;
inline constexpr std::size_t kClassDescriptorSize = 54;
inline constexpr std::uint8_t kSmartCardInterfaceClass = 0x0B;

// dwFeatures bits that change what the firmware does.
inline constexpr std::uint32_t kFeatureAutoVoltage = 0x00000008;
inline constexpr std::uint32_t kFeatureNad = 0x00000200;
inline constexpr std::uint32_t kFeatureTpdu = 0x00010000;
inline constexpr std::uint32_t kFeatureShortApdu = 0x00020000;
inline constexpr std::uint32_t kFeatureExtendedApdu = 0x00040000;
inline constexpr std::uint32_t kFeatureUsbWakeUp = 0x00100000;

// Offsets of the class descriptor fields the firmware reads.
inline constexpr std::size_t kDescMaxSlotIndex = 4;
inline constexpr std::size_t kDescVoltageSupport = 5;
inline constexpr std::size_t kDescProtocols = 6;
inline constexpr std::size_t kDescDefaultClock = 10;
inline constexpr std::size_t kDescDataRate = 19;
inline constexpr std::size_t kDescMaxIfsd = 28;
inline constexpr std::size_t kDescFeatures = 40;
inline constexpr std::size_t kDescMaxMessageLength = 44;
inline constexpr std::size_t kDescClassGetResponse = 48;
inline constexpr std::size_t kDescLcdLayout = 50;
inline constexpr std::size_t kDescPinSupport = 52;

// wLevelParameter of an extended-APDU XfrBlock and bChainParameter of its DataBlock.
enum Chain : std::uint16_t {
  kChainBeginEnd = 0x00,
  kChainBegin = 0x01,
  kChainEnd = 0x02,
  kChainMiddle = 0x03,
  kChainContinue = 0x10,  // empty abData: the other side's next part is expected
};

inline std::uint16_t Le16(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}
inline std::uint32_t Le32(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at]) | (static_cast<std::uint32_t>(b[at + 1]) << 8) |
         (static_cast<std::uint32_t>(b[at + 2]) << 16) |
         (static_cast<std::uint32_t>(b[at + 3]) << 24);
}
inline void PutLe16(Bytes& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline void PutLe32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// The 10-byte header fields of a message, decoded.
struct Header {
  std::uint8_t type = 0;
  std::uint32_t length = 0;
  std::uint8_t slot = 0;
  std::uint8_t seq = 0;
  std::uint8_t b7 = 0;   // bStatus in a response; bPowerSelect, bBWI, bProtocolNum ... in a command
  std::uint8_t b8 = 0;   // bError in a response
  std::uint8_t b9 = 0;   // bChainParameter, bClockStatus, bProtocolNum in a response

  std::uint16_t Level() const { return static_cast<std::uint16_t>(b8 | (b9 << 8)); }

  static Header Parse(std::span<const std::uint8_t> m) {
    Header h;
    h.type = m[0];
    h.length = Le32(m, 1);
    h.slot = m[5];
    h.seq = m[6];
    h.b7 = m[7];
    h.b8 = m[8];
    h.b9 = m[9];
    return h;
  }
};

// A whole message: header then payload; dwLength is the payload size.
inline Bytes BuildMessage(std::uint8_t type, std::uint8_t slot, std::uint8_t seq,
                          std::uint8_t b7, std::uint8_t b8, std::uint8_t b9,
                          std::span<const std::uint8_t> payload = {}) {
  Bytes m(kHeaderSize + payload.size());
  m[0] = type;
  PutLe32(m, 1, static_cast<std::uint32_t>(payload.size()));
  m[5] = slot;
  m[6] = seq;
  m[7] = b7;
  m[8] = b8;
  m[9] = b9;
  std::copy(payload.begin(), payload.end(), m.begin() + kHeaderSize);
  return m;
}

// The response message type that answers a command; SlotStatus for an unknown code.
constexpr std::uint8_t ResponseTypeFor(std::uint8_t command) {
  switch (command) {
    case kIccPowerOn:
    case kXfrBlock:
    case kSecure:
      return kDataBlock;
    case kGetParameters:
    case kResetParameters:
    case kSetParameters:
      return kParameters;
    case kEscape:
      return kEscapeResponse;
    case kSetDataRateAndClockFrequency:
      return kDataRateAndClockFrequency;
    default:
      return kSlotStatus;
  }
}

}  // namespace sim::ccid

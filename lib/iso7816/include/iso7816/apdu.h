// Command and response APDUs (ISO/IEC 7816-3 clause 12 and 7816-4 clause 5): parsing and
// building short and extended forms, and the four cases.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "iso7816/bytes.h"

namespace iso7816 {

enum class ApduCase : std::uint8_t { k1, k2Short, k3Short, k4Short, k2Extended, k3Extended, k4Extended };

constexpr std::size_t kShortMaxNc = 255;
constexpr std::size_t kShortMaxNe = 256;
constexpr std::size_t kExtendedMaxNc = 65535;
constexpr std::size_t kExtendedMaxNe = 65536;

struct Apdu {
  std::uint8_t cla = 0;
  std::uint8_t ins = 0;
  std::uint8_t p1 = 0;
  std::uint8_t p2 = 0;
  Bytes data;           // Nc bytes of command data
  std::size_t ne = 0;   // expected response length; 0: no Le field
  bool extended = false;  // coded with extended length fields

  ApduCase Case() const;
  bool HasLe() const { return ne != 0; }
  // An Le field of all zeros (Ne 256 short, 65536 extended): "as much as available".
  bool LeIsMaximum() const { return ne == (extended ? kExtendedMaxNe : kShortMaxNe); }
  bool operator==(const Apdu&) const = default;
};

// Decodes a command APDU by the length rules of 7816-3 12.1.3. Nothing, with `reason`
// set, when the bytes fit no case.
std::optional<Apdu> ParseApdu(ByteView bytes, std::string* reason = nullptr);

// Encodes a command APDU; the extended form is used when `apdu.extended` is set or when
// Nc > 255 or Ne > 256. Nothing when Nc or Ne is out of range.
std::optional<Bytes> BuildApdu(const Apdu& apdu);

// Convenience constructor for tests and tools.
Apdu MakeApdu(std::uint8_t cla, std::uint8_t ins, std::uint8_t p1, std::uint8_t p2, Bytes data = {},
              std::size_t ne = 0, bool extended = false);

struct Response {
  Bytes data;
  std::uint8_t sw1 = 0;
  std::uint8_t sw2 = 0;
  std::uint16_t Sw() const { return static_cast<std::uint16_t>(sw1 << 8 | sw2); }
  Bytes Encode() const;
  bool operator==(const Response&) const = default;
};

// Splits a response APDU into data and SW1 SW2; nothing when shorter than two bytes.
std::optional<Response> ParseResponse(ByteView bytes);
Response MakeResponse(std::uint16_t sw, Bytes data = {});

// Status words used by the library and the simulated cards.
namespace sw {
constexpr std::uint16_t kOk = 0x9000;
constexpr std::uint16_t kEndOfFile = 0x6282;
constexpr std::uint16_t kWrongLength = 0x6700;
constexpr std::uint16_t kLogicalChannelNotSupported = 0x6881;
constexpr std::uint16_t kSecureMessagingNotSupported = 0x6882;
constexpr std::uint16_t kChainingNotSupported = 0x6884;
constexpr std::uint16_t kIncompatibleFileStructure = 0x6981;
constexpr std::uint16_t kSecurityNotSatisfied = 0x6982;
constexpr std::uint16_t kAuthMethodBlocked = 0x6983;
constexpr std::uint16_t kConditionsNotSatisfied = 0x6985;
constexpr std::uint16_t kNoCurrentEf = 0x6986;
constexpr std::uint16_t kWrongData = 0x6A80;
constexpr std::uint16_t kFunctionNotSupported = 0x6A81;
constexpr std::uint16_t kFileNotFound = 0x6A82;
constexpr std::uint16_t kNotEnoughMemory = 0x6A84;
constexpr std::uint16_t kIncorrectP1P2 = 0x6A86;
constexpr std::uint16_t kReferenceNotFound = 0x6A88;
constexpr std::uint16_t kWrongP1P2 = 0x6B00;
constexpr std::uint16_t kInsNotSupported = 0x6D00;
constexpr std::uint16_t kClaNotSupported = 0x6E00;
constexpr std::uint16_t kNoPreciseDiagnosis = 0x6F00;
}  // namespace sw

// What a status word means, with the ISO/IEC 7816-4 names: "success", "security status
// not satisfied" (6982), "verification failed, 2 tries left" (63C2), "wrong length, 16
// bytes available" (6C10). Unknown words are "unknown status".
std::string StatusWordMeaning(std::uint16_t sw);

}  // namespace iso7816

// Simulated ISO/IEC 7816 cards: profiles by name and the factory.
//
// A profile says what the card announces in its answer to reset (convention, TA1, TC1,
// T=0 and/or T=1 with TC2 WI, IFSC, BWI/CWI, LRC or CRC, historical bytes, TCK) and how it
// behaves (voltage classes it accepts, mute, extended-length APDUs, how many time
// extensions its slow operations need, how the T=0 side acknowledges data, and the format
// in which its VERIFY command expects a PIN).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "card/icc.h"
#include "iso7816/bytes.h"
#include "iso7816/edc.h"

namespace sim {

// How the PIN digits sit in the data field of VERIFY, CHANGE REFERENCE DATA and RESET
// RETRY COUNTER.
enum class PinEncoding : std::uint8_t { kAscii, kBcd };
enum class PinLengthField : std::uint8_t {
  kNone,     // digits from the first byte
  kByte,     // first byte: number of digits
  kControl,  // first byte 0x2N: control nibble 2 and N digits (ISO 9564 format 2 block)
};
struct PinFormat {
  PinEncoding encoding = PinEncoding::kAscii;
  PinLengthField length_field = PinLengthField::kNone;
  std::uint8_t block_size = 8;  // bytes of one PIN block; 0: exactly the digits, no padding
  std::uint8_t pad = 0xFF;      // padding byte (ASCII) or nibble in the low bits (BCD)
  std::uint8_t min_digits = 4;
  std::uint8_t max_digits = 12;
};

// Encodes digits as the format says; nothing when they do not fit.
std::optional<iso7816::Bytes> EncodePin(const PinFormat& format, std::string_view digits);
// Decodes one PIN block; nothing when the bytes do not follow the format.
std::optional<std::string> DecodePin(const PinFormat& format, iso7816::ByteView block);

// How the T=0 side moves command data: it asks for incoming data, and sends outgoing
// data, with these procedure bytes.
enum class T0AckMode : std::uint8_t {
  kAll,              // INS: all remaining bytes
  kEachByte,         // ~INS before every byte
  kFirstByteSingly,  // ~INS for the first byte, then INS for the rest
};

constexpr std::uint8_t kVoltage5V = 0x01;
constexpr std::uint8_t kVoltage3V = 0x02;
constexpr std::uint8_t kVoltage1V8 = 0x04;

struct CardProfile {
  std::string name;
  std::string summary;

  // Answer to reset. When `raw_atr` is set it is sent as it is and the card's transmission
  // behaviour is read from it; otherwise the ATR is built from the fields below.
  std::optional<iso7816::Bytes> raw_atr;
  bool inverse = false;
  std::optional<std::uint8_t> ta1;
  std::optional<std::uint8_t> tc1;
  bool t0 = true;
  bool t1 = false;
  std::optional<std::uint8_t> t0_wi;      // TC2
  std::optional<std::uint8_t> ta2;        // specific mode
  std::uint8_t ifsc = 32;                 // TA3 (sent when T=1 is offered)
  std::uint8_t bwi = 4;                   // TB3 high nibble
  std::uint8_t cwi = 5;                   // TB3 low nibble
  iso7816::Edc edc = iso7816::Edc::kLrc;  // TC3 bit 1
  iso7816::Bytes historical;

  // Behaviour.
  std::uint8_t voltages = kVoltage5V | kVoltage3V | kVoltage1V8;
  bool mute = false;
  bool extended_apdu = false;
  T0AckMode t0_ack = T0AckMode::kAll;
  unsigned busy_extensions = 0;   // NULL bytes (T=0) or S(WTX) requests (T=1) before every answer
  unsigned slow_extensions = 3;   // the same for INTERNAL AUTHENTICATE, the slow operation
  std::uint8_t wtx_multiplier = 1;
  // The fastest D index the card really copes with (0: whatever TA1 announces). A card
  // whose TA1 promises more stays mute after parameters asking for a faster D, until it
  // is reset, as a card clocked beyond its means does.
  std::uint8_t fastest_di = 0;
  PinFormat pin_format;
  std::uint8_t pin_reference = 0x81;
  std::string pin = "1234";
  std::string puk = "123456";
  std::uint8_t pin_tries = 3;
  std::uint8_t puk_tries = 10;
};

struct CardProfileInfo {
  std::string name;
  std::string summary;
};

// Every named profile: the built-in ones, then "real-00" .. "real-33" made from real
// cards' answers to reset.
std::vector<CardProfileInfo> CardProfiles();

// The profile of that name; also "atr:<hex>" for a card answering the given ATR, and
// "vpcd:PORT" for a card emulator speaking the vpcd protocol (vpcd_card.h), whose profile
// only names it: its answer to reset comes from the emulator.
std::optional<CardProfile> FindCardProfile(std::string_view name);

// The answer to reset a profile sends.
iso7816::Bytes BuildAtr(const CardProfile& profile);

// A card made from a named profile; nothing for an unknown name.
std::unique_ptr<Icc> MakeCard(std::string_view profile);
std::unique_ptr<Icc> MakeCard(const CardProfile& profile);

// The real answers to reset that the "real-NN" profiles use: those of the real-card data
// file (tests/data/real-atrs.json, built in), in its order.
const std::vector<std::string_view>& RealAtrs();

}  // namespace sim

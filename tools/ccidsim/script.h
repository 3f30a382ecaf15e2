// The script `ccidsim run` executes: one smart-card step a line; `#` at the start of a line
// or after a blank starts a comment.
//
//   reader NAME|FILE          at the top: the simulated reader (a catalogue name or a file)
//   card NAME|none            at the top: the card in the slot when the script starts
//   00 A4 04 00 08 F0...      an APDU in hex (spaces allowed), as pcsc-tools' scriptor reads it
//   APDU => 61XX              the answer must match: hex, X any nibble, `..` any bytes
//   reset [cold|warm]         reset the card (scriptor's reset is warm) and select the protocol again
//   power-down                power the card off
//   protocol T0|T1|T0,T1      the protocols to offer; selected at once when a card is powered
//   insert [CARD] / remove    change the card and wait until the driver has seen it
//   state, attribute NAME     the library's view of the card and the reader
//   class-descriptor, clocks, data-rates, transfer HEX, read-event, abort
//                             the driver's own control codes
//   keypad KEYS               what the user types on the reader's PIN pad: digits, # (OK),
//                             * (correction), C (cancel), . (a pause)
//   verify-pin [SETTINGS], modify-pin [SETTINGS]
//                             PIN entry on the keypad (settings: pin_structure.h); the
//                             answer is the card's
//   features, properties, escape HEX
//                             the PC/SC part 10 feature list, the PIN-pad and TLV
//                             properties, a reader escape
//   sleep S3|S4               the system goes to sleep (S3) or hibernates (S4)
//   wake                      the system returns to S0
//   wake-by-card [CARD]       while asleep, the card goes in and the reader wakes the
//                             system (remote wake); the system returns to S0
//   exit                      end the script here
//
// Any step that yields bytes may carry `=> EXPECTED`; `state => NAME` checks the card state.
// Parsing is pure: it knows nothing of the stack the script later runs on.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "expectation.h"

namespace ccidsim {

enum class ScriptAction : std::uint8_t {
  Apdu,
  Reset,
  Exit,
  Insert,
  Remove,
  PowerDown,
  Protocol,
  State,
  Attribute,
  ClassDescriptor,
  Clocks,
  DataRates,
  Transfer,
  ReadEvent,
  Abort,
  Keypad,
  VerifyPin,
  ModifyPin,
  Features,
  Properties,
  Escape,
  Sleep,
  Wake,
  WakeByCard,
};

// scriptor's `reset` is a warm reset; `reset cold` powers the card down first.
enum class ResetKind : std::uint8_t { Warm, Cold };

struct ScriptStep {
  int line = 0;
  std::string text;  // the step as written, comment and surrounding blanks removed
  ScriptAction action = ScriptAction::Apdu;
  Bytes data;                         // the APDU, the CCID message of `transfer`, the PIN structure, the escape
  std::string keys;                   // `keypad KEYS`
  ResetKind reset = ResetKind::Warm;
  std::uint32_t protocols = 0;        // SCARD_PROTOCOL_* bits of `protocol`
  std::uint32_t attribute = 0;        // SCARD_ATTR_* tag of `attribute`
  std::string card;                   // `insert CARD`, `wake-by-card CARD`; empty: the script's card
  std::uint8_t sleepState = 0;        // `sleep`: 3 or 4 (S3, S4)
  std::optional<Expectation> expect;  // `=> EXPECTED` on a step that yields bytes
  std::optional<std::uint32_t> expectedState;  // `state => NAME`: SCARD_ABSENT ... SCARD_SPECIFIC
};

struct Script {
  std::string reader;  // empty: not named in the script
  std::string card;    // empty: not named; "none": no card at the start
  std::vector<ScriptStep> steps;
};

struct ScriptError {
  int line = 0;
  std::string message;
};

// Reads a whole script. Nothing, with the first error's line and reason, when a line is
// not a step.
std::optional<Script> ParseScript(std::string_view text, ScriptError* error);

// The attribute of that name: "vendor-name", "SCARD_ATTR_VENDOR_NAME", or a number
// ("0x00010100"); nothing for an unknown name.
std::optional<std::uint32_t> AttributeTag(std::string_view name);
// "SCARD_ATTR_VENDOR_NAME", or the tag in hex.
std::string AttributeName(std::uint32_t tag);
// Whether the attribute's value is text (vendor name, ...) or a number, or else bytes.
enum class AttributeFormat : std::uint8_t { Text, Number, Bytes };
AttributeFormat AttributeFormatOf(std::uint32_t tag);

}  // namespace ccidsim

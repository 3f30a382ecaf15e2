// Reading `ccidsim run` scripts: one step a line, checked before anything runs.
#include "script.h"

#include <wdm.h>
#include <winsmcrd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "iso7816/bytes.h"
#include "pin_structure.h"

namespace ccidsim {
namespace {

struct AttributeInfo {
  std::uint32_t tag;
  const char* name;
  AttributeFormat format;
};

constexpr AttributeInfo kAttributes[] = {
    {SCARD_ATTR_VENDOR_NAME, "SCARD_ATTR_VENDOR_NAME", AttributeFormat::Text},
    {SCARD_ATTR_VENDOR_IFD_TYPE, "SCARD_ATTR_VENDOR_IFD_TYPE", AttributeFormat::Text},
    {SCARD_ATTR_VENDOR_IFD_VERSION, "SCARD_ATTR_VENDOR_IFD_VERSION", AttributeFormat::Number},
    {SCARD_ATTR_VENDOR_IFD_SERIAL_NO, "SCARD_ATTR_VENDOR_IFD_SERIAL_NO", AttributeFormat::Text},
    {SCARD_ATTR_CHANNEL_ID, "SCARD_ATTR_CHANNEL_ID", AttributeFormat::Number},
    {SCARD_ATTR_PROTOCOL_TYPES, "SCARD_ATTR_PROTOCOL_TYPES", AttributeFormat::Number},
    {SCARD_ATTR_DEFAULT_CLK, "SCARD_ATTR_DEFAULT_CLK", AttributeFormat::Number},
    {SCARD_ATTR_MAX_CLK, "SCARD_ATTR_MAX_CLK", AttributeFormat::Number},
    {SCARD_ATTR_DEFAULT_DATA_RATE, "SCARD_ATTR_DEFAULT_DATA_RATE", AttributeFormat::Number},
    {SCARD_ATTR_MAX_DATA_RATE, "SCARD_ATTR_MAX_DATA_RATE", AttributeFormat::Number},
    {SCARD_ATTR_MAX_IFSD, "SCARD_ATTR_MAX_IFSD", AttributeFormat::Number},
    {SCARD_ATTR_POWER_MGMT_SUPPORT, "SCARD_ATTR_POWER_MGMT_SUPPORT", AttributeFormat::Number},
    {SCARD_ATTR_CHARACTERISTICS, "SCARD_ATTR_CHARACTERISTICS", AttributeFormat::Number},
    {SCARD_ATTR_CURRENT_PROTOCOL_TYPE, "SCARD_ATTR_CURRENT_PROTOCOL_TYPE", AttributeFormat::Number},
    {SCARD_ATTR_CURRENT_CLK, "SCARD_ATTR_CURRENT_CLK", AttributeFormat::Number},
    {SCARD_ATTR_CURRENT_F, "SCARD_ATTR_CURRENT_F", AttributeFormat::Number},
    {SCARD_ATTR_CURRENT_D, "SCARD_ATTR_CURRENT_D", AttributeFormat::Number},
    {SCARD_ATTR_CURRENT_N, "SCARD_ATTR_CURRENT_N", AttributeFormat::Number},
    {SCARD_ATTR_CURRENT_W, "SCARD_ATTR_CURRENT_W", AttributeFormat::Number},
    {SCARD_ATTR_CURRENT_IFSC, "SCARD_ATTR_CURRENT_IFSC", AttributeFormat::Number},
    {SCARD_ATTR_CURRENT_IFSD, "SCARD_ATTR_CURRENT_IFSD", AttributeFormat::Number},
    {SCARD_ATTR_CURRENT_BWT, "SCARD_ATTR_CURRENT_BWT", AttributeFormat::Number},
    {SCARD_ATTR_CURRENT_CWT, "SCARD_ATTR_CURRENT_CWT", AttributeFormat::Number},
    {SCARD_ATTR_CURRENT_EBC_ENCODING, "SCARD_ATTR_CURRENT_EBC_ENCODING", AttributeFormat::Number},
    {SCARD_ATTR_EXTENDED_BWT, "SCARD_ATTR_EXTENDED_BWT", AttributeFormat::Number},
    {SCARD_ATTR_ICC_PRESENCE, "SCARD_ATTR_ICC_PRESENCE", AttributeFormat::Number},
    {SCARD_ATTR_ICC_INTERFACE_STATUS, "SCARD_ATTR_ICC_INTERFACE_STATUS", AttributeFormat::Number},
    {SCARD_ATTR_CURRENT_IO_STATE, "SCARD_ATTR_CURRENT_IO_STATE", AttributeFormat::Bytes},
    {SCARD_ATTR_ATR_STRING, "SCARD_ATTR_ATR_STRING", AttributeFormat::Bytes},
    {SCARD_ATTR_ICC_TYPE_PER_ATR, "SCARD_ATTR_ICC_TYPE_PER_ATR", AttributeFormat::Number},
    {SCARD_ATTR_DEVICE_UNIT, "SCARD_ATTR_DEVICE_UNIT", AttributeFormat::Number},
    {SCARD_ATTR_DEVICE_IN_USE, "SCARD_ATTR_DEVICE_IN_USE", AttributeFormat::Number},
};

struct StateInfo {
  std::uint32_t state;
  const char* name;
};

constexpr StateInfo kStates[] = {
    {SCARD_UNKNOWN, "unknown"},       {SCARD_ABSENT, "absent"},         {SCARD_PRESENT, "present"},
    {SCARD_SWALLOWED, "swallowed"},   {SCARD_POWERED, "powered"},       {SCARD_NEGOTIABLE, "negotiable"},
    {SCARD_SPECIFIC, "specific"},
};

// The words that name a step; anything else is read as hex.
struct Keyword {
  const char* word;
  ScriptAction action;
  bool yieldsBytes;  // may carry `=> EXPECTED`
};

constexpr Keyword kKeywords[] = {
    {"reset", ScriptAction::Reset, true},
    {"exit", ScriptAction::Exit, false},
    {"insert", ScriptAction::Insert, false},
    {"remove", ScriptAction::Remove, false},
    {"power-down", ScriptAction::PowerDown, false},
    {"protocol", ScriptAction::Protocol, false},
    {"state", ScriptAction::State, false},
    {"attribute", ScriptAction::Attribute, true},
    {"class-descriptor", ScriptAction::ClassDescriptor, true},
    {"clocks", ScriptAction::Clocks, true},
    {"data-rates", ScriptAction::DataRates, true},
    {"transfer", ScriptAction::Transfer, true},
    {"read-event", ScriptAction::ReadEvent, true},
    {"abort", ScriptAction::Abort, false},
    {"keypad", ScriptAction::Keypad, false},
    {"verify-pin", ScriptAction::VerifyPin, true},
    {"modify-pin", ScriptAction::ModifyPin, true},
    {"features", ScriptAction::Features, true},
    {"properties", ScriptAction::Properties, true},
    {"escape", ScriptAction::Escape, true},
    {"sleep", ScriptAction::Sleep, false},
    {"wake", ScriptAction::Wake, false},
    {"wake-by-card", ScriptAction::WakeByCard, false},
};

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return text;
}

// A line without its comment: `#` at the start or after a blank (a `#` within a word is
// the PIN pad's OK key, as in `keypad 1234#`).
std::string_view WithoutComment(std::string_view line) {
  for (std::size_t at = 0; at < line.size(); ++at)
    if (line[at] == '#' && (at == 0 || std::isspace(static_cast<unsigned char>(line[at - 1])))) return line.substr(0, at);
  return line;
}

// The first word of `text` and the rest after it, trimmed.
std::pair<std::string_view, std::string_view> SplitWord(std::string_view text) {
  std::size_t end = 0;
  while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end]))) ++end;
  return {text.substr(0, end), Trim(text.substr(end))};
}

// "T0", "T1", "T0,T1" (also "T=1", "t1|t0") to SCARD_PROTOCOL_* bits.
std::optional<std::uint32_t> Protocols(std::string_view text) {
  std::uint32_t mask = 0;
  std::string word;
  auto take = [&mask, &word]() {
    const std::string lower = Lower(word);
    word.clear();
    if (lower == "t0" || lower == "t=0") {
      mask |= SCARD_PROTOCOL_T0;
    } else if (lower == "t1" || lower == "t=1") {
      mask |= SCARD_PROTOCOL_T1;
    } else {
      return false;
    }
    return true;
  };
  for (const char c : text) {
    if (c == ',' || c == '|' || c == '+') {
      if (!take()) return std::nullopt;
    } else if (!std::isspace(static_cast<unsigned char>(c))) {
      word += c;
    }
  }
  if (!take()) return std::nullopt;
  return mask;
}

// The attribute's short name: "SCARD_ATTR_VENDOR_NAME" -> "vendor-name".
std::string ShortName(const char* name) {
  std::string text = Lower(std::string_view(name).substr(sizeof("SCARD_ATTR_") - 1));
  std::replace(text.begin(), text.end(), '_', '-');
  return text;
}

class LineReader {
 public:
  LineReader(int line, std::string_view text, ScriptError* error) : line_(line), text_(text), error_(error) {}

  // The step on this line, or nothing (with the error set).
  std::optional<ScriptStep> Step() {
    ScriptStep step;
    step.line = line_;
    step.text = std::string(text_);
    std::string_view command = text_;
    std::optional<std::string_view> expected;
    if (const std::size_t arrow = text_.find("=>"); arrow != std::string_view::npos) {
      command = Trim(text_.substr(0, arrow));
      expected = Trim(text_.substr(arrow + 2));
    }
    const auto [word, argument] = SplitWord(command);
    const std::string lower = Lower(word);
    const Keyword* keyword = nullptr;
    for (const Keyword& k : kKeywords)
      if (lower == k.word) keyword = &k;
    if (keyword == nullptr) {
      if (!Apdu(command, step)) return std::nullopt;
    } else {
      step.action = keyword->action;
      if (!Arguments(argument, step)) return std::nullopt;
    }
    if (expected && !Expected(*expected, keyword == nullptr || keyword->yieldsBytes, step)) return std::nullopt;
    return step;
  }

 private:
  bool Fail(std::string message) {
    if (error_ != nullptr) *error_ = ScriptError{line_, std::move(message)};
    return false;
  }

  bool Apdu(std::string_view command, ScriptStep& step) {
    const std::optional<iso7816::Bytes> bytes = iso7816::FromHex(command);
    if (!bytes) return Fail("\"" + std::string(command) + "\" is neither a step nor an APDU in hex");
    if (bytes->size() < 4) return Fail("an APDU has at least the four header bytes CLA INS P1 P2");
    step.action = ScriptAction::Apdu;
    step.data = *bytes;
    return true;
  }

  bool Arguments(std::string_view argument, ScriptStep& step) {
    switch (step.action) {
      case ScriptAction::Reset: {
        const std::string kind = Lower(argument);
        if (kind.empty() || kind == "warm") return true;
        if (kind == "cold") {
          step.reset = ResetKind::Cold;
          return true;
        }
        return Fail("reset is \"reset\", \"reset cold\" or \"reset warm\"");
      }
      case ScriptAction::Protocol: {
        const auto mask = Protocols(argument);
        if (!mask) return Fail("protocol is \"protocol T0\", \"protocol T1\" or \"protocol T0,T1\"");
        step.protocols = *mask;
        return true;
      }
      case ScriptAction::Attribute: {
        if (argument.empty()) return Fail("attribute needs a name, such as vendor-name or SCARD_ATTR_ATR_STRING");
        const auto tag = AttributeTag(argument);
        if (!tag) return Fail("unknown attribute \"" + std::string(argument) + "\"");
        step.attribute = *tag;
        return true;
      }
      case ScriptAction::Transfer: {
        const std::optional<iso7816::Bytes> bytes = iso7816::FromHex(argument);
        if (!bytes || bytes->empty()) return Fail("transfer needs a CCID message in hex");
        step.data = *bytes;
        return true;
      }
      case ScriptAction::Sleep: {
        const std::string state = Lower(argument);
        if (state != "s3" && state != "s4") return Fail("sleep is \"sleep S3\" or \"sleep S4\"");
        step.sleepState = static_cast<std::uint8_t>(state[1] - '0');
        return true;
      }
      case ScriptAction::Insert:
      case ScriptAction::WakeByCard:
        step.card = std::string(argument);
        return true;
      case ScriptAction::Keypad:
        if (argument.empty() || argument.find_first_not_of("0123456789#*EBC. ") != std::string_view::npos)
          return Fail("keypad takes keys: digits, # (OK), * (correction), C (cancel), . (a pause)");
        for (char key : argument)
          if (key != ' ') step.keys.push_back(key);
        return true;
      case ScriptAction::VerifyPin:
      case ScriptAction::ModifyPin: {
        std::string reason;
        const auto structure = BuildPinStructure(step.action == ScriptAction::ModifyPin, argument, &reason);
        if (!structure) return Fail(reason);
        step.data = *structure;
        return true;
      }
      case ScriptAction::Escape: {
        const std::optional<iso7816::Bytes> bytes = iso7816::FromHex(argument);
        if (!bytes || bytes->empty()) return Fail("escape needs the reader command in hex");
        step.data = *bytes;
        return true;
      }
      default:
        if (!argument.empty()) return Fail("\"" + std::string(SplitWord(text_).first) + "\" takes no argument");
        return true;
    }
  }

  bool Expected(std::string_view expected, bool yieldsBytes, ScriptStep& step) {
    if (step.action == ScriptAction::State) {
      std::string name = Lower(expected);
      if (name.rfind("scard_", 0) == 0) name.erase(0, 6);
      for (const StateInfo& state : kStates)
        if (name == state.name) {
          step.expectedState = state.state;
          return true;
        }
      return Fail("\"" + std::string(expected) + "\" is not a card state (absent, present, powered, negotiable, specific ...)");
    }
    if (!yieldsBytes) return Fail("\"" + std::string(SplitWord(text_).first) + "\" answers nothing to expect");
    std::string reason;
    step.expect = Expectation::Parse(expected, &reason);
    if (!step.expect) return Fail("expected answer: " + reason);
    return true;
  }

  int line_;
  std::string_view text_;
  ScriptError* error_;
};

}  // namespace

std::optional<Script> ParseScript(std::string_view text, ScriptError* error) {
  Script script;
  int line = 0;
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);  // a UTF-8 byte-order mark
  while (!text.empty()) {
    ++line;
    const std::size_t end = text.find('\n');
    std::string_view raw = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    raw = WithoutComment(raw);
    raw = Trim(raw);
    if (raw.empty()) continue;

    const auto [word, argument] = SplitWord(raw);
    const std::string lower = Lower(word);
    if (lower == "reader" || lower == "card") {
      std::string& value = lower == "reader" ? script.reader : script.card;
      auto fail = [error, line](std::string message) {
        if (error != nullptr) *error = ScriptError{line, std::move(message)};
        return std::nullopt;
      };
      if (!script.steps.empty()) return fail("\"" + lower + "\" belongs at the top, before the first step");
      if (argument.empty()) return fail("\"" + lower + "\" needs a name");
      if (!value.empty()) return fail("a second \"" + lower + "\" line");
      value = std::string(argument);
      continue;
    }
    std::optional<ScriptStep> step = LineReader(line, raw, error).Step();
    if (!step) return std::nullopt;
    script.steps.push_back(std::move(*step));
  }
  return script;
}

std::optional<std::uint32_t> AttributeTag(std::string_view name) {
  const std::string lower = Lower(name);
  for (const AttributeInfo& info : kAttributes)
    if (lower == Lower(info.name) || lower == ShortName(info.name)) return info.tag;
  const std::string number(name);
  char* end = nullptr;
  const unsigned long value = std::strtoul(number.c_str(), &end, 0);
  if (!number.empty() && end != nullptr && *end == '\0' && value <= 0xFFFFFFFFul)
    return static_cast<std::uint32_t>(value);
  return std::nullopt;
}

std::string AttributeName(std::uint32_t tag) {
  for (const AttributeInfo& info : kAttributes)
    if (info.tag == tag) return info.name;
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", tag);
  return text;
}

AttributeFormat AttributeFormatOf(std::uint32_t tag) {
  for (const AttributeInfo& info : kAttributes)
    if (info.tag == tag) return info.format;
  return AttributeFormat::Bytes;
}

}  // namespace ccidsim

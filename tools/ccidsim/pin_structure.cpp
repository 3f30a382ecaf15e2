// Builds the part 10 PIN structures from readable settings and decodes the feature answers.
#include "pin_structure.h"

#include <cstdio>
#include <cstdlib>
#include <map>

#include "iso7816/bytes.h"

namespace ccidsim {
namespace {

constexpr std::uint8_t kUnitsBytes = 0x80;      // bmFormatString: position in bytes
constexpr std::uint8_t kRightJustify = 0x04;
constexpr std::uint8_t kLengthInBytes = 0x10;   // bmPINLengthFormat: position in bytes
constexpr std::uint16_t kLangEnglish = 0x0409;
constexpr std::uint8_t kTemplate = 0xFF;

struct Settings {
  std::map<std::string, std::string, std::less<>> values;

  std::optional<unsigned> Number(std::string_view name, unsigned fallback, unsigned max, std::string* error) const {
    auto it = values.find(name);
    if (it == values.end()) return fallback;
    char* end = nullptr;
    const unsigned long value = std::strtoul(it->second.c_str(), &end, 0);
    if (it->second.empty() || *end != '\0' || value > max) {
      *error = std::string(name) + "=" + it->second + " is not a number from 0 to " + std::to_string(max);
      return std::nullopt;
    }
    return static_cast<unsigned>(value);
  }
  std::optional<bool> YesNo(std::string_view name, bool fallback, std::string* error) const {
    auto it = values.find(name);
    if (it == values.end()) return fallback;
    if (it->second == "yes") return true;
    if (it->second == "no") return false;
    *error = std::string(name) + " takes yes or no";
    return std::nullopt;
  }
  std::string Text(std::string_view name, std::string fallback) const {
    auto it = values.find(name);
    return it == values.end() ? fallback : it->second;
  }
};

std::optional<Settings> ReadSettings(bool modify, std::string_view text, std::string* error) {
  static const char* const kCommon[] = {"apdu", "format", "block", "justify", "pin-at", "length-bits", "length-at", "length-at-bit",
                                        "min", "max", "validation", "timeout", "messages"};
  static const char* const kModify[] = {"old-at", "new-at", "old", "confirm"};
  Settings s;
  while (!text.empty()) {
    const std::size_t start = text.find_first_not_of(" \t");
    if (start == std::string_view::npos) break;
    text.remove_prefix(start);
    const std::size_t end = std::min(text.find_first_of(" \t"), text.size());
    const std::string_view word = text.substr(0, end);
    text.remove_prefix(end);
    const std::size_t equals = word.find('=');
    const std::string name(word.substr(0, equals));
    bool known = false;
    for (const char* k : kCommon) known = known || name == k;
    for (const char* k : kModify) known = known || (modify && name == k);
    if (equals == std::string_view::npos || !known) {
      *error = "\"" + std::string(word) + "\" is not a setting (apdu=, format=, block=, min=, max=, timeout= ...)";
      return std::nullopt;
    }
    s.values[name] = std::string(word.substr(equals + 1));
  }
  return s;
}

std::optional<std::uint8_t> Validation(const std::string& text, std::string* error) {
  std::uint8_t bits = 0;
  std::size_t at = 0;
  while (at <= text.size()) {
    const std::size_t comma = std::min(text.find(',', at), text.size());
    const std::string word = text.substr(at, comma - at);
    if (word == "max") bits |= 1;
    else if (word == "key") bits |= 2;
    else if (word == "timeout") bits |= 4;
    else {
      *error = "validation takes key, max and timeout, separated by commas";
      return std::nullopt;
    }
    at = comma + 1;
  }
  return bits;
}

void PutLe32(Bytes& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

}  // namespace

std::optional<Bytes> BuildPinStructure(bool modify, std::string_view text, std::string* error) {
  const std::optional<Settings> s = ReadSettings(modify, text, error);
  if (!s) return std::nullopt;
  Bytes apdu = modify ? Bytes{0x00, 0x24, 0x00, 0x81, 0x10} : Bytes{0x00, 0x20, 0x00, 0x81, 0x08};
  apdu.insert(apdu.end(), apdu[4], kTemplate);
  if (s->values.count("apdu")) {
    const auto hex = iso7816::FromHex(s->Text("apdu", ""));
    if (!hex || hex->size() < 4) {
      *error = "apdu= needs a command in hex, at least CLA INS P1 P2";
      return std::nullopt;
    }
    apdu = *hex;
  }
  const std::string format = s->Text("format", "ascii");
  const std::uint8_t coding = format == "binary" ? 0 : format == "bcd" ? 1 : format == "ascii" ? 2 : 3;
  const std::string justify = s->Text("justify", "left");
  if (coding > 2 || (justify != "left" && justify != "right")) {
    *error = "format takes ascii, bcd or binary; justify takes left or right";
    return std::nullopt;
  }
  const auto block = s->Number("block", 8, 15, error), pinAt = s->Number("pin-at", 0, 15, error),
             lengthBits = s->Number("length-bits", 0, 15, error), lengthAt = s->Number("length-at", 0, 15, error),
             lengthAtBit = s->Number("length-at-bit", 16, 15, error),
             min = s->Number("min", 4, 255, error), max = s->Number("max", 8, 255, error),
             timeout = s->Number("timeout", 0, 255, error), messages = s->Number("messages", modify ? 3 : 1, 255, error),
             oldAt = s->Number("old-at", 0, 255, error), newAt = s->Number("new-at", 8, 255, error);
  const auto validation = Validation(s->Text("validation", "key"), error);
  const auto withOld = s->YesNo("old", true, error), confirm = s->YesNo("confirm", true, error);
  if (!block || !pinAt || !lengthBits || !lengthAt || !lengthAtBit || !min || !max || !timeout || !messages || !oldAt || !newAt ||
      !validation || !withOld || !confirm)
    return std::nullopt;

  const auto b = [](unsigned v) { return static_cast<std::uint8_t>(v); };
  Bytes out{b(*timeout), 0x00,
            b(kUnitsBytes | (*pinAt << 3) | (justify == "right" ? kRightJustify : 0) | coding),
            b(*lengthBits << 4 | *block), b(!*lengthBits ? 0 : *lengthAtBit < 16 ? *lengthAtBit : kLengthInBytes | *lengthAt)};
  if (modify) out.insert(out.end(), {b(*oldAt), b(*newAt)});
  out.insert(out.end(), {b(*max), b(*min)});
  if (modify) out.push_back(b((*withOld ? 2 : 0) | (*confirm ? 1 : 0)));
  out.insert(out.end(), {*validation, b(*messages), b(kLangEnglish & 0xFF), b(kLangEnglish >> 8), 0x00});
  if (modify) out.insert(out.end(), {0x01, 0x02});
  out.insert(out.end(), {0x00, 0x00, 0x00});  // bTeoPrologue
  PutLe32(out, static_cast<std::uint32_t>(apdu.size()));
  out.insert(out.end(), apdu.begin(), apdu.end());
  return out;
}

std::vector<std::string> DescribeFeatures(const Bytes& list) {
  static const std::map<std::uint8_t, const char*> kNames = {
      {0x06, "FEATURE_VERIFY_PIN_DIRECT"},  {0x07, "FEATURE_MODIFY_PIN_DIRECT"},
      {0x0A, "FEATURE_IFD_PIN_PROPERTIES"}, {0x0B, "FEATURE_ABORT"},
      {0x12, "FEATURE_GET_TLV_PROPERTIES"}, {0x13, "FEATURE_CCID_ESC_COMMAND"}};
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < list.size(); at += 6) {
    if (list.size() - at < 6 || list[at + 1] != 4) {
      lines.push_back("(" + std::to_string(list.size() - at) + " bytes that are no 6-byte entry)");
      break;
    }
    const auto name = kNames.find(list[at]);
    char text[96];
    std::snprintf(text, sizeof(text), "%s (%02X): 0x%02X%02X%02X%02X",
                  name == kNames.end() ? "unknown feature" : name->second, list[at], list[at + 2], list[at + 3],
                  list[at + 4], list[at + 5]);
    lines.push_back(text);
  }
  return lines;
}

std::string DescribePinProperties(const Bytes& p) {
  if (p.size() < 4) return "(" + std::to_string(p.size()) + " bytes, not a PIN_PROPERTIES_STRUCTURE)";
  char text[160];
  const unsigned lcd = static_cast<unsigned>(p[0] | p[1] << 8);
  std::snprintf(text, sizeof(text), "display %s, entry ends on 0x%02X (max, key, timeout bits), bTimeOut2 %u",
                lcd == 0 ? "none" : (std::to_string(lcd >> 8) + " lines of " + std::to_string(lcd & 0xFF)).c_str(),
                p[2], p[3]);
  return text;
}

std::vector<std::string> DescribeTlvProperties(const Bytes& tlv) {
  static const std::map<std::uint8_t, const char*> kNames = {
      {0x01, "wLcdLayout"}, {0x02, "bEntryValidationCondition"}, {0x03, "bTimeOut2"}, {0x04, "wLcdMaxCharacters"},
      {0x05, "wLcdMaxLines"}, {0x06, "bMinPINSize"}, {0x07, "bMaxPINSize"}, {0x08, "sFirmwareID"},
      {0x09, "bPPDUSupport"}, {0x0A, "dwMaxAPDUDataSize"}, {0x0B, "wIdVendor"}, {0x0C, "wIdProduct"}};
  std::vector<std::string> lines;
  for (std::size_t at = 0; at + 2 <= tlv.size();) {
    const std::size_t length = tlv[at + 1];
    if (at + 2 + length > tlv.size()) {
      lines.push_back("(a cut TLV)");
      break;
    }
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < length && i < 8; ++i) value = value << 8 | tlv[at + 2 + i];
    const auto name = kNames.find(tlv[at]);
    char text[96];
    std::snprintf(text, sizeof(text), "%s = %llu (0x%llX)", name == kNames.end() ? "tag" : name->second,
                  static_cast<unsigned long long>(value), static_cast<unsigned long long>(value));
    lines.push_back(text);
    at += 2 + length;
  }
  return lines;
}

}  // namespace ccidsim

#include "control_codes.h"

namespace pcsc_bridge {
namespace {

// CTL_CODE fields: device type << 16 | access << 14 | function << 2 | method.
constexpr std::uint32_t kFunctionMask = 0xFFF;
constexpr std::uint32_t kNonFunctionBits = 0xFFFFC003;  // device type, access and method

}  // namespace

std::optional<std::uint32_t> PcscFromWindowsSmartcard(std::uint32_t windowsCode) {
  if ((windowsCode & kNonFunctionBits) != kWindowsSmartcardBase) return std::nullopt;
  return kPcscControlBase + ((windowsCode >> 2) & kFunctionMask);
}

std::optional<std::uint32_t> WindowsSmartcardFromPcsc(std::uint32_t pcscCode) {
  if (pcscCode < kPcscControlBase || pcscCode - kPcscControlBase > kFunctionMask) return std::nullopt;
  return kWindowsSmartcardBase | (pcscCode - kPcscControlBase) << 2;
}

void ControlCodeMap::TranslateFeatureList(std::vector<std::uint8_t>& list) {
  constexpr std::size_t kEntry = 6;
  for (std::size_t at = 0; at + 2 <= list.size(); at += 2 + list[at + 1]) {
    if (list[at + 1] != 4) continue;
    if (at + kEntry > list.size()) return;
    std::uint8_t* code = &list[at + 2];
    const std::uint32_t windows = std::uint32_t{code[0]} << 24 | std::uint32_t{code[1]} << 16 |
                                  std::uint32_t{code[2]} << 8 | code[3];
    const std::uint32_t pcsc =
        PcscFromWindowsSmartcard(windows).value_or(kPcscControlBase + kFeatureFunctionBase + list[at]);
    toWindows_[pcsc] = windows;
    for (int i = 0; i < 4; ++i) code[i] = static_cast<std::uint8_t>(pcsc >> (24 - 8 * i));
  }
}

std::optional<std::uint32_t> ControlCodeMap::ToWindows(std::uint32_t pcscCode) const {
  const auto learnt = toWindows_.find(pcscCode);
  if (learnt != toWindows_.end()) return learnt->second;
  return WindowsSmartcardFromPcsc(pcscCode);
}

}  // namespace pcsc_bridge

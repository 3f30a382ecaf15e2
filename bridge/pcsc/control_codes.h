// Control codes between the two worlds the bridge joins. A Windows application names a
// reader's request with CTL_CODE(device type, function, method, access); pcsc-lite's
// applications and reader drivers use SCARD_CTL_CODE(x) = 0x42000000 + x. The bridge never
// hands a code from one world to the other unchanged:
//  - a smart-card request (FILE_DEVICE_SMARTCARD, METHOD_BUFFERED, FILE_ANY_ACCESS,
//    function x) is SCARD_CTL_CODE(x) in pcsc-lite, both ways (the part 10 feature request,
//    function 3400, is 0x00313520 on Windows and 0x42000D48 in pcsc-lite);
//  - a feature the driver announces under a code of another device type (its PIN pad, its
//    escape and abort requests) is SCARD_CTL_CODE(3500 + feature tag) in pcsc-lite, and
//    the feature list the application reads carries those codes instead of the driver's.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace pcsc_bridge {

constexpr std::uint32_t kPcscControlBase = 0x42000000;       // SCARD_CTL_CODE(0) in pcsc-lite
constexpr std::uint32_t kWindowsSmartcardBase = 0x00310000;  // CTL_CODE(FILE_DEVICE_SMARTCARD, 0, ...)
constexpr std::uint32_t kFeatureFunctionBase = 3500;         // pcsc-lite codes of other devices' features
constexpr std::uint32_t kFeatureRequestFunction = 3400;      // the part 10 feature request

// The pcsc-lite code of a Windows smart-card request, or nothing for another kind of code.
std::optional<std::uint32_t> PcscFromWindowsSmartcard(std::uint32_t windowsCode);
// The Windows smart-card request of a pcsc-lite code, or nothing outside SCARD_CTL_CODE.
std::optional<std::uint32_t> WindowsSmartcardFromPcsc(std::uint32_t pcscCode);

// The codes of one reader's features, learnt from its feature list.
class ControlCodeMap {
 public:
  // Rewrites the control codes of a part 10 feature list (tag, length 4, code most
  // significant byte first) into pcsc-lite codes, remembering each pair. Entries of
  // another length are left alone; a truncated last entry ends the walk.
  void TranslateFeatureList(std::vector<std::uint8_t>& list);
  // The Windows code for a pcsc-lite code: a learnt feature, else a smart-card request.
  std::optional<std::uint32_t> ToWindows(std::uint32_t pcscCode) const;

 private:
  std::map<std::uint32_t, std::uint32_t> toWindows_;
};

}  // namespace pcsc_bridge

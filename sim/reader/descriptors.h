// USB descriptors of a reader profile: device, configuration set (configuration,
// interfaces, CCID class descriptor, endpoints, padding) and string descriptors.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "reader/reader_profile.h"

namespace sim {

inline constexpr std::uint16_t kLangIdEnglishUs = 0x0409;
inline constexpr std::uint8_t kConfigurationValue = 1;

struct DescriptorSet {
  ccid::Bytes device;         // 18 bytes
  ccid::Bytes configuration;  // the whole set, wTotalLength bytes
  std::vector<std::string> strings;  // index 1.. (index 0 is the language list)
};

DescriptorSet BuildDescriptors(const ReaderProfile& profile);

// String descriptor `index` (0: the supported language IDs); nothing for an unknown one.
std::optional<ccid::Bytes> StringDescriptor(const DescriptorSet& set, std::uint8_t index);

}  // namespace sim

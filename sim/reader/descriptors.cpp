// Descriptor tables built from a profile (USB 2.0 chapter 9 layouts).
#include "reader/descriptors.h"

#include <stdexcept>

namespace sim {
namespace {

constexpr std::uint8_t kDeviceType = 1, kConfigurationType = 2, kStringType = 3;
constexpr std::uint8_t kInterfaceType = 4, kEndpointType = 5;
constexpr std::uint8_t kVendorClass = 0xFF;
constexpr std::uint8_t kVendorPaddingType = 0x24;  // class-specific, under a vendor interface
constexpr std::size_t kConfigSize = 9, kInterfaceSize = 9, kEndpointSize = 7;
constexpr std::uint8_t kStringManufacturer = 1, kStringProduct = 2, kStringSerial = 3;
constexpr std::uint8_t kStringInterface = 4;
constexpr std::uint8_t kMaxPower100mA = 50;  // units of 2 mA

void Put16(ccid::Bytes& b, std::uint16_t v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}

void AddInterface(ccid::Bytes& b, std::uint8_t number, std::uint8_t endpoints, std::uint8_t cls,
                  std::uint8_t string, std::uint8_t subclass = 0, std::uint8_t protocol = 0) {
  b.insert(b.end(), {kInterfaceSize, kInterfaceType, number, 0, endpoints, cls, subclass, protocol, string});
}

void AddEndpoint(ccid::Bytes& b, const EndpointConfig& ep) {
  b.insert(b.end(), {kEndpointSize, kEndpointType, ep.address, ep.attributes});
  Put16(b, ep.max_packet);
  b.push_back(ep.interval);
}

// Vendor descriptors that bring the set to exactly `total` bytes: pieces of at most 255
// bytes, never of 54 bytes (so nothing in the padding can pass for a class descriptor).
void AddPadding(ccid::Bytes& b, std::size_t total) {
  if (total == b.size()) return;
  if (total < b.size() + 2) throw std::runtime_error("configuration length below its descriptors");
  std::size_t left = total - b.size();
  while (left > 0) {
    std::size_t piece = left > 255 ? 200 : left;
    if (piece == 54) piece = 50;  // the rest (4 bytes) follows as another piece
    if (left - piece == 1) piece -= 2;
    b.push_back(static_cast<std::uint8_t>(piece));
    b.push_back(kVendorPaddingType);
    for (std::size_t i = 2; i < piece; ++i) b.push_back(static_cast<std::uint8_t>(0xA0 + (i & 0x0F)));
    left -= piece;
  }
}

ccid::Bytes Configuration(const ReaderProfile& p) {
  const std::uint8_t interfaces =
      static_cast<std::uint8_t>(p.interface_number + 1 + p.extra_interfaces_after);
  std::uint8_t attributes = 0x80;
  if (p.self_powered) attributes |= 0x40;
  if (p.remote_wakeup) attributes |= 0x20;
  ccid::Bytes b{kConfigSize, kConfigurationType, 0, 0, interfaces, kConfigurationValue, 0, attributes,
                kMaxPower100mA};
  for (std::uint8_t i = 0; i < p.interface_number; ++i) AddInterface(b, i, 0, kVendorClass, 0);
  AddInterface(b, p.interface_number, static_cast<std::uint8_t>(p.endpoints.size()), p.interface_class,
               kStringInterface, p.interface_subclass, p.interface_protocol);
  b.insert(b.end(), p.class_descriptor.begin(), p.class_descriptor.end());
  for (const auto& ep : p.endpoints) AddEndpoint(b, ep);
  for (std::uint8_t i = 0; i < p.extra_interfaces_after; ++i)
    AddInterface(b, static_cast<std::uint8_t>(p.interface_number + 1 + i), 0, kVendorClass, 0);
  if (p.config_total_length != 0) {
    if (p.extra_interfaces_after == 0 && p.config_total_length > b.size()) {
      // The padding hangs under a vendor interface of its own, after the smart-card one.
      AddInterface(b, static_cast<std::uint8_t>(interfaces), 0, kVendorClass, 0);
      b[4] = static_cast<std::uint8_t>(interfaces + 1);
    }
    AddPadding(b, p.config_total_length);
  }
  b[2] = static_cast<std::uint8_t>(b.size());
  b[3] = static_cast<std::uint8_t>(b.size() >> 8);
  return b;
}

}  // namespace

DescriptorSet BuildDescriptors(const ReaderProfile& p) {
  DescriptorSet set;
  set.device = {18, kDeviceType};
  Put16(set.device, 0x0200);                  // bcdUSB
  set.device.insert(set.device.end(), {0, 0, 0, 64});  // class per interface; EP0 64 bytes
  Put16(set.device, p.id_vendor);
  Put16(set.device, p.id_product);
  Put16(set.device, p.bcd_device);
  set.device.insert(set.device.end(), {kStringManufacturer, kStringProduct, kStringSerial, 1});
  set.configuration = Configuration(p);
  set.strings = {p.manufacturer, p.product, p.serial, "Smart card reader"};
  return set;
}

std::optional<ccid::Bytes> StringDescriptor(const DescriptorSet& set, std::uint8_t index) {
  if (index == 0) return ccid::Bytes{4, kStringType, kLangIdEnglishUs & 0xFF, kLangIdEnglishUs >> 8};
  if (index > set.strings.size()) return std::nullopt;
  const std::string& text = set.strings[index - 1];
  ccid::Bytes b{static_cast<std::uint8_t>(2 + 2 * text.size()), kStringType};
  for (char c : text) Put16(b, static_cast<std::uint8_t>(c));  // ASCII as UTF-16LE
  return b;
}

}  // namespace sim

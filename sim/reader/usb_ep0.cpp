// Chapter 9 standard requests on endpoint 0.
#include "reader/usb_ep0.h"

#include <algorithm>

namespace sim {
namespace {

enum StandardRequest : std::uint8_t {
  kGetStatus = 0, kClearFeature = 1, kSetFeature = 3, kSetAddress = 5, kGetDescriptor = 6,
  kGetConfiguration = 8, kSetConfiguration = 9, kGetInterface = 10, kSetInterface = 11,
};
enum Recipient : std::uint8_t { kDevice = 0, kInterface = 1, kEndpoint = 2 };
constexpr std::uint16_t kFeatureEndpointHalt = 0, kFeatureRemoteWakeup = 1;
constexpr std::uint8_t kDescriptorDevice = 1, kDescriptorConfiguration = 2, kDescriptorString = 3;

constexpr ControlResult kStall{Handshake::Stall, 0};
constexpr ControlResult kAckNoData{Handshake::Ack, 0};

std::uint8_t TypeOf(const SetupPacket& s) { return (s.bmRequestType >> 5) & 3; }
std::uint8_t RecipientOf(const SetupPacket& s) { return s.bmRequestType & 0x1F; }

// Copies an IN answer, cut to wLength and to the room the host gave.
ControlResult Answer(std::span<const std::uint8_t> bytes, const SetupPacket& s, std::span<std::uint8_t> data) {
  const std::size_t n = std::min({bytes.size(), static_cast<std::size_t>(s.wLength), data.size()});
  std::copy_n(bytes.begin(), n, data.begin());
  return {Handshake::Ack, n};
}

std::size_t HaltIndex(std::uint8_t endpoint) { return (endpoint & 0x0F) + ((endpoint & 0x80) ? 16 : 0); }

}  // namespace

UsbEp0::UsbEp0(const ReaderProfile& profile, const DescriptorSet& descriptors)
    : profile_(profile), descriptors_(descriptors), interface_count_(descriptors.configuration[4]) {}

void UsbEp0::Reset() {
  configuration_ = 0;
  address_ = 0;
  remote_wakeup_enabled_ = false;
  halted_.fill(false);
}

bool UsbEp0::HasEndpoint(std::uint8_t endpoint) const {
  return std::any_of(profile_.endpoints.begin(), profile_.endpoints.end(),
                     [&](const EndpointConfig& ep) { return ep.address == endpoint; });
}

bool UsbEp0::HasInterface(std::uint16_t number) const { return number < interface_count_; }

bool UsbEp0::Halted(std::uint8_t endpoint) const {
  return HasEndpoint(endpoint) && halted_[HaltIndex(endpoint)];
}

void UsbEp0::SetHalted(std::uint8_t endpoint, bool halted) {
  if (HasEndpoint(endpoint)) halted_[HaltIndex(endpoint)] = halted;
}

ControlResult UsbEp0::Handle(const SetupPacket& setup, std::span<std::uint8_t> data, Ep0Listener& listener) {
  const bool interface_descriptor = TypeOf(setup) == 0 && setup.bRequest == kGetDescriptor &&
                                    RecipientOf(setup) == kInterface;
  if (TypeOf(setup) != 0 || interface_descriptor) {
    if (!Configured()) return kStall;  // class requests need the configured state
    return listener.OtherRequest(setup, data);
  }
  return Standard(setup, data, listener);
}

ControlResult UsbEp0::Standard(const SetupPacket& setup, std::span<std::uint8_t> data, Ep0Listener& listener) {
  switch (setup.bRequest) {
    case kGetStatus:
      return GetStatus(setup, data);
    case kClearFeature:
      return Feature(setup, false, listener);
    case kSetFeature:
      return Feature(setup, true, listener);
    case kSetAddress:
      if (setup.wValue > 127 || RecipientOf(setup) != kDevice || Configured()) return kStall;
      address_ = static_cast<std::uint8_t>(setup.wValue);
      return kAckNoData;
    case kGetDescriptor:
      return GetDescriptor(setup, data);
    case kGetConfiguration: {
      const std::uint8_t value[1] = {configuration_};
      return Answer(value, setup, data);
    }
    case kSetConfiguration:
      if (setup.wValue != 0 && setup.wValue != kConfigurationValue) return kStall;
      configuration_ = static_cast<std::uint8_t>(setup.wValue);
      halted_.fill(false);  // a configuration (even the same one) starts its endpoints afresh
      listener.ConfigurationSet(configuration_);
      return kAckNoData;
    case kGetInterface: {
      if (!Configured() || !HasInterface(setup.wIndex)) return kStall;
      const std::uint8_t alternate[1] = {0};
      return Answer(alternate, setup, data);
    }
    case kSetInterface:
      if (!Configured() || !HasInterface(setup.wIndex) || setup.wValue != 0) return kStall;
      if (setup.wIndex == profile_.interface_number) {
        for (const auto& ep : profile_.endpoints) {
          halted_[HaltIndex(ep.address)] = false;
          listener.HaltCleared(ep.address);
        }
      }
      return kAckNoData;
    default:
      return kStall;  // SET_DESCRIPTOR, SYNCH_FRAME and unknown requests
  }
}

ControlResult UsbEp0::GetDescriptor(const SetupPacket& setup, std::span<std::uint8_t> data) {
  const std::uint8_t type = setup.wValue >> 8;
  const std::uint8_t index = setup.wValue & 0xFF;
  switch (type) {
    case kDescriptorDevice:
      return Answer(descriptors_.device, setup, data);
    case kDescriptorConfiguration:
      if (index != 0) return kStall;
      return Answer(descriptors_.configuration, setup, data);
    case kDescriptorString: {
      const auto s = StringDescriptor(descriptors_, index);
      if (!s) return kStall;
      return Answer(*s, setup, data);
    }
    default:
      return kStall;  // device qualifier and other-speed: a full-speed-only device
  }
}

ControlResult UsbEp0::GetStatus(const SetupPacket& setup, std::span<std::uint8_t> data) const {
  std::uint8_t status[2] = {0, 0};
  switch (RecipientOf(setup)) {
    case kDevice:
      status[0] = static_cast<std::uint8_t>((profile_.self_powered ? 1 : 0) | (remote_wakeup_enabled_ ? 2 : 0));
      break;
    case kInterface:
      if (!Configured() || !HasInterface(setup.wIndex)) return kStall;
      break;
    case kEndpoint: {
      const auto ep = static_cast<std::uint8_t>(setup.wIndex);
      if ((ep & 0x7F) != 0 && (!Configured() || !HasEndpoint(ep))) return kStall;
      status[0] = Halted(ep) ? 1 : 0;
      break;
    }
    default:
      return kStall;
  }
  return Answer(status, setup, data);
}

ControlResult UsbEp0::Feature(const SetupPacket& setup, bool set, Ep0Listener& listener) {
  if (RecipientOf(setup) == kDevice) {
    if (setup.wValue != kFeatureRemoteWakeup || !profile_.remote_wakeup) return kStall;
    remote_wakeup_enabled_ = set;
    return kAckNoData;
  }
  if (RecipientOf(setup) != kEndpoint || setup.wValue != kFeatureEndpointHalt) return kStall;
  const auto ep = static_cast<std::uint8_t>(setup.wIndex);
  if ((ep & 0x7F) == 0) return kAckNoData;  // the control pipe recovers on its own
  if (!Configured() || !HasEndpoint(ep)) return kStall;
  halted_[HaltIndex(ep)] = set;
  if (!set) listener.HaltCleared(ep);
  return kAckNoData;
}

}  // namespace sim

// The default control pipe of a simulated device: USB 2.0 chapter 9 standard requests
// over the device's descriptor tables, apart from any class firmware. Class and vendor
// requests, and requests for descriptors this machine does not know, go to a listener.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "hosted/usb/device.h"
#include "reader/descriptors.h"

namespace sim {

// The USB device interface of the hosted bus that the simulated reader implements.
using hosted::usb::ControlResult;
using hosted::usb::Handshake;
using hosted::usb::SetupPacket;

class Ep0Listener {
 public:
  virtual ~Ep0Listener() = default;
  // Class and vendor requests, and standard GET_DESCRIPTOR to an interface.
  virtual ControlResult OtherRequest(const SetupPacket& setup, std::span<std::uint8_t> data) = 0;
  // SET_CONFIGURATION accepted (value 0: back to the address state).
  virtual void ConfigurationSet(std::uint8_t value) = 0;
  // CLEAR_FEATURE(ENDPOINT_HALT) on a non-control endpoint, or SET_INTERFACE.
  virtual void HaltCleared(std::uint8_t endpoint) = 0;
};

class UsbEp0 {
 public:
  UsbEp0(const ReaderProfile& profile, const DescriptorSet& descriptors);

  ControlResult Handle(const SetupPacket& setup, std::span<std::uint8_t> data, Ep0Listener& listener);

  // Port reset: default state, no address, unconfigured, no halts, wake-up disabled.
  void Reset();

  std::uint8_t Configuration() const { return configuration_; }
  bool Configured() const { return configuration_ != 0; }
  std::uint8_t Address() const { return address_; }
  bool RemoteWakeupEnabled() const { return remote_wakeup_enabled_; }

  // Halt state of an endpoint of the configuration (false for an unknown one).
  bool Halted(std::uint8_t endpoint) const;
  void SetHalted(std::uint8_t endpoint, bool halted);
  bool HasEndpoint(std::uint8_t endpoint) const;

 private:
  ControlResult Standard(const SetupPacket& setup, std::span<std::uint8_t> data, Ep0Listener& listener);
  ControlResult GetDescriptor(const SetupPacket& setup, std::span<std::uint8_t> data);
  ControlResult GetStatus(const SetupPacket& setup, std::span<std::uint8_t> data) const;
  ControlResult Feature(const SetupPacket& setup, bool set, Ep0Listener& listener);
  bool HasInterface(std::uint16_t number) const;

  const ReaderProfile& profile_;
  const DescriptorSet& descriptors_;
  std::uint8_t interface_count_ = 0;
  std::uint8_t configuration_ = 0;
  std::uint8_t address_ = 0;
  bool remote_wakeup_enabled_ = false;
  std::array<bool, 32> halted_{};  // index: endpoint number + 16 for IN
};

}  // namespace sim

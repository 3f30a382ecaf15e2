// One reader served to pcsc-lite: the driver loaded in the hosted kernel on a simulated
// reader and card, and an application's handle on it. Each request of the reader-driver
// interface becomes the request a Windows application's resource manager would send to the
// driver for it, through the hosted user-mode side.
//
// Time: the hosted kernel runs on virtual time, which moves only while every hosted thread
// is blocked in a kernel wait. pcscd's own threads never call into the kernel: every
// request runs on the bridge's one hosted thread, which waits for work outside the kernel.
// So kernel time stands still between requests (pcscd's real-time polling changes
// nothing) and runs, from deadline to deadline, while a request waits for the driver.
//
// This header stays free of the kernel's and of pcsc-lite's types (the two define DWORD
// differently); statuses come back as a small set of outcomes.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pcsc_bridge {

using Bytes = std::vector<std::uint8_t>;

// What reader.conf's DEVICENAME names: "reader=PROFILE:card=CARD[:control=SOCKET]" (pcscd
// takes no commas there). The reader is a built-in profile or a reader description file;
// the card a card profile, atr:<hex> or none; the control socket, when named, takes card
// and keypad commands.
struct DeviceName {
  std::string reader;
  std::string card;
  std::string control;
};
std::optional<DeviceName> ParseDeviceName(std::string_view text, std::string* error);

// How a request ended, as the reader-driver interface distinguishes it.
enum class Outcome { Success, NoCard, Timeout, Gone, BufferTooSmall, Unsupported, Failed };

enum class PowerAction { Up, Down, Reset };

// Protocol masks, with the Windows values (T=0 1, T=1 2, raw 0x10000).
constexpr std::uint32_t kProtocolT0 = 1;
constexpr std::uint32_t kProtocolT1 = 2;
constexpr std::uint32_t kProtocolRaw = 0x10000;

class BridgeReader {
 public:
  // Loads the driver, plugs the reader in, inserts the card and opens the handle; the
  // control socket listens from then on. Nothing, with the reason, when that fails.
  static std::unique_ptr<BridgeReader> Open(const DeviceName& name, std::string* error);
  // Closes the handle, takes the stack down and reports the verifier's verdict on stderr.
  ~BridgeReader();
  BridgeReader(const BridgeReader&) = delete;
  BridgeReader& operator=(const BridgeReader&) = delete;

  // IOCTL_SMARTCARD_POWER: cold reset, power down, warm reset; the ATR after a reset.
  Outcome Power(PowerAction action, Bytes* atr);
  // IOCTL_SMARTCARD_SET_PROTOCOL with one protocol.
  Outcome SetProtocol(std::uint32_t protocol);
  // IOCTL_SMARTCARD_TRANSMIT with the protocol's PCI; `room` bounds the answer.
  Outcome Transmit(std::uint32_t protocol, const Bytes& apdu, std::size_t room, Bytes* answer);
  // IOCTL_SMARTCARD_GET_STATE: whether a card is in the slot.
  Outcome Presence();
  // IOCTL_SMARTCARD_GET_ATTRIBUTE.
  Outcome Attribute(std::uint32_t tag, std::size_t room, Bytes* value);
  // A pcsc-lite control code, translated to the driver's code; the feature list comes
  // back with pcsc-lite codes.
  Outcome Control(std::uint32_t pcscCode, const Bytes& input, std::size_t room, Bytes* output);
  // The ATR of the last reset (empty when the card is not powered).
  Bytes Atr() const;

  class Impl;

 private:
  explicit BridgeReader(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace pcsc_bridge

// A USB device as the hosted host controller sees it: a default control pipe that takes
// whole control transfers, and bulk/interrupt endpoints that move one packet at a time
// with the USB handshakes. The hosted USB stack (usb_bus.h) turns URBs into calls of this
// interface; a device model (such as the simulated CCID reader) implements it and knows
// nothing of URBs, IRPs or drivers. Plain C++: a device model needs nothing of the hosted
// kernel to implement it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace hosted::usb {

// The eight bytes of a SETUP packet, fields in host order.
struct SetupPacket {
  std::uint8_t bmRequestType = 0;
  std::uint8_t bRequest = 0;
  std::uint16_t wValue = 0;
  std::uint16_t wIndex = 0;
  std::uint16_t wLength = 0;

  bool DeviceToHost() const { return (bmRequestType & 0x80) != 0; }
};

// The handshake a device gives to a packet or a control transfer, or the transaction
// error the host controller sees in its place.
enum class Handshake {
  Ack,       // accepted (OUT) or data returned (IN, possibly a zero-length packet)
  Nak,       // nothing to send yet (IN) or not ready to accept (OUT); the host retries later
  Stall,     // endpoint halted or request not supported
  Timeout,   // no handshake or data at all, on each of the host's tries: the device did not respond
  CrcError,  // the data came corrupt (bad CRC) on each of the host's tries
};

struct ControlResult {
  Handshake handshake = Handshake::Stall;
  std::size_t length = 0;  // bytes of the data stage that moved (IN: written into data)
};

// Endpoint addresses carry the direction in bit 7 (0x80 = IN), as in the descriptors.
class Device {
 public:
  virtual ~Device() = default;

  // One whole control transfer on endpoint 0. For a device-to-host request `data` has
  // room for wLength bytes and the result tells how many the device returned; for a
  // host-to-device request it holds the data stage. Stall ends the transfer with a
  // request error. Standard requests (GET_DESCRIPTOR, SET_CONFIGURATION, ...) arrive here
  // too.
  virtual ControlResult Control(const SetupPacket& setup, std::span<std::uint8_t> data) = 0;

  // One packet from the host on a bulk or interrupt OUT endpoint, at most the endpoint's
  // wMaxPacketSize bytes; a packet shorter than that (a zero-length one included) ends
  // the transfer at USB level.
  virtual Handshake OutPacket(std::uint8_t endpoint, std::span<const std::uint8_t> packet) = 0;

  // The next packet of a bulk or interrupt IN endpoint. Ack fills `packet` (at most
  // wMaxPacketSize bytes, possibly none: a zero-length packet); Nak means nothing is
  // ready; Stall means the endpoint is halted.
  virtual Handshake InPacket(std::uint8_t endpoint, std::vector<std::uint8_t>& packet) = 0;

  // Port reset: the device returns to its default state (unconfigured, endpoints idle).
  virtual void BusReset() = 0;

  // The host cleared a halt on an endpoint (CLEAR_FEATURE(ENDPOINT_HALT), as a pipe
  // reset does); the endpoint's data toggle and halt state start afresh.
  virtual void ClearHalt(std::uint8_t endpoint) = 0;

  // The host aborted the transfers pending on an endpoint. Data already queued in the
  // device stays queued (a real device does not know that the host gave up).
  virtual void EndpointAborted(std::uint8_t /*endpoint*/) {}

  // True once the device has left the bus (a surprise unplug, possibly scripted in the
  // middle of a transfer). The host fails pending and new requests with the
  // device-gone statuses and calls nothing else on the device until it is plugged in
  // again (which it learns from the unplug callback below).
  virtual bool Unplugged() const { return false; }

  // Bus suspend (true) and resume (false). A suspended device whose remote wake-up the
  // host enabled (SET_FEATURE(DEVICE_REMOTE_WAKEUP)) may signal wake on an event of its
  // own through the wake callback below.
  virtual void Suspend(bool /*suspended*/) {}

  // The device's own timer, for work it does on its clock rather than in answer to the
  // host (a PIN pad waiting for the user, a time extension due every second). The bus
  // calls TimerDue once its clock reaches NextTimer, and asks for NextTimer again after
  // every transfer and every data-ready signal; a device whose timer moves on its own
  // raises the data-ready signal of any IN endpoint to have it read again.
  virtual std::optional<std::chrono::nanoseconds> NextTimer() const { return std::nullopt; }
  virtual void TimerDue() {}

  // The bus's clock (time since the bus started counting); without one, time stands
  // still at zero and the device answers at once what it would otherwise time.
  void SetClock(std::function<std::chrono::nanoseconds()> clock) { clock_ = std::move(clock); }
  bool HasClock() const { return static_cast<bool>(clock_); }
  std::chrono::nanoseconds Now() const { return clock_ ? clock_() : std::chrono::nanoseconds(0); }

  // Called by the device, from whatever thread changed its state, when an IN endpoint
  // may have a packet to send, so that the host polls it again instead of spinning.
  void SetDataReadyCallback(std::function<void(std::uint8_t endpoint)> callback) {
    data_ready_ = std::move(callback);
  }

  // Called by the device when it leaves the bus or comes back (argument: Unplugged()).
  void SetUnplugCallback(std::function<void(bool unplugged)> callback) {
    unplug_ = std::move(callback);
  }

  // Called by a suspended device that signals remote wake-up.
  void SetRemoteWakeCallback(std::function<void()> callback) { wake_ = std::move(callback); }

 protected:
  void NotifyDataReady(std::uint8_t endpoint) const {
    if (data_ready_) data_ready_(endpoint);
  }
  void NotifyUnplug(bool unplugged) const {
    if (unplug_) unplug_(unplugged);
  }
  void SignalRemoteWake() const {
    if (wake_) wake_();
  }

 private:
  std::function<void(std::uint8_t)> data_ready_;
  std::function<void(bool)> unplug_;
  std::function<void()> wake_;
  std::function<std::chrono::nanoseconds()> clock_;
};

}  // namespace hosted::usb

// A bare USB device for tests of the stack's own rules: one vendor interface with bulk-in
// 0x81, bulk-out 0x02 and interrupt-in 0x83, IN packets scripted by the test, OUT packets
// and control requests recorded.
#pragma once

#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "hosted/usb/device.h"

namespace usb_test {

class FakeDevice final : public hosted::usb::Device {
 public:
  static constexpr std::uint8_t kBulkIn = 0x81;
  static constexpr std::uint8_t kBulkOut = 0x02;
  static constexpr std::uint8_t kInterruptIn = 0x83;

  explicit FakeDevice(std::uint16_t bulkPacket = 64, bool remoteWakeup = false) {
    device_ = {18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x09, 0x12, 0x34, 0x56, 0x00, 0x01, 0, 0, 0, 1};
    const std::uint8_t lo = static_cast<std::uint8_t>(bulkPacket), hi = static_cast<std::uint8_t>(bulkPacket >> 8);
    config_ = {9, 2, 39, 0, 1, 1, 0, static_cast<std::uint8_t>(remoteWakeup ? 0xA0 : 0x80), 50,
               9, 4, 0, 0, 3, 0xFF, 0x01, 0x02, 0,
               7, 5, kBulkIn, 2, lo, hi, 0,
               7, 5, kBulkOut, 2, lo, hi, 0,
               7, 5, kInterruptIn, 3, 8, 0, 10};
  }

  // An IN packet (or handshake) for the endpoint; announced with the data-ready callback.
  void Push(std::uint8_t endpoint, std::vector<std::uint8_t> packet,
            hosted::usb::Handshake h = hosted::usb::Handshake::Ack) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      in_[endpoint].push_back({h, std::move(packet)});
    }
    NotifyDataReady(endpoint);
  }
  void StallOut(bool stall) {
    std::lock_guard<std::mutex> lock(mutex_);
    stallOut_ = stall;
  }
  void Unplug() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      unplugged_ = true;
    }
    NotifyUnplug(true);
  }
  void Wake() { SignalRemoteWake(); }

  std::vector<std::vector<std::uint8_t>> OutPackets() {
    std::lock_guard<std::mutex> lock(mutex_);
    return out_;
  }
  std::vector<hosted::usb::SetupPacket> Setups() {
    std::lock_guard<std::mutex> lock(mutex_);
    return setups_;
  }
  std::vector<std::uint8_t> HaltsCleared() {
    std::lock_guard<std::mutex> lock(mutex_);
    return cleared_;
  }
  int BusResets() {
    std::lock_guard<std::mutex> lock(mutex_);
    return resets_;
  }
  std::size_t QueuedIn(std::uint8_t endpoint) {
    std::lock_guard<std::mutex> lock(mutex_);
    return in_[endpoint].size();
  }
  bool Suspended() {
    std::lock_guard<std::mutex> lock(mutex_);
    return suspended_;
  }

  hosted::usb::ControlResult Control(const hosted::usb::SetupPacket& setup, std::span<std::uint8_t> data) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (unplugged_) return {hosted::usb::Handshake::Stall, 0};
    setups_.push_back(setup);
    if (setup.bmRequestType == 0x80 && setup.bRequest == 6) {
      const auto& d = (setup.wValue >> 8) == 1 ? device_ : config_;
      if ((setup.wValue >> 8) > 2) return {hosted::usb::Handshake::Stall, 0};
      const std::size_t n = std::min(d.size(), data.size());
      std::copy_n(d.begin(), n, data.begin());
      return {hosted::usb::Handshake::Ack, n};
    }
    if ((setup.bmRequestType & 0x60) == 0 && (setup.bRequest == 9 || setup.bRequest == 1 || setup.bRequest == 3))
      return {hosted::usb::Handshake::Ack, 0};
    if (setup.bmRequestType == 0xC0 && setup.bRequest == 0x42) {  // a vendor echo of wValue
      if (data.size() >= 2) {
        data[0] = static_cast<std::uint8_t>(setup.wValue);
        data[1] = static_cast<std::uint8_t>(setup.wValue >> 8);
      }
      return {hosted::usb::Handshake::Ack, std::min<std::size_t>(2, data.size())};
    }
    return {hosted::usb::Handshake::Stall, 0};
  }
  hosted::usb::Handshake OutPacket(std::uint8_t, std::span<const std::uint8_t> packet) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (unplugged_) return hosted::usb::Handshake::Nak;
    if (stallOut_) return hosted::usb::Handshake::Stall;
    out_.emplace_back(packet.begin(), packet.end());
    return hosted::usb::Handshake::Ack;
  }
  hosted::usb::Handshake InPacket(std::uint8_t endpoint, std::vector<std::uint8_t>& packet) override {
    std::lock_guard<std::mutex> lock(mutex_);
    auto& q = in_[endpoint];
    if (unplugged_ || q.empty()) return hosted::usb::Handshake::Nak;
    const auto [h, bytes] = q.front();
    q.pop_front();
    packet = bytes;
    return h;
  }
  void BusReset() override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++resets_;
  }
  void ClearHalt(std::uint8_t endpoint) override {
    std::lock_guard<std::mutex> lock(mutex_);
    cleared_.push_back(endpoint);
  }
  bool Unplugged() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return unplugged_;
  }
  void Suspend(bool suspended) override {
    std::lock_guard<std::mutex> lock(mutex_);
    suspended_ = suspended;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::uint8_t> device_;
  std::vector<std::uint8_t> config_;
  std::map<std::uint8_t, std::deque<std::pair<hosted::usb::Handshake, std::vector<std::uint8_t>>>> in_;
  std::vector<std::vector<std::uint8_t>> out_;
  std::vector<hosted::usb::SetupPacket> setups_;
  std::vector<std::uint8_t> cleared_;
  bool stallOut_ = false;
  bool unplugged_ = false;
  bool suspended_ = false;
  int resets_ = 0;
};

}  // namespace usb_test

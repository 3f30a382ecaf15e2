#include "scripted_reader.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace ccid_fuzz {
namespace {

using hosted::usb::Handshake;

constexpr std::size_t kHeader = 10;
constexpr int kMaxChained = 8;
constexpr int kMaxPulls = 64;

std::uint16_t MaxPacket(const sim::EndpointConfig* endpoint) { return endpoint == nullptr ? 64 : endpoint->max_packet; }

std::uint32_t DwLength(const Bytes& message) {
  if (message.size() < kHeader) return 0;
  return static_cast<std::uint32_t>(message[1]) | static_cast<std::uint32_t>(message[2]) << 8 |
         static_cast<std::uint32_t>(message[3]) << 16 | static_cast<std::uint32_t>(message[4]) << 24;
}

void SetDwLength(Bytes& message, std::uint32_t length) {
  if (message.size() < kHeader) return;
  for (int i = 0; i < 4; ++i) message[1 + i] = static_cast<std::uint8_t>(length >> (8 * i));
}

}  // namespace

ScriptedReader::ScriptedReader(sim::CcidReader& reader, std::span<const std::uint8_t> script)
    : reader_(reader), bulkIn_(reader.BulkInAddress()), interruptIn_(reader.InterruptInAddress()), script_(script) {
  reader_.SetDataReadyCallback([this](std::uint8_t endpoint) { NotifyDataReady(endpoint); });
  reader_.SetUnplugCallback([this](bool unplugged) { NotifyUnplug(unplugged); });
  reader_.SetRemoteWakeCallback([this] { SignalRemoteWake(); });
  reader_.SetClock([this] { return Now(); });
}

ScriptedReader::~ScriptedReader() {
  reader_.SetDataReadyCallback(nullptr);
  reader_.SetUnplugCallback(nullptr);
  reader_.SetRemoteWakeCallback(nullptr);
  reader_.SetClock(nullptr);
}

hosted::usb::ControlResult ScriptedReader::Control(const hosted::usb::SetupPacket& setup,
                                                    std::span<std::uint8_t> data) {
  return reader_.Control(setup, data);
}

Handshake ScriptedReader::OutPacket(std::uint8_t endpoint, std::span<const std::uint8_t> packet) {
  return reader_.OutPacket(endpoint, packet);
}

std::optional<Bytes> ScriptedReader::PullMessage(std::uint8_t endpoint) {
  Bytes message;
  std::vector<std::uint8_t> packet;
  const std::size_t size = endpoint == bulkIn_ ? MaxPacket(reader_.Profile().BulkIn()) : 0;
  for (int i = 0; i < kMaxPulls; ++i) {
    if (reader_.InPacket(endpoint, packet) != Handshake::Ack) break;
    message.insert(message.end(), packet.begin(), packet.end());
    // Interrupt messages are one packet; a bulk message ends with a short packet.
    if (endpoint != bulkIn_ || packet.size() < size) {
      Trace(endpoint, message);
      return message;
    }
  }
  if (message.empty()) return std::nullopt;
  Trace(endpoint, message);
  return message;
}

void ScriptedReader::Trace(std::uint8_t endpoint, const Bytes& message) {
  static const bool enabled = std::getenv("CCID_FUZZ_TRACE") != nullptr;
  if (!enabled) return;
  std::fprintf(stderr, "[scripted reader] message %zu on %02X at script byte %zu:", messages_++, endpoint,
               script_.Position());
  for (const std::uint8_t byte : message) std::fprintf(stderr, " %02X", byte);
  std::fprintf(stderr, "\n");
}

Handshake ScriptedReader::InPacket(std::uint8_t endpoint, std::vector<std::uint8_t>& packet) {
  std::lock_guard<std::mutex> lock(lock_);
  if (endpoint == bulkIn_) {
    if (stalled_) return Handshake::Stall;
    for (int i = 0; i < kMaxPulls && bulk_.empty(); ++i) {
      std::optional<Bytes> message = PullMessage(endpoint);
      if (!message) break;
      ScriptBulk(std::move(*message));
    }
    if (bulk_.empty()) return Handshake::Nak;
    Out out = std::move(bulk_.front());
    bulk_.pop_front();
    if (out.stall) {
      stalled_ = true;
      bulk_.clear();
      return Handshake::Stall;
    }
    packet = std::move(out.data);
    return Handshake::Ack;
  }
  if (endpoint == interruptIn_) {
    for (int i = 0; i < kMaxPulls && interrupt_.empty(); ++i) {
      std::optional<Bytes> message = PullMessage(endpoint);
      if (!message) break;
      ScriptInterrupt(std::move(*message));
    }
    if (interrupt_.empty()) return Handshake::Nak;
    packet = std::move(interrupt_.front());
    interrupt_.pop_front();
    return Handshake::Ack;
  }
  return reader_.InPacket(endpoint, packet);
}

void ScriptedReader::Packetize(const Bytes& message, std::size_t cut, bool zeroLengthFirst, bool noZeroLength) {
  const std::size_t size = MaxPacket(reader_.Profile().BulkIn());
  if (cut == 0 || cut > size) cut = size;
  if (zeroLengthFirst) bulk_.push_back({});
  std::size_t at = 0;
  do {
    const std::size_t length = std::min(cut, message.size() - at);
    bulk_.push_back({Bytes(message.begin() + static_cast<std::ptrdiff_t>(at),
                           message.begin() + static_cast<std::ptrdiff_t>(at + length))});
    at += length;
  } while (at < message.size());
  if (!noZeroLength && !message.empty() && message.size() % size == 0 && bulk_.back().data.size() == size)
    bulk_.push_back({});
}

void ScriptedReader::ScriptBulk(Bytes message) {
  std::size_t cut = 0;
  bool zeroLengthFirst = false;
  bool noZeroLength = false;
  bool drop = false;
  bool stall = false;
  std::vector<Bytes> before;
  for (int chained = 0; chained < kMaxChained; ++chained) {
    const std::optional<std::uint8_t> directive = script_.Next();
    if (!directive) break;
    const std::uint8_t p = static_cast<std::uint8_t>(*directive >> 3);
    bool more = (*directive & 0x80) != 0;
    switch (*directive & 7) {
      case 0:
        more = false;
        break;
      case 1:
        if (message.size() > p % kHeader) message[p % kHeader] = script_.NextOr(0);
        break;
      case 2:
        SetDwLength(message, DwLength(message) + static_cast<std::uint32_t>(static_cast<std::int8_t>(script_.NextOr(0))));
        break;
      case 3: {
        const std::size_t payload = script_.NextOr(0) + 256u * (p & 3);
        message.resize(std::max(message.size(), kHeader));
        message.resize(kHeader + payload, 0);
        break;
      }
      case 4:
        message = script_.Take(script_.NextOr(0));
        more = false;
        break;
      case 5:
        drop = true;
        if (p & 1) {
          Bytes event = script_.Take(script_.NextOr(0) % 9);
          if (!event.empty()) reader_.InjectInterrupt(std::move(event));
        }
        more = false;
        break;
      case 6:
        if ((p & 1) && !previous_.empty()) {
          before.push_back(previous_);
        } else if (message.size() >= kHeader) {
          Bytes extension(message.begin(), message.begin() + kHeader);
          SetDwLength(extension, 0);
          extension[7] = static_cast<std::uint8_t>((extension[7] & 0x03) | 0x80);
          extension[8] = script_.NextOr(1);
          extension[9] = 0;
          before.push_back(std::move(extension));
        }
        more = false;
        break;
      case 7:
        switch (p & 3) {
          case 0: cut = script_.NextOr(63) % 64 + 1; break;
          case 1: noZeroLength = true; break;
          case 2: zeroLengthFirst = true; break;
          default: stall = true; more = false; break;
        }
        break;
    }
    if (!more) break;
  }
  for (const Bytes& extra : before) Packetize(extra, 0, false, false);
  if (stall) {
    bulk_.push_back({{}, true});
  } else if (!drop) {
    Packetize(message, cut, zeroLengthFirst, noZeroLength);
  }
  if (message.size() >= kHeader && (message[7] & 0xC0) != 0x80) previous_ = message;
}

void ScriptedReader::ScriptInterrupt(Bytes message) {
  const std::optional<std::uint8_t> directive = script_.Next();
  if (directive) {
    const std::uint8_t p = static_cast<std::uint8_t>(*directive >> 3);
    switch (*directive & 7) {
      case 1:
        if (message.size() > p % 8u) message[p % 8u] = script_.NextOr(0);
        break;
      case 2:
        message = script_.Take(script_.NextOr(0) % 9);
        break;
      case 3:
        return;
      case 4:
        message.resize(std::min<std::size_t>(message.size(), p % 8u));
        break;
      default:
        break;
    }
  }
  interrupt_.push_back(std::move(message));
}

void ScriptedReader::BusReset() {
  {
    std::lock_guard<std::mutex> lock(lock_);
    bulk_.clear();
    interrupt_.clear();
    stalled_ = false;
  }
  reader_.BusReset();
}

void ScriptedReader::ClearHalt(std::uint8_t endpoint) {
  if (endpoint == bulkIn_) {
    std::lock_guard<std::mutex> lock(lock_);
    stalled_ = false;
  }
  reader_.ClearHalt(endpoint);
}

void ScriptedReader::EndpointAborted(std::uint8_t endpoint) { reader_.EndpointAborted(endpoint); }
bool ScriptedReader::Unplugged() const { return reader_.Unplugged(); }
void ScriptedReader::Suspend(bool suspended) { reader_.Suspend(suspended); }
std::optional<std::chrono::nanoseconds> ScriptedReader::NextTimer() const { return reader_.NextTimer(); }
void ScriptedReader::TimerDue() { reader_.TimerDue(); }

}  // namespace ccid_fuzz

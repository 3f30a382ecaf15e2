// A minimal USB host for reader tests: control transfers, a command written as 64-byte
// bulk-out packets, and answers read packet by packet from bulk-in until a short (or
// zero-length) packet ends the transfer. Tests talk to the reader only through this
// host, so that the same tests can later run over URBs on the hosted USB stack.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "reader/ccid_reader.h"
#include "reader/ccid_wire.h"

namespace reader_test {

using Bytes = std::vector<std::uint8_t>;

struct ReadResult {
  std::vector<Bytes> packets;  // as they came, the closing short or zero-length one included
  // Ack: a short packet ended it; Nak/Stall otherwise.
  hosted::usb::Handshake end = hosted::usb::Handshake::Nak;
  Bytes Joined() const {
    Bytes all;
    for (const auto& p : packets) all.insert(all.end(), p.begin(), p.end());
    return all;
  }
};

class TestHost {
 public:
  explicit TestHost(sim::CcidReader& reader) : reader_(reader) {
    reader_.SetDataReadyCallback([this](std::uint8_t ep) { ready_.push_back(ep); });
  }

  hosted::usb::ControlResult Control(std::uint8_t type, std::uint8_t request, std::uint16_t value,
                                     std::uint16_t index, Bytes& data) {
    hosted::usb::SetupPacket s{type, request, value, index, static_cast<std::uint16_t>(data.size())};
    auto r = reader_.Control(s, data);
    if (s.DeviceToHost()) data.resize(r.length);
    return r;
  }
  hosted::usb::ControlResult ControlOut(std::uint8_t type, std::uint8_t request, std::uint16_t value,
                                        std::uint16_t index) {
    Bytes none;
    return Control(type, request, value, index, none);
  }
  std::optional<Bytes> GetDescriptor(std::uint8_t type, std::uint8_t index, std::uint16_t length,
                                     std::uint16_t lang = 0) {
    Bytes data(length);
    auto r = Control(0x80, 6, static_cast<std::uint16_t>(type << 8 | index), lang, data);
    if (r.handshake != hosted::usb::Handshake::Ack) return std::nullopt;
    return data;
  }
  bool Configure(std::uint16_t value = 1) {
    return ControlOut(0x00, 9, value, 0).handshake == hosted::usb::Handshake::Ack;
  }
  // The ABORT class request to the smart-card interface.
  hosted::usb::Handshake AbortRequest(std::uint8_t slot, std::uint8_t seq) {
    return ControlOut(0x21, 1, static_cast<std::uint16_t>(seq << 8 | slot), reader_.Profile().interface_number)
        .handshake;
  }

  // Writes a message in packets of 64; the handshake of the last packet.
  hosted::usb::Handshake Send(const Bytes& message, bool zero_length_after_full = false) {
    hosted::usb::Handshake h = hosted::usb::Handshake::Ack;
    const std::uint8_t ep = reader_.BulkOutAddress();
    for (std::size_t at = 0; at < message.size() || at == 0; at += 64) {
      const std::size_t n = std::min<std::size_t>(64, message.size() - at);
      h = reader_.OutPacket(ep, std::span(message).subspan(at, n));
      if (h != hosted::usb::Handshake::Ack || message.empty()) break;
    }
    if (zero_length_after_full && !message.empty() && message.size() % 64 == 0 && h == hosted::usb::Handshake::Ack)
      h = reader_.OutPacket(ep, {});
    return h;
  }

  ReadResult ReadTransfer(std::uint8_t endpoint = 0) {
    ReadResult r;
    const std::uint8_t ep = endpoint ? endpoint : reader_.BulkInAddress();
    for (int i = 0; i < 10000; ++i) {
      Bytes p;
      r.end = reader_.InPacket(ep, p);
      if (r.end != hosted::usb::Handshake::Ack) return r;
      const bool short_packet = p.size() < 64;
      r.packets.push_back(std::move(p));
      if (short_packet) return r;
    }
    return r;
  }
  // One whole message from bulk-in, or nothing when the reader Naks or stalls.
  std::optional<Bytes> Read() {
    ReadResult r = ReadTransfer();
    if (r.end != hosted::usb::Handshake::Ack) return std::nullopt;
    return r.Joined();
  }
  // Sends and reads the answer, counting the time extensions before it.
  std::optional<Bytes> Exchange(const Bytes& message, int* time_extensions = nullptr) {
    if (Send(message) != hosted::usb::Handshake::Ack) return std::nullopt;
    int wtx = 0;
    for (;;) {
      auto m = Read();
      if (!m || m->size() < 10 || (((*m)[7] >> 6) != 2)) {
        if (time_extensions) *time_extensions = wtx;
        return m;
      }
      ++wtx;
    }
  }
  std::optional<Bytes> ReadInterrupt() {
    Bytes p;
    if (reader_.InPacket(reader_.InterruptInAddress(), p) != hosted::usb::Handshake::Ack) return std::nullopt;
    return p;
  }

  std::vector<std::uint8_t>& ReadyNotifications() { return ready_; }

 private:
  sim::CcidReader& reader_;
  std::vector<std::uint8_t> ready_;
};

// A PC_to_RDR message.
inline Bytes Cmd(std::uint8_t type, std::uint8_t seq, Bytes payload = {}, std::uint8_t slot = 0, std::uint8_t b7 = 0,
                 std::uint8_t b8 = 0, std::uint8_t b9 = 0) {
  return sim::ccid::BuildMessage(type, slot, seq, b7, b8, b9, payload);
}

inline Bytes Payload(const Bytes& m) { return Bytes(m.begin() + 10, m.end()); }

inline Bytes Hex(const std::string& text) {
  Bytes out;
  std::string digits;
  for (char c : text)
    if (std::isxdigit(static_cast<unsigned char>(c))) digits.push_back(c);
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2) out.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return out;
}

}  // namespace reader_test

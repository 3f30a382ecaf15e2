// A hostile reader for the device-answer fuzzer: it stands on the bus in place of a
// simulated reader and passes the host's control transfers and bulk-out packets through,
// but every whole message the reader sends on bulk-in or interrupt-in goes out as a script
// of bytes says: unchanged, with header bytes set (dwLength, slot, bSeq, bStatus, bError,
// chaining parameter), with its payload cut or padded, replaced by other bytes, dropped,
// after a time extension or a stale copy, cut into odd packets, without or with an extra
// zero-length packet, or as a stall. Once the script is used up the reader's messages pass
// unchanged, so every session can end.
//
// Directives on bulk-in, one per message the reader sends (byte d, p = d >> 3):
//   d & 7 = 0  pass
//           1  header byte p % 10 := next byte
//           2  dwLength += next byte (signed)
//           3  payload cut or padded to next byte (+ 256 * (p & 3)) bytes
//           4  replaced by next byte's count of bytes that follow
//           5  dropped (p & 1: and an interrupt message of next byte % 9 bytes queued)
//           6  p & 1 ? a stale copy of the previous answer : a time extension (bError
//              := next byte) goes first
//           7  p & 3 = 0 packets of next byte % 64 + 1 bytes; 1 no zero-length packet;
//              2 a zero-length packet first; 3 the endpoint stalls instead
//   bit 7 set on 1, 2, 3, 7 (modes 0-2): the next directive applies to the same message.
// On interrupt-in, one per message: 0 pass, 1 byte p % 8 := next, 2 replaced by next
// byte % 9 bytes that follow, 3 dropped, 4 cut to p % 8 bytes; others pass.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "fuzz_support.h"
#include "hosted/usb/device.h"
#include "reader/ccid_reader.h"

namespace ccid_fuzz {

class ScriptedReader final : public hosted::usb::Device {
 public:
  ScriptedReader(sim::CcidReader& reader, std::span<const std::uint8_t> script);
  ~ScriptedReader() override;

  hosted::usb::ControlResult Control(const hosted::usb::SetupPacket& setup, std::span<std::uint8_t> data) override;
  hosted::usb::Handshake OutPacket(std::uint8_t endpoint, std::span<const std::uint8_t> packet) override;
  hosted::usb::Handshake InPacket(std::uint8_t endpoint, std::vector<std::uint8_t>& packet) override;
  void BusReset() override;
  void ClearHalt(std::uint8_t endpoint) override;
  void EndpointAborted(std::uint8_t endpoint) override;
  bool Unplugged() const override;
  void Suspend(bool suspended) override;
  std::optional<std::chrono::nanoseconds> NextTimer() const override;
  void TimerDue() override;

 private:
  struct Out {
    Bytes data;
    bool stall = false;
  };
  // The reader's next whole message on `endpoint` (none when it has nothing yet).
  std::optional<Bytes> PullMessage(std::uint8_t endpoint);
  void ScriptBulk(Bytes message);
  void ScriptInterrupt(Bytes message);
  // With CCID_FUZZ_TRACE set: each message the reader sent, on stderr, with the place in
  // the script of the directive that takes it (for writing seeds and reading findings).
  void Trace(std::uint8_t endpoint, const Bytes& message);
  void Packetize(const Bytes& message, std::size_t cut, bool zeroLengthFirst, bool noZeroLength);

  sim::CcidReader& reader_;
  const std::uint8_t bulkIn_;
  const std::uint8_t interruptIn_;
  std::mutex lock_;
  ByteStream script_;
  std::deque<Out> bulk_;
  std::deque<Bytes> interrupt_;
  Bytes previous_;
  bool stalled_ = false;
  std::size_t messages_ = 0;
};

}  // namespace ccid_fuzz

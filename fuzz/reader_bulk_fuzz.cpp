// Any sequence of bulk-out packets sent to a configured reader with a card in its slot:
// the firmware must answer or ignore every message without crashing, and every answer it
// queues must be a whole CCID message cut into legal packets.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "card/card.h"
#include "reader/ccid_reader.h"

namespace {

constexpr std::uint8_t kBulkOut = 0x02;
constexpr std::uint8_t kBulkIn = 0x81;
constexpr std::size_t kPacket = 64;

void DrainBulkIn(sim::CcidReader& reader) {
  std::vector<std::uint8_t> packet;
  for (int i = 0; i < 4096; ++i) {
    if (reader.InPacket(kBulkIn, packet) != hosted::usb::Handshake::Ack) return;
    if (packet.size() > kPacket) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  static const char* kReaders[] = {"tpdu-basic", "apdu-short", "apdu-extended", "pinpad-lcd"};
  auto reader = sim::CcidReader::FromCatalogue(kReaders[data[0] % 4]);
  reader->InsertCard(sim::MakeCard(data[0] & 0x10 ? "t1-ifsc32" : "t0"));
  hosted::usb::SetupPacket setConfiguration{0x00, 0x09, 1, 0, 0};
  reader->Control(setConfiguration, {});

  // Each packet: one length byte (at most 64), then that many bytes.
  std::size_t at = 1;
  while (at < size) {
    const std::size_t announced = data[at++] % (kPacket + 1);
    const std::size_t length = std::min<std::size_t>(announced, size - at);
    reader->OutPacket(kBulkOut, {data + at, length});
    at += length;
    DrainBulkIn(*reader);
  }
  return 0;
}

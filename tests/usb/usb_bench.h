// A simulated reader plugged into the hosted USB stack, with a URB client on its PDO.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "hosted/usb/usb_bus.h"
#include "reader/ccid_reader.h"
#include "reader/ccid_wire.h"
#include "urb_host.h"

namespace usb_test {

using hosted::usb::BusDevice;
using hosted::usb::BusDeviceOptions;
using hosted::usb::CompletionMode;

struct Bench {
  // `configure`: select the smart-card interface and read the slot-change message that
  // the reader sends after configuration.
  explicit Bench(const char* profile = "tpdu-basic", BusDeviceOptions options = {}, bool configure = true)
      : reader(sim::CcidReader::FromCatalogue(profile)),
        bus(std::make_unique<BusDevice>(*reader, options)),
        host(bus->Pdo()) {
    reader->SetMessageObserver(bus->MessageObserver());
    if (!configure) return;
    EXPECT_TRUE(host.Configure());
    if (host.interruptIn != nullptr) {
      EXPECT_EQ(host.ReadInterrupt().status, STATUS_SUCCESS);
    }
  }
  ~Bench() { reader->SetMessageObserver(nullptr); }

  std::unique_ptr<sim::CcidReader> reader;
  std::unique_ptr<BusDevice> bus;
  UrbHost host;
};

// A PC_to_RDR message.
inline Bytes Cmd(std::uint8_t type, std::uint8_t seq, Bytes payload = {}, std::uint8_t slot = 0,
                 std::uint8_t b7 = 0, std::uint8_t b8 = 0, std::uint8_t b9 = 0) {
  return sim::ccid::BuildMessage(type, slot, seq, b7, b8, b9, payload);
}

inline Bytes Payload(const Bytes& m) { return m.size() > 10 ? Bytes(m.begin() + 10, m.end()) : Bytes(); }

}  // namespace usb_test

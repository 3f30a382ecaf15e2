// Reader profiles: everything that makes one simulated CCID reader differ from another
// (USB identity, the 54-byte class descriptor, interfaces and endpoints, clock and data
// rate tables, escape replies), and the catalogue of named profiles.
//
// Profiles load from the schema of the real-reader data file ("readers": [ { "profile":
// name, the class descriptor fields by their CCID names, "class_descriptor_hex",
// "endpoints", "bNumEndpoints", "has_interrupt_in", "bInterfaceNumber",
// "bInterfaceClass", "bInterfaceSubClass", "bInterfaceProtocol", "extra_interface_count",
// "clock_frequencies_khz", "data_rates_bps", "idVendor", "idProduct", "bcdDevice",
// "wTotalLength", "remote_wakeup", "self_powered", "manufacturer", "product", "serial",
// "description" } ]). Everything a real reader shows is taken as
// recorded: the interface's class, subclass and protocol (a vendor-class 0xFF interface
// stays one), a class descriptor of type 0xFF (readers older than the CCID class's final
// version), two endpoints or none. A field that is null was not recorded, as an absent
// one; those get these values:
//  - interface class 0x0B (smart card), subclass and protocol 0;
//  - without an endpoint list, the usual endpoints for bNumEndpoints (3, 2 or 0);
//  - endpoint addresses: bulk-in 0x81, bulk-out 0x02, interrupt-in 0x83 (numbers 1, 2, 3
//    in the order bulk-in, bulk-out, interrupt-in); bulk wMaxPacketSize 64, interrupt
//    wMaxPacketSize 8 with bInterval 16 (ms);
//  - idVendor 0x1209, idProduct 0xCC00 + the profile's place in the catalogue (0xCCFF
//    for a profile loaded from a file), bcdDevice 0x0100, strings "CCID Bench",
//    "Simulated CCID reader (<name>)", serial "SIM-<name>";
//  - bus-powered (unless "self_powered"), no remote wake-up unless dwFeatures announces USB wake-up (0x00100000);
//  - interfaces other than the smart-card one: vendor-specific (class 0xFF) without
//    endpoints; bInterfaceNumber N puts N of them before the smart-card interface, and
//    "extra_interface_count" beyond N puts the rest after it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "reader/ccid_wire.h"

namespace sim {

struct EndpointConfig {
  std::uint8_t address = 0;      // bit 7 set for IN
  std::uint8_t attributes = 2;   // 2 bulk, 3 interrupt
  std::uint16_t max_packet = 64;
  std::uint8_t interval = 0;

  bool In() const { return (address & 0x80) != 0; }
  bool Bulk() const { return (attributes & 3) == 2; }
  bool Interrupt() const { return (attributes & 3) == 3; }
};

// An escape the reader recognises: a request (whole, or a prefix) and its reply.
struct EscapeReply {
  ccid::Bytes request;
  bool prefix = false;
  ccid::Bytes reply;
};

struct ReaderProfile {
  std::string name;
  std::string description;  // where it comes from; the summary line adds the facts

  std::uint16_t id_vendor = 0x1209;
  std::uint16_t id_product = 0xCCFF;
  std::uint16_t bcd_device = 0x0100;
  std::string manufacturer = "CCID Bench";
  std::string product;
  std::string serial;

  std::array<std::uint8_t, ccid::kClassDescriptorSize> class_descriptor{};
  std::uint8_t interface_number = 0;   // bInterfaceNumber of the smart-card interface
  std::uint8_t interface_class = ccid::kSmartCardInterfaceClass;  // as the reader has them
  std::uint8_t interface_subclass = 0;
  std::uint8_t interface_protocol = 0;
  std::uint8_t extra_interfaces_after = 0;
  std::vector<EndpointConfig> endpoints;  // in descriptor order; may be empty
  bool remote_wakeup = false;
  bool self_powered = false;
  // 0: the configuration set is as long as its descriptors; otherwise vendor padding
  // after the interfaces brings wTotalLength to exactly this value.
  std::uint16_t config_total_length = 0;

  std::vector<std::uint32_t> clock_frequencies_khz;  // GET_CLOCK_FREQUENCIES (stall if empty)
  std::vector<std::uint32_t> data_rates_bps;         // GET_DATA_RATES (stall if empty)
  std::vector<EscapeReply> escape_replies;

  // Class descriptor fields the firmware acts on.
  std::uint8_t MaxSlotIndex() const { return class_descriptor[ccid::kDescMaxSlotIndex]; }
  std::uint8_t VoltageSupport() const { return class_descriptor[ccid::kDescVoltageSupport]; }
  std::uint32_t Protocols() const { return Field32(ccid::kDescProtocols); }
  std::uint32_t Features() const { return Field32(ccid::kDescFeatures); }
  std::uint32_t MaxMessageLength() const { return Field32(ccid::kDescMaxMessageLength); }
  std::uint32_t MaxIfsd() const { return Field32(ccid::kDescMaxIfsd); }
  std::uint8_t ClassGetResponse() const { return class_descriptor[ccid::kDescClassGetResponse]; }
  std::uint16_t LcdLayout() const {
    return ccid::Le16(class_descriptor, ccid::kDescLcdLayout);
  }
  std::uint8_t PinSupport() const { return class_descriptor[ccid::kDescPinSupport]; }
  std::uint8_t ClassDescriptorType() const { return class_descriptor[1]; }

  const EndpointConfig* BulkIn() const;
  const EndpointConfig* BulkOut() const;
  const EndpointConfig* InterruptIn() const;

  // One line for `ccidsim readers`: exchange level, protocols, voltages, PIN pad, ...
  std::string Summary() const;

 private:
  std::uint32_t Field32(std::size_t at) const { return ccid::Le32(class_descriptor, at); }
};

struct ReaderProfileInfo {
  std::string name;
  std::string summary;
};

// The built-in catalogue: the twelve real readers of the embedded data file, then the
// profiles tests need beyond them.
std::vector<ReaderProfileInfo> ReaderProfiles();
std::optional<ReaderProfile> FindReaderProfile(std::string_view name);

// Loading from the data file's schema. Each throws std::runtime_error naming the source
// (a file name), the field and the problem: "reader.json: endpoints[2].wMaxPacketSize:
// expected a number from 0 to 1023", "readers.json: readers[3].dwFeatures: disagrees
// with class_descriptor_hex", bad JSON, a missing field.
ReaderProfile ReaderProfileFromJson(std::string_view entry_json,  // one "readers" entry
                                    const std::string& source = "reader description");
ReaderProfile ReaderProfileFromFileText(std::string_view file_json, std::string_view name,
                                        const std::string& source = "reader file");
std::vector<ReaderProfile> ReaderProfilesFromFileText(std::string_view file_json,  // all entries
                                                      const std::string& source = "reader file");
ReaderProfile LoadReaderProfile(const std::string& path, std::string_view name);
std::vector<std::string> ReaderProfileNamesInFile(const std::string& path);

}  // namespace sim

// Reader profiles: every real reader of the data file loads from its schema, and the
// reader built from it shows exactly that class descriptor on the bus.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "reader_host.h"

namespace reader_test {
namespace {

nlohmann::json DataFile() {
  std::ifstream in(CCID_READER_DATA_FILE);
  return nlohmann::json::parse(in);
}

std::vector<std::string> RealNames() {
  std::vector<std::string> names;
  const nlohmann::json file = DataFile();
  for (const auto& r : file.at("readers")) names.push_back(r.at("profile"));
  return names;
}

class RealReader : public testing::TestWithParam<std::string> {};

TEST_P(RealReader, DescriptorOnTheBusEqualsTheRecordedOne) {
  nlohmann::json entry;
  const nlohmann::json file = DataFile();
  for (const auto& r : file.at("readers"))
    if (r.at("profile") == GetParam()) entry = r;
  const Bytes expected = Hex(entry.at("class_descriptor_hex"));
  ASSERT_EQ(expected.size(), 54u);

  // The three ways in: the built-in catalogue, the file by path, the entry alone.
  const auto from_catalogue = sim::FindReaderProfile(GetParam());
  ASSERT_TRUE(from_catalogue);
  const auto from_file = sim::LoadReaderProfile(CCID_READER_DATA_FILE, GetParam());
  const auto from_entry = sim::ReaderProfileFromJson(entry.dump());
  for (const auto* p : {&*from_catalogue, &from_file, &from_entry}) {
    SCOPED_TRACE(p->name);
    EXPECT_EQ(Bytes(p->class_descriptor.begin(), p->class_descriptor.end()), expected);
    EXPECT_EQ(p->interface_number, entry.at("bInterfaceNumber").get<int>());
    EXPECT_EQ(p->endpoints.size(), entry.at("bNumEndpoints").get<std::size_t>());
    EXPECT_EQ(p->InterruptIn() != nullptr, entry.at("has_interrupt_in").get<bool>());
  }

  sim::CcidReader reader(*from_catalogue);
  TestHost host(reader);
  auto config = host.GetDescriptor(2, 0, 0xFFFF);
  ASSERT_TRUE(config);
  std::size_t at = 0;
  int found = 0;
  while (at + 1 < config->size() && (*config)[at] != 0) {
    if ((*config)[at] == 54 && (*config)[at + 1] == 0x21) {
      EXPECT_EQ(Bytes(config->begin() + at, config->begin() + at + 54), expected);
      ++found;
    }
    if ((*config)[at] == 9 && (*config)[at + 1] == 4 && (*config)[at + 5] == 0x0B) {
      EXPECT_EQ((*config)[at + 2], entry.at("bInterfaceNumber").get<int>());
    }
    at += (*config)[at];
  }
  EXPECT_EQ(found, 1);
  EXPECT_FALSE(from_catalogue->Summary().empty());
}

INSTANTIATE_TEST_SUITE_P(DataFile, RealReader, testing::ValuesIn(RealNames()), [](const auto& info) {
  std::string n = info.param;
  std::replace(n.begin(), n.end(), '-', '_');
  return n;
});

TEST(ReaderProfiles, CatalogueHasTheRealReadersAndTheTestProfiles) {
  std::vector<std::string> names;
  for (const auto& info : sim::ReaderProfiles()) {
    names.push_back(info.name);
    EXPECT_EQ(info.summary.find('\n'), std::string::npos) << info.name;
    auto reader = sim::CcidReader::FromCatalogue(info.name);  // every one builds
    EXPECT_EQ(reader->Profile().name, info.name);
  }
  const auto real_names = RealNames();
  ASSERT_EQ(real_names.size(), 12u);
  for (const auto& real : real_names) EXPECT_NE(std::find(names.begin(), names.end(), real), names.end()) << real;
  for (const char* extra : {"long-config", "composite-second", "wakeup", "pinpad-tpdu"})
    EXPECT_NE(std::find(names.begin(), names.end(), extra), names.end()) << extra;
  EXPECT_THROW(sim::CcidReader::FromCatalogue("no-such-reader"), std::invalid_argument);
}

TEST(ReaderProfiles, SummaryLine) {
  EXPECT_EQ(sim::FindReaderProfile("pinpad-lcd")->Summary(),
            "short-APDU level, T=0/T=1, 5V/3V/1.8V, max message 522, PIN pad (verify+modify), LCD 2x12 (real reader)");
  EXPECT_NE(sim::FindReaderProfile("no-interrupt-pipe")->Summary().find("no interrupt pipe"), std::string::npos);
}

// Entries that must be refused, each with the file and the field named.
TEST(ReaderProfiles, MalformedEntriesAreRefusedNamingTheFileAndTheField) {
  nlohmann::json good = DataFile().at("readers").at(0);
  struct Row {
    const char* name;
    std::function<void(nlohmann::json&)> edit;
    const char* message;
  };
  const Row rows[] = {
      {"field disagrees", [](auto& e) { e["dwMaxCCIDMessageLength"] = 300; },
       "dwMaxCCIDMessageLength: disagrees with class_descriptor_hex"},
      {"short hex", [](auto& e) { e["class_descriptor_hex"] = "3621"; },
       "class_descriptor_hex: expected 54 bytes in hexadecimal (108 digits)"},
      {"no hex, fields missing", [](auto& e) { e.erase("class_descriptor_hex"); e.erase("dwFeatures"); },
       "dwFeatures: missing (needed without class_descriptor_hex)"},
      {"descriptor of another length",
       [](auto& e) {
         std::string hex = e["class_descriptor_hex"];
         e["class_descriptor_hex"] = "35" + hex.substr(2);
         e.erase("bLength");
       },
       "class_descriptor_hex: bLength must be 54"},
      {"endpoint count", [](auto& e) { e["bNumEndpoints"] = 2; }, "bNumEndpoints: disagrees with the endpoint list"},
      {"interrupt flag", [](auto& e) { e["has_interrupt_in"] = false; },
       "has_interrupt_in: disagrees with the endpoints"},
      {"no name", [](auto& e) { e.erase("profile"); }, "profile: missing: every reader needs a name"},
      {"packet size", [](auto& e) { e["endpoints"][2]["wMaxPacketSize"] = 2000; },
       "endpoints[2].wMaxPacketSize: expected a number from 0 to 1023"},
      {"negative number", [](auto& e) { e["bMaxSlotIndex"] = -1; }, "bMaxSlotIndex: expected a number from 0 to 255"},
      {"text for a number", [](auto& e) { e["bInterfaceClass"] = "0B"; },
       "bInterfaceClass: expected a number from 0 to 255"},
      {"direction", [](auto& e) { e["endpoints"][0]["direction"] = "sideways"; },
       "endpoints[0].direction: expected \"in\" or \"out\""},
      {"address against direction", [](auto& e) { e["endpoints"][1]["bEndpointAddress"] = 0x82; },
       "endpoints[1].bEndpointAddress: disagrees with direction"},
      {"attributes against type", [](auto& e) { e["endpoints"][2]["bmAttributes"] = 2; },
       "endpoints[2].bmAttributes: disagrees with type"},
      {"endpoint not an object", [](auto& e) { e["endpoints"][1] = 7; }, "endpoints[1]: expected an object"},
      {"endpoints not a list", [](auto& e) { e["endpoints"] = 3; }, "endpoints: expected a list"},
      {"clock list entry", [](auto& e) { e["clock_frequencies_khz"][1] = 1.5; },
       "clock_frequencies_khz[1]: expected a number from 0 to 4294967295"},
      {"wake-up flag", [](auto& e) { e["remote_wakeup"] = 1; }, "remote_wakeup: expected true or false"},
      {"configuration too short", [](auto& e) { e["wTotalLength"] = 20; },
       "wTotalLength: shorter than the descriptors it must hold"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    nlohmann::json e = good;
    row.edit(e);
    try {
      sim::ReaderProfileFromJson(e.dump(), "reader.json");
      ADD_FAILURE() << "accepted";
    } catch (const std::runtime_error& ex) {
      EXPECT_EQ(std::string(ex.what()), std::string("reader.json: ") + row.message);
    }
  }
  // In a file of readers, the entry's place is part of the field's path.
  nlohmann::json file = DataFile();
  file["readers"][3]["endpoints"][0]["bInterval"] = 300;
  try {
    sim::ReaderProfilesFromFileText(file.dump(), "readers.json");
    ADD_FAILURE() << "accepted";
  } catch (const std::runtime_error& ex) {
    EXPECT_EQ(std::string(ex.what()), "readers.json: readers[3].endpoints[0].bInterval: expected a number from 0 to 255");
  }
  EXPECT_THROW(sim::ReaderProfileFromJson("{"), std::runtime_error);
  EXPECT_THROW(sim::LoadReaderProfile(CCID_READER_DATA_FILE, "absent"), std::runtime_error);
}

// null is "not recorded", as an absent key: every optional field may be null.
TEST(ReaderProfiles, NullFieldsAreNotRecorded) {
  nlohmann::json e = DataFile().at("readers").at(0);
  for (const char* key : {"bInterfaceNumber", "bInterfaceClass", "bNumEndpoints", "has_interrupt_in", "dwFeatures",
                          "clock_frequencies_khz", "data_rates_bps", "extra_interface_count", "description"})
    e[key] = nullptr;
  e["endpoints"][0]["wMaxPacketSize"] = nullptr;
  e["endpoints"][2]["bEndpointAddress"] = nullptr;
  e["idVendor"] = nullptr;
  const sim::ReaderProfile p = sim::ReaderProfileFromJson(e.dump(), "reader.json");
  EXPECT_EQ(Bytes(p.class_descriptor.begin(), p.class_descriptor.end()), Hex(e.at("class_descriptor_hex")));
  EXPECT_EQ(p.interface_class, 0x0B);
  EXPECT_EQ(p.BulkIn()->max_packet, 64);
  EXPECT_EQ(p.InterruptIn()->address, 0x83);
  EXPECT_TRUE(p.clock_frequencies_khz.empty());
  EXPECT_EQ(p.id_vendor, 0x1209);

  // Without an endpoint list, bNumEndpoints gives the usual endpoints.
  for (auto [count, interrupt] : {std::pair{3, true}, {2, false}, {0, false}}) {
    SCOPED_TRACE(count);
    e["endpoints"] = nullptr;
    e["bNumEndpoints"] = count;
    const sim::ReaderProfile q = sim::ReaderProfileFromJson(e.dump());
    EXPECT_EQ(q.endpoints.size(), static_cast<std::size_t>(count));
    EXPECT_EQ(q.InterruptIn() != nullptr, interrupt);
  }
}

// What a real reader has reaches the bus byte for byte: the interface's class, subclass
// and protocol (a vendor-class interface with a CCID class descriptor stays vendor-class),
// a class descriptor of type 0xFF (older readers), which the class GET_DESCRIPTOR request
// then asks for by that type, two endpoints or none.
struct RecordedRow {
  const char* name;
  std::function<void(nlohmann::json&)> edit;
  std::uint8_t cls, subclass, protocol, type;
  std::size_t endpoints;
};

class RecordedDescriptors : public testing::TestWithParam<RecordedRow> {};

TEST_P(RecordedDescriptors, ArePresentedAsRecorded) {
  const RecordedRow& row = GetParam();
  nlohmann::json e = DataFile().at("readers").at(0);
  row.edit(e);
  sim::CcidReader reader(sim::ReaderProfileFromJson(e.dump()));
  TestHost host(reader);
  const auto config = host.GetDescriptor(2, 0, 0xFFFF);
  ASSERT_TRUE(config);
  Bytes expected = Hex(e.at("class_descriptor_hex"));
  expected[1] = row.type;
  std::size_t at = (*config)[0];
  int interfaces = 0, classDescriptors = 0;
  std::size_t endpoints = 0;
  while (at + 1 < config->size()) {
    const std::uint8_t length = (*config)[at], type = (*config)[at + 1];
    if (type == 4 && length == 9) {
      ++interfaces;
      EXPECT_EQ(Bytes(config->begin() + at + 4, config->begin() + at + 8),
                (Bytes{static_cast<std::uint8_t>(row.endpoints), row.cls, row.subclass, row.protocol}));
    }
    if (length == 54) {
      ++classDescriptors;
      EXPECT_EQ(Bytes(config->begin() + at, config->begin() + at + 54), expected);
    }
    endpoints += type == 5;
    at += length;
  }
  EXPECT_EQ(interfaces, 1);
  EXPECT_EQ(classDescriptors, 1);
  EXPECT_EQ(endpoints, row.endpoints);

  ASSERT_TRUE(host.Configure());
  Bytes answer(54);
  EXPECT_EQ(host.Control(0xA1, 6, static_cast<std::uint16_t>(row.type << 8), 0, answer).handshake,
            hosted::usb::Handshake::Ack);
  EXPECT_EQ(answer, expected);
  const std::uint8_t other = row.type == 0x21 ? 0xFF : 0x21;
  answer.assign(54, 0);
  EXPECT_EQ(host.Control(0xA1, 6, static_cast<std::uint16_t>(other << 8), 0, answer).handshake,
            hosted::usb::Handshake::Stall)
      << "no class descriptor of the other type";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RecordedDescriptors,
    testing::Values(
        RecordedRow{"vendor_class_interface",
                    [](auto& e) {
                      e["bInterfaceClass"] = 0xFF;
                      e["bInterfaceSubClass"] = 0x01;
                      e["bInterfaceProtocol"] = 0x02;
                    },
                    0xFF, 0x01, 0x02, 0x21, 3},
        RecordedRow{"class_descriptor_type_ff",
                    [](auto& e) {
                      std::string hex = e["class_descriptor_hex"];
                      e["class_descriptor_hex"] = hex.substr(0, 2) + "ff" + hex.substr(4);
                      e["bDescriptorType"] = 0xFF;
                    },
                    0x0B, 0, 0, 0xFF, 3},
        RecordedRow{"two_endpoints",
                    [](auto& e) {
                      e["endpoints"].erase(2);
                      e["bNumEndpoints"] = 2;
                      e["has_interrupt_in"] = false;
                    },
                    0x0B, 0, 0, 0x21, 2},
        RecordedRow{"no_endpoints",
                    [](auto& e) {
                      e["endpoints"] = nlohmann::json::array();
                      e["bNumEndpoints"] = 0;
                      e["has_interrupt_in"] = false;
                    },
                    0x0B, 0, 0, 0x21, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReaderProfiles, EntryWithoutHexIsBuiltFromItsFields) {
  nlohmann::json e = DataFile().at("readers").at(1);
  const Bytes expected = Hex(e.at("class_descriptor_hex"));
  e.erase("class_descriptor_hex");
  e["bEndpointAddress"] = 0;  // ignored: only endpoint entries carry addresses
  e["endpoints"][0]["bEndpointAddress"] = 0x85;
  const auto p = sim::ReaderProfileFromJson(e.dump());
  EXPECT_EQ(Bytes(p.class_descriptor.begin(), p.class_descriptor.end()), expected);
  EXPECT_EQ(p.BulkIn()->address, 0x85);
  EXPECT_EQ(p.BulkOut()->address, 0x02);
  EXPECT_EQ(p.InterruptIn()->address, 0x83);
  EXPECT_EQ(p.InterruptIn()->max_packet, 8);
}

}  // namespace
}  // namespace reader_test

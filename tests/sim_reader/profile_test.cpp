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

// Entries that must be refused, each with the reason named.
TEST(ReaderProfiles, MalformedEntriesAreRefused) {
  nlohmann::json good = DataFile().at("readers").at(0);
  struct Row {
    const char* name;
    std::function<void(nlohmann::json&)> edit;
    const char* reason;
  };
  const Row rows[] = {
      {"field disagrees", [](auto& e) { e["dwMaxCCIDMessageLength"] = 300; }, "disagrees"},
      {"short hex", [](auto& e) { e["class_descriptor_hex"] = "3621"; }, "54 bytes"},
      {"no hex, fields missing", [](auto& e) { e.erase("class_descriptor_hex"); e.erase("dwFeatures"); }, "missing"},
      {"endpoint count", [](auto& e) { e["bNumEndpoints"] = 2; }, "bNumEndpoints"},
      {"no name", [](auto& e) { e.erase("profile"); }, "profile"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    nlohmann::json e = good;
    row.edit(e);
    try {
      sim::ReaderProfileFromJson(e.dump());
      ADD_FAILURE() << "accepted";
    } catch (const std::runtime_error& ex) {
      EXPECT_NE(std::string(ex.what()).find(row.reason), std::string::npos) << ex.what();
    }
  }
  EXPECT_THROW(sim::ReaderProfileFromJson("{"), std::runtime_error);
  EXPECT_THROW(sim::LoadReaderProfile(CCID_READER_DATA_FILE, "absent"), std::runtime_error);
}

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

// Standard requests (USB 2.0 chapter 9) and the class requests of the smart-card
// interface, as a host sends them on endpoint 0.
#include <gtest/gtest.h>

#include "reader_host.h"

namespace reader_test {
namespace {

using sim::CcidReader;
using hosted::usb::Handshake;

struct Walked {
  std::vector<Bytes> descriptors;
  const Bytes* Find(std::uint8_t type, std::size_t nth = 0) const {
    for (const auto& d : descriptors)
      if (d[1] == type && nth-- == 0) return &d;
    return nullptr;
  }
};

// Splits a configuration set into its descriptors, checking that they tile it exactly.
Walked Walk(const Bytes& config) {
  Walked w;
  std::size_t at = 0;
  while (at < config.size()) {
    const std::size_t len = config[at];
    EXPECT_GE(len, 2u) << "at " << at;
    if (len < 2 || at + len > config.size()) break;
    w.descriptors.emplace_back(config.begin() + at, config.begin() + at + len);
    at += len;
  }
  EXPECT_EQ(at, config.size());
  return w;
}

TEST(ReaderDescriptors, DeviceDescriptorNamesTheProfile) {
  auto reader = CcidReader::FromCatalogue("tpdu-basic");
  TestHost host(*reader);
  auto d = host.GetDescriptor(1, 0, 18);
  ASSERT_TRUE(d);
  ASSERT_EQ(d->size(), 18u);
  EXPECT_EQ((*d)[0], 18);
  EXPECT_EQ((*d)[1], 1);
  EXPECT_EQ((*d)[7], 64) << "bMaxPacketSize0";
  EXPECT_EQ((*d)[8] | (*d)[9] << 8, reader->Profile().id_vendor);
  EXPECT_EQ((*d)[10] | (*d)[11] << 8, reader->Profile().id_product);
  EXPECT_EQ((*d)[17], 1) << "one configuration";
  // A shorter request gets the first bytes only (the host's first 8-byte read).
  auto first = host.GetDescriptor(1, 0, 8);
  ASSERT_TRUE(first);
  EXPECT_EQ(*first, Bytes(d->begin(), d->begin() + 8));
}

TEST(ReaderDescriptors, ConfigurationHasTheSmartCardInterfaceAndItsEndpoints) {
  auto reader = CcidReader::FromCatalogue("tpdu-basic");
  TestHost host(*reader);
  auto head = host.GetDescriptor(2, 0, 9);
  ASSERT_TRUE(head);
  const std::uint16_t total = (*head)[2] | (*head)[3] << 8;
  auto config = host.GetDescriptor(2, 0, total);
  ASSERT_TRUE(config);
  ASSERT_EQ(config->size(), total);
  Walked w = Walk(*config);
  const Bytes* iface = w.Find(4);
  ASSERT_TRUE(iface);
  EXPECT_EQ((*iface)[5], 0x0B);
  EXPECT_EQ((*iface)[4], 3) << "bNumEndpoints";
  const Bytes* cls = w.Find(0x21);
  ASSERT_TRUE(cls);
  EXPECT_EQ(Bytes(cls->begin(), cls->end()),
            Bytes(reader->Profile().class_descriptor.begin(), reader->Profile().class_descriptor.end()));
  std::vector<std::pair<int, int>> endpoints;
  for (std::size_t i = 0; const Bytes* ep = w.Find(5, i); ++i) endpoints.push_back({(*ep)[2], (*ep)[3]});
  EXPECT_EQ(endpoints, (std::vector<std::pair<int, int>>{{0x81, 2}, {0x02, 2}, {0x83, 3}}));
  EXPECT_EQ((*config)[7] & 0x20, 0) << "no remote wake-up";
}

// Configuration sets of chosen lengths, and smart-card interfaces after other ones.
struct LayoutRow {
  const char* profile;
  std::size_t total;      // 0: not checked
  int interface_number;
  int interfaces;
  bool remote_wakeup;
};

class ReaderLayout : public testing::TestWithParam<LayoutRow> {};

TEST_P(ReaderLayout, ConfigurationLayout) {
  const LayoutRow row = GetParam();
  auto reader = CcidReader::FromCatalogue(row.profile);
  TestHost host(*reader);
  auto config = host.GetDescriptor(2, 0, 0xFFFF);
  ASSERT_TRUE(config);
  const std::size_t total = (*config)[2] | (*config)[3] << 8;
  EXPECT_EQ(config->size(), total);
  if (row.total) {
    EXPECT_EQ(total, row.total);
  }
  EXPECT_EQ((*config)[4], row.interfaces);
  EXPECT_EQ(((*config)[7] & 0x20) != 0, row.remote_wakeup);
  Walked w = Walk(*config);
  int class_descriptors = 0, smart_card = -1;
  for (std::size_t i = 0; const Bytes* iface = w.Find(4, i); ++i)
    if ((*iface)[5] == 0x0B) smart_card = (*iface)[2];
  for (const auto& d : w.descriptors) class_descriptors += d[0] == 54 && d[1] == 0x21;
  EXPECT_EQ(smart_card, row.interface_number);
  EXPECT_EQ(class_descriptors, 1) << "padding must never look like a class descriptor";
}

INSTANTIATE_TEST_SUITE_P(Profiles, ReaderLayout,
                         testing::Values(LayoutRow{"long-config", 600, 0, 2, false},
                                         LayoutRow{"config-521", 521, 0, 2, false},
                                         LayoutRow{"config-522", 522, 0, 2, false},
                                         LayoutRow{"composite-second", 0, 1, 2, false},
                                         LayoutRow{"pinpad-verify-modify", 0, 2, 3, false},
                                         LayoutRow{"apdu-extended", 0, 0, 2, false},
                                         LayoutRow{"wakeup", 0, 0, 1, true}),
                         [](const auto& info) {
                           std::string n = info.param.profile;
                           std::replace(n.begin(), n.end(), '-', '_');
                           return n;
                         });

TEST(ReaderDescriptors, StringDescriptors) {
  auto reader = CcidReader::FromCatalogue("tpdu-basic");
  TestHost host(*reader);
  auto langs = host.GetDescriptor(3, 0, 255);
  ASSERT_TRUE(langs);
  EXPECT_EQ(*langs, (Bytes{4, 3, 0x09, 0x04}));
  auto product = host.GetDescriptor(3, 2, 255, 0x0409);
  ASSERT_TRUE(product);
  std::string text;
  for (std::size_t i = 2; i + 1 < product->size(); i += 2) text.push_back(static_cast<char>((*product)[i]));
  EXPECT_EQ(text, "Simulated CCID reader (tpdu-basic)");
  EXPECT_FALSE(host.GetDescriptor(3, 9, 255, 0x0409)) << "unknown string index stalls";
  EXPECT_FALSE(host.GetDescriptor(6, 0, 10)) << "device qualifier: a full-speed device stalls";
}

TEST(ReaderStandardRequests, ConfigurationAndStatus) {
  auto reader = CcidReader::FromCatalogue("wakeup");
  TestHost host(*reader);
  Bytes status(2);
  EXPECT_EQ(host.ControlOut(0x00, 9, 2, 0).handshake, Handshake::Stall) << "no configuration 2";
  Bytes ep_status(2);
  EXPECT_EQ(host.Control(0x82, 0, 0, 0x81, ep_status).handshake, Handshake::Stall) << "endpoint before configuration";
  ASSERT_TRUE(host.Configure());
  Bytes config(1);
  ASSERT_EQ(host.Control(0x80, 8, 0, 0, config).handshake, Handshake::Ack);
  EXPECT_EQ(config, Bytes{1});

  ASSERT_EQ(host.ControlOut(0x00, 3, 1, 0).handshake, Handshake::Ack) << "SET_FEATURE(DEVICE_REMOTE_WAKEUP)";
  ASSERT_EQ(host.Control(0x80, 0, 0, 0, status).handshake, Handshake::Ack);
  EXPECT_EQ(status, (Bytes{0x02, 0x00}));
  ASSERT_EQ(host.ControlOut(0x00, 1, 1, 0).handshake, Handshake::Ack) << "CLEAR_FEATURE(DEVICE_REMOTE_WAKEUP)";
  status.assign(2, 0xEE);
  ASSERT_EQ(host.Control(0x80, 0, 0, 0, status).handshake, Handshake::Ack);
  EXPECT_EQ(status, (Bytes{0x00, 0x00}));

  // Halt and clear on the bulk-in endpoint.
  ASSERT_EQ(host.ControlOut(0x02, 3, 0, 0x81).handshake, Handshake::Ack);
  ep_status.assign(2, 0);
  ASSERT_EQ(host.Control(0x82, 0, 0, 0x81, ep_status).handshake, Handshake::Ack);
  EXPECT_EQ(ep_status[0], 1);
  Bytes packet;
  EXPECT_EQ(reader->InPacket(0x81, packet), Handshake::Stall);
  ASSERT_EQ(host.ControlOut(0x02, 1, 0, 0x81).handshake, Handshake::Ack);
  EXPECT_EQ(reader->InPacket(0x81, packet), Handshake::Nak);
  EXPECT_EQ(host.ControlOut(0x02, 1, 0, 0x85).handshake, Handshake::Stall) << "no endpoint 0x85";
}

TEST(ReaderStandardRequests, RemoteWakeupNeedsTheConfigurationBit) {
  auto reader = CcidReader::FromCatalogue("tpdu-basic");
  TestHost host(*reader);
  ASSERT_TRUE(host.Configure());
  EXPECT_EQ(host.ControlOut(0x00, 3, 1, 0).handshake, Handshake::Stall);
}

TEST(ReaderClassRequests, ClassDescriptorClocksAndDataRates) {
  auto reader = CcidReader::FromCatalogue("pinpad-lcd");
  TestHost host(*reader);
  Bytes desc(54);
  EXPECT_EQ(host.Control(0xA1, 6, 0x2100, 0, desc).handshake, Handshake::Stall) << "before configuration";
  ASSERT_TRUE(host.Configure());
  desc.assign(54, 0);
  ASSERT_EQ(host.Control(0xA1, 6, 0x2100, 0, desc).handshake, Handshake::Ack);
  EXPECT_EQ(desc, Bytes(reader->Profile().class_descriptor.begin(), reader->Profile().class_descriptor.end()));

  Bytes clocks(256);
  ASSERT_EQ(host.Control(0xA1, 2, 0, 0, clocks).handshake, Handshake::Ack);
  ASSERT_EQ(clocks.size(), 7u * 4);
  EXPECT_EQ(clocks[0] | clocks[1] << 8, 3600);
  Bytes rates(8);
  ASSERT_EQ(host.Control(0xA1, 3, 0, 0, rates).handshake, Handshake::Ack);
  EXPECT_EQ(rates, (Bytes{0x80, 0x25, 0, 0, 0x40, 0x38, 0, 0})) << "9600, 14400, cut to wLength";
}

TEST(ReaderClassRequests, EmptyTablesAndOtherInterfacesStall) {
  auto plain = CcidReader::FromCatalogue("apdu-short");
  TestHost host(*plain);
  ASSERT_TRUE(host.Configure());
  Bytes rates(64);
  EXPECT_EQ(host.Control(0xA1, 3, 0, 0, rates).handshake, Handshake::Stall) << "no data rate table";

  auto composite = CcidReader::FromCatalogue("composite-second");
  TestHost chost(*composite);
  ASSERT_TRUE(chost.Configure());
  Bytes desc(54);
  EXPECT_EQ(chost.Control(0xA1, 6, 0x2100, 0, desc).handshake, Handshake::Stall)
      << "interface 0 is not the smart-card interface";
  desc.assign(54, 0);
  EXPECT_EQ(chost.Control(0xA1, 6, 0x2100, 1, desc).handshake, Handshake::Ack);
  EXPECT_EQ(chost.ControlOut(0x21, 1, 0x0100, 0).handshake, Handshake::Stall) << "ABORT to interface 0";
}

}  // namespace
}  // namespace reader_test

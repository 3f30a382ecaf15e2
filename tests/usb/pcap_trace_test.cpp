// The pcap trace: its records read back with libpcap (link type, usbmon headers, the
// enumeration first, S/C pairs, whole messages), and a mixed session decoded by tshark's
// USB CCID dissector: every message recognised with the fields that were sent, nothing
// malformed.
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <pcap/usb.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <tuple>

#include "card/card.h"
#include "kernel_test_support.h"
#include "usb_bench.h"

namespace usb_test {
namespace {

using hosted::usb::PcapContent;
using hosted::usb::TransferType;

std::string TracePath(const char* name) {
  return testing::TempDir() + "usb_trace_" + std::to_string(::getpid()) + "_" + name + ".pcap";
}

struct Record {
  pcap_usb_header_mmapped header;
  Bytes data;
};

std::vector<Record> ReadBack(const std::string& path, int* linkType) {
  char error[PCAP_ERRBUF_SIZE];
  pcap_t* p = pcap_open_offline(path.c_str(), error);
  EXPECT_NE(p, nullptr) << error;
  std::vector<Record> records;
  if (p == nullptr) return records;
  *linkType = pcap_datalink(p);
  pcap_pkthdr* h;
  const u_char* bytes;
  while (pcap_next_ex(p, &h, &bytes) == 1) {
    Record r;
    EXPECT_GE(h->caplen, sizeof(pcap_usb_header_mmapped));
    std::memcpy(&r.header, bytes, sizeof(r.header));
    r.data.assign(bytes + sizeof(r.header), bytes + h->caplen);
    EXPECT_EQ(r.data.size(), r.header.data_len);
    records.push_back(std::move(r));
  }
  pcap_close(p);
  return records;
}

// A session with a card: insertion (while an interrupt request pends across an
// exchange), power, parameters, an APDU, a 64-byte answer, a command longer than one
// packet, time extensions, a hardware error and the removal.
void MixedSession(Bench& b) {
  b.reader->SetEscapeReply({0x54}, Bytes(54, 0x54));
  auto slotChange = b.host.StartInterrupt();
  EXPECT_TRUE(b.host.Exchange(Cmd(0x65, 0)));
  b.reader->InsertCard(sim::MakeCard("t0"));
  EXPECT_EQ(slotChange->Wait().data, (Bytes{0x50, 0x03}));
  EXPECT_TRUE(b.host.Exchange(Cmd(0x62, 1)));
  EXPECT_TRUE(b.host.Exchange(Cmd(0x65, 2)));
  EXPECT_TRUE(b.host.Exchange(Cmd(0x61, 3, {0x11, 0x00, 0x00, 0x0A, 0x00})));
  EXPECT_TRUE(b.host.Exchange(Cmd(0x6C, 4)));
  EXPECT_TRUE(b.host.Exchange(Cmd(0x6F, 5, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00})));
  EXPECT_EQ(b.host.Write(Cmd(0x6B, 6, {0x54})).status, STATUS_SUCCESS);
  EXPECT_EQ(b.host.Read(64).length, 64u);
  EXPECT_EQ(b.host.Read(64).length, 0u) << "the zero-length packet after the 64-byte answer";
  EXPECT_TRUE(b.host.Exchange(Cmd(0x6B, 7, Bytes(150, 'x'))));
  b.reader->AddFault(sim::Fault{sim::FaultKind::TimeExtensions, 2, 0x65, 0, 1});
  EXPECT_TRUE(b.host.Exchange(Cmd(0x65, 8)));
  b.reader->HardwareFault(0, 0x01);
  b.host.ReadInterrupt();
  b.reader->RemoveCard();
  b.host.ReadInterrupt();
  EXPECT_TRUE(b.host.Exchange(Cmd(0x63, 9)));
}

TEST(UsbTrace, RecordsAreUsbmonPairsAfterTheEnumeration) {
  for (PcapContent content : {PcapContent::Messages, PcapContent::Transfers}) {
    SCOPED_TRACE(content == PcapContent::Messages ? "messages" : "transfers");
    Bench b("tpdu-basic", BusDeviceOptions{.bus = 3, .address = 17});
    MixedSession(b);
    const std::string path = TracePath("records");
    std::string error;
    ASSERT_TRUE(b.bus->WritePcap(path, content, &error)) << error;
    int linkType = 0;
    const std::vector<Record> records = ReadBack(path, &linkType);
    std::filesystem::remove(path);
    EXPECT_EQ(linkType, 220) << "DLT_USB_LINUX_MMAPPED";
    ASSERT_GE(records.size(), 6u);
    ASSERT_EQ(records.size() % 2, 0u);
    // The enumeration: GET_DESCRIPTOR(device), then the configuration header and set.
    const std::uint16_t values[] = {0x0100, 0x0200, 0x0200};
    for (int i = 0; i < 3; ++i) {
      const Record& s = records[2 * i];
      EXPECT_EQ(s.header.transfer_type, URB_CONTROL);
      EXPECT_EQ(s.header.setup_flag, 0) << "setup present";
      EXPECT_EQ(s.header.s.setup.bRequest, 6);
      EXPECT_EQ(s.header.s.setup.wValue, values[i]);
    }
    EXPECT_EQ(records[5].data, b.bus->ConfigurationDescriptor()) << "the whole configuration set";
    // Records in bus order: times never go back, each completion follows its submission.
    std::int64_t last = 0;
    std::map<std::uint64_t, std::size_t> submissions;  // URB id -> its S record
    std::size_t setConfiguration = records.size(), firstBulk = records.size(), slotChangeS = 0, slotChangeC = 0;
    for (std::size_t i = 0; i < records.size(); ++i) {
      const auto& h = records[i].header;
      EXPECT_EQ(h.bus_id, 3);
      EXPECT_EQ(h.device_address, 17);
      const std::int64_t t = h.ts_sec * 1000000 + h.ts_usec;
      EXPECT_GE(t, last) << "record " << i;
      last = t;
      if (h.event_type == 'S') {
        EXPECT_EQ(h.status, -EINPROGRESS);
        EXPECT_TRUE(submissions.emplace(h.id, i).second) << "one submission per URB id";
        if (h.transfer_type == URB_CONTROL && h.s.setup.bRequest == 9) setConfiguration = std::min(setConfiguration, i);
        if (h.transfer_type == URB_BULK) firstBulk = std::min(firstBulk, i);
        continue;
      }
      ASSERT_EQ(h.event_type, 'C');
      ASSERT_EQ(submissions.count(h.id), 1u) << "completion " << i << " without its submission before it";
      const Record& s = records[submissions[h.id]];
      if (h.transfer_type == URB_INTERRUPT && records[i].data == Bytes{0x50, 0x03}) {
        slotChangeS = submissions[h.id];
        slotChangeC = i;
      }
      if (h.transfer_type == URB_BULK && content == PcapContent::Messages) {
        const Bytes& message = (h.endpoint_number & 0x80) ? records[i].data : s.data;
        ASSERT_GE(message.size(), 10u);
        EXPECT_EQ(message.size(), 10 + sim::ccid::Le32(message, 1)) << "each message whole in one record";
      }
    }
    EXPECT_EQ(submissions.size() * 2, records.size());
    EXPECT_LT(setConfiguration, firstBulk) << "nothing moves on bulk pipes before SET_CONFIGURATION";
    for (std::size_t i = 0; i < setConfiguration; ++i) EXPECT_NE(records[i].header.transfer_type, URB_INTERRUPT);
    // The slot change: as a message, where the bus carried it (after the first exchange);
    // as a URB, submitted before that exchange and completed after it.
    ASSERT_NE(slotChangeC, 0u);
    EXPECT_LT(firstBulk, slotChangeC);
    if (content == PcapContent::Transfers) {
      EXPECT_LT(slotChangeS, firstBulk);
    }
  }
}

// (endpoint, bMessageType, bSeq, dwLength) of every CCID message; bSeq and dwLength are
// -1 for interrupt messages.
using Message = std::tuple<int, int, int, long>;

std::vector<Message> SentAndReceived(const BusDevice& bus) {
  std::vector<Message> out;
  for (const auto& t : bus.Transfers()) {
    if (t.status != STATUS_SUCCESS || t.data.empty()) continue;
    if (t.type == TransferType::Bulk && t.data.size() >= 10)
      out.emplace_back(t.endpoint, t.data[0], t.data[6], static_cast<long>(sim::ccid::Le32(t.data, 1)));
    else if (t.type == TransferType::Interrupt)
      out.emplace_back(t.endpoint, t.data[0], -1, -1L);
  }
  return out;
}

std::string RunCommand(const std::string& command) {
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return output;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) output.append(buffer, n);
  ::pclose(pipe);
  return output;
}

TEST(UsbTrace, TsharkDecodesEveryCcidMessageOfAMixedSession) {
  const std::string tshark = CCID_TSHARK;
  if (tshark.empty() || !std::filesystem::exists(tshark)) GTEST_SKIP() << "tshark is not installed";
  Bench b;
  MixedSession(b);
  const std::string path = TracePath("tshark");
  ASSERT_TRUE(b.bus->WritePcap(path));
  const std::string output =
      RunCommand(tshark + " -n -r " + path + " -d " + b.bus->CcidDecodeAs() +
          " -T fields -E separator=';' -e usb.endpoint_address -e usbccid.bMessageType -e usbccid.bSeq"
          " -e usbccid.dwLength -e _ws.malformed -e usbccid.bcdCCID 2>/dev/null");
  std::filesystem::remove(path);
  ASSERT_FALSE(output.empty()) << "tshark printed nothing";
  std::vector<Message> decoded;
  int malformed = 0, frames = 0, classDescriptors = 0;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    ++frames;
    std::vector<std::string> f;
    std::istringstream fields(line);
    for (std::string field; std::getline(fields, field, ';');) f.push_back(field);
    f.resize(6);
    if (!f[4].empty()) ++malformed;
    if (!f[5].empty()) ++classDescriptors;
    if (f[1].empty()) continue;
    const int endpoint = std::stoi(f[0], nullptr, 16);
    const bool interrupt = endpoint == b.reader->InterruptInAddress();
    decoded.emplace_back(endpoint, std::stoi(f[1], nullptr, 16), interrupt ? -1 : std::stoi(f[2]),
                         interrupt ? -1L : std::stol(f[3]));
  }
  EXPECT_EQ(malformed, 0) << output;
  EXPECT_GE(classDescriptors, 1) << "the dissector read the CCID class descriptor of the enumeration";
  // Compared per endpoint: the reader commits interrupt messages when they happen, the
  // host reads them later.
  const std::vector<Message> expected = SentAndReceived(*b.bus);
  ASSERT_FALSE(expected.empty());
  for (int endpoint : {int(b.reader->BulkOutAddress()), int(b.reader->BulkInAddress()),
                       int(b.reader->InterruptInAddress())}) {
    SCOPED_TRACE(endpoint);
    std::vector<Message> want, got;
    for (const Message& m : expected)
      if (std::get<0>(m) == endpoint) want.push_back(m);
    for (const Message& m : decoded)
      if (std::get<0>(m) == endpoint) got.push_back(m);
    EXPECT_EQ(got, want);
  }
  EXPECT_EQ(decoded.size(), expected.size()) << "every CCID message recognised, nothing else";
  EXPECT_GT(frames, 2 * static_cast<int>(expected.size()));
}

TEST(UsbTrace, AnUnwritablePathIsReported) {
  Bench b("tpdu-basic", {}, false);
  std::string error;
  EXPECT_FALSE(b.bus->WritePcap("/nonexistent-directory/trace.pcap", PcapContent::Messages, &error));
  EXPECT_NE(error.find("nonexistent-directory"), std::string::npos) << error;
}

}  // namespace
}  // namespace usb_test

// The session's --pcap trace decoded by tshark's USB CCID dissector: every CCID message
// the reader sent or received is recognised with its type, sequence number and length,
// and no packet is malformed.
#include <gtest/gtest.h>

#include <kernel_test_support.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <tuple>

#include "commands.h"
#include "reader/ccid_wire.h"
#include "reader/reader_profile.h"
#include "scenario.h"
#include "tool_test_util.h"

namespace {

// (bMessageType, bSeq, dwLength) of a CCID message; bSeq and dwLength are -1 for interrupt
// messages.
using Message = std::tuple<int, int, long>;
using ByEndpoint = std::map<int, std::vector<Message>>;

ByEndpoint MessagesOfTheTrace(const ccidsim::ScenarioResult& result) {
  ByEndpoint messages;
  for (const hosted::usb::MessageEvent& event : result.trace) {
    if (event.type == hosted::usb::TransferType::Bulk && event.data.size() >= sim::ccid::kHeaderSize)
      messages[event.endpoint].emplace_back(event.data[0], event.data[6], static_cast<long>(sim::ccid::Le32(event.data, 1)));
    else if (event.type == hosted::usb::TransferType::Interrupt && !event.data.empty())
      messages[event.endpoint].emplace_back(event.data[0], -1, -1L);
  }
  return messages;
}

struct Decoded {
  ByEndpoint messages;
  int malformed = 0;
};

Decoded DecodeWithTshark(const std::string& path, const std::string& decodeAs, int interruptEndpoint) {
  const std::string output = ccidsim_test::CommandOutput(
      std::string(CCID_TSHARK) + " -n -r " + path + " -d " + decodeAs +
      " -T fields -E separator=';' -e usb.endpoint_address -e usbccid.bMessageType -e usbccid.bSeq"
      " -e usbccid.dwLength -e _ws.malformed 2>/dev/null");
  Decoded decoded;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> f;
    std::istringstream fields(line);
    for (std::string field; std::getline(fields, field, ';');) f.push_back(field);
    f.resize(5);
    if (!f[4].empty()) ++decoded.malformed;
    if (f[1].empty()) continue;
    const int endpoint = std::stoi(f[0], nullptr, 16);
    const bool interrupt = endpoint == interruptEndpoint;
    decoded.messages[endpoint].emplace_back(
        std::stoi(f[1], nullptr, 16), interrupt ? -1 : std::stoi(f[2]), interrupt ? -1L : std::stol(f[3]));
  }
  return decoded;
}

// The link type in a pcap file's header (its last 32-bit field).
std::uint32_t PcapLinkType(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::uint32_t header[6] = {};
  file.read(reinterpret_cast<char*>(header), sizeof(header));
  return header[5];
}

// A session on a reader, traced in one format (with the link type its file must carry).
struct TraceCase {
  std::string reader;
  hosted::usb::PcapFormat format;
  std::uint32_t linkType;
};

class SessionTrace : public testing::TestWithParam<TraceCase> {};

TEST_P(SessionTrace, TsharkRecognisesEveryCcidMessage) {
  const std::string tshark = CCID_TSHARK;
  if (tshark.empty() || !std::filesystem::exists(tshark)) GTEST_SKIP() << "tshark is not installed";
  ccidsim::ScenarioOptions options;
  options.reader = *sim::FindReaderProfile(GetParam().reader);
  options.pcapPath = ccidsim_test::TempPath(GetParam().reader + ".pcap");
  options.pcapFormat = GetParam().format;
  const ccidsim::ScenarioResult result = ccidsim::RunScenario(options);
  ASSERT_TRUE(result.pcapError.empty()) << result.pcapError;
  const std::uint32_t linkType = PcapLinkType(options.pcapPath);
  const Decoded decoded =
      DecodeWithTshark(options.pcapPath, result.pcapDecodeAs, options.reader.InterruptIn()->address);
  std::filesystem::remove(options.pcapPath);

  EXPECT_EQ(linkType, GetParam().linkType);
  EXPECT_EQ(decoded.malformed, 0);
  const ByEndpoint expected = MessagesOfTheTrace(result);
  ASSERT_EQ(expected.size(), 3u) << "bulk-out, bulk-in and interrupt-in all carried messages";
  // Compared per endpoint; NoBulkOrInterruptRecordPrecedesSetConfiguration checks the order
  // across them.
  EXPECT_EQ(decoded.messages, expected);
}

constexpr auto kUsbmon = hosted::usb::PcapFormat::Usbmon;
constexpr auto kUsbpcap = hosted::usb::PcapFormat::Usbpcap;
INSTANTIATE_TEST_SUITE_P(Readers, SessionTrace,
                         testing::Values(TraceCase{"tpdu-basic", kUsbmon, 220},
                                         TraceCase{"pinpad-verify-modify", kUsbmon, 220},
                                         TraceCase{"multi-slot", kUsbmon, 220},
                                         TraceCase{"tpdu-basic", kUsbpcap, 249},
                                         TraceCase{"pinpad-verify-modify", kUsbpcap, 249},
                                         TraceCase{"multi-slot", kUsbpcap, 249}),
                         [](const auto& info) {
                           std::string name = info.param.reader;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name + (info.param.format == kUsbpcap ? "_usbpcap" : "_usbmon");
                         });

// Records in a pcap file: a 24-byte file header, then per record a 16-byte header and
// the captured bytes (whose count is the header's third 32-bit field).
std::size_t PcapRecords(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  file.seekg(24);
  std::size_t records = 0;
  std::uint32_t header[4];
  while (file.read(reinterpret_cast<char*>(header), sizeof(header))) {
    file.seekg(header[2], std::ios::cur);
    ++records;
  }
  return records;
}

// The session trace of every built-in reader, decoded in one tshark run over the traces
// joined end to end: nothing moves on a bulk or interrupt pipe before the
// SET_CONFIGURATION that enables those pipes (a reader the driver refuses is never
// configured and shows neither).
TEST(CcidsimTrace, NoBulkOrInterruptRecordPrecedesSetConfiguration) {
  const std::string tshark = CCID_TSHARK, mergecap = CCID_MERGECAP;
  if (tshark.empty() || mergecap.empty()) GTEST_SKIP() << "tshark and mergecap are not installed";
  std::vector<std::string> names;
  std::vector<std::size_t> counts;
  std::string paths;
  for (const sim::ReaderProfileInfo& info : sim::ReaderProfiles()) {
    ccidsim::ScenarioOptions options;
    options.reader = *sim::FindReaderProfile(info.name);
    options.pcapPath = ccidsim_test::TempPath(info.name + "-order.pcap");
    const ccidsim::ScenarioResult result = ccidsim::RunScenario(options);
    ASSERT_TRUE(result.pcapError.empty()) << info.name << ": " << result.pcapError;
    names.push_back(info.name);
    counts.push_back(PcapRecords(options.pcapPath));
    paths += " " + options.pcapPath;
  }
  const std::string merged = ccidsim_test::TempPath("order-merged.pcap");
  ccidsim_test::CommandOutput(mergecap + " -a -F pcap -w " + merged + paths);
  const std::string output = ccidsim_test::CommandOutput(
      tshark + " -n -r " + merged +
      " -T fields -E separator=';' -e usb.transfer_type -e usb.bmRequestType -e usb.setup.bRequest 2>/dev/null");
  std::filesystem::remove(merged);
  std::istringstream all(paths);
  for (std::string path; all >> path;) std::filesystem::remove(path);

  std::istringstream lines(output);
  std::size_t configured = 0;
  for (std::size_t session = 0; session < names.size(); ++session) {
    SCOPED_TRACE(names[session]);
    bool setConfiguration = false;
    for (std::size_t record = 0; record < counts[session]; ++record) {
      std::string line;
      ASSERT_TRUE(std::getline(lines, line)) << "tshark read fewer records than were written";
      if (line == "0x02;0x00;9") setConfiguration = true;
      const bool bulkOrInterrupt = line.rfind("0x03;", 0) == 0 || line.rfind("0x01;", 0) == 0;
      EXPECT_FALSE(bulkOrInterrupt && !setConfiguration) << "record " << record + 1 << ": " << line;
    }
    configured += setConfiguration;
  }
  EXPECT_GE(configured, names.size() - 2) << "all but the readers the driver refuses were configured";
}

// A PIN session (the right PIN, then a user who stops half way and is timed out, then
// the abort of nothing) decodes whole: every record a CCID message, none malformed, the
// two PC_to_RDR_Secure commands and the reader's time extensions among them.
TEST(CcidsimTrace, APinSessionDecodesWhole) {
  const std::string tshark = CCID_TSHARK;
  if (tshark.empty() || !std::filesystem::exists(tshark)) GTEST_SKIP() << "tshark is not installed";
  ccidsim::RunOptions run;
  run.script = "PIN session";
  run.reader = "pinpad-lcd";
  run.card = "t0";
  run.pcap = ccidsim_test::TempPath("pin-session.pcap");
  std::ostringstream out, err;
  ASSERT_EQ(ccidsim::RunScriptText("keypad 1234#\nverify-pin => 9000\nkeypad 12\nverify-pin timeout=3\nabort\n", run,
                                   out, err),
            ccidsim::kExitProblem)
      << "the timed-out PIN entry is the one failed step\n" << out.str() << err.str();
  ASSERT_NE(out.str().find("STATUS_IO_TIMEOUT"), std::string::npos) << out.str();
  const std::size_t decodeAs = out.str().find(" -d ", out.str().find("trace: "));
  ASSERT_NE(decodeAs, std::string::npos) << out.str();
  const std::string device = out.str().substr(decodeAs + 4, out.str().find(')', decodeAs) - decodeAs - 4);
  const std::string output = ccidsim_test::CommandOutput(
      tshark + " -n -r " + run.pcap + " -d " + device + " -Y usb.transfer_type==0x03"
      " -T fields -E separator=';' -e usbccid.bMessageType -e usbccid.bStatus -e _ws.malformed -e usb.data_len 2>/dev/null");
  std::filesystem::remove(run.pcap);
  int bulk = 0, secure = 0, timeExtensions = 0, undecoded = 0, malformed = 0;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> f;
    std::istringstream fields(line);
    for (std::string field; std::getline(fields, field, ';');) f.push_back(field);
    f.resize(4);
    if (f[3].empty() || f[3] == "0") continue;  // a request or a completion without data
    ++bulk;
    if (f[0].empty()) ++undecoded;
    if (!f[2].empty()) ++malformed;
    if (f[0] == "0x69") ++secure;
    if (f[0] == "0x80" && !f[1].empty() && (std::stoi(f[1], nullptr, 0) >> 6) == 2) ++timeExtensions;
  }
  EXPECT_GT(bulk, 0);
  EXPECT_EQ(undecoded, 0) << output;
  EXPECT_EQ(malformed, 0) << output;
  EXPECT_EQ(secure, 2);
  EXPECT_GE(timeExtensions, 3) << "one a second while the user types";
}

TEST(CcidsimTrace, AnUnwritableTraceFileStopsTheSessionBeforeItRuns) {
  std::ostringstream out, err;
  EXPECT_EQ(ccidsim::RunSession({.reader = "tpdu-basic", .pcap = "/nonexistent-directory/trace.pcap"}, out, err),
            ccidsim::kExitUsage);
  EXPECT_NE(err.str().find("cannot write the trace file /nonexistent-directory/trace.pcap"), std::string::npos)
      << err.str();
}

}  // namespace

// Readers made from captures: every built-in reader's session traced in each format,
// turned back into a reader description by `ccidsim profile --from-pcap`, and run again:
// the new session's reader answers every request on the default pipe as the original did,
// byte for byte. A capture that lacks the descriptors is refused with what it lacks.
#include <gtest/gtest.h>

#include <kernel_test_support.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "commands.h"
#include "reader/reader_profile.h"
#include "reader_source.h"
#include "scenario.h"
#include "tool_test_util.h"

namespace {

// A control transfer as the reader answered it: setup fields, handshake and data.
using Control = std::tuple<int, int, int, int, int, int, std::vector<std::uint8_t>>;

std::vector<Control> ControlTransfers(const ccidsim::ScenarioResult& result) {
  std::vector<Control> controls;
  for (const hosted::usb::MessageEvent& e : result.trace)
    if (e.type == hosted::usb::TransferType::Control)
      controls.emplace_back(e.setup.bmRequestType, e.setup.bRequest, e.setup.wValue, e.setup.wIndex, e.setup.wLength,
                            static_cast<int>(e.handshake), e.data);
  return controls;
}

TEST(ReaderFromCapture, EveryBuiltInReaderStartsAgainAsItWasCaptured) {
  for (const sim::ReaderProfileInfo& info : sim::ReaderProfiles()) {
    for (const auto format :
         {hosted::usb::PcapFormat::Usbmon, hosted::usb::PcapFormat::Usbmon48, hosted::usb::PcapFormat::Usbpcap}) {
      const std::string formatName = format == hosted::usb::PcapFormat::Usbpcap    ? "usbpcap"
                                     : format == hosted::usb::PcapFormat::Usbmon48 ? "usbmon48"
                                                                                   : "usbmon";
      SCOPED_TRACE(info.name + " in " + formatName);
      ccidsim::ScenarioOptions original;
      original.reader = *sim::FindReaderProfile(info.name);
      original.pcapPath = ccidsim_test::TempPath(info.name + "." + formatName + ".pcap");
      original.pcapFormat = format;
      const ccidsim::ScenarioResult first = ccidsim::RunScenario(original);
      ASSERT_TRUE(first.pcapError.empty()) << first.pcapError;

      const std::string description = ccidsim_test::TempPath(info.name + "." + formatName + ".json");
      std::ostringstream out, err;
      ASSERT_EQ(ccidsim::RunProfile({.capture = original.pcapPath, .output = description}, out, err),
                ccidsim::kExitClean)
          << err.str();
      EXPECT_EQ(err.str(), "") << "the simulated reader has every captured descriptor";
      std::string error;
      std::optional<sim::ReaderProfile> captured = ccidsim::ResolveReader(description, "", &error);
      ASSERT_TRUE(captured) << error;

      ccidsim::ScenarioOptions again;
      again.reader = *captured;
      const ccidsim::ScenarioResult second = ccidsim::RunScenario(again);
      std::filesystem::remove(original.pcapPath);
      std::filesystem::remove(description);
      const std::vector<Control> controls = ControlTransfers(first);
      EXPECT_GE(controls.size(), 2u) << "the driver read the descriptors";
      EXPECT_EQ(ControlTransfers(second), controls);
      EXPECT_EQ(second.startStatus, first.startStatus);
    }
  }
}

// Captures cut down by editcap and tshark: records cut short (the configuration set is
// then truncated), and one without the default pipe's transfers.
TEST(ReaderFromCapture, ACaptureWithoutWholeDescriptorsIsRefusedNamingWhatIsMissing) {
  const std::string tshark = CCID_TSHARK;
  if (tshark.empty()) GTEST_SKIP() << "tshark is not installed";
  ccidsim::ScenarioOptions options;
  options.reader = *sim::FindReaderProfile("tpdu-basic");
  options.pcapPath = ccidsim_test::TempPath("cut.pcap");
  ASSERT_TRUE(ccidsim::RunScenario(options).pcapError.empty());
  const std::string editcap = std::filesystem::path(tshark).replace_filename("editcap").string();
  const std::string cut = ccidsim_test::TempPath("cut-short.pcap");
  const struct {
    std::string command;
    const char* message;
  } cases[] = {
      {editcap + " -F pcap -s 100 " + options.pcapPath + " " + cut,
       "the configuration descriptor of device 1.2 is truncated: the capture holds 36 of its 93 bytes"},
      {tshark + " -r " + options.pcapPath + " -F pcap -w " + cut + " -Y usb.transfer_type!=0x02",
       "holds no GET_DESCRIPTOR requests"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    ccidsim_test::CommandOutput(c.command + " 2>/dev/null");
    std::ostringstream out, err;
    EXPECT_EQ(ccidsim::RunProfile({.capture = cut}, out, err), ccidsim::kExitUsage);
    EXPECT_NE(err.str().find(c.message), std::string::npos) << err.str();
    EXPECT_EQ(out.str(), "");
    std::filesystem::remove(cut);
  }
  std::filesystem::remove(options.pcapPath);
}

}  // namespace

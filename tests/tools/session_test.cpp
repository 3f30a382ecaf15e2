// `ccidsim session --json` on every real reader of the data file, chosen by catalogue name,
// by the whole file with --profile, and by a file holding that one entry: the report has
// its fields, the capabilities the driver's start rules give for that reader's class
// descriptor, the identification, and a clean verdict. And the ways a reader or card
// cannot be had.
#include <gtest/gtest.h>

#include <kernel_test_support.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>

#include "commands.h"
#include "tool_test_util.h"

namespace {

using ccidsim_test::TestData;
using Json = nlohmann::json;

constexpr unsigned kT0 = 1, kT1 = 2;

enum class Source { Name, FileAndProfile, OneEntryFile };

const char* SourceName(Source source) {
  switch (source) {
    case Source::Name: return "name";
    case Source::FileAndProfile: return "file";
    case Source::OneEntryFile: return "entry";
  }
  return "";
}

Json RealReader(const std::string& name) {
  const Json data = TestData("real-reader-descriptors.json");
  for (const Json& entry : data["readers"])
    if (entry["profile"] == name) return entry;
  ADD_FAILURE() << "no real reader " << name;
  return Json::object();
}

// What an application reads after start for this descriptor entry: the class descriptor's
// values when the reader starts (its smart-card interface has the three endpoints the
// driver needs); nothing otherwise, as no handle can be opened on a reader that did not
// start. dwProtocols bit 0 makes the protocols T=0 alone, bit 1 then adds T=1; without
// bit 0 they stay T=0 + T=1.
Json ExpectedCapabilities(const Json& entry, bool starts) {
  if (!starts) return Json(nullptr);
  const unsigned protocols = entry["dwProtocols"];
  const unsigned supported = (protocols & 1) ? (kT0 | ((protocols & 2) ? kT1 : 0)) : (kT0 | kT1);
  return Json{{"SupportedProtocols", supported},
              {"ClkDefault", entry["dwDefaultClock"]},
              {"ClkMax", entry["dwMaximumClock"]},
              {"DataRateDefault", entry["dwDataRate"]},
              {"DataRateMax", entry["dwMaxDataRate"]},
              {"MaxIFSD", entry["dwMaxIFSD"]},
              {"MechProperties", entry["dwMechanical"]},
              {"CcidFeatures", entry["dwFeatures"]}};
}

std::vector<std::string> EventNames(const Json& report) {
  std::vector<std::string> names;
  for (const Json& event : report["events"]) names.push_back(event["event"]);
  return names;
}

// The application's requests of a started reader: the insertion and the removal complete
// their waiting request, the one parked across the unplug outlives the surprise removal and
// is completed when the application closes its handle for the removal.
void ExpectTrackingOfAStartedReader(const Json& report) {
  for (const Json& event : report["events"]) {
    if (!event.contains("tracking")) continue;
    SCOPED_TRACE(event.dump());
    const Json& tracking = event["tracking"];
    EXPECT_EQ(tracking["sent"], "0x00000103") << "parked: STATUS_PENDING";
    const bool parkedStill = event["event"] == "surprise_removal";
    EXPECT_EQ(tracking["completed"], !parkedStill);
    if (!parkedStill) {
      EXPECT_EQ(tracking["status"], "0x00000000");
    }
  }
}

class RealReaderSession : public testing::TestWithParam<std::tuple<std::string, Source>> {};

TEST_P(RealReaderSession, ReportsTheDescriptorsCapabilitiesAndACleanVerdict) {
  const auto& [name, source] = GetParam();
  const Json entry = RealReader(name);
  ccidsim::SessionOptions options;
  options.json = true;
  std::string entryFile;
  switch (source) {
    case Source::Name: options.reader = name; break;
    case Source::FileAndProfile:
      options.reader = ccidsim_test::TestDataPath("real-reader-descriptors.json");
      options.profile = name;
      break;
    case Source::OneEntryFile:
      entryFile = ccidsim_test::TempPath(name + ".json");
      ccidsim_test::WriteFile(entryFile, entry.dump(1));
      options.reader = entryFile;
      break;
  }
  std::ostringstream out, err;
  const int status = ccidsim::RunSession(options, out, err);
  if (!entryFile.empty()) std::filesystem::remove(entryFile);
  ASSERT_EQ(status, ccidsim::kExitClean) << err.str();
  const Json report = Json::parse(out.str(), nullptr, false);
  ASSERT_FALSE(report.is_discarded()) << out.str();

  const bool starts = entry["bNumEndpoints"].get<int>() >= 3;
  EXPECT_TRUE(std::regex_match(report["start"]["status"].get<std::string>(), std::regex("0x[0-9a-f]{8}")));
  EXPECT_EQ(report["start"]["status"], starts ? "0x00000000" : "0xc000009a");
  EXPECT_EQ(report["capabilities"], ExpectedCapabilities(entry, starts));
  EXPECT_EQ(report["identification_seen"], starts);
  EXPECT_EQ(report["verifier"]["violations"], 0);
  EXPECT_EQ(report["verifier"]["leaked_blocks"], 0);
  EXPECT_EQ(report["complete"], true);
  const std::vector<std::string> started = {"load", "plug", "card_inserted", "stop_and_restart",
                                            "card_removed", "surprise_removal", "removal", "unload"};
  const std::vector<std::string> refused = {"load", "plug", "unload"};
  EXPECT_EQ(EventNames(report), starts ? started : refused);
  if (starts) ExpectTrackingOfAStartedReader(report);
}

INSTANTIATE_TEST_SUITE_P(
    RealReaders, RealReaderSession,
    testing::Combine(testing::Values("tpdu-basic", "apdu-short", "apdu-extended", "pinpad-lcd", "pinpad-verify-modify",
                                     "multi-slot", "five-volt-only", "t1-only", "small-messages", "no-interrupt-pipe",
                                     "composite", "character-level"),
                     testing::Values(Source::Name, Source::FileAndProfile, Source::OneEntryFile)),
    [](const auto& info) {
      std::string name = std::get<0>(info.param) + "_by_" + SourceName(std::get<1>(info.param));
      std::replace(name.begin(), name.end(), '-', '_');
      return name;
    });

// A reader or card that cannot be had stops the command before anything runs, with the
// reason and the usage exit status.
TEST(CcidsimSession, UnusableReaderOrCardIsAUsageError) {
  const std::string readers = ccidsim_test::TestDataPath("real-reader-descriptors.json");
  const std::string notJson = ccidsim_test::TempPath("not-json.json");
  ccidsim_test::WriteFile(notJson, "{ \"readers\": [");
  const std::string badField = ccidsim_test::TempPath("bad-field.json");
  nlohmann::json entry = ccidsim_test::TestData("real-reader-descriptors.json").at("readers").at(0);
  entry["endpoints"][2]["wMaxPacketSize"] = 2000;
  ccidsim_test::WriteFile(badField, entry.dump());
  struct Row {
    std::string reader, profile, card, message;
  } rows[] = {
      {"no-such-reader", "", "dual", "unknown reader \"no-such-reader\""},
      {readers, "", "dual", "describes 12 readers; choose one with --profile (tpdu-basic, apdu-short"},
      {readers, "no-such-profile", "dual", "no-such-profile"},
      {"tpdu-basic", "t1-only", "dual", "--profile picks an entry of a reader description file"},
      {"/nonexistent/reader.json", "", "dual", "cannot read the reader description /nonexistent/reader.json"},
      {notJson, "", "dual", "is not JSON"},
      {badField, "", "dual", badField + ": endpoints[2].wMaxPacketSize: expected a number from 0 to 1023"},
      {"tpdu-basic", "", "no-such-card", "unknown card \"no-such-card\""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.reader + " / " + row.profile + " / " + row.card);
    std::ostringstream out, err;
    EXPECT_EQ(ccidsim::RunSession({.reader = row.reader, .profile = row.profile, .card = row.card}, out, err),
              ccidsim::kExitUsage);
    EXPECT_NE(err.str().find(row.message), std::string::npos) << err.str();
    EXPECT_TRUE(out.str().empty()) << out.str();
  }
  std::filesystem::remove(notJson);
  std::filesystem::remove(badField);
}

}  // namespace

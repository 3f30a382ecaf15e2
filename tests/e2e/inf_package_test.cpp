// The Windows package's INF, read as Windows setup reads it: every section it names exists,
// every built-in reader is matched by a hardware ID (which Windows ranks above the in-box
// class driver's compatible-ID match), the service runs the image the build links, and the
// registry values it writes are the ones the driver reads: installed into the hosted
// registry, they reach an application through the driver.
#include <gtest/gtest.h>
#include <winsmcrd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include <hosted/kernel/hosted.h>

#include "CcidFrame.h"
#include "CcidWire.h"
#include "driver_bench.h"
#include "reader/reader_profile.h"
#include "scard.h"

namespace {

using hosted::Registry;

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// An INF as setup sees it: sections by case-insensitive name, each a list of lines without
// comments; %name% tokens are expanded from [Strings] (quotes dropped), %nn% directory ids
// stay as they are. A token no string defines is recorded, for the test to report.
class Inf {
 public:
  explicit Inf(const std::string& path) {
    std::ifstream file(path);
    std::string line, section;
    while (std::getline(file, line)) {
      bool quoted = false;
      for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"') quoted = !quoted;
        if (line[i] == ';' && !quoted) {
          line.resize(i);
          break;
        }
      }
      line = Trim(line);
      if (line.empty()) continue;
      if (line.front() == '[' && line.back() == ']') {
        section = Lower(Trim(line.substr(1, line.size() - 2)));
        sections_[section];
      } else {
        sections_[section].push_back(line);
      }
    }
    for (const std::string& entry : sections_["strings"]) {
      const auto [key, value] = Split(entry);
      strings_[Lower(key)] = Unquote(value);
    }
  }

  bool Has(const std::string& section) const { return sections_.count(Lower(section)) != 0; }

  // The section's lines as key/value pairs (a line without '=' has an empty key), expanded.
  std::vector<std::pair<std::string, std::string>> Entries(const std::string& section) {
    std::vector<std::pair<std::string, std::string>> entries;
    for (const std::string& line : sections_[Lower(section)]) {
      auto [key, value] = Split(line);
      entries.emplace_back(Expand(key), Expand(value));
    }
    return entries;
  }

  std::string Value(const std::string& section, const std::string& key) {
    for (const auto& [k, v] : Entries(section))
      if (Lower(k) == Lower(key)) return v;
    return "";
  }

  const std::vector<std::string>& Undefined() const { return undefined_; }

  static std::vector<std::string> Fields(const std::string& value) {
    std::vector<std::string> fields;
    std::stringstream stream(value);
    for (std::string field; std::getline(stream, field, ',');) fields.push_back(Unquote(Trim(field)));
    return fields;
  }

 private:
  static std::pair<std::string, std::string> Split(const std::string& line) {
    const auto equals = line.find('=');
    if (equals == std::string::npos) return {"", line};
    return {Trim(line.substr(0, equals)), Trim(line.substr(equals + 1))};
  }
  static std::string Unquote(const std::string& text) {
    return text.size() >= 2 && text.front() == '"' && text.back() == '"' ? text.substr(1, text.size() - 2) : text;
  }
  std::string Expand(const std::string& text) {
    static const std::regex token("%([A-Za-z_][A-Za-z0-9_]*)%");
    std::string out;
    auto last = text.cbegin();
    for (std::sregex_iterator it(text.begin(), text.end(), token), end; it != end; ++it) {
      out.append(last, (*it)[0].first);
      const auto found = strings_.find(Lower((*it)[1]));
      if (found == strings_.end()) undefined_.push_back((*it)[0]);
      out += found == strings_.end() ? std::string((*it)[0]) : found->second;
      last = (*it)[0].second;
    }
    return out.append(last, text.cend());
  }

  std::map<std::string, std::vector<std::string>> sections_;
  std::map<std::string, std::string> strings_;
  std::vector<std::string> undefined_;
};

constexpr char kModels[] = "CcidModels.NTamd64";
constexpr char kInstall[] = "CcidInstall.NTamd64";

// The IDs the USB hub reports for a device, best first: hardware IDs, then compatible
// IDs, which for a device of several interfaces is USB\COMPOSITE alone.
struct DeviceIds {
  std::vector<std::string> hardware;
  std::vector<std::string> compatible;
};

DeviceIds IdsOf(const sim::ReaderProfile& profile) {
  char text[64];
  DeviceIds ids;
  std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X", profile.id_vendor, profile.id_product);
  const std::string device = text;
  std::snprintf(text, sizeof text, "&REV_%04X", profile.bcd_device);
  ids.hardware = {device + text, device};
  if (profile.interface_number + 1 + profile.extra_interfaces_after > 1) {
    ids.compatible = {"USB\\COMPOSITE"};
  } else {
    std::snprintf(text, sizeof text, "USB\\Class_%02X&SubClass_%02X&Prot_%02X", profile.interface_class,
                  profile.interface_subclass, profile.interface_protocol);
    const std::string full = text;
    ids.compatible = {full, full.substr(0, full.rfind('&')), full.substr(0, full.find('&'))};
  }
  return ids;
}

class InfPackage : public ::testing::Test {
 protected:
  Inf inf_{CCID_INF_FILE};

  // The model lines' IDs (field 2 on of "name = install, id[, id...]") with their install section.
  std::vector<std::pair<std::string, std::string>> ModelIds() {
    std::vector<std::pair<std::string, std::string>> ids;
    for (const auto& [name, value] : inf_.Entries(kModels)) {
      const std::vector<std::string> fields = Inf::Fields(value);
      for (std::size_t i = 1; i < fields.size(); ++i) ids.emplace_back(fields[i], fields[0]);
    }
    return ids;
  }

  // What setup would pick for a device: the first of its IDs, best first, that a model
  // line names; "" when none does.
  std::string Match(const std::vector<std::string>& deviceIds) {
    const auto models = ModelIds();
    for (const std::string& id : deviceIds)
      for (const auto& [modelId, install] : models)
        if (Lower(modelId) == Lower(id)) return id;
    return "";
  }

  // The AddReg lines of an install section's directive, as HKR value lines.
  std::vector<std::vector<std::string>> AddRegLines(const std::string& section) {
    std::vector<std::vector<std::string>> lines;
    for (const std::string& target : Inf::Fields(inf_.Value(section, "AddReg")))
      for (const auto& [key, value] : inf_.Entries(target)) lines.push_back(Inf::Fields(value));
    return lines;
  }
};

TEST_F(InfPackage, EverySectionAndStringItNamesExists) {
  EXPECT_EQ(inf_.Value("Version", "Class"), "SmartCardReader");
  EXPECT_EQ(inf_.Value("Version", "ClassGuid"), "{50DD5230-BA8A-11D1-BF5D-0000F805F530}");
  EXPECT_EQ(inf_.Value("Version", "PnpLockdown"), "1");
  // DriverVer carries the driver's own version digits ("3004": 3.0.0.4).
  const std::string digits = DriverVersionDigits;
  const std::string version = std::string() + digits[0] + "." + digits[1] + ".0." + std::to_string(std::stoi(digits.substr(2)));
  EXPECT_EQ(Inf::Fields(inf_.Value("Version", "DriverVer")).back(), version);

  EXPECT_EQ(Inf::Fields(inf_.Value("Manufacturer", inf_.Entries("Manufacturer").at(0).first)),
            (std::vector<std::string>{"CcidModels", "NTamd64"}));
  for (const auto& [id, install] : ModelIds()) EXPECT_EQ(install, "CcidInstall") << id;
  for (const std::string suffix : {"", ".HW", ".Services"}) EXPECT_TRUE(inf_.Has(kInstall + suffix)) << suffix;
  for (const std::string& section : Inf::Fields(inf_.Value(kInstall, "CopyFiles"))) EXPECT_TRUE(inf_.Has(section));
  for (const std::string& section : Inf::Fields(inf_.Value(std::string(kInstall) + ".HW", "AddReg")))
    EXPECT_TRUE(inf_.Has(section)) << section;
  const std::vector<std::string> service = Inf::Fields(inf_.Value(std::string(kInstall) + ".Services", "AddService"));
  ASSERT_EQ(service.size(), 3u);
  EXPECT_EQ(service[0], "ccid");
  EXPECT_EQ(service[1], "0x00000002") << "the service must be the device's function driver";
  EXPECT_TRUE(inf_.Has(service[2]));
  for (const std::string& section : Inf::Fields(inf_.Value(service[2], "AddReg"))) EXPECT_TRUE(inf_.Has(section));
  EXPECT_TRUE(inf_.Undefined().empty()) << "undefined string " << inf_.Undefined().front();
}

// Hardware IDs are USB\VID_vvvv&PID_pppp[&REV_rrrr][&MI_ii] or a class ID; every built-in
// reader installs by its hardware ID, composite ones included; a single-interface reader
// the package does not list still installs by class, a composite one does not.
TEST_F(InfPackage, EveryBuiltInReaderInstallsByHardwareId) {
  const std::regex wellFormed(
      R"(USB\\(VID_[0-9A-F]{4}&PID_[0-9A-F]{4}(&REV_[0-9A-F]{4})?(&MI_[0-9A-F]{2})?)"
      R"(|Class_[0-9A-F]{2}(&SubClass_[0-9A-F]{2}(&Prot_[0-9A-F]{2})?)?))");
  for (const auto& [id, install] : ModelIds()) EXPECT_TRUE(std::regex_match(id, wellFormed)) << id;

  for (const sim::ReaderProfileInfo& info : sim::ReaderProfiles()) {
    const sim::ReaderProfile profile = *sim::FindReaderProfile(info.name);
    const DeviceIds ids = IdsOf(profile);
    EXPECT_EQ(Match(ids.hardware), ids.hardware[1]) << info.name;
  }
  sim::ReaderProfile unlisted = *sim::FindReaderProfile("tpdu-basic");
  unlisted.id_vendor = 0x0BAD;
  EXPECT_EQ(Match(IdsOf(unlisted).compatible), "USB\\Class_0B&SubClass_00&Prot_00");
  unlisted.extra_interfaces_after = 1;
  EXPECT_EQ(Match(IdsOf(unlisted).compatible), "");
}

// The one file the package carries is the image the build links, copied where the
// service's binary path points.
TEST_F(InfPackage, ServiceRunsTheImageThePackageCopies) {
  const auto files = inf_.Entries("SourceDisksFiles");
  ASSERT_EQ(files.size(), 1u);
  const std::string image = files[0].first;
  EXPECT_EQ(inf_.Value("CcidCopyFiles", ""), image);
  EXPECT_EQ(inf_.Value("DestinationDirs", "DefaultDestDir"), "12");
  const std::string service = Inf::Fields(inf_.Value(std::string(kInstall) + ".Services", "AddService"))[2];
  EXPECT_EQ(inf_.Value(service, "ServiceBinary"), "%12%\\" + image);
  EXPECT_EQ(inf_.Value(service, "ServiceType"), "1");
  if (const char* built = std::getenv("CCID_WINDOWS_IMAGE")) {
    EXPECT_EQ(std::string(built).substr(std::string(built).rfind('/') + 1), image);
  }
}

// The values the INF writes, put where setup puts them (the service key and the device's
// hardware key), are read by the driver: the vendor strings come back to an application,
// and the event ring's depth is the driver's own default.
TEST_F(InfPackage, RegistryValuesAreTheOnesTheDriverReads) {
  ccid_test::ReaderBench bench;
  const std::string serviceKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\ccid";
  const std::string service = Inf::Fields(inf_.Value(std::string(kInstall) + ".Services", "AddService"))[2];
  const auto install = [](const std::string& key, const std::vector<std::string>& line) {
    ASSERT_EQ(line.size(), 5u);
    ASSERT_EQ(line[0], "HKR");
    if (line[3] == "0x00010001") {
      Registry::SetDword(key, line[2], std::stoul(line[4], nullptr, 0));
    } else {
      ASSERT_EQ(line[3], "0x00000000") << line[2];
      Registry::SetString(key, line[2], std::string_view(line[4]));
    }
  };
  std::map<std::string, std::string> written;
  for (const auto& line : AddRegLines(service)) {
    install(serviceKey, line);
    written[line[2]] = line[4];
  }
  for (const auto& line : AddRegLines(std::string(kInstall) + ".HW")) {
    install(bench.Node().HardwareKeyPath(), line);
    written[line[2]] = line[4];
  }
  EXPECT_EQ(written, (std::map<std::string, std::string>{{"EventsFifoSize", std::to_string(CCID_EVENTS_FIFO_SIZE_DEFAULT)},
                                                         {"IfdType", written["IfdType"]},
                                                         {"VendorName", written["VendorName"]}}));

  ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
  auto reader = bench.Open();
  ASSERT_NE(reader, nullptr);
  const auto text = [](const scard::Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); };
  EXPECT_EQ(text(reader->Attribute(SCARD_ATTR_VENDOR_NAME)), written["VendorName"]);
  EXPECT_EQ(text(reader->Attribute(SCARD_ATTR_VENDOR_IFD_TYPE)), written["IfdType"]);
}

}  // namespace

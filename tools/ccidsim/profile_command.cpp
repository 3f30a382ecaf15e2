// `ccidsim profile --from-pcap FILE [-o OUT]`: the reader description of the first CCID
// reader in a USB capture, loaded back as the simulator loads reader files and checked
// against the capture: the simulated reader must answer with the captured descriptors.
#include <filesystem>
#include <fstream>

#include "capture_profile.h"
#include "commands.h"
#include "reader/descriptors.h"
#include "reader/reader_profile.h"

namespace ccidsim {
namespace {

// The fields of an 18-byte device descriptor, for naming where two differ.
const char* DeviceFieldAt(std::size_t offset) {
  static const char* const names[] = {"bLength", "bDescriptorType", "bcdUSB", "bcdUSB", "bDeviceClass",
                                      "bDeviceSubClass", "bDeviceProtocol", "bMaxPacketSize0", "idVendor",
                                      "idVendor", "idProduct", "idProduct", "bcdDevice", "bcdDevice",
                                      "iManufacturer", "iProduct", "iSerialNumber", "bNumConfigurations"};
  return offset < 18 ? names[offset] : "beyond the descriptor";
}

// Where the simulated reader's descriptors differ from the captured ones; empty when
// they are the same, byte for byte.
std::vector<std::string> Differences(const CapturedReader& captured, const sim::ReaderProfile& profile) {
  const sim::DescriptorSet built = sim::BuildDescriptors(profile);
  std::vector<std::string> notes;
  for (std::size_t i = 0; i < std::max(built.device.size(), captured.deviceDescriptor.size()); ++i) {
    if (i < built.device.size() && i < captured.deviceDescriptor.size() && built.device[i] == captured.deviceDescriptor[i])
      continue;
    const std::string field = DeviceFieldAt(i);
    if (notes.empty() || notes.back().find(field) == std::string::npos)
      notes.push_back("device descriptor field " + field + " differs (the simulated reader has no setting for it)");
  }
  const std::vector<std::uint8_t>& config = captured.configuration;
  if (built.configuration != config) {
    std::size_t at = 0;
    while (at < built.configuration.size() && at < config.size() && built.configuration[at] == config[at]) ++at;
    notes.push_back("the configuration set differs from byte " + std::to_string(at) + " on (" +
                    std::to_string(config.size()) + " bytes captured, " + std::to_string(built.configuration.size()) +
                    " simulated): interfaces other than the smart-card one are simulated without endpoints");
  }
  return notes;
}

}  // namespace

int RunProfile(const ProfileOptions& options, std::ostream& out, std::ostream& err) {
  const std::string name =
      !options.name.empty() ? options.name : std::filesystem::path(options.capture).stem().string();
  CapturedReader captured;
  sim::ReaderProfile profile;
  try {
    captured = ReaderFromCapture(options.capture, name);
    profile = sim::ReaderProfilesFromFileText(captured.description.dump(), "the description made from " +
                                                                                options.capture)
                  .front();
  } catch (const std::exception& e) {
    err << "ccidsim: " << e.what() << "\n";
    return kExitUsage;
  }
  const std::string text = captured.description.dump(2) + "\n";
  if (options.output.empty()) {
    out << text;
  } else {
    std::ofstream file(options.output, std::ios::binary | std::ios::trunc);
    if (!(file << text)) {
      err << "ccidsim: cannot write " << options.output << "\n";
      return kExitUsage;
    }
    out << "reader " << name << " (" << "device " << captured.bus << "." << captured.device << " of "
        << options.capture << "): " << profile.Summary() << "\n"
        << "written to " << options.output << "; simulate it with --reader " << options.output << "\n";
  }
  for (const std::string& note : Differences(captured, profile)) err << "ccidsim: note: " << note << "\n";
  return kExitClean;
}

}  // namespace ccidsim

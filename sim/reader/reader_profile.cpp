// Reader profiles from the real-reader data schema, and their one-line summaries.
#include "reader/reader_profile.h"

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

namespace sim {
namespace {

using nlohmann::json;

[[noreturn]] void Fail(std::string_view profile, const std::string& what) {
  throw std::runtime_error("reader profile '" + std::string(profile) + "': " + what);
}

std::array<std::uint8_t, ccid::kClassDescriptorSize> HexDescriptor(std::string_view name,
                                                                   const std::string& hex) {
  if (hex.size() != 2 * ccid::kClassDescriptorSize)
    Fail(name, "class_descriptor_hex must hold 54 bytes");
  std::array<std::uint8_t, ccid::kClassDescriptorSize> out{};
  for (std::size_t i = 0; i < out.size(); ++i) {
    const std::string byte = hex.substr(2 * i, 2);
    if (byte.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
      Fail(name, "class_descriptor_hex is not hexadecimal");
    out[i] = static_cast<std::uint8_t>(std::stoul(byte, nullptr, 16));
  }
  return out;
}

// Field name, offset and size of every class descriptor field, in descriptor order.
struct DescriptorField {
  const char* name;
  std::size_t offset;
  std::size_t size;
};
constexpr DescriptorField kFields[] = {
    {"bLength", 0, 1},           {"bDescriptorType", 1, 1},
    {"bcdCCID", 2, 2},           {"bMaxSlotIndex", 4, 1},
    {"bVoltageSupport", 5, 1},   {"dwProtocols", 6, 4},
    {"dwDefaultClock", 10, 4},   {"dwMaximumClock", 14, 4},
    {"bNumClockSupported", 18, 1}, {"dwDataRate", 19, 4},
    {"dwMaxDataRate", 23, 4},    {"bNumDataRatesSupported", 27, 1},
    {"dwMaxIFSD", 28, 4},        {"dwSynchProtocols", 32, 4},
    {"dwMechanical", 36, 4},     {"dwFeatures", 40, 4},
    {"dwMaxCCIDMessageLength", 44, 4}, {"bClassGetResponse", 48, 1},
    {"bClassEnvelope", 49, 1},   {"wLcdLayout", 50, 2},
    {"bPINSupport", 52, 1},      {"bMaxCCIDBusySlots", 53, 1},
};

std::uint32_t ReadField(const std::array<std::uint8_t, 54>& d, const DescriptorField& f) {
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < f.size; ++i) v |= static_cast<std::uint32_t>(d[f.offset + i]) << (8 * i);
  return v;
}

// The descriptor from class_descriptor_hex, checked field by field against the named
// fields present; without the hex, built from the fields (all of which are then needed).
std::array<std::uint8_t, 54> DescriptorOf(const json& e, std::string_view name) {
  std::array<std::uint8_t, 54> d{};
  const bool has_hex = e.contains("class_descriptor_hex");
  if (has_hex) d = HexDescriptor(name, e.at("class_descriptor_hex").get<std::string>());
  for (const auto& f : kFields) {
    if (!e.contains(f.name)) {
      if (!has_hex) Fail(name, std::string("missing field ") + f.name);
      continue;
    }
    const auto value = e.at(f.name).get<std::uint64_t>();
    if (f.size < 4 && value >> (8 * f.size)) Fail(name, std::string(f.name) + " out of range");
    if (has_hex && ReadField(d, f) != value)
      Fail(name, std::string(f.name) + " disagrees with class_descriptor_hex");
    for (std::size_t i = 0; i < f.size; ++i) d[f.offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
  if (d[0] != 54 || d[1] != ccid::kClassDescriptorType)
    Fail(name, "class descriptor must begin 36 21");
  return d;
}

// Endpoints in the file's order, with the documented defaults for what it lacks.
std::vector<EndpointConfig> EndpointsOf(const json& e, std::string_view name) {
  std::vector<EndpointConfig> out;
  if (!e.contains("endpoints")) return out;
  for (const auto& j : e.at("endpoints")) {
    EndpointConfig ep;
    const std::string dir = j.value("direction", "");
    const std::string type = j.value("type", "");
    if ((dir != "in" && dir != "out") || (type != "bulk" && type != "interrupt"))
      Fail(name, "endpoint needs direction in/out and type bulk/interrupt");
    ep.attributes = static_cast<std::uint8_t>(j.value("bmAttributes", type == "bulk" ? 2 : 3));
    const bool in = dir == "in";
    std::uint8_t number = type == "interrupt" ? 3 : (in ? 1 : 2);
    ep.address = static_cast<std::uint8_t>(j.value("bEndpointAddress", (in ? 0x80 : 0) | number));
    ep.max_packet = j.value("wMaxPacketSize", static_cast<std::uint16_t>(type == "bulk" ? 64 : 8));
    ep.interval = j.value("bInterval", static_cast<std::uint8_t>(type == "bulk" ? 0 : 16));
    if (((ep.address & 0x80) != 0) != in) Fail(name, "bEndpointAddress disagrees with direction");
    out.push_back(ep);
  }
  if (e.contains("bNumEndpoints") && e.at("bNumEndpoints").get<std::size_t>() != out.size())
    Fail(name, "bNumEndpoints disagrees with the endpoint list");
  return out;
}

std::vector<std::uint32_t> ListOf(const json& e, const char* key) {
  return e.contains(key) ? e.at(key).get<std::vector<std::uint32_t>>() : std::vector<std::uint32_t>{};
}

ReaderProfile FromEntry(const json& e) {
  ReaderProfile p;
  p.name = e.value("profile", "");
  if (p.name.empty()) Fail("?", "missing field profile");
  p.class_descriptor = DescriptorOf(e, p.name);
  p.endpoints = EndpointsOf(e, p.name);
  p.interface_number = e.value("bInterfaceNumber", static_cast<std::uint8_t>(0));
  const unsigned extra = e.value("extra_interface_count", 0u);
  p.extra_interfaces_after =
      static_cast<std::uint8_t>(extra > p.interface_number ? extra - p.interface_number : 0);
  p.id_vendor = e.value("idVendor", p.id_vendor);
  p.id_product = e.value("idProduct", p.id_product);
  p.clock_frequencies_khz = ListOf(e, "clock_frequencies_khz");
  p.data_rates_bps = ListOf(e, "data_rates_bps");
  p.remote_wakeup = e.value("remote_wakeup", (p.Features() & ccid::kFeatureUsbWakeUp) != 0);
  p.config_total_length = e.value("wTotalLength", static_cast<std::uint16_t>(0));
  p.description = e.value("description", "real reader");
  p.product = "Simulated CCID reader (" + p.name + ")";
  p.serial = "SIM-" + p.name;
  return p;
}

json Parse(std::string_view text, std::string_view what) {
  try {
    return json::parse(text);
  } catch (const json::exception& ex) {
    Fail(what, std::string("bad JSON: ") + ex.what());
  }
}

std::string VoltageText(std::uint8_t v) {
  std::string s;
  if (v & 1) s += "5V";
  if (v & 2) s += s.empty() ? "3V" : "/3V";
  if (v & 4) s += s.empty() ? "1.8V" : "/1.8V";
  return s.empty() ? "no voltage" : s;
}

}  // namespace

const EndpointConfig* ReaderProfile::BulkIn() const {
  for (const auto& ep : endpoints)
    if (ep.Bulk() && ep.In()) return &ep;
  return nullptr;
}

const EndpointConfig* ReaderProfile::BulkOut() const {
  for (const auto& ep : endpoints)
    if (ep.Bulk() && !ep.In()) return &ep;
  return nullptr;
}

const EndpointConfig* ReaderProfile::InterruptIn() const {
  for (const auto& ep : endpoints)
    if (ep.Interrupt() && ep.In()) return &ep;
  return nullptr;
}

std::string ReaderProfile::Summary() const {
  std::ostringstream s;
  const std::uint32_t f = Features();
  s << ((f & ccid::kFeatureExtendedApdu) ? "extended-APDU"
        : (f & ccid::kFeatureShortApdu)  ? "short-APDU"
        : (f & ccid::kFeatureTpdu)       ? "TPDU"
                                         : "character")
    << " level, ";
  const std::uint32_t p = Protocols();
  s << ((p & 3) == 3 ? "T=0/T=1" : (p & 2) ? "T=1" : (p & 1) ? "T=0" : "no protocol") << ", "
    << VoltageText(VoltageSupport()) << ", max message " << MaxMessageLength();
  if (MaxSlotIndex() > 0) s << ", " << MaxSlotIndex() + 1 << " slots";
  if (PinSupport() & 3)
    s << ", PIN pad (" << ((PinSupport() & 1) ? "verify" : "")
      << ((PinSupport() & 3) == 3 ? "+" : "") << ((PinSupport() & 2) ? "modify" : "") << ")";
  if (LcdLayout() != 0) s << ", LCD " << (LcdLayout() >> 8) << "x" << (LcdLayout() & 0xFF);
  if (interface_number != 0 || extra_interfaces_after != 0)
    s << ", smart-card interface " << int(interface_number) << " of "
      << interface_number + extra_interfaces_after + 1;
  if (!InterruptIn()) s << ", no interrupt pipe";
  if (endpoints.empty()) s << ", no endpoints";
  if (remote_wakeup) s << ", remote wake-up";
  if (config_total_length != 0) s << ", configuration " << config_total_length << " bytes";
  s << " (" << description << ")";
  return s.str();
}

ReaderProfile ReaderProfileFromJson(std::string_view entry_json) {
  return FromEntry(Parse(entry_json, "entry"));
}

ReaderProfile ReaderProfileFromFileText(std::string_view file_json, std::string_view name) {
  const json file = Parse(file_json, name);
  if (!file.contains("readers") || !file.at("readers").is_array())
    Fail(name, "the file has no \"readers\" list");
  for (const auto& entry : file.at("readers"))
    if (entry.value("profile", "") == name) return FromEntry(entry);
  Fail(name, "not in the file");
}

std::vector<ReaderProfile> ReaderProfilesFromFileText(std::string_view file_json) {
  const json file = Parse(file_json, "file");
  if (!file.contains("readers") || !file.at("readers").is_array()) Fail("file", "the file has no \"readers\" list");
  std::vector<ReaderProfile> all;
  for (const auto& entry : file.at("readers")) all.push_back(FromEntry(entry));
  return all;
}

namespace {
std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}
}  // namespace

ReaderProfile LoadReaderProfile(const std::string& path, std::string_view name) {
  return ReaderProfileFromFileText(ReadFile(path), name);
}

std::vector<std::string> ReaderProfileNamesInFile(const std::string& path) {
  const json file = Parse(ReadFile(path), path);
  std::vector<std::string> names;
  for (const auto& entry : file.value("readers", json::array())) names.push_back(entry.value("profile", ""));
  return names;
}

}  // namespace sim

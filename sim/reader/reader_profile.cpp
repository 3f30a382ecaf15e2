// Reader profiles from the real-reader data schema, and their one-line summaries.
#include "reader/reader_profile.h"

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "reader/descriptors.h"

namespace sim {
namespace {

using nlohmann::json;

// The fields of one JSON object of a reader description, each problem named by the
// description's source and the field's path ("reader.json: endpoints[2].wMaxPacketSize:
// expected a number from 0 to 1023"). A null value is a field that was not recorded, as
// an absent one is.
class Fields {
 public:
  Fields(const json& object, std::string source, std::string path)
      : object_(object), source_(std::move(source)), path_(std::move(path)) {}

  [[noreturn]] void Fail(std::string_view key, const std::string& what) const {
    throw std::runtime_error(source_ + ": " + Path(key) + ": " + what);
  }

  std::string Path(std::string_view key) const {
    return path_.empty() ? std::string(key) : path_ + "." + std::string(key);
  }

  // The value, or nothing when the field is absent or null.
  const json* Get(std::string_view key) const {
    const auto it = object_.find(key);
    return it == object_.end() || it->is_null() ? nullptr : &*it;
  }

  std::optional<std::uint64_t> Number(std::string_view key, std::uint64_t max) const {
    const json* v = Get(key);
    if (v == nullptr) return std::nullopt;
    return Checked(*v, key, max);
  }

  std::uint64_t Checked(const json& v, std::string_view key, std::uint64_t max) const {
    if (!v.is_number_unsigned() || v.get<std::uint64_t>() > max)
      Fail(key, "expected a number from 0 to " + std::to_string(max));
    return v.get<std::uint64_t>();
  }

  std::optional<std::string> Text(std::string_view key) const {
    const json* v = Get(key);
    if (v == nullptr) return std::nullopt;
    if (!v->is_string()) Fail(key, "expected a string");
    return v->get<std::string>();
  }

  std::optional<bool> Flag(std::string_view key) const {
    const json* v = Get(key);
    if (v == nullptr) return std::nullopt;
    if (!v->is_boolean()) Fail(key, "expected true or false");
    return v->get<bool>();
  }

  // A list, or nothing when absent or null.
  const json* List(std::string_view key) const {
    const json* v = Get(key);
    if (v != nullptr && !v->is_array()) Fail(key, "expected a list");
    return v;
  }

  // Element `index` of the list `key`, an object.
  Fields Element(std::string_view key, std::size_t index, const json& element) const {
    const std::string path = Path(key) + "[" + std::to_string(index) + "]";
    if (!element.is_object()) throw std::runtime_error(source_ + ": " + path + ": expected an object");
    return Fields(element, source_, path);
  }

  std::vector<std::uint32_t> Numbers32(std::string_view key) const {
    std::vector<std::uint32_t> out;
    const json* list = List(key);
    if (list == nullptr) return out;
    for (std::size_t i = 0; i < list->size(); ++i)
      out.push_back(static_cast<std::uint32_t>(
          Checked((*list)[i], std::string(key) + "[" + std::to_string(i) + "]", 0xFFFFFFFFu)));
    return out;
  }

 private:
  const json& object_;
  std::string source_;
  std::string path_;
};

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

std::uint64_t MaxOf(std::size_t bytes) { return bytes >= 4 ? 0xFFFFFFFFull : (1ull << (8 * bytes)) - 1; }

std::optional<std::array<std::uint8_t, ccid::kClassDescriptorSize>> FromHex(const std::string& hex) {
  if (hex.size() != 2 * ccid::kClassDescriptorSize ||
      hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
    return std::nullopt;
  std::array<std::uint8_t, ccid::kClassDescriptorSize> out{};
  for (std::size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<std::uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
  return out;
}

// The descriptor from class_descriptor_hex, checked field by field against the named
// fields present; without the hex, built from the fields (all of which are then needed).
// Its bDescriptorType is taken as recorded: 0x21, or 0xFF on readers older than the CCID
// class's final version.
std::array<std::uint8_t, 54> DescriptorOf(const Fields& e) {
  std::array<std::uint8_t, 54> d{};
  const std::optional<std::string> hex = e.Text("class_descriptor_hex");
  if (hex) {
    const auto bytes = FromHex(*hex);
    if (!bytes) e.Fail("class_descriptor_hex", "expected 54 bytes in hexadecimal (108 digits)");
    d = *bytes;
  }
  for (const auto& f : kFields) {
    const std::optional<std::uint64_t> value = e.Number(f.name, MaxOf(f.size));
    if (!value) {
      if (!hex) e.Fail(f.name, "missing (needed without class_descriptor_hex)");
      continue;
    }
    if (hex && ReadField(d, f) != *value) e.Fail(f.name, "disagrees with class_descriptor_hex");
    for (std::size_t i = 0; i < f.size; ++i) d[f.offset + i] = static_cast<std::uint8_t>(*value >> (8 * i));
  }
  if (d[0] != ccid::kClassDescriptorSize) e.Fail(hex ? "class_descriptor_hex" : "bLength", "bLength must be 54");
  return d;
}

// One endpoint, with the documented defaults for what the description lacks.
EndpointConfig EndpointOf(const Fields& j) {
  EndpointConfig ep;
  const std::string dir = j.Text("direction").value_or("");
  if (dir != "in" && dir != "out") j.Fail("direction", "expected \"in\" or \"out\"");
  const std::string type = j.Text("type").value_or("");
  if (type != "bulk" && type != "interrupt") j.Fail("type", "expected \"bulk\" or \"interrupt\"");
  const bool in = dir == "in";
  const bool bulk = type == "bulk";
  ep.attributes = static_cast<std::uint8_t>(j.Number("bmAttributes", 255).value_or(bulk ? 2 : 3));
  if ((ep.attributes & 3) != (bulk ? 2 : 3)) j.Fail("bmAttributes", "disagrees with type");
  const std::uint8_t number = bulk ? (in ? 1 : 2) : 3;
  ep.address = static_cast<std::uint8_t>(j.Number("bEndpointAddress", 255).value_or((in ? 0x80 : 0) | number));
  if (((ep.address & 0x80) != 0) != in) j.Fail("bEndpointAddress", "disagrees with direction");
  if ((ep.address & 0x7F) == 0 || (ep.address & 0x70) != 0) j.Fail("bEndpointAddress", "expected endpoint 1 to 15");
  ep.max_packet = static_cast<std::uint16_t>(j.Number("wMaxPacketSize", 1023).value_or(bulk ? 64 : 8));
  ep.interval = static_cast<std::uint8_t>(j.Number("bInterval", 255).value_or(bulk ? 0 : 16));
  return ep;
}

// The endpoint list as recorded; without one, the usual endpoints for bNumEndpoints (3:
// bulk-in, bulk-out, interrupt-in; 2: the bulk pair; 0: none).
std::vector<EndpointConfig> EndpointsOf(const Fields& e) {
  std::vector<EndpointConfig> out;
  const std::optional<std::uint64_t> count = e.Number("bNumEndpoints", 255);
  if (const json* list = e.List("endpoints")) {
    for (std::size_t i = 0; i < list->size(); ++i) out.push_back(EndpointOf(e.Element("endpoints", i, (*list)[i])));
    if (count && *count != out.size()) e.Fail("bNumEndpoints", "disagrees with the endpoint list");
  } else if (count) {
    if (*count != 0 && *count != 2 && *count != 3)
      e.Fail("endpoints", "needed to describe " + std::to_string(*count) + " endpoints");
    if (*count >= 2) out = {{0x81, 2, 64, 0}, {0x02, 2, 64, 0}};
    if (*count == 3) out.push_back({0x83, 3, 8, 16});
  }
  const bool interrupt =
      std::any_of(out.begin(), out.end(), [](const EndpointConfig& ep) { return ep.Interrupt() && ep.In(); });
  if (const auto recorded = e.Flag("has_interrupt_in"); recorded && *recorded != interrupt)
    e.Fail("has_interrupt_in", "disagrees with the endpoints");
  return out;
}

ReaderProfile FromEntry(const Fields& e) {
  ReaderProfile p;
  p.name = e.Text("profile").value_or("");
  if (p.name.empty()) e.Fail("profile", "missing: every reader needs a name");
  p.class_descriptor = DescriptorOf(e);
  p.endpoints = EndpointsOf(e);
  p.interface_number = static_cast<std::uint8_t>(e.Number("bInterfaceNumber", 254).value_or(0));
  p.interface_class =
      static_cast<std::uint8_t>(e.Number("bInterfaceClass", 255).value_or(ccid::kSmartCardInterfaceClass));
  p.interface_subclass = static_cast<std::uint8_t>(e.Number("bInterfaceSubClass", 255).value_or(0));
  p.interface_protocol = static_cast<std::uint8_t>(e.Number("bInterfaceProtocol", 255).value_or(0));
  const std::uint64_t extra = e.Number("extra_interface_count", 255).value_or(0);
  p.extra_interfaces_after = static_cast<std::uint8_t>(extra > p.interface_number ? extra - p.interface_number : 0);
  if (p.interface_number + 1u + p.extra_interfaces_after > 255u)
    e.Fail("extra_interface_count", "more interfaces than a configuration holds");
  p.id_vendor = static_cast<std::uint16_t>(e.Number("idVendor", 0xFFFF).value_or(p.id_vendor));
  p.id_product = static_cast<std::uint16_t>(e.Number("idProduct", 0xFFFF).value_or(p.id_product));
  p.bcd_device = static_cast<std::uint16_t>(e.Number("bcdDevice", 0xFFFF).value_or(p.bcd_device));
  p.self_powered = e.Flag("self_powered").value_or(false);
  p.clock_frequencies_khz = e.Numbers32("clock_frequencies_khz");
  p.data_rates_bps = e.Numbers32("data_rates_bps");
  p.remote_wakeup = e.Flag("remote_wakeup").value_or((p.Features() & ccid::kFeatureUsbWakeUp) != 0);
  p.config_total_length = static_cast<std::uint16_t>(e.Number("wTotalLength", 0xFFFF).value_or(0));
  p.description = e.Text("description").value_or("real reader");
  p.manufacturer = e.Text("manufacturer").value_or(p.manufacturer);
  p.product = e.Text("product").value_or("Simulated CCID reader (" + p.name + ")");
  p.serial = e.Text("serial").value_or("SIM-" + p.name);
  try {
    (void)BuildDescriptors(p);
  } catch (const std::runtime_error&) {
    e.Fail("wTotalLength", "shorter than the descriptors it must hold");
  }
  return p;
}

json Parse(std::string_view text, const std::string& source) {
  try {
    return json::parse(text);
  } catch (const json::exception& ex) {
    throw std::runtime_error(source + ": not JSON: " + ex.what());
  }
}

// The "readers" list of a whole data file.
const json& ReadersOf(const json& file, const std::string& source) {
  if (!file.is_object() || !file.contains("readers") || !file.at("readers").is_array())
    throw std::runtime_error(source + ": readers: expected the list of readers");
  return file.at("readers");
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
  if (interface_class != ccid::kSmartCardInterfaceClass)
    s << ", interface class 0x" << std::hex << std::uppercase << int(interface_class) << std::dec;
  if (ClassDescriptorType() != ccid::kClassDescriptorType)
    s << ", class descriptor type 0x" << std::hex << std::uppercase << int(ClassDescriptorType()) << std::dec;
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

ReaderProfile ReaderProfileFromJson(std::string_view entry_json, const std::string& source) {
  const json entry = Parse(entry_json, source);
  if (!entry.is_object()) throw std::runtime_error(source + ": expected a reader description (an object)");
  return FromEntry(Fields(entry, source, ""));
}

ReaderProfile ReaderProfileFromFileText(std::string_view file_json, std::string_view name, const std::string& source) {
  const json file = Parse(file_json, source);
  const json& readers = ReadersOf(file, source);
  for (std::size_t i = 0; i < readers.size(); ++i) {
    const Fields entry = Fields(file, source, "").Element("readers", i, readers[i]);
    if (entry.Text("profile") == std::optional<std::string>(name)) return FromEntry(entry);
  }
  throw std::runtime_error(source + ": no reader \"" + std::string(name) + "\" in the file");
}

std::vector<ReaderProfile> ReaderProfilesFromFileText(std::string_view file_json, const std::string& source) {
  const json file = Parse(file_json, source);
  const json& readers = ReadersOf(file, source);
  std::vector<ReaderProfile> all;
  for (std::size_t i = 0; i < readers.size(); ++i)
    all.push_back(FromEntry(Fields(file, source, "").Element("readers", i, readers[i])));
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
  return ReaderProfileFromFileText(ReadFile(path), name, path);
}

std::vector<std::string> ReaderProfileNamesInFile(const std::string& path) {
  const json file = Parse(ReadFile(path), path);
  std::vector<std::string> names;
  for (const auto& entry : ReadersOf(file, path))
    names.push_back(entry.is_object() && entry.contains("profile") && entry["profile"].is_string()
                        ? entry["profile"].get<std::string>()
                        : "");
  return names;
}

}  // namespace sim

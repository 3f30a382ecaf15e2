// Control transfers read back from usbmon and USBPcap captures, and the reader description
// their descriptors make.
#include "capture_profile.h"

#include <pcap/pcap.h>
#include <pcap/usb.h>

#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>

namespace ccidsim {
namespace {

constexpr int kLinkTypeUsbLinux = 189;         // DLT_USB_LINUX: 48-byte header
constexpr int kLinkTypeUsbLinuxMmapped = 220;  // DLT_USB_LINUX_MMAPPED: 64-byte header
constexpr int kLinkTypeUsbpcap = 249;          // DLT_USBPCAP

constexpr std::uint8_t kGetDescriptor = 6;
constexpr std::uint8_t kDeviceType = 1, kConfigurationType = 2, kStringType = 3;
constexpr std::uint8_t kInterfaceType = 4, kEndpointType = 5;
constexpr std::uint8_t kClassDescriptorType = 0x21, kOldClassDescriptorType = 0xFF;
constexpr std::size_t kClassDescriptorSize = 54;
constexpr std::uint8_t kGetClockFrequencies = 2, kGetDataRates = 3;

// USBPcap's header fields (packed, little-endian) and its control stages.
constexpr std::size_t kUsbpcapHeaderSize = 27;
constexpr std::uint8_t kUsbpcapTransferControl = 2;
constexpr std::uint8_t kStageSetup = 0, kStageData = 1, kStageStatus = 2, kStageComplete = 3;

std::uint32_t Le(const std::uint8_t* p, int bytes) {
  std::uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= static_cast<std::uint32_t>(p[i]) << (8 * i);
  return v;
}

std::uint64_t Le64(const std::uint8_t* p) { return Le(p, 4) | static_cast<std::uint64_t>(Le(p + 4, 4)) << 32; }

// Collects the control transfers of one capture, matching each completion to its
// submission by the URB (usbmon) or IRP (USBPcap) id.
class ControlCollector {
 public:
  void Usbmon(const std::uint8_t* p, std::size_t captured, std::size_t headerSize) {
    if (captured < headerSize) return;
    pcap_usb_header h;
    std::memcpy(&h, p, sizeof(h));
    if (h.transfer_type != URB_CONTROL) return;
    const std::uint64_t key = h.id ^ (static_cast<std::uint64_t>(h.bus_id) << 48) ^ (std::uint64_t{h.device_address} << 40);
    if (h.event_type == 'S' && h.setup_flag == 0) {
      CapturedControl c;
      c.bus = h.bus_id;
      c.device = h.device_address;
      std::memcpy(c.setup, &h.setup, sizeof(c.setup));
      Submit(key, c);
    } else if (h.event_type == 'C') {
      const std::size_t available = captured - headerSize;
      const std::size_t kept = std::min<std::size_t>(available, h.data_len);
      Complete(key, h.status != 0, std::vector<std::uint8_t>(p + headerSize, p + headerSize + kept),
               kept < h.urb_len);
    }
  }

  void Usbpcap(const std::uint8_t* p, std::size_t captured) {
    if (captured < kUsbpcapHeaderSize) return;
    const std::size_t headerLength = Le(p, 2);
    if (p[22] != kUsbpcapTransferControl || headerLength < kUsbpcapHeaderSize + 1 || captured < headerLength) return;
    const std::uint64_t irp = Le64(p + 2);
    const std::uint32_t status = Le(p + 10, 4);
    const bool up = (p[16] & 1) != 0;  // USBPCAP_INFO_PDO_TO_FDO
    const std::uint16_t bus = static_cast<std::uint16_t>(Le(p + 17, 2));
    const std::uint16_t device = static_cast<std::uint16_t>(Le(p + 19, 2));
    const std::size_t length = Le(p + 23, 4);
    const std::uint8_t stage = p[27];
    const std::size_t kept = std::min(length, captured - headerLength);
    const std::uint8_t* data = p + headerLength;
    const std::uint64_t key = irp ^ (static_cast<std::uint64_t>(bus) << 48) ^ (static_cast<std::uint64_t>(device) << 40);
    const bool failed = (status & 0xC0000000u) == 0xC0000000u;  // USBD_ERROR
    if (!up && stage == kStageSetup && kept >= 8) {
      CapturedControl c;
      c.bus = bus;
      c.device = device;
      std::memcpy(c.setup, data, sizeof(c.setup));
      Submit(key, c);
    } else if (up && (stage == kStageComplete || stage == kStageData)) {
      // USBPcap 1.5 and later: the complete stage; earlier ones: a data stage, then a status stage.
      Complete(key, failed, std::vector<std::uint8_t>(data, data + kept), kept < length);
    } else if (up && stage == kStageStatus) {
      const auto it = pending_.find(key);
      if (it != pending_.end() && !controls_[it->second].answered) Complete(key, failed, {}, false);
      pending_.erase(key);
    }
  }

  std::vector<CapturedControl> Take() { return std::move(controls_); }

 private:
  void Submit(std::uint64_t key, const CapturedControl& c) {
    pending_[key] = controls_.size();
    controls_.push_back(c);
  }

  void Complete(std::uint64_t key, bool failed, std::vector<std::uint8_t> data, bool truncated) {
    const auto it = pending_.find(key);
    if (it == pending_.end()) return;
    CapturedControl& c = controls_[it->second];
    c.answered = true;
    c.stalled = failed;
    c.data = std::move(data);
    c.truncated = truncated;
  }

  std::vector<CapturedControl> controls_;
  std::map<std::uint64_t, std::size_t> pending_;
};

struct PcapCloser {
  void operator()(pcap_t* p) const { pcap_close(p); }
};

bool IsGetDescriptor(const CapturedControl& c, std::uint8_t type) {
  return c.setup[0] == 0x80 && c.setup[1] == kGetDescriptor && c.setup[3] == type;
}

std::string DeviceName(std::uint16_t bus, std::uint16_t device) {
  return "device " + std::to_string(bus) + "." + std::to_string(device);
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (std::uint8_t b : bytes) {
    s += digits[b >> 4];
    s += digits[b & 15];
  }
  return s;
}

// A string descriptor as text (UTF-16LE; characters beyond ASCII as '?').
std::string StringText(const std::vector<std::uint8_t>& d) {
  std::string s;
  for (std::size_t i = 2; i + 1 < d.size() && i + 1 < d[0]; i += 2) {
    const unsigned c = d[i] | d[i + 1] << 8;
    s += c < 0x80 ? static_cast<char>(c) : '?';
  }
  return s;
}

// The CCID class descriptor's fields by their names, in descriptor order.
struct NamedField {
  const char* name;
  std::size_t offset;
  int size;
};
constexpr NamedField kClassFields[] = {
    {"bLength", 0, 1},           {"bDescriptorType", 1, 1},        {"bcdCCID", 2, 2},
    {"bMaxSlotIndex", 4, 1},     {"bVoltageSupport", 5, 1},        {"dwProtocols", 6, 4},
    {"dwDefaultClock", 10, 4},   {"dwMaximumClock", 14, 4},        {"bNumClockSupported", 18, 1},
    {"dwDataRate", 19, 4},       {"dwMaxDataRate", 23, 4},         {"bNumDataRatesSupported", 27, 1},
    {"dwMaxIFSD", 28, 4},        {"dwSynchProtocols", 32, 4},      {"dwMechanical", 36, 4},
    {"dwFeatures", 40, 4},       {"dwMaxCCIDMessageLength", 44, 4}, {"bClassGetResponse", 48, 1},
    {"bClassEnvelope", 49, 1},   {"wLcdLayout", 50, 2},            {"bPINSupport", 52, 1},
    {"bMaxCCIDBusySlots", 53, 1},
};

// What one device of the capture answered.
struct DeviceAnswers {
  std::uint16_t bus = 0;
  std::uint16_t device = 0;
  std::vector<const CapturedControl*> controls;
};

// The reader description of one device, or the reason it cannot be had.
class DeviceReader {
 public:
  DeviceReader(const DeviceAnswers& answers, std::string name, std::string source)
      : answers_(answers), name_(std::move(name)), source_(std::move(source)) {}

  // Empty when the description was made; otherwise what is missing.
  std::string Read(CapturedReader& out) {
    const std::string where = DeviceName(answers_.bus, answers_.device);
    const CapturedControl* device = Longest(kDeviceType, 0);
    if (device == nullptr) return "no GET_DESCRIPTOR(device) answer of " + where;
    if (device->data.size() < 18)
      return "the device descriptor of " + where + " is truncated (" + std::to_string(device->data.size()) +
             " of 18 bytes)";
    const CapturedControl* config = Longest(kConfigurationType, 0);
    if (config == nullptr) return "no GET_DESCRIPTOR(configuration) answer of " + where;
    const std::size_t total = config->data.size() >= 4 ? Le(config->data.data() + 2, 2) : 0;
    if (config->data.size() < 9 || config->data.size() < total || total < 9)
      return "the configuration descriptor of " + where + " is truncated: the capture holds " +
             std::to_string(config->data.size()) + " of its " + (total >= 9 ? std::to_string(total) : "9 or more") +
             " bytes (wTotalLength)";
    out.bus = answers_.bus;
    out.device = answers_.device;
    out.deviceDescriptor.assign(device->data.begin(), device->data.begin() + 18);
    out.configuration.assign(config->data.begin(), config->data.begin() + static_cast<std::ptrdiff_t>(total));
    nlohmann::json entry;
    const std::string missing = Interface(out.configuration, entry);
    if (!missing.empty()) return missing + " in the configuration of " + where;
    Identity(out.deviceDescriptor, out.configuration, entry);
    entry["clock_frequencies_khz"] = ClassList(kGetClockFrequencies);
    entry["data_rates_bps"] = ClassList(kGetDataRates);
    out.description = {{"about", "A reader description made by ccidsim profile from the USB capture " + source_ +
                                     " (" + where + "). Fields the capture does not show are null."},
                       {"readers", nlohmann::json::array({entry})}};
    return "";
  }

 private:
  // The longest whole answer to GET_DESCRIPTOR(type, index).
  const CapturedControl* Longest(std::uint8_t type, std::uint8_t index) const {
    const CapturedControl* best = nullptr;
    for (const CapturedControl* c : answers_.controls) {
      if (!IsGetDescriptor(*c, type) || c->setup[2] != index || !c->answered || c->stalled) continue;
      if (best == nullptr || c->data.size() > best->data.size()) best = c;
    }
    return best;
  }

  // The smart-card interface: the first interface followed by a 54-byte CCID class
  // descriptor; its endpoints; the other interfaces counted.
  std::string Interface(const std::vector<std::uint8_t>& config, nlohmann::json& entry) const {
    const std::uint8_t* chosen = nullptr;
    const std::uint8_t* current = nullptr;
    const std::uint8_t* classDescriptor = nullptr;
    nlohmann::json endpoints = nlohmann::json::array();
    for (std::size_t at = 0; at + 2 <= config.size() && config[at] >= 2 && at + config[at] <= config.size();
         at += config[at]) {
      const std::uint8_t* d = config.data() + at;
      if (d[1] == kInterfaceType && d[0] >= 9) {
        if (chosen != nullptr) break;
        current = d;
      } else if (chosen == nullptr && current != nullptr && d[0] == kClassDescriptorSize &&
                 (d[1] == kClassDescriptorType || d[1] == kOldClassDescriptorType)) {
        chosen = current;
        classDescriptor = d;
      } else if (chosen != nullptr && d[1] == kEndpointType && d[0] >= 7) {
        const bool in = (d[2] & 0x80) != 0;
        const std::uint8_t type = d[3] & 3;
        endpoints.push_back({{"direction", in ? "in" : "out"},
                             {"type", type == 2 ? "bulk" : type == 3 ? "interrupt" : type == 1 ? "isochronous" : "control"},
                             {"bmAttributes", d[3]},
                             {"bEndpointAddress", d[2]},
                             {"wMaxPacketSize", Le(d + 4, 2)},
                             {"bInterval", d[6]}});
      }
    }
    if (chosen == nullptr) return "no smart-card interface with a CCID class descriptor";
    bool interrupt = false;
    for (const auto& ep : endpoints) interrupt = interrupt || (ep["direction"] == "in" && ep["type"] == "interrupt");
    entry["profile"] = name_;
    entry["description"] = "captured in " + source_;
    entry["bInterfaceNumber"] = chosen[2];
    entry["bNumEndpoints"] = chosen[4];
    entry["bInterfaceClass"] = chosen[5];
    entry["bInterfaceSubClass"] = chosen[6];
    entry["bInterfaceProtocol"] = chosen[7];
    entry["endpoints"] = std::move(endpoints);
    entry["has_interrupt_in"] = interrupt;
    for (const NamedField& f : kClassFields) entry[f.name] = Le(classDescriptor + f.offset, f.size);
    entry["class_descriptor_hex"] = Hex(std::vector<std::uint8_t>(classDescriptor, classDescriptor + kClassDescriptorSize));
    entry["extra_interface_count"] = config[4] > 0 ? config[4] - 1 : 0;
    return "";
  }

  // The USB identity: ids and release from the device descriptor, power and wake-up from
  // the configuration, the length of the configuration set, and the strings the capture holds.
  void Identity(const std::vector<std::uint8_t>& device, const std::vector<std::uint8_t>& config,
                nlohmann::json& entry) const {
    entry["idVendor"] = Le(device.data() + 8, 2);
    entry["idProduct"] = Le(device.data() + 10, 2);
    entry["bcdDevice"] = Le(device.data() + 12, 2);
    entry["wTotalLength"] = config.size();
    entry["remote_wakeup"] = (config[7] & 0x20) != 0;
    entry["self_powered"] = (config[7] & 0x40) != 0;
    const std::pair<const char*, std::uint8_t> strings[] = {
        {"manufacturer", device[14]}, {"product", device[15]}, {"serial", device[16]}};
    for (const auto& [key, index] : strings) {
      const CapturedControl* s = index == 0 ? nullptr : Longest(kStringType, index);
      entry[key] = s != nullptr && s->data.size() >= 2 ? nlohmann::json(StringText(s->data)) : nlohmann::json(nullptr);
    }
  }

  // A CCID class request's list of 32-bit values: null when the capture does not hold
  // the request, empty when the reader stalled it.
  nlohmann::json ClassList(std::uint8_t request) const {
    for (const CapturedControl* c : answers_.controls) {
      if (c->setup[0] != 0xA1 || c->setup[1] != request || !c->answered) continue;
      nlohmann::json list = nlohmann::json::array();
      if (c->stalled) return list;
      for (std::size_t i = 0; i + 4 <= c->data.size(); i += 4) list.push_back(Le(c->data.data() + i, 4));
      return list;
    }
    return nullptr;
  }

  const DeviceAnswers& answers_;
  std::string name_;
  std::string source_;
};

}  // namespace

std::vector<CapturedControl> ReadCapturedControls(const std::string& path) {
  char error[PCAP_ERRBUF_SIZE] = {};
  std::unique_ptr<pcap_t, PcapCloser> pcap(pcap_open_offline(path.c_str(), error));
  if (!pcap) throw std::runtime_error("cannot read the capture " + path + ": " + error);
  const int link = pcap_datalink(pcap.get());
  if (link != kLinkTypeUsbLinux && link != kLinkTypeUsbLinuxMmapped && link != kLinkTypeUsbpcap)
    throw std::runtime_error(path + " is not a USB capture of usbmon or USBPcap (link type " + std::to_string(link) +
                             "; 189, 220 or 249 expected)");
  ControlCollector collector;
  pcap_pkthdr* header = nullptr;
  const u_char* data = nullptr;
  int result;
  while ((result = pcap_next_ex(pcap.get(), &header, &data)) == 1) {
    if (link == kLinkTypeUsbpcap)
      collector.Usbpcap(data, header->caplen);
    else
      collector.Usbmon(data, header->caplen,
                       link == kLinkTypeUsbLinux ? sizeof(pcap_usb_header) : sizeof(pcap_usb_header_mmapped));
  }
  if (result == PCAP_ERROR) throw std::runtime_error("cannot read the capture " + path + ": " + pcap_geterr(pcap.get()));
  return collector.Take();
}

CapturedReader ReaderFromCapture(const std::string& path, const std::string& name) {
  const std::vector<CapturedControl> controls = ReadCapturedControls(path);
  std::vector<DeviceAnswers> devices;
  for (const CapturedControl& c : controls) {
    if (!IsGetDescriptor(c, kDeviceType) && !IsGetDescriptor(c, kConfigurationType) &&
        !IsGetDescriptor(c, kStringType) && c.setup[0] != 0xA1)
      continue;
    auto it = std::find_if(devices.begin(), devices.end(),
                           [&](const DeviceAnswers& d) { return d.bus == c.bus && d.device == c.device; });
    if (it == devices.end()) it = devices.insert(devices.end(), DeviceAnswers{c.bus, c.device, {}});
    it->controls.push_back(&c);
  }
  if (devices.empty())
    throw std::runtime_error(path + " holds no GET_DESCRIPTOR requests: capture the reader while it is plugged in, "
                                    "so that its enumeration is recorded");
  std::string problems;
  for (const DeviceAnswers& device : devices) {
    CapturedReader reader;
    const std::string missing = DeviceReader(device, name, path).Read(reader);
    if (missing.empty()) return reader;
    problems += (problems.empty() ? "" : "; ") + missing;
  }
  throw std::runtime_error(path + " holds no whole CCID reader description: " + problems);
}

}  // namespace ccidsim

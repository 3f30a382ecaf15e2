// The bus's traffic as a capture in one of two formats:
//  - Linux usbmon (DLT_USB_LINUX_MMAPPED, link type 220): every transfer is a submission
//    ('S') and a completion ('C') record with the same URB id and a 64-byte header; link
//    type 189 (DLT_USB_LINUX, what usbmon's read interface gives) is the same with the
//    header's first 48 bytes (without interval, start frame, transfer flags and ISO count);
//  - Windows USBPcap (DLT_USBPCAP, link type 249): every transfer is the IRP on its way
//    down (info 0) and on its way back up (info 1, USBPCAP_INFO_PDO_TO_FDO) with the same
//    IRP id, the URB function and the USBD status; control transfers carry a stage byte
//    after the 27-byte header, as USBPcap 1.5 and later writes them: the setup stage (the
//    setup packet, followed by the OUT data) going down, the complete stage (with the IN
//    data) coming back.
// The capture begins with the enumeration the bus did at arrival
// (the CCID dissector learns the interface class from the GET_DESCRIPTOR(configuration)
// answer); then come whole messages (one record pair each, so that a CCID message is never
// split, in the order the bus carried them) or the URB log, one record pair per bus
// transfer with each record at its place among all submissions and completions.
#include <pcap/pcap.h>
#include <pcap/usb.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "bus_internal.h"

namespace hosted::usb {
namespace {

constexpr int kLinkTypeUsbmon = 220;  // DLT_USB_LINUX_MMAPPED
constexpr int kLinkTypeUsbmon48 = 189;  // DLT_USB_LINUX
constexpr int kLinkTypeUsbpcap = 249;  // DLT_USBPCAP
constexpr int kSnapshotLength = 0x40000;
constexpr std::int64_t kUnixTimeAtBoot = 1704067200;  // kernel time 0: 2024-01-01 00:00 UTC
constexpr std::int64_t kTicksPerSecond = 10000000;
constexpr std::uint32_t kUrbDirectionIn = 0x200;  // URB_DIR_IN in xfer_flags

// What one transfer of the trace looks like on the bus.
struct BusEvent {
  std::int64_t submitted = 0;
  std::int64_t completed = 0;
  std::uint8_t transferType = URB_BULK;
  std::uint8_t endpoint = 0;
  bool in = false;
  bool hasSetup = false;
  std::uint8_t setup[8] = {};
  std::uint32_t requested = 0;  // urb_len of the submission
  std::vector<std::uint8_t> data;
  std::int32_t status = 0;  // of the completion (0 or a negative errno, as usbmon has it)
  USBD_STATUS usbdStatus = USBD_STATUS_SUCCESS;  // of the completion, as USBPcap has it
  std::uint16_t function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;  // the URB's
  std::uint64_t submitOrder = 0;    // URB log: places among the bus's events
  std::uint64_t completeOrder = 0;
};

class Capture {
 public:
  Capture(std::uint16_t bus, std::uint8_t address, const std::vector<std::uint8_t>& configuration, PcapFormat format)
      : bus_(bus), address_(address), configuration_(configuration), format_(format) {}

  bool Open(const std::string& path, std::string* error) {
    const int link = format_ == PcapFormat::Usbpcap    ? kLinkTypeUsbpcap
                     : format_ == PcapFormat::Usbmon48 ? kLinkTypeUsbmon48
                                                       : kLinkTypeUsbmon;
    pcap_ = pcap_open_dead(link, kSnapshotLength);
    if (pcap_ == nullptr) return Fail(error, "pcap_open_dead failed");
    dumper_ = pcap_dump_open(pcap_, path.c_str());
    if (dumper_ == nullptr) return Fail(error, std::string("cannot write ") + path + ": " + pcap_geterr(pcap_));
    return true;
  }

  ~Capture() {
    if (dumper_ != nullptr) pcap_dump_close(dumper_);
    if (pcap_ != nullptr) pcap_close(pcap_);
  }

  // A URB id for a transfer's pair of records.
  std::uint64_t NextId() { return ++urbId_; }

  // Submission: OUT data and the setup packet go with it.
  void Submit(const BusEvent& e, std::uint64_t id) {
    if (format_ == PcapFormat::Usbpcap) return RecordIrp(e, id, false, e.submitted);
    Record(e, id, 'S', e.submitted, -EINPROGRESS, e.requested,
           e.in ? std::span<const std::uint8_t>() : std::span<const std::uint8_t>(e.data), e.hasSetup);
  }

  // Completion: IN data comes back with it.
  void Complete(const BusEvent& e, std::uint64_t id) {
    if (format_ == PcapFormat::Usbpcap) return RecordIrp(e, id, true, e.completed);
    Record(e, id, 'C', e.completed, e.status, static_cast<std::uint32_t>(e.data.size()),
           e.in ? std::span<const std::uint8_t>(e.data) : std::span<const std::uint8_t>(), false);
  }

  bool Close(std::string* error) {
    const bool ok = pcap_dump_flush(dumper_) == 0;
    if (!ok) return Fail(error, "writing the capture failed");
    return true;
  }

 private:
  static bool Fail(std::string* error, const std::string& what) {
    if (error != nullptr) *error = what;
    return false;
  }

  // bInterval of an endpoint, from the configuration read at arrival.
  std::int32_t IntervalOf(std::uint8_t endpoint) const {
    for (std::size_t at = 0; at + 7 <= configuration_.size() && configuration_[at] >= 2; at += configuration_[at]) {
      if (configuration_[at + 1] == 5 && configuration_[at + 2] == endpoint) return configuration_[at + 6];
    }
    return 0;
  }

  void Record(const BusEvent& e, std::uint64_t id, char type, std::int64_t time, std::int32_t status,
              std::uint32_t urbLength, std::span<const std::uint8_t> data, bool withSetup) {
    pcap_usb_header_mmapped h;
    std::memset(&h, 0, sizeof(h));
    h.id = id;
    h.event_type = static_cast<std::uint8_t>(type);
    h.transfer_type = e.transferType;
    h.endpoint_number = e.endpoint;
    h.device_address = address_;
    h.bus_id = bus_;
    h.setup_flag = withSetup ? 0 : '-';
    h.data_flag = !data.empty() || (type == 'C' && e.in) ? 0 : (e.in ? '<' : '>');
    const std::int64_t ticks = time < 0 ? 0 : time;
    h.ts_sec = kUnixTimeAtBoot + ticks / kTicksPerSecond;
    h.ts_usec = static_cast<std::int32_t>((ticks % kTicksPerSecond) / 10);
    h.status = status;
    h.urb_len = urbLength;
    h.data_len = static_cast<std::uint32_t>(data.size());
    if (withSetup) std::memcpy(&h.s.setup, e.setup, sizeof(e.setup));
    h.interval = e.transferType == URB_INTERRUPT ? IntervalOf(e.endpoint) : 0;
    h.xfer_flags = e.in ? kUrbDirectionIn : 0;
    const std::size_t headerSize = format_ == PcapFormat::Usbmon48 ? sizeof(pcap_usb_header) : sizeof(h);
    std::vector<std::uint8_t> packet(headerSize + data.size());
    std::memcpy(packet.data(), &h, headerSize);
    if (!data.empty()) std::memcpy(packet.data() + headerSize, data.data(), data.size());
    Dump(time, packet);
  }

  // One USBPcap record: USBPCAP_BUFFER_PACKET_HEADER (packed, little-endian), the stage
  // byte of a control transfer, then the data.
  void RecordIrp(const BusEvent& e, std::uint64_t id, bool up, std::int64_t time) {
    const bool control = e.transferType == URB_CONTROL;
    std::vector<std::uint8_t> data;
    if (!up && control) data.assign(e.setup, e.setup + sizeof(e.setup));
    if (up == e.in) data.insert(data.end(), e.data.begin(), e.data.end());
    std::vector<std::uint8_t> packet;
    auto put = [&](std::uint64_t value, int bytes) {
      for (int i = 0; i < bytes; ++i) packet.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    };
    put(control ? kUsbpcapControlHeaderLength : kUsbpcapHeaderLength, 2);  // headerLen
    put(id, 8);                                                           // irpId
    put(up ? e.usbdStatus : USBD_STATUS_SUCCESS, 4);                      // status
    put(e.function, 2);                                                   // function
    put(up ? 1 : 0, 1);                                                   // info: PDO to FDO
    put(bus_, 2);
    put(address_, 2);
    put(e.endpoint, 1);
    put(UsbpcapTransferType(e.transferType), 1);
    put(data.size(), 4);  // dataLength
    if (control) put(up ? kStageComplete : kStageSetup, 1);
    packet.insert(packet.end(), data.begin(), data.end());
    Dump(time, packet);
  }

  // USBPcap's transfer types: 0 isochronous, 1 interrupt, 2 control, 3 bulk.
  static std::uint8_t UsbpcapTransferType(std::uint8_t usbmonType) {
    return usbmonType == URB_INTERRUPT ? 1 : usbmonType == URB_CONTROL ? 2 : usbmonType == URB_BULK ? 3 : 0;
  }

  void Dump(std::int64_t time, const std::vector<std::uint8_t>& packet) {
    const std::int64_t ticks = time < 0 ? 0 : time;
    pcap_pkthdr header;
    header.ts.tv_sec = static_cast<time_t>(kUnixTimeAtBoot + ticks / kTicksPerSecond);
    header.ts.tv_usec = static_cast<suseconds_t>((ticks % kTicksPerSecond) / 10);
    header.caplen = header.len = static_cast<bpf_u_int32>(packet.size());
    pcap_dump(reinterpret_cast<u_char*>(dumper_), &header, packet.data());
  }

  static constexpr std::uint16_t kUsbpcapHeaderLength = 27;
  static constexpr std::uint16_t kUsbpcapControlHeaderLength = 28;
  static constexpr std::uint8_t kStageSetup = 0, kStageComplete = 3;

  std::uint16_t bus_;
  std::uint8_t address_;
  const std::vector<std::uint8_t>& configuration_;
  PcapFormat format_;
  pcap_t* pcap_ = nullptr;
  pcap_dumper_t* dumper_ = nullptr;
  std::uint64_t urbId_ = 0xFFFF888000000000ull;
};

std::uint8_t TransferTypeOf(TransferType type) {
  switch (type) {
    case TransferType::Control:
      return URB_CONTROL;
    case TransferType::Interrupt:
      return URB_INTERRUPT;
    case TransferType::Bulk:
    case TransferType::None:
      break;
  }
  return URB_BULK;
}

void PutSetup(std::uint8_t* out, std::uint8_t type, std::uint8_t request, std::uint16_t value, std::uint16_t index,
              std::uint16_t length) {
  const std::uint8_t bytes[8] = {type,
                                 request,
                                 static_cast<std::uint8_t>(value),
                                 static_cast<std::uint8_t>(value >> 8),
                                 static_cast<std::uint8_t>(index),
                                 static_cast<std::uint8_t>(index >> 8),
                                 static_cast<std::uint8_t>(length),
                                 static_cast<std::uint8_t>(length >> 8)};
  std::memcpy(out, bytes, sizeof(bytes));
}

// The URB a Windows client driver would have sent for a control request, as USBPcap names
// it: standard requests by their recipient, class and vendor requests likewise, the rest as
// a plain control transfer.
std::uint16_t UrbFunctionFor(const SetupPacket& s) {
  const std::uint8_t type = (s.bmRequestType >> 5) & 3, recipient = s.bmRequestType & 0x1F;
  if (type == 0) {
    if (s.bRequest == 6 && recipient == 0) return URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    if (s.bRequest == 6 && recipient == 1) return URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE;
    if (s.bRequest == 9 && recipient == 0) return URB_FUNCTION_SELECT_CONFIGURATION;
    if (s.bRequest == 0 && recipient <= 2) return static_cast<std::uint16_t>(URB_FUNCTION_GET_STATUS_FROM_DEVICE + recipient);
    return URB_FUNCTION_CONTROL_TRANSFER;
  }
  if ((type == 1 || type == 2) && recipient <= 2)
    return static_cast<std::uint16_t>((type == 1 ? URB_FUNCTION_CLASS_DEVICE : URB_FUNCTION_VENDOR_DEVICE) + recipient);
  return URB_FUNCTION_CONTROL_TRANSFER;
}

BusEvent FromMessage(const TraceEvent& t) {
  BusEvent e;
  e.submitted = e.completed = t.time;
  e.transferType = TransferTypeOf(t.event.type);
  e.endpoint = t.event.endpoint;
  e.in = t.event.in;
  e.data = t.event.data;
  e.requested = static_cast<std::uint32_t>(e.data.size());
  if (t.event.type == TransferType::Control) {
    const SetupPacket& s = t.event.setup;
    e.hasSetup = true;
    PutSetup(e.setup, s.bmRequestType, s.bRequest, s.wValue, s.wIndex, s.wLength);
    e.requested = s.wLength;
    e.function = UrbFunctionFor(s);
    if (t.event.handshake != Handshake::Ack) {
      e.status = -EPIPE;
      e.usbdStatus = USBD_STATUS_STALL_PID;
      e.data.clear();
    }
  }
  return e;
}

std::int32_t ErrnoFor(USBD_STATUS status) {
  if (USBD_SUCCESS(status)) return 0;
  switch (status) {
    case USBD_STATUS_STALL_PID:
    case USBD_STATUS_ENDPOINT_HALTED:
      return -EPIPE;
    case USBD_STATUS_CRC:
      return -EILSEQ;
    case USBD_STATUS_DEV_NOT_RESPONDING:
      return -ETIME;
    case USBD_STATUS_ERROR_SHORT_TRANSFER:
      return -EREMOTEIO;
    case USBD_STATUS_CANCELED:
      return -ENOENT;
    case USBD_STATUS_DEVICE_GONE:
      return -ESHUTDOWN;
    case USBD_STATUS_DATA_OVERRUN:
      return -EOVERFLOW;
    default:
      return -EPROTO;
  }
}

BusEvent FromTransfer(const TransferRecord& r) {
  BusEvent e;
  e.submitted = r.submitted;
  e.completed = r.completed;
  e.transferType = r.type == TransferType::Control ? URB_CONTROL
                   : r.type == TransferType::Interrupt ? URB_INTERRUPT
                                                       : URB_BULK;
  e.endpoint = r.endpoint;
  e.in = r.in;
  e.requested = r.requested;
  e.data = r.data;
  e.status = ErrnoFor(r.usbdStatus);
  e.usbdStatus = r.usbdStatus;
  e.function = r.urbFunction;
  e.submitOrder = r.submitOrder;
  e.completeOrder = r.completeOrder;
  if (r.urbFunction == URB_FUNCTION_SELECT_CONFIGURATION) e.transferType = URB_CONTROL;  // its SET_CONFIGURATION
  if (e.transferType == URB_CONTROL) {
    e.hasSetup = true;
    PutSetup(e.setup, r.setup.bmRequestType, r.setup.bRequest, r.setup.wValue, r.setup.wIndex, r.setup.wLength);
  }
  return e;
}

// Writes the URB log's transfers with each record at its place among all submissions and
// completions: a request that pended across others is submitted before them.
void WriteInBusOrder(Capture& capture, const std::vector<BusEvent>& transfers) {
  struct Stage {
    std::uint64_t order;
    std::size_t transfer;
    bool submit;
  };
  std::vector<Stage> stages;
  for (std::size_t i = 0; i < transfers.size(); ++i) {
    stages.push_back({transfers[i].submitOrder, i, true});
    stages.push_back({transfers[i].completeOrder, i, false});
  }
  std::sort(stages.begin(), stages.end(), [](const Stage& a, const Stage& b) { return a.order < b.order; });
  std::vector<std::uint64_t> ids(transfers.size());
  for (const Stage& s : stages) {
    if (s.submit) {
      ids[s.transfer] = capture.NextId();
      capture.Submit(transfers[s.transfer], ids[s.transfer]);
    } else {
      capture.Complete(transfers[s.transfer], ids[s.transfer]);
    }
  }
}

}  // namespace

bool BusDevice::Impl::WritePcap(const std::string& path, PcapContent content, std::string* error,
                                PcapFormat format) const {
  std::vector<BusEvent> messages;
  std::vector<BusEvent> transfers;
  {
    std::lock_guard<std::mutex> lock(trace_);
    for (const TraceEvent& t : enumeration_) messages.push_back(FromMessage(t));
    if (content == PcapContent::Messages) {
      for (const TraceEvent& t : messages_) messages.push_back(FromMessage(t));
    } else {
      for (const TransferRecord& r : log_)
        if (r.type != TransferType::None || r.urbFunction == URB_FUNCTION_SELECT_CONFIGURATION)
          transfers.push_back(FromTransfer(r));
    }
  }
  Capture capture(options_.bus, options_.address, configDescriptor_, format);
  if (!capture.Open(path, error)) return false;
  for (const BusEvent& e : messages) {
    const std::uint64_t id = capture.NextId();
    capture.Submit(e, id);
    capture.Complete(e, id);
  }
  WriteInBusOrder(capture, transfers);
  return capture.Close(error);
}

}  // namespace hosted::usb

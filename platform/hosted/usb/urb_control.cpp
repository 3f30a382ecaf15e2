// The default pipe's side of the engine (engine_ held): control transfers, the selection
// of a configuration (read from the device, set with SET_CONFIGURATION, pipes handed
// out), pipe resets and the port reset.
#include <algorithm>
#include <cstring>

#include "bus_internal.h"
#include "hosted/kernel/clock.h"

namespace hosted::usb {
namespace {

constexpr std::uint8_t kRequestClearFeature = 1;
constexpr std::uint8_t kRequestGetDescriptor = 6;
constexpr std::uint8_t kRequestSetConfiguration = 9;
constexpr std::uint16_t kFeatureEndpointHalt = 0;
constexpr std::uint8_t kConfigurationType = 2;
constexpr std::uint8_t kInterfaceType = 4;
constexpr std::uint8_t kEndpointType = 5;

struct ParsedInterface {
  std::uint8_t number = 0;
  std::uint8_t alternate = 0;
  std::uint8_t cls = 0;
  std::uint8_t subClass = 0;
  std::uint8_t protocol = 0;
  std::uint8_t declaredEndpoints = 0;
  std::vector<ParsedEndpoint> endpoints;
};

// Walks a configuration set; false when it is malformed (a descriptor shorter than 2
// bytes or running past the end, an interface with fewer endpoints than it declares).
bool ParseConfiguration(const std::vector<std::uint8_t>& set, std::vector<ParsedInterface>& out) {
  if (set.size() < 9 || set[1] != kConfigurationType) return false;
  std::size_t at = set[0];
  while (at + 2 <= set.size()) {
    const std::size_t length = set[at];
    if (length < 2 || at + length > set.size()) return false;
    if (set[at + 1] == kInterfaceType && length >= 9) {
      out.push_back(ParsedInterface{set[at + 2], set[at + 3], set[at + 5], set[at + 6], set[at + 7], set[at + 4], {}});
    } else if (set[at + 1] == kEndpointType && length >= 7 && !out.empty() &&
               out.back().endpoints.size() < out.back().declaredEndpoints) {
      out.back().endpoints.push_back(ParsedEndpoint{set[at + 2], set[at + 3],
                                                    static_cast<std::uint16_t>((set[at + 4] | set[at + 5] << 8) & 0x7FF),
                                                    set[at + 6]});
    }
    at += length;
  }
  return std::all_of(out.begin(), out.end(),
                     [](const ParsedInterface& i) { return i.endpoints.size() == i.declaredEndpoints; });
}

USBD_PIPE_TYPE PipeTypeOf(std::uint8_t attributes) { return static_cast<USBD_PIPE_TYPE>(attributes & 3); }

}  // namespace

ControlResult BusDevice::Impl::DeviceControlLocked(const SetupBytes& setup, std::span<std::uint8_t> data) {
  SetupPacket packet;
  packet.bmRequestType = setup.bmRequestType;
  packet.bRequest = setup.bRequest;
  packet.wValue = setup.wValue;
  packet.wIndex = setup.wIndex;
  packet.wLength = setup.wLength;
  return device_.Control(packet, data.subspan(0, std::min<std::size_t>(data.size(), setup.wLength)));
}

// A control transfer the stack makes by itself, for the message trace.
void BusDevice::Impl::TraceHostControl(const SetupBytes& setup, Handshake handshake,
                                       std::span<const std::uint8_t> data) {
  TraceEvent e;
  e.time = Clock::Now();
  e.event.type = TransferType::Control;
  e.event.in = (setup.bmRequestType & 0x80) != 0;
  e.event.endpoint = e.event.in ? 0x80 : 0x00;
  e.event.setup = SetupPacket{setup.bmRequestType, setup.bRequest, setup.wValue, setup.wIndex, setup.wLength};
  e.event.handshake = handshake;
  e.event.data.assign(data.begin(), data.end());
  std::lock_guard<std::mutex> lock(trace_);
  messages_.push_back(std::move(e));
}

// Runs a request of the default pipe (USB thread, or the caller in synchronous mode).
void BusDevice::Impl::RunControlLocked(Request* r, Completions& local) {
  if (gone_) {
    FinishLocked(r, USBD_STATUS_DEVICE_GONE, local);
    return;
  }
  switch (r->kind) {
    case RequestKind::Control: {
      std::vector<std::uint8_t> out;
      std::span<std::uint8_t> data;
      if (r->in) {
        if (r->length != 0) data = std::span<std::uint8_t>(r->buffer, r->length);
      } else {
        if (r->length != 0) out.assign(r->buffer, r->buffer + r->length);
        data = out;
      }
      const ControlResult result = DeviceControlLocked(r->setup, data);
      if (result.handshake != Handshake::Ack) {
        // The default pipe recovers by itself: it never halts.
        const bool gone = device_.Unplugged();
        const USBD_STATUS failure = result.handshake == Handshake::Timeout    ? USBD_STATUS_DEV_NOT_RESPONDING
                                    : result.handshake == Handshake::CrcError ? USBD_STATUS_CRC
                                                                              : USBD_STATUS_STALL_PID;
        FinishLocked(r, gone ? USBD_STATUS_DEVICE_GONE : failure, local);
        if (gone) HandleUnplugLocked(local);
        return;
      }
      r->done = r->in ? static_cast<ULONG>(std::min<std::size_t>(result.length, r->length)) : r->length;
      FinishLocked(r, USBD_STATUS_SUCCESS, local);
      return;
    }
    case RequestKind::SelectConfiguration:
      ExecuteSelectConfigurationLocked(r, local);
      return;
    case RequestKind::ResetPipe:
      // Both resets clear the host's halt; CLEAR_STALL alone only the device's.
      if (r->function != URB_FUNCTION_SYNC_CLEAR_STALL) r->pipe->halted = false;
      if (r->function != URB_FUNCTION_SYNC_RESET_PIPE) {
        device_.ClearHalt(r->endpoint);
        TraceHostControl(SetupBytes{0x02, kRequestClearFeature, kFeatureEndpointHalt, r->endpoint, 0},
                         Handshake::Ack, {});
      }
      FinishLocked(r, USBD_STATUS_SUCCESS, local);
      return;
    case RequestKind::ResetPort:
      for (auto& pipe : pipes_) CancelPipeLocked(*pipe, USBD_STATUS_CANCELED, local);
      for (const auto& [id, other] : requests_)
        if (other->kind == RequestKind::Transfer) r->waitFor.insert(id);
      barriers_.push_back(r);
      CheckBarriersLocked(local);
      return;
    default:
      FinishLocked(r, USBD_STATUS_INVALID_PARAMETER, local);
      return;
  }
}

// The port reset proper, once the transfers it cancelled have completed: the device is
// reset and, if it was configured, configured again with the same value.
void BusDevice::Impl::ExecuteResetPortLocked(Request* r, Completions& local) {
  if (gone_) {
    FinishLocked(r, USBD_STATUS_DEVICE_GONE, local);
    return;
  }
  device_.BusReset();
  for (auto& pipe : pipes_) pipe->halted = false;
  if (configurationValue_ != 0) {
    const SetupBytes setup{0x00, kRequestSetConfiguration, configurationValue_, 0, 0};
    if (DeviceControlLocked(setup, {}).handshake != Handshake::Ack) {
      FinishLocked(r, USBD_STATUS_SET_CONFIG_FAILED, local);
      return;
    }
  }
  FinishLocked(r, USBD_STATUS_SUCCESS, local);
}

// Pipes of the configuration in force stop being valid; their transfers end cancelled.
void BusDevice::Impl::RetirePipesLocked(Completions& local) {
  for (auto& pipe : pipes_) {
    if (!pipe->valid) continue;
    CancelPipeLocked(*pipe, USBD_STATUS_CANCELED, local);
    pipe->valid = false;
  }
}

// The configuration set whose bConfigurationValue is `value`, read from the device through
// EP0 as the stack does for a selection; empty (with the reason) when it cannot be read.
std::vector<std::uint8_t> BusDevice::Impl::ReadConfigurationLocked(std::uint8_t value, USBD_STATUS& failure) {
  const std::uint8_t configurations = deviceDescriptor_.size() >= 18 ? deviceDescriptor_[17] : 1;
  failure = USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
  for (std::uint8_t index = 0; index < std::max<std::uint8_t>(configurations, 1); ++index) {
    std::vector<std::uint8_t> head(9);
    SetupBytes setup{0x80, kRequestGetDescriptor, static_cast<std::uint16_t>(kConfigurationType << 8 | index), 0, 9};
    ControlResult result = DeviceControlLocked(setup, head);
    if (result.handshake != Handshake::Ack) {
      failure = device_.Unplugged() ? USBD_STATUS_DEVICE_GONE : USBD_STATUS_STALL_PID;
      return {};
    }
    if (result.length < 9 || head[5] != value) continue;
    setup.wLength = static_cast<std::uint16_t>(head[2] | head[3] << 8);
    std::vector<std::uint8_t> set(setup.wLength);
    result = DeviceControlLocked(setup, set);
    set.resize(result.handshake == Handshake::Ack ? std::min<std::size_t>(result.length, set.size()) : 0);
    return set;
  }
  return {};
}

namespace {

using Chosen = std::vector<std::pair<PUSBD_INTERFACE_INFORMATION, const ParsedInterface*>>;

// The URB's interface records (as many as fit in Hdr.Length, at most one per interface
// of the configuration, a zero Length ending the list), each checked against the
// configuration before anything is written.
USBD_STATUS MatchInterfaceRecords(PURB urb, const std::vector<ParsedInterface>& interfaces, Chosen& chosen) {
  PUCHAR at = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
  PUCHAR end = reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
  const std::size_t head = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
  const std::size_t distinct = static_cast<std::size_t>(
      std::count_if(interfaces.begin(), interfaces.end(), [](const ParsedInterface& i) { return i.alternate == 0; }));
  while (chosen.size() < distinct && at + head <= end) {
    auto* record = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at);
    if (record->Length == 0 && !chosen.empty()) break;  // zeroed slack after the last record
    if (record->Length < head || at + record->Length > end) return USBD_STATUS_INVALID_PARAMETER;
    auto match = std::find_if(interfaces.begin(), interfaces.end(), [&](const ParsedInterface& i) {
      return i.number == record->InterfaceNumber && i.alternate == record->AlternateSetting;
    });
    if (match == interfaces.end()) return USBD_STATUS_INTERFACE_NOT_FOUND;
    if (record->Length < head + match->endpoints.size() * sizeof(USBD_PIPE_INFORMATION))
      return USBD_STATUS_BUFFER_TOO_SMALL;
    chosen.emplace_back(record, &*match);
    at += record->Length;
  }
  return chosen.empty() ? USBD_STATUS_INVALID_PARAMETER : USBD_STATUS_SUCCESS;
}

}  // namespace

// SELECT_CONFIGURATION. With no descriptor: SET_CONFIGURATION(0). Otherwise the
// configuration named by the caller's descriptor is read from the device, the URB's
// interface records are checked against it, SET_CONFIGURATION is sent, and the records
// are filled as Windows fills them: class codes, handles, one pipe per endpoint.
void BusDevice::Impl::ExecuteSelectConfigurationLocked(Request* r, Completions& local) {
  auto& select = r->urb->UrbSelectConfiguration;
  const std::uint8_t wanted =
      select.ConfigurationDescriptor != nullptr ? select.ConfigurationDescriptor->bConfigurationValue : 0;
  r->setup = SetupBytes{0x00, kRequestSetConfiguration, wanted, 0, 0};  // what the log shows of it
  std::vector<ParsedInterface> interfaces;
  Chosen chosen;
  if (select.ConfigurationDescriptor != nullptr) {
    USBD_STATUS failure;
    const std::vector<std::uint8_t> set = ReadConfigurationLocked(wanted, failure);
    if (set.empty() || !ParseConfiguration(set, interfaces)) {
      FinishLocked(r, set.empty() ? failure : USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR, local);
      return;
    }
    const USBD_STATUS matched = MatchInterfaceRecords(r->urb, interfaces, chosen);
    if (matched != USBD_STATUS_SUCCESS) {
      FinishLocked(r, matched, local);
      return;
    }
  }
  if (DeviceControlLocked(SetupBytes{0x00, kRequestSetConfiguration, wanted, 0, 0}, {}).handshake !=
      Handshake::Ack) {
    FinishLocked(r, device_.Unplugged() ? USBD_STATUS_DEVICE_GONE : USBD_STATUS_SET_CONFIG_FAILED, local);
    return;
  }
  RetirePipesLocked(local);
  ++generation_;
  std::uintptr_t pipeNumber = 0;
  for (auto& [record, parsed] : chosen) {
    record->Class = parsed->cls;
    record->SubClass = parsed->subClass;
    record->Protocol = parsed->protocol;
    record->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(kInterfaceHandleBase | generation_ << 8 | parsed->number);
    record->NumberOfPipes = static_cast<ULONG>(parsed->endpoints.size());
    for (std::size_t i = 0; i < parsed->endpoints.size(); ++i) {
      const ULONG flags = record->Pipes[i].PipeFlags;  // the client's, kept
      record->Pipes[i] = AddPipeLocked(parsed->endpoints[i], kPipeHandleBase | generation_ << 12 | ++pipeNumber);
      record->Pipes[i].PipeFlags = flags;
    }
  }
  configurationValue_ = wanted;
  select.ConfigurationHandle =
      wanted != 0 ? reinterpret_cast<USBD_CONFIGURATION_HANDLE>(kConfigurationHandleBase | generation_) : nullptr;
  FinishLocked(r, USBD_STATUS_SUCCESS, local);
}

// A new pipe of the configuration in force, and the record the client gets for it.
USBD_PIPE_INFORMATION BusDevice::Impl::AddPipeLocked(const ParsedEndpoint& e, std::uintptr_t handle) {
  auto pipe = std::make_unique<Pipe>();
  pipe->handle = handle;
  pipe->endpoint = e.address;
  pipe->type = PipeTypeOf(e.attributes);
  pipe->maxPacket = e.maxPacket;
  pipe->interval = e.interval;
  USBD_PIPE_INFORMATION info{};
  info.MaximumPacketSize = e.maxPacket;
  info.EndpointAddress = e.address;
  info.Interval = e.interval;
  info.PipeType = pipe->type;
  info.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(pipe->handle);
  info.MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
  pipes_.push_back(std::move(pipe));
  return info;
}

}  // namespace hosted::usb

// IOCTL_INTERNAL_USB_SUBMIT_URB: checks each URB as the Windows stack does on arrival and
// turns the accepted ones into requests for the engine. Refused URBs complete at once in
// the caller's thread.
#include <cstring>

#include "bus_internal.h"
#include "hosted/kernel/clock.h"
#include "hosted/kernel/verifier.h"

namespace hosted::usb {

// The URBs that stand for one control transfer on the default pipe: their layout, and
// the bmRequestType and bRequest they make (for class, vendor and raw control transfers
// bRequest comes from the URB, for class and vendor requests also the direction).
enum class Layout : std::uint8_t { Descriptor, VendorClass, Raw, Status, Feature, Configuration, Interface };

struct ControlFamily {
  USHORT function;
  Layout layout;
  std::uint8_t requestType;
  std::uint8_t request;
};

namespace {

constexpr USHORT kLastUrbFunction = URB_FUNCTION_ISOCH_TRANSFER_USING_CHAINED_MDL;

constexpr ControlFamily kControlFamilies[] = {
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, Layout::Descriptor, 0x80, 6},
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE, Layout::Descriptor, 0x81, 6},
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT, Layout::Descriptor, 0x82, 6},
    {URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE, Layout::Descriptor, 0x00, 7},
    {URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE, Layout::Descriptor, 0x01, 7},
    {URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT, Layout::Descriptor, 0x02, 7},
    {URB_FUNCTION_CLASS_DEVICE, Layout::VendorClass, 0x20, 0},
    {URB_FUNCTION_CLASS_INTERFACE, Layout::VendorClass, 0x21, 0},
    {URB_FUNCTION_CLASS_ENDPOINT, Layout::VendorClass, 0x22, 0},
    {URB_FUNCTION_CLASS_OTHER, Layout::VendorClass, 0x23, 0},
    {URB_FUNCTION_VENDOR_DEVICE, Layout::VendorClass, 0x40, 0},
    {URB_FUNCTION_VENDOR_INTERFACE, Layout::VendorClass, 0x41, 0},
    {URB_FUNCTION_VENDOR_ENDPOINT, Layout::VendorClass, 0x42, 0},
    {URB_FUNCTION_VENDOR_OTHER, Layout::VendorClass, 0x43, 0},
    {URB_FUNCTION_CONTROL_TRANSFER, Layout::Raw, 0, 0},
    {URB_FUNCTION_GET_STATUS_FROM_DEVICE, Layout::Status, 0x80, 0},
    {URB_FUNCTION_GET_STATUS_FROM_INTERFACE, Layout::Status, 0x81, 0},
    {URB_FUNCTION_GET_STATUS_FROM_ENDPOINT, Layout::Status, 0x82, 0},
    {URB_FUNCTION_GET_STATUS_FROM_OTHER, Layout::Status, 0x83, 0},
    {URB_FUNCTION_SET_FEATURE_TO_DEVICE, Layout::Feature, 0x00, 3},
    {URB_FUNCTION_SET_FEATURE_TO_INTERFACE, Layout::Feature, 0x01, 3},
    {URB_FUNCTION_SET_FEATURE_TO_ENDPOINT, Layout::Feature, 0x02, 3},
    {URB_FUNCTION_SET_FEATURE_TO_OTHER, Layout::Feature, 0x03, 3},
    {URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE, Layout::Feature, 0x00, 1},
    {URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE, Layout::Feature, 0x01, 1},
    {URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, Layout::Feature, 0x02, 1},
    {URB_FUNCTION_CLEAR_FEATURE_TO_OTHER, Layout::Feature, 0x03, 1},
    {URB_FUNCTION_GET_CONFIGURATION, Layout::Configuration, 0x80, 8},
    {URB_FUNCTION_GET_INTERFACE, Layout::Interface, 0x81, 10},
};

const ControlFamily* ControlFamilyOf(USHORT function) {
  for (const ControlFamily& f : kControlFamilies)
    if (f.function == function) return &f;
  return nullptr;
}

std::size_t SizeOf(Layout layout) {
  switch (layout) {
    case Layout::Descriptor:
      return sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    case Layout::VendorClass:
      return sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    case Layout::Raw:
      return sizeof(struct _URB_CONTROL_TRANSFER);
    case Layout::Status:
      return sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);
    case Layout::Feature:
      return sizeof(struct _URB_CONTROL_FEATURE_REQUEST);
    case Layout::Configuration:
      return sizeof(struct _URB_CONTROL_GET_CONFIGURATION_REQUEST);
    case Layout::Interface:
      break;
  }
  return sizeof(struct _URB_CONTROL_GET_INTERFACE_REQUEST);
}

// The buffer a URB names: TransferBuffer, else the MDL's system address.
PUCHAR TransferBufferOf(PVOID buffer, PMDL mdl) {
  if (buffer != nullptr) return static_cast<PUCHAR>(buffer);
  if (mdl != nullptr) return static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
  return nullptr;
}

// URBs with a transfer buffer (their TransferBufferLength sits at the same offset in
// every layout).
bool MovesData(USHORT function) {
  const ControlFamily* family = ControlFamilyOf(function);
  return function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER || (family != nullptr && family->layout != Layout::Feature);
}

void CheckPassive(const char* what) {
  if (KeGetCurrentIrql() > PASSIVE_LEVEL)
    Verifier::Report(Check::IrqlInvalid, "IOCTL_INTERNAL_USB_SUBMIT_URB",
                     std::string(what) + " submitted above PASSIVE_LEVEL");
}

}  // namespace

// Completes the IRP in the caller's thread with `usbd` (and its NTSTATUS); logged. A
// refused transfer moved nothing: its TransferBufferLength comes back 0, so that no
// client counts bytes that never arrived.
NTSTATUS BusDevice::Impl::Refuse(PIRP irp, PURB urb, USBD_STATUS usbd) {
  const NTSTATUS status = NtStatusForUsbd(usbd);
  TransferRecord record;
  {
    std::lock_guard<std::mutex> lock(engine_);
    record.sequence = ++nextId_;
    record.submitOrder = ++nextOrder_;
    record.completeOrder = ++nextOrder_;
  }
  record.submitted = record.completed = Clock::Now();
  record.ioControlCode = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
  if (urb != nullptr) {
    record.urbFunction = urb->UrbHeader.Function;
    urb->UrbHeader.Status = usbd;
    if (MovesData(urb->UrbHeader.Function) && urb->UrbHeader.Length >= sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER))
      urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
  }
  record.usbdStatus = usbd;
  record.status = status;
  {
    std::lock_guard<std::mutex> lock(trace_);
    log_.push_back(std::move(record));
  }
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// Dispatch of IOCTL_INTERNAL_USB_SUBMIT_URB (IRQL <= DISPATCH_LEVEL): one URB.
NTSTATUS BusDevice::Impl::SubmitUrb(PIRP irp) {
  PURB urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
  if (urb == nullptr) return Refuse(irp, nullptr, USBD_STATUS_INVALID_PARAMETER);
  if (urb->UrbHeader.Length < sizeof(struct _URB_HEADER)) return Refuse(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  urb->UrbHeader.UsbdDeviceHandle = reinterpret_cast<PVOID>(kDeviceHandleBase | options_.address);
  bool gone;
  {
    std::lock_guard<std::mutex> lock(engine_);
    gone = gone_;
  }
  if (gone) return Refuse(irp, urb, USBD_STATUS_DEVICE_GONE);
  const USHORT function = urb->UrbHeader.Function;
  if (const ControlFamily* family = ControlFamilyOf(function)) return SubmitControlUrb(irp, urb, *family);
  switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
      CheckPassive("URB_FUNCTION_SELECT_CONFIGURATION");
      return SubmitSelectConfiguration(irp, urb);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      return SubmitTransfer(irp, urb);
    case URB_FUNCTION_ABORT_PIPE:
      return SubmitAbort(irp, urb);
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
      CheckPassive("a pipe reset");
      return SubmitResetPipe(irp, urb);
    default:
      // Functions of the USB interface that this stand-in does not serve (isochronous,
      // frame control, streams, ...) are refused as invalid requests; codes beyond the
      // last defined function are unknown.
      return Refuse(irp, urb, function <= kLastUrbFunction ? USBD_STATUS_INVALID_PARAMETER
                                                            : USBD_STATUS_INVALID_URB_FUNCTION);
  }
}

// A standard, class or vendor request, or a raw control transfer: its setup packet, buffer
// and direction, read from the URB once its size has been checked.
NTSTATUS BusDevice::Impl::SubmitControlUrb(PIRP irp, PURB urb, const ControlFamily& family) {
  if (urb->UrbHeader.Length < SizeOf(family.layout)) return Refuse(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  SetupBytes setup{family.requestType, family.request, 0, 0, 0};
  bool in = (family.requestType & 0x80) != 0;
  PVOID buffer = nullptr;
  ULONG length = 0;
  switch (family.layout) {
    case Layout::Descriptor: {
      auto& d = urb->UrbControlDescriptorRequest;
      setup.wValue = static_cast<std::uint16_t>(d.DescriptorType << 8 | d.Index);
      setup.wIndex = d.LanguageId;
      buffer = TransferBufferOf(d.TransferBuffer, d.TransferBufferMDL);
      length = d.TransferBufferLength;
      break;
    }
    case Layout::VendorClass: {
      auto& v = urb->UrbControlVendorClassRequest;
      in = (v.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
      setup.bmRequestType = static_cast<std::uint8_t>(family.requestType | v.RequestTypeReservedBits);
      setup.bRequest = v.Request;
      setup.wValue = v.Value;
      setup.wIndex = v.Index;
      buffer = TransferBufferOf(v.TransferBuffer, v.TransferBufferMDL);
      length = v.TransferBufferLength;
      break;
    }
    case Layout::Raw: {
      auto& c = urb->UrbControlTransfer;
      if (c.PipeHandle != nullptr && (c.TransferFlags & USBD_DEFAULT_PIPE_TRANSFER) == 0)
        return Refuse(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);  // this stack gives out no control pipes
      const UCHAR* p = c.SetupPacket;
      setup = SetupBytes{p[0], p[1], static_cast<std::uint16_t>(p[2] | p[3] << 8),
                         static_cast<std::uint16_t>(p[4] | p[5] << 8), 0};
      in = (c.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
      buffer = TransferBufferOf(c.TransferBuffer, c.TransferBufferMDL);
      length = c.TransferBufferLength;
      break;
    }
    case Layout::Status: {
      auto& g = urb->UrbControlGetStatusRequest;
      setup.wIndex = g.Index;
      buffer = TransferBufferOf(g.TransferBuffer, g.TransferBufferMDL);
      length = g.TransferBufferLength;
      break;
    }
    case Layout::Feature:
      setup.wValue = urb->UrbControlFeatureRequest.FeatureSelector;
      setup.wIndex = urb->UrbControlFeatureRequest.Index;
      break;
    case Layout::Configuration: {
      auto& g = urb->UrbControlGetConfigurationRequest;
      buffer = TransferBufferOf(g.TransferBuffer, g.TransferBufferMDL);
      length = g.TransferBufferLength;
      break;
    }
    case Layout::Interface: {
      auto& g = urb->UrbControlGetInterfaceRequest;
      setup.wIndex = g.Interface;
      buffer = TransferBufferOf(g.TransferBuffer, g.TransferBufferMDL);
      length = g.TransferBufferLength;
      break;
    }
  }
  return SubmitControl(irp, urb, setup, buffer, length, in);
}

// A control transfer on the default pipe. wLength is the transfer length; a buffer is
// needed for a data stage.
NTSTATUS BusDevice::Impl::SubmitControl(PIRP irp, PURB urb, const SetupBytes& setup, PVOID buffer, ULONG length,
                                        bool in) {
  if (length > 0xFFFF || (length != 0 && buffer == nullptr)) return Refuse(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  auto r = std::make_unique<Request>();
  r->kind = RequestKind::Control;
  r->irp = irp;
  r->urb = urb;
  r->ioControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  r->function = urb->UrbHeader.Function;
  r->type = TransferType::Control;
  r->in = in;
  r->endpoint = in ? 0x80 : 0x00;
  r->maxPacket = deviceDescriptor_.size() > 7 ? deviceDescriptor_[7] : 64;
  r->buffer = static_cast<PUCHAR>(buffer);
  r->length = length;
  r->setup = setup;
  r->setup.bmRequestType = static_cast<std::uint8_t>((setup.bmRequestType & 0x7F) | (in ? 0x80 : 0x00));
  r->setup.wLength = static_cast<std::uint16_t>(length);
  return Accept(std::move(r));
}

// A bulk or interrupt transfer: the pipe handle must name a pipe of the current
// configuration; the direction is the endpoint's (the direction flag is set to match).
NTSTATUS BusDevice::Impl::SubmitTransfer(PIRP irp, PURB urb) {
  if (urb->UrbHeader.Length < sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER))
    return Refuse(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  auto& t = urb->UrbBulkOrInterruptTransfer;
  Pipe* pipe;
  {
    std::lock_guard<std::mutex> lock(engine_);
    pipe = FindPipeLocked(t.PipeHandle);
  }
  if (pipe == nullptr) return Refuse(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
  if (pipe->type != UsbdPipeTypeBulk && pipe->type != UsbdPipeTypeInterrupt)
    return Refuse(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  PUCHAR buffer = TransferBufferOf(t.TransferBuffer, t.TransferBufferMDL);
  if (t.TransferBufferLength != 0 && buffer == nullptr) return Refuse(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  if (pipe->In())
    t.TransferFlags |= USBD_TRANSFER_DIRECTION_IN;
  else
    t.TransferFlags &= ~static_cast<ULONG>(USBD_TRANSFER_DIRECTION_IN);
  auto r = std::make_unique<Request>();
  r->kind = RequestKind::Transfer;
  r->irp = irp;
  r->urb = urb;
  r->ioControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  r->function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  r->pipe = pipe;
  r->type = pipe->type == UsbdPipeTypeInterrupt ? TransferType::Interrupt : TransferType::Bulk;
  r->in = pipe->In();
  r->endpoint = pipe->endpoint;
  r->maxPacket = pipe->maxPacket != 0 ? pipe->maxPacket : 64;
  r->buffer = buffer;
  r->length = t.TransferBufferLength;
  r->shortOk = (t.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
  return Accept(std::move(r));
}

// ABORT_PIPE (IRQL <= DISPATCH_LEVEL): every transfer pending on the pipe completes
// cancelled before the abort does.
NTSTATUS BusDevice::Impl::SubmitAbort(PIRP irp, PURB urb) {
  if (urb->UrbHeader.Length < sizeof(struct _URB_PIPE_REQUEST)) return Refuse(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  Pipe* pipe;
  {
    std::lock_guard<std::mutex> lock(engine_);
    pipe = FindPipeLocked(urb->UrbPipeRequest.PipeHandle);
  }
  if (pipe == nullptr) return Refuse(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
  auto r = std::make_unique<Request>();
  r->kind = RequestKind::Abort;
  r->irp = irp;
  r->urb = urb;
  r->ioControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  r->function = URB_FUNCTION_ABORT_PIPE;
  r->pipe = pipe;
  r->endpoint = pipe->endpoint;
  r->in = pipe->In();
  return Accept(std::move(r));
}

// Pipe resets (PASSIVE_LEVEL): refused while transfers are still queued on the pipe (the
// client must abort them first); otherwise the halt is cleared on the device.
NTSTATUS BusDevice::Impl::SubmitResetPipe(PIRP irp, PURB urb) {
  if (urb->UrbHeader.Length < sizeof(struct _URB_PIPE_REQUEST)) return Refuse(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  Pipe* pipe;
  bool busy = false;
  {
    std::lock_guard<std::mutex> lock(engine_);
    pipe = FindPipeLocked(urb->UrbPipeRequest.PipeHandle);
    busy = pipe != nullptr && !pipe->queue.empty();
  }
  if (pipe == nullptr) return Refuse(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
  if (busy) return Refuse(irp, urb, USBD_STATUS_ERROR_BUSY);
  auto r = std::make_unique<Request>();
  r->kind = RequestKind::ResetPipe;
  r->irp = irp;
  r->urb = urb;
  r->ioControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  r->function = urb->UrbHeader.Function;
  r->pipe = pipe;
  r->endpoint = pipe->endpoint;
  r->in = pipe->In();
  return Accept(std::move(r));
}

// SELECT_CONFIGURATION: checked here for its size; the configuration itself is read from
// the device and set by the engine.
NTSTATUS BusDevice::Impl::SubmitSelectConfiguration(PIRP irp, PURB urb) {
  const bool deconfigure = urb->UrbSelectConfiguration.ConfigurationDescriptor == nullptr;
  const std::size_t minimum = deconfigure ? offsetof(struct _URB_SELECT_CONFIGURATION, Interface)
                                          : offsetof(struct _URB_SELECT_CONFIGURATION, Interface) +
                                                offsetof(USBD_INTERFACE_INFORMATION, Pipes);
  if (urb->UrbHeader.Length < minimum) return Refuse(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  auto r = std::make_unique<Request>();
  r->kind = RequestKind::SelectConfiguration;
  r->irp = irp;
  r->urb = urb;
  r->ioControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  r->function = URB_FUNCTION_SELECT_CONFIGURATION;
  return Accept(std::move(r));
}

// IOCTL_INTERNAL_USB_RESET_PORT (PASSIVE_LEVEL): transfers pending on any pipe complete
// cancelled, then the port is reset and the configuration restored (pipe handles stay).
NTSTATUS BusDevice::Impl::SubmitResetPort(PIRP irp) {
  if (KeGetCurrentIrql() > PASSIVE_LEVEL)
    Verifier::Report(Check::IrqlInvalid, "IOCTL_INTERNAL_USB_RESET_PORT", "sent above PASSIVE_LEVEL");
  auto r = std::make_unique<Request>();
  r->kind = RequestKind::ResetPort;
  r->irp = irp;
  r->ioControlCode = IOCTL_INTERNAL_USB_RESET_PORT;
  return Accept(std::move(r));
}

Pipe* BusDevice::Impl::FindPipeLocked(USBD_PIPE_HANDLE handle) {
  const auto value = reinterpret_cast<std::uintptr_t>(handle);
  for (const auto& pipe : pipes_)
    if (pipe->valid && pipe->handle == value) return pipe.get();
  return nullptr;
}

// One URB-log record per request (trace_ is a leaf under engine_).
void BusDevice::Impl::LogLocked(const Request& r) {
  TransferRecord record;
  record.sequence = r.id;
  record.submitted = r.submitted;
  record.completed = r.completed;
  record.submitOrder = r.submitOrder;
  record.completeOrder = r.completeOrder;
  record.ioControlCode = r.ioControlCode;
  record.urbFunction = r.function;
  record.type = r.type;
  record.endpoint = r.endpoint;
  record.in = r.in;
  record.setup = r.setup;
  record.requested = r.length;
  record.data = r.moved;
  record.usbdStatus = r.usbdStatus;
  record.status = r.status;
  std::lock_guard<std::mutex> lock(trace_);
  log_.push_back(std::move(record));
}

}  // namespace hosted::usb

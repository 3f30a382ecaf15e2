#include "urb_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace usb_test {
namespace {

std::atomic<std::uint64_t> g_completions{0};

}  // namespace

std::uint64_t CompletionCount() { return g_completions.load(); }

Submission::Submission(PDEVICE_OBJECT pdo, ULONG ioControlCode, std::size_t urbLength, Bytes buffer)
    : pdo_(pdo),
      ioControlCode_(ioControlCode),
      urb_(std::max(urbLength, sizeof(URB))),
      buffer_(std::move(buffer)),
      length_(static_cast<ULONG>(buffer_.size())) {
  buffer_.insert(buffer_.end(), kGuardBytes, kGuardByte);
  if (urbLength != 0) {
    Urb()->UrbHeader.Length = static_cast<USHORT>(urbLength);
  }
  KeInitializeEvent(&event_, NotificationEvent, FALSE);
}

Submission::Submission(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor, std::function<void(PIO_STACK_LOCATION)> prepare)
    : pdo_(pdo), major_(major), minor_(minor), prepare_(std::move(prepare)), urb_(sizeof(URB)), length_(0) {
  KeInitializeEvent(&event_, NotificationEvent, FALSE);
}

Submission::~Submission() {
  if (sent_ && !waited_) {
    Cancel();
    Wait();
  }
}

// Sends the IRP as a client driver does: its own IRP, the request in the next stack
// location, a completion routine that keeps the IRP.
NTSTATUS Submission::Send() {
  irp_ = IoAllocateIrp(pdo_->StackSize, FALSE);
  if (irp_ == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
  next->MajorFunction = major_;
  next->MinorFunction = minor_;
  if (major_ == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
    next->Parameters.DeviceIoControl.IoControlCode = ioControlCode_;
    // The URB, or for other requests (the port status) the same block as their argument.
    next->Parameters.Others.Argument1 =
        ioControlCode_ == IOCTL_INTERNAL_USB_RESET_PORT || nullArgument ? nullptr : Urb();
  } else {
    irp_->IoStatus.Status = STATUS_NOT_SUPPORTED;
    if (prepare_) prepare_(next);
  }
  IoSetCompletionRoutine(irp_, &Submission::OnComplete, this, TRUE, TRUE, TRUE);
  sent_ = true;
  result_.dispatch = IoCallDriver(pdo_, irp_);
  return result_.dispatch;
}

NTSTATUS NTAPI Submission::OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* self = static_cast<Submission*>(context);
  self->result_.irql = KeGetCurrentIrql();
  self->result_.thread = std::this_thread::get_id();
  self->result_.status = irp->IoStatus.Status;
  self->result_.order = ++g_completions;
  KeSetEvent(&self->event_, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;  // the IRP stays ours; Wait() frees it
}

bool Submission::Completed() const { return KeReadStateEvent(const_cast<PKEVENT>(&event_)) != 0; }

UrbResult Submission::Wait() {
  if (!sent_ || waited_) return result_;
  // A request that never completes fails the test instead of hanging it: an hour of
  // kernel time, a few seconds of real time on the accelerated clock.
  LARGE_INTEGER timeout;
  timeout.QuadPart = -36000000000LL;
  if (KeWaitForSingleObject(&event_, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
    ADD_FAILURE() << "the request was never completed";
    waited_ = true;
    result_.status = STATUS_TIMEOUT;
    return result_;
  }
  waited_ = true;
  IoFreeIrp(irp_);
  irp_ = nullptr;
  if (major_ == IRP_MJ_INTERNAL_DEVICE_CONTROL && ioControlCode_ == IOCTL_INTERNAL_USB_SUBMIT_URB) {
    result_.usbd = Urb()->UrbHeader.Status;
    result_.length = Urb()->UrbBulkOrInterruptTransfer.TransferBufferLength;
  }
  const ULONG kept = std::min(result_.length, length_);
  result_.data.assign(buffer_.begin(), buffer_.begin() + kept);
  result_.guardIntact =
      std::all_of(buffer_.begin() + length_, buffer_.end(), [](std::uint8_t b) { return b == kGuardByte; });
  return result_;
}

BOOLEAN Submission::Cancel() { return irp_ != nullptr ? IoCancelIrp(irp_) : FALSE; }

std::unique_ptr<Submission> DescriptorRequest(PDEVICE_OBJECT pdo, std::uint8_t type, std::uint8_t index, ULONG length,
                                              USHORT language) {
  auto s = std::make_unique<Submission>(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB,
                                        sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), Bytes(length, 0xEE));
  UsbBuildGetDescriptorRequest(s->Urb(), sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, index, language,
                               s->Buffer(), nullptr, length, nullptr);
  return s;
}

std::unique_ptr<Submission> ClassOrVendorRequest(PDEVICE_OBJECT pdo, USHORT function, bool in, std::uint8_t request,
                                                 USHORT value, USHORT index, Bytes buffer) {
  auto s = std::make_unique<Submission>(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB,
                                        sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), std::move(buffer));
  UsbBuildVendorRequest(s->Urb(), function, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                        (in ? USBD_TRANSFER_DIRECTION_IN : 0) | USBD_SHORT_TRANSFER_OK, 0, request, value, index,
                        s->Buffer(), nullptr, s->BufferLength(), nullptr);
  return s;
}

std::unique_ptr<Submission> TransferRequest(PDEVICE_OBJECT pdo, USBD_PIPE_HANDLE pipe, bool in, Bytes buffer,
                                            bool shortOk) {
  auto s = std::make_unique<Submission>(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB,
                                        sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), std::move(buffer));
  const ULONG flags = (shortOk ? USBD_SHORT_TRANSFER_OK : 0) | (in ? USBD_TRANSFER_DIRECTION_IN : 0);
  UsbBuildInterruptOrBulkTransferRequest(s->Urb(), sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, s->Buffer(),
                                         nullptr, s->BufferLength(), flags, nullptr);
  return s;
}

std::unique_ptr<Submission> PipeRequest(PDEVICE_OBJECT pdo, USHORT function, USBD_PIPE_HANDLE pipe) {
  auto s = std::make_unique<Submission>(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, sizeof(struct _URB_PIPE_REQUEST));
  s->Urb()->UrbHeader.Function = function;
  s->Urb()->UrbPipeRequest.PipeHandle = pipe;
  return s;
}

std::unique_ptr<Submission> ResetPortRequest(PDEVICE_OBJECT pdo) {
  return std::make_unique<Submission>(pdo, IOCTL_INTERNAL_USB_RESET_PORT, 0);
}

std::unique_ptr<Submission> SelectConfigurationRequest(PDEVICE_OBJECT pdo, const Bytes& configuration,
                                                       const std::vector<InterfaceChoice>& interfaces,
                                                       int recordSlack) {
  std::size_t length = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
  for (const InterfaceChoice& i : interfaces)
    length += GET_USBD_INTERFACE_SIZE(std::max<std::uint8_t>(i.endpoints, 1)) + recordSlack;
  // The configuration descriptor travels in the transfer buffer so that it outlives the call.
  auto s = std::make_unique<Submission>(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, length, configuration);
  UsbBuildSelectConfigurationRequest(s->Urb(), static_cast<USHORT>(length),
                                     configuration.empty() ? nullptr
                                                           : reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(s->Buffer()));
  PUCHAR at = reinterpret_cast<PUCHAR>(&s->Urb()->UrbSelectConfiguration.Interface);
  for (const InterfaceChoice& i : interfaces) {
    auto* record = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at);
    record->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(std::max<std::uint8_t>(i.endpoints, 1)) + recordSlack);
    record->InterfaceNumber = i.number;
    record->AlternateSetting = i.alternate;
    record->NumberOfPipes = i.endpoints;
    for (std::uint8_t p = 0; p < i.endpoints; ++p) record->Pipes[p].MaximumTransferSize = 4096;
    at += record->Length;
  }
  return s;
}

PUSBD_INTERFACE_INFORMATION InterfaceRecord(Submission& select, std::size_t index) {
  PUCHAR at = reinterpret_cast<PUCHAR>(&select.Urb()->UrbSelectConfiguration.Interface);
  for (std::size_t i = 0; i < index; ++i) at += reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at)->Length;
  return reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at);
}

UrbResult UrbHost::Run(std::unique_ptr<Submission> s) { return Run(*s); }

UrbResult UrbHost::Run(Submission& s) {
  s.Send();
  return s.Wait();
}

std::optional<Bytes> UrbHost::GetDescriptor(std::uint8_t type, std::uint8_t index, ULONG length) {
  UrbResult r = Run(DescriptorRequest(pdo_, type, index, length));
  if (r.status != STATUS_SUCCESS) return std::nullopt;
  return r.data;
}

bool UrbHost::Configure(std::uint8_t interfaceClass) {
  auto head = GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 9);
  if (!head || head->size() < 9) return false;
  auto set = GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, (*head)[2] | (*head)[3] << 8);
  if (!set) return false;
  std::optional<InterfaceChoice> smartCard;
  for (std::size_t at = 0; at + 9 <= set->size() && (*set)[at] >= 2; at += (*set)[at]) {
    if ((*set)[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && (*set)[at + 5] == interfaceClass && !smartCard)
      smartCard = InterfaceChoice{(*set)[at + 2], (*set)[at + 3], (*set)[at + 4]};
  }
  if (!smartCard) return false;
  auto select = SelectConfigurationRequest(pdo_, *set, {*smartCard});
  if (Run(*select).status != STATUS_SUCCESS) return false;
  smartCardInterface = smartCard->number;
  PUSBD_INTERFACE_INFORMATION record = InterfaceRecord(*select, 0);
  for (ULONG i = 0; i < record->NumberOfPipes; ++i) {
    const USBD_PIPE_INFORMATION& p = record->Pipes[i];
    if (p.PipeType == UsbdPipeTypeInterrupt)
      interruptIn = p.PipeHandle;
    else if ((p.EndpointAddress & 0x80) == 0)
      bulkOut = p.PipeHandle;
    else
      bulkIn = p.PipeHandle;
  }
  return true;
}

UrbResult UrbHost::Write(const Bytes& message) { return Run(TransferRequest(pdo_, bulkOut, false, message)); }
UrbResult UrbHost::Read(ULONG length) { return Run(TransferRequest(pdo_, bulkIn, true, Bytes(length, 0xEE))); }
UrbResult UrbHost::ReadInterrupt(ULONG length) {
  return Run(TransferRequest(pdo_, interruptIn, true, Bytes(length, 0xEE)));
}

std::unique_ptr<Submission> UrbHost::StartRead(ULONG length) {
  auto s = TransferRequest(pdo_, bulkIn, true, Bytes(length, 0xEE));
  s->Send();
  return s;
}

std::unique_ptr<Submission> UrbHost::StartInterrupt(ULONG length) {
  auto s = TransferRequest(pdo_, interruptIn, true, Bytes(length, 0xEE));
  s->Send();
  return s;
}

std::optional<Bytes> UrbHost::Exchange(const Bytes& command, int* timeExtensions) {
  if (Write(command).status != STATUS_SUCCESS) return std::nullopt;
  int waits = 0;
  for (;;) {
    UrbResult r = ReadMessage();
    if (r.status != STATUS_SUCCESS) return std::nullopt;
    if (r.data.size() >= 10 && (r.data[7] >> 6) == 2) {
      ++waits;
      continue;
    }
    if (timeExtensions != nullptr) *timeExtensions = waits;
    return r.data;
  }
}

UrbResult UrbHost::ClassRequest(bool in, std::uint8_t request, USHORT value, Bytes buffer) {
  return Run(ClassOrVendorRequest(pdo_, URB_FUNCTION_CLASS_INTERFACE, in, request, value, smartCardInterface,
                                  std::move(buffer)));
}

UrbResult UrbHost::Abort(USBD_PIPE_HANDLE pipe) { return Run(PipeRequest(pdo_, URB_FUNCTION_ABORT_PIPE, pipe)); }
UrbResult UrbHost::ResetPipe(USBD_PIPE_HANDLE pipe) {
  return Run(PipeRequest(pdo_, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, pipe));
}
UrbResult UrbHost::ResetPort() { return Run(ResetPortRequest(pdo_)); }

}  // namespace usb_test

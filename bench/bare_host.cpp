#include "bare_host.h"

#include <usbdlib.h>
#include <usbioctl.h>

#include <cstring>

namespace ccid_bench {
namespace {

constexpr ULONG kLongestAnswer = 0x10000 + 10;

// Completion of a bare transfer (DISPATCH_LEVEL): wakes the sender, who frees the IRP.
NTSTATUS NTAPI TransferDone(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;  // the sender frees the IRP
}

// Sends an internal device-control request carrying `urb` and waits for it.
NTSTATUS SubmitAndWait(PDEVICE_OBJECT pdo, PURB urb) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = urb;
  IoSetCompletionRoutine(irp, TransferDone, &done, TRUE, TRUE, TRUE);
  IoCallDriver(pdo, irp);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  const NTSTATUS status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  return status;
}

}  // namespace

BareHost::BareHost(PDEVICE_OBJECT pdo, const Bytes& configuration) : pdo_(pdo), answer_(kLongestAnswer) {
  Bytes set = configuration;
  auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(set.data());
  PUSB_INTERFACE_DESCRIPTOR smartCard =
      USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, 0x0B, -1, -1);
  if (smartCard == nullptr) return;
  USBD_INTERFACE_LIST_ENTRY list[2] = {{smartCard, nullptr}, {nullptr, nullptr}};
  PURB select = USBD_CreateConfigurationRequestEx(config, list);
  if (select == nullptr) return;
  if (SubmitAndWait(pdo, select) == STATUS_SUCCESS) {
    PUSBD_INTERFACE_INFORMATION record = list[0].Interface;
    for (ULONG i = 0; i < record->NumberOfPipes; ++i) {
      const USBD_PIPE_INFORMATION& pipe = record->Pipes[i];
      if (pipe.PipeType == UsbdPipeTypeInterrupt) {
        interruptIn_ = pipe.PipeHandle;
      } else if ((pipe.EndpointAddress & 0x80) == 0) {
        bulkOut_ = pipe.PipeHandle;
      } else {
        bulkIn_ = pipe.PipeHandle;
      }
    }
  }
  ExFreePool(select);
}

NTSTATUS BareHost::Start(Transfer& transfer, USBD_PIPE_HANDLE pipe, void* buffer, ULONG length, bool in) {
  std::memset(&transfer.urb, 0, sizeof(transfer.urb));
  UsbBuildInterruptOrBulkTransferRequest(reinterpret_cast<PURB>(&transfer.urb), sizeof(transfer.urb), pipe, buffer,
                                         nullptr, length,
                                         USBD_SHORT_TRANSFER_OK | (in ? USBD_TRANSFER_DIRECTION_IN : 0), nullptr);
  KeInitializeEvent(&transfer.done, NotificationEvent, FALSE);
  transfer.irp = IoAllocateIrp(pdo_->StackSize, FALSE);
  if (transfer.irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(transfer.irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = &transfer.urb;
  IoSetCompletionRoutine(transfer.irp, TransferDone, &transfer.done, TRUE, TRUE, TRUE);
  IoCallDriver(pdo_, transfer.irp);
  return STATUS_SUCCESS;
}

NTSTATUS BareHost::Finish(Transfer& transfer, ULONG* length) {
  KeWaitForSingleObject(&transfer.done, Executive, KernelMode, FALSE, nullptr);
  const NTSTATUS status = transfer.irp->IoStatus.Status;
  *length = transfer.urb.TransferBufferLength;
  IoFreeIrp(transfer.irp);
  transfer.irp = nullptr;
  return status;
}

NTSTATUS BareHost::Write(std::span<const std::uint8_t> message) {
  Transfer transfer;
  NTSTATUS status = Start(transfer, bulkOut_, const_cast<std::uint8_t*>(message.data()),
                          static_cast<ULONG>(message.size()), false);
  if (!NT_SUCCESS(status)) return status;
  ULONG length = 0;
  return Finish(transfer, &length);
}

NTSTATUS BareHost::ReadAnswer(ULONG* length) {
  for (;;) {
    Transfer transfer;
    NTSTATUS status = Start(transfer, bulkIn_, answer_.data(), kLongestAnswer, true);
    if (!NT_SUCCESS(status)) return status;
    status = Finish(transfer, length);
    if (status != STATUS_SUCCESS) return status;
    constexpr std::uint8_t kTimeExtension = 0x80;
    if (*length < 10 || (answer_[7] & 0xC0) != kTimeExtension) return status;
  }
}

}  // namespace ccid_bench

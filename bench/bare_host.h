// The cheapest client a simulated reader can have on the hosted USB stack: the smart-card
// interface configured by one SELECT_CONFIGURATION, then each bulk or interrupt transfer
// one IRP with its URB on the stack, sent to the PDO and waited for. It is what the
// benchmarks measure the driver and the smart-card library against: the same CCID
// messages, carried without either of them.
#pragma once

#include <wdm.h>
#include <usb.h>
#include <usbdi.h>

#include <cstdint>
#include <span>
#include <vector>

namespace ccid_bench {

using Bytes = std::vector<std::uint8_t>;

class BareHost {
 public:
  // One transfer in flight: its URB, the event its completion sets, its IRP.
  struct Transfer {
    _URB_BULK_OR_INTERRUPT_TRANSFER urb;
    KEVENT done;
    PIRP irp = nullptr;
  };

  // Selects the configuration described by `configuration` (the set the bus read at
  // arrival) with its smart-card interface; Ready() tells whether that worked.
  BareHost(PDEVICE_OBJECT pdo, const Bytes& configuration);

  bool Ready() const { return bulkIn_ != nullptr && bulkOut_ != nullptr && interruptIn_ != nullptr; }

  // One bulk-out transfer of the whole message.
  NTSTATUS Write(std::span<const std::uint8_t> message);
  // Reads one whole RDR_to_PC message (a read as long as the longest, ended by the
  // reader's short packet), skipping time extensions; *length receives its size and
  // Answer() holds it.
  NTSTATUS ReadAnswer(ULONG* length);
  // One interrupt-in transfer; `submitted` runs once the request is in the stack.
  template <class Action>
  NTSTATUS ReadInterrupt(Action&& submitted);

  const Bytes& Answer() const { return answer_; }

 private:
  NTSTATUS Start(Transfer& transfer, USBD_PIPE_HANDLE pipe, void* buffer, ULONG length, bool in);
  static NTSTATUS Finish(Transfer& transfer, ULONG* length);

  PDEVICE_OBJECT pdo_;
  USBD_PIPE_HANDLE bulkIn_ = nullptr;
  USBD_PIPE_HANDLE bulkOut_ = nullptr;
  USBD_PIPE_HANDLE interruptIn_ = nullptr;
  Bytes answer_;
  std::uint8_t interrupt_[8] = {};
};

template <class Action>
NTSTATUS BareHost::ReadInterrupt(Action&& submitted) {
  Transfer transfer;
  NTSTATUS status = Start(transfer, interruptIn_, interrupt_, sizeof(interrupt_), true);
  if (!NT_SUCCESS(status)) return status;
  submitted();
  ULONG length = 0;
  return Finish(transfer, &length);
}

}  // namespace ccid_bench

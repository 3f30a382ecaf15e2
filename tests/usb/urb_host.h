// A URB-level client for tests of the hosted USB stack: it sends IRPs carrying URBs to a
// PDO exactly as a function driver does (its own IRPs, a completion routine that keeps
// them) and records how each one came back.
#pragma once

#include <wdm.h>
#include <usb.h>
#include <usbdi.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

namespace usb_test {

using Bytes = std::vector<std::uint8_t>;

// Bytes written after the transfer buffer: they must come back untouched.
constexpr std::uint8_t kGuardByte = 0xA5;
constexpr std::size_t kGuardBytes = 16;

struct UrbResult {
  NTSTATUS dispatch = 0;   // what IoCallDriver returned
  NTSTATUS status = 0;     // IoStatus.Status
  USBD_STATUS usbd = 0;    // URB Hdr.Status (0 when no URB)
  ULONG length = 0;        // TransferBufferLength after completion
  Bytes data;              // the buffer's first `length` bytes
  bool guardIntact = true; // nothing written past the buffer
  KIRQL irql = 0;          // IRQL of the completion routine
  std::thread::id thread;  // thread of the completion routine
  std::uint64_t order = 0; // completion order among all submissions
};

// One IRP with its URB and transfer buffer, from send to completion.
class Submission {
 public:
  // `urbLength`: the URB block's size (sizeof(URB) at least is allocated); `buffer`: the
  // transfer buffer's contents (its size is the transfer length).
  Submission(PDEVICE_OBJECT pdo, ULONG ioControlCode, std::size_t urbLength, Bytes buffer = {});
  // A PnP or power request: `prepare` fills the stack location's parameters; IoStatus
  // starts as STATUS_NOT_SUPPORTED, as the PnP manager sends it.
  Submission(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor, std::function<void(PIO_STACK_LOCATION)> prepare = {});
  ~Submission();
  Submission(const Submission&) = delete;
  Submission& operator=(const Submission&) = delete;

  PURB Urb() { return reinterpret_cast<PURB>(urb_.data()); }
  PUCHAR Buffer() { return buffer_.empty() ? nullptr : buffer_.data(); }
  ULONG BufferLength() const { return length_; }
  PIRP Irp() const { return irp_; }

  bool nullArgument = false;   // send Argument1 = NULL (no URB)
  NTSTATUS Send();             // IoCallDriver to the PDO, in this thread
  bool Completed() const;      // the completion routine has run
  UrbResult Wait();            // until completed; then the IRP is freed
  BOOLEAN Cancel();            // IoCancelIrp

 private:
  static NTSTATUS NTAPI OnComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context);

  PDEVICE_OBJECT pdo_;
  UCHAR major_ = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  UCHAR minor_ = 0;
  std::function<void(PIO_STACK_LOCATION)> prepare_;
  ULONG ioControlCode_ = 0;
  std::vector<std::uint8_t> urb_;
  Bytes buffer_;
  ULONG length_;
  PIRP irp_ = nullptr;
  KEVENT event_;
  bool sent_ = false;
  bool waited_ = false;
  UrbResult result_;
};

std::uint64_t CompletionCount();

// URB builders, as a client driver (and the usbdlib macros) fill them.
std::unique_ptr<Submission> DescriptorRequest(PDEVICE_OBJECT pdo, std::uint8_t type, std::uint8_t index,
                                              ULONG length, USHORT language = 0);
std::unique_ptr<Submission> ClassOrVendorRequest(PDEVICE_OBJECT pdo, USHORT function, bool in, std::uint8_t request,
                                                 USHORT value, USHORT index, Bytes buffer);
// `shortOk`: USBD_SHORT_TRANSFER_OK in TransferFlags.
std::unique_ptr<Submission> TransferRequest(PDEVICE_OBJECT pdo, USBD_PIPE_HANDLE pipe, bool in, Bytes buffer,
                                            bool shortOk = true);
std::unique_ptr<Submission> PipeRequest(PDEVICE_OBJECT pdo, USHORT function, USBD_PIPE_HANDLE pipe);
std::unique_ptr<Submission> ResetPortRequest(PDEVICE_OBJECT pdo);
// SELECT_CONFIGURATION for the given interfaces (number, alternate setting, endpoint
// count), laid out as USBD_CreateConfigurationRequestEx lays it out; `recordSlack` adds
// room to each record's Length (negative: too little room).
struct InterfaceChoice {
  std::uint8_t number = 0;
  std::uint8_t alternate = 0;
  std::uint8_t endpoints = 0;
};
std::unique_ptr<Submission> SelectConfigurationRequest(PDEVICE_OBJECT pdo, const Bytes& configuration,
                                                       const std::vector<InterfaceChoice>& interfaces,
                                                       int recordSlack = 0);
PUSBD_INTERFACE_INFORMATION InterfaceRecord(Submission& select, std::size_t index);

// A client of one PDO: the smart-card interface configured, its three pipes recorded.
class UrbHost {
 public:
  explicit UrbHost(PDEVICE_OBJECT pdo) : pdo_(pdo) {}

  PDEVICE_OBJECT Pdo() const { return pdo_; }
  UrbResult Run(std::unique_ptr<Submission> s);
  UrbResult Run(Submission& s);

  std::optional<Bytes> GetDescriptor(std::uint8_t type, std::uint8_t index, ULONG length);
  // Selects the configuration with the first interface of the class (smart card, 0x0B,
  // by default) and records its pipes; false if that fails.
  bool Configure(std::uint8_t interfaceClass = 0x0B);
  USBD_PIPE_HANDLE bulkIn = nullptr;
  USBD_PIPE_HANDLE bulkOut = nullptr;
  USBD_PIPE_HANDLE interruptIn = nullptr;
  std::uint8_t smartCardInterface = 0;

  UrbResult Write(const Bytes& message);
  UrbResult Read(ULONG length);
  // One whole message: a read as long as the reader's largest, ended by its short packet.
  UrbResult ReadMessage() { return Read(0x10000 + 10); }
  UrbResult ReadInterrupt(ULONG length = 8);
  // Writes the command and reads until an answer that is not a time extension.
  std::optional<Bytes> Exchange(const Bytes& command, int* timeExtensions = nullptr);
  UrbResult ClassRequest(bool in, std::uint8_t request, USHORT value, Bytes buffer);
  UrbResult Abort(USBD_PIPE_HANDLE pipe);
  UrbResult ResetPipe(USBD_PIPE_HANDLE pipe);
  UrbResult ResetPort();

  std::unique_ptr<Submission> StartRead(ULONG length);
  std::unique_ptr<Submission> StartInterrupt(ULONG length = 8);

 private:
  PDEVICE_OBJECT pdo_;
};

}  // namespace usb_test

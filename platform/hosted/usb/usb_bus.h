// The hosted USB stack below a function driver: the physical device object (PDO) of one
// simulated USB device, as the Windows USB hub driver presents it, and the host controller
// that turns the driver's URBs into packets on that device.
//
// A BusDevice enumerates its Device (device.h) when it is created (device descriptor, then the
// configuration set, as a hub does when a device arrives), creates the PDO under a bus
// driver object of its own and answers, on that PDO:
//  - IRP_MJ_INTERNAL_DEVICE_CONTROL: IOCTL_INTERNAL_USB_SUBMIT_URB (descriptors, select
//    configuration, class/vendor/feature/status requests, control transfers,
//    bulk-or-interrupt transfers, abort pipe, reset pipe), IOCTL_INTERNAL_USB_RESET_PORT
//    and IOCTL_INTERNAL_USB_GET_PORT_STATUS;
//  - IRP_MJ_PNP and IRP_MJ_POWER as a bus driver answers them for its child
//    (capabilities, set-power, wait-wake ...).
//
// Threads: in the asynchronous mode (the default) every accepted URB completes from the
// bus's own USB thread at DISPATCH_LEVEL, never inside the caller's IoCallDriver; URBs
// refused on sight (bad parameters, a pipe handle that names no pipe, a device that is
// gone) complete at once in the caller's thread, as the Windows stack does. In the
// synchronous mode a URB that can finish at once completes inside IoCallDriver in the
// caller's thread; one that has to wait for the device (a NAK) still pends and completes
// later from the USB thread.
//
// Statuses (URB Hdr.Status / IRP IoStatus.Status):
//   success             USBD_STATUS_SUCCESS               STATUS_SUCCESS
//   stall               USBD_STATUS_STALL_PID             STATUS_UNSUCCESSFUL
//   packet too long     USBD_STATUS_DATA_OVERRUN          STATUS_UNSUCCESSFUL
//   device not responding USBD_STATUS_DEV_NOT_RESPONDING  STATUS_UNSUCCESSFUL
//   corrupt data (CRC)  USBD_STATUS_CRC                   STATUS_UNSUCCESSFUL
//   short IN packet     USBD_STATUS_ERROR_SHORT_TRANSFER  STATUS_UNSUCCESSFUL
//     (a bulk or interrupt transfer without USBD_SHORT_TRANSFER_OK ended before its
//     buffer was full; with the flag it succeeds with the bytes that came)
//   pipe halted         USBD_STATUS_ENDPOINT_HALTED       STATUS_UNSUCCESSFUL
//     (a transfer on a pipe halted by an earlier failure, as USBPORT reports it)
//   cancelled/aborted   USBD_STATUS_CANCELED              STATUS_CANCELLED
//   device gone         USBD_STATUS_DEVICE_GONE           STATUS_DEVICE_NOT_CONNECTED
//   bad pipe handle     USBD_STATUS_INVALID_PIPE_HANDLE   STATUS_INVALID_PARAMETER
//   bad URB / buffer    USBD_STATUS_INVALID_PARAMETER     STATUS_INVALID_PARAMETER
//   unknown function    USBD_STATUS_INVALID_URB_FUNCTION  STATUS_INVALID_PARAMETER
//   reset of a busy pipe USBD_STATUS_ERROR_BUSY           STATUS_DEVICE_BUSY
//
// Halted pipes: a bulk or interrupt transfer that fails on the bus (stall, babble, short
// packet without USBD_SHORT_TRANSFER_OK, CRC error, no response) halts its pipe, as a
// Windows host controller halts the endpoint: every transfer that then reaches the head of
// that pipe, queued before or submitted after, fails with USBD_STATUS_ENDPOINT_HALTED
// until the client resets the pipe (URB_FUNCTION_SYNC_RESET_PIPE or
// SYNC_RESET_PIPE_AND_CLEAR_STALL; SYNC_CLEAR_STALL only clears the device's stall) or the
// port. A cancelled or aborted transfer, an unplug and the control pipe halt nothing.
//
// Timing (asynchronous mode, on the kernel clock): the bus keeps USB full-speed time.
// Packets move in 1 ms frames; a transfer completes at the end of the frame of its last
// packet. Bulk packets of 64 bytes share a frame, at most 19 to a frame (as a full-speed
// frame holds them); an interrupt endpoint is polled in the frames its bInterval gives
// (frame numbers that are multiples of it); a control transfer takes a frame for its
// setup stage, the frames of its data stage (again 19 packets of bMaxPacketSize0 a
// frame at most) and one for its status stage. An IN transfer the device NAKs waits for
// the device's data, then for the end of the frame in which it moved: the reader's work
// costs the frames until its answer is ready. Requests that move no data (pipe resets,
// aborts, configuration, port requests) and the synchronous mode take no time.
//
// Traces: every URB is logged with its kernel times, endpoint, direction, bytes and
// statuses (Transfers()). A device model that knows its message boundaries reports whole
// messages through MessageObserver(); WritePcap() writes them, after the enumeration the
// bus did at arrival, as a Linux usbmon capture (link type 220, DLT_USB_LINUX_MMAPPED) or
// as USBPcap writes one on Windows (link type 249, DLT_USBPCAP), both of which
// Wireshark's USB CCID dissector decodes. Records follow the bus's order: messages as
// the bus carried them; URBs by their submissions and completions, so an interrupt
// request pending across other transfers is submitted before them and completes after.
#pragma once

#include <wdm.h>
#include <usb.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "hosted/usb/device.h"
#include "hosted/usb/message.h"

namespace hosted::usb {

enum class CompletionMode : std::uint8_t { Asynchronous, Synchronous };

// What IRP_MN_QUERY_CAPABILITIES reports for the PDO.
struct PdoCapabilities {
  std::array<DEVICE_POWER_STATE, PowerSystemMaximum> deviceState{};
  SYSTEM_POWER_STATE systemWake = PowerSystemUnspecified;
  DEVICE_POWER_STATE deviceWake = PowerDeviceUnspecified;
  bool deviceD1 = false;
  bool deviceD2 = true;
  bool wakeFromD0 = false;
  bool wakeFromD1 = false;
  bool wakeFromD2 = false;
  bool wakeFromD3 = false;
  bool removable = true;
  bool surpriseRemovalOk = false;

  // A bus-powered USB device: S0 -> D0, S1..S3 -> D2, S4/S5 -> D3; with remote wake-up,
  // wake from D2 up to S3.
  static PdoCapabilities ForUsbDevice(bool remoteWakeup);
};

struct BusDeviceOptions {
  std::uint16_t bus = 1;     // bus number (usbmon bus id)
  std::uint8_t address = 2;  // USB device address, 1..127
  ULONG port = 1;            // hub port: the capabilities' Address and UINumber
  CompletionMode mode = CompletionMode::Asynchronous;
  // Default: ForUsbDevice(remote wake-up bit of the configuration read at arrival).
  std::optional<PdoCapabilities> capabilities;
};

struct SetupBytes {
  std::uint8_t bmRequestType = 0;
  std::uint8_t bRequest = 0;
  std::uint16_t wValue = 0;
  std::uint16_t wIndex = 0;
  std::uint16_t wLength = 0;
};

// One URB (or port request) as the stack handled it.
struct TransferRecord {
  std::uint64_t sequence = 0;  // submission order
  std::int64_t submitted = 0;  // kernel time, 100-ns units
  std::int64_t completed = 0;
  // Places of the submission and of the completion among all the bus's submissions and
  // completions (kernel time may not tell them apart): the order of a pcap's records.
  std::uint64_t submitOrder = 0;
  std::uint64_t completeOrder = 0;
  ULONG ioControlCode = 0;     // IOCTL_INTERNAL_USB_SUBMIT_URB, _RESET_PORT ...
  USHORT urbFunction = 0;      // when a URB was submitted
  TransferType type = TransferType::None;  // None: no data stage on the bus (abort, reset ...)
  std::uint8_t endpoint = 0;   // with the direction bit; 0x00/0x80 for control
  bool in = false;
  SetupBytes setup;            // control transfers; SET_CONFIGURATION for a select-configuration
  ULONG requested = 0;         // TransferBufferLength on entry
  std::vector<std::uint8_t> data;  // the bytes that moved (IN: received, OUT: accepted)
  USBD_STATUS usbdStatus = 0;
  NTSTATUS status = 0;
};

// The USB status the stack sets in an IRP for a URB status.
NTSTATUS NtStatusForUsbd(USBD_STATUS status);

enum class PcapContent : std::uint8_t {
  Messages,   // whole messages from MessageObserver(), one record pair each
  Transfers,  // the URB log, one record pair per bus transfer
};

enum class PcapFormat : std::uint8_t {
  Usbmon,    // Linux usbmon, link type 220
  Usbpcap,   // Windows USBPcap, link type 249
  Usbmon48,  // Linux usbmon with the 48-byte header of its read interface, link type 189
};

class BusDevice {
 public:
  // Enumerates `device` and creates its PDO (at PASSIVE_LEVEL). `device` must outlive this
  // object; its data-ready, unplug and remote-wake callbacks belong to this object until
  // it is destroyed.
  explicit BusDevice(Device& device, BusDeviceOptions options = {});
  // Fails what is still pending with the device-gone statuses, deletes the PDO (the
  // function driver must have detached) and the bus driver object.
  ~BusDevice();
  BusDevice(const BusDevice&) = delete;
  BusDevice& operator=(const BusDevice&) = delete;

  // NULL once IRP_MN_REMOVE_DEVICE for an unplugged device has deleted it.
  PDEVICE_OBJECT Pdo() const;
  PDRIVER_OBJECT BusDriver() const;
  std::uint16_t BusNumber() const;
  std::uint8_t DeviceAddress() const;

  void SetCompletionMode(CompletionMode mode);
  CompletionMode Mode() const;
  std::thread::id UsbThreadId() const;
  // The time the bus spent carrying control and bulk transfers (the frames from the
  // moment each moved to its completion), in 100-ns units.
  std::int64_t BusTime() const;

  // The port loses the device (as if the cable were pulled): pending and new requests fail
  // with the device-gone statuses. The device's own unplug (Device::Unplugged with its
  // callback) has the same effect.
  void Unplug();
  bool Unplugged() const;
  // Called once, from the USB thread at PASSIVE_LEVEL and without any lock, after the
  // requests pending at the unplug have been failed: the place to report the removal to
  // the PnP manager. If the device is already gone when the handler is set, it is called
  // at once.
  void SetUnplugHandler(std::function<void()> handler);

  // Transfers waiting on the device (queued or NAKed), and a wait (a kernel wait) for a
  // count with the USB thread idle.
  std::size_t PendingTransfers() const;
  bool WaitForPendingTransfers(std::size_t count,
                               std::chrono::milliseconds realTimeout = std::chrono::seconds(10)) const;
  // Waits until nothing is queued for the USB thread to complete. The real time-outs apply
  // on the accelerated clock; in virtual time a wait that can never end is a deadlock.
  bool WaitIdle(std::chrono::milliseconds realTimeout = std::chrono::seconds(10)) const;

  std::vector<TransferRecord> Transfers() const;
  void ClearTransfers();

  // What the bus read at arrival.
  std::vector<std::uint8_t> DeviceDescriptor() const;
  std::vector<std::uint8_t> ConfigurationDescriptor() const;

  // Holds the transfers of one endpoint (with its direction bit) where they are: nothing
  // moves on it until released. A hold point for tests that force an interleaving, e.g. a
  // reader's answer held while the host does something else.
  void HoldEndpoint(std::uint8_t endpoint, bool hold);

  // Power side of the PDO.
  DEVICE_POWER_STATE DevicePowerState() const;
  bool WaitWakePending() const;
  bool Started() const;
  // After IRP_MN_REMOVE_DEVICE for an unplugged device the PDO is deleted: at once when
  // nothing is attached to it, otherwise when this is called after the function driver
  // has detached (the PnP side calls it once the remove request has returned; the
  // destructor does it too). True when the PDO is gone.
  bool ReapRemovedPdo();

  // Message-level trace: install on a device model that reports whole messages
  // (sim::CcidReader::SetMessageObserver). Safe to call with the model's lock held.
  std::function<void(const MessageEvent&)> MessageObserver();
  void RecordMessage(const MessageEvent& event);
  std::size_t MessageCount() const;

  // Writes the enumeration and the chosen content as a pcap file; false (with the
  // reason) if the file cannot be written.
  bool WritePcap(const std::string& path, PcapContent content = PcapContent::Messages,
                 std::string* error = nullptr, PcapFormat format = PcapFormat::Usbmon) const;
  // tshark's decode-as argument that makes interrupt-in messages decode as CCID:
  // "usb.device==0xBBBBDDDD,usbccid".
  std::string CcidDecodeAs() const;

  class Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace hosted::usb

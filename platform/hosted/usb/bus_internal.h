// Internals of the hosted USB stack: the bus device's state, its requests and pipes.
//
// Locks, outermost first:
//  - engine_: pipes, requests, the control queue, the completion queue and the device
//    state. Held while calling into the simulated device (whose own lock nests inside).
//    Never held while an IRP is completed or a user callback runs.
//  - signal_: what the USB thread is woken for (work, endpoints with data, unplug, wake).
//    A leaf: the device's callbacks take only this lock, so they may fire from inside a
//    device call made under engine_. The threads that wait for it (the USB thread, a
//    test waiting for the bus to be idle) wait on the kernel conditions below, so their
//    waits are kernel waits that virtual time and deadlock detection see.
//  - trace_: the message trace and the URB log. A leaf as well (the device's message
//    observer runs with the device's lock held).
#pragma once

#include <wdm.h>
#include <usb.h>
#include <usbdi.h>
#include <usbioctl.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <span>
#include <thread>
#include <vector>

#include "hosted/kernel/scheduler.h"
#include "hosted/usb/usb_bus.h"
#include "hosted/usb/device.h"
#include "hosted/usb/message.h"

namespace hosted::usb {

struct Request;
struct ControlFamily;

// One endpoint of the selected configuration as the client sees it.
struct Pipe {
  std::uintptr_t handle = 0;
  std::uint8_t endpoint = 0;   // address with the direction bit
  USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
  std::uint16_t maxPacket = 64;
  std::uint8_t interval = 0;
  bool valid = true;           // false once a new configuration (or none) replaced it
  bool halted = false;         // a transfer failed: nothing moves until a pipe reset
  std::deque<Request*> queue;  // transfers in submission order; the head moves first

  bool In() const { return (endpoint & 0x80) != 0; }
};

// An endpoint descriptor of the configuration being selected.
struct ParsedEndpoint {
  std::uint8_t address = 0;
  std::uint8_t attributes = 0;
  std::uint16_t maxPacket = 0;
  std::uint8_t interval = 0;
};

enum class RequestKind : std::uint8_t {
  Transfer,             // bulk or interrupt, queued on a pipe
  Control,              // a control transfer on the default pipe
  SelectConfiguration,
  ResetPipe,
  ResetPort,
  Abort,                // a barrier: completes after the transfers it aborted
  WaitWake,
};

// One accepted request, from submission until its IRP has been completed.
struct Request {
  std::uint64_t id = 0;
  RequestKind kind = RequestKind::Transfer;
  PIRP irp = nullptr;
  PURB urb = nullptr;
  ULONG ioControlCode = 0;
  USHORT function = 0;
  Pipe* pipe = nullptr;
  TransferType type = TransferType::None;
  bool in = false;
  std::uint8_t endpoint = 0;
  std::uint16_t maxPacket = 64;
  PUCHAR buffer = nullptr;
  ULONG length = 0;
  ULONG done = 0;
  bool shortOk = true;      // IN: USBD_SHORT_TRANSFER_OK, a short packet may end the transfer
  SetupBytes setup;
  bool nakked = false;      // the device had nothing: waits for its data-ready signal
  bool cancelling = false;  // the cancel routine owns the IRP
  bool pended = false;      // IoMarkIrpPending was called: dispatch returned STATUS_PENDING
  bool finished = false;
  std::set<std::uint64_t> waitFor;  // a barrier's requests that must be completed first
  std::int64_t submitted = 0;
  std::int64_t completed = 0;
  std::uint64_t submitOrder = 0;    // places among the bus's submissions and completions
  std::uint64_t completeOrder = 0;
  USBD_STATUS usbdStatus = USBD_STATUS_PENDING;
  NTSTATUS status = STATUS_PENDING;
  std::vector<std::uint8_t> moved;  // the data stage that moved (for the log)
  std::uint32_t packets = 0;        // bulk/interrupt packets that moved (ZLPs included)
};

// A transfer that moved on the bus, held until the end of the frame of its last packet.
struct HeldCompletion {
  std::int64_t due = 0;  // kernel time, 100-ns units
  Request* request = nullptr;
};

using Completions = std::vector<Request*>;

// A message-level trace event with its kernel time.
// Dispatch routine of the PDO for every major function the bus answers.
NTSTATUS NTAPI PdoDispatch(PDEVICE_OBJECT device, PIRP irp);

struct TraceEvent {
  std::int64_t time = 0;
  MessageEvent event;
};

class BusDevice::Impl {
 public:
  Impl(Device& device, const BusDeviceOptions& options);
  ~Impl();

  // ---- construction (bus_device.cpp) ----------------------------------------------------
  void Enumerate();
  bool CreatePdo();
  void StartThread();
  void Shutdown();

  // ---- dispatch (pdo_dispatch.cpp, pdo_power.cpp) --------------------------------------
  static Impl* FromDevice(PDEVICE_OBJECT device);
  NTSTATUS InternalDeviceControl(PIRP irp);
  NTSTATUS Pnp(PIRP irp);
  NTSTATUS Power(PIRP irp);
  NTSTATUS QueryCapabilities(PIRP irp);
  NTSTATUS WaitWake(PIRP irp);
  void SetDevicePower(DEVICE_POWER_STATE state);
  void DisarmWakeLocked();
  bool ReapRemovedPdo();

  // ---- URBs (urb_control.cpp, urb_transfer.cpp) ----------------------------------------
  NTSTATUS SubmitUrb(PIRP irp);
  NTSTATUS SubmitControlUrb(PIRP irp, PURB urb, const ControlFamily& family);
  NTSTATUS SubmitControl(PIRP irp, PURB urb, const SetupBytes& setup, PVOID buffer, ULONG length, bool in);
  NTSTATUS SubmitTransfer(PIRP irp, PURB urb);
  NTSTATUS SubmitSelectConfiguration(PIRP irp, PURB urb);
  NTSTATUS SubmitAbort(PIRP irp, PURB urb);
  NTSTATUS SubmitResetPipe(PIRP irp, PURB urb);
  NTSTATUS SubmitResetPort(PIRP irp);
  // Completes at once in the caller's thread (refused on sight).
  NTSTATUS Refuse(PIRP irp, PURB urb, USBD_STATUS usbd);

  // ---- the engine (engine.cpp) ---------------------------------------------------------
  // Enqueues or runs an accepted request; returns what dispatch returns.
  NTSTATUS Accept(std::unique_ptr<Request> request);
  void RunControlLocked(Request* r, Completions& local);
  void ExecuteSelectConfigurationLocked(Request* r, Completions& local);
  std::vector<std::uint8_t> ReadConfigurationLocked(std::uint8_t value, USBD_STATUS& failure);
  USBD_PIPE_INFORMATION AddPipeLocked(const ParsedEndpoint& endpoint, std::uintptr_t handle);
  void ExecuteResetPortLocked(Request* r, Completions& local);
  void ProgressPipeLocked(Pipe& pipe, std::uint32_t ready, Completions& local);
  enum class Moved { Finished, Waiting };
  Moved MoveInLocked(Request* r, Completions& local);
  Moved MoveOutLocked(Request* r, Completions& local);
  void EndTransferLocked(Request* r, USBD_STATUS usbd, Completions& local);
  void FinishLocked(Request* r, USBD_STATUS usbd, NTSTATUS status, Completions& local, bool here = false);
  void FinishLocked(Request* r, USBD_STATUS usbd, Completions& local) {
    FinishLocked(r, usbd, NtStatusForUsbd(usbd), local);
  }
  // Takes a queued transfer back from its cancel routine; false when that routine owns it.
  bool ClaimLocked(Request* r);
  void CancelPipeLocked(Pipe& pipe, USBD_STATUS usbd, Completions& local);
  void CheckBarriersLocked(Completions& local);
  void HandleUnplugLocked(Completions& local);
  void CompleteAll(Completions& local);
  void CancelRequest(PIRP irp);
  void ThreadMain();
  void WaitForSignal();
  // Full-speed timing: when a transfer that moved now ends on the bus (the end of the
  // frame of its last packet), and the completions due by now.
  std::int64_t FrameDueLocked(const Request& r, std::int64_t now);
  void TakeDueLocked(Completions& local);
  void Signal(bool work, std::uint32_t readyBits = 0);
  // Publishes the number of queued transfers (for waits that must not take engine_).
  void NoteQueuesLocked();
  bool GoneLocked();
  bool OnUsbThread() const { return std::this_thread::get_id() == threadId_; }
  Pipe* FindPipeLocked(USBD_PIPE_HANDLE handle);
  void RetirePipesLocked(Completions& local);
  void LogLocked(const Request& r);
  void TraceHostControl(const SetupBytes& setup, Handshake handshake, std::span<const std::uint8_t> data);
  ControlResult DeviceControlLocked(const SetupBytes& setup, std::span<std::uint8_t> data);

  // ---- traces (pcap_writer.cpp) --------------------------------------------------------
  bool WritePcap(const std::string& path, PcapContent content, std::string* error, PcapFormat format) const;

  static std::uint32_t ReadyBit(std::uint8_t endpoint) {
    return 1u << ((endpoint & 0x0F) + ((endpoint & 0x80) != 0 ? 16 : 0));
  }

  Device& device_;
  const BusDeviceOptions options_;
  PdoCapabilities capabilities_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
  std::vector<std::uint8_t> deviceDescriptor_;
  std::vector<std::uint8_t> configDescriptor_;
  std::int64_t arrivalTime_ = 0;

  // engine_
  mutable std::mutex engine_;
  CompletionMode mode_;
  std::uint64_t nextId_ = 0;
  std::uint64_t nextOrder_ = 0;  // submissions and completions, in the order they happen
  std::uint64_t generation_ = 0;
  std::map<std::uint64_t, std::unique_ptr<Request>> requests_;  // alive (not yet completed)
  std::map<PIRP, Request*> cancellable_;
  std::deque<Request*> control_;        // for the USB thread, in order
  std::vector<Request*> barriers_;      // aborts waiting for their transfers
  std::deque<Request*> done_;           // finished, for the USB thread to complete
  std::vector<std::unique_ptr<Pipe>> pipes_;  // every pipe ever made (handles stay unique)
  std::uintptr_t configurationHandle_ = 0;
  std::uint8_t configurationValue_ = 0;
  bool gone_ = false;
  bool unplugHandled_ = false;
  std::function<void()> unplugHandler_;
  bool started_ = false;
  bool removed_ = false;
  bool pdoDeleted_ = false;
  DEVICE_POWER_STATE devicePower_ = PowerDeviceD0;
  Request* waitWake_ = nullptr;
  std::set<std::uint8_t> heldEndpoints_;
  std::atomic<bool> deviceUnplugged_{false};
  std::atomic<std::size_t> queued_{0};
  // Full-speed timing (asynchronous mode): completions held until their frame ends, in
  // due order; the bulk packets booked in the latest frame; the frames control and bulk
  // transfers took (100-ns units).
  std::deque<HeldCompletion> held_;
  std::atomic<std::size_t> heldCount_{0};
  std::int64_t bulkFrame_ = -1;
  std::uint32_t bulkFramePackets_ = 0;
  std::atomic<std::int64_t> busTime_{0};

  // signal_
  mutable std::mutex signal_;
  bool work_ = false;
  std::uint32_t ready_ = 0;
  bool wake_ = false;
  bool stop_ = false;
  bool busy_ = false;  // the USB thread is between waits
  mutable KernelCondition signalled_{"waits for work", /*idle=*/true};
  mutable KernelCondition idle_{"the USB stack's idle wait"};

  std::unique_ptr<KernelThread> thread_;
  std::thread::id threadId_;

  // trace_
  mutable std::mutex trace_;
  std::vector<TraceEvent> messages_;
  std::vector<TraceEvent> enumeration_;
  std::vector<TransferRecord> log_;
  bool enumerating_ = false;
};

// Opaque handles the stack gives out: never addresses, never reused.
constexpr std::uintptr_t kPipeHandleBase = 0xFFFFC0DE00000000ull;
constexpr std::uintptr_t kConfigurationHandleBase = 0xFFFFC0CF00000000ull;
constexpr std::uintptr_t kInterfaceHandleBase = 0xFFFFC01F00000000ull;
constexpr std::uintptr_t kDeviceHandleBase = 0xFFFFC0DD00000000ull;

}  // namespace hosted::usb

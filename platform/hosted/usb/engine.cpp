// The host controller side of the hosted USB stack: accepted requests, the pipes' transfer
// queues, packets to and from the device, completion (from the USB thread at
// DISPATCH_LEVEL, or in the caller's thread in the synchronous mode), cancellation, the
// abort barrier and the unplug.
#include <algorithm>
#include <cstring>

#include "bus_internal.h"
#include "hosted/kernel/clock.h"
#include "hosted/kernel/hold_points.h"

namespace hosted::usb {
namespace {

// Cancel routine of a queued transfer or wait-wake (DISPATCH_LEVEL, cancel spin lock
// held): lets the lock go and hands the IRP to the bus, which completes it cancelled.
VOID NTAPI CancelQueuedRequest(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  BusDevice::Impl::FromDevice(device)->CancelRequest(irp);
}

// Full-speed timing: 1 ms frames of 10,000 kernel time units; at most 19 packets of 64
// bytes to a frame.
constexpr std::int64_t kFrame = 10000;
constexpr std::uint32_t kPacketsPerFrame = 19;

std::int64_t CeilDiv(std::int64_t a, std::int64_t b) { return (a + b - 1) / b; }

}  // namespace

NTSTATUS NtStatusForUsbd(USBD_STATUS status) {
  if (USBD_SUCCESS(status)) return STATUS_SUCCESS;
  switch (status) {
    case USBD_STATUS_CANCELED:
      return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE:
      return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INTERFACE_NOT_FOUND:
      return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_BUFFER_TOO_SMALL:
      return STATUS_BUFFER_TOO_SMALL;
    case USBD_STATUS_ERROR_BUSY:
      return STATUS_DEVICE_BUSY;
    case USBD_STATUS_NOT_SUPPORTED:
      return STATUS_NOT_SUPPORTED;
    case USBD_STATUS_INSUFFICIENT_RESOURCES:
      return STATUS_INSUFFICIENT_RESOURCES;
    default:
      return STATUS_UNSUCCESSFUL;
  }
}

// Any IRQL <= DISPATCH_LEVEL. Registers the request and runs it now (synchronous mode, or
// what needs no device) or queues it for the USB thread. Returns the dispatch result: the
// final status when the request was completed here, else STATUS_PENDING (marked).
NTSTATUS BusDevice::Impl::Accept(std::unique_ptr<Request> owned) {
  Completions local;
  Request* r = owned.get();
  NTSTATUS result = STATUS_PENDING;
  {
    std::lock_guard<std::mutex> lock(engine_);
    if (deviceUnplugged_.load()) HandleUnplugLocked(local);
    r->id = ++nextId_;
    r->submitOrder = ++nextOrder_;
    r->submitted = Clock::Now();
    requests_[r->id] = std::move(owned);
    if (r->urb != nullptr) r->urb->UrbHeader.Status = USBD_STATUS_PENDING;
    const bool sync = mode_ == CompletionMode::Synchronous;
    if (gone_) {
      const NTSTATUS status =
          r->kind == RequestKind::WaitWake ? STATUS_NO_SUCH_DEVICE : NtStatusForUsbd(USBD_STATUS_DEVICE_GONE);
      FinishLocked(r, USBD_STATUS_DEVICE_GONE, status, local, true);
    } else if (r->kind == RequestKind::Transfer) {
      r->pipe->queue.push_back(r);
      cancellable_[r->irp] = r;
      IoSetCancelRoutine(r->irp, CancelQueuedRequest);
      if (r->irp->Cancel && IoSetCancelRoutine(r->irp, nullptr) != nullptr) {
        r->pipe->queue.erase(std::find(r->pipe->queue.begin(), r->pipe->queue.end(), r));
        FinishLocked(r, USBD_STATUS_CANCELED, local);
      } else if (sync && r->pipe->queue.front() == r) {
        ProgressPipeLocked(*r->pipe, 0, local);
      } else {
        Signal(true);
      }
    } else if (r->kind == RequestKind::Abort) {
      device_.EndpointAborted(r->pipe->endpoint);
      CancelPipeLocked(*r->pipe, USBD_STATUS_CANCELED, local);
      for (const auto& [id, other] : requests_)
        if (other->kind == RequestKind::Transfer && other->pipe == r->pipe) r->waitFor.insert(id);
      barriers_.push_back(r);
      CheckBarriersLocked(local);
    } else if (r->kind == RequestKind::WaitWake && waitWake_ != nullptr) {
      FinishLocked(r, USBD_STATUS_ERROR_BUSY, STATUS_DEVICE_BUSY, local, true);
    } else if (r->kind == RequestKind::WaitWake) {
      waitWake_ = r;
      cancellable_[r->irp] = r;
      IoSetCancelRoutine(r->irp, CancelQueuedRequest);
      if (r->irp->Cancel && IoSetCancelRoutine(r->irp, nullptr) != nullptr) FinishLocked(r, USBD_STATUS_CANCELED, local);
    } else if (sync) {
      RunControlLocked(r, local);
    } else {
      control_.push_back(r);
      Signal(true);
    }
    if (std::find(local.begin(), local.end(), r) == local.end()) {
      r->pended = true;
      IoMarkIrpPending(r->irp);
    } else {
      result = r->status;
    }
    NoteQueuesLocked();
  }
  CompleteAll(local);
  return result;
}

// Ends the transfer at the head of its pipe unless its cancel routine owns it.
static bool EndHeadLocked(BusDevice::Impl& bus, Request* r) {
  if (!bus.ClaimLocked(r)) return false;
  auto& queue = r->pipe->queue;
  queue.erase(std::find(queue.begin(), queue.end(), r));
  return true;
}

// Moves the transfers at the head of a pipe as far as the device lets them. A head that
// the device NAKed waits for the endpoint's data-ready signal (a bit of `ready`). A halted
// pipe fails each transfer that reaches its head.
void BusDevice::Impl::ProgressPipeLocked(Pipe& pipe, std::uint32_t ready, Completions& local) {
  if (devicePower_ != PowerDeviceD0) return;  // a suspended port moves no packets
  if (heldEndpoints_.count(pipe.endpoint) != 0) return;
  while (!pipe.queue.empty() && !gone_) {
    Request* r = pipe.queue.front();
    if (r->cancelling) return;
    if (__atomic_load_n(&r->irp->CancelRoutine, __ATOMIC_SEQ_CST) == nullptr) {
      r->cancelling = true;  // IoCancelIrp took it: its cancel routine is on the way
      return;
    }
    if (pipe.halted) {
      if (EndHeadLocked(*this, r)) FinishLocked(r, USBD_STATUS_ENDPOINT_HALTED, local);
      continue;
    }
    if (r->nakked && pipe.In() && (ready & ReadyBit(pipe.endpoint)) == 0) return;
    r->nakked = false;
    const Moved moved = pipe.In() ? MoveInLocked(r, local) : MoveOutLocked(r, local);
    if (moved == Moved::Finished) continue;
    if (device_.Unplugged()) {
      HandleUnplugLocked(local);
      return;
    }
    r->nakked = true;
    return;
  }
}

// The failure a transaction error (a handshake other than ACK or NAK) ends a transfer with.
static USBD_STATUS TransactionError(Handshake handshake) {
  switch (handshake) {
    case Handshake::Timeout:
      return USBD_STATUS_DEV_NOT_RESPONDING;
    case Handshake::CrcError:
      return USBD_STATUS_CRC;
    default:
      return USBD_STATUS_STALL_PID;
  }
}

// Ends the head transfer of a pipe with `usbd`; a failure halts the pipe, as a host
// controller halts the endpoint, until the client resets it.
void BusDevice::Impl::EndTransferLocked(Request* r, USBD_STATUS usbd, Completions& local) {
  if (!USBD_SUCCESS(usbd)) r->pipe->halted = true;
  if (EndHeadLocked(*this, r)) FinishLocked(r, usbd, local);
}

// IN: packets until the buffer is full or a short packet (a zero-length one included) ends
// the transfer; without USBD_SHORT_TRANSFER_OK a short packet before the buffer is full is
// an error. A packet longer than the room left (or than wMaxPacketSize) is babble: what
// fits is kept and the transfer fails with a data overrun.
BusDevice::Impl::Moved BusDevice::Impl::MoveInLocked(Request* r, Completions& local) {
  do {
    std::vector<std::uint8_t> packet;
    const Handshake handshake = device_.InPacket(r->endpoint, packet);
    if (handshake == Handshake::Nak) return Moved::Waiting;
    ++r->packets;
    if (handshake != Handshake::Ack) {
      EndTransferLocked(r, TransactionError(handshake), local);
      return Moved::Finished;
    }
    const ULONG room = r->length - r->done;
    const ULONG n = static_cast<ULONG>(std::min<std::size_t>(packet.size(), room));
    if (n != 0) std::memcpy(r->buffer + r->done, packet.data(), n);
    r->done += n;
    if (packet.size() > room || packet.size() > r->maxPacket) {
      EndTransferLocked(r, USBD_STATUS_DATA_OVERRUN, local);
      return Moved::Finished;
    }
    if (packet.size() < r->maxPacket) {
      const bool shortTransfer = r->done < r->length && !r->shortOk;
      EndTransferLocked(r, shortTransfer ? USBD_STATUS_ERROR_SHORT_TRANSFER : USBD_STATUS_SUCCESS, local);
      return Moved::Finished;
    }
  } while (r->done < r->length);
  EndTransferLocked(r, USBD_STATUS_SUCCESS, local);
  return Moved::Finished;
}

// OUT: the buffer in packets of wMaxPacketSize, the last one short (a zero-length packet
// for an empty transfer). A stall or transaction error ends it with the bytes accepted
// before.
BusDevice::Impl::Moved BusDevice::Impl::MoveOutLocked(Request* r, Completions& local) {
  do {
    const ULONG n = std::min<ULONG>(r->maxPacket, r->length - r->done);
    const Handshake handshake =
        device_.OutPacket(r->endpoint, std::span<const std::uint8_t>(r->buffer + r->done, n));
    if (handshake == Handshake::Nak) return Moved::Waiting;
    ++r->packets;
    if (handshake != Handshake::Ack) {
      EndTransferLocked(r, TransactionError(handshake), local);
      return Moved::Finished;
    }
    r->done += n;
  } while (r->done < r->length);
  EndTransferLocked(r, USBD_STATUS_SUCCESS, local);
  return Moved::Finished;
}

// True (and the request out of the cancellable set) when the bus may complete it; false
// when IoCancelIrp already took its cancel routine, which will complete it.
bool BusDevice::Impl::ClaimLocked(Request* r) {
  if (IoSetCancelRoutine(r->irp, nullptr) == nullptr) {
    r->cancelling = true;
    return false;
  }
  cancellable_.erase(r->irp);
  return true;
}

// Every transfer queued on the pipe ends with `usbd`; those being cancelled stay with
// their cancel routines.
void BusDevice::Impl::CancelPipeLocked(Pipe& pipe, USBD_STATUS usbd, Completions& local) {
  std::deque<Request*> keep;
  for (Request* r : pipe.queue) {
    if (ClaimLocked(r))
      FinishLocked(r, usbd, local);
    else
      keep.push_back(r);
  }
  pipe.queue.swap(keep);
}

// Sets the results in the URB and the IRP, logs the request and hands it to whoever
// completes it: the USB thread (asynchronous mode, from another thread) or `local` (the
// calling thread; always when `here`).
void BusDevice::Impl::FinishLocked(Request* r, USBD_STATUS usbd, NTSTATUS status, Completions& local,
                                   bool here) {
  r->finished = true;
  r->usbdStatus = usbd;
  r->status = status;
  r->completed = Clock::Now();
  const bool timed = !here && mode_ == CompletionMode::Asynchronous && OnUsbThread() && !gone_ &&
                     usbd != USBD_STATUS_CANCELED &&
                     ((r->kind == RequestKind::Transfer && r->packets != 0) || r->kind == RequestKind::Control);
  if (timed) r->completed = FrameDueLocked(*r, r->completed);
  r->completeOrder = ++nextOrder_;
  if (r->buffer != nullptr && r->done != 0) r->moved.assign(r->buffer, r->buffer + r->done);
  if (r->urb != nullptr) {
    r->urb->UrbHeader.Status = usbd;
    if (r->type != TransferType::None) r->urb->UrbBulkOrInterruptTransfer.TransferBufferLength = r->done;
  }
  r->irp->IoStatus.Status = status;
  r->irp->IoStatus.Information = 0;
  cancellable_.erase(r->irp);
  if (r == waitWake_) {
    waitWake_ = nullptr;
    DisarmWakeLocked();
  }
  if (r->kind != RequestKind::WaitWake) LogLocked(*r);
  if (timed && r->completed > Clock::Now()) {
    auto at = held_.end();
    while (at != held_.begin() && std::prev(at)->due > r->completed) --at;
    held_.insert(at, HeldCompletion{r->completed, r});
    heldCount_.store(held_.size());
    return;
  }
  if (!here && mode_ == CompletionMode::Asynchronous && !OnUsbThread()) {
    done_.push_back(r);
    Signal(true);
  } else {
    local.push_back(r);
  }
}

// The end of the frame of the last packet of a transfer that moved at `now` (see the
// timing in usb_bus.h). Control and bulk frames count into the bus time.
std::int64_t BusDevice::Impl::FrameDueLocked(const Request& r, std::int64_t now) {
  std::int64_t frame = now / kFrame;
  if (r.kind == RequestKind::Control) {
    const std::int64_t maxPacket0 = deviceDescriptor_.size() > 7 && deviceDescriptor_[7] != 0 ? deviceDescriptor_[7] : 8;
    const std::int64_t dataFrames = CeilDiv(CeilDiv(r.done, maxPacket0), kPacketsPerFrame);
    const std::int64_t due = (frame + 2 + dataFrames) * kFrame;
    busTime_ += due - now;
    return due;
  }
  if (r.pipe->type == UsbdPipeTypeInterrupt) {
    const std::int64_t interval = std::max<std::int64_t>(1, r.pipe->interval);
    return (CeilDiv(frame, interval) * interval + 1) * kFrame;
  }
  if (frame > bulkFrame_) {
    bulkFrame_ = frame;
    bulkFramePackets_ = 0;
  }
  bulkFramePackets_ += r.packets;
  while (bulkFramePackets_ > kPacketsPerFrame) {
    ++bulkFrame_;
    bulkFramePackets_ -= kPacketsPerFrame;
  }
  const std::int64_t due = (bulkFrame_ + 1) * kFrame;
  busTime_ += due - now;
  return due;
}

// Held completions whose frame has ended go to `local`, in order.
void BusDevice::Impl::TakeDueLocked(Completions& local) {
  const std::int64_t now = Clock::Now();
  while (!held_.empty() && held_.front().due <= now) {
    local.push_back(held_.front().request);
    held_.pop_front();
  }
  heldCount_.store(held_.size());
}

// Barriers (aborts) whose transfers have all been completed end now, in order.
void BusDevice::Impl::CheckBarriersLocked(Completions& local) {
  for (auto it = barriers_.begin(); it != barriers_.end();) {
    Request* r = *it;
    const bool ready = std::none_of(r->waitFor.begin(), r->waitFor.end(),
                                    [&](std::uint64_t id) { return requests_.count(id) != 0; });
    if (!ready) {
      ++it;
      continue;
    }
    it = barriers_.erase(it);
    if (r->kind == RequestKind::ResetPort)
      ExecuteResetPortLocked(r, local);
    else
      FinishLocked(r, USBD_STATUS_SUCCESS, local);
  }
}

// The device left the bus: everything waiting fails with the device-gone statuses (a
// wait-wake with STATUS_NO_SUCH_DEVICE); the USB thread then calls the unplug handler.
void BusDevice::Impl::HandleUnplugLocked(Completions& local) {
  if (gone_) return;
  gone_ = true;
  for (Request* r : control_) FinishLocked(r, USBD_STATUS_DEVICE_GONE, local);
  control_.clear();
  for (auto& pipe : pipes_) CancelPipeLocked(*pipe, USBD_STATUS_DEVICE_GONE, local);
  if (waitWake_ != nullptr && ClaimLocked(waitWake_))
    FinishLocked(waitWake_, USBD_STATUS_DEVICE_GONE, STATUS_NO_SUCH_DEVICE, local);
  Signal(true);
}

// Completes the requests in order, without locks; on the USB thread at DISPATCH_LEVEL.
// After each one the request is forgotten and barriers waiting for it may end (they are
// appended and completed in the same pass).
void BusDevice::Impl::CompleteAll(Completions& local) {
  for (std::size_t i = 0; i < local.size(); ++i) {
    Request* r = local[i];
    PIRP irp = r->irp;
    if (r->kind == RequestKind::WaitWake) PoStartNextPowerIrp(irp);
    HoldPoints::Pass(kHoldUsbCompletion, r->kind == RequestKind::Transfer ? r->endpoint : 0);
    if (OnUsbThread()) {
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      KeLowerIrql(old);
    } else {
      IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    std::lock_guard<std::mutex> lock(engine_);
    requests_.erase(r->id);
    CheckBarriersLocked(local);
    NoteQueuesLocked();
  }
  local.clear();
}

void BusDevice::Impl::NoteQueuesLocked() {
  std::size_t count = 0;
  for (const auto& pipe : pipes_) count += pipe->queue.size();
  if (queued_.exchange(count) == count) return;
  idle_.NotifyAll();
}

// From the cancel routine, any thread, cancel spin lock released.
void BusDevice::Impl::CancelRequest(PIRP irp) {
  Completions local;
  {
    std::lock_guard<std::mutex> lock(engine_);
    auto it = cancellable_.find(irp);
    if (it == cancellable_.end()) return;
    Request* r = it->second;
    if (r->kind == RequestKind::Transfer) {
      auto& queue = r->pipe->queue;
      auto at = std::find(queue.begin(), queue.end(), r);
      if (at != queue.end()) queue.erase(at);
    }
    FinishLocked(r, USBD_STATUS_CANCELED, STATUS_CANCELLED, local);
    NoteQueuesLocked();
    Signal(true);  // the pipe's next transfer may move now
  }
  CompleteAll(local);
}

void BusDevice::Impl::Signal(bool work, std::uint32_t readyBits) {
  {
    std::lock_guard<std::mutex> lock(signal_);
    work_ = work_ || work;
    ready_ |= readyBits;
  }
  signalled_.NotifyAll();
}

// Waits for work, the end of a held completion's frame, or the device's timer (which is
// then run); kernel time counts in 100-ns units, the device's in nanoseconds.
void BusDevice::Impl::WaitForSignal() {
  const auto signalled = [&] {
    std::lock_guard<std::mutex> lock(signal_);
    return stop_ || work_ || ready_ != 0 || wake_;
  };
  const std::optional<std::chrono::nanoseconds> timer = device_.NextTimer();
  std::optional<std::int64_t> deadline;
  if (timer) deadline = CeilDiv(timer->count(), 100);
  {
    std::lock_guard<std::mutex> lock(engine_);
    if (!held_.empty() && (!deadline || held_.front().due < *deadline)) deadline = held_.front().due;
  }
  if (!deadline) {
    signalled_.Wait(signalled);
    return;
  }
  signalled_.WaitUntil(signalled, *deadline);
  if (timer && Clock::Now() * 100 >= timer->count()) device_.TimerDue();
}

// The USB thread: waits for work, moves transfers, completes what finished.
void BusDevice::Impl::ThreadMain() {
  for (;;) {
    std::uint32_t ready = 0;
    bool wake = false;
    {
      std::lock_guard<std::mutex> lock(signal_);
      busy_ = false;
    }
    idle_.NotifyAll();
    WaitForSignal();
    {
      std::lock_guard<std::mutex> lock(signal_);
      if (stop_) return;
      ready = ready_;
      wake = wake_;
      ready_ = 0;
      work_ = false;
      wake_ = false;
      busy_ = true;
    }
    Completions local;
    std::function<void()> handler;
    {
      std::lock_guard<std::mutex> lock(engine_);
      if (deviceUnplugged_.load()) HandleUnplugLocked(local);
      while (!control_.empty()) {
        Request* r = control_.front();
        control_.pop_front();
        RunControlLocked(r, local);
      }
      for (auto& pipe : pipes_)
        if (pipe->valid) ProgressPipeLocked(*pipe, ready, local);
      if (wake && waitWake_ != nullptr && !gone_) {
        device_.Suspend(false);  // the hub resumes the port on the device's resume signal
        devicePower_ = PowerDeviceD0;
        if (ClaimLocked(waitWake_)) FinishLocked(waitWake_, USBD_STATUS_SUCCESS, STATUS_SUCCESS, local);
      }
      while (!done_.empty()) {
        local.push_back(done_.front());
        done_.pop_front();
      }
      TakeDueLocked(local);
      if (gone_ && !unplugHandled_ && unplugHandler_) {
        unplugHandled_ = true;
        handler = unplugHandler_;
      }
      NoteQueuesLocked();
    }
    CompleteAll(local);
    if (handler) handler();
  }
}

}  // namespace hosted::usb

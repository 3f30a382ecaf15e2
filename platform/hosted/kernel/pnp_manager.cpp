// The PnP manager: device nodes, AddDevice, the PnP IRPs and the orders they come in.
#include "pnp_manager.h"

#include <cstring>
#include <unordered_map>

#include "internal.h"
#include "io_manager.h"
#include "pnp_internal.h"
#include "registry.h"
#include "scheduler.h"

using namespace hosted;
using namespace hosted::detail;

namespace {

constexpr ULONG kAddressUnknown = 0xFFFFFFFF;  // Address / UINumber before the bus fills them

// Nodes by PDO, for the I/O manager's create check and the last-handle report.
struct NodeRegistry {
  std::mutex mutex;
  std::unordered_map<PDEVICE_OBJECT, std::weak_ptr<PnpDevice::Impl>> nodes;
};

NodeRegistry& Nodes() {
  static NodeRegistry* registry = new NodeRegistry();
  return *registry;
}

std::shared_ptr<PnpDevice::Impl> FindNode(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> lock(Nodes().mutex);
  auto it = Nodes().nodes.find(pdo);
  return it == Nodes().nodes.end() ? nullptr : it->second.lock();
}


}  // namespace

namespace hosted {

// ---- the node ----------------------------------------------------------------------------

class PnpDevice::Impl : public std::enable_shared_from_this<PnpDevice::Impl> {
 public:
  ~Impl() {
    if (worker_ != nullptr) worker_->Detach();  // only after a report that never finished
  }
  Impl(PDEVICE_OBJECT pdo, PDRIVER_OBJECT driver, PnpDeviceOptions options)
      : pdo_(pdo), driver_(driver), options_(std::move(options)) {}

  // Sequences and steps; each takes the operation lock (one PnP action at a time).
  NTSTATUS Plug();
  NTSTATUS Disable();
  NTSTATUS QueryRemoveVetoed();
  NTSTATUS Rebalance(bool vetoAfterQuery);
  NTSTATUS ReportMissing();
  void ReportMissingAsync();
  bool WaitIdle(std::chrono::milliseconds realTimeout);
  NTSTATUS AddDevice();
  NTSTATUS Send(UCHAR minor);
  void Teardown();
  void LastHandleClosed();
  NTSTATUS CreateAllowed() const;

  PDEVICE_OBJECT Pdo() const {
    std::lock_guard<std::mutex> lock(state_mutex_);
    return pdo_;
  }
  PnpState State() const {
    std::lock_guard<std::mutex> lock(state_mutex_);
    return state_;
  }
  bool Missing() const {
    std::lock_guard<std::mutex> lock(state_mutex_);
    return missing_;
  }
  bool RemovalDeferred() const {
    std::lock_guard<std::mutex> lock(state_mutex_);
    return removal_deferred_;
  }
  std::vector<PnpStep> History() const {
    std::lock_guard<std::mutex> lock(state_mutex_);
    return history_;
  }
  void ClearHistory() {
    std::lock_guard<std::mutex> lock(state_mutex_);
    history_.clear();
  }
  DEVICE_CAPABILITIES Capabilities() const {
    std::lock_guard<std::mutex> lock(state_mutex_);
    return capabilities_;
  }

 private:
  // With operation_ held.
  NTSTATUS AddDeviceLocked();
  NTSTATUS SendLocked(UCHAR minor);
  NTSTATUS StartLocked(bool first);
  NTSTATUS RemoveLocked();
  NTSTATUS SendIrp(UCHAR minor, ULONG_PTR* information);
  void AfterRemove();
  void Record(const PnpStep& step);
  void SetState(PnpState state) {
    std::lock_guard<std::mutex> lock(state_mutex_);
    state_ = state;
  }

  BlockingMutex operation_{"the PnP manager's operation lock"};  // held across a whole step or sequence
  mutable std::mutex state_mutex_;
  PDEVICE_OBJECT pdo_;
  PDRIVER_OBJECT driver_;
  PnpDeviceOptions options_;
  PnpState state_ = PnpState::NotAdded;
  PnpState before_query_ = PnpState::NotAdded;  // what a cancel returns to
  bool missing_ = false;
  bool removal_deferred_ = false;
  std::vector<PnpStep> history_;
  DEVICE_CAPABILITIES capabilities_{};
  DEVICE_CAPABILITIES query_buffer_{};
  std::unique_ptr<KernelThread> worker_;  // an asynchronous missing report
};

void PnpDevice::Impl::Record(const PnpStep& step) {
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    history_.push_back(step);
  }
  if (options_.observer) options_.observer(step);
}

// Calls the driver's AddDevice for the PDO (PASSIVE_LEVEL) and checks what it left.
NTSTATUS PnpDevice::Impl::AddDeviceLocked() {
  PDEVICE_OBJECT pdo = Pdo();
  if (pdo == nullptr) return STATUS_NO_SUCH_DEVICE;
  PDRIVER_ADD_DEVICE addDevice = driver_->DriverExtension->AddDevice;
  if (addDevice == NULL) {
    Verifier::Report(Check::InvalidParameter, "AddDevice", "the function driver has no AddDevice routine");
    return STATUS_NOT_SUPPORTED;
  }
  const KIRQL irql = CurrentIrql();
  const std::size_t locks = CurrentThread().heldLocks.size();
  const NTSTATUS status = addDevice(driver_, pdo);
  CheckRoutineReturn("AddDevice", irql, locks);
  if (NT_SUCCESS(status)) {
    for (PDEVICE_OBJECT device = pdo->AttachedDevice; device != NULL; device = device->AttachedDevice) {
      if (device->Flags & DO_DEVICE_INITIALIZING) {
        Verifier::Report(Check::InvalidParameter, "AddDevice",
                         "device " + PointerText(device) + " is still DO_DEVICE_INITIALIZING after AddDevice returned");
      }
    }
    SetState(PnpState::Added);
  } else if (pdo->AttachedDevice != NULL) {
    Verifier::Report(Check::DeviceObjectLeak, "AddDevice",
                     "AddDevice failed with " + StatusText(status) + " but left device " +
                         PointerText(pdo->AttachedDevice) + " attached to the PDO");
  }
  Record(PnpStep{true, 0, status, 0});
  return status;
}

// One PnP IRP to the top of the stack, allocated and initialised as the PnP manager does;
// returns its final status once it has come back, and frees it.
NTSTATUS PnpDevice::Impl::SendIrp(UCHAR minor, ULONG_PTR* information) {
  if (CurrentIrql() != PASSIVE_LEVEL) {
    Verifier::Report(Check::IrqlInvalid, "PnP manager", "PnP IRPs are sent at PASSIVE_LEVEL");
  }
  PDEVICE_OBJECT pdo = Pdo();
  if (pdo == nullptr) return STATUS_NO_SUCH_DEVICE;
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
  PIRP irp;
  {
    InjectionExemptScope exempt;
    irp = IoAllocateIrp(top->StackSize, FALSE);
  }
  if (irp == NULL) {
    ObDereferenceObject(top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;
  irp->RequestorMode = KernelMode;
  irp->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(KeGetCurrentThread());
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_PNP;
  next->MinorFunction = minor;
  if (minor == IRP_MN_QUERY_CAPABILITIES) {
    std::memset(&query_buffer_, 0, sizeof query_buffer_);
    query_buffer_.Size = sizeof(DEVICE_CAPABILITIES);
    query_buffer_.Version = 1;
    query_buffer_.Address = kAddressUnknown;
    query_buffer_.UINumber = kAddressUnknown;
    next->Parameters.DeviceCapabilities.Capabilities = &query_buffer_;
  }
  IrpWaiter waiter;
  waiter.Arm(irp, "the PnP manager's wait for its IRP");
  (void)IoCallDriver(top, irp);
  if (!waiter.Wait(kSystemIrpPatience)) {
    Verifier::Report(Check::IrpNotCompleted, "PnP manager",
                     PnpMinorName(minor) + " never came back from the device stack; the IRP is abandoned");
    ObDereferenceObject(top);
    return STATUS_PENDING;
  }
  const NTSTATUS status = irp->IoStatus.Status;
  *information = irp->IoStatus.Information;
  IoFreeIrp(irp);
  ObDereferenceObject(top);
  if (minor == IRP_MN_QUERY_CAPABILITIES && NT_SUCCESS(status)) {
    std::lock_guard<std::mutex> lock(state_mutex_);
    capabilities_ = query_buffer_;
  }
  return status;
}

// Sends one IRP and moves the node's state as the IRP means.
NTSTATUS PnpDevice::Impl::SendLocked(UCHAR minor) {
  const PnpState before = State();
  ULONG_PTR information = 0;
  const NTSTATUS status = SendIrp(minor, &information);
  Record(PnpStep{false, minor, status, information});
  const bool ok = NT_SUCCESS(status);
  switch (minor) {
    case IRP_MN_START_DEVICE:
      if (ok) SetState(PnpState::Started);
      break;
    case IRP_MN_QUERY_STOP_DEVICE:
      if (ok) SetState(PnpState::StopPending);
      break;
    case IRP_MN_CANCEL_STOP_DEVICE:
      if (before == PnpState::StopPending) SetState(PnpState::Started);
      break;
    case IRP_MN_STOP_DEVICE:
      if (!ok) {
        // Windows requires a function driver to succeed the stop; one that cannot stop
        // must refuse IRP_MN_QUERY_STOP_DEVICE instead.
        Verifier::Report(Check::StopDeviceFailed, "IRP_MN_STOP_DEVICE",
                         "the device stack failed IRP_MN_STOP_DEVICE with " + StatusText(status) +
                             "; a driver that cannot stop must fail IRP_MN_QUERY_STOP_DEVICE");
      }
      SetState(PnpState::Stopped);
      break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
      if (ok) {
        before_query_ = before;
        SetState(PnpState::RemovePending);
      }
      break;
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      if (before == PnpState::RemovePending) SetState(before_query_);
      break;
    case IRP_MN_SURPRISE_REMOVAL:
      SetState(PnpState::SurpriseRemoved);
      break;
    case IRP_MN_REMOVE_DEVICE:
      AfterRemove();
      break;
    default:
      break;
  }
  return status;
}

// After REMOVE: nothing may stay attached; interfaces left enabled are disabled; a missing
// device's PDO goes.
void PnpDevice::Impl::AfterRemove() {
  PDEVICE_OBJECT pdo = Pdo();
  if (pdo == nullptr) return;
  if (pdo->AttachedDevice != NULL) {
    Verifier::Report(Check::DeviceObjectLeak, "IRP_MN_REMOVE_DEVICE",
                     "device " + PointerText(pdo->AttachedDevice) +
                         " is still attached to the PDO after IRP_MN_REMOVE_DEVICE came back");
  }
  for (const DeviceInterface& entry : Devices::Interfaces(pdo)) {
    if (!entry.enabled) continue;
    std::u16string link = entry.symbolicLink;
    UNICODE_STRING name;
    name.Buffer = link.data();
    name.Length = name.MaximumLength = static_cast<USHORT>(link.size() * sizeof(WCHAR));
    (void)IoSetDeviceInterfaceState(&name, FALSE);
  }
  bool deleted = false;
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    state_ = PnpState::NotAdded;
    removal_deferred_ = false;
    if (!missing_) return;
  }
  if (options_.deletePdo) deleted = options_.deletePdo();
  if (!deleted) return;
  {
    std::lock_guard<std::mutex> lock(Nodes().mutex);
    Nodes().nodes.erase(pdo);
  }
  std::lock_guard<std::mutex> lock(state_mutex_);
  state_ = PnpState::Deleted;
  pdo_ = nullptr;
}

// `first`: the start after AddDevice, which Windows follows with a query of the device's
// PnP state (a start after a rebalance is not).
NTSTATUS PnpDevice::Impl::StartLocked(bool first) {
  // Windows offers the stack the device's resource requirements (none for a USB function)
  // before every start; drivers count it as the first request they handle.
  (void)SendLocked(IRP_MN_FILTER_RESOURCE_REQUIREMENTS);
  const NTSTATUS status = SendLocked(IRP_MN_START_DEVICE);
  if (!NT_SUCCESS(status)) {
    (void)SendLocked(IRP_MN_REMOVE_DEVICE);  // Windows 2000 and later remove a stack that failed to start
    return status;
  }
  (void)SendLocked(IRP_MN_QUERY_CAPABILITIES);
  if (first) (void)SendLocked(IRP_MN_QUERY_PNP_DEVICE_STATE);
  return status;
}

NTSTATUS PnpDevice::Impl::RemoveLocked() { return SendLocked(IRP_MN_REMOVE_DEVICE); }

NTSTATUS PnpDevice::Impl::AddDevice() {
  std::lock_guard<BlockingMutex> lock(operation_);
  return AddDeviceLocked();
}

NTSTATUS PnpDevice::Impl::Send(UCHAR minor) {
  std::lock_guard<BlockingMutex> lock(operation_);
  return SendLocked(minor);
}

NTSTATUS PnpDevice::Impl::Plug() {
  std::lock_guard<BlockingMutex> lock(operation_);
  const PnpState state = State();
  if (state == PnpState::Deleted || Pdo() == nullptr) return STATUS_NO_SUCH_DEVICE;
  if (state != PnpState::NotAdded) return STATUS_INVALID_DEVICE_STATE;
  const NTSTATUS added = AddDeviceLocked();
  if (!NT_SUCCESS(added)) return added;
  return StartLocked(true);
}

NTSTATUS PnpDevice::Impl::Disable() {
  std::lock_guard<BlockingMutex> lock(operation_);
  const PnpState state = State();
  if (state == PnpState::NotAdded || state == PnpState::Deleted || state == PnpState::SurpriseRemoved) {
    return STATUS_INVALID_DEVICE_STATE;
  }
  // Applications are asked first; one that keeps its handle open vetoes the removal.
  if (OpenHandleCount(Pdo()) != 0) return STATUS_DEVICE_BUSY;
  const NTSTATUS query = SendLocked(IRP_MN_QUERY_REMOVE_DEVICE);
  if (!NT_SUCCESS(query)) {
    (void)SendLocked(IRP_MN_CANCEL_REMOVE_DEVICE);
    return query;
  }
  return RemoveLocked();
}

NTSTATUS PnpDevice::Impl::QueryRemoveVetoed() {
  std::lock_guard<BlockingMutex> lock(operation_);
  if (State() == PnpState::NotAdded || State() == PnpState::Deleted) return STATUS_INVALID_DEVICE_STATE;
  const NTSTATUS query = SendLocked(IRP_MN_QUERY_REMOVE_DEVICE);
  (void)SendLocked(IRP_MN_CANCEL_REMOVE_DEVICE);
  return query;
}

NTSTATUS PnpDevice::Impl::Rebalance(bool vetoAfterQuery) {
  std::lock_guard<BlockingMutex> lock(operation_);
  if (State() != PnpState::Started) return STATUS_INVALID_DEVICE_STATE;
  const NTSTATUS query = SendLocked(IRP_MN_QUERY_STOP_DEVICE);
  if (!NT_SUCCESS(query) || vetoAfterQuery) {
    (void)SendLocked(IRP_MN_CANCEL_STOP_DEVICE);
    return NT_SUCCESS(query) ? STATUS_UNSUCCESSFUL : query;
  }
  const NTSTATUS stop = SendLocked(IRP_MN_STOP_DEVICE);
  const NTSTATUS start = StartLocked(false);  // new resources are handed out whatever the stop said
  return NT_SUCCESS(stop) ? start : stop;
}

NTSTATUS PnpDevice::Impl::ReportMissing() {
  std::lock_guard<BlockingMutex> lock(operation_);
  PnpState state;
  {
    std::lock_guard<std::mutex> guard(state_mutex_);
    missing_ = true;
    state = state_;
  }
  switch (state) {
    case PnpState::Deleted:
    case PnpState::SurpriseRemoved:
      return STATUS_SUCCESS;
    case PnpState::NotAdded:
      AfterRemove();  // no stack: only the PDO goes
      return STATUS_SUCCESS;
    case PnpState::Added:
      return RemoveLocked();  // never started: no surprise removal
    default:
      break;
  }
  const NTSTATUS status = SendLocked(IRP_MN_SURPRISE_REMOVAL);
  if (OpenHandleCount(Pdo()) == 0) {
    (void)RemoveLocked();
  } else {
    std::lock_guard<std::mutex> guard(state_mutex_);
    removal_deferred_ = true;
  }
  return status;
}

void PnpDevice::Impl::ReportMissingAsync() {
  std::lock_guard<std::mutex> lock(state_mutex_);
  if (worker_ != nullptr) return;  // one report is enough
  worker_ = std::make_unique<KernelThread>("PnP manager worker",
                                           [self = shared_from_this()] { (void)self->ReportMissing(); });
}

bool PnpDevice::Impl::WaitIdle(std::chrono::milliseconds realTimeout) {
  KernelThread* worker;
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    worker = worker_.get();
  }
  if (worker == nullptr || worker->IsCurrent()) return true;
  return worker->Join(realTimeout);
}

// The last handle went: a surprise-removed device gets its REMOVE now.
void PnpDevice::Impl::LastHandleClosed() {
  std::lock_guard<BlockingMutex> lock(operation_);
  if (!RemovalDeferred() || OpenHandleCount(Pdo()) != 0) return;
  (void)RemoveLocked();
}

NTSTATUS PnpDevice::Impl::CreateAllowed() const {
  switch (State()) {
    case PnpState::Started:
    case PnpState::StopPending:
    case PnpState::Stopped:
      return STATUS_SUCCESS;
    case PnpState::RemovePending:
      return STATUS_DELETE_PENDING;
    default:
      return STATUS_NO_SUCH_DEVICE;  // not started yet, surprise-removed or gone
  }
}

// Takes down a stack the owner left: a disable, or the rest of an unplug.
void PnpDevice::Impl::Teardown() {
  (void)WaitIdle(kSystemIrpPatience);
  const PnpState state = State();
  if (state == PnpState::NotAdded || state == PnpState::Deleted || state == PnpState::SurpriseRemoved) return;
  if (Missing()) return;
  (void)Disable();
}

}  // namespace hosted

// ---- detail hooks for the I/O manager ----------------------------------------------------

namespace hosted::detail {

NTSTATUS PnpCreateAllowed(PDEVICE_OBJECT pdo) {
  std::shared_ptr<PnpDevice::Impl> node = FindNode(pdo);
  return node == nullptr ? STATUS_SUCCESS : node->CreateAllowed();
}

void PnpLastHandleClosed(PDEVICE_OBJECT pdo) {
  std::shared_ptr<PnpDevice::Impl> node = FindNode(pdo);
  if (node != nullptr) node->LastHandleClosed();
}

void IrpWaiter::Arm(PIRP irp, const char* what) {
  what_ = what;
  irp_ = irp;
  IoSetCompletionRoutine(irp, &IrpWaiter::Completed, this, TRUE, TRUE, TRUE);
}

bool IrpWaiter::Done() const {
  std::lock_guard<std::mutex> lock(DispatcherLock());
  return done_;
}

bool IrpWaiter::Wait(std::chrono::milliseconds realTimeout) {
  const auto deadline = std::chrono::steady_clock::now() + realTimeout;
  WaitSpec wait;
  wait.kind = what_;
  wait.object = irp_;  // woken through its IRP's address
  wait.objectType = "IRP";
  wait.caller = __builtin_return_address(0);
  wait.realDeadline = &deadline;
  std::unique_lock<std::mutex> lock(DispatcherLock());
  while (!done_) {
    if (RealTimeoutsApplyLocked() && std::chrono::steady_clock::now() >= deadline) return false;
    BlockLocked(lock, wait);
  }
  return true;
}

// Completion routine of a system IRP (any thread, up to DISPATCH_LEVEL): the IRP is back;
// its sender frees it.
NTSTATUS NTAPI IrpWaiter::Completed(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  (void)device;
  (void)irp;
  auto* waiter = static_cast<IrpWaiter*>(context);
  std::lock_guard<std::mutex> lock(DispatcherLock());
  waiter->done_ = true;
  WakeLocked(waiter->irp_);
  return STATUS_MORE_PROCESSING_REQUIRED;  // the sender frees the IRP
}

}  // namespace hosted::detail

// ---- PnpDevice -----------------------------------------------------------------------------

namespace hosted {

const char* PnpStateName(PnpState state) {
  switch (state) {
    case PnpState::NotAdded: return "not added";
    case PnpState::Added: return "added";
    case PnpState::Started: return "started";
    case PnpState::StopPending: return "stop pending";
    case PnpState::Stopped: return "stopped";
    case PnpState::RemovePending: return "remove pending";
    case PnpState::SurpriseRemoved: return "surprise-removed";
    case PnpState::Deleted: return "deleted";
  }
  return "?";
}

std::string PnpMinorName(UCHAR minor) {
  switch (minor) {
    case IRP_MN_START_DEVICE: return "IRP_MN_START_DEVICE";
    case IRP_MN_QUERY_REMOVE_DEVICE: return "IRP_MN_QUERY_REMOVE_DEVICE";
    case IRP_MN_REMOVE_DEVICE: return "IRP_MN_REMOVE_DEVICE";
    case IRP_MN_CANCEL_REMOVE_DEVICE: return "IRP_MN_CANCEL_REMOVE_DEVICE";
    case IRP_MN_STOP_DEVICE: return "IRP_MN_STOP_DEVICE";
    case IRP_MN_QUERY_STOP_DEVICE: return "IRP_MN_QUERY_STOP_DEVICE";
    case IRP_MN_CANCEL_STOP_DEVICE: return "IRP_MN_CANCEL_STOP_DEVICE";
    case IRP_MN_QUERY_CAPABILITIES: return "IRP_MN_QUERY_CAPABILITIES";
    case IRP_MN_FILTER_RESOURCE_REQUIREMENTS: return "IRP_MN_FILTER_RESOURCE_REQUIREMENTS";
    case IRP_MN_QUERY_PNP_DEVICE_STATE: return "IRP_MN_QUERY_PNP_DEVICE_STATE";
    case IRP_MN_SURPRISE_REMOVAL: return "IRP_MN_SURPRISE_REMOVAL";
    default: return "IRP_MN_" + Hex(minor, 2);
  }
}

std::string PnpStep::Name() const { return addDevice ? "AddDevice" : PnpMinorName(minor); }

PnpDevice::PnpDevice(PDEVICE_OBJECT pdo, PDRIVER_OBJECT driver, PnpDeviceOptions options)
    : impl_(std::make_shared<Impl>(pdo, driver, std::move(options))) {
  if (!IsLiveDevice(pdo) || LowerDevice(pdo) != nullptr || driver == nullptr) {
    Verifier::Report(Check::InvalidParameter, "PnP manager", "a device node needs a live PDO and a function driver");
  }
  std::lock_guard<std::mutex> lock(Nodes().mutex);
  Nodes().nodes[pdo] = impl_;
}

PnpDevice::~PnpDevice() {
  PDEVICE_OBJECT pdo = impl_->Pdo();
  impl_->Teardown();
  std::lock_guard<std::mutex> lock(Nodes().mutex);
  auto it = Nodes().nodes.find(pdo);
  if (it != Nodes().nodes.end() && it->second.lock() == impl_) Nodes().nodes.erase(it);
}

NTSTATUS PnpDevice::Plug() { return impl_->Plug(); }
NTSTATUS PnpDevice::Disable() { return impl_->Disable(); }
NTSTATUS PnpDevice::QueryRemoveVetoed() { return impl_->QueryRemoveVetoed(); }
NTSTATUS PnpDevice::Rebalance(bool vetoAfterQuery) { return impl_->Rebalance(vetoAfterQuery); }
NTSTATUS PnpDevice::ReportMissing() { return impl_->ReportMissing(); }
void PnpDevice::ReportMissingAsync() { impl_->ReportMissingAsync(); }
bool PnpDevice::WaitIdle(std::chrono::milliseconds realTimeout) { return impl_->WaitIdle(realTimeout); }
NTSTATUS PnpDevice::AddDevice() { return impl_->AddDevice(); }
NTSTATUS PnpDevice::Send(UCHAR minor) { return impl_->Send(minor); }

std::function<void()> PnpDevice::UnplugReporter() const {
  std::weak_ptr<Impl> weak = impl_;
  return [weak] {
    if (std::shared_ptr<Impl> node = weak.lock()) node->ReportMissingAsync();
  };
}

PDEVICE_OBJECT PnpDevice::Pdo() const { return impl_->Pdo(); }

PDEVICE_OBJECT PnpDevice::TopOfStack() const {
  PDEVICE_OBJECT pdo = impl_->Pdo();
  return pdo == nullptr ? nullptr : IoGetAttachedDevice(pdo);
}

PDEVICE_OBJECT PnpDevice::FunctionDevice() const {
  PDEVICE_OBJECT pdo = impl_->Pdo();
  return pdo == nullptr ? nullptr : pdo->AttachedDevice;
}

PnpState PnpDevice::State() const { return impl_->State(); }
bool PnpDevice::Missing() const { return impl_->Missing(); }
bool PnpDevice::RemovalWaitsForHandles() const { return impl_->RemovalDeferred(); }

std::size_t PnpDevice::OpenHandles() const {
  PDEVICE_OBJECT pdo = impl_->Pdo();
  return pdo == nullptr ? 0 : OpenHandleCount(pdo);
}

std::vector<PnpStep> PnpDevice::History() const { return impl_->History(); }
void PnpDevice::ClearHistory() { impl_->ClearHistory(); }
DEVICE_CAPABILITIES PnpDevice::Capabilities() const { return impl_->Capabilities(); }

std::string PnpDevice::HardwareKeyPath() const {
  PDEVICE_OBJECT pdo = impl_->Pdo();
  return pdo == nullptr ? std::string() : Registry::DeviceKeyPath(pdo, PLUGPLAY_REGKEY_DEVICE);
}

}  // namespace hosted

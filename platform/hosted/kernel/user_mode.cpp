// The user-mode side: file objects and handles, create/cleanup/close, buffered
// device-control requests (synchronous and overlapped), cancel.
#include "user_mode.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "internal.h"
#include "io_manager.h"
#include "pnp_internal.h"

using namespace hosted;
using namespace hosted::detail;

namespace {

constexpr ULONG kFileOpen = 0x00000001;  // create disposition FILE_OPEN
constexpr int kCreateDispositionShift = 24;

// Open handles per device stack (by its PDO).
struct HandleTable {
  std::mutex mutex;
  std::unordered_map<PDEVICE_OBJECT, std::size_t> open;
  // Requests whose driver never completed them: kept so that a late completion finds its
  // waiter alive.
  std::vector<std::shared_ptr<void>> abandoned;
};

HandleTable& Handles() {
  static HandleTable* table = new HandleTable();
  return *table;
}

// "\\?\..." as applications write it is the same link as "\??\...".
std::u16string NormaliseLink(std::u16string_view link) {
  std::u16string text(link);
  if (text.rfind(u"\\\\?\\", 0) == 0) text.replace(0, 4, u"\\??\\");
  for (char16_t& c : text) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  return text;
}

// An IRP the I/O manager builds for a user request, for the top of the stack.
PIRP NewUserIrp(PDEVICE_OBJECT top, UCHAR major, PFILE_OBJECT file) {
  PIRP irp;
  {
    InjectionExemptScope exempt;
    irp = IoAllocateIrp(top->StackSize, FALSE);
  }
  if (irp == NULL) return NULL;
  irp->RequestorMode = UserMode;
  irp->Tail.Overlay.OriginalFileObject = file;
  irp->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(KeGetCurrentThread());
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = major;
  next->FileObject = file;
  return irp;
}

void CheckPassiveCaller(const char* routine) {
  if (CurrentIrql() != PASSIVE_LEVEL) {
    Verifier::Report(Check::IrqlInvalid, routine, "user-mode requests come from PASSIVE_LEVEL");
  }
}

}  // namespace

// ---- requests ------------------------------------------------------------------------------

namespace hosted {

class UserRequest::Impl {
 public:
  // The last owner is going: no other thread reads the request now.
  ~Impl() {
    if (!collected_ && Done()) Finish();
  }

  // Builds and sends the request; the IRP stays until the request is collected.
  void Send(PDEVICE_OBJECT device, PFILE_OBJECT file, ULONG code, std::span<const std::uint8_t> input,
            ULONG outputLength) {
    code_ = code;
    output_.assign(outputLength, 0);
    output_length_ = outputLength;
    top_ = IoGetAttachedDeviceReference(device);
    PIRP irp = NewUserIrp(top_, IRP_MJ_DEVICE_CONTROL, file);
    if (irp == NULL) {
      Fail(STATUS_INSUFFICIENT_RESOURCES);
      return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    irp_ = irp;
    const ULONG inputLength = static_cast<ULONG>(input.size());
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    const ULONG length = std::max(inputLength, outputLength);
    if (length != 0) {
      system_buffer_ = std::malloc(length);
      std::memset(system_buffer_, kUninitialisedByte, length);
      if (inputLength != 0) std::memcpy(system_buffer_, input.data(), inputLength);
      irp_->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (outputLength != 0 ? IRP_INPUT_OPERATION : 0);
    }
    irp_->AssociatedIrp.SystemBuffer = system_buffer_;
    irp_->UserBuffer = output_.data();
    waiter_.Arm(irp_, "the I/O manager's wait for a device-control request");
    lock.unlock();  // the driver may complete or cancel it from any thread from now on
    const NTSTATUS returned = IoCallDriver(top_, irp);
    lock.lock();
    returned_ = returned;
  }

  // Whether the request has come back (or was never sent). The IRP pointer is read under
  // the lock: another thread may be collecting the request at the same time.
  bool Done() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return irp_ == nullptr || waiter_.Done();
  }
  // The driver has handed the request back: IoCompleteRequest has begun (a hold point may
  // keep it there) or ended.
  bool HandedBack() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return irp_ == nullptr || waiter_.Done() || CompletionRunning(irp_);
  }
  bool Wait(std::chrono::milliseconds timeout) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (irp_ == nullptr) return true;
    }
    return waiter_.Wait(timeout);
  }

  // The I/O manager's completion as the application sees it: output copied back,
  // buffer and IRP freed. Once; later calls return the same outcome.
  UserIoResult Collect() {
    Finish();
    std::lock_guard<std::mutex> lock(mutex_);
    return result_;
  }
  // The same for the one caller that never asks again (DeviceIoControl): the outcome is
  // handed over, not copied.
  UserIoResult TakeResult() {
    Finish();
    std::lock_guard<std::mutex> lock(mutex_);
    return std::move(result_);
  }

  bool Cancel() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (collected_ || irp_ == nullptr || waiter_.Done()) return false;
    return IoCancelIrp(irp_) != FALSE;
  }

  ULONG Code() const { return code_; }

  // A request the I/O manager refuses before building an IRP (a closed handle).
  void FailNow(NTSTATUS status, ULONG outputLength) {
    output_.assign(outputLength, 0);
    Fail(status);
  }

 private:
  // The collection itself, once the request is back: nothing before, nothing after.
  void Finish() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (collected_ || irp_ == nullptr || !waiter_.Done()) return;
    result_.status = irp_->IoStatus.Status;
    result_.information = irp_->IoStatus.Information;
    result_.returned = returned_;
    result_.returnedPending = returned_ == STATUS_PENDING;
    if (!NT_ERROR(result_.status) && (irp_->Flags & IRP_INPUT_OPERATION)) {
      ULONG_PTR copy = result_.information;
      if (copy > output_length_) {
        Verifier::Report(Check::InvalidParameter, "IofCompleteRequest",
                         "device-control request " + Hex(code_, 8) + " completed with Information " +
                             std::to_string(copy) + ", more than its output buffer of " +
                             std::to_string(output_length_) + " bytes");
        copy = output_length_;
      }
      std::memcpy(output_.data(), system_buffer_, copy);
    }
    result_.output = std::move(output_);  // the IRP that pointed into it goes now
    std::free(system_buffer_);
    system_buffer_ = nullptr;
    IoFreeIrp(irp_);
    irp_ = nullptr;
    ObDereferenceObject(top_);
    collected_ = true;
  }

  void Fail(NTSTATUS status) {
    result_.status = status;
    result_.returned = status;
    result_.output = output_;
    collected_ = true;
    if (top_ != nullptr) ObDereferenceObject(top_);
    top_ = nullptr;
  }

  mutable std::mutex mutex_;  // the IRP: collection against cancel and completion checks
  detail::IrpWaiter waiter_;
  PIRP irp_ = nullptr;
  PDEVICE_OBJECT top_ = nullptr;
  void* system_buffer_ = nullptr;
  std::vector<std::uint8_t> output_;
  ULONG output_length_ = 0;
  ULONG code_ = 0;
  NTSTATUS returned_ = STATUS_PENDING;
  bool collected_ = false;
  UserIoResult result_;
};

UserRequest::UserRequest(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
UserRequest::~UserRequest() = default;
bool UserRequest::Done() const { return impl_->Done(); }
bool UserRequest::Wait(std::chrono::milliseconds realTimeout) { return impl_->Wait(realTimeout); }
UserIoResult UserRequest::Result() { return impl_->Collect(); }
bool UserRequest::Cancel() { return impl_->Cancel(); }
ULONG UserRequest::IoControlCode() const { return impl_->Code(); }

// ---- files ----------------------------------------------------------------------------------

class UserFile::Impl {
 public:
  Impl(PDEVICE_OBJECT device, PDEVICE_OBJECT pdo) : device_(device), pdo_(pdo) {
    file_ = std::make_unique<FILE_OBJECT>();
    std::memset(file_.get(), 0, sizeof(FILE_OBJECT));
    file_->Type = IO_TYPE_FILE;
    file_->Size = sizeof(FILE_OBJECT);
    file_->DeviceObject = device;
    ObfReferenceObject(device);
  }
  ~Impl() { ObfDereferenceObject(device_); }

  // Sends one create/cleanup/close IRP and waits for it.
  NTSTATUS SendSync(UCHAR major) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device_);
    PIRP irp = NewUserIrp(top, major, file_.get());
    if (irp == NULL) {
      ObDereferenceObject(top);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    IO_SECURITY_CONTEXT security{};
    if (major == IRP_MJ_CREATE) {
      security.DesiredAccess = GENERIC_READ | GENERIC_WRITE;
      PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
      next->Parameters.Create.SecurityContext = &security;
      next->Parameters.Create.Options = kFileOpen << kCreateDispositionShift;
      irp->Flags = IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API;
    }
    detail::IrpWaiter waiter;
    waiter.Arm(irp, "the I/O manager's wait for a create, cleanup or close");
    (void)IoCallDriver(top, irp);
    if (!waiter.Wait(kSystemIrpPatience)) {
      Verifier::Report(Check::IrpNotCompleted, "I/O manager",
                       MajorName(major) + " never came back from the device stack; the IRP is abandoned");
      return STATUS_PENDING;  // the IRP and the device reference are left to the leak check
    }
    const NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    ObDereferenceObject(top);
    return status;
  }

  PDEVICE_OBJECT device_;
  PDEVICE_OBJECT pdo_;
  std::unique_ptr<FILE_OBJECT> file_;
  std::mutex mutex_;
  bool open_ = false;
  NTSTATUS cleanup_status_ = STATUS_SUCCESS;
  std::vector<std::shared_ptr<UserRequest::Impl>> requests_;
};

UserFile::UserFile(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

UserFile::~UserFile() {
  if (IsOpen()) (void)Close();
}

std::unique_ptr<UserFile> UserFile::OpenDevice(PDEVICE_OBJECT device, NTSTATUS* status) {
  CheckPassiveCaller("CreateFile");
  NTSTATUS ignored;
  NTSTATUS& result = status != nullptr ? *status : ignored;
  if (!IsLiveDevice(device)) {
    result = STATUS_NO_SUCH_DEVICE;
    return nullptr;
  }
  PDEVICE_OBJECT pdo = BottomOfStack(device);
  result = PnpCreateAllowed(pdo);
  if (!NT_SUCCESS(result)) return nullptr;
  PDEVICE_OBJECT top = IoGetAttachedDevice(device);
  if ((top->Flags & DO_DEVICE_INITIALIZING) || (device->Flags & DO_DEVICE_INITIALIZING)) {
    result = STATUS_NO_SUCH_DEVICE;
    return nullptr;
  }
  if (((top->Flags | device->Flags) & DO_EXCLUSIVE) && OpenHandleCount(pdo) != 0) {
    result = STATUS_ACCESS_DENIED;
    return nullptr;
  }
  auto impl = std::make_unique<Impl>(device, pdo);
  result = impl->SendSync(IRP_MJ_CREATE);
  if (!NT_SUCCESS(result)) return nullptr;  // no handle: no cleanup, no close
  impl->open_ = true;
  {
    std::lock_guard<std::mutex> lock(Handles().mutex);
    Handles().open[pdo]++;
  }
  return std::unique_ptr<UserFile>(new UserFile(std::move(impl)));
}

std::unique_ptr<UserFile> UserFile::Open(std::u16string_view symbolicLink, NTSTATUS* status) {
  const std::u16string wanted = NormaliseLink(symbolicLink);
  for (const DeviceInterface& entry : Devices::Interfaces()) {
    if (entry.enabled && NormaliseLink(entry.symbolicLink) == wanted) return OpenDevice(entry.physicalDevice, status);
  }
  if (status != nullptr) *status = STATUS_OBJECT_NAME_NOT_FOUND;
  return nullptr;
}

std::unique_ptr<UserFile> UserFile::OpenInterface(PDEVICE_OBJECT pdo, const GUID& interfaceClass, NTSTATUS* status) {
  for (const DeviceInterface& entry : Devices::Interfaces(pdo)) {
    if (entry.enabled && IsEqualGUID(entry.classGuid, interfaceClass)) return OpenDevice(pdo, status);
  }
  if (status != nullptr) *status = STATUS_OBJECT_NAME_NOT_FOUND;
  return nullptr;
}

std::shared_ptr<UserRequest> UserFile::DeviceIoControlAsync(ULONG ioControlCode, std::span<const std::uint8_t> input,
                                                            ULONG outputLength) {
  CheckPassiveCaller("DeviceIoControl");
  auto request = std::make_shared<UserRequest::Impl>();
  if (METHOD_FROM_CTL_CODE(ioControlCode) != METHOD_BUFFERED) {
    Verifier::Report(Check::Unimplemented, "DeviceIoControl",
                     "the hosted user-mode side only builds METHOD_BUFFERED requests (code " + Hex(ioControlCode, 8) + ")");
  }
  {
    std::lock_guard<std::mutex> lock(impl_->mutex_);
    if (!impl_->open_) {
      request->FailNow(STATUS_INVALID_HANDLE, outputLength);
      return std::shared_ptr<UserRequest>(new UserRequest(request));
    }
    // Collected requests are forgotten here; pending ones stay with the handle.
    std::erase_if(impl_->requests_, [](const auto& r) { return r.use_count() == 1 && r->Done(); });
    impl_->requests_.push_back(request);
  }
  request->Send(impl_->device_, impl_->file_.get(), ioControlCode, input, outputLength);
  return std::shared_ptr<UserRequest>(new UserRequest(request));
}

UserIoResult UserFile::DeviceIoControl(ULONG ioControlCode, std::span<const std::uint8_t> input, ULONG outputLength) {
  std::shared_ptr<UserRequest> request = DeviceIoControlAsync(ioControlCode, input, outputLength);
  if (!request->Wait(kSystemIrpPatience)) {
    Verifier::Report(Check::IrpNotCompleted, "DeviceIoControl",
                     "request " + Hex(ioControlCode, 8) + " still pending after the system's patience ran out");
    UserIoResult pending;
    pending.output.assign(outputLength, 0);
    return pending;
  }
  return request->impl_->TakeResult();
}

std::size_t UserFile::CancelIo() {
  std::vector<std::shared_ptr<UserRequest::Impl>> requests;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex_);
    requests = impl_->requests_;
  }
  std::size_t cancelled = 0;
  for (const auto& request : requests) cancelled += request->Cancel() ? 1 : 0;
  return cancelled;
}

NTSTATUS UserFile::Close() {
  CheckPassiveCaller("CloseHandle");
  std::vector<std::shared_ptr<UserRequest::Impl>> requests;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex_);
    if (!impl_->open_) return STATUS_INVALID_HANDLE;
    impl_->open_ = false;
  }
  impl_->cleanup_status_ = impl_->SendSync(IRP_MJ_CLEANUP);
  {
    std::lock_guard<std::mutex> lock(impl_->mutex_);
    requests.swap(impl_->requests_);
  }
  // The I/O manager does not cancel a handle's requests at CloseHandle: the driver must
  // complete them at cleanup, and IRP_MJ_CLOSE waits until they are gone. One still pending
  // is reported; the bench then cancels it, as the application's exit would, so that the
  // close can go on. One whose completion has begun is waited for.
  bool stuck = false;
  for (const auto& request : requests) {
    if (request->HandedBack()) continue;
    Verifier::Report(Check::RequestPendingAtClose, "CloseHandle",
                     "request " + Hex(request->Code(), 8) +
                         " still pending after IRP_MJ_CLEANUP: the driver must complete a handle's requests at "
                         "cleanup (IRP_MJ_CLOSE waits for them)");
    (void)request->Cancel();
  }
  for (const auto& request : requests) {
    if (!request->Wait(kSystemIrpPatience)) {
      Verifier::Report(Check::IrpNotCompleted, "CloseHandle",
                       "request " + Hex(request->Code(), 8) +
                           " neither completed at cleanup nor when cancelled: IRP_MJ_CLOSE cannot be sent");
      std::lock_guard<std::mutex> lock(Handles().mutex);
      Handles().abandoned.push_back(request);
      stuck = true;
      continue;
    }
    (void)request->Collect();
  }
  if (stuck) return STATUS_PENDING;
  const NTSTATUS close = impl_->SendSync(IRP_MJ_CLOSE);
  bool last;
  {
    std::lock_guard<std::mutex> lock(Handles().mutex);
    std::size_t& count = Handles().open[impl_->pdo_];
    if (count > 0) --count;
    last = count == 0;
    if (last) Handles().open.erase(impl_->pdo_);
  }
  if (last) PnpLastHandleClosed(impl_->pdo_);
  return NT_SUCCESS(impl_->cleanup_status_) ? close : impl_->cleanup_status_;
}

bool UserFile::IsOpen() const {
  std::lock_guard<std::mutex> lock(impl_->mutex_);
  return impl_->open_;
}

PFILE_OBJECT UserFile::FileObject() const { return impl_->file_.get(); }
PDEVICE_OBJECT UserFile::Device() const { return impl_->device_; }
NTSTATUS UserFile::CleanupStatus() const { return impl_->cleanup_status_; }

}  // namespace hosted

namespace hosted::detail {

std::size_t OpenHandleCount(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> lock(Handles().mutex);
  auto it = Handles().open.find(pdo);
  return it == Handles().open.end() ? 0 : it->second;
}

PDEVICE_OBJECT BottomOfStack(PDEVICE_OBJECT device) {
  PDEVICE_OBJECT bottom = device;
  for (PDEVICE_OBJECT lower = LowerDevice(bottom); lower != nullptr; lower = LowerDevice(bottom)) bottom = lower;
  return bottom;
}

}  // namespace hosted::detail

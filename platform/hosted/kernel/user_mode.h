// The user-mode side of the I/O manager, as an application's CreateFile, DeviceIoControl
// (synchronous or overlapped), CancelIo/CancelIoEx and CloseHandle reach a device stack.
//
//  - Open sends IRP_MJ_CREATE to the top of the stack with a new file object. Opening by
//    interface needs the interface enabled; a stack under the PnP manager refuses opens
//    until it is started, once a removal is pending and after a surprise removal.
//  - Device-control requests are METHOD_BUFFERED as the I/O manager builds them: one
//    system buffer of max(input, output) bytes, the input copied in, the rest filled with
//    kUninitialisedByte (so that bytes a driver returns without writing show up); when the
//    request completes without an error status, Information bytes (at most the output
//    length) are copied back to the caller's output buffer. METHOD_NEITHER and the direct
//    methods are not offered here.
//  - Close sends IRP_MJ_CLEANUP, then IRP_MJ_CLOSE once the handle's requests have all come
//    back. As on Windows nothing is cancelled at close: a request the driver left pending
//    at cleanup is a violation (request-pending-at-close), after which the bench cancels
//    it, as the application's exit would, to go on. The PnP manager's removal that waits
//    for the last handle then runs.
//
// All requests go from the calling thread at PASSIVE_LEVEL with RequestorMode UserMode; they
// are not seen by allocation-failure injection. The waits for them are kernel waits: a
// request the driver never completes is reported after kSystemIrpPatience of real time on
// the accelerated clock, and as a deadlock naming every wait in virtual time.
#pragma once

#include <wdm.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace hosted {

// What the I/O manager puts in the part of a system buffer the input did not fill.
constexpr std::uint8_t kUninitialisedByte = 0xA5;

// The outcome of one request as the application sees it.
struct UserIoResult {
  NTSTATUS status = STATUS_PENDING;  // IoStatus.Status (STATUS_PENDING: never came back)
  ULONG_PTR information = 0;         // IoStatus.Information
  std::vector<std::uint8_t> output;  // the caller's output buffer afterwards
  bool returnedPending = false;      // the dispatch routine returned STATUS_PENDING
  NTSTATUS returned = STATUS_PENDING;  // what IoCallDriver returned
};

class UserFile;

// An overlapped device-control request.
class UserRequest {
 public:
  ~UserRequest();
  UserRequest(const UserRequest&) = delete;
  UserRequest& operator=(const UserRequest&) = delete;

  bool Done() const;
  // A kernel wait; true once the request has come back (false after `realTimeout` where
  // real time-outs apply: the accelerated clock, manual advance).
  bool Wait(std::chrono::milliseconds realTimeout = std::chrono::seconds(30));
  // After Done(): the outcome (the request is then collected and its IRP freed).
  UserIoResult Result();
  // CancelIoEx for this request: IoCancelIrp. True if a cancel routine was called.
  bool Cancel();
  ULONG IoControlCode() const;

  class Impl;

 private:
  friend class UserFile;
  explicit UserRequest(std::shared_ptr<Impl> impl);
  std::shared_ptr<Impl> impl_;
};

class UserFile {
 public:
  // CreateFile on a symbolic link (as IoRegisterDeviceInterface returned it, "\??\..." or
  // "\\?\...") of an enabled device interface. NULL with the status on failure.
  static std::unique_ptr<UserFile> Open(std::u16string_view symbolicLink, NTSTATUS* status);
  // CreateFile on the enabled interface of class `interfaceClass` registered for `pdo`.
  static std::unique_ptr<UserFile> OpenInterface(PDEVICE_OBJECT pdo, const GUID& interfaceClass, NTSTATUS* status);
  // CreateFile on a device by its object (as opening a named device): the IRP goes to the
  // top of the stack `device` belongs to.
  static std::unique_ptr<UserFile> OpenDevice(PDEVICE_OBJECT device, NTSTATUS* status);

  ~UserFile();  // closes the handle if still open
  UserFile(const UserFile&) = delete;
  UserFile& operator=(const UserFile&) = delete;

  // Synchronous DeviceIoControl: returns when the request has come back.
  UserIoResult DeviceIoControl(ULONG ioControlCode, std::span<const std::uint8_t> input, ULONG outputLength);
  // Overlapped DeviceIoControl.
  std::shared_ptr<UserRequest> DeviceIoControlAsync(ULONG ioControlCode, std::span<const std::uint8_t> input,
                                                    ULONG outputLength);
  // CancelIo: every request of this handle still pending. Returns how many had a cancel
  // routine called.
  std::size_t CancelIo();
  // CloseHandle. Returns IRP_MJ_CLOSE's status (IRP_MJ_CLEANUP's if that failed, which the
  // I/O manager ignores otherwise).
  NTSTATUS Close();
  bool IsOpen() const;

  PFILE_OBJECT FileObject() const;
  PDEVICE_OBJECT Device() const;  // the device the name resolved to
  NTSTATUS CleanupStatus() const;

  class Impl;

 private:
  explicit UserFile(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace hosted

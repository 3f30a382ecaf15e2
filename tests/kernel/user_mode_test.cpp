// The user-mode side: handles and file objects, buffered device-control requests as the
// I/O manager builds and completes them, cancel and close.
#include <algorithm>
#include <array>
#include <atomic>
#include <thread>

#include "test_stack.h"

using namespace kerneltest;
using hosted::UserFile;
using hosted::UserIoResult;

namespace {

constexpr ULONG kCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr std::array<std::uint8_t, 3> kInput = {0x11, 0x22, 0x33};
constexpr std::uint8_t kWritten = 0x5A;

struct Seen {
  UCHAR major;
  PFILE_OBJECT file;
  KPROCESSOR_MODE mode;
};

// The top device records every IRP and answers device control with `answer`.
struct RecordingStack {
  TestStack stack{2};
  std::vector<Seen> seen;
  std::function<NTSTATUS(PIRP)> answer = [](PIRP irp) { return Complete(irp, STATUS_SUCCESS); };
  RecordingStack() {
    stack.SetDispatch(1, [this](PDEVICE_OBJECT, PIRP irp) {
      PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
      seen.push_back({location->MajorFunction, location->FileObject, irp->RequestorMode});
      if (location->MajorFunction == IRP_MJ_DEVICE_CONTROL) return answer(irp);
      return Complete(irp, STATUS_SUCCESS);
    });
  }
  std::vector<UCHAR> Majors() const {
    std::vector<UCHAR> majors;
    for (const Seen& s : seen) majors.push_back(s.major);
    return majors;
  }
};

// Cancel routine of a parked request.
VOID NTAPI CancelParked(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS Park(PIRP irp) {
  IoMarkIrpPending(irp);
  IoSetCancelRoutine(irp, CancelParked);
  return STATUS_PENDING;
}

TEST(UserMode, BufferedRequestsCopyInputInAndInformationBytesBackUnlessTheStatusIsAnError) {
  const NTSTATUS statuses[] = {STATUS_SUCCESS,
                               STATUS_OBJECT_NAME_EXISTS,            // informational
                               STATUS_BUFFER_OVERFLOW,               // warning: data still returned
                               STATUS_UNSUCCESSFUL,                  // error
                               static_cast<NTSTATUS>(0x2000ABCD),    // invented, success with customer bit
                               static_cast<NTSTATUS>(0xE0001234)};   // invented error
  for (NTSTATUS status : statuses) {
    for (bool pend : {false, true}) {
      for (bool overlapped : {false, true}) {
        SCOPED_TRACE(testing::Message() << std::hex << status << (pend ? " pending" : " at once")
                                        << (overlapped ? " overlapped" : " synchronous"));
        RecordingStack s;
        s.answer = [&](PIRP irp) {
          PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
          auto* buffer = static_cast<std::uint8_t*>(irp->AssociatedIrp.SystemBuffer);
          EXPECT_EQ(location->Parameters.DeviceIoControl.InputBufferLength, kInput.size());
          EXPECT_EQ(location->Parameters.DeviceIoControl.OutputBufferLength, 8u);
          EXPECT_TRUE(std::equal(kInput.begin(), kInput.end(), buffer));
          std::fill(buffer, buffer + 4, kWritten);
          irp->IoStatus.Status = status;
          irp->IoStatus.Information = 4;
          if (!pend) {
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return status;
          }
          IoMarkIrpPending(irp);
          std::thread([irp] { IoCompleteRequest(irp, IO_NO_INCREMENT); }).join();
          return static_cast<NTSTATUS>(STATUS_PENDING);
        };
        NTSTATUS opened;
        auto file = UserFile::OpenDevice(s.stack[0], &opened);
        ASSERT_NE(file, nullptr);
        UserIoResult result;
        if (overlapped) {
          auto request = file->DeviceIoControlAsync(kCode, kInput, 8);
          ASSERT_TRUE(request->Wait());
          result = request->Result();
        } else {
          result = file->DeviceIoControl(kCode, kInput, 8);
        }
        EXPECT_EQ(result.status, status);
        EXPECT_EQ(result.information, 4u);
        EXPECT_EQ(result.returnedPending, pend);
        ASSERT_EQ(result.output.size(), 8u);
        const std::uint8_t expected = NT_ERROR(status) ? 0 : kWritten;
        for (int i = 0; i < 8; ++i) EXPECT_EQ(result.output[i], i < 4 ? expected : 0) << "byte " << i;
        EXPECT_EQ(file->Close(), STATUS_SUCCESS);
      }
    }
  }
}

TEST(UserMode, BytesTheDriverReturnsWithoutWritingShowAsUninitialised) {
  RecordingStack s;
  s.answer = [](PIRP irp) {
    static_cast<std::uint8_t*>(irp->AssociatedIrp.SystemBuffer)[0] = kWritten;
    return Complete(irp, STATUS_SUCCESS, 6);  // wrote one byte, reports six
  };
  auto file = UserFile::OpenDevice(s.stack.top(), nullptr);
  const UserIoResult result = file->DeviceIoControl(kCode, kInput, 8);
  EXPECT_EQ(result.output[0], kWritten);
  EXPECT_EQ(result.output[1], kInput[1]);  // the input's bytes are still in the shared buffer
  EXPECT_EQ(result.output[5], hosted::kUninitialisedByte);
  EXPECT_EQ(result.output[6], 0);  // beyond Information: the caller's own bytes
}

TEST(UserMode, InformationBeyondTheOutputBufferIsReportedAndNotCopied) {
  RecordingStack s;
  s.answer = [](PIRP irp) { return Complete(irp, STATUS_SUCCESS, 64); };
  auto file = UserFile::OpenDevice(s.stack.top(), nullptr);
  hosted::test::ExpectViolation overrun(hosted::Check::InvalidParameter, "more than its output buffer");
  const UserIoResult result = file->DeviceIoControl(kCode, {}, 4);
  EXPECT_EQ(result.output.size(), 4u);
}

TEST(UserMode, CreateRequestsAndCloseCarryTheHandlesFileObjectFromUserMode) {
  RecordingStack s;
  auto file = UserFile::OpenDevice(s.stack[0], nullptr);  // a named lower device: the top gets it
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->Device(), s.stack[0]);
  (void)file->DeviceIoControl(kCode, kInput, 0);
  EXPECT_EQ(file->Close(), STATUS_SUCCESS);
  EXPECT_EQ(s.Majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
  for (const Seen& seen : s.seen) {
    EXPECT_EQ(seen.file, file->FileObject());
    EXPECT_EQ(seen.mode, UserMode);
  }
  EXPECT_EQ(file->Close(), STATUS_INVALID_HANDLE);
  EXPECT_EQ(file->DeviceIoControl(kCode, {}, 0).status, STATUS_INVALID_HANDLE);
}

// Closing a handle cancels nothing: a driver whose cleanup completes the handle's parked
// request lets IRP_MJ_CLOSE follow at once; one that leaves it pending is reported (the
// bench then cancels it, as the application's exit would, before the close).
TEST(UserMode, CloseSendsCloseOnlyAfterCleanupCompletedTheHandlesRequests) {
  for (bool cleanupCompletes : {true, false}) {
    SCOPED_TRACE(cleanupCompletes ? "cleanup completes it" : "cleanup leaves it pending");
    RecordingStack s;
    PIRP parkedIrp = nullptr;
    s.answer = [&](PIRP irp) {
      parkedIrp = irp;
      return Park(irp);
    };
    s.stack.SetDispatch(1, [&](PDEVICE_OBJECT, PIRP irp) {
      PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
      s.seen.push_back({location->MajorFunction, location->FileObject, irp->RequestorMode});
      if (location->MajorFunction == IRP_MJ_DEVICE_CONTROL) return s.answer(irp);
      if (location->MajorFunction == IRP_MJ_CLEANUP && cleanupCompletes && IoSetCancelRoutine(parkedIrp, NULL)) {
        Complete(parkedIrp, STATUS_CANCELLED);
      }
      return Complete(irp, STATUS_SUCCESS);
    });
    auto file = UserFile::OpenDevice(s.stack.top(), nullptr);
    auto parked = file->DeviceIoControlAsync(kCode, {}, 4);
    EXPECT_FALSE(parked->Done());
    {
      hosted::test::ExpectViolation pending(hosted::Check::RequestPendingAtClose, "00222000",
                                            cleanupCompletes ? 0 : 1);
      EXPECT_EQ(file->Close(), STATUS_SUCCESS);
      EXPECT_EQ(pending.Count(), cleanupCompletes ? 0u : 1u);
    }
    ASSERT_TRUE(parked->Done());
    EXPECT_EQ(parked->Result().status, STATUS_CANCELLED);
    EXPECT_EQ(s.Majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
  }
}

TEST(UserMode, CancelIoEndsOnlyRequestsThatAreStillPending) {
  RecordingStack s;
  std::atomic<int> calls{0};
  s.answer = [&](PIRP irp) { return ++calls == 1 ? Park(irp) : Complete(irp, STATUS_SUCCESS); };
  auto file = UserFile::OpenDevice(s.stack.top(), nullptr);
  auto parked = file->DeviceIoControlAsync(kCode, {}, 0);
  auto done = file->DeviceIoControlAsync(kCode, {}, 0);
  EXPECT_TRUE(done->Done());
  EXPECT_EQ(file->CancelIo(), 1u);
  EXPECT_EQ(parked->Result().status, STATUS_CANCELLED);
  EXPECT_EQ(done->Result().status, STATUS_SUCCESS);
  EXPECT_FALSE(parked->Cancel());  // already back
}

TEST(UserMode, FailedCreateGivesNoHandleAndNoCleanup) {
  RecordingStack s;
  s.stack.SetDispatch(1, [&](PDEVICE_OBJECT, PIRP irp) {
    s.seen.push_back({IoGetCurrentIrpStackLocation(irp)->MajorFunction, nullptr, irp->RequestorMode});
    return Complete(irp, STATUS_SHARING_VIOLATION);
  });
  NTSTATUS status;
  EXPECT_EQ(UserFile::OpenDevice(s.stack.top(), &status), nullptr);
  EXPECT_EQ(status, STATUS_SHARING_VIOLATION);
  EXPECT_EQ(s.Majors(), std::vector<UCHAR>{IRP_MJ_CREATE});
}

TEST(UserMode, ExclusiveDeviceAdmitsOneHandle) {
  RecordingStack s;
  s.stack.top()->Flags |= DO_EXCLUSIVE;
  auto first = UserFile::OpenDevice(s.stack.top(), nullptr);
  ASSERT_NE(first, nullptr);
  NTSTATUS status;
  EXPECT_EQ(UserFile::OpenDevice(s.stack.top(), &status), nullptr);
  EXPECT_EQ(status, STATUS_ACCESS_DENIED);
  first->Close();
  EXPECT_NE(UserFile::OpenDevice(s.stack.top(), &status), nullptr);
}

TEST(UserMode, OpeningByInterfaceNeedsTheInterfaceEnabled) {
  static const GUID kClass = {0x12345678, 0x1, 0x2, {0, 1, 2, 3, 4, 5, 6, 7}};
  RecordingStack s;
  UNICODE_STRING link{};
  ASSERT_EQ(IoRegisterDeviceInterface(s.stack[0], &kClass, NULL, &link), STATUS_SUCCESS);
  std::u16string name(link.Buffer, link.Length / sizeof(WCHAR));
  std::u16string userName = u"\\\\?\\" + name.substr(4);
  NTSTATUS status;
  EXPECT_EQ(UserFile::Open(name, &status), nullptr);
  EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
  ASSERT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
  auto byLink = UserFile::Open(userName, &status);
  ASSERT_NE(byLink, nullptr);
  EXPECT_EQ(byLink->Device(), s.stack[0]);
  auto byClass = UserFile::OpenInterface(s.stack[0], kClass, &status);
  EXPECT_NE(byClass, nullptr);
  EXPECT_EQ(s.Majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CREATE}));  // both reached the top
  byLink->Close();
  byClass->Close();
  ASSERT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
  RtlFreeUnicodeString(&link);
}

TEST(DeviceInterfaces, LinksAreUniquePerPdoClassAndReferenceString) {
  static const GUID kOther = {0x87654321, 0x1, 0x2, {7, 6, 5, 4, 3, 2, 1, 0}};
  static const GUID kReader = {0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};
  TestStack one(1);
  TestStack two(1);
  UNICODE_STRING ref = RTL_CONSTANT_STRING(u"ref");
  const struct {
    PDEVICE_OBJECT pdo;
    const GUID* guid;
    PUNICODE_STRING reference;
  } rows[] = {{one[0], &kReader, nullptr}, {two[0], &kReader, nullptr}, {one[0], &kOther, nullptr},
              {one[0], &kReader, &ref}};
  std::vector<std::u16string> links;
  for (const auto& row : rows) {
    UNICODE_STRING link{};
    ASSERT_EQ(IoRegisterDeviceInterface(row.pdo, row.guid, row.reference, &link), STATUS_SUCCESS);
    links.emplace_back(link.Buffer, link.Length / sizeof(WCHAR));
    RtlFreeUnicodeString(&link);
  }
  std::sort(links.begin(), links.end());
  EXPECT_EQ(std::unique(links.begin(), links.end()), links.end());
  hosted::AllocationFailures::FailRoutine("IoRegisterDeviceInterface", STATUS_INVALID_DEVICE_REQUEST);
  UNICODE_STRING link{};
  EXPECT_EQ(IoRegisterDeviceInterface(one[0], &kReader, NULL, &link), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(link.Buffer, nullptr);
}

}  // namespace

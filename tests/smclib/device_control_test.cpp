// SmartcardDeviceControl as a reader driver meets it: requests answered by the library,
// card tracking parked for the driver, reader functions called with the request's buffers,
// the driver's own mistakes refused without completing, and one caller at a time.
#include <array>
#include <atomic>
#include <optional>
#include <thread>

#include "smclib_reader.h"

using smclibtest::TestReader;

namespace {

std::vector<std::uint8_t> Ulong(ULONG value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value >> 16),
          static_cast<std::uint8_t>(value >> 24)};
}

ULONG AsUlong(const std::vector<std::uint8_t>& bytes) {
  return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<ULONG>(bytes[3]) << 24;
}

TEST(SmclibDeviceControl, TrackingRequestsAnswerAtOnceWhenTheStateMatchesElseWaitForTheDriver) {
  const struct {
    ULONG state;
    ULONG code;
    bool parked;
  } rows[] = {
      {SCARD_UNKNOWN, IOCTL_SMARTCARD_IS_ABSENT, false}, {SCARD_UNKNOWN, IOCTL_SMARTCARD_IS_PRESENT, true},
      {SCARD_ABSENT, IOCTL_SMARTCARD_IS_ABSENT, false},  {SCARD_ABSENT, IOCTL_SMARTCARD_IS_PRESENT, true},
      {SCARD_PRESENT, IOCTL_SMARTCARD_IS_PRESENT, false}, {SCARD_PRESENT, IOCTL_SMARTCARD_IS_ABSENT, true},
      {SCARD_SPECIFIC, IOCTL_SMARTCARD_IS_PRESENT, false}, {SCARD_SPECIFIC, IOCTL_SMARTCARD_IS_ABSENT, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << "state " << row.state << " code " << std::hex << row.code);
    TestReader reader;
    int calls = 0;
    PIRP parkedIrp = nullptr;
    reader.Set(RDF_CARD_TRACKING, [&](PSMARTCARD_EXTENSION extension) {
      ++calls;
      EXPECT_EQ(extension->MajorIoControlCode, row.code);
      parkedIrp = extension->OsData->NotificationIrp;
      return static_cast<NTSTATUS>(STATUS_PENDING);
    });
    reader.Extension()->ReaderCapabilities.CurrentState = row.state;
    auto file = reader.Open();
    auto request = file->DeviceIoControlAsync(row.code, {}, 0);
    EXPECT_EQ(request->Done(), !row.parked);
    EXPECT_EQ(calls, row.parked ? 1 : 0);
    if (row.parked) {
      EXPECT_NE(parkedIrp, nullptr);
      ASSERT_TRUE(reader.CompleteTracking());
    }
    ASSERT_TRUE(request->Wait());
    const hosted::UserIoResult result = request->Result();
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(result.returnedPending, row.parked);
  }
}

TEST(SmclibDeviceControl, ASecondTrackingRequestIsBusyAndAMissingOrRefusingFunctionEndsIt) {
  TestReader reader;
  reader.Set(RDF_CARD_TRACKING, [](PSMARTCARD_EXTENSION) { return static_cast<NTSTATUS>(STATUS_PENDING); });
  auto file = reader.Open();
  auto first = file->DeviceIoControlAsync(IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
  EXPECT_EQ(file->DeviceIoControl(IOCTL_SMARTCARD_IS_PRESENT, {}, 0).status, STATUS_DEVICE_BUSY);
  ASSERT_TRUE(reader.CompleteTracking());
  EXPECT_EQ(first->Result().status, STATUS_SUCCESS);

  reader.Set(RDF_CARD_TRACKING, [](PSMARTCARD_EXTENSION) { return static_cast<NTSTATUS>(STATUS_INVALID_DEVICE_STATE); });
  EXPECT_EQ(file->DeviceIoControl(IOCTL_SMARTCARD_IS_PRESENT, {}, 0).status, STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(reader.Extension()->OsData->NotificationIrp, nullptr);
  reader.Clear(RDF_CARD_TRACKING);
  EXPECT_EQ(file->DeviceIoControl(IOCTL_SMARTCARD_IS_PRESENT, {}, 0).status, STATUS_NOT_SUPPORTED);
}

TEST(SmclibDeviceControl, GetStateAnswersTheReadersState) {
  TestReader reader;
  reader.Extension()->ReaderCapabilities.CurrentState = SCARD_NEGOTIABLE;
  auto file = reader.Open();
  const hosted::UserIoResult result = file->DeviceIoControl(IOCTL_SMARTCARD_GET_STATE, {}, 4);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 4u);
  EXPECT_EQ(AsUlong(result.output), static_cast<ULONG>(SCARD_NEGOTIABLE));
  EXPECT_EQ(file->DeviceIoControl(IOCTL_SMARTCARD_GET_STATE, {}, 3).status, STATUS_BUFFER_TOO_SMALL);
}

TEST(SmclibDeviceControl, PowerCallsTheReaderFunctionWithTheMinorCodeAndTheReplyBuffer) {
  const std::array<std::uint8_t, 4> atr = {0x3B, 0x02, 0x14, 0x50};
  const struct {
    const char* name;
    std::vector<std::uint8_t> input;
    ULONG output;
    NTSTATUS callback;  // what the reader function returns
    bool called;
    NTSTATUS status;
    ULONG_PTR information;
  } rows[] = {
      {"cold reset", Ulong(SCARD_COLD_RESET), 33, STATUS_SUCCESS, true, STATUS_SUCCESS, atr.size()},
      {"warm reset", Ulong(SCARD_WARM_RESET), 33, STATUS_SUCCESS, true, STATUS_SUCCESS, atr.size()},
      {"power down", Ulong(SCARD_POWER_DOWN), 33, STATUS_SUCCESS, true, STATUS_SUCCESS, atr.size()},
      {"no card", Ulong(SCARD_COLD_RESET), 33, STATUS_NO_MEDIA, true, STATUS_NO_MEDIA, 0},
      {"unknown minor code", Ulong(7), 33, STATUS_SUCCESS, false, STATUS_INVALID_PARAMETER, 0},
      {"input too short", {1, 0}, 33, STATUS_SUCCESS, false, STATUS_INVALID_PARAMETER, 0},
      {"cold reset, reply below an ATR", Ulong(SCARD_COLD_RESET), 32, STATUS_SUCCESS, false, STATUS_BUFFER_TOO_SMALL, 0},
      {"warm reset, reply below an ATR", Ulong(SCARD_WARM_RESET), 0, STATUS_SUCCESS, false, STATUS_BUFFER_TOO_SMALL, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TestReader reader;
    bool called = false;
    reader.Set(RDF_CARD_POWER, [&](PSMARTCARD_EXTENSION extension) {
      called = true;
      EXPECT_EQ(extension->MajorIoControlCode, static_cast<ULONG>(IOCTL_SMARTCARD_POWER));
      EXPECT_EQ(extension->MinorIoControlCode, AsUlong(row.input));
      EXPECT_EQ(extension->IoRequest.ReplyBufferLength, row.output);
      EXPECT_NE(extension->OsData->CurrentIrp, nullptr);
      std::copy(atr.begin(), atr.end(), extension->IoRequest.ReplyBuffer);
      *extension->IoRequest.Information = atr.size();
      return row.callback;
    });
    auto file = reader.Open();
    const hosted::UserIoResult result = file->DeviceIoControl(IOCTL_SMARTCARD_POWER, row.input, row.output);
    EXPECT_EQ(called, row.called);
    EXPECT_EQ(result.status, row.status);
    EXPECT_EQ(result.information, row.information);
    if (row.information != 0) {
      EXPECT_TRUE(std::equal(atr.begin(), atr.end(), result.output.begin()));
    }
    EXPECT_EQ(reader.Extension()->OsData->CurrentIrp, nullptr);
  }
  TestReader reader;  // no power function
  EXPECT_EQ(reader.Open()->DeviceIoControl(IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 33).status,
            STATUS_NOT_SUPPORTED);
}

TEST(SmclibDeviceControl, ReaderFunctionClaimingMoreThanTheReplyBufferIsReportedAndClamped) {
  TestReader reader;
  reader.Set(RDF_CARD_POWER, [](PSMARTCARD_EXTENSION extension) {
    *extension->IoRequest.Information = 40;
    return static_cast<NTSTATUS>(STATUS_SUCCESS);
  });
  hosted::test::ExpectViolation overrun(hosted::Check::InvalidParameter, "more than the reply buffer");
  EXPECT_EQ(reader.Open()->DeviceIoControl(IOCTL_SMARTCARD_POWER, Ulong(SCARD_POWER_DOWN), 8).information, 8u);
}

TEST(SmclibDeviceControl, CodesTheLibraryDoesNotKnowGoToTheVendorFunction) {
  // A vendor code of the smart-card range, and a code of another device type.
  for (const ULONG code : {ULONG{SCARD_CTL_CODE(3400)}, ULONG{0x00222010}}) {
    SCOPED_TRACE(code);
    TestReader reader;
    reader.Set(RDF_IOCTL_VENDOR, [code](PSMARTCARD_EXTENSION extension) {
      EXPECT_EQ(extension->MajorIoControlCode, code);
      EXPECT_EQ(extension->IoRequest.RequestBufferLength, 2u);
      EXPECT_EQ(extension->IoRequest.RequestBuffer[1], 0x42);
      EXPECT_EQ(extension->IoRequest.ReplyBufferLength, 4u);
      extension->IoRequest.ReplyBuffer[0] = 0x99;
      *extension->IoRequest.Information = 1;
      return static_cast<NTSTATUS>(STATUS_SUCCESS);
    });
    const hosted::UserIoResult result = reader.Open()->DeviceIoControl(code, std::vector<std::uint8_t>{0x41, 0x42}, 4);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 1u);
    EXPECT_EQ(result.output[0], 0x99);
  }
}

// The WDM library keeps no last error: the field reads as the driver left it (0).
TEST(SmclibDeviceControl, GetLastErrorAnswersTheUntouchedField) {
  TestReader reader;
  auto file = reader.Open();
  const hosted::UserIoResult result = file->DeviceIoControl(IOCTL_SMARTCARD_GET_LAST_ERROR, {}, 4);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(AsUlong(result.output), 0u);
  EXPECT_EQ(file->DeviceIoControl(IOCTL_SMARTCARD_GET_LAST_ERROR, {}, 3).status, STATUS_BUFFER_TOO_SMALL);
}

// The driver passed something wrong: the library returns an error and leaves the IRP to it.
TEST(SmclibDeviceControl, DriverMistakesAreRefusedWithoutCompletingTheIrp) {
  TestReader reader;
  SMARTCARD_EXTENSION uninitialised{};
  uninitialised.Version = SMCLIB_VERSION;
  SMARTCARD_EXTENSION old = *reader.Extension();
  old.Version = 0x50;
  const struct {
    const char* name;
    PSMARTCARD_EXTENSION extension;
    UCHAR major;
    bool reported;
  } rows[] = {
      {"no extension", nullptr, IRP_MJ_DEVICE_CONTROL, true},
      {"not initialised", &uninitialised, IRP_MJ_DEVICE_CONTROL, true},
      {"old version", &old, IRP_MJ_DEVICE_CONTROL, false},
      {"not a device-control request", reader.Extension(), IRP_MJ_READ, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoSetNextIrpStackLocation(irp);  // as if the I/O manager had sent it to us
    IoGetCurrentIrpStackLocation(irp)->MajorFunction = row.major;
    IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode = IOCTL_SMARTCARD_GET_STATE;
    const CHAR location = irp->CurrentLocation;
    {
      std::optional<hosted::test::ExpectViolation> report;
      if (row.reported) report.emplace(hosted::Check::InvalidParameter, "SmartcardDeviceControl");
      EXPECT_EQ(SmartcardDeviceControl(row.extension, irp), STATUS_INVALID_PARAMETER);
    }
    EXPECT_EQ(irp->CurrentLocation, location);  // not completed
    IoFreeIrp(irp);
  }
}

TEST(SmclibDeviceControl, AReaderFunctionThatPendsMakesTheLibraryBusyUntilTheDriverIsDone) {
  TestReader reader;
  reader.Set(RDF_CARD_POWER, [](PSMARTCARD_EXTENSION) { return static_cast<NTSTATUS>(STATUS_PENDING); });
  auto file = reader.Open();
  auto pended = file->DeviceIoControlAsync(IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 33);
  EXPECT_FALSE(pended->Done());
  EXPECT_EQ(file->DeviceIoControl(IOCTL_SMARTCARD_GET_STATE, {}, 4).status, STATUS_DEVICE_BUSY);
  PIRP irp = reader.Extension()->OsData->CurrentIrp;
  ASSERT_NE(irp, nullptr);
  reader.Extension()->OsData->CurrentIrp = nullptr;  // the driver is done with it
  irp->IoStatus.Status = STATUS_IO_TIMEOUT;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  EXPECT_EQ(pended->Result().status, STATUS_IO_TIMEOUT);
  EXPECT_EQ(file->DeviceIoControl(IOCTL_SMARTCARD_GET_STATE, {}, 4).status, STATUS_SUCCESS);
}

TEST(SmclibDeviceControl, ReaderFunctionsNeverRunTwoAtOnce) {
  TestReader reader;
  std::atomic<int> inside{0};
  std::atomic<int> most{0};
  reader.Set(RDF_CARD_POWER, [&](PSMARTCARD_EXTENSION) {
    const int now = ++inside;
    most = std::max(most.load(), now);
    LARGE_INTEGER delay;
    delay.QuadPart = -10 * 1000;  // 1 ms of kernel time
    (void)KeDelayExecutionThread(KernelMode, FALSE, &delay);
    --inside;
    return static_cast<NTSTATUS>(STATUS_SUCCESS);
  });
  auto first = reader.Open();
  std::vector<std::thread> callers;
  for (int i = 0; i < 4; ++i) {
    callers.emplace_back([&] {
      for (int j = 0; j < 5; ++j) {
        EXPECT_EQ(first->DeviceIoControl(IOCTL_SMARTCARD_POWER, Ulong(SCARD_POWER_DOWN), 0).status, STATUS_SUCCESS);
      }
    });
  }
  for (std::thread& t : callers) t.join();
  EXPECT_EQ(most.load(), 1);
}

}  // namespace

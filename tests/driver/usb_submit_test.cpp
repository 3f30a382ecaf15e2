// URBs to the lower USB stack: synchronous submission, port reset, pipe abort and reset,
// against a lower device that completes at once or later at DISPATCH_LEVEL. Wire fields
// are asserted from what the lower device recorded.

#include <gtest/gtest.h>

#include <hosted/kernel/hosted.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>

#include "CcidFrame.h"
#include "CcidUsb.h"
#include "driver_bench.h"
#include "lower_usb_device.h"
#include "reader_device.h"

namespace {

using ccid_test::LowerRequest;
using ccid_test::LowerUsbDevice;
using ccid_test::PipeHandleOf;
using ccid_test::ReaderDevice;
using Completion = LowerUsbDevice::Completion;

constexpr CCHAR kLowerStackSize = 2;
constexpr UCHAR kInvokeAlways = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;
constexpr NTSTATUS kInventedError = static_cast<NTSTATUS>(0xE0DE0001);
constexpr NTSTATUS kInventedWarning = static_cast<NTSTATUS>(0x80DE0002);
constexpr NTSTATUS kInventedInformation = static_cast<NTSTATUS>(0x40DE0003);

class UsbTransportTest : public ::testing::Test {
 protected:
  UsbTransportTest() : lower_(kLowerStackSize), reader_(lower_.Device()) {}
  void SetUp() override {
    // The routines run without DriverEntry: make its non-executable pool opt-in first.
    ExInitializeDriverRuntime(DrvRtPoolNxOptIn);
    hosted::AllocationFailures::Clear();
    savedOsVersion_ = OsVersionCode;
    irpsBefore_ = hosted::OutstandingIrps();
  }
  void TearDown() override {
    lower_.WaitIdle();
    hosted::AllocationFailures::Clear();
    OsVersionCode = savedOsVersion_;
    EXPECT_EQ(hosted::OutstandingIrps(), irpsBefore_) << "every IRP the driver allocated is freed";
    EXPECT_EQ(hosted::Pool::OutstandingCount(CCID_POOL_TAG), 0u) << "every URB is freed";
  }

  PDEVICE_OBJECT Fdo() const { return reader_.Device(); }

  // A pipe request URB in the stack, for UsbSubmitUrbSync.
  static struct _URB_PIPE_REQUEST PipeUrb(USHORT function, ULONG slot) {
    struct _URB_PIPE_REQUEST urb = {};
    urb.Hdr.Length = sizeof(urb);
    urb.Hdr.Function = function;
    urb.PipeHandle = PipeHandleOf(slot);
    return urb;
  }

  static void ExpectPipeRequest(const LowerRequest& request, USHORT function, ULONG slot) {
    EXPECT_EQ(request.majorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(request.ioControlCode, 0x00220003u);
    EXPECT_EQ(request.urbLength, 40);
    EXPECT_EQ(request.urbFunction, function);
    EXPECT_EQ(request.pipeHandle, PipeHandleOf(slot));
  }

  LowerUsbDevice lower_;
  ReaderDevice reader_;
  ULONG savedOsVersion_ = 0;
  std::size_t irpsBefore_ = 0;
};

// ---- UsbSubmitUrbSync -------------------------------------------------------------

struct SubmitCase {
  const char* name;
  Completion completion;
  NTSTATUS status;
};

void PrintTo(const SubmitCase& row, std::ostream* out) { *out << row.name; }

class UsbSubmitUrbSyncTest : public UsbTransportTest, public ::testing::WithParamInterface<SubmitCase> {};

// Whether the lower device completes inside the call or later from its own thread, the
// caller gets the IRP's final status and the IRP is freed exactly once.
TEST_P(UsbSubmitUrbSyncTest, ReturnsTheFinalStatusOfTheIrp) {
  lower_.SetCompletion(GetParam().completion);
  lower_.SetStatus(GetParam().status);
  auto urb = PipeUrb(URB_FUNCTION_ABORT_PIPE, PIPE_BULK_IN);

  EXPECT_EQ(UsbSubmitUrbSync(Fdo(), reinterpret_cast<PURB>(&urb)), GetParam().status);

  const auto requests = lower_.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].completedPending, GetParam().completion == Completion::Pending);
}

std::vector<SubmitCase> SubmitCases() {
  std::vector<SubmitCase> cases;
  const std::pair<const char*, NTSTATUS> statuses[] = {
      {"Success", STATUS_SUCCESS},         {"Timeout", STATUS_TIMEOUT},
      {"Information", kInventedInformation}, {"Warning", kInventedWarning},
      {"Unsuccessful", STATUS_UNSUCCESSFUL}, {"Cancelled", STATUS_CANCELLED},
      {"InventedError", kInventedError}};
  for (auto [name, status] : statuses) {
    cases.push_back({name, Completion::Synchronous, status});
    cases.push_back({name, Completion::Pending, status});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(StatusesAndCompletions, UsbSubmitUrbSyncTest, ::testing::ValuesIn(SubmitCases()),
                         [](const auto& info) {
                           return std::string(info.param.name) +
                                  (info.param.completion == Completion::Pending ? "Pending" : "Synchronous");
                         });

TEST_F(UsbTransportTest, SubmitCarriesTheUrbInAnInternalControlRequest) {
  auto urb = PipeUrb(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, PIPE_BULK_OUT);
  ASSERT_EQ(UsbSubmitUrbSync(Fdo(), reinterpret_cast<PURB>(&urb)), STATUS_SUCCESS);

  const auto requests = lower_.Requests();
  ASSERT_EQ(requests.size(), 1u);
  ExpectPipeRequest(requests[0], URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, PIPE_BULK_OUT);
  EXPECT_EQ(requests[0].argument1, &urb);
  EXPECT_EQ(requests[0].control, kInvokeAlways);
  EXPECT_TRUE(requests[0].hasCompletionRoutine);
  EXPECT_EQ(requests[0].irpStackSize, kLowerStackSize) << "sized by the lower device's StackSize";
  EXPECT_EQ(requests[0].irpSize, 208 + 72 * kLowerStackSize);
}

TEST_F(UsbTransportTest, SubmitWithoutAnIrpSendsNothing) {
  hosted::AllocationFailures::FailRoutine("IoAllocateIrp");
  auto urb = PipeUrb(URB_FUNCTION_ABORT_PIPE, PIPE_BULK_IN);
  EXPECT_EQ(UsbSubmitUrbSync(Fdo(), reinterpret_cast<PURB>(&urb)), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(lower_.Requests().empty());
}

// ---- UsbPrepareUrbIrp / UsbCompletionSetEvent ---------------------------------------

TEST(UsbCompletionSetEvent, SetsTheEventAndKeepsTheIrpForItsSender) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  // Neither the device nor the IRP is looked at.
  EXPECT_EQ(UsbCompletionSetEvent(nullptr, nullptr, &event), STATUS_MORE_PROCESSING_REQUIRED);
  EXPECT_NE(KeReadStateEvent(&event), 0);
}

// The interrupt-pipe pattern: a completion routine prepares its own IRP again and sends it
// down from DISPATCH_LEVEL; the re-initialised IRP carries the URB like a fresh one.
struct Resend {
  PDEVICE_OBJECT lower = nullptr;
  PURB urb = nullptr;
  CCHAR stackSize = 0;
  int completions = 0;
  KEVENT done;
};

NTSTATUS NTAPI ResendOnce(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* resend = static_cast<Resend*>(context);
  if (++resend->completions == 1) {
    UsbPrepareUrbIrp(irp, resend->urb, resend->stackSize, ResendOnce, resend);
    (void)IofCallDriver(resend->lower, irp);
  } else {
    KeSetEvent(&resend->done, IO_NO_INCREMENT, FALSE);
  }
  return STATUS_MORE_PROCESSING_REQUIRED;  // the test frees the IRP
}

TEST_F(UsbTransportTest, PreparedIrpCanBeSentAgainFromItsCompletionRoutine) {
  lower_.SetCompletion(Completion::Pending);
  auto urb = PipeUrb(URB_FUNCTION_ABORT_PIPE, PIPE_INTERRUPT_IN);
  PDEVICE_OBJECT lower = reader_.Extension()->LowerDeviceObject;
  Resend resend;
  resend.lower = lower;
  resend.urb = reinterpret_cast<PURB>(&urb);
  resend.stackSize = lower->StackSize;
  KeInitializeEvent(&resend.done, NotificationEvent, FALSE);

  PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
  ASSERT_NE(irp, nullptr);
  UsbPrepareUrbIrp(irp, reinterpret_cast<PURB>(&urb), lower->StackSize, ResendOnce, &resend);
  EXPECT_EQ(IofCallDriver(lower, irp), STATUS_PENDING);
  KeWaitForSingleObject(&resend.done, Executive, KernelMode, FALSE, nullptr);
  lower_.WaitIdle();
  IoFreeIrp(irp);

  const auto requests = lower_.Requests();
  ASSERT_EQ(requests.size(), 2u);
  for (const LowerRequest& request : requests) {
    ExpectPipeRequest(request, URB_FUNCTION_ABORT_PIPE, PIPE_INTERRUPT_IN);
    EXPECT_EQ(request.control, kInvokeAlways);
  }
}

// ---- UsbAbortPipe / UsbResetPipe ----------------------------------------------------

struct AbortCase {
  const char* name;
  ULONG osVersion;
  bool resets;
};

void PrintTo(const AbortCase& row, std::ostream* out) { *out << row.name; }

class UsbAbortPipeTest : public UsbTransportTest, public ::testing::WithParamInterface<AbortCase> {};

// Only the 5.1 family resets a pipe after aborting it; the abort's status is the result
// even when the reset fails differently.
TEST_P(UsbAbortPipeTest, AbortsAndOnTheXpFamilyAlsoResets) {
  OsVersionCode = GetParam().osVersion;
  lower_.SetUrbFunctionStatus(URB_FUNCTION_ABORT_PIPE, STATUS_UNSUCCESSFUL);
  lower_.SetUrbFunctionStatus(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, kInventedError);

  for (ULONG slot : {PIPE_INTERRUPT_IN, PIPE_BULK_OUT, PIPE_BULK_IN}) {
    SCOPED_TRACE("slot " + std::to_string(slot));
    const std::size_t before = lower_.Requests().size();
    EXPECT_EQ(UsbAbortPipe(Fdo(), slot), STATUS_UNSUCCESSFUL);

    const auto requests = lower_.Requests();
    ASSERT_EQ(requests.size() - before, GetParam().resets ? 2u : 1u);
    ExpectPipeRequest(requests[before], URB_FUNCTION_ABORT_PIPE, slot);
    if (GetParam().resets) ExpectPipeRequest(requests[before + 1], URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, slot);
  }
}

INSTANTIATE_TEST_SUITE_P(OsVersions, UsbAbortPipeTest,
                         ::testing::Values(AbortCase{"KeyAbsent", 0, false}, AbortCase{"Windows2000", 50, false},
                                           AbortCase{"WindowsXP", 51, true}, AbortCase{"Vista", 60, false},
                                           AbortCase{"Windows7", 61, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(UsbTransportTest, AbortUrbUnavailableOnXpStillResetsThePipe) {
  OsVersionCode = 51;
  hosted::FailureRule rule;
  rule.tag = CCID_POOL_TAG;
  rule.size = 40;
  rule.nth = 1;
  hosted::AllocationFailures::Add(rule);

  EXPECT_EQ(UsbAbortPipe(Fdo(), PIPE_BULK_IN), STATUS_INSUFFICIENT_RESOURCES);
  const auto requests = lower_.Requests();
  ASSERT_EQ(requests.size(), 1u) << "no abort, only the reset";
  ExpectPipeRequest(requests[0], URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, PIPE_BULK_IN);
}

TEST_F(UsbTransportTest, AbortUrbUnavailableElsewhereSendsNothing) {
  OsVersionCode = 61;
  hosted::AllocationFailures::FailSize(40);
  EXPECT_EQ(UsbAbortPipe(Fdo(), PIPE_BULK_OUT), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(lower_.Requests().empty());
}

TEST_F(UsbTransportTest, AbortOfAnUnknownSlotIsRefused) {
  OsVersionCode = 51;
  for (ULONG slot : {PIPE_COUNT, 0xFFFFFFFFu}) {
    EXPECT_EQ(UsbAbortPipe(Fdo(), slot), STATUS_INVALID_PARAMETER);
  }
  EXPECT_TRUE(lower_.Requests().empty());
}

// A slot that configuration left without a pipe (a reader lacking an endpoint) has a NULL
// handle: aborts and resets of it are refused here, as a transfer on it is, and no URB
// with a NULL pipe handle reaches the USB stack, on either OS family.
TEST_F(UsbTransportTest, PipeRequestsOnAnEmptySlotAreRefusedWithoutSendingAnything) {
  struct Row {
    const char* name;
    ULONG osVersion;
    std::function<NTSTATUS(PDEVICE_OBJECT, PDEVICE_EXTENSION)> call;
  };
  const Row rows[] = {
      {"abort", 61, [](PDEVICE_OBJECT fdo, PDEVICE_EXTENSION) { return UsbAbortPipe(fdo, PIPE_BULK_OUT); }},
      {"abort and reset (5.1 family)", 51,
       [](PDEVICE_OBJECT fdo, PDEVICE_EXTENSION) { return UsbAbortPipe(fdo, PIPE_BULK_OUT); }},
      {"reset", 61,
       [](PDEVICE_OBJECT fdo, PDEVICE_EXTENSION e) { return UsbResetPipe(fdo, &e->PipeInfo[PIPE_BULK_OUT]); }},
  };
  reader_.Extension()->PipeInfo[PIPE_BULK_OUT].PipeHandle = NULL;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    OsVersionCode = row.osVersion;
    EXPECT_EQ(row.call(Fdo(), reader_.Extension()), STATUS_INVALID_DEVICE_STATE);
  }
  EXPECT_TRUE(lower_.Requests().empty());
}

TEST_F(UsbTransportTest, ResetPipeSendsOneResetAndReturnsItsStatus) {
  lower_.SetCompletion(Completion::Pending);
  lower_.SetStatus(kInventedError);
  EXPECT_EQ(UsbResetPipe(Fdo(), &reader_.Extension()->PipeInfo[PIPE_BULK_OUT]), kInventedError);
  const auto requests = lower_.Requests();
  ASSERT_EQ(requests.size(), 1u);
  ExpectPipeRequest(requests[0], URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, PIPE_BULK_OUT);
}

TEST_F(UsbTransportTest, ResetPipeUrbUnavailableSendsNothing) {
  hosted::AllocationFailures::FailTag(CCID_POOL_TAG);
  EXPECT_EQ(UsbResetPipe(Fdo(), &reader_.Extension()->PipeInfo[PIPE_BULK_IN]), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(lower_.Requests().empty());
}

// ---- UsbBulkTransfer ----------------------------------------------------------------

// A transfer the device never answers, in either direction: the wait ends exactly TimeoutMs
// after the transfer went down (not a tick earlier), its pipe is aborted, and the call
// returns STATUS_TIMEOUT only once the transfer is back, with nothing moved.
TEST_F(UsbTransportTest, UnansweredTransferEndsExactlyAtItsTimeOut) {
  constexpr ULONG kTimeoutMs = 300000;
  lower_.SetHoldTransfers(true);
  for (BOOLEAN in : {FALSE, TRUE}) {
    SCOPED_TRACE(in ? "bulk-in read" : "bulk-out write");
    const std::size_t before = lower_.Requests().size();
    UCHAR buffer[64] = {};
    ULONG moved = 0xDEADF00D;
    NTSTATUS status = STATUS_PENDING;
    ccid_test::ExpectEndsExactlyAfter(kTimeoutMs * hosted::Clock::kTicksPerMillisecond, [&] {
      status = UsbBulkTransfer(Fdo(), buffer, sizeof(buffer), kTimeoutMs, &moved, in);
    });
    EXPECT_EQ(status, STATUS_TIMEOUT);
    EXPECT_EQ(moved, 0u);
    const auto requests = lower_.Requests();
    ASSERT_EQ(requests.size() - before, 2u);
    const ULONG slot = in ? PIPE_BULK_IN : PIPE_BULK_OUT;
    EXPECT_EQ(requests[before].urbFunction, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    EXPECT_EQ(requests[before].pipeHandle, PipeHandleOf(slot));
    ExpectPipeRequest(requests[before + 1], URB_FUNCTION_ABORT_PIPE, slot);
  }
}

// A timed-out transfer whose abort cannot even be built: the IRP is still the stack's, so
// the transfer waits, without a time-out, until the stack gives it back; only then does it
// return STATUS_TIMEOUT (freeing the IRP earlier would hand the stack freed memory).
TEST_F(UsbTransportTest, TimedOutTransferWaitsForItsIrpWhenTheAbortCannotBeSent) {
  constexpr ULONG kTimeoutMs = 1000;
  lower_.SetHoldTransfers(true);
  hosted::AllocationFailures::FailSize(sizeof(struct _URB_PIPE_REQUEST));
  UCHAR buffer[64] = {};
  ULONG moved = 0;
  NTSTATUS status = STATUS_PENDING;
  hosted::KernelThread transfer("transfer", [&] {
    status = UsbBulkTransfer(Fdo(), buffer, sizeof(buffer), kTimeoutMs, &moved, TRUE);
  });
  hosted::Scheduler::Settle();
  hosted::Clock::AdvanceTo(hosted::Clock::NextDeadline());
  hosted::Scheduler::Settle();
  EXPECT_EQ(status, STATUS_PENDING) << "the transfer is still waiting for its IRP";
  lower_.CompleteHeld();
  transfer.Join();
  EXPECT_EQ(status, STATUS_TIMEOUT);
  hosted::AllocationFailures::Clear();
}

// ---- UsbResetPort -------------------------------------------------------------------

struct ResetPortCase {
  const char* name;
  Completion completion;
  NTSTATUS status;
};

void PrintTo(const ResetPortCase& row, std::ostream* out) { *out << row.name; }

class UsbResetPortTest : public UsbTransportTest, public ::testing::WithParamInterface<ResetPortCase> {};

// A call that does not return STATUS_PENDING is answered at once: the lower device clears
// the request's event after completing it, so a routine that waited anyway would hang.
TEST_P(UsbResetPortTest, ReturnsTheStatusWaitingOnlyForAPendingReset) {
  lower_.SetCompletion(GetParam().completion);
  lower_.SetStatus(GetParam().status);
  lower_.SetClearUserEventAfterCompletion(true);

  NTSTATUS status = STATUS_PENDING;
  hosted::KernelThread reset("port reset", [&] { status = UsbResetPort(Fdo()); });
  hosted::Scheduler::Settle();  // everything else blocked: the call has returned or waits forever
  if (!reset.Finished()) {
    ADD_FAILURE() << "UsbResetPort waits for a reset that did not pend";
    const auto requests = lower_.Requests();
    if (!requests.empty() && requests[0].userEvent != nullptr) KeSetEvent(requests[0].userEvent, IO_NO_INCREMENT, FALSE);
  }
  reset.Join();
  EXPECT_EQ(status, GetParam().status);

  const auto requests = lower_.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].majorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
  EXPECT_EQ(requests[0].ioControlCode, 0x00220007u);
  EXPECT_EQ(requests[0].argument1, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Completions, UsbResetPortTest,
    ::testing::Values(ResetPortCase{"SynchronousSuccess", Completion::Synchronous, STATUS_SUCCESS},
                      ResetPortCase{"SynchronousFailure", Completion::Synchronous, STATUS_UNSUCCESSFUL},
                      ResetPortCase{"SynchronousInventedError", Completion::Synchronous, kInventedError},
                      ResetPortCase{"PendingSuccess", Completion::Pending, STATUS_SUCCESS},
                      ResetPortCase{"PendingFailure", Completion::Pending, kInventedError}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UsbTransportTest, ResetPortWithoutAnIrpSendsNothing) {
  hosted::AllocationFailures::FailRoutine("IoBuildDeviceIoControlRequest");
  EXPECT_EQ(UsbResetPort(Fdo()), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(lower_.Requests().empty());
}

}  // namespace
